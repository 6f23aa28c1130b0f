"""Prints the benchmark report from the result files that benchmarks/run
leaves in RESULTS_DIR.

    python3 benchmarks/report.py RESULTS_DIR

Every figure is shown beside the peer's (pure Python on python-can) from the
same run, as a ratio, together with the targets and the CAN bus's own limit.
"""

import json
import os
import re
import statistics
import sys

# A classic data frame with an 11-bit identifier and 8 data bytes:
# SOF 1 + ID 11 + RTR 1 + IDE 1 + r0 1 + DLC 4 + data 64 + CRC 15 +
# CRC delimiter 1 + ACK 2 + EOF 7 + interframe space 3 = 111 bits, and up to
# 24 stuff bits more (one after every 5 equal bits in the 98 stuffed bits).
FRAME_BITS_MIN, FRAME_BITS_MAX = 111, 135
BITRATE = 1_000_000
WIRE_US_MIN = FRAME_BITS_MIN / BITRATE * 1e6
WIRE_US_MAX = FRAME_BITS_MAX / BITRATE * 1e6
EXCHANGE_US_MIN, EXCHANGE_US_MAX = 2 * WIRE_US_MIN, 2 * WIRE_US_MAX

TARGET_CODEC_NS = 20.0
TARGET_CODEC_RATIO = 30.0
TARGET_CPU_RATIO = 5.0
# The system calls that one command needs by design.
DESIGN_SYSCALLS = {"sendto": 1, "setsockopt": 1, "recvfrom": 1}
# Reads of the monotonic clock: user-space vDSO calls on a machine whose clock
# source allows it (TSC, the ARM architected timer), system calls otherwise.
VDSO = {"clock_gettime"}


def load(path):
    with open(path) as f:
        return json.load(f)


def verdict(ok):
    return "MET" if ok else "MISSED"


def gbench(path):
    """Median real and CPU ns, and the least CPU ns, of each benchmark's
    repetitions in a Google Benchmark JSON."""
    data = load(path)
    reps = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "iteration":
            reps.setdefault(b["run_name"], []).append(b)
    out = {}
    for name, rs in reps.items():
        out[name] = {"real": statistics.median(r["real_time"] for r in rs),
                     "cpu": statistics.median(r["cpu_time"] for r in rs),
                     "cpu_min": min(r["cpu_time"] for r in rs), "reps": len(rs)}
    return out, data.get("context", {})


def parse_strace(path):
    counts = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 5 or not re.match(r"^[\d.]+$", parts[0]) or parts[-1] == "total":
                continue
            calls = int(parts[3])
            errors = int(parts[4]) if len(parts) == 6 else 0
            counts[parts[-1]] = (calls, errors)
    return counts


def per_command(base, loaded, n):
    out = {}
    for name in sorted(set(base) | set(loaded)):
        c0, e0 = base.get(name, (0, 0))
        c1, e1 = loaded.get(name, (0, 0))
        if c1 != c0 or e1 != e0:
            out[name] = ((c1 - c0) / n, (e1 - e0) / n)
    return out


