// MotorGroup: many motors on many buses, one command cycle, one deadline;
// and GroupError, what a cycle raises when a member fails.

#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "damiao/group.hpp"
#include "python/bus.hpp"
#include "python/classes.hpp"
#include "python/method_def.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::py {
namespace {

using damiao::Error;
using damiao::GroupMember;
using damiao::MemberResult;
using damiao::mit::MitSetpoint;
using damiao::mit::MotorState;
using transport::CanFrame;

PyTypeObject* g_group = nullptr;
PyObject* g_group_error = nullptr;

// Owned references, released together unless handed over.
struct Refs {
    std::vector<PyObject*> objs;
    Refs() = default;
    Refs(Refs&& o) noexcept : objs(std::move(o.objs)) { o.objs.clear(); }
    Refs& operator=(Refs&&) = delete;
    ~Refs() {
        for (PyObject* o : objs) Py_DECREF(o);
    }
};

// The record behind a MotorGroup object: the native group, the bus objects
// it commands (bus i of the group) and the members as given.
struct GroupRecord {
    damiao::MotorGroup group;
    Refs buses;
    Refs members;  // one object: the tuple of (bus, motor) pairs
    std::uint64_t timeout_ms;
    std::vector<transport::SharedBus*> shared;  // the buses' locks and transports, bus i at i
    // The state of a cycle, kept from one to the next; `cycle_busy` (read
    // and set with the interpreter lock held) while a cycle uses it.
    damiao::MotorGroup::Cycle cycle{};
    bool cycle_busy = false;
};

GroupRecord& record(PyObject* self) { return native<GroupRecord>(self); }

ROTALINK_SIGNATURE(kGroupNew, 3, "MotorGroup.__new__",
                   ROTALINK_DOC("MotorGroup", "(members, timeout_ms=20, fd=False)"), 1, "members",
                   "timeout_ms", "fd");

// One (bus, motor) pair of `members`, at position `index`.
bool read_member(PyObject* item, std::size_t index, Refs& buses, std::vector<GroupMember>& out,
                 Refs& pairs) {
    char name[40];
    std::snprintf(name, sizeof name, "members[%zu]", index);
    const bool pair = (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2) ||
                      (PyList_Check(item) && PyList_GET_SIZE(item) == 2);
    if (!pair) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a (SocketCanTransport, Damiao) pair, got '%s'", name,
                     type_name(Py_TYPE(item)));
        return false;
    }
    PyObject* bus = PySequence_Fast_GET_ITEM(item, 0);
    PyObject* motor = PySequence_Fast_GET_ITEM(item, 1);
    if (!check_instance(bus, socketcan_transport_type(), name) ||
        !check_instance(motor, damiao_type(), name)) {
        return false;
    }
    std::size_t b = 0;
    while (b < buses.objs.size() && buses.objs[b] != bus) ++b;
    if (b == buses.objs.size()) {
        Py_INCREF(bus);
        buses.objs.push_back(bus);
    }
    PyObject* kept = PyTuple_CheckExact(item) ? (Py_INCREF(item), item) : PyTuple_Pack(2, bus, motor);
    if (kept == nullptr) return false;
    pairs.objs.push_back(kept);
    out.push_back({b, native<damiao::Damiao>(motor)});
    return true;
}

