#include "text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "../common/format.hpp"
#include "../common/simd.hpp"
#include "../common/windows1252.hpp"

namespace packweaver {
namespace {

using namespace simd;

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr std::size_t no_fault = std::numeric_limits<std::size_t>::max();

// What a validation pass found: the shape of the text, or its first fault.
struct scan_result {
    text_shape shape{};
    std::size_t fault = no_fault;  // offset of the faulty sequence (UTF-8: bytes, UTF-16/32: units)
    unsigned detail = 0;           // UTF-8: invalid sequence length 1-3, or 0 when the input ends inside one
    bool ok() const noexcept { return fault == no_fault; }
};

PW_INLINE scan_result shaped(std::size_t length, char32_t max_char) noexcept {
    return {text_shape{length, max_char}, no_fault, 0};
}
PW_INLINE scan_result fault_at(std::size_t index, unsigned detail = 0) noexcept { return {{}, index, detail}; }

// ---------------------------------------------------------------------------
// Which loops run.

const bool g_has_avx2 = detail::cpu_has_avx2();

text_decoder_path g_path = text_decoder_path::best;

enum class level : u8 { scalar, portable, avx2 };

PW_INLINE level current_level() noexcept {
    if (g_path == text_decoder_path::scalar) return level::scalar;
    return g_path == text_decoder_path::best && g_has_avx2 ? level::avx2 : level::portable;
}

// ---------------------------------------------------------------------------
// Units in and out. Input bytes have no alignment; the sink's storage is
// written through memcpy as well, so neither needs any.

template <bool LE>
PW_INLINE u32 unit16(const u8* p) noexcept {
    return LE ? u32{p[0]} | u32{p[1]} << 8 : u32{p[0]} << 8 | u32{p[1]};
}

template <bool LE>
PW_INLINE u32 unit32(const u8* p) noexcept {
    return LE ? u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24
              : u32{p[0]} << 24 | u32{p[1]} << 16 | u32{p[2]} << 8 | u32{p[3]};
}

// Stores code point c as the k-th unit of W-byte storage.
template <unsigned W>
PW_INLINE void put_unit(u8* out, std::size_t k, u32 c) noexcept {
    if constexpr (W == 1) {
        out[k] = static_cast<u8>(c);
    } else if constexpr (W == 2) {
        const auto v = static_cast<u16>(c);
        std::memcpy(out + 2 * k, &v, 2);
    } else {
        std::memcpy(out + 4 * k, &c, 4);
    }
}

PW_INLINE constexpr bool is_surrogate(u32 c) noexcept { return (c & 0xFFFFF800u) == 0xD800; }
PW_INLINE constexpr bool is_scalar_value(u32 c) noexcept { return c <= 0x10FFFF && !is_surrogate(c); }

PW_INLINE void copy_bytes(u8* out, const u8* s, std::size_t n) noexcept {
    if (n != 0) std::memcpy(out, s, n);
}

// Calls write(integral_constant<W>) for the storage width of the shape.
template <class Write>
PW_INLINE void by_width(const text_shape& shape, Write write) {
    switch (storage_width(shape.max_char)) {
        case 1: write(std::integral_constant<unsigned, 1>{}); break;
        case 2: write(std::integral_constant<unsigned, 2>{}); break;
        default: write(std::integral_constant<unsigned, 4>{}); break;
    }
}

// ---------------------------------------------------------------------------
// SSE2 helpers.

#if PW_TEXT_SSE2

PW_INLINE unsigned bitmask(__m128i v) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

PW_INLINE u8 max_byte_of(__m128i v) noexcept {
    v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
    return static_cast<u8>(_mm_cvtsi128_si32(v));
}

// 16-bit lanes holding unit ^ 0x8000, so that the signed maximum orders them
// as unsigned numbers.
PW_INLINE u32 max_biased_unit16(__m128i v) noexcept {
    v = _mm_max_epi16(v, _mm_srli_si128(v, 8));
    v = _mm_max_epi16(v, _mm_srli_si128(v, 4));
    v = _mm_max_epi16(v, _mm_srli_si128(v, 2));
    return (static_cast<u32>(_mm_cvtsi128_si32(v)) & 0xFFFF) ^ 0x8000;
}

PW_INLINE __m128i surrogate_lanes16(__m128i v) noexcept {
    return _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))),
                           _mm_set1_epi16(static_cast<short>(0xD800)));
}

PW_INLINE __m128i not_scalar_lanes32(__m128i v) noexcept {
    const __m128i above = _mm_cmpgt_epi32(_mm_xor_si128(v, _mm_set1_epi32(INT32_MIN)),
                                          _mm_set1_epi32(INT32_MIN + 0x10FFFF));
    const __m128i surrogate = _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800u))),
                                              _mm_set1_epi32(0xD800));
    return _mm_or_si128(above, surrogate);
}

PW_INLINE __m128i max_epi32(__m128i a, __m128i b) noexcept {
    const __m128i gt = _mm_cmpgt_epi32(a, b);
    return _mm_or_si128(_mm_and_si128(gt, a), _mm_andnot_si128(gt, b));
}


