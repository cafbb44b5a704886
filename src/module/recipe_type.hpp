// The Recipe type: a recipe read and checked once, then applied to any
// number of packets.
#pragma once

#include "python.hpp"

namespace packweaver::py {

// Readies the Recipe type and its iterator and adds Recipe to the module.
// Returns false with an exception set.
bool add_recipe_type(PyObject* module);

struct compiled_recipe;

// The compiled form of a Recipe object, or null (with TypeError or, for a
// Recipe the collector cleared, ValueError set) for any other object.
const compiled_recipe* recipe_data(PyObject* o);

}  // namespace packweaver::py
