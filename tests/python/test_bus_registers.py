"""Register access on a real CAN socket against simulated motors:
ensure_mit_mode, read_register over the whole map, write_register and
read_limits."""
import contextlib
import struct
import subprocess
import sys
import time

import pytest

import rotalink
from conftest import REFUSALS, Sniffer

rotalink_sim = pytest.importorskip("rotalink_sim")

pytestmark = pytest.mark.bus

TIMEOUT = "transport error: timeout waiting for frame"
LONG = 2000  # ms; an emulated kernel under load can be slow to answer

# motor id -> (master id, simulator options)
MOTORS = {
    0x0102: (0x61, ["--mode", "pos_vel"]),
    0x0103: (0x62, ["--mode", "mit"]),
    0x0104: (0x63, ["--mode", "pos_vel", "--ignore-writes"]),
    0x0105: (0x64, ["--mode", "mit", "--mode-high-bits"]),
    0x0106: (0x65, ["--mode", "vel", "--answer-reads", "1"]),
    0x0107: (0x66, ["--mode", "pos_vel", "--delay-ms", "300"]),
    0x0108: (0x67, ["--mode", "vel", "--delay-ms", "1500"]),
    0x0109: (0x68, ["--mode", "vel"]),
}
ABSENT = 0x0170
# The register map's motors: three models in one process, and a dm4340
# whose PMAX was changed.
REGISTER_SIMS = [
    ["--motor", "0x0110:0x70:dm3507", "--motor", "0x0111:0x71:dm8009", "--motor", "0x0112:0x72:dm4310"],
    ["--motor", "0x0113:0x73:dm4340", "--register", "PMAX=3.14"],
]
MASTER = {0x0110: 0x70, 0x0111: 0x71, 0x0112: 0x72, 0x0113: 0x73}


def read_request(motor_id):
    return bytes([motor_id & 0xFF, motor_id >> 8, 0x33, 0x0A, 0, 0, 0, 0])


def refresh_request(motor_id):
    return bytes([motor_id & 0xFF, (motor_id >> 8) & 0x7, 0xCC, 0, 0, 0, 0, 0])


def write_request(motor_id, mode):
    return bytes([motor_id & 0xFF, motor_id >> 8, 0x55, 0x0A, mode, 0, 0, 0])


@pytest.fixture(scope="module")
def sims(can_iface):
    with contextlib.ExitStack() as stack:
        for motor_id, (master_id, opts) in MOTORS.items():
            stack.enter_context(
                rotalink_sim.spawn(can_iface, "--motor", f"{motor_id:#x}:{master_id:#x}", *opts)
            )
        for opts in REGISTER_SIMS:
            stack.enter_context(rotalink_sim.spawn(can_iface, *opts))
        yield


@pytest.fixture
def bus(can_iface, sims):
    b = rotalink.SocketCanTransport(can_iface)
    time.sleep(0.05)
    return b


def motor(motor_id, timeout_ms=LONG):
    return rotalink.Damiao(motor_id, MOTORS.get(motor_id, (0x7E,))[0], timeout_ms=timeout_ms)


def register_requests(sniffer, motor_id):
    return [
        (f[1], t)
        for f, t in sniffer.timed_frames()
        if f[0] == 0x7FF and f[1][:2] == bytes([motor_id & 0xFF, motor_id >> 8])
    ]


def switch_requests(motor_id, mode=1):
    return [read_request(motor_id), refresh_request(motor_id), write_request(motor_id, mode), read_request(motor_id)]


def test_switch_reads_refreshes_writes_pauses_and_verifies(bus, sniffer):
    sniffer.drain()
    assert motor(0x0102).ensure_mit_mode(bus) is None
    reqs = register_requests(sniffer, 0x0102)
    assert [r for r, _ in reqs] == switch_requests(0x0102)
    assert reqs[3][1] - reqs[2][1] >= 0.1  # the pause, as the frames hit the bus
    # Now in MIT mode: a second call only reads.
    assert motor(0x0102).ensure_mit_mode(bus=bus) is None
    assert [r for r, _ in register_requests(sniffer, 0x0102)] == [read_request(0x0102)]


def test_motor_already_in_mit_mode_gets_only_the_read(bus, sniffer):
    sniffer.drain()
    t0 = time.monotonic()
    motor(0x0103).ensure_mit_mode(bus)
    assert [r for r, _ in register_requests(sniffer, 0x0103)] == [read_request(0x0103)]
    assert time.monotonic() - t0 < LONG / 1000


