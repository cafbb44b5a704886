// The Index type: the packets of one buffer, found by a framing.
#pragma once

#include "../packet/framing.hpp"
#include "python.hpp"

namespace packweaver::py {

// Readies the Index type and adds it to the module.
bool add_index_type(PyObject* module);

// A new Index that takes over `index`; keyed and counted: whether its
// framing has a key field and a sequence field.
PyObject* new_index(packet::packet_index&& index, bool keyed, bool counted);

}  // namespace packweaver::py
