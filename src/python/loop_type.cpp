// ControlLoop, a group's cycle in a native thread at a fixed rate, and
// LoopStats, its timing.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "python/bus.hpp"
#include "python/classes.hpp"
#include "python/group.hpp"
#include "python/method_def.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace rotalink::py {
namespace {

using damiao::ControlLoop;
using damiao::LoopStats;
using transport::Duration;
using transport::Instant;

PyTypeObject* g_loop = nullptr;
PyTypeObject* g_stats = nullptr;
PyTypeObject* g_move = nullptr;

// The record behind a ControlLoop object: the group object it keeps alive
// and the native loop, whose thread uses the group's records.
struct LoopRecord {
    PyObject* group;  // owned
    std::shared_ptr<ControlLoop> loop;  // shared with live_loops()
    double rate_hz;
    PyObject* recorder = nullptr;  // owned, until stop() has closed it; or none
};

LoopRecord& loop_record(PyObject* self) { return native<LoopRecord>(self); }

// The loop of every loop object alive, so that those still running at exit
// are stopped before the interpreter ends; read and changed with the
// interpreter lock.
std::vector<std::shared_ptr<ControlLoop>>& live_loops() {
    static auto* loops = new std::vector<std::shared_ptr<ControlLoop>>();  // never destroyed
    return *loops;
}


// Stops the loop's thread, the interpreter released. With `disable` its
// members are disabled with confirmed stops; what failed ("" for nothing).
std::string stop_native(ControlLoop& loop, bool disable) {
    std::string failed;
    without_interpreter([&] { failed = loop.stop(disable); });
    return failed;
}

// A loop whose group is not inside its scope disables its members when it
// stops: nothing else would, and they would go on with the last setpoints.
bool disables_on_stop(const LoopRecord& rec) { return !record(rec.group).scope.entered(); }

PyObject* states_list(const std::vector<std::optional<damiao::mit::MotorState>>& states) {
    PyObject* list = must(PyList_New(static_cast<Py_ssize_t>(states.size())), "a list");
    for (std::size_t i = 0; i < states.size(); ++i) {
        PyObject* item = Py_None;
        if (states[i]) {
            item = new_box(motor_state_type(), *states[i]);
        } else {
            Py_INCREF(item);
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

void loop_dealloc(PyObject* self) {
    LoopRecord& rec = loop_record(self);
    if (rec.loop) {
        // Dropped while it runs: nothing can drive the members after this.
        const std::string failed = stop_native(*rec.loop, true);
        if (!failed.empty()) log_warning("a control loop dropped while running: " + failed);
        std::vector<std::shared_ptr<ControlLoop>>& live = live_loops();
        live.erase(std::remove(live.begin(), live.end(), rec.loop), live.end());
        GroupRecord& group = record(rec.group);
        if (group.loop.lock() == rec.loop) group.loop.reset();
    }
    // A recorder finishes its file by itself once the loop has ended.
    Py_CLEAR(rec.recorder);
    // The group outlives the native loop, which uses it.
    PyObject* group = rec.group;
    dealloc_box<LoopRecord>(self);
    Py_XDECREF(group);
}

// ---------------------------------------------------------------- methods

ROTALINK_SIGNATURE(kLoopSet, 1, "ControlLoop.set",
                   ROTALINK_DOC("set", "($self, setpoints)")
                   "The setpoints of the next cycles, one per member, of any kinds:\n"
                   "checked, clamped into the group's joint limits and encoded now (a\n"
                   "refused one raises here); the latest wins.",
                   1, "setpoints");

PyObject* loop_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kLoopSet, args, nargs, kwnames, a)) return nullptr;
        LoopRecord& rec = loop_record(self);
        if (!rec.loop->running()) return raise_stopped(*rec.loop);
        const damiao::MotorGroup& g = record(rec.group).group;
        Scratch<damiao::Setpoint> scratch;
        damiao::Setpoint* setpoints = scratch.data(g.size());
        if (!read_per_member(g.size(), a[0], "setpoints", setpoints, take_setpoint)) return nullptr;
        if (std::optional<damiao::MotorGroup::Refusal> refused =
                rec.loop->command(std::vector<damiao::Setpoint>(setpoints, setpoints + g.size()))) {
            return raise_refusal(g, *refused);
        }
        Py_RETURN_NONE;
    });
}