// The 16 bytes of v as 16 units of W-byte storage.
template <unsigned W>
PW_INLINE void widen_store(__m128i v, u8* out) noexcept {
    const __m128i z = _mm_setzero_si128();
    if constexpr (W == 1) {
        store128(out, v);
    } else if constexpr (W == 2) {
        store128(out, _mm_unpacklo_epi8(v, z));
        store128(out + 16, _mm_unpackhi_epi8(v, z));
    } else {
        const __m128i lo = _mm_unpacklo_epi8(v, z), hi = _mm_unpackhi_epi8(v, z);
        store128(out, _mm_unpacklo_epi16(lo, z));
        store128(out + 16, _mm_unpackhi_epi16(lo, z));
        store128(out + 32, _mm_unpacklo_epi16(hi, z));
        store128(out + 48, _mm_unpackhi_epi16(hi, z));
    }
}

#endif

#if PW_TEXT_AVX2

PW_AVX2_INLINE bool any_set(__m256i v) noexcept { return _mm256_testz_si256(v, v) == 0; }
PW_AVX2_INLINE u8 max_byte_of(__m256i v) noexcept {
    return max_byte_of(_mm_max_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}
PW_AVX2_INLINE u32 max_u16_of(__m256i v) noexcept {
    __m128i m = _mm_max_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epu16(m, _mm_srli_si128(m, 8));
    m = _mm_max_epu16(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu16(m, _mm_srli_si128(m, 2));
    return static_cast<u32>(_mm_cvtsi128_si32(m)) & 0xFFFF;
}
PW_AVX2_INLINE u32 max_u32_of(__m256i v) noexcept {
    __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epu32(m, _mm_srli_si128(m, 8));
    m = _mm_max_epu32(m, _mm_srli_si128(m, 4));
    return static_cast<u32>(_mm_cvtsi128_si32(m));
}

#endif

// ---------------------------------------------------------------------------
// ASCII runs, shared by UTF-8, US-ASCII and the single-byte sets.

// Length of the leading run of bytes below 0x80; `max` gets the largest of them.
std::size_t ascii_prefix(const u8* s, std::size_t n, u8& max) noexcept {
    std::size_t i = 0;
    u8 m = 0;
#if PW_TEXT_SSE2
    __m128i acc = _mm_setzero_si128();
    for (; n - i >= 64; i += 64) {
        const __m128i v = _mm_max_epu8(_mm_max_epu8(load128(s + i), load128(s + i + 16)),
                                       _mm_max_epu8(load128(s + i + 32), load128(s + i + 48)));
        if (bitmask(v) != 0) break;
        acc = _mm_max_epu8(acc, v);
    }
    for (; n - i >= 16; i += 16) {
        const __m128i v = load128(s + i);
        if (const unsigned mask = bitmask(v); mask != 0) {
            // The bytes ahead of the first high one still count for the maximum.
            const __m128i ascii = _mm_andnot_si128(_mm_cmplt_epi8(v, _mm_setzero_si128()), v);
            max = std::max(max_byte_of(_mm_max_epu8(acc, ascii)), m);
            return i + static_cast<std::size_t>(std::countr_zero(mask));
        }
        acc = _mm_max_epu8(acc, v);
    }
    m = max_byte_of(acc);
#else
    for (; n - i >= 8; i += 8) {
        u64 w;
        std::memcpy(&w, s + i, 8);
        if (w & 0x8080808080808080ull) break;
    }
    for (std::size_t k = 0; k < i; ++k) m = std::max(m, s[k]);
#endif
    for (; i < n && s[i] < 0x80; ++i) m = std::max(m, s[i]);
    max = m;
    return i;
}

// Length (at least 1) of the run of bytes below 0x80 that starts at s[0],
// looking at no more than the next 16 bytes.
PW_INLINE std::size_t ascii_run(const u8* s, std::size_t n) noexcept {
#if PW_TEXT_SSE2
    if (n >= 16) {
        const unsigned mask = bitmask(load128(s));
        return mask == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(mask));
    }
#else
    if (n >= 8) {
        u64 w;
        std::memcpy(&w, s, 8);
        const u64 high = w & 0x8080808080808080ull;
        if (high == 0) return 8;
        return static_cast<std::size_t>(std::endian::native == std::endian::little ? std::countr_zero(high) / 8
                                                                                    : std::countl_zero(high) / 8);
    }
#endif
    std::size_t k = 1;
    while (k < n && s[k] < 0x80) ++k;
    return k;
}

#if PW_TEXT_AVX2

PW_AVX2 std::size_t ascii_prefix_avx2(const u8* s, std::size_t n, u8& max) noexcept {
    std::size_t i = 0;
    __m256i acc = _mm256_setzero_si256();
    for (; n - i >= 128; i += 128) {
        const __m256i v = _mm256_max_epu8(_mm256_max_epu8(load256(s + i), load256(s + i + 32)),
                                          _mm256_max_epu8(load256(s + i + 64), load256(s + i + 96)));
        if (_mm256_movemask_epi8(v) != 0) break;
        acc = _mm256_max_epu8(acc, v);
    }
    u8 rest_max = 0;
    _mm256_zeroupper();
    const std::size_t rest = ascii_prefix(s + i, n - i, rest_max);
    max = std::max(rest_max, max_byte_of(acc));
    return i + rest;
}

// The scans below that only reduce (a maximum, or whether all bytes are
// ASCII) run from the end of the input to its start: the copy that follows
// them begins at the start, which is then the part most recently read and
// the likeliest to be still in the cache.


// Whether every byte is below 0x80, and if so the largest.
PW_AVX2 bool all_ascii_avx2(const u8* s, std::size_t n, u8& max) noexcept {
    std::size_t j = n;
    __m256i acc = _mm256_setzero_si256();
    for (; j >= 128; j -= 128) {
        const __m256i v = _mm256_max_epu8(_mm256_max_epu8(load256(s + j - 128), load256(s + j - 96)),
                                          _mm256_max_epu8(load256(s + j - 64), load256(s + j - 32)));
        if (_mm256_movemask_epi8(v) != 0) return false;
        acc = _mm256_max_epu8(acc, v);
    }
    for (; j >= 32; j -= 32) {
        const __m256i v = load256(s + j - 32);
        if (_mm256_movemask_epi8(v) != 0) return false;
        acc = _mm256_max_epu8(acc, v);
    }
    u8 m = max_byte_of(acc);
    for (; j > 0; --j) {
        if (s[j - 1] >= 0x80) return false;
        m = std::max(m, s[j - 1]);
    }
    max = m;
    return true;
}

#endif

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

scan_result utf8_scan_scalar(const u8* s, std::size_t n) noexcept {
    std::size_t count = 0;
    char32_t max = 0;
    for (std::size_t i = 0; i < n;) {
        const utf8_sequence q = read_utf8(s, n, i);
        if (q.length == 0) return fault_at(i, q.fault);
        max = std::max(max, q.c);
        ++count;
        i += q.length;
    }
    return shaped(count, max);
}

// ASCII runs skip ahead; everything else goes one sequence at a time. Once a
// byte above 0x7F turns up, the ASCII characters can no longer be the
// largest, so only the other sequences feed the maximum.
scan_result utf8_scan_portable(const u8* s, std::size_t n) noexcept {
    u8 ascii_max = 0;
    std::size_t i = ascii_prefix(s, n, ascii_max);
    if (i == n) return shaped(n, ascii_max);
    std::size_t count = i;
    char32_t max = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            const std::size_t run = ascii_run(s + i, n - i);
            i += run;
            count += run;
            continue;
        }
        const utf8_sequence q = read_utf8(s, n, i);
        if (q.length == 0) return fault_at(i, q.fault);
        max = std::max(max, q.c);
        ++count;
        i += q.length;
    }
    return shaped(count, max);
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

