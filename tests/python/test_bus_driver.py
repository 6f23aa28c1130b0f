"""Damiao commands on a real CAN socket against simulated motors.

Each simulator runs in a process of its own (the module keeps the
interpreter lock while it waits for a reply). Motors of different
simulators have distinct identifiers, so they share one interface.
"""
import contextlib
import threading
import time

import pytest

import rotalink
from conftest import REFUSALS

rotalink_sim = pytest.importorskip("rotalink_sim")

pytestmark = pytest.mark.bus

ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")
TIMEOUT = "transport error: timeout waiting for frame"

# motor id -> master id of every simulated motor, by behaviour.
NORMAL = {1: 0x11, 2: 0x12, 3: 0x13, 0x801: 0x14}
SHARED = {4: 0x15, 5: 0x15}  # two motors answering from one master id
SHORT, DELAYED, FOREIGN, EXTENDED = (0x21, 0x31), (0x22, 0x32), (0x23, 0x33), (0x24, 0x34)
ERRORED = (0x25, 0x35)
ABSENT = (0x40, 0x50)  # nobody answers

# Where a reply is expected, wait generously: an emulated kernel under load
# can take longer than the default 20 ms.
LONG = 2000


def motor(motor_id, master_id, limits=None, **kw):
    kw.setdefault("timeout_ms", LONG)
    return rotalink.Damiao(motor_id, master_id, limits, **kw)


@pytest.fixture(scope="module")
def sims(can_iface):
    def motors(table):
        out = []
        for m, s in table.items():
            out += ["--motor", f"{m:#x}:{s:#x}"]
        return out

    with contextlib.ExitStack() as stack:
        for args in (
            motors(NORMAL) + motors(SHARED) + ["--t-mos", "30", "--t-rotor", "32"],
            motors(dict([SHORT])) + ["--short-reply", "3"],
            motors(dict([DELAYED])) + ["--delay-ms", "600"],
            motors(dict([FOREIGN])) + ["--foreign-first", "10"],
            motors(dict([EXTENDED])) + ["--extended-reply"],
            motors(dict([ERRORED])) + ["--error", "1", "--t-mos", "30", "--t-rotor", "32"],
        ):
            stack.enter_context(rotalink_sim.spawn(can_iface, *args))
        yield


@pytest.fixture
def bus(can_iface, sims):
    b = rotalink.SocketCanTransport(can_iface)
    time.sleep(0.01)
    return b



@pytest.mark.parametrize(
    "method, last", [("enable", 0xFC), ("disable", 0xFD), ("set_zero", 0xFE), ("clear_error", 0xFB)]
)
def test_special_commands_on_the_wire(bus, sniffer, method, last):
    m = motor(1, 0x11)
    sniffer.drain()
    state = getattr(m, method)(bus)
    assert isinstance(state, rotalink.MotorState)
    assert state.motor_id == 1 and state.t_mos == 30 and state.t_rotor == 32
    sent = sniffer.sent_to(0x001)
    assert sent == [(0x001, bytes([0xFF] * 7 + [last]), False, 0)]


def test_mit_command_on_the_wire_and_frames_use_low_11_bits(bus, sniffer):
    m = motor(0x801, 0x14)
    assert m.motor_id == 2049 and repr(m) == "Damiao(motor_id=0x801, master_id=0x14)"
    sniffer.drain()
    m.mit_control(bus, rotalink.MitSetpoint())
    assert sniffer.sent_to(0x001) == [(0x001, bytes.fromhex("7FFF7FF00000 07FF".replace(" ", "")), False, 0)]
    m.mit_control(bus, setpoint=rotalink.mit_setpoint(q=1.0, dq=-2.0, kp=50.0, kd=1.0, tau=3.0))
    assert sniffer.sent_to(0x001)[0][1] == bytes.fromhex("8A3C777199333A65")


def test_feedback_is_decoded_with_the_motor_limits(bus):
    m = motor(*ERRORED, limits=rotalink.MitLimits.dm4340())
    m.enable(bus)
    state = m.set_zero(bus)
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (0x25 & 0xF, 1, 30, 32)
    assert abs(state.position) < 1e-3 and abs(state.velocity) < 0.01
    assert repr(state).startswith("MotorState(motor_id=5, error=1, position=")
    assert repr(state).endswith(", t_mos=30, t_rotor=32)")


def test_mit_control_moves_the_simulated_rotor(bus):
    m = motor(2, 0x12)
    m.enable(bus)
    m.set_zero(bus)
    target = rotalink.MitSetpoint(q=1.0, kp=20.0, kd=1.0)
    for _ in range(200):
        state = m.mit_control(bus, target)
        time.sleep(0.002)
    assert 0.5 < state.position < 1.5
    m.disable(bus)


