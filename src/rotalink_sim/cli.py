"""Command line of the motor simulator (``rotalink-sim`` / ``python -m rotalink_sim``)."""

import argparse
import os
import select
import signal
import socket
import subprocess
import sys

from .codec import PRESETS
from .model import (CAN_BR_CODES, CONTROL_MODES, RANGES, REG_ESC_ID, REG_MST_ID, REGISTERS, Motor,
                    acceptable, fault_code, find_register, load_flash, parse_int, register_word)
from .sim import Simulator

__all__ = ["build_parser", "parse_args", "main"]

_DESCRIPTION = """\
Simulate Damiao DM-series motors on a SocketCAN interface.

Each motor takes commands on standard identifier ID = MOTOR_ID & 0x7FF (enable
FF*7 FC, disable FD, set zero FE, clear error FB, anything else of 8 bytes an
MIT command) and, for its other control modes, on ID + 0x100 (POS_VEL: float32
position, float32 velocity limit), ID + 0x200 (VEL: float32 velocity, 4 to 8
bytes) and ID + 0x300 (FORCE_POS: float32 position, uint16 velocity limit x
100, uint16 current limit x 10000), all little-endian. It answers each with
one 8-byte feedback frame from MASTER_ID & 0x7FF, but follows only the kind of
its control mode (register 10, --mode). It takes the special commands (FF*7
FC, FD, FE, FB) on ID and on the identifier of its mode (ID + 0x100, 0x200 or
0x300); with --legacy-special, in a mode other than MIT, only on the latter.
On identifier 0x7FF it answers refresh requests (ID lo, ID hi, CC) with its
feedback and serves register reads (0x33) and writes (0x55) for every register
of the firmware's map (see below); a register outside it goes unanswered. CAN
FD frames are taken as classic ones.
Prints "ready" on standard output once bound and runs until SIGTERM or SIGINT
(exit status 0) or until --exit-after. With --background it returns once the
simulator is ready, printing "ready (pid N)", and leaves it running detached."""

_EPILOG = """\
models (case-insensitive): %s

status codes (high nibble of feedback byte 0; --fault takes the name or code):
   0 disabled               10 over-current             13 communication-lost
   1 enabled                11 mos-over-temperature     14 overload
   8 over-voltage           12 coil-over-temperature
   9 under-voltage

A fault disables the motor as a tripped drive does: no torque, commands
ignored, and an enable is answered with the fault code but refused. The
clear-error command (FF*7 FB) clears the fault and leaves the motor disabled
(status 0) until the next enable, so it never starts driving again on its own.
Register 9 (TIMEOUT) is the communication watchdog: when it is not 0, an
enabled motor trips communication-lost (13) once TIMEOUT x 50 us pass without
a command or refresh for it (register requests do not count); preset it with
--register TIMEOUT=400 (20 ms) or write it over the bus.

registers (number name, * writable):
%s

ranges of the writable registers (a write outside is refused):
%s

can_br (35) codes, the bus's bit rate from the next power-up (FD: CAN FD,
arbitration/data bit rate; the simulator keeps running on its interface):
%s

Every model starts with MST_ID/ESC_ID = its master/motor id, CTRL_MODE =
--mode, PMAX/VMAX/TMAX = the model's limits, hw_ver 0x0003, sw_ver 0x5012,
sub_ver 0x0002, can_br 4, UV_Value 15 V, DEC -20 and an SN of each motor's own
(the process id and the motor's number in it: it tells apart motors started
with the same ids, in one simulator or several; --register SN=N or the flash
file sets it); the other values are illustrative, not measured, and lie in the
ranges. A write to a writable register within its range is stored and read
back, one outside it is refused and a write to a read-only one changes
nothing; either is answered with the value held after, so a refused write
echoes the old value. --register and the flash file keep to the ranges too.
PMAX, VMAX and TMAX scale the MIT commands and the feedback from the next
frame on. MST_ID and ESC_ID are only stored: the motor keeps answering on the
identifiers it was started with, as a real motor does until its settings are
saved and it is powered up again: with --flash FILE a save command writes every
register to FILE (JSON), and the next start with the same --flash takes them,
identifiers and can_br included (a save while the motor is enabled is refused,
as the firmware refuses it). --flash takes one motor per simulator; given
alone, without --motor, it starts the motor its file describes.

examples:
  rotalink-sim vcan0 --motor-id 1 --master-id 0x11 --model dm4310
  rotalink-sim vcan0 --motor 1:0x11 --fault overload@5 --background
  rotalink-sim vcan0 --motor 1:0x11 --motor 2:0x12:dm8009 --delay-ms 5
  rotalink-sim vcan0 --motor 1:0x11 --register PMAX=3.14 --register MST_ID=0x12
  rotalink-sim vcan0 --motor 1:0 --flash motor1.json
  rotalink-sim vcan0 --flash motor1.json
  rotalink-sim vcan0 --motor 1:0x11 --mode vel --legacy-special
"""


