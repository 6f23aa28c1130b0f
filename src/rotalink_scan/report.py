"""What a scan found: one record per motor, the identifier warnings, the
table and the JSON document."""

import math
import struct

import rotalink

__all__ = ["Motor", "MODES", "presets", "decode", "float_text", "id_text", "bitrate_text",
           "preset_names", "command_ids", "warnings", "table", "document"]

#: Control modes (register 10) by number, named as rotalink.ControlMode names them.
MODES = {int(mode): mode.name for mode in rotalink.ControlMode}

MST_ID = int(rotalink.Register.MST_ID)
CTRL_MODE = int(rotalink.Register.CTRL_MODE)
PMAX, VMAX, TMAX = int(rotalink.Register.PMAX), int(rotalink.Register.VMAX), int(rotalink.Register.TMAX)
SW_VER = int(rotalink.Register.sw_ver)
#: The registers read from every motor that answered, after MST_ID (SN: two
#: motors sharing a command identifier answer with different serial numbers).
SN = int(rotalink.Register.SN)
CAN_BR = int(rotalink.Register.can_br)
DETAILS = (CTRL_MODE, PMAX, VMAX, TMAX, SW_VER, SN, CAN_BR)

_F32 = struct.Struct("<f")
_U32 = struct.Struct("<I")


def decode(register, value):
    """A register's 4 value bytes (little-endian) as a float or an int, by the
    kind rotalink.Register gives it."""
    return (_F32 if rotalink.Register(register).is_float else _U32).unpack(value)[0]


def presets():
    """{name: MitLimits} of every model preset of rotalink.MitLimits, in its order."""
    return {name: getattr(rotalink.MitLimits, name)()
            for name, value in vars(rotalink.MitLimits).items()
            if isinstance(value, staticmethod)}


class Motor:
    """One motor that answered: its command identifier (the one probed), what
    came from it, by register number, and the CAN identifier it answered from."""

    def __init__(self, command_id, registers, answered_from=None, also=(), differing=(),
                 replies=1):
        self.command_id = command_id
        self.registers = dict(registers)
        self.answered_from = answered_from
        self.also = list(also)  # reply identifiers of further answers to the probe
        self.differing = list(differing)  # registers answered more than once, differently
        self.replies = replies  # the most replies one read request had: >1, several motors

    @property
    def reply_id(self):
        return self.registers.get(MST_ID)

    def __repr__(self):
        return "Motor(%s, %r)" % (id_text(self.command_id), self.registers)


def id_text(ident):
    return "?" if ident is None else "0x%03x" % ident


def bitrate_text(code):
    """The bit rate of a can_br code as the tools show it: "1000000", or
    "1000000/5000000" for CAN FD (arbitration/data bit/s); "?" for no code,
    "code N" for one rotalink.CAN_BIT_RATES does not know."""
    if code is None:
        return "?"
    rates = rotalink.CAN_BIT_RATES.get(code)
    if rates is None:
        return "code %d" % code
    nominal, data = rates
    return str(nominal) if data is None else "%d/%d" % (nominal, data)


def float_text(value):
    """The shortest decimal that reads back as the same 32-bit float."""
    if value is None:
        return "?"
    if not math.isfinite(value):
        return str(value)
    for digits in range(1, 10):
        shortest = float("%.*g" % (digits, value))
        if _F32.unpack(_F32.pack(shortest))[0] == value:
            break
    else:
        shortest = value  # not a 32-bit float: all of it
    text = repr(shortest)
    return text[:-2] if text.endswith(".0") else text


def preset_names(motor, limits):
    """Names of the presets of `limits` whose p_max, v_max and t_max equal
    the motor's PMAX, VMAX and TMAX; None when one of those is unknown."""
    ranges = tuple(motor.registers.get(r) for r in (PMAX, VMAX, TMAX))
    if None in ranges:
        return None
    return [name for name, l in limits.items() if (l.p_max, l.v_max, l.t_max) == ranges]


def command_ids(command_id):
    """{identifier: mode name} of the command frames a motor with this command
    identifier takes: one per control mode, at the offset of its kind. A
    motor answers the frames of every kind, whatever its own mode."""
    return {command_id + mode.id_offset: mode.name for mode in rotalink.ControlMode
            if command_id + mode.id_offset <= 0x7FF}


def _kind(mode_name):
    return "" if mode_name == "MIT" else mode_name + " "


