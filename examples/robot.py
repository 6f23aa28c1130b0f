"""Drive a whole robot in joint space: each joint a slow sine around the
middle of its range, through the native control loop.

Reads a robot description (examples/arm.toml by default: a six-joint arm
whose joints 1 to 4 are MIT joints, joint 5 a VEL joint and joint 6 a
POS_VEL joint), opens its bus on --iface, and enters the robot (`with
arm:`), which puts each joint's motor in the joint's control mode and
enables every one of them. It starts the robot's loop (`arm.start(rate)`),
moves every joint to where its motion starts (`loop.move_to`: a profile
planned in the loop's thread, within --speed and --accel, every joint
arriving together) and waits for the move to arrive (`Move.wait`). Then,
for --seconds, it gives the loop the command of the moment (`loop.set`)
and waits for each cycle (`loop.wait`), whose joint states it records. Every value is in joint
units: the robot converts each joint's command to its motor (direction,
offset, gear) and the feedback back, and clamps into the joint's limits.

The motion, with the share --amplitude of each joint's range (0.1 by
default) and --frequency f:

- an MIT joint follows a sine of f around the middle of [q_min, q_max]
  (around 0, within 1 rad, for a joint without both limits), with its
  velocity as feed-forward and the file's gains;
- a VEL joint is turned at a speed that follows a sine of f, the share of
  its dq_max (of 1 rad/s without one);
- a POS_VEL (or FORCE_POS) joint is sent to a position that follows a sine
  of f/4, reached at its dq_max (1 rad/s without one; FORCE_POS at half its
  peak current).

The joints start the motion where the move left them; the first --ramp
seconds fade its amplitude in, so that no joint's speed jumps either. At the end it prints the loop's cycles and
achieved rate, and the largest tracking error of each joint (its position,
or the speed of a VEL joint, against its command); --plot FILE.png draws
what each joint was commanded against what it did (needs matplotlib).
--record FILE.mcap records every cycle of the loop (what each joint was
sent, what it answered, the loop's timing) to MCAP, which `rotalink-plot
FILE.mcap` draws and robotics tools open (needs `rotalink[record]`).

Every motor is disabled at the end, also when stopped with Ctrl-C (SIGINT)
or SIGTERM; the loop stops and disables every motor by itself when a motor
reports a fault or nothing is set for --hold-ms. `rotalink.Robot.load(FILE)`
makes the same robot on the interfaces the file names; this program opens
them under the names --iface gives.

    python3 examples/robot.py --iface can0 --description my_arm.toml --seconds 10

Without hardware, one simulator answering as the arm's six motors (all in
MIT mode: entering the robot switches joints 5 and 6):

    rotalink-sim vcan0 --motor 1:0x11:dm8009 --motor 2:0x12:dm4340 --motor 3:0x13:dm4340 \\
        --motor 4:0x14:dm4310 --motor 5:0x15:dm4310 --motor 6:0x16:dm3507 --background
    python3 examples/robot.py --iface vcan0 --timeout-ms 100 --watchdog-ms 500

Exit status: 0 when the run completed, 1 when the robot could not be
entered or left (a motor that did not answer, did not switch its mode or
was not disabled), the loop stopped by itself or a bus cannot be opened;
2 for bad options or a description that is refused; 128 + the signal
number when stopped by SIGINT or SIGTERM.
"""
from __future__ import annotations

import argparse
import dataclasses
import math
import sys
import time
from array import array
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

import rotalink
from rotalink_scan import description  # type: ignore[import-untyped]

from _common import (MAX_PLOT_SAMPLES, SLOW_SHARE, Stopped, add_hold, check_plot, ignore_stop_signals,
                     matplotlib_classes, open_bus, positive, share, stopped_by_signals, whole, write_plot)

ARM = Path(__file__).resolve().parent / "arm.toml"

# One float per joint (spelled out: numpy before 2.3 has no default type
# arguments for ndarray, which strict type checking needs).
Vector = NDArray[np.float64]

