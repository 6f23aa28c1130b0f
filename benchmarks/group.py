"""MotorGroup benchmarks on a real kernel's vcan (run inside the VM by
benchmarks/vm_group.sh): one cycle of a group against the same commands sent
one after the other, and against the python-can peer's group cycle.

    python3 benchmarks/group.py pipeline --responder PATH --out F [--delay-ms 20]
    python3 benchmarks/group.py sim --out F [--delay-ms 20]
    python3 benchmarks/group.py cpu --out F
    python3 benchmarks/group.py count MODE N CYCLES        (for strace -c -f)
    python3 benchmarks/group.py marked CYCLES --out F [--sizes 1,4,8,16]  (for callgrind)

pipeline: every motor answers after a fixed latency L (benchmarks/responder.c
  --delay-ms, one responder per bus on --pipeline-ifaces, started here). For
  N motors on B buses, the time of one `MotorGroup.mit_control` cycle (median,
  p99) beside that of N single `Damiao.mit_control` commands in a row. A group
  whose replies overlap takes about L per cycle, the commands in a row N x L.
  With --delay-ms 0 the same runs give the cycle's own time, without waiting.
sim: the same against `python3 -m rotalink_sim IFACE --delay-ms L` with N
  motors on one bus: whether the simulator's replies overlap too.
cpu, count, marked: one bus for rotalink (--cost-iface) and one for the peer
  (--peer-iface), each with a responder that answers at once, started by the
  caller (so that strace -f and callgrind see only this process). Three ways to run one cycle of N motors:
    group   one MotorGroup.mit_control call
    single  N Damiao.mit_control calls
    peer    peer.PeerGroup.mit_control: python-can, every frame sent, then every
            reply collected until one deadline
  Two more ways for count and marked, at N = 8 in marked, to weigh the
  commands of the other control modes against MIT's:
    mixed   one MotorGroup.control call with a setpoint of each of the four
            kinds in turn (MIT, POS_VEL, VEL, FORCE_POS: two of each at N = 8)
    control one MotorGroup.control call with N MitSetpoints
    clamped one MotorGroup.mit_control call as in group, on a group whose
            members have joint limits that clamp every setpoint
  cpu: CPU time (getrusage) and wall time per cycle, the three alternating in
  blocks. count: opens the bus, runs CYCLES cycles and exits; the difference of
  two runs under strace is the system calls of the cycles. marked: CYCLES
  cycles of each (mode, N) between calls of os.getppid(), which callgrind's
  --dump-before=os_getppid* turns into one dump each; --out names the dumps.
  The responders answer every mode's command identifier.

Motor i of a group is on bus i % B with motor identifier 1 + i // B and master
identifier 0x11 + i // B, so up to 16 motors per bus (0x01-0x10, 0x11-0x20).
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rotalink  # noqa: E402

import peer  # noqa: E402

MOTOR_BASE = 0x01
MASTER_BASE = 0x11
MAX_PER_BUS = 16
SIZES = (1, 2, 4, 8, 16)
BUS_COUNTS = (1, 2, 4)
COST_SIZES = (1, 4, 8, 16)
MODES = ("group", "single", "peer")
MIXED_MODES = ("mixed", "control", "clamped")
MIXED_SIZE = 8
SETPOINT = (1.0, -2.0, 50.0, 1.0, 3.0)


def mixed_setpoints(n):
    """n setpoints of the four kinds in turn: MIT, POS_VEL, VEL, FORCE_POS."""
    kinds = (lambda: rotalink.MitSetpoint(*SETPOINT), lambda: rotalink.PosVelSetpoint(1.0, 2.0),
             lambda: rotalink.VelSetpoint(-2.0), lambda: rotalink.ForcePosSetpoint(1.0, 2.0, 0.5))
    return [kinds[i % len(kinds)]() for i in range(n)]


def layout(n, b):
    """(bus index, motor id, master id) of each of n motors on b buses."""
    return [(i % b, MOTOR_BASE + i // b, MASTER_BASE + i // b) for i in range(n)]


def run_cycles(cycle, setpoints, cycles, errors):
    """Calls cycle(setpoints) `cycles` times; returns how many raised `errors`."""
    failures = 0
    for _ in range(cycles):
        try:
            cycle(setpoints)
        except errors:
            failures += 1
    return failures


class Rig:
    """n motors on the first b of `buses`, driven by rotalink."""

    def __init__(self, buses, n, b, timeout_ms):
        self.members = [(buses[bus_i], rotalink.Damiao(mid, master, rotalink.MitLimits.dm4310(),
                                                       timeout_ms=timeout_ms))
                        for bus_i, mid, master in layout(n, b)]
        self.group = rotalink.MotorGroup(self.members, timeout_ms=timeout_ms)
        # Below every setpoint's position, above none of its other fields:
        # each command has its position clamped.
        joint = rotalink.JointLimits(q_min=-0.5, q_max=0.5, dq_max=10.0, tau_max=5.0)
        self.limited = rotalink.MotorGroup(self.members, timeout_ms=timeout_ms, joint_limits=[joint] * n)
        self.setpoints = [rotalink.MitSetpoint(*SETPOINT) for _ in range(n)]
        self.mixed = mixed_setpoints(n)

    def group_loop(self, cycles):
        return run_cycles(self.group.mit_control, self.setpoints, cycles, RuntimeError)  # GroupError

    def mixed_loop(self, cycles):
        return run_cycles(self.group.control, self.mixed, cycles, RuntimeError)

    def control_loop(self, cycles):
        return run_cycles(self.group.control, self.setpoints, cycles, RuntimeError)

    def clamped_loop(self, cycles):
        return run_cycles(self.limited.mit_control, self.setpoints, cycles, RuntimeError)

    def single_loop(self, cycles):
        pairs = [(bus, motor.mit_control, sp)
                 for (bus, motor), sp in zip(self.members, self.setpoints)]
        failures = 0
        for _ in range(cycles):
            for bus, cmd, sp in pairs:
                try:
                    cmd(bus, sp)
                except (RuntimeError, TimeoutError):
                    failures += 1
        return failures

    def timed(self, loop, cycles, out):
        """Appends the wall time in ns of each of `cycles` cycles that did not
        fail to `out`; returns the number that failed."""
        now = time.perf_counter_ns
        failures = 0
        for _ in range(cycles):
            t0 = now()
            f = loop(1)
            t1 = now()
            if f:
                failures += 1
            else:
                out.append(t1 - t0)
        return failures


class PeerRig:
    """n motors on one python-can bus, driven by the peer's group cycle."""

    def __init__(self, bus, n, timeout_ms):
        motors = [peer.PeerMotor(mid, master, peer.PeerLimits(), timeout_ms=timeout_ms)
                  for _, mid, master in layout(n, 1)]
        self.group = peer.PeerGroup(bus, motors, timeout_ms=timeout_ms)
        self.setpoints = [peer.PeerSetpoint(*SETPOINT) for _ in range(n)]

    def group_loop(self, cycles):
        return run_cycles(self.group.mit_control, self.setpoints, cycles, (RuntimeError, TimeoutError))


