// A group's cycle run by a native thread at a fixed rate: the latest
// setpoints go out every period on the monotonic clock, whatever the caller
// is doing, and the loop's timing is measured as it runs.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/move.hpp"
#include "damiao/record.hpp"
#include "transport/bus_mutex.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink::damiao {

// Counts of durations in nanoseconds: exact below 128 ns, above in 64
// buckets per power of two (within 1/64 of the value), so that quantiles
// over a run of any length cost a fixed 30 kB.
class DurationHistogram {
public:
    void record(std::uint64_t ns);
    std::uint64_t count() const { return count_; }
    std::uint64_t max() const { return max_; }
    // The smallest recorded value's bucket below which a fraction `q` (0..1]
    // of the values lie, as the bucket's middle; 0 when nothing is recorded.
    std::uint64_t quantile(double q) const;

    static std::size_t bucket(std::uint64_t ns);
    static std::uint64_t middle(std::size_t bucket);

private:
    static constexpr std::size_t kSub = 64;
    static constexpr std::size_t kBuckets = 2 * kSub + (63 - 6) * kSub;
    std::array<std::uint32_t, kBuckets> counts_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

struct LoopStats {
    std::uint64_t cycles = 0;
    std::uint64_t overruns = 0;
    std::vector<std::uint64_t> missed;  // per member: cycles it did not answer
    std::vector<std::uint64_t> faults;  // per member: cycles it answered with a fault status
    double rate_hz = 0;                 // cycles per second between the first and the last
    // (p50, p99, max) in microseconds: the time between the starts of two
    // cycles, and from a cycle's planned start to its last reply.
    std::array<double, 3> period_us{};
    std::array<double, 3> latency_us{};
    // The record (LoopOptions::record): cycles written, cycles left out
    // for want of room, and why recording stopped ("" while it goes on).
    std::uint64_t recorded = 0;
    std::uint64_t record_dropped = 0;
    std::string record_error;
};

// The loop's time: when it is, and a sleep until an instant that a request
// to stop cuts short. The monotonic clock unless a test drives its own.
class LoopClock {
public:
    virtual ~LoopClock() = default;
    virtual transport::Instant now() = 0;
    // Returns at `t`, or soon after `stop` is set (within 20 ms), whichever
    // comes first.
    virtual void sleep_until(transport::Instant t, const std::atomic<bool>& stop) = 0;
    // A request to stop was made: a sleeper may return now.
    virtual void wake() {}
};

// CLOCK_MONOTONIC, slept on with absolute deadlines.
class MonotonicClock final : public LoopClock {
public:
    transport::Instant now() override { return transport::Instant::now(); }
    void sleep_until(transport::Instant t, const std::atomic<bool>& stop) override;
};

// The fastest rate a loop takes: a period of 10 us.
inline constexpr double kMaxRateHz = 100000.0;
// The slowest: a period of about 290 years. A slower rate's period in
// nanoseconds would not fit the loop's clock.
inline constexpr double kMinRateHz = 1.1e-10;

// A loop's period at `rate_hz` cycles a second, to the nearest nanosecond;
// an error value for a rate that is not above 0 and at most kMaxRateHz
// ("rate_hz must be above 0 and at most 100000, got 0"), or below
// kMinRateHz ("rate_hz must be at least 1.1e-10, got 1e-300").
Result<transport::Duration, std::string> period_of_rate(double rate_hz);

struct LoopOptions {
    transport::Duration period = transport::Duration::from_millis(2);
    // With no set() for this long, or a member silent for this long, the
    // loop disables every member and stops.
    transport::Duration hold = transport::Duration::from_millis(100);
    // A member answering with a fault status stops the loop (and every
    // member is disabled); without, faults are only counted.
    bool stop_on_fault = true;
    // How long a silent member is retried when the loop disables.
    transport::Duration disable_patience{};
    // The loop's clock; the monotonic clock when null. Must outlive the loop.
    LoopClock* clock = nullptr;
    // The first setpoints after the start, and the first after a move,
    // are blended in from where each member is over this long (none when
    // 0): see ControlLoop::set.
    transport::Duration blend{};
    // Each cycle is copied into a ring of this many cycles for a recorder
    // to take (ControlLoop::take_records); none when 0.
    std::size_t record = 0;
};

// Where a move is: under way (or waiting for its first cycle), arrived (the
// loop holds its target), cancelled by a later set() or move, or cut short
// by the loop stopping.
enum class MoveState : std::uint8_t { Running, Arrived, Cancelled, Stopped };

// A move of every member: one axis each, in member order, in motor units,
// lasting at least `duration` seconds.
struct MoveRequest {
    std::vector<MoveAxis> axes;
    double duration = 0.0;
};

// A move of `group`'s members with every default, for a caller to fill in:
// each member in the kind it is known to follow (MotorGroup::known_kind),
// its joint limits' dq_max as the velocity limit (none without joint
// limits), kDefaultMoveAccel; targets 0, gains and current not given.
MoveRequest default_move(const MotorGroup& group);

// The longest blend a loop takes (LoopOptions::blend): a minute.
inline constexpr std::uint64_t kMaxBlendMillis = 60000;

class ControlLoop {
public:
    // The group and its shared buses (`buses[i]` is the group's bus i) must
    // outlive the loop. `waiter` waits for replies in the loop's thread.
    ControlLoop(const MotorGroup& group, std::vector<transport::SharedBus*> buses,
                std::unique_ptr<transport::BusWaiter> waiter, const LoopOptions& options);
    ControlLoop(const MotorGroup& group, std::vector<transport::SharedBus*> buses,
                std::unique_ptr<transport::BusWaiter> waiter, transport::Duration period, transport::Duration hold)
        : ControlLoop(group, std::move(buses), std::move(waiter), with_timing(period, hold)) {}
    ~ControlLoop();
    ControlLoop(const ControlLoop&) = delete;
    ControlLoop& operator=(const ControlLoop&) = delete;

