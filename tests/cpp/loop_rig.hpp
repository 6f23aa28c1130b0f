// A control loop's test rig: two motors on an in-memory bus that answer
// what they are sent, and a clock the test moves, so that a cycle is due
// only when the test says.
#pragma once

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "damiao/loop.hpp"
#include "memory_transport.hpp"

namespace rotalink::test {

using damiao::ControlLoop;
using damiao::Damiao;
using damiao::GroupMember;
using damiao::MotorGroup;
using transport::BusWaiter;
using transport::CanTransport;
using transport::Instant;
using transport::SharedBus;

// Waits a moment; the memory bus has its replies queued as soon as it sent.
class NapWaiter final : public BusWaiter {
public:
    Result<Unit, TransportError> wait(CanTransport* const*, std::size_t, Instant) override {
        const timespec ts{0, 100000};
        nanosleep(&ts, nullptr);
        return Unit{};
    }
};

// The loop's time, moved by the test alone: a cycle is due only once the
// test has moved the clock to it, however slow the machine.
class ManualClock final : public damiao::LoopClock {
public:
    Instant now() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return now_;
    }
    void sleep_until(Instant t, const std::atomic<bool>& stop) override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop.load() || !(now_ < t); });
    }
    void wake() override {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();
    }
    void advance(Duration d) {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ = now_.saturating_add(d);
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Instant now_{1000000000};
};

inline std::vector<std::string> texts(const std::vector<CanFrame>& frames) {
    std::vector<std::string> out;
    for (const CanFrame& f : frames) out.push_back(show(f));
    return out;
}

inline Damiao motor(std::uint16_t id, std::uint16_t master) {
    Damiao d;
    d.motor_id = id;
    d.master_id = master;
    return d;
}

constexpr std::uint8_t kDisabled = 0;
constexpr std::uint8_t kEnabled = 1;
constexpr std::uint8_t kOverload = 14;

// Motors 1 and 2 (replies from 0x11 and 0x12) on one bus; each answers any
// frame to its command identifier of any mode or a refresh of it, unless silent, with
// its status: DISABLED after a disable, else ENABLED, unless the test says
// otherwise (`status`, or `ignores_disables`).
struct LoopRig {
    MemoryTransport* memory = new MemoryTransport();
    SharedBus bus{std::unique_ptr<CanTransport>(memory)};
    MotorGroup group;
    ManualClock clock;
    std::set<std::uint16_t> silent;
    std::set<std::uint16_t> ignores_disables;
    std::map<std::uint16_t, std::uint8_t> status;  // a status answered to anything
    Duration per_frame{};  // how far each frame sent moves the clock
    std::uint8_t position_hi = 0x80;  // the high byte of the position every motor reports (0x80: 0 rad)

    // Member 0 has `joint` limits, when given.
    explicit LoopRig(std::optional<damiao::JointLimits> joint = std::nullopt)
        : group({{0, motor(1, 0x11), joint}, {0, motor(2, 0x12)}}, 1, Duration::from_millis(2), false) {
        memory->respond([this](const CanFrame& f, MemoryTransport& t) {
            clock.advance(per_frame);
            for (const GroupMember& m : group.members()) {
                const std::uint16_t id = m.motor.motor_id;
                const bool refresh = f.id.value == 0x7FF && f.data[0] == id && f.data[2] == 0xCC;
                const bool command = f.id.value != 0x7FF && (f.id.value & 0xFF) == id;  // of any mode
                if ((!command && !refresh) || silent.count(id)) continue;
                const bool disable = !refresh && f.data[7] == damiao::kDisable && f.data[0] == 0xFF;
                std::uint8_t s = disable && !ignores_disables.count(id) ? kDisabled : kEnabled;
                if (status.count(id)) s = status[id];
                t.queue(make_frame(CanId::standard(m.motor.master_id), {static_cast<std::uint8_t>(s << 4 | id),
                                                                        position_hi, 0x00, 0x80, 0x08, 0x00, 0x1E,
                                                                        0x20}));
            }
        });
    }
    std::unique_ptr<ControlLoop> loop(std::uint64_t hold_ms, bool stop_on_fault = true, std::uint64_t blend_ms = 0,
                                      std::size_t record = 0) {
        damiao::LoopOptions o;
        o.record = record;
        o.blend = Duration::from_millis(blend_ms);
        o.period = Duration::from_millis(1);
        o.hold = Duration::from_millis(hold_ms);
        o.stop_on_fault = stop_on_fault;
        o.clock = &clock;
        return std::make_unique<ControlLoop>(group, std::vector<SharedBus*>{&bus}, std::make_unique<NapWaiter>(), o);
    }
    std::vector<CanFrame> sent_frames() {
        return bus.locked([](CanTransport& t) { return static_cast<MemoryTransport&>(t).sent(); });
    }
    std::vector<std::string> sent() { return texts(sent_frames()); }
    // The last `n` frames sent.
    std::vector<std::string> last(std::size_t n) {
        const std::vector<std::string> s = sent();
        return std::vector<std::string>(s.end() - static_cast<std::ptrdiff_t>(std::min(n, s.size())), s.end());
    }
    // Starts the loop and waits for its first cycle, which is due at once.
    void start(ControlLoop& loop) {
        ASSERT_EQ(loop.start(0, -1), 0);
        std::vector<std::optional<damiao::mit::MotorState>> states;
        loop.wait(0, Instant::now().saturating_add(Duration::from_millis(5000)), states);
    }
    // Moves the clock one period at a time until `n` more cycles have
    // completed, or the loop stops.
    void cycles(ControlLoop& loop, std::uint64_t n) {
        std::vector<std::optional<damiao::mit::MotorState>> states;
        for (std::uint64_t k = 0; k < n && loop.running(); ++k) {
            const std::uint64_t seen = loop.cycles();
            clock.advance(Duration::from_millis(1));
            loop.wait(seen, Instant::now().saturating_add(Duration::from_millis(5000)), states);
        }
    }
};

}  // namespace rotalink::test
