// The control loop's timing on this host, with no CAN: the core's loop
// (damiao::ControlLoop) at RATE Hz drives K motors over an AF_UNIX
// SOCK_SEQPACKET socket pair that carries CAN frames (a transport of this
// program's own), a responder thread answering every command with feedback
// at once; beside it, in the same run, a plain Python loop thread
// (benchmarks/loop_host.py: threading, time.sleep and time.perf_counter
// pacing) does the same over a socket pair of its own, answered by a
// responder thread of this program too; while one busy-looping process per
// core (nice 0) keeps every core busy. Prints, for each loop, the period
// error (the start-to-start interval of two cycles' sends minus the period,
// as an absolute value): p50, p99 and max, once without SCHED_FIFO and once
// at SCHED_FIFO --priority (the loop's priority option; "not permitted"
// when the process may not).
//
//   loop_host [--rate 1000] [--seconds 10] [--motors 4] [--priority 80] [--busy N]
//             [--python python3] [--script benchmarks/loop_host.py]
//
// --busy: how many busy processes (default: one per online CPU; 0: none).
// --priority 0 leaves the SCHED_FIFO run out.
#include <linux/can.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "damiao/loop.hpp"
#include "pair_responder.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace {

using rotalink::Result;
using rotalink::Unit;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;
using rotalink::transport::CanTransport;
using rotalink::transport::Duration;
using rotalink::transport::Instant;
using rotalink::transport::IoError;
using rotalink::transport::TransportError;

// Classic CAN frames as struct can_frame records over one end of a socket
// pair. Stamps the monotonic clock each time a batch goes out (once a
// cycle, before its first frame), into room reserved beforehand.
class PairBus final : public CanTransport {
public:
    PairBus(int fd, std::size_t stamps) : fd_(fd) { starts_.reserve(stamps); }

    Result<Unit, TransportError> send(const CanFrame& f) override {
        if (!f.id.in_range()) return rotalink::err(TransportError::invalid_id());
        if (f.data.size() > CAN_MAX_DLEN) return rotalink::err(TransportError::frame_too_large(f.data.size()));
        can_frame rec{};
        rec.can_id = f.id.value;
        rec.len = static_cast<std::uint8_t>(f.data.size());
        std::memcpy(rec.data, f.data.data(), f.data.size());
        if (::send(fd_, &rec, sizeof rec, MSG_DONTWAIT) < 0) {
            return rotalink::err(TransportError::backend(IoError::from_errno(errno)));
        }
        return Unit{};
    }
    rotalink::transport::BatchSent send_batch(const CanFrame* frames, std::size_t n) override {
        if (starts_.size() < starts_.capacity()) starts_.push_back(Instant::now().ns);
        return CanTransport::send_batch(frames, n);
    }
    Result<std::size_t, TransportError> try_recv(CanFrame* out, std::size_t cap) override {
        std::size_t n = 0;
        for (; n < cap; ++n) {
            can_frame rec;
            const ssize_t got = ::recv(fd_, &rec, sizeof rec, MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (got < 0) return rotalink::err(TransportError::backend(IoError::from_errno(errno)));
            out[n].id = CanId::standard(rec.can_id & CAN_SFF_MASK);
            out[n].data.assign(rec.data, rec.data + std::min<std::size_t>(rec.len, CAN_MAX_DLEN));
        }
        return n;
    }
    Result<CanFrame, TransportError> recv(Duration timeout) override {
        pollfd p{fd_, POLLIN, 0};
        const auto ms = static_cast<int>(std::min<std::uint64_t>(timeout.total_nanos_saturated() / 1000000u, 1000000u));
        if (::poll(&p, 1, ms) <= 0) return rotalink::err(TransportError::timeout());
        CanFrame f;
        Result<std::size_t, TransportError> got = try_recv(&f, 1);
        if (!got.ok()) return rotalink::err(got.error());
        if (got.value() == 0) return rotalink::err(TransportError::timeout());
        return f;
    }
    int poll_fd() const override { return fd_; }

    const std::vector<std::uint64_t>& starts() const { return starts_; }

private:
    int fd_;
    std::vector<std::uint64_t> starts_;
};

std::atomic<bool> responder_fifo{true};

void respond(int fd, unsigned motors, const std::atomic<bool>& stop) {
    rotalink_bench::respond(fd, motors, stop, &responder_fifo);
}

// The time the hypervisor gave every CPU of this machine to others so far
// (the steal column of /proc/stat), in milliseconds; 0 where none is kept.
double steal_ms() {
    FILE* f = std::fopen("/proc/stat", "r");
    if (f == nullptr) return 0;
    unsigned long long v[8] = {};
    const int got = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
                                &v[5], &v[6], &v[7]);
    std::fclose(f);
    return got == 8 ? static_cast<double>(v[7]) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) : 0;
}

