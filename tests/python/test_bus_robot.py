"""The example arm (examples/arm.toml: six joints, mixed directions, offsets,
a geared joint, MIT, VEL and POS_VEL) against simulated motors: each
command's frames on the wire checked against the joint/motor formulas
written out here and the simulator's own codec, the feedback converted
back, and the loop in joint units."""
import dataclasses
import math
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
    with arm.start(200, hold_ms=2000) as loop:
        loop.set(**cmd)
        loop.wait(2000)
        sniffer = Sniffer(can_iface)
        try:
            check_wire(take(sniffer, 24), expected(cmd))  # two cycles: six commands, six replies each
        finally:
            sniffer.close()
        js = loop.wait(2000)
        assert list(js.status) == [int(rotalink.Status.ENABLED)] * 6 and not np.isnan(loop.state().q).any()
