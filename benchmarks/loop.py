"""The beat of a control loop while the interpreter is busy collecting
garbage (run inside the VM by benchmarks/vm_session.sh when benchmarks/run is
given --loop or --loop-only).

    python3 benchmarks/loop.py --responder PATH --out F [--iface vcan0]
                               [--seconds 20] [--rate 500] [--hold-ms 1000]
                               [--priority 50] [--idle]
    python3 benchmarks/loop.py --record-cost --responder PATH --out F
                               [--rounds 3] [--motors 6] [--record-dir DIR]
                               [--variants plain,record,drain,busy]
                               [--busy-fraction 0.5]
    python3 benchmarks/loop.py report F

Four motors on one bus (identifiers 0x01-0x04, answering from 0x11-0x14),
answered at once by one responder (benchmarks/responder.c --motors 4, started
here). Each run lasts --seconds, in a process of its own, while its main
thread runs a workload that makes cyclic garbage (small dicts and lists that
reference each other, kept a while in a bounded queue and then dropped), so
that the collector runs often and its full collections take long:

  python  the loop in a Python thread: sleep to the next tick on the
          monotonic clock (absolute deadlines; a late cycle starts at once,
          no catch-up), then MotorGroup.mit_control(setpoints) with the latest
          setpoints the workload left;
  native  MotorGroup.start(rate, hold_ms) and loop.set(setpoints) from the
          workload's thread, between its allocations, every 20 ms;
  native priority=P  the same with the loop thread at SCHED_FIFO P
          (--priority; needs root or CAP_SYS_NICE);
  native, no workload  (--idle) the main thread only sleeps and sets: the
          machine's own floor, to tell what the workload causes from what
          the machine does anyway.

The period is taken on the wire: a separate process holds a raw CAN socket
with kernel receive stamps (SO_TIMESTAMPNS) and a kernel filter that passes
member 1's command identifier (0x01) and the refresh requests to it (0x7FF,
bytes 0-1 its identifier, byte 2 0xCC), and SO_RXQ_OVFL, which counts the
frames the socket dropped. Between consecutive command frames of member 1 in
the run's window: the period error |period - 1/rate|, p50, p99 and max;
periods longer than twice the nominal one (overruns on the wire). Besides:
the cycles a member did not answer (GroupError's errors for python,
LoopStats.missed for native), the loop thread's CPU time per cycle
(time.thread_time in the Python thread; the first field of
/proc/self/task/TID/schedstat of the thread named "rotalink-loop"), the
collector's pauses (gc.callbacks, by generation) and, for native, the longest
gap between two set() calls and LoopStats.

--record-cost measures what recording costs the native loop instead: --motors
(default 6 with it) on one bus, the native loop with no workload (the main
thread only sleeps and sets every 20 ms), in --rounds rounds of --variants
(default plain,record: A B A B ...), so that drift in the machine hits each
alike:

  plain   the loop alone;
  record  record=DIR/record-...mcap (--record-dir, default beside --out);
  drain   record= with a recorder thread that only takes the cycles (the
          core copies and encodes them) and writes nothing: the loop's
          share of the record without the file;
  busy    no record; a thread spins --busy-fraction of every period: what
          another busy thread alone costs the loop on this machine.

Per run, besides the figures above: the writer's (or the busy thread's) CPU
time per loop cycle (the first field of /proc/self/task/TID/schedstat, its
TID the Python thread's native_id), and for a record the file's size,
LoopStats.record_dropped and loop.recorded once stopped. The report gives
the medians over rounds and their ratios to plain's: of the p99 period
error and of the loop thread's CPU per cycle.
"""

import argparse
import collections
import gc
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.abspath(__file__)
MOTORS = 4
MOTOR_BASE = 0x01
MASTER_BASE = 0x11
REFRESH_ID = 0x7FF
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
SO_RXQ_OVFL = getattr(socket, "SO_RXQ_OVFL", 40)
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)
SET_EVERY_S = 0.02
TIMEOUT_MS = 1  # a cycle's wait for the replies, after its last send
LIVE = 1000     # clusters of garbage kept alive at a time by the workload (--live)


# ---------------------------------------------------------------- sniffer

