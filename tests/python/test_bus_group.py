"""MotorGroup on a real kernel: simulated motors on two vcan buses answer a
cycle's commands in overlapping time, and the faults of one bus (the
interface going down, a flood of foreign frames) stay on that bus. The cycle
releases the interpreter lock while it waits, so another Python thread runs
meanwhile; Ctrl-C ends the wait as it ends a single command's, and a signal
whose handler returns lets it go on.

Emulated time is slow and noisy: only order and generous bounds are asserted.
"""
import contextlib
import errno
import gc
import math
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import rotalink
from conftest import REFUSALS, Sniffer, open_fds

rotalink_sim = pytest.importorskip("rotalink_sim")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reliability"))
import filtered_sim  # noqa: E402

pytestmark = pytest.mark.bus

LONG = 3000  # ms: where a reply is expected
DELAY = 300  # ms: the delayed simulators' latency
SLACK = 2.0  # s past a time-out by which a cycle must have returned
TIMEOUT = "transport error: timeout waiting for frame"
NETDOWN = f"transport error: backend error: {os.strerror(errno.ENETDOWN)} (os error {errno.ENETDOWN})"

# Three delayed motors on the first bus, two on the second (the same
# identifiers reused there), one that never answers.
BUS0 = [(0x21, 0x31), (0x22, 0x32), (0x23, 0x33)]
BUS1 = [(0x21, 0x31), (0x24, 0x34)]
ABSENT = (0x2E, 0x3E)


def motor_args(pairs):
    return [a for m, r in pairs for a in ("--motor", f"{m:#x}:{r:#x}")]


@pytest.fixture(scope="class")
def buses(can_iface, can_iface2):
    with contextlib.ExitStack() as stack:
        stack.enter_context(rotalink_sim.spawn(can_iface, *motor_args(BUS0), "--delay-ms", DELAY))
        stack.enter_context(rotalink_sim.spawn(can_iface2, *motor_args(BUS1), "--delay-ms", DELAY))
        yield rotalink.SocketCanTransport(can_iface), rotalink.SocketCanTransport(can_iface2)


def group_of(buses, timeout_ms=LONG, absent=False):
    b0, b1 = buses
    members = [(b0, rotalink.Damiao(*p)) for p in BUS0] + [(b1, rotalink.Damiao(*p)) for p in BUS1]
    if absent:
        members.append((b0, rotalink.Damiao(*ABSENT)))
    return rotalink.MotorGroup(members, timeout_ms=timeout_ms)


def torques(n, k=0):
    """Distinct feed-forward torques: each member's feedback echoes its own."""
    return [((i + k) % 9 - 4) * 0.5 for i in range(n)]


def assert_echoes(states, taus, pairs):
    assert [s.motor_id for s in states] == [m & 0xF for m, _ in pairs]
    assert all(abs(s.torque - t) < 0.01 for s, t in zip(states, taus)), (states, taus)


def ip(*args):
    subprocess.run(["ip", "link"] + list(args), check=True)


class TestDelayedMotors:
    """Delayed simulators on both buses, for the tests in this class only."""

    def test_cycle_replies_overlap_across_buses_and_each_member_gets_its_own(self, buses):
        g = group_of(buses)
        g.enable()
        b0, b1 = buses
        singles = [rotalink.Damiao(*p, timeout_ms=LONG) for p in BUS0]
        for k in range(3):
            taus = torques(len(g), k)
            t0 = time.monotonic()
            states = g.mit_control([rotalink.MitSetpoint(tau=t) for t in taus])
            elapsed = time.monotonic() - t0
            assert_echoes(states, taus, BUS0 + BUS1)
            # Five replies, each DELAY ms after its command: together, not in a row.
            assert elapsed < 3 * DELAY / 1000.0, elapsed
        t0 = time.monotonic()
        for m in singles:
            m.enable(b0)
        assert time.monotonic() - t0 >= 3 * DELAY / 1000.0 * 0.9  # one after another

    def test_late_reply_of_a_timed_out_cycle_is_not_the_next_cycles_feedback(self, buses):
        quick = group_of(buses, timeout_ms=20)
        with pytest.raises(rotalink.GroupError) as info:
            quick.mit_control([rotalink.MitSetpoint(tau=3.0)] * len(quick))
        assert info.value.errors == [TIMEOUT] * len(quick)
        time.sleep(2 * DELAY / 1000.0)  # the late replies (torque 3.0) are queued now
        taus = torques(5)
        assert_echoes(group_of(buses).mit_control([rotalink.MitSetpoint(tau=t) for t in taus]), taus, BUS0 + BUS1)

    def test_another_thread_runs_while_the_cycle_waits(self, buses):
        g = group_of(buses, timeout_ms=600, absent=True)
        window = [float("inf"), float("inf")]
        inside = [0]
        stop = threading.Event()

        def spin():
            while not stop.is_set():
                if window[0] < time.monotonic() < window[1]:
                    inside[0] += 1

        t = threading.Thread(target=spin)
        t.start()
        try:
            start = time.monotonic()
            window[:] = [start + 0.1, start + 0.5]
            with pytest.raises(rotalink.GroupError) as info:
                g.enable()
        finally:
            stop.set()
            t.join()
        assert inside[0] > 0
        assert info.value.errors == [None] * 5 + [TIMEOUT]
        assert [s is None for s in info.value.states] == [False] * 5 + [True]

    def test_signals_whose_handler_returns_do_not_end_the_wait(self, buses):
        # An interval timer fires every 50 ms through the replies' delay:
        # each signal runs its handler inside the call, and the wait goes on.
        g = group_of(buses)
        ticks = []
        old = signal.signal(signal.SIGALRM, lambda *a: ticks.append(time.monotonic()))
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
            taus = torques(len(g), 5)
            t0 = time.monotonic()
            states = g.mit_control([rotalink.MitSetpoint(tau=t) for t in taus])
            t1 = time.monotonic()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        assert_echoes(states, taus, BUS0 + BUS1)
        assert any(t0 < t < t1 for t in ticks), (t0, t1, ticks)

    def test_interface_down_mid_cycle_fails_only_that_bus(self, buses, can_iface2):
        if os.geteuid() != 0:
            pytest.skip("setting an interface down needs root (the test VM runs as root)")
        g = group_of(buses)
        # `ip` is started and waiting before the cycle, so that the link goes
        # down well inside the simulators' reply delay even where starting a
        # program takes longer than that: the cycle releases the interpreter
        # lock, and a thread hands `ip` its command 50 ms into the wait.
        downer = subprocess.Popen(["ip", "-batch", "-"], stdin=subprocess.PIPE, text=True)
        trigger = threading.Timer(0.05, lambda: (downer.stdin.write(f"link set dev {can_iface2} down\n"),
                                                 downer.stdin.flush()))
        try:
            trigger.start()
            with pytest.raises(rotalink.GroupError) as info:
                g.disable()
        finally:
            trigger.join()
            downer.stdin.close()
            downer.wait(60)
            ip("set", "dev", can_iface2, "up")
        assert info.value.errors == [None] * 3 + [NETDOWN] * 2
        assert str(info.value).startswith("2 of 5 members failed; member 3 (motor_id=0x21): " + NETDOWN)
        time.sleep(2 * DELAY / 1000.0)
        assert len(g.enable()) == 5  # the bus works again


