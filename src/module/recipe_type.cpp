#include "recipe_type.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../common/bits.hpp"
#include "../common/format.hpp"
#include "../decoder/ieee754.hpp"
#include "../decoder/integer.hpp"
#include "../packet/plan.hpp"
#include "binding.hpp"
#include "compat.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "pack_engine.hpp"
#include "packet_functions.hpp"
#include "recipe.hpp"
#include "sinks.hpp"
#include "unpack_engine.hpp"

namespace packweaver::py {
namespace {

// ---- the compiled form ----

// What a compiled field keeps of its item besides its layout.
struct field_objects {
    ref name;           // an exact, interned str: the key of the results
    ref encoding_text;  // as the item gave it, for messages
    ref order_text;
    ref value;  // the item's value, or empty
};

// The common case of a numeric field, worked out once.
struct quick_field {
    packet::quick_cut cut;  // at base offset 0; cut.width == 0 takes the general road
    bool read_ok = false;   // numeric, its byte order and encoding known to the reader
    bool pack_ok = false;   // numeric, known to the packer, valid byte order, position below 2**64
};

struct compiled_recipe {
    std::vector<packet::planned_field> fields;
    std::vector<field_objects> objects;
    std::vector<quick_field> quick;
    u128 end_bits = 0;  // where the packer's sizing pass ends the packet
    u128 size = 0;  // bytes; may exceed what a bytes object can hold
    bool exact = false;
    ref snapshot;  // list of dicts: what was read, for == and pickling
    ref names;     // tuple of the names, in item order
};

struct recipe_object {
    PyObject_HEAD
    compiled_recipe* recipe;
};

struct iterator_object {
    PyObject_HEAD
    PyObject* owner;  // the Recipe
    Py_buffer view;
    bool has_view;
    std::size_t stride;
    std::size_t offset;
    std::size_t count;
    std::size_t next;
};

PyTypeObject* recipe_type = nullptr;
PyTypeObject* iterator_type = nullptr;
PyObject* array_type = nullptr;  // array.array, looked up on first use

compiled_recipe& recipe_of(PyObject* self) { return *reinterpret_cast<recipe_object*>(self)->recipe; }

PW_COLD PyObject* fail(const error& e) { return engine_failure(e); }

// An exact str equal to s, interned, so that results share their keys.
PyObject* key_string(PyObject* s) {
    PyObject* k = PyUnicode_CheckExact(s) ? (Py_INCREF(s), s) : PyUnicode_FromObject(s);
    if (k) PyUnicode_InternInPlace(&k);
    return k;
}

// Reads every item once. Item faults that both engines report (a missing or
// mistyped key) fail here; what only one engine refuses (an encoding name,
// a byte order word, a value) is kept and reported by the method that needs it.
result<std::unique_ptr<compiled_recipe>> compile(const item_list& items, bool exact) {
    auto c = std::make_unique<compiled_recipe>();
    c->exact = exact;
    const std::size_t n = items.size();
    c->fields.resize(n);
    c->objects.resize(n);
    c->snapshot = ref(PyList_New(static_cast<Py_ssize_t>(n)));
    c->names = ref(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!c->snapshot || !c->names) return pending_error();
    for (std::size_t i = 0; i < n; ++i) {
        item_fields f;
        if (status s = read_item(items[i], item_part::keys_and_value, f); !s) return s.take_error();
        packet::planned_field& p = c->fields[i];
        field_objects& o = c->objects[i];
        if (status s = resolve_order(f); !s) {
            if (s.err().kind == error_kind::pending) return s.take_error();
        }
        if (status s = resolve_encoding(f); !s) return s.take_error();
        p.desc = f.field;
        p.order_valid = f.order_known;
        p.reader_knows = f.encoding != nullptr;
        p.packer_knows = p.reader_knows && f.encoding->packer;
        o.name = ref(key_string(f.name.get()));
        o.encoding_text = ref(PyUnicode_FromObject(f.encoding_text.get()));
        o.order_text = ref(PyUnicode_FromObject(f.order_text.get()));
        if (!o.name || !o.encoding_text || !o.order_text) return pending_error();
        o.value = std::move(f.value);

        ref item(PyDict_New());
        ref bits(PyLong_FromSize_t(f.field.bits));
        if (!item || !bits) return pending_error();
        if (PyDict_SetItemString(item.get(), "name", o.name.get()) < 0 ||
            PyDict_SetItemString(item.get(), "encoding", o.encoding_text.get()) < 0 ||
            PyDict_SetItemString(item.get(), "bits", bits.get()) < 0 ||
            PyDict_SetItemString(item.get(), "byte_order", o.order_text.get()) < 0 ||
            PyDict_SetItemString(item.get(), "reverse_bits", f.field.reverse ? Py_True : Py_False) < 0)
            return pending_error();
        if (f.field.has_offset) {
            ref offset(PyLong_FromSize_t(f.field.offset));
            if (!offset || PyDict_SetItemString(item.get(), "offset_bits", offset.get()) < 0) return pending_error();
        }
        if (o.value && PyDict_SetItemString(item.get(), "value", o.value.get()) < 0) return pending_error();
        PyList_SET_ITEM(c->snapshot.get(), static_cast<Py_ssize_t>(i), item.release());
        Py_INCREF(o.name.get());
        PyTuple_SET_ITEM(c->names.get(), static_cast<Py_ssize_t>(i), o.name.get());
    }
    c->end_bits = packet::place_fields(c->fields);
    c->size = (c->end_bits + 7) / 8;
    c->quick.resize(n);
    // What every field needs of a packet read at offset 0: the one-load cuts
    // may count on that many bytes.
    u128 needed = 0;
    for (const auto& p : c->fields) needed = std::max(needed, packet::bytes_needed(p.desc.bits, p.position, exact));
    const std::size_t reach = needed > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(needed);
    for (std::size_t i = 0; i < n; ++i) {
        const packet::planned_field& p = c->fields[i];
        quick_field& q = c->quick[i];
        const bool numeric = p.reader_knows && !is_text(p.desc.encoding) && p.order_valid;
        q.read_ok = numeric;
        q.cut = packet::quick_cut_of(p.desc, p.position, exact, reach);
        q.pack_ok = numeric && p.packer_knows && p.position <= UINT64_MAX;
    }
    return c;
}

// ---- reading ----

// One packet into a new dict, checking each field in the reader's order:
// room in the packet, byte order, encoding name, then its decoding.
result<PyObject*> unpack_one(const compiled_recipe& c, std::span<const std::uint8_t> packet, std::size_t base) {
    ref out(compat::new_presized_dict(static_cast<Py_ssize_t>(c.fields.size())));
    if (!out) return pending_error();
    const std::uint8_t* data = packet.data();
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
        const packet::planned_field& p = c.fields[i];
        const field_objects& o = c.objects[i];
        const quick_field& q = c.quick[i];
        if (PW_LIKELY(base == 0 && q.read_ok && q.cut.width != 0 && q.cut.index + 8 <= packet.size())) {
            // One load reaches the field, and so the packet is long enough.
            PyObject* value = quick_number_object(p.desc, packet::apply_cut(q.cut, data));
            if (PW_UNLIKELY(value == nullptr)) {
                if (PyErr_Occurred()) return pending_error();
                auto slow = unpack_field(packet, p.position, p.desc, c.exact);
                if (!slow) return slow.take_error();
                value = *slow;
            }
            const int stored = PyDict_SetItem(out.get(), o.name.get(), value);
            Py_DECREF(value);
            if (PW_UNLIKELY(stored < 0)) return pending_error();
            continue;
        }
        const u128 pos = static_cast<u128>(base) + p.position;
        const u128 needed = packet::bytes_needed(p.desc.bits, pos, c.exact);
        if (PW_UNLIKELY(needed > packet.size())) return packet_too_short(o.name.get(), needed, packet.size());
        if (PW_UNLIKELY(!p.order_valid)) return invalid_byte_order(o.order_text.get());
        if (PW_UNLIKELY(!p.reader_knows)) return unsupported_encoding(o.encoding_text.get());
        auto value = unpack_field(packet, pos, p.desc, c.exact);
        if (PW_UNLIKELY(!value)) return value.take_error();
        ref held(*value);
        if (PW_UNLIKELY(PyDict_SetItem(out.get(), o.name.get(), held.get()) < 0)) return pending_error();
    }
    return out.release();
}

// ---- packing ----

PW_COLD error wrong_value_count(std::size_t items, std::size_t values) {
    return value_error("Recipe has " + fmt::dec(std::uint64_t{items}) + " items but " +
                       fmt::dec(std::uint64_t{values}) + " values were given");
}

// Where pack takes its values from.
class value_source {
public:
    // values: None (the items' own values), a mapping from name to value,
    // or a sequence of one value per item. Returns false with the exception
    // set: a values argument of another type is an argument error, a
    // sequence of the wrong length fails as the packer's failures do.
    bool assign(PyObject* values, std::size_t n) {
        if (values == nullptr || values == Py_None) return true;
        if (PyDict_CheckExact(values)) {
            mapping_ = values;
            dict_ = true;
            return true;
        }
        if (PyDict_Check(values)) {  // a subclass's own lookup (__missing__) is honoured
            mapping_ = values;
            return true;
        }
        bool sequence = PyList_Check(values) || PyTuple_Check(values);
        if (!sequence && !PyUnicode_Check(values) && !PyBytes_Check(values) && !PyByteArray_Check(values)) {
            // A mapping has keys(); asking may run code.
            ref keys(PyObject_GetAttrString(values, "keys"));
            if (keys) {
                mapping_ = values;
                return true;
            }
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            sequence = PySequence_Check(values) != 0;
        }
        if (!sequence) {
            raise_cast_error(values, "Mapping or Sequence");
            prefix_argument_error("values");
            return false;
        }
        if (!sequence_.assign(values)) {
            prefix_argument_error("values");
            return false;
        }
        if (sequence_.size() != n) {
            engine_failure(wrong_value_count(n, sequence_.size()));
            return false;
        }
        in_sequence_ = true;
        return true;
    }

