// The per-field steps: packing one value into its field, and reading one
// field into a new object. Every walker (the two packet functions, Recipe
// and its stream readers) calls these and nothing else to handle a field,
// so each check happens at one place in one order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../common/error.hpp"
#include "../packet/plan.hpp"
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

// The error of a plan field's fault.
error fault_error(packet::field_fault fault, const field_labels& labels);

// A plan field for an item whose names are resolved, at bit `pos`.
PW_INLINE packet::plan_field plan_of(const item_fields& f, u128 pos) noexcept {
    packet::plan_field p;
    p.desc = f.field;
    p.position = pos;
    const bool known = f.encoding != nullptr;
    packet::set_faults(p, {f.order_known, known, known && f.encoding->packer});
    return p;
}

// Works out the one-load cut of a plan field at p.position, for the reader,
// where one can be used: numeric fields the reader can decode. `available`
// as for quick_cut_of.
PW_INLINE void plan_cut(packet::plan_field& p, bool exact, std::size_t available) noexcept {
    if (p.read_fault == packet::field_fault::none && !is_text(p.desc.encoding))
        p.cut = packet::quick_cut_of(p.desc, p.position, exact, available);
}

// ---- packing ----

namespace detail {
status pack_text(std::span<std::uint8_t> packet, const packet::plan_field& p, u128 pos, PyObject* value,
                 const field_labels& labels);
}  // namespace detail

// The value of a numeric field converted and encoded (the encoder's range
// checks included).
PW_INLINE result<std::uint64_t> encode_number_value(const packet::field& desc, PyObject* value) {
    packet::number v;
    if (status s = to_number(value, packet::value_kind_of(desc.encoding), v); PW_UNLIKELY(!s)) return s.take_error();
    return packet::encode_number(desc.encoding, v, desc.bits);
}

// Packs `value` into plan field p at bit `pos` of a zeroed packet, in the
// packer's order of checks: the encoding name, the value's conversion and
// encoding, then the byte order.
PW_INLINE status pack_value(std::span<std::uint8_t> packet, const packet::plan_field& p, u128 pos, PyObject* value,
                            const field_labels& labels) {
    if (PW_UNLIKELY(p.pack_fault == packet::field_fault::encoding)) return fault_error(p.pack_fault, labels);
    if (is_text(p.desc.encoding)) return detail::pack_text(packet, p, pos, value, labels);
    auto pattern = encode_number_value(p.desc, value);
    if (PW_UNLIKELY(!pattern)) return pattern.take_error();
    if (PW_UNLIKELY(p.pack_fault != packet::field_fault::none)) return fault_error(p.pack_fault, labels);
    packet::put_number(packet, pos, p.desc, *pattern);
    return success();
}

// ---- reading ----

// A decoded number as a new int or float.
PyObject* number_object(const packet::decoded& d);

namespace detail {
result<PyObject*> read_value_general(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos,
                                     bool exact, const field_labels& labels);
}  // namespace detail

// Reads plan field p at bit `pos` into a new object, in the reader's order
// of checks: room in the packet, the field's fault, then its decoding.
// `cut_fits`: p.cut was worked out for `pos` and is usable on this packet,
// which then is long enough.
PW_INLINE result<PyObject*> read_value(std::span<const std::uint8_t> packet, const packet::plan_field& p, u128 pos,
                                       bool exact, bool cut_fits, const field_labels& labels) {
    if (PW_LIKELY(cut_fits)) {
        auto number = packet::decode_number(p.desc.encoding, packet::apply_cut(p.cut, packet.data()), p.desc.bits);
        if (PW_UNLIKELY(!number)) return number.take_error();
        PyObject* o = number_object(*number);
        if (PW_UNLIKELY(!o)) return pending_error();
        return o;
    }
    return detail::read_value_general(packet, p, pos, exact, labels);
}

}  // namespace packweaver::py
