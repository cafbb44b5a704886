// Bodies of the integer, BCD and floating-point functions.
#pragma once

#include "../decoder/bcd.hpp"
#include "../decoder/ieee754.hpp"
#include "../decoder/integer.hpp"
#include "../decoder/legacy.hpp"
#include "../encoder/bcd.hpp"
#include "../encoder/ieee754.hpp"
#include "../encoder/integer.hpp"
#include "binding.hpp"
#include "errors.hpp"

namespace packweaver::py {

template <result<std::uint64_t> (*Op)(std::int64_t, std::size_t)>
PyObject* integer_encoder(const call& c) {
    std::int64_t value;
    std::size_t bits;
    if (!c.i64(0, value) || !c.size(1, bits)) return nullptr;
    auto r = Op(value, bits);
    if (PW_UNLIKELY(!r)) return raise(r.err());
    return PyLong_FromUnsignedLongLong(*r);
}

template <std::int64_t (*Op)(std::uint64_t, std::size_t) noexcept>
PyObject* integer_decoder(const call& c) {
    std::uint64_t value;
    std::size_t bits;
    if (!c.u64(0, value) || !c.size(1, bits)) return nullptr;
    return PyLong_FromLongLong(Op(value, bits));
}

template <result<std::uint64_t> (*Op)(std::int64_t, std::size_t, bool)>
PyObject* bcd_encoder(const call& c) {
    std::int64_t value;
    std::size_t bits;
    bool is_signed;
    if (!c.i64(0, value) || !c.size(1, bits) || !c.flag(2, is_signed)) return nullptr;
    auto r = Op(value, bits, is_signed);
    if (PW_UNLIKELY(!r)) return raise(r.err());
    return PyLong_FromUnsignedLongLong(*r);
}

template <result<std::int64_t> (*Op)(std::uint64_t, std::size_t, bool)>
PyObject* bcd_decoder(const call& c) {
    std::uint64_t value;
    std::size_t bits;
    bool is_signed;
    if (!c.u64(0, value) || !c.size(1, bits) || !c.flag(2, is_signed)) return nullptr;
    auto r = Op(value, bits, is_signed);
    if (PW_UNLIKELY(!r)) return raise(r.err());
    return PyLong_FromLongLong(*r);
}

inline PyObject* f16_encoder(const call& c) {
    float value;
    if (!c.f32(0, value)) return nullptr;
    return PyLong_FromUnsignedLongLong(encode_ieee754_f16(value));
}

inline PyObject* f32_encoder(const call& c) {
    float value;
    if (!c.f32(0, value)) return nullptr;
    return PyLong_FromUnsignedLongLong(encode_ieee754_f32(value));
}

inline PyObject* f64_encoder(const call& c) {
    double value;
    if (!c.f64(0, value)) return nullptr;
    return PyLong_FromUnsignedLongLong(encode_ieee754_f64(value));
}

inline PyObject* f128_encoder(const call& c) {
    double value;
    if (!c.f64(0, value)) return nullptr;
    return raise(make_error(error_kind::not_implemented_error, "IEEE 754 f128 encoding not yet implemented"));
}

inline PyObject* f16_decoder(const call& c) {
    std::uint64_t value;
    if (!c.u64(0, value)) return nullptr;
    return PyFloat_FromDouble(decode_ieee754_f16(value));
}

inline PyObject* f32_decoder(const call& c) {
    std::uint64_t value;
    if (!c.u64(0, value)) return nullptr;
    return PyFloat_FromDouble(decode_ieee754_f32(value));
}

inline PyObject* f64_decoder(const call& c) {
    std::uint64_t value;
    if (!c.u64(0, value)) return nullptr;
    return PyFloat_FromDouble(decode_ieee754_f64(value));
}

inline PyObject* f128_decoder(const call& c) {
    std::uint64_t high, low;
    if (!c.u128(0, high, low)) return nullptr;
    return PyFloat_FromDouble(decode_ieee754_f128(high, low));
}

// The legacy formats convert their argument, then report that the format is
// not implemented. 32-bit formats narrow to binary32, wider ones take a double.
template <legacy_format F, bool Narrow>
PyObject* legacy_encoder(const call& c) {
    if constexpr (Narrow) {
        float value;
        if (!c.f32(0, value)) return nullptr;
    } else {
        double value;
        if (!c.f64(0, value)) return nullptr;
    }
    return raise(legacy_encode_error(F));
}

template <legacy_format F>
PyObject* legacy_decoder(const call& c) {
    std::uint64_t value;
    if (!c.u64(0, value)) return nullptr;
    return raise(legacy_decode_error(F));
}

}  // namespace packweaver::py
