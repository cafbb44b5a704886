#include "field.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "../common/format.hpp"
#include "../decoder/bcd.hpp"
#include "../decoder/ieee754.hpp"
#include "../decoder/integer.hpp"
#include "../decoder/legacy.hpp"
#include "../encoder/bcd.hpp"
#include "../encoder/ieee754.hpp"
#include "../encoder/integer.hpp"

namespace packweaver::packet {

// ---- bit helpers ----

namespace detail {
namespace {

PW_INLINE std::uint64_t load64_be(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return byte_swap64(v);
}

PW_INLINE std::uint64_t load64_le(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Up to 8 bits starting at bit `bit`, right-aligned. Reads the next byte only
// when the bits run into it.
PW_INLINE unsigned get_bits8(const std::uint8_t* src, std::uint64_t bit, unsigned count) noexcept {
    const std::uint64_t i = bit / 8;
    const unsigned o = bit % 8;
    unsigned v = static_cast<unsigned>(src[i]) << 8;
    if (o + count > 8) v |= src[i + 1];
    return (v >> (16 - o - count)) & ((1u << count) - 1);
}

// Writes `count` (<= 8) right-aligned bits of v at bit `bit`.
PW_INLINE void put_bits8(std::uint8_t* dst, std::uint64_t bit, unsigned v, unsigned count) noexcept {
    const std::uint64_t i = bit / 8;
    const unsigned o = bit % 8;
    const unsigned shift = 16 - o - count;  // position of the bits in a 16-bit window
    const unsigned mask = ((1u << count) - 1) << shift;
    const unsigned bits = (v << shift) & mask;
    dst[i] = static_cast<std::uint8_t>((dst[i] & ~(mask >> 8)) | (bits >> 8));
    if (o + count > 8) dst[i + 1] = static_cast<std::uint8_t>((dst[i + 1] & ~mask) | bits);
}

}  // namespace

void copy_bits(std::uint8_t* dst, std::uint64_t dst_bit, const std::uint8_t* src, std::uint64_t src_bit,
               std::uint64_t count) noexcept {
    if (count == 0) return;
    if (dst_bit % 8 == src_bit % 8) {
        dst += dst_bit / 8;
        src += src_bit / 8;
        const unsigned head = dst_bit % 8;
        if (head != 0) {
            const unsigned take = static_cast<unsigned>(std::min<std::uint64_t>(8 - head, count));
            put_bits8(dst, head, get_bits8(src, head, take), take);
            ++dst;
            ++src;
            count -= take;
        }
        const std::uint64_t whole = count / 8;
        std::memcpy(dst, src, static_cast<std::size_t>(whole));
        if (count % 8 != 0)
            put_bits8(dst + whole, 0, get_bits8(src + whole, 0, count % 8), static_cast<unsigned>(count % 8));
        return;
    }
    while (count >= 8) {
        put_bits8(dst, dst_bit, get_bits8(src, src_bit, 8), 8);
        dst_bit += 8;
        src_bit += 8;
        count -= 8;
    }
    if (count != 0)
        put_bits8(dst, dst_bit, get_bits8(src, src_bit, static_cast<unsigned>(count)), static_cast<unsigned>(count));
}

void clear_bits(std::uint8_t* dst, std::uint64_t bit, std::uint64_t count) noexcept {
    if (count == 0) return;
    dst += bit / 8;
    const unsigned head = bit % 8;
    if (head != 0) {
        const unsigned take = static_cast<unsigned>(std::min<std::uint64_t>(8 - head, count));
        put_bits8(dst, head, 0, take);
        ++dst;
        count -= take;
    }
    std::memset(dst, 0, static_cast<std::size_t>(count / 8));
    if (count % 8 != 0) put_bits8(dst + count / 8, 0, 0, static_cast<unsigned>(count % 8));
}

void write_bits(std::uint8_t* dst, std::size_t size, std::uint64_t bit, std::uint64_t value, unsigned width) noexcept {
    if (width == 0) return;
    const std::uint64_t i = bit / 8;
    const unsigned o = bit % 8;
    if (PW_LIKELY(o + width <= 64 && i + 8 <= size)) {
        write_word(dst, static_cast<std::size_t>(i), o, width, value);
        return;
    }
    // Near the end of the packet, or a field reaching into a ninth byte: in
    // pieces of at most eight bits, most significant first.
    unsigned left = width;
    while (left > 0) {
        const unsigned take = std::min(left, 8 - static_cast<unsigned>(bit % 8));
        left -= take;
        put_bits8(dst, bit, static_cast<unsigned>((value >> left) & ((1u << take) - 1)), take);
        bit += take;
    }
}

std::uint64_t read_bits(const std::uint8_t* src, std::size_t size, std::uint64_t bit, unsigned width) noexcept {
    if (width == 0) return 0;
    const std::uint64_t i = bit / 8;
    const unsigned o = bit % 8;
    if (PW_LIKELY(o + width <= 64 && i + 8 <= size)) return (load64_be(src + i) << o) >> (64 - width);
    // Near the end, or spread over nine bytes.
    const unsigned count = (o + width + 7) / 8;
    u128 acc = 0;
    for (unsigned k = 0; k < count; ++k) acc = (acc << 8) | src[i + k];
    return static_cast<std::uint64_t>(acc >> (8 * count - o - width)) & low_mask(width);
}

}  // namespace detail

// ---- values ----

PW_COLD static error unsigned_too_large(std::uint64_t value, std::size_t bits) {
    return value_error("Value " + fmt::dec(value) + " is too large for " + fmt::dec(std::uint64_t{bits}) + " bits");
}

result<std::uint64_t> encode_number(field_encoding encoding, number value, std::size_t bits) {
    switch (encoding) {
        case field_encoding::unsigned_int:
            if (bits < 64 && (value.u >> bits) != 0) return unsigned_too_large(value.u, bits);
            return value.u;
        case field_encoding::ieee754_f16: return encode_ieee754_f16(value.f32);
        case field_encoding::ieee754_f32: return encode_ieee754_f32(value.f32);
        case field_encoding::ieee754_f64: return encode_ieee754_f64(value.f64);
        case field_encoding::twos_complement: return encode_twos_complement(value.i, bits);
        case field_encoding::ones_complement: return encode_ones_complement(value.i, bits);
        case field_encoding::sign_magnitude: return encode_sign_magnitude(value.i, bits);
        case field_encoding::bcd: return encode_unpacked_bcd(value.i, bits, false);
        case field_encoding::bcd_signed: return encode_unpacked_bcd(value.i, bits, true);
        case field_encoding::packed_bcd: return encode_packed_bcd(value.i, bits, false);
        case field_encoding::packed_bcd_signed: return encode_packed_bcd(value.i, bits, true);
        default: return value_error("internal: not a numeric encoding");
    }
}

PW_COLD static error f128_field_error(std::size_t bits) {
    if (bits > 64)
        return value_error(
            "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
    // A narrower field cannot hold a binary128 value: refuse it rather than
    // report a made-up 0.0.
    return value_error("IEEE 754 f128 requires a 128-bit field, got " + fmt::dec(std::uint64_t{bits}) + " bits");
}

PW_INLINE static decoded signed_value(std::int64_t v) noexcept {
    decoded d{decoded::kind::signed_int, {}};
    d.i = v;
    return d;
}

PW_INLINE static decoded real_value(double v) noexcept {
    decoded d{decoded::kind::real, {}};
    d.d = v;
    return d;
}

result<decoded> detail::decode_number_general(field_encoding encoding, std::uint64_t pattern, std::size_t bits) {
    switch (encoding) {
        case field_encoding::unsigned_int: {
            decoded d{decoded::kind::unsigned_int, {}};
            d.u = pattern;
            return d;
        }
        case field_encoding::twos_complement: return signed_value(decode_twos_complement(pattern, bits));
        case field_encoding::ones_complement: return signed_value(decode_ones_complement(pattern, bits));
        case field_encoding::sign_magnitude: return signed_value(decode_sign_magnitude(pattern, bits));
        case field_encoding::bcd:
        case field_encoding::bcd_signed: {
            auto r = decode_unpacked_bcd(pattern, bits, encoding == field_encoding::bcd_signed);
            if (PW_UNLIKELY(!r)) return r.take_error();
            return signed_value(*r);
        }
        case field_encoding::packed_bcd:
        case field_encoding::packed_bcd_signed: {
            auto r = decode_packed_bcd(pattern, bits, encoding == field_encoding::packed_bcd_signed);
            if (PW_UNLIKELY(!r)) return r.take_error();
            return signed_value(*r);
        }
        case field_encoding::ieee754_f16: return real_value(decode_ieee754_f16(pattern));
        case field_encoding::ieee754_f32: return real_value(decode_ieee754_f32(pattern));
        case field_encoding::ieee754_f64: return real_value(decode_ieee754_f64(pattern));
        case field_encoding::ieee754_f128: return f128_field_error(bits);
        default: break;
    }
    if (is_legacy(encoding)) return legacy_decode_error(static_cast<legacy_format>(legacy_index(encoding)));
    return value_error("internal: not a numeric encoding");
}

// ---- placing ----

void encode_integer_to_bytes(std::uint64_t value, std::size_t bits, bool reverse_bits,
                             std::span<std::uint8_t> out) noexcept {
    const std::size_t n = out.size();
    std::memset(out.data(), 0, n);
    if (bits == 0) return;
    if (bits <= 64) {
        const std::uint64_t v = reverse_bits ? reverse_low_bits(value, bits) : value;
        for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - k)));
        return;
    }
    // Wider: the pattern zero-extended; reversed, its 64 bits lead the field
    // right after the padding bits.
    if (!reverse_bits) {
        for (std::size_t k = 0; k < 8; ++k) out[n - 8 + k] = static_cast<std::uint8_t>(value >> (56 - 8 * k));
        return;
    }
    const std::uint64_t rev = reverse64(value);
    std::uint8_t r[8];
    for (std::size_t k = 0; k < 8; ++k) r[k] = static_cast<std::uint8_t>(rev >> (56 - 8 * k));
    detail::copy_bits(out.data(), 8 * n - bits, r, 0, 64);
}

