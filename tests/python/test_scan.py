"""rotalink-scan: its identifier lists, its table, JSON and warnings, the
pipelined reads (on a socket pair standing in for the CAN socket) and, on a
vcan interface, a scan of simulated motors that only ever reads."""
import argparse
import ast
import contextlib
import errno
import json
import pkgutil
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import rotalink
import rotalink_sim
import rotalink_scan
from rotalink_scan import cli, frames, probe, report, setup_tool, stop
from rotalink_sim.frames import CAN_FRAME, pack_frame
from rotalink_sim.model import FAULTS

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
        (1, r) for r in (10, 21, 22, 23, 14, 15, 35)]]


# ------------------------------------------------------------- reporting

def motor(command_id, reply_id, mode=1, limits=(12.5, 30.0, 10.0), firmware=0x5012, can_br=4,
          **kw):
    regs = {7: reply_id, 10: mode, 14: firmware, 35: can_br}
    regs.update(zip((21, 22, 23), limits))
    return report.Motor(command_id, {k: v for k, v in regs.items() if v is not None}, **kw)


MOTORS = [
    motor(1, 0x11),
    motor(2, 0x12, mode=2, limits=(12.5, 45.0, 54.0), can_br=9),   # CAN FD
    motor(3, 0x13, mode=3, limits=(f32(3.14), 30.0, 10.0), firmware=0x5013, can_br=6),
    motor(4, 0x14, mode=4, limits=(12.5, 10.0, 28.0), can_br=12),  # dm4340 = dm4340p
    motor(0x7E, 0x7F, mode=7, limits=(f32(12.566), None, 5.0), firmware=None, can_br=None),
]


def test_table():
    assert report.table(MOTORS, report.presets()) == "\n".join([
        "command  reply  mode       PMAX    VMAX  TMAX  preset           firmware  bitrate",
        "0x001    0x011  MIT        12.5    30    10    dm4310           0x5012    1000000",
        "0x002    0x012  POS_VEL    12.5    45    54    dm8009           0x5012    1000000/5000000",
        "0x003    0x013  VEL        3.14    30    10    none             0x5013    1000000/2500000",
        "0x004    0x014  FORCE_POS  12.5    10    28    dm4340, dm4340p  0x5012    code 12",
        "0x07e    0x07f  7          12.566  ?     5     ?                ?         ?",
    ])


def test_json_document():
    doc = json.loads(json.dumps(report.document("vcan0", MOTORS[2:5:2] + [
        motor(5, 0x15, limits=(float("nan"), 30.0, 10.0))], report.presets())))
    assert doc == {"interface": "vcan0", "warnings": [], "motors": [
        {"command_id": 3, "reply_id": 0x13, "answered_from": None, "control_mode": 3,
         "control_mode_name": "VEL", "pmax": f32(3.14), "vmax": 30.0, "tmax": 10.0,
         "presets": [], "firmware": 0x5013, "can_br": 6, "bitrate": "1000000/2500000"},
        {"command_id": 0x7E, "reply_id": 0x7F, "answered_from": None, "control_mode": 7,
         "control_mode_name": None, "pmax": f32(12.566), "vmax": None, "tmax": 5.0,
         "presets": None, "firmware": None, "can_br": None, "bitrate": None},
        {"command_id": 5, "reply_id": 0x15, "answered_from": None, "control_mode": 1,
         "control_mode_name": "MIT", "pmax": "nan", "vmax": 30.0, "tmax": 10.0,
         "presets": [], "firmware": 0x5012, "can_br": 4, "bitrate": "1000000"},
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
    # two motors on one identifier that answer alike from one reply identifier
    ([motor(1, 0x11, differing=[21, 15])],
     ["command identifier 0x001 was answered more than once, with different PMAX, SN: motors "
      "share it (the row shows the first answers)"]),
    # two motors set up alike: identical replies, counted
    ([motor(1, 0x11, replies=2)],
     ["command identifier 0x001 was answered 2 times to one read, alike: several motors set up "
      "alike answer as it"]),
    # one identifier found twice (a new motor's identifiers against those on the bus): once
    ([motor(2, 0x12), motor(2, 0x13), motor(3, 0x14)],
     ["command identifier 0x002 is answered by several motors"]),
])
def test_warnings(motors, warnings):
    assert report.warnings(motors) == warnings


def test_the_tools_import_nothing_from_the_simulator():
    """Every byte the tools send comes from the module, not from the test double."""
    for info in pkgutil.iter_modules(rotalink_scan.__path__):
        path = "%s/%s.py" % (rotalink_scan.__path__[0], info.name)
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
        for node in ast.walk(tree):
            names = ([a.name for a in node.names] if isinstance(node, ast.Import)
                     else [node.module or ""] if isinstance(node, ast.ImportFrom) else [])
            assert not [n for n in names if n.split(".")[0] == "rotalink_sim"], (path, names)
    code = ("import sys; sys.modules['rotalink_sim'] = None\n"
            "import rotalink_scan.cli, rotalink_scan.stop, rotalink_scan.setup_tool, "
            "rotalink_scan.__main__")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stderr) == (0, "")


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
    "command  reply  mode     PMAX    VMAX  TMAX  preset            firmware  bitrate",
    "0x2a1    0x2b1  MIT      12.5    30    10    dm4310            0x5012    1000000",
    "0x2a2    0x2b2  MIT      12.5    45    54    dm8009            0x5012    1000000",
    "0x2a3    0x2b3  MIT      12.5    10    28    dm4340, dm4340p   0x5012    1000000",
    "0x2a4    0x2b3  MIT      12.5    45    10    dmg6215, dmh6220  0x5012    1000000",
    "0x2a5    0x2a1  MIT      12.566  50    5     dm3507            0x5012    1000000",
    "0x2a6    0x2b6  POS_VEL  3.14    30    10    none              0x5012    1000000",
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
                                                         for reg in (10, 21, 22, 23, 14, 15, 35)]
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


