// The record behind a MotorGroup object and what the group's binding shares
// with its control loop's: reading values per member, refusals.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "damiao/group.hpp"
#include "damiao/loop.hpp"
#include "damiao/scope.hpp"
#include "python/types.hpp"
#include "transport/interface_lock.hpp"
#include "transport/shared_bus.hpp"

namespace rotalink::py {

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
    Refs joints;  // one object: the tuple of joint limits (or None) per member, or None
    std::uint64_t timeout_ms;
    std::uint64_t watchdog_ms;  // 0: no watchdog
    std::uint64_t disable_timeout_ms;  // how long the scope's exit retries silent members
    std::vector<transport::SharedBus*> shared;  // the buses' locks and transports, bus i at i
    // The state of a cycle, kept from one to the next; `cycle_busy` (read
    // and set with the interpreter lock held) while a cycle uses it.
    damiao::MotorGroup::Cycle cycle{};
    bool cycle_busy = false;
    // Commands of the group under way (in any thread, one that released the
    // interpreter mid-cycle included): a control loop is not started while
    // there is one. Read and changed with the interpreter lock held.
    int commands = 0;
    // The group's scope: entered by __enter__, left by __exit__; it holds the
    // locks of the group's interfaces meanwhile.
    damiao::GroupScope scope{};
    // The native loop of the group's latest ControlLoop; read and set with
    // the interpreter lock held.
    std::weak_ptr<damiao::ControlLoop> loop{};
};

// Counts a group command for as long as it lives (GroupRecord::commands).
struct CommandScope {
    GroupRecord& rec;
    explicit CommandScope(GroupRecord& r) : rec(r) { ++rec.commands; }
    ~CommandScope() { --rec.commands; }
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;
};

inline GroupRecord& record(PyObject* self) { return native<GroupRecord>(self); }

// The record's cycle state while a cycle runs, unless another thread's cycle
// of this group is using it (running its signal handlers between two
// steps): then a state of its own. `cycle_busy` is read and set with the
// interpreter lock held.
struct CycleSlot {
    GroupRecord& rec;
    CommandScope command{rec};
    damiao::MotorGroup::Cycle own;
    bool shared;
    explicit CycleSlot(GroupRecord& r) : rec(r), shared(!r.cycle_busy) {
        if (shared) rec.cycle_busy = true;
    }
    ~CycleSlot() {
        if (shared) rec.cycle_busy = false;
    }
    damiao::MotorGroup::Cycle& get() { return shared ? rec.cycle : own; }
};

// The scope's native work as the group's commands run it (ScopeHost): the
// interpreter lock is released for each cycle step, each bus exchange and
// each pause, and taken back only once every bus lock is released; signal
// handlers run between steps (not during a disable, which must finish). A
// handler's exception stops the work: it is kept aside while the members
// are disabled again, and put back by `restore`. It counts as a command of
// the group for as long as it lives.
class PythonHost final : public damiao::ScopeHost {
public:
    explicit PythonHost(GroupRecord& rec) : rec_(rec), slot_(rec) {}
    ~PythonHost() override;
    PythonHost(const PythonHost&) = delete;
    PythonHost& operator=(const PythonHost&) = delete;

    const std::vector<damiao::MemberResult>* run(const std::vector<transport::CanFrame>& frames, const char* skip,
                                                 bool finish) override;
    void exchange(transport::SharedBus& bus, const std::function<void(transport::CanTransport&)>& op) override;
    void pause(transport::Duration d) override;
    bool go_on() override;
    void stop_loop(damiao::ControlLoop& loop) override;
    // The exception kept: set again (its value, normalized), or nullptr.
    PyObject* restore();

private:
    void keep();

