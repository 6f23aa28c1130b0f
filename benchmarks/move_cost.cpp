// The cost of a move: the instructions the core's loop thread
// (damiao::ControlLoop) spends per cycle (a) repeating one set()'s frames,
// (b) inside a move (every cycle samples each member's profile and encodes
// its frames anew) and (c) inside a blend of the first setpoints (the same
// with the blend's weights), and (d) in plain cycles that are recorded
// (LoopOptions::record: each cycle copied into the record's ring, which
// another thread empties every 100 ms, as a recorder does), for callgrind (benchmarks/move_cost.py runs it;
// benchmarks/run --move). No CAN: the loop's bus is the socketcan transport
// over an AF_UNIX SOCK_SEQPACKET socket pair, whose other end is answered
// as soon as a cycle's frames are sent, in the loop's thread with
// callgrind's collection off: every reply is there when the loop looks,
// in every cycle alike, so that the counts do not follow the scheduling of
// a responder thread on a busy machine (the cycle's fixed part at its
// smallest: the harshest denominator for the ratio).
//
//   move_cost [--kinds mit|mixed] [--motors 6] [--rate 200] [--cycles 1000] [--warmup 50]
//
// mit: every member MIT; mixed: MIT, POS_VEL and VEL members in turn.
// Each phase is measured over exactly --cycles cycles of the loop's thread,
// counted by the loop's clock (its sleep at the top of each cycle): at the
// first, after --warmup cycles of the phase, callgrind's counts are zeroed;
// at the last they are dumped ("plain", "move", "blend", "record"), one file per
// thread with --separate-threads=yes. Prints one JSON line per phase (its
// cycles and the overruns in it); fails when the move ended before its
// last measured cycle.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_DUMP_STATS_AT(label) ((void)(label))
#endif

#include "damiao/loop.hpp"
#include "pair_responder.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace {

using namespace rotalink;
using transport::Duration;
using transport::Instant;

// The monotonic clock, counting the loop's sleeps (one at the top of each
// cycle): zeroes callgrind's counts at sleep `zero_at` and dumps them at
// `dump_at`, so that exactly the cycles between are counted. The check is
// the same few instructions in every cycle of every phase.
class CountingClock final : public damiao::LoopClock {
public:
    Instant now() override { return Instant::now(); }
    void sleep_until(Instant t, const std::atomic<bool>& stop) override {
        const std::uint64_t k = ++sleeps_;
        if (k == zero_at_.load(std::memory_order_acquire)) {
            CALLGRIND_ZERO_STATS;
        } else if (k == dump_at_.load(std::memory_order_acquire)) {
            CALLGRIND_DUMP_STATS_AT(label_);
            dumped_.store(true, std::memory_order_release);
        }
        monotonic_.sleep_until(t, stop);
    }
    // Counts `cycles` cycles starting `after` cycles from now, as `label`.
    void arm(const char* label, std::uint64_t after, std::uint64_t cycles) {
        dumped_.store(false);
        label_ = label;
        const std::uint64_t at = sleeps_.load() + after;
        dump_at_.store(at + cycles, std::memory_order_release);
        zero_at_.store(at, std::memory_order_release);
    }
    bool dumped() const { return dumped_.load(std::memory_order_acquire); }

private:
    damiao::MonotonicClock monotonic_;
    std::atomic<std::uint64_t> sleeps_{0};
    std::atomic<std::uint64_t> zero_at_{0};
    std::atomic<std::uint64_t> dump_at_{0};
    std::atomic<bool> dumped_{false};
    const char* label_ = "";
};

// The socketcan transport on one end of a socket pair; the motors on the
// other end answer every command as soon as it is sent, uncounted.
class AnsweringBus final : public transport::CanTransport {
public:
    AnsweringBus(int fd, int peer, unsigned motors) : inner_(fd), peer_(peer), motors_(motors) {}

