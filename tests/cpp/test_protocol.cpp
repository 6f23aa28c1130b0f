// The protocol's make/parse pairs on their own: golden frames out, replies
// in, with no transport in between.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "damiao/protocol.hpp"
#include "group_cycle.hpp"
#include "memory_transport.hpp"

namespace {

namespace dm = rotalink::damiao;
using rotalink::damiao::mit::MitLimits;
using rotalink::damiao::mit::MitSetpoint;
using rotalink::test::make_frame;
using rotalink::test::make_mit;
using rotalink::test::same_frame;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;
using Bytes = std::vector<std::uint8_t>;

struct MadeCase {
    const char* name;
    CanFrame made;
    CanFrame want;
};

class Made : public ::testing::TestWithParam<MadeCase> {};

TEST_P(Made, IsTheGoldenFrame) { EXPECT_TRUE(same_frame(GetParam().made, GetParam().want)); }

const Bytes kFF = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
Bytes special(std::uint8_t last) {
    Bytes b = kFF;
    b.push_back(last);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, Made,
    ::testing::Values(
        // Commands go to the low 11 bits of motor_id, classic, no BRS.
        MadeCase{"Enable", dm::make_special(0x0801, dm::kEnable), make_frame(CanId::standard(0x001), special(0xFC))},
        MadeCase{"Disable", dm::make_special(0x7FF, dm::kDisable), make_frame(CanId::standard(0x7FF), special(0xFD))},
        MadeCase{"SetZero", dm::make_special(0x12, dm::kSetZero), make_frame(CanId::standard(0x012), special(0xFE))},
        MadeCase{"ClearError", dm::make_special(0xFFFF, dm::kClearError),
                 make_frame(CanId::standard(0x7FF), special(0xFB))},
        MadeCase{"Mit", make_mit(0x03, MitLimits{}, MitSetpoint{1.0f, -2.0f, 50.0f, 1.0f, 3.0f}).value(),
                 make_frame(CanId::standard(0x003), {0x8A, 0x3C, 0x77, 0x71, 0x99, 0x33, 0x3A, 0x65})},
        // Register requests carry all 16 bits of motor_id, little-endian.
        MadeCase{"RegisterRead", dm::make_register_read(0x0102, 10),
                 make_frame(CanId::standard(0x7FF), {0x02, 0x01, 0x33, 0x0A, 0, 0, 0, 0})},
        MadeCase{"RegisterWrite", dm::make_register_write(0x0102, 10, 0x04030201),
                 make_frame(CanId::standard(0x7FF), {0x02, 0x01, 0x55, 0x0A, 0x01, 0x02, 0x03, 0x04})},
        // A special command on a mode's identifier: (motor_id & 0x7FF) + the
        // mode's offset; on MIT's it is make_special's frame.
        MadeCase{"EnableOnMit", *dm::make_special_for(0x0801, dm::kEnable, 0),
                 make_frame(CanId::standard(0x001), special(0xFC))},
        MadeCase{"DisableOnPosVel", *dm::make_special_for(0x0812, dm::kDisable, 1),
                 make_frame(CanId::standard(0x112), special(0xFD))},
        MadeCase{"SetZeroOnVel", *dm::make_special_for(0x12, dm::kSetZero, 2),
                 make_frame(CanId::standard(0x212), special(0xFE))},
        MadeCase{"ClearErrorOnForcePos", *dm::make_special_for(0x4FE, dm::kClearError, 3),
                 make_frame(CanId::standard(0x7FE), special(0xFB))},
        // The bus's bit rate: register 35 (can_br) written with a code.
        MadeCase{"BitRate1M", dm::make_register_write(0x01, dm::kCanBitRateRegister, 4),
                 make_frame(CanId::standard(0x7FF), {0x01, 0x00, 0x55, 0x23, 0x04, 0, 0, 0})},
        MadeCase{"BitRateFd5M", dm::make_register_write(0x01, dm::kCanBitRateRegister, 9),
                 make_frame(CanId::standard(0x7FF), {0x01, 0x00, 0x55, 0x23, 0x09, 0, 0, 0})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Protocol, SpecialOnAModeIdentifierAtOrPastTheRegisterIdentifierMakesNoFrame) {
    EXPECT_FALSE(dm::make_special_for(0x7FF, dm::kDisable, 0));
    EXPECT_FALSE(dm::make_special_for(0x4FF, dm::kDisable, 3));
    EXPECT_FALSE(dm::make_special_for(0x600, dm::kEnable, 2));
    EXPECT_EQ(dm::control_id_fault(0x600, 2),
              "the VEL command identifier 0x800 (0x200 + motor_id 0x600) is past the standard range 0x7ff");
    EXPECT_EQ(dm::control_id_fault(0x4FE, 3), "");
}

TEST(Protocol, BitRateCodesAreTheFirmwaresTable) {
    // Codes 0..4 classic CAN; 5..9 CAN FD, 1 Mbit/s arbitration.
    const std::pair<std::uint32_t, std::uint32_t> want[] = {
        {125000, 0},        {200000, 0},        {250000, 0},        {500000, 0},        {1000000, 0},
        {1000000, 2000000}, {1000000, 2500000}, {1000000, 3200000}, {1000000, 4000000}, {1000000, 5000000}};
    ASSERT_EQ(dm::kCanBitRateCount, sizeof want / sizeof want[0]);
    for (std::size_t c = 0; c < dm::kCanBitRateCount; ++c) {
        EXPECT_EQ(dm::kCanBitRates[c].code, c);
        EXPECT_EQ(dm::kCanBitRates[c].bitrate, want[c].first) << c;
        EXPECT_EQ(dm::kCanBitRates[c].data_bitrate, want[c].second) << c;
    }
    EXPECT_STREQ(dm::find_register(dm::kCanBitRateRegister)->name, "can_br");
}

TEST(Protocol, MitWithLimitsTheEncoderCannotUseMakesNoFrame) {
    EXPECT_FALSE(make_mit(1, MitLimits{-1.0f, 30.0f, 500.0f, 5.0f, 10.0f}, MitSetpoint{}).ok());
}

struct FeedbackCase {
    const char* name;
    CanFrame reply;
    const char* result;  // repr of the state, or the error message
};

class Feedback : public ::testing::TestWithParam<FeedbackCase> {};

TEST_P(Feedback, ParsesTheFirstEightBytesOrIsTooShort) {
    const auto r = dm::parse_feedback(MitLimits{}, GetParam().reply);
    EXPECT_EQ(r.ok() ? dm::mit::repr(r.value()) : r.error().message(), GetParam().result);
}

const Bytes kEcho = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
const char* const kEchoState =
    "MotorState(motor_id=1, error=1, position=-0.0002, velocity=-0.0073, torque=-0.0024, t_mos=30, t_rotor=32)";

Bytes with_tail(Bytes b, std::size_t n) {
    b.resize(b.size() + n, 0xEE);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, Feedback,
    ::testing::Values(FeedbackCase{"Classic", make_frame(CanId::standard(0x11), kEcho), kEchoState},
                      FeedbackCase{"FdTwelve", make_frame(CanId::standard(0x11), with_tail(kEcho, 4), true), kEchoState},
                      FeedbackCase{"FdSixtyFour", make_frame(CanId::standard(0x11), with_tail(kEcho, 56), true),
                                   kEchoState},
                      FeedbackCase{"Empty", make_frame(CanId::standard(0x11), {}),
                                   "feedback reply too short: 0 data bytes, expected 8"},
                      FeedbackCase{"Seven", make_frame(CanId::standard(0x11), Bytes(kEcho.begin(), kEcho.end() - 1)),
                                   "feedback reply too short: 7 data bytes, expected 8"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FeedbackRuleCase {
    const char* name;
    CanFrame frame;
    bool feedback;  // of motor 0x0803 (command id 0x003), master 0x0811
};

void PrintTo(const FeedbackRuleCase& c, std::ostream* os) { *os << c.name; }

class FeedbackRule : public ::testing::TestWithParam<FeedbackRuleCase> {};

TEST_P(FeedbackRule, TellsFeedbackFromOtherFramesOfTheReplyId) {
    EXPECT_EQ(dm::is_feedback(GetParam().frame, 0x0803, 0x0811), GetParam().feedback);
}

const CanId kReply = CanId::standard(0x011);

INSTANTIATE_TEST_SUITE_P(
    Protocol, FeedbackRule,
    ::testing::Values(
        FeedbackRuleCase{"Feedback", make_frame(kReply, kEcho), true},
        FeedbackRuleCase{"FdFeedback", make_frame(kReply, with_tail(kEcho, 4), true), true},
        FeedbackRuleCase{"ShortIsStillThisMotorsReply", make_frame(kReply, {}), true},
        FeedbackRuleCase{"ExtendedSameValue", make_frame(CanId::extended(0x011), kEcho), false},
        FeedbackRuleCase{"OtherId", make_frame(CanId::standard(0x012), kEcho), false},
        FeedbackRuleCase{"Remote", rotalink::test::remote_frame(kReply, Bytes(8, 0)), false},
        FeedbackRuleCase{"ErrorFrame", rotalink::test::error_frame(kReply, kEcho), false},
        FeedbackRuleCase{"RegisterReadReply", make_frame(kReply, {0x03, 0x00, 0x33, 0x0A, 1, 0, 0, 0}), false},
        FeedbackRuleCase{"RegisterWriteEcho", make_frame(kReply, {0x03, 0x00, 0x55, 0x0A, 1, 0, 0, 0}), false},
        // Register frames of another motor (bytes 0-1 are the low 11 bits:
        // 0x0803 is 03 00, never 03 08) or with another operation byte.
        FeedbackRuleCase{"OtherMotorsRegisterReply", make_frame(kReply, {0x04, 0x00, 0x33, 0x0A, 1, 0, 0, 0}), true},
        FeedbackRuleCase{"FullSixteenBitsAreNotTheCommandId",
                         make_frame(kReply, {0x03, 0x08, 0x33, 0x0A, 1, 0, 0, 0}), true},
        FeedbackRuleCase{"OtherOperation", make_frame(kReply, {0x03, 0x00, 0x34, 0x0A, 1, 0, 0, 0}), true},
        // The one feedback the rule cannot tell apart: disabled (status 0),
        // raw position 0x0033 at the bottom of the range.
        FeedbackRuleCase{"AmbiguousBottomPosition", make_frame(kReply, {0x03, 0x00, 0x33, 0x7F, 0xF7, 0xFF, 30, 32}),
                         false},
        // A register frame is 8 bytes: an FD feedback of more is feedback.
        FeedbackRuleCase{"FdBottomPositionIsNoRegisterFrame",
                         make_frame(kReply, {0x03, 0x00, 0x33, 0x7F, 0xF7, 0xFF, 30, 32, 0, 0, 0, 0}, true), true},
        FeedbackRuleCase{"EnabledBottomPosition", make_frame(kReply, {0x13, 0x00, 0x33, 0x7F, 0xF7, 0xFF, 30, 32}),
                         true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Protocol, RegisterReplyRuleAndValue) {
    const Bytes reply = {0x02, 0x01, 0x33, 0x0A, 0x00, 0x00, 0x80, 0x3F};
    const CanFrame ok = make_frame(CanId::standard(0x123), reply);
    EXPECT_TRUE(dm::is_register_reply(ok, 0x0102, 10));
    EXPECT_TRUE(dm::is_register_reply(ok, 0xF902, 10));  // the low 11 bits name the motor
    EXPECT_TRUE(dm::is_register_reply(make_frame(CanId::extended(0x123), reply, true), 0x0102, 10));
    EXPECT_FALSE(dm::is_register_reply(ok, 0x0103, 10));  // another motor's
    EXPECT_FALSE(dm::is_register_reply(ok, 0x0202, 10));
    EXPECT_FALSE(dm::is_register_reply(ok, 0x0102, 11));
    EXPECT_FALSE(dm::is_register_reply(make_frame(CanId::standard(0x123), with_tail(reply, 1), true), 0x0102, 10));
    EXPECT_FALSE(
        dm::is_register_reply(make_frame(CanId::standard(0x123), Bytes(reply.begin(), reply.end() - 1)), 0x0102, 10));
    EXPECT_FALSE(dm::is_register_reply(rotalink::test::remote_frame(CanId::standard(0x123), reply), 0x0102, 10));
    EXPECT_FALSE(dm::is_register_reply(rotalink::test::error_frame(CanId::standard(0x123), reply), 0x0102, 10));
    // On 0x7FF the same bytes are a read request (another host's), not a reply.
    EXPECT_FALSE(dm::is_register_reply(make_frame(CanId::standard(0x7FF), reply), 0x0102, 10));
    EXPECT_TRUE(dm::is_register_reply(make_frame(CanId::extended(0x7FF), reply), 0x0102, 10));
    Bytes write = reply;
    write[2] = 0x55;
    EXPECT_FALSE(dm::is_register_reply(make_frame(CanId::standard(0x123), write), 0x0102, 10));
    EXPECT_EQ(dm::parse_register_reply(dm::RegisterKind::Uint32, ok).as_uint32(), 0x3F800000u);
    EXPECT_EQ(dm::parse_register_reply(dm::RegisterKind::Float, ok).as_float(), 1.0f);
}

}  // namespace

// Every command kind: golden frames at the edges of each field, rounding
// ties, clamping, and the commands refused with nothing made.
struct ControlCase {
    const char* name;
    std::uint16_t motor_id;
    std::size_t kind;
    std::array<float, dm::kMaxFields> values;
    std::uint32_t id;  // 0: refused, with `refusal` in the message
    Bytes data;
    const char* refusal;
    MitLimits limits{};
};

class Control : public ::testing::TestWithParam<ControlCase> {};

TEST_P(Control, IsTheGoldenFrameOrIsRefused) {
    const ControlCase& c = GetParam();
    auto made = dm::make_control(c.motor_id, c.limits, dm::Setpoint{c.kind, c.values});
    if (c.id == 0) {
        ASSERT_FALSE(made.ok());
        EXPECT_EQ(made.error().kind(), dm::Error::Kind::InvalidCommand);
        EXPECT_EQ(made.error().message(), c.refusal);
        return;
    }
    ASSERT_TRUE(made.ok()) << made.error().message();
    EXPECT_TRUE(same_frame(made.value(), make_frame(CanId::standard(c.id), c.data)));
}

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr std::size_t kPosVel = 1, kVel = 2, kForcePos = 3;

INSTANTIATE_TEST_SUITE_P(
    Protocol, Control,
    ::testing::Values(
        // MIT: the codec's payload, to motor_id itself.
        ControlCase{"Mit", 0x03, dm::kMitKind, {1.0f, -2.0f, 50.0f, 1.0f, 3.0f}, 0x003,
                    {0x8A, 0x3C, 0x77, 0x71, 0x99, 0x33, 0x3A, 0x65}, ""},
        // POS_VEL: two little-endian floats to 0x100 + the low 11 bits.
        ControlCase{"PosVel", 0x0801, kPosVel, {1.0f, 2.5f}, 0x101,
                    {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0x40}, ""},
        ControlCase{"PosVelNegativeAndTiny", 0x010, kPosVel, {-3.0f, 0.1f}, 0x110,
                    {0x00, 0x00, 0x40, 0xC0, 0xCD, 0xCC, 0xCC, 0x3D}, ""},
        // VEL: one float, 4 bytes.
        ControlCase{"Vel", 0x0FF, kVel, {-3.0f}, 0x2FF, {0x00, 0x00, 0x40, 0xC0}, ""},
        ControlCase{"VelHighestId", 0x5FE, kVel, {12.5f}, 0x7FE, {0x00, 0x00, 0x48, 0x41}, ""},
        // FORCE_POS: float position, then velocity x100 and current x10000.
        ControlCase{"ForcePosTop", 0x4FE, kForcePos, {0.5f, 100.0f, 1.0f}, 0x7FE,
                    {0x00, 0x00, 0x00, 0x3F, 0x10, 0x27, 0x10, 0x27}, ""},
        ControlCase{"ForcePosClamped", 0x001, kForcePos, {0.0f, 250.0f, -0.5f}, 0x301,
                    {0x00, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00}, ""},
        ControlCase{"ForcePosClampedBelow", 0x001, kForcePos, {0.0f, -1.0f, 2.0f}, 0x301,
                    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x27}, ""},
        // 0.125 x 100 = 12.5 rounds away from zero (13, not 12); 0.005f x 100
        // is 0.5 in 32-bit float (1; in double it is below 0.5, 0).
        ControlCase{"ForcePosTiesAway", 0x001, kForcePos, {0.0f, 0.125f, 0.00005f}, 0x301,
                    {0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x01, 0x00}, ""},
        ControlCase{"ForcePosFloatProduct", 0x001, kForcePos, {0.0f, 0.005f, 0.123456f}, 0x301,
                    {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xD3, 0x04}, ""},
        // Finite fields whose sum overflows are still finite.
        ControlCase{"PosVelHugeButFinite", 0x001, kPosVel, {3e38f, 3e38f}, 0x101,
                    {0xE6, 0xB1, 0x61, 0x7F, 0xE6, 0xB1, 0x61, 0x7F}, ""},
        // Refused: identifiers at or past 0x7FF, fields that are not finite.
        ControlCase{"VelOnTheRegisterId", 0x5FF, kVel, {}, 0, {},
                    "the VEL command identifier 0x7ff (0x200 + motor_id 0x5ff) is the register identifier"},
        ControlCase{"ForcePosPastTheRange", 0x0FFFF, kForcePos, {}, 0, {},
                    "the FORCE_POS command identifier 0xaff (0x300 + motor_id 0x7ff) is past the standard range 0x7ff"},
        ControlCase{"MitOnTheRegisterId", 0x7FF, dm::kMitKind, {}, 0, {},
                    "the MIT command identifier 0x7ff (0x000 + motor_id 0x7ff) is the register identifier"},
        ControlCase{"PosVelNan", 0x001, kPosVel, {kNan, 0.0f}, 0, {}, "PosVelSetpoint.q must be finite, got NaN"},
        ControlCase{"VelMinusInf", 0x001, kVel, {-kInf}, 0, {}, "VelSetpoint.dq must be finite, got -inf"},
        ControlCase{"ForcePosInfCurrent", 0x001, kForcePos, {0.0f, 1.0f, kInf}, 0, {},
                    "ForcePosSetpoint.current must be finite, got inf"},
        // MIT saturates an infinite field, but NaN would go out as the bottom
        // of its range, and a range of 0 or infinity makes every raw value 0.
        ControlCase{"MitNanPosition", 0x001, dm::kMitKind, {kNan}, 0, {}, "MitSetpoint.q must be a number, got NaN"},
        ControlCase{"MitNanTorque", 0x001, dm::kMitKind, {0.0f, 0.0f, 0.0f, 0.0f, -kNan}, 0, {},
                    "MitSetpoint.tau must be a number, got NaN"},
        ControlCase{"MitZeroPositionRange", 0x001, dm::kMitKind, {}, 0, {},
                    "MitLimits.p_max must be finite and non-zero, got 0", MitLimits{0.0f, 30.0f, 500.0f, 5.0f, 10.0f}},
        ControlCase{"MitInfiniteTorqueRange", 0x001, dm::kMitKind, {}, 0, {},
                    "MitLimits.t_max must be finite and non-zero, got inf", MitLimits{12.5f, 30.0f, 500.0f, 5.0f, kInf}},
        ControlCase{"MitZeroVelocityRange", 0x001, dm::kMitKind, {}, 0, {},
                    "MitLimits.v_max must be finite and non-zero, got 0", MitLimits{12.5f, 0.0f, 500.0f, 5.0f, 10.0f}}),
    [](const auto& info) { return std::string(info.param.name); });

// Joint limits clamp each field by what it means to the joint.
struct ClampCase {
    const char* name;
    std::size_t kind;
    std::array<float, dm::kMaxFields> values;
    std::array<float, dm::kMaxFields> want;
    bool moved;
};

class Clamp : public ::testing::TestWithParam<ClampCase> {};

TEST_P(Clamp, ClampsEachFieldByItsRole) {
    const ClampCase& c = GetParam();
    dm::Setpoint s{c.kind, c.values};
    EXPECT_EQ(dm::clamp(s, dm::JointLimits{-1.0f, 1.5f, 2.0f, 0.5f}), c.moved);
    for (std::size_t i = 0; i < dm::kMaxFields; ++i) {
        EXPECT_TRUE(s.values[i] == c.want[i] || (std::isnan(s.values[i]) && std::isnan(c.want[i]))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, Clamp,
    ::testing::Values(
        // Gains pass; position, velocity and torque are clamped.
        ClampCase{"MitEveryField", dm::kMitKind, {5.0f, -9.0f, 100.0f, 1.0f, 3.0f}, {1.5f, -2.0f, 100.0f, 1.0f, 0.5f}, true},
        ClampCase{"MitInside", dm::kMitKind, {-1.0f, 2.0f, 0.0f, 0.0f, -0.5f}, {-1.0f, 2.0f, 0.0f, 0.0f, -0.5f}, false},
        ClampCase{"MitInfinities", dm::kMitKind, {-kInf, kInf, 0.0f, 0.0f, -kInf}, {-1.0f, 2.0f, 0.0f, 0.0f, -0.5f}, true},
        ClampCase{"MitNanStays", dm::kMitKind, {kNan}, {kNan}, false},
        ClampCase{"PosVelLimitsTheVelocityLimit", kPosVel, {-3.0f, 5.0f}, {-1.0f, 2.0f}, true},
        ClampCase{"Vel", kVel, {-5.0f}, {-2.0f}, true},
        // A current fraction is not a torque: only the position and speed.
        ClampCase{"ForcePos", kForcePos, {0.5f, 3.0f, 0.8f}, {0.5f, 2.0f, 0.8f}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Protocol, JointLimitsThatBoundNoRangeAreRefused) {
    const std::pair<dm::JointLimits, const char*> cases[] = {
        {{}, ""},
        {{1.0f, 1.0f, 0.0f, 0.0f}, ""},
        {{2.0f, 1.0f}, "JointLimits.q_min 2 is above q_max 1"},
        {{kNan}, "JointLimits.q_min is NaN"},
        {{0.0f, 1.0f, -1.0f}, "JointLimits.dq_max must be 0 or more, got -1"},
        {{0.0f, 1.0f, 1.0f, kNan}, "JointLimits.tau_max must be 0 or more, got NaN"},
        {{kInf, kInf}, "JointLimits.q_min must be below inf"},
        {{-kInf, -kInf}, "JointLimits.q_max must be above -inf"},
    };
    for (const auto& [limits, want] : cases) EXPECT_EQ(dm::joint_limits_fault(limits), want);
}

TEST(Protocol, RequestsToEveryMotorGoToTheRegisterIdentifier) {
    EXPECT_TRUE(same_frame(dm::make_refresh(0xF923),
                           make_frame(CanId::standard(0x7FF), {0x23, 0x01, 0xCC, 0, 0, 0, 0, 0})));
    EXPECT_TRUE(same_frame(dm::make_save_parameters(0xF923),
                           make_frame(CanId::standard(0x7FF), {0x23, 0x01, 0xAA, 0x01, 0, 0, 0, 0})));
}
