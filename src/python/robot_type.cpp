// Joint, Robot, RobotLoop and JointStates: a robot in joint space. The
// conversion and the cycles are the core's (damiao::Robot over the group of
// a MotorGroup object); this face reads the command vectors, makes the
// result arrays and raises the errors.
//
// numpy is imported on first use, by the first robot result made: the rest
// of the module works without it. Each result array is made by one
// numpy.empty(n, dtype) call (cheaper, measured, than two (3, n) blocks and
// six row views of them) and written through its buffer.

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "damiao/robot.hpp"
#include "python/bus.hpp"
#include "python/classes.hpp"
#include "python/group.hpp"
#include "python/method_def.hpp"

namespace rotalink::py {
namespace {

using damiao::JointField;
using damiao::JointValues;

PyTypeObject* g_joint = nullptr;
PyTypeObject* g_robot = nullptr;
PyTypeObject* g_robot_loop = nullptr;
PyTypeObject* g_states = nullptr;

// ------------------------------------------------------------------ Joint

// The record behind a Joint object: the joint as the core takes it, and the
// objects it was given (owned).
struct JointRecord {
    damiao::JointSpec spec;
    PyObject* bus;           // a SocketCanTransport
    PyObject* motor;         // a Damiao of motor_id, master_id and limits
    PyObject* joint_limits;  // a JointLimits, or None
    ~JointRecord() {
        Py_XDECREF(bus);
        Py_XDECREF(motor);
        Py_XDECREF(joint_limits);
    }
    JointRecord(damiao::JointSpec s, PyObject* b, PyObject* m, PyObject* l)
        : spec(std::move(s)), bus(b), motor(m), joint_limits(l) {}
    JointRecord(JointRecord&& o) noexcept
        : spec(std::move(o.spec)), bus(o.bus), motor(o.motor), joint_limits(o.joint_limits) {
        o.bus = o.motor = o.joint_limits = nullptr;
    }
    JointRecord& operator=(JointRecord&&) = delete;
};

JointRecord& joint_record(PyObject* self) { return native<JointRecord>(self); }

ROTALINK_SIGNATURE(kJointNew, 12, "Joint.__new__",
                   ROTALINK_DOC("Joint", "(name, bus, motor_id, master_id, limits=None, direction=1, offset=0.0, "
                                         "gear=1.0, joint_limits=None, mode=ControlMode.MIT, kp=0.0, kd=0.0)"),
                   4, "name", "bus", "motor_id", "master_id", "limits", "direction", "offset", "gear", "joint_limits",
                   "mode", "kp", "kd");

PyObject* joint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<12>::Args a;
        if (!bind_tuple(kJointNew, args, kwargs, a)) return nullptr;
        damiao::JointSpec spec;
        if (!to_text(a[0], "name", spec.name)) return nullptr;
        if (!check_instance(a[1], socketcan_transport_type(), "bus")) return nullptr;
        if (a[5] != nullptr) {
            const long d = PyLong_AsLong(a[5]);
            if (d == -1 && PyErr_Occurred()) {
                prefix_type_error("direction");
                return nullptr;
            }
            // Past int, still not a direction: the joint map names it.
            spec.direction = d > 2 || d < -2 ? 2 : static_cast<int>(d);
        }
        if ((a[6] != nullptr && !to_f64(a[6], "offset", spec.offset)) ||
            (a[7] != nullptr && !to_f64(a[7], "gear", spec.gear)) ||
            (a[10] != nullptr && !to_f64(a[10], "kp", spec.kp)) ||
            (a[11] != nullptr && !to_f64(a[11], "kd", spec.kd))) {
            return nullptr;
        }
        if (a[9] != nullptr && !mode_arg(a[9], "mode", spec.mode)) return nullptr;
        PyObject* limits = Py_None;
        if (a[8] != nullptr && a[8] != Py_None) {
            if (!check_instance(a[8], joint_limits_type(), "joint_limits")) return nullptr;
            spec.limits = native<damiao::JointLimits>(a[8]);
            limits = a[8];
        }
        // The motor as Damiao makes it, with its checks.
        PyObject* motor = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(damiao_type()), a[2], a[3],
                                                       a[4] != nullptr ? a[4] : Py_None, nullptr);
        if (motor == nullptr) return nullptr;
        Py_INCREF(a[1]);
        Py_INCREF(limits);
        return alloc_box(type, JointRecord{std::move(spec), a[1], motor, limits});
    });
}

PyObject* joint_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const JointRecord& j = joint_record(self);
        const damiao::Damiao& m = native<damiao::Damiao>(j.motor);
        PyObject* name = new_text(j.spec.name);
        PyObject* text = PyUnicode_FromFormat("Joint(%R, motor_id=0x%x, master_id=0x%x, direction=%d, offset=%s, gear=%s)",
                                              name, static_cast<unsigned>(m.motor_id), static_cast<unsigned>(m.master_id),
                                              j.spec.direction, damiao::double_text(j.spec.offset).c_str(),
                                              damiao::double_text(j.spec.gear).c_str());
        Py_DECREF(name);
        return text;
    });
}