def section_codec(res, lines, verdicts):
    rel, ctx = gbench(os.path.join(res, "codec_bench.json"))
    o2_path = os.path.join(res, "codec_bench_O2.json")
    o2 = gbench(o2_path)[0] if os.path.exists(o2_path) else None
    values = load(os.path.join(res, "values.json"))
    peer_ns = {"encode": values["codec"][0]["ns"], "decode": values["codec"][1]["ns"]}
    cg_path = os.path.join(res, "callgrind.json")
    cg = load(cg_path) if os.path.exists(cg_path) else None
    flags = open(os.path.join(res, "codec_flags.txt")).read().strip()

    reps = next(iter(rel.values()))["reps"]
    lines.append(f"1. Native codec (Google Benchmark, median of {reps} repetitions: CPU time of the "
                 "benchmark thread, the least of the repetitions, and wall time)")
    lines.append(f"   compiled as the release build: {flags}")
    lines.append(f"   host: {ctx.get('num_cpus', '?')} CPUs at {ctx.get('mhz_per_cpu', '?')} MHz, "
                 f"load average {ctx.get('load_avg', '?')}")
    lines.append(f"   {'':20}{'cpu ns':>8}{'min':>7}{'wall ns':>9}{'-O2 cpu':>9}{'instr':>7}"
                 f"{'peer ns':>9}{'peer/ours':>11}")
    for op in ("encode", "decode"):
        for case in ("fixed", "varied"):
            r = rel[f"BM_{op}_{case}"]
            o = f"{o2[f'BM_{op}_{case}']['cpu']:9.1f}" if o2 else f"{'-':>9}"
            ins = f"{cg[op]['function']:7.0f}" if cg else f"{'-':>7}"
            lines.append(f"   {op + ', ' + case + ' input':20}{r['cpu']:8.1f}{r['cpu_min']:7.1f}"
                         f"{r['real']:9.1f}{o}{ins}{peer_ns[op]:9.0f}{peer_ns[op] / r['cpu']:10.0f}x")
        worst = max(rel[f"BM_{op}_fixed"]["cpu"], rel[f"BM_{op}_varied"]["cpu"])
        ratio = peer_ns[op] / worst
        ok = worst <= TARGET_CODEC_NS and ratio >= TARGET_CODEC_RATIO
        verdicts.append(f"{op}: {worst:.1f} ns (median CPU time, worse of the two inputs) <= {TARGET_CODEC_NS:.0f} ns "
                        f"and {ratio:.0f}x >= {TARGET_CODEC_RATIO:.0f}x faster than the peer: {verdict(ok)}")
    if cg:
        lines.append(f"   callgrind: encode {cg['encode']['function']:.1f} instructions per call "
                     f"({cg['encode']['with_loop']:.1f} with the calling loop), decode "
                     f"{cg['decode']['function']:.1f} ({cg['decode']['with_loop']:.1f})")
    if cg and "driver_enable" in cg:
        lines.append(f"   callgrind, one command through the native driver against an in-memory motor: "
                     f"enable {cg['driver_enable']:.0f} instructions, MIT {cg['driver_mit']:.0f}")
    ex = values.get("bit_exactness")
    if ex:
        lines.append(f"   the peer codec computes in 64-bit floats and is not bit-exact: "
                     f"{ex['differ']} of {ex['setpoints']} random setpoints encode to other bytes")
    lines.append("")


def section_values(res, lines):
    values = load(os.path.join(res, "values.json"))
    cg_path = os.path.join(res, "callgrind_values.json")
    cg = {r["name"]: r for r in load(cg_path)["rows"]} if os.path.exists(cg_path) else {}
    lines.append("2. Python-level cost of the value classes: CPU time (timeit, median of 9 "
                 "interleaved repeats) and instructions (callgrind); peer: a plain @dataclass")
    lines.append(f"   {'operation':30}{'ours ns':>9}{'peer ns':>9}{'peer/ours':>10}"
                 f"{'ours ins':>10}{'peer ins':>10}{'peer/ours':>10}")
    for r in values["values"]:
        c = cg.get(r["name"])
        ins = (f"{c['ours']:10.0f}{c['peer']:10.0f}{c['peer'] / c['ours']:9.2f}x" if c else "")
        lines.append(f"   {r['name']:30}{r['ours_ns']:9.1f}{r['peer_ns']:9.1f}"
                     f"{r['peer_ns'] / r['ours_ns']:9.2f}x{ins}")
    lines.append(f"   (each figure less an empty loop's: timeit's loop {values['pass_ns']:.1f} ns "
                 f"is still in the ns columns, the instruction columns are net)")
    rt_path = os.path.join(res, "roundtrip.json")
    if os.path.exists(rt_path):
        for r in load(rt_path)["feedback"]:
            lines.append(f"   {'MotorState ' + r['name'] + ' [VM]':30}{r['ours_ns']:9.0f}"
                         f"{r['peer_ns']:9.0f}{r['peer_ns'] / r['ours_ns']:9.2f}x")
        lines.append("   [VM]: measured inside the emulated VM (a MotorState needs a bus), "
                     "so many times slower than the host rows")
    lines.append("")


