// What the text codec units share: one file per encoding and direction
// (src/decoder/utf8.cpp, src/encoder/utf16.cpp, ...) builds on these. Private
// to those units and their dispatchers (src/decoder/text.cpp,
// src/encoder/text.cpp); the public interface is decoder/text.hpp and
// encoder/text.hpp.
//
// Each kernel exists at up to three levels: a plain scalar loop, the
// reference every other level is tested against; a portable fast path (SSE2
// on x86-64, word-at-a-time or loops the compiler may vectorise elsewhere);
// and AVX2 loops, run only after a run-time check.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>

#include "error.hpp"
#include "platform.hpp"
#include "simd.hpp"
#include "text.hpp"

namespace packweaver::text_kernels {

using namespace simd;

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// ---------------------------------------------------------------------------
// Which loops run.

enum class level : u8 { scalar, portable, avx2 };

// The levels this build has: AVX2 only where it is compiled in.
inline constexpr std::size_t level_count = PW_HAVE_AVX2 ? 3 : 2;

// How many levels this processor can run: the first ones, in the order of
// `level`.
inline std::size_t runnable_levels() noexcept { return PW_HAVE_AVX2 && cpu_has_avx2() ? 3 : 2; }

// The level a path setting asks for. text_decoder_path and text_encoder_path
// both list scalar, portable, best; best is AVX2 where it is compiled in and
// the processor has it.
template <class Path>
level level_for(Path path) noexcept {
    if (path == Path::scalar) return level::scalar;
    return path == Path::best && runnable_levels() > 2 ? level::avx2 : level::portable;
}

inline constexpr const char* level_names[] = {"scalar", "portable", "avx2"};

// ---------------------------------------------------------------------------
// Characters and units.

constexpr std::size_t no_fault = std::numeric_limits<std::size_t>::max();

PW_INLINE constexpr bool is_surrogate(char32_t c) noexcept { return (c & 0xFFFFF800u) == 0xD800; }
PW_INLINE constexpr bool is_scalar_value(char32_t c) noexcept { return c <= 0x10FFFF && !is_surrogate(c); }

// Units of the encoded side, in byte order LE. Bytes have no alignment.
template <bool LE>
PW_INLINE u32 load16(const u8* p) noexcept {
    return LE ? u32{p[0]} | u32{p[1]} << 8 : u32{p[0]} << 8 | u32{p[1]};
}
template <bool LE>
PW_INLINE u32 load32(const u8* p) noexcept {
    return LE ? u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24
              : u32{p[0]} << 24 | u32{p[1]} << 16 | u32{p[2]} << 8 | u32{p[3]};
}
template <bool LE>
PW_INLINE void store16(u8* p, u32 v) noexcept {
    p[LE ? 0 : 1] = static_cast<u8>(v);
    p[LE ? 1 : 0] = static_cast<u8>(v >> 8);
}
template <bool LE>
PW_INLINE void store32(u8* p, u32 v) noexcept {
    for (int k = 0; k < 4; ++k) p[LE ? k : 3 - k] = static_cast<u8>(v >> (8 * k));
}

// The k-th code point of the host's W-byte storage, in native byte order.
// Neither the host's text nor a sink's storage need be aligned, so both go
// through memcpy (a plain load or store wherever unaligned access is allowed).
template <unsigned W>
PW_INLINE char32_t load_char(const u8* s, std::size_t k) noexcept {
    if constexpr (W == 1) {
        return s[k];
    } else if constexpr (W == 2) {
        u16 v;
        std::memcpy(&v, s + 2 * k, 2);
        return v;
    } else {
        u32 v;
        std::memcpy(&v, s + 4 * k, 4);
        return v;
    }
}
template <unsigned W>
PW_INLINE void store_char(u8* out, std::size_t k, char32_t c) noexcept {
    if constexpr (W == 1) {
        out[k] = static_cast<u8>(c);
    } else if constexpr (W == 2) {
        const auto v = static_cast<u16>(c);
        std::memcpy(out + 2 * k, &v, 2);
    } else {
        std::memcpy(out + 4 * k, &c, 4);
    }
}

PW_INLINE void copy_bytes(u8* out, const u8* s, std::size_t n) noexcept {
    if (n != 0) std::memcpy(out, s, n);
}

// Kernels by storage width: [0] for 1 byte, [1] for 2, [2] for 4.
template <class Kernel>
using by_width = std::array<Kernel, 3>;

PW_INLINE constexpr std::size_t width_slot(unsigned width) noexcept { return width >> 1; }

// Kernels by byte order: [0] big-endian, [1] little-endian.
template <class Kernel>
using by_order = std::array<Kernel, 2>;

// A pshufb table: row r holds the source byte positions that fill(r, push)
// pushes, in order, then 0x80 (which pshufb turns into zero).
template <std::size_t Rows, std::size_t Width, class Fill>
constexpr std::array<std::array<u8, Width>, Rows> shuffle_table(Fill fill) {
    std::array<std::array<u8, Width>, Rows> t{};
    for (unsigned r = 0; r < Rows; ++r) {
        unsigned n = 0;
        fill(r, [&](unsigned position) { t[r][n++] = static_cast<u8>(position); });
        while (n < Width) t[r][n++] = 0x80;
    }
    return t;
}

// ---------------------------------------------------------------------------
// SSE2 lanes.

#if PW_HAVE_SSE2

PW_INLINE unsigned bitmask(__m128i v) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

PW_INLINE bool all_zero(__m128i v) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF;
}