    Result<Unit, transport::TransportError> send(const transport::CanFrame& f) override {
        Result<Unit, transport::TransportError> r = inner_.send(f);
        answer();
        return r;
    }
    transport::BatchSent send_batch(const transport::CanFrame* frames, std::size_t n) override {
        transport::BatchSent r = inner_.send_batch(frames, n);
        answer();
        return r;
    }
    Result<transport::CanFrame, transport::TransportError> recv(Duration timeout) override {
        return inner_.recv(timeout);
    }
    Result<std::size_t, transport::TransportError> try_recv(transport::CanFrame* out, std::size_t cap) override {
        return inner_.try_recv(out, cap);
    }
    int poll_fd() const override { return inner_.poll_fd(); }
    const std::string& iface() const override { return inner_.iface(); }

private:
    void answer() {
        CALLGRIND_TOGGLE_COLLECT;
        rotalink_bench::answer_waiting(peer_, motors_);
        CALLGRIND_TOGGLE_COLLECT;
    }
    transport::SocketCanTransport inner_;
    int peer_;
    unsigned motors_;
};

struct Options {
    std::string kinds = "mit";
    unsigned motors = 6;
    double rate = 200;
    std::uint64_t cycles = 1000;
    std::uint64_t warmup = 50;
};

// Member i's command kind.
std::size_t kind_of(const Options& o, unsigned i) {
    if (o.kinds == "mit") return damiao::kMitKind;
    const std::uint8_t modes[3] = {1, 2, 3};  // MIT, POS_VEL, VEL
    return damiao::kind_of_mode(modes[i % 3]);
}

// A plain setpoint of member i's kind.
damiao::Setpoint plain_setpoint(std::size_t kind) {
    damiao::Setpoint s;
    s.kind = kind;
    const float mit[5] = {1.0f, -2.0f, 50.0f, 1.0f, 3.0f};
    const float pos_vel[2] = {1.0f, 2.0f};
    const float vel[1] = {2.0f};
    const float* v = kind == damiao::kMitKind ? mit : damiao::kCommandKinds[kind].fields[0].role == damiao::Role::Position
                                                          ? pos_vel
                                                          : vel;
    for (std::size_t f = 0; f < damiao::kCommandKinds[kind].field_count; ++f) s.values[f] = v[f];
    return s;
}

