// The control commands of the firmware's four modes, as data: one entry per
// command kind says which mode takes it, the identifier it goes to, how its
// payload is laid out and what its fields are called. The encoder below, the
// Python value classes, the single-command methods and the group's
// per-member dispatch are all made from this table, so a new command kind is
// one new entry (and a new Wire, if its bytes are laid out another way).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "damiao/error.hpp"
#include "damiao/mit.hpp"
#include "support/result.hpp"
#include "transport/can.hpp"

namespace rotalink::damiao {

// How one field of a command is carried.
enum class Wire : std::uint8_t {
    Mit,  // packed with the other fields by the MIT codec (mit::encode)
    F32,  // 32-bit float, 4 bytes little-endian
    U16,  // clamped to [0, max], times `scale` in 32-bit float, rounded to
          // nearest (ties away from zero): 2 bytes little-endian
};

// What a field means to the joint, and so which joint limit clamps it.
enum class Role : std::uint8_t {
    Position,  // into [q_min, q_max]
    Velocity,  // a target velocity: to +-dq_max
    Speed,     // a velocity limit, which the motor takes as a magnitude: to +-dq_max
    Torque,    // a feed-forward torque: to +-tau_max
    Other,     // a gain, a current fraction: not clamped
};

struct CommandField {
    const char* name;  // the value class's attribute and keyword
    Wire wire;
    Role role;
    float max = 0.0f;    // U16: the top of the field's range
    float scale = 0.0f;  // U16: raw units per unit of the field
};

inline constexpr std::size_t kMaxFields = 5;

struct CommandKind {
    std::uint8_t mode;        // the mode (register 10) that follows this command
    const char* mode_name;    // its name: the member of rotalink.ControlMode
    std::uint16_t id_offset;  // the frame goes to (motor_id & 0x7FF) + id_offset
    std::uint8_t length;      // data bytes
    const char* value_class;  // the Python class of its setpoint
    const char* method;       // the Damiao method that sends one
    std::size_t field_count;
    std::array<CommandField, kMaxFields> fields;
};

// Every command kind, in the order of the modes' numbers.
inline constexpr CommandKind kCommandKinds[] = {
    {1, "MIT", 0x000, 8, "MitSetpoint", "mit_control", 5,
     {{{"q", Wire::Mit, Role::Position},
       {"dq", Wire::Mit, Role::Velocity},
       {"kp", Wire::Mit, Role::Other},
       {"kd", Wire::Mit, Role::Other},
       {"tau", Wire::Mit, Role::Torque}}}},
    {2, "POS_VEL", 0x100, 8, "PosVelSetpoint", "pos_vel_control", 2,
     {{{"q", Wire::F32, Role::Position}, {"dq", Wire::F32, Role::Speed}}}},
    {3, "VEL", 0x200, 4, "VelSetpoint", "vel_control", 1, {{{"dq", Wire::F32, Role::Velocity}}}},
    {4, "FORCE_POS", 0x300, 8, "ForcePosSetpoint", "force_pos_control", 3,
     {{{"q", Wire::F32, Role::Position},
       {"dq", Wire::U16, Role::Speed, 100.0f, 100.0f},
       {"current", Wire::U16, Role::Other, 1.0f, 10000.0f}}}},
};
inline constexpr std::size_t kCommandKindCount = sizeof(kCommandKinds) / sizeof(kCommandKinds[0]);
inline constexpr std::size_t kMitKind = 0;
inline constexpr std::uint8_t kMitMode = kCommandKinds[kMitKind].mode;

namespace detail {
constexpr std::size_t wire_bytes(Wire w) { return w == Wire::F32 ? 4 : w == Wire::U16 ? 2 : 0; }
constexpr bool layouts_fit() {
    for (const CommandKind& k : kCommandKinds) {
        std::size_t bytes = 0;
        bool mit = false;
        for (std::size_t i = 0; i < k.field_count; ++i) {
            bytes += wire_bytes(k.fields[i].wire);
            mit = mit || k.fields[i].wire == Wire::Mit;
        }
        if (k.field_count > kMaxFields || (mit ? k.length != 8 || k.field_count != 5 : bytes != k.length)) {
            return false;
        }
    }
    return kCommandKinds[kMitKind].fields[0].wire == Wire::Mit;
}
}  // namespace detail
static_assert(detail::layouts_fit(), "a command kind's fields do not fill its payload");

// The index in kCommandKinds of the kind that mode `mode` follows, or
// kCommandKindCount for a number no mode has.
constexpr std::size_t kind_of_mode(std::uint32_t mode) {
    std::size_t k = 0;
    while (k < kCommandKindCount && kCommandKinds[k].mode != mode) ++k;
    return k;
}

// A field's first byte in the payload of a kind whose fields the MIT codec
// does not pack.
constexpr std::size_t field_offset(const CommandKind& k, std::size_t field) {
    std::size_t at = 0;
    for (std::size_t f = 0; f < field; ++f) at += detail::wire_bytes(k.fields[f].wire);
    return at;
}

// Where a kind's motion fields are (kMaxFields for none): read off
// kCommandKinds once, so that a cycle that only moves (a move, a blend)
// stores into them and re-encodes them directly.
struct MotionFields {
    std::size_t position = kMaxFields;
    std::size_t velocity = kMaxFields;
    std::size_t speed = kMaxFields;
    bool single = true;  // no role held by two fields
};

constexpr MotionFields motion_fields_of(const CommandKind& k) {
    MotionFields m;
    for (std::size_t f = 0; f < k.field_count; ++f) {
        std::size_t* slot = k.fields[f].role == Role::Position   ? &m.position
                            : k.fields[f].role == Role::Velocity ? &m.velocity
                            : k.fields[f].role == Role::Speed    ? &m.speed
                                                                 : nullptr;
        if (slot == nullptr) continue;
        m.single = m.single && *slot == kMaxFields;
        *slot = f;
    }
    return m;
}

constexpr std::array<MotionFields, kCommandKindCount> motion_fields() {
    std::array<MotionFields, kCommandKindCount> out{};
    for (std::size_t k = 0; k < kCommandKindCount; ++k) out[k] = motion_fields_of(kCommandKinds[k]);
    return out;
}

constexpr std::array<MotionFields, kCommandKindCount> kMotionFields = motion_fields();

constexpr bool motion_fields_single() {
    for (const MotionFields& m : kMotionFields) {
        if (!m.single) return false;
    }
    return true;
}
static_assert(motion_fields_single(), "a command kind with two fields of one motion role");

// Requests to every motor on a bus (registers, refresh) go to standard id
// 0x7FF; no command is sent there.
inline constexpr std::uint32_t kRegisterId = 0x7FF;

// One command of kind `kind`: its fields' values in the kind's order.
struct Setpoint {
    std::size_t kind = kMitKind;
    std::array<float, kMaxFields> values{};
};

mit::MitSetpoint as_mit(const Setpoint& s);
Setpoint from_mit(const mit::MitSetpoint& s);

// The range a joint may be commanded in (the public record). Every field is
// clamped by its role (Role); infinite bounds clamp nothing.
using JointLimits = ::rotalink::JointLimits;

// Why `limits` bound no range ("q_min 2 is above q_max 1", a negative or NaN
// maximum), or "" when they do.
std::string joint_limits_fault(const JointLimits& limits);

// "JointLimits(q_min=-1.5, q_max=1.5, dq_max=inf, tau_max=inf)".
std::string repr(const JointLimits& limits);

// The bounds of each field of a command kind under joint limits, by the
// fields' roles: worked out once, so that clamping a command is two
// comparisons a field.
struct FieldBounds {
    std::array<float, kMaxFields> lo;
    std::array<float, kMaxFields> hi;
};
FieldBounds field_bounds(const JointLimits& limits, std::size_t kind);

// Clamps each field of `s` into `bounds` (of its kind); true when any field
// moved. A NaN field is left as it is (make_control refuses it).
bool clamp(Setpoint& s, const FieldBounds& bounds);
inline bool clamp(Setpoint& s, const JointLimits& limits) { return clamp(s, field_bounds(limits, s.kind)); }

// The command's identifier, (motor_id & 0x7FF) + the kind's offset, which
// may be past the standard range (make_control refuses those).
constexpr std::uint32_t control_id(std::uint16_t motor_id, std::size_t kind) {
    return (motor_id & 0x7FFu) + kCommandKinds[kind].id_offset;
}

// Why no frame of kind `kind` may go to motor `motor_id`'s control_id: "the
// VEL command identifier 0x800 (0x200 + motor_id 0x600) is past the
// standard range 0x7ff", or the same saying it "is the register
// identifier"; "" when it may.
std::string control_id_fault(std::uint16_t motor_id, std::size_t kind);

// The frame of one command: classic, to control_id, of the kind's length.
// Refused, with nothing made: an identifier of 0x7FF (the register
// identifier: every motor would read the payload as a request) or past it;
// a NaN field, or for kinds other than MIT an infinite one (the MIT codec
// saturates infinities to the range's ends, but would send NaN as the
// bottom of the range: q = -p_max, full reverse torque); for MIT, limits the
// codec cannot use, and a p_max, v_max or t_max of 0 or infinity (the field's
// raw value would be 0 whatever was asked, which the motor reads as the
// bottom of its own range).
Result<transport::CanFrame, Error> make_control(std::uint16_t motor_id, const mit::MitLimits& limits,
                                                const Setpoint& setpoint);
// The same, written into `frame` (which a refusal leaves unspecified): the
// refusal, or nothing.
std::optional<Error> write_control(transport::CanFrame& frame, std::uint16_t motor_id, const mit::MitLimits& limits,
                                   const Setpoint& setpoint);

// The command `frame` carries, read back from its bytes (write_control's
// inverse, to the fields' resolution): a frame to one of motor `motor_id`'s
// control identifiers of that kind's length. None for any other frame (a
// refresh, a special command).
std::optional<Setpoint> read_control(const transport::CanFrame& frame, std::uint16_t motor_id,
                                     const mit::MitLimits& limits);

// The motion fields (kMotionFields: position, velocity, speed) of
// `frame`, a command write_control made for a setpoint of `setpoint`'s kind
// to the same motor with the same limits, rewritten for `setpoint`'s: the
// bytes write_control would make for `setpoint` when its other fields are
// the same as that setpoint's. Its motion fields must be numbers (finite
// but for MIT's, which saturate as write_control's do). Cheaper
// than write_control by the checks and the other fields: a cycle that only
// moves rewrites its frames with it. Allocates nothing.
void write_motion(transport::CanFrame& frame, const mit::MitLimits& limits, const Setpoint& setpoint);

// One member's motion fields worked out once for frames of one kind: a
// move's cycle writes a position and a velocity into the member's frame
// (made whole by write_control for that kind and member) with a clamp and
// the fields' encoding, and nothing else.
struct MotionWriter {
    std::size_t kind = kMitKind;
    mit::MitLimits limits{};
    float q_lo = -std::numeric_limits<float>::infinity();  // the position's bounds
    float q_hi = std::numeric_limits<float>::infinity();
    float v_lo = -std::numeric_limits<float>::infinity();  // the velocity's and the speed limit's
    float v_hi = std::numeric_limits<float>::infinity();

