"""The robot description file: a robot's settings, buses and joints in TOML,
read and checked whole before any bus is opened.

``load(path)`` returns a ``RobotDescription`` of plain values or raises
``DescriptionError`` listing every fault, one line each, as
``arm.toml:23: joint 'elbow': direction must be 1 or -1, got 2``.
``build(description)`` turns a checked description into a
``rotalink.Robot``; ``skeleton(iface, motors)`` writes the file a bus scan
suggests (``rotalink-scan IFACE --toml FILE``).

The file::

    [robot]
    buses = ["can0"]          # the CAN interfaces, each opened once
    timeout_ms = 20           # these four as MotorGroup takes them; omitted:
    watchdog_ms = 50          #   the module's defaults (no watchdog)
    fd = false
    disable_timeout_ms = 500

    [[joint]]                 # one per joint, in the robot's joint order
    name = "elbow"
    bus = "can0"              # one of robot.buses
    motor_id = 0x03           # command identifier (CAN ID), 0..0x7ff
    master_id = 0x13          # reply identifier (Master ID), 0..0x7ff
    model = "dm4310"          # a rotalink.MitLimits preset, any case, or
    # limits = { p_max = 12.5, v_max = 30, kp_max = 500, kd_max = 5, t_max = 10 }
    mode = "MIT"              # a rotalink.ControlMode name (default MIT)
    direction = -1            # 1 or -1 (default 1)
    offset = 0.3              # motor position at joint zero, rad (default 0)
    gear = 6.33               # motor turns per joint turn (default 1)
    q_min = -1.5              # joint limits, joint units (default: none)
    q_max = 1.5
    dq_max = 4.0
    tau_max = 20.0
    kp = 30.0                 # default gains of an MIT joint, joint units
    kd = 1.0

Motor position = offset + direction * gear * q. The presets, the control
modes, the identifier offsets of the modes, the joint limits' rules and the
robot settings' ranges are the module's own (MitLimits, ControlMode,
JointLimits, MotorGroup); the identifier clashes refused are those a
MotorGroup refuses, per bus.
"""

import difflib
import math
import re
import sys
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Dict, List, Optional, Tuple

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - older interpreters
    import tomli as tomllib

import rotalink

from . import report

__all__ = ["DescriptionError", "MotorRanges", "JointDescription", "RobotDescription", "load",
           "loads", "build", "skeleton", "key_lines"]

REGISTER_ID = rotalink.REGISTER_ID
_ROBOT_KEYS = ("buses", "timeout_ms", "watchdog_ms", "fd", "disable_timeout_ms")
_RANGES = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
_JOINT_LIMITS = ("q_min", "q_max", "dq_max", "tau_max")
_JOINT_KEYS = ("name", "bus", "motor_id", "master_id", "model", "limits", "mode", "direction",
               "offset", "gear") + _JOINT_LIMITS + ("kp", "kd")


class DescriptionError(ValueError):
    """A description file that cannot be used: `errors` lists every fault
    found, one line each (``file:line: joint 'name': what``), in line order."""

    def __init__(self, errors):
        super().__init__("\n".join(errors))
        self.errors = list(errors)


@dataclass(frozen=True)
class MotorRanges:
    """The full-scale ranges a motor's MIT frames and feedback map to
    (those of rotalink.MitLimits)."""
    p_max: float
    v_max: float
    kp_max: float
    kd_max: float
    t_max: float

    def mit_limits(self):
        return rotalink.MitLimits(self.p_max, self.v_max, self.kp_max, self.kd_max, self.t_max)


@dataclass(frozen=True)
class JointDescription:
    """One joint as the file describes it; None for what it leaves to the
    module's defaults. `line` is its ``[[joint]]`` header's."""
    name: str
    bus: str
    motor_id: int
    master_id: int
    model: Optional[str]  # the preset's name as rotalink.MitLimits has it; None: explicit limits
    limits: MotorRanges
    mode: rotalink.ControlMode
    direction: int
    offset: float
    gear: float
    q_min: Optional[float] = None
    q_max: Optional[float] = None
    dq_max: Optional[float] = None
    tau_max: Optional[float] = None
    kp: Optional[float] = None
    kd: Optional[float] = None
    line: int = 0

    def joint_limits(self):
        """A rotalink.JointLimits of the limits given, or None for none."""
        given = {k: getattr(self, k) for k in _JOINT_LIMITS if getattr(self, k) is not None}
        return rotalink.JointLimits(**given) if given else None


