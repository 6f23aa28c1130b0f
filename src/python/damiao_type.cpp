// Damiao: one motor's identifiers, limits and time-out, and its commands.
#include <cstdio>
#include <utility>

#include "damiao/driver.hpp"
#include "python/bus.hpp"
#include "python/classes.hpp"

namespace rotalink::py {
namespace {

using damiao::Damiao;
using damiao::Error;
using damiao::mit::MitSetpoint;
using damiao::mit::MotorState;

PyTypeObject* g_damiao = nullptr;

const char* const kNewParams[] = {"motor_id", "master_id", "limits", "timeout_ms"};
const Signature kNew{"Damiao.__new__", kNewParams, 4, 2};

PyObject* damiao_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        PyObject* a[4];
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

// A driver error as the Python exception it becomes: RuntimeError with the
// message, except limits the encoder cannot use, which are a ValueError.
PendingError dm_err_to_py(const Error& e) {
    return {e.kind() == Error::Kind::LimitDomain ? PyExc_ValueError : PyExc_RuntimeError, e.message()};
}

// The binding pattern of every bus method: `bus` is checked, the bus lock is
// held for the whole driver operation (and the conversion of its error), and
// the result object is made by `to_python` after the lock is released.
template <class T, class Op, class ToPython>
PyObject* on_bus(PyObject* bus, Op&& op, ToPython&& to_python) {
    Py_INCREF(bus);
    struct Release {
        PyObject* obj;
        ~Release() { Py_DECREF(obj); }
    } release{bus};
    T value{};
    bool ok = false;
    PendingError error{nullptr, {}};
    shared_bus(bus).locked([&](transport::CanTransport& t) {
        Result<T, Error> r = op(t);
        if (r.ok()) {
            value = std::move(r).value();
            ok = true;
        } else {
            error = dm_err_to_py(r.error());
        }
    });
    if (!ok) return raise(error);
    return to_python(value);
}

// A motor command: a new MotorState on success.
template <class Op>
PyObject* command(PyObject* bus, Op&& op) {
    return on_bus<MotorState>(bus, std::forward<Op>(op),
                              [](const MotorState& s) { return new_box(motor_state_type(), s); });
}

const char* const kBusParam[] = {"bus"};

template <Result<MotorState, Error> (Damiao::*Command)(transport::CanTransport&) const>
struct SpecialCommand {
    static const Signature sig;
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard([&]() -> PyObject* {
            PyObject* a[1];
            if (!bind_vector(sig, args, nargs, kwnames, a)) return nullptr;
            if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
            const Damiao& rec = native<Damiao>(self);
            return command(a[0], [&](transport::CanTransport& t) { return (rec.*Command)(t); });
        });
    }
};

using Enable = SpecialCommand<&Damiao::enable>;
using Disable = SpecialCommand<&Damiao::disable>;
using SetZero = SpecialCommand<&Damiao::set_zero>;
using ClearError = SpecialCommand<&Damiao::clear_error>;
template <>
const Signature Enable::sig{"Damiao.enable", kBusParam, 1, 1};
template <>
const Signature Disable::sig{"Damiao.disable", kBusParam, 1, 1};
template <>
const Signature SetZero::sig{"Damiao.set_zero", kBusParam, 1, 1};
template <>
const Signature ClearError::sig{"Damiao.clear_error", kBusParam, 1, 1};

const char* const kMitParams[] = {"bus", "setpoint"};
const Signature kMit{"Damiao.mit_control", kMitParams, 2, 2};

PyObject* mit_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_vector(kMit, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus") ||
            !check_instance(a[1], mit_setpoint_type(), "setpoint")) {
            return nullptr;
        }
        const Damiao& rec = native<Damiao>(self);
        const MitSetpoint setpoint = native<MitSetpoint>(a[1]);
        return command(a[0], [&](transport::CanTransport& t) { return rec.mit_control(t, setpoint); });
    });
}

const Signature kEnsureMit{"Damiao.ensure_mit_mode", kBusParam, 1, 1};

PyObject* ensure_mit_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind_vector(kEnsureMit, args, nargs, kwnames, a)) return nullptr;
        if (!check_instance(a[0], socketcan_transport_type(), "bus")) return nullptr;
        const Damiao& rec = native<Damiao>(self);
        return on_bus<Unit>(
            a[0], [&](transport::CanTransport& t) { return rec.ensure_control_mode(t, damiao::kMitMode); },
            [](Unit) -> PyObject* { Py_RETURN_NONE; });
    });
}

PyGetSetDef damiao_getset[] = {
    {"motor_id", damiao_get<&Damiao::motor_id>, nullptr, nullptr, nullptr},
    {"master_id", damiao_get<&Damiao::master_id>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef damiao_methods[] = {
    {"enable", as_cfunction(Enable::call), METH_FASTCALL | METH_KEYWORDS, "enable($self, bus)\n--\n\n"},
    {"disable", as_cfunction(Disable::call), METH_FASTCALL | METH_KEYWORDS, "disable($self, bus)\n--\n\n"},
    {"set_zero", as_cfunction(SetZero::call), METH_FASTCALL | METH_KEYWORDS, "set_zero($self, bus)\n--\n\n"},
    {"clear_error", as_cfunction(ClearError::call), METH_FASTCALL | METH_KEYWORDS,
     "clear_error($self, bus)\n--\n\n"},
    {"mit_control", as_cfunction(mit_control), METH_FASTCALL | METH_KEYWORDS,
     "mit_control($self, bus, setpoint)\n--\n\n"},
    {"ensure_mit_mode", as_cfunction(ensure_mit_mode), METH_FASTCALL | METH_KEYWORDS,
     "ensure_mit_mode($self, bus)\n--\n\n"
     "Force the firmware into MIT control mode (register 10 = 1). Some\n"
     "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
     "silently ignored."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* damiao_type() {
    return class_object(g_damiao, {ROTALINK_CLASS_TEXTS("Damiao", "(motor_id, master_id, limits=None, timeout_ms=20)"),
                                   sizeof(Box<Damiao>), damiao_new, dealloc_box<Damiao>, damiao_repr,
                                   damiao_getset, damiao_methods});
}

}  // namespace rotalink::py
