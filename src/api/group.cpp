// The public group and control loop over the core's MotorGroup and
// ControlLoop.
#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/group_run.hpp"
#include "damiao/joints.hpp"
#include "damiao/protocol.hpp"
#include "damiao/registers.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink {

using detail::Access;

namespace api {

namespace {
std::string member_head(const damiao::MotorGroup& g, std::size_t i) {
    return damiao::member_name(g.members(), i) + ": ";
}

damiao::ScopeSettings settings(const MotorGroup::Impl& g) {
    damiao::ScopeSettings s;
    s.watchdog_ms = g.options.watchdog ? static_cast<std::uint64_t>(g.options.watchdog->count()) : 0;
    s.disable_patience =
        transport::Duration::from_millis(static_cast<std::uint64_t>(g.options.disable_timeout.count()));
    return s;
}
}  // namespace

bool looping(const MotorGroup::Impl& g) {
    const std::shared_ptr<ControlLoop::Impl> loop = g.loop.lock();
    return loop && loop->loop->running();
}

namespace {


// The states of a cycle, or the group's failure; the group remembers every
// answer.
Result<std::vector<MotorState>> states_of(const damiao::MotorGroup& g, const MemberResults& results) {
    g.remember(results);
    if (const std::optional<damiao::GroupFailure> f = damiao::members_failed(g, results)) return err(failure(*f));
    std::vector<MotorState> out;
    out.reserve(results.size());
    for (const damiao::MemberResult& r : results) out.push_back(r.value());
    return out;
}

Error refusal(const damiao::MotorGroup& g, const damiao::MotorGroup::Refusal& r) {
    const Error e = from_core(r.error);
    return Error(e.kind(), member_head(g, r.member) + e.message());
}

constexpr long long kMaxWatchdogMs = UINT32_MAX / (1000 / damiao::kTimeoutUnitMicros);
constexpr long long kMaxDisableTimeoutMs = 60000;

}  // namespace
}  // namespace api

Result<MotorGroup> MotorGroup::make(std::vector<Member> members, GroupOptions options) {
    if (options.timeout.count() < 0) {
        return err(api::invalid("timeout_ms must be 0 or more, got " + std::to_string(options.timeout.count())));
    }
    if (options.watchdog && (options.watchdog->count() < 1 || options.watchdog->count() > api::kMaxWatchdogMs)) {
        return err(api::invalid("watchdog_ms must be None or from 1 to " + std::to_string(api::kMaxWatchdogMs) +
                                " milliseconds, got " + std::to_string(options.watchdog->count())));
    }
    if (options.disable_timeout.count() < 0 || options.disable_timeout.count() > api::kMaxDisableTimeoutMs) {
        return err(api::invalid("disable_timeout_ms must be from 0 to " + std::to_string(api::kMaxDisableTimeoutMs) +
                                " milliseconds, got " + std::to_string(options.disable_timeout.count())));
    }
    if (members.empty()) return err(api::invalid("a MotorGroup needs at least one member"));
    std::vector<damiao::MemberOnBus> on_buses;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const Member& m = members[i];
        if (!Access::valid(m.bus)) {
            return err(api::invalid("member " + std::to_string(i) + " has no bus: open one with SocketCanTransport::open"));
        }
        Result<damiao::Damiao> motor = api::to_core(m.motor);
        if (!motor.ok()) return err(api::invalid(damiao::member_name(i, m.motor.motor_id()) + ": " + motor.error().message()));
        damiao::MemberOnBus on{&Access::impl(m.bus).bus, std::move(motor).value(), std::nullopt};
        if (m.joint_limits) {
            const JointLimits& j = *m.joint_limits;
            Result<JointLimits> checked = JointLimits::make(j.q_min, j.q_max, j.dq_max, j.tau_max);
            if (!checked.ok()) {
                return err(api::invalid("joint_limits[" + std::to_string(i) + "]: " + checked.error().message()));
            }
            on.joint = j;
        }
        on_buses.push_back(std::move(on));
    }
    std::vector<transport::SharedBus*> shared;
    std::vector<damiao::GroupMember> core = damiao::group_by_bus(on_buses, shared);
    const std::string clash = damiao::identifier_clash(core);
    if (!clash.empty()) return err(api::invalid(clash));
    const std::size_t bus_count = shared.size();
    auto impl = std::make_shared<Impl>(
        std::move(members), options,
        damiao::MotorGroup(std::move(core), bus_count,
                           transport::Duration::from_millis(static_cast<std::uint64_t>(options.timeout.count())),
                           options.fd),
        std::move(shared));
    return Access::group(std::move(impl));
}

