// Helpers shared by the libFuzzer targets: a failing check that aborts with a
// readable report (libFuzzer then saves the input as a reproducer), a reader
// that takes fixed-size values from the input, and a 32-bit float model of
// the codec's arithmetic that is written independently of the codec.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* cond, const std::string& why) {
    std::fprintf(stderr, "\n==== fuzz check failed at %s:%d\n  condition: %s\n  %s\n", file, line,
                 cond, why.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, why)                                 \
    do {                                                      \
        if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, #cond, (why)); \
    } while (0)

inline std::uint32_t bits_of(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline float float_of(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

inline std::string hex32(std::uint32_t u) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", u);
    return buf;
}

inline std::string describe(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s (%.9g)", hex32(bits_of(f)).c_str(), static_cast<double>(f));
    return buf;
}

inline std::string hex_bytes(const std::uint8_t* p, std::size_t n) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        out += buf;
    }
    return out;
}

// Same value, or both NaN (NaN payloads and signs are not compared).
inline bool same_float(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return bits_of(a) == bits_of(b);
}

// Takes values from the front of the input; past its end every byte is 0.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}

    std::size_t left() const { return n_ - pos_; }
    bool empty() const { return pos_ >= n_; }

    std::uint8_t u8() { return pos_ < n_ ? p_[pos_++] : 0; }
    // Low byte first (two statements: the order of two calls in one
    // expression is unspecified).
    std::uint16_t u16() {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{u8()} << (8 * i);
        return v;
    }
    float f32() { return float_of(u32()); }
    // A float from 4 bytes if that many are left, else `dflt`.
    float f32_or(float dflt) { return left() >= 4 ? f32() : dflt; }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

// ------------------------------------------------------------------------
// 32-bit float arithmetic modelled in double precision: each operation is
// done exactly or with one rounding in double and then rounded to float.
// For +, -, * and / of two floats a double carries more than twice the
// float's precision plus two bits, so the second rounding never changes the
// result: every operation gives the correctly rounded float.
namespace f32 {

// Round a double to the nearest float, ties to even; beyond the largest
// finite float by half an ulp or more it is an infinity.
inline float round(double d) {
    if (std::isnan(d)) return std::nanf("");
    const double lim = 340282356779733661637539395458142568448.0;  // FLT_MAX + ulp/2
    if (d >= lim) return HUGE_VALF;
    if (d <= -lim) return -HUGE_VALF;
    return static_cast<float>(d);
}

inline float add(float a, float b) { return round(static_cast<double>(a) + static_cast<double>(b)); }
inline float sub(float a, float b) { return round(static_cast<double>(a) - static_cast<double>(b)); }
inline float mul(float a, float b) { return round(static_cast<double>(a) * static_cast<double>(b)); }
inline float div(float a, float b) { return round(static_cast<double>(a) / static_cast<double>(b)); }

}  // namespace f32

// The command's scaling, from the description of the wire format: clamp
// (below min to min, then above max to max, NaN unchanged), scale (multiply
// first, then divide), then truncate toward zero into an unsigned 32-bit
// value (NaN and negatives 0, 2^32 and above all ones).
namespace model {

inline std::uint32_t to_u32(float s) {
    if (std::isnan(s) || s <= 0.0f) return 0;
    const double d = std::floor(static_cast<double>(s));
    if (d >= 4294967296.0) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(d);
}

inline float clamp(float x, float lo, float hi) {
    if (x < lo) x = lo;
    if (x > hi) x = hi;
    return x;
}

inline std::uint32_t symmetric(float x, float m, float k) {
    const float c = clamp(x, -m, m);
    return to_u32(f32::div(f32::mul(f32::add(m, c), k), f32::add(m, m)));
}

inline std::uint32_t gain(float x, float m, float k) {
    const float c = clamp(x, 0.0f, m);
    return to_u32(f32::div(f32::mul(c, k), m));
}

inline float unscale(std::uint32_t raw, float m, float k) {
    const float span = f32::add(m, m);
    return f32::sub(f32::div(f32::mul(span, static_cast<float>(raw)), k), m);
}

}  // namespace model
}  // namespace fuzz