ROTALINK_SIGNATURE(kLoopMoveTo, 6, "ControlLoop.move_to",
                   ROTALINK_DOC("move_to", "($self, targets, duration=None, velocity_limit=None, accel_limit=None, "
                                           "kp=None, kd=None)")
                   "Move every member from where it is to its target (one per member),\n"
                   "in motor units, all arriving together, planned and run by the loop's\n"
                   "thread. velocity_limit, accel_limit, kp and kd: None, one number for\n"
                   "every member, or one per member; the move lasts at least duration\n"
                   "seconds. Checked now (a refusal raises here); returns its Move, which\n"
                   "a later set() or move_to() cancels.",
                   1, "targets", "duration", "velocity_limit", "accel_limit", "kp", "kd");

// A move's per-member argument `obj` (`name`) into `out`, `n` values: left
// as it is for None, else one number for every member or one per member.
// With `number`, a NaN given is refused (it would read as not given).
bool each_or_all(std::size_t n, PyObject* obj, const char* name, bool number, double* out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyFloat_Check(obj) || PyLong_Check(obj) || !PySequence_Check(obj)) {
        double v = 0.0;
        if (!to_f64(obj, name, v)) return false;
        if (number && std::isnan(v)) {
            PyErr_Format(PyExc_ValueError, "%s must be a number, got nan", name);
            return false;
        }
        std::fill(out, out + n, v);
        return true;
    }
    if (!read_per_member(n, obj, name, out, take_number)) return false;
    for (std::size_t i = 0; number && i < n; ++i) {
        if (std::isnan(out[i])) {
            char buf[48];
            PyErr_Format(PyExc_ValueError, "%s must be a number, got nan",
                         ItemName{name, static_cast<Py_ssize_t>(i)}.text(buf));
            return false;
        }
    }
    return true;
}

PyObject* loop_move_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<6>::Args a;
        if (!bind_vector(kLoopMoveTo, args, nargs, kwnames, a)) return nullptr;
        LoopRecord& rec = loop_record(self);
        if (!rec.loop->running()) return raise_stopped(*rec.loop);
        const damiao::MotorGroup& g = record(rec.group).group;
        const std::size_t n = g.size();
        // Per member: target, velocity, accel, kp, kd, from the defaults.
        damiao::MoveRequest request = damiao::default_move(g);
        std::vector<double> values(5 * n);
        double* target = values.data();
        double* velocity = target + n;
        double* accel = velocity + n;
        double* kp = accel + n;
        double* kd = kp + n;
        for (std::size_t i = 0; i < n; ++i) {
            velocity[i] = request.axes[i].velocity;
            accel[i] = request.axes[i].accel;
            kp[i] = kd[i] = NAN;
        }
        if (!read_per_member(n, a[0], "targets", target, take_number) ||
            !move_duration_arg(a[1], request.duration) ||
            !each_or_all(n, a[2], "velocity_limit", false, velocity) ||
            !each_or_all(n, a[3], "accel_limit", false, accel) || !each_or_all(n, a[4], "kp", true, kp) ||
            !each_or_all(n, a[5], "kd", true, kd)) {
            return nullptr;
        }
        for (std::size_t i = 0; i < n; ++i) {
            damiao::MoveAxis& axis = request.axes[i];
            axis.target = target[i];
            axis.velocity = velocity[i];
            axis.accel = accel[i];
            axis.kp = static_cast<float>(kp[i]);
            axis.kd = static_cast<float>(kd[i]);
        }
        Result<std::uint64_t, damiao::MotorGroup::Refusal> move = rec.loop->move(std::move(request));
        if (!move.ok()) return raise_refusal(g, move.error());
        return new_move(self, move.value());
    });
}

