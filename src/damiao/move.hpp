// Moves: each axis follows a trapezoidal velocity profile (accelerate,
// cruise, decelerate to rest at the target) within its velocity and
// acceleration limits, every axis of a move stretched to arrive at the same
// instant, the slowest setting it. Plain arithmetic on doubles, in whatever
// units the caller works in (a robot's joints map onto motor units by an
// affine map, which keeps limits and timing). No I/O, no allocation.
//
// One axis starts at p0 moving at v0 and ends at rest at p1. Its profile:
//   phase 1: from v0 to the cruise velocity vc at the acceleration limit a
//   phase 2: at vc (possibly for no time at all)
//   phase 3: from vc to rest at a
// vc may point away from the target only when the axis cannot stop short
// of it (it overshoots, then comes back). For a fixed duration, the distance
// covered grows with vc, so the vc that covers the distance in a given time
// is found by bisection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "damiao/control.hpp"

namespace rotalink::damiao {

// The acceleration limit a move takes when its caller gives none, in the
// move's units per second squared (rad/s^2 for a joint or a motor).
inline constexpr double kDefaultMoveAccel = 10.0;

class Trapezoid {
public:
    Trapezoid() = default;
    // The fastest profile from (p0, v0) to rest at p1 under `vmax` (above 0;
    // may be infinite: no cruise limit) and `amax` (finite, above 0).
    static Trapezoid fastest(double p0, double v0, double p1, double vmax, double amax);
    // A profile of the same start, target and limits taking `duration`
    // (at least fastest(...).duration()): the cruise velocity lowered until
    // the distance is covered in that time.
    static Trapezoid lasting(double p0, double v0, double p1, double vmax, double amax, double duration);

    double duration() const { return t1_ + t2_ + t3_; }
    double cruise() const { return vc_; }
    double target() const { return p1_; }
    // Position and velocity `t` seconds after the start; at and after the
    // end, exactly the target and 0. Inline: a move's cycle samples every
    // member's.
    void sample(double t, double& p, double& v) const {
        if (t >= end_) {
            p = p1_;
            v = 0.0;
        } else if (t < t1_) {
            p = p0_ + (v0_ + 0.5 * a1_ * t) * t;
            v = v0_ + a1_ * t;
        } else if (t < braking_) {
            p = cruising_ + vc_ * (t - t1_);
            v = vc_;
        } else {
            const double b = t - braking_;
            p = braked_ + (vc_ + 0.5 * a3_ * b) * b;
            v = vc_ + a3_ * b;
        }
    }
private:
    // The profile of cruise velocity `vc` lasting `duration` (phase 2 takes
    // what phases 1 and 3 leave), and the distance it covers.
    static Trapezoid shaped(double p0, double v0, double p1, double amax, double vc, double duration);
    double distance() const;

    double p0_ = 0, v0_ = 0, p1_ = 0;
    double vc_ = 0;
    double a1_ = 0, a3_ = 0;  // signed accelerations of phases 1 and 3
    double t1_ = 0, t2_ = 0, t3_ = 0;
    // Worked out once for `sample`: when braking begins and the profile
    // ends, and where cruising and braking begin.
    double braking_ = 0, end_ = 0;
    double cruising_ = 0, braked_ = 0;
};

// One member's part of a move: where it goes, under which limits, and the
// command kind (kCommandKinds) it is driven in. Gains and FORCE_POS's
// current are NaN where the caller gives none (move_base fills them in).
struct MoveAxis {
    std::size_t kind = kMitKind;
    double target = 0.0;
    double velocity = 0.0;  // above 0; infinite for none
    double accel = kDefaultMoveAccel;  // finite, above 0
    float kp = __builtin_nanf("");
    float kd = __builtin_nanf("");
    float current = __builtin_nanf("");
    // MIT gains for when neither the caller nor a setpoint gives them
    // (a robot's joint defaults); NaN for none.
    float fallback_kp = __builtin_nanf("");
    float fallback_kd = __builtin_nanf("");
};

// Why a move may not last `duration` seconds ("duration must be finite and
// not negative, got -1"), or "".
std::string move_duration_fault(double duration);

// Why `axis` cannot be planned ("velocity_limit must be above 0, got 0";
// the target called `target` in messages), or "" when it can. Targets and
// limits only: gains are checked when encoded.
std::string move_axis_fault(const MoveAxis& axis, const char* target = "target");

// The profiles of a move of `n` axes starting at `p0`/`v0` into `out`, all
// lasting the same whole number of `period`s: the slowest axis's fastest
// time, or `duration` if longer, rounded up. That number of periods.
std::uint64_t plan_move(const MoveAxis* axes, const double* p0, const double* v0, std::size_t n, double duration,
                        double period, Trapezoid* out);

// The setpoint an axis is driven with, its motion fields not yet filled:
// MIT's gains and FORCE_POS's current are the axis's, else those of `last`
// (the member's latest setpoint, when it is of the axis's kind), else the
// axis's fallback gains, kd 0 and current 1; the rest 0. A kp none of them
// gives stays NaN.
Setpoint move_base(const MoveAxis& axis, const Setpoint* last = nullptr);
// Fills the motion fields of `s` (made by move_base) for one instant of the
// profile, at `p` moving at `v`: MIT takes both (no torque); POS_VEL and
// FORCE_POS the position, with |v| as the speed limit but never below
// `floor` (so that a motor told to reach the next position is never told
// speed 0); VEL the velocity.
void move_motion(Setpoint& s, double p, double v, double floor);

// The blend of a setpoint towards `target` from a measured position and
// velocity: at weight `s` (0 at the blend's start, 1 at its end) with
// ds/dt `rate`, position fields go from the measured position to the
// target's; a velocity that sets no position (VEL) goes from the measured
// velocity to the target's, and MIT's velocity gets the blend's own
// velocity on top of the target's share. Other fields are the target's. A
// target with an infinite position or velocity (MIT's codec saturates
// them) is returned as it is.
Setpoint blend_setpoint(const Setpoint& target, double position, double velocity, double s, double rate);

// The blend's weight at u = elapsed / length in [0, 1] (a quintic: no jump
// in velocity or acceleration at either end), and its derivative.
double blend_weight(double u);
double blend_weight_rate(double u);

}  // namespace rotalink::damiao
