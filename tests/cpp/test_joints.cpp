// Joints: the joint/motor conversion of every mode against a plain model
// written here, on the wire for a robot of mixed modes, the feedback back in
// joint units, and the refusals (naming the joint, nothing sent).
#include <gtest/gtest.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <vector>

#include "api/access.hpp"
#include "damiao/joints.hpp"
#include "f32_reference.hpp"
#include "pair_bus.hpp"
#include "refusals.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace {

using namespace rotalink;
using std::nullopt;
using Opt = std::optional<double>;

const float kInf = INFINITY;

struct Row {
    const char* what;
    ControlMode mode;
    int direction;
    double offset, gear;
    JointLimits limits;
    Opt q, dq, kp, kd, tau, current;
    double default_kp = 0.0, default_kd = 0.0;
};

// The conversion as plainly as it can be written: joint limits in joint
// units first, then each field by the formula.
std::vector<float> reference(const Row& r) {
    auto clamp = [](double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; };
    const JointLimits& l = r.limits;
    const double d = r.direction, g = r.gear, o = r.offset;
    const double q = clamp(r.q.value_or(0.0), l.q_min, l.q_max);
    const double dq = clamp(r.dq.value_or(0.0), -l.dq_max, l.dq_max);
    const double speed = std::min(std::fabs(r.dq.value_or(l.dq_max)), double{l.dq_max});
    const double tau = clamp(r.tau.value_or(0.0), -l.tau_max, l.tau_max);
    const double kp = r.kp.value_or(r.default_kp), kd = r.kd.value_or(r.default_kd);
    auto f = [](double v) { return static_cast<float>(v); };
    switch (r.mode) {
        case ControlMode::MIT:
            return {f(o + d * g * q), f(d * g * dq), f(kp / (g * g)), f(kd / (g * g)), f(d * tau / g)};
        case ControlMode::POS_VEL:
            return {f(o + d * g * q), f(std::fabs(g) * speed)};
        case ControlMode::VEL:
            return {f(d * g * dq)};
        case ControlMode::FORCE_POS:
            return {f(o + d * g * q), f(std::fabs(g) * speed), f(*r.current)};
    }
    return {};
}

damiao::JointCommand command_of(const Row& r) {
    damiao::JointCommand c;
    const Opt* fields[] = {&r.q, &r.dq, &r.kp, &r.kd, &r.tau, &r.current};
    for (std::size_t f = 0; f < damiao::kJointFieldCount; ++f) {
        if (*fields[f]) c.fields[f] = {&**fields[f], 1};
    }
    return c;
}

const JointLimits kFree{};
const JointLimits kTight{-0.2f, 0.4f, 1.5f, 1.0f};

const Row kRows[] = {
    {"MIT as the motor", ControlMode::MIT, 1, 0.0, 1.0, kFree, 0.5, 1.0, 20.0, 0.5, 0.3, nullopt},
    {"MIT reversed, offset, geared", ControlMode::MIT, -1, 0.25, 6.33, kFree, 0.5, -1.5, 20.0, 0.5, 2.0, nullopt},
    {"MIT clamped in joint units", ControlMode::MIT, -1, 1.0, 6.33, kTight, 0.9, -3.0, 30.0, 1.0, -5.0, nullopt},
    {"MIT default gains", ControlMode::MIT, 1, -0.5, 6.33, kFree, -0.1, nullopt, nullopt, nullopt, nullopt, nullopt,
     10.0, 0.2},
    {"MIT damping, no q", ControlMode::MIT, -1, 0.3, 6.33, kTight, nullopt, 0.5, nullopt, 1.0, nullopt, nullopt},
    {"MIT negative gear", ControlMode::MIT, 1, 0.0, -2.0, kFree, 0.7, 0.2, 8.0, 0.4, 1.2, nullopt},
    {"POS_VEL speed a magnitude", ControlMode::POS_VEL, -1, -0.5, 6.33, kFree, 0.3, -2.0, nullopt, nullopt, nullopt,
     nullopt},
    {"POS_VEL clamped, speed dq_max", ControlMode::POS_VEL, -1, 0.1, 6.33, kTight, 2.0, nullopt, nullopt, nullopt,
     nullopt, nullopt},
    {"VEL reversed, clamped", ControlMode::VEL, -1, 0.0, 6.33, kTight, nullopt, 2.0, nullopt, nullopt, nullopt,
     nullopt},
    {"VEL no dq: stand", ControlMode::VEL, 1, 0.0, 6.33, kFree, nullopt, nullopt, nullopt, nullopt, nullopt, nullopt},
    {"FORCE_POS current unscaled", ControlMode::FORCE_POS, -1, 0.1, 6.33, kFree, -0.4, -3.0, nullopt, nullopt,
     nullopt, 0.25},
    {"FORCE_POS speed clamped", ControlMode::FORCE_POS, 1, 0.0, 6.33, kTight, -1.0, 3.0, nullopt, nullopt, nullopt,
     1.0},
};

