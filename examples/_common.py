"""What the motor examples share: the model presets, the common options,
opening a bus, stopping on SIGINT/SIGTERM, a steady tick, the scope in
which the motors are enabled, and the setpoint loop of sine.py,
two_motors.py and group.py with its optional plot.

Not an example of its own: the examples import it as a sibling module.

Every example drives its motors through a rotalink.MotorGroup, one motor or
several: a group cycle drops the frames already queued before it sends, so
a reply that came too late for one command and is queued by the next one is
not taken as its answer (one that arrives only after that drain can be:
feedback carries no sequence number). The motors are enabled only inside
`with group:`, which disables every one of them however the block ends (its
end, an exception, Ctrl-C or SIGTERM), and the group gives each motor a
watchdog, so that a motor whose program dies without a word (SIGKILL, a
pulled cable) disables itself too.
"""
from __future__ import annotations

import argparse
import contextlib
import errno
import importlib
import math
import os
import re
import signal
import sys
import time
from array import array
from pathlib import Path
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

import rotalink

# The preset names, in the order of the native preset table (the order in
# which the module registers MitLimits' static methods): dm3507, dm4310, ...
MODELS: List[str] = [name for name, value in vars(rotalink.MitLimits).items()
                     if name.startswith("dm") and isinstance(value, staticmethod)]

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)

# Give up after this many failed cycles in a row.
MAX_MISSES_IN_A_ROW = 10

# The motors' watchdog (register 9): a motor that hears no command for this
# long disables itself and reports COMM_LOST. By default ten periods of the
# loop, so that a late cycle or two (a garbage collection, a busy machine)
# do not trip it, and no less than 50 ms, about the longest pause a loaded
# Linux machine puts into a healthy Python loop; a motor whose program died
# then goes on with its last command for at most that long.
WATCHDOG_PERIODS = 10
WATCHDOG_MIN_MS = 50

# A loop that ran at less than this share of its --rate says so at the end.
SLOW_SHARE = 0.9

# Test hook: the setpoint loop raises RuntimeError before its cycle number N
# (counted from 1) when this variable is N, to show that an exception inside
# the loop leaves every motor disabled.
FAIL_AT = "ROTALINK_EXAMPLE_FAIL_AT"

# A disable that failed is sent again this often (seconds), for --disable-retry seconds.
RETRY_PERIOD = 0.1

# A plot keeps at most this many samples per motor: a longer run records
# every n-th cycle.
MAX_PLOT_SAMPLES = 20000

Member = Tuple[rotalink.SocketCanTransport, rotalink.Damiao]
States = Sequence[Optional[rotalink.MotorState]]


def limits_of(model: str) -> rotalink.MitLimits:
    preset: Callable[[], rotalink.MitLimits] = getattr(rotalink.MitLimits, model)
    return preset()


# -------------------------------------------------------------- opening a bus

CAN_TYPE = 280  # ARPHRD_CAN, in /sys/class/net/IFACE/type
LIST_CAN = ("list the CAN interfaces with: ip -details link show type can "
            "(virtual ones: ip link show type vcan)")


def _interface_type(iface: str) -> Optional[int]:
    """The ARPHRD type of the network interface `iface`, None if there is none."""
    if not iface or "/" in iface or iface in (".", ".."):
        return None
    try:
        return int(Path("/sys/class/net", iface, "type").read_text())
    except (OSError, ValueError):
        return None


def bus_hint(iface: str, message: str) -> str:
    """What to do about a bus that failed to open with the OSError text
    `message` ('No such device (os error 19)'), or '' when there is no advice."""
    found = re.search(r"\(os error (\d+)\)$", message)
    code = int(found.group(1)) if found else None
    if code == errno.ENODEV:
        kind = _interface_type(iface)
        if kind is None:
            hint = f"there is no network interface named {iface}; {LIST_CAN}"
            if iface.startswith("vcan"):
                hint += (f"; make a virtual one with: sudo ip link add dev {iface} type vcan"
                         f" && sudo ip link set {iface} up")
            return hint
        if kind != CAN_TYPE:
            return f"{iface} is not a CAN interface; {LIST_CAN}"
    elif code in (errno.EAFNOSUPPORT, errno.EPROTONOSUPPORT):
        return ("this kernel has no CAN sockets loaded: sudo modprobe can_raw "
                "(and sudo modprobe vcan for a virtual interface)")
    return ""


