"""Stream a sine position setpoint to one motor at a steady rate.

Enables the motor, sends one MIT command per tick (500 Hz by default) that
tracks q(t) = amplitude * sin(2 pi f t) with the matching velocity as
feed-forward, and disables the motor at the end, also when stopped with
Ctrl-C (SIGINT) or SIGTERM. Ticks sit on a fixed grid of absolute deadlines,
so the rate does not drift; a tick whose command ends after the next deadline
is an overrun, and deadlines missed entirely are skipped (the sine stays in
phase with the clock).

    python3 examples/sine.py can0 --motor-id 1 --master-id 0x11 --model dm4310 \\
        --amplitude 0.5 --frequency 0.5 --duration 10

Without hardware, against the simulator on a vcan interface:

    rotalink-sim vcan0 --motor-id 1 --master-id 0x11 &
    python3 examples/sine.py vcan0 --duration 3

Exit status: 0 when the run completed, 1 when the motor stopped answering,
128 + the signal number when stopped by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import contextlib
import math
import signal
import sys
import time
from typing import Callable, Iterator, List, Optional

import rotalink

MODELS = [
    "dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006",
    "dm8009", "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11",
]

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)

# Give up after this many commands in a row without a reply.
MAX_MISSES_IN_A_ROW = 10


class Stopped(KeyboardInterrupt):
    """Raised by the handler of SIGINT and SIGTERM."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_stopped(signum: int, _frame: object) -> None:
    raise Stopped(signum)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Hold SIGINT and SIGTERM back for the length of one motor command.

    A command waits for its reply inside the extension; a signal arriving then
    would break off the wait and leave the reply queued, to be taken as the
    answer of the next command. Held back, the signal is delivered as soon as
    the command has returned.
    """
    old = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


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


def limits_of(model: str) -> rotalink.MitLimits:
    preset: Callable[[], rotalink.MitLimits] = getattr(rotalink.MitLimits, model)
    return preset()


def _id(text: str) -> int:
    """An identifier in decimal or 0x hex, 0..0xFFFF."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid identifier: {text!r}") from None
    if not 0 <= value <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"{text} is out of range (0..0xFFFF)")
    return value


def _whole(text: str) -> int:
    """A whole number, zero or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} must be zero or more")
    return value


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description="Stream a sine position setpoint to one motor.")
    p.add_argument("iface", help="CAN interface, e.g. can0 or vcan0")
    p.add_argument("--motor-id", type=_id, default=0x01, help="command id (CAN ID), default 0x01")
    p.add_argument("--master-id", type=_id, default=0x11, help="feedback id (Master ID), default 0x11")
    p.add_argument("--model", choices=MODELS, default="dm4310", metavar="MODEL",
                   help="limits preset: " + ", ".join(MODELS) + "; default dm4310")
    p.add_argument("--amplitude", type=float, default=0.5, help="rad, default 0.5")
    p.add_argument("--frequency", type=float, default=0.5, help="Hz, default 0.5")
    p.add_argument("--duration", type=float, default=5.0, help="s, default 5")
    p.add_argument("--rate", type=float, default=500.0, help="commands per second, default 500")
    p.add_argument("--kp", type=float, default=10.0, help="position gain, default 10")
    p.add_argument("--kd", type=float, default=0.5, help="velocity gain, default 0.5")
    p.add_argument("--timeout-ms", type=_whole, default=20, help="reply time-out, default 20")
    p.add_argument("--report", type=float, default=1.0,
                   help="seconds between status lines, default 1 (0: none)")
    args = p.parse_args(argv)
    for name in ("amplitude", "frequency", "duration", "report"):
        if not getattr(args, name) >= 0.0:
            p.error(f"--{name} must be zero or positive")
    if not args.rate > 0.0:
        p.error("--rate must be positive")
    return args


def run(args: argparse.Namespace) -> int:
    try:
        bus = rotalink.SocketCanTransport(args.iface)
    except OSError as exc:
        print(f"error: cannot open {args.iface}: {exc}", file=sys.stderr)
        return 1
    motor = rotalink.Damiao(args.motor_id, args.master_id, limits_of(args.model),
                            timeout_ms=args.timeout_ms)
    period = 1.0 / args.rate
    total = round(args.duration * args.rate)
    omega = 2.0 * math.pi * args.frequency
    report_every = max(1, round(args.report * args.rate)) if args.report > 0 else 0
    sent = failed = failed_in_a_row = 0
    last_error = ""
    ticker: Optional[Ticker] = None
    status = 0
    previous = {signum: signal.signal(signum, _raise_stopped) for signum in STOP_SIGNALS}
    try:
        with signals_held():
            state = motor.enable(bus)
        print(f"enabled {motor!r}: {state!r}", flush=True)
        print(f"streaming {total} setpoints at {args.rate:g} Hz: amplitude {args.amplitude:g}, "
              f"frequency {args.frequency:g} Hz, kp {args.kp:g}, kd {args.kd:g}", flush=True)
        ticker = Ticker(period)
        k = 0
        while k < total:
            t = k * period
            target = rotalink.MitSetpoint(
                q=args.amplitude * math.sin(omega * t),
                dq=args.amplitude * omega * math.cos(omega * t),
                kp=args.kp, kd=args.kd)
            sent += 1
            try:
                with signals_held():
                    state = motor.mit_control(bus, target)
            except RuntimeError as exc:  # no reply in time, or the socket failed
                failed += 1
                failed_in_a_row += 1
                last_error = str(exc)
                if failed_in_a_row >= MAX_MISSES_IN_A_ROW:
                    print(f"error: {failed_in_a_row} commands in a row failed: {last_error}",
                          file=sys.stderr, flush=True)
                    status = 1
                    break
            else:
                failed_in_a_row = 0
                if report_every and k % report_every == 0:
                    print(f"t={t:7.3f} s  q_set={target.q:+.4f}  position={state.position:+.4f}"
                          f"  velocity={state.velocity:+.4f}  torque={state.torque:+.4f}"
                          f"  error={state.error}  overruns={ticker.overruns}", flush=True)
            k = ticker.next()
    except Stopped as stop:
        status = 128 + stop.signum
        print(f"stopped by {signal.Signals(stop.signum).name}", flush=True)
    except RuntimeError as exc:  # the enable got no reply
        status = 1
        print(f"error: enable: {exc}", file=sys.stderr, flush=True)
    finally:
        # A second Ctrl-C must not break off the disable.
        for signum in STOP_SIGNALS:
            signal.signal(signum, signal.SIG_IGN)
        try:
            state = motor.disable(bus)
            print(f"disabled: {state!r}", flush=True)
        except RuntimeError as exc:
            status = status or 1
            print(f"error: disable: {exc}", file=sys.stderr, flush=True)
        if ticker is not None:
            print(f"sent {sent} of {total} setpoints, failed: {failed}"
                  + (f" (last: {last_error})" if failed else "")
                  + f"; overruns: {ticker.overruns}, skipped ticks: {ticker.skipped}, "
                  f"worst lateness: {ticker.worst_late * 1e3:.3f} ms", flush=True)
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return status


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
