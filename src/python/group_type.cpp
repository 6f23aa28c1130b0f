// MotorGroup: many motors on many buses, one command cycle, one deadline;
// and GroupError, what a cycle raises when a member fails.

#include <sched.h>

#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "damiao/group.hpp"
#include "python/bus.hpp"
#include "python/group.hpp"
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

ROTALINK_SIGNATURE(kGroupNew, 6, "MotorGroup.__new__",
                   ROTALINK_DOC("MotorGroup", "(members, timeout_ms=20, fd=False, watchdog_ms=None, joint_limits=None, "
                                              "disable_timeout_ms=500)"),
                   1, "members", "timeout_ms", "fd", "watchdog_ms", "joint_limits", "disable_timeout_ms");

// How long the scope's exit retries a silent member by default.
constexpr std::uint64_t kDisableTimeoutMs = 500;
// The longest it may: a minute.
constexpr std::uint64_t kMaxDisableTimeoutMs = 60000;

// The largest watchdog the motor's register holds.
constexpr std::uint64_t kMaxWatchdogMs = UINT32_MAX / (1000 / damiao::kTimeoutUnitMicros);

// One (bus, motor) pair of `members`, at position `index`: the member in
// `out`, its bus object (borrowed: `pairs` keeps it) in `bus_objs`.
bool read_member(PyObject* item, std::size_t index, std::vector<PyObject*>& bus_objs,
                 std::vector<damiao::MemberOnBus>& out, Refs& pairs) {
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
    PyObject* kept = PyTuple_CheckExact(item) ? (Py_INCREF(item), item) : PyTuple_Pack(2, bus, motor);
    if (kept == nullptr) return false;
    pairs.objs.push_back(kept);
    bus_objs.push_back(bus);
    out.push_back({&shared_bus(bus), native<damiao::Damiao>(motor)});
    return true;
}

PyObject* group_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Signature<6>::Args a;
        if (!bind_tuple(kGroupNew, args, kwargs, a)) return nullptr;

        PyObject* it = PyObject_GetIter(a[0]);
        if (it == nullptr) {
            prefix_type_error("members");
            return nullptr;
        }
        std::vector<PyObject*> bus_objs;
        Refs pairs;
        std::vector<damiao::MemberOnBus> members;
        for (PyObject* item; (item = PyIter_Next(it)) != nullptr;) {
            const bool ok = read_member(item, members.size(), bus_objs, members, pairs);
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

        std::uint64_t watchdog_ms = 0;
        if (a[3] != nullptr && a[3] != Py_None) {
            if (!to_u64(a[3], "watchdog_ms", watchdog_ms)) return nullptr;
            if (watchdog_ms == 0 || watchdog_ms > kMaxWatchdogMs) {
                PyErr_Format(PyExc_ValueError,
                             "watchdog_ms must be None or from 1 to %llu milliseconds, got %llu",
                             static_cast<unsigned long long>(kMaxWatchdogMs),
                             static_cast<unsigned long long>(watchdog_ms));
                return nullptr;
            }
        }

        std::uint64_t disable_timeout_ms = kDisableTimeoutMs;
        if (a[5] != nullptr) {
            if (!to_u64(a[5], "disable_timeout_ms", disable_timeout_ms)) return nullptr;
            if (disable_timeout_ms > kMaxDisableTimeoutMs) {
                PyErr_Format(PyExc_ValueError, "disable_timeout_ms must be from 0 to %llu milliseconds, got %llu",
                             static_cast<unsigned long long>(kMaxDisableTimeoutMs),
                             static_cast<unsigned long long>(disable_timeout_ms));
                return nullptr;
            }
        }

        if (members.empty()) return raise({PyExc_ValueError, "a MotorGroup needs at least one member"});
        PyObject* joints = Py_None;
        if (a[4] != nullptr && a[4] != Py_None) {
            std::vector<std::optional<damiao::JointLimits>> limits(members.size());
            const auto take = [](PyObject* item, const ItemName& name, std::optional<damiao::JointLimits>& out) {
                if (item == Py_None) return true;
                char buf[48];
                if (!check_instance(item, joint_limits_type(), name.text(buf))) return false;
                out = native<damiao::JointLimits>(item);
                return true;
            };
            // A tuple first, so that an iterator is read once; one that is
            // not iterable gets read_per_member's message.
            joints = PySequence_Tuple(a[4]);
            if (joints == nullptr && !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
            PyErr_Clear();
            const bool read = read_per_member(members.size(), joints != nullptr ? joints : a[4], "joint_limits",
                                              limits.data(), take);
            if (!read) {
                Py_XDECREF(joints);
                return nullptr;
            }
            for (std::size_t i = 0; i < members.size(); ++i) members[i].joint = limits[i];
        } else {
            Py_INCREF(joints);
        }
        Refs kept_joints;
        kept_joints.objs.push_back(joints);
        // The buses, each once: one SharedBus per bus object.
        std::vector<transport::SharedBus*> shared;
        std::vector<GroupMember> grouped = damiao::group_by_bus(members, shared);
        Refs buses;
        for (transport::SharedBus* b : shared) {
            std::size_t k = 0;
            while (&shared_bus(bus_objs[k]) != b) ++k;
            Py_INCREF(bus_objs[k]);
            buses.objs.push_back(bus_objs[k]);
        }
        const std::string clash = damiao::identifier_clash(grouped);
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
        const std::size_t bus_count = shared.size();
        new (&record(obj)) GroupRecord{
            damiao::MotorGroup(std::move(grouped), bus_count, transport::Duration::from_millis(timeout_ms),
                               fd != 0),
            std::move(buses), std::move(kept), std::move(kept_joints), timeout_ms, watchdog_ms, disable_timeout_ms,
            std::move(shared)};
        return obj;
    });
}

