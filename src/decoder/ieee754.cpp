#include "ieee754.hpp"

#include "../common/platform.hpp"

#if PW_HAVE_F16C
#include <immintrin.h>
#endif

namespace packweaver {
namespace detail {

float decode_f16_portable(std::uint64_t pattern) noexcept {
    const auto h = static_cast<std::uint32_t>(pattern & 0xFFFF);
    const std::uint32_t sign = (h & 0x8000) << 16;
    const std::uint32_t e = (h >> 10) & 0x1F;
    const std::uint32_t f = h & 0x3FF;
    std::uint32_t bits;
    if (e == 0) {
        if (f == 0) {
            bits = sign;
        } else {
            // Subnormal: f * 2**-24, normal in binary32. Shift the leading one
            // up to the implicit position, adjusting the exponent.
            int shift = 0;
            std::uint32_t frac = f;
            while ((frac & 0x400) == 0) {
                frac <<= 1;
                ++shift;
            }
            bits = sign | (static_cast<std::uint32_t>(113 - shift) << 23) | ((frac & 0x3FF) << 13);
        }
    } else if (e == 31) {
        bits = f == 0 ? (sign | 0x7F800000) : (sign | 0x7FC00000 | (f << 13));
    } else {
        bits = sign | ((e + 112) << 23) | (f << 13);
    }
    return std::bit_cast<float>(bits);
}

#if PW_HAVE_F16C
PW_F16C float decode_f16_hardware(std::uint64_t pattern) noexcept {
    return _cvtsh_ss(static_cast<unsigned short>(pattern & 0xFFFF));
}
#else
float decode_f16_hardware(std::uint64_t pattern) noexcept { return decode_f16_portable(pattern); }
#endif

}  // namespace detail

float decode_ieee754_f16(std::uint64_t pattern) noexcept {
    if (PW_HAVE_F16C && cpu_has_f16c()) return detail::decode_f16_hardware(pattern);
    return detail::decode_f16_portable(pattern);
}

double decode_ieee754_f128(std::uint64_t high, std::uint64_t low) noexcept {
    const std::uint64_t sign = high & 0x8000000000000000ULL;
    const unsigned e = static_cast<unsigned>((high >> 48) & 0x7FFF);
    const std::uint64_t f_high = high & 0xFFFFFFFFFFFFULL;  // top 48 of the 112 fraction bits
    if (e == 0x7FFF) {
        if (f_high != 0 || low != 0) return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000ULL});
        return std::bit_cast<double>(sign | 0x7FF0000000000000ULL);
    }
    if (e >= 0x43FF) return std::bit_cast<double>(sign | 0x7FF0000000000000ULL);
    if (e <= 0x3C00) return std::bit_cast<double>(sign);  // zero, subnormal and below 2**-1022
    // Top 52 fraction bits: 48 from the high half, 4 from the low half.
    const std::uint64_t f52 = (f_high << 4) | (low >> 60);
    const std::uint64_t exp64 = e - 16383 + 1023;  // 1 .. 2046
    return std::bit_cast<double>(sign | (exp64 << 52) | f52);
}

}  // namespace packweaver