#if PW_TEXT_AVX2

PW_AVX2_INLINE __m256i table16(const u8 (&t)[16]) noexcept {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

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
            _mm256_and_si256(_mm256_and_si256(_mm256_shuffle_epi8(table16(byte1_high_table), high_nibbles(prev1)),
                                              _mm256_shuffle_epi8(table16(byte1_low_table),
                                                                  _mm256_and_si256(prev1, low_nibble_mask))),
                             _mm256_shuffle_epi8(table16(byte2_high_table), high_nibbles(in)));
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
        st.continuations += static_cast<std::size_t>(__builtin_popcount(
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_set1_epi8(-64), in)))));
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
    if (all_ascii_avx2(s, n, ascii_max)) return shaped(n, ascii_max);
    const std::size_t start = ascii_prefix_avx2(s, n, ascii_max);
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

scan_result utf8_scan(const u8* s, std::size_t n) noexcept {
    switch (current_level()) {
#if PW_TEXT_AVX2
        case level::avx2: return utf8_scan_avx2(s, n);
#endif
        case level::scalar: return utf8_scan_scalar(s, n);
        default: return utf8_scan_portable(s, n);
    }
}

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
        put_unit<W>(out, k, q.c);
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
#if PW_TEXT_SSE2
            if (n - i >= 16 && length - k >= 16) {
                const __m128i v = load128(s + i);
                widen_store<W>(v, out + k * W);
                const unsigned mask = bitmask(v);
                const std::size_t run = mask == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(mask));
                i += run;
                k += run;
                continue;
            }
#endif
            put_unit<W>(out, k++, s[i++]);
            continue;
        }
        const utf8_sequence q = read_valid_utf8(s, n, i);
        if (PW_UNLIKELY(q.length == 0)) return;
        put_unit<W>(out, k++, q.c);
        i += q.length;
    }
}

#if PW_TEXT_AVX2

// Transcoding 16 bytes at a time. Every byte position gets the code point of
// the sequence that would start there (from it and the bytes after it, which
// may lie in the next block); then the positions where a character really
// starts, that is every byte but a continuation, are packed together with a
// shuffle from a table indexed by 8 of those positions at a time. Blocks
// do not depend on each other, so the loop runs at the processor's
// throughput rather than waiting on the length of each character.

// [mask] lists the set bits of an 8-bit mask, lowest first; 0x80 (which
// pshufb turns into zero) pads.
constexpr std::array<std::array<u8, 8>, 256> make_kept_bytes() {
    std::array<std::array<u8, 8>, 256> t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned n = 0;
        for (unsigned j = 0; j < 8; ++j)
            if (mask >> j & 1) t[mask][n++] = static_cast<u8>(j);
        while (n < 8) t[mask][n++] = 0x80;
    }
    return t;
}

