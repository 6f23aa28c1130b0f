// One Damiao DM-series motor and the commands exchanged with it.
#pragma once

#include <chrono>
#include <cstdint>

#include "rotalink/bus.hpp"
#include "rotalink/export.hpp"
#include "rotalink/result.hpp"
#include "rotalink/types.hpp"

namespace rotalink {

// One motor: the identifier it takes commands on (motor_id, "CAN ID"), the
// one it answers from (master_id, "Master ID"), its limits and how long each
// command waits for its reply. Both identifiers are standard (11-bit) ones:
// every command of a motor whose motor_id or master_id is past 0x7FF is
// refused ("motor_id 0x800 is past the standard range 0x7ff"), where the
// Python module sends the low 11 bits. A plain value: it touches no bus and
// keeps no motor state; every command takes the bus.
//
// Each command locks the bus for its exchange: it sends one frame and waits
// at most `timeout` for this motor's reply (a Device error "transport error:
// timeout waiting for frame" otherwise). Refused commands (a NaN field,
// limits that cannot scale, an identifier past 0x7FF) send nothing and are
// InvalidArgument errors with the Python module's ValueError text.
class ROTALINK_API Damiao {
public:
    Damiao(std::uint16_t motor_id, std::uint16_t master_id, MitLimits limits = {},
           std::chrono::milliseconds timeout = std::chrono::milliseconds(20))
        : motor_id_(motor_id), master_id_(master_id), limits_(limits), timeout_(timeout) {}

    std::uint16_t motor_id() const { return motor_id_; }
    std::uint16_t master_id() const { return master_id_; }
    const MitLimits& limits() const { return limits_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    // The special commands, each answered with the motor's feedback.
    Result<MotorState> enable(const SocketCanTransport& bus) const;
    Result<MotorState> disable(const SocketCanTransport& bus) const;
    Result<MotorState> set_zero(const SocketCanTransport& bus) const;
    Result<MotorState> clear_error(const SocketCanTransport& bus) const;
    // The feedback, commanding nothing (a request to 0x7FF).
    Result<MotorState> refresh(const SocketCanTransport& bus) const;

    // One command of each mode; a motor in another mode answers and ignores
    // it (see ensure_mode).
    Result<MotorState> mit_control(const SocketCanTransport& bus, const MitSetpoint& setpoint) const;
    Result<MotorState> pos_vel_control(const SocketCanTransport& bus, const PosVelSetpoint& setpoint) const;
    Result<MotorState> vel_control(const SocketCanTransport& bus, const VelSetpoint& setpoint) const;
    Result<MotorState> force_pos_control(const SocketCanTransport& bus, const ForcePosSetpoint& setpoint) const;
    Result<MotorState> control(const SocketCanTransport& bus, const Setpoint& setpoint) const;

    // Registers: queued frames are discarded first (at most 1024), then this
    // motor's reply is awaited for at most `timeout`.
    Result<RegisterValue> read_register(const SocketCanTransport& bus, Register reg) const;
    // A write; no reply is awaited. `bits` for a Uint32 register, `value` for
    // a Float one (finite); the other way round is refused.
    Result<Unit> write_register(const SocketCanTransport& bus, Register reg, std::uint32_t bits) const;
    Result<Unit> write_register(const SocketCanTransport& bus, Register reg, float value) const;
    // Saves every register to flash; refused for a motor that reports itself
    // enabled.
    Result<Unit> save_parameters(const SocketCanTransport& bus) const;
    // PMAX, VMAX and TMAX read as MitLimits (kp_max 500, kd_max 5).
    Result<MitLimits> read_limits(const SocketCanTransport& bus) const;

    // The control mode the motor reports (register 10); an error for a value
    // that is no mode.
    Result<ControlMode> read_mode(const SocketCanTransport& bus) const;
    // Puts the motor in `mode`: read; if different, refresh (a motor that
    // reports itself enabled is refused), write, pause 100 ms without the
    // bus lock, read back. At most three time-outs plus the pause.
    Result<Unit> ensure_mode(const SocketCanTransport& bus, ControlMode mode) const;
    Result<Unit> ensure_mit_mode(const SocketCanTransport& bus) const { return ensure_mode(bus, ControlMode::MIT); }

private:
    std::uint16_t motor_id_;
    std::uint16_t master_id_;
    MitLimits limits_;
    std::chrono::milliseconds timeout_;
};

}  // namespace rotalink
