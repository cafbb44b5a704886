// The reader: walks a recipe and reads each item's field out of a packet
// into a new dict.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../common/error.hpp"
#include "python.hpp"
#include "recipe.hpp"

namespace packweaver {

// A new dict from item name to decoded value, or the first failure. Each
// field is cut in whole bytes from the byte that holds its first bit; an
// item's offset_bits counts from base_offset.
result<PyObject*> process_recipe(std::span<const std::uint8_t> packet, std::size_t base_offset,
                                 const py::item_list& items);

}  // namespace packweaver
