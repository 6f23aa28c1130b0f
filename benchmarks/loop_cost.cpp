// The C++ face's control loop for callgrind (benchmarks/run --cpp, in the
// VM): K motors on one bus answered by benchmarks/responder, the group's
// scope entered, a loop at RATE Hz run until CYCLES cycles have completed
// while this thread sets the same MIT setpoints after every cycle, as
// benchmarks/loop_cost.py does through the Python module. Prints the loop's
// cycle count as JSON; callgrind's count of the loop's thread divided by it
// is the instructions per cycle.
//
//   loop_cost IFACE MOTORS RATE CYCLES
#include <rotalink/rotalink.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// The value of `r`, or the program ends with the error.
template <class T>
T take(rotalink::Result<T> r, const char* what) {
    if (!r.ok()) {
        std::fprintf(stderr, "loop_cost: %s: %s\n", what, r.error().message().c_str());
        std::exit(1);
    }
    return std::move(r.value());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: loop_cost IFACE MOTORS RATE CYCLES\n");
        return 2;
    }
    const int motors = std::atoi(argv[2]);
    const double rate = std::atof(argv[3]);
    const unsigned long long cycles = std::strtoull(argv[4], nullptr, 10);
    const rotalink::SocketCanTransport bus = take(rotalink::SocketCanTransport::open(argv[1]), "opening the bus");
    std::vector<rotalink::Member> members;
    for (int i = 0; i < motors; ++i) {
        members.push_back({bus, rotalink::Damiao(static_cast<std::uint16_t>(0x01 + i),
                                                 static_cast<std::uint16_t>(0x11 + i),
                                                 take(rotalink::preset("DM4310"), "preset"))});
    }
    const rotalink::MotorGroup group = take(rotalink::MotorGroup::make(members), "group");
    rotalink::GroupScope scope = take(group.scope(), "enabling the group");
    rotalink::LoopOptions options;
    options.hold = std::chrono::milliseconds(60000);
    rotalink::ControlLoop loop = take(group.start(rate, options), "starting the loop");
    const std::vector<rotalink::Setpoint> setpoints(members.size(),
                                                    rotalink::MitSetpoint{1.0f, -2.0f, 50.0f, 1.0f, 3.0f});
    while (loop.stats().cycles < cycles) {
        take(loop.set(setpoints), "set");
        take(loop.wait(std::chrono::seconds(60)), "wait");
    }
    take(loop.stop(), "stopping the loop");
    const rotalink::LoopStats stats = loop.stats();
    unsigned long long missed = 0;
    for (std::uint64_t m : stats.missed) missed += m;
    std::printf("{\"face\": \"cpp\", \"cycles\": %llu, \"overruns\": %llu, \"missed\": %llu}\n",
                static_cast<unsigned long long>(stats.cycles), static_cast<unsigned long long>(stats.overruns), missed);
    take(scope.close(), "disabling the group");
    return 0;
}
