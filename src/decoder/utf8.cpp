// UTF-8 decoding: validation with the text's shape, then transcoding into
// the host's storage.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "../common/format.hpp"
#include "../common/text_kernels.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

// Length (at least 1) of the run of bytes below 0x80 that starts at s[0],
// looking at no more than the next 16 bytes.
PW_INLINE std::size_t ascii_run(const u8* s, std::size_t n) noexcept {
#if PW_HAVE_SSE2
    if (n >= 16) {
        const unsigned mask = bitmask(load128(s));
        return mask == 0 ? 16 : count_trailing_zeros(mask);
    }
#else
    if (n >= 8) {
        u64 w;
        std::memcpy(&w, s, 8);
        const u64 high = w & 0x8080808080808080ull;
        if (high == 0) return 8;
        return (std::endian::native == std::endian::little ? count_trailing_zeros(high)
                                                           : count_leading_zeros(high)) / 8;
    }
#endif
    std::size_t k = 1;
    while (k < n && s[k] < 0x80) ++k;
    return k;
}

// ---------------------------------------------------------------------------
// UTF-8: the scalar rules.

// What may follow each lead byte: the sequence length (0 for a byte that
// cannot start one) and the range of the second byte. Narrowing the second
// byte is what refuses overlong forms (E0, F0), encoded surrogates (ED) and
// values beyond U+10FFFF (F4); C0, C1 and F5-FF could only start overlong or
// out-of-range forms.
struct lead_rule {
    u8 length, low, high;
};

constexpr std::array<lead_rule, 256> make_lead_rules() {
    std::array<lead_rule, 256> t{};
    for (unsigned b = 0; b < 0x80; ++b) t[b] = {1, 0, 0};
    for (unsigned b = 0xC2; b <= 0xDF; ++b) t[b] = {2, 0x80, 0xBF};
    for (unsigned b = 0xE0; b <= 0xEF; ++b) t[b] = {3, 0x80, 0xBF};
    t[0xE0] = {3, 0xA0, 0xBF};
    t[0xED] = {3, 0x80, 0x9F};
    for (unsigned b = 0xF0; b <= 0xF4; ++b) t[b] = {4, 0x80, 0xBF};
    t[0xF0] = {4, 0x90, 0xBF};
    t[0xF4] = {4, 0x80, 0x8F};
    return t;
}
constexpr auto lead_rules = make_lead_rules();

// One sequence: its code point and length, or (length 0) a fault whose
// `fault` is the invalid length 1-3, or 0 when the input ends inside it.
struct utf8_sequence {
    char32_t c;
    unsigned length;
    unsigned fault;
};

PW_INLINE bool continuation(u8 b) noexcept { return (b & 0xC0) == 0x80; }

// The sequence starting at s[i], i < n. Each byte is checked before the
// input's end is considered for the next one, so a second byte that is out
// of range is an invalid sequence even at the very end.
PW_INLINE utf8_sequence read_utf8(const u8* s, std::size_t n, std::size_t i) noexcept {
    const u8 b0 = s[i];
    const lead_rule rule = lead_rules[b0];
    if (rule.length == 1) return {b0, 1, 0};
    if (rule.length == 0) return {0, 0, 1};
    const std::size_t left = n - i;
    if (left < 2) return {0, 0, 0};
    const u8 b1 = s[i + 1];
    if (b1 < rule.low || b1 > rule.high) return {0, 0, 1};
    if (rule.length == 2) return {static_cast<char32_t>((b0 & 0x1Fu) << 6 | (b1 & 0x3Fu)), 2, 0};
    if (left < 3) return {0, 0, 0};
    const u8 b2 = s[i + 2];
    if (!continuation(b2)) return {0, 0, 2};
    if (rule.length == 3)
        return {static_cast<char32_t>((b0 & 0x0Fu) << 12 | (b1 & 0x3Fu) << 6 | (b2 & 0x3Fu)), 3, 0};
    if (left < 4) return {0, 0, 0};
    const u8 b3 = s[i + 3];
    if (!continuation(b3)) return {0, 0, 3};
    return {static_cast<char32_t>((b0 & 0x07u) << 18 | (b1 & 0x3Fu) << 12 | (b2 & 0x3Fu) << 6 | (b3 & 0x3Fu)), 4, 0};
}

