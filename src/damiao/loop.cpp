#include "damiao/loop.hpp"

#include <sched.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

#include "support/panic.hpp"

namespace rotalink::damiao {

using transport::CanFrame;
using transport::Duration;
using transport::Instant;

namespace {

// The longest sleep between two looks at a request to stop.
constexpr std::uint64_t kStopCheckNanos = 20000000;

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

// ------------------------------------------------------------------ loop

ControlLoop::ControlLoop(const MotorGroup& group, std::vector<transport::SharedBus*> buses,
                         std::unique_ptr<transport::BusWaiter> waiter, Duration period, Duration hold)
    : group_(group),
      buses_(std::move(buses)),
      waiter_(std::move(waiter)),
      period_(period),
      hold_(hold),
      missed_(group.size(), 0),
      latest_(group.size()),
      last_cycle_(group.size()) {
    ROTALINK_ASSERT(buses_.size() == group.bus_count(), "one shared bus per group bus");
}

ControlLoop::~ControlLoop() { stop(); }

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
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = true;
            last_set_ = Instant::now();  // the first set is due within the hold time too
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
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
        }
    }
    pthread_attr_destroy(&attr);
    return rc;
}

void ControlLoop::stop() {
    std::lock_guard<std::mutex> join(join_mutex_);
    if (!started_) return;
    stop_.store(true);
    pthread_join(thread_, nullptr);
    started_ = false;
}

void ControlLoop::set(std::vector<CanFrame> frames) {
    ROTALINK_ASSERT(frames.size() == group_.size(), "one frame per group member");
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = std::move(frames);
    ++generation_;
    last_set_ = Instant::now();
}

ControlLoop::Wake ControlLoop::wait(std::uint64_t seen, Instant until,
                                    std::vector<std::optional<mit::MotorState>>& out) const {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (cycles_ > seen) {
            out = last_cycle_;
            return Wake::Cycle;
        }
        if (!running_) return Wake::Stopped;
        const Instant now = Instant::now();
        if (!(now < until)) return Wake::Timeout;
        changed_.wait_for(lock, std::chrono::nanoseconds(until.ns - now.ns));
    }
}

std::uint64_t ControlLoop::cycles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cycles_;
}

std::vector<std::optional<mit::MotorState>> ControlLoop::states() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

LoopStats ControlLoop::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    LoopStats s;
    s.cycles = cycles_;
    s.overruns = overruns_;
    s.missed = missed_;
    if (cycles_ > 1 && first_start_ < last_start_) {
        s.rate_hz = static_cast<double>(cycles_ - 1) * 1e9 / static_cast<double>(last_start_.ns - first_start_.ns);
    }
    const auto summary = [](const DurationHistogram& h) {
        return std::array<double, 3>{static_cast<double>(h.quantile(0.5)) / 1000.0,
                                     static_cast<double>(h.quantile(0.99)) / 1000.0,
                                     static_cast<double>(h.max()) / 1000.0};
    };
    s.period_us = summary(periods_);
    s.latency_us = summary(latencies_);
    return s;
}

bool ControlLoop::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

std::optional<std::string> ControlLoop::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void* ControlLoop::entry(void* self) {
    static_cast<ControlLoop*>(self)->run();
    return nullptr;
}

void ControlLoop::sleep_until(Instant t) const {
    for (;;) {
        if (stop_.load()) return;
        const Instant now = Instant::now();
        if (!(now < t)) return;
        const std::uint64_t target = t.ns - now.ns > kStopCheckNanos ? now.ns + kStopCheckNanos : t.ns;
        const timespec ts{static_cast<time_t>(target / 1000000000u), static_cast<long>(target % 1000000000u)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

void ControlLoop::cycle(MotorGroup::Cycle& c, const std::vector<CanFrame>& frames, const char* skip) {
    // Signals are blocked in this thread, but a wait cut short goes on.
    for (bool begin = true; group_.locked_step(buses_.data(), c, frames, skip, begin, *waiter_) ==
                            MotorGroup::Progress::Interrupted;
         begin = false) {
    }
}

std::string ControlLoop::disable_all(MotorGroup::Cycle& c) {
    const std::vector<CanFrame> frames = group_.special(kDisable);
    const std::vector<MemberResult> results =
        group_.until_answered(buses_.data(), kDisableAttempts, [&](const char* skip) -> const std::vector<MemberResult>& {
            cycle(c, frames, skip);
            return c.results();
        });
    std::string failed;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].ok()) continue;
        failed += (failed.empty() ? "" : "; ") + member_name(group_.members(), i) + ": " + results[i].error().message();
    }
    return failed;
}

ROTALINK_FORCED_UNWIND_HANDLER void ControlLoop::run() {
    const std::size_t n = group_.size();
    const std::vector<CanFrame> refresh = group_.refresh();
    std::vector<CanFrame> frames;  // the latest setpoints taken
    std::uint64_t taken = 0;       // their generation; 0 before the first set
    MotorGroup::Cycle c;
    std::vector<Instant> answered(n, Instant::now());  // each member's latest answer
    std::string why;  // why the loop stops by itself
    try {
        Instant planned = Instant::now();
        while (!stop_.load()) {
            sleep_until(planned);
            if (stop_.load()) break;
            const Instant begun = Instant::now();
            Instant last_set;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (generation_ != taken) {
                    std::swap(frames, pending_);
                    taken = generation_;
                }
                last_set = last_set_;
            }
            if (nanos_between(last_set, begun) > hold_.total_nanos_saturated()) {
                why = "no setpoint for " + millis_text(hold_);
                break;
            }
            cycle(c, taken != 0 ? frames : refresh, nullptr);
            const Instant done = Instant::now();
            group_.remember(c.results());
            std::size_t silent = n;  // a member that has not answered for the hold time
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (std::size_t i = 0; i < n; ++i) {
                    const MemberResult& r = c.results()[i];
                    if (r.ok()) {
                        answered[i] = done;
                        latest_[i] = last_cycle_[i] = r.value();
                        continue;
                    }
                    last_cycle_[i].reset();
                    ++missed_[i];
                    if (silent == n && nanos_between(answered[i], done) > hold_.total_nanos_saturated()) silent = i;
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
                why = member_name(group_.members(), silent) + " did not answer for " + millis_text(hold_) +
                      " (last: " + c.results()[silent].error().message() + ")";
                break;
            }
            // The next cycle is due a period after this one was; one that
            // ran past it starts at once, without catching up.
            planned = planned.saturating_add(period_);
            if (planned < done) {
                planned = done;
                std::lock_guard<std::mutex> lock(mutex_);
                ++overruns_;
            }
        }
    }
    ROTALINK_PASS_FORCED_UNWIND
    catch (...) {
        why = "internal fault: " + fault_text(std::current_exception());
    }
    if (!why.empty()) {
        // The members on buses that still work are disabled, a fault's too.
        try {
            const std::string failed = disable_all(c);
            why += failed.empty() ? "; every member was disabled" : "; disabling failed for " + failed;
        }
        ROTALINK_PASS_FORCED_UNWIND
        catch (...) {
            why += "; disabling failed on an internal fault: " + fault_text(std::current_exception());
        }
    }
    {
        // Nothing of the group is touched after this: once the loop is
        // seen stopped, the group is the caller's again.
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        if (!why.empty()) error_ = why;
    }
    changed_.notify_all();
}

}  // namespace rotalink::damiao