// ------------------------------------------------------------- the cycle

PyObject* state_object(const MotorState& s) { return new_box(motor_state_type(), s); }

// "member 3 (motor_id=0x4): ", the head of a message about one member.
std::string member_head(const damiao::MotorGroup& g, std::size_t i) { return damiao::member_name(g.members(), i) + ": "; }

PyObject* new_group_error(const std::string& message, const std::vector<std::optional<MotorState>>& states,
                          const std::vector<std::string>& errors);

// A new GroupError of `f`: its message, the states of the members that
// answered (None for a command that returns none) and the messages of those
// that did not.
PyObject* new_group_error(const damiao::GroupFailure& f) { return new_group_error(f.message(), f.states, f.errors); }


// GroupError for the members of `results` that failed (`failed`, at least one).
template <class T>
PyObject* raise_group_error(const damiao::MotorGroup& g, const std::vector<Result<T, Error>>& results, std::size_t) {
    return raise_failure(*damiao::members_failed(g, results));
}

template <class T>
std::size_t count_failed(const std::vector<Result<T, Error>>& results) {
    std::size_t failed = 0;
    for (const Result<T, Error>& r : results) failed += r.ok() ? 0 : 1;
    return failed;
}

// Runs one cycle with `frames` into `c`. The interpreter lock is released
// for the native steps (taking the bus locks, sending or waiting, releasing
// the locks) and taken back only once every bus lock is released. With
// `skip` (a flag per member), the members flagged are left out and only the
// buses of the others are locked.
//
// A signal that interrupts the wait is handled as the interpreter's own
// blocking calls handle it: the bus locks are released, the interpreter
// lock is taken back and the handlers run. An exception one of them raises
// (KeyboardInterrupt for Ctrl-C) ends the call: false, with it set. If none
// raises, the locks are taken again and the wait goes on until the cycle's
// deadline, with the replies already taken. With `defer_signals` the
// handlers are left to run after the call (a disable that must finish).
ROTALINK_FORCED_UNWIND_HANDLER bool run_native(GroupRecord& rec, damiao::MotorGroup::Cycle& c,
                                               const std::vector<CanFrame>& frames, const char* skip,
                                               bool defer_signals) {
    for (bool begin = true;; begin = false) {
        damiao::MotorGroup::Progress progress = damiao::MotorGroup::Progress::Done;
        std::exception_ptr fault;
        PyThreadState* thread = PyEval_SaveThread();
        try {
            transport::PollWaiter waiter;
            progress = rec.group.locked_step(rec.shared.data(), c, frames, skip, begin, waiter);
        }
        ROTALINK_PASS_FORCED_UNWIND  // the thread is ending: no Python call on this path
        catch (...) {
            fault = std::current_exception();
        }
        PyEval_RestoreThread(thread);
        if (fault) std::rethrow_exception(fault);
        if (progress == damiao::MotorGroup::Progress::Done) return true;
        if (!defer_signals && PyErr_CheckSignals() < 0) return false;
    }
}

