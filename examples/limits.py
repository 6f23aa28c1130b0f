"""Read a motor's limits, compare them with a model preset, and drive the
motor with the limits it really has.

A motor maps the position, velocity and torque of its MIT frames to the
ranges held in its registers PMAX, VMAX and TMAX (21 to 23). A Damiao built
with other limits scales every command and every feedback wrongly, without
any error. `read_limits` reads the three registers; this example prints them
beside the preset of the model you name, then builds the Damiao with the
motor's own limits, enables it (with a watchdog of 50 ms), prints its
feedback (`refresh`) and disables it.

    python3 examples/limits.py can0 --motor-id 1 --master-id 0x11 --model dm4310

Without hardware, with a simulated dm4310 whose PMAX was changed:

    rotalink-sim vcan0 --motor-id 1 --master-id 0x11 --register PMAX=3.14 --background
    python3 examples/limits.py vcan0 --model dm4310

Exit status: 0 when the motor answered (its limits the preset's or not), 1
when it did not or reported a fault, 2 for identifiers no MotorGroup takes
(the Master ID equal to the CAN ID; nothing is sent then), 128 + the signal
number when stopped by SIGINT or SIGTERM (the motor is disabled if it was
enabled).
"""
from __future__ import annotations

import argparse
import sys
from typing import List, Optional

import rotalink

from _common import add_motor, add_watchdog, limits_of, make_motors, on_bus, parser, run_enabled, watchdog_ms, whole

FIELDS = ("p_max", "v_max", "t_max")  # kp_max and kd_max are fixed by the frame


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Read a motor's limits, compare them with a preset, use them.")
    add_motor(p)
    p.add_argument("--timeout-ms", type=whole, default=20, help="reply time-out, default 20")
    add_watchdog(p)
    return p.parse_args(argv)


def differences(motor: rotalink.MitLimits, preset: rotalink.MitLimits) -> List[str]:
    return [f"{f} {getattr(motor, f):g} (preset {getattr(preset, f):g})"
            for f in FIELDS if getattr(motor, f) != getattr(preset, f)]


def run(args: argparse.Namespace) -> int:
    return on_bus(args.iface, lambda bus: use_the_motors_limits(args, bus))


def use_the_motors_limits(args: argparse.Namespace, bus: rotalink.SocketCanTransport) -> int:
    # Register reads do not depend on the limits a Damiao is built with.
    probe = rotalink.Damiao(args.motor_id, args.master_id, timeout_ms=args.timeout_ms)
    if make_motors([(bus, probe)], [""], args.timeout_ms, watchdog_ms(args)) is None:  # identifiers no group takes
        return 2
    try:
        limits = probe.read_limits(bus)
    except RuntimeError as exc:
        print(f"error: read_limits: {exc}", file=sys.stderr)
        return 1
    preset = limits_of(args.model)
    print(f"motor:  {limits!r}")
    print(f"{args.model + ':':<7} {preset!r}")
    diff = differences(limits, preset)
    if diff:
        print(f"the motor differs from the {args.model} preset in " + ", ".join(diff)
              + ": using the motor's limits")
    else:
        print(f"the motor has the {args.model} preset's limits")

    motor = rotalink.Damiao(args.motor_id, args.master_id, limits, timeout_ms=args.timeout_ms)
    # No loop: the shortest watchdog (watchdog_ms).
    motors = make_motors([(bus, motor)], [""], args.timeout_ms, watchdog_ms(args))
    assert motors is not None  # the same identifiers as the probe's
    return run_enabled(motors, lambda states: 0)


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
