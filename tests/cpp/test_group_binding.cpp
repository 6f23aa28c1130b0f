// MotorGroup through the binding, on bus objects holding in-memory
// transports: construction checks, the results and GroupError, the
// interpreter lock released during the wait, and a poisoned bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "bus_object.hpp"
#include "transport/socketcan_backend/socketcan.hpp"

namespace {

using rotalink::test::make_frame;
using rotalink::test::MemoryTransport;
using rotalink::testing::make_bus;
using rotalink::testing::run;
using rotalink::transport::CanFrame;
using rotalink::transport::CanId;

// Answers every frame to motor `id` with feedback from `master` tagged `id`.
void answer(MemoryTransport* t, std::uint32_t id, std::uint32_t master) {
    t->respond([id, master](const CanFrame& f, MemoryTransport& bus) {
        if (f.id.value == id) {
            bus.queue(make_frame(CanId::standard(master),
                                 {static_cast<std::uint8_t>(id), 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20}));
        }
    });
}

// Publishes a bus object on one end of a socket pair as `name`, and the
// other end's descriptor as `name`_peer, where the test writes the motors'
// replies (16-byte frame records); returns that descriptor.
int socket_bus(const char* name) {
    rotalink::testing::ensure_interpreter();
    EXPECT_EQ(run("pass"), "");
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    PyObject* obj = rotalink::py::new_bus_object(rotalink::py::socketcan_transport_type(),
                                                 std::make_unique<rotalink::transport::SocketCanTransport>(sv[0]));
    EXPECT_NE(obj, nullptr);
    rotalink::testing::expose_object(name, obj);
    Py_DECREF(obj);
    PyObject* peer = PyLong_FromLong(sv[1]);
    rotalink::testing::expose_object((std::string(name) + "_peer").c_str(), peer);
    Py_DECREF(peer);
    return sv[1];
}

TEST(GroupBinding, ConstructionChecksComeBeforeAnything) {
    MemoryTransport* t = make_bus("gbus");
    make_bus("gbus2");
    EXPECT_EQ(run(R"PY(
D = rotalink.Damiao
check_raises([(lambda args=args: rotalink.MotorGroup(*args), kind, text) for args, kind, text in [
    ((5,), TypeError, "argument 'members': 'int' object is not iterable"),
    (([],), ValueError, REFUSALS["no-members"]),
    (([(gbus,)],), TypeError, "argument 'members[0]': expected a (SocketCanTransport, Damiao) pair, got 'tuple'"),
    (([(gbus, D(1, 0x11)), 7],), TypeError, "argument 'members[1]': expected a (SocketCanTransport, Damiao) pair, got 'int'"),
    (([(D(1, 0x11), gbus)],), TypeError, "argument 'members[0]': 'Damiao' object cannot be converted to 'SocketCanTransport'"),
    (([(gbus, 1)],), TypeError, "argument 'members[0]': 'int' object cannot be converted to 'Damiao'"),
    (([(gbus, D(1, 0x11))], -1), OverflowError, None),
    (([(gbus, D(1, 0x11)), (gbus, D(2, 0x11))],), ValueError, REFUSALS["shared-reply-id"]),
    (([(gbus, D(1, 0x11)), (gbus2, D(0x7FF, 0x12))],), ValueError, REFUSALS["register-id-member"]),
    (([(gbus, D(1, 0x11)), [gbus, D(0x11, 0x12)]],), ValueError,
     "the reply identifier 0x011 of member 0 is the command identifier of member 1 on the same bus"),
]])
check_raises([
    (lambda: rotalink.MotorGroup([(gbus, D(1, 0x11))], watchdog_ms=0), ValueError, REFUSALS["watchdog-zero"]),
    (lambda: rotalink.MotorGroup([(gbus, D(1, 0x11))], disable_timeout_ms=60001), ValueError,
     REFUSALS["disable-timeout-long"]),
    (lambda: rotalink.JointLimits(1.0, 0.0), ValueError, REFUSALS["joint-limits-crossed"]),
    (lambda: rotalink.JointLimits(dq_max=-1.0), ValueError, REFUSALS["joint-speed-negative"]),
])
g = rotalink.MotorGroup(iter([(gbus, D(1, 0x11)), [gbus2, D(1, 0x11)]]), timeout_ms=7, fd=1)
assert (len(g), g.timeout_ms, g.fd) == (2, 7, True)
assert repr(g) == "MotorGroup(members=2, buses=2, timeout_ms=7, fd=True)", repr(g)
assert type(g.members) is tuple and all(type(p) is tuple for p in g.members)
assert g.members[1][0] is gbus2 and g.members[0][1].master_id == 0x11
)PY"),
              "");
    EXPECT_EQ(t->send_calls(), 0u);
}

TEST(GroupBinding, FailedMembersRaiseGroupErrorWithEveryAnsweredState) {
    MemoryTransport* a = make_bus("ga");
    MemoryTransport* b = make_bus("gb");
    answer(a, 1, 0x11);  // motor 2 on ga never answers
    answer(b, 3, 0x13);
    EXPECT_EQ(run(R"PY(
D = rotalink.Damiao
g = rotalink.MotorGroup([(ga, D(1, 0x11)), (ga, D(2, 0x12)), (gb, D(3, 0x13))], timeout_ms=5)
try:
    g.enable()
except rotalink.GroupError as e:
    assert isinstance(e, RuntimeError)
    assert str(e) == "1 of 3 members failed; member 1 (motor_id=0x2): transport error: timeout waiting for frame", str(e)
    assert [s.motor_id if s else None for s in e.states] == [1, None, 3], e.states
    assert e.errors == [None, "transport error: timeout waiting for frame", None], e.errors
else:
    raise AssertionError("no GroupError")
g2 = rotalink.MotorGroup([(ga, D(1, 0x11)), (gb, D(3, 0x13))])
states = g2.mit_control((rotalink.MitSetpoint(q=1.0), rotalink.MitSetpoint()))
assert type(states) is list and [type(s) for s in states] == [rotalink.MotorState] * 2
check_raises([
    (lambda: g2.mit_control([rotalink.MitSetpoint()]), ValueError, "expected 2 setpoints, one per member, got 1"),
    (lambda: g2.mit_control(3), TypeError, "argument 'setpoints': 'int' object is not iterable"),
    (lambda: g2.mit_control([rotalink.MitSetpoint(), 0.5]), TypeError,
     "argument 'setpoints[1]': 'float' object cannot be converted to 'MitSetpoint'"),
    (lambda: g2.enable(1), TypeError, None),
])
bad = rotalink.MotorGroup([(ga, D(1, 0x11)), (gb, D(3, 0x13, rotalink.MitLimits(p_max=float("nan"))))])
single = None
try:
    D(3, 0x13, rotalink.MitLimits(p_max=float("nan"))).mit_control(gb, rotalink.MitSetpoint())
except ValueError as e:
    single = str(e)
try:
    bad.mit_control([rotalink.MitSetpoint()] * 2)
except ValueError as e:
    assert str(e) == single, (str(e), single)
else:
    raise AssertionError("no ValueError")
)PY"),
              "");
    // enable: 2 + 1 frames; mit_control: 1 + 1; the refused ones: none.
    EXPECT_EQ(a->sent().size(), 3u);
    EXPECT_EQ(b->sent().size(), 2u);
}

TEST(GroupBinding, OtherThreadsRunWhileTheCycleWaits) {
    socket_bus("gslow");
    // The reply comes from another Python thread, which can only send it
    // while the cycle's wait has given up the interpreter: held, the wait
    // would end at its time-out with nothing, however fast the machine.
    EXPECT_EQ(run(R"PY(
import os, struct, threading
def reply():
    os.read(gslow_peer, 16)  # the disable, once sent
    os.write(gslow_peer, struct.pack("<IB3x8s", 0x11, 8, bytes.fromhex("017FFF7FF7FF1E20")))
t = threading.Thread(target=reply)
t.start()
g = rotalink.MotorGroup([(gslow, rotalink.Damiao(1, 0x11))], timeout_ms=60000)
states = g.disable()
t.join()
assert states[0].motor_id == 1 and states[0].error == 0, states
)PY"),
              "");
}

// A signal during the wait runs its handler at once, between two steps of
// the cycle with the bus locks released. A handler that returns lets the
// wait go on to the replies that come later; one that raises ends the call
// with its exception, long before the deadline.
TEST(GroupBinding, SignalDuringTheWaitRunsItsHandlerAndTheWaitGoesOnUnlessItRaises) {
    const int peer = socket_bus("gsig");
    MemoryTransport* m = make_bus("gsigm");
    answer(m, 3, 0x13);
    EXPECT_EQ(run(R"PY(
import os, signal, struct, threading, time
main = threading.main_thread().ident
g = rotalink.MotorGroup([(gsig, rotalink.Damiao(1, 0x11)), (gsigm, rotalink.Damiao(3, 0x13))], timeout_ms=10000)
handled = []
replied = []
def late_reply():
    time.sleep(0.1)
    signal.pthread_kill(main, signal.SIGUSR1)
    end = time.monotonic() + 3
    while not handled and time.monotonic() < end:
        time.sleep(0.01)
    time.sleep(0.05)
    replied.append(time.monotonic())
    os.write(gsig_peer, struct.pack("<IB3x8s", 0x11, 8, bytes.fromhex("017FFF7FF7FF1E20")))
old = signal.signal(signal.SIGUSR1, lambda *a: handled.append(time.monotonic()))
try:
    t = threading.Thread(target=late_reply)
    t.start()
    states = g.enable()
    t.join()

    class Stop(Exception):
        pass
    def stop(*a):
        raise Stop("from the handler")
    signal.signal(signal.SIGUSR1, stop)
    t = threading.Timer(0.1, signal.pthread_kill, (main, signal.SIGUSR1))
    t.start()
    start = time.monotonic()
    caught = None
    try:
        g.disable()  # motor 1 stays silent now
    except Stop as e:
        caught = e
    took = time.monotonic() - start
    t.join()
finally:
    signal.signal(signal.SIGUSR1, old)
assert [s.motor_id for s in states] == [1, 3], states
assert len(handled) == 1 and handled[0] < replied[0], (handled, replied)  # during the call
assert caught is not None and caught.__context__ is None, caught
assert took < 5, took
assert [s.motor_id for s in rotalink.MotorGroup([(gsigm, rotalink.Damiao(3, 0x13))]).enable()] == [3]
)PY"),
              "");
    close(peer);
}

// Leaving a group's block, the disable is not cut short by a signal: every
// attempt goes out, and the handler's exception comes after. Entering it,
// a signal's exception during the enable disables every member first.
TEST(GroupBinding, SignalDuringTheExitDisableWaitsUntilItIsOver) {
    const int peer = socket_bus("gdefer");
    EXPECT_EQ(run(R"PY(
import os, signal, threading
class Stop(Exception):
    pass
def stop(*a):
    raise Stop("from the handler")
main = threading.main_thread().ident
g = rotalink.MotorGroup([(gdefer, rotalink.Damiao(1, 0x11))], timeout_ms=300)  # never answers
old = signal.signal(signal.SIGUSR1, stop)
outcome = []
try:
    t = threading.Timer(0.1, signal.pthread_kill, (main, signal.SIGUSR1))
    t.start()
    try:
        try:
            g.__exit__(None, None, None)
        except rotalink.GroupError as e:
            outcome.append("GroupError")
        for _ in range(100):  # the handler runs once the call is over
            pass
    except Stop:
        outcome.append("Stop")
    t.join()
finally:
    signal.signal(signal.SIGUSR1, old)
os.set_blocking(gdefer_peer, False)
def sent_since():  # the data of every frame sent since the last call
    sent = []
    try:
        while True:
            sent.append(os.read(gdefer_peer, 16)[8:])
    except BlockingIOError:
        return sent
sent = sent_since()
assert sent == [bytes.fromhex("FFFFFFFFFFFFFFFD")] * 3, sent
assert outcome[-1] == "Stop", outcome
# A handler that raises while the scope enables: every member is disabled
# before its exception leaves __enter__.
signal.signal(signal.SIGUSR1, stop)
try:
    t = threading.Timer(0.1, signal.pthread_kill, (main, signal.SIGUSR1))
    t.start()
    try:
        with g:
            raise AssertionError("the block ran")
    except Stop:
        pass
    t.join()
finally:
    signal.signal(signal.SIGUSR1, old)
sent = sent_since()
assert sent == [bytes.fromhex("FFFFFFFFFFFFFFFC")] + [bytes.fromhex("FFFFFFFFFFFFFFFD")] * 3, sent
)PY"),
              "");
    close(peer);
}

TEST(GroupBinding, PoisonedBusFaultsBeforeAnythingIsSent) {
    MemoryTransport* p = make_bus("gpoison");
    MemoryTransport* ok = make_bus("gok");
    p->when_empty([](rotalink::transport::Duration) -> MemoryTransport::RecvResult { ROTALINK_PANIC("receive path broken"); });
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(R"PY(
try:
    rotalink.Damiao(1, 0x11).enable(gpoison)
except BaseException as e:
    assert type(e).__name__ == "PanicException"
g = rotalink.MotorGroup([(gok, rotalink.Damiao(2, 0x12)), (gpoison, rotalink.Damiao(1, 0x11))],
                        disable_timeout_ms=0)
try:
    g.enable()
except Exception:
    raise AssertionError("an Exception handler caught an internal fault")
except BaseException as e:
    assert type(e).__name__ == "PanicException" and "poisoned" in e.args[0], e
# Leaving its block, the group still disables the members of its other bus
# (here one that never answers: three cycles).
try:
    g.__exit__(None, None, None)
except rotalink.GroupError as e:
    assert e.errors[0] == "transport error: timeout waiting for frame", e.errors
    assert "poisoned" in e.errors[1], e.errors
else:
    raise AssertionError("the disable did not fail")
)PY"),
              "");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ok->send_calls(), 3u);
    EXPECT_EQ(p->send_calls(), 1u);
}

