"""Memory, references and descriptors over many calls, as figures.

    python3 tests/reliability/leaks.py --values 1000000 --bus 0      # value callables, on the host
    tests/vm/run python3 tests/reliability/leaks.py --values 0 --bus 100000   # bus commands

Value part: every callable of the table in tests/python/test_leaks.py
(constructors, getters, reprs, presets, mit_setpoint, and their
argument-error paths) is called VALUES times after a warm-up of VALUES/10;
printed per callable: resident set before and after, its growth, and whether
the reference counts of the arguments and classes came back unchanged.

Bus part (needs vcan0): BUS commands against simulated motors, cycling
through mit_control, enable, ensure_mit_mode, a command that times out at
once (timeout 0) and one answered by a too-short reply; printed: resident
set after every tenth of the run, reference counts of bus, motors, setpoint
and classes before and after, open descriptors before and after, and the
outcome counts. Then 10^4 transports opened and dropped: descriptors and
resident set before and after.

Exits with status 1 if a reference count changed or a descriptor stayed
open. The resident-set figures are for reading, not judged.
"""
import argparse
import contextlib
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

import rotalink  # noqa: E402

import test_leaks  # noqa: E402  (the table of value callables)
from test_leaks import CLASSES, VALUE_CALLS, WATCHED, rss  # noqa: E402


def fds():
    return len(os.listdir("/proc/self/fd"))


def refs(objs):
    return [sys.getrefcount(o) for o in objs]


def kib(n):
    return f"{n / 1024:10.0f} KiB"


def values(n):
    ok = True
    print(f"value callables, {n} calls each after {n // 10} warm-up calls")
    print(f"  {'callable':36s} {'RSS before':>14s} {'RSS after':>14s} {'growth':>14s}  refcounts")
    t_start = time.monotonic()
    for name, fn in VALUE_CALLS.items():
        test_leaks._loop(fn, max(1000, n // 10))
        gc.collect()
        r0, b = refs(WATCHED), rss()
        t0 = time.monotonic()
        test_leaks._loop(fn, n)
        dt = time.monotonic() - t0
        gc.collect()
        a, r1 = rss(), refs(WATCHED)
        same = r0 == r1
        ok &= same
        print(f"  {name:36s} {kib(b)} {kib(a)} {kib(a - b)}  {'unchanged' if same else 'CHANGED'}"
              f"  ({dt / n * 1e6:.2f} us/call)")
    print(f"  total {time.monotonic() - t_start:.0f} s")
    return ok


def bus_part(iface, n):
    import rotalink_sim
    import filtered_sim

    ok = True
    motor_ids, short_ids, absent_ids = (0x71, 0x171), (0x72, 0x172), (0x7A, 0x7B)
    with contextlib.ExitStack() as stack:
        stack.enter_context(filtered_sim.spawn(iface, "--still", "--motor", "%#x:%#x" % motor_ids))
        stack.enter_context(filtered_sim.spawn(iface, "--still", "--motor", "%#x:%#x" % short_ids,
                                               "--short-reply", "5"))
        bus = rotalink.SocketCanTransport(iface)
        motor = rotalink.Damiao(*motor_ids, timeout_ms=2000)
        short = rotalink.Damiao(*short_ids, timeout_ms=2000)
        absent = rotalink.Damiao(*absent_ids, timeout_ms=0)
        setpoint = rotalink.MitSetpoint(q=0.25, kp=1.0, kd=0.1)
        motor.enable(bus)
        counts = {}

        def call(k):
            kind = k % 5
            try:
                if kind == 0:
                    motor.enable(bus)
                elif kind == 3:
                    absent.enable(bus)
                elif kind == 4:
                    short.enable(bus)
                elif kind == 2 and k % 50 == 2:
                    motor.ensure_mit_mode(bus)
                else:
                    motor.mit_control(bus, setpoint)
                key = "answered"
            except RuntimeError as e:
                key = str(e)
            counts[key] = counts.get(key, 0) + 1

        for k in range(min(1000, n)):  # warm-up
            call(k)
        counts.clear()
        watched = WATCHED + [bus, motor, short, absent, setpoint]
        gc.collect()
        r0, f0, m0 = refs(watched), fds(), rss()
        print(f"\nbus commands on {iface}: {n} after a warm-up of {min(1000, n)}")
        print(f"  RSS at start {kib(m0)}")
        t0 = time.monotonic()
        step = max(1, n // 10)
        for k in range(n):
            call(k)
            if (k + 1) % step == 0:
                print(f"  after {k + 1:8d} commands: RSS {kib(rss())} ({kib(rss() - m0)} growth),"
                      f" {time.monotonic() - t0:.0f} s", flush=True)
        gc.collect()
        r1, f1 = refs(watched), fds()
        print(f"  descriptors before {f0}, after {f1}")
        print(f"  reference counts {'unchanged' if r0 == r1 else 'CHANGED: %r -> %r' % (r0, r1)}")
        print(f"  {(time.monotonic() - t0) / n * 1e3:.2f} ms per command; outcomes:")
        for key, c in sorted(counts.items()):
            print(f"    {c:8d}  {key}")
        ok &= r0 == r1 and f0 == f1

    gc.collect()
    f0, m0, r0 = fds(), rss(), refs(CLASSES)
    t0 = time.monotonic()
    for _ in range(10_000):
        rotalink.SocketCanTransport(iface)
    gc.collect()
    f1, m1, r1 = fds(), rss(), refs(CLASSES)
    print(f"\n10^4 transports opened and dropped in {time.monotonic() - t0:.1f} s: descriptors {f0} -> {f1},"
          f" RSS {kib(m0)} -> {kib(m1)}, class reference counts {'unchanged' if r0 == r1 else 'CHANGED'}")
    ok &= f0 == f1 and r0 == r1
    return ok


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--values", type=int, default=1_000_000, help="calls of each value callable (0: skip)")
    p.add_argument("--bus", type=int, default=100_000, help="bus commands (0: skip)")
    p.add_argument("--iface", default=os.environ.get("ROTALINK_TEST_IFACE", "vcan0"))
    a = p.parse_args()
    print(f"python {sys.version.split()[0]}, kernel {os.uname().release}, {os.cpu_count()} CPUs")
    ok = True
    if a.values:
        ok &= values(a.values)
    if a.bus:
        ok &= bus_part(a.iface, a.bus)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
