// What the column readers share: a numeric column over an array.array, the
// text values of a column, and the faults of a read, reported or described.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "recipe_object.hpp"

namespace packweaver::py {

// array.array, looked up once by init_columns.
PyObject* array_type_object() noexcept;

// A column: an array.array of `count` values of typecode `code`, each
// `width` bytes, all equal to `fill` (0 or 1), and its buffer. Whatever
// array.array has become, the buffer is checked to be exactly the column's
// size before anything is written to it.
class numeric_column {
public:
    numeric_column() = default;
    numeric_column(const numeric_column&) = delete;
    numeric_column& operator=(const numeric_column&) = delete;
    ~numeric_column() {
        if (viewed_) PyBuffer_Release(&view_);
    }

    bool make(char typecode, std::size_t width, std::size_t count, int fill = 0) {
        const char code[2] = {typecode, 0};
        ref one(PyObject_CallFunction(array_type_object(), "s[i]", code, fill));
        if (!one) return false;
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return false;
        }
        // Repeating one value fills the array in one pass, without an object per value.
        object_ = ref(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
        if (!object_) return false;
        if (PyObject_GetBuffer(object_.get(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
            return false;
        viewed_ = true;
        if (static_cast<std::size_t>(view_.itemsize) != width || view_.len < 0 ||
            static_cast<std::size_t>(view_.len) / width != count || static_cast<std::size_t>(view_.len) % width != 0) {
            PyErr_Format(PyExc_SystemError, "array.array('%c') gave a column of %zd bytes for %zu values", typecode,
                         view_.len, count);
            return false;
        }
        return true;
    }
    bool make(packet::column_type t, std::size_t count) {
        return make(typecode_of(t), packet::column_width(t), count);
    }
    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }
    PyObject* object() const noexcept { return object_.get(); }

private:
    ref object_;
    Py_buffer view_{};
    bool viewed_ = false;
};

// A new array of n + 1 offsets, 0 then `ends`: 'q' when `wide`, else 'i'.
PyObject* new_offsets(const std::vector<std::uint64_t>& ends, bool wide);

// Text values of one column, owned until their list is made.
struct text_column {
    std::vector<PyObject*> values;
    // Or, read as UTF-8: the values one after another, and where each ends.
    std::vector<std::uint8_t> utf8;  // its first `used` bytes
    std::size_t used = 0;
    std::vector<std::uint64_t> ends;
    text_column() = default;
    text_column(const text_column&) = delete;
    text_column& operator=(const text_column&) = delete;
    text_column(text_column&& o) noexcept
        : values(std::move(o.values)), utf8(std::move(o.utf8)), used(o.used), ends(std::move(o.ends)) {}
    ~text_column() {
        for (PyObject* v : values) Py_DECREF(v);
    }
    // A new list of the values, which it takes over.
    PyObject* to_list() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
        if (!list) return nullptr;
        // Nothing below allocates or runs code: the list is whole before anyone can see it.
        for (std::size_t k = 0; k < values.size(); ++k) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), values[k]);
        values.clear();
        return list;
    }
    // A new (data, offsets) pair of the UTF-8 values: bytes, and n + 1
    // offsets into them ('i', or 'q' from 2**31 bytes).
    PyObject* to_utf8_pair() const {
        const bool wide = used > static_cast<std::size_t>(INT32_MAX);
        ref data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(utf8.data()), static_cast<Py_ssize_t>(used)));
        if (!data) return nullptr;
        ref offsets(new_offsets(ends, wide));
        if (!offsets) return nullptr;
        return PyTuple_Pack(2, data.get(), offsets.get());
    }
};

// A fault of one value: its error, or for a packet of an index too short for
// the field, the sizes (the message needs the interpreter to be made).
struct value_fault {
    std::size_t packet = SIZE_MAX;
    std::size_t field = SIZE_MAX;
    error err{};
    bool too_short = false;
    u128 needed = 0;
    std::size_t length = 0;

    std::size_t element = SIZE_MAX;  // of an array field

    // Whether (p, f) comes before this fault in reading order.
    bool before(std::size_t p, std::size_t f) const noexcept { return p < packet || (p == packet && f < field); }
};

// How many faults a masked read describes; the others are only counted.
constexpr std::size_t faults_described = 10;

// The faults of a read: the first in (packet, field) order when raising;
// when masking, the count and the first few (the first few of each field
// are kept, which hold the first few overall).
struct fault_log {
    bool mask = false;
    value_fault first;
    std::size_t count = 0;
    std::vector<value_fault> described;
    std::vector<std::size_t> kept;  // per field, when masking

    void offer(value_fault f) {
        ++count;
        if (mask) {
            if (kept.size() <= f.field) kept.resize(f.field + 1, 0);
            if (kept[f.field]++ < faults_described) described.push_back(std::move(f));
            return;
        }
        if (first.before(f.packet, f.field)) first = std::move(f);
    }
    bool raising_at(std::size_t p, std::size_t f) const noexcept { return !mask && !first.before(p, f); }
};


// The exception of a fault, with where it happened as a note.
PyObject* raise_fault(const compiled_recipe& r, const stream_shape& shape, const value_fault& f);

// "packet {k} (byte {b}), field '{name}' (item {i}): {message}"
PyObject* describe_fault(const compiled_recipe& r, const stream_shape& shape, const value_fault& f);

// The result of a read whose columns are whole (columns[i]: field i's,
// borrowed): the dict of columns, or when masking the tuple (columns,
// valid, faults).
PyObject* columns_result(const compiled_recipe& r, const stream_shape& shape, const std::vector<PyObject*>& columns,
                         std::vector<numeric_column>& valid, fault_log& log, bool mask);

}  // namespace packweaver::py
