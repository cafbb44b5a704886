// The one place that includes the interpreter's headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

namespace packweaver::py {

// The value of an exact int that is small (held in at most one internal
// digit, or compact), without a call into the interpreter. Returns false
// for any other int; the caller then takes the general road.
inline bool small_int_value(PyObject* o, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(l)) return false;
    out = static_cast<long long>(PyUnstable_Long_CompactValue(l));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(o);
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (size == 0) {
        out = 0;
    } else if (size == 1) {
        out = static_cast<long long>(l->ob_digit[0]);
    } else if (size == -1) {
        out = -static_cast<long long>(l->ob_digit[0]);
    } else {
        return false;
    }
    return true;
#endif
}

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
