"""Emergency stop: disable every motor on a CAN interface (``rotalink-stop``).

Every motor id is sent the disable command on its command identifier and its
feedback is read from a raw CAN socket of this tool's own (the scanner's, see
``probe``); the master identifier is not known, so feedback counts from any
identifier. The feedback carries only the low four bits of the motor id
(byte 0, under the status), so ids that share them are asked one group after
another; once a motor has answered from an identifier, feedback from there is
that motor's alone. A motor that answers with a status that may still drive
(anything but disabled or a latched fault), or does not answer, has its
control mode read: older firmware in a non-MIT mode takes the special
commands only on its mode's identifier, so such a motor is sent the disable
there too. Then the motors not stopped are sent the disable again, for a few
rounds. With ``--clear``, the stopped motors are then sent clear-error.

Every frame, status and register comes from the ``rotalink`` module.
"""

import argparse
import sys
import time

import rotalink

from . import cli, probe
from .frames import (CAN_EFF_FLAG, CAN_ERR_FLAG, CAN_RTR_FLAG, CAN_SFF_MASK, id_text,
                     pack_frame, unpack_frame)

__all__ = ["DISABLE", "STATUS_NAMES", "STOPPED", "status_name", "feedback", "groups",
           "Attribution", "stop", "clear_errors", "build_parser", "main"]

#: The disable command's data, sent to the motor's command identifier.
DISABLE = bytes(rotalink.disable_frame(0)[1])

#: The data of every special command (enable, disable, zero, clear-error):
#: another host's command on a motor's identifier, never feedback.
_SPECIALS = frozenset(bytes(make(0)[1]) for make in (
    rotalink.enable_frame, rotalink.disable_frame, rotalink.set_zero_frame,
    rotalink.clear_error_frame))

#: Names of the status codes a motor's feedback carries (byte 0, high four bits).
STATUS_NAMES = {int(s): s.name for s in rotalink.Status}

#: Statuses of a motor that applies no torque: disabled, or a latched fault,
#: which holds the drive off until a clear-error command.
STOPPED = frozenset(int(s) for s in rotalink.Status if s != rotalink.Status.ENABLED)

#: The modes whose commands go to an identifier of their own: there older
#: firmware takes the special commands too, and only there.
_MODE_IDS = {int(m): m for m in rotalink.ControlMode if m.id_offset}
_CTRL_MODE = int(rotalink.Register.CTRL_MODE)
_DISABLED = int(rotalink.Status.DISABLED)

_DESCRIPTION = """\
Emergency stop: disable every Damiao motor on a CAN interface.

Every motor id of --ids is sent the disable command (FF FF FF FF FF FF FF FD
on standard identifier ID & 0x7FF) and its feedback is read: an 8-byte frame,
from any identifier but 0x7FF, whose byte 0 carries the id's low four bits
(and the motor's status in its high four bits); register replies and write
echoes (33 or 55 in byte 2) and commands are not feedback. As the feedback
tells only those four bits, ids that share them are asked one group after
another, after all of them have been sent the disable at once; once a motor
has answered from an identifier, what comes from there is its feedback only.

After the first round (of two or more), the control mode (register 10,
CTRL_MODE) of every id that did not answer DISABLED or a fault is read, all
at once: older firmware in a non-MIT mode takes the disable only on its
mode's identifier (ID + 0x100 POS_VEL, + 0x200 VEL, + 0x300 FORCE_POS), so a
motor read in such a mode is sent the disable there too, after the one on
its own identifier. A motor that answers with any other status than DISABLED or a fault (or
answered only the read of its mode) is sent the disable again, for up to
--rounds rounds, each round waiting --timeout-ms for the answers.

With --clear, every motor then stopped is sent clear-error (FF FF FF FF FF FF
FF FB) on its own identifier, and on its mode's identifier too when its mode
reads as non-MIT and it did not take the first; its status after that is
shown."""

_EPILOG = """\
One line per motor that answered: its id, the identifier it answered from and
its last status: DISABLED (0), ENABLED (1), OVERVOLTAGE (8), UNDERVOLTAGE (9),
OVERCURRENT (10), MOS_OVERTEMP (11), COIL_OVERTEMP (12), COMM_LOST (13),
OVERLOAD (14), any other code as its number. A motor that reports a fault
(8..14) counts as stopped: a latched fault holds the drive off, with no
torque, until a clear-error command, which this tool sends only with
--clear; the line then ends with the status after it. A motor that answers neither the disable nor the read of its
mode is not listed and not asked again.

exit status: 0 when a motor answered and every motor that answered reports
DISABLED or a fault (with --clear: DISABLED after the clear-error); 1 when
none answered, when one still reports another status after the last round,
with --clear when one still reports a fault after it or does not answer it,
or when the bus cannot be used; 2 for a wrong command line. A motor not
stopped is named on standard error with the disables it was sent, e.g.
"rotalink-stop: motor 0x002 still reports ENABLED after 3 disables" (the
disable sent to all at once and those on a mode's identifier count too).

examples:
  rotalink-stop can0
  rotalink-stop can0 --ids 1,3,5-8 --timeout-ms 200

  motor 0x001  reply 0x011  DISABLED
  motor 0x003  reply 0x013  OVERLOAD

  rotalink-stop can0 --clear

  motor 0x001  reply 0x011  DISABLED  after clear-error: DISABLED
  motor 0x003  reply 0x013  OVERLOAD  after clear-error: DISABLED"""


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
    if bytes(data) in _SPECIALS:
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


