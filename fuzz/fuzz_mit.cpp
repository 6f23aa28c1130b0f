// libFuzzer target: the MIT codec and the float text forms.
//
// Input layout (missing bytes take the defaults):
//   bytes  0..19  MitLimits as five raw float bit patterns, little-endian
//                 (p_max, v_max, kp_max, kd_max, t_max; default limits)
//   bytes 20..39  MitSetpoint (q, dq, kp, kd, tau; default zeros)
//   bytes 40..47  a feedback payload for decode (default 11 7F FF 7F F7 FF 1E 20)
//   the rest      more float bit patterns for the text forms
//
// Checks: encode against an independent 32-bit float model (limit-domain
// failure with the bounds of the first failing limit, or every raw field
// equal to the model's and within its width), decode against the same model,
// the three reprs, and float_short / float_debug / float_fixed4 (round trip
// through strtof, shortest digits, notation, and printf's "%.4f").
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "damiao/mit.hpp"
#include "fuzz_common.hpp"
#include "support/float_text.hpp"

using rotalink::damiao::mit::decode;
using rotalink::damiao::mit::encode;
using rotalink::damiao::mit::LimitDomainError;
using rotalink::damiao::mit::MitLimits;
using rotalink::damiao::mit::MitSetpoint;
using rotalink::damiao::mit::MotorState;
using rotalink::damiao::mit::Payload;
using namespace fuzz;

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads `s` back as a float; the whole string must be consumed.
float read_back(const std::string& s, const std::string& what) {
    char* end = nullptr;
    const float v = std::strtof(s.c_str(), &end);
    FUZZ_CHECK(end != nullptr && *end == '\0' && !s.empty(), what + " is not a number: \"" + s + "\"");
    return v;
}

// The fewest significant digits with which "%.*e" reads back as `v`.
int fewest_digits(float v) {
    char buf[64];
    for (int p = 1; p <= 9; ++p) {
        std::snprintf(buf, sizeof buf, "%.*e", p - 1, static_cast<double>(v));
        if (bits_of(std::strtof(buf, nullptr)) == bits_of(v)) return p;
    }
    return 9;
}

// Significant digits of a positional or exponent form (sign, point and
// exponent removed, leading zeros dropped, trailing zeros of the integer
// part counted only as far as they are needed).
std::string significant(const std::string& s) {
    std::string digits;
    for (char c : s) {
        if (c == 'e') break;
        if (is_digit(c)) digits += c;
    }
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    digits.erase(0, first);
    const std::size_t last = digits.find_last_not_of('0');
    digits.erase(last + 1);
    return digits;
}

// -?D+(.D+)? with no superfluous zeros.
void check_positional(const std::string& s, const std::string& what, bool allow_trailing_point_zero) {
    std::size_t i = 0;
    if (i < s.size() && s[i] == '-') ++i;
    const std::size_t int_start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    const std::size_t int_len = i - int_start;
    FUZZ_CHECK(int_len > 0, what + " has no integer digits: \"" + s + "\"");
    FUZZ_CHECK(int_len == 1 || s[int_start] != '0', what + " has a leading zero: \"" + s + "\"");
    if (i == s.size()) return;
    FUZZ_CHECK(s[i] == '.', what + " has an unexpected character: \"" + s + "\"");
    ++i;
    const std::size_t frac_start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    FUZZ_CHECK(i == s.size() && i > frac_start, what + " has a malformed fraction: \"" + s + "\"");
    const bool point_zero = s.compare(frac_start, std::string::npos, "0") == 0;
    if (!(allow_trailing_point_zero && point_zero)) {
        FUZZ_CHECK(s.back() != '0', what + " has a trailing zero: \"" + s + "\"");
    }
}

