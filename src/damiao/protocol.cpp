#include "damiao/protocol.hpp"

namespace rotalink::damiao {

using transport::CanFrame;

namespace {

// Every frame the module sends: a classic data frame of 8 bytes.
CanFrame classic(transport::CanId id, const mit::Payload& payload) {
    CanFrame frame;
    frame.id = id;
    frame.data.assign(payload.data(), payload.data() + payload.size());
    return frame;
}

}  // namespace

std::string status_text(std::uint8_t code) {
    for (const StatusCode& s : kStatuses) {
        if (s.code == code) return s.name;
    }
    return std::to_string(code);
}

mit::Payload special_payload(std::uint8_t command) {
    return {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, command};
}

CanFrame make_command(std::uint16_t motor_id, const mit::Payload& payload) {
    return classic(command_id(motor_id), payload);
}

CanFrame make_special(std::uint16_t motor_id, std::uint8_t command) {
    return make_command(motor_id, special_payload(command));
}

std::optional<CanFrame> make_special_for(std::uint16_t motor_id, std::uint8_t command, std::size_t kind) {
    const std::uint32_t id = control_id(motor_id, kind);
    if (id >= kRegisterId) return std::nullopt;
    return classic(transport::CanId::standard(id), special_payload(command));
}

Result<mit::MotorState, Error> parse_feedback(const mit::MitLimits& limits, const CanFrame& frame) {
    if (frame.data.size() < 8) return err(Error::short_reply(frame.data.size()));
    return mit::decode(limits, mit::first_payload(frame.data));
}

mit::Payload register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg,
                              std::uint32_t value) {
    return {static_cast<std::uint8_t>(motor_id & 0xFF),
            static_cast<std::uint8_t>(motor_id >> 8),
            op,
            reg,
            static_cast<std::uint8_t>(value & 0xFF),
            static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>((value >> 16) & 0xFF),
            static_cast<std::uint8_t>(value >> 24)};
}

CanFrame make_register_read(std::uint16_t motor_id, std::uint8_t reg) {
    return classic(transport::CanId::standard(kRegisterId),
                   register_request(motor_id, kReadRegister, reg, 0));
}

CanFrame make_register_write(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t bits) {
    return classic(transport::CanId::standard(kRegisterId),
                   register_request(motor_id, kWriteRegister, reg, bits));
}

CanFrame make_refresh(std::uint16_t motor_id) {
    return classic(transport::CanId::standard(kRegisterId),
                   register_request(motor_id & 0x7FFu, kRefresh, 0, 0));
}

CanFrame make_save_parameters(std::uint16_t motor_id) {
    return classic(transport::CanId::standard(kRegisterId),
                   register_request(motor_id & 0x7FFu, kSaveParameters, kSaveParametersArg, 0));
}

std::optional<RegisterFrame> register_frame(const CanFrame& f) {
    if (f.remote || f.error || f.data.size() != 8) return std::nullopt;
    const std::uint8_t op = f.data[2];
    if (op != kReadRegister && op != kWriteRegister) return std::nullopt;
    const auto byte = [&f](std::size_t i) { return std::uint32_t{f.data[i]}; };
    return RegisterFrame{static_cast<std::uint16_t>(byte(0) | (byte(1) << 8)), op, f.data[3],
                         byte(4) | (byte(5) << 8) | (byte(6) << 16) | (byte(7) << 24)};
}

std::optional<RegisterFrame> register_reply(const CanFrame& f) {
    if (f.id == transport::CanId::standard(kRegisterId)) return std::nullopt;
    std::optional<RegisterFrame> r = register_frame(f);
    if (!r || r->op != kReadRegister) return std::nullopt;
    return r;
}

bool is_register_frame(const CanFrame& f, std::uint16_t motor_id) {
    const std::optional<RegisterFrame> r = register_frame(f);
    return r && r->motor == (motor_id & 0x7FFu);
}

bool is_feedback(const CanFrame& f, std::uint16_t motor_id, std::uint16_t master_id) {
    return is_feedback_from(f, master_id) && !f.remote && !f.error && !is_register_frame(f, motor_id);
}

bool is_register_reply(const CanFrame& f, std::uint16_t motor_id, std::uint8_t reg) {
    const std::optional<RegisterFrame> r = register_reply(f);
    return r && r->motor == (motor_id & 0x7FFu) && r->reg == reg;
}

RegisterValue parse_register_reply(RegisterKind kind, const CanFrame& f) {
    const std::optional<RegisterFrame> r = register_frame(f);
    ROTALINK_ASSERT(r.has_value(), "parse_register_reply takes a frame that is_register_reply accepted");
    return RegisterValue{kind, r->bits};
}

}  // namespace rotalink::damiao