def sniff(iface, motor_id, out):
    """Until SIGTERM: kernel receive stamps (ns, CLOCK_REALTIME) of the
    command frames to motor_id and of refresh requests to it; writes
    {"stamps": [...], "dropped": n} to out."""
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
    mask = socket.CAN_EFF_FLAG | socket.CAN_RTR_FLAG | socket.CAN_SFF_MASK
    sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                    struct.pack("=IIII", motor_id, mask, REFRESH_ID, mask))
    sock.bind((iface,))
    sock.settimeout(0.1)
    stamps, dropped = [], 0
    print("ready", flush=True)
    while not stop:
        try:
            raw, anc, _, _ = sock.recvmsg(16, 128)
        except (socket.timeout, InterruptedError):
            continue
        can_id, length = struct.unpack_from("=IB", raw)
        if can_id == REFRESH_ID and (length < 3 or raw[8] | raw[9] << 8 != motor_id or raw[10] != 0xCC):
            continue
        for level, kind, value in anc:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                sec, nsec = struct.unpack("=qq", value[:16])
                stamps.append(sec * 1000000000 + nsec)
            elif level == socket.SOL_SOCKET and kind == SO_RXQ_OVFL:
                dropped = struct.unpack("=I", value[:4])[0]
    with open(out, "w") as f:
        json.dump({"stamps": stamps, "dropped": dropped}, f)


# ---------------------------------------------------------------- workload

class GcPauses:
    """The collector's pauses, by generation, in whatever thread ran it."""

    def __init__(self):
        self.started = {}
        self.pauses = {0: [], 1: [], 2: []}

    def __call__(self, phase, info):
        tid = threading.get_ident()
        if phase == "start":
            self.started[tid] = time.perf_counter()
        elif tid in self.started:
            self.pauses[info["generation"]].append(time.perf_counter() - self.started.pop(tid))

    def summary(self):
        return {str(g): {"count": len(p), "max_ms": max(p, default=0.0) * 1e3,
                         "total_ms": sum(p) * 1e3} for g, p in self.pauses.items()}


def workload(seconds, tick, live_clusters=LIVE):
    """Cyclic garbage for `seconds`; tick() between chunks of allocations.
    Returns the number of chunks."""
    live = collections.deque(maxlen=live_clusters)
    end = time.monotonic() + seconds
    chunks = 0
    while time.monotonic() < end:
        for i in range(50):
            a = {"i": i, "peer": None}
            b = [a, {"back": a}, str(i)]
            a["peer"] = b
            live.append(a)
        chunks += 1
        tick()
    live.clear()
    return chunks


# ---------------------------------------------------------------- one run

def make_group(rotalink, iface, motors=MOTORS):
    bus = rotalink.SocketCanTransport(iface)
    members = [(bus, rotalink.Damiao(MOTOR_BASE + i, MASTER_BASE + i, rotalink.MitLimits.dm4310()))
               for i in range(motors)]
    setpoints = [rotalink.MitSetpoint(0.1 * i, 0.0, 5.0, 0.5, 0.0) for i in range(motors)]
    return rotalink.MotorGroup(members, timeout_ms=TIMEOUT_MS), setpoints


def loop_thread_id():
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() == "rotalink-loop":
                    return int(tid)
        except OSError:
            pass
    return None


def record_thread_id(before):
    """The native id of the recorder's Python thread (or of the busy one):
    the thread named rotalink-record (bench-busy), else the one Python
    thread started since `before` (the idents alive then)."""
    new = [t for t in threading.enumerate() if t.ident not in before]
    named = [t for t in new if "record" in t.name or t.name == "bench-busy"]
    pick = named or (new if len(new) == 1 else [])
    return pick[0].native_id if pick else None


def schedstat_ns(tid):
    """The thread's CPU time so far (ns), or None once it has ended."""
    try:
        with open(f"/proc/self/task/{tid}/schedstat") as f:
            return int(f.read().split()[0])
    except (OSError, TypeError):
        return None


