// Several motors on one or more buses, commanded in one cycle: every command
// goes out before any reply is awaited, and every reply is awaited until one
// deadline, on all buses at once.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "damiao/driver.hpp"
#include "transport/can.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink::damiao {

struct GroupMember {
    std::size_t bus;  // the member's bus: an index into the cycle's buses
    Damiao motor;     // its record; the cycle uses the identifiers and limits
    std::optional<JointLimits> joint{};  // every command is clamped into them
};

using MemberResult = Result<mit::MotorState, Error>;

// The first identifier clash among `members`, as a message naming the
// members and the identifier, or "" when there is none. On one bus every
// command identifier (motor_id & 0x7FF) and reply identifier
// (master_id & 0x7FF) must be distinct: two motors answering from one
// identifier cannot be told apart, and a reply sent to a motor's command
// identifier is executed by that motor as a command. Neither may be the
// register identifier 0x7FF on any bus: motors read frames to it as register
// requests, so an MIT command sent there could become a register write on
// another motor, and a reply from there reaches every motor as one.
std::string identifier_clash(const std::vector<GroupMember>& members);

// "member 3 (motor_id=0x4)", the name of a member in messages.
std::string member_name(const std::vector<GroupMember>& members, std::size_t i);
std::string member_name(std::size_t i, std::uint16_t motor_id);

// How a group's members are stopped (MotorGroup::disable_confirmed).
struct StopPolicy {
    static constexpr int kAttempts = 3;
    int attempts = kAttempts;         // disables to a member that keeps answering ENABLED
    transport::Duration patience{};   // how long a silent member is retried, at least `attempts` times
};

// What a confirmed stop came to, per member.
struct StopReport {
    std::vector<MemberResult> results;  // its last answer, or its last failure
    std::vector<std::uint32_t> sent;    // the disables it was sent
    std::vector<char> stopped;          // its feedback reports a status other than ENABLED

    std::size_t failed() const;
    // Why member i is not stopped, without its name: "still reports ENABLED
    // after 3 disables", or its last failure; "" when it is stopped.
    std::string reason(std::size_t i) const;
    // Why member i is not stopped: "member 1 (motor_id=0x2) still reports
    // ENABLED after 3 disables", or "member 1 (motor_id=0x2): " and its last
    // failure; "" when it is stopped.
    std::string member_failure(const std::vector<GroupMember>& members, std::size_t i) const;
    // Every member's failure, joined by "; "; "" when every member stopped.
    std::string failure(const std::vector<GroupMember>& members) const;
};

class MotorGroup {
public:
    // `members` in result order, on buses 0..bus_count-1, each used.
    MotorGroup(std::vector<GroupMember> members, std::size_t bus_count, transport::Duration timeout,
               bool fd);

    std::size_t size() const { return members_.size(); }
    std::size_t bus_count() const { return bus_begin_.size() - 1; }
    const std::vector<GroupMember>& members() const { return members_; }
    transport::Duration timeout() const { return timeout_; }
    bool fd() const { return fd_; }

    // The frames of one command to every member, in sending order (by bus,
    // then member order); CAN FD with bit-rate switching when `fd` is set.
    std::vector<transport::CanFrame> special(std::uint8_t command) const;

    // The command kind (so the control mode) member i is known to follow:
    // set by `know_kind` (a mode switch that succeeded) and by the kind of
    // each command `control` makes for it; the MIT kind until then. Written
    // by the thread that commands the group while a control loop's thread
    // may read it.
    std::size_t known_kind(std::size_t i) const { return known_[i].load(std::memory_order_relaxed); }
    void know_kind(std::size_t i, std::size_t kind) const;
    // Older firmware in a mode other than MIT takes the special commands
    // only on its mode's identifier, (motor_id & 0x7FF) + the mode's offset.
    // The frames of `command` there, in sending order as `special` makes
    // them, and in `has`, per member, whether it has such a frame: known in
    // a mode other than MIT (`known_kind`, read once here), its mode's
    // identifier below 0x7FF and clashing with no identifier on its bus
    // (the group refuses that mode's commands: see `control`). A member
    // without gets its `special` frame, which is not to be sent.
    std::vector<transport::CanFrame> special_on_modes(std::uint8_t command, std::vector<char>& has) const;
    // A command the group refuses to send: the member and why.
    struct Refusal {
        std::size_t member;
        Error error;
    };
    // The frames of one command of any kind to every member (`setpoints` in
    // member order), all made before anything is sent. Each setpoint is
    // clamped into its member's joint limits first. Refused, with no frames
    // at all, at the first member whose command make_control refuses or
    // whose frame would go to an identifier that a member on the same bus
    // replies from, or that another member on that bus takes commands of any
    // kind on (that motor would answer it, or act on it). Once every frame is
    // made, each member whose command was clamped counts one in `clamped`.
    // A command of a kind that sets no position (VEL) is bounded by the
    // member's last measured position instead (`hold_inside`): `positions`
    // (one per member, none where unknown), or what the group remembers
    // (`last`) when null. Once made, each member is known to follow its
    // command's kind (`known_kind`).
    Result<std::vector<transport::CanFrame>, Refusal> control(
        const Setpoint* setpoints, const std::optional<mit::MotorState>* positions = nullptr) const;
    Result<std::vector<transport::CanFrame>, Refusal> control(const std::vector<Setpoint>& setpoints) const {
        ROTALINK_ASSERT(setpoints.size() == members_.size(), "one setpoint per group member");
        return control(setpoints.data());
    }
    // Per member: the commands clamped so far.
    const std::vector<std::uint64_t>& clamped() const { return clamped_; }

