// A group's scope, shared by every face of the library: the members are
// enabled on entering it (the interfaces' locks taken and the watchdog
// written first) and disabled, with confirmed stops, on leaving it; and the
// failures of group commands as one message with each member's part.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/loop.hpp"
#include "transport/interface_lock.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink::damiao {

// A command of the group that failed for one or more members: its message
// ("1 of 2 members failed; member 1 (motor_id=0x2): transport error: ...",
// then "; member 0 (motor_id=0x1) reports OVERLOAD" for each member that
// answered with a fault status), and per member its state (none for one
// that failed, or whose command returns none) and why it failed ("" for
// one that did not).
struct GroupFailure {
    std::string text;
    std::vector<std::optional<mit::MotorState>> states;
    std::vector<std::string> errors;
    const std::string& message() const { return text; }
};

// The failure of one command's results, in member order; none when every
// member succeeded.
std::optional<GroupFailure> members_failed(const MotorGroup& g, const std::vector<MemberResult>& results);
std::optional<GroupFailure> members_failed(const MotorGroup& g, const std::vector<Result<Unit, Error>>& results);
// The failure of a confirmed stop ("1 of 2 members failed; member 1
// (motor_id=0x2) still reports ENABLED after 3 disables"), its states every
// answer; none when every member stopped.
std::optional<GroupFailure> stop_failed(const MotorGroup& g, const StopReport& report);

// One member as a caller names it: its bus and its motor.
struct MemberOnBus {
    transport::SharedBus* bus;
    Damiao motor;
    std::optional<JointLimits> joint{};
};
// The members of a group in the order given, each with the index of its bus
// in `buses`, which gets every bus once, in the order of its first member.
std::vector<GroupMember> group_by_bus(const std::vector<MemberOnBus>& members,
                                      std::vector<transport::SharedBus*>& buses);

// How a face runs the scope's native work. The defaults run it directly, in
// the calling thread; the Python face gives up the interpreter lock around
// each wait and runs signal handlers between steps.
class ScopeHost {
public:
    virtual ~ScopeHost() = default;
    // One cycle of `frames` to the group's members (leaving out those
    // flagged in `skip`) on its buses, with their locks held while it runs
    // (MotorGroup::locked_step): its results in member order; null when the
    // caller stops the work (a signal's handler raised). With `finish` the
    // cycle runs to its end whatever arrives meanwhile (a disable).
    virtual const std::vector<MemberResult>* run(const std::vector<transport::CanFrame>& frames, const char* skip,
                                                 bool finish) = 0;
    // `op(transport)` with the lock of `bus` held.
    virtual void exchange(transport::SharedBus& bus, const std::function<void(transport::CanTransport&)>& op) {
        bus.locked(op);
    }
    // A pause between two rounds of a confirmed stop.
    virtual void pause(transport::Duration d) { transport::sleep_for(d); }
    // After member exchanges one of which a signal interrupted: false when
    // the caller stops the work.
    virtual bool go_on() { return true; }
    // Stops `loop`, waiting for its thread.
    virtual void stop_loop(ControlLoop& loop) { loop.stop(); }
};

// The defaults, and cycles in the calling thread that go on through
// signals until their deadline (transport::PollWaiter).
class DirectHost : public ScopeHost {
public:
    DirectHost(const MotorGroup& group, transport::SharedBus* const* buses);
    ~DirectHost() override;
    const std::vector<MemberResult>* run(const std::vector<transport::CanFrame>& frames, const char* skip,
                                         bool finish) override;

private:
    const MotorGroup& group_;
    transport::SharedBus* const* buses_;
    MotorGroup::Cycle cycle_;
    std::unique_ptr<transport::BusWaiter> waiter_;
};

// Why the scope's enter failed.
struct ScopeError {
    enum class Kind : std::uint8_t {
        Refused,  // before anything was sent: another driver of an interface
                  // ("vcan0 is driven by pid 4242"), or the group's control
                  // loop runs ("control loop running", after the disable)
        Members,  // members failed (`members`)
        Stopped,  // the host stopped the work (ScopeHost::run or go_on)
    };
    Kind kind;
    std::string refusal;                  // Refused: why
    std::optional<GroupFailure> members;  // Members: what failed
    // Every member is disabled again after a failed enable: what failed
    // there, none when every member stopped.
    std::optional<GroupFailure> cleanup;

    // The refusal, the members' failure, or "stopped" (the host knows why).
    std::string message() const;
};

// What a failure of the disable is attached to an error leaving the scope
// as ("<note>: <the failure's message>").
inline constexpr const char* kEnterCleanupNote = "disabling the group after the failed enable failed too";
inline constexpr const char* kExitNote = "disabling the group on leaving its block failed";

// The scope's settings: the watchdog written on entering (0: none), and how
// long its confirmed stops retry a silent member.
struct ScopeSettings {
    std::uint64_t watchdog_ms = 0;
    transport::Duration disable_patience = transport::Duration::from_millis(500);
};

// Writes every member's watchdog (its time-out register, `watchdog_ms`),
// member after member, each write read back; nothing for 0.
Result<Unit, ScopeError> write_watchdog(const MotorGroup& g, transport::SharedBus* const* buses,
                                        std::uint64_t watchdog_ms, ScopeHost& host);

// A confirmed stop of every member (MotorGroup::disable_confirmed), silent
// members retried for `patience`; none when every member stopped.
std::optional<GroupFailure> disable_all(const MotorGroup& g, transport::SharedBus* const* buses,
                                        transport::Duration patience, ScopeHost& host);

// The scope of one group (`buses[i]` its bus i, which outlive the scope).
class GroupScope {
public:
    // Takes the lock of every interface of the group (unless held already;
    // shared with the other scopes of this process on the same interface),
    // writes the watchdog, enables every member; members known in a mode
    // other than MIT that did not confirm it (no answer, or a status
    // neither ENABLED nor a fault) are then sent the enable on their mode's
    // identifier, whose answers replace theirs (older firmware takes the
    // special commands only there). Each member must answer ENABLED: one
    // that answers with a fault, or DISABLED, fails the enable ("answered
    // the enable with DISABLED"). The states of the members, or why not:
    // after anything was sent every member is disabled again (what failed
    // there in `cleanup`) and the locks are released. `loop`, the group's
    // control loop if any, refuses the enable while it runs.
    Result<std::vector<mit::MotorState>, ScopeError> enter(const MotorGroup& g, transport::SharedBus* const* buses,
                                                           const ScopeSettings& settings, ScopeHost& host,
                                                           const ControlLoop* loop);
    // Stops `loop` if given (the disable is the last the members hear),
    // disables every member with confirmed stops and releases the locks;
    // what failed, none when every member stopped.
    std::optional<GroupFailure> exit(const MotorGroup& g, transport::SharedBus* const* buses,
                                     const ScopeSettings& settings, ScopeHost& host, ControlLoop* loop);
    // Inside the scope: entered, not yet left.
    bool entered() const { return entered_; }

private:
    std::vector<std::shared_ptr<transport::InterfaceLock>> locks_;
    bool entered_ = false;
};

}  // namespace rotalink::damiao
