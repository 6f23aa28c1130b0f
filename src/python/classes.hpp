// The module's classes and function, in registration order.
#pragma once

#include <array>
#include <vector>

#include "damiao/registers.hpp"
#include "python/command_kinds.hpp"
#include "python/types.hpp"

namespace rotalink::py {

PyTypeObject* mit_limits_type();
PyTypeObject* motor_state_type();
PyTypeObject* damiao_type();
PyTypeObject* motor_group_type();
PyTypeObject* joint_limits_type();
// Joint, Robot, RobotLoop and JointStates: a robot in joint space.
PyTypeObject* joint_type();
PyTypeObject* robot_type();
PyTypeObject* robot_loop_type();
PyTypeObject* joint_states_type();
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
// Adds to the class `cls` a read-only property whose getter is `def`,
// called with the instance (an enum member); false with an exception set.
bool add_property(PyObject* cls, PyMethodDef* def, const char* doc);

// The register argument of Damiao.read_register and write_register and of
// the register frame makers: any integer; a number past the table's is the
// driver's UnknownRegister. nullptr with the exception set.
const damiao::RegisterInfo* register_arg(PyObject* obj);
// The value argument of a register write as register `info` holds it: a
// finite float for a Float register, an int 0..0xFFFFFFFF for a Uint32
// one; false with the exception set.
bool register_bits(const damiao::RegisterInfo& info, PyObject* value, std::uint32_t& bits);

// The module functions `mit_setpoint` and `register_reply`.
extern PyMethodDef mit_setpoint_def;
extern PyMethodDef register_reply_def;

// The wire table: the module attributes (a name and a new reference each,
// in registration order) and the frame makers, in registration order. The
// method table is made once and kept: the functions made from it point
// into it.
struct WireValue {
    const char* name;
    PyObject* value;
};
std::vector<WireValue> wire_values();
using WireFunctions = std::array<PyMethodDef, 8>;
WireFunctions wire_functions();

}  // namespace rotalink::py