def test_flood_on_one_bus_neither_hides_replies_nor_delays_the_deadline(can_iface, can_iface2):
    flooder, prompt, other = (0x60, 0x70), (0x61, 0x71), (0x62, 0x72)
    with contextlib.ExitStack() as stack:
        stack.enter_context(rotalink_sim.spawn(can_iface2, "--motor", f"{flooder[0]:#x}:{flooder[1]:#x}", "--flood", "0"))
        stack.enter_context(filtered_sim.spawn(can_iface2, "--motor", f"{prompt[0]:#x}:{prompt[1]:#x}"))
        stack.enter_context(rotalink_sim.spawn(can_iface, "--motor", f"{other[0]:#x}:{other[1]:#x}"))
        assert filtered_sim.frame_rate(can_iface2, 0.5) > 500, "the flood is not flowing"
        b0, b1 = rotalink.SocketCanTransport(can_iface), rotalink.SocketCanTransport(can_iface2)
        g = rotalink.MotorGroup([(b1, rotalink.Damiao(*prompt)), (b0, rotalink.Damiao(*other))], timeout_ms=LONG)
        quick = rotalink.MotorGroup([(b1, rotalink.Damiao(*prompt)), (b1, rotalink.Damiao(*ABSENT))], timeout_ms=50)
        with contextlib.suppress(rotalink.GroupError):
            g.enable()  # a reply the flood costs is made up by the next cycle's
        answered = 0
        for k in range(40):
            taus = torques(2, k)
            t0 = time.monotonic()
            try:
                states = g.mit_control([rotalink.MitSetpoint(tau=t) for t in taus])
                assert_echoes(states, taus, [prompt, other])
                answered += 1
            except rotalink.GroupError as e:
                # The kernel drops a reply when the receive queue is full of
                # flood frames; the other bus's member still has its own.
                assert e.errors == [TIMEOUT, None], e.errors
                assert abs(e.states[1].torque - taus[1]) < 0.01 or k == 0
            assert time.monotonic() - t0 < LONG / 1000.0 + SLACK
            t0 = time.monotonic()
            with pytest.raises(rotalink.GroupError):
                quick.enable()
            assert time.monotonic() - t0 < 0.05 + SLACK
            # A reply of `prompt` that missed quick's 50 ms is queued by the
            # next cycle's drain; one arriving later still would be taken
            # (feedback has no sequence number).
            time.sleep(0.1)
        assert answered >= 20


@pytest.mark.parametrize("noise", [
    (0x40000000, bytes(8)),  # a remote request (CAN_RTR_FLAG)
    (0, bytes([0x2C, 0x00, 0x33, 0x0A, 1, 0, 0, 0])),  # the motor's register read reply
    (0, bytes([0x2C, 0x00, 0x55, 0x0A, 1, 0, 0, 0])),  # the echo of a register write
], ids=["remote request", "register reply", "write echo"])
def test_frames_from_the_reply_identifier_that_are_not_feedback_are_skipped(can_iface, noise):
    # The cycle releases the interpreter lock while it waits, so a thread of
    # this process can answer: first a frame from the reply identifier that
    # carries no feedback (another program's register traffic with this
    # motor, or a remote request), then the real feedback.
    motor_id, reply_id = 0x2C, 0x3C
    peer = Sniffer(can_iface)
    feedback = bytes.fromhex("CC7FFF7FF7FF1E20")  # status 12, motor 0x2C's nibble, zero position

    def answer():
        peer.sock.settimeout(LONG / 1000.0)
        while Sniffer._decode(peer.sock.recv(72))[0] != motor_id:
            pass
        peer.send(noise[0] | reply_id, noise[1])
        time.sleep(0.05)
        peer.send(reply_id, feedback)

    try:
        peer.drain()
        g = rotalink.MotorGroup([(rotalink.SocketCanTransport(can_iface), rotalink.Damiao(motor_id, reply_id))],
                                timeout_ms=LONG)
        helper = threading.Thread(target=answer)
        helper.start()
        try:
            (state,) = g.enable()
        finally:
            helper.join(60)
    finally:
        peer.close()
    assert (state.motor_id, state.error) == (0xC, 12)