    // The feedback each member last answered with, from any cycle of the
    // group that `remember` was given; none before its first answer.
    const std::vector<std::optional<mit::MotorState>>& last() const { return last_; }
    void remember(const std::vector<MemberResult>& results) const;
    // MIT commands that hold every member where it last reported itself
    // (`last`, which must hold every member): its position, no velocity,
    // no torque, gains `kp` and `kd`; made as `control` makes them.
    Result<std::vector<transport::CanFrame>, Refusal> hold(float kp, float kd) const;
    // Why `hold(kp, kd)` would be refused whatever the positions (gains or
    // limits no command can carry), so that nothing is sent for it.
    std::optional<Refusal> hold_refused(float kp, float kd) const;
    // A refresh to every member.
    std::vector<transport::CanFrame> refresh() const;

    // The frames (in sending order) of `setpoints` (one per member), which
    // differ from those `frames` were made for by `control` in their motion
    // fields alone (write_motion): those rewritten, each clamped into its
    // member's joint limits, the other bytes kept. Allocates nothing.
    void write_motions(const std::vector<Setpoint>& setpoints, std::vector<transport::CanFrame>& frames) const;
    // Member i's MotionWriter for frames of `kind`, with its joint limits'
    // bounds.
    MotionWriter motion_writer(std::size_t i, std::size_t kind) const {
        return MotionWriter(kind, members_[i].motor.limits, bounds_[i].empty() ? nullptr : &bounds_[i][kind]);
    }
    // Member indices in sending order: frame k of `control` is member
    // send_order()[k]'s.
    const std::vector<std::size_t>& send_order() const { return send_order_; }
    // For a cycle that repeats `setpoints` (one per member, as given to
    // `control`, whose frames are `frames`): every member with joint limits
    // whose command sets no position and would move it, last measured at
    // `last[i]`, further past q_min or q_max gets its frame remade with
    // velocity 0, in place (and one inside its limits again gets back the
    // setpoint's). How many members were held. Allocates nothing.
    std::size_t hold_velocities(const std::vector<Setpoint>& setpoints,
                                const std::vector<std::optional<mit::MotorState>>& last,
                                std::vector<transport::CanFrame>& frames) const;

    // The state of one cycle between its steps: every member's result so
    // far, what each bus has sent and still awaits, and the deadline. Its
    // storage is kept from one cycle to the next.
    class Cycle {
    public:
        // In member order: the reply or failure of each member, Timeout for
        // one still awaited or never answered.
        const std::vector<MemberResult>& results() const { return results_; }

    private:
        friend class MotorGroup;
        std::vector<MemberResult> results_;
        std::vector<std::size_t> next_;     // per bus: the next frame to send
        std::vector<std::size_t> awaited_;  // per bus: members sent and not answered
        std::vector<std::optional<transport::TransportError>> full_;  // per bus: a full queue
        std::vector<char> waiting_;         // per send position: sent and not answered
        std::vector<transport::CanTransport*> wait_set_;  // the buses still awaited
        std::size_t awaited_total_ = 0;
        transport::Instant deadline_{};
    };

    enum class Progress { Done, Interrupted };