def run_python(rotalink, args, gc_pauses):
    group, setpoints = make_group(rotalink, args.iface, args.motors)
    latest = [setpoints]
    stop = threading.Event()
    result = {}

    def loop():
        period = 1.0 / args.rate
        cycles = failed = late = 0
        missed = [0] * args.motors
        cpu0 = time.thread_time()
        deadline = time.monotonic()
        while not stop.is_set():
            left = deadline - time.monotonic()
            if left > 0:
                time.sleep(left)
            try:
                group.mit_control(latest[0])
            except rotalink.GroupError as e:
                failed += 1
                for i, err in enumerate(e.errors):
                    missed[i] += err is not None
            cycles += 1
            deadline += period
            now = time.monotonic()
            if now >= deadline:
                late += 1
                deadline = now
        result.update(cycles=cycles, failed_cycles=failed, missed=missed, late=late,
                      cpu_us_per_cycle=(time.thread_time() - cpu0) / max(cycles, 1) * 1e6)

    t0 = time.time_ns()
    thread = threading.Thread(target=loop, name="python-loop")
    thread.start()
    last = [time.monotonic()]

    def tick():
        now = time.monotonic()
        if now - last[0] >= SET_EVERY_S:
            latest[0] = setpoints
            last[0] = now

    workload(args.seconds, tick, args.live)
    t1 = time.time_ns()
    stop.set()
    thread.join()
    result.update(window_ns=[t0, t1])
    return result


def drain_only(recorder):
    """A recorder's thread that takes the cycles (the core encodes them) and
    writes nothing: what the loop pays for the record without the file."""
    loop = recorder._loop
    while True:
        batch = loop._take_records(100)
        if batch is None:
            break
        if batch:
            recorder.written += len(batch)
            loop._record_written(len(batch))
    recorder._finish()


def busy(fraction, period_s, stop):
    """Spins `fraction` of every `period_s` on this thread's CPU clock and
    sleeps the rest: a stand-in for a writer's CPU that does no recording."""
    while not stop.is_set():
        t0 = time.thread_time()
        while time.thread_time() - t0 < fraction * period_s:
            pass
        time.sleep((1 - fraction) * period_s)


def run_native(rotalink, args, gc_pauses):
    group, setpoints = make_group(rotalink, args.iface, args.motors)
    extra = {"record": args.record} if args.record else {}
    if args.record and args.drain_only:
        import rotalink_scan.record
        rotalink_scan.record.Recorder._run = drain_only
    before = {t.ident for t in threading.enumerate()}
    stop_busy = threading.Event()
    if args.busy:
        threading.Thread(target=busy, args=(args.busy, 1.0 / args.rate, stop_busy), name="bench-busy",
                         daemon=True).start()
    loop = group.start(args.rate, hold_ms=args.hold_ms, priority=args.priority, **extra)
    loop.set(setpoints)
    tid = loop_thread_id()
    writer = record_thread_id(before) if args.record or args.busy else None
    t0 = time.time_ns()
    cpu0, cycles0 = schedstat_ns(tid), loop.stats().cycles
    wcpu0 = schedstat_ns(writer)
    last = [time.monotonic()]
    gaps = [0.0]

    def tick():
        now = time.monotonic()
        if now - last[0] >= SET_EVERY_S:
            loop.set(setpoints)  # raises once the loop has stopped by itself
            gaps[0] = max(gaps[0], now - last[0])
            last[0] = now

    try:
        if args.idle:
            end = time.monotonic() + args.seconds
            while time.monotonic() < end:
                time.sleep(SET_EVERY_S)
                tick()
        else:
            workload(args.seconds, tick, args.live)
    except RuntimeError:
        pass  # the loop stopped by itself: loop.error says why; the run ends here
    cpu1, wcpu1, stats1 = schedstat_ns(tid), schedstat_ns(writer), loop.stats()
    t1 = time.time_ns()
    running, error = loop.running, loop.error
    loop.stop()
    stop_busy.set()
    stats = loop.stats()
    window_cycles = max(stats1.cycles - cycles0, 1)
    record = {}
    if args.record or args.busy:
        record = {"writer_found": writer is not None,
                  "writer_cpu_us_per_cycle": (wcpu1 - wcpu0) / 1e3 / window_cycles
                  if wcpu0 is not None and wcpu1 is not None else float("nan")}
    if args.record:
        record.update(record=args.record, recorded=loop.recorded, record_dropped=stats.record_dropped,
                      record_error=stats.record_error,
                      file_bytes=os.path.getsize(args.record) if os.path.isfile(args.record) else None)
    return {**record, "window_ns": [t0, t1], "cycles": stats.cycles, "overruns": stats.overruns,
            "missed": list(stats.missed), "rate_hz": stats.rate_hz,
            "period_us": list(stats.period_us), "latency_us": list(stats.latency_us),
            "stats_repr": repr(stats), "running_at_end": running, "error": error,
            "max_set_gap_ms": gaps[0] * 1e3, "thread_found": tid is not None,
            "cpu_us_per_cycle": (cpu1 - cpu0) / 1e3 / window_cycles
            if cpu0 is not None and cpu1 is not None else float("nan")}


