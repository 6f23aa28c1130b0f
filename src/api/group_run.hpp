// What the group's commands, its scope and its loop share in src/api: one
// cycle on the group's buses, and the messages of a group's failures.
#pragma once

#include <string>
#include <vector>

#include "api/access.hpp"

namespace rotalink::api {

using MemberResults = std::vector<damiao::MemberResult>;

// One cycle of `frames` (leaving out the members flagged in `skip`), every
// bus locked for each of its steps. The caller holds the group's mutex.
const MemberResults& run_cycle(MotorGroup::Impl& g, const std::vector<transport::CanFrame>& frames,
                               const char* skip = nullptr);

// "2 of 3 members failed; member 0 (motor_id=0x1): <its error>" and, for
// each member that answered with a fault status, "; member 2
// (motor_id=0x3) reports OVERLOAD". The caller has found a failure.
std::string group_failure(const damiao::MotorGroup& g, const MemberResults& results);

// Writes every member's watchdog register, when the group has one.
Result<Unit> write_watchdog(MotorGroup::Impl& g);

// A confirmed stop of every member; "" when every member stopped, else the
// message ("1 of 2 members failed; member 1 (motor_id=0x2) still reports
// ENABLED after 3 disables"). The caller holds the group's mutex.
std::string disable_all(MotorGroup::Impl& g);

// Whether a control loop of the group runs; the caller holds the mutex.
bool looping(const MotorGroup::Impl& g);

// The group's scope, the seam with the core: entering takes the locks of the
// group's interfaces, writes the watchdog, enables every member (the
// fallback to a mode's identifier included) and checks that each answered
// ENABLED, disabling every member again when the enable failed; leaving
// stops a running loop and disables every member. The caller holds the
// group's mutex.
Result<std::vector<MotorState>> enter_group_scope(MotorGroup::Impl& g);
Result<Unit> leave_group_scope(MotorGroup::Impl& g);

}  // namespace rotalink::api