def section_roundtrip(res, lines, verdicts):
    path = os.path.join(res, "roundtrip.json")
    if not os.path.exists(path):
        lines.append("3. Round trip: not run (see the run's output)")
        lines.append("")
        verdicts.append("per-command CPU: not measured")
        return
    rt = load(path)
    ours, peer = rt["drivers"]["rotalink"], rt["drivers"]["python-can peer"]
    lines.append(f"3. Round trip on vcan, Linux in QEMU with SOFTWARE EMULATION (TCG, no KVM), "
                 f"{rt['cpus']} vCPUs, clock source {rt['clocksource']}")
    lines.append(f"   {rt['commands_per_driver']} timed + {rt['commands_per_driver']} untimed "
                 f"commands per driver, alternating in blocks of {rt['block']}; native responder")
    lines.append(f"   {'':22}{'rotalink':>12}{'peer':>12}{'peer/ours':>11}")

    def row(label, key, fmt="{:12.1f}", higher_better=False):
        a, b = ours[key], peer[key]
        ratio = (a / b) if higher_better else (b / a)
        lines.append(f"   {label:22}" + fmt.format(a) + fmt.format(b) + f"{ratio:10.2f}x")

    row("median latency us", "median_us")
    row("p99 latency us", "p99_us")
    row("p99.9 latency us", "p999_us")
    row("commands per s", "commands_per_s", "{:12.0f}", higher_better=True)
    row("CPU us per command", "cpu_us")
    row("  of which user us", "cpu_user_us")
    row("  of which system us", "cpu_sys_us")
    lines.append(f"   failed commands (no reply within 500 ms): rotalink {ours['failures']}, "
                 f"peer {peer['failures']}")
    ratio = rt["cpu_ratio_block_median"]
    lo, hi = rt["cpu_ratio_block_range"]
    lines.append(f"   CPU per command, peer/rotalink, median over the pairs of neighbouring blocks: "
                 f"{ratio:.1f}x (range {lo:.1f}-{hi:.1f}x)")
    verdicts.append(f"per-command CPU in the calling process: {ours['cpu_us']:.1f} us vs "
                    f"{peer['cpu_us']:.1f} us (emulated); median of block-pair ratios {ratio:.1f}x "
                    f">= {TARGET_CPU_RATIO:.0f}x lower: {verdict(ratio >= TARGET_CPU_RATIO)}")
    cg = command_instructions(res)
    if cg:
        a, b = cg
        lines.append(f"   user-space instructions per command in the calling process (callgrind, "
                     f"emulation-independent): rotalink {a:.0f}, peer {b:.0f}, {b / a:.1f}x")
    lines.append("")
    return rt


def command_instructions(res):
    """(rotalink, peer) instructions per command from the optional callgrind
    run of vm_session.sh, or None."""
    meta = os.path.join(res, "callgrind_command.json")
    if not os.path.exists(meta):
        return None
    n = load(meta)["n"]
    totals = {}
    for k in (2, 3):
        path = os.path.join(res, f"callgrind.command.{k}")
        if not os.path.exists(path):
            return None
        with open(path) as f:
            for line in f:
                if line.startswith("totals:"):
                    totals[k] = int(line.split()[1])
    return totals[2] / n, totals[3] / n


def section_syscalls(res, lines, verdicts):
    meta_path = os.path.join(res, "strace.json")
    if not os.path.exists(meta_path):
        lines.append("4. System calls: not run")
        lines.append("")
        verdicts.append("system calls: not measured")
        return
    n = load(meta_path)["n"]
    lines.append(f"4. System calls per command (strace -c -f in the VM, a run of {n} commands "
                 f"minus a run of 0)")
    table = {}
    for d in ("rotalink", "peer"):
        base = parse_strace(os.path.join(res, f"strace.{d}.0.txt"))
        loaded = parse_strace(os.path.join(res, f"strace.{d}.{n}.txt"))
        table[d] = per_command(base, loaded, n)
    names = sorted(set(table["rotalink"]) | set(table["peer"]))
    lines.append(f"   {'system call':16}{'rotalink':>10}{'peer':>10}")
    for name in names:
        a = table["rotalink"].get(name, (0, 0))
        b = table["peer"].get(name, (0, 0))
        mark = " (vDSO on real hardware)" if name in VDSO else ""
        err = ""
        if a[1] or b[1]:
            err = f"  errors: {a[1]:g} / {b[1]:g}"
        lines.append(f"   {name:16}{a[0]:10.3g}{b[0]:10.3g}{mark}{err}")
    lines.append(f"   {'total':16}{sum(v[0] for v in table['rotalink'].values()):10.3g}"
                 f"{sum(v[0] for v in table['peer'].values()):10.3g}")
    ours = {k: v[0] for k, v in table["rotalink"].items() if k not in VDSO}
    ok = ours == {k: float(v) for k, v in DESIGN_SYSCALLS.items()}
    extra = {k: v for k, v in ours.items() if DESIGN_SYSCALLS.get(k) != v}
    clock = table["rotalink"].get("clock_gettime", (0, 0))[0]
    verdicts.append("system calls per command: " + ", ".join(f"{k} {v:g}" for k, v in sorted(ours.items()))
                    + (f" (+ {clock:g} clock_gettime, vDSO outside the emulator)" if clock else "")
                    + f": {verdict(ok)}" + (f"; unexpected: {extra}" if extra else ""))
    lines.append("")


