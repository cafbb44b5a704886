// Signed binary integer decoders: bit pattern of a field `bits` wide -> value.
// They accept every pattern and every width and never fail. The sign position
// is (bits - 1) modulo 64, so width 0 uses bit 63.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/bits.hpp"

namespace packweaver {

PW_INLINE std::int64_t decode_twos_complement(std::uint64_t pattern, std::size_t bits) noexcept {
    if (bits >= 64) return static_cast<std::int64_t>(pattern);
    const std::uint64_t sign = sign_bit(bits);
    if ((pattern & sign) == 0) return static_cast<std::int64_t>(pattern);
    // Bits above the field take no part: -((2**64 - pattern) mod 2**bits).
    // (For width 0 the mask is empty and the result is 0.)
    const std::uint64_t magnitude = (~pattern + 1) & low_mask(bits);
    return static_cast<std::int64_t>(~magnitude + 1);
}

PW_INLINE std::int64_t decode_ones_complement(std::uint64_t pattern, std::size_t bits) noexcept {
    if (bits >= 64) return static_cast<std::int64_t>(pattern + (pattern >> 63));
    if ((pattern & sign_bit(bits)) == 0) return static_cast<std::int64_t>(pattern);
    // pattern - 2**bits + 1, modulo 2**64 (width 0: 2**0 = 1, so the pattern itself).
    return static_cast<std::int64_t>(pattern - (std::uint64_t{1} << bits) + 1);
}

PW_INLINE std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::size_t bits) noexcept {
    const std::uint64_t sign = sign_bit(bits);
    const std::uint64_t magnitude = pattern & (sign - 1);
    return (pattern & sign) ? static_cast<std::int64_t>(~magnitude + 1) : static_cast<std::int64_t>(magnitude);
}

}  // namespace packweaver