PyObject* group_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<3>::Args a;
        if (!bind_tuple(kGroupNew, args, kwargs, a)) return nullptr;

        PyObject* it = PyObject_GetIter(a[0]);
        if (it == nullptr) {
            prefix_type_error("members");
            return nullptr;
        }
        Refs buses;
        Refs pairs;
        std::vector<GroupMember> members;
        for (PyObject* item; (item = PyIter_Next(it)) != nullptr;) {
            const bool ok = read_member(item, members.size(), buses, members, pairs);
            Py_DECREF(item);
            if (!ok) {
                Py_DECREF(it);
                return nullptr;
            }
        }
        Py_DECREF(it);
        if (PyErr_Occurred()) return nullptr;

        std::uint64_t timeout_ms = 20;
        if (a[1] != nullptr && !to_u64(a[1], "timeout_ms", timeout_ms)) return nullptr;
        int fd = 0;
        if (a[2] != nullptr && (fd = PyObject_IsTrue(a[2])) < 0) return nullptr;

        if (members.empty()) return raise({PyExc_ValueError, "a MotorGroup needs at least one member"});
        const std::string clash = damiao::identifier_clash(members);
        if (!clash.empty()) return raise({PyExc_ValueError, clash});

        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(pairs.objs.size()));
        if (tuple == nullptr) return nullptr;
        for (std::size_t i = 0; i < pairs.objs.size(); ++i) {
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), pairs.objs[i]);  // steals
        }
        pairs.objs.clear();
        Refs kept;
        kept.objs.push_back(tuple);

        PyObject* obj = type->tp_alloc(type, 0);
        if (obj == nullptr) return nullptr;
        const std::size_t bus_count = buses.objs.size();
        std::vector<transport::SharedBus*> shared;
        for (PyObject* b : buses.objs) shared.push_back(&shared_bus(b));
        new (&record(obj)) GroupRecord{
            damiao::MotorGroup(std::move(members), bus_count, transport::Duration::from_millis(timeout_ms),
                               fd != 0),
            std::move(buses), std::move(kept), timeout_ms, std::move(shared), {}, false};
        return obj;
    });
}

// ------------------------------------------------------------- the cycle

PyObject* state_object(const MotorState& s) { return new_box(motor_state_type(), s); }
PyObject* state_object(const Unit&) { Py_RETURN_NONE; }

// "member 3 (motor_id=0x4): ", the head of a message about one member.
std::string member_head(const damiao::MotorGroup& g, std::size_t i) {
    char head[64];
    std::snprintf(head, sizeof head, "member %zu (motor_id=0x%x): ", i,
                  static_cast<unsigned>(g.members()[i].motor.motor_id));
    return head;
}

// The message of a GroupError: how many failed, and the first of them.
template <class T>
std::string group_message(const damiao::MotorGroup& g, const std::vector<Result<T, Error>>& results,
                          std::size_t failed) {
    std::size_t first = 0;
    while (results[first].ok()) ++first;
    return std::to_string(failed) + " of " + std::to_string(results.size()) + " members failed; " +
           member_head(g, first) + results[first].error().message();
}

// Raises GroupError with the states of the members that answered (None for
// a command that returns none) and the messages of those that did not.
template <class T>
PyObject* raise_group_error(const damiao::MotorGroup& g, const std::vector<Result<T, Error>>& results,
                            std::size_t failed) {
    PyObject* type = group_error_type();
    if (type == nullptr) return nullptr;
    const std::string message = group_message(g, results, failed);
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyObject* exc = PyObject_CallFunctionObjArgs(type, text, nullptr);
    Py_DECREF(text);
    if (exc == nullptr) return nullptr;
    const Py_ssize_t n = static_cast<Py_ssize_t>(results.size());
    PyObject* states = must(PyList_New(n), "a list");
    PyObject* errors = must(PyList_New(n), "a list");
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Result<T, Error>& r = results[static_cast<std::size_t>(i)];
        if (r.ok()) {
            PyList_SET_ITEM(states, i, state_object(r.value()));
            Py_INCREF(Py_None);
            PyList_SET_ITEM(errors, i, Py_None);
        } else {
            Py_INCREF(Py_None);
            PyList_SET_ITEM(states, i, Py_None);
            PyList_SET_ITEM(errors, i, new_text(r.error().message()));
        }
    }
    const bool set = PyObject_SetAttrString(exc, "states", states) == 0 &&
                     PyObject_SetAttrString(exc, "errors", errors) == 0;
    Py_DECREF(states);
    Py_DECREF(errors);
    if (set) PyErr_SetObject(type, exc);
    Py_DECREF(exc);
    return nullptr;
}

