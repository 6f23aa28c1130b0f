"""Command line that commissions one motor (``rotalink-setup``): show its
registers, change them, save them to flash, change its identifiers or bit
rate, set its zero, dump and restore its settings."""

import argparse
import json
import math
import struct
import sys
import time
from fractions import Fraction

import rotalink

from . import cli, probe, report
from .frames import id_text, pack_frame
from .stop import Attribution, mode_of_its_own, status_name

__all__ = ["build_parser", "main", "show_value", "parse_value", "write_frame", "save_frame",
           "frame_line", "bit_rate", "find_register", "parse_int", "FLASH_WRITES"]

#: The register map, by number in number order.
REGISTERS = {int(r): r for r in sorted(rotalink.Register)}
_R = rotalink.Register
REG_MST_ID, REG_ESC_ID, REG_TIMEOUT, REG_CTRL_MODE = (int(_R.MST_ID), int(_R.ESC_ID),
                                                      int(_R.TIMEOUT), int(_R.CTRL_MODE))
REG_PMAX, REG_VMAX, REG_TMAX, REG_CAN_BR = int(_R.PMAX), int(_R.VMAX), int(_R.TMAX), int(_R.can_br)

PROG = "rotalink-setup"
#: Writes a motor's flash is rated for, roughly.
FLASH_WRITES = 10000
#: Registers changed only with --force: they take effect after a power cycle
#: and decide whether the motor can be reached at all.
GUARDED = (REG_MST_ID, REG_ESC_ID, REG_CAN_BR)
#: Units of the values shown and taken, by register number ("" for none).
UNITS = {int(getattr(_R, name)): unit for name, unit in (
    ("UV_Value", "V"), ("KT_Value", "Nm/A"), ("OT_Value", "degC"), ("MAX_SPD", "rad/s"),
    ("TIMEOUT", "ms"), ("Damp", "Nm s/rad"), ("Inertia", "kg m^2"), ("Rs", "ohm"), ("LS", "H"),
    ("Flux", "Wb"), ("PMAX", "rad"), ("VMAX", "rad/s"), ("TMAX", "Nm"), ("OV_Value", "V"),
    ("can_br", "bit/s"))}
#: Firmware numbers and the serial number, shown in hex.
_HEX = tuple(int(getattr(rotalink.Register, n)) for n in ("hw_ver", "sw_ver", "SN", "sub_ver"))
_U32 = struct.Struct("<I")
_F32 = struct.Struct("<f")

_DESCRIPTION = """\
Set up one Damiao motor from Linux: show its registers, change them (in RAM,
read back and shown before and after), save them to the motor's flash, change
its identifiers or CAN bit rate, set its zero, dump and restore its settings.

The motor is addressed by its command identifier MOTOR_ID; its reply
identifier is read from its MST_ID register (a register reply names the
motor, whatever identifier it comes from), or given with --master-id.

commands:
  show                      every register with value and unit, the control
                            mode, the limits and their preset (the default)
  set NAME=VALUE ...        write registers (names or numbers, values in the
                            units show prints: TIMEOUT in ms, can_br in bit/s,
                            CTRL_MODE by name or number)
  mode MIT|POS_VEL|VEL|FORCE_POS
  watchdog MS               the communication time-out, 0 for none
  limits PMAX VMAX TMAX     the ranges the MIT frames map to
  ids NEW_MOTOR_ID NEW_MASTER_ID   new identifiers (needs --force; saves)
  bitrate RATE              new CAN bit rate in bit/s, e.g. 1000000 or 1M, or
                            CAN FD (1 Mbit/s arbitration) by its data rate:
                            5M, 2.5M, or both: 1M/5M, 1000000/5000000
                            (needs --force; saves)
  zero                      make the current position the zero (asks first)
  clear                     clear the motor's fault (clear-error) and show
                            its status after it
  dump FILE                 every register to a JSON file
  restore FILE              write the writable registers whose values differ
                            from FILE (identifiers and can_br only with --force)

--save saves to flash after the writes: the tool disables the motor, sends the
save and reads back what it wrote. That the flash kept the values shows only
after a power cycle (run show then). Flash is rated for about 10,000 writes:
save when the settings are final, not in a loop.

Several motors answering as MOTOR_ID (more than one reply to one read, alike
or not) refuse every writing command and --save, --force notwithstanding:
power or connect one new motor at a time and give it its own identifiers
with ids, then the next."""