def run_one(args):
    if args.cpus:
        # Before any thread starts: every thread of the run inherits it.
        os.sched_setaffinity(0, {int(c) for c in args.cpus.split(",")})
    import rotalink
    pauses = GcPauses()
    gc.callbacks.append(pauses)
    result = (run_python if args.kind == "python" else run_native)(rotalink, args, pauses)
    gc.callbacks.remove(pauses)
    result["gc"] = pauses.summary()
    result["gc_thresholds"] = list(gc.get_threshold())
    result["switch_interval_ms"] = sys.getswitchinterval() * 1e3
    json.dump(result, sys.stdout)


# ---------------------------------------------------------------- figures

def quantile(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(q * len(s)))] if s else float("nan")


def wire_figures(stamps, window, rate):
    period_ns = 1e9 / rate
    t = [s for s in stamps if window[0] <= s <= window[1]]
    periods = [b - a for a, b in zip(t, t[1:])]
    errors = [abs(p - period_ns) / 1e3 for p in periods]
    return {"frames": len(t), "periods": len(periods),
            "mean_period_us": sum(periods) / len(periods) / 1e3 if periods else float("nan"),
            "err_us": [quantile(errors, 0.5), quantile(errors, 0.99), max(errors, default=float("nan"))],
            "wire_overruns": sum(p > 2 * period_ns for p in periods)}


def measure(args, kind, priority, idle, tmp, more=()):
    out = os.path.join(tmp, f"sniff-{kind}-{priority}-{idle}.json")
    sniffer = subprocess.Popen([sys.executable, HERE, "sniff", args.iface, str(MOTOR_BASE), out],
                               stdout=subprocess.PIPE, text=True)
    if sniffer.stdout.readline().strip() != "ready":
        raise SystemExit("the sniffer did not start")
    cmd = [sys.executable, HERE, "one", kind, "--iface", args.iface, "--seconds", str(args.seconds),
           "--rate", str(args.rate), "--hold-ms", str(args.hold_ms), "--live", str(args.live),
           "--motors", str(args.motors)]
    cmd += list(more)
    if priority is not None:
        cmd += ["--priority", str(priority)]
    if idle:
        cmd.append("--idle")
    try:
        child = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, check=True)
    finally:
        time.sleep(0.2)
        sniffer.send_signal(signal.SIGTERM)
        sniffer.wait()
    result = json.loads(child.stdout)
    with open(out) as f:
        sniffed = json.load(f)
    result.update(wire_figures(sniffed["stamps"], result["window_ns"], args.rate))
    result.update(kind=kind, priority=priority, idle=idle, sniffer_dropped=sniffed["dropped"])
    return result


