"""Put a motor into MIT mode first, then send it a few commands.

A motor that is in another control mode (POS_VEL, VEL or FORCE_POS) answers
MIT commands but does not act on them. `ensure_mit_mode` reads the
control-mode register (10) and, when it is not 1 (MIT), writes 1, waits
100 ms and reads it back. Then the motor is enabled, held at its present
position for a few commands with a soft spring, and disabled again.

    python3 examples/ensure_mit.py can0 --motor-id 1 --master-id 0x11 --model dm4310

Without hardware, with a simulated motor that starts in POS_VEL mode:

    rotalink-sim vcan0 --motor-id 1 --master-id 0x11 --mode pos_vel &
    python3 examples/ensure_mit.py vcan0

Exit status: 0 on success, 1 when the motor did not answer or did not switch
to MIT mode (nothing else is sent then).
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import Callable, List, Optional

import rotalink

MODELS = [
    "dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006",
    "dm8009", "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11",
]


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
    p = argparse.ArgumentParser(description="Force MIT mode, then send a few MIT commands.")
    p.add_argument("iface", help="CAN interface, e.g. can0 or vcan0")
    p.add_argument("--motor-id", type=_id, default=0x01, help="command id (CAN ID), default 0x01")
    p.add_argument("--master-id", type=_id, default=0x11, help="feedback id (Master ID), default 0x11")
    p.add_argument("--model", choices=MODELS, default="dm4310", metavar="MODEL",
                   help="limits preset: " + ", ".join(MODELS) + "; default dm4310")
    p.add_argument("--count", type=_whole, default=5, help="MIT commands to send, default 5")
    p.add_argument("--kp", type=float, default=2.0, help="position gain of the hold, default 2")
    p.add_argument("--kd", type=float, default=0.2, help="velocity gain of the hold, default 0.2")
    p.add_argument("--timeout-ms", type=_whole, default=20, help="reply time-out, default 20")
    return p.parse_args(argv)


def run(args: argparse.Namespace) -> int:
    try:
        bus = rotalink.SocketCanTransport(args.iface)
    except OSError as exc:
        print(f"error: cannot open {args.iface}: {exc}", file=sys.stderr)
        return 1
    motor = rotalink.Damiao(args.motor_id, args.master_id, limits_of(args.model),
                            timeout_ms=args.timeout_ms)
    try:
        motor.ensure_mit_mode(bus)
    except RuntimeError as exc:
        # "transport error: timeout waiting for frame": nobody answered the
        # register read; "control mode verification failed: wrote 1, motor
        # reports N": the write was not applied.
        print(f"error: ensure_mit_mode: {exc}", file=sys.stderr)
        return 1
    print(f"{motor!r} is in MIT mode", flush=True)

    try:
        state = motor.enable(bus)
        print(f"enabled: {state!r}", flush=True)
        hold = rotalink.MitSetpoint(q=state.position, kp=args.kp, kd=args.kd)
        for i in range(args.count):
            state = motor.mit_control(bus, hold)
            print(f"command {i + 1}: {state!r}", flush=True)
            time.sleep(0.01)
    except RuntimeError as exc:
        print(f"error: {exc}", file=sys.stderr)
        status = 1
    else:
        status = 0
    finally:
        try:
            state = motor.disable(bus)
            print(f"disabled: {state!r}", flush=True)
        except RuntimeError as exc:
            print(f"error: disable: {exc}", file=sys.stderr)
            status = 1
    return status


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