// The scan from s[i] on, with `count` characters and the largest `max`
// before it: one sequence at a time, or with SkipAscii, ASCII runs at once.
template <bool SkipAscii>
PW_INLINE scan_result utf8_scan_from(const u8* s, std::size_t n, std::size_t i, std::size_t count,
                                     char32_t max) noexcept {
    while (i < n) {
        if constexpr (SkipAscii) {
            if (s[i] < 0x80) {
                const std::size_t run = ascii_run(s + i, n - i);
                i += run;
                count += run;
                continue;
            }
        }
        const utf8_sequence q = read_utf8(s, n, i);
        if (q.length == 0) return fault_at(i, q.fault);
        max = std::max(max, q.c);
        ++count;
        i += q.length;
    }
    return shaped(count, max);
}

scan_result utf8_scan_scalar(const u8* s, std::size_t n) noexcept { return utf8_scan_from<false>(s, n, 0, 0, 0); }

// Once a byte above 0x7F turns up, the ASCII characters can no longer be the
// largest, so only the other sequences feed the maximum.
scan_result utf8_scan_portable(const u8* s, std::size_t n) noexcept {
    u8 ascii_max = 0;
    const std::size_t i = ascii_prefix(s, n, ascii_max);
    if (i == n) return shaped(n, ascii_max);
    return utf8_scan_from<true>(s, n, i, i, 0);
}

// ---------------------------------------------------------------------------
// UTF-8: the AVX2 check.
//
// Validation follows the lookup scheme of Keiser and Lemire ("Validating
// UTF-8 in less than one instruction per byte"): every byte is classified
// together with the byte before it through three 16-entry tables, and the
// bytes that must be a third or fourth continuation are checked apart. It
// only says whether a 32-byte block holds a fault; the scalar rules then find
// the first one and name it.
//
// The shape comes along: the length is the number of bytes that are not
// continuations. For the largest code point, note that UTF-8 orders code
// points as its bytes order lexicographically; so the largest character
// starts the largest 4-byte window (bytes i..i+3, zero past the end), and its
// lead byte says how many of those bytes to decode. The largest window
// starts in a block with a byte above 0x7F and ends in that block or the
// next, so only those blocks feed the maximum.

#if PW_HAVE_AVX2

// The 32 bytes that end N bytes before the end of `in`, with `prev` the block before.
template <int N>
PW_AVX2_INLINE __m256i shifted_in(__m256i in, __m256i prev) noexcept {
    return _mm256_alignr_epi8(in, _mm256_permute2x128_si256(prev, in, 0x21), 16 - N);
}

// Error classes of a byte pair (previous byte, this byte).
constexpr u8 too_short = 1 << 0;       // lead byte not followed by a continuation
constexpr u8 too_long = 1 << 1;        // continuation after an ASCII byte
constexpr u8 overlong_3 = 1 << 2;      // E0 80-9F
constexpr u8 too_large = 1 << 3;       // F4 90-BF, F5-FF 90-BF
constexpr u8 surrogate = 1 << 4;       // ED A0-BF
constexpr u8 overlong_2 = 1 << 5;      // C0, C1
constexpr u8 too_large_1000 = 1 << 6;  // F5-FF 80-8F
constexpr u8 overlong_4 = 1 << 6;      // F0 80-8F
constexpr u8 two_conts = 1 << 7;       // continuation after continuation: an error unless a 3rd or 4th byte
constexpr u8 carry = too_short | too_long | two_conts;

