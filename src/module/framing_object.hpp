// The Framing type (a packet framing: where each packet of a mixed stream
// ends) and the Index type (the packets of one buffer, found by a framing).
#pragma once

#include <memory>

#include "../packet/framing.hpp"
#include "python.hpp"

namespace packweaver::py {

// Adds Framing, Index and the CCSDS preset to the module.
bool add_framing_types(PyObject* module);

// The packets of an Index object, or null when o is not an Index.
const packet::packet_index* index_data(PyObject* o) noexcept;

}  // namespace packweaver::py