    // A new reference to item i's value, or an empty ref with the missing-value error.
    result<PyObject*> get(std::size_t i, const field_objects& o) {
        if (in_sequence_) {
            Py_INCREF(sequence_[i]);
            return sequence_[i];
        }
        if (mapping_ == nullptr) {
            if (!o.value) return missing_value(o.name.get());
            Py_INCREF(o.value.get());
            return o.value.get();
        }
        if (dict_) {
            PyObject* v = PyDict_GetItemWithError(mapping_, o.name.get());
            if (v == nullptr) {
                if (PyErr_Occurred()) return pending_error();
                return missing_value(o.name.get());
            }
            Py_INCREF(v);
            return v;
        }
        PyObject* v = PyObject_GetItem(mapping_, o.name.get());
        if (v == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return pending_error();
            PyErr_Clear();
            return missing_value(o.name.get());
        }
        return v;
    }

private:
    PyObject* mapping_ = nullptr;  // borrowed: the caller's argument lives for the call
    bool dict_ = false;
    bool in_sequence_ = false;
    item_list sequence_;
};

// A text field's value encoded and placed. Out of line, so that its buffer
// is not on the C stack while conversion hooks run.
PW_NOINLINE status pack_text_field(std::span<std::uint8_t> packet, const packet::planned_field& p,
                                   const field_objects& o, PyObject* value) {
    buffer_sink sink;
    if (status s = encode_text_value(p.desc, value, sink); PW_UNLIKELY(!s)) return s;
    if (PW_UNLIKELY(!p.order_valid)) return invalid_byte_order(o.order_text.get());
    packet::place_text(packet, p.position, p.desc.bits, {sink.data(), sink.size()}, p.desc.order);
    return success();
}

// Every field into a zeroed packet of the recipe's size, in the packer's
// order of checks: the value, the encoding name, the value's conversion and
// encoding, then the byte order.
status pack_fields(const compiled_recipe& c, std::span<std::uint8_t> packet, value_source& source) {
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
        const packet::planned_field& p = c.fields[i];
        const field_objects& o = c.objects[i];
        auto got = source.get(i, o);
        if (PW_UNLIKELY(!got)) return got.take_error();
        ref value(*got);
        if (PW_LIKELY(c.quick[i].pack_ok)) {
            packet::number v;
            if (status s = to_number(value.get(), packet::value_kind_of(p.desc.encoding), v); PW_UNLIKELY(!s))
                return s;
            auto pattern = packet::encode_number(p.desc.encoding, v, p.desc.bits);
            if (PW_UNLIKELY(!pattern)) return pattern.take_error();
            if (!packet::place_number_quick(packet, static_cast<std::uint64_t>(p.position), p.desc.bits, *pattern,
                                            p.desc.reverse, p.desc.order))
                packet::place_number(packet, p.position, p.desc.bits, *pattern, p.desc.reverse, p.desc.order);
            continue;
        }
        if (PW_UNLIKELY(!p.packer_knows)) return unsupported_encoding(o.encoding_text.get());
        if (is_text(p.desc.encoding)) {
            if (status s = pack_text_field(packet, p, o, value.get()); !s) return s;
            continue;
        }
        auto pattern = encode_number_value(p.desc, value.get());
        if (PW_UNLIKELY(!pattern)) return pattern.take_error();
        if (PW_UNLIKELY(!p.order_valid)) return invalid_byte_order(o.order_text.get());
        packet::place_number(packet, p.position, p.desc.bits, *pattern, p.desc.reverse, p.desc.order);
    }
    return success();
}


