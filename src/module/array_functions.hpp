// unpack_array and pack_array: packed samples to and from an array.array.
#pragma once

#include "python.hpp"

namespace packweaver::py {

// Adds unpack_array and pack_array to the module (beside the 62 functions of
// __all__, as Recipe is).
bool add_array_functions(PyObject* module);

}  // namespace packweaver::py
