#include "integer.hpp"

#include "../common/bits.hpp"
#include "../common/format.hpp"

namespace packweaver {
namespace {

// |value| as an unsigned number; the most negative value gives 2**63, which
// negating in signed arithmetic would overflow.
constexpr std::uint64_t magnitude_of(std::int64_t value) noexcept {
    const auto u = static_cast<std::uint64_t>(value);
    return value < 0 ? ~u + 1 : u;
}

PW_COLD error twos_out_of_range(std::int64_t value, std::size_t bits) {
    const auto half = std::uint64_t{1} << (bits - 1);
    const auto min = static_cast<std::int64_t>(~half + 1);  // -2**(bits-1)
    const auto max = static_cast<std::int64_t>(half - 1);
    return value_error("Value " + fmt::dec(value) + " out of range for " + fmt::dec(std::uint64_t{bits}) +
                       " bits (range: " + fmt::dec(min) + " to " + fmt::dec(max) + ")");
}

PW_COLD error too_large(std::int64_t value, std::size_t bits, const char* what) {
    return value_error("Value " + fmt::dec(value) + what + fmt::dec(std::uint64_t{bits}) + " bits");
}

PW_COLD error magnitude_too_large(std::int64_t value, std::size_t bits) {
    return value_error("Magnitude of " + fmt::dec(value) + " is too large for " + fmt::dec(std::uint64_t{bits}) +
                       " bits");
}

}  // namespace

result<std::uint64_t> encode_twos_complement(std::int64_t value, std::size_t bits) {
    // Two's complement needs at least one bit: a zero-width field would hold
    // nothing and silently lose the value.
    if (PW_UNLIKELY(bits == 0)) return value_error("bits must be >= 1 for two's complement encoding");
    if (PW_UNLIKELY(bits > 64)) return value_error("bits must be <= 64 for two's complement encoding");
    const auto u = static_cast<std::uint64_t>(value);
    if (bits == 64) return u;
    // value fits when adding 2**(bits-1) lands it in [0, 2**bits).
    const auto half = std::uint64_t{1} << (bits - 1);
    if (PW_UNLIKELY(u + half > low_mask(bits))) return twos_out_of_range(value, bits);
    return u & low_mask(bits);
}

result<std::uint64_t> encode_ones_complement(std::int64_t value, std::size_t bits) {
    if (PW_UNLIKELY(bits == 0)) return value_error("bits must be >= 1 for ones' complement encoding");
    if (PW_UNLIKELY(bits > 64)) return value_error("bits must be <= 64 for ones' complement encoding");
    const auto half = std::uint64_t{1} << (bits - 1);
    if (value >= 0) {
        if (PW_UNLIKELY(static_cast<std::uint64_t>(value) >= half))
            return too_large(value, bits, " is too large for ");
        return static_cast<std::uint64_t>(value);
    }
    const auto magnitude = magnitude_of(value);
    if (PW_UNLIKELY(magnitude >= half)) return too_large(value, bits, " is too large (magnitude) for ");
    return ~magnitude & low_mask(bits);
}

result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::size_t bits) {
    if (PW_UNLIKELY(bits < 2 || bits > 64))
        return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
    const auto half = std::uint64_t{1} << (bits - 1);
    const auto magnitude = magnitude_of(value);
    if (PW_UNLIKELY(magnitude >= half)) return magnitude_too_large(value, bits);
    return value < 0 ? magnitude | half : magnitude;
}

}  // namespace packweaver
