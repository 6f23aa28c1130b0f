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
#include <limits>
#include <new>
#include <utility>

#include "damiao/joints.hpp"
#include "support/float_text.hpp"
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
    if (options.record > 0) record_ = std::make_unique<CycleRing>(group.size(), options.record);
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
    commanded_.assign(setpoints.begin(), setpoints.end());
    pending_ = std::move(frames);
    pending_setpoints_ = std::move(setpoints);
    pending_is_move_ = false;
    cancel_move();
    ++generation_;
    last_set_ = clock_.now();
}

namespace {

double seconds(Duration d) { return static_cast<double>(d.total_nanos_saturated()) * 1e-9; }

}  // namespace

MoveRequest default_move(const MotorGroup& group) {
    MoveRequest request;
    request.axes.resize(group.size());
    for (std::size_t i = 0; i < group.size(); ++i) {
        MoveAxis& axis = request.axes[i];
        const std::optional<JointLimits>& joint = group.members()[i].joint;
        axis.kind = group.known_kind(i);
        axis.velocity = joint ? static_cast<double>(joint->dq_max) : std::numeric_limits<double>::infinity();
    }
    return request;
}

Result<std::uint64_t, MotorGroup::Refusal> ControlLoop::move(MoveRequest request) {
    const std::size_t n = group_.size();
    ROTALINK_ASSERT(request.axes.size() == n, "one move axis per group member");
    const double period = seconds(options_.period);
    std::vector<Setpoint> last;
    {
        std::lock_guard<transport::BusMutex> lock(mutex_);
        last = commanded_;
    }
    const auto refuse = [](std::size_t i, std::string why) {
        return err(MotorGroup::Refusal{i, Error::invalid_command(std::move(why))});
    };
    std::vector<Setpoint> targets(n);
    bool limited = false;
    for (std::size_t i = 0; i < n; ++i) {
        MoveAxis& a = request.axes[i];
        ROTALINK_ASSERT(a.kind < kCommandKindCount, "a move axis of no command kind");
        const std::optional<JointLimits>& joint = group_.members()[i].joint;
        // A velocity limit above the joint's would be clamped in the
        // commands but not in the positions: the profile keeps to both.
        if (joint && a.velocity > joint->dq_max) a.velocity = joint->dq_max;
        std::string fault = move_axis_fault(a);
        if (!fault.empty()) return refuse(i, std::move(fault));
        limited = limited || joint.has_value();
        if (joint && !(a.target >= joint->q_min && a.target <= joint->q_max)) {
            return refuse(i, "target " + double_text(a.target) + " is outside the joint limits [" +
                                 float_short(joint->q_min) + ", " + float_short(joint->q_max) + "]");
        }
        targets[i] = move_base(a, i < last.size() ? &last[i] : nullptr);
        if (a.kind == kMitKind) {
            const float kp = as_mit(targets[i]).kp;
            if (std::isnan(kp)) return refuse(i, "an MIT move needs kp: give one, or set an MIT setpoint with one first");
            if (!(kp > 0.0f)) return refuse(i, "an MIT move needs kp above 0, got " + double_text(kp));
        }
        move_motion(targets[i], a.target, 0.0, a.accel * period);
    }
    // The targets go through the group's checks and encoding, as a set's.
    const std::vector<std::optional<mit::MotorState>> positions =
        limited ? states() : std::vector<std::optional<mit::MotorState>>(n);
    Result<std::vector<CanFrame>, MotorGroup::Refusal> frames = group_.control(targets.data(), positions.data());
    if (!frames.ok()) return err(std::move(frames).error());
    std::lock_guard<transport::BusMutex> lock(mutex_);
    cancel_move();
    moves_.push_back(static_cast<std::uint8_t>(MoveState::Running));
    pending_move_ = std::move(request);
    pending_move_frames_ = std::move(frames).value();
    pending_move_setpoints_ = std::move(targets);
    pending_is_move_ = true;
    ++generation_;
    last_set_ = clock_.now();
    return static_cast<std::uint64_t>(moves_.size());
}

void ControlLoop::cancel_move() {
    if (!moves_.empty() && moves_.back() == static_cast<std::uint8_t>(MoveState::Running)) {
        moves_.back() = static_cast<std::uint8_t>(MoveState::Cancelled);
    }
}

MoveState ControlLoop::move_state_locked(std::uint64_t move) const {
    ROTALINK_ASSERT(move >= 1 && move <= moves_.size(), "a move of this loop");
    const auto state = static_cast<MoveState>(moves_[move - 1]);
    return state == MoveState::Running && !running_ ? MoveState::Stopped : state;
}

bool ControlLoop::await_change(std::unique_lock<transport::BusMutex>& lock, Instant until) const {
    const Instant now = Instant::now();
    if (!(now < until)) return false;
    const std::uint64_t left = std::min(until.ns - now.ns, kLongestWaitNanos);
    changed_.wait_for(lock, std::chrono::nanoseconds(static_cast<std::int64_t>(left)));
    return true;
}