// The same for 16-bit lanes: the byte pairs of the lanes kept.
constexpr std::array<std::array<u8, 16>, 256> make_kept_pairs() {
    std::array<std::array<u8, 16>, 256> t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned n = 0;
        for (unsigned j = 0; j < 8; ++j)
            if (mask >> j & 1) {
                t[mask][n++] = static_cast<u8>(2 * j);
                t[mask][n++] = static_cast<u8>(2 * j + 1);
            }
        while (n < 16) t[mask][n++] = 0x80;
    }
    return t;
}

alignas(64) constexpr auto kept_bytes = make_kept_bytes();
alignas(64) constexpr auto kept_pairs = make_kept_pairs();

PW_AVX2_INLINE __m128i load64(const u8* p) noexcept {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

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
    const unsigned low = starts & 0xFF, low_count = static_cast<unsigned>(__builtin_popcount(low));
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
    store_lanes16<W>(kept_high, out + W * static_cast<unsigned>(__builtin_popcount(low)));
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
                                     out + 4 * (k + static_cast<unsigned>(__builtin_popcount(starts & 0xFF))));
            }
        }
        i += 16;
        k += static_cast<unsigned>(__builtin_popcount(starts));
    }
    // Continuation bytes here belong to a character already written.
    while (i < n && continuation(s[i])) ++i;
    _mm256_zeroupper();
    utf8_write_fast<W>(s + i, n - i, out + k * W, length - k);
}

#endif

void utf8_write(const u8* s, std::size_t n, const text_shape& shape, u8* out) noexcept {
    const bool fast = current_level() != level::scalar;
    by_width(shape, [&](auto w) {
        constexpr unsigned W = decltype(w)::value;
        if (W == 1 && shape.length == n) return copy_bytes(out, s, n);  // ASCII is its own storage
#if PW_TEXT_AVX2
        if (current_level() == level::avx2) return utf8_write_avx2<W>(s, n, out, shape.length);
#endif
        if (fast) utf8_write_fast<W>(s, n, out, shape.length);
        else utf8_write_scalar<W>(s, n, out, shape.length);
    });
}

// ---------------------------------------------------------------------------
// UTF-16.

// Reads the character at unit i of m and advances i; false on a lone surrogate.
template <bool LE>
PW_INLINE bool next_utf16(const u8* s, std::size_t m, std::size_t& i, char32_t& c) noexcept {
    const u32 u = unit16<LE>(s + 2 * i);
    if (PW_LIKELY(!is_surrogate(u))) {
        c = u;
        ++i;
        return true;
    }
    // A low surrogate cannot start a pair, and a high one needs a low one next.
    if (u >= 0xDC00 || m - i < 2) return false;
    const u32 low = unit16<LE>(s + 2 * i + 2);
    if ((low & 0xFC00) != 0xDC00) return false;
    c = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
    i += 2;
    return true;
}

template <bool LE>
scan_result utf16_scan_scalar(const u8* s, std::size_t m) noexcept {
    std::size_t count = 0;
    char32_t max = 0;
    for (std::size_t i = 0; i < m; ++count) {
        char32_t c;
        if (!next_utf16<LE>(s, m, i, c)) return fault_at(i);
        max = std::max(max, c);
    }
    return shaped(count, max);
}

template <bool LE>
scan_result utf16_scan_fast(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0, pairs = 0;
    char32_t max = 0;
#if PW_TEXT_SSE2
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
        for (const std::size_t end = i + 8; i < end;) {
            const std::size_t at = i;
            char32_t c;
            if (!next_utf16<LE>(s, m, i, c)) return fault_at(i);
            pairs += i - at - 1;
            max = std::max(max, c);
        }
    }
    max = std::max<char32_t>(max, max_biased_unit16(acc));
#endif
    while (i < m) {
        const std::size_t at = i;
        char32_t c;
        if (!next_utf16<LE>(s, m, i, c)) return fault_at(i);
        pairs += i - at - 1;
        max = std::max(max, c);
    }
    return shaped(m - pairs, max);
}

template <unsigned W, bool LE>
void utf16_write_scalar(const u8* s, std::size_t m, u8* out, std::size_t length) noexcept {
    std::size_t i = 0;
    for (std::size_t k = 0; k < length && i < m; ++k) {
        char32_t c;
        if (PW_UNLIKELY(!next_utf16<LE>(s, m, i, c))) return;
        put_unit<W>(out, k, c);
    }
}

template <unsigned W, bool LE>
void utf16_write_fast(const u8* s, std::size_t m, u8* out, std::size_t length) noexcept {
    constexpr bool native = LE == (std::endian::native == std::endian::little);
    if constexpr (W == 2 && native) {
        // No pairs and no lone surrogates: the units are the text.
        return copy_bytes(out, s, 2 * std::min(m, length));
    }
    std::size_t i = 0, k = 0;
#if PW_TEXT_SSE2
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
                put_unit<W>(out, k++, c);
            }
        }
    }
#endif
    for (; k < length && i < m; ++k) {
        char32_t c;
        if (PW_UNLIKELY(!next_utf16<LE>(s, m, i, c))) return;
        put_unit<W>(out, k, c);
    }
}