_EPILOG = """\
exit status: 0 done, 1 the motor did not answer or a read-back differs from
what was written, 2 a wrong command line or a refused command.

a robot description: rotalink-scan IFACE --toml FILE writes a skeleton of the
motors on the bus; fill in each joint's name, direction, gear, limits and
offset (the motor's position, rad, with the joint at its zero: zero makes it
0 there, so offset = 0.0; or read it without changing anything, with
rotalink.Damiao(MOTOR_ID, MASTER_ID, limits).refresh(bus).position), then
check the file: python3 -c "from rotalink_scan import description;
description.load('FILE')" lists every fault with its line.

examples:
  rotalink-setup can0 1
  rotalink-setup can0 1 set PMAX=12.5 TIMEOUT=20 --save
  rotalink-setup can0 1 mode POS_VEL --save
  rotalink-setup can0 1 watchdog 50 --dry-run
  rotalink-setup can0 1 ids 2 0x12 --force
  rotalink-setup can0 1 bitrate 1M --force
  rotalink-setup can0 1 bitrate 5M --force
  rotalink-setup can0 1 clear
  rotalink-setup can0 1 dump motor1.json
  rotalink-setup can0 2 restore motor1.json --dry-run"""


class Refused(Exception):
    """A command refused: told on standard error, exit status 2."""


class Failed(Exception):
    """The motor did not answer or a check failed: exit status 1."""


# values -------------------------------------------------------------------

def parse_int(text):
    """An integer in decimal or with a 0x/0o/0b prefix, leading zeros allowed
    ("010" is 10); ValueError for anything else."""
    text = text.strip()
    try:
        return int(text, 0)
    except ValueError:
        return int(text, 10)


_BY_NAME = {r.name.lower(): r for r in REGISTERS.values()}


def find_register(key):
    """The rotalink.Register of a name (any case) or a number; ValueError
    for one outside the map."""
    reg = _BY_NAME.get(key.strip().lower())
    if reg is None:
        try:
            reg = REGISTERS.get(parse_int(key))
        except ValueError:
            reg = None
    if reg is None:
        raise ValueError("unknown register %r" % (key,))
    return reg


def show_value(number, word):
    """The text of a register's 32-bit word in the units show prints."""
    reg = REGISTERS[number]
    if reg.is_float:
        return report.float_text(_F32.unpack(_U32.pack(word))[0])
    if number in (REG_MST_ID, REG_ESC_ID):
        return "0x%03x" % word
    if number in _HEX:
        return "0x%04x" % word
    if number == REG_TIMEOUT:
        return report.float_text(word * rotalink.TIMEOUT_UNIT_US / 1000.0)
    if number == REG_CTRL_MODE:
        return report.MODES.get(word, str(word))
    if number == REG_CAN_BR:
        return report.bitrate_text(word)
    return str(word)


def json_value(number, word):
    """A register's word as a JSON value: the float or the integer it means."""
    if REGISTERS[number].is_float:
        v = _F32.unpack(_U32.pack(word))[0]
        return v if math.isfinite(v) else str(v)
    return word


def word_of_json(number, value):
    reg = REGISTERS[number]
    if reg.is_float:
        return _U32.unpack(_F32.pack(float(value)))[0]
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
        raise ValueError("register %s holds an integer in 0..0xFFFFFFFF, got %r"
                         % (reg.name, value))
    return value


def _rate(text):
    """``1000000``, ``1M``, ``2.5M``, ``500k``: bit/s, or -1."""
    t = text.strip().lower()
    scale = 1
    if t.endswith("m"):
        t, scale = t[:-1], 1000000
    elif t.endswith("k"):
        t, scale = t[:-1], 1000
    try:
        value = Fraction(t) * scale
    except (ValueError, ZeroDivisionError):
        return -1
    return int(value) if value.denominator == 1 else -1