def on_bus(iface: str, body: Callable[[rotalink.SocketCanTransport], int]) -> int:
    """body(the bus)'s exit status, until_stopped; 1 when the bus cannot be opened."""
    bus = open_bus(iface)
    if bus is None:
        return 1
    return until_stopped(lambda: body(bus))


def open_bus(iface: str) -> Optional[rotalink.SocketCanTransport]:
    """The bus, or None after printing why it cannot be opened."""
    try:
        return rotalink.SocketCanTransport(iface)
    except OSError as exc:
        print(f"error: cannot open {iface}: {exc}", file=sys.stderr)
        hint = bus_hint(iface, str(exc))
        if hint:
            print(f"hint: {hint}", file=sys.stderr)
        return None


# ------------------------------------------------------------------ options

def motor_of(args: argparse.Namespace) -> rotalink.Damiao:
    """The motor of the --motor-id, --master-id, --model and --timeout-ms options."""
    return rotalink.Damiao(args.motor_id, args.master_id, limits_of(args.model),
                           timeout_ms=args.timeout_ms)


def identifier(text: str) -> int:
    """An identifier in decimal or 0x hex, 0..0xFFFF."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid identifier: {text!r}") from None
    if not 0 <= value <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"{text} is out of range (0..0xFFFF)")
    return value


def whole(text: str) -> int:
    """A whole number, zero or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} must be zero or more")
    return value


def positive(text: str) -> int:
    """A whole number, one or more."""
    value = whole(text)
    if value == 0:
        raise argparse.ArgumentTypeError(f"{text} must be one or more")
    return value


def share(text: str) -> float:
    """A share of a range or of a peak, from 0 to 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text} is not between 0 and 1")
    return value


def model_arg(text: str) -> str:
    """A model preset name in any case (DM4310 is dm4310)."""
    model = text.lower()
    if model not in MODELS:
        raise argparse.ArgumentTypeError(f"unknown model {text!r} (choose from {', '.join(MODELS)})")
    return model


def motor_arg(text: str) -> Tuple[int, int, str]:
    """ID:MASTER[:MODEL], identifiers in decimal or 0x hex."""
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise argparse.ArgumentTypeError(f"expected ID:MASTER[:MODEL], got {text!r}")
    try:
        motor_id, master_id = int(parts[0], 0), int(parts[1], 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid identifier in {text!r}") from None
    if not (0 <= motor_id <= 0xFFFF and 0 <= master_id <= 0xFFFF):
        raise argparse.ArgumentTypeError(f"identifier out of range (0..0xFFFF) in {text!r}")
    model = model_arg(parts[2]) if len(parts) == 3 else "dm4310"
    return motor_id, master_id, model


def parser(description: str) -> argparse.ArgumentParser:
    """A parser whose one positional argument is the CAN interface."""
    p = argparse.ArgumentParser(description=description)
    p.add_argument("iface", help="CAN interface, e.g. can0 or vcan0")
    return p


def add_motor(p: argparse.ArgumentParser) -> None:
    """--motor-id, --master-id and --model of the one motor an example drives."""
    p.add_argument("--motor-id", type=identifier, default=0x01,
                   help="command id (CAN ID), default 0x01")
    p.add_argument("--master-id", type=identifier, default=0x11,
                   help="feedback id (Master ID), default 0x11")
    p.add_argument("--model", type=model_arg, default="dm4310", metavar="MODEL",
                   help="limits preset, in any case: " + ", ".join(MODELS) + "; default dm4310")


def add_sine(p: argparse.ArgumentParser, *, rate: float, ticks: str,
             phase_of: str = "") -> None:
    """--amplitude, --frequency, --duration and --rate of a sine; --phase too
    when `phase_of` names what the phase shifts."""
    p.add_argument("--amplitude", type=float, default=0.5, help="rad, default 0.5")
    p.add_argument("--frequency", type=float, default=0.5, help="Hz, default 0.5")
    if phase_of:
        p.add_argument("--phase", type=float, default=180.0,
                       help=f"phase of {phase_of} in degrees, default 180")
    p.add_argument("--duration", type=float, default=5.0, help="s, default 5")
    p.add_argument("--rate", type=float, default=rate, help=f"{ticks} per second, default {rate:g}")


def add_command(p: argparse.ArgumentParser, *, kp: float, kd: float, gains_of: str = "") -> None:
    """--kp and --kd of the MIT commands, --timeout-ms of every reply, --watchdog-ms."""
    p.add_argument("--kp", type=float, default=kp, help=f"position gain{gains_of}, default {kp:g}")
    p.add_argument("--kd", type=float, default=kd, help=f"velocity gain{gains_of}, default {kd:g}")
    p.add_argument("--timeout-ms", type=whole, default=20, help="reply time-out, default 20")
    add_watchdog(p)


def add_watchdog(p: argparse.ArgumentParser) -> None:
    """--watchdog-ms, the motors' watchdog (see watchdog_ms)."""
    p.add_argument("--watchdog-ms", type=positive, default=None, metavar="MS",
                   help="a motor that hears no command for MS ms disables itself (status 13, "
                        f"COMM_LOST); default {WATCHDOG_PERIODS} command periods, at least "
                        f"{WATCHDOG_MIN_MS}")