PyObject* joint_name_get(PyObject* self, void*) {
    return guard([&] { return new_text(joint_record(self).spec.name); });
}
PyObject* joint_bus_get(PyObject* self, void*) {
    PyObject* o = joint_record(self).bus;
    Py_INCREF(o);
    return o;
}
PyObject* joint_motor_get(PyObject* self, void*) {
    PyObject* o = joint_record(self).motor;
    Py_INCREF(o);
    return o;
}
PyObject* joint_limits_get(PyObject* self, void*) {
    PyObject* o = joint_record(self).joint_limits;
    Py_INCREF(o);
    return o;
}
PyObject* joint_direction_get(PyObject* self, void*) { return PyLong_FromLong(joint_record(self).spec.direction); }
template <double damiao::JointSpec::*Field>
PyObject* joint_double_get(PyObject* self, void*) {
    return PyFloat_FromDouble(joint_record(self).spec.*Field);
}
PyObject* joint_mode_get(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        PyObject* modes = control_mode_enum();
        if (modes == nullptr) return nullptr;
        return PyObject_CallFunction(modes, "i", static_cast<int>(joint_record(self).spec.mode));
    });
}

PyGetSetDef joint_getset[] = {
    {"name", joint_name_get, nullptr, nullptr, nullptr},
    {"bus", joint_bus_get, nullptr, nullptr, nullptr},
    {"motor", joint_motor_get, nullptr, nullptr, nullptr},
    {"direction", joint_direction_get, nullptr, nullptr, nullptr},
    {"offset", joint_double_get<&damiao::JointSpec::offset>, nullptr, nullptr, nullptr},
    {"gear", joint_double_get<&damiao::JointSpec::gear>, nullptr, nullptr, nullptr},
    {"joint_limits", joint_limits_get, nullptr, nullptr, nullptr},
    {"mode", joint_mode_get, nullptr, nullptr, nullptr},
    {"kp", joint_double_get<&damiao::JointSpec::kp>, nullptr, nullptr, nullptr},
    {"kd", joint_double_get<&damiao::JointSpec::kd>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------- the vectors

// One field's values as the core takes them: a float64 C-contiguous buffer
// read in place (held until the call ends), anything else converted once
// into `scratch`.
struct FieldInput {
    Py_buffer view{};
    bool held = false;
    Scratch<double> scratch;
    ~FieldInput() {
        if (held) PyBuffer_Release(&view);
    }
};

// Reads a value of buffer format `fmt` (one struct code, native order) at
// `p`; false for a format that is not a number's.
bool read_number(const char* fmt, const char* p, double& out) {
    if (fmt == nullptr) fmt = "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;  // native order (the machines are little-endian)
    if (fmt[0] == '\0' || fmt[1] != '\0') return false;
#define ROTALINK_READ(code, T)          \
    case code: {                        \
        T v;                            \
        std::memcpy(&v, p, sizeof v);   \
        out = static_cast<double>(v);   \
        return true;                    \
    }
    switch (fmt[0]) {
        ROTALINK_READ('d', double)
        ROTALINK_READ('f', float)
        ROTALINK_READ('b', signed char)
        ROTALINK_READ('B', unsigned char)
        ROTALINK_READ('h', short)
        ROTALINK_READ('H', unsigned short)
        ROTALINK_READ('i', int)
        ROTALINK_READ('I', unsigned int)
        ROTALINK_READ('l', long)
        ROTALINK_READ('L', unsigned long)
        ROTALINK_READ('q', long long)
        ROTALINK_READ('Q', unsigned long long)
        ROTALINK_READ('?', bool)
        default:
            return false;
    }
#undef ROTALINK_READ
}

bool is_f64(const char* fmt) {
    return fmt != nullptr && (std::strcmp(fmt, "d") == 0 || std::strcmp(fmt, "<d") == 0 ||
                              std::strcmp(fmt, "=d") == 0 || std::strcmp(fmt, "@d") == 0);
}

// `obj`, the keyword `name`, into `out`: absent (None), a number (one value,
// broadcast), a buffer of 0 or 1 dimension, or a sequence of numbers. False
// with an exception set.
bool read_field(PyObject* obj, const char* name, FieldInput& in, JointValues& out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyFloat_Check(obj) || PyLong_Check(obj)) {
        double* v = in.scratch.data(1);
        if (!to_f64(obj, name, *v)) return false;
        out = {v, 1};
        return true;
    }
    if (PyObject_CheckBuffer(obj)) {
        if (PyObject_GetBuffer(obj, &in.view, PyBUF_RECORDS_RO) != 0) return false;
        in.held = true;
        const Py_buffer& b = in.view;
        if (b.ndim > 1) {
            PyErr_Format(PyExc_ValueError, "%s: expected a number or one value per joint, got %d dimensions", name,
                         b.ndim);
            return false;
        }
        const Py_ssize_t n = b.ndim == 0 ? 1 : b.shape[0];
        const Py_ssize_t stride = b.ndim == 0 ? b.itemsize : b.strides[0];
        if (is_f64(b.format) && stride == static_cast<Py_ssize_t>(sizeof(double))) {
            out = {static_cast<const double*>(b.buf), static_cast<std::size_t>(n)};
            return true;
        }
        double* v = in.scratch.data(static_cast<std::size_t>(n));
        const char* p = static_cast<const char*>(b.buf);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!read_number(b.format, p + i * stride, v[i])) {
                PyErr_Format(PyExc_TypeError, "argument '%s': a buffer of format '%s' holds no numbers", name,
                             b.format != nullptr ? b.format : "B");
                return false;
            }
        }
        out = {v, static_cast<std::size_t>(n)};
        return true;
    }
    if (!PySequence_Check(obj)) {
        // Any other number (a Fraction, a Decimal): one value.
        double* v = in.scratch.data(1);
        if (!to_f64(obj, name, *v)) return false;
        out = {v, 1};
        return true;
    }
    PyObject* seq = PySequence_Fast(obj, "");
    if (seq == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    Py_DECREF(seq);
    double* v = in.scratch.data(static_cast<std::size_t>(n));
    if (!read_per_member(static_cast<std::size_t>(n), obj, name, v, take_number)) return false;
    out = {v, static_cast<std::size_t>(n)};
    return true;
}

