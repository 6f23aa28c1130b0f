# Type stub of the rotalink extension module.
#
# Installed twice from this one file: as rotalink.pyi beside the extension
# (read by editors that look next to a module) and as rotalink-stubs/__init__.pyi
# (the stub-only package form that mypy and stubtest look for; a lone .pyi
# beside a top-level module in site-packages is not picked up by mypy).
#
# Every class but the exception GroupError is final (none can be subclassed),
# has read-only attributes only and compares and hashes by identity. Every
# quantity is stored as a 32-bit float; getters return the stored value
# widened exactly to a Python float.
#
# Parameters are typed by the protocol the module converts them with, so that
# NumPy scalars and other number types check as they run: a float parameter
# takes anything with __float__ or __index__ (int and bool included), an
# integer parameter anything with __index__ (never a float). What is stored
# and read back is typed as the concrete float or int.
#
# The docstrings here are for editors and condense docs/API.md; the module's
# own __doc__ texts are shorter and are not changed by them.
"""Drive Damiao DM-series motors over Linux SocketCAN.

One C++ extension module: no submodules and no configuration, everything
comes in as constructor arguments. A `SocketCanTransport` is a bus, a
`Damiao` one motor (its commands take the bus), a `MotorGroup` several motors
commanded together in one cycle, and `MotorGroup.start` runs that cycle in
a native thread at a fixed rate (a `ControlLoop`, its timing in
`LoopStats`).

The firmware has four control modes (`ControlMode`, register 10), each with
its own command: MIT (`MitSetpoint`, `mit_control`), POS_VEL
(`PosVelSetpoint`, `pos_vel_control`), VEL (`VelSetpoint`, `vel_control`)
and FORCE_POS (`ForcePosSetpoint`, `force_pos_control`). A motor in another
mode than the one commanded answers the command and ignores it:
`read_mode` and `ensure_mode` check and switch the mode.

Safe by default: `with MotorGroup(...) as group:` enables every member and
disables every one however the block ends (an exception, Ctrl-C, SIGTERM);
`watchdog_ms` makes each motor disable itself when it hears no command for
that long (a killed process, a pulled cable); `JointLimits` clamp every
command of a group; `hold` starts from where the joints are; `Status` names
the status codes of `MotorState.error`; the `ControlLoop` of
`MotorGroup.start` disables every member when the program stops setting
setpoints or a member falls silent. A setpoint with a NaN field, and
`MitLimits` whose p_max, v_max or t_max is 0 or infinite, are refused with
ValueError naming the field before anything is sent.

Every class but `GroupError` is final, has read-only attributes (assigning
one raises AttributeError), compares and hashes by identity, and has
`str()` equal to `repr()`. Every constructor, preset, command and
`mit_setpoint` returns a new object.

Numbers: every physical quantity is stored as a 32-bit IEEE float. An
argument is rounded to the nearest 32-bit float (beyond its range to an
infinity; NaN stays NaN) and getters return the stored value widened
exactly: `MitSetpoint(q=0.1).q` is `0.10000000149011612`. A float parameter
takes a float, an int or bool, or any object with `__float__` or `__index__`
(NumPy scalars included); an integer parameter any object with `__index__`,
never a float. The module attaches no units.

Argument errors send nothing: TypeError (prefixed `argument 'NAME': `, e.g.
`argument 'q': must be real number, not str`) for a wrong type, OverflowError
for an integer out of range; an exception from an argument's `__float__` or
`__index__` passes through. Every error leaves the bus usable.

An internal fault (a bug, never ordinary input) raises `PanicException`, a
BaseException subclass that `except Exception` does not catch and that is no
attribute of the module; a bus on which a command failed that way refuses
every later command, so open a new `SocketCanTransport`.
"""
import os
from enum import IntEnum
from types import TracebackType
from typing import (Any, BinaryIO, Iterable, List, Literal, Mapping, Optional, Sequence, SupportsFloat,
                    SupportsIndex, Tuple, Type, Union, final)

import numpy as np
from numpy.typing import NDArray

# What a float parameter takes: an object with __float__ or with __index__.
_Float = Union[SupportsFloat, SupportsIndex]
# What a joint vector parameter takes: one number for every joint, or one per
# joint as a sequence or a buffer (a numpy array of any float or int dtype);
# None: absent.
_Joints = Union[_Float, Sequence[_Float], NDArray[Any], memoryview, None]
# What a per-member parameter of a move takes: one number for every member,
# one per member, or None (absent).
_PerMember = Union[_Float, Sequence[_Float], None]

__all__ = [
    "__version__",
    "MitLimits",
    "MitSetpoint",
    "MotorState",
    "Damiao",
    "SocketCanTransport",
    "mit_setpoint",
    "MotorGroup",
    "GroupError",
    "Register",
    "register_reply",
    "ControlMode",
    "PosVelSetpoint",
    "VelSetpoint",
    "ForcePosSetpoint",
    "JointLimits",
    "Status",
    "ControlLoop",
    "LoopStats",
    "Move",
    "RECORD_TOPICS",
    "Joint",
    "Robot",
    "RobotLoop",
    "JointStates",
    "REGISTER_ID",
    "REGISTER_READ_OP",
    "REGISTER_WRITE_OP",
    "SPECIAL_COMMANDS",
    "CAN_BIT_RATES",
    "TIMEOUT_UNIT_US",
    "enable_frame",
    "disable_frame",
    "set_zero_frame",
    "clear_error_frame",
    "refresh_frame",
    "read_register_frame",
    "write_register_frame",
    "save_parameters_frame",
]

__version__: str
"""The module's version, e.g. "1.0.0"."""

@final
class MitLimits:
    """The full-scale limits of one motor model, which scale both the MIT
    command and the feedback.

    `MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)`:
    the defaults equal `dm4310()`; the static methods are the presets of the
    other models. Nothing is validated here; a command refuses limits it
    cannot scale by before anything is sent: a p_max, v_max or t_max that is
    0 or infinite with ValueError `MitLimits.v_max must be finite and
    non-zero, got inf`, and a negative or NaN limit with ValueError `min >
    max, or either was NaN. min = 1.0, max = -1.0`.

    repr: `MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)`,
    each float in the shortest form that reads back as the same 32-bit float
    (no exponent, no trailing `.0`; `-0`, `NaN`, `inf`, `-inf`).
    """
    def __new__(
        cls,
        p_max: _Float = 12.5,
        v_max: _Float = 30.0,
        kp_max: _Float = 500.0,
        kd_max: _Float = 5.0,
        t_max: _Float = 10.0,
    ) -> MitLimits: ...
    @property
    def p_max(self) -> float:
        """The position range is [-p_max, p_max]."""
    @property
    def v_max(self) -> float:
        """The velocity range is [-v_max, v_max]."""
    @property
    def kp_max(self) -> float:
        """The position gain range is [0, kp_max]."""
    @property
    def kd_max(self) -> float:
        """The velocity gain range is [0, kd_max]."""
    @property
    def t_max(self) -> float:
        """The torque range is [-t_max, t_max]."""
    @staticmethod
    def dm3507() -> MitLimits:
        """DM3507: p_max 12.566 (the 32-bit float nearest to 12.566, not 4*pi),
        v_max 50, kp_max 500, kd_max 5, t_max 5."""
    @staticmethod
    def dm4310() -> MitLimits:
        """DM4310: p_max 12.5, v_max 30, kp_max 500, kd_max 5, t_max 10."""
    @staticmethod
    def dm4310p() -> MitLimits:
        """DM4310P: p_max 12.5, v_max 50, kp_max 500, kd_max 5, t_max 10."""
    @staticmethod
    def dm4340() -> MitLimits:
        """DM4340: p_max 12.5, v_max 10, kp_max 500, kd_max 5, t_max 28."""
    @staticmethod
    def dm4340p() -> MitLimits:
        """DM4340P: p_max 12.5, v_max 10, kp_max 500, kd_max 5, t_max 28."""
    @staticmethod
    def dm6006() -> MitLimits:
        """DM6006: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 20."""
    @staticmethod
    def dm6248p() -> MitLimits:
        """DM6248P: p_max 12.566 (the 32-bit float nearest to 12.566, not 4*pi),
        v_max 20, kp_max 500, kd_max 5, t_max 120."""
    @staticmethod
    def dm8006() -> MitLimits:
        """DM8006: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 40."""
    @staticmethod
    def dm8009() -> MitLimits:
        """DM8009: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 54."""
    @staticmethod
    def dm10010() -> MitLimits:
        """DM10010: p_max 12.5, v_max 20, kp_max 500, kd_max 5, t_max 200."""
    @staticmethod
    def dm10010l() -> MitLimits:
        """DM10010L: p_max 12.5, v_max 25, kp_max 500, kd_max 5, t_max 200."""
    @staticmethod
    def dmg6215() -> MitLimits:
        """DMG6215: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 10."""
    @staticmethod
    def dmh3510() -> MitLimits:
        """DMH3510: p_max 12.5, v_max 280, kp_max 500, kd_max 5, t_max 1."""
    @staticmethod
    def dmh6220() -> MitLimits:
        """DMH6220: p_max 12.5, v_max 45, kp_max 500, kd_max 5, t_max 10."""
    @staticmethod
    def dmjh11() -> MitLimits:
        """DMJH11: p_max 12.5, v_max 10, kp_max 500, kd_max 5, t_max 12."""