// ---- argument helpers ----

// The buffer of a bytes-like argument, released at scope exit.
class buffer_arg {
public:
    buffer_arg() = default;
    buffer_arg(const buffer_arg&) = delete;
    buffer_arg& operator=(const buffer_arg&) = delete;
    ~buffer_arg() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* o, const char* name, bool writable) {
        const int flags = writable ? (PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) : PyBUF_C_CONTIGUOUS;
        if (PyObject_GetBuffer(o, &view_, flags) < 0) {
            prefix_argument_error(name);
            return false;
        }
        held_ = true;
        return true;
    }
    std::span<std::uint8_t> bytes() const noexcept {
        return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    Py_buffer& view() noexcept { return view_; }
    void release_to(Py_buffer& out) noexcept {
        out = view_;
        held_ = false;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// An optional size argument: absent (or None, where allowed) keeps `out`.
bool optional_size(PyObject* o, const char* name, bool none_allowed, std::size_t& out, bool& given) {
    given = false;
    if (o == nullptr || (none_allowed && o == Py_None)) return true;
    if (!to_size(o, out)) {
        prefix_argument_error(name);
        return false;
    }
    given = true;
    return true;
}

// The packet count of a stream, or false with ValueError set.
bool stream_shape(const compiled_recipe& c, std::size_t length, PyObject* stride_arg, std::size_t& stride,
                  std::size_t& count) {
    bool given = false;
    // A packet longer than any buffer: no buffer but the empty one holds whole packets.
    stride = c.size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(c.size);
    if (!optional_size(stride_arg, "stride", true, stride, given)) return false;
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
    return true;
}

// The (buffer, stride=None, offset_bits=0) arguments of the stream methods.
bool stream_arguments(const compiled_recipe& r, const call& c, buffer_arg& stream, std::size_t& stride,
                      std::size_t& count, std::size_t& offset) {
    if (!stream.get(c.arg(0), "buffer", false)) return false;
    if (!stream_shape(r, stream.bytes().size(), c.arg(1), stride, count)) return false;
    bool given = false;
    return optional_size(c.arg(2), "offset_bits", false, offset, given);
}

// ---- methods ----

struct method_def {
    const char* name;
    const char* params;  // for binding
    const char* doc;     // text signature and summary
    PyObject* (*body)(PyObject* self, const call& c);
};

PyObject* recipe_pack(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    recursion_guard guard(" while packing parameters");
    if (!guard) return nullptr;
    value_source source;
    if (!source.assign(c.arg(0), r.fields.size())) return nullptr;
    auto made = new_packet(r.end_bits);
    if (!made) return fail(made.err());
    ref bytes(*made);
    const std::span<std::uint8_t> packet(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (status s = pack_fields(r, packet, source); !s) return fail(s.err());
    return bytes.release();
}

PyObject* recipe_pack_into(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg target;
    if (!target.get(c.arg(0), "buffer", true)) return nullptr;
    std::size_t offset = 0;
    bool given = false;
    if (!optional_size(c.arg(1), "offset_bits", false, offset, given)) return nullptr;
    value_source source;
    if (!source.assign(c.arg(2), r.fields.size())) return nullptr;
    recursion_guard guard(" while packing parameters");
    if (!guard) return nullptr;
    const std::span<std::uint8_t> out = target.bytes();
    const u128 needed = (static_cast<u128>(offset) + r.end_bits + 7) / 8;
    if (needed > out.size())
        return fail(value_error("Buffer too small: the packet needs " + fmt::dec(needed) + " bytes from bit " +
                                fmt::dec(std::uint64_t{offset}) + ", buffer has " +
                                fmt::dec(std::uint64_t{out.size()})));
    // Packed in full first, so that a failure writes nothing; then only the
    // bits the fields cover are copied. (The packet is no longer than the
    // buffer, checked above.)
    std::vector<std::uint8_t> packet(static_cast<std::size_t>(r.size), 0);
    if (status s = pack_fields(r, packet, source); !s) return fail(s.err());
    for (const auto& p : r.fields) packet::copy_field(out, offset + p.position, packet, p.position, p.desc.bits);
    Py_RETURN_NONE;
}

PyObject* recipe_unpack(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg packet;
    if (!packet.get(c.arg(0), "packet", false)) return nullptr;
    std::size_t offset = 0;
    bool given = false;
    if (!optional_size(c.arg(1), "offset_bits", false, offset, given)) return nullptr;
    auto out = unpack_one(r, packet.bytes(), offset);
    if (!out) return fail(out.err());
    return *out;
}

PyObject* recipe_iter_unpack(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg stream;
    std::size_t stride = 0, count = 0, offset = 0;
    if (!stream_arguments(r, c, stream, stride, count, offset)) return nullptr;
    auto* it = PyObject_GC_New(iterator_object, iterator_type);
    if (!it) return nullptr;
    Py_INCREF(self);
    it->owner = self;
    stream.release_to(it->view);
    it->has_view = true;
    it->stride = stride;
    it->offset = offset;
    it->count = count;
    it->next = 0;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

// ---- columns ----

// By column_type, which has no typecode for `none`.
constexpr char typecodes[] = {'B', 'H', 'I', 'Q', 'b', 'h', 'i', 'q', 'f', 'd'};
static_assert(sizeof(typecodes) == static_cast<std::size_t>(packet::column_type::none));

// A new array.array of `count` zeros of the column's type.
PyObject* new_column(packet::column_type t, std::size_t count) {
    if (array_type == nullptr) {
        ref module(PyImport_ImportModule("array"));
        if (!module) return nullptr;
        array_type = PyObject_GetAttrString(module.get(), "array");  // kept for the process
        if (!array_type) return nullptr;
    }
    const char code[2] = {typecodes[static_cast<std::size_t>(t)], 0};
    ref zero(PyObject_CallFunction(array_type, "s[i]", code, 0));
    if (!zero) return nullptr;
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    // Repeating one zero fills the array in one pass, without an object per value.
    return PySequence_Repeat(zero.get(), static_cast<Py_ssize_t>(count));
}

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
    const packet::planned_field& p = r.fields[i];
    if (packet::bytes_needed(p.desc.bits, static_cast<u128>(offset) + p.position, r.exact) > stride) return true;
    if (!p.order_valid || !p.reader_knows) return true;
    return !is_text(p.desc.encoding) && packet::column_type_of(p.desc.encoding, p.desc.bits) == packet::column_type::none;
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

    std::vector<ref> columns(n);
    std::vector<Py_buffer> views(n);
    std::vector<bool> viewed(n, false);
    struct release_views {
        std::vector<Py_buffer>& v;
        std::vector<bool>& on;
        ~release_views() {
            for (std::size_t i = 0; i < v.size(); ++i)
                if (on[i]) PyBuffer_Release(&v[i]);
        }
    } releaser{views, viewed};

    std::size_t numeric_values = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const packet::planned_field& p = r.fields[i];
        if (is_text(p.desc.encoding)) {
            columns[i] = ref(PyList_New(static_cast<Py_ssize_t>(count)));
            if (!columns[i]) return nullptr;
            continue;
        }
        // A field no packet can decode has no column type; with no packets
        // (or a fault above) its column is an empty array of floats, as the
        // formats it names are floating-point ones.
        packet::column_type t = packet::column_type_of(p.desc.encoding, p.desc.bits);
        if (t == packet::column_type::none) t = packet::column_type::f64;
        columns[i] = ref(new_column(t, count));
        if (!columns[i]) return nullptr;
        if (PyObject_GetBuffer(columns[i].get(), &views[i], PyBUF_WRITABLE | PyBUF_FORMAT) < 0) return nullptr;
        viewed[i] = true;
        if (static_cast<std::size_t>(views[i].itemsize) != packet::column_width(t)) {
            PyErr_Format(PyExc_SystemError, "array typecode '%c' has an unexpected item size", typecodes[static_cast<int>(t)]);
            return nullptr;
        }
        numeric_values += count;
    }

    // The numeric columns need nothing of the interpreter: let other threads
    // run while a large stream is read.
    first_fault fault;
    {
        struct column_fault {
            std::size_t field;
            std::size_t packet;
            error err;
        };
        std::vector<column_fault> faults;
        // Blocks of packets, every field of a block before the next: the
        // block's bytes stay in the cache while its fields are read.
        constexpr std::size_t block = 256;
        const std::size_t total = stride * count;
        auto fill_all = [&] {
            std::vector<bool> failed(n, false);
            for (std::size_t first = 0; first < count; first += block) {
                const std::size_t in_block = std::min(block, count - first);
                const std::uint8_t* at = data + first * stride;
                for (std::size_t i = 0; i < n; ++i) {
                    if (!viewed[i] || failed[i]) continue;
                    const packet::planned_field& p = r.fields[i];
                    auto* column = static_cast<std::uint8_t*>(views[i].buf) + first * static_cast<std::size_t>(views[i].itemsize);
                    error e;
                    const std::size_t done = packet::fill_column(p.desc, static_cast<u128>(offset) + p.position,
                                                                 r.exact, at, stride, in_block, total - first * stride,
                                                                 column, &e);
                    if (done < in_block) {
                        failed[i] = true;
                        faults.push_back({i, first + done, std::move(e)});
                    }
                }
            }
        };
        if (numeric_values >= 16384) {
            Py_BEGIN_ALLOW_THREADS fill_all();
            Py_END_ALLOW_THREADS
        } else {
            fill_all();
        }
        for (auto& f : faults) fault.offer(f.packet, f.field, std::move(f.err));
    }

    // Text columns, packet by packet, up to the first fault.
    std::vector<std::size_t> texts;
    for (std::size_t i = 0; i < n; ++i)
        if (is_text(r.fields[i].desc.encoding)) texts.push_back(i);
    for (std::size_t k = 0; !texts.empty() && k < count && k <= fault.packet; ++k) {
        const std::span<const std::uint8_t> packet(data + k * stride, stride);
        for (const std::size_t i : texts) {
            const packet::planned_field& p = r.fields[i];
            if (!fault.before(k, i)) break;
            auto value = unpack_field(packet, static_cast<u128>(offset) + p.position, p.desc, r.exact);
            if (!value) {
                if (value.err().kind == error_kind::pending) return nullptr;
                fault.offer(k, i, value.take_error());
                break;
            }
            PyList_SET_ITEM(columns[i].get(), static_cast<Py_ssize_t>(k), *value);
        }
    }
    if (fault.packet != SIZE_MAX) return fail(fault.err);

    ref out(compat::new_presized_dict(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i)
        if (PyDict_SetItem(out.get(), r.objects[i].name.get(), columns[i].get()) < 0) return nullptr;
    return out.release();
}

PyObject* recipe_reduce(PyObject* self, const call&) {
    const compiled_recipe& r = recipe_of(self);
    // Copies of the snapshot's dicts: the caller may change what it is given.
    const Py_ssize_t n = PyList_GET_SIZE(r.snapshot.get());
    ref items(PyList_New(n));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* copy = PyDict_Copy(PyList_GET_ITEM(r.snapshot.get(), i));
        if (!copy) return nullptr;
        PyList_SET_ITEM(items.get(), i, copy);
    }
    ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return nullptr;
    ref newobj(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    if (!newobj) return nullptr;
    return Py_BuildValue("O(O(O){s:O})", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), items.get(),
                         "bit_exact", r.exact ? Py_True : Py_False);
}

const method_def methods[] = {
    {"pack", "(values=None)",
     "pack($self, /, values=None)\n--\n\n"
     "Packs one packet and returns it as bytes.",
     recipe_pack},
    {"pack_into", "(buffer, offset_bits=0, values=None)",
     "pack_into($self, /, buffer, offset_bits=0, values=None)\n--\n\n"
     "Writes the fields into a writable buffer, the recipe's bit 0 at offset_bits.",
     recipe_pack_into},
    {"unpack", "(packet, offset_bits=0)",
     "unpack($self, /, packet, offset_bits=0)\n--\n\n"
     "Reads one packet into a dict from name to value.",
     recipe_unpack},
    {"iter_unpack", "(buffer, stride=None, offset_bits=0)",
     "iter_unpack($self, /, buffer, stride=None, offset_bits=0)\n--\n\n"
     "Iterates over the packets of a buffer, one dict each.",
     recipe_iter_unpack},
    {"unpack_columns", "(buffer, stride=None, offset_bits=0)",
     "unpack_columns($self, /, buffer, stride=None, offset_bits=0)\n--\n\n"
     "Reads every packet of a buffer into one column per name.",
     recipe_unpack_columns},
    {"__reduce__", "()", "__reduce__($self, /)\n--\n\n", recipe_reduce},
};
constexpr std::size_t method_count = sizeof(methods) / sizeof(methods[0]);

signature method_signatures[method_count];
PyMethodDef method_table[method_count + 1];

template <std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const signature& sig = method_signatures[I];
    PyObject* bound[max_parameters] = {};
    if (PW_UNLIKELY(!bind(sig, args, nargs, kwnames, bound))) return nullptr;
    try {
        return methods[I].body(self, call{sig, bound});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "packweaver internal error in a Recipe method");
        return nullptr;
    }
}

