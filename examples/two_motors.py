"""Two motors on one bus: one SocketCanTransport, one Damiao per motor.

Both motors are enabled and then follow the same sine, the second one shifted
by a phase (180 degrees by default: they mirror each other), at a steady rate
on absolute deadlines. Both are disabled at the end, also when stopped with
Ctrl-C (SIGINT) or SIGTERM. Each command is one frame out and that motor's
feedback back, so the two motors are commanded one after the other within
each tick.

    python3 examples/two_motors.py can0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4340

Without hardware, one simulator process answering as both motors:

    rotalink-sim vcan0 --motor 1:0x11 --motor 2:0x12 &
    python3 examples/two_motors.py vcan0 --duration 3

Exit status: 0 when the run completed, 1 when a motor stopped answering,
128 + the signal number when stopped by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import math
import sys
from typing import List, Optional

import rotalink

from _common import (MAX_MISSES_IN_A_ROW, Stopped, Ticker, add_command, add_sine, motor_arg, open_bus,
                     ignore_stop_signals, limits_of, parser, stopped_by_signals)


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Drive two motors on one CAN bus.")
    p.add_argument("--motor", type=motor_arg, action="append", metavar="ID:MASTER[:MODEL]",
                   help="a motor, given twice (default 1:0x11 and 2:0x12, both dm4310)")
    add_sine(p, rate=200.0, ticks="ticks", phase_of="the second motor")
    add_command(p, kp=10.0, kd=0.5)
    args = p.parse_args(argv)
    if args.motor is None:
        args.motor = [(0x01, 0x11, "dm4310"), (0x02, 0x12, "dm4310")]
    if len(args.motor) != 2:
        p.error("give --motor exactly twice")
    if args.motor[0][0] == args.motor[1][0]:
        p.error("the two motors need different motor ids")
    if not args.rate > 0.0 or not args.duration >= 0.0:
        p.error("--rate must be positive and --duration zero or positive")
    return args


def run(args: argparse.Namespace) -> int:
    bus = open_bus(args.iface)
    if bus is None:
        return 1
    motors = [rotalink.Damiao(m, s, limits_of(model), timeout_ms=args.timeout_ms)
              for m, s, model in args.motor]
    phases = [0.0, math.radians(args.phase)]
    period = 1.0 / args.rate
    total = round(args.duration * args.rate)
    omega = 2.0 * math.pi * args.frequency
    report_every = max(1, round(args.rate))  # one status line per second
    status = 0
    sent = failed = 0
    failed_in_a_row = [0, 0]
    last_error = ""
    ticker: Optional[Ticker] = None
    with stopped_by_signals():
        try:
            for motor in motors:
                state = motor.enable(bus)
                print(f"enabled {motor!r}: {state!r}", flush=True)
            ticker = Ticker(period)
            k = 0
            while k < total:
                t = k * period
                states: List[str] = []
                for i, (motor, phase) in enumerate(zip(motors, phases)):
                    target = rotalink.MitSetpoint(
                        q=args.amplitude * math.sin(omega * t + phase),
                        dq=args.amplitude * omega * math.cos(omega * t + phase),
                        kp=args.kp, kd=args.kd)
                    try:
                        state = motor.mit_control(bus, target)
                    except RuntimeError as exc:  # no reply in time, or the socket failed
                        failed += 1
                        failed_in_a_row[i] += 1
                        last_error = str(exc)
                        states.append(f"[{motor.motor_id:#x}] {exc}")
                    else:
                        failed_in_a_row[i] = 0
                        states.append(f"[{motor.motor_id:#x}] position={state.position:+.4f} "
                                      f"torque={state.torque:+.4f}")
                sent += 1
                if k % report_every == 0:
                    print(f"t={t:7.3f} s  " + "  ".join(states), flush=True)
                if max(failed_in_a_row) >= MAX_MISSES_IN_A_ROW:
                    print(f"error: {MAX_MISSES_IN_A_ROW} commands in a row failed: {last_error}",
                          file=sys.stderr, flush=True)
                    status = 1
                    break
                k = ticker.next()  # lost ticks are skipped
        except Stopped as stop:
            status = stop.status
            print(f"stopped by {stop.name}", flush=True)
        except RuntimeError as exc:  # an enable got no reply
            status = 1
            print(f"error: enable: {exc}", file=sys.stderr, flush=True)
        finally:
            ignore_stop_signals()  # a second Ctrl-C must not break off the disable
            for motor in motors:
                try:
                    state = motor.disable(bus)
                    print(f"disabled {motor!r}: {state!r}", flush=True)
                except RuntimeError as exc:
                    status = status or 1
                    print(f"error: disable {motor!r}: {exc}", file=sys.stderr, flush=True)
            overruns = ticker.overruns if ticker is not None else 0
            print(f"ticks: {sent} of {total}, overruns: {overruns}, failed commands: {failed}"
                  + (f" (last: {last_error})" if failed else ""), flush=True)
    return status


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
