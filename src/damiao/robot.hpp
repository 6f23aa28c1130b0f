// A robot: its joints and the group of their motors, member i driving joint
// i. Commands and feedback cross it as contiguous vectors in joint units
// (JointMap); the cycles are the group's, run by the face's ScopeHost, and
// the loop is the group's ControlLoop. The scope (enable, the confirmed
// disable) is the group's own GroupScope, entered on the same group and
// buses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/joints.hpp"
#include "damiao/loop.hpp"
#include "damiao/scope.hpp"

namespace rotalink::damiao {

// Why a robot's cycle failed.
struct RobotError {
    enum class Kind : std::uint8_t {
        Refused,  // nothing was sent: a command no joint or motor can take
        Members,  // members failed (`members`); the joints' states are written all the same
        Stopped,  // the host stopped the work (ScopeHost::run)
    };
    Kind kind;
    std::string refusal;                  // Refused: why, naming the joint
    std::optional<GroupFailure> members;  // Members: what failed
    std::string message() const;
};

// A move in joint units (ControlLoop::move). Each field but `q` may be
// absent, one value for every joint or one per joint, as a JointCommand's.
struct JointMove {
    JointValues q;         // the targets: one per joint, or one for all
    JointValues velocity;  // absent: each joint's dq_max (no limit when infinite)
    JointValues accel;     // absent: kDefaultMoveAccel
    JointValues kp, kd;    // absent: the loop's last set's, else the joint's defaults
    double duration = 0.0;  // seconds; the move lasts at least this
};

// A robot's loop blends its first setpoints in over this long unless told
// otherwise (LoopOptions::blend).
inline constexpr std::uint64_t kRobotBlendMillis = 200;

class Robot {
public:
    // Joint i is driven by member i of `group`, which must have one member
    // per joint and outlive the robot; its members' joint limits are
    // `joints.motor_limits(i)` (or none), so that the group clamps nothing
    // the joints have not clamped already and bounds VEL joints by them.
    static Result<Robot, std::string> make(JointMap joints, const MotorGroup& group);

    const JointMap& joints() const { return joints_; }
    const MotorGroup& group() const { return *group_; }
    std::size_t size() const { return joints_.size(); }

    // One cycle of `command`, each joint in its mode: every setpoint
    // converted, clamped and encoded before anything is sent (a refusal
    // names the joint), run by `host`, every answer remembered by the group;
    // the joints' states in `out`, a member that failed as no reply. The
    // caller serialises the robot's commands (as the group's), and the
    // group's loop must not run. Allocates nothing after the first call.
    Result<Unit, RobotError> command(const JointCommand& command, ScopeHost& host, const JointStatesOut& out);
    // A refresh cycle: the joints' states, commanding nothing.
    Result<Unit, RobotError> state(ScopeHost& host, const JointStatesOut& out);

    // The next cycles' command of `loop` (a loop of the robot's group): the
    // refusal, naming the joint, or nothing. The loop takes new setpoints,
    // so this allocates.
    std::optional<std::string> set(ControlLoop& loop, const JointCommand& command) const;
    // A move of every joint (ControlLoop::move) in joint units: targets
    // and limits checked here, naming the joint ("joint 'elbow' (index 2):
    // q 3 is outside its limits [-1.5, 1.5]"), then converted to motor
    // units (velocity and acceleration times |gear|, gains over gear
    // squared). The move's number, or the refusal.
    Result<std::uint64_t, std::string> move(ControlLoop& loop, const JointMove& move) const;
    // The latest states of `loop` in joint units; a joint not heard from
    // yet as no reply. `scratch` keeps its storage from one call to the
    // next: after the first, nothing is allocated.
    void latest(const ControlLoop& loop, std::vector<std::optional<mit::MotorState>>& scratch,
                const JointStatesOut& out) const;

private:
    Robot(JointMap joints, const MotorGroup& group) : joints_(std::move(joints)), group_(&group) {}
    Result<Unit, RobotError> run(const std::vector<transport::CanFrame>& frames, ScopeHost& host,
                                 const JointStatesOut& out);
    std::string refusal(const MotorGroup::Refusal& r) const;

    JointMap joints_;
    const MotorGroup* group_;
    std::vector<Setpoint> setpoints_;  // command's, kept from one call to the next
};

}  // namespace rotalink::damiao
