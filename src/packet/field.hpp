// The packet field model: one field's description, placing a field into a
// packet and cutting it out again. Every engine uses these; nothing else
// places or cuts bits.
//
// Packet bits are numbered from 0 at the most significant bit of the first
// byte. A numeric field is placed as the packer lays it out: the pattern
// turned into n = (bits + 7) / 8 bytes, most significant first, its low
// `bits` bits reversed first when asked, the bytes reversed for "little"
// order, and the last `bits` bits of those bytes written at the field's
// position (a field wider than 64 bits is zero but for the pattern). A text
// field is its encoded bytes, reversed for "little" order, left-aligned in
// the field and zero-padded, or cut to its last `bits` bits.
//
// Two ways of reading a field back:
// - whole bytes: the n bytes from the byte that holds the field's first bit,
//   in byte order, their low `bits` bits kept (or reversed);
// - bit-exact: the field's `bits` bits at their exact position, read as the
//   exact inverse of placement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "../common/bits.hpp"
#include "../common/encodings.hpp"
#include "../common/error.hpp"
#include "../decoder/ieee754.hpp"
#include "../decoder/integer.hpp"

namespace packweaver::packet {

// One field of a packet.
struct field_desc {
    field_encoding encoding = field_encoding::unsigned_int;
    std::size_t bits = 0;
    std::size_t offset = 0;   // the position, when has_offset
    bool has_offset = false;  // else the field follows the previous one
    byte_order order = byte_order::big;
    bool reverse = false;
    // Bytes in another order than big or little (exact recipes): nibble j
    // is the packet byte (0 first) that holds the value's byte j (0 most
    // significant) of the field's bits / 8; order is then big. 0: none.
    std::uint32_t permutation = 0;
};

// A field integer read in big order, its bytes put back in value order.
PW_INLINE std::uint64_t permute_read(std::uint64_t raw, std::uint32_t permutation, std::size_t bits) noexcept {
    const unsigned n = static_cast<unsigned>(bits / 8);
    std::uint64_t v = 0;
    for (unsigned j = 0; j < n; ++j) {
        const unsigned from = (permutation >> (4 * j)) & 0xF;
        v |= ((raw >> (8 * (n - 1 - from))) & 0xFF) << (8 * (n - 1 - j));
    }
    return v;
}

// The inverse: a value's bytes in the order the packet holds them, to be
// placed in big order.
PW_INLINE std::uint64_t permute_write(std::uint64_t value, std::uint32_t permutation, std::size_t bits) noexcept {
    const unsigned n = static_cast<unsigned>(bits / 8);
    std::uint64_t raw = 0;
    for (unsigned j = 0; j < n; ++j) {
        const unsigned to = (permutation >> (4 * j)) & 0xF;
        raw |= ((value >> (8 * (n - 1 - j))) & 0xFF) << (8 * (n - 1 - to));
    }
    return raw;
}

// ---- values ----

// What a field's value is converted to before it is encoded.
enum class value_kind : std::uint8_t { signed_int, unsigned_int, binary32, binary64, text, none };

constexpr value_kind value_kind_of(field_encoding e) noexcept {
    switch (e) {
        case field_encoding::unsigned_int: return value_kind::unsigned_int;
        case field_encoding::ieee754_f16:
        case field_encoding::ieee754_f32: return value_kind::binary32;
        case field_encoding::ieee754_f64: return value_kind::binary64;
        case field_encoding::ieee754_f128: return value_kind::none;
        default: break;
    }
    if (is_text(e)) return value_kind::text;
    if (is_legacy(e)) return value_kind::none;
    return value_kind::signed_int;
}

// A numeric value, the member named by value_kind_of(encoding).
union number {
    std::int64_t i;
    std::uint64_t u;
    float f32;
    double f64;
};

// The bit pattern of a numeric field's value, or the encoder's failure.
result<std::uint64_t> encode_number(field_encoding encoding, number value, std::size_t bits);

// A decoded numeric field.
struct decoded {
    enum class kind : std::uint8_t { signed_int, unsigned_int, real } type;
    union {
        std::int64_t i;
        std::uint64_t u;
        double d;
    };
};

namespace detail {
// decode_number for every encoding: the decoders that can fail, the
// not-implemented formats and the rare ones.
result<decoded> decode_number_general(field_encoding encoding, std::uint64_t pattern, std::size_t bits);
}  // namespace detail

// The common encodings, which cannot fail, decoded inline: returns false
// (d untouched) for every other.
PW_INLINE bool decode_plain_number(field_encoding encoding, std::uint64_t pattern, std::size_t bits,
                                   decoded& d) noexcept {
    switch (encoding) {
        case field_encoding::unsigned_int:
            d.type = decoded::kind::unsigned_int;
            d.u = pattern;
            return true;
        case field_encoding::twos_complement:
            d.type = decoded::kind::signed_int;
            d.i = decode_twos_complement(pattern, bits);
            return true;
        case field_encoding::ieee754_f32:
            d.type = decoded::kind::real;
            d.d = decode_ieee754_f32(pattern);
            return true;
        case field_encoding::ieee754_f64:
            d.type = decoded::kind::real;
            d.d = decode_ieee754_f64(pattern);
            return true;
        default: return false;
    }
}

// Decodes a field integer (whichever way it was cut) as `encoding`, or the
// decoder's failure (the not-implemented formats included). Text encodings
// are not numbers: the caller decodes their bytes.
PW_INLINE result<decoded> decode_number(field_encoding encoding, std::uint64_t pattern, std::size_t bits) {
    decoded d{decoded::kind::real, {}};
    if (PW_LIKELY(decode_plain_number(encoding, pattern, bits, d))) return d;
    return detail::decode_number_general(encoding, pattern, bits);
}

// A binary16 or binary32 NaN field as a binary64 NaN with its quiet bit as
// the field holds it (decode_number sets it, as the processor does).
PW_INLINE double exact_nan(field_encoding encoding, std::uint64_t pattern) noexcept {
    if (encoding == field_encoding::ieee754_f16) return widen_nan_f16(pattern);
    if (encoding == field_encoding::ieee754_f32) return widen_nan_f32(pattern);
    return decode_ieee754_f64(pattern);
}

// ---- placing ----

// The (bits + 7) / 8 bytes of a numeric pattern, most significant first (the
// pattern right-aligned), its low `bits` bits reversed first when asked.
// Widths above 64 zero-extend the pattern. out must hold exactly that many bytes.
void encode_integer_to_bytes(std::uint64_t value, std::size_t bits, bool reverse_bits,
                             std::span<std::uint8_t> out) noexcept;

// The bits a numeric field of 1 to 64 bits holds, right-aligned: the
// pattern's n = (bits + 7) / 8 bytes (nothing of it cleared first), its low
// bits reversed when asked, the bytes reversed for little order, then the
// last `bits` bits.
PW_INLINE std::uint64_t field_bits_of(std::uint64_t pattern, std::size_t bits, bool reverse,
                                      byte_order order) noexcept {
    const unsigned n = static_cast<unsigned>((bits + 7) / 8);
    std::uint64_t v = reverse ? reverse_low_bits(pattern, bits) : pattern & low_mask(8 * n);
    if (order == byte_order::little) v = byte_swap64(v) >> (64 - 8 * n);
    return v & low_mask(bits);
}

namespace detail {
// dst bits [8 * index + shift, + width) := the low `width` bits of value, by
// one unaligned 64-bit read-modify-write (shift + width <= 64, index + 8 <= size).
PW_INLINE void write_word(std::uint8_t* dst, std::size_t index, unsigned shift, unsigned width,
                          std::uint64_t value) noexcept {
    std::uint64_t word;
    std::memcpy(&word, dst + index, 8);
    word = byte_swap64(word);
    const unsigned down = 64 - shift - width;
    const std::uint64_t mask = low_mask(width) << down;
    word = byte_swap64((word & ~mask) | ((value << down) & mask));
    std::memcpy(dst + index, &word, 8);
}
}  // namespace detail

// The common case of place_number, inline: a field of 1 to 64 bits that one
// 8-byte write inside the packet reaches. Returns false, writing nothing,
// for any other; place_number then does it.
PW_INLINE bool place_number_in_word(std::span<std::uint8_t> packet, std::uint64_t pos, std::size_t bits,
                                  std::uint64_t pattern, bool reverse, byte_order order) noexcept {
    std::uint64_t index = pos / 8;
    std::uint64_t shift = pos % 8;
    // Near the end, the word that ends with the packet's last byte.
    if (index + 8 > packet.size() && packet.size() >= 8 && index < packet.size()) {
        shift += 8 * (index - (packet.size() - 8));
        index = packet.size() - 8;
    }
    if (bits == 0 || bits > 64 || shift + bits > 64 || index + 8 > packet.size()) return false;
    detail::write_word(packet.data(), static_cast<std::size_t>(index), static_cast<unsigned>(shift),
                       static_cast<unsigned>(bits), field_bits_of(pattern, bits, reverse, order));
    return true;
}

// Writes a numeric field at bit `pos`. Bits past the packet's end are not
// written, so a position or width that no longer fits writes only what does.
void place_number(std::span<std::uint8_t> packet, u128 pos, std::size_t bits, std::uint64_t pattern, bool reverse,
                  byte_order order) noexcept;

// Writes a text field at bit `pos` (clipped as above). Reverses `bytes` in
// place for little byte order.
void place_text(std::span<std::uint8_t> packet, u128 pos, std::size_t bits, std::span<std::uint8_t> bytes,
                byte_order order) noexcept;

// Copies a field's `bits` bits from bit src_pos of one packet to bit dst_pos
// of another, leaving every other bit of dst as it was. Clipped to both.
void copy_field(std::span<std::uint8_t> dst, u128 dst_pos, std::span<const std::uint8_t> src, u128 src_pos,
                std::size_t bits) noexcept;

// ---- cutting ----

// Whole bytes: the field integer of the n bytes from byte `start` (which must
// lie inside the packet, n bytes of them), in byte order, with its low
// `bits` bits kept or, when reverse, reversed. Widths above 64 keep the
// first eight field bytes.
std::uint64_t cut_whole_bytes(std::span<const std::uint8_t> packet, std::size_t start, std::size_t bits,
                              bool reverse, byte_order order) noexcept;

// Whole bytes of a text field: the `count` bytes from byte `start` (inside
// the packet), in byte order. Big order returns a view of the packet; little
// order reverses them into `scratch`, which must hold count bytes.
std::span<const std::uint8_t> cut_text_bytes(std::span<const std::uint8_t> packet, std::size_t start,
                                             std::size_t count, byte_order order, std::uint8_t* scratch) noexcept;

// Bit-exact: the pattern a numeric field placed at bit `pos` holds, the
// inverse of place_number. pos + bits must lie inside the packet. Where the
// placement dropped bits (a "little" field of a partial byte count), they
// read as zero. Widths above 64 give the 64 bits where the pattern was put.
std::uint64_t cut_exact(std::span<const std::uint8_t> packet, u128 pos, std::size_t bits, bool reverse,
                        byte_order order) noexcept;

// Bit-exact text: the `bits` bits at `pos` followed by zero bits to a whole
// byte, byte order undone, into out ((bits + 7) / 8 bytes).
void cut_text_exact(std::span<const std::uint8_t> packet, u128 pos, std::size_t bits, byte_order order,
                    std::uint8_t* out) noexcept;

namespace detail {
// dst bits [dst_bit, dst_bit + count) := src bits [src_bit, src_bit + count).
// Other bits of dst are kept; nothing outside those bit ranges is read or written.
void copy_bits(std::uint8_t* dst, std::uint64_t dst_bit, const std::uint8_t* src, std::uint64_t src_bit,
               std::uint64_t count) noexcept;
// dst bits [bit, bit + count) := 0.
void clear_bits(std::uint8_t* dst, std::uint64_t bit, std::uint64_t count) noexcept;
// dst bits [bit, bit + width) := the low `width` bits of value (width <= 64),
// most significant first; the buffer holds `size` bytes and bit + width fits.
void write_bits(std::uint8_t* dst, std::size_t size, std::uint64_t bit, std::uint64_t value, unsigned width) noexcept;
// The `width` (<= 64) bits at `bit`, right-aligned; bit + width fits in `size` bytes.
std::uint64_t read_bits(const std::uint8_t* src, std::size_t size, std::uint64_t bit, unsigned width) noexcept;
}  // namespace detail

}  // namespace packweaver::packet