struct Figures {
    std::size_t cycles = 0;
    double p50 = NAN, p99 = NAN, max = NAN;  // us
};

// The period errors of the cycles started at `starts` (ns).
Figures errors(const std::vector<std::uint64_t>& starts, double period_ns) {
    Figures f;
    f.cycles = starts.size();
    if (starts.size() < 2) return f;
    std::vector<double> e;
    for (std::size_t i = 1; i < starts.size(); ++i) {
        e.push_back(std::fabs(static_cast<double>(starts[i] - starts[i - 1]) - period_ns) / 1000.0);
    }
    std::sort(e.begin(), e.end());
    const auto at = [&](double q) { return e[std::min(e.size() - 1, static_cast<std::size_t>(q * static_cast<double>(e.size())))]; };
    f.p50 = at(0.5);
    f.p99 = at(0.99);
    f.max = e.back();
    return f;
}

struct Options {
    double rate = 1000;
    double seconds = 10;
    unsigned motors = 4;
    int priority = 80;
    long busy = -1;
    std::string python = "python3";
    std::string script = "benchmarks/loop_host.py";
};

std::string row(const std::string& name, const Figures& f, double period_us, const std::string& tail) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "| %s | %zu | %.1f us | %.1f us | %.1f us | %.1f %% | %s |", name.c_str(), f.cycles,
                  f.p50, f.p99, f.max, f.p99 / period_us * 100.0, tail.c_str());
    return buf;
}