# The speed (rad/s) of a VEL, POS_VEL or FORCE_POS joint without a dq_max,
# and the half range (rad) of a joint without both position limits.
DEFAULT_SPEED = 1.0
DEFAULT_HALF_RANGE = 1.0
# A POS_VEL or FORCE_POS joint moves at this fraction of --frequency.
SLOW = 0.25
# The share of its peak current a FORCE_POS joint is given.
FORCE_POS_CURRENT = 0.5


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description="Drive a robot in joint space through its native control loop: "
                                            "a sine around the middle of each joint's range.")
    p.add_argument("--description", type=Path, default=ARM, metavar="FILE",
                   help="the robot description (TOML), default examples/arm.toml")
    p.add_argument("--iface", action="append", metavar="[BUS=]IFACE",
                   help="the CAN interface of the file's bus (default vcan0); for a file of several "
                        "buses BUS=IFACE, once per bus (a bus not named opens under its own name)")
    p.add_argument("--seconds", type=float, default=3.0, help="how long to run, default 3")
    p.add_argument("--rate", type=float, default=250.0, help="loop cycles per second, default 250")
    p.add_argument("--amplitude", type=share, default=0.1,
                   help="share of each joint's range the sine spans either side of its middle, default 0.1")
    p.add_argument("--frequency", type=float, default=0.5, help="Hz, default 0.5")
    p.add_argument("--ramp", type=float, default=1.0,
                   help="seconds over which the sine's amplitude fades in, default 1")
    p.add_argument("--speed", type=float, default=0.5, metavar="RAD_S",
                   help="the move to the start pose: each joint's speed limit (rad/s), default 0.5; "
                        "a joint's dq_max bounds it too")
    p.add_argument("--accel", type=float, default=2.0, metavar="RAD_S2",
                   help="the move to the start pose: each joint's acceleration limit (rad/s^2), default 2")
    p.add_argument("--timeout-ms", type=whole, default=None, metavar="MS",
                   help="reply time-out of each cycle; default the file's (timeout_ms)")
    p.add_argument("--watchdog-ms", type=positive, default=None, metavar="MS",
                   help="a motor that hears no command for MS ms disables itself; default the file's "
                        "(watchdog_ms)")
    add_hold(p)
    p.add_argument("--record", type=Path, metavar="FILE.mcap",
                   help="record every cycle of the loop to this MCAP file (a directory: a rosbag2 bag); "
                        "needs rotalink[record]")
    p.add_argument("--plot", type=Path, metavar="FILE.png",
                   help="draw each joint's commanded and measured position (speed for a VEL joint) "
                        "into this PNG file at the end (needs matplotlib)")
    args = p.parse_args(argv)
    for name in ("seconds", "frequency", "ramp"):
        if not getattr(args, name) >= 0.0:
            p.error(f"--{name} must be zero or positive")
    for name in ("speed", "accel"):
        if not (getattr(args, name) > 0.0 and math.isfinite(getattr(args, name))):
            p.error(f"--{name} must be positive")
    if not args.rate > 0.0:
        p.error("--rate must be positive")
    check_plot(p, args.plot)
    return args


# ------------------------------------------------------------------ the file

def interfaces(buses: Tuple[str, ...], given: Optional[List[str]]) -> Dict[str, str]:
    """{the file's bus: the interface to open} of the --iface options;
    ValueError for options that do not fit the file's buses."""
    chosen = {bus: bus for bus in buses}
    plain = [g for g in given or [] if "=" not in g]
    if given is None and len(buses) == 1:
        plain = ["vcan0"]
    if plain:
        if len(plain) > 1 or len(buses) > 1:
            raise ValueError(f"the file names the buses {', '.join(buses)}: give --iface BUS=IFACE for each")
        chosen[buses[0]] = plain[0]
    for item in given or []:
        bus, sep, iface = item.partition("=")
        if not sep:
            continue
        if bus not in chosen:
            raise ValueError(f"--iface {item}: the file names no bus {bus!r} (it names {', '.join(buses)})")
        if not iface:
            raise ValueError(f"--iface {item}: no interface after '='")
        chosen[bus] = iface
    return chosen