@dataclass(frozen=True)
class RobotDescription:
    """A checked description file: the robot's settings (None: the module's
    default), its buses and its joints, in order."""
    path: str
    buses: Tuple[str, ...]
    joints: Tuple[JointDescription, ...]
    timeout_ms: Optional[int] = None
    watchdog_ms: Optional[int] = None
    fd: Optional[bool] = None
    disable_timeout_ms: Optional[int] = None

    @property
    def names(self):
        return tuple(j.name for j in self.joints)

    def settings(self):
        """{keyword: value} of the robot settings the file gives."""
        return {k: getattr(self, k) for k in _ROBOT_KEYS[1:] if getattr(self, k) is not None}


# ------------------------------------------------------------ line numbers

_BARE = r"[A-Za-z0-9_-]+"
_KEY_PART = re.compile(r'[ \t]*(%s|"(?:[^"\\]|\\.)*"|\'[^\']*\')[ \t]*' % _BARE)


def _key_path(text, pos):
    """(parts, end) of the dotted key at `pos`, or (None, pos)."""
    parts = []
    while True:
        m = _KEY_PART.match(text, pos)
        if not m:
            return None, pos
        raw = m.group(1)
        parts.append(raw[1:-1] if raw[0] in "\"'" else raw)
        pos = m.end()
        if pos < len(text) and text[pos] == ".":
            pos += 1
            continue
        return parts, pos


def _lex(text, pos, state):
    """Follow strings, comments and brackets from `pos` to the end of a line.
    `state` is [open multi-line string delimiter or None, bracket depth]."""
    n = len(text)
    while pos < n:
        if state[0]:
            delim = state[0]
            while pos < n:
                if delim == '"""' and text[pos] == "\\":
                    pos += 2
                elif text.startswith(delim, pos):
                    pos += 3
                    while pos < n and text[pos] == delim[0]:  # up to two quotes inside
                        pos += 1
                    state[0] = None
                    break
                else:
                    pos += 1
            continue
        c = text[pos]
        if c == "#":
            return
        if text.startswith('"""', pos) or text.startswith("'''", pos):
            state[0] = text[pos:pos + 3]
            pos += 3
        elif c == '"':
            pos += 1
            while pos < n and text[pos] != '"':
                pos += 2 if text[pos] == "\\" else 1
            pos += 1
        elif c == "'":
            end = text.find("'", pos + 1)
            pos = n if end < 0 else end + 1
        else:
            if c in "[{":
                state[1] += 1
            elif c in "]}":
                state[1] -= 1
            pos += 1


def key_lines(text):
    """{key path: line} of a TOML document that parses: every table header
    and every ``key =`` line outside a value, by the path from the document's
    root, an array of tables' entries numbered (``("joint", 2, "gear")`` is
    the gear of the third ``[[joint]]``). Comments and strings, multi-line
    ones too, are skipped; keys inside inline tables and arrays are not
    listed (their line is the key's that holds them)."""
    lines = {}
    arrays = {}  # path of an array of tables -> index of its last entry
    section = ()
    state = [None, 0]
    for number, text in enumerate(text.splitlines(), 1):
        if state[0] or state[1]:
            _lex(text, 0, state)
            continue
        stripped = text.lstrip()
        start = len(text) - len(stripped)
        if stripped.startswith("["):
            double = stripped.startswith("[[")
            parts, _ = _key_path(text, start + (2 if double else 1))
            if parts is None:
                continue
            path = ()
            for i, part in enumerate(parts):  # later parts go below an array's last entry
                path += (part,)
                if path in arrays and (i < len(parts) - 1 or not double):
                    path += (arrays[path],)
            if double:
                arrays[path] = arrays.get(path, -1) + 1
                lines.setdefault(path, number)
                path += (arrays[path],)
            section = path
            lines.setdefault(path, number)
            continue
        parts, end = _key_path(text, start)
        if parts is None or end >= len(text) or text[end] != "=":
            continue
        path = section
        for part in parts:
            path += (part,)
            lines.setdefault(path, number)
        _lex(text, end + 1, state)
    return lines