// Motors 1 and 2 answer a command of any kind (0x001, 0x201, ...) and a
// refresh: DISABLED after a disable, else ENABLED.
void answer_as_motors_1_and_2(MemoryTransport* t) {
    t->respond([](const CanFrame& f, MemoryTransport& bus) {
        const bool disable = f.data.size() == 8 && f.data[0] == 0xFF && f.data[7] == 0xFD;
        for (std::uint32_t id : {1u, 2u}) {
            const bool refresh = f.id.value == 0x7FF && f.data[0] == id && f.data[2] == 0xCC;
            if ((f.id.value != 0x7FF && (f.id.value & 0xFF) == id) || refresh) {
                bus.queue(make_frame(CanId::standard(0x10 + id), {static_cast<std::uint8_t>((disable ? 0 : 0x10) | id),
                                                                  0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20}));
            }
        }
    });
}

}  // namespace

// The control loop through the binding, checked for leaks and memory errors
// where the sanitizers run: its whole life, a loop dropped while it runs,
// and the group's commands refused meanwhile.
TEST(GroupBinding, ControlLoopLifeAndALoopDroppedWhileItRuns) {
    MemoryTransport* t = make_bus("lbus");
    answer_as_motors_1_and_2(t);
    EXPECT_EQ(run(R"PY(
g = rotalink.MotorGroup([(lbus, rotalink.Damiao(1, 0x11)), (lbus, rotalink.Damiao(2, 0x12))], timeout_ms=20)
with g.start(500, hold_ms=60000) as loop:
    try:
        g.refresh()
        raise AssertionError("refreshed")
    except RuntimeError as e:
        assert str(e) == "control loop running", e
    loop.set([rotalink.MitSetpoint(tau=0.5), rotalink.VelSetpoint(1.0)])
    states = loop.wait(5000)
    assert [s.motor_id for s in states] == [1, 2] and [s.motor_id for s in loop.states()] == [1, 2], states
    stats = loop.stats()
    assert stats.cycles >= 1 and stats.missed == (0, 0) and len(stats.period_us) == 3, stats
    repr(stats), repr(loop)
assert not loop.running and loop.error is None
g.start(1000)  # dropped at once: stopped as it goes
g.refresh()
)PY"),
              "");
}

