#include "text.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "../common/format.hpp"
#include "../common/simd.hpp"
#include "../common/windows1252.hpp"

namespace packweaver {
namespace {

using namespace simd;

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

constexpr std::size_t no_fault = std::numeric_limits<std::size_t>::max();

// Only tests lower this; every call reads it once.
text_encoder_path g_path = text_encoder_path::best;

#if PW_TEXT_AVX2
const bool g_has_avx2 = detail::cpu_has_avx2();
#endif

enum class level : u8 { scalar, portable, avx2 };

PW_INLINE level current_level() noexcept {
    if (g_path == text_encoder_path::scalar) return level::scalar;
#if PW_TEXT_AVX2
    if (g_path == text_encoder_path::best && g_has_avx2) return level::avx2;
#endif
    return level::portable;
}

// ---------------------------------------------------------------------------
// Reading the host text and writing bytes. The view's data need not be
// aligned, so code points are loaded through memcpy (a plain load on every
// target that allows unaligned access).

template <unsigned W>
PW_INLINE char32_t load_char(const u8* p) noexcept {
    if constexpr (W == 1) {
        return *p;
    } else if constexpr (W == 2) {
        u16 v;
        std::memcpy(&v, p, 2);
        return v;
    } else {
        u32 v;
        std::memcpy(&v, p, 4);
        return v;
    }
}

char32_t char_at(const text_view& text, std::size_t i) noexcept {
    const auto* p = static_cast<const u8*>(text.data) + i * text.width;
    return text.width == 1 ? load_char<1>(p) : text.width == 2 ? load_char<2>(p) : load_char<4>(p);
}

template <bool LE>
PW_INLINE void put16(u8* p, u32 v) noexcept {
    p[LE ? 0 : 1] = static_cast<u8>(v);
    p[LE ? 1 : 0] = static_cast<u8>(v >> 8);
}

template <bool LE>
PW_INLINE void put32(u8* p, u32 v) noexcept {
    for (int k = 0; k < 4; ++k) p[LE ? k : 3 - k] = static_cast<u8>(v >> (8 * k));
}

PW_INLINE constexpr bool is_surrogate(char32_t c) noexcept { return (c & 0xFFFFF800u) == 0xD800; }
PW_INLINE constexpr bool is_scalar_value(char32_t c) noexcept { return c <= 0x10FFFF && !is_surrogate(c); }

// What a kernel did: the bytes it wrote, or where it stopped.
struct outcome {
    std::size_t written;
    std::size_t fault;  // index of the first character it could not encode, or no_fault
};

// ---------------------------------------------------------------------------
// Error messages (cold).

PW_COLD error not_a_scalar_value(char32_t c, std::size_t index) {
    const std::string where = " at index " + fmt::dec(std::uint64_t{index});
    if (is_surrogate(c)) return value_error("Lone surrogate U+" + fmt::hex(c, 4) + where + " cannot be encoded");
    return value_error("Code point U+" + fmt::hex(c, 4) + where + " is beyond U+10FFFF and cannot be encoded");
}

enum class charset : u8 { unicode, us_ascii, iso_8859_1, windows_1252 };

PW_COLD error encode_failure(charset set, const text_view& text, std::size_t index) {
    const char32_t c = char_at(text, index);
    // A code point that is no character at all is refused the same way by
    // every encoder, before any character-set rule applies.
    if (!is_scalar_value(c) || set == charset::unicode) return not_a_scalar_value(c, index);
    if (set == charset::windows_1252) return value_error("Failed to encode to Windows-1252");
    std::string message = "Character '";
    fmt::append_utf8(message, c);
    message += "' (U+" + fmt::hex(c, 4) + ") is not valid ";
    message += set == charset::us_ascii ? "US-ASCII" : "ISO-8859-1";
    return value_error(std::move(message));
}

PW_COLD error unsupported_width(unsigned width) {
    return value_error("Unsupported text storage width " + fmt::dec(std::uint64_t{width}));
}

// ---------------------------------------------------------------------------
// Block helpers of the fast paths. Each handles 16 characters (8 where the
// output would exceed 32 bytes) and writes its full output even when it then
// reports that the block needs the scalar loop, which rewrites it; callers
// only use them where the reserved room covers that.

#if PW_TEXT_SSE2

PW_INLINE bool all_zero(__m128i v) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF;
}

// 16 characters, each below Limit (0x80 or 0x100), narrowed to bytes.
template <unsigned W, u32 Limit>
PW_INLINE bool narrow16(const u8* src, u8* dst) noexcept {
    if constexpr (W == 1) {
        const __m128i v = load128(src);
        store128(dst, v);
        return Limit == 0x100 || _mm_movemask_epi8(v) == 0;
    } else if constexpr (W == 2) {
        const __m128i a = load128(src), b = load128(src + 16);
        store128(dst, _mm_packus_epi16(a, b));
        return all_zero(_mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(~(Limit - 1)))));
    } else {
        const __m128i a = load128(src), b = load128(src + 16), c = load128(src + 32), d = load128(src + 48);
        store128(dst, _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
        const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        return all_zero(_mm_and_si128(any, _mm_set1_epi32(static_cast<int>(~(Limit - 1)))));
    }
}

// 16 characters that windows-1252 writes as themselves: below 0x100 and
// outside 0x80-0x9F.
template <unsigned W>
PW_INLINE bool narrow16_windows1252(const u8* src, u8* dst) noexcept {
    const bool latin1 = narrow16<W, 0x100>(src, dst);
    return latin1 && _mm_movemask_epi8(c1_bytes(load128(dst))) == 0;
}

// 16 bytes as UTF-16 units.
template <bool LE>
PW_INLINE void widen8to16(const u8* src, u8* dst) noexcept {
    const __m128i v = load128(src), z = _mm_setzero_si128();
    store128(dst, LE ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v));
    store128(dst + 16, LE ? _mm_unpackhi_epi8(v, z) : _mm_unpackhi_epi8(z, v));
}