# ------------------------------------------------------------ rotalink-stop

def fb(can_id, byte0, rest="7FFF7FF7FF1E20", fd=False):
    return pack_frame(can_id, bytes([byte0]) + h(rest), fd=fd)


@pytest.mark.parametrize("raw, expected", [
    (fb(0x011, 0x11), (0x011, 0x11)),
    (fb(0x000, 0xE3), (0x000, 0xE3)),                                  # any identifier
    (fb(0x011 | 0x80000000, 0x01), (0x80000011, 0x01)),                # extended
    (fb(0x011, 0x01, fd=True), (0x011, 0x01)),                         # CAN FD, 8 bytes
    (fb(0x011, 0x01, rest="0833AABBCCDDEE"), (0x011, 0x01)),           # 33 over no command id
    (fb(0x7FF, 0x01), None),                                           # a host's request
    (fb(0x011, 0x01, rest="00330700000000"), None),                    # read reply of motor 1
    (fb(0x011, 0x02, rest="00550700000000"), None),                    # write echo of motor 2
    (pack_frame(0x001, stop.DISABLE), None),                           # another host's disable
    (pack_frame(0x011, h("117FFF7FF7FF1E")), None),                    # 7 bytes
    (pack_frame(0x011 | 0x40000000, h("117FFF7FF7FF1E20")), None),     # remote request
    (pack_frame(0x011 | 0x20000000, h("117FFF7FF7FF1E20")), None),     # error frame
])
def test_stop_feedback(raw, expected):
    assert stop.feedback(raw) == expected


def test_stop_groups_ids_by_low_four_bits():
    assert stop.groups(list(range(1, 33))) == [list(range(1, 17)), list(range(17, 33))]
    assert stop.groups([1, 2, 0x11, 0x21, 3]) == [[1, 2, 3], [0x11], [0x21]]
    assert set(stop.STATUS_NAMES) == {0, 1} | set(FAULTS) and stop.STOPPED == {0} | set(FAULTS)
    # a mode's identifier exists below 0x7FF only: 0x4ff + 0x300 has none
    assert stop._mode_ids([1, 2, 0x4FF, 0x500, 0x7FE], {1: 4, 2: 1, 0x4FF: 4, 0x500: 2}) == [1, 0x500]


@pytest.mark.parametrize("group, learned, records, got, learned_after", [
    # motor 1 answered from 0x011 earlier; asked in a later group, its late
    # feedback is not motor 0x011's (the phantom of asking 1..32)
    (range(17, 33), {(0x011, 1): 1}, [(0x011, 0x01)], {}, {(0x011, 1): 1}),
    # not learned yet: a reply identifier is never a motor of its own
    (range(17, 33), {}, [(0x011, 0x01)], {}, {}),
    (range(1, 17), {(0x011, 1): 1}, [(0x011, 0x01)], {1: (0x011, 0)}, {(0x011, 1): 1}),
    # new identifiers are learned; the first answer of each motor counts
    ([1, 2], {}, [(0x021, 0x11), (0x022, 0x02), (0x021, 0x01)], {1: (0x021, 1), 2: (0x022, 0)},
     {(0x021, 1): 1, (0x022, 2): 2}),
    # a motor that answered from 0x011 does not answer from 0x055
    ([1, 2], {(0x011, 1): 1}, [(0x055, 0x01), (0x011, 0x11)], {1: (0x011, 1)}, {(0x011, 1): 1}),
    # fresh motors all answer from 0x000: their four bits tell them apart
    ([1, 2, 3], {(0x000, 1): 1}, [(0x000, 0x02), (0x000, 0x11), (0x000, 0x03)],
     {1: (0x000, 1), 2: (0x000, 0), 3: (0x000, 0)},
     {(0x000, 1): 1, (0x000, 2): 2, (0x000, 3): 3}),
    # extended identifiers are no standard one's number
    ([0x11], {}, [(0x80000011, 0x01)], {0x11: (0x80000011, 0)}, {(0x80000011, 1): 0x11}),
])
def test_stop_attributes_feedback_by_the_identifiers_learned(group, learned, records, got,
                                                            learned_after):
    heard = stop.Attribution(list(group), learned)
    for can_id, byte0 in records:
        heard.take(fb(can_id, byte0))
    assert (heard.got, learned) == (got, learned_after)