// One run: the core's loop (at `priority`, 0 for none) and the Python loop
// side by side. Prints their rows; returns the C++ loop's figures (none
// when the priority is not permitted).
Figures run(const Options& o, int priority, std::vector<std::string>& rows) {
    int cpp_pair[2];
    int py_pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, cpp_pair) != 0 ||
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, py_pair) != 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    fcntl(py_pair[1], F_SETFD, FD_CLOEXEC);
    const double steal0 = steal_ms();  // the Python loop inherits its end alone
    std::atomic<bool> stop{false};
    std::thread cpp_responder(respond, cpp_pair[1], o.motors, std::cref(stop));
    std::thread py_responder(respond, py_pair[1], o.motors, std::cref(stop));

    // The Python loop, started first: it runs as long as this one.
    const std::string cmd = o.python + " " + o.script + " " + std::to_string(py_pair[0]) + " " +
                            std::to_string(o.rate) + " " + std::to_string(o.seconds) + " " +
                            std::to_string(o.motors);
    FILE* py = popen(cmd.c_str(), "r");
    if (py == nullptr) {
        std::perror("popen");
        std::exit(1);
    }
    close(py_pair[0]);

    using namespace rotalink;
    std::vector<damiao::GroupMember> members;
    for (unsigned i = 0; i < o.motors; ++i) {
        damiao::Damiao d;
        d.motor_id = static_cast<std::uint16_t>(1 + i);
        d.master_id = static_cast<std::uint16_t>(0x11 + i);
        members.push_back({0, d});
    }
    const double period_ns = 1e9 / o.rate;
    const damiao::MotorGroup group(members, 1, Duration::from_nanos(static_cast<std::uint64_t>(period_ns / 2)), false);
    auto owned = std::make_unique<PairBus>(cpp_pair[0], static_cast<std::size_t>(o.rate * o.seconds * 1.2) + 16);
    PairBus* bus = owned.get();
    transport::SharedBus shared(std::move(owned));
    damiao::LoopOptions lo;
    lo.period = damiao::period_of_rate(o.rate).value();
    lo.hold = Duration::from_millis(2000);
    damiao::ControlLoop loop(group, {&shared}, std::make_unique<transport::PollWaiter>(), lo);
    const int rc = loop.start(priority, -1);
    Figures cpp;
    std::string name = "C++ loop (damiao::ControlLoop)";
    name += priority > 0 ? ", SCHED_FIFO " + std::to_string(priority) : ", SCHED_OTHER";
    if (rc != 0) {
        rows.push_back("| " + name + " | not permitted (" + std::strerror(rc) + ") | | | | | |");
    } else {
        const damiao::Setpoint s = damiao::from_mit({1.0f, -2.0f, 50.0f, 1.0f, 3.0f});
        const std::vector<damiao::Setpoint> setpoints(o.motors, s);
        const Instant end = Instant::now().saturating_add(Duration::from_nanos(static_cast<std::uint64_t>(o.seconds * 1e9)));
        while (Instant::now() < end && loop.running()) {
            loop.set(group.control(setpoints).value(), setpoints);
            transport::sleep_for(Duration::from_millis(10));
        }
        loop.stop();
        const damiao::LoopStats st = loop.stats();
        std::uint64_t missed = 0;
        for (std::uint64_t m : st.missed) missed += m;
        cpp = errors(bus->starts(), period_ns);
        rows.push_back(row(name, cpp, period_ns / 1000,
                           std::to_string(st.overruns) + " overruns, " + std::to_string(missed) + " replies missed" +
                               (loop.error() ? ", stopped: " + *loop.error() : "")));
    }

    // The Python loop's starts, one a line, after a line "missed N".
    std::vector<std::uint64_t> py_starts;
    unsigned long long py_missed = 0;
    unsigned long long v = 0;
    if (std::fscanf(py, "missed %llu", &py_missed) != 1) py_missed = ~0ull;
    while (std::fscanf(py, "%llu", &v) == 1) py_starts.push_back(v);
    const int status = pclose(py);
    const Figures pyf = errors(py_starts, period_ns);
    rows.push_back(row("Python thread (threading, time.sleep), same run", pyf, period_ns / 1000,
                       std::to_string(py_missed) + " replies missed" +
                           (status != 0 ? ", exit status " + std::to_string(status) : "")));
    char steal[128];
    std::snprintf(steal, sizeof steal, "| (the run's steal time: %.0f ms of the CPUs' time went to other guests) | | | | | | |",
                  steal_ms() - steal0);
    rows.push_back(steal);
    stop.store(true);
    cpp_responder.join();
    py_responder.join();
    close(cpp_pair[1]);
    close(py_pair[1]);
    return cpp;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--rate") o.rate = std::atof(v);
        else if (k == "--seconds") o.seconds = std::atof(v);
        else if (k == "--motors") o.motors = static_cast<unsigned>(std::atoi(v));
        else if (k == "--priority") o.priority = std::atoi(v);
        else if (k == "--busy") o.busy = std::atol(v);
        else if (k == "--python") o.python = v;
        else if (k == "--script") o.script = v;
        else {
            std::fprintf(stderr, "loop_host: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (argc % 2 == 0 || !(o.rate > 0) || !(o.seconds > 0) || o.motors < 1 || o.motors > 15) {
        std::fprintf(stderr, "usage: loop_host [--rate HZ] [--seconds S] [--motors 1..15] [--priority 0..99] "
                             "[--busy N] [--python PYTHON] [--script benchmarks/loop_host.py]\n");
        return 2;
    }
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const long busy = o.busy < 0 ? cpus : o.busy;
    // The load: processes that only spin, forked before any thread exists.
    std::vector<pid_t> spinners;
    for (long i = 0; i < busy; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (volatile unsigned long n = 0;; n = n + 1) {
            }
        }
        if (pid > 0) spinners.push_back(pid);
    }
    double load[1] = {0};
    (void)getloadavg(load, 1);
    const double period_us = 1e6 / o.rate;
    std::vector<std::string> rows;
    std::printf("%ld CPUs, %ld busy processes at nice 0; load average %.2f before; %.0f Hz (period %.0f us), "
                "%g s per run, %u motors on an AF_UNIX SOCK_SEQPACKET pair, replies at once\n\n",
                cpus, busy, load[0], o.rate, period_us, o.seconds, o.motors);
    std::fflush(stdout);
    const Figures plain = run(o, 0, rows);
    Figures fifo;
    if (o.priority > 0) fifo = run(o, o.priority, rows);
    for (pid_t p : spinners) kill(p, SIGKILL);
    for (pid_t p : spinners) waitpid(p, nullptr, 0);

    std::printf("responders (the motors' stand-ins): %s\n\n",
                responder_fifo.load() ? "SCHED_FIFO 90" : "SCHED_OTHER (SCHED_FIFO not permitted)");
    std::printf("| loop | cycles | period error p50 | p99 | max | p99 / period | |\n|---|---|---|---|---|---|---|\n");
    for (const std::string& r : rows) std::printf("%s\n", r.c_str());
    const auto goal = [&](const char* what, const Figures& f) {
        if (std::isnan(f.p99)) return;
        std::printf("goal, %s: p99 period error <= 5 %% of the period (%.0f us): %.1f us, %s\n", what,
                    period_us * 0.05, f.p99, f.p99 <= period_us * 0.05 ? "met" : "missed");
    };
    std::printf("\n");
    goal("C++ loop without SCHED_FIFO", plain);
    goal("C++ loop at SCHED_FIFO", fifo);
    return 0;
}