#if PW_TEXT_AVX2

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
        pairs += static_cast<std::size_t>(__builtin_popcount(low_bits));
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
        while (m - i >= 17 && length - k >= 16) {
            for (int half = 0; half < 2; ++half) {
                __m128i v16 = load128(s + 2 * i), next16 = load128(s + 2 * i + 2);
                if (!LE) {
                    v16 = _mm_shuffle_epi8(v16, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
                    next16 =
                        _mm_shuffle_epi8(next16, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
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
                k += static_cast<unsigned>(__builtin_popcount(keep));
            }
        }
        // After a high surrogate comes the low one of a pair already written.
        if (i != 0 && i < m && (unit16<LE>(s + 2 * i - 2) & 0xFC00) == 0xD800) ++i;
    }
    _mm256_zeroupper();
    utf16_write_fast<W, LE>(s + 2 * i, m - i, out + W * k, length - k);
}

#endif

// Validated UTF-16 of m units at s, in either byte order.
struct utf16_text {
    const u8* s;
    std::size_t m;
    bool little_endian;
};

scan_result utf16_scan(const utf16_text& t) noexcept {
#if PW_TEXT_AVX2
    if (current_level() == level::avx2)
        return t.little_endian ? utf16_scan_avx2<true>(t.s, t.m) : utf16_scan_avx2<false>(t.s, t.m);
#endif
    const bool fast = current_level() != level::scalar;
    if (t.little_endian) return fast ? utf16_scan_fast<true>(t.s, t.m) : utf16_scan_scalar<true>(t.s, t.m);
    return fast ? utf16_scan_fast<false>(t.s, t.m) : utf16_scan_scalar<false>(t.s, t.m);
}

void utf16_write(const utf16_text& t, const text_shape& shape, u8* out) noexcept {
    const bool fast = current_level() != level::scalar;
    by_width(shape, [&](auto w) {
        constexpr unsigned W = decltype(w)::value;
#if PW_TEXT_AVX2
        if (current_level() == level::avx2) {
            if (t.little_endian) utf16_write_avx2<W, true>(t.s, t.m, out, shape.length);
            else utf16_write_avx2<W, false>(t.s, t.m, out, shape.length);
            return;
        }
#endif
        if (t.little_endian) {
            if (fast) utf16_write_fast<W, true>(t.s, t.m, out, shape.length);
            else utf16_write_scalar<W, true>(t.s, t.m, out, shape.length);
        } else {
            if (fast) utf16_write_fast<W, false>(t.s, t.m, out, shape.length);
            else utf16_write_scalar<W, false>(t.s, t.m, out, shape.length);
        }
    });
}

// ---------------------------------------------------------------------------
// UTF-32.

template <bool LE>
scan_result utf32_scan_scalar(const u8* s, std::size_t m) noexcept {
    u32 max = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const u32 u = unit32<LE>(s + 4 * i);
        if (!is_scalar_value(u)) return fault_at(i);
        max = std::max(max, u);
    }
    return shaped(m, max);
}

template <bool LE>
scan_result utf32_scan_fast(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0;
    u32 max = 0;
#if PW_TEXT_SSE2
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
    for (; i < m; ++i) {
        const u32 u = unit32<LE>(s + 4 * i);
        if (!is_scalar_value(u)) return fault_at(i);
        max = std::max(max, u);
    }
    return shaped(m, max);
}

template <unsigned W, bool LE>
void utf32_write_scalar(const u8* s, std::size_t m, u8* out) noexcept {
    for (std::size_t i = 0; i < m; ++i) put_unit<W>(out, i, unit32<LE>(s + 4 * i));
}

template <unsigned W, bool LE>
void utf32_write_fast(const u8* s, std::size_t m, u8* out) noexcept {
    constexpr bool native = LE == (std::endian::native == std::endian::little);
    if constexpr (W == 4 && native) return copy_bytes(out, s, 4 * m);
    std::size_t i = 0;
#if PW_TEXT_SSE2
    if constexpr (W == 1) {
        for (; m - i >= 16; i += 16) {
            // Below 0x100, a big-endian unit's value sits in its top byte.
            const auto unit = [&](int k) {
                const __m128i v = load128(s + 4 * i + 16 * k);
                return LE ? v : _mm_srli_epi32(v, 24);
            };
            store128(out + i, _mm_packus_epi16(_mm_packs_epi32(unit(0), unit(1)), _mm_packs_epi32(unit(2), unit(3))));
        }
    } else if constexpr (W == 2) {
        const __m128i bias32 = _mm_set1_epi32(0x8000), bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
        for (; m - i >= 8; i += 8) {
            __m128i a = load128(s + 4 * i), b = load128(s + 4 * i + 16);
            if (!LE) {
                a = swap_bytes32(a);
                b = swap_bytes32(b);
            }
            // Shifted into the signed range, units up to 0xFFFF pack without saturating.
            store128(out + 2 * i,
                     _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32)), bias16));
        }
    } else {
        for (; m - i >= 4; i += 4) store128(out + 4 * i, swap_bytes32(load128(s + 4 * i)));
    }
#endif
    for (; i < m; ++i) put_unit<W>(out, i, unit32<LE>(s + 4 * i));
}

#if PW_TEXT_AVX2