std::size_t MotorGroup::size() const { return impl_->group.size(); }
const std::vector<Member>& MotorGroup::members() const { return impl_->members; }
const GroupOptions& MotorGroup::options() const { return impl_->options; }

namespace {

// A command of the group: refused while its loop runs; `frames(g)` makes
// the frames (or a refusal), then one cycle.
template <class Frames>
Result<std::vector<MotorState>> group_command(MotorGroup::Impl& g, Frames frames) {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (api::looping(g)) return err(api::busy());
    Result<std::vector<transport::CanFrame>, Error> made = frames(g);
    if (!made.ok()) return err(std::move(made).error());
    return api::states_of(g.group, api::run_cycle(g, made.value()));
}

template <std::uint8_t Command>
Result<std::vector<MotorState>> special(MotorGroup::Impl& g) {
    return group_command(g, [](MotorGroup::Impl& gi) -> Result<std::vector<transport::CanFrame>, Error> {
        if (Command == damiao::kEnable) {
            Result<Unit, damiao::ScopeError> written =
                damiao::write_watchdog(gi.group, gi.shared.data(), api::settings(gi).watchdog_ms, *gi.host);
            if (!written.ok()) return err(Error(Error::Kind::Group, written.error().message()));
        }
        return gi.group.special(Command);
    });
}

}  // namespace

Result<std::vector<MotorState>> MotorGroup::enable() const { return special<damiao::kEnable>(*impl_); }
Result<std::vector<MotorState>> MotorGroup::disable() const { return special<damiao::kDisable>(*impl_); }
Result<std::vector<MotorState>> MotorGroup::set_zero() const { return special<damiao::kSetZero>(*impl_); }
Result<std::vector<MotorState>> MotorGroup::clear_error() const { return special<damiao::kClearError>(*impl_); }

Result<std::vector<MotorState>> MotorGroup::refresh() const {
    return group_command(*impl_, [](MotorGroup::Impl& g) -> Result<std::vector<transport::CanFrame>, Error> {
        return g.group.refresh();
    });
}

namespace {
// One cycle of one setpoint per member, clamped and encoded before anything
// is sent. A refused command's message names the member, or (`as_single`)
// is the one the member's single command would give.
Result<std::vector<MotorState>> control_cycle(MotorGroup::Impl& impl, const std::vector<Setpoint>& setpoints,
                                              bool as_single) {
    return group_command(impl, [&](MotorGroup::Impl& g) -> Result<std::vector<transport::CanFrame>, Error> {
        if (setpoints.size() != g.group.size()) {
            return err(api::invalid("expected " + std::to_string(g.group.size()) +
                                    " setpoints, one per member, got " + std::to_string(setpoints.size())));
        }
        std::vector<damiao::Setpoint> core;
        core.reserve(setpoints.size());
        for (const Setpoint& s : setpoints) core.push_back(api::to_core(s));
        auto frames = g.group.control(core);
        if (!frames.ok()) {
            return err(as_single ? api::from_core(frames.error().error) : api::refusal(g.group, frames.error()));
        }
        return std::move(frames).value();
    });
}
}  // namespace

Result<std::vector<MotorState>> MotorGroup::control(const std::vector<Setpoint>& setpoints) const {
    return control_cycle(*impl_, setpoints, false);
}

Result<std::vector<MotorState>> MotorGroup::mit_control(const std::vector<MitSetpoint>& setpoints) const {
    return control_cycle(*impl_, std::vector<Setpoint>(setpoints.begin(), setpoints.end()), true);
}

