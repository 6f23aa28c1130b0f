"""The cost of a move (benchmarks/run --move): runs benchmarks/move_cost
under callgrind, with one file per thread, for 6 MIT members and for 6 of
mixed kinds (MIT, POS_VEL, VEL), ROUNDS times each, and prints the loop
thread's instructions per cycle in plain cycles (repeating one set()'s
frames), inside a move and inside a blend, with the ratios to plain (goal: a
move at most 1.10 x plain), then where a move's extra instructions go: per
function, its own instructions per cycle in the move less those in plain
cycles (the first round's MIT run). Besides: plain cycles that are recorded
(each copied into the record's ring for a recorder thread), their ratio to
plain and where their extra instructions go.

    python3 benchmarks/move_cost.py MOVE_COST RESULTS_DIR [ROUNDS]

Environment: ROTALINK_BENCH_MOVE_CYCLES (measured cycles per phase, default
1000), ROTALINK_BENCH_MOVE_RATE (the loop's rate in Hz, default 200: slow
enough that callgrind's thread keeps up), ROTALINK_BENCH_MOVE_MOTORS
(default 6).
"""

import glob
import json
import os
import re
import statistics
import subprocess
import sys

PHASES = ("plain", "move", "blend", "record")
KINDS = ("mit", "mixed")
GOAL = 1.10


def self_costs(path):
    """(label, total, {function: own instructions}) of one callgrind dump."""
    names, costs, fn, skip = {}, {}, None, False
    label, total = None, None
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("desc: Trigger: Client Request: "):
                label = line[len("desc: Trigger: Client Request: "):].strip()
            elif line.startswith("summary:"):
                total = int(line.split()[1])
            elif line.startswith("fn="):
                m = re.match(r"fn=\((\d+)\)(?: (.*))?", line.rstrip("\n"))
                if m.group(2):
                    names[m.group(1)] = m.group(2)
                fn = names.get(m.group(1), m.group(1))
            elif line.startswith("cfn="):
                m = re.match(r"cfn=\((\d+)\)(?: (.*))?", line.rstrip("\n"))
                if m and m.group(2):
                    names[m.group(1)] = m.group(2)
            elif line.startswith("calls="):
                skip = True  # the next line is the call's inclusive cost
            elif line[:1].isdigit() or line[:1] in "+-*":
                if skip:
                    skip = False
                elif fn is not None:
                    parts = line.split()
                    if len(parts) >= 2:
                        costs[fn] = costs.get(fn, 0) + int(parts[1])
    return label, total, costs


def short(name):
    """A function's name without its arguments' types."""
    name = re.sub(r"\[abi:cxx11\]", "", name)
    depth, out = 0, ""
    for ch in name:
        if ch == "(":
            if depth == 0:
                out += "()"
            depth += 1
        elif ch == ")":
            depth -= 1
        elif depth == 0:
            out += ch
    return out.replace("rotalink::", "").replace(" [clone .constprop.0]", "")


def run_one(binary, res, kinds, r, cycles, rate, motors):
    prefix = os.path.join(res, f"callgrind.move.{kinds}.{r}")
    for old in glob.glob(prefix + "*"):
        os.remove(old)
    cmd = ["valgrind", "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={prefix}",
           binary, "--kinds", kinds, "--motors", str(motors), "--rate", str(rate), "--cycles", str(cycles)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    with open(prefix + ".log", "w") as f:
        f.write(done.stderr)
    if done.returncode != 0:
        raise SystemExit(f"move_cost ({kinds}, round {r}) failed:\n{done.stderr[-2000:]}")
    lines = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    overruns = {line["phase"]: line["overruns"] for line in lines}
    found = {}
    for path in glob.glob(prefix + ".*-*"):
        if path.endswith(".log"):
            continue
        label, total, costs = self_costs(path)
        if label in PHASES and any("ControlLoop::run()" in n for n in costs):
            found[label] = (total / cycles, costs)
    missing = [p for p in PHASES if p not in found]
    if missing:
        raise SystemExit(f"no dump of the loop's thread for {missing} at {prefix}.*")
    return found, overruns


def main():
    binary, res = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    cycles = int(os.environ.get("ROTALINK_BENCH_MOVE_CYCLES", "1000"))
    rate = float(os.environ.get("ROTALINK_BENCH_MOVE_RATE", "200"))
    motors = int(os.environ.get("ROTALINK_BENCH_MOVE_MOTORS", "6"))
    os.makedirs(res, exist_ok=True)
    print(f"loop thread's instructions per cycle (callgrind, exactly {cycles} cycles a phase, counted by the "
          f"loop's clock): {motors} members, {rate:g} Hz, over a socket pair, {rounds} rounds\n")
    print("| members | round | plain | move | blend | recorded | move / plain | blend / plain | recorded / plain "
          "| overruns (p/m/b/r) |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    per = {k: {p: [] for p in PHASES} for k in KINDS}
    first = {}
    summary = {"motors": motors, "rate": rate, "cycles": cycles, "rounds": rounds, "runs": []}
    for r in range(1, rounds + 1):
        for kinds in KINDS:
            found, overruns = run_one(binary, res, kinds, r, cycles, rate, motors)
            if r == 1:
                first[kinds] = found
            ipc = {p: found[p][0] for p in PHASES}
            for p in PHASES:
                per[kinds][p].append(ipc[p])
            summary["runs"].append({"kinds": kinds, "round": r, **ipc, "overruns": overruns})
            print(f"| {kinds} | {r} | {ipc['plain']:,.0f} | {ipc['move']:,.0f} | {ipc['blend']:,.0f} | "
                  f"{ipc['record']:,.0f} | {ipc['move'] / ipc['plain']:.3f} | {ipc['blend'] / ipc['plain']:.3f} | "
                  f"{ipc['record'] / ipc['plain']:.3f} | "
                  + "/".join(str(overruns.get(p, "?")) for p in PHASES) + " |", flush=True)
    print()
    for kinds in KINDS:
        m = {p: statistics.median(per[kinds][p]) for p in PHASES}
        ratio = m["move"] / m["plain"]
        print(f"goal, {kinds}: a move's cycle <= {GOAL:.2f} x a plain one: {m['move']:,.0f} / {m['plain']:,.0f} = "
              f"{ratio:.3f}, {'met' if ratio <= GOAL else 'missed'} (blend: {m['blend'] / m['plain']:.3f}; "
              f"recorded: {m['record'] / m['plain']:.3f})")
    for phase, what in (("move", "a move's"), ("record", "a recorded cycle's")):
        for kinds in KINDS:
            plain, other = first[kinds]["plain"][1], first[kinds][phase][1]
            diff = {f: (other.get(f, 0) - plain.get(f, 0)) / cycles for f in set(plain) | set(other)}
            extra = (first[kinds][phase][0] - first[kinds]["plain"][0])
            print(f"\nwhere {what} extra {extra:,.0f} instructions per cycle go ({kinds}, round 1; own "
                  f"instructions per cycle, {phase} less plain):")
            for f, d in sorted(diff.items(), key=lambda kv: -abs(kv[1]))[:12]:
                if abs(d) >= 1:
                    print(f"  {d:+8,.0f}  {short(f)}")
    with open(os.path.join(res, "move_cost.json"), "w") as f:
        json.dump(summary, f, indent=1)


if __name__ == "__main__":
    main()