def test_fd_group_sends_its_commands_as_fd_frames_with_bit_rate_switching(can_iface):
    bus = rotalink.SocketCanTransport(can_iface)
    g = rotalink.MotorGroup([(bus, rotalink.Damiao(*ABSENT))], timeout_ms=10, fd=True)
    sniffer = Sniffer(can_iface)
    try:
        sniffer.drain()
        with pytest.raises(rotalink.GroupError):
            g.enable()
        frames = sniffer.frames()
    finally:
        sniffer.close()
    assert [(f[0], f[1], f[2], f[3] & 0x01) for f in frames] == [
        (ABSENT[0], bytes.fromhex("FFFFFFFFFFFFFFFC"), True, 0x01)]


def test_ctrl_c_ends_the_wait_and_a_finally_disables_every_member(can_iface):
    bus = rotalink.SocketCanTransport(can_iface)
    absent = [(0x2A, 0x3A), (0x2B, 0x3B)]
    g = rotalink.MotorGroup([(bus, rotalink.Damiao(*p)) for p in absent], timeout_ms=20_000)
    stopper = rotalink.MotorGroup([(bus, rotalink.Damiao(*p)) for p in absent], timeout_ms=50)
    sniffer = Sniffer(can_iface)
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        sniffer.drain()
        sender = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
        t0 = time.monotonic()
        try:
            with pytest.raises(KeyboardInterrupt) as caught:
                try:
                    g.enable()
                finally:
                    with pytest.raises(rotalink.GroupError):
                        stopper.disable()
        finally:
            sender.wait(60)
        assert time.monotonic() - t0 < 15.0
        assert caught.value.__context__ is None
        frames = sniffer.frames()
    finally:
        signal.signal(signal.SIGINT, old)
        sniffer.close()
    for motor_id, _ in absent:
        assert [f[1][-1] for f in frames if f[0] == motor_id] == [0xFC, 0xFD]


# Enough for a leak of one object or one allocation per cycle to exceed the
# bounds of assert_flat, which counts the interpreter's blocks and the C
# heap's bytes exactly.
CYCLES = int(os.environ.get("ROTALINK_LEAK_GROUP_CYCLES", "10000"))


def test_cycles_leak_no_memory_references_or_descriptors(can_iface, can_iface2):
    from test_leaks import assert_flat

    prompt = [(0x41, 0x51), (0x42, 0x52)]
    with contextlib.ExitStack() as stack:
        stack.enter_context(rotalink_sim.spawn(can_iface, *motor_args(prompt[:1])))
        stack.enter_context(rotalink_sim.spawn(can_iface2, *motor_args(prompt[1:])))
        b0, b1 = rotalink.SocketCanTransport(can_iface), rotalink.SocketCanTransport(can_iface2)
        answering = rotalink.MotorGroup([(b0, rotalink.Damiao(*prompt[0])), (b1, rotalink.Damiao(*prompt[1]))],
                                        timeout_ms=LONG)
        failing = rotalink.MotorGroup([(b0, rotalink.Damiao(*ABSENT)), (b1, rotalink.Damiao(*ABSENT))], timeout_ms=0)
        setpoints = [rotalink.MitSetpoint()] * 2
        watched = [b0, b1, answering, failing, setpoints[0], rotalink.MotorGroup, rotalink.GroupError]

        def fail():
            try:
                failing.mit_control(setpoints)
            except rotalink.GroupError:
                pass

        def refused():
            try:
                failing.mit_control(setpoints[:1])
            except ValueError:
                pass

        gc.collect()
        fds = open_fds()
        assert_flat(answering.enable, 1000, watched, warmup=100)
        # A whole run of warm-up: after the bus tests before it, the first
        # failed cycles grow the resident set once (by some 0.5 to 2 MiB of
        # allocator arenas, for the exceptions and their tracebacks), and it
        # stays flat from then on.
        assert_flat(fail, CYCLES, watched, warmup=CYCLES)
        assert_flat(refused, CYCLES, watched)
        assert_flat(lambda: rotalink.MotorGroup(answering.members), CYCLES, watched)
        assert open_fds() == fds


# ------------------------------------------------------------------ safety

SAFE = [(0x45, 0x55), (0x46, 0x56)]
# Motors whose master identifiers are swapped against the group's records.
SWAPPED = [(0x47, 0x58), (0x48, 0x57)]
FAULTED = (0x49, 0x59)
ENABLE, DISABLE = bytes.fromhex("FFFFFFFFFFFFFFFC"), bytes.fromhex("FFFFFFFFFFFFFFFD")


@pytest.fixture(scope="module")
def safe_bus(can_iface):
    with contextlib.ExitStack() as stack:
        stack.enter_context(rotalink_sim.spawn(can_iface, *motor_args(SAFE + SWAPPED)))
        stack.enter_context(rotalink_sim.spawn(can_iface, *motor_args([FAULTED]), "--fault", "overload"))
        yield rotalink.SocketCanTransport(can_iface)


def specials(frames, motor_id):
    return [f[1] for f in frames if f[0] == motor_id and f[1][:7] == ENABLE[:7]]


@pytest.mark.parametrize("raises", [False, True], ids=["block ends", "block raises"])
def test_scope_enables_every_member_and_always_disables_them(safe_bus, can_iface, raises):
    g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*p)) for p in SAFE], timeout_ms=LONG)
    sniffer = Sniffer(can_iface)
    try:
        sniffer.drain()
        with contextlib.suppress(ZeroDivisionError):
            with g as entered:
                assert entered is g
                assert [s.error for s in g.refresh()] == [rotalink.Status.ENABLED] * 2
                if raises:
                    1 / 0
        frames = sniffer.frames()
    finally:
        sniffer.close()
    for motor_id, _ in SAFE:
        assert specials(frames, motor_id) == [ENABLE, DISABLE]
    assert [s.error for s in g.refresh()] == [rotalink.Status.DISABLED] * 2