void check_text_forms(float v) {
    const std::string shrt = rotalink::float_short(v);
    const std::string dbg = rotalink::float_debug(v);
    const std::string fx4 = rotalink::float_fixed4(v);
    const std::string who = " of " + describe(v);

    if (std::isnan(v)) {
        FUZZ_CHECK(shrt == "NaN" && dbg == "NaN" && fx4 == "NaN",
                   "NaN forms" + who + ": " + shrt + " / " + dbg + " / " + fx4);
        return;
    }
    if (std::isinf(v)) {
        const char* want = v < 0 ? "-inf" : "inf";
        FUZZ_CHECK(shrt == want && dbg == want && fx4 == want,
                   "infinity forms" + who + ": " + shrt + " / " + dbg + " / " + fx4);
        return;
    }

    // Short form: positional, reads back exactly, no more digits than needed.
    check_positional(shrt, "float_short" + who, false);
    FUZZ_CHECK(bits_of(read_back(shrt, "float_short" + who)) == bits_of(v),
               "float_short" + who + " reads back differently: \"" + shrt + "\"");
    FUZZ_CHECK(std::signbit(v) == (shrt[0] == '-'), "float_short sign" + who + ": \"" + shrt + "\"");
    const std::string sig = significant(shrt);
    FUZZ_CHECK(static_cast<int>(sig.size()) <= fewest_digits(v),
               "float_short" + who + " is not shortest: \"" + shrt + "\", " +
                   std::to_string(fewest_digits(v)) + " digits suffice");

    // Debug form.
    FUZZ_CHECK(bits_of(read_back(dbg, "float_debug" + who)) == bits_of(v),
               "float_debug" + who + " reads back differently: \"" + dbg + "\"");
    const float mag = std::fabs(v);
    const bool exponent = (mag != 0.0f && mag < 1e-4f) || mag >= 1e16f;
    if (exponent) {
        const std::size_t e = dbg.find('e');
        FUZZ_CHECK(e != std::string::npos, "float_debug" + who + " lacks an exponent: \"" + dbg + "\"");
        const std::string mant = dbg.substr(0, e);
        const std::string ex = dbg.substr(e + 1);
        check_positional(mant, "float_debug mantissa" + who, false);
        const std::size_t m0 = mant[0] == '-' ? 1 : 0;
        FUZZ_CHECK(mant.size() > m0 && mant[m0] >= '1' && mant[m0] <= '9' &&
                       (mant.size() == m0 + 1 || mant[m0 + 1] == '.'),
                   "float_debug mantissa" + who + " is not d.ddd: \"" + dbg + "\"");
        std::size_t j = ex.size() && ex[0] == '-' ? 1 : 0;
        FUZZ_CHECK(j < ex.size() && (ex[j] != '0' || ex.size() == j + 1),
                   "float_debug exponent" + who + ": \"" + dbg + "\"");
        for (; j < ex.size(); ++j) {
            FUZZ_CHECK(is_digit(ex[j]), "float_debug exponent" + who + ": \"" + dbg + "\"");
        }
        FUZZ_CHECK(significant(dbg) == sig,
                   "float_debug" + who + " digits differ from float_short: \"" + dbg + "\" vs \"" + shrt + "\"");
    } else {
        check_positional(dbg, "float_debug" + who, true);
        FUZZ_CHECK(dbg.find('.') != std::string::npos, "float_debug" + who + " has no point: \"" + dbg + "\"");
        FUZZ_CHECK(dbg == shrt || dbg == shrt + ".0",
                   "float_debug" + who + " \"" + dbg + "\" vs float_short \"" + shrt + "\"");
    }

    // Four decimals: the C library's correctly rounded %.4f of the exact value.
    char buf[80];
    std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(v));
    FUZZ_CHECK(fx4 == buf, "float_fixed4" + who + ": \"" + fx4 + "\", printf gives \"" + buf + "\"");
}

std::uint32_t field_max(int i) { return i == 0 ? 65535u : 4095u; }

