#pragma once

#include "python/types.hpp"

namespace rotalink::py {

// The body of PyInit_rotalink: a new reference to the module, or nullptr
// with an exception set.
PyObject* init_module();

}  // namespace rotalink::py
