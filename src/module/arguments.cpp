// The arguments of the Recipe methods: buffers, sizes and stream shapes.
#include "errors.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {

bool buffer_arg::get(PyObject* o, const char* name, bool writable) {
    const int flags = writable ? (PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) : PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(o, &view_, flags) < 0) {
        prefix_argument_error(name);
        return false;
    }
    held_ = true;
    return true;
}

bool optional_size(PyObject* o, const char* name, bool none_allowed, std::size_t& out) {
    if (o == nullptr || (none_allowed && o == Py_None)) return true;
    if (!to_size(o, out)) {
        prefix_argument_error(name);
        return false;
    }
    return true;
}

bool stream_arguments(const compiled_recipe& r, const call& c, buffer_arg& stream, std::size_t& stride,
                      std::size_t& count, std::size_t& offset) {
    if (!stream.get(c.arg(0), "buffer", false)) return false;
    const std::size_t length = stream.bytes().size();
    // A packet longer than any buffer: no buffer but the empty one holds whole packets.
    stride = r.size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(r.size);
    const bool given = c.arg(1) != nullptr && c.arg(1) != Py_None;
    if (!optional_size(c.arg(1), "stride", true, stride)) return false;
    if (stride == 0) {
        PyErr_SetString(PyExc_ValueError, given ? "stride must be at least 1 byte"
                                                : "the recipe's packets are 0 bytes long: give a stride");
        return false;
    }
    if (length % stride != 0) {
        PyErr_Format(PyExc_ValueError, "buffer of %zu bytes is not a whole number of %zu-byte packets", length,
                     stride);
        return false;
    }
    count = length / stride;
    return optional_size(c.arg(2), "offset_bits", false, offset);
}

}  // namespace packweaver::py
