// IEEE 754 decoders.
#pragma once

#include <bit>
#include <cstdint>

namespace packweaver {

// The low 16 bits read as binary16, widened exactly to binary32.
float decode_ieee754_f16(std::uint64_t pattern) noexcept;

namespace detail {
float decode_f16_portable(std::uint64_t pattern) noexcept;
// Call only where cpu_has_f16c() (platform.hpp); a build without the road
// (PW_HAVE_F16C) runs the portable one here.
float decode_f16_hardware(std::uint64_t pattern) noexcept;
}  // namespace detail

inline double decode_ieee754_f32(std::uint64_t pattern) noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(pattern));
}
inline double decode_ieee754_f64(std::uint64_t pattern) noexcept { return std::bit_cast<double>(pattern); }

// A binary128 pattern given as its high and low 64-bit halves, narrowed to
// binary64 by truncating the fraction.
// A binary16 or binary32 NaN pattern widened to binary64 bit by bit: the
// sign and payload kept, the quiet bit left as it was (the processor's
// conversion would set it). Only for NaN patterns.
inline double widen_nan_f16(std::uint64_t pattern) noexcept {
    const std::uint64_t sign = (pattern >> 15) & 1, payload = pattern & 0x3FF;
    return std::bit_cast<double>(sign << 63 | std::uint64_t{0x7FF} << 52 | payload << 42);
}
inline double widen_nan_f32(std::uint64_t pattern) noexcept {
    const std::uint64_t sign = (pattern >> 31) & 1, payload = pattern & 0x7FFFFF;
    return std::bit_cast<double>(sign << 63 | std::uint64_t{0x7FF} << 52 | payload << 29);
}

double decode_ieee754_f128(std::uint64_t high, std::uint64_t low) noexcept;

}  // namespace packweaver