class Attribution:
    """The feedback of one group of motor ids, told apart by the low four
    bits of byte 0, with what earlier answers taught.

    `learned` ({(identifier word, four bits): motor id}, shared by every
    group and round of a stop) holds the identifier each motor answered
    from: feedback from there with that motor's four bits is that motor's,
    taken when the motor is in this group and ignored otherwise, never
    another motor's; and a motor that answered from one identifier is not
    taken to answer from another. Motors may share a reply identifier (fresh
    motors all answer from 0x000): their four bits tell them apart. A frame
    from the standard identifier equal to the motor id its four bits point
    at is a reply identifier, not that motor (motor 0x001 answering from
    0x011 while 0x011 is asked). `got` is {motor id: (identifier word,
    status)}, each motor's first answer."""

    def __init__(self, group, learned):
        self.by_nibble = {i & 0xF: i for i in group}
        self.learned = learned
        self.got = {}

    def take(self, raw):
        answer = feedback(raw)
        if answer is None:
            return
        can_id, byte0 = answer
        key = (can_id, byte0 & 0xF)
        owner = self.learned.get(key)
        if owner is None:
            motor_id = self.by_nibble.get(byte0 & 0xF)
            if motor_id is None or can_id == motor_id or motor_id in self.learned.values():
                return
            self.learned[key] = motor_id
        elif owner not in self.by_nibble.values():
            return  # a late answer of a motor of another group
        else:
            motor_id = owner
        if motor_id not in self.got:
            self.got[motor_id] = (can_id, byte0 >> 4)


def _ignore(_raw):
    pass


def _send(sock, iface, frame, motor_id, sent, on_frame):
    """Send `frame` ((identifier, data) from the module) to `motor_id`,
    counted in `sent` when that is given."""
    probe.send_frame(sock, iface, pack_frame(*frame), on_frame)
    if sent is not None:
        sent[motor_id] = sent.get(motor_id, 0) + 1


def _ask_group(sock, iface, group, make, timeout, learned, sent=None):
    """Send ``make(motor id)`` to every id of one group; {motor id:
    (identifier word, status)} of those that answered within `timeout` of
    the last send."""
    heard = Attribution(group, learned)
    probe.receive_waiting(sock, iface, _ignore)  # what came before is no answer
    for i in group:
        _send(sock, iface, make(i), i, sent, heard.take)
    probe.receive_until(sock, iface, time.monotonic() + timeout, heard.take,
                        lambda: len(heard.got) == len(group))
    return heard.got


def _ask(sock, iface, ids, make, timeout, learned, sent=None):
    """`_ask_group` for `ids`, one group after another."""
    got = {}
    for group in groups(ids):
        got.update(_ask_group(sock, iface, group, make, timeout, learned, sent))
    return got


def _read_modes(sock, iface, ids, timeout, learned):
    """{motor id: control mode} of the ids that answer a read of CTRL_MODE,
    all read at once; the identifiers they answer from are learned."""
    replies = probe.read_registers(sock, iface, [(i, _CTRL_MODE) for i in ids], timeout)
    modes = {}
    for (motor_id, _), answers in replies.items():
        can_id, value = answers[0]
        key = (can_id, motor_id & 0xF)
        if learned.get(key, motor_id) == motor_id:
            learned[key] = motor_id
            modes[motor_id] = int.from_bytes(value, "little")
    return modes


def mode_of_its_own(motor_id, mode):
    """The ControlMode `mode` (a CTRL_MODE value) when it has an identifier
    of its own for `motor_id`, below 0x7FF (a motor id near the top has none
    for some modes); else None."""
    m = _MODE_IDS.get(mode)
    if m is None or (motor_id & CAN_SFF_MASK) + m.id_offset >= probe.REGISTER_ID:
        return None
    return m


def _mode_ids(ids, modes):
    """The ids of `ids` read in a mode with an identifier of its own."""
    return [i for i in ids if mode_of_its_own(i, modes.get(i)) is not None]


def _mode_frame(make, modes):
    return lambda i: make(i, _MODE_IDS[modes[i]])


