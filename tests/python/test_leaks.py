"""No leaked memory, references or sockets across many calls.

Every value callable (constructors, getters, reprs, presets, mit_setpoint,
register_reply),
on its success path and on its argument-error paths, is called
ROTALINK_LEAK_CALLS times (default 100000) after a warm-up. Afterwards the
reference counts of the arguments and of the classes are exactly what they
were (a leaked result or argument shows up as one more reference per call),
the memory traced by the interpreter's allocator has not grown with the call
count, the interpreter's allocated blocks and the C heap's bytes in use
(glibc's mallinfo2, where there is one) have grown by less than a leak of
one object or one allocation per call would grow them, and the process's
resident set has grown by less than 1 MiB.

The tests marked `bus` do the same for the bus-using calls against a
simulated motor (ROTALINK_LEAK_BUS_CALLS each, default 1000, since every
call is a CAN exchange; ten times as many for the getters and repr of a
received MotorState) and count the open file descriptors over 10^4
transports. tests/reliability/leaks.py prints the same figures for 10^6
calls.
"""
import contextlib
import ctypes
import gc
import importlib.util
import io
import logging
import math
import os
import sys
import time
import tracemalloc

import pytest

import rotalink
from conftest import module_presets, open_fds
from rotalink_sim.frames import pack_frame

CALLS = int(os.environ.get("ROTALINK_LEAK_CALLS", "100000"))
BUS_CALLS = int(os.environ.get("ROTALINK_LEAK_BUS_CALLS", "1000"))
RSS_BOUND = 1 << 20  # bytes of resident-set growth tolerated after the warm-up
# A leaked object is at least one block of the interpreter's allocator (or,
# past its small sizes, a C allocation); a leaked C allocation holds at least
# a 32-byte chunk. Growth is tolerated below a quarter of a block and 8 bytes
# a call, so that a leak of one of either per call is found.
BLOCKS_PER_CALL = 0.25
HEAP_BYTES_PER_CALL = 8
TRACED_BOUND = 64 << 10  # bytes of traced-allocation growth tolerated
TRACED_CALLS = 20_000  # tracemalloc slows every allocation; fewer calls suffice

PRESETS = list(module_presets())
CLASSES = [rotalink.MitLimits, rotalink.MitSetpoint, rotalink.MotorState, rotalink.Damiao,
           rotalink.SocketCanTransport, rotalink.PosVelSetpoint, rotalink.VelSetpoint, rotalink.ForcePosSetpoint]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                     "fsmblks", "uordblks", "fordblks", "keepcost")]


_mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2
    _mallinfo2.argtypes = []


def heap_bytes():
    """Bytes the C allocator has handed out and not had back (chunks in use,
    mapped ones included); 0 where glibc's mallinfo2 is missing (or, as under
    AddressSanitizer, reports nothing)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def memory():
    """(resident set, blocks of the interpreter's allocator, C heap bytes in use)."""
    gc.collect()
    return rss(), sys.getallocatedblocks(), heap_bytes()


class AsFloat:
    """Converted through __float__."""

    def __float__(self):
        return 1.5


class AsIndex:
    """Converted through __index__."""

    def __index__(self):
        return 3


# Distinct objects (not small-int or interned constants), so that their
# reference counts belong to this module alone.
F1, F2, F3, F4, F5 = (float(f"{x}.25") for x in (1, 2, 3, 4, 5))
I1, I2, I3 = (int(f"{x}000001") for x in (1, 2, 3))
NAME = "".join(["nonexistent", "0"])
BAD = object()
FLOATLIKE, INDEXLIKE = AsFloat(), AsIndex()
LIMITS = rotalink.MitLimits(12.5, 30.0, 500.0, 5.0, 10.0)
SETPOINT = rotalink.MitSetpoint(F1, F2, F3, F4, F5)
DAMIAO = rotalink.Damiao(0x11, 0x101)
# A register read reply (classic and FD) and a write echo, as a raw socket delivers them.
RECORDS = (pack_frame(0x11, b"\x01\x00\x33\x0a\x01\x02\x03\x04"),
           bytearray(pack_frame(0x11, b"\x01\x00\x33\x0a\x01\x02\x03\x04", fd=True)),
           pack_frame(0x11, b"\x01\x00\x55\x0a\x01\x02\x03\x04"))

WATCHED = [F1, F2, F3, F4, F5, I1, I2, I3, NAME, BAD, FLOATLIKE, INDEXLIKE, LIMITS, SETPOINT,
           DAMIAO, AsFloat, AsIndex, *RECORDS] + CLASSES


def _raises(exc, fn):
    def call():
        try:
            fn()
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc.__name__}")
    return call