def test_failed_enter_disables_every_member_retrying_the_silent_one(safe_bus, can_iface):
    # Retried for no longer than its three disables take (disable_timeout_ms).
    g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*p)) for p in SAFE + [ABSENT]], timeout_ms=100,
                            disable_timeout_ms=0)
    sniffer = Sniffer(can_iface)
    try:
        sniffer.drain()
        with pytest.raises(rotalink.GroupError) as info:
            with g:
                pytest.fail("the block ran")
        frames = sniffer.frames()
    finally:
        sniffer.close()
    assert info.value.errors == [None, None, TIMEOUT]
    for motor_id, _ in SAFE:
        assert specials(frames, motor_id) == [ENABLE, DISABLE]
    assert specials(frames, ABSENT[0]) == [ENABLE] + [DISABLE] * 3
    # The disable failed too: it is attached to the enable's error.
    if sys.version_info >= (3, 11):
        assert "disabling the group after the failed enable failed too: 1 of 3" in info.value.__notes__[0]


@pytest.mark.parametrize("raises", [False, True], ids=["block ends", "block raises"])
def test_disable_that_fails_on_exit_is_raised_or_attached(can_iface, caplog, raises):
    pair = (0x4A, 0x5A)
    bus = rotalink.SocketCanTransport(can_iface)
    g = rotalink.MotorGroup([(bus, rotalink.Damiao(*pair))], timeout_ms=100)
    sim = rotalink_sim.spawn(can_iface, *motor_args([pair]))
    sim.__enter__()
    with pytest.raises(ZeroDivisionError if raises else rotalink.GroupError) as info:
        with g:
            sim.__exit__(None, None, None)  # the motor is gone: every disable times out
            if raises:
                1 / 0
    message = "1 of 1 members failed; member 0 (motor_id=0x4a): " + TIMEOUT
    if not raises:
        assert str(info.value) == message
    elif sys.version_info >= (3, 11):
        assert info.value.__notes__ == ["disabling the group on leaving its block failed: " + message]
    else:
        assert [r.getMessage() for r in caplog.records if r.name == "rotalink"][-1].endswith(message)


def test_joint_limits_clamp_every_kind_before_encoding_and_count(safe_bus, can_iface):
    members = [(safe_bus, rotalink.Damiao(*p)) for p in SAFE]
    joint = rotalink.JointLimits(q_min=-1.0, q_max=1.5, dq_max=2.0, tau_max=0.5)
    g = rotalink.MotorGroup(members, timeout_ms=LONG, joint_limits=[joint, joint])
    free = rotalink.MotorGroup(members, timeout_ms=LONG)
    assert g.joint_limits == (joint, joint) and free.joint_limits is None
    asked = [rotalink.MitSetpoint(q=5.0, dq=-9.0, kp=10.0, kd=1.0, tau=3.0), rotalink.PosVelSetpoint(q=-3.0, dq=5.0)]
    clamped = [rotalink.MitSetpoint(q=1.5, dq=-2.0, kp=10.0, kd=1.0, tau=0.5), rotalink.PosVelSetpoint(q=-1.0, dq=2.0)]
    sniffer = Sniffer(can_iface)
    try:
        sent = []
        for group, setpoints in ((g, asked), (free, clamped), (g, clamped)):
            sniffer.drain()
            group.control(setpoints)
            sent.append([f[:2] for f in sniffer.frames() if f[0] in (0x45, 0x146)])
    finally:
        sniffer.close()
    assert sent[0] == sent[1] == sent[2] and len(sent[0]) == 2
    assert g.clamped == (1, 1) and free.clamped == (0, 0)


def test_hold_commands_each_member_at_its_measured_position(safe_bus, can_iface):
    g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*p)) for p in SAFE], timeout_ms=LONG)
    sniffer = Sniffer(can_iface)
    try:
        sniffer.drain()
        states = g.hold(kp=5.0, kd=0.5)
        first = sniffer.frames()
        g.hold(kp=5.0, kd=0.5)
        second = sniffer.frames()
    finally:
        sniffer.close()
    feedback = {f[0]: f[1] for f in first if f[0] in (0x55, 0x56)}
    # Never heard from: a refresh first, then MIT at the reported position
    # (its raw 16 bits, bytes 1-2 of the feedback), zero velocity and torque.
    assert [f[0] for f in first if f[0] in (0x7FF, 0x45, 0x46)] == [0x7FF, 0x7FF, 0x45, 0x46]
    for motor_id, master_id in SAFE:
        (command,) = [f[1] for f in first if f[0] == motor_id]
        assert command[:2] == feedback[master_id][1:3]
    assert [f[0] for f in second if f[0] in (0x7FF, 0x45, 0x46)] == [0x45, 0x46]
    assert len(states) == 2


def test_swapped_master_identifiers_fail_both_members_naming_both_ids(safe_bus):
    g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(m, r)) for (m, _), (_, r) in zip(SWAPPED, SWAPPED[::-1])],
                            timeout_ms=LONG)
    with pytest.raises(rotalink.GroupError) as info:
        g.refresh()
    assert info.value.errors == [
        "the feedback from reply identifier 0x057 carries motor id 0x8, not this member's 0x7 (motor_id 0x47 & 0xf): "
        "another motor answers from this master identifier",
        "the feedback from reply identifier 0x058 carries motor id 0x7, not this member's 0x8 (motor_id 0x48 & 0xf): "
        "another motor answers from this master identifier"]


def test_group_error_names_the_status_of_a_faulted_member(safe_bus):
    g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*p)) for p in (FAULTED, ABSENT)], timeout_ms=100)
    with pytest.raises(rotalink.GroupError) as info:
        g.refresh()
    assert str(info.value) == ("1 of 2 members failed; member 1 (motor_id=0x2e): " + TIMEOUT +
                               "; member 0 (motor_id=0x49) reports OVERLOAD")
    assert info.value.states[0].error == rotalink.Status.OVERLOAD == 14