// The command's fields, read from the keywords in `a` (in kJointFieldNames
// order), all converted before anything else happens.
struct CommandInput {
    FieldInput fields[damiao::kJointFieldCount];
    damiao::JointCommand command;
    // A length of neither 1 nor the joints' is the core's refusal.
    bool read(PyObject* const* a) {
        for (std::size_t f = 0; f < damiao::kJointFieldCount; ++f) {
            if (!read_field(a[f], damiao::kJointFieldNames[f], fields[f], command.fields[f])) return false;
        }
        return true;
    }
};

// --------------------------------------------------------- JointStates

struct StatesRecord {
    PyObject* names;
    PyObject* arrays[6];  // q, dq, tau, status, t_mos, t_rotor
    ~StatesRecord() {
        Py_XDECREF(names);
        for (PyObject* a : arrays) Py_XDECREF(a);
    }
    StatesRecord(PyObject* n, PyObject* const (&a)[6]) : names(n) {
        for (int i = 0; i < 6; ++i) arrays[i] = a[i];
    }
    StatesRecord(StatesRecord&& o) noexcept : names(o.names) {
        for (int i = 0; i < 6; ++i) {
            arrays[i] = o.arrays[i];
            o.arrays[i] = nullptr;
        }
        o.names = nullptr;
    }
    StatesRecord& operator=(StatesRecord&&) = delete;
};

constexpr const char* kStateNames[6] = {"q", "dq", "tau", "status", "t_mos", "t_rotor"};

// numpy.empty and the two dtypes, imported on first use and kept.
struct Numpy {
    PyObject* empty = nullptr;
    PyObject* f64 = nullptr;
    PyObject* i32 = nullptr;
};

const Numpy* numpy() {
    static Numpy np;
    if (np.empty != nullptr) return &np;
    PyObject* mod = PyImport_ImportModule("numpy");
    if (mod == nullptr) return nullptr;
    PyObject* empty = PyObject_GetAttrString(mod, "empty");
    PyObject* f64 = empty != nullptr ? PyObject_GetAttrString(mod, "float64") : nullptr;
    PyObject* i32 = f64 != nullptr ? PyObject_GetAttrString(mod, "int32") : nullptr;
    Py_DECREF(mod);
    if (i32 == nullptr) {
        Py_XDECREF(empty);
        Py_XDECREF(f64);
        return nullptr;
    }
    np = {empty, f64, i32};  // kept for the life of the process
    return &np;
}

// The result arrays of `n` joints, uninitialised, with their storage for
// the core to write (with the interpreter lock held).
struct StatesOut {
    PyObject* arrays[6] = {};
    damiao::JointStatesOut view{};
    ~StatesOut() {
        for (PyObject* a : arrays) Py_XDECREF(a);
    }
    // A new array of `n` items of `dtype` into arrays[k]: its storage's start.
    void* array(const Numpy& np, PyObject* n, PyObject* dtype, int k) {
        arrays[k] = PyObject_CallFunctionObjArgs(np.empty, n, dtype, nullptr);
        if (arrays[k] == nullptr) return nullptr;
        Py_buffer b;
        if (PyObject_GetBuffer(arrays[k], &b, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) return nullptr;
        void* data = b.buf;  // the array keeps its storage
        PyBuffer_Release(&b);
        return data;
    }
    bool make(std::size_t n) {
        const Numpy* np = numpy();
        if (np == nullptr) return false;
        PyObject* count = PyLong_FromSize_t(n);
        if (count == nullptr) return false;
        void* data[6] = {};
        bool ok = true;
        for (int k = 0; k < 6 && ok; ++k) ok = (data[k] = array(*np, count, k < 3 ? np->f64 : np->i32, k)) != nullptr;
        Py_DECREF(count);
        if (!ok) return false;
        view = {static_cast<double*>(data[0]),       static_cast<double*>(data[1]),
                static_cast<double*>(data[2]),       static_cast<std::int32_t*>(data[3]),
                static_cast<std::int32_t*>(data[4]), static_cast<std::int32_t*>(data[5])};
        return true;
    }
    // A JointStates of the arrays, `names` its names; nullptr with an
    // exception set.
    PyObject* result(PyObject* names) {
        Py_INCREF(names);
        PyObject* obj = alloc_box(g_states, StatesRecord(names, arrays));
        if (obj == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        for (PyObject*& a : arrays) a = nullptr;  // handed over
        return obj;
    }
};

template <int I>
PyObject* states_get(PyObject* self, void*) {
    PyObject* o = I < 0 ? native<StatesRecord>(self).names : native<StatesRecord>(self).arrays[I];
    Py_INCREF(o);
    return o;
}

PyObject* states_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const StatesRecord& s = native<StatesRecord>(self);
        PyObject* text = PyUnicode_FromFormat("JointStates(names=%R", s.names);
        for (int i = 0; i < 6 && text != nullptr; ++i) {
            PyObject* list = PyObject_CallMethod(s.arrays[i], "tolist", nullptr);
            PyObject* part = list != nullptr ? PyUnicode_FromFormat(", %s=%R", kStateNames[i], list) : nullptr;
            Py_XDECREF(list);
            PyObject* joined = part != nullptr ? PyUnicode_Concat(text, part) : nullptr;
            Py_XDECREF(part);
            Py_DECREF(text);
            text = joined;
        }
        if (text == nullptr) return nullptr;
        PyObject* close = PyUnicode_FromString(")");
        PyObject* done = close != nullptr ? PyUnicode_Concat(text, close) : nullptr;
        Py_XDECREF(close);
        Py_DECREF(text);
        return done;
    });
}