@dataclasses.dataclass(frozen=True)
class Motion:
    """What one joint follows: a position sine (`by_speed` False) or a
    speed sine, around `centre` by `amplitude`, at `omega` rad/s; `speed`
    is the speed limit a POS_VEL or FORCE_POS joint's position is reached at;
    positions are kept within [`low`, `high`], the joint's limits, so that
    what is recorded is what the robot sends."""
    name: str
    by_speed: bool
    centre: float
    amplitude: float
    omega: float
    speed: float
    low: float = -math.inf
    high: float = math.inf

    @property
    def unit(self) -> str:
        return "rad/s" if self.by_speed else "rad"


def motions(joints: Any, amplitude: float, frequency: float) -> List[Motion]:
    """The motion of each joint of a checked description, in joint order."""
    omega = 2.0 * math.pi * frequency
    out = []
    for j in joints:
        mode = rotalink.ControlMode(j.mode)
        top = j.dq_max if j.dq_max is not None else DEFAULT_SPEED
        if mode == rotalink.ControlMode.VEL:
            out.append(Motion(j.name, True, 0.0, amplitude * top, omega, 0.0))
            continue
        if j.q_min is not None and j.q_max is not None:
            centre, half = 0.5 * (j.q_min + j.q_max), 0.5 * (j.q_max - j.q_min)
        else:
            centre, half = 0.0, DEFAULT_HALF_RANGE
        low = j.q_min if j.q_min is not None else -math.inf
        high = j.q_max if j.q_max is not None else math.inf
        if mode == rotalink.ControlMode.MIT:
            out.append(Motion(j.name, False, centre, amplitude * half, omega, 0.0, low, high))
        else:
            out.append(Motion(j.name, False, centre, amplitude * half, SLOW * omega, top, low, high))
    return out


def start_pose(plan: List[Motion], here: Vector) -> Vector:
    """Where each joint's motion starts: the middle of a position sine; a
    speed joint stays where it is."""
    return np.array([here[i] if m.by_speed else min(max(m.centre, m.low), m.high) for i, m in enumerate(plan)])


def command_at(plan: List[Motion], start: Vector, t: float, ramp: float) -> Tuple[Vector, Vector]:
    """The joints' (q, dq) at `t` seconds: the motion, blended in from the
    positions `start` over the first `ramp` seconds (a smooth step whose
    slope adds to the feed-forward velocity)."""
    x = min(1.0, t / ramp) if ramp > 0.0 else 1.0
    s = x * x * (3.0 - 2.0 * x)
    ds = 6.0 * x * (1.0 - x) / ramp if 0.0 < x < 1.0 else 0.0
    q = np.zeros(len(plan))
    dq = np.zeros(len(plan))
    for i, m in enumerate(plan):
        wave, slope = math.sin(m.omega * t), math.cos(m.omega * t) * m.omega
        if m.by_speed:
            dq[i] = s * m.amplitude * wave
            continue
        target = m.centre + m.amplitude * wave
        q[i] = min(max(start[i] + s * (target - start[i]), m.low), m.high)
        dq[i] = m.speed if m.speed > 0.0 else s * m.amplitude * slope + ds * (target - start[i])
    return q, dq


# ----------------------------------------------------------------- the run