def test_watchdog_disables_a_motor_that_hears_nothing(safe_bus):
    members = [(safe_bus, rotalink.Damiao(*p)) for p in SAFE]
    try:
        with rotalink.MotorGroup(members, timeout_ms=LONG, watchdog_ms=50) as g:
            assert g.watchdog_ms == 50
            # 50 us units; reading registers is not a command.
            assert [m.read_register(safe_bus, rotalink.Register.TIMEOUT) for _, m in members] == [1000] * 2
            time.sleep(0.5)
            assert [s.error for s in g.refresh()] == [rotalink.Status.COMM_LOST] * 2
    finally:
        rotalink.MotorGroup(members, timeout_ms=LONG).clear_error()
        for _, m in members:
            m.write_register(safe_bus, rotalink.Register.TIMEOUT, 0)


# ------------------------------------------------------------ the control loop

RUNNING = "control loop running"
STOPPED = "the control loop is stopped"


def test_loop_sends_the_latest_setpoints_while_the_groups_own_commands_wait(safe_bus, can_iface):
    motors = [rotalink.Damiao(*p) for p in SAFE]
    g = rotalink.MotorGroup([(safe_bus, m) for m in motors], timeout_ms=LONG)
    torque = [rotalink.MitSetpoint(tau=0.5), rotalink.MitSetpoint(tau=-0.5)]
    sniffer = Sniffer(can_iface)
    try:
        with g:
            with g.start(50, hold_ms=5000) as loop:
                assert repr(loop) == "ControlLoop(rate_hz=50, members=2, running=True)"
                for call in (g.refresh, g.enable, lambda: g.control(torque), lambda: g.hold(1.0, 0.1),
                             lambda: g.ensure_mode(rotalink.ControlMode.MIT), lambda: g.start(10)):
                    with pytest.raises(RuntimeError, match=f"^{RUNNING}$"):
                        call()
                assert motors[0].refresh(safe_bus).motor_id == 5  # a single command waits for the bus
                assert [s.error for s in loop.wait(10_000)] == [rotalink.Status.ENABLED] * 2
                loop.set(torque)
                loop.wait(10_000)
                assert_echoes(loop.wait(10_000), [0.5, -0.5], SAFE)
                assert_echoes(loop.states(), [0.5, -0.5], SAFE)
                stats = loop.stats()
            assert (loop.running, loop.error) == (False, None)
            assert stats.cycles >= 3 and stats.missed == (0, 0) and stats.rate_hz > 0
            assert len(stats.period_us) == len(stats.latency_us) == 3
            assert g.refresh()  # the group's again once the loop stopped
        frames = [f[:2] for f in sniffer.frames() if f[0] in (0x45, 0x7FF)]
    finally:
        sniffer.close()
    # To the first member, in runs: the scope's enable, the loop's refreshes
    # until the first set, its MIT commands, the refresh after it, the
    # scope's disable.
    kinds = ["R" if i == 0x7FF else "E" if d == ENABLE else "D" if d == DISABLE else "M"
             for i, d in frames if i == 0x45 or d[:3] == b"\x45\x00\xcc"]
    assert "".join(k for n, k in enumerate(kinds) if kinds[n - 1:n] != [k]) == "ERMRD"
    for call in (lambda: loop.set(torque), loop.wait):
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            call()
    loop.stop()  # again: nothing happens


@pytest.mark.parametrize("silent, why", [
    (False, "no setpoint for 300 ms; every member was disabled"),
    (True, f"member 1 (motor_id=0x2e) did not answer for 300 ms (last: {TIMEOUT}); disabling failed for "
           f"member 1 (motor_id=0x2e): {TIMEOUT}"),
], ids=["no setpoint", "silent member"])
def test_loop_watchdog_disables_every_member_and_stops(safe_bus, can_iface, silent, why):
    pairs = [SAFE[0]] + ([ABSENT] if silent else [])
    g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*p)) for p in pairs], timeout_ms=100)
    sniffer = Sniffer(can_iface)
    try:
        sniffer.drain()
        loop = g.start(20, hold_ms=300)
        setpoints = [rotalink.VelSetpoint(0.0)] * len(pairs)
        with pytest.raises(RuntimeError) as info:
            while True:  # kept fresh where a member's silence is to stop it
                if silent:
                    loop.set(setpoints)
                loop.wait(10_000)
        frames = sniffer.frames()
    finally:
        sniffer.close()
    assert str(info.value) == loop.error == why and not loop.running
    assert specials(frames, SAFE[0][0])[-1:] == [DISABLE]
    if silent:
        assert specials(frames, ABSENT[0])[-3:] == [DISABLE] * 3
    with pytest.raises(RuntimeError, match="^" + why.replace("(", r"\(").replace(")", r"\)")):
        loop.set(setpoints)


def test_loop_refuses_setpoints_and_arguments_as_the_group_does(safe_bus):
    g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*p)) for p in SAFE], timeout_ms=LONG)
    bad = [[rotalink.MitSetpoint()], [rotalink.MitSetpoint(), 3],
           [rotalink.MitSetpoint(), rotalink.MitSetpoint(q=math.nan)], 7]
    with g.start(20, hold_ms=60_000) as loop:
        raised = []
        for setpoints in bad:
            with pytest.raises(Exception) as info:
                loop.set(setpoints)
            raised.append((type(info.value), str(info.value)))
    for setpoints, (kind, text) in zip(bad, raised):
        with pytest.raises(kind) as info:
            g.control(setpoints)
        assert str(info.value) == text
    for kwargs, kind, text in [
        ({"rate_hz": 0}, ValueError, REFUSALS["rate-zero"]),
        ({"rate_hz": math.nan}, ValueError, "rate_hz must be above 0 and at most 100000, got nan"),
        ({"rate_hz": 1e-300}, ValueError, REFUSALS["rate-period-overflows"]),
        ({"rate_hz": "fast"}, TypeError, "argument 'rate_hz': must be real number, not str"),
        ({"rate_hz": 10, "hold_ms": 0}, ValueError, REFUSALS["hold-zero"]),
        ({"rate_hz": 10, "priority": 100}, ValueError, REFUSALS["priority-out-of-range"]),
        ({"rate_hz": 10, "cpu": -1}, ValueError, REFUSALS["cpu-out-of-range"]),
        ({"rate_hz": 10, "cpu": 1023}, ValueError, "cpu 1023 is not one this process may run on"),
    ]:
        with pytest.raises(kind) as info:
            g.start(**kwargs)
        assert str(info.value) == text, kwargs
    with pytest.raises(TypeError, match="No constructor defined for ControlLoop"):
        rotalink.ControlLoop()


