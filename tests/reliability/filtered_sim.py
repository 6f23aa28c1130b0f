"""rotalink-sim behind a kernel receive filter, for runs on a flooded or busy bus.

    python3 tests/reliability/filtered_sim.py IFACE [--still] [rotalink-sim options]

Takes the same command line as ``rotalink-sim`` and runs the same simulator,
but its socket carries a CAN_RAW_FILTER that lets through only the command
identifiers of its motors and the register identifier 0x7FF (standard data
frames). The plain simulator reads every frame on the bus in Python; under a
full-rate flood (``--flood 0`` in another process) its receive queue
overflows and the kernel drops commands before the simulator sees them, so a
motor that should answer stays silent. With the filter the kernel discards
the foreign frames instead and every command reaches the motor.

``--still`` holds every rotor still: the motor model is not integrated
between commands, so position and velocity stay 0 and the reported torque is
the commanded law at rest (with kp = kd = 0: the commanded feed-forward
torque). The simulated motor then costs a fraction of a millisecond per
command even under emulation, instead of up to 50 integration substeps, and a
load run measures the host rather than the simulator.

``spawn(iface, *args)`` runs it in a child process for a ``with`` block, like
``rotalink_sim.spawn``; ``frame_rate(iface, seconds)`` counts the frames a
Python reader sees on the bus, to tell that a flood is flowing.
"""
import contextlib
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import rotalink_sim
from rotalink_sim.cli import parse_args
from rotalink_sim.model import Motor
from rotalink_sim.sim import CAN_EFF_FLAG, CAN_RTR_FLAG, REGISTER_ID, Simulator

CAN_SFF_MASK = 0x7FF
SOL_CAN_RAW = 101
CAN_RAW_FILTER = getattr(socket, "CAN_RAW_FILTER", 1)
CAN_RAW_FD_FRAMES = getattr(socket, "CAN_RAW_FD_FRAMES", 5)


def frame_rate(iface, seconds):
    """Frames per second arriving on `iface`, counted for `seconds`."""
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        s.bind((iface,))
        s.settimeout(0.2)
        n, t0 = 0, time.monotonic()
        while time.monotonic() - t0 < seconds:
            try:
                s.recv(72)
            except socket.timeout:
                continue
            n += 1
        return n / (time.monotonic() - t0)
    finally:
        s.close()


def filtered_socket(iface, idents):
    """A raw CAN socket on `iface` that receives only standard data frames
    whose identifier is in `idents` (classic and FD frames)."""
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        sock.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)
        mask = CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG
        rules = b"".join(struct.pack("=II", ident, mask) for ident in sorted(idents))
        sock.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, rules)
        sock.bind((iface,))
    except BaseException:
        sock.close()
        raise
    return sock


class StillMotor(Motor):
    """A simulated motor whose rotor never moves."""

    def advance(self, now):
        self.last_time = now


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    still = "--still" in argv
    argv = [a for a in argv if a != "--still"]
    ns, motors, options = parse_args(argv)
    if still:
        for m in motors:
            m.__class__ = StillMotor
    sim = Simulator(ns.iface, motors, **options)
    try:
        idents = {m.motor_id & CAN_SFF_MASK for m in motors} | {REGISTER_ID}
        sim.open(filtered_socket(ns.iface, idents))
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, lambda _signo, _frame: sim.stop())

        def ready():
            sys.stdout.write("ready\n")
            sys.stdout.flush()

        sim.serve_forever(ready=ready, exit_after=ns.exit_after)
        return 0
    finally:
        sim.close()


@contextlib.contextmanager
def spawn(iface, *args, timeout=None):
    """Run this simulator on `iface` for the length of a ``with`` block;
    yields a ``rotalink_sim.SimProcess``."""
    cmd = [sys.executable, os.path.abspath(__file__), str(iface)] + [str(a) for a in args]
    env = dict(os.environ)
    # The child must find the same rotalink_sim as this process.
    parent = os.path.dirname(os.path.dirname(os.path.abspath(rotalink_sim.__file__)))
    env["PYTHONPATH"] = parent + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    handle = rotalink_sim.SimProcess(proc)
    try:
        handle.wait_ready(rotalink_sim.process.default_ready_timeout() if timeout is None else timeout)
        yield handle
    finally:
        handle.close()


if __name__ == "__main__":
    sys.exit(main())