class Record:
    """The largest tracking error of each joint over every cycle and, with
    a plot, every `stride`-th cycle's time, command and measurement (the
    position, or the velocity of a speed joint)."""

    def __init__(self, plan: List[Motion], cycles: int, keep: bool) -> None:
        self.by_speed = np.array([m.by_speed for m in plan])
        self.worst = np.full(len(plan), np.nan)
        self.stride = max(1, math.ceil(cycles / MAX_PLOT_SAMPLES))
        self.keep = keep
        self.count = 0
        self.stats: Optional[rotalink.LoopStats] = None  # the loop's, once it ran
        self.t = array("d")
        self.commanded: List[array[float]] = [array("d") for _ in plan]
        self.measured: List[array[float]] = [array("d") for _ in plan]

    def add(self, t: float, q: Vector, dq: Vector, state: rotalink.JointStates) -> None:
        want = np.where(self.by_speed, dq, q)
        got = np.where(self.by_speed, state.dq, state.q)
        self.worst = np.fmax(self.worst, np.abs(got - want))  # a joint that did not answer (NaN) counts not
        if self.keep and self.count % self.stride == 0:
            self.t.append(t)
            for i in range(len(want)):
                self.commanded[i].append(float(want[i]))
                self.measured[i].append(float(got[i]))
        self.count += 1

    def draw(self, path: Path, plan: List[Motion], title: str) -> None:
        """One row per joint, commanded against measured."""
        figure_class, canvas_class = matplotlib_classes()
        fig = figure_class(figsize=(10.0, 1.8 * len(plan) + 0.9))
        canvas_class(fig)
        axes = fig.subplots(len(plan), 1, sharex=True, squeeze=False)
        for i, m in enumerate(plan):
            ax = axes[i][0]
            ax.plot(self.t, self.commanded[i], label="commanded", color="tab:blue", lw=3.0, alpha=0.45)
            ax.plot(self.t, self.measured[i], label="measured", color="tab:orange", lw=1.1)
            ax.grid(True, alpha=0.3)
            ax.set_title(f"{m.name}: {'velocity' if m.by_speed else 'position'} ({m.unit})", fontsize=10)
        axes[-1][0].set_xlabel("time (s)")
        axes[0][0].legend(loc="upper right", fontsize=8)
        fig.suptitle(title, fontsize=11)
        fig.tight_layout()
        fig.savefig(str(path), dpi=90)


def drive(arm: rotalink.Robot, plan: List[Motion], args: argparse.Namespace, record: Record,
          current: Optional[float]) -> int:
    """Inside the robot's scope: move the joints to the motion's start and
    run the loop for --seconds; the exit status. The loop's statistics go
    into `record` however the loop ends."""
    here = arm.state().q
    print("at " + ", ".join(f"{m.name} {q:+.4f}" for m, q in zip(plan, here)), flush=True)
    start = start_pose(plan, here)
    # Long enough for a cycle of a slow bus, and for the loop's hold watchdog to speak first.
    wait_ms = args.hold_ms + round(2000.0 / args.rate) + arm.group.timeout_ms + 1000
    try:
        started = arm.start(args.rate, hold_ms=args.hold_ms, record=args.record)
    except (ImportError, OSError) as exc:  # the record's package, or its file
        print(f"error: cannot record to {args.record}: {exc}", file=sys.stderr, flush=True)
        return 2
    try:
        with started as loop:
            try:
                print("moving to " + ", ".join(f"{m.name} {q:+.4f}" for m, q in zip(plan, start)), flush=True)
                move = loop.move_to(start, velocity_limit=args.speed, accel_limit=args.accel)
                if not move.wait():
                    print("error: the move to the start was cancelled", file=sys.stderr, flush=True)
                    return 1
            except (RuntimeError, TimeoutError) as exc:  # the loop stopped by itself
                print(f"error: the control loop stopped: {loop.error or exc}", file=sys.stderr, flush=True)
                return 1
            print(f"running the loop at {args.rate:g} Hz for {args.seconds:g} s: amplitude {args.amplitude:g} of "
                  f"each joint's range, frequency {args.frequency:g} Hz", flush=True)
            begun = time.perf_counter()
            t = 0.0
            try:
                while t < args.seconds:
                    q, dq = command_at(plan, start, t, args.ramp)
                    loop.set(q=q, dq=dq, current=current)
                    record.add(t, q, dq, loop.wait(wait_ms))
                    t = time.perf_counter() - begun
            except (RuntimeError, TimeoutError) as exc:  # the loop stopped by itself, or no cycle came
                print(f"error: the control loop stopped: {loop.error or exc}", file=sys.stderr, flush=True)
                return 1
    finally:
        record.stats = started.stats()  # once stopped: the record is written
    return 0


