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
import math
import sys
from typing import List, Optional

import rotalink

from _common import (MAX_MISSES_IN_A_ROW, Stopped, Ticker, add_command, add_motor, add_sine, motor_of, open_bus,
                     ignore_stop_signals, parser, stopped_by_signals)


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Stream a sine position setpoint to one motor.")
    add_motor(p)
    add_sine(p, rate=500.0, ticks="commands")
    add_command(p, kp=10.0, kd=0.5)
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
    bus = open_bus(args.iface)
    if bus is None:
        return 1
    motor = motor_of(args)
    period = 1.0 / args.rate
    total = round(args.duration * args.rate)
    omega = 2.0 * math.pi * args.frequency
    report_every = max(1, round(args.report * args.rate)) if args.report > 0 else 0
    sent = failed = failed_in_a_row = 0
    last_error = ""
    ticker: Optional[Ticker] = None
    status = 0
    with stopped_by_signals():
        try:
            state = motor.enable(bus)
            print(f"enabled {motor!r}: {state!r}", flush=True)
            print(f"streaming {total} setpoints at {args.rate:g} Hz: "
                  f"amplitude {args.amplitude:g}, frequency {args.frequency:g} Hz, "
                  f"kp {args.kp:g}, kd {args.kd:g}", flush=True)
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
                        print(f"t={t:7.3f} s  q_set={target.q:+.4f}"
                              f"  position={state.position:+.4f}"
                              f"  velocity={state.velocity:+.4f}  torque={state.torque:+.4f}"
                              f"  error={state.error}  overruns={ticker.overruns}", flush=True)
                k = ticker.next()
        except Stopped as stop:
            status = stop.status
            print(f"stopped by {stop.name}", flush=True)
        except RuntimeError as exc:  # the enable got no reply
            status = 1
            print(f"error: enable: {exc}", file=sys.stderr, flush=True)
        finally:
            ignore_stop_signals()  # a second Ctrl-C must not break off the disable
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
    return status


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
