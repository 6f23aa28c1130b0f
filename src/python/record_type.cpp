// The record tap: what a recorder (rotalink_scan.record) takes a running
// loop's record through. The loop object holds the recorder; the recorder's
// thread holds only the tap, so that a loop object dropped while it runs is
// stopped at once, as without a record.

#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "damiao/record.hpp"
#include "python/bus.hpp"
#include "python/classes.hpp"
#include "python/group.hpp"
#include "python/method_def.hpp"

namespace rotalink::py {
namespace {

using damiao::ControlLoop;
using damiao::kRecordMessages;
using transport::Duration;
using transport::Instant;

PyTypeObject* g_tap = nullptr;

// Cycles taken and encoded at most at once.
constexpr std::size_t kTakeBatch = 256;

struct TapRecord {
    PyObject* group;  // owned: the encoder reads its members
    std::shared_ptr<ControlLoop> loop;
    std::unique_ptr<damiao::RecordEncoder> encoder;
    // Reused from one take to the next.
    std::vector<damiao::CycleRecord> cycles;
    std::vector<damiao::MemberRecord> members;
    std::vector<std::uint8_t> bytes;
    std::vector<std::array<std::size_t, kRecordMessages>> ends;
    bool taking = false;  // read and set with the interpreter lock held

    TapRecord(PyObject* g, std::shared_ptr<ControlLoop> l, std::unique_ptr<damiao::RecordEncoder> e)
        : group(g), loop(std::move(l)), encoder(std::move(e)) {}
    TapRecord(TapRecord&& o) noexcept
        : group(o.group), loop(std::move(o.loop)), encoder(std::move(o.encoder)) {
        o.group = nullptr;
    }
    TapRecord& operator=(TapRecord&&) = delete;
    ~TapRecord() {
        encoder.reset();
        loop.reset();
        Py_XDECREF(group);
    }
};

TapRecord& tap_record(PyObject* self) { return native<TapRecord>(self); }

ROTALINK_SIGNATURE(kTakeRecords, 1, "_RecordTap._take_records",
                   ROTALINK_DOC("_take_records", "($self, timeout_ms)")
                   "The recorded cycles not taken yet, waiting up to timeout_ms for the\n"
                   "first: a list of (log_time_ns, joint_states, joint_commands,\n"
                   "motor_status, loop_timing), each message's CDR; None once the loop\n"
                   "has ended and every recorded cycle was taken.",
                   1, "timeout_ms");

PyObject* take_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kTakeRecords, args, nargs, kwnames, a)) return nullptr;
        std::uint64_t timeout_ms = 0;
        if (!to_u64(a[0], "timeout_ms", timeout_ms)) return nullptr;
        TapRecord& t = tap_record(self);
        if (t.taking) return raise({PyExc_RuntimeError, "another thread is taking the records"});
        t.taking = true;
        struct Taken {
            bool& flag;
            ~Taken() { flag = false; }
        } taken{t.taking};
        std::optional<std::size_t> n;
        const Instant until = Instant::now().saturating_add(Duration::from_millis(timeout_ms));
        without_interpreter([&] {
            t.cycles.clear();
            t.members.clear();
            t.bytes.clear();
            t.ends.clear();
            n = t.loop->take_records(t.cycles, t.members, kTakeBatch, until);
            const std::size_t m = t.encoder->members();
            for (std::size_t k = 0; n && k < *n; ++k) {
                std::array<std::size_t, kRecordMessages> ends{};
                t.encoder->encode(t.cycles[k], t.members.data() + k * m, t.bytes, ends);
                t.ends.push_back(ends);
            }
        });
        if (!n) Py_RETURN_NONE;
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(*n));
        if (list == nullptr) return nullptr;
        std::size_t begin = 0;
        for (std::size_t k = 0; k < *n; ++k) {
            PyObject* item = PyTuple_New(1 + kRecordMessages);
            if (item == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), item);
            PyObject* stamp = PyLong_FromUnsignedLongLong(t.encoder->wall_ns(t.cycles[k].start_ns));
            if (stamp == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyTuple_SET_ITEM(item, 0, stamp);
            for (std::size_t msg = 0; msg < kRecordMessages; ++msg) {
                const std::size_t end = t.ends[k][msg];
                PyObject* data = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(t.bytes.data() + begin),
                                                           static_cast<Py_ssize_t>(end - begin));
                if (data == nullptr) {
                    Py_DECREF(list);
                    return nullptr;
                }
                PyTuple_SET_ITEM(item, static_cast<Py_ssize_t>(1 + msg), data);
                begin = end;
            }
        }
        return list;
    });
}

