// The Index type: the packets of one buffer as a framing found them, with
// the faults of each stream. Its numbers live in C++ storage that no
// Python code can change: the arrays it shows are copies, made on first
// use and kept, so an edit of one changes what that attribute shows, never
// what the index reads.
#include "index_type.hpp"

#include <new>
#include <string>

#include "entry.hpp"
#include "errors.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

struct index_object {
    PyObject_HEAD
    packet::packet_index* index;
    bool keyed;     // the framing has a key field
    bool counted;   // ... and a sequence field
    PyObject* arrays[4];  // offsets, lengths, keys, sequences, made on first use
};

PyTypeObject* index_type = nullptr;

index_object* as_index(PyObject* o) noexcept { return reinterpret_cast<index_object*>(o); }

constexpr const char* fault_names[] = {"gap", "repeat", "check"};

PyObject* array_of(PyObject* self, std::size_t which) {
    index_object* ix = as_index(self);
    if (ix->arrays[which] == nullptr) {
        const packet::packet_index& x = *ix->index;
        PyObject* made = nullptr;
        switch (which) {
            case 0: made = new_array('Q', x.size(), x.offsets.data()); break;
            case 1: made = new_array('Q', x.size(), x.lengths.data()); break;
            case 2:
                if (!ix->keyed) Py_RETURN_NONE;
                made = new_array('I', x.size(), x.keys.data());
                break;
            default:
                if (!ix->counted) Py_RETURN_NONE;
                made = new_array('I', x.size(), x.sequences.data());
                break;
        }
        if (!made) return nullptr;
        // Making the array may have run code that made it already.
        if (ix->arrays[which] == nullptr) ix->arrays[which] = made;
        else Py_DECREF(made);
    }
    Py_INCREF(ix->arrays[which]);
    return ix->arrays[which];
}

PyObject* get_offsets(PyObject* self, void*) { return array_of(self, 0); }
PyObject* get_lengths(PyObject* self, void*) { return array_of(self, 1); }
PyObject* get_keys(PyObject* self, void*) { return array_of(self, 2); }
PyObject* get_sequences(PyObject* self, void*) { return array_of(self, 3); }
PyObject* get_tail(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_index(self)->index->tail); }
PyObject* get_end(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_index(self)->index->end); }

// [(packet, offset, key, kind, missing), ...], each tuple whole before the list.
PyObject* get_faults(PyObject* self, void*) {
    const packet::packet_index& x = *as_index(self)->index;
    std::vector<ref> rows(x.faults.size());
    for (std::size_t k = 0; k < x.faults.size(); ++k) {
        const packet::stream_fault& f = x.faults[k];
        rows[k] = ref(Py_BuildValue("(KKIsI)", static_cast<unsigned long long>(f.packet),
                                    static_cast<unsigned long long>(x.offsets[f.packet]), f.key,
                                    fault_names[static_cast<int>(f.kind)], f.missing));
        if (!rows[k]) return nullptr;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows.size()));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < rows.size(); ++k) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), rows[k].release());
    return list;
}

