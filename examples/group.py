"""Drive several motors, on one bus or several, as one MotorGroup at 1 kHz.

Every cycle sends one MIT command to every motor and collects all their
replies under one time-out: the commands go out back to back on each bus and
the replies are awaited together, so a cycle takes about as long as the
slowest motor's answer, not the sum of them. Each motor follows a sine around
the position it reported when enabled (the k-th motor shifted by k times
--phase; --amplitude 0 holds every motor where it is). Ticks sit on a fixed
grid of absolute deadlines; a cycle that ends after the next deadline counts
as a missed deadline.

A cycle in which some motor did not answer raises GroupError; the loop counts
it and goes on with the next cycle, and gives up after 10 failed cycles in a
row. Every motor is disabled at the end, also when stopped with Ctrl-C
(SIGINT) or SIGTERM. The loop is the one of sine.py and two_motors.py, with
the same --report, --disable-retry and --plot options.

    python3 examples/group.py can0 --motor 1:0x11:dm4340 --motor 2:0x12:dm4340 \\
        --motor 3:0x13:dm4310 --motor 1:0x11:dm4310@can1 --duration 10

A motor is ID:MASTER[:MODEL][@IFACE]: its CAN ID, its Master ID, its limits
preset (default dm4310) and its bus (default the positional interface). On
one bus no two motors may share a CAN ID or a Master ID, and no Master ID may
be another motor's CAN ID; motors on different buses may reuse identifiers.
Give each real CAN interface a transmit queue longer than the number of its
motors (sudo ip link set can0 txqueuelen 64).

Without hardware, one simulator process per bus:

    rotalink-sim vcan0 --motor 1:0x11 --motor 2:0x12 --background
    python3 examples/group.py vcan0 --motor 1:0x11 --motor 2:0x12 --duration 3

Exit status: 0 when the run completed, 1 when the motors stopped answering
(or a bus could not be opened), 2 for motors that cannot form a group,
128 + the signal number when stopped by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

import rotalink

from _common import (add_command, add_loop, add_sine, check_loop, limits_of, make_motors, motor_arg, open_bus,
                     parser, run_sine, watchdog_ms)

SUMMARY = ("cycles: {cycles} of {total}, missed deadlines: {overruns} (skipped ticks: {skipped}, "
           "worst lateness: {worst_ms:.3f} ms), group errors: {failed_cycles}{last}")

Member = Tuple[str, int, int, str]  # iface ('' for the positional one), motor id, master id, model


def member_arg(text: str) -> Member:
    """ID:MASTER[:MODEL][@IFACE]."""
    spec, at, iface = text.partition("@")
    if at and not iface:
        raise argparse.ArgumentTypeError(f"no interface after '@' in {text!r}")
    motor_id, master_id, model = motor_arg(spec)
    return iface, motor_id, master_id, model


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Drive several motors as one MotorGroup at a steady rate.")
    p.add_argument("--motor", type=member_arg, action="append", metavar="ID:MASTER[:MODEL][@IFACE]",
                   help="a motor, given once per motor (default 1:0x11 and 2:0x12, both dm4310, "
                        "on IFACE)")
    add_sine(p, rate=1000.0, ticks="cycles", phase_of="each motor against the one before it")
    add_command(p, kp=10.0, kd=0.5)
    p.add_argument("--fd", action="store_true",
                   help="send the commands as CAN FD frames (interfaces set 'fd on')")
    add_loop(p)
    args = p.parse_args(argv)
    if args.motor is None:
        args.motor = [("", 0x01, 0x11, "dm4310"), ("", 0x02, 0x12, "dm4310")]
    args.motor = [(iface or args.iface, m, s, model) for iface, m, s, model in args.motor]
    return check_loop(p, args)


def tx_queue_len(iface: str) -> int:
    """The interface's transmit queue length (txqueuelen), 0 if unknown."""
    try:
        return int(Path("/sys/class/net", iface, "tx_queue_len").read_text())
    except (OSError, ValueError):
        return 0


def label(bus_names: Sequence[str], iface: str, motor: rotalink.Damiao) -> str:
    """The motor's id, with its bus when the group spans several."""
    return f"{iface}/{motor.motor_id:#x}" if len(bus_names) > 1 else f"{motor.motor_id:#x}"


def run(args: argparse.Namespace) -> int:
    buses: Dict[str, rotalink.SocketCanTransport] = {}
    for iface, *_ in args.motor:
        if iface not in buses:
            bus = open_bus(iface)
            if bus is None:
                return 1
            buses[iface] = bus
    members = [(buses[iface], rotalink.Damiao(m, s, limits_of(model), timeout_ms=args.timeout_ms))
               for iface, m, s, model in args.motor]
    bus_names = list(buses)
    labels = [label(bus_names, iface, motor) for (iface, *_), (_, motor) in zip(args.motor, members)]
    # The watchdog: ten periods at --rate, at least 50 ms (watchdog_ms).
    motors = make_motors(members, labels, args.timeout_ms, watchdog_ms(args, args.rate), fd=args.fd)
    if motors is None:
        return 2
    for iface in bus_names:
        count = sum(1 for name, *_ in args.motor if name == iface)
        queue = tx_queue_len(iface)
        if 0 < queue < count:
            print(f"warning: {iface} queues {queue} frames but drives {count} motors: "
                  f"sudo ip link set {iface} txqueuelen 64", file=sys.stderr, flush=True)
    return run_sine(args, motors, unit="cycles", summary=SUMMARY, centred=True, announce=True)


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
