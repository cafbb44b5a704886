// Bodies of pack_parameters and unpack_parameters. Failures of the engines
// reach the caller as ValueError "{kind}: {message}"; failures to convert the
// arguments themselves are raised as they are.
#pragma once

#include "unpack_engine.hpp"
#include "pack_engine.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "recipe.hpp"

namespace packweaver::py {

PW_COLD inline PyObject* engine_failure(const error& e) {
    raise(e);
    return rewrap_engine_failure();
}

inline bool recipe_argument(const call& c, std::size_t i, item_list& items) {
    if (PW_LIKELY(to_recipe(c.arg(i), items))) return true;
    prefix_argument_error(c.sig.params[i].text);
    return false;
}

// Conversion hooks of recipe values may call the engines again: let deep
// recursion end in RecursionError rather than in an overflowed C stack. The
// interpreter's guard alone is not enough from 3.12 on, where it counts C
// calls apart from Python frames: every level here also runs a Python hook,
// and a thread's stack (1 MiB, say) can run out long before either limit.
// So the engines also bound their own nesting on each thread.
inline constexpr int max_engine_nesting = 50;

class recursion_guard {
public:
    explicit recursion_guard(const char* where) noexcept {
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
    static inline thread_local int depth_ = 0;
    bool entered_ = false;
};

inline PyObject* pack_parameters(const call& c) {
    item_list items;
    if (!recipe_argument(c, 0, items)) return nullptr;
    recursion_guard guard(" while packing parameters");
    if (!guard) return nullptr;
    auto r = build_packet(items);
    if (PW_UNLIKELY(!r)) return engine_failure(r.err());
    return *r;
}

inline PyObject* unpack_parameters(const call& c) {
    std::span<const std::uint8_t> packet;
    std::size_t offset;
    item_list items;
    if (!c.bytes(0, packet) || !c.size(1, offset) || !recipe_argument(c, 2, items)) return nullptr;
    recursion_guard guard(" while unpacking parameters");
    if (!guard) return nullptr;
    auto r = process_recipe(packet, offset, items);
    if (PW_UNLIKELY(!r)) return engine_failure(r.err());
    return *r;
}

}  // namespace packweaver::py
