"""The example arm (examples/arm.toml: six joints, mixed directions, offsets,
a geared joint, MIT, VEL and POS_VEL) against simulated motors: each
command's frames on the wire checked against the joint/motor formulas
written out here and the simulator's own codec, the feedback converted
back, and the loop in joint units."""
import dataclasses
import math
import socket
import threading
from pathlib import Path

import pytest

import rotalink
from conftest import Sniffer
from rotalink_scan import description

np = pytest.importorskip("numpy")
rotalink_sim = pytest.importorskip("rotalink_sim")
from rotalink_sim import codec, model  # noqa: E402

pytestmark = pytest.mark.bus

ARM = description.load(Path(__file__).resolve().parents[2] / "examples" / "arm.toml")


@pytest.fixture(scope="module")
def arm(can_iface):
    """The arm on the interface, its six motors simulated in MIT mode, so
    that entering the robot must switch the VEL and POS_VEL joints' motors
    into their modes; with no watchdog, so that the sniffer's pauses leave
    the motors enabled, and time-outs an emulated machine can keep (a
    simulator serving six motors there answers the last tens of
    milliseconds late)."""
    motors = [a for j in ARM.joints for a in ("--motor", "%#x:%#x:%s" % (j.motor_id, j.master_id, j.model))]
    with rotalink_sim.spawn(can_iface, *motors):
        robot = description.build(dataclasses.replace(ARM, watchdog_ms=None, timeout_ms=200),
                                  {"can0": rotalink.SocketCanTransport(can_iface)})
        with robot:
            yield robot


def clamp(x, lo, hi):
    return min(max(x, lo), hi)


def expected(cmd):
    """{identifier: what each joint's frame must carry}, from the formulas:
    p = o + d g q, v = d g dq (a speed limit: g |dq|), t = d tau / g,
    gains / g^2, after clamping into the joint limits."""
    out = {}
    for i, j in enumerate(ARM.joints):
        def field(name, default):
            v = cmd.get(name, default)
            return float(v[i] if np.ndim(v) else v)
        q = clamp(field("q", 0.0), -math.inf if j.q_min is None else j.q_min,
                  math.inf if j.q_max is None else j.q_max)
        dq_max = j.dq_max if j.dq_max is not None else math.inf
        d, g, o = j.direction, j.gear, j.offset
        if j.mode == rotalink.ControlMode.MIT:
            dq = clamp(field("dq", 0.0), -dq_max, dq_max)
            tau_max = j.tau_max if j.tau_max is not None else math.inf
            tau = clamp(field("tau", 0.0), -tau_max, tau_max)
            out[j.motor_id] = ("mit", j.limits, (o + d * g * q, d * g * dq, field("kp", j.kp) / g ** 2,
                                                  field("kd", j.kd) / g ** 2, d * tau / g))
        elif j.mode == rotalink.ControlMode.VEL:
            out[0x200 + j.motor_id] = ("vel", None, (d * g * clamp(field("dq", 0.0), -dq_max, dq_max),))
        else:
            speed = min(abs(field("dq", dq_max)), dq_max)
            out[0x100 + j.motor_id] = ("pos_vel", None, (o + d * g * q, g * speed))
    return out


def check_wire(frames, want):
    got = {can_id: data for can_id, data, _, _ in frames if can_id in want}
    assert set(got) == set(want), (sorted(map(hex, got)), sorted(map(hex, want)))
    for can_id, (kind, limits, values) in want.items():
        if kind == "mit":
            # One step of each field's scale at most: the host rounds each
            # conversion to float, the formula here does not.
            mine = codec.encode_command(limits.mit_limits(), *values)
            fields = [codec.decode_command(limits.mit_limits(), d) for d in (got[can_id], mine)]
            lim = codec.limits_of(limits.mit_limits())
            steps = (2 * lim.p_max / 65535, 2 * lim.v_max / 4095, lim.kp_max / 4095, lim.kd_max / 4095,
                     2 * lim.t_max / 4095)
            assert all(abs(a - b) <= s * 1.01 for a, b, s in zip(*fields, steps)), (hex(can_id), fields)
        else:
            mode = model.MODE_VEL if kind == "vel" else model.MODE_POS_VEL
            decoded = model.decode_wire(mode, got[can_id])
            assert all(abs(a - b) <= 1e-6 * max(1.0, abs(b)) for a, b in zip(decoded, values)), (
                hex(can_id), decoded, values)


