// The motor driver against an in-memory transport: frames out, replies in,
// and the driver's error texts.
#include <gtest/gtest.h>

#include <cerrno>

#include "damiao/driver.hpp"
#include "memory_transport.hpp"

namespace {

using rotalink::damiao::Damiao;
using rotalink::damiao::Error;
using rotalink::damiao::RegisterKind;
using rotalink::damiao::mit::MitLimits;
using rotalink::damiao::mit::MitSetpoint;
using rotalink::test::make_frame;
using rotalink::test::MemoryTransport;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;
using rotalink::transport::Duration;
using rotalink::transport::IoError;
using rotalink::transport::TransportError;

const std::vector<std::uint8_t> kFeedback = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};

Damiao motor(std::uint16_t id, std::uint16_t master, std::uint64_t timeout_ms = 20) {
    Damiao d;
    d.motor_id = id;
    d.master_id = master;
    d.timeout = Duration::from_millis(timeout_ms);
    return d;
}

struct SpecialCase {
    const char* name;
    std::uint8_t last;
    rotalink::Result<rotalink::damiao::mit::MotorState, Error> (Damiao::*command)(
        rotalink::transport::CanTransport&) const;
};

class SpecialCommands : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialCommands, SendOneClassicFrameAndDecodeTheFirstReply) {
    MemoryTransport bus;
    bus.arrive_after_send(make_frame(CanId::standard(0x123), {1, 2, 3, 4, 5, 6, 7, 8}));
    bus.arrive_after_send(make_frame(CanId::extended(0x000), kFeedback));
    bus.arrive_after_send(make_frame(CanId::standard(0x000), kFeedback));
    bus.arrive_after_send(make_frame(CanId::standard(0x000), {0x02, 0, 0, 0, 0, 0, 0, 0}));
    const Damiao d = motor(0x801, 0x800);  // frames use the low 11 bits
    auto state = (d.*GetParam().command)(bus);
    ASSERT_TRUE(state.ok()) << state.error().message();
    ASSERT_EQ(bus.sent().size(), 1u);
    EXPECT_TRUE(rotalink::test::same_frame(
        bus.sent()[0], make_frame(CanId::standard(0x001), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                           GetParam().last})));
    EXPECT_EQ(state.value().motor_id, 1);
    EXPECT_EQ(state.value().error, 1);
    EXPECT_EQ(state.value().t_mos, 30);
    EXPECT_EQ(state.value().t_rotor, 32);
    EXPECT_EQ(bus.pending(), 1u);  // the later reply stays queued
}

INSTANTIATE_TEST_SUITE_P(All, SpecialCommands,
                         ::testing::Values(SpecialCase{"enable", 0xFC, &Damiao::enable},
                                           SpecialCase{"disable", 0xFD, &Damiao::disable},
                                           SpecialCase{"set_zero", 0xFE, &Damiao::set_zero},
                                           SpecialCase{"clear_error", 0xFB, &Damiao::clear_error}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MitControl, SendsTheEncodedSetpoint) {
    MemoryTransport bus;
    bus.arrive_after_send(make_frame(CanId::standard(0x11), kFeedback));
    auto state = motor(1, 0x11).mit_control(bus, MitSetpoint{1.0f, -2.0f, 50.0f, 1.0f, 3.0f});
    ASSERT_TRUE(state.ok());
    ASSERT_EQ(bus.sent().size(), 1u);
    EXPECT_EQ(bus.sent()[0].data,
              (std::vector<std::uint8_t>{0x8A, 0x3C, 0x77, 0x71, 0x99, 0x33, 0x3A, 0x65}));
}

TEST(MitControl, LimitsTheEncoderCannotUseSendNothing) {
    MemoryTransport bus;
    Damiao d = motor(1, 0x11);
    d.limits = MitLimits{12.5f, 30.0f, 500.0f, -2.0f, 10.0f};
    auto r = d.mit_control(bus, MitSetpoint{});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), Error::Kind::LimitDomain);
    EXPECT_EQ(r.error().message(), "min > max, or either was NaN. min = 0.0, max = -2.0");
    EXPECT_EQ(bus.send_calls(), 0u);
}

