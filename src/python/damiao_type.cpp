// Damiao: one motor's identifiers, limits and time-out, and its commands.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "damiao/driver.hpp"
#include "python/bus.hpp"
#include "python/classes.hpp"
#include "python/method_def.hpp"

namespace rotalink::py {

// The register argument: any integer; a number past the table's is the
// driver's UnknownRegister, raised before the bus is touched.
const damiao::RegisterInfo* register_arg(PyObject* obj) {
    std::uint64_t number = 0;
    if (!to_u64(obj, "register", number)) return nullptr;
    const damiao::RegisterInfo* info = damiao::find_register(number > UINT32_MAX ? UINT32_MAX : number);
    if (info == nullptr) {
        raise(dm_err_to_py(damiao::Error::unknown_register(number)));
        return nullptr;
    }
    return info;
}

bool register_bits(const damiao::RegisterInfo& info, PyObject* value, std::uint32_t& bits) {
    if (info.kind == damiao::RegisterKind::Float) {
        float f = 0.0f;
        if (!to_f32(value, "value", f)) return false;
        if (!std::isfinite(f)) {
            PyErr_Format(PyExc_ValueError, "register %d (%s) takes a finite value", info.number, info.name);
            return false;
        }
        std::memcpy(&bits, &f, sizeof bits);
        return true;
    }
    std::uint64_t v = 0;
    if (!to_u64(value, "value", v)) return false;
    if (v > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    bits = static_cast<std::uint32_t>(v);
    return true;
}

namespace {

using damiao::Damiao;
using damiao::Error;
using damiao::mit::MotorState;

PyTypeObject* g_damiao = nullptr;

ROTALINK_SIGNATURE(kNew, 4, "Damiao.__new__",
                   ROTALINK_DOC("Damiao", "(motor_id, master_id, limits=None, timeout_ms=20)"), 2,
                   "motor_id", "master_id", "limits", "timeout_ms");

PyObject* damiao_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<4>::Args a;
        if (!bind_tuple(kNew, args, kwargs, a)) return nullptr;
        Damiao rec;
        if (!to_u16(a[0], "motor_id", rec.motor_id) || !to_u16(a[1], "master_id", rec.master_id)) {
            return nullptr;
        }
        if (a[2] != nullptr && a[2] != Py_None) {
            if (!check_instance(a[2], mit_limits_type(), "limits")) return nullptr;
            rec.limits = native<damiao::mit::MitLimits>(a[2]);
        }
        std::uint64_t timeout_ms = 20;
        if (a[3] != nullptr && !to_u64(a[3], "timeout_ms", timeout_ms)) return nullptr;
        rec.timeout = transport::Duration::from_millis(timeout_ms);
        return alloc_box(type, rec);
    });
}

PyObject* damiao_repr(PyObject* self) {
    return guard([&] {
        const Damiao& d = native<Damiao>(self);
        char buf[64];
        std::snprintf(buf, sizeof buf, "Damiao(motor_id=0x%x, master_id=0x%x)",
                      static_cast<unsigned>(d.motor_id), static_cast<unsigned>(d.master_id));
        return new_text(buf);
    });
}

template <std::uint16_t Damiao::*Field>
PyObject* damiao_get(PyObject* self, void*) {
    return guard([&] { return new_int(native<Damiao>(self).*Field); });
}

// The binding pattern of every bus method: `bus` is checked, the bus lock is
// held for the whole driver operation (`bus_exchange`), and the result
// object is made by `to_python` after the lock is released.
//
// The command holds the interpreter lock throughout, but never waits for
// the bus lock with it: when a group cycle holds the bus, the interpreter
// lock is released until the bus is free, and taken back before the bus
// lock is taken (`without_interpreter` states the rules).
//
// A wait that a signal interrupted ends the operation, as the interpreter's
// own blocking calls do: the pending signal handlers run once the lock is
// released, and an exception one of them raises (KeyboardInterrupt for
// Ctrl-C) is what the call raises. If none raises, the interruption is the
// driver's error, as any other (`raise_driver_error`).
template <class T, class Op, class ToPython>
PyObject* on_bus_held(PyObject* bus, Op&& op, ToPython&& to_python) {
    Result<T, Error> r = bus_exchange<T>(shared_bus(bus), std::forward<Op>(op));
    if (!r.ok()) return raise_driver_error(r.error());
    return to_python(r.value());
}

// Runs `body()` holding a reference to the bus object. The reference is
// given back by hand, not by a destructor: a thread that the interpreter
// ends at exit while it waits for the bus unwinds through here without the
// interpreter, and must make no Python call on its way.
template <class Body>
ROTALINK_FORCED_UNWIND_HANDLER PyObject* holding_bus(PyObject* bus, Body&& body) {
    Py_INCREF(bus);
    PyObject* result;
    try {
        result = body();
    }
    ROTALINK_PASS_FORCED_UNWIND
    catch (...) {
        Py_DECREF(bus);
        throw;
    }
    Py_DECREF(bus);
    return result;
}

