// The per-field steps: packing one value into its field, and reading one
// field into a new object. Every walker (the two packet functions, Recipe
// and its stream readers) calls these and nothing else to handle a field,
// so each check happens at one place in one order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../common/error.hpp"
#include "../encoder/ieee754.hpp"
#include "../packet/plan.hpp"
#include "compat.hpp"
#include "python.hpp"
#include "recipe.hpp"

namespace packweaver::py {

// The objects that name a field in messages. The walker holds them for the
// call, so they outlive whatever Python code a step runs.
struct field_labels {
    PyObject* name;
    PyObject* encoding;  // the encoding as the item gave it
    PyObject* order;     // the byte order as the item gave it
};

// "Packet too short for parameter '{name}': needs {needed} bytes, packet has {length}".
error packet_too_short(PyObject* name, u128 needed, std::size_t length);

// "Text of {n} bytes does not fit a field of {m} bytes": an exact recipe's
// text field never loses bytes.
error text_too_long(std::size_t bytes, std::size_t bits);

// The error of a plan field's fault.
error fault_error(packet::field_fault fault, const field_labels& labels);

// The plan field of an item whose names are resolved, at bit `pos`, into p
// (its cut left as it was).
PW_INLINE void plan_of(const item_view& f, u128 pos, packet::plan_field& p) noexcept {
    p.desc = f.desc;
    p.position = pos;
    const bool known = f.encoding != nullptr;
    packet::set_faults(p, {f.order_known, known, known && f.encoding->packer});
}

// Works out the one-load cut of a plan field at p.position, for the reader,
// where one can be used (numeric fields the reader can decode), else none.
// `available` as for word_cut_of.
PW_INLINE void plan_cut(packet::plan_field& p, bool exact, std::size_t available) noexcept {
    if (p.read_fault == packet::field_fault::none && !is_text(p.desc.encoding) && p.desc.permutation == 0)
        p.cut = packet::word_cut_of(p.desc, p.position, exact, available);
    else
        p.cut = packet::word_cut{};
}

// ---- packing ----

namespace detail {
status pack_text(std::span<std::uint8_t> packet, const packet::plan_field& p, u128 pos, PyObject* value,
                 const field_labels& labels);
}  // namespace detail

namespace detail {
result<std::uint64_t> encode_number_general(const packet::field_desc& desc, PyObject* value, bool keep_nan);

// The pattern of the commonest values, which cannot fail: a small exact int
// in range for an unsigned or two's complement field, an exact float for a
// binary32 or binary64 one. Returns false for any other (nothing raised).
PW_INLINE bool encode_plain_number(const packet::field_desc& desc, PyObject* value, std::uint64_t& out) noexcept {
    long long small;
    switch (desc.encoding) {
        case field_encoding::unsigned_int:
            if (!PyLong_CheckExact(value) || !compat::small_int_value(value, small) || small < 0) return false;
            out = static_cast<std::uint64_t>(small);
            return desc.bits >= 64 || (out >> desc.bits) == 0;
        case field_encoding::twos_complement: {
            if (!PyLong_CheckExact(value) || !compat::small_int_value(value, small)) return false;
            if (desc.bits == 0 || desc.bits > 64) return false;
            const auto u = static_cast<std::uint64_t>(small);
            // Fits when adding 2**(bits-1) lands it in [0, 2**bits).
            if (desc.bits < 64 && u + (std::uint64_t{1} << (desc.bits - 1)) > low_mask(desc.bits)) return false;
            out = u & low_mask(desc.bits);
            return true;
        }
        case field_encoding::ieee754_f32: {
            if (!PyFloat_CheckExact(value)) return false;
            const double v = PyFloat_AS_DOUBLE(value);
            if (PW_UNLIKELY(v != v)) return false;  // NaNs take the general road
            out = encode_ieee754_f32(narrow_to_f32(v));
            return true;
        }
        case field_encoding::ieee754_f64:
            if (!PyFloat_CheckExact(value)) return false;
            out = encode_ieee754_f64(PyFloat_AS_DOUBLE(value));
            return true;
        default: return false;
    }
}
}  // namespace detail

// The value of a numeric field converted and encoded (the encoder's range
// checks included). With keep_nan, a NaN for a binary16 or binary32 field
// keeps its quiet bit and as much payload as fits (exact recipes and
// arrays); without, it is narrowed as the processor does.
PW_INLINE result<std::uint64_t> encode_number_value(const packet::field_desc& desc, PyObject* value,
                                                    bool keep_nan = false) {
    std::uint64_t pattern;
    if (PW_LIKELY(detail::encode_plain_number(desc, value, pattern))) return pattern;
    return detail::encode_number_general(desc, value, keep_nan);
}

// Packs `value` into plan field p at bit `pos` of a zeroed packet, in the
// packer's order of checks: the encoding name, the value's conversion and
// encoding, then the byte order.
PW_INLINE status pack_value(std::span<std::uint8_t> packet, const packet::plan_field& p, u128 pos, PyObject* value,
                            const field_labels& labels) {
    if (PW_UNLIKELY(p.pack_fault == packet::field_fault::encoding)) return fault_error(p.pack_fault, labels);
    if (is_text(p.desc.encoding)) return detail::pack_text(packet, p, pos, value, labels);
    auto pattern = encode_number_value(p.desc, value, p.exact);
    if (PW_UNLIKELY(!pattern)) return pattern.take_error();
    if (PW_UNLIKELY(p.pack_special)) {
        if (p.pack_fault != packet::field_fault::none) return fault_error(p.pack_fault, labels);
        *pattern = packet::permute_write(*pattern, p.desc.permutation, p.desc.bits);
    }
    packet::put_number(packet, pos, p.desc, *pattern);
    return success();
}

// ---- reading ----

// A decoded number as a new int or float.
PW_INLINE PyObject* number_object(const packet::decoded& d) {
    switch (d.type) {
        case packet::decoded::kind::signed_int: return PyLong_FromLongLong(d.i);
        case packet::decoded::kind::unsigned_int: return PyLong_FromUnsignedLongLong(d.u);
        default: return PyFloat_FromDouble(d.d);
    }
}

// The text of `bytes` as UTF-8 after the `used` bytes of out (counted in
// used) when it can be written straight away: one-byte encodings in ASCII,
// and ISO-8859-1. Returns false, writing nothing, for any other.
bool append_one_byte_text(std::span<const std::uint8_t> bytes, text_encoding enc, std::vector<std::uint8_t>& out,
                          std::size_t& used);

// Whether text field p reads as whole bytes of the packet where they are: at
// a whole byte, in big order, and of a one-byte encoding (the text roads
// that need no scratch).
PW_INLINE bool text_in_place(const packet::plan_field& p, u128 pos, bool exact) noexcept {
    const text_encoding e = text_encoding_of(p.desc.encoding);
    const bool one_byte = e == text_encoding::utf8 || e == text_encoding::us_ascii ||
                          e == text_encoding::iso_8859_1 || e == text_encoding::windows_1252;
    return one_byte && p.read_fault == packet::field_fault::none && p.desc.bits % 8 == 0 &&
           p.desc.order == byte_order::big && (!exact || pos % 8 == 0);
}

// Reads text field p at bit `pos` and writes its value, as UTF-8, after
// the `used` bytes of out (growing it as needed, and counting them in used),
// in the reader's order of checks (room, the field's fault, decoding).
// scratch_points is the caller's memory for decoded code points, kept from
// call to call. Runs no interpreter code.
status read_text_utf8(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos, bool exact,
                      const field_labels& labels, std::vector<std::uint8_t>& out, std::size_t& used,
                      std::vector<std::uint8_t>& scratch_points);

namespace detail {
result<PyObject*> read_value_general(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos,
                                     bool exact, bool cut_fits, const field_labels& labels);
}  // namespace detail

// Reads plan field p at bit `pos` into a new object, in the reader's order
// of checks: room in the packet, the field's fault, then its decoding.
// `cut_fits`: p.cut was worked out for `pos` and is usable on this packet,
// which then is long enough.
PW_INLINE result<PyObject*> read_value(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos,
                                       bool exact, bool cut_fits, const field_labels& labels) {
    packet::decoded d;
    if (PW_LIKELY(cut_fits)) {
        // (A field of permuted bytes has no cut: it takes the general road.)
        const std::uint64_t pattern = packet::apply_cut(p.cut, packet.data());
        if (PW_UNLIKELY(!packet::decode_plain_number(p.desc.encoding, pattern, p.desc.bits, d)))
            return detail::read_value_general(packet, p, pos, exact, cut_fits, labels);
        if (p.exact && d.type == packet::decoded::kind::real && PW_UNLIKELY(d.d != d.d))
            d.d = packet::exact_nan(p.desc.encoding, pattern);
        PyObject* o = number_object(d);
        if (PW_UNLIKELY(!o)) return pending_error();
        return o;
    }
    return detail::read_value_general(packet, p, pos, exact, cut_fits, labels);
}

}  // namespace packweaver::py
