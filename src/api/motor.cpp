// The public bus and single motor over the core's transport and driver.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/access.hpp"
#include "damiao/driver.hpp"
#include "damiao/protocol.hpp"
#include "damiao/registers.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink {

using detail::Access;

Result<SocketCanTransport> SocketCanTransport::open(const std::string& iface) {
    auto opened = transport::SocketCanTransport::open(iface);
    if (!opened.ok()) return err(Error(Error::Kind::Os, opened.error().text()));
    return SocketCanTransport(std::make_shared<Impl>(std::move(opened).value()));
}

const std::string& SocketCanTransport::iface() const { return impl_->bus.iface(); }

namespace {

transport::SharedBus& shared(const SocketCanTransport& bus) { return Access::impl(bus).bus; }

// One exchange with the bus lock held for it.
template <class T, class Op>
Result<T> exchange(const SocketCanTransport& bus, Op&& op) {
    Result<T, damiao::Error> r = shared(bus).locked([&](transport::CanTransport& t) { return op(t); });
    if (!r.ok()) return err(api::from_core(r.error()));
    return std::move(r).value();
}

// One exchange of `motor`: op(core motor, transport). A motor the core cannot
// take (an identifier past 0x7FF) is refused before the bus is touched.
template <class T, class Op>
Result<T> exchange(const Damiao& motor, const SocketCanTransport& bus, Op&& op) {
    const Result<damiao::Damiao> core = api::to_core(motor);
    if (!core.ok()) return err(core.error());
    return exchange<T>(bus, [&](transport::CanTransport& t) { return op(core.value(), t); });
}

// The register `reg`, or the core's "register 37 is not in the Damiao
// register table".
Result<const damiao::RegisterInfo*> register_info(Register reg) {
    const damiao::RegisterInfo* info = damiao::find_register(static_cast<std::uint8_t>(reg));
    if (info == nullptr) return err(api::from_core(damiao::Error::unknown_register(static_cast<std::uint8_t>(reg))));
    return info;
}

}  // namespace

namespace api {
std::string mode_names() {
    std::string names;
    for (std::size_t k = 0; k < damiao::kCommandKindCount; ++k) {
        names += k == 0 ? "" : k + 1 == damiao::kCommandKindCount ? " or " : ", ";
        names += std::string(damiao::kCommandKinds[k].mode_name) + " (" + std::to_string(damiao::kCommandKinds[k].mode) + ")";
    }
    return names;
}
}  // namespace api

namespace {
// A command of the core's driver that answers with the motor's feedback.
Result<MotorState> on_motor(const Damiao& motor, const SocketCanTransport& bus,
                            Result<MotorState, damiao::Error> (damiao::Damiao::*command)(transport::CanTransport&) const) {
    return exchange<MotorState>(motor, bus,
        [&](const damiao::Damiao& m, transport::CanTransport& t) { return (m.*command)(t); });
}
}  // namespace

Result<MotorState> Damiao::enable(const SocketCanTransport& bus) const {
    return on_motor(*this, bus, &damiao::Damiao::enable);
}
Result<MotorState> Damiao::disable(const SocketCanTransport& bus) const {
    return on_motor(*this, bus, &damiao::Damiao::disable);
}
Result<MotorState> Damiao::set_zero(const SocketCanTransport& bus) const {
    return on_motor(*this, bus, &damiao::Damiao::set_zero);
}
Result<MotorState> Damiao::clear_error(const SocketCanTransport& bus) const {
    return on_motor(*this, bus, &damiao::Damiao::clear_error);
}
Result<MotorState> Damiao::refresh(const SocketCanTransport& bus) const {
    return on_motor(*this, bus, &damiao::Damiao::refresh);
}

Result<MotorState> Damiao::control(const SocketCanTransport& bus, const Setpoint& setpoint) const {
    const damiao::Setpoint s = api::to_core(setpoint);
    return exchange<MotorState>(*this, bus,
        [&](const damiao::Damiao& m, transport::CanTransport& t) { return m.control(t, s); });
}
Result<MotorState> Damiao::mit_control(const SocketCanTransport& bus, const MitSetpoint& s) const {
    return control(bus, Setpoint(s));
}
Result<MotorState> Damiao::pos_vel_control(const SocketCanTransport& bus, const PosVelSetpoint& s) const {
    return control(bus, Setpoint(s));
}
Result<MotorState> Damiao::vel_control(const SocketCanTransport& bus, const VelSetpoint& s) const {
    return control(bus, Setpoint(s));
}
Result<MotorState> Damiao::force_pos_control(const SocketCanTransport& bus, const ForcePosSetpoint& s) const {
    return control(bus, Setpoint(s));
}

