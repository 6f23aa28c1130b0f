"""The bus side of the simulator: frame handling, reply faults and the SocketCAN loop.

``Simulator.handle_frame`` is pure with respect to the bus: it takes one
received frame and returns the frames to send, each with its delay, so every
protocol rule and every fault option can be exercised without a CAN socket.
``Simulator.serve_forever`` wraps it in a ``select`` loop on a raw CAN socket,
with a heap of pending sends so a delayed reply never holds up another motor
and the replies of one motor keep their order.
"""

import errno
import heapq
import math
import os
import select
import socket
import struct
import sys
import threading
import time
from collections import namedtuple

from .frames import (CAN_EFF_FLAG, CAN_EFF_MASK, CAN_ERR_FLAG, CAN_RTR_FLAG, CAN_SFF_MASK, CANFD_MTU,
                     pack_frame, unpack_frame)
from .model import (CMD_DISABLE, REFRESH_ID, REFRESH_OP, SAVE_ARG, SAVE_OP, Motor, special_command,
                    wire_length_ok)

__all__ = [
    "Simulator",
    "Tx",
    "CAN_EFF_FLAG",
    "CAN_RTR_FLAG",
    "CAN_ERR_FLAG",
    "REGISTER_ID",
    "FOREIGN_ID",
    "FOREIGN_DATA",
    "pack_frame",
    "unpack_frame",
    "format_frame",
]

SOL_CAN_RAW = 101
CAN_RAW_FD_FRAMES = getattr(socket, "CAN_RAW_FD_FRAMES", 5)

_U32 = struct.Struct("<I")

#: Identifier of register requests.
REGISTER_ID = 0x7FF
OP_READ = 0x33
OP_WRITE = 0x55

#: Preferred identifier of foreign frames (--foreign-first, --flood); the next
#: free identifier is taken if a motor uses it.
FOREIGN_ID = 0x7F0
#: Payload of foreign frames: decodes to a very different feedback, and byte 2
#: is no register operation, so a host that takes one as a reply is caught.
FOREIGN_DATA = b"\xee" * 8

LATE_REPLY_DELAY = 0.001  # s, gap between a reply and its --late-reply copy

Tx = namedtuple("Tx", "delay can_id data fd")
Tx.__doc__ = """A frame to send ``delay`` seconds after the frame that caused it.

``can_id`` is the raw identifier (CAN_EFF_FLAG set for an extended one),
``fd`` tells a CAN FD frame from a classic one."""


def format_frame(direction, can_id, data, fd=False):
    """One log line: ``rx 001 FFFFFFFFFFFFFFFC``.

    Standard identifiers have 3 hex digits, extended ones 8; the data are hex
    ("-" when empty); ``fd``, ``rtr`` and ``err`` are appended as they apply.
    """
    if can_id & CAN_EFF_FLAG:
        ident = "%08X" % (can_id & CAN_EFF_MASK)
    else:
        ident = "%03X" % (can_id & CAN_SFF_MASK)
    parts = [direction, ident, bytes(data).hex().upper() or "-"]
    if fd:
        parts.append("fd")
    if can_id & CAN_RTR_FLAG:
        parts.append("rtr")
    if can_id & CAN_ERR_FLAG:
        parts.append("err")
    return " ".join(parts)


def _opt_int(name, value, lo, hi=None):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int or None, got %r" % (name, value))
    if value < lo or (hi is not None and value > hi):
        raise ValueError("%s out of range: %d" % (name, value))
    return value


def _opt_float(name, value, lo):
    if value is None:
        return None
    value = float(value)
    if not (value >= lo and math.isfinite(value)):
        raise ValueError("%s must be a finite number >= %g, got %r" % (name, lo, value))
    return value