// Runs one cycle with `frames` and makes its result: a list of MotorState,
// or GroupError. The interpreter lock is released for the native steps
// (taking the bus locks, sending or waiting, releasing the locks) and taken
// back only once every bus lock is released.
//
// A signal that interrupts the wait is handled as the interpreter's own
// blocking calls handle it: the bus locks are released, the interpreter
// lock is taken back and the handlers run. An exception one of them raises
// (KeyboardInterrupt for Ctrl-C) is what the call raises; if none raises,
// the locks are taken again and the wait goes on until the cycle's
// deadline, with the replies already taken.
ROTALINK_FORCED_UNWIND_HANDLER PyObject* run_cycle(PyObject* self, const std::vector<CanFrame>& frames) {
    GroupRecord& rec = record(self);
    const damiao::MotorGroup& g = rec.group;
    // The record's cycle state, unless another thread's cycle of this group
    // is using it (running its signal handlers between two steps).
    damiao::MotorGroup::Cycle own;
    const bool shared_state = !rec.cycle_busy;
    damiao::MotorGroup::Cycle& c = shared_state ? rec.cycle : own;
    struct Busy {
        bool* flag;
        ~Busy() {
            if (flag != nullptr) *flag = false;
        }
    } busy{shared_state ? &rec.cycle_busy : nullptr};
    if (shared_state) rec.cycle_busy = true;

    bool started = false;
    for (;;) {
        damiao::MotorGroup::Progress progress = damiao::MotorGroup::Progress::Done;
        std::exception_ptr fault;
        PyThreadState* thread = PyEval_SaveThread();
        try {
            transport::SharedBus::locked_all(rec.shared.data(), rec.shared.size(),
                                             [&](transport::CanTransport* const* ts, std::size_t) {
                                                 transport::PollWaiter waiter;
                                                 if (!started) g.start(c, ts, frames);
                                                 started = true;
                                                 progress = g.collect(c, ts, waiter);
                                             });
        }
        ROTALINK_PASS_FORCED_UNWIND  // the thread is ending: no Python call on this path
        catch (...) {
            fault = std::current_exception();
        }
        PyEval_RestoreThread(thread);
        if (fault) std::rethrow_exception(fault);
        if (progress == damiao::MotorGroup::Progress::Done) break;
        if (PyErr_CheckSignals() < 0) return nullptr;
    }

    const std::vector<MemberResult>& results = c.results();
    std::size_t failed = 0;
    for (const MemberResult& r : results) failed += r.ok() ? 0 : 1;
    if (failed > 0) return raise_group_error(g, results, failed);
    PyObject* list = must(PyList_New(static_cast<Py_ssize_t>(results.size())), "a list");
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), new_box(motor_state_type(), results[i].value()));
    }
    return list;
}

template <std::uint8_t Command>
PyObject* special(PyObject* self, PyObject*) {
    return guard([&] { return run_cycle(self, record(self).group.special(Command)); });
}

ROTALINK_SIGNATURE(kGroupMit, 1, "MotorGroup.mit_control",
                   ROTALINK_DOC("mit_control", "($self, setpoints)"), 1, "setpoints");
ROTALINK_SIGNATURE(kGroupControl, 1, "MotorGroup.control",
                   ROTALINK_DOC("control", "($self, setpoints)")
                   "One cycle of commands of any kinds: one setpoint per member, each\n"
                   "sent as its class's command.", 1, "setpoints");

// The name of item i of argument `arg` ("setpoints[3]"), made only for an
// error: formatting it for every item would cost more than the cycle's own
// work.
struct ItemName {
    const char* arg;
    Py_ssize_t index;
    const char* text(char (&buf)[32]) const {
        std::snprintf(buf, sizeof buf, "%s[%zd]", arg, index);
        return buf;
    }
};

// Copies the values in `obj`, the argument `arg` ("setpoints"), one per
// member of `g`, into `out` with `take(item, name, out[i])`, which checks
// the item; false with an exception set.
template <class T, class Take>
bool read_per_member(const damiao::MotorGroup& g, PyObject* obj, const char* arg, T* out, Take take) {
    PyObject* seq = PySequence_Fast(obj, "");
    if (seq == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not iterable", arg,
                         type_name(Py_TYPE(obj)));
        }
        return false;
    }
    struct Release {
        PyObject* obj;
        ~Release() { Py_DECREF(obj); }
    } release{seq};
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (static_cast<std::size_t>(n) != g.size()) {
        PyErr_Format(PyExc_ValueError, "expected %zu %s, one per member, got %zd", g.size(), arg, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!take(PySequence_Fast_GET_ITEM(seq, i), ItemName{arg, i}, out[i])) return false;
    }
    return true;
}

