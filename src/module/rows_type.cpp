// A fixed-length array field's column: one row of elements per packet, as a
// two-dimensional buffer over the array.array that holds the values, given
// to callers as a memoryview (NumPy and Arrow take it without a copy;
// tolist() gives a list of rows).
//
// The exporter keeps the array's buffer for its whole life, so the array
// cannot be resized under a view. Nothing else holds the array.
#include "recipe_object.hpp"

namespace packweaver::py {
namespace {

struct rows_object {
    PyObject_HEAD
    Py_buffer values;  // of the array.array
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PyTypeObject* rows_type = nullptr;

int rows_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* r = reinterpret_cast<rows_object*>(self);
    if ((flags & PyBUF_ND) != PyBUF_ND) {
        PyErr_SetString(PyExc_BufferError, "the rows of an array field are a buffer of two dimensions");
        return -1;
    }
    view->buf = r->values.buf;
    view->obj = self;
    Py_INCREF(self);
    view->len = r->values.len;
    view->readonly = 0;
    view->itemsize = r->values.itemsize;
    view->format = (flags & PyBUF_FORMAT) ? r->values.format : nullptr;
    view->ndim = 2;
    view->shape = r->shape;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? r->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyObject* rows_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "the rows of an array field are made by Recipe.unpack_columns");
    return nullptr;
}

void rows_dealloc(PyObject* self) {
    auto* r = reinterpret_cast<rows_object*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyBuffer_Release(&r->values);
    PyObject_Free(self);
    Py_DECREF(type);
}

}  // namespace

bool add_rows_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(rows_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(rows_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(rows_getbuffer)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {"packweaver.Rows", sizeof(rows_object), 0, Py_TPFLAGS_DEFAULT, slots};
    rows_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return rows_type != nullptr;
}

PyObject* rows_view(PyObject* array, std::size_t rows, std::size_t columns) {
    auto* r = PyObject_New(rows_object, rows_type);
    if (!r) return nullptr;
    if (PyObject_GetBuffer(array, &r->values, PyBUF_FULL_RO) < 0) {
        // Nothing to release: free the object as it is.
        PyTypeObject* type = Py_TYPE(r);
        PyObject_Free(r);
        Py_DECREF(type);
        return nullptr;
    }
    ref owner(reinterpret_cast<PyObject*>(r));
    const auto item = static_cast<std::size_t>(r->values.itemsize);
    if (item == 0 || columns > static_cast<std::size_t>(PY_SSIZE_T_MAX) / item ||
        rows > static_cast<std::size_t>(PY_SSIZE_T_MAX) || (columns != 0 && rows > static_cast<std::size_t>(PY_SSIZE_T_MAX) / (columns * item))) {
        PyErr_SetString(PyExc_OverflowError, "an array field's column is too large");
        return nullptr;
    }
    r->shape[0] = static_cast<Py_ssize_t>(rows);
    r->shape[1] = static_cast<Py_ssize_t>(columns);
    r->strides[1] = r->values.itemsize;
    r->strides[0] = r->values.itemsize * static_cast<Py_ssize_t>(columns);
    if (r->values.len != r->strides[0] * r->shape[0]) {
        PyErr_SetString(PyExc_SystemError, "an array field's column has the wrong size");
        return nullptr;
    }
    return PyMemoryView_FromObject(owner.get());
}

}  // namespace packweaver::py