@final
class MitSetpoint:
    """One MIT command: `MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)`.

    When the command is encoded, each value is clamped into its range of the
    motor's `MitLimits` (and, in a group, into the member's `JointLimits`);
    a NaN value makes the command raise ValueError (`MitSetpoint.q must be
    a number, got NaN`) and nothing is sent.
    With every value at its top the first seven bytes would all be FF, a
    special command to the firmware: such a command goes out with the
    position one raw step lower (FFFE).

    repr: `MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)`, floats as for
    `MitLimits`.
    """
    def __new__(
        cls,
        q: _Float = 0.0,
        dq: _Float = 0.0,
        kp: _Float = 0.0,
        kd: _Float = 0.0,
        tau: _Float = 0.0,
    ) -> MitSetpoint: ...
    @property
    def q(self) -> float:
        """Target position, within [-p_max, p_max]."""
    @property
    def dq(self) -> float:
        """Target velocity, within [-v_max, v_max]."""
    @property
    def kp(self) -> float:
        """Position (stiffness) gain, within [0, kp_max]."""
    @property
    def kd(self) -> float:
        """Velocity (damping) gain, within [0, kd_max]."""
    @property
    def tau(self) -> float:
        """Feed-forward torque, within [-t_max, t_max]."""

@final
class PosVelSetpoint:
    """One POS_VEL command: `PosVelSetpoint(q=0.0, dq=0.0)`, a target
    position reached at no more than a velocity.

    Encoded as two little-endian 32-bit floats (q, then dq), not scaled by
    the motor's `MitLimits` and not clamped. A NaN or infinite value makes
    the command raise ValueError naming the field (nothing is sent).

    repr: `PosVelSetpoint(q=1, dq=2)`, floats as for `MitLimits`.
    """
    def __new__(cls, q: _Float = 0.0, dq: _Float = 0.0) -> PosVelSetpoint: ...
    @property
    def q(self) -> float:
        """Target position (rad)."""
    @property
    def dq(self) -> float:
        """Velocity limit on the way there (rad/s)."""

@final
class VelSetpoint:
    """One VEL command: `VelSetpoint(dq=0.0)`, a target velocity.

    Encoded as one little-endian 32-bit float, not scaled and not clamped. A
    NaN or infinite value makes the command raise ValueError naming the
    field (nothing is sent).

    repr: `VelSetpoint(dq=2)`, the float as for `MitLimits`.
    """
    def __new__(cls, dq: _Float = 0.0) -> VelSetpoint: ...
    @property
    def dq(self) -> float:
        """Target velocity (rad/s)."""

@final
class ForcePosSetpoint:
    """One FORCE_POS command: `ForcePosSetpoint(q=0.0, dq=0.0, current=0.0)`,
    a target position reached at no more than a velocity and with no more
    than a share of the motor's peak current.

    Encoded as q (a little-endian 32-bit float), then dq and current as
    little-endian unsigned 16-bit integers: dq clamped into [0, 100] and
    times 100 (0..10000), current clamped into [0, 1] and times 10000
    (0..10000), each product taken in 32-bit float arithmetic and rounded to
    the nearest integer (ties away from zero). A NaN or infinite value makes
    the command raise ValueError naming the field (nothing is sent).

    repr: `ForcePosSetpoint(q=1, dq=2, current=0.5)`, floats as for
    `MitLimits`.
    """
    def __new__(cls, q: _Float = 0.0, dq: _Float = 0.0, current: _Float = 0.0) -> ForcePosSetpoint: ...
    @property
    def q(self) -> float:
        """Target position (rad)."""
    @property
    def dq(self) -> float:
        """Velocity limit (rad/s), sent within [0, 100] in steps of 0.01."""
    @property
    def current(self) -> float:
        """Current limit as a share of the motor's peak current, sent within
        [0, 1] in steps of 0.0001."""

# Any of the four commands, as MotorGroup.control takes them.
_Setpoint = Union[MitSetpoint, PosVelSetpoint, VelSetpoint, ForcePosSetpoint]

# Made only by the Damiao commands: calling MotorState() raises TypeError
# "No constructor defined for MotorState" (a stub cannot forbid the call).
@final
class MotorState:
    """The decoded feedback of one motor, returned by every command.

    It has no constructor: `MotorState()` raises TypeError `No constructor
    defined for MotorState`. Nothing in it is checked: `motor_id` is not
    compared with the commanded motor and a non-zero `error` raises nothing.

    repr: `MotorState(motor_id=1, error=1, position=-0.0002,
    velocity=-0.0073, torque=-0.0024, t_mos=30, t_rotor=32)`, the three floats
    with exactly four decimals (a negative value that rounds to zero keeps its
    sign: `-0.0000`).
    """
    @property
    def motor_id(self) -> int:
        """The low 4 bits of the motor's CAN ID as the motor reports it (low
        nibble of byte 0), 0..15."""
    @property
    def error(self) -> int:
        """The firmware's 4-bit status/fault code (high nibble of byte 0),
        0..15, passed through as a plain int: 0 disabled, 1 enabled, 8
        over-voltage, 9 under-voltage, 10 over-current, 11 MOS
        over-temperature, 12 coil over-temperature, 13 communication lost
        (the watchdog tripped), 14 overload. `Status(code)` names the known
        codes."""
    @property
    def position(self) -> float:
        """Position, scaled by the motor's p_max."""
    @property
    def velocity(self) -> float:
        """Velocity, scaled by the motor's v_max."""
    @property
    def torque(self) -> float:
        """Torque, scaled by the motor's t_max."""
    @property
    def t_mos(self) -> int:
        """The driver stage (MOS) temperature in degrees Celsius, 0..255
        (byte 6, unscaled). The motor stops with MOS_OVERTEMP past its
        register OT_Value (2)."""
    @property
    def t_rotor(self) -> int:
        """The rotor (coil) temperature in degrees Celsius, 0..255 (byte 7,
        unscaled). The motor stops with COIL_OVERTEMP past its register
        OT_Value (2)."""

@final
class SocketCanTransport:
    """A bus: a raw CAN socket bound to the network interface `iface` (a
    str such as "can0" or "vcan0"), with CAN FD frames enabled and no receive
    filter.

    The socket is closed when the object is collected; there is no explicit
    close. One object can be shared by threads and by any number of `Damiao`
    objects and groups: each command holds the bus's lock for its whole
    exchange.

    Raises OSError with the operating system's text: `No such device (os
    error 19)` for an unknown or empty name, `Invalid argument (os error 22)`
    for a name with a NUL character, or what `socket`, `bind` or
    `setsockopt` reported; TypeError if `iface` is not a str.
    """
    def __new__(cls, iface: str) -> SocketCanTransport: ...

