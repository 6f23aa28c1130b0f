// MIT codec: exact payload vectors, the limit-domain failure, decoding,
// presets, reprs, codec properties, and a bit-for-bit cross-check of encode
// and decode against an independent float32 model (f32_reference.hpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "damiao/mit.hpp"
#include "f32_reference.hpp"

namespace mit = rotalink::damiao::mit;
namespace ref = rotalink::test::f32ref;

namespace {

using mit::MitLimits;
using mit::MitSetpoint;
using mit::Payload;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bits(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

float from_bits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}
std::string hex(const Payload& p) { return hex(p.data(), p.size()); }

std::string show(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g [0x%08X]", double{f}, bits(f));
    return buf;
}

// Field order used throughout: q/p_max, dq/v_max, kp/kp_max, kd/kd_max, tau/t_max.
constexpr const char* kFieldNames[5] = {"q", "dq", "kp", "kd", "tau"};
constexpr std::uint32_t kFull[5] = {65535, 4095, 4095, 4095, 4095};
constexpr bool kIsGain[5] = {false, false, true, true, false};

float& limit_field(MitLimits& l, int i) {
    switch (i) {
        case 0: return l.p_max;
        case 1: return l.v_max;
        case 2: return l.kp_max;
        case 3: return l.kd_max;
        default: return l.t_max;
    }
}
float limit_field(const MitLimits& l, int i) { return limit_field(const_cast<MitLimits&>(l), i); }

float& setpoint_field(MitSetpoint& s, int i) {
    switch (i) {
        case 0: return s.q;
        case 1: return s.dq;
        case 2: return s.kp;
        case 3: return s.kd;
        default: return s.tau;
    }
}

// Raw field values read back out of a command payload.
std::array<std::uint32_t, 5> raw_fields(const Payload& p) {
    return {
        (std::uint32_t{p[0]} << 8) | p[1],
        (std::uint32_t{p[2]} << 4) | (p[3] >> 4),
        ((std::uint32_t{p[3]} & 0xFu) << 8) | p[4],
        (std::uint32_t{p[5]} << 4) | (p[6] >> 4),
        ((std::uint32_t{p[6]} & 0xFu) << 8) | p[7],
    };
}

Payload encode_ok(const MitLimits& l, const MitSetpoint& s) {
    auto r = mit::encode(l, s);
    if (!r.ok()) {
        ADD_FAILURE() << "encode failed: " << r.error().message();
        return Payload{};
    }
    return r.value();
}

MitLimits from_array(const float (&a)[5]) { return MitLimits{a[0], a[1], a[2], a[3], a[4]}; }
MitSetpoint sp_from_array(const float (&a)[5]) { return MitSetpoint{a[0], a[1], a[2], a[3], a[4]}; }

// ---------------------------------------------------------------------------
// Exact payload vectors.

struct EncodeVector {
    const char* name;
    MitLimits limits;
    MitSetpoint setpoint;
    Payload bytes;
};

const EncodeVector kEncodeVectors[] = {
    {"defaults_zero_setpoint", {}, {}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
    {"negative_zero_setpoint", {}, {-0.0f, -0.0f, -0.0f, -0.0f, -0.0f},
     {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
    {"typical_values_truncate", {}, {1.0f, -2.0f, 50.0f, 1.0f, 3.0f},
     {0x8A, 0x3C, 0x77, 0x71, 0x99, 0x33, 0x3A, 0x65}},
    // Seven 0xFF bytes would be a special command: q is lowered by one.
    {"at_upper_limits", {}, {12.5f, 30.0f, 500.0f, 5.0f, 10.0f},
     {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    // t_max 2047.5 makes tau's raw value 2047.5 + tau exactly.
    {"not_enable", {12.5f, 30.0f, 500.0f, 5.0f, 2047.5f}, {12.5f, 30.0f, 500.0f, 5.0f, 2044.5f},
     {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}},
    {"not_disable", {12.5f, 30.0f, 500.0f, 5.0f, 2047.5f}, {12.5f, 30.0f, 500.0f, 5.0f, 2045.5f},
     {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}},
    {"not_clear_error", {12.5f, 30.0f, 500.0f, 5.0f, 2047.5f}, {12.5f, 30.0f, 500.0f, 5.0f, 2043.5f},
     {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}},
    {"not_set_zero", {12.5f, 30.0f, 500.0f, 5.0f, 2047.5f}, {12.5f, 30.0f, 500.0f, 5.0f, 2046.5f},
     {0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
    // kd one step under its top (kd_max 4095: raw = kd): byte 6 is EF, q stays.
    {"kd_below_top_unchanged", {12.5f, 30.0f, 500.0f, 4095.0f, 2047.5f}, {12.5f, 30.0f, 500.0f, 4094.0f, 2044.5f},
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xFC}},
    {"at_lower_limits", {}, {-12.5f, -30.0f, 0.0f, 0.0f, -10.0f},
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"beyond_limits_clamped", {}, {20.0f, 40.0f, 600.0f, 6.0f, -20.0f},
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0x00}},
    {"below_limits_clamped", {}, {-20.0f, -40.0f, -1.0f, -6.0f, 20.0f},
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0xFF}},
    {"infinite_setpoints_clamped", {}, {kInf, kInf, kInf, kInf, -kInf},
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0x00}},
    {"negative_infinite_setpoints_clamped", {}, {-kInf, -kInf, -kInf, -kInf, kInf},
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0xFF}},
    {"all_nan_setpoint", {}, {kNaN, kNaN, kNaN, kNaN, kNaN},
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"all_limits_zero", {0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, {1.0f, -2.0f, 50.0f, 1.0f, 3.0f},
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"all_limits_infinite", {kInf, kInf, kInf, kInf, kInf}, {1.0f, -2.0f, 50.0f, 1.0f, 3.0f},
     {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
};

void PrintTo(const EncodeVector& v, std::ostream* os) { *os << v.name; }

class EncodeVectors : public ::testing::TestWithParam<EncodeVector> {};

TEST_P(EncodeVectors, ProducesExactBytes) {
    const EncodeVector& v = GetParam();
    const Payload got = encode_ok(v.limits, v.setpoint);
    EXPECT_EQ(hex(got), hex(v.bytes));
}

INSTANTIATE_TEST_SUITE_P(Mit, EncodeVectors, ::testing::ValuesIn(kEncodeVectors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MitEncode, RawValuesAreTruncatedNotRounded) {
    // 13.5 * 65535 / 25 = 35388.9, 28 * 4095 / 60 = 1911.0, 50 * 4095 / 500 = 409.5,
    // 1 * 4095 / 5 = 819, 13 * 4095 / 20 = 2661.75.
    const Payload p = encode_ok(MitLimits{}, MitSetpoint{1.0f, -2.0f, 50.0f, 1.0f, 3.0f});
    const auto raw = raw_fields(p);
    EXPECT_EQ(raw[0], 35388u);
    EXPECT_EQ(raw[1], 1911u);
    EXPECT_EQ(raw[2], 409u);
    EXPECT_EQ(raw[3], 819u);
    EXPECT_EQ(raw[4], 2661u);
    const auto zero = raw_fields(encode_ok(MitLimits{}, MitSetpoint{}));
    EXPECT_EQ(zero, (std::array<std::uint32_t, 5>{32767, 2047, 0, 0, 2047}));
}

// ---------------------------------------------------------------------------
// NaN setpoints, zero and infinite limits: the affected field goes to raw 0,
// every other field keeps its value.

const MitSetpoint kBaseSetpoint{1.0f, -2.0f, 50.0f, 1.0f, 3.0f};
const std::array<std::uint32_t, 5> kBaseRaw{35388, 1911, 409, 819, 2661};

const float kNaNs[] = {
    kNaN,
    -kNaN,
    from_bits(0x7F800001u),  // signalling NaN, smallest payload
    from_bits(0xFFFFFFFFu),
    from_bits(0x7FC12345u),
};

class NanSetpointField : public ::testing::TestWithParam<int> {};

TEST_P(NanSetpointField, EncodesThatFieldAsRawZeroOnly) {
    const int field = GetParam();
    for (float nan : kNaNs) {
        MitSetpoint s = kBaseSetpoint;
        setpoint_field(s, field) = nan;
        const auto raw = raw_fields(encode_ok(MitLimits{}, s));
        for (int i = 0; i < 5; ++i) {
            const std::uint32_t want = (i == field) ? 0u : kBaseRaw[static_cast<std::size_t>(i)];
            EXPECT_EQ(raw[static_cast<std::size_t>(i)], want)
                << kFieldNames[field] << " = " << show(nan) << ", checking " << kFieldNames[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Mit, NanSetpointField, ::testing::Range(0, 5),
                         [](const auto& info) { return std::string(kFieldNames[info.param]); });

const float kProbeSetpoints[] = {
    0.0f, -0.0f, 1.0f, -1.0f, 3.0f, 50.0f, 1e-30f, -1e-30f, 1e30f, -1e30f,
    FLT_MAX, -FLT_MAX, kInf, -kInf, kNaN, -kNaN, std::numeric_limits<float>::denorm_min(),
};

struct DegenerateLimit {
    const char* name;
    float value;
};

void PrintTo(const DegenerateLimit& v, std::ostream* os) { *os << v.name; }

class DegenerateLimitField
    : public ::testing::TestWithParam<std::tuple<int, DegenerateLimit>> {};

TEST_P(DegenerateLimitField, EncodesThatFieldAsRawZeroWhateverTheSetpoint) {
    const int field = std::get<0>(GetParam());
    const DegenerateLimit lim = std::get<1>(GetParam());
    MitLimits l;
    limit_field(l, field) = lim.value;
    for (float x : kProbeSetpoints) {
        MitSetpoint s = kBaseSetpoint;
        setpoint_field(s, field) = x;
        auto r = mit::encode(l, s);
        ASSERT_TRUE(r.ok()) << "a limit of " << show(lim.value) << " must be accepted";
        const auto raw = raw_fields(r.value());
        for (int i = 0; i < 5; ++i) {
            const std::uint32_t want = (i == field) ? 0u : kBaseRaw[static_cast<std::size_t>(i)];
            EXPECT_EQ(raw[static_cast<std::size_t>(i)], want)
                << "limit " << lim.name << " on " << kFieldNames[field] << ", setpoint "
                << show(x) << ", checking " << kFieldNames[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Mit, DegenerateLimitField,
    ::testing::Combine(::testing::Range(0, 5),
                       ::testing::Values(DegenerateLimit{"positive_zero", 0.0f},
                                         DegenerateLimit{"negative_zero", -0.0f},
                                         DegenerateLimit{"infinity", kInf})),
    [](const auto& info) {
        return std::string(kFieldNames[std::get<0>(info.param)]) + "_" +
               std::get<1>(info.param).name;
    });

// ---------------------------------------------------------------------------
// Limit-domain failure.

struct DomainVector {
    const char* name;
    MitLimits limits;
    std::uint32_t min_bits;
    std::uint32_t max_bits;
    const char* message;
};

const DomainVector kDomainVectors[] = {
    {"p_max_minus_one", {-1.0f, 30.0f, 500.0f, 5.0f, 10.0f}, bits(1.0f), bits(-1.0f),
     "min > max, or either was NaN. min = 1.0, max = -1.0"},
    {"kd_max_minus_two", {12.5f, 30.0f, 500.0f, -2.0f, 10.0f}, bits(0.0f), bits(-2.0f),
     "min > max, or either was NaN. min = 0.0, max = -2.0"},
    {"p_max_nan", {kNaN, 30.0f, 500.0f, 5.0f, 10.0f}, bits(-kNaN), bits(kNaN),
     "min > max, or either was NaN. min = NaN, max = NaN"},
    {"p_max_negative_nan", {-kNaN, 30.0f, 500.0f, 5.0f, 10.0f}, bits(kNaN), bits(-kNaN),
     "min > max, or either was NaN. min = NaN, max = NaN"},
    {"v_max_negative_infinity", {12.5f, -kInf, 500.0f, 5.0f, 10.0f}, bits(kInf), bits(-kInf),
     "min > max, or either was NaN. min = inf, max = -inf"},
    {"v_max_nan", {12.5f, kNaN, 500.0f, 5.0f, 10.0f}, bits(-kNaN), bits(kNaN),
     "min > max, or either was NaN. min = NaN, max = NaN"},
    {"kp_max_huge_negative", {12.5f, 30.0f, -1e20f, 5.0f, 10.0f}, bits(0.0f), bits(-1e20f),
     "min > max, or either was NaN. min = 0.0, max = -1e20"},
    {"kp_max_nan", {12.5f, 30.0f, kNaN, 5.0f, 10.0f}, bits(0.0f), bits(kNaN),
     "min > max, or either was NaN. min = 0.0, max = NaN"},
    {"kd_max_negative_infinity", {12.5f, 30.0f, 500.0f, -kInf, 10.0f}, bits(0.0f), bits(-kInf),
     "min > max, or either was NaN. min = 0.0, max = -inf"},
    {"t_max_tiny_negative", {12.5f, 30.0f, 500.0f, 5.0f, -1e-5f}, bits(1e-5f), bits(-1e-5f),
     "min > max, or either was NaN. min = 1e-5, max = -1e-5"},
    {"t_max_minus_half", {12.5f, 30.0f, 500.0f, 5.0f, -0.5f}, bits(0.5f), bits(-0.5f),
     "min > max, or either was NaN. min = 0.5, max = -0.5"},
    {"t_max_smallest_negative", {12.5f, 30.0f, 500.0f, 5.0f, -std::numeric_limits<float>::denorm_min()},
     bits(std::numeric_limits<float>::denorm_min()),
     bits(-std::numeric_limits<float>::denorm_min()),
     "min > max, or either was NaN. min = 1e-45, max = -1e-45"},
    {"p_max_lowest", {-FLT_MAX, 30.0f, 500.0f, 5.0f, 10.0f}, bits(FLT_MAX), bits(-FLT_MAX),
     "min > max, or either was NaN. min = 3.4028235e38, max = -3.4028235e38"},
    {"first_failure_wins", {-3.0f, kNaN, -1.0f, -1.0f, -1.0f}, bits(3.0f), bits(-3.0f),
     "min > max, or either was NaN. min = 3.0, max = -3.0"},
    {"first_failure_after_valid_ones", {0.0f, kInf, 7.0f, kNaN, -2.0f}, bits(0.0f), bits(kNaN),
     "min > max, or either was NaN. min = 0.0, max = NaN"},
};

void PrintTo(const DomainVector& v, std::ostream* os) { *os << v.name; }

class LimitDomain : public ::testing::TestWithParam<DomainVector> {};

TEST_P(LimitDomain, ReportsBoundsAndMessage) {
    const DomainVector& v = GetParam();
    for (const MitSetpoint& s : {MitSetpoint{}, kBaseSetpoint, MitSetpoint{kNaN, kNaN, kNaN, kNaN, kNaN}}) {
        auto r = mit::encode(v.limits, s);
        ASSERT_FALSE(r.ok()) << "encoded to " << hex(r.value());
        EXPECT_EQ(bits(r.error().min), v.min_bits) << "min = " << show(r.error().min);
        EXPECT_EQ(bits(r.error().max), v.max_bits) << "max = " << show(r.error().max);
        EXPECT_EQ(r.error().message(), v.message);
    }
}

INSTANTIATE_TEST_SUITE_P(Mit, LimitDomain, ::testing::ValuesIn(kDomainVectors),
                         [](const auto& info) { return std::string(info.param.name); });

// Every limit may fail, and every failing limit after the first is ignored:
// the first failing field in the order p_max, v_max, kp_max, kd_max, t_max is
// the one reported, whichever kinds of bad values follow it.
TEST(MitEncode, LimitDomainFailureOrder) {
    const float bad_values[] = {-1.0f, -kInf, kNaN, -kNaN, -std::numeric_limits<float>::denorm_min(), -500.0f};
    const float later_bad[] = {-7.0f, kNaN};
    for (int first = 0; first < 5; ++first) {
        for (float bad : bad_values) {
            for (int later_mask = 0; later_mask < 32; ++later_mask) {
                MitLimits l;
                limit_field(l, first) = bad;
                for (int j = first + 1; j < 5; ++j) {
                    if (later_mask & (1 << j)) limit_field(l, j) = later_bad[j % 2];
                }
                auto r = mit::encode(l, kBaseSetpoint);
                ASSERT_FALSE(r.ok());
                const std::uint32_t want_min = kIsGain[first] ? bits(0.0f) : (bits(bad) ^ 0x80000000u);
                EXPECT_EQ(bits(r.error().min), want_min)
                    << "first bad " << kFieldNames[first] << " = " << show(bad);
                EXPECT_EQ(bits(r.error().max), bits(bad))
                    << "first bad " << kFieldNames[first] << " = " << show(bad);
            }
        }
    }
}

TEST(MitEncode, AcceptsZeroInfiniteAndTinyLimits) {
    const float ok_limits[] = {0.0f, -0.0f, kInf, std::numeric_limits<float>::denorm_min(), FLT_MIN,
                               FLT_MAX, 1e-30f, 1e30f};
    for (int field = 0; field < 5; ++field) {
        for (float v : ok_limits) {
            MitLimits l;
            limit_field(l, field) = v;
            EXPECT_TRUE(mit::encode(l, kBaseSetpoint).ok())
                << kFieldNames[field] << " limit " << show(v);
        }
    }
}

// ---------------------------------------------------------------------------
// Decoding.

struct DecodeVector {
    const char* name;
    MitLimits limits;
    std::array<std::uint8_t, 8> bytes;
    unsigned motor_id, error;
    float position, velocity, torque;
    unsigned t_mos, t_rotor;
};

const DecodeVector kDecodeVectors[] = {
    {"zero_setpoint_echo", {}, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20}, 1, 1,
     -0.00019073486f, -0.0073261261f, -0.00244236f, 30, 32},
    {"full_scale", {}, {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, 1, 0, 12.5f, 30.0f, 10.0f,
     0, 0},
    {"bottom_of_scale", {}, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 1, 0, -12.5f,
     -30.0f, -10.0f, 0, 0},
    {"all_zero_bytes", {}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, 0, -12.5f, -30.0f,
     -10.0f, 0, 0},
    {"nibbles_and_temperatures", {}, {0xA5, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFE, 0x7F}, 5, 10,
     12.5f, -30.0f, 10.0f, 254, 127},
    // Velocity takes the high nibble of byte 4, torque the low one.
    {"shared_byte_split", {}, {0xF0, 0x00, 0x00, 0xFF, 0xF0, 0x00, 0xFF, 0xFF}, 0, 15, -12.5f,
     30.0f, -10.0f, 255, 255},
    // Zero limits: 0 * raw / K - 0 = +0 everywhere.
    {"zero_limits", {0.0f, 0.0f, 500.0f, 5.0f, 0.0f}, {0x33, 0x12, 0x34, 0x56, 0x78, 0x9A, 0x01, 0x02},
     3, 3, 0.0f, 0.0f, 0.0f, 1, 2},
    // Infinite limits: inf * raw is inf (raw > 0) or NaN (raw 0), minus inf is NaN.
    {"infinite_limits", {kInf, kInf, 500.0f, 5.0f, kInf}, {0x00, 0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00},
     0, 0, kNaN, kNaN, kNaN, 0, 0},
    // Negative limits are not checked: the scale simply runs the other way.
    {"negative_limits", {-12.5f, -30.0f, 500.0f, 5.0f, -10.0f},
     {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, 1, 0, -12.5f, -30.0f, -10.0f, 0, 0},
    // Full scales of K/2 make every step exactly one: raw 32768 and 2048 read 0.5.
    {"unit_step_scale", {32767.5f, 2047.5f, 500.0f, 5.0f, 2047.5f},
     {0x00, 0x80, 0x00, 0x80, 0x08, 0x00, 0x00, 0x00}, 0, 0, 0.5f, 0.5f, 0.5f, 0, 0},
};

void PrintTo(const DecodeVector& v, std::ostream* os) { *os << v.name; }

void expect_float_bits(float got, float want, const char* what, const char* name) {
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << name << ": " << what << " = " << show(got) << ", want NaN";
    } else {
        EXPECT_EQ(bits(got), bits(want))
            << name << ": " << what << " = " << show(got) << ", want " << show(want);
    }
}

class DecodeVectors : public ::testing::TestWithParam<DecodeVector> {};

TEST_P(DecodeVectors, ProducesExactState) {
    const DecodeVector& v = GetParam();
    // Bytes after the eighth are never looked at.
    std::array<std::uint8_t, 16> buf;
    buf.fill(0xA5);
    std::copy(v.bytes.begin(), v.bytes.end(), buf.begin());
    const mit::MotorState st = mit::decode(v.limits, buf);
    EXPECT_EQ(st.motor_id, v.motor_id);
    EXPECT_EQ(st.error, v.error);
    expect_float_bits(st.position, v.position, "position", v.name);
    expect_float_bits(st.velocity, v.velocity, "velocity", v.name);
    expect_float_bits(st.torque, v.torque, "torque", v.name);
    EXPECT_EQ(st.t_mos, v.t_mos);
    EXPECT_EQ(st.t_rotor, v.t_rotor);
}

INSTANTIATE_TEST_SUITE_P(Mit, DecodeVectors, ::testing::ValuesIn(kDecodeVectors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MitDecode, ZeroSetpointEchoIsExactMultipleOfTheStep) {
    // The expected floats above, spelled as exact binary values.
    const std::uint8_t d[8] = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
    const mit::MotorState st = mit::decode(MitLimits{}, d);
    EXPECT_EQ(bits(st.position), bits(std::ldexp(-200.0f, -20)));
    EXPECT_EQ(bits(st.velocity), bits(std::ldexp(-3841.0f, -19)));
    EXPECT_EQ(bits(st.torque), bits(std::ldexp(-2561.0f, -20)));
}

// ---------------------------------------------------------------------------
// Presets.

struct PresetRow {
    const char* name;
    float p_max, v_max, kp_max, kd_max, t_max;
};

// The presets' one list (mit.hpp), which the table, the index constants and
// the Python static methods are made from; the values themselves are checked
// against docs/API.md by the Python tests.
const PresetRow kPresetTable[] = {
#define ROTALINK_PRESET_ROW(name, p_max, v_max, kp_max, kd_max, t_max) {#name, p_max, v_max, kp_max, kd_max, t_max},
    ROTALINK_MIT_PRESETS(ROTALINK_PRESET_ROW)
#undef ROTALINK_PRESET_ROW
};

const std::size_t kPresetIndexes[] = {
#define ROTALINK_PRESET_INDEX_ROW(name, ...) mit::kPreset_##name,
    ROTALINK_MIT_PRESETS(ROTALINK_PRESET_INDEX_ROW)
#undef ROTALINK_PRESET_INDEX_ROW
};

const mit::Preset* find_preset(const char* name) {
    for (const auto& p : mit::kPresets) {
        if (std::string(p.name) == name) return &p;
    }
    return nullptr;
}

void expect_same_limits(const MitLimits& a, const MitLimits& b, const std::string& what) {
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(bits(limit_field(a, i)), bits(limit_field(b, i))) << what << ", field " << i;
    }
}

TEST(MitPresets, NamesValuesAndOrder) {
    ASSERT_EQ(mit::kPresets.size(), 15u);
    for (std::size_t i = 0; i < 15; ++i) {
        const PresetRow& row = kPresetTable[i];
        const mit::Preset& p = mit::kPresets[i];
        EXPECT_STREQ(p.name, row.name) << "position " << i;
        EXPECT_EQ(kPresetIndexes[i], i) << row.name;
        expect_same_limits(p.limits, MitLimits{row.p_max, row.v_max, row.kp_max, row.kd_max, row.t_max},
                           row.name);
    }
}

TEST(MitPresets, OddPositionFullScaleIsNearestFloatTo12_566) {
    EXPECT_EQ(bits(12.566f), 0x41490E56u);
    EXPECT_EQ(bits(find_preset("dm3507")->limits.p_max), 0x41490E56u);
    EXPECT_EQ(bits(find_preset("dm6248p")->limits.p_max), 0x41490E56u);
    EXPECT_NE(bits(find_preset("dm3507")->limits.p_max), bits(static_cast<float>(4.0 * M_PI)));
}

TEST(MitPresets, AliasesAndDefaults) {
    expect_same_limits(find_preset("dm4340p")->limits, find_preset("dm4340")->limits, "dm4340p");
    expect_same_limits(find_preset("dmh6220")->limits, find_preset("dmg6215")->limits, "dmh6220");
    expect_same_limits(MitLimits{}, find_preset("dm4310")->limits, "defaults");
    MitSetpoint s{};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(bits(setpoint_field(s, i)), 0u) << kFieldNames[i];
}

// ---------------------------------------------------------------------------
// Text forms.

TEST(MitRepr, Texts) {
    EXPECT_EQ(mit::repr(MitLimits{}), "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)");
    EXPECT_EQ(mit::repr(find_preset("dm3507")->limits),
              "MitLimits(p_max=12.566, v_max=50, kp_max=500, kd_max=5, t_max=5)");
    EXPECT_EQ(mit::repr(MitLimits{kNaN, kInf, -kInf, -0.0f, 1e20f}),
              "MitLimits(p_max=NaN, v_max=inf, kp_max=-inf, kd_max=-0, t_max=100000000000000000000)");
    EXPECT_EQ(mit::repr(MitSetpoint{}), "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)");
    EXPECT_EQ(mit::repr(MitSetpoint{0.1f, -2.0f, 50.0f, 1.5f, -0.0f}),
              "MitSetpoint(q=0.1, dq=-2, kp=50, kd=1.5, tau=-0)");
    const std::uint8_t d[8] = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
    EXPECT_EQ(mit::repr(mit::decode(MitLimits{}, d)),
              "MotorState(motor_id=1, error=1, position=-0.0002, velocity=-0.0073, "
              "torque=-0.0024, t_mos=30, t_rotor=32)");
    mit::MotorState st;
    st.motor_id = 15;
    st.error = 15;
    st.position = -0.00001f;
    st.velocity = kNaN;
    st.torque = -kInf;
    st.t_mos = 255;
    st.t_rotor = 0;
    EXPECT_EQ(mit::repr(st),
              "MotorState(motor_id=15, error=15, position=-0.0000, velocity=NaN, torque=-inf, "
              "t_mos=255, t_rotor=0)");
}

// ---------------------------------------------------------------------------
// Properties over presets.

constexpr std::uint32_t kSeed = 0x5EED2024u;

float uniform(std::mt19937& rng, float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
}

// Decodes one command field back: the inverse of the field's scale, in double.
double command_value(std::uint32_t raw, float m, int field) {
    const double k = kFull[field];
    if (kIsGain[field]) return raw * double{m} / k;
    return raw * (2.0 * m) / k - m;
}

double clamp_input(float x, float m, int field) {
    const double lo = kIsGain[field] ? 0.0 : -double{m};
    return std::min(std::max(double{x}, lo), double{m});
}

TEST(MitProperties, RoundTripWithinOneStep) {
    std::mt19937 rng(kSeed);
    for (const auto& preset : mit::kPresets) {
        const MitLimits& l = preset.limits;
        for (int n = 0; n < 20000; ++n) {
            MitSetpoint s;
            for (int f = 0; f < 5; ++f) {
                const float m = limit_field(l, f);
                const float lo = kIsGain[f] ? -0.1f * m : -1.1f * m;
                setpoint_field(s, f) = uniform(rng, lo, 1.1f * m);
            }
            const auto raw = raw_fields(encode_ok(l, s));
            for (int f = 0; f < 5; ++f) {
                const float m = limit_field(l, f);
                const double step = (kIsGain[f] ? double{m} : 2.0 * m) / kFull[f];
                // Truncation loses up to one step; the three rounded float
                // operations before it may move the scaled value by a few
                // ulps of K (e.g. dm3507, q = 0x413E9B4F: exactly 63832.00046,
                // in float 63831.996, raw 63831).
                const double slack = 4.0 * kFull[f] / 16777216.0;
                const double want = clamp_input(setpoint_field(s, f), m, f);
                const double got = command_value(raw[static_cast<std::size_t>(f)], m, f);
                ASSERT_LE(std::fabs(got - want), step * (1 + slack))
                    << preset.name << " " << kFieldNames[f] << " = " << show(setpoint_field(s, f))
                    << " raw " << raw[static_cast<std::size_t>(f)] << " reads back as " << got;
            }
        }
    }
}

TEST(MitProperties, OutOfRangeEncodesLikeTheBound) {
    std::mt19937 rng(kSeed + 1);
    for (const auto& preset : mit::kPresets) {
        const MitLimits& l = preset.limits;
        for (int f = 0; f < 5; ++f) {
            const float m = limit_field(l, f);
            const float lo = kIsGain[f] ? 0.0f : -m;
            std::vector<float> above = {std::nextafter(m, kInf), FLT_MAX, kInf, 2 * m, 1e30f};
            std::vector<float> below = {std::nextafter(lo, -kInf), -FLT_MAX, -kInf, -2 * m - 1, -1e30f};
            for (int n = 0; n < 500; ++n) {
                above.push_back(m * (1.0f + uniform(rng, 1e-6f, 1000.0f)));
                below.push_back(lo - std::fabs(m) * uniform(rng, 1e-6f, 1000.0f));
            }
            MitSetpoint base = kBaseSetpoint;
            setpoint_field(base, f) = m;
            const Payload at_max = encode_ok(l, base);
            setpoint_field(base, f) = lo;
            const Payload at_min = encode_ok(l, base);
            for (float x : above) {
                MitSetpoint s = kBaseSetpoint;
                setpoint_field(s, f) = x;
                ASSERT_EQ(hex(encode_ok(l, s)), hex(at_max))
                    << preset.name << " " << kFieldNames[f] << " = " << show(x);
            }
            for (float x : below) {
                MitSetpoint s = kBaseSetpoint;
                setpoint_field(s, f) = x;
                ASSERT_EQ(hex(encode_ok(l, s)), hex(at_min))
                    << preset.name << " " << kFieldNames[f] << " = " << show(x);
            }
            // The bounds themselves are full scale and zero.
            EXPECT_EQ(raw_fields(at_max)[static_cast<std::size_t>(f)], kFull[f]) << preset.name;
            EXPECT_EQ(raw_fields(at_min)[static_cast<std::size_t>(f)], 0u) << preset.name;
        }
    }
}

TEST(MitProperties, RawIsNonDecreasingInTheValue) {
    std::mt19937 rng(kSeed + 2);
    for (const auto& preset : mit::kPresets) {
        const MitLimits& l = preset.limits;
        for (int f = 0; f < 5; ++f) {
            const float m = limit_field(l, f);
            std::vector<float> xs;
            for (int n = 0; n < 3000; ++n) xs.push_back(uniform(rng, -1.5f * m, 1.5f * m));
            // Runs of adjacent floats around quantisation boundaries, where
            // rounding of the intermediate products matters most.
            for (int n = 0; n < 40; ++n) {
                const std::uint32_t k = std::uniform_int_distribution<std::uint32_t>(0, kFull[f])(rng);
                const float centre = kIsGain[f] ? static_cast<float>(k * double{m} / kFull[f])
                                                : static_cast<float>(k * 2.0 * m / kFull[f] - m);
                float x = centre;
                for (int j = 0; j < 32; ++j) x = std::nextafter(x, -kInf);
                for (int j = 0; j < 64; ++j) {
                    xs.push_back(x);
                    x = std::nextafter(x, kInf);
                }
            }
            std::sort(xs.begin(), xs.end());
            std::uint32_t prev = 0;
            float prev_x = -kInf;
            for (float x : xs) {
                MitSetpoint s = kBaseSetpoint;
                setpoint_field(s, f) = x;
                const std::uint32_t r = raw_fields(encode_ok(l, s))[static_cast<std::size_t>(f)];
                ASSERT_GE(r, prev) << preset.name << " " << kFieldNames[f] << ": " << show(prev_x)
                                   << " -> " << prev << " but " << show(x) << " -> " << r;
                prev = r;
                prev_x = x;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Cross-check against the float32 reference model.

class Sampler {
public:
    explicit Sampler(std::uint32_t seed) : rng_(seed) {}

    std::uint32_t u32() { return rng_(); }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    float unit() { return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng_); }
    float sign() { return (rng_() & 1u) ? -1.0f : 1.0f; }

    float nan() {
        // Any exponent-all-ones pattern with a nonzero mantissa, either sign.
        std::uint32_t m = rng_() & 0x007FFFFFu;
        if (m == 0) m = 0x00400000u;
        return from_bits((rng_() & 0x80000000u) | 0x7F800000u | m);
    }
    float subnormal() { return from_bits((rng_() & 0x80000000u) | (rng_() % 0x007FFFFFu + 1)); }
    float log_uniform_positive(float lo_exp, float hi_exp) {
        return std::pow(10.0f, lo_exp + (hi_exp - lo_exp) * unit());
    }

    float limit(int field) {
        const int c = pick(100);
        if (c < 35) return limit_field(mit::kPresets[static_cast<std::size_t>(pick(15))].limits, field);
        if (c < 50) return 1000.0f * unit() + 1e-3f;
        if (c < 62) return log_uniform_positive(-37.0f, 38.0f);
        if (c < 64) return 0.0f;
        if (c < 66) return -0.0f;
        if (c < 69) return kInf;
        if (c < 71) return nan();
        if (c < 73) return -1000.0f * unit() - 1e-3f;
        if (c < 74) return -kInf;
        if (c < 78) return from_bits(u32());
        if (c < 82) return std::fabs(subnormal());
        if (c < 86) return from_bits(0x7F7FFFFFu - (u32() & 0xFFFFFu));  // close to FLT_MAX
        if (c < 92) return log_uniform_positive(30.0f, 38.5f);             // products overflow
        return static_cast<float>(pick(4096) + 1) / 2.0f;                // exact steps
    }

    float setpoint(float m, int field) {
        const bool usable = std::isfinite(m) && m > 0.0f;
        const float r = usable ? m : 10.0f;
        const float lo = kIsGain[field] ? 0.0f : -r;
        const int c = pick(100);
        if (c < 40) return lo + (r - lo) * unit();
        if (c < 50) return sign() * r * (1.0f + 1000.0f * unit());
        if (c < 54) return nan();
        if (c < 58) return sign() * kInf;
        if (c < 62) return sign() * 0.0f;
        if (c < 66) return subnormal();
        if (c < 76) return from_bits(u32());
        if (c < 82) {
            float b = (pick(2) && !kIsGain[field]) ? -r : (pick(2) ? r : lo);
            for (int n = pick(4); n > 0; --n) b = std::nextafter(b, pick(2) ? kInf : -kInf);
            return b;
        }
        // Near a quantisation boundary, give or take a few ulps.
        const std::uint32_t k = static_cast<std::uint32_t>(pick(static_cast<int>(kFull[field]) + 1));
        float x = kIsGain[field] ? static_cast<float>(k * double{r} / kFull[field])
                                 : static_cast<float>(k * 2.0 * r / kFull[field] - r);
        for (int n = pick(5); n > 0; --n) x = std::nextafter(x, pick(2) ? kInf : -kInf);
        return x;
    }

private:
    std::mt19937 rng_;
};

TEST(MitCrossCheck, EncodeMatchesFloat32Model) {
    Sampler smp(kSeed + 3);
    constexpr int kCases = 1'200'000;
    int failures = 0, encoded = 0, rejected = 0, saturated = 0;
    for (int n = 0; n < kCases && failures < 10; ++n) {
        float lim[5], sp[5];
        for (int f = 0; f < 5; ++f) lim[f] = smp.limit(f);
        for (int f = 0; f < 5; ++f) sp[f] = smp.setpoint(lim[f], f);
        const ref::EncodeOutcome want = ref::encode(lim, sp);
        const auto got = mit::encode(from_array(lim), sp_from_array(sp));
        std::string why;
        if (got.ok() != want.ok) {
            why = got.ok() ? "encoded, model rejects" : "rejected, model encodes";
        } else if (want.ok) {
            ++encoded;
            for (std::uint32_t r : {want.raw.q, want.raw.dq, want.raw.kp, want.raw.kd, want.raw.tau}) {
                if (r == 0xFFFFFFFFu) ++saturated;
            }
            if (got.value() != want.bytes) {
                why = "bytes " + hex(got.value()) + ", model " + hex(want.bytes.data(), 8);
            }
        } else {
            ++rejected;
            if (bits(got.error().min) != bits(want.err_min) || bits(got.error().max) != bits(want.err_max)) {
                why = "error (" + show(got.error().min) + ", " + show(got.error().max) + "), model (" +
                      show(want.err_min) + ", " + show(want.err_max) + ")";
            }
        }
        if (!why.empty()) {
            ++failures;
            std::string ctx = "limits";
            for (float v : lim) ctx += " " + show(v);
            ctx += "; setpoint";
            for (float v : sp) ctx += " " + show(v);
            ADD_FAILURE() << why << "\n  " << ctx;
        }
    }
    // The mix must reach both outcomes, and the saturated truncation.
    EXPECT_GT(encoded, kCases / 3);
    EXPECT_GT(rejected, kCases / 10);
    EXPECT_GT(saturated, 1000);
}

TEST(MitCrossCheck, DecodeMatchesFloat32Model) {
    Sampler smp(kSeed + 4);
    constexpr int kCases = 1'000'000;
    int failures = 0;
    for (int n = 0; n < kCases && failures < 10; ++n) {
        std::uint8_t d[8];
        const std::uint32_t a = smp.u32(), b = smp.u32();
        std::memcpy(d, &a, 4);
        std::memcpy(d + 4, &b, 4);
        if (smp.pick(20) == 0) std::memset(d + 1, smp.pick(2) ? 0xFF : 0x00, 5);  // scale ends
        float lim[5];
        for (int f = 0; f < 5; ++f) lim[f] = smp.limit(f);
        const ref::Decoded want = ref::decode(lim[0], lim[1], lim[4], d);
        const mit::MotorState got = mit::decode(from_array(lim), d);
        auto same = [](float x, float y) { return std::isnan(x) ? std::isnan(y) : bits(x) == bits(y); };
        const bool ok = got.motor_id == want.motor_id && got.error == want.error &&
                        got.t_mos == want.t_mos && got.t_rotor == want.t_rotor &&
                        same(want.position, got.position) && same(want.velocity, got.velocity) &&
                        same(want.torque, got.torque);
        if (!ok) {
            ++failures;
            ADD_FAILURE() << "bytes " << hex(d, 8) << " limits " << show(lim[0]) << " " << show(lim[1])
                          << " " << show(lim[4]) << "\n  got id " << unsigned{got.motor_id} << " err "
                          << unsigned{got.error} << " pos " << show(got.position) << " vel "
                          << show(got.velocity) << " tq " << show(got.torque) << " temps "
                          << unsigned{got.t_mos} << "/" << unsigned{got.t_rotor} << "\n  model id "
                          << want.motor_id << " err " << want.error << " pos " << show(want.position)
                          << " vel " << show(want.velocity) << " tq " << show(want.torque) << " temps "
                          << want.t_mos << "/" << want.t_rotor;
        }
    }
}

// The model itself, pinned to the hand-computed vectors so that a shared
// mistake in both cannot hide.
TEST(MitCrossCheck, ModelAgreesWithHandVectors) {
    for (const EncodeVector& v : kEncodeVectors) {
        const float lim[5] = {v.limits.p_max, v.limits.v_max, v.limits.kp_max, v.limits.kd_max, v.limits.t_max};
        const float sp[5] = {v.setpoint.q, v.setpoint.dq, v.setpoint.kp, v.setpoint.kd, v.setpoint.tau};
        const ref::EncodeOutcome out = ref::encode(lim, sp);
        ASSERT_TRUE(out.ok) << v.name;
        EXPECT_EQ(hex(out.bytes.data(), 8), hex(v.bytes)) << v.name;
    }
    for (const DecodeVector& v : kDecodeVectors) {
        const ref::Decoded out = ref::decode(v.limits.p_max, v.limits.v_max, v.limits.t_max, v.bytes.data());
        expect_float_bits(out.position, v.position, "model position", v.name);
        expect_float_bits(out.velocity, v.velocity, "model velocity", v.name);
        expect_float_bits(out.torque, v.torque, "model torque", v.name);
    }
}

}  // namespace
