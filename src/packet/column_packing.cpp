#include "column_packing.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>

#include "../common/format.hpp"
#include "../encoder/ieee754.hpp"

namespace packweaver::packet {
namespace {

PW_COLD error out_of_range(std::int64_t v, bool negative_only, std::size_t bits, bool is_signed) {
    const std::string value = negative_only ? fmt::dec(v) : fmt::dec(static_cast<std::uint64_t>(v));
    if (!is_signed)
        return value_error("Value " + value + " out of range for " + fmt::dec(std::uint64_t{bits}) +
                           " bits (range: 0 to " + fmt::dec(low_mask(bits)) + ")");
    return value_error("Value " + value + " out of range for " + fmt::dec(std::uint64_t{bits}) + " bits");
}

// A float element as binary64, a NaN bit by bit when the field is exact.
template <class T>
PW_INLINE double as_double(T v, bool exact) noexcept {
    if constexpr (std::is_same_v<T, float>) {
        if (PW_UNLIKELY(v != v) && exact) return widen_nan_f32(std::bit_cast<std::uint32_t>(v));
    }
    return static_cast<double>(v);
}

// The pattern of element v for the field, or false with *fault set.
template <class T>
PW_INLINE bool encode_element(const field_desc& d, bool exact, T v, std::uint64_t& out, error* fault) {
    constexpr bool is_float = std::is_floating_point_v<T>;
    const field_encoding e = d.encoding;
    if constexpr (is_float) {
        if (e == field_encoding::ieee754_f32) {
            if constexpr (std::is_same_v<T, float>) {
                out = std::bit_cast<std::uint32_t>(v);  // exact, NaNs included
                return true;
            }
            const double x = static_cast<double>(v);
            out = PW_UNLIKELY(x != x) && exact ? narrow_nan_f32(x) : encode_ieee754_f32(narrow_to_f32(x));
            return true;
        }
        if (e == field_encoding::ieee754_f64) {
            out = encode_ieee754_f64(as_double(v, exact));
            return true;
        }
        const double x = as_double(v, exact);  // ieee754_f16
        out = PW_UNLIKELY(x != x) && exact ? narrow_nan_f16(x) : encode_ieee754_f16(narrow_to_f32(x));
        return true;
    } else {
        const value_kind kind = value_kind_of(e);
        if (kind == value_kind::binary32 || kind == value_kind::binary64) {
            return encode_element<double>(d, exact, static_cast<double>(v), out, fault);
        }
        number n;
        if constexpr (std::is_signed_v<T>) {
            const auto i = static_cast<std::int64_t>(v);
            if (kind == value_kind::unsigned_int) {
                if (PW_UNLIKELY(i < 0)) {
                    *fault = out_of_range(i, true, d.bits, false);
                    return false;
                }
                n.u = static_cast<std::uint64_t>(i);
            } else {
                n.i = i;
            }
        } else {
            const auto u = static_cast<std::uint64_t>(v);
            if (kind == value_kind::signed_int) {
                if (PW_UNLIKELY(u > static_cast<std::uint64_t>(INT64_MAX))) {
                    *fault = out_of_range(static_cast<std::int64_t>(u), false, d.bits, true);
                    return false;
                }
                n.i = static_cast<std::int64_t>(u);
            } else {
                n.u = u;
            }
        }
        // The common encodings inline; the rest with the packer's own checks.
        if (e == field_encoding::unsigned_int && (d.bits >= 64 || (n.u >> d.bits) == 0)) {
            out = n.u;
            return true;
        }
        if (e == field_encoding::twos_complement && d.bits < 64 && d.bits > 0) {
            const auto u = static_cast<std::uint64_t>(n.i);
            if (u + (std::uint64_t{1} << (d.bits - 1)) <= low_mask(d.bits)) {
                out = u & low_mask(d.bits);
                return true;
            }
        }
        auto r = encode_number(e, n, d.bits);
        if (PW_UNLIKELY(!r)) {
            *fault = r.take_error();
            return false;
        }
        out = *r;
        return true;
    }
}

// Writes pattern values at one position of every packet: by one 8-byte
// read-modify-write inside the packet where the field allows, else by the
// general placement.
//
// Everything it needs is copied in: stores through the packets' bytes could
// otherwise alias what it reads, and it would read it again for every value.
struct field_writer {
    field_desc d;
    u128 pos;
    std::size_t stride;
    std::size_t index;
    unsigned shift, width, bits;
    bool in_word, plain;  // plain: big order, not reversed, so the pattern is the field's bits

