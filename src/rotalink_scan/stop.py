"""Emergency stop: disable every motor on a CAN interface (``rotalink-stop``).

Every motor id is sent the disable command on its command identifier and its
feedback is read from a raw CAN socket of this tool's own (the scanner's, see
``probe``); the master identifier is not known, so feedback counts from any
identifier. The feedback carries only the low four bits of the motor id
(byte 0, under the status), so ids that share them are asked one group after
another. A motor that answers with a status that may still drive (anything
but disabled or a latched fault) is sent the disable again, for a few rounds.
"""

import argparse
import sys
import time

from rotalink_sim.frames import (CAN_EFF_FLAG, CAN_EFF_MASK, CAN_ERR_FLAG, CAN_RTR_FLAG,
                                 CAN_SFF_MASK, pack_frame, unpack_frame)
from rotalink_sim.model import (CMD_DISABLE, FAULTS, STATUS_DISABLED, STATUS_ENABLED,
                                special_command, special_payload)

from . import cli, probe

__all__ = ["DISABLE", "STATUS_NAMES", "STOPPED", "status_name", "feedback", "groups",
           "stop", "build_parser", "main"]

#: The disable command's data, sent to standard identifier ``motor_id & 0x7FF``.
DISABLE = special_payload(CMD_DISABLE)

#: Names of the status codes a motor's feedback carries (byte 0, high four bits).
STATUS_NAMES = {
    STATUS_DISABLED: "DISABLED",
    STATUS_ENABLED: "ENABLED",
    8: "OVERVOLTAGE",
    9: "UNDERVOLTAGE",
    10: "OVERCURRENT",
    11: "MOS_OVERTEMP",
    12: "COIL_OVERTEMP",
    13: "COMM_LOST",
    14: "OVERLOAD",
}

#: Statuses of a motor that applies no torque: disabled, or a latched fault,
#: which holds the drive off until a clear-error command.
STOPPED = frozenset([STATUS_DISABLED]) | frozenset(FAULTS)

_DESCRIPTION = """\
Emergency stop: disable every Damiao motor on a CAN interface.

Every motor id of --ids is sent the disable command (FF FF FF FF FF FF FF FD
on standard identifier ID & 0x7FF) and its feedback is read: an 8-byte frame,
from any identifier but 0x7FF, whose byte 0 carries the id's low four bits
(and the motor's status in its high four bits); register replies and write
echoes (33 or 55 in byte 2) and commands are not feedback. As the feedback
tells only those four bits, ids that share them are asked one group after
another, after all of them have been sent the disable at once. A motor that
answers with any other status than DISABLED or a fault is sent the disable
again, for up to --rounds rounds, each round waiting --timeout-ms for the
answers."""

_EPILOG = """\
One line per motor that answered: its id, the identifier it answered from and
its last status: DISABLED (0), ENABLED (1), OVERVOLTAGE (8), UNDERVOLTAGE (9),
OVERCURRENT (10), MOS_OVERTEMP (11), COIL_OVERTEMP (12), COMM_LOST (13),
OVERLOAD (14), any other code as its number. A motor that reports a fault
(8..14) counts as stopped: a latched fault holds the drive off, with no
torque, until a clear-error command, which this tool never sends. A motor
that does not answer is not listed and not asked again.

exit status: 0 when a motor answered and every motor that answered reports
DISABLED or a fault; 1 when none answered, when one still reports another
status after the last round, or when the bus cannot be used; 2 for a wrong
command line. A motor not stopped is named on standard error with the
disables it was sent, e.g. "rotalink-stop: motor 0x002 still reports ENABLED
after 3 disables" (one more than --rounds for ids that share their low four
bits with another: the disable sent to all at once counts too).

examples:
  rotalink-stop can0
  rotalink-stop can0 --ids 1,3,5-8 --timeout-ms 200

  motor 0x001  reply 0x011  DISABLED
  motor 0x003  reply 0x013  OVERLOAD"""


def status_name(code):
    """The name of a status code, or the code itself for one without a name."""
    return STATUS_NAMES.get(code, str(code))


def feedback(raw):
    """``(identifier word, byte 0)`` of a record that can be a motor's
    feedback, else None.

    Feedback is a data frame (no remote request, no error frame) of 8 bytes,
    classic or CAN FD, with a standard or extended identifier, that is not on
    0x7FF (where register requests and refreshes go), not a register reply or
    write echo (33 or 55 in byte 2 under a command identifier, at most
    0x7FF, in bytes 0-1) and not a special command (such as another host's
    disable). Only a feedback at the very bottom of the position range looks
    like a register reply and is missed.
    """
    frame = unpack_frame(raw)
    if frame is None:
        return None
    can_id, data, _fd = frame
    if can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG) or len(data) != 8:
        return None
    if not can_id & CAN_EFF_FLAG and can_id & CAN_SFF_MASK == probe.REGISTER_ID:
        return None
    if data[2] in (probe.OP_READ, probe.OP_WRITE) and data[1] <= 0x07:
        return None
    if special_command(data) is not None:
        return None
    return can_id, data[0]


