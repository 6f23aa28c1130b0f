"""rotalink-scan: its identifier lists, its table, JSON and warnings, the
pipelined reads (on a socket pair standing in for the CAN socket) and, on a
vcan interface, a scan of simulated motors that only ever reads."""
import argparse
import errno
import json
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import rotalink
from rotalink_scan import cli, probe, report
from rotalink_sim.frames import CAN_FRAME, pack_frame

F = struct.Struct("<f")
FRAME = CAN_FRAME


def f32(x):
    return F.unpack(F.pack(x))[0]


def h(text):
    return bytes.fromhex(text)


# ------------------------------------------------------------- identifiers

@pytest.mark.parametrize("text, ids", [
    ("1-32", list(range(1, 33))),
    ("7", [7]),
    ("1,5,0x10-0x12", [1, 5, 0x10, 0x11, 0x12]),
    (" 3 , 1-2,2 ", [1, 2, 3]),
    ("0,0x7FE", [0, 0x7FE]),
])
def test_ids(text, ids):
    assert cli.parse_ids(text) == ids


@pytest.mark.parametrize("text, message", [
    ("5-3", "empty range '5-3'"),
    ("0x7FF", "identifier 2047 is out of range (0..0x7FE)"),
    ("1-0x800", "identifier 2048 is out of range (0..0x7FE)"),
    ("", "invalid identifier: ''"),
    ("1,,2", "invalid identifier: ''"),
    ("-1", "invalid identifier: ''"),
    ("1-", "invalid identifier: ''"),
    ("x", "invalid identifier: 'x'"),
    ("1-2-3", "invalid identifier: '2-3'"),
])
def test_bad_ids(text, message):
    with pytest.raises(argparse.ArgumentTypeError) as exc:
        cli.parse_ids(text)
    assert str(exc.value) == message


