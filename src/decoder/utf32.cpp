// UTF-32 decoding, in either byte order: every unit must be a Unicode scalar
// value, and the units are the characters.
#include <algorithm>
#include <bit>
#include <string>

#include "../common/format.hpp"
#include "../common/text_kernels.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

#if PW_HAVE_SSE2

PW_INLINE __m128i max_epi32(__m128i a, __m128i b) noexcept {
    const __m128i gt = _mm_cmpgt_epi32(a, b);
    return _mm_or_si128(_mm_and_si128(gt, a), _mm_andnot_si128(gt, b));
}

#endif

// The scan from unit i on, with `max` the largest unit before it.
template <bool LE>
PW_INLINE scan_result utf32_scan_from(const u8* s, std::size_t m, std::size_t i, u32 max) noexcept {
    for (; i < m; ++i) {
        const u32 u = load32<LE>(s + 4 * i);
        if (!is_scalar_value(u)) return fault_at(i);
        max = std::max(max, u);
    }
    return shaped(m, max);
}

template <bool LE>
scan_result utf32_scan_scalar(const u8* s, std::size_t m) noexcept {
    return utf32_scan_from<LE>(s, m, 0, 0);
}

template <bool LE>
scan_result utf32_scan_fast(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0;
    u32 max = 0;
#if PW_HAVE_SSE2
    __m128i acc = _mm_setzero_si128();
    for (; m - i >= 8; i += 8) {
        __m128i a = load128(s + 4 * i), b = load128(s + 4 * i + 16);
        if (!LE) {
            a = swap_bytes32(a);
            b = swap_bytes32(b);
        }
        if (PW_UNLIKELY(bitmask(_mm_or_si128(not_scalar_lanes32(a), not_scalar_lanes32(b))) != 0)) break;
        // Scalar values fit in 21 bits, so the signed maximum is the maximum.
        acc = max_epi32(acc, max_epi32(a, b));
    }
    alignas(16) u32 lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    max = std::max({lanes[0], lanes[1], lanes[2], lanes[3]});
#endif
    // The rest, or the block that held a fault, which this loop names.
    return utf32_scan_from<LE>(s, m, i, max);
}

// Units i on of the input as units i on of W-byte storage.
template <unsigned W, bool LE>
PW_INLINE void utf32_write_from(const u8* s, std::size_t m, std::size_t i, u8* out) noexcept {
    for (; i < m; ++i) store_char<W>(out, i, load32<LE>(s + 4 * i));
}

template <unsigned W, bool LE>
void utf32_write_scalar(const u8* s, std::size_t m, u8* out) noexcept {
    utf32_write_from<W, LE>(s, m, 0, out);
}

template <unsigned W, bool LE>
void utf32_write_fast(const u8* s, std::size_t m, u8* out) noexcept {
    constexpr bool native = LE == (std::endian::native == std::endian::little);
    if constexpr (W == 4 && native) return copy_bytes(out, s, 4 * m);
    std::size_t i = 0;
#if PW_HAVE_SSE2
    if constexpr (W == 1) {
        for (; m - i >= 16; i += 16) {
            // Below 0x100, a big-endian unit's value sits in its top byte.
            const auto unit = [&](int k) {
                const __m128i v = load128(s + 4 * i + 16 * k);
                return LE ? v : _mm_srli_epi32(v, 24);
            };
            store128(out + i, pack32to8(unit(0), unit(1), unit(2), unit(3)));
        }
    } else if constexpr (W == 2) {
        for (; m - i >= 8; i += 8) {
            __m128i a = load128(s + 4 * i), b = load128(s + 4 * i + 16);
            if (!LE) {
                a = swap_bytes32(a);
                b = swap_bytes32(b);
            }
            store128(out + 2 * i, pack32to16(a, b));
        }
    } else {
        for (; m - i >= 4; i += 4) store128(out + 4 * i, swap_bytes32(load128(s + 4 * i)));
    }
#endif
    utf32_write_from<W, LE>(s, m, i, out);
}

#if PW_HAVE_AVX2

template <bool LE>
PW_AVX2 scan_result utf32_scan_avx2(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0;
    __m256i acc = _mm256_setzero_si256();
    for (; m - i >= 16; i += 16) {
        __m256i a = load256(s + 4 * i), b = load256(s + 4 * i + 32);
        if (!LE) {
            a = swap_bytes32(a);
            b = swap_bytes32(b);
        }
        if (PW_UNLIKELY(any_set(_mm256_or_si256(not_scalar_lanes32(a), not_scalar_lanes32(b))))) break;
        acc = _mm256_max_epu32(acc, _mm256_max_epu32(a, b));
    }
    // The rest, or the block that held a fault, which this names.
    const u32 max = max_u32_of(acc);
    _mm256_zeroupper();
    const scan_result rest = utf32_scan_fast<LE>(s + 4 * i, m - i);
    if (!rest.ok()) return fault_at(i + rest.fault);
    return shaped(m, std::max<char32_t>(rest.shape.max_char, max));
}

