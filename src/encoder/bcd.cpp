#include "bcd.hpp"

#include "../common/format.hpp"

namespace packweaver {
namespace {

constexpr std::uint64_t magnitude_of(std::int64_t value) noexcept {
    const auto u = static_cast<std::uint64_t>(value);
    return value < 0 ? ~u + 1 : u;
}

PW_COLD error too_many_digits(std::int64_t value, std::size_t digits) {
    return value_error("Value " + fmt::dec(value) + " has too many digits for " + fmt::dec(std::uint64_t{digits}) +
                       " BCD digits");
}

PW_COLD error negative_unsigned() { return value_error("Cannot encode negative value in unsigned BCD"); }

// Spreads the low `digits` decimal digits of magnitude over slots `stride`
// bits apart, starting at bit `first`. Returns false when digits remain.
bool spread_digits(std::uint64_t magnitude, std::size_t digits, unsigned stride, unsigned first,
                   std::uint64_t& pattern) noexcept {
    unsigned shift = first;
    for (std::size_t k = 0; k < digits; ++k, shift += stride) {
        if (magnitude == 0) return true;  // the remaining positions are leading zeros
        pattern |= (magnitude % 10) << shift;
        magnitude /= 10;
    }
    return magnitude == 0;
}

}  // namespace

result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::size_t bits, bool is_signed) {
    if (PW_UNLIKELY(bits < 4)) return value_error("bits must be >= 4 for packed BCD");
    // A 64-bit pattern has 16 nibbles; further digit positions would wrap onto
    // lower ones and corrupt them.
    if (PW_UNLIKELY(bits > 64)) return value_error("bits must be <= 64 for packed BCD");
    if (PW_UNLIKELY(value < 0 && !is_signed)) return negative_unsigned();
    const std::size_t nibbles = bits / 4;
    const std::size_t digits = is_signed ? nibbles - 1 : nibbles;
    std::uint64_t pattern = 0;
    if (PW_UNLIKELY(!spread_digits(magnitude_of(value), digits, 4, is_signed ? 4 : 0, pattern)))
        return too_many_digits(value, digits);
    if (is_signed) pattern |= value < 0 ? 0xD : 0xC;
    return pattern;
}

result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::size_t bits, bool is_signed) {
    if (PW_UNLIKELY(bits < 8)) return value_error("bits must be >= 8 for unpacked BCD");
    if (PW_UNLIKELY(bits > 64)) return value_error("bits must be <= 64 for unpacked BCD");
    // Without a sign there is nowhere to keep it: refuse rather than drop it.
    if (PW_UNLIKELY(value < 0 && !is_signed)) return negative_unsigned();
    const std::size_t digits = bits / 8;
    std::uint64_t pattern = 0;
    if (PW_UNLIKELY(!spread_digits(magnitude_of(value), digits, 8, 0, pattern))) return too_many_digits(value, digits);
    if (is_signed) {
        // Zone 0xF on every byte but the lowest, which carries the sign zone.
        for (std::size_t k = 1; k < digits; ++k) pattern |= std::uint64_t{0xF0} << (8 * k);
        pattern |= value < 0 ? 0xD0 : 0xC0;
    }
    return pattern;
}

}  // namespace packweaver
