// What the group's commands, its scope and its loop share in src/api.
#pragma once

#include "api/access.hpp"

namespace rotalink::api {

using MemberResults = std::vector<damiao::MemberResult>;

// One cycle of `frames` (leaving out the members flagged in `skip`), every
// bus locked for each of its steps, run to its deadline. The caller holds
// the group's mutex.
inline const MemberResults& run_cycle(MotorGroup::Impl& g, const std::vector<transport::CanFrame>& frames,
                                      const char* skip = nullptr) {
    return *g.host->run(frames, skip, true);
}

// A group's failure as the public error.
inline Error failure(const damiao::GroupFailure& f) { return Error(Error::Kind::Group, f.message()); }

// Whether a control loop of the group runs; the caller holds the mutex.
bool looping(const MotorGroup::Impl& g);

// A group command refused while its loop runs.
inline Error busy() { return Error(Error::Kind::Busy, "control loop running"); }
// A loop that no longer runs: why it stopped ("the control loop is stopped"
// when nothing says).
Error stopped(const damiao::ControlLoop& loop);

}  // namespace rotalink::api