TEST(Replies, FeedbackIsDecodedWithTheMotorLimits) {
    MemoryTransport bus;
    bus.arrive_after_send(make_frame(CanId::standard(0x11), {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
    Damiao d = motor(1, 0x11);
    d.limits = MitLimits{12.5f, 10.0f, 500.0f, 5.0f, 28.0f};
    auto r = d.enable(bus);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().position, 12.5f);
    EXPECT_EQ(r.value().velocity, 10.0f);
    EXPECT_EQ(r.value().torque, 28.0f);
}

TEST(Replies, LongerReplyIsDecodedFromItsFirstEightBytes) {
    MemoryTransport bus;
    std::vector<std::uint8_t> fd(kFeedback);
    fd.resize(12, 0xEE);
    bus.arrive_after_send(make_frame(CanId::standard(0x11), fd, true, true));
    auto r = motor(1, 0x11).enable(bus);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().t_rotor, 32);
}

TEST(Replies, ShortReplyIsAnOrdinaryError) {
    for (std::size_t len = 0; len < 8; ++len) {
        MemoryTransport bus;
        bus.arrive_after_send(make_frame(CanId::standard(0x11), std::vector<std::uint8_t>(len, 0)));
        auto r = motor(1, 0x11).enable(bus);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(),
                  "feedback reply too short: " + std::to_string(len) + " data bytes, expected 8");
    }
}

TEST(Replies, TransportErrorsAreWrapped) {
    MemoryTransport quiet;
    auto r = motor(1, 0x11, 1).enable(quiet);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), Error::Kind::Transport);
    EXPECT_EQ(r.error().message(), "transport error: timeout waiting for frame");

    MemoryTransport broken;
    broken.fail_send(TransportError::backend(IoError::from_errno(ENETDOWN)));
    auto s = motor(1, 0x11).enable(broken);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "transport error: backend error: Network is down (os error 100)");
    EXPECT_EQ(broken.recv_calls(), 0u);
}

TEST(Replies, ZeroTimeoutSendsAndReadsNothing) {
    MemoryTransport bus;
    bus.queue(make_frame(CanId::standard(0x11), kFeedback));
    auto r = motor(1, 0x11, 0).enable(bus);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.send_calls(), 1u);
    EXPECT_EQ(bus.recv_calls(), 0u);
}

TEST(Replies, QueuedReplyFromBeforeTheSendIsTaken) {
    MemoryTransport bus;
    bus.queue(make_frame(CanId::standard(0x11), {0x05, 0, 0, 0, 0, 0, 0, 0}));
    auto r = motor(1, 0x11).enable(bus);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().motor_id, 5);  // another motor on the same master id
}

struct SkipCase {
    const char* name;
    CanFrame first;  // arrives before the motor's feedback kFeedback
    bool taken;      // the command's answer is `first`
};

void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.name; }

class FeedbackOnly : public ::testing::TestWithParam<SkipCase> {};

TEST_P(FeedbackOnly, CommandsTakeOnlyThisMotorsFeedback) {
    MemoryTransport bus;
    bus.arrive_after_send(GetParam().first);
    bus.arrive_after_send(make_frame(CanId::standard(0x11), kFeedback));
    auto r = motor(0x0102, 0x11).enable(bus);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value().t_rotor, GetParam().taken ? 0x99 : 32);
    EXPECT_EQ(bus.pending(), GetParam().taken ? 1u : 0u);
}

CanFrame flagged(CanFrame f, bool remote) {
    (remote ? f.remote : f.error) = true;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FeedbackOnly,
    ::testing::Values(
        // A remote request with DLC 8 would decode as -12.5, -30, -10.
        SkipCase{"RemoteRequest", flagged(make_frame(CanId::standard(0x11), std::vector<std::uint8_t>(8, 0)), true),
                 false},
        SkipCase{"ErrorFrame", flagged(make_frame(CanId::standard(0x11), {0, 0, 0, 0, 0, 0, 0, 0x99}), false), false},
        SkipCase{"RegisterReadReply", make_frame(CanId::standard(0x11), {0x02, 0x01, 0x33, 0x0A, 1, 0, 0, 0x99}), false},
        SkipCase{"WriteEcho", make_frame(CanId::standard(0x11), {0x02, 0x01, 0x55, 0x0A, 1, 0, 0, 0x99}), false},
        SkipCase{"OtherMotorsRegisterReply", make_frame(CanId::standard(0x11), {0x03, 0x01, 0x33, 0x0A, 1, 0, 0, 0x99}),
                 true},
        SkipCase{"Feedback", make_frame(CanId::standard(0x11), {0x02, 0x01, 0x34, 0x0A, 1, 0, 0, 0x99}), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Replies, BottomPositionFeedbackOfADisabledMotorReadsAsARegisterFrame) {
    // Motor 2, status 0, raw position 0x0033: bytes 02 00 33 are a read
    // reply's. It is skipped; the command waits for the next feedback.
    MemoryTransport bus;
    bus.arrive_after_send(make_frame(CanId::standard(0x11), {0x02, 0x00, 0x33, 0x7F, 0xF7, 0xFF, 30, 32}));
    auto r = motor(2, 0x11, 1).enable(bus);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "transport error: timeout waiting for frame");
}

TEST(Replies, WriteEchoDoesNotAnswerTheNextCommand) {
    MemoryTransport bus;
    const Damiao d = motor(0x0102, 0x11);
    bus.arrive_after_send(make_frame(CanId::standard(0x11), {0x02, 0x01, 0x55, 0x0A, 1, 0, 0, 0}));
    ASSERT_TRUE(d.write_register(bus, 10, 1).ok());
    bus.arrive_after_send(make_frame(CanId::standard(0x11), kFeedback));
    auto r = d.enable(bus);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r.value().t_mos, 30);
    EXPECT_EQ(bus.pending(), 0u);
}