def test_no_reply_times_out_after_the_timeout_and_bus_stays_usable(bus, sniffer):
    absent = rotalink.Damiao(*ABSENT, timeout_ms=50)
    sniffer.drain()
    t0 = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        absent.enable(bus)
    elapsed = time.monotonic() - t0
    assert info.value.args == (TIMEOUT,)
    assert type(info.value) is RuntimeError
    assert elapsed >= 0.05
    assert elapsed < 5.0
    assert sniffer.sent_to(ABSENT[0]) == [(ABSENT[0], ENABLE, False, 0)]  # it was sent
    assert motor(1, 0x11).enable(bus).motor_id == 1


@pytest.mark.parametrize("kwargs, at_least", [({}, 0.020), ({"timeout_ms": 1500}, 1.5)])
def test_timeout_is_counted_in_milliseconds_from_the_send(bus, kwargs, at_least):
    m = rotalink.Damiao(ABSENT[0], ABSENT[1], None, **kwargs)
    t0 = time.monotonic()
    with pytest.raises(RuntimeError, match="^transport error: timeout waiting for frame$"):
        m.clear_error(bus)
    elapsed = time.monotonic() - t0
    assert at_least <= elapsed < at_least + 5.0


def test_zero_timeout_sends_then_times_out_without_waiting(bus, sniffer):
    sniffer.drain()
    t0 = time.monotonic()
    with pytest.raises(RuntimeError, match="^transport error: timeout waiting for frame$"):
        rotalink.Damiao(*ABSENT, timeout_ms=0).enable(bus)
    assert time.monotonic() - t0 < 1.0
    assert len(sniffer.sent_to(ABSENT[0])) == 1
    motor(1, 0x11).enable(bus)


def test_huge_timeout_neither_overflows_nor_faults(bus):
    m = rotalink.Damiao(1, 0x11, timeout_ms=2**64 - 1)
    for _ in range(3):
        assert m.enable(bus).motor_id == 1


def test_short_reply_is_an_ordinary_error(bus):
    with pytest.raises(RuntimeError) as info:
        motor(*SHORT).enable(bus)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("feedback reply too short: 3 data bytes, expected 8",)
    assert motor(1, 0x11).enable(bus).motor_id == 1


def test_extended_frame_with_the_master_value_is_not_a_reply(bus):
    with pytest.raises(RuntimeError, match="timeout waiting for frame"):
        rotalink.Damiao(*EXTENDED, timeout_ms=100).enable(bus)
    motor(1, 0x11).enable(bus)


def test_foreign_frames_during_the_wait_are_dropped(bus):
    state = motor(*FOREIGN).enable(bus)
    assert state.motor_id == FOREIGN[0] & 0xF


def test_late_reply_is_taken_by_the_next_command(bus):
    # The motor answers 600 ms late; the 50 ms time-out leaves a wide margin
    # for a stalled (emulated) machine on either side.
    m = rotalink.Damiao(*DELAYED, timeout_ms=50)
    time.sleep(0.2)
    with pytest.raises(RuntimeError, match="timeout"):
        m.enable(bus)
    time.sleep(1.0)  # the late feedback is now queued
    m.set_zero(bus)  # answered by the queued reply, well before its own
    time.sleep(1.0)


@pytest.mark.parametrize("noise", ["write echo", "remote request"])
def test_frames_from_the_reply_id_that_are_not_feedback_are_skipped(bus, sniffer, noise):
    # Queued before the command: the echo 01 00 55 0A ... of a register
    # write, or a remote request with DLC 8 (which would decode as -12.5,
    # -30, -10). Neither answers a command, so none is one reply behind.
    m = motor(1, 0x11)
    time.sleep(0.1)
    if noise == "write echo":
        m.write_register(bus, rotalink.Register.CTRL_MODE, 1)
    else:
        sniffer.send(0x11 | 0x40000000, bytes(8))
    time.sleep(0.1)
    for _ in range(2):
        state = m.enable(bus)
        assert (state.motor_id, state.t_mos, state.t_rotor) == (1, 30, 32), state
        assert state.position != -12.5


def test_feedback_from_another_motor_sharing_the_master_id_is_accepted(bus):
    time.sleep(0.1)
    with pytest.raises(RuntimeError, match="timeout"):
        rotalink.Damiao(5, 0x15, timeout_ms=0).enable(bus)  # motor 5 answers later
    time.sleep(0.1)
    state = motor(4, 0x15).enable(bus)
    assert state.motor_id == 5
    time.sleep(0.05)
    # Motor 4's own feedback is still queued for the next reader.
    assert motor(4, 0x15).disable(bus).motor_id == 4