// Up to 16 values on the stack, more on the heap. No Python object is held
// once the setpoints are copied: the cycle's wait gives up the interpreter
// lock, and a thread ended at exit unwinds from there without it.
template <class T>
struct Scratch {
    T few[16];
    std::vector<T> many;
    T* data(std::size_t n) {
        if (n <= 16) return few;
        many.resize(n);
        return many.data();
    }
};

PyObject* group_mit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kGroupMit, args, nargs, kwnames, a)) return nullptr;
        const damiao::MotorGroup& g = record(self).group;
        Scratch<MitSetpoint> scratch;
        MitSetpoint* setpoints = scratch.data(g.size());
        const auto take = [](PyObject* item, const ItemName& name, MitSetpoint& out) {
            if (!PyObject_TypeCheck(item, mit_setpoint_type())) {
                char buf[32];
                return check_instance(item, mit_setpoint_type(), name.text(buf));
            }
            out = damiao::as_mit(setpoint_of(item));
            return true;
        };
        if (!read_per_member(g, a[0], "setpoints", setpoints, take)) return nullptr;
        Result<std::vector<CanFrame>, damiao::mit::LimitDomainError> frames = g.mit(setpoints);
        if (!frames.ok()) return raise(dm_err_to_py(Error::limit_domain(frames.error())));
        return run_cycle(self, frames.value());
    });
}

PyObject* group_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kGroupControl, args, nargs, kwnames, a)) return nullptr;
        const damiao::MotorGroup& g = record(self).group;
        Scratch<damiao::Setpoint> scratch;
        damiao::Setpoint* setpoints = scratch.data(g.size());
        const auto take = [](PyObject* item, const ItemName& name, damiao::Setpoint& out) {
            if (setpoint_kind(item) == damiao::kCommandKindCount) {
                char buf[32];
                PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not a setpoint (%s)",
                             name.text(buf), type_name(Py_TYPE(item)), setpoint_class_names());
                return false;
            }
            out = setpoint_of(item);
            return true;
        };
        if (!read_per_member(g, a[0], "setpoints", setpoints, take)) return nullptr;
        Result<std::vector<CanFrame>, damiao::MotorGroup::Refusal> frames = g.control(setpoints);
        if (!frames.ok()) {
            const damiao::MotorGroup::Refusal& r = frames.error();
            PendingError e = dm_err_to_py(r.error);
            return raise({e.type, member_head(g, r.member) + e.message});
        }
        return run_cycle(self, frames.value());
    });
}

PyObject* group_refresh(PyObject* self, PyObject*) {
    return guard([&] { return run_cycle(self, record(self).group.refresh()); });
}

ROTALINK_SIGNATURE(kGroupEnsureMode, 1, "MotorGroup.ensure_mode",
                   ROTALINK_DOC("ensure_mode", "($self, modes)")
                   "Put every member in its control mode: `modes` is one ControlMode for\n"
                   "all, or one per member. Each member's register 10 is written only\n"
                   "when it differs, then read back.", 1, "modes");

// Each member's mode, member after member, as a single command does it: the
// interpreter lock is held, and released only while the bus is busy.
PyObject* group_ensure_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kGroupEnsureMode, args, nargs, kwnames, a)) return nullptr;
        GroupRecord& rec = record(self);
        const damiao::MotorGroup& g = rec.group;
        std::vector<std::uint8_t> modes(g.size());
        if (PyIndex_Check(a[0])) {
            if (!mode_arg(a[0], "modes", modes[0])) return nullptr;
            for (std::uint8_t& m : modes) m = modes[0];
        } else {
            const auto take = [](PyObject* item, const ItemName& name, std::uint8_t& out) {
                char buf[32];  // a mode is read once per call: not worth sparing
                return mode_arg(item, name.text(buf), out);
            };
            if (!read_per_member(g, a[0], "modes", modes.data(), take)) return nullptr;
        }
        // The caller's reference keeps the group, and so its buses, for the
        // whole call. Nothing here may call into Python while unwinding: a
        // thread ended at exit unwinds from the wait without the interpreter.
        std::vector<Result<Unit, Error>> results;
        results.reserve(g.size());
        std::size_t failed = 0;
        bool signalled = false;
        for (std::size_t i = 0; i < g.size(); ++i) {
            const damiao::GroupMember& m = g.members()[i];
            Result<Unit, Error> r = err(Error::transport(transport::TransportError::timeout()));
            rec.shared[m.bus]->locked_releasing(without_interpreter, [&](transport::CanTransport& t) {
                r = m.motor.ensure_control_mode(t, modes[i]);
            });
            if (!r.ok()) {
                ++failed;
                signalled = signalled || interrupted(r.error());
            }
            results.push_back(std::move(r));
        }
        if (signalled && PyErr_CheckSignals() < 0) return nullptr;
        if (failed > 0) return raise_group_error(g, results, failed);
        Py_RETURN_NONE;
    });
}

