// The Recipe type: its slots, its methods' table and entries, pickling.
#include "recipe_type.hpp"

#include <array>
#include <cstdint>
#include <utility>

#include "entry.hpp"
#include "errors.hpp"
#include "packet_functions.hpp"
#include "recipe_object.hpp"
#include "recipe_docs.hpp"  // generated from the stubs

namespace packweaver::py {

PW_COLD PyObject* raise_cleared() {
    PyErr_SetString(PyExc_ValueError,
                    "Recipe object is no longer usable: the garbage collector cleared it while breaking a cycle");
    return nullptr;
}

PW_COLD PyObject* fail(const error& e) { return engine_failure(e); }

namespace {

PyTypeObject* recipe_type = nullptr;

PyObject* recipe_reduce(PyObject* self, const call&) {
    const compiled_recipe& r = recipe_of(self);
    // Copies of the snapshot's dicts: the caller may change what it is given.
    // Each copy is whole before the list that holds it is made.
    const Py_ssize_t n = PyList_GET_SIZE(r.snapshot.get());
    std::vector<ref> copies(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // The snapshot's own reference keeps the dict alive while it is copied.
        copies[static_cast<std::size_t>(i)] = ref(PyDict_Copy(PyList_GET_ITEM(r.snapshot.get(), i)));
        if (!copies[static_cast<std::size_t>(i)]) return nullptr;
    }
    ref items(PyList_New(n));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(items.get(), i, copies[static_cast<std::size_t>(i)].release());
    ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return nullptr;
    ref newobj(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    if (!newobj) return nullptr;
    return Py_BuildValue("O(O(O){s:O})", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), items.get(),
                         "bit_exact", r.exact ? Py_True : Py_False);
}

struct method_def {
    const char* name;
    const char* params;  // for binding
    const char* doc;     // text signature and summary
    PyObject* (*body)(PyObject* self, const call& c);
    const char* where;     // for the recursion guard
    bool on_type = false;  // a class method: self is the type
};

constexpr const char* packing = " while packing parameters";
constexpr const char* unpacking = " while unpacking parameters";

const method_def methods[] = {
    {"pack", "(values=None)", "pack($self, /, values=None)\n--\n\n" PW_DOC_pack, recipe_pack, packing},
    {"pack_into", "(buffer, offset_bits=0, values=None)",
     "pack_into($self, /, buffer, offset_bits=0, values=None)\n--\n\n" PW_DOC_pack_into, recipe_pack_into, packing},
    {"unpack", "(packet, offset_bits=0)", "unpack($self, /, packet, offset_bits=0)\n--\n\n" PW_DOC_unpack,
     recipe_unpack, unpacking},
    {"iter_unpack", "(buffer, stride=None, offset_bits=0)",
     "iter_unpack($self, /, buffer, stride=None, offset_bits=0)\n--\n\n" PW_DOC_iter_unpack, recipe_iter_unpack,
     unpacking},
    {"unpack_columns", "(buffer, stride=None, offset_bits=0, errors='raise', *, text='str')",
     "unpack_columns($self, /, buffer, stride=None, offset_bits=0, errors='raise', *, text='str')\n--\n\n"
     PW_DOC_unpack_columns,
     recipe_unpack_columns, unpacking},
    {"pack_columns", "(columns, *, count=None)",
     "pack_columns($self, /, columns, *, count=None)\n--\n\n" PW_DOC_pack_columns, recipe_pack_columns, packing},
    {"pack_columns_into", "(buffer, columns, *, count=None)",
     "pack_columns_into($self, /, buffer, columns, *, count=None)\n--\n\n" PW_DOC_pack_columns_into,
     recipe_pack_columns_into, packing},
    {"from_csv", "(source, *, primary_header=True)",
     "from_csv($type, /, source, *, primary_header=True)\n--\n\n" PW_DOC_from_csv, recipe_from_csv,
     " while reading a recipe", true},
    {"__reduce__", "()", "__reduce__($self, /)\n--\n\n", recipe_reduce, " while pickling a Recipe"},
};
constexpr std::size_t method_count = sizeof(methods) / sizeof(methods[0]);

signature method_signatures[method_count];
PyMethodDef method_table[method_count + 1];

// Every method: inside the recursion guard before any argument is
// converted, and refused on an object the collector cleared.
template <std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry(method_signatures[I], args, nargs, kwnames, [self](const call& c) -> PyObject* {
        recursion_guard guard(methods[I].where);
        if (!guard) return nullptr;
        if (!methods[I].on_type && PW_UNLIKELY(recipe_of(self).cleared)) return raise_cleared();
        return methods[I].body(self, c);
    });
}

template <std::size_t... I>
constexpr std::array<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), sizeof...(I)>
method_entries(std::index_sequence<I...>) {
    return {&method_entry<I>...};
}
constexpr auto entries = method_entries(std::make_index_sequence<method_count>{});

