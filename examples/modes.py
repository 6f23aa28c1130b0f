"""Drive one motor in each of the firmware's four control modes in turn.

The firmware obeys one kind of command at a time, chosen by its control mode
(register 10): MIT (position, velocity, gains and torque), POS_VEL (a
position at a velocity limit), VEL (a velocity) and FORCE_POS (a position at
a velocity and a current limit). A motor in another mode than the command's
answers it but does not act on it. For each mode in turn this example puts
the disabled motor into that mode (`ensure_mode`: register 10 written only
when it differs, then read back), enables it, sends --count commands of that
mode 10 ms apart and disables it again:

    MIT        hold --position rad from where it was enabled, gains --kp, --kd
    POS_VEL    go --position rad further, no faster than --velocity rad/s
    VEL        turn at --velocity rad/s
    FORCE_POS  go --position rad further, no faster than --velocity rad/s,
               with at most --current of the motor's peak current

Before that it reads the mode the motor is in (`read_mode`) and its feedback
(`refresh`, which commands nothing), and at the end it puts the motor back
into that mode. The commands go through a MotorGroup of one
(`MotorGroup.control` takes a setpoint of any mode), as in the other
examples, and is enabled only inside the group's scope, which disables it
however the scope ends; the group's watchdog disables the motor should this
program die without a word. Ctrl-C (SIGINT) or SIGTERM disables the motor
and stops, and so does a fault the motor reports.

    python3 examples/modes.py can0 --motor-id 1 --master-id 0x11 --model dm4310

Without hardware, with a simulated motor that starts in VEL mode:

    rotalink-sim vcan0 --motor-id 1 --master-id 0x11 --mode vel --background
    python3 examples/modes.py vcan0

Exit status: 0 on success, 1 when the motor did not answer, did not
switch modes or reported a fault (the motor is disabled if it was enabled), 2 for identifiers no
MotorGroup takes (nothing is sent then) or a command identifier of another
mode that collides with the Master ID, 128 + the signal number when stopped
by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional, Sequence, Union

import rotalink

from _common import (Motors, add_command, add_motor, make_motors, motor_of, on_bus, parser, run_enabled, share,
                     watchdog_ms, whole)

Setpoint = Union[rotalink.MitSetpoint, rotalink.PosVelSetpoint, rotalink.VelSetpoint,
                 rotalink.ForcePosSetpoint]

# Seconds between two commands of one mode.
PERIOD = 0.01


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Drive one motor in each control mode in turn: MIT, POS_VEL, VEL, FORCE_POS.")
    add_motor(p)
    p.add_argument("--count", type=whole, default=50, help="commands per mode, 10 ms apart, default 50")
    p.add_argument("--position", type=float, default=0.5,
                   help="rad the position modes move from where the motor is, default 0.5")
    p.add_argument("--velocity", type=float, default=2.0,
                   help="rad/s: VEL's velocity, the velocity limit of POS_VEL and FORCE_POS, default 2")
    p.add_argument("--current", type=share, default=0.2,
                   help="FORCE_POS's current limit, a share of the peak current (0 to 1), default 0.2")
    add_command(p, kp=5.0, kd=0.5, gains_of=" of MIT")
    return p.parse_args(argv)


def setpoint(mode: rotalink.ControlMode, args: argparse.Namespace, start: float) -> Setpoint:
    """The command of `mode` for a motor that is at `start` (rad)."""
    target = start + args.position
    if mode is rotalink.ControlMode.MIT:
        return rotalink.MitSetpoint(q=target, kp=args.kp, kd=args.kd)
    if mode is rotalink.ControlMode.POS_VEL:
        return rotalink.PosVelSetpoint(q=target, dq=args.velocity)
    if mode is rotalink.ControlMode.VEL:
        return rotalink.VelSetpoint(dq=args.velocity)
    return rotalink.ForcePosSetpoint(q=target, dq=args.velocity, current=args.current)


def run(args: argparse.Namespace) -> int:
    return on_bus(args.iface, lambda bus: every_mode(args, bus))


def switch(motor: rotalink.Damiao, bus: rotalink.SocketCanTransport, mode: rotalink.ControlMode) -> bool:
    """Put the motor into `mode`; False after printing why it did not switch."""
    try:
        motor.ensure_mode(bus, mode)
    except RuntimeError as exc:
        # "transport error: timeout waiting for frame": nobody answered the
        # register read; "control mode verification failed: wrote 2, motor
        # reports 1": the write was not applied.
        print(f"error: ensure_mode {mode.name}: {exc}", file=sys.stderr)
        return False
    return True


def every_mode(args: argparse.Namespace, bus: rotalink.SocketCanTransport) -> int:
    motor = motor_of(args)
    # The watchdog: ten periods of PERIOD (watchdog_ms).
    motors = make_motors([(bus, motor)], [""], args.timeout_ms, watchdog_ms(args, 1.0 / PERIOD))
    if motors is None:  # identifiers no group takes
        return 2
    try:
        found = motor.read_mode(bus)
        print(f"{motor!r} is in {found.name} mode: {motor.refresh(bus)!r}", flush=True)
    except RuntimeError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1

    for mode in rotalink.ControlMode:
        if not switch(motor, bus, mode):
            return 1
        print(f"{mode.name} mode", flush=True)
        status = run_enabled(motors, lambda enabled: drive(args, motors, mode, enabled))
        if status != 0:
            return status

    if not switch(motor, bus, found):
        return 1
    print(f"back in {found.name} mode", flush=True)
    return 0


def drive(args: argparse.Namespace, motors: Motors, mode: rotalink.ControlMode,
          enabled: Sequence[rotalink.MotorState]) -> int:
    """--count commands of `mode`; the last feedback."""
    target = [setpoint(mode, args, enabled[0].position)]
    state = enabled[0]
    for _ in range(args.count):
        try:
            (state,) = motors.group.control(target)
        except rotalink.GroupError as exc:
            motors.failed(exc)
            print(f"error: {motors.last_error}", file=sys.stderr)
            return 1
        except ValueError as exc:  # an identifier of this mode collides: nothing was sent
            print(f"error: {exc}", file=sys.stderr)
            return 2
        if motors.faulted([state]):
            return 1
        time.sleep(PERIOD)
    print(f"{args.count} x {target[0]!r}: {state!r}", flush=True)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
