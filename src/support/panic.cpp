#include "support/panic.hpp"

#include <utility>

namespace rotalink {

void panic_at(std::string message, const char* file, int line) {
    throw Panic{std::move(message), file, line};
}

}  // namespace rotalink
