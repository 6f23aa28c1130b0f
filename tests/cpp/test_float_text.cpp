// Text forms of 32-bit floats: short round-trip, debug and four-decimal.
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>

#include "support/float_text.hpp"

namespace {

using rotalink::float_debug;
using rotalink::float_fixed4;
using rotalink::float_short;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();

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

std::string show(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g [0x%08X]", double{f}, bits(f));
    return buf;
}

std::string zeros(int n) { return std::string(static_cast<std::size_t>(n), '0'); }

// Reads text back the way a C library would; the whole text must be used.
bool parse(const std::string& text, float& out) {
    char* end = nullptr;
    out = std::strtof(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

// A decimal text in one canonical form, [-]DIGITSeEXP with d.ddd x 10^EXP
// read into DIGITS: no leading or trailing zeros, "0" for zero.
std::string canonical(const std::string& s) {
    std::string out = !s.empty() && s[0] == '-' ? "-" : "";
    const auto e = s.find_first_of("eE");
    std::string digits;
    int point = -1;
    for (std::size_t i = 0; i < s.size() && i < e; ++i) {
        if (s[i] >= '0' && s[i] <= '9') digits += s[i];
        if (s[i] == '.') point = static_cast<int>(digits.size());
    }
    if (point < 0) point = static_cast<int>(digits.size());
    int exponent = (e == std::string::npos ? 0 : std::atoi(s.c_str() + e + 1)) + point - 1;
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return out + "0";
    exponent -= static_cast<int>(first);
    digits = digits.substr(first, digits.find_last_not_of('0') - first + 1);
    return out + digits + "e" + std::to_string(exponent);
}

// The shortest digits that read back as v, nearest to v's exact value among
// those: from std::to_chars where the library has it. Elsewhere from the C
// library, whose conversions are exact in every rounding mode: n digits can
// read back only as the n-digit decimal just below or just above v.
std::string shortest_reference(float v) {
    char buf[64];
#if defined(__cpp_lib_to_chars)
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    return canonical(std::string(buf, res.ptr));
#else
    const double mag = std::fabs(double{v});
    const std::string sign = std::signbit(v) ? "-" : "";
    const auto text = [&](int rounding, int n) {
        std::fesetround(rounding);
        std::snprintf(buf, sizeof buf, "%.*e", n - 1, mag);
        std::fesetround(FE_TONEAREST);
        return sign + buf;
    };
    const auto reads_back = [&](const std::string& t) {
        float back;
        return parse(t, back) && bits(back) == bits(v);
    };
    for (int n = 1; n <= 9; ++n) {
        for (int rounding : {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD}) {
            const std::string t = text(rounding, n);
            if (reads_back(t)) return canonical(t);
        }
    }
    return "none";
#endif
}

// Random finite floats from uniformly drawn bit patterns.
float random_finite(std::mt19937& rng) {
    for (;;) {
        const float f = from_bits(rng());
        if (std::isfinite(f)) return f;
    }
}

struct TextVector {
    const char* name;
    float value;
    std::string text;
};

void PrintTo(const TextVector& v, std::ostream* os) { *os << v.name; }

std::string vector_name(const ::testing::TestParamInfo<TextVector>& info) { return info.param.name; }

// ---------------------------------------------------------------------------
// Short form.

const TextVector kShortVectors[] = {
    {"twelve_and_a_half", 12.5f, "12.5"},
    {"thirty", 30.0f, "30"},
    {"five_hundred", 500.0f, "500"},
    {"nearest_to_12_566", 12.566f, "12.566"},
    {"one_tenth", 0.1f, "0.1"},
    {"three_tenths", 0.3f, "0.3"},
    {"zero", 0.0f, "0"},
    {"negative_zero", -0.0f, "-0"},
    {"negative_two", -2.0f, "-2"},
    {"ten_to_the_twenty", 1e20f, "1" + zeros(20)},
    {"ten_to_the_minus_ten", 1e-10f, "0." + zeros(9) + "1"},
    {"two_to_the_twenty_four", 16777216.0f, "16777216"},
    {"largest", FLT_MAX, "34028235" + zeros(31)},
    {"negative_largest", -FLT_MAX, "-34028235" + zeros(31)},
    {"smallest_normal", 1.1754944e-38f, "0." + zeros(37) + "11754944"},
    {"smallest_subnormal", kDenormMin, "0." + zeros(44) + "1"},
    // Powers of two whose nearest eight-digit decimal lies below them, where
    // the interval that reads back is half as wide, and does not read back:
    // the eight digits just above them do.
    {"two_to_the_87", std::ldexp(1.0f, 87), "15474251" + zeros(19)},
    {"two_to_the_90", std::ldexp(1.0f, 90), "12379401" + zeros(20)},
    {"two_to_the_minus_96", std::ldexp(1.0f, -96), "0." + zeros(28) + "12621775"},
    {"nan", kNaN, "NaN"},
    {"negative_nan", -kNaN, "NaN"},
    {"infinity", kInf, "inf"},
    {"negative_infinity", -kInf, "-inf"},
};

class FloatShort : public ::testing::TestWithParam<TextVector> {};

TEST_P(FloatShort, Text) { EXPECT_EQ(float_short(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(FloatText, FloatShort, ::testing::ValuesIn(kShortVectors), vector_name);

TEST(FloatTextProperty, ShortFormRoundTripsPositionallyWithShortestNearestDigits) {
    std::mt19937 rng(0xF10A7u);
    int failures = 0;
    for (int n = 0; n < 300000 && failures < 10; ++n) {
        const float v = random_finite(rng);
        const std::string text = float_short(v);
        float back;
        std::string why;
        if (!parse(text, back)) {
            why = "does not parse as a whole";
        } else if (bits(back) != bits(v)) {
            why = "reads back as " + show(back);
        } else if (text.find_first_of("eE") != std::string::npos) {
            why = "uses an exponent";
        } else if (canonical(text) != shortest_reference(v)) {
            why = "is not the shortest nearest text " + shortest_reference(v);
        }
        if (!why.empty()) {
            ++failures;
            ADD_FAILURE() << show(v) << " -> \"" << text << "\" " << why;
        }
    }
}

// ---------------------------------------------------------------------------
// Debug form.

const TextVector kDebugVectors[] = {
    {"one", 1.0f, "1.0"},
    {"minus_one", -1.0f, "-1.0"},
    {"zero", 0.0f, "0.0"},
    {"negative_zero", -0.0f, "-0.0"},
    {"twelve_and_a_half", 12.5f, "12.5"},
    {"nearest_to_12_566", 12.566f, "12.566"},
    {"five_hundred", 500.0f, "500.0"},
    {"ten_thousandth", 1e-4f, "0.0001"},
    {"negative_ten_thousandth", -1e-4f, "-0.0001"},
    {"just_below_ten_thousandth", 9.9999e-5f, "9.9999e-5"},
    {"float_below_ten_thousandth", std::nextafter(1e-4f, 0.0f), "9.999999e-5"},
    {"ten_to_the_minus_five", 1e-5f, "1e-5"},
    {"one_and_a_half_e_minus_five", 1.5e-5f, "1.5e-5"},
    {"negative_tiny", -1e-5f, "-1e-5"},
    {"smallest_subnormal", kDenormMin, "1e-45"},
    {"smallest_normal", FLT_MIN, "1.1754944e-38"},
    {"ten_to_the_sixteen", 1e16f, "1e16"},
    {"one_and_a_half_e_sixteen", 1.5e16f, "1.5e16"},
    {"negative_e_sixteen", -1e16f, "-1e16"},
    {"just_below_e_sixteen", 9.999999e15f, "9999999000000000.0"},
    {"float_below_e_sixteen", std::nextafter(1e16f, 0.0f), "9999999000000000.0"},
    {"largest", FLT_MAX, "3.4028235e38"},
    {"ten_to_the_twenty", 1e20f, "1e20"},
    {"nan", kNaN, "NaN"},
    {"negative_nan", -kNaN, "NaN"},
    {"infinity", kInf, "inf"},
    {"negative_infinity", -kInf, "-inf"},
};

class FloatDebug : public ::testing::TestWithParam<TextVector> {};

TEST_P(FloatDebug, Text) { EXPECT_EQ(float_debug(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(FloatText, FloatDebug, ::testing::ValuesIn(kDebugVectors), vector_name);

TEST(FloatTextProperty, DebugFormRoundTripsAndPicksNotationByMagnitude) {
    std::mt19937 rng(0xDEB06u);
    int failures = 0;
    for (int n = 0; n < 300000 && failures < 10; ++n) {
        const float v = random_finite(rng);
        const std::string text = float_debug(v);
        const float mag = std::fabs(v);
        const bool want_exponent = (mag != 0.0f && mag < 1e-4f) || mag >= 1e16f;
        const bool has_exponent = text.find('e') != std::string::npos;
        float back;
        std::string why;
        if (!parse(text, back)) {
            why = "does not parse as a whole";
        } else if (bits(back) != bits(v)) {
            why = "reads back as " + show(back);
        } else if (has_exponent != want_exponent) {
            why = want_exponent ? "should use an exponent" : "should be positional";
        } else if (!has_exponent && text.find('.') == std::string::npos) {
            why = "has no decimal point";
        } else if (has_exponent && (text.find("e+") != std::string::npos ||
                                    text.find("e-0") != std::string::npos ||
                                    text.find(".0e") != std::string::npos)) {
            why = "exponent is not in its plain form";
        }
        if (!why.empty()) {
            ++failures;
            ADD_FAILURE() << show(v) << " -> \"" << text << "\" " << why;
        }
    }
}

// ---------------------------------------------------------------------------
// Four-decimal form.

const TextVector kFixed4Vectors[] = {
    {"small_negative_rounds_away", -0.00019073486f, "-0.0002"},
    {"tiny_negative_keeps_sign", -0.00001f, "-0.0000"},
    {"tiny_positive", 0.00001f, "0.0000"},
    {"tie_to_even_down", 0.03125f, "0.0312"},
    {"tie_to_even_up", 0.09375f, "0.0938"},
    {"negative_tie_to_even", -0.03125f, "-0.0312"},
    // The float nearest 0.00005 lies just below it, the next one just above.
    {"nearest_to_half_step_is_below_it", 0.00005f, "0.0000"},
    {"next_float_above_half_step", std::nextafter(0.00005f, 1.0f), "0.0001"},
    {"two_and_a_half", 2.5f, "2.5000"},
    {"twelve_and_a_half", 12.5f, "12.5000"},
    {"negative_twelve_and_a_half", -12.5f, "-12.5000"},
    {"one_tenth_exact_value", 0.1f, "0.1000"},
    {"ten_to_the_ten", 1e10f, "10000000000.0000"},
    {"largest", FLT_MAX, "340282346638528859811704183484516925440.0000"},
    {"zero", 0.0f, "0.0000"},
    {"negative_zero", -0.0f, "-0.0000"},
    {"smallest_subnormal", kDenormMin, "0.0000"},
    {"negative_smallest_subnormal", -kDenormMin, "-0.0000"},
    {"nan", kNaN, "NaN"},
    {"infinity", kInf, "inf"},
    {"negative_infinity", -kInf, "-inf"},
};

class FloatFixed4 : public ::testing::TestWithParam<TextVector> {};

TEST_P(FloatFixed4, Text) { EXPECT_EQ(float_fixed4(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(FloatText, FloatFixed4, ::testing::ValuesIn(kFixed4Vectors), vector_name);

// glibc's printf converts the exact binary value with round-to-nearest-even,
// so it is an independent oracle for every finite float.
TEST(FloatTextProperty, Fixed4MatchesCLibraryConversion) {
    std::mt19937 rng(0xF1C4u);
    std::uniform_real_distribution<float> near_ties(-2.0f, 2.0f);
    int failures = 0;
    for (int n = 0; n < 200000 && failures < 10; ++n) {
        // Half uniform bit patterns, half small values where rounding of the
        // fourth decimal is decided by many digits.
        float v = (n % 2) ? random_finite(rng) : near_ties(rng);
        if (n % 10 == 0) v = static_cast<float>(static_cast<int>(rng() % 40000) - 20000) / 20000.0f * 0.5f;
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.4f", double{v});
        const std::string want = buf;
        const std::string got = float_fixed4(v);
        if (got != want) {
            ++failures;
            ADD_FAILURE() << show(v) << " -> \"" << got << "\", C library \"" << want << "\"";
        }
    }
}

// Every odd multiple of 2^-5 is an exact tie at the fourth decimal: k/32 is
// k * 3125 / 100000, and for odd k its fifth decimal is a final 5.
TEST(FloatTextProperty, Fixed4ExactTiesGoToEven) {
    for (int k = -511; k <= 511; k += 2) {
        const float v = static_cast<float>(k) / 32.0f;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.4f", double{v});
        EXPECT_EQ(float_fixed4(v), buf) << show(v);
        // The fourth decimal of an even-rounded 5-decimal tie is even.
        const std::string t = float_fixed4(v);
        const char last = t.back();
        EXPECT_EQ((last - '0') % 2, 0) << show(v) << " -> " << t;
    }
}

}  // namespace
