// One motor: enable it, send a few MIT commands, disable it.
#include <rotalink/rotalink.hpp>

#include <cstdio>

#include "options.hpp"

static const char kUsage[] =
    "usage: one_motor [--iface vcan0] [--motor-id 1] [--master-id 0x11] [--model DM4310]\n"
    "                 [--timeout-ms 20]\n"
    "\n"
    "Enables one Damiao motor on a SocketCAN interface, sends it five MIT\n"
    "commands (position 0 to 0.4 rad, kp 5, kd 0.3) and disables it, printing\n"
    "its feedback after each. Each reply is waited for --timeout-ms at most.\n";

int main(int argc, char** argv) {
    const example::Options opt(argc, argv, kUsage,
                               {{"iface", "vcan0"},
                                {"motor-id", "1"},
                                {"master-id", "0x11"},
                                {"model", "DM4310"},
                                {"timeout-ms", "20"}});
    const rotalink::Result<rotalink::MitLimits> limits = rotalink::preset(opt.text("model"));
    example::check(limits, "model");
    const rotalink::Result<rotalink::SocketCanTransport> bus = rotalink::SocketCanTransport::open(opt.text("iface"));
    example::check(bus, "opening the bus");
    const rotalink::Damiao motor(static_cast<std::uint16_t>(opt.number("motor-id")),
                                 static_cast<std::uint16_t>(opt.number("master-id")), limits.value(),
                                 opt.millis("timeout-ms"));

    const rotalink::Result<rotalink::MotorState> enabled = motor.enable(bus.value());
    example::check(enabled, "enable");
    std::printf("enabled: status %s\n", rotalink::status_name(enabled.value().error).c_str());
    for (int i = 0; i < 5; ++i) {
        rotalink::MitSetpoint sp;
        sp.q = 0.1f * static_cast<float>(i);
        sp.kp = 5.0f;
        sp.kd = 0.3f;
        const rotalink::Result<rotalink::MotorState> s = motor.mit_control(bus.value(), sp);
        if (!s.ok()) {
            std::fprintf(stderr, "command %d: %s\n", i, s.error().message().c_str());
            break;
        }
        std::printf("q=%.2f -> position %.4f velocity %.4f torque %.4f\n", static_cast<double>(sp.q),
                    static_cast<double>(s.value().position), static_cast<double>(s.value().velocity),
                    static_cast<double>(s.value().torque));
    }
    const rotalink::Result<rotalink::MotorState> disabled = motor.disable(bus.value());
    example::check(disabled, "disable");
    std::printf("disabled: status %s\n", rotalink::status_name(disabled.value().error).c_str());
    return 0;
}
