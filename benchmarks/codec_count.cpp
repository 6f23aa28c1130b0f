// A fixed number of encode or decode calls, for counting instructions with
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect=<loop> codec_count encode N
// The two loops are separate functions, never inlined, so that callgrind can
// collect exactly one of them; the loop's own cost (a few instructions per
// call) is included in the figure.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec_inputs.hpp"

namespace {

using namespace bench;

volatile unsigned g_sink;

__attribute__((noinline)) void encode_loop(const mit::MitLimits& limits,
                                           const mit::MitSetpoint* setpoints, long n) {
    unsigned acc = 0;
    for (long i = 0; i < n; ++i) {
        auto r = mit::encode(limits, setpoints[i & (kCycle - 1)]);
        acc += r.value()[0];
    }
    g_sink = acc;
}

__attribute__((noinline)) void decode_loop(const mit::MitLimits& limits,
                                           const mit::Payload* feedback, long n) {
    float acc = 0.0f;
    for (long i = 0; i < n; ++i) {
        const mit::MotorState s = mit::decode(limits, feedback[i & (kCycle - 1)]);
        acc += s.position;
    }
    g_sink = static_cast<unsigned>(acc);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "encode") != 0 && std::strcmp(argv[1], "decode") != 0)) {
        std::fprintf(stderr, "usage: %s encode|decode N\n", argv[0]);
        return 2;
    }
    const long n = std::atol(argv[2]);
    const mit::MitLimits limits{};
    const auto setpoints = make_setpoints();
    const auto feedback = make_feedback();
    if (argv[1][0] == 'e') {
        encode_loop(limits, setpoints.data(), n);
    } else {
        decode_loop(limits, feedback.data(), n);
    }
    return 0;
}
