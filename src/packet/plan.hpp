// A compiled recipe: every field's description and position worked out once,
// and the readers that apply it to one packet or to a whole stream of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "field.hpp"

namespace packweaver::packet {

// One field of a compiled recipe.
struct planned_field {
    field desc;                 // desc.encoding holds only when an engine knows the name
    u128 position = 0;          // first bit, counted from the recipe's bit 0
    bool order_valid = false;   // the byte order word was "big" or "little"
    bool reader_knows = false;  // the reader accepts the encoding name
    bool packer_knows = false;  // the packer accepts it
};

// Positions as both engines place fields: at offset_bits when given, else
// right after the previous field. Returns where the packer's sizing pass
// ends the packet (an item without offset_bits after the furthest field).
u128 place_fields(std::span<planned_field> fields) noexcept;

// Packet bytes a field at bit `pos` needs: whole bytes from the byte holding
// its first bit, or (bit-exact) up to the byte holding its last bit.
PW_INLINE u128 bytes_needed(std::size_t bits, u128 pos, bool exact) noexcept {
    if (exact) return (pos + bits + 7) / 8;
    return pos / 8 + (static_cast<u128>(bits) + 7) / 8;
}

// The field integer of a numeric field at bit `pos` of a packet long enough
// for it (bytes_needed).
PW_INLINE std::uint64_t cut_number(std::span<const std::uint8_t> packet, u128 pos, const field& f,
                                   bool exact) noexcept {
    if (exact) return cut_exact(packet, pos, f.bits, f.reverse, f.order);
    return cut_whole_bytes(packet, static_cast<std::size_t>(pos / 8), f.bits, f.reverse, f.order);
}

// A numeric field's cut worked out once, for fields that one 8-byte load
// reaches: the W raw bits at byte `index`, bit `shift` of the packet (W +
// shift <= 64), their n bytes swapped for little order, then the low `bits`
// bits kept or reversed. Both ways of reading fit this: whole bytes read W =
// 8n bits from the start byte, bit-exact reading W = bits bits at the field.
struct quick_cut {
    std::size_t index = 0;
    unsigned shift = 0;
    unsigned width = 0;  // W; 0 when the field needs the general road
    unsigned bytes = 0;  // n
    unsigned bits = 0;
    bool little = false;
    bool reverse = false;
};

// `available` is how many packet bytes the reads may count on: a field in the
// last 8 of them is read from the word that ends there.
quick_cut quick_cut_of(const field& f, u128 pos, bool exact, std::size_t available = SIZE_MAX) noexcept;

PW_INLINE std::uint64_t load64_be(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return byte_swap64(v);
}

// The field integer, from a packet with at least index + 8 bytes.
PW_INLINE std::uint64_t apply_cut(const quick_cut& c, const std::uint8_t* packet) noexcept {
    std::uint64_t raw = (load64_be(packet + c.index) << c.shift) >> (64 - c.width);
    if (c.little) raw = byte_swap64(raw) >> (64 - 8 * c.bytes);
    return c.reverse ? reverse_low_bits(raw, c.bits) : raw & low_mask(c.bits);
}

// ---- columns ----

// The storage of a numeric column: the narrowest type that holds every value
// the field can decode to. Text fields (and fields that cannot be decoded)
// have none.
enum class column_type : std::uint8_t { u8, u16, u32, u64, i8, i16, i32, i64, f32, f64, none };

column_type column_type_of(field_encoding encoding, std::size_t bits) noexcept;
std::size_t column_width(column_type t) noexcept;  // bytes per value

// Reads one numeric field of `count` packets into out (count values of
// column_type_of(desc)): packet k starts at byte k * stride of data, and the
// field at bit `pos` of it, which must fit in the stride. `available` bytes
// from data may be read (at least stride * count). Returns count, or the
// index of the first packet whose field does not decode (its error in
// *fault). Runs no interpreter code: it may run without the interpreter lock.
std::size_t fill_column(const field& desc, u128 pos, bool exact, const std::uint8_t* data, std::size_t stride,
                        std::size_t count, std::size_t available, void* out, error* fault);

}  // namespace packweaver::packet
