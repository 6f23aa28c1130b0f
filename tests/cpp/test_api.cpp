// The C++ face: its refusals carry the Python module's messages word for
// word (the same cases as the Python tests), send nothing, and its scope and
// loop drive a bus as the module's do.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "transport/socketcan_backend/socketcan.hpp"

namespace {

using namespace rotalink;

const float kNan = std::nanf("");
const float kInf = INFINITY;

// A bus over one end of a socket pair; the test holds the other.
struct PairBus {
    SocketCanTransport bus;
    int peer;
};

PairBus pair_bus() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    auto impl = std::make_shared<SocketCanTransport::Impl>(std::make_unique<transport::SocketCanTransport>(sv[0]));
    return {detail::Access::bus(impl), sv[1]};
}

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

struct Refusal {
    const char* what;
    std::function<std::optional<Error>()> call;
    Error::Kind kind;
    const char* message;
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
    using K = Error::Kind;
    const std::vector<Refusal> table = {
        {"VEL id past 0x7FF", [&] { return error_of(Damiao(0x600, 0x70).vel_control(bus, VelSetpoint{1.0f})); },
         K::InvalidArgument,
         "the VEL command identifier 0x800 (0x200 + motor_id 0x600) is past the standard range 0x7ff"},
        {"POS_VEL NaN", [&] { return error_of(m1.pos_vel_control(bus, PosVelSetpoint{kNan, 0.0f})); },
         K::InvalidArgument, "PosVelSetpoint.q must be finite, got NaN"},
        {"no such mode", [&] { return error_of(m1.ensure_mode(bus, static_cast<ControlMode>(5))); },
         K::InvalidArgument,
         "argument 'mode': 5 is not a control mode; the modes are MIT (1), POS_VEL (2), VEL (3) or FORCE_POS (4)"},
        {"mode id is a reply id",
         [&] { return error_of(g.control({PosVelSetpoint{}, MitSetpoint{}})); }, K::InvalidArgument,
         "member 0 (motor_id=0x61): the POS_VEL command identifier 0x161 of member 0 is the reply identifier of "
         "member 1 on the same bus"},
        {"FORCE_POS NaN in a group",
         [&] { return error_of(g.control({MitSetpoint{}, ForcePosSetpoint{0.0f, 0.0f, kNan}})); },
         K::InvalidArgument, "member 1 (motor_id=0x62): ForcePosSetpoint.current must be finite, got NaN"},
        {"modes per member", [&] { return error_of(g.ensure_mode(std::vector<ControlMode>{ControlMode::MIT})); },
         K::InvalidArgument, "expected 2 modes, one per member, got 1"},
        {"setpoints per member", [&] { return error_of(g.control({MitSetpoint{}})); }, K::InvalidArgument,
         "expected 2 setpoints, one per member, got 1"},
        {"MIT NaN", [&] { return error_of(m1.mit_control(bus, MitSetpoint{kNan})); }, K::InvalidArgument,
         "MitSetpoint.q must be a number, got NaN"},
        {"group MIT NaN, as the single command says",
         [&] { return error_of(g.mit_control({MitSetpoint{}, MitSetpoint{0, 0, 0, 0, kNan}})); }, K::InvalidArgument,
         "MitSetpoint.tau must be a number, got NaN"},
        {"hold NaN gain", [&] { return error_of(g.hold(kNan, 1.0f)); }, K::InvalidArgument,
         "member 0 (motor_id=0x61): MitSetpoint.kp must be a number, got NaN"},
        {"torque range 0", [&] { return error_of(Damiao(3, 0x13, zero_torque).mit_control(bus, MitSetpoint{})); },
         K::InvalidArgument, "MitLimits.t_max must be finite and non-zero, got 0"},
        {"position range inf in a group",
         [&] {
             const Result<MotorGroup> one = MotorGroup::make({{bus, Damiao(3, 0x13, infinite_position)}});
             return error_of(one.value().control({MitSetpoint{}}));
         },
         K::InvalidArgument, "member 0 (motor_id=0x3): MitLimits.p_max must be finite and non-zero, got inf"},
        {"no members", [&] { return error_of(MotorGroup::make({})); }, K::InvalidArgument,
         "a MotorGroup needs at least one member"},
        {"watchdog 0", [&] { return error_of(MotorGroup::make({{bus, m1}}, no_watchdog)); }, K::InvalidArgument,
         "watchdog_ms must be None or from 1 to 214748364 milliseconds, got 0"},
        {"disable time-out", [&] { return error_of(MotorGroup::make({{bus, m1}}, long_disable)); },
         K::InvalidArgument, "disable_timeout_ms must be from 0 to 60000 milliseconds, got 60001"},
        {"shared reply id", [&] { return error_of(MotorGroup::make({{bus, m1}, {bus, Damiao(2, 0x11)}})); },
         K::InvalidArgument, "members 0 and 1 share reply identifier 0x011 on one bus"},
        {"register id", [&] { return error_of(MotorGroup::make({{bus, m1}, {bus, Damiao(0x7FF, 0x12)}})); },
         K::InvalidArgument, "the command identifier 0x7ff of member 1 is the register identifier"},
        {"joint limits crossed", [&] { return error_of(JointLimits::make(1.0f, 0.0f)); }, K::InvalidArgument,
         "JointLimits.q_min 1 is above q_max 0"},
        {"negative joint speed", [&] { return error_of(JointLimits::make(-kInf, kInf, -1.0f)); },
         K::InvalidArgument, "JointLimits.dq_max must be 0 or more, got -1"},
        {"rate 0", [&] { return error_of(g.start(0.0)); }, K::InvalidArgument,
         "rate_hz must be above 0 and at most 100000, got 0"},
        {"rate whose period does not fit the clock", [&] { return error_of(g.start(1e-300)); },
         K::InvalidArgument, "rate_hz must be at least 1.1e-10, got 1e-300"},
        {"hold 0", [&] { return error_of(g.start(100.0, no_hold)); }, K::InvalidArgument,
         "hold_ms must be at least 1"},
        {"register past the table", [&] { return error_of(m1.read_register(bus, static_cast<Register>(37))); },
         K::Device, "register 37 is not in the Damiao register table"},
        {"register NaN", [&] { return error_of(m1.write_register(bus, Register::PMAX, kNan)); },
         K::InvalidArgument, "register 21 (PMAX) takes a finite value"},
    };
    for (const Refusal& row : table) {
        const std::optional<Error> e = row.call();
        ASSERT_TRUE(e.has_value()) << row.what;
        EXPECT_EQ(e->message(), row.message) << row.what;
        EXPECT_EQ(e->kind(), row.kind) << row.what;
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
// "001 FC" (identifier and last data byte) for each command.
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
    std::thread thread_;
};

TEST(Api, ScopeEnablesEveryMemberAndItsEndDisablesEach) {
    const PairBus p = pair_bus();
    Responder responder(p.peer);
    const Result<MotorGroup> g = MotorGroup::make({{p.bus, Damiao(1, 0x11)}, {p.bus, Damiao(2, 0x12)}});
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
    const Result<MotorGroup> g = MotorGroup::make({{p.bus, Damiao(1, 0x11)}, {p.bus, Damiao(2, 0x12)}});
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
    const Result<MotorGroup> g = MotorGroup::make({{p.bus, Damiao(1, 0x11)}});
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

}  // namespace
