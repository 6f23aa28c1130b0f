"""Register reads of many motors at once, on a raw CAN socket.

The driver's calls wait for one reply at a time; here every read request goes
out first and the replies are collected until one deadline, so a bus where
nobody answers costs one time-out, not one per motor.

A read request goes to standard identifier 0x7FF with data [id lo, id hi,
0x33, register, 0, 0, 0, 0]; the motor answers from its reply identifier with
[id lo, id hi, 0x33, register, value LE], bytes 0 and 1 carrying its command
identifier. Only reads are ever sent from here.

A reply is told from other frames by the module's own rule, the one its
driver uses (`rotalink.register_reply`): a data frame of 8 bytes, classic or
CAN FD (motors set up to answer in FD frames), from any
identifier but 0x7FF (there the same bytes are another host's read
request), with 0x33 in byte 2; a write's echo (0x55) is no reply. Bytes 0-1 and 3 name the motor
and the register the reply answers. The driver's feedback is every other
frame from the reply identifier, so the one feedback that reads as a reply is
the same for both: raw position 0x0033 from a motor whose byte 0 (status over
id nibble) equals its command identifier, such as a disabled motor with a
command identifier below 0x10.
"""

import errno
import select
import socket
import time

import rotalink

from .frames import CAN_MTU, CANFD_MTU, pack_frame, unpack_frame

__all__ = ["REGISTER_ID", "OP_READ", "OP_WRITE", "ScanError", "Replies", "open_bus",
           "read_request", "read_registers", "receive_waiting", "receive_until", "send_frame"]

#: Where register requests go, and byte 2 of a read and of a write.
REGISTER_ID = rotalink.REGISTER_ID
OP_READ = rotalink.REGISTER_READ_OP
OP_WRITE = rotalink.REGISTER_WRITE_OP

_SOL_CAN_RAW = getattr(socket, "SOL_CAN_RAW", 101)
_CAN_RAW_FD_FRAMES = getattr(socket, "CAN_RAW_FD_FRAMES", 5)
_RCVBUF = 1 << 20  # asked for; the kernel caps it at net.core.rmem_max
_SEND_PATIENCE = 1.0  # s a full transmit queue may hold the requests up
_SEND_PAUSE = 0.001  # s between sends into a full transmit queue


class ScanError(Exception):
    """A failure of the bus itself, told in one line."""


def open_bus(iface):
    """A non-blocking raw CAN socket bound to `iface`; ScanError if there is none."""
    if not hasattr(socket, "AF_CAN"):
        raise ScanError("this Python has no SocketCAN support (no socket.AF_CAN)")
    try:
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    except OSError as exc:
        raise ScanError("this kernel offers no CAN sockets: %s" % (exc.strerror or exc)) from None
    try:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, _RCVBUF)
        except OSError:
            pass  # the default buffer will do for a few motors
        try:
            sock.setsockopt(_SOL_CAN_RAW, _CAN_RAW_FD_FRAMES, 1)
        except OSError:
            pass  # a kernel without CAN FD: classic replies only
        sock.bind((iface,))
        sock.setblocking(False)
    except (OSError, ValueError) as exc:
        sock.close()
        reason = getattr(exc, "strerror", None) or str(exc)
        raise ScanError("cannot open CAN interface %r: %s" % (iface, reason)) from None
    return sock


def read_request(motor_id, register):
    """The data of a read request for `register` of the motor `motor_id`."""
    return bytes(rotalink.read_register_frame(motor_id, register)[1])


def receive_waiting(sock, iface, take):
    """Pass every record waiting on the socket (a CAN or CAN FD frame) to `take`."""
    while True:
        try:
            raw = sock.recv(CANFD_MTU)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as exc:
            raise ScanError("cannot read from %s: %s" % (iface, exc.strerror or exc)) from None
        if len(raw) in (CAN_MTU, CANFD_MTU):
            take(raw)


def receive_until(sock, iface, deadline, take, done):
    """Pass the records that come to `take` until the monotonic `deadline`
    or until `done()` is true."""
    while not done():
        left = deadline - time.monotonic()
        if left <= 0:
            return
        select.select([sock], [], [], left)
        receive_waiting(sock, iface, take)


def send_frame(sock, iface, frame, take):
    """Send one record. A full transmit queue is waited for (up to a second),
    the records that come meanwhile going to `take`."""
    waited_since = None
    while True:
        try:
            sock.send(frame)
            return
        except (BlockingIOError, InterruptedError):
            pass
        except OSError as exc:
            if exc.errno != errno.ENOBUFS:
                raise ScanError("cannot send on %s: %s" % (iface, exc.strerror or exc)) from None
        # A full transmit queue: wait for it to drain, reading meanwhile.
        now = time.monotonic()
        if waited_since is None:
            waited_since = now
        elif now - waited_since > _SEND_PATIENCE:
            raise ScanError("the transmit queue of %s stays full: is the bus up, with another "
                            "node to acknowledge frames?" % iface)
        receive_waiting(sock, iface, take)
        time.sleep(_SEND_PAUSE)


class Replies(dict):
    """{(motor id, register): [(reply CAN id, 4 value bytes), ...]}, the
    distinct answers to each request in the order they came, and `counts`:
    {(motor id, register): how many replies came}, identical ones included
    (two motors set up alike answer alike)."""

    def __init__(self):
        super().__init__()
        self.counts = {}

    def most(self):
        """The most replies any one request had (0 for none)."""
        return max(self.counts.values(), default=0)


def read_registers(sock, iface, requests, timeout, until_all=True):
    """Send a read request for every (motor id, register) of `requests`, then
    collect replies until `timeout` seconds after the last request went out.

    Returns the Replies: {(motor id, register): [(reply CAN id, 4 value
    bytes), ...]}, the CAN id being the record's identifier word
    (CAN_EFF_FLAG set for an extended one), the distinct answers to each
    request in the order they came, and how many came; a request nobody
    answered is absent. With `until_all` the collection ends as soon as every
    request has an answer (a second motor answering as the same one may then
    go unseen: count replies over the whole time-out)."""
    wanted = set(requests)
    replies = Replies()

    def take(raw):
        reply = rotalink.register_reply(raw)
        if reply is None:
            return
        motor_id, register, value = reply
        key = (motor_id, register)
        if key in wanted:
            answer = (unpack_frame(raw)[0], value)
            replies.counts[key] = replies.counts.get(key, 0) + 1
            seen = replies.setdefault(key, [])
            if answer not in seen:
                seen.append(answer)

    for motor_id, register in requests:
        send_frame(sock, iface, pack_frame(*rotalink.read_register_frame(motor_id, register)),
                   take)
        receive_waiting(sock, iface, take)
    receive_until(sock, iface, time.monotonic() + timeout, take,
                  lambda: until_all and len(replies) == len(wanted))
    return replies