    // One cycle with the frames made above; `buses[i]` is bus i, locked by
    // the caller during each step. `start` does steps 1 and 2 and sets the
    // deadline; `collect` does step 3:
    //  1. the frames already queued on each bus are discarded (at most
    //     kDiscardLimit a bus), so that a late reply to an earlier command
    //     that is already queued is not taken as this cycle's (one that
    //     arrives after this step still can be: feedback carries no
    //     sequence number); a read error fails that bus's members, and
    //     nothing is sent on it;
    //  2. each bus's frames go out in one batched send, which never waits
    //     for room. A full transmit queue (ENOBUFS) or a full send buffer
    //     (EAGAIN) is retried, about every 100 us, as it drains, for at most
    //     the time-out from the moment it was first found full; then the
    //     unsent members fail with it. Any other send error fails the bus's
    //     unsent members at once. Buses do not wait for each other;
    //  3. one deadline, the time-out after the last send; until it passes
    //     or every sent member has its reply, `waiter` waits on the buses
    //     still awaited and whatever has arrived is read without waiting;
    //     at the deadline what arrived by then is read to the end (at most
    //     kDiscardLimit frames a bus).
    //     A member's reply is the first frame that is its feedback
    //     (`is_feedback`, as for a single command: from its reply
    //     identifier, not a remote request, an error frame or its own
    //     register reply or write echo); every other frame is dropped.
    //     Feedback whose motor-id nibble is not the member's (motor_id &
    //     0xF) fails the member (a Failure): another motor answers from
    //     its reply identifier, and its state is not the member's. A
    //     read error fails that bus's awaited members; any other wait error
    //     but a signal's fails every awaited member.
    //     A signal that interrupts the wait (EINTR) makes `collect` return
    //     Interrupted with the cycle as it was: the replies taken are kept,
    //     the members awaited still are, and calling `collect` again (with
    //     the locks taken again) goes on waiting until the same deadline.
    //     Otherwise it returns Done, every member's result final.
    // A Cycle serves one cycle at a time; starting it again drops the last.
    //
    // With `skip` (one flag per member), the members flagged are left out:
    // nothing is sent to them or awaited from them, and their results mean
    // nothing. A bus whose members are all left out is not touched, and its
    // entry in `buses` may be null.
    void start(Cycle& c, transport::CanTransport* const* buses, const std::vector<transport::CanFrame>& frames,
               const char* skip = nullptr) const;
    Progress collect(Cycle& c, transport::CanTransport* const* buses, transport::BusWaiter& waiter) const;

    // One step of a cycle on the shared buses (`buses[i]` is bus i), with
    // their locks held for the step and released after it: with `begin`
    // the cycle's `start`, then `collect`. With `skip`, only the buses of
    // the members sent are locked (the others may be poisoned or busy).
    // Faults as SharedBus::locked_all does on a poisoned bus.
    Progress locked_step(transport::SharedBus* const* buses, Cycle& c, const std::vector<transport::CanFrame>& frames,
                         const char* skip, bool begin, transport::BusWaiter& waiter) const;

    // Disables every member until its feedback confirms it: a member counts
    // as stopped only when it answers with a status other than ENABLED
    // (DISABLED, or a fault code: a faulted motor's output is off). Each
    // round sends the disable to the members not yet confirmed; `run(frames,
    // skip)` runs one cycle of `frames` leaving out the members flagged and
    // returns its results. The first round is `special(kDisable)` alone;
    // from the second on, the members not yet confirmed that have a mode
    // identifier (`special_on_modes`) are first sent the disable there, in
    // a cycle of its own, and a member whose feedback then confirms is
    // stopped; the others get the round's disable as before. Both count in
    // `sent`. A disable never goes to a mode identifier first: a motor
    // that takes it on its command identifier confirms in the first round.
    // A member that answers ENABLED is given
    // `policy.attempts` disables; one that does not answer (or whose bus
    // fails) at least as many, and more for as long as `policy.patience`
    // has not passed since the first round, a round that ended early
    // (a bus that fails at once) being padded to the group's time-out with
    // `pause(duration)`, so that an outage of the interface is ridden out
    // without spinning. A member on a poisoned bus is not sent to and fails
    // with the poison's message. The group remembers every answer.
    template <class Run, class Pause>
    StopReport disable_confirmed(transport::SharedBus* const* buses, const StopPolicy& policy, Run run,
                                 Pause pause) const;

private:
    // Fail bus b's members that were sent and still await a reply, or
    // those that were not sent.
    void fail_awaited(Cycle& c, std::size_t b, const transport::TransportError& e) const;
    void fail_unsent(Cycle& c, std::size_t b, const transport::TransportError& e) const;
    // Takes the replies that have arrived on the awaited buses.
    void read_arrived(Cycle& c, transport::CanTransport* const* buses, bool last) const;