@pytest.mark.parametrize(
    "motor_id, reports", [(0x0104, 2), (0x0105, 1)], ids=["write ignored", "value 257"]
)
def test_verification_mismatch(bus, sniffer, motor_id, reports):
    sniffer.drain()
    with pytest.raises(RuntimeError) as info:
        motor(motor_id).ensure_mit_mode(bus)
    assert type(info.value) is RuntimeError
    assert info.value.args == (f"control mode verification failed: wrote 1, motor reports {reports}",)
    sent = [r for r, _ in register_requests(sniffer, motor_id)]
    assert sent == switch_requests(motor_id)
    assert motor(0x0103).ensure_mit_mode(bus) is None  # the bus stays usable


def test_no_reply_times_out_and_writes_nothing(bus, sniffer):
    sniffer.drain()
    t0 = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        motor(ABSENT, timeout_ms=50).ensure_mit_mode(bus)
    assert info.value.args == (TIMEOUT,)
    assert time.monotonic() - t0 >= 0.05
    assert [r for r, _ in register_requests(sniffer, ABSENT)] == [read_request(ABSENT)]


def test_no_reply_to_the_verification_read(bus, sniffer):
    sniffer.drain()
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        motor(0x0106, timeout_ms=300).ensure_mit_mode(bus)
    sent = [r for r, _ in register_requests(sniffer, 0x0106)]
    assert sent == switch_requests(0x0106)


def test_enabled_motor_is_refused_and_keeps_its_mode(bus, sniffer):
    m = motor(0x0109)
    m.enable(bus)
    try:
        sniffer.drain()
        refused = "motor 0x109 reports itself enabled: disable it before changing its control mode"
        with pytest.raises(RuntimeError) as info:
            m.ensure_mode(bus, rotalink.ControlMode.MIT)
        assert info.value.args == (refused,)
        with pytest.raises(rotalink.GroupError) as group_info:
            rotalink.MotorGroup([(bus, m)], timeout_ms=LONG).ensure_mode(rotalink.ControlMode.POS_VEL)
        assert group_info.value.errors == [refused]
        sent = [r for r, _ in register_requests(sniffer, 0x0109)]
        assert sent == [read_request(0x0109), refresh_request(0x0109)] * 2
        assert m.read_mode(bus) == rotalink.ControlMode.VEL
    finally:
        m.disable(bus)
    m.ensure_mode(bus, rotalink.ControlMode.VEL)  # already: only read


def test_queued_reply_is_discarded_before_the_request(bus, sniffer):
    time.sleep(0.1)
    sniffer.send(0x123, bytes.fromhex("7001330A01000000"))  # ABSENT's reply, mode 1
    time.sleep(0.05)  # queued on the bus socket before the request
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        motor(ABSENT, timeout_ms=50).ensure_mit_mode(bus)


# Waits for a read request of one motor, then sends each data argument (hex)
# from 0x011: what another program or motor puts on the bus meanwhile.
ANSWER_AFTER_REQUEST = r"""
import socket, struct, sys
iface, motor_id = sys.argv[1], int(sys.argv[2], 0)
frame = struct.Struct("=IB3x8s")
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((iface,))
s.settimeout(20)
print("ready", flush=True)
while True:
    can_id, _, data = frame.unpack(s.recv(16))
    if can_id == 0x7FF and data[:3] == bytes([motor_id & 0xFF, motor_id >> 8, 0x33]):
        break
for text in sys.argv[3:]:
    data = bytes.fromhex(text)
    s.send(frame.pack(0x011, len(data), data.ljust(8, b"\0")))
"""


def test_frames_off_the_reply_pattern_are_skipped(bus, can_iface):
    time.sleep(0.1)
    sniffer_frames = [
        bytes.fromhex("7001330A010000"),  # 7 bytes
        bytes.fromhex("7001550A01000000"),  # a write, not a read reply
    ]
    s = Sniffer(can_iface)
    try:
        for data in sniffer_frames:
            s.send(0x011, data)
        time.sleep(0.05)
        with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
            motor(ABSENT, timeout_ms=50).ensure_mit_mode(bus)
    finally:
        s.close()
    # After the request: the same, then motor 0x0171's reply saying 2, then
    # ABSENT's saying 1. Only the last is this motor's reply.
    with subprocess.Popen(
        [sys.executable, "-c", ANSWER_AFTER_REQUEST, can_iface, hex(ABSENT),
         "7001330A010000", "7001550A01000000", "7101330A02000000", "7001330A01000000"],
        stdout=subprocess.PIPE, text=True,
    ) as peer:
        assert peer.stdout.readline() == "ready\n"
        assert motor(ABSENT).read_register(bus, rotalink.Register.CTRL_MODE) == 1
        assert peer.wait(timeout=20) == 0


