// The interpreter's private and version-dependent APIs, each named once here
// with the public road beside it. Everything else in the module calls these:
// no other file tests PY_VERSION_HEX or names an underscored API.
#pragma once

#include <string_view>

#include "python.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the int's digits (small_int_value); Python.h has them from 3.11 on
#endif

namespace packweaver::py::compat {

// From 3.11 on the one-character strs of U+0000-U+00FF that the interpreter
// shares are static objects, so fetching one cannot fail; before, each is
// made on its first use.
inline constexpr bool static_latin1_strs = PY_VERSION_HEX >= 0x030B0000;

// Whether the str's compact form (PyUnicode_DATA, _KIND, _GET_LENGTH) can
// be read, making it first where needed; false with an exception set. Every
// str has it from 3.12 on.
PW_INLINE bool str_ready(PyObject* str) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(str) == 0;
#else
    (void)str;
    return true;
#endif
}

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

// Shrinks a bytes object that nothing else has seen yet; on failure *bytes
// is released and null, with an exception set.
inline int bytes_resize(PyObject** bytes, Py_ssize_t size) { return _PyBytes_Resize(bytes, size); }

// The exception being raised, taken out while code that must not see it
// runs, and put back at scope exit.
class stashed_exception {
public:
    stashed_exception() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    stashed_exception(const stashed_exception&) = delete;
    stashed_exception& operator=(const stashed_exception&) = delete;
    ~stashed_exception() {
        if (PyErr_Occurred()) PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

// Adds a note (UTF-8 text) to the exception being raised: 3.11's add_note;
// before, the same __notes__ list set by hand, which tracebacks of those
// versions do not print but callers can read. The exception always stays;
// only the note can be lost.
inline void add_exception_note(std::string_view text) {
    PyObject *type = nullptr, *exc = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    if (exc == nullptr) {
        PyErr_Restore(type, exc, tb);
        return;
    }
    if (tb != nullptr) PyException_SetTraceback(exc, tb);
    PyObject* note = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    PyObject* done = nullptr;
    if (note != nullptr) {
#if PY_VERSION_HEX >= 0x030B0000
        done = PyObject_CallMethod(exc, "add_note", "O", note);
#else
        PyObject* notes = PyObject_GetAttrString(exc, "__notes__");
        if (notes == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            notes = PyList_New(0);
            if (notes != nullptr && PyObject_SetAttrString(exc, "__notes__", notes) < 0) Py_CLEAR(notes);
        }
        if (notes != nullptr && PyList_Check(notes) && PyList_Append(notes, note) == 0) {
            Py_INCREF(Py_None);
            done = Py_None;
        }
        Py_XDECREF(notes);
#endif
        Py_DECREF(note);
    }
    if (done == nullptr) PyErr_Clear();
    Py_XDECREF(done);
    PyErr_Restore(type, exc, tb);
}

}  // namespace packweaver::py::compat