def test_argument_errors_send_nothing_and_leave_the_bus_unlocked(bus, sniffer):
    m = motor(3, 0x13)
    sniffer.drain()
    with pytest.raises(TypeError, match="^argument 'setpoint': 'int' object cannot be converted to 'MitSetpoint'$"):
        m.mit_control(bus, 5)
    with pytest.raises(TypeError, match="^argument 'bus': "):
        m.enable(bus=3)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'setpoint'"):
        m.mit_control(bus)
    assert sniffer.frames(0.1) == []
    assert m.enable(bus).motor_id == 3


def test_limits_the_encoder_cannot_use_send_nothing(bus, sniffer):
    bad = motor(3, 0x13, limits=rotalink.MitLimits(p_max=-1.0))
    sniffer.drain()
    with pytest.raises(ValueError) as info:
        bad.mit_control(bus, rotalink.MitSetpoint())
    assert info.value.args == ("min > max, or either was NaN. min = 1.0, max = -1.0",)
    kd_bad = motor(3, 0x13, limits=rotalink.MitLimits(kd_max=-2.0))
    with pytest.raises(ValueError, match=r"^min > max, or either was NaN\. min = 0\.0, max = -2\.0$"):
        kd_bad.mit_control(bus, rotalink.MitSetpoint())
    assert sniffer.frames(0.1) == []
    # Commands that do not encode still work with such limits.
    assert bad.enable(bus).motor_id == 3
    assert motor(3, 0x13).mit_control(bus, rotalink.MitSetpoint()).motor_id == 3


def test_limits_none_is_the_default_limits(bus):
    a = motor(1, 0x11, None).enable(bus)
    b = motor(1, 0x11, rotalink.MitLimits()).enable(bus)
    assert (a.position, a.velocity, a.torque) == (b.position, b.velocity, b.torque)


def test_threads_sharing_a_bus_get_their_own_replies(bus):
    motors = [motor(m, s) for m, s in NORMAL.items() if m < 0x800]
    errors = []

    def loop(m):
        try:
            for i in range(200):
                st = m.mit_control(bus, rotalink.MitSetpoint(kd=0.1 * (i % 5)))
                assert st.motor_id == m.motor_id & 0xF, (st, m)
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=loop, args=(m,)) for m in motors for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


# One motor per control mode (each put in its mode by `moded`), and each
# kind's command with the identifier offset it goes to.
MODED = [(0x61, 0x71), (0x62, 0x72), (0x63, 0x73), (0x64, 0x74)]
KINDS = [
    (rotalink.ControlMode.MIT, rotalink.MitSetpoint(q=1.0, kp=20.0, kd=1.0), "mit_control", 0x000, 8),
    (rotalink.ControlMode.POS_VEL, rotalink.PosVelSetpoint(q=1.0, dq=5.0), "pos_vel_control", 0x100, 8),
    (rotalink.ControlMode.VEL, rotalink.VelSetpoint(dq=3.0), "vel_control", 0x200, 4),
    (rotalink.ControlMode.FORCE_POS, rotalink.ForcePosSetpoint(q=1.0, dq=5.0, current=0.5), "force_pos_control",
     0x300, 8),
]


@pytest.fixture(scope="module")
def moded(can_iface):
    args = [a for m, r in MODED for a in ("--motor", f"{m:#x}:{r:#x}")]
    with rotalink_sim.spawn(can_iface, *args):
        bus = rotalink.SocketCanTransport(can_iface)
        motors = [motor(m, r) for m, r in MODED]
        for m, (mode, *_) in zip(motors, KINDS):
            m.ensure_mode(bus, mode)
            assert type(m.read_mode(bus)) is rotalink.ControlMode and m.read_mode(bus) == mode
        yield bus, motors


def moving(state):
    return abs(state.position) > 0.05 or abs(state.velocity) > 0.5


def test_each_mode_follows_its_own_commands_and_answers_but_ignores_others(moded, sniffer):
    bus, motors = moded
    for m in motors:
        m.enable(bus)
    # Every kind to the motor of the next mode: answered, frame on the
    # wire as the kind says, and ignored.
    for i, (_, setpoint, method, offset, length) in enumerate(KINDS):
        other = motors[(i + 1) % 4]
        sniffer.drain()
        assert getattr(other, method)(bus, setpoint).motor_id == other.motor_id & 0xF
        sent = [f for f in sniffer.frames() if f[0] == offset + other.motor_id]
        assert len(sent) == 1 and len(sent[0][1]) == length, sent
    time.sleep(0.3)
    assert not any(moving(m.refresh(bus)) for m in motors)
    # Each kind to the motor of its own mode: followed.
    for m, (_, setpoint, method, _, _) in zip(motors, KINDS):
        getattr(m, method)(bus, setpoint)
    time.sleep(0.3)
    states = [m.refresh(bus) for m in motors]
    assert all(moving(s) for s in states), states
    for m in motors:
        m.disable(bus)


