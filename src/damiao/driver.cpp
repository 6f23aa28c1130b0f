#include "damiao/driver.hpp"

#include <chrono>
#include <thread>

namespace rotalink::damiao {

using transport::CanFrame;
using transport::TransportError;

namespace {

// Sends `frame`, then waits for the first frame that is this motor's
// feedback (`is_feedback`) and parses it.
Result<mit::MotorState, Error> exchange(const Damiao& d, transport::CanTransport& bus,
                                        const CanFrame& frame) {
    Result<Unit, TransportError> sent = bus.send(frame);
    if (!sent.ok()) return err(Error::transport(std::move(sent).error()));
    Result<CanFrame, TransportError> reply = transport::await_frame(
        bus, d.timeout, [&d](const CanFrame& f) { return is_feedback(f, d.motor_id, d.master_id); });
    if (!reply.ok()) return err(Error::transport(std::move(reply).error()));
    return parse_feedback(d.limits, reply.value());
}

// The refresh that a change the motor must be disabled for begins with: its
// error, a Failure naming the change (`action`) when the motor reports
// itself enabled, else nothing.
Result<Unit, Error> refuse_if_enabled(const Damiao& d, transport::CanTransport& bus, const char* action) {
    Result<mit::MotorState, Error> state = d.refresh(bus);
    if (!state.ok()) return err(std::move(state).error());
    if (state.value().error == kStatusEnabled) {
        return err(Error::failure("motor " + id_text(d.motor_id & 0x7FFu) +
                                  " reports itself enabled: disable it before " + action));
    }
    return Unit{};
}

}  // namespace

Result<mit::MotorState, Error> Damiao::cmd_motor_id(transport::CanTransport& bus,
                                                    const mit::Payload& data) const {
    return exchange(*this, bus, make_command(motor_id, data));
}

Result<mit::MotorState, Error> Damiao::special(transport::CanTransport& bus, std::uint8_t command) const {
    return exchange(*this, bus, make_special(motor_id, command));
}

Result<mit::MotorState, Error> Damiao::mit_control(transport::CanTransport& bus,
                                                   const mit::MitSetpoint& setpoint) const {
    return control(bus, from_mit(setpoint));
}

Result<mit::MotorState, Error> Damiao::control(transport::CanTransport& bus, const Setpoint& setpoint) const {
    Result<CanFrame, Error> frame = make_control(motor_id, limits, setpoint);
    if (!frame.ok()) return err(std::move(frame).error());
    return exchange(*this, bus, frame.value());
}

Result<mit::MotorState, Error> Damiao::refresh(transport::CanTransport& bus) const {
    return exchange(*this, bus, make_refresh(motor_id));
}

Result<std::uint32_t, Error> Damiao::read_mode(transport::CanTransport& bus) const {
    Result<RegisterValue, Error> v = read_register(bus, kControlModeRegister);
    if (!v.ok()) return err(std::move(v).error());
    if (v.value().kind != RegisterKind::Uint32) {
        return err(Error::register_type_mismatch(kControlModeRegister, RegisterKind::Uint32, v.value().kind));
    }
    return v.value().as_uint32();
}

Result<RegisterValue, Error> Damiao::read_register(transport::CanTransport& bus,
                                                   std::uint8_t reg) const {
    const RegisterInfo* info = find_register(reg);
    if (info == nullptr) return err(Error::unknown_register(reg));
    // A reply still queued from before (a late one, another program's) must
    // not answer this request.
    Result<std::size_t, TransportError> discarded = transport::discard_queued(bus, kDiscardLimit);
    if (!discarded.ok()) return err(Error::transport(std::move(discarded).error()));
    Result<Unit, TransportError> sent = bus.send(make_register_read(motor_id, reg));
    if (!sent.ok()) return err(Error::transport(std::move(sent).error()));
    const std::uint16_t id = motor_id;
    Result<CanFrame, TransportError> reply = transport::await_frame(
        bus, timeout, [id, reg](const CanFrame& f) { return is_register_reply(f, id, reg); });
    if (!reply.ok()) return err(Error::transport(std::move(reply).error()));
    return parse_register_reply(info->kind, reply.value());
}

Result<Unit, Error> Damiao::write_register(transport::CanTransport& bus, std::uint8_t reg,
                                           std::uint32_t bits) const {
    const RegisterInfo* info = find_register(reg);
    if (info == nullptr) return err(Error::unknown_register(reg));
    if (!info->writable) return err(Error::read_only_register(reg));
    Result<Unit, TransportError> sent = bus.send(make_register_write(motor_id, reg, bits));
    if (!sent.ok()) return err(Error::transport(std::move(sent).error()));
    return Unit{};
}

Result<Unit, Error> Damiao::write_verified(transport::CanTransport& bus, std::uint8_t reg,
                                           std::uint32_t bits) const {
    Result<Unit, Error> written = write_register(bus, reg, bits);
    if (!written.ok()) return written;
    Result<RegisterValue, Error> back = read_register(bus, reg);
    if (!back.ok()) return err(std::move(back).error());
    if (back.value().bits == bits) return Unit{};
    return err(Error::failure("register " + std::to_string(reg) + " (" + find_register(reg)->name +
                               ") reads back " + std::to_string(back.value().bits) + " after writing " +
                               std::to_string(bits)));
}

Result<Unit, Error> Damiao::save_parameters(transport::CanTransport& bus) const {
    Result<Unit, Error> disabled = refuse_if_enabled(*this, bus, "saving its registers to flash");
    if (!disabled.ok()) return disabled;
    Result<Unit, TransportError> sent = bus.send(make_save_parameters(motor_id));
    if (!sent.ok()) return err(Error::transport(std::move(sent).error()));
    return Unit{};
}

Result<mit::MitLimits, Error> Damiao::read_limits(transport::CanTransport& bus) const {
    float range[3];
    const std::uint8_t regs[3] = {kPmaxRegister, kVmaxRegister, kTmaxRegister};
    for (int i = 0; i < 3; ++i) {
        Result<RegisterValue, Error> v = read_register(bus, regs[i]);
        if (!v.ok()) return err(std::move(v).error());
        range[i] = v.value().as_float();
    }
    mit::MitLimits limits;
    limits.p_max = range[0];
    limits.v_max = range[1];
    limits.t_max = range[2];
    limits.kp_max = 500.0f;
    limits.kd_max = 5.0f;
    return limits;
}

Result<bool, Error> Damiao::begin_mode_switch(transport::CanTransport& bus, std::uint8_t mode) const {
    Result<std::uint32_t, Error> before = read_mode(bus);
    if (!before.ok()) return err(std::move(before).error());
    if (before.value() == mode) return false;
    Result<Unit, Error> written = write_mode(bus, mode);
    if (!written.ok()) return err(std::move(written).error());
    return true;
}

Result<Unit, Error> Damiao::write_mode(transport::CanTransport& bus, std::uint8_t mode) const {
    Result<Unit, Error> disabled = refuse_if_enabled(*this, bus, "changing its control mode");
    if (!disabled.ok()) return disabled;
    return write_register(bus, kControlModeRegister, mode);
}

Result<Unit, Error> Damiao::finish_mode_switch(transport::CanTransport& bus, std::uint8_t mode) const {
    Result<std::uint32_t, Error> after = read_mode(bus);
    if (!after.ok()) return err(std::move(after).error());
    if (after.value() == mode) return Unit{};
    return err(Error::control_mode_mismatch(mode, static_cast<std::uint8_t>(after.value() & 0xFFu)));
}

Result<Unit, Error> Damiao::ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode,
                                                void (*pause)(transport::Duration)) const {
    Result<bool, Error> begun = begin_mode_switch(bus, mode);
    if (!begun.ok()) return err(std::move(begun).error());
    if (!begun.value()) return Unit{};
    pause(kModeSwitchPause);
    return finish_mode_switch(bus, mode);
}

}  // namespace rotalink::damiao
