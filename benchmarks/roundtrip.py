"""Round trip of one MIT command on a real kernel's vcan, rotalink against the
python-can peer, each against its own native responder.

    python3 benchmarks/roundtrip.py --out RESULT.json [--n 10000] [--block 1000]
    python3 benchmarks/roundtrip.py --count rotalink|peer N   (for strace)

rotalink runs on vcan0 and the peer on vcan1, each with a responder
(benchmarks/responder.c) that answers motor 0x01 from master 0x11, so neither
socket ever sees the other's frames. The two drivers alternate in blocks of
`--block` commands (default 500) until each has sent `--n` commands twice: once with a
timestamp per command (latency, median and p99), once without (commands per
second from the wall clock, CPU time of this process from getrusage).

`--marked N` runs N commands of each driver between calls of os.getppid(),
which callgrind's --dump-before=os_getppid* turns into one dump per driver.

`--count` opens the bus, sends N commands and exits, with nothing else in the
loop: the difference of two such runs under `strace -c -f` is the system calls
that N commands make.
"""

import argparse
import json
import os
import resource
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rotalink  # noqa: E402

import peer  # noqa: E402
from timing import ns_per_call  # noqa: E402

MOTOR_ID = 0x01
MASTER_ID = 0x11
# Long enough that no reply is lost to a stall of the emulator: a reply that
# came after its command's time-out would be taken as the next command's
# answer and shift every later exchange by one.
TIMEOUT_MS = 500


class Ours:
    name = "rotalink"

    def __init__(self, iface):
        self.bus = rotalink.SocketCanTransport(iface)
        self.motor = rotalink.Damiao(MOTOR_ID, MASTER_ID, rotalink.MitLimits.dm4310(),
                                     timeout_ms=TIMEOUT_MS)
        self.setpoint = rotalink.MitSetpoint(1.0, -2.0, 50.0, 1.0, 3.0)

    def loop(self, n):
        """n commands; returns the number that failed (no reply in time)."""
        cmd, bus, sp = self.motor.mit_control, self.bus, self.setpoint
        failures = 0
        for _ in range(n):
            try:
                cmd(bus, sp)
            except (RuntimeError, TimeoutError):
                failures += 1
        return failures

    def timed_loop(self, n, out):
        """As loop, appending each command's latency in ns to `out`; a
        failed command is counted and left out."""
        cmd, bus, sp, now = self.motor.mit_control, self.bus, self.setpoint, time.perf_counter_ns
        append = out.append
        failures = 0
        t = now()
        for _ in range(n):
            try:
                cmd(bus, sp)
            except (RuntimeError, TimeoutError):
                failures += 1
                t = now()
                continue
            t1 = now()
            append(t1 - t)
            t = t1
        return failures

    def one(self):
        return self.motor.mit_control(self.bus, self.setpoint)


    def close(self):
        pass  # the socket is closed when the object is collected


class Peer:
    name = "python-can peer"

    def __init__(self, iface):
        self.bus = peer.open_bus(iface)
        self.motor = peer.PeerMotor(MOTOR_ID, MASTER_ID, peer.PeerLimits(), timeout_ms=TIMEOUT_MS)
        self.setpoint = peer.PeerSetpoint(1.0, -2.0, 50.0, 1.0, 3.0)

    loop = Ours.loop
    timed_loop = Ours.timed_loop
    one = Ours.one

    def close(self):
        self.bus.shutdown()


def cpu_times():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime, r.ru_stime


def run_block(driver, n, lat=None):
    """Runs n commands (timed into `lat` if given); returns (wall s, user s,
    sys s, failures)."""
    u0, s0 = cpu_times()
    w0 = time.perf_counter()
    failures = driver.loop(n) if lat is None else driver.timed_loop(n, lat)
    w1 = time.perf_counter()
    u1, s1 = cpu_times()
    return w1 - w0, u1 - u0, s1 - s0, failures


def percentile(sorted_values, p):
    k = max(0, min(len(sorted_values) - 1, int(round(p / 100.0 * (len(sorted_values) - 1)))))
    return sorted_values[k]