template <bool LE>
PW_AVX2 scan_result utf32_scan_avx2(const u8* s, std::size_t m) noexcept {
    std::size_t i = 0;
    __m256i acc = _mm256_setzero_si256();
    const __m256i sign = _mm256_set1_epi32(INT32_MIN), limit = _mm256_set1_epi32(INT32_MIN + 0x10FFFF);
    const __m256i top21 = _mm256_set1_epi32(static_cast<int>(0xFFFFF800u)), d800 = _mm256_set1_epi32(0xD800);
    for (; m - i >= 16; i += 16) {
        __m256i a = load256(s + 4 * i), b = load256(s + 4 * i + 32);
        if (!LE) {
            a = swap_bytes32(a);
            b = swap_bytes32(b);
        }
        const __m256i bad = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_xor_si256(a, sign), limit),
                            _mm256_cmpgt_epi32(_mm256_xor_si256(b, sign), limit)),
            _mm256_or_si256(_mm256_cmpeq_epi32(_mm256_and_si256(a, top21), d800),
                            _mm256_cmpeq_epi32(_mm256_and_si256(b, top21), d800)));
        if (PW_UNLIKELY(any_set(bad))) break;
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
            store256(out + 2 * i, _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8));
        }
    } else {
        for (; m - i >= 8; i += 8) store256(out + 4 * i, swap_bytes32(load256(s + 4 * i)));
    }
    _mm256_zeroupper();
    utf32_write_fast<W, LE>(s + 4 * i, m - i, out + W * i);
}

#endif

scan_result utf32_scan(const u8* s, std::size_t m, bool little_endian) noexcept {
#if PW_TEXT_AVX2
    if (current_level() == level::avx2)
        return little_endian ? utf32_scan_avx2<true>(s, m) : utf32_scan_avx2<false>(s, m);
#endif
    const bool fast = current_level() != level::scalar;
    if (little_endian) return fast ? utf32_scan_fast<true>(s, m) : utf32_scan_scalar<true>(s, m);
    return fast ? utf32_scan_fast<false>(s, m) : utf32_scan_scalar<false>(s, m);
}

void utf32_write(const u8* s, std::size_t m, bool little_endian, const text_shape& shape, u8* out) noexcept {
    const bool fast = current_level() != level::scalar;
    by_width(shape, [&](auto w) {
        constexpr unsigned W = decltype(w)::value;
#if PW_TEXT_AVX2
        if (current_level() == level::avx2) {
            if (little_endian) utf32_write_avx2<W, true>(s, m, out);
            else utf32_write_avx2<W, false>(s, m, out);
            return;
        }
#endif
        if (little_endian) {
            if (fast) utf32_write_fast<W, true>(s, m, out);
            else utf32_write_scalar<W, true>(s, m, out);
        } else {
            if (fast) utf32_write_fast<W, false>(s, m, out);
            else utf32_write_scalar<W, false>(s, m, out);
        }
    });
}

// ---------------------------------------------------------------------------
// Windows-1252 proper (no byte order mark).

#if PW_TEXT_AVX2

constexpr const auto& c1_planes = windows1252::c1_planes;

// For the largest character: the 32 code points of bytes 0x80-0x9F are all
// different, so each byte there gets its rank among them (1-32) and the
// largest rank found stands for the largest of those characters.
struct c1_ranking {
    std::array<std::array<u8, 16>, 2> rank;  // for bytes 0x80-0x8F, 0x90-0x9F
    std::array<char16_t, 33> by_rank;        // [0] unused
};

constexpr c1_ranking make_c1_ranking() {
    c1_ranking t{};
    for (unsigned j = 0; j < 32; ++j) {
        unsigned below = 0;
        for (unsigned k = 0; k < 32; ++k) below += windows1252::index[k] < windows1252::index[j] ? 1u : 0u;
        t.rank[j / 16][j % 16] = static_cast<u8>(below + 1);
        t.by_rank[below + 1] = windows1252::index[j];
    }
    return t;
}
alignas(16) constexpr c1_ranking c1_ranks = make_c1_ranking();

PW_AVX2_INLINE __m256i broadcast_table(const std::array<u8, 16>& t) noexcept {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.data())));
}

// One of two 16-entry tables by the low nibble, chosen by bit 4 of each
// byte (moved to bit 7, which blendv reads).
PW_AVX2_INLINE __m256i lookup32(__m256i v, __m256i first16, __m256i second16) noexcept {
    const __m256i nibble = _mm256_and_si256(v, _mm256_set1_epi8(0x0F));
    return _mm256_blendv_epi8(_mm256_shuffle_epi8(first16, nibble), _mm256_shuffle_epi8(second16, nibble),
                              _mm256_slli_epi16(v, 3));
}

PW_AVX2 scan_result windows1252_scan_avx2(const u8* s, std::size_t n) noexcept {
    // From the end to the start, as max_byte_avx2 does.
    const __m256i rank0 = broadcast_table(c1_ranks.rank[0]), rank1 = broadcast_table(c1_ranks.rank[1]);
    __m256i bytes_max = _mm256_setzero_si256(), rank_max = _mm256_setzero_si256();
    std::size_t j = n;
    for (; j >= 32; j -= 32) {
        const __m256i v = load256(s + j - 32);
        const __m256i c1 = _mm256_cmpgt_epi8(_mm256_set1_epi8(-96), v);  // 0x80-0x9F
        bytes_max = _mm256_max_epu8(bytes_max, _mm256_andnot_si256(c1, v));
        rank_max = _mm256_max_epu8(rank_max, _mm256_and_si256(lookup32(v, rank0, rank1), c1));
    }
    char32_t max = std::max<char32_t>(max_byte_of(bytes_max), c1_ranks.by_rank[max_byte_of(rank_max)]);
    for (; j > 0; --j) max = std::max<char32_t>(max, windows1252::decode_byte(s[j - 1]));
    return shaped(n, max);
}

