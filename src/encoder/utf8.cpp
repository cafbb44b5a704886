// UTF-8 encoding of the host's text, from 1-, 2- or 4-byte storage.
#include <array>
#include <cstring>

#include "../common/text_kernels.hpp"
#include "text.hpp"

namespace packweaver {
namespace text_kernels {
namespace {

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

// Characters i up to `end`, one at a time; false at one that is no scalar
// value, with i at it.
template <unsigned W>
PW_INLINE bool put_utf8_each(const u8* s, std::size_t& i, std::size_t end, u8*& o) noexcept {
    for (; i < end; ++i)
        if (!put_utf8<W>(load_char<W>(s, i), o)) return false;
    return true;
}

template <unsigned W>
outcome utf8_scalar(const u8* s, std::size_t n, u8* out) noexcept {
    u8* o = out;
    std::size_t i = 0;
    if (!put_utf8_each<W>(s, i, n, o)) return {0, i};
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
        if (!put_utf8_each<W>(s, i, i + 16, o)) return {0, i};
    }
    if (!put_utf8_each<W>(s, i, n, o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

#if PW_HAVE_AVX2

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

constexpr utf8_packing with_lengths(const std::array<std::array<u8, 16>, 256>& shuffle) {
    utf8_packing t{shuffle, {}};
    for (unsigned key = 0; key < 256; ++key)
        while (t.length[key] < 16 && shuffle[key][t.length[key]] != 0x80) ++t.length[key];
    return t;
}

// For the general step: [key] packs four 32-bit lanes whose lengths minus one
// are the 2-bit digits of key, each lane's bytes in order.
alignas(64) constexpr utf8_packing utf8_packing_table =
    with_lengths(shuffle_table<256, 16>([](unsigned key, auto push) {
        for (unsigned lane = 0; lane < 4; ++lane)
            for (unsigned b = 0; b <= (key >> (2 * lane) & 3); ++b) push(4 * lane + b);
    }));

PW_AVX2_INLINE __m128i utf8_packing_shuffle(unsigned key) noexcept {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(utf8_packing_table.shuffle[key].data()));
}

// [mask] packs 8 lanes of 16 bits, keeping the first byte of each and the
// second of those whose bit is set in mask.
alignas(64) constexpr auto pair_packing = shuffle_table<256, 16>([](unsigned mask, auto push) {
    for (unsigned lane = 0; lane < 8; ++lane) {
        push(2 * lane);
        if (mask >> lane & 1) push(2 * lane + 1);
    }
});

// [key] packs four 32-bit lanes laid out as [0ccccccc, 10cccccc, 1110aaaa,
// 10bbbbbb or 110bbbbb] for a character aaaabbbbbbcccccc, where bits 2j and
// 2j+1 of key say whether character j is below 0x80 and below 0x800.
alignas(64) constexpr utf8_packing bmp_packing = with_lengths(shuffle_table<256, 16>([](unsigned key, auto push) {
    for (unsigned lane = 0; lane < 4; ++lane) {
        const unsigned base = 4 * lane, below80 = key >> (2 * lane) & 1, below800 = key >> (2 * lane + 1) & 1;
        if (below80) {
            push(base);
        } else if (below800) {
            push(base + 3);
            push(base + 1);
        } else {
            push(base + 2);
            push(base + 3);
            push(base + 1);
        }
    }
}));

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
        c16 = pack32to16(a, b);
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
    o += 8 + popcount(low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_shuffle_epi8(_mm256_extracti128_si256(lanes, 1), pair_packing_shuffle(high)));
    o += 8 + popcount(high);
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
    if constexpr (W == 2) {
        if (any_set(surrogate_lanes32(c))) return false;
    } else if constexpr (W == 4) {
        if (any_set(not_scalar_lanes32(c))) return false;
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
            if (n - i >= 18 && !any_set(surrogate_lanes16(c16))) {
                utf8_step16_bmp(c16, o);
                i += 16;
                continue;
            }
        }
        if (!utf8_step8<W>(load8_chars<W>(p), o)) break;
        i += 8;
    }
    // The rest, or the block with the character that cannot be encoded.
    if (!put_utf8_each<W>(s, i, n, o)) return {0, i};
    return {static_cast<std::size_t>(o - out), no_fault};
}

#endif

}  // namespace

constinit const by_width<encode_kernel> utf8_encoders_by_level[level_count] = {
    {utf8_scalar<1>, utf8_scalar<2>, utf8_scalar<4>},
    {utf8_fast<1>, utf8_fast<2>, utf8_fast<4>},
#if PW_HAVE_AVX2
    {utf8_avx2<1>, utf8_avx2<2>, utf8_avx2<4>},
#endif
};

}  // namespace text_kernels

using namespace text_kernels;

status encode_utf8(const text_view& text, byte_sink& sink) {
    if (marked_ascii(text)) return copy_ascii(text, sink);
    return encode_with(text, sink, text_encoding::utf8, charset::unicode, {}, active_encoder->utf8);
}

}  // namespace packweaver