ROTALINK_SIGNATURE(kLoopWait, 1, "ControlLoop.wait",
                   ROTALINK_DOC("wait", "($self, timeout_ms=None)")
                   "Wait for the next cycle to complete and return its states, None for a\n"
                   "member that did not answer. TimeoutError after timeout_ms; RuntimeError\n"
                   "once the loop has stopped.",
                   0, "timeout_ms");

// A wait of up to `timeout` (timeout_ms: None waits without end), in
// slices with the interpreter released, between which the handlers of
// signals run: `slice(until)` waits until `until` at most and gives a
// result, or null to go on. TimeoutError `expired` ("... within N ms")
// once the time is up.
template <class Slice>
PyObject* wait_in_slices(PyObject* timeout, const char* expired, Slice slice) {
    std::uint64_t timeout_ms = 0;
    const bool forever = timeout == nullptr || timeout == Py_None;
    if (!forever && !to_u64(timeout, "timeout_ms", timeout_ms)) return nullptr;
    const Instant until = forever ? Instant{UINT64_MAX} : Instant::now().saturating_add(Duration::from_millis(timeout_ms));
    for (;;) {
        const Instant next = std::min(until, Instant::now().saturating_add(kSignalCheck),
                                      [](Instant x, Instant y) { return x < y; });
        if (PyObject* done = slice(next)) return done;
        if (PyErr_Occurred() || PyErr_CheckSignals() < 0) return nullptr;
        if (!(Instant::now() < until)) {
            PyErr_Format(PyExc_TimeoutError, "%s within %llu ms", expired, static_cast<unsigned long long>(timeout_ms));
            return nullptr;
        }
    }
}

PyObject* loop_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kLoopWait, args, nargs, kwnames, a)) return nullptr;
        ControlLoop& loop = *loop_record(self).loop;
        const std::uint64_t seen = loop.cycles();
        std::vector<std::optional<damiao::mit::MotorState>> states;
        return wait_in_slices(a[0], "no cycle of the control loop completed", [&](Instant until) -> PyObject* {
            ControlLoop::Wake wake = ControlLoop::Wake::Timeout;
            without_interpreter([&] { wake = loop.wait(seen, until, states); });
            if (wake == ControlLoop::Wake::Cycle) return states_list(states);
            if (wake == ControlLoop::Wake::Stopped) return raise_stopped(loop);
            return nullptr;
        });
    });
}

ROTALINK_NO_PARAMS(kLoopStates, "ControlLoop.states",
                   ROTALINK_DOC("states", "($self)")
                   "The latest feedback of each member (None before its first answer),\n"
                   "without waiting.");

PyObject* loop_states(PyObject* self, PyObject*) {
    return guard([&] { return states_list(loop_record(self).loop->states()); });
}

ROTALINK_NO_PARAMS(kLoopStats, "ControlLoop.stats", ROTALINK_DOC("stats", "($self)") "The loop's timing so far.");

PyObject* loop_stats(PyObject* self, PyObject*) {
    return guard([&] { return new_box(loop_stats_type(), loop_record(self).loop->stats()); });
}

ROTALINK_NO_PARAMS(kLoopStop, "ControlLoop.stop",
                   ROTALINK_DOC("stop", "($self)")
                   "End the loop's thread, after the cycle under way. Inside the group's\n"
                   "scope the members stay enabled, for the scope's exit to disable;\n"
                   "outside it the loop disables every member (confirmed by its\n"
                   "feedback) and RuntimeError says which did not stop. Stopping a\n"
                   "stopped loop does nothing.");

