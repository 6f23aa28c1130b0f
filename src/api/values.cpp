// The public values: presets, joint limits, modes, statuses, registers,
// and the conversions to the core's records.
#include <cstdio>
#include <cctype>
#include <cmath>
#include <cstring>

#include "api/access.hpp"
#include "damiao/protocol.hpp"
#include "damiao/registers.hpp"
#include "support/panic.hpp"

namespace rotalink {

const char* version() { return ROTALINK_VERSION_STRING; }

namespace {
std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}
}  // namespace

std::vector<std::string> preset_names() {
    std::vector<std::string> names;
    for (const damiao::mit::Preset& p : damiao::mit::kPresets) names.push_back(upper(p.name));
    return names;
}

Result<MitLimits> preset(std::string_view model) {
    const std::string wanted = upper(model);
    for (const damiao::mit::Preset& p : damiao::mit::kPresets) {
        if (upper(p.name) == wanted) return p.limits;
    }
    std::string known;
    for (const std::string& n : preset_names()) known += (known.empty() ? "" : ", ") + n;
    return err(api::invalid("no motor model is called '" + std::string(model) + "'; the models are " + known));
}

Result<JointLimits> JointLimits::make(float q_min, float q_max, float dq_max, float tau_max) {
    const JointLimits l{q_min, q_max, dq_max, tau_max};
    const std::string fault = damiao::joint_limits_fault(l);
    if (!fault.empty()) return err(api::invalid(fault));
    return l;
}

std::uint16_t id_offset(ControlMode mode) {
    const std::size_t k = damiao::kind_of_mode(static_cast<std::uint8_t>(mode));
    return k < damiao::kCommandKindCount ? damiao::kCommandKinds[k].id_offset : 0;
}

const char* mode_name(ControlMode mode) {
    const std::size_t k = damiao::kind_of_mode(static_cast<std::uint8_t>(mode));
    return k < damiao::kCommandKindCount ? damiao::kCommandKinds[k].mode_name : "";
}

std::string status_name(std::uint8_t code) { return damiao::status_text(code); }

std::string status_description(std::uint8_t code) {
    for (const damiao::StatusCode& s : damiao::kStatuses) {
        if (s.code == code) return s.description;
    }
    return {};
}

const char* register_name(Register reg) {
    const damiao::RegisterInfo* info = damiao::find_register(static_cast<std::uint8_t>(reg));
    return info != nullptr ? info->name : "";
}
bool register_is_float(Register reg) {
    const damiao::RegisterInfo* info = damiao::find_register(static_cast<std::uint8_t>(reg));
    return info != nullptr && info->kind == damiao::RegisterKind::Float;
}
bool register_writable(Register reg) {
    const damiao::RegisterInfo* info = damiao::find_register(static_cast<std::uint8_t>(reg));
    return info != nullptr && info->writable;
}
static_assert(damiao::kRegisterCount == static_cast<std::size_t>(Register::sub_ver) + 1,
              "the public register names cover the register table");

float RegisterValue::as_float() const { return damiao::RegisterValue{damiao::RegisterKind::Float, bits}.as_float(); }

namespace api {

damiao::Setpoint to_core(const Setpoint& s) {
    damiao::Setpoint out;
    out.kind = s.index();
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, MitSetpoint>) {
                out.values = {v.q, v.dq, v.kp, v.kd, v.tau};
            } else if constexpr (std::is_same_v<T, PosVelSetpoint>) {
                out.values = {v.q, v.dq};
            } else if constexpr (std::is_same_v<T, VelSetpoint>) {
                out.values = {v.dq};
            } else {
                out.values = {v.q, v.dq, v.current};
            }
        },
        s);
    return out;
}
// The variant's alternatives are the command kinds, in the table's order.
static_assert(std::variant_size_v<Setpoint> == damiao::kCommandKindCount, "one setpoint type per command kind");

Result<damiao::Damiao> to_core(const Damiao& m) {
    // Frames carry 11-bit identifiers: a larger one would reach another
    // motor once masked, so it is refused here rather than cut.
    for (const auto& [name, id] : {std::pair<const char*, std::uint16_t>{"motor_id", m.motor_id()},
                                   std::pair<const char*, std::uint16_t>{"master_id", m.master_id()}}) {
        if (id > damiao::kRegisterId) {
            char text[80];
            std::snprintf(text, sizeof text, "%s 0x%x is past the standard range 0x7ff", name, static_cast<unsigned>(id));
            return err(invalid(text));
        }
    }
    damiao::Damiao d;
    d.motor_id = m.motor_id();
    d.master_id = m.master_id();
    d.limits = m.limits();
    const long long ms = m.timeout().count();
    d.timeout = transport::Duration::from_millis(ms < 0 ? 0 : static_cast<std::uint64_t>(ms));
    return d;
}

Error from_core(const damiao::Error& e) {
    const bool refused =
        e.kind() == damiao::Error::Kind::LimitDomain || e.kind() == damiao::Error::Kind::InvalidCommand;
    return Error(refused ? Error::Kind::InvalidArgument : Error::Kind::Device, e.message());
}

}  // namespace api
}  // namespace rotalink
