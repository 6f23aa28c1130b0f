"""Threads sharing one bus: throughput and reply matching, as figures.

    tests/vm/run python3 tests/reliability/stress.py [--threads 8] [--commands 10000] [--physics]

THREADS Python threads each send COMMANDS MIT commands over one
SocketCanTransport to eight simulated motors (two simulator processes with
four motors each, rotors held still by filtered_sim.py --still so that the
run measures the host; --physics runs the plain rotalink-sim instead), every
thread cycling through all eight motors. Each
command carries a feed-forward torque only (kp = kd = 0), which the simulated
motor reports back as its torque, so every reply is checked against its own
command: the motor-id nibble must be the commanded motor's and the torque
the commanded torque. Prints the wall time, commands per second, the
per-command latency distribution, and the count of errors and mismatches
(both must be 0). Exits with status 1 if any command failed or any thread did
not finish. Needs vcan0 (the test VM has it).
"""
import argparse
import contextlib
import os
import statistics
import sys
import threading
import time

import rotalink
import rotalink_sim

import filtered_sim

# motor id -> master id; the low nibbles of the motor ids are distinct.
MOTORS = {0x01: 0x101, 0x02: 0x102, 0x03: 0x103, 0x04: 0x104,
          0x05: 0x105, 0x06: 0x106, 0x07: 0x107, 0x08: 0x108}
TORQUES = [(k - 20) * 0.25 for k in range(41)]  # dm4310: t_max 10, step ~0.005


def motor_args(table):
    out = []
    for m, s in table.items():
        out += ["--motor", f"{m:#x}:{s:#x}"]
    return out


def worker(index, bus, motors, setpoints, count, out):
    errors = mismatches = 0
    lat = []
    first_problem = None
    n = len(motors)
    for k in range(count):
        m = motors[(index + k) % n]
        j = (index * 7 + k) % len(setpoints)
        t0 = time.perf_counter()
        try:
            state = m.mit_control(bus, setpoints[j])
        except RuntimeError as e:
            errors += 1
            first_problem = first_problem or f"thread {index} command {k}: {e}"
            continue
        lat.append(time.perf_counter() - t0)
        if state.motor_id != m.motor_id & 0xF or abs(state.torque - TORQUES[j]) > 0.01:
            mismatches += 1
            first_problem = first_problem or (
                f"thread {index} command {k}: motor {m.motor_id:#x} tau {TORQUES[j]} got {state!r}")
    out[index] = (errors, mismatches, lat, first_problem)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--iface", default=os.environ.get("ROTALINK_TEST_IFACE", "vcan0"))
    p.add_argument("--threads", type=int, default=8)
    p.add_argument("--commands", type=int, default=10_000, help="per thread")
    p.add_argument("--timeout-ms", type=int, default=2000)
    p.add_argument("--physics", action="store_true",
                   help="simulate the rotors (plain rotalink-sim; slow under emulation)")
    a = p.parse_args()

    items = list(MOTORS.items())
    with contextlib.ExitStack() as stack:
        for half in (dict(items[:4]), dict(items[4:])):
            if a.physics:
                stack.enter_context(rotalink_sim.spawn(a.iface, *motor_args(half)))
            else:
                stack.enter_context(filtered_sim.spawn(a.iface, "--still", *motor_args(half)))
        bus = rotalink.SocketCanTransport(a.iface)
        motors = [rotalink.Damiao(m, s, timeout_ms=a.timeout_ms) for m, s in items]
        for m in motors:
            m.enable(bus)
        setpoints = [rotalink.MitSetpoint(tau=t) for t in TORQUES]
        out = [None] * a.threads
        threads = [threading.Thread(target=worker, args=(i, bus, motors, setpoints, a.commands, out))
                   for i in range(a.threads)]
        t0 = time.monotonic()
        for t in threads:
            t.start()
        # Generous: every command could time out and the run still ends.
        limit = a.threads * a.commands * (a.timeout_ms / 1000.0 + 0.1) + 60
        for t in threads:
            t.join(max(0.0, limit - (time.monotonic() - t0)))
        wall = time.monotonic() - t0
        hung = [t.name for t in threads if t.is_alive()]
        for m in motors:
            m.disable(bus)

    total = a.threads * a.commands
    done = [o for o in out if o is not None]
    errors = sum(o[0] for o in done)
    mismatches = sum(o[1] for o in done)
    lat = sorted(x for o in done for x in o[2])
    kind = "rotalink-sim" if a.physics else "filtered_sim.py --still"
    print(f"threads x commands: {a.threads} x {a.commands} = {total} on one bus, "
          f"{len(MOTORS)} motors in 2 simulators ({kind})")
    print(f"wall time: {wall:.1f} s, {total / wall:.0f} commands/s")
    if lat:
        q = statistics.quantiles(lat, n=100) if len(lat) > 1 else [lat[0]] * 99
        print("latency per command (ms): median %.3f  p99 %.3f  max %.3f"
              % (statistics.median(lat) * 1e3, q[98] * 1e3, lat[-1] * 1e3))
    print(f"errors: {errors}  mismatched replies: {mismatches}  threads not finished: {len(hung)}")
    for o in done:
        if o[3]:
            print("  first problem:", o[3])
    return 0 if errors == 0 and mismatches == 0 and not hung and len(done) == a.threads else 1


if __name__ == "__main__":
    sys.exit(main())
