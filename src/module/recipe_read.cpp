// Reading with a Recipe: one packet into a dict, and the iterator over the
// packets of a buffer.
#include <new>

#include "compat.hpp"
#include "entry.hpp"
#include "recipe_object.hpp"

namespace packweaver::py {

result<PyObject*> unpack_fields(const compiled_recipe& c, std::span<const std::uint8_t> packet, std::size_t base,
                                std::size_t* failed) {
    ref out(compat::new_presized_dict(static_cast<Py_ssize_t>(c.fields.size())));
    if (!out) return pending_error();
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
        const packet::plan_field& p = c.fields[i];
        const field_objects& o = c.objects[i];
        // The cuts were worked out for the recipe's bit 0 at the packet's.
        const bool cut_fits = base == 0 && p.cut.usable(packet.size());
        auto value = read_value(packet, p, static_cast<u128>(base) + p.position, c.exact, cut_fits, o.labels());
        if (PW_UNLIKELY(!value)) {
            if (failed) *failed = i;
            return value.take_error();
        }
        const int stored = PyDict_SetItem(out.get(), o.name.get(), *value);
        Py_DECREF(*value);
        if (PW_UNLIKELY(stored < 0)) {
            if (failed) *failed = i;
            return pending_error();
        }
    }
    return out.release();
}

PyObject* recipe_unpack(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg packet;
    if (!packet.get(c.arg(0), "packet", false)) return nullptr;
    std::size_t offset = 0;
    if (!optional_size(c.arg(1), "offset_bits", false, offset)) return nullptr;
    std::size_t failed = SIZE_MAX, element = SIZE_MAX;
    auto out = unpack_one(r, packet.bytes(), offset, &failed, &element);
    if (!out) {
        fail(out.err());
        note_field(r, failed, element);
        return nullptr;
    }
    return *out;
}

// ---- the iterator ----

namespace {

struct iterator_object {
    PyObject_HEAD
    PyObject* owner;  // the Recipe
    Py_buffer view;
    bool has_view;
    stream_shape shape;  // shape.index_object: a reference of the iterator's own
    std::size_t next;
};

PyTypeObject* iterator_type = nullptr;

PyObject* next_packet(PyObject* self) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    if (!it->has_view || it->next >= it->shape.count) return nullptr;
    const compiled_recipe& r = recipe_of(it->owner);
    if (PW_UNLIKELY(r.cleared)) return raise_cleared();
    const auto* data = static_cast<const std::uint8_t*>(it->view.buf);
    std::size_t failed = SIZE_MAX, element = SIZE_MAX;
    auto out = unpack_one(r, it->shape.packet(data, it->next), it->shape.offset, &failed, &element);
    if (!out) {
        fail(out.err());
        note_place(r, it->shape, it->next, failed, element);
        return nullptr;
    }
    ++it->next;
    if (it->next == it->shape.count) {
        // Let the buffer go as soon as the last packet is read.
        it->has_view = false;
        PyBuffer_Release(&it->view);
    }
    return *out;
}

PyObject* iterator_next(PyObject* self) noexcept {
    try {
        return next_packet(self);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return detail::internal_fault("unknown exception");
    }
}

PyObject* iterator_length_hint(PyObject* self, PyObject*) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    return PyLong_FromSize_t(it->has_view ? it->shape.count - it->next : 0);
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->owner);
    Py_VISIT(it->shape.index_object);
    if (it->has_view) Py_VISIT(it->view.obj);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    auto* it = reinterpret_cast<iterator_object*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (it->has_view) PyBuffer_Release(&it->view);
    Py_XDECREF(it->owner);
    Py_XDECREF(it->shape.index_object);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef iterator_methods[] = {
    {"__length_hint__", iterator_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* recipe_iter_unpack(PyObject* self, const call& c) {
    const compiled_recipe& r = recipe_of(self);
    buffer_arg stream;
    stream_shape shape;
    if (!stream_arguments(r, c, stream, shape)) return nullptr;
    auto* it = PyObject_GC_New(iterator_object, iterator_type);
    if (!it) return nullptr;
    Py_INCREF(self);
    it->owner = self;
    stream.release_to(it->view);
    it->has_view = true;
    Py_XINCREF(shape.index_object);
    it->shape = shape;
    it->next = 0;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

bool add_iterator_type() {
    PyType_Slot slots[] = {
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
        {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
        {Py_tp_methods, iterator_methods},
        {0, nullptr},
    };
    PyType_Spec type_spec = {"packweaver.RecipeIterator", sizeof(iterator_object), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return iterator_type != nullptr;
}

}  // namespace packweaver::py
