// One Damiao DM-series motor: its identifiers, limits and reply time-out,
// and the commands exchanged with it over any transport.
#pragma once

#include <cstdint>

#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "transport/can.hpp"

namespace rotalink::damiao {

// Special command payloads: seven 0xFF bytes and a command byte.
inline constexpr std::uint8_t kEnable = 0xFC;
inline constexpr std::uint8_t kDisable = 0xFD;
inline constexpr std::uint8_t kSetZero = 0xFE;
inline constexpr std::uint8_t kClearError = 0xFB;

mit::Payload special_payload(std::uint8_t command);

// The driver record. Identifiers are kept as given (0..65535); frames carry
// their low 11 bits.
struct Damiao {
    std::uint16_t motor_id = 0;
    std::uint16_t master_id = 0;
    mit::MitLimits limits;
    transport::Duration timeout = transport::Duration::from_millis(20);

    // One exchange: `data` to standard id motor_id & 0x7FF as a classic
    // frame, then the first frame from standard id master_id & 0x7FF,
    // decoded with this record's limits. The reply's content is not checked.
    Result<mit::MotorState, Error> cmd_motor_id(transport::CanTransport& bus,
                                                const mit::Payload& data) const;

    Result<mit::MotorState, Error> enable(transport::CanTransport& bus) const;
    Result<mit::MotorState, Error> disable(transport::CanTransport& bus) const;
    Result<mit::MotorState, Error> set_zero(transport::CanTransport& bus) const;
    Result<mit::MotorState, Error> clear_error(transport::CanTransport& bus) const;
    // Encodes first; limits the encoder cannot use end the call unsent.
    Result<mit::MotorState, Error> mit_control(transport::CanTransport& bus,
                                               const mit::MitSetpoint& setpoint) const;
};

}  // namespace rotalink::damiao
