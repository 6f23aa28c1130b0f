#include "damiao/driver.hpp"

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

}  // namespace rotalink::damiao