damiao::JointMap map_of(const Row& r) {
    damiao::JointSpec s{"j", r.direction, r.offset, r.gear, static_cast<std::uint8_t>(r.mode), r.limits,
                        r.default_kp, r.default_kd};
    return damiao::JointMap::make({s}).value();
}

TEST(Joints, ConversionOfEveryModeMatchesThePlainFormulas) {
    for (const Row& r : kRows) {
        const damiao::JointMap map = map_of(r);
        damiao::Setpoint s;
        const std::optional<std::string> refused = map.to_setpoints(command_of(r), &s);
        ASSERT_FALSE(refused) << r.what << ": " << *refused;
        const std::vector<float> want = reference(r);
        EXPECT_EQ(s.kind, damiao::kind_of_mode(static_cast<std::uint8_t>(r.mode))) << r.what;
        for (std::size_t f = 0; f < want.size(); ++f) EXPECT_EQ(s.values[f], want[f]) << r.what << " field " << f;
        // And back: the feedback of a motor at (1.5, -2, 0.7) in joint units.
        const std::optional<MotorState> fed[] = {MotorState{1, 1, 1.5f, -2.0f, 0.7f, 40, 50}};
        double q, dq, tau;
        std::int32_t status, t_mos, t_rotor;
        map.to_joints(fed, {&q, &dq, &tau, &status, &t_mos, &t_rotor});
        const double dg = r.direction * r.gear;
        EXPECT_EQ(q, (1.5 - r.offset) / dg) << r.what;
        EXPECT_EQ(dq, -2.0 / dg) << r.what;
        EXPECT_EQ(tau, dg * double{0.7f}) << r.what;
        EXPECT_EQ(status, 1);
        EXPECT_EQ(t_rotor, 50);
    }
    const std::pair<double, const char*> texts[] = {{20.0, "20"}, {6.33, "6.33"}, {-0.5, "-0.5"}, {1e-5, "1e-05"},
                                                    {0.1, "0.1"}, {1e300, "1e+300"}, {-INFINITY, "-inf"}};
    for (const auto& t : texts) EXPECT_EQ(damiao::double_text(t.first), t.second);
}

using rotalink::testing::PairBus;
using rotalink::testing::pair_bus;

std::optional<can_frame> receive(int peer, int timeout_ms = 2000) {
    pollfd pfd{peer, POLLIN, 0};
    can_frame f{};
    if (::poll(&pfd, 1, timeout_ms) <= 0 || ::recv(peer, &f, sizeof f, 0) != sizeof f) return nullopt;
    return f;
}

std::vector<std::uint8_t> f32_le(float v) {
    std::uint8_t b[4];
    std::memcpy(b, &v, 4);  // the test hosts are little-endian, as the wire
    return {b[0], b[1], b[2], b[3]};
}

std::vector<std::uint8_t> u16_le(float v, float max, float scale) {
    const float c = std::min(std::max(v, 0.0f), max);
    const auto raw = static_cast<std::uint16_t>(std::lround(static_cast<float>(c * scale)));
    return {static_cast<std::uint8_t>(raw & 0xFF), static_cast<std::uint8_t>(raw >> 8)};
}

// The frame a row's motor values make, built without the codec.
std::vector<std::uint8_t> wire(const Row& r) {
    const std::vector<float> v = reference(r);
    std::vector<std::uint8_t> out;
    auto append = [&](std::vector<std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); };
    switch (r.mode) {
        case ControlMode::MIT: {
            const float lim[5] = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
            const float sp[5] = {v[0], v[1], v[2], v[3], v[4]};
            const auto e = test::f32ref::encode(lim, sp);
            return {e.bytes.begin(), e.bytes.end()};
        }
        case ControlMode::POS_VEL:
            append(f32_le(v[0]));
            append(f32_le(v[1]));
            break;
        case ControlMode::VEL:
            append(f32_le(v[0]));
            break;
        case ControlMode::FORCE_POS:
            append(f32_le(v[0]));
            append(u16_le(v[1], 100.0f, 100.0f));
            append(u16_le(v[2], 1.0f, 10000.0f));
            break;
    }
    return out;
}