@pytest.mark.parametrize("ids, rounds, order, lines, err", [
    # all at once, then the groups in turn, then the modes of the motors not
    # stopped (those that did not answer too), then the motors still running;
    # the disable sent to all at once counts among a motor's disables
    ("1-4,0x11", "3", [1, 2, 3, 4, 0x11] + [1, 2, 3, 4] + [0x11] + [(1,), (2,), (4,)] + [1, 4]
     + [4],
     ["motor 0x001  reply 0x011  DISABLED", "motor 0x003  reply 0x013  OVERLOAD",
      "motor 0x004  reply 0x014  7", "motor 0x011  reply 0x021  DISABLED"],
     "rotalink-stop: motor 0x004 still reports 7 after 4 disables\n"),
    ("4", "1", [4], ["motor 0x004  reply 0x014  7"],
     "rotalink-stop: motor 0x004 still reports 7 after 1 disable\n"),
    # older firmware in VEL mode answers the disable on its own identifier
    # with its status as it is and takes it on 0x200 + id, sent after
    ("5,6", "3", [5, 6, (5,), (6,), 0x205], ["motor 0x005  reply 0x015  DISABLED"], ""),
], ids=["groups", "one round", "legacy firmware"])
def test_stop_asks_groups_in_turn_and_retries_a_running_motor(pair, monkeypatch, capsys, ids, rounds,
                                                              order, lines, err):
    ours, bus = pair
    # status codes each motor answers with, the last one from then on: motor 1
    # ignores two disables, 0x11 shares its low four bits, 3 is tripped, 4 reports 7
    status = {1: [1, 1, 0], 0x11: [0], 3: [14], 4: [7], 5: [1]}
    legacy = {5: 3}  # motor 5: older firmware, in VEL mode
    sent = []

    def answer(motor_id, codes):
        code = codes.pop(0) if len(codes) > 1 else codes[0]
        bus.send(fb(0x10 + motor_id, code << 4 | motor_id & 0xF))

    def motors():  # each answers from 0x10 + its id
        bus.settimeout(0.5)
        try:
            while True:
                can_id, _, data = FRAME.unpack(bus.recv(16))
                sent.append((can_id, data))
                if can_id == 0x7FF:  # a read: only motor 5 answers reads of CTRL_MODE
                    if data[0] in legacy and data[2:4] == b"\x33\x0a":
                        bus.send(reply(0x10 + data[0], data[0], 10, bytes([legacy[data[0]], 0, 0, 0])))
                elif can_id in legacy:
                    codes = status[can_id]
                    bus.send(fb(0x10 + can_id, codes[0] << 4 | can_id & 0xF))  # as it is
                elif can_id & 0xFF in legacy and can_id >> 8 == legacy[can_id & 0xFF] - 1:
                    status[can_id & 0xFF] = [0]  # taken: disabled
                    answer(can_id & 0xFF, status[can_id & 0xFF])
                elif status.get(can_id):
                    answer(can_id, status[can_id])
        except socket.timeout:
            pass

    monkeypatch.setattr(probe, "open_bus", lambda iface: ours)
    responder = threading.Thread(target=motors)
    responder.start()
    try:
        code = stop.main(["pair", "--ids", ids, "--timeout-ms", "200", "--rounds", rounds])
    finally:
        responder.join()
    assert (code, capsys.readouterr()) == (1 if err else 0, ("\n".join(lines) + "\n", err))
    assert sent == [(0x7FF, probe.read_request(i[0], 10)) if isinstance(i, tuple)
                    else (i, h("FFFFFFFFFFFFFFFD")) for i in order]


STOP_MOTORS = {0x2E1: 0x2C1, 0x2E2: 0x2C2, 0x2F1: 0x2D1}  # 0x2e1 and 0x2f1 share 4 bits
STOP = ["{iface}", "--ids", "0x2e1-0x2e3,0x2f1", "--timeout-ms", "1000"]


def stop_sims(*extra):
    """Motors 0x2e1 and 0x2e2 in one simulator, 0x2f1 with `extra` in another."""
    return [["--motor", "0x2e1:0x2c1", "--motor", "0x2e2:0x2c2"],
            ["--motor", "0x2f1:0x2d1", *extra]]


@pytest.mark.parametrize("sims, argv, status, names, err, after", [
    # motors enabled beforehand end disabled (statuses read back after the run)
    pytest.param(stop_sims(), STOP, 0, ["DISABLED"] * 3, "", [0, 0, 0], marks=pytest.mark.bus),
    # a latched fault counts as stopped
    pytest.param(stop_sims("--fault", "overload"), STOP, 0, ["DISABLED", "DISABLED", "OVERLOAD"],
                 "", [0, 0, 14], marks=pytest.mark.bus),
    # the disable sent to all at once and the first round's are ignored, the next is not
    pytest.param(stop_sims("--ignore-disables", "2"), STOP, 0, ["DISABLED"] * 3, "", [0, 0, 0],
                 marks=pytest.mark.bus),
    # 0x2f1 shares its low four bits with 0x2e1: the disable to all at once and two rounds
    pytest.param(stop_sims("--ignore-disables", "9"), STOP + ["--rounds", "2"], 1,
                 ["DISABLED", "DISABLED", "ENABLED"],
                 "rotalink-stop: motor 0x2f1 still reports ENABLED after 3 disables\n",
                 [0, 0, 1], marks=pytest.mark.bus),
    pytest.param([], ["{iface}", "--ids", "0x2e5-0x2e6", "--timeout-ms", "300"], 1, [],
                 "rotalink-stop: no motor answered on {iface} (2 motor ids, 300 ms)\n", None,
                 marks=pytest.mark.bus),
    ([], ["vcan0", "--rounds", "0"], 2, [], "argument --rounds: at least one round, got 0", None),
    ([], ["vcan0", "--ids", "1-0x7FF"], 2, [], "identifier 2047 is out of range (0..0x7FE)", None),
    ([], ["vcan0", "--timeout-ms", "0"], 2, [], "the time-out must be positive, got 0", None),
    ([], [], 2, [], "the following arguments are required: IFACE", None),
])
def test_stop_tool(request, sims, argv, status, names, err, after):
    on_bus = request.node.get_closest_marker("bus") is not None
    iface = request.getfixturevalue("can_iface") if on_bus else "vcan0"
    with contextlib.ExitStack() as stack:
        for args in sims:
            stack.enter_context(rotalink_sim.spawn(iface, *args))
        bus = rotalink.SocketCanTransport(iface) if after else None
        motors = [rotalink.Damiao(m, s, timeout_ms=2000) for m, s in STOP_MOTORS.items()]
        before = [m.enable(bus).error for m in motors] if after else None
        r = subprocess.run([sys.executable, "-m", "rotalink_scan.stop"]
                           + [a.format(iface=iface) for a in argv], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=300)
        if after:  # on a new socket: the old one holds the feedback of the run
            bus = rotalink.SocketCanTransport(iface)
            final = [m.refresh(bus).error for m in motors]
    assert r.returncode == status, r.stderr
    assert r.stdout.splitlines() == ["motor %#05x  reply %#05x  %s" % (m, s, name)
                                     for (m, s), name in zip(STOP_MOTORS.items(), names)]
    if status == 2:
        assert err in r.stderr
    else:
        assert r.stderr == err.format(iface=iface)
    if after:
        assert before == [1, 1, 14 if 14 in after else 1] and final == after


