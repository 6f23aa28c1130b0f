// The loop's record: a command frame reads back as the command it carries
// (and as nothing when it is no command), and each cycle the loop runs is
// recorded with what went on the bus and what came back, until the ring is
// full: then cycles are dropped from the record and counted, never delayed.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "damiao/control.hpp"
#include "damiao/loop.hpp"
#include "damiao/protocol.hpp"
#include "damiao/record.hpp"
#include "loop_rig.hpp"

namespace rotalink::test {
namespace {

using damiao::CycleRecord;
using damiao::MemberRecord;
using damiao::Setpoint;

Setpoint setpoint(std::size_t kind, std::vector<float> values) {
    Setpoint s;
    s.kind = kind;
    for (std::size_t i = 0; i < values.size(); ++i) s.values[i] = values[i];
    return s;
}

// A frame read back and written again is the same frame, byte for byte, and
// each value is within a step of the field's resolution of what was asked.
TEST(ReadControl, EveryKindReadsBackAsTheFrameItCameFrom) {
    const damiao::mit::MitLimits limits = damiao::mit::kPresets[damiao::mit::kPreset_dm4310].limits;
    const struct {
        Setpoint s;
        std::vector<float> step;  // the largest difference from the value asked
    } cases[] = {
        {setpoint(0, {1.25f, -3.0f, 50.0f, 1.5f, 2.0f}), {12.5f * 2 / 65535, 30.0f * 2 / 4095, 500.0f / 4095, 5.0f / 4095, 20.0f / 4095}},
        {setpoint(0, {-12.5f, 30.0f, 0.0f, 5.0f, -10.0f}), {0, 30.0f * 2 / 4095, 0, 0, 0}},
        {setpoint(1, {-2.5f, 4.0f}), {0, 0}},
        {setpoint(2, {-7.25f}), {0}},
        {setpoint(3, {0.75f, 12.34f, 0.4321f}), {0, 0.01f, 0.0001f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(damiao::repr(c.s));
        const auto frame = damiao::make_control(0x05, limits, c.s);
        ASSERT_TRUE(frame.ok());
        const std::optional<Setpoint> back = damiao::read_control(frame.value(), 0x05, limits);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->kind, c.s.kind);
        for (std::size_t f = 0; f < damiao::kCommandKinds[c.s.kind].field_count; ++f) {
            EXPECT_LE(std::fabs(back->values[f] - c.s.values[f]), c.step[f] * 1.0001f) << "field " << f;
        }
        const auto again = damiao::make_control(0x05, limits, *back);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(show(again.value()), show(frame.value()));
    }
    // No command: a refresh, a special command, another motor's, a short one.
    CanFrame special = damiao::make_special(0x05, damiao::kEnable);
    CanFrame other = damiao::make_control(0x06, limits, cases[2].s).value();
    CanFrame short_one = damiao::make_control(0x05, limits, cases[2].s).value();
    short_one.data.resize(4);
    for (const CanFrame& f : {damiao::make_refresh(0x05), special, other, short_one}) {
        EXPECT_FALSE(damiao::read_control(f, 0x05, limits).has_value()) << show(f);
    }
}

// Records taken as the loop ran: one per cycle with the frames sent and the
// replies, then, with nobody taking, the ring fills and later cycles are
// counted as dropped while the loop goes on.
TEST(LoopRecord, EachCycleIsRecordedUntilTheRingIsFullThenCounted) {
    LoopRig rig;
    rig.silent.insert(2);
    std::unique_ptr<ControlLoop> loop = rig.loop(5000, true, 0, 4);
    rig.start(*loop);  // cycle 1: refreshes
    const Setpoint s = damiao::from_mit({0.5f, 0.0f, 10.0f, 1.0f, 0.0f});
    auto frames = rig.group.control({s, s});
    ASSERT_TRUE(frames.ok());
    loop->set(frames.value(), {s, s});
    rig.cycles(*loop, 2);  // cycles 2 and 3: the setpoints

    std::vector<CycleRecord> cycles;
    std::vector<MemberRecord> members;
    const auto soon = [] { return transport::Instant::now().saturating_add(transport::Duration::from_millis(5000)); };
    ASSERT_EQ(loop->take_records(cycles, members, 100, soon()), std::optional<std::size_t>(3));
    ASSERT_EQ(members.size(), 6u);
    const std::vector<CanFrame> sent = rig.sent_frames();
    ASSERT_EQ(sent.size(), 6u);
    for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE("cycle " + std::to_string(k + 1));
        EXPECT_EQ(cycles[k].cycle, k + 1);
        EXPECT_EQ(cycles[k].period_ns, k == 0 ? 0u : 1000000u);
        EXPECT_LE(cycles[k].planned_ns, cycles[k].start_ns);
        EXPECT_LE(cycles[k].start_ns, cycles[k].done_ns);
        EXPECT_EQ(cycles[k].dropped, 0u);
        for (std::size_t i = 0; i < 2; ++i) {
            const MemberRecord& m = members[k * 2 + i];
            CanFrame f;
            f.id = CanId::standard(m.id);
            f.data.assign(m.data.begin(), m.data.begin() + m.length);
            EXPECT_EQ(show(f), show(sent[k * 2 + i]));
            EXPECT_EQ(m.answered, i == 0);
        }
        EXPECT_EQ(members[k * 2].state.motor_id, 1u);
    }
    EXPECT_EQ(loop->take_records(cycles, members, 100, transport::Instant::now()), std::optional<std::size_t>(0));

    rig.cycles(*loop, 7);  // four fill the ring, three are dropped
    EXPECT_EQ(loop->cycles(), 10u);
    EXPECT_EQ(loop->stats().record_dropped, 3u);
    loop->record_written(3);
    EXPECT_EQ(loop->stop(), "");
    cycles.clear();
    members.clear();
    ASSERT_EQ(loop->take_records(cycles, members, 100, soon()), std::optional<std::size_t>(4));
    EXPECT_EQ(cycles.front().cycle, 4u);
    EXPECT_EQ(cycles.back().cycle, 7u);
    // The loop has ended and everything recorded was taken.
    EXPECT_EQ(loop->take_records(cycles, members, 100, soon()), std::nullopt);
    EXPECT_EQ(loop->stats().recorded, 3u);

    // A consumer that gave up: nothing more is recorded, nor counted.
    std::unique_ptr<ControlLoop> quiet = rig.loop(5000, true, 0, 2);
    rig.start(*quiet);
    quiet->stop_recording("OSError: [Errno 28] No space left on device");
    rig.cycles(*quiet, 4);
    EXPECT_EQ(quiet->stop(), "");
    EXPECT_EQ(quiet->stats().record_error, "OSError: [Errno 28] No space left on device");
    EXPECT_EQ(quiet->stats().record_dropped, 0u);
    cycles.clear();
    members.clear();
    ASSERT_EQ(quiet->take_records(cycles, members, 100, soon()), std::optional<std::size_t>(1));
}

}  // namespace
}  // namespace rotalink::test
