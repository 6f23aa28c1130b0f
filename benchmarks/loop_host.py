"""The Python loop of benchmarks/loop_host (started by it): what a user
writes without a native loop, a Python thread that every period sends one
MIT command to each of K motors over an AF_UNIX SOCK_SEQPACKET socket (the
descriptor FD, inherited; struct can_frame records), collects and decodes
their feedback until half a period has passed, and sleeps until the next
period with time.sleep, paced by time.perf_counter on absolute deadlines (a
late cycle starts at once, without catching up). Prints "missed N" (replies
not received in time), then the start of each cycle in nanoseconds, one a
line.

    python3 benchmarks/loop_host.py FD RATE SECONDS MOTORS
"""

import socket
import struct
import sys
import threading
import time

RECORD = struct.Struct("<IB3x8s")  # struct can_frame: identifier, length, data
FEEDBACK = struct.Struct(">BHBBBBB")
# MIT command 1.0, -2.0, 50.0, 1.0, 3.0 within the DM4310's limits, made once
# as the native loop's set() makes its frames once.
COMMAND = bytes.fromhex("8a3c777199333a65")
P_MAX, V_MAX, T_MAX = 12.5, 30.0, 10.0


def run(sock, rate, seconds, motors, out):
    period = 1.0 / rate
    frames = [RECORD.pack(1 + i, 8, COMMAND) for i in range(motors)]
    states = [None] * motors
    missed = 0
    now = time.perf_counter
    start = now()
    planned = start
    while planned - start < seconds:
        delay = planned - now()
        if delay > 0:
            time.sleep(delay)
        out.append(time.perf_counter_ns())
        for f in frames:
            sock.send(f)
        deadline = now() + period / 2
        awaited = motors
        while awaited:
            left = deadline - now()
            if left <= 0:
                break
            sock.settimeout(left)
            try:
                rec = sock.recv(16)
            except (socket.timeout, BlockingIOError):
                break
            can_id, _, data = RECORD.unpack(rec)
            b0, p_raw, b3, b4, b5, _, _ = FEEDBACK.unpack(data[:8])
            i = (can_id & 0x7FF) - 0x11
            if 0 <= i < motors:
                states[i] = (b0 & 0xF, b0 >> 4, 2 * P_MAX * p_raw / 65535 - P_MAX,
                             2 * V_MAX * ((b3 << 4) | (b4 >> 4)) / 4095 - V_MAX,
                             2 * T_MAX * (((b4 & 0xF) << 8) | b5) / 4095 - T_MAX)
                awaited -= 1
        missed += awaited
        planned += period
        if planned < now():
            planned = now()
    out.insert(0, missed)


def main():
    fd, rate, seconds, motors = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET, fileno=fd)
    out = []
    t = threading.Thread(target=run, args=(sock, rate, seconds, motors, out), name="python-loop")
    t.start()
    t.join()
    sys.stdout.write(f"missed {out[0]}\n")
    sys.stdout.write("".join(f"{s}\n" for s in out[1:]))


if __name__ == "__main__":
    main()