// How a control loop ends, through the binding: outside the scope its stop
// disables every member; inside, the members stay enabled for the scope's
// exit, which stops a running loop before it disables. A loop started
// outside the scope with no watchdog warns; start() is refused while a
// command of another thread is under way; a member that answers the
// scope's enable with a fault fails the enable.
TEST(GroupBinding, NoLoopIsLeftDrivingAndTheScopeRefusesWhatItCannotMakeSafe) {
    MemoryTransport* t = make_bus("ebus");
    std::uint8_t status = 1;  // what the motors answer anything but a disable with
    t->respond([&status](const CanFrame& f, MemoryTransport& bus) {
        const bool disable = f.data.size() == 8 && f.data[0] == 0xFF && f.data[7] == 0xFD;
        for (std::uint32_t id : {1u, 2u}) {
            const bool refresh = f.id.value == 0x7FF && f.data[0] == id && f.data[2] == 0xCC;
            if ((f.id.value != 0x7FF && (f.id.value & 0xFF) == id) || refresh) {
                const std::uint8_t s = disable ? 0 : status;
                bus.queue(make_frame(CanId::standard(0x10 + id), {static_cast<std::uint8_t>(s << 4 | id), 0x7F, 0xFF,
                                                                  0x7F, 0xF7, 0xFF, 0x1E, 0x20}));
            }
        }
    });
    const auto last = [t](std::size_t n) {
        std::vector<std::string> out;
        const std::vector<CanFrame>& sent = t->sent();
        for (std::size_t k = sent.size() - n; k < sent.size(); ++k) out.push_back(rotalink::test::show(sent[k]));
        return out;
    };
    const std::vector<std::string> disables = {"Standard(0x1) classic [FF FF FF FF FF FF FF FD]",
                                               "Standard(0x2) classic [FF FF FF FF FF FF FF FD]"};
    EXPECT_EQ(run(R"PY(
import logging
class Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.messages = []
    def emit(self, record):
        self.messages.append(record.getMessage())
records = Records()
logging.getLogger("rotalink").addHandler(records)
eg = rotalink.MotorGroup([(ebus, rotalink.Damiao(1, 0x11)), (ebus, rotalink.Damiao(2, 0x12))], timeout_ms=20)
with eg.start(500, hold_ms=60000) as loop:
    loop.wait(5000)
assert not loop.running and loop.error is None
assert len(records.messages) == 1 and "no watchdog_ms" in records.messages[0], records.messages
import builtins
builtins.eg, builtins.records = eg, records
)PY"),
              "");
    EXPECT_EQ(last(2), disables);  // stopped outside the scope: disabled
    const std::size_t before = t->sent().size();
    EXPECT_EQ(run(R"PY(
with eg:
    loop = eg.start(500, hold_ms=60000)
    loop.wait(5000)
    loop.stop()
    assert not loop.running and loop.error is None
    eg.refresh()  # still enabled: the scope's exit disables
    assert [s.error for s in eg.refresh()] == [1, 1]
    loop = eg.start(500, hold_ms=60000)
    loop.wait(5000)
assert not loop.running and loop.error is None
assert len(records.messages) == 1, records.messages  # inside the scope: no warning
)PY"),
              "");
    EXPECT_EQ(last(2), disables);  // the scope's exit stopped the loop first, then disabled
    std::size_t disabled = 0;
    for (std::size_t k = before; k < t->sent().size(); ++k) {
        disabled += rotalink::test::show(t->sent()[k]) == disables[0] ? 1 : 0;
    }
    EXPECT_EQ(disabled, 1u);  // only by the scope's exit
    status = 14;              // OVERLOAD
    EXPECT_EQ(run(R"PY(
try:
    with eg:
        raise AssertionError("the block ran")
except rotalink.GroupError as e:
    assert str(e) == "2 of 2 members failed; member 0 (motor_id=0x1): answered the enable with OVERLOAD", str(e)
    assert e.errors == ["answered the enable with OVERLOAD"] * 2, e.errors
)PY"),
              "");
    EXPECT_EQ(last(2), disables);
}

