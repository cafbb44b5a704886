// unpack_array and pack_array: samples of any width packed back to back (or
// one every stride_bits bits) in a buffer, to and from an array.array.
#include "array_functions.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "compat.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "field_steps.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

// Samples read between two checks for signals, and the count from which the
// lock is let go.
constexpr std::size_t samples_per_slice = std::size_t{1} << 20;
constexpr std::size_t samples_without_lock = std::size_t{1} << 16;

// What the keyword arguments describe: one sample's field and the layout.
struct sample_layout {
    packet::field_desc desc;
    std::uint64_t offset = 0;
    std::uint64_t stride = 0;
};

PW_COLD bool value_error_text(const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
}

// The encoding of an array: a numeric one that has a column.
bool encoding_arg(PyObject* o, packet::field_desc& desc) {
    desc.encoding = field_encoding::unsigned_int;
    if (o == nullptr) return true;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "argument 'encoding': expected str, got '%.200s'", Py_TYPE(o)->tp_name);
        return false;
    }
    std::string lowered(text, static_cast<std::size_t>(size));
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const encoding_name* found = find_encoding(lowered);
    if (found == nullptr || is_text(found->encoding) ||
        packet::column_type_of(found->encoding, 64) == packet::column_type::none) {
        PyErr_Format(PyExc_ValueError, "unsupported encoding for an array: %R (a numeric encoding is needed)", o);
        return false;
    }
    desc.encoding = found->encoding;
    return true;
}

bool order_arg(PyObject* o, packet::field_desc& desc) {
    desc.order = byte_order::big;
    if (o == nullptr) return true;
    if (PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, "big") == 0) return true;
    if (PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, "little") == 0) {
        desc.order = byte_order::little;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "byte_order must be \"big\" or \"little\", not %R", o);
    return false;
}

bool size_arg(PyObject* o, const char* name, std::uint64_t& out) {
    if (o == nullptr || o == Py_None) return true;
    if (!to_u64(o, out)) {
        prefix_argument_error(name);
        return false;
    }
    return true;
}

// bits, encoding, offset_bits, stride_bits and byte_order, checked: a width
// the encoding holds exactly, a stride no shorter than a sample, whole bytes
// for little byte order.
bool layout_args(PyObject* bits, PyObject* encoding, PyObject* offset, PyObject* stride, PyObject* order,
                 sample_layout& out) {
    std::uint64_t width = 0;
    if (!to_u64(bits, width)) {
        prefix_argument_error("bits");
        return false;
    }
    if (!encoding_arg(encoding, out.desc) || !order_arg(order, out.desc)) return false;
    if (width == 0 || width > 64) return value_error_text("bits must be 1 to 64, got " + std::to_string(width));
    out.desc.bits = static_cast<std::size_t>(width);
    const field_encoding e = out.desc.encoding;
    const unsigned exact = e == field_encoding::ieee754_f16 ? 16 : e == field_encoding::ieee754_f32 ? 32
                           : e == field_encoding::ieee754_f64 ? 64 : 0;
    if (exact != 0 && width != exact)
        return value_error_text("an IEEE 754 binary" + std::to_string(exact) + " sample is " + std::to_string(exact) +
                                " bits, got " + std::to_string(width));
    if (out.desc.order == byte_order::little && width % 8 != 0)
        return value_error_text("little byte order needs samples of whole bytes, got " + std::to_string(width) +
                                " bits");
    out.stride = width;
    if (!size_arg(offset, "offset_bits", out.offset) || !size_arg(stride, "stride_bits", out.stride)) return false;
    if (out.stride < width)
        return value_error_text("stride_bits (" + std::to_string(out.stride) + ") is less than bits (" +
                                std::to_string(width) + ")");
    return true;
}

// The bits that `count` samples reach from bit 0, or false if past 2**64.
bool samples_end(const sample_layout& l, std::uint64_t count, u128& end) {
    end = count == 0 ? static_cast<u128>(l.offset)
                     : static_cast<u128>(l.offset) + static_cast<u128>(count - 1) * l.stride + l.desc.bits;
    return true;
}

PyObject* note_sample(std::size_t k) {
    compat::add_exception_note("at sample " + std::to_string(k));
    return nullptr;
}