// Stops the loop as ControlLoop.stop and __exit__ do; what failed to
// disable ("" for nothing).
// Waits for the loop's recorder to write what is left and finish its file.
void close_recorder(LoopRecord& rec) {
    PyObject* recorder = rec.recorder;
    if (recorder == nullptr) return;
    rec.recorder = nullptr;
    PyObject* done = PyObject_CallMethod(recorder, "close", nullptr);
    if (done == nullptr) PyErr_WriteUnraisable(recorder);
    Py_XDECREF(done);
    Py_DECREF(recorder);
}

std::string stop_loop(PyObject* self) {
    LoopRecord& rec = loop_record(self);
    std::string failed = stop_native(*rec.loop, disables_on_stop(rec));
    close_recorder(rec);
    return failed;
}

PyObject* loop_stop(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        const std::string failed = stop_loop(self);
        if (!failed.empty()) return raise({PyExc_RuntimeError, failed});
        Py_RETURN_NONE;
    });
}

ROTALINK_NO_PARAMS(kLoopEnter, "ControlLoop.__enter__", ROTALINK_DOC("__enter__", "($self)"));

PyObject* loop_enter(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

ROTALINK_SIGNATURE(kLoopExit, 3, "ControlLoop.__exit__",
                   ROTALINK_DOC("__exit__", "($self, exc_type, exc_value, traceback)")
                   "Stop the loop, as stop() does. An exception leaving the block stays\n"
                   "the one raised, a failed disable attached to it.", 3,
                   "exc_type", "exc_value", "traceback");

PyObject* loop_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<3>::Args a;
        if (!bind_vector(kLoopExit, args, nargs, kwnames, a)) return nullptr;
        const std::string failed = stop_loop(self);
        if (failed.empty()) Py_RETURN_FALSE;
        if (a[1] == Py_None) return raise({PyExc_RuntimeError, failed});
        // An exception leaves the block: it stays the one raised, and the
        // failed disable is attached to it.
        PyObject* note = new_text("stopping the control loop on leaving its block: " + failed);
        if (!attach_note(a[1], note)) PyErr_WriteUnraisable(a[1]);
        Py_DECREF(note);
        Py_RETURN_FALSE;
    });
}

PyObject* get_running(PyObject* self, void*) {
    return guard([&] { return PyBool_FromLong(loop_record(self).loop->running() ? 1 : 0); });
}

PyObject* get_error(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const std::optional<std::string> why = loop_record(self).loop->error();
        if (!why) Py_RETURN_NONE;
        return new_text(*why);
    });
}

PyObject* loop_repr(PyObject* self) {
    return guard([&] {
        const LoopRecord& rec = loop_record(self);
        char buf[96];
        std::snprintf(buf, sizeof buf, "ControlLoop(rate_hz=%g, members=%zu, running=%s)", rec.rate_hz,
                      record(rec.group).group.size(), rec.loop->running() ? "True" : "False");
        return new_text(buf);
    });
}

PyObject* get_recorded(PyObject* self, void*) {
    return guard([&] { return PyLong_FromUnsignedLongLong(loop_record(self).loop->recorded()); });
}