// What a cycle's results make: the list of MotorState, or GroupError. The
// group remembers each member's answer.
PyObject* results_object(const damiao::MotorGroup& g, const std::vector<MemberResult>& results) {
    g.remember(results);
    const std::size_t failed = count_failed(results);
    if (failed > 0) return raise_group_error(g, results, failed);
    PyObject* list = must(PyList_New(static_cast<Py_ssize_t>(results.size())), "a list");
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), new_box(motor_state_type(), results[i].value()));
    }
    return list;
}

// One cycle of `frames` to every member, as the group's commands run it.
PyObject* run_cycle(PyObject* self, const std::vector<CanFrame>& frames) {
    GroupRecord& rec = record(self);
    CycleSlot slot(rec);
    if (!run_native(rec, slot.get(), frames, nullptr, false)) return nullptr;
    return results_object(rec.group, slot.get().results());
}

// A new GroupError with `message`, the states of the members in `states`
// (None for the others) and the messages in `errors` ("" for none).
PyObject* new_group_error(const std::string& message, const std::vector<std::optional<MotorState>>& states,
                          const std::vector<std::string>& errors) {
    PyObject* type = group_error_type();
    if (type == nullptr) return nullptr;
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyObject* exc = PyObject_CallFunctionObjArgs(type, text, nullptr);
    Py_DECREF(text);
    if (exc == nullptr) return nullptr;
    const Py_ssize_t n = static_cast<Py_ssize_t>(states.size());
    PyObject* state_list = must(PyList_New(n), "a list");
    PyObject* error_list = must(PyList_New(n), "a list");
    for (Py_ssize_t i = 0; i < n; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        PyObject* state = Py_None;
        if (states[k]) {
            state = state_object(*states[k]);
        } else {
            Py_INCREF(state);
        }
        PyList_SET_ITEM(state_list, i, state);
        PyObject* error = Py_None;
        if (!errors[k].empty()) {
            error = new_text(errors[k]);
        } else {
            Py_INCREF(error);
        }
        PyList_SET_ITEM(error_list, i, error);
    }
    const bool set = PyObject_SetAttrString(exc, "states", state_list) == 0 &&
                     PyObject_SetAttrString(exc, "errors", error_list) == 0;
    Py_DECREF(state_list);
    Py_DECREF(error_list);
    if (!set) Py_CLEAR(exc);
    return exc;
}

}  // namespace

PythonHost::~PythonHost() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

const std::vector<MemberResult>* PythonHost::run(const std::vector<CanFrame>& frames, const char* skip, bool finish) {
    if (!run_native(rec_, slot_.get(), frames, skip, finish)) {
        keep();
        return nullptr;
    }
    return &slot_.get().results();
}

void PythonHost::exchange(transport::SharedBus& bus, const std::function<void(transport::CanTransport&)>& op) {
    bus.locked_releasing(without_interpreter, op);
}

void PythonHost::pause(transport::Duration d) {
    without_interpreter([d] { transport::sleep_for(d); });
}

bool PythonHost::go_on() {
    if (PyErr_CheckSignals() >= 0) return true;
    keep();
    return false;
}

void PythonHost::stop_loop(damiao::ControlLoop& loop) {
    without_interpreter([&loop] { loop.stop(); });
}

PyObject* PythonHost::restore() {
    PyObject* value = value_;
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
    return value;
}

void PythonHost::keep() {
    PyErr_Fetch(&type_, &value_, &tb_);
    PyErr_NormalizeException(&type_, &value_, &tb_);
}