// 8 UCS-2 units copied as UTF-16; fails on a surrogate.
template <bool LE>
PW_INLINE bool copy16(const u8* src, u8* dst) noexcept {
    const __m128i v = load128(src);
    store128(dst, LE ? v : swap_bytes16(v));
    const __m128i s = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))),
                                      _mm_set1_epi16(static_cast<short>(0xD800)));
    return _mm_movemask_epi8(s) == 0;
}

// 8 UCS-4 characters as single UTF-16 units; fails unless all are BMP
// characters (no surrogate, nothing that needs a pair).
template <bool LE>
PW_INLINE bool narrow32to16(const u8* src, u8* dst) noexcept {
    const __m128i a = load128(src), b = load128(src + 16);
    const __m128i bias32 = _mm_set1_epi32(0x8000), bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
    // Shifted into the signed range, values up to 0xFFFF pack without saturating.
    const __m128i units =
        _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32)), bias16);
    store128(dst, LE ? units : swap_bytes16(units));
    const __m128i z = _mm_setzero_si128();
    const __m128i wide = _mm_or_si128(_mm_srli_epi32(a, 16), _mm_srli_epi32(b, 16));
    const __m128i s = _mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xF800))),
                                      _mm_set1_epi16(static_cast<short>(0xD800)));
    return _mm_movemask_epi8(_mm_or_si128(_mm_xor_si128(_mm_cmpeq_epi32(wide, z), _mm_set1_epi8(-1)), s)) == 0;
}

// 16 bytes as UTF-32 units.
template <bool LE>
PW_INLINE void widen8to32(const u8* src, u8* dst) noexcept {
    const __m128i v = load128(src), z = _mm_setzero_si128();
    const __m128i lo = LE ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v);
    const __m128i hi = LE ? _mm_unpackhi_epi8(v, z) : _mm_unpackhi_epi8(z, v);
    store128(dst, LE ? _mm_unpacklo_epi16(lo, z) : _mm_unpacklo_epi16(z, lo));
    store128(dst + 16, LE ? _mm_unpackhi_epi16(lo, z) : _mm_unpackhi_epi16(z, lo));
    store128(dst + 32, LE ? _mm_unpacklo_epi16(hi, z) : _mm_unpacklo_epi16(z, hi));
    store128(dst + 48, LE ? _mm_unpackhi_epi16(hi, z) : _mm_unpackhi_epi16(z, hi));
}

// 8 UCS-2 units as UTF-32 units; fails on a surrogate.
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
    const __m128i s = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))),
                                      _mm_set1_epi16(static_cast<short>(0xD800)));
    return _mm_movemask_epi8(s) == 0;
}

// 0xFFFFFFFF in every 32-bit lane that is not a Unicode scalar value.
PW_INLINE __m128i not_scalar32(__m128i v) noexcept {
    const __m128i above = _mm_cmpgt_epi32(_mm_xor_si128(v, _mm_set1_epi32(INT32_MIN)),
                                          _mm_set1_epi32(INT32_MIN + 0x10FFFF));
    const __m128i surrogate = _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800u))),
                                              _mm_set1_epi32(0xD800));
    return _mm_or_si128(above, surrogate);
}

// 8 UCS-4 characters as UTF-32 units; fails on anything but a scalar value.
template <bool LE>
PW_INLINE bool copy32(const u8* src, u8* dst) noexcept {
    const __m128i a = load128(src), b = load128(src + 16);
    store128(dst, LE ? a : swap_bytes32(a));
    store128(dst + 16, LE ? b : swap_bytes32(b));
    return _mm_movemask_epi8(_mm_or_si128(not_scalar32(a), not_scalar32(b))) == 0;
}

#else  // portable block helpers: plain loops the compiler may vectorise

template <unsigned W, u32 Limit>
PW_INLINE bool narrow16(const u8* src, u8* dst) noexcept {
    u32 any = 0;
    for (int k = 0; k < 16; ++k) {
        const char32_t c = load_char<W>(src + k * W);
        any |= c;
        dst[k] = static_cast<u8>(c);
    }
    return any < Limit;
}

template <unsigned W>
PW_INLINE bool narrow16_windows1252(const u8* src, u8* dst) noexcept {
    bool ok = narrow16<W, 0x100>(src, dst);
    for (int k = 0; k < 16; ++k) ok &= (dst[k] & 0xE0) != 0x80;
    return ok;
}

template <bool LE>
PW_INLINE void widen8to16(const u8* src, u8* dst) noexcept {
    for (int k = 0; k < 16; ++k) put16<LE>(dst + 2 * k, src[k]);
}

template <bool LE>
PW_INLINE bool copy16(const u8* src, u8* dst) noexcept {
    bool ok = true;
    for (int k = 0; k < 8; ++k) {
        const char32_t c = load_char<2>(src + 2 * k);
        put16<LE>(dst + 2 * k, c);
        ok &= !is_surrogate(c);
    }
    return ok;
}

template <bool LE>
PW_INLINE bool narrow32to16(const u8* src, u8* dst) noexcept {
    bool ok = true;
    for (int k = 0; k < 8; ++k) {
        const char32_t c = load_char<4>(src + 4 * k);
        put16<LE>(dst + 2 * k, c);
        ok &= c < 0x10000 && !is_surrogate(c);
    }
    return ok;
}

template <bool LE>
PW_INLINE void widen8to32(const u8* src, u8* dst) noexcept {
    for (int k = 0; k < 16; ++k) put32<LE>(dst + 4 * k, src[k]);
}

template <bool LE>
PW_INLINE bool widen16to32(const u8* src, u8* dst) noexcept {
    bool ok = true;
    for (int k = 0; k < 8; ++k) {
        const char32_t c = load_char<2>(src + 2 * k);
        put32<LE>(dst + 4 * k, c);
        ok &= !is_surrogate(c);
    }
    return ok;
}

template <bool LE>
PW_INLINE bool copy32(const u8* src, u8* dst) noexcept {
    bool ok = true;
    for (int k = 0; k < 8; ++k) {
        const char32_t c = load_char<4>(src + 4 * k);
        put32<LE>(dst + 4 * k, c);
        ok &= is_scalar_value(c);
    }
    return ok;
}

#endif

// ---------------------------------------------------------------------------
// UTF-8.

