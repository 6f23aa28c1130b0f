// MIT-mode codec of Damiao DM-series motors: the value records, the 8-byte
// command and feedback payloads, and the per-model limit presets.
//
// All arithmetic is 32-bit IEEE float in a fixed order of operations, so the
// bytes on the wire are the same on every platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "rotalink/types.hpp"
#include "support/result.hpp"

namespace rotalink::damiao::mit {

// The value records are the public ones (include/rotalink/types.hpp), one
// definition for both faces: the full-scale limits of one motor model (not
// validated on construction), one MIT command (target position and
// velocity, the two gains and the feed-forward torque), and the decoded
// feedback of one motor (motor_id the low nibble of byte 0, error the high
// nibble, passed through).
using MitLimits = ::rotalink::MitLimits;
using MitSetpoint = ::rotalink::MitSetpoint;
using MotorState = ::rotalink::MotorState;

using Payload = std::array<std::uint8_t, 8>;

// A limit that is negative or NaN: the encoder cannot scale into its range.
struct LimitDomainError {
    float min;
    float max;
    std::string message() const;
};

// A payload whose first seven bytes would all be 0xFF (every field at its
// top: the firmware reads such a frame as a special command) is sent with
// the position one raw step lower, FFFF -> FFFE.
Result<Payload, LimitDomainError> encode(const MitLimits& limits, const MitSetpoint& setpoint);

namespace detail {

// Saturating float-to-unsigned truncation: NaN and negatives give 0, values
// at or above 2^32 give the largest value.
inline std::uint32_t truncate_u32(float s) {
    if (!(s >= 1.0f)) return 0;  // NaN, negatives and [0, 1)
    if (s >= 4294967296.0f) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(s);
}

inline float clamp(float x, float lo, float hi) {
    if (x < lo) x = lo;
    if (x > hi) x = hi;
    return x;  // NaN passes through
}

// Symmetric field [-m, m] to [0, k]: ((m + x) * k) / (m + m).
inline std::uint32_t scale_symmetric(float x, float m, float k) {
    const float c = clamp(x, -m, m);
    const float num = (m + c) * k;
    return truncate_u32(num / (m + m));
}

// The same for an `x` known to lie in [-m, m] (m finite, above 0): the
// same arithmetic without the clamp and the saturation, which change
// nothing there.
inline std::uint32_t scale_inside(float x, float m, float k) {
    const float num = (m + x) * k;
    return static_cast<std::uint32_t>(num / (m + m));
}

// Seven 0xFF bytes make a special command of the eighth (FC enable, FD
// disable, FB clear error, FE set zero): such a payload gets the position
// one step lower (raw FFFF to FFFE) and stays an MIT command.
inline void not_special(std::uint8_t* out) {
    if ((out[0] & out[1] & out[2] & out[3] & out[4] & out[5] & out[6]) == 0xFF) out[1] = 0xFE;
}

}  // namespace detail

// The position and velocity of `payload` (8 bytes), an MIT command encode
// made with limits `limits` (p_max and v_max finite and above 0), rewritten
// for `q` in [-p_max, p_max] and `dq` in [-v_max, v_max] (saturated
// already): the bytes encode gives for the same command with these two.
// The gains and the torque are kept. Inline: a move's cycle does this for
// every MIT member.
inline void encode_motion(const MitLimits& limits, float q, float dq, std::uint8_t* payload) {
    const std::uint32_t q_raw = detail::scale_inside(q, limits.p_max, 65535.0f);
    const std::uint32_t dq_raw = detail::scale_inside(dq, limits.v_max, 4095.0f);
    payload[0] = static_cast<std::uint8_t>(q_raw >> 8);
    payload[1] = static_cast<std::uint8_t>(q_raw);
    payload[2] = static_cast<std::uint8_t>(dq_raw >> 4);
    payload[3] = static_cast<std::uint8_t>(((dq_raw & 0xFu) << 4) | (payload[3] & 0xFu));
    if (q_raw == 0xFFFFu) detail::not_special(payload);
}

// Decodes an 8-byte feedback payload.
MotorState decode(const MitLimits& limits, const Payload& data);
// The command an MIT payload carries (encode's inverse, to the fields'
// resolution): each raw field mapped back onto its range.
MitSetpoint decode_command(const MitLimits& limits, const Payload& data);

// The first 8 bytes of `bytes` (anything indexable holding at least 8: an
// array, a received payload whose length the caller has checked).
template <class Bytes>
Payload first_payload(const Bytes& bytes) {
    Payload first;
    for (std::size_t i = 0; i < first.size(); ++i) first[i] = bytes[i];
    return first;
}

// The first 8 bytes of a longer array (a received FD payload, a buffer);
// an array shorter than 8 does not compile.
template <std::size_t N>
MotorState decode(const MitLimits& limits, const std::uint8_t (&data)[N]) {
    static_assert(N >= 8, "feedback is 8 bytes");
    return decode(limits, first_payload(data));
}
template <std::size_t N, class = std::enable_if_t<(N > 8)>>
MotorState decode(const MitLimits& limits, const std::array<std::uint8_t, N>& data) {
    return decode(limits, first_payload(data));
}

// The per-model presets, written once: this list makes the native table
// below and the Python class's static methods (in this order).
//   X(name, p_max, v_max, kp_max, kd_max, t_max)
// 12.566f is the nearest 32-bit float to 12.566 (not 4*pi).
#define ROTALINK_MIT_PRESETS(X)                         \
    X(dm3507, 12.566f, 50.0f, 500.0f, 5.0f, 5.0f)       \
    X(dm4310, 12.5f, 30.0f, 500.0f, 5.0f, 10.0f)        \
    X(dm4310p, 12.5f, 50.0f, 500.0f, 5.0f, 10.0f)       \
    X(dm4340, 12.5f, 10.0f, 500.0f, 5.0f, 28.0f)        \
    X(dm4340p, 12.5f, 10.0f, 500.0f, 5.0f, 28.0f)       \
    X(dm6006, 12.5f, 45.0f, 500.0f, 5.0f, 20.0f)        \
    X(dm6248p, 12.566f, 20.0f, 500.0f, 5.0f, 120.0f)    \
    X(dm8006, 12.5f, 45.0f, 500.0f, 5.0f, 40.0f)        \
    X(dm8009, 12.5f, 45.0f, 500.0f, 5.0f, 54.0f)        \
    X(dm10010, 12.5f, 20.0f, 500.0f, 5.0f, 200.0f)      \
    X(dm10010l, 12.5f, 25.0f, 500.0f, 5.0f, 200.0f)     \
    X(dmg6215, 12.5f, 45.0f, 500.0f, 5.0f, 10.0f)       \
    X(dmh3510, 12.5f, 280.0f, 500.0f, 5.0f, 1.0f)       \
    X(dmh6220, 12.5f, 45.0f, 500.0f, 5.0f, 10.0f)       \
    X(dmjh11, 12.5f, 10.0f, 500.0f, 5.0f, 12.0f)

// Each preset's index in kPresets: kPreset_dm4310, ...
enum PresetIndex : std::size_t {
#define ROTALINK_PRESET_INDEX(name, ...) kPreset_##name,
    ROTALINK_MIT_PRESETS(ROTALINK_PRESET_INDEX)
#undef ROTALINK_PRESET_INDEX
    kPresetCount
};

struct Preset {
    const char* name;
    MitLimits limits;
};
extern const std::array<Preset, kPresetCount> kPresets;

std::string repr(const MitLimits& v);
std::string repr(const MitSetpoint& v);
std::string repr(const MotorState& v);

}  // namespace rotalink::damiao::mit
