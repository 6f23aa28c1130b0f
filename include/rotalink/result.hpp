// A value or an error: every call of rotalink that can fail for an ordinary
// reason (a bus that does not answer, an argument out of range) returns one,
// and never throws for it.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "rotalink/export.hpp"

namespace rotalink {

// An ordinary failure: what went wrong, in the words the Python module raises
// them with, and a coarse kind to branch on.
class Error {
public:
    enum class Kind : std::uint8_t {
        InvalidArgument,  // refused before anything was sent (Python: ValueError)
        Os,               // the operating system refused (Python: OSError)
        Device,           // a motor or the bus failed an exchange (Python: RuntimeError)
        Group,            // members of a group failed (Python: GroupError)
        LoopStopped,      // the control loop is not running (Python: RuntimeError)
        Timeout,          // a wait ran out (Python: TimeoutError)
        Busy,             // the group's control loop runs (Python: RuntimeError)
    };

    Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }

private:
    Kind kind_;
    std::string message_;
};

// The value of a call that succeeds with nothing to return.
struct Unit {};

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

namespace detail {
// Reading the value of an error, or the error of a value: a fault of the
// program, not an ordinary error. Throws rotalink's internal fault.
[[noreturn]] ROTALINK_API void result_misuse(const char* what);
}  // namespace detail

// `ok()` tells which it holds; `value()` and `error()` read it. Reading the
// one it does not hold is a programming error (an exception is thrown).
template <class T, class E = Error>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        if (!ok()) detail::result_misuse("called value() on an error result");
        return *std::get_if<0>(&v_);
    }
    const T& value() const& {
        if (!ok()) detail::result_misuse("called value() on an error result");
        return *std::get_if<0>(&v_);
    }
    T&& value() && {
        if (!ok()) detail::result_misuse("called value() on an error result");
        return std::move(*std::get_if<0>(&v_));
    }
    E& error() & {
        if (ok()) detail::result_misuse("called error() on a successful result");
        return *std::get_if<1>(&v_);
    }
    const E& error() const& {
        if (ok()) detail::result_misuse("called error() on a successful result");
        return *std::get_if<1>(&v_);
    }
    E&& error() && {
        if (ok()) detail::result_misuse("called error() on a successful result");
        return std::move(*std::get_if<1>(&v_));
    }

private:
    std::variant<T, E> v_;
};

}  // namespace rotalink
