// Damiao methods through the binding, on a bus object holding an in-memory
// transport: error conversion, the bus lock, and internal faults.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "bus_object.hpp"

namespace {

using rotalink::test::make_frame;
using rotalink::test::MemoryTransport;
using rotalink::testing::expose;
using rotalink::testing::make_bus;
using rotalink::testing::run;
using rotalink::transport::CanId;

const std::vector<std::uint8_t> kFeedback = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};

TEST(BusBinding, CommandReturnsAMotorStateWithTheExactRepr) {
    MemoryTransport* t = make_bus("bus");
    t->arrive_after_send(make_frame(CanId::standard(0x000), kFeedback));
    EXPECT_EQ(run(R"PY(
st = rotalink.Damiao(1, 0).enable(bus)
assert type(st) is rotalink.MotorState
assert repr(st) == "MotorState(motor_id=1, error=1, position=-0.0002, velocity=-0.0073, torque=-0.0024, t_mos=30, t_rotor=32)", repr(st)
assert str(st) == repr(st)
assert st.position == -0.00019073486328125, st.position
)PY"),
              "");
    ASSERT_EQ(t->sent().size(), 1u);
    EXPECT_EQ(t->sent()[0].id, CanId::standard(0x001));
}

TEST(BusBinding, DriverErrorsAreRuntimeErrorsAndLeaveTheBusUsable) {
    MemoryTransport* t = make_bus("bus2");
    EXPECT_EQ(run(R"PY(
m = rotalink.Damiao(1, 0x11, timeout_ms=1)
try:
    m.enable(bus2)
except RuntimeError as e:
    assert type(e) is RuntimeError and e.args == ("transport error: timeout waiting for frame",), e.args
else:
    raise AssertionError("no error")
)PY"),
              "");
    t->arrive_after_send(make_frame(CanId::standard(0x11), {1, 2, 3}));
    EXPECT_EQ(run(R"PY(
try:
    rotalink.Damiao(1, 0x11).set_zero(bus=bus2)
except RuntimeError as e:
    assert e.args == ("feedback reply too short: 3 data bytes, expected 8",), e.args
)PY"),
              "");
    t->arrive_after_send(make_frame(CanId::standard(0x11), kFeedback));
    EXPECT_EQ(run("assert rotalink.Damiao(1, 0x11).disable(bus2).t_mos == 30"), "");
    EXPECT_EQ(t->sent().size(), 3u);
}

TEST(BusBinding, LimitDomainFailureIsValueErrorAndSendsNothing) {
    MemoryTransport* t = make_bus("bus3");
    EXPECT_EQ(run(R"PY(
m = rotalink.Damiao(1, 0x11, rotalink.MitLimits(p_max=float("nan")))
try:
    m.mit_control(bus3, rotalink.MitSetpoint())
except ValueError as e:
    assert e.args == ("min > max, or either was NaN. min = NaN, max = NaN",), e.args
else:
    raise AssertionError("no error")
)PY"),
              "");
    EXPECT_EQ(t->send_calls(), 0u);
}

TEST(BusBinding, ArgumentErrorsComeBeforeTheBus) {
    MemoryTransport* t = make_bus("bus4");
    EXPECT_EQ(run(R"PY(
m = rotalink.Damiao(1, 0x11)
check_raises([(call, TypeError, text) for call, text in [
    (lambda: m.mit_control(bus4, 5), "argument 'setpoint': 'int' object cannot be converted to 'MitSetpoint'"),
    (lambda: m.mit_control(5, rotalink.MitSetpoint()), "argument 'bus': 'int' object cannot be converted to 'SocketCanTransport'"),
    (lambda: m.enable(bus4, bus=bus4), "Damiao.enable() got multiple values for argument 'bus'"),
    (lambda: m.mit_control(setpoint=rotalink.MitSetpoint()), "Damiao.mit_control() missing 1 required positional argument: 'bus'"),
]])
)PY"),
              "");
    EXPECT_EQ(t->send_calls(), 0u);
}