PW_INLINE u8 max_byte_of(__m128i v) noexcept {
    v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
    return static_cast<u8>(_mm_cvtsi128_si32(v));
}

// 0xFFFF in every 16-bit lane that is a surrogate.
PW_INLINE __m128i surrogate_lanes16(__m128i v) noexcept {
    return _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))),
                           _mm_set1_epi16(static_cast<short>(0xD800)));
}

// 0xFFFFFFFF in every 32-bit lane that is not a Unicode scalar value.
PW_INLINE __m128i not_scalar_lanes32(__m128i v) noexcept {
    const __m128i above = _mm_cmpgt_epi32(_mm_xor_si128(v, _mm_set1_epi32(INT32_MIN)),
                                          _mm_set1_epi32(INT32_MIN + 0x10FFFF));
    const __m128i surrogate = _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800u))),
                                              _mm_set1_epi32(0xD800));
    return _mm_or_si128(above, surrogate);
}

// 0xFF in every byte that is 0x80-0x9F, where windows-1252 differs from Latin-1.
PW_INLINE __m128i c1_bytes(__m128i v) noexcept { return _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0))); }

// The 16 bytes of v as 16 units of W bytes in byte order LE.
template <unsigned W, bool LE = true>
PW_INLINE void widen_store(__m128i v, u8* out) noexcept {
    const __m128i z = _mm_setzero_si128();
    if constexpr (W == 1) {
        store128(out, v);
    } else if constexpr (W == 2) {
        store128(out, LE ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v));
        store128(out + 16, LE ? _mm_unpackhi_epi8(v, z) : _mm_unpackhi_epi8(z, v));
    } else {
        const __m128i lo = LE ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v);
        const __m128i hi = LE ? _mm_unpackhi_epi8(v, z) : _mm_unpackhi_epi8(z, v);
        store128(out, LE ? _mm_unpacklo_epi16(lo, z) : _mm_unpacklo_epi16(z, lo));
        store128(out + 16, LE ? _mm_unpackhi_epi16(lo, z) : _mm_unpackhi_epi16(z, lo));
        store128(out + 32, LE ? _mm_unpacklo_epi16(hi, z) : _mm_unpacklo_epi16(z, hi));
        store128(out + 48, LE ? _mm_unpackhi_epi16(hi, z) : _mm_unpackhi_epi16(z, hi));
    }
}

// Eight 32-bit lanes as 16-bit lanes, in order. Shifted into the signed
// range, values up to 0xFFFF pack without saturating.
PW_INLINE __m128i pack32to16(__m128i a, __m128i b) noexcept {
    const __m128i bias32 = _mm_set1_epi32(0x8000), bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
    return _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32)), bias16);
}

// Sixteen 32-bit lanes below 0x100 as bytes, in order.
PW_INLINE __m128i pack32to8(__m128i a, __m128i b, __m128i c, __m128i d) noexcept {
    return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}

#endif

// ---------------------------------------------------------------------------
// AVX2 lanes.

#if PW_HAVE_AVX2

PW_AVX2_INLINE bool any_set(__m256i v) noexcept { return _mm256_testz_si256(v, v) == 0; }

