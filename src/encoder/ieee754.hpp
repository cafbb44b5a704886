// IEEE 754 encoders. binary32 and binary64 are plain reinterpretations;
// binary16 rounds to nearest, ties to even.
#pragma once

#include <bit>
#include <cstdint>

namespace packweaver {

// binary32 -> binary16 pattern (0 to 65535). Uses the processor's
// half-precision instruction when present; both roads give the same bits.
std::uint64_t encode_ieee754_f16(float value) noexcept;

namespace detail {
std::uint64_t encode_f16_portable(float value) noexcept;
// True when the hardware road is compiled in and the processor has it (the
// decoder's road too: both ask platform.hpp's cpu_has_f16c()).
bool f16_hardware_available() noexcept;
std::uint64_t encode_f16_hardware(float value) noexcept;  // only when available
}  // namespace detail

inline std::uint64_t encode_ieee754_f32(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }
inline std::uint64_t encode_ieee754_f64(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

// A double narrowed to binary32, round to nearest even. A finite double past
// the binary32 range becomes an infinity: casting it directly is undefined.
// A binary64 NaN narrowed bit by bit, the inverse of widen_nan_f16 and
// widen_nan_f32: the sign and the top of the payload kept, the quiet bit as
// it was; a payload that would vanish becomes the quiet bit, so a NaN stays
// a NaN. Only for NaN values.
inline std::uint64_t narrow_nan_f16(double value) noexcept {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(value);
    std::uint64_t payload = (b >> 42) & 0x3FF;
    if (payload == 0) payload = 0x200;
    return (b >> 63) << 15 | 0x7C00 | payload;
}
inline std::uint64_t narrow_nan_f32(double value) noexcept {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(value);
    std::uint64_t payload = (b >> 29) & 0x7FFFFF;
    if (payload == 0) payload = 0x400000;
    return (b >> 63) << 31 | 0x7F800000 | payload;
}

inline float narrow_to_f32(double value) noexcept {
    // Halfway between FLT_MAX and 2**128; ties go to the even neighbour, which
    // is 2**128, that is, infinity.
    constexpr double overflow = 0x1.ffffffp127;
    if (value >= overflow) return std::bit_cast<float>(std::uint32_t{0x7F800000});
    if (value <= -overflow) return std::bit_cast<float>(std::uint32_t{0xFF800000});
    return static_cast<float>(value);  // NaN stays NaN
}

}  // namespace packweaver
