// The module's classes and function, in registration order.
#pragma once

#include "python/command_kinds.hpp"
#include "python/types.hpp"

namespace rotalink::py {

PyTypeObject* mit_limits_type();
PyTypeObject* motor_state_type();
PyTypeObject* damiao_type();
PyTypeObject* motor_group_type();
PyTypeObject* joint_limits_type();
// Status, an enum.IntEnum of the statuses a motor reports; nullptr with an
// exception set if it cannot be created (it is created once and kept).
PyObject* status_enum();
// GroupError, a RuntimeError subclass; nullptr with an exception set if it
// cannot be created (it is created once and kept).
PyObject* group_error_type();
// Register, an enum.IntEnum of the register table; nullptr with an exception
// set if it cannot be created (it is created once and kept).
PyObject* register_enum();
// A new enum.IntEnum class `name` of module rotalink with `count` members,
// member(i) the i-th, and `doc`; nullptr with an exception set.
struct EnumMember {
    const char* name;
    unsigned value;
};
PyObject* new_int_enum(const char* name, std::size_t count, EnumMember (*member)(std::size_t), const char* doc);

// The module functions `mit_setpoint` and `register_reply`.
extern PyMethodDef mit_setpoint_def;
extern PyMethodDef register_reply_def;

}  // namespace rotalink::py
