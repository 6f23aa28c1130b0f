// Several motors commanded together in one cycle, the group's scope, and a
// control loop that runs the cycle at a fixed rate in its own thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rotalink/bus.hpp"
#include "rotalink/damiao.hpp"
#include "rotalink/export.hpp"
#include "rotalink/result.hpp"
#include "rotalink/types.hpp"

namespace rotalink {

class GroupScope;
class ControlLoop;

// One member of a group: a motor on a bus, and optionally the joint limits
// every command to it is clamped into.
struct Member {
    SocketCanTransport bus;
    Damiao motor;
    std::optional<JointLimits> joint_limits{};
};

struct GroupOptions {
    // How long a cycle waits for the replies, counted from its last send.
    std::chrono::milliseconds timeout{20};
    // Send CAN FD frames (with bit-rate switching) instead of classic ones.
    bool fd = false;
    // When set (1..214748364 ms), enabling writes each member's watchdog
    // register so that a motor that hears nothing for that long disables
    // itself (status COMM_LOST).
    std::optional<std::chrono::milliseconds> watchdog{};
    // How long a disable of the scope or of the loop keeps retrying a member
    // that does not answer (0..60000 ms).
    std::chrono::milliseconds disable_timeout{500};
};

struct LoopOptions {
    // With no set() for this long, or a member silent for this long, the
    // loop disables every member and stops (at least 1 ms).
    std::chrono::milliseconds hold{100};
    // 1..99: the loop's thread runs SCHED_FIFO at that priority; none: the
    // thread keeps the process's policy.
    std::optional<int> priority{};
    // 0..1023: the thread is pinned to that CPU; none: not pinned.
    std::optional<int> cpu{};
    // A member answering with a fault status stops the loop (every member
    // disabled); without, faults are only counted.
    bool stop_on_fault = true;
    // 0..60000 ms: the first setpoints after the start, and the first after
    // a move, are blended in over this long, each member's command going
    // from where it is measured to the setpoints (0: sent as they are).
    // None: 0 for MotorGroup::start, 200 ms for Robot::start.
    std::optional<std::chrono::milliseconds> blend{};
};

// A move's limits, length and gains (ControlLoop::move_to), in motor units.
// Each vector is empty for the default, one value for every member, or one
// per member.
struct MoveOptions {
    // Seconds, finite and not negative: the move lasts at least this.
    // None: as long as the slowest member needs.
    std::optional<double> duration{};
    // Above 0 (infinity: none); one above the member's joint limits' dq_max
    // is lowered to it. Default: that dq_max, none without joint limits.
    std::vector<double> velocity_limit;
    // Finite, above 0. Default: 10 per second squared.
    std::vector<double> accel_limit;
    // An MIT member's gains (not NaN; clamped into the motor's range as a
    // setpoint's). Default: the latest MIT set's; a move whose kp is not
    // above 0 is refused (the member would not move).
    std::vector<double> kp, kd;
};

class Move;

// A control loop's timing and counts so far.
struct LoopStats {
    std::uint64_t cycles = 0;
    std::uint64_t overruns = 0;          // cycles that started late by a period or more
    std::vector<std::uint64_t> missed;   // per member: cycles it did not answer
    std::vector<std::uint64_t> faults;   // per member: cycles it answered with a fault status
    double rate_hz = 0;                  // cycles per second between the first and the last
    // (p50, p99, max) in microseconds: between the starts of two cycles, and
    // from a cycle's planned start to its last reply.
    std::array<double, 3> period_us{};
    std::array<double, 3> latency_us{};
};

// Several motors, on one bus or several, commanded together: each command
// sends one frame to every member and collects every reply under one
// deadline. A handle: copies share the group. Results come in member order.
//
// A cycle locks every bus of the group (in one fixed order), discards the
// frames already queued, sends, and waits at most `timeout` after its last
// send; it blocks the calling thread that long at most. Any member failing
// makes the call's error a Group error: "1 of 2 members failed; member 1
// (motor_id=0x2): transport error: timeout waiting for frame". While a
// ControlLoop of the group runs, the group's own commands are refused
// ("control loop running").
class ROTALINK_API MotorGroup {
public:
    // Checks the members as the Python module does (identifiers distinct on
    // each bus, none the register identifier 0x7FF, valid joint limits),
    // refuses identifiers past 0x7FF as Damiao's commands do, and touches no
    // bus.
    static Result<MotorGroup> make(std::vector<Member> members, GroupOptions options = {});

    std::size_t size() const;
    const std::vector<Member>& members() const;
    const GroupOptions& options() const;

    Result<std::vector<MotorState>> enable() const;  // the watchdog written first, if any
    Result<std::vector<MotorState>> disable() const;
    Result<std::vector<MotorState>> set_zero() const;
    Result<std::vector<MotorState>> clear_error() const;
    Result<std::vector<MotorState>> refresh() const;
    // A refused command's error is the one the member's single command
    // gives ("MitSetpoint.tau must be a number, got NaN").
    Result<std::vector<MotorState>> mit_control(const std::vector<MitSetpoint>& setpoints) const;
    // One setpoint of any mode per member; a refused command's error names
    // the member ("member 1 (motor_id=0x2): ...").
    Result<std::vector<MotorState>> control(const std::vector<Setpoint>& setpoints) const;
    // Holds every member where it last reported itself (refreshing first a
    // member not heard from yet): an MIT command with gains kp, kd.
    Result<std::vector<MotorState>> hold(float kp, float kd) const;
    // Puts every member (or each in its own mode) in a control mode, one
    // member after another, as Damiao::ensure_mode.
    Result<Unit> ensure_mode(ControlMode mode) const;
    Result<Unit> ensure_mode(const std::vector<ControlMode>& modes) const;
    // Per member: the commands clamped into its joint limits so far.
    std::vector<std::uint64_t> clamped() const;

