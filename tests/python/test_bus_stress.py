"""Eight Python threads share one bus and eight simulated motors.

Each thread sends ROTALINK_STRESS_COMMANDS commands (default 400; the full
run is 10^4, see tests/reliability/stress.py for its figures), cycling
through all motors. Every MIT command carries only a feed-forward torque
(kp = kd = 0), which the simulated motor reports back as its torque, so each
reply is checked against its own command: the feedback's motor-id nibble is
the commanded motor's and its torque the commanded torque. Between them, each
thread reads the control-mode register (ensure_mit_mode on a motor already in
MIT mode) and sends to a motor that never answers (time-out 0). Nothing may
fail otherwise, no thread may crash or stay blocked, and the bus works
afterwards.
"""
import contextlib
import faulthandler
import os
import sys
import threading
import time

import pytest

import rotalink

pytest.importorskip("rotalink_sim")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reliability"))
import filtered_sim  # noqa: E402

pytestmark = pytest.mark.bus

THREADS = 8
COMMANDS = int(os.environ.get("ROTALINK_STRESS_COMMANDS", "400"))
TIMEOUT_MS = 2000
TIMEOUT = "transport error: timeout waiting for frame"

# motor id -> master id; the low nibbles of the motor ids are distinct.
MOTORS = {0x21: 0x121, 0x22: 0x122, 0x23: 0x123, 0x24: 0x124,
          0x25: 0x125, 0x26: 0x126, 0x27: 0x127, 0x28: 0x128}
ABSENT = (0x2F, 0x12F)
TORQUES = [(k - 20) * 0.25 for k in range(41)]  # dm4310 limits: t_max 10


def motor_args(table):
    out = []
    for m, s in table.items():
        out += ["--motor", f"{m:#x}:{s:#x}"]
    return out


@pytest.fixture(scope="module")
def motors_on_bus(can_iface):
    items = list(MOTORS.items())
    with contextlib.ExitStack() as stack:
        # The simulators' rotors are held still: the run then measures the
        # host, not the Python motor model.
        for half in (dict(items[:4]), dict(items[4:])):
            stack.enter_context(filtered_sim.spawn(can_iface, "--still", *motor_args(half)))
        bus = rotalink.SocketCanTransport(can_iface)
        motors = [rotalink.Damiao(m, s, timeout_ms=TIMEOUT_MS) for m, s in items]
        for m in motors:
            m.enable(bus)
        yield bus, motors


def worker(index, bus, motors, setpoints, count, problems, done):
    absent = rotalink.Damiao(*ABSENT, timeout_ms=0)
    n = len(motors)
    try:
        for k in range(count):
            m = motors[(index + k) % n]
            if k % 100 == 99:
                if m.ensure_mit_mode(bus) is not None:
                    problems.append(f"thread {index}: ensure_mit_mode returned a value")
                continue
            if k % 50 == 49:
                try:
                    absent.enable(bus)
                    problems.append(f"thread {index}: a motor that does not exist answered")
                except RuntimeError as e:
                    if str(e) != TIMEOUT:
                        problems.append(f"thread {index}: {e}")
                continue
            j = (index * 7 + k) % len(setpoints)
            state = m.mit_control(bus, setpoints[j])
            if state.motor_id != m.motor_id & 0xF or abs(state.torque - TORQUES[j]) > 0.01:
                problems.append(f"thread {index} command {k}: motor {m.motor_id:#x} "
                                f"torque {TORQUES[j]} answered by {state!r}")
    except BaseException as e:  # noqa: BLE001 - reported by the test
        problems.append(f"thread {index} ended with {e!r}")
    finally:
        done.append(index)


def test_threads_sharing_a_bus_get_their_own_replies(motors_on_bus):
    bus, motors = motors_on_bus
    setpoints = [rotalink.MitSetpoint(tau=t) for t in TORQUES]
    problems, done = [], []
    threads = [threading.Thread(target=worker, args=(i, bus, motors, setpoints, COMMANDS, problems, done),
                                name=f"stress-{i}", daemon=True) for i in range(THREADS)]
    # Every command could time out and the run would still end by then.
    limit = THREADS * COMMANDS * (TIMEOUT_MS / 1000.0) + 120
    # A blocked run prints every thread's stack and ends instead of hanging.
    faulthandler.dump_traceback_later(limit + 60, exit=True)
    try:
        t0 = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(max(0.0, limit - (time.monotonic() - t0)))
        wall = time.monotonic() - t0
    finally:
        faulthandler.cancel_dump_traceback_later()
    alive = [t.name for t in threads if t.is_alive()]
    assert not alive, f"threads still running after {limit:.0f} s: {alive}"
    assert sorted(done) == list(range(THREADS))
    assert not problems, f"{len(problems)} problems, first: {problems[:5]}"
    print(f"\n{THREADS} threads x {COMMANDS} commands in {wall:.1f} s "
          f"({THREADS * COMMANDS / wall:.0f} commands/s)")
    for m in motors:
        state = m.mit_control(bus, setpoints[0])
        assert state.motor_id == m.motor_id & 0xF and abs(state.torque - TORQUES[0]) < 0.01
