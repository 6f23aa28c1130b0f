// The control loop's thread allocates and frees nothing once its first cycle
// is done, whatever its cycles meet: setpoints of every kind set from
// another thread meanwhile, moves and blends, joint limits that remake a
// velocity command each cycle, several buses, a silent member, a member
// reporting a fault. The
// global operator new and delete of this executable count the calls made on
// the loop's thread from its second sleep on (its clock marks it).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "damiao/loop.hpp"
#include "damiao/robot.hpp"

// The replaced operator new and delete below are malloc and free by design;
// GCC, seeing both inlined, takes their pairing for a mismatch.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 11
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

thread_local int loop_sleeps = 0;  // sleeps of the loop's thread so far; 0 on every other thread
std::atomic<std::uint64_t> loop_allocations{0};
std::atomic<std::uint64_t> loop_frees{0};

void* allocate(std::size_t n, std::size_t align) {
    if (loop_sleeps >= 2) loop_allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = nullptr;
    if (align <= alignof(std::max_align_t)) {
        p = std::malloc(n == 0 ? 1 : n);
    } else if (posix_memalign(&p, align, n == 0 ? align : n) != 0) {
        p = nullptr;
    }
    return p;
}

void release(void* p) {
    if (p != nullptr && loop_sleeps >= 2) loop_frees.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}

}  // namespace