template <std::size_t... I>
constexpr std::array<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), sizeof...(I)>
method_entries(std::index_sequence<I...>) {
    return {&method_entry<I>...};
}
constexpr auto entries = method_entries(std::make_index_sequence<method_count>{});

// ---- the type's slots ----

PyObject* recipe_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"recipe", "bit_exact", nullptr};
    PyObject* recipe_arg = nullptr;
    PyObject* exact_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:Recipe", const_cast<char**>(kwlist), &recipe_arg,
                                     &exact_arg))
        return nullptr;
    bool exact = false;
    if (exact_arg != nullptr && !to_bool(exact_arg, exact)) {
        prefix_argument_error("bit_exact");
        return nullptr;
    }
    item_list items;
    if (!to_recipe(recipe_arg, items)) {
        prefix_argument_error("recipe");
        return nullptr;
    }
    try {
        recursion_guard guard(" while reading a recipe");
        if (!guard) return nullptr;
        auto compiled = compile(items, exact);
        if (!compiled) return fail(compiled.err());
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        reinterpret_cast<recipe_object*>(self)->recipe = (*compiled).release();
        return self;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int recipe_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const compiled_recipe* r = reinterpret_cast<recipe_object*>(self)->recipe;
    if (r == nullptr) return 0;
    Py_VISIT(r->snapshot.get());
    for (const auto& o : r->objects) Py_VISIT(o.value.get());
    return 0;
}

