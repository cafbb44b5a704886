// The windows-1252 character set as the WHATWG Encoding Standard defines it:
// bytes 0x00-0x7F are ASCII and bytes 0x80-0xFF map through its 128-entry
// "index windows-1252" below. That index leaves no byte undefined: the five
// bytes some code page tables leave unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// stand for the C1 controls of the same value, and 0xA0-0xFF are Latin-1.
//
// Encoding inverts the index, so the other 27 C1 controls (U+0080, U+0082,
// ...), whose bytes the index gives to typographic characters, have no byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace packweaver::windows1252 {

// index[b - 0x80] is the code point of byte b, for b in 0x80-0xFF.
inline constexpr std::array<char16_t, 128> index = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,  // A0-A7
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // A8-AF
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0-B7
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // B8-BF
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,  // C0-C7
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // C8-CF
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,  // D0-D7
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,  // D8-DF
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // E0-E7
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // E8-EF
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,  // F0-F7
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,  // F8-FF
};

// The code point of byte b; every byte has one.
constexpr char16_t decode_byte(std::uint8_t b) noexcept {
    return b < 0x80 ? char16_t{b} : index[b - 0x80];
}

// The entries for bytes 0x80-0x9F split into byte planes, for lookups of 16
// entries at a time (pshufb): the low bytes of entries 0-15, of 16-31, then
// the high bytes likewise.
namespace detail {

constexpr std::array<std::array<std::uint8_t, 16>, 4> make_c1_planes() {
    std::array<std::array<std::uint8_t, 16>, 4> planes{};
    for (unsigned j = 0; j < 32; ++j) {
        planes[j / 16][j % 16] = static_cast<std::uint8_t>(index[j]);
        planes[2 + j / 16][j % 16] = static_cast<std::uint8_t>(index[j] >> 8);
    }
    return planes;
}

}  // namespace detail

alignas(16) inline constexpr auto c1_planes = detail::make_c1_planes();

// Every code point of the set lies in U+0000-U+02FF or U+2000-U+213F, so the
// inverse is two dense pages. An entry of 0 means "no byte", except for U+0000
// itself, the only character that encodes as 0x00.
inline constexpr char32_t punctuation_base = 0x2000;

namespace detail {

template <std::size_t N>
constexpr std::array<std::uint8_t, N> inverse_page(char32_t base) {
    std::array<std::uint8_t, N> page{};
    for (unsigned b = 0; b < 256; ++b) {
        const char32_t c = decode_byte(static_cast<std::uint8_t>(b));
        if (c >= base && c - base < N) page[c - base] = static_cast<std::uint8_t>(b);
    }
    return page;
}

}  // namespace detail

inline constexpr auto latin_page = detail::inverse_page<0x300>(0);                      // U+0000-U+02FF
inline constexpr auto punctuation_page = detail::inverse_page<0x140>(punctuation_base);  // U+2000-U+213F

// The byte that stands for code point c, or -1 when c has none.
constexpr int encode_char(char32_t c) noexcept {
    if (c < latin_page.size()) {
        const std::uint8_t b = latin_page[c];
        return b != 0 || c == 0 ? int{b} : -1;
    }
    if (c - punctuation_base < punctuation_page.size()) {
        const std::uint8_t b = punctuation_page[c - punctuation_base];
        return b != 0 ? int{b} : -1;
    }
    return -1;
}

namespace detail {

// Every byte survives decoding and encoding again, and only 256 code points
// encode at all: the inverse pages hold nothing the index does not.
constexpr bool inverse_is_exact() {
    for (unsigned b = 0; b < 256; ++b)
        if (encode_char(decode_byte(static_cast<std::uint8_t>(b))) != static_cast<int>(b)) return false;
    unsigned encodable = 0;
    for (char32_t c = 0; c < 0x2200; ++c) encodable += encode_char(c) >= 0 ? 1u : 0u;
    return encodable == 256;
}
static_assert(inverse_is_exact());

}  // namespace detail

}  // namespace packweaver::windows1252