    MotionWriter() = default;
    // `bounds`: the member's field bounds for `kind`, or null for none.
    // `limits` must be ones write_control takes (for MIT: p_max and v_max
    // finite and above 0).
    MotionWriter(std::size_t kind, const mit::MitLimits& limits, const FieldBounds* bounds);
    // The frame's motion fields for position `p` moving at `v`: the bytes
    // write_control gives for move_motion's setpoint (the speed limit
    // max(|v|, floor)) clamped into the bounds, the other fields kept.
    // `p` and `v` must be finite.
    void write(transport::CanFrame& frame, double p, double v, double floor) const {
        if (mit_codec_) {
            mit::encode_motion(limits, bounded(p, q_lo, q_hi), bounded(v, v_lo, v_hi), frame.data.data());
        } else {
            write_fields(frame, p, v, floor);
        }
    }

private:
    static float bounded(double x, float lo, float hi) {
        const float f = static_cast<float>(x);
        return f < lo ? lo : f > hi ? hi : f;
    }
    void write_fields(transport::CanFrame& frame, double p, double v, double floor) const;
    bool mit_codec_ = true;
    // The other kinds' motion fields: (kind's field, byte offset), the
    // field kMaxFields for none.
    std::array<std::size_t, 3> field_{kMaxFields, kMaxFields, kMaxFields};  // position, velocity, speed
    std::array<std::size_t, 3> offset_{};
};

// An identifier as messages show it: "0x07f".
std::string id_text(std::uint32_t id);

// "PosVelSetpoint(q=1, dq=2.5)".
std::string repr(const Setpoint& s);

}  // namespace rotalink::damiao