alignas(16) constexpr u8 byte1_high_table[16] = {
    too_long, too_long, too_long, too_long, too_long, too_long, too_long, too_long,  // 0_______
    two_conts, two_conts, two_conts, two_conts,                                      // 10______
    too_short | overlong_2,                                                          // 1100____
    too_short,                                                                       // 1101____
    too_short | overlong_3 | surrogate,                                              // 1110____
    too_short | too_large | too_large_1000 | overlong_4,                             // 1111____
};
alignas(16) constexpr u8 byte1_low_table[16] = {
    carry | overlong_3 | overlong_2 | overlong_4,  // ____0000
    carry | overlong_2,                            // ____0001
    carry,                                         // ____0010
    carry,                                         // ____0011
    carry | too_large,                             // ____0100
    carry | too_large | too_large_1000,            // ____0101
    carry | too_large | too_large_1000,            // ____0110
    carry | too_large | too_large_1000,            // ____0111
    carry | too_large | too_large_1000,            // ____1000
    carry | too_large | too_large_1000,            // ____1001
    carry | too_large | too_large_1000,            // ____1010
    carry | too_large | too_large_1000,            // ____1011
    carry | too_large | too_large_1000,            // ____1100
    carry | too_large | too_large_1000 | surrogate,  // ____1101
    carry | too_large | too_large_1000,            // ____1110
    carry | too_large | too_large_1000,            // ____1111
};
alignas(16) constexpr u8 byte2_high_table[16] = {
    too_short, too_short, too_short, too_short, too_short, too_short, too_short, too_short,  // 0_______
    too_long | overlong_2 | two_conts | overlong_3 | too_large_1000 | overlong_4,           // 1000____
    too_long | overlong_2 | two_conts | overlong_3 | too_large,                             // 1001____
    too_long | overlong_2 | two_conts | surrogate | too_large,                              // 1010____
    too_long | overlong_2 | two_conts | surrogate | too_large,                              // 1011____
    too_short, too_short, too_short, too_short,                                             // 11______
};
// A lead byte in the last 3 positions whose sequence runs past the block.
alignas(32) constexpr u8 incomplete_limits[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF,
};

struct utf8_avx2_state {
    __m256i prev;             // the previous block
    __m256i prev_incomplete;  // its trailing lead bytes, nonzero if any
    __m256i error;
    __m256i max_window;
    std::size_t continuations;
    bool after_multibyte;  // the previous block had a byte above 0x7F
};

PW_AVX2_INLINE __m256i high_nibbles(__m256i v) noexcept {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Windows bytes j-3..j for every position j, as big-endian 32-bit numbers.
PW_AVX2_INLINE __m256i max_window_of(__m256i in, __m256i prev1, __m256i prev2, __m256i prev3) noexcept {
    const __m256i lo_a = _mm256_unpacklo_epi8(in, prev1), hi_a = _mm256_unpackhi_epi8(in, prev1);
    const __m256i lo_b = _mm256_unpacklo_epi8(prev2, prev3), hi_b = _mm256_unpackhi_epi8(prev2, prev3);
    const __m256i lo = _mm256_max_epu32(_mm256_unpacklo_epi16(lo_a, lo_b), _mm256_unpackhi_epi16(lo_a, lo_b));
    const __m256i hi = _mm256_max_epu32(_mm256_unpacklo_epi16(hi_a, hi_b), _mm256_unpackhi_epi16(hi_a, hi_b));
    return _mm256_max_epu32(lo, hi);
}

// Adds one block; false once any fault has been seen.
PW_AVX2_INLINE bool utf8_avx2_block(utf8_avx2_state& st, __m256i in) noexcept {
    if (_mm256_movemask_epi8(in) == 0) {
        st.error = _mm256_or_si256(st.error, st.prev_incomplete);
        st.prev_incomplete = _mm256_setzero_si256();
        if (st.after_multibyte) {
            st.max_window = _mm256_max_epu32(
                st.max_window, max_window_of(in, shifted_in<1>(in, st.prev), shifted_in<2>(in, st.prev),
                                             shifted_in<3>(in, st.prev)));
            st.after_multibyte = false;
        }
    } else {
        const __m256i prev1 = shifted_in<1>(in, st.prev);
        const __m256i prev2 = shifted_in<2>(in, st.prev);
        const __m256i prev3 = shifted_in<3>(in, st.prev);
        const __m256i low_nibble_mask = _mm256_set1_epi8(0x0F);
        const __m256i special =
            _mm256_and_si256(_mm256_and_si256(_mm256_shuffle_epi8(broadcast16(byte1_high_table), high_nibbles(prev1)),
                                              _mm256_shuffle_epi8(broadcast16(byte1_low_table),
                                                                  _mm256_and_si256(prev1, low_nibble_mask))),
                             _mm256_shuffle_epi8(broadcast16(byte2_high_table), high_nibbles(in)));
        // Bytes two after an E0-FF lead or three after an F0-FF lead must be
        // continuations, which is exactly where two_conts is no error.
        const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
        const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
        const __m256i must_continue =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
        st.error = _mm256_or_si256(st.error, _mm256_xor_si256(must_continue, special));
        st.prev_incomplete = _mm256_subs_epu8(in, load256(incomplete_limits));
        st.max_window = _mm256_max_epu32(st.max_window, max_window_of(in, prev1, prev2, prev3));
        // 0x80-0xBF are the bytes below -64 as signed numbers.
        st.continuations +=
            popcount(static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_set1_epi8(-64), in))));
        st.after_multibyte = true;
    }
    st.prev = in;
    return _mm256_testz_si256(st.error, st.error) != 0;
}

