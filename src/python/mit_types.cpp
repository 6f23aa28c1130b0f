// MitLimits, JointLimits and MotorState.
#include "damiao/control.hpp"
#include "damiao/mit.hpp"
#include "python/classes.hpp"
#include "python/method_def.hpp"

namespace rotalink::py {
namespace {

using damiao::mit::MitLimits;
using damiao::mit::MotorState;

PyTypeObject* g_limits = nullptr;
PyTypeObject* g_joint = nullptr;
PyTypeObject* g_state = nullptr;

// Converts bound arguments to floats; unbound ones keep their defaults.
template <int N>
bool to_floats(const Signature<N>& sig, const typename Signature<N>::Args& bound, float* fields) {
    for (int i = 0; i < N; ++i) {
        if (bound[i] != nullptr && !to_f32(bound[i], sig.params[i], fields[i])) return false;
    }
    return true;
}

// ------------------------------------------------------------- MitLimits

ROTALINK_SIGNATURE(kLimitsNew, 5, "MitLimits.__new__",
                   ROTALINK_DOC("MitLimits", "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)"), 0,
                   "p_max", "v_max", "kp_max", "kd_max", "t_max");

PyObject* limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<5>::Args bound;
        if (!bind_tuple(kLimitsNew, args, kwargs, bound)) return nullptr;
        MitLimits v;
        float f[5] = {v.p_max, v.v_max, v.kp_max, v.kd_max, v.t_max};
        if (!to_floats(kLimitsNew, bound, f)) return nullptr;
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

// One static method per entry of the native preset list, in its order.
#define ROTALINK_PRESET_SIGNATURE(name, ...) \
    ROTALINK_NO_PARAMS(kPresetSig_##name, "MitLimits." #name, ROTALINK_DOC(#name, "()"));
ROTALINK_MIT_PRESETS(ROTALINK_PRESET_SIGNATURE)
#undef ROTALINK_PRESET_SIGNATURE
#define ROTALINK_PRESET_METHOD(name, ...) \
    static_method<&kPresetSig_##name>(preset<damiao::mit::kPreset_##name>),

PyMethodDef limits_methods[] = {
    ROTALINK_MIT_PRESETS(ROTALINK_PRESET_METHOD)
    {nullptr, nullptr, 0, nullptr},
};
#undef ROTALINK_PRESET_METHOD

// ----------------------------------------------------------- JointLimits
// The range a joint may be commanded in; a MotorGroup clamps every command
// of a member into its member's. The defaults are infinite: the text
// signature names them math.inf, which inspect reads as a float once math
// is imported (the module imports it), and shows as "-inf" and "inf".

using damiao::JointLimits;

ROTALINK_SIGNATURE(kJointNew, 4, "JointLimits.__new__",
                   ROTALINK_DOC("JointLimits", "(q_min=-math.inf, q_max=math.inf, dq_max=math.inf, tau_max=math.inf)"),
                   0, "q_min", "q_max", "dq_max", "tau_max");

PyObject* joint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<4>::Args bound;
        if (!bind_tuple(kJointNew, args, kwargs, bound)) return nullptr;
        JointLimits v;
        float f[4] = {v.q_min, v.q_max, v.dq_max, v.tau_max};
        if (!to_floats(kJointNew, bound, f)) return nullptr;
        v = JointLimits{f[0], f[1], f[2], f[3]};
        const std::string fault = damiao::joint_limits_fault(v);
        if (!fault.empty()) return raise({PyExc_ValueError, fault});
        return alloc_box(type, v);
    });
}

template <float JointLimits::*Field>
PyObject* joint_get(PyObject* self, void*) {
    return guard([&] { return new_float(native<JointLimits>(self).*Field); });
}

PyObject* joint_repr(PyObject* self) {
    return guard([&] { return new_text(damiao::repr(native<JointLimits>(self))); });
}

PyGetSetDef joint_getset[] = {
    {"q_min", joint_get<&JointLimits::q_min>, nullptr, nullptr, nullptr},
    {"q_max", joint_get<&JointLimits::q_max>, nullptr, nullptr, nullptr},
    {"dq_max", joint_get<&JointLimits::dq_max>, nullptr, nullptr, nullptr},
    {"tau_max", joint_get<&JointLimits::tau_max>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------ MotorState

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

PyTypeObject* mit_limits_type() {
    return class_object(g_limits, {"rotalink.MitLimits", kLimitsNew.doc,
                                   sizeof(Box<MitLimits>), limits_new, dealloc_box<MitLimits>,
                                   limits_repr, limits_getset, limits_methods});
}

PyTypeObject* joint_limits_type() {
    return class_object(g_joint, {"rotalink.JointLimits", kJointNew.doc, sizeof(Box<JointLimits>), joint_new,
                                  dealloc_box<JointLimits>, joint_repr, joint_getset, nullptr});
}

PyTypeObject* motor_state_type() {
    return class_object(g_state, {"rotalink.MotorState", nullptr, sizeof(Box<MotorState>), no_constructor,
                                  dealloc_box<MotorState>, state_repr, state_getset, nullptr});
}

}  // namespace rotalink::py
