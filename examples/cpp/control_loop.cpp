// A control loop at 1 kHz: the group's cycle runs in a native thread, the
// program sets setpoints and reads states, and prints the loop's timing.
#include <rotalink/rotalink.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "options.hpp"

static const char kUsage[] =
    "usage: control_loop [--iface vcan0] [--ids 1,2] [--model DM4310] [--rate 1000] [--seconds 2]\n"
    "                    [--priority 0] [--timeout-ms 20] [--watchdog-ms 100] [--hold-ms 100]\n"
    "\n"
    "Enables a group of motors (command identifiers --ids, each answering from\n"
    "its identifier + 0x10 within --timeout-ms) in a scope, each motor's\n"
    "watchdog at --watchdog-ms, runs its cycle --rate times a second in a\n"
    "native thread (SCHED_FIFO at --priority when 1..99) for --seconds,\n"
    "setting a slow sine of positions after each cycle (the loop stops and\n"
    "disables every motor when that or a motor's answer stalls for --hold-ms),\n"
    "then prints the loop's statistics: cycles, overruns, missed replies, and\n"
    "p50/p99/max period and latency in microseconds. However it ends, the loop\n"
    "and the scope disable every motor.\n";

int main(int argc, char** argv) {
    const example::Options opt(argc, argv, kUsage,
                               {{"iface", "vcan0"},
                                {"ids", "1,2"},
                                {"model", "DM4310"},
                                {"rate", "1000"},
                                {"seconds", "2"},
                                {"priority", "0"},
                                {"timeout-ms", "20"},
                                {"watchdog-ms", "100"},
                                {"hold-ms", "100"}});
    const rotalink::Result<rotalink::MitLimits> limits = rotalink::preset(opt.text("model"));
    example::check(limits, "model");
    const rotalink::Result<rotalink::SocketCanTransport> bus = rotalink::SocketCanTransport::open(opt.text("iface"));
    example::check(bus, "opening the bus");
    // Each joint kept within 1 rad either way of its zero.
    const std::vector<rotalink::Member> members = example::members_of(
        opt.numbers("ids"), bus.value(), limits.value(), opt.millis("timeout-ms"), rotalink::JointLimits{-1.0f, 1.0f});
    rotalink::GroupOptions options;
    options.timeout = opt.millis("timeout-ms");
    options.watchdog = opt.millis("watchdog-ms");
    const rotalink::Result<rotalink::MotorGroup> group = rotalink::MotorGroup::make(members, options);
    example::check(group, "group");

    rotalink::Result<rotalink::GroupScope> scope = group.value().scope();
    example::check(scope, "enabling the group");
    // From here on, a failure ends the program through the end of main, not
    // exit(): the loop's and the scope's destructors then disable every
    // motor.
    rotalink::LoopOptions loop_options;
    if (opt.number("priority") != 0) loop_options.priority = static_cast<int>(opt.number("priority"));
    loop_options.hold = opt.millis("hold-ms");
    rotalink::Result<rotalink::ControlLoop> loop = group.value().start(opt.real("rate"), loop_options);
    if (!loop.ok()) {
        std::fprintf(stderr, "starting the loop: %s\n", loop.error().message().c_str());
        return 1;
    }

    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto length = std::chrono::duration<double>(opt.real("seconds"));
    // A cycle ends within the replies' timeout of its sends.
    const auto cycle_limit = std::chrono::milliseconds(100) + options.timeout;
    std::vector<rotalink::Setpoint> setpoints(group.value().size());
    while (std::chrono::steady_clock::now() - start < length) {
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (rotalink::Setpoint& s : setpoints) {
            rotalink::MitSetpoint mit;
            mit.q = static_cast<float>(0.3 * std::sin(2.0 * 3.141592653589793 * 0.5 * t));
            mit.kp = 5.0f;
            mit.kd = 0.3f;
            s = mit;
        }
        const rotalink::Result<rotalink::Unit> set = loop.value().set(setpoints);
        if (!set.ok()) {
            std::fprintf(stderr, "set: %s\n", set.error().message().c_str());
            status = 1;
            break;
        }
        const auto states = loop.value().wait(cycle_limit);
        if (!states.ok()) {
            std::fprintf(stderr, "wait: %s\n", states.error().message().c_str());
            status = 1;
            break;
        }
    }
    const rotalink::LoopStats stats = loop.value().stats();
    const rotalink::Result<rotalink::Unit> stopped = loop.value().stop();
    if (!stopped.ok()) {
        std::fprintf(stderr, "stopping the loop: %s\n", stopped.error().message().c_str());
        status = 1;
    }
    std::printf("cycles %llu overruns %llu rate %.1f Hz\n", static_cast<unsigned long long>(stats.cycles),
                static_cast<unsigned long long>(stats.overruns), stats.rate_hz);
    for (std::size_t i = 0; i < stats.missed.size(); ++i) {
        std::printf("member %zu: missed %llu faults %llu\n", i, static_cast<unsigned long long>(stats.missed[i]),
                    static_cast<unsigned long long>(stats.faults[i]));
    }
    std::printf("period us p50 %.1f p99 %.1f max %.1f\n", stats.period_us[0], stats.period_us[1], stats.period_us[2]);
    std::printf("latency us p50 %.1f p99 %.1f max %.1f\n", stats.latency_us[0], stats.latency_us[1],
                stats.latency_us[2]);
    const rotalink::Result<rotalink::Unit> closed = scope.value().close();
    if (!closed.ok()) {
        std::fprintf(stderr, "disabling the group: %s\n", closed.error().message().c_str());
        status = 1;
    }
    return status;
}
