// The Damiao CAN protocol as plain data: a make function for every frame the
// module sends and a parse function for every reply it takes, with the
// identifiers and matching rules between them. Nothing here does I/O; the
// driver (driver.hpp) sends what these make and parses what it receives with
// them.
#pragma once

#include <cstdint>

#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "damiao/registers.hpp"
#include "transport/can.hpp"

namespace rotalink::damiao {

// ------------------------------------------------------------ identifiers

// A motor takes its commands on standard id motor_id & 0x7FF and answers
// from standard id master_id & 0x7FF; all 16 bits are kept in the records.
constexpr transport::CanId command_id(std::uint16_t motor_id) {
    return transport::CanId::standard(motor_id & 0x7FFu);
}
constexpr transport::CanId reply_id(std::uint16_t master_id) {
    return transport::CanId::standard(master_id & 0x7FFu);
}

// ------------------------------------------------------- motor commands

// Special command payloads: seven 0xFF bytes and a command byte. Each is
// written once here: this list makes the constants below, the driver's
// methods and the Python methods of Damiao and MotorGroup.
//   X(method name, constant, command byte)
#define ROTALINK_SPECIAL_COMMANDS(X)      \
    X(enable, kEnable, 0xFC)              \
    X(disable, kDisable, 0xFD)            \
    X(set_zero, kSetZero, 0xFE)           \
    X(clear_error, kClearError, 0xFB)

#define ROTALINK_SPECIAL_CONSTANT(method, constant, byte) inline constexpr std::uint8_t constant = byte;
ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_CONSTANT)
#undef ROTALINK_SPECIAL_CONSTANT

mit::Payload special_payload(std::uint8_t command);

// A command frame: classic, 8 bytes, to the motor's command id.
transport::CanFrame make_command(std::uint16_t motor_id, const mit::Payload& payload);
transport::CanFrame make_special(std::uint16_t motor_id, std::uint8_t command);
// The MIT command; limits the encoder cannot use make no frame.
Result<transport::CanFrame, mit::LimitDomainError> make_mit(std::uint16_t motor_id,
                                                            const mit::MitLimits& limits,
                                                            const mit::MitSetpoint& setpoint);

// ------------------------------------------------------------- feedback

// The reply to a command is the first frame from the reply id (standard, the
// same value); its content is not checked.
inline bool is_feedback_from(const transport::CanFrame& frame, std::uint16_t master_id) {
    return frame.id == reply_id(master_id);
}
// Decodes the first 8 data bytes (an FD reply may carry more); a reply with
// fewer is ShortReply.
Result<mit::MotorState, Error> parse_feedback(const mit::MitLimits& limits,
                                              const transport::CanFrame& frame);

// ------------------------------------------------------------ registers

// Register requests go to standard id 0x7FF: [id lo, id hi, op, register,
// value (4 bytes, little-endian)], the id being all 16 bits of motor_id.
inline constexpr std::uint32_t kRegisterId = 0x7FF;
inline constexpr std::uint8_t kReadRegister = 0x33;
inline constexpr std::uint8_t kWriteRegister = 0x55;

mit::Payload register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg,
                              std::uint32_t value);
transport::CanFrame make_register_read(std::uint16_t motor_id, std::uint8_t reg);
transport::CanFrame make_register_write(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t bits);

// The reply to a read, from any identifier: 8 data bytes carrying 0x33 and
// the register number in bytes 2 and 3.
bool is_register_reply(const transport::CanFrame& frame, std::uint8_t reg);
// Bytes 4..7 of a frame that `is_register_reply` accepted, as `kind`.
RegisterValue parse_register_reply(RegisterKind kind, const transport::CanFrame& frame);

}  // namespace rotalink::damiao
