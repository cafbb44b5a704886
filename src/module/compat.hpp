// The interpreter's private and version-dependent APIs, each named once here
// with the public road beside it. Everything else in the module calls these.
#pragma once

#include "python.hpp"

namespace packweaver::py::compat {

// PyDict_Next only forwards to _PyDict_Next; calling that directly saves a
// hop per entry where the interpreter still exports it.
PW_INLINE int dict_next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_Next(dict, pos, key, value, nullptr);
#else
    return PyDict_Next(dict, pos, key, value);
#endif
}

// A new dict with room for n entries (the resizes on the way are skipped).
inline PyObject* new_presized_dict(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(n);
#else
    (void)n;
    return PyDict_New();
#endif
}

// Where a dict's key table lives, to fetch its memory ahead of a walk; only
// an address, never read through here.
PW_INLINE const void* dict_keys_address(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys;
}

// The value of an exact int that is small (compact, or held in at most one
// internal digit), without a call into the interpreter. Returns false for
// any other int; the caller then takes the general road.
PW_INLINE bool small_int_value(PyObject* o, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(l)) return false;
    out = static_cast<long long>(PyUnstable_Long_CompactValue(l));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(o);
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (size == 0) {
        out = 0;
    } else if (size == 1) {
        out = static_cast<long long>(l->ob_digit[0]);
    } else if (size == -1) {
        out = -static_cast<long long>(l->ob_digit[0]);
    } else {
        return false;
    }
    return true;
#endif
}

// Shrinks a bytes object that nothing else has seen yet.
inline int bytes_resize(PyObject** bytes, Py_ssize_t size) { return _PyBytes_Resize(bytes, size); }

}  // namespace packweaver::py::compat
