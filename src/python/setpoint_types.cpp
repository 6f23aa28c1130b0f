// The value classes of the command kinds, one per entry of the kind table
// (MitSetpoint, PosVelSetpoint, VelSetpoint, ForcePosSetpoint), the
// function mit_setpoint and the ControlMode enum.
#include <string>

#include "python/classes.hpp"
#include "python/command_kinds.hpp"
#include "python/method_def.hpp"

namespace rotalink::py {
namespace {

using damiao::kCommandKindCount;
using damiao::kCommandKinds;
using damiao::Setpoint;

PyTypeObject* g_setpoints[kCommandKindCount] = {};
PyObject* g_control_mode = nullptr;

// Converts the bound arguments of kind `kind` to its fields; unbound ones
// are 0.0.
bool setpoint_from(const Params& sig, std::size_t kind, PyObject* const* bound, Setpoint& out) {
    out = Setpoint{kind, {}};
    for (int i = 0; i < sig.count; ++i) {
        if (bound[i] != nullptr && !to_f32(bound[i], sig.params[i], out.values[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return true;
}

template <std::size_t K>
PyObject* setpoint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        constexpr const auto& sig = KindSignatures<K>::ctor;
        typename std::remove_cv_t<std::remove_reference_t<decltype(sig)>>::Args bound;
        Setpoint v;
        if (!bind_tuple(sig, args, kwargs, bound) || !setpoint_from(sig, K, bound.data(), v)) return nullptr;
        return alloc_box(type, v);
    });
}

template <std::size_t I>
PyObject* field_get(PyObject* self, void*) {
    return guard([&] { return new_float(native<Setpoint>(self).values[I]); });
}

PyObject* setpoint_repr(PyObject* self) {
    return guard([&] { return new_text(damiao::repr(native<Setpoint>(self))); });
}

template <std::size_t K, std::size_t... I>
PyGetSetDef* fields_of(std::index_sequence<I...>) {
    static PyGetSetDef defs[] = {
        {kCommandKinds[K].fields[I].name, field_get<I>, nullptr, nullptr, nullptr}...,
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return defs;
}

template <std::size_t K>
PyTypeObject* make_setpoint_type() {
    return class_object(g_setpoints[K],
                        {kind_text::Text<K, kind_text::Which::QualifiedName>::c_str(), KindSignatures<K>::ctor.doc,
                         sizeof(Box<Setpoint>), setpoint_new<K>, dealloc_box<Setpoint>, setpoint_repr,
                         fields_of<K>(std::make_index_sequence<KindSignatures<K>::N>{}), nullptr});
}

template <std::size_t... K>
PyTypeObject* setpoint_type_at(std::size_t kind, std::index_sequence<K...>) {
    using Make = PyTypeObject* (*)();
    static constexpr Make makers[] = {make_setpoint_type<K>...};
    return makers[kind]();
}

// "A, B, C or D" of the table's names.
template <class Name>
std::string listed(Name name) {
    std::string out;
    for (std::size_t k = 0; k < kCommandKindCount; ++k) {
        if (k > 0) out += k + 1 == kCommandKindCount ? " or " : ", ";
        out += name(kCommandKinds[k]);
    }
    return out;
}

ROTALINK_SIGNATURE(kSetpointFn, 5, "mit_setpoint",
                   ROTALINK_DOC("mit_setpoint", "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)")
                   "Build a `MitSetpoint` (handy when keyword args are awkward).", 0,
                   "q", "dq", "kp", "kd", "tau");

PyObject* mit_setpoint_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<5>::Args bound;
        Setpoint v;
        if (!bind_vector(kSetpointFn, args, nargs, kwnames, bound) ||
            !setpoint_from(kSetpointFn, damiao::kMitKind, bound.data(), v)) {
            return nullptr;
        }
        return new_box(mit_setpoint_type(), v);
    });
}

}  // namespace

PyMethodDef mit_setpoint_def = method<&kSetpointFn>(mit_setpoint_fn);

PyTypeObject* setpoint_type(std::size_t kind) {
    ROTALINK_ASSERT(kind < kCommandKindCount, "no command kind has this index");
    return setpoint_type_at(kind, std::make_index_sequence<kCommandKindCount>{});
}

std::size_t setpoint_kind(PyObject* obj) {
    std::size_t k = 0;
    while (k < kCommandKindCount && (g_setpoints[k] == nullptr || Py_TYPE(obj) != g_setpoints[k])) ++k;
    return k;
}

const Setpoint& setpoint_of(PyObject* obj) { return native<Setpoint>(obj); }

namespace {

// The identifier offset of a ControlMode member's commands.
PyObject* id_offset(PyObject*, PyObject* member) {
    return guard([&]() -> PyObject* {
        std::uint8_t mode = 0;
        if (!mode_arg(member, "self", mode)) return nullptr;
        return new_int(kCommandKinds[damiao::kind_of_mode(mode)].id_offset);
    });
}

PyMethodDef g_id_offset = {"id_offset", id_offset, METH_O, nullptr};

PyObject* make_control_mode_enum() {
    PyObject* cls = new_int_enum(
        "ControlMode", kCommandKindCount,
        [](std::size_t k) { return EnumMember{kCommandKinds[k].mode_name, kCommandKinds[k].mode}; },
        "The firmware's control modes (register 10, CTRL_MODE). A motor follows\n"
        "only the commands of its own mode; it answers the others but ignores them.");
    if (cls == nullptr) return nullptr;
    if (!add_property(cls, &g_id_offset,
                      "The offset of the mode's command identifier: its commands go to\n"
                      "(motor_id & 0x7FF) + id_offset.")) {
        Py_DECREF(cls);
        return nullptr;
    }
    return cls;
}

}  // namespace

PyObject* control_mode_enum() {
    if (g_control_mode == nullptr) g_control_mode = make_control_mode_enum();
    return g_control_mode;
}

// The mode argument: a ControlMode or its number; false with ValueError
// for a number no mode has.
bool mode_arg(PyObject* obj, const char* name, std::uint8_t& mode) {
    std::uint64_t number = 0;
    if (!to_u64(obj, name, number)) return false;
    if (number > 0xFF || damiao::kind_of_mode(static_cast<std::uint32_t>(number)) == damiao::kCommandKindCount) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %llu is not a control mode; the modes are %s", name,
                     static_cast<unsigned long long>(number), mode_names());
        return false;
    }
    mode = static_cast<std::uint8_t>(number);
    return true;
}

const char* setpoint_class_names() {
    static const std::string text = listed([](const damiao::CommandKind& k) { return std::string(k.value_class); });
    return text.c_str();
}

const char* mode_names() {
    static const std::string text = listed([](const damiao::CommandKind& k) {
        return std::string(k.mode_name) + " (" + std::to_string(k.mode) + ")";
    });
    return text.c_str();
}

}  // namespace rotalink::py