Result<std::vector<MotorState>> MotorGroup::hold(float kp, float kd) const {
    Impl& g = *impl_;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (api::looping(g)) return err(api::busy());
    const damiao::MotorGroup& dg = g.group;
    if (const std::optional<damiao::MotorGroup::Refusal> refused = dg.hold_refused(kp, kd)) {
        return err(api::refusal(dg, *refused));
    }
    // A member not heard from yet is refreshed first: the hold needs where
    // every member is.
    std::vector<char> heard(dg.size());
    bool all = true;
    for (std::size_t i = 0; i < dg.size(); ++i) all = (heard[i] = dg.last()[i].has_value()) && all;
    if (!all) {
        api::MemberResults results = api::run_cycle(g, dg.refresh(), heard.data());
        for (std::size_t i = 0; i < dg.size(); ++i) {
            if (heard[i]) results[i] = *dg.last()[i];
        }
        Result<std::vector<MotorState>> refreshed = api::states_of(dg, results);
        if (!refreshed.ok()) return refreshed;
    }
    auto frames = dg.hold(kp, kd);
    if (!frames.ok()) return err(api::refusal(dg, frames.error()));
    return api::states_of(dg, api::run_cycle(g, frames.value()));
}

Result<Unit> MotorGroup::ensure_mode(ControlMode mode) const {
    return ensure_mode(std::vector<ControlMode>(size(), mode));
}

Result<Unit> MotorGroup::ensure_mode(const std::vector<ControlMode>& modes) const {
    Impl& g = *impl_;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (api::looping(g)) return err(api::busy());
    const damiao::MotorGroup& dg = g.group;
    if (modes.size() != dg.size()) {
        return err(api::invalid("expected " + std::to_string(dg.size()) + " modes, one per member, got " +
                                std::to_string(modes.size())));
    }
    for (std::size_t i = 0; i < modes.size(); ++i) {
        const std::uint8_t m = static_cast<std::uint8_t>(modes[i]);
        if (damiao::kind_of_mode(m) == damiao::kCommandKindCount) {
            return err(api::invalid("argument 'modes[" + std::to_string(i) + "]': " + std::to_string(m) +
                                    " is not a control mode; the modes are " + api::mode_names()));
        }
    }
    std::vector<Result<Unit, damiao::Error>> results;
    for (std::size_t i = 0; i < dg.size(); ++i) {
        const std::uint8_t m = static_cast<std::uint8_t>(modes[i]);
        Result<Unit> r = api::switch_mode(g.members[i].bus, dg.members()[i].motor, m);
        if (r.ok()) {
            dg.know_kind(i, damiao::kind_of_mode(m));
            results.emplace_back(Unit{});
        } else {
            results.emplace_back(err(damiao::Error::failure(r.error().message())));
        }
    }
    if (const std::optional<damiao::GroupFailure> f = damiao::members_failed(dg, results)) return err(api::failure(*f));
    return Unit{};
}

std::vector<std::uint64_t> MotorGroup::clamped() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->group.clamped();
}

Result<GroupScope> MotorGroup::scope() const {
    Impl& g = *impl_;
    std::vector<MotorState> states;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        const std::shared_ptr<ControlLoop::Impl> loop = g.loop.lock();
        Result<std::vector<damiao::mit::MotorState>, damiao::ScopeError> entered =
            g.scope.enter(g.group, g.shared.data(), api::settings(g), *g.host, loop ? loop->loop.get() : nullptr);
        if (!entered.ok()) {
            const damiao::ScopeError& e = entered.error();
            const Error::Kind kind = e.kind == damiao::ScopeError::Kind::Members ? Error::Kind::Group
                                     : e.message() == "control loop running" ? Error::Kind::Busy
                                                                              : Error::Kind::Device;
            // A failure of the disable after it follows on a line of its own.
            std::string message = e.message();
            if (e.cleanup) message += std::string("\n") + damiao::kEnterCleanupNote + ": " + e.cleanup->message();
            return err(Error(kind, message));
        }
        states = std::move(entered).value();
    }
    return Access::scope(*this, std::move(states));
}