@final
class Damiao:
    """One motor: `Damiao(motor_id, master_id, limits=None, timeout_ms=20)`.

    - `motor_id`: the identifier the motor takes commands on ("CAN ID"),
      0..65535; MIT and special command frames go to the standard identifier
      `motor_id & 0x7FF`, POS_VEL, VEL and FORCE_POS frames to that plus
      0x100, 0x200 and 0x300.
    - `master_id`: the identifier it answers from ("Master ID"), 0..65535;
      the first feedback frame from standard identifier `master_id & 0x7FF`
      after the command is its answer.
    - `limits`: a `MitLimits` (its values are copied), or None for
      `MitLimits()`.
    - `timeout_ms`: how long each command waits for its reply after its
      frame was sent, in whole milliseconds, 0..2**64-1.

    An identifier outside 0..65535 or a negative or too large `timeout_ms`
    raises OverflowError. The limits and the time-out cannot be read back.
    The constructor touches no bus; every command takes the bus as its
    argument, and the driver keeps no motor state (any command, in any
    order).

    Feedback: a frame from the Master ID that is not a remote request, not
    an error frame and not this motor's register frame (bytes 0-1 its
    `motor_id & 0x7FF` little-endian, byte 2 0x33 read reply or 0x55 write
    echo; motors answer register requests from the same identifier). One
    feedback looks the same and is skipped too: at the very bottom of the
    position range (raw position 0x0033 or 0x0055), that of a motor whose
    byte 0 (status over id nibble) equals its CAN ID, such as a disabled
    motor (status 0) with a CAN ID below 0x10.

    Waiting: the wait starts when the frame has been sent; frames from other
    identifiers, and frames from the Master ID that are not feedback, are
    read and dropped. A frame already queued is not drained first, so a late
    reply to an earlier command that timed out answers the next command
    expecting the same master identifier. `timeout_ms=0` sends the frame and
    fails at once. The interpreter lock is held during the wait; a command
    whose bus another thread's MotorGroup cycle holds waits for the bus with
    the interpreter lock released. No reply in time raises RuntimeError `transport error: timeout
    waiting for frame` (the frame did go out); a socket failure RuntimeError
    `transport error: backend error: ` + the OS text (e.g. `Network is down
    (os error 100)`); a reply with fewer than 8 data bytes RuntimeError
    `feedback reply too short: N data bytes, expected 8`. An exception from a
    signal handler (KeyboardInterrupt on Ctrl-C) that interrupts the wait is
    what the command raises.

    repr: `Damiao(motor_id=0x1, master_id=0x11)`.
    """
    def __new__(
        cls,
        motor_id: SupportsIndex,
        master_id: SupportsIndex,
        limits: Optional[MitLimits] = None,
        timeout_ms: SupportsIndex = 20,
    ) -> Damiao: ...
    @property
    def motor_id(self) -> int:
        """The command identifier as given (all 16 bits)."""
    @property
    def master_id(self) -> int:
        """The reply identifier as given (all 16 bits)."""
    def enable(self, bus: SocketCanTransport) -> MotorState:
        """Enable the motor (frame FF FF FF FF FF FF FF FC) and return its
        feedback."""
    def disable(self, bus: SocketCanTransport) -> MotorState:
        """Disable the motor (frame FF FF FF FF FF FF FF FD) and return its
        feedback."""
    def set_zero(self, bus: SocketCanTransport) -> MotorState:
        """Make the current position the motor's zero (frame FF FF FF FF FF
        FF FF FE) and return its feedback."""
    def clear_error(self, bus: SocketCanTransport) -> MotorState:
        """Clear the motor's error (frame FF FF FF FF FF FF FF FB) and return
        its feedback."""
    def mit_control(self, bus: SocketCanTransport, setpoint: MitSetpoint) -> MotorState:
        """Send the MIT command encoded from `setpoint` (copied at the call)
        and this motor's limits, and return the feedback.

        The control mode is not checked: a motor not in MIT mode answers and
        ignores the command (see `ensure_mode`). A negative or NaN limit raises
        ValueError `min > max, or either was NaN. min = ..., max = ...` (the
        first in the order p_max, v_max, kp_max, kd_max, t_max) and sends
        nothing.
        """
    def pos_vel_control(self, bus: SocketCanTransport, setpoint: PosVelSetpoint) -> MotorState:
        """Send the POS_VEL command of `setpoint` (copied at the call) to
        identifier `(motor_id & 0x7FF) + 0x100` and return the feedback.

        Data: q and dq as little-endian 32-bit floats (8 bytes). A motor not in
        POS_VEL mode answers and ignores it. Nothing is sent on ValueError: a
        NaN or infinite field (`PosVelSetpoint.q must be finite, got NaN`), or
        an identifier of 0x7FF or past it (`the POS_VEL command identifier
        0x801 (0x100 + motor_id 0x701) is past the standard range 0x7ff`).
        """
    def vel_control(self, bus: SocketCanTransport, setpoint: VelSetpoint) -> MotorState:
        """Send the VEL command of `setpoint` (copied at the call) to
        identifier `(motor_id & 0x7FF) + 0x200` and return the feedback.

        Data: dq as a little-endian 32-bit float (4 bytes). A motor not in VEL
        mode answers and ignores it. Nothing is sent on ValueError: a NaN or
        infinite dq (`VelSetpoint.dq must be finite, got inf`), or an
        identifier of 0x7FF or past it.
        """
    def force_pos_control(self, bus: SocketCanTransport, setpoint: ForcePosSetpoint) -> MotorState:
        """Send the FORCE_POS command of `setpoint` (copied at the call) to
        identifier `(motor_id & 0x7FF) + 0x300` and return the feedback.

        Data: q as a little-endian 32-bit float, then dq x 100 and current x
        10000 as little-endian unsigned 16-bit integers (8 bytes; see
        `ForcePosSetpoint`). A motor not in FORCE_POS mode answers and
        ignores it. Nothing is sent on ValueError: a NaN or infinite field
        (`ForcePosSetpoint.current must be finite, got NaN`), or an
        identifier of 0x7FF or past it.
        """
    def refresh(self, bus: SocketCanTransport) -> MotorState:
        """Ask the motor for its feedback without commanding anything, in
        any control mode, and return it.

        Sends `lo hi CC 00 00 00 00 00` to identifier 0x7FF, where `lo hi` is
        `motor_id & 0x7FF` little-endian; the answer is the feedback from
        the Master ID, as for every command.
        """
    def read_mode(self, bus: SocketCanTransport) -> ControlMode:
        """Read the motor's control mode (register 10) as a `ControlMode`.

        A register read as `read_register`'s (queued frames discarded, this
        motor's reply only). A value outside 1..4 raises RuntimeError `motor
        0x1 reports control mode 257, which is none of MIT (1), POS_VEL (2),
        VEL (3) or FORCE_POS (4)`.
        """
    def ensure_mode(self, bus: SocketCanTransport, mode: SupportsIndex) -> None:
        """Put the firmware into control mode `mode` (a `ControlMode` or its
        number, 1..4), as `ensure_mit_mode` does for MIT:
        `ensure_mit_mode(bus)` is `ensure_mode(bus, ControlMode.MIT)`.

        Reads register 10; if it holds `mode`, returns at once. Otherwise
        refreshes first: a motor that reports itself enabled is refused with
        RuntimeError `motor 0x001 reports itself enabled: disable it before
        changing its control mode`, nothing written. Else writes `mode`,
        pauses 100 ms and reads it back; a read-back other than `mode` raises
        RuntimeError `control mode verification failed: wrote 2, motor
        reports N` (N the low 8 bits of the value read). No retry; a failure
        after the write leaves the write done. The pause holds neither the
        bus nor the interpreter lock: other threads and other commands on
        the bus run meanwhile, and signal handlers run in it (one that
        raises ends the call, the mode written but not read back). A number
        that is no mode raises ValueError `argument 'mode': 7 is not a
        control mode; the modes are MIT (1), POS_VEL (2), VEL (3) or
        FORCE_POS (4)` and sends nothing.
        """
    def ensure_mit_mode(self, bus: SocketCanTransport) -> None:
        """Force the firmware into MIT control mode (register 10 = 1). Some
        motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is
        silently ignored. A motor that reports itself enabled is refused.

        Reads register 10 (CTRL_MODE); if it is 1, returns at once. Otherwise
        refreshes (a motor reporting itself enabled raises RuntimeError
        `motor 0x001 reports itself enabled: disable it before changing its
        control mode`, nothing written), writes 1, pauses 100 ms and reads it
        back. Each read is as `read_register`'s: queued frames discarded
        first, this motor's reply only. A read-back other than 1 raises
        RuntimeError `control mode verification failed: wrote 1, motor
        reports N`. No retry; it takes at most three time-outs plus the
        pause. The bus and the interpreter lock are held as by any command
        for the reading, refresh and write, and again for the read-back, but
        not during the pause. A failure after the write leaves the write
        done.
        """
    def read_register(self, bus: SocketCanTransport, register: SupportsIndex) -> Union[int, float]:
        """Read one firmware register: an int (Uint32 registers) or a float
        (Float registers). `rotalink.Register` names them.

        A Float register's value is the 32-bit float widened exactly (a PMAX
        of 3.14 reads as 3.140000104904175). The frames already queued are
        discarded first (at most 1024), then the request goes to identifier
        0x7FF; the reply taken is the first 8-byte frame, from any
        identifier, that answers a read of this register number with this
        motor's `motor_id & 0x7FF` (little-endian) in bytes 0-1: register
        replies are matched per motor, another motor's is skipped. Raises RuntimeError `register 37 is not in the
        Damiao register table` (nothing sent) for a number past 36,
        OverflowError for a negative one, and RuntimeError `transport error:
        timeout waiting for frame` when no reply comes within timeout_ms.
        """
    def write_register(self, bus: SocketCanTransport, register: SupportsIndex, value: _Float) -> None:
        """Write one firmware register; no reply is awaited. `value` is an int
        for a Uint32 register and a finite float (or int) for a Float one.
        The value lives in the motor's RAM until save_parameters saves the
        registers to flash.

        A Float value is rounded to the nearest 32-bit float. The motor's
        echo of the write stays queued: later reads discard it and commands
        do not take it as feedback. The firmware may refuse a value without
        saying so: read it back to know. Nothing is sent on
        an error: RuntimeError `register 37 is not in the Damiao register
        table` or `register 14 is read-only`; TypeError for a float given to a
        Uint32 register or a value that is no number; OverflowError for an
        int outside 0..2**32-1 for a Uint32 register or a negative register;
        ValueError `register 21 (PMAX) takes a finite value` for NaN, an
        infinity or a float beyond the 32-bit range.
        """
    def save_parameters(self, bus: SocketCanTransport) -> None:
        """Save every register to the motor's flash, so that it keeps them over
        a power cycle (new identifiers and a new CAN bit rate take effect only
        then).

        A refresh first (as `refresh`); if the motor reports itself enabled,
        RuntimeError `motor 0x001 reports itself enabled: disable it before
        saving its registers to flash` and no save is sent. Then sends `lo hi
        AA 01 00 00 00 00` to identifier 0x7FF, `lo hi` being `motor_id &
        0x7FF` little-endian. The save is not answered: read back what was
        written (a power cycle shows what flash kept). Flash takes a limited
        number of writes (about 10,000): save settings once, not in a loop.
        """
    def read_limits(self, bus: SocketCanTransport) -> MitLimits:
        """Read the ranges this motor maps its MIT frames to (PMAX, VMAX and
        TMAX, registers 21 to 23) as a MitLimits, with the frame's fixed
        gain ranges kp_max 500 and kd_max 5.

        Three reads one after another, each as `read_register`'s (queued
        frames discarded, this motor's reply only) with its own time-out. Build the
        motor's `Damiao` with it: `Damiao(1, 0x11, motor.read_limits(bus))`.
        """

