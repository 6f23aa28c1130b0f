// The Damiao CAN protocol as plain data: a make function for every frame the
// module sends and a parse function for every reply it takes, with the
// identifiers and matching rules between them. Nothing here does I/O; the
// driver (driver.hpp) sends what these make and parses what it receives with
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "damiao/control.hpp"
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
// The same special command on the identifier of command kind `kind`,
// control_id(motor_id, kind): older firmware in a mode other than MIT takes
// the special commands only on its mode's identifier. For the MIT kind it is
// make_special's frame. None for an identifier of 0x7FF (the register
// identifier) or past it.
std::optional<transport::CanFrame> make_special_for(std::uint16_t motor_id, std::uint8_t command, std::size_t kind);

// ------------------------------------------------------------- feedback

// The identifier half of `is_feedback`: a frame from the reply id
// (standard, the same value), whatever it carries.
inline bool is_feedback_from(const transport::CanFrame& frame, std::uint16_t master_id) {
    return frame.id == reply_id(master_id);
}

// A frame of the register exchange of motor `motor_id`: a register frame
// (`register_frame`, below) whose bytes 0-1 are its command id (motor_id &
// 0x7FF). Motors answer register requests from the same reply id as their
// feedback.
bool is_register_frame(const transport::CanFrame& frame, std::uint16_t motor_id);

// The feedback of motor `motor_id` answering from `master_id`: a frame from
// standard id master_id & 0x7FF that is neither a remote request nor an error
// frame, and not one of this motor's register frames (`is_register_frame`:
// 8 data bytes, the register bytes naming this motor).
// The content is not checked further: the motor-id nibble is not compared
// and a reply shorter than 8 bytes is still this motor's (ShortReply).
//
// One feedback cannot be told apart from a register frame: at the very
// bottom of the position range, raw position 0x0033 or 0x0055 (byte 1 the
// position's top byte 0x00, byte 2 its low byte), from a motor whose byte 0
// (status nibble over id nibble) equals its command id. That is a disabled
// motor (status 0, byte 0 the id nibble alone) with a command id below 0x10,
// or the like with another status (motor 0x13 while enabled, status 1).
// That feedback, when classic or FD of 8 bytes, is skipped as a register
// frame; an FD feedback of more bytes is not a register frame.
bool is_feedback(const transport::CanFrame& frame, std::uint16_t motor_id, std::uint16_t master_id);
// Decodes the first 8 data bytes (an FD reply may carry more); a reply with
// fewer is ShortReply.
Result<mit::MotorState, Error> parse_feedback(const mit::MitLimits& limits,
                                              const transport::CanFrame& frame);

// The status a motor reports in the high nibble of its feedback's byte 0:
// 0 and 1 while it runs normally, a fault's code once a fault has disabled
// it. The names are the members of rotalink.Status.
struct StatusCode {
    std::uint8_t code;
    const char* name;
    const char* description;
};
inline constexpr StatusCode kStatuses[] = {
    {0, "DISABLED", "disabled"},
    {1, "ENABLED", "enabled"},
    {8, "OVERVOLTAGE", "supply over-voltage"},
    {9, "UNDERVOLTAGE", "supply under-voltage"},
    {10, "OVERCURRENT", "over-current"},
    {11, "MOS_OVERTEMP", "driver stage (MOS) over-temperature"},
    {12, "COIL_OVERTEMP", "coil over-temperature"},
    {13, "COMM_LOST", "communication lost: no command within the motor's time-out"},
    {14, "OVERLOAD", "overload"},
};
inline constexpr std::size_t kStatusCount = sizeof(kStatuses) / sizeof(kStatuses[0]);
inline constexpr std::uint8_t kStatusDisabled = kStatuses[0].code;
inline constexpr std::uint8_t kStatusEnabled = kStatuses[1].code;

// Whether `code` says the motor stopped on a fault: any code but disabled
// and enabled, those outside the table included.
constexpr bool is_fault_status(std::uint8_t code) { return code != kStatusDisabled && code != kStatusEnabled; }

// The status's name ("OVERLOAD"), or its number for a code outside the table.
std::string status_text(std::uint8_t code);

// ------------------------------------------------------------ registers

// Register requests go to standard id 0x7FF: [id lo, id hi, op, register,
// value (4 bytes, little-endian)], the id being all 16 bits of motor_id.
inline constexpr std::uint8_t kReadRegister = 0x33;
inline constexpr std::uint8_t kWriteRegister = 0x55;
// A refresh, [id lo, id hi (of motor_id & 0x7FF), 0xCC, 0, 0, 0, 0, 0] on
// 0x7FF, is answered with the motor's feedback and changes nothing, in every
// mode.
inline constexpr std::uint8_t kRefresh = 0xCC;
// Saving every register to flash, [id lo, id hi (of motor_id & 0x7FF), 0xAA,
// 0x01, 0, 0, 0, 0] on 0x7FF: the motor must be disabled, and no answer is
// relied on (the registers are read back instead). Flash takes a limited
// number of writes.
inline constexpr std::uint8_t kSaveParameters = 0xAA;
inline constexpr std::uint8_t kSaveParametersArg = 0x01;

mit::Payload register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg,
                              std::uint32_t value);
transport::CanFrame make_register_read(std::uint16_t motor_id, std::uint8_t reg);
transport::CanFrame make_register_write(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t bits);
transport::CanFrame make_refresh(std::uint16_t motor_id);
transport::CanFrame make_save_parameters(std::uint16_t motor_id);

// What a register frame says: [motor lo, motor hi, op, register, value
// (4 bytes, little-endian)]. A motor answers with its command id in bytes
// 0-1, 0x33 for a read's reply and 0x55 for a write's echo.
struct RegisterFrame {
    std::uint16_t motor;  // bytes 0-1, little-endian, as sent
    std::uint8_t op;      // kReadRegister or kWriteRegister
    std::uint8_t reg;     // byte 3
    std::uint32_t bits;   // bytes 4..7, little-endian
};

// The register frame that `frame` is, from any identifier, classic or FD: a
// data frame (not remote, not error) of exactly 8 data bytes whose byte 2 is
// a register operation. A request on 0x7FF has the same layout and is read
// too; `register_reply` tells it apart.
std::optional<RegisterFrame> register_frame(const transport::CanFrame& frame);
// A motor's reply to a register read: a register frame with 0x33 that is not
// on standard id 0x7FF (there it is a read request: another host's, which a
// raw socket delivers, reads exactly like a reply of value 0).
std::optional<RegisterFrame> register_reply(const transport::CanFrame& frame);
// The reply of motor `motor_id` to a read of `reg` (`register_reply`) with
// this motor's command id in bytes 0-1 and `reg` in byte 3. Another motor's
// reply is not it.
bool is_register_reply(const transport::CanFrame& frame, std::uint16_t motor_id, std::uint8_t reg);
// Bytes 4..7 of a frame that `is_register_reply` accepted, as `kind`.
RegisterValue parse_register_reply(RegisterKind kind, const transport::CanFrame& frame);

}  // namespace rotalink::damiao
