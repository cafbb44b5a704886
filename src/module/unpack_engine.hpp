// The reader: walks a recipe and reads each item's field out of a packet
// into a new dict.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../common/bits.hpp"
#include "../common/error.hpp"
#include "../packet/field.hpp"
#include "python.hpp"
#include "recipe.hpp"

namespace packweaver {

// A new dict from item name to decoded value, or the first failure. Each
// field is cut in whole bytes from the byte that holds its first bit; an
// item's offset_bits counts from base_offset.
result<PyObject*> process_recipe(std::span<const std::uint8_t> packet, std::size_t base_offset,
                                 const py::item_list& items);

namespace py {
// "Packet too short for parameter '{name}': needs {needed} bytes, packet has {length}".
error packet_too_short(PyObject* name, u128 needed, std::size_t length);
// A field of a packet long enough for it, cut in whole bytes from the byte
// holding bit `pos` or bit-exact at `pos`, decoded into a new object.
result<PyObject*> unpack_field(std::span<const std::uint8_t> packet, u128 pos, const packet::field& desc,
                               bool exact);
}  // namespace py

}  // namespace packweaver
