// The control loop on an in-memory bus, on a clock the test moves: what
// each cycle sends before and after the first setpoints and after a stop,
// the watchdogs and faults that disable and stop it, its overruns, a fork,
// and the histogram its timing is summarised with. Only order is asserted,
// never speed.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "damiao/loop.hpp"
#include "damiao/scope.hpp"
#include "loop_rig.hpp"
#include "support/panic.hpp"

namespace rotalink::test {
namespace {

using damiao::DurationHistogram;

TEST(DurationHistogram, BucketsHoldTheirValuesWithinOneSixtyFourth) {
    const std::uint64_t values[] = {0, 1, 127, 128, 129, 255, 256, 1000, 2000000, 1ull << 40, (1ull << 63) + 12345,
                                    UINT64_MAX};
    for (std::uint64_t v : values) {
        const std::uint64_t mid = DurationHistogram::middle(DurationHistogram::bucket(v));
        const std::uint64_t off = mid > v ? mid - v : v - mid;
        EXPECT_LE(off, v / 64) << v;
        EXPECT_LE(DurationHistogram::bucket(v), DurationHistogram::bucket(v + (v < UINT64_MAX))) << v;
    }
}

TEST(DurationHistogram, Quantiles) {
    DurationHistogram h;
    EXPECT_EQ(h.quantile(0.5), 0u);
    for (std::uint64_t v = 1; v <= 100; ++v) h.record(v * 1000);
    h.record(7000000);
    EXPECT_EQ(h.count(), 101u);
    EXPECT_NEAR(static_cast<double>(h.quantile(0.5)), 51000, 51000 / 64);
    EXPECT_NEAR(static_cast<double>(h.quantile(0.99)), 100000, 100000 / 64);
    EXPECT_EQ(h.quantile(1.0), 7000000u);  // never above the largest
    EXPECT_EQ(h.max(), 7000000u);
}

TEST(ControlLoop, RefreshesUntilTheFirstSetpointsThenSendsTheLatest) {
    LoopRig rig;
    std::unique_ptr<ControlLoop> loop = rig.loop(5000);
    rig.start(*loop);
    rig.cycles(*loop, 2);
    std::vector<CanFrame> first;
    std::vector<CanFrame> second;
    for (float q : {0.5f, -0.5f}) {
        const damiao::Setpoint s = damiao::from_mit({q, 0.0f, 10.0f, 1.0f, 0.0f});
        auto frames = rig.group.control({s, s});
        ASSERT_TRUE(frames.ok());
        (first.empty() ? first : second) = frames.value();
    }
    const damiao::Setpoint s1 = damiao::from_mit({0.5f, 0.0f, 10.0f, 1.0f, 0.0f});
    const damiao::Setpoint s2 = damiao::from_mit({-0.5f, 0.0f, 10.0f, 1.0f, 0.0f});
    loop->set(first, {s1, s1});
    rig.cycles(*loop, 3);
    loop->set(second, {s2, s2});
    rig.cycles(*loop, 3);
    EXPECT_EQ(loop->stop(), "");
    EXPECT_EQ(loop->stop(true), "");  // stopped already: nothing more is sent
    EXPECT_FALSE(loop->running());
    EXPECT_EQ(loop->error(), std::nullopt);

    // Exactly the nine cycles the clock let run: three of refreshes, three
    // of the first setpoints, three of the second, and nothing after stop.
    const std::vector<std::string> sent = rig.sent();
    std::vector<std::string> want;
    for (const auto& frames : {rig.group.refresh(), first, second}) {
        for (int k = 0; k < 3; ++k) {
            for (const std::string& t : texts(frames)) want.push_back(t);
        }
    }
    EXPECT_EQ(sent, want);
    const damiao::LoopStats stats = loop->stats();
    EXPECT_EQ(stats.cycles, 9u);
    EXPECT_EQ(stats.overruns, 0u);
    EXPECT_EQ(stats.missed, (std::vector<std::uint64_t>{0, 0}));
    ASSERT_TRUE(loop->states()[1].has_value());
    EXPECT_EQ(loop->states()[1]->motor_id, 2u);
}

// How a loop ends, and the confirmed stop it ends with: the watchdogs (no
// setpoints, or a member silent, for the hold time), a member's fault, and
// a stop that disables; members that answer DISABLED, a fault, ENABLED
// always, or nothing.
TEST(ControlLoop, EveryEndDisablesEveryMemberUntilItsFeedbackSaysSo) {
    const std::string timeout = "transport error: timeout waiting for frame";
    const struct {
        const char* name;
        bool set;              // setpoints kept fresh
        std::uint16_t silent;  // a member that stops answering
        std::uint16_t ignores;  // a member that answers every disable ENABLED
        std::uint16_t faults;   // a member that reports OVERLOAD
        bool stop;             // the test stops the loop, asking for the disable
        std::string why;
        std::vector<std::size_t> disables;  // the members disabled at the end, in order
    } cases[] = {
        {"no setpoint", false, 0, 0, 0, false, "no setpoint for 30 ms; every member was disabled", {0, 1}},
        {"silent member", true, 2, 0, 0, false,
         "member 1 (motor_id=0x2) did not answer for 30 ms (last: " + timeout +
             "); disabling failed for member 1 (motor_id=0x2): " + timeout,
         {0, 1, 1, 1}},
        {"fault", true, 0, 0, 2, false, "member 1 (motor_id=0x2) reports OVERLOAD; every member was disabled", {0, 1}},
        {"still enabled", false, 0, 1, 0, false,
         "no setpoint for 30 ms; disabling failed for member 0 (motor_id=0x1) still reports ENABLED after 3 disables",
         {0, 1, 0, 0}},
        {"stop", true, 0, 0, 0, true, "", {0, 1}},
        {"stop, still enabled", true, 0, 2, 0, true,
         "the control loop was stopped; disabling failed for member 1 (motor_id=0x2) still reports ENABLED after 3 "
         "disables",
         {0, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopRig rig;
        if (c.silent) rig.silent.insert(c.silent);
        if (c.ignores) rig.ignores_disables.insert(c.ignores);
        std::unique_ptr<ControlLoop> loop = rig.loop(30);
        rig.start(*loop);
        const damiao::Setpoint s = damiao::from_mit({0.0f, 0.0f, 0.0f, 1.0f, 0.0f});
        for (int k = 0; k < 1000 && loop->running(); ++k) {
            if (c.set) loop->set(rig.group.control({s, s}).value(), {s, s});
            if (k == 5 && c.faults) rig.status[c.faults] = kOverload;
            if (k == 5 && c.stop) break;
            rig.cycles(*loop, 1);
        }
        const std::string failed = loop->stop(c.stop);
        ASSERT_FALSE(loop->running());
        EXPECT_EQ(loop->error().value_or(""), c.why);
        if (c.stop) {
            EXPECT_EQ(failed.empty() ? "" : "the control loop was stopped; " + failed, c.why);
        }
        // The disables come last, and only there.
        const std::vector<std::string> all = texts(rig.group.special(damiao::kDisable));
        std::vector<std::string> disables;
        for (std::size_t m : c.disables) disables.push_back(all[m]);
        const std::vector<std::string> sent = rig.sent();
        ASSERT_GT(sent.size(), disables.size());
        EXPECT_EQ(std::vector<std::string>(sent.end() - static_cast<std::ptrdiff_t>(disables.size()), sent.end()),
                  disables);
        const std::string& before = sent[sent.size() - disables.size() - 1];
        EXPECT_TRUE(before != all[0] && before != all[1]) << before;
    }
}

// A velocity command is held inside the joint's limits every cycle, by the
// position of the cycle before, and comes back once the joint is inside.
TEST(ControlLoop, VelocityIsHeldAtTheJointLimitsEveryCycle) {
    damiao::JointLimits joint;
    joint.q_max = -1.0f;  // 0 rad, where the motors report themselves, is past it
    LoopRig rig(joint);
    std::unique_ptr<ControlLoop> loop = rig.loop(60000);
    rig.start(*loop);
    const damiao::Setpoint out{damiao::kind_of_mode(3), {2.0f}};
    const std::vector<damiao::Setpoint> setpoints = {out, out};
    loop->set(rig.group.control(setpoints.data(), loop->states().data()).value(), setpoints);
    const damiao::mit::MitLimits limits;
    const auto vel = [&](std::uint16_t id, float dq) { return show(damiao::make_control(id, limits, {out.kind, {dq}}).value()); };
    rig.cycles(*loop, 2);
    EXPECT_EQ(rig.last(2), (std::vector<std::string>{vel(1, 0.0f), vel(2, 2.0f)}));
    rig.position_hi = 0x00;  // now far below q_max
    rig.cycles(*loop, 2);   // one cycle to hear it, one to send by it
    EXPECT_EQ(rig.last(2), (std::vector<std::string>{vel(1, 2.0f), vel(2, 2.0f)}));
    loop->stop();
}

TEST(ControlLoop, FaultsAreCountedWhenTheyDoNotStopTheLoop) {
    LoopRig rig;
    rig.status[2] = kOverload;
    std::unique_ptr<ControlLoop> loop = rig.loop(5000, false);
    rig.start(*loop);
    rig.cycles(*loop, 3);
    EXPECT_TRUE(loop->running());
    EXPECT_EQ(loop->stop(), "");
    EXPECT_EQ(loop->error(), std::nullopt);
    EXPECT_EQ(loop->stats().faults, (std::vector<std::uint64_t>{0, 4}));
}

// The group's scope, entered and left in the calling thread: what the enter
// and the exit report, with the messages the Python face raises.
TEST(GroupScope, EnterAndExitReportWhatFailed) {
    struct Case {
        const char* name;
        std::function<void(LoopRig&)> arrange;
        std::string enter;    // "" when the enter succeeds
        std::string cleanup;  // after a failed enter: what disabling again failed
        std::string exit;     // after a good enter: what the exit's disable failed
    };
    const std::string timeout = "transport error: timeout waiting for frame";
    const Case cases[] = {
        {"AllEnabled", [](LoopRig&) {}, "", "", ""},
        {"AnsweredDisabled", [](LoopRig& r) { r.status[2] = kDisabled; },
         "1 of 2 members failed; member 1 (motor_id=0x2): answered the enable with DISABLED", "", ""},
        {"AnsweredAFault", [](LoopRig& r) { r.status[1] = kOverload; },
         "1 of 2 members failed; member 0 (motor_id=0x1): answered the enable with OVERLOAD", "", ""},
        {"SilentAndKeepsSilent", [](LoopRig& r) { r.silent.insert(2); },
         "1 of 2 members failed; member 1 (motor_id=0x2): " + timeout,
         "1 of 2 members failed; member 1 (motor_id=0x2): " + timeout, ""},
        {"IgnoresDisables", [](LoopRig& r) { r.ignores_disables.insert(1); }, "", "",
         "1 of 2 members failed; member 0 (motor_id=0x1) still reports ENABLED after 3 disables"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopRig rig;
        c.arrange(rig);
        SharedBus* buses[1] = {&rig.bus};
        damiao::DirectHost host(rig.group, buses);
        damiao::ScopeSettings settings;
        settings.disable_patience = Duration{};
        damiao::GroupScope scope;
        const auto entered = scope.enter(rig.group, buses, settings, host, nullptr);
        EXPECT_EQ(scope.entered(), entered.ok());
        if (!c.enter.empty()) {
            ASSERT_FALSE(entered.ok());
            EXPECT_EQ(entered.error().kind, damiao::ScopeError::Kind::Members);
            EXPECT_EQ(entered.error().message(), c.enter);
            EXPECT_EQ(entered.error().cleanup ? entered.error().cleanup->message() : "", c.cleanup);
            const std::vector<std::string> sent = rig.sent();
            for (const std::string& d : texts(rig.group.special(damiao::kDisable))) {  // disabled again
                EXPECT_NE(std::find(sent.begin(), sent.end(), d), sent.end()) << d;
            }
            continue;
        }
        ASSERT_TRUE(entered.ok()) << entered.error().message();
        EXPECT_EQ(entered.value().size(), 2u);
        const std::optional<damiao::GroupFailure> left = scope.exit(rig.group, buses, settings, host, nullptr);
        EXPECT_FALSE(scope.entered());
        EXPECT_EQ(left ? left->message() : "", c.exit);
    }
}

// Members given with their buses get each bus once, in the order of its
// first member, and its index.
TEST(GroupScope, MembersAreGroupedByBus) {
    SharedBus a{std::make_unique<MemoryTransport>()};
    SharedBus b{std::make_unique<MemoryTransport>()};
    std::vector<SharedBus*> buses;
    const std::vector<GroupMember> members =
        damiao::group_by_bus({{&b, motor(1, 0x11)}, {&a, motor(2, 0x12)}, {&b, motor(3, 0x13)}}, buses);
    EXPECT_EQ(buses, (std::vector<SharedBus*>{&b, &a}));
    std::vector<std::size_t> of;
    for (const GroupMember& m : members) of.push_back(m.bus);
    EXPECT_EQ(of, (std::vector<std::size_t>{0, 1, 0}));
    EXPECT_EQ(members[2].motor.motor_id, 3);
}

// A rate's period, or why it is refused: a rate whose period would not fit
// the loop's clock is refused like one out of range, never rounded.
TEST(ControlLoop, PeriodOfRate) {
    struct Case {
        double rate_hz;
        std::uint64_t period_ns;  // 0: refused with `why`
        const char* why;
    };
    const Case cases[] = {
        {1000.0, 1000000, ""},
        {100000.0, 10000, ""},
        {3.0, 333333333, ""},
        {1.1e-10, 9090909090909090816u, ""},
        {0.0, 0, "rate_hz must be above 0 and at most 100000, got 0"},
        {-5.0, 0, "rate_hz must be above 0 and at most 100000, got -5"},
        {100000.5, 0, "rate_hz must be above 0 and at most 100000, got 100000.5"},
        {std::nan(""), 0, "rate_hz must be above 0 and at most 100000, got nan"},
        {INFINITY, 0, "rate_hz must be above 0 and at most 100000, got inf"},
        {1e-300, 0, "rate_hz must be at least 1.1e-10, got 1e-300"},
        {1e-10, 0, "rate_hz must be at least 1.1e-10, got 1e-10"},
        {5e-324, 0, "rate_hz must be at least 1.1e-10, got 5e-324"},
    };
    for (const Case& c : cases) {
        const Result<Duration, std::string> period = damiao::period_of_rate(c.rate_hz);
        if (c.period_ns == 0) {
            ASSERT_FALSE(period.ok()) << c.rate_hz;
            EXPECT_EQ(period.error(), c.why);
        } else {
            ASSERT_TRUE(period.ok()) << c.rate_hz;
            EXPECT_EQ(period.value().total_nanos_saturated(), c.period_ns) << c.rate_hz;
        }
    }
}

// An internal fault is a std::exception carrying its message; a thread's
// handlers of std::exception and catch-alls still let a forced unwind (the
// end of a thread that CPython ends at exit) pass, so the thread ends.
ROTALINK_FORCED_UNWIND_HANDLER void* ends_through_handlers(void* caught) {
    try {
        try {
            ROTALINK_PANIC("broken invariant");
        } catch (const std::exception& e) {
            *static_cast<std::string*>(caught) = e.what();
        }
        pthread_exit(nullptr);
    }
    ROTALINK_PASS_FORCED_UNWIND
    catch (const std::exception&) {
        *static_cast<std::string*>(caught) = "a std::exception handler caught the unwind";
    } catch (...) {
        *static_cast<std::string*>(caught) = "a catch-all caught the unwind";
    }
    return caught;
}

TEST(Panic, IsAStdExceptionAndLetsAForcedUnwindPass) {
    std::string caught;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, &ends_through_handlers, &caught), 0);
    void* result = &caught;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, nullptr);  // pthread_exit's value: nothing returned past it
    EXPECT_EQ(caught, "broken invariant");
}

// A wait with no deadline (the far end of the clock) sleeps until the next
// cycle, rather than spinning: the waiting thread uses a small part of the
// time it waits.
TEST(ControlLoop, WaitWithoutADeadlineSleepsUntilTheNextCycle) {
    LoopRig rig;
    std::unique_ptr<ControlLoop> loop = rig.loop(5000);
    rig.start(*loop);
    const std::uint64_t seen = loop->cycles();
    std::atomic<bool> woke{false};
    ControlLoop::Wake wake = ControlLoop::Wake::Timeout;
    timespec used{};
    std::thread waiter([&] {
        std::vector<std::optional<damiao::mit::MotorState>> states;
        wake = loop->wait(seen, Instant{UINT64_MAX}, states);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
        woke = true;
    });
    const timespec nap{0, 300000000};
    nanosleep(&nap, nullptr);
    EXPECT_FALSE(woke.load());
    rig.clock.advance(Duration::from_millis(1));
    waiter.join();
    EXPECT_EQ(wake, ControlLoop::Wake::Cycle);
    EXPECT_LT(used.tv_sec * 1000000000ll + used.tv_nsec, 100000000ll) << "the wait spun";
    loop->stop();
}

// Cycles that take longer than the period each count an overrun, and the
// next starts at once.
TEST(ControlLoop, CyclesPastTheirPeriodAreOverruns) {
    LoopRig rig;
    rig.per_frame = Duration::from_millis(3);  // each cycle takes 6 ms of a 1 ms period
    std::unique_ptr<ControlLoop> loop = rig.loop(60000);
    ASSERT_EQ(loop->start(0, -1), 0);
    std::vector<std::optional<damiao::mit::MotorState>> states;
    while (loop->cycles() < 5) loop->wait(loop->cycles(), Instant::now().saturating_add(Duration::from_millis(5000)), states);
    loop->stop();
    const damiao::LoopStats stats = loop->stats();
    EXPECT_GE(stats.cycles, 5u);
    EXPECT_EQ(stats.overruns, stats.cycles);
}

// In a child of fork() the loop's thread is not there: the loop is
// stopped, with an error saying why, and nothing waits for the thread.
TEST(ControlLoop, AChildOfForkSeesTheLoopStopped) {
    LoopRig rig;
    std::unique_ptr<ControlLoop> loop = rig.loop(60000);
    rig.start(*loop);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(20);  // a hang fails the test instead of holding it
        std::vector<std::optional<damiao::mit::MotorState>> states;
        const bool ok = !loop->running() &&
                        loop->error() == std::optional<std::string>(
                                             "the process forked: the control loop's thread runs in the parent only") &&
                        loop->wait(loop->cycles(), Instant{UINT64_MAX}, states) == ControlLoop::Wake::Stopped &&
                        loop->stop(true).empty();
        loop.reset();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(loop->running());  // the parent's loop goes on
    rig.cycles(*loop, 1);
    EXPECT_EQ(loop->stop(), "");
}

}  // namespace
}  // namespace rotalink::test
