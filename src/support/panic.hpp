// Internal faults: violated internal assumptions in native code.
//
// A fault is thrown as a `Panic` and caught at every place where Python enters
// native code, where it is reported on standard error and raised as the
// module's PanicException. Failures that ordinary input can cause are never
// faults: they are returned as error values.
#pragma once

#include <string>

namespace rotalink {

struct Panic {
    std::string message;
    const char* file;
    int line;
};

[[noreturn]] void panic_at(std::string message, const char* file, int line);

}  // namespace rotalink

#define ROTALINK_PANIC(msg) ::rotalink::panic_at((msg), __FILE__, __LINE__)
#define ROTALINK_ASSERT(cond, msg)          \
    do {                                    \
        if (!(cond)) ROTALINK_PANIC(msg);   \
    } while (0)
