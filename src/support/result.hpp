// A value or an error: every fallible native operation returns one.
#pragma once

#include <utility>
#include <variant>

#include "support/panic.hpp"

namespace rotalink {

// The value of an operation that succeeds with nothing to return.
struct Unit {};

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        ROTALINK_ASSERT(ok(), "called value() on an error result");
        return *std::get_if<0>(&v_);
    }
    const T& value() const& {
        ROTALINK_ASSERT(ok(), "called value() on an error result");
        return *std::get_if<0>(&v_);
    }
    T&& value() && {
        ROTALINK_ASSERT(ok(), "called value() on an error result");
        return std::move(*std::get_if<0>(&v_));
    }
    E& error() & {
        ROTALINK_ASSERT(!ok(), "called error() on a successful result");
        return *std::get_if<1>(&v_);
    }
    const E& error() const& {
        ROTALINK_ASSERT(!ok(), "called error() on a successful result");
        return *std::get_if<1>(&v_);
    }
    E&& error() && {
        ROTALINK_ASSERT(!ok(), "called error() on a successful result");
        return std::move(*std::get_if<1>(&v_));
    }

private:
    std::variant<T, E> v_;
};

}  // namespace rotalink