def section_wire(rt, lines):
    lines.append(f"5. The bus's own limit at 1 Mbit/s: a classic 8-byte frame takes "
                 f"{WIRE_US_MIN:.0f}-{WIRE_US_MAX:.0f} us on the wire, a command plus its reply "
                 f"{EXCHANGE_US_MIN / 1000:.2f}-{EXCHANGE_US_MAX / 1000:.2f} ms, so at most "
                 f"{1e6 / EXCHANGE_US_MAX:.0f}-{1e6 / EXCHANGE_US_MIN:.0f} commands/s per bus")
    if rt:
        for name, r in rt["drivers"].items():
            lines.append(f"   {name:16} CPU {r['cpu_us']:7.1f} us per command = "
                         f"{r['cpu_us'] / EXCHANGE_US_MIN * 100:5.0f}% of the shortest exchange "
                         f"on the wire (emulated CPU); median vcan latency "
                         f"{r['median_us']:.0f} us")
    lines.append("")


TARGET_GROUP_CYCLE_L = 1.25      # a group cycle within 1.25 x the motors' latency
TARGET_GROUP_PER_MOTOR = 0.5     # per motor in a cycle of 8: half a single command
TARGET_GROUP_PEER_RATIO = 10.0   # a cycle 10x cheaper than the peer's group cycle
SEND_CALLS = {"sendto", "sendmsg", "sendmmsg", "send", "write", "writev"}
COST_SIZES = (1, 4, 8, 16)
GROUP_MODES = ("group", "single", "peer")
# A cycle of 8 with two setpoints of each control mode against the MIT-only one.
MIXED_SIZE = 8
TARGET_MIXED_RATIO = 1.10
TARGET_CLAMPED_RATIO = 1.05


