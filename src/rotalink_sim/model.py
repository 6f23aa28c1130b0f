"""One simulated Damiao DM-series motor: protocol state, registers and rotor model.

Protocol state
--------------
* ``motor_id`` (16 bits): the motor takes commands on standard identifier
  ``motor_id & 0x7FF`` and is addressed by all 16 bits in register requests.
* ``master_id`` (16 bits): the motor answers from standard identifier
  ``master_id & 0x7FF``.
* a 4-bit ``error`` code (reported in the feedback's high nibble, cleared by
  the clear-error command, otherwise left as configured), the temperature
  bytes ``t_mos`` and ``t_rotor`` (reported unscaled), the enabled flag and the
  control mode (register 10: 1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS).

Every 8-byte command is answered with one feedback payload:

* ``FF FF FF FF FF FF FF FC`` enable, ``..FD`` disable, ``..FE`` set zero (the
  current shaft angle becomes position 0; a held MIT target keeps its
  physical angle), ``..FB`` clear error (error := 0);
* anything else is an MIT command.

Rotor model
-----------
A rigid rotor with inertia ``J`` (default 0.002) and viscous friction ``b``
(default 0.01), driven by the motor torque::

    J * ddq = torque - b * dq
    torque  = clamp(kp * (q_des - q) + kd * (dq_des - dq) + tau_ff, -t_max, t_max)

The torque law applies only while the motor is enabled *and* in MIT mode; an
MIT command then replaces the target ``(q_des, dq_des, kp, kd, tau_ff)``.
Otherwise the torque is zero and the rotor coasts down under friction. An MIT
command to a disabled motor or to a motor in another control mode is answered
with feedback and otherwise ignored, as the firmware does. Enabling, disabling
and a change of control mode reset the target to zero gains and zero torque,
so a stale target never takes effect.

The state is advanced to the wall-clock time of each command before it is
applied, over at most 50 ms (a long pause does not make the rotor run away),
in substeps of at most 1 ms. Each substep is backward Euler in the linear
region (stable for any gain the command can carry, up to kp = 500, kd = 5)
and, where the law saturates, integrates the clamped torque with implicit
friction. The reported torque is the law evaluated at the current state with
the current target, i.e. what the motor is applying when it answers. The
physics runs in double precision; only the payload codec is 32-bit.

Feedback values beyond the limits are clamped by the payload encoding; the
internal position itself is not wrapped.
"""

import math
import struct

from .codec import Limits, decode_command, encode_feedback, limits_of, PRESETS

__all__ = [
    "Motor",
    "Register",
    "CONTROL_MODES",
    "MODE_MIT",
    "MODE_POS_VEL",
    "MODE_VEL",
    "MODE_FORCE_POS",
    "REG_MST_ID",
    "REG_ESC_ID",
    "REG_CTRL_MODE",
    "CMD_ENABLE",
    "CMD_DISABLE",
    "CMD_SET_ZERO",
    "CMD_CLEAR_ERROR",
]

MODE_MIT = 1
MODE_POS_VEL = 2
MODE_VEL = 3
MODE_FORCE_POS = 4

#: Control-mode names as accepted on the command line, and their register values.
CONTROL_MODES = {
    "mit": MODE_MIT,
    "pos_vel": MODE_POS_VEL,
    "vel": MODE_VEL,
    "force_pos": MODE_FORCE_POS,
}

REG_MST_ID = 7
REG_ESC_ID = 8
REG_CTRL_MODE = 10

CMD_ENABLE = 0xFC
CMD_DISABLE = 0xFD
CMD_SET_ZERO = 0xFE
CMD_CLEAR_ERROR = 0xFB

_SPECIAL_PREFIX = b"\xff" * 7

MAX_ADVANCE = 0.050  # s: longest span integrated at one command
SUBSTEP = 0.001  # s

_U32 = struct.Struct("<I")


