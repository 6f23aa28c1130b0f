// Internal faults: violated internal assumptions in native code.
//
// A fault is thrown as a `Panic` and caught at every place where Python enters
// native code, where it is reported on standard error and raised as the
// module's PanicException. Failures that ordinary input can cause are never
// faults: they are returned as error values.
//
// A Panic is a std::exception (what() is its message), so that a C++ caller
// that catches those sees it. A catch-all, or a handler of std::exception,
// in a thread that CPython may end must still let the forced unwind pass
// first (ROTALINK_PASS_FORCED_UNWIND, below): abi::__forced_unwind is not a
// std::exception, and a Panic is never one.
#pragma once

#include <exception>
#include <string>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace rotalink {

struct Panic : std::exception {
    Panic(std::string text, const char* at_file, int at_line)
        : message(std::move(text)), file(at_file), line(at_line) {}
    const char* what() const noexcept override { return message.c_str(); }

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

// Put before a catch-all: the forced unwind of a thread that is being ended
// (pthread_exit, a cancellation) must leave every handler untouched, or the
// C library aborts the process ("exception not rethrown").
//
// A function with such a handler is marked ROTALINK_FORCED_UNWIND_HANDLER:
// the runtime binds the handler's reference to no object (a forced unwind
// carries none), which UndefinedBehaviorSanitizer would report as a null
// reference. (GCC drops that check only with all of the sanitizer's checks
// for the function; it does not inline checked code into it, so what the
// function calls stays checked.)
#if defined(__GLIBCXX__)
#define ROTALINK_PASS_FORCED_UNWIND \
    catch (abi::__forced_unwind&) {  \
        throw;                       \
    }
#define ROTALINK_FORCED_UNWIND_HANDLER __attribute__((no_sanitize("undefined")))
#else
#define ROTALINK_PASS_FORCED_UNWIND
#define ROTALINK_FORCED_UNWIND_HANDLER
#endif