def percentile(sorted_values, p):
    k = max(0, min(len(sorted_values) - 1, int(round(p / 100.0 * (len(sorted_values) - 1)))))
    return sorted_values[k]


def summary_ms(samples_ns):
    s = sorted(samples_ns)
    if not s:
        return {"samples": 0}
    return {"samples": len(s), "median_ms": s[len(s) // 2] / 1e6,
            "p99_ms": percentile(s, 99) / 1e6, "min_ms": s[0] / 1e6, "max_ms": s[-1] / 1e6}


def wait_ready(path, what):
    for _ in range(200):
        if os.path.exists(path):
            return
        time.sleep(0.05)
    raise SystemExit(f"{what} did not start")


def start_responders(responder, ifaces, delay_ms):
    procs = []
    for iface in ifaces:
        ready = f"/tmp/group-responder-{iface}.ready"
        if os.path.exists(ready):
            os.unlink(ready)
        procs.append(subprocess.Popen([responder, "--delay-ms", str(delay_ms), "--motors",
                                       str(MAX_PER_BUS), iface, hex(MOTOR_BASE),
                                       hex(MASTER_BASE), ready]))
        wait_ready(ready, f"responder on {iface}")
    return procs


def stop(procs):
    for p in procs:
        p.terminate()
    for p in procs:
        p.wait(5)


def compare(buses, n, b, delay_ms, cycles, rounds, timeout_ms):
    """Group cycles and rounds of single commands for n motors on b buses."""
    rig = Rig(buses, n, b, timeout_ms)
    rig.group_loop(3)  # warm-up
    rig.single_loop(1)
    grp, seq = [], []
    failures_g = rig.timed(rig.group_loop, cycles, grp)
    failures_s = rig.timed(rig.single_loop, rounds, seq)
    row = {"n": n, "buses": b, "delay_ms": delay_ms, "group": summary_ms(grp),
           "single": summary_ms(seq), "group_failures": failures_g,
           "single_failures": failures_s}
    g, s = row["group"], row["single"]
    if not (g["samples"] and s["samples"]):
        print(f"N={n:2} B={b}  no samples: failures {failures_g}/{failures_s}", flush=True)
        return row
    in_l = f"  ({g['median_ms'] / delay_ms:.2f} L)" if delay_ms else ""
    print(f"N={n:2} B={b}  group median {g['median_ms']:7.2f} ms  p99 {g['p99_ms']:7.2f} ms"
          f"{in_l}   {n} singles median {s['median_ms']:8.2f} ms"
          f"  p99 {s['p99_ms']:8.2f} ms   failures {failures_g}/{failures_s}", flush=True)
    return row


def cmd_pipeline(args):
    ifaces = args.pipeline_ifaces.split(",")
    procs = start_responders(args.responder, ifaces, args.delay_ms)
    try:
        buses = [rotalink.SocketCanTransport(i) for i in ifaces]
        rows = []
        for b in BUS_COUNTS:
            if b > len(buses):
                continue
            for n in SIZES:
                if n < b or n > b * MAX_PER_BUS:
                    continue
                rows.append(compare(buses, n, b, args.delay_ms, args.cycles, args.rounds,
                                    args.timeout_ms))
    finally:
        stop(procs)
    result = {"delay_ms": args.delay_ms, "cycles": args.cycles, "rounds": args.rounds,
              "timeout_ms": args.timeout_ms, "rows": rows}
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


def cmd_sim(args):
    n_max = max(args.sizes)
    cmd = [sys.executable, "-m", "rotalink_sim", args.sim_iface, "--delay-ms", str(args.delay_ms)]
    for _, mid, master in layout(n_max, 1):
        cmd += ["--motor", f"{mid:#x}:{master:#x}"]
    # The simulator from this tree (src/rotalink_sim), not an installed one.
    env = dict(os.environ)
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    env["PYTHONPATH"] = src + os.pathsep + env.get("PYTHONPATH", "")
    sim = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, env=env)
    try:
        line = sim.stdout.readline()
        if line.strip() != "ready":
            raise SystemExit(f"rotalink-sim did not start: {line!r}")
        bus = rotalink.SocketCanTransport(args.sim_iface)
        rows = [compare([bus], n, 1, args.delay_ms, args.cycles, args.rounds, args.timeout_ms)
                for n in args.sizes]
    finally:
        sim.terminate()
        sim.wait(5)
    with open(args.out, "w") as f:
        json.dump({"delay_ms": args.delay_ms, "cycles": args.cycles, "rounds": args.rounds,
                   "rows": rows}, f, indent=1)