// {key: {"packets": n, "gaps": n, "missing": n, "repeats": n, "wraps": n, "check_failures": n}}
PyObject* get_streams(PyObject* self, void*) {
    const packet::packet_index& x = *as_index(self)->index;
    // Every row made first: the dict is filled when no code can run.
    std::vector<ref> rows(x.streams.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const packet::stream_summary& s = x.streams[k];
        rows[k] = ref(Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "packets", static_cast<unsigned long long>(s.packets),
                              "gaps", static_cast<unsigned long long>(s.gaps), "missing",
                              static_cast<unsigned long long>(s.missing), "repeats",
                              static_cast<unsigned long long>(s.repeats), "wraps",
                              static_cast<unsigned long long>(s.wraps), "check_failures",
                              static_cast<unsigned long long>(s.check_failures)));
        if (!rows[k]) return nullptr;
    }
    ref out(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        ref key(PyLong_FromUnsignedLong(x.streams[k].key));
        if (!key || PyDict_SetItem(out.get(), key.get(), rows[k].get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* index_select(PyObject* self, const call& c) {
    std::uint64_t key = 0;
    if (!c.u64(0, key)) return nullptr;
    const index_object* ix = as_index(self);
    if (key > 0xFFFFFFFFu || (!ix->keyed && key != 0)) return new_index(packet::packet_index{}, ix->keyed, ix->counted);
    return new_index(packet::select_key(*ix->index, static_cast<std::uint32_t>(key)), ix->keyed, ix->counted);
}

Py_ssize_t index_length(PyObject* self) { return static_cast<Py_ssize_t>(as_index(self)->index->size()); }

PyObject* index_repr(PyObject* self) {
    const packet::packet_index& x = *as_index(self)->index;
    const std::size_t n = x.size();
    return PyUnicode_FromFormat("<Index: %zu packet%s, %zu stream%s, %zu fault%s, tail of %llu byte%s>", n,
                                n == 1 ? "" : "s", x.streams.size(), x.streams.size() == 1 ? "" : "s",
                                x.faults.size(), x.faults.size() == 1 ? "" : "s",
                                static_cast<unsigned long long>(x.tail), x.tail == 1 ? "" : "s");
}

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    index_object* ix = as_index(self);
    delete ix->index;
    for (PyObject*& a : ix->arrays) Py_CLEAR(a);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* index_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "an Index is made by Framing.index(buffer)");
    return nullptr;
}

signature select_signature;

PyObject* select_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry(select_signature, args, nargs, kwnames, [self](const call& c) -> PyObject* {
        recursion_guard guard(" while selecting from an Index");
        if (!guard) return nullptr;
        return index_select(self, c);
    });
}

PyGetSetDef getset[] = {
    {"offsets", get_offsets, nullptr, "array('Q'): each packet's byte offset in the buffer.", nullptr},
    {"lengths", get_lengths, nullptr, "array('Q'): each packet's length in bytes.", nullptr},
    {"keys", get_keys, nullptr, "array('I'): each packet's stream key (None without a key field).", nullptr},
    {"sequences", get_sequences, nullptr, "array('I'): each packet's sequence count (None without one).", nullptr},
    {"tail", get_tail, nullptr, "Bytes of an incomplete packet at the end of the buffer.", nullptr},
    {"end", get_end, nullptr, "Where the last whole packet ends.", nullptr},
    {"faults", get_faults, nullptr,
     "[(packet, offset, key, kind, missing)]: sequence gaps (missing counts), repeats and failed checks.", nullptr},
    {"streams", get_streams, nullptr,
     "{key: {'packets', 'gaps', 'missing', 'repeats', 'wraps', 'check_failures'}}.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(select_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "select($self, /, key)\n--\n\nThe packets of one stream key, in order, with that stream's faults."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_index(packet::packet_index&& index, bool keyed, bool counted) {
    auto owned = std::make_unique<packet::packet_index>(std::move(index));
    PyObject* self = index_type->tp_alloc(index_type, 0);
    if (!self) return nullptr;
    index_object* ix = as_index(self);
    ix->index = owned.release();
    ix->keyed = keyed;
    ix->counted = counted;
    for (PyObject*& a : ix->arrays) a = nullptr;
    return self;
}

const packet::packet_index* index_data(PyObject* o) noexcept {
    if (index_type == nullptr || !PyObject_TypeCheck(o, index_type)) return nullptr;
    return as_index(o)->index;
}

bool add_index_type(PyObject* module) {
    if (!parse_signature("select", "(key)", select_signature)) return false;
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(index_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>("The packets of one buffer, as Framing.index found them.")},
        {Py_sq_length, reinterpret_cast<void*>(index_length)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {"packweaver.Index", sizeof(index_object), 0, Py_TPFLAGS_DEFAULT, slots};
    index_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!index_type) return false;
    return PyObject_SetAttrString(module, "Index", reinterpret_cast<PyObject*>(index_type)) == 0;
}

}  // namespace packweaver::py
