"""Stream a sine position setpoint to one motor at a steady rate.

Enables the motor, sends one MIT command per tick (500 Hz by default) that
tracks q(t) = amplitude * sin(2 pi f t) with the matching velocity as
feed-forward, and disables the motor at the end, also when stopped with
Ctrl-C (SIGINT) or SIGTERM. Ticks sit on a fixed grid of absolute deadlines,
so the rate does not drift; a tick whose command ends after the next deadline
is an overrun, and deadlines missed entirely are skipped (the sine stays in
phase with the clock).

The motor is driven as a MotorGroup of one: each command first drops the
frames already queued, so a reply that came too late and is queued by then
is not taken for the feedback of the next command. The loop gives up after 10 commands in a row
without a reply. A disable that gets no reply, or whose reply still reports
ENABLED, is sent again every 0.1 s for up to --disable-retry seconds (5 by
default), say until a link that went down is back up. --plot FILE.png draws the commanded and measured position,
velocity and torque at the end (needs matplotlib: pip install matplotlib).

    python3 examples/sine.py can0 --motor-id 1 --master-id 0x11 --model dm4310 \\
        --amplitude 0.5 --frequency 0.5 --duration 10

Without hardware, against the simulator on a vcan interface:

    rotalink-sim vcan0 --motor-id 1 --master-id 0x11 --background
    python3 examples/sine.py vcan0 --duration 3 --plot sine.png

Exit status: 0 when the run completed, 1 when the motor stopped answering
(or did not answer its enable or its disable), 2 for bad options or
identifiers no MotorGroup takes (the Master ID equal to the CAN ID),
128 + the signal number when stopped by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from _common import (add_command, add_loop, add_motor, add_sine, check_loop, make_motors, motor_of, open_bus,
                     parser, run_sine, watchdog_ms)

SUMMARY = ("sent {cycles} of {total} setpoints, failed: {failed_commands}{last}; overruns: {overruns}, "
           "skipped ticks: {skipped}, worst lateness: {worst_ms:.3f} ms")


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Stream a sine position setpoint to one motor.")
    add_motor(p)
    add_sine(p, rate=500.0, ticks="commands")
    add_command(p, kp=10.0, kd=0.5)
    add_loop(p)
    return check_loop(p, p.parse_args(argv))


def run(args: argparse.Namespace) -> int:
    bus = open_bus(args.iface)
    if bus is None:
        return 1
    motor = motor_of(args)
    # The watchdog: ten periods at --rate, at least 50 ms (watchdog_ms).
    motors = make_motors([(bus, motor)], [repr(motor)], args.timeout_ms, watchdog_ms(args, args.rate))
    if motors is None:
        return 2
    return run_sine(args, motors, unit="setpoints", summary=SUMMARY)


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
