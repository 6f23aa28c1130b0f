#include "damiao/robot.hpp"

#include <utility>

namespace rotalink::damiao {

std::string RobotError::message() const {
    switch (kind) {
        case Kind::Refused:
            return refusal;
        case Kind::Members:
            return members->message();
        case Kind::Stopped:
            break;
    }
    return "stopped";
}

Result<Robot, std::string> Robot::make(JointMap joints, const MotorGroup& group) {
    if (group.size() != joints.size()) {
        return err("expected " + std::to_string(joints.size()) + " group members, one per joint, got " +
                   std::to_string(group.size()));
    }
    return Robot(std::move(joints), group);
}

std::string Robot::refusal(const MotorGroup::Refusal& r) const {
    return joint_name(joints_.specs()[r.member].name, r.member) + ": " + r.error.message();
}

Result<Unit, RobotError> Robot::run(const std::vector<transport::CanFrame>& frames, ScopeHost& host,
                                    const JointStatesOut& out) {
    const std::vector<MemberResult>* results = host.run(frames, nullptr, true);
    if (results == nullptr) return err(RobotError{RobotError::Kind::Stopped, {}, std::nullopt});
    group_->remember(*results);
    joints_.to_joints(results->data(), out);
    if (std::optional<GroupFailure> f = members_failed(*group_, *results)) {
        return err(RobotError{RobotError::Kind::Members, {}, std::move(f)});
    }
    return Unit{};
}

Result<Unit, RobotError> Robot::command(const JointCommand& command, ScopeHost& host, const JointStatesOut& out) {
    setpoints_.resize(joints_.size());
    if (std::optional<std::string> refused = joints_.to_setpoints(command, setpoints_.data())) {
        return err(RobotError{RobotError::Kind::Refused, std::move(*refused), std::nullopt});
    }
    auto frames = group_->control(setpoints_.data());
    if (!frames.ok()) return err(RobotError{RobotError::Kind::Refused, refusal(frames.error()), std::nullopt});
    return run(frames.value(), host, out);
}

Result<Unit, RobotError> Robot::state(ScopeHost& host, const JointStatesOut& out) {
    return run(group_->refresh(), host, out);
}

std::optional<std::string> Robot::set(ControlLoop& loop, const JointCommand& command) const {
    std::vector<Setpoint> setpoints(joints_.size());
    if (std::optional<std::string> refused = joints_.to_setpoints(command, setpoints.data())) return refused;
    if (std::optional<MotorGroup::Refusal> refused = loop.command(std::move(setpoints))) return refusal(*refused);
    return std::nullopt;
}

void Robot::latest(const ControlLoop& loop, std::vector<std::optional<mit::MotorState>>& scratch,
                   const JointStatesOut& out) const {
    loop.states_into(scratch);
    joints_.to_joints(scratch.data(), out);
}

}  // namespace rotalink::damiao