def table(data):
    rate = data["rate"]
    period_us = 1e6 / rate
    lines = [f"{data.get('motors', MOTORS)} motors on one bus, {rate} Hz (period {period_us:.0f} us), "
             f"{data['seconds']:g} s per run, workload: cyclic garbage ({data['live']} clusters alive)",
             "",
             "| run | frames | mean period | period error p50 | p99 | max | p99 / period "
             "| > 2x period on the wire | loop overruns | missed (per member) | CPU per cycle "
             "| full collections (max pause) |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in data["runs"]:
        name = "(a) Python thread" if r["kind"] == "python" else "(b) native loop"
        if r["priority"] is not None:
            name += f", SCHED_FIFO {r['priority']}"
        if r.get("idle"):
            name += ", no workload"
        p50, p99, mx = r["err_us"]
        over = str(r["overruns"]) if "overruns" in r else "-"
        g2 = r["gc"]["2"]
        lines.append(f"| {name} | {r['frames']} | {r['mean_period_us']:.1f} us | {p50:.1f} us "
                     f"| {p99:.1f} us | {mx:.1f} us | {p99 / period_us * 100:.1f} % "
                     f"| {r['wire_overruns']} | {over} | {tuple(r['missed'])} "
                     f"| {r['cpu_us_per_cycle']:.1f} us | {g2['count']} ({g2['max_ms']:.1f} ms) |")
    lines.append("")
    for r in data["runs"]:
        if r["kind"] == "native":
            lines.append(f"priority={r['priority']}{', no workload' if r.get('idle') else ''}: "
                         f"{r['stats_repr']}; longest gap between set() calls "
                         f"{r['max_set_gap_ms']:.1f} ms; error: {r['error']}")
        if r["sniffer_dropped"]:
            lines.append(f"{r['kind']} priority={r['priority']}: the sniffer's socket dropped "
                         f"{r['sniffer_dropped']} frames")
    for r in data["runs"]:
        gcs = ", ".join(f"gen{g} {v['count']} x (max {v['max_ms']:.1f} ms, total {v['total_ms']:.0f} ms)"
                        for g, v in sorted(r["gc"].items()))
        if not r.get("idle"):
            lines.append(f"collector, {r['kind']} priority={r['priority']}: {gcs}")
    a = next((r for r in data["runs"] if r["kind"] == "python"), None)
    b = next((r for r in data["runs"] if r["kind"] == "native" and r["priority"] is None
              and not r.get("idle")), None)
    if a and b:
        ratio = a["err_us"][1] / b["err_us"][1] if b["err_us"][1] else float("inf")
        ok = (b["err_us"][1] <= 0.1 * period_us, ratio >= 5, sum(b["missed"]) == 0)
        lines += ["",
                  f"goal: (b) p99 period error <= 10 % of the period: {b['err_us'][1]:.1f} us "
                  f"= {b['err_us'][1] / period_us * 100:.1f} % ({'met' if ok[0] else 'missed'}); "
                  f"(a) / (b) p99 >= 5x: {ratio:.1f}x ({'met' if ok[1] else 'missed'}); "
                  f"no missed cycle in (b): {sum(b['missed'])} ({'met' if ok[2] else 'missed'})"]
    return "\n".join(lines)


def median(values):
    s = sorted(v for v in values if v == v)
    if not s:
        return float("nan")
    mid = len(s) // 2
    return s[mid] if len(s) % 2 else (s[mid - 1] + s[mid]) / 2


VARIANTS = {
    "plain": "the loop alone",
    "record": "record= to a .mcap file",
    "drain": "record= with a recorder thread that takes the cycles and writes nothing",
    "busy": "no record; a thread spins --busy-fraction of every period",
}


def record_table(data):
    """The cost of recording: each run, the medians over rounds, the ratios."""
    rate = data["rate"]
    period_us = 1e6 / rate
    variants = data["variants"]
    labels = [v if variants.count(v) == 1 else f"{v} ({variants[:k + 1].count(v)})"
              for k, v in enumerate(variants)]
    lines = [f"{data['motors']} motors on one bus, {rate:g} Hz (period {period_us:.0f} us), native loop "
             f"with no workload, {data['seconds']:g} s per run, {data['rounds']} rounds of "
             f"{', '.join(labels)}, in this order; recordings in {data['record_dir']}",
             "",
             "| run | frames | period error p50 | p99 | max | > 2x period on the wire | loop overruns "
             "| missed (per member) | loop CPU per cycle | writer CPU per cycle | recorded "
             "| record_dropped | file |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for i, r in enumerate(data["runs"]):
        p50, p99, mx = r["err_us"]
        name = f"{i // len(variants) + 1}: {labels[i % len(variants)]}"
        writer = f"{r['writer_cpu_us_per_cycle']:.1f} us" if "writer_cpu_us_per_cycle" in r else "-"
        if "record" in r:
            size = f"{r['file_bytes'] / 1e6:.2f} MB" if r["file_bytes"] is not None else "none"
            rec = f"{writer} | {r['recorded']} | {r['record_dropped']} | {size}"
        else:
            rec = f"{writer} | - | - | -"
        lines.append(f"| {name} | {r['frames']} | {p50:.1f} us | {p99:.1f} us | {mx:.1f} us "
                     f"| {r['wire_overruns']} | {r['overruns']} | {tuple(r['missed'])} "
                     f"| {r['cpu_us_per_cycle']:.1f} us | {rec} |")
    med = []
    for k in range(len(variants)):
        runs = data["runs"][k::len(variants)]
        med.append({"p50": median(r["err_us"][0] for r in runs),
                    "p99": median(r["err_us"][1] for r in runs),
                    "max": median(r["err_us"][2] for r in runs),
                    "cpu": median(r["cpu_us_per_cycle"] for r in runs),
                    "writer": median(r.get("writer_cpu_us_per_cycle", float("nan")) for r in runs),
                    "cycles": median(r["cycles"] for r in runs)})
    lines += ["", "| medians over rounds | period error p50 | p99 | max | loop CPU per cycle "
              "| writer CPU per cycle | cycles | p99 / plain's | loop CPU / plain's |",
              "|---|---|---|---|---|---|---|---|---|"]
    base = med[variants.index("plain")] if "plain" in variants else None
    for label, m in zip(labels, med):
        ratios = (f"{m['p99'] / base['p99']:.2f} | {m['cpu'] / base['cpu']:.2f}" if base else "- | -")
        writer = "-" if m["writer"] != m["writer"] else f"{m['writer']:.1f} us"
        lines.append(f"| {label} | {m['p50']:.1f} us | {m['p99']:.1f} us | {m['max']:.1f} us "
                     f"| {m['cpu']:.1f} us | {writer} | {m['cycles']:.0f} | {ratios} |")
    if base and "record" in variants:
        b = med[variants.index("record")]
        p99_ratio, cpu_ratio = b["p99"] / base["p99"], b["cpu"] / base["cpu"]
        lines += ["",
                  f"p99 period error, recording / plain: {p99_ratio:.2f} (goal <= 1.20: "
                  f"{'met' if p99_ratio <= 1.20 else 'missed'}); loop CPU per cycle, recording / plain: "
                  f"{cpu_ratio:.2f} (goal <= 1.10: {'met' if cpu_ratio <= 1.10 else 'missed'}); "
                  f"the writer's own CPU per cycle: {b['writer']:.1f} us "
                  f"({b['writer'] / period_us * 100:.1f} % of a period)"]
        # Within a round the runs are neighbours: the median of the rounds'
        # own ratios is less swayed by a round that the host's load hit.
        n = len(variants)
        pairs = [(data["runs"][i + variants.index("plain")], data["runs"][i + variants.index("record")])
                 for i in range(0, len(data["runs"]) - n + 1, n)]
        lines.append("the same as the median of each round's ratios: p99 "
                     f"{median(b['err_us'][1] / a['err_us'][1] for a, b in pairs):.2f}, loop CPU "
                     f"{median(b['cpu_us_per_cycle'] / a['cpu_us_per_cycle'] for a, b in pairs):.2f}")
    for i, r in enumerate(data["runs"]):
        if (r.get("record_error") or r.get("error") or r["sniffer_dropped"]
                or ("writer_found" in r and not r["writer_found"])):
            lines.append(f"run {i + 1}: error {r.get('error')!r}, record_error {r.get('record_error')!r}, "
                         f"sniffer dropped {r['sniffer_dropped']}, writer thread found: {r.get('writer_found')}")
    return "\n".join(lines)


def start_responder(path, iface, tmp, motors=MOTORS):
    """The responder (benchmarks/responder.c at `path`) for `motors` motors
    on `iface`, once it is ready; its process."""
    ready = os.path.join(tmp, "responder.ready")
    responder = subprocess.Popen([path, "--motors", str(motors), iface, hex(MOTOR_BASE), hex(MASTER_BASE), ready])
    for _ in range(100):
        if os.path.exists(ready):
            return responder
        time.sleep(0.1)
    responder.terminate()
    raise SystemExit("the responder did not start")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "sniff":
        return sniff(sys.argv[2], int(sys.argv[3], 0), sys.argv[4])
    if len(sys.argv) > 2 and sys.argv[1] == "report":
        with open(sys.argv[2]) as f:
            data = json.load(f)
        print(record_table(data) if data.get("mode") == "record-cost" else table(data))
        return None
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("one", nargs="?", choices=["one"])
    p.add_argument("kind", nargs="?", choices=["python", "native"])
    p.add_argument("--responder")
    p.add_argument("--out")
    p.add_argument("--iface", default="vcan0")
    p.add_argument("--seconds", type=float, default=20.0)
    p.add_argument("--rate", type=float, default=500.0)
    p.add_argument("--hold-ms", type=int, default=1000)
    p.add_argument("--priority", type=int)
    p.add_argument("--live", type=int, default=LIVE)
    p.add_argument("--idle", action="store_true",
                   help="a native run more with no workload (the main thread only sleeps and sets)")
    p.add_argument("--motors", type=int, help=f"motors on the bus (default {MOTORS}; 6 with --record-cost)")
    p.add_argument("--record", help="(a run) record to this file")
    p.add_argument("--drain-only", action="store_true",
                   help="(a run) the recorder takes the cycles and writes nothing")
    p.add_argument("--busy", type=float, default=0.0,
                   help="(a run) a thread more that spins this fraction of every period")
    p.add_argument("--record-cost", action="store_true",
                   help="runs without and with recording, in turn, instead (no workload)")
    p.add_argument("--rounds", type=int, default=3, help="rounds of each for --record-cost")
    p.add_argument("--record-dir", help="where --record-cost's recordings go (default: beside --out)")
    p.add_argument("--variants", default="plain,record",
                   help="--record-cost's runs in each round, of " + ", ".join(VARIANTS)
                   + " (plain,plain: a dry run that tells the noise)")
    p.add_argument("--cpus", help="(--record-cost) run the loop's process on these CPUs only, e.g. 0: "
                                  "a machine of one core, where a writer cannot run beside the loop")
    p.add_argument("--busy-fraction", type=float, default=0.5,
                   help="the busy variant's share of a period")
    args = p.parse_args()
    if args.motors is None:
        args.motors = 6 if args.record_cost else MOTORS
    if args.one:
        return run_one(args)
    if not args.responder or not args.out:
        p.error("--responder and --out are needed")

    import tempfile
    tmp = tempfile.mkdtemp(prefix="loop-bench.")
    if args.record_cost:
        return record_cost(args, tmp)
    responder = start_responder(args.responder, args.iface, tmp)
    try:
        runs = [("python", None, False), ("native", None, False)]
        if args.idle:
            runs.append(("native", None, True))
        if args.priority is not None:
            runs.append(("native", args.priority, False))
        data = {"rate": args.rate, "seconds": args.seconds, "hold_ms": args.hold_ms, "live": args.live,
                "runs": []}
        for kind, priority, idle in runs:
            print(f"-- {kind} loop{'' if priority is None else f', SCHED_FIFO {priority}'}"
                  f"{', no workload' if idle else ''}, {args.seconds:g} s", flush=True)
            data["runs"].append(measure(args, kind, priority, idle, tmp))
    finally:
        responder.terminate()
        responder.wait()
    with open(args.out, "w") as f:
        json.dump(data, f, indent=1)
    print(table(data))
    return None


def record_cost(args, tmp):
    rec_dir = os.path.abspath(args.record_dir or os.path.dirname(os.path.abspath(args.out)))
    os.makedirs(rec_dir, exist_ok=True)
    variants = args.variants.split(",")
    unknown = set(variants) - set(VARIANTS)
    if unknown:
        raise SystemExit(f"unknown variants {sorted(unknown)}: of {', '.join(VARIANTS)}")
    data = {"mode": "record-cost", "rate": args.rate, "seconds": args.seconds, "hold_ms": args.hold_ms,
            "motors": args.motors, "rounds": args.rounds, "record_dir": rec_dir, "variants": variants,
            "busy_fraction": args.busy_fraction, "cpus": args.cpus, "runs": []}
    responder = start_responder(args.responder, args.iface, tmp, args.motors)
    try:
        for i in range(args.rounds):
            for k, variant in enumerate(variants):
                path = os.path.join(rec_dir, f"record-{variant}-{k}.mcap")
                more = {"plain": [], "record": ["--record", path], "drain": ["--record", path, "--drain-only"],
                        "busy": ["--busy", str(args.busy_fraction)]}[variant]
                if args.cpus:
                    more = more + ["--cpus", args.cpus]
                if os.path.exists(path):
                    os.remove(path)
                print(f"-- round {i + 1}: native loop, no workload, {VARIANTS[variant]}, {args.seconds:g} s",
                      flush=True)
                r = measure(args, "native", None, True, tmp, more)
                r["variant"] = variant
                data["runs"].append(r)
                # The last round's recording stays for a look; the others go.
                if i + 1 < args.rounds and os.path.exists(path):
                    os.remove(path)
    finally:
        responder.terminate()
        responder.wait()
    with open(args.out, "w") as f:
        json.dump(data, f, indent=1)
    print(record_table(data))


if __name__ == "__main__":
    main()
