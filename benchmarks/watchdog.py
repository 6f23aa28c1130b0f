"""When a simulated motor's communication watchdog trips, seen from the bus.

    python3 benchmarks/watchdog.py [IFACE] [--trials N]     (in tests/vm/run)

Starts rotalink-sim with one motor (0x3f1, answering from 0x3f9) on IFACE
(default vcan0) and, for TIMEOUT (register 9, units of 50 us) of 20, 50 and
100 ms written with Damiao.write_register, runs trials of: clear-error,
enable, one MIT command, a wait of a chosen gap, then a refresh, whose
feedback tells whether the watchdog had tripped (status 13) or not (1).

Register reads do not restart the watchdog, but their replies carry no
status, and every frame that is answered with feedback restarts it; so each
trial tells one thing: tripped or not after its gap. The gaps spread around
the time-out (-5 .. +5 ms and some beyond), and the gap taken is the one on
the bus: between the kernel's receive stamps of the MIT command and of the
refresh on a sniffer socket. The simulator has no tick: it trips a motor at
the exact time TIMEOUT x 50 us after the receive time of the last command,
and shows it in the feedback to the next frame, so the boundary should lie
at the time-out within the jitter of the simulator's receive stamps, whose
scale is its answer time (refresh to feedback on the bus), printed beside.

One more trial per time-out reads a register every 5 ms through the wait
and refreshes 5 ms after the time-out: it must find the motor tripped.
"""

import argparse
import socket
import statistics
import struct
import time

import rotalink
from rotalink_sim import spawn
from rotalink_sim.frames import CAN_FRAME

MOTOR, MASTER = 0x3F1, 0x3F9
TIMEOUTS_MS = (20, 50, 100)
OFFSETS_MS = (-20, -5, -2, -1, -0.5, -0.2, 0.2, 0.5, 1, 2, 5, 20)  # gap - time-out
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
UNIT_US = 50
FORMAT = "%-8s %-6s %-10s %-10s %-6s %-13s %s"


class Sniffer:
    def __init__(self, iface):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind((iface,))
        self.sock.settimeout(0.05)

    def frames(self):
        """[(kernel stamp s, can_id, data)] of the frames received so far."""
        out = []
        try:
            while True:
                raw, anc, _, _ = self.sock.recvmsg(16, 64)
                stamp = None
                for level, kind, value in anc:
                    if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                        sec, nsec = struct.unpack("=qq", value[:16])
                        stamp = sec + nsec * 1e-9
                can_id, length, data = CAN_FRAME.unpack(raw)
                out.append((stamp, can_id, data[:length]))
        except socket.timeout:
            return out


def wait_until(t):
    left = t - time.monotonic()
    if left > 0.002:
        time.sleep(left - 0.002)
    while time.monotonic() < t:
        pass


def trial(bus, motor, sniffer, gap, poll=None):
    """One trial; (gap on the bus s, status of the refresh, answer time s).
    The status is None when the motor was not enabled at the command."""
    sniffer.frames()  # quiet for 50 ms: before the enable, lest the watchdog trip
    motor.clear_error(bus)
    motor.enable(bus)
    t0 = time.monotonic()
    if motor.mit_control(bus, rotalink.MitSetpoint()).error != 1:
        return 0.0, None, None
    if poll is not None:
        while time.monotonic() < t0 + gap - poll:
            wait_until(time.monotonic() + poll)
            motor.read_register(bus, rotalink.Register.CTRL_MODE)
    wait_until(t0 + gap)
    status = motor.refresh(bus).error
    frames = sniffer.frames()
    command = [s for s, can_id, data in frames if can_id == MOTOR and len(data) == 8][-1]
    refresh = [s for s, can_id, data in frames if can_id == 0x7FF and data[2] == 0xCC][-1]
    register = struct.pack("<H", MOTOR)  # bytes 0-1 of a register reply or write echo
    answers = [s for s, can_id, data in frames if can_id == MASTER and s >= refresh
               and not (data[:2] == register and data[2] in (0x33, 0x55))]
    return refresh - command, status, min(answers) - refresh if answers else None


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("iface", nargs="?", default="vcan0")
    p.add_argument("--trials", type=int, default=3, help="trials per gap (default 3)")
    args = p.parse_args()
    with spawn(args.iface, "--motor", "%#x:%#x" % (MOTOR, MASTER)):
        bus = rotalink.SocketCanTransport(args.iface)
        motor = rotalink.Damiao(MOTOR, MASTER, timeout_ms=1000)
        sniffer = Sniffer(args.iface)
        print("motor %#x; a trial: enable, one MIT command, a gap, a refresh" % MOTOR)
        print(FORMAT % ("TIMEOUT", "ticks", "enabled<=", "tripped>=", "wrong", "trip-TIMEOUT",
                        "answer ms med/max"))
        for timeout_ms in TIMEOUTS_MS:
            ticks = timeout_ms * 1000 // UNIT_US
            motor.write_register(bus, rotalink.Register.TIMEOUT, ticks)
            assert motor.read_register(bus, rotalink.Register.TIMEOUT) == ticks
            results = []
            for _ in range(args.trials):
                for offset in OFFSETS_MS:
                    results.append(trial(bus, motor, sniffer, (timeout_ms + offset) / 1000))
            limit = timeout_ms / 1000
            answers = [r[2] for r in results if r[2] is not None]
            enabled = [r[0] for r in results if r[1] == 1]
            tripped = [r[0] for r in results if r[1] == 13]
            wrong = sum(g >= limit for g in enabled) + sum(g < limit for g in tripped)
            print(FORMAT % (
                "%d ms" % timeout_ms, ticks,
                "%.3f" % (max(enabled) * 1000) if enabled else "-",
                "%.3f" % (min(tripped) * 1000) if tripped else "-",
                "%d/%d" % (wrong, len(results)),
                "%+.3f" % ((max(enabled) + min(tripped)) / 2 * 1000 - timeout_ms)
                if enabled and tripped else "-",
                "%.3f / %.3f" % (statistics.median(answers) * 1000, max(answers) * 1000)))
            other = [r[1] for r in results if r[1] not in (1, 13)]
            if other:
                print("%8s other statuses (None: not enabled at the command): %s" % ("", other))
            gap, status, _ = trial(bus, motor, sniffer, limit + 0.005, poll=0.005)
            print("%8s register reads every 5 ms, refresh at %.3f ms: status %s (%s)" % (
                "", gap * 1000, status, "tripped" if status == 13 else "NOT tripped"))
        motor.write_register(bus, rotalink.Register.TIMEOUT, 0)
        motor.disable(bus)
        sniffer.sock.close()
    print("Gaps on the bus in ms (command to refresh): the longest that found the motor "
          "enabled, the shortest that found it tripped, and their middle less the time-out; "
          "'wrong': trials whose status disagrees with the gap (under the time-out and "
          "tripped, or at or over it and enabled). The simulator has no tick: it trips at the "
          "exact time after its receive stamp of the last command, so a disagreement comes "
          "from the jitter of those stamps, which its answer time (refresh to feedback) "
          "bounds.")

if __name__ == "__main__":
    main()