# ------------------------------------------------------------ rotalink-setup

def run_setup(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "rotalink_scan.setup_tool", *args],
                          input=stdin, capture_output=True, text=True, timeout=300)


# Golden frames: what each writing command sends, printed by --dry-run.
SAVE_FRAMES = ["vcan0  001   [8]  FF FF FF FF FF FF FF FD", "vcan0  7FF   [8]  01 00 AA 01 00 00 00 00"]


@pytest.mark.parametrize("argv, lines", [
    (["set", "PMAX=3.14", "TIMEOUT=20", "UV_Value=-1.5"],
     ["vcan0  7FF   [8]  01 00 55 15 C3 F5 48 40", "vcan0  7FF   [8]  01 00 55 09 90 01 00 00",
      "vcan0  7FF   [8]  01 00 55 00 00 00 C0 BF"]),
    (["set", "9=0.15", "ACC=1e3", "--save"],
     ["vcan0  7FF   [8]  01 00 55 09 03 00 00 00", "vcan0  7FF   [8]  01 00 55 04 00 00 7A 44",
      *SAVE_FRAMES]),
    (["mode", "force_pos"], ["vcan0  7FF   [8]  01 00 55 0A 04 00 00 00"]),
    (["set", "CTRL_MODE=2"], ["vcan0  7FF   [8]  01 00 55 0A 02 00 00 00"]),
    (["watchdog", "0", "--save"], ["vcan0  7FF   [8]  01 00 55 09 00 00 00 00", *SAVE_FRAMES]),
    (["limits", "12.5", "30", "10"],
     ["vcan0  7FF   [8]  01 00 55 15 00 00 48 41", "vcan0  7FF   [8]  01 00 55 16 00 00 F0 41",
      "vcan0  7FF   [8]  01 00 55 17 00 00 20 41"]),
    (["ids", "0x7FE", "0x12", "--force"],
     ["vcan0  7FF   [8]  01 00 55 07 12 00 00 00", "vcan0  7FF   [8]  01 00 55 08 FE 07 00 00",
      *SAVE_FRAMES]),
    (["bitrate", "125k", "--force"], ["vcan0  7FF   [8]  01 00 55 23 00 00 00 00", *SAVE_FRAMES]),
    (["bitrate", "1000000", "--force"], ["vcan0  7FF   [8]  01 00 55 23 04 00 00 00", *SAVE_FRAMES]),
    (["set", "can_br=500k", "ESC_ID=2", "--force"],
     ["vcan0  7FF   [8]  01 00 55 23 03 00 00 00", "vcan0  7FF   [8]  01 00 55 08 02 00 00 00"]),
    (["zero"], ["vcan0  001   [8]  FF FF FF FF FF FF FF FE"]),
    (["clear"], ["vcan0  001   [8]  FF FF FF FF FF FF FF FB"]),
    # CAN FD: by the data rate alone, or both rates
    (["bitrate", "5M", "--force"], ["vcan0  7FF   [8]  01 00 55 23 09 00 00 00", *SAVE_FRAMES]),
    (["bitrate", "2.5M", "--force"], ["vcan0  7FF   [8]  01 00 55 23 06 00 00 00", *SAVE_FRAMES]),
    (["bitrate", "1M/2M", "--force"], ["vcan0  7FF   [8]  01 00 55 23 05 00 00 00", *SAVE_FRAMES]),
    (["bitrate", "1000000/3200000", "--force"],
     ["vcan0  7FF   [8]  01 00 55 23 07 00 00 00", *SAVE_FRAMES]),
    (["bitrate", "4000000bit/s", "--force"],
     ["vcan0  7FF   [8]  01 00 55 23 08 00 00 00", *SAVE_FRAMES]),
    (["set", "can_br=1M/5M", "--force"], ["vcan0  7FF   [8]  01 00 55 23 09 00 00 00"]),
])
def test_setup_dry_run_frames(capsys, argv, lines):
    assert setup_tool.main(["vcan0", "1", *argv, "--dry-run"]) == 0
    out, err = capsys.readouterr()
    assert (out.splitlines(), err) == (lines, "(dry run: nothing sent)\n")


