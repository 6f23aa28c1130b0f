// Inputs shared by the codec benchmarks: a cycle of setpoints and feedback
// payloads as a control loop sees them (most in range, some clamped).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "damiao/mit.hpp"

namespace bench {

namespace mit = rotalink::damiao::mit;

inline constexpr std::size_t kCycle = 256;  // a power of two

inline std::array<mit::MitSetpoint, kCycle> make_setpoints() {
    std::array<mit::MitSetpoint, kCycle> out{};
    std::uint32_t x = 0x12345678u;  // xorshift32: the same inputs every run
    auto next = [&x](float lo, float hi) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return lo + (hi - lo) * static_cast<float>(x >> 8) / 16777216.0f;
    };
    for (auto& s : out) {
        // Ranges a little wider than the dm4310 limits, so about one value
        // in ten is clamped.
        s = {next(-13.5f, 13.5f), next(-33.0f, 33.0f), next(0.0f, 550.0f), next(0.0f, 5.5f),
             next(-11.0f, 11.0f)};
    }
    return out;
}

inline std::array<mit::Payload, kCycle> make_feedback() {
    std::array<mit::Payload, kCycle> out{};
    std::uint32_t x = 0x9E3779B9u;
    for (auto& p : out) {
        for (auto& b : p) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<std::uint8_t>(x >> 24);
        }
    }
    return out;
}

}  // namespace bench