def run(args: argparse.Namespace) -> int:
    try:
        found = description.load(args.description)
        chosen = interfaces(found.buses, args.iface)
    except description.DescriptionError as exc:
        for line in exc.errors:
            print(f"error: {line}", file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"error: cannot read {args.description}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    except ValueError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    settings = {k: v for k, v in (("timeout_ms", args.timeout_ms), ("watchdog_ms", args.watchdog_ms))
                if v is not None}
    found = dataclasses.replace(found, **settings)
    buses = {}
    for bus, iface in chosen.items():
        opened = open_bus(iface)
        if opened is None:
            return 1
        buses[bus] = opened
    try:
        arm: rotalink.Robot = description.build(found, buses)
    except ValueError as exc:  # what only the module refuses
        print(f"error: {exc}", file=sys.stderr)
        return 2
    plan = motions(found.joints, args.amplitude, args.frequency)
    force_pos = any(rotalink.ControlMode(j.mode) == rotalink.ControlMode.FORCE_POS for j in found.joints)
    record = Record(plan, round(args.seconds * args.rate), args.plot is not None)
    on = ", ".join(f"{bus}={iface}" if bus != iface else iface for bus, iface in chosen.items())

    status = 0
    with stopped_by_signals():
        try:
            with arm:  # each motor in its joint's mode, then all enabled; disabled however the block ends
                try:
                    print(f"enabled {arm!r} on {on}", flush=True)
                    status = drive(arm, plan, args, record, FORCE_POS_CURRENT if force_pos else None)
                finally:
                    ignore_stop_signals()  # a second Ctrl-C must not break off the disable
            print("disabled every joint's motor", flush=True)
        except Stopped as stop:
            status = stop.status
            print(f"stopped by {stop.name}", flush=True)
        except RuntimeError as exc:  # GroupError too: entering, a cycle or the disable failed
            print(f"error: {exc}", file=sys.stderr, flush=True)
            for note in getattr(exc, "__notes__", ()):
                print(f"error: {note}", file=sys.stderr, flush=True)
            status = 1
        finally:
            ignore_stop_signals()
    return finish(args, plan, record, status)


def finish(args: argparse.Namespace, plan: List[Motion], record: Record, status: int) -> int:
    """The summary, the warning of a slow loop and the plot, once the loop
    ran; the final exit status."""
    stats = record.stats
    if stats is None:
        return status
    print(f"cycles {stats.cycles}, {stats.rate_hz:.4g} Hz of {args.rate:g} requested, overruns {stats.overruns}, "
          f"missed replies {sum(stats.missed)}", flush=True)
    if args.record is not None:
        print(f"recorded {stats.recorded} cycles to {args.record}" +
              (f", {stats.record_dropped} left out" if stats.record_dropped else "") +
              (f"; the record ended early: {stats.record_error}" if stats.record_error else ""), flush=True)
    print("max tracking error: " + ", ".join(
        f"{m.name} " + ("-" if math.isnan(e) else f"{e:.4f} {m.unit}") for m, e in zip(plan, record.worst)),
        flush=True)
    if (status == 0 or status > 128) and stats.cycles > 1 and stats.rate_hz < SLOW_SHARE * args.rate:
        print(f"warning: ran at {stats.rate_hz:.4g} cycles per second, {stats.rate_hz / args.rate:.0%} of the "
              f"requested {args.rate:g}: lower --rate, or find what holds the loop up", file=sys.stderr, flush=True)
    if args.plot is None:
        return status
    title = (f"{Path(sys.argv[0]).name}: ran at {stats.rate_hz:.4g} Hz ({args.rate:g} Hz requested), "
             f"amplitude {args.amplitude:g} of each range, frequency {args.frequency:g} Hz")
    return write_plot(args.plot, record.count, lambda: record.draw(args.plot, plan, title), status)


def main(argv: Optional[List[str]] = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