PyObject* unpack_array_impl(PyObject* args, PyObject* kwds) {
    recursion_guard guard(" while unpacking an array");
    if (!guard) return nullptr;
    static const char* kwlist[] = {"buffer", "bits", "encoding", "count", "offset_bits", "stride_bits", "byte_order",
                                   nullptr};
    PyObject *buffer = nullptr, *bits = nullptr, *encoding = nullptr, *count_arg = nullptr, *offset = nullptr,
             *stride = nullptr, *order = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OOOOO:unpack_array", const_cast<char**>(kwlist), &buffer, &bits,
                                     &encoding, &count_arg, &offset, &stride, &order))
        return nullptr;
    buffer_arg data;
    if (!data.get(buffer, "buffer", false)) return nullptr;
    sample_layout l;
    if (!layout_args(bits, encoding, offset, stride, order, l)) return nullptr;
    const std::size_t n = data.bytes().size();
    const u128 total_bits = static_cast<u128>(n) * 8;
    std::uint64_t count = 0;
    if (count_arg == nullptr || count_arg == Py_None) {
        // As many as fit.
        const u128 first_end = static_cast<u128>(l.offset) + l.desc.bits;
        if (first_end <= total_bits) count = static_cast<std::uint64_t>((total_bits - first_end) / l.stride + 1);
    } else {
        if (!size_arg(count_arg, "count", count)) return nullptr;
        u128 end = 0;
        samples_end(l, count, end);
        if (end > total_bits) {
            value_error_text("buffer too short: " + std::to_string(count) + " samples of " +
                             std::to_string(l.desc.bits) + " bits every " + std::to_string(l.stride) +
                             " from bit " + std::to_string(l.offset) + " need " +
                             std::to_string(static_cast<std::uint64_t>((end + 7) / 8)) + " bytes, buffer has " +
                             std::to_string(n));
            return nullptr;
        }
    }
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    const packet::column_type t = packet::column_type_of(l.desc.encoding, l.desc.bits);
    ref column(new_array(typecode_of(t), static_cast<std::size_t>(count), nullptr));
    if (!column) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(column.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const std::size_t width = packet::column_width(t);
    if (view.len < 0 || static_cast<std::size_t>(view.len) != count * width) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_SystemError, "array.array gave a column of the wrong size");
        return nullptr;
    }
    const auto total = static_cast<std::size_t>(count);
    std::size_t failed = total;
    error fault;
    bool out_of_memory = false;
    for (std::size_t first = 0; first < total && failed == total; first += samples_per_slice) {
        const std::size_t last = std::min(total, first + samples_per_slice);
        auto run = [&]() noexcept {
            try {
                failed = packet::fill_samples(l.desc, l.offset, l.stride, data.bytes().data(), n, first, last,
                                              view.buf, &fault);
                if (failed == last) failed = total;
            } catch (...) {
                out_of_memory = true;
            }
        };
        if (total >= samples_without_lock) {
            Py_BEGIN_ALLOW_THREADS run();
            Py_END_ALLOW_THREADS
        } else {
            run();
        }
        if (out_of_memory) {
            PyBuffer_Release(&view);
            return PyErr_NoMemory();
        }
        if (failed == total && PyErr_CheckSignals() < 0) {
            PyBuffer_Release(&view);
            return nullptr;
        }
    }
    PyBuffer_Release(&view);
    if (failed != total) {
        raise(fault);
        return note_sample(failed);
    }
    return column.release();
}

PyObject* pack_array_impl(PyObject* args, PyObject* kwds) {
    recursion_guard guard(" while packing an array");
    if (!guard) return nullptr;
    static const char* kwlist[] = {"values", "bits", "encoding", "offset_bits", "stride_bits", "byte_order", nullptr};
    PyObject *values = nullptr, *bits = nullptr, *encoding = nullptr, *offset = nullptr, *stride = nullptr,
             *order = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OOOO:pack_array", const_cast<char**>(kwlist), &values, &bits,
                                     &encoding, &offset, &stride, &order))
        return nullptr;
    sample_layout l;
    if (!layout_args(bits, encoding, offset, stride, order, l)) return nullptr;
    ref seq(PySequence_Fast(values, "argument 'values': expected a sequence of numbers"));
    if (!seq) return nullptr;
    const auto count = static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(seq.get()));
    u128 end = 0;
    samples_end(l, count, end);
    const u128 bytes = (end + 7) / 8;
    if (bytes > static_cast<u128>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes), 0);
    for (std::uint64_t k = 0; k < count; ++k) {
        // The sequence may be a list that a value's conversion changes: the
        // value is held while it converts, and the size read again.
        if (static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(seq.get())) != count) {
            PyErr_SetString(PyExc_RuntimeError, "the values changed size while they were packed");
            return nullptr;
        }
        ref value(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(k)));
        Py_INCREF(value.get());
        auto pattern = encode_number_value(l.desc, value.get(), true);
        if (!pattern) {
            raise(pattern.err());
            return note_sample(static_cast<std::size_t>(k));
        }
        packet::put_number(out, static_cast<u128>(l.offset) + static_cast<u128>(k) * l.stride, l.desc, *pattern);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), static_cast<Py_ssize_t>(out.size()));
}

template <PyObject* (*Impl)(PyObject*, PyObject*)>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwds) noexcept {
    try {
        return Impl(args, kwds);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return detail::internal_fault("unknown exception");
    }
}

PyMethodDef array_methods[] = {
    {"unpack_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<unpack_array_impl>)),
     METH_VARARGS | METH_KEYWORDS,
     "unpack_array(buffer, bits, *, encoding='unsigned', count=None, offset_bits=0, stride_bits=None, "
     "byte_order='big')\n--\n\n"
     "Samples of `bits` bits packed in a buffer (one every stride_bits bits from\n"
     "offset_bits, MSB first) as an array.array of the narrowest typecode."},
    {"pack_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<pack_array_impl>)),
     METH_VARARGS | METH_KEYWORDS,
     "pack_array(values, bits, *, encoding='unsigned', offset_bits=0, stride_bits=None, byte_order='big')\n--\n\n"
     "The inverse of unpack_array: the values as samples of `bits` bits, in bytes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_array_functions(PyObject* module) { return PyModule_AddFunctions(module, array_methods) == 0; }

}  // namespace packweaver::py