@pytest.mark.parametrize("name, text, value", [
    ("PMAX", "3.14", 3.14), ("TIMEOUT", "20", 400), ("UV_Value", "-1.5", -1.5),
    ("CTRL_MODE", "FORCE_POS", 4), ("KP_APR", "1e-3", 1e-3), ("ESC_ID", "0x7fe", 0x7FE)])
def test_setup_dry_run_is_the_modules_frame(capsys, name, text, value):
    assert setup_tool.main(["vcan1", "0x7e", "set", "%s=%s" % (name, text), "--dry-run",
                            "--force"]) == 0
    ident, data = rotalink.write_register_frame(0x7E, rotalink.Register[name], value)
    assert capsys.readouterr().out == "vcan1  %03X   [8]  %s\n" % (ident, bytes(data).hex(" ").upper())


@pytest.mark.parametrize("text, rates, code, shown, steps", [
    ("500k", (500000, None), 3, "500000",
     ["down", "type can bitrate 500000", "up"]),
    ("1M", (1000000, None), 4, "1000000", ["down", "type can bitrate 1000000", "up"]),
    ("2M", (1000000, 2000000), 5, "1000000/2000000",
     ["down", "up type can bitrate 1000000 dbitrate 2000000 fd on"]),
    ("1M/5M", (1000000, 5000000), 9, "1000000/5000000",
     ["down", "up type can bitrate 1000000 dbitrate 5000000 fd on"]),
])
def test_setup_bit_rates_and_the_interface_line(text, rates, code, shown, steps):
    assert setup_tool.bit_rate(text) == (rates, code)
    assert setup_tool.show_value(35, code) == shown
    args = argparse.Namespace(iface="can1")
    lines = setup_tool._power_cycle_steps(args, 3, rates).splitlines()
    assert lines[2:2 + len(steps)] == ["  ip link set can1 " + step for step in steps]


@pytest.mark.parametrize("argv, message", [
    (["ids", "2", "0x12"], "a change of identifiers takes effect after a power cycle"),
    (["bitrate", "1M"], "a change of bit rate takes effect after a power cycle"),
    (["bitrate", "300k", "--force"], "no bit rate '300k': the motor takes 125000, 200000, "
                                     "250000, 500000, 1000000 bit/s, or CAN FD "
                                     "1000000/2000000, 1000000/2500000, 1000000/3200000"),
    (["bitrate", "500k/5M", "--force"], "no bit rate '500k/5M'"),
    (["clear", "x"], "expected: clear"),
    (["set", "MST_ID=3"], "register MST_ID changes how the motor is reached"),
    (["set", "sw_ver=1"], "register sw_ver is read-only"),
    (["set", "nope=1"], "unknown register 'nope'"),
    (["set", "PMAX=0"], "register PMAX takes a positive limit, got '0'"),
    (["set", "TMAX=nan"], "register TMAX takes a finite value, got 'nan'"),
    (["set", "TIMEOUT=0.01"], "TIMEOUT takes milliseconds in steps of 0.05 ms"),
    (["set", "NPP"], "expected NAME=VALUE, got 'NPP'"),
    (["mode", "torque"], "CTRL_MODE takes MIT, POS_VEL, VEL or FORCE_POS, got 'torque'"),
    (["limits", "1", "2"], "expected: limits PMAX VMAX TMAX"),
    (["zero"], "not confirmed: nothing sent"),   # answered "n"
    (["restore", "{tmp}/none.json"], "is no register dump"),
    (["restore", "{tmp}/big.json"], "is no register dump"),   # PMAX past the 32-bit range
])
def test_setup_refusals_exit_2_before_the_bus(monkeypatch, capsys, tmp_path, argv, message):
    monkeypatch.setattr("builtins.input", lambda prompt: "n")
    monkeypatch.setattr(probe, "open_bus", lambda iface: pytest.fail("the bus was opened"))
    (tmp_path / "big.json").write_text('{"registers": {"PMAX": 1e39}}')
    assert setup_tool.main(["vcan0", "1", *[a.format(tmp=tmp_path) for a in argv]]) == 2
    assert message in capsys.readouterr().err


def answering_twice(bus, values, stop_after=None):
    """Two motors answering as motor 1: every read of MST_ID is answered
    twice, by `values` ((reply identifier, MST_ID) each); the frames the tool
    sends are returned."""
    sent = []

    def motors():
        bus.settimeout(0.5)
        try:
            while True:
                can_id, _, data = FRAME.unpack(bus.recv(16))
                sent.append((can_id, data))
                if data[:4] == b"\x01\x00\x33\x07":
                    for reply_id, held in values:
                        bus.send(reply(reply_id, 1, 7, struct.pack("<I", held)))
        except socket.timeout:
            pass

    thread = threading.Thread(target=motors)
    thread.start()
    return sent, thread


REFUSED = "nothing written. Power or connect one new motor at a time, give it its own identifiers with"