namespace {

PW_INLINE u128 end_bit(std::span<const std::uint8_t> packet) noexcept { return static_cast<u128>(packet.size()) * 8; }

// Writes source bits [src_bit, src_bit + count) at packet bit `at`, keeping
// only the part inside [lo, hi) and inside the packet.
void place_clipped(std::span<std::uint8_t> packet, u128 at, const std::uint8_t* src, std::uint64_t src_bit,
                   std::uint64_t count, u128 lo, u128 hi) noexcept {
    hi = std::min(hi, end_bit(packet));
    u128 from = at, to = at + count;
    if (from < lo) {
        src_bit += static_cast<std::uint64_t>(lo - from);
        from = lo;
    }
    if (to > hi) to = hi;
    if (from >= to) return;
    detail::copy_bits(packet.data(), static_cast<std::uint64_t>(from), src, src_bit,
                      static_cast<std::uint64_t>(to - from));
}

void clear_clipped(std::span<std::uint8_t> packet, u128 from, u128 to) noexcept {
    to = std::min(to, end_bit(packet));
    if (from >= to) return;
    detail::clear_bits(packet.data(), static_cast<std::uint64_t>(from), static_cast<std::uint64_t>(to - from));
}

}  // namespace

void place_number(std::span<std::uint8_t> packet, u128 pos, std::size_t bits, std::uint64_t pattern, bool reverse,
                  byte_order order) noexcept {
    if (bits == 0) return;
    if (PW_LIKELY(bits <= 64)) {
        const std::uint64_t v = field_bits_of(pattern, bits, reverse, order);
        if (PW_LIKELY(pos + bits <= end_bit(packet))) {
            detail::write_bits(packet.data(), packet.size(), static_cast<std::uint64_t>(pos), v,
                               static_cast<unsigned>(bits));
            return;
        }
        std::uint8_t be[8];
        for (int k = 0; k < 8; ++k) be[k] = static_cast<std::uint8_t>(v >> (56 - 8 * k));
        place_clipped(packet, pos, be, 64 - bits, bits, pos, pos + bits);
        return;
    }
    // Wider than the pattern: the field is zero but for at most nine bytes.
    // Work on that window of the field bytes rather than on the whole field.
    const u128 n = (static_cast<u128>(bits) + 7) / 8;
    const unsigned pad = static_cast<unsigned>(n * 8 - bits);
    std::uint8_t window[9] = {};
    unsigned width;  // bytes in the window
    u128 first;      // index of the window's first byte among the field bytes (big order)
    if (!reverse) {
        for (int k = 0; k < 8; ++k) window[k] = static_cast<std::uint8_t>(pattern >> (56 - 8 * k));
        width = 8;
        first = n - 8;
    } else {
        // The reversed pattern fills the field's first 64 bits, after the pad.
        const std::uint64_t rev = reverse64(pattern);
        const u128 wide = static_cast<u128>(rev) << (8 - pad);
        for (int k = 0; k < 9; ++k) window[k] = static_cast<std::uint8_t>(wide >> (64 - 8 * k));
        width = 9;
        first = 0;
    }
    if (order == byte_order::little) {
        std::reverse(window, window + width);
        first = n - first - width;
    }
    clear_clipped(packet, pos, pos + bits);
    // Field byte j holds field bits [8j, 8j + 8); field bit x lands at
    // pos + x - pad, so the pad bits of the first byte fall before the field.
    if (first * 8 < pad) {
        place_clipped(packet, pos, window, pad, width * 8 - pad, pos, pos + bits);
    } else {
        place_clipped(packet, pos + first * 8 - pad, window, 0, width * 8, pos, pos + bits);
    }
}

