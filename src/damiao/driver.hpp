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

// Firmware registers, read and written with frames to standard id 0x7FF.
inline constexpr std::uint32_t kRegisterId = 0x7FF;
inline constexpr std::uint8_t kReadRegister = 0x33;
inline constexpr std::uint8_t kWriteRegister = 0x55;

// Register 10 holds the control mode; MIT mode is 1.
inline constexpr std::uint8_t kControlModeRegister = 10;
inline constexpr std::uint8_t kMitMode = 1;

struct RegisterInfo {
    std::uint8_t number;
    const char* name;
    RegisterKind kind;
    bool writable;
};

// The registers this module reads or writes; nullptr for any other number.
const RegisterInfo* find_register(std::uint8_t number);

// A register's value: its kind and its 4 value bytes, little-endian.
struct RegisterValue {
    RegisterKind kind = RegisterKind::Uint32;
    std::uint32_t bits = 0;

    std::uint32_t as_uint32() const { return bits; }
    float as_float() const;  // the bits as an IEEE 32-bit float
};

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

    // Sends a read request and waits, until this record's time-out, for the
    // first frame of 8 data bytes that carries 0x33 and the register number
    // in bytes 2 and 3, from any identifier; other frames are dropped.
    Result<RegisterValue, Error> read_register(transport::CanTransport& bus, std::uint8_t reg) const;
    // Sends a write request; no reply is awaited.
    Result<Unit, Error> write_register(transport::CanTransport& bus, std::uint8_t reg,
                                       std::uint32_t bits) const;
    // Reads the control mode; if it differs from `mode`, writes it, pauses
    // 100 ms and reads it back once. No retry.
    Result<Unit, Error> ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode) const;
};

// The read and write request payloads for a motor (all 16 bits of its id).
mit::Payload register_request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg,
                              std::uint32_t value);

}  // namespace rotalink::damiao