// A robot of rows 2, 6, 8 and 10 (one per mode), motors 1..4 on one bus.
const std::size_t kMixed[] = {2, 6, 8, 10};

Result<Robot> mixed_robot(const SocketCanTransport& bus, GroupOptions options) {
    std::vector<Joint> joints;
    for (std::size_t i = 0; i < 4; ++i) {
        const Row& r = kRows[kMixed[i]];
        const auto id = static_cast<std::uint16_t>(i + 1);
        std::optional<JointLimits> limits;
        if (std::isfinite(r.limits.q_max)) limits = r.limits;
        joints.push_back({std::string("j") + std::to_string(i), bus, Damiao(id, id + 0x10), r.direction, r.offset,
                          r.gear, r.mode, limits, r.default_kp, r.default_kd});
    }
    return Robot::make(std::move(joints), options);
}

TEST(Joints, MixedModesInOneCycleOnTheWireAndTheirFeedbackInJointUnits) {
    const PairBus p = pair_bus();
    GroupOptions options;
    options.timeout = std::chrono::milliseconds(200);
    const Result<Robot> robot = mixed_robot(p.bus, options);
    ASSERT_TRUE(robot.ok()) << robot.error().message();
    std::vector<double> q, dq, tau, current;
    for (std::size_t i : kMixed) {
        q.push_back(kRows[i].q.value_or(0.0));
        dq.push_back(kRows[i].dq.value_or(0.0));
        tau.push_back(kRows[i].tau.value_or(0.0));
        current.push_back(kRows[i].current.value_or(0.0));
    }
    std::vector<double> kp, kd;
    for (std::size_t i : kMixed) {
        kp.push_back(kRows[i].kp.value_or(0.0));
        kd.push_back(kRows[i].kd.value_or(0.0));
    }
    JointCommand c{q, dq, kp, kd, tau, current};
    // Silent motors: the frames are on the wire, every joint without a reply.
    auto sent = std::async(std::launch::async, [&] { return robot.value().command(c); });
    const std::uint32_t offsets[] = {0x000, 0x100, 0x200, 0x300};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<can_frame> f = receive(p.peer);
        ASSERT_TRUE(f) << i;
        EXPECT_EQ(f->can_id, offsets[i] + i + 1) << i;
        const std::vector<std::uint8_t> want = wire(kRows[kMixed[i]]);
        EXPECT_EQ(std::vector<std::uint8_t>(f->data, f->data + f->can_dlc), want) << kRows[kMixed[i]].what;
    }
    const Result<JointStates> silent = sent.get();
    ASSERT_FALSE(silent.ok());
    EXPECT_EQ(silent.error().kind(), Error::Kind::Group);
    // A refresh answered by all but the last motor.
    JointStates js;
    auto refreshed = std::async(std::launch::async, [&] { return robot.value().state(js); });
    const std::uint8_t reply[3][8] = {{0x11, 0x91, 0x23, 0x7F, 0xF8, 0x12, 30, 41},
                                      {0x12, 0x40, 0x00, 0x90, 0x07, 0xFF, 31, 42},
                                      {0xE3, 0xC0, 0x00, 0x80, 0x08, 0x00, 32, 43}};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<can_frame> f = receive(p.peer);
        ASSERT_TRUE(f);
        if (i == 3) continue;
        can_frame r{};
        r.can_id = static_cast<canid_t>(0x11 + i);
        r.can_dlc = 8;
        std::memcpy(r.data, reply[i], 8);
        ASSERT_EQ(::send(p.peer, &r, sizeof r, 0), static_cast<ssize_t>(sizeof r));
    }
    EXPECT_FALSE(refreshed.get().ok());  // the last joint did not answer
    for (std::size_t i = 0; i < 3; ++i) {
        const Row& r = kRows[kMixed[i]];
        const auto m = test::f32ref::decode(12.5f, 30.0f, 10.0f, reply[i]);
        const double dg = r.direction * r.gear;
        EXPECT_EQ(js.q[i], (m.position - r.offset) / dg) << i;
        EXPECT_EQ(js.dq[i], m.velocity / dg) << i;
        EXPECT_EQ(js.tau[i], dg * m.torque) << i;
        EXPECT_EQ(js.status[i], static_cast<std::int32_t>(m.error)) << i;
        EXPECT_EQ(js.t_mos[i], static_cast<std::int32_t>(m.t_mos)) << i;
    }
    EXPECT_TRUE(std::isnan(js.q[3]) && std::isnan(js.dq[3]) && std::isnan(js.tau[3]));
    EXPECT_EQ(js.status[3], JointStates::kNoReply);
    EXPECT_EQ(js.t_rotor[3], JointStates::kNoReply);
    ::close(p.peer);
}

