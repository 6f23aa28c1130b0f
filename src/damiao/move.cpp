#include "damiao/move.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "damiao/joints.hpp"

namespace rotalink::damiao {

namespace {

// Bisection steps for a cruise velocity: enough to reach the doubles'
// resolution from any bracket a move can have.
constexpr int kBisections = 200;


}  // namespace

Trapezoid Trapezoid::shaped(double p0, double v0, double p1, double amax, double vc, double duration) {
    Trapezoid t;
    t.p0_ = p0;
    t.v0_ = v0;
    t.p1_ = p1;
    t.vc_ = vc;
    t.a1_ = vc >= v0 ? amax : -amax;
    t.a3_ = vc >= 0 ? -amax : amax;
    t.t1_ = std::fabs(vc - v0) / amax;
    t.t3_ = std::fabs(vc) / amax;
    t.t2_ = std::max(0.0, duration - t.t1_ - t.t3_);
    t.braking_ = t.t1_ + t.t2_;
    t.end_ = t.braking_ + t.t3_;
    t.cruising_ = p0 + (v0 + vc) * 0.5 * t.t1_;
    t.braked_ = t.cruising_ + vc * t.t2_;
    return t;
}

double Trapezoid::distance() const {
    return (v0_ + vc_) * 0.5 * t1_ + vc_ * t2_ + vc_ * 0.5 * t3_;
}

Trapezoid Trapezoid::fastest(double p0, double v0, double p1, double vmax, double amax) {
    const double d = p1 - p0;
    const double stopping = v0 * std::fabs(v0) / (2.0 * amax);  // signed: where braking at once ends
    if (d == stopping) return shaped(p0, v0, p1, amax, 0.0, std::fabs(v0) / amax);
    // Seen in the direction the axis must go once it has braked (s = +1),
    // the cruise velocity is the peak of accelerate-then-brake, capped.
    const double s = d > stopping ? 1.0 : -1.0;
    const double ds = s * d;
    const double vs = s * v0;
    const double vc = std::min(vmax, std::sqrt(amax * ds + 0.5 * vs * vs));
    const double t1 = std::fabs(vc - vs) / amax;
    const double t3 = vc / amax;
    const double ramps = (vs + vc) * 0.5 * t1 + vc * 0.5 * t3;
    const double t2 = std::max(0.0, (ds - ramps) / vc);
    return shaped(p0, v0, p1, amax, s * vc, t1 + t2 + t3);
}

Trapezoid Trapezoid::lasting(double p0, double v0, double p1, double vmax, double amax, double duration) {
    const Trapezoid fast = fastest(p0, v0, p1, vmax, amax);
    if (!(duration > fast.duration())) return fast;
    // The distance covered in `duration` grows with the cruise velocity,
    // from braking at once (0) to the fastest profile's cruise, which
    // covers at least the distance in the longer time.
    const double d = p1 - p0;
    double lo = std::min(0.0, fast.vc_);
    double hi = std::max(0.0, fast.vc_);
    for (int i = 0; i < kBisections && lo < hi; ++i) {
        const double mid = lo + (hi - lo) * 0.5;
        if (mid <= lo || mid >= hi) break;
        if (shaped(p0, v0, p1, amax, mid, duration).distance() < d) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    const Trapezoid low = shaped(p0, v0, p1, amax, lo, duration);
    const Trapezoid high = shaped(p0, v0, p1, amax, hi, duration);
    return std::fabs(low.distance() - d) <= std::fabs(high.distance() - d) ? low : high;
}

std::string move_axis_fault(const MoveAxis& axis, const char* target) {
    if (!std::isfinite(axis.target)) return std::string(target) + " must be finite, got " + double_text(axis.target);
    if (!(axis.velocity > 0.0)) return "velocity_limit must be above 0, got " + double_text(axis.velocity);
    if (!(axis.accel > 0.0 && std::isfinite(axis.accel))) {
        return "accel_limit must be finite and above 0, got " + double_text(axis.accel);
    }
    return {};
}

std::string move_duration_fault(double duration) {
    if (!(duration >= 0.0 && std::isfinite(duration))) {
        return "duration must be finite and not negative, got " + double_text(duration);
    }
    return {};
}

std::uint64_t plan_move(const MoveAxis* axes, const double* p0, const double* v0, std::size_t n, double duration,
                        double period, Trapezoid* out) {
    double longest = duration;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = Trapezoid::fastest(p0[i], v0[i], axes[i].target, axes[i].velocity, axes[i].accel);
        longest = std::max(longest, out[i].duration());
    }
    // A whole number of periods, at least one: the last cycle sends the
    // targets. A time a hair past a whole number (rounding) takes no extra
    // cycle.
    const double periods = std::ceil(longest / period - 1e-9);
    const std::uint64_t cycles = periods < 1.0 ? 1 : static_cast<std::uint64_t>(periods);
    const double length = static_cast<double>(cycles) * period;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = Trapezoid::lasting(p0[i], v0[i], axes[i].target, axes[i].velocity, axes[i].accel, length);
    }
    return cycles;
}

