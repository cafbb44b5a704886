// UTF-16 decoding, in either byte order: surrogate pairs are checked and
// counted first, then the units are transcoded into the host's storage.
#include <algorithm>
#include <bit>

#include "../common/text_kernels.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

#if PW_HAVE_SSE2

// 16-bit lanes holding unit ^ 0x8000, so that the signed maximum orders them
// as unsigned numbers.
PW_INLINE u32 max_biased_unit16(__m128i v) noexcept {
    v = _mm_max_epi16(v, _mm_srli_si128(v, 8));
    v = _mm_max_epi16(v, _mm_srli_si128(v, 4));
    v = _mm_max_epi16(v, _mm_srli_si128(v, 2));
    return (static_cast<u32>(_mm_cvtsi128_si32(v)) & 0xFFFF) ^ 0x8000;
}

#endif

#if PW_HAVE_AVX2

PW_AVX2_INLINE u32 max_u16_of(__m256i v) noexcept {
    __m128i m = _mm_max_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epu16(m, _mm_srli_si128(m, 8));
    m = _mm_max_epu16(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu16(m, _mm_srli_si128(m, 2));
    return static_cast<u32>(_mm_cvtsi128_si32(m)) & 0xFFFF;
}

#endif

// Reads the character at unit i of m and advances i; false on a lone surrogate.
template <bool LE>
PW_INLINE bool next_utf16(const u8* s, std::size_t m, std::size_t& i, char32_t& c) noexcept {
    const u32 u = load16<LE>(s + 2 * i);
    if (PW_LIKELY(!is_surrogate(u))) {
        c = u;
        ++i;
        return true;
    }
    // A low surrogate cannot start a pair, and a high one needs a low one next.
    if (u >= 0xDC00 || m - i < 2) return false;
    const u32 low = load16<LE>(s + 2 * i + 2);
    if ((low & 0xFC00) != 0xDC00) return false;
    c = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
    i += 2;
    return true;
}

// Reads characters from unit i until it reaches `end` (or one past it, when
// the last one is a pair), counting the pairs and keeping the largest
// character; false at a lone surrogate, with i at it.
template <bool LE>
PW_INLINE bool utf16_walk(const u8* s, std::size_t m, std::size_t& i, std::size_t end, std::size_t& pairs,
                          char32_t& max) noexcept {
    while (i < end) {
        const std::size_t at = i;
        char32_t c;
        if (!next_utf16<LE>(s, m, i, c)) return false;
        pairs += i - at - 1;
        max = std::max(max, c);
    }
    return true;
}

template <bool LE>
scan_result utf16_scan_scalar(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0, pairs = 0;
    char32_t max = 0;
    if (!utf16_walk<LE>(s, m, i, m, pairs, max)) return fault_at(i);
    return shaped(m - pairs, max);
}

template <bool LE>
scan_result utf16_scan_fast(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0, pairs = 0;
    char32_t max = 0;
#if PW_HAVE_SSE2
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i acc = bias;  // 0, biased
    while (m - i >= 8) {
        __m128i v = load128(s + 2 * i);
        if (!LE) v = swap_bytes16(v);
        if (PW_LIKELY(bitmask(surrogate_lanes16(v)) == 0)) {
            acc = _mm_max_epi16(acc, _mm_xor_si128(v, bias));
            i += 8;
            continue;
        }
        // The block holds surrogates: pair them one by one (the last may
        // take its partner from the next block).
        if (!utf16_walk<LE>(s, m, i, i + 8, pairs, max)) return fault_at(i);
    }
    max = std::max<char32_t>(max, max_biased_unit16(acc));
#endif
    if (!utf16_walk<LE>(s, m, i, m, pairs, max)) return fault_at(i);
    return shaped(m - pairs, max);
}

// Writes the characters from unit i on as units k on of W-byte storage,
// until `length` are written or the input ends.
template <unsigned W, bool LE>
PW_INLINE void utf16_write_from(const u8* s, std::size_t m, std::size_t i, u8* out, std::size_t k,
                                std::size_t length) noexcept {
    for (; k < length && i < m; ++k) {
        char32_t c;
        if (PW_UNLIKELY(!next_utf16<LE>(s, m, i, c))) return;
        store_char<W>(out, k, c);
    }
}

template <unsigned W, bool LE>
void utf16_write_scalar(const u8* s, std::size_t m, u8* out, std::size_t length) noexcept {
    utf16_write_from<W, LE>(s, m, 0, out, 0, length);
}

template <unsigned W, bool LE>
void utf16_write_fast(const u8* s, std::size_t m, u8* out, std::size_t length) noexcept {
    constexpr bool native = LE == (std::endian::native == std::endian::little);
    if constexpr (W == 2 && native) {
        // No pairs and no lone surrogates: the units are the text.
        return copy_bytes(out, s, 2 * std::min(m, length));
    }
    std::size_t i = 0, k = 0;
#if PW_HAVE_SSE2
    if constexpr (W == 1) {
        // Every unit is below 0x100; a big-endian one sits in the high byte of its lane.
        for (; m - i >= 16 && length - k >= 16; i += 16, k += 16) {
            __m128i a = load128(s + 2 * i), b = load128(s + 2 * i + 16);
            if (!LE) {
                a = _mm_srli_epi16(a, 8);
                b = _mm_srli_epi16(b, 8);
            }
            store128(out + k, _mm_packus_epi16(a, b));
        }
    } else if constexpr (W == 2) {
        for (; m - i >= 8 && length - k >= 8; i += 8, k += 8) store128(out + 2 * k, swap_bytes16(load128(s + 2 * i)));
    } else {
        const __m128i z = _mm_setzero_si128();
        while (m - i >= 8 && length - k >= 8) {
            __m128i v = load128(s + 2 * i);
            if (!LE) v = swap_bytes16(v);
            if (bitmask(surrogate_lanes16(v)) == 0) {
                store128(out + 4 * k, _mm_unpacklo_epi16(v, z));
                store128(out + 4 * k + 16, _mm_unpackhi_epi16(v, z));
                i += 8;
                k += 8;
                continue;
            }
            for (const std::size_t end = i + 8; i < end;) {
                char32_t c;
                if (PW_UNLIKELY(!next_utf16<LE>(s, m, i, c))) return;
                store_char<W>(out, k++, c);
            }
        }
    }
#endif
    utf16_write_from<W, LE>(s, m, i, out, k, length);
}

#if PW_HAVE_AVX2

// 16 units a block. Surrogates pair up when every high one is followed by a
// low one and every low one follows a high one: as bit masks (one bit a
// unit), the high mask moved up one unit, with the last high one of the
// previous block coming in at the bottom, equals the low mask. The message
// names no position, so a mismatch only has to be reported.
template <bool LE>
PW_AVX2 scan_result utf16_scan_avx2(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0, pairs = 0;
    __m256i bmp_max = _mm256_setzero_si256();   // largest unit outside the surrogates
    __m256i pair_max = _mm256_setzero_si256();  // largest high << 16 | low of a pair
    unsigned open_pair = 0;                     // the previous block ended with a high surrogate
    const __m256i top6 = _mm256_set1_epi16(static_cast<short>(0xFC00));
    // The pair keys read one unit past the block.
    while (m - i >= 17) {
        __m256i v = load256(s + 2 * i);
        if (!LE) v = swap_bytes16(v);
        const __m256i top = _mm256_and_si256(v, top6);
        const __m256i high = _mm256_cmpeq_epi16(top, _mm256_set1_epi16(static_cast<short>(0xD800)));
        const __m256i low = _mm256_cmpeq_epi16(top, _mm256_set1_epi16(static_cast<short>(0xDC00)));
        const __m256i surrogates = _mm256_or_si256(high, low);
        if (PW_LIKELY(!any_set(surrogates))) {
            if (PW_UNLIKELY(open_pair != 0)) return fault_at(i);
            bmp_max = _mm256_max_epu16(bmp_max, v);
            i += 16;
            continue;
        }
        // One bit per unit: packing interleaves the 128-bit halves.
        const auto packed = static_cast<u32>(_mm256_movemask_epi8(_mm256_packs_epi16(high, low)));
        const unsigned high_bits = (packed & 0xFF) | (packed >> 8 & 0xFF00);
        const unsigned low_bits = (packed >> 8 & 0xFF) | (packed >> 16 & 0xFF00);
        if (PW_UNLIKELY(((high_bits << 1 | open_pair) & 0xFFFF) != low_bits)) return fault_at(i);
        open_pair = high_bits >> 15;
        pairs += popcount(low_bits);
        bmp_max = _mm256_max_epu16(bmp_max, _mm256_andnot_si256(surrogates, v));
        __m256i next = load256(s + 2 * i + 2);
        if (!LE) next = swap_bytes16(next);
        const __m256i keys_lo = _mm256_and_si256(_mm256_unpacklo_epi16(next, v), _mm256_unpacklo_epi16(high, high));
        const __m256i keys_hi = _mm256_and_si256(_mm256_unpackhi_epi16(next, v), _mm256_unpackhi_epi16(high, high));
        pair_max = _mm256_max_epu32(pair_max, _mm256_max_epu32(keys_lo, keys_hi));
        i += 16;
    }
    // The rest, from the high surrogate that ended the last block if any
    // (its pair is counted there).
    const std::size_t from = i - open_pair;
    const u32 key = max_u32_of(pair_max), bmp = max_u16_of(bmp_max);
    _mm256_zeroupper();
    const scan_result rest = utf16_scan_fast<LE>(s + 2 * from, m - from);
    if (!rest.ok()) return fault_at(from + rest.fault);
    char32_t max = std::max<char32_t>(rest.shape.max_char, bmp);
    if (key != 0) max = std::max<char32_t>(max, 0x10000 + ((key >> 16) - 0xD800) * 0x400 + ((key & 0xFFFF) - 0xDC00));
    return shaped(from - pairs + rest.shape.length, max);
}

template <unsigned W, bool LE>
PW_AVX2 void utf16_write_avx2(const u8* s, std::size_t m, u8* out, std::size_t length) noexcept {
    constexpr bool native = LE == (std::endian::native == std::endian::little);
    if constexpr (W == 2 && native) return copy_bytes(out, s, 2 * std::min(m, length));
    std::size_t i = 0, k = 0;
    if constexpr (W == 1) {
        // Every unit is below 0x100; a big-endian one sits in the high byte of its lane.
        for (; m - i >= 32 && length - k >= 32; i += 32, k += 32) {
            __m256i a = load256(s + 2 * i), b = load256(s + 2 * i + 32);
            if (!LE) {
                a = _mm256_srli_epi16(a, 8);
                b = _mm256_srli_epi16(b, 8);
            }
            store256(out + k, _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
        }
    } else if constexpr (W == 2) {
        for (; m - i >= 16 && length - k >= 16; i += 16, k += 16)
            store256(out + 2 * k, swap_bytes16(load256(s + 2 * i)));
    } else {
        // Every position gets the character a pair starting there would
        // make; positions holding a low surrogate are then dropped.
        const __m256i top6 = _mm256_set1_epi32(0xFC00);
        const __m128i swap16 = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
        while (m - i >= 17 && length - k >= 16) {
            for (int half = 0; half < 2; ++half) {
                __m128i v16 = load128(s + 2 * i), next16 = load128(s + 2 * i + 2);
                if (!LE) {
                    v16 = _mm_shuffle_epi8(v16, swap16);
                    next16 = _mm_shuffle_epi8(next16, swap16);
                }
                const __m256i v = _mm256_cvtepu16_epi32(v16), next = _mm256_cvtepu16_epi32(next16);
                const __m256i top = _mm256_and_si256(v, top6);
                const __m256i high = _mm256_cmpeq_epi32(top, _mm256_set1_epi32(0xD800));
                const __m256i low = _mm256_cmpeq_epi32(top, _mm256_set1_epi32(0xDC00));
                // 0x10000 + (high - 0xD800) * 0x400 + (low - 0xDC00)
                const __m256i astral = _mm256_sub_epi32(_mm256_add_epi32(_mm256_slli_epi32(v, 10), next),
                                                        _mm256_set1_epi32((0xD800 << 10) + 0xDC00 - 0x10000));
                const __m256i chars = _mm256_blendv_epi8(v, astral, high);
                const unsigned keep = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(low))) & 0xFF;
                store256(out + 4 * k,
                         _mm256_permutevar8x32_epi32(chars, _mm256_cvtepu8_epi32(load64(kept_bytes[keep].data()))));
                i += 8;
                k += popcount(keep);
            }
        }
        // After a high surrogate comes the low one of a pair already written.
        if (i != 0 && i < m && (load16<LE>(s + 2 * i - 2) & 0xFC00) == 0xD800) ++i;
    }
    _mm256_zeroupper();
    utf16_write_fast<W, LE>(s + 2 * i, m - i, out + W * k, length - k);
}