// Waits (polling, off the loop's thread) until the clock has dumped, or the
// loop stopped; prints the phase's line.
void measure(const Options& o, CountingClock& clock, damiao::ControlLoop& loop, const char* phase) {
    const std::uint64_t overruns0 = loop.stats().overruns;
    clock.arm(phase, o.warmup, o.cycles);
    while (!clock.dumped() && loop.running()) transport::sleep_for(Duration::from_millis(20));
    if (!loop.running()) {
        std::fprintf(stderr, "move_cost: the loop stopped: %s\n", loop.error().value_or("").c_str());
        std::exit(1);
    }
    const damiao::LoopStats stats = loop.stats();
    std::printf("{\"kinds\": \"%s\", \"motors\": %u, \"rate\": %g, \"phase\": \"%s\", \"cycles\": %llu, "
                "\"overruns\": %llu, \"record_dropped\": %llu}\n",
                o.kinds.c_str(), o.motors, o.rate, phase, static_cast<unsigned long long>(o.cycles),
                static_cast<unsigned long long>(stats.overruns - overruns0),
                static_cast<unsigned long long>(stats.record_dropped));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--kinds") o.kinds = v;
        else if (k == "--motors") o.motors = static_cast<unsigned>(std::atoi(v));
        else if (k == "--rate") o.rate = std::atof(v);
        else if (k == "--cycles") o.cycles = std::strtoull(v, nullptr, 10);
        else if (k == "--warmup") o.warmup = std::strtoull(v, nullptr, 10);
        else {
            std::fprintf(stderr, "move_cost: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (argc % 2 == 0 || (o.kinds != "mit" && o.kinds != "mixed") || o.motors < 1 || o.motors > 15 ||
        !(o.rate > 0) || o.cycles < 1 || o.warmup < 3) {
        std::fprintf(stderr, "usage: move_cost [--kinds mit|mixed] [--motors 1..15] [--rate HZ] [--cycles N] "
                             "[--warmup N (at least 3)]\n");
        return 2;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        std::perror("socketpair");
        return 1;
    }
    std::vector<damiao::GroupMember> members;
    std::vector<damiao::Setpoint> plain;
    for (unsigned i = 0; i < o.motors; ++i) {
        damiao::Damiao d;
        d.motor_id = static_cast<std::uint16_t>(1 + i);
        d.master_id = static_cast<std::uint16_t>(0x11 + i);
        members.push_back({0, d});
        plain.push_back(plain_setpoint(kind_of(o, i)));
    }
    const Duration period = damiao::period_of_rate(o.rate).value();
    const double period_s = static_cast<double>(period.total_nanos_saturated()) * 1e-9;
    const damiao::MotorGroup group(members, 1, Duration::from_nanos(period.total_nanos_saturated() / 2), false);
    transport::SharedBus shared(std::make_unique<AnsweringBus>(pair[0], pair[1], o.motors));
    // Longer than a phase's cycles: the move and the blend last through
    // every measured cycle.
    const std::uint64_t span = 2 * (o.warmup + o.cycles) + 100;
    CountingClock clock;
    damiao::LoopOptions lo;
    lo.period = period;
    lo.hold = Duration::from_millis(600000);
    lo.clock = &clock;

    {
        // (a) plain cycles after one set(), then (b) a move.
        damiao::ControlLoop loop(group, {&shared}, std::make_unique<transport::PollWaiter>(), lo);
        if (loop.start(0, -1) != 0) return 1;
        if (loop.command(plain)) return 1;
        measure(o, clock, loop, "plain");
        damiao::MoveRequest request;
        for (unsigned i = 0; i < o.motors; ++i) {
            damiao::MoveAxis a;
            a.kind = plain[i].kind;
            a.target = 1.0;
            a.velocity = 10.0;
            a.kp = 20.0f;
            a.kd = 1.0f;
            request.axes.push_back(a);
        }
        request.duration = static_cast<double>(span) * period_s;
        Result<std::uint64_t, damiao::MotorGroup::Refusal> id = loop.move(std::move(request));
        if (!id.ok()) {
            std::fprintf(stderr, "move_cost: move refused: %s\n", id.error().error.message().c_str());
            return 1;
        }
        measure(o, clock, loop, "move");
        if (loop.move_state(id.value()) != damiao::MoveState::Running) {
            std::fprintf(stderr, "move_cost: the move ended before the measured cycles did\n");
            return 1;
        }
        loop.stop();
    }
    {
        // (c) the first set() after the start, blended in.
        lo.blend = Duration::from_nanos(span * period.total_nanos_saturated());
        damiao::ControlLoop loop(group, {&shared}, std::make_unique<transport::PollWaiter>(), lo);
        if (loop.start(0, -1) != 0) return 1;
        if (loop.command(plain)) return 1;
        measure(o, clock, loop, "blend");
        loop.stop();
    }
    {
        // (d) plain cycles, recorded; a thread takes the records as a
        // recorder does (its instructions are its own thread's).
        lo.blend = Duration{};
        lo.record = 1024;
        damiao::ControlLoop loop(group, {&shared}, std::make_unique<transport::PollWaiter>(), lo);
        if (loop.start(0, -1) != 0) return 1;
        if (loop.command(plain)) return 1;
        std::thread recorder([&loop] {
            std::vector<damiao::CycleRecord> cycles;
            std::vector<damiao::MemberRecord> records;
            for (;;) {
                cycles.clear();
                records.clear();
                if (!loop.take_records(cycles, records, 256, Instant::now().saturating_add(Duration::from_millis(100))))
                    return;
                transport::sleep_for(Duration::from_millis(100));
            }
        });
        measure(o, clock, loop, "record");
        loop.stop();
        recorder.join();
    }
    close(pair[1]);
    return 0;
}
