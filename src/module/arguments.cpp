// The arguments of the Recipe methods: buffers, sizes and stream shapes.
#include <string>

#include "compat.hpp"
#include "errors.hpp"
#include "framing_object.hpp"
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

bool indexed_shape(PyObject* index_object, std::size_t length, stream_shape& shape) {
    const packet::packet_index* index = index_data(index_object);
    if (index == nullptr) {
        PyErr_Format(PyExc_TypeError, "expected an Index, got '%.200s'", Py_TYPE(index_object)->tp_name);
        return false;
    }
    // An index covers the bytes up to the end of its last whole packet.
    if (index->end > length) {
        PyErr_Format(PyExc_ValueError, "the index covers %llu bytes, the buffer has %zu",
                     static_cast<unsigned long long>(index->end), length);
        return false;
    }
    shape.index = index;
    shape.index_object = index_object;
    shape.count = index->size();
    shape.stride = 0;
    return true;
}

bool stream_arguments(const compiled_recipe& r, const call& c, buffer_arg& stream, stream_shape& shape) {
    if (!stream.get(c.arg(0), "buffer", false)) return false;
    const std::size_t length = stream.bytes().size();
    if (c.arg(1) != nullptr && index_data(c.arg(1)) != nullptr) {
        if (!indexed_shape(c.arg(1), length, shape)) return false;
        return optional_size(c.arg(2), "offset_bits", false, shape.offset);
    }
    // A packet longer than any buffer: no buffer but the empty one holds whole packets.
    std::size_t stride = r.size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(r.size);
    const bool given = c.arg(1) != nullptr && c.arg(1) != Py_None;
    if (!optional_size(c.arg(1), "stride", true, stride)) return false;
    if (!given && r.varies) {
        PyErr_SetString(PyExc_ValueError, "the recipe's packets vary in length with its arrays: give a stride or an Index");
        return false;
    }
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
    shape.stride = stride;
    shape.count = length / stride;
    return optional_size(c.arg(2), "offset_bits", false, shape.offset);
}

bool errors_argument(PyObject* o, bool& mask) {
    mask = false;
    if (o == nullptr) return true;
    if (PyUnicode_Check(o)) {
        if (PyUnicode_CompareWithASCIIString(o, "raise") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(o, "mask") == 0) {
            mask = true;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "errors must be \"raise\" or \"mask\", not %R", o);
    return false;
}

namespace {
std::string element_text(std::size_t element) {
    return element == SIZE_MAX ? std::string() : ", element " + std::to_string(element);
}
}  // namespace

void note_place(const compiled_recipe& r, const stream_shape& shape, std::size_t packet, std::size_t field,
                std::size_t element) {
    std::string text;
    {
        // Reading the name's text must not meet the exception.
        compat::stashed_exception keep;
        text = "at packet " + std::to_string(packet) + " (byte " + std::to_string(shape.start(packet)) +
               " of the buffer)";
        if (field < r.objects.size())
            text += ", field '" + utf8_of(r.objects[field].name.get()) + "' (item " + std::to_string(field) + ")" +
                    element_text(element);
    }
    compat::add_exception_note(text);
}

void note_field(const compiled_recipe& r, std::size_t field, std::size_t element) {
    if (field >= r.objects.size()) return;
    std::string text;
    {
        compat::stashed_exception keep;
        text = "at field '" + utf8_of(r.objects[field].name.get()) + "' (item " + std::to_string(field) + ")" +
               element_text(element);
    }
    compat::add_exception_note(text);
}

}  // namespace packweaver::py
