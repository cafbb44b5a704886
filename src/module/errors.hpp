// Turning error values into Python exceptions.
#pragma once

#include <string_view>

#include "../common/error.hpp"
#include "python.hpp"

namespace packweaver::py {

// Sets the Python exception for an error value (a pending error keeps the
// exception already set). Always returns nullptr, for `return raise(e);`.
PyObject* raise(const error& e);

// TypeError "'{type}' object cannot be cast as '{target}'".
PyObject* raise_cast_error(PyObject* value, const char* target);

// Replaces the current exception with ValueError "{qualname}: {str(exc)}",
// as the packet functions report every failure of their engines.
PyObject* rewrap_engine_failure();

// The name of an object's type, as "int" or "bytearray".
std::string type_name(PyObject* value);

// A str from UTF-8 that may hold NUL characters.
PyObject* str_from_utf8(std::string_view text);

}  // namespace packweaver::py