def section_group_pipeline(res, lines, verdicts):
    path = os.path.join(res, "group_pipeline.json")
    if not os.path.exists(path):
        return
    p = load(path)
    L = p["delay_ms"]
    lines.append(f"6. MotorGroup pipelining on vcan (EMULATED): every motor answers {L:g} ms (L) "
                 f"after its command (native responder, one per bus)")
    lines.append(f"   {p['cycles']} group cycles and {p['rounds']} rounds of N single commands "
                 f"in a row per (N, B); wall time per cycle")
    zero_path = os.path.join(res, "group_pipeline0.json")
    zero = {}
    if os.path.exists(zero_path):
        zero = {(r["n"], r["buses"]): r for r in load(zero_path)["rows"]}
        lines.append("   L=0 columns: the same runs against responders that answer at once "
                     "(the cycle's own time on this machine)")
    lines.append(f"   {'N':>3}{'B':>3}{'group med ms':>14}{'p99 ms':>9}{'med / L':>9}{'p99 / L':>9}"
                 f"{'N singles med ms':>18}{'p99 ms':>9}{'singles/group':>15}{'failed':>8}"
                 + (f"{'L=0 group med':>15}{'L=0 singles':>13}" if zero else ""))
    worst_med = worst_p99 = None
    p99_by_buses = {}
    for r in p["rows"]:
        g, s = r["group"], r["single"]
        if not g.get("samples") or not s.get("samples"):
            lines.append(f"   {r['n']:3}{r['buses']:3}   no samples (failures {r['group_failures']}/"
                         f"{r['single_failures']})")
            worst_med = worst_p99 = float("inf")
            continue
        lines.append(f"   {r['n']:3}{r['buses']:3}{g['median_ms']:14.2f}{g['p99_ms']:9.2f}"
                     f"{g['median_ms'] / L:9.2f}{g['p99_ms'] / L:9.2f}{s['median_ms']:18.2f}"
                     f"{s['p99_ms']:9.2f}{s['median_ms'] / g['median_ms']:14.1f}x"
                     f"{r['group_failures']:>4}/{r['single_failures']}" + zero_cells(zero, r))
        worst_med = max(worst_med or 0, g["median_ms"] / L)
        worst_p99 = max(worst_p99 or 0, g["p99_ms"] / L)
        p99_by_buses[r["buses"]] = max(p99_by_buses.get(r["buses"], 0), g["p99_ms"] / L)
    sim_path = os.path.join(res, "group_sim.json")
    if os.path.exists(sim_path):
        sim = load(sim_path)
        lines.append(f"   against rotalink-sim --delay-ms {sim['delay_ms']:g} (Python, one bus), "
                     f"{sim['cycles']} cycles, {sim['rounds']} rounds:")
        for r in sim["rows"]:
            g, s = r["group"], r["single"]
            if g.get("samples") and s.get("samples"):
                lines.append(f"   {r['n']:3}{r['buses']:3}{g['median_ms']:14.2f}{g['p99_ms']:9.2f}"
                             f"{g['median_ms'] / L:9.2f}{g['p99_ms'] / L:9.2f}{s['median_ms']:18.2f}"
                             f"{s['p99_ms']:9.2f}{s['median_ms'] / g['median_ms']:14.1f}x"
                             f"{r['group_failures']:>4}/{r['single_failures']}")
    lines.append("")
    if worst_med is not None:
        verdicts.append(f"group cycle <= {TARGET_GROUP_CYCLE_L:g} L for every N <= 16, B <= 4: "
                        f"worst median {worst_med:.2f} L, worst p99 {worst_p99:.2f} L (emulated): "
                        f"{verdict(worst_med <= TARGET_GROUP_CYCLE_L)} on the median, "
                        f"{verdict(worst_p99 <= TARGET_GROUP_CYCLE_L)} on p99 (worst p99 by buses: "
                        + ", ".join(f"B={b}: {v:.2f} L" for b, v in sorted(p99_by_buses.items()))
                        + ")")


def zero_cells(zero, r):
    z = zero.get((r["n"], r["buses"]))
    if not z:
        return ""
    g, s = z["group"], z["single"]
    if not (g.get("samples") and s.get("samples")):
        return f"{'-':>15}{'-':>13}"
    return f"{g['median_ms']:15.3f}{s['median_ms']:13.3f}"


def group_syscalls(res):
    """{(mode, n): {name: calls per cycle}} from the strace runs, or None;
    the (mode, n) that were run."""
    meta = os.path.join(res, "strace_group.json")
    if not os.path.exists(meta):
        return None
    k = load(meta)["n"]
    out = {}
    for m in GROUP_MODES + ("mixed", "control", "clamped"):
        for n in COST_SIZES:
            paths = [os.path.join(res, f"strace.group.{m}.{n}.{c}.txt") for c in (0, k)]
            if not all(os.path.exists(path) for path in paths):
                continue
            base, loaded = (parse_strace(path) for path in paths)
            out[(m, n)] = {name: v[0] for name, v in per_command(base, loaded, k).items()}
    return out


def complete(figures):
    """Whether `figures` ({(mode, n): ...}) has every mode of GROUP_MODES at every N."""
    return bool(figures) and all((m, n) in figures for m in GROUP_MODES for n in COST_SIZES)


def group_instructions(res):
    """{(mode, n): instructions per cycle} from the callgrind run, or None."""
    meta = os.path.join(res, "callgrind_group.json")
    if not os.path.exists(meta):
        return None
    info = load(meta)
    out = {}
    for i, d in enumerate(info["dumps"]):
        path = os.path.join(res, f"callgrind.group.{i + 2}")
        if not os.path.exists(path):
            return None
        with open(path) as f:
            for line in f:
                if line.startswith("totals:"):
                    out[(d["mode"], d["n"])] = int(line.split()[1]) / info["cycles"]
    return out


