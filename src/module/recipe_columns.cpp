// Reading a stream into columns: one array.array per numeric field (filled
// without the interpreter lock for large streams) and one list per text
// field.
//
// Nothing half-built is ever in reach of Python code: text values are kept
// in C++ storage and their lists made only when every value is read; the
// arrays are whole (zero-filled) from the start. Signals are checked every
// few milliseconds of work, so Ctrl-C stops a long read promptly.
#include <algorithm>
#include <new>
#include <vector>

#include "errors.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

// By column_type, which has no typecode for `none`.
constexpr char typecodes[] = {'B', 'H', 'I', 'Q', 'b', 'h', 'i', 'q', 'f', 'd'};
static_assert(sizeof(typecodes) == static_cast<std::size_t>(packet::column_type::none));

PyObject* array_type = nullptr;  // array.array, looked up once

// Packets read per block: every field of a block before the next, so the
// block's bytes stay in the cache while its fields are read.
constexpr std::size_t block_packets = 256;
// Numeric values read between two checks for signals (about a millisecond).
constexpr std::size_t values_per_slice = std::size_t{1} << 20;
// Below this many numeric values the lock is kept: releasing costs more.
constexpr std::size_t values_without_lock = 16384;
// Text values decoded between two checks for signals.
constexpr std::size_t texts_per_check = 4096;

// A numeric column: an array.array of `count` zeros of type t, and its
// buffer. Whatever array.array has become, the buffer is checked to be
// exactly the column's size before anything is written to it.
class numeric_column {
public:
    numeric_column() = default;
    numeric_column(const numeric_column&) = delete;
    numeric_column& operator=(const numeric_column&) = delete;
    ~numeric_column() {
        if (viewed_) PyBuffer_Release(&view_);
    }

    bool make(packet::column_type t, std::size_t count) {
        const char code[2] = {typecodes[static_cast<std::size_t>(t)], 0};
        ref zero(PyObject_CallFunction(array_type, "s[i]", code, 0));
        if (!zero) return false;
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            return false;
        }
        // Repeating one zero fills the array in one pass, without an object per value.
        object_ = ref(PySequence_Repeat(zero.get(), static_cast<Py_ssize_t>(count)));
        if (!object_) return false;
        if (PyObject_GetBuffer(object_.get(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
            return false;
        viewed_ = true;
        const std::size_t width = packet::column_width(t);
        if (static_cast<std::size_t>(view_.itemsize) != width || view_.len < 0 ||
            static_cast<std::size_t>(view_.len) / width != count || static_cast<std::size_t>(view_.len) % width != 0) {
            PyErr_Format(PyExc_SystemError, "array.array('%c') gave a column of %zd bytes for %zu values", code[0],
                         view_.len, count);
            return false;
        }
        return true;
    }
    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }
    PyObject* object() const noexcept { return object_.get(); }

private:
    ref object_;
    Py_buffer view_{};
    bool viewed_ = false;
};

// Text values of one column, owned until their list is made.
struct text_column {
    std::vector<PyObject*> values;
    text_column() = default;
    text_column(const text_column&) = delete;
    text_column& operator=(const text_column&) = delete;
    text_column(text_column&& o) noexcept : values(std::move(o.values)) {}
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
};

// The first failing (packet, field), in the order per-packet reading meets them.
struct first_fault {
    std::size_t packet = SIZE_MAX;
    std::size_t field = SIZE_MAX;
    error err{};
    void offer(std::size_t p, std::size_t f, error e) {
        if (p < packet || (p == packet && f < field)) {
            packet = p;
            field = f;
            err = std::move(e);
        }
    }
    bool before(std::size_t p, std::size_t f) const noexcept { return p < packet || (p == packet && f < field); }
};

// A fault that every packet meets, whatever it holds.
bool static_fault(const compiled_recipe& r, std::size_t i, std::size_t stride, std::size_t offset) {
    const packet::plan_field& p = r.fields[i];
    if (packet::bytes_needed(p.desc.bits, static_cast<u128>(offset) + p.position, r.exact) > stride) return true;
    if (p.read_fault != packet::field_fault::none) return true;
    return !is_text(p.desc.encoding) && packet::column_type_of(p.desc.encoding, p.desc.bits) == packet::column_type::none;
}

// The numeric columns of a stream, filled slice by slice.
struct numeric_fill {
    const compiled_recipe& r;
    const std::uint8_t* data;
    std::size_t stride, count, offset;
    std::vector<numeric_column>& columns;  // columns[i].data() null for text fields
    std::vector<bool> failed;              // per field: a fault was met, stop filling it
    std::vector<std::pair<std::size_t, std::pair<std::size_t, error>>> faults;  // (field, (packet, error))