def warnings(motors):
    """Every pair of identifiers that would make replies ambiguous, in the
    words MotorGroup uses for them."""
    out = []
    twice = sorted({m.command_id for i, m in enumerate(motors)
                    if any(o.command_id == m.command_id for o in motors[i + 1:])})
    for command_id in twice:  # one motor found twice: one warning, not a pair of itself
        out.append("command identifier %s is answered by several motors" % id_text(command_id))
    for m in motors:
        if m.also:
            out.append("command identifier %s was answered more than once (reply identifiers %s): "
                       "motors may share it" % (id_text(m.command_id),
                                                ", ".join(map(id_text, [m.reply_id] + m.also))))
        elif m.differing:
            names = ", ".join(rotalink.Register(r).name for r in m.differing)
            out.append("command identifier %s was answered more than once, with different %s: "
                       "motors share it (the row shows the first answers)"
                       % (id_text(m.command_id), names))
        elif m.replies > 1:
            out.append("command identifier %s was answered %d times to one read, alike: several "
                       "motors set up alike answer as it" % (id_text(m.command_id), m.replies))
        if m.answered_from is not None and m.reply_id is not None and m.answered_from != m.reply_id:
            out.append("motor %s answered from %s while its MST_ID register holds %s"
                       % (id_text(m.command_id), id_text(m.answered_from), id_text(m.reply_id)))
    known = [m for m in motors if m.reply_id is not None]
    for i, m in enumerate(known):
        reply = m.reply_id & 0x7FF
        own = command_ids(m.command_id).get(reply)
        if own is not None:
            out.append("the reply identifier %s of motor %s is its own %scommand identifier"
                       % (id_text(reply), id_text(m.command_id), _kind(own)))
        for other in known[:i] + known[i + 1:]:
            if other.command_id == m.command_id:
                continue
            theirs = command_ids(other.command_id).get(reply)
            if theirs is not None:
                out.append("the reply identifier %s of motor %s is the %scommand identifier of "
                           "motor %s" % (id_text(reply), id_text(m.command_id), _kind(theirs),
                                         id_text(other.command_id)))
        for other in known[i + 1:]:
            if other.command_id != m.command_id and reply == other.reply_id & 0x7FF:
                out.append("motors %s and %s share reply identifier %s"
                           % (id_text(m.command_id), id_text(other.command_id), id_text(reply)))
    for i, m in enumerate(motors):
        mine = command_ids(m.command_id)
        for other in motors[i + 1:]:
            if other.command_id == m.command_id:
                continue
            shared = sorted(mine.keys() & command_ids(other.command_id).keys())
            if shared:
                out.append("motors %s and %s both answer commands on %s"
                           % (id_text(m.command_id), id_text(other.command_id),
                              ", ".join(map(id_text, shared))))
    return out


def _mode_text(value):
    return "?" if value is None else MODES.get(value, str(value))


def _firmware_text(value):
    return "?" if value is None else "0x%04x" % value


HEADER = ("command", "reply", "mode", "PMAX", "VMAX", "TMAX", "preset", "firmware", "bitrate")


def table(motors, limits):
    """One row per motor under a header, columns aligned; "?" where a value
    did not come."""
    rows = [HEADER]
    for m in motors:
        names = preset_names(m, limits)
        rows.append((
            id_text(m.command_id), id_text(m.reply_id), _mode_text(m.registers.get(CTRL_MODE)),
            float_text(m.registers.get(PMAX)), float_text(m.registers.get(VMAX)),
            float_text(m.registers.get(TMAX)),
            "?" if names is None else ", ".join(names) or "none",
            _firmware_text(m.registers.get(SW_VER)), bitrate_text(m.registers.get(CAN_BR)),
        ))
    widths = [max(len(r[c]) for r in rows) for c in range(len(HEADER))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows)


def _json_float(value):
    # JSON has no NaN or infinity: those come as the strings "nan", "inf", "-inf".
    return value if value is None or math.isfinite(value) else str(value)


def document(iface, motors, limits):
    """The JSON document: the interface, the motors and the warnings; null
    where a value did not come, and the presets null when the ranges are
    not all known."""
    entries = []
    for m in motors:
        mode = m.registers.get(CTRL_MODE)
        entries.append({
            "command_id": m.command_id,
            "reply_id": m.reply_id,
            "answered_from": m.answered_from,
            "control_mode": mode,
            "control_mode_name": None if mode is None else MODES.get(mode),
            "pmax": _json_float(m.registers.get(PMAX)),
            "vmax": _json_float(m.registers.get(VMAX)),
            "tmax": _json_float(m.registers.get(TMAX)),
            "presets": preset_names(m, limits),
            "firmware": m.registers.get(SW_VER),
            "can_br": m.registers.get(CAN_BR),
            "bitrate": None if m.registers.get(CAN_BR) is None
            else bitrate_text(m.registers[CAN_BR]),
        })
    return {"interface": iface, "motors": entries, "warnings": warnings(motors)}
