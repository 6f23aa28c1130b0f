// The public face's view of the core: what stands behind each public handle,
// and the conversions between the public values and the core's. Internal:
// never installed, included only by src/api.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "damiao/control.hpp"
#include "damiao/error.hpp"
#include "damiao/group.hpp"
#include "damiao/loop.hpp"
#include "damiao/mit.hpp"
#include "damiao/scope.hpp"
#include "rotalink/rotalink.hpp"
#include "transport/interface_lock.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink {

struct SocketCanTransport::Impl {
    transport::SharedBus bus;
    explicit Impl(std::unique_ptr<transport::CanTransport> t) : bus(std::move(t)) {}
};

struct MotorGroup::Impl {
    Impl(std::vector<Member> m, GroupOptions o, damiao::MotorGroup g, std::vector<transport::SharedBus*> s)
        : members(std::move(m)),
          options(o),
          group(std::move(g)),
          shared(std::move(s)),
          host(std::make_unique<damiao::DirectHost>(group, shared.data())) {}
    std::vector<Member> members;
    GroupOptions options;
    damiao::MotorGroup group;
    std::vector<transport::SharedBus*> shared;  // the group's bus i at i, kept by `members`
    // One command (or loop set) of the group at a time: the host's cycle
    // state and what the group remembers are its own. Taken before any bus
    // lock.
    std::mutex mutex;
    std::unique_ptr<damiao::DirectHost> host;  // runs the cycles in the calling thread
    damiao::GroupScope scope;                   // under `mutex`
    std::weak_ptr<ControlLoop::Impl> loop;      // the latest loop, under `mutex`
};

struct ControlLoop::Impl {
    std::shared_ptr<MotorGroup::Impl> group;  // outlives `loop`, which uses it
    std::unique_ptr<damiao::ControlLoop> loop;
    double rate_hz = 0;
};

namespace detail {
struct Access {
    template <class Handle>
    static auto& impl(const Handle& h) {
        return *h.impl_;
    }
    static bool valid(const SocketCanTransport& b) { return b.impl_ != nullptr; }
    static SocketCanTransport bus(std::shared_ptr<SocketCanTransport::Impl> i) { return SocketCanTransport(std::move(i)); }
    static MotorGroup group(std::shared_ptr<MotorGroup::Impl> i) { return MotorGroup(std::move(i)); }
    static const std::shared_ptr<MotorGroup::Impl>& group_ptr(const MotorGroup& g) { return g.impl_; }
    static ControlLoop loop(std::shared_ptr<ControlLoop::Impl> i) { return ControlLoop(std::move(i)); }
    static const std::shared_ptr<ControlLoop::Impl>& loop_ptr(const ControlLoop& l) { return l.impl_; }
    static Move move(std::shared_ptr<ControlLoop::Impl> i, std::uint64_t number) { return Move(std::move(i), number); }
    static GroupScope scope(MotorGroup g, std::vector<MotorState> enabled) {
        return GroupScope(std::move(g), std::move(enabled));
    }
};
}  // namespace detail

namespace api {

// The core's value records are the public ones (MitLimits, MitSetpoint,
// MotorState, JointLimits): no conversion. The setpoint, the motor and the
// error are converted.
damiao::Setpoint to_core(const Setpoint& s);
// The motor as the core's; an identifier past 0x7FF is refused
// ("motor_id 0x800 is past the standard range 0x7ff").
Result<damiao::Damiao> to_core(const Damiao& m);

// A driver error as the public error: InvalidArgument for a command refused
// before sending (Python's ValueError), Device otherwise (RuntimeError).
Error from_core(const damiao::Error& e);
// "MIT (1), POS_VEL (2), VEL (3) or FORCE_POS (4)".
std::string mode_names();
// Puts motor `m` on `bus` in mode `mode`, the bus let go during the pause.
Result<Unit> switch_mode(const SocketCanTransport& bus, const damiao::Damiao& m, std::uint8_t mode);
inline Error invalid(std::string message) { return Error(Error::Kind::InvalidArgument, std::move(message)); }

}  // namespace api
}  // namespace rotalink
