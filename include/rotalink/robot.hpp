// A robot in joint space: named joints in a fixed order, each a motor with a
// direction, a zero offset and a gear ratio, commanded and read as vectors
// of doubles in joint units. The conversion is the core's, the same the
// Python module's Robot uses:
//   motor position = offset + direction * gear * q
//   motor velocity = direction * gear * dq   (a velocity limit: gear * |dq|)
//   motor torque   = direction * tau / gear
//   motor kp = kp / gear^2, motor kd = kd / gear^2
// and back for the feedback. Joint limits are in joint units and clamp
// before the conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rotalink/bus.hpp"
#include "rotalink/damiao.hpp"
#include "rotalink/export.hpp"
#include "rotalink/group.hpp"
#include "rotalink/result.hpp"
#include "rotalink/types.hpp"

namespace rotalink {

// One joint: its motor on its bus, how the motor is mounted, the mode it is
// commanded in, its limits in joint units and its default gains.
struct Joint {
    std::string name;
    SocketCanTransport bus;
    Damiao motor;
    int direction = 1;    // +1, or -1 when the motor turns against the joint
    double offset = 0.0;  // the motor position at joint position 0
    double gear = 1.0;    // motor turns per joint turn: finite, not 0
    ControlMode mode = ControlMode::MIT;
    std::optional<JointLimits> joint_limits{};  // in joint units
    double kp = 0.0;  // the gains of an MIT command that gives none, in joint units
    double kd = 0.0;
};

// One field of a JointCommand: absent, one value for every joint, or one
// per joint. A view: the vector or array it was made from must outlive the
// call it is passed to (a temporary vector is refused at compile time).
class ROTALINK_API JointValues {
public:
    JointValues() = default;
    JointValues(double value) : scalar_(value), size_(1), scalar_set_(true) {}  // NOLINT: a scalar broadcasts
    JointValues(const std::vector<double>& values) : data_(values.data()), size_(values.size()) {}  // NOLINT
    JointValues(std::vector<double>&&) = delete;
    JointValues(const double* data, std::size_t size) : data_(data), size_(size) {}

    bool given() const { return size_ != 0; }
    std::size_t size() const { return size_; }
    // The values: `size()` of them (the scalar itself for one).
    const double* data() const { return scalar_set_ ? &scalar_ : data_; }

private:
    const double* data_ = nullptr;
    double scalar_ = 0.0;
    std::size_t size_ = 0;
    bool scalar_set_ = false;
};

// One command to every joint, each in its own mode, in joint units. A joint
// takes the fields its mode has and ignores the others. An absent field is:
// kp, kd the joint's default gains; tau 0; dq 0 for MIT and VEL; for
// POS_VEL and FORCE_POS, dq (the speed) the joint's dq_max when finite, and
// q and current (FORCE_POS) are needed; MIT's q is 0 when the joint's kp is
// 0 and needed otherwise. Every value must be finite, kp and kd not
// negative, current from 0 to 1.
struct JointCommand {
    JointValues q, dq, kp, kd, tau, current;
};

// The joints' state, one entry per joint in joint order. A joint whose motor
// did not answer has NaN for q, dq and tau and -1 (kNoReply) for status,
// t_mos and t_rotor.
struct JointStates {
    static constexpr std::int32_t kNoReply = -1;
    std::vector<double> q, dq, tau;
    std::vector<std::int32_t> status, t_mos, t_rotor;  // status: the motor's code (Status)
};

// A move's limits, length and gains (RobotLoop::move_to), in joint units,
// each field as a JointCommand's: absent, one value for every joint, or one
// per joint (a view: what it was made from must outlive the call).
struct JointMoveOptions {
    // Seconds, finite and not negative: the move lasts at least this.
    // None: as long as the slowest joint needs.
    std::optional<double> duration{};
    // Absent: the joint's dq_max (none when infinite); above 0.
    JointValues velocity_limit;
    // Absent: 10 per second squared; finite, above 0.
    JointValues accel_limit;
    // MIT joints' gains. Absent: the loop's latest set's, else the joint's
    // kp and kd.
    JointValues kp, kd;
};

class RobotLoop;

// The joints' motors as one MotorGroup (member i drives joint i, its joint
// limits converted to motor units), with the conversion on every command
// and every state. A handle: copies share the robot. Commands are the
// group's cycles, serialised with its own; while the robot's loop runs they
// are Busy.
class ROTALINK_API Robot {
public:
    // Checks every joint (messages name it: "joint 'elbow' (index 2): gear
    // must be finite and non-zero, got 0") and the group as MotorGroup::make
    // does; touches no bus.
    static Result<Robot> make(std::vector<Joint> joints, GroupOptions options = {});

    std::size_t size() const;
    const std::vector<std::string>& names() const;
    const std::vector<Joint>& joints() const;
    // The group of the joints' motors, in joint order.
    const MotorGroup& group() const;

    // Puts every joint's motor in the joint's mode (MotorGroup::ensure_mode:
    // written only where it differs), then enables it; see MotorGroup::scope.
    Result<GroupScope> scope() const;

    // A refresh cycle: every joint's state.
    Result<JointStates> state() const;
    // One cycle of `command`, each joint in its mode; nothing is sent when
    // any joint's command is refused (InvalidArgument, naming the joint).
    Result<JointStates> command(const JointCommand& command) const;
    // The same into `out`, whose vectors are reused (no allocation for
    // them after the first call). On a Group error `out` holds the states
    // all the same, a member that failed as no reply.
    Result<Unit> state(JointStates& out) const;
    Result<Unit> command(const JointCommand& command, JointStates& out) const;

    // The group's control loop (MotorGroup::start) commanded in joint space;
    // LoopOptions::blend defaults to 200 ms.
    Result<RobotLoop> start(double rate_hz, LoopOptions options = {}) const;

    struct Impl;

private:
    explicit Robot(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    friend class RobotLoop;
    std::shared_ptr<Impl> impl_;
};

// A robot's control loop. Movable, not copyable; destroying a running loop
// stops it and disables every joint, as ControlLoop does.
class ROTALINK_API RobotLoop {
public:
    // The next cycles' command, converted and checked as Robot::command's;
    // LoopStopped once the loop stopped.
    Result<Unit> set(const JointCommand& command);
    // A move of every joint to `q` (one per joint, or one for all) in joint
    // units, as ControlLoop::move_to: each joint's mode, every joint
    // arriving at the same cycle, limits converted to its motor (velocity
    // and acceleration times |gear|). Refused (InvalidArgument naming the
    // joint: "joint 'elbow' (index 2): q 3 is outside its limits [-1.5,
    // 1.5]") with nothing changed; LoopStopped once stopped.
    Result<Move> move_to(const JointValues& q, const JointMoveOptions& options = {});
    // The latest state of every joint (no reply before a joint's first).
    JointStates state() const;
    // The same into `out`, whose vectors are reused: no allocation after
    // the first call. It reuses storage of the RobotLoop too: one thread at
    // a time calls the state functions of one RobotLoop.
    void state(JointStates& out) const;
    // The loop itself: wait, stats, running, error, stop.
    ControlLoop& loop() { return loop_; }
    const ControlLoop& loop() const { return loop_; }

private:
    RobotLoop(std::shared_ptr<Robot::Impl> robot, ControlLoop loop);
    friend class Robot;
    std::shared_ptr<Robot::Impl> robot_;
    ControlLoop loop_;
    mutable std::vector<std::optional<MotorState>> scratch_;
};

}  // namespace rotalink