# ------------------------------------------------------------------ checks

def _text(value):
    """A value as the file writes it."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return "nan" if math.isnan(value) else repr(value)
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, list):
        return "an array"
    return repr(value)


def _id(value):
    return "0x%03x" % value


class _Checker:
    def __init__(self, name, lines):
        self.name = name
        self.lines = lines
        self.errors = []  # (line, message)

    def line(self, path):
        while path:
            if path in self.lines:
                return self.lines[path]
            path = path[:-1]
        return 1

    def error(self, path, subject, message):
        where = self.line(path)
        self.errors.append((where, "%s:%d: %s%s" % (self.name, where, subject + ": " if subject
                                                    else "", message)))

    def unknown_keys(self, table, allowed, path, subject):
        for key in table:
            if key not in allowed:
                near = difflib.get_close_matches(key, allowed, 1)
                self.error(path + (key,), subject, "unknown key %r%s" % (
                    key, " (did you mean %r?)" % near[0] if near else ""))

    def typed(self, table, key, kind, path, subject, required=False):
        """table[key] when it is of `kind` ("int", "number", "str", "bool"),
        else None (the fault noted; a missing key only when `required`)."""
        if key not in table:
            if required:
                self.error(path, subject, "%s is missing" % key)
            return None
        value = table[key]
        ok = {"int": lambda v: isinstance(v, int) and not isinstance(v, bool),
              "number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
              "str": lambda v: isinstance(v, str),
              "bool": lambda v: isinstance(v, bool)}[kind](value)
        if not ok:
            self.error(path + (key,), subject, "%s must be %s, got %s" % (
                key, {"int": "an integer", "number": "a number", "str": "a string",
                      "bool": "true or false"}[kind], _text(value)))
            return None
        return float(value) if kind == "number" else value


def _robot(c, doc):
    robot = doc.get("robot")
    path, subject = ("robot",), "robot"
    if not isinstance(robot, dict):
        c.error(path, "", "robot must be a table ([robot]) naming the buses"
                if robot is not None else "no [robot] table: it names the buses")
        return None, {}
    c.unknown_keys(robot, _ROBOT_KEYS, path, subject)
    buses = robot.get("buses")
    names = None
    if buses is None:
        c.error(path, subject, "buses is missing")
    elif not isinstance(buses, list) or not buses:
        c.error(path + ("buses",), subject,
                "buses must be a non-empty array of interface names, got %s" % _text(buses))
    else:
        names = []
        for bus in buses:
            if not isinstance(bus, str) or not bus:
                c.error(path + ("buses",), subject, "an interface name must be a non-empty "
                        "string, got %s" % _text(bus))
            elif bus in names:
                c.error(path + ("buses",), subject, "bus %r is listed twice" % bus)
            else:
                names.append(bus)
    settings = {}
    for key in _ROBOT_KEYS[1:]:
        value = c.typed(robot, key, "bool" if key == "fd" else "int", path, subject)
        if value is None:
            continue
        if key == "timeout_ms" and value < 0:
            c.error(path + (key,), subject, "timeout_ms must be 0 or more, got %d" % value)
            continue
        try:
            # The module's own ranges: a group checks its settings before its
            # members, so an empty one refuses only what these cannot be.
            rotalink.MotorGroup([], **{key: value})
        except ValueError as exc:
            if "member" not in str(exc):
                c.error(path + (key,), subject, str(exc))
                continue
        except OverflowError:
            c.error(path + (key,), subject, "%s is out of range, got %d" % (key, value))
            continue
        settings[key] = value
    return names, settings


def _ranges(c, j, path, subject, presets):
    """The joint's MotorRanges and preset name from model or limits."""
    model, limits = j.get("model"), j.get("limits")
    if model is not None and limits is not None:
        c.error(path + ("limits",), subject, "give model or limits, not both")
        return None, None
    if model is None and limits is None:
        c.error(path, subject, "model (a preset such as %r) or limits is missing"
                % next(iter(presets)))
        return None, None
    if model is not None:
        name = c.typed(j, "model", "str", path, subject)
        if name is None:
            return None, None
        if name.lower() not in presets:
            c.error(path + ("model",), subject, "unknown model %r: the presets are %s"
                    % (name, ", ".join(presets)))
            return None, None
        preset = presets[name.lower()]
        return MotorRanges(*(getattr(preset, k) for k in _RANGES)), name.lower()
    if not isinstance(limits, dict):
        c.error(path + ("limits",), subject,
                "limits must be a table of %s, got %s" % (", ".join(_RANGES), _text(limits)))
        return None, None
    lpath = path + ("limits",)
    c.unknown_keys(limits, _RANGES, lpath, subject)
    values = []
    for key in _RANGES:
        value = c.typed(limits, key, "number", lpath, subject, required=True)
        if value is not None and not (math.isfinite(value) and value > 0):
            c.error(lpath + (key,), subject, "limits.%s must be finite and above 0, got %s"
                    % (key, _text(limits[key])))
            value = None
        values.append(value)
    if None in values:
        return None, None
    return MotorRanges(*values), None