// Entering the robot's scope puts each joint's motor in its joint's mode
// before any enable: register 10 read from each, written (then read back)
// only where it differs. The motors here all start in MIT mode.
TEST(Joints, TheScopeSwitchesEachMotorIntoItsJointsModeBeforeEnabling) {
    const PairBus p = pair_bus();
    GroupOptions options;
    options.timeout = std::chrono::milliseconds(500);
    const Result<Robot> robot = mixed_robot(p.bus, options);
    ASSERT_TRUE(robot.ok()) << robot.error().message();
    auto entered = std::async(std::launch::async, [&]() -> std::string {
        Result<GroupScope> scope = robot.value().scope();
        return scope.ok() ? "" : scope.error().message();
    });
    std::uint8_t modes[5] = {0, 1, 1, 1, 1};
    bool enabled[5] = {};
    std::vector<std::string> log;
    char line[32];
    while (const std::optional<can_frame> f = receive(p.peer, 1500)) {
        const std::uint8_t* d = f->data;
        const std::uint8_t id = d[0];
        if (f->can_id == 0x7FF && (d[2] == 0x33 || d[2] == 0x55) && d[3] == 10 && id >= 1 && id <= 4) {
            if (d[2] == 0x55) modes[id] = d[4];
            std::snprintf(line, sizeof line, d[2] == 0x33 ? "read %u" : "write %u=%u", id, d[4]);
            can_frame r{};
            r.can_id = 0x10u + id;
            r.can_dlc = 8;
            const std::uint8_t reply[8] = {id, 0, d[2], 10, modes[id], 0, 0, 0};
            std::memcpy(r.data, reply, 8);
            ASSERT_EQ(::send(p.peer, &r, sizeof r, 0), static_cast<ssize_t>(sizeof r));
        } else {
            // A refresh (7FF, id, 0, CC) or a special command to any of the
            // motor's identifiers: answered with its state.
            const bool refresh = f->can_id == 0x7FF && d[2] == 0xCC;
            const std::uint8_t motor = refresh ? id : static_cast<std::uint8_t>(f->can_id & 0xFFu);
            if (!refresh && d[7] == 0xFC) enabled[motor] = true;
            if (!refresh && d[7] == 0xFD) enabled[motor] = false;
            std::snprintf(line, sizeof line, refresh ? "refresh %u" : "%03x %02X", refresh ? motor : f->can_id,
                          d[7]);
            can_frame r{};
            r.can_id = 0x10u + motor;
            r.can_dlc = 8;
            const std::uint8_t reply[8] = {static_cast<std::uint8_t>((enabled[motor] ? 0x10 : 0) | motor), 0x80, 0, 0x80,
                                           0x07, 0xFF, 30, 31};
            std::memcpy(r.data, reply, 8);
            ASSERT_EQ(::send(p.peer, &r, sizeof r, 0), static_cast<ssize_t>(sizeof r));
        }
        log.emplace_back(line);
    }
    EXPECT_EQ(entered.get(), "");
    EXPECT_EQ(log, (std::vector<std::string>{"read 1", "read 2", "refresh 2", "write 2=2", "read 2", "read 3",
                                             "refresh 3", "write 3=3", "read 3", "read 4", "refresh 4", "write 4=4",
                                             "read 4", "001 FC", "002 FC", "003 FC", "004 FC", "001 FD", "002 FD",
                                             "003 FD", "004 FD"}));
}

