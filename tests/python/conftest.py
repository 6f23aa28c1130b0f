"""Fixtures for tests that need a CAN socket (a kernel with vcan).

Tests marked `bus` need AF_CAN and the interface named by ROTALINK_TEST_IFACE
(default vcan0). Where that is missing they are skipped, unless
ROTALINK_REQUIRE_CAN=1, in which case they fail: the VM run sets it so that
the bus tests cannot silently not run.
"""
import os
import re
import socket
import struct
import time
from pathlib import Path

import pytest
from rotalink_sim.frames import CAN_FRAME, CANFD_FRAME, pack_frame

IFACE = os.environ.get("ROTALINK_TEST_IFACE", "vcan0")
IFACE2 = os.environ.get("ROTALINK_TEST_IFACE2", "vcan1")
REQUIRE_CAN = os.environ.get("ROTALINK_REQUIRE_CAN") == "1"

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)

REPO = Path(__file__).resolve().parents[2]


def _refusals(path=REPO / "tests" / "refusals.tsv"):
    """{key: message} of the refusals the module and the C++ library share."""
    rows = (line.split("\t", 1) for line in path.read_text(encoding="utf-8").splitlines()
            if line and not line.startswith("#"))
    return {key: message for key, message in rows}


REFUSALS = _refusals()


def doc_presets(path=REPO / "docs" / "API.md"):
    """The model presets as a document's table gives them, in its order:
    [(name, p_max, v_max, kp_max, kd_max, t_max)], the numbers as written."""
    row = re.compile(r"^\| `(?:MitLimits\.)?(\w+)\(\)` \|((?: [\d.]+ \|){5})$", re.M)
    return [(name, *(float(v) for v in values.split("|")[:-1]))
            for name, values in row.findall(path.read_text(encoding="utf-8"))]


def module_presets():
    """{name: MitLimits} of every model preset of the installed module (the
    static methods of MitLimits), in its order."""
    import rotalink
    return {name: getattr(rotalink.MitLimits, name)()
            for name, value in vars(rotalink.MitLimits).items() if isinstance(value, staticmethod)}


def pytest_configure(config):
    config.addinivalue_line("markers", "bus: needs a CAN socket on a vcan interface")


def _can_problem(iface):
    if not hasattr(socket, "AF_CAN"):
        return "this Python has no socket.AF_CAN"
    try:
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    except OSError as e:
        return f"no AF_CAN in this kernel ({e})"
    try:
        s.bind((iface,))
    except OSError as e:
        return f"cannot bind a CAN socket to {iface} ({e})"
    finally:
        s.close()
    return None


def _require(iface):
    problem = _can_problem(iface)
    if problem is not None:
        if REQUIRE_CAN:
            pytest.fail(f"bus tests must run here: {problem}")
        pytest.skip(problem)
    return iface


@pytest.fixture(scope="session")
def can_iface():
    return _require(IFACE)


@pytest.fixture(scope="session")
def can_iface2():
    return _require(IFACE2)


class Sniffer:
    """A second raw socket on the interface: sees every frame sent on it."""

    def __init__(self, iface):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind((iface,))

    def close(self):
        self.sock.close()

    def drain(self):
        self.sock.setblocking(False)
        try:
            while True:
                self.sock.recv(72)
        except BlockingIOError:
            pass
        finally:
            self.sock.setblocking(True)

    def frames(self, wait=0.2):
        """All frames received within `wait` seconds of quiet, as tuples
        (raw can_id, data bytes, fd, flags)."""
        out = []
        self.sock.settimeout(wait)
        try:
            while True:
                out.append(self._decode(self.sock.recv(72)))
        except socket.timeout:
            pass
        return out

    def timed_frames(self, wait=0.2):
        """As `frames`, each paired with the kernel's receive time stamp
        (seconds, CLOCK_REALTIME) of the frame on this socket."""
        out = []
        self.sock.settimeout(wait)
        try:
            while True:
                raw, anc, _flags, _addr = self.sock.recvmsg(72, 64)
                stamp = time.time()
                for level, kind, value in anc:
                    if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                        sec, nsec = struct.unpack("=qq", value[:16])
                        stamp = sec + nsec * 1e-9
                out.append((self._decode(raw), stamp))
        except socket.timeout:
            pass
        return out

    @staticmethod
    def _decode(raw):
        if len(raw) == CAN_FRAME.size:
            can_id, length, data = CAN_FRAME.unpack(raw)
            return (can_id, data[:length], False, 0)
        can_id, length, flags, data = CANFD_FRAME.unpack(raw)
        return (can_id, data[:length], True, flags)

    def sent_to(self, can_id, wait=0.2):
        return [f for f in self.frames(wait) if f[0] == can_id]

    def send(self, can_id, data, fd=False, flags=0):
        self.sock.send(pack_frame(can_id, data, fd, flags))


@pytest.fixture
def sniffer(can_iface):
    s = Sniffer(can_iface)
    yield s
    s.close()


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def settle(seconds=0.05):
    time.sleep(seconds)