def section_group_cost(res, lines, verdicts):
    cpu_path = os.path.join(res, "group_cpu.json")
    cpu = load(cpu_path) if os.path.exists(cpu_path) else None
    sc = group_syscalls(res)
    ins = group_instructions(res)
    sc = sc if complete(sc) else None
    ins = ins if complete(ins) else None
    if not (cpu or sc or ins):
        return
    lines.append("7. Cost of one cycle of N motors on one vcan bus (EMULATED; the responder "
                 "answers at once): group = one MotorGroup.mit_control, single = N "
                 "Damiao.mit_control, peer = python-can group cycle (peer.PeerGroup)")
    if cpu:
        lines.append(f"   CPU time of the calling process per cycle, us (getrusage, "
                     f"{cpu['cycles']} cycles per mode and N in {cpu['blocks']} alternating blocks)")
        lines.append(f"   {'N':>3}{'group':>10}{'single':>10}{'peer':>10}{'group/N':>10}"
                     f"{'single/N':>10}{'single/group':>14}{'peer/group':>12}")
        for r in cpu["rows"]:
            n = r["n"]
            lines.append(f"   {n:3}{r['group']['cpu_us']:10.1f}{r['single']['cpu_us']:10.1f}"
                         f"{r['peer']['cpu_us']:10.1f}{r['group']['cpu_us'] / n:10.1f}"
                         f"{r['single']['cpu_us'] / n:10.1f}"
                         f"{r['single_over_group_block_median']:13.1f}x"
                         f"{r['peer_over_group_block_median']:11.1f}x")
        lines.append("   (ratios: median over pairs of neighbouring blocks)")
    if ins:
        lines.append("   user-space instructions of the calling process per cycle (callgrind)")
        lines.append(f"   {'N':>3}{'group':>10}{'single':>10}{'peer':>10}{'group/N':>10}"
                     f"{'single/N':>10}{'single/group':>14}{'peer/group':>12}")
        for n in COST_SIZES:
            g, s, p = ins[("group", n)], ins[("single", n)], ins[("peer", n)]
            lines.append(f"   {n:3}{g:10.0f}{s:10.0f}{p:10.0f}{g / n:10.0f}{s / n:10.0f}"
                         f"{s / g:13.1f}x{p / g:11.1f}x")
    if sc:
        names = sorted(set().union(*(set(v) for v in sc.values())))
        lines.append("   system calls per cycle (strace -c -f, a run of K cycles minus a run of 0)")
        lines.append(f"   {'':16}" + "".join(f"{m[:6] + ' ' + str(n):>10}" for m in GROUP_MODES
                                              for n in (1, 8)))
        for name in names:
            mark = " (vDSO on real hardware)" if name in VDSO else ""
            lines.append(f"   {name:16}" + "".join(f"{sc[(m, n)].get(name, 0):10.3g}"
                                                   for m in GROUP_MODES for n in (1, 8)) + mark)
        lines.append(f"   {'total':16}" + "".join(f"{sum(sc[(m, n)].values()):10.3g}"
                                                 for m in GROUP_MODES for n in (1, 8)))
        lines.append("   group, all N: " + "; ".join(
            f"N={n}: " + ", ".join(f"{k} {v:g}" for k, v in sorted(sc[("group", n)].items()))
            for n in COST_SIZES))
        sends = {n: sum(v for k, v in sc[("group", n)].items() if k in SEND_CALLS)
                 for n in COST_SIZES}
        verdicts.append("send calls per group cycle on one bus: "
                        + ", ".join(f"N={n}: {v:g}" for n, v in sends.items())
                        + f" <= 1: {verdict(all(v <= 1.0 for v in sends.values()))}")
    if ins:
        g8, s8 = ins[("group", 8)] / 8, ins[("single", 8)] / 8
        verdicts.append(f"per-motor instructions in a cycle of 8: {g8:.0f} vs {s8:.0f} for a single "
                        f"command ({g8 / s8:.2f}) <= {TARGET_GROUP_PER_MOTOR:g}: "
                        f"{verdict(g8 / s8 <= TARGET_GROUP_PER_MOTOR)}")
        worst = min(ins[("peer", n)] / ins[("group", n)] for n in COST_SIZES)
        verdicts.append(f"instructions per cycle, peer / group, worst over N = 1, 4, 8, 16: "
                        f"{worst:.1f}x >= {TARGET_GROUP_PEER_RATIO:g}x: "
                        f"{verdict(worst >= TARGET_GROUP_PEER_RATIO)}")
    if cpu:
        r8 = next((r for r in cpu["rows"] if r["n"] == 8), None)
        if r8:
            share = 1.0 / r8["single_over_group_block_median"]
            verdicts.append(f"per-motor CPU time in a cycle of 8 (emulated): {share:.2f} of a single "
                            f"command's <= {TARGET_GROUP_PER_MOTOR:g}: "
                            f"{verdict(share <= TARGET_GROUP_PER_MOTOR)}")
        worst = min(r["peer_over_group_block_median"] for r in cpu["rows"])
        verdicts.append(f"CPU time per cycle, peer / group, worst over N (emulated): {worst:.1f}x "
                        f">= {TARGET_GROUP_PEER_RATIO:g}x: "
                        f"{verdict(worst >= TARGET_GROUP_PEER_RATIO)}")
    lines.append("")


