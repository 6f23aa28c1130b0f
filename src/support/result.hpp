// A value or an error: every fallible native operation returns one. The
// template is the public one (include/rotalink/result.hpp), so that the core
// and the C++ face share it; the core names its own error types as `E`.
#pragma once

#include "rotalink/result.hpp"
#include "support/panic.hpp"