def _joint(c, index, j, buses, presets):
    path = ("joint", index)
    if not isinstance(j, dict):
        c.error(path, "", "joint %d must be a table" % (index + 1))
        return None, None
    name = j.get("name")
    subject = "joint %r" % name if isinstance(name, str) and name else "joint %d" % (index + 1)
    before = len(c.errors)
    c.unknown_keys(j, _JOINT_KEYS, path, subject)
    name = c.typed(j, "name", "str", path, subject, required=True)
    if name == "":
        c.error(path + ("name",), subject, "name must not be empty")
    bus = c.typed(j, "bus", "str", path, subject, required=True)
    if bus is not None and buses is not None and bus not in buses:
        c.error(path + ("bus",), subject, "bus %r is not one of robot.buses (%s)"
                % (bus, ", ".join(buses)))
    ids = {}
    for key in ("motor_id", "master_id"):
        value = c.typed(j, key, "int", path, subject, required=True)
        if value is not None and not 0 <= value <= 0x7FF:
            c.error(path + (key,), subject, "%s must be from 0 to 0x7ff, got %s"
                    % (key, hex(value) if value >= 0 else value))
            value = None
        elif value == REGISTER_ID:
            c.error(path + (key,), subject, "%s %s is the register identifier"
                    % (key, _id(value)))
            value = None
        ids[key] = value
    ranges, model = _ranges(c, j, path, subject, presets)
    mode = rotalink.ControlMode.MIT
    text = c.typed(j, "mode", "str", path, subject)
    if text is not None:
        try:
            mode = rotalink.ControlMode[text.upper()]
        except KeyError:
            c.error(path + ("mode",), subject, "mode must be one of %s, got %r" % (
                ", ".join(m.name for m in rotalink.ControlMode), text))
            mode = None
    direction = 1
    if "direction" in j:
        direction = j["direction"]
        if isinstance(direction, bool) or direction not in (1, -1) or isinstance(direction, float):
            c.error(path + ("direction",), subject, "direction must be 1 or -1, got %s"
                    % _text(direction))
            direction = None
    offset = c.typed(j, "offset", "number", path, subject) if "offset" in j else 0.0
    if offset is not None and not math.isfinite(offset):
        c.error(path + ("offset",), subject, "offset must be finite, got %s"
                % _text(j["offset"]))
    gear = c.typed(j, "gear", "number", path, subject) if "gear" in j else 1.0
    if gear is not None and not (math.isfinite(gear) and gear > 0):
        c.error(path + ("gear",), subject, "gear must be finite and above 0 (direction gives "
                "the sign), got %s" % _text(j["gear"]))
        gear = None
    given = {}
    for key in _JOINT_LIMITS:
        value = c.typed(j, key, "number", path, subject)
        if value is not None:
            given[key] = value
    joint_limits = None
    if given:
        try:
            joint_limits = rotalink.JointLimits(**given)
        except ValueError as exc:
            named = [k for k in _JOINT_LIMITS if "JointLimits." + k in str(exc)]
            c.error(path + (named[0] if named else next(iter(given)),), subject,
                    str(exc).replace("JointLimits.", ""))
    gains = {}
    for key in ("kp", "kd"):
        value = c.typed(j, key, "number", path, subject)
        if value is None:
            continue
        if mode is not None and mode != rotalink.ControlMode.MIT:
            c.error(path + (key,), subject, "%s is a gain of MIT joints; this one is %s"
                    % (key, mode.name))
        elif not (math.isfinite(value) and value >= 0):
            c.error(path + (key,), subject, "%s must be finite and 0 or more, got %s"
                    % (key, _text(j[key])))
        else:
            gains[key] = value
    if joint_limits is not None and None not in (ranges, offset, direction, gear):
        # Feedback positions span [-p_max, p_max]: a joint range past it
        # could be neither commanded nor read.
        for key in ("q_min", "q_max"):
            q = given.get(key, 0.0)
            motor = offset + direction * gear * q
            if math.isfinite(q) and abs(motor) > ranges.p_max:
                c.error(path + (key,), subject, "%s %s puts the motor at %s rad, past the "
                        "position range of %s (p_max %s)" % (
                            key, _text(given[key]), _round(motor),
                            model or "its limits", _round(ranges.p_max)))
    ident = None
    if name and bus is not None and mode is not None and None not in ids.values():
        ident = SimpleNamespace(name=name, bus=bus, mode=mode, line=c.line(path), **ids)
    if len(c.errors) > before:
        return None, ident
    return JointDescription(
        name=name, bus=bus, motor_id=ids["motor_id"], master_id=ids["master_id"], model=model,
        limits=ranges, mode=mode, direction=direction,
        offset=offset, gear=gear, line=c.line(path),
        kp=gains.get("kp"), kd=gains.get("kd"), **given), ident


