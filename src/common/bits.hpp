// Bit helpers shared by the codecs and the packet engines. The 128-bit
// integer u128 comes from platform.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.hpp"

namespace packweaver {

// All ones in the low `bits` bits. A shift by 64 or more is undefined in C++,
// so the full and wider widths are handled apart.
PW_INLINE constexpr std::uint64_t low_mask(std::size_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// 2**(bits - 1) with bits - 1 taken modulo 64, the way the field width's sign
// position wraps for width 0.
PW_INLINE constexpr std::uint64_t sign_bit(std::size_t bits) noexcept {
    return std::uint64_t{1} << ((bits - 1) & 63);
}

PW_INLINE constexpr std::uint64_t reverse64(std::uint64_t v) noexcept {
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return byte_swap(v);
}

// The low `bits` bits of v in reverse order (bit i becomes bit bits-1-i);
// bits of v at `bits` and above are dropped. Width 0 gives 0. Only widths up to
// 64 have a meaning; wider ones reverse within the 64-bit word.
PW_INLINE constexpr std::uint64_t reverse_low_bits(std::uint64_t v, std::size_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) return reverse64(v);
    return reverse64(v & low_mask(bits)) >> (64 - bits);
}

}  // namespace packweaver