namespace {

damiao::ScopeSettings scope_settings(const GroupRecord& rec) {
    damiao::ScopeSettings s;
    s.watchdog_ms = rec.watchdog_ms;
    s.disable_patience = transport::Duration::from_millis(rec.disable_timeout_ms);
    return s;
}

// Runs `op(member_index, bus)` for each member in turn, as a single command
// runs (the interpreter lock is held, and released only while the bus is
// busy); every member is tried, unless `op` returns nullopt: a signal
// handler raised, and the call ends with its exception. None, or GroupError
// naming those that failed.
template <class Op>
PyObject* each_member_on_bus(GroupRecord& rec, Op op) {
    // The caller's reference keeps the group, and so its buses, for the
    // whole call. Nothing here may call into Python while unwinding: a
    // thread ended at exit unwinds from the wait without the interpreter.
    const damiao::MotorGroup& g = rec.group;
    CommandScope command(rec);
    std::vector<Result<Unit, Error>> results;
    results.reserve(g.size());
    bool signalled = false;
    for (std::size_t i = 0; i < g.size(); ++i) {
        std::optional<Result<Unit, Error>> r = op(i, *rec.shared[g.members()[i].bus]);
        if (!r) return nullptr;
        signalled = signalled || (!r->ok() && interrupted(r->error()));
        results.push_back(std::move(*r));
    }
    if (signalled && PyErr_CheckSignals() < 0) return nullptr;
    const std::size_t failed = count_failed(results);
    if (failed > 0) return raise_group_error(g, results, failed);
    Py_RETURN_NONE;
}

// The same with one exchange per member, `op(member_index, transport)`.
template <class Op>
PyObject* each_member(GroupRecord& rec, Op op) {
    return each_member_on_bus(rec, [&](std::size_t i, transport::SharedBus& bus) -> std::optional<Result<Unit, Error>> {
        return bus_exchange<Unit>(bus, [&](transport::CanTransport& t) { return op(i, t); });
    });
}

// Writes every member's watchdog (its time-out register), when the group
// has one: None, or GroupError.
PyObject* write_watchdog(GroupRecord& rec) {
    PythonHost host(rec);
    const Result<Unit, damiao::ScopeError> written =
        damiao::write_watchdog(rec.group, rec.shared.data(), rec.watchdog_ms, host);
    if (written.ok()) Py_RETURN_NONE;
    if (written.error().kind == damiao::ScopeError::Kind::Stopped) {
        host.restore();
        return nullptr;
    }
    return raise_failure(*written.error().members);
}

template <std::uint8_t Command>
PyObject* special(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        if (refuse_while_looping(record(self))) return nullptr;
        if (Command == damiao::kEnable) {
            PyObject* written = write_watchdog(record(self));
            if (written == nullptr) return nullptr;
            Py_DECREF(written);
        }
        return run_cycle(self, record(self).group.special(Command));
    });
}

// Logs `text` as a warning of the "rotalink" logger: the logger's result,
// or nullptr with an exception set.
PyObject* warn(PyObject* text) {
    PyObject* logging = PyImport_ImportModule("logging");
    PyObject* logger = logging != nullptr ? PyObject_CallMethod(logging, "getLogger", "s", "rotalink") : nullptr;
    PyObject* done = logger != nullptr ? PyObject_CallMethod(logger, "warning", "sO", "%s", text) : nullptr;
    Py_XDECREF(logger);
    Py_XDECREF(logging);
    return done;
}

// Attaches the failure `failure` (a GroupError) to `exc`, an exception that
// is propagating: as a note where exceptions take notes, else as a warning
// of the "rotalink" logger. Any error doing so is reported as unraisable:
// `exc` must stay the one raised.
void attach_failure(PyObject* exc, PyObject* failure, const char* what) {
    PyObject* text = PyObject_Str(failure);
    PyObject* note = text != nullptr ? PyUnicode_FromFormat("%s: %U", what, text) : nullptr;
    Py_XDECREF(text);
    if (note == nullptr || !attach_note(exc, note)) PyErr_WriteUnraisable(failure);
    Py_XDECREF(note);
}

ROTALINK_NO_PARAMS(kGroupEnter, "MotorGroup.__enter__",
                   ROTALINK_DOC("__enter__", "($self)")
                   "Enable every member (writing the watchdog first, if the group has\n"
                   "one). If a member fails or answers with another status than ENABLED,\n"
                   "or a signal's handler raises during the enable, every member is\n"
                   "disabled again and the error is raised.");

