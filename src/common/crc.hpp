// Check values of packets: the CRC algorithms a framing can verify, each as
// the catalogue of parametrised CRCs names it (width, polynomial, initial
// value, reflection, final xor), computed eight bytes a step from tables
// built at compile time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace packweaver::crc {

enum class algorithm : std::uint8_t {
    none,
    crc16_ccitt_false,  // "CRC-16/CCITT-FALSE": poly 0x1021, init 0xFFFF, check 0x29B1
    crc16_xmodem,       // "CRC-16/XMODEM": poly 0x1021, init 0, check 0x31C3
    crc32,              // "CRC-32" (ISO-HDLC, zlib's): reflected 0x04C11DB7, check 0xCBF43926
    crc32c,             // "CRC-32C" (Castagnoli): reflected 0x1EDC6F41, check 0xE3069283
};

// The catalogue name of an algorithm ("" for none), and the algorithm of a
// name (exactly as printed above, or in lower case).
std::string_view name_of(algorithm a) noexcept;
std::optional<algorithm> by_name(std::string_view name) noexcept;

// How many bytes its value takes at the end of a packet: 2 or 4 (0 for none).
constexpr std::size_t bytes_of(algorithm a) noexcept {
    return a == algorithm::none ? 0 : (a == algorithm::crc16_ccitt_false || a == algorithm::crc16_xmodem) ? 2 : 4;
}

// The CRC of n bytes.
std::uint32_t compute(algorithm a, const std::uint8_t* p, std::size_t n) noexcept;

}  // namespace packweaver::crc