// ------------------------------------------------------------ the scope

GroupScope::GroupScope(GroupScope&& other) noexcept
    : group_(other.group_), enabled_(std::move(other.enabled_)), open_(other.open_) {
    other.open_ = false;
}

GroupScope& GroupScope::operator=(GroupScope&& other) noexcept {
    if (this != &other) {
        (void)close();
        group_ = other.group_;
        enabled_ = std::move(other.enabled_);
        open_ = other.open_;
        other.open_ = false;
    }
    return *this;
}

GroupScope::~GroupScope() { (void)close(); }

Result<Unit> GroupScope::close() {
    if (!open_) return Unit{};
    open_ = false;
    MotorGroup::Impl& g = *Access::group_ptr(group_);
    std::lock_guard<std::mutex> lock(g.mutex);
    // A running control loop of the group is stopped first: the disable is
    // the last the members hear.
    const std::shared_ptr<ControlLoop::Impl> loop = g.loop.lock();
    const std::optional<damiao::GroupFailure> failed =
        g.scope.exit(g.group, g.shared.data(), api::settings(g), *g.host, loop ? loop->loop.get() : nullptr);
    if (failed) return err(api::failure(*failed));
    return Unit{};
}

// ------------------------------------------------------------ the loop

Result<ControlLoop> MotorGroup::start(double rate_hz, LoopOptions options) const {
    const Result<transport::Duration, std::string> period = damiao::period_of_rate(rate_hz);
    if (!period.ok()) return err(api::invalid(period.error()));
    if (options.hold.count() < 1) return err(api::invalid("hold_ms must be at least 1"));
    if (options.priority && (*options.priority < 1 || *options.priority > 99)) {
        return err(api::invalid("priority must be None or from 1 to 99, got " + std::to_string(*options.priority)));
    }
    if (options.cpu && (*options.cpu < 0 || *options.cpu > 1023)) {
        return err(api::invalid("cpu must be None or from 0 to 1023, got " + std::to_string(*options.cpu)));
    }
    const long long blend_ms = options.blend.value_or(std::chrono::milliseconds(0)).count();
    if (blend_ms < 0 || blend_ms > static_cast<long long>(damiao::kMaxBlendMillis)) {
        return err(api::invalid("blend_ms must be from 0 to " + std::to_string(damiao::kMaxBlendMillis) + ", got " +
                                std::to_string(blend_ms)));
    }
    const int priority = options.priority.value_or(0);
    const int cpu = options.cpu.value_or(-1);
    Impl& g = *impl_;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (api::looping(g)) return err(api::busy());
    damiao::LoopOptions o;
    o.period = period.value();
    o.hold = transport::Duration::from_millis(static_cast<std::uint64_t>(options.hold.count()));
    o.stop_on_fault = options.stop_on_fault;
    o.disable_patience = transport::Duration::from_millis(static_cast<std::uint64_t>(g.options.disable_timeout.count()));
    o.blend = transport::Duration::from_millis(static_cast<std::uint64_t>(blend_ms));
    auto loop = std::make_shared<ControlLoop::Impl>();
    loop->group = impl_;
    loop->rate_hz = rate_hz;
    loop->loop = std::make_unique<damiao::ControlLoop>(g.group, g.shared, std::make_unique<transport::PollWaiter>(), o);
    const int rc = loop->loop->start(priority, cpu);
    if (rc == EPERM) {
        const std::string p = std::to_string(priority);
        return err(Error(Error::Kind::Os, "running the control loop at SCHED_FIFO priority " + p +
                                              " needs the CAP_SYS_NICE capability or a real-time priority limit of "
                                              "at least " + p + " (ulimit -r " + p + ")"));
    }
    if (rc == EINVAL && cpu >= 0) {
        return err(api::invalid("cpu " + std::to_string(cpu) + " is not one this process may run on"));
    }
    if (rc != 0) return err(Error(Error::Kind::Os, transport::IoError::from_errno(rc).text()));
    g.loop = loop;
    return Access::loop(std::move(loop));
}