ROTALINK_SIGNATURE(kRecordWritten, 1, "_RecordTap._record_written",
                   ROTALINK_DOC("_record_written", "($self, n)") "n more cycles were written.", 1, "n");

PyObject* record_written(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kRecordWritten, args, nargs, kwnames, a)) return nullptr;
        std::uint64_t n = 0;
        if (!to_u64(a[0], "n", n)) return nullptr;
        tap_record(self).loop->record_written(n);
        Py_RETURN_NONE;
    });
}

ROTALINK_SIGNATURE(kStopRecording, 1, "_RecordTap._stop_recording",
                   ROTALINK_DOC("_stop_recording", "($self, message)")
                   "Writing failed: no more cycles are recorded; message is kept as the\n"
                   "loop's stats().record_error.",
                   1, "message");

PyObject* stop_recording(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Signature<1>::Args a;
        if (!bind_vector(kStopRecording, args, nargs, kwnames, a)) return nullptr;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(a[0], &size);
        if (text == nullptr) return nullptr;
        tap_record(self).loop->stop_recording(std::string(text, static_cast<std::size_t>(size)));
        Py_RETURN_NONE;
    });
}

ROTALINK_NO_PARAMS(kTapStats, "_RecordTap.stats", ROTALINK_DOC("stats", "($self)") "The loop's stats().");

PyObject* tap_stats(PyObject* self, PyObject*) {
    return guard([&] { return new_box(loop_stats_type(), tap_record(self).loop->stats()); });
}

PyMethodDef tap_methods[] = {
    method<&kTakeRecords>(take_records),
    method<&kRecordWritten>(record_written),
    method<&kStopRecording>(stop_recording),
    method<&kTapStats>(tap_stats),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_running(PyObject* self, void*) {
    return guard([&] { return PyBool_FromLong(tap_record(self).loop->running() ? 1 : 0); });
}

PyGetSetDef tap_getset[] = {
    {"running", get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* tap_type() {
    return class_object(g_tap, {"rotalink._RecordTap", nullptr, sizeof(Box<TapRecord>), no_constructor,
                                dealloc_box<TapRecord>, nullptr, tap_getset, tap_methods});
}

}  // namespace

PyObject* new_record_tap(PyObject* group, std::shared_ptr<ControlLoop> loop,
                         std::unique_ptr<damiao::RecordEncoder> encoder) {
    Py_INCREF(group);
    PyObject* obj = alloc_box(tap_type(), TapRecord(group, std::move(loop), std::move(encoder)));
    if (obj == nullptr) Py_DECREF(group);
    return obj;
}

// (topic, type, definition) of each message of a recorded cycle, in their
// order.
PyObject* record_topics() {
    PyObject* out = PyTuple_New(kRecordMessages);
    if (out == nullptr) return nullptr;
    for (std::size_t m = 0; m < kRecordMessages; ++m) {
        const damiao::RecordTopic& t = damiao::kRecordTopics[m];
        PyObject* item = Py_BuildValue("(sss)", t.topic, t.type, t.definition);
        if (item == nullptr) {
            Py_DECREF(out);
            return nullptr;
        }
        PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(m), item);
    }
    return out;
}

}  // namespace rotalink::py
