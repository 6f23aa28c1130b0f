// A group of motors in a scope: enabled while the scope lives, disabled
// (confirmed) when it ends, whatever way the block is left.
#include <rotalink/rotalink.hpp>

#include <cstdio>
#include <vector>

#include "options.hpp"

static const char kUsage[] =
    "usage: group_scope [--iface vcan0] [--ids 1,2] [--model DM4310] [--watchdog-ms 100]\n"
    "                   [--timeout-ms 20]\n"
    "\n"
    "Makes a group of the motors with command identifiers --ids (each answering\n"
    "from its identifier + 0x10) on one SocketCAN interface, enables it in a\n"
    "scope, holds every motor where it is for ten cycles, and leaves the scope,\n"
    "which disables every motor until each one's feedback confirms it. Replies\n"
    "are waited for --timeout-ms at most.\n";

int main(int argc, char** argv) {
    const example::Options opt(argc, argv, kUsage,
                               {{"iface", "vcan0"},
                                {"ids", "1,2"},
                                {"model", "DM4310"},
                                {"watchdog-ms", "100"},
                                {"timeout-ms", "20"}});
    const rotalink::Result<rotalink::MitLimits> limits = rotalink::preset(opt.text("model"));
    example::check(limits, "model");
    const rotalink::Result<rotalink::SocketCanTransport> bus = rotalink::SocketCanTransport::open(opt.text("iface"));
    example::check(bus, "opening the bus");

    const std::vector<rotalink::Member> members = example::members_of(opt.numbers("ids"), bus.value(), limits.value(), opt.millis("timeout-ms"));
    rotalink::GroupOptions options;
    options.timeout = opt.millis("timeout-ms");
    options.watchdog = opt.millis("watchdog-ms");
    const rotalink::Result<rotalink::MotorGroup> group = rotalink::MotorGroup::make(members, options);
    example::check(group, "group");
    {
        rotalink::Result<rotalink::GroupScope> scope = group.value().scope();
        example::check(scope, "enabling the group");
        std::printf("enabled %zu motors\n", scope.value().enabled().size());
        for (int cycle = 0; cycle < 10; ++cycle) {
            const rotalink::Result<std::vector<rotalink::MotorState>> states = group.value().hold(5.0f, 0.3f);
            if (!states.ok()) {
                std::fprintf(stderr, "cycle %d: %s\n", cycle, states.error().message().c_str());
                break;  // the scope still disables every member
            }
            for (std::size_t i = 0; i < states.value().size(); ++i) {
                std::printf("%s%.4f", i == 0 ? "positions " : " ", static_cast<double>(states.value()[i].position));
            }
            std::printf("\n");
        }
        const rotalink::Result<rotalink::Unit> closed = scope.value().close();
        example::check(closed, "disabling the group");
    }
    std::printf("every motor disabled\n");
    return 0;
}