// The code point of the sequence a big-endian window starts with.
char32_t decode_window(u32 w) noexcept {
    const u32 b0 = w >> 24, b1 = (w >> 16) & 0x3F, b2 = (w >> 8) & 0x3F, b3 = w & 0x3F;
    if (b0 < 0x80) return b0;
    if (b0 < 0xE0) return (b0 & 0x1F) << 6 | b1;
    if (b0 < 0xF0) return (b0 & 0x0F) << 12 | b1 << 6 | b2;
    return (b0 & 0x07) << 18 | b1 << 12 | b2 << 6 | b3;
}

// The first fault at or after `from`, where everything before `from` is
// known to be valid and `from` starts a sequence.
scan_result utf8_first_fault(const u8* s, std::size_t n, std::size_t from) noexcept {
    for (std::size_t i = from; i < n;) {
        const utf8_sequence q = read_utf8(s, n, i);
        if (q.length == 0) return fault_at(i, q.fault);
        i += q.length;
    }
    // A fast check flagged a fault the rules do not see; the rules decide.
    return utf8_scan_scalar(s, n);
}

// On a flagged block, everything before block_start is valid except a
// sequence that runs into the block, and that starts at most 3 bytes back.
scan_result utf8_fault_in_block(const u8* s, std::size_t n, std::size_t block_start) noexcept {
    std::size_t from = block_start >= 3 ? block_start - 3 : 0;
    while (from < block_start && continuation(s[from])) ++from;
    return utf8_first_fault(s, n, from);
}

PW_AVX2 scan_result utf8_scan_avx2(const u8* s, std::size_t n) noexcept {
    u8 ascii_max = 0;
    const std::size_t start = ascii_prefix_whole_first_avx2(s, n, ascii_max);
    if (start == n) return shaped(n, ascii_max);
    // The byte before `start` is ASCII (or there is none), like the zero block.
    utf8_avx2_state st{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                       _mm256_setzero_si256(), 0, false};
    std::size_t i = start;
    for (; n - i >= 32; i += 32)
        if (!utf8_avx2_block(st, load256(s + i))) {
            _mm256_zeroupper();
            return utf8_fault_in_block(s, n, i);
        }
    // The rest, zero-padded: the padding ends any sequence still open (a
    // fault), and supplies the zero bytes of the windows past the end.
    alignas(32) u8 tail[32] = {};
    std::memcpy(tail, s + i, n - i);
    if (!utf8_avx2_block(st, load256(tail))) {
        _mm256_zeroupper();
        return utf8_fault_in_block(s, n, i);
    }
    // A window is recorded at its last byte, so one that starts in the last
    // three bytes of the padded tail ends in the block after it. Padding
    // bytes are zero, so that block holds no fault and adds only windows.
    if (st.after_multibyte) utf8_avx2_block(st, _mm256_setzero_si256());
    return shaped(n - st.continuations, decode_window(max_u32_of(st.max_window)));
}

