// The single-byte character sets: US-ASCII, ISO-8859-1 and windows-1252.
// The three share their loops and differ in which characters have a byte;
// windows-1252 has an AVX2 loop of its own.
#include <array>
#include <cstring>

#include "../common/text_kernels.hpp"
#include "../common/windows1252.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

// Byte for c in the set, or -1.
template <charset Set>
PW_INLINE int single_byte(char32_t c) noexcept {
    if constexpr (Set == charset::us_ascii) return c < 0x80 ? static_cast<int>(c) : -1;
    else if constexpr (Set == charset::iso_8859_1) return c < 0x100 ? static_cast<int>(c) : -1;
    else return windows1252::encode_char(c);
}

// 16 characters that windows-1252 writes as themselves: below 0x100 and
// outside 0x80-0x9F (see narrow16).
template <unsigned W>
PW_INLINE bool narrow16_windows1252(const u8* src, u8* dst) noexcept {
#if PW_HAVE_SSE2
    const bool latin1 = narrow16<W, 0x100>(src, dst);
    return latin1 && bitmask(c1_bytes(load128(dst))) == 0;
#else
    bool ok = narrow16<W, 0x100>(src, dst);
    for (int k = 0; k < 16; ++k) ok &= (dst[k] & 0xE0) != 0x80;
    return ok;
#endif
}

// Characters i up to `end`, one at a time, as bytes i on; the index of the
// first that has no byte, or no_fault.
template <charset Set, unsigned W>
std::size_t single_byte_each(const u8* s, std::size_t i, std::size_t end, u8* out) noexcept {
    for (; i < end; ++i) {
        const int b = single_byte<Set>(load_char<W>(s, i));
        if (PW_UNLIKELY(b < 0)) return i;
        out[i] = static_cast<u8>(b);
    }
    return no_fault;
}

// The same for one block of a vector loop that its fast step refused: kept out
// of line, so that the loop's own body stays a few instructions.
template <charset Set, unsigned W>
PW_NOINLINE std::size_t single_byte_block(const u8* s, std::size_t i, std::size_t end, u8* out) noexcept {
    return single_byte_each<Set, W>(s, i, end, out);
}

template <charset Set, unsigned W>
outcome single_byte_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    const std::size_t fault = single_byte_each<Set, W>(s, 0, n, out);
    return {fault == no_fault ? n : 0, fault};
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
        if (const std::size_t fault = single_byte_block<Set, W>(s, i, i + 16, out); fault != no_fault)
            return {0, fault};
    }
    if (const std::size_t fault = single_byte_each<Set, W>(s, i, n, out); fault != no_fault) return {0, fault};
    return {n, no_fault};
}

#if PW_HAVE_AVX2

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
    const __m128i c1 = c1_bytes(bytes);
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
    if constexpr (W == 1) {
        // One-byte storage is Latin-1: 32 bytes a step copied as they are,
        // unless one of them is in 0x80-0x9F.
        for (; n - i >= 32; i += 32) {
            const __m256i v = load256(s + i);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
            if (PW_LIKELY(_mm256_movemask_epi8(c1_bytes(v)) == 0)) continue;
            _mm256_zeroupper();
            if (const std::size_t fault = single_byte_block<charset::windows_1252, W>(s, i, i + 32, out);
                fault != no_fault)
                return {0, fault};
        }
    }
    for (; n - i >= 16; i += 16) {
        bool ok;
        if constexpr (W == 1) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
            ok = bitmask(c1_bytes(v)) == 0;
        } else if constexpr (W == 2) {
            ok = windows1252_step16(load256(s + 2 * i), out + i);
        } else {
            const __m256i a = load256(s + 4 * i), b = load256(s + 4 * i + 32);
            ok = _mm256_testz_si256(_mm256_or_si256(a, b), _mm256_set1_epi32(~0xFFFF)) &&
                 windows1252_step16(pack32to16(a, b), out + i);
        }
        if (ok) continue;
        _mm256_zeroupper();
        if (const std::size_t fault = single_byte_block<charset::windows_1252, W>(s, i, i + 16, out);
            fault != no_fault)
            return {0, fault};
    }
    _mm256_zeroupper();
    if (const std::size_t fault = single_byte_each<charset::windows_1252, W>(s, i, n, out); fault != no_fault)
        return {0, fault};
    return {n, no_fault};
}

#endif

template <charset Set>
constexpr by_width<encode_kernel> single_byte_scalars{single_byte_scalar<Set, 1>, single_byte_scalar<Set, 2>,
                                                      single_byte_scalar<Set, 4>};
template <charset Set>
constexpr by_width<encode_kernel> single_byte_fasts{single_byte_fast<Set, 1>, single_byte_fast<Set, 2>,
                                                    single_byte_fast<Set, 4>};

}  // namespace

// Only windows-1252 has AVX2 loops; the other sets keep their portable ones.
constinit const single_byte_encoders single_byte_encoders_by_level[level_count] = {
    {single_byte_scalars<charset::us_ascii>, single_byte_scalars<charset::iso_8859_1>,
     single_byte_scalars<charset::windows_1252>},
    {single_byte_fasts<charset::us_ascii>, single_byte_fasts<charset::iso_8859_1>,
     single_byte_fasts<charset::windows_1252>},
#if PW_HAVE_AVX2
    {single_byte_fasts<charset::us_ascii>, single_byte_fasts<charset::iso_8859_1>,
     {windows1252_avx2<1>, windows1252_avx2<2>, windows1252_avx2<4>}},
#endif
};

}  // namespace text_kernels

using namespace text_kernels;

status encode_us_ascii(const text_view& text, byte_sink& sink) {
    if (marked_ascii(text)) return copy_ascii(text, sink);
    return encode_with(text, sink, text_encoding::us_ascii, charset::us_ascii, {},
                       active_encoder->single_byte.us_ascii);
}

status encode_iso_8859_1(const text_view& text, byte_sink& sink) {
    // One-byte storage is Latin-1 already.
    if (text.width == 1) return copy_ascii(text, sink);
    return encode_with(text, sink, text_encoding::iso_8859_1, charset::iso_8859_1, {},
                       active_encoder->single_byte.iso_8859_1);
}

status encode_windows_1252(const text_view& text, byte_sink& sink) {
    if (marked_ascii(text)) return copy_ascii(text, sink);
    return encode_with(text, sink, text_encoding::windows_1252, charset::windows_1252, {},
                       active_encoder->single_byte.windows_1252);
}

}  // namespace packweaver