// start() while a command of another thread waits mid-cycle with the
// interpreter released: refused, as both would use the group's cycle.
TEST(GroupBinding, StartIsRefusedWhileAnotherThreadsCommandIsUnderWay) {
    socket_bus("sbus");
    EXPECT_EQ(run(R"PY(
import os, struct, threading
sg = rotalink.MotorGroup([(sbus, rotalink.Damiao(1, 0x11))], timeout_ms=60000)
got = []
t = threading.Thread(target=lambda: got.append(sg.refresh()))
t.start()
os.read(sbus_peer, 16)  # the refresh is sent: the other thread waits for its reply
try:
    sg.start(100)
    raise AssertionError("started")
except RuntimeError as e:
    assert str(e) == "a command of the group is under way in another thread", e
os.write(sbus_peer, struct.pack("<IB3x8s", 0x11, 8, bytes.fromhex("017FFF7FF7FF1E20")))
t.join()
assert got and got[0][0].motor_id == 1, got
)PY"),
              "");
}

// Older firmware in VEL mode takes the special commands only on its VEL
// identifier (0x201) and answers them on its command identifier (0x001)
// with its status as it is. Known in MIT, its scope fails: it answers the
// enable with DISABLED. Known in VEL (ensure_mode), the scope's enable and
// disable go to 0x001 first, then to 0x201.
TEST(GroupBinding, TheScopeFallsBackToTheModeIdentifierOfAMemberInAnotherMode) {
    MemoryTransport* t = make_bus("legacy_bus");
    std::uint8_t status = 0;
    t->respond([&status](const CanFrame& f, MemoryTransport& bus) {
        if (f.id.value == 0x7FF && f.data[0] == 1 && f.data[2] == 0x33 && f.data[3] == 10) {
            bus.queue(make_frame(CanId::standard(0x11), {1, 0, 0x33, 10, 3, 0, 0, 0}));  // CTRL_MODE: VEL
            return;
        }
        if (f.id.value != 0x001 && f.id.value != 0x201) return;
        if (f.id.value == 0x201 && f.data[7] == 0xFC) status = 1;
        if (f.id.value == 0x201 && f.data[7] == 0xFD) status = 0;
        bus.queue(make_frame(CanId::standard(0x11),
                             {static_cast<std::uint8_t>(status << 4 | 1), 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20}));
    });
    EXPECT_EQ(run(R"PY(
lg = rotalink.MotorGroup([(legacy_bus, rotalink.Damiao(1, 0x11))], timeout_ms=20)
try:
    with lg:
        raise AssertionError("the block ran")
except rotalink.GroupError as e:
    assert str(e) == "1 of 1 members failed; member 0 (motor_id=0x1): answered the enable with DISABLED", str(e)
    assert e.errors == ["answered the enable with DISABLED"], e.errors
lg.ensure_mode(rotalink.ControlMode.VEL)
with lg:
    pass
)PY"),
              "");
    std::vector<std::string> sent;
    for (const CanFrame& f : t->sent()) sent.push_back(rotalink::test::show(f));
    const std::vector<std::string> want = {
        "Standard(0x1) classic [FF FF FF FF FF FF FF FC]",   // known in MIT: DISABLED
        "Standard(0x1) classic [FF FF FF FF FF FF FF FD]",   // confirmed at once
        "Standard(0x7ff) classic [01 00 33 0A 00 00 00 00]",  // ensure_mode: VEL already
        "Standard(0x1) classic [FF FF FF FF FF FF FF FC]",   // DISABLED
        "Standard(0x201) classic [FF FF FF FF FF FF FF FC]", // ENABLED
        "Standard(0x1) classic [FF FF FF FF FF FF FF FD]",   // ENABLED
        "Standard(0x201) classic [FF FF FF FF FF FF FF FD]", // DISABLED
    };
    EXPECT_EQ(sent, want);
}