class CostBench:
    """The two buses of the cost runs, each with a responder that answers at
    once: rotalink's (group and single commands) and the peer's, kept apart
    so that neither socket queues the other's frames. Every rig of every N
    uses these two sockets, so none finds frames left from another's runs."""

    def __init__(self, args):
        self.timeout_ms = args.timeout_ms
        self.bus = rotalink.SocketCanTransport(args.cost_iface)
        self.peer_bus = peer.open_bus(args.peer_iface)

    def loops(self, n):
        """{mode: loop(cycles) -> failures} for n motors."""
        rig = Rig([self.bus], n, 1, self.timeout_ms)
        peer_rig = PeerRig(self.peer_bus, n, self.timeout_ms)
        return {"group": rig.group_loop, "single": rig.single_loop, "peer": peer_rig.group_loop,
                "mixed": rig.mixed_loop, "control": rig.control_loop, "clamped": rig.clamped_loop}

    def close(self):
        self.peer_bus.shutdown()


def cpu_times():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime, r.ru_stime


def cmd_cpu(args):
    bench = CostBench(args)
    rows = []
    for n in COST_SIZES:
        loops = bench.loops(n)
        for loop in loops.values():
            loop(20)
        st = {m: {"user": 0.0, "sys": 0.0, "wall": 0.0, "cycles": 0, "failures": 0,
                  "block_cpu": []} for m in MODES}
        block = max(1, args.cycles // args.blocks)
        for _ in range(args.blocks):
            for m in MODES:
                u0, s0 = cpu_times()
                w0 = time.perf_counter()
                f = loops[m](block)
                w1 = time.perf_counter()
                u1, s1 = cpu_times()
                s = st[m]
                s["user"] += u1 - u0
                s["sys"] += s1 - s0
                s["wall"] += w1 - w0
                s["cycles"] += block
                s["failures"] += f
                s["block_cpu"].append((u1 - u0 + s1 - s0) / block)
        row = {"n": n}
        for m in MODES:
            s = st[m]
            c = s["cycles"]
            row[m] = {"cpu_us": (s["user"] + s["sys"]) / c * 1e6, "user_us": s["user"] / c * 1e6,
                      "sys_us": s["sys"] / c * 1e6, "wall_us": s["wall"] / c * 1e6,
                      "cycles": c, "failures": s["failures"]}
        for other in ("single", "peer"):
            ratios = [o / g for o, g in zip(st[other]["block_cpu"], st["group"]["block_cpu"])
                      if g > 0]
            row[f"{other}_over_group_block_median"] = statistics.median(ratios) if ratios else None
        rows.append(row)
        print(f"N={n:2}  CPU us per cycle: " + "  ".join(
            f"{m} {row[m]['cpu_us']:8.1f} (wall {row[m]['wall_us']:8.1f})" for m in MODES)
            + f"   peer/group {row['peer_over_group_block_median']:.1f}x"
            f"  single/group {row['single_over_group_block_median']:.1f}x", flush=True)
    bench.close()
    with open(args.out, "w") as f:
        json.dump({"cycles": args.cycles, "blocks": args.blocks, "rows": rows}, f, indent=1)


def cmd_count(args):
    bench = CostBench(args)
    failures = bench.loops(args.n)[args.mode](args.cycles)
    bench.close()
    if failures:
        print(f"{failures} failures in {args.cycles} {args.mode} cycles of {args.n}",
              file=sys.stderr)


def cmd_marked(args):
    bench = CostBench(args)
    rigs = {n: bench.loops(n) for n in args.sizes}
    for loops in rigs.values():
        for loop in loops.values():
            loop(5)
    labels = []
    for n in args.sizes:
        for m in MODES + (MIXED_MODES if n == MIXED_SIZE else ()):
            os.getppid()
            rigs[n][m](args.cycles)
            labels.append({"mode": m, "n": n})
    os.getppid()
    bench.close()
    # Dump 1 is the start-up; dump k + 2 is labels[k].
    with open(args.out, "w") as f:
        json.dump({"cycles": args.cycles, "dumps": labels}, f, indent=1)


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)

    def common(p, out=True):
        if out:
            p.add_argument("--out", required=True)
        p.add_argument("--timeout-ms", type=int, default=500)
        p.add_argument("--cost-iface", default="vcan6")
        p.add_argument("--peer-iface", default="vcan7")

    p = sub.add_parser("pipeline")
    common(p)
    p.add_argument("--responder", required=True)
    p.add_argument("--delay-ms", type=float, default=20.0)
    p.add_argument("--cycles", type=int, default=200)
    p.add_argument("--rounds", type=int, default=20)
    p.add_argument("--pipeline-ifaces", default="vcan2,vcan3,vcan4,vcan5")
    p = sub.add_parser("sim")
    common(p)
    p.add_argument("--delay-ms", type=float, default=20.0)
    p.add_argument("--cycles", type=int, default=50)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=[1, 4, 8, 16])
    p.add_argument("--sim-iface", default="vcan8")
    p = sub.add_parser("cpu")
    common(p)
    p.add_argument("--cycles", type=int, default=1000)
    p.add_argument("--blocks", type=int, default=10)
    p = sub.add_parser("count")
    common(p, out=False)
    p.add_argument("mode", choices=MODES + MIXED_MODES)
    p.add_argument("n", type=int)
    p.add_argument("cycles", type=int)
    p = sub.add_parser("marked")
    common(p)
    p.add_argument("cycles", type=int)
    p.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=list(COST_SIZES))
    args = ap.parse_args()
    {"pipeline": cmd_pipeline, "sim": cmd_sim, "cpu": cmd_cpu, "count": cmd_count,
     "marked": cmd_marked}[args.cmd](args)


if __name__ == "__main__":
    main()