def mit_setpoint(
    q: _Float = 0.0,
    dq: _Float = 0.0,
    kp: _Float = 0.0,
    kd: _Float = 0.0,
    tau: _Float = 0.0,
) -> MitSetpoint:
    """Build a `MitSetpoint` (handy when keyword args are awkward).

    Same parameters, defaults and conversions as `MitSetpoint`.
    """

@final
class JointLimits:
    """The range a group keeps one joint's commands in:
    `JointLimits(q_min=-inf, q_max=inf, dq_max=inf, tau_max=inf)`.

    Given to `MotorGroup(..., joint_limits=...)`, one per member (None for
    none), it clamps every command of every mode the group sends that
    member: a position into [q_min, q_max], a velocity or velocity limit
    into [-dq_max, dq_max], an MIT feed-forward torque into [-tau_max,
    tau_max]. Each command clamped counts in `MotorGroup.clamped`.

    ValueError if q_min > q_max (`JointLimits.q_min 1 is above q_max 0`),
    if a maximum is negative or NaN (`JointLimits.dq_max must be 0 or more,
    got -1`), if q_min or q_max is NaN, or if q_min is inf or q_max -inf.

    repr: `JointLimits(q_min=-1.5, q_max=1.5, dq_max=inf, tau_max=inf)`,
    floats as for `MitLimits`.
    """
    def __new__(
        cls,
        q_min: _Float = ...,
        q_max: _Float = ...,
        dq_max: _Float = ...,
        tau_max: _Float = ...,
    ) -> JointLimits: ...
    @property
    def q_min(self) -> float:
        """The lowest position commanded (rad)."""
    @property
    def q_max(self) -> float:
        """The highest position commanded (rad)."""
    @property
    def dq_max(self) -> float:
        """The largest velocity, or velocity limit, commanded either way
        (rad/s)."""
    @property
    def tau_max(self) -> float:
        """The largest MIT feed-forward torque commanded either way (N·m)."""

# A member is a (bus, motor) pair; a 2-list is taken as well as a 2-tuple.
_Member = Union[Tuple[SocketCanTransport, Damiao], List[Union[SocketCanTransport, Damiao]]]

