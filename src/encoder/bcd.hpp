// Binary-coded decimal encoders: packed (a digit per nibble, optional trailing
// sign nibble) and unpacked (a digit per byte, optional zoned sign).
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/error.hpp"

namespace packweaver {

result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::size_t bits, bool is_signed);
result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::size_t bits, bool is_signed);

}  // namespace packweaver
