"""The Python face's control loop for callgrind (benchmarks/run --cpp, in the
VM): what benchmarks/loop_cost.cpp does through the C++ face, through the
module: K motors on one bus answered by benchmarks/responder, the group's
scope entered, a loop at RATE Hz run until CYCLES cycles have completed while
the main thread sets the same MIT setpoints after every cycle. Prints the
loop's cycle count as JSON.

    python3 benchmarks/loop_cost.py IFACE MOTORS RATE CYCLES
    python3 benchmarks/loop_cost.py report RESULTS_DIR

report: from what benchmarks/vm_loop_cost.sh left in RESULTS_DIR, per run
of each face the loop thread's instructions (the callgrind file of the
thread that ran damiao::ControlLoop::run) divided by the loop's cycles, and
of those the part in MotorGroup::locked_step (the cycle on the locked buses:
discard, send, wait, decode), with the ratio of the Python face's to the C++
face's.
"""

import glob
import json
import os
import re
import statistics
import subprocess
import sys


def inclusive(path, name):
    """The inclusive instructions of the function `name` in the callgrind
    file at `path` (0 when it has none)."""
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                               capture_output=True, text=True, check=True).stdout
    return max((int(line.split()[0].replace(",", "")) for line in annotated.splitlines()
                if name in line and line.split()[0][:1].isdigit()), default=0)


def thread_counts(prefix):
    """(instructions, in locked_step) of the loop's thread: the one among
    the callgrind files `prefix`-NN (one a thread) that ran
    damiao::ControlLoop::run."""
    best = None
    for path in sorted(glob.glob(prefix + "-*")):
        run = inclusive(path, "rotalink::damiao::ControlLoop::run()")
        if run and (best is None or run > best[0]):
            best = (run, path)
    if best is None:
        raise SystemExit(f"no callgrind file of the loop's thread at {prefix}-*")
    with open(best[1], errors="replace") as f:
        total = int(re.search(r"^totals:\s+(\d+)", f.read(), re.M).group(1))
    return total, inclusive(best[1], "rotalink::damiao::MotorGroup::locked_step(")


def report(res):
    with open(os.path.join(res, "loop_cost.json")) as f:
        run = json.load(f)
    rows, per = [], {"cpp": [], "python": []}
    for r in range(1, run["rounds"] + 1):
        for face in ("cpp", "python"):
            with open(os.path.join(res, f"loop_cost.{face}.{r}.json")) as f:
                done = json.load(f)
            total, step = thread_counts(os.path.join(res, f"callgrind.loop.{face}.{r}"))
            n = done["cycles"]
            per[face].append((total / n, step / n))
            rows.append(f"| {'C++ face' if face == 'cpp' else 'Python module'} | {r} | {n} | {done['missed']} "
                        f"| {total:,} | {total / n:,.0f} | {step / n:,.0f} |")
    cpp = statistics.median(x[0] for x in per["cpp"])
    py = statistics.median(x[0] for x in per["python"])
    cpp_step = statistics.median(x[1] for x in per["cpp"])
    py_step = statistics.median(x[1] for x in per["python"])
    lines = [f"{run['motors']} motors on vcan0, {run['rate']:g} Hz, {run['cycles']} cycles a run (callgrind, "
             "the loop's thread)", "",
             "| face | round | cycles | replies missed | loop thread instructions | per cycle "
             "| of which locked_step |", "|---|---|---|---|---|---|---|"] + rows
    ratio = py / cpp
    lines += ["", f"median per cycle: C++ face {cpp:,.0f}, Python module {py:,.0f}: Python / C++ = {ratio:.3f} "
              f"(locked_step: {cpp_step:,.0f} and {py_step:,.0f}, {py_step / cpp_step:.3f})",
              f"goal: within 5 %: {abs(ratio - 1) * 100:.1f} % ({'met' if abs(ratio - 1) <= 0.05 else 'missed'})"]
    print("\n".join(lines))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "report":
        return report(sys.argv[2])
    import rotalink

    iface, motors, rate, cycles = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    bus = rotalink.SocketCanTransport(iface)
    limits = rotalink.MitLimits.dm4310()
    members = [(bus, rotalink.Damiao(0x01 + i, 0x11 + i, limits)) for i in range(motors)]
    group = rotalink.MotorGroup(members)
    setpoints = [rotalink.MitSetpoint(1.0, -2.0, 50.0, 1.0, 3.0) for _ in range(motors)]
    with group:
        loop = group.start(rate, hold_ms=60000)
        while loop.stats().cycles < cycles:
            loop.set(setpoints)
            loop.wait(60000)
        loop.stop()
        stats = loop.stats()
    print(json.dumps({"face": "python", "cycles": stats.cycles, "overruns": stats.overruns,
                      "missed": sum(stats.missed)}))


if __name__ == "__main__":
    main()