MoveState ControlLoop::move_state(std::uint64_t move) const {
    std::lock_guard<transport::BusMutex> lock(mutex_);
    return move_state_locked(move);
}

MoveState ControlLoop::wait_move(std::uint64_t move, Instant until) const {
    std::unique_lock<transport::BusMutex> lock(mutex_);
    MoveState state = move_state_locked(move);
    while (state == MoveState::Running && await_change(lock, until)) state = move_state_locked(move);
    return state;
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
        if (!await_change(lock, until)) return Wake::Timeout;
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
        s.record_error = record_error_;
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
    s.recorded = recorded_.load();
    if (record_ != nullptr) s.record_dropped = record_->dropped();
    return s;
}

std::optional<std::size_t> ControlLoop::take_records(std::vector<CycleRecord>& out, std::vector<MemberRecord>& members,
                                                     std::size_t max, Instant until) {
    if (record_ == nullptr) return std::nullopt;
    // The thread commits a cycle's record before it is seen stopped: once
    // it is, an empty ring stays empty.
    for (;;) {
        const bool ended = !running();
        const std::size_t n = record_->take(out, members, max);
        if (n > 0) return n;
        if (ended) return std::nullopt;
        const Instant now = Instant::now();
        if (!(now < until)) return 0;
        // A recorder takes batches: a few milliseconds between looks cost
        // the loop nothing (it never waits on the ring).
        transport::sleep_for(Duration::from_nanos(std::min<std::uint64_t>(5000000, nanos_between(now, until))));
    }
}

void ControlLoop::record_written(std::uint64_t n) { recorded_.fetch_add(n); }