// The bus object is held for the whole command.
template <class T, class Op, class ToPython>
PyObject* on_bus(PyObject* bus, Op&& op, ToPython&& to_python) {
    return holding_bus(bus, [&] { return on_bus_held<T>(bus, std::forward<Op>(op), std::forward<ToPython>(to_python)); });
}

// Sleeps for `d` with the interpreter lock released, in slices of at most
// kSignalCheck between which the signal handlers run: false as soon as one
// raises (its exception set). A handler that does not raise leaves the
// pause its whole length.
bool pause_running_handlers(transport::Duration d) {
    const transport::Instant until = transport::Instant::now().saturating_add(d);
    for (;;) {
        const transport::Duration left = until.remaining_from(transport::Instant::now());
        if (left.total_nanos_saturated() == 0) return true;
        const transport::Duration slice =
            left.total_nanos_saturated() < kSignalCheck.total_nanos_saturated() ? left : kSignalCheck;
        without_interpreter([slice] { transport::sleep_for(slice); });
        if (PyErr_CheckSignals() < 0) return false;
    }
}

// A motor command: a new MotorState on success.
template <class Op>
PyObject* command(PyObject* bus, Op&& op) {
    return on_bus<MotorState>(bus, std::forward<Op>(op),
                              [](const MotorState& s) { return new_box(motor_state_type(), s); });
}

// One method per special command: the names and bytes come from the
// driver's list (ROTALINK_SPECIAL_COMMANDS).
#define ROTALINK_SPECIAL_SIGNATURE(name, constant, byte)                                     \
    ROTALINK_SIGNATURE(constant##Sig, 1, "Damiao." #name, ROTALINK_DOC(#name, "($self, bus)"), 1, \
                       "bus");
ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_SIGNATURE)
#undef ROTALINK_SPECIAL_SIGNATURE

template <std::uint8_t Command, const Signature<1>* Sig>
struct SpecialCommand {
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard([&]() -> PyObject* {
            Signature<1>::Args a;
            if (!bind_vector(*Sig, args, nargs, kwnames, a)) return nullptr;
            if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
            const Damiao& rec = native<Damiao>(self);
            return command(a[0], [&](transport::CanTransport& t) { return rec.special(t, Command); });
        });
    }
};

// One method per command kind (mit_control, pos_vel_control, ...), from the
// kind table.
template <std::size_t K>
PyObject* control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<2>::Args a;
        if (!bind_vector(KindSignatures<K>::method, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus") ||
            !check_instance(a[1], setpoint_type(K), "setpoint")) {
            return nullptr;
        }
        const Damiao& rec = native<Damiao>(self);
        const damiao::Setpoint setpoint = setpoint_of(a[1]);
        return command(a[0], [&](transport::CanTransport& t) { return rec.control(t, setpoint); });
    });
}

ROTALINK_SIGNATURE(kRefresh, 1, "Damiao.refresh",
                   ROTALINK_DOC("refresh", "($self, bus)")
                   "Ask for the motor's feedback without commanding anything; any mode.", 1,
                   "bus");

PyObject* refresh(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kRefresh, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        const Damiao& rec = native<Damiao>(self);
        return command(a[0], [&](transport::CanTransport& t) { return rec.refresh(t); });
    });
}

ROTALINK_SIGNATURE(kReadMode, 1, "Damiao.read_mode",
                   ROTALINK_DOC("read_mode", "($self, bus)")
                   "Read the control mode (register 10) as a ControlMode.", 1,
                   "bus");

PyObject* read_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kReadMode, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        const Damiao& rec = native<Damiao>(self);
        return on_bus<std::uint32_t>(
            a[0], [&](transport::CanTransport& t) { return rec.read_mode(t); },
            [&rec](std::uint32_t mode) -> PyObject* {
                if (damiao::kind_of_mode(mode) == damiao::kCommandKindCount) {
                    PyErr_Format(PyExc_RuntimeError,
                                 "motor 0x%x reports control mode %lu, which is none of %s",
                                 static_cast<unsigned>(rec.motor_id), static_cast<unsigned long>(mode),
                                 mode_names());
                    return nullptr;
                }
                PyObject* modes = control_mode_enum();
                return modes == nullptr ? nullptr : PyObject_CallFunction(modes, "k", static_cast<unsigned long>(mode));
            });
    });
}

ROTALINK_SIGNATURE(kEnsureMit, 1, "Damiao.ensure_mit_mode",
                   ROTALINK_DOC("ensure_mit_mode", "($self, bus)")
                   "Force the firmware into MIT control mode (register 10 = 1). Some\n"
                   "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
                   "silently ignored. A motor that reports itself enabled is refused.", 1,
                   "bus");

