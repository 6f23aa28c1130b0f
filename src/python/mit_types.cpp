// MitLimits, MitSetpoint, MotorState and mit_setpoint.
#include "damiao/mit.hpp"
#include "python/classes.hpp"

namespace rotalink::py {
namespace {

using damiao::mit::MitLimits;
using damiao::mit::MitSetpoint;
using damiao::mit::MotorState;

PyTypeObject* g_limits = nullptr;
PyTypeObject* g_setpoint = nullptr;
PyTypeObject* g_state = nullptr;

// Converts bound arguments to five floats; unbound ones keep `defaults`.
bool five_floats(const Signature& sig, PyObject** bound, float* fields) {
    for (int i = 0; i < 5; ++i) {
        if (bound[i] != nullptr && !to_f32(bound[i], sig.params[i], fields[i])) return false;
    }
    return true;
}

// ------------------------------------------------------------- MitLimits

const char* const kLimitParams[] = {"p_max", "v_max", "kp_max", "kd_max", "t_max"};
const Signature kLimitsNew{"MitLimits.__new__", kLimitParams, 5, 0};

PyObject* limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        PyObject* bound[5];
        if (!bind_tuple(kLimitsNew, args, kwargs, bound)) return nullptr;
        MitLimits v;
        float f[5] = {v.p_max, v.v_max, v.kp_max, v.kd_max, v.t_max};
        if (!five_floats(kLimitsNew, bound, f)) return nullptr;
        return alloc_box(type, MitLimits{f[0], f[1], f[2], f[3], f[4]});
    });
}

template <float MitLimits::*Field>
PyObject* limits_get(PyObject* self, void*) {
    return guard([&] { return new_float(native<MitLimits>(self).*Field); });
}

PyObject* limits_repr(PyObject* self) {
    return guard([&] { return new_text(damiao::mit::repr(native<MitLimits>(self))); });
}

PyGetSetDef limits_getset[] = {
    {"p_max", limits_get<&MitLimits::p_max>, nullptr, nullptr, nullptr},
    {"v_max", limits_get<&MitLimits::v_max>, nullptr, nullptr, nullptr},
    {"kp_max", limits_get<&MitLimits::kp_max>, nullptr, nullptr, nullptr},
    {"kd_max", limits_get<&MitLimits::kd_max>, nullptr, nullptr, nullptr},
    {"t_max", limits_get<&MitLimits::t_max>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <size_t I>
PyObject* preset(PyObject*, PyObject*) {
    return guard([] { return new_box(mit_limits_type(), damiao::mit::kPresets[I].limits); });
}

#define ROTALINK_PRESET(i, name) \
    {name, preset<i>, METH_STATIC | METH_NOARGS, name "()\n--\n\n"}

PyMethodDef limits_methods[] = {
    ROTALINK_PRESET(0, "dm3507"),   ROTALINK_PRESET(1, "dm4310"),    ROTALINK_PRESET(2, "dm4310p"),
    ROTALINK_PRESET(3, "dm4340"),   ROTALINK_PRESET(4, "dm4340p"),   ROTALINK_PRESET(5, "dm6006"),
    ROTALINK_PRESET(6, "dm6248p"),  ROTALINK_PRESET(7, "dm8006"),    ROTALINK_PRESET(8, "dm8009"),
    ROTALINK_PRESET(9, "dm10010"),  ROTALINK_PRESET(10, "dm10010l"), ROTALINK_PRESET(11, "dmg6215"),
    ROTALINK_PRESET(12, "dmh3510"), ROTALINK_PRESET(13, "dmh6220"),  ROTALINK_PRESET(14, "dmjh11"),
    {nullptr, nullptr, 0, nullptr},
};
#undef ROTALINK_PRESET

// ----------------------------------------------------------- MitSetpoint

const char* const kSetpointParams[] = {"q", "dq", "kp", "kd", "tau"};
const Signature kSetpointNew{"MitSetpoint.__new__", kSetpointParams, 5, 0};
const Signature kSetpointFn{"mit_setpoint", kSetpointParams, 5, 0};

bool setpoint_from(const Signature& sig, PyObject** bound, MitSetpoint& out) {
    float f[5] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    if (!five_floats(sig, bound, f)) return false;
    out = MitSetpoint{f[0], f[1], f[2], f[3], f[4]};
    return true;
}

PyObject* setpoint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        PyObject* bound[5];
        MitSetpoint v;
        if (!bind_tuple(kSetpointNew, args, kwargs, bound) || !setpoint_from(kSetpointNew, bound, v)) {
            return nullptr;
        }
        return alloc_box(type, v);
    });
}