    field_writer(const field_desc& desc, u128 at, std::size_t packet_size) noexcept : d(desc), pos(at), stride(packet_size) {
        const word_cut c = word_cut_of(desc, at, true, packet_size);
        index = c.index;
        shift = c.shift;
        width = c.width;
        bits = static_cast<unsigned>(std::min<std::size_t>(desc.bits, 64));
        in_word = c.width != 0 && c.index + 8 <= packet_size;
        plain = desc.order == byte_order::big && !desc.reverse && desc.permutation == 0;
    }

    PW_INLINE void operator()(std::uint8_t* out, std::size_t k, std::uint64_t pattern) const noexcept {
        if (PW_LIKELY(in_word)) {
            std::uint64_t v = pattern;
            if (!plain) {
                if (d.permutation != 0) v = permute_write(v, d.permutation, d.bits);
                v = field_bits_of(v, bits, d.reverse, d.order);
            }
            detail::write_word(out + k * stride, index, shift, width, v);
        } else {
            if (d.permutation != 0) pattern = permute_write(pattern, d.permutation, d.bits);
            put_number({out + k * stride, stride}, pos, d, pattern);
        }
    }
};

template <class T, class Encode>
std::size_t place_loop(const field_writer& writer, const T* src, bool repeat, std::uint8_t* out, std::size_t first,
                       std::size_t last, Encode encode) {
    const field_writer w = writer;
    if (out == nullptr || repeat) {  // checking only, or one value for every packet
        for (std::size_t k = first; k < last; ++k) {
            std::uint64_t pattern;
            if (PW_UNLIKELY(!encode(src[repeat ? 0 : k], pattern))) return k;
            if (out != nullptr) w(out, k, pattern);
        }
        return last;
    }
    if (w.in_word && w.plain) {
        // The common case, its branches taken out of the loop: a big-endian
        // field one 8-byte write reaches.
        std::uint8_t* at = out + w.index;
        const std::size_t stride = w.stride;
        const unsigned down = 64 - w.shift - w.width;
        const std::uint64_t mask = low_mask(w.width) << down;
        for (std::size_t k = first; k < last; ++k) {
            std::uint64_t pattern;
            if (PW_UNLIKELY(!encode(src[k], pattern))) return k;
            std::uint64_t word;
            std::memcpy(&word, at + k * stride, 8);
            word = byte_swap64((byte_swap64(word) & ~mask) | ((pattern << down) & mask));
            std::memcpy(at + k * stride, &word, 8);
        }
        return last;
    }
    for (std::size_t k = first; k < last; ++k) {
        std::uint64_t pattern;
        if (PW_UNLIKELY(!encode(src[k], pattern))) return k;
        w(out, k, pattern);
    }
    return last;
}

// The loop for the field's encoding: the common ones with their checks
// inline, every other through encode_element.
template <class T>
std::size_t place_typed(const plan_field& p, u128 base, const T* src, bool repeat, std::uint8_t* out,
                        std::size_t stride, std::size_t first, std::size_t last, error* fault) {
    const field_desc& d = p.desc;
    const field_writer w(d, base + p.position, stride);
    const bool exact = p.exact;
    auto general = [&](T v, std::uint64_t& pattern) { return encode_element(d, exact, v, pattern, fault); };
    const unsigned bits = static_cast<unsigned>(std::min<std::size_t>(d.bits, 64));
    if constexpr (std::is_integral_v<T>) {
        if (d.encoding == field_encoding::unsigned_int && bits > 0) {
            const std::uint64_t over = bits >= 64 ? 0 : ~low_mask(bits);
            return place_loop(w, src, repeat, out, first, last, [over, &general](T v, std::uint64_t& pattern) {
                if constexpr (std::is_signed_v<T>)
                    if (v < 0) return general(v, pattern);
                pattern = static_cast<std::uint64_t>(v);
                return (pattern & over) == 0 || general(v, pattern);
            });
        }
        if (d.encoding == field_encoding::twos_complement && bits > 0 && bits < 64) {
            const std::uint64_t half = std::uint64_t{1} << (bits - 1), mask = low_mask(bits);
            return place_loop(w, src, repeat, out, first, last, [half, mask, &general](T v, std::uint64_t& pattern) {
                const auto u = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
                if constexpr (!std::is_signed_v<T>)
                    if (static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(INT64_MAX)) return general(v, pattern);
                pattern = u & mask;
                return u + half <= mask || general(v, pattern);
            });
        }
    } else {
        if (d.encoding == field_encoding::ieee754_f64 && std::is_same_v<T, double>)
            return place_loop(w, src, repeat, out, first, last, [](T v, std::uint64_t& pattern) {
                pattern = std::bit_cast<std::uint64_t>(static_cast<double>(v));
                return true;
            });
        if (d.encoding == field_encoding::ieee754_f32 && std::is_same_v<T, float>)
            return place_loop(w, src, repeat, out, first, last, [](T v, std::uint64_t& pattern) {
                pattern = std::bit_cast<std::uint32_t>(static_cast<float>(v));
                return true;
            });
    }
    return place_loop(w, src, repeat, out, first, last, general);
}

std::size_t place_patterns(const plan_field& p, u128 base, const std::uint64_t* src, bool repeat, std::uint8_t* out,
                           std::size_t stride, std::size_t first, std::size_t last) {
    if (out == nullptr) return last;
    const field_writer w(p.desc, base + p.position, stride);
    for (std::size_t k = first; k < last; ++k) w(out, k, src[repeat ? 0 : k]);
    return last;
}

// Half-precision elements: their binary16 bits, widened to binary32 first
// when the field is not binary16 itself.
std::size_t place_halves(const plan_field& p, u128 base, const std::uint16_t* src, bool repeat, std::uint8_t* out,
                         std::size_t stride, std::size_t first, std::size_t last, error* fault) {
    const field_writer w(p.desc, base + p.position, stride);
    for (std::size_t k = first; k < last; ++k) {
        const std::uint16_t h = src[repeat ? 0 : k];
        std::uint64_t pattern = h;
        if (p.desc.encoding != field_encoding::ieee754_f16) {
            const float f = decode_ieee754_f16(h);
            const double x = f != f && p.exact ? widen_nan_f16(h) : static_cast<double>(f);
            if (!encode_element(p.desc, p.exact, x, pattern, fault)) return k;
        }
        if (out != nullptr) w(out, k, pattern);
    }
    return last;
}

}  // namespace

std::size_t place_column(const plan_field& p, u128 base, const column_values& src, std::uint8_t* out,
                         std::size_t stride, std::size_t first, std::size_t last, error* fault) {
    const bool r = src.repeat;
    switch (src.type) {
        case element_type::i8: return place_typed(p, base, static_cast<const std::int8_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::i16: return place_typed(p, base, static_cast<const std::int16_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::i32: return place_typed(p, base, static_cast<const std::int32_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::i64: return place_typed(p, base, static_cast<const std::int64_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::u8:
        case element_type::boolean: return place_typed(p, base, static_cast<const std::uint8_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::u16: return place_typed(p, base, static_cast<const std::uint16_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::u32: return place_typed(p, base, static_cast<const std::uint32_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::u64: return place_typed(p, base, static_cast<const std::uint64_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::f16: return place_halves(p, base, static_cast<const std::uint16_t*>(src.data), r, out, stride, first, last, fault);
        case element_type::f32: return place_typed(p, base, static_cast<const float*>(src.data), r, out, stride, first, last, fault);
        case element_type::f64: return place_typed(p, base, static_cast<const double*>(src.data), r, out, stride, first, last, fault);
        case element_type::patterns: return place_patterns(p, base, static_cast<const std::uint64_t*>(src.data), r, out, stride, first, last);
    }
    return first;
}

}  // namespace packweaver::packet
