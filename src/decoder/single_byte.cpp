// The single-byte character sets: US-ASCII, ISO-8859-1 and windows-1252.
// Every byte is one character, so the length is the input's; only the
// largest character needs a scan (and for US-ASCII, the check).
#include <algorithm>
#include <array>
#include <string>

#include "../common/format.hpp"
#include "../common/text_kernels.hpp"
#include "../common/windows1252.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

// ---------------------------------------------------------------------------
// Windows-1252 proper (no byte order mark).

#if PW_HAVE_AVX2

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

// One of two 16-entry tables by the low nibble, chosen by bit 4 of each
// byte (moved to bit 7, which blendv reads).
PW_AVX2_INLINE __m256i lookup32(__m256i v, __m256i first16, __m256i second16) noexcept {
    const __m256i nibble = _mm256_and_si256(v, _mm256_set1_epi8(0x0F));
    return _mm256_blendv_epi8(_mm256_shuffle_epi8(first16, nibble), _mm256_shuffle_epi8(second16, nibble),
                              _mm256_slli_epi16(v, 3));
}

PW_AVX2 scan_result windows1252_scan_avx2(const u8* s, std::size_t n) noexcept {
    // From the end to the start, as ascii_prefix_whole_first_avx2 does.
    const __m256i rank0 = broadcast16(c1_ranks.rank[0].data()), rank1 = broadcast16(c1_ranks.rank[1].data());
    __m256i bytes_max = _mm256_setzero_si256(), rank_max = _mm256_setzero_si256();
    std::size_t j = n;
    for (; j >= 32; j -= 32) {
        const __m256i v = load256(s + j - 32);
        const __m256i c1 = c1_bytes(v);
        if (PW_LIKELY(_mm256_testz_si256(c1, c1))) {
            bytes_max = _mm256_max_epu8(bytes_max, v);
            continue;
        }
        bytes_max = _mm256_max_epu8(bytes_max, _mm256_andnot_si256(c1, v));
        rank_max = _mm256_max_epu8(rank_max, _mm256_and_si256(lookup32(v, rank0, rank1), c1));
    }
    char32_t max = std::max<char32_t>(max_byte_of(bytes_max), c1_ranks.by_rank[max_byte_of(rank_max)]);
    // Four bytes a step, as in ascii_prefix_whole_first_avx2.
    for (; j >= 4; j -= 4) {
        const char32_t a = std::max(windows1252::decode_byte(s[j - 1]), windows1252::decode_byte(s[j - 2]));
        const char32_t b = std::max(windows1252::decode_byte(s[j - 3]), windows1252::decode_byte(s[j - 4]));
        max = std::max({max, a, b});
    }
    for (; j > 0; --j) max = std::max<char32_t>(max, windows1252::decode_byte(s[j - 1]));
    return shaped(n, max);
}

PW_AVX2 void windows1252_write_avx2(const u8* s, std::size_t n, u8* out) noexcept {
    const __m256i low0 = broadcast16(c1_planes[0].data()), low1 = broadcast16(c1_planes[1].data());
    const __m256i high0 = broadcast16(c1_planes[2].data()), high1 = broadcast16(c1_planes[3].data());
    std::size_t i = 0;
    for (; n - i >= 32; i += 32) {
        const __m256i v = load256(s + i);
        const __m256i c1 = c1_bytes(v);
        const __m256i lo = _mm256_blendv_epi8(v, lookup32(v, low0, low1), c1);
        const __m256i hi = _mm256_and_si256(lookup32(v, high0, high1), c1);
        // Interleaving works within 128-bit halves: units 0-7 and 16-23,
        // then 8-15 and 24-31.
        const __m256i a = _mm256_unpacklo_epi8(lo, hi), b = _mm256_unpackhi_epi8(lo, hi);
        store256(out + 2 * i, _mm256_permute2x128_si256(a, b, 0x20));
        store256(out + 2 * i + 32, _mm256_permute2x128_si256(a, b, 0x31));
    }
    for (; i < n; ++i) store_char<2>(out, i, windows1252::decode_byte(s[i]));
}

#endif

// The largest of max and the characters of bytes i up to n.
PW_INLINE char32_t windows1252_max(const u8* s, std::size_t i, std::size_t n, char32_t max) noexcept {
    for (; i < n; ++i) max = std::max<char32_t>(max, windows1252::decode_byte(s[i]));
    return max;
}

