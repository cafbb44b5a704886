// Packing with a Recipe: pack (a new packet) and pack_into (a caller's buffer).
#include <string>
#include <vector>

#include "../common/format.hpp"
#include "errors.hpp"
#include "pack_engine.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

PW_COLD error wrong_value_count(std::size_t items, std::size_t values) {
    return value_error("Recipe has " + fmt::dec(std::uint64_t{items}) + (items == 1 ? " item but " : " items but ") +
                       fmt::dec(std::uint64_t{values}) + (values == 1 ? " value was given" : " values were given"));
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
            fail(wrong_value_count(n, sequence_.size()));
            return false;
        }
        in_sequence_ = true;
        return true;
    }

    // A new reference to item i's value, or the missing-value error.
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

// Every field into a zeroed packet of the recipe's size; on failure,
// `failed` is the field that failed.
status pack_fields(const compiled_recipe& c, std::span<std::uint8_t> packet, value_source& source,
                   std::size_t& failed) {
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
        const packet::plan_field& p = c.fields[i];
        const field_objects& o = c.objects[i];
        failed = i;
        auto got = source.get(i, o);
        if (PW_UNLIKELY(!got)) return got.take_error();
        ref value(*got);
        if (status s = pack_value(packet, p, p.position, value.get(), o.labels()); PW_UNLIKELY(!s)) return s;
    }
    return success();
}

// The failure of a field, with the field named in a note.
PyObject* fail_field(const compiled_recipe& r, const error& e, std::size_t field) {
    fail(e);
    note_field(r, field);
    return nullptr;
}

}  // namespace

PyObject* recipe_pack(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    value_source source;
    if (!source.assign(c.arg(0), r.fields.size())) return nullptr;
    auto made = new_packet(r.end_bits);
    if (!made) return fail(made.err());
    ref bytes(*made);
    const std::span<std::uint8_t> packet(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    std::size_t failed = 0;
    if (status s = pack_fields(r, packet, source, failed); !s) return fail_field(r, s.err(), failed);
    return bytes.release();
}

PyObject* recipe_pack_into(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg target;
    if (!target.get(c.arg(0), "buffer", true)) return nullptr;
    std::size_t offset = 0;
    if (!optional_size(c.arg(1), "offset_bits", false, offset)) return nullptr;
    value_source source;
    if (!source.assign(c.arg(2), r.fields.size())) return nullptr;
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
    std::size_t failed = 0;
    if (status s = pack_fields(r, packet, source, failed); !s) return fail_field(r, s.err(), failed);
    for (const auto& p : r.fields) packet::copy_field(out, offset + p.position, packet, p.position, p.desc.bits);
    Py_RETURN_NONE;
}

}  // namespace packweaver::py
