"""Two motors on one bus: one SocketCanTransport, one Damiao per motor.

Both motors are enabled and then follow the same sine, the second one shifted
by a phase (180 degrees by default: they mirror each other), at a steady rate
on absolute deadlines. Both are disabled at the end, also when stopped with
Ctrl-C (SIGINT) or SIGTERM. The two motors form a MotorGroup: each tick sends
both commands back to back and then waits for both replies together, and a
reply that came too late is dropped rather than taken for the feedback of the
next tick. A tick in which a motor did not answer is counted, and the loop
gives up after 10 such ticks in a row. Every command without a reply, the
enable and the disable included, is counted in the summary. The options
--report, --disable-retry and --plot are those of sine.py.

    python3 examples/two_motors.py can0 --motor 1:0x11:dm4310 --motor 2:0x12:dm4340

Without hardware, one simulator process answering as both motors:

    rotalink-sim vcan0 --motor 1:0x11 --motor 2:0x12 --background
    python3 examples/two_motors.py vcan0 --duration 3

Exit status: 0 when the run completed, 1 when a motor stopped answering (or
did not answer its enable or its disable), 2 for bad options or motors that
cannot form a group, 128 + the signal number when stopped by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from _common import add_command, add_loop, add_sine, check_loop, motor_arg, motors_on_one_bus, parser, run_sine

SUMMARY = "ticks: {cycles} of {total}, overruns: {overruns}, failed commands: {failed_commands}{last}"


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Drive two motors on one CAN bus.")
    p.add_argument("--motor", type=motor_arg, action="append", metavar="ID:MASTER[:MODEL]",
                   help="a motor, given twice (default 1:0x11 and 2:0x12, both dm4310)")
    add_sine(p, rate=200.0, ticks="ticks", phase_of="the second motor")
    add_command(p, kp=10.0, kd=0.5)
    add_loop(p)
    args = p.parse_args(argv)
    if args.motor is None:
        args.motor = [(0x01, 0x11, "dm4310"), (0x02, 0x12, "dm4310")]
    if len(args.motor) != 2:
        p.error("give --motor exactly twice")
    if args.motor[0][0] == args.motor[1][0]:
        p.error("the two motors need different motor ids")
    return check_loop(p, args)


def run(args: argparse.Namespace) -> int:
    # The watchdog: ten periods at --rate, at least 50 ms (watchdog_ms).
    status, motors = motors_on_one_bus(args)
    if motors is None:
        return status
    return run_sine(args, motors, unit="ticks", summary=SUMMARY)


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
