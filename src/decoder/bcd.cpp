#include "bcd.hpp"

#include "../common/format.hpp"

namespace packweaver {
namespace {

PW_COLD error invalid_digit(unsigned digit) {
    return value_error("Invalid BCD digit: " + fmt::dec(std::uint64_t{digit}) + " (must be 0-9)");
}

PW_COLD error invalid_sign_nibble() {
    return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
}

PW_COLD error invalid_zoned_sign_byte(unsigned byte) {
    return value_error("Invalid zoned decimal signed byte: 0x" + fmt::hex(byte, 2) +
                       " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
}

PW_COLD error invalid_zoned_byte(unsigned byte) {
    return value_error("Invalid zoned decimal byte: 0x" + fmt::hex(byte, 2) +
                       " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
}

inline std::int64_t apply_sign(std::uint64_t magnitude, bool negative) noexcept {
    // At most 16 decimal digits, so the magnitude always fits a signed value.
    const auto m = static_cast<std::int64_t>(magnitude);
    return negative ? -m : m;
}

}  // namespace

result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed) {
    if (bits < 4) return std::int64_t{0};
    const std::size_t nibbles = bits / 4;
    // Nibbles past the 16th lie outside the pattern: they are zero digits.
    const unsigned stored = nibbles < 16 ? static_cast<unsigned>(nibbles) : 16u;
    bool negative = false;
    unsigned first = 0;
    if (is_signed) {
        const unsigned s = pattern & 0xF;
        if (PW_UNLIKELY(s < 0xA)) return invalid_sign_nibble();
        negative = s == 0xB || s == 0xD;
        first = 1;
    }
    for (unsigned k = first; k < stored; ++k) {
        const unsigned digit = (pattern >> (4 * k)) & 0xF;
        if (PW_UNLIKELY(digit > 9)) return invalid_digit(digit);
    }
    std::uint64_t magnitude = 0;
    for (unsigned k = stored; k-- > first;) magnitude = magnitude * 10 + ((pattern >> (4 * k)) & 0xF);
    return apply_sign(magnitude, negative);
}

result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed) {
    if (bits < 8) return std::int64_t{0};
    const std::size_t bytes = bits / 8;
    const unsigned stored = bytes < 8 ? static_cast<unsigned>(bytes) : 8u;
    bool negative = false;
    if (!is_signed) {
        for (unsigned k = 0; k < stored; ++k) {
            const unsigned byte = (pattern >> (8 * k)) & 0xFF;
            if (PW_UNLIKELY(byte > 9)) return invalid_digit(byte);
        }
        // Bytes past the eighth are zero digits.
    } else {
        const unsigned b0 = pattern & 0xFF;
        const unsigned zone = b0 >> 4;
        if (PW_UNLIKELY((b0 & 0xF) > 9 || (zone != 0xC && zone != 0xD && zone != 0xF && zone != 0x3)))
            return invalid_zoned_sign_byte(b0);
        negative = zone == 0xD;
        for (unsigned k = 1; k < stored; ++k) {
            const unsigned byte = (pattern >> (8 * k)) & 0xFF;
            const unsigned z = byte >> 4;
            if (PW_UNLIKELY((byte & 0xF) > 9 || (z != 0x3 && z != 0xF))) return invalid_zoned_byte(byte);
        }
        // A zone is required on every byte, and bytes past the eighth are zero.
        if (PW_UNLIKELY(bytes > 8)) return invalid_zoned_byte(0);
    }
    std::uint64_t magnitude = 0;
    for (unsigned k = stored; k-- > 0;) magnitude = magnitude * 10 + ((pattern >> (8 * k)) & 0xF);
    return apply_sign(magnitude, negative);
}

}  // namespace packweaver