PyGetSetDef loop_getset[] = {
    {"running", get_running, nullptr, nullptr, nullptr},
    {"recorded", get_recorded, nullptr, nullptr, nullptr},
    {"error", get_error, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef loop_methods[] = {
    method<&kLoopSet>(loop_set),     method<&kLoopMoveTo>(loop_move_to), method<&kLoopWait>(loop_wait),
    method<&kLoopStates>(loop_states), method<&kLoopStats>(loop_stats), method<&kLoopStop>(loop_stop),
    method<&kLoopEnter>(loop_enter), method<&kLoopExit>(loop_exit),      {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------------- Move

// The record behind a Move object: the ControlLoop object it keeps alive,
// and the move's number in that loop.
struct MoveRecord {
    PyObject* loop;  // owned
    std::uint64_t move;
    MoveRecord(PyObject* l, std::uint64_t m) : loop(l), move(m) {}
    MoveRecord(MoveRecord&& o) noexcept : loop(o.loop), move(o.move) { o.loop = nullptr; }
    MoveRecord& operator=(MoveRecord&&) = delete;
    ~MoveRecord() { Py_XDECREF(loop); }
};

MoveRecord& move_record(PyObject* self) { return native<MoveRecord>(self); }

damiao::MoveState move_state(PyObject* self) {
    const MoveRecord& m = move_record(self);
    return loop_record(m.loop).loop->move_state(m.move);
}

ROTALINK_SIGNATURE(kMoveWait, 1, "Move.wait",
                   ROTALINK_DOC("wait", "($self, timeout_ms=None)")
                   "Wait until the move arrives: True; False once a later set() or\n"
                   "move_to() cancelled it. TimeoutError after timeout_ms; RuntimeError\n"
                   "when the loop stopped before the move arrived.",
                   0, "timeout_ms");

PyObject* move_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kMoveWait, args, nargs, kwnames, a)) return nullptr;
        const MoveRecord& m = move_record(self);
        const std::shared_ptr<ControlLoop> held = loop_record(m.loop).loop;
        const ControlLoop& loop = *held;
        return wait_in_slices(a[0], "the move did not arrive", [&](Instant until) -> PyObject* {
            damiao::MoveState state = damiao::MoveState::Running;
            without_interpreter([&] { state = loop.wait_move(m.move, until); });
            switch (state) {
                case damiao::MoveState::Arrived:
                    Py_RETURN_TRUE;
                case damiao::MoveState::Cancelled:
                    Py_RETURN_FALSE;
                case damiao::MoveState::Stopped:
                    return raise_stopped(loop);
                case damiao::MoveState::Running:
                    break;
            }
            return nullptr;
        });
    });
}

PyObject* get_done(PyObject* self, void*) {
    return guard([&] { return PyBool_FromLong(move_state(self) == damiao::MoveState::Arrived ? 1 : 0); });
}

// Cancelled, or cut short by the loop stopping.
bool cut_short(damiao::MoveState s) { return s == damiao::MoveState::Cancelled || s == damiao::MoveState::Stopped; }

PyObject* get_cancelled(PyObject* self, void*) {
    return guard([&] { return PyBool_FromLong(cut_short(move_state(self)) ? 1 : 0); });
}

PyObject* move_repr(PyObject* self) {
    return guard([&] {
        const damiao::MoveState s = move_state(self);
        return new_text(std::string("Move(done=") + (s == damiao::MoveState::Arrived ? "True" : "False") +
                        ", cancelled=" + (cut_short(s) ? "True" : "False") + ")");
    });
}

PyGetSetDef move_getset[] = {
    {"done", get_done, nullptr, nullptr, nullptr},
    {"cancelled", get_cancelled, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef move_methods[] = {
    method<&kMoveWait>(move_wait),
    {nullptr, nullptr, 0, nullptr},
};

// -------------------------------------------------------------- LoopStats

PyObject* summary(const std::array<double, 3>& v) { return must(Py_BuildValue("(ddd)", v[0], v[1], v[2]), "a tuple"); }

PyObject* get_cycles(PyObject* self, void*) {
    return guard([&] { return must(PyLong_FromUnsignedLongLong(native<LoopStats>(self).cycles), "an int"); });
}
PyObject* get_overruns(PyObject* self, void*) {
    return guard([&] { return must(PyLong_FromUnsignedLongLong(native<LoopStats>(self).overruns), "an int"); });
}
PyObject* counts_tuple(const std::vector<std::uint64_t>& counts) {
    PyObject* tuple = must(PyTuple_New(static_cast<Py_ssize_t>(counts.size())), "a tuple");
    for (std::size_t i = 0; i < counts.size(); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), must(PyLong_FromUnsignedLongLong(counts[i]), "an int"));
    }
    return tuple;
}
PyObject* get_missed(PyObject* self, void*) {
    return guard([&] { return counts_tuple(native<LoopStats>(self).missed); });
}
PyObject* get_faults(PyObject* self, void*) {
    return guard([&] { return counts_tuple(native<LoopStats>(self).faults); });
}
PyObject* get_rate(PyObject* self, void*) {
    return guard([&] { return must(PyFloat_FromDouble(native<LoopStats>(self).rate_hz), "a float"); });
}
PyObject* get_period(PyObject* self, void*) {
    return guard([&] { return summary(native<LoopStats>(self).period_us); });
}
PyObject* get_latency(PyObject* self, void*) {
    return guard([&] { return summary(native<LoopStats>(self).latency_us); });
}