Py_ssize_t states_len(PyObject* self) { return PyTuple_GET_SIZE(native<StatesRecord>(self).names); }

PyGetSetDef states_getset[] = {
    {"names", states_get<-1>, nullptr, nullptr, nullptr},  {"q", states_get<0>, nullptr, nullptr, nullptr},
    {"dq", states_get<1>, nullptr, nullptr, nullptr},      {"tau", states_get<2>, nullptr, nullptr, nullptr},
    {"status", states_get<3>, nullptr, nullptr, nullptr},  {"t_mos", states_get<4>, nullptr, nullptr, nullptr},
    {"t_rotor", states_get<5>, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------------ Robot

// The record behind a Robot object: its MotorGroup object (members in joint
// order), the core robot over that group's record, and the joints as given.
struct RobotRecord {
    PyObject* group;   // owned; the core robot points into its record
    PyObject* joints;  // owned: the tuple of Joint objects
    PyObject* names;   // owned: the tuple of names
    std::optional<damiao::Robot> core;
    ~RobotRecord() {
        core.reset();
        Py_XDECREF(joints);
        Py_XDECREF(names);
        Py_XDECREF(group);
    }
    RobotRecord(PyObject* g, PyObject* j, PyObject* n, damiao::Robot c)
        : group(g), joints(j), names(n), core(std::move(c)) {}
    RobotRecord(RobotRecord&& o) noexcept
        : group(o.group), joints(o.joints), names(o.names), core(std::move(o.core)) {
        o.group = o.joints = o.names = nullptr;
    }
    RobotRecord& operator=(RobotRecord&&) = delete;
};

RobotRecord& robot_record(PyObject* self) { return native<RobotRecord>(self); }

ROTALINK_SIGNATURE(kRobotNew, 5, "Robot.__new__",
                   ROTALINK_DOC("Robot", "(joints, timeout_ms=20, fd=False, watchdog_ms=None, disable_timeout_ms=500)"),
                   1, "joints", "timeout_ms", "fd", "watchdog_ms", "disable_timeout_ms");

// A new tuple holding `objs` (stolen).
PyObject* steal_tuple(std::vector<PyObject*>& objs) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(objs.size()));
    if (t == nullptr) {
        for (PyObject* o : objs) Py_DECREF(o);
        objs.clear();
        return nullptr;
    }
    for (std::size_t i = 0; i < objs.size(); ++i) PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), objs[i]);
    objs.clear();
    return t;
}