// ---- the type's slots ----

PyObject* make_recipe(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    // Converting the arguments may call Recipe again (bit_exact's __bool__,
    // a bits value's __index__).
    recursion_guard guard(" while reading a recipe");
    if (!guard) return nullptr;
    static const char* kwlist[] = {"recipe", "bit_exact", nullptr};
    PyObject* recipe_arg = nullptr;
    PyObject* exact_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:Recipe", const_cast<char**>(kwlist), &recipe_arg,
                                     &exact_arg))
        return nullptr;
    bool exact = true;
    if (exact_arg != nullptr && !to_bool(exact_arg, exact)) {
        prefix_argument_error("bit_exact");
        return nullptr;
    }
    item_list items;
    if (!to_recipe(recipe_arg, items)) {
        prefix_argument_error("recipe");
        return nullptr;
    }
    std::size_t failed = SIZE_MAX;
    auto compiled = compile(items, exact, &failed);
    if (!compiled) {
        // A conversion's own failure gains the item it met; our messages name it.
        const bool converting = compiled.err().kind == error_kind::pending;
        fail(compiled.err());
        if (converting && failed != SIZE_MAX) compat::add_exception_note("in Recipe item " + std::to_string(failed));
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<recipe_object*>(self)->recipe = (*compiled).release();
    return self;
}

PyObject* recipe_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    try {
        return make_recipe(type, args, kwds);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return detail::internal_fault("unknown exception");
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
    // Breaks cycles through the values. The object may still be reached (a
    // weakref callback, a finalizer) before it goes: every method checks.
    r->cleared = true;
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
            // A cleared recipe equals only itself.
            equal = self == other;
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
    return PyUnicode_FromFormat("<Recipe: %zu field%s, %s%S byte%s%s%U%s%s%s>", n, n == 1 ? "" : "s",
                                r.varies ? "at least " : "", size.get(),
                                r.size == 1 ? "" : "s", n ? ": " : "", shown.get(), n > 3 ? ", ..." : "",
                                r.exact ? ", bit-exact" : "", r.cleared ? ", cleared" : "");
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
    {"size", get_size, nullptr, PW_DOC_size, nullptr},
    {"names", get_names, nullptr, PW_DOC_names, nullptr},
    {"bit_exact", get_bit_exact, nullptr, PW_DOC_bit_exact, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char recipe_doc[] = "Recipe(recipe, *, bit_exact=True)\n--\n\n" PW_DOC_Recipe;

}  // namespace

const compiled_recipe* recipe_data(PyObject* o) {
    if (!PyObject_TypeCheck(o, recipe_type)) {
        PyErr_Format(PyExc_TypeError, "expected a Recipe, got '%.200s'", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    if (recipe_of(o).cleared) {
        raise_cleared();
        return nullptr;
    }
    return &recipe_of(o);
}

bool add_recipe_type(PyObject* module) {
    for (std::size_t i = 0; i < method_count; ++i) {
        if (!parse_signature(methods[i].name, methods[i].params, method_signatures[i])) return false;
        method_table[i] = PyMethodDef{methods[i].name,
                                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i])),
                                      METH_FASTCALL | METH_KEYWORDS | (methods[i].on_type ? METH_CLASS : 0),
                                      methods[i].doc};
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
    if (!recipe_type || !add_iterator_type() || !add_rows_type() || !init_columns()) return false;
    return PyObject_SetAttrString(module, "Recipe", reinterpret_cast<PyObject*>(recipe_type)) == 0;
}

}  // namespace packweaver::py
