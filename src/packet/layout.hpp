// Where the fields of one packet lie when a recipe has arrays: an array's
// length may come from an earlier field's value or from the packet's own
// length, and the fields that follow it move with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "plan.hpp"

namespace packweaver::packet {

// A field's place in one packet: its first bit and how many elements it holds.
struct field_place {
    u128 position = 0;
    std::uint64_t count = 1;
};

// Bits the elements of a field take.
PW_INLINE u128 extent_bits(const plan_field& p, std::uint64_t count) noexcept {
    return static_cast<u128>(count) * p.desc.bits;
}

// Where a layout stopped: the field whose place (or whose count field) the
// packet is too short for, and the bytes it would need.
struct layout_stop {
    std::size_t field = SIZE_MAX;
    u128 needed = 0;
};

// Places every field of an exact recipe in a packet whose bit `base` is the
// recipe's bit 0, into out[0, fields.size()). Fields with offset_bits sit at
// base + offset; others follow the previous field's last element; those after
// a "rest" array sit at the packet's end. A count taken from a field is its
// unsigned value; every array is checked to fit in the packet. Returns
// fields.size(), or the index where the layout stopped (out filled before it).
//
// `from`: the fields before it have one place in every packet, already in
// out (base + their position), and field `from` would begin at base +
// `cursor` when it follows the previous one: a caller laying out many
// packets lays out only the fields from the first array whose count varies.
std::size_t lay_out(std::span<const plan_field> fields, std::span<const std::uint8_t> packet, u128 base,
                    field_place* out, layout_stop& stop, std::size_t from = 0, u128 cursor = 0) noexcept;

// The first array field (from which places may vary, and each array is
// checked to fit the packet), and where it would begin following the fields
// before it, counted from the recipe's bit 0. For the fields before it,
// out[i] = {base + position, 1}.
struct layout_start {
    std::size_t from = 0;
    u128 cursor = 0;
};
layout_start fixed_prefix(std::span<const plan_field> fields) noexcept;

// The same, for packing: the counts given (counts[i] for each array field,
// the others 1), into a packet as long as its fields need. Returns the
// packet's length in bits (whole bytes); a "rest" array's trailing fields
// sit at that end.
u128 lay_out_for_packing(std::span<const plan_field> fields, const std::uint64_t* counts, field_place* out) noexcept;

}  // namespace packweaver::packet
