#include "ieee754.hpp"

#include "../common/platform.hpp"

#if PW_HAVE_F16C
#include <immintrin.h>
#endif

namespace packweaver {
namespace detail {

std::uint64_t encode_f16_portable(float value) noexcept {
    const auto x = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t sign = (x >> 16) & 0x8000;
    const std::uint32_t e = (x >> 23) & 0xFF;
    const std::uint32_t m = x & 0x7FFFFF;
    if (e == 255) {
        if (m == 0) return sign | 0x7C00;
        return sign | 0x7C00 | 0x0200 | (m >> 13);  // quiet NaN, top payload bits kept
    }
    if (e >= 143) return sign | 0x7C00;  // 2**16 and above overflow
    if (e >= 113) {
        std::uint32_t h = sign | ((e - 112) << 10) | (m >> 13);
        // Round to nearest, ties to even; a carry may run into the exponent.
        if ((m & 0x1000) && ((m & 0xFFF) || (m & 0x2000))) ++h;
        return h;
    }
    if (e >= 102) {
        const std::uint32_t full = m | 0x800000;
        const std::uint32_t r = 125 - e;  // 13 .. 23
        std::uint32_t h = sign | (full >> (r + 1));
        const std::uint32_t below = full & ((1u << r) - 1);
        if (((full >> r) & 1) && (below || ((full >> (r + 1)) & 1))) ++h;
        return h;
    }
    return sign;
}

#if PW_HAVE_F16C
PW_F16C std::uint64_t encode_f16_hardware(float value) noexcept {
    return static_cast<std::uint16_t>(_cvtss_sh(value, _MM_FROUND_TO_NEAREST_INT));
}
#else
std::uint64_t encode_f16_hardware(float value) noexcept { return encode_f16_portable(value); }
#endif

bool f16_hardware_available() noexcept { return PW_HAVE_F16C && cpu_has_f16c(); }

}  // namespace detail

std::uint64_t encode_ieee754_f16(float value) noexcept {
    if (PW_HAVE_F16C && cpu_has_f16c()) return detail::encode_f16_hardware(value);
    return detail::encode_f16_portable(value);
}

}  // namespace packweaver