def _columns(cells, across):
    return "\n".join(("  " + "  ".join(row)).rstrip()
                     for row in (cells[i:i + across] for i in range(0, len(cells), across)))


def _rate(bps):
    return "%gM" % (bps / 1e6) if bps >= 1000000 else "%dk" % (bps // 1000)


_EPILOG %= (
    ", ".join(PRESETS),
    _columns(["%2d %-9s" % (r.number, r.name + ("*" if r.writable else ""))
              for r in REGISTERS.values()], 4),
    _columns(["%-9s %-15s" % (REGISTERS[n].name, rng) for n, rng in RANGES.items()], 3),
    _columns(["%d %-10s" % (code, _rate(rate) if data is None
                            else "FD %s/%s" % (_rate(rate), _rate(data)))
              for code, (rate, data) in CAN_BR_CODES.items()], 5))


def _int(text):
    """An integer in decimal or with a 0x/0o/0b prefix (leading zeros allowed)."""
    try:
        return parse_int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid integer: %r" % text) from None


def _ranged(lo, hi=None):
    def parse(text):
        value = _int(text)
        if value < lo or (hi is not None and value > hi):
            bound = "%d..%d" % (lo, hi) if hi is not None else ">= %d" % lo
            raise argparse.ArgumentTypeError("%s is out of range (%s)" % (text, bound))
        return value
    return parse


def _nonneg_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid number: %r" % text) from None
    if not (value >= 0.0 and value != float("inf")):
        raise argparse.ArgumentTypeError("%s must be a finite number >= 0" % text)
    return value


def _model(text):
    key = text.lower()
    if key not in PRESETS:
        raise argparse.ArgumentTypeError(
            "unknown model %r (choose from %s)" % (text, ", ".join(PRESETS)))
    return key


def _fault_arg(text):
    """``NAME[@SECONDS]``: a fault (name or code 8..14) and when it trips."""
    name, sep, when = text.partition("@")
    try:
        code = fault_code(name)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    if not sep:
        return code, None
    try:
        return code, _nonneg_float(when)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(
            "the time in %r must be seconds, a finite number >= 0" % text) from None


def _motor_arg(text):
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise argparse.ArgumentTypeError("expected ID:MASTER[:MODEL], got %r" % text)
    u16 = _ranged(0, 0xFFFF)
    motor_id, master_id = u16(parts[0]), u16(parts[1])
    model = _model(parts[2]) if len(parts) == 3 else "dm4310"
    return motor_id, master_id, model


def _register_arg(text):
    """``N=VALUE``: a register number or name and a value of its kind."""
    key, sep, value = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError("expected N=VALUE, got %r" % text)
    try:
        reg = find_register(key.strip())
    except ValueError:
        raise argparse.ArgumentTypeError("unknown register %r" % key) from None
    value = value.strip()
    try:
        if reg.is_float:
            parsed = float(value)
        else:
            parsed = _int(value)
        word = register_word(reg, parsed)
    except (ValueError, TypeError, argparse.ArgumentTypeError):
        kind = "a number" if reg.is_float else "an integer in 0..0xFFFFFFFF"
        raise argparse.ArgumentTypeError(
            "register %s takes %s, got %r" % (reg.name, kind, value)) from None
    if not acceptable(reg, word):
        raise argparse.ArgumentTypeError("register %s takes only values in %s, got %r"
                                         % (reg.name, RANGES[reg.number], value))
    return reg.number, parsed


def build_parser():
    p = argparse.ArgumentParser(
        prog="rotalink-sim", description=_DESCRIPTION, epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("iface", metavar="IFACE", help="CAN network interface, e.g. vcan0")

    g = p.add_argument_group("motors (integers in decimal or 0x hex)")
    g.add_argument("--motor-id", type=_ranged(0, 0xFFFF), metavar="ID",
                   help="motor_id of a single motor (commands arrive on ID & 0x7FF)")
    g.add_argument("--master-id", type=_ranged(0, 0xFFFF), metavar="ID",
                   help="master_id of that motor (it answers from ID & 0x7FF)")
    g.add_argument("--model", type=_model, default=None, metavar="MODEL",
                   help="model preset of that motor (default dm4310)")
    g.add_argument("--motor", type=_motor_arg, action="append", default=[],
                   metavar="ID:MASTER[:MODEL]",
                   help="add a motor; repeatable, combinable with --motor-id")

    g = p.add_argument_group("initial motor state (applies to every motor)")
    g.add_argument("--mode", choices=sorted(CONTROL_MODES, key=CONTROL_MODES.get),
                   default="mit", help="initial control mode, register 10 (default mit)")
    g.add_argument("--error", type=_ranged(0, 15), default=0, metavar="N",
                   help="report code N in place of the status until a clear-error "
                        "command; 8..14 are faults, as --fault N (default 0: the code "
                        "follows the state)")
    g.add_argument("--fault", type=_fault_arg, action="append", default=[],
                   metavar="NAME[@SECONDS]",
                   help="a fault (name or code, see below; case-insensitive, hyphens "
                        "optional) active from the start, or tripping SECONDS after the "
                        "simulator is ready; repeatable, a later trip replaces the code")
    g.add_argument("--t-mos", type=_ranged(0, 255), default=30, metavar="N",
                   help="MOS temperature byte (default 30)")
    g.add_argument("--t-rotor", type=_ranged(0, 255), default=32, metavar="N",
                   help="rotor temperature byte (default 32)")
    g.add_argument("--register", type=_register_arg, action="append", default=[],
                   metavar="N=VALUE",
                   help="preset register N (number or name, e.g. PMAX=3.14, MST_ID=0x12, "
                        "sw_ver=0x5013, SN=0x1234), read-only ones included with any value, "
                        "writable ones within their ranges (below); repeatable, applied "
                        "after --mode and the model")
    g.add_argument("--legacy-special", action="store_true",
                   help="older firmware: in a mode other than MIT the motor takes enable, "
                        "disable, set zero and clear error only on its mode's identifier "
                        "(ID + 0x100, 0x200, 0x300); on ID it answers them with its "
                        "feedback and does nothing else. In MIT mode nothing changes")

    g = p.add_argument_group("register faults")
    g.add_argument("--ignore-writes", action="store_true",
                   help="answer register writes without applying them")
    g.add_argument("--mode-high-bits", action="store_true",
                   help="reads of register 10 report mode | 0x100 (257 for MIT)")
    g.add_argument("--answer-reads", type=_ranged(0), metavar="N",
                   help="each motor answers only its first N register reads")

    g = p.add_argument_group("command faults")
    g.add_argument("--ignore-disables", type=_ranged(0), default=0, metavar="N",
                   help="each motor answers its first N disable commands with its feedback "
                        "but stays enabled (or as it is)")

    g = p.add_argument_group("reply faults")
    g.add_argument("--delay-ms", type=_nonneg_float, default=0.0, metavar="MS",
                   help="send every reply MS milliseconds late")
    g.add_argument("--drop-every", type=_ranged(1), metavar="N",
                   help="drop every Nth reply, counting the replies of all motors (1 drops all)")
    g.add_argument("--silent", action="store_true", help="never answer anything")
    g.add_argument("--short-reply", type=_ranged(0, 7), metavar="N",
                   help="replies carry only their first N data bytes")
    g.add_argument("--wrong-id", action="store_true",
                   help="answer from (master_id + 1) & 0x7FF")
    g.add_argument("--extended-reply", action="store_true",
                   help="answer with an extended identifier of value master_id & 0x7FF")
    g.add_argument("--fd-reply", action="store_true",
                   help="answer with CAN FD frames of the same 8 data bytes")
    g.add_argument("--foreign-first", type=_ranged(0), default=0, metavar="N",
                   help="send N frames from a foreign identifier (0x7F0) before each reply")
    g.add_argument("--flood", type=_nonneg_float, metavar="HZ",
                   help="send foreign frames from 0x7F0 at HZ in the background "
                        "(0: as fast as possible)")
    g.add_argument("--late-reply", action="store_true",
                   help="send every reply twice, the copy 1 ms after the first")

    g = p.add_argument_group("run")
    g.add_argument("--log", metavar="FILE",
                   help="append a line per frame received and sent, e.g. "
                        "'rx 001 FFFFFFFFFFFFFFFC' (flood frames are not logged)")
    g.add_argument("--flash", metavar="FILE",
                   help="the motor's flash: its saved registers (JSON) are loaded at start, "
                        "over the command line's settings, identifiers included (no file: "
                        "nothing saved yet), and a save command (7FF: ID lo, ID hi, AA 01) "
                        "writes every register there, unless the motor is enabled; so new "
                        "identifiers take effect at the next start, as at a power-up. "
                        "Alone, without --motor or --motor-id, it starts the motor FILE "
                        "describes: its identifiers, mode, limits and serial number. One "
                        "motor per simulator: run one simulator per motor to give each its "
                        "own file")
    g.add_argument("--exit-after", type=_nonneg_float, metavar="SECONDS",
                   help="exit (status 0) after SECONDS")
    g.add_argument("--background", action="store_true",
                   help="return once the simulator is ready, printing 'ready (pid N)', and "
                        "leave it running in a session of its own (stop it with kill N); "
                        "its later diagnostics go to --log or are discarded")
    return p


def parse_args(argv=None):
    """Parse the command line; return ``(namespace, motors, simulator_options)``."""
    parser = build_parser()
    ns = parser.parse_args(argv)
    entries = []
    if ns.motor_id is not None:
        if ns.master_id is None:
            parser.error("--motor-id needs --master-id")
        entries.append((ns.motor_id, ns.master_id, ns.model or "dm4310"))
    elif ns.master_id is not None or ns.model is not None:
        parser.error("--master-id and --model describe the motor of --motor-id")
    entries.extend(ns.motor)
    if not entries and ns.flash is None:
        parser.error("no motor given: use --motor-id/--master-id, --motor or --flash FILE")
    ids = [s[0] for s in entries]
    dup = sorted({i for i in ids if ids.count(i) > 1})
    if dup:
        parser.error("motor_id given twice: %s" % ", ".join("0x%x" % i for i in dup))
    saved = {}
    if ns.flash is not None:
        if len(entries) > 1:
            parser.error("--flash belongs to one motor: run one simulator per motor, each "
                         "with its own flash file")
        try:
            saved = load_flash(ns.flash)
        except ValueError as exc:
            parser.error(str(exc))
        if entries:
            motor_id, master_id, model = entries[0]
        else:  # the file alone describes the motor: its identifiers must be there
            missing = [name for number, name in ((REG_ESC_ID, "ESC_ID"), (REG_MST_ID, "MST_ID"))
                       if number not in saved]
            if missing:
                what = "no " + " or ".join(missing) if saved else "nothing saved yet"
                parser.error("--flash alone takes the motor from its file, and %s holds %s: "
                             "give the motor with --motor ID:MASTER" % (ns.flash, what))
            motor_id = master_id = None
            model = "dm4310"
        entries = [(saved.get(REG_ESC_ID, motor_id), saved.get(REG_MST_ID, master_id), model)]
    try:
        motors = [
            Motor(motor_id, master_id, model, mode=ns.mode, error=ns.error, faults=ns.fault,
                  t_mos=ns.t_mos, t_rotor=ns.t_rotor, legacy_special=ns.legacy_special,
                  registers=list(ns.register) + sorted(saved.items()))
            for motor_id, master_id, model in entries
        ]
    except ValueError as exc:  # saved identifiers past 16 bits
        parser.error(str(exc))
    options = dict(
        ignore_writes=ns.ignore_writes, mode_high_bits=ns.mode_high_bits,
        answer_reads=ns.answer_reads, ignore_disables=ns.ignore_disables,
        delay_ms=ns.delay_ms, drop_every=ns.drop_every,
        silent=ns.silent, short_reply=ns.short_reply, wrong_id=ns.wrong_id,
        extended_reply=ns.extended_reply, fd_reply=ns.fd_reply,
        foreign_first=ns.foreign_first, flood=ns.flood, late_reply=ns.late_reply,
        log=ns.log, flash=ns.flash,
    )
    return ns, motors, options


def _print_ready():
    try:
        sys.stdout.write("ready\n")
        sys.stdout.flush()
    except (BrokenPipeError, ValueError):
        pass  # nobody listens for it


#: Set in the environment of the process that --background starts.
_DETACHED = "ROTALINK_SIM_DETACHED"


def _detach_ready(log):
    """Ready in the background: tell the starting process, then let go of its pipes.

    Standard output and error go to the log (appended) or to /dev/null, so
    that nothing the simulator writes later can fail for want of a reader.
    """
    _print_ready()
    target = os.devnull
    if log is not None:
        target = log
    try:
        fd = os.open(target, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    except OSError:
        fd = os.open(os.devnull, os.O_WRONLY)
    for std in (1, 2):
        os.dup2(fd, std)
    os.close(fd)


class _Interrupted(Exception):
    pass


def _interrupt(signo, _frame):
    raise _Interrupted(signo)


def _end(proc):
    """SIGTERM to a child still running, SIGKILL if it lingers 5 s; wait for it."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5.0)
        except subprocess.TimeoutExpired:
            proc.kill()
    proc.wait()


def _background(argv):
    """Start the simulator detached and wait for its ``ready``; returns the exit status."""
    from .process import child_env

    env = child_env()
    env[_DETACHED] = "1"
    previous = {sig: signal.signal(sig, _interrupt)
                for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    proc = None
    try:
        proc = subprocess.Popen([sys.executable, "-m", "rotalink_sim"] + list(argv),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, start_new_session=True)
        out, err = b"", b""
        streams = [proc.stdout, proc.stderr]
        while b"\n" not in out and proc.stdout in streams:
            for stream in select.select(streams, [], [])[0]:
                chunk = os.read(stream.fileno(), 4096)
                if not chunk:
                    streams.remove(stream)
                elif stream is proc.stdout:
                    out += chunk
                else:
                    err += chunk
        if out.split(b"\n", 1)[0].strip() == b"ready":
            # What it wrote before it was ready (warnings) is shown here.
            while select.select([proc.stderr], [], [], 0)[0]:
                chunk = os.read(proc.stderr.fileno(), 4096)
                if not chunk:
                    break
                err += chunk
            sys.stderr.write(err.decode("utf-8", "replace"))
            print("ready (pid %d)" % proc.pid, flush=True)
            return 0
        # It exited (or printed something else): show why, end it, pass its status on.
        _end(proc)
        err += proc.stderr.read()
        status = proc.returncode
        sys.stderr.write(err.decode("utf-8", "replace"))
        if out.strip():
            sys.stderr.write("rotalink-sim: unexpected output: %s\n"
                             % out.decode("utf-8", "replace").strip())
        return status if status > 0 else 1
    except _Interrupted as exc:
        if proc is not None:
            _end(proc)
        return 128 + exc.args[0]
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        if proc is not None:
            proc.stdout.close()
            proc.stderr.close()


def main(argv=None):
    """Run the simulator; returns the process exit status."""
    if argv is None:
        argv = sys.argv[1:]
    ns, motors, options = parse_args(argv)
    detached = os.environ.pop(_DETACHED, None) == "1" and ns.background
    if ns.background and not detached:
        return _background(argv)
    if not hasattr(socket, "AF_CAN"):
        print("rotalink-sim: this Python has no SocketCAN support", file=sys.stderr)
        return 1
    try:
        sim = Simulator(ns.iface, motors, **options)
    except OSError as exc:  # the log file
        print("rotalink-sim: %s" % exc, file=sys.stderr)
        return 1
    try:
        try:
            sim.open()
        except OSError as exc:
            print("rotalink-sim: cannot open CAN interface %r: %s" % (ns.iface, exc),
                  file=sys.stderr)
            return 1
        previous = {}
        for sig in (signal.SIGTERM, signal.SIGINT):
            previous[sig] = signal.signal(sig, lambda _signo, _frame: sim.stop())
        try:
            ready = _print_ready
            if detached:
                ready = lambda: _detach_ready(ns.log)  # noqa: E731
            sim.serve_forever(ready=ready, exit_after=ns.exit_after)
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
        return 0
    finally:
        sim.close()
