// MIT-mode codec of Damiao DM-series motors: the value records, the 8-byte
// command and feedback payloads, and the per-model limit presets.
//
// All arithmetic is 32-bit IEEE float in a fixed order of operations, so the
// bytes on the wire are the same on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "support/result.hpp"

namespace rotalink::damiao::mit {

// Full-scale limits of one motor model. Not validated on construction.
struct MitLimits {
    float p_max = 12.5f;
    float v_max = 30.0f;
    float kp_max = 500.0f;
    float kd_max = 5.0f;
    float t_max = 10.0f;
};

// One MIT command: target position and velocity, the two gains and the
// feed-forward torque.
struct MitSetpoint {
    float q = 0.0f;
    float dq = 0.0f;
    float kp = 0.0f;
    float kd = 0.0f;
    float tau = 0.0f;
};

// Decoded feedback of one motor.
struct MotorState {
    std::uint8_t motor_id = 0;  // low nibble of byte 0
    std::uint8_t error = 0;     // high nibble of byte 0, passed through
    float position = 0.0f;
    float velocity = 0.0f;
    float torque = 0.0f;
    std::uint8_t t_mos = 0;
    std::uint8_t t_rotor = 0;
};

using Payload = std::array<std::uint8_t, 8>;

// A limit that is negative or NaN: the encoder cannot scale into its range.
struct LimitDomainError {
    float min;
    float max;
    std::string message() const;
};

Result<Payload, LimitDomainError> encode(const MitLimits& limits, const MitSetpoint& setpoint);

// Decodes the first 8 bytes of a feedback payload; `data` must hold at least 8.
MotorState decode(const MitLimits& limits, const std::uint8_t* data);

// Per-model presets, in the order the Python class lists them.
struct Preset {
    const char* name;
    MitLimits limits;
};
extern const std::array<Preset, 15> kPresets;

std::string repr(const MitLimits& v);
std::string repr(const MitSetpoint& v);
std::string repr(const MotorState& v);

}  // namespace rotalink::damiao::mit