def test_a_late_reply_of_one_motor_is_not_taken_as_anothers(bus):
    # 0x0107's reply (POS_VEL, 2) comes 300 ms late, while 0x0108 (VEL, 3)
    # is still being waited for: it answers 1.5 s after its request.
    with pytest.raises(RuntimeError, match=f"^{TIMEOUT}$"):
        motor(0x0107, timeout_ms=0).read_register(bus, rotalink.Register.CTRL_MODE)
    assert motor(0x0108, timeout_ms=10000).read_register(bus, rotalink.Register.CTRL_MODE) == 3


def test_argument_errors_touch_nothing(bus, sniffer):
    sniffer.drain()
    m = motor(0x0103)
    with pytest.raises(TypeError, match="^argument 'bus': 'int' object cannot be converted to 'SocketCanTransport'$"):
        m.ensure_mit_mode(3)
    with pytest.raises(TypeError, match=r"^Damiao\.ensure_mit_mode\(\) missing 1 required positional argument: 'bus'$"):
        m.ensure_mit_mode()
    assert sniffer.frames(0.1) == []


# ------------------------------------------------- registers and limits

def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def rmotor(motor_id, limits=None):
    return rotalink.Damiao(motor_id, MASTER[motor_id], limits, timeout_ms=LONG)


def test_read_every_register_by_its_kind(bus):
    from rotalink_sim.model import Motor

    model = Motor(0x0110, 0x70, "dm3507")
    m = rmotor(0x0110)
    for reg in rotalink.Register:
        value = m.read_register(bus, reg)
        assert type(value) is (float if reg.is_float else int), reg
        if reg == rotalink.Register.SN:
            # Every simulated motor has a serial number of its own.
            assert value != model.register_value(int(reg))
        else:
            assert value == model.register_value(int(reg)), reg


@pytest.mark.parametrize("register, value, read_back, data", [
    (rotalink.Register.TIMEOUT, 1234, 1234, "12 01 55 09 D2 04 00 00"),
    (rotalink.Register.CTRL_MODE, 3, 3, "12 01 55 0A 03 00 00 00"),
    (rotalink.Register.KP_ASR, 0.1, f32(0.1), "12 01 55 19 CD CC CC 3D"),
    (rotalink.Register.KI_ASR, 2, 2.0, "12 01 55 1A 00 00 00 40"),  # an int for a Float register
])
def test_write_then_read_back(bus, sniffer, register, value, read_back, data):
    m = rmotor(0x0112)
    sniffer.drain()
    assert m.write_register(bus, register, value) is None
    # The motor answers the write too; the read must skip that answer.
    assert m.read_register(bus, register) == read_back
    sent = [f[1] for f in sniffer.frames() if f[0] == 0x7FF]
    assert sent == [bytes.fromhex(data), bytes([0x12, 0x01, 0x33, int(register), 0, 0, 0, 0])]


@pytest.mark.parametrize("register, value, error, message", [
    (rotalink.Register.sw_ver, 1, RuntimeError, "register 14 is read-only"),
    (rotalink.Register.Rs, 1.0, RuntimeError, "register 17 is read-only"),
    (rotalink.Register.MST_ID, 1.5, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    (rotalink.Register.PMAX, float("nan"), ValueError, REFUSALS["register-nan"]),
    (rotalink.Register.TMAX, float("inf"), ValueError, "register 23 (TMAX) takes a finite value"),
    (37, 0, RuntimeError, REFUSALS["register-past-table"]),
])
def test_refused_writes_send_nothing(bus, sniffer, register, value, error, message):
    sniffer.drain()
    with pytest.raises(error) as info:
        rmotor(0x0112).write_register(bus, register, value)
    assert str(info.value) == message
    assert sniffer.frames(0.1) == []


@pytest.mark.parametrize("motor_id, preset, p_max", [
    (0x0110, "dm3507", None),
    (0x0111, "dm8009", None),
    (0x0113, "dm4340", f32(3.14)),  # started with --register PMAX=3.14
])
def test_read_limits(bus, motor_id, preset, p_max):
    want = getattr(rotalink.MitLimits, preset)()
    got = rmotor(motor_id).read_limits(bus)
    fields = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
    assert [getattr(got, f) for f in fields] == [
        p_max if f == "p_max" and p_max is not None else getattr(want, f) for f in fields]
    assert (got.kp_max, got.kd_max) == (500.0, 5.0)
