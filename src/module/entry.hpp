// The one entry trampoline of every module function and Recipe method: binds
// the fast-call arguments, runs the body, and lets no C++ exception unwind
// into the interpreter. And the recursion guard the entries that can call
// back into Python take before they convert anything.
#pragma once

#include <exception>
#include <new>

#include "binding.hpp"
#include "python.hpp"

namespace packweaver::py {

// Conversion hooks (and __index__ of an argument) may call the module again:
// let deep recursion end in RecursionError rather than in an overflowed C
// stack. The interpreter's guard alone is not enough from 3.12 on, where it
// counts C calls apart from Python frames: every level here also runs a
// Python hook, and a thread's stack (1 MiB, say) can run out long before
// either limit. So the module also bounds its own nesting on each thread.
inline constexpr int max_engine_nesting = 50;

class recursion_guard {
public:
    explicit recursion_guard(const char* where) noexcept : depth_(depth) {
        if (depth_ >= max_engine_nesting) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
        entered_ = Py_EnterRecursiveCall(where) == 0;
        if (entered_) ++depth_;
    }
    recursion_guard(const recursion_guard&) = delete;
    recursion_guard& operator=(const recursion_guard&) = delete;
    ~recursion_guard() {
        if (!entered_) return;
        --depth_;
        Py_LeaveRecursiveCall();
    }
    explicit operator bool() const noexcept { return entered_; }

private:
    static inline thread_local int depth = 0;
    int& depth_;  // this thread's, looked up once
    bool entered_ = false;
};

namespace detail {
PW_COLD inline PyObject* internal_fault(const char* what) noexcept {
    PyErr_Format(PyExc_SystemError, "packweaver internal error: %s", what);
    return nullptr;
}
}  // namespace detail

// Runs body(call) on the bound arguments of a fast call.
template <class Body>
PW_INLINE PyObject* run_entry(const signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              Body&& body) noexcept {
    PyObject* bound[max_parameters] = {};
    if (PW_UNLIKELY(!bind(sig, args, nargs, kwnames, bound))) return nullptr;
    try {
        return body(call{sig, bound});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return detail::internal_fault(e.what());
    } catch (...) {
        return detail::internal_fault("unknown exception");
    }
}

}  // namespace packweaver::py
