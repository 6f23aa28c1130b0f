"""The simulator's register map: values per model, writes, limits that scale the codec,
--register presets, and the map against the host module's ``rotalink.Register``.

Runs without a CAN socket, through ``Simulator.handle_frame``.
"""

import contextlib
import json
import math
import os
import struct
import sys
import time

import pytest

try:
    import rotalink_sim
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src"))
    import rotalink_sim

from rotalink_sim import PRESETS, Motor, Simulator, decode_feedback, encode_command, f32
from rotalink_sim.cli import parse_args
from rotalink_sim.model import REGISTERS

ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")


def request(op, reg, word=0, motor_id=1):
    return bytes((motor_id & 0xFF, motor_id >> 8, op, reg)) + struct.pack("<I", word)


def fbits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def ask(sim, op, reg, word=0):
    """The (identifier, data) of the one reply to a register request, or None."""
    out = sim.handle_frame(0x7FF, request(op, reg, word), now=0.0)
    assert len(out) <= 1
    return (out[0].can_id, out[0].data) if out else None


# Reply value bytes of a dm4310 with motor id 1 and master id 0x11.
@pytest.mark.parametrize("model, reg, value_bytes", [
    ("dm4310", 7, "11 00 00 00"),     # MST_ID
    ("dm4310", 8, "01 00 00 00"),     # ESC_ID
    ("dm4310", 9, "00 00 00 00"),     # TIMEOUT
    ("dm4310", 13, "03 00 00 00"),    # hw_ver
    ("dm4310", 14, "12 50 00 00"),    # sw_ver 0x5012
    ("dm4310", 0, "00 00 70 41"),     # UV_Value 15.0, above the least the register takes
    ("dm4310", 5, "00 00 A0 C1"),     # DEC -20.0: a deceleration is negative
    ("dm4310", 16, "0E 00 00 00"),    # NPP 14
    ("dm4310", 35, "04 00 00 00"),    # can_br
    ("dm4310", 36, "02 00 00 00"),    # sub_ver
    ("dm4310", 12, "6F 12 03 3B"),    # Inertia: float32 0.002, the rotor model's
    ("dm4310", 20, "00 00 20 41"),    # Gr 10.0
    ("dm4310", 21, "00 00 48 41"),    # PMAX 12.5
    ("dm4310", 22, "00 00 F0 41"),    # VMAX 30.0
    ("dm4310", 23, "00 00 20 41"),    # TMAX 10.0
    ("dm3507", 21, "56 0E 49 41"),    # PMAX: the float32 nearest 12.566
    ("dmh3510", 22, "00 00 8C 43"),   # VMAX 280.0
    ("dmh3510", 23, "00 00 80 3F"),   # TMAX 1.0
])
def test_register_read_vectors(model, reg, value_bytes):
    sim = Simulator(None, [Motor(1, 0x11, model)])
    assert ask(sim, 0x33, reg) == (0x011, bytes((1, 0, 0x33, reg)) + bytes.fromhex(value_bytes))


@pytest.mark.parametrize("model", sorted(PRESETS))
def test_every_register_of_every_model_is_answered_with_its_kind(model):
    m = Motor(0x0102, 0x0345, model)
    sim = Simulator(None, [m])
    lim = PRESETS[model]
    for reg in REGISTERS.values():
        out = sim.handle_frame(0x7FF, request(0x33, reg.number, motor_id=0x0102), now=0.0)
        assert len(out) == 1 and out[0].can_id == 0x345, reg
        data = out[0].data
        assert data[:4] == bytes((0x02, 0x01, 0x33, reg.number)), reg
        value = struct.unpack("<f" if reg.is_float else "<I", data[4:])[0]
        assert value == m.register_value(reg.number), reg
        if reg.is_float:
            assert math.isfinite(value), reg
    assert [m.register_value(n) for n in (7, 8)] == [0x0345, 0x0102]
    assert [m.register_value(n) for n in (21, 22, 23)] == [lim.p_max, lim.v_max, lim.t_max]
    assert 1 <= m.register_value(16) <= 50 and m.register_value(20) >= 1.0  # NPP, Gr


