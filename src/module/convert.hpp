// Conversion of Python values to native values, shared by the function
// arguments and the recipe values. Each returns false with the Python
// exception set; the caller decides whether to add an argument-name prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../common/platform.hpp"
#include "../common/text.hpp"
#include "errors.hpp"
#include "python.hpp"

namespace packweaver::py {

bool to_i64_slow(PyObject* o, std::int64_t& out);
bool to_u64_slow(PyObject* o, std::uint64_t& out);
bool to_size_slow(PyObject* o, std::size_t& out);
bool to_f64_slow(PyObject* o, double& out);
bool to_bool_slow(PyObject* o, bool& out);

// Integers: an int, or an object with __index__.
PW_INLINE bool to_i64(PyObject* o, std::int64_t& out) {
    if (PW_LIKELY(PyLong_CheckExact(o))) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (PW_LIKELY(overflow == 0 && !(v == -1 && PyErr_Occurred()))) {
            out = v;
            return true;
        }
    }
    return to_i64_slow(o, out);
}

PW_INLINE bool to_u64(PyObject* o, std::uint64_t& out) {
    if (PW_LIKELY(PyLong_CheckExact(o))) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (PW_LIKELY(overflow == 0 && v >= 0)) {
            out = static_cast<std::uint64_t>(v);
            return true;
        }
    }
    return to_u64_slow(o, out);
}

PW_INLINE bool to_size(PyObject* o, std::size_t& out) {
    if (PW_LIKELY(PyLong_CheckExact(o))) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (PW_LIKELY(overflow == 0 && v >= 0)) {
            out = static_cast<std::size_t>(v);
            return true;
        }
    }
    return to_size_slow(o, out);
}

// 0 to 2**128 - 1, as high and low halves.
bool to_u128(PyObject* o, std::uint64_t& high, std::uint64_t& low);

// Whatever the interpreter turns into a double: float, int, __float__, __index__.
PW_INLINE bool to_f64(PyObject* o, double& out) {
    if (PW_LIKELY(PyFloat_CheckExact(o))) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return to_f64_slow(o, out);
}

bool to_f32(PyObject* o, float& out);

// Exactly True or False, or a NumPy bool scalar.
PW_INLINE bool to_bool(PyObject* o, bool& out) {
    if (PW_LIKELY(o == Py_True || o == Py_False)) {
        out = o == Py_True;
        return true;
    }
    return to_bool_slow(o, out);
}

// A str (or subclass) seen in its own compact storage. Lone surrogates are
// not refused here: the text codecs meet them, and raise_lone_surrogate()
// then raises the interpreter's own UnicodeEncodeError.
bool to_text(PyObject* o, text_view& out);

// A str that must be valid UTF-8 (no lone surrogate), for names and words.
bool to_checked_text(PyObject* o, text_view& out);

// Raises the interpreter's UnicodeEncodeError when the str holds a lone
// surrogate and returns true; otherwise returns false and raises nothing.
bool raise_if_lone_surrogate(PyObject* str);

// A bytes object (or subclass); bytearray and memoryview are refused.
PW_INLINE bool to_bytes(PyObject* o, std::span<const std::uint8_t>& out) {
    if (PW_LIKELY(PyBytes_Check(o))) {
        out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o)),
               static_cast<std::size_t>(PyBytes_GET_SIZE(o))};
        return true;
    }
    raise_cast_error(o, "bytes");
    return false;
}

}  // namespace packweaver::py