#endif

// ---------------------------------------------------------------------------
// UTF-8: writing validated input.

// The sequence at s[i] of validated input; length 0 if it would run past the
// end, which validation rules out (the check keeps a faulty validator from
// reading outside the input).
PW_INLINE utf8_sequence read_valid_utf8(const u8* s, std::size_t n, std::size_t i) noexcept {
    const u32 b0 = s[i];
    const unsigned length = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    if (PW_UNLIKELY(length > n - i)) return {0, 0, 0};
    switch (length) {
        case 1: return {b0, 1, 0};
        case 2: return {(b0 & 0x1F) << 6 | (s[i + 1] & 0x3Fu), 2, 0};
        case 3: return {(b0 & 0x0F) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu), 3, 0};
        default:
            return {(b0 & 0x07) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu), 4,
                    0};
    }
}

template <unsigned W>
void utf8_write_scalar(const u8* s, std::size_t n, u8* out, std::size_t length) noexcept {
    std::size_t i = 0;
    for (std::size_t k = 0; k < length && i < n; ++k) {
        const utf8_sequence q = read_valid_utf8(s, n, i);
        if (PW_UNLIKELY(q.length == 0)) return;
        store_char<W>(out, k, q.c);
        i += q.length;
    }
}

// ASCII runs are stored 16 bytes at a time. The store covers the whole 16
// bytes, but only the leading ASCII ones count; the units past them are
// overwritten by what follows.
template <unsigned W>
void utf8_write_fast(const u8* s, std::size_t n, u8* out, std::size_t length) noexcept {
    std::size_t i = 0, k = 0;
    while (i < n && k < length) {
        if (s[i] < 0x80) {
#if PW_HAVE_SSE2
            if (n - i >= 16 && length - k >= 16) {
                const __m128i v = load128(s + i);
                widen_store<W>(v, out + k * W);
                const unsigned mask = bitmask(v);
                const std::size_t run = mask == 0 ? 16 : count_trailing_zeros(mask);
                i += run;
                k += run;
                continue;
            }
#endif
            store_char<W>(out, k++, s[i++]);
            continue;
        }
        const utf8_sequence q = read_valid_utf8(s, n, i);
        if (PW_UNLIKELY(q.length == 0)) return;
        store_char<W>(out, k++, q.c);
        i += q.length;
    }
}

#if PW_HAVE_AVX2

// Transcoding 16 bytes at a time. Every byte position gets the code point of
// the sequence that would start there (from it and the bytes after it, which
// may lie in the next block); then the positions where a character really
// starts, that is every byte but a continuation, are packed together with a
// shuffle from a table indexed by 8 of those positions at a time (kept_bytes,
// and for 16-bit lanes the table below). Blocks do not depend on each other,
// so the loop runs at the processor's throughput rather than waiting on the
// length of each character.

// kept_bytes for 16-bit lanes: the byte pairs of the lanes kept.
alignas(64) constexpr auto kept_pairs = shuffle_table<256, 16>([](unsigned mask, auto push) {
    for (unsigned j = 0; j < 8; ++j)
        if (mask >> j & 1) {
            push(2 * j);
            push(2 * j + 1);
        }
});

// Stores 8 units held in 16-bit lanes.
template <unsigned W>
PW_AVX2_INLINE void store_lanes16(__m128i v, u8* out) noexcept {
    if constexpr (W == 2) {
        store128(out, v);
    } else {
        store128(out, _mm_unpacklo_epi16(v, _mm_setzero_si128()));
        store128(out + 16, _mm_unpackhi_epi16(v, _mm_setzero_si128()));
    }
}