@final
class MotorGroup:
    """Several motors, on one bus or several, commanded together:
    `MotorGroup(members, timeout_ms=20, fd=False, watchdog_ms=None,
    joint_limits=None, disable_timeout_ms=500)`.

    Each command sends one frame to every member and collects every reply
    under one deadline, so a cycle takes about as long as the slowest reply,
    not one round trip per motor.

    - `members`: a non-empty iterable of (bus, motor) pairs, 2-tuples or
      2-lists of a `SocketCanTransport` and a `Damiao`; results come back in
      this order. The group keeps the buses and copies each `Damiao`
      (identifiers, limits and time-out; the cycles use the group's
      time-out, `ensure_mode` each motor's own).
    - `timeout_ms`: how long a cycle waits for the replies, counted from its
      last send, in whole milliseconds, 0..2**64-1.
    - `fd`: False sends classic 8-byte frames; True CAN FD frames with
      bit-rate switching carrying the same 8 bytes, for buses run `fd on`.
      Replies may be classic or FD either way.
    - `watchdog_ms`: None, or 1..214748364 milliseconds: when the group
      enables (`enable`, `with`), each member's register 9 (TIMEOUT, in
      50 us units) is written to watchdog_ms * 20 and read back; a motor
      that then hears no command for that long disables itself and reports
      status 13 (`Status.COMM_LOST`). The motor keeps the value.
    - `joint_limits`: None, or one `JointLimits` (or None) per member, in
      member order: every command of every mode is clamped into them. A
      velocity command (VEL) that would move a member last measured at or
      past q_min or q_max further out is sent with velocity 0 (and counts
      as clamped): the bound holds to within one period's travel.
    - `disable_timeout_ms`: 0..60000 milliseconds: how long a disable of
      the scope (or of the group's `ControlLoop`) keeps retrying a member
      that does not answer, so that a short outage of the interface is
      ridden out. Give it more than the longest outage to ride out.

    Stopped means confirmed: the group counts a member as stopped only when
    its feedback reports a status other than ENABLED (DISABLED, or a fault
    code: a faulted motor's output is off). A member that answers ENABLED
    is sent the disable three times in all; one that does not answer at
    least three times, and again for as long as disable_timeout_ms has not
    passed. One still not stopped is named: `1 of 2 members failed; member
    1 (motor_id=0x2) still reports ENABLED after 3 disables`.

    Older firmware in a mode other than MIT takes the special commands only
    on its mode's identifier ((motor_id & 0x7FF) + ControlMode.id_offset)
    and answers them on its command identifier with its status as it is.
    The group knows each member's mode from `ensure_mode` and from the kind
    of the last command it made for it (MIT until then). From the second
    round of a confirmed stop on, a member known in another mode that is
    not stopped yet is first sent the disable on its mode's identifier, in
    a cycle of its own (both count as disables); the scope's enable sends a
    member known in another mode that did not confirm it (no answer, or
    neither ENABLED nor a fault) the enable there in one more cycle. Never
    to a mode's identifier first, nor to one another member on the bus
    uses.

    Scope: `with MotorGroup(...) as group:` enables every member in one cycle
    (after writing the watchdog) and gives the group; if any member fails,
    or answers the enable with another status than ENABLED (`member 0
    (motor_id=0x1): answered the enable with OVERLOAD`, or `with
    DISABLED`), every member is disabled and GroupError raised. Leaving the block disables every member with the
    confirmed stop above, with signals held back until the disable is done.
    If it still fails, GroupError is raised when no exception is leaving the
    block; otherwise that exception (KeyboardInterrupt included) stays the
    one raised, with the disable failure attached (`disabling the group on
    leaving its block failed: ...`, a note on Python 3.11 and later, a
    warning of the `rotalink` logger before). `disable()` sends one disable
    cycle and returns the feedback: a caller checks each state's `error`
    for a motor that still reports ENABLED.

    While a `ControlLoop` of the group runs (`start`), the group's own
    commands (`enable`, `disable`, `set_zero`, `clear_error`, `mit_control`,
    `control`, `refresh`, `hold`, `ensure_mode`, `__enter__`, `start`) raise
    RuntimeError `control loop running`; single `Damiao` commands on the
    same buses still work, between the loop's cycles. Leaving the block
    stops a running loop first, then disables every member.

    The constructor touches no bus. On one bus every member's command
    identifier (motor_id & 0x7FF) and reply identifier (master_id & 0x7FF)
    must all be distinct, a motor's own two included, else ValueError (e.g.
    `members 0 and 1 share reply identifier 0x011 on one bus`); members on
    different buses may reuse identifiers. Neither identifier may be the
    register identifier 0x7FF, which motors read as register requests
    (ValueError `the command identifier 0x7ff of member 1 is the register
    identifier`). No members: ValueError `a MotorGroup needs at least one
    member`.

    One cycle locks every bus of the group (in one fixed order, so groups
    and single commands can share buses), discards the frames already
    queued (a late reply arriving after that can still be taken: feedback
    has no sequence number), sends every member's frame, waits on all
    buses at once for each member's feedback (the rule of a single command:
    a remote request, an error frame or the member's register reply or
    write echo from its reply identifier is dropped), and releases the
    locks.
    The interpreter lock is released for the whole cycle. The send never
    blocks: a full transmit queue or a full socket send buffer is retried
    as it drains, for up to timeout_ms. Any member failing raises
    `GroupError` once the cycle is over. A signal during the wait releases
    the locks and runs its handler: one that raises (KeyboardInterrupt for
    Ctrl-C) ends the call with its exception; one that returns lets the
    wait go on until the same deadline.

    repr: `MotorGroup(members=3, buses=2, timeout_ms=20, fd=False)`.
    """
    def __new__(
        cls,
        members: Iterable[_Member],
        timeout_ms: SupportsIndex = 20,
        fd: bool = False,
        watchdog_ms: Optional[SupportsIndex] = None,
        joint_limits: Optional[Iterable[Optional[JointLimits]]] = None,
        disable_timeout_ms: SupportsIndex = 500,
    ) -> MotorGroup: ...
    def __len__(self) -> int: ...
    def __enter__(self) -> MotorGroup:
        """Enable every member (the watchdog written first; members known in
        another mode than MIT that did not confirm, again on their mode's
        identifier); the group. A member that does not answer ENABLED fails
        it, every member disabled again."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> bool:
        """Stop a running `ControlLoop` of the group, then disable every
        member until its feedback confirms it, falling back to the mode's
        identifier of members known in another mode (see the class)."""
    @property
    def members(self) -> Tuple[Tuple[SocketCanTransport, Damiao], ...]:
        """The (bus, motor) pairs as given, each a 2-tuple."""
    @property
    def timeout_ms(self) -> int:
        """The time-out of a cycle as given, in milliseconds."""
    @property
    def fd(self) -> bool:
        """Whether commands go out as CAN FD frames."""
    @property
    def watchdog_ms(self) -> Optional[int]:
        """The motors' watchdog as given, in milliseconds, or None."""
    @property
    def joint_limits(self) -> Tuple[Optional[JointLimits], ...]:
        """One `JointLimits` or None per member, in member order."""
    @property
    def clamped(self) -> Tuple[int, ...]:
        """Per member, in member order: how many of its commands were
        clamped into its `JointLimits` so far."""
    def enable(self) -> List[MotorState]:
        """Enable every member (FF FF FF FF FF FF FF FC), after writing the
        watchdog when the group has one; their feedback in member order.
        Raises GroupError if any member failed."""
    def disable(self) -> List[MotorState]:
        """Disable every member (FF FF FF FF FF FF FF FD) in one cycle to
        their command identifiers (no confirmed stop, no fallback to a
        mode's identifier); their feedback in member order. Raises
        GroupError if any member failed (worth repeating)."""
    def set_zero(self) -> List[MotorState]:
        """Make every member's current position its zero (FF FF FF FF FF FF
        FF FE); their feedback in member order. Raises GroupError if any
        member failed."""
    def clear_error(self) -> List[MotorState]:
        """Clear every member's error (FF FF FF FF FF FF FF FB); their
        feedback in member order. Raises GroupError if any member failed."""
    def mit_control(self, setpoints: Sequence[MitSetpoint]) -> List[MotorState]:
        """Send each member the MIT command of its setpoint (one per member,
        in member order) and its limits; the feedback in member order.

        Every setpoint is encoded before anything is sent: a wrong count
        (ValueError `expected 3 setpoints, one per member, got 2`), an item
        that is not a `MitSetpoint` (TypeError) or a limit the encoder cannot
        use (ValueError, as `Damiao.mit_control`) sends nothing. Raises
        GroupError if any member failed.
        """
    def control(self, setpoints: Sequence[_Setpoint]) -> List[MotorState]:
        """Send each member the command of its setpoint, one per member in
        member order and of any of the four kinds (`MitSetpoint`,
        `PosVelSetpoint`, `VelSetpoint`, `ForcePosSetpoint`), each encoded and
        addressed as the `Damiao` command of that kind; the feedback in
        member order. One cycle, as `mit_control`.

        Every setpoint is encoded before anything is sent: a wrong count, an
        item of no setpoint class (TypeError `argument 'setpoints[1]': 'int'
        object is not a setpoint (MitSetpoint, PosVelSetpoint, VelSetpoint or
        ForcePosSetpoint)`), a value or limit its encoder refuses, or a frame
        identifier of 0x7FF or past it, equal to the reply identifier of a
        member on the same bus or to an identifier another member on that
        bus takes commands on (ValueError, prefixed with the member: `member
        0 (motor_id=0x1): the VEL command identifier 0x201 of member 0 is the
        reply identifier of member 1 on the same bus`) sends nothing. Raises
        GroupError if any member failed.
        """
    def hold(self, kp: _Float, kd: _Float) -> List[MotorState]:
        """Send each member an MIT command to stay where it is: q its last
        measured position (a refresh cycle first for a member the group has
        not heard from yet), dq 0, tau 0, gains kp and kd; the feedback in
        member order. Raises GroupError if any member failed."""
    def refresh(self) -> List[MotorState]:
        """Ask every member for its feedback without commanding anything
        (`lo hi CC 00 00 00 00 00` to 0x7FF, as `Damiao.refresh`), in one
        cycle; the feedback in member order. Raises GroupError if any member
        failed."""
    def ensure_mode(self, modes: Union[SupportsIndex, Sequence[SupportsIndex]]) -> None:
        """Put every member into a control mode: one `ControlMode` (or its
        number) for all, or a sequence of one per member in member order.
        Each member as `Damiao.ensure_mode`: register 10 written only where
        it differs, then read back, a member that reports itself enabled
        refused; member after member, every member tried, the bus let go
        during each pause. Raises GroupError if any member failed (its
        `states` all None, its `errors` the failed members' messages)."""
    def start(
        self,
        rate_hz: _Float,
        hold_ms: SupportsIndex = 100,
        priority: Optional[SupportsIndex] = None,
        cpu: Optional[SupportsIndex] = None,
        stop_on_fault: bool = True,
        blend_ms: SupportsIndex = 0,
        record: Union[str, "os.PathLike[str]", BinaryIO, None] = None,
    ) -> ControlLoop:
        """Run the group's cycle in a native thread every 1/rate_hz seconds
        and return its `ControlLoop`; call it inside `with group:`.

        The thread sends the latest setpoints of `ControlLoop.set` every
        period, on absolute deadlines of the monotonic clock, and never takes
        the interpreter lock; until the first `set` every cycle is a
        refresh. Watchdog: with no `set` for hold_ms (counted from the
        start), or a member that did not answer for hold_ms, the loop
        disables every member (a confirmed stop, as the group's scope does)
        and stops, its `error` saying why. With `stop_on_fault` (the
        default) a member that reports a fault status (8..14) stops the loop
        the same way (`member 1 (motor_id=0x2) reports OVERLOAD; every member
        was disabled`); without, faults are counted in `LoopStats.faults`.
        `priority` 1..99 runs the thread SCHED_FIFO at that priority, `cpu`
        pins it to that CPU. `blend_ms` (0 to 60000; 0, the default, for
        none): the first setpoints after the start, and the first after a
        move, are blended in from where each member is measured over that
        long, the first command being the measured position itself.

        `record` (a path, or a binary file open for writing) writes every
        cycle, from the first to the loop's end, to MCAP with ROS 2
        schemas: /joint_states, /joint_commands, /motor_status and
        /loop_timing (docs/API.md, "Recording"); a path that is a
        directory (existing and empty, or ending in "/") gets a rosbag2
        bag. It needs the `record` extra (`pip install 'rotalink[record]'`):
        ImportError naming it otherwise. The path is opened first: OSError,
        with nothing started, when it cannot be written. The loop's thread
        only copies each cycle into a buffer of two seconds of cycles; a
        writer thread writes them. A cycle that finds the buffer full is
        left out of the record and counted (`LoopStats.record_dropped`); a
        write that fails ends the record (`LoopStats.record_error`), not
        the loop. `stop` waits for the writer to finish the file.

        Started outside the group's scope with no watchdog_ms, it logs a
        warning of the `rotalink` logger: should the process crash or be
        killed, nothing would stop the motors. RuntimeError `a command of
        the group is under way in another thread` while another thread's
        group command waits mid-cycle.

        ValueError: `rate_hz must be above 0 and at most 100000, got 0`,
        `hold_ms must be at least 1`, `priority must be None or from 1 to
        99, got 0`, `cpu must be None or from 0 to 1023, got -1`, `cpu 7 is
        not one this process may run on`, `blend_ms must be from 0 to
        60000, got 60001`. PermissionError: `running the
        control loop at SCHED_FIFO priority 50 needs the CAP_SYS_NICE
        capability or a real-time priority limit of at least 50 (ulimit -r
        50)`. RuntimeError `control loop running` while a loop of the group
        runs.
        """

class GroupError(RuntimeError):
    """Raised by a `MotorGroup` command when one or more members failed,
    once the whole cycle is over.

    str: `2 of 8 members failed; member 3 (motor_id=0x4): transport error:
    timeout waiting for frame` (the first failed member is named), then `;
    member 1 (motor_id=0x2) reports OVERLOAD` for every member that
    answered with a fault status. A member whose feedback carries another
    motor id nibble than its own fails with `the feedback from reply
    identifier 0x011 carries motor id 0x2, not this member's 0x1 (motor_id
    0x1 & 0xf): another motor answers from this master identifier`. The
    members that answered took the command, and one that timed out may have
    taken it too. Unlike the other classes it can be subclassed; `states`
    and `errors` are set on every instance the module raises.
    """
    states: List[Optional[MotorState]]
    """In member order: the feedback of every member that answered, None for
    the others."""
    errors: List[Optional[str]]
    """In member order: the message each failed member's own command would
    have raised (e.g. `transport error: timeout waiting for frame`), None for
    the members that answered."""

