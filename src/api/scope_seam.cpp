// The group's scope: entering and leaving it, as the Python module's
// `with group:` does. Kept apart, in these two functions, so that the core's
// own scope can take their place whole.
#include <map>

#include "api/group_run.hpp"
#include "damiao/protocol.hpp"

namespace rotalink::api {

namespace {

// The lock of every interface of the group: shared with another scope of
// this process on the same interface, refused while another process holds
// it ("vcan0 is driven by pid 4242"). Nothing held on a refusal.
Result<Unit> lock_interfaces(MotorGroup::Impl& g) {
    static std::mutex mutex;
    static auto* held = new std::map<std::string, std::weak_ptr<transport::InterfaceLock>>();
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::shared_ptr<transport::InterfaceLock>> locks;
    for (transport::SharedBus* bus : g.shared) {
        const std::string& iface = bus->iface();
        if (iface.empty()) continue;
        std::shared_ptr<transport::InterfaceLock> taken = (*held)[iface].lock();
        if (!taken) {
            auto fresh = transport::InterfaceLock::take(iface);
            if (!fresh.ok()) return err(Error(Error::Kind::Device, fresh.error().message));
            taken = std::make_shared<transport::InterfaceLock>(std::move(fresh).value());
            (*held)[iface] = taken;
        }
        locks.push_back(std::move(taken));
    }
    g.interface_locks = std::move(locks);
    return Unit{};
}

// The enable of the scope: the watchdog, the enable cycle, then for members
// known in a mode other than MIT that did not confirm it (no answer, or a
// status neither ENABLED nor a fault) the enable on their mode's identifier;
// then every member must answer ENABLED.
Result<std::vector<MotorState>> enable_scope(MotorGroup::Impl& g) {
    Result<Unit> written = write_watchdog(g);
    if (!written.ok()) return err(std::move(written).error());
    const damiao::MotorGroup& dg = g.group;
    MemberResults results = run_cycle(g, dg.special(damiao::kEnable));
    std::vector<char> has_mode;
    const std::vector<transport::CanFrame> on_modes = dg.special_on_modes(damiao::kEnable, has_mode);
    std::vector<char> skip(dg.size(), 1);
    bool fall_back = false;
    for (std::size_t i = 0; i < dg.size(); ++i) {
        const bool confirmed = results[i].ok() && (results[i].value().error == damiao::kStatusEnabled ||
                                                   damiao::is_fault_status(results[i].value().error));
        skip[i] = has_mode[i] && !confirmed ? 0 : 1;
        fall_back = fall_back || skip[i] == 0;
    }
    if (fall_back) {
        const MemberResults& again = run_cycle(g, on_modes, skip.data());
        for (std::size_t i = 0; i < dg.size(); ++i) {
            if (!skip[i]) results[i] = again[i];
        }
    }
    dg.remember(results);
    for (const damiao::MemberResult& r : results) {
        if (!r.ok()) return err(Error(Error::Kind::Group, group_failure(dg, results)));
    }
    // A member that answers the enable with a fault, or DISABLED, is not
    // driving: the enable has failed.
    MemberResults faults;
    bool any = false;
    std::vector<MotorState> states;
    for (const damiao::MemberResult& r : results) {
        states.push_back(from_core(r.value()));
        if (r.value().error != damiao::kStatusEnabled) {
            faults.emplace_back(err(damiao::Error::failure("answered the enable with " + damiao::status_text(r.value().error))));
            any = true;
        } else {
            faults.push_back(r);
        }
    }
    if (any) return err(Error(Error::Kind::Group, group_failure(dg, faults)));
    return states;
}

}  // namespace

Result<std::vector<MotorState>> enter_group_scope(MotorGroup::Impl& g) {
    if (looping(g)) return err(Error(Error::Kind::Busy, "control loop running"));
    if (g.interface_locks.empty()) {
        Result<Unit> locked = lock_interfaces(g);
        if (!locked.ok()) return err(std::move(locked).error());
    }
    Result<std::vector<MotorState>> enabled = enable_scope(g);
    if (enabled.ok()) {
        g.in_scope = true;
        return enabled;
    }
    // Some members may have taken the enable: every member is disabled
    // again, and a failure doing so follows the enable's on a line of its
    // own.
    const std::string failed = disable_all(g);
    g.interface_locks.clear();
    if (failed.empty()) return enabled;
    return err(Error(enabled.error().kind(), enabled.error().message() +
                                                 "\ndisabling the group after the failed enable failed too: " + failed));
}

Result<Unit> leave_group_scope(MotorGroup::Impl& g) {
    // A running control loop is stopped first: the disable is the last the
    // members hear.
    if (const std::shared_ptr<ControlLoop::Impl> loop = g.loop.lock()) (void)loop->loop->stop();
    g.in_scope = false;
    const std::string failed = disable_all(g);
    g.interface_locks.clear();
    if (!failed.empty()) return err(Error(Error::Kind::Group, failed));
    return Unit{};
}

}  // namespace rotalink::api
