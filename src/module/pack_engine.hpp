// The packet builder: encodes every recipe item and writes it into its bit
// field of a new packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../common/error.hpp"
#include "python.hpp"
#include "recipe.hpp"

namespace packweaver {

// A new bytes object holding the packet, or the first failure.
result<PyObject*> build_packet(const py::item_list& items);

// The (bits + 7) / 8 bytes of a numeric bit pattern, most significant first
// (the pattern right-aligned), its low `bits` bits reversed first when asked.
// Widths above 64 zero-extend the pattern. out must hold exactly that many bytes.
void encode_integer_to_bytes(std::uint64_t value, std::size_t bits, bool reverse_bits,
                             std::span<std::uint8_t> out) noexcept;

namespace detail {
// dst bits [dst_bit, dst_bit + count) := src bits [src_bit, src_bit + count),
// bits numbered from the most significant bit of the first byte. Other bits of
// dst are kept; nothing outside those bit ranges is read or written.
void copy_bits(std::uint8_t* dst, std::uint64_t dst_bit, const std::uint8_t* src, std::uint64_t src_bit,
               std::uint64_t count) noexcept;
// dst bits [bit, bit + count) := 0.
void clear_bits(std::uint8_t* dst, std::uint64_t bit, std::uint64_t count) noexcept;
// dst bits [bit, bit + width) := the low `width` bits of value (width <= 64),
// most significant first; the buffer holds `size` bytes and bit + width fits.
void write_bits(std::uint8_t* dst, std::size_t size, std::uint64_t bit, std::uint64_t value,
                unsigned width) noexcept;
}  // namespace detail

}  // namespace packweaver