PyObject* group_enter(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        GroupRecord& rec = record(self);
        PythonHost host(rec);
        const Result<std::vector<MotorState>, damiao::ScopeError> entered =
            rec.scope.enter(rec.group, rec.shared.data(), scope_settings(rec), host, rec.loop.lock().get());
        if (entered.ok()) {
            Py_INCREF(self);
            return self;
        }
        const damiao::ScopeError& e = entered.error();
        PyObject* exc = nullptr;
        switch (e.kind) {
            case damiao::ScopeError::Kind::Refused:
                PyErr_SetString(PyExc_RuntimeError, e.refusal.c_str());
                break;
            case damiao::ScopeError::Kind::Members:
                raise_failure(*e.members);
                break;
            case damiao::ScopeError::Kind::Stopped:
                host.restore();
                break;
        }
        if (!e.cleanup) return nullptr;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        exc = value;
        PyObject* disable_error = new_group_error(*e.cleanup);
        if (disable_error != nullptr) {
            attach_failure(exc, disable_error, damiao::kEnterCleanupNote);
            Py_DECREF(disable_error);
        } else {
            PyErr_WriteUnraisable(exc);
        }
        PyErr_Restore(type, value, tb);
        return nullptr;
    });
}

ROTALINK_SIGNATURE(kGroupExit, 3, "MotorGroup.__exit__",
                   ROTALINK_DOC("__exit__", "($self, exc_type, exc_value, traceback)")
                   "Disable every member until each one's feedback reports it stopped\n"
                   "(DISABLED or a fault): one still ENABLED gets three disables, a silent\n"
                   "one is retried for disable_timeout_ms; signals wait until it is over.\n"
                   "If members still fail, the exception leaving the block stays the one\n"
                   "raised and carries the failure; without one, GroupError is raised.",
                   3, "exc_type", "exc_value", "traceback");

PyObject* group_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<3>::Args a;
        if (!bind_vector(kGroupExit, args, nargs, kwnames, a)) return nullptr;
        // A control loop still running is stopped first: the disable is the
        // last the members hear. The reference keeps the native loop while
        // the interpreter is released, whatever other threads drop.
        GroupRecord& rec = record(self);
        const std::shared_ptr<damiao::ControlLoop> loop = rec.loop.lock();
        std::optional<damiao::GroupFailure> failed;
        {
            PythonHost host(rec);
            failed = rec.scope.exit(rec.group, rec.shared.data(), scope_settings(rec), host, loop.get());
        }
        if (failed) {
            PyObject* failure = new_group_error(*failed);
            if (failure == nullptr) return nullptr;
            if (a[1] == Py_None) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure)), failure);
                Py_DECREF(failure);
                return nullptr;
            }
            attach_failure(a[1], failure, damiao::kExitNote);
            Py_DECREF(failure);
        }
        Py_RETURN_FALSE;
    });
}

ROTALINK_SIGNATURE(kGroupHold, 2, "MotorGroup.hold",
                   ROTALINK_DOC("hold", "($self, kp, kd)")
                   "An MIT command to every member that holds it where it last reported\n"
                   "itself: that position, no velocity, no torque, gains kp and kd. A\n"
                   "member the group has not heard from yet is refreshed first.",
                   2, "kp", "kd");