PyObject* robot_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<5>::Args a;
        if (!bind_tuple(kRobotNew, args, kwargs, a)) return nullptr;
        PyObject* joints = PySequence_Tuple(a[0]);
        if (joints == nullptr) {
            prefix_type_error("joints");
            return nullptr;
        }
        Refs kept;
        kept.objs.push_back(joints);
        const Py_ssize_t n = PyTuple_GET_SIZE(joints);
        std::vector<damiao::JointSpec> specs;
        for (Py_ssize_t i = 0; i < n; ++i) {
            char name[40];
            std::snprintf(name, sizeof name, "joints[%zd]", i);
            if (!check_instance(PyTuple_GET_ITEM(joints, i), g_joint, name)) return nullptr;
            specs.push_back(joint_record(PyTuple_GET_ITEM(joints, i)).spec);
        }
        Result<damiao::JointMap, std::string> map = damiao::JointMap::make(std::move(specs));
        if (!map.ok()) return raise({PyExc_ValueError, map.error()});

        // The group, as MotorGroup makes it: members in joint order, the
        // joints' limits in motor units, each joint's motor waiting the
        // robot's time-out for its own replies (its mode's reads on entry).
        std::uint64_t timeout_ms = 20;
        if (a[1] != nullptr && !to_u64(a[1], "timeout_ms", timeout_ms)) return nullptr;
        std::vector<PyObject*> members, limits, names;
        Refs parts;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const JointRecord& j = joint_record(PyTuple_GET_ITEM(joints, i));
            damiao::Damiao motor = native<damiao::Damiao>(j.motor);
            motor.timeout = transport::Duration::from_millis(timeout_ms);
            PyObject* motor_obj = alloc_box(damiao_type(), motor);
            if (motor_obj == nullptr) return nullptr;
            PyObject* pair = PyTuple_Pack(2, j.bus, motor_obj);
            Py_DECREF(motor_obj);
            if (pair == nullptr) return nullptr;
            members.push_back(pair);
            PyObject* lim = Py_None;
            if (j.joint_limits != Py_None) {
                lim = alloc_box(joint_limits_type(), map.value().motor_limits(static_cast<std::size_t>(i)));
                if (lim == nullptr) return nullptr;
            } else {
                Py_INCREF(lim);
            }
            limits.push_back(lim);
            PyObject* name = new_text(j.spec.name);
            names.push_back(name);
        }
        PyObject* member_tuple = steal_tuple(members);
        if (member_tuple == nullptr) return nullptr;
        parts.objs.push_back(member_tuple);
        PyObject* limit_tuple = steal_tuple(limits);
        if (limit_tuple == nullptr) return nullptr;
        parts.objs.push_back(limit_tuple);
        PyObject* name_tuple = steal_tuple(names);
        if (name_tuple == nullptr) return nullptr;
        parts.objs.push_back(name_tuple);

        PyObject* kw = PyDict_New();
        if (kw == nullptr) return nullptr;
        parts.objs.push_back(kw);
        const char* keys[] = {"timeout_ms", "fd", "watchdog_ms", "disable_timeout_ms"};
        for (int k = 0; k < 4; ++k) {
            if (a[k + 1] != nullptr && PyDict_SetItemString(kw, keys[k], a[k + 1]) != 0) return nullptr;
        }
        if (PyDict_SetItemString(kw, "joint_limits", limit_tuple) != 0) return nullptr;
        PyObject* call_args = PyTuple_Pack(1, member_tuple);
        if (call_args == nullptr) return nullptr;
        PyObject* group = PyObject_Call(reinterpret_cast<PyObject*>(motor_group_type()), call_args, kw);
        Py_DECREF(call_args);
        if (group == nullptr) return nullptr;
        Result<damiao::Robot, std::string> core = damiao::Robot::make(std::move(map).value(), record(group).group);
        if (!core.ok()) {
            Py_DECREF(group);
            return raise({PyExc_ValueError, core.error()});
        }
        Py_INCREF(joints);
        Py_INCREF(name_tuple);
        PyObject* obj = alloc_box(type, RobotRecord(group, joints, name_tuple, std::move(core).value()));
        if (obj == nullptr) {
            Py_DECREF(group);
            Py_DECREF(joints);
            Py_DECREF(name_tuple);
        }
        return obj;
    });
}

// What a robot's cycle ended with: the states, or the exception raised.
PyObject* robot_outcome(RobotRecord& r, const Result<Unit, damiao::RobotError>& done, PythonHost& host,
                        StatesOut& out) {
    if (done.ok()) return out.result(r.names);
    const damiao::RobotError& e = done.error();
    switch (e.kind) {
        case damiao::RobotError::Kind::Refused:
            return raise({PyExc_ValueError, e.refusal});
        case damiao::RobotError::Kind::Members:
            return raise_failure(*e.members);
        case damiao::RobotError::Kind::Stopped:
            break;
    }
    host.restore();
    return fail_with_pending();
}

ROTALINK_SIGNATURE(kRobotCommand, 6, "Robot.command",
                   ROTALINK_DOC("command", "($self, q=None, dq=None, kp=None, kd=None, tau=None, current=None)")
                   "One cycle, each joint commanded in its mode, in joint units: each\n"
                   "field a number for every joint or one value per joint (a sequence or\n"
                   "buffer). Every value is checked, clamped into the joint limits and\n"
                   "converted before anything is sent; a refusal is a ValueError naming\n"
                   "the joint. Returns the joints' JointStates.",
                   0, "q", "dq", "kp", "kd", "tau", "current");

PyObject* robot_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<6>::Args a;
        if (!bind_vector(kRobotCommand, args, nargs, kwnames, a)) return nullptr;
        RobotRecord& r = robot_record(self);
        GroupRecord& rec = record(r.group);
        if (refuse_while_looping(rec)) return nullptr;
        CommandInput in;
        if (!in.read(a.data())) return nullptr;
        StatesOut out;
        if (!out.make(r.core->size())) return nullptr;
        PythonHost host(rec);
        const Result<Unit, damiao::RobotError> done = r.core->command(in.command, host, out.view);
        return robot_outcome(r, done, host, out);
    });
}

ROTALINK_NO_PARAMS(kRobotState, "Robot.state",
                   ROTALINK_DOC("state", "($self)") "One refresh cycle, commanding nothing: the joints' JointStates.");

PyObject* robot_state(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        RobotRecord& r = robot_record(self);
        GroupRecord& rec = record(r.group);
        if (refuse_while_looping(rec)) return nullptr;
        StatesOut out;
        if (!out.make(r.core->size())) return nullptr;
        PythonHost host(rec);
        const Result<Unit, damiao::RobotError> done = r.core->state(host, out.view);
        return robot_outcome(r, done, host, out);
    });
}

ROTALINK_NO_PARAMS(kRobotEnter, "Robot.__enter__",
                   ROTALINK_DOC("__enter__", "($self)")
                   "Put every joint's motor in the joint's control mode (as\n"
                   "MotorGroup.ensure_mode: written only where it differs), then enter the\n"
                   "group's scope: enable every joint's motor.");

