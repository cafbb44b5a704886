#include "binding.hpp"

#include <cstring>
#include <string>

#include "errors.hpp"

namespace packweaver::py {

bool parse_signature(const char* function, const char* params, signature& out) {
    out.function = function;
    out.count = 0;
    out.required = 0;
    out.positional = SIZE_MAX;
    // params looks like "(a, b, c=False)"; parameter texts are kept as
    // NUL-terminated copies for the lifetime of the process.
    std::string list(params);
    if (list.size() < 2 || list.front() != '(' || list.back() != ')') {
        PyErr_Format(PyExc_SystemError, "malformed parameter list for %s", function);
        return false;
    }
    list = list.substr(1, list.size() - 2);
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find(", ", start);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(start, end - start);
        if (item == "*") {
            out.positional = out.count;
            start = end + 2;
            continue;
        }
        const std::size_t eq = item.find('=');
        const bool optional = eq != std::string::npos;
        if (optional) item.resize(eq);
        if (out.count == max_parameters) {
            PyErr_Format(PyExc_SystemError, "too many parameters for %s", function);
            return false;
        }
        PyObject* name = PyUnicode_InternFromString(item.c_str());
        if (!name) return false;
        char* text = new char[item.size() + 1];
        std::memcpy(text, item.c_str(), item.size() + 1);
        out.params[out.count] = parameter{name, text};
        ++out.count;
        if (!optional) out.required = out.count;
        start = end + 2;
    }
    if (out.positional == SIZE_MAX) out.positional = out.count;
    return true;
}

namespace {

PW_COLD bool too_many_positional(const signature& sig, Py_ssize_t given) {
    const std::size_t most = sig.positional;
    const char* plural = most == 1 ? "" : "s";
    if (sig.required >= most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", sig.function,
                     most, plural, given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     sig.function, sig.required, most, given, given == 1 ? "was" : "were");
    }
    return false;
}

PW_COLD bool missing_arguments(const signature& sig, PyObject** out) {
    std::string names;
    std::size_t missing[max_parameters];
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (out[i] == nullptr) missing[n++] = i;
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) names += n == 2 ? " and " : (k + 1 == n ? ", and " : ", ");
        names += "'";
        names += sig.params[missing[k]].text;
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function, n,
                 n == 1 ? "" : "s", names.c_str());
    return false;
}

// Index of the parameter named by a keyword, or -1.
Py_ssize_t find_parameter(const signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.count; ++i)
        if (sig.params[i].name == key) return static_cast<Py_ssize_t>(i);
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < sig.count; ++i) {
        const int eq = PyUnicode_Compare(sig.params[i].name, key);
        if (eq == 0) return static_cast<Py_ssize_t>(i);
    }
    PyErr_Clear();
    return -1;
}

}  // namespace

bool bind_slow(const signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (static_cast<std::size_t>(nargs) > sig.positional) return too_many_positional(sig, nargs);
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = find_parameter(sig, key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
                return false;
            }
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                             sig.params[i].text);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; i < sig.required; ++i)
        if (out[i] == nullptr) return missing_arguments(sig, out);
    return true;
}

PW_COLD void prefix_argument_error(const char* name) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {  // a subclass keeps its own message
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    ref t(type), v(value), tb(traceback);
    ref text(PyObject_Str(v.get()));
    if (!text) return;
    ref message(PyUnicode_FromFormat("argument '%s': %S", name, text.get()));
    if (!message) return;
    ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace packweaver::py
