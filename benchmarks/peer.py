"""The driver a user would write instead of rotalink: pure Python on python-can.

It speaks the same protocol as rotalink's ``Damiao.mit_control``: a classic
8-byte frame to standard identifier ``motor_id & 0x7FF``, the first frame from
standard identifier ``master_id & 0x7FF`` within the time-out is the reply, and
its first 8 bytes are decoded. The codec uses the same order of operations
(``((m + x) * K) / (m + m)`` for symmetric fields, ``(x * K) / m`` for gains,
truncation toward zero; ``((m + m) * raw) / K - m`` back), but in Python's
64-bit floats, as a user would write it. It is therefore NOT bit-exact with
rotalink's 32-bit float arithmetic: a value that lands within a rounding step
of a raw-code boundary can encode one code apart, and decoded values differ in
the low digits. It also leaves out the corner cases rotalink defines (a NaN
setpoint raises ValueError in ``int()``, a zero limit ZeroDivisionError).

``PeerGroup`` is the peer of ``rotalink.MotorGroup`` on one bus: every command
sent, then the replies collected until one deadline.

The value records are plain dataclasses, as a user would write them.
"""

import struct
import time
from dataclasses import dataclass

import can

K16 = 65535.0
K12 = 4095.0


@dataclass
class PeerLimits:
    p_max: float = 12.5
    v_max: float = 30.0
    kp_max: float = 500.0
    kd_max: float = 5.0
    t_max: float = 10.0


@dataclass
class PeerSetpoint:
    q: float = 0.0
    dq: float = 0.0
    kp: float = 0.0
    kd: float = 0.0
    tau: float = 0.0


@dataclass
class PeerState:
    motor_id: int
    error: int
    position: float
    velocity: float
    torque: float
    t_mos: int
    t_rotor: int


_COMMAND = struct.Struct(">HBBBBBB")
_FEEDBACK = struct.Struct(">BHBBBBB")


def _symmetric(x, m, k):
    x = min(max(x, -m), m)
    return int(((m + x) * k) / (m + m))


def _gain(x, m, k):
    x = min(max(x, 0.0), m)
    return int((x * k) / m)


def encode(limits, sp):
    """The 8 command bytes of one MIT setpoint."""
    q = _symmetric(sp.q, limits.p_max, K16)
    dq = _symmetric(sp.dq, limits.v_max, K12)
    kp = _gain(sp.kp, limits.kp_max, K12)
    kd = _gain(sp.kd, limits.kd_max, K12)
    tau = _symmetric(sp.tau, limits.t_max, K12)
    return _COMMAND.pack(
        q,
        dq >> 4,
        ((dq & 0xF) << 4) | (kp >> 8),
        kp & 0xFF,
        kd >> 4,
        ((kd & 0xF) << 4) | (tau >> 8),
        tau & 0xFF,
    )


def decode(limits, data):
    """A PeerState from the first 8 feedback bytes."""
    b0, p_raw, b3, b4, b5, t_mos, t_rotor = _FEEDBACK.unpack_from(data)
    v_raw = (b3 << 4) | (b4 >> 4)
    t_raw = ((b4 & 0xF) << 8) | b5
    p, v, t = limits.p_max, limits.v_max, limits.t_max
    return PeerState(
        b0 & 0x0F,
        b0 >> 4,
        ((p + p) * p_raw) / K16 - p,
        ((v + v) * v_raw) / K12 - v,
        ((t + t) * t_raw) / K12 - t,
        t_mos,
        t_rotor,
    )


def open_bus(channel):
    return can.Bus(interface="socketcan", channel=channel)


class PeerMotor:
    """One motor: its identifiers, limits and reply time-out."""

    def __init__(self, motor_id, master_id, limits=None, timeout_ms=20):
        self.motor_id = motor_id & 0x7FF
        self.master_id = master_id & 0x7FF
        self.limits = limits if limits is not None else PeerLimits()
        self.timeout = timeout_ms / 1000.0

    def mit_control(self, bus, sp):
        msg = can.Message(
            arbitration_id=self.motor_id, is_extended_id=False, data=encode(self.limits, sp)
        )
        bus.send(msg)
        deadline = time.monotonic() + self.timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("timeout waiting for frame")
            reply = bus.recv(timeout=remaining)
            if reply is None:
                raise TimeoutError("timeout waiting for frame")
            if (
                reply.arbitration_id == self.master_id
                and not reply.is_extended_id
                and not reply.is_error_frame
            ):
                if len(reply.data) < 8:
                    raise RuntimeError("feedback reply too short")
                return decode(self.limits, reply.data)


class PeerGroup:
    """One cycle over several motors on one bus, as a user would write it
    with python-can: every command is sent, then every reply is collected
    until one deadline, each motor's reply being the first frame from its
    master identifier. Raises TimeoutError naming the motors that did not
    answer."""

    def __init__(self, bus, motors, timeout_ms=20):
        self.bus = bus
        self.motors = list(motors)
        self.timeout = timeout_ms / 1000.0
        self.by_reply_id = {m.master_id: i for i, m in enumerate(self.motors)}

    def mit_control(self, setpoints):
        bus, motors = self.bus, self.motors
        if len(setpoints) != len(motors):
            raise ValueError(f"expected {len(motors)} setpoints, got {len(setpoints)}")
        for m, sp in zip(motors, setpoints):
            bus.send(
                can.Message(arbitration_id=m.motor_id, is_extended_id=False,
                            data=encode(m.limits, sp))
            )
        deadline = time.monotonic() + self.timeout
        states = [None] * len(motors)
        missing = len(motors)
        by_reply_id = self.by_reply_id
        while missing:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            reply = bus.recv(timeout=remaining)
            if reply is None:
                break
            if reply.is_extended_id or reply.is_error_frame:
                continue
            i = by_reply_id.get(reply.arbitration_id)
            if i is None or states[i] is not None:
                continue
            if len(reply.data) < 8:
                raise RuntimeError("feedback reply too short")
            states[i] = decode(motors[i].limits, reply.data)
            missing -= 1
        if missing:
            lost = [hex(m.motor_id) for m, s in zip(motors, states) if s is None]
            raise TimeoutError("timeout waiting for frame from motors " + ", ".join(lost))
        return states