void check_encode(const MitLimits& l, const MitSetpoint& s) {
    const auto result = encode(l, s);
    const std::string who = "limits " + rotalink::damiao::mit::repr(l) + " [" + describe(l.p_max) + " " +
                            describe(l.v_max) + " " + describe(l.kp_max) + " " + describe(l.kd_max) +
                            " " + describe(l.t_max) + "], setpoint [" + describe(s.q) + " " +
                            describe(s.dq) + " " + describe(s.kp) + " " + describe(s.kd) + " " +
                            describe(s.tau) + "]";

    // The first limit that is negative or NaN, with its bounds.
    const float lim[5] = {l.p_max, l.v_max, l.kp_max, l.kd_max, l.t_max};
    const bool symmetric[5] = {true, true, false, false, true};
    for (int i = 0; i < 5; ++i) {
        const bool bad = std::isnan(lim[i]) || lim[i] < 0.0f;
        if (!bad) continue;
        FUZZ_CHECK(!result.ok(), "encode accepted limit " + std::to_string(i) + ": " + who);
        const LimitDomainError& e = result.error();
        const float want_min = symmetric[i] ? float_of(bits_of(lim[i]) ^ 0x80000000u) : 0.0f;
        FUZZ_CHECK(bits_of(e.min) == bits_of(want_min) && bits_of(e.max) == bits_of(lim[i]),
                   "limit-domain bounds " + describe(e.min) + ", " + describe(e.max) + " for limit " +
                       std::to_string(i) + ": " + who);
        const std::string msg = e.message();
        const std::string want = "min > max, or either was NaN. min = " + rotalink::float_debug(want_min) +
                                 ", max = " + rotalink::float_debug(lim[i]);
        FUZZ_CHECK(msg == want, "limit-domain message \"" + msg + "\": " + who);
        return;
    }
    FUZZ_CHECK(result.ok(), "encode refused valid limits: " + who);

    const std::uint32_t want[5] = {
        model::symmetric(s.q, l.p_max, 65535.0f), model::symmetric(s.dq, l.v_max, 4095.0f),
        model::gain(s.kp, l.kp_max, 4095.0f), model::gain(s.kd, l.kd_max, 4095.0f),
        model::symmetric(s.tau, l.t_max, 4095.0f)};
    const Payload& b = result.value();
    const std::uint32_t got[5] = {
        (std::uint32_t{b[0]} << 8) | b[1],
        (std::uint32_t{b[2]} << 4) | (b[3] >> 4),
        ((std::uint32_t{b[3]} & 0xFu) << 8) | b[4],
        (std::uint32_t{b[5]} << 4) | (b[6] >> 4),
        ((std::uint32_t{b[6]} & 0xFu) << 8) | b[7],
    };
    std::uint32_t on_wire[5];
    for (int i = 0; i < 5; ++i) on_wire[i] = want[i] > field_max(i) ? field_max(i) : want[i];
    // Every field at its top but tau's low byte would read as a special
    // command (seven 0xFF bytes): q goes one step lower.
    if (on_wire[0] == 65535u && on_wire[1] == 4095u && on_wire[2] == 4095u && on_wire[3] == 4095u &&
        (on_wire[4] >> 8) == 0xFu) {
        on_wire[0] = 65534u;
    }
    for (int i = 0; i < 5; ++i) {
        // The clamp keeps a finite scaled value inside the field. Only a
        // product that overflows to +inf (limits beyond about 5e33) truncates
        // to all ones, which the packing cuts to the field's full scale; any
        // other value past the width would lose its high bits on the wire.
        FUZZ_CHECK(want[i] <= field_max(i) || want[i] == 0xFFFFFFFFu,
                   "field " + std::to_string(i) + " scales to " + std::to_string(want[i]) +
                       ", beyond its width: " + who);
        FUZZ_CHECK(got[i] == on_wire[i], "field " + std::to_string(i) + " encodes as " + std::to_string(got[i]) +
                                             ", the model gives " + std::to_string(want[i]) + "; bytes " +
                                             hex_bytes(b.data(), b.size()) + ": " + who);
    }
}