PW_AVX2_INLINE u8 max_byte_of(__m256i v) noexcept {
    return max_byte_of(_mm_max_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}
PW_AVX2_INLINE u32 max_u32_of(__m256i v) noexcept {
    __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epu32(m, _mm_srli_si128(m, 8));
    m = _mm_max_epu32(m, _mm_srli_si128(m, 4));
    return static_cast<u32>(_mm_cvtsi128_si32(m));
}

// 0xFF in every byte that is 0x80-0x9F: the bytes below -96 as signed numbers.
PW_AVX2_INLINE __m256i c1_bytes(__m256i v) noexcept { return _mm256_cmpgt_epi8(_mm256_set1_epi8(-96), v); }

PW_AVX2_INLINE __m256i surrogate_lanes16(__m256i v) noexcept {
    return _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xF800))),
                              _mm256_set1_epi16(static_cast<short>(0xD800)));
}
PW_AVX2_INLINE __m256i surrogate_lanes32(__m256i v) noexcept {
    return _mm256_cmpeq_epi32(_mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(0xFFFFF800u))),
                              _mm256_set1_epi32(0xD800));
}
PW_AVX2_INLINE __m256i not_scalar_lanes32(__m256i v) noexcept {
    const __m256i limit = _mm256_set1_epi32(0x10FFFF);
    const __m256i above =
        _mm256_xor_si256(_mm256_cmpeq_epi32(_mm256_max_epu32(v, limit), limit), _mm256_set1_epi32(-1));
    return _mm256_or_si256(above, surrogate_lanes32(v));
}

// Sixteen 32-bit lanes, all below 0x10000, as 16-bit lanes in order: packing
// works within 128-bit halves, the permutation puts them back.
PW_AVX2_INLINE __m256i pack32to16(__m256i a, __m256i b) noexcept {
    return _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
}