@pytest.mark.parametrize("argv, values, message", [
    (["set", "PMAX=1"], [(0x11, 0x11)] * 2, "several motors answer as 0x001 (2 replies to one read, "
                                            "alike): " + REFUSED),
    (["set", "PMAX=1", "--master-id", "0x11"], [(0x11, 0x11)] * 2, REFUSED),
    (["mode", "VEL"], [(0x11, 0x11), (0x12, 0x12)],
     "several motors answer as 0x001 (2 replies to one read, from 0x011, 0x012, with different "
     "MST_ID): " + REFUSED),
    (["watchdog", "5"], [(0x11, 0x11), (0x11, 0x12)], "(2 replies to one read, with different "
                                                      "MST_ID): "),
    (["limits", "1", "2", "3"], [(0x11, 0x11)] * 3, "(3 replies to one read, alike)"),
    (["ids", "2", "0x12"], [(0x11, 0x11)] * 2, REFUSED),
    (["bitrate", "5M"], [(0x11, 0x11)] * 2, REFUSED),
    (["zero", "--yes"], [(0x11, 0x11)] * 2, REFUSED),
    (["clear"], [(0x11, 0x11)] * 2, REFUSED),
    (["restore", "{tmp}/dump.json"], [(0x11, 0x11)] * 2, REFUSED),
    (["dump", "{tmp}/out.json", "--save"], [(0x11, 0x11)] * 2, REFUSED),
])
def test_setup_refuses_to_write_while_several_motors_answer(pair, monkeypatch, capsys, tmp_path,
                                                           argv, values, message):
    ours, bus = pair
    monkeypatch.setattr(probe, "open_bus", lambda iface: ours)
    monkeypatch.setattr(rotalink, "SocketCanTransport",
                        lambda iface: pytest.fail("the driver's transport was opened"))
    (tmp_path / "dump.json").write_text('{"registers": {"PMAX": 1.0}}')
    sent, thread = answering_twice(bus, values)
    try:
        code = setup_tool.main(["pair", "1", "--timeout-ms", "200", "--force",
                                *[a.format(tmp=tmp_path) for a in argv]])
    finally:
        thread.join()
    err = capsys.readouterr().err
    assert code == 2 and message in err, err
    assert sent and all(frame == (0x7FF, probe.read_request(1, 7)) for frame in sent)


def test_setup_says_several_motors_answer_when_their_reads_go_unanswered(pair, monkeypatch, capsys,
                                                                        tmp_path):
    ours, bus = pair
    monkeypatch.setattr(probe, "open_bus", lambda iface: ours)
    monkeypatch.setattr(rotalink, "SocketCanTransport", lambda iface: None)
    sent, thread = answering_twice(bus, [(0x11, 0x11), (0x11, 0x11)])
    try:
        code = setup_tool.main(["pair", "1", "--timeout-ms", "200", "dump",
                                str(tmp_path / "out.json")])
    finally:
        thread.join()
    err = capsys.readouterr().err
    assert code == 1
    assert "rotalink-setup: several motors answer as 0x001: reads of UV_Value, KT_Value" in err, err
    assert "did not answer" not in err


def test_setup_help_names_the_power_cycle_and_the_flash_rating():
    text = setup_tool.build_parser().format_help()
    assert "power cycle" in text and "10,000 writes" in text and "examples:" in text
    assert "clear " in text and "one new motor at a time" in text and "1M/5M" in text
    text = stop.build_parser().format_help()
    assert "--clear" in text and "after clear-error: DISABLED" in text


# On the bus: motor 0x3a1 (reply 0x3b1) with a flash file, 0x3a2 (0x3b2) beside it.
SETUP = ["0x3a1", "--ids", "0x3a0-0x3af", "--timeout-ms", "1500"]


def registers_on_the_wire(frames):
    """The writes and saves (bytes 2-3) among `frames`."""
    return [data[2:4] for can_id, data, _, _ in frames if can_id == 0x7FF and data[2] in (0x55, 0xAA)]


@pytest.mark.bus
def test_setup_refusals_send_nothing(can_iface, sniffer):
    with rotalink_sim.spawn(can_iface, "--motor", "0x3a1:0x3b1", "--motor", "0x3a2:0x3b2"):
        bus = rotalink.SocketCanTransport(can_iface)
        motor = rotalink.Damiao(0x3A1, 0x3B1, timeout_ms=2000)
        sniffer.drain()
        for argv, message in [
                (["ids", "0x3a3", "0x3b3"], "add --force"), (["bitrate", "1M"], "add --force"),
                (["ids", "0x3a3", "0x3b2", "--force"],   # 0x3a2 answers from 0x3b2
                 "clash with motors on the bus:\n  motors 0x3a2 and 0x3a3 share reply "
                 "identifier 0x3b2")]:
            r = run_setup(can_iface, *SETUP, *argv)
            assert (r.returncode, message in r.stderr) == (2, True), r.stderr
        motor.enable(bus)
        with pytest.raises(RuntimeError, match="motor 0x3a1 reports itself enabled"):
            motor.save_parameters(bus)
        assert registers_on_the_wire(sniffer.frames(0.3)) == []
    # A motor that stays enabled through the tool's disable is not saved.
    with rotalink_sim.spawn(can_iface, "--motor", "0x3a4:0x3b4", "--ignore-disables", "1000"):
        rotalink.Damiao(0x3A4, 0x3B4, timeout_ms=2000).enable(bus)
        sniffer.drain()
        r = run_setup(can_iface, "0x3a4", "--timeout-ms", "1500", "--save", "set", "PMAX=12.5")
        assert r.returncode == 1 and "motor 0x3a4 still reports ENABLED after the disable: not saving to flash" \
            in r.stderr, r.stderr
        assert [op for op in registers_on_the_wire(sniffer.frames(0.3)) if op[0] == 0xAA] == []