@pytest.mark.parametrize("argv, message", [
    (["vcan0", "--ids", "5-3"], "argument --ids: empty range '5-3'"),
    (["vcan0", "--timeout-ms", "0"], "the time-out must be positive, got 0"),
    (["vcan0", "--timeout-ms", "1.5"], "invalid time-out: '1.5'"),
    ([""], "the interface name is empty"),
    ([], "the following arguments are required: iface"),
])
def test_usage_errors_exit_2(argv, message, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(argv)
    assert exc.value.code == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("fails, message", [
    ("socket", "rotalink-scan: this kernel offers no CAN sockets: Address family not supported by protocol\n"),
    ("bind", "rotalink-scan: cannot open CAN interface 'can9': No such device\n"),
])
def test_a_bus_that_cannot_be_used_is_one_line(monkeypatch, capsys, fails, message):
    class Sock:
        def __init__(self, *args):
            if fails == "socket":
                raise OSError(errno.EAFNOSUPPORT, "Address family not supported by protocol")

        def setsockopt(self, *args):
            pass

        def bind(self, addr):
            raise OSError(errno.ENODEV, "No such device")

        def close(self):
            pass

    for name in ("AF_CAN", "SOCK_RAW", "CAN_RAW"):
        monkeypatch.setattr(probe.socket, name, 0, raising=False)
    monkeypatch.setattr(probe.socket, "socket", Sock)
    assert cli.main(["can9"]) == 1
    assert capsys.readouterr() == ("", message)


# ------------------------------------------------------- pipelined reads

def reply(can_id, motor_id, register, value=b"\x11\x00\x00\x00", op=0x33, length=8):
    return FRAME.pack(can_id, length, bytes([motor_id & 0xFF, motor_id >> 8, op, register]) + value)


@pytest.fixture
def pair():
    a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    a.setblocking(False)
    yield a, b
    a.close()
    b.close()


def test_reads_go_out_first_and_replies_match_by_id_and_register(pair):
    ours, bus = pair
    for frame in [
        reply(0x011, 1, 7),                        # motor 1
        reply(0x011, 1, 7),                        # the same again: kept once
        reply(0x012, 1, 7, b"\x12\x00\x00\x00"),   # another motor answering as 1
        reply(0x013, 2, 8),                        # another register
        reply(0x013, 3, 7),                        # an id not asked for
        reply(0x7FF, 2, 7),                        # a request of another host
        reply(0x013, 2, 7, op=0x55),               # a write's answer
        reply(0x013, 2, 7, length=7),              # short
        reply(0x014, 0x104, 7),                    # id 0x104 = bytes 04 01
        reply(0x015 | 0x80000000, 0x104, 7),       # extended identifier: a reply too
        pack_frame(0x016, h("04 01 33 07 11 00 00 00"), fd=True),  # CAN FD: a reply too
        pack_frame(0x017, h("04 01 33 07 11 00 00 00 00 00 00 00"), fd=True),  # 12 bytes
    ]:
        bus.send(frame)
    t0 = time.monotonic()
    got = probe.read_registers(ours, "pair", [(1, 7), (2, 7), (0x104, 7)], 0.3)
    elapsed = time.monotonic() - t0
    assert got == {(1, 7): [(0x011, b"\x11\0\0\0"), (0x012, b"\x12\0\0\0")],
                   (0x104, 7): [(0x014, b"\x11\0\0\0"), (0x80000015, b"\x11\0\0\0"),
                                (0x016, b"\x11\0\0\0")]}
    assert 0.3 <= elapsed < 2.0  # one time-out for all, as motor 2 never answered
    sent = [FRAME.unpack(bus.recv(16)) for _ in range(3)]
    assert sent == [(0x7FF, 8, bytes([i & 0xFF, i >> 8, 0x33, 7, 0, 0, 0, 0])) for i in (1, 2, 0x104)]


def test_reads_end_once_every_request_is_answered(pair):
    ours, bus = pair
    bus.send(reply(0x011, 1, 10))
    t0 = time.monotonic()
    assert probe.read_registers(ours, "pair", [(1, 10)], 5.0) == {(1, 10): [(0x011, b"\x11\0\0\0")]}
    assert time.monotonic() - t0 < 2.0


def test_scan_reads_details_of_the_motors_that_answered(pair):
    ours, bus = pair
    held = {7: struct.pack("<I", 0x11), 10: struct.pack("<I", 2), 21: F.pack(3.14),
            14: struct.pack("<I", 0x5012)}  # VMAX and TMAX go unanswered
    asked = []

    def motor_1():  # answers reads of motor 1 only, as they come
        bus.settimeout(0.5)
        try:
            while True:
                _, _, data = FRAME.unpack(bus.recv(16))
                asked.append(data)
                if data[:3] == b"\x01\x00\x33" and data[3] in held:
                    bus.send(reply(0x011, 1, data[3], held[data[3]]))
        except socket.timeout:
            pass

    responder = threading.Thread(target=motor_1)
    responder.start()
    try:
        (m,) = cli.scan(ours, "pair", [1, 2], 0.2)
    finally:
        responder.join()
    assert (m.command_id, m.answered_from, m.also) == (1, 0x011, [])
    assert m.registers == {7: 0x11, 10: 2, 21: f32(3.14), 14: 0x5012}
    assert asked == [probe.read_request(i, r) for i, r in [(1, 7), (2, 7)] + [
        (1, r) for r in (10, 21, 22, 23, 14)]]


# ------------------------------------------------------------- reporting

def motor(command_id, reply_id, mode=1, limits=(12.5, 30.0, 10.0), firmware=0x5012, **kw):
    regs = {7: reply_id, 10: mode, 14: firmware}
    regs.update(zip((21, 22, 23), limits))
    return report.Motor(command_id, {k: v for k, v in regs.items() if v is not None}, **kw)


MOTORS = [
    motor(1, 0x11),
    motor(2, 0x12, mode=2, limits=(12.5, 45.0, 54.0)),
    motor(3, 0x13, mode=3, limits=(f32(3.14), 30.0, 10.0), firmware=0x5013),
    motor(4, 0x14, mode=4, limits=(12.5, 10.0, 28.0)),             # dm4340 = dm4340p
    motor(0x7E, 0x7F, mode=7, limits=(f32(12.566), None, 5.0), firmware=None),
]


def test_table():
    assert report.table(MOTORS, report.presets()) == "\n".join([
        "command  reply  mode       PMAX    VMAX  TMAX  preset           firmware",
        "0x001    0x011  MIT        12.5    30    10    dm4310           0x5012",
        "0x002    0x012  POS_VEL    12.5    45    54    dm8009           0x5012",
        "0x003    0x013  VEL        3.14    30    10    none             0x5013",
        "0x004    0x014  FORCE_POS  12.5    10    28    dm4340, dm4340p  0x5012",
        "0x07e    0x07f  7          12.566  ?     5     ?                ?",
    ])


def test_json_document():
    doc = json.loads(json.dumps(report.document("vcan0", MOTORS[2:5:2] + [
        motor(5, 0x15, limits=(float("nan"), 30.0, 10.0))], report.presets())))
    assert doc == {"interface": "vcan0", "warnings": [], "motors": [
        {"command_id": 3, "reply_id": 0x13, "answered_from": None, "control_mode": 3,
         "control_mode_name": "VEL", "pmax": f32(3.14), "vmax": 30.0, "tmax": 10.0,
         "presets": [], "firmware": 0x5013},
        {"command_id": 0x7E, "reply_id": 0x7F, "answered_from": None, "control_mode": 7,
         "control_mode_name": None, "pmax": f32(12.566), "vmax": None, "tmax": 5.0,
         "presets": None, "firmware": None},
        {"command_id": 5, "reply_id": 0x15, "answered_from": None, "control_mode": 1,
         "control_mode_name": "MIT", "pmax": "nan", "vmax": 30.0, "tmax": 10.0,
         "presets": [], "firmware": 0x5012},
    ]}


@pytest.mark.parametrize("motors, warnings", [
    (MOTORS, []),
    ([motor(1, 0x11), motor(2, 0x11), motor(3, 0x11)],
     ["motors 0x001 and 0x002 share reply identifier 0x011",
      "motors 0x001 and 0x003 share reply identifier 0x011",
      "motors 0x002 and 0x003 share reply identifier 0x011"]),
    ([motor(1, 0x11), motor(5, 0x01)],
     ["the reply identifier 0x001 of motor 0x005 is the command identifier of motor 0x001"]),
    ([motor(6, 0x806)],  # only the 11 bits of a standard identifier count
     ["the reply identifier 0x006 of motor 0x006 is its own command identifier"]),
    # every motor takes commands at 0x100, 0x200 and 0x300 past its command identifier
    ([motor(1, 0x101), motor(0x201, 0x12), motor(5, 0x301)],
     ["the reply identifier 0x101 of motor 0x001 is its own POS_VEL command identifier",
      "the reply identifier 0x301 of motor 0x005 is the FORCE_POS command identifier of motor 0x001",
      "the reply identifier 0x301 of motor 0x005 is the POS_VEL command identifier of motor 0x201",
      "motors 0x001 and 0x201 both answer commands on 0x201, 0x301"]),
    ([motor(1, 0x11, answered_from=0x21, also=[0x12])],
     ["command identifier 0x001 was answered more than once (reply identifiers 0x011, 0x012): "
      "motors may share it",
      "motor 0x001 answered from 0x021 while its MST_ID register holds 0x011"]),
])
def test_warnings(motors, warnings):
    assert report.warnings(motors) == warnings


def test_presets_are_the_modules():
    names = report.presets()
    assert list(names)[:2] == ["dm3507", "dm4310"] and len(names) == 15
    assert all(isinstance(v, rotalink.MitLimits) for v in names.values())


# ------------------------------------------------------------------- bus

# command id -> (reply id, model, PMAX preset or None); identifiers no other
# test module uses. 0x2A3 and 0x2A4 share a reply identifier, 0x2A5 answers
# from 0x2A1's command identifier, 0x2A6 answers in CAN FD frames.
SIMULATED = {
    0x2A1: (0x2B1, "dm4310", None),
    0x2A2: (0x2B2, "dm8009", None),
    0x2A3: (0x2B3, "dm4340", None),
    0x2A4: (0x2B3, "dmh6220", None),
    0x2A5: (0x2A1, "dm3507", None),
    0x2A6: (0x2B6, "dm4310", "3.14"),
}
SCANNED = "0x2A0-0x2AF"
REPLY_MS = "1500"  # an emulated machine may be slow to answer

TABLE = [
    "command  reply  mode     PMAX    VMAX  TMAX  preset            firmware",
    "0x2a1    0x2b1  MIT      12.5    30    10    dm4310            0x5012",
    "0x2a2    0x2b2  MIT      12.5    45    54    dm8009            0x5012",
    "0x2a3    0x2b3  MIT      12.5    10    28    dm4340, dm4340p   0x5012",
    "0x2a4    0x2b3  MIT      12.5    45    10    dmg6215, dmh6220  0x5012",
    "0x2a5    0x2a1  MIT      12.566  50    5     dm3507            0x5012",
    "0x2a6    0x2b6  POS_VEL  3.14    30    10    none              0x5012",
    "warning: motors 0x2a3 and 0x2a4 share reply identifier 0x2b3",
    "warning: the reply identifier 0x2a1 of motor 0x2a5 is the command identifier of motor 0x2a1",
]


@pytest.fixture(scope="module")
def sims(can_iface):
    rotalink_sim = pytest.importorskip("rotalink_sim")
    plain = []
    for m, (s, model, pmax) in SIMULATED.items():
        if pmax is None:
            plain += ["--motor", f"{m:#x}:{s:#x}:{model}"]
    with rotalink_sim.spawn(can_iface, *plain), \
            rotalink_sim.spawn(can_iface, "--motor", "0x2a6:0x2b6", "--register", "PMAX=3.14",
                               "--mode", "pos_vel", "--fd-reply"):
        time.sleep(0.05)
        yield


def run_scan(*args):
    return subprocess.run([sys.executable, "-m", "rotalink_scan", *args], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.bus
def test_scan_table_and_only_reads(can_iface, sims, sniffer):
    sniffer.drain()
    r = run_scan(can_iface, "--ids", SCANNED, "--timeout-ms", REPLY_MS)
    frames = sniffer.frames(0.3)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.splitlines() == TABLE
    requests = sorted(data for can_id, data, _, _ in frames if can_id == 0x7FF)
    asked = [(i, 7) for i in cli.parse_ids(SCANNED)] + [(m, reg) for m in SIMULATED
                                                         for reg in (10, 21, 22, 23, 14)]
    assert requests == sorted(probe.read_request(i, reg) for i, reg in asked)
    # Everything else on the bus is the motors' read replies.
    assert all(len(data) == 8 and data[2] == 0x33 for can_id, data, _, _ in frames if can_id != 0x7FF)


@pytest.mark.bus
def test_scan_json(can_iface, sims):
    r = run_scan(can_iface, "--ids", "0x2a2,0x2a5-0x2a7", "--timeout-ms", REPLY_MS, "--json")
    assert (r.returncode, r.stderr) == (0, "")
    doc = json.loads(r.stdout)
    assert doc["interface"] == can_iface
    assert doc["warnings"] == []  # 0x2a1, whose command identifier 0x2a5 answers from, is not asked
    got = [(m["command_id"], m["reply_id"], m["answered_from"], m["control_mode_name"], m["pmax"],
            m["vmax"], m["tmax"], m["presets"], m["firmware"]) for m in doc["motors"]]
    assert got == [
        (0x2A2, 0x2B2, 0x2B2, "MIT", 12.5, 45.0, 54.0, ["dm8009"], 0x5012),
        (0x2A5, 0x2A1, 0x2A1, "MIT", f32(12.566), 50.0, 5.0, ["dm3507"], 0x5012),
        (0x2A6, 0x2B6, 0x2B6, "POS_VEL", f32(3.14), 30.0, 10.0, [], 0x5012),
    ]


@pytest.mark.bus
def test_empty_bus_costs_one_time_out(can_iface):
    sock = probe.open_bus(can_iface)
    try:
        t0 = time.monotonic()
        found = cli.scan(sock, can_iface, cli.parse_ids("1-32"), 0.1)
        elapsed = time.monotonic() - t0
    finally:
        sock.close()
    print(f"empty scan of 32 identifiers, 100 ms time-out: {elapsed * 1000:.1f} ms")
    assert found == []
    assert elapsed < 1.0  # 32 time-outs one after the other would take 3.2 s
    t0 = time.monotonic()
    r = run_scan(can_iface)
    print(f"rotalink-scan {can_iface}, start-up included: {time.monotonic() - t0:.2f} s")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"rotalink-scan: no motor answered on {can_iface} (32 command identifiers, 100 ms)\n"
    r = run_scan(can_iface, "--json")
    assert r.returncode == 1
    assert json.loads(r.stdout) == {"interface": can_iface, "motors": [], "warnings": []}


@pytest.mark.bus
def test_missing_interface(can_iface):
    r = run_scan("rlscan-none0")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == "rotalink-scan: cannot open CAN interface 'rlscan-none0': No such device\n"