// One character; false when it is no scalar value.
template <unsigned W>
PW_INLINE bool put_utf8(char32_t c, u8*& o) noexcept {
    if (c < 0x80) {
        *o++ = static_cast<u8>(c);
    } else if (c < 0x800) {
        o[0] = static_cast<u8>(0xC0 | (c >> 6));
        o[1] = static_cast<u8>(0x80 | (c & 0x3F));
        o += 2;
    } else if (W == 1) {
        // unreachable: one-byte storage holds nothing above 0xFF
    } else if (c < 0x10000) {
        if (PW_UNLIKELY(is_surrogate(c))) return false;
        o[0] = static_cast<u8>(0xE0 | (c >> 12));
        o[1] = static_cast<u8>(0x80 | ((c >> 6) & 0x3F));
        o[2] = static_cast<u8>(0x80 | (c & 0x3F));
        o += 3;
    } else {
        if (PW_UNLIKELY(c > 0x10FFFF)) return false;
        o[0] = static_cast<u8>(0xF0 | (c >> 18));
        o[1] = static_cast<u8>(0x80 | ((c >> 12) & 0x3F));
        o[2] = static_cast<u8>(0x80 | ((c >> 6) & 0x3F));
        o[3] = static_cast<u8>(0x80 | (c & 0x3F));
        o += 4;
    }
    return true;
}

template <unsigned W>
outcome utf8_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    for (std::size_t i = 0; i < n; ++i)
        if (!put_utf8<W>(load_char<W>(s + i * W), o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

// ASCII runs go 16 characters at a time. A block that is not all ASCII is
// encoded one character at a time, which also rewrites the bytes the block
// helper wrote: the bound (2, 3 or 4 bytes per character of this width)
// leaves room for 16 bytes wherever 16 characters remain.
template <unsigned W>
outcome utf8_fast(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    std::size_t i = 0;
    while (n - i >= 16) {
        if (narrow16<W, 0x80>(s + i * W, o)) {
            i += 16;
            o += 16;
            continue;
        }
        for (const std::size_t end = i + 16; i < end; ++i)
            if (!put_utf8<W>(load_char<W>(s + i * W), o)) return {0, i};
    }
    for (; i < n; ++i)
        if (!put_utf8<W>(load_char<W>(s + i * W), o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

#if PW_TEXT_AVX2

// The AVX2 loop takes 16 characters a step when all are ASCII, all are below
// U+0800 (one or two bytes each) or all are in the BMP outside the surrogates
// (one to three bytes), and otherwise 8 with a general step (one to four
// bytes). Every step builds each character's bytes in a lane of its own, then
// packs them together with a shuffle that a table gives for the characters'
// lengths.

// A shuffle per key, and the number of bytes it keeps.
struct utf8_packing {
    std::array<std::array<u8, 16>, 256> shuffle;
    std::array<u8, 256> length;
};

// For the general step: [key] packs four 32-bit lanes whose lengths minus one
// are the 2-bit digits of key, each lane's bytes in order.

constexpr utf8_packing make_utf8_packing() {
    utf8_packing t{};
    for (unsigned key = 0; key < 256; ++key) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 4; ++lane)
            for (unsigned b = 0; b <= (key >> (2 * lane) & 3); ++b) t.shuffle[key][n++] = static_cast<u8>(4 * lane + b);
        t.length[key] = static_cast<u8>(n);
        while (n < 16) t.shuffle[key][n++] = 0x80;
    }
    return t;
}
alignas(64) constexpr utf8_packing utf8_packing_table = make_utf8_packing();

PW_AVX2_INLINE __m128i utf8_packing_shuffle(unsigned key) noexcept {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(utf8_packing_table.shuffle[key].data()));
}

// [mask] packs 8 lanes of 16 bits, keeping the first byte of each and the
// second of those whose bit is set in mask.
constexpr std::array<std::array<u8, 16>, 256> make_pair_packing() {
    std::array<std::array<u8, 16>, 256> t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            t[mask][n++] = static_cast<u8>(2 * lane);
            if (mask >> lane & 1) t[mask][n++] = static_cast<u8>(2 * lane + 1);
        }
        while (n < 16) t[mask][n++] = 0x80;
    }
    return t;
}
alignas(64) constexpr auto pair_packing = make_pair_packing();

// [key] packs four 32-bit lanes laid out as [0ccccccc, 10cccccc, 1110aaaa,
// 10bbbbbb or 110bbbbb] for a character aaaabbbbbbcccccc, where bits 2j and
// 2j+1 of key say whether character j is below 0x80 and below 0x800.
constexpr utf8_packing make_bmp_packing() {
    utf8_packing t{};
    for (unsigned key = 0; key < 256; ++key) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned base = 4 * lane, below80 = key >> (2 * lane) & 1, below800 = key >> (2 * lane + 1) & 1;
            if (below80) {
                t.shuffle[key][n++] = static_cast<u8>(base);
            } else if (below800) {
                t.shuffle[key][n++] = static_cast<u8>(base + 3);
                t.shuffle[key][n++] = static_cast<u8>(base + 1);
            } else {
                t.shuffle[key][n++] = static_cast<u8>(base + 2);
                t.shuffle[key][n++] = static_cast<u8>(base + 3);
                t.shuffle[key][n++] = static_cast<u8>(base + 1);
            }
        }
        t.length[key] = static_cast<u8>(n);
        while (n < 16) t.shuffle[key][n++] = 0x80;
    }
    return t;
}
alignas(64) constexpr utf8_packing bmp_packing = make_bmp_packing();

PW_AVX2_INLINE void put_bmp_piece(__m128i lanes, unsigned key, u8*& o) noexcept {
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(bmp_packing.shuffle[key].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(lanes, shuffle));
    o += bmp_packing.length[key];
}