    // Starts the thread, with every signal blocked in it (signals go to the
    // caller's threads); SCHED_FIFO at `priority` when it is 1..99, pinned
    // to `cpu` when it is not negative. 0, or the error number of a thread
    // that could not start: EPERM when the process may not use that
    // priority, EINVAL for a CPU it may not run on.
    int start(int priority, int cpu);

    // The frames of the next cycles (one per member, in the group's sending
    // order, as MotorGroup::control makes them from `setpoints`, one per
    // member); the latest wins. Until the first, every cycle is a refresh.
    // Every cycle holds the velocity commands of members with joint limits
    // inside them by the positions of the cycle before
    // (MotorGroup::hold_velocities).
    void set(std::vector<transport::CanFrame> frames, std::vector<Setpoint> setpoints);
    //
    // With a blend (LoopOptions::blend), the first setpoints after the
    // start or after a move (arrived or cancelled) are blended in: from the
    // first cycle that sends them, over the blend's length, each member's
    // command goes from where it was measured at that cycle to the latest
    // setpoints (blend_setpoint, with blend_weight), the first command
    // being the measured position itself. A member not heard from yet gets
    // refreshes until it is. Later setpoints go out as they are.
    //
    // Setting cancels a move under way (MoveState::Cancelled).
    //
    // One setpoint per member, checked, clamped and encoded by the loop's
    // group, then set as above; a VEL command of a member with joint limits
    // is bounded by the positions the loop has taken (its thread, not the
    // caller's, writes what the group remembers). The group's refusal, with
    // nothing set.
    std::optional<MotorGroup::Refusal> command(std::vector<Setpoint> setpoints);

    // A move (MoveRequest) from where each member is to its target, every
    // member arriving at the same cycle (plan_move): from the move's first
    // cycle (once every member has been heard from) each cycle sends every
    // member its profile's setpoint at that cycle (move_setpoint; the
    // profile advances one period per cycle), clamped into its joint limits.
    // From the last, which sends the targets, the loop holds them as if they
    // had been set. A move under way counts as fresh setpoints for the hold
    // time, which runs again from its arrival; a later set() or move
    // cancels it. A member with joint limits moves no faster than their
    // dq_max. Checked here, with nothing set: every axis
    // (move_axis_fault), a target outside the member's joint limits, a kind
    // the member cannot be sent, and a setpoint at the target that would be
    // refused; MIT gains and FORCE_POS's current not given come from the
    // member's latest setpoint of the same kind (FORCE_POS's current: 1 without one), and
    // an MIT move without kp above 0 is refused (it would not move). The
    // move's number (1, 2, ... in the loop's life), or the refusal.
    Result<std::uint64_t, MotorGroup::Refusal> move(MoveRequest request);
    MoveState move_state(std::uint64_t move) const;
    // Waits until move `move` is no longer Running, or `until` passes; its
    // state then.
    MoveState wait_move(std::uint64_t move, transport::Instant until) const;

    enum class Wake { Cycle, Timeout, Stopped };
    // Waits until a cycle after the `seen`-th completes (Cycle, its states
    // in `out`: none for a member that did not answer), the loop stops or
    // `until` passes.
    Wake wait(std::uint64_t seen, transport::Instant until, std::vector<std::optional<mit::MotorState>>& out) const;

    std::uint64_t cycles() const;

    // The record (LoopOptions::record), for one consumer thread. Up to `max`
    // recorded cycles, oldest first, appended to `out` and their members'
    // records to `members` (one per member each), waiting until `until`
    // for the first while the loop runs; how many. None (an empty optional)
    // once the loop has ended and every recorded cycle was taken, and
    // without a record.
    std::optional<std::size_t> take_records(std::vector<CycleRecord>& out, std::vector<MemberRecord>& members,
                                            std::size_t max, transport::Instant until);
    // The consumer wrote `n` more cycles (LoopStats::recorded).
    void record_written(std::uint64_t n);
    std::uint64_t recorded() const { return recorded_.load(); }
    // The consumer gave up (`why`, kept as LoopStats::record_error): no more
    // cycles are recorded.
    void stop_recording(std::string why);