int recipe_clear(PyObject* self) {
    compiled_recipe* r = reinterpret_cast<recipe_object*>(self)->recipe;
    if (r == nullptr) return 0;
    // Breaks cycles through the values; a cleared recipe is about to go.
    ref snapshot = std::move(r->snapshot);
    for (auto& o : r->objects) ref gone = std::move(o.value);
    return 0;
}

void recipe_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<recipe_object*>(self)->recipe;
    reinterpret_cast<recipe_object*>(self)->recipe = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t recipe_length(PyObject* self) { return static_cast<Py_ssize_t>(recipe_of(self).fields.size()); }

PyObject* recipe_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, recipe_type)) Py_RETURN_NOTIMPLEMENTED;
    const compiled_recipe& a = recipe_of(self);
    const compiled_recipe& b = recipe_of(other);
    int equal = a.exact == b.exact;
    if (equal) {
        // Comparing values may run their code: keep both snapshots alive.
        ref sa(a.snapshot.get()), sb(b.snapshot.get());
        Py_XINCREF(sa.get());
        Py_XINCREF(sb.get());
        if (!sa || !sb) {
            equal = sa.get() == sb.get() && self == other;
        } else {
            equal = PyObject_RichCompareBool(sa.get(), sb.get(), Py_EQ);
            if (equal < 0) return nullptr;
        }
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* get_size(PyObject* self, void*);

PyObject* recipe_repr(PyObject* self) {
    const compiled_recipe& r = recipe_of(self);
    const std::size_t n = r.fields.size();
    ref shown(PyUnicode_FromString(""));
    if (!shown) return nullptr;
    for (std::size_t i = 0; i < n && i < 3; ++i) {
        ref next(PyUnicode_FromFormat("%U%s%R", shown.get(), i == 0 ? "" : ", ", r.objects[i].name.get()));
        if (!next) return nullptr;
        shown = std::move(next);
    }
    ref size(get_size(self, nullptr));
    if (!size) return nullptr;
    return PyUnicode_FromFormat("<Recipe: %zu field%s, %S byte%s%s%U%s%s>", n, n == 1 ? "" : "s", size.get(),
                                r.size == 1 ? "" : "s", n ? ": " : "", shown.get(), n > 3 ? ", ..." : "",
                                r.exact ? ", bit-exact" : "");
}

PyObject* get_size(PyObject* self, void*) {
    const u128 size = recipe_of(self).size;
    if (size <= UINT64_MAX) return PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(size));
    ref high(PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(size >> 64)));
    ref shift(PyLong_FromLong(64));
    ref low(PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(size)));
    if (!high || !shift || !low) return nullptr;
    ref shifted(PyNumber_Lshift(high.get(), shift.get()));
    return shifted ? PyNumber_Or(shifted.get(), low.get()) : nullptr;
}
PyObject* get_names(PyObject* self, void*) {
    PyObject* t = recipe_of(self).names.get();
    Py_INCREF(t);
    return t;
}
PyObject* get_bit_exact(PyObject* self, void*) { return PyBool_FromLong(recipe_of(self).exact); }