@pytest.mark.bus
def test_setup_save_dump_restore_and_a_power_cycle(can_iface, sniffer, tmp_path):
    flash, dump = str(tmp_path / "flash.json"), str(tmp_path / "dump.json")
    sim = ["--motor", "0x3a1:0x3b1", "--flash", flash]
    with rotalink_sim.spawn(can_iface, *sim):
        # An enabled motor refuses a save: the tool sends the disable before it.
        rotalink.Damiao(0x3A1, 0x3B1, timeout_ms=2000).enable(rotalink.SocketCanTransport(can_iface))
        sniffer.drain()
        r = run_setup(can_iface, *SETUP, "set", "PMAX=3.14", "TIMEOUT=20", "--save")
        assert r.returncode == 0, r.stderr
        assert [data for can_id, data, _, _ in sniffer.frames(0.3)
                if can_id == 0x3A1 or (can_id == 0x7FF and data[2] == 0xAA)] == [
            h("FF FF FF FF FF FF FF FD"), h("A1 03 AA 01 00 00 00 00")]
        assert r.stdout.splitlines()[:2] == ["PMAX       12.5 -> 3.14 rad",
                                             "TIMEOUT    0 -> 20 ms"]
        assert "save 1 of this run" in r.stdout and "power cycle" in r.stdout
        assert run_setup(can_iface, *SETUP, "dump", dump).returncode == 0
        assert run_setup(can_iface, *SETUP, "limits", "1", "2", "3").returncode == 0
        r = run_setup(can_iface, *SETUP, "restore", dump, "--dry-run")
        assert r.stdout.splitlines()[-3:] == [
            "%s  7FF   [8]  A1 03 55 %02X %s" % (can_iface, reg, " ".join("%02X" % b for b in F.pack(v)))
            for reg, v in ((21, 3.14), (22, 30.0), (23, 10.0))]
        assert run_setup(can_iface, *SETUP, "restore", dump).returncode == 0
        assert "nothing to restore" in run_setup(can_iface, *SETUP, "restore", dump).stdout
        r = run_setup(can_iface, *SETUP, "ids", "0x3a5", "0x3b5", "--force")
        assert r.returncode == 0, r.stderr
        assert r.stdout.splitlines()[-2:] == ["  rotalink-scan %s --ids %d" % (can_iface, 0x3A5),
                                              "  rotalink-setup %s %d show" % (can_iface, 0x3A5)]
        # MST_ID holds 0x3b5 now, yet the motor answers from 0x3b1 until the power cycle
        r = run_setup(can_iface, *SETUP, "bitrate", "500k", "--force")
        assert r.returncode == 0, r.stderr
        assert "while its MST_ID register holds 0x3b5" in r.stderr
        assert r.stdout.splitlines()[-6:-3] == ["  ip link set %s down" % can_iface,
                                                "  ip link set %s type can bitrate 500000" % can_iface,
                                                "  ip link set %s up" % can_iface]
    with rotalink_sim.spawn(can_iface, *sim):   # the power cycle
        r = run_setup(can_iface, "0x3a5", "--timeout-ms", "1500", "--json", "show")
        assert r.returncode == 0, r.stderr
        doc = json.loads(r.stdout)
        assert [doc["shown"][n] for n in ("MST_ID", "TIMEOUT", "can_br")] == ["0x3b5", "20", "500000"]
        assert (doc["motors"][0]["pmax"], doc["motors"][0]["answered_from"]) == (f32(3.14), 0x3B5)
        assert doc["motors"][0]["presets"] == []


@pytest.mark.bus
@pytest.mark.parametrize("first, second, warning", [
    (["--motor", "0x3a7:0"], ["--motor", "0x3a7:0:dm8009"],
     "command identifier 0x3a7 was answered more than once, with different VMAX, TMAX, SN: "
     "motors share it (the row shows the first answers)"),
    # set up alike, serial number included: every reply comes twice, identical
    (["--motor", "0x3a7:0", "--register", "SN=0x1234"],
     ["--motor", "0x3a7:0", "--register", "SN=0x1234"],
     "command identifier 0x3a7 was answered 2 times to one read, alike: several motors set up "
     "alike answer as it"),
], ids=["different", "alike"])
def test_scan_warns_of_two_motors_on_one_identifier(can_iface, first, second, warning):
    with rotalink_sim.spawn(can_iface, *first), rotalink_sim.spawn(can_iface, *second):
        r = run_scan(can_iface, "--ids", "0x3a7", "--timeout-ms", REPLY_MS)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-1] == "warning: " + warning


# ------------------------------------------- older firmware, CAN FD, several motors

LEGACY = (0x3C1, 0x3D1)  # older firmware: the special commands only on its mode's identifier


def specials(frames, motor_id):
    """(identifier, command byte) of the special commands to `motor_id`, on
    any of its identifiers, in the order they went out."""
    ids = {motor_id + m.id_offset for m in rotalink.ControlMode}
    return [(can_id, data[7]) for can_id, data, _, _ in frames
            if can_id in ids and bytes(data[:7]) == b"\xff" * 7]


@pytest.mark.bus
@pytest.mark.parametrize("stopper", ["rotalink-stop", "group"])
@pytest.mark.parametrize("mode", [rotalink.ControlMode.POS_VEL, rotalink.ControlMode.VEL,
                                  rotalink.ControlMode.FORCE_POS])