// Characters of one or two bytes, below 0x100: 16 positions in byte lanes.
PW_AVX2_INLINE unsigned utf8_block_latin1(const u8* s, __m128i in, unsigned starts, u8* out) noexcept {
    // A lead byte here is C2 or C3, so the character is its low 2 bits and
    // the continuation's 6.
    const __m128i pair = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(in, _mm_set1_epi8(0x03)), 6),
                                      _mm_and_si128(load128(s + 1), _mm_set1_epi8(0x3F)));
    const __m128i chars = _mm_blendv_epi8(in, pair, in);
    const unsigned low = starts & 0xFF, low_count = popcount(low);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(chars, load64(kept_bytes[low].data())));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + low_count),
                     _mm_shuffle_epi8(_mm_srli_si128(chars, 8), load64(kept_bytes[starts >> 8].data())));
    return low_count;
}

// Characters of one to three bytes: 16 positions in 16-bit lanes.
template <unsigned W>
PW_AVX2_INLINE void utf8_block_bmp(const u8* s, unsigned starts, u8* out) noexcept {
    const __m256i b0 = _mm256_cvtepu8_epi16(load128(s));
    const __m256i m1 = _mm256_and_si256(_mm256_cvtepu8_epi16(load128(s + 1)), _mm256_set1_epi16(0x3F));
    const __m256i m2 = _mm256_and_si256(_mm256_cvtepu8_epi16(load128(s + 2)), _mm256_set1_epi16(0x3F));
    const __m256i two = _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(b0, _mm256_set1_epi16(0x1F)), 6), m1);
    // Shifting by 12 keeps just the lead's low 4 bits.
    const __m256i three =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi16(b0, 12), _mm256_slli_epi16(m1, 6)), m2);
    __m256i chars = _mm256_blendv_epi8(b0, two, _mm256_cmpgt_epi16(b0, _mm256_set1_epi16(0x7F)));
    chars = _mm256_blendv_epi8(chars, three, _mm256_cmpgt_epi16(b0, _mm256_set1_epi16(0xDF)));
    const unsigned low = starts & 0xFF;
    const __m128i kept_low = _mm_shuffle_epi8(
        _mm256_castsi256_si128(chars), _mm_load_si128(reinterpret_cast<const __m128i*>(kept_pairs[low].data())));
    const __m128i kept_high =
        _mm_shuffle_epi8(_mm256_extracti128_si256(chars, 1),
                         _mm_load_si128(reinterpret_cast<const __m128i*>(kept_pairs[starts >> 8].data())));
    store_lanes16<W>(kept_low, out);
    store_lanes16<W>(kept_high, out + W * popcount(low));
}

// Characters of one to four bytes: 8 positions in 32-bit lanes.
PW_AVX2_INLINE void utf8_block_ucs4_half(const u8* s, unsigned starts, u8* out) noexcept {
    const __m256i six_bits = _mm256_set1_epi32(0x3F);
    const __m256i b0 = _mm256_cvtepu8_epi32(load64(s));
    const __m256i m1 = _mm256_and_si256(_mm256_cvtepu8_epi32(load64(s + 1)), six_bits);
    const __m256i m2 = _mm256_and_si256(_mm256_cvtepu8_epi32(load64(s + 2)), six_bits);
    const __m256i m3 = _mm256_and_si256(_mm256_cvtepu8_epi32(load64(s + 3)), six_bits);
    const __m256i two = _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(b0, _mm256_set1_epi32(0x1F)), 6), m1);
    const __m256i tail = _mm256_or_si256(_mm256_slli_epi32(m1, 6), m2);
    const __m256i three = _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(b0, _mm256_set1_epi32(0x0F)), 12), tail);
    const __m256i four = _mm256_or_si256(
        _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(b0, _mm256_set1_epi32(0x07)), 18),
                        _mm256_slli_epi32(tail, 6)),
        m3);
    __m256i chars = _mm256_blendv_epi8(b0, two, _mm256_cmpgt_epi32(b0, _mm256_set1_epi32(0x7F)));
    chars = _mm256_blendv_epi8(chars, three, _mm256_cmpgt_epi32(b0, _mm256_set1_epi32(0xDF)));
    chars = _mm256_blendv_epi8(chars, four, _mm256_cmpgt_epi32(b0, _mm256_set1_epi32(0xEF)));
    const __m256i lanes = _mm256_cvtepu8_epi32(load64(kept_bytes[starts].data()));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(chars, lanes));
}

