#include "damiao/robot.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "support/float_text.hpp"

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

Result<std::uint64_t, std::string> Robot::move(ControlLoop& loop, const JointMove& move) const {
    const std::size_t n = joints_.size();
    const std::pair<const char*, const JointValues*> fields[] = {
        {"q", &move.q}, {"velocity_limit", &move.velocity}, {"accel_limit", &move.accel}, {"kp", &move.kp}, {"kd", &move.kd}};
    for (const auto& [name, values] : fields) {
        if (values->size == 1 || values->size == n || (values->size == 0 && values != &move.q)) continue;
        return err(std::string(name) + ": expected 1 value or " + std::to_string(n) + ", one per joint, got " +
                   std::to_string(values->size));
    }
    if (std::string fault = move_duration_fault(move.duration); !fault.empty()) return err(std::move(fault));
    const auto at = [](const JointValues& v, std::size_t i) { return v.data[v.size == 1 ? 0 : i]; };
    MoveRequest request;
    request.duration = move.duration;
    request.axes.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const JointSpec& j = joints_.specs()[i];
        const auto fault = [&](const std::string& why) { return err(joint_name(j.name, i) + ": " + why); };
        MoveAxis axis;  // in joint units, checked, then converted
        axis.kind = joints_.kind(i);
        axis.target = at(move.q, i);
        axis.velocity = move.velocity.size > 0 ? at(move.velocity, i) : static_cast<double>(j.limits.dq_max);
        axis.accel = move.accel.size > 0 ? at(move.accel, i) : kDefaultMoveAccel;
        if (std::string why = move_axis_fault(axis, "q"); !why.empty()) return fault(why);
        if (!(axis.target >= j.limits.q_min && axis.target <= j.limits.q_max)) {
            return fault("q " + double_text(axis.target) + " is outside its limits [" + float_short(j.limits.q_min) +
                         ", " + float_short(j.limits.q_max) + "]");
        }
        const JointValues* gains[] = {&move.kp, &move.kd};
        double gain[2] = {std::nan(""), std::nan("")};
        for (std::size_t g = 0; g < 2; ++g) {
            if (gains[g]->size == 0) continue;
            gain[g] = at(*gains[g], i);
            if (!(gain[g] >= 0.0 && std::isfinite(gain[g]))) {
                return fault(std::string(g == 0 ? "kp" : "kd") + " must be finite and not negative, got " +
                             double_text(gain[g]));
            }
        }
        const double sign_gear = j.direction * j.gear;
        const double g2 = j.gear * j.gear;
        const JointLimits motor = joints_.motor_limits(i);
        MoveAxis& m = request.axes[i];
        m.kind = axis.kind;
        // Inside the joint's limits, so inside the motor's but for rounding.
        m.target = std::clamp(j.offset + sign_gear * axis.target, static_cast<double>(motor.q_min),
                              static_cast<double>(motor.q_max));
        m.velocity = std::fabs(j.gear) * axis.velocity;
        m.accel = std::fabs(j.gear) * axis.accel;
        m.kp = static_cast<float>(gain[0] / g2);
        m.kd = static_cast<float>(gain[1] / g2);
        if (j.kp > 0.0) m.fallback_kp = static_cast<float>(j.kp / g2);
        m.fallback_kd = static_cast<float>(j.kd / g2);
    }
    Result<std::uint64_t, MotorGroup::Refusal> id = loop.move(std::move(request));
    if (!id.ok()) return err(refusal(id.error()));
    return id.value();
}

void Robot::latest(const ControlLoop& loop, std::vector<std::optional<mit::MotorState>>& scratch,
                   const JointStatesOut& out) const {
    loop.states_into(scratch);
    joints_.to_joints(scratch.data(), out);
}

}  // namespace rotalink::damiao
