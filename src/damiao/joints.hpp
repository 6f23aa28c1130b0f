// Joints: a robot's motors seen as named joints in a fixed order, each with
// a direction, a zero offset and a gear ratio between motor and joint. The
// commands of a cycle come in as contiguous vectors of doubles in joint
// units, one value per joint, and become one motor setpoint per joint; the
// motors' feedback goes back into contiguous arrays in joint units. No I/O
// here, and no allocation once the joints are made.
//
// Per joint, with d its direction (+1 or -1), g its gear and o its offset
// (a motor position):
//   motor position = o + d * g * q       q   = (p - o) / (d * g)
//   motor velocity = d * g * dq          dq  = v / (d * g)
//   motor torque   = d * tau / g         tau = d * g * t
//   motor kp = kp / g^2, motor kd = kd / g^2
// A velocity limit (the dq of POS_VEL and FORCE_POS) is a magnitude:
// g * |dq|. FORCE_POS's current is a share of the peak current, the same on
// both sides of the gear. Joint limits are in joint units and clamp each
// field by its role (q into [q_min, q_max], dq to +-dq_max, tau to
// +-tau_max) before the conversion.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "damiao/control.hpp"
#include "damiao/mit.hpp"
#include "support/result.hpp"

namespace rotalink::damiao {

// One joint as described: how its motor is mounted and commanded.
struct JointSpec {
    std::string name;
    int direction = 1;     // +1, or -1 when the motor turns against the joint
    double offset = 0.0;   // the motor position at joint position 0
    double gear = 1.0;     // motor turns per joint turn; finite, not 0 (negative reverses as direction does)
    std::uint8_t mode = kMitMode;  // the control mode (register 10 number) it is commanded in
    JointLimits limits{};  // in joint units; infinite by default
    double kp = 0.0;       // the gains an MIT command without kp / kd gets, in joint units
    double kd = 0.0;
};

// The fields a joint command may carry, one vector each. A table: the
// names are the keywords of both faces, and a command kind's field of the
// same name (kCommandKinds) takes its value.
enum JointField : std::size_t { kJointQ, kJointDq, kJointKp, kJointKd, kJointTau, kJointCurrent, kJointFieldCount };
inline constexpr const char* kJointFieldNames[kJointFieldCount] = {"q", "dq", "kp", "kd", "tau", "current"};

// One field's values, not owned: absent (size 0), one value for every joint
// (size 1), or one per joint (size = the number of joints).
struct JointValues {
    const double* data = nullptr;
    std::size_t size = 0;
};

// One command to every joint, each in its own mode. A joint takes the
// fields its mode has and ignores the others; an absent field is:
//   kp, kd       the joint's default gains (JointSpec::kp, kd; 0 unless set)
//   tau          0
//   dq (MIT, VEL) 0: no velocity (MIT: damping towards rest)
//   q  (MIT)     0 when the joint's kp is 0 (a pure velocity/torque
//                command); needed otherwise
//   q  (POS_VEL, FORCE_POS) needed
//   dq (POS_VEL, FORCE_POS) the joint's dq_max when it is finite; needed
//                otherwise (the speed the target is reached at)
//   current (FORCE_POS) needed
// Every value given must be finite (for every joint, whether its mode uses
// the field or not), kp and kd not negative, current from 0 to 1.
struct JointCommand {
    std::array<JointValues, kJointFieldCount> fields{};
    JointValues& operator[](JointField f) { return fields[f]; }
    const JointValues& operator[](JointField f) const { return fields[f]; }
};

// The joints' state, written in place: arrays of one value per joint, owned
// by the caller. A joint whose motor did not answer gets NaN for q, dq and
// tau, and kNoReply for status, t_mos and t_rotor.
struct JointStatesOut {
    double* q;
    double* dq;
    double* tau;
    std::int32_t* status;  // the motor's status code (Status)
    std::int32_t* t_mos;   // degrees Celsius
    std::int32_t* t_rotor;
};
inline constexpr std::int32_t kNoReply = -1;

// "joint 'elbow' (index 2)", the name of a joint in messages.
std::string joint_name(const std::string& name, std::size_t index);

// A double as messages show it: the shortest text that reads back as the
// same value (0.1, 6.33, 1e-05, nan, -inf).
std::string double_text(double v);

class JointMap {
public:
    // Checks every joint once: a name, unique and not empty; direction +1
    // or -1; offset finite; gear finite and not 0; a control mode; joint
    // limits bounding a range; default gains finite and not negative. The
    // first fault, naming the joint ("joint 'elbow' (index 2): gear must be
    // finite and non-zero, got 0").
    static Result<JointMap, std::string> make(std::vector<JointSpec> joints);

    std::size_t size() const { return joints_.size(); }
    const std::vector<JointSpec>& specs() const { return specs_; }
    // The command kind (kCommandKinds index) joint i is commanded in.
    std::size_t kind(std::size_t i) const { return joints_[i].kind; }
    // Joint i's limits converted to motor units (the same range: the group
    // clamps nothing more, and bounds a VEL joint's position by it).
    JointLimits motor_limits(std::size_t i) const;

    // One setpoint per joint into `out` (size() of them), clamped in joint
    // units and converted. Allocates nothing. Refused, with `out`
    // unspecified: a field of another length than 0, 1 or size() ("q:
    // expected 1 value or 6, one per joint, got 4"), or a joint's value
    // ("joint 'elbow' (index 2): q must be finite, got nan").
    std::optional<std::string> to_setpoints(const JointCommand& command, Setpoint* out) const;

    // Feedback in joint units, joint i from `states[i]` (none: no reply).
    // Allocates nothing.
    void to_joints(const std::optional<mit::MotorState>* states, const JointStatesOut& out) const;
    // The same from a cycle's results (a failed member: no reply).
    void to_joints(const Result<mit::MotorState, Error>* results, const JointStatesOut& out) const;
    // A motor value of joint i in joint units, by what it means (a
    // position, a velocity, a speed, a torque; anything else as it is).
    double to_joint(std::size_t i, Role role, double motor) const;

private:
    struct Joint {
        std::size_t kind;
        double sign_gear;   // direction * gear
        double gear;        // |gear|
        double offset;
        FieldBounds bounds;  // the kind's fields, in joint units
    };
    void to_joint(std::size_t i, const mit::MotorState* s, const JointStatesOut& out) const;

    std::vector<JointSpec> specs_;
    std::vector<Joint> joints_;
};

}  // namespace rotalink::damiao