// Whether `doc` says "(register R = V)" with the register and the value the
// method writes, so that the doc cannot drift from the driver's constants.
constexpr bool says_register_value(const char* doc, unsigned reg, unsigned value) {
    const char head[] = "(register ";
    for (std::size_t i = 0; doc[i] != '\0'; ++i) {
        std::size_t k = 0;
        while (head[k] != '\0' && doc[i + k] == head[k]) ++k;
        if (head[k] != '\0') continue;
        std::size_t j = i + k;
        unsigned r = 0;
        while (doc[j] >= '0' && doc[j] <= '9') r = r * 10 + static_cast<unsigned>(doc[j++] - '0');
        if (r != reg || doc[j] != ' ' || doc[j + 1] != '=' || doc[j + 2] != ' ') continue;
        j += 3;
        unsigned v = 0;
        while (doc[j] >= '0' && doc[j] <= '9') v = v * 10 + static_cast<unsigned>(doc[j++] - '0');
        if (v == value && doc[j] == ')') return true;
    }
    return false;
}
static_assert(says_register_value(kEnsureMit.doc, damiao::kControlModeRegister, damiao::kMitMode),
              "the doc of ensure_mit_mode names another register or mode than it writes");

ROTALINK_SIGNATURE(kEnsureMode, 2, "Damiao.ensure_mode",
                   ROTALINK_DOC("ensure_mode", "($self, bus, mode)")
                   "Put the firmware in control mode `mode` (a ControlMode): register 10\n"
                   "is written only when it differs, then read back. A motor that reports\n"
                   "itself enabled is refused, nothing written.", 2,
                   "bus", "mode");

// Both ensure methods: None, or the switch's error.
PyObject* ensure(PyObject* self, PyObject* bus, std::uint8_t mode) {
    const Damiao& rec = native<Damiao>(self);
    return holding_bus(bus, [&]() -> PyObject* {
        std::optional<Result<Unit, Error>> r = switch_mode(shared_bus(bus), rec, mode);
        if (!r) return nullptr;
        if (!r->ok()) return raise_driver_error(r->error());
        Py_RETURN_NONE;
    });
}

PyObject* ensure_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<2>::Args a;
        if (!bind_vector(kEnsureMode, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        std::uint8_t mode = 0;
        if (!mode_arg(a[1], "mode", mode)) return nullptr;
        return ensure(self, a[0], mode);
    });
}

PyObject* ensure_mit_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kEnsureMit, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        return ensure(self, a[0], damiao::kMitMode);
    });
}

ROTALINK_SIGNATURE(kReadRegister, 2, "Damiao.read_register",
                   ROTALINK_DOC("read_register", "($self, bus, register)")
                   "Read one firmware register: an int (Uint32 registers) or a float\n"
                   "(Float registers). `rotalink.Register` names them.", 2,
                   "bus", "register");

PyObject* read_register(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<2>::Args a;
        if (!bind_vector(kReadRegister, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        const damiao::RegisterInfo* info = register_arg(a[1]);
        if (info == nullptr) return nullptr;
        const Damiao& rec = native<Damiao>(self);
        return on_bus<damiao::RegisterValue>(
            a[0], [&](transport::CanTransport& t) { return rec.read_register(t, info->number); },
            [](const damiao::RegisterValue& v) {
                return v.kind == damiao::RegisterKind::Float ? new_float(v.as_float()) : new_int(v.as_uint32());
            });
    });
}

ROTALINK_SIGNATURE(kWriteRegister, 3, "Damiao.write_register",
                   ROTALINK_DOC("write_register", "($self, bus, register, value)")
                   "Write one firmware register; no reply is awaited. `value` is an int\n"
                   "for a Uint32 register and a finite float (or int) for a Float one.\n"
                   "Whether the value survives a power cycle is up to the firmware.", 3,
                   "bus", "register", "value");

PyObject* write_register(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<3>::Args a;
        if (!bind_vector(kWriteRegister, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        const damiao::RegisterInfo* info = register_arg(a[1]);
        if (info == nullptr) return nullptr;
        std::uint32_t bits = 0;
        if (!register_bits(*info, a[2], bits)) return nullptr;
        const Damiao& rec = native<Damiao>(self);
        return on_bus<Unit>(
            a[0], [&](transport::CanTransport& t) { return rec.write_register(t, info->number, bits); },
            [](Unit) -> PyObject* { Py_RETURN_NONE; });
    });
}