PyObject* group_repr(PyObject* self) {
    return guard([&] {
        const GroupRecord& rec = record(self);
        char buf[128];
        std::snprintf(buf, sizeof buf, "MotorGroup(members=%zu, buses=%zu, timeout_ms=%llu, fd=%s)",
                      rec.group.size(), rec.group.bus_count(),
                      static_cast<unsigned long long>(rec.timeout_ms), rec.group.fd() ? "True" : "False");
        return new_text(buf);
    });
}

Py_ssize_t group_len(PyObject* self) { return static_cast<Py_ssize_t>(record(self).group.size()); }

PyObject* get_members(PyObject* self, void*) {
    PyObject* tuple = record(self).members.objs[0];
    Py_INCREF(tuple);
    return tuple;
}

PyObject* get_timeout_ms(PyObject* self, void*) {
    return guard([&] { return must(PyLong_FromUnsignedLongLong(record(self).timeout_ms), "an int"); });
}

PyObject* get_fd(PyObject* self, void*) { return PyBool_FromLong(record(self).group.fd() ? 1 : 0); }

PyGetSetDef group_getset[] = {
    {"members", get_members, nullptr, nullptr, nullptr},
    {"timeout_ms", get_timeout_ms, nullptr, nullptr, nullptr},
    {"fd", get_fd, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// One method per special command, from the driver's list.
#define ROTALINK_SPECIAL_SIGNATURE(name, constant, byte) \
    ROTALINK_NO_PARAMS(constant##Sig, "MotorGroup." #name, ROTALINK_DOC(#name, "($self)"));
ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_SIGNATURE)
#undef ROTALINK_SPECIAL_SIGNATURE

ROTALINK_NO_PARAMS(kGroupRefresh, "MotorGroup.refresh",
                   ROTALINK_DOC("refresh", "($self)") "Every member's feedback, in one cycle, commanding nothing.");

PyMethodDef group_methods[] = {
#define ROTALINK_SPECIAL_METHOD(name, constant, byte) method<&constant##Sig>(special<damiao::constant>),
    ROTALINK_SPECIAL_COMMANDS(ROTALINK_SPECIAL_METHOD)
#undef ROTALINK_SPECIAL_METHOD
    method<&kGroupMit>(group_mit),
    method<&kGroupControl>(group_control),
    method<&kGroupRefresh>(group_refresh),
    method<&kGroupEnsureMode>(group_ensure_mode),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* motor_group_type() {
    return class_object(g_group, {"rotalink.MotorGroup", kGroupNew.doc, sizeof(Box<GroupRecord>), group_new,
                                  dealloc_box<GroupRecord>, group_repr, group_getset, group_methods, group_len});
}

PyObject* group_error_type() {
    if (g_group_error != nullptr) return g_group_error;
    g_group_error = PyErr_NewExceptionWithDoc(
        "rotalink.GroupError",
        "Raised by a MotorGroup command when one or more members failed, once the\n"
        "whole cycle is over. `states` holds, in member order, the MotorState of\n"
        "every member that answered and None for the others; `errors` holds the\n"
        "message each failed member's own command would have raised, and None\n"
        "for the others.",
        PyExc_RuntimeError, nullptr);
    return g_group_error;
}

}  // namespace rotalink::py
