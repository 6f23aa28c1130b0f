"""Instructions per statement of the value-class benchmarks (benchmarks/values.py),
rotalink against the peer, counted by callgrind in one run of the interpreter.

    python3 benchmarks/callgrind_values.py RESULT.json

Each statement runs N times in a loop of its own; a call of os.getppid()
(which nothing else in the run makes) between two loops makes callgrind start
a new dump, so each dump holds exactly one loop. The figure per statement is
the loop's total over N minus that of an empty loop. Unlike the timings,
instruction counts do not depend on the machine's load.
"""

import json
import os
import subprocess
import sys
import tempfile

N = 50_000

CHILD = r'''
import itertools, os, sys
sys.path.insert(0, {here!r})
import values
env = dict(values.ENV, _repeat=itertools.repeat)
stmts = {stmts!r}
loops = []
for s in stmts:
    code = "def _loop(n):\n    for _ in _repeat(None, n):\n        " + s + "\n"
    ns = dict(env)
    exec(compile(code, "<bench>", "exec"), ns)
    ns["_loop"](10)  # warm up: specialise the loop's instructions
    loops.append(ns["_loop"])
for loop in loops:
    os.getppid()
    loop({n})
os.getppid()
'''


def main():
    result = sys.argv[1]
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    import values

    stmts = ["pass"]
    for _, ours, peer in values.ROWS:
        stmts += [ours, peer]
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "child.py")
        with open(script, "w") as f:
            f.write(CHILD.format(here=here, stmts=stmts, n=N))
        out = os.path.join(tmp, "cg.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--dump-before=os_getppid*", sys.executable, script],
                       env=env, check=True, capture_output=True)
        totals = {}
        for name in os.listdir(tmp):
            if name.startswith("cg.out."):
                with open(os.path.join(tmp, name)) as f:
                    for line in f:
                        if line.startswith("totals:"):
                            totals[int(name.rsplit(".", 1)[1])] = int(line.split()[1])
    # Dump 1 is the start-up; dump k+2 is the loop of stmts[k].
    per = [totals[k + 2] / N for k in range(len(stmts))]
    empty = per[0]
    rows = []
    for i, (name, _, _) in enumerate(values.ROWS):
        ours, peer = per[1 + 2 * i] - empty, per[2 + 2 * i] - empty
        rows.append({"name": name, "ours": ours, "peer": peer})
        print(f"{name:32} {ours:8.0f} {peer:8.0f} instructions  {peer / ours:6.2f}x")
    print(f"{'empty loop':32} {empty:8.0f}")
    with open(result, "w") as f:
        json.dump({"n": N, "empty_loop": empty, "rows": rows}, f, indent=1)


if __name__ == "__main__":
    main()