ROTALINK_SIGNATURE(kReadLimits, 1, "Damiao.read_limits",
                   ROTALINK_DOC("read_limits", "($self, bus)")
                   "Read the ranges this motor maps its MIT frames to (PMAX, VMAX and\n"
                   "TMAX, registers 21 to 23) as a MitLimits, with the frame's fixed\n"
                   "gain ranges kp_max 500 and kd_max 5.", 1,
                   "bus");

PyObject* read_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kReadLimits, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        const Damiao& rec = native<Damiao>(self);
        return on_bus<damiao::mit::MitLimits>(
            a[0], [&](transport::CanTransport& t) { return rec.read_limits(t); },
            [](const damiao::mit::MitLimits& l) { return new_box(mit_limits_type(), l); });
    });
}

ROTALINK_SIGNATURE(kSaveParameters, 1, "Damiao.save_parameters",
                   ROTALINK_DOC("save_parameters", "($self, bus)")
                   "Save every register to the motor's flash, so that it keeps them over a\n"
                   "power cycle. Refused (RuntimeError) when a refresh just before shows\n"
                   "the motor enabled. The save is not answered: read back what was\n"
                   "written. Flash takes a limited number of writes (about 10,000).", 1,
                   "bus");

PyObject* save_parameters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kSaveParameters, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        const Damiao& rec = native<Damiao>(self);
        return on_bus<Unit>(
            a[0], [&](transport::CanTransport& t) { return rec.save_parameters(t); },
            [](Unit) -> PyObject* { Py_RETURN_NONE; });
    });
}

PyGetSetDef damiao_getset[] = {
    {"motor_id", damiao_get<&Damiao::motor_id>, nullptr, nullptr, nullptr},
    {"master_id", damiao_get<&Damiao::master_id>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The methods: the special commands, MIT control, the modes and registers,
// then the control method of every other command kind, in the table's order.
template <std::size_t... K>
PyMethodDef* methods(std::index_sequence<K...>) {
    static PyMethodDef table[] = {
#define ROTALINK_SPECIAL_METHOD(name, constant, byte) \
    method<&constant##Sig>(SpecialCommand<damiao::constant, &constant##Sig>::call),
        ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_METHOD)
#undef ROTALINK_SPECIAL_METHOD
        method<&KindSignatures<damiao::kMitKind>::method>(control<damiao::kMitKind>),
        method<&kEnsureMit>(ensure_mit_mode),
        method<&kReadRegister>(read_register),
        method<&kWriteRegister>(write_register),
        method<&kReadLimits>(read_limits),
        method<&KindSignatures<K + 1>::method>(control<K + 1>)...,
        method<&kRefresh>(refresh),
        method<&kReadMode>(read_mode),
        method<&kEnsureMode>(ensure_mode),
        method<&kSaveParameters>(save_parameters),
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
}
static_assert(damiao::kMitKind == 0, "MIT is the first command kind");

}  // namespace

PendingError dm_err_to_py(const Error& e) {
    const bool refused = e.kind() == Error::Kind::LimitDomain || e.kind() == Error::Kind::InvalidCommand;
    return {refused ? PyExc_ValueError : PyExc_RuntimeError, e.message()};
}

bool interrupted(const Error& e) {
    return e.kind() == Error::Kind::Transport &&
           e.transport_error().kind() == transport::TransportError::Kind::Backend &&
           e.transport_error().io().code == EINTR;
}

PyObject* raise_driver_error(const Error& e) {
    if (interrupted(e) && PyErr_CheckSignals() < 0) return nullptr;
    return raise(dm_err_to_py(e));
}

std::optional<Result<Unit, Error>> switch_mode(transport::SharedBus& bus, const Damiao& motor, std::uint8_t mode) {
    // One exchange at a time under the bus lock, so that a control loop on
    // the bus waits for one exchange at most.
    Result<std::uint32_t, Error> before =
        bus_exchange<std::uint32_t>(bus, [&](transport::CanTransport& t) { return motor.read_mode(t); });
    if (!before.ok()) return Result<Unit, Error>(err(std::move(before).error()));
    if (before.value() == mode) return Result<Unit, Error>(Unit{});
    Result<Unit, Error> written =
        bus_exchange<Unit>(bus, [&](transport::CanTransport& t) { return motor.write_mode(t, mode); });
    if (!written.ok()) return written;
    if (!pause_running_handlers(damiao::kModeSwitchPause)) return std::nullopt;
    return bus_exchange<Unit>(bus, [&](transport::CanTransport& t) { return motor.finish_mode_switch(t, mode); });
}

PyTypeObject* damiao_type() {
    return class_object(g_damiao, {"rotalink.Damiao", kNew.doc,
                                   sizeof(Box<Damiao>), damiao_new, dealloc_box<Damiao>, damiao_repr,
                                   damiao_getset,
                                   methods(std::make_index_sequence<damiao::kCommandKindCount - 1>{})});
}

}  // namespace rotalink::py