template <float MitSetpoint::*Field>
PyObject* setpoint_get(PyObject* self, void*) {
    return guard([&] { return new_float(native<MitSetpoint>(self).*Field); });
}

PyObject* setpoint_repr(PyObject* self) {
    return guard([&] { return new_text(damiao::mit::repr(native<MitSetpoint>(self))); });
}

PyGetSetDef setpoint_getset[] = {
    {"q", setpoint_get<&MitSetpoint::q>, nullptr, nullptr, nullptr},
    {"dq", setpoint_get<&MitSetpoint::dq>, nullptr, nullptr, nullptr},
    {"kp", setpoint_get<&MitSetpoint::kp>, nullptr, nullptr, nullptr},
    {"kd", setpoint_get<&MitSetpoint::kd>, nullptr, nullptr, nullptr},
    {"tau", setpoint_get<&MitSetpoint::tau>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* mit_setpoint_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* bound[5];
        MitSetpoint v;
        if (!bind_vector(kSetpointFn, args, nargs, kwnames, bound) ||
            !setpoint_from(kSetpointFn, bound, v)) {
            return nullptr;
        }
        return new_box(mit_setpoint_type(), v);
    });
}

// ------------------------------------------------------------ MotorState

PyObject* state_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard([&]() -> PyObject* {
        PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type_name(type));
        return nullptr;
    });
}

template <float MotorState::*Field>
PyObject* state_get_float(PyObject* self, void*) {
    return guard([&] { return new_float(native<MotorState>(self).*Field); });
}

template <std::uint8_t MotorState::*Field>
PyObject* state_get_int(PyObject* self, void*) {
    return guard([&] { return new_int(native<MotorState>(self).*Field); });
}

PyObject* state_repr(PyObject* self) {
    return guard([&] { return new_text(damiao::mit::repr(native<MotorState>(self))); });
}

PyGetSetDef state_getset[] = {
    {"motor_id", state_get_int<&MotorState::motor_id>, nullptr, nullptr, nullptr},
    {"error", state_get_int<&MotorState::error>, nullptr, nullptr, nullptr},
    {"position", state_get_float<&MotorState::position>, nullptr, nullptr, nullptr},
    {"velocity", state_get_float<&MotorState::velocity>, nullptr, nullptr, nullptr},
    {"torque", state_get_float<&MotorState::torque>, nullptr, nullptr, nullptr},
    {"t_mos", state_get_int<&MotorState::t_mos>, nullptr, nullptr, nullptr},
    {"t_rotor", state_get_int<&MotorState::t_rotor>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyMethodDef mit_setpoint_def = {
    "mit_setpoint", as_cfunction(mit_setpoint_fn), METH_FASTCALL | METH_KEYWORDS,
    "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
    "Build a `MitSetpoint` (handy when keyword args are awkward)."};

PyTypeObject* mit_limits_type() {
    return class_object(g_limits, {ROTALINK_CLASS_TEXTS("MitLimits", "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)"),
                                   sizeof(Box<MitLimits>), limits_new, dealloc_box<MitLimits>,
                                   limits_repr, limits_getset, limits_methods});
}

PyTypeObject* mit_setpoint_type() {
    return class_object(g_setpoint, {ROTALINK_CLASS_TEXTS("MitSetpoint", "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"),
                                     sizeof(Box<MitSetpoint>), setpoint_new,
                                     dealloc_box<MitSetpoint>, setpoint_repr, setpoint_getset,
                                     nullptr});
}

PyTypeObject* motor_state_type() {
    return class_object(g_state, {ROTALINK_CLASS_TEXTS_NO_SIGNATURE("MotorState"), sizeof(Box<MotorState>), state_new,
                                  dealloc_box<MotorState>, state_repr, state_getset, nullptr});
}

}  // namespace rotalink::py