// 16 characters of the BMP outside the surrogates, one to three bytes each,
// from 16-bit lanes. Stores reach 52 bytes past o.
PW_AVX2_INLINE void utf8_step16_bmp(__m256i c, u8*& o) noexcept {
    // [0ccccccc, 10cccccc]: the low byte twice, masked and marked.
    const __m256i low_byte_twice =
        _mm256_shuffle_epi8(c, _mm256_setr_epi8(0, 0, 2, 2, 4, 4, 6, 6, 8, 8, 10, 10, 12, 12, 14, 14, 0, 0, 2, 2, 4,
                                                4, 6, 6, 8, 8, 10, 10, 12, 12, 14, 14));
    const __m256i tail = _mm256_or_si256(_mm256_and_si256(low_byte_twice, _mm256_set1_epi16(0x3F7F)),
                                         _mm256_set1_epi16(static_cast<short>(0x8000)));
    // [1110aaaa, 11bbbbbb]: c >> 4 masked to aaaabbbbbb00, whose bytes
    // maddubs recombines as bbbbbb00 * 0x40 + aaaa.
    const __m256i ab = _mm256_maddubs_epi16(_mm256_and_si256(_mm256_srli_epi16(c, 4), _mm256_set1_epi16(0x0FFC)),
                                            _mm256_set1_epi16(0x0140));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i below800 =
        _mm256_cmpeq_epi16(_mm256_and_si256(c, _mm256_set1_epi16(static_cast<short>(0xF800))), zero);
    // A three-byte character's middle byte is a continuation, 10bbbbbb.
    const __m256i head = _mm256_xor_si256(_mm256_or_si256(ab, _mm256_set1_epi16(static_cast<short>(0xC0E0))),
                                          _mm256_andnot_si256(below800, _mm256_set1_epi16(0x4000)));
    const __m256i first = _mm256_unpacklo_epi16(tail, head);   // characters 0-3, 8-11
    const __m256i second = _mm256_unpackhi_epi16(tail, head);  // characters 4-7, 12-15
    const __m256i below80 =
        _mm256_cmpeq_epi16(_mm256_and_si256(c, _mm256_set1_epi16(static_cast<short>(0xFF80))), zero);
    // Bits 2j and 2j+1: character j is below 0x80, below 0x800.
    const auto mask = static_cast<u32>(_mm256_movemask_epi8(
        _mm256_or_si256(_mm256_and_si256(below80, _mm256_set1_epi16(0x00FF)),
                        _mm256_and_si256(below800, _mm256_set1_epi16(static_cast<short>(0xFF00))))));
    put_bmp_piece(_mm256_castsi256_si128(first), mask & 0xFF, o);
    put_bmp_piece(_mm256_castsi256_si128(second), mask >> 8 & 0xFF, o);
    put_bmp_piece(_mm256_extracti128_si256(first, 1), mask >> 16 & 0xFF, o);
    put_bmp_piece(_mm256_extracti128_si256(second, 1), mask >> 24, o);
}

// The next 16 characters as 16-bit lanes, if all are below U+10000.
template <unsigned W>
PW_AVX2_INLINE bool bmp_chars16(const u8* p, __m256i& c16) noexcept {
    if constexpr (W == 1) {
        c16 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return true;
    } else if constexpr (W == 2) {
        c16 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return true;
    } else {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        if (!_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_set1_epi32(~0xFFFF))) return false;
        c16 = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
        return true;
    }
}

PW_AVX2_INLINE __m128i pair_packing_shuffle(unsigned mask) noexcept {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(pair_packing[mask].data()));
}

// 16 characters below U+0800, one or two bytes each, from 16-bit lanes.
PW_AVX2_INLINE void utf8_step16_two_byte(__m256i c, u8*& o) noexcept {
    const __m256i wide = _mm256_cmpgt_epi16(c, _mm256_set1_epi16(0x7F));
    const __m256i lead = _mm256_or_si256(_mm256_srli_epi16(c, 6), _mm256_set1_epi16(0xC0));
    const __m256i cont = _mm256_or_si256(_mm256_and_si256(c, _mm256_set1_epi16(0x3F)), _mm256_set1_epi16(0x80));
    const __m256i lanes = _mm256_blendv_epi8(c, _mm256_or_si256(lead, _mm256_slli_epi16(cont, 8)), wide);
    // One bit per lane: bits 0-7 for lanes 0-7, bits 16-23 for lanes 8-15.
    const auto mask =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(wide, _mm256_setzero_si256())));
    const unsigned low = mask & 0xFF, high = mask >> 16 & 0xFF;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_shuffle_epi8(_mm256_castsi256_si128(lanes), pair_packing_shuffle(low)));
    o += 8 + static_cast<unsigned>(__builtin_popcount(low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_shuffle_epi8(_mm256_extracti128_si256(lanes, 1), pair_packing_shuffle(high)));
    o += 8 + static_cast<unsigned>(__builtin_popcount(high));
}