void place_text(std::span<std::uint8_t> packet, u128 pos, std::size_t bits, std::span<std::uint8_t> bytes,
                byte_order order) noexcept {
    if (order == byte_order::little) std::reverse(bytes.begin(), bytes.end());
    const u128 length = static_cast<u128>(bytes.size()) * 8;
    const u128 skip = length >= bits ? length - bits : 0;
    const u128 used = length - skip;
    clear_clipped(packet, pos + used, pos + bits);
    place_clipped(packet, pos, bytes.data(), static_cast<std::uint64_t>(skip), static_cast<std::uint64_t>(used), pos,
                  pos + bits);
}

void copy_field(std::span<std::uint8_t> dst, u128 dst_pos, std::span<const std::uint8_t> src, u128 src_pos,
                std::size_t bits) noexcept {
    u128 count = bits;
    count = std::min(count, end_bit(dst) > dst_pos ? end_bit(dst) - dst_pos : 0);
    count = std::min(count, end_bit(src) > src_pos ? end_bit(src) - src_pos : 0);
    if (count == 0) return;
    detail::copy_bits(dst.data(), static_cast<std::uint64_t>(dst_pos), src.data(), static_cast<std::uint64_t>(src_pos),
                      static_cast<std::uint64_t>(count));
}

// ---- cutting ----

