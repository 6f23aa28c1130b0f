#include "damiao/joints.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace rotalink::damiao {

namespace {

constexpr bool same_name(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr std::size_t joint_field_named(const char* name) {
    std::size_t f = 0;
    while (f < kJointFieldCount && !same_name(kJointFieldNames[f], name)) ++f;
    return f;
}

// Per command kind, per field: the joint field that gives its value.
using KindFields = std::array<std::array<std::size_t, kMaxFields>, kCommandKindCount>;
constexpr KindFields kind_fields() {
    KindFields out{};
    for (std::size_t k = 0; k < kCommandKindCount; ++k) {
        for (std::size_t f = 0; f < kCommandKinds[k].field_count; ++f) {
            out[k][f] = joint_field_named(kCommandKinds[k].fields[f].name);
        }
    }
    return out;
}
constexpr KindFields kKindFields = kind_fields();

constexpr bool every_field_named() {
    for (std::size_t k = 0; k < kCommandKindCount; ++k) {
        for (std::size_t f = 0; f < kCommandKinds[k].field_count; ++f) {
            if (kKindFields[k][f] == kJointFieldCount) return false;
        }
    }
    return true;
}
static_assert(every_field_named(), "a command kind has a field that no joint field gives");

// `v` as a float; past the float range, the infinity of its sign (a plain
// conversion of such a value is undefined).
float to_float(double v) {
    if (v > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (v < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

std::string fault(const JointSpec& j, std::size_t i, const std::string& what) {
    return joint_name(j.name, i) + ": " + what;
}

}  // namespace

std::string joint_name(const std::string& name, std::size_t index) {
    return "joint '" + name + "' (index " + std::to_string(index) + ")";
}

std::string double_text(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    // The fewest significant digits that read back as `v`; positional
    // between 1e-4 and 1e16, with an exponent outside.
    char buf[40];
    int digits = 1;
    for (; digits < 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*e", digits - 1, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, v);
    const int exponent = std::atoi(std::strchr(buf, 'e') + 1);
    if (exponent >= -4 && exponent < 16) {
        const int decimals = digits - 1 - exponent;
        std::snprintf(buf, sizeof buf, "%.*f", decimals > 0 ? decimals : 0, v);
    } else {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    }
    return buf;
}

Result<JointMap, std::string> JointMap::make(std::vector<JointSpec> joints) {
    if (joints.empty()) return err(std::string("a robot needs at least one joint"));
    JointMap map;
    map.joints_.reserve(joints.size());
    for (std::size_t i = 0; i < joints.size(); ++i) {
        const JointSpec& j = joints[i];
        if (j.name.empty()) return err(fault(j, i, "name must not be empty"));
        for (std::size_t o = 0; o < i; ++o) {
            if (joints[o].name == j.name) {
                return err(fault(j, i, "name is joint " + std::to_string(o) + "'s too"));
            }
        }
        if (j.direction != 1 && j.direction != -1) {
            return err(fault(j, i, "direction must be 1 or -1, got " + std::to_string(j.direction)));
        }
        if (!std::isfinite(j.offset)) return err(fault(j, i, "offset must be finite, got " + double_text(j.offset)));
        if (!std::isfinite(j.gear) || j.gear == 0.0) {
            return err(fault(j, i, "gear must be finite and non-zero, got " + double_text(j.gear)));
        }
        const std::size_t kind = kind_of_mode(j.mode);
        if (kind == kCommandKindCount) {
            return err(fault(j, i, std::to_string(j.mode) + " is not a control mode"));
        }
        const std::string limits = joint_limits_fault(j.limits);
        if (!limits.empty()) return err(fault(j, i, limits));
        const std::pair<const char*, double> gains[] = {{"kp", j.kp}, {"kd", j.kd}};
        for (const auto& g : gains) {
            if (!std::isfinite(g.second) || g.second < 0.0) {
                return err(fault(j, i, std::string(g.first) + " must be finite and not negative, got " +
                                           double_text(g.second)));
            }
        }
        Joint c;
        c.kind = kind;
        c.sign_gear = j.direction * j.gear;
        c.gear = std::fabs(j.gear);
        c.offset = j.offset;
        c.bounds = field_bounds(j.limits, kind);
        map.joints_.push_back(c);
    }
    map.specs_ = std::move(joints);
    return map;
}

JointLimits JointMap::motor_limits(std::size_t i) const {
    const Joint& j = joints_[i];
    const JointLimits& l = specs_[i].limits;
    // The ends convert as the commands do, so a command clamped in joint
    // units lies inside them after its conversion too.
    auto position = [&](float q) {
        return to_float(std::isinf(q) ? q * j.sign_gear : j.offset + j.sign_gear * q);
    };
    float lo = position(l.q_min);
    float hi = position(l.q_max);
    if (lo > hi) std::swap(lo, hi);
    JointLimits m;
    m.q_min = lo;
    m.q_max = hi;
    m.dq_max = to_float(j.gear * l.dq_max);
    m.tau_max = to_float(l.tau_max / j.gear);
    return m;
}

std::optional<std::string> JointMap::to_setpoints(const JointCommand& command, Setpoint* out) const {
    const std::size_t n = joints_.size();
    for (std::size_t f = 0; f < kJointFieldCount; ++f) {
        const std::size_t size = command.fields[f].size;
        if (size > 1 && size != n) {
            return std::string(kJointFieldNames[f]) + ": expected 1 value or " + std::to_string(n) +
                   ", one per joint, got " + std::to_string(size);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Joint& j = joints_[i];
        const JointSpec& spec = specs_[i];
        double given[kJointFieldCount];
        bool has[kJointFieldCount];
        for (std::size_t f = 0; f < kJointFieldCount; ++f) {
            const JointValues& v = command.fields[f];
            has[f] = v.size != 0;
            if (!has[f]) continue;
            const double x = v.data[v.size == 1 ? 0 : i];
            const char* name = kJointFieldNames[f];
            if (!std::isfinite(x)) return fault(spec, i, std::string(name) + " must be finite, got " + double_text(x));
            if ((f == kJointKp || f == kJointKd) && x < 0.0) {
                return fault(spec, i, std::string(name) + " must not be negative, got " + double_text(x));
            }
            if (f == kJointCurrent && (x < 0.0 || x > 1.0)) {
                return fault(spec, i, std::string(name) + " must be from 0 to 1, got " + double_text(x));
            }
            given[f] = x;
        }
        const double kp = has[kJointKp] ? given[kJointKp] : spec.kp;
        const CommandKind& k = kCommandKinds[j.kind];
        Setpoint& s = out[i];
        s.kind = j.kind;
        s.values = {};
        for (std::size_t fi = 0; fi < k.field_count; ++fi) {
            const std::size_t f = kKindFields[j.kind][fi];
            const Role role = k.fields[fi].role;
            double v = 0.0;
            if (has[f]) {
                v = given[f];
            } else if (f == kJointKp) {
                v = spec.kp;
            } else if (f == kJointKd) {
                v = spec.kd;
            } else if (role == Role::Speed) {
                if (!std::isfinite(spec.limits.dq_max)) {
                    return fault(spec, i, std::string(k.fields[fi].name) + " is needed in " + k.mode_name +
                                              " mode (the speed the position is reached at), and the joint has no dq_max");
                }
                v = spec.limits.dq_max;
            } else if (f == kJointQ && (j.kind != kMitKind || kp != 0.0)) {
                return fault(spec, i,
                             j.kind == kMitKind ? "q is needed in MIT mode with kp " + double_text(kp)
                                                : std::string("q is needed in ") + k.mode_name + " mode");
            } else if (f == kJointCurrent) {
                return fault(spec, i, std::string("current is needed in ") + k.mode_name + " mode");
            }
            if (role == Role::Speed) v = std::fabs(v);
            // Joint limits, in joint units.
            const double lo = j.bounds.lo[fi];
            const double hi = j.bounds.hi[fi];
            if (v < lo) v = lo;
            if (v > hi) v = hi;
            double m = v;
            switch (role) {
                case Role::Position:
                    m = j.offset + j.sign_gear * v;
                    break;
                case Role::Velocity:
                    m = j.sign_gear * v;
                    break;
                case Role::Speed:
                    m = j.gear * v;
                    break;
                case Role::Torque:
                    m = spec.direction * v / spec.gear;
                    break;
                case Role::Other:
                    m = f == kJointKp || f == kJointKd ? v / (spec.gear * spec.gear) : v;
                    break;
            }
            const float wire = to_float(m);
            if (!std::isfinite(wire)) {
                return fault(spec, i, std::string(k.fields[fi].name) + " " + double_text(v) +
                                          " is past what a motor command carries");
            }
            s.values[fi] = wire;
        }
    }
    return std::nullopt;
}

void JointMap::to_joint(std::size_t i, const mit::MotorState* s, const JointStatesOut& out) const {
    if (s == nullptr) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        out.q[i] = out.dq[i] = out.tau[i] = nan;
        out.status[i] = out.t_mos[i] = out.t_rotor[i] = kNoReply;
        return;
    }
    out.q[i] = to_joint(i, Role::Position, s->position);
    out.dq[i] = to_joint(i, Role::Velocity, s->velocity);
    out.tau[i] = to_joint(i, Role::Torque, s->torque);
    out.status[i] = s->error;
    out.t_mos[i] = s->t_mos;
    out.t_rotor[i] = s->t_rotor;
}

double JointMap::to_joint(std::size_t i, Role role, double m) const {
    const Joint& j = joints_[i];
    switch (role) {
        case Role::Position:
            return (m - j.offset) / j.sign_gear;
        case Role::Velocity:
            return m / j.sign_gear;
        case Role::Speed:
            return m / j.gear;
        case Role::Torque:
            return j.sign_gear * m;
        case Role::Other:
            break;
    }
    return m;
}

void JointMap::to_joints(const std::optional<mit::MotorState>* states, const JointStatesOut& out) const {
    for (std::size_t i = 0; i < joints_.size(); ++i) to_joint(i, states[i] ? &*states[i] : nullptr, out);
}

void JointMap::to_joints(const Result<mit::MotorState, Error>* results, const JointStatesOut& out) const {
    for (std::size_t i = 0; i < joints_.size(); ++i) to_joint(i, results[i].ok() ? &results[i].value() : nullptr, out);
}

}  // namespace rotalink::damiao