# Made only by MotorGroup.start: calling ControlLoop() raises TypeError
# "No constructor defined for ControlLoop" (a stub cannot forbid the call).
@final
class ControlLoop:
    """A group's cycle run by a native thread at a fixed rate, made by
    `MotorGroup.start`: the latest setpoints go out every period whatever
    the Python side is doing.

    A cycle that ends past the next deadline counts an overrun and the next
    one starts at once (lost periods are not caught up). `with
    group.start(...) as loop:` stops the loop when the block ends, as
    `stop` does. A loop is never left driving its members: one that stops
    by itself (watchdog, fault), is stopped outside the group's scope, is
    collected while running, or is still running at interpreter exit
    disables every member with a confirmed stop (falling back to the
    mode's identifier of members whose setpoints are of another mode than
    MIT, as the group's scope does; failures of the last two
    are logged as warnings of the `rotalink` logger). In a child process of
    `fork()` every loop is stopped (`error`: `the process forked: the
    control loop's thread runs in the parent only`). The loop keeps its
    group (and its buses) alive.

    After the loop stopped by itself (its watchdog), `set` and `wait`
    raise RuntimeError with its `error`; after `stop`, RuntimeError `the
    control loop is stopped`.

    It has no constructor: `ControlLoop()` raises TypeError `No constructor
    defined for ControlLoop`.

    repr: `ControlLoop(rate_hz=500, members=4, running=True)`.
    """
    def __enter__(self) -> ControlLoop:
        """The loop."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]:
        """Stop the loop, as `stop` does; an exception leaving the block
        stays the one raised, a failed disable attached to it."""
    @property
    def running(self) -> bool:
        """Whether the loop's thread runs."""
    @property
    def recorded(self) -> int:
        """The cycles written to the record so far (0 without one)."""
    @property
    def error(self) -> Optional[str]:
        """None, or why the loop stopped by itself: `no setpoint for 100 ms;
        every member was disabled`, `member 1 (motor_id=0x2) did not answer
        for 100 ms (last: <its last error>); every member was disabled`,
        `member 1 (motor_id=0x2) reports OVERLOAD; every member was
        disabled` (or `...; disabling failed for member 1 (motor_id=0x2):
        <message>`, `...; disabling failed for member 1 (motor_id=0x2)
        still reports ENABLED after 3 disables`); or `the control loop was
        stopped; disabling failed for ...` after a `stop` whose disable
        failed."""
    def set(self, setpoints: Sequence[_Setpoint]) -> None:
        """The setpoints of the next cycles, one per member in member order,
        any mix of the four kinds: checked, clamped into the group's
        `JointLimits` and encoded now, so that a refused one raises here as
        in `MotorGroup.control` (naming the member); the latest wins. It
        cancels a move under way."""
    def move_to(
        self,
        targets: Sequence[_Float],
        duration: Optional[_Float] = None,
        velocity_limit: _PerMember = None,
        accel_limit: _PerMember = None,
        kp: _PerMember = None,
        kd: _PerMember = None,
    ) -> Move:
        """Move every member from where it is to its target (one per member,
        in motor units), planned and run by the loop's thread: a
        trapezoidal profile per member within its velocity and acceleration
        limits, every member arriving at the same cycle (the slowest sets
        the time; a longer `duration`, in seconds, stretches them all). Each
        limit and gain is None, one number for every member or one per
        member; absent: velocity the member's `JointLimits.dq_max` (none
        without joint limits; one above it is lowered to it), acceleration 10 per second squared, kp and
        kd the latest MIT setpoint's (an MIT move needs kp above 0). Each
        member is driven in the kind of its latest command. Checked now,
        nothing moved on a refusal: ValueError naming the member (`member 1
        (motor_id=0x2): velocity_limit must be above 0, got 0`, `member 0
        (motor_id=0x1): target 2 is outside the joint limits [-1.5, 1.5]`),
        or the argument (`duration must be finite and not negative, got
        -1`, `kp[1] must be a number, got nan`). RuntimeError once the loop
        has stopped. A later `set` or `move_to` cancels it."""
    def wait(self, timeout_ms: Optional[SupportsIndex] = None) -> List[Optional[MotorState]]:
        """Wait, with the interpreter lock released, for the next cycle to
        complete; its feedback in member order, None for a member that did
        not answer in it.

        TimeoutError `no cycle of the control loop completed within 50 ms`
        after timeout_ms (None waits as long as it takes). Signal handlers
        run within 20 ms while it waits (Ctrl-C's KeyboardInterrupt ends
        it)."""
    def states(self) -> List[Optional[MotorState]]:
        """The latest feedback of each member, None before its first answer;
        never blocks."""
    def stats(self) -> LoopStats:
        """The loop's timing so far."""
    def stop(self) -> None:
        """End the loop's thread after the cycle under way. Inside the
        group's scope the members stay enabled, for the scope's exit to
        disable; outside it the loop disables every member with a confirmed
        stop, and RuntimeError (`disabling failed for member 1
        (motor_id=0x2) still reports ENABLED after 3 disables`) names those
        that did not stop. Stopping a stopped loop does nothing."""

# Made only by ControlLoop.stats: calling LoopStats() raises TypeError
# "No constructor defined for LoopStats".
@final
class LoopStats:
    """The timing of a `ControlLoop` so far, from `ControlLoop.stats`.

    The quantiles come from a histogram with buckets 1/64 of a power of two
    wide (within about 1.6 % of the value); each max is exact.

    It has no constructor: `LoopStats()` raises TypeError `No constructor
    defined for LoopStats`.

    repr: `LoopStats(cycles=106, overruns=0, rate_hz=200.0,
    period_us=(5000.1, 5100.2, 5200.3), latency_us=(600.0, 900.0, 1000.0),
    missed=(0, 0), faults=(0, 0))`.
    """
    @property
    def cycles(self) -> int:
        """The cycles run."""
    @property
    def overruns(self) -> int:
        """The cycles that ended past the next one's deadline."""
    @property
    def missed(self) -> Tuple[int, ...]:
        """Per member, in member order: the cycles it did not answer."""
    @property
    def faults(self) -> Tuple[int, ...]:
        """Per member, in member order: the cycles it answered with a fault
        status (only a loop started with stop_on_fault=False runs on after
        one)."""
    @property
    def rate_hz(self) -> float:
        """(cycles - 1) / the time between the first and the last cycle's
        start."""
    @property
    def period_us(self) -> Tuple[float, float, float]:
        """(p50, p99, max) of the time between the starts of two cycles, in
        microseconds."""
    @property
    def latency_us(self) -> Tuple[float, float, float]:
        """(p50, p99, max) of the time from a cycle's planned start to its
        last reply (or its time-out), in microseconds."""
    @property
    def recorded(self) -> int:
        """The cycles written to the record (`MotorGroup.start`'s
        `record`); 0 without one."""
    @property
    def record_dropped(self) -> int:
        """The cycles left out of the record: the writer had fallen two
        seconds behind."""
    @property
    def record_error(self) -> Optional[str]:
        """None, or why the record ended before the loop (`OSError: [Errno
        28] No space left on device`)."""

# Made only by ControlLoop.move_to and RobotLoop.move_to: calling Move()
# raises TypeError "No constructor defined for Move".
@final
class Move:
    """One move of a `ControlLoop`, from `ControlLoop.move_to` or
    `RobotLoop.move_to`. It keeps its loop alive.

    It has no constructor: `Move()` raises TypeError `No constructor
    defined for Move`.

    repr: `Move(done=False, cancelled=False)`.
    """
    @property
    def done(self) -> bool:
        """Whether the move has arrived: the loop holds its targets."""
    @property
    def cancelled(self) -> bool:
        """Whether a later `set` or `move_to` cancelled the move, or the loop
        stopped before it arrived."""
    def wait(self, timeout_ms: Optional[SupportsIndex] = None) -> bool:
        """Wait, with the interpreter lock released, until the move arrives:
        True; False once a later `set` or `move_to` cancelled it.
        RuntimeError (the loop's `error`, or `the control loop is stopped`)
        when the loop stopped before the move arrived; TimeoutError `the
        move did not arrive within 50 ms` after timeout_ms (None waits as
        long as it takes). Signal handlers run within 20 ms while it
        waits."""

@final
class Joint:
    """One joint of a `Robot`: the motor `motor_id` on `bus` (answering
    from `master_id`, with the `MitLimits` `limits`, as `Damiao` takes
    them), mounted with `direction` (1, or -1 when the motor turns against
    the joint), `offset` (the motor position, rad, at joint position 0) and
    `gear` (motor turns per joint turn), commanded in `mode`, bounded by
    `joint_limits` (a `JointLimits` in joint units), with `kp` and `kd` the
    gains, in joint units, of an MIT command that gives none.

    The types are checked here, the values when a `Robot` is made (a fault
    names the joint: `joint 'elbow' (index 2): gear must be finite and
    non-zero, got 0`).

    repr: `Joint('elbow', motor_id=0x3, master_id=0x13, direction=1,
    offset=-0.2, gear=1)`.
    """
    def __new__(
        cls,
        name: str,
        bus: SocketCanTransport,
        motor_id: SupportsIndex,
        master_id: SupportsIndex,
        limits: Optional[MitLimits] = None,
        direction: SupportsIndex = 1,
        offset: _Float = 0.0,
        gear: _Float = 1.0,
        joint_limits: Optional[JointLimits] = None,
        mode: SupportsIndex = ControlMode.MIT,
        kp: _Float = 0.0,
        kd: _Float = 0.0,
    ) -> Joint: ...
    @property
    def name(self) -> str:
        """The joint's name."""
    @property
    def bus(self) -> SocketCanTransport:
        """The bus its motor is on."""
    @property
    def motor(self) -> Damiao:
        """Its motor: motor_id, master_id and limits."""
    @property
    def direction(self) -> int:
        """1, or -1 when the motor turns against the joint."""
    @property
    def offset(self) -> float:
        """The motor position (rad) at joint position 0."""
    @property
    def gear(self) -> float:
        """Motor turns per joint turn."""
    @property
    def joint_limits(self) -> Optional[JointLimits]:
        """Its limits in joint units, or None."""
    @property
    def mode(self) -> ControlMode:
        """The mode it is commanded in."""
    @property
    def kp(self) -> float:
        """The kp of an MIT command that gives none, joint units."""
    @property
    def kd(self) -> float:
        """The kd of an MIT command that gives none, joint units."""