NAN_BITS = 0x7FC00001
# (register, word written, word held afterwards; None: the default stays)
WRITES = [
    (9, 500, 500),                        # TIMEOUT
    (35, 9, 9),                           # can_br: CAN FD at 1M/5M bit/s
    (35, 10, None),                       # can_br takes codes 0..9 only
    (7, 0x22, 0x22),                      # MST_ID: stored only
    (8, 0x7FF, 0x7FF),                    # ESC_ID: stored only
    (4, fbits(1.5), fbits(1.5)),          # ACC
    (34, NAN_BITS, None),                 # a NaN lies in no register's range
    (21, fbits(3.0), fbits(3.0)),         # PMAX
    (21, fbits(0.0), None),               # a limit must be positive and finite
    (22, fbits(-5.0), None),
    (23, fbits(math.inf), None),
    (23, NAN_BITS, None),
    (10, 0, None),                        # CTRL_MODE takes 1..4 only
    (13, 7, None),                        # read-only: hw_ver, SN, NPP, Rs, Gr
    (15, 7, None),
    (16, 7, None),
    (17, fbits(2.0), None),
    (20, fbits(2.0), None),
]


@pytest.mark.parametrize("reg, word, held", WRITES)
def test_register_writes_are_stored_or_refused(reg, word, held):
    sim = Simulator(None, [Motor(1, 0x11)])
    before = ask(sim, 0x33, reg)[1][4:]
    expected = before if held is None else struct.pack("<I", held)
    assert ask(sim, 0x55, reg, word) == (0x011, bytes((1, 0, 0x55, reg)) + expected)
    assert ask(sim, 0x33, reg)[1][4:] == expected
    # whatever MST_ID and ESC_ID hold, the motor keeps its identifiers
    out = sim.handle_frame(0x001, ENABLE, now=0.0)
    assert [tx.can_id for tx in out] == [0x011]


def test_ignore_writes_leaves_every_register():
    sim = Simulator(None, [Motor(1, 0x11)], ignore_writes=True)
    for reg, word, _ in WRITES:
        before = ask(sim, 0x33, reg)[1]
        assert ask(sim, 0x55, reg, word)[1][4:] == before[4:]


@pytest.mark.parametrize("how", ["write", "preset"])
@pytest.mark.parametrize("reg, field, value", [(21, "p_max", 3.0), (22, "v_max", 5.0),
                                               (23, "t_max", 4.0)])
def test_limit_registers_scale_commands_and_feedback(how, reg, field, value):
    if how == "write":
        m = Motor(1, 0x11)
        sim = Simulator(None, [m])
        ask(sim, 0x55, reg, fbits(value))
    else:
        _, (m,), _ = parse_args(["vcan0", "--motor", "1:0x11",
                                 "--register", "%d=%r" % (reg, value)])
        sim = Simulator(None, [m])
    new = PRESETS["dm4310"]._replace(**{field: value})
    assert m.limits == new
    sim.handle_frame(0x001, ENABLE, now=0.0)
    m.position, m.velocity = 2.0, 2.0
    out = sim.handle_frame(0x001, encode_command(new, tau=2.0), now=0.0)
    fb = decode_feedback(new, out[0].data)
    for got, m_ in zip(fb[2:5], (new.p_max, new.v_max, new.t_max)):
        assert abs(got - 2.0) <= 2 * 2 * m_ / 4095, fb
    if field == "p_max":
        assert out[0].data[1:3] == bytes.fromhex("D554")  # (3 + 2) * 65535 / 6, truncated


@pytest.mark.parametrize("args, expected", [
    (["PMAX=3.14"], {21: f32(3.14)}),
    (["pmax=3.14", "21=2"], {21: 2.0}),                          # the last one counts
    (["0x15=1e1"], {21: 10.0}),
    (["MST_ID=0x12", "ESC_ID=9"], {7: 0x12, 8: 9}),
    (["sw_ver=0x5013", "SN=0", "Rs=1.25"], {14: 0x5013, 15: 0, 17: 1.25}),  # read-only too
    (["CTRL_MODE=2"], {10: 2}),                                  # after --mode mit
    (["DEC=-0.5", "TIMEOUT=4294967295"], {5: -0.5, 9: 0xFFFFFFFF}),
])
def test_register_presets_apply_to_every_motor(args, expected):
    argv = ["vcan0", "--motor", "1:0x11", "--motor", "2:0x12:dm8009", "--mode", "mit"]
    for a in args:
        argv += ["--register", a]
    _, motors, _ = parse_args(argv)
    for m in motors:
        assert {n: m.register_value(n) for n in expected} == expected
    assert [(m.command_id, m.reply_id) for m in motors] == [(1, 0x11), (2, 0x12)]