def _round(x):
    return "%.4g" % x


def _identifiers(c, joints):
    """The clashes a MotorGroup refuses, per bus: each noted at the later joint."""
    def mode_id(j):
        return j.motor_id + j.mode.id_offset

    def where(j):
        return "joint %r (line %d) on bus %s" % (j.name, j.line, j.bus)

    for i, (index, a) in enumerate(joints):
        path, subject = ("joint", index), "joint %r" % a.name
        ident = mode_id(a)
        if a.motor_id == a.master_id:
            c.error(path + ("master_id",), subject, "the reply identifier %s is its own command "
                    "identifier" % _id(a.master_id))
        elif ident >= REGISTER_ID:
            c.error(path + ("mode",), subject, "the %s command identifier %s (0x%x + motor_id "
                    "0x%x) is %s" % (a.mode.name, _id(ident), a.mode.id_offset, a.motor_id,
                                     "the register identifier" if ident == REGISTER_ID
                                     else "past the standard range 0x7ff"))
        elif ident == a.master_id:
            c.error(path + ("master_id",), subject, "the reply identifier %s is its own %s "
                    "command identifier" % (_id(ident), a.mode.name))
        for _, b in joints[:i]:
            if b.bus != a.bus:
                continue
            why = _clash(a, b, mode_id, where(b))
            if why is not None:
                c.error(path + (why[0],), subject, why[1])