template <unsigned W>
PW_AVX2_INLINE __m256i load8_chars(const u8* p) noexcept {
    if constexpr (W == 1) return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    else if constexpr (W == 2) return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    else return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The general step: 8 characters, each built in a 32-bit lane as its 6-bit
// groups one to a byte, most significant first, moved down so that only as
// many bytes as the character needs remain, then marked as lead and
// continuation bytes. False (having written nothing that counts) when a
// character is no scalar value.
template <unsigned W>
PW_AVX2_INLINE bool utf8_step8(__m256i c, u8*& o) noexcept {
    if constexpr (W > 1) {
        __m256i bad = _mm256_cmpeq_epi32(_mm256_and_si256(c, _mm256_set1_epi32(static_cast<int>(0xFFFFF800u))),
                                         _mm256_set1_epi32(0xD800));
        if constexpr (W == 4) {
            const __m256i limit = _mm256_set1_epi32(0x10FFFF);
            bad = _mm256_or_si256(bad, _mm256_xor_si256(_mm256_cmpeq_epi32(_mm256_max_epu32(c, limit), limit),
                                                        _mm256_set1_epi32(-1)));
        }
        if (!_mm256_testz_si256(bad, bad)) return false;
    }
    const __m256i six = _mm256_set1_epi32(0x3F);
    const __m256i ge80 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7F));
    const __m256i ge800 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7FF));
    const __m256i ge10000 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0xFFFF));
    // Bytes, lowest address first: c >> 18, then the 6-bit groups at 12, 6, 0.
    const __m256i spread = _mm256_or_si256(
        _mm256_or_si256(_mm256_srli_epi32(c, 18),
                        _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(c, 12), six), 8)),
        _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(c, 6), six), 16),
                        _mm256_slli_epi32(_mm256_and_si256(c, six), 24)));
    // Keep the last `length` bytes: shift by 8 * (4 - length), where the
    // compare masks are -1 each.
    const __m256i extra = _mm256_add_epi32(_mm256_add_epi32(ge80, ge800), ge10000);
    const __m256i shifted =
        _mm256_srlv_epi32(spread, _mm256_add_epi32(_mm256_slli_epi32(extra, 3), _mm256_set1_epi32(24)));
    __m256i marks = _mm256_and_si256(ge80, _mm256_set1_epi32(0x80C0));
    marks = _mm256_blendv_epi8(marks, _mm256_set1_epi32(0x8080E0), ge800);
    marks = _mm256_blendv_epi8(marks, _mm256_set1_epi32(static_cast<int>(0x808080F0u)), ge10000);
    const __m256i bytes = _mm256_blendv_epi8(c, _mm256_or_si256(shifted, marks), ge80);
    // The packing keys: length - 1 of each lane as the 2-bit digits of one
    // number per half.
    __m256i digits = _mm256_sllv_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), extra),
                                       _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    digits = _mm256_or_si256(digits, _mm256_shuffle_epi32(digits, 0x4E));
    digits = _mm256_or_si256(digits, _mm256_shuffle_epi32(digits, 0xB1));
    const auto key0 = static_cast<unsigned>(_mm_cvtsi128_si32(_mm256_castsi256_si128(digits)));
    const auto key1 = static_cast<unsigned>(_mm_cvtsi128_si32(_mm256_extracti128_si256(digits, 1)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_shuffle_epi8(_mm256_castsi256_si128(bytes), utf8_packing_shuffle(key0)));
    o += utf8_packing_table.length[key0];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_shuffle_epi8(_mm256_extracti128_si256(bytes, 1), utf8_packing_shuffle(key1)));
    o += utf8_packing_table.length[key1];
    return true;
}

// Room: a step stores 16 bytes twice, the second at most 16 bytes on; with
// 16 characters left the bound (2, 3 or 4 bytes a character) covers both.
template <unsigned W>
PW_AVX2 outcome utf8_avx2(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    std::size_t i = 0;
    while (n - i >= 16) {
        const u8* p = s + i * W;
        __m256i c16;
        if (bmp_chars16<W>(p, c16)) {
            if (_mm256_testz_si256(c16, _mm256_set1_epi16(static_cast<short>(0xFF80)))) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                                 _mm_packus_epi16(_mm256_castsi256_si128(c16), _mm256_extracti128_si256(c16, 1)));
                o += 16;
                i += 16;
                continue;
            }
            if (_mm256_testz_si256(c16, _mm256_set1_epi16(static_cast<short>(0xF800)))) {
                utf8_step16_two_byte(c16, o);
                i += 16;
                continue;
            }
            // Up to 52 bytes stored for 16 characters: with 18 left the bound
            // (3 or 4 bytes a character) still covers them.
            const __m256i surrogates =
                _mm256_cmpeq_epi16(_mm256_and_si256(c16, _mm256_set1_epi16(static_cast<short>(0xF800))),
                                   _mm256_set1_epi16(static_cast<short>(0xD800)));
            if (n - i >= 18 && _mm256_testz_si256(surrogates, surrogates)) {
                utf8_step16_bmp(c16, o);
                i += 16;
                continue;
            }
        }
        if (!utf8_step8<W>(load8_chars<W>(p), o)) break;
        i += 8;
    }
    // The rest, or the block with the character that cannot be encoded.
    for (; i < n; ++i)
        if (!put_utf8<W>(load_char<W>(s + i * W), o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

#endif

// ---------------------------------------------------------------------------
// UTF-16.

template <unsigned W, bool LE>
PW_INLINE bool put_utf16(char32_t c, u8*& o) noexcept {
    if (c < 0x10000) {
        if (W > 1 && PW_UNLIKELY(is_surrogate(c))) return false;
        put16<LE>(o, c);
        o += 2;
        return true;
    }
    if (PW_UNLIKELY(c > 0x10FFFF)) return false;
    const char32_t w = c - 0x10000;
    put16<LE>(o, 0xD800 + (w >> 10));
    put16<LE>(o + 2, 0xDC00 + (w & 0x3FF));
    o += 4;
    return true;
}

template <unsigned W, bool LE>
outcome utf16_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    for (std::size_t i = 0; i < n; ++i)
        if (!put_utf16<W, LE>(load_char<W>(s + i * W), o)) return {0, i};
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
            for (const std::size_t end = i + 8; i < end; ++i)
                if (!put_utf16<W, LE>(load_char<W>(s + 4 * i), o)) return {0, i};
        }
    }
    for (; i < n; ++i)
        if (!put_utf16<W, LE>(load_char<W>(s + i * W), o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

// ---------------------------------------------------------------------------
// UTF-32.

template <unsigned W, bool LE>
outcome utf32_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = load_char<W>(s + i * W);
        if (W > 1 && PW_UNLIKELY(!is_scalar_value(c))) return {0, i};
        put32<LE>(out + 4 * i, c);
    }
    return {4 * n, no_fault};
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
    // The rest, including a block that failed, which the scalar loop redoes
    // to find the offending character.
    const outcome rest = utf32_scalar<W, LE>(s + i * W, n - i, out + 4 * i);
    if (rest.fault != no_fault) return {0, i + rest.fault};
    return {4 * n, no_fault};
}

// ---------------------------------------------------------------------------
// Single-byte character sets.

// Byte for c in the set, or -1.
template <charset Set>
PW_INLINE int single_byte(char32_t c) noexcept {
    if constexpr (Set == charset::us_ascii) return c < 0x80 ? static_cast<int>(c) : -1;
    else if constexpr (Set == charset::iso_8859_1) return c < 0x100 ? static_cast<int>(c) : -1;
    else return windows1252::encode_char(c);
}

template <charset Set, unsigned W>
outcome single_byte_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const int b = single_byte<Set>(load_char<W>(s + i * W));
        if (PW_UNLIKELY(b < 0)) return {0, i};
        out[i] = static_cast<u8>(b);
    }
    return {n, no_fault};
}

