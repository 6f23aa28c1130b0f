// Register: the firmware's registers as an IntEnum of the register table,
// each member telling its value kind and whether it may be written; Status,
// the statuses a motor reports, each with a description; and the module's
// IntEnum classes are made here.
#include "damiao/protocol.hpp"
#include "damiao/registers.hpp"
#include "python/classes.hpp"

namespace rotalink::py {
namespace {

PyObject* g_register = nullptr;
PyObject* g_status = nullptr;

// The table entry of a Register member (or of any integer in the table).
const damiao::RegisterInfo* info_of(PyObject* member) {
    PyObject* index = PyNumber_Index(member);
    if (index == nullptr) return nullptr;
    const unsigned long long n = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (PyErr_Occurred()) return nullptr;
    const damiao::RegisterInfo* info = damiao::find_register(n > 0xFFFFFFFFu ? 0xFFFFFFFFu : n);
    if (info == nullptr) PyErr_Format(PyExc_ValueError, "register %llu is not in the Damiao register table", n);
    return info;
}

PyObject* is_float(PyObject*, PyObject* member) {
    return guard([&]() -> PyObject* {
        const damiao::RegisterInfo* info = info_of(member);
        return info == nullptr ? nullptr : PyBool_FromLong(info->kind == damiao::RegisterKind::Float);
    });
}

PyObject* writable(PyObject*, PyObject* member) {
    return guard([&]() -> PyObject* {
        const damiao::RegisterInfo* info = info_of(member);
        return info == nullptr ? nullptr : PyBool_FromLong(info->writable);
    });
}

PyMethodDef g_is_float = {"is_float", is_float, METH_O, nullptr};
PyMethodDef g_writable = {"writable", writable, METH_O, nullptr};

PyObject* make_register_enum() {
    PyObject* cls = new_int_enum(
        "Register", damiao::kRegisterCount,
        [](std::size_t i) { return EnumMember{damiao::kRegisters[i].name, damiao::kRegisters[i].number}; },
        "The firmware's registers, by the maker's names. `is_float` tells a\n"
        "register holding a 32-bit float from one holding an unsigned 32-bit\n"
        "integer; `writable` whether it may be written.");
    if (cls == nullptr) return nullptr;
    if (!add_property(cls, &g_is_float, "Whether the register holds a 32-bit float.") ||
        !add_property(cls, &g_writable, "Whether the register may be written.")) {
        Py_DECREF(cls);
        return nullptr;
    }
    return cls;
}

PyObject* description(PyObject*, PyObject* member) {
    return guard([&]() -> PyObject* {
        const long code = PyLong_AsLong(member);
        if (code == -1 && PyErr_Occurred()) return nullptr;
        for (const damiao::StatusCode& s : damiao::kStatuses) {
            if (s.code == code) return new_text(s.description);
        }
        return raise({PyExc_ValueError, "status " + std::to_string(code) + " is not in the table"});
    });
}

PyMethodDef g_description = {"description", description, METH_O, nullptr};

PyObject* make_status_enum() {
    PyObject* cls = new_int_enum(
        "Status", damiao::kStatusCount,
        [](std::size_t i) { return EnumMember{damiao::kStatuses[i].name, damiao::kStatuses[i].code}; },
        "The statuses a motor reports in MotorState.error: DISABLED and ENABLED\n"
        "while it runs normally, a fault's code once the fault has disabled it.\n"
        "A code outside the table stays an int. `description` says what each\n"
        "means.");
    if (cls == nullptr) return nullptr;
    if (!add_property(cls, &g_description, "What the status means.")) {
        Py_DECREF(cls);
        return nullptr;
    }
    return cls;
}

}  // namespace

bool add_property(PyObject* cls, PyMethodDef* def, const char* doc) {
    PyObject* getter = PyCFunction_NewEx(def, nullptr, nullptr);
    if (getter == nullptr) return false;
    PyObject* prop = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyProperty_Type), "OOOs", getter,
                                           Py_None, Py_None, doc);
    Py_DECREF(getter);
    if (prop == nullptr) return false;
    const int set = PyObject_SetAttrString(cls, def->ml_name, prop);
    Py_DECREF(prop);
    return set == 0;
}

PyObject* status_enum() {
    if (g_status == nullptr) g_status = make_status_enum();
    return g_status;
}

PyObject* new_int_enum(const char* name, std::size_t count, EnumMember (*member)(std::size_t), const char* doc) {
    PyObject* names = PyList_New(static_cast<Py_ssize_t>(count));
    if (names == nullptr) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const EnumMember m = member(i);
        PyObject* pair = Py_BuildValue("(sI)", m.name, m.value);
        if (pair == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        PyList_SET_ITEM(names, static_cast<Py_ssize_t>(i), pair);
    }
    PyObject* enum_module = PyImport_ImportModule("enum");
    PyObject* int_enum = enum_module != nullptr ? PyObject_GetAttrString(enum_module, "IntEnum") : nullptr;
    Py_XDECREF(enum_module);
    PyObject* args = int_enum != nullptr ? Py_BuildValue("(sO)", name, names) : nullptr;
    PyObject* kwargs = args != nullptr ? Py_BuildValue("{ssss}", "module", "rotalink", "qualname", name) : nullptr;
    PyObject* cls = kwargs != nullptr ? PyObject_Call(int_enum, args, kwargs) : nullptr;
    Py_XDECREF(kwargs);
    Py_XDECREF(args);
    Py_XDECREF(int_enum);
    Py_DECREF(names);
    if (cls == nullptr) return nullptr;
    PyObject* text = PyUnicode_FromString(doc);
    const bool ok = text != nullptr && PyObject_SetAttrString(cls, "__doc__", text) == 0;
    Py_XDECREF(text);
    if (!ok) {
        Py_DECREF(cls);
        return nullptr;
    }
    return cls;
}

PyObject* register_enum() {
    if (g_register == nullptr) g_register = make_register_enum();
    return g_register;
}

}  // namespace rotalink::py
