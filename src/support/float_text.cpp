#include "support/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "support/panic.hpp"

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
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    ROTALINK_ASSERT(res.ec == std::errc(), "float formatting overflowed its buffer");
    return std::string(buf, res.ptr);
}

}  // namespace rotalink