def bit_rate(text):
    """The bit rates (bit/s, data bit/s or None) and the can_br code of
    `text` (``bit/s`` after it or not): a classic rate (``1000000``, ``1M``,
    ``500k``), a CAN FD one by both rates (``1M/5M``, ``1000000/5000000``)
    or by its data rate alone (``5M``, ``2.5M``: the arbitration rate is
    1 Mbit/s)."""
    codes = {rates: code for code, rates in rotalink.CAN_BIT_RATES.items()}
    t = text.strip()
    if t.lower().endswith("bit/s"):
        t = t[:-5]
    nominal, slash, data = t.partition("/")
    if slash:
        rates = (_rate(nominal), _rate(data))
    else:
        rate = _rate(nominal)
        rates = (rate, None)
        if rates not in codes:  # a data rate alone
            rates = next((r for r in codes if r[1] == rate), rates)
    if rates not in codes:
        classic = sorted(n for n, d in codes if d is None)
        fd = sorted(r for r in codes if r[1] is not None)
        raise ValueError("no bit rate %r: the motor takes %s bit/s, or CAN FD %s (arbitration/"
                         "data bit/s, or the data rate alone)"
                         % (text, ", ".join(map(str, classic)),
                            ", ".join("%d/%d" % r for r in fd)))
    return rates, codes[rates]


def parse_value(number, text):
    """The 32-bit word for `text` given in the units show prints; ValueError
    when the register cannot take it."""
    reg = REGISTERS[number]
    text = text.strip()
    if reg.is_float:
        try:
            value = float(text)
        except ValueError:
            raise ValueError("register %s takes a number, got %r" % (reg.name, text)) from None
        if not math.isfinite(value) or abs(value) > 3.4028234663852886e38:
            raise ValueError("register %s takes a finite value, got %r" % (reg.name, text))
        if number in (REG_PMAX, REG_VMAX, REG_TMAX) and not value > 0:
            raise ValueError("register %s takes a positive limit, got %r" % (reg.name, text))
        return _U32.unpack(_F32.pack(value))[0]
    if number == REG_TIMEOUT:
        try:
            ticks = Fraction(text) * 1000 / rotalink.TIMEOUT_UNIT_US
        except (ValueError, ZeroDivisionError):
            ticks = Fraction(-1)
        if not (0 <= ticks <= 0xFFFFFFFF) or ticks.denominator != 1:
            raise ValueError("TIMEOUT takes milliseconds in steps of %g ms (0 for none), got %r"
                             % (rotalink.TIMEOUT_UNIT_US / 1000.0, text))
        return int(ticks)
    if number == REG_CTRL_MODE:
        mode = next((int(m) for m in rotalink.ControlMode
                     if text.upper() == m.name or text == str(int(m))), None)
        if mode is None:
            raise ValueError("CTRL_MODE takes MIT, POS_VEL, VEL or FORCE_POS, got %r" % text)
        return mode
    if number == REG_CAN_BR:
        return bit_rate(text)[1]
    try:
        value = parse_int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError("register %s takes an integer in 0..0xFFFFFFFF, got %r" % (reg.name, text))
    return value


# frames -------------------------------------------------------------------

def write_frame(motor_id, number, word):
    """(identifier, data) of a register write of the 32-bit `word`, as the
    module makes it."""
    value = _F32.unpack(_U32.pack(word))[0] if REGISTERS[number].is_float else word
    return rotalink.write_register_frame(motor_id, number, value)


def save_frame(motor_id):
    """(identifier, data) of the save to flash."""
    return rotalink.save_parameters_frame(motor_id)


def frame_line(iface, frame):
    """One frame in candump's format: ``vcan0  7FF   [8]  01 00 55 0A 01 00 00 00``."""
    ident, data = frame
    return "%s  %03X   [%d]  %s" % (iface, ident, len(data), " ".join("%02X" % b for b in data))


# the motor ----------------------------------------------------------------