void* operator new(std::size_t n) {
    if (void* p = allocate(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = allocate(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }

namespace rotalink::test {
namespace {

using damiao::MotorGroup;
using transport::BatchSent;
using transport::BusWaiter;
using transport::CanFrame;
using transport::CanId;
using transport::CanTransport;
using transport::Duration;
using transport::Instant;
using transport::SharedBus;
using transport::TransportError;

// Motors that answer every command of any mode, and every refresh, to their
// identifier at once with feedback carrying `status`, unless silent; the
// replies wait in a ring of its own, so the bus allocates nothing either.
class EchoBus final : public CanTransport {
public:
    EchoBus(std::set<std::uint16_t> motors, std::uint16_t silent, std::uint16_t faulty)
        : motors_(std::move(motors)), silent_(silent), faulty_(faulty) {}

    Result<Unit, TransportError> send(const CanFrame& f) override {
        const bool refresh = f.id.value == 0x7FF && f.data[2] == 0xCC;
        const std::uint16_t id = refresh ? f.data[0] : static_cast<std::uint16_t>(f.id.value & 0xFF);
        if (motors_.count(id) == 0 || id == silent_ || count_ == kRing) return Unit{};
        const std::uint8_t status = id == faulty_ ? 14 : 1;  // OVERLOAD, or ENABLED
        CanFrame& r = ring_[(head_ + count_++) % kRing];
        r.id = CanId::standard(0x10u + id);
        r.data = {static_cast<std::uint8_t>(status << 4 | (id & 0xF)), 0x80, 0x00, 0x80, 0x08, 0x00, 0x1E, 0x20};
        return Unit{};
    }
    Result<CanFrame, TransportError> recv(Duration) override {
        CanFrame f;
        if (try_recv(&f, 1).value() == 0) return err(TransportError::timeout());
        return f;
    }
    BatchSent send_batch(const CanFrame* frames, std::size_t n) override {
        for (std::size_t i = 0; i < n; ++i) (void)send(frames[i]);
        return {n, std::nullopt};
    }
    Result<std::size_t, TransportError> try_recv(CanFrame* out, std::size_t cap) override {
        std::size_t n = 0;
        for (; n < cap && count_ > 0; ++n, --count_, head_ = (head_ + 1) % kRing) out[n] = ring_[head_];
        return n;
    }

private:
    static constexpr std::size_t kRing = 16;
    std::set<std::uint16_t> motors_;
    std::uint16_t silent_;
    std::uint16_t faulty_;
    CanFrame ring_[kRing];
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// The replies are there as soon as the frames went out.
class NoWait final : public BusWaiter {
public:
    Result<Unit, TransportError> wait(CanTransport* const*, std::size_t, Instant) override { return Unit{}; }
};

// The monotonic clock, marking the thread that sleeps on it: the loop's.
class MarkingClock final : public damiao::LoopClock {
public:
    Instant now() override { return Instant::now(); }
    void sleep_until(Instant t, const std::atomic<bool>& stop) override {
        ++loop_sleeps;
        monotonic_.sleep_until(t, stop);
    }

private:
    damiao::MonotonicClock monotonic_;
};

damiao::Damiao motor(std::uint16_t id) {
    damiao::Damiao d;
    d.motor_id = id;
    d.master_id = static_cast<std::uint16_t>(0x10 + id);
    return d;
}

TEST(ControlLoop, ItsThreadAllocatesNothingAfterTheFirstCycle) {
    const damiao::Setpoint mit = damiao::from_mit({0.5f, 1.0f, 10.0f, 1.0f, 0.2f});
    const damiao::Setpoint vel{damiao::kind_of_mode(3), {2.0f}};
    const damiao::Setpoint pos_vel{damiao::kind_of_mode(2), {0.5f, 1.0f}};
    const damiao::Setpoint force_pos{damiao::kind_of_mode(4), {0.5f, 1.0f, 0.3f}};
    damiao::JointLimits past;
    past.q_max = -1.0f;  // the motors report 0 rad: a velocity command is held at 0 every cycle
    const struct {
        const char* name;
        std::size_t buses;
        std::vector<damiao::Setpoint> setpoints;  // member i on bus i % buses, motor_id i + 1
        std::optional<damiao::JointLimits> joint;  // member 0's
        std::uint16_t silent;  // a motor that never answers
        std::uint16_t faulty;  // a motor that answers OVERLOAD (counted, not stopping the loop)
        bool moves;  // every other set is a move, and sets after moves are blended in
        std::size_t record;  // a record of this many cycles, which nobody takes: it fills, then drops
    } cases[] = {
        {"MIT, one bus", 1, {mit, mit}, std::nullopt, 0, 0, false, 0},
        {"every kind, two buses, recorded", 2, {mit, vel, pos_vel, force_pos}, std::nullopt, 0, 0, false, 64},
        {"velocity held at the joint limits", 1, {vel, mit}, past, 0, 0, false, 0},
        {"a silent member, a faulty one", 1, {mit, mit, mit}, std::nullopt, 2, 3, false, 0},
        {"moves and blends of every kind", 2, {mit, vel, pos_vel, force_pos}, std::nullopt, 0, 0, true, 0},
    };
    constexpr std::uint64_t kCycles = 3000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t n = c.setpoints.size();
        std::vector<damiao::GroupMember> members;
        std::vector<std::set<std::uint16_t>> on_bus(c.buses);
        for (std::size_t i = 0; i < n; ++i) {
            const auto id = static_cast<std::uint16_t>(i + 1);
            members.push_back({i % c.buses, motor(id), i == 0 ? c.joint : std::nullopt});
            on_bus[i % c.buses].insert(id);
        }
        MotorGroup group(members, c.buses, Duration::from_nanos(200000), false);
        std::vector<std::unique_ptr<SharedBus>> buses;
        std::vector<SharedBus*> shared;
        for (std::size_t b = 0; b < c.buses; ++b) {
            buses.push_back(std::make_unique<SharedBus>(std::make_unique<EchoBus>(on_bus[b], c.silent, c.faulty)));
            shared.push_back(buses.back().get());
        }
        MarkingClock clock;
        damiao::LoopOptions o;
        o.period = Duration::from_nanos(20000);
        o.hold = Duration::from_millis(3600000);
        o.stop_on_fault = false;
        o.clock = &clock;
        o.blend = Duration::from_nanos(c.moves ? 100000 : 0);
        o.record = c.record;
        loop_allocations = 0;
        loop_frees = 0;
        damiao::ControlLoop loop(group, shared, std::make_unique<NoWait>(), o);
        ASSERT_EQ(loop.start(0, -1), 0);
        // Setpoints from this thread while it runs, made as the faces make
        // them (the loop's latest positions bound the velocity commands).
        std::uint64_t sets = 0;
        while (loop.running() && loop.cycles() < kCycles) {
            const std::vector<std::optional<damiao::mit::MotorState>> positions = loop.states();
            auto frames = group.control(c.setpoints.data(), positions.data());
            ASSERT_TRUE(frames.ok());
            if (c.moves && sets % 2 == 1) {
                damiao::MoveRequest m;
                m.axes.resize(n);
                for (std::size_t i = 0; i < n; ++i) {
                    m.axes[i].kind = c.setpoints[i].kind;
                    m.axes[i].target = sets % 4 == 1 ? 0.01 : -0.01;
                    m.axes[i].velocity = 1.0;
                    m.axes[i].accel = 100.0;
                }
                ASSERT_TRUE(loop.move(std::move(m)).ok());
            } else {
                loop.set(std::move(frames).value(), c.setpoints);
            }
            ++sets;
            std::this_thread::yield();
        }
        // Taken while the loop runs: the thread frees its cycle's storage
        // when it ends.
        const std::uint64_t allocations = loop_allocations.load();
        const std::uint64_t frees = loop_frees.load();
        EXPECT_TRUE(loop.running()) << loop.error().value_or("");
        EXPECT_EQ(loop.stop(), "");
        const damiao::LoopStats stats = loop.stats();
        EXPECT_GE(stats.cycles, kCycles);
        EXPECT_GT(sets, 1u);
        if (c.silent) {
            EXPECT_EQ(stats.missed[c.silent - 1], stats.cycles);
        }
        if (c.faulty) {
            EXPECT_EQ(stats.faults[c.faulty - 1], stats.cycles);
        }
        EXPECT_EQ(allocations, 0u) << "allocations on the loop's thread after its first cycle";
        EXPECT_EQ(frees, 0u) << "frees on the loop's thread after its first cycle";
    }
}

// What a face does every cycle in joint space, on the caller's thread:
// convert a command into preallocated setpoints and read the loop's latest
// states into preallocated joint arrays. Neither allocates once the
// caller's storage has held a cycle's.
TEST(ControlLoop, JointConversionAndLatestStatesAllocateNothing) {
    std::vector<damiao::GroupMember> members = {{0, motor(1)}, {0, motor(2)}};
    MotorGroup group(members, 1, Duration::from_nanos(200000), false);
    SharedBus bus(std::make_unique<EchoBus>(std::set<std::uint16_t>{1}, 0, 0));  // motor 2 silent
    std::vector<SharedBus*> shared = {&bus};
    damiao::JointSpec knee{"knee", -1, 0.2, 6.33, 1, {}, 5.0, 0.1};
    damiao::JointSpec hip{"hip", 1, 0.0, 1.0, 4, {}, 0.0, 0.0};
    auto robot = damiao::Robot::make(damiao::JointMap::make({knee, hip}).value(), group);
    ASSERT_TRUE(robot.ok());
    damiao::LoopOptions o;
    o.period = Duration::from_nanos(20000);
    o.hold = Duration::from_millis(3600000);
    damiao::ControlLoop loop(group, shared, std::make_unique<NoWait>(), o);
    ASSERT_EQ(loop.start(0, -1), 0);
    while (loop.running() && loop.cycles() < 100) std::this_thread::yield();
    const std::vector<double> q = {0.3, -0.2};
    const double dq = 1.0, current = 0.5;
    damiao::JointCommand c;
    c[damiao::kJointQ] = {q.data(), q.size()};
    c[damiao::kJointDq] = {&dq, 1};
    c[damiao::kJointCurrent] = {&current, 1};
    std::vector<damiao::Setpoint> setpoints(2);
    std::vector<std::optional<damiao::mit::MotorState>> scratch(2);
    double jq[2], jdq[2], jtau[2];
    std::int32_t status[2], t_mos[2], t_rotor[2];
    const damiao::JointStatesOut out{jq, jdq, jtau, status, t_mos, t_rotor};
    const std::uint64_t before = loop_allocations.load() + loop_frees.load();
    loop_sleeps = 2;  // counts this thread's calls from here
    const bool converted = !robot.value().joints().to_setpoints(c, setpoints.data());
    robot.value().latest(loop, scratch, out);
    loop_sleeps = 0;
    const std::uint64_t after = loop_allocations.load() + loop_frees.load();
    EXPECT_EQ(loop.stop(), "");
    EXPECT_TRUE(converted);
    EXPECT_EQ(after, before) << "allocations or frees converting and reading joints";
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(status[1], damiao::kNoReply);
}

}  // namespace
}  // namespace rotalink::test