template <charset Set, unsigned W>
outcome single_byte_fast(const u8* s, std::size_t n, u8* out) noexcept {
    std::size_t i = 0;
    for (; n - i >= 16; i += 16) {
        bool ok;
        if constexpr (Set == charset::us_ascii) ok = narrow16<W, 0x80>(s + i * W, out + i);
        else if constexpr (Set == charset::iso_8859_1) ok = narrow16<W, 0x100>(s + i * W, out + i);
        else ok = narrow16_windows1252<W>(s + i * W, out + i);
        if (ok) continue;
        // Windows-1252 still encodes a few characters of 0x80-0x9F and
        // above; for the others the block holds the fault.
        const outcome block = single_byte_scalar<Set, W>(s + i * W, 16, out + i);
        if (block.fault != no_fault) return {0, i + block.fault};
    }
    const outcome rest = single_byte_scalar<Set, W>(s + i * W, n - i, out + i);
    if (rest.fault != no_fault) return {0, i + rest.fault};
    return {n, no_fault};
}

#if PW_TEXT_AVX2

// ---------------------------------------------------------------------------
// AVX2 loops for the fixed-width encodings and windows-1252.

// -1 in every 32-bit lane that is not a Unicode scalar value.
PW_AVX2_INLINE __m256i not_scalar_avx2(__m256i c) noexcept {
    const __m256i limit = _mm256_set1_epi32(0x10FFFF);
    const __m256i above =
        _mm256_xor_si256(_mm256_cmpeq_epi32(_mm256_max_epu32(c, limit), limit), _mm256_set1_epi32(-1));
    const __m256i surrogate = _mm256_cmpeq_epi32(
        _mm256_and_si256(c, _mm256_set1_epi32(static_cast<int>(0xFFFFF800u))), _mm256_set1_epi32(0xD800));
    return _mm256_or_si256(above, surrogate);
}
PW_AVX2_INLINE bool any_surrogate16(__m256i v) noexcept {
    const __m256i s = _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xF800))),
                                         _mm256_set1_epi16(static_cast<short>(0xD800)));
    return !_mm256_testz_si256(s, s);
}

// [mask] keeps the first 16-bit unit of each of four 32-bit lanes, and the
// second of those whose bit is set.
constexpr std::array<std::array<u8, 16>, 16> make_unit_packing() {
    std::array<std::array<u8, 16>, 16> t{};
    for (unsigned mask = 0; mask < 16; ++mask) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 4; ++lane)
            for (unsigned b = 0; b < (mask >> lane & 1 ? 4u : 2u); ++b) t[mask][n++] = static_cast<u8>(4 * lane + b);
        while (n < 16) t[mask][n++] = 0x80;
    }
    return t;
}
alignas(64) constexpr auto unit_packing = make_unit_packing();

PW_AVX2_INLINE void put_utf16_piece(__m128i lanes, unsigned mask, u8*& o) noexcept {
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(unit_packing[mask].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(lanes, shuffle));
    o += 2 * (4 + static_cast<unsigned>(__builtin_popcount(mask)));
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
            if (PW_UNLIKELY(any_surrogate16(v))) break;  // the scalar loop names it
            store256(o, LE ? v : swap_bytes16(v));
        }
    } else {
        // Each character as the 32-bit lane [unit, second unit]; the second
        // counts only for a pair. Room: at most 4 bytes a character.
        for (; n - i >= 8; i += 8) {
            const __m256i c = load256(s + 4 * i);
            if (PW_UNLIKELY(!_mm256_testz_si256(not_scalar_avx2(c), not_scalar_avx2(c)))) break;
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
    for (; i < n; ++i)
        if (!put_utf16<W, LE>(load_char<W>(s + i * W), o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

template <unsigned W, bool LE>
PW_AVX2 outcome utf32_avx2(const u8* s, std::size_t n, u8* out) noexcept {
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) {
        __m256i c;
        if constexpr (W == 1) {
            c = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i)));
        } else if constexpr (W == 2) {
            c = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * i)));
        } else {
            c = load256(s + 4 * i);
        }
        if constexpr (W > 1)
            if (PW_UNLIKELY(!_mm256_testz_si256(not_scalar_avx2(c), not_scalar_avx2(c)))) break;
        store256(out + 4 * i, LE ? c : swap_bytes32(c));
    }
    for (; i < n; ++i) {
        const char32_t c = load_char<W>(s + i * W);
        if (W > 1 && PW_UNLIKELY(!is_scalar_value(c))) return {0, i};
        put32<LE>(out + 4 * i, c);
    }
    return {4 * n, no_fault};
}

// Windows-1252, 16 characters a step. A character below 0x100 outside
// 0x80-0x9F is its own byte. The 27 typographic characters of the index go
// through a hash that gives each a distinct slot of 64, ((c * 985) mod
// 0x10000) >> 10, and the slot holds its byte. Any byte of 0x80-0x9F found
// either way must decode back to the character, which also settles the five
// C1 controls the index keeps and refuses everything else.
constexpr unsigned windows1252_hash(char32_t c) noexcept { return ((c * 985u) & 0xFFFFu) >> 10; }

constexpr std::array<u8, 64> make_windows1252_slots() {
    std::array<u8, 64> slots{};
    for (unsigned b = 0x80; b < 0xA0; ++b)
        if (const char16_t c = windows1252::index[b - 0x80]; c >= 0x100)
            slots[windows1252_hash(c)] = static_cast<u8>(b);
    return slots;
}
alignas(64) constexpr auto windows1252_slots = make_windows1252_slots();

constexpr bool windows1252_hash_is_exact() {
    for (unsigned b = 0x80; b < 0xA0; ++b)
        if (const char16_t c = windows1252::index[b - 0x80]; c >= 0x100 && windows1252_slots[windows1252_hash(c)] != b)
            return false;
    return true;
}
static_assert(windows1252_hash_is_exact(), "two typographic characters share a hash slot");

constexpr const auto& c1_planes = windows1252::c1_planes;

PW_AVX2_INLINE __m128i table128(const u8* t) noexcept { return _mm_load_si128(reinterpret_cast<const __m128i*>(t)); }

