#include "damiao/driver.hpp"

#include <chrono>
#include <cstring>
#include <thread>

namespace rotalink::damiao {

using transport::CanFrame;
using transport::CanId;

mit::Payload special_payload(std::uint8_t command) {
    return {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, command};
}

Result<mit::MotorState, Error> Damiao::cmd_motor_id(transport::CanTransport& bus,
                                                    const mit::Payload& data) const {
    const CanFrame frame{CanId::standard(motor_id & 0x7FFu), {data.begin(), data.end()}, false, false};
    const CanId expected = CanId::standard(master_id & 0x7FFu);
    Result<CanFrame, transport::TransportError> reply = transport::request(bus, frame, expected, timeout);
    if (!reply.ok()) return err(Error::transport(std::move(reply).error()));
    const CanFrame& f = reply.value();
    if (f.data.size() < 8) return err(Error::short_reply(f.data.size()));
    return mit::decode(limits, f.data.data());
}

Result<mit::MotorState, Error> Damiao::enable(transport::CanTransport& bus) const {
    return cmd_motor_id(bus, special_payload(kEnable));
}

Result<mit::MotorState, Error> Damiao::disable(transport::CanTransport& bus) const {
    return cmd_motor_id(bus, special_payload(kDisable));
}

Result<mit::MotorState, Error> Damiao::set_zero(transport::CanTransport& bus) const {
    return cmd_motor_id(bus, special_payload(kSetZero));
}

Result<mit::MotorState, Error> Damiao::clear_error(transport::CanTransport& bus) const {
    return cmd_motor_id(bus, special_payload(kClearError));
}

Result<mit::MotorState, Error> Damiao::mit_control(transport::CanTransport& bus,
                                                   const mit::MitSetpoint& setpoint) const {
    Result<mit::Payload, mit::LimitDomainError> payload = mit::encode(limits, setpoint);
    if (!payload.ok()) return err(Error::limit_domain(payload.error()));
    return cmd_motor_id(bus, payload.value());
}

namespace {

const RegisterInfo kRegisters[] = {
    {kControlModeRegister, "CONTROL_MODE", RegisterKind::Uint32, true},
};

constexpr std::chrono::milliseconds kModeSwitchPause{100};

bool is_register_reply(const CanFrame& f, std::uint8_t reg) {
    return f.data.size() == 8 && f.data[2] == kReadRegister && f.data[3] == reg;
}

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// The control mode as read: of kind Uint32, and whether it equals `mode`.
Result<bool, Error> mode_matches(const Result<RegisterValue, Error>& read, std::uint8_t mode) {
    if (!read.ok()) return err(read.error());
    const RegisterValue& v = read.value();
    if (v.kind != RegisterKind::Uint32) {
        return err(Error::register_type_mismatch(kControlModeRegister, RegisterKind::Uint32, v.kind));
    }
    return v.as_uint32() == std::uint32_t{mode};
}

}  // namespace

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

Result<RegisterValue, Error> Damiao::read_register(transport::CanTransport& bus,
                                                   std::uint8_t reg) const {
    const RegisterInfo* info = find_register(reg);
    if (info == nullptr) return err(Error::unknown_register(reg));
    const mit::Payload req = register_request(motor_id, kReadRegister, reg, 0);
    Result<Unit, transport::TransportError> sent =
        bus.send(CanFrame{CanId::standard(kRegisterId), {req.begin(), req.end()}, false, false});
    if (!sent.ok()) return err(Error::transport(std::move(sent).error()));
    Result<CanFrame, transport::TransportError> reply =
        transport::await_frame(bus, timeout, [reg](const CanFrame& f) { return is_register_reply(f, reg); });
    if (!reply.ok()) return err(Error::transport(std::move(reply).error()));
    return RegisterValue{info->kind, le32(reply.value().data.data() + 4)};
}

Result<Unit, Error> Damiao::write_register(transport::CanTransport& bus, std::uint8_t reg,
                                           std::uint32_t bits) const {
    const RegisterInfo* info = find_register(reg);
    if (info == nullptr) return err(Error::unknown_register(reg));
    if (!info->writable) return err(Error::read_only_register(reg));
    const mit::Payload req = register_request(motor_id, kWriteRegister, reg, bits);
    Result<Unit, transport::TransportError> sent =
        bus.send(CanFrame{CanId::standard(kRegisterId), {req.begin(), req.end()}, false, false});
    if (!sent.ok()) return err(Error::transport(std::move(sent).error()));
    return Unit{};
}

Result<Unit, Error> Damiao::ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode) const {
    Result<bool, Error> before = mode_matches(read_register(bus, kControlModeRegister), mode);
    if (!before.ok()) return err(std::move(before).error());
    if (before.value()) return Unit{};

    Result<Unit, Error> written = write_register(bus, kControlModeRegister, mode);
    if (!written.ok()) return written;
    std::this_thread::sleep_for(kModeSwitchPause);

    Result<RegisterValue, Error> read_back = read_register(bus, kControlModeRegister);
    Result<bool, Error> after = mode_matches(read_back, mode);
    if (!after.ok()) return err(std::move(after).error());
    if (after.value()) return Unit{};
    return err(Error::control_mode_mismatch(
        mode, static_cast<std::uint8_t>(read_back.value().as_uint32() & 0xFFu)));
}

}  // namespace rotalink::damiao