TEST(Replies, HugeTimeoutWaitsAsLongAsTheSocketAllows) {
    MemoryTransport bus;
    bus.arrive_after_send(make_frame(CanId::standard(0x11), kFeedback));
    auto r = motor(1, 0x11, UINT64_MAX).enable(bus);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(bus.recv_timeouts().size(), 1u);
    EXPECT_GT(bus.recv_timeouts()[0].secs, 500ull * 365 * 24 * 3600);
}

// A save goes out only after a refresh shows the motor not enabled.
TEST(SaveParameters, RefusedWhileEnabledSavedOtherwise) {
    struct Case {
        std::uint8_t status_byte;  // byte 0 of the refresh's feedback
        bool saved;
    };
    for (const Case c : {Case{0x11, false}, Case{0x01, true}, Case{0xE1, true}}) {
        MemoryTransport bus;
        std::vector<std::uint8_t> feedback = kFeedback;
        feedback[0] = c.status_byte;
        bus.arrive_after_send(make_frame(CanId::standard(0x11), feedback));
        auto r = motor(0x801, 0x11).save_parameters(bus);
        ASSERT_EQ(r.ok(), c.saved) << int(c.status_byte);
        ASSERT_EQ(bus.sent().size(), c.saved ? 2u : 1u);
        EXPECT_EQ(bus.sent()[0].data[2], 0xCC);  // the refresh
        if (c.saved) {
            EXPECT_TRUE(rotalink::test::same_frame(
                bus.sent()[1], make_frame(CanId::standard(0x7FF), {0x01, 0x00, 0xAA, 0x01, 0, 0, 0, 0})));
        } else {
            EXPECT_EQ(r.error().message(),
                      "motor 0x001 reports itself enabled: disable it before saving its registers to flash");
        }
    }
    MemoryTransport silent;  // no answer: the refresh's time-out, nothing saved
    EXPECT_FALSE(motor(1, 0x11, 0).save_parameters(silent).ok());
    EXPECT_EQ(silent.sent().size(), 1u);
}

TEST(DriverError, Messages) {
    struct Case {
        Error error;
        const char* text;
    };
    const Case cases[] = {
        {Error::transport(TransportError::timeout()), "transport error: timeout waiting for frame"},
        {Error::transport(TransportError::invalid_id()), "transport error: invalid CAN id"},
        {Error::transport(TransportError::frame_too_large(9)),
         "transport error: frame too large for selected mode: 9 bytes"},
        {Error::transport(TransportError::backend(IoError::custom("failed to write whole buffer"))),
         "transport error: backend error: failed to write whole buffer"},
        {Error::unknown_register(200), "register 200 is not in the Damiao register table"},
        {Error::read_only_register(7), "register 7 is read-only"},
        {Error::register_type_mismatch(10, RegisterKind::Uint32, RegisterKind::Float),
         "register 10: expected Uint32, got Float"},
        {Error::register_type_mismatch(0, RegisterKind::Float, RegisterKind::Uint32),
         "register 0: expected Float, got Uint32"},
        {Error::unexpected_reply({1, 2, 255}),
         "unexpected reply (data did not match register-reply pattern): [1, 2, 255]"},
        {Error::unexpected_reply({}), "unexpected reply (data did not match register-reply pattern): []"},
        {Error::control_mode_mismatch(1, 2), "control mode verification failed: wrote 1, motor reports 2"},
        {Error::control_mode_mismatch(255, 0), "control mode verification failed: wrote 255, motor reports 0"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

}  // namespace