// Bytes i up to n as 2-byte storage.
PW_INLINE void windows1252_widen(const u8* s, std::size_t i, std::size_t n, u8* out) noexcept {
    for (; i < n; ++i) store_char<2>(out, i, windows1252::decode_byte(s[i]));
}

scan_result windows1252_scan_scalar(const u8* s, std::size_t n) noexcept {
    return shaped(n, windows1252_max(s, 0, n, 0));
}

scan_result windows1252_scan_fast(const u8* s, std::size_t n) noexcept {
    std::size_t i = 0;
    char32_t max = 0;
#if PW_HAVE_SSE2
    // Blocks without 0x80-0x9F map to themselves; the others go through the
    // index, byte by byte.
    __m128i acc = _mm_setzero_si128();
    for (; n - i >= 16; i += 16) {
        const __m128i v = load128(s + i);
        if (PW_LIKELY(bitmask(c1_bytes(v)) == 0)) {
            acc = _mm_max_epu8(acc, v);
            continue;
        }
        max = windows1252_max(s, i, i + 16, max);
    }
    max = std::max<char32_t>(max, max_byte_of(acc));
#endif
    return shaped(n, windows1252_max(s, i, n, max));
}

void windows1252_write_scalar(const u8* s, std::size_t n, u8* out) noexcept { windows1252_widen(s, 0, n, out); }

void windows1252_write_fast(const u8* s, std::size_t n, u8* out) noexcept {
    std::size_t i = 0;
#if PW_HAVE_SSE2
    for (; n - i >= 16; i += 16) {
        const __m128i v = load128(s + i);
        if (PW_LIKELY(bitmask(c1_bytes(v)) == 0)) widen_store<2>(v, out + 2 * i);
        else windows1252_widen(s, i, i + 16, out);
    }
#endif
    windows1252_widen(s, i, n, out);
}

// ---------------------------------------------------------------------------
// The ASCII checks (see ascii_kernel).

std::size_t ascii_prefix_scalar(const u8* s, std::size_t n, u8& max) noexcept {
    std::size_t i = 0;
    u8 m = 0;
    for (; i < n && s[i] < 0x80; ++i) m = std::max(m, s[i]);
    max = m;
    return i;
}

PW_COLD error ascii_invalid(u8 byte) {
    return value_error("Invalid US-ASCII byte: 0x" + fmt::hex(byte, 2) + " (must be <= 0x7F)");
}

}  // namespace

PW_COLD error windows1252_failure() { return value_error("Failed to decode Windows-1252 bytes"); }

constinit const single_byte_decoders single_byte_decoders_by_level[level_count] = {
    {ascii_prefix_scalar, ascii_prefix_scalar, windows1252_scan_scalar, windows1252_write_scalar},
    {ascii_prefix, ascii_prefix, windows1252_scan_fast, windows1252_write_fast},
#if PW_HAVE_AVX2
    {ascii_prefix_avx2, ascii_prefix_whole_first_avx2, windows1252_scan_avx2, windows1252_write_avx2},
#endif
};

}  // namespace text_kernels

using namespace text_kernels;

status decode_us_ascii(std::span<const std::uint8_t> bytes, text_sink& sink) {
    const u8* s = bytes.data();
    const std::size_t n = bytes.size();
    u8 max = 0;
    const std::size_t valid = active_decoder->single_byte.us_ascii(s, n, max);
    if (PW_UNLIKELY(valid != n)) return ascii_invalid(s[valid]);
    return deliver({n, max}, sink, [&](u8* out) { copy_bytes(out, s, n); });
}

status decode_iso_8859_1(std::span<const std::uint8_t> bytes, text_sink& sink) {
    const u8* s = bytes.data();
    const std::size_t n = bytes.size();
    // Only the storage class of the largest byte matters: the first byte at
    // or above 0x80 settles it, so the scan stops there.
    u8 ascii_max = 0;
    const std::size_t prefix = active_decoder->single_byte.ascii_prefix(s, n, ascii_max);
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
    const single_byte_decoders& kernels = active_decoder->single_byte;
    const scan_result r = kernels.windows1252_scan(s, n);
    return deliver(r.shape, sink, [&](u8* out) {
        // The largest character is U+2122, so two bytes always suffice; with
        // nothing above 0xFF every byte stands for itself.
        if (storage_width(r.shape.max_char) == 1) return copy_bytes(out, s, n);
        kernels.windows1252_write(s, n, out);
    });
}

}  // namespace packweaver
