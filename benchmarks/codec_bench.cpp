// ns per call of the MIT codec: encode (limits + setpoint to 8 bytes) and
// decode (8 feedback bytes to a MotorState), with Google Benchmark.
//
// The codec lives in its own translation unit and is linked as in the
// extension module (no link-time optimisation), so every iteration is a real
// call that the compiler cannot fold into the loop.
#include <benchmark/benchmark.h>

#include "codec_inputs.hpp"

namespace {

using namespace bench;

const mit::MitLimits kLimits = mit::MitLimits{};  // dm4310

// One setpoint, the same every call: the best case for the branch predictor.
void BM_encode_fixed(benchmark::State& state) {
    mit::MitLimits limits = kLimits;
    mit::MitSetpoint sp{1.0f, -2.0f, 50.0f, 1.0f, 3.0f};
    for (auto _ : state) {
        benchmark::DoNotOptimize(limits);
        benchmark::DoNotOptimize(sp);
        auto r = mit::encode(limits, sp);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_encode_fixed);

// A cycle of 256 varied setpoints, some clamped.
void BM_encode_varied(benchmark::State& state) {
    const auto setpoints = make_setpoints();
    mit::MitLimits limits = kLimits;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(limits);
        auto r = mit::encode(limits, setpoints[i++ & (kCycle - 1)]);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_encode_varied);

void BM_decode_fixed(benchmark::State& state) {
    mit::MitLimits limits = kLimits;
    mit::Payload fb{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
    for (auto _ : state) {
        benchmark::DoNotOptimize(limits);
        benchmark::DoNotOptimize(fb);
        auto s = mit::decode(limits, fb);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_decode_fixed);

void BM_decode_varied(benchmark::State& state) {
    const auto feedback = make_feedback();
    mit::MitLimits limits = kLimits;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(limits);
        auto s = mit::decode(limits, feedback[i++ & (kCycle - 1)]);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_decode_varied);

}  // namespace

BENCHMARK_MAIN();
