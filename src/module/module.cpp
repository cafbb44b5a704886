// Module initialisation: builds the module object once and adds every
// function of the table, in order, to the module and to __all__.
#include <array>
#include <exception>
#include <new>
#include <utility>

#include "entry.hpp"
#include "function_table.hpp"
#include "array_functions.hpp"
#include "framing_object.hpp"
#include "recipe_object.hpp"
#include "recipe_type.hpp"

// The package version, passed in by the build (see CMakeLists.txt).
#ifndef PACKWEAVER_VERSION
#define PACKWEAVER_VERSION "0+unknown"
#endif

namespace packweaver::py {
namespace {

std::array<signature, function_count> signatures;
std::array<PyMethodDef, function_count> method_defs;
std::array<std::string, function_count> docstrings;

// The module is built once per process, by the first interpreter that
// imports it; the functions keep process-wide state (interned names) that
// cannot be shared with another interpreter.
PyObject* built_module = nullptr;
std::int64_t owner_interpreter = -1;

template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry(signatures[I], args, nargs, kwnames, functions[I].body);
}

using fastcall_fn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<fastcall_fn, sizeof...(I)> make_entries(std::index_sequence<I...>) {
    return {&entry<I>...};
}

constexpr auto entries = make_entries(std::make_index_sequence<function_count>{});

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "packweaver",
    "",       // an empty docstring
    0,        // no per-module state
    nullptr,  // functions are added at initialisation, from the table
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* build_module() {
    if (!init_recipe_names() || !init_exact_items()) return nullptr;
    ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    ref all(PyList_New(0));
    if (!all) return nullptr;
    ref module_name(PyUnicode_FromString("packweaver"));
    if (!module_name) return nullptr;
    for (std::size_t i = 0; i < function_count; ++i) {
        const function_def& f = functions[i];
        if (!parse_signature(f.name, f.params, signatures[i])) return nullptr;
        // "name(params)\n--\n\n": the interpreter reads the text signature
        // from the docstring and shows no further text.
        docstrings[i] = std::string(f.name) + f.params + "\n--\n\n";
        // A fast-call entry is stored under the generic signature, as the
        // interpreter's flags tell it how to call it back.
        method_defs[i] = PyMethodDef{f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i])), METH_FASTCALL | METH_KEYWORDS, docstrings[i].c_str()};
        ref fn(PyCFunction_NewEx(&method_defs[i], module.get(), module_name.get()));
        if (!fn) return nullptr;
        ref name(PyUnicode_FromString(f.name));
        if (!name) return nullptr;
        if (PyList_Append(all.get(), name.get()) < 0) return nullptr;
        if (PyObject_SetAttrString(module.get(), f.name, fn.get()) < 0) return nullptr;
    }
    // Recipe is a module attribute, like __version__; __all__ names the functions.
    if (!add_recipe_type(module.get())) return nullptr;
    if (!add_framing_types(module.get())) return nullptr;
    if (!add_array_functions(module.get())) return nullptr;
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
    if (PyModule_AddStringConstant(module.get(), "__version__", PACKWEAVER_VERSION) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace packweaver::py

PyMODINIT_FUNC PyInit_packweaver(void) {
    using namespace packweaver::py;
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    if (built_module != nullptr) {
        if (id != owner_interpreter) {
            PyErr_SetString(PyExc_ImportError, "packweaver does not support sub-interpreters");
            return nullptr;
        }
        Py_INCREF(built_module);
        return built_module;
    }
    try {
        PyObject* module = build_module();
        if (!module) return nullptr;
        built_module = module;
        owner_interpreter = id;
        Py_INCREF(built_module);  // kept for the life of the process
        return built_module;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "packweaver: initialisation failed");
        return nullptr;
    }
}