def watchdog_ms(args: argparse.Namespace, rate: Optional[float] = None) -> int:
    """--watchdog-ms, or WATCHDOG_PERIODS periods of a loop of `rate` commands
    per second, at least WATCHDOG_MIN_MS (that without a loop)."""
    if args.watchdog_ms is not None:
        return int(args.watchdog_ms)
    periods = math.ceil(WATCHDOG_PERIODS * 1000.0 / rate) if rate else 0
    return max(WATCHDOG_MIN_MS, periods)


def add_hold(p: argparse.ArgumentParser) -> None:
    """--hold-ms of a native control loop."""
    p.add_argument("--hold-ms", type=positive, default=100, metavar="MS",
                   help="the loop disables every motor and stops when it gets no setpoint, or a motor "
                        "does not answer, for MS ms; default 100")


def add_loop(p: argparse.ArgumentParser) -> None:
    """--report, --disable-retry and --plot of the setpoint loop."""
    p.add_argument("--report", type=float, default=1.0,
                   help="seconds between status lines, default 1 (0: none)")
    p.add_argument("--disable-retry", type=float, default=5.0, metavar="SECONDS",
                   help="when the disable at the end fails (or a motor still reports ENABLED), send "
                        "it again every "
                        f"{RETRY_PERIOD:g} s for up to SECONDS (Ctrl-C stops), default 5 (0: never)")
    p.add_argument("--plot", type=Path, metavar="FILE.png",
                   help="draw commanded and measured position, velocity and torque over time "
                        "into this PNG file at the end (needs matplotlib)")


def check_loop(p: argparse.ArgumentParser, args: argparse.Namespace) -> argparse.Namespace:
    """Refuse the values of add_sine and add_loop a loop cannot run with; with
    --plot, stop at once when matplotlib is missing (check_plot)."""
    for name in ("amplitude", "frequency", "duration", "report", "disable_retry"):
        if not getattr(args, name) >= 0.0:
            p.error(f"--{name.replace('_', '-')} must be zero or positive")
    if not args.rate > 0.0:
        p.error("--rate must be positive")
    check_plot(p, args.plot)
    return args


def check_plot(p: argparse.ArgumentParser, plot: Optional[Path]) -> None:
    """With a --plot file, stop at once (exit status 2, before any bus is
    opened) when its directory is missing or matplotlib cannot be imported."""
    if plot is None:
        return
    if not plot.parent.is_dir():
        p.error(f"--plot: no directory {str(plot.parent)!r}")
    try:
        matplotlib_classes()
    except ImportError as exc:
        reason = " ".join(str(exc).split())
        print(f"error: --plot needs matplotlib, which cannot be imported ({reason}): "
              "pip install matplotlib (or, in rotalink's source tree, pip install .[plot])",
              file=sys.stderr)
        sys.exit(2)


# ----------------------------------------------------------------- stopping