// A 16-entry table in both halves, for pshufb lookups.
PW_AVX2_INLINE __m256i broadcast16(const u8* t) noexcept {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

PW_AVX2_INLINE __m128i load64(const u8* p) noexcept { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

#endif

// ===========================================================================
// Decoding.

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

// Asks the sink for the text's storage and fills it.
template <class Write>
PW_INLINE status deliver(const text_shape& shape, text_sink& sink, Write write) {
    void* out = sink.allocate(shape);
    if (PW_UNLIKELY(out == nullptr)) return pending_error();
    write(static_cast<u8*>(out));
    return success();
}

// ASCII runs, shared by UTF-8, US-ASCII and the single-byte sets. They stay
// calls: inlined into every caller they only make the callers bigger.

// Length of the leading run of bytes below 0x80; `max` gets the largest of them.
PW_NOINLINE inline std::size_t ascii_prefix(const u8* s, std::size_t n, u8& max) noexcept {
    std::size_t i = 0;
    u8 m = 0;
#if PW_HAVE_SSE2
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
            return i + count_trailing_zeros(mask);
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

#if PW_HAVE_AVX2

PW_AVX2 PW_NOINLINE inline std::size_t ascii_prefix_avx2(const u8* s, std::size_t n, u8& max) noexcept {
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

// The scans that only reduce (a maximum, or whether all bytes are ASCII) run
// from the end of the input to its start: the copy that follows them begins
// at the start, which is then the part most recently read and the likeliest
// to be still in the cache.

// ascii_prefix_avx2 for input that is likely all ASCII: the whole input is
// checked first, from the end as the scans that reduce go, and only input
// that is not all ASCII is searched for where its run ends.
PW_AVX2 PW_NOINLINE inline std::size_t ascii_prefix_whole_first_avx2(const u8* s, std::size_t n, u8& max) noexcept {
    std::size_t j = n;
    __m256i acc = _mm256_setzero_si256();
    for (; j >= 128; j -= 128) {
        const __m256i v = _mm256_max_epu8(_mm256_max_epu8(load256(s + j - 128), load256(s + j - 96)),
                                          _mm256_max_epu8(load256(s + j - 64), load256(s + j - 32)));
        if (_mm256_movemask_epi8(v) != 0) return ascii_prefix_avx2(s, n, max);
        acc = _mm256_max_epu8(acc, v);
    }
    for (; j >= 32; j -= 32) {
        const __m256i v = load256(s + j - 32);
        if (_mm256_movemask_epi8(v) != 0) return ascii_prefix_avx2(s, n, max);
        acc = _mm256_max_epu8(acc, v);
    }
    u8 m = max_byte_of(acc);
    // Four bytes a step: a loop of one is so short that its speed hangs on
    // where its code lands, and short texts spend most of their time here.
    for (; j >= 4; j -= 4) {
        u32 w;
        std::memcpy(&w, s + j - 4, 4);
        if (w & 0x80808080u) return ascii_prefix_avx2(s, n, max);
        m = std::max({m, s[j - 1], s[j - 2], s[j - 3], s[j - 4]});
    }
    for (; j > 0; --j) {
        if (s[j - 1] >= 0x80) return ascii_prefix_avx2(s, n, max);
        m = std::max(m, s[j - 1]);
    }
    max = m;
    return n;
}

// [mask] lists the set bits of an 8-bit mask, lowest first. The AVX2 writers
// pack the lanes that hold a character with it.
alignas(64) inline constexpr auto kept_bytes = shuffle_table<256, 8>([](unsigned mask, auto push) {
    for (unsigned j = 0; j < 8; ++j)
        if (mask >> j & 1) push(j);
});

#endif

// What one decoder unit lends another. A windows-1252 input that starts with
// a UTF-8 or UTF-16 byte order mark is decoded in that encoding, but fails
// with windows-1252's message.

PW_COLD error windows1252_failure();

status decode_utf8_bytes(const u8* s, std::size_t n, text_sink& sink, bool for_windows1252);

// UTF-16 of m units at s, in either byte order.
struct utf16_text {
    const u8* s;
    std::size_t m;
    bool little_endian;
};
status decode_utf16_units(const utf16_text& t, text_sink& sink, bool for_windows1252);

// ===========================================================================
// Encoding.

// What a kernel did: the bytes it wrote, or where it stopped.
struct outcome {
    std::size_t written;
    std::size_t fault;  // index of the first character it could not encode, or no_fault
};

// Encodes n characters of the kernel's storage width at s.
using encode_kernel = outcome (*)(const u8* s, std::size_t n, u8* out) noexcept;

enum class charset : u8 { unicode, us_ascii, iso_8859_1, windows_1252 };

// The error for the character at `index` that the encoder of `set` refused.
PW_COLD error encode_failure(charset set, const text_view& text, std::size_t index);
PW_COLD error unsupported_width(unsigned width);

constexpr std::size_t scaled(std::size_t n, std::size_t per_char, std::size_t extra) noexcept {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    return n > (max - extra) / per_char ? max : n * per_char + extra;
}

// encoded_size_bound(), inline for the encoders' own use.
PW_INLINE std::size_t size_bound(text_encoding enc, const text_view& text) noexcept {
    const std::size_t n = text.length;
    switch (enc) {
        case text_encoding::utf8: return scaled(n, text.width == 1 ? (text.ascii ? 1 : 2) : text.width == 2 ? 3 : 4, 0);
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

PW_INLINE bool valid_width(unsigned w) noexcept { return w == 1 || w == 2 || w == 4; }

// Reserves the bound, writes the byte order mark (the plain UTF-16 and
// UTF-32 forms have one), runs the kernel of the view's width and commits
// what it wrote.
PW_INLINE status encode_with(const text_view& text, byte_sink& sink, text_encoding enc, charset set,
                             std::span<const u8> bom, const by_width<encode_kernel>& kernels) {
    if (PW_UNLIKELY(!valid_width(text.width))) return unsupported_width(text.width);
    const auto kernel = kernels[width_slot(text.width)];  // before the sink's call, which may touch any memory
    u8* out = sink.reserve(size_bound(enc, text));
    if (PW_UNLIKELY(out == nullptr)) return pending_error();
    for (std::size_t k = 0; k < bom.size(); ++k) out[k] = bom[k];
    const outcome r = kernel(static_cast<const u8*>(text.data), text.length, out + bom.size());
    if (PW_UNLIKELY(r.fault != no_fault)) return encode_failure(set, text, r.fault);
    sink.commit(bom.size() + r.written);
    return success();
}

// Text the host marks as ASCII is its own encoding in every encoder that
// writes one byte per ASCII character.
PW_INLINE bool marked_ascii(const text_view& text) noexcept { return text.width == 1 && text.ascii; }

inline status copy_ascii(const text_view& text, byte_sink& sink) {
    u8* out = sink.reserve(text.length);
    if (PW_UNLIKELY(out == nullptr)) return pending_error();
    copy_bytes(out, static_cast<const u8*>(text.data), text.length);
    sink.commit(text.length);
    return success();
}

// Block steps of the encoders' fast paths. Each handles 16 characters (8
// where the output would exceed 32 bytes) and writes its full output even
// when it then reports that the block needs the scalar loop, which rewrites
// it; callers only use them where the reserved room covers that.

#if PW_HAVE_SSE2

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
        store128(dst, pack32to8(a, b, c, d));
        const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        return all_zero(_mm_and_si128(any, _mm_set1_epi32(static_cast<int>(~(Limit - 1)))));
    }
}

#else  // plain loops the compiler may vectorise

template <unsigned W, u32 Limit>
PW_INLINE bool narrow16(const u8* src, u8* dst) noexcept {
    u32 any = 0;
    for (int k = 0; k < 16; ++k) {
        const char32_t c = load_char<W>(src, k);
        any |= c;
        dst[k] = static_cast<u8>(c);
    }
    return any < Limit;
}

// N characters of W-byte storage as N units of U bytes in byte order LE;
// false unless `fits` takes every one of them.
template <unsigned N, unsigned W, unsigned U, bool LE, class Fits>
PW_INLINE bool recode_block(const u8* src, u8* dst, Fits fits) noexcept {
    bool ok = true;
    for (unsigned k = 0; k < N; ++k) {
        const char32_t c = load_char<W>(src, k);
        if constexpr (U == 2) store16<LE>(dst + 2 * k, c);
        else store32<LE>(dst + 4 * k, c);
        ok &= fits(c);
    }
    return ok;
}

#endif

// ===========================================================================
// The kernels of each level.
//
// Each direction has a table of kernels a level, and calls through the active
// one: the choice between levels is made once, where the table is chosen,
// and not again in every call. A level without a kernel of its own for some
// encoding lends the portable one. Each encoding's unit defines its part of
// every level's table (utf8_decoders_by_level, ...); decoder/text.cpp and
// encoder/text.cpp gather those parts into the tables at start-up.

// The table of each level, from each unit's parts.
template <class Table, class... Parts>
std::array<Table, level_count> gather_tables(const Parts (&... parts)[level_count]) {
    std::array<Table, level_count> tables{};
    for (std::size_t k = 0; k < level_count; ++k) tables[k] = Table{level_names[k], parts[k]...};
    return tables;
}

// Validates n bytes (UTF-8, single-byte sets) or units (UTF-16, UTF-32) at s.
using scan_kernel = scan_result (*)(const u8* s, std::size_t n) noexcept;
// Writes n validated bytes or units at s as `length` characters of the
// kernel's storage width.
using write_kernel = void (*)(const u8* s, std::size_t n, u8* out, std::size_t length) noexcept;
// The same where n units are n characters.
using convert_kernel = void (*)(const u8* s, std::size_t n, u8* out) noexcept;
// The length of the leading run of bytes below 0x80. When that is all of s,
// `max` gets the largest byte; otherwise some byte below 0x80.
using ascii_kernel = std::size_t (*)(const u8* s, std::size_t n, u8& max) noexcept;

struct utf8_decoders {
    scan_kernel scan;
    by_width<write_kernel> write;
};

struct utf16_decoders {
    by_order<scan_kernel> scan;
    by_order<by_width<write_kernel>> write;
};

struct utf32_decoders {
    by_order<scan_kernel> scan;
    by_order<by_width<convert_kernel>> write;
};

struct single_byte_decoders {
    ascii_kernel ascii_prefix;  // stops at the first byte above 0x7F
    ascii_kernel us_ascii;      // as ascii_prefix, quicker where all bytes are below 0x80
    scan_kernel windows1252_scan;
    convert_kernel windows1252_write;  // into 2-byte storage
};

struct decoder_table {
    const char* name;
    utf8_decoders utf8;
    utf16_decoders utf16;
    utf32_decoders utf32;
    single_byte_decoders single_byte;
};

extern const utf8_decoders utf8_decoders_by_level[level_count];
extern const utf16_decoders utf16_decoders_by_level[level_count];
extern const utf32_decoders utf32_decoders_by_level[level_count];
extern const single_byte_decoders single_byte_decoders_by_level[level_count];

extern const std::array<decoder_table, level_count> decoder_tables;
// The table the decoders call through; set_text_decoder_path() sets it, and
// only tests move it off the best one. A decoder reads it once a call.
extern const decoder_table* active_decoder;

PW_INLINE std::span<const decoder_table> runnable_decoder_tables() noexcept {
    return {decoder_tables.data(), runnable_levels()};
}

struct single_byte_encoders {
    by_width<encode_kernel> us_ascii, iso_8859_1, windows_1252;
};

struct encoder_table {
    const char* name;
    by_width<encode_kernel> utf8;
    by_order<by_width<encode_kernel>> utf16;
    by_order<by_width<encode_kernel>> utf32;
    single_byte_encoders single_byte;
};

extern const by_width<encode_kernel> utf8_encoders_by_level[level_count];
extern const by_order<by_width<encode_kernel>> utf16_encoders_by_level[level_count];
extern const by_order<by_width<encode_kernel>> utf32_encoders_by_level[level_count];
extern const single_byte_encoders single_byte_encoders_by_level[level_count];

extern const std::array<encoder_table, level_count> encoder_tables;
// The table the encoders call through; set_text_encoder_path() sets it, and
// only tests move it off the best one. An encoder reads it once a call.
extern const encoder_table* active_encoder;

PW_INLINE std::span<const encoder_table> runnable_encoder_tables() noexcept {
    return {encoder_tables.data(), runnable_levels()};
}

}  // namespace packweaver::text_kernels
