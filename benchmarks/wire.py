"""The bus's own limit for a group cycle, on paper: how long N commands plus N
replies (8 data bytes each, 11-bit identifiers) take on the wire, and hence
how many motors one bus can serve at a given control rate.

    python3 benchmarks/wire.py [RESULTS_DIR]

With RESULTS_DIR (from benchmarks/run --group), the measured per-cycle
figures of rotalink and of the python-can peer are printed beside the wire
times.

Frame lengths in bits, with the field sizes of ISO 11898-1 as the Linux
kernel's include/linux/can/length.h counts them (d = data bytes):

  classic base frame:   S = 19 (SOF, ID, RTR, IDE, r0/FDF, DLC) + 8d + 16 (CRC 15,
                        CRC delimiter); then 9 (ACK slot, ACK delimiter, EOF 7) and
                        3 (intermission)
  CAN FD base frame:    S = 22 (SOF, ID, RRS, IDE, FDF, res, BRS, ESI, DLC) + 8d;
                        then the CRC field, 28 for d <= 16 (stuff count 4, CRC 17,
                        CRC delimiter 1, 6 fixed stuff bits), and 9 + 3 as above

Bit stuffing applies to the S bits; in the worst case (levels alternating every
four bits) it adds one bit in four after the first: S + floor((S - 1) / 4). So
with d = 8 a classic frame is 111 bits, 135 in the worst case; an FD frame 126,
147 in the worst case, all at one bit rate.

With bit-rate switching (BRS) an FD frame runs its data phase faster: from
the BRS bit to the CRC delimiter. At the arbitration rate: SOF, ID 11, RRS,
IDE, FDF, res, BRS (17 bits), the CRC delimiter, ACK, EOF and intermission (13):
30 bits. At the data rate: ESI, DLC 4, the data 8d, stuff count, CRC 17 and
the fixed stuff bits (27): 5 + 8d + 27 = 96 bits for d = 8. The worst-case
stuffing of S (21 bits for d = 8) is split by where the stuffed bits are:
floor((17 - 1) / 4) = 4 in the arbitration phase, the other 17 in the data
phase. (Counting the BRS bit and the CRC delimiter wholly at the slow rate
errs on the long side by a fraction of a bit.)

A cycle of N motors puts 2N frames on one bus; they cannot overlap, whatever
order arbitration gives them, so 2N frame times is the shortest cycle. A
motor's own reply latency adds to it only where the bus has nothing else to
carry: at least once, after the last command.
"""

import json
import os
import sys

DATA = 8


def stuffed(bits):
    """Worst-case length of a stuffed bit stream of `bits` bits."""
    return bits + (bits - 1) // 4


def classic_bits(d=DATA):
    s = 19 + 8 * d + 16
    return s + 9 + 3, stuffed(s) + 9 + 3


def fd_bits(d=DATA):
    """(min, max) bits of an FD frame at one bit rate."""
    assert d <= 16
    s = 22 + 8 * d
    return s + 28 + 9 + 3, stuffed(s) + 28 + 9 + 3


def fd_brs_bits(d=DATA):
    """((slow min, fast min), (slow max, fast max)) bits of an FD frame with
    bit-rate switching: slow at the arbitration rate, fast at the data rate."""
    assert d <= 16
    slow = 17 + 1 + 9 + 3
    fast = 5 + 8 * d + 27
    s = 22 + 8 * d
    stuff = stuffed(s) - s
    stuff_slow = (17 - 1) // 4
    return (slow, fast), (slow + stuff_slow, fast + stuff - stuff_slow)


def frame_us():
    """(name, min us, max us) of one 8-byte frame in each bus set-up."""
    c = classic_bits()
    f = fd_bits()
    (s0, f0), (s1, f1) = fd_brs_bits()
    return {
        "classic": ("classic CAN, 1 Mbit/s", c[0] / 1.0, c[1] / 1.0),
        "fd_brs": ("CAN FD, 1 Mbit/s arbitration, 5 Mbit/s data (BRS)",
                   s0 / 1.0 + f0 / 5.0, s1 / 1.0 + f1 / 5.0),
        "fd_nobrs": ("CAN FD without BRS, 1 Mbit/s", f[0] / 1.0, f[1] / 1.0),
    }


