// The one place that includes the interpreter's headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../common/platform.hpp"

namespace packweaver::py {

// An owned reference, released at scope exit.
class ref {
public:
    ref() noexcept = default;
    explicit ref(PyObject* p) noexcept : p_(p) {}
    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ref(ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ref& operator=(ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace packweaver::py