    // Packets [first, last), in blocks. Runs no interpreter code; the only
    // allocation is a fault's message, for which room is made beforehand.
    void run(std::size_t first, std::size_t last) {
        const std::size_t n = r.fields.size();
        const std::size_t total = stride * count;
        for (; first < last; first += block_packets) {
            const std::size_t in_block = std::min(block_packets, last - first);
            const std::uint8_t* at = data + first * stride;
            for (std::size_t i = 0; i < n; ++i) {
                if (columns[i].data() == nullptr || failed[i]) continue;
                const packet::plan_field& p = r.fields[i];
                const std::size_t width = packet::column_width(packet::column_type_of(p.desc.encoding, p.desc.bits));
                error e;
                const std::size_t done = packet::fill_column(p.desc, static_cast<u128>(offset) + p.position, r.exact,
                                                             at, stride, in_block, total - first * stride,
                                                             columns[i].data() + first * width, &e);
                if (done < in_block) {
                    failed[i] = true;
                    faults.push_back({i, {first + done, std::move(e)}});
                }
            }
        }
    }
};

}  // namespace

bool init_columns() {
    ref module(PyImport_ImportModule("array"));
    if (!module) return false;
    array_type = PyObject_GetAttrString(module.get(), "array");  // kept for the process
    return array_type != nullptr;
}

PyObject* recipe_unpack_columns(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg stream;
    std::size_t stride = 0, count = 0, offset = 0;
    if (!stream_arguments(r, c, stream, stride, count, offset)) return nullptr;
    const std::uint8_t* data = stream.bytes().data();
    const std::size_t n = r.fields.size();

    // A fault every packet meets shows in the first packet: read it as a
    // packet of its own, which reports the first fault in order.
    if (count > 0)
        for (std::size_t i = 0; i < n; ++i)
            if (static_fault(r, i, stride, offset)) {
                auto first = unpack_one(r, {data, stride}, offset);
                if (!first) return fail(first.err());
                Py_DECREF(*first);
                return fail(value_error("internal: a fault of every packet was not met"));
            }

    std::vector<numeric_column> numeric(n);
    std::size_t numeric_fields = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const packet::plan_field& p = r.fields[i];
        if (is_text(p.desc.encoding)) continue;
        // A field no packet can decode has no column type; with no packets
        // its column is an empty array of floats, as the formats it names
        // are floating-point ones.
        packet::column_type t = packet::column_type_of(p.desc.encoding, p.desc.bits);
        if (t == packet::column_type::none) t = packet::column_type::f64;
        if (!numeric[i].make(t, count)) return nullptr;
        ++numeric_fields;
        // A column of a large stream takes a while to make (its memory is
        // zeroed): a signal is seen between two.
        if (PyErr_CheckSignals() < 0) return nullptr;
    }

    first_fault fault;
    if (numeric_fields > 0 && count > 0) {
        numeric_fill fill{r, data, stride, count, offset, numeric, std::vector<bool>(n, false), {}};
        fill.faults.reserve(n);
        const bool release = count * numeric_fields >= values_without_lock;
        std::size_t slice = values_per_slice / numeric_fields;
        slice = std::max(block_packets, slice - slice % block_packets);
        for (std::size_t first = 0; first < count; first += slice) {
            const std::size_t last = std::min(count, first + slice);
            bool out_of_memory = false;
            // Nothing may unwind without the lock: a failure is noted and
            // reported once it is back.
            auto run = [&]() noexcept {
                try {
                    fill.run(first, last);
                } catch (...) {
                    out_of_memory = true;
                }
            };
            if (release) {
                Py_BEGIN_ALLOW_THREADS run();
                Py_END_ALLOW_THREADS
            } else {
                run();
            }
            if (out_of_memory) return PyErr_NoMemory();
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        for (auto& f : fill.faults) fault.offer(f.second.first, f.first, std::move(f.second.second));
    }

    // Text columns, packet by packet, up to the first fault.
    std::vector<std::size_t> texts;
    std::vector<text_column> text_values(n);
    for (std::size_t i = 0; i < n; ++i)
        if (is_text(r.fields[i].desc.encoding)) {
            texts.push_back(i);
            text_values[i].values.reserve(count);
        }
    std::size_t decoded = 0;
    for (std::size_t k = 0; !texts.empty() && k < count && k <= fault.packet; ++k) {
        const std::span<const std::uint8_t> packet(data + k * stride, stride);
        for (const std::size_t i : texts) {
            if (!fault.before(k, i)) break;
            const packet::plan_field& p = r.fields[i];
            auto value = read_value(packet, p, static_cast<u128>(offset) + p.position, r.exact, false,
                                    r.objects[i].labels());
            if (!value) {
                if (value.err().kind == error_kind::pending) return nullptr;
                fault.offer(k, i, value.take_error());
                break;
            }
            text_values[i].values.push_back(*value);
            if (++decoded % texts_per_check == 0 && PyErr_CheckSignals() < 0) return nullptr;
        }
    }
    if (fault.packet != SIZE_MAX) return fail(fault.err);

    // Every column is whole: only now are the lists made and the result filled.
    ref out(compat::new_presized_dict(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        ref column;
        if (is_text(r.fields[i].desc.encoding)) {
            column = ref(text_values[i].to_list());
        } else {
            column = ref(numeric[i].object());
            Py_INCREF(column.get());
        }
        if (!column || PyDict_SetItem(out.get(), r.objects[i].name.get(), column.get()) < 0) return nullptr;
    }
    return out.release();
}

}  // namespace packweaver::py
