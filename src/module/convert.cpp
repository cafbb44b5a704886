#include "convert.hpp"

#include <cstring>

#include "../encoder/ieee754.hpp"
#include "compat.hpp"

namespace packweaver::py {

PW_COLD bool to_i64_slow(PyObject* o, std::int64_t& out) {
    ref index(PyNumber_Index(o));
    if (!index) return false;
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

PW_COLD bool to_u64_slow(PyObject* o, std::uint64_t& out) {
    ref index(PyNumber_Index(o));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

PW_COLD bool to_size_slow(PyObject* o, std::size_t& out) {
    ref index(PyNumber_Index(o));
    if (!index) return false;
    const std::size_t v = PyLong_AsSize_t(index.get());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_u128(PyObject* o, std::uint64_t& high, std::uint64_t& low) {
    ref index(PyNumber_Index(o));
    if (!index) return false;
    ref zero(PyLong_FromLong(0));
    if (!zero) return false;
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative < 0) return false;
    if (negative) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
        return false;
    }
    low = PyLong_AsUnsignedLongLongMask(index.get());
    if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    ref shift(PyLong_FromLong(64));
    if (!shift) return false;
    ref upper(PyNumber_Rshift(index.get(), shift.get()));
    if (!upper) return false;
    int overflow = 0;
    const long long h = PyLong_AsLongLongAndOverflow(upper.get(), &overflow);
    if (h == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) {
        high = static_cast<std::uint64_t>(h);
        return true;
    }
    const unsigned long long uh = PyLong_AsUnsignedLongLong(upper.get());
    if (uh == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_SetString(PyExc_OverflowError, "int too large to convert to a 128-bit unsigned integer");
        }
        return false;
    }
    high = uh;
    return true;
}

PW_COLD bool to_f64_slow(PyObject* o, double& out) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_f32(PyObject* o, float& out) {
    double d = 0;
    if (!to_f64(o, d)) return false;
    out = narrow_to_f32(d);
    return true;
}

PW_COLD bool to_bool_slow(PyObject* o, bool& out) {
    // NumPy's bool scalar, recognised by its type name so that NumPy need not
    // be imported (it is "numpy.bool_" before NumPy 2 and "numpy.bool" since).
    const char* name = Py_TYPE(o)->tp_name;
    if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    raise_cast_error(o, "bool");
    return false;
}

bool to_text(PyObject* o, text_view& out) {
    if (PW_UNLIKELY(!PyUnicode_Check(o))) {
        raise_cast_error(o, "str");
        return false;
    }
    if (PW_UNLIKELY(!compat::str_ready(o))) return false;
    out.data = PyUnicode_DATA(o);
    out.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    out.width = static_cast<unsigned>(PyUnicode_KIND(o));
    out.ascii = PyUnicode_IS_ASCII(o) != 0;
    return true;
}

namespace {

template <class Unit>
bool holds_surrogate(const Unit* p, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (static_cast<char32_t>(p[i]) - 0xD800u < 0x800u) return true;
    return false;
}

bool holds_surrogate(const text_view& t) noexcept {
    if (t.width == 2) return holds_surrogate(static_cast<const std::uint16_t*>(t.data), t.length);
    if (t.width == 4) return holds_surrogate(static_cast<const std::uint32_t*>(t.data), t.length);
    return false;
}

}  // namespace

PW_COLD bool raise_if_lone_surrogate(PyObject* str) {
    text_view t;
    if (!to_text(str, t)) return true;
    if (!holds_surrogate(t)) return false;
    // Let the interpreter raise its own UnicodeEncodeError.
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(str, &size) == nullptr) return true;
    PyErr_SetString(PyExc_SystemError, "lone surrogate was not refused");
    return true;
}

bool to_checked_text(PyObject* o, text_view& out) {
    if (!to_text(o, out)) return false;
    if (PW_LIKELY(out.width == 1)) return true;
    return !raise_if_lone_surrogate(o);
}

}  // namespace packweaver::py
