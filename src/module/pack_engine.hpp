// The packer: encodes every recipe item and writes it into its bit field of
// a new packet.
#pragma once

#include "../common/bits.hpp"
#include "../common/error.hpp"
#include "../packet/field.hpp"
#include "python.hpp"
#include "recipe.hpp"
#include "sinks.hpp"

namespace packweaver {

// A new bytes object holding the packet, or the first failure.
//
// Two passes over the items: the sizing pass reads bits and offset_bits and
// finds where the packet ends (an item without offset_bits follows the
// furthest field so far); the encoding pass reads every key, encodes the
// value and places the field (an item without offset_bits follows the
// previous item). The first failure ends the call.
result<PyObject*> build_packet(const py::item_list& items);

namespace py {
// A new zero-filled bytes object for a packet of end_bits bits, or "Packet
// too large" / "Cannot allocate a packet of {N} bytes".
result<PyObject*> new_packet(u128 end_bits);

}  // namespace py

}  // namespace packweaver