PyObject* robot_enter(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        RobotRecord& r = robot_record(self);
        const std::vector<damiao::JointSpec>& specs = r.core->joints().specs();
        PyObject* modes = PyTuple_New(static_cast<Py_ssize_t>(specs.size()));
        if (modes == nullptr) return nullptr;
        for (std::size_t i = 0; i < specs.size(); ++i) {
            PyObject* mode = PyLong_FromLong(specs[i].mode);
            if (mode == nullptr) {
                Py_DECREF(modes);
                return nullptr;
            }
            PyTuple_SET_ITEM(modes, static_cast<Py_ssize_t>(i), mode);
        }
        // "(O)": with "O" alone a tuple argument would be taken as the whole
        // argument list, one mode per positional argument.
        PyObject* ensured = PyObject_CallMethod(r.group, "ensure_mode", "(O)", modes);
        Py_DECREF(modes);
        if (ensured == nullptr) return nullptr;
        Py_DECREF(ensured);
        PyObject* done = PyObject_CallMethod(r.group, "__enter__", nullptr);
        if (done == nullptr) return nullptr;
        Py_DECREF(done);
        Py_INCREF(self);
        return self;
    });
}

ROTALINK_SIGNATURE(kRobotExit, 3, "Robot.__exit__",
                   ROTALINK_DOC("__exit__", "($self, exc_type, exc_value, traceback)")
                   "Leave the group's scope: disable every joint's motor, as MotorGroup's\n"
                   "__exit__ does.",
                   3, "exc_type", "exc_value", "traceback");

PyObject* robot_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<3>::Args a;
        if (!bind_vector(kRobotExit, args, nargs, kwnames, a)) return nullptr;
        return PyObject_CallMethod(robot_record(self).group, "__exit__", "OOO", a[0], a[1], a[2]);
    });
}

PyObject* new_robot_loop(PyObject* robot, PyObject* loop);

ROTALINK_SIGNATURE(kRobotStart, 7, "Robot.start",
                   ROTALINK_DOC("start", "($self, rate_hz, hold_ms=100, priority=None, cpu=None, stop_on_fault=True, "
                                         "blend_ms=200, record=None)")
                   "Run the robot's cycle in a native thread, as MotorGroup.start does,\n"
                   "and return its RobotLoop. Its first setpoints, after the start and\n"
                   "after a move, are blended in over blend_ms. record writes every\n"
                   "cycle in joint units, under the joints' names.",
                   1, "rate_hz", "hold_ms", "priority", "cpu", "stop_on_fault", "blend_ms", "record");
static_assert(damiao::kRobotBlendMillis == 200, "Robot.start's text signature gives blend_ms's default");

PyObject* robot_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<7>::Args a;
        if (!bind_vector(kRobotStart, args, nargs, kwnames, a)) return nullptr;
        PyObject* blend = nullptr;
        if (a[5] == nullptr) {
            blend = PyLong_FromUnsignedLongLong(damiao::kRobotBlendMillis);
            if (blend == nullptr) return nullptr;
            a[5] = blend;
        }
        const RobotRecord& r = robot_record(self);
        RecordRequest recording;
        recording.target = a[6];
        recording.joints = &r.core->joints();
        PyObject* loop = start_group(r.group, a.data(), recording);
        Py_XDECREF(blend);
        if (loop == nullptr) return nullptr;
        PyObject* obj = new_robot_loop(self, loop);
        Py_DECREF(loop);
        return obj;
    });
}

ROTALINK_SIGNATURE(kRobotLoad, 1, "Robot.load",
                   ROTALINK_DOC("load", "($cls, path)")
                   "The Robot of a description file (rotalink_scan.description): the\n"
                   "whole file checked first, then each interface it names opened once.",
                   1, "path");

PyObject* robot_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kRobotLoad, args, nargs, kwnames, a)) return nullptr;
        PyObject* mod = PyImport_ImportModule("rotalink_scan.description");
        if (mod == nullptr) return nullptr;
        PyObject* description = PyObject_CallMethod(mod, "load", "(O)", a[0]);
        PyObject* robot = description != nullptr ? PyObject_CallMethod(mod, "build", "O", description) : nullptr;
        Py_XDECREF(description);
        Py_DECREF(mod);
        return robot;
    });
}

PyObject* robot_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const RobotRecord& r = robot_record(self);
        return PyUnicode_FromFormat("Robot(names=%R, timeout_ms=%llu)", r.names,
                                    static_cast<unsigned long long>(record(r.group).timeout_ms));
    });
}

Py_ssize_t robot_len(PyObject* self) { return PyTuple_GET_SIZE(robot_record(self).names); }

template <int Which>
PyObject* robot_get(PyObject* self, void*) {
    const RobotRecord& r = robot_record(self);
    PyObject* o = Which == 0 ? r.names : Which == 1 ? r.joints : r.group;
    Py_INCREF(o);
    return o;
}