TEST(Joints, TheLoopSendsTheConvertedCommand) {
    const PairBus p = pair_bus();
    GroupOptions options;
    options.timeout = std::chrono::milliseconds(1);
    options.disable_timeout = std::chrono::milliseconds(0);
    const Result<Robot> robot = mixed_robot(p.bus, options);
    LoopOptions lo;
    lo.hold = std::chrono::milliseconds(5000);
    // No blend: a blend waits for every motor's position, and none answers.
    lo.blend = std::chrono::milliseconds(0);
    Result<RobotLoop> loop = robot.value().start(100.0, lo);
    ASSERT_TRUE(loop.ok()) << loop.error().message();
    const std::vector<double> q = {0.5, 0.3, 0.0, -0.4};
    JointCommand c;
    c.q = q;
    c.dq = -3.0;
    c.current = 0.25;
    c.kp = 20.0;  // scalars broadcast
    c.kd = 0.5;
    c.tau = 2.0;
    ASSERT_TRUE(loop.value().set(c).ok());
    Row want = kRows[2];  // joint 0: MIT, reversed, offset, geared, clamped
    want.q = 0.5;
    want.dq = -3.0;
    want.kp = 20.0;
    want.kd = 0.5;
    want.tau = 2.0;
    bool seen = false;
    for (int n = 0; n < 200 && !seen; ++n) {
        const std::optional<can_frame> f = receive(p.peer);
        ASSERT_TRUE(f);
        seen = f->can_id == 1 && std::vector<std::uint8_t>(f->data, f->data + 8) == wire(want);
    }
    EXPECT_TRUE(seen);
    const JointStates js = loop.value().state();
    EXPECT_TRUE(std::isnan(js.q[0]));  // no motor answers
    (void)loop.value().loop().stop();  // outside a scope its disable fails: no motor answers
    EXPECT_FALSE(loop.value().loop().running());
    ::close(p.peer);
}

TEST(Joints, RefusalsNameTheJointAndSendNothing) {
    const PairBus p = pair_bus();
    auto joint = [&](const char* name, std::uint16_t id, ControlMode mode) {
        return Joint{name, p.bus, Damiao(id, id + 0x10), 1, 0.0, 6.33, mode, std::nullopt, 0.0, 0.0};
    };
    const std::vector<Joint> three = {joint("shoulder", 1, ControlMode::MIT), joint("wrist", 2, ControlMode::POS_VEL),
                                      joint("elbow", 3, ControlMode::FORCE_POS)};
    const Robot robot = Robot::make(three).value();
    auto made = [&](std::function<void(Joint&)> change) {
        std::vector<Joint> joints = three;
        change(joints[2]);
        const Result<Robot> r = Robot::make(joints);
        return r.ok() ? std::nullopt : std::optional<Error>(r.error());
    };
    auto commanded = [&](JointCommand c) {
        const Result<JointStates> r = robot.command(c);
        return r.ok() ? std::nullopt : std::optional<Error>(r.error());
    };
    const double nan = std::nan("");
    const std::vector<double> two = {0.0, 0.0};
    const std::vector<double> q_nan = {0.0, 0.0, nan};
    const std::vector<double> kd_negative = {0.0, 0.0, -0.5};
    const std::vector<double> q_huge = {0.0, 0.0, 1e300};
    struct Case {
        const char* key;
        std::function<std::optional<Error>()> call;
    };
    const std::vector<Case> table = {
        {"joint-gear-zero", [&] { return made([](Joint& j) { j.gear = 0.0; }); }},
        {"joint-direction", [&] { return made([](Joint& j) { j.direction = 0; }); }},
        {"joint-name-taken", [&] { return made([](Joint& j) { j.name = "wrist"; }); }},
        {"joint-limits-crossed-in-robot",
         [&] { return made([](Joint& j) { j.joint_limits = JointLimits{1.0f, 0.0f, kInf, kInf}; }); }},
        {"no-joints", [&] { return Robot::make({}).ok() ? std::nullopt : std::optional<Error>(Robot::make({}).error()); }},
        {"joint-q-nan", [&] { return commanded({q_nan, 1.0, {}, {}, {}, 0.5}); }},
        {"joint-values-length", [&] { return commanded({0.0, 1.0, two, {}, {}, 0.5}); }},
        {"joint-kd-negative", [&] { return commanded({0.0, 1.0, {}, kd_negative, {}, 0.5}); }},
        {"joint-q-needed", [&] { return commanded({{}, 1.0, 20.0, {}, {}, 0.5}); }},
        {"joint-speed-needed", [&] { return commanded({0.0, {}, {}, {}, {}, 0.5}); }},
        {"joint-past-float", [&] { return commanded({q_huge, 1.0, {}, {}, {}, 0.5}); }},
        {"joint-current-range", [&] { return commanded({0.0, 1.0, {}, {}, {}, 1.5}); }},
    };
    for (const Case& row : table) {
        const std::optional<Error> e = row.call();
        ASSERT_TRUE(e) << row.key;
        EXPECT_EQ(e->message(), rotalink::testing::refusal(row.key)) << row.key;
        EXPECT_EQ(e->kind(), Error::Kind::InvalidArgument) << row.key;
    }
    can_frame f;
    EXPECT_TRUE(::recv(p.peer, &f, sizeof f, MSG_DONTWAIT) < 0 && errno == EAGAIN);
    ::close(p.peer);
}

}  // namespace
