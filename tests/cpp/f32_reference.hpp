// A second, deliberately plain model of the MIT codec used to cross-check the
// production encoder and decoder bit for bit.
//
// Every single float operation is carried out in double and rounded to float
// right after it. For +, -, * and / of two floats the double result is close
// enough (53 >= 2*24 + 2 bits) that this rounding gives exactly the correctly
// rounded float result, so the model reproduces IEEE single precision without
// relying on how the compiler evaluates float expressions. Clamping,
// truncation and bit packing are also written independently of the
// production code: the eight bytes are built from one 64-bit big-endian word.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace rotalink::test::f32ref {

// One rounded float operation each.
inline float add(float a, float b) { return static_cast<float>(double{a} + double{b}); }
inline float sub(float a, float b) { return static_cast<float>(double{a} - double{b}); }
inline float mul(float a, float b) { return static_cast<float>(double{a} * double{b}); }
inline float div(float a, float b) { return static_cast<float>(double{a} / double{b}); }
inline float neg(float a) {
    std::uint32_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    bits ^= 0x80000000u;
    float r;
    std::memcpy(&r, &bits, sizeof r);
    return r;
}

constexpr float kQ = 65535.0f;
constexpr float k12 = 4095.0f;

// Lower bound first, then the upper one; an unordered (NaN) value compares
// false on both and is returned as it came.
inline float clamp_to(float x, float lo, float hi) {
    const double dx = x;
    float r = x;
    if (dx < double{lo}) r = lo;
    if (double{r} > double{hi}) r = hi;
    return r;
}

// Saturating truncation toward zero into 32 bits.
inline std::uint32_t to_u32(float s) {
    const double d = s;
    if (std::isnan(d) || d <= 0.0) return 0u;
    if (d >= 4294967296.0) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::trunc(d)));
}

inline std::uint32_t symmetric_raw(float x, float m, float k) {
    const float c = clamp_to(x, neg(m), m);
    return to_u32(div(mul(add(m, c), k), add(m, m)));
}

inline std::uint32_t gain_raw(float x, float m, float k) {
    const float c = clamp_to(x, 0.0f, m);
    return to_u32(div(mul(c, k), m));
}

struct Raw {
    std::uint32_t q, dq, kp, kd, tau;
};

struct EncodeOutcome {
    bool ok;
    std::array<std::uint8_t, 8> bytes;  // valid when ok
    Raw raw;                            // valid when ok
    float err_min, err_max;             // valid when !ok
};

// Limits and setpoint as plain arrays: {p_max, v_max, kp_max, kd_max, t_max}
// and {q, dq, kp, kd, tau}.
inline EncodeOutcome encode(const float (&lim)[5], const float (&sp)[5]) {
    EncodeOutcome out{};
    for (int i = 0; i < 5; ++i) {
        const float m = lim[i];
        if (std::isnan(m) || m < 0.0f) {
            out.ok = false;
            const bool gain = (i == 2 || i == 3);
            out.err_min = gain ? 0.0f : neg(m);
            out.err_max = m;
            return out;
        }
    }
    out.ok = true;
    Raw& r = out.raw;
    r.q = symmetric_raw(sp[0], lim[0], kQ);
    r.dq = symmetric_raw(sp[1], lim[1], k12);
    r.kp = gain_raw(sp[2], lim[2], k12);
    r.kd = gain_raw(sp[3], lim[3], k12);
    r.tau = symmetric_raw(sp[4], lim[4], k12);

    const std::uint64_t word = (std::uint64_t{r.q & 0xFFFFu} << 48) |
                               (std::uint64_t{r.dq & 0xFFFu} << 36) |
                               (std::uint64_t{r.kp & 0xFFFu} << 24) |
                               (std::uint64_t{r.kd & 0xFFFu} << 12) |
                               std::uint64_t{r.tau & 0xFFFu};
    for (int b = 0; b < 8; ++b) {
        out.bytes[static_cast<std::size_t>(b)] =
            static_cast<std::uint8_t>((word >> (56 - 8 * b)) & 0xFFu);
    }
    // 56 one bits on top would read as a special command: q goes one lower.
    if ((word >> 8) == 0xFFFFFFFFFFFFFFull) out.bytes[1] = 0xFE;
    return out;
}

struct Decoded {
    unsigned motor_id, error, t_mos, t_rotor;
    float position, velocity, torque;
};

inline float unscale(std::uint32_t raw, float m, float k) {
    const float fraw = static_cast<float>(raw);  // exact: raw < 2^16
    return sub(div(mul(add(m, m), fraw), k), m);
}

// p_max, v_max and t_max only.
inline Decoded decode(float p_max, float v_max, float t_max, const std::uint8_t* d) {
    std::uint64_t word = 0;
    for (int b = 0; b < 8; ++b) word = (word << 8) | d[b];
    Decoded out{};
    out.error = static_cast<unsigned>((word >> 60) & 0xFu);
    out.motor_id = static_cast<unsigned>((word >> 56) & 0xFu);
    const auto p_raw = static_cast<std::uint32_t>((word >> 40) & 0xFFFFu);
    const auto v_raw = static_cast<std::uint32_t>((word >> 28) & 0xFFFu);
    const auto t_raw = static_cast<std::uint32_t>((word >> 16) & 0xFFFu);
    out.t_mos = static_cast<unsigned>((word >> 8) & 0xFFu);
    out.t_rotor = static_cast<unsigned>(word & 0xFFu);
    out.position = unscale(p_raw, p_max, kQ);
    out.velocity = unscale(v_raw, v_max, k12);
    out.torque = unscale(t_raw, t_max, k12);
    return out;
}

}  // namespace rotalink::test::f32ref
