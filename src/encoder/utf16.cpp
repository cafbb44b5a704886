// UTF-16 encoding of the host's text, in either byte order, with or without
// a byte order mark.
#include <array>
#include <cstring>

#include "../common/text_kernels.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

// Block steps (see narrow16): 16 bytes as UTF-16 units; 8 UCS-2 units
// copied as UTF-16, failing on a surrogate; 8 UCS-4 characters as single
// UTF-16 units, failing unless all are BMP characters (no surrogate, nothing
// that needs a pair).

#if PW_HAVE_SSE2

template <bool LE>
PW_INLINE void widen8to16(const u8* src, u8* dst) noexcept {
    widen_store<2, LE>(load128(src), dst);
}

template <bool LE>
PW_INLINE bool copy16(const u8* src, u8* dst) noexcept {
    const __m128i v = load128(src);
    store128(dst, LE ? v : swap_bytes16(v));
    return bitmask(surrogate_lanes16(v)) == 0;
}

template <bool LE>
PW_INLINE bool narrow32to16(const u8* src, u8* dst) noexcept {
    const __m128i a = load128(src), b = load128(src + 16);
    const __m128i units = pack32to16(a, b);
    store128(dst, LE ? units : swap_bytes16(units));
    const __m128i z = _mm_setzero_si128();
    const __m128i wide = _mm_or_si128(_mm_srli_epi32(a, 16), _mm_srli_epi32(b, 16));
    return bitmask(_mm_or_si128(_mm_xor_si128(_mm_cmpeq_epi32(wide, z), _mm_set1_epi8(-1)),
                                surrogate_lanes16(units))) == 0;
}

#else

template <bool LE>
PW_INLINE void widen8to16(const u8* src, u8* dst) noexcept {
    recode_block<16, 1, 2, LE>(src, dst, [](char32_t) { return true; });
}

template <bool LE>
PW_INLINE bool copy16(const u8* src, u8* dst) noexcept {
    return recode_block<8, 2, 2, LE>(src, dst, [](char32_t c) { return !is_surrogate(c); });
}

template <bool LE>
PW_INLINE bool narrow32to16(const u8* src, u8* dst) noexcept {
    return recode_block<8, 4, 2, LE>(src, dst, [](char32_t c) { return c < 0x10000 && !is_surrogate(c); });
}

#endif

// One character; false when it is no scalar value.
template <unsigned W, bool LE>
PW_INLINE bool put_utf16(char32_t c, u8*& o) noexcept {
    if (c < 0x10000) {
        if (W > 1 && PW_UNLIKELY(is_surrogate(c))) return false;
        store16<LE>(o, c);
        o += 2;
        return true;
    }
    if (PW_UNLIKELY(c > 0x10FFFF)) return false;
    const char32_t w = c - 0x10000;
    store16<LE>(o, 0xD800 + (w >> 10));
    store16<LE>(o + 2, 0xDC00 + (w & 0x3FF));
    o += 4;
    return true;
}

// Characters i up to `end`, one at a time; false at one that is no scalar
// value, with i at it.
template <unsigned W, bool LE>
PW_INLINE bool put_utf16_each(const u8* s, std::size_t& i, std::size_t end, u8*& o) noexcept {
    for (; i < end; ++i)
        if (!put_utf16<W, LE>(load_char<W>(s, i), o)) return false;
    return true;
}