class Session:
    """The bus and the motor: a raw socket for the reads (all sent at once,
    one time-out), the module's transport for writes, disable and save."""

    def __init__(self, args):
        self.args = args
        self.iface = args.iface
        self.motor_id = args.motor_id
        self.timeout = args.timeout_ms / 1000.0
        self.saves = 0
        self.shared = False  # told that several motors answer as this one
        #: A command that writes (or saves): refused while several motors answer.
        self.writing = args.command in WRITING or args.save
        self.written = False  # a command went out that may have changed the motor
        self._sock = None
        self.bus = None
        self.motor = None
        self.master_id = args.master_id

    @property
    def sock(self):
        """The raw socket, opened at its first use: a command refused before
        then never touches the bus."""
        if self._sock is None:
            self._sock = probe.open_bus(self.iface)
        return self._sock

    def close(self):
        if self._sock is not None:
            self._sock.close()

    def read(self, numbers, until_all=True):
        """{number: word} of the registers that answered. More than one reply
        to one read refuses a writing command (Refused) and is warned of
        once otherwise."""
        m = self.motor_id
        got = probe.read_registers(self.sock, self.iface, [(m, n) for n in numbers], self.timeout,
                                   until_all=until_all)
        if got.most() > 1:
            self._several(got)
        return {n: _U32.unpack(got[(m, n)][0][1])[0] for n in numbers if (m, n) in got}

    def _several(self, got):
        """Several motors answered as this one: say what differs, if anything."""
        heard = sorted({can_id for answers in got.values() for can_id, _ in answers})
        differing = [REGISTERS[n].name for (_, n), answers in sorted(got.items())
                     if len({value for _, value in answers}) > 1]
        what = "%d replies to one read" % got.most()
        if len(heard) > 1:
            what += ", from %s" % ", ".join(id_text(i) for i in heard)
        what += (", with different %s" % ", ".join(differing) if differing
                 else ", alike" if len(heard) == 1 else "")
        text = "several motors answer as %s (%s)" % (report.id_text(self.motor_id), what)
        if self.writing and not self.written:
            raise Refused(text + ": nothing written. Power or connect one new motor at a time, "
                          "give it its own identifiers with `%s %s %s ids NEW_ID NEW_MASTER_ID "
                          "--force`, then connect the next" % (PROG, self.iface,
                                                                report.id_text(self.motor_id)))
        if not self.shared:
            self.shared = True
            print("%s: warning: %s; the values shown are the first answers: power or connect "
                  "one motor at a time and give each its own identifiers with ids"
                  % (PROG, text), file=sys.stderr)

    def read_all(self, numbers):
        words = self.read(numbers)
        missing = [n for n in numbers if n not in words]
        if missing:
            words.update(self.read(missing))  # one more round for a lost frame
        missing = [n for n in numbers if n not in words]
        if missing:
            names = ", ".join(REGISTERS[n].name for n in missing)
            if self.shared:  # their replies collide on the bus
                raise Failed("several motors answer as %s: reads of %s went unanswered; power "
                             "or connect one motor at a time"
                             % (report.id_text(self.motor_id), names))
            raise Failed("motor %s did not answer reads of %s"
                         % (report.id_text(self.motor_id), names))
        return words

    def connect(self):
        """Find the reply identifier (unless given) and open the transport.
        Before a writing command, the read of MST_ID waits its whole time-out
        and counts the replies: several motors answering refuse the command."""
        if self.master_id is None or (self.writing and self.motor is None):
            # The identifier the motor answers from now: a new MST_ID takes
            # effect only at the next power-up.
            got = probe.read_registers(self.sock, self.iface, [(self.motor_id, REG_MST_ID)],
                                       self.timeout, until_all=not self.writing)
            if not got:
                raise Failed("motor %s did not answer on %s (no reply to a read of MST_ID "
                             "within %d ms)" % (report.id_text(self.motor_id), self.iface,
                                                self.args.timeout_ms))
            if got.most() > 1:
                self._several(got)
        if self.master_id is None:
            can_id, value = got[(self.motor_id, REG_MST_ID)][0]
            self.master_id = can_id & 0x7FF
            held = _U32.unpack(value)[0]
            if held & 0x7FF != self.master_id:
                print("note: motor %s answers from %s while its MST_ID register holds %s "
                      "(in effect after a power cycle)" % (report.id_text(self.motor_id),
                                                           report.id_text(self.master_id),
                                                           report.id_text(held)),
                      file=sys.stderr)
        if self.motor is None:
            self.bus = rotalink.SocketCanTransport(self.iface)
            self.motor = rotalink.Damiao(self.motor_id, self.master_id,
                                         timeout_ms=self.args.timeout_ms)

    def write(self, words):
        """Write {number: word}, read them back; print before and after."""
        self.connect()
        before = self.read_all(list(words))
        self.written = True
        for n, word in words.items():
            reg = REGISTERS[n]
            value = _F32.unpack(_U32.pack(word))[0] if reg.is_float else word
            self.motor.write_register(self.bus, n, value)
            if n == REG_CTRL_MODE:
                time.sleep(0.1)  # the firmware takes a moment to change modes
        after = self.read_all(list(words))
        bad = []
        for n, word in words.items():
            unit = UNITS.get(n, "")
            print("%-10s %s -> %s%s" % (REGISTERS[n].name, show_value(n, before[n]),
                                        show_value(n, after[n]), " " + unit if unit else ""))
            if after[n] != word:
                bad.append(n)
        if bad:
            raise Failed("the motor did not take %s (read back differs from what was written)"
                         % ", ".join("%s=%s" % (REGISTERS[n].name, show_value(n, words[n]))
                                     for n in bad))

    def save(self, words):
        """Disable, save to flash, read back the registers written."""
        self.connect()
        self.written = True
        state = self.motor.disable(self.bus)
        if state.error == rotalink.Status.ENABLED:
            raise Failed("motor 0x%03x still reports ENABLED after the disable: not saving to flash"
                         % self.motor.motor_id)
        self.motor.save_parameters(self.bus)
        self.saves += 1
        time.sleep(0.1)  # the firmware is busy writing its flash meanwhile
        after = self.read_all(list(words))
        print("saved to flash (save %d of this run); flash is rated for about %s writes, "
              "so save only settings you keep" % (self.saves, format(FLASH_WRITES, ",")))
        bad = [n for n, w in words.items() if after[n] != w]
        if bad:
            raise Failed("after the save the motor reports other values for %s"
                         % ", ".join(REGISTERS[n].name for n in bad))
        print("read back after the save: as written; only a power cycle shows that flash "
              "kept them")


