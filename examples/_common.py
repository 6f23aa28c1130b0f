"""What the motor examples share: the model presets, the common options,
stopping on SIGINT/SIGTERM and a steady tick.

Not an example of its own: sine.py, two_motors.py and ensure_mit.py import it
as a sibling module.
"""
from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import time
from typing import Callable, Iterator, List, Optional, Tuple

import rotalink

# The preset names, in the order of the native preset table (the order in
# which the module registers MitLimits' static methods): dm3507, dm4310, ...
MODELS: List[str] = [name for name, value in vars(rotalink.MitLimits).items()
                     if name.startswith("dm") and isinstance(value, staticmethod)]

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)

# Give up after this many commands in a row to one motor without a reply.
MAX_MISSES_IN_A_ROW = 10


def limits_of(model: str) -> rotalink.MitLimits:
    preset: Callable[[], rotalink.MitLimits] = getattr(rotalink.MitLimits, model)
    return preset()


# ------------------------------------------------------------------ options

def open_bus(iface: str) -> Optional[rotalink.SocketCanTransport]:
    """The bus, or None after printing why it cannot be opened."""
    try:
        return rotalink.SocketCanTransport(iface)
    except OSError as exc:
        print(f"error: cannot open {iface}: {exc}", file=sys.stderr)
        return None


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
    model = parts[2] if len(parts) == 3 else "dm4310"
    if model not in MODELS:
        raise argparse.ArgumentTypeError(f"unknown model {model!r} (choose from {', '.join(MODELS)})")
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
    p.add_argument("--model", choices=MODELS, default="dm4310", metavar="MODEL",
                   help="limits preset: " + ", ".join(MODELS) + "; default dm4310")


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
    """--kp and --kd of the MIT commands, --timeout-ms of every reply."""
    p.add_argument("--kp", type=float, default=kp, help=f"position gain{gains_of}, default {kp:g}")
    p.add_argument("--kd", type=float, default=kd, help=f"velocity gain{gains_of}, default {kd:g}")
    p.add_argument("--timeout-ms", type=whole, default=20, help="reply time-out, default 20")


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