// Table lookups of 16 byte indices; pshufb reads bit 7 of a blend mask, so
// index bits 4 and 5 are moved up there.
PW_AVX2_INLINE __m128i lookup32(const u8* low16, const u8* high16, __m128i index) noexcept {
    const __m128i nibble = _mm_and_si128(index, _mm_set1_epi8(0x0F));
    return _mm_blendv_epi8(_mm_shuffle_epi8(table128(low16), nibble), _mm_shuffle_epi8(table128(high16), nibble),
                           _mm_slli_epi16(index, 3));
}

// 16 characters as 16-bit lanes; false unless all of them encode.
PW_AVX2_INLINE bool windows1252_step16(__m256i c, u8* o) noexcept {
    const __m128i c_lo = _mm256_castsi256_si128(c), c_hi = _mm256_extracti128_si256(c, 1);
    const __m128i byte_mask = _mm_set1_epi16(0xFF);
    const __m128i low = _mm_packus_epi16(_mm_and_si128(c_lo, byte_mask), _mm_and_si128(c_hi, byte_mask));
    const __m128i high = _mm_packus_epi16(_mm_srli_epi16(c_lo, 8), _mm_srli_epi16(c_hi, 8));
    const __m256i hash16 = _mm256_srli_epi16(_mm256_mullo_epi16(c, _mm256_set1_epi16(985)), 10);
    const __m128i hash = _mm_packus_epi16(_mm256_castsi256_si128(hash16), _mm256_extracti128_si256(hash16, 1));
    const u8* slots = windows1252_slots.data();
    const __m128i slot = _mm_blendv_epi8(lookup32(slots, slots + 16, hash), lookup32(slots + 32, slots + 48, hash),
                                         _mm_slli_epi16(hash, 2));
    const __m128i latin1 = _mm_cmpeq_epi8(high, _mm_setzero_si128());
    const __m128i bytes = _mm_blendv_epi8(slot, low, latin1);
    const __m128i c1 = _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(0xA0)));  // 0x80-0x9F
    const __m128i back_low = lookup32(c1_planes[0].data(), c1_planes[1].data(), bytes);
    const __m128i back_high = lookup32(c1_planes[2].data(), c1_planes[3].data(), bytes);
    const __m128i round_trip = _mm_and_si128(_mm_cmpeq_epi8(back_low, low), _mm_cmpeq_epi8(back_high, high));
    const __m128i ok = _mm_blendv_epi8(latin1, round_trip, c1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
    return _mm_movemask_epi8(ok) == 0xFFFF;
}

template <unsigned W>
PW_AVX2 outcome windows1252_avx2(const u8* s, std::size_t n, u8* out) noexcept {
    std::size_t i = 0;
    for (; n - i >= 16; i += 16) {
        bool ok;
        if constexpr (W == 1) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
            ok = _mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0)))) == 0;
        } else if constexpr (W == 2) {
            ok = windows1252_step16(load256(s + 2 * i), out + i);
        } else {
            const __m256i a = load256(s + 4 * i), b = load256(s + 4 * i + 32);
            ok = _mm256_testz_si256(_mm256_or_si256(a, b), _mm256_set1_epi32(~0xFFFF)) &&
                 windows1252_step16(_mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8), out + i);
        }
        if (ok) continue;
        _mm256_zeroupper();
        const outcome block = single_byte_scalar<charset::windows_1252, W>(s + i * W, 16, out + i);
        if (block.fault != no_fault) return {0, i + block.fault};
    }
    _mm256_zeroupper();
    const outcome rest = single_byte_scalar<charset::windows_1252, W>(s + i * W, n - i, out + i);
    if (rest.fault != no_fault) return {0, i + rest.fault};
    return {n, no_fault};
}

#endif

// ---------------------------------------------------------------------------
// Driving a kernel: reserve, run, commit.

constexpr std::size_t scaled(std::size_t n, std::size_t per_char, std::size_t extra) noexcept {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    return n > (max - extra) / per_char ? max : n * per_char + extra;
}

PW_INLINE bool valid_width(unsigned w) noexcept { return w == 1 || w == 2 || w == 4; }

// Calls kernel.template run<W>(src, n, out) for the view's width.
template <class Kernel>
PW_INLINE outcome run_by_width(const text_view& text, u8* out, Kernel kernel) noexcept {
    const auto* src = static_cast<const u8*>(text.data);
    switch (text.width) {
        case 1: return kernel(std::integral_constant<unsigned, 1>{}, src, text.length, out);
        case 2: return kernel(std::integral_constant<unsigned, 2>{}, src, text.length, out);
        default: return kernel(std::integral_constant<unsigned, 4>{}, src, text.length, out);
    }
}

// bom: bytes written ahead of the encoding (the byte order mark of the plain
// UTF-16 and UTF-32 forms).
template <class Kernel>
status encode_with(const text_view& text, byte_sink& sink, text_encoding enc, charset set, const u8* bom,
                   std::size_t bom_length, Kernel kernel) {
    if (PW_UNLIKELY(!valid_width(text.width))) return unsupported_width(text.width);
    u8* out = sink.reserve(encoded_size_bound(enc, text));
    if (PW_UNLIKELY(out == nullptr)) return pending_error();
    if (bom_length != 0) std::memcpy(out, bom, bom_length);
    const outcome r = run_by_width(text, out + bom_length, kernel);
    if (PW_UNLIKELY(r.fault != no_fault)) return encode_failure(set, text, r.fault);
    sink.commit(bom_length + r.written);
    return success();
}

constexpr u8 utf16_bom[] = {0xFE, 0xFF};
constexpr u8 utf32_bom[] = {0x00, 0x00, 0xFE, 0xFF};

template <bool LE>
status encode_utf16_form(const text_view& text, byte_sink& sink, text_encoding enc, bool bom) {
    const level lv = current_level();
    return encode_with(text, sink, enc, charset::unicode, utf16_bom, bom ? 2 : 0,
                       [lv](auto w, const u8* s, std::size_t n, u8* o) {
                           constexpr unsigned W = decltype(w)::value;
#if PW_TEXT_AVX2
                           if (lv == level::avx2) return utf16_avx2<W, LE>(s, n, o);
#endif
                           return lv == level::portable ? utf16_fast<W, LE>(s, n, o) : utf16_scalar<W, LE>(s, n, o);
                       });
}

