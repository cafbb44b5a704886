// UTF-32 encoding of the host's text, in either byte order, with or without
// a byte order mark: one unit a character.
#include <cstring>

#include "../common/text_kernels.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

// Block steps (see narrow16): 16 bytes as UTF-32 units; 8 UCS-2 units as
// UTF-32 units, failing on a surrogate; 8 UCS-4 characters as UTF-32 units,
// failing on anything but a scalar value.

#if PW_HAVE_SSE2

template <bool LE>
PW_INLINE void widen8to32(const u8* src, u8* dst) noexcept {
    widen_store<4, LE>(load128(src), dst);
}

template <bool LE>
PW_INLINE bool widen16to32(const u8* src, u8* dst) noexcept {
    const __m128i v = load128(src), z = _mm_setzero_si128();
    if constexpr (LE) {
        store128(dst, _mm_unpacklo_epi16(v, z));
        store128(dst + 16, _mm_unpackhi_epi16(v, z));
    } else {
        const __m128i s = swap_bytes16(v);
        store128(dst, _mm_unpacklo_epi16(z, s));
        store128(dst + 16, _mm_unpackhi_epi16(z, s));
    }
    return bitmask(surrogate_lanes16(v)) == 0;
}

template <bool LE>
PW_INLINE bool copy32(const u8* src, u8* dst) noexcept {
    const __m128i a = load128(src), b = load128(src + 16);
    store128(dst, LE ? a : swap_bytes32(a));
    store128(dst + 16, LE ? b : swap_bytes32(b));
    return bitmask(_mm_or_si128(not_scalar_lanes32(a), not_scalar_lanes32(b))) == 0;
}

#else

template <bool LE>
PW_INLINE void widen8to32(const u8* src, u8* dst) noexcept {
    recode_block<16, 1, 4, LE>(src, dst, [](char32_t) { return true; });
}

template <bool LE>
PW_INLINE bool widen16to32(const u8* src, u8* dst) noexcept {
    return recode_block<8, 2, 4, LE>(src, dst, [](char32_t c) { return !is_surrogate(c); });
}

template <bool LE>
PW_INLINE bool copy32(const u8* src, u8* dst) noexcept {
    return recode_block<8, 4, 4, LE>(src, dst, [](char32_t c) { return is_scalar_value(c); });
}

#endif

// Characters i on, one at a time, after the 4 * i bytes already written:
// all of them, the rest after a fast loop, or from a block that failed, which
// this loop redoes to find the character that cannot be encoded.
template <unsigned W, bool LE>
PW_INLINE outcome utf32_finish(const u8* s, std::size_t n, std::size_t i, u8* out) noexcept {
    for (; i < n; ++i) {
        const char32_t c = load_char<W>(s, i);
        if (W > 1 && PW_UNLIKELY(!is_scalar_value(c))) return {0, i};
        store32<LE>(out + 4 * i, c);
    }
    return {4 * n, no_fault};
}

template <unsigned W, bool LE>
outcome utf32_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    return utf32_finish<W, LE>(s, n, 0, out);
}

template <unsigned W, bool LE>
outcome utf32_fast(const u8* s, std::size_t n, u8* out) noexcept {
    std::size_t i = 0;
    if constexpr (W == 1) {
        for (; n - i >= 16; i += 16) widen8to32<LE>(s + i, out + 4 * i);
    } else if constexpr (W == 2) {
        for (; n - i >= 8; i += 8)
            if (PW_UNLIKELY(!widen16to32<LE>(s + 2 * i, out + 4 * i))) break;
    } else {
        for (; n - i >= 8; i += 8)
            if (PW_UNLIKELY(!copy32<LE>(s + 4 * i, out + 4 * i))) break;
    }
    return utf32_finish<W, LE>(s, n, i, out);
}

#if PW_HAVE_AVX2

template <bool LE>
PW_AVX2_INLINE void widen8to32_avx2(const u8* src, u8* dst) noexcept {
    const __m256i c = _mm256_cvtepu8_epi32(load64(src));
    store256(dst, LE ? c : swap_bytes32(c));
}

template <unsigned W, bool LE>
PW_AVX2 outcome utf32_avx2(const u8* s, std::size_t n, u8* out) noexcept {
    std::size_t i = 0;
    if constexpr (W == 1) {
        // Four stores a step. With one, the loop is so short that its speed
        // hangs on where its code lands: straddling a line of the decoded
        // instruction cache, it takes half as long again.
        for (; n - i >= 32; i += 32) {
            widen8to32_avx2<LE>(s + i, out + 4 * i);
            widen8to32_avx2<LE>(s + i + 8, out + 4 * i + 32);
            widen8to32_avx2<LE>(s + i + 16, out + 4 * i + 64);
            widen8to32_avx2<LE>(s + i + 24, out + 4 * i + 96);
        }
    }
    for (; n - i >= 8; i += 8) {
        __m256i c;
        if constexpr (W == 1) {
            c = _mm256_cvtepu8_epi32(load64(s + i));
        } else if constexpr (W == 2) {
            c = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * i)));
        } else {
            c = load256(s + 4 * i);
        }
        if constexpr (W > 1)
            if (PW_UNLIKELY(any_set(not_scalar_lanes32(c)))) break;
        store256(out + 4 * i, LE ? c : swap_bytes32(c));
    }
    return utf32_finish<W, LE>(s, n, i, out);
}

#endif

constexpr u8 utf32_bom[] = {0x00, 0x00, 0xFE, 0xFF};

template <bool LE>
status encode_utf32_form(const text_view& text, byte_sink& sink, text_encoding enc, bool bom) {
    return encode_with(text, sink, enc, charset::unicode, std::span(utf32_bom, bom ? 4 : 0),
                       active_encoder->utf32[LE]);
}

}  // namespace

constinit const by_order<by_width<encode_kernel>> utf32_encoders_by_level[level_count] = {
    {{{utf32_scalar<1, false>, utf32_scalar<2, false>, utf32_scalar<4, false>},
      {utf32_scalar<1, true>, utf32_scalar<2, true>, utf32_scalar<4, true>}}},
    {{{utf32_fast<1, false>, utf32_fast<2, false>, utf32_fast<4, false>},
      {utf32_fast<1, true>, utf32_fast<2, true>, utf32_fast<4, true>}}},
#if PW_HAVE_AVX2
    {{{utf32_avx2<1, false>, utf32_avx2<2, false>, utf32_avx2<4, false>},
      {utf32_avx2<1, true>, utf32_avx2<2, true>, utf32_avx2<4, true>}}},
#endif
};

}  // namespace text_kernels

using namespace text_kernels;

status encode_utf32(const text_view& text, byte_sink& sink) {
    return encode_utf32_form<false>(text, sink, text_encoding::utf32, true);
}
status encode_utf32le(const text_view& text, byte_sink& sink) {
    return encode_utf32_form<true>(text, sink, text_encoding::utf32le, false);
}
status encode_utf32be(const text_view& text, byte_sink& sink) {
    return encode_utf32_form<false>(text, sink, text_encoding::utf32be, false);
}

}  // namespace packweaver