@pytest.mark.parametrize("arg", ["PMAX", "PMAX=0", "VMAX=nan", "TMAX=-1", "TMAX=inf",
                                 "PMAX=x", "sw_ver=1.5", "NPP=-1", "NPP=0x100000000",
                                 "CTRL_MODE=0", "CTRL_MODE=5", "foo=1", "37=1", "=1",
                                 "KI_APR=-0.5", "DEC=0", "can_br=10", "MST_ID=0x800"])
def test_register_presets_rejected(arg, capsys):
    with pytest.raises(SystemExit) as exc:
        parse_args(["vcan0", "--motor", "1:0x11", "--register", arg])
    assert exc.value.code == 2
    assert "--register" in capsys.readouterr().err


FLT_MAX = 3.4028234663852886e38
U32_MAX = 0xFFFFFFFF
# The maker's documented range of every writable register: (name, low, low
# included, high, high included).
DOCUMENTED = [
    ("UV_Value", 10.0, False, FLT_MAX, True), ("KT_Value", 0.0, True, FLT_MAX, True),
    ("OT_Value", 80.0, True, 200.0, False), ("OC_Value", 0.0, False, 1.0, False),
    ("ACC", 0.0, False, FLT_MAX, False), ("DEC", -FLT_MAX, True, 0.0, False),
    ("MAX_SPD", 0.0, False, FLT_MAX, True), ("MST_ID", 0, True, 0x7FF, True),
    ("ESC_ID", 0, True, 0x7FF, True), ("TIMEOUT", 0, True, U32_MAX, True),
    ("CTRL_MODE", 1, True, 4, True), ("PMAX", 0.0, False, FLT_MAX, True),
    ("VMAX", 0.0, False, FLT_MAX, True), ("TMAX", 0.0, False, FLT_MAX, True),
    ("I_BW", 100.0, True, 10000.0, True), ("KP_ASR", 0.0, True, FLT_MAX, True),
    ("KI_ASR", 0.0, True, FLT_MAX, True), ("KP_APR", 0.0, True, FLT_MAX, True),
    ("KI_APR", 0.0, True, FLT_MAX, True), ("OV_Value", 0.0, False, FLT_MAX, True),
    ("GREF", 0.0, False, 1.0, True), ("Deta", 1.0, True, 10.0, True),
    ("V_BW", 0.0, False, 500.0, False), ("IQ_c1", 100.0, True, 10000.0, True),
    ("VL_c1", 0.0, False, 10000.0, True), ("can_br", 0, True, 9, True),
]


def beside(x, up):
    """The float32 next to ``x`` upward or downward (an infinity past FLT_MAX)."""
    if x == 0.0:
        return struct.unpack("<f", struct.pack("<I", 1))[0] * (1 if up else -1)
    return struct.unpack("<f", struct.pack("<I", fbits(x) + (1 if (x > 0) == up else -1)))[0]


@pytest.mark.parametrize("name, low, low_in, high, high_in", DOCUMENTED)
def test_writes_keep_to_the_documented_ranges(name, low, low_in, high, high_in):
    reg = next(r for r in REGISTERS.values() if r.name == name)
    if reg.is_float:
        word = fbits
        edges = [(low, low_in), (beside(low, False), False), (beside(low, True), True),
                 (high, high_in), (beside(high, True), False), (beside(high, False), True),
                 (math.nan, False)]
    else:
        word = int
        edges = [(low, True), (low - 1, False), (high, True), (high + 1, False)]
        edges = [(v, ok) for v, ok in edges if 0 <= v <= U32_MAX]
    sim = Simulator(None, [Motor(1, 0x11)])
    got = []
    for value, accepted in edges:
        echo = ask(sim, 0x55, reg.number, word(value))[1][4:]
        held = ask(sim, 0x33, reg.number)[1][4:]
        assert echo == held  # a refused write echoes the value kept
        got.append(held == struct.pack("<I", word(value)))
        # a preset keeps to the range too
        with contextlib.nullcontext() if accepted else pytest.raises(ValueError):
            Motor(1, 0x11, registers={name: value})
    assert got == [accepted for _, accepted in edges]


def test_ranges_cover_the_writable_registers_and_defaults_lie_inside():
    from rotalink_sim.model import RANGES

    assert sorted(REGISTERS[n].name for n in RANGES) == sorted(
        r.name for r in REGISTERS.values() if r.writable) == sorted(d[0] for d in DOCUMENTED)
    for model in PRESETS:
        for mode in ("mit", "force_pos"):
            m = Motor(0x7FF, 0x7FE, model, mode=mode)
            for name, low, low_in, high, high_in in DOCUMENTED:
                v = m.register_value(next(n for n, r in REGISTERS.items() if r.name == name))
                assert (low < v or (low_in and v == low)) and (v < high or (high_in and v == high)), \
                    (model, name, v)
            assert m.register_value(29) > m.register_value(0)  # OV_Value above UV_Value