// Moves through the binding: start()'s blend_ms and move_to()'s refusals
// (nothing moves), a Move that a set() cancels, one that arrives, one the
// loop's stop cuts short, and one that keeps its loop alive. Motor 1's joint
// limits cap its default velocity at 0.5 rad/s: a move of 1 rad takes at
// least 2 s.
TEST(GroupBinding, MovesTheirRefusalsAndTheirEnds) {
    MemoryTransport* t = make_bus("mvbus");
    answer_as_motors_1_and_2(t);
    EXPECT_EQ(run(R"PY(
import math
nan = math.nan
mg = rotalink.MotorGroup([(mvbus, rotalink.Damiao(1, 0x11)), (mvbus, rotalink.Damiao(2, 0x12))], timeout_ms=20,
                         joint_limits=[rotalink.JointLimits(-1.5, 1.5, 0.5), None])
check_raises([(lambda kw=kw: mg.start(500, **kw), kind, text) for kw, kind, text in [
    (dict(blend_ms=60001), ValueError, REFUSALS["blend-range"]),
    (dict(blend_ms=-1), ValueError, "blend_ms must be from 0 to 60000, got -1"),
    (dict(blend_ms=None), TypeError, None),
]])
with mg:
    with mg.start(500, hold_ms=60000, blend_ms=20) as loop:
        check_raises([(lambda kw=kw: loop.move_to(**kw), kind, text) for kw, kind, text in [
            (dict(targets=[0.1]), ValueError, "expected 2 targets, one per member, got 1"),
            (dict(targets=0.1), TypeError, "argument 'targets': 'float' object is not iterable"),
            (dict(targets=[0.1, "x"], kp=1.0), TypeError, "argument 'targets[1]': must be real number, not str"),
            (dict(targets=[0.1, 0.2], kp=1.0, duration=-1), ValueError, REFUSALS["move-duration-negative"]),
            (dict(targets=[0.1, 0.2], kp=1.0, velocity_limit=[1.0, 0.0]), ValueError, REFUSALS["move-velocity-zero"]),
            (dict(targets=[0.1, 0.2], kp=1.0, accel_limit=math.inf), ValueError,
             "member 0 (motor_id=0x1): accel_limit must be finite and above 0, got inf"),
            (dict(targets=[0.1, 0.2], kp=[1.0, 1.0, 1.0]), ValueError, "expected 2 kp, one per member, got 3"),
            (dict(targets=[0.1, 0.2], kp=[1.0, nan]), ValueError, "kp[1] must be a number, got nan"),
            (dict(targets=[0.1, 0.2], kp=1.0, kd=nan), ValueError, "kd must be a number, got nan"),
            (dict(targets=[0.1, nan], kp=1.0), ValueError, "member 1 (motor_id=0x2): target must be finite, got nan"),
            (dict(targets=[2.0, 0.2], kp=1.0), ValueError,
             "member 0 (motor_id=0x1): target 2 is outside the joint limits [-1.5, 1.5]"),
            (dict(targets=[0.1, 0.2]), ValueError,
             "member 0 (motor_id=0x1): an MIT move needs kp: give one, or set an MIT setpoint with one first"),
        ]])
        loop.wait(5000)
        slow = loop.move_to([1.0, 0.0], kp=5.0, kd=0.5)
        assert type(slow) is rotalink.Move and repr(slow) == "Move(done=False, cancelled=False)", repr(slow)
        check_raises([(lambda: slow.wait(timeout_ms=300), TimeoutError, "the move did not arrive within 300 ms")])
        loop.set([rotalink.MitSetpoint(kp=5.0, kd=0.5)] * 2)
        assert slow.wait() is False and slow.cancelled and not slow.done, repr(slow)
        near = loop.move_to((0.0, 0.0), velocity_limit=2.0, accel_limit=[20, 30])
        assert near.wait(5000) is True and near.done and repr(near) == "Move(done=True, cancelled=False)", repr(near)
        assert not slow.done and slow.cancelled  # a later move leaves an earlier one as it was
        cut = loop.move_to([0.0, 0.0], duration=60.0)  # the last set's gains
    check_raises([(cut.wait, RuntimeError, "the control loop is stopped"),
                  (lambda: loop.move_to([0.0, 0.0], kp=1.0), RuntimeError, "the control loop is stopped")])
    assert cut.cancelled and not cut.done and near.done and not near.cancelled
    kept = mg.start(500, hold_ms=60000).move_to([0.0, 0.0], kp=5.0)  # its loop object is dropped here
    assert kept.wait(5000) is True
    del kept
mg.refresh()
)PY"),
              "");
}
