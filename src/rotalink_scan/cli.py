"""Command line of the bus scanner (``rotalink-scan`` / ``python -m rotalink_scan``)."""

import argparse
import json
import os
import sys

from . import description, probe, report

__all__ = ["parse_ids", "build_parser", "scan", "on_bus", "write_skeleton", "main"]

MAX_ID = 0x7FE  # 0x7FF is where register requests go

_DESCRIPTION = """\
Find the Damiao motors on a CAN interface and show how each is set up.

Every command identifier of --ids is asked for its MST_ID register (7) with
one read each, all sent at once; the replies are collected until one
time-out. Each motor that answered is then asked, the same way, for CTRL_MODE
(10), PMAX (21), VMAX (22), TMAX (23), sw_ver (14), SN (15) and can_br (35),
waiting the whole time-out, so that two motors answering as one show: by
more than one reply to one read, alike or not. Nothing is ever written: only
register reads (0x33) go on the bus."""

_EPILOG = """\
The table shows per motor its command identifier, its reply identifier
(MST_ID), its control mode, the ranges its MIT frames map to, the model
presets of rotalink.MitLimits with those ranges ("none" if no preset has
them), its firmware version and the CAN bit rate it starts with at its next
power-up (can_br: "1000000", or "1000000/5000000" for CAN FD, arbitration
and data bit/s); "?" marks a value that did not come.
Warnings follow about identifiers that would mix up replies.

exit status: 0 with motors found, 1 with none or when the bus cannot be
used, 2 for a wrong command line.

examples:
  rotalink-scan can0
  rotalink-scan can0 --ids 1,5,0x10-0x1F --timeout-ms 200 --json
  rotalink-scan can0 --toml arm.toml   # a robot description to check and edit"""


def _int(text):
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid identifier: %r" % text) from None


def parse_ids(text):
    """Identifiers like ``1-32`` or ``1,5,0x10-0x1F``: a sorted list, each once."""
    ids = set()
    for item in text.split(","):
        first, dash, last = item.strip().partition("-")
        lo = _int(first.strip())
        hi = _int(last.strip()) if dash else lo
        for value in (lo, hi):
            if not 0 <= value <= MAX_ID:
                raise argparse.ArgumentTypeError(
                    "identifier %s is out of range (0..0x%X)" % (value, MAX_ID))
        if lo > hi:
            raise argparse.ArgumentTypeError("empty range %r" % item.strip())
        ids.update(range(lo, hi + 1))
    return sorted(ids)


def _timeout_ms(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid time-out: %r" % text) from None
    if value <= 0:
        raise argparse.ArgumentTypeError("the time-out must be positive, got %s" % text)
    return value


def _iface(text):
    if not text:
        raise argparse.ArgumentTypeError("the interface name is empty")
    return text


def build_parser():
    p = argparse.ArgumentParser(prog="rotalink-scan", description=_DESCRIPTION, epilog=_EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("iface", type=_iface, help="CAN interface, e.g. can0 or vcan0")
    p.add_argument("--ids", type=parse_ids, default=parse_ids("1-32"), metavar="IDS",
                   help="command identifiers to probe: ranges and lists such as 1-32 or "
                        "1,5,0x10-0x1F (default 1-32)")
    p.add_argument("--timeout-ms", type=_timeout_ms, default=100, metavar="N",
                   help="how long to wait for the replies of each round, in ms (default 100)")
    p.add_argument("--json", action="store_true", help="print a JSON document instead of a table")
    p.add_argument("--toml", metavar="FILE",
                   help="also write a robot description of the motors found to FILE (not "
                        "overwritten), joints joint1..N with direction 1, offset 0 and gear 1, "
                        "and comments saying what to check")
    return p


def write_skeleton(path, iface, motors):
    """Write the description skeleton of `motors` to a new file at `path`;
    0, or 1 (told on standard error) when it cannot be written. A skeleton
    the description reader refuses (clashing identifiers) is written all the
    same, its faults told."""
    text = description.skeleton(iface, motors)
    try:
        with open(path, "x", encoding="utf-8") as f:
            f.write(text)
    except OSError as exc:
        print("rotalink-scan: cannot write %s: %s" % (path, exc.strerror or exc), file=sys.stderr)
        return 1
    try:
        description.loads(text, path)
    except description.DescriptionError as exc:
        print("rotalink-scan: wrote %s; it loads only once these are resolved:\n%s"
              % (path, exc), file=sys.stderr)
        return 0
    print("rotalink-scan: wrote %s: check every joint's name, direction, offset and gear "
          "before use" % path, file=sys.stderr)
    return 0


def scan(sock, iface, ids, timeout):
    """Probe `ids` on the bound socket; the motors that answered, by command id."""
    found = probe.read_registers(sock, iface, [(i, report.MST_ID) for i in ids], timeout)
    motor_ids = sorted(m for m, _ in found)
    # The whole time-out, not until every read has one answer: a second motor
    # answering as the same one may come later, and its values tell it apart.
    details = probe.read_registers(
        sock, iface, [(m, r) for m in motor_ids for r in report.DETAILS], timeout,
        until_all=False) if motor_ids else {}
    motors = []
    for m in motor_ids:
        answers = found[(m, report.MST_ID)]
        registers = {report.MST_ID: report.decode(report.MST_ID, answers[0][1])}
        differing = []  # registers answered with different values: motors share the id
        for r in report.DETAILS:
            if (m, r) in details:
                registers[r] = report.decode(r, details[(m, r)][0][1])
                if len(details[(m, r)]) > 1:
                    differing.append(r)
        also = [report.decode(report.MST_ID, value) for _, value in answers[1:]]
        # Replies counted, not distinct answers: motors set up alike answer alike.
        replies = max([found.counts[(m, report.MST_ID)]]
                      + [details.counts.get((m, r), 0) for r in report.DETAILS])
        motors.append(report.Motor(m, registers, answered_from=answers[0][0], also=also,
                                   differing=differing, replies=replies))
    return motors


def on_bus(prog, iface, work):
    """``(work(sock), None)`` with a raw CAN socket bound to `iface`, closed
    after; ``(None, exit status)`` when the bus cannot be used (told on
    standard error, as `prog`) or on Ctrl-C."""
    try:
        sock = probe.open_bus(iface)
        try:
            return work(sock), None
        finally:
            sock.close()
    except probe.ScanError as exc:
        print("%s: %s" % (prog, exc), file=sys.stderr)
        return None, 1
    except KeyboardInterrupt:
        return None, 130


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.toml is not None and os.path.lexists(args.toml):
        parser.error("%s exists: a description is never overwritten" % args.toml)
    motors, status = on_bus("rotalink-scan", args.iface, lambda sock: scan(
        sock, args.iface, args.ids, args.timeout_ms / 1000.0))
    if status is not None:
        return status
    limits = report.presets()
    if args.json:
        print(json.dumps(report.document(args.iface, motors, limits), indent=2))
    elif motors:
        print(report.table(motors, limits))
        for w in report.warnings(motors):
            print("warning: " + w)
    else:
        print("rotalink-scan: no motor answered on %s (%d command identifiers, %d ms)"
              % (args.iface, len(args.ids), args.timeout_ms), file=sys.stderr)
    if motors and args.toml is not None and write_skeleton(args.toml, args.iface, motors):
        return 1
    return 0 if motors else 1