template <unsigned W, bool LE>
outcome utf16_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    std::size_t i = 0;
    if (!put_utf16_each<W, LE>(s, i, n, o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

template <unsigned W, bool LE>
outcome utf16_fast(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    std::size_t i = 0;
    if constexpr (W == 1) {
        for (; n - i >= 16; i += 16, o += 32) widen8to16<LE>(s + i, o);
    } else if constexpr (W == 2) {
        for (; n - i >= 8; i += 8, o += 16)
            if (PW_UNLIKELY(!copy16<LE>(s + 2 * i, o))) break;  // the scalar loop names the surrogate
    } else {
        // Astral characters take two units, so the output falls behind the
        // bound of 4 bytes per character and the 16-byte store always fits.
        while (n - i >= 8) {
            if (narrow32to16<LE>(s + 4 * i, o)) {
                i += 8;
                o += 16;
                continue;
            }
            if (!put_utf16_each<W, LE>(s, i, i + 8, o)) return {0, i};
        }
    }
    if (!put_utf16_each<W, LE>(s, i, n, o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

#if PW_HAVE_AVX2

// [mask] keeps the first 16-bit unit of each of four 32-bit lanes, and the
// second of those whose bit is set.
alignas(64) constexpr auto unit_packing = shuffle_table<16, 16>([](unsigned mask, auto push) {
    for (unsigned lane = 0; lane < 4; ++lane)
        for (unsigned b = 0; b < (mask >> lane & 1 ? 4u : 2u); ++b) push(4 * lane + b);
});

PW_AVX2_INLINE void put_utf16_piece(__m128i lanes, unsigned mask, u8*& o) noexcept {
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(unit_packing[mask].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(lanes, shuffle));
    o += 2 * (4 + popcount(mask));
}

template <unsigned W, bool LE>
PW_AVX2 outcome utf16_avx2(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    std::size_t i = 0;
    if constexpr (W == 1) {
        for (; n - i >= 32; i += 32, o += 64) {
            __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
            __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16)));
            if (!LE) {
                a = swap_bytes16(a);
                b = swap_bytes16(b);
            }
            store256(o, a);
            store256(o + 32, b);
        }
    } else if constexpr (W == 2) {
        for (; n - i >= 16; i += 16, o += 32) {
            const __m256i v = load256(s + 2 * i);
            if (PW_UNLIKELY(any_set(surrogate_lanes16(v)))) break;  // the scalar loop names it
            store256(o, LE ? v : swap_bytes16(v));
        }
    } else {
        // Each character as the 32-bit lane [unit, second unit]; the second
        // counts only for a pair. Room: at most 4 bytes a character.
        for (; n - i >= 8; i += 8) {
            const __m256i c = load256(s + 4 * i);
            if (PW_UNLIKELY(any_set(not_scalar_lanes32(c)))) break;
            const __m256i astral = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0xFFFF));
            const __m256i w = _mm256_sub_epi32(c, _mm256_set1_epi32(0x10000));
            const __m256i pair = _mm256_or_si256(
                _mm256_add_epi32(_mm256_srli_epi32(w, 10), _mm256_set1_epi32(0xD800)),
                _mm256_slli_epi32(_mm256_or_si256(_mm256_and_si256(w, _mm256_set1_epi32(0x3FF)),
                                                  _mm256_set1_epi32(0xDC00)),
                                  16));
            __m256i lanes = _mm256_blendv_epi8(c, pair, astral);
            if (!LE) lanes = swap_bytes16(lanes);
            const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(astral)));
            put_utf16_piece(_mm256_castsi256_si128(lanes), mask & 15, o);
            put_utf16_piece(_mm256_extracti128_si256(lanes, 1), mask >> 4, o);
        }
    }
    if (!put_utf16_each<W, LE>(s, i, n, o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

#endif

constexpr u8 utf16_bom[] = {0xFE, 0xFF};

template <bool LE>
status encode_utf16_form(const text_view& text, byte_sink& sink, text_encoding enc, bool bom) {
    return encode_with(text, sink, enc, charset::unicode, std::span(utf16_bom, bom ? 2 : 0),
                       active_encoder->utf16[LE]);
}

}  // namespace

constinit const by_order<by_width<encode_kernel>> utf16_encoders_by_level[level_count] = {
    {{{utf16_scalar<1, false>, utf16_scalar<2, false>, utf16_scalar<4, false>},
      {utf16_scalar<1, true>, utf16_scalar<2, true>, utf16_scalar<4, true>}}},
    {{{utf16_fast<1, false>, utf16_fast<2, false>, utf16_fast<4, false>},
      {utf16_fast<1, true>, utf16_fast<2, true>, utf16_fast<4, true>}}},
#if PW_HAVE_AVX2
    {{{utf16_avx2<1, false>, utf16_avx2<2, false>, utf16_avx2<4, false>},
      {utf16_avx2<1, true>, utf16_avx2<2, true>, utf16_avx2<4, true>}}},
#endif
};

}  // namespace text_kernels

using namespace text_kernels;

status encode_utf16(const text_view& text, byte_sink& sink) {
    return encode_utf16_form<false>(text, sink, text_encoding::utf16, true);
}
status encode_utf16le(const text_view& text, byte_sink& sink) {
    return encode_utf16_form<true>(text, sink, text_encoding::utf16le, false);
}
status encode_utf16be(const text_view& text, byte_sink& sink) {
    return encode_utf16_form<false>(text, sink, text_encoding::utf16be, false);
}

}  // namespace packweaver