ControlLoop::ControlLoop(ControlLoop&& other) noexcept = default;

ControlLoop& ControlLoop::operator=(ControlLoop&& other) noexcept {
    if (this != &other) {
        if (impl_) (void)impl_->loop->stop(true);
        impl_ = std::move(other.impl_);
    }
    return *this;
}

ControlLoop::~ControlLoop() {
    // Dropped: nothing can drive the members after this.
    if (impl_) (void)impl_->loop->stop(true);
}

namespace api {
namespace {
// The instant `timeout` from now (none: never), and in `ns` the timeout in
// nanoseconds (a negative one as 0).
transport::Instant deadline(std::optional<std::chrono::nanoseconds> timeout, long long& ns) {
    if (!timeout) return transport::Instant{UINT64_MAX};
    ns = std::max<long long>(timeout->count(), 0);
    return transport::Instant::now().saturating_add(transport::Duration::from_nanos(static_cast<std::uint64_t>(ns)));
}
}  // namespace

Error stopped(const damiao::ControlLoop& loop) {
    const std::optional<std::string> why = loop.error();
    return Error(Error::Kind::LoopStopped, why ? *why : std::string("the control loop is stopped"));
}
}  // namespace api

Result<Unit> ControlLoop::set(const std::vector<Setpoint>& setpoints) {
    MotorGroup::Impl& g = *impl_->group;
    damiao::ControlLoop& loop = *impl_->loop;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!loop.running()) return err(api::stopped(loop));
    const damiao::MotorGroup& dg = g.group;
    if (setpoints.size() != dg.size()) {
        return err(api::invalid("expected " + std::to_string(dg.size()) + " setpoints, one per member, got " +
                                std::to_string(setpoints.size())));
    }
    std::vector<damiao::Setpoint> core;
    core.reserve(setpoints.size());
    for (const Setpoint& s : setpoints) core.push_back(api::to_core(s));
    if (std::optional<damiao::MotorGroup::Refusal> refused = loop.command(std::move(core))) {
        return err(api::refusal(dg, *refused));
    }
    return Unit{};
}

namespace {

// Member i's value of a move option: none when the option is empty, else
// its one value for every member or member i's own.
const double* member_value(const std::vector<double>& values, std::size_t i) {
    if (values.empty()) return nullptr;
    return &values[values.size() == 1 ? 0 : i];
}

// An MIT gain of a move (`values`, as member_value takes them), or why it
// is refused. NaN stands for a gain not given (the loop resolves it), so a
// NaN given is refused here ("kp[1] must be a number, got nan").
std::optional<std::string> move_gain(const char* name, const std::vector<double>& values, std::size_t i, float& out) {
    const double* given = member_value(values, i);
    if (given == nullptr) return std::nullopt;
    if (std::isnan(*given)) {
        const std::string item = values.size() == 1 ? name : std::string(name) + "[" + std::to_string(i) + "]";
        return item + " must be a number, got nan";
    }
    // The encoding clamps a gain into the motor's range; past what a float
    // holds, it is clamped here first.
    out = static_cast<float>(std::clamp(*given, -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX)));
    return std::nullopt;
}

}  // namespace