PW_AVX2 void windows1252_write_avx2(const u8* s, std::size_t n, u8* out) noexcept {
    const __m256i low0 = broadcast_table(c1_planes[0]), low1 = broadcast_table(c1_planes[1]);
    const __m256i high0 = broadcast_table(c1_planes[2]), high1 = broadcast_table(c1_planes[3]);
    std::size_t i = 0;
    for (; n - i >= 32; i += 32) {
        const __m256i v = load256(s + i);
        const __m256i c1 = _mm256_cmpgt_epi8(_mm256_set1_epi8(-96), v);  // 0x80-0x9F
        const __m256i lo = _mm256_blendv_epi8(v, lookup32(v, low0, low1), c1);
        const __m256i hi = _mm256_and_si256(lookup32(v, high0, high1), c1);
        // Interleaving works within 128-bit halves: units 0-7 and 16-23,
        // then 8-15 and 24-31.
        const __m256i a = _mm256_unpacklo_epi8(lo, hi), b = _mm256_unpackhi_epi8(lo, hi);
        store256(out + 2 * i, _mm256_permute2x128_si256(a, b, 0x20));
        store256(out + 2 * i + 32, _mm256_permute2x128_si256(a, b, 0x31));
    }
    for (; i < n; ++i) put_unit<2>(out, i, windows1252::decode_byte(s[i]));
}

#endif

scan_result windows1252_scan(const u8* s, std::size_t n) noexcept {
#if PW_TEXT_AVX2
    if (current_level() == level::avx2) return windows1252_scan_avx2(s, n);
#endif
    std::size_t i = 0;
    char32_t max = 0;
#if PW_TEXT_SSE2
    if (current_level() != level::scalar) {
        // Blocks without 0x80-0x9F map to themselves; the others go through
        // the index, byte by byte.
        __m128i acc = _mm_setzero_si128();
        for (; n - i >= 16; i += 16) {
            const __m128i v = load128(s + i);
            if (PW_LIKELY(bitmask(c1_bytes(v)) == 0)) {
                acc = _mm_max_epu8(acc, v);
                continue;
            }
            for (std::size_t k = i; k < i + 16; ++k) max = std::max<char32_t>(max, windows1252::decode_byte(s[k]));
        }
        max = std::max<char32_t>(max, max_byte_of(acc));
    }
#endif
    for (; i < n; ++i) max = std::max<char32_t>(max, windows1252::decode_byte(s[i]));
    return shaped(n, max);
}

void windows1252_write(const u8* s, std::size_t n, const text_shape& shape, u8* out) noexcept {
    // The largest character is U+2122, so two bytes always suffice; with
    // nothing above 0xFF every byte stands for itself.
    if (storage_width(shape.max_char) == 1) return copy_bytes(out, s, n);
#if PW_TEXT_AVX2
    if (current_level() == level::avx2) return windows1252_write_avx2(s, n, out);
#endif
    std::size_t i = 0;
#if PW_TEXT_SSE2
    if (current_level() != level::scalar) {
        for (; n - i >= 16; i += 16) {
            const __m128i v = load128(s + i);
            if (PW_LIKELY(bitmask(c1_bytes(v)) == 0)) {
                widen_store<2>(v, out + 2 * i);
                continue;
            }
            for (std::size_t k = i; k < i + 16; ++k) put_unit<2>(out, k, windows1252::decode_byte(s[k]));
        }
    }
#endif
    for (; i < n; ++i) put_unit<2>(out, i, windows1252::decode_byte(s[i]));
}

// ---------------------------------------------------------------------------
// Errors (cold).

PW_COLD error utf8_error(const scan_result& r) {
    const std::string index = fmt::dec(std::uint64_t{r.fault});
    if (r.detail == 0) return value_error("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " + index);
    return value_error("Invalid UTF-8 bytes: invalid utf-8 sequence of " + fmt::dec(std::uint64_t{r.detail}) +
                       " bytes from index " + index);
}

PW_COLD error utf16_lone_surrogate() {
    return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

PW_COLD error utf32_invalid(u32 unit) { return value_error("Invalid UTF-32 codepoint: 0x" + fmt::hex(unit, 8)); }

PW_COLD error windows1252_failure() { return value_error("Failed to decode Windows-1252 bytes"); }

PW_COLD error ascii_invalid(u8 byte) {
    return value_error("Invalid US-ASCII byte: 0x" + fmt::hex(byte, 2) + " (must be <= 0x7F)");
}

// Asks the sink for the text's storage and fills it.
template <class Write>
PW_INLINE status deliver(const text_shape& shape, text_sink& sink, Write write) {
    void* out = sink.allocate(shape);
    if (PW_UNLIKELY(out == nullptr)) return pending_error();
    write(static_cast<u8*>(out));
    return success();
}

status decode_utf8_bytes(const u8* s, std::size_t n, text_sink& sink, bool for_windows1252) {
    const scan_result r = utf8_scan(s, n);
    if (PW_UNLIKELY(!r.ok())) return for_windows1252 ? windows1252_failure() : utf8_error(r);
    return deliver(r.shape, sink, [&](u8* out) { utf8_write(s, n, r.shape, out); });
}

status decode_utf16_units(const utf16_text& t, text_sink& sink, bool for_windows1252) {
    const scan_result r = utf16_scan(t);
    if (PW_UNLIKELY(!r.ok())) return for_windows1252 ? windows1252_failure() : utf16_lone_surrogate();
    return deliver(r.shape, sink, [&](u8* out) { utf16_write(t, r.shape, out); });
}

}  // namespace

