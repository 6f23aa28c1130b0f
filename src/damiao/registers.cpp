#include "damiao/registers.hpp"

#include <cstring>

namespace rotalink::damiao {
const char* kind_name(RegisterKind kind) {
    return kind == RegisterKind::Float ? "Float" : "Uint32";
}

float RegisterValue::as_float() const {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace rotalink::damiao