Result<Move> ControlLoop::move_to(const std::vector<double>& targets, const MoveOptions& options) {
    MotorGroup::Impl& g = *impl_->group;
    damiao::ControlLoop& loop = *impl_->loop;
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!loop.running()) return err(api::stopped(loop));
    const damiao::MotorGroup& dg = g.group;
    const std::size_t n = dg.size();
    if (targets.size() != n) {
        return err(api::invalid("expected " + std::to_string(n) + " targets, one per member, got " +
                                std::to_string(targets.size())));
    }
    const std::pair<const char*, const std::vector<double>*> fields[] = {{"velocity_limit", &options.velocity_limit},
                                                                         {"accel_limit", &options.accel_limit},
                                                                         {"kp", &options.kp},
                                                                         {"kd", &options.kd}};
    for (const auto& f : fields) {
        const std::size_t size = f.second->size();
        if (size > 1 && size != n) {
            return err(api::invalid("expected " + std::to_string(n) + " " + f.first + ", one per member, got " +
                                    std::to_string(size)));
        }
    }
    damiao::MoveRequest request = damiao::default_move(dg);
    request.duration = options.duration.value_or(0.0);
    const std::string too_long = damiao::move_duration_fault(request.duration);
    if (!too_long.empty()) return err(api::invalid(too_long));
    for (std::size_t i = 0; i < n; ++i) {
        damiao::MoveAxis& axis = request.axes[i];
        axis.target = targets[i];
        if (const double* velocity = member_value(options.velocity_limit, i)) axis.velocity = *velocity;
        if (const double* accel = member_value(options.accel_limit, i)) axis.accel = *accel;
        std::optional<std::string> refused = move_gain("kp", options.kp, i, axis.kp);
        if (!refused) refused = move_gain("kd", options.kd, i, axis.kd);
        if (refused) return err(api::invalid(*refused));
    }
    Result<std::uint64_t, damiao::MotorGroup::Refusal> moved = loop.move(std::move(request));
    if (!moved.ok()) return err(api::refusal(dg, moved.error()));
    return Access::move(impl_, moved.value());
}

bool Move::done() const { return loop_->loop->move_state(number_) == damiao::MoveState::Arrived; }

bool Move::cancelled() const {
    const damiao::MoveState s = loop_->loop->move_state(number_);
    return s == damiao::MoveState::Cancelled || s == damiao::MoveState::Stopped;
}

Result<bool> Move::wait(std::optional<std::chrono::nanoseconds> timeout) const {
    const damiao::ControlLoop& loop = *loop_->loop;
    long long ns = 0;
    const transport::Instant until = api::deadline(timeout, ns);
    switch (loop.wait_move(number_, until)) {
        case damiao::MoveState::Arrived:
            return true;
        case damiao::MoveState::Cancelled:
            return false;
        case damiao::MoveState::Stopped:
            return err(api::stopped(loop));
        case damiao::MoveState::Running:
            break;
    }
    return err(Error(Error::Kind::Timeout, "the move did not arrive within " + std::to_string(ns / 1000000) + " ms"));
}

Result<std::vector<std::optional<MotorState>>> ControlLoop::wait(std::optional<std::chrono::nanoseconds> timeout) const {
    const damiao::ControlLoop& loop = *impl_->loop;
    const std::uint64_t seen = loop.cycles();
    long long ns = 0;
    const transport::Instant until = api::deadline(timeout, ns);
    std::vector<std::optional<MotorState>> states;
    switch (loop.wait(seen, until, states)) {
        case damiao::ControlLoop::Wake::Cycle:
            return states;
        case damiao::ControlLoop::Wake::Stopped:
            return err(api::stopped(loop));
        case damiao::ControlLoop::Wake::Timeout:
            break;
    }
    return err(Error(Error::Kind::Timeout,
                     "no cycle of the control loop completed within " + std::to_string(ns / 1000000) + " ms"));
}

std::vector<std::optional<MotorState>> ControlLoop::states() const { return impl_->loop->states(); }

LoopStats ControlLoop::stats() const {
    const damiao::LoopStats s = impl_->loop->stats();
    return LoopStats{s.cycles, s.overruns, s.missed, s.faults, s.rate_hz, s.period_us, s.latency_us};
}

bool ControlLoop::running() const { return impl_->loop->running(); }

std::optional<std::string> ControlLoop::error() const { return impl_->loop->error(); }

Result<Unit> ControlLoop::stop() {
    MotorGroup::Impl& g = *impl_->group;
    bool disable = false;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        // Inside the group's scope the scope disables; outside, nothing
        // else would.
        disable = !g.scope.entered();
    }
    const std::string failed = impl_->loop->stop(disable);
    if (!failed.empty()) return err(Error(Error::Kind::Device, failed));
    return Unit{};
}

}  // namespace rotalink