@pytest.mark.parametrize("fd", [False, True], ids=["classic", "fd"])
def test_group_cycle_of_mixed_kinds(moded, sniffer, fd):
    bus, motors = moded
    group = rotalink.MotorGroup([(bus, m) for m in motors], timeout_ms=LONG, fd=fd)
    group.ensure_mode([mode for mode, *_ in KINDS])
    sniffer.drain()
    states = group.control([sp for _, sp, *_ in KINDS])
    assert [s.motor_id for s in states] == [m.motor_id & 0xF for m in motors]
    sent = [f for f in sniffer.frames() if f[0] < 0x70 or f[0] > 0x7F]
    assert [(f[0], len(f[1]), f[2]) for f in sent] == [
        (offset + m.motor_id, length, fd) for m, (_, _, _, offset, length) in zip(motors, KINDS)]
    states = group.refresh()
    assert [s.motor_id for s in states] == [m.motor_id & 0xF for m in motors]
    refreshes = [f for f in sniffer.frames() if f[0] == 0x7FF]
    assert [bytes(f[1]) for f in refreshes] == [bytes([m.motor_id, 0, 0xCC, 0, 0, 0, 0, 0]) for m in motors]


def test_commands_that_cannot_be_sent_raise_and_send_nothing(moded, sniffer):
    bus, motors = moded
    nan = float("nan")
    clashing = rotalink.MotorGroup([(bus, motor(0x61, 0x71)), (bus, motor(0x62, 0x161))])
    cases = [
        (lambda: motor(0x600, 0x70).vel_control(bus, rotalink.VelSetpoint(1.0)), ValueError,
         REFUSALS["vel-id-past-range"]),
        (lambda: motors[1].pos_vel_control(bus, rotalink.PosVelSetpoint(q=nan)), ValueError,
         REFUSALS["pos-vel-nan"]),
        (lambda: motors[1].pos_vel_control(bus, rotalink.VelSetpoint()), TypeError,
         "argument 'setpoint': 'VelSetpoint' object cannot be converted to 'PosVelSetpoint'"),
        (lambda: motors[0].ensure_mode(bus, 5), ValueError,
         REFUSALS["no-such-mode"]),
        (lambda: clashing.control([rotalink.PosVelSetpoint(), rotalink.MitSetpoint()]), ValueError,
         REFUSALS["mode-id-is-reply-id"]),
        (lambda: clashing.control([rotalink.MitSetpoint(), rotalink.ForcePosSetpoint(current=nan)]), ValueError,
         REFUSALS["force-pos-nan-in-group"]),
        (lambda: clashing.control([rotalink.MitSetpoint(), 1.0]), TypeError,
         "argument 'setpoints[1]': 'float' object is not a setpoint (MitSetpoint, PosVelSetpoint, VelSetpoint or "
         "ForcePosSetpoint)"),
        (lambda: clashing.ensure_mode([1]), ValueError, REFUSALS["modes-per-member"]),
        (lambda: clashing.control([rotalink.MitSetpoint()]), ValueError, REFUSALS["setpoints-per-member"]),
        # MIT would send NaN as the bottom of a range, and a range of 0 or
        # infinity as raw 0 whatever was asked: refused on every path.
        (lambda: motors[0].mit_control(bus, rotalink.MitSetpoint(q=nan)), ValueError,
         REFUSALS["mit-nan"]),
        (lambda: clashing.mit_control([rotalink.MitSetpoint(), rotalink.MitSetpoint(tau=nan)]), ValueError,
         REFUSALS["group-mit-nan"]),  # as the member's single command says
        (lambda: clashing.hold(nan, 1.0), ValueError, REFUSALS["hold-nan-gain"]),
        (lambda: motor(3, 0x13, limits=rotalink.MitLimits(t_max=0.0)).mit_control(bus, rotalink.MitSetpoint()),
         ValueError, REFUSALS["torque-range-zero"]),
        (lambda: rotalink.MotorGroup([(bus, motor(3, 0x13, limits=rotalink.MitLimits(p_max=float("inf"))))]).control(
            [rotalink.MitSetpoint()]), ValueError,
         REFUSALS["position-range-inf-in-group"]),
    ]
    sniffer.drain()
    for call, exc, message in cases:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message
    assert sniffer.frames() == []