    std::vector<GroupMember> members_;
    std::vector<std::size_t> send_order_;  // member indices, by bus then member order
    std::vector<std::size_t> bus_begin_;   // bus b's members: send_order_[bus_begin_[b] .. bus_begin_[b+1])
    std::vector<std::uint32_t> reply_of_;  // per send position: the member's reply identifier
    // Per member and command kind: why its frame may not go out on its bus
    // ("" when it may), worked out once from the identifiers.
    std::vector<std::array<std::string, kCommandKindCount>> refused_;
    // Per member with joint limits: each kind's field bounds (empty without).
    std::vector<std::vector<FieldBounds>> bounds_;
    mutable std::vector<std::uint64_t> clamped_;
    mutable std::vector<char> moved_;  // per member: this command was clamped
    mutable std::vector<std::optional<mit::MotorState>> last_;
    transport::Duration timeout_;
    bool fd_;
    // Per member: known_kind. Relaxed atomics: a value, ordered with nothing.
    std::unique_ptr<std::atomic<std::uint8_t>[]> known_;
};

template <class Run, class Pause>
StopReport MotorGroup::disable_confirmed(transport::SharedBus* const* buses, const StopPolicy& policy, Run run,
                                         Pause pause) const {
    const std::size_t n = size();
    StopReport report;
    report.results.assign(n, MemberResult(err(Error::transport(transport::TransportError::timeout()))));
    report.sent.assign(n, 0);
    report.stopped.assign(n, 0);
    std::vector<char> skip(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (!buses[members_[i].bus]->poisoned()) continue;
        report.results[i] = err(Error::failure(buses[members_[i].bus]->poison_reason()));
        skip[i] = 1;
    }
    const std::vector<transport::CanFrame> frames = special(kDisable);
    std::vector<char> has_mode;
    const std::vector<transport::CanFrame> mode_frames = special_on_modes(kDisable, has_mode);
    std::vector<char> mode_skip(n, 1);
    const transport::Instant first = transport::Instant::now();
    const transport::Instant patient_until = first.saturating_add(policy.patience);
    for (bool first_round = true;; first_round = false) {
        bool any = false;
        for (char s : skip) any = any || s == 0;
        if (!any) break;
        const transport::Instant began = transport::Instant::now();
        bool fall_back = false;
        for (std::size_t i = 0; i < n; ++i) {
            mode_skip[i] = first_round || skip[i] || !has_mode[i] ? 1 : 0;
            fall_back = fall_back || mode_skip[i] == 0;
        }
        if (fall_back) {
            const std::vector<MemberResult>& on_mode = run(mode_frames, static_cast<const char*>(mode_skip.data()));
            any = false;
            for (std::size_t i = 0; i < n; ++i) {
                if (!mode_skip[i]) {
                    ++report.sent[i];
                    report.results[i] = on_mode[i];
                    if (on_mode[i].ok() && on_mode[i].value().error != kStatusEnabled) report.stopped[i] = skip[i] = 1;
                }
                any = any || skip[i] == 0;
            }
            if (!any) break;
        }
        const std::vector<MemberResult>& got = run(frames, static_cast<const char*>(skip.data()));
        const bool patient = transport::Instant::now() < patient_until;
        bool silent = false;  // a member still to retry did not answer
        for (std::size_t i = 0; i < n; ++i) {
            if (skip[i]) continue;
            ++report.sent[i];
            report.results[i] = got[i];
            const bool enough = report.sent[i] >= static_cast<std::uint32_t>(policy.attempts);
            if (got[i].ok() && got[i].value().error != kStatusEnabled) {
                report.stopped[i] = skip[i] = 1;
            } else if (got[i].ok()) {
                skip[i] = enough ? 1 : 0;
            } else {
                skip[i] = enough && !patient ? 1 : 0;
                silent = silent || skip[i] == 0;
            }
        }
        if (silent) {
            // At least a millisecond a round, however short the time-out:
            // a bus that fails at once is not flooded with disables.
            const transport::Duration round = timeout_.total_nanos_saturated() < 1000000
                                                  ? transport::Duration::from_millis(1)
                                                  : timeout_;
            const transport::Instant padded = began.saturating_add(round);
            const transport::Instant now = transport::Instant::now();
            const transport::Instant until = patient_until < padded ? patient_until : padded;
            if (now < until) pause(until.remaining_from(now));
        }
    }
    remember(report.results);
    return report;
}

}  // namespace rotalink::damiao
