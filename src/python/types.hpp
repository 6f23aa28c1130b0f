// Python faces of the native records: heap types created from type specs,
// whose instances are the object header followed by one native record.
#pragma once

#include "python/call.hpp"

#include <new>
#include <utility>

namespace rotalink::py {

template <class T>
struct Box {
    PyObject_HEAD
    T value;
};

template <class T>
T& native(PyObject* obj) {
    return reinterpret_cast<Box<T>*>(obj)->value;
}

// What a class declares. The interpreter keeps pointers to the name and the
// doc (before 3.11 `tp_name` is the very pointer given here), so both are
// string literals with static storage. The doc is the constructor's
// (Signature::doc), so that the class's text signature is the constructor's.
struct ClassSpec {
    const char* qualified_name;  // "rotalink.Damiao"
    const char* doc;             // "Damiao(motor_id, ...)\n--\n\n", or nullptr for none
    int basicsize;
    newfunc tp_new;  // the constructor; a refusing one where the class has none
    destructor tp_dealloc;
    reprfunc tp_repr;  // may be nullptr (default object repr)
    PyGetSetDef* getset;
    PyMethodDef* methods;
    lenfunc length = nullptr;  // len(); nullptr for none
};

// Creates the class object into `slot` (nullptr with an exception set if it
// cannot be created).
PyTypeObject* create_class(PyTypeObject*& slot, const ClassSpec& spec);

// The class object, created on first use; later calls return the same object
// (borrowed reference, kept for the life of the process).
inline PyTypeObject* class_object(PyTypeObject*& slot, const ClassSpec& spec) {
    return slot != nullptr ? slot : create_class(slot, spec);
}

// The constructor of a class whose instances only the module makes
// (MotorState, ControlLoop, LoopStats): TypeError "No constructor defined
// for MotorState".
inline PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guard([&]() -> PyObject* {
        PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type_name(type));
        return nullptr;
    });
}

// Frees an instance: the record's destructor, the memory, the type reference.
template <class T>
void dealloc_box(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    try {
        native<T>(self).~T();
    } catch (...) {
        PyErr_WriteUnraisable(self);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// Allocates an instance holding `value`; nullptr with MemoryError set.
template <class T>
PyObject* alloc_box(PyTypeObject* type, T&& value) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    new (&native<std::decay_t<T>>(obj)) std::decay_t<T>(std::forward<T>(value));
    return obj;
}

// A result instance; failing to create it is an internal fault.
template <class T>
PyObject* new_box(PyTypeObject* type, T&& value) {
    ROTALINK_ASSERT(type != nullptr, "class object used before it was created");
    PyObject* obj = alloc_box(type, std::forward<T>(value));
    return obj != nullptr ? obj : must(nullptr, type_name(type));
}

// Method-table casts for the fast-call convention.
using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyCFunction as_cfunction(FastWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace rotalink::py