PyObject* group_hold(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<2>::Args a;
        if (!bind_vector(kGroupHold, args, nargs, kwnames, a)) return nullptr;
        float kp = 0.0f;
        float kd = 0.0f;
        if (!to_f32(a[0], "kp", kp) || !to_f32(a[1], "kd", kd)) return nullptr;
        GroupRecord& rec = record(self);
        if (refuse_while_looping(rec)) return nullptr;
        const damiao::MotorGroup& g = rec.group;
        const std::optional<damiao::MotorGroup::Refusal> refused = g.hold_refused(kp, kd);
        if (refused) return raise_refusal(g, *refused);
        std::vector<char> heard(g.size());
        bool all = true;
        for (std::size_t i = 0; i < g.size(); ++i) all = (heard[i] = g.last()[i].has_value()) && all;
        if (!all) {
            CycleSlot slot(rec);
            if (!run_native(rec, slot.get(), g.refresh(), heard.data(), false)) return nullptr;
            std::vector<MemberResult> results = slot.get().results();
            for (std::size_t i = 0; i < g.size(); ++i) {
                if (heard[i]) results[i] = *g.last()[i];
            }
            g.remember(results);
            const std::size_t failed = count_failed(results);
            if (failed > 0) return raise_group_error(g, results, failed);
        }
        Result<std::vector<CanFrame>, damiao::MotorGroup::Refusal> frames = g.hold(kp, kd);
        if (!frames.ok()) return raise_refusal(g, frames.error());
        return run_cycle(self, frames.value());
    });
}

ROTALINK_SIGNATURE(kGroupMit, 1, "MotorGroup.mit_control",
                   ROTALINK_DOC("mit_control", "($self, setpoints)"), 1, "setpoints");
ROTALINK_SIGNATURE(kGroupControl, 1, "MotorGroup.control",
                   ROTALINK_DOC("control", "($self, setpoints)")
                   "One cycle of commands of any kinds: one setpoint per member, each\n"
                   "sent as its class's command.", 1, "setpoints");

// One cycle of the setpoints in `obj`, one per member, each read by `take`
// (which checks its class), clamped and encoded before anything is sent. A
// refused command's message names the member, or (`as_single`) is the one
// the member's single command would raise.
template <class Take>
PyObject* control_cycle(PyObject* self, PyObject* obj, Take take, bool as_single) {
    const damiao::MotorGroup& g = record(self).group;
    if (refuse_while_looping(record(self))) return nullptr;
    Scratch<damiao::Setpoint> scratch;
    damiao::Setpoint* setpoints = scratch.data(g.size());
    if (!read_per_member(g.size(), obj, "setpoints", setpoints, take)) return nullptr;
    Result<std::vector<CanFrame>, damiao::MotorGroup::Refusal> frames = g.control(setpoints);
    if (!frames.ok()) return as_single ? raise(dm_err_to_py(frames.error().error)) : raise_refusal(g, frames.error());
    return run_cycle(self, frames.value());
}

PyObject* group_mit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kGroupMit, args, nargs, kwnames, a)) return nullptr;
        const auto take = [](PyObject* item, const ItemName& name, damiao::Setpoint& out) {
            if (!PyObject_TypeCheck(item, mit_setpoint_type())) {
                char buf[48];
                return check_instance(item, mit_setpoint_type(), name.text(buf));
            }
            out = setpoint_of(item);
            return true;
        };
        return control_cycle(self, a[0], take, true);
    });
}

PyObject* group_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kGroupControl, args, nargs, kwnames, a)) return nullptr;
        return control_cycle(self, a[0], take_setpoint, false);
    });
}

PyObject* group_refresh(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        if (refuse_while_looping(record(self))) return nullptr;
        return run_cycle(self, record(self).group.refresh());
    });
}

ROTALINK_SIGNATURE(kGroupEnsureMode, 1, "MotorGroup.ensure_mode",
                   ROTALINK_DOC("ensure_mode", "($self, modes)")
                   "Put every member in its control mode: `modes` is one ControlMode for\n"
                   "all, or one per member. Each member's register 10 is written only\n"
                   "when it differs, then read back; a member that reports itself\n"
                   "enabled is refused, nothing written.", 1, "modes");