def measure(args):
    drivers = [Ours(args.ours_iface), Peer(args.peer_iface)]
    for d in drivers:  # warm-up: caches, lazy imports, the kernel's paths
        d.loop(args.warmup)
    stats = {d.name: {"lat": [], "wall": 0.0, "user": 0.0, "sys": 0.0, "n": 0, "failures": 0,
                      "block_cpu": []}
             for d in drivers}
    blocks = max(1, args.n // args.block)
    for _ in range(blocks):
        for d in drivers:
            st = stats[d.name]
            _, _, _, f = run_block(d, args.block, st["lat"])
            st["failures"] += f
            wall, user, sys_, f = run_block(d, args.block)
            st["wall"] += wall
            st["user"] += user
            st["sys"] += sys_
            st["n"] += args.block
            st["block_cpu"].append((user + sys_) / args.block)
            st["failures"] += f

    # Python-level cost of reading the feedback, on this (emulated) machine.
    ours_state = drivers[0].one()
    peer_state = drivers[1].one()
    env = {"s": ours_state, "p": peer_state}
    feedback = []
    for name, a, b in [("getter .position", "s.position", "p.position"),
                       ("repr(state)", "repr(s)", "repr(p)")]:
        feedback.append({"name": name, "ours_ns": ns_per_call(a, env, repeat=5),
                         "peer_ns": ns_per_call(b, env, repeat=5)})

    # Machine load that changes during the run (the emulator shares the host)
    # hits neighbouring blocks alike: the ratio of each pair of blocks.
    pairs = zip(stats[drivers[1].name]["block_cpu"], stats[drivers[0].name]["block_cpu"])
    block_ratios = [p / o for p, o in pairs if o > 0]
    result = {"commands_per_driver": blocks * args.block,
              "cpu_ratio_block_median": statistics.median(block_ratios),
              "cpu_ratio_block_range": [min(block_ratios), max(block_ratios)], "block": args.block,
              "clocksource": clocksource(), "cpus": os.cpu_count(), "drivers": {},
              "feedback": feedback}
    for d in drivers:
        d.close()
    for name, st in stats.items():
        lat = sorted(st["lat"])
        result["drivers"][name] = {
            "latency_samples": len(lat),
            "median_us": lat[len(lat) // 2] / 1000.0,
            "p99_us": percentile(lat, 99) / 1000.0,
            "p999_us": percentile(lat, 99.9) / 1000.0,
            "mean_us": statistics.fmean(lat) / 1000.0,
            "throughput_commands": st["n"],
            "commands_per_s": st["n"] / st["wall"],
            "cpu_user_us": st["user"] / st["n"] * 1e6,
            "cpu_sys_us": st["sys"] / st["n"] * 1e6,
            "cpu_us": (st["user"] + st["sys"]) / st["n"] * 1e6,
            "wall_us": st["wall"] / st["n"] * 1e6,
            "failures": st["failures"],
        }
    return result


def clocksource():
    try:
        with open("/sys/devices/system/clocksource/clocksource0/current_clocksource") as f:
            return f.read().strip()
    except OSError:
        return "unknown"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out")
    ap.add_argument("--n", type=int, default=10000)
    ap.add_argument("--block", type=int, default=500)
    ap.add_argument("--warmup", type=int, default=300)
    ap.add_argument("--ours-iface", default="vcan0")
    ap.add_argument("--peer-iface", default="vcan1")
    ap.add_argument("--count", nargs=2, metavar=("DRIVER", "N"))
    ap.add_argument("--marked", type=int, metavar="N")
    args = ap.parse_args()

    if args.marked:
        # For callgrind --dump-before=os_getppid*: one dump per driver's loop.
        drivers = [Ours(args.ours_iface), Peer(args.peer_iface)]
        for d in drivers:
            d.loop(20)
        for d in drivers:
            os.getppid()
            d.loop(args.marked)
        os.getppid()
        for d in drivers:
            d.close()
        return

    if args.count:
        which, n = args.count[0], int(args.count[1])
        driver = Ours(args.ours_iface) if which == "rotalink" else Peer(args.peer_iface)
        failures = driver.loop(n)
        driver.close()
        if failures:
            print(f"{failures} of {n} commands failed", file=sys.stderr)
        return

    result = measure(args)
    for name, r in result["drivers"].items():
        print(f"{name:16} median {r['median_us']:8.1f} us  p99 {r['p99_us']:8.1f} us  "
              f"{r['commands_per_s']:8.0f} cmd/s  cpu {r['cpu_us']:7.1f} us/cmd "
              f"(user {r['cpu_user_us']:.1f}, sys {r['cpu_sys_us']:.1f})  "
              f"failures {r['failures']}")
    print(f"CPU per command, peer/rotalink, median of block pairs: "
          f"{result['cpu_ratio_block_median']:.1f}x (range {result['cpu_ratio_block_range'][0]:.1f}"
          f"-{result['cpu_ratio_block_range'][1]:.1f})")
    if args.out:
        with open(args.out, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