class Stopped(KeyboardInterrupt):
    """Raised by the handler of SIGINT and SIGTERM."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def name(self) -> str:
        return signal.Signals(self.signum).name

    @property
    def status(self) -> int:
        """The exit status of a program stopped by this signal."""
        return 128 + self.signum


def _raise_stopped(signum: int, _frame: object) -> None:
    raise Stopped(signum)


@contextlib.contextmanager
def stopped_by_signals() -> Iterator[None]:
    """Within the block SIGINT and SIGTERM raise Stopped.

    A signal that comes while a motor command waits for its reply breaks off
    the wait: Stopped comes out of that command call. The previous handlers
    are back when the block ends.
    """
    previous = {signum: signal.signal(signum, _raise_stopped) for signum in STOP_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def ignore_stop_signals() -> None:
    """Ignore SIGINT and SIGTERM from now on: a second Ctrl-C must not break
    off the disable. stopped_by_signals() puts the handlers back at its end."""
    for signum in STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)


def until_stopped(body: Callable[[], int]) -> int:
    """body()'s exit status; when SIGINT or SIGTERM stops it, 'stopped by
    SIGINT' and 128 + the signal number."""
    with stopped_by_signals():
        try:
            return body()
        except Stopped as stop:
            print(f"stopped by {stop.name}", flush=True)
            return stop.status


# ------------------------------------------------------------------ ticking