    // The latest feedback of each member; none before its first answer.
    std::vector<std::optional<mit::MotorState>> states() const;
    // The same into `out`, whose storage is reused: no allocation once it
    // has held as many.
    void states_into(std::vector<std::optional<mit::MotorState>>& out) const;
    LoopStats stats() const;
    bool running() const;
    // Why the loop stopped by itself (or that the process forked, in the
    // child), or why disabling at `stop` failed; none while it runs or
    // after a clean `stop`.
    std::optional<std::string> error() const;

    // Ends the thread, after the cycle under way, and waits for it. With
    // `disable`, the thread's last act is a confirmed stop of every member
    // (MotorGroup::disable_confirmed); what failed is returned ("" when
    // every member stopped) and kept as `error`. Does nothing (and returns
    // "") once the thread has ended; a loop that stopped by itself has
    // disabled its members already.
    std::string stop(bool disable = false);

private:
    static LoopOptions with_timing(transport::Duration period, transport::Duration hold) {
        LoopOptions o;
        o.period = period;
        o.hold = hold;
        return o;
    }
    friend struct ForkRegistry;
    // In a child of fork(): the thread is not there; the loop is stopped.
    void forked();

    // With `mutex_` held: the latest move, if it runs, is cancelled; move
    // `move`'s state (Stopped for one running when the loop is not).
    void cancel_move();
    MoveState move_state_locked(std::uint64_t move) const;
    // With `mutex_` held in `lock`: waits for a change of the loop's state
    // (or a while), unless `until` has passed: false then.
    bool await_change(std::unique_lock<transport::BusMutex>& lock, transport::Instant until) const;

    static void* entry(void* self);
    void run();
    // One cycle of `frames` (leaving out the members flagged in `skip`).
    void cycle(MotorGroup::Cycle& c, const std::vector<transport::CanFrame>& frames, const char* skip);
    // Copies a cycle into the record (or counts it dropped).
    void record(const MotorGroup::Cycle& c, const std::vector<transport::CanFrame>& sent, transport::Instant planned,
                transport::Instant begun, transport::Instant done, std::uint64_t period_ns, bool overran);
    // A confirmed stop of every member; what failed, or "".
    std::string disable_all(MotorGroup::Cycle& c);

    const MotorGroup& group_;
    std::vector<transport::SharedBus*> buses_;
    std::unique_ptr<transport::BusWaiter> waiter_;
    const LoopOptions options_;
    MonotonicClock monotonic_;
    LoopClock& clock_;

    pthread_t thread_{};
    bool started_ = false;
    std::mutex join_mutex_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> disable_on_stop_{false};
    std::string stop_failure_;  // written by the thread, read after the join

    // Shared with the thread, under `mutex_`. It inherits priority as the
    // bus locks do: a caller of set(), states() or stats() that holds it is
    // lifted to a real-time loop thread's priority while that thread waits,
    // so that a busy processor cannot park the holder and with it the loop.
    mutable transport::BusMutex mutex_;
    mutable std::condition_variable_any changed_;
    std::vector<transport::CanFrame> pending_;
    std::vector<Setpoint> pending_setpoints_;
    // A move waiting for the thread, with the frames and setpoints of its
    // targets; it, not pending_, is the latest when pending_is_move_.
    MoveRequest pending_move_;
    std::vector<transport::CanFrame> pending_move_frames_;
    std::vector<Setpoint> pending_move_setpoints_;
    bool pending_is_move_ = false;
    std::vector<Setpoint> commanded_;  // the latest set's setpoints (none before the first)
    std::vector<std::uint8_t> moves_;  // each move's MoveState, move k at k - 1
    std::uint64_t generation_ = 0;  // sets and moves so far
    transport::Instant last_set_{};
    bool running_ = false;
    std::optional<std::string> error_;
    std::uint64_t cycles_ = 0;
    std::uint64_t overruns_ = 0;
    std::vector<std::uint64_t> missed_;
    std::vector<std::uint64_t> faults_;
    std::vector<std::optional<mit::MotorState>> latest_;
    std::vector<std::optional<mit::MotorState>> last_cycle_;
    std::unique_ptr<CycleRing> record_;  // the thread claims, one consumer takes
    std::atomic<std::uint64_t> recorded_{0};
    std::string record_error_;  // under mutex_
    transport::Instant first_start_{};
    transport::Instant last_start_{};
    DurationHistogram periods_;
    DurationHistogram latencies_;
};

}  // namespace rotalink::damiao
