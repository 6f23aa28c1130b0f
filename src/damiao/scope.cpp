#include "damiao/scope.hpp"

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::damiao {

using transport::CanFrame;
using transport::SharedBus;

namespace {

// "member 3 (motor_id=0x4) reports OVERLOAD" for every member whose state
// carries a fault status, each after "; ".
std::string fault_statuses(const MotorGroup& g, const std::vector<std::optional<mit::MotorState>>& states) {
    std::string out;
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (!states[i] || !is_fault_status(states[i]->error)) continue;
        out += "; " + member_name(g.members(), i) + " reports " + status_text(states[i]->error);
    }
    return out;
}

std::string failed_head(std::size_t failed, std::size_t n) {
    return std::to_string(failed) + " of " + std::to_string(n) + " members failed; ";
}

std::optional<mit::MotorState> as_state(const mit::MotorState& s) { return s; }
std::optional<mit::MotorState> as_state(const Unit&) { return std::nullopt; }

template <class T>
std::optional<GroupFailure> failed_of(const MotorGroup& g, const std::vector<Result<T, Error>>& results) {
    GroupFailure f;
    f.states.resize(results.size());
    f.errors.resize(results.size());
    std::size_t failed = 0;
    std::size_t first = results.size();
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].ok()) {
            f.states[i] = as_state(results[i].value());
            continue;
        }
        f.errors[i] = results[i].error().message();
        if (failed++ == 0) first = i;
    }
    if (failed == 0) return std::nullopt;
    f.text = failed_head(failed, results.size()) + member_name(g.members(), first) + ": " + f.errors[first] +
             fault_statuses(g, f.states);
    return f;
}

// Whether a wait for a bus ended because a signal interrupted it.
bool interrupted(const Error& e) {
    return e.kind() == Error::Kind::Transport &&
           e.transport_error().kind() == transport::TransportError::Kind::Backend &&
           e.transport_error().io().code == EINTR;
}

// The interfaces held by this process's scopes, shared by scopes on the same
// interface.
std::mutex& held_mutex() {
    static auto* m = new std::mutex();  // never destroyed: scopes may outlive static destruction
    return *m;
}
std::map<std::string, std::weak_ptr<transport::InterfaceLock>>& held() {
    static auto* h = new std::map<std::string, std::weak_ptr<transport::InterfaceLock>>();
    return *h;
}

// The lock of every interface of the group's buses; refused, nothing held,
// while another process holds one.
Result<std::vector<std::shared_ptr<transport::InterfaceLock>>, std::string> lock_interfaces(SharedBus* const* buses,
                                                                                            std::size_t n) {
    std::lock_guard<std::mutex> guard(held_mutex());
    std::vector<std::shared_ptr<transport::InterfaceLock>> locks;
    for (std::size_t b = 0; b < n; ++b) {
        const std::string& iface = buses[b]->iface();
        if (iface.empty()) continue;  // no interface: nothing another program could drive
        std::shared_ptr<transport::InterfaceLock> lock = held()[iface].lock();
        if (!lock) {
            Result<transport::InterfaceLock, transport::InterfaceLockError> taken =
                transport::InterfaceLock::take(iface);
            if (!taken.ok()) return err(taken.error().message);
            lock = std::make_shared<transport::InterfaceLock>(std::move(taken).value());
            held()[iface] = lock;
        }
        locks.push_back(std::move(lock));
    }
    return locks;
}

ScopeError members_error(GroupFailure f) {
    ScopeError e{ScopeError::Kind::Members, {}, std::move(f), std::nullopt};
    return e;
}

ScopeError stopped() { return ScopeError{ScopeError::Kind::Stopped, {}, std::nullopt, std::nullopt}; }

// The enable: the watchdog, then the enable cycle and its fallback to the
// modes' identifiers; the states, or why not.
Result<std::vector<mit::MotorState>, ScopeError> enable(const MotorGroup& g, SharedBus* const* buses,
                                                        const ScopeSettings& settings, ScopeHost& host,
                                                        const ControlLoop* loop) {
    if (loop != nullptr && loop->running()) {
        return err(ScopeError{ScopeError::Kind::Refused, "control loop running", std::nullopt, std::nullopt});
    }
    Result<Unit, ScopeError> written = write_watchdog(g, buses, settings.watchdog_ms, host);
    if (!written.ok()) return err(written.error());
    const std::vector<MemberResult>* got = host.run(g.special(kEnable), nullptr, false);
    if (got == nullptr) return err(stopped());
    std::vector<MemberResult> results = *got;
    std::vector<char> has_mode;
    const std::vector<CanFrame> on_modes = g.special_on_modes(kEnable, has_mode);
    std::vector<char> skip(g.size(), 1);
    bool fall_back = false;
    for (std::size_t i = 0; i < g.size(); ++i) {
        const bool confirmed = results[i].ok() && (results[i].value().error == kStatusEnabled ||
                                                   is_fault_status(results[i].value().error));
        skip[i] = has_mode[i] && !confirmed ? 0 : 1;
        fall_back = fall_back || skip[i] == 0;
    }
    if (fall_back) {
        got = host.run(on_modes, skip.data(), false);
        if (got == nullptr) return err(stopped());
        for (std::size_t i = 0; i < g.size(); ++i) {
            if (!skip[i]) results[i] = (*got)[i];
        }
    }
    g.remember(results);
    if (std::optional<GroupFailure> f = members_failed(g, results)) return err(members_error(std::move(*f)));
    // A member that answers the enable with a fault, or DISABLED, is not
    // driving: the block would run with it off. The enable has failed.
    std::vector<mit::MotorState> states;
    std::vector<MemberResult> faults;
    bool any = false;
    for (const MemberResult& r : results) {
        states.push_back(r.value());
        if (r.value().error != kStatusEnabled) {
            faults.emplace_back(err(Error::failure("answered the enable with " + status_text(r.value().error))));
            any = true;
        } else {
            faults.emplace_back(r.value());
        }
    }
    if (any) return err(members_error(std::move(*members_failed(g, faults))));
    return states;
}

}  // namespace