LOOP_CHILD = """
import os, resource, sys, threading, time, rotalink
bus = rotalink.SocketCanTransport(sys.argv[1])
g = rotalink.MotorGroup([(bus, rotalink.Damiao(0x45, 0x55))], timeout_ms=3000)
case = sys.argv[2]
if case == "unprivileged":
    resource.setrlimit(resource.RLIMIT_RTPRIO, (0, 0))
    os.setgid(65534); os.setuid(65534)
    try:
        g.start(100, priority=50)
    except PermissionError as e:
        print(e)
    sys.exit(0)
loop = g.start(100, hold_ms=60_000, priority=50 if case == "privileged" else None, cpu=0)
loop.wait(10_000)
def threads():
    names = []
    for t in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{t}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:  # a thread that ended since the listing
            pass
    return names
print(threads().count("rotalink-loop"))
if case == "collected":
    del loop
    # The join returns once the thread has let go of its memory; its task
    # can stay listed a moment longer, until the kernel has reaped it.
    end = time.monotonic() + 10
    while "rotalink-loop" in threads() and time.monotonic() < end:
        time.sleep(0.01)
    print(threads().count("rotalink-loop"))
elif case == "waiting at exit":
    def wait():
        try:
            while True:
                loop.wait()
        except RuntimeError:  # the loop stopped at exit
            pass
    threading.Thread(target=wait, daemon=True).start()
print("exit")
"""


@pytest.mark.parametrize("case, out", [
    ("unprivileged", ["running the control loop at SCHED_FIFO priority 50 needs the CAP_SYS_NICE capability "
                      "or a real-time priority limit of at least 50 (ulimit -r 50)"]),
    ("privileged", ["1", "exit"]),
    ("collected", ["1", "0", "exit"]),
    ("running at exit", ["1", "exit"]),
    ("waiting at exit", ["1", "exit"]),
])
def test_loop_lifecycle_in_a_process_of_its_own(safe_bus, can_iface, case, out):
    r = subprocess.run([sys.executable, "-c", LOOP_CHILD, can_iface, case], capture_output=True, text=True,
                       timeout=120)
    # A loop started outside the scope of a group without a watchdog says so.
    warned = [] if case == "unprivileged" else ["control loop started outside the group's scope and with no "
                                                "watchdog_ms: should this process crash or be killed, the motors "
                                                "keep their last setpoint until powered off or commanded"]
    assert (r.returncode, r.stdout.splitlines(), r.stderr.splitlines()) == (0, out, warned)


# ------------------------------------------------------------ confirmed stops

# Every way the members are stopped, against a member that answers its
# disables as a motor may. Member 0 (STEADY) is a plain motor, member 1
# (UNDER) the one under test, each in a simulator of its own; the failed
# enter's member 2 (FAULTY) answers everything with OVERLOAD. A member
# counts as stopped only when its feedback reports another status than
# ENABLED: one answering ENABLED gets three disables, a silent one as many
# (its disable_timeout_ms runs out within the first cycle's time-out).
STEADY, UNDER, FAULTY = (0x4B, 0x5B), (0x4C, 0x5C), (0x4D, 0x5D)
STOP_MS = 500  # the groups' time-out: the simulators answer well within it
PATIENCE_MS = 100  # disable_timeout_ms
HOLD_MS = 800  # the loop's watchdog: past the end of its second cycle that waits for a silent member
ANSWERS = {  # the simulator options of the member under test
    "disabled": [],
    "fault": ["--fault", "overload"],
    "enabled twice": ["--ignore-disables", "2"],
    "enabled": ["--ignore-disables", "1000"],
    "silent": ["--silent"],
}
# Where the disables come at the scope's end, the member under test must have
# been enabled by the scope: there, its fault trips its own watchdog (50 ms)
# inside the block, and its simulator ends inside the block to make it silent.
IN_SCOPE = dict(ANSWERS, fault=["--register", "TIMEOUT=1000"], silent=[])
OUTSIDE = "control loop started outside the group's scope"  # a warning these loops all log


@pytest.fixture(scope="module")
def stop_bus(can_iface):
    with contextlib.ExitStack() as stack:
        stack.enter_context(rotalink_sim.spawn(can_iface, *motor_args([STEADY])))
        stack.enter_context(rotalink_sim.spawn(can_iface, *motor_args([FAULTY]), "--fault", "overload"))
        yield rotalink.SocketCanTransport(can_iface)


def stop_group(bus, *pairs):
    return rotalink.MotorGroup([(bus, rotalink.Damiao(*p)) for p in pairs], timeout_ms=STOP_MS,
                               disable_timeout_ms=PATIENCE_MS)


def told(exc):
    """What an exception says: its text, then its notes."""
    return [str(exc), *getattr(exc, "__notes__", ())]


def leave_scope(iface, bus, under, answers):
    try:
        with stop_group(bus, STEADY, UNDER):
            if answers == "fault":
                time.sleep(0.5)
            elif answers == "silent":
                under.close()
    except rotalink.GroupError as e:
        return told(e)
    return []