PyGetSetDef robot_getset[] = {
    {"names", robot_get<0>, nullptr, nullptr, nullptr},
    {"joints", robot_get<1>, nullptr, nullptr, nullptr},
    {"group", robot_get<2>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef load_def() {
    PyMethodDef d = method<&kRobotLoad>(robot_load);
    d.ml_flags |= METH_CLASS;
    return d;
}

PyMethodDef robot_methods[] = {
    method<&kRobotState>(robot_state), method<&kRobotCommand>(robot_command),
    method<&kRobotStart>(robot_start), method<&kRobotEnter>(robot_enter),
    method<&kRobotExit>(robot_exit),   load_def(),
    {nullptr, nullptr, 0, nullptr},
};

// -------------------------------------------------------------- RobotLoop

// The record behind a RobotLoop object: the robot, its group's ControlLoop
// object, and the storage its state() reads the loop's states into.
struct RobotLoopRecord {
    PyObject* robot;  // owned
    PyObject* loop;   // owned: the ControlLoop
    std::vector<std::optional<damiao::mit::MotorState>> scratch;
    ~RobotLoopRecord() {
        Py_XDECREF(loop);
        Py_XDECREF(robot);
    }
    RobotLoopRecord(PyObject* r, PyObject* l) : robot(r), loop(l) {}
    RobotLoopRecord(RobotLoopRecord&& o) noexcept : robot(o.robot), loop(o.loop), scratch(std::move(o.scratch)) {
        o.robot = o.loop = nullptr;
    }
    RobotLoopRecord& operator=(RobotLoopRecord&&) = delete;
};

RobotLoopRecord& robot_loop_record(PyObject* self) { return native<RobotLoopRecord>(self); }

PyObject* new_robot_loop(PyObject* robot, PyObject* loop) {
    Py_INCREF(robot);
    Py_INCREF(loop);
    PyObject* obj = alloc_box(g_robot_loop, RobotLoopRecord(robot, loop));
    if (obj == nullptr) {
        Py_DECREF(robot);
        Py_DECREF(loop);
    }
    return obj;
}

ROTALINK_SIGNATURE(kLoopSet, 6, "RobotLoop.set",
                   ROTALINK_DOC("set", "($self, q=None, dq=None, kp=None, kd=None, tau=None, current=None)")
                   "The command of the next cycles, as Robot.command takes it: checked,\n"
                   "clamped and converted now (a refusal raises here); the latest wins.",
                   0, "q", "dq", "kp", "kd", "tau", "current");

PyObject* loop_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<6>::Args a;
        if (!bind_vector(kLoopSet, args, nargs, kwnames, a)) return nullptr;
        RobotLoopRecord& l = robot_loop_record(self);
        const RobotRecord& r = robot_record(l.robot);
        damiao::ControlLoop& loop = *native_loop(l.loop);
        if (!loop.running()) return raise_stopped(loop);
        CommandInput in;
        if (!in.read(a.data())) return nullptr;
        if (std::optional<std::string> refused = r.core->set(loop, in.command)) {
            return raise({PyExc_ValueError, *refused});
        }
        Py_RETURN_NONE;
    });
}

ROTALINK_SIGNATURE(kLoopMoveTo, 6, "RobotLoop.move_to",
                   ROTALINK_DOC("move_to", "($self, q, duration=None, velocity_limit=None, accel_limit=None, kp=None, "
                                           "kd=None)")
                   "Move every joint from where it is to q, in joint units, as\n"
                   "ControlLoop.move_to does: each field a number for every joint or one\n"
                   "value per joint, as set() takes them. Checked now (a refusal is a\n"
                   "ValueError naming the joint); returns its Move.",
                   1, "q", "duration", "velocity_limit", "accel_limit", "kp", "kd");

PyObject* loop_move_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<6>::Args a;
        if (!bind_vector(kLoopMoveTo, args, nargs, kwnames, a)) return nullptr;
        RobotLoopRecord& l = robot_loop_record(self);
        const RobotRecord& r = robot_record(l.robot);
        damiao::ControlLoop& loop = *native_loop(l.loop);
        if (!loop.running()) return raise_stopped(loop);
        damiao::JointMove move;
        FieldInput in[5];
        if (!read_field(a[0], "q", in[0], move.q) || !move_duration_arg(a[1], move.duration) ||
            !read_field(a[2], "velocity_limit", in[1], move.velocity) ||
            !read_field(a[3], "accel_limit", in[2], move.accel) || !read_field(a[4], "kp", in[3], move.kp) ||
            !read_field(a[5], "kd", in[4], move.kd)) {
            return nullptr;
        }
        const Result<std::uint64_t, std::string> made = r.core->move(loop, move);
        if (!made.ok()) return raise({PyExc_ValueError, made.error()});
        return new_move(l.loop, made.value());
    });
}

ROTALINK_NO_PARAMS(kLoopState, "RobotLoop.state",
                   ROTALINK_DOC("state", "($self)")
                   "The latest states of the joints (a joint not heard from yet: NaN and\n"
                   "-1), without waiting.");

PyObject* loop_state(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        RobotLoopRecord& l = robot_loop_record(self);
        const RobotRecord& r = robot_record(l.robot);
        StatesOut out;
        if (!out.make(r.core->size())) return nullptr;
        r.core->latest(*native_loop(l.loop), l.scratch, out.view);
        return out.result(r.names);
    });
}

ROTALINK_SIGNATURE(kLoopWait, 1, "RobotLoop.wait",
                   ROTALINK_DOC("wait", "($self, timeout_ms=None)")
                   "Wait for the next cycle to complete, as ControlLoop.wait does, and\n"
                   "return the joints' states of that cycle.",
                   0, "timeout_ms");

