#include "support/float_text.hpp"

#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "support/panic.hpp"

// Floating-point std::to_chars (GCC 11's libstdc++ on) where the standard
// library has it; elsewhere the same text from the C library's conversions.
// ROTALINK_FLOAT_TEXT_FALLBACK=1 takes the second path on any compiler, so
// that the tests check it everywhere.
#if defined(__cpp_lib_to_chars) && !(defined(ROTALINK_FLOAT_TEXT_FALLBACK) && ROTALINK_FLOAT_TEXT_FALLBACK)
#define ROTALINK_FLOAT_TO_CHARS 1
#else
#define ROTALINK_FLOAT_TO_CHARS 0
#endif

namespace rotalink {
namespace {

// Non-finite values are written the same way in every form.
bool non_finite(float v, std::string& out) {
    if (std::isnan(v)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out = v < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

// The shortest round-trip digits of a finite float and its decimal exponent:
// v = 0.d1d2d3... x 10^(exponent + 1), i.e. d1.d2d3... x 10^exponent.
struct Digits {
    bool negative;
    std::string digits;
    int exponent;
};

#if ROTALINK_FLOAT_TO_CHARS

Digits shortest_digits(float v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    ROTALINK_ASSERT(res.ec == std::errc(), "float formatting overflowed its buffer");
    Digits d{false, {}, 0};
    const char* p = buf;
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    for (; p < res.ptr && *p != 'e'; ++p) {
        if (*p != '.') d.digits.push_back(*p);
    }
    ROTALINK_ASSERT(p < res.ptr && !d.digits.empty(), "unexpected float text");
    d.exponent = std::atoi(std::string(p + 1, static_cast<const char*>(res.ptr)).c_str());
    return d;
}

std::string fixed4(float v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    ROTALINK_ASSERT(res.ec == std::errc(), "float formatting overflowed its buffer");
    return std::string(buf, res.ptr);
}

#else

// The C library's conversions are exact but follow the floating-point
// rounding mode; to_chars does not, so they run in round-to-nearest.
class NearestRounding {
public:
    NearestRounding() : saved_(std::fegetround()) {
        if (saved_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    }
    ~NearestRounding() {
        if (saved_ != FE_TONEAREST) std::fesetround(saved_);
    }
    NearestRounding(const NearestRounding&) = delete;
    NearestRounding& operator=(const NearestRounding&) = delete;

private:
    int saved_;
};

// A decimal significand * 10^power, read back as a float. The text has no
// decimal point, so the locale's does not matter.
bool reads_back_as(std::uint64_t significand, int power, float v, float& back) {
    char text[48];
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(significand), power);
    back = std::strtof(text, nullptr);
    return std::memcmp(&back, &v, sizeof v) == 0;
}

// The n-digit decimal nearest to v's exact value among those that read back
// as v, if there is one: significand * 10^power. printf's correctly rounded
// "%.*e" gives the nearest n-digit decimal. Where that does not read back,
// the only other one that may is its neighbour on v's other side: the reals
// that read back as v fill an interval around v, which may reach further on
// one side than on the other (at a power of two the gap below is half the
// gap above).
bool nearest_that_reads_back(float mag, int n, std::uint64_t& significand, int& power) {
    char buf[64];
    const int len = std::snprintf(buf, sizeof buf, "%.*e", n - 1, double{mag});
    ROTALINK_ASSERT(len > 0 && len < static_cast<int>(sizeof buf), "float formatting overflowed its buffer");
    // d.ddd...e[+-]xx; the point may be the locale's, of any length.
    significand = 0;
    const char* p = buf;
    for (; *p != '\0' && *p != 'e'; ++p) {
        if (*p >= '0' && *p <= '9') significand = significand * 10 + static_cast<unsigned>(*p - '0');
    }
    ROTALINK_ASSERT(*p == 'e', "unexpected float text");
    power = std::atoi(p + 1) - (n - 1);
    float back;
    if (reads_back_as(significand, power, mag, back)) return true;
    // The neighbour lies towards v from where the nearest one read back.
    significand = back < mag ? significand + 1 : significand - 1;
    return significand != 0 && reads_back_as(significand, power, mag, back);
}

// The same digits as to_chars: the fewest significant digits that read back
// as v and, among those, the ones nearest to v's exact value. Nine digits
// always do, and a decimal with fewer digits is one with more, so the count
// is found by bisection.
Digits shortest_digits(float v) {
    const NearestRounding nearest;
    const float mag = std::fabs(v);
    Digits d{std::signbit(v), "0", 0};
    if (mag == 0.0f) return d;
    std::uint64_t significand = 0;
    int power = 0;
    int lo = 1, hi = 9;     // the count lies in [lo, hi]
    bool have_hi = false;  // significand and power are hi's
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        std::uint64_t s;
        int pw;
        if (nearest_that_reads_back(mag, mid, s, pw)) {
            hi = mid;
            significand = s;
            power = pw;
            have_hi = true;
        } else {
            lo = mid + 1;
        }
    }
    if (!have_hi) {
        const bool nine = nearest_that_reads_back(mag, hi, significand, power);
        ROTALINK_ASSERT(nine, "no nine-digit text reads back as the float");
    }
    d.digits = std::to_string(significand);
    d.exponent = power + static_cast<int>(d.digits.size()) - 1;
    d.digits.resize(d.digits.find_last_not_of('0') + 1);
    return d;
}

// printf's "%.0f" rounds the exact value to an integer, ties to even, as
// to_chars does at any precision; v * 10^4 is exact in a double (24 + 14
// significant bits). The point is put in here, not taken from the locale.
std::string fixed4(float v) {
    const NearestRounding nearest;
    char buf[64];
    const int len = std::snprintf(buf, sizeof buf, "%.0f", double{v} * 10000.0);
    ROTALINK_ASSERT(len > 0 && len < static_cast<int>(sizeof buf), "float formatting overflowed its buffer");
    std::string digits = buf;
    std::string out;
    if (digits[0] == '-') {
        out = "-";
        digits.erase(0, 1);
    }
    if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
    out.append(digits, 0, digits.size() - 4);
    out += '.';
    out.append(digits, digits.size() - 4, 4);
    return out;
}

#endif

std::string positional(const Digits& d) {
    std::string out = d.negative ? "-" : "";
    const int n = static_cast<int>(d.digits.size());
    if (d.exponent >= 0) {
        const int int_len = d.exponent + 1;
        if (n <= int_len) {
            out += d.digits;
            out.append(static_cast<size_t>(int_len - n), '0');
        } else {
            out.append(d.digits, 0, static_cast<size_t>(int_len));
            out += '.';
            out.append(d.digits, static_cast<size_t>(int_len), std::string::npos);
        }
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-d.exponent - 1), '0');
        out += d.digits;
    }
    return out;
}

}  // namespace

std::string float_short(float v) {
    std::string out;
    if (non_finite(v, out)) return out;
    return positional(shortest_digits(v));
}

std::string float_debug(float v) {
    std::string out;
    if (non_finite(v, out)) return out;
    const float mag = std::fabs(v);
    const Digits d = shortest_digits(v);
    if ((mag != 0.0f && mag < 1e-4f) || mag >= 1e16f) {
        out = d.negative ? "-" : "";
        out += d.digits[0];
        if (d.digits.size() > 1) {
            out += '.';
            out.append(d.digits, 1, std::string::npos);
        }
        out += 'e';
        out += std::to_string(d.exponent);
        return out;
    }
    out = positional(d);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

std::string float_fixed4(float v) {
    std::string out;
    if (non_finite(v, out)) return out;
    return fixed4(v);
}

}  // namespace rotalink