TEST(BusBinding, RegistersReadAndWriteByTheirKind) {
    MemoryTransport* t = make_bus("rbus");
    // Reads of register 21 answer the float 3.5, of 14 the integer 0x5012.
    t->respond([](const rotalink::transport::CanFrame& f, MemoryTransport& bus) {
        if (f.data.size() != 8 || f.data[2] != 0x33) return;
        const std::vector<std::uint8_t> value = f.data[3] == 21 ? std::vector<std::uint8_t>{0, 0, 0x60, 0x40}
                                                                : std::vector<std::uint8_t>{0x12, 0x50, 0, 0};
        bus.queue(make_frame(CanId::standard(0x11), {f.data[0], f.data[1], 0x33, f.data[3], value[0], value[1],
                                                    value[2], value[3]}));
    });
    EXPECT_EQ(run(R"PY(
m = rotalink.Damiao(1, 0x11)
R = rotalink.Register
v = m.read_register(rbus, R.PMAX)
assert type(v) is float and v == 3.5, v
v = m.read_register(rbus, register=14)
assert type(v) is int and v == 0x5012, v
assert m.write_register(rbus, R.PMAX, 2) is None
m.write_register(rbus, R.MST_ID, 0x12)
check_raises([
    (lambda: m.write_register(rbus, R.MST_ID, 1.5), TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda: m.write_register(rbus, R.PMAX, "1"), TypeError, None),
    (lambda: m.write_register(rbus, R.PMAX, float("nan")), ValueError, "register 21 (PMAX) takes a finite value"),
    (lambda: m.write_register(rbus, R.MST_ID, 1 << 32), OverflowError, None),
    (lambda: m.write_register(rbus, R.sw_ver, 1), RuntimeError, "register 14 is read-only"),
    (lambda: m.read_register(rbus, 99), RuntimeError, "register 99 is not in the Damiao register table"),
    (lambda: m.read_register(rbus, 1 << 40), RuntimeError, "register 1099511627776 is not in the Damiao register table"),
    (lambda: m.read_register(rbus, -1), OverflowError, None),
    (lambda: m.read_register(rbus, "PMAX"), TypeError, None),
])
assert [r.name for r in R if r.is_float and not r.writable] == ["Damp", "Inertia", "Rs", "LS", "Flux", "Gr"]
assert [r.name for r in R if not r.is_float and not r.writable] == ["hw_ver", "sw_ver", "SN", "NPP", "sub_ver"]
)PY"),
              "");
    // Two reads, then the two writes that were taken; the refused calls sent nothing.
    ASSERT_EQ(t->sent().size(), 4u);
    EXPECT_EQ(t->sent()[2].data, (std::vector<std::uint8_t>{1, 0, 0x55, 21, 0, 0, 0, 0x40}));
    EXPECT_EQ(t->sent()[3].data, (std::vector<std::uint8_t>{1, 0, 0x55, 7, 0x12, 0, 0, 0}));
}

std::atomic<bool> g_cycle_sent{false};

PyObject* cycle_sent(PyObject*, PyObject*) { return PyBool_FromLong(g_cycle_sent.load() ? 1 : 0); }

// A single command on a bus that a group cycle holds waits for the bus with
// the interpreter lock released: another thread keeps running meanwhile.
TEST(BusBinding, ASingleCommandWaitingBehindACycleLetsOtherThreadsRun) {
    MemoryTransport* t = make_bus("held_bus");
    t->respond([](const rotalink::transport::CanFrame& f, MemoryTransport& bus) {
        if (f.id.value == 1) g_cycle_sent = true;  // the cycle's member never answers
        if (f.id.value == 2) bus.queue(make_frame(CanId::standard(0x12), kFeedback));
    });
    expose("cycle_sent", cycle_sent, METH_NOARGS);
    EXPECT_EQ(run(R"PY(
import threading, time
count = 0
stop = False
def counter():
    global count
    while not stop:
        count += 1
        time.sleep(0.001)
k = threading.Thread(target=counter)
k.start()
g = rotalink.MotorGroup([(held_bus, rotalink.Damiao(1, 0x11))], timeout_ms=500)
def cycle():
    try:
        g.disable()
    except rotalink.GroupError:
        pass
c = threading.Thread(target=cycle)
c.start()
while not cycle_sent():
    time.sleep(0.001)
before = count
start = time.monotonic()
state = rotalink.Damiao(2, 0x12).enable(held_bus)
waited, counted = time.monotonic() - start, count - before
stop = True
k.join()
c.join()
assert state.t_mos == 30
assert waited > 0.05, waited  # it did wait for the cycle
assert counted >= 10, (counted, waited)
)PY"),
              "");
}

// A motor's register side on a bus: answers reads of register 10 with its
// mode, applies writes, and answers a refresh and any command with feedback
// of status `status`. `written` is set once a write has gone out.
struct RegisterSide {
    std::atomic<std::uint32_t> mode{2};
    std::uint8_t status = 0;
    std::atomic<bool> written{false};

    void serve(MemoryTransport* t, std::uint8_t id, std::uint16_t master) {
        t->respond([this, id, master](const rotalink::transport::CanFrame& f, MemoryTransport& bus) {
            const bool reg = f.id.value == 0x7FF && f.data.size() == 8 && f.data[0] == id;
            if (reg && f.data[2] == 0x33 && f.data[3] == 10) {
                const std::uint32_t m = mode;
                bus.queue(make_frame(CanId::standard(master), {id, 0, 0x33, 10, static_cast<std::uint8_t>(m), 0, 0, 0}));
            } else if (reg && f.data[2] == 0x55 && f.data[3] == 10) {
                mode = f.data[4];
                written = true;
            } else if ((reg && f.data[2] == 0xCC) || f.id.value == id) {
                std::vector<std::uint8_t> feedback = kFeedback;
                feedback[0] = static_cast<std::uint8_t>(status << 4 | id);
                bus.queue(make_frame(CanId::standard(master), feedback));
            }
        });
    }
};