#endif

PW_COLD error utf16_lone_surrogate() {
    return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

}  // namespace

constinit const utf16_decoders utf16_decoders_by_level[level_count] = {
    {{utf16_scan_scalar<false>, utf16_scan_scalar<true>},
     {{{utf16_write_scalar<1, false>, utf16_write_scalar<2, false>, utf16_write_scalar<4, false>},
       {utf16_write_scalar<1, true>, utf16_write_scalar<2, true>, utf16_write_scalar<4, true>}}}},
    {{utf16_scan_fast<false>, utf16_scan_fast<true>},
     {{{utf16_write_fast<1, false>, utf16_write_fast<2, false>, utf16_write_fast<4, false>},
       {utf16_write_fast<1, true>, utf16_write_fast<2, true>, utf16_write_fast<4, true>}}}},
#if PW_HAVE_AVX2
    {{utf16_scan_avx2<false>, utf16_scan_avx2<true>},
     {{{utf16_write_avx2<1, false>, utf16_write_avx2<2, false>, utf16_write_avx2<4, false>},
       {utf16_write_avx2<1, true>, utf16_write_avx2<2, true>, utf16_write_avx2<4, true>}}}},
#endif
};

status decode_utf16_units(const utf16_text& t, text_sink& sink, bool for_windows1252) {
    const utf16_decoders& kernels = active_decoder->utf16;
    const scan_result r = kernels.scan[t.little_endian](t.s, t.m);
    if (PW_UNLIKELY(!r.ok())) return for_windows1252 ? windows1252_failure() : utf16_lone_surrogate();
    return deliver(r.shape, sink, [&](u8* out) {
        kernels.write[t.little_endian][width_slot(storage_width(r.shape.max_char))](t.s, t.m, out, r.shape.length);
    });
}

}  // namespace text_kernels

using namespace text_kernels;

status decode_utf16_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian, text_sink& sink) {
    if (PW_UNLIKELY(bytes.size() % 2 != 0)) return value_error("UTF-16 requires an even number of bytes");
    return decode_utf16_units({bytes.data(), bytes.size() / 2, little_endian}, sink, false);
}

status decode_utf16(std::span<const std::uint8_t> bytes, text_sink& sink) {
    if (PW_UNLIKELY(bytes.size() < 2 || bytes.size() % 2 != 0))
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) return decode_utf16_with_endianness(bytes.subspan(2), false, sink);
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) return decode_utf16_with_endianness(bytes.subspan(2), true, sink);
    return decode_utf16_with_endianness(bytes, false, sink);
}

}  // namespace packweaver
