// Compiling a recipe: every item read and checked once into a plan field,
// positions and one-load cuts worked out, and a snapshot of what was read.
#include <algorithm>

#include "../common/format.hpp"
#include "../packet/layout.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

// An exact str equal to s, interned, so that results share their keys.
PyObject* key_string(PyObject* s) {
    PyObject* k = PyUnicode_CheckExact(s) ? (Py_INCREF(s), s) : PyUnicode_FromObject(s);
    if (k) PyUnicode_InternInPlace(&k);
    return k;
}

// The dict of the snapshot for one item: what was read, as it was read.
PyObject* snapshot_item(const field_objects& o, const packet::field_desc& d, PyObject* count) {
    ref item(PyDict_New());
    ref bits(PyLong_FromSize_t(d.bits));
    if (!item || !bits) return nullptr;
    if (PyDict_SetItemString(item.get(), "name", o.name.get()) < 0 ||
        PyDict_SetItemString(item.get(), "encoding", o.encoding_text.get()) < 0 ||
        PyDict_SetItemString(item.get(), "bits", bits.get()) < 0 ||
        PyDict_SetItemString(item.get(), "byte_order", o.order_text.get()) < 0 ||
        PyDict_SetItemString(item.get(), "reverse_bits", d.reverse ? Py_True : Py_False) < 0)
        return nullptr;
    if (d.has_offset) {
        ref offset(PyLong_FromSize_t(d.offset));
        if (!offset || PyDict_SetItemString(item.get(), "offset_bits", offset.get()) < 0) return nullptr;
    }
    if (o.value && PyDict_SetItemString(item.get(), "value", o.value.get()) < 0) return nullptr;
    if (count && PyDict_SetItemString(item.get(), "count", count) < 0) return nullptr;
    return item.release();
}

// The shape of field i from its count as given: an int, "rest", or the name
// of an earlier single unsigned field. Compares only strs: runs no code.
status shape_of(compiled_recipe& c, std::size_t i, PyObject* count) {
    packet::plan_field& p = c.fields[i];
    PyObject* name = c.objects[i].name.get();
    if (!PyUnicode_Check(count)) {
        std::size_t n = 0;
        if (!to_size(count, n)) return pending_error();  // checked when read: an int from 1
        // Every packet of such a field is shorter than 2**63 bits, which a
        // buffer can hold and a column count.
        if (static_cast<u128>(n) * p.desc.bits >= (u128{1} << 63))
            return item_fault(i, name, "a field of " + fmt::dec(std::uint64_t{n}) + " elements of " +
                                           fmt::dec(std::uint64_t{p.desc.bits}) + " bits is larger than any packet");
        p.shape.kind = packet::count_kind::fixed;
        p.shape.n = n;
        return success();
    }
    if (PyUnicode_CompareWithASCIIString(count, "rest") == 0) {
        p.shape.kind = packet::count_kind::rest;
        return success();
    }
    for (std::size_t j = i; j-- > 0;) {
        const int same = PyUnicode_Compare(c.objects[j].name.get(), count);
        if (same == -1 && PyErr_Occurred()) return pending_error();
        if (same != 0) continue;
        const packet::plan_field& q = c.fields[j];
        if (q.shape.is_array() || q.desc.encoding != field_encoding::unsigned_int)
            return item_fault(i, name,
                              "count names '" + utf8_of(count) + "', which is not a single 'unsigned' field");
        if (j > UINT32_MAX) return item_fault(i, name, "count names a field beyond the 2**32nd item");
        p.shape.kind = packet::count_kind::field;
        p.shape.n = j;
        return success();
    }
    return item_fault(i, name, "count is an int, \"rest\" or the name of an earlier field; no field before this one is named '" +
                                   utf8_of(count) + "'");
}