// 8 UTF-32 units below 0x100 as 32-bit numbers; a big-endian unit's value
// sits in its top byte.
template <bool LE>
PW_AVX2_INLINE __m256i latin1_units32(const u8* p) noexcept {
    const __m256i v = load256(p);
    return LE ? v : _mm256_srli_epi32(v, 24);
}

template <unsigned W, bool LE>
PW_AVX2 void utf32_write_avx2(const u8* s, std::size_t m, u8* out) noexcept {
    constexpr bool native = LE == (std::endian::native == std::endian::little);
    if constexpr (W == 4 && native) return copy_bytes(out, s, 4 * m);
    std::size_t i = 0;
    if constexpr (W == 1) {
        for (; m - i >= 32; i += 32) {
            const u8* p = s + 4 * i;
            // Packing works within 128-bit halves; the permutation puts the
            // 4-byte groups back in order.
            const __m256i bytes =
                _mm256_packus_epi16(_mm256_packs_epi32(latin1_units32<LE>(p), latin1_units32<LE>(p + 32)),
                                    _mm256_packs_epi32(latin1_units32<LE>(p + 64), latin1_units32<LE>(p + 96)));
            store256(out + i, _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
        }
    } else if constexpr (W == 2) {
        for (; m - i >= 16; i += 16) {
            __m256i a = load256(s + 4 * i), b = load256(s + 4 * i + 32);
            if (!LE) {
                a = swap_bytes32(a);
                b = swap_bytes32(b);
            }
            store256(out + 2 * i, pack32to16(a, b));
        }
    } else {
        for (; m - i >= 8; i += 8) store256(out + 4 * i, swap_bytes32(load256(s + 4 * i)));
    }
    _mm256_zeroupper();
    utf32_write_fast<W, LE>(s + 4 * i, m - i, out + W * i);
}

#endif

PW_COLD error utf32_invalid(u32 unit) { return value_error("Invalid UTF-32 codepoint: 0x" + fmt::hex(unit, 8)); }

}  // namespace

constinit const utf32_decoders utf32_decoders_by_level[level_count] = {
    {{utf32_scan_scalar<false>, utf32_scan_scalar<true>},
     {{{utf32_write_scalar<1, false>, utf32_write_scalar<2, false>, utf32_write_scalar<4, false>},
       {utf32_write_scalar<1, true>, utf32_write_scalar<2, true>, utf32_write_scalar<4, true>}}}},
    {{utf32_scan_fast<false>, utf32_scan_fast<true>},
     {{{utf32_write_fast<1, false>, utf32_write_fast<2, false>, utf32_write_fast<4, false>},
       {utf32_write_fast<1, true>, utf32_write_fast<2, true>, utf32_write_fast<4, true>}}}},
#if PW_HAVE_AVX2
    {{utf32_scan_avx2<false>, utf32_scan_avx2<true>},
     {{{utf32_write_avx2<1, false>, utf32_write_avx2<2, false>, utf32_write_avx2<4, false>},
       {utf32_write_avx2<1, true>, utf32_write_avx2<2, true>, utf32_write_avx2<4, true>}}}},
#endif
};

}  // namespace text_kernels

using namespace text_kernels;

status decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian, text_sink& sink) {
    if (PW_UNLIKELY(bytes.size() % 4 != 0)) return value_error("UTF-32 requires a multiple of 4 bytes");
    const u8* s = bytes.data();
    const std::size_t m = bytes.size() / 4;
    const utf32_decoders& kernels = active_decoder->utf32;
    const scan_result r = kernels.scan[little_endian](s, m);
    if (PW_UNLIKELY(!r.ok()))
        return utf32_invalid(little_endian ? load32<true>(s + 4 * r.fault) : load32<false>(s + 4 * r.fault));
    return deliver(r.shape, sink, [&](u8* out) {
        kernels.write[little_endian][width_slot(storage_width(r.shape.max_char))](s, m, out);
    });
}

status decode_utf32(std::span<const std::uint8_t> bytes, text_sink& sink) {
    if (PW_UNLIKELY(bytes.size() < 4 || bytes.size() % 4 != 0))
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    const u32 head = load32<false>(bytes.data());
    if (head == 0x0000FEFF) return decode_utf32_with_endianness(bytes.subspan(4), false, sink);
    if (head == 0xFFFE0000) return decode_utf32_with_endianness(bytes.subspan(4), true, sink);
    return decode_utf32_with_endianness(bytes, false, sink);
}

}  // namespace packweaver