void check_decode(const MitLimits& l, const std::uint8_t feedback[8]) {
    // Exactly 8 bytes on the heap, so that a read past them is caught.
    std::unique_ptr<rotalink::damiao::mit::Payload> d(new rotalink::damiao::mit::Payload);
    std::memcpy(d->data(), feedback, 8);
    const MotorState st = decode(l, *d);
    const std::string who = "feedback " + hex_bytes(feedback, 8) + " with " + rotalink::damiao::mit::repr(l);

    FUZZ_CHECK(st.motor_id == (feedback[0] & 0x0F) && st.error == (feedback[0] >> 4), "id/error: " + who);
    FUZZ_CHECK(st.t_mos == feedback[6] && st.t_rotor == feedback[7], "temperatures: " + who);
    const std::uint32_t p_raw = (std::uint32_t{feedback[1]} << 8) | feedback[2];
    const std::uint32_t v_raw = (std::uint32_t{feedback[3]} << 4) | (feedback[4] >> 4);
    const std::uint32_t t_raw = ((std::uint32_t{feedback[4]} & 0x0Fu) << 8) | feedback[5];
    const float pos = model::unscale(p_raw, l.p_max, 65535.0f);
    const float vel = model::unscale(v_raw, l.v_max, 4095.0f);
    const float tor = model::unscale(t_raw, l.t_max, 4095.0f);
    FUZZ_CHECK(same_float(st.position, pos), "position " + describe(st.position) + ", model " + describe(pos) + ": " + who);
    FUZZ_CHECK(same_float(st.velocity, vel), "velocity " + describe(st.velocity) + ", model " + describe(vel) + ": " + who);
    FUZZ_CHECK(same_float(st.torque, tor), "torque " + describe(st.torque) + ", model " + describe(tor) + ": " + who);

    // A finite, non-negative limit whose scaled span stays finite gives a
    // finite value within the limit (one rounding step of slack each side).
    const float lims[3] = {l.p_max, l.v_max, l.t_max};
    const float vals[3] = {st.position, st.velocity, st.torque};
    for (int i = 0; i < 3; ++i) {
        const float m = lims[i];
        if (std::isfinite(m) && m >= 0.0f && static_cast<double>(m) * 2 * 65535 < 3.0e38) {
            FUZZ_CHECK(std::isfinite(vals[i]), "non-finite decode of a finite limit: " + who);
            FUZZ_CHECK(std::fabs(static_cast<double>(vals[i])) <= static_cast<double>(m) * (1 + 1e-6) + 1e-38,
                       "decoded value " + describe(vals[i]) + " beyond its limit: " + who);
        }
        if (std::isnan(m)) FUZZ_CHECK(std::isnan(vals[i]), "NaN limit decoded as a number: " + who);
    }

    const std::string r = rotalink::damiao::mit::repr(st);
    const std::string want = "MotorState(motor_id=" + std::to_string(st.motor_id) +
                             ", error=" + std::to_string(st.error) +
                             ", position=" + rotalink::float_fixed4(st.position) +
                             ", velocity=" + rotalink::float_fixed4(st.velocity) +
                             ", torque=" + rotalink::float_fixed4(st.torque) +
                             ", t_mos=" + std::to_string(st.t_mos) +
                             ", t_rotor=" + std::to_string(st.t_rotor) + ")";
    FUZZ_CHECK(r == want, "MotorState repr \"" + r + "\": " + who);
    check_text_forms(st.position);
    check_text_forms(st.velocity);
    check_text_forms(st.torque);
}

void check_reprs(const MitLimits& l, const MitSetpoint& s) {
    using rotalink::float_short;
    const std::string rl = rotalink::damiao::mit::repr(l);
    const std::string wl = "MitLimits(p_max=" + float_short(l.p_max) + ", v_max=" + float_short(l.v_max) +
                           ", kp_max=" + float_short(l.kp_max) + ", kd_max=" + float_short(l.kd_max) +
                           ", t_max=" + float_short(l.t_max) + ")";
    FUZZ_CHECK(rl == wl, "MitLimits repr \"" + rl + "\"");
    const std::string rs = rotalink::damiao::mit::repr(s);
    const std::string ws = "MitSetpoint(q=" + float_short(s.q) + ", dq=" + float_short(s.dq) +
                           ", kp=" + float_short(s.kp) + ", kd=" + float_short(s.kd) +
                           ", tau=" + float_short(s.tau) + ")";
    FUZZ_CHECK(rs == ws, "MitSetpoint repr \"" + rs + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    MitLimits l;
    l.p_max = in.f32_or(l.p_max);
    l.v_max = in.f32_or(l.v_max);
    l.kp_max = in.f32_or(l.kp_max);
    l.kd_max = in.f32_or(l.kd_max);
    l.t_max = in.f32_or(l.t_max);
    MitSetpoint s;
    s.q = in.f32_or(0.0f);
    s.dq = in.f32_or(0.0f);
    s.kp = in.f32_or(0.0f);
    s.kd = in.f32_or(0.0f);
    s.tau = in.f32_or(0.0f);
    std::uint8_t feedback[8] = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
    if (in.left() >= 8) {
        for (auto& b : feedback) b = in.u8();
    }

    check_encode(l, s);
    check_decode(l, feedback);
    check_reprs(l, s);

    const float fields[10] = {l.p_max, l.v_max, l.kp_max, l.kd_max, l.t_max, s.q, s.dq, s.kp, s.kd, s.tau};
    for (float f : fields) check_text_forms(f);
    while (in.left() >= 4) check_text_forms(in.f32());
    return 0;
}
