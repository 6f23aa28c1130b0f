// Test helpers over the motor layer: an MIT command frame made on its own,
// and one whole group cycle on transports the test holds.
#pragma once

#include <cerrno>
#include <cstdint>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/protocol.hpp"

namespace rotalink::test {

// The MIT command to `motor_id`; limits the encoder cannot use make no frame.
inline Result<transport::CanFrame, damiao::mit::LimitDomainError> make_mit(std::uint16_t motor_id,
                                                                           const damiao::mit::MitLimits& limits,
                                                                           const damiao::mit::MitSetpoint& setpoint) {
    Result<damiao::mit::Payload, damiao::mit::LimitDomainError> payload = damiao::mit::encode(limits, setpoint);
    if (!payload.ok()) return err(payload.error());
    return damiao::make_command(motor_id, payload.value());
}

// One cycle of `frames` on `buses` (bus i of the group at i): `start`, then
// `collect` once. A signal during the wait fails every member still awaited
// (its result still the time-out it starts with) with EINTR.
inline std::vector<damiao::MemberResult> run_cycle(const damiao::MotorGroup& g, transport::CanTransport* const* buses,
                                                   const std::vector<transport::CanFrame>& frames,
                                                   transport::BusWaiter& waiter) {
    damiao::MotorGroup::Cycle c;
    g.start(c, buses, frames);
    const bool interrupted = g.collect(c, buses, waiter) == damiao::MotorGroup::Progress::Interrupted;
    std::vector<damiao::MemberResult> results = c.results();
    if (!interrupted) return results;
    for (damiao::MemberResult& r : results) {
        if (r.ok() || r.error().kind() != damiao::Error::Kind::Transport ||
            r.error().transport_error().kind() != transport::TransportError::Kind::Timeout) {
            continue;
        }
        r = err(damiao::Error::transport(transport::TransportError::backend(transport::IoError::from_errno(EINTR))));
    }
    return results;
}

}  // namespace rotalink::test