def enter_scope(iface, bus, under, answers, *more):
    with pytest.raises(rotalink.GroupError) as info:
        with stop_group(bus, STEADY, UNDER, *more):
            pytest.fail("the block ran")
    return told(info.value)


def enabled(bus):
    """The group of STEADY and UNDER, enabled as a program that manages the
    state itself does (a silent member does not answer)."""
    g = stop_group(bus, STEADY, UNDER)
    with contextlib.suppress(rotalink.GroupError):
        g.enable()
    return g


def until_stopped(loop):
    with pytest.raises(RuntimeError) as info:
        while True:
            loop.wait(10_000)
    assert str(info.value) == loop.error
    return [loop.error]


def stop_loop(iface, bus, under, answers):
    loop = enabled(bus).start(20, hold_ms=60_000, stop_on_fault=False)
    loop.wait(10_000)
    failed = None
    try:
        loop.stop()
    except RuntimeError as e:
        failed = str(e)
    return [text for text in (failed, loop.error) if text is not None]


EXIT_CHILD = """
import contextlib, sys, rotalink
bus = rotalink.SocketCanTransport(sys.argv[1])
g = rotalink.MotorGroup([(bus, rotalink.Damiao(0x4B, 0x5B)), (bus, rotalink.Damiao(0x4C, 0x5C))],
                        timeout_ms=int(sys.argv[2]), disable_timeout_ms=int(sys.argv[3]))
with contextlib.suppress(rotalink.GroupError):
    g.enable()
loop = g.start(20, hold_ms=60_000, stop_on_fault=False)
loop.wait(10_000)
"""


def exit_running(iface, bus, under, answers):
    r = subprocess.run([sys.executable, "-c", EXIT_CHILD, iface, str(STOP_MS), str(PATIENCE_MS)],
                       capture_output=True, text=True, timeout=120)
    return [f"exit {r.returncode}", *(line for line in r.stderr.splitlines() if not line.startswith(OUTSIDE))]


def stop_tool(iface, bus, under, answers):
    enabled(bus)
    r = subprocess.run([sys.executable, "-m", "rotalink_scan.stop", iface, "--ids", "0x4b-0x4c",
                        "--timeout-ms", "1000"], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       timeout=120)
    return [f"exit {r.returncode}", *r.stdout.splitlines(), *r.stderr.splitlines()]


PATHS = {
    "scope's end": leave_scope,
    "scope's enter": enter_scope,
    "failed enter": lambda *a: enter_scope(*a, FAULTY),
    "loop's watchdog": lambda iface, bus, *a: until_stopped(
        enabled(bus).start(20, hold_ms=HOLD_MS, stop_on_fault=False)),
    "loop's fault stop": lambda iface, bus, *a: until_stopped(enabled(bus).start(20, hold_ms=60_000)),
    "loop stopped": stop_loop,
    "loop at exit": exit_running,
    "rotalink-stop": stop_tool,
}
NOT_STOPPED = "member 1 (motor_id=0x4c) still reports ENABLED after 3 disables"
SILENT = f"member 1 (motor_id=0x4c): {TIMEOUT}"
FAULTY_ENABLE = "1 of 3 members failed; member 2 (motor_id=0x4d): answered the enable with OVERLOAD"
AFTER_ENABLE = "disabling the group after the failed enable failed too: "
NO_SETPOINT = f"no setpoint for {HOLD_MS} ms"
LOOP_STOPPED = "the control loop was stopped; disabling failed for "
AT_EXIT = "a control loop stopped at exit: disabling failed for "
TOOL = ["motor 0x04b  reply 0x05b  DISABLED"]


STOP_ROWS = [
    ("scope's end", "disabled", [], ["ED", "ED"]),
    ("scope's end", "fault", [], ["ED", "ED"]),  # COMM_LOST
    ("scope's end", "enabled twice", [], ["ED", "EDDD"]),
    ("scope's end", "enabled", ["1 of 2 members failed; " + NOT_STOPPED], ["ED", "EDDD"]),
    ("scope's end", "silent", ["1 of 2 members failed; " + SILENT], ["ED", "EDDD"]),
    ("scope's enter", "fault", ["1 of 2 members failed; member 1 (motor_id=0x4c): answered the enable with OVERLOAD"],
     ["ED", "ED"]),
    ("failed enter", "disabled", [FAULTY_ENABLE], ["ED", "ED", "ED"]),
    ("failed enter", "enabled twice", [FAULTY_ENABLE], ["ED", "EDDD", "ED"]),
    ("failed enter", "enabled", [FAULTY_ENABLE, f"{AFTER_ENABLE}1 of 3 members failed; {NOT_STOPPED}; "
                                                "member 2 (motor_id=0x4d) reports OVERLOAD"], ["ED", "EDDD", "ED"]),
    ("failed enter", "silent", [f"1 of 3 members failed; {SILENT}; member 2 (motor_id=0x4d) reports OVERLOAD",
                                f"{AFTER_ENABLE}1 of 3 members failed; {SILENT}; "
                                "member 2 (motor_id=0x4d) reports OVERLOAD"], ["ED", "EDDD", "ED"]),
    ("loop's watchdog", "disabled", [NO_SETPOINT + "; every member was disabled"], ["ED", "ED"]),
    ("loop's watchdog", "fault", [NO_SETPOINT + "; every member was disabled"], ["ED", "ED"]),
    ("loop's watchdog", "enabled twice", [NO_SETPOINT + "; every member was disabled"], ["ED", "EDDD"]),
    ("loop's watchdog", "enabled", [f"{NO_SETPOINT}; disabling failed for {NOT_STOPPED}"], ["ED", "EDDD"]),
    # its silence stops the loop first
    ("loop's watchdog", "silent", [f"member 1 (motor_id=0x4c) did not answer for {HOLD_MS} ms (last: {TIMEOUT}); "
                                   f"disabling failed for {SILENT}"], ["ED", "EDDD"]),
    ("loop's fault stop", "fault", ["member 1 (motor_id=0x4c) reports OVERLOAD; every member was disabled"],
     ["ED", "ED"]),
    ("loop stopped", "disabled", [], ["ED", "ED"]),
    ("loop stopped", "fault", [], ["ED", "ED"]),
    ("loop stopped", "enabled twice", [], ["ED", "EDDD"]),
    ("loop stopped", "enabled", ["disabling failed for " + NOT_STOPPED, LOOP_STOPPED + NOT_STOPPED],
     ["ED", "EDDD"]),
    ("loop stopped", "silent", ["disabling failed for " + SILENT, LOOP_STOPPED + SILENT],
     ["ED", "EDDD"]),
    ("loop at exit", "disabled", ["exit 0"], ["ED", "ED"]),
    ("loop at exit", "fault", ["exit 0"], ["ED", "ED"]),
    ("loop at exit", "enabled twice", ["exit 0"], ["ED", "EDDD"]),
    ("loop at exit", "enabled", ["exit 0", AT_EXIT + NOT_STOPPED], ["ED", "EDDD"]),
    ("loop at exit", "silent", ["exit 0", AT_EXIT + SILENT], ["ED", "EDDD"]),
    ("rotalink-stop", "disabled", ["exit 0", *TOOL, "motor 0x04c  reply 0x05c  DISABLED"], ["ED", "ED"]),
    ("rotalink-stop", "fault", ["exit 0", *TOOL, "motor 0x04c  reply 0x05c  OVERLOAD"], ["ED", "ED"]),
    ("rotalink-stop", "enabled twice", ["exit 0", *TOOL, "motor 0x04c  reply 0x05c  DISABLED"], ["ED", "EDDD"]),
    ("rotalink-stop", "enabled", ["exit 1", *TOOL, "motor 0x04c  reply 0x05c  ENABLED",
                                  "rotalink-stop: motor 0x04c still reports ENABLED after 3 disables"],
     ["ED", "EDDD"]),
    ("rotalink-stop", "silent", ["exit 0", *TOOL], ["ED", "ED"]),  # not listed, not asked again
]