// After a "rest" array, only fields of a fixed size that follow it: they sit at
// the packet's end.
status check_rest(compiled_recipe& c, std::size_t rest) {
    u128 trailing = 0;
    for (std::size_t i = rest + 1; i < c.fields.size(); ++i) {
        const packet::plan_field& p = c.fields[i];
        if (p.shape.varies() || p.desc.has_offset)
            return item_fault(i, c.objects[i].name.get(),
                              std::string("a field after a \"rest\" array sits at the packet's end: it can have ") +
                                  (p.desc.has_offset ? "no offset_bits" : "no count but a fixed one"));
        trailing += packet::extent_bits(p, p.shape.count());
        if (trailing >= (u128{1} << 63))
            return item_fault(i, c.objects[i].name.get(), "the fields after a \"rest\" array are larger than any packet");
    }
    c.fields[rest].shape.n = static_cast<std::uint64_t>(trailing);
    return success();
}

}  // namespace

// Item faults that both directions report (a missing or mistyped key) fail
// here; what only one refuses (an encoding name, a byte order word) is kept
// in the plan field and reported by the method that meets it.
//
// Reading an item may run Python code (conversion hooks), which may walk
// every object the collector knows: the list and tuple below are made only
// once every item is read, and filled before anything else can run.
result<std::unique_ptr<compiled_recipe>> compile(const item_list& items, bool exact, std::size_t* failed) {
    auto c = std::make_unique<compiled_recipe>();
    c->exact = exact;
    const std::size_t n = items.size();
    c->fields.resize(n);
    c->objects.resize(n);
    std::vector<ref> dicts(n);
    std::vector<ref> counts(n);  // each item's count as given, for its shape and the snapshot
    for (std::size_t i = 0; i < n; ++i) {
        item_view f;
        *failed = i;
        if (exact) {
            if (status s = read_exact_item(items[i], i, f, counts[i]); !s) return s.take_error();
        } else {
            if (status s = refuse_exact_only_keys(items[i], i); !s) return s.take_error();
            if (status s = read_item(items[i], item_part::keys_and_value, f); !s) return s.take_error();
            f.hold();
            if (status s = resolve_names(f); !s) return s.take_error();
        }
        plan_of(f, 0, c->fields[i]);
        c->fields[i].exact = exact;
        field_objects& o = c->objects[i];
        o.name = ref(key_string(f.name));
        o.encoding_text = ref(PyUnicode_FromObject(f.encoding_text));
        o.order_text = ref(PyUnicode_FromObject(f.order_text));
        if (!o.name || !o.encoding_text || !o.order_text) return pending_error();
        Py_XINCREF(f.value);
        o.value = ref(f.value);
        if (counts[i]) {
            c->has_arrays = true;
            if (status s = shape_of(*c, i, counts[i].get()); !s) return s.take_error();
            c->varies = c->varies || c->fields[i].shape.varies();
        }
        dicts[i] = ref(snapshot_item(o, f.desc, counts[i].get()));
        if (!dicts[i]) return pending_error();
    }
    for (std::size_t i = 0; i < n; ++i)
        if (c->fields[i].shape.kind == packet::count_kind::rest) {
            *failed = i;
            if (status s = check_rest(*c, i); !s) return s.take_error();
            break;
        }

    // Positions for a packet whose arrays vary hold up to the first such array;
    // the array road lays out each packet.
    packet::position_tracker positions;
    packet::packet_extent extent;
    u128 needed = 0;  // bytes every field needs of a packet read at offset 0
    for (auto& p : c->fields) {
        const u128 bits = p.shape.varies() ? 0 : packet::extent_bits(p, p.shape.count());
        p.position = positions.place(p.desc, bits);
        extent.add(p.desc, bits);
        if (bits != 0)
            needed = std::max(needed, exact ? (p.position + bits + 7) / 8
                                            : packet::bytes_needed(p.desc.bits, p.position, false));
    }
    c->end_bits = extent.end_bits();
    c->size = (c->end_bits + 7) / 8;
    // The one-load cuts may count on the bytes every field needs.
    const std::size_t reach = needed > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(needed);
    for (auto& p : c->fields) {
        plan_cut(p, exact, reach);
        if (c->has_arrays) p.cut = packet::word_cut{};
    }

    *failed = SIZE_MAX;
    ref snapshot(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!snapshot) return pending_error();
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(snapshot.get(), static_cast<Py_ssize_t>(i), dicts[i].release());
    ref names(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!names) return pending_error();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* name = c->objects[i].name.get();
        Py_INCREF(name);
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    c->snapshot = std::move(snapshot);
    c->names = std::move(names);
    return c;
}

}  // namespace packweaver::py