# commands -----------------------------------------------------------------

#: Commands that change the motor (with --save, every command does).
WRITING = frozenset(["set", "mode", "watchdog", "limits", "ids", "bitrate", "zero", "clear",
                     "restore"])


def _usage(msg):
    raise Refused(msg)


def _dry_run(args, words, save, extra=()):
    lines = [frame_line(args.iface, f) for f in extra]
    lines += [frame_line(args.iface, write_frame(args.motor_id, n, w)) for n, w in words.items()]
    if save:
        lines.append(frame_line(args.iface, rotalink.disable_frame(args.motor_id)))
        lines.append(frame_line(args.iface, save_frame(args.motor_id)))
    print("\n".join(lines))
    print("(dry run: nothing sent)", file=sys.stderr)
    return 0


def _apply(args, session, words, save):
    if args.dry_run:
        return _dry_run(args, words, save)
    if words:
        session.write(words)
    else:
        print("nothing to write")
    if save:
        session.save(words)
    return 0


def _register_words(items, force):
    words = {}
    for item in items:
        key, sep, text = item.partition("=")
        if not sep:
            _usage("expected NAME=VALUE, got %r" % item)
        try:
            reg = find_register(key.strip())
        except ValueError:
            _usage("unknown register %r" % key)
        if not reg.writable:
            _usage("register %s is read-only" % reg.name)
        if reg in GUARDED and not force:
            _usage("register %s changes how the motor is reached after a power cycle: use the "
                   "ids or bitrate command, or --force" % reg.name)
        try:
            words[int(reg)] = parse_value(int(reg), text)
        except ValueError as exc:
            _usage(str(exc))
    return words


