// Method-table entries made from a callable's Signature: the Python-visible
// name (the doc's text before '('), the calling convention and the doc come
// from the one declaration, so the table cannot disagree with it.
#pragma once

#include <array>
#include <cstddef>

#include "python/call.hpp"
#include "python/types.hpp"

namespace rotalink::py {

namespace doc_text {

// Whether `name` (as used in messages: "Damiao.enable", "mit_setpoint") ends
// in the name before '(' in `doc`, after a '.' or as the whole of it.
constexpr bool names_callable(const char* name, const char* doc) {
    const std::size_t short_len = open_paren(doc);
    std::size_t len = 0;
    while (name[len] != '\0') ++len;
    if (short_len == 0 || len < short_len) return false;
    const std::size_t start = len - short_len;
    if (start > 0 && name[start - 1] != '.') return false;
    for (std::size_t i = 0; i < short_len; ++i) {
        if (name[start + i] != doc[i]) return false;
    }
    return true;
}

}  // namespace doc_text

// A callable that takes no argument (besides its receiver, if any).
#define ROTALINK_NO_PARAMS(var, name, doc)                                                      \
    constexpr ::rotalink::py::Signature<0> var{{name, doc, nullptr, 0, 0}};                     \
    static_assert(var.doc_matches(), #var ": the text signature in the doc takes parameters")

// The Python-visible name of the callable `*Sig`, as a NUL-terminated text
// of static storage.
template <const auto* Sig>
struct MethodName {
    static constexpr std::size_t length = doc_text::open_paren(Sig->doc);
    static_assert(doc_text::names_callable(Sig->name, Sig->doc),
                  "the name in messages and the name in the doc differ");

    static constexpr std::array<char, length + 1> make() {
        std::array<char, length + 1> out{};
        for (std::size_t i = 0; i < length; ++i) out[i] = Sig->doc[i];
        return out;
    }
    static constexpr std::array<char, length + 1> text = make();
};

// A callable taking its arguments by the fast-call convention with keywords
// (bound with bind_vector).
template <const auto* Sig>
PyMethodDef method(FastWithKeywords f) {
    return {MethodName<Sig>::text.data(), as_cfunction(f), METH_FASTCALL | METH_KEYWORDS, Sig->doc};
}

// A method taking no argument.
template <const auto* Sig>
PyMethodDef method(PyCFunction f) {
    static_assert(Sig->count == 0, "a method of no argument is declared with ROTALINK_NO_PARAMS");
    return {MethodName<Sig>::text.data(), f, METH_NOARGS, Sig->doc};
}

// A static method taking no argument.
template <const auto* Sig>
PyMethodDef static_method(PyCFunction f) {
    static_assert(Sig->count == 0, "a method of no argument is declared with ROTALINK_NO_PARAMS");
    return {MethodName<Sig>::text.data(), f, METH_STATIC | METH_NOARGS, Sig->doc};
}

}  // namespace rotalink::py