def _clash(a, b, mode_id, who):
    """(key, why) of the first identifier clash of joint `a` with joint `b`
    on its bus that a MotorGroup refuses, or None. Every joint takes the
    MIT and the special commands on its command identifier and its mode's
    commands on that plus the mode's offset."""
    theirs, mine = report.command_ids(b.motor_id), report.command_ids(a.motor_id)
    used_a = [a.motor_id] + ([mode_id(a)] if a.mode.id_offset else [])
    used_b = [b.motor_id] + ([mode_id(b)] if b.mode.id_offset else [])
    if a.motor_id == b.motor_id:
        return "motor_id", "shares command identifier %s with %s" % (_id(a.motor_id), who)
    if a.master_id == b.master_id:
        return "master_id", "shares reply identifier %s with %s" % (_id(a.master_id), who)
    if a.master_id in used_b:
        return "master_id", "the reply identifier %s is the %s command identifier of %s" % (
            _id(a.master_id), theirs[a.master_id], who)
    if b.master_id in used_a:
        return "motor_id", "the %s command identifier %s is the reply identifier of %s" % (
            mine[b.master_id], _id(b.master_id), who)
    for ident in used_a:
        if ident in theirs:
            return "motor_id", "the %s command identifier %s is the %s command identifier of " \
                "%s" % (mine[ident], _id(ident), theirs[ident], who)
    for ident in used_b:
        if ident in mine:
            return "motor_id", "the %s command identifier %s is the %s command identifier of " \
                "%s" % (mine[ident], _id(ident), theirs[ident], who)
    return None


def loads(text, name="<description>"):
    """The RobotDescription of the TOML `text`, `name` standing for the file
    in messages; DescriptionError listing every fault."""
    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        m = re.search(r"line (\d+)", str(exc))
        raise DescriptionError(["%s:%s: not TOML: %s" % (name, m.group(1) if m else 1, exc)])
    c = _Checker(name, key_lines(text))
    c.unknown_keys(doc, ("robot", "joint"), (), "")
    buses, settings = _robot(c, doc)
    tables = doc.get("joint")
    joints = []
    if tables is None:
        c.error((), "", "no [[joint]] table: a robot needs at least one joint")
    elif not isinstance(tables, list):
        c.error(("joint",), "", "joint must be an array of tables, one [[joint]] per joint")
    else:
        presets = report.presets()
        seen = {}
        idents = []
        for index, table in enumerate(tables):
            j, ident = _joint(c, index, table, buses, presets)
            name = table.get("name") if isinstance(table, dict) else None
            if isinstance(name, str) and name:
                if name in seen:
                    c.error(("joint", index, "name"), "joint %r" % name, "the name is already "
                            "joint %d's (line %d)" % (seen[name] + 1, c.line(("joint", seen[name]))))
                    j = ident = None
                else:
                    seen[name] = index
            if j is not None:
                joints.append(j)
            if ident is not None:
                idents.append((index, ident))
        _identifiers(c, idents)
        if buses is not None:
            named = {t.get("bus") for t in tables if isinstance(t, dict)}
            for bus in buses:
                if bus not in named:
                    c.error(("robot", "buses"), "robot", "bus %r has no joint" % bus)
    if c.errors:
        raise DescriptionError([m for _, m in sorted(c.errors, key=lambda e: e[0])])
    return RobotDescription(path=name, buses=tuple(buses), joints=tuple(joints),
                            **settings)


