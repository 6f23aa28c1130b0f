#include "damiao/control.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "support/float_text.hpp"

namespace rotalink::damiao {

using transport::CanFrame;

mit::MitSetpoint as_mit(const Setpoint& s) {
    return mit::MitSetpoint{s.values[0], s.values[1], s.values[2], s.values[3], s.values[4]};
}

Setpoint from_mit(const mit::MitSetpoint& s) {
    Setpoint out;
    out.kind = kMitKind;
    out.values = {s.q, s.dq, s.kp, s.kd, s.tau};
    return out;
}

std::string joint_limits_fault(const JointLimits& l) {
    if (std::isnan(l.q_min) || std::isnan(l.q_max)) {
        return std::string("JointLimits.") + (std::isnan(l.q_min) ? "q_min" : "q_max") + " is NaN";
    }
    if (std::isinf(l.q_min) && l.q_min > 0.0f) return "JointLimits.q_min must be below inf";
    if (std::isinf(l.q_max) && l.q_max < 0.0f) return "JointLimits.q_max must be above -inf";
    if (l.q_min > l.q_max) {
        return "JointLimits.q_min " + float_short(l.q_min) + " is above q_max " + float_short(l.q_max);
    }
    const std::pair<const char*, float> maxima[] = {{"dq_max", l.dq_max}, {"tau_max", l.tau_max}};
    for (const auto& m : maxima) {
        if (!(m.second >= 0.0f)) {
            return std::string("JointLimits.") + m.first + " must be 0 or more, got " + float_short(m.second);
        }
    }
    return {};
}

std::string repr(const JointLimits& l) {
    return "JointLimits(q_min=" + float_short(l.q_min) + ", q_max=" + float_short(l.q_max) +
           ", dq_max=" + float_short(l.dq_max) + ", tau_max=" + float_short(l.tau_max) + ")";
}

FieldBounds field_bounds(const JointLimits& limits, std::size_t kind) {
    const float inf = std::numeric_limits<float>::infinity();
    FieldBounds b;
    b.lo.fill(-inf);
    b.hi.fill(inf);
    const CommandKind& k = kCommandKinds[kind];
    for (std::size_t i = 0; i < k.field_count; ++i) {
        switch (k.fields[i].role) {
            case Role::Position:
                b.lo[i] = limits.q_min;
                b.hi[i] = limits.q_max;
                break;
            case Role::Velocity:
            case Role::Speed:
                b.lo[i] = -limits.dq_max;
                b.hi[i] = limits.dq_max;
                break;
            case Role::Torque:
                b.lo[i] = -limits.tau_max;
                b.hi[i] = limits.tau_max;
                break;
            case Role::Other:
                break;
        }
    }
    return b;
}

bool clamp(Setpoint& s, const FieldBounds& bounds) {
    bool moved = false;
    for (std::size_t i = 0; i < kMaxFields; ++i) {  // unused fields lie within +-inf
        float& v = s.values[i];
        if (v < bounds.lo[i]) {
            v = bounds.lo[i];
            moved = true;
        } else if (v > bounds.hi[i]) {  // false for NaN
            v = bounds.hi[i];
            moved = true;
        }
    }
    return moved;
}

namespace {

// A U16 field: clamped to [0, max], scaled and rounded in 32-bit float.
std::uint16_t scaled(float value, const CommandField& f) {
    const float clamped = value < 0.0f ? 0.0f : value > f.max ? f.max : value;
    return static_cast<std::uint16_t>(std::round(clamped * f.scale));
}

// The bytes of field `f` (F32 or U16) holding `value`, little-endian, at `at`.
void put_field(std::uint8_t* at, const CommandField& f, float value) {
    std::uint32_t bits = 0;
    std::size_t bytes = 2;
    if (f.wire == Wire::F32) {
        std::memcpy(&bits, &value, sizeof bits);
        bytes = 4;
    } else {
        bits = scaled(value, f);
    }
    for (std::size_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace

std::string id_text(std::uint32_t id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%03x", static_cast<unsigned>(id));
    return buf;
}

std::string control_id_fault(std::uint16_t motor_id, std::size_t kind) {
    const std::uint32_t id = control_id(motor_id, kind);
    if (id < kRegisterId) return {};
    const CommandKind& k = kCommandKinds[kind];
    return std::string("the ") + k.mode_name + " command identifier " + id_text(id) + " (" + id_text(k.id_offset) +
           " + motor_id " + id_text(motor_id & 0x7FFu) + ") " +
           (id == kRegisterId ? "is the register identifier" : "is past the standard range 0x7ff");
}

std::optional<Error> write_control(CanFrame& frame, std::uint16_t motor_id, const mit::MitLimits& limits,
                                   const Setpoint& setpoint) {
    ROTALINK_ASSERT(setpoint.kind < kCommandKindCount, "a setpoint of no command kind");
    const CommandKind& kind = kCommandKinds[setpoint.kind];
    // The message is made only for an identifier that is refused: every
    // cycle of a move encodes each member's frame anew.
    if (control_id(motor_id, setpoint.kind) >= kRegisterId) {
        return Error::invalid_command(control_id_fault(motor_id, setpoint.kind));
    }
    const bool mit_codec = kind.fields[0].wire == Wire::Mit;
    // The common case costs one test each: a product of the ranges that is
    // neither 0 nor infinite, a sum of the fields that is a number (finite,
    // for the kinds that take no infinity). Only then is each looked at.
    if (mit_codec) {
        const float product = limits.p_max * limits.v_max * limits.t_max;
        if (product == 0.0f || !std::isfinite(product)) {
            const std::pair<const char*, float> ranges[] = {
                {"p_max", limits.p_max}, {"v_max", limits.v_max}, {"t_max", limits.t_max}};
            for (const auto& r : ranges) {
                if (r.second == 0.0f || std::isinf(r.second)) {
                    return Error::invalid_command(std::string("MitLimits.") + r.first +
                                                  " must be finite and non-zero, got " + float_short(r.second));
                }
            }
        }
    }
    float sum = 0.0f;
    for (std::size_t i = 0; i < kind.field_count; ++i) sum += setpoint.values[i];
    if (mit_codec ? std::isnan(sum) : !std::isfinite(sum)) {
        for (std::size_t i = 0; i < kind.field_count; ++i) {
            const float v = setpoint.values[i];
            if (std::isnan(v) || (!mit_codec && std::isinf(v))) {
                return Error::invalid_command(std::string(kind.value_class) + "." + kind.fields[i].name +
                                              " must be " + (mit_codec ? "a number" : "finite") + ", got " +
                                              float_short(v));
            }
        }
    }
    frame.id = transport::CanId::standard(control_id(motor_id, setpoint.kind));
    frame.data.clear();
    frame.fd = frame.brs = frame.remote = frame.error = false;
    if (mit_codec) {
        Result<mit::Payload, mit::LimitDomainError> payload = mit::encode(limits, as_mit(setpoint));
        if (!payload.ok()) return Error::limit_domain(payload.error());
        frame.data.assign(payload.value().begin(), payload.value().end());
        return std::nullopt;
    }
    frame.data.resize(kind.length);
    for (std::size_t i = 0; i < kind.field_count; ++i) {
        put_field(frame.data.data() + field_offset(kind, i), kind.fields[i], setpoint.values[i]);
    }
    return std::nullopt;
}

std::optional<Setpoint> read_control(const CanFrame& frame, std::uint16_t motor_id, const mit::MitLimits& limits) {
    if (frame.id.kind != transport::IdKind::Standard || frame.remote || frame.error) return std::nullopt;
    for (std::size_t k = 0; k < kCommandKindCount; ++k) {
        const CommandKind& kind = kCommandKinds[k];
        if (frame.id.value != control_id(motor_id, k) || frame.data.size() != kind.length) continue;
        Setpoint s;
        s.kind = k;
        const std::uint8_t* d = frame.data.data();
        if (kind.fields[0].wire == Wire::Mit) {
            // Seven 0xFF bytes: a special command (enable, disable, ...).
            if ((d[0] & d[1] & d[2] & d[3] & d[4] & d[5] & d[6]) == 0xFF) return std::nullopt;
            return from_mit(mit::decode_command(limits, mit::first_payload(d)));
        }
        for (std::size_t f = 0; f < kind.field_count; ++f) {
            const CommandField& field = kind.fields[f];
            const std::uint8_t* at = d + field_offset(kind, f);
            std::uint32_t bits = 0;
            const std::size_t bytes = field.wire == Wire::F32 ? 4 : 2;
            for (std::size_t i = 0; i < bytes; ++i) bits |= std::uint32_t{at[i]} << (8 * i);
            if (field.wire == Wire::F32) {
                std::memcpy(&s.values[f], &bits, sizeof bits);
            } else {
                s.values[f] = static_cast<float>(bits) / field.scale;
            }
        }
        return s;
    }
    return std::nullopt;
}

void write_motion(CanFrame& frame, const mit::MitLimits& limits, const Setpoint& setpoint) {
    const CommandKind& kind = kCommandKinds[setpoint.kind];
    const MotionFields& m = kMotionFields[setpoint.kind];
    if (kind.fields[0].wire == Wire::Mit) {
        // Saturated into the codec's ranges, as encode does.
        mit::encode_motion(limits, mit::detail::clamp(setpoint.values[m.position], -limits.p_max, limits.p_max),
                           mit::detail::clamp(setpoint.values[m.velocity], -limits.v_max, limits.v_max),
                           frame.data.data());
        return;
    }
    for (std::size_t f : {m.position, m.velocity, m.speed}) {
        if (f < kMaxFields) put_field(frame.data.data() + field_offset(kind, f), kind.fields[f], setpoint.values[f]);
    }
}

MotionWriter::MotionWriter(std::size_t k, const mit::MitLimits& l, const FieldBounds* bounds)
    : kind(k), limits(l), mit_codec_(kCommandKinds[k].fields[0].wire == Wire::Mit) {
    const MotionFields& m = kMotionFields[kind];
    field_ = {m.position, m.velocity, m.speed};
    for (std::size_t r = 0; r < field_.size(); ++r) {
        if (field_[r] < kMaxFields && !mit_codec_) offset_[r] = field_offset(kCommandKinds[kind], field_[r]);
    }
    if (bounds != nullptr) {
        if (m.position < kMaxFields) q_lo = bounds->lo[m.position], q_hi = bounds->hi[m.position];
        const std::size_t v = m.velocity < kMaxFields ? m.velocity : m.speed;
        if (v < kMaxFields) v_lo = bounds->lo[v], v_hi = bounds->hi[v];
    }
    if (mit_codec_) {
        // The codec saturates what the joint limits let through: clamping
        // into both at once is the same, and leaves it nothing to do.
        const auto inside = [](float x, float m) { return x < -m ? -m : x > m ? m : x; };
        q_lo = inside(q_lo, limits.p_max), q_hi = inside(q_hi, limits.p_max);
        v_lo = inside(v_lo, limits.v_max), v_hi = inside(v_hi, limits.v_max);
    }
}

void MotionWriter::write_fields(CanFrame& frame, double p, double v, double floor) const {
    const CommandKind& k = kCommandKinds[kind];
    const auto put = [&](std::size_t role, float value) {
        put_field(frame.data.data() + offset_[role], k.fields[field_[role]], value);
    };
    if (field_[0] < kMaxFields) put(0, bounded(p, q_lo, q_hi));
    if (field_[1] < kMaxFields) put(1, bounded(v, v_lo, v_hi));
    if (field_[2] < kMaxFields) put(2, bounded(std::max(std::fabs(v), floor), v_lo, v_hi));
}

Result<CanFrame, Error> make_control(std::uint16_t motor_id, const mit::MitLimits& limits,
                                     const Setpoint& setpoint) {
    CanFrame frame;
    std::optional<Error> refused = write_control(frame, motor_id, limits, setpoint);
    if (refused) return err(std::move(*refused));
    return frame;
}

std::string repr(const Setpoint& s) {
    const CommandKind& kind = kCommandKinds[s.kind];
    std::string out = std::string(kind.value_class) + "(";
    for (std::size_t i = 0; i < kind.field_count; ++i) {
        if (i > 0) out += ", ";
        out += std::string(kind.fields[i].name) + "=" + float_short(s.values[i]);
    }
    return out + ")";
}

}  // namespace rotalink::damiao