    // Enables every member and gives the scope, which disables every member
    // when it ends (see GroupScope). On a failed enable every member is
    // disabled again and the error returned.
    Result<GroupScope> scope() const;

    // Runs the group's cycle rate_hz times a second (at least 1.1e-10, at
    // most 100000) in a thread of its own; see ControlLoop.
    Result<ControlLoop> start(double rate_hz, LoopOptions options = {}) const;

    struct Impl;

private:
    explicit MotorGroup(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    friend struct detail::Access;
    std::shared_ptr<Impl> impl_;
};

// The group's scope: made enabled by MotorGroup::scope, it disables every
// member when it ends (its destructor, or `close` to see the outcome): a
// running control loop of the group is stopped first, then every member is
// sent the disable until its feedback confirms it (three disables to one
// still ENABLED, a silent one retried for the group's disable_timeout).
// Each interface of the group is locked against other processes while the
// scope lives. Movable, not copyable.
class ROTALINK_API GroupScope {
public:
    GroupScope(GroupScope&& other) noexcept;
    GroupScope& operator=(GroupScope&& other) noexcept;
    GroupScope(const GroupScope&) = delete;
    GroupScope& operator=(const GroupScope&) = delete;
    // Disables as `close` does; a failure is lost (call `close` to see it).
    ~GroupScope();

    const MotorGroup& group() const { return group_; }
    // Every member's answer to the enable.
    const std::vector<MotorState>& enabled() const { return enabled_; }
    // Ends the scope now: the disable, and what failed ("1 of 2 members
    // failed; member 1 (motor_id=0x2) still reports ENABLED after 3
    // disables"). Nothing once the scope has ended.
    Result<Unit> close();

private:
    GroupScope(MotorGroup group, std::vector<MotorState> enabled) : group_(std::move(group)), enabled_(std::move(enabled)) {}
    friend struct detail::Access;
    MotorGroup group_;
    std::vector<MotorState> enabled_;
    bool open_ = true;
};

// The group's cycle run by a native thread every period on the monotonic
// clock: the latest setpoints go out every cycle (a refresh until the
// first `set`). With no `set` for LoopOptions::hold, a member silent for as
// long, or (with stop_on_fault) a member reporting a fault, the loop
// disables every member and stops; `error` says why. Movable, not
// copyable; destroying a running loop stops it and disables every member.
class ROTALINK_API ControlLoop {
public:
    ControlLoop(ControlLoop&& other) noexcept;
    ControlLoop& operator=(ControlLoop&& other) noexcept;
    ControlLoop(const ControlLoop&) = delete;
    ControlLoop& operator=(const ControlLoop&) = delete;
    ~ControlLoop();

    // The setpoints of the next cycles, one per member (clamped into the
    // members' joint limits); the latest wins. Takes the loop's mutex
    // briefly; never waits for the bus.
    Result<Unit> set(const std::vector<Setpoint>& setpoints);
    // A move of every member to `targets` (one per member, in motor units),
    // planned and run by the loop's thread: from where each member is at the
    // move's first cycle, a trapezoidal profile per member within its
    // limits, every member arriving at the same cycle, each sent the
    // profile in the mode it is known in (MIT: position, velocity and the
    // gains; POS_VEL, FORCE_POS: position under the profile's speed; VEL:
    // velocity). From its arrival the loop holds the targets as if set, the
    // hold time counting from there; a move under way counts as fresh
    // setpoints. A later `set` or move cancels it. Refused with nothing
    // changed (InvalidArgument naming the member): a target outside the
    // member's joint limits, a limit out of range, a count that does not
    // match the members; LoopStopped once stopped.
    Result<Move> move_to(const std::vector<double>& targets, const MoveOptions& options = {});
    // Waits for the next cycle to complete and gives every member's state
    // (none for a member that did not answer it). Timeout error after
    // `timeout`; without one, waits until a cycle completes or the loop
    // stops (a LoopStopped error with the reason).
    Result<std::vector<std::optional<MotorState>>> wait(
        std::optional<std::chrono::nanoseconds> timeout = std::nullopt) const;
    // The latest feedback of each member; none before its first answer.
    std::vector<std::optional<MotorState>> states() const;
    LoopStats stats() const;
    bool running() const;
    // Why the loop stopped by itself, or why disabling at `stop` failed.
    std::optional<std::string> error() const;
    // Ends the thread after the cycle under way and waits for it (at most a
    // cycle, plus the disable when the group's scope is not open: a
    // confirmed stop of every member). A Device error says which members
    // did not stop.
    Result<Unit> stop();

    struct Impl;

private:
    explicit ControlLoop(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    friend struct detail::Access;
    std::shared_ptr<Impl> impl_;
};

// A move of a control loop (ControlLoop::move_to, RobotLoop::move_to). A
// handle: copies share the move, and each keeps the loop's state alive (not
// the loop running: that is the ControlLoop's).
class ROTALINK_API Move {
public:
    // Every member has arrived: the loop holds the targets.
    bool done() const;
    // A later set() or move cancelled it, or the loop stopped before it
    // arrived.
    bool cancelled() const;
    // Waits until the move arrives (true) or a later set() or move cancels
    // it (false). A LoopStopped error with the loop's reason when the loop
    // stopped first; a Timeout error after `timeout` ("the move did not
    // arrive within 500 ms"); without one, waits as long as it takes.
    Result<bool> wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt) const;

private:
    Move(std::shared_ptr<ControlLoop::Impl> loop, std::uint64_t number) : loop_(std::move(loop)), number_(number) {}
    friend struct detail::Access;
    std::shared_ptr<ControlLoop::Impl> loop_;
    std::uint64_t number_;
};

}  // namespace rotalink