def test_older_firmware_in_each_mode_is_stopped(can_iface, sniffer, mode, stopper):
    m, s = LEGACY
    disable, mine = rotalink.SPECIAL_COMMANDS["disable"], m + mode.id_offset
    with rotalink_sim.spawn(can_iface, "--motor", f"{m:#x}:{s:#x}", "--mode", mode.name.lower(),
                            "--legacy-special"):
        bus = rotalink.SocketCanTransport(can_iface)
        motor = rotalink.Damiao(m, s, timeout_ms=2000)
        if stopper == "group":
            group = rotalink.MotorGroup([(bus, motor)], timeout_ms=1000)
            group.ensure_mode(mode)
            sniffer.drain()
            with group:
                assert motor.refresh(bus).error == rotalink.Status.ENABLED
        else:
            sniffer.send(*rotalink.enable_frame(m, mode))  # where this firmware takes it
            assert motor.refresh(bus).error == rotalink.Status.ENABLED
            sniffer.drain()
            r = subprocess.run([sys.executable, "-m", "rotalink_scan.stop", can_iface, "--ids",
                                f"{m:#x}", "--timeout-ms", "1000"], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=300)
            assert (r.returncode, r.stdout, r.stderr) == (0, f"motor {m:#05x}  reply {s:#05x}  "
                                                             "DISABLED\n", "")
        sent = specials(sniffer.frames(0.3), m)
        assert motor.refresh(rotalink.SocketCanTransport(can_iface)).error == rotalink.Status.DISABLED
    # never a mode's identifier first: the disable on the motor's own identifier went before
    disables = [ident for ident, cmd in sent if cmd == disable]
    assert disables[0] == m and mine in disables, sent
    if stopper == "group":
        enable = rotalink.SPECIAL_COMMANDS["enable"]
        assert [ident for ident, cmd in sent if cmd == enable][:2] == [m, mine], sent


@pytest.mark.bus
@pytest.mark.parametrize("tool, lines", [
    (["rotalink_scan.stop", "{iface}", "--ids", "0x3c2", "--timeout-ms", "1000", "--clear"],
     ["motor 0x3c2  reply 0x3d2  OVERLOAD  after clear-error: DISABLED"]),
    (["rotalink_scan.setup_tool", "{iface}", "0x3c2", "--timeout-ms", "1000", "clear"],
     ["motor 0x3c2 reports DISABLED after clear-error"]),
], ids=["stop", "setup"])
@pytest.mark.parametrize("extra", [
    [],
    # older firmware in VEL mode takes it on 0x200 + id, after its own identifier
    ["--mode", "vel", "--legacy-special"],
], ids=["mit", "legacy"])
def test_clear_clears_a_latched_fault(can_iface, sniffer, tool, lines, extra):
    with rotalink_sim.spawn(can_iface, "--motor", "0x3c2:0x3d2", "--fault", "overload", *extra):
        sniffer.drain()
        r = subprocess.run([sys.executable, "-m"] + [a.format(iface=can_iface) for a in tool],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        sent = specials(sniffer.frames(0.3), 0x3C2)
        final = rotalink.Damiao(0x3C2, 0x3D2, timeout_ms=2000).refresh(
            rotalink.SocketCanTransport(can_iface)).error
    assert (r.returncode, r.stdout.splitlines(), r.stderr) == (0, lines, "")
    assert final == rotalink.Status.DISABLED
    clears = [ident for ident, cmd in sent if cmd == rotalink.SPECIAL_COMMANDS["clear_error"]]
    assert clears == ([0x3C2, 0x5C2] if extra else [0x3C2])


@pytest.mark.bus
def test_setup_can_fd_bit_rate_set_saved_and_read_back(can_iface, tmp_path):
    flash = str(tmp_path / "flash.json")
    sim = ["--motor", "0x3c3:0x3d3", "--flash", flash]
    with rotalink_sim.spawn(can_iface, *sim):
        r = run_setup(can_iface, "0x3c3", "--timeout-ms", "1500", "bitrate", "5M", "--force")
        assert r.returncode == 0, r.stderr
        assert r.stdout.splitlines()[0] == "can_br     1000000 -> 1000000/5000000 bit/s"
        assert ("  ip link set %s up type can bitrate 1000000 dbitrate 5000000 fd on" % can_iface
                in r.stdout.splitlines())
    with rotalink_sim.spawn(can_iface, *sim):   # the power cycle
        r = run_setup(can_iface, "0x3c3", "--timeout-ms", "1500", "--json", "show")
        assert r.returncode == 0, r.stderr
        assert json.loads(r.stdout)["shown"]["can_br"] == "1000000/5000000"
        r = run_scan(can_iface, "--ids", "0x3c3", "--timeout-ms", REPLY_MS)
        assert r.returncode == 0, r.stderr
        assert r.stdout.splitlines()[1].endswith("  0x5012    1000000/5000000")


@pytest.mark.bus
def test_setup_refuses_to_write_to_two_motors_answering_as_one(can_iface, sniffer):
    with rotalink_sim.spawn(can_iface, "--motor", "0x3c4:0x3d4"), \
            rotalink_sim.spawn(can_iface, "--motor", "0x3c4:0x3d4"):
        sniffer.drain()
        for argv in (["set", "PMAX=3", "--force"], ["ids", "0x3c5", "0x3d5", "--force"],
                     ["watchdog", "5", "--save"]):
            r = run_setup(can_iface, "0x3c4", "--timeout-ms", "1500", *argv)
            assert r.returncode == 2, r.stderr
            assert "several motors answer as 0x3c4 (2 replies to one read" in r.stderr
            assert "nothing written. Power or connect one new motor at a time" in r.stderr
        assert registers_on_the_wire(sniffer.frames(0.3)) == []
