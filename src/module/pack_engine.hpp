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

// The bit pattern of a numeric field's value: converted for the encoding,
// then encoded (the encoder's range checks included).
PW_INLINE result<std::uint64_t> encode_number_value(const packet::field& desc, PyObject* value) {
    packet::number v;
    if (status s = to_number(value, packet::value_kind_of(desc.encoding), v); PW_UNLIKELY(!s)) return s.take_error();
    return packet::encode_number(desc.encoding, v, desc.bits);
}
// A text field's value encoded into sink (a lone surrogate raises the
// interpreter's UnicodeEncodeError).
status encode_text_value(const packet::field& desc, PyObject* value, buffer_sink& sink);
}  // namespace py

}  // namespace packweaver
