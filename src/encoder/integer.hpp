// Signed binary integer encoders: value -> bit pattern of a field `bits` wide.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/error.hpp"

namespace packweaver {

result<std::uint64_t> encode_twos_complement(std::int64_t value, std::size_t bits);
result<std::uint64_t> encode_ones_complement(std::int64_t value, std::size_t bits);
result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::size_t bits);

}  // namespace packweaver
