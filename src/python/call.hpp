// Call conventions shared by every Python-visible callable of the module:
// the internal-fault guard, argument binding and conversion, result creation
// and the conversion of native errors into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/panic.hpp"

namespace rotalink::py {

// ---------------------------------------------------------------- faults

// Reports an internal fault on standard error and sets PanicException.
void raise_panic(const std::string& message, const char* file, int line) noexcept;

// The module's exception for internal faults, a direct subclass of
// BaseException; created on first use and kept for the life of the process.
PyObject* panic_exception_type() noexcept;

// Runs `body` (which returns a new reference or nullptr with an exception
// set). A fault inside is reported and raised as PanicException.
//
// A forced unwind is not a fault: the interpreter ends a thread that wants
// the interpreter lock back after finalization began by unwinding it
// (pthread_exit). That unwind passes through untouched, with no Python call
// on its way, which is also why `guard` is not noexcept.
template <class F>
ROTALINK_FORCED_UNWIND_HANDLER PyObject* guard(F&& body) {
    try {
        return body();
    }
    ROTALINK_PASS_FORCED_UNWIND
    catch (const Panic& p) {
        raise_panic(p.message, p.file, p.line);
    } catch (const std::bad_alloc&) {
        raise_panic("out of memory", __FILE__, __LINE__);
    } catch (const std::exception& e) {
        raise_panic(e.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic("native code failed an internal check", __FILE__, __LINE__);
    }
    return nullptr;
}

// A result object that the interpreter failed to create is an internal fault.
PyObject* must(PyObject* obj, const char* what);

// The Python error is pending: if none is, that is reported as SystemError.
PyObject* fail_with_pending();

// ------------------------------------------------------------- binding

// The parameters of one callable as the binding reads them; all are
// positional-or-keyword, the first `required` have no default.
struct Params {
    const char* name;  // as used in messages, e.g. "Damiao.__new__"
    const char* doc;   // "name(a, b=1)\n--\n\n" and any further text
    const char* const* params;
    int count;
    int required;
};

namespace doc_text {

// The text signature inside a doc "name(a, b=1)\n--\n\n...": the part
// from the first '(' to its ')'.
constexpr std::size_t open_paren(const char* doc) {
    std::size_t i = 0;
    while (doc[i] != '\0' && doc[i] != '(') ++i;
    return i;
}

// Whether the text signature in `doc` names exactly `params`, in order, with
// defaults on all but the first `required`; a leading "$self, " is the
// receiver, not a parameter.
constexpr bool matches(const char* doc, const char* const* params, int count, int required) {
    std::size_t i = open_paren(doc);
    if (doc[i] != '(') return false;
    ++i;
    if (doc[i] == '$') {
        while (doc[i] != '\0' && doc[i] != ',' && doc[i] != ')') ++i;
        if (doc[i] == ',') i += 2;
    }
    for (int p = 0; p < count; ++p) {
        if (p > 0) {
            if (doc[i] != ',' || doc[i + 1] != ' ') return false;
            i += 2;
        }
        std::size_t k = 0;
        for (; params[p][k] != '\0'; ++k, ++i) {
            if (doc[i] != params[p][k]) return false;
        }
        const bool has_default = doc[i] == '=';
        if (has_default != (p >= required)) return false;
        while (doc[i] != '\0' && doc[i] != ',' && doc[i] != ')') ++i;
    }
    return doc[i] == ')' && doc[i + 1] == '\n' && doc[i + 2] == '-' && doc[i + 3] == '-' &&
           doc[i + 4] == '\n' && doc[i + 5] == '\n';
}

}  // namespace doc_text

// One callable, declared once (with ROTALINK_SIGNATURE): the name used in
// messages, the doc that the interpreter reads its text signature from, and
// the parameter names. N sizes the array the binding fills (`Args`), and the
// declaration does not compile unless N and the text signature agree with
// the names.
template <int N>
struct Signature : Params {
    using Args = std::array<PyObject*, N>;

    constexpr bool doc_matches() const { return doc_text::matches(doc, params, count, required); }
};

// The doc of a callable from its Python name and text signature, in the form
// from which the interpreter splits off `__text_signature__`.
#define ROTALINK_DOC(name, text_signature) name text_signature "\n--\n\n"

// Declares `var`, a Signature<N> for the callable `name` with the parameter
// names that follow `required`, and checks it against its doc.
#define ROTALINK_SIGNATURE(var, N, name, doc, required, ...)                                     \
    constexpr const char* var##_params[] = {__VA_ARGS__};                                        \
    static_assert(sizeof(var##_params) / sizeof(var##_params[0]) == (N), #var ": N is not the "  \
                                                                          "number of names");    \
    constexpr ::rotalink::py::Signature<N> var{{name, doc, var##_params, N, required}};          \
    static_assert(var.doc_matches(), #var ": the text signature in the doc does not name the "   \
                                     "declared parameters")

// Binds the arguments of a fast-call (vector) call. On success `out[i]` is a
// borrowed reference or nullptr for an unbound parameter.
bool bind_vector(const Params& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out);

// Binds the arguments of a tuple-and-dict call (constructors).
bool bind_tuple(const Params& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <int N>
bool bind_vector(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 typename Signature<N>::Args& out) {
    return bind_vector(static_cast<const Params&>(sig), args, nargs, kwnames, out.data());
}

template <int N>
bool bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs,
                typename Signature<N>::Args& out) {
    return bind_tuple(static_cast<const Params&>(sig), args, kwargs, out.data());
}

// ---------------------------------------------------------- conversion
// Each returns false with a Python exception set; a TypeError from the
// conversion is already prefixed with "argument '<name>': ".

bool to_f32(PyObject* obj, const char* name, float& out);
bool to_f64(PyObject* obj, const char* name, double& out);
bool to_u16(PyObject* obj, const char* name, std::uint16_t& out);
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool to_text(PyObject* obj, const char* name, std::string& out);
// A bytes-like object (a C-contiguous buffer): its length in `len`, and its
// first min(len, cap) bytes copied to `out`.
bool to_bytes(PyObject* obj, const char* name, std::uint8_t* out, std::size_t cap, std::size_t& len);
// `obj` must be an instance of `type`.
bool check_instance(PyObject* obj, PyTypeObject* type, const char* name);

// Replaces a pending TypeError by one whose message starts with the argument
// prefix; other exceptions are left as they are.
void prefix_type_error(const char* name);

// The __name__ of a type, for messages.
const char* type_name(PyTypeObject* type);

// ----------------------------------------------------------- results

PyObject* new_float(float v);
PyObject* new_int(unsigned long v);
PyObject* new_text(const std::string& s);

// ----------------------------------------------------- native errors

// An error of a native operation, kept until the callable returns and only
// then raised as `type(message)`.
struct PendingError {
    PyObject* type;
    std::string message;
};

PyObject* raise(const PendingError& e);

}  // namespace rotalink::py