def cmd_show(args, session):
    session.connect()
    words = session.read_all(list(REGISTERS))
    regs = {n: report.decode(n, _U32.pack(w)) for n, w in words.items()}
    motor = report.Motor(args.motor_id, regs, answered_from=session.master_id)
    limits = report.presets()
    if args.json:
        doc = report.document(args.iface, [motor], limits)
        doc["registers"] = {REGISTERS[n].name: json_value(n, w) for n, w in words.items()}
        doc["shown"] = {REGISTERS[n].name: show_value(n, w) for n, w in words.items()}
        print(json.dumps(doc, indent=2))
        return 0
    print(report.table([motor], limits))
    print()
    for n, w in words.items():
        reg = REGISTERS[n]
        unit = UNITS.get(n, "")
        print("%2d %-9s %s%s%s" % (n, reg.name, show_value(n, w), " " + unit if unit else "",
                                   "" if reg.writable else "  (read-only)"))
    for w in report.warnings([motor]):
        print("warning: " + w)
    return 0


def cmd_set(args, session):
    if not args.args:
        _usage("set needs NAME=VALUE ...")
    return _apply(args, session, _register_words(args.args, args.force), args.save)


def _nargs(args, n, form):
    if len(args.args) != n:
        _usage("expected: %s" % form)
    return args.args


def cmd_mode(args, session):
    (name,) = _nargs(args, 1, "mode MIT|POS_VEL|VEL|FORCE_POS")
    return _apply(args, session, _register_words(["CTRL_MODE=" + name], False), args.save)


def cmd_watchdog(args, session):
    (ms,) = _nargs(args, 1, "watchdog MS")
    return _apply(args, session, _register_words(["TIMEOUT=" + ms], False), args.save)


def cmd_limits(args, session):
    p, v, t = _nargs(args, 3, "limits PMAX VMAX TMAX")
    return _apply(args, session, _register_words(["PMAX=" + p, "VMAX=" + v, "TMAX=" + t], False),
                  args.save)


def _others(session):
    """The other motors on the bus, as rotalink-scan finds them."""
    ids = [i for i in session.args.ids if i != session.motor_id]
    return cli.scan(session.sock, session.iface, ids, session.timeout)


def _clashes(others, mine):
    before = set(report.warnings(others))
    return [w for w in report.warnings(others + [mine]) if w not in before]


def _power_cycle_steps(args, motor_id, rates=None):
    lines = ["next: power-cycle the motor (the new settings take effect at power-up)"]
    if rates is not None:
        nominal, data = rates
        lines.append("then set the interface to the new bit rate:")
        lines.append("  ip link set %s down" % args.iface)
        if data is None:
            lines += ["  ip link set %s type can bitrate %d" % (args.iface, nominal),
                      "  ip link set %s up" % args.iface]
        else:
            lines.append("  ip link set %s up type can bitrate %d dbitrate %d fd on"
                         % (args.iface, nominal, data))
    lines.append("then find the motor and check what flash kept with:")
    lines.append("  rotalink-scan %s --ids %d" % (args.iface, motor_id))
    lines.append("  %s %s %d show" % (PROG, args.iface, motor_id))
    return "\n".join(lines)


def _refuse_unforced(args, what):
    if not args.force:
        _usage("%s takes effect after a power cycle and decides whether the motor can be "
               "reached; the command saves to flash: add --force to do it" % what)


def cmd_ids(args, session):
    new_motor, new_master = _nargs(args, 2, "ids NEW_MOTOR_ID NEW_MASTER_ID")
    try:
        new_motor, new_master = parse_int(new_motor), parse_int(new_master)
    except ValueError:
        _usage("identifiers are integers (decimal or 0x hex)")
    if not 1 <= new_motor <= cli.MAX_ID or not 0 <= new_master <= cli.MAX_ID:
        _usage("identifiers are 1..0x%X (motor) and 0..0x%X (master)" % (cli.MAX_ID, cli.MAX_ID))
    _refuse_unforced(args, "a change of identifiers")
    words = {REG_MST_ID: new_master, REG_ESC_ID: new_motor}
    if args.dry_run:
        return _dry_run(args, words, True)
    session.connect()  # several motors answering as this one refuse it here
    others = _others(session)
    mine = report.Motor(new_motor, {REG_MST_ID: new_master})
    clashes = _clashes(others, mine)
    if clashes:
        _usage("refused, the new identifiers clash with motors on the bus:\n  "
               + "\n  ".join(clashes))
    _apply(args, session, words, True)
    print(_power_cycle_steps(args, new_motor))
    return 0