namespace {

PW_INLINE std::uint64_t load_be(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

PW_INLINE std::uint64_t load_le(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

// The first eight field bytes as a big-endian number; the field bytes are
// the packet's, reversed for little byte order. `room` is how many packet
// bytes lie from the field's start to the packet's end.
PW_INLINE std::uint64_t field_integer(const std::uint8_t* field, std::size_t count, std::size_t room,
                                      byte_order order) noexcept {
    if (count == 0) return 0;
    if (order == byte_order::big) {
        if (count >= 8) return detail::load64_be(field);
        // One 8-byte load where the packet allows it; the shift keeps `count` bytes.
        if (room >= 8) return detail::load64_be(field) >> (64 - 8 * count);
        return load_be(field, count);
    }
    // Reversed bytes read big-endian are the last eight bytes read little-endian.
    if (count >= 8) return detail::load64_le(field + count - 8);
    if (room >= 8) return detail::load64_le(field) & (~std::uint64_t{0} >> (64 - 8 * count));
    return load_le(field, count);
}

// Field byte j of a field wider than 64 bits, as placement left it (after
// byte order): field bit x lies at packet bit pos + x - pad, and the pad
// bits in front of byte 0 were never written.
PW_INLINE std::uint8_t placed_byte(std::span<const std::uint8_t> packet, u128 pos, unsigned pad, u128 j) noexcept {
    if (j == 0)
        return static_cast<std::uint8_t>(
            detail::read_bits(packet.data(), packet.size(), static_cast<std::uint64_t>(pos), 8 - pad));
    return static_cast<std::uint8_t>(
        detail::read_bits(packet.data(), packet.size(), static_cast<std::uint64_t>(pos + 8 * j - pad), 8));
}

}  // namespace

std::uint64_t cut_whole_bytes(std::span<const std::uint8_t> packet, std::size_t start, std::size_t bits,
                              bool reverse, byte_order order) noexcept {
    const std::size_t count = bits / 8 + (bits % 8 != 0);
    const std::uint64_t v = field_integer(packet.data() + start, count, packet.size() - start, order);
    return reverse ? reverse_low_bits(v, bits) : v & low_mask(bits);
}

std::span<const std::uint8_t> cut_text_bytes(std::span<const std::uint8_t> packet, std::size_t start,
                                             std::size_t count, byte_order order, std::uint8_t* scratch) noexcept {
    const std::uint8_t* field = packet.data() + start;
    if (order == byte_order::big || count == 0) return {field, count};
    std::reverse_copy(field, field + count, scratch);
    return {scratch, count};
}

std::uint64_t cut_exact(std::span<const std::uint8_t> packet, u128 pos, std::size_t bits, bool reverse,
                        byte_order order) noexcept {
    if (bits == 0) return 0;
    if (PW_LIKELY(bits <= 64)) {
        // The field bytes with the bits placement dropped as zeros.
        std::uint64_t v = detail::read_bits(packet.data(), packet.size(), static_cast<std::uint64_t>(pos),
                                            static_cast<unsigned>(bits));
        if (order == byte_order::little) {
            const unsigned n = static_cast<unsigned>((bits + 7) / 8);
            v = byte_swap64(v) >> (64 - 8 * n);
        }
        return reverse ? reverse_low_bits(v, bits) : v & low_mask(bits);
    }
    // Wider: rebuild the few field bytes that hold the pattern, in the order
    // they had before the byte order was applied.
    const u128 n = (static_cast<u128>(bits) + 7) / 8;
    const unsigned pad = static_cast<unsigned>(n * 8 - bits);
    auto byte_before_order = [&](u128 k) {
        return placed_byte(packet, pos, pad, order == byte_order::little ? n - 1 - k : k);
    };
    if (!reverse) {
        std::uint64_t v = 0;
        for (u128 k = n - 8; k < n; ++k) v = (v << 8) | byte_before_order(k);
        return v;
    }
    // The reversed pattern is bits [pad, pad + 64) of the first nine bytes.
    u128 acc = 0;
    for (u128 k = 0; k < 9; ++k) acc = (acc << 8) | byte_before_order(k);
    return reverse64(static_cast<std::uint64_t>(acc >> (8 - pad)));
}

void cut_text_exact(std::span<const std::uint8_t> packet, u128 pos, std::size_t bits, byte_order order,
                    std::uint8_t* out) noexcept {
    const std::size_t n = bits / 8 + (bits % 8 != 0);
    if (n == 0) return;
    out[n - 1] = 0;
    detail::copy_bits(out, 0, packet.data(), static_cast<std::uint64_t>(pos), bits);
    if (order == byte_order::little) std::reverse(out, out + n);
}

}  // namespace packweaver::packet