def load(path):
    """The RobotDescription of the file at `path` (named as given in
    messages); DescriptionError listing every fault, OSError if it cannot be
    read."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return loads(text, str(path))


# ------------------------------------------------------------------- robot

def build(description, buses=None):
    """The rotalink.Robot of a checked description: one rotalink.Joint per
    joint, in order, with its default gains. `buses` maps each interface
    the file names to its bus object; without it each is opened once
    (rotalink.SocketCanTransport), after the whole file was checked."""
    if not hasattr(rotalink, "Robot") or not hasattr(rotalink, "Joint"):
        raise RuntimeError("this rotalink module (%s) has no Robot and Joint classes"
                           % getattr(rotalink, "__file__", "?"))
    if buses is None:
        buses = {name: rotalink.SocketCanTransport(name) for name in description.buses}
    gains = ("kp", "kd")
    joints = [rotalink.Joint(j.name, buses[j.bus], j.motor_id, j.master_id, limits=j.limits.mit_limits(),
                             direction=j.direction, offset=j.offset, gear=j.gear,
                             joint_limits=j.joint_limits(), mode=j.mode,
                             **{k: getattr(j, k) for k in gains if getattr(j, k) is not None})
              for j in description.joints]
    return rotalink.Robot(joints, **description.settings())


# ---------------------------------------------------------------- skeleton

_SKELETON_HEAD = """\
# The robot on %(iface)s as rotalink-scan found it: one [[joint]] per motor that
# answered, in the order of their command identifiers. Check before use:
#  - name: each joint's own name; the order of the [[joint]] tables is the
#    order of the robot's vectors
#  - direction (1 or -1): -1 where the joint turns against the motor
#  - offset: the motor's position (rad) at the joint's zero
#  - gear: motor turns per joint turn (1 for a direct drive)
#  - q_min, q_max, dq_max, tau_max (joint units): the joint's range, add them
#  - kp, kd: default gains of an MIT joint, joint units
#  - watchdog_ms: the motors disable themselves after this long without a
#    command; set it for a robot that must stop when this process dies
# rotalink_scan.description.load(FILE) checks the file and names the line of
# every fault.
"""


def skeleton(iface, motors, limits=None):
    """A description file of the motors a scan found (report.Motor records),
    as text: joints joint1..N on `iface`, direction 1, offset 0, gear 1, each
    motor's model preset from the ranges it reported (explicit limits when no
    preset has them) and its control mode. A motor whose ranges did not all
    come is written commented out. What to check is said in comments."""
    limits = report.presets() if limits is None else limits
    out = [_SKELETON_HEAD % {"iface": iface}]
    found = report.warnings(motors)
    if found:
        out.append("# The scan warned (the file is refused until these are resolved):\n")
        out += ["#   %s\n" % w for w in found]
    out.append('\n[robot]\nbuses = ["%s"]\n# watchdog_ms = 50\n' % iface)
    for number, m in enumerate(motors, 1):
        lines = ["name = \"joint%d\"" % number, "bus = \"%s\"" % iface,
                 "motor_id = %s" % report.id_text(m.command_id)]
        notes = []
        reply = m.reply_id
        lines.append("master_id = %s" % report.id_text(reply & 0x7FF))
        if reply > 0x7FF:
            notes.append("MST_ID holds %s: the motor answers from its low 11 bits" % hex(reply))
        names = report.preset_names(m, limits)
        ranges = [m.registers.get(r) for r in (report.PMAX, report.VMAX, report.TMAX)]
        if names:
            lines.append('model = "%s"' % names[0])
            notes.append("PMAX %s, VMAX %s, TMAX %s read%s" % (
                tuple(map(report.float_text, ranges)) + (
                    "; %s has the same ranges" % ", ".join(names[1:]) if names[1:] else "",)))
        elif names is not None:
            preset = rotalink.MitLimits()
            lines.append("limits = { p_max = %s, v_max = %s, kp_max = %s, kd_max = %s, "
                         "t_max = %s }" % (
                             report.float_text(ranges[0]), report.float_text(ranges[1]),
                             report.float_text(preset.kp_max), report.float_text(preset.kd_max),
                             report.float_text(ranges[2])))
            notes.append("no preset has the ranges read; kp_max and kd_max are the "
                         "MitLimits defaults: check them")
        mode = report.MODES.get(m.registers.get(report.CTRL_MODE))
        if mode is None:
            notes.append("the control mode did not come: MIT assumed, check it")
        lines.append('mode = "%s"' % (mode or "MIT"))
        lines += ["direction = 1", "offset = 0.0", "gear = 1.0"]
        head = "\n[[joint]]\n"
        body = "".join(line + "\n" for line in lines)
        if names is None:  # ranges missing: no limits to scale by
            head = ("\n# The ranges (PMAX, VMAX, TMAX) of motor %s did not all come: read them "
                    "with rotalink-setup %s %s,\n# set model or limits and uncomment.\n# [[joint]]\n"
                    % (report.id_text(m.command_id), iface, m.command_id))
            body = "".join("# " + line + "\n" for line in lines)
        out.append(head + "".join("# %s\n" % n for n in notes) + body)
    return "".join(out)