def setups():
    """(key, name, exchange min us, exchange max us): one command plus its reply."""
    fr = frame_us()
    out = [(k, name, 2 * lo, 2 * hi) for k, (name, lo, hi) in fr.items()]
    c, f = fr["classic"], fr["fd_brs"]
    out.insert(2, ("fd_cmd_classic_reply", "FD commands with BRS, classic replies",
                   c[1] + f[1], c[2] + f[2]))
    return out


def load(res, name):
    if not res:
        return None
    path = os.path.join(res, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def main():
    res = sys.argv[1] if len(sys.argv) > 1 else None
    c, f, (bs, bf) = classic_bits(), fd_bits(), fd_brs_bits()
    lines = ["Wire time of one frame, 11-bit identifier, 8 data bytes (no stuffing - worst case):"]
    lines.append(f"   classic:         {c[0]}-{c[1]} bits")
    lines.append(f"   CAN FD:          {f[0]}-{f[1]} bits at one rate; with BRS "
                 f"{bs[0]}-{bf[0]} bits at the arbitration rate + {bs[1]}-{bf[1]} at the data rate")
    for name, lo, hi in frame_us().values():
        lines.append(f"   {name:52} {lo:6.1f}-{hi:6.1f} us")
    lines.append("")
    sets = setups()
    lines.append("Shortest cycle of N motors (N commands + N replies back to back), ms, "
                 "no stuffing - worst case:")
    lines.append("   " + f"{'N':>3}" + "".join(f"{k:>22}" for k, *_ in sets))
    for n in (1, 2, 4, 8, 16):
        lines.append("   " + f"{n:3}" + "".join(
            f"{n * lo / 1000:10.3f} -{n * hi / 1000:7.3f}  " for _, _, lo, hi in sets))
    lines.append("")
    lines.append("Most motors per bus (bus fully loaded; worst-case stuffing, in brackets "
                 "without stuffing):")
    lines.append(f"   {'':52}{'500 Hz':>10}{'1 kHz':>10}")
    for _, name, lo, hi in sets:
        cells = "".join(f"{int(period // hi):>4} ({int(period // lo):>2})" for period in
                        (2000.0, 1000.0))
        lines.append(f"   {name:52}{cells}")
    lines.append("   (columns of the cycle table: " + "; ".join(f"{k} = {name}" for k, name, *_ in sets)
                 + ")")

    pipe = load(res, "group_pipeline.json")
    cpu = load(res, "group_cpu.json")
    if pipe or cpu:
        lines.append("")
        lines.append("Measured per cycle on one vcan bus (EMULATED machine, so many times "
                     "slower than hardware), beside the classic bus's worst-case wire time:")
        lines.append(f"   {'N':>3}{'wire ms':>10}{'group - L ms':>14}{'group CPU ms':>14}"
                     f"{'peer CPU ms':>13}")
        rows_p = {r["n"]: r for r in pipe["rows"] if r["buses"] == 1} if pipe else {}
        rows_c = {r["n"]: r for r in cpu["rows"]} if cpu else {}
        for n in sorted(set(rows_p) | set(rows_c)):
            wire = n * sets[0][3] / 1000
            over = (f"{rows_p[n]['group']['median_ms'] - pipe['delay_ms']:14.3f}"
                    if n in rows_p else f"{'-':>14}")
            g = f"{rows_c[n]['group']['cpu_us'] / 1000:14.3f}" if n in rows_c else f"{'-':>14}"
            p = f"{rows_c[n]['peer']['cpu_us'] / 1000:13.3f}" if n in rows_c else f"{'-':>13}"
            lines.append(f"   {n:3}{wire:10.3f}{over}{g}{p}")
        lines.append("   group - L: median group cycle less the responder's latency L; CPU: "
                     "user + system time of the calling process per cycle")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