def groups(ids):
    """`ids` in groups, in order, no two of a group sharing their low four bits."""
    out = []
    seen = {}
    for i in ids:
        k = seen.get(i & 0xF, 0)
        seen[i & 0xF] = k + 1
        if k == len(out):
            out.append([])
        out[k].append(i)
    return out


def _ignore(_raw):
    pass


def _send_disable(sock, iface, motor_id, sent, on_frame):
    """Send the disable to `motor_id`, counted in `sent`."""
    probe.send_frame(sock, iface, pack_frame(motor_id, DISABLE), on_frame)
    sent[motor_id] = sent.get(motor_id, 0) + 1


def _disable_group(sock, iface, group, timeout, sent):
    """Disable the ids of one group; {motor id: (identifier word, status)} of
    those that answered within `timeout` of the last send."""
    by_nibble = {i & 0xF: i for i in group}
    got = {}

    def take(raw):
        answer = feedback(raw)
        if answer is not None:
            motor_id = by_nibble.get(answer[1] & 0xF)
            if motor_id is not None and motor_id not in got:
                got[motor_id] = (answer[0], answer[1] >> 4)

    probe.receive_waiting(sock, iface, _ignore)  # what came before is no answer
    for i in group:
        _send_disable(sock, iface, i, sent, take)
    probe.receive_until(sock, iface, time.monotonic() + timeout, take,
                        lambda: len(got) == len(group))
    return got


def stop(sock, iface, ids, timeout, rounds):
    """Disable the motors of `ids` on the bound socket.

    Returns ``({motor id: (identifier word, status)}, {motor id: disables})``:
    the last answer of every motor that answered and how many disables it
    was sent. When ids share their low four bits, all are first sent the
    disable at once and the answers to that are let pass; then each group is
    asked in turn.
    """
    sent = {}
    parts = groups(ids)
    if len(parts) > 1:
        for i in ids:
            _send_disable(sock, iface, i, sent, _ignore)
        probe.receive_until(sock, iface, time.monotonic() + timeout, _ignore, lambda: False)
    answers = {}
    pending = list(ids)
    for _ in range(rounds):
        got = {}
        for group in groups(pending):
            got.update(_disable_group(sock, iface, group, timeout, sent))
        answers.update(got)
        pending = [i for i in sorted(got) if got[i][1] not in STOPPED]
        if not pending:
            break
    return answers, {i: sent[i] for i in answers}


def _id_text(can_id):
    if can_id & CAN_EFF_FLAG:
        return "0x%08x" % (can_id & CAN_EFF_MASK)
    return "0x%03x" % (can_id & CAN_SFF_MASK)


def _rounds(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid number of rounds: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("at least one round, got %s" % text)
    return value


def build_parser():
    p = argparse.ArgumentParser(prog="rotalink-stop", description=_DESCRIPTION, epilog=_EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("iface", type=cli._iface, metavar="IFACE",
                   help="CAN interface, e.g. can0 or vcan0")
    p.add_argument("--ids", type=cli.parse_ids, default=cli.parse_ids("1-32"), metavar="IDS",
                   help="motor ids to disable: ranges and lists such as 1-32, 1,3,5-8 or "
                        "0x01-0x20 (default 1-32)")
    p.add_argument("--timeout-ms", type=cli._timeout_ms, default=100, metavar="N",
                   help="how long each group waits for its answers, in ms (default 100)")
    p.add_argument("--rounds", type=_rounds, default=3, metavar="N",
                   help="how often a motor that is not stopped is sent the disable (default 3)")
    return p


def main(argv=None):
    args = build_parser().parse_args(argv)
    result, status = cli.on_bus("rotalink-stop", args.iface, lambda sock: stop(
        sock, args.iface, args.ids, args.timeout_ms / 1000.0, args.rounds))
    if status is not None:
        return status
    answers, sent = result
    for motor_id in sorted(answers):
        can_id, status = answers[motor_id]
        print("motor 0x%03x  reply %s  %s" % (motor_id, _id_text(can_id), status_name(status)))
    sys.stdout.flush()
    if not answers:
        print("rotalink-stop: no motor answered on %s (%d motor ids, %d ms)"
              % (args.iface, len(args.ids), args.timeout_ms), file=sys.stderr)
        return 1
    running = [m for m in sorted(answers) if answers[m][1] not in STOPPED]
    for motor_id in running:
        print("rotalink-stop: motor 0x%03x still reports %s after %d disable%s"
              % (motor_id, status_name(answers[motor_id][1]), sent[motor_id],
                 "" if sent[motor_id] == 1 else "s"), file=sys.stderr)
    return 1 if running else 0


if __name__ == "__main__":
    sys.exit(main())
