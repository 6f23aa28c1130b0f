#include "damiao/control.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "support/float_text.hpp"

namespace rotalink::damiao {

using transport::CanFrame;

mit::MitSetpoint as_mit(const Setpoint& s) {
    return mit::MitSetpoint{s.values[0], s.values[1], s.values[2], s.values[3], s.values[4]};
}

namespace {

void put_le(CanFrame& frame, std::uint32_t bits, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) frame.data.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

// A U16 field: clamped to [0, max], scaled and rounded in 32-bit float.
std::uint16_t scaled(float value, const CommandField& f) {
    const float clamped = value < 0.0f ? 0.0f : value > f.max ? f.max : value;
    return static_cast<std::uint16_t>(std::round(clamped * f.scale));
}

}  // namespace

std::string id_text(std::uint32_t id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%03x", static_cast<unsigned>(id));
    return buf;
}

Result<CanFrame, Error> make_control(std::uint16_t motor_id, const mit::MitLimits& limits,
                                     const Setpoint& setpoint) {
    ROTALINK_ASSERT(setpoint.kind < kCommandKindCount, "a setpoint of no command kind");
    const CommandKind& kind = kCommandKinds[setpoint.kind];
    const std::uint32_t id = control_id(motor_id, setpoint.kind);
    if (id >= kRegisterId) {
        return err(Error::invalid_command(std::string("the ") + kind.mode_name + " command identifier " +
                                          id_text(id) + " (" + id_text(kind.id_offset) + " + motor_id " +
                                          id_text(motor_id & 0x7FFu) + ") " +
                                          (id == kRegisterId ? "is the register identifier"
                                                             : "is past the standard range 0x7ff")));
    }
    CanFrame frame;
    frame.id = transport::CanId::standard(id);
    if (kind.fields[0].wire == Wire::Mit) {
        Result<mit::Payload, mit::LimitDomainError> payload = mit::encode(limits, as_mit(setpoint));
        if (!payload.ok()) return err(Error::limit_domain(payload.error()));
        frame.data.assign(payload.value().begin(), payload.value().end());
        return frame;
    }
    for (std::size_t i = 0; i < kind.field_count; ++i) {
        const CommandField& f = kind.fields[i];
        const float v = setpoint.values[i];
        if (!std::isfinite(v)) {
            return err(Error::invalid_command(std::string(kind.value_class) + "." + f.name +
                                              " must be finite, got " + float_short(v)));
        }
        if (f.wire == Wire::F32) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &v, sizeof bits);
            put_le(frame, bits, 4);
        } else {
            put_le(frame, scaled(v, f), 2);
        }
    }
    return frame;
}

std::string repr(const Setpoint& s) {
    const CommandKind& kind = kCommandKinds[s.kind];
    std::string out = std::string(kind.value_class) + "(";
    for (std::size_t i = 0; i < kind.field_count; ++i) {
        if (i > 0) out += ", ";
        out += std::string(kind.fields[i].name) + "=" + float_short(s.values[i]);
    }
    return out + ")";
}

}  // namespace rotalink::damiao
