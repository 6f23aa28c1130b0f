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

struct CommandField {
    const char* name;  // the value class's attribute and keyword
    Wire wire;
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
     {{{"q", Wire::Mit}, {"dq", Wire::Mit}, {"kp", Wire::Mit}, {"kd", Wire::Mit}, {"tau", Wire::Mit}}}},
    {2, "POS_VEL", 0x100, 8, "PosVelSetpoint", "pos_vel_control", 2,
     {{{"q", Wire::F32}, {"dq", Wire::F32}}}},
    {3, "VEL", 0x200, 4, "VelSetpoint", "vel_control", 1, {{{"dq", Wire::F32}}}},
    {4, "FORCE_POS", 0x300, 8, "ForcePosSetpoint", "force_pos_control", 3,
     {{{"q", Wire::F32}, {"dq", Wire::U16, 100.0f, 100.0f}, {"current", Wire::U16, 1.0f, 10000.0f}}}},
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

// Requests to every motor on a bus (registers, refresh) go to standard id
// 0x7FF; no command is sent there.
inline constexpr std::uint32_t kRegisterId = 0x7FF;

// One command of kind `kind`: its fields' values in the kind's order.
struct Setpoint {
    std::size_t kind = kMitKind;
    std::array<float, kMaxFields> values{};
};

mit::MitSetpoint as_mit(const Setpoint& s);

// The command's identifier, (motor_id & 0x7FF) + the kind's offset, which
// may be past the standard range (make_control refuses those).
constexpr std::uint32_t control_id(std::uint16_t motor_id, std::size_t kind) {
    return (motor_id & 0x7FFu) + kCommandKinds[kind].id_offset;
}

// The frame of one command: classic, to control_id, of the kind's length.
// Refused, with nothing made: an identifier of 0x7FF (the register
// identifier: every motor would read the payload as a request) or past it,
// a field that is not finite (kinds other than MIT; the MIT codec
// saturates), limits the MIT codec cannot use.
Result<transport::CanFrame, Error> make_control(std::uint16_t motor_id, const mit::MitLimits& limits,
                                                const Setpoint& setpoint);

// An identifier as messages show it: "0x07f".
std::string id_text(std::uint32_t id);

// "PosVelSetpoint(q=1, dq=2.5)".
std::string repr(const Setpoint& s);

}  // namespace rotalink::damiao