def per_cycle(calls):
    """{name: calls per cycle, rounded} of the calls made at least once in
    every other cycle."""
    return {k: round(v) for k, v in calls.items() if round(v)}


def section_group_mixed(res, lines, verdicts):
    sc = group_syscalls(res) or {}
    ins = group_instructions(res) or {}
    ways = [m for m in ("group", "mixed", "control", "clamped") if (m, MIXED_SIZE) in ins or (m, MIXED_SIZE) in sc]
    if "mixed" not in ways or "group" not in ways:
        return
    n = MIXED_SIZE
    lines.append(f"9. Every control mode in one cycle of {n} on one vcan bus (EMULATED; the "
                 "responder answers at once): group = MotorGroup.mit_control with "
                 f"{n} MitSetpoints, mixed = MotorGroup.control with two setpoints of each kind "
                 "(MIT, POS_VEL, VEL, FORCE_POS), control = MotorGroup.control with "
                 f"{n} MitSetpoints, clamped = group on members with joint limits that clamp "
                 "every setpoint")
    lines.append(f"   {'':16}" + "".join(f"{m:>10}" for m in ways) + f"{'mixed/group':>13}")
    if all((m, n) in ins for m in ways):
        g = ins[("group", n)]
        lines.append(f"   {'instructions':16}" + "".join(f"{ins[(m, n)]:10.0f}" for m in ways)
                     + f"{ins[('mixed', n)] / g:12.3f}x")
        ratio = ins[("mixed", n)] / g
        verdicts.append(f"instructions of a mixed cycle of {n} against an MIT-only one: {ratio:.3f}x "
                        f"<= {TARGET_MIXED_RATIO:.2f}x: {verdict(ratio <= TARGET_MIXED_RATIO)}")
        if "clamped" in ways:
            ratio = ins[("clamped", n)] / g
            verdicts.append(f"instructions of a cycle of {n} clamped into joint limits against an unclamped "
                            f"one: {ratio:.3f}x <= {TARGET_CLAMPED_RATIO:.2f}x: "
                            f"{verdict(ratio <= TARGET_CLAMPED_RATIO)}")
    if all((m, n) in sc for m in ways):
        names = sorted(set().union(*(set(sc[(m, n)]) for m in ways)))
        for name in names:
            mark = " (vDSO on real hardware)" if name in VDSO else ""
            lines.append(f"   {name:16}" + "".join(f"{sc[(m, n)].get(name, 0):10.3g}" for m in ways)
                         + mark)
        # Whole calls per cycle: a ppoll now and then (a reply not there yet) is noise.
        same = per_cycle(sc[("mixed", n)]) == per_cycle(sc[("group", n)])
        verdicts.append(f"system calls of a mixed cycle of {n}: "
                        + ", ".join(f"{k} {v:g}" for k, v in sorted(sc[("mixed", n)].items()))
                        + f"; the MIT-only cycle's: "
                        + ", ".join(f"{k} {v:g}" for k, v in sorted(sc[("group", n)].items()))
                        + f": {verdict(same)}")
    lines.append("")


def main():
    res = sys.argv[1]
    lines, verdicts = [], []
    rt = None
    if os.path.exists(os.path.join(res, "codec_bench.json")):
        section_codec(res, lines, verdicts)
        section_values(res, lines)
        rt = section_roundtrip(res, lines, verdicts)
        section_syscalls(res, lines, verdicts)
        section_wire(rt, lines)
    section_group_pipeline(res, lines, verdicts)
    section_group_cost(res, lines, verdicts)
    section_group_mixed(res, lines, verdicts)
    lines.append("Targets")
    lines += [f"   {v}" for v in verdicts]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
