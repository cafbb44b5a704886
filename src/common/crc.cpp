#include "crc.hpp"

#include <array>

#include "platform.hpp"

namespace packweaver::crc {
namespace {

// Slicing by eight: table[0] is the byte-at-a-time table; table[k][b] is the
// CRC of byte b followed by k zero bytes, so eight bytes fold in one step.
using tables = std::array<std::array<std::uint32_t, 256>, 8>;

// MSB-first 16-bit CRCs (no reflection), kept in the low 16 bits.
constexpr tables msb16_tables(std::uint16_t poly) {
    tables t{};
    for (unsigned b = 0; b < 256; ++b) {
        std::uint32_t c = b << 8;
        for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? ((c << 1) ^ poly) & 0xFFFF : (c << 1) & 0xFFFF;
        t[0][b] = c;
    }
    for (unsigned b = 0; b < 256; ++b)
        for (int k = 1; k < 8; ++k) t[k][b] = ((t[k - 1][b] << 8) & 0xFFFF) ^ t[0][(t[k - 1][b] >> 8) & 0xFF];
    return t;
}

// Reflected 32-bit CRCs.
constexpr tables reflected32_tables(std::uint32_t reflected_poly) {
    tables t{};
    for (unsigned b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ reflected_poly : c >> 1;
        t[0][b] = c;
    }
    for (unsigned b = 0; b < 256; ++b)
        for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr tables ccitt = msb16_tables(0x1021);
constexpr tables ieee = reflected32_tables(0xEDB88320u);
constexpr tables castagnoli = reflected32_tables(0x82F63B78u);

std::uint32_t msb16(const tables& t, std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept {
    for (; n >= 8; n -= 8, p += 8) {
        // The first two bytes meet the running CRC; the others only shift.
        const std::uint32_t a = ((crc >> 8) ^ p[0]) & 0xFF, b = (crc ^ p[1]) & 0xFF;
        crc = t[7][a] ^ t[6][b] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p) crc = ((crc << 8) & 0xFFFF) ^ t[0][((crc >> 8) ^ *p) & 0xFF];
    return crc;
}

std::uint32_t reflected32(const tables& t, std::uint32_t crc, const std::uint8_t* p, std::size_t n) noexcept {
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t lo = crc ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                                        std::uint32_t{p[3]} << 24);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
              t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return crc;
}

struct named {
    algorithm a;
    std::string_view name, lower;
};
constexpr named names[] = {
    {algorithm::crc16_ccitt_false, "CRC-16/CCITT-FALSE", "crc-16/ccitt-false"},
    {algorithm::crc16_xmodem, "CRC-16/XMODEM", "crc-16/xmodem"},
    {algorithm::crc32, "CRC-32", "crc-32"},
    {algorithm::crc32c, "CRC-32C", "crc-32c"},
};

}  // namespace

std::string_view name_of(algorithm a) noexcept {
    for (const named& n : names)
        if (n.a == a) return n.name;
    return {};
}

std::optional<algorithm> by_name(std::string_view name) noexcept {
    for (const named& n : names)
        if (name == n.name || name == n.lower) return n.a;
    return std::nullopt;
}

std::uint32_t compute(algorithm a, const std::uint8_t* p, std::size_t n) noexcept {
    switch (a) {
        case algorithm::crc16_ccitt_false: return msb16(ccitt, 0xFFFF, p, n);
        case algorithm::crc16_xmodem: return msb16(ccitt, 0, p, n);
        case algorithm::crc32: return ~reflected32(ieee, 0xFFFFFFFFu, p, n);
        case algorithm::crc32c: return ~reflected32(castagnoli, 0xFFFFFFFFu, p, n);
        case algorithm::none: break;
    }
    return 0;
}

}  // namespace packweaver::crc