Result<RegisterValue> Damiao::read_register(const SocketCanTransport& bus, Register reg) const {
    Result<const damiao::RegisterInfo*> info = register_info(reg);
    if (!info.ok()) return err(std::move(info).error());
    const std::uint8_t number = info.value()->number;
    Result<damiao::RegisterValue> r = exchange<damiao::RegisterValue>(
        *this, bus, [&](const damiao::Damiao& m, transport::CanTransport& t) { return m.read_register(t, number); });
    if (!r.ok()) return err(std::move(r).error());
    return RegisterValue{r.value().kind == damiao::RegisterKind::Float, r.value().bits};
}

namespace {
Result<Unit> write_bits(const Damiao& motor, const SocketCanTransport& bus, const damiao::RegisterInfo& info,
                        std::uint32_t bits) {
    return exchange<Unit>(motor, bus,
        [&](const damiao::Damiao& m, transport::CanTransport& t) { return m.write_register(t, info.number, bits); });
}
}  // namespace

Result<Unit> Damiao::write_register(const SocketCanTransport& bus, Register reg, std::uint32_t bits) const {
    Result<const damiao::RegisterInfo*> info = register_info(reg);
    if (!info.ok()) return err(std::move(info).error());
    if (info.value()->kind != damiao::RegisterKind::Uint32) {
        return err(api::invalid(api::from_core(damiao::Error::register_type_mismatch(
                                                   info.value()->number, info.value()->kind, damiao::RegisterKind::Uint32))
                                    .message()));
    }
    return write_bits(*this, bus, *info.value(), bits);
}

Result<Unit> Damiao::write_register(const SocketCanTransport& bus, Register reg, float value) const {
    Result<const damiao::RegisterInfo*> info = register_info(reg);
    if (!info.ok()) return err(std::move(info).error());
    const damiao::RegisterInfo& i = *info.value();
    if (i.kind != damiao::RegisterKind::Float) {
        return err(api::invalid(
            api::from_core(damiao::Error::register_type_mismatch(i.number, i.kind, damiao::RegisterKind::Float))
                .message()));
    }
    if (!std::isfinite(value)) {
        return err(api::invalid("register " + std::to_string(i.number) + " (" + i.name + ") takes a finite value"));
    }
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return write_bits(*this, bus, i, bits);
}

Result<Unit> Damiao::save_parameters(const SocketCanTransport& bus) const {
    return exchange<Unit>(*this, bus,
        [&](const damiao::Damiao& m, transport::CanTransport& t) { return m.save_parameters(t); });
}

Result<MitLimits> Damiao::read_limits(const SocketCanTransport& bus) const {
    return exchange<MitLimits>(*this, bus,
        [&](const damiao::Damiao& m, transport::CanTransport& t) { return m.read_limits(t); });
}

Result<ControlMode> Damiao::read_mode(const SocketCanTransport& bus) const {
    Result<std::uint32_t> r = exchange<std::uint32_t>(*this, bus,
        [&](const damiao::Damiao& m, transport::CanTransport& t) { return m.read_mode(t); });
    if (!r.ok()) return err(std::move(r).error());
    if (damiao::kind_of_mode(r.value()) == damiao::kCommandKindCount) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%x", static_cast<unsigned>(motor_id_));
        return err(Error(Error::Kind::Device, std::string("motor ") + id + " reports control mode " +
                                                  std::to_string(r.value()) + ", which is none of " + api::mode_names()));
    }
    return static_cast<ControlMode>(r.value());
}

namespace api {
// The mode switch as the module makes it: the reading (and refresh and
// write) and the read-back are two exchanges, and the pause between them
// holds no lock, so that other threads use the bus meanwhile.
Result<Unit> switch_mode(const SocketCanTransport& bus, const damiao::Damiao& m, std::uint8_t mode) {
    Result<bool> wrote = exchange<bool>(bus, [&](transport::CanTransport& t) { return m.begin_mode_switch(t, mode); });
    if (!wrote.ok()) return err(std::move(wrote).error());
    if (!wrote.value()) return Unit{};
    transport::sleep_for(damiao::kModeSwitchPause);
    return exchange<Unit>(bus, [&](transport::CanTransport& t) { return m.finish_mode_switch(t, mode); });
}
}  // namespace api

Result<Unit> Damiao::ensure_mode(const SocketCanTransport& bus, ControlMode mode) const {
    const std::uint8_t number = static_cast<std::uint8_t>(mode);
    if (damiao::kind_of_mode(number) == damiao::kCommandKindCount) {
        return err(api::invalid("argument 'mode': " + std::to_string(number) +
                                " is not a control mode; the modes are " + api::mode_names()));
    }
    const Result<damiao::Damiao> core = api::to_core(*this);
    if (!core.ok()) return err(core.error());
    return api::switch_mode(bus, core.value(), number);
}

}  // namespace rotalink