COMMANDS = [  # (id, keywords of Robot.command)
    ("zero", dict(q=np.zeros(6))),
    ("vectors", dict(q=[0.5, -0.4, 1.0, -0.3, 0.0, 0.6], dq=(0.1, -0.2, 0.3, 0.0, 2.5, 1.0), kp=20.0, kd=0.5,
                     tau=np.array([1.0, -20.0, 0.5, 0.0, 0.0, 0.0]))),
    ("clamped", dict(q=[3.0, -2.0, 2.5, 2.0, 0.0, 1.5], dq=[5.0, 2.0, 0.0, 0.0, 9.0, 3.0],
                     tau=[0.0, 200.0, 0.0, 0.0, 0.0, 0.0])),
    ("float32", dict(q=np.array([-0.25, 0.75, -1.0, 0.5, 0.0, 0.3], dtype=np.float32), dq=-1.0)),
]


def take(sniffer, count):
    """The next `count` frames the sniffer sees (a loop's bus is never quiet)."""
    sniffer.sock.settimeout(2.0)
    return [sniffer._decode(sniffer.sock.recv(72)) for _ in range(count)]


@pytest.mark.parametrize("cmd", [pytest.param(c, id=n) for n, c in COMMANDS])
def test_commands_on_the_wire_and_states_in_joint_units(arm, can_iface, cmd):
    sniffer = Sniffer(can_iface)
    try:
        sniffer.drain()
        js = arm.command(**cmd)
        check_wire(sniffer.frames(), expected(cmd))
        now = arm.state()
        replies = {can_id: data for can_id, data, _, _ in sniffer.frames()}
    finally:
        sniffer.close()
    assert js.names == now.names == ARM.names and list(now.status) == [int(rotalink.Status.ENABLED)] * 6
    for i, j in enumerate(ARM.joints):  # the refresh's replies, converted back here
        fb = codec.decode_feedback(j.limits.mit_limits(), replies[j.master_id])
        dg = j.direction * j.gear
        want = ((fb.position - j.offset) / dg, fb.velocity / dg, dg * fb.torque)
        assert (now.q[i], now.dq[i], now.tau[i]) == pytest.approx(want, rel=1e-6, abs=1e-6), j.name
        assert (now.t_mos[i], now.t_rotor[i]) == (fb.t_mos, fb.t_rotor), j.name


def test_the_loop_sends_the_converted_command(arm, can_iface):
    cmd = dict(q=[0.2, -0.1, 0.4, 0.1, 0.0, 0.8], dq=[0.0, 0.0, 0.0, 0.0, 1.5, 0.5])
    with arm.start(200, hold_ms=2000, blend_ms=0) as loop:
        loop.set(**cmd)
        loop.wait(2000)
        sniffer = Sniffer(can_iface)
        try:
            check_wire(take(sniffer, 24), expected(cmd))  # two cycles: six commands, six replies each
        finally:
            sniffer.close()
        js = loop.wait(2000)
        assert list(js.status) == [int(rotalink.Status.ENABLED)] * 6 and not np.isnan(loop.state().q).any()


# ------------------------------------------------------------------ moves

MOVE_RATE = 100
PERIOD = 1.0 / MOVE_RATE


class Recorder:
    """Every frame on the interface, read by a thread from creation to stop()."""

    def __init__(self, iface):
        self.sniffer = Sniffer(iface)
        self.sniffer.sock.settimeout(0.05)
        self.frames = []
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._done.is_set():
            try:
                self.frames.append(self.sniffer._decode(self.sniffer.sock.recv(72)))
            except socket.timeout:
                pass

    def stop(self):
        self._done.set()
        self._thread.join()
        self.sniffer.close()
        return self.frames


def joint_commands(frames):
    """Per joint, the commands it was sent, in order, converted to joint
    units here: (q, dq) - q None for VEL, dq a magnitude for POS_VEL - and
    the step of the wire's resolution in q."""
    ids = {}
    for i, j in enumerate(ARM.joints):
        offset = {rotalink.ControlMode.MIT: 0, rotalink.ControlMode.VEL: 0x200}.get(j.mode, 0x100)
        ids[offset + j.motor_id] = i
    out = [[] for _ in ARM.joints]
    for can_id, data, _, _ in frames:
        if can_id not in ids:
            continue
        i = ids[can_id]
        j = ARM.joints[i]
        dg = j.direction * j.gear
        if j.mode == rotalink.ControlMode.MIT:
            f = codec.decode_command(j.limits.mit_limits(), data)
            out[i].append(((f[0] - j.offset) / dg, f[1] / dg))
        elif j.mode == rotalink.ControlMode.VEL:
            (v,) = model.decode_wire(model.MODE_VEL, data)
            out[i].append((None, v / dg))
        else:
            p, speed = model.decode_wire(model.MODE_POS_VEL, data)
            out[i].append(((p - j.offset) / dg, speed / abs(j.gear)))
    return out