PyGetSetDef getset[] = {
    {"size", get_size, nullptr, "Bytes of a packet, as the packer sizes it.", nullptr},
    {"names", get_names, nullptr, "The items' names, in order.", nullptr},
    {"bit_exact", get_bit_exact, nullptr, "Whether fields are read at their exact bit positions.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char recipe_doc[] =
    "Recipe(recipe, *, bit_exact=False)\n--\n\n"
    "A recipe read and checked once, then applied to any number of packets.";

// ---- the iterator ----

PyObject* iterator_next(PyObject* self) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    if (!it->has_view || it->next >= it->count) return nullptr;
    const compiled_recipe& r = recipe_of(it->owner);
    const auto* data = static_cast<const std::uint8_t*>(it->view.buf);
    auto out = unpack_one(r, {data + it->next * it->stride, it->stride}, it->offset);
    if (!out) return fail(out.err());
    ++it->next;
    if (it->next == it->count) {
        // Let the buffer go as soon as the last packet is read.
        PyBuffer_Release(&it->view);
        it->has_view = false;
    }
    return *out;
}

PyObject* iterator_length_hint(PyObject* self, PyObject*) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    return PyLong_FromSize_t(it->has_view ? it->count - it->next : 0);
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->owner);
    if (it->has_view) Py_VISIT(it->view.obj);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (it->has_view) PyBuffer_Release(&it->view);
    Py_XDECREF(it->owner);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef iterator_methods[] = {
    {"__length_hint__", iterator_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_recipe_type(PyObject* module, PyObject* all) {
    for (std::size_t i = 0; i < method_count; ++i) {
        if (!parse_signature(methods[i].name, methods[i].params, method_signatures[i])) return false;
        method_table[i] = PyMethodDef{methods[i].name,
                                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i])),
                                      METH_FASTCALL | METH_KEYWORDS, methods[i].doc};
    }
    method_table[method_count] = PyMethodDef{nullptr, nullptr, 0, nullptr};

    PyType_Slot recipe_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(recipe_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(recipe_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(recipe_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(recipe_clear)},
        {Py_tp_richcompare, reinterpret_cast<void*>(recipe_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(recipe_repr)},
        {Py_tp_methods, method_table},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(recipe_doc)},
        {Py_sq_length, reinterpret_cast<void*>(recipe_length)},
        {0, nullptr},
    };
    PyType_Spec recipe_spec = {"packweaver.Recipe", sizeof(recipe_object), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, recipe_slots};
    recipe_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&recipe_spec));
    if (!recipe_type) return false;

    PyType_Slot iterator_slots[] = {
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
        {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
        {Py_tp_methods, iterator_methods},
        {0, nullptr},
    };
    PyType_Spec iterator_spec = {"packweaver.RecipeIterator", sizeof(iterator_object), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, iterator_slots};
    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iterator_spec));
    if (!iterator_type) return false;

    if (PyObject_SetAttrString(module, "Recipe", reinterpret_cast<PyObject*>(recipe_type)) < 0) return false;
    ref name(PyUnicode_FromString("Recipe"));
    return name && PyList_Append(all, name.get()) == 0;
}

}  // namespace packweaver::py