// Each member's mode, member after member, as Damiao.ensure_mode does it
// (`switch_mode`): the bus is let go during each member's pause.
PyObject* group_ensure_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kGroupEnsureMode, args, nargs, kwnames, a)) return nullptr;
        GroupRecord& rec = record(self);
        if (refuse_while_looping(rec)) return nullptr;
        const damiao::MotorGroup& g = rec.group;
        std::vector<std::uint8_t> modes(g.size());
        if (PyIndex_Check(a[0])) {
            if (!mode_arg(a[0], "modes", modes[0])) return nullptr;
            for (std::uint8_t& m : modes) m = modes[0];
        } else {
            const auto take = [](PyObject* item, const ItemName& name, std::uint8_t& out) {
                char buf[48];  // a mode is read once per call: not worth sparing
                return mode_arg(item, name.text(buf), out);
            };
            if (!read_per_member(g.size(), a[0], "modes", modes.data(), take)) return nullptr;
        }
        // A member switched is known in its mode (for the fallback of its
        // special commands to the mode's identifier).
        return each_member_on_bus(rec, [&](std::size_t i, transport::SharedBus& bus) {
            std::optional<Result<Unit, Error>> r = switch_mode(bus, g.members()[i].motor, modes[i]);
            if (r && r->ok()) g.know_kind(i, damiao::kind_of_mode(modes[i]));
            return r;
        });
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

PyObject* get_watchdog_ms(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const std::uint64_t ms = record(self).watchdog_ms;
        if (ms == 0) Py_RETURN_NONE;
        return must(PyLong_FromUnsignedLongLong(ms), "an int");
    });
}

PyObject* get_joint_limits(PyObject* self, void*) {
    PyObject* joints = record(self).joints.objs[0];
    Py_INCREF(joints);
    return joints;
}

PyObject* get_clamped(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const std::vector<std::uint64_t>& clamped = record(self).group.clamped();
        PyObject* tuple = must(PyTuple_New(static_cast<Py_ssize_t>(clamped.size())), "a tuple");
        for (std::size_t i = 0; i < clamped.size(); ++i) {
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), must(PyLong_FromUnsignedLongLong(clamped[i]), "an int"));
        }
        return tuple;
    });
}

ROTALINK_SIGNATURE(kGroupStart, 7, "MotorGroup.start",
                   ROTALINK_DOC("start", "($self, rate_hz, hold_ms=100, priority=None, cpu=None, stop_on_fault=True, "
                                         "blend_ms=0, record=None)")
                   "Run the group's cycle in a native thread, rate_hz times a second, and\n"
                   "return its ControlLoop. Until its first set() every cycle is a\n"
                   "refresh. With no set() for hold_ms, a member silent for as long, or\n"
                   "(stop_on_fault) a member reporting a fault, the loop disables every\n"
                   "member and stops. priority (1..99) runs the thread SCHED_FIFO, cpu\n"
                   "pins it to that CPU. blend_ms blends the first setpoints after the\n"
                   "start and after a move in from where each member is (0: none).\n"
                   "record (a path, or a binary file) writes every cycle to MCAP\n"
                   "(rotalink[record]); a path that is a directory gets a rosbag2 bag.",
                   1, "rate_hz", "hold_ms", "priority", "cpu", "stop_on_fault", "blend_ms", "record");

// An integer argument from `low` to `high` (`none`: or None, which leaves
// `out` unchanged); false with an exception set.
bool int_in_range(PyObject* obj, const char* name, long long low, long long high, bool none, long long& out) {
    if (obj == nullptr || (none && obj == Py_None)) return true;
    std::uint64_t v = 0;
    if (!to_u64(obj, name, v) || v < static_cast<std::uint64_t>(low) || v > static_cast<std::uint64_t>(high)) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyObject* text = PyObject_Repr(obj);
        if (text == nullptr) return false;
        PyErr_Format(PyExc_ValueError, "%s must be %sfrom %lld to %lld, got %U", name, none ? "None or " : "", low,
                     high, text);
        Py_DECREF(text);
        return false;
    }
    out = static_cast<long long>(v);
    return true;
}

PyObject* group_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<7>::Args a;
        if (!bind_vector(kGroupStart, args, nargs, kwnames, a)) return nullptr;
        RecordRequest recording;
        recording.target = a[6];
        return start_group(self, a.data(), recording);
    });
}

}  // namespace

