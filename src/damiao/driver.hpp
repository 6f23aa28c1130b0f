// One Damiao DM-series motor: its identifiers, limits and reply time-out,
// and the commands exchanged with it over any transport. The frames are made
// and parsed by protocol.hpp; this is the I/O around them.
#pragma once

#include <cstdint>

#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "damiao/protocol.hpp"
#include "transport/can.hpp"

namespace rotalink::damiao {

// At most this many frames already queued on a bus are discarded before a
// request (a register read, a group cycle), and read at a cycle's deadline:
// a flooded bus cannot keep a call reading for ever.
inline constexpr std::size_t kDiscardLimit = 1024;

// How long a motor is given to take a new control mode before it is read
// back.
inline constexpr transport::Duration kModeSwitchPause = transport::Duration::from_millis(100);

// The driver record. Identifiers are kept as given (0..65535); frames carry
// their low 11 bits.
struct Damiao {
    std::uint16_t motor_id = 0;
    std::uint16_t master_id = 0;
    mit::MitLimits limits;
    transport::Duration timeout = transport::Duration::from_millis(20);

    // One exchange: `data` to standard id motor_id & 0x7FF as a classic
    // frame, then the first frame that is this motor's feedback
    // (`is_feedback`: from standard id master_id & 0x7FF, not remote, not an
    // error frame, not this motor's register reply or write echo), decoded
    // with this record's limits. Other frames are dropped; frames queued
    // before the send are not.
    Result<mit::MotorState, Error> cmd_motor_id(transport::CanTransport& bus,
                                                const mit::Payload& data) const;

    // One exchange with a special command: enable, disable, set_zero and
    // clear_error, one method per entry of ROTALINK_SPECIAL_COMMANDS.
    Result<mit::MotorState, Error> special(transport::CanTransport& bus, std::uint8_t command) const;
#define ROTALINK_SPECIAL_METHOD(method, constant, byte)                         \
    Result<mit::MotorState, Error> method(transport::CanTransport& bus) const { \
        return special(bus, constant);                                          \
    }
    ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_METHOD)
#undef ROTALINK_SPECIAL_METHOD
    // `control` with an MIT setpoint.
    Result<mit::MotorState, Error> mit_control(transport::CanTransport& bus,
                                               const mit::MitSetpoint& setpoint) const;

    // One command of any kind (control.hpp): its frame is made first, and a
    // command make_control refuses ends the call unsent.
    Result<mit::MotorState, Error> control(transport::CanTransport& bus, const Setpoint& setpoint) const;
    // A refresh: the motor's feedback, in any mode, commanding nothing.
    Result<mit::MotorState, Error> refresh(transport::CanTransport& bus) const;

    // Discards the frames already queued (at most 1024; a transport that
    // cannot read without waiting discards none, a read error fails the call
    // unsent), sends a read request and waits, until this record's time-out,
    // for this motor's reply (`is_register_reply`: 8 data bytes, bytes 0-1
    // motor_id & 0x7FF little-endian, 0x33 and the register number in bytes
    // 2 and 3), from any identifier but the request id 0x7FF; other frames
    // are dropped.
    Result<RegisterValue, Error> read_register(transport::CanTransport& bus, std::uint8_t reg) const;
    // Sends a write request; no reply is awaited. The motor's echo stays
    // queued; `is_feedback` skips it.
    Result<Unit, Error> write_register(transport::CanTransport& bus, std::uint8_t reg,
                                       std::uint32_t bits) const;
    // Writes a register, then reads it back: a value other than `bits` is a
    // Failure. A RAM write: nothing is saved to flash.
    Result<Unit, Error> write_verified(transport::CanTransport& bus, std::uint8_t reg, std::uint32_t bits) const;
    // Saves every register to flash. A refresh first: a motor that reports
    // itself enabled is refused (a Failure), nothing saved; one that does not
    // answer is the refresh's error. The save itself is not answered.
    Result<Unit, Error> save_parameters(transport::CanTransport& bus) const;
    // Reads PMAX, VMAX and TMAX (registers 21 to 23): the ranges this motor
    // maps its MIT frames to, with the frame's fixed gain ranges (kp 500,
    // kd 5).
    Result<mit::MitLimits, Error> read_limits(transport::CanTransport& bus) const;
    // Reads the control mode (register 10) as it reports it.
    Result<std::uint32_t, Error> read_mode(transport::CanTransport& bus) const;
    // Reads the control mode; if it differs from `mode`, writes it, pauses
    // kModeSwitchPause (through `pause`, a sleep unless a test counts it)
    // and reads it back once. No retry. Before the write, a refresh: a
    // motor that reports itself enabled is refused (a Failure), nothing
    // written; one already in `mode` gets the read alone. The composition of
    // the two halves below, for a caller that may hold the bus throughout.
    Result<Unit, Error> ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode,
                                            void (*pause)(transport::Duration) = transport::sleep_for) const;
    // The mode switch in two exchanges, for a caller that lets the bus go
    // during the pause between them. The first reads the control mode and
    // returns false when it is `mode` already; otherwise it refreshes
    // (refusing an enabled motor), writes `mode` and returns true: the
    // caller pauses kModeSwitchPause, then calls the second, which reads
    // the mode back (ControlModeMismatch when it is not `mode`).
    Result<bool, Error> begin_mode_switch(transport::CanTransport& bus, std::uint8_t mode) const;
    Result<Unit, Error> finish_mode_switch(transport::CanTransport& bus, std::uint8_t mode) const;
    // The second step of begin_mode_switch, for a caller that has read the
    // mode itself (and lets the bus go in between, so that it holds the
    // bus for one exchange at a time): a refresh, refusing a motor that
    // reports itself enabled, then the write of `mode`.
    Result<Unit, Error> write_mode(transport::CanTransport& bus, std::uint8_t mode) const;
};

}  // namespace rotalink::damiao
