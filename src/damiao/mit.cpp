#include "damiao/mit.hpp"

#include <algorithm>
#include <cmath>

#include "support/float_text.hpp"

namespace rotalink::damiao::mit {
namespace {

using detail::clamp;
using detail::not_special;
using detail::scale_symmetric;
using detail::truncate_u32;

// Gain field [0, m] to [0, k]: (x * k) / m.
std::uint32_t scale_gain(float x, float m, float k) {
    const float c = clamp(x, 0.0f, m);
    const float num = c * k;
    return truncate_u32(num / m);
}

float unscale_symmetric(std::uint32_t raw, float m, float k) {
    const float span = m + m;
    const float num = span * static_cast<float>(raw);
    return num / k - m;
}

std::uint8_t lo8(std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFFu); }

}  // namespace

std::string LimitDomainError::message() const {
    return "min > max, or either was NaN. min = " + float_debug(min) + ", max = " + float_debug(max);
}

Result<Payload, LimitDomainError> encode(const MitLimits& l, const MitSetpoint& s) {
    // `limit >= 0` is false for NaN.
    if (!(l.p_max >= 0.0f)) return err(LimitDomainError{-l.p_max, l.p_max});
    if (!(l.v_max >= 0.0f)) return err(LimitDomainError{-l.v_max, l.v_max});
    if (!(l.kp_max >= 0.0f)) return err(LimitDomainError{0.0f, l.kp_max});
    if (!(l.kd_max >= 0.0f)) return err(LimitDomainError{0.0f, l.kd_max});
    if (!(l.t_max >= 0.0f)) return err(LimitDomainError{-l.t_max, l.t_max});

    const std::uint32_t q = scale_symmetric(s.q, l.p_max, 65535.0f);
    const std::uint32_t dq = scale_symmetric(s.dq, l.v_max, 4095.0f);
    const std::uint32_t kp = scale_gain(s.kp, l.kp_max, 4095.0f);
    const std::uint32_t kd = scale_gain(s.kd, l.kd_max, 4095.0f);
    const std::uint32_t tau = scale_symmetric(s.tau, l.t_max, 4095.0f);

    Payload out{
        lo8(q >> 8),
        lo8(q),
        lo8(dq >> 4),
        lo8(((dq & 0xFu) << 4) | ((kp >> 8) & 0xFu)),
        lo8(kp),
        lo8(kd >> 4),
        lo8(((kd & 0xFu) << 4) | ((tau >> 8) & 0xFu)),
        lo8(tau),
    };
    not_special(out.data());
    return out;
}


MotorState decode(const MitLimits& l, const Payload& d) {
    const std::uint32_t p_raw = (std::uint32_t{d[1]} << 8) | d[2];
    const std::uint32_t v_raw = (std::uint32_t{d[3]} << 4) | (d[4] >> 4);
    const std::uint32_t t_raw = ((std::uint32_t{d[4]} & 0x0Fu) << 8) | d[5];
    MotorState st;
    st.motor_id = d[0] & 0x0F;
    st.error = d[0] >> 4;
    st.position = unscale_symmetric(p_raw, l.p_max, 65535.0f);
    st.velocity = unscale_symmetric(v_raw, l.v_max, 4095.0f);
    st.torque = unscale_symmetric(t_raw, l.t_max, 4095.0f);
    st.t_mos = d[6];
    st.t_rotor = d[7];
    return st;
}

MitSetpoint decode_command(const MitLimits& l, const Payload& d) {
    const std::uint32_t q_raw = (std::uint32_t{d[0]} << 8) | d[1];
    const std::uint32_t dq_raw = (std::uint32_t{d[2]} << 4) | (d[3] >> 4);
    const std::uint32_t kp_raw = ((std::uint32_t{d[3]} & 0x0Fu) << 8) | d[4];
    const std::uint32_t kd_raw = (std::uint32_t{d[5]} << 4) | (d[6] >> 4);
    const std::uint32_t tau_raw = ((std::uint32_t{d[6]} & 0x0Fu) << 8) | d[7];
    MitSetpoint s;
    s.q = unscale_symmetric(q_raw, l.p_max, 65535.0f);
    s.dq = unscale_symmetric(dq_raw, l.v_max, 4095.0f);
    s.kp = static_cast<float>(kp_raw) * l.kp_max / 4095.0f;
    s.kd = static_cast<float>(kd_raw) * l.kd_max / 4095.0f;
    s.tau = unscale_symmetric(tau_raw, l.t_max, 4095.0f);
    return s;
}

const std::array<Preset, kPresetCount> kPresets = {{
#define ROTALINK_PRESET_ENTRY(name, p_max, v_max, kp_max, kd_max, t_max) \
    {#name, {p_max, v_max, kp_max, kd_max, t_max}},
    ROTALINK_MIT_PRESETS(ROTALINK_PRESET_ENTRY)
#undef ROTALINK_PRESET_ENTRY
}};

std::string repr(const MitLimits& v) {
    return "MitLimits(p_max=" + float_short(v.p_max) + ", v_max=" + float_short(v.v_max) +
           ", kp_max=" + float_short(v.kp_max) + ", kd_max=" + float_short(v.kd_max) +
           ", t_max=" + float_short(v.t_max) + ")";
}

std::string repr(const MitSetpoint& v) {
    return "MitSetpoint(q=" + float_short(v.q) + ", dq=" + float_short(v.dq) +
           ", kp=" + float_short(v.kp) + ", kd=" + float_short(v.kd) +
           ", tau=" + float_short(v.tau) + ")";
}

std::string repr(const MotorState& v) {
    return "MotorState(motor_id=" + std::to_string(v.motor_id) +
           ", error=" + std::to_string(v.error) + ", position=" + float_fixed4(v.position) +
           ", velocity=" + float_fixed4(v.velocity) + ", torque=" + float_fixed4(v.torque) +
           ", t_mos=" + std::to_string(v.t_mos) + ", t_rotor=" + std::to_string(v.t_rotor) + ")";
}

}  // namespace rotalink::damiao::mit