template <bool LE>
status encode_utf32_form(const text_view& text, byte_sink& sink, text_encoding enc, bool bom) {
    const level lv = current_level();
    return encode_with(text, sink, enc, charset::unicode, utf32_bom, bom ? 4 : 0,
                       [lv](auto w, const u8* s, std::size_t n, u8* o) {
                           constexpr unsigned W = decltype(w)::value;
#if PW_TEXT_AVX2
                           if (lv == level::avx2) return utf32_avx2<W, LE>(s, n, o);
#endif
                           return lv == level::portable ? utf32_fast<W, LE>(s, n, o) : utf32_scalar<W, LE>(s, n, o);
                       });
}

template <charset Set>
status encode_single_byte(const text_view& text, byte_sink& sink, text_encoding enc) {
    const level lv = current_level();
    return encode_with(text, sink, enc, Set, nullptr, 0, [lv](auto w, const u8* s, std::size_t n, u8* o) {
        constexpr unsigned W = decltype(w)::value;
#if PW_TEXT_AVX2
        if (Set == charset::windows_1252 && lv == level::avx2) return windows1252_avx2<W>(s, n, o);
#endif
        return lv == level::scalar ? single_byte_scalar<Set, W>(s, n, o) : single_byte_fast<Set, W>(s, n, o);
    });
}

// Text the host marks as ASCII is its own encoding in every encoder that
// writes one byte per ASCII character.
status copy_ascii(const text_view& text, byte_sink& sink) {
    u8* out = sink.reserve(text.length);
    if (PW_UNLIKELY(out == nullptr)) return pending_error();
    if (text.length != 0) std::memcpy(out, text.data, text.length);
    sink.commit(text.length);
    return success();
}

PW_INLINE bool marked_ascii(const text_view& text) noexcept { return text.width == 1 && text.ascii; }

}  // namespace

std::size_t encoded_size_bound(text_encoding enc, const text_view& text) noexcept {
    const std::size_t n = text.length;
    switch (enc) {
        case text_encoding::utf8:
            return scaled(n, text.width == 1 ? (text.ascii ? 1 : 2) : text.width == 2 ? 3 : 4, 0);
        case text_encoding::utf16: return scaled(n, text.width == 4 ? 4 : 2, 2);
        case text_encoding::utf16le:
        case text_encoding::utf16be: return scaled(n, text.width == 4 ? 4 : 2, 0);
        case text_encoding::utf32: return scaled(n, 4, 4);
        case text_encoding::utf32le:
        case text_encoding::utf32be: return scaled(n, 4, 0);
        case text_encoding::us_ascii:
        case text_encoding::iso_8859_1:
        case text_encoding::windows_1252: return n;
    }
    return scaled(n, 4, 4);
}

status encode_utf8(const text_view& text, byte_sink& sink) {
    if (marked_ascii(text)) return copy_ascii(text, sink);
    const level lv = current_level();
    return encode_with(text, sink, text_encoding::utf8, charset::unicode, nullptr, 0,
                       [lv](auto w, const u8* s, std::size_t n, u8* o) {
                           constexpr unsigned W = decltype(w)::value;
#if PW_TEXT_AVX2
                           if (lv == level::avx2) return utf8_avx2<W>(s, n, o);
#endif
                           return lv == level::portable ? utf8_fast<W>(s, n, o) : utf8_scalar<W>(s, n, o);
                       });
}

status encode_utf16(const text_view& text, byte_sink& sink) {
    return encode_utf16_form<false>(text, sink, text_encoding::utf16, true);
}
status encode_utf16le(const text_view& text, byte_sink& sink) {
    return encode_utf16_form<true>(text, sink, text_encoding::utf16le, false);
}
status encode_utf16be(const text_view& text, byte_sink& sink) {
    return encode_utf16_form<false>(text, sink, text_encoding::utf16be, false);
}
status encode_utf32(const text_view& text, byte_sink& sink) {
    return encode_utf32_form<false>(text, sink, text_encoding::utf32, true);
}
status encode_utf32le(const text_view& text, byte_sink& sink) {
    return encode_utf32_form<true>(text, sink, text_encoding::utf32le, false);
}
status encode_utf32be(const text_view& text, byte_sink& sink) {
    return encode_utf32_form<false>(text, sink, text_encoding::utf32be, false);
}

status encode_us_ascii(const text_view& text, byte_sink& sink) {
    if (marked_ascii(text)) return copy_ascii(text, sink);
    return encode_single_byte<charset::us_ascii>(text, sink, text_encoding::us_ascii);
}

status encode_iso_8859_1(const text_view& text, byte_sink& sink) {
    // One-byte storage is Latin-1 already.
    if (text.width == 1) return copy_ascii(text, sink);
    return encode_single_byte<charset::iso_8859_1>(text, sink, text_encoding::iso_8859_1);
}

status encode_windows_1252(const text_view& text, byte_sink& sink) {
    if (marked_ascii(text)) return copy_ascii(text, sink);
    return encode_single_byte<charset::windows_1252>(text, sink, text_encoding::windows_1252);
}

status encode_text(text_encoding enc, const text_view& text, byte_sink& sink) {
    switch (enc) {
        case text_encoding::utf8: return encode_utf8(text, sink);
        case text_encoding::utf16: return encode_utf16(text, sink);
        case text_encoding::utf16le: return encode_utf16le(text, sink);
        case text_encoding::utf16be: return encode_utf16be(text, sink);
        case text_encoding::utf32: return encode_utf32(text, sink);
        case text_encoding::utf32le: return encode_utf32le(text, sink);
        case text_encoding::utf32be: return encode_utf32be(text, sink);
        case text_encoding::us_ascii: return encode_us_ascii(text, sink);
        case text_encoding::iso_8859_1: return encode_iso_8859_1(text, sink);
        case text_encoding::windows_1252: return encode_windows_1252(text, sink);
    }
    return value_error("Unknown text encoding");
}

void set_text_encoder_path(text_encoder_path path) noexcept { g_path = path; }

}  // namespace packweaver
