// An embedded interpreter with `rotalink` registered as a built-in module,
// for tests that drive the binding from native code (internal faults,
// sub-interpreters, fake buses).
#pragma once

#include "python/call.hpp"

#include <string>

namespace rotalink::testing {

// Starts the interpreter once per test binary; `rotalink` is importable.
void ensure_interpreter();

// Runs Python statements in a fresh namespace that holds `rotalink`, any
// names added with `expose` and the helper check_raises(cases), each case a
// (call, exception type, message or None); returns "" on success or the
// formatted error.
std::string run(const std::string& code);

// Adds a callable, named `name`, to the namespaces of later `run` calls.
void expose(const char* name, PyCFunction fn, int flags);

// Adds an object (a new reference is taken) to the namespaces of later runs.
void expose_object(const char* name, PyObject* obj);

}  // namespace rotalink::testing
