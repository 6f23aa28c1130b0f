"""Instructions per encode and per decode call, and per native driver
command, counted by callgrind.

    python3 benchmarks/callgrind_codec.py CODEC_COUNT RESULT.json [DRIVER_COUNT]

Runs `codec_count encode|decode N` under valgrind's callgrind with collection
switched on only inside the benchmark loop, for N = 100000 and 200000. The
figures per call are:
  * `function`: the inclusive cost of rotalink's encode or decode itself;
  * `with_loop`: the difference of the two loop totals over 100000 calls,
    the call as the loop makes it (argument set-up, result use, loop).
and, with DRIVER_COUNT, `driver_enable` and `driver_mit`: one enable or MIT
command through the driver against an in-memory motor (frame made, sent,
one foreign frame dropped, the reply parsed), the difference of the two loop
totals likewise.
Instruction counts do not depend on the machine's load, unlike the times.
"""

import json
import re
import subprocess
import sys
import tempfile
import os

N1, N2 = 100_000, 200_000


def collected(binary, op, n, out, loop=None):
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
           f"--toggle-collect=*{loop or op}_loop*", binary, op, str(n)]
    p = subprocess.run(cmd, capture_output=True, text=True, check=True)
    m = re.search(r"Collected : (\d+)", p.stderr)
    return int(m.group(1))


def function_cost(out, op):
    p = subprocess.run(["callgrind_annotate", "--inclusive=yes", out], capture_output=True,
                       text=True, check=True)
    for line in p.stdout.splitlines():
        if f"rotalink::damiao::mit::{op}(" in line:
            return int(line.split()[0].replace(",", ""))
    raise SystemExit(f"no line for {op} in callgrind_annotate output")


def main():
    binary, result = sys.argv[1], sys.argv[2]
    figures = {}
    with tempfile.TemporaryDirectory() as tmp:
        for op in ("encode", "decode"):
            f1, f2 = os.path.join(tmp, f"{op}.1"), os.path.join(tmp, f"{op}.2")
            c1 = collected(binary, op, N1, f1)
            c2 = collected(binary, op, N2, f2)
            figures[op] = {
                "function": function_cost(f1, op) / N1,
                "with_loop": (c2 - c1) / (N2 - N1),
            }
            print(f"{op}: {figures[op]['function']:.1f} instructions per call "
                  f"({figures[op]['with_loop']:.1f} with the loop)")
    if len(sys.argv) > 3:
        with tempfile.TemporaryDirectory() as tmp:
            for op in ("enable", "mit"):
                c1 = collected(sys.argv[3], op, N1, os.path.join(tmp, "1"), loop="command")
                c2 = collected(sys.argv[3], op, N2, os.path.join(tmp, "2"), loop="command")
                figures["driver_" + op] = (c2 - c1) / (N2 - N1)
                print(f"driver {op}: {figures['driver_' + op]:.1f} instructions per command")
    with open(result, "w") as f:
        json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
