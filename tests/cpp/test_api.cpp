// The C++ face: its refusals carry the Python module's messages word for
// word (the same cases as the Python tests), send nothing, and its scope and
// loop drive a bus as the module's do.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/access.hpp"
#include "f32_reference.hpp"
#include "pair_bus.hpp"
#include "refusals.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace {

using namespace rotalink;

const float kNan = std::nanf("");
const float kInf = INFINITY;

using rotalink::testing::PairBus;
using rotalink::testing::pair_bus;

bool nothing_sent(int peer) {
    can_frame f;
    return ::recv(peer, &f, sizeof f, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// The error of a result, or none.
template <class T>
std::optional<Error> error_of(const Result<T>& r) {
    if (r.ok()) return std::nullopt;
    return r.error();
}

// A refusal of the C++ face: the call, and the key of its message in the
// table both faces share.
struct Refusal {
    const char* key;
    std::function<std::optional<Error>()> call;
    Error::Kind kind;
};

TEST(Api, RefusalsCarryThePythonMessagesAndSendNothing) {
    const PairBus p = pair_bus();
    const SocketCanTransport& bus = p.bus;
    const Damiao m1(1, 0x11);
    const Result<MotorGroup> clashing = MotorGroup::make({{bus, Damiao(0x61, 0x71)}, {bus, Damiao(0x62, 0x161)}});
    ASSERT_TRUE(clashing.ok());
    const MotorGroup& g = clashing.value();
    MitLimits zero_torque;
    zero_torque.t_max = 0.0f;
    MitLimits infinite_position;
    infinite_position.p_max = kInf;
    GroupOptions no_watchdog;
    no_watchdog.watchdog = std::chrono::milliseconds(0);
    GroupOptions long_disable;
    long_disable.disable_timeout = std::chrono::milliseconds(60001);
    LoopOptions no_hold;
    no_hold.hold = std::chrono::milliseconds(0);
    LoopOptions priority_100;
    priority_100.priority = 100;
    LoopOptions cpu_minus_1;
    cpu_minus_1.cpu = -1;
    LoopOptions long_blend;
    long_blend.blend = std::chrono::milliseconds(60001);
    const Damiao past_range(0x800, 0x10);
    using K = Error::Kind;
    const std::vector<Refusal> table = {
        {"vel-id-past-range", [&] { return error_of(Damiao(0x600, 0x70).vel_control(bus, VelSetpoint{1.0f})); },
         K::InvalidArgument},
        {"pos-vel-nan", [&] { return error_of(m1.pos_vel_control(bus, PosVelSetpoint{kNan, 0.0f})); },
         K::InvalidArgument},
        {"no-such-mode", [&] { return error_of(m1.ensure_mode(bus, static_cast<ControlMode>(5))); },
         K::InvalidArgument},
        {"mode-id-is-reply-id", [&] { return error_of(g.control({PosVelSetpoint{}, MitSetpoint{}})); },
         K::InvalidArgument},
        {"force-pos-nan-in-group",
         [&] { return error_of(g.control({MitSetpoint{}, ForcePosSetpoint{0.0f, 0.0f, kNan}})); }, K::InvalidArgument},
        {"modes-per-member", [&] { return error_of(g.ensure_mode(std::vector<ControlMode>{ControlMode::MIT})); },
         K::InvalidArgument},
        {"setpoints-per-member", [&] { return error_of(g.control({MitSetpoint{}})); }, K::InvalidArgument},
        {"mit-nan", [&] { return error_of(m1.mit_control(bus, MitSetpoint{kNan})); }, K::InvalidArgument},
        // as the member's single command says
        {"group-mit-nan", [&] { return error_of(g.mit_control({MitSetpoint{}, MitSetpoint{0, 0, 0, 0, kNan}})); },
         K::InvalidArgument},
        {"hold-nan-gain", [&] { return error_of(g.hold(kNan, 1.0f)); }, K::InvalidArgument},
        {"torque-range-zero",
         [&] { return error_of(Damiao(3, 0x13, zero_torque).mit_control(bus, MitSetpoint{})); }, K::InvalidArgument},
        {"position-range-inf-in-group",
         [&] {
             const Result<MotorGroup> one = MotorGroup::make({{bus, Damiao(3, 0x13, infinite_position)}});
             return error_of(one.value().control({MitSetpoint{}}));
         },
         K::InvalidArgument},
        {"no-members", [&] { return error_of(MotorGroup::make({})); }, K::InvalidArgument},
        {"watchdog-zero", [&] { return error_of(MotorGroup::make({{bus, m1}}, no_watchdog)); }, K::InvalidArgument},
        {"disable-timeout-long", [&] { return error_of(MotorGroup::make({{bus, m1}}, long_disable)); },
         K::InvalidArgument},
        {"shared-reply-id", [&] { return error_of(MotorGroup::make({{bus, m1}, {bus, Damiao(2, 0x11)}})); },
         K::InvalidArgument},
        {"register-id-member", [&] { return error_of(MotorGroup::make({{bus, m1}, {bus, Damiao(0x7FF, 0x12)}})); },
         K::InvalidArgument},
        {"joint-limits-crossed", [&] { return error_of(JointLimits::make(1.0f, 0.0f)); }, K::InvalidArgument},
        {"joint-speed-negative", [&] { return error_of(JointLimits::make(-kInf, kInf, -1.0f)); },
         K::InvalidArgument},
        {"rate-zero", [&] { return error_of(g.start(0.0)); }, K::InvalidArgument},
        {"rate-period-overflows", [&] { return error_of(g.start(1e-300)); }, K::InvalidArgument},
        {"hold-zero", [&] { return error_of(g.start(100.0, no_hold)); }, K::InvalidArgument},
        {"priority-out-of-range", [&] { return error_of(g.start(100.0, priority_100)); }, K::InvalidArgument},
        {"cpu-out-of-range", [&] { return error_of(g.start(100.0, cpu_minus_1)); }, K::InvalidArgument},
        {"blend-range", [&] { return error_of(g.start(100.0, long_blend)); }, K::InvalidArgument},
        {"register-past-table", [&] { return error_of(m1.read_register(bus, static_cast<Register>(37))); },
         K::Device},
        {"register-nan", [&] { return error_of(m1.write_register(bus, Register::PMAX, kNan)); }, K::InvalidArgument},
        // Identifiers past 0x7FF: every command of such a motor, and a group
        // member with one, refused rather than sent to the low 11 bits.
        {"motor-id-past-range", [&] { return error_of(past_range.enable(bus)); }, K::InvalidArgument},
        {"motor-id-past-range", [&] { return error_of(past_range.mit_control(bus, MitSetpoint{})); },
         K::InvalidArgument},
        {"motor-id-past-range", [&] { return error_of(past_range.read_register(bus, Register::PMAX)); },
         K::InvalidArgument},
        {"motor-id-past-range", [&] { return error_of(past_range.write_register(bus, Register::PMAX, 1.0f)); },
         K::InvalidArgument},
        {"motor-id-past-range", [&] { return error_of(past_range.save_parameters(bus)); }, K::InvalidArgument},
        {"motor-id-past-range", [&] { return error_of(past_range.ensure_mode(bus, ControlMode::VEL)); },
         K::InvalidArgument},
        {"master-id-past-range", [&] { return error_of(MotorGroup::make({{bus, Damiao(1, 0x900)}})); },
         K::InvalidArgument},
    };
    for (const Refusal& row : table) {
        const std::optional<Error> e = row.call();
        ASSERT_TRUE(e.has_value()) << row.key;
        EXPECT_EQ(e->message(), rotalink::testing::refusal(row.key)) << row.key;
        EXPECT_EQ(e->kind(), row.kind) << row.key;
    }
    EXPECT_TRUE(nothing_sent(p.peer));
    ::close(p.peer);
}

TEST(Api, ValuesAndMisuse) {
    const Result<MitLimits> dm4340 = preset("dm4340");
    ASSERT_TRUE(dm4340.ok());
    EXPECT_EQ(dm4340.value().t_max, 28.0f);
    EXPECT_EQ(preset("DM3507").value().p_max, 12.566f);
    const Result<MitLimits> none = preset("DM1");
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().message().rfind("no motor model is called 'DM1'; the models are DM3507, DM4310,", 0), 0u);
    EXPECT_EQ(preset_names().size(), 15u);
    EXPECT_STREQ(register_name(Register::KP_APR), "KP_APR");
    EXPECT_TRUE(register_is_float(Register::PMAX));
    EXPECT_FALSE(register_writable(Register::sw_ver));
    EXPECT_EQ(status_name(14), "OVERLOAD");
    EXPECT_EQ(status_name(5), "5");
    EXPECT_EQ(id_offset(ControlMode::FORCE_POS), 0x300);
    // Reading the side a result does not hold is a fault, thrown.
    EXPECT_ANY_THROW((void)Result<int>(err(Error(Error::Kind::Device, "x"))).value());
    EXPECT_ANY_THROW((void)Result<int>(1).error());
}

// Answers every classic frame to identifier 1..15, and every refresh of
// motors 1..15, from the motor's identifier + 0x10 with feedback whose status follows the commands: ENABLED after an
// enable, DISABLED after a disable (or `fault` for motor `faulty`). Records
// "001 FC" (identifier and last data byte) for each command, and the raw
// position of each MIT command per motor.
class Responder {
public:
    explicit Responder(int peer, int faulty = 0, std::uint8_t fault = 0)
        : peer_(peer), faulty_(faulty), fault_(fault), thread_([this] { run(); }) {}
    ~Responder() { stop(); }
    void stop() {
        if (!thread_.joinable()) return;
        done_ = true;
        thread_.join();
        ::close(peer_);
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    std::vector<std::uint16_t> mit_q(unsigned id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return mit_q_[id];
    }

private:
    void run() {
        std::uint8_t status[16] = {};
        while (!done_) {
            pollfd pfd{peer_, POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0) continue;
            can_frame f{};
            if (::recv(peer_, &f, sizeof f, 0) < static_cast<ssize_t>(sizeof f)) continue;
            unsigned id = f.can_id & CAN_SFF_MASK;
            const bool refresh = id == 0x7FF && f.data[2] == 0xCC;  // a refresh names its motor
            if (refresh) id = f.data[0] | f.data[1] << 8;
            if (id == 0 || id > 15) continue;
            const std::uint8_t last = refresh ? 0 : f.data[7];
            if (last == 0xFC) status[id] = static_cast<int>(id) == faulty_ ? fault_ : 1;
            if (last == 0xFD) status[id] = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                char entry[16];
                std::snprintf(entry, sizeof entry, "%03x %02X", id, last);
                if (!refresh) log_.push_back(last >= 0xFC ? entry : std::string(entry, 3) + " cmd");
                const bool special = std::all_of(f.data, f.data + 7, [](std::uint8_t b) { return b == 0xFF; });
                if (!refresh && !special) mit_q_[id].push_back(static_cast<std::uint16_t>(f.data[0] << 8 | f.data[1]));
            }
            can_frame r{};
            r.can_id = id + 0x10;
            r.can_dlc = 8;
            r.data[0] = static_cast<std::uint8_t>(status[id] << 4 | id);
            r.data[1] = 0x80;  // position 0
            r.data[3] = 0x80;  // velocity and torque 0
            r.data[4] = 0x08;
            r.data[5] = 0x00;
            ::send(peer_, &r, sizeof r, 0);
        }
    }

    int peer_;
    int faulty_;
    std::uint8_t fault_;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::vector<std::string> log_;
    std::vector<std::uint16_t> mit_q_[16];
    std::thread thread_;
};

// Time-outs that a responder thread keeps on a loaded machine.
GroupOptions patient() {
    GroupOptions o;
    o.timeout = std::chrono::milliseconds(500);
    return o;
}

TEST(Api, ScopeEnablesEveryMemberAndItsEndDisablesEach) {
    const PairBus p = pair_bus();
    Responder responder(p.peer);
    const Result<MotorGroup> g = MotorGroup::make({{p.bus, Damiao(1, 0x11)}, {p.bus, Damiao(2, 0x12)}}, patient());
    ASSERT_TRUE(g.ok());
    {
        Result<GroupScope> scope = g.value().scope();
        ASSERT_TRUE(scope.ok()) << scope.error().message();
        ASSERT_EQ(scope.value().enabled().size(), 2u);
        EXPECT_EQ(scope.value().enabled()[1].error, static_cast<std::uint8_t>(Status::ENABLED));
        // Moved, it disables once, at the end of the one that holds it.
        GroupScope held = std::move(scope).value();
        EXPECT_EQ(held.group().size(), 2u);
    }
    responder.stop();
    EXPECT_EQ(responder.log(), (std::vector<std::string>{"001 FC", "002 FC", "001 FD", "002 FD"}));
}

TEST(Api, ScopeWithAMemberThatAnswersWithAFaultFailsAndDisablesEveryMember) {
    const PairBus p = pair_bus();
    Responder responder(p.peer, 2, 14);
    const Result<MotorGroup> g = MotorGroup::make({{p.bus, Damiao(1, 0x11)}, {p.bus, Damiao(2, 0x12)}}, patient());
    const Result<GroupScope> scope = g.value().scope();
    ASSERT_FALSE(scope.ok());
    EXPECT_EQ(scope.error().kind(), Error::Kind::Group);
    EXPECT_EQ(scope.error().message(), "1 of 2 members failed; member 1 (motor_id=0x2): answered the enable with OVERLOAD");
    responder.stop();
    EXPECT_EQ(responder.log(), (std::vector<std::string>{"001 FC", "002 FC", "001 FD", "002 FD"}));
}

TEST(Api, LoopInAScopeRunsCyclesAndRefusesTheGroupsOwnCommands) {
    const PairBus p = pair_bus();
    Responder responder(p.peer);
    const Result<MotorGroup> g = MotorGroup::make({{p.bus, Damiao(1, 0x11)}}, patient());
    Result<GroupScope> scope = g.value().scope();
    ASSERT_TRUE(scope.ok()) << scope.error().message();
    Result<ControlLoop> loop = g.value().start(200.0);
    ASSERT_TRUE(loop.ok()) << loop.error().message();
    EXPECT_EQ(g.value().refresh().error().message(), "control loop running");
    ASSERT_TRUE(loop.value().set({MitSetpoint{0.5f, 0, 1.0f, 0.1f, 0}}).ok());
    const auto states = loop.value().wait(std::chrono::seconds(5));
    ASSERT_TRUE(states.ok()) << states.error().message();
    ASSERT_TRUE(states.value()[0].has_value());
    EXPECT_TRUE(loop.value().stop().ok());
    EXPECT_FALSE(loop.value().running());
    EXPECT_GE(loop.value().stats().cycles, 1u);
    const auto after = loop.value().wait(std::chrono::milliseconds(10));
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(after.error().kind(), Error::Kind::LoopStopped);
    EXPECT_TRUE(scope.value().close().ok());
}

// The raw position of an MIT command to a DM4310 at q (velocity, torque 0).
std::uint16_t mit_raw_q(float q) {
    const float lim[5] = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
    const float sp[5] = {q, 0.0f, 0.0f, 0.0f, 0.0f};
    return static_cast<std::uint16_t>(test::f32ref::encode(lim, sp).raw.q);
}

// Moves of a group's loop in a scope (motor 1 free, motor 2 limited to
// [-1, 1]) and of a robot's loop (a shoulder on motor 3, geared 2, and a
// wrist on motor 4 limited to [0, 1.2]). A row that
// arrives: its motor's commanded positions climb from where it is (the
// responder says 0) to the target, never jumping there, and the loop holds
// the target after the arrival. A row cancelled: a set() ends it. A row
// refused: its message, and the loop runs on.
TEST(Api, MovesArriveAndHoldOrAreCancelledBySetOrRefused) {
    const PairBus p = pair_bus();
    Responder responder(p.peer);
    const Result<MotorGroup> g = MotorGroup::make(
        {{p.bus, Damiao(1, 0x11)}, {p.bus, Damiao(2, 0x12), JointLimits{-1.0f, 1.0f}}}, patient());
    Result<GroupScope> scope = g.value().scope();
    ASSERT_TRUE(scope.ok()) << scope.error().message();
    LoopOptions lo;
    lo.hold = std::chrono::milliseconds(5000);
    Result<ControlLoop> started = g.value().start(200.0, lo);
    ASSERT_TRUE(started.ok()) << started.error().message();
    ControlLoop& loop = started.value();
    const std::vector<Setpoint> rest = {MitSetpoint{0, 0, 20.0f, 0.5f, 0}, MitSetpoint{0, 0, 20.0f, 0.5f, 0}};
    ASSERT_TRUE(loop.set(rest).ok());  // the gains of a move that gives none
    const Joint shoulder{"shoulder", p.bus, Damiao(3, 0x13), 1, 0.0, 2.0, ControlMode::MIT,
                         JointLimits{-1.5f, 1.5f}, 20.0, 0.5};
    const Joint wrist{"wrist", p.bus, Damiao(4, 0x14), 1, 0.0, 1.0, ControlMode::MIT, JointLimits{0.0f, 1.2f}, 20.0, 0.5};
    const Result<Robot> robot = Robot::make({shoulder, wrist}, patient());
    Result<RobotLoop> robot_started = robot.value().start(200.0, lo);
    ASSERT_TRUE(robot_started.ok()) << robot_started.error().message();
    RobotLoop& arm = robot_started.value();

    auto options = [](std::vector<double> v, std::vector<double> a, std::vector<double> kp, std::optional<double> d) {
        MoveOptions o;
        o.velocity_limit = std::move(v);
        o.accel_limit = std::move(a);
        o.kp = std::move(kp);
        o.duration = d;
        return o;
    };
    const double nan = std::nan("");
    const std::vector<double> wrist_past = {0.0, 2.0};
    enum class Then { Arrives, CancelledBySet, Refused };
    struct Row {
        const char* what;  // a refusal's key in the table of refusals
        std::function<Result<Move>()> call;
        Then then;
        unsigned motor = 0;  // arriving: the motor watched, and its target
        float target = 0;
    };
    const std::vector<Row> table = {
        {"gains of the latest set", [&] { return loop.move_to({0.5, -0.5}, options({}, {20.0}, {}, {})); },
         Then::Arrives, 1, 0.5f},
        {"limits per member and a duration", [&] { return loop.move_to({0.3, 0.2}, options({1.0, 2.0}, {}, {30.0}, 0.6)); },
         Then::Arrives, 1, 0.3f},
        {"a robot's joints, in joint units",
         [&] {
             JointMoveOptions o;
             o.accel_limit = 10.0;
             return arm.move_to(0.25, o);
         },
         Then::Arrives, 3, 0.5f},
        {"slow", [&] { return loop.move_to({2.0, 0.5}, options({0.1}, {}, {}, {})); }, Then::CancelledBySet},
        {"move-targets-per-member", [&] { return loop.move_to({0.5}); }, Then::Refused},
        {"move-values-length", [&] { return loop.move_to({0.5, 0.5}, options({1, 2, 3}, {}, {}, {})); },
         Then::Refused},
        {"move-gain-nan", [&] { return loop.move_to({0.5, 0.5}, options({}, {}, {20.0, nan}, {})); }, Then::Refused},
        {"move-duration-negative", [&] { return loop.move_to({0.5, 0.5}, options({}, {}, {}, -1.0)); },
         Then::Refused},
        {"move-velocity-zero", [&] { return loop.move_to({0.5, 0.5}, options({1.0, 0.0}, {}, {}, {})); }, Then::Refused},
        {"move-outside-limits", [&] { return loop.move_to({0.5, 1.5}); }, Then::Refused},
        {"joint-move-outside-limits", [&] { return arm.move_to(wrist_past); }, Then::Refused},
    };
    for (const Row& row : table) {
        // Each row from rest: the group's members held at 0 for two cycles.
        ASSERT_TRUE(loop.set(rest).ok());
        for (int n = 0; n < 2; ++n) ASSERT_TRUE(loop.wait(std::chrono::seconds(5)).ok());
        const std::size_t before = row.motor ? responder.mit_q(row.motor).size() : 0;
        Result<Move> move = row.call();
        if (row.then == Then::Refused) {
            ASSERT_FALSE(move.ok()) << row.what;
            EXPECT_EQ(move.error().message(), rotalink::testing::refusal(row.what));
            EXPECT_EQ(move.error().kind(), Error::Kind::InvalidArgument) << row.what;
            continue;
        }
        ASSERT_TRUE(move.ok()) << row.what << ": " << move.error().message();
        if (row.then == Then::CancelledBySet) {
            ASSERT_TRUE(loop.set(rest).ok());
        }
        const Result<bool> arrived = move.value().wait(std::chrono::seconds(10));
        ASSERT_TRUE(arrived.ok()) << row.what << ": " << arrived.error().message();
        EXPECT_EQ(arrived.value(), row.then == Then::Arrives) << row.what;
        EXPECT_EQ(move.value().done(), row.then == Then::Arrives) << row.what;
        EXPECT_EQ(move.value().cancelled(), row.then == Then::CancelledBySet) << row.what;
        if (row.then != Then::Arrives) continue;
        ControlLoop& moved = row.motor == 3 ? arm.loop() : loop;
        for (int n = 0; n < 3; ++n) ASSERT_TRUE(moved.wait(std::chrono::seconds(5)).ok());
        const std::vector<std::uint16_t> all = responder.mit_q(row.motor);
        const std::vector<std::uint16_t> q(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        const std::uint16_t target = mit_raw_q(row.target);
        const auto first_moving = std::find_if(q.begin(), q.end(), [&](std::uint16_t r) { return r > q.front(); });
        ASSERT_NE(first_moving, q.end()) << row.what;
        EXPECT_LE(*first_moving - mit_raw_q(0.0f), 8 * (target - mit_raw_q(0.0f)) / 100) << row.what << ": a jump";
        EXPECT_TRUE(std::is_sorted(q.begin(), q.end())) << row.what;
        ASSERT_GE(q.size(), 3u) << row.what;
        EXPECT_EQ(std::vector<std::uint16_t>(q.end() - 3, q.end()), std::vector<std::uint16_t>(3, target)) << row.what;
    }
    // A robot's loop blends its first set() after a move in (200 ms unless
    // told): from where the joint is measured, not a jump to the command.
    const std::size_t before = responder.mit_q(3).size();
    JointCommand c;
    c.q = 0.4;
    ASSERT_TRUE(arm.set(c).ok());
    for (int n = 0; n < 60; ++n) ASSERT_TRUE(arm.loop().wait(std::chrono::seconds(5)).ok());
    const std::vector<std::uint16_t> q3 = responder.mit_q(3);
    const auto blended = std::find_if(q3.begin() + static_cast<std::ptrdiff_t>(before), q3.end(),
                                      [&](std::uint16_t r) { return r != mit_raw_q(0.5f); });
    ASSERT_NE(blended, q3.end());
    EXPECT_LE(std::abs(*blended - mit_raw_q(0.0f)), 2);
    EXPECT_EQ(q3.back(), mit_raw_q(0.8f));
    // A move the loop's stop cuts short, and a move of a stopped loop.
    Result<Move> cut = loop.move_to({2.0, 0.5}, options({0.1}, {}, {}, {}));
    ASSERT_TRUE(cut.ok());
    EXPECT_TRUE(loop.stop().ok());
    const Result<bool> stopped = cut.value().wait(std::chrono::seconds(5));
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().kind(), Error::Kind::LoopStopped);
    EXPECT_TRUE(cut.value().cancelled());
    EXPECT_EQ(loop.move_to({0.0, 0.0}).error().kind(), Error::Kind::LoopStopped);
    EXPECT_TRUE(arm.loop().stop().ok());
    EXPECT_TRUE(scope.value().close().ok());
}

}  // namespace
