"""Put a motor into MIT mode first, then send it a few commands.

A motor that is in another control mode (POS_VEL, VEL or FORCE_POS) answers
MIT commands but does not act on them. `ensure_mit_mode` reads the
control-mode register (10) and, when it is not 1 (MIT), writes 1, waits
100 ms and reads it back. Then the motor is enabled, held at its present
position (`hold`, then --count commands 10 ms apart) with a soft spring, and
disabled again, also when stopped with Ctrl-C (SIGINT) or SIGTERM or when it
reports a fault. The commands go through a MotorGroup of one, as in the
other examples, so a late reply already queued when the next command goes
out is not taken for its feedback; its watchdog disables the motor should
this program die without a word.

    python3 examples/ensure_mit.py can0 --motor-id 1 --master-id 0x11 --model dm4310

Without hardware, with a simulated motor that starts in POS_VEL mode:

    rotalink-sim vcan0 --motor-id 1 --master-id 0x11 --mode pos_vel --background
    python3 examples/ensure_mit.py vcan0

Exit status: 0 on success, 1 when the motor did not answer, did not switch
to MIT mode (nothing else is sent then) or reported a fault, 2 for
identifiers no MotorGroup takes (the Master ID equal to the CAN ID; nothing
is sent then), 128 + the signal number when stopped by SIGINT or SIGTERM
(the motor is disabled if it was enabled).
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional, Sequence

import rotalink

from _common import add_command, add_motor, make_motors, motor_of, on_bus, parser, run_enabled, watchdog_ms, whole

# Seconds between two commands.
PERIOD = 0.01


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Force MIT mode, then send a few MIT commands.")
    add_motor(p)
    p.add_argument("--count", type=whole, default=5, help="MIT commands to send, default 5")
    add_command(p, kp=2.0, kd=0.2, gains_of=" of the hold")
    return p.parse_args(argv)


def run(args: argparse.Namespace) -> int:
    return on_bus(args.iface, lambda bus: switch_and_hold(args, bus))


def switch_and_hold(args: argparse.Namespace, bus: rotalink.SocketCanTransport) -> int:
    motor = motor_of(args)
    # The watchdog: ten periods of 10 ms (watchdog_ms).
    motors = make_motors([(bus, motor)], [""], args.timeout_ms, watchdog_ms(args, 1.0 / PERIOD))
    if motors is None:  # identifiers no group takes
        return 2
    try:
        motor.ensure_mit_mode(bus)
    except RuntimeError as exc:
        # "transport error: timeout waiting for frame": nobody answered the
        # register read; "control mode verification failed: wrote 1, motor
        # reports N": the write was not applied.
        print(f"error: ensure_mit_mode: {exc}", file=sys.stderr)
        return 1
    print(f"{motor!r} is in MIT mode", flush=True)

    def hold(enabled: Sequence[rotalink.MotorState]) -> int:
        target = [rotalink.MitSetpoint(q=enabled[0].position, kp=args.kp, kd=args.kd)]
        for i in range(args.count):
            states, answered = motors.mit_control(target)
            if not answered:
                print(f"error: {motors.last_error}", file=sys.stderr)
                return 1
            print(f"command {i + 1}: {states[0]!r}", flush=True)
            if motors.faulted(states):
                return 1
            time.sleep(PERIOD)
        return 0

    return run_enabled(motors, hold, first=lambda group: group.hold(args.kp, args.kd))


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
