"""Drive several motors through the native control loop: a sine that keeps time.

`group.start(rate)` runs the group's cycle in a thread of the module's own,
on absolute deadlines of the monotonic clock, without the interpreter lock:
a garbage collection, a slow print or a busy interpreter delays the next
setpoint, never a cycle. This program enables the motors (`with group:`),
holds them where they are, starts the loop and then only computes
setpoints: each turn gives the loop the setpoints of the moment
(`loop.set`) and waits for its next cycle (`loop.wait`), whose feedback it
checks. Each motor follows a sine around the position it held, the k-th
shifted by k times --phase. At the end it prints the loop's own timing
(`loop.stats()`: cycles, overruns, the achieved rate, the period and the
reply latency as p50, p99 and max in microseconds, and the cycles each motor
did not answer).

The loop has a watchdog of its own (--hold-ms, 100 ms by default): when the
program sets no setpoint for that long, or a motor does not answer for that
long, the loop disables every motor and stops; the program then says why and
exits 1. The motors' watchdog (--watchdog-ms) covers a program that dies
without a word. Every motor is disabled at the end, also when stopped with
Ctrl-C (SIGINT) or SIGTERM, or when a motor reports another status than
ENABLED. --priority N runs the loop's thread SCHED_FIFO at priority N (needs
the CAP_SYS_NICE capability or `ulimit -r N`), --cpu pins it to one CPU.

    python3 examples/loop.py can0 --motor 1:0x11:dm4340 --motor 2:0x12:dm4340 \\
        --rate 1000 --duration 10 --priority 50

Without hardware, one simulator process answering as both motors:

    rotalink-sim vcan0 --motor 1:0x11 --motor 2:0x12 --background
    python3 examples/loop.py vcan0 --duration 3

Exit status: 0 when the run completed, 1 when the loop stopped by itself (its
watchdog), a motor reported a fault, the enable or the disable failed, or
the priority was refused; 2 for bad options or motors that cannot form a
group, 128 + the signal number when stopped by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import List, Optional, Sequence

import rotalink

from _common import (SLOW_SHARE, Recorder, add_command, add_hold, add_loop, add_sine, check_loop, motor_arg,
                     motors_on_one_bus, parser, plot_at_end, positive, run_enabled, whole)


def priority_arg(text: str) -> int:
    """A SCHED_FIFO priority, 1..99."""
    value = positive(text)
    if value > 99:
        raise argparse.ArgumentTypeError(f"{text} is not from 1 to 99")
    return value


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = parser("Drive several motors through the native control loop.")
    p.add_argument("--motor", type=motor_arg, action="append", metavar="ID:MASTER[:MODEL]",
                   help="a motor, given once per motor (default 1:0x11 and 2:0x12, both dm4310)")
    add_sine(p, rate=500.0, ticks="cycles", phase_of="each motor against the one before it")
    add_command(p, kp=10.0, kd=0.5)
    add_hold(p)
    p.add_argument("--priority", type=priority_arg, metavar="N",
                   help="run the loop's thread SCHED_FIFO at priority N, 1..99 (needs CAP_SYS_NICE "
                        "or ulimit -r N)")
    p.add_argument("--cpu", type=whole, metavar="CPU", help="pin the loop's thread to this CPU")
    add_loop(p)
    args = p.parse_args(argv)
    if args.motor is None:
        args.motor = [(0x01, 0x11, "dm4310"), (0x02, 0x12, "dm4310")]
    if args.cpu is not None and args.cpu not in os.sched_getaffinity(0):
        p.error(f"--cpu {args.cpu} is not one this process may run on "
                f"(it may use {', '.join(map(str, sorted(os.sched_getaffinity(0))))})")
    return check_loop(p, args)


def run(args: argparse.Namespace) -> int:
    # The watchdog: ten periods at --rate, at least 50 ms (watchdog_ms).
    status, motors = motors_on_one_bus(args)
    if motors is None:
        return status
    omega = 2.0 * math.pi * args.frequency
    phases = [math.radians(args.phase) * i for i in range(len(args.motor))]
    recorder = Recorder(len(args.motor), round(args.duration * args.rate)) if args.plot is not None else None
    loop: Optional[rotalink.ControlLoop] = None
    sets = 0

    def body(held: Sequence[rotalink.MotorState]) -> int:
        nonlocal loop, sets
        centres = [state.position for state in held]
        print(f"running the control loop at {args.rate:g} Hz for {args.duration:g} s: "
              f"amplitude {args.amplitude:g}, frequency {args.frequency:g} Hz, "
              f"phase step {args.phase:g} deg, kp {args.kp:g}, kd {args.kd:g}", flush=True)
        try:
            loop = motors.group.start(args.rate, hold_ms=args.hold_ms, priority=args.priority, cpu=args.cpu)
        except PermissionError as exc:
            print(f"error: {exc}", file=sys.stderr, flush=True)
            return 1
        with loop:  # stops the loop however the block ends; the group's scope then disables
            start = time.perf_counter()
            next_report = 0.0
            t = 0.0
            while t < args.duration:
                targets = [rotalink.MitSetpoint(
                    q=centre + args.amplitude * math.sin(omega * t + phase),
                    dq=args.amplitude * omega * math.cos(omega * t + phase),
                    kp=args.kp, kd=args.kd) for centre, phase in zip(centres, phases)]
                try:
                    loop.set(targets)
                    states = loop.wait()  # the next cycle, with the interpreter released
                except RuntimeError as exc:  # the loop's watchdog disabled every motor and stopped it
                    print(f"error: the control loop stopped: {exc}", file=sys.stderr, flush=True)
                    return 1
                sets += 1
                if recorder is not None:
                    recorder.record(sets - 1, t, targets, states)
                if motors.faulted(states):
                    return 1
                if args.report > 0 and t >= next_report:
                    next_report = (math.floor(t / args.report) + 1) * args.report
                    print(f"t={t:7.3f} s  " + "  ".join(
                        f"[{tag}] q_set={target.q:+.4f} " + (
                            f"position={state.position:+.4f} velocity={state.velocity:+.4f} "
                            f"torque={state.torque:+.4f} error={state.error}"
                            if state is not None else "no reply")
                        for tag, target, state in zip(motors.tags, targets, states))
                        + f"  overruns={loop.stats().overruns}", flush=True)
                t = time.perf_counter() - start
        return 0

    def finish(status: int) -> int:
        if loop is None:
            return status
        stats = loop.stats()
        print(f"set {sets} setpoints", flush=True)
        print(f"stats: {stats!r}", flush=True)
        # Not after a failed loop: its error says why.
        if (status == 0 or status > 128) and stats.cycles > 1 and stats.rate_hz < SLOW_SHARE * args.rate:
            print(f"warning: ran at {stats.rate_hz:.4g} cycles per second, {stats.rate_hz / args.rate:.0%} of "
                  f"the requested {args.rate:g}: lower --rate, or find what holds the loop up",
                  file=sys.stderr, flush=True)
        return plot_at_end(args, recorder, sets, motors.tags, status, stats.rate_hz)

    return run_enabled(motors, body, first=lambda group: group.hold(args.kp, args.kd),
                       disable_retry=args.disable_retry, finish=finish)


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
