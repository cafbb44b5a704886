// The failure value every operation returns instead of throwing, and a small
// result type that carries either a value or such a failure.
//
// A success allocates nothing: the error lives behind a pointer that stays
// null on the hot path, so result<T> is a T plus one word.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "platform.hpp"

namespace packweaver {

enum class error_kind {
    value_error,
    key_error,
    not_implemented_error,
    type_error,
    // The host interpreter already holds an exception (a failed conversion of
    // a Python value, or a failed allocation); the message is empty.
    pending,
};

struct error {
    error_kind kind;
    std::string message;
};

PW_COLD inline error make_error(error_kind kind, std::string message) {
    return error{kind, std::move(message)};
}
PW_COLD inline error value_error(std::string message) {
    return error{error_kind::value_error, std::move(message)};
}
PW_COLD inline error pending_error() { return error{error_kind::pending, {}}; }

template <class T>
class [[nodiscard]] result {
public:
    result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
    result(error e) : error_(std::make_unique<error>(std::move(e))) {}  // NOLINT

    [[nodiscard]] bool ok() const noexcept { return !error_; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() noexcept { return value_; }
    const T& value() const noexcept { return value_; }
    T& operator*() noexcept { return value_; }
    const T& operator*() const noexcept { return value_; }

    const error& err() const noexcept { return *error_; }
    error take_error() noexcept { return std::move(*error_); }

private:
    T value_{};
    std::unique_ptr<error> error_;
};

// For operations that produce nothing but may fail.
struct unit {};
using status = result<unit>;
inline status success() { return unit{}; }

}  // namespace packweaver
