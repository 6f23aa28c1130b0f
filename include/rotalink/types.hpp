// The values of the motor layer: limits, setpoints of the four control modes,
// feedback, joint limits, and the firmware's modes, status codes and
// registers. Plain structs: every quantity a 32-bit float, as on the wire.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "rotalink/export.hpp"
#include "rotalink/result.hpp"

namespace rotalink {

// The full-scale limits of one motor model, which scale both the MIT command
// and the feedback. The defaults are the DM4310's. Not checked here: a
// command refuses a p_max, v_max or t_max of 0 or infinity, and a negative
// or NaN limit, before anything is sent.
struct MitLimits {
    float p_max = 12.5f;
    float v_max = 30.0f;
    float kp_max = 500.0f;
    float kd_max = 5.0f;
    float t_max = 10.0f;
};

// The limits of a motor model by name ("DM4310", case ignored), as the
// Python module's MitLimits.dm4310(); an error naming the models for a name
// that is none of them.
ROTALINK_API Result<MitLimits> preset(std::string_view model);
// Every model `preset` knows, upper case, in the Python module's order.
ROTALINK_API std::vector<std::string> preset_names();

// One MIT command: target position and velocity, the two gains and the
// feed-forward torque; each clamped into its range of the motor's MitLimits
// when encoded. A NaN field is refused, nothing sent.
struct MitSetpoint {
    float q = 0.0f;
    float dq = 0.0f;
    float kp = 0.0f;
    float kd = 0.0f;
    float tau = 0.0f;
};

// One POS_VEL command: a position reached at no more than a velocity. Sent
// as two 32-bit floats, unscaled; a NaN or infinite field is refused.
struct PosVelSetpoint {
    float q = 0.0f;
    float dq = 0.0f;
};

// One VEL command: a target velocity, sent as one 32-bit float.
struct VelSetpoint {
    float dq = 0.0f;
};

// One FORCE_POS command: a position reached at no more than a velocity (sent
// within [0, 100] in steps of 0.01) and a share of the peak current (within
// [0, 1] in steps of 0.0001).
struct ForcePosSetpoint {
    float q = 0.0f;
    float dq = 0.0f;
    float current = 0.0f;
};

// Any of the four commands, as MotorGroup::control and ControlLoop::set take
// them.
using Setpoint = std::variant<MitSetpoint, PosVelSetpoint, VelSetpoint, ForcePosSetpoint>;

// The decoded feedback of one motor. Nothing in it is checked.
struct MotorState {
    std::uint8_t motor_id = 0;  // low 4 bits of the motor's CAN ID, as it reports it
    std::uint8_t error = 0;     // the 4-bit status code (Status names the known ones)
    float position = 0.0f;      // scaled by the motor's p_max
    float velocity = 0.0f;      // scaled by v_max
    float torque = 0.0f;        // scaled by t_max
    std::uint8_t t_mos = 0;     // driver stage temperature, degrees Celsius
    std::uint8_t t_rotor = 0;   // coil temperature, degrees Celsius
};

// The range a group keeps one joint's commands in: positions into
// [q_min, q_max], velocities into [-dq_max, dq_max], MIT torques into
// [-tau_max, tau_max]. Infinite bounds clamp nothing. `make` checks them;
// a group checks the ones it is given in the same way.
struct JointLimits {
    float q_min = -std::numeric_limits<float>::infinity();
    float q_max = std::numeric_limits<float>::infinity();
    float dq_max = std::numeric_limits<float>::infinity();
    float tau_max = std::numeric_limits<float>::infinity();

    // Refused as the Python module refuses them: "JointLimits.q_min 1 is
    // above q_max 0", "JointLimits.dq_max must be 0 or more, got -1".
    ROTALINK_API static Result<JointLimits> make(float q_min, float q_max,
                                                 float dq_max = std::numeric_limits<float>::infinity(),
                                                 float tau_max = std::numeric_limits<float>::infinity());
};

// The firmware's control modes (register 10); each takes its own command.
enum class ControlMode : std::uint8_t { MIT = 1, POS_VEL = 2, VEL = 3, FORCE_POS = 4 };
// The offset of the mode's command identifier from motor_id & 0x7FF: 0x000,
// 0x100, 0x200 or 0x300.
ROTALINK_API std::uint16_t id_offset(ControlMode mode);
// "MIT", "POS_VEL", "VEL", "FORCE_POS".
ROTALINK_API const char* mode_name(ControlMode mode);

// The status codes of MotorState::error.
enum class Status : std::uint8_t {
    DISABLED = 0,
    ENABLED = 1,
    OVERVOLTAGE = 8,
    UNDERVOLTAGE = 9,
    OVERCURRENT = 10,
    MOS_OVERTEMP = 11,
    COIL_OVERTEMP = 12,
    COMM_LOST = 13,
    OVERLOAD = 14,
};
// The code's name ("OVERLOAD"), or its number for a code outside the table.
ROTALINK_API std::string status_name(std::uint8_t code);
// What it means ("overload"); "" for a code outside the table.
ROTALINK_API std::string status_description(std::uint8_t code);
// Whether the code is a fault: anything but DISABLED and ENABLED.
constexpr bool is_fault(std::uint8_t code) { return code != 0 && code != 1; }

// The firmware's registers by number, named as the maker documents them.
enum class Register : std::uint8_t {
    UV_Value = 0, KT_Value = 1, OT_Value = 2, OC_Value = 3, ACC = 4, DEC = 5, MAX_SPD = 6,
    MST_ID = 7, ESC_ID = 8, TIMEOUT = 9, CTRL_MODE = 10, Damp = 11, Inertia = 12, hw_ver = 13,
    sw_ver = 14, SN = 15, NPP = 16, Rs = 17, LS = 18, Flux = 19, Gr = 20, PMAX = 21, VMAX = 22,
    TMAX = 23, I_BW = 24, KP_ASR = 25, KI_ASR = 26, KP_APR = 27, KI_APR = 28, OV_Value = 29,
    GREF = 30, Deta = 31, V_BW = 32, IQ_c1 = 33, VL_c1 = 34, can_br = 35, sub_ver = 36,
};
// The register's name ("PMAX"); "" for a number outside the table.
ROTALINK_API const char* register_name(Register reg);
// Whether its value is a 32-bit float (else an unsigned 32-bit integer).
ROTALINK_API bool register_is_float(Register reg);
ROTALINK_API bool register_writable(Register reg);

// A register's value as read: its bits, and whether they are a float.
struct RegisterValue {
    bool is_float = false;
    std::uint32_t bits = 0;
    std::uint32_t as_uint32() const { return bits; }
    ROTALINK_API float as_float() const;
};

}  // namespace rotalink
