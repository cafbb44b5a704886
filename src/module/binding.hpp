// Binding of fast-call arguments to a function's parameter list, and the
// per-argument conversions that name the argument in their TypeError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../common/text.hpp"
#include "convert.hpp"
#include "python.hpp"

namespace packweaver::py {

inline constexpr std::size_t max_parameters = 6;

struct parameter {
    PyObject* name = nullptr;  // interned
    const char* text = nullptr;
};

// Parsed once at start-up from the function table's parameter list.
struct signature {
    const char* function = nullptr;
    parameter params[max_parameters];
    std::size_t count = 0;
    std::size_t required = 0;
    std::size_t positional = 0;  // parameters that may be given by position
};

// Parses "(value, bits, signed=False)": every parameter is positional-or-
// keyword (those after a "*" keyword only), and a "=default" makes it
// optional (its default is False).
bool parse_signature(const char* function, const char* params, signature& out);

bool bind_slow(const signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// Fills out[0..count) with borrowed references; an optional parameter left
// unfilled is nullptr. Returns false with TypeError set.
PW_INLINE bool bind(const signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    if (PW_LIKELY(kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.positional &&
                  sig.positional == sig.count)) {
        for (std::size_t i = 0; i < sig.count; ++i) out[i] = args[i];
        return true;
    }
    return bind_slow(sig, args, nargs, kwnames, out);
}

// Replaces a TypeError (exactly that type) with
// "argument '{name}': {message}", keeping the original's cause.
void prefix_argument_error(const char* name);

// One bound call: typed access to its arguments.
struct call {
    const signature& sig;
    PyObject* const* args;

    PyObject* arg(std::size_t i) const noexcept { return args[i]; }

    template <class T, bool (*Convert)(PyObject*, T&)>
    PW_INLINE bool get(std::size_t i, T& out) const {
        if (PW_LIKELY(Convert(args[i], out))) return true;
        prefix_argument_error(sig.params[i].text);
        return false;
    }

    bool i64(std::size_t i, std::int64_t& out) const { return get<std::int64_t, to_i64>(i, out); }
    bool u64(std::size_t i, std::uint64_t& out) const { return get<std::uint64_t, to_u64>(i, out); }
    bool size(std::size_t i, std::size_t& out) const { return get<std::size_t, to_size>(i, out); }
    bool f64(std::size_t i, double& out) const { return get<double, to_f64>(i, out); }
    bool f32(std::size_t i, float& out) const { return get<float, to_f32>(i, out); }
    bool text(std::size_t i, text_view& out) const { return get<text_view, to_text>(i, out); }
    bool bytes(std::size_t i, std::span<const std::uint8_t>& out) const {
        return get<std::span<const std::uint8_t>, to_bytes>(i, out);
    }
    bool u128(std::size_t i, std::uint64_t& high, std::uint64_t& low) const {
        if (PW_LIKELY(to_u128(args[i], high, low))) return true;
        prefix_argument_error(sig.params[i].text);
        return false;
    }
    // An optional flag: absent means False.
    bool flag(std::size_t i, bool& out) const {
        if (args[i] == nullptr) {
            out = false;
            return true;
        }
        return get<bool, to_bool>(i, out);
    }
};

}  // namespace packweaver::py
