// The fault of reading a Result's value from an error, or its error from a
// value: an internal fault, never an ordinary error.
#include "support/result.hpp"

namespace rotalink::detail {

void result_misuse(const char* what) { ROTALINK_PANIC(what); }

}  // namespace rotalink::detail
