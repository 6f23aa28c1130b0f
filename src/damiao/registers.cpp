#include "damiao/registers.hpp"

#include <cstring>

namespace rotalink::damiao {
namespace {

const RegisterInfo kRegisters[] = {
    {kControlModeRegister, "CONTROL_MODE", RegisterKind::Uint32, true},
};

}  // namespace

const char* kind_name(RegisterKind kind) {
    return kind == RegisterKind::Float ? "Float" : "Uint32";
}

const RegisterInfo* find_register(std::uint8_t number) {
    for (const RegisterInfo& r : kRegisters) {
        if (r.number == number) return &r;
    }
    return nullptr;
}

float RegisterValue::as_float() const {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace rotalink::damiao