Setpoint move_base(const MoveAxis& axis, const Setpoint* last) {
    if (last != nullptr && last->kind != axis.kind) last = nullptr;
    Setpoint s;
    s.kind = axis.kind;
    const CommandKind& k = kCommandKinds[axis.kind];
    for (std::size_t f = 0; f < k.field_count; ++f) {
        const std::string_view name = k.fields[f].name;
        const bool kd = name == "kd";
        float given = 0.0f;  // the motion fields: filled in by move_motion
        float fallback = 0.0f;
        if (name == "kp" || kd) {
            given = kd ? axis.kd : axis.kp;
            fallback = kd ? (std::isnan(axis.fallback_kd) ? 0.0f : axis.fallback_kd) : axis.fallback_kp;
        } else if (name == "current") {
            given = axis.current;
            fallback = 1.0f;
        }
        s.values[f] = !std::isnan(given) ? given : last != nullptr ? last->values[f] : fallback;
    }
    return s;
}

void move_motion(Setpoint& s, double p, double v, double floor) {
    const MotionFields& m = kMotionFields[s.kind];
    if (m.position < kMaxFields) s.values[m.position] = static_cast<float>(p);
    if (m.velocity < kMaxFields) s.values[m.velocity] = static_cast<float>(v);
    if (m.speed < kMaxFields) s.values[m.speed] = static_cast<float>(std::max(std::fabs(v), floor));
}

Setpoint blend_setpoint(const Setpoint& target, double position, double velocity, double s, double rate) {
    if (s >= 1.0) return target;
    const MotionFields& m = kMotionFields[target.kind];
    // An infinite MIT field (the codec saturates it) has no share to blend:
    // that command goes out as it is.
    if ((m.position < kMaxFields && !std::isfinite(target.values[m.position])) ||
        (m.velocity < kMaxFields && !std::isfinite(target.values[m.velocity]))) {
        return target;
    }
    Setpoint out = target;
    if (m.position < kMaxFields) {
        const double x = target.values[m.position];
        out.values[m.position] = static_cast<float>(position + (x - position) * s);
    }
    if (m.velocity < kMaxFields) {
        const double x = target.values[m.velocity];
        out.values[m.velocity] = static_cast<float>(
            m.position < kMaxFields ? x * s + (target.values[m.position] - position) * rate : velocity + (x - velocity) * s);
    }
    return out;
}

double blend_weight(double u) {
    if (!(u > 0.0)) return 0.0;
    if (u >= 1.0) return 1.0;
    return u * u * u * (10.0 + u * (-15.0 + 6.0 * u));
}

double blend_weight_rate(double u) {
    if (!(u > 0.0) || u >= 1.0) return 0.0;
    const double w = u * (1.0 - u);
    return 30.0 * w * w;
}

}  // namespace rotalink::damiao