# Each row: the stop path, how the member under test answers, what the path
# said (its exception's text and notes, the loop's error, a child's exit
# status and warnings, the tool's exit status and output) and the enables
# and disables each member was sent, in order.
@pytest.mark.parametrize("path, answers, said, wire", STOP_ROWS, ids=[f"{r[0]}, {r[1]}" for r in STOP_ROWS])
def test_every_stop_is_confirmed_by_feedback(stop_bus, can_iface, sniffer, caplog, path, answers, said, wire):
    args = (IN_SCOPE if path == "scope's end" else ANSWERS)[answers]
    with rotalink_sim.spawn(can_iface, *motor_args([UNDER]), *args) as under:
        sniffer.drain()
        got = PATHS[path](can_iface, stop_bus, under, answers)
        frames = sniffer.frames()
    # Before Python 3.11 the scope logs what it would attach as a note.
    got += [r.getMessage() for r in caplog.records if r.name == "rotalink" and not r.getMessage().startswith(OUTSIDE)]
    assert got == said
    sent = ["".join("E" if data == ENABLE else "D" for data in specials(frames, motor_id))
            for motor_id, _ in (STEADY, UNDER, FAULTY)]
    assert sent[:len(wire)] == wire and sent[len(wire):] in ([], [""])


# ------------------------------------------------- one driver per interface

IFACE_CHILD = """
import os, sys, warnings, rotalink
warnings.simplefilter("ignore", DeprecationWarning)  # fork() in a process with threads
bus = rotalink.SocketCanTransport(sys.argv[1])
g = rotalink.MotorGroup([(bus, rotalink.Damiao(0x45, 0x55))], timeout_ms=3000)
case = sys.argv[2]
if case == "holds":
    with g:
        print("in", flush=True)
        sys.stdin.readline()
elif case == "forked":
    with g:
        loop = g.start(100, hold_ms=60_000)
        loop.wait(10_000)
        pid = os.fork()
        if pid == 0:
            said = None
            try:
                loop.wait(1000)
            except RuntimeError as e:
                said = str(e)
            print(said, flush=True)
            print(loop.running, loop.error == said, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        print(loop.running, flush=True)
"""


def test_a_second_program_cannot_drive_an_interface_held_by_a_scope(safe_bus, can_iface):
    holder = subprocess.Popen([sys.executable, "-c", IFACE_CHILD, can_iface, "holds"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "in"
        g = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*SAFE[1]))], timeout_ms=LONG)
        sniffer = Sniffer(can_iface)
        try:
            sniffer.drain()
            with pytest.raises(RuntimeError, match=f"^{can_iface} is driven by pid {holder.pid}$"):
                with g:
                    raise AssertionError("the block ran")
            assert specials(sniffer.frames(), SAFE[1][0]) == []  # refused before anything was sent
        finally:
            sniffer.close()
        # rotalink-stop, the emergency stop, never asks.
        r = subprocess.run([sys.executable, "-m", "rotalink_scan.stop", can_iface, "--ids", hex(SAFE[0][0])],
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
    finally:
        holder.stdin.close()
        holder.wait(timeout=120)
    # Released at the holder's exit; two scopes of one program share it.
    other = rotalink.MotorGroup([(safe_bus, rotalink.Damiao(*SAFE[0]))], timeout_ms=LONG)
    with g, other:
        pass


def test_a_forked_child_sees_the_loop_stopped_and_the_parents_goes_on(safe_bus, can_iface):
    r = subprocess.run([sys.executable, "-c", IFACE_CHILD, can_iface, "forked"], capture_output=True, text=True,
                       timeout=120)
    forked = "the process forked: the control loop's thread runs in the parent only"
    assert (r.returncode, r.stdout.splitlines(), r.stderr) == (0, [forked, "False True", "True"], "")