def _reprs(obj):
    def call():
        repr(obj)
        str(obj)
    return call


def _getters(obj, names):
    getters = [(lambda n: lambda: getattr(obj, n))(n) for n in names]

    def call():
        for g in getters:
            g()
    return call


VALUE_CALLS = {
    "MitLimits()": lambda: rotalink.MitLimits(),
    "MitLimits(positional)": lambda: rotalink.MitLimits(F1, F2, F3, F4, F5),
    "MitLimits(keywords)": lambda: rotalink.MitLimits(p_max=F1, v_max=F2, kp_max=F3, kd_max=F4, t_max=F5),
    "MitLimits(__float__, int)": lambda: rotalink.MitLimits(FLOATLIKE, I1),
    "MitLimits presets": (lambda fs: lambda: [f() for f in fs])([getattr(rotalink.MitLimits, p) for p in PRESETS]),
    "MitLimits getters": _getters(LIMITS, ["p_max", "v_max", "kp_max", "kd_max", "t_max"]),
    "MitLimits repr": _reprs(LIMITS),
    "MitSetpoint()": lambda: rotalink.MitSetpoint(),
    "MitSetpoint(positional)": lambda: rotalink.MitSetpoint(F1, F2, F3, F4, F5),
    "MitSetpoint(keywords)": lambda: rotalink.MitSetpoint(q=F1, dq=F2, kp=F3, kd=F4, tau=F5),
    "MitSetpoint(__float__, int)": lambda: rotalink.MitSetpoint(FLOATLIKE, I1, kd=FLOATLIKE),
    "MitSetpoint getters": _getters(SETPOINT, ["q", "dq", "kp", "kd", "tau"]),
    "MitSetpoint repr": _reprs(SETPOINT),
    "mit_setpoint(positional)": lambda: rotalink.mit_setpoint(F1, F2, F3, F4, F5),
    "mit_setpoint(keywords)": lambda: rotalink.mit_setpoint(q=F1, kp=F3, tau=FLOATLIKE),
    "register_reply(reply, other)": lambda: [rotalink.register_reply(r) for r in RECORDS],
    "Damiao(ids)": lambda: rotalink.Damiao(I1 & 0xFFFF, I2 & 0xFFFF),
    "JointLimits(keywords)": lambda: rotalink.JointLimits(q_min=-F1, q_max=F1, tau_max=FLOATLIKE),
    "Damiao(all, keywords)": lambda: rotalink.Damiao(motor_id=INDEXLIKE, master_id=7, limits=LIMITS,
                                                     timeout_ms=I3),
    "Damiao getters": _getters(DAMIAO, ["motor_id", "master_id"]),
    "Damiao repr": _reprs(DAMIAO),
    # Argument errors: the exception, its message and every converted
    # argument must be released as well.
    "MitLimits(bad type)": _raises(TypeError, lambda: rotalink.MitLimits(F1, BAD)),
    "MitLimits(surplus)": _raises(TypeError, lambda: rotalink.MitLimits(F1, F2, F3, F4, F5, F1)),
    "MitLimits(unknown keyword)": _raises(TypeError, lambda: rotalink.MitLimits(F1, bogus=F2)),
    "MitSetpoint(bad type)": _raises(TypeError, lambda: rotalink.MitSetpoint(q=F1, tau=NAME)),
    "MitSetpoint(twice)": _raises(TypeError, lambda: rotalink.MitSetpoint(F1, q=F2)),
    "MitSetpoint(float overflow)": _raises(OverflowError, lambda: rotalink.MitSetpoint(q=1 << 2000)),
    "mit_setpoint(bad type)": _raises(TypeError, lambda: rotalink.mit_setpoint(F1, BAD)),
    "ForcePosSetpoint(keywords)": lambda: rotalink.ForcePosSetpoint(q=F1, dq=F2, current=FLOATLIKE),
    "ForcePosSetpoint getters and repr": _reprs(rotalink.ForcePosSetpoint(F1, F2, F3)),
    "VelSetpoint(bad type)": _raises(TypeError, lambda: rotalink.VelSetpoint(BAD)),
    "JointLimits(empty range)": _raises(ValueError, lambda: rotalink.JointLimits(q_min=F1, q_max=-F1)),
    "register_reply(bad type)": _raises(TypeError, lambda: rotalink.register_reply(BAD)),
    "register_reply(bad size)": _raises(ValueError, lambda: rotalink.register_reply(RECORDS[0][:15])),
    "Damiao(id overflow)": _raises(OverflowError, lambda: rotalink.Damiao(I1, 0)),
    "Damiao(bad id)": _raises(TypeError, lambda: rotalink.Damiao(F1, 0)),
    "Damiao(bad limits)": _raises(TypeError, lambda: rotalink.Damiao(1, 0, limits=BAD)),
    "Damiao(timeout None)": _raises(TypeError, lambda: rotalink.Damiao(1, 0, timeout_ms=None)),
    "Damiao(timeout -1)": _raises(OverflowError, lambda: rotalink.Damiao(1, 0, timeout_ms=-I1)),
    "Damiao.enable(bad bus)": _raises(TypeError, lambda: DAMIAO.enable(BAD)),
    "Damiao.mit_control(bad bus)": _raises(TypeError, lambda: DAMIAO.mit_control(bus=BAD, setpoint=SETPOINT)),
    "Damiao.ensure_mit_mode(no bus)": _raises(TypeError, lambda: DAMIAO.ensure_mit_mode()),
    "SocketCanTransport(bad type)": _raises(TypeError, lambda: rotalink.SocketCanTransport(BAD)),
    "SocketCanTransport(no such iface)": _raises(OSError, lambda: rotalink.SocketCanTransport(NAME)),
    "SocketCanTransport(NUL)": _raises(OSError, lambda: rotalink.SocketCanTransport("vcan0\0")),
}


