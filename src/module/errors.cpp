#include "errors.hpp"

#include <string>

namespace packweaver::py {
namespace {

PyObject* exception_type(error_kind kind) {
    switch (kind) {
        case error_kind::value_error: return PyExc_ValueError;
        case error_kind::key_error: return PyExc_KeyError;
        case error_kind::not_implemented_error: return PyExc_NotImplementedError;
        case error_kind::type_error: return PyExc_TypeError;
        case error_kind::pending: break;
    }
    return PyExc_SystemError;
}

}  // namespace

PyObject* str_from_utf8(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

PW_COLD PyObject* raise(const error& e) {
    if (e.kind == error_kind::pending) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "operation failed without an exception");
        return nullptr;
    }
    // Not PyErr_SetString: a message may hold NUL characters from the caller.
    ref message(str_from_utf8(e.message));
    if (!message) return nullptr;
    PyErr_SetObject(exception_type(e.kind), message.get());
    return nullptr;
}

PW_COLD std::string type_name(PyObject* value) {
    ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (utf8) return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return Py_TYPE(value)->tp_name;
}

PW_COLD PyObject* raise_cast_error(PyObject* value, const char* target) {
    const std::string message = "'" + type_name(value) + "' object cannot be cast as '" + target + "'";
    return raise(error{error_kind::type_error, message});
}

PW_COLD PyObject* rewrap_engine_failure() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) {
        PyErr_SetString(PyExc_SystemError, "packet engine failed without an exception");
        return nullptr;
    }
    // An interruption (KeyboardInterrupt, SystemExit) is not a failure of
    // the recipe: it goes on as it is, so that Ctrl-C still stops a program
    // that catches ValueError.
    if (!PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    ref t(type), v(value), tb(traceback);
    ref qualname(PyObject_GetAttrString(type, "__qualname__"));
    if (!qualname) return nullptr;
    ref text(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        text = ref(PyUnicode_FromString("<exception str() failed>"));
        if (!text) return nullptr;
    }
    ref message(PyUnicode_FromFormat("%S: %S", qualname.get(), text.get()));
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

}  // namespace packweaver::py