void ControlLoop::stop_recording(std::string why) {
    if (record_ != nullptr) record_->close();
    std::lock_guard<transport::BusMutex> lock(mutex_);
    if (record_error_.empty()) record_error_ = std::move(why);
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

void ControlLoop::record(const MotorGroup::Cycle& c, const std::vector<CanFrame>& sent, Instant planned, Instant begun,
                         Instant done, std::uint64_t period_ns, bool overran) {
    MemberRecord* members = nullptr;
    CycleRecord* r = record_->claim(members);
    if (r == nullptr) return;
    r->cycle = cycles_;  // this thread alone writes it
    r->planned_ns = planned.ns;
    r->start_ns = begun.ns;
    r->done_ns = done.ns;
    r->period_ns = period_ns;
    r->overrun = overran;
    r->dropped = record_->dropped();
    const std::vector<std::size_t>& order = group_.send_order();
    for (std::size_t k = 0; k < order.size(); ++k) {
        MemberRecord& m = members[order[k]];
        const CanFrame& f = sent[k];
        m.id = f.id.value;
        m.length = static_cast<std::uint8_t>(std::min<std::size_t>(f.data.size(), m.data.size()));
        std::copy(f.data.begin(), f.data.begin() + m.length, m.data.begin());
        const MemberResult& result = c.results()[order[k]];
        m.answered = result.ok();
        if (m.answered) m.state = result.value();
    }
    record_->commit();
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
    const double period = seconds(options_.period);
    // Moves and blends wait for every member's feedback, then run.
    enum class Phase : std::uint8_t { Off, Waiting, Running };
    MoveRequest move;  // the move taken
    std::uint64_t move_id = 0;
    Phase moving = Phase::Off;
    std::uint64_t move_cycle = 0;
    std::uint64_t move_cycles = 0;
    std::vector<Trapezoid> profiles(n);
    std::vector<MotionWriter> writers(n);
    std::vector<double> floors(n);  // each member's least speed limit
    // Members whose setpoint follows the profile too: those whose velocity
    // hold_velocities remakes each cycle (no position field, joint limits).
    std::vector<char> tracked(n);
    std::vector<double> p0(n);  // where each member was measured when a move or blend began
    std::vector<double> v0(n);
    const std::uint64_t period_ns = std::max<std::uint64_t>(1, options_.period.total_nanos_saturated());
    const std::uint64_t blend_ns = options_.blend.total_nanos_saturated();
    const std::uint64_t blend_cycles = blend_ns == 0 ? 0 : (blend_ns + period_ns - 1) / period_ns;
    bool blend_armed = blend_cycles > 0;
    Phase blending = Phase::Off;
    std::uint64_t blend_cycle = 0;
    std::vector<Setpoint> blended(n);
    std::vector<CanFrame> blend_frames = refresh;
    // latest_ is written by this thread alone: read here without the lock.
    const auto heard_all = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            if (!latest_[i]) return false;
        }
        return true;
    };
    const auto measure = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            p0[i] = latest_[i]->position;
            v0[i] = latest_[i]->velocity;
        }
    };
    try {
        Instant planned = clock_.now();
        while (!stop_.load()) {
            clock_.sleep_until(planned, stop_);
            if (stop_.load()) break;
            const Instant begun = clock_.now();
            Instant last_set;
            bool took_move = false;
            bool took_set = false;
            {
                std::lock_guard<transport::BusMutex> lock(mutex_);
                if (generation_ != taken) {
                    if (pending_is_move_) {
                        std::swap(move, pending_move_);
                        std::swap(frames, pending_move_frames_);
                        std::swap(setpoints, pending_move_setpoints_);
                        move_id = moves_.size();
                        took_move = true;
                    } else {
                        std::swap(frames, pending_);
                        std::swap(setpoints, pending_setpoints_);
                        took_set = true;
                    }
                    taken = generation_;
                }
                last_set = last_set_;
            }
            if (took_move) {
                moving = Phase::Waiting;
                blending = Phase::Off;
            } else if (took_set) {
                if (moving != Phase::Off) {
                    moving = Phase::Off;  // cancelled
                    blend_armed = blend_cycles > 0;
                }
                if (blend_armed) {
                    blending = Phase::Waiting;
                    blend_armed = false;
                }
            }
            // A move under way is fresh setpoints.
            if (moving != Phase::Off) last_set = begun;
            if (nanos_between(last_set, begun) > options_.hold.total_nanos_saturated()) {
                why = "no setpoint for " + millis_text(options_.hold);
                break;
            }
            const std::vector<CanFrame>* send = taken != 0 ? &frames : &refresh;
            const std::vector<Setpoint>* sent = &setpoints;
            bool arrived = false;
            if (moving == Phase::Waiting) {
                if (heard_all()) {
                    measure();
                    move_cycles = plan_move(move.axes.data(), p0.data(), v0.data(), n, move.duration, period,
                                            profiles.data());
                    for (std::size_t i = 0; i < n; ++i) {
                        const std::size_t kind = move.axes[i].kind;
                        writers[i] = group_.motion_writer(i, kind);
                        floors[i] = move.axes[i].accel * period;
                        tracked[i] = group_.members()[i].joint.has_value() && kMotionFields[kind].position == kMaxFields;
                    }
                    move_cycle = 0;
                    moving = Phase::Running;
                } else {
                    send = &refresh;
                }
            }
            if (moving == Phase::Running) {
                // The profile advances a period a cycle, whatever the clock
                // did: successive commands keep to the limits. The frames
                // (the targets', made whole and checked by move()) get each
                // member's motion, and nothing else.
                const double t = static_cast<double>(++move_cycle) * period;
                const std::vector<std::size_t>& order = group_.send_order();
                for (std::size_t k = 0; k < n; ++k) {
                    const std::size_t i = order[k];
                    double p = 0.0;
                    double v = 0.0;
                    profiles[i].sample(t, p, v);
                    writers[i].write(frames[k], p, v, floors[i]);
                    if (tracked[i]) move_motion(setpoints[i], p, v, floors[i]);
                }
                if (move_cycle >= move_cycles) {
                    moving = Phase::Off;
                    blend_armed = blend_cycles > 0;
                    arrived = true;
                }
            } else if (blending == Phase::Waiting) {
                if (heard_all()) {
                    measure();
                    blend_cycle = 0;
                    blending = Phase::Running;
                } else {
                    send = &refresh;
                }
            }
            if (blending == Phase::Running) {
                const double u = static_cast<double>(blend_cycle) / static_cast<double>(blend_cycles);
                const double w = blend_weight(u);
                const double rate = blend_weight_rate(u) / (static_cast<double>(blend_cycles) * period);
                for (std::size_t i = 0; i < n; ++i) blended[i] = blend_setpoint(setpoints[i], p0[i], v0[i], w, rate);
                // The setpoints' frames (checked when set) with the blend's motion.
                if (blend_cycle == 0 || took_set) blend_frames = frames;
                group_.write_motions(blended, blend_frames);
                if (++blend_cycle > blend_cycles) blending = Phase::Off;
                send = &blend_frames;
                sent = &blended;
            }
            if (send != &refresh) group_.hold_velocities(*sent, latest_, send == &frames ? frames : blend_frames);
            cycle(c, *send, nullptr);
            const Instant done = clock_.now();
            group_.remember(c.results());
            std::uint64_t since_last = 0;  // since the previous cycle began
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
                    since_last = nanos_between(last_start_, begun);
                    periods_.record(since_last);
                }
                last_start_ = begun;
                latencies_.record(nanos_between(planned, done));
                ++cycles_;
                if (arrived) {
                    // The hold time runs from the arrival.
                    std::uint8_t& state = moves_[move_id - 1];
                    if (state == static_cast<std::uint8_t>(MoveState::Running)) {
                        state = static_cast<std::uint8_t>(MoveState::Arrived);
                    }
                    if (last_set_ < begun) last_set_ = begun;
                }
            }
            // The next cycle is due a period after this one was; one that
            // ran past it (an overrun) starts at once, without catching up.
            const Instant next = planned.saturating_add(options_.period);
            const bool overran = next < done;
            if (record_ != nullptr) record(c, *send, planned, begun, done, since_last, overran);
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
            planned = overran ? done : next;
            if (overran) {
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