@final
class Robot:
    """Joints, named and in a fixed order, commanded and read as vectors in
    joint units; a `MotorGroup` of their motors (member i drives joint i)
    underneath, with its scope, watchdog and loop.

    Per joint, with d its direction, g its gear and o its offset:
    motor position = o + d*g*q, motor velocity = d*g*dq (a speed limit:
    g*|dq|), motor torque = d*tau/g, motor kp = kp/g**2, motor kd =
    kd/g**2; the feedback is converted back. Joint limits clamp in joint
    units, before the conversion.

    `timeout_ms`, `fd`, `watchdog_ms` and `disable_timeout_ms` are the
    group's (`MotorGroup`). A fault of a joint raises ValueError naming it;
    a clash of identifiers is the group's ValueError.

    repr: `Robot(names=('base', 'elbow'), timeout_ms=20)`.
    """
    def __new__(
        cls,
        joints: Iterable[Joint],
        timeout_ms: SupportsIndex = 20,
        fd: bool = False,
        watchdog_ms: Optional[SupportsIndex] = None,
        disable_timeout_ms: SupportsIndex = 500,
    ) -> Robot: ...
    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"]) -> Robot:
        """The robot of a description file (`rotalink_scan.description`):
        the whole file checked first (DescriptionError naming the file, line
        and joint), then each interface it names opened once."""
    def __len__(self) -> int: ...
    def __enter__(self) -> Robot:
        """Put every joint's motor in the joint's control mode (as
        `MotorGroup.ensure_mode`: register 10 written only where it
        differs), then enter the group's scope: enable every joint's motor
        (the watchdog written first), as `MotorGroup.__enter__` does."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]:
        """Leave the group's scope: disable every joint's motor, as
        `MotorGroup.__exit__` does."""
    @property
    def names(self) -> Tuple[str, ...]:
        """The joints' names, in order."""
    @property
    def joints(self) -> Tuple[Joint, ...]:
        """The joints, in order."""
    @property
    def group(self) -> MotorGroup:
        """The group of the joints' motors, member i driving joint i; its
        joint limits are the joints', in motor units."""
    def state(self) -> JointStates:
        """One refresh cycle, commanding nothing: the joints' states.
        GroupError when members fail; RuntimeError `control loop running`
        while the robot's loop runs."""
    def command(self, q: _Joints = None, dq: _Joints = None, kp: _Joints = None, kd: _Joints = None,
                tau: _Joints = None, current: _Joints = None) -> JointStates:
        """One cycle, each joint commanded in its mode, in joint units; the
        joints' states. Each field is one number for every joint or one
        value per joint; an absent one is kp, kd: the joint's defaults; tau:
        0; dq: 0 (MIT, VEL) or the joint's dq_max (POS_VEL, FORCE_POS); q:
        0 for an MIT joint whose kp is 0. Everything is checked, clamped and
        converted before anything is sent: ValueError naming the joint
        (`joint 'elbow' (index 2): q must be finite, got nan`), or the
        field (`kp: expected 1 value or 6, one per joint, got 2`)."""
    def start(self, rate_hz: _Float, hold_ms: SupportsIndex = 100, priority: Optional[SupportsIndex] = None,
              cpu: Optional[SupportsIndex] = None, stop_on_fault: bool = True,
              blend_ms: SupportsIndex = 200,
              record: Union[str, "os.PathLike[str]", BinaryIO, None] = None) -> RobotLoop:
        """Run the robot's cycle in a native thread, as `MotorGroup.start`
        does; its `RobotLoop`. Its first setpoints, after the start and
        after a move, are blended in over `blend_ms` (200 unless told; 0
        for none). `record` records every cycle as `MotorGroup.start`
        does, in joint units under the joints' names."""

# Made only by Robot.start.
@final
class RobotLoop:
    """A robot's `ControlLoop` (its `loop`), commanded and read in joint
    units. `with robot.start(500) as loop:` stops it when the block ends.

    repr: `RobotLoop(joints=6, loop=ControlLoop(rate_hz=500, members=6,
    running=True))`.
    """
    def __enter__(self) -> RobotLoop:
        """The loop."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]:
        """Stop the loop, as `ControlLoop.__exit__` does."""
    @property
    def loop(self) -> ControlLoop:
        """The group's loop underneath."""
    @property
    def running(self) -> bool:
        """Whether the loop's thread runs."""
    @property
    def error(self) -> Optional[str]:
        """None, or why the loop stopped by itself (`ControlLoop.error`)."""
    @property
    def recorded(self) -> int:
        """The cycles written to the record so far (`ControlLoop.recorded`)."""
    def set(self, q: _Joints = None, dq: _Joints = None, kp: _Joints = None, kd: _Joints = None,
            tau: _Joints = None, current: _Joints = None) -> None:
        """The command of the next cycles, as `Robot.command` takes it:
        checked, clamped and converted now (a refusal raises ValueError
        here); the latest wins. RuntimeError once the loop has stopped. It
        cancels a move under way."""
    def move_to(self, q: _Joints, duration: Optional[_Float] = None, velocity_limit: _Joints = None,
                accel_limit: _Joints = None, kp: _Joints = None, kd: _Joints = None) -> Move:
        """Move every joint from where it is to `q`, in joint units, as
        `ControlLoop.move_to` does; each vector read as `set` reads its
        fields. Absent: velocity the joint's `dq_max` (none when infinite),
        acceleration 10 rad/s**2, kp and kd the latest set's, else the
        joint's. A refusal is a ValueError naming the joint (`joint 'elbow'
        (index 2): q 3 is outside its limits [-1.5, 1.5]`) or the field;
        nothing moves. Its `Move`."""
    def state(self) -> JointStates:
        """The joints' latest states, without waiting; a joint not heard
        from yet: NaN and -1."""
    def wait(self, timeout_ms: Optional[SupportsIndex] = None) -> JointStates:
        """Wait for the next cycle to complete, as `ControlLoop.wait` does;
        the joints' states of that cycle."""
    def stats(self) -> LoopStats:
        """The loop's timing so far."""
    def stop(self) -> None:
        """Stop the loop, as `ControlLoop.stop` does."""

# Made only by Robot and RobotLoop.
@final
class JointStates:
    """The joints' states in joint units, in joint order: fresh numpy
    arrays. A joint whose motor did not answer has NaN for q, dq and tau
    and -1 for status, t_mos and t_rotor.

    repr: `JointStates(names=('a', 'b'), q=[0.1, nan], dq=[0.0, nan],
    tau=[0.5, nan], status=[1, -1], t_mos=[30, -1], t_rotor=[32, -1])`.
    """
    def __len__(self) -> int: ...
    @property
    def names(self) -> Tuple[str, ...]:
        """The joints' names."""
    @property
    def q(self) -> NDArray[np.float64]:
        """Positions, rad."""
    @property
    def dq(self) -> NDArray[np.float64]:
        """Velocities, rad/s."""
    @property
    def tau(self) -> NDArray[np.float64]:
        """Torques, N*m."""
    @property
    def status(self) -> NDArray[np.int32]:
        """Each motor's status code (`Status`)."""
    @property
    def t_mos(self) -> NDArray[np.int32]:
        """Driver temperatures, degrees Celsius."""
    @property
    def t_rotor(self) -> NDArray[np.int32]:
        """Rotor temperatures, degrees Celsius."""


class Register(IntEnum):
    """The firmware's registers, by the maker's names. `is_float` tells a
    register holding a 32-bit float from one holding an unsigned 32-bit
    integer; `writable` whether it may be written.

    A member's value is its number: `Register.PMAX == 21`, `Register(14) is
    Register.sw_ver`. Use them with `Damiao.read_register` and
    `Damiao.write_register`. A new MST_ID or ESC_ID typically takes effect
    only once the firmware has saved it and the motor has been powered up
    again.
    """
    UV_Value = 0
    """Float, writable."""
    KT_Value = 1
    """Float, writable."""
    OT_Value = 2
    """Float, writable."""
    OC_Value = 3
    """Float, writable."""
    ACC = 4
    """Float, writable."""
    DEC = 5
    """Float, writable."""
    MAX_SPD = 6
    """Float, writable."""
    MST_ID = 7
    """Uint32, writable: the master identifier the motor answers from."""
    ESC_ID = 8
    """Uint32, writable: the identifier the motor takes commands on."""
    TIMEOUT = 9
    """Uint32, writable."""
    CTRL_MODE = 10
    """Uint32, writable: the control mode, 1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS."""
    Damp = 11
    """Float, read-only."""
    Inertia = 12
    """Float, read-only."""
    hw_ver = 13
    """Uint32, read-only."""
    sw_ver = 14
    """Uint32, read-only: the firmware version."""
    SN = 15
    """Uint32, read-only."""
    NPP = 16
    """Uint32, read-only."""
    Rs = 17
    """Float, read-only."""
    LS = 18
    """Float, read-only."""
    Flux = 19
    """Float, read-only."""
    Gr = 20
    """Float, read-only."""
    PMAX = 21
    """Float, writable: the position range of the MIT frame (p_max)."""
    VMAX = 22
    """Float, writable: the velocity range of the MIT frame (v_max)."""
    TMAX = 23
    """Float, writable: the torque range of the MIT frame (t_max)."""
    I_BW = 24
    """Float, writable."""
    KP_ASR = 25
    """Float, writable."""
    KI_ASR = 26
    """Float, writable."""
    KP_APR = 27
    """Float, writable."""
    KI_APR = 28
    """Float, writable."""
    OV_Value = 29
    """Float, writable."""
    GREF = 30
    """Float, writable."""
    Deta = 31
    """Float, writable."""
    V_BW = 32
    """Float, writable."""
    IQ_c1 = 33
    """Float, writable."""
    VL_c1 = 34
    """Float, writable."""
    can_br = 35
    """Uint32, writable."""
    sub_ver = 36
    """Uint32, read-only."""
    @property
    def is_float(self) -> bool:
        """Whether the register holds a 32-bit float (else an unsigned 32-bit
        integer)."""
    @property
    def writable(self) -> bool:
        """Whether the register may be written."""