def stop(sock, iface, ids, timeout, rounds, modes=None, learned=None):
    """Disable the motors of `ids` on the bound socket.

    Returns ``({motor id: (identifier word, status)}, {motor id: disables})``:
    the last answer of every motor that answered and how many disables it
    was sent. When ids share their low four bits, all are first sent the
    disable at once and the answers to that are let pass; then each group is
    asked in turn. After the first round the control modes of the ids not
    stopped are read (into `modes`, when given), and those in a mode with an
    identifier of its own are sent the disable there before the next round.
    `learned` ({(identifier word, four bits): motor id}, when given) keeps the reply
    identifiers learned (see Attribution).
    """
    sent = {}
    learned = {} if learned is None else learned
    modes = {} if modes is None else modes
    if len(groups(ids)) > 1:
        for i in ids:
            _send(sock, iface, rotalink.disable_frame(i), i, sent, _ignore)
        probe.receive_until(sock, iface, time.monotonic() + timeout, _ignore, lambda: False)
    answers = {}
    pending = list(ids)
    for n in range(rounds):
        got = _ask(sock, iface, pending, rotalink.disable_frame, timeout, learned, sent)
        answers.update(got)
        pending = [i for i in pending if i not in got or got[i][1] not in STOPPED]
        if n == 0 and pending and rounds > 1:
            modes.update(_read_modes(sock, iface, pending, timeout, learned))
        # Still running, or present though silent to the disable.
        pending = [i for i in pending if i in answers or i in modes]
        legacy = _mode_ids(pending, modes)
        if legacy and n + 1 < rounds:
            got = _ask(sock, iface, legacy, _mode_frame(rotalink.disable_frame, modes), timeout,
                       learned, sent)
            answers.update(got)
            pending = [i for i in pending if i not in got or got[i][1] not in STOPPED]
        if not pending:
            break
    return answers, {i: sent[i] for i in answers}


def clear_errors(sock, iface, ids, timeout, modes, learned=None):
    """Send clear-error to `ids` on their own identifiers, then, to those
    that do not answer DISABLED and whose mode (from `modes`, else read)
    has an identifier of its own, on that one too. {motor id: (identifier
    word, status)} of the last answers."""
    learned = {} if learned is None else learned
    after = _ask(sock, iface, ids, rotalink.clear_error_frame, timeout, learned)
    untaken = [i for i in ids if after.get(i, (None, None))[1] != _DISABLED]
    unknown = [i for i in untaken if i not in modes]
    if unknown:
        modes.update(_read_modes(sock, iface, unknown, timeout, learned))
    legacy = _mode_ids(untaken, modes)
    if legacy:
        after.update(_ask(sock, iface, legacy, _mode_frame(rotalink.clear_error_frame, modes),
                          timeout, learned))
    return after


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
    p.add_argument("--clear", action="store_true",
                   help="after the disable, send clear-error to every motor stopped (on its "
                        "mode's identifier too for older firmware in a non-MIT mode that did not "
                        "take it) and show its status after it")
    return p


def _plural(n, word):
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


def main(argv=None):
    args = build_parser().parse_args(argv)
    timeout = args.timeout_ms / 1000.0
    modes, learned = {}, {}

    def work(sock):
        answers, sent = stop(sock, args.iface, args.ids, timeout, args.rounds, modes, learned)
        stopped = [m for m in sorted(answers) if answers[m][1] in STOPPED]
        cleared = (clear_errors(sock, args.iface, stopped, timeout, modes, learned)
                   if args.clear and stopped else {})
        return answers, sent, stopped if args.clear else [], cleared

    result, status = cli.on_bus("rotalink-stop", args.iface, work)
    if status is not None:
        return status
    answers, sent, stopped, cleared = result
    for motor_id in sorted(answers):
        can_id, status = answers[motor_id]
        line = "motor 0x%03x  reply %s  %s" % (motor_id, id_text(can_id), status_name(status))
        if motor_id in stopped:
            after = cleared.get(motor_id)
            line += "  after clear-error: %s" % ("no answer" if after is None
                                                 else status_name(after[1]))
        print(line)
    sys.stdout.flush()
    if not answers:
        print("rotalink-stop: no motor answered on %s (%d motor ids, %d ms)"
              % (args.iface, len(args.ids), args.timeout_ms), file=sys.stderr)
        return 1
    failed = False
    for motor_id in sorted(answers):
        code = answers[motor_id][1]
        if code not in STOPPED:
            failed = True
            print("rotalink-stop: motor 0x%03x still reports %s after %s"
                  % (motor_id, status_name(code), _plural(sent[motor_id], "disable")),
                  file=sys.stderr)
        elif motor_id in stopped:
            after = cleared.get(motor_id)
            if after is None:
                failed = True
                print("rotalink-stop: motor 0x%03x did not answer clear-error" % motor_id,
                      file=sys.stderr)
            elif after[1] != _DISABLED:
                failed = True
                print("rotalink-stop: motor 0x%03x still reports %s after clear-error"
                      % (motor_id, status_name(after[1])), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