RegisterSide g_switching;

PyObject* mode_written(PyObject*, PyObject*) { return PyBool_FromLong(g_switching.written.load() ? 1 : 0); }

// The mode switch lets go of the bus and of the interpreter during its
// pause: another thread commands a motor on the same bus meanwhile, between
// the write and the verification; a signal's handler runs in the pause, and
// one that raises ends the call there, the mode written but not verified.
TEST(BusBinding, TheModeSwitchPausesHoldingNeitherTheBusNorTheInterpreter) {
    MemoryTransport* t = make_bus("switch_bus");
    g_switching.serve(t, 2, 0x12);
    expose("mode_written", mode_written, METH_NOARGS);
    EXPECT_EQ(run(R"PY(
import threading, time
m = rotalink.Damiao(2, 0x12)
def other():
    while not mode_written():
        time.sleep(0.001)
    rotalink.Damiao(2, 0x12).refresh(switch_bus)
o = threading.Thread(target=other)
o.start()
m.ensure_mode(switch_bus, rotalink.ControlMode.MIT)
o.join()
)PY"),
              "");
    std::vector<std::uint8_t> ops;
    for (const auto& f : t->sent()) ops.push_back(f.id.value == 0x7FF ? f.data[2] : 0);
    EXPECT_EQ(ops, (std::vector<std::uint8_t>{0x33, 0xCC, 0x55, 0xCC, 0x33}));  // the other thread's refresh inside

    g_switching.mode = 2;
    g_switching.written = false;
    const std::size_t before = t->sent().size();
    EXPECT_EQ(run(R"PY(
import signal, threading, time
main = threading.main_thread().ident
class Stop(Exception):
    pass
def stop(*a):
    raise Stop()
def signal_in_the_pause():
    while not mode_written():
        time.sleep(0.001)
    signal.pthread_kill(main, signal.SIGUSR1)
old = signal.signal(signal.SIGUSR1, stop)
try:
    k = threading.Thread(target=signal_in_the_pause)
    k.start()
    check_raises([(lambda: rotalink.Damiao(2, 0x12).ensure_mit_mode(switch_bus), Stop, None)])
    k.join()
finally:
    signal.signal(signal.SIGUSR1, old)
)PY"),
              "");
    EXPECT_EQ(t->sent().size() - before, 3u);  // read, refresh, write: no verification
}

// A motor that reports itself enabled keeps its mode: the read and the
// refresh go out, nothing is written; in a group, that member fails.
TEST(BusBinding, TheModeSwitchRefusesAnEnabledMotor) {
    MemoryTransport* t = make_bus("enabled_bus");
    static RegisterSide side;
    side.status = 1;
    side.serve(t, 2, 0x12);
    EXPECT_EQ(run(R"PY(
refused = "motor 0x002 reports itself enabled: disable it before changing its control mode"
m = rotalink.Damiao(2, 0x12)
check_raises([(lambda: m.ensure_mode(enabled_bus, rotalink.ControlMode.VEL), RuntimeError, refused)])
try:
    rotalink.MotorGroup([(enabled_bus, m)]).ensure_mode(rotalink.ControlMode.MIT)
except rotalink.GroupError as e:
    assert e.errors == [refused], e.errors
else:
    raise AssertionError("no GroupError")
m.ensure_mode(enabled_bus, rotalink.ControlMode.POS_VEL)  # its mode already: only read
)PY"),
              "");
    std::vector<std::uint8_t> ops;
    for (const auto& f : t->sent()) ops.push_back(f.data[2]);
    EXPECT_EQ(ops, (std::vector<std::uint8_t>{0x33, 0xCC, 0x33, 0xCC, 0x33}));
    EXPECT_EQ(side.mode.load(), 2u);
}

TEST(BusBinding, InternalFaultPoisonsTheBusForGood) {
    MemoryTransport* t = make_bus("bus5");
    t->when_empty([](rotalink::transport::Duration) -> MemoryTransport::RecvResult {
        ROTALINK_PANIC("receive path broken");
    });
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(R"PY(
m = rotalink.Damiao(1, 0x11)
def fault(call):
    try:
        call()
    except Exception:
        raise AssertionError("an Exception handler caught an internal fault")
    except BaseException as e:
        assert type(e).__name__ == "PanicException", type(e)
        return e.args[0]
    raise AssertionError("no fault")
assert fault(lambda: m.enable(bus5)) == "receive path broken"
assert "poisoned" in fault(lambda: m.enable(bus5))
assert "poisoned" in fault(lambda: m.mit_control(bus5, rotalink.MitSetpoint()))
)PY"),
              "");
    const std::string diag = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(diag.find("receive path broken"), std::string::npos) << diag;
    EXPECT_EQ(t->send_calls(), 1u);  // the poisoned bus runs nothing
}

}  // namespace
