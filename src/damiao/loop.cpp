#include "damiao/loop.hpp"

#include <sched.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <utility>

#include "support/panic.hpp"

namespace rotalink::damiao {

using transport::CanFrame;
using transport::Duration;
using transport::Instant;

namespace {

// The longest sleep between two looks at a request to stop.
constexpr std::uint64_t kStopCheckNanos = 20000000;
// The longest single wait of `wait` on its condition: a deadline further
// away (the far end of the clock's range, "no deadline") is waited for in
// slices of this, so that the wait's length always fits the condition's
// clock.
constexpr std::uint64_t kLongestWaitNanos = 3600ull * 1000000000ull;

std::uint64_t nanos_between(Instant from, Instant to) { return to.ns > from.ns ? to.ns - from.ns : 0; }

// The message of a fault caught as `e`.
std::string fault_text(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const Panic& p) {
        return p.message;
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
        return "native code failed an internal check";
    }
}

std::string millis_text(Duration d) { return std::to_string(d.total_nanos_saturated() / 1000000u) + " ms"; }

}  // namespace

// ------------------------------------------------------------------ rate

namespace {

// `v` in the fewest significant digits that read back as `v` (1e-300, 0.5, nan).
std::string double_text(double v) {
    char buf[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

}  // namespace

Result<Duration, std::string> period_of_rate(double rate_hz) {
    if (!(rate_hz > 0.0 && rate_hz <= kMaxRateHz)) {
        return err("rate_hz must be above 0 and at most " + std::to_string(static_cast<int>(kMaxRateHz)) + ", got " + double_text(rate_hz));
    }
    if (rate_hz < kMinRateHz) {
        return err("rate_hz must be at least " + double_text(kMinRateHz) + ", got " + double_text(rate_hz));
    }
    return Duration::from_nanos(static_cast<std::uint64_t>(std::llround(1e9 / rate_hz)));
}

// ------------------------------------------------------------- histogram

std::size_t DurationHistogram::bucket(std::uint64_t ns) {
    if (ns < 2 * kSub) return static_cast<std::size_t>(ns);
    const unsigned e = 63u - static_cast<unsigned>(__builtin_clzll(ns));  // 7..63
    const unsigned shift = e - 6u;
    return kSub * shift + static_cast<std::size_t>(ns >> shift);
}

std::uint64_t DurationHistogram::middle(std::size_t b) {
    if (b < 2 * kSub) return b;
    const unsigned shift = static_cast<unsigned>(b / kSub) - 1u;
    const std::uint64_t lower = static_cast<std::uint64_t>(b - kSub * shift) << shift;
    return lower + ((std::uint64_t{1} << shift) >> 1);
}

void DurationHistogram::record(std::uint64_t ns) {
    ++counts_[bucket(ns)];
    ++count_;
    max_ = std::max(max_, ns);
}

std::uint64_t DurationHistogram::quantile(double q) const {
    if (count_ == 0) return 0;
    const double want = std::ceil(q * static_cast<double>(count_));
    const std::uint64_t rank = want < 1 ? 1 : static_cast<std::uint64_t>(want);
    if (rank >= count_) return max_;
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        seen += counts_[b];
        if (seen >= rank) return std::min(middle(b), max_);
    }
    return max_;
}

// ----------------------------------------------------------------- clock

void MonotonicClock::sleep_until(Instant t, const std::atomic<bool>& stop) {
    for (;;) {
        if (stop.load()) return;
        const Instant now = Instant::now();
        if (!(now < t)) return;
        const std::uint64_t target = t.ns - now.ns > kStopCheckNanos ? now.ns + kStopCheckNanos : t.ns;
        const timespec ts{static_cast<time_t>(target / 1000000000u), static_cast<long>(target % 1000000000u)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

// ------------------------------------------------------------------ fork

// Every loop alive, so that a child of fork() can stop them: only the
// thread that forked is there in the child, so a loop's thread is not, and
// a lock one of the parent's threads held would stay held for ever. The
// loops' state locks are taken around the fork, so that the child sees each
// loop's state whole.
struct ForkRegistry {
    static std::mutex& mutex() {
        static auto* m = new std::mutex();  // never destroyed: loops may outlive static destruction
        return *m;
    }
    static std::vector<ControlLoop*>& loops() {
        static auto* v = new std::vector<ControlLoop*>();
        return *v;
    }
    static void prepare() {
        mutex().lock();
        for (ControlLoop* loop : loops()) loop->mutex_.lock();
    }
    static void parent() {
        for (ControlLoop* loop : loops()) loop->mutex_.unlock();
        mutex().unlock();
    }
    static void child() {
        for (ControlLoop* loop : loops()) loop->forked();
        mutex().unlock();
    }
    static void add(ControlLoop* loop) {
        static std::once_flag once;
        std::call_once(once, [] { pthread_atfork(&prepare, &parent, &child); });
        std::lock_guard<std::mutex> lock(mutex());
        loops().push_back(loop);
    }
    static void remove(ControlLoop* loop) {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<ControlLoop*>& v = loops();
        v.erase(std::remove(v.begin(), v.end(), loop), v.end());
    }
};

void ControlLoop::forked() {
    // `mutex_` is held, by this thread, since the fork began; it is made
    // anew, still held by this thread (a priority-inheriting mutex names its
    // holder by a thread id that differs in the child). The join lock and the
    // condition may be held or waited on by threads that are not in this
    // process: they are made anew (their old state needs no cleanup).
    mutex_.renew_after_fork();
    new (&join_mutex_) std::mutex();
    new (&changed_) std::condition_variable_any();
    started_ = false;
    stop_.store(true);
    if (running_) {
        running_ = false;
        error_ = "the process forked: the control loop's thread runs in the parent only";
    }
    mutex_.unlock();
}

// ------------------------------------------------------------------ loop

ControlLoop::ControlLoop(const MotorGroup& group, std::vector<transport::SharedBus*> buses,
                         std::unique_ptr<transport::BusWaiter> waiter, const LoopOptions& options)
    : group_(group),
      buses_(std::move(buses)),
      waiter_(std::move(waiter)),
      options_(options),
      clock_(options.clock != nullptr ? *options.clock : static_cast<LoopClock&>(monotonic_)),
      missed_(group.size(), 0),
      faults_(group.size(), 0),
      latest_(group.size()),
      last_cycle_(group.size()) {
    ROTALINK_ASSERT(buses_.size() == group.bus_count(), "one shared bus per group bus");
    ForkRegistry::add(this);
}

ControlLoop::~ControlLoop() {
    stop();
    ForkRegistry::remove(this);
}

int ControlLoop::start(int priority, int cpu) {
    std::lock_guard<std::mutex> join(join_mutex_);
    ROTALINK_ASSERT(!started_, "a control loop is started once");
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return EAGAIN;
    int rc = 0;
    if (priority > 0) {
        sched_param param{};
        param.sched_priority = priority;
        rc = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
        if (rc == 0) rc = pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
        if (rc == 0) rc = pthread_attr_setschedparam(&attr, &param);
    }
    if (rc == 0 && cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        rc = pthread_attr_setaffinity_np(&attr, sizeof set, &set);
    }
    if (rc == 0) {
        {
            std::lock_guard<transport::BusMutex> lock(mutex_);
            running_ = true;
            last_set_ = clock_.now();  // the first set is due within the hold time too
        }
        // The thread starts with every signal blocked: they are the
        // caller's to handle, and a wait of the loop is never cut short.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        rc = pthread_create(&thread_, &attr, &ControlLoop::entry, this);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (rc == 0) {
            started_ = true;
            pthread_setname_np(thread_, "rotalink-loop");
        } else {
            std::lock_guard<transport::BusMutex> lock(mutex_);
            running_ = false;
        }
    }
    pthread_attr_destroy(&attr);
    return rc;
}

std::string ControlLoop::stop(bool disable) {
    std::lock_guard<std::mutex> join(join_mutex_);
    if (!started_) return {};
    if (disable) disable_on_stop_.store(true);
    stop_.store(true);
    clock_.wake();
    pthread_join(thread_, nullptr);
    started_ = false;
    return stop_failure_;
}

void ControlLoop::set(std::vector<CanFrame> frames, std::vector<Setpoint> setpoints) {
    ROTALINK_ASSERT(frames.size() == group_.size() && setpoints.size() == group_.size(), "one frame per group member");
    std::lock_guard<transport::BusMutex> lock(mutex_);
    pending_ = std::move(frames);
    pending_setpoints_ = std::move(setpoints);
    ++generation_;
    last_set_ = clock_.now();
}

std::optional<MotorGroup::Refusal> ControlLoop::command(std::vector<Setpoint> setpoints) {
    bool limited = false;
    for (const GroupMember& m : group_.members()) limited = limited || m.joint.has_value();
    const std::vector<std::optional<mit::MotorState>> positions =
        limited ? states() : std::vector<std::optional<mit::MotorState>>(group_.size());
    Result<std::vector<CanFrame>, MotorGroup::Refusal> frames = group_.control(setpoints.data(), positions.data());
    if (!frames.ok()) return std::move(frames).error();
    set(std::move(frames).value(), std::move(setpoints));
    return std::nullopt;
}

ControlLoop::Wake ControlLoop::wait(std::uint64_t seen, Instant until,
                                    std::vector<std::optional<mit::MotorState>>& out) const {
    std::unique_lock<transport::BusMutex> lock(mutex_);
    for (;;) {
        if (cycles_ > seen) {
            out = last_cycle_;
            return Wake::Cycle;
        }
        if (!running_) return Wake::Stopped;
        const Instant now = Instant::now();
        if (!(now < until)) return Wake::Timeout;
        const std::uint64_t left = std::min(until.ns - now.ns, kLongestWaitNanos);
        changed_.wait_for(lock, std::chrono::nanoseconds(static_cast<std::int64_t>(left)));
    }
}

std::uint64_t ControlLoop::cycles() const {
    std::lock_guard<transport::BusMutex> lock(mutex_);
    return cycles_;
}

std::vector<std::optional<mit::MotorState>> ControlLoop::states() const {
    std::lock_guard<transport::BusMutex> lock(mutex_);
    return latest_;
}

void ControlLoop::states_into(std::vector<std::optional<mit::MotorState>>& out) const {
    std::lock_guard<transport::BusMutex> lock(mutex_);
    out.assign(latest_.begin(), latest_.end());
}

LoopStats ControlLoop::stats() const {
    // The histograms are copied under the lock and summarised after it, so
    // that the loop's thread never waits for a scan of them.
    auto periods = std::make_unique<DurationHistogram>();
    auto latencies = std::make_unique<DurationHistogram>();
    LoopStats s;
    Instant first;
    Instant last;
    {
        std::lock_guard<transport::BusMutex> lock(mutex_);
        s.cycles = cycles_;
        s.overruns = overruns_;
        s.missed = missed_;
        s.faults = faults_;
        first = first_start_;
        last = last_start_;
        *periods = periods_;
        *latencies = latencies_;
    }
    if (s.cycles > 1 && first < last) {
        s.rate_hz = static_cast<double>(s.cycles - 1) * 1e9 / static_cast<double>(last.ns - first.ns);
    }
    const auto summary = [](const DurationHistogram& h) {
        return std::array<double, 3>{static_cast<double>(h.quantile(0.5)) / 1000.0,
                                     static_cast<double>(h.quantile(0.99)) / 1000.0,
                                     static_cast<double>(h.max()) / 1000.0};
    };
    s.period_us = summary(*periods);
    s.latency_us = summary(*latencies);
    return s;
}

bool ControlLoop::running() const {
    std::lock_guard<transport::BusMutex> lock(mutex_);
    return running_;
}

std::optional<std::string> ControlLoop::error() const {
    std::lock_guard<transport::BusMutex> lock(mutex_);
    return error_;
}

void* ControlLoop::entry(void* self) {
    static_cast<ControlLoop*>(self)->run();
    return nullptr;
}

void ControlLoop::cycle(MotorGroup::Cycle& c, const std::vector<CanFrame>& frames, const char* skip) {
    // Signals are blocked in this thread, but a wait cut short goes on.
    for (bool begin = true; group_.locked_step(buses_.data(), c, frames, skip, begin, *waiter_) ==
                            MotorGroup::Progress::Interrupted;
         begin = false) {
    }
}

std::string ControlLoop::disable_all(MotorGroup::Cycle& c) {
    StopPolicy policy;
    policy.patience = options_.disable_patience;
    const StopReport report = group_.disable_confirmed(
        buses_.data(), policy,
        [&](const std::vector<CanFrame>& frames, const char* skip) -> const std::vector<MemberResult>& {
            cycle(c, frames, skip);
            return c.results();
        },
        [](Duration pause) { transport::sleep_for(pause); });
    return report.failure(group_.members());
}

ROTALINK_FORCED_UNWIND_HANDLER void ControlLoop::run() {
    const std::size_t n = group_.size();
    const std::vector<CanFrame> refresh = group_.refresh();
    std::vector<CanFrame> frames;  // the latest setpoints taken
    std::vector<Setpoint> setpoints;
    std::uint64_t taken = 0;       // their generation; 0 before the first set
    MotorGroup::Cycle c;
    std::vector<Instant> answered(n, clock_.now());  // each member's latest answer
    std::string why;  // why the loop stops by itself
    try {
        Instant planned = clock_.now();
        while (!stop_.load()) {
            clock_.sleep_until(planned, stop_);
            if (stop_.load()) break;
            const Instant begun = clock_.now();
            Instant last_set;
            {
                std::lock_guard<transport::BusMutex> lock(mutex_);
                if (generation_ != taken) {
                    std::swap(frames, pending_);
                    std::swap(setpoints, pending_setpoints_);
                    taken = generation_;
                }
                last_set = last_set_;
            }
            if (nanos_between(last_set, begun) > options_.hold.total_nanos_saturated()) {
                why = "no setpoint for " + millis_text(options_.hold);
                break;
            }
            // latest_ is written by this thread alone: read here without the lock.
            if (taken != 0) group_.hold_velocities(setpoints, latest_, frames);
            cycle(c, taken != 0 ? frames : refresh, nullptr);
            const Instant done = clock_.now();
            group_.remember(c.results());
            std::size_t silent = n;   // a member that has not answered for the hold time
            std::size_t faulted = n;  // a member that reports a fault, when that stops the loop
            {
                std::lock_guard<transport::BusMutex> lock(mutex_);
                for (std::size_t i = 0; i < n; ++i) {
                    const MemberResult& r = c.results()[i];
                    if (r.ok()) {
                        answered[i] = done;
                        latest_[i] = last_cycle_[i] = r.value();
                        if (is_fault_status(r.value().error)) {
                            ++faults_[i];
                            if (faulted == n && options_.stop_on_fault) faulted = i;
                        }
                        continue;
                    }
                    last_cycle_[i].reset();
                    ++missed_[i];
                    if (silent == n && nanos_between(answered[i], done) > options_.hold.total_nanos_saturated()) {
                        silent = i;
                    }
                }
                if (cycles_ == 0) {
                    first_start_ = begun;
                } else {
                    periods_.record(nanos_between(last_start_, begun));
                }
                last_start_ = begun;
                latencies_.record(nanos_between(planned, done));
                ++cycles_;
            }
            changed_.notify_all();
            if (silent != n) {
                why = member_name(group_.members(), silent) + " did not answer for " + millis_text(options_.hold) +
                      " (last: " + c.results()[silent].error().message() + ")";
                break;
            }
            if (faulted != n) {
                why = member_name(group_.members(), faulted) + " reports " +
                      status_text(c.results()[faulted].value().error);
                break;
            }
            // The next cycle is due a period after this one was; one that
            // ran past it starts at once, without catching up.
            planned = planned.saturating_add(options_.period);
            if (planned < done) {
                planned = done;
                std::lock_guard<transport::BusMutex> lock(mutex_);
                ++overruns_;
            }
        }
    }
    ROTALINK_PASS_FORCED_UNWIND
    catch (...) {
        why = "internal fault: " + fault_text(std::current_exception());
    }
    if (!why.empty() || disable_on_stop_.load()) {
        // The members on buses that still work are disabled, a fault's too.
        std::string failed;
        try {
            failed = disable_all(c);
        }
        ROTALINK_PASS_FORCED_UNWIND
        catch (...) {
            failed = "every member: an internal fault: " + fault_text(std::current_exception());
        }
        if (!why.empty()) {
            why += failed.empty() ? "; every member was disabled" : "; disabling failed for " + failed;
        } else if (!failed.empty()) {
            stop_failure_ = "disabling failed for " + failed;
            why = "the control loop was stopped; " + stop_failure_;
        }
    }
    {
        // Nothing of the group is touched after this: once the loop is
        // seen stopped, the group is the caller's again.
        std::lock_guard<transport::BusMutex> lock(mutex_);
        running_ = false;
        if (!why.empty()) error_ = why;
    }
    changed_.notify_all();
}

}  // namespace rotalink::damiao