PyObject* start_group(PyObject* self, PyObject* const* a, const RecordRequest& recording) {
    return guard([&]() -> PyObject* {
        const double rate = PyFloat_AsDouble(a[0]);
        if (rate == -1.0 && PyErr_Occurred()) {
            prefix_type_error("rate_hz");
            return nullptr;
        }
        if (!(rate > 0.0 && rate <= damiao::kMaxRateHz)) {
            PyErr_Format(PyExc_ValueError, "rate_hz must be above 0 and at most %d, got %R",
                         static_cast<int>(damiao::kMaxRateHz), a[0]);
            return nullptr;
        }
        const Result<transport::Duration, std::string> period = damiao::period_of_rate(rate);
        if (!period.ok()) return raise({PyExc_ValueError, period.error()});
        std::uint64_t hold_ms = 100;
        if (a[1] != nullptr && !to_u64(a[1], "hold_ms", hold_ms)) return nullptr;
        if (hold_ms == 0) return raise({PyExc_ValueError, "hold_ms must be at least 1"});
        long long priority = 0;
        long long cpu = -1;
        if (!int_in_range(a[2], "priority", 1, 99, true, priority)) return nullptr;
        if (!int_in_range(a[3], "cpu", 0, CPU_SETSIZE - 1, true, cpu)) return nullptr;
        int stop_on_fault = 1;
        if (a[4] != nullptr && (stop_on_fault = PyObject_IsTrue(a[4])) < 0) return nullptr;
        long long blend_ms = 0;
        if (!int_in_range(a[5], "blend_ms", 0, static_cast<long long>(damiao::kMaxBlendMillis), false, blend_ms)) return nullptr;
        GroupRecord& rec = record(self);
        if (refuse_while_looping(rec)) return nullptr;
        // A command of another thread that released the interpreter mid-cycle
        // uses the group's cycle state, as the loop would.
        if (rec.commands > 0) return raise({PyExc_RuntimeError, "a command of the group is under way in another thread"});
        damiao::LoopOptions options;
        options.period = period.value();
        options.hold = transport::Duration::from_millis(hold_ms);
        options.stop_on_fault = stop_on_fault != 0;
        options.blend = transport::Duration::from_millis(static_cast<std::uint64_t>(blend_ms));
        return start_loop(self, rate, options, static_cast<int>(priority), static_cast<int>(cpu), recording);
    });
}

namespace {

PyGetSetDef group_getset[] = {
    {"members", get_members, nullptr, nullptr, nullptr},
    {"watchdog_ms", get_watchdog_ms, nullptr, nullptr, nullptr},
    {"joint_limits", get_joint_limits, nullptr, nullptr, nullptr},
    {"clamped", get_clamped, nullptr, nullptr, nullptr},
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
    method<&kGroupHold>(group_hold),
    method<&kGroupEnter>(group_enter),
    method<&kGroupExit>(group_exit),
    method<&kGroupStart>(group_start),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool take_setpoint(PyObject* item, const ItemName& name, damiao::Setpoint& out) {
    if (setpoint_kind(item) == damiao::kCommandKindCount) {
        char buf[48];
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not a setpoint (%s)", name.text(buf),
                     type_name(Py_TYPE(item)), setpoint_class_names());
        return false;
    }
    out = setpoint_of(item);
    return true;
}

bool attach_note(PyObject* exc, PyObject* note) {
    PyObject* done = PyObject_HasAttrString(exc, "add_note") ? PyObject_CallMethod(exc, "add_note", "O", note)
                                                              : warn(note);
    Py_XDECREF(done);
    return done != nullptr;
}

void log_warning(const std::string& text) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // an exception on its way is kept
    PyObject* str = new_text(text);
    PyObject* done = warn(str);
    if (done == nullptr) PyErr_WriteUnraisable(str);
    Py_XDECREF(done);
    Py_DECREF(str);
    PyErr_Restore(type, value, tb);
}

PyObject* raise_refusal(const damiao::MotorGroup& g, const damiao::MotorGroup::Refusal& r) {
    PendingError e = dm_err_to_py(r.error);
    return raise({e.type, member_head(g, r.member) + e.message});
}

PyObject* raise_failure(const damiao::GroupFailure& f) {
    PyObject* exc = new_group_error(f);
    if (exc != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
    }
    return nullptr;
}

bool refuse_while_looping(const GroupRecord& rec) {
    const std::shared_ptr<damiao::ControlLoop> loop = rec.loop.lock();
    if (!loop || !loop->running()) return false;
    PyErr_SetString(PyExc_RuntimeError, "control loop running");
    return true;
}

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