def cmd_bitrate(args, session):
    (text,) = _nargs(args, 1, "bitrate RATE")
    try:
        rates, code = bit_rate(text)
    except ValueError as exc:
        _usage(str(exc))
    _refuse_unforced(args, "a change of bit rate")
    words = {REG_CAN_BR: code}
    if args.dry_run:
        return _dry_run(args, words, True)
    _apply(args, session, words, True)
    print(_power_cycle_steps(args, args.motor_id, rates))
    return 0


def cmd_zero(args, session):
    _nargs(args, 0, "zero")
    frame = rotalink.set_zero_frame(args.motor_id)
    if args.dry_run:
        return _dry_run(args, {}, False, [frame])
    if not args.yes:
        try:
            answer = input("make the current position of motor %s its zero? [y/N] "
                           % report.id_text(args.motor_id))
        except EOFError:
            answer = ""
        if answer.strip().lower() not in ("y", "yes"):
            _usage("not confirmed: nothing sent")
    session.connect()
    session.written = True
    session.motor.set_zero(session.bus)
    print("the current position of motor %s is its zero now" % report.id_text(args.motor_id))
    return 0


def _mode_clear(session):
    """Clear-error on the identifier of the motor's mode, for older firmware
    in a non-MIT mode, which takes it only there; the status after it, or
    None when the mode is MIT or no feedback came."""
    mode = mode_of_its_own(session.motor_id, session.read([REG_CTRL_MODE]).get(REG_CTRL_MODE))
    if mode is None:
        return None
    heard = Attribution([session.motor_id],
                        {(session.master_id, session.motor_id & 0xF): session.motor_id})
    probe.receive_waiting(session.sock, session.iface, lambda raw: None)
    frame = rotalink.clear_error_frame(session.motor_id, mode)
    probe.send_frame(session.sock, session.iface, pack_frame(*frame), heard.take)
    probe.receive_until(session.sock, session.iface, time.monotonic() + session.timeout,
                        heard.take, lambda: heard.got)
    got = heard.got.get(session.motor_id)
    return None if got is None else got[1]


def cmd_clear(args, session):
    _nargs(args, 0, "clear")
    frame = rotalink.clear_error_frame(args.motor_id)
    if args.dry_run:
        return _dry_run(args, {}, False, [frame])
    session.connect()
    session.written = True
    status = session.motor.clear_error(session.bus).error
    if status != rotalink.Status.DISABLED:
        after = _mode_clear(session)
        if after is not None:
            status = after
    print("motor %s reports %s after clear-error" % (report.id_text(args.motor_id),
                                                    status_name(status)))
    if status != rotalink.Status.DISABLED:
        raise Failed("motor %s still reports %s after clear-error"
                     % (report.id_text(args.motor_id), status_name(status)))
    return 0


def cmd_dump(args, session):
    (path,) = _nargs(args, 1, "dump FILE")
    session.connect()
    words = session.read_all(list(REGISTERS))
    doc = {"tool": PROG, "version": rotalink.__version__, "interface": args.iface,
           "motor_id": args.motor_id, "master_id": session.master_id,
           "registers": {REGISTERS[n].name: json_value(n, w) for n, w in words.items()}}
    try:
        with open(path, "w", encoding="ascii") as f:
            f.write(json.dumps(doc, indent=2) + "\n")
    except OSError as exc:
        _usage("cannot write %s: %s" % (path, exc.strerror or exc))
    print("%d registers of motor %s written to %s" % (len(words), report.id_text(args.motor_id),
                                                      path))
    return 0


def _load_dump(path):
    try:
        with open(path, encoding="ascii") as f:
            doc = json.load(f)
        regs = doc["registers"]
        words = {}
        for key, value in regs.items():
            reg = find_register(key)
            if isinstance(value, str):
                value = float(value)  # "nan", "inf"
            words[int(reg)] = word_of_json(int(reg), value)
        return words
    except (OSError, UnicodeDecodeError, ValueError, KeyError, TypeError, AttributeError,
            OverflowError, struct.error) as exc:
        _usage("%s is no register dump: %s" % (path, exc))


