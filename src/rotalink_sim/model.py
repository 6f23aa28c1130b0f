"""One simulated Damiao DM-series motor: protocol state, registers and rotor model.

Protocol state
--------------
* ``motor_id`` (16 bits): the motor takes commands on standard identifier
  ``motor_id & 0x7FF`` and is addressed by all 16 bits in register requests.
* ``master_id`` (16 bits): the motor answers from standard identifier
  ``master_id & 0x7FF``.
* the 4-bit status code ``error`` (reported in the feedback's high nibble,
  see below), the temperature bytes ``t_mos`` and ``t_rotor`` (reported
  unscaled), the enabled flag and the control mode (register 10: 1 MIT,
  2 POS_VEL, 3 VEL, 4 FORCE_POS); the other registers are described below.

Command frames (``WIRE``, one row per control mode) come on the standard
identifier ``(motor_id & 0x7FF) + offset``, the offset telling the kind:

* 0x000: ``FF FF FF FF FF FF FF FC`` enable, ``..FD`` disable, ``..FE`` set
  zero (the current shaft angle becomes position 0; a held target keeps its
  physical angle), ``..FB`` clear error (the special commands); any other 8
  bytes an MIT command;
* 0x100 POS_VEL: float32 position (rad), float32 velocity limit (rad/s);
* 0x200 VEL: float32 velocity (rad/s), 4 to 8 bytes;
* 0x300 FORCE_POS: float32 position (rad), uint16 velocity limit x 100
  (0..10000), uint16 current limit x 10000 (0..10000 of the peak current).

A special command is taken on the MIT identifier in every mode and also on
the identifier of the mode the motor is in (a special payload there is never
a setpoint: its first float is a NaN). A motor of the older firmware
(``legacy_special``, ``--legacy-special``) takes them, in a mode other than
MIT, only on its mode's identifier: on the MIT identifier it answers them
with its feedback and does nothing else, as for any command of a mode it is
not in (``Motor.takes_special``). A special command on the identifier of
another mode than the motor's is answered and ignored alike.

Floats are IEEE-754 32-bit and every field little-endian. A refresh request
on identifier 0x7FF, ``[id lo, id hi, CC, 0, 0, 0, 0, 0]`` with the command
identifier in bytes 0-1, changes nothing. Every command and every refresh is
answered with one feedback payload; a frame of the wrong length is no
command and goes unanswered.

Status and faults
-----------------
The status code is 0 while the motor is disabled and 1 while it is enabled,
unless a fault is active, in which case it is the fault's code (``FAULTS``):
8 over-voltage, 9 under-voltage, 10 over-current, 11 MOS over-temperature,
12 coil over-temperature, 13 communication lost, 14 overload.

A fault trips as a real drive does: the motor drops to disabled, applies no
torque and forgets its target. An enable is answered (with the fault code)
but refused while the fault is active. The clear-error command clears the
fault and leaves the motor disabled (status 0): it applies torque again only
after a fresh enable, never on its own. A fault is active from the start
(``faults=[(code, None)]``) or trips a given number of seconds after
``arm_faults(now)``; the simulator arms them when it is ready.

The communication watchdog trips fault 13 the same way. While register 9
(TIMEOUT, ``REG_TIMEOUT``) is not 0 and the motor is enabled, it trips
TIMEOUT x 50 us (``TIMEOUT_UNIT_US``) after the last frame that reached the
motor: a command on any of its command identifiers (every control mode's and
the special commands, whatever the motor's mode) or a refresh request for
it. Register reads and writes do not count. TIMEOUT is 0 (off) unless
written or preset. The trip time is exact: the motor stops driving at that
instant, whenever the next frame comes to show it. Writing TIMEOUT does not
restart the count, so a time-out shorter than the silence so far trips at
the write.

The ``error`` argument is kept for compatibility: 0 (the default) lets the
code follow the state, a fault code 8..14 is a fault active from the start,
and any other code (1..7, 15) is reported as is, whatever the state, until
the clear-error command (the motor otherwise behaves normally), so that a
host's handling of unexpected codes can be tested. An active fault is
reported in its place.

Registers
---------
Every register of the firmware's map (``REGISTERS``: number, name, kind
``Uint32`` or ``Float``, writability) has a value for every model, held as its
32-bit word and sent little-endian (a float32 as its IEEE bits):

* MST_ID / ESC_ID = ``master_id`` / ``motor_id``, CTRL_MODE = the mode,
  PMAX / VMAX / TMAX = the limits' p_max / v_max / t_max, MAX_SPD = v_max,
  Damp / Inertia = the rotor model's friction and inertia;
* hw_ver 0x0003, sw_ver 0x5012, sub_ver 0x0002 (fixed firmware numbers of the
  simulator, not a real release) and SN, a serial number of the motor's own
  (``new_serial``: no two motors share one, even motors of two simulators
  started with the same identifiers); it stays for the motor's life, and a
  preset or the flash file gives it another;
* NPP, Gr, Rs, LS, Flux and KT_Value per model (``MOTOR_DATA``) and the other
  settings alike for all models (``COMMON_FLOATS``, ``COMMON_UINT32``): these
  are illustrative, not measured, but lie in the registers' ranges (UV_Value
  15 V, DEC -20);
* can_br 4 (1 Mbit/s): a code of ``CAN_BR_CODES``, 0..4 classic CAN at 125k,
  200k, 250k, 500k or 1M bit/s, 5..9 CAN FD at 1 Mbit/s arbitration and 2M,
  2.5M, 3.2M, 4M or 5M bit/s data; the motor keeps running at the bit rate
  of the bus (only a host's setup acts on the code).

A write to a writable register stores the word if its value lies in the
register's range (``RANGES``, the maker's documented ranges: e.g. UV_Value
``(10.0, FLT_MAX]``, DEC ``[-FLT_MAX, 0)``, CTRL_MODE ``[1, 4]``, PMAX / VMAX /
TMAX ``(0, FLT_MAX]``, can_br ``[0, 9]``; a NaN lies in none); otherwise it is
refused as a real motor refuses it and the register keeps its value. A write
to a read-only register changes nothing. Either way the write is answered
(the echo) with the value the register holds afterwards, so a refused write
echoes the old value and so does the read that checks it. PMAX / VMAX / TMAX are
the limits the codec uses, so a new value scales the next MIT command and
feedback (and TMAX clamps the torque). MST_ID and ESC_ID are only stored: the
motor keeps the identifiers it was made with, as a real motor does until its
settings are saved and it is powered up again. A save (``SAVE_OP``) writes
every register (``flash_registers``) to the motor's flash file (``save``), unless
the motor is enabled; the simulator's command line loads them at the next start
(``load_flash``), identifiers included. ``set_register`` (the
``registers`` argument, ``--register``) presets any register, read-only ones
too (with any word); a writable one takes only what its range takes, as does
a flash file. The identifiers and limits a motor is made with are its own:
``Motor(0x801, ...)`` holds ESC_ID 0x801, past the range a write keeps to,
so that a host's 16-bit addressing can be tested.

Rotor model
-----------
A rigid rotor with inertia ``J`` (default 0.002) and viscous friction ``b``
(default 0.01), driven by the motor torque::

    J * ddq = torque - b * dq
    torque  = clamp(kp * (q_des - q) + kd * (dq_des - dq) + tau_ff, -t_max, t_max)

in MIT mode. In the other modes a velocity loop drives the rotor, with the
gain ``kv = J / 0.01 s`` and the friction fed forward::

    torque = clamp(kv * (v_ref - dq) + b * v_ref, -t_lim, t_lim)

VEL tracks ``v_ref`` = the commanded velocity (within +-v_max). POS_VEL and
FORCE_POS move toward the commanded position no faster than the velocity
limit ``v_lim`` (its magnitude, at most v_max): ``v_ref = clamp(20/s * (q_des
- q), -v_lim, v_lim)``, which settles without overshoot. ``t_lim`` is t_max,
in FORCE_POS the current limit times t_max (the model's peak torque).

A law applies only while the motor is enabled (and so never while a fault is
active), and only the command kind of the motor's control mode sets its
target: the MIT target ``(q_des, dq_des, kp, kd, tau_ff)`` or ``setpoint``
(the decoded fields of the last POS_VEL, VEL or FORCE_POS command). Without a
target (zero gains, or no setpoint) the torque is zero and the rotor coasts
down under friction. A command to a disabled motor or of another control
mode, and one carrying a non-finite float, is answered with feedback and
otherwise ignored, as the firmware does. Enabling, disabling and a change of
control mode clear the target, so a stale target never takes effect.

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

import heapq
import itertools
import json
import math
import os
import struct
from collections import namedtuple

from .codec import Limits, PRESETS, decode_command, encode_feedback, f32, limits_of

__all__ = [
    "Motor",
    "Register",
    "REGISTERS",
    "MOTOR_DATA",
    "COMMON_FLOATS",
    "COMMON_UINT32",
    "HW_VER",
    "SW_VER",
    "SUB_VER",
    "KIND_UINT32",
    "KIND_FLOAT",
    "find_register",
    "register_word",
    "word_value",
    "acceptable",
    "float_bits",
    "bits_float",
    "CONTROL_MODES",
    "Wire",
    "WIRE",
    "REFRESH_ID",
    "REFRESH_OP",
    "SAVE_OP",
    "SAVE_ARG",
    "REG_CAN_BR",
    "CAN_BR_CODES",
    "RANGES",
    "Range",
    "FLT_MAX",
    "new_serial",
    "decode_wire",
    "wire_length_ok",
    "MODE_MIT",
    "MODE_POS_VEL",
    "MODE_VEL",
    "MODE_FORCE_POS",
    "REG_MST_ID",
    "REG_ESC_ID",
    "REG_TIMEOUT",
    "TIMEOUT_UNIT_US",
    "REG_CTRL_MODE",
    "REG_PMAX",
    "REG_VMAX",
    "REG_TMAX",
    "CMD_ENABLE",
    "CMD_DISABLE",
    "CMD_SET_ZERO",
    "CMD_CLEAR_ERROR",
    "SPECIAL_COMMANDS",
    "special_command",
    "special_payload",
    "STATUS_DISABLED",
    "STATUS_ENABLED",
    "FAULTS",
    "FAULT_COMMUNICATION_LOST",
    "fault_code",
    "load_flash",
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

Wire = namedtuple("Wire", "offset layout scales tops")
Wire.__doc__ = """The command frame of one control mode: identifier ``offset`` (added to
``motor_id & 0x7FF``), ``layout`` the struct format of its little-endian
fields (None: the MIT payload, see codec.py), and per field the number its
raw value is divided by (``scales``) and the largest raw value taken
(``tops``, None for any; larger ones count as it)."""

#: The command frames of the control modes, by mode. A frame carries at least
#: its fields (8 bytes for MIT) and at most 8 bytes.
WIRE = {
    MODE_MIT: Wire(0x000, None, (), ()),  # the MIT payload, or a special command
    MODE_POS_VEL: Wire(0x100, struct.Struct("<ff"), (1, 1), (None, None)),  # q rad, dq limit rad/s
    MODE_VEL: Wire(0x200, struct.Struct("<f"), (1,), (None,)),  # dq rad/s
    # q rad, dq limit x 100 (0..100 rad/s), current limit x 10000 (0..1 of the peak current)
    MODE_FORCE_POS: Wire(0x300, struct.Struct("<fHH"), (1, 100, 10000), (None, 10000, 10000)),
}

#: Refresh request: on this identifier, [id lo, id hi, REFRESH_OP, 0 x 5],
#: bytes 0-1 the command identifier; answered with feedback, changing nothing.
REFRESH_ID = 0x7FF
REFRESH_OP = 0xCC
#: Save to flash: on REFRESH_ID, [id lo, id hi, SAVE_OP, SAVE_ARG, 0 x 4], bytes
#: 0-1 the command identifier; not answered; refused while the motor is enabled.
SAVE_OP, SAVE_ARG = 0xAA, 0x01

REG_MST_ID = 7
REG_ESC_ID = 8
REG_TIMEOUT = 9  # communication watchdog, in TIMEOUT_UNIT_US; 0 is off
REG_CTRL_MODE = 10
REG_PMAX = 21
REG_VMAX = 22
REG_TMAX = 23
REG_CAN_BR = 35  # CAN bit rate code (CAN_BR_CODES), used from the next power-up
#: The bit rates register 35 selects, by code: (bit rate, data bit rate) in
#: bit/s. Codes 0..4 are classic CAN (no data bit rate); codes 5..9 are CAN FD
#: with a 1 Mbit/s arbitration phase and the data phase at the second rate.
CAN_BR_CODES = {
    0: (125000, None), 1: (200000, None), 2: (250000, None), 3: (500000, None),
    4: (1000000, None),
    5: (1000000, 2000000), 6: (1000000, 2500000), 7: (1000000, 3200000),
    8: (1000000, 4000000), 9: (1000000, 5000000),
}

#: Unit of the TIMEOUT register, in microseconds.
TIMEOUT_UNIT_US = 50

CMD_ENABLE = 0xFC
CMD_DISABLE = 0xFD
CMD_SET_ZERO = 0xFE
CMD_CLEAR_ERROR = 0xFB

#: The special commands by the name of the method that sends them, and their
#: command bytes (the last of the eight, after seven 0xFF).
SPECIAL_COMMANDS = {
    "enable": CMD_ENABLE,
    "disable": CMD_DISABLE,
    "set_zero": CMD_SET_ZERO,
    "clear_error": CMD_CLEAR_ERROR,
}

_SPECIAL_PREFIX = b"\xff" * 7


def special_payload(cmd):
    """The 8 data bytes of the special command ``cmd`` (a ``CMD_*`` byte)."""
    return _SPECIAL_PREFIX + bytes((cmd,))


def special_command(data):
    """The command byte (``CMD_*``) if ``data`` is one of the special
    commands (seven 0xFF, then the byte), else None."""
    data = bytes(data)
    if len(data) == 8 and data[:7] == _SPECIAL_PREFIX and data[7] in SPECIAL_COMMANDS.values():
        return data[7]
    return None

_MODE_NAMES = {mode: name.upper() for name, mode in CONTROL_MODES.items()}

#: Status codes of a motor without an active fault.
STATUS_DISABLED = 0
STATUS_ENABLED = 1

#: Fault codes the firmware reports in place of the status, and their names
#: as the command line takes them.
FAULTS = {
    8: "over-voltage",
    9: "under-voltage",
    10: "over-current",
    11: "mos-over-temperature",
    12: "coil-over-temperature",
    13: "communication-lost",
    14: "overload",
}


def _squash(name):
    return "".join(c for c in name.lower() if c not in "-_ ")


_FAULT_BY_NAME = {_squash(name): code for code, name in FAULTS.items()}

#: The fault the communication watchdog trips.
FAULT_COMMUNICATION_LOST = _FAULT_BY_NAME["communicationlost"]

MAX_ADVANCE = 0.050  # s: longest span integrated at one command
SUBSTEP = 0.001  # s
VEL_LOOP_TIME = 0.01  # s: velocity loop gain kv = inertia / VEL_LOOP_TIME
POS_LOOP_GAIN = 20.0  # 1/s: position loop of POS_VEL and FORCE_POS

_U32 = struct.Struct("<I")
_F32 = struct.Struct("<f")

#: Kinds of register values, named as the host module names them.
KIND_UINT32 = "Uint32"
KIND_FLOAT = "Float"


class Register:
    """One entry of the register map: number, name, kind and writability."""

    __slots__ = ("number", "name", "kind", "writable")

    def __init__(self, number, name, kind, writable):
        self.number = number
        self.name = name
        self.kind = kind
        self.writable = writable

    @property
    def is_float(self):
        """True for a float32 register, False for a uint32 one."""
        return self.kind == KIND_FLOAT

    def __repr__(self):
        return "Register(%d, %r, %r, writable=%r)" % (
            self.number, self.name, self.kind, self.writable)


def _table(kind, writable, entries):
    return [Register(n, name, kind, writable) for n, name in entries]


#: The register map of the firmware, by register number (in number order).
REGISTERS = {r.number: r for r in sorted(
    _table(KIND_UINT32, True, [(7, "MST_ID"), (8, "ESC_ID"), (9, "TIMEOUT"),
                               (10, "CTRL_MODE"), (35, "can_br")])
    + _table(KIND_UINT32, False, [(13, "hw_ver"), (14, "sw_ver"), (15, "SN"), (16, "NPP"),
                                  (36, "sub_ver")])
    + _table(KIND_FLOAT, True, [
        (0, "UV_Value"), (1, "KT_Value"), (2, "OT_Value"), (3, "OC_Value"), (4, "ACC"),
        (5, "DEC"), (6, "MAX_SPD"), (21, "PMAX"), (22, "VMAX"), (23, "TMAX"), (24, "I_BW"),
        (25, "KP_ASR"), (26, "KI_ASR"), (27, "KP_APR"), (28, "KI_APR"), (29, "OV_Value"),
        (30, "GREF"), (31, "Deta"), (32, "V_BW"), (33, "IQ_c1"), (34, "VL_c1")])
    + _table(KIND_FLOAT, False, [(11, "Damp"), (12, "Inertia"), (17, "Rs"), (18, "LS"),
                                 (19, "Flux"), (20, "Gr")]),
    key=lambda r: r.number)}

_BY_NAME = {r.name.lower(): r for r in REGISTERS.values()}

#: The largest finite float32.
FLT_MAX = 3.4028234663852886e38
_BOUNDS = {"FLT_MAX": FLT_MAX, "-FLT_MAX": -FLT_MAX, "2^32-1": 0xFFFFFFFF}


class Range(namedtuple("Range", "low high low_open high_open text")):
    """The values a register takes: from ``low`` to ``high``, each bound
    included unless its ``*_open`` flag says otherwise; ``text`` (and ``str``)
    is the interval as the register list writes it, e.g. ``(10.0, FLT_MAX]``."""

    __slots__ = ()

    @classmethod
    def parse(cls, text):
        """The range written ``(low, high]`` and the like; a bound is a
        number, ``FLT_MAX``, ``-FLT_MAX`` or ``2^32-1``."""
        low, high = (b.strip() for b in text[1:-1].split(","))
        bound = [_BOUNDS.get(b) or (float(b) if "." in b else int(b, 0)) for b in (low, high)]
        return cls(bound[0], bound[1], text[0] == "(", text[-1] == ")", text)

    def __contains__(self, value):
        above = value > self.low if self.low_open else value >= self.low
        below = value < self.high if self.high_open else value <= self.high
        return above and below  # NaN is in no range

    def __str__(self):
        return self.text


#: What each writable register takes, from the maker's register list: a write
#: (or a preset, or a flash file) outside it is refused and the register keeps
#: its value. Float registers compare as the float32 they hold, so a NaN is
#: refused everywhere. Read-only registers have no range: only a preset sets
#: them, to any word.
RANGES = {_BY_NAME[name.lower()].number: Range.parse(text) for name, text in [
    ("UV_Value", "(10.0, FLT_MAX]"),   # V, under-voltage fault threshold
    ("KT_Value", "[0, FLT_MAX]"),
    ("OT_Value", "[80.0, 200)"),       # degC, over-temperature fault threshold
    ("OC_Value", "(0, 1)"),            # over-current threshold, fraction of the peak current
    ("ACC", "(0, FLT_MAX)"),
    ("DEC", "[-FLT_MAX, 0)"),          # a deceleration is negative
    ("MAX_SPD", "(0, FLT_MAX]"),
    ("MST_ID", "[0, 0x7FF]"),
    ("ESC_ID", "[0, 0x7FF]"),
    ("TIMEOUT", "[0, 2^32-1]"),
    ("CTRL_MODE", "[%d, %d]" % (min(CONTROL_MODES.values()), max(CONTROL_MODES.values()))),
    ("PMAX", "(0, FLT_MAX]"),
    ("VMAX", "(0, FLT_MAX]"),
    ("TMAX", "(0, FLT_MAX]"),
    ("I_BW", "[100, 10000]"),
    ("KP_ASR", "[0, FLT_MAX]"),
    ("KI_ASR", "[0, FLT_MAX]"),
    ("KP_APR", "[0, FLT_MAX]"),
    ("KI_APR", "[0, FLT_MAX]"),
    ("OV_Value", "(0, FLT_MAX]"),      # V, over-voltage fault threshold
    ("GREF", "(0, 1]"),
    ("Deta", "[1.0, 10.0]"),
    ("V_BW", "(0, 500)"),
    ("IQ_c1", "[100, 10000]"),
    ("VL_c1", "(0, 10000]"),
    ("can_br", "[%d, %d]" % (min(CAN_BR_CODES), max(CAN_BR_CODES))),
]}

#: Limits that the registers PMAX, VMAX and TMAX hold.
_LIMIT_REGISTERS = {REG_PMAX: "p_max", REG_VMAX: "v_max", REG_TMAX: "t_max"}

#: Firmware version words every simulated motor reports (fixed, not a real release).
HW_VER = 0x0003
SW_VER = 0x5012
SUB_VER = 0x0002

_made = itertools.count()  # motors made in this process


def new_serial():
    """A serial number (register SN) for a new motor: the process id in the
    high 22 bits, the count of motors made in this process so far in the low
    10. So no two of 1024 motors made one after another in a process share
    one, nor two motors of simulators running at the same time, even with the
    same identifiers."""
    return ((os.getpid() & 0x3FFFFF) << 10) | (next(_made) & 0x3FF)

#: Illustrative electrical data per model, not measured values:
#: (NPP pole pairs, Gr gear ratio, Rs phase resistance [ohm], LS phase
#: inductance [H], Flux rotor flux linkage [Wb]). KT_Value is derived from them
#: as the torque constant at the output, 1.5 * NPP * Flux * Gr [Nm/A].
MOTOR_DATA = {
    "dm3507": (11, 1.0, 1.90, 0.00046, 0.0052),
    "dm4310": (14, 10.0, 0.95, 0.00041, 0.0042),
    "dm4310p": (14, 10.0, 0.95, 0.00041, 0.0042),
    "dm4340": (14, 40.0, 0.95, 0.00041, 0.0042),
    "dm4340p": (14, 40.0, 0.95, 0.00041, 0.0042),
    "dm6006": (14, 6.0, 0.45, 0.00018, 0.0071),
    "dm6248p": (14, 48.0, 0.45, 0.00018, 0.0071),
    "dm8006": (21, 6.0, 0.16, 0.00011, 0.0089),
    "dm8009": (21, 9.0, 0.16, 0.00011, 0.0089),
    "dm10010": (21, 10.0, 0.09, 0.00007, 0.0125),
    "dm10010l": (21, 10.0, 0.09, 0.00007, 0.0125),
    "dmg6215": (14, 1.0, 0.52, 0.00021, 0.0098),
    "dmh3510": (7, 1.0, 2.60, 0.00052, 0.0021),
    "dmh6220": (14, 1.0, 0.52, 0.00021, 0.0098),
    "dmjh11": (11, 11.0, 1.20, 0.00043, 0.0038),
}

#: Illustrative settings every model starts with (not a real motor's factory
#: settings): protection thresholds, ramps, loop bandwidths and gains.
COMMON_FLOATS = {
    "UV_Value": 15.0,   # V, under-voltage (of a 24 V supply)
    "OV_Value": 32.0,   # V, over-voltage
    "OT_Value": 100.0,  # degC, over-temperature
    "OC_Value": 0.98,   # over-current, fraction of the peak current
    "ACC": 20.0,
    "DEC": -20.0,
    "I_BW": 1000.0,
    "KP_ASR": 0.005,
    "KI_ASR": 0.0008,
    "KP_APR": 10.0,
    "KI_APR": 0.0,
    "GREF": 1.0,
    "Deta": 1.0,
    "V_BW": 50.0,
    "IQ_c1": 500.0,
    "VL_c1": 200.0,
}
#: Uint32 registers every model starts with: no communication time-out, baud-rate code 4.
COMMON_UINT32 = {"TIMEOUT": 0, "can_br": 4}


def parse_int(text):
    """An integer in decimal or with a 0x/0o/0b prefix, leading zeros allowed
    ("010" is 10); raises ``ValueError`` for anything else."""
    text = text.strip()
    try:
        return int(text, 0)
    except ValueError:
        return int(text, 10)


def find_register(key):
    """The ``Register`` for a number or a name (names case-insensitive).

    Raises ``ValueError`` for a register outside the map.
    """
    if isinstance(key, str):
        reg = _BY_NAME.get(key.lower())
        if reg is None:
            try:
                reg = REGISTERS.get(parse_int(key))
            except ValueError:
                reg = None
    elif isinstance(key, int) and not isinstance(key, bool):
        reg = REGISTERS.get(key)
    else:
        raise TypeError("a register is a number or a name, got %r" % (key,))
    if reg is None:
        raise ValueError("unknown register %r" % (key,))
    return reg


def float_bits(x):
    """The 32-bit word of a float32 (``x`` rounded to float32 first)."""
    return _U32.unpack(_F32.pack(f32(x)))[0]


def bits_float(word):
    """The float32 whose bits are ``word``."""
    return _F32.unpack(_U32.pack(word & 0xFFFFFFFF))[0]


def register_word(reg, value):
    """The 32-bit word of ``value`` in register ``reg`` (its kind decides).

    A uint32 register takes an int in 0..2**32-1, a float32 register any
    real number (rounded to float32). Raises ``TypeError``/``ValueError``.
    """
    if reg.is_float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError("register %s holds a float, got %r" % (reg.name, value))
        return float_bits(value)
    return _check_int("register %s" % reg.name, value, 0, 0xFFFFFFFF)


def word_value(reg, word):
    """The value (int or float) that the 32-bit ``word`` means in register ``reg``."""
    return bits_float(word) if reg.is_float else word


def acceptable(reg, word):
    """True if the motor takes ``word`` into register ``reg``: its value lies
    in the register's range (``RANGES``); a register without one (read-only)
    takes any word."""
    rng = RANGES.get(reg.number)
    return rng is None or word_value(reg, word) in rng


def _least_length(mode):
    layout = WIRE[mode].layout
    return 8 if layout is None else layout.size


def wire_length_ok(mode, length):
    """True if a frame of ``length`` data bytes can be a command of ``mode``."""
    return _least_length(mode) <= length <= 8


def decode_wire(mode, data):
    """The fields of a POS_VEL, VEL or FORCE_POS command as floats, scaled
    (``WIRE``); None if ``data`` has a length the mode does not take or a
    float field is not finite."""
    wire = WIRE[mode]
    data = bytes(data)
    if wire.layout is None:
        raise ValueError("the MIT payload is decoded by decode_command")
    if not wire_length_ok(mode, len(data)):
        return None
    values = []
    for raw, scale, top in zip(wire.layout.unpack_from(data), wire.scales, wire.tops):
        if not math.isfinite(raw):
            return None
        if top is not None:
            raw = min(raw, top)
        values.append(raw / scale)
    return tuple(values)


def _check_int(name, value, lo, hi):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, got %r" % (name, value))
    if not lo <= value <= hi:
        raise ValueError("%s must be in %d..%d, got %d" % (name, lo, hi, value))
    return value


def fault_code(fault):
    """The code (8..14) of a fault given by code or by name.

    Names are those of ``FAULTS``, case-insensitive, with or without the
    hyphens (``overload``, ``Over-Voltage``, ``overvoltage``,
    ``MOS_OVER_TEMPERATURE``); a string of the code ("14", "0xE") is taken
    too. Raises ``ValueError`` naming the choices for anything else.
    """
    if isinstance(fault, int) and not isinstance(fault, bool):
        code = fault
    elif isinstance(fault, str):
        code = _FAULT_BY_NAME.get(_squash(fault))
        if code is None:
            try:
                code = parse_int(fault)
            except ValueError:
                code = None
    else:
        raise TypeError("a fault is a code or a name, got %r" % (fault,))
    if code not in FAULTS:
        raise ValueError("unknown fault %r (choose from %s, or a code 8..14)" % (
            fault, ", ".join(FAULTS.values())))
    return code


class Motor:
    """A simulated motor.

    ``model`` is a preset name (see ``PRESETS``); ``limits`` (a ``Limits``,
    5-sequence or ``rotalink.MitLimits``) overrides it. ``mode`` is a register
    value (1..4) or a name from ``CONTROL_MODES``. ``registers`` (a mapping or
    pairs of register number or name and value) presets registers after all
    that, read-only ones included, as ``set_register`` does.

    ``legacy_special`` makes it a motor of the older firmware that, in a
    mode other than MIT, takes the special commands only on the identifier
    of its mode (see ``takes_special``).

    ``error`` is 0 (the status follows the state), a fault code 8..14 (a fault
    active from the start) or another code reported as is until cleared (see
    the module's description). ``faults`` lists faults as ``(fault, after)``
    pairs (or a bare fault, meaning ``(fault, None)``): ``fault`` a code or
    name (``fault_code``), ``after`` None for a fault active from the start,
    else the seconds after ``arm_faults`` at which it trips.
    """

    def __init__(self, motor_id, master_id, model="dm4310", *, limits=None,
                 mode=MODE_MIT, error=0, faults=(), t_mos=30, t_rotor=32,
                 inertia=0.002, damping=0.01, registers=(), legacy_special=False):
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
        error = _check_int("error", error, 0, 15)
        timed = []
        for item in faults:
            fault, after = item if isinstance(item, (tuple, list)) else (item, None)
            code = fault_code(fault)
            if after is not None:
                after = float(after)
                if not (after >= 0.0 and math.isfinite(after)):
                    raise ValueError("a fault trips after a finite time >= 0, got %r" % after)
            timed.append((code, after))
        self.t_mos = _check_int("t_mos", t_mos, 0, 255)
        self.t_rotor = _check_int("t_rotor", t_rotor, 0, 255)
        if not (inertia > 0.0 and math.isfinite(inertia)):
            raise ValueError("inertia must be positive and finite")
        if not (damping >= 0.0 and math.isfinite(damping)):
            raise ValueError("damping must be zero or positive and finite")
        self.inertia = float(inertia)
        self.damping = float(damping)
        self.legacy_special = bool(legacy_special)

        self.enabled = False
        self.position = 0.0
        self.velocity = 0.0
        self.target = (0.0, 0.0, 0.0, 0.0, 0.0)  # q_des, dq_des, kp, kd, tau_ff
        self.setpoint = None  # fields of the last POS_VEL, VEL or FORCE_POS command taken
        self.last_time = None
        self.heard = None  # time of the last command or refresh that reached the motor
        self.reads_answered = 0

        self.fault = 0  # code of the active fault, 0 for none
        self._override = 0  # a code reported in place of the status, 0 for none
        self._unarmed = []  # (after, code): faults that trip after arm_faults
        self._trips = []  # heap of (monotonic time, sequence, code)
        self.error = error
        for code, after in timed:
            if after is None:
                self.trip(code)
            else:
                self._unarmed.append((after, code))

        # Register words; CTRL_MODE and PMAX/VMAX/TMAX live in mode and limits.
        npp, gr, rs, ls, flux = MOTOR_DATA.get(self.model, MOTOR_DATA["dm4310"])
        floats = dict(COMMON_FLOATS, KT_Value=1.5 * npp * flux * gr,
                      MAX_SPD=self.limits.v_max, Damp=self.damping,
                      Inertia=self.inertia, Rs=rs, LS=ls, Flux=flux, Gr=gr)
        uints = dict(COMMON_UINT32, MST_ID=self.master_id, ESC_ID=self.motor_id,
                     hw_ver=HW_VER, sw_ver=SW_VER, sub_ver=SUB_VER,
                     SN=new_serial(), NPP=npp)
        self._words = {}
        for name, value in list(floats.items()) + list(uints.items()):
            reg = _BY_NAME[name.lower()]
            self._words[reg.number] = register_word(reg, value)
        if hasattr(registers, "items"):
            registers = registers.items()
        for key, value in registers:
            self.set_register(key, value)

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

    def command_ids(self):
        """{standard identifier: control mode} of the command frames the motor
        takes (``WIRE``); a mode whose identifier would pass 0x7FF has none."""
        return {self.command_id + w.offset: mode for mode, w in WIRE.items()
                if self.command_id + w.offset <= 0x7FF}

    # model -----------------------------------------------------------------

    @property
    def active(self):
        """True when the motor is enabled without a fault: the law of its mode drives it."""
        return self.enabled and not self.fault

    @property
    def error(self):
        """The 4-bit status code the feedback reports (see the module's description)."""
        if self.fault:
            return self.fault
        if self._override:
            return self._override
        return STATUS_ENABLED if self.enabled else STATUS_DISABLED

    @error.setter
    def error(self, code):
        """Set the code as the ``error`` argument does: 0 clears fault and override."""
        code = _check_int("error", code, 0, 15)
        self.fault = self._override = 0
        if code in FAULTS:
            self.trip(code)
        else:
            self._override = code

    def trip(self, fault):
        """Trip a fault now (code or name): the motor drops to disabled and reports it."""
        self.fault = fault_code(fault)
        self.enabled = False
        self._reset_target()

    def clear_error(self):
        """Clear the active fault and any reported override; the motor stays disabled."""
        self.fault = self._override = 0

    def arm_faults(self, now):
        """Start the clock of the timed faults: each trips ``after`` s past ``now``."""
        for after, code in self._unarmed:
            heapq.heappush(self._trips, (now + after, len(self._trips), code))
        self._unarmed = []

    def watchdog_deadline(self):
        """When the communication watchdog trips if nothing reaches the motor
        before (monotonic seconds), or None while it cannot trip: TIMEOUT 0,
        the motor not enabled, or a fault already active."""
        ticks = self._words.get(REG_TIMEOUT, 0)
        if not (ticks and self.enabled and not self.fault) or self.heard is None:
            return None
        return self.heard + ticks * TIMEOUT_UNIT_US / 1e6

    def _law_at(self, q):
        """The law in force at position ``q`` as an MIT law and its torque
        limit: ``(q_des, dq_des, kp, kd, tau_ff, t_lim)``; None for no torque."""
        if not self.active:
            return None
        t_max = self.limits.t_max
        if self.mode == MODE_MIT:
            return self.target + (t_max,)
        if self.setpoint is None:
            return None
        kv, b, v_max = self.inertia / VEL_LOOP_TIME, self.damping, self.limits.v_max
        if self.mode == MODE_VEL:
            v = min(max(self.setpoint[0], -v_max), v_max)
            return (0.0, v, 0.0, kv, b * v, t_max)
        q_des, v_lim = self.setpoint[0], min(abs(self.setpoint[1]), v_max)
        t_lim = t_max * self.setpoint[2] if self.mode == MODE_FORCE_POS else t_max
        v = POS_LOOP_GAIN * (q_des - q)
        if abs(v) <= v_lim:  # kv * (v - dq) + b * v
            return (q_des, 0.0, (kv + b) * POS_LOOP_GAIN, kv, 0.0, t_lim)
        v = math.copysign(v_lim, v)
        return (0.0, v, 0.0, kv, b * v, t_lim)

    @staticmethod
    def _law(law, q, dq):
        q_des, dq_des, kp, kd, tau, _ = law
        return kp * (q_des - q) + kd * (dq_des - dq) + tau

    def torque(self):
        """Torque the motor applies at the current state."""
        law = self._law_at(self.position)
        if law is None:
            return 0.0
        t_lim = law[5]
        return min(max(self._law(law, self.position, self.velocity), -t_lim), t_lim)

    def _substep(self, h):
        a = h / self.inertia
        b = self.damping
        q, dq = self.position, self.velocity
        law = self._law_at(q)
        if law is not None:
            q_des, dq_des, kp, kd, tau, t_lim = law
            dq_new = (dq + a * (kp * (q_des - q) + kd * dq_des + tau)) / (1.0 + a * (kp * h + kd + b))
            q_new = q + h * dq_new
            torque = self._law(law, q_new, dq_new)
            if abs(torque) > t_lim:
                torque = math.copysign(t_lim, torque)
                dq_new = (dq + a * torque) / (1.0 + a * b)
                q_new = q + h * dq_new
        else:
            dq_new = dq / (1.0 + a * b)
            q_new = q + h * dq_new
        self.position, self.velocity = q_new, dq_new

    def _integrate(self, span):
        while span > 1e-12:
            h = min(SUBSTEP, span)
            self._substep(h)
            span -= h

    def advance(self, now):
        """Integrate the rotor up to monotonic time ``now`` (seconds).

        Armed faults and the watchdog due by ``now`` trip at their time (the
        earlier first): the rotor is driven up to it and coasts from it.
        """
        if self.last_time is None:
            span = 0.0
        else:
            span = min(max(now - self.last_time, 0.0), MAX_ADVANCE)
        self.last_time = now
        t = now - span
        while True:
            at = self.watchdog_deadline()
            if at is not None and at <= now and not (self._trips and self._trips[0][0] < at):
                code = FAULT_COMMUNICATION_LOST
            elif self._trips and self._trips[0][0] <= now:
                at, _, code = heapq.heappop(self._trips)
            else:
                break
            if at > t:
                self._integrate(at - t)
                t = at
            self.trip(code)
        self._integrate(now - t)

    def _reset_target(self):
        self.target = (0.0, 0.0, 0.0, 0.0, 0.0)
        self.setpoint = None

    # commands --------------------------------------------------------------

    def feedback(self):
        """The feedback payload for the current state."""
        return encode_feedback(self.limits, self.motor_id, self.error, self.position,
                               self.velocity, self.torque(), self.t_mos, self.t_rotor)

    def refresh(self, now):
        """Answer a refresh request received at time ``now``: the feedback,
        nothing changed but the watchdog's count, which starts again."""
        self.advance(now)
        self.heard = now
        return self.feedback()

    def handle_command(self, data, now, mode=MODE_MIT):
        """Apply one command frame of control mode ``mode`` (the kind its
        identifier tells, see ``WIRE``) received at time ``now``; return the
        feedback. Raises ``ValueError`` for a length the kind does not take."""
        data = bytes(data)
        if not wire_length_ok(mode, len(data)):
            least = _least_length(mode)
            raise ValueError("a %s command has %s data bytes, got %d" % (
                _MODE_NAMES[mode], "8" if least == 8 else "%d to 8" % least, len(data)))
        self.advance(now)
        self.heard = now  # any command, taken or ignored, feeds the watchdog
        cmd = special_command(data)
        if cmd is not None:
            # A special payload is never a setpoint: taken, or answered and ignored.
            if self.takes_special(mode):
                self._special(cmd)
        elif mode != MODE_MIT:
            values = decode_wire(mode, data)
            if values is not None and self.active and self.mode == mode:
                self.setpoint = values
        elif self.active and self.mode == MODE_MIT:
            self.target = tuple(decode_command(self.limits, data))
        return self.feedback()

    def takes_special(self, mode):
        """True if the motor takes a special command that comes on the
        identifier of control mode ``mode``: on its own mode's identifier
        always, on the MIT identifier in every mode unless it has the older
        firmware (``legacy_special``), which there takes them only in MIT
        mode. Elsewhere one is answered with feedback and changes nothing."""
        return mode == self.mode or (mode == MODE_MIT and not self.legacy_special)

    def _special(self, cmd):
        if cmd == CMD_ENABLE:
            # A tripped motor refuses to enable until its fault is cleared.
            self.enabled = not self.fault
            self._reset_target()
        elif cmd == CMD_DISABLE:
            self.enabled = False
            self._reset_target()
        elif cmd == CMD_SET_ZERO:
            q_des, dq_des, kp, kd, tau = self.target
            self.target = (q_des - self.position, dq_des, kp, kd, tau)
            if self.setpoint is not None and self.mode != MODE_VEL:
                self.setpoint = (self.setpoint[0] - self.position,) + self.setpoint[1:]
            self.position = 0.0
        else:
            self.clear_error()

    # registers -------------------------------------------------------------

    def register_word(self, number):
        """The 32-bit word register ``number`` holds, or None for one outside the map."""
        if number == REG_CTRL_MODE:
            return self.mode
        field = _LIMIT_REGISTERS.get(number)
        if field is not None:
            return float_bits(getattr(self.limits, field))
        return self._words.get(number)

    def register_value(self, number):
        """Current value (int or float) of a register, or None for one outside the map."""
        word = self.register_word(number)
        return None if word is None else word_value(REGISTERS[number], word)

    def _store(self, reg, word):
        if reg.number == REG_CTRL_MODE:
            if word != self.mode:
                self.mode = word
                self._reset_target()
        elif reg.number in _LIMIT_REGISTERS:
            # The codec follows the new limit from the next frame on.
            self.limits = self.limits._replace(**{_LIMIT_REGISTERS[reg.number]: bits_float(word)})
        else:
            # MST_ID and ESC_ID included: the identifiers the motor uses stay.
            self._words[reg.number] = word

    def write_register(self, number, word):
        """Write a 32-bit word to a register as a write request does; True if applied.

        Read-only registers, registers outside the map and values the register
        does not take (see ``acceptable``) leave the motor unchanged.
        """
        reg = REGISTERS.get(number)
        if reg is None or not reg.writable:
            return False
        word = _check_int("word", word, 0, 0xFFFFFFFF)
        if not acceptable(reg, word):
            return False
        self._store(reg, word)
        return True

    def set_register(self, key, value):
        """Preset a register by number or name, read-only ones included.

        ``value`` is an int for a uint32 register, a number for a float32 one.
        Raises ``ValueError`` for a register outside the map or a value it
        does not take, ``TypeError`` for a value of the wrong kind.
        """
        reg = find_register(key)
        word = register_word(reg, value)
        if not acceptable(reg, word):
            raise ValueError("register %s does not take %r" % (reg.name, value))
        self._store(reg, word)

    # flash -------------------------------------------------------------------

    def flash_registers(self):
        """{name: value} of every register, as a save to flash keeps them."""
        return {reg.name: self.register_value(n) for n, reg in REGISTERS.items()}

    def save(self, path):
        """A save command: write every register to the JSON file ``path``;
        False (nothing written) while the motor is enabled, as the firmware
        refuses it then."""
        if self.enabled:
            return False
        text = json.dumps({"registers": self.flash_registers()}, indent=1)
        tmp = "%s.tmp" % path
        with open(tmp, "w", encoding="ascii") as f:
            f.write(text + "\n")
        os.replace(tmp, path)
        return True

    def register_payload(self, op, number, value):
        """Reply data for a register request: [id lo, id hi, op, reg, value LE]."""
        return bytes((self.motor_id & 0xFF, self.motor_id >> 8, op, number)) + _U32.pack(
            value & 0xFFFFFFFF)


def load_flash(path):
    """The registers a save wrote to ``path``: {register number: value}, or
    {} when the file does not exist (nothing saved yet). ValueError for a
    file that is no such record."""
    try:
        with open(path, encoding="ascii") as f:
            doc = json.load(f)
    except FileNotFoundError:
        return {}
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError("cannot read flash file %s: %s" % (path, exc)) from None
    regs = doc.get("registers") if isinstance(doc, dict) else None
    if not isinstance(regs, dict):
        raise ValueError("flash file %s holds no registers" % path)
    out = {}
    for key, value in regs.items():
        try:
            reg = find_register(key)
            ok = acceptable(reg, register_word(reg, value))
        except (TypeError, ValueError) as exc:
            raise ValueError("flash file %s: %s" % (path, exc)) from None
        if not ok:
            raise ValueError("flash file %s: register %s does not take %r" % (path, reg.name, value))
        out[reg.number] = value
    return out
