"""Faults injected on a real kernel: each ends with its defined error or
result, never with a hang past the deadline or a crash, and the bus is
usable afterwards.

* the interface goes down (and up again, or away) while a command waits,
  while the bus is idle, or before a command is sent;
* foreign frames flood the bus at full rate while a command waits;
* replies come late (after their command timed out), twice, short, from a
  wrong or an extended identifier, or as CAN FD frames;
* signals arrive while a command waits or pauses.

The module keeps the interpreter lock while it waits, so everything that has
to happen during a wait (the simulated motors, `ip link`, a signal sender)
runs in a process of its own. "No hang" is asserted generously: a call
returns no later than its time-out plus SLACK seconds. Measured overshoots
are printed by tests/reliability/deadlines.py.
"""
import contextlib
import errno
import faulthandler
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

import rotalink
from conftest import Sniffer

rotalink_sim = pytest.importorskip("rotalink_sim")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reliability"))
import filtered_sim  # noqa: E402

pytestmark = pytest.mark.bus

SLACK = 2.0  # s past its time-out by which any call must have returned
LONG = 2000  # ms; where a reply is expected, an emulated kernel may be slow
TIMEOUT = "transport error: timeout waiting for frame"
BACKEND = "transport error: backend error: "
ENABLED = 1  # the status an enabled motor reports in MotorState.error (0: disabled)


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


NETDOWN = BACKEND + os_text(errno.ENETDOWN)
NODEV = BACKEND + os_text(errno.ENODEV)
NXIO = BACKEND + os_text(errno.ENXIO)
EINTR = BACKEND + os_text(errno.EINTR)


def motor_arg(motor_id, master_id):
    return ["--motor", f"{motor_id:#x}:{master_id:#x}"]