    GroupRecord& rec_;
    CycleSlot slot_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// GroupError for the members that failed in `f`, raised: nullptr.
PyObject* raise_failure(const damiao::GroupFailure& f);

// The name of item i of argument `arg` ("setpoints[3]"), made only for an
// error: formatting it for every item would cost more than the cycle's own
// work.
struct ItemName {
    const char* arg;
    Py_ssize_t index;
    const char* text(char (&buf)[48]) const {
        std::snprintf(buf, sizeof buf, "%s[%zd]", arg, index);
        return buf;
    }
};

// Copies the values in `obj`, the argument `arg` ("setpoints"), one per
// member of a group of `count`, into `out` with `take(item, name, out[i])`, which checks
// the item; false with an exception set.
template <class T, class Take>
bool read_per_member(std::size_t count, PyObject* obj, const char* arg, T* out, Take take) {
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
    if (static_cast<std::size_t>(n) != count) {
        PyErr_Format(PyExc_ValueError, "expected %zu %s, one per member, got %zd", count, arg, n);
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

// A number (anything float() takes), item `name` of an argument; false with
// TypeError set.
bool take_number(PyObject* item, const ItemName& name, double& out);

// A setpoint of any command kind, item `name` of an argument; false with
// TypeError set for an object of no setpoint class.
bool take_setpoint(PyObject* item, const ItemName& name, damiao::Setpoint& out);

// A command the group refused to make, raised with the member named.
PyObject* raise_refusal(const damiao::MotorGroup& g, const damiao::MotorGroup::Refusal& r);

// A new ControlLoop running the cycle of `group` (a MotorGroup object)
// `rate_hz` times a second, with `options` (its period, watchdog, faults and
// blend; the group's disable patience is added), SCHED_FIFO at `priority`
// (0: none), pinned to `cpu` (negative: none). nullptr with an exception set.
//
// With a record (`record.target`, a path or a binary file object, not
// None), a recorder (rotalink_scan.record.Recorder) is made of it first (an
// unwritable path, a missing package: nothing is started), and writes every
// cycle from the first until the loop ends; `record.joints` (or null) makes
// the record a robot's, in joint units and under the joints' names.
struct RecordRequest {
    PyObject* target = nullptr;
    const damiao::JointMap* joints = nullptr;
};
PyObject* start_loop(PyObject* group, double rate_hz, damiao::LoopOptions options, int priority, int cpu,
                     const RecordRequest& record = {});

// MotorGroup.start's body, its 7 arguments bound (a missing one null).
PyObject* start_group(PyObject* group, PyObject* const* args, const RecordRequest& record);

// A recorder's way into a running loop's record (see record_type.cpp).
PyObject* new_record_tap(PyObject* group, std::shared_ptr<damiao::ControlLoop> loop,
                         std::unique_ptr<damiao::RecordEncoder> encoder);
// rotalink.RECORD_TOPICS: (topic, type, definition) of each message of a
// recorded cycle, in their order.
PyObject* record_topics();


// Logs `text` as a warning of the "rotalink" logger; an error doing so is
// reported as unraisable.
void log_warning(const std::string& text);

// Attaches `note` (a str) to `exc`, an exception that is propagating: a
// note where exceptions take notes, else a warning of the "rotalink"
// logger. False with an exception set when that failed.
bool attach_note(PyObject* exc, PyObject* note);

PyTypeObject* control_loop_type();
PyTypeObject* loop_stats_type();
// Move: one move of a ControlLoop, read and waited on from Python.
PyTypeObject* move_type();
// A new Move of move number `move` of the ControlLoop object `loop` (which
// it keeps alive); nullptr with an exception set.
PyObject* new_move(PyObject* loop, std::uint64_t move);
// The duration argument of a move: None for 0, else a number of seconds
// that move_duration_fault takes; false with an exception set.
bool move_duration_arg(PyObject* obj, double& out);

// Whether the group's control loop runs; RuntimeError set when it does.
bool refuse_while_looping(const GroupRecord& rec);

// The native loop of a ControlLoop object (`obj` must be one).
const std::shared_ptr<damiao::ControlLoop>& native_loop(PyObject* obj);
// RuntimeError: why `loop` stopped by itself, or that it was stopped; nullptr.
PyObject* raise_stopped(const damiao::ControlLoop& loop);

}  // namespace rotalink::py