def q_step(j):
    if j.mode != rotalink.ControlMode.MIT:
        return 1e-6
    return 2 * codec.limits_of(j.limits.mit_limits()).p_max / 65535 / abs(j.gear)


def test_a_move_keeps_to_its_limits_and_every_joint_arrives_together(arm, can_iface):
    vlim, alim = 0.8, 3.0
    with arm.start(MOVE_RATE, hold_ms=3000, blend_ms=0) as loop:
        loop.wait(2000)
        start = loop.state()
        target = np.array([0.5, -0.4, 0.6, -0.5, start.q[4] + 0.6, 0.9])
        recorder = Recorder(can_iface)
        try:
            mv = loop.move_to(target, velocity_limit=vlim, accel_limit=alim)
            assert mv.wait(30000) is True
            assert mv.done and not mv.cancelled
            for _ in range(5):  # the target, held
                loop.wait(2000)
        finally:
            frames = recorder.stop()
    commands = joint_commands(frames)
    arrivals = []
    for i, j in enumerate(ARM.joints):
        got = commands[i]
        assert len(got) > 30, j.name
        dq = np.array([d for _, d in got])
        # A joint still moving faster than the limit (the last test left
        # the VEL joint turning) is braked from there.
        top = max(vlim, abs(start.dq[i]) + alim * PERIOD)
        if j.mode == rotalink.ControlMode.VEL:
            # Its velocity: within the limits, changing by the acceleration
            # limit at most, at rest at the end.
            assert np.abs(dq).max() <= top + 1e-5, j.name
            assert np.abs(np.diff(dq)).max() <= alim * PERIOD + 1e-5, j.name
            assert dq[-1] == 0.0
            continue
        q = np.array([p for p, _ in got])
        step = q_step(j)
        # Finite differences of successive commands: within the velocity
        # and acceleration limits, to the wire's resolution.
        assert np.abs(np.diff(q)).max() <= top * PERIOD + step + 1e-6, j.name
        assert np.abs(np.diff(q, 2)).max() <= alim * PERIOD ** 2 + 2 * step + 1e-6, j.name
        assert q[-1] == pytest.approx(target[i], abs=step), j.name
        arrivals.append((i, int(np.flatnonzero(q != q[-1])[-1]) + 1))
    # Every joint still short of its target five cycles before the last
    # one arrives, and there at that cycle.
    last = max(k for _, k in arrivals)
    for i, k in arrivals:
        q = np.array([p for p, _ in commands[i]])
        assert abs(q[last - 5] - target[i]) > 2 * q_step(ARM.joints[i]), ARM.joints[i].name
        assert q[last] == q[-1], ARM.joints[i].name


def test_the_first_set_is_blended_in_from_the_measured_position(arm, can_iface):
    blend_ms = 300
    cycles = blend_ms * MOVE_RATE // 1000
    with arm.start(MOVE_RATE, hold_ms=3000, blend_ms=blend_ms) as loop:
        loop.wait(2000)
        recorder = Recorder(can_iface)
        try:
            measured = loop.state().q
            goal = np.array([0.0, 0.0, 0.0, 0.0, 0.0, 0.2])
            loop.set(q=goal, dq=[0.0, 0.0, 0.0, 0.0, 0.0, 1.0])
            for _ in range(cycles + 5):
                loop.wait(2000)
        finally:
            frames = recorder.stop()
    commands = joint_commands(frames)
    for i, j in enumerate(ARM.joints):
        if j.mode == rotalink.ControlMode.VEL:
            continue
        q = np.array([p for p, _ in commands[i]])
        step = q_step(j)
        # The first command is where the joint was; the set target is
        # reached after blend_ms, and held.
        assert q[0] == pytest.approx(measured[i], abs=2 * step + 1e-3), j.name
        assert np.all(q[cycles:] == pytest.approx(goal[i], abs=step)), j.name
        if abs(measured[i] - goal[i]) > 10 * step:  # half way, half way there
            assert q[cycles // 2] == pytest.approx((measured[i] + goal[i]) / 2, abs=2 * step + 1e-3), j.name


def test_a_move_outside_the_joint_limits_sends_nothing(arm, can_iface):
    with arm.start(MOVE_RATE, hold_ms=3000) as loop:
        loop.wait(2000)
        recorder = Recorder(can_iface)
        try:
            with pytest.raises(ValueError, match=r"joint 'shoulder' \(index 1\): q 2 is outside its limits"):
                loop.move_to([0.0, 2.0, 0.0, 0.0, 0.0, 0.5])
            for _ in range(3):
                loop.wait(2000)
        finally:
            frames = recorder.stop()
    assert all(can_id in (0x7FF,) + tuple(j.master_id for j in ARM.joints) for can_id, _, _, _ in frames)
