// The public robot over the core's joint map and Robot, on a public
// MotorGroup: its mutex, its cycles' host, its scope and its loop.
#include "rotalink/robot.hpp"

#include "api/group_run.hpp"
#include "damiao/joints.hpp"
#include "damiao/robot.hpp"

namespace rotalink {

using detail::Access;

struct Robot::Impl {
    Impl(MotorGroup g, damiao::Robot c, std::vector<Joint> j, std::vector<std::string> n)
        : group(std::move(g)), core(std::move(c)), joints(std::move(j)), names(std::move(n)) {}
    MotorGroup group;
    damiao::Robot core;  // over `group`'s core group; used under the group's mutex
    std::vector<Joint> joints;
    std::vector<std::string> names;
};

namespace {

damiao::JointCommand to_core(const JointCommand& c) {
    damiao::JointCommand out;
    const JointValues* fields[damiao::kJointFieldCount] = {&c.q, &c.dq, &c.kp, &c.kd, &c.tau, &c.current};
    for (std::size_t f = 0; f < damiao::kJointFieldCount; ++f) out.fields[f] = {fields[f]->data(), fields[f]->size()};
    return out;
}

damiao::JointStatesOut view(JointStates& s, std::size_t n) {
    s.q.resize(n);
    s.dq.resize(n);
    s.tau.resize(n);
    s.status.resize(n);
    s.t_mos.resize(n);
    s.t_rotor.resize(n);
    return {s.q.data(), s.dq.data(), s.tau.data(), s.status.data(), s.t_mos.data(), s.t_rotor.data()};
}

Result<Unit> outcome(Result<Unit, damiao::RobotError> r) {
    if (r.ok()) return Unit{};
    const damiao::RobotError& e = r.error();
    switch (e.kind) {
        case damiao::RobotError::Kind::Refused:
            return err(api::invalid(e.message()));
        case damiao::RobotError::Kind::Members:
            return err(api::failure(*e.members));
        case damiao::RobotError::Kind::Stopped:
            break;
    }
    return err(Error(Error::Kind::Device, e.message()));
}

// A cycle of the robot under its group's mutex, refused while the loop runs.
template <class Run>
Result<Unit> robot_cycle(Robot::Impl& r, Run run) {
    MotorGroup::Impl& g = *Access::group_ptr(r.group);
    std::lock_guard<std::mutex> lock(g.mutex);
    if (api::looping(g)) return err(api::busy());
    return outcome(run(*g.host));
}

}  // namespace

Result<Robot> Robot::make(std::vector<Joint> joints, GroupOptions options) {
    static_assert(JointStates::kNoReply == damiao::kNoReply, "one code for a joint without a reply");
    std::vector<damiao::JointSpec> specs;
    specs.reserve(joints.size());
    for (const Joint& j : joints) {
        damiao::JointSpec s;
        s.name = j.name;
        s.direction = j.direction;
        s.offset = j.offset;
        s.gear = j.gear;
        s.mode = static_cast<std::uint8_t>(j.mode);
        s.limits = j.joint_limits.value_or(JointLimits{});
        s.kp = j.kp;
        s.kd = j.kd;
        specs.push_back(std::move(s));
    }
    Result<damiao::JointMap, std::string> map = damiao::JointMap::make(std::move(specs));
    if (!map.ok()) return err(api::invalid(map.error()));
    std::vector<Member> members;
    members.reserve(joints.size());
    for (std::size_t i = 0; i < joints.size(); ++i) {
        std::optional<JointLimits> limits;
        if (joints[i].joint_limits) limits = map.value().motor_limits(i);
        members.push_back({joints[i].bus, joints[i].motor, limits});
    }
    Result<MotorGroup> group = MotorGroup::make(std::move(members), options);
    if (!group.ok()) return err(group.error());
    Result<damiao::Robot, std::string> core =
        damiao::Robot::make(std::move(map).value(), Access::group_ptr(group.value())->group);
    if (!core.ok()) return err(api::invalid(core.error()));
    std::vector<std::string> names;
    for (const Joint& j : joints) names.push_back(j.name);
    return Robot(std::make_shared<Impl>(std::move(group).value(), std::move(core).value(), std::move(joints),
                                        std::move(names)));
}

std::size_t Robot::size() const { return impl_->names.size(); }
const std::vector<std::string>& Robot::names() const { return impl_->names; }
const std::vector<Joint>& Robot::joints() const { return impl_->joints; }
const MotorGroup& Robot::group() const { return impl_->group; }
Result<GroupScope> Robot::scope() const {
    std::vector<ControlMode> modes;
    modes.reserve(impl_->joints.size());
    for (const Joint& j : impl_->joints) modes.push_back(j.mode);
    Result<Unit> ensured = impl_->group.ensure_mode(modes);
    if (!ensured.ok()) return err(std::move(ensured).error());
    return impl_->group.scope();
}

Result<Unit> Robot::state(JointStates& out) const {
    Impl& r = *impl_;
    return robot_cycle(r, [&](damiao::ScopeHost& host) { return r.core.state(host, view(out, r.core.size())); });
}

Result<Unit> Robot::command(const JointCommand& command, JointStates& out) const {
    Impl& r = *impl_;
    const damiao::JointCommand c = to_core(command);
    return robot_cycle(r, [&](damiao::ScopeHost& host) { return r.core.command(c, host, view(out, r.core.size())); });
}

Result<JointStates> Robot::state() const {
    JointStates out;
    Result<Unit> r = state(out);
    if (!r.ok()) return err(std::move(r).error());
    return out;
}

Result<JointStates> Robot::command(const JointCommand& command) const {
    JointStates out;
    Result<Unit> r = this->command(command, out);
    if (!r.ok()) return err(std::move(r).error());
    return out;
}

Result<RobotLoop> Robot::start(double rate_hz, LoopOptions options) const {
    if (!options.blend) options.blend = std::chrono::milliseconds(damiao::kRobotBlendMillis);
    Result<ControlLoop> loop = impl_->group.start(rate_hz, options);
    if (!loop.ok()) return err(std::move(loop).error());
    return RobotLoop(impl_, std::move(loop).value());
}

// ------------------------------------------------------------ the loop

RobotLoop::RobotLoop(std::shared_ptr<Robot::Impl> robot, ControlLoop loop)
    : robot_(std::move(robot)), loop_(std::move(loop)) {}

Result<Unit> RobotLoop::set(const JointCommand& command) {
    MotorGroup::Impl& g = *Access::group_ptr(robot_->group);
    damiao::ControlLoop& loop = *Access::impl(loop_).loop;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!loop.running()) return err(api::stopped(loop));
    if (std::optional<std::string> refused = robot_->core.set(loop, to_core(command))) {
        return err(api::invalid(std::move(*refused)));
    }
    return Unit{};
}

Result<Move> RobotLoop::move_to(const JointValues& q, const JointMoveOptions& options) {
    MotorGroup::Impl& g = *Access::group_ptr(robot_->group);
    damiao::ControlLoop& loop = *Access::impl(loop_).loop;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!loop.running()) return err(api::stopped(loop));
    damiao::JointMove move;
    move.q = {q.data(), q.size()};
    move.velocity = {options.velocity_limit.data(), options.velocity_limit.size()};
    move.accel = {options.accel_limit.data(), options.accel_limit.size()};
    move.kp = {options.kp.data(), options.kp.size()};
    move.kd = {options.kd.data(), options.kd.size()};
    move.duration = options.duration.value_or(0.0);
    Result<std::uint64_t, std::string> moved = robot_->core.move(loop, move);
    if (!moved.ok()) return err(api::invalid(std::move(moved).error()));
    return Access::move(Access::loop_ptr(loop_), moved.value());
}

void RobotLoop::state(JointStates& out) const {
    robot_->core.latest(*Access::impl(loop_).loop, scratch_, view(out, robot_->core.size()));
}

JointStates RobotLoop::state() const {
    JointStates out;
    state(out);
    return out;
}

}  // namespace rotalink
