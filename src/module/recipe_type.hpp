// The Recipe type: a recipe read and checked once, then applied to any
// number of packets.
#pragma once

#include "python.hpp"

namespace packweaver::py {

// Readies the Recipe type and its iterator and adds Recipe to the module.
// Returns false with an exception set.
bool add_recipe_type(PyObject* module);

}  // namespace packweaver::py
