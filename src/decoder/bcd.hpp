// Binary-coded decimal decoders. They accept every width: positions beyond
// the 64-bit pattern read as zero bytes, so the work is bounded by the pattern,
// never by `bits`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/error.hpp"

namespace packweaver {

result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed);
result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed);

}  // namespace packweaver