class ControlMode(IntEnum):
    """The firmware's control modes, the values of register 10
    (`Register.CTRL_MODE`): `ControlMode.POS_VEL == 2`, `ControlMode(3) is
    ControlMode.VEL`. `Damiao.read_mode` returns one, `ensure_mode` takes
    one. A motor obeys only the command of its mode and answers, but
    ignores, the others.
    """
    MIT = 1
    """Impedance control: position, velocity, gains and feed-forward torque
    in one frame (`MitSetpoint`)."""
    POS_VEL = 2
    """A position, reached at no more than a velocity (`PosVelSetpoint`)."""
    VEL = 3
    """A velocity (`VelSetpoint`)."""
    FORCE_POS = 4
    """A position, reached at no more than a velocity and a current
    (`ForcePosSetpoint`)."""
    @property
    def id_offset(self) -> int:
        """The offset of the mode's command identifier: its commands go to
        (motor_id & 0x7FF) + id_offset. MIT 0x000, POS_VEL 0x100, VEL
        0x200, FORCE_POS 0x300."""

class Status(IntEnum):
    """The firmware's status codes, the high nibble of feedback byte 0 that
    `MotorState.error` passes through as a plain int: `Status(14) is
    Status.OVERLOAD`, `Status.ENABLED == 1`. A code outside the table stays
    an int (`Status(5)` raises ValueError). Each member has a `description`.
    """
    DISABLED = 0
    """The motor is disabled."""
    ENABLED = 1
    """The motor is enabled."""
    OVERVOLTAGE = 8
    """A fault: over-voltage."""
    UNDERVOLTAGE = 9
    """A fault: under-voltage."""
    OVERCURRENT = 10
    """A fault: over-current."""
    MOS_OVERTEMP = 11
    """A fault: the driver stage (MOS) is over temperature."""
    COIL_OVERTEMP = 12
    """A fault: the coil is over temperature."""
    COMM_LOST = 13
    """A fault: no command within the watchdog time (register 9)."""
    OVERLOAD = 14
    """A fault: overload."""
    @property
    def description(self) -> str:
        """What the status means, in words."""

def register_reply(record: Union[bytes, bytearray, memoryview]) -> Optional[Tuple[int, int, bytes]]:
    """The register read reply in `record`, one record as a raw CAN socket
    delivers it: a `struct can_frame` (16 bytes) or `struct canfd_frame`
    (72 bytes).

    Returns `(motor_id, register, value)` for a data frame of exactly 8 data
    bytes, classic or FD, from any identifier but standard 0x7FF (there the
    same bytes are a read request), with 0x33 in byte 2: `motor_id` bytes 0-1
    (little-endian), `register` byte 3, `value` the 4 value bytes. Any other
    frame, a write's echo (0x55) included, gives None. The module's own rule,
    the one `Damiao.read_register` applies.

    Raises ValueError for a record of another size and TypeError for an
    object that is not bytes-like.
    """

RECORD_TOPICS: Tuple[Tuple[str, str, str], ...]
"""What a recorded cycle writes (`MotorGroup.start`'s `record`): (topic,
ROS 2 message type, its ros2msg definition with the types it uses
appended) of each of its four messages, in order: /joint_states and
/joint_commands (sensor_msgs/msg/JointState), /motor_status
(rotalink_msgs/msg/MotorStatus), /loop_timing
(rotalink_msgs/msg/LoopTiming)."""

# The wire table: what the module sends and takes, for code that reads and
# writes its own raw CAN socket (the bus scanner, the emergency stop).

REGISTER_ID: int
"""0x7FF: the standard identifier of register requests, refreshes and
saves; every motor on the bus reads what is sent there."""
REGISTER_READ_OP: int
"""0x33: byte 2 of a register read request and of its reply."""
REGISTER_WRITE_OP: int
"""0x55: byte 2 of a register write request and of its echo."""
SPECIAL_COMMANDS: Mapping[str, int]
"""Read-only mapping of the special commands, Damiao method name -> command
byte: {"enable": 0xFC, "disable": 0xFD, "set_zero": 0xFE, "clear_error":
0xFB}. The payload is seven 0xFF bytes then that byte."""
CAN_BIT_RATES: Mapping[int, Tuple[int, Optional[int]]]
"""Read-only mapping of the codes of register 35 (`Register.can_br`) ->
(bitrate, data_bitrate) in bit/s: 0..4 classic CAN (data_bitrate None) at
125k, 200k, 250k, 500k and 1M; 5..9 CAN FD with a 1 Mbit/s arbitration
phase and data phases of 2M, 2.5M, 3.2M, 4M and 5M."""
TIMEOUT_UNIT_US: int
"""50: the unit of register 9 (`Register.TIMEOUT`, the motor's watchdog),
in microseconds."""

def enable_frame(motor_id: SupportsIndex, mode: SupportsIndex = ...) -> Tuple[int, bytes]:
    """The frame `Damiao.enable` sends, as (identifier, data): a classic
    frame of 8 bytes, FF FF FF FF FF FF FF FC, to the standard identifier
    (motor_id & 0x7FF) + mode.id_offset (`mode` a ControlMode or its
    number, MIT by default: the motor's command identifier). Older
    firmware in a mode other than MIT takes the special commands only on
    its mode's identifier.

    motor_id is 0..65535 (OverflowError otherwise, TypeError for a float);
    ValueError when the identifier would be 0x7FF or above (`the VEL
    command identifier 0x800 (0x200 + motor_id 0x600) is past the standard
    range 0x7ff`) or for a number no mode has.
    """
def disable_frame(motor_id: SupportsIndex, mode: SupportsIndex = ...) -> Tuple[int, bytes]:
    """The frame `Damiao.disable` sends, as `enable_frame` makes it: FF FF
    FF FF FF FF FF FD to (motor_id & 0x7FF) + mode.id_offset."""
def set_zero_frame(motor_id: SupportsIndex, mode: SupportsIndex = ...) -> Tuple[int, bytes]:
    """The frame `Damiao.set_zero` sends, as `enable_frame` makes it: FF FF
    FF FF FF FF FF FE to (motor_id & 0x7FF) + mode.id_offset."""
def clear_error_frame(motor_id: SupportsIndex, mode: SupportsIndex = ...) -> Tuple[int, bytes]:
    """The frame `Damiao.clear_error` sends, as `enable_frame` makes it: FF
    FF FF FF FF FF FF FB to (motor_id & 0x7FF) + mode.id_offset."""
def refresh_frame(motor_id: SupportsIndex) -> Tuple[int, bytes]:
    """The refresh `Damiao.refresh` sends, as (identifier, data): (0x7FF,
    [id lo, id hi, 0xCC, 0, 0, 0, 0, 0]), the id motor_id & 0x7FF."""
def read_register_frame(motor_id: SupportsIndex, register: SupportsIndex) -> Tuple[int, bytes]:
    """The request `Damiao.read_register` sends, as (identifier, data):
    (0x7FF, [id lo, id hi, 0x33, register, 0, 0, 0, 0]), the id all 16
    bits of motor_id. A register outside the table raises RuntimeError
    `register 99 is not in the Damiao register table`."""
def write_register_frame(motor_id: SupportsIndex, register: SupportsIndex,
                         value: _Float) -> Tuple[int, bytes]:
    """The request `Damiao.write_register` sends, as (identifier, data):
    (0x7FF, [id lo, id hi, 0x55, register, value (4 bytes,
    little-endian)]), the id all 16 bits of motor_id. `value` as
    `Damiao.write_register` takes it: a finite float for a Float register
    (its IEEE 32-bit bits), an int 0..0xFFFFFFFF for a Uint32 one.
    RuntimeError `register 13 is read-only` and `register 99 is not in the
    Damiao register table`, as `Damiao.write_register` raises them."""
def save_parameters_frame(motor_id: SupportsIndex) -> Tuple[int, bytes]:
    """The frame `Damiao.save_parameters` sends, as (identifier, data):
    (0x7FF, [id lo, id hi, 0xAA, 0x01, 0, 0, 0, 0]), the id motor_id &
    0x7FF."""
