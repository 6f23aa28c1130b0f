// Call conventions shared by every Python-visible callable of the module:
// the internal-fault guard, argument binding and conversion, result creation
// and the conversion of native errors into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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
template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body();
    } catch (const Panic& p) {
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

// The parameters of one callable; all are positional-or-keyword, the first
// `required` have no default.
struct Signature {
    const char* name;  // as used in messages, e.g. "Damiao.__new__"
    const char* const* params;
    int count;
    int required;
};

constexpr int kMaxParams = 8;

// Binds the arguments of a fast-call (vector) call. On success `out[i]` is a
// borrowed reference or nullptr for an unbound parameter.
bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out);

// Binds the arguments of a tuple-and-dict call (constructors).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// ---------------------------------------------------------- conversion
// Each returns false with a Python exception set; a TypeError from the
// conversion is already prefixed with "argument '<name>': ".

bool to_f32(PyObject* obj, const char* name, float& out);
bool to_u16(PyObject* obj, const char* name, std::uint16_t& out);
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool to_text(PyObject* obj, const char* name, std::string& out);
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
