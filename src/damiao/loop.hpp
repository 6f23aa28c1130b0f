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
};

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
    // One setpoint per member, checked, clamped and encoded by the loop's
    // group, then set as above; a VEL command of a member with joint limits
    // is bounded by the positions the loop has taken (its thread, not the
    // caller's, writes what the group remembers). The group's refusal, with
    // nothing set.
    std::optional<MotorGroup::Refusal> command(std::vector<Setpoint> setpoints);

    enum class Wake { Cycle, Timeout, Stopped };
    // Waits until a cycle after the `seen`-th completes (Cycle, its states
    // in `out`: none for a member that did not answer), the loop stops or
    // `until` passes.
    Wake wait(std::uint64_t seen, transport::Instant until, std::vector<std::optional<mit::MotorState>>& out) const;

    std::uint64_t cycles() const;
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

    static void* entry(void* self);
    void run();
    // One cycle of `frames` (leaving out the members flagged in `skip`).
    void cycle(MotorGroup::Cycle& c, const std::vector<transport::CanFrame>& frames, const char* skip);
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
    std::uint64_t generation_ = 0;  // sets so far
    transport::Instant last_set_{};
    bool running_ = false;
    std::optional<std::string> error_;
    std::uint64_t cycles_ = 0;
    std::uint64_t overruns_ = 0;
    std::vector<std::uint64_t> missed_;
    std::vector<std::uint64_t> faults_;
    std::vector<std::optional<mit::MotorState>> latest_;
    std::vector<std::optional<mit::MotorState>> last_cycle_;
    transport::Instant first_start_{};
    transport::Instant last_start_{};
    DurationHistogram periods_;
    DurationHistogram latencies_;
};

}  // namespace rotalink::damiao