def cmd_restore(args, session):
    (path,) = _nargs(args, 1, "restore FILE")
    wanted = _load_dump(path)
    session.connect()
    now = session.read_all([n for n in wanted if REGISTERS[n].writable])
    words = {}
    for n, word in sorted(wanted.items()):
        if not REGISTERS[n].writable or now[n] == word:
            continue
        unit = UNITS.get(n, "")
        held = n in GUARDED and not args.force
        print("%-10s %s -> %s%s%s" % (REGISTERS[n].name, show_value(n, now[n]),
                                      show_value(n, word), " " + unit if unit else "",
                                      "  (kept: only with --force)" if held else ""))
        if not held:
            words[n] = word
    if not words:
        print("nothing to restore: the writable registers hold the file's values")
        return 0
    return _apply(args, session, words, args.save)


COMMANDS = {"show": cmd_show, "set": cmd_set, "mode": cmd_mode, "watchdog": cmd_watchdog,
            "limits": cmd_limits, "ids": cmd_ids, "bitrate": cmd_bitrate, "zero": cmd_zero,
            "clear": cmd_clear, "dump": cmd_dump, "restore": cmd_restore}
#: Commands that need nothing from the bus for --dry-run.
_OFFLINE = ("set", "mode", "watchdog", "limits", "ids", "bitrate", "zero", "clear")


def _motor_id(text):
    value = cli._int(text)
    if not 0 <= value <= cli.MAX_ID:
        raise argparse.ArgumentTypeError("motor identifier %s is out of range (0..0x%X)"
                                         % (text, cli.MAX_ID))
    return value


def _master_id(text):
    value = cli._int(text)
    if not 0 <= value <= 0xFFFF:
        raise argparse.ArgumentTypeError("master identifier %s is out of range" % text)
    return value


def build_parser():
    p = argparse.ArgumentParser(prog=PROG, description=_DESCRIPTION, epilog=_EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("iface", type=cli._iface, metavar="IFACE", help="CAN interface, e.g. can0 or vcan0")
    p.add_argument("motor_id", type=_motor_id, metavar="MOTOR_ID",
                   help="the motor's command identifier")
    p.add_argument("command", nargs="?", default="show", choices=sorted(COMMANDS),
                   metavar="COMMAND", help="one of: %s (default show)" % ", ".join(COMMANDS))
    p.add_argument("args", nargs="*", metavar="ARG", help="the command's arguments")
    p.add_argument("--master-id", type=_master_id, metavar="ID",
                   help="the motor's reply identifier (default: read from its MST_ID register)")
    p.add_argument("--save", action="store_true",
                   help="save to flash after the writes (disables the motor first)")
    p.add_argument("--force", action="store_true",
                   help="allow changes of identifiers and bit rate")
    p.add_argument("--yes", action="store_true", help="zero without asking")
    p.add_argument("--dry-run", action="store_true",
                   help="print the frames a writing command would send (candump format) "
                        "and send nothing")
    p.add_argument("--json", action="store_true", help="show: print a JSON document")
    p.add_argument("--ids", type=cli.parse_ids, default=cli.parse_ids("1-0x7FE"), metavar="IDS",
                   help="ids: the command identifiers scanned for clashes (default 1-0x7FE)")
    p.add_argument("--timeout-ms", type=cli._timeout_ms, default=100, metavar="N",
                   help="how long to wait for replies, in ms (default 100)")
    return p


def main(argv=None):
    parser = build_parser()
    args = parser.parse_intermixed_args(argv)
    if args.command == "show" and args.args:
        parser.error("show takes no arguments")
    run = COMMANDS[args.command]
    try:
        session = None if args.dry_run and args.command in _OFFLINE else Session(args)
        try:
            return run(args, session)
        finally:
            if session is not None:
                session.close()
    except Refused as exc:
        print("%s: %s" % (PROG, exc), file=sys.stderr)
        return 2
    except (Failed, probe.ScanError) as exc:
        print("%s: %s" % (PROG, exc), file=sys.stderr)
        return 1
    except (ValueError, TypeError, OverflowError) as exc:  # a value the driver does not send
        print("%s: %s" % (PROG, exc), file=sys.stderr)
        return 2
    except RuntimeError as exc:  # the driver: no answer, a refused save
        print("%s: %s" % (PROG, exc), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