PyObject* stats_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        const LoopStats& s = native<LoopStats>(self);
        PyObject* missed = get_missed(self, nullptr);
        if (missed == nullptr) return nullptr;
        char head[160];
        std::snprintf(head, sizeof head,
                      "LoopStats(cycles=%llu, overruns=%llu, rate_hz=%.1f, period_us=(%.1f, %.1f, %.1f), "
                      "latency_us=(%.1f, %.1f, %.1f), missed=",
                      static_cast<unsigned long long>(s.cycles), static_cast<unsigned long long>(s.overruns), s.rate_hz,
                      s.period_us[0], s.period_us[1], s.period_us[2], s.latency_us[0], s.latency_us[1],
                      s.latency_us[2]);
        PyObject* faults = get_faults(self, nullptr);
        PyObject* text = faults != nullptr ? PyUnicode_FromFormat("%s%R, faults=%R)", head, missed, faults) : nullptr;
        Py_DECREF(missed);
        Py_XDECREF(faults);
        return text;
    });
}

PyObject* get_recorded_stat(PyObject* self, void*) {
    return guard([&] { return PyLong_FromUnsignedLongLong(native<LoopStats>(self).recorded); });
}
PyObject* get_record_dropped(PyObject* self, void*) {
    return guard([&] { return PyLong_FromUnsignedLongLong(native<LoopStats>(self).record_dropped); });
}
PyObject* get_record_error(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        const std::string& e = native<LoopStats>(self).record_error;
        if (e.empty()) Py_RETURN_NONE;
        return new_text(e);
    });
}