class Simulator:
    """Several simulated motors on one CAN interface.

    Fault options (all off by default):

    ``ignore_writes``     register writes are answered but not applied
    ``mode_high_bits``    reads of register 10 report ``mode | 0x100``
    ``answer_reads``      each motor answers only its first N register reads
    ``ignore_disables``   each motor answers its first N disable commands
                          (that it would take, see ``Motor.takes_special``)
                          with its feedback but stays as it is
    ``delay_ms``          every reply is sent this many ms late
    ``drop_every``        every Nth reply is dropped (1 drops all); replies of
                          all motors are counted together, a ``late_reply``
                          copy shares the fate of its original
    ``silent``            nothing is ever answered
    ``short_reply``       replies carry only their first N (0..7) data bytes
    ``wrong_id``          replies come from ``(master_id + 1) & 0x7FF``
    ``extended_reply``    replies carry an extended identifier of the same value
    ``fd_reply``          replies are CAN FD frames of the same 8 data bytes
                          (with ``short_reply``: the N bytes)
    ``foreign_first``     N frames from a foreign identifier precede each reply
    ``flood``             a thread sends foreign frames at this rate in Hz
                          (0: as fast as the socket takes them)
    ``late_reply``        every reply is sent again 1 ms later

    ``log`` is a path (appended to) or a text file; one line per frame
    received (``rx``) and per frame sent (``tx``, written just before the
    send; a send that then fails adds a ``txerr`` line). Flood frames are not
    logged.
    """

    def __init__(self, iface, motors, *, ignore_writes=False, mode_high_bits=False,
                 answer_reads=None, ignore_disables=0, delay_ms=0.0, drop_every=None,
                 silent=False,
                 short_reply=None, wrong_id=False, extended_reply=False, fd_reply=False,
                 foreign_first=0, flood=None, late_reply=False, log=None, flash=None):
        self.iface = iface
        self.motors = list(motors)
        if not self.motors:
            raise ValueError("a simulator needs at least one motor")
        if flash is not None and len(self.motors) != 1:
            raise ValueError("a flash file belongs to one motor, and this simulator has %d"
                             % len(self.motors))
        self.flash = flash
        self.saves = 0  # saves written to the flash file
        seen = {}
        for m in self.motors:
            if not isinstance(m, Motor):
                raise TypeError("motors must be Motor objects, got %r" % (m,))
            if m.motor_id in seen:
                raise ValueError("two motors with motor_id 0x%x" % m.motor_id)
            seen[m.motor_id] = m
        self._by_motor_id = seen
        self._by_command_id = {}  # identifier: [(motor, mode of the frames it takes there)]
        for m in self.motors:
            for ident, mode in m.command_ids().items():
                self._by_command_id.setdefault(ident, []).append((m, mode))

        self.ignore_writes = bool(ignore_writes)
        self.mode_high_bits = bool(mode_high_bits)
        self.answer_reads = _opt_int("answer_reads", answer_reads, 0)
        self.ignore_disables = _opt_int("ignore_disables", ignore_disables, 0) or 0
        self._disables_ignored = {}  # motor_id: disable commands ignored so far
        self.delay_ms = _opt_float("delay_ms", delay_ms, 0.0) or 0.0
        self.drop_every = _opt_int("drop_every", drop_every or None, 1)
        self.silent = bool(silent)
        self.short_reply = _opt_int("short_reply", short_reply, 0, 7)
        self.wrong_id = bool(wrong_id)
        self.extended_reply = bool(extended_reply)
        self.fd_reply = bool(fd_reply)
        self.foreign_first = _opt_int("foreign_first", foreign_first, 0) or 0
        self.flood = _opt_float("flood", flood, 0.0)
        self.late_reply = bool(late_reply)

        used = set()
        for m in self.motors:
            used.update(m.command_ids())
            used.update((m.reply_id, (m.master_id + 1) & 0x7FF))
        free = [i for i in range(FOREIGN_ID, REGISTER_ID) if i not in used]
        self.foreign_id = free[0] if free else 0x7FE

        self.replies = 0  # replies produced (before drop-every), for drop-every

        self._log_owned = False
        if isinstance(log, (str, bytes, os.PathLike)):
            self._log = open(log, "a", encoding="ascii")
            self._log_owned = True
        else:
            self._log = log

        self._stop = threading.Event()
        self._wake_r = self._wake_w = None
        self._sock = None
        self._heap = []
        self._seq = 0
        self._warned = set()

    # pure frame handling ----------------------------------------------------

    def handle_frame(self, can_id, data, fd=False, now=None):
        """Handle one received frame; return the list of ``Tx`` to send.

        Data frames with a standard identifier are part of the motor
        protocol, classic and CAN FD alike (``fd`` changes nothing); every
        other frame is ignored. On identifier 0x7FF a frame of 8 bytes whose
        byte 2 is 0x33 (read) or 0x55 (write) is a register request, one
        whose byte 2 is 0xCC a refresh of the motors whose command identifier
        bytes 0-1 hold, one with AA 01 in bytes 2-3 their save to the flash
        file (unanswered; ignored without one); any other is a command to the motors that take
        commands on 0x7FF. A command goes to every motor that takes commands
        on its identifier, in the kind that identifier tells (see
        ``rotalink_sim.model.WIRE``), if its length fits that kind (8 bytes;
        4 to 8 for VEL). ``now`` is the monotonic receive time (default:
        now).
        """
        if now is None:
            now = time.monotonic()
        data = bytes(data)
        if can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG):
            return []
        ident = can_id & CAN_SFF_MASK
        if ident == REGISTER_ID and len(data) == 8 and data[2] in (OP_READ, OP_WRITE):
            return self._handle_register(data, now)
        out = []
        if ident == REFRESH_ID and len(data) == 8 and data[2] == REFRESH_OP:
            addressed = data[0] | (data[1] << 8)
            for m in self.motors:
                if m.command_id == addressed:
                    out.extend(self._reply(m, m.refresh(now)))
            return out
        if ident == REFRESH_ID and len(data) == 8 and data[2:4] == bytes((SAVE_OP, SAVE_ARG)):
            addressed = data[0] | (data[1] << 8)
            for m in self.motors:
                if m.command_id == addressed and self.flash is not None:
                    try:
                        saved = m.save(self.flash)
                    except OSError as exc:
                        print("rotalink-sim: cannot write flash file %s: %s" % (self.flash, exc),
                              file=sys.stderr, flush=True)
                        continue
                    if saved:
                        self.saves += 1
                    else:
                        print("rotalink-sim: save to flash refused: motor 0x%x is enabled"
                              % m.motor_id, file=sys.stderr, flush=True)
            return out  # a save is not answered
        for m, mode in self._by_command_id.get(ident, ()):
            if not wire_length_ok(mode, len(data)):
                continue
            if (special_command(data) == CMD_DISABLE and m.takes_special(mode)
                    and self._ignore_disable(m)):
                out.extend(self._reply(m, m.refresh(now)))  # heard, but not obeyed
            else:
                out.extend(self._reply(m, m.handle_command(data, now, mode)))
        return out

    def _ignore_disable(self, motor):
        ignored = self._disables_ignored.get(motor.motor_id, 0)
        if ignored >= self.ignore_disables:
            return False
        self._disables_ignored[motor.motor_id] = ignored + 1
        return True

    def _handle_register(self, data, now):
        m = self._by_motor_id.get(data[0] | (data[1] << 8))
        if m is None:
            return []
        op, number = data[2], data[3]
        word = m.register_word(number)
        if word is None:
            return []  # a register outside the map is not answered
        if op == OP_READ:
            if self.answer_reads is not None and m.reads_answered >= self.answer_reads:
                return []
            m.reads_answered += 1
            if number == 10 and self.mode_high_bits:
                word |= 0x100
            return self._reply(m, m.register_payload(OP_READ, number, word))
        if not self.ignore_writes:
            m.advance(now)
            m.write_register(number, _U32.unpack(data[4:8])[0])
        # The write reply carries the word the register holds afterwards.
        return self._reply(m, m.register_payload(OP_WRITE, number, m.register_word(number)))

    def _reply(self, motor, data):
        if self.silent:
            return []
        self.replies += 1
        if self.drop_every and self.replies % self.drop_every == 0:
            return []
        if self.short_reply is not None:
            data = data[:self.short_reply]
        ident = ((motor.master_id + 1) & 0x7FF) if self.wrong_id else motor.reply_id
        can_id = ident | CAN_EFF_FLAG if self.extended_reply else ident
        delays = [self.delay_ms / 1000.0]
        if self.late_reply:
            delays.append(delays[0] + LATE_REPLY_DELAY)
        out = []
        for delay in delays:
            out.extend([Tx(delay, self.foreign_id, FOREIGN_DATA, False)] * self.foreign_first)
            out.append(Tx(delay, can_id, data, self.fd_reply))
        return out

    # bus loop ---------------------------------------------------------------

    def stop(self):
        """Ask ``serve_forever`` to return; safe from other threads and signal handlers."""
        self._stop.set()
        w = self._wake_w
        if w is not None:
            try:
                os.write(w, b"x")
            except OSError:
                pass

    def _warn(self, key, text):
        if key not in self._warned:
            self._warned.add(key)
            print("rotalink-sim: " + text, file=sys.stderr, flush=True)

    def _log_line(self, direction, can_id, data, fd):
        if self._log is not None:
            self._log.write(format_frame(direction, can_id, data, fd) + "\n")
            self._log.flush()

    def open(self, sock=None):
        """Open and bind the raw CAN socket (done by ``serve_forever`` if needed).

        ``sock`` hands over an already open socket instead: a bound raw CAN
        socket, or any datagram socket that carries one ``struct can_frame`` or
        ``struct canfd_frame`` per message (the simulator takes ownership).
        """
        if self._sock is not None:
            return
        if sock is not None:
            self._sock = sock
            return
        if self.iface is None:
            raise ValueError("no CAN interface given")
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            try:
                sock.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)
            except OSError as exc:
                if self.fd_reply:
                    raise
                self._warn("fdopt", "CAN FD frames unavailable: %s" % exc)
            sock.bind((self.iface,))
        except BaseException:
            sock.close()
            raise
        self._sock = sock

    def _send(self, can_id, data, fd):
        frame = pack_frame(can_id, data, fd)
        deadline = time.monotonic() + 0.02
        while True:
            try:
                self._sock.send(frame, socket.MSG_DONTWAIT)
                return True
            except (BlockingIOError, InterruptedError):
                pass
            except OSError as exc:
                if exc.errno != errno.ENOBUFS:
                    self._warn(("send", exc.errno), "send failed: %s" % exc)
                    return False
            if time.monotonic() >= deadline:
                self._warn("busy", "transmit queue full, frames dropped")
                return False
            time.sleep(0.0002)

    def _schedule(self, now, txs):
        for tx in txs:
            self._seq += 1
            heapq.heappush(self._heap, (now + tx.delay, self._seq, tx))

    def _flush_due(self):
        now = time.monotonic()
        while self._heap and self._heap[0][0] <= now:
            _, _, tx = heapq.heappop(self._heap)
            # Logged before it goes out, so whoever receives the frame finds it logged.
            self._log_line("tx", tx.can_id, tx.data, tx.fd)
            if not self._send(tx.can_id, tx.data, tx.fd):
                self._log_line("txerr", tx.can_id, tx.data, tx.fd)

    def _flood_loop(self):
        frame = pack_frame(self.foreign_id, FOREIGN_DATA)
        period = 1.0 / self.flood if self.flood else 0.0
        next_t = time.monotonic()
        stop = self._stop
        while not stop.is_set():
            try:
                self._sock.send(frame, socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                stop.wait(0.0002)
                continue
            except OSError as exc:
                if exc.errno == errno.ENOBUFS:
                    stop.wait(0.0002)
                    continue
                self._warn(("flood", exc.errno), "flood send failed: %s" % exc)
                stop.wait(0.01)
                continue
            if period:
                next_t += period
                wait = next_t - time.monotonic()
                if wait > 0:
                    stop.wait(wait)
                elif wait < -0.1:
                    next_t = time.monotonic()  # fell behind: do not burst to catch up

    def serve_forever(self, ready=None, exit_after=None):
        """Serve the bus until ``stop()`` or until ``exit_after`` seconds have passed.

        ``ready`` is called once the socket is bound and the simulator listens;
        the motors' timed faults are armed just before.
        A ``stop()`` that comes before the call makes it return at once.
        Replies still pending when it returns are discarded.
        """
        self.open()
        sock = self._sock
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        flood = None
        old_interval = sys.getswitchinterval()
        try:
            if self.flood is not None:
                # Keep the reply path responsive while the flood thread runs.
                sys.setswitchinterval(min(old_interval, 0.0005))
                flood = threading.Thread(target=self._flood_loop, name="rotalink-sim-flood",
                                         daemon=True)
                flood.start()
            now = time.monotonic()
            end = None if exit_after is None else now + float(exit_after)
            for m in self.motors:
                m.arm_faults(now)  # timed faults count from now on
            if ready is not None:
                ready()
            while not self._stop.is_set():
                self._flush_due()
                now = time.monotonic()
                timeout = None
                if self._heap:
                    timeout = max(0.0, self._heap[0][0] - now)
                if end is not None:
                    if now >= end:
                        break
                    timeout = end - now if timeout is None else min(timeout, end - now)
                readable, _, _ = select.select([sock, self._wake_r], [], [], timeout)
                if self._wake_r in readable:
                    try:
                        while os.read(self._wake_r, 512):
                            pass
                    except OSError:
                        pass
                if sock in readable:
                    self._receive_all()
        finally:
            self._stop.set()
            if flood is not None:
                flood.join(2.0)
                sys.setswitchinterval(old_interval)
            os.close(self._wake_r)
            os.close(self._wake_w)
            self._wake_r = self._wake_w = None
            self._sock = None
            sock.close()
            self._heap.clear()
            if self._log is not None:
                self._log.flush()
            self._stop.clear()

    def close(self):
        """Close the log file if the simulator opened it."""
        if self._log_owned and self._log is not None:
            self._log.close()
        self._log = None
        self._log_owned = False

    def _receive_all(self):
        while True:
            try:
                raw = self._sock.recv(CANFD_MTU, socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as exc:
                self._warn(("recv", exc.errno), "receive failed: %s" % exc)
                return
            now = time.monotonic()
            frame = unpack_frame(raw)
            if frame is None:
                continue
            can_id, data, fd = frame
            self._log_line("rx", can_id, data, fd)
            self._schedule(now, self.handle_frame(can_id, data, fd, now))
            self._flush_due()
