// Module entry and registration.
#include "python/module.hpp"

#include <atomic>
#include <initializer_list>
#include <cstdint>
#include <cstring>

#include "python/bus.hpp"
#include "python/classes.hpp"
#include "python/group.hpp"
#include "python/logging_bridge.hpp"

namespace rotalink::py {
namespace {

// The id of the first interpreter that imported the module; -1 until then.
std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;
PyObject* g_str_all = nullptr;
PyObject* g_str_name = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "rotalink",
    "",       // __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // the function is added by the module body
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* interned(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot;
}

// Appends `name` to the module's __all__ (creating the list when absent),
// then sets the attribute. Takes a reference to `value`.
bool add(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all_name = interned(g_str_all, "__all__");
    if (all_name == nullptr) return false;
    PyObject* all = PyObject_GetAttr(module, all_name);
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return false;
        if (PyObject_SetAttr(module, all_name, all) < 0) {
            Py_DECREF(all);
            return false;
        }
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return false;
    }
    const int appended = PyList_Append(all, name);
    Py_DECREF(all);
    if (appended < 0) {
        PyErr_Clear();
        ROTALINK_PANIC("could not append to __all__");
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_named(PyObject* module, const char* name, PyObject* value) {
    PyObject* key = PyUnicode_FromString(name);
    if (key == nullptr) return false;
    const bool ok = add(module, key, value);
    Py_DECREF(key);
    return ok;
}

bool add_class(PyObject* module, PyTypeObject* type) {
    if (type == nullptr) return false;
    return add_named(module, type_name(type), reinterpret_cast<PyObject*>(type));
}

// Adds the module function of `def` under its __name__.
bool add_function(PyObject* module, PyMethodDef* def) {
    PyObject* modname = PyModule_GetNameObject(module);
    if (modname == nullptr) return false;
#if PY_VERSION_HEX >= 0x03090000
    PyObject* fn = PyCMethod_New(def, module, modname, nullptr);
#else
    PyObject* fn = PyCFunction_NewEx(def, module, modname);
#endif
    Py_DECREF(modname);
    if (fn == nullptr) return false;
    PyObject* fn_name = PyObject_GetAttr(fn, interned(g_str_name, "__name__"));
    if (fn_name == nullptr || !PyUnicode_Check(fn_name)) {
        if (fn_name != nullptr) PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
        Py_XDECREF(fn_name);
        Py_DECREF(fn);
        return false;
    }
    const bool ok = add(module, fn_name, fn);
    Py_DECREF(fn_name);
    Py_DECREF(fn);
    return ok;
}

bool module_body(PyObject* module) {
    // The logging bridge first; its handle is not kept. A failure is an
    // internal fault, also the second installation in a process (a body that
    // runs again after a failure past this step).
    logging_bridge::init();
    {
        PyObject* version = PyUnicode_FromString("1.0.0");
        if (version == nullptr) return false;
        const bool ok = add_named(module, "__version__", version);
        Py_DECREF(version);
        if (!ok) return false;
    }
    // Registration order: MitLimits, MitSetpoint, MotorState, Damiao,
    // SocketCanTransport.
    for (PyTypeObject* (*cls)() :
         {mit_limits_type, mit_setpoint_type, motor_state_type, damiao_type,
          socketcan_transport_type}) {
        if (!add_class(module, cls())) return false;
    }

    if (!add_function(module, &mit_setpoint_def)) return false;

    // The group of motors and its error, after the single-motor surface.
    if (!add_class(module, motor_group_type())) return false;
    PyObject* group_error = group_error_type();
    if (group_error == nullptr || !add_named(module, "GroupError", group_error)) return false;
    // The register numbers, after the classes.
    PyObject* registers = register_enum();
    if (registers == nullptr || !add_named(module, "Register", registers)) return false;
    // The register rule for Python code on its own raw CAN socket.
    if (!add_function(module, &register_reply_def)) return false;
    // The control modes, then the value classes of the command kinds after
    // MitSetpoint, in the table's order.
    PyObject* modes = control_mode_enum();
    if (modes == nullptr || !add_named(module, "ControlMode", modes)) return false;
    for (std::size_t k = 0; k < damiao::kCommandKindCount; ++k) {
        if (k != damiao::kMitKind && !add_class(module, setpoint_type(k))) return false;
    }
    // What keeps a group safe: joint limits, and the statuses by name. The
    // text signature of JointLimits names math.inf, which inspect finds
    // among the imported modules.
    PyObject* math = PyImport_ImportModule("math");
    if (math == nullptr) return false;
    Py_DECREF(math);
    if (!add_class(module, joint_limits_type())) return false;
    PyObject* statuses = status_enum();
    if (statuses == nullptr || !add_named(module, "Status", statuses)) return false;
    // The group's cycle in a native thread, its timing and its moves.
    for (PyTypeObject* (*cls)() : {control_loop_type, loop_stats_type, move_type}) {
        if (!add_class(module, cls())) return false;
    }
    // What a recorded cycle's messages are.
    PyObject* topics = record_topics();
    const bool topics_added = topics != nullptr && add_named(module, "RECORD_TOPICS", topics);
    Py_XDECREF(topics);
    if (!topics_added) return false;
    // A robot in joint space, over a group and its loop.
    for (PyTypeObject* (*cls)() : {joint_type, robot_type, robot_loop_type, joint_states_type}) {
        if (!add_class(module, cls())) return false;
    }
    // The wire table for code on its own raw CAN socket: the protocol's
    // values, then the frame makers.
    bool ok = true;
    for (const WireValue& v : wire_values()) {
        ok = ok && add_named(module, v.name, v.value);
        Py_DECREF(v.value);
    }
    if (!ok) return false;
    static WireFunctions functions = wire_functions();
    for (PyMethodDef& def : functions) {
        if (!add_function(module, &def)) return false;
    }
    return true;
}

std::int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

}  // namespace

PyTypeObject* create_class(PyTypeObject*& slot, const ClassSpec& spec) {
    PyType_Slot slots[9];
    int n = 0;
    slots[n++] = {Py_tp_base, &PyBaseObject_Type};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(spec.tp_new)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(spec.tp_dealloc)};
    if (spec.tp_repr != nullptr) slots[n++] = {Py_tp_repr, reinterpret_cast<void*>(spec.tp_repr)};
    if (spec.methods != nullptr) slots[n++] = {Py_tp_methods, spec.methods};
    if (spec.getset != nullptr) slots[n++] = {Py_tp_getset, spec.getset};
    if (spec.length != nullptr) slots[n++] = {Py_sq_length, reinterpret_cast<void*>(spec.length)};
    if (spec.doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
    slots[n++] = {0, nullptr};

    PyType_Spec type_spec = {spec.qualified_name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) return nullptr;
#if PY_VERSION_HEX < 0x030A0000
    // Before 3.10 the type keeps its doc with the text signature cut off, so
    // the class would have no `__text_signature__`. `__doc__` was already set
    // from that cut copy; the slot gets the whole doc, in a block of the
    // interpreter's allocator, which frees the slot with the type.
    if (spec.doc != nullptr) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
        const size_t size = std::strlen(spec.doc) + 1;
        char* whole = static_cast<char*>(PyObject_Malloc(size));
        if (whole == nullptr) {
            Py_DECREF(type);
            return reinterpret_cast<PyTypeObject*>(PyErr_NoMemory());
        }
        std::memcpy(whole, spec.doc, size);
        PyObject_Free(const_cast<char*>(t->tp_doc));
        t->tp_doc = whole;
    }
#endif
    slot = reinterpret_cast<PyTypeObject*>(type);
    return slot;
}

PyObject* init_module() {
    return guard([]() -> PyObject* {
        const std::int64_t id = current_interpreter_id();
        if (id == -1) return fail_with_pending();
        std::int64_t expected = -1;
        if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError,
                            "rotalink does not support sub-interpreters: it can only be "
                            "imported once per process, by the main interpreter");
            return nullptr;
        }
        if (g_module != nullptr) {
            Py_INCREF(g_module);
            return g_module;
        }
        PyObject* module = PyModule_Create2(&g_module_def, 1013);
        if (module == nullptr) return fail_with_pending();
        bool body_ok = false;
        try {
            body_ok = module_body(module);
        } catch (...) {
            Py_DECREF(module);  // a fault in the body: nothing is kept
            throw;
        }
        if (!body_ok) {
            Py_DECREF(module);
            return fail_with_pending();
        }
        g_module = module;
        Py_INCREF(g_module);
        return g_module;
    });
}

}  // namespace rotalink::py