class Register:
    """One entry of the register map: number, name, kind and writability."""

    __slots__ = ("number", "name", "kind", "writable")

    def __init__(self, number, name, kind, writable):
        self.number = number
        self.name = name
        self.kind = kind
        self.writable = writable

    def __repr__(self):
        return "Register(%d, %r, %r, writable=%r)" % (
            self.number, self.name, self.kind, self.writable)


#: The register map. All three registers hold unsigned 32-bit integers; the
#: identifiers are fixed for the lifetime of a simulated motor.
REGISTERS = {
    REG_MST_ID: Register(REG_MST_ID, "MST_ID", "Uint32", False),
    REG_ESC_ID: Register(REG_ESC_ID, "ESC_ID", "Uint32", False),
    REG_CTRL_MODE: Register(REG_CTRL_MODE, "CTRL_MODE", "Uint32", True),
}


def _check_int(name, value, lo, hi):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, got %r" % (name, value))
    if not lo <= value <= hi:
        raise ValueError("%s must be in %d..%d, got %d" % (name, lo, hi, value))
    return value


class Motor:
    """A simulated motor.

    ``model`` is a preset name (see ``PRESETS``); ``limits`` (a ``Limits``,
    5-sequence or ``rotalink.MitLimits``) overrides it. ``mode`` is a register
    value (1..4) or a name from ``CONTROL_MODES``.
    """

    def __init__(self, motor_id, master_id, model="dm4310", *, limits=None,
                 mode=MODE_MIT, error=0, t_mos=30, t_rotor=32,
                 inertia=0.002, damping=0.01):
        self.motor_id = _check_int("motor_id", motor_id, 0, 0xFFFF)
        self.master_id = _check_int("master_id", master_id, 0, 0xFFFF)
        if limits is None:
            key = str(model).lower()
            if key not in PRESETS:
                raise ValueError("unknown motor model %r (known: %s)"
                                 % (model, ", ".join(sorted(PRESETS))))
            self.model = key
            self.limits = PRESETS[key]
        else:
            self.model = None if model is None else str(model).lower()
            self.limits = limits_of(limits)
        for name in Limits._fields:
            v = getattr(self.limits, name)
            if not (v > 0.0 and math.isfinite(v)):
                raise ValueError("limit %s must be positive and finite, got %r" % (name, v))
        if isinstance(mode, str):
            try:
                mode = CONTROL_MODES[mode.lower()]
            except KeyError:
                raise ValueError("unknown control mode %r" % mode) from None
        self.mode = _check_int("mode", mode, MODE_MIT, MODE_FORCE_POS)
        self.error = _check_int("error", error, 0, 15)
        self.t_mos = _check_int("t_mos", t_mos, 0, 255)
        self.t_rotor = _check_int("t_rotor", t_rotor, 0, 255)
        if not (inertia > 0.0 and math.isfinite(inertia)):
            raise ValueError("inertia must be positive and finite")
        if not (damping >= 0.0 and math.isfinite(damping)):
            raise ValueError("damping must be zero or positive and finite")
        self.inertia = float(inertia)
        self.damping = float(damping)

        self.enabled = False
        self.position = 0.0
        self.velocity = 0.0
        self.target = (0.0, 0.0, 0.0, 0.0, 0.0)  # q_des, dq_des, kp, kd, tau_ff
        self.last_time = None
        self.reads_answered = 0

    def __repr__(self):
        return "Motor(motor_id=0x%x, master_id=0x%x, model=%r)" % (
            self.motor_id, self.master_id, self.model)

    # identifiers -----------------------------------------------------------

    @property
    def command_id(self):
        """Standard identifier on which the motor takes commands."""
        return self.motor_id & 0x7FF

    @property
    def reply_id(self):
        """Standard identifier from which the motor answers."""
        return self.master_id & 0x7FF

    # model -----------------------------------------------------------------

    @property
    def active(self):
        """True when the MIT torque law drives the rotor."""
        return self.enabled and self.mode == MODE_MIT

    def _law(self, q, dq):
        q_des, dq_des, kp, kd, tau = self.target
        return kp * (q_des - q) + kd * (dq_des - dq) + tau

    def torque(self):
        """Torque the motor applies at the current state."""
        if not self.active:
            return 0.0
        t_max = self.limits.t_max
        return min(max(self._law(self.position, self.velocity), -t_max), t_max)

    def _substep(self, h):
        a = h / self.inertia
        b = self.damping
        q, dq = self.position, self.velocity
        if self.active:
            q_des, dq_des, kp, kd, tau = self.target
            t_max = self.limits.t_max
            dq_new = (dq + a * (kp * (q_des - q) + kd * dq_des + tau)) / (1.0 + a * (kp * h + kd + b))
            q_new = q + h * dq_new
            torque = self._law(q_new, dq_new)
            if abs(torque) > t_max:
                torque = math.copysign(t_max, torque)
                dq_new = (dq + a * torque) / (1.0 + a * b)
                q_new = q + h * dq_new
        else:
            dq_new = dq / (1.0 + a * b)
            q_new = q + h * dq_new
        self.position, self.velocity = q_new, dq_new

    def advance(self, now):
        """Integrate the rotor up to monotonic time ``now`` (seconds)."""
        if self.last_time is None:
            self.last_time = now
            return
        span = min(max(now - self.last_time, 0.0), MAX_ADVANCE)
        self.last_time = now
        while span > 1e-12:
            h = min(SUBSTEP, span)
            self._substep(h)
            span -= h

    def _reset_target(self):
        self.target = (0.0, 0.0, 0.0, 0.0, 0.0)

    # commands --------------------------------------------------------------

    def feedback(self):
        """The feedback payload for the current state."""
        return encode_feedback(self.limits, self.motor_id, self.error, self.position,
                               self.velocity, self.torque(), self.t_mos, self.t_rotor)

    def handle_command(self, data, now):
        """Apply one 8-byte command received at time ``now``; return the feedback."""
        data = bytes(data)
        if len(data) != 8:
            raise ValueError("a command has 8 data bytes, got %d" % len(data))
        self.advance(now)
        if data[:7] == _SPECIAL_PREFIX and data[7] in (CMD_ENABLE, CMD_DISABLE,
                                                       CMD_SET_ZERO, CMD_CLEAR_ERROR):
            cmd = data[7]
            if cmd == CMD_ENABLE:
                self.enabled = True
                self._reset_target()
            elif cmd == CMD_DISABLE:
                self.enabled = False
                self._reset_target()
            elif cmd == CMD_SET_ZERO:
                q_des, dq_des, kp, kd, tau = self.target
                self.target = (q_des - self.position, dq_des, kp, kd, tau)
                self.position = 0.0
            else:
                self.error = 0
        elif self.active:
            self.target = tuple(decode_command(self.limits, data))
        return self.feedback()

    # registers -------------------------------------------------------------

    def register_value(self, number):
        """Current value of a register, or None for a register the motor lacks."""
        if number == REG_MST_ID:
            return self.master_id
        if number == REG_ESC_ID:
            return self.motor_id
        if number == REG_CTRL_MODE:
            return self.mode
        return None

    def write_register(self, number, value):
        """Write a register; return True if the value was applied.

        Only register 10 is writable, and only with a mode value 1..4.
        """
        reg = REGISTERS.get(number)
        if reg is None or not reg.writable:
            return False
        # REG_CTRL_MODE is the one writable register.
        if value not in CONTROL_MODES.values():
            return False
        if value != self.mode:
            self.mode = value
            self._reset_target()
        return True

    def register_payload(self, op, number, value):
        """Reply data for a register request: [id lo, id hi, op, reg, value LE]."""
        return bytes((self.motor_id & 0xFF, self.motor_id >> 8, op, number)) + _U32.pack(
            value & 0xFFFFFFFF)
