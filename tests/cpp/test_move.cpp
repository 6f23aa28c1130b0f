// Move profiles, alone and as the loop sends them on a clock the test moves:
// the commanded positions keep to the velocity and acceleration limits
// (finite differences of successive commands), every member arrives at the
// same cycle, the last command is the target, a set() cancels, a blend
// starts at the measured position and reaches the set target, and a move
// counts as fresh setpoints for the hold time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "damiao/loop.hpp"
#include "damiao/move.hpp"
#include "loop_rig.hpp"

namespace rotalink::test {
namespace {

using damiao::ControlLoop;
using damiao::MoveAxis;
using damiao::MoveRequest;
using damiao::MoveState;
using damiao::Trapezoid;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();

struct ProfileCase {
    double p0, v0, p1, vmax, amax;
    double fastest;  // the time-optimal duration, worked out by hand
};

// Each: rest to rest with a cruise, a triangle, no velocity limit, starting
// towards the target, starting away from it, too fast to stop short
// (overshoot and come back), faster than the limit, and already there.
const ProfileCase kProfiles[] = {
    {0.0, 0.0, 1.0, 1.0, 1.0, 2.0},                     // ramps of 1 s (0.5 rad) touching the limit
    {0.0, 0.0, 4.0, 1.0, 1.0, 5.0},                     // the same ramps, a cruise of 3 s
    {0.0, 0.0, 0.25, 1.0, 1.0, 1.0},                    // triangle to 0.5 rad/s
    {0.0, 0.0, -0.25, kInf, 1.0, 1.0},                  // no limit: a triangle
    {1.0, 1.0, 3.5, 1.0, 1.0, 3.0},                     // cruising at once: 2 s, then 1 s braking (0.5)
    {0.0, -1.0, 1.5, 1.0, 2.0, 2.75},                   // brake 0.5 s (-0.25), up 0.5 s, cruise 1.25 s, down 0.5 s
    {0.0, 2.0, 0.5, 4.0, 2.0, 2.0},                     // stops at 1 after 1 s, back 0.5 in a 1 s triangle
    {0.0, 3.0, 10.0, 1.0, 1.0, 8.5},                    // brake to 1 (2 s, 4 rad), cruise 5.5 s, brake 1 s
    {2.0, 0.0, 2.0, 1.0, 1.0, 0.0},
};

// Samples `t` every `dt` and checks the profile's own limits: velocity
// within max(vmax, |v0|), acceleration (finite differences of v) within
// amax, position the integral of velocity, the end exactly at rest at p1.
void check_profile(const Trapezoid& t, const ProfileCase& c, const std::string& what) {
    const double dt = 1e-4;
    double p = 0.0, v = 0.0, lp = 0.0, lv = 0.0;
    t.sample(0.0, lp, lv);
    EXPECT_NEAR(lp, c.p0, 1e-12) << what;
    EXPECT_NEAR(lv, c.v0, 1e-12) << what;
    for (double s = dt; s <= t.duration() + 2 * dt; s += dt) {
        t.sample(s, p, v);
        EXPECT_LE(std::fabs(v), std::max(c.vmax, std::fabs(c.v0)) + 1e-9) << what << " at " << s;
        EXPECT_LE(std::fabs(v - lv), c.amax * dt + 1e-9) << what << " at " << s;
        EXPECT_NEAR(p - lp, (v + lv) * 0.5 * dt, c.amax * dt * dt + 1e-9) << what << " at " << s;
        lp = p;
        lv = v;
    }
    t.sample(t.duration(), p, v);
    EXPECT_EQ(p, c.p1) << what;
    EXPECT_EQ(v, 0.0) << what;
}

TEST(Trapezoid, FastestTakesTheHandWorkedTimeAndKeepsToItsLimits) {
    for (const ProfileCase& c : kProfiles) {
        const std::string what = "from " + std::to_string(c.p0) + " at " + std::to_string(c.v0) + " to " +
                                 std::to_string(c.p1);
        const Trapezoid fast = Trapezoid::fastest(c.p0, c.v0, c.p1, c.vmax, c.amax);
        EXPECT_NEAR(fast.duration(), c.fastest, 1e-9) << what;
        check_profile(fast, c, what);
        // Stretched, the same limits hold and it still ends at the target.
        for (double longer : {c.fastest + 0.37, 2.0 * c.fastest + 1.0}) {
            const Trapezoid slow = Trapezoid::lasting(c.p0, c.v0, c.p1, c.vmax, c.amax, longer);
            EXPECT_NEAR(slow.duration(), longer, 1e-9) << what;
            double p = 0.0, v = 0.0;
            slow.sample(longer - 1e-7, p, v);
            EXPECT_NEAR(p, c.p1, 1e-6) << what;
            check_profile(slow, c, what + " lasting " + std::to_string(longer));
        }
    }
}

TEST(Trapezoid, MovesArriveTogetherOnAWholeCycle) {
    const double period = 0.002;
    MoveAxis axes[3];
    axes[0].target = 1.0, axes[0].velocity = 2.0, axes[0].accel = 10.0;
    axes[1].target = -0.1, axes[1].velocity = 2.0, axes[1].accel = 10.0;
    axes[2].target = 3.0, axes[2].velocity = kInf, axes[2].accel = 50.0;  // fast, slowed to the others
    const double p0[3] = {0.0, 0.2, 3.0};
    const double v0[3] = {0.0, 0.5, 0.0};
    Trapezoid out[3];
    const std::uint64_t cycles = damiao::plan_move(axes, p0, v0, 3, 0.0, period, out);
    // Axis 0 is the slowest: 0.2 s ramps (0.2 rad each), 0.3 s cruise.
    EXPECT_EQ(cycles, 350u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(out[i].duration(), 0.7, 1e-9) << i;
        double last = p0[i], before = p0[i] - v0[i] * period, p = 0.0, v = 0.0;
        for (std::uint64_t k = 1; k <= cycles; ++k) {
            out[i].sample(static_cast<double>(k) * period, p, v);
            EXPECT_LE(std::fabs(p - last), axes[i].velocity * period + 1e-12) << i << " cycle " << k;
            EXPECT_LE(std::fabs(p - 2 * last + before), axes[i].accel * period * period + 1e-9) << i << " cycle " << k;
            before = last;
            last = p;
        }
        EXPECT_EQ(last, axes[i].target) << i;
    }
    // A longer duration stretches every axis; no motion at all takes one cycle.
    EXPECT_EQ(damiao::plan_move(axes, p0, v0, 3, 1.0, period, out), 500u);
    const double here[3] = {1.0, -0.1, 3.0};
    const double still[3] = {0.0, 0.0, 0.0};
    EXPECT_EQ(damiao::plan_move(axes, here, still, 3, 0.0, period, out), 1u);
}

TEST(Move, AxisAndDurationRefusals) {
    struct Row {
        double target, velocity, accel;
        const char* want;
    };
    const Row rows[] = {
        {std::nan(""), 1.0, 1.0, "target must be finite, got nan"},
        {0.0, 0.0, 1.0, "velocity_limit must be above 0, got 0"},
        {0.0, -1.0, 1.0, "velocity_limit must be above 0, got -1"},
        {0.0, 1.0, kInf, "accel_limit must be finite and above 0, got inf"},
        {0.0, 1.0, 0.0, "accel_limit must be finite and above 0, got 0"},
        {0.0, kInf, 1.0, ""},
    };
    for (const Row& r : rows) {
        MoveAxis a;
        a.target = r.target, a.velocity = r.velocity, a.accel = r.accel;
        EXPECT_EQ(damiao::move_axis_fault(a), r.want);
    }
    EXPECT_EQ(damiao::move_duration_fault(-1.0), "duration must be finite and not negative, got -1");
    EXPECT_EQ(damiao::move_duration_fault(kInf), "duration must be finite and not negative, got inf");
    EXPECT_EQ(damiao::move_duration_fault(0.0), "");
}

TEST(Move, EachKindsSetpointAtOneInstant) {
    // At 0.5 rad moving at -2 rad/s, with a speed floor of 0.1 (and of 3,
    // above the speed), gains 20 / 1 and current 0.4 where the kind has them.
    struct Row {
        std::uint8_t mode;
        double floor;
        std::vector<float> want;
    };
    const Row rows[] = {
        {1, 0.1, {0.5f, -2.0f, 20.0f, 1.0f, 0.0f}},  // MIT: position, velocity, gains, no torque
        {2, 0.1, {0.5f, 2.0f}},                      // POS_VEL: |v| as the speed limit
        {2, 3.0, {0.5f, 3.0f}},                      // ... never below the floor
        {3, 0.1, {-2.0f}},                           // VEL: the velocity
        {4, 0.1, {0.5f, 2.0f, 0.4f}},                // FORCE_POS: position, speed, current
    };
    for (const Row& r : rows) {
        MoveAxis a;
        a.kind = damiao::kind_of_mode(r.mode);
        a.kp = 20.0f, a.kd = 1.0f, a.current = 0.4f;
        damiao::Setpoint s = damiao::move_base(a);
        damiao::move_motion(s, 0.5, -2.0, r.floor);
        EXPECT_EQ(s.kind, a.kind);
        EXPECT_EQ(std::vector<float>(s.values.begin(), s.values.begin() + r.want.size()), r.want)
            << "mode " << int{r.mode} << ", floor " << r.floor;
    }
}

TEST(Move, EachKindsBlendAtOneInstant) {
    // A quarter of the way from 0.2 rad measured at 1 rad/s, the weight
    // rising at 2 a second: positions a quarter of the way, MIT's velocity
    // the target's share plus the blend's own (0.8 rad x 2 /s), VEL's
    // velocity a quarter of the way from the measured one; speed limits,
    // gains, torque and current as set. At weight 1, the target itself.
    struct Row {
        std::uint8_t mode;
        double s;
        std::vector<float> target, want;
    };
    const Row rows[] = {
        {1, 0.25, {1.0f, 0.5f, 20.0f, 1.0f, 0.3f}, {0.4f, 1.725f, 20.0f, 1.0f, 0.3f}},
        {1, 1.0, {1.0f, 0.5f, 20.0f, 1.0f, 0.3f}, {1.0f, 0.5f, 20.0f, 1.0f, 0.3f}},
        {2, 0.25, {1.0f, 3.0f}, {0.4f, 3.0f}},
        {3, 0.25, {2.0f}, {1.25f}},
        {4, 0.25, {1.0f, 3.0f, 0.5f}, {0.4f, 3.0f, 0.5f}},
        {1, 0.0, {kInfF, 0.5f, 20.0f, 1.0f, 0.3f}, {kInfF, 0.5f, 20.0f, 1.0f, 0.3f}},  // saturated: not blended
    };
    for (const Row& r : rows) {
        damiao::Setpoint target;
        target.kind = damiao::kind_of_mode(r.mode);
        std::copy(r.target.begin(), r.target.end(), target.values.begin());
        const damiao::Setpoint got = damiao::blend_setpoint(target, 0.2, 1.0, r.s, 2.0);
        EXPECT_EQ(got.kind, target.kind);
        for (std::size_t f = 0; f < r.want.size(); ++f) {
            EXPECT_FLOAT_EQ(got.values[f], r.want[f]) << "mode " << int{r.mode} << ", s " << r.s << ", field " << f;
        }
    }
}

// A frame whose motion fields alone are rewritten is byte for byte the
// frame made whole: every kind, values the wire clamps or saturates, and an
// MIT command whose first seven bytes would all be 0xFF (a special command).
TEST(Move, MotionRewrittenIsTheWholeCommand) {
    damiao::mit::MitLimits limits;
    struct Row {
        std::uint8_t mode;
        std::vector<float> before, after;
    };
    const float p = limits.p_max, v = limits.v_max, kp = limits.kp_max, kd = limits.kd_max, t = limits.t_max;
    const Row rows[] = {
        {1, {0.0f, 0.0f, 20.0f, 1.0f, 0.3f}, {0.7f, -1.5f, 20.0f, 1.0f, 0.3f}},
        {1, {0.0f, 0.0f, 20.0f, 1.0f, 0.3f}, {kInfF, -kInfF, 20.0f, 1.0f, 0.3f}},
        {1, {0.0f, 0.0f, kp, kd, t}, {p, v, kp, kd, t}},  // all 0xFF but the last: one step lower
        {1, {p, v, kp, kd, t}, {0.0f, v, kp, kd, t}},
        {2, {0.0f, 1.0f}, {-3.25f, 0.125f}},
        {3, {0.0f}, {-7.5f}},
        {4, {0.0f, 1.0f, 0.4f}, {2.5f, 0.333f, 0.4f}},
        {4, {0.0f, 1.0f, 0.4f}, {2.5f, 250.0f, 0.4f}},  // the speed clamped to its field's range
    };
    for (const Row& r : rows) {
        damiao::Setpoint before, after;
        before.kind = after.kind = damiao::kind_of_mode(r.mode);
        std::copy(r.before.begin(), r.before.end(), before.values.begin());
        std::copy(r.after.begin(), r.after.end(), after.values.begin());
        CanFrame frame = damiao::make_control(3, limits, before).value();
        damiao::write_motion(frame, limits, after);
        EXPECT_EQ(show(frame), show(damiao::make_control(3, limits, after).value())) << "mode " << int{r.mode};
    }
}

// A move's writer gives, for a position and a velocity, the frame made
// whole from move_motion's setpoint clamped into the joint limits: inside
// them, past them, past the codec's range (MIT saturates), and a speed
// limit at its floor.
TEST(Move, AWritersFrameIsTheWholeClampedCommand) {
    damiao::mit::MitLimits limits;
    damiao::JointLimits joint;
    joint.q_min = -1.0f, joint.q_max = 20.0f, joint.dq_max = 40.0f;
    struct Row {
        std::uint8_t mode;
        double p, v;
    };
    const Row rows[] = {{1, 0.3, -0.7}, {1, -3.0, 50.0}, {1, 15.0, -45.0}, {1, 12.5, 30.0}, {2, 0.3, -0.7},
                        {2, -3.0, 0.001}, {2, 25.0, 45.0}, {3, 0.0, -41.0}, {4, 0.4, 0.2}, {4, 30.0, 90.0}};
    for (const Row& r : rows) {
        for (const bool bounded : {false, true}) {
            MoveAxis a;
            a.kind = damiao::kind_of_mode(r.mode);
            a.kp = 20.0f, a.kd = 1.0f, a.current = 0.4f;
            damiao::Setpoint s = damiao::move_base(a);
            damiao::move_motion(s, 0.0, 0.0, 0.05);
            CanFrame frame = damiao::make_control(3, limits, s).value();
            const damiao::FieldBounds bounds = damiao::field_bounds(joint, a.kind);
            damiao::MotionWriter(a.kind, limits, bounded ? &bounds : nullptr).write(frame, r.p, r.v, 0.05);
            damiao::move_motion(s, r.p, r.v, 0.05);
            if (bounded) damiao::clamp(s, bounds);
            EXPECT_EQ(show(frame), show(damiao::make_control(3, limits, s).value()))
                << "mode " << int{r.mode} << " at " << r.p << ", " << r.v << (bounded ? ", bounded" : "");
        }
    }
}

// ------------------------------------------------------------ on the wire

float f32_at(const CanFrame& f, std::size_t at) {
    float v = 0.0f;
    std::memcpy(&v, f.data.data() + at, 4);
    return v;
}

// The MIT command's position, decoded from its 16 bits over +-12.5 rad.
double mit_q(const CanFrame& f) { return (f.data[0] << 8 | f.data[1]) * 25.0 / 65535.0 - 12.5; }

// Member 0 (motor 1) in POS_VEL, member 1 (motor 2) in MIT; both report
// 0 rad. Commands as the loop sent them, cycle by cycle from the move's.
struct MoveRun {
    std::vector<double> q0, q1;    // POS_VEL's position, MIT's (decoded)
    std::vector<float> speed0;     // POS_VEL's speed limit
};

MoveRun commands_since(LoopRig& rig, std::size_t from) {
    MoveRun r;
    const std::vector<CanFrame> sent = rig.sent_frames();
    for (std::size_t k = from; k < sent.size(); ++k) {
        const CanFrame& f = sent[k];
        if (f.id.value == 0x101) {
            r.q0.push_back(f32_at(f, 0));
            r.speed0.push_back(f32_at(f, 4));
        } else if (f.id.value == 0x002) {
            r.q1.push_back(mit_q(f));
        }
    }
    return r;
}

MoveRequest request(double q0, double q1, double vmax, double amax) {
    MoveRequest m;
    m.axes.resize(2);
    m.axes[0].kind = damiao::kind_of_mode(2);
    m.axes[0].target = q0;
    m.axes[1].target = q1;
    m.axes[1].kp = 20.0f;
    for (MoveAxis& a : m.axes) a.velocity = vmax, a.accel = amax;
    return m;
}

TEST(ControlLoopMove, LimitedCoordinatedAndHeldAtTheTarget) {
    LoopRig rig;
    std::unique_ptr<ControlLoop> loop = rig.loop(5);
    rig.start(*loop);
    const std::size_t from = rig.sent_frames().size();
    const damiao::mit::MotorState here = *loop->states()[0];
    const double vmax = 2.0, amax = 100.0, period = 0.001;
    auto id = loop->move(request(0.3, -0.1, vmax, amax));
    ASSERT_TRUE(id.ok());
    EXPECT_EQ(loop->move_state(id.value()), MoveState::Running);
    // Member 0 is the slowest: 0.02 s ramps (0.02 rad each), 0.13 s cruise:
    // 170 cycles. The hold time (5 ms) does not run while it moves.
    rig.cycles(*loop, 169);
    EXPECT_EQ(loop->move_state(id.value()), MoveState::Running);
    rig.cycles(*loop, 1);
    ASSERT_TRUE(loop->running()) << loop->error().value_or("");
    EXPECT_EQ(loop->move_state(id.value()), MoveState::Arrived);
    const MoveRun r = commands_since(rig, from);
    ASSERT_EQ(r.q0.size(), 170u);
    ASSERT_EQ(r.q1.size(), 170u);
    const double quantum = 25.0 / 65535.0;
    // Each member's commands start from where it was measured (a step off
    // 0 rad, at a step off 0 rad/s).
    double l0 = here.position, b0 = l0 - here.velocity * period, l1 = l0, b1 = b0;
    for (std::size_t k = 0; k < 170; ++k) {
        EXPECT_LE(std::fabs(r.q0[k] - l0), vmax * period + 1e-6) << k;
        EXPECT_LE(std::fabs(r.q0[k] - 2 * l0 + b0), amax * period * period + 1e-6) << k;
        EXPECT_LE(std::fabs(r.q1[k] - l1), vmax * period + quantum) << k;
        EXPECT_LE(std::fabs(r.q1[k] - 2 * l1 + b1), amax * period * period + 2 * quantum) << k;
        EXPECT_GE(r.speed0[k], static_cast<float>(amax * period) * 0.999f) << k;  // never told speed 0
        b0 = l0, l0 = r.q0[k], b1 = l1, l1 = r.q1[k];
    }
    // Both arrive at the last cycle, not before.
    EXPECT_EQ(r.q0.back(), 0.3f);
    EXPECT_NEAR(r.q1.back(), -0.1, quantum);
    EXPECT_GT(std::fabs(r.q0[168] - 0.3), 1e-6);
    // Then the target is held, until the hold time runs out from the arrival.
    rig.cycles(*loop, 3);
    const std::vector<damiao::Setpoint> held = {{damiao::kind_of_mode(2), {0.3f, static_cast<float>(amax * period)}},
                                                damiao::from_mit({-0.1f, 0.0f, 20.0f, 0.0f, 0.0f})};
    EXPECT_EQ(rig.last(2), texts(rig.group.control(held).value()));
    rig.cycles(*loop, 10);
    EXPECT_FALSE(loop->running());
    EXPECT_EQ(loop->error().value_or("").rfind("no setpoint for 5 ms", 0), 0u) << loop->error().value_or("");
}

TEST(ControlLoopMove, ASetCancelsAndBlendsFromTheMeasuredPosition) {
    LoopRig rig;
    std::unique_ptr<ControlLoop> loop = rig.loop(60000, true, 10);
    rig.start(*loop);
    auto id = loop->move(request(1.0, 1.0, 1.0, 10.0));
    ASSERT_TRUE(id.ok());
    rig.cycles(*loop, 5);
    // A set mid-move cancels it; with a blend of 10 ms it is blended in
    // from the measured position (0 rad) over 10 cycles, then sent as is.
    const std::vector<damiao::Setpoint> sp = {{damiao::kind_of_mode(2), {0.5f, 3.0f}},
                                              damiao::from_mit({0.5f, 0.0f, 20.0f, 1.0f, 0.0f})};
    loop->set(rig.group.control(sp).value(), sp);
    const std::size_t from = rig.sent_frames().size();
    const float here = loop->states()[0]->position;
    rig.cycles(*loop, 13);
    EXPECT_EQ(loop->move_state(id.value()), MoveState::Cancelled);
    const MoveRun r = commands_since(rig, from);
    ASSERT_EQ(r.q0.size(), 13u);
    EXPECT_EQ(r.q0[0], here);
    EXPECT_NEAR(r.q1[0], here, 25.0 / 65535.0);
    for (std::size_t k = 1; k < 13; ++k) {
        EXPECT_GE(r.q0[k], r.q0[k - 1]) << k;  // towards the target, never past it
        EXPECT_LE(r.q0[k], 0.5f) << k;
        EXPECT_EQ(r.speed0[k], 3.0f) << k;  // a speed limit is not blended
    }
    EXPECT_LT(r.q0[9], 0.5f);
    for (std::size_t k = 10; k < 13; ++k) EXPECT_EQ(r.q0[k], 0.5f) << k;
    EXPECT_NEAR(r.q1[12], 0.5, 25.0 / 65535.0);
    loop->stop();
}

TEST(ControlLoopMove, RefusalsSendNothing) {
    damiao::JointLimits joint;
    joint.q_min = -1.0f;
    joint.q_max = 1.0f;
    LoopRig rig(joint);
    std::unique_ptr<ControlLoop> loop = rig.loop(60000);
    rig.start(*loop);
    struct Row {
        double q0, q1;
        float kp1;
        std::size_t member;
        const char* want;
    };
    const Row rows[] = {
        {1.5, 0.0, 20.0f, 0, "target 1.5 is outside the joint limits [-1, 1]"},
        {0.5, 0.0, std::nanf(""), 1, "an MIT move needs kp: give one, or set an MIT setpoint with one first"},
        {0.5, 0.0, 0.0f, 1, "an MIT move needs kp above 0, got 0"},
        {std::nan(""), 0.0, 20.0f, 0, "target must be finite, got nan"},
    };
    for (const Row& row : rows) {
        MoveRequest m = request(row.q0, row.q1, 1.0, 1.0);
        m.axes[1].kp = row.kp1;
        auto id = loop->move(m);
        ASSERT_FALSE(id.ok()) << row.want;
        EXPECT_EQ(id.error().member, row.member) << row.want;
        EXPECT_NE(id.error().error.message().find(row.want), std::string::npos) << id.error().error.message();
    }
    // Nothing set: the loop still refreshes.
    rig.cycles(*loop, 2);
    EXPECT_EQ(rig.last(2), texts(rig.group.refresh()));
    loop->stop();
}

}  // namespace
}  // namespace rotalink::test