PyGetSetDef stats_getset[] = {
    {"recorded", get_recorded_stat, nullptr, nullptr, nullptr},
    {"record_dropped", get_record_dropped, nullptr, nullptr, nullptr},
    {"record_error", get_record_error, nullptr, nullptr, nullptr},
    {"cycles", get_cycles, nullptr, nullptr, nullptr},
    {"overruns", get_overruns, nullptr, nullptr, nullptr},
    {"missed", get_missed, nullptr, nullptr, nullptr},
    {"faults", get_faults, nullptr, nullptr, nullptr},
    {"rate_hz", get_rate, nullptr, nullptr, nullptr},
    {"period_us", get_period, nullptr, nullptr, nullptr},
    {"latency_us", get_latency, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------------ exit

// Stops every loop still running; registered with atexit, so that no loop
// thread is left running while the interpreter ends.
PyObject* stop_all(PyObject*, PyObject*) {
    return guard([]() -> PyObject* {
        // A copy: while one is stopped, other threads may drop loop objects.
        // The process ends: no loop may be left driving its members.
        const std::vector<std::shared_ptr<ControlLoop>> loops = live_loops();
        for (const std::shared_ptr<ControlLoop>& loop : loops) {
            const std::string failed = stop_native(*loop, true);
            if (!failed.empty()) log_warning("a control loop stopped at exit: " + failed);
        }
        // Their recorders finish their files (a recorder's thread would not
        // run again once the interpreter ends).
        PyObject* name = PyUnicode_FromString("rotalink_scan.record");
        PyObject* recording = name != nullptr ? PyImport_GetModule(name) : nullptr;
        Py_XDECREF(name);
        if (recording != nullptr) {
            PyObject* done = PyObject_CallMethod(recording, "_close_all", nullptr);
            if (done == nullptr) PyErr_WriteUnraisable(recording);
            Py_XDECREF(done);
            Py_DECREF(recording);
        }
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    });
}

PyMethodDef stop_all_def = {"_stop_control_loops", stop_all, METH_NOARGS, nullptr};

bool register_stop_at_exit() {
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (atexit == nullptr) return false;
    PyObject* fn = PyCFunction_New(&stop_all_def, nullptr);
    PyObject* done = fn != nullptr ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
    Py_XDECREF(fn);
    Py_DECREF(atexit);
    Py_XDECREF(done);
    return done != nullptr;
}

}  // namespace

PyObject* raise_stopped(const ControlLoop& loop) {
    const std::optional<std::string> why = loop.error();
    return raise({PyExc_RuntimeError, why ? *why : std::string("the control loop is stopped")});
}

const std::shared_ptr<ControlLoop>& native_loop(PyObject* obj) { return loop_record(obj).loop; }

PyTypeObject* control_loop_type() {
    return class_object(g_loop, {"rotalink.ControlLoop", nullptr, sizeof(Box<LoopRecord>), no_constructor, loop_dealloc,
                                 loop_repr, loop_getset, loop_methods});
}

PyTypeObject* move_type() {
    return class_object(g_move, {"rotalink.Move", nullptr, sizeof(Box<MoveRecord>), no_constructor,
                                 dealloc_box<MoveRecord>, move_repr, move_getset, move_methods});
}

PyObject* new_move(PyObject* loop, std::uint64_t move) {
    Py_INCREF(loop);
    PyObject* obj = alloc_box(move_type(), MoveRecord(loop, move));
    if (obj == nullptr) Py_DECREF(loop);
    return obj;
}

bool move_duration_arg(PyObject* obj, double& out) {
    out = 0.0;
    if (obj == nullptr || obj == Py_None) return true;
    if (!to_f64(obj, "duration", out)) return false;
    const std::string fault = damiao::move_duration_fault(out);
    if (fault.empty()) return true;
    raise({PyExc_ValueError, fault});
    return false;
}

bool take_number(PyObject* item, const ItemName& name, double& out) {
    out = PyFloat_AsDouble(item);
    if (out == -1.0 && PyErr_Occurred()) {
        char buf[48];
        prefix_type_error(name.text(buf));
        return false;
    }
    return true;
}

namespace {
// A record's ring: two seconds of cycles (at least 256), so that a writer
// held up that long loses nothing.
// A record's chunks (written whole, so what a killed process loses): about a
// second of cycles, from 16 KiB to 4 MiB.
std::size_t chunk_bytes(std::size_t cycle_bytes, double rate_hz) {
    const double bytes = static_cast<double>(cycle_bytes) * rate_hz;
    return bytes < 16384.0 ? 16384 : bytes > 4194304.0 ? 4194304 : static_cast<std::size_t>(bytes);
}

std::size_t record_capacity(double rate_hz) {
    const double cycles = std::ceil(2.0 * rate_hz);
    return cycles < 256.0 ? 256 : cycles > 65536.0 ? 65536 : static_cast<std::size_t>(cycles);
}
}  // namespace

PyTypeObject* loop_stats_type() {
    return class_object(g_stats, {"rotalink.LoopStats", nullptr, sizeof(Box<LoopStats>), no_constructor,
                                  dealloc_box<LoopStats>, stats_repr, stats_getset, nullptr});
}

PyObject* start_loop(PyObject* group, double rate_hz, damiao::LoopOptions options, int priority, int cpu,
                     const RecordRequest& recording) {
    static bool registered = false;
    if (!registered) {
        if (!register_stop_at_exit()) return nullptr;
        registered = true;
    }
    GroupRecord& rec = record(group);
    options.disable_patience = Duration::from_millis(rec.disable_timeout_ms);
    // The recorder first: its target is checked before anything runs.
    std::unique_ptr<damiao::RecordEncoder> encoder;
    PyObject* recorder = nullptr;
    if (recording.target != nullptr && recording.target != Py_None) {
        std::vector<std::string> names;
        if (recording.joints != nullptr) {
            for (const damiao::JointSpec& j : recording.joints->specs()) names.push_back(j.name);
        } else {
            names = damiao::member_record_names(rec.group);
        }
        encoder = std::make_unique<damiao::RecordEncoder>(rec.group, std::move(names), recording.joints,
                                                          damiao::wall_minus_monotonic_ns());
        PyObject* mod = PyImport_ImportModule("rotalink_scan.record");
        PyObject* make = mod != nullptr ? PyObject_GetAttrString(mod, "Recorder") : nullptr;
        Py_XDECREF(mod);
        if (make == nullptr) return nullptr;
        PyObject* args = Py_BuildValue("(O)", recording.target);
        PyObject* kwargs = Py_BuildValue("{sn}", "chunk_size",
                                         static_cast<Py_ssize_t>(chunk_bytes(encoder->cycle_bytes(), rate_hz)));
        recorder = args != nullptr && kwargs != nullptr ? PyObject_Call(make, args, kwargs) : nullptr;
        Py_XDECREF(args);
        Py_XDECREF(kwargs);
        Py_DECREF(make);
        if (recorder == nullptr) return nullptr;
        options.record = record_capacity(rate_hz);
    }
    auto loop = std::make_shared<ControlLoop>(rec.group, rec.shared, std::make_unique<transport::PollWaiter>(), options);
    PyObject* obj = alloc_box(control_loop_type(), LoopRecord{group, nullptr, rate_hz, recorder});
    if (obj == nullptr) {
        Py_XDECREF(recorder);
        return nullptr;
    }
    Py_INCREF(group);
    // The tap, before the thread runs.
    PyObject* tap = nullptr;
    if (recorder != nullptr) {
        tap = new_record_tap(group, loop, std::move(encoder));
        if (tap == nullptr) {
            close_recorder(loop_record(obj));
            Py_DECREF(obj);
            return nullptr;
        }
    }
    const int rc = loop->start(priority, cpu);
    if (rc != 0) {
        Py_XDECREF(tap);
        close_recorder(loop_record(obj));
        Py_DECREF(obj);
        if (rc == EPERM) {
            return PyErr_Format(PyExc_PermissionError,
                                "running the control loop at SCHED_FIFO priority %d needs the CAP_SYS_NICE "
                                "capability or a real-time priority limit of at least %d (ulimit -r %d)",
                                priority, priority, priority);
        }
        if (rc == EINVAL && cpu >= 0) {
            return PyErr_Format(PyExc_ValueError, "cpu %d is not one this process may run on", cpu);
        }
        errno = rc;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    rec.loop = loop;
    live_loops().push_back(loop);
    loop_record(obj).loop = std::move(loop);
    if (recorder != nullptr) {
        PyObject* started = PyObject_CallMethod(recorder, "start", "(O)", tap);
        Py_DECREF(tap);
        if (started == nullptr) {
            // No record after all: the loop is not left running without it.
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            stop_loop(obj);
            Py_DECREF(obj);
            PyErr_Restore(type, value, traceback);
            return nullptr;
        }
        Py_DECREF(started);
    }
    if (!rec.scope.entered() && rec.watchdog_ms == 0) {
        log_warning("control loop started outside the group's scope and with no watchdog_ms: should this process "
                    "crash or be killed, the motors keep their last setpoint until powered off or commanded");
    }
    return obj;
}

}  // namespace rotalink::py
