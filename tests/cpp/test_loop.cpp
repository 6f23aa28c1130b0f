// The control loop on an in-memory bus: what each cycle sends before and
// after the first setpoints, the watchdogs that disable and stop it, and the
// histogram its timing is summarised with. Only order is asserted, never
// speed.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "damiao/loop.hpp"
#include "memory_transport.hpp"

namespace rotalink::test {
namespace {

using damiao::ControlLoop;
using damiao::Damiao;
using damiao::DurationHistogram;
using damiao::GroupMember;
using damiao::MotorGroup;
using transport::BusWaiter;
using transport::CanTransport;
using transport::Instant;
using transport::SharedBus;

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

// Waits a moment; the memory bus has its replies queued as soon as it sent.
class NapWaiter final : public BusWaiter {
public:
    Result<Unit, TransportError> wait(CanTransport* const*, std::size_t, Instant) override {
        const timespec ts{0, 100000};
        nanosleep(&ts, nullptr);
        return Unit{};
    }
};

std::vector<std::string> texts(const std::vector<CanFrame>& frames) {
    std::vector<std::string> out;
    for (const CanFrame& f : frames) out.push_back(show(f));
    return out;
}

Damiao motor(std::uint16_t id, std::uint16_t master) {
    Damiao d;
    d.motor_id = id;
    d.master_id = master;
    return d;
}

// Motors 1 and 2 (replies from 0x11 and 0x12) on one bus; each answers any
// frame to its command identifier or a refresh of it, unless silent.
struct LoopRig {
    MemoryTransport* memory = new MemoryTransport();
    SharedBus bus{std::unique_ptr<CanTransport>(memory)};
    MotorGroup group{{{0, motor(1, 0x11)}, {0, motor(2, 0x12)}}, 1, Duration::from_millis(2), false};
    std::set<std::uint16_t> silent;

    LoopRig() {
        memory->respond([this](const CanFrame& f, MemoryTransport& t) {
            for (const GroupMember& m : group.members()) {
                const std::uint16_t id = m.motor.motor_id;
                const bool refresh = f.id.value == 0x7FF && f.data[0] == id && f.data[2] == 0xCC;
                if ((f.id.value != id && !refresh) || silent.count(id)) continue;
                t.queue(make_frame(CanId::standard(m.motor.master_id),
                                   {static_cast<std::uint8_t>(0x10 | id), 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20}));
            }
        });
    }
    std::unique_ptr<ControlLoop> loop(std::uint64_t hold_ms) {
        return std::make_unique<ControlLoop>(group, std::vector<SharedBus*>{&bus}, std::make_unique<NapWaiter>(),
                                             Duration::from_millis(1), Duration::from_millis(hold_ms));
    }
    std::vector<std::string> sent() {
        return bus.locked([](CanTransport& t) { return texts(static_cast<MemoryTransport&>(t).sent()); });
    }
    // Waits for `n` more cycles, or until the loop stops.
    void cycles(ControlLoop& loop, std::uint64_t n) {
        std::vector<std::optional<damiao::mit::MotorState>> states;
        const std::uint64_t until = loop.cycles() + n;
        while (loop.cycles() < until &&
               loop.wait(loop.cycles(), Instant::now().saturating_add(Duration::from_millis(5000)), states) ==
                   ControlLoop::Wake::Cycle) {
        }
    }
};

TEST(ControlLoop, RefreshesUntilTheFirstSetpointsThenSendsTheLatest) {
    LoopRig rig;
    std::unique_ptr<ControlLoop> loop = rig.loop(5000);
    ASSERT_EQ(loop->start(0, -1), 0);
    rig.cycles(*loop, 3);
    std::vector<CanFrame> first;
    std::vector<CanFrame> second;
    for (float q : {0.5f, -0.5f}) {
        const damiao::Setpoint s = damiao::from_mit({q, 0.0f, 10.0f, 1.0f, 0.0f});
        auto frames = rig.group.control({s, s});
        ASSERT_TRUE(frames.ok());
        (first.empty() ? first : second) = frames.value();
    }
    loop->set(first);
    rig.cycles(*loop, 3);
    loop->set(second);
    rig.cycles(*loop, 3);
    loop->stop();
    loop->stop();
    EXPECT_FALSE(loop->running());
    EXPECT_EQ(loop->error(), std::nullopt);

    // Runs of refreshes, then of the first setpoints, then of the second;
    // every cycle sends one frame to each member, in member order.
    const std::vector<std::string> sent = rig.sent();
    ASSERT_EQ(sent.size() % 2, 0u);
    const std::vector<std::string> cycles[] = {texts(rig.group.refresh()), texts(first), texts(second)};
    std::vector<int> runs;
    for (std::size_t k = 0; k < sent.size(); k += 2) {
        const std::vector<std::string> pair(sent.begin() + k, sent.begin() + k + 2);
        int which = 0;
        while (which < 3 && pair != cycles[which]) ++which;
        ASSERT_LT(which, 3) << "cycle " << k / 2 << ": " << pair[0];
        if (runs.empty() || runs.back() != which) runs.push_back(which);
    }
    EXPECT_EQ(runs, (std::vector<int>{0, 1, 2}));
    const damiao::LoopStats stats = loop->stats();
    EXPECT_EQ(stats.cycles, sent.size() / 2);
    EXPECT_EQ(stats.missed, (std::vector<std::uint64_t>{0, 0}));
    ASSERT_TRUE(loop->states()[1].has_value());
    EXPECT_EQ(loop->states()[1]->motor_id, 2u);
    EXPECT_EQ(rig.sent().size(), sent.size());  // nothing after the stop
}

// The watchdogs: no setpoints, or a member that stops answering, for the
// hold time: every member is disabled (the silent one three times) and the
// loop stops, saying why.
TEST(ControlLoop, WatchdogsDisableEveryMemberAndStop) {
    const struct {
        bool set;
        std::uint16_t silent;
        const char* why;
    } cases[] = {
        {false, 0, "no setpoint for 30 ms; every member was disabled"},
        {true, 2,
         "member 1 (motor_id=0x2) did not answer for 30 ms (last: transport error: timeout waiting for "
         "frame); disabling failed for member 1 (motor_id=0x2): transport error: timeout waiting for frame"},
    };
    for (const auto& c : cases) {
        LoopRig rig;
        if (c.silent) rig.silent.insert(c.silent);
        std::unique_ptr<ControlLoop> loop = rig.loop(30);
        ASSERT_EQ(loop->start(0, -1), 0);
        const damiao::Setpoint s = damiao::from_mit({0.0f, 0.0f, 0.0f, 1.0f, 0.0f});
        while (c.set && loop->running()) {  // setpoints kept fresh: only the member's silence counts
            loop->set(rig.group.control({s, s}).value());
            rig.cycles(*loop, 1);
        }
        rig.cycles(*loop, 1000000);  // until it stops
        ASSERT_FALSE(loop->running());
        EXPECT_EQ(loop->error(), std::string(c.why));
        const std::vector<std::string> sent = rig.sent();
        const std::vector<std::string> disable = texts(rig.group.special(damiao::kDisable));
        const std::vector<std::string> want =
            c.silent ? std::vector<std::string>{disable[0], disable[1], disable[1], disable[1]} : disable;
        EXPECT_EQ(std::vector<std::string>(sent.end() - static_cast<std::ptrdiff_t>(want.size()), sent.end()), want);
        loop->stop();
    }
}

}  // namespace
}  // namespace rotalink::test
