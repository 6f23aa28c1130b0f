// Durations and points on the system's monotonic clock.
#pragma once

#include <cstdint>

namespace rotalink::transport {

// Whole seconds plus nanoseconds (0..999,999,999).
struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;

    static constexpr Duration from_millis(std::uint64_t ms) {
        return {ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1000000u)};
    }
    static constexpr Duration from_nanos(std::uint64_t ns) {
        return {ns / 1000000000u, static_cast<std::uint32_t>(ns % 1000000000u)};
    }
    // The length in nanoseconds, or UINT64_MAX when it does not fit.
    constexpr std::uint64_t total_nanos_saturated() const {
        constexpr std::uint64_t kMaxSecs = UINT64_MAX / 1000000000u;
        if (secs > kMaxSecs) return UINT64_MAX;
        const std::uint64_t whole = secs * 1000000000u;
        return whole > UINT64_MAX - nanos ? UINT64_MAX : whole + nanos;
    }
    friend constexpr bool operator==(Duration a, Duration b) {
        return a.secs == b.secs && a.nanos == b.nanos;
    }
};

// A reading of CLOCK_MONOTONIC in nanoseconds. The far end of the range
// stands for "no deadline within reach".
struct Instant {
    std::uint64_t ns = 0;

    static Instant now();

    // now + d, saturating instead of wrapping.
    constexpr Instant saturating_add(Duration d) const {
        const std::uint64_t add = d.total_nanos_saturated();
        return {add > UINT64_MAX - ns ? UINT64_MAX : ns + add};
    }
    // The time left until this deadline as seen at `now`; zero once passed.
    constexpr Duration remaining_from(Instant now) const {
        return now.ns >= ns ? Duration{} : Duration::from_nanos(ns - now.ns);
    }
    friend constexpr bool operator<(Instant a, Instant b) { return a.ns < b.ns; }
};

// Sleeps for all of `d`, a signal's interruption included.
void sleep_for(Duration d);

}  // namespace rotalink::transport