class Ticker:
    """Absolute deadlines start + k * period on the perf_counter clock."""

    def __init__(self, period: float) -> None:
        self.period = period
        self.start = time.perf_counter()
        self.tick = 0
        self.overruns = 0  # ticks that began after their deadline
        self.skipped = 0  # deadlines dropped because a whole period was lost
        self.worst_late = 0.0  # seconds

    def next(self) -> int:
        """Sleep until the next deadline and return its tick number."""
        self.tick += 1
        deadline = self.start + self.tick * self.period
        now = time.perf_counter()
        late = now - deadline
        if late > 0.0:
            self.overruns += 1
            self.worst_late = max(self.worst_late, late)
            missed = int(late // self.period)
            if missed > 0:  # stay on the grid: drop the lost deadlines, run now
                self.tick += missed
                self.skipped += missed
            return self.tick
        while now < deadline:
            time.sleep(deadline - now)
            now = time.perf_counter()
        return self.tick


# ------------------------------------------------------------------- motors

def _line(verb: str, name: str, text: str) -> str:
    return ": ".join(part for part in (" ".join(w for w in (verb, name) if w), text) if part)


def status_text(code: int) -> str:
    """A motor's status code with its name, where rotalink.Status has one:
    'status 14 OVERLOAD (...)'."""
    try:
        status = rotalink.Status(code)
    except ValueError:
        return f"status {code}"
    return f"status {code} {status.name} ({status.description})"


class Motors:
    """The motors of an example as one MotorGroup with a watchdog, a name for
    each (for the enable and error lines; '' for none) and a short tag (for
    the status lines), and the count of the commands that failed.

    Raises ValueError where MotorGroup does (motors sharing an identifier on
    one bus).
    """

    def __init__(self, members: Sequence[Member], names: Sequence[str], timeout_ms: int,
                 watchdog_ms: int, fd: bool = False, tags: Optional[Sequence[str]] = None) -> None:
        self.members = list(members)
        self.names = list(names)
        self.tags = list(tags if tags is not None else names)
        self.group = rotalink.MotorGroup(self.members, timeout_ms=timeout_ms, fd=fd,
                                         watchdog_ms=watchdog_ms)
        self.failed_cycles = 0  # group commands some motor did not answer, enable and disable included
        self.failed_commands = 0  # commands to one motor that got no answer, ditto
        self.last_error = ""

    def failed(self, exc: rotalink.GroupError, command: str = "") -> None:
        """Count a failed cycle; its message becomes the last error."""
        self.failed_cycles += 1
        self.failed_commands += sum(1 for error in exc.errors if error is not None)
        # One motor's own message, or the group's, which names the first failed motor.
        text = next((e for e in exc.errors if e is not None), str(exc)) if len(self.members) == 1 else str(exc)
        self.last_error = f"{command}: {text}" if command else text

    def report(self, exc: rotalink.GroupError, command: str) -> None:
        """Count a failed `command` and print, on standard error, why each motor
        failed; after a disable, the feedback of those that answered."""
        self.failed(exc, command)
        for name, state, error in zip(self.names, exc.states, exc.errors):
            if error is not None:
                print("error: " + _line(command, name, error), file=sys.stderr, flush=True)
            elif state is not None and command == "disable":
                print(_line("disabled", name, repr(state)), flush=True)

    def mit_control(self, setpoints: Sequence[rotalink.MitSetpoint]) -> Tuple[States, bool]:
        """The feedback of one cycle (None for a motor that did not answer), and
        whether every motor answered."""
        try:
            return self.group.mit_control(setpoints), True
        except rotalink.GroupError as exc:
            self.failed(exc)
            return exc.states, False

    def faulted(self, states: States) -> bool:
        """Whether a motor answered with another status than ENABLED (a fault,
        or disabled behind the program's back), after printing which."""
        bad = [(name, state.error) for name, state in zip(self.names, states)
               if state is not None and state.error != rotalink.Status.ENABLED]
        for name, code in bad:
            print(f"error: {name or 'the motor'} reports {status_text(code)}: stopping",
                  file=sys.stderr, flush=True)
        return bool(bad)

    def retry_disable(self, left: Sequence[int], retry: float) -> bool:
        """Send the disable to the motors `left` (indices) every RETRY_PERIOD
        seconds for up to `retry` seconds (say until a link that went down is
        back up), until each answered with another status than ENABLED (a
        motor that still reports ENABLED has not stopped); True when all did.
        SIGINT or SIGTERM ends the retries."""
        if not left or retry <= 0.0:
            return not left
        print(f"retrying the disable of {self.who(left)} every {RETRY_PERIOD:g} s for up to {retry:g} s "
              "(Ctrl-C stops)", file=sys.stderr, flush=True)
        end = time.monotonic() + retry
        last = ""
        with stopped_by_signals():
            try:
                while left and time.monotonic() < end:
                    time.sleep(RETRY_PERIOD)
                    pending = rotalink.MotorGroup([self.members[i] for i in left],
                                                  timeout_ms=self.group.timeout_ms, fd=self.group.fd)
                    try:
                        answered: States = pending.disable()
                    except rotalink.GroupError as exc:
                        answered = exc.states
                        last = next(e for e in exc.errors if e is not None)
                    running = [state is None or state.error == rotalink.Status.ENABLED for state in answered]
                    for i, state, still in zip(left, answered, running):
                        if not still:
                            print(_line("disabled", self.names[i], repr(state)), flush=True)
                        elif state is not None:
                            last = "still reports ENABLED"
                    left = [i for i, still in zip(left, running) if still]
            except Stopped as stop:
                print(f"error: {stop.name} stopped the retries: {self.who(left)} not disabled",
                      file=sys.stderr, flush=True)
                return False
        if left:
            print(f"error: {self.who(left)} not disabled after {retry:g} s of retries (last: {last})",
                  file=sys.stderr, flush=True)
        return not left

    def who(self, indices: Optional[Sequence[int]] = None) -> str:
        """The names of the motors `indices` (all by default), or 'the motor'."""
        chosen = range(len(self.names)) if indices is None else indices
        return ", ".join(self.names[i] for i in chosen if self.names[i]) or "the motor"


def _left_by(motors: Motors, exc: BaseException) -> None:
    """After `exc` left the group's scope: the failed disable the scope
    attached to it as a note, or 'disabled ...' when there is none. Before
    Python 3.11 the scope logs a failed disable as a warning instead, and
    nothing here can tell."""
    notes = getattr(exc, "__notes__", ())
    for note in notes:
        print(f"error: {note}", file=sys.stderr, flush=True)
    if not notes and sys.version_info >= (3, 11):
        print(f"disabled {motors.who()}", flush=True)


def refresh(group: rotalink.MotorGroup) -> List[rotalink.MotorState]:
    """Every motor's feedback, commanding nothing: the first cycle of run_enabled by default."""
    return group.refresh()


def run_enabled(motors: Motors, body: Callable[[Sequence[rotalink.MotorState]], int], *,
                first: Callable[[rotalink.MotorGroup], Sequence[rotalink.MotorState]] = refresh,
                disable_retry: float = 0.0, announce: bool = False,
                finish: Optional[Callable[[int], int]] = None) -> int:
    """In the group's scope (`with group:`, which enables every motor and
    disables every one however it ends): one cycle `first(group)` ('enabled
    NAME: feedback' per motor; `announce`: a line naming the group first),
    then body(that feedback). A motor that reports another status than
    ENABLED in that first cycle stops it there.

    Returns the exit status: body's; 1 when the enable, the first cycle or
    the disable failed, or a motor reported a fault; 128 + the signal number
    when SIGINT or SIGTERM stopped it ('stopped by SIGINT'). A disable that
    failed when the scope ended is retried for up to `disable_retry` seconds
    (Motors.retry_disable). Any other exception from the body passes
    through, after the scope has disabled the motors. `finish(status)` runs
    last (a summary, say), with the signals ignored, and returns the final
    status.
    """
    status = 0
    entered = returned = False
    with stopped_by_signals():
        try:
            with motors.group as group:  # enables every motor; its end disables every one
                entered = True
                try:
                    if announce:
                        print(f"enabled {group!r}", flush=True)
                    states = first(group)
                    for name, state in zip(motors.names, states):
                        print(_line("enabled", name, repr(state)), flush=True)
                    status = 1 if motors.faulted(states) else body(states)
                    returned = True
                finally:
                    ignore_stop_signals()  # a second Ctrl-C must not break off the disable
            print(f"disabled {motors.who()}", flush=True)
        except Stopped as stop:
            status = stop.status
            print(f"stopped by {stop.name}", flush=True)
            if entered:
                _left_by(motors, stop)
        except rotalink.GroupError as exc:
            if not entered:  # the watchdog or the enable failed: the scope disabled every motor again
                motors.report(exc, "enable")
                _left_by(motors, exc)
                status = 1
            elif not returned:  # a command failed
                motors.report(exc, "")
                _left_by(motors, exc)
                status = 1
            else:  # the disable at the scope's end failed
                motors.report(exc, "disable")
                left = [i for i, error in enumerate(exc.errors) if error is not None]
                if not motors.retry_disable(left, disable_retry):
                    status = status or 1
        finally:
            ignore_stop_signals()
            if finish is not None:
                status = finish(status)
    return status


# --------------------------------------------------------------------- plot

def matplotlib_classes() -> Tuple[Any, Any]:
    """matplotlib's Figure and its Agg canvas (raises ImportError)."""
    figure = importlib.import_module("matplotlib.figure")
    agg = importlib.import_module("matplotlib.backends.backend_agg")
    return figure.Figure, agg.FigureCanvasAgg


SERIES = ("t", "q_set", "dq_set", "q", "dq", "tau_set", "tau")


class Recorder:
    """Per motor and per recorded cycle: the time, the commanded position and
    velocity, the measured position, velocity and torque, and the commanded
    torque kp*(q_set - q) + kd*(dq_set - dq) + tau_ff of the measured state
    (NaN where a motor did not answer). Every `stride`-th cycle is kept, so
    that a long run keeps at most MAX_PLOT_SAMPLES per motor."""

    def __init__(self, motors: int, total: int) -> None:
        self.stride = max(1, math.ceil(total / MAX_PLOT_SAMPLES))
        self.next = 0
        self.data = [{name: array("d") for name in SERIES} for _ in range(motors)]

    def record(self, k: int, t: float, setpoints: Sequence[rotalink.MitSetpoint],
               states: States) -> None:
        if k < self.next:
            return
        self.next = k + self.stride
        nan = math.nan
        for data, target, state in zip(self.data, setpoints, states):
            q, dq, tau = ((state.position, state.velocity, state.torque) if state is not None
                          else (nan, nan, nan))
            data["t"].append(t)
            data["q_set"].append(target.q)
            data["dq_set"].append(target.dq)
            data["q"].append(q)
            data["dq"].append(dq)
            data["tau"].append(tau)
            data["tau_set"].append(target.kp * (target.q - q) + target.kd * (target.dq - dq)
                                   + target.tau)

    def draw(self, path: Path, tags: Sequence[str], title: str) -> None:
        """One row per motor; columns position, velocity and torque, each
        commanded against measured."""
        figure_class, canvas_class = matplotlib_classes()
        rows = len(self.data)
        fig = figure_class(figsize=(10.0, 2.5 * rows + 0.9))
        canvas_class(fig)
        axes = fig.subplots(rows, 3, sharex=True, squeeze=False)
        columns = (("position (rad)", "q_set", "q"), ("velocity (rad/s)", "dq_set", "dq"),
                   ("torque (N·m)", "tau_set", "tau"))
        for row, (data, tag) in enumerate(zip(self.data, tags)):
            for col, (label, commanded, measured) in enumerate(columns):
                ax = axes[row][col]
                # The commanded line wide and pale beneath: it shows where the two coincide.
                ax.plot(data["t"], data[commanded], label="commanded", color="tab:blue", lw=3.0,
                        alpha=0.45)
                ax.plot(data["t"], data[measured], label="measured", color="tab:orange", lw=1.1)
                ax.grid(True, alpha=0.3)
                ax.set_title(f"{tag}: {label}" if tag else label, fontsize=10)
                if row == rows - 1:
                    ax.set_xlabel("time (s)")
        axes[0][0].legend(loc="upper right", fontsize=8)
        fig.suptitle(title, fontsize=11)
        fig.tight_layout()
        fig.savefig(str(path), dpi=90)


def plot_at_end(args: argparse.Namespace, recorder: Optional[Recorder], cycles: int, tags: Sequence[str],
                status: int, achieved: float) -> int:
    """With --plot (a `recorder`), draw what it kept into args.plot, a row
    per motor named by `tags`, once the loop ran `cycles` cycles at the rate
    it measured, `achieved` per second (its title shows that rate, with the
    requested --rate beside it); the exit status: `status`, or 1 when the
    plot cannot be written."""
    if recorder is None:
        return status
    title = (f"{Path(sys.argv[0]).name}: ran at {achieved:.4g} Hz ({args.rate:g} Hz requested), "
             f"amplitude {args.amplitude:g} rad, frequency {args.frequency:g} Hz, "
             f"kp {args.kp:g}, kd {args.kd:g}")
    return write_plot(args.plot, cycles, lambda: recorder.draw(args.plot, tags, title), status)


def write_plot(path: Path, cycles: int, draw: Callable[[], None], status: int) -> int:
    """Write the plot into `path` with `draw`, unless no cycle ran (`cycles`
    is 0); the exit status: `status`, or 1 when the plot cannot be
    written."""
    if not cycles:
        print("error: no plot: no cycle ran", file=sys.stderr, flush=True)
        return status
    try:
        draw()
    except (OSError, ValueError) as exc:
        print(f"error: cannot write the plot {str(path)!r}: {exc}", file=sys.stderr, flush=True)
        return status or 1
    print(f"wrote the plot to {path}", flush=True)
    return status


# --------------------------------------------------------------------- loop

def run_sine(args: argparse.Namespace, motors: Motors, *, unit: str, summary: str,
             centred: bool = False, announce: bool = False) -> int:
    """Enable the motors, make them follow a sine, disable them: the loop of
    sine.py, two_motors.py and group.py.

    The first cycle holds every motor where it is (`group.hold`, the gains
    --kp and --kd). Then the k-th motor follows amplitude * sin(2 pi f t + k *
    phase) with the matching velocity as feed-forward, around 0 or, with
    `centred`, around the position it held. One group cycle per tick of a
    steady grid (args.rate per second) for args.duration seconds; a status
    line every args.report seconds; a cycle some motor did not answer is
    counted, and the loop gives up (status 1) after MAX_MISSES_IN_A_ROW of
    them in a row, or at once when a motor reports a fault. A loop that ran
    at less than SLOW_SHARE of its rate (and did not fail) says so on
    standard error.
    `unit` names the cycles in the messages; `summary` is the format of the
    last line, with the fields cycles, total, overruns, skipped, worst_ms,
    failed_cycles, failed_commands and last (' (last: ...)' or '').
    """
    period = 1.0 / args.rate
    total = round(args.duration * args.rate)
    omega = 2.0 * math.pi * args.frequency
    step = math.radians(getattr(args, "phase", 0.0))
    phases = [step * i for i in range(len(motors.members))]
    report_every = max(1, round(args.report * args.rate)) if args.report > 0 else 0
    several = len(motors.members) > 1
    recorder = Recorder(len(motors.members), total) if args.plot is not None else None
    ticker = Ticker(period)
    cycles = 0
    ran_for = 0.0  # seconds from the loop's start to the end of its last cycle
    fail_at = int(os.environ.get(FAIL_AT, "0"))

    def loop(enabled: Sequence[rotalink.MotorState]) -> int:
        nonlocal ticker, cycles, ran_for
        centres = [state.position if centred else 0.0 for state in enabled]
        print(f"streaming {total} {unit} at {args.rate:g} Hz: "
              f"amplitude {args.amplitude:g}, frequency {args.frequency:g} Hz, "
              + (f"phase step {math.degrees(step):g} deg, " if several else "")
              + f"kp {args.kp:g}, kd {args.kd:g}", flush=True)
        in_a_row = 0
        ticker = Ticker(period)
        k = 0
        while k < total:
            t = k * period
            targets = [rotalink.MitSetpoint(
                q=centre + args.amplitude * math.sin(omega * t + phase),
                dq=args.amplitude * omega * math.cos(omega * t + phase),
                kp=args.kp, kd=args.kd) for centre, phase in zip(centres, phases)]
            if cycles + 1 == fail_at:
                raise RuntimeError(f"failing on purpose at cycle {fail_at} ({FAIL_AT})")
            states, answered = motors.mit_control(targets)
            cycles += 1
            ran_for = time.perf_counter() - ticker.start
            in_a_row = 0 if answered else in_a_row + 1
            if recorder is not None:
                recorder.record(k, t, targets, states)
            if motors.faulted(states):
                return 1
            if in_a_row >= MAX_MISSES_IN_A_ROW:
                print(f"error: {in_a_row} {unit} in a row failed: {motors.last_error}",
                      file=sys.stderr, flush=True)
                return 1
            if report_every and k % report_every == 0:
                print(f"t={t:7.3f} s  " + "  ".join(
                    (f"[{tag}] " if several else "") + f"q_set={target.q:+.4f} " + (
                        f"position={state.position:+.4f} velocity={state.velocity:+.4f} "
                        f"torque={state.torque:+.4f} error={state.error}"
                        if state is not None else "no reply")
                    for tag, target, state in zip(motors.tags, targets, states))
                    + f"  overruns={ticker.overruns}", flush=True)
            k = ticker.next()
        return 0

    def finish(status: int) -> int:
        last = f" (last: {motors.last_error})" if motors.last_error else ""
        print(summary.format(cycles=cycles, total=total, overruns=ticker.overruns,
                             skipped=ticker.skipped, worst_ms=ticker.worst_late * 1e3,
                             failed_cycles=motors.failed_cycles,
                             failed_commands=motors.failed_commands, last=last), flush=True)
        achieved = cycles / ran_for if ran_for > 0.0 else math.inf
        # Not after a failed loop: its error says why, and its time-outs slowed it.
        if (status == 0 or status > 128) and cycles > 1 and achieved < SLOW_SHARE * args.rate:
            print(f"warning: ran at {achieved:.4g} {unit} per second, {achieved / args.rate:.0%} of the "
                  f"requested {args.rate:g}: lower --rate, or find what holds the loop up",
                  file=sys.stderr, flush=True)
        return plot_at_end(args, recorder, cycles, motors.tags if several else [""], status, achieved)

    return run_enabled(motors, loop, first=lambda group: group.hold(args.kp, args.kd),
                       disable_retry=args.disable_retry, announce=announce, finish=finish)


def make_motors(members: Sequence[Member], names: Sequence[str], timeout_ms: int, watchdog_ms: int,
                fd: bool = False, tags: Optional[Sequence[str]] = None) -> Optional[Motors]:
    """Motors(...), or None after printing why these motors cannot form a group."""
    try:
        return Motors(members, names, timeout_ms, watchdog_ms, fd, tags)
    except ValueError as exc:  # shared identifiers on one bus
        print(f"error: {exc}", file=sys.stderr)
        return None


def motors_on_one_bus(args: argparse.Namespace) -> Tuple[int, Optional[Motors]]:
    """The motors of --motor on the bus --iface, with the watchdog of ten
    periods at --rate: (0, motors), or an exit status (1 no bus, 2 motors
    no group takes) and None, after printing why."""
    bus = open_bus(args.iface)
    if bus is None:
        return 1, None
    pairs = [(bus, rotalink.Damiao(m, s, limits_of(model), timeout_ms=args.timeout_ms))
             for m, s, model in args.motor]
    motors = make_motors(pairs, [repr(motor) for _, motor in pairs], args.timeout_ms,
                         watchdog_ms(args, args.rate), tags=[f"{motor.motor_id:#x}" for _, motor in pairs])
    return (2, None) if motors is None else (0, motors)