@pytest.mark.parametrize("code, rates, shown", [
    (0, (125000, None), "125k"), (1, (200000, None), "200k"), (2, (250000, None), "250k"),
    (3, (500000, None), "500k"), (4, (1000000, None), "1M"),
    (5, (1000000, 2000000), "FD 1M/2M"), (6, (1000000, 2500000), "FD 1M/2.5M"),
    (7, (1000000, 3200000), "FD 1M/3.2M"), (8, (1000000, 4000000), "FD 1M/4M"),
    (9, (1000000, 5000000), "FD 1M/5M"),
])
def test_can_br_codes_classic_and_fd(code, rates, shown):
    from rotalink_sim.cli import build_parser
    from rotalink_sim.model import CAN_BR_CODES

    assert CAN_BR_CODES[code] == rates
    sim = Simulator(None, [Motor(1, 0x11)])
    assert ask(sim, 0x55, 35, code)[1][4:] == struct.pack("<I", code)
    assert " %d %s " % (code, shown) in build_parser().format_help().replace("\n", " ")


def test_serial_numbers_are_each_motors_own(tmp_path):
    import subprocess

    from rotalink_sim.process import child_env

    a, b = Motor(1, 0x11), Motor(1, 0x11)
    assert a.register_value(15) != b.register_value(15)
    assert ask(Simulator(None, [a]), 0x33, 15)[1][4:] == struct.pack("<I", a.register_value(15))
    # two simulator processes started alike, running at once, differ too
    code = ("from rotalink_sim.cli import parse_args; import sys; "
            "print([m.register_value(15) for m in parse_args(sys.argv[1:])[1]], flush=True); "
            "sys.stdin.read()")
    procs = [subprocess.Popen([sys.executable, "-c", code, "vcan0", "--motor", "1:0x11",
                               "--motor", "2:0x12"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=child_env())
             for _ in range(2)]
    serials = [p.stdout.readline() for p in procs]
    for p in procs:
        p.communicate("")
    serials = [s for line in serials for s in json.loads(line)]
    assert len(set(serials)) == 4, serials
    # a preset or a flash file gives another, kept for the motor's life
    _, (m,), _ = parse_args(["vcan0", "--motor", "1:0x11", "--register", "SN=0x44D30001"])
    assert m.register_value(15) == 0x44D30001 and m.flash_registers()["SN"] == 0x44D30001
    path = str(tmp_path / "flash.json")
    assert m.save(path)
    _, (m,), _ = parse_args(["vcan0", "--motor", "1:0x11", "--flash", path])
    assert m.register_value(15) == 0x44D30001


def test_register_map_matches_the_host_module():
    import rotalink  # imported here: the tests above need only the simulator

    host = [(int(r), r.name, r.is_float, r.writable) for r in rotalink.Register]
    sim = [(r.number, r.name, r.is_float, r.writable) for r in REGISTERS.values()]
    assert sorted(host) == sim


@pytest.mark.bus
def test_host_reads_and_writes_the_simulated_map(can_iface):
    """The host module reads every register of a misconfigured simulated motor, on a bus."""
    import rotalink

    args = ["--motor", "0x0151:0x71:dm8009", "--register", "PMAX=3.14",
            "--register", "MST_ID=0x12", "--register", "sw_ver=0x5013"]
    _, (model,), _ = parse_args([can_iface] + args)
    with rotalink_sim.spawn(can_iface, *args):
        bus = rotalink.SocketCanTransport(can_iface)
        motor = rotalink.Damiao(0x0151, 0x71, timeout_ms=2000)
        got = {int(r): motor.read_register(bus, r) for r in rotalink.Register}
        # the serial number is the simulated motor's own, not the one built here
        assert got.pop(15) != model.register_value(15)
        assert got == {n: model.register_value(n) for n in REGISTERS if n != 15}
        lim = motor.read_limits(bus)
        assert (lim.p_max, lim.v_max, lim.t_max) == (f32(3.14), 45.0, 54.0)
        motor.write_register(bus, rotalink.Register.TMAX, 20.0)
        deadline = time.monotonic() + 2.0  # the write is not awaited
        while motor.read_register(bus, rotalink.Register.TMAX) != 20.0:
            assert time.monotonic() < deadline
            time.sleep(0.01)
