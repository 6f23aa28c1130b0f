"""What one cycle of Python-side work costs in joint space against the motor
level, in instructions of the calling thread (benchmarks/run --robot, in the
VM under callgrind).

    python3 benchmarks/robot_cost.py marked IFACE MOTORS RATE CYCLES ROUNDS --out F
    python3 benchmarks/robot_cost.py report RESULTS_DIR

marked: MOTORS MIT joints (direction 1, offset 0, gear 1, so that the motor
level has no conversion to do) on IFACE, motors 0x01.. answering from
0x11.. (benchmarks/responder --motors MOTORS), the group's scope entered.
Per round, two ways of running one cycle with numpy float64 vectors q, kp,
kd of one value per joint, each while its control loop runs at RATE Hz:

  robot  RobotLoop.set(q=q, kp=kp, kd=kd) and RobotLoop.state() (Robot.start)
  motor  one MitSetpoint per motor from the same vectors, ControlLoop.set on
         the robot's MotorGroup's own loop (MotorGroup.start), and
         ControlLoop.states() read into the numpy arrays a JointStates holds
         (q, dq, tau as float64, NaN for no answer; status, t_mos, t_rotor as
         int32, -1 for no answer)

and a cycle that calls a function doing nothing (`empty`: the harness, the
Python loop and the call). Each runs CYCLES times between calls of
os.getppid(), which callgrind's --dump-before=os_getppid* turns into one
dump each; with --separate-threads=yes each dump has one file per thread,
and the figure is the main thread's (-01), so the loop's own thread is not
counted. --out names the dumps.

report: per round and way, the main thread's instructions per cycle minus
the empty cycle's, and the ratio motor / robot (the goal: at least 3).
"""

import glob
import json
import math
import os
import statistics
import sys

GOAL = 3.0


def cmd_marked(argv):
    import numpy as np

    import rotalink

    iface, motors, rate, cycles, rounds = argv[0], int(argv[1]), float(argv[2]), int(argv[3]), int(argv[4])
    out = argv[argv.index("--out") + 1]
    bus = rotalink.SocketCanTransport(iface)
    limits = rotalink.MitLimits.dm4310()
    joints = [rotalink.Joint(f"j{i}", bus, 0x01 + i, 0x11 + i, limits) for i in range(motors)]
    robot = rotalink.Robot(joints, timeout_ms=500)
    q = np.linspace(-1.0, 1.0, motors)
    kp = np.full(motors, 20.0)
    kd = np.full(motors, 0.5)
    setpoint = rotalink.MitSetpoint
    nan = math.nan

    def robot_cycle():
        rloop.set(q=q, kp=kp, kd=kd)
        return rloop.state()

    def motor_cycle():
        gloop.set([setpoint(a, 0.0, b, c, 0.0) for a, b, c in zip(q.tolist(), kp.tolist(), kd.tolist())])
        states = gloop.states()
        return (np.array([s.position if s is not None else nan for s in states]),
                np.array([s.velocity if s is not None else nan for s in states]),
                np.array([s.torque if s is not None else nan for s in states]),
                np.array([s.error if s is not None else -1 for s in states], dtype=np.int32),
                np.array([s.t_mos if s is not None else -1 for s in states], dtype=np.int32),
                np.array([s.t_rotor if s is not None else -1 for s in states], dtype=np.int32))

    def empty():
        return None

    def run(fn, n):
        for _ in range(n):
            fn()

    def answered(result):
        """Whether every joint's feedback is there (both ways' results)."""
        status = result.status if hasattr(result, "status") else result[3]
        return bool((status >= 0).all())

    labels = []
    rloop = gloop = None
    with robot.group:
        for r in range(1, rounds + 1):
            for way in ("robot", "motor"):
                if way == "robot":
                    rloop = robot.start(rate, hold_ms=60000)
                    fn, loop = robot_cycle, rloop
                else:
                    gloop = robot.group.start(rate, hold_ms=60000)
                    fn, loop = motor_cycle, gloop
                fn()
                loop.wait(60000)
                loop.wait(60000)
                run(fn, 20)
                if not answered(fn()):
                    raise SystemExit(f"{way}, round {r}: not every motor answered")
                os.getppid()
                labels.append({"way": "setup", "round": r})
                run(fn, cycles)
                os.getppid()
                labels.append({"way": way, "round": r})
                run(empty, cycles)
                os.getppid()
                labels.append({"way": "empty", "round": r})
                stats = loop.stats()
                loop.stop()
                labels[-2]["loop_cycles"] = stats.cycles
                labels[-2]["missed"] = sum(stats.missed)
    os.getppid()
    # Dump k + 1 is what ran before the (k + 1)-th os.getppid(), labels[k].
    with open(out, "w") as f:
        json.dump({"motors": motors, "rate": rate, "cycles": cycles, "rounds": rounds, "dumps": labels},
                  f, indent=1)


def main_thread_total(prefix, dump):
    """The instructions of the main thread in callgrind dump `dump`."""
    paths = sorted(glob.glob(f"{prefix}.{dump}-01")) or sorted(glob.glob(f"{prefix}.{dump}"))
    if not paths:
        raise SystemExit(f"no callgrind dump {prefix}.{dump}-01")
    with open(paths[0], errors="replace") as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise SystemExit(f"no totals in {paths[0]}")


def figures(res):
    """{round: {way: instructions per cycle}} and the run's parameters."""
    info = json.load(open(os.path.join(res, "robot_cost.json")))
    prefix = os.path.join(res, "callgrind.robot")
    per = {}
    for k, d in enumerate(info["dumps"]):
        if d["way"] == "setup":
            continue
        per.setdefault(d["round"], {})[d["way"]] = (main_thread_total(prefix, k + 1) / info["cycles"], d)
    return info, per


def report(res):
    info, per = figures(res)
    lines = [f"{info['motors']} MIT joints on vcan0, loops at {info['rate']:g} Hz, {info['cycles']} cycles "
             "per way and round (callgrind, the calling thread only; empty = the harness's own cycle)", "",
             "| round | robot: set + state | motor: setpoints, set, states, arrays | empty "
             "| robot - empty | motor - empty | motor / robot |", "|---|---|---|---|---|---|---|"]
    ratios, robots, motors = [], [], []
    for r in sorted(per):
        a, b, e = per[r]["robot"][0], per[r]["motor"][0], per[r]["empty"][0]
        ratios.append((b - e) / (a - e))
        robots.append(a - e)
        motors.append(b - e)
        lines.append(f"| {r} | {a:,.0f} | {b:,.0f} | {e:,.0f} | {a - e:,.0f} | {b - e:,.0f} | {ratios[-1]:.2f} |")
    ratio = statistics.median(ratios)
    lines += ["", f"median per cycle: robot {statistics.median(robots):,.0f}, motor level "
              f"{statistics.median(motors):,.0f} instructions: motor / robot = {ratio:.2f}",
              f"goal: at least {GOAL:g}x fewer in joint space: {ratio:.2f}x "
              f"({'met' if ratio >= GOAL else 'missed'})"]
    loops = [(d["way"], d["round"], d["loop_cycles"], d["missed"]) for d in info["dumps"] if "loop_cycles" in d]
    lines.append("loops: " + ", ".join(f"{w} {r}: {c} cycles, {m} replies missed" for w, r, c, m in loops))
    print("\n".join(lines))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "report":
        return report(sys.argv[2])
    if len(sys.argv) >= 8 and sys.argv[1] == "marked":
        return cmd_marked(sys.argv[2:])
    raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