@contextlib.contextmanager
def simulators(iface, *arg_lists):
    """Start several rotalink-sim processes at once and wait until all are ready."""
    handles = []
    try:
        for args in arg_lists:
            proc = subprocess.Popen(
                [sys.executable, "-m", "rotalink_sim", iface] + [str(a) for a in args],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            handles.append(rotalink_sim.SimProcess(proc))
        for h in handles:
            h.wait_ready(rotalink_sim.process.default_ready_timeout())
        yield handles
    finally:
        for h in handles:
            h.close()


def timed(fn):
    """(result or exception, elapsed seconds) of fn()."""
    t0 = time.monotonic()
    try:
        out = fn()
    except Exception as e:  # noqa: BLE001 - the outcome is inspected by the caller
        out = e
    return out, time.monotonic() - t0


def assert_error(out, text):
    assert type(out) is RuntimeError, f"expected RuntimeError({text!r}), got {out!r}"
    assert out.args == (text,)


def echo(torque):
    """A setpoint whose feedback reports `torque`: with kp = kd = 0 the
    simulated motor applies (and reports) the feed-forward torque alone."""
    return rotalink.MitSetpoint(tau=torque)


def reports(state, torque):
    return abs(state.torque - torque) < 0.01


def drain(bus, settle=0.2):
    """Consume and drop every frame queued on the bus: a command to nobody
    reads (and drops) frames of other identifiers until its time-out."""
    time.sleep(settle)
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        rotalink.Damiao(0x7E0, 0x7E1, timeout_ms=100).disable(bus)


def wait_quiet(iface, ident, quiet=0.5, limit=60.0):
    """Wait until standard identifier `ident` has sent nothing for `quiet`
    seconds (a simulator working off a backlog of commands)."""
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", ident, 0x7FF | 0xC0000000))
        s.bind((iface,))
        s.settimeout(quiet)
        end = time.monotonic() + limit
        while time.monotonic() < end:
            try:
                s.recv(72)
            except socket.timeout:
                return
        raise AssertionError(f"{ident:#x} still sending after {limit} s")
    finally:
        s.close()


@pytest.fixture(autouse=True)
def watchdog():
    """A test that hangs (the module holds the interpreter lock while it
    waits) prints every thread's stack and ends the run instead."""
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def need_root():
    if os.geteuid() != 0:
        pytest.skip("setting an interface down needs root (the test VM runs as root)")


def ip(*args):
    subprocess.run(["ip", "link"] + list(args), check=True)


# ---------------------------------------------------------------- interface down

# The class-scoped fixtures are module functions: one that is a method runs
# on an instance of its own, not the tests' (and pytest deprecates it).
@pytest.fixture(scope="class")
def sim1(can_iface2):
    need_root()
    with rotalink_sim.spawn(can_iface2, *motor_arg(*TestInterfaceDown.MOTOR)) as sim:
        yield sim


class TestInterfaceDown:
    MOTOR = (0x0A, 0x1A)
    ABSENT = (0x0B, 0x1B)

    @pytest.fixture
    def bus1(self, can_iface2, sim1):
        bus = rotalink.SocketCanTransport(can_iface2)
        yield bus
        ip("set", "dev", can_iface2, "up")  # whatever a failed test left behind

    def works(self, bus):
        state = rotalink.Damiao(*self.MOTOR, timeout_ms=LONG).enable(bus)
        assert state.motor_id == self.MOTOR[0] & 0xF

    @pytest.mark.parametrize("command", ["enable", "mit_control", "ensure_mit_mode"])
    def test_down_mid_request_ends_the_wait_with_the_os_error(self, bus1, sim1, can_iface2, command):
        absent = rotalink.Damiao(*self.ABSENT, timeout_ms=30_000)
        args = (bus1, echo(1.0)) if command == "mit_control" else (bus1,)
        flap = subprocess.Popen(["sh", "-c", f"sleep 0.05; ip link set dev {can_iface2} down; "
                                             f"sleep 0.3; ip link set dev {can_iface2} up"])
        try:
            out, elapsed = timed(lambda: getattr(absent, command)(*args))
        finally:
            assert flap.wait(60) == 0
        assert str(out).startswith(BACKEND)
        assert_error(out, NETDOWN)
        assert elapsed < 15.0  # of 30 s
        # The same transport works again, and so does the simulator that
        # saw the interface go down.
        self.works(bus1)
        assert sim1.proc.poll() is None

    def test_down_and_up_while_idle_fails_the_next_command_once(self, bus1, can_iface2):
        self.works(bus1)
        sniffer = Sniffer(can_iface2)
        try:
            ip("set", "dev", can_iface2, "down")
            ip("set", "dev", can_iface2, "up")
            # The kernel keeps the event as a pending error on every socket
            # of the interface; the next send takes it and sends nothing.
            with pytest.raises(OSError) as info:
                sniffer.sock.recv(72, socket.MSG_DONTWAIT)
            assert info.value.errno == errno.ENETDOWN
            out, elapsed = timed(lambda: rotalink.Damiao(*self.MOTOR, timeout_ms=30_000).enable(bus1))
            assert_error(out, NETDOWN)
            assert elapsed < SLACK
            assert sniffer.frames(0.3) == []
        finally:
            sniffer.close()
        self.works(bus1)

    def test_commands_while_down_fail_at_once(self, bus1, can_iface2):
        m = rotalink.Damiao(*self.MOTOR, timeout_ms=30_000)
        ip("set", "dev", can_iface2, "down")
        try:
            for command in ("enable", "disable", "ensure_mit_mode"):
                out, elapsed = timed(lambda: getattr(m, command)(bus1))
                assert_error(out, NETDOWN)
                assert elapsed < SLACK
        finally:
            ip("set", "dev", can_iface2, "up")
        self.works(bus1)

    def test_deleted_interface_leaves_the_transport_failing_at_once(self, can_iface2):
        need_root()
        m = rotalink.Damiao(*self.MOTOR, timeout_ms=30_000)
        with rotalink_sim.spawn(can_iface2, *motor_arg(*self.MOTOR)):
            bus = rotalink.SocketCanTransport(can_iface2)
            self.works(bus)
            gone = subprocess.Popen(["sh", "-c", f"sleep 0.05; ip link del dev {can_iface2}"])
            try:
                out, elapsed = timed(lambda: rotalink.Damiao(*self.ABSENT, timeout_ms=30_000).enable(bus))
                assert gone.wait(60) == 0
                # Going away takes the interface down first; whichever of
                # the two events the waiting read sees ends it.
                assert type(out) is RuntimeError
                assert out.args[0] in (NETDOWN, NODEV)
                assert elapsed < 15.0
                # The socket has lost its binding: every later command fails
                # at the send, also once an interface of that name is back.
                for _ in range(2):
                    out, elapsed = timed(lambda: m.enable(bus))
                    assert_error(out, NXIO)
                    assert elapsed < SLACK
            finally:
                gone.wait(60)
                subprocess.run(["sh", "-c", f"ip link show dev {can_iface2} >/dev/null 2>&1 || "
                                            f"{{ ip link add dev {can_iface2} type vcan && "
                                            f"ip link set dev {can_iface2} mtu 72 && "
                                            f"ip link set dev {can_iface2} up; }}"], check=True)
            out, elapsed = timed(lambda: m.enable(bus))
            assert_error(out, NXIO)
            assert elapsed < SLACK
        # A new transport (and a simulator bound to the new interface) works.
        with rotalink_sim.spawn(can_iface2, *motor_arg(*self.MOTOR)):
            self.works(rotalink.SocketCanTransport(can_iface2))


# ---------------------------------------------------------------- flood

@pytest.fixture(scope="class")
def flooded(can_iface2):
    """The bus of TestFlood, with the flood flowing and its motors answering."""
    cls = TestFlood
    with contextlib.ExitStack() as stack:
        stack.enter_context(rotalink_sim.spawn(can_iface2, *motor_arg(*cls.FLOODER), "--flood", "0"))
        stack.enter_context(filtered_sim.spawn(can_iface2, *motor_arg(*cls.PROMPT)))
        stack.enter_context(filtered_sim.spawn(can_iface2, *motor_arg(*cls.LATE), "--delay-ms", "150"))
        rate = filtered_sim.frame_rate(can_iface2, 0.5)
        assert rate > 500, f"the flood is not flowing: {rate:.0f} frames/s"
        yield rotalink.SocketCanTransport(can_iface2)


class TestFlood:
    """A full-rate flood of foreign frames on vcan1 from a process of its own.

    The answering motors run behind a kernel receive filter
    (tests/reliability/filtered_sim.py): a plain simulator reading the flood
    in Python loses most commands in its own overflowing receive queue.
    """

    FLOODER = (0x60, 0x70)  # a simulator needs a motor; nobody commands it
    PROMPT = (0x61, 0x71)  # answers at once
    LATE = (0x62, 0x72)  # answers 150 ms after each command
    ABSENT = (0x63, 0x73)  # never answers

    @pytest.mark.parametrize("timeout_ms", [1, 5, 20, 100])
    def test_timed_out_calls_return_by_their_deadline(self, flooded, timeout_ms):
        bus = flooded
        limit = timeout_ms / 1000.0
        absent = rotalink.Damiao(*self.ABSENT, timeout_ms=timeout_ms)
        late = rotalink.Damiao(*self.LATE, timeout_ms=timeout_ms)
        # Only the upper bound is asserted: a wait that the socket's
        # receive time-out ends can return before the deadline when the
        # kernel's tick lags (RELIABILITY.md, "Early time-outs").
        for _ in range(20):
            out, elapsed = timed(lambda: absent.mit_control(bus, echo(0.5)))
            assert_error(out, TIMEOUT)
            assert elapsed <= limit + SLACK
            # The late motor's replies arrive after their own command timed
            # out and may answer a later command at once.
            out, elapsed = timed(lambda: late.enable(bus))
            if isinstance(out, rotalink.MotorState):
                assert out.motor_id == self.LATE[0] & 0xF
            else:
                assert_error(out, TIMEOUT)
            assert elapsed <= limit + SLACK

    def test_replies_are_found_among_the_flood(self, flooded):
        bus = flooded
        drain(bus)
        m = rotalink.Damiao(*self.PROMPT, timeout_ms=LONG)
        # The flood can cost the enable's reply as it can any other (below);
        # the motor is enabled once one enable is answered.
        for attempt in range(5):
            out, _ = timed(lambda: m.enable(bus))
            if isinstance(out, rotalink.MotorState):
                break
            assert_error(out, TIMEOUT)
        else:
            raise AssertionError("no enable was answered among the flood")
        answered = 0
        for k in range(100):
            tau = (k % 21 - 10) * 0.5
            out, elapsed = timed(lambda: m.mit_control(bus, echo(tau)))
            assert elapsed <= LONG / 1000.0 + SLACK
            if isinstance(out, rotalink.MotorState):
                # Its own reply, not a flood frame (which would decode as
                # motor 14 with error 14) nor an earlier reply.
                assert (out.motor_id, out.error) == (self.PROMPT[0] & 0xF, ENABLED)
                assert reports(out, tau), (k, tau, out)
                answered += 1
            else:
                # The kernel drops a reply when the bus's receive queue is
                # full of flood frames (the transport sets no filter).
                assert_error(out, TIMEOUT)
        assert answered >= 50


# ---------------------------------------------------------------- reply faults

NORMAL = (0x01, 0x11)
LATE = (0x02, 0x12)  # --delay-ms 60
TWICE = (0x03, 0x13)  # --late-reply: each reply again 1 ms later
SHORT0 = (0x04, 0x14)  # --short-reply 0
SHORT7 = (0x05, 0x15)  # --short-reply 7
FD = (0x06, 0x16)  # --fd-reply: CAN FD replies of 8 data bytes
FDSHORT = (0x07, 0x17)  # --fd-reply --short-reply 5
WRONG = (0x08, 0x18)  # --wrong-id: answers from 0x19
EXT = (0x09, 0x1B)  # --extended-reply
POSVEL = (0x0C, 0x1C)  # in POS_VEL mode
ABSENT = (0x0D, 0x1D)


@pytest.fixture(scope="module")
def sims(can_iface):
    with simulators(
        can_iface,
        motor_arg(*NORMAL),
        motor_arg(*LATE) + ["--delay-ms", "60"],
        motor_arg(*TWICE) + ["--late-reply"],
        motor_arg(*SHORT0) + ["--short-reply", "0"],
        motor_arg(*SHORT7) + ["--short-reply", "7"],
        motor_arg(*FD) + ["--fd-reply"],
        motor_arg(*FDSHORT) + ["--fd-reply", "--short-reply", "5"],
        motor_arg(*WRONG) + ["--wrong-id"],
        motor_arg(*EXT) + ["--extended-reply"],
        motor_arg(*POSVEL) + ["--mode", "pos_vel"],
    ) as handles:
        yield handles


@pytest.fixture
def bus(can_iface, sims):
    b = rotalink.SocketCanTransport(can_iface)
    time.sleep(0.01)
    yield b
    for h in sims:
        assert h.proc.poll() is None, "a simulator died: " + h.stderr


def still_usable(bus):
    state = rotalink.Damiao(*NORMAL, timeout_ms=LONG).enable(bus)
    assert state.motor_id == NORMAL[0] & 0xF


def too_short(n):
    return f"feedback reply too short: {n} data bytes, expected 8"


def is_state_of(ident, torque=None):
    def check(state):
        assert isinstance(state, rotalink.MotorState), state
        assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (ident & 0xF, ENABLED, 30, 32)
        if torque is not None:
            assert reports(state, torque), state
    return check


@pytest.mark.parametrize("who, command, timeout_ms, expected", [
    # Feedback must come from the standard master identifier with 8 bytes or more.
    pytest.param(SHORT0, "enable", LONG, too_short(0), id="short-0-enable"),
    pytest.param(SHORT7, "mit_control", LONG, too_short(7), id="short-7-mit"),
    pytest.param(FDSHORT, "enable", LONG, too_short(5), id="fd-short-5-enable"),
    pytest.param(WRONG, "enable", 100, TIMEOUT, id="wrong-id-enable"),
    pytest.param(EXT, "mit_control", 100, TIMEOUT, id="extended-id-mit"),
    # A CAN FD reply is decoded from its first 8 bytes.
    pytest.param(FD, "enable", LONG, is_state_of(FD[0], torque=0.0), id="fd-enable"),
    pytest.param(FD, "mit_control", LONG, is_state_of(FD[0], torque=2.5), id="fd-mit"),
    # Register replies are matched by their payload alone (identifier and
    # kind are not examined) and must be exactly 8 bytes long.
    pytest.param(WRONG, "ensure_mit_mode", LONG, None, id="wrong-id-register"),
    pytest.param(EXT, "ensure_mit_mode", LONG, None, id="extended-id-register"),
    pytest.param(FD, "ensure_mit_mode", LONG, None, id="fd-8-bytes-register"),
    pytest.param(SHORT7, "ensure_mit_mode", 100, TIMEOUT, id="short-7-register"),
])
def test_faulty_replies(bus, who, command, timeout_ms, expected):
    m = rotalink.Damiao(*who, timeout_ms=timeout_ms)
    if command == "mit_control":
        if callable(expected):
            rotalink.Damiao(*who, timeout_ms=LONG).enable(bus)  # so that it applies the torque
        call = lambda: m.mit_control(bus, echo(2.5))  # noqa: E731
    else:
        call = lambda: getattr(m, command)(bus)  # noqa: E731
    out, elapsed = timed(call)
    if isinstance(expected, str):
        assert_error(out, expected)
    elif expected is None:
        assert out is None
    else:
        expected(out)
    assert elapsed <= timeout_ms / 1000.0 + SLACK
    drain(bus)
    still_usable(bus)


def test_late_reply_answers_the_next_command_until_drained(bus):
    m = rotalink.Damiao(*LATE, timeout_ms=LONG)
    hasty = rotalink.Damiao(*LATE, timeout_ms=20)
    m.enable(bus)
    out, _ = timed(lambda: hasty.mit_control(bus, echo(3.0)))
    assert_error(out, TIMEOUT)
    time.sleep(0.2)  # its feedback arrives and stays queued
    out, elapsed = timed(lambda: m.mit_control(bus, echo(-3.0)))
    assert reports(out, 3.0), out  # the timed-out command's feedback
    assert elapsed < LONG / 1000.0
    time.sleep(0.2)
    # Each command now takes the feedback of the one before.
    assert reports(m.mit_control(bus, echo(1.0)), -3.0)
    drain(bus)
    assert reports(m.mit_control(bus, echo(2.0)), 2.0)
    still_usable(bus)


def test_duplicated_replies_put_commands_ever_further_behind(bus):
    m = rotalink.Damiao(*TWICE, timeout_ms=LONG)
    m.enable(bus)
    drain(bus)
    # Each command takes one feedback and leaves two: command k is answered
    # by the feedback of command k // 2.
    taus = [1.5, -1.5, 2.0, 0.5, -0.5, 1.0]
    got = []
    for tau in taus:
        got.append(m.mit_control(bus, echo(tau)).torque)
        time.sleep(0.05)
    assert all(abs(g - taus[k // 2]) < 0.01 for k, g in enumerate(got)), got
    drain(bus)
    assert reports(m.mit_control(bus, echo(-2.0)), -2.0)
    drain(bus)
    still_usable(bus)


# ---------------------------------------------------------------- signals

@contextlib.contextmanager
def handler(signum, fn):
    old = signal.signal(signum, fn)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signum, old)


class Counter:
    def __init__(self):
        self.count = 0

    def __call__(self, signum, frame):
        self.count += 1


def test_signal_ends_a_wait_with_eintr_and_its_handler_runs_after(bus):
    absent = rotalink.Damiao(*ABSENT, timeout_ms=10_000)
    counter = Counter()
    with handler(signal.SIGALRM, counter):
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        out, elapsed = timed(lambda: absent.enable(bus))
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        # The interrupted read is not retried.
        assert str(out).startswith(BACKEND)
        assert_error(out, EINTR)
        assert elapsed < 5.0
        assert counter.count >= 1
    still_usable(bus)


class Interrupted(Exception):
    pass


def raise_interrupted(signum, frame):
    raise Interrupted()


@pytest.mark.parametrize("signum, fn, exc_type", [
    (signal.SIGINT, signal.default_int_handler, KeyboardInterrupt),
    (signal.SIGTERM, raise_interrupted, Interrupted),
], ids=["sigint", "sigterm-handler"])
def test_handler_exception_is_raised_by_the_interrupted_call(bus, sniffer, signum, fn, exc_type):
    # Ctrl-C during a wait: the handler's exception comes from the call
    # itself, so the `finally` written around it runs and its disable goes
    # out, and the bus is usable afterwards.
    absent = rotalink.Damiao(*ABSENT, timeout_ms=20_000)
    quick = rotalink.Damiao(*ABSENT, timeout_ms=50)
    sniffer.drain()
    disable_out = None
    with handler(signum, fn):
        sender = subprocess.Popen(["sh", "-c", f"sleep 0.2; kill -{signum.name[3:]} {os.getpid()}"])
        t0 = time.monotonic()
        try:
            with pytest.raises(exc_type) as caught:
                try:
                    absent.enable(bus)
                finally:
                    disable_out = timed(lambda: quick.disable(bus))[0]
        finally:
            sender.wait(60)
        assert time.monotonic() - t0 < 15.0
    assert caught.value.__context__ is None  # no RuntimeError behind it
    assert str(disable_out) == TIMEOUT
    sent = [f[1] for f in sniffer.sent_to(ABSENT[0])]
    assert sent == [bytes.fromhex("FFFFFFFFFFFFFFFC"), bytes.fromhex("FFFFFFFFFFFFFFFD")]
    still_usable(bus)


def test_commands_under_periodic_signals(bus, can_iface):
    m = rotalink.Damiao(*NORMAL, timeout_ms=LONG)
    m.enable(bus)
    counter = Counter()
    outcomes = {"answered": 0, "interrupted": 0}
    with handler(signal.SIGALRM, counter):
        signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
        for k in range(200):
            out, elapsed = timed(lambda: m.mit_control(bus, echo(1.0)))
            assert elapsed <= LONG / 1000.0 + SLACK
            if isinstance(out, rotalink.MotorState):
                assert out.motor_id == NORMAL[0] & 0xF
                outcomes["answered"] += 1
            else:
                assert_error(out, EINTR)
                outcomes["interrupted"] += 1
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
    assert counter.count > 0
    # Interrupted commands were sent, and the simulator may still be working
    # off their backlog; their feedback is queued until drained.
    wait_quiet(can_iface, NORMAL[1])
    drain(bus)
    assert reports(m.mit_control(bus, echo(-2.0)), -2.0)
    still_usable(bus)


WATCHER = r"""
import os, signal, socket, sys
from rotalink_sim.frames import CAN_FRAME
iface, motor_id, parent = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((iface,))
print("ready", flush=True)
want = bytes([motor_id & 0xFF, motor_id >> 8, 0x55, 0x0A])
while True:
    can_id, n, data = CAN_FRAME.unpack(s.recv(16))
    if can_id == 0x7FF and data[:4] == want:
        os.kill(parent, signal.SIGUSR1)
        print("signalled", flush=True)
        break
"""


def test_signal_during_the_mode_switch_pause_does_not_cut_it_short(bus, can_iface, sniffer):
    # A watcher process signals this one as soon as the register write is on
    # the bus, i.e. during the 100 ms pause before the verification read.
    watcher = subprocess.Popen([sys.executable, "-c", WATCHER, can_iface, str(POSVEL[0]), str(os.getpid())],
                               stdout=subprocess.PIPE, text=True)
    try:
        assert watcher.stdout.readline().strip() == "ready"
        counter = Counter()
        sniffer.drain()
        with handler(signal.SIGUSR1, counter):
            out, elapsed = timed(lambda: rotalink.Damiao(*POSVEL, timeout_ms=LONG).ensure_mit_mode(bus))
            assert watcher.wait(30) == 0
        assert out is None
        assert counter.count == 1
    finally:
        if watcher.poll() is None:
            watcher.kill()
        watcher.wait()
    requests = [(f[1][2], t) for f, t in sniffer.timed_frames() if f[0] == 0x7FF and f[1][0] == POSVEL[0]]
    assert [op for op, _ in requests] == [0x33, 0xCC, 0x55, 0x33]
    assert requests[3][1] - requests[2][1] >= 0.1
    still_usable(bus)