template <unsigned W>
PW_AVX2 void utf8_write_avx2(const u8* s, std::size_t n, u8* out, std::size_t length) noexcept {
    std::size_t i = 0, k = 0;
    // A block reads up to 19 bytes and stores up to 16 units.
    while (n - i >= 20 && length - k >= 16) {
        const __m128i in = load128(s + i);
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(in));
        if (W != 4 && high == 0) {
            widen_store<W>(in, out + k * W);
            i += 16;
            k += 16;
            continue;
        }
        // Continuations are the bytes below -64 as signed numbers.
        const unsigned starts =
            ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(in, _mm_set1_epi8(-64)))) & 0xFFFF;
        if constexpr (W == 1) {
            utf8_block_latin1(s + i, in, starts, out + k);
        } else if constexpr (W == 2) {
            utf8_block_bmp<W>(s + i, starts, out + 2 * k);
        } else {
            // Lead bytes F0-F4 are the high bytes above -17 as signed numbers.
            const unsigned four_byte =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(in, _mm_set1_epi8(-17)))) & high;
            if (four_byte == 0) {
                utf8_block_bmp<W>(s + i, starts, out + 4 * k);
            } else {
                utf8_block_ucs4_half(s + i, starts & 0xFF, out + 4 * k);
                utf8_block_ucs4_half(s + i + 8, starts >> 8,
                                     out + 4 * (k + popcount(starts & 0xFF)));
            }
        }
        i += 16;
        k += popcount(starts);
    }
    // Continuation bytes here belong to a character already written.
    while (i < n && continuation(s[i])) ++i;
    _mm256_zeroupper();
    utf8_write_fast<W>(s + i, n - i, out + k * W, length - k);
}

#endif

PW_COLD error utf8_error(const scan_result& r) {
    const std::string index = fmt::dec(std::uint64_t{r.fault});
    if (r.detail == 0) return value_error("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " + index);
    return value_error("Invalid UTF-8 bytes: invalid utf-8 sequence of " + fmt::dec(std::uint64_t{r.detail}) +
                       " bytes from index " + index);
}

}  // namespace

constinit const utf8_decoders utf8_decoders_by_level[level_count] = {
    {utf8_scan_scalar, {utf8_write_scalar<1>, utf8_write_scalar<2>, utf8_write_scalar<4>}},
    {utf8_scan_portable, {utf8_write_fast<1>, utf8_write_fast<2>, utf8_write_fast<4>}},
#if PW_HAVE_AVX2
    {utf8_scan_avx2, {utf8_write_avx2<1>, utf8_write_avx2<2>, utf8_write_avx2<4>}},
#endif
};

status decode_utf8_bytes(const u8* s, std::size_t n, text_sink& sink, bool for_windows1252) {
    const utf8_decoders& kernels = active_decoder->utf8;
    const scan_result r = kernels.scan(s, n);
    if (PW_UNLIKELY(!r.ok())) return for_windows1252 ? windows1252_failure() : utf8_error(r);
    return deliver(r.shape, sink, [&](u8* out) {
        const unsigned width = storage_width(r.shape.max_char);
        if (width == 1 && r.shape.length == n) return copy_bytes(out, s, n);  // ASCII is its own storage
        kernels.write[width_slot(width)](s, n, out, r.shape.length);
    });
}

}  // namespace text_kernels

using namespace text_kernels;

status decode_utf8(std::span<const std::uint8_t> bytes, text_sink& sink) {
    return decode_utf8_bytes(bytes.data(), bytes.size(), sink, false);
}

}  // namespace packweaver