PyObject* loop_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kLoopWait, args, nargs, kwnames, a)) return nullptr;
        RobotLoopRecord& l = robot_loop_record(self);
        const RobotRecord& r = robot_record(l.robot);
        PyObject* states = PyObject_CallMethod(l.loop, "wait", "(O)", a[0] != nullptr ? a[0] : Py_None);
        if (states == nullptr) return nullptr;
        // The cycle's motor states, one per member (None: no reply).
        const std::size_t n = r.core->size();
        l.scratch.assign(n, std::nullopt);
        for (std::size_t i = 0; i < n && i < static_cast<std::size_t>(PyList_GET_SIZE(states)); ++i) {
            PyObject* s = PyList_GET_ITEM(states, static_cast<Py_ssize_t>(i));
            if (s != Py_None) l.scratch[i] = native<damiao::mit::MotorState>(s);
        }
        Py_DECREF(states);
        StatesOut out;
        if (!out.make(n)) return nullptr;
        r.core->joints().to_joints(l.scratch.data(), out.view);
        return out.result(r.names);
    });
}

// A method of the ControlLoop, called with the same arguments.
template <const char* Name>
PyObject* forward(PyObject* self, PyObject*) {
    return PyObject_CallMethod(robot_loop_record(self).loop, Name, nullptr);
}
constexpr char kStats[] = "stats";
constexpr char kStop[] = "stop";

ROTALINK_NO_PARAMS(kLoopStats, "RobotLoop.stats", ROTALINK_DOC("stats", "($self)") "The loop's timing so far.");
ROTALINK_NO_PARAMS(kLoopStop, "RobotLoop.stop", ROTALINK_DOC("stop", "($self)") "Stop the loop, as ControlLoop.stop does.");
ROTALINK_NO_PARAMS(kLoopEnter, "RobotLoop.__enter__", ROTALINK_DOC("__enter__", "($self)"));
ROTALINK_SIGNATURE(kLoopExit, 3, "RobotLoop.__exit__",
                   ROTALINK_DOC("__exit__", "($self, exc_type, exc_value, traceback)")
                   "Stop the loop, as ControlLoop's __exit__ does.",
                   3, "exc_type", "exc_value", "traceback");

PyObject* loop_enter(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyObject* loop_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<3>::Args a;
        if (!bind_vector(kLoopExit, args, nargs, kwnames, a)) return nullptr;
        return PyObject_CallMethod(robot_loop_record(self).loop, "__exit__", "OOO", a[0], a[1], a[2]);
    });
}

template <int Which>
PyObject* loop_get(PyObject* self, void*) {
    const RobotLoopRecord& l = robot_loop_record(self);
    if (Which == 0) {
        Py_INCREF(l.loop);
        return l.loop;
    }
    return PyObject_GetAttrString(l.loop, Which == 1 ? "running" : Which == 2 ? "error" : "recorded");
}

PyObject* loop_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const RobotLoopRecord& l = robot_loop_record(self);
        return PyUnicode_FromFormat("RobotLoop(joints=%zd, loop=%R)",
                                    PyTuple_GET_SIZE(robot_record(l.robot).names), l.loop);
    });
}

PyGetSetDef loop_getset[] = {
    {"loop", loop_get<0>, nullptr, nullptr, nullptr},
    {"running", loop_get<1>, nullptr, nullptr, nullptr},
    {"error", loop_get<2>, nullptr, nullptr, nullptr},
    {"recorded", loop_get<3>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef loop_methods[] = {
    method<&kLoopSet>(loop_set),
    method<&kLoopMoveTo>(loop_move_to),
    method<&kLoopWait>(loop_wait),
    {"state", loop_state, METH_NOARGS, kLoopState.doc},
    {"stats", forward<kStats>, METH_NOARGS, kLoopStats.doc},
    {"stop", forward<kStop>, METH_NOARGS, kLoopStop.doc},
    {"__enter__", loop_enter, METH_NOARGS, kLoopEnter.doc},
    method<&kLoopExit>(loop_exit),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* joint_type() {
    return class_object(g_joint, {"rotalink.Joint", kJointNew.doc, sizeof(Box<JointRecord>), joint_new,
                                  dealloc_box<JointRecord>, joint_repr, joint_getset, nullptr});
}

PyTypeObject* robot_type() {
    return class_object(g_robot, {"rotalink.Robot", kRobotNew.doc, sizeof(Box<RobotRecord>), robot_new,
                                  dealloc_box<RobotRecord>, robot_repr, robot_getset, robot_methods, robot_len});
}

PyTypeObject* robot_loop_type() {
    return class_object(g_robot_loop, {"rotalink.RobotLoop", nullptr, sizeof(Box<RobotLoopRecord>), no_constructor,
                                       dealloc_box<RobotLoopRecord>, loop_repr, loop_getset, loop_methods});
}

PyTypeObject* joint_states_type() {
    return class_object(g_states, {"rotalink.JointStates", nullptr, sizeof(Box<StatesRecord>), no_constructor,
                                   dealloc_box<StatesRecord>, states_repr, states_getset, nullptr, states_len});
}

}  // namespace rotalink::py