def _loop(fn, n):
    for _ in range(n):
        fn()


def assert_flat(fn, n, watched=WATCHED, warmup=None):
    """Call fn n times after a warm-up; references and memory must not grow."""
    _loop(fn, max(1000, n // 10) if warmup is None else warmup)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = memory()
    _loop(fn, n)
    grown = [a - b for a, b in zip(memory(), before)]
    after = [sys.getrefcount(o) for o in watched]
    changed = {repr(o)[:60]: (b, a) for o, b, a in zip(watched, refs, after) if a != b}
    assert not changed, f"reference counts changed over {n} calls: {changed}"
    names = ("resident set (bytes)", "allocated blocks", "C heap (bytes)")
    bounds = (RSS_BOUND, max(64, n * BLOCKS_PER_CALL), max(16 << 10, n * HEAP_BYTES_PER_CALL))
    if any(g >= b for g, b in zip(grown, bounds)):
        # A leak grows in every round of n calls; a one-off step (a new
        # allocator arena, a cache filled, another thread's allocation) does
        # not.
        before = memory()
        _loop(fn, n)
        again = [a - b for a, b in zip(memory(), before)]
        over = [f"{name} grew by {g}, then {a}" for name, g, a, b in zip(names, grown, again, bounds) if a >= b]
        assert not over, f"over two rounds of {n} calls: {'; '.join(over)}"


def assert_traced_flat(fn, n):
    """Allocations through the interpreter's allocator (every object of the
    module's classes among them) must all be released again."""
    _loop(fn, 1000)
    gc.collect()
    tracemalloc.start()
    try:
        _loop(fn, 100)
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        _loop(fn, n)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < TRACED_BOUND, f"traced memory grew by {grown} bytes over {n} calls"


@pytest.mark.parametrize("name", list(VALUE_CALLS))
def test_value_calls_leak_nothing(name):
    fn = VALUE_CALLS[name]
    assert_flat(fn, CALLS)
    assert_traced_flat(fn, min(CALLS, TRACED_CALLS))


# ---------------------------------------------------------------- on a bus

ABSENT = (0x7A, 0x7B)  # nobody answers
MOTOR = (0x71, 0x171)
SHORT = (0x72, 0x172)


@pytest.fixture(scope="module")
def leak_bus(can_iface):
    rotalink_sim = pytest.importorskip("rotalink_sim")
    with contextlib.ExitStack() as stack:
        stack.enter_context(rotalink_sim.spawn(can_iface, "--motor", f"{MOTOR[0]:#x}:{MOTOR[1]:#x}"))
        stack.enter_context(rotalink_sim.spawn(can_iface, "--motor", f"{SHORT[0]:#x}:{SHORT[1]:#x}",
                                               "--short-reply", "5"))
        bus = rotalink.SocketCanTransport(can_iface)
        time.sleep(0.05)
        yield bus


@pytest.mark.bus
def test_bus_calls_leak_nothing(leak_bus):
    bus = leak_bus
    motor = rotalink.Damiao(*MOTOR, timeout_ms=2000)
    short = rotalink.Damiao(*SHORT, timeout_ms=2000)
    absent = rotalink.Damiao(*ABSENT, timeout_ms=0)  # sends, then times out at once
    state = motor.enable(bus)
    # A watchdog long enough never to trip between two calls.
    group = rotalink.MotorGroup([(bus, motor)], timeout_ms=2000, watchdog_ms=60_000,
                                joint_limits=[rotalink.JointLimits(q_max=-F1)])
    failing = rotalink.MotorGroup([(bus, absent)], timeout_ms=0, disable_timeout_ms=0)
    watched = WATCHED + [bus, motor, short, absent, group, failing]

    def failed_exit():
        logging.disable(logging.WARNING)  # where exceptions take no notes, a warning is logged
        try:
            assert failing.__exit__(ZeroDivisionError, ZeroDivisionError(), None) is False
        finally:
            logging.disable(logging.NOTSET)

    def scope():
        with group:
            group.hold(5.0, 0.5)
            assert group.clamped[0] > 0

    def control_loop():
        with group.start(1000, hold_ms=60_000) as loop:
            loop.set([SETPOINT])
            loop.wait(2000)
            assert loop.states()[0] is not None and repr(loop.stats()).startswith("LoopStats(")
            with pytest.raises(RuntimeError, match="control loop running"):
                group.refresh()
        with pytest.raises(RuntimeError, match="the control loop is stopped"):
            loop.set([SETPOINT])

    def recorded_loop():
        with group.start(1000, hold_ms=60_000, record=io.BytesIO()) as loop:
            loop.set([SETPOINT])
            loop.wait(2000)
        stats = loop.stats()
        assert loop.recorded == stats.recorded == stats.cycles > 0 and stats.record_error is None, stats

    def expect(exc, text, fn):
        def call():
            with pytest.raises(exc) as info:
                fn()
            assert str(info.value).startswith(text)
        return call

    calls = {
        "enable": lambda: motor.enable(bus),
        "mit_control": lambda: motor.mit_control(bus, SETPOINT),
        "ensure_mit_mode (one read)": lambda: motor.ensure_mit_mode(bus),
        "read_mode": lambda: motor.read_mode(bus),
        "vel_control (ignored)": lambda: motor.vel_control(bus, rotalink.VelSetpoint(F1)),
        "refresh": lambda: motor.refresh(bus),
        "non-finite": expect(ValueError, "PosVelSetpoint.q must be finite",
                             lambda: motor.pos_vel_control(bus, rotalink.PosVelSetpoint(q=math.nan))),
        "time-out": expect(RuntimeError, "transport error: timeout", lambda: absent.disable(bus)),
        "short reply": expect(RuntimeError, "feedback reply too short", lambda: short.set_zero(bus)),
        "bad setpoint": expect(TypeError, "argument 'setpoint'", lambda: motor.mit_control(bus, BAD)),
        "group scope with a watchdog, hold": scope,
        "failed enter, disable retried": expect(rotalink.GroupError, "1 of 1 members failed", failing.__enter__),
        "failed exit attached": failed_exit,
        "control loop: start, set, wait, states, stats, stop": control_loop,
    }
    if importlib.util.find_spec("mcap") is not None:
        calls["control loop recorded: the recorder, its thread and the record's tap"] = recorded_loop
    for name, fn in calls.items():
        try:
            assert_flat(fn, BUS_CALLS, watched, warmup=max(10, BUS_CALLS // 10))
        except AssertionError as e:
            raise AssertionError(f"{name}: {e}") from None
    # MotorState: the values of a received feedback (as many calls as the
    # bus commands' kinds take together: the counts are exact, and the
    # emulated machine slow).
    state_calls = min(CALLS, 10 * BUS_CALLS)
    assert_flat(_getters(state, ["motor_id", "error", "position", "velocity", "torque", "t_mos",
                                 "t_rotor"]), state_calls, watched + [state])
    assert_flat(_reprs(state), state_calls, watched + [state])


@pytest.mark.bus
def test_transports_release_their_sockets(can_iface):
    motor = rotalink.Damiao(*ABSENT, timeout_ms=0)

    def open_use_drop(k=[0]):
        k[0] += 1
        bus = rotalink.SocketCanTransport(can_iface)
        if k[0] % 10 == 0:  # every tenth one also sends a frame before it goes
            with pytest.raises(RuntimeError):
                motor.enable(bus)

    gc.collect()
    fds = open_fds()
    assert_flat(open_use_drop, 10_000, WATCHED + [motor])
    assert open_fds() == fds
