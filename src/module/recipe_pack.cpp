// Packing with a Recipe: pack (a new packet) and pack_into (a caller's buffer).
#include <string>
#include <vector>

#include "../common/format.hpp"
#include "../packet/layout.hpp"
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

// The failure of a field, with the field (and element) named in a note.
PyObject* fail_field(const compiled_recipe& r, const error& e, std::size_t field, std::size_t element = SIZE_MAX) {
    fail(e);
    note_field(r, field, element);
    return nullptr;
}

// ---- recipes with arrays ----

// A packet of a recipe with arrays: every value taken first (an array's as a
// tuple, which no conversion can change), the packet laid out from the
// arrays' lengths.
struct array_packet {
    std::vector<ref> values;
    std::vector<std::uint64_t> counts;
    std::vector<packet::field_place> places;
    u128 bits = 0;  // whole bytes
    std::size_t failed = 0;
    std::size_t element = SIZE_MAX;

    status gather(const compiled_recipe& c, value_source& source) {
        const std::size_t n = c.fields.size();
        values.resize(n);
        counts.assign(n, 1);
        places.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const packet::plan_field& p = c.fields[i];
            failed = i;
            auto got = source.get(i, c.objects[i]);
            if (!got) return got.take_error();
            values[i] = ref(*got);
            if (!p.shape.is_array()) continue;
            PyObject* v = values[i].get();
            if (PyUnicode_Check(v))
                return make_error(error_kind::type_error, "an array field takes a sequence of numbers, not str");
            values[i] = ref(PySequence_Tuple(v));
            if (!values[i]) return pending_error();
            counts[i] = static_cast<std::uint64_t>(PyTuple_GET_SIZE(values[i].get()));
            if (p.shape.kind == packet::count_kind::fixed && counts[i] != p.shape.count())
                return value_error("the field holds " + fmt::dec(std::uint64_t{p.shape.count()}) + " elements, " +
                                   fmt::dec(counts[i]) + (counts[i] == 1 ? " was given" : " were given"));
        }
        // A count field holds its array's length.
        for (std::size_t i = 0; i < n; ++i) {
            const packet::plan_field& p = c.fields[i];
            if (p.shape.kind != packet::count_kind::field) continue;
            failed = p.shape.field();
            std::uint64_t given = 0;
            if (!to_u64(values[p.shape.field()].get(), given)) return pending_error();
            // Packed as the number compared here: a value is converted once.
            values[p.shape.field()] = ref(PyLong_FromUnsignedLongLong(given));
            if (!values[p.shape.field()]) return pending_error();
            failed = i;
            if (given != counts[i])
                return value_error("'" + utf8_of(c.objects[p.shape.field()].name.get()) + "' is " + fmt::dec(given) +
                                   " but " + fmt::dec(counts[i]) + (counts[i] == 1 ? " element was" : " elements were") +
                                   " given");
        }
        bits = packet::lay_out_for_packing(c.fields, counts.data(), places.data());
        // A "rest" array is read back as the elements that fit: padding to a
        // whole byte must hold none.
        for (std::size_t i = 0; i < n; ++i) {
            const packet::plan_field& p = c.fields[i];
            if (p.shape.kind != packet::count_kind::rest) continue;
            const u128 room = bits - p.shape.trailing() - places[i].position;
            if (room / p.desc.bits != counts[i]) {
                failed = i;
                return value_error(fmt::dec(counts[i]) + " elements of " + fmt::dec(std::uint64_t{p.desc.bits}) +
                                   " bits leave room for more before the packet's last whole byte: they would "
                                   "read back as " + fmt::dec(room / p.desc.bits));
            }
        }
        return success();
    }

    status pack(const compiled_recipe& c, std::span<std::uint8_t> packet) {
        for (std::size_t i = 0; i < c.fields.size(); ++i) {
            const packet::plan_field& p = c.fields[i];
            const field_labels labels = c.objects[i].labels();
            failed = i;
            if (!p.shape.is_array()) {
                if (status s = pack_value(packet, p, places[i].position, values[i].get(), labels); !s) return s;
                continue;
            }
            PyObject* tuple = values[i].get();
            for (std::size_t j = 0; j < counts[i]; ++j) {
                const u128 at = places[i].position + static_cast<u128>(j) * p.desc.bits;
                if (status s = pack_value(packet, p, at, PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(j)), labels); !s) {
                    element = j;
                    return s;
                }
            }
        }
        return success();
    }
};

PyObject* pack_with_arrays(const compiled_recipe& r, value_source& source) {
    array_packet a;
    if (status s = a.gather(r, source); !s) return fail_field(r, s.err(), a.failed);
    auto made = new_packet(a.bits);
    if (!made) return fail(made.err());
    ref bytes(*made);
    const std::span<std::uint8_t> packet(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (status s = a.pack(r, packet); !s) return fail_field(r, s.err(), a.failed, a.element);
    return bytes.release();
}

}  // namespace

PyObject* recipe_pack(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    value_source source;
    if (!source.assign(c.arg(0), r.fields.size())) return nullptr;
    if (r.has_arrays) return pack_with_arrays(r, source);
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
    array_packet a;
    if (r.has_arrays) {
        if (status s = a.gather(r, source); !s) return fail_field(r, s.err(), a.failed);
    }
    const u128 needed = (static_cast<u128>(offset) + (r.has_arrays ? a.bits : r.end_bits) + 7) / 8;
    if (needed > out.size())
        return fail(value_error("Buffer too small: the packet needs " + fmt::dec(needed) + " bytes from bit " +
                                fmt::dec(std::uint64_t{offset}) + ", buffer has " +
                                fmt::dec(std::uint64_t{out.size()})));
    // Packed in full first, so that a failure writes nothing; then only the
    // bits the fields cover are copied. (The packet is no longer than the
    // buffer, checked above.)
    if (r.has_arrays) {
        std::vector<std::uint8_t> packet(static_cast<std::size_t>(a.bits / 8), 0);
        if (status s = a.pack(r, packet); !s) return fail_field(r, s.err(), a.failed, a.element);
        for (std::size_t i = 0; i < r.fields.size(); ++i)
            packet::copy_field(out, offset + a.places[i].position, packet, a.places[i].position,
                               static_cast<std::size_t>(packet::extent_bits(r.fields[i], a.counts[i])));
        Py_RETURN_NONE;
    }
    std::vector<std::uint8_t> packet(static_cast<std::size_t>(r.size), 0);
    std::size_t failed = 0;
    if (status s = pack_fields(r, packet, source, failed); !s) return fail_field(r, s.err(), failed);
    for (const auto& p : r.fields) packet::copy_field(out, offset + p.position, packet, p.position, p.desc.bits);
    Py_RETURN_NONE;
}

}  // namespace packweaver::py
