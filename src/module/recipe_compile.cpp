// Compiling a recipe: every item read and checked once into a plan field,
// positions and one-load cuts worked out, and a snapshot of what was read.
#include <algorithm>

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
PyObject* snapshot_item(const field_objects& o, const packet::field_desc& d) {
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
    return item.release();
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
    for (std::size_t i = 0; i < n; ++i) {
        item_view f;
        *failed = i;
        if (exact) {
            if (status s = read_exact_item(items[i], i, f); !s) return s.take_error();
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
        dicts[i] = ref(snapshot_item(o, f.desc));
        if (!dicts[i]) return pending_error();
    }

    packet::position_tracker positions;
    packet::packet_extent extent;
    u128 needed = 0;  // bytes every field needs of a packet read at offset 0
    for (auto& p : c->fields) {
        p.position = positions.place(p.desc);
        extent.add(p.desc);
        needed = std::max(needed, packet::bytes_needed(p.desc.bits, p.position, exact));
    }
    c->end_bits = extent.end_bits();
    c->size = (c->end_bits + 7) / 8;
    // The one-load cuts may count on the bytes every field needs.
    const std::size_t reach = needed > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(needed);
    for (auto& p : c->fields) plan_cut(p, exact, reach);

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
