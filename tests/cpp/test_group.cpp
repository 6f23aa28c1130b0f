// The group cycle on in-memory buses: what goes out, which reply each member
// takes, and how failures on one bus stay on that bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "damiao/group.hpp"
#include "group_cycle.hpp"
#include "memory_transport.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::test {
namespace {

using damiao::Damiao;
using damiao::GroupMember;
using damiao::MemberResult;
using damiao::MotorGroup;
using transport::BusWaiter;
using transport::CanTransport;
using transport::Instant;
using transport::IoError;

// Feedback from motor `motor` (its id nibble) with `tag` in its status
// nibble, so that a test sees whose reply a member took ("ok A<tag>").
std::vector<std::uint8_t> tagged(std::size_t tag, std::uint16_t motor) {
    return {static_cast<std::uint8_t>((tag << 4) | (motor & 0xFu)), 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
}
// The reply of member k of the rig below as first built (0xA0 + k); a tag
// of no member comes from motor 0xF.
std::vector<std::uint8_t> feedback(std::uint8_t tag) {
    const std::uint16_t motors[4] = {1, 2, 1, 3};
    const std::size_t k = tag & 0x0Fu;
    return tagged(k, k < 4 ? motors[k] : 0xF);
}

Damiao motor(std::uint16_t id, std::uint16_t master) {
    Damiao d;
    d.motor_id = id;
    d.master_id = master;
    return d;
}

// Runs the steps given, one per wait; with none left, waits out the deadline.
class ScriptWaiter final : public BusWaiter {
public:
    std::vector<std::function<rotalink::Result<rotalink::Unit, TransportError>()>> steps;
    std::size_t calls = 0;

    rotalink::Result<rotalink::Unit, TransportError> wait(CanTransport* const*, std::size_t, Instant deadline) override {
        if (calls < steps.size()) return steps[calls++]();
        ++calls;
        while (Instant::now() < deadline) {
        }
        return rotalink::Unit{};
    }
};

// Two buses; bus 0 holds motors 1 and 2, bus 1 motors 1 (the same
// identifiers on another bus) and 3. Each answers every frame to its command
// identifier with feedback tagged by its member index, unless told otherwise.
struct Rig {
    MemoryTransport bus[2];
    CanTransport* buses[2] = {&bus[0], &bus[1]};
    std::vector<GroupMember> members = {{0, motor(1, 0x11)}, {0, motor(2, 0x12)}, {1, motor(1, 0x11)},
                                        {1, motor(3, 0x13)}};
    // Member index -> the frames it answers with (default: one feedback).
    std::map<std::size_t, std::vector<CanFrame>> replies;
    ScriptWaiter waiter;

    explicit Rig(std::map<std::size_t, std::vector<CanFrame>> r = {}) : replies(std::move(r)) {
        for (std::size_t b = 0; b < 2; ++b) {
            bus[b].respond([this, b](const CanFrame& f, MemoryTransport& t) {
                for (std::size_t i = 0; i < members.size(); ++i) {
                    if (members[i].bus != b || f.id.value != members[i].motor.motor_id) continue;
                    auto it = replies.find(i);
                    if (it == replies.end()) {
                        t.queue(make_frame(CanId::standard(members[i].motor.master_id),
                                           tagged(i, members[i].motor.motor_id)));
                    } else {
                        for (const CanFrame& reply : it->second) t.queue(reply);
                    }
                }
            });
        }
    }
    MotorGroup group(bool fd = false, std::uint64_t timeout_ms = 5) const {
        return MotorGroup(members, 2, Duration::from_millis(timeout_ms), fd);
    }
    std::vector<MemberResult> enable(const MotorGroup& g) {
        return run_cycle(g, buses, g.special(damiao::kEnable), waiter);
    }
};

// "ok A1" for a state whose status nibble is 1, else the message.
std::vector<std::string> outcomes(const std::vector<MemberResult>& results) {
    std::vector<std::string> out;
    for (const MemberResult& r : results) {
        if (!r.ok()) {
            out.push_back(r.error().message());
            continue;
        }
        char buf[16];
        std::snprintf(buf, sizeof buf, "ok %X", static_cast<unsigned>(0xA0 + r.value().error));
        out.push_back(buf);
    }
    return out;
}

const std::string kTimeout = "transport error: timeout waiting for frame";

struct ReplyCase {
    const char* name;
    std::map<std::size_t, std::vector<CanFrame>> replies;
    std::vector<std::string> want;
};

class Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Replies, EachMemberTakesTheFirstFrameFromItsReplyIdentifier) {
    Rig rig(GetParam().replies);
    EXPECT_EQ(outcomes(rig.enable(rig.group())), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Group, Replies,
    ::testing::Values(
        ReplyCase{"AllAnswer", {}, {"ok A0", "ok A1", "ok A2", "ok A3"}},
        ReplyCase{"MissingReplyTimesOutAlone", {{1, {}}}, {"ok A0", kTimeout, "ok A2", "ok A3"}},
        ReplyCase{"ShortReplyIsThatMembersError",
                  {{2, {make_frame(CanId::standard(0x11), {1, 2, 3})}}},
                  {"ok A0", "ok A1", "feedback reply too short: 3 data bytes, expected 8", "ok A3"}},
        ReplyCase{"FdReplyDecodesItsFirstEightBytes",
                  {{3, {make_frame(CanId::standard(0x13), {0x33, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20, 9, 9, 9, 9}, true, true)}}},
                  {"ok A0", "ok A1", "ok A2", "ok A3"}},
        ReplyCase{"DuplicateReplyKeepsTheFirst",
                  {{0, {make_frame(CanId::standard(0x11), feedback(0xA0)), make_frame(CanId::standard(0x11), feedback(0xA5))}}},
                  {"ok A0", "ok A1", "ok A2", "ok A3"}},
        ReplyCase{"ForeignAndExtendedFramesAreDropped",
                  {{1, {make_frame(CanId::standard(0x55), feedback(0xA7)), make_frame(CanId::extended(0x12), feedback(0xA7)),
                        make_frame(CanId::standard(0x12), feedback(0xA1))}}},
                  {"ok A0", "ok A1", "ok A2", "ok A3"}},
        // A remote request or an error frame from the reply identifier
        // carries no feedback: the data frame behind it is the reply.
        ReplyCase{"RemoteAndErrorFramesAreNotReplies",
                  {{0, {remote_frame(CanId::standard(0x11), feedback(0xA6)),
                        error_frame(CanId::standard(0x11), feedback(0xA7)), make_frame(CanId::standard(0x11), feedback(0xA0))}},
                   {1, {remote_frame(CanId::standard(0x12), feedback(0xA7))}}},
                  {"ok A0", kTimeout, "ok A2", "ok A3"}},
        // Register replies and write echoes come from the reply identifier
        // too: the member's own (bytes 0-1 its command id, then 0x33 or
        // 0x55) are skipped, another motor's register frame is not.
        ReplyCase{"OwnRegisterFramesAreNotReplies",
                  {{0, {make_frame(CanId::standard(0x11), {0x01, 0x00, 0x33, 0x0A, 1, 0, 0, 0}),
                        make_frame(CanId::standard(0x11), {0x01, 0x00, 0x55, 0x0A, 1, 0, 0, 0}),
                        make_frame(CanId::standard(0x11), feedback(0xA0))}},
                   {1, {make_frame(CanId::standard(0x12), {0x02, 0x00, 0x33, 0x0A, 1, 0, 0, 0})}},
                   {3, {make_frame(CanId::standard(0x13), {0x33, 0x00, 0x33, 0x0A, 1, 0, 0, 0})}}},
                  {"ok A0", kTimeout, "ok A2", "ok A3"}},
        // Feedback from the member's reply identifier that names another
        // motor (master identifiers swapped) is not the member's state.
        ReplyCase{"AnotherMotorsFeedbackFailsTheMember", {{1, {make_frame(CanId::standard(0x12), tagged(1, 3))}}},
                  {"ok A0",
                   "the feedback from reply identifier 0x012 carries motor id 0x3, not this member's 0x2 "
                   "(motor_id 0x2 & 0xf): another motor answers from this master identifier",
                   "ok A2", "ok A3"}},
        // A member's reply on the other bus is not its reply.
        ReplyCase{"ReplyOnTheWrongBusIsNotTaken", {{3, {make_frame(CanId::standard(0x12), feedback(0xA3))}}},
                  {"ok A0", "ok A1", "ok A2", kTimeout}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Group, FramesGoOutInOneBatchPerBusInMemberOrder) {
    for (bool fd : {false, true}) {
        Rig rig;
        rig.members = {{1, motor(3, 0x13)}, {0, motor(2, 0x12)}, {1, motor(1, 0x11)}, {0, motor(1, 0x11)}};
        ASSERT_EQ(outcomes(rig.enable(rig.group(fd))), (std::vector<std::string>{"ok A0", "ok A1", "ok A2", "ok A3"}));
        for (std::size_t b = 0; b < 2; ++b) {
            EXPECT_EQ(rig.bus[b].batch_calls(), 1u);
            ASSERT_EQ(rig.bus[b].sent().size(), 2u);
        }
        CanFrame want = damiao::make_special(2, damiao::kEnable);
        want.fd = want.brs = fd;
        EXPECT_TRUE(same_frame(rig.bus[0].sent()[0], want));
        EXPECT_EQ(rig.bus[0].sent()[1].id, CanId::standard(1));
        EXPECT_EQ(rig.bus[1].sent()[0].id, CanId::standard(3));
        EXPECT_EQ(rig.bus[1].sent()[1].id, CanId::standard(1));
    }
}

TEST(Group, FramesQueuedBeforeTheCycleAreDiscarded) {
    Rig rig;
    // Late replies to earlier commands, from member 0's reply identifier,
    // more than one read takes.
    for (int i = 0; i < 40; ++i) rig.bus[0].queue(make_frame(CanId::standard(0x11), feedback(0xAF)));
    EXPECT_EQ(outcomes(rig.enable(rig.group())), (std::vector<std::string>{"ok A0", "ok A1", "ok A2", "ok A3"}));
    EXPECT_EQ(rig.bus[0].pending(), 0u);
}

TEST(Group, MitEncodesEverySetpointBeforeSendingAny) {
    Rig rig;
    rig.members[2].motor.limits.p_max = std::nanf("");  // the encoder cannot use it
    const MotorGroup g = rig.group();
    auto frames = g.control(std::vector<damiao::Setpoint>(4));
    ASSERT_FALSE(frames.ok());
    EXPECT_EQ(rig.bus[0].send_calls() + rig.bus[1].send_calls(), 0u);
    rig.members[2].motor.limits.p_max = 12.5f;
    auto ok = rig.group().control(std::vector<damiao::Setpoint>(4));
    ASSERT_TRUE(ok.ok());
    auto single = make_mit(3, rig.members[3].motor.limits, {});
    EXPECT_TRUE(same_frame(ok.value()[3], single.value()));  // bus 1's second member
}

TEST(Group, MembersLeftOutAreNeitherSentToNorAwaited) {
    Rig rig;
    const MotorGroup g = rig.group();
    const char skip[4] = {0, 1, 1, 1};  // bus 1 is not touched at all
    MotorGroup::Cycle c;
    CanTransport* buses[2] = {&rig.bus[0], nullptr};
    g.start(c, buses, g.special(damiao::kDisable), skip);
    EXPECT_EQ(g.collect(c, buses, rig.waiter), MotorGroup::Progress::Done);
    EXPECT_EQ(outcomes(c.results())[0], "ok A0");
    ASSERT_EQ(rig.bus[0].sent().size(), 1u);
    EXPECT_EQ(rig.bus[0].sent()[0].id, CanId::standard(1));
    EXPECT_EQ(rig.bus[1].sent().size(), 0u);
    // Left out in the middle of a bus: the members around it still go out.
    Rig three;
    three.members.insert(three.members.begin() + 1, {0, motor(4, 0x14)});
    const MotorGroup g3 = three.group();
    const char skip3[5] = {0, 1, 0, 0, 0};
    g3.start(c, three.buses, g3.special(damiao::kDisable), skip3);
    g3.collect(c, three.buses, three.waiter);
    EXPECT_EQ(three.bus[0].sent().size(), 2u);
    EXPECT_EQ(outcomes(c.results()), (std::vector<std::string>{"ok A0", kTimeout, "ok A2", "ok A3", "ok A4"}));
}

TEST(Group, HoldCommandsTheLastPositionsClampedAndCounted) {
    Rig rig;
    damiao::JointLimits joint;
    joint.q_max = -1.0f;  // below every position the motors report
    rig.members[2].joint = joint;
    const MotorGroup g = rig.group();
    g.remember(rig.enable(g));
    ASSERT_TRUE(g.last()[3].has_value());
    auto frames = g.hold(20.0f, 0.5f);
    ASSERT_TRUE(frames.ok());
    const damiao::mit::MitLimits limits;
    for (std::size_t i = 0; i < 4; ++i) {
        const float q = i == 2 ? -1.0f : g.last()[i]->position;
        auto want = damiao::make_control(rig.members[i].motor.motor_id, limits,
                                         damiao::from_mit({q, 0.0f, 20.0f, 0.5f, 0.0f}));
        // Frames come by bus: members 0, 1 on bus 0, then 2, 3.
        EXPECT_TRUE(same_frame(frames.value()[i], want.value())) << i;
    }
    EXPECT_EQ(g.clamped(), (std::vector<std::uint64_t>{0, 0, 1, 0}));
    // A refused command counts nothing.
    EXPECT_FALSE(g.hold(std::nanf(""), 0.5f).ok());
    EXPECT_EQ(g.clamped(), (std::vector<std::uint64_t>{0, 0, 1, 0}));
}

struct FailureCase {
    const char* name;
    std::function<void(Rig&)> arrange;
    std::vector<std::string> want;
};

class Failures : public ::testing::TestWithParam<FailureCase> {};

const std::string kDown = "transport error: backend error: " + IoError::from_errno(ENETDOWN).text();
const std::string kNoBufs = "transport error: backend error: " + IoError::from_errno(ENOBUFS).text();
const std::string kIntr = "transport error: backend error: " + IoError::from_errno(EINTR).text();

TEST_P(Failures, StayOnTheirBus) {
    Rig rig;
    GetParam().arrange(rig);
    EXPECT_EQ(outcomes(rig.enable(rig.group())), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Group, Failures,
    ::testing::Values(
        FailureCase{"SendFailureFailsTheUnsentOfThatBus",
                    [](Rig& r) { r.bus[0].fail_nth_send(2, TransportError::backend(IoError::from_errno(ENETDOWN))); },
                    {"ok A0", kDown, "ok A2", "ok A3"}},
        FailureCase{"FullQueueIsRetriedAsItDrains",
                    [](Rig& r) { r.bus[1].fail_nth_send(1, TransportError::backend(IoError::from_errno(ENOBUFS))); },
                    {"ok A0", "ok A1", "ok A2", "ok A3"}},
        FailureCase{"QueueThatStaysFullFailsWithItsError",
                    [](Rig& r) { r.bus[1].fail_send(TransportError::backend(IoError::from_errno(ENOBUFS))); },
                    {"ok A0", "ok A1", kNoBufs, kNoBufs}},
        FailureCase{"ReadErrorBeforeSendingSendsNothingOnThatBus",
                    [](Rig& r) { r.bus[0].queue_error(TransportError::backend(IoError::from_errno(ENETDOWN))); },
                    {kDown, kDown, "ok A2", "ok A3"}},
        FailureCase{"ReadErrorWhileWaitingFailsThatBussAwaitedMembers",
                    [](Rig& r) {
                        r.replies[1] = {};
                        r.replies[3] = {};
                        r.waiter.steps.push_back([&r] {
                            r.bus[0].queue_error(TransportError::backend(IoError::from_errno(ENETDOWN)));
                            r.bus[1].queue(make_frame(CanId::standard(0x13), feedback(0xA3)));
                            return rotalink::Result<rotalink::Unit, TransportError>(rotalink::Unit{});
                        });
                    },
                    {"ok A0", kDown, "ok A2", "ok A3"}},
        FailureCase{"SignalDuringTheWaitFailsEveryAwaitedMember",
                    [](Rig& r) {
                        r.replies[1] = {};
                        r.replies[2] = {};
                        r.waiter.steps.push_back([] {
                            return rotalink::Result<rotalink::Unit, TransportError>(
                                rotalink::err(TransportError::backend(IoError::from_errno(EINTR))));
                        });
                    },
                    {"ok A0", kIntr, kIntr, "ok A3"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Waits out the deadline after queueing frames on a bus: what arrives during
// the last wait is still read, past a flood of more than one read's worth.
TEST(Group, ReplyBehindAFloodInTheLastWaitCounts) {
    Rig rig;
    rig.replies[1] = {};
    rig.waiter.steps.push_back([&rig] {
        for (int i = 0; i < 40; ++i) rig.bus[0].queue(make_frame(CanId::standard(0x55), feedback(0xA7)));
        rig.bus[0].queue(make_frame(CanId::standard(0x12), feedback(0xA1)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the deadline
        return rotalink::Result<rotalink::Unit, TransportError>(rotalink::Unit{});
    });
    // A deadline long enough that the cycle waits once however slow the
    // machine (an emulated one under load took more than 5 ms to get there).
    EXPECT_EQ(outcomes(rig.enable(rig.group(false, 1000))),
              (std::vector<std::string>{"ok A0", "ok A1", "ok A2", "ok A3"}));
}

// A signal during the wait leaves the cycle as it was; collecting again
// takes the replies that arrive later, until the same deadline.
TEST(Group, InterruptedCollectGoesOnWhereItStopped) {
    Rig rig;
    rig.replies[1] = {};
    rig.replies[3] = {};
    const MotorGroup g = rig.group(false, 1000);
    rig.waiter.steps = {
        [] { return rotalink::Result<rotalink::Unit, TransportError>(rotalink::err(TransportError::backend(IoError::from_errno(EINTR)))); },
        [&rig] {
            rig.bus[0].queue(make_frame(CanId::standard(0x12), feedback(0xA1)));
            rig.bus[1].queue(make_frame(CanId::standard(0x13), feedback(0xA3)));
            return rotalink::Result<rotalink::Unit, TransportError>(rotalink::Unit{});
        }};
    MotorGroup::Cycle c;
    g.start(c, rig.buses, g.special(damiao::kEnable));
    EXPECT_EQ(g.collect(c, rig.buses, rig.waiter), MotorGroup::Progress::Interrupted);
    EXPECT_EQ(outcomes(c.results()), (std::vector<std::string>{"ok A0", kTimeout, "ok A2", kTimeout}));
    const Instant before = Instant::now();
    EXPECT_EQ(g.collect(c, rig.buses, rig.waiter), MotorGroup::Progress::Done);
    EXPECT_EQ(outcomes(c.results()), (std::vector<std::string>{"ok A0", "ok A1", "ok A2", "ok A3"}));
    EXPECT_TRUE(Instant::now() < before.saturating_add(Duration::from_millis(900)));  // no new time-out
    EXPECT_EQ(rig.bus[0].send_calls() + rig.bus[1].send_calls(), 4u);                // nothing sent again
}

// A socket whose peer never reads: once its send buffer is full, the batch
// send does not wait for room. The members that could not be sent fail with
// it at the send deadline; the other bus is served as usual.
TEST(Group, FullSendBufferFailsTheUnsentByTheDeadlineInsteadOfBlocking) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    auto full = std::make_unique<transport::SocketCanTransport>(sv[0]);
    const int peer = sv[1];
    const std::uint8_t filler[16] = {0x7F, 0x07};
    int queued = 0;
    while (::send(full->fd(), filler, sizeof filler, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof filler)) {
        ASSERT_LT(++queued, 1000000);
    }
    ASSERT_EQ(errno, EAGAIN);

    Rig rig;
    rig.buses[0] = full.get();
    const MotorGroup g = rig.group(false, 50);
    auto task = std::make_shared<std::packaged_task<std::vector<MemberResult>()>>([&] { return rig.enable(g); });
    std::future<std::vector<MemberResult>> done = task->get_future();
    std::thread cycle([task] { (*task)(); });
    const bool in_time = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    ::close(peer);  // a send still blocked fails now, so the thread ends either way
    cycle.join();
    ASSERT_TRUE(in_time) << "the cycle blocked on the full send buffer";
    const std::string again = "transport error: backend error: " + IoError::from_errno(EAGAIN).text();
    EXPECT_EQ(outcomes(done.get()), (std::vector<std::string>{again, again, "ok A2", "ok A3"}));
}

TEST(Group, StaleReplyOfATimedOutCycleIsNotTheNextCyclesFeedback) {
    Rig rig;
    rig.replies[1] = {};
    const MotorGroup g = rig.group();
    EXPECT_EQ(outcomes(rig.enable(g))[1], kTimeout);
    rig.bus[0].queue(make_frame(CanId::standard(0x12), feedback(0xAF)));  // arrives after the deadline
    rig.replies.erase(1);
    EXPECT_EQ(outcomes(rig.enable(g))[1], "ok A1");
}

TEST(Group, IdentifierClashes) {
    struct Case {
        std::vector<GroupMember> members;
        std::string want;
    };
    const std::vector<Case> cases = {
        {{{0, motor(1, 0x11)}, {0, motor(2, 0x12)}, {1, motor(1, 0x11)}}, ""},
        {{{0, motor(1, 0x11)}, {0, motor(0x801, 0x12)}}, "members 0 and 1 share command identifier 0x001 on one bus"},
        {{{0, motor(1, 0x11)}, {0, motor(2, 0x811)}}, "members 0 and 1 share reply identifier 0x011 on one bus"},
        {{{0, motor(1, 0x11)}, {0, motor(2, 0x01)}},
         "the reply identifier 0x001 of member 1 is the command identifier of member 0 on the same bus"},
        {{{0, motor(1, 0x02)}, {0, motor(2, 0x12)}},
         "the reply identifier 0x002 of member 0 is the command identifier of member 1 on the same bus"},
        {{{0, motor(5, 0x805)}}, "the reply identifier 0x005 of member 0 is its own command identifier"},
        {{{0, motor(1, 0x11)}, {1, motor(2, 0xFFFF)}}, "the reply identifier 0x7ff of member 1 is the register identifier"},
    };
    for (const Case& c : cases) EXPECT_EQ(damiao::identifier_clash(c.members), c.want);
}

// The identifiers a command kind may not use on a bus: a member's reply
// identifier, another member's identifier of any kind. Worked out per
// member and kind; the first refused member stops the whole cycle.
TEST(Group, ControlRefusesFramesOtherMembersWouldTake) {
    struct Case {
        std::vector<GroupMember> members;
        std::vector<std::size_t> kinds;
        std::string want;  // "" when every frame is made
    };
    const std::size_t kPosVel = 1, kVel = 2;
    const std::vector<Case> cases = {
        {{{0, motor(1, 0x11)}, {0, motor(2, 0x101)}}, {kPosVel, damiao::kMitKind},
         "the POS_VEL command identifier 0x101 of member 0 is the reply identifier of member 1 on the same bus"},
        {{{0, motor(1, 0x201)}}, {kVel}, "the VEL command identifier 0x201 of member 0 is the reply identifier of member 0 on the same bus"},
        {{{0, motor(1, 0x11)}, {0, motor(0x101, 0x12)}}, {damiao::kMitKind, damiao::kMitKind},
         "the MIT command identifier 0x101 of member 1 is the POS_VEL command identifier of member 0 on the same bus"},
        {{{0, motor(1, 0x11)}, {1, motor(0x101, 0x12)}, {1, motor(2, 0x102)}}, {kPosVel, damiao::kMitKind, damiao::kMitKind}, ""},
        {{{0, motor(1, 0x11)}, {0, motor(0x7FE, 0x12)}}, {damiao::kMitKind, kVel},
         "the VEL command identifier 0x9fe (0x200 + motor_id 0x7fe) is past the standard range 0x7ff"},
    };
    for (const Case& c : cases) {
        const MotorGroup g(c.members, 2, transport::Duration::from_millis(20), false);
        std::vector<damiao::Setpoint> setpoints;
        for (std::size_t k : c.kinds) setpoints.push_back(damiao::Setpoint{k, {}});
        auto frames = g.control(setpoints.data());
        EXPECT_EQ(frames.ok() ? std::string() : frames.error().error.message(), c.want);
    }
}

TEST(Group, ControlMakesEachMembersKindInSendingOrder) {
    const MotorGroup g({{1, motor(3, 0x13)}, {0, motor(2, 0x12)}, {0, motor(1, 0x11)}}, 2,
                       transport::Duration::from_millis(20), true);
    const std::vector<damiao::Setpoint> setpoints = {{3, {1.0f, 2.0f, 0.5f}}, {2, {-1.0f}}, {0, {}}};
    auto frames = g.control(setpoints.data());
    ASSERT_TRUE(frames.ok());
    const std::uint32_t want[] = {0x202, 0x001, 0x303};  // bus 0 in member order, then bus 1
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(frames.value()[k].id, CanId::standard(want[k]));
        EXPECT_TRUE(frames.value()[k].fd && frames.value()[k].brs);
    }
    EXPECT_EQ(frames.value()[0].data.size(), 4u);
    const auto refresh = g.refresh();
    EXPECT_EQ(refresh[2].data, (std::vector<std::uint8_t>{3, 0, 0xCC, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace rotalink::test

namespace rotalink::test {
namespace {

// A confirmed stop against members that answer each disable as scripted: a
// status, or nothing (-1); past its script a member repeats the last entry.
TEST(Group, DisableConfirmedTrustsOnlyAStatusOtherThanEnabled) {
    const struct {
        const char* name;
        std::vector<int> answers;
        std::uint32_t sent;
        std::string failure;  // "" for stopped
    } members[] = {
        {"DISABLED", {0}, 1, ""},
        {"a fault", {14}, 1, ""},
        {"ENABLED twice, then DISABLED", {1, 1, 0}, 3, ""},
        {"ENABLED always", {1}, 3, "member 3 (motor_id=0x4) still reports ENABLED after 3 disables"},
        {"nothing", {-1}, 3, "member 4 (motor_id=0x5): " + kTimeout},
        {"nothing four times, then DISABLED (patient)", {-1, -1, -1, -1, 0}, 5, ""},
    };
    const std::size_t n = sizeof members / sizeof members[0];
    auto* memory = new MemoryTransport();
    auto* poisoned_memory = new MemoryTransport();
    transport::SharedBus bus{std::unique_ptr<CanTransport>(memory)};
    transport::SharedBus poisoned{std::unique_ptr<CanTransport>(poisoned_memory)};
    try {
        poisoned.locked([](CanTransport&) -> int { ROTALINK_PANIC("broken"); });
    } catch (const Panic&) {
    }
    std::vector<GroupMember> group_members;
    for (std::size_t i = 0; i < n; ++i) {
        group_members.push_back({0, motor(static_cast<std::uint16_t>(i + 1), static_cast<std::uint16_t>(0x11 + i))});
    }
    group_members.push_back({1, motor(1, 0x11)});  // on the poisoned bus
    std::vector<std::size_t> heard(n, 0);
    memory->respond([&](const CanFrame& f, MemoryTransport& t) {
        const std::size_t i = f.id.value - 1;
        if (i >= n) return;
        const std::vector<int>& script = members[i].answers;
        const int status = script[std::min(heard[i]++, script.size() - 1)];
        if (status >= 0) t.queue(make_frame(CanId::standard(0x11 + i), tagged(static_cast<std::size_t>(status), i + 1)));
    });
    const MotorGroup g(group_members, 2, Duration::from_millis(2), false);
    transport::SharedBus* buses[] = {&bus, &poisoned};
    ScriptWaiter waiter;
    MotorGroup::Cycle c;
    const auto stop = [&](const MotorGroup& group, transport::SharedBus* const* on, std::uint64_t patience_ms) {
        damiao::StopPolicy policy;
        policy.patience = Duration::from_millis(patience_ms);
        return group.disable_confirmed(
            on, policy,
            [&](const std::vector<CanFrame>& disables, const char* skip) -> const std::vector<MemberResult>& {
                group.locked_step(on, c, disables, skip, true, waiter);
                return c.results();
            },
            [](Duration) {});
    };
    // Without patience, then the member that recovers alone, with all the
    // patience it needs.
    damiao::StopReport report = stop(g, buses, 0);
    const MotorGroup recovers({group_members[5]}, 1, Duration::from_millis(2), false);
    heard[5] = 0;
    const damiao::StopReport patient = stop(recovers, buses, 60000);
    report.sent[5] = patient.sent[0];
    report.stopped[5] = patient.stopped[0];
    report.results[5] = patient.results[0];
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(members[i].name);
        EXPECT_EQ(report.sent[i], members[i].sent);
        EXPECT_EQ(report.stopped[i] != 0, members[i].failure.empty());
        EXPECT_EQ(report.member_failure(g.members(), i), members[i].failure);
    }
    EXPECT_EQ(report.sent[n], 0u);  // the poisoned bus is not sent to
    EXPECT_NE(report.member_failure(g.members(), n).find("poisoned"), std::string::npos);
    EXPECT_EQ(report.failed(), 3u);
}

// Older firmware in a mode other than MIT takes the disable only on its
// mode's identifier and answers it on its command identifier with its status
// as it is. A member known in such a mode that does not confirm is sent the
// disable there too, from the second round on, first; never a member that
// confirmed, one known in MIT, or one whose mode identifier another member
// on its bus uses.
TEST(Group, DisableFallsBackToTheModeIdentifierOfMembersInAnotherMode) {
    constexpr std::size_t kPosVel = 1, kVel = 2, kForcePos = 3, kMit = damiao::kMitKind;
    const struct {
        const char* name;
        std::uint16_t motor_id, master_id;
        std::size_t known;      // the kind the group knows it in
        bool legacy;            // takes the disable only on its mode's identifier (that of `known`)
        std::vector<std::uint32_t> sent;  // the identifiers it is sent, in order
        std::string failure;
    } members[] = {
        {"POS_VEL, legacy", 0x01, 0x11, kPosVel, true, {0x001, 0x101}, ""},
        {"VEL, legacy", 0x02, 0x12, kVel, true, {0x002, 0x202}, ""},
        {"FORCE_POS, legacy", 0x03, 0x13, kForcePos, true, {0x003, 0x303}, ""},
        {"VEL, takes it on its command identifier", 0x04, 0x14, kVel, false, {0x004}, ""},
        {"known in MIT, legacy in VEL", 0x05, 0x15, kMit, true, {0x005, 0x005, 0x005},
         "member 4 (motor_id=0x5) still reports ENABLED after 3 disables"},
        {"VEL identifier 0x206 is member 6's reply identifier", 0x06, 0x16, kVel, true, {0x006, 0x006, 0x006},
         "member 5 (motor_id=0x6) still reports ENABLED after 3 disables"},
        {"answers from 0x206", 0x07, 0x206, kMit, false, {0x007}, ""},
        {"VEL, stays enabled", 0x08, 0x18, kVel, false, {0x008, 0x208, 0x008},
         "member 7 (motor_id=0x8) still reports ENABLED after 3 disables"},
    };
    const std::size_t n = sizeof members / sizeof members[0];
    auto* memory = new MemoryTransport();
    transport::SharedBus bus{std::unique_ptr<CanTransport>(memory)};
    std::vector<std::vector<std::uint32_t>> heard(n);
    memory->respond([&](const CanFrame& f, MemoryTransport& t) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t mit_id = members[i].motor_id;
            const std::uint32_t mode_id = damiao::control_id(members[i].motor_id, members[i].known);
            if (f.id.value != mit_id && f.id.value != mode_id) continue;
            heard[i].push_back(f.id.value);
            // The last byte 0xFD: every frame here is a disable.
            EXPECT_TRUE(same_frame(f, make_frame(CanId::standard(f.id.value), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD})));
            const bool takes = members[i].failure.empty() && (members[i].legacy ? f.id.value == mode_id && mode_id != mit_id
                                                                                 : f.id.value == mit_id);
            t.queue(make_frame(CanId::standard(members[i].master_id), tagged(takes ? 0 : 1, members[i].motor_id)));
        }
    });
    std::vector<GroupMember> group_members;
    for (const auto& m : members) group_members.push_back({0, motor(m.motor_id, m.master_id)});
    const MotorGroup g(group_members, 1, Duration::from_millis(2), false);
    for (std::size_t i = 0; i < n; ++i) g.know_kind(i, members[i].known);
    transport::SharedBus* buses[] = {&bus};
    ScriptWaiter waiter;
    MotorGroup::Cycle c;
    std::vector<std::size_t> cycle_sizes;
    const damiao::StopReport report = g.disable_confirmed(
        buses, damiao::StopPolicy{},
        [&](const std::vector<CanFrame>& frames, const char* skip) -> const std::vector<MemberResult>& {
            std::size_t sent = 0;
            for (std::size_t i = 0; i < n; ++i) sent += skip[i] ? 0 : 1;
            cycle_sizes.push_back(sent);
            g.locked_step(buses, c, frames, skip, true, waiter);
            return c.results();
        },
        [](Duration) {});
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(members[i].name);
        EXPECT_EQ(heard[i], members[i].sent);
        EXPECT_EQ(report.sent[i], members[i].sent.size());
        EXPECT_EQ(report.member_failure(g.members(), i), members[i].failure);
    }
    // The MIT round, the fallback of members 0-2 and 7, the MIT round of
    // members 4, 5 and 7, then its last.
    EXPECT_EQ(cycle_sizes, (std::vector<std::size_t>{8, 4, 3, 2}));
    // `control` makes the kind of its commands known, and the frames on the
    // modes' identifiers follow it.
    ASSERT_TRUE(g.control(std::vector<damiao::Setpoint>(n, damiao::Setpoint{kForcePos, {}})).ok());
    std::vector<char> has;
    const std::vector<CanFrame> on_modes = g.special_on_modes(damiao::kEnable, has);
    EXPECT_EQ(has, (std::vector<char>{1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_TRUE(same_frame(on_modes[1], make_frame(CanId::standard(0x302), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC})));
}

TEST(Group, VelocityThatWouldMoveAJointFurtherPastItsLimitIsZero) {
    Rig rig;
    damiao::JointLimits joint;
    joint.q_max = -1.0f;  // every member reports itself past it
    rig.members[0].joint = joint;
    rig.members[1].joint = joint;
    const MotorGroup g = rig.group();
    const std::size_t vel = damiao::kind_of_mode(3);
    ASSERT_EQ(std::string(damiao::kCommandKinds[vel].mode_name), "VEL");
    damiao::Setpoint out{vel, {2.0f}};
    damiao::Setpoint in{vel, {-2.0f}};
    const std::vector<damiao::Setpoint> setpoints = {out, in, out, out};
    // Before any feedback nothing is known of the positions.
    ASSERT_TRUE(g.control(setpoints).ok());
    EXPECT_EQ(g.clamped(), (std::vector<std::uint64_t>{0, 0, 0, 0}));
    g.remember(rig.enable(g));
    auto frames = g.control(setpoints);
    ASSERT_TRUE(frames.ok());
    const damiao::mit::MitLimits limits;
    const float want[] = {0.0f, -2.0f, 2.0f, 2.0f};  // member 2 and 3 have no joint limits
    for (std::size_t i = 0; i < 4; ++i) {
        auto w = damiao::make_control(rig.members[i].motor.motor_id, limits, damiao::Setpoint{vel, {want[i]}});
        EXPECT_TRUE(same_frame(frames.value()[i], w.value())) << i;
    }
    EXPECT_EQ(g.clamped(), (std::vector<std::uint64_t>{1, 0, 0, 0}));
}

}  // namespace
}  // namespace rotalink::test