std::optional<GroupFailure> members_failed(const MotorGroup& g, const std::vector<MemberResult>& results) {
    return failed_of(g, results);
}

std::optional<GroupFailure> members_failed(const MotorGroup& g, const std::vector<Result<Unit, Error>>& results) {
    std::optional<GroupFailure> f = failed_of(g, results);
    return f;
}

std::optional<GroupFailure> stop_failed(const MotorGroup& g, const StopReport& report) {
    const std::size_t failed = report.failed();
    if (failed == 0) return std::nullopt;
    GroupFailure f;
    f.states.resize(g.size());
    f.errors.resize(g.size());
    for (std::size_t i = 0; i < g.size(); ++i) {
        if (report.results[i].ok()) f.states[i] = report.results[i].value();
        f.errors[i] = report.reason(i);
    }
    f.text = failed_head(failed, g.size()) + report.failure(g.members()) + fault_statuses(g, f.states);
    return f;
}

std::vector<GroupMember> group_by_bus(const std::vector<MemberOnBus>& members, std::vector<SharedBus*>& buses) {
    buses.clear();
    std::vector<GroupMember> out;
    out.reserve(members.size());
    for (const MemberOnBus& m : members) {
        std::size_t b = 0;
        while (b < buses.size() && buses[b] != m.bus) ++b;
        if (b == buses.size()) buses.push_back(m.bus);
        out.push_back({b, m.motor, m.joint});
    }
    return out;
}

DirectHost::DirectHost(const MotorGroup& group, SharedBus* const* buses)
    : group_(group), buses_(buses), waiter_(std::make_unique<transport::PollWaiter>()) {}

DirectHost::~DirectHost() = default;

const std::vector<MemberResult>* DirectHost::run(const std::vector<CanFrame>& frames, const char* skip, bool) {
    // A wait a signal cut short goes on until the cycle's deadline.
    for (bool begin = true;
         group_.locked_step(buses_, cycle_, frames, skip, begin, *waiter_) == MotorGroup::Progress::Interrupted;
         begin = false) {
    }
    return &cycle_.results();
}

std::string ScopeError::message() const {
    switch (kind) {
        case Kind::Refused:
            return refusal;
        case Kind::Members:
            return members ? members->message() : std::string();
        case Kind::Stopped:
            break;
    }
    return "stopped";
}

Result<Unit, ScopeError> write_watchdog(const MotorGroup& g, SharedBus* const* buses, std::uint64_t watchdog_ms,
                                        ScopeHost& host) {
    if (watchdog_ms == 0) return Unit{};
    const std::uint32_t units = static_cast<std::uint32_t>(watchdog_ms * (1000 / kTimeoutUnitMicros));
    std::vector<Result<Unit, Error>> results;
    results.reserve(g.size());
    bool signalled = false;
    for (std::size_t i = 0; i < g.size(); ++i) {
        std::optional<Result<Unit, Error>> r;
        host.exchange(*buses[g.members()[i].bus], [&](transport::CanTransport& t) {
            r.emplace(g.members()[i].motor.write_verified(t, kTimeoutRegister, units));
        });
        signalled = signalled || (!r->ok() && interrupted(r->error()));
        results.push_back(std::move(*r));
    }
    if (signalled && !host.go_on()) return err(stopped());
    if (std::optional<GroupFailure> f = members_failed(g, results)) return err(members_error(std::move(*f)));
    return Unit{};
}

std::optional<GroupFailure> disable_all(const MotorGroup& g, SharedBus* const* buses, transport::Duration patience,
                                        ScopeHost& host) {
    StopPolicy policy;
    policy.patience = patience;
    const StopReport report = g.disable_confirmed(
        buses, policy,
        [&](const std::vector<CanFrame>& frames, const char* skip) -> const std::vector<MemberResult>& {
            return *host.run(frames, skip, true);
        },
        [&](transport::Duration d) { host.pause(d); });
    return stop_failed(g, report);
}

Result<std::vector<mit::MotorState>, ScopeError> GroupScope::enter(const MotorGroup& g, SharedBus* const* buses,
                                                                   const ScopeSettings& settings, ScopeHost& host,
                                                                   const ControlLoop* loop) {
    // Another program driving one of these interfaces: refused before
    // anything is sent.
    if (locks_.empty()) {
        auto locks = lock_interfaces(buses, g.bus_count());
        if (!locks.ok()) {
            return err(ScopeError{ScopeError::Kind::Refused, locks.error(), std::nullopt, std::nullopt});
        }
        locks_ = std::move(locks).value();
    }
    Result<std::vector<mit::MotorState>, ScopeError> enabled = enable(g, buses, settings, host, loop);
    if (enabled.ok()) {
        entered_ = true;
        return enabled;
    }
    // Whatever ended the enable, some members may have taken it: every
    // member is disabled again.
    ScopeError e = enabled.error();
    e.cleanup = disable_all(g, buses, settings.disable_patience, host);
    locks_.clear();
    return err(std::move(e));
}

std::optional<GroupFailure> GroupScope::exit(const MotorGroup& g, SharedBus* const* buses,
                                             const ScopeSettings& settings, ScopeHost& host, ControlLoop* loop) {
    if (loop != nullptr) host.stop_loop(*loop);
    entered_ = false;
    std::optional<GroupFailure> failure = disable_all(g, buses, settings.disable_patience, host);
    locks_.clear();
    return failure;
}

}  // namespace rotalink::damiao
