"""What a single command costs a running control loop (run inside the VM:
tests/vm/run python3 benchmarks/single.py --responder PATH).

    python3 benchmarks/single.py --responder PATH [--iface vcan0] [--seconds 10]
                                 [--rate 500] [--out F]

Four motors on one bus (identifiers 0x01-0x04, answering from 0x11-0x14),
answered at once by benchmarks/responder.c, run by MotorGroup.start at
--rate; a fifth motor (0x05, answering from 0x15) on the same bus is a
simulator (rotalink_sim) that answers register traffic. While the loop runs,
the main thread sets the loop's setpoints every 20 ms and, between them,
sends single commands to the fifth motor on the loop's own bus object:

  none    no single command: the loop's own floor;
  read    Damiao.read_register(PMAX) every 50 ms: one exchange;
  switch  Damiao.ensure_mode, VEL then MIT, every 300 ms: the register read,
          a refresh, the write, the switch's 100 ms pause, the read back.

Each run reports LoopStats (period p50/p99/max, overruns) and the longest
single exchange seen (the slowest read_register of the read run): the loop's
longest period with single commands in between should exceed its floor by at
most about one exchange, whatever the command.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from loop import MASTER_BASE, MOTOR_BASE, MOTORS, start_responder  # benchmarks/loop.py

SINGLE = (0x05, 0x15)
SET_EVERY_S = 0.02


def run(rotalink, args, what):
    bus = rotalink.SocketCanTransport(args.iface)
    limits = rotalink.MitLimits.dm4310()
    members = [(bus, rotalink.Damiao(MOTOR_BASE + i, MASTER_BASE + i, limits)) for i in range(MOTORS)]
    setpoints = [rotalink.MitSetpoint(0.1 * i, 0.0, 5.0, 0.5, 0.0) for i in range(MOTORS)]
    single = rotalink.Damiao(*SINGLE, limits, timeout_ms=200)
    group = rotalink.MotorGroup(members, timeout_ms=1)
    exchanges = []
    modes = [rotalink.ControlMode.VEL, rotalink.ControlMode.MIT]
    every = {"none": None, "read": 0.05, "switch": 0.3}[what]
    with group, group.start(args.rate, hold_ms=1000) as loop:
        loop.set(setpoints)
        end = time.monotonic() + args.seconds
        next_single = time.monotonic()
        k = 0
        while time.monotonic() < end:
            time.sleep(SET_EVERY_S)
            loop.set(setpoints)
            if every is None or time.monotonic() < next_single:
                continue
            next_single += every
            t0 = time.monotonic()
            if what == "read":
                single.read_register(bus, rotalink.Register.PMAX)
            else:
                single.ensure_mode(bus, modes[k % 2])
                k += 1
            exchanges.append((time.monotonic() - t0) * 1e6)
        stats = loop.stats()
        error = loop.error
    return {"what": what, "period_us": list(stats.period_us), "overruns": stats.overruns,
            "cycles": stats.cycles, "missed": list(stats.missed), "error": error,
            "singles": len(exchanges), "single_us_max": max(exchanges, default=0.0),
            "single_us_p50": sorted(exchanges)[len(exchanges) // 2] if exchanges else 0.0}


def table(runs, rate):
    floor = next(r for r in runs if r["what"] == "none")
    exchange = next((r["single_us_max"] for r in runs if r["what"] == "read"), float("nan"))
    lines = [f"{MOTORS} motors in the loop at {rate:g} Hz (period {1e6 / rate:.0f} us), a fifth motor on the same "
             "bus taking single commands", "",
             "| single commands | count | each took (p50 / max) | loop period p50 | p99 | max "
             "| max - floor's max | overruns | missed |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in runs:
        p50, p99, mx = r["period_us"]
        lines.append(f"| {r['what']} | {r['singles']} | {r['single_us_p50']:.0f} / {r['single_us_max']:.0f} us "
                     f"| {p50:.0f} us | {p99:.0f} us | {mx:.0f} us | {mx - floor['period_us'][2]:+.0f} us "
                     f"| {r['overruns']} | {tuple(r['missed'])} |")
    worst = max(r["period_us"][2] for r in runs) - floor["period_us"][2]
    lines += ["", f"longest period past the floor's: {worst:.0f} us; one exchange (the slowest read): "
                  f"{exchange:.0f} us ({'within' if worst <= exchange else 'beyond'} one exchange)"]
    for r in runs:
        if r["error"]:
            lines.append(f"{r['what']}: the loop stopped: {r['error']}")
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("one", nargs="?", choices=["none", "read", "switch"])
    p.add_argument("--responder")
    p.add_argument("--iface", default="vcan0")
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--rate", type=float, default=500.0)
    p.add_argument("--out")
    args = p.parse_args()
    if args.one:
        import rotalink
        json.dump(run(rotalink, args, args.one), sys.stdout)
        return
    if not args.responder:
        p.error("--responder is needed")
    import rotalink_sim
    tmp = tempfile.mkdtemp(prefix="single-bench.")
    responder = start_responder(args.responder, args.iface, tmp)
    runs = []
    try:
        with rotalink_sim.spawn(args.iface, "--motor", f"{SINGLE[0]:#x}:{SINGLE[1]:#x}"):
            for what in ("none", "read", "switch"):
                print(f"-- {what}, {args.seconds:g} s", flush=True)
                out = subprocess.run([sys.executable, os.path.abspath(__file__), what, "--iface", args.iface,
                                      "--seconds", str(args.seconds), "--rate", str(args.rate)],
                                     stdout=subprocess.PIPE, text=True, check=True).stdout
                runs.append(json.loads(out))
    finally:
        responder.terminate()
        responder.wait()
    if args.out:
        with open(args.out, "w") as f:
            json.dump({"rate": args.rate, "runs": runs}, f, indent=1)
    print(table(runs, args.rate))


if __name__ == "__main__":
    main()