status decode_utf8(std::span<const std::uint8_t> bytes, text_sink& sink) {
    return decode_utf8_bytes(bytes.data(), bytes.size(), sink, false);
}

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

status decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little_endian, text_sink& sink) {
    if (PW_UNLIKELY(bytes.size() % 4 != 0)) return value_error("UTF-32 requires a multiple of 4 bytes");
    const u8* s = bytes.data();
    const std::size_t m = bytes.size() / 4;
    const scan_result r = utf32_scan(s, m, little_endian);
    if (PW_UNLIKELY(!r.ok()))
        return utf32_invalid(little_endian ? unit32<true>(s + 4 * r.fault) : unit32<false>(s + 4 * r.fault));
    return deliver(r.shape, sink, [&](u8* out) { utf32_write(s, m, little_endian, r.shape, out); });
}

status decode_utf32(std::span<const std::uint8_t> bytes, text_sink& sink) {
    if (PW_UNLIKELY(bytes.size() < 4 || bytes.size() % 4 != 0))
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    const u32 head = unit32<false>(bytes.data());
    if (head == 0x0000FEFF) return decode_utf32_with_endianness(bytes.subspan(4), false, sink);
    if (head == 0xFFFE0000) return decode_utf32_with_endianness(bytes.subspan(4), true, sink);
    return decode_utf32_with_endianness(bytes, false, sink);
}

status decode_us_ascii(std::span<const std::uint8_t> bytes, text_sink& sink) {
    const u8* s = bytes.data();
    const std::size_t n = bytes.size();
    u8 max = 0;
    std::size_t valid;
    switch (current_level()) {
        case level::scalar:
            for (valid = 0; valid < n && s[valid] < 0x80; ++valid) max = std::max(max, s[valid]);
            break;
#if PW_TEXT_AVX2
        case level::avx2: valid = all_ascii_avx2(s, n, max) ? n : ascii_prefix_avx2(s, n, max); break;
#endif
        default: valid = ascii_prefix(s, n, max); break;
    }
    if (PW_UNLIKELY(valid != n)) return ascii_invalid(s[valid]);
    return deliver({n, max}, sink, [&](u8* out) { copy_bytes(out, s, n); });
}

status decode_iso_8859_1(std::span<const std::uint8_t> bytes, text_sink& sink) {
    const u8* s = bytes.data();
    const std::size_t n = bytes.size();
    // Only the storage class of the largest byte matters: the first byte at
    // or above 0x80 settles it, so the scan stops there.
    u8 ascii_max = 0;
#if PW_TEXT_AVX2
    const std::size_t prefix =
        current_level() == level::avx2 ? ascii_prefix_avx2(s, n, ascii_max) : ascii_prefix(s, n, ascii_max);
#else
    const std::size_t prefix = ascii_prefix(s, n, ascii_max);
#endif
    const text_shape shape{n, prefix == n ? char32_t{ascii_max} : char32_t{0xFF}};
    return deliver(shape, sink, [&](u8* out) { copy_bytes(out, s, n); });
}

status decode_windows_1252(std::span<const std::uint8_t> bytes, text_sink& sink) {
    const u8* s = bytes.data();
    const std::size_t n = bytes.size();
    // A byte order mark overrides the encoding.
    if (n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) return decode_utf8_bytes(s + 3, n - 3, sink, true);
    if (n >= 2 && ((s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF))) {
        if (n % 2 != 0) return windows1252_failure();  // a byte left over
        return decode_utf16_units({s + 2, (n - 2) / 2, s[0] == 0xFF}, sink, true);
    }
    const scan_result r = windows1252_scan(s, n);
    return deliver(r.shape, sink, [&](u8* out) { windows1252_write(s, n, r.shape, out); });
}

status decode_text(text_encoding enc, std::span<const std::uint8_t> bytes, text_sink& sink) {
    switch (enc) {
        case text_encoding::utf8: return decode_utf8(bytes, sink);
        case text_encoding::utf16: return decode_utf16(bytes, sink);
        case text_encoding::utf16le: return decode_utf16_with_endianness(bytes, true, sink);
        case text_encoding::utf16be: return decode_utf16_with_endianness(bytes, false, sink);
        case text_encoding::utf32: return decode_utf32(bytes, sink);
        case text_encoding::utf32le: return decode_utf32_with_endianness(bytes, true, sink);
        case text_encoding::utf32be: return decode_utf32_with_endianness(bytes, false, sink);
        case text_encoding::us_ascii: return decode_us_ascii(bytes, sink);
        case text_encoding::iso_8859_1: return decode_iso_8859_1(bytes, sink);
        case text_encoding::windows_1252: return decode_windows_1252(bytes, sink);
    }
    return value_error("Unknown text encoding");
}

void set_text_decoder_path(text_decoder_path path) noexcept { g_path = path; }

}  // namespace packweaver
