"""Unit tests of the motor simulator that need no CAN socket.

The codec is checked against known byte vectors (it doubles as an independent
cross-check of the host's float32 codec), frame handling is driven through
``Simulator.handle_frame``, and the bus loop runs over a local datagram socket
pair that carries ``struct can_frame`` records.
"""

import json
import math
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

try:
    import rotalink_sim
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src"))
    import rotalink_sim

from rotalink_sim import (
    PRESETS,
    Limits,
    Motor,
    Simulator,
    SimulatorNotReady,
    Tx,
    decode_command,
    decode_feedback,
    encode_command,
    encode_feedback,
    f32,
    spawn,
)
from rotalink_sim import model
from rotalink_sim import sim as sim_module
from rotalink_sim.cli import parse_args
from rotalink_sim.model import FAULTS, fault_code
from rotalink_sim.process import child_env
from rotalink_sim.sim import CAN_EFF_FLAG, CAN_ERR_FLAG, CAN_RTR_FLAG, pack_frame, unpack_frame

DEFAULT = Limits(12.5, 30.0, 500.0, 5.0, 10.0)
ENABLE = bytes.fromhex("FFFFFFFFFFFFFFFC")
DISABLE = bytes.fromhex("FFFFFFFFFFFFFFFD")
SET_ZERO = bytes.fromhex("FFFFFFFFFFFFFFFE")
CLEAR_ERROR = bytes.fromhex("FFFFFFFFFFFFFFFB")
# Feedback of a motor at rest at position 0 (motor id nibble 1, status 0 disabled,
# 30/32 degrees), and of the same motor enabled (status 1).
AT_REST = bytes.fromhex("017FFF7FF7FF1E20")
ENABLED = bytes.fromhex("117FFF7FF7FF1E20")


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


# --- float32 helper --------------------------------------------------------

@pytest.mark.parametrize("value, expected_bits", [
    (12.566, 0x41490E56),
    (0.1, 0x3DCCCCCD),
    (1.0 + 2.0 ** -24, 0x3F800000),            # tie rounds to even (down)
    (1.0 + 3 * 2.0 ** -24, 0x3F800002),        # tie rounds to even (up)
    (3.4028234663852886e38, 0x7F7FFFFF),       # largest finite float32
    (2.0 ** 128 - 2.0 ** 104 + 2.0 ** 102, 0x7F7FFFFF),  # above it, rounds down to it
    (2.0 ** 128 - 2.0 ** 103, 0x7F800000),     # halfway: ties to even, i.e. inf
    (1e39, 0x7F800000),
    (-1e39, 0xFF800000),
    (-0.0, 0x80000000),
    (1e-46, 0x00000000),                       # underflow to zero
])
def test_f32_rounds_to_nearest_float32(value, expected_bits):
    assert bits(f32(value)) == expected_bits


def test_f32_keeps_nan():
    assert math.isnan(f32(math.nan))


# --- MIT command codec -----------------------------------------------------

INF = math.inf
NAN = math.nan


@pytest.mark.parametrize("limits, setpoint, expected", [
    (DEFAULT, (0, 0, 0, 0, 0), "7F FF 7F F0 00 00 07 FF"),
    (DEFAULT, (1, -2, 50, 1, 3), "8A 3C 77 71 99 33 3A 65"),
    (DEFAULT, (12.5, 30, 500, 5, 10), "FF FE FF FF FF FF FF FF"),
    (DEFAULT, (-12.5, -30, 0, 0, -10), "00 00 00 00 00 00 00 00"),
    (DEFAULT, (20, 40, 600, 6, -20), "FF FF FF FF FF FF F0 00"),
    (DEFAULT, (NAN, 0, 0, 0, 0), "00 00 7F F0 00 00 07 FF"),
    (DEFAULT, (0, 0, NAN, NAN, NAN), "7F FF 7F F0 00 00 00 00"),
    # each field alone at its top, the others at the bottom: bit placement
    (DEFAULT, (12.5, -30, 0, 0, -10), "FF FF 00 00 00 00 00 00"),
    (DEFAULT, (-12.5, 30, 0, 0, -10), "00 00 FF F0 00 00 00 00"),
    (DEFAULT, (-12.5, -30, 500, 0, -10), "00 00 00 0F FF 00 00 00"),
    (DEFAULT, (-12.5, -30, 0, 5, -10), "00 00 00 00 00 FF F0 00"),
    (DEFAULT, (-12.5, -30, 0, 0, 10), "00 00 00 00 00 00 0F FF"),
    # a zero limit gives raw 0 whatever the setpoint (0/0 is NaN)
    ((0, 30, 500, 5, 10), (5, 0, 0, 0, 0), "00 00 7F F0 00 00 07 FF"),
    ((12.5, 30, 0, 5, 10), (0, 0, 7, 0, 0), "7F FF 7F F0 00 00 07 FF"),
    # an infinite limit: inf/inf and finite/inf give raw 0
    ((INF, 30, INF, 5, 10), (1, 0, 3, 0, 0), "00 00 7F F0 00 00 07 FF"),
    # the dm3507 position limit is the float32 nearest 12.566
    (PRESETS["dm3507"], (12.566, 50, 500, 5, 5), "FF FE FF FF FF FF FF FF"),
])
def test_encode_command_vectors(limits, setpoint, expected):
    assert encode_command(limits, *setpoint) == h(expected)


@pytest.mark.parametrize("limits, name", [
    ((-1.0, 30, 500, 5, 10), "p_max"),
    ((12.5, 30, 500, -2.0, 10), "kd_max"),
    ((12.5, 30, 500, 5, NAN), "t_max"),
    ((NAN, -1.0, 500, 5, 10), "p_max"),   # the first failing limit is reported
])
def test_encode_command_rejects_negative_or_nan_limits(limits, name):
    with pytest.raises(ValueError, match=name):
        encode_command(limits, 0, 0, 0, 0, 0)


def test_encode_command_accepts_negative_zero_limit():
    assert encode_command((-0.0, 30, 500, 5, 10)) == h("00 00 7F F0 00 00 07 FF")


@pytest.mark.parametrize("payload, expected", [
    ("7F FF 7F F0 00 00 07 FF", (-0.00019073486328125, -0.0073261260986328125, 0.0, 0.0,
                                 -0.0024423599243164062)),
    ("FF FF FF FF FF FF FF FF", (12.5, 30.0, 500.0, 5.0, 10.0)),
    ("00 00 00 00 00 00 00 00", (-12.5, -30.0, 0.0, 0.0, -10.0)),
])
def test_decode_command_vectors(payload, expected):
    assert tuple(decode_command(DEFAULT, h(payload))) == expected


# --- feedback codec --------------------------------------------------------

@pytest.mark.parametrize("payload, expected", [
    ("11 7F FF 7F F7 FF 1E 20", (1, 1, -0.00019073486, -0.0073261261, -0.00244236, 30, 32)),
    ("01 FF FF FF FF FF 00 00", (1, 0, 12.5, 30.0, 10.0, 0, 0)),
    ("01 00 00 00 00 00 00 00", (1, 0, -12.5, -30.0, -10.0, 0, 0)),
    ("F3 80 00 80 08 00 FF 7F", (3, 15, 0.00019073486, 0.0073261261, 0.00244236, 255, 127)),
])
def test_decode_feedback_vectors(payload, expected):
    fb = decode_feedback(DEFAULT, h(payload))
    assert (fb.motor_id, fb.error, fb.t_mos, fb.t_rotor) == (
        expected[0], expected[1], expected[5], expected[6])
    # each float is the float32 nearest the given decimal
    assert [bits(v) for v in (fb.position, fb.velocity, fb.torque)] == [
        bits(f32(v)) for v in expected[2:5]]


def test_decode_feedback_reads_only_first_eight_bytes():
    assert decode_feedback(DEFAULT, h("11 7F FF 7F F7 FF 1E 20 AA BB CC DD")) == \
        decode_feedback(DEFAULT, h("11 7F FF 7F F7 FF 1E 20"))


@pytest.mark.parametrize("fields, expected", [
    ((1, 0, 0.0, 0.0, 0.0, 30, 32), "01 7F FF 7F F7 FF 1E 20"),
    ((0x12, 0x1F, 100.0, -100.0, 100.0, 0x1FF, 7), "F2 FF FF 00 0F FF FF 07"),
    ((0, 0, 12.5, -30.0, -10.0, 0, 0), "00 FF FF 00 00 00 00 00"),
    ((0, 0, -12.5, 30.0, -10.0, 0, 0), "00 00 00 FF F0 00 00 00"),
    ((0, 0, -12.5, -30.0, 10.0, 0, 0), "00 00 00 00 0F FF 00 00"),
    ((0, 0, NAN, 0.0, 0.0, 0, 0), "00 00 00 7F F7 FF 00 00"),
])
def test_encode_feedback_vectors(fields, expected):
    assert encode_feedback(DEFAULT, *fields) == h(expected)


SAMPLES = (-1.0, -0.7, -0.31, -0.01, 0.0, 0.013, 0.25, 0.5, 0.9, 0.999, 1.0)


@pytest.mark.parametrize("model", sorted(PRESETS))
def test_command_round_trip_within_one_step(model):
    lim = PRESETS[model]
    for a in SAMPLES:
        g = abs(a)
        sp = (a * lim.p_max, a * lim.v_max, g * lim.kp_max, g * lim.kd_max, a * lim.t_max)
        back = decode_command(lim, encode_command(lim, *sp))
        steps = (2 * lim.p_max / 65535, 2 * lim.v_max / 4095, lim.kp_max / 4095,
                 lim.kd_max / 4095, 2 * lim.t_max / 4095)
        for want, got, step in zip(sp, back, steps):
            # truncation: the decoded value is at most one step below the input
            assert want - step * 1.001 <= got <= want + step * 1e-3, (model, want, got)


@pytest.mark.parametrize("model", sorted(PRESETS))
def test_feedback_round_trip_within_one_step(model):
    lim = PRESETS[model]
    for a in SAMPLES:
        state = (a * lim.p_max, a * lim.v_max, a * lim.t_max)
        fb = decode_feedback(lim, encode_feedback(lim, 5, 9, *state, 40, 41))
        assert (fb.motor_id, fb.error, fb.t_mos, fb.t_rotor) == (5, 9, 40, 41)
        for want, got, m, k in zip(state, fb[2:5], (lim.p_max, lim.v_max, lim.t_max),
                                   (65535, 4095, 4095)):
            step = 2 * m / k
            assert want - step * 1.001 <= got <= want + step * 1e-3, (model, want, got)


@pytest.mark.parametrize("model", sorted(PRESETS))
def test_command_raw_values_survive_decode_and_reencode(model):
    lim = PRESETS[model]
    for payload in (h("00 00 00 00 00 00 00 00"), h("FF FF FF FF FF FF FF FF"),
                    h("8A 3C 77 71 99 33 3A 65"), h("12 34 56 78 9A BC DE F0")):
        again = encode_command(lim, *decode_command(lim, payload))
        # raw values come back equal or one below (truncation), never above
        for field in range(5):
            r0, r1 = _raw_fields(payload)[field], _raw_fields(again)[field]
            assert r1 in (r0, r0 - 1), (model, payload.hex(), field)


def _raw_fields(d):
    return ((d[0] << 8) | d[1], (d[2] << 4) | (d[3] >> 4), ((d[3] & 0xF) << 8) | d[4],
            (d[5] << 4) | (d[6] >> 4), ((d[6] & 0xF) << 8) | d[7])


def test_presets_table():
    assert len(PRESETS) == 15
    assert bits(PRESETS["dm3507"].p_max) == 0x41490E56
    assert PRESETS["dm3507"].p_max != 12.566
    assert PRESETS["dm4310"] == DEFAULT
    assert PRESETS["dm4340p"] == PRESETS["dm4340"]
    assert PRESETS["dmh6220"] == PRESETS["dmg6215"]
    assert PRESETS["dmh3510"] == (12.5, 280.0, 500.0, 5.0, 1.0)
    assert PRESETS["dm10010l"] == (12.5, 25.0, 500.0, 5.0, 200.0)


def test_presets_are_the_modules():
    # The simulator runs without the extension and so keeps its own copy of
    # the presets: it must be the module's, name for name, bit for bit, in order.
    pytest.importorskip("rotalink")
    from conftest import module_presets
    want = [(name, tuple(bits(getattr(lim, f)) for f in Limits._fields)) for name, lim in module_presets().items()]
    assert [(name, tuple(bits(v) for v in lim)) for name, lim in PRESETS.items()] == want


def _frame(frame):
    ident, data = frame
    return ident, bytes(data)


_ID = 0x0123  # a motor_id with both bytes set
# The simulator keeps its own wire table, the check of the native module's:
# (what, the native module's, the simulator's); any difference fails.
WIRE_TABLE = [
    ("registers",
     lambda rl: sorted((int(r), r.name, r.is_float, r.writable) for r in rl.Register),
     lambda: [(r.number, r.name, r.is_float, r.writable) for r in model.REGISTERS.values()]),
    ("special command bytes", lambda rl: dict(rl.SPECIAL_COMMANDS),
     lambda: model.SPECIAL_COMMANDS),
    ("special command frames on each mode's identifier",
     lambda rl: {(name, int(mode)): _frame(getattr(rl, name + "_frame")(_ID, mode))
                 for name in rl.SPECIAL_COMMANDS for mode in rl.ControlMode},
     lambda: {(name, mode): (_ID + model.WIRE[mode].offset, model.special_payload(cmd))
              for name, cmd in model.SPECIAL_COMMANDS.items() for mode in model.WIRE}),
    ("status and fault codes", lambda rl: sorted(int(s) for s in rl.Status),
     lambda: sorted([model.STATUS_DISABLED, model.STATUS_ENABLED, *model.FAULTS])),
    ("mode numbers", lambda rl: {m.name.lower(): int(m) for m in rl.ControlMode},
     lambda: model.CONTROL_MODES),
    ("mode identifier offsets", lambda rl: {int(m): m.id_offset for m in rl.ControlMode},
     lambda: {mode: wire.offset for mode, wire in model.WIRE.items()}),
    ("register identifier and operations",
     lambda rl: (rl.REGISTER_ID, rl.REGISTER_READ_OP, rl.REGISTER_WRITE_OP),
     lambda: (sim_module.REGISTER_ID, sim_module.OP_READ, sim_module.OP_WRITE)),
    ("register read frames",
     lambda rl: [_frame(rl.read_register_frame(_ID, r)) for r in rl.Register],
     lambda: [(sim_module.REGISTER_ID, bytes((0x23, 0x01, sim_module.OP_READ, n, 0, 0, 0, 0)))
              for n in model.REGISTERS]),
    ("refresh frame", lambda rl: _frame(rl.refresh_frame(_ID)),
     lambda: (model.REFRESH_ID, bytes((0x23, 0x01, model.REFRESH_OP, 0, 0, 0, 0, 0)))),
    ("save frame", lambda rl: _frame(rl.save_parameters_frame(_ID)),
     lambda: (model.REFRESH_ID, bytes((0x23, 0x01, model.SAVE_OP, model.SAVE_ARG, 0, 0, 0, 0)))),
    ("can_br codes", lambda rl: dict(rl.CAN_BIT_RATES), lambda: model.CAN_BR_CODES),
    ("TIMEOUT unit", lambda rl: rl.TIMEOUT_UNIT_US, lambda: model.TIMEOUT_UNIT_US),
]


@pytest.mark.parametrize("what, native, own", WIRE_TABLE, ids=[row[0] for row in WIRE_TABLE])
def test_wire_table_is_the_native_modules(what, native, own):
    rotalink = pytest.importorskip("rotalink")
    assert native(rotalink) == own()


# --- command line ----------------------------------------------------------

@pytest.mark.parametrize("argv, expected", [
    (["vcan0", "--motor-id", "1", "--master-id", "0x11"], [(1, 0x11, "dm4310")]),
    (["vcan0", "--motor-id", "0x801", "--master-id", "17", "--model", "DM8009"],
     [(0x801, 17, "dm8009")]),
    (["vcan0", "--motor", "1:0x11", "--motor", "0x2:0x12:dmh3510"],
     [(1, 0x11, "dm4310"), (2, 0x12, "dmh3510")]),
    (["vcan0", "--motor-id", "3", "--master-id", "0x13", "--motor", "4:0x14:dm3507"],
     [(3, 0x13, "dm4310"), (4, 0x14, "dm3507")]),
    (["vcan0", "--motor", "010:0xFFFF"], [(10, 0xFFFF, "dm4310")]),
    (["vcan0", "--motor-id", "1", "--master-id", "2", "--model", "DM4310"], [(1, 2, "dm4310")]),
    (["vcan0", "--motor", "1:2:DmH3510"], [(1, 2, "dmh3510")]),
])
def test_parser_motors(argv, expected):
    _, motors, _ = parse_args(argv)
    assert [(m.motor_id, m.master_id, m.model) for m in motors] == expected


def test_parser_options_and_initial_state():
    ns, motors, opts = parse_args([
        "can1", "--motor", "1:0x11", "--motor", "2:0x12", "--mode", "pos_vel", "--error", "0xA",
        "--t-mos", "40", "--t-rotor", "0x2A", "--delay-ms", "2.5", "--drop-every", "3",
        "--short-reply", "0", "--foreign-first", "2", "--flood", "0", "--answer-reads", "1",
        "--ignore-writes", "--late-reply", "--exit-after", "1.5", "--ignore-disables", "2"])
    assert ns.iface == "can1" and ns.exit_after == 1.5 and opts["ignore_disables"] == 2
    assert [(m.mode, m.error, m.t_mos, m.t_rotor) for m in motors] == [(2, 10, 40, 42)] * 2
    assert opts["delay_ms"] == 2.5 and opts["drop_every"] == 3 and opts["short_reply"] == 0
    assert opts["foreign_first"] == 2 and opts["flood"] == 0.0 and opts["answer_reads"] == 1
    assert opts["ignore_writes"] and opts["late_reply"] and not opts["silent"]
    Simulator(ns.iface, motors, **opts)  # the options are what Simulator takes


@pytest.mark.parametrize("argv", [
    ["vcan0"],                                                   # no motor
    ["vcan0", "--motor-id", "1"],                                # no master id
    ["vcan0", "--master-id", "1", "--motor", "1:2"],             # master id without motor id
    ["vcan0", "--motor", "1"],
    ["vcan0", "--motor", "1:2:3:4"],
    ["vcan0", "--motor", "1:2:dm9999"],
    ["vcan0", "--motor", "0x10000:1"],
    ["vcan0", "--motor", "1:0x11", "--motor", "1:0x12"],         # duplicate motor id
    ["vcan0", "--motor", "1:0x11", "--error", "16"],
    ["vcan0", "--motor", "1:0x11", "--t-mos", "256"],
    ["vcan0", "--motor", "1:0x11", "--short-reply", "8"],
    ["vcan0", "--motor", "1:0x11", "--drop-every", "0"],
    ["vcan0", "--motor", "1:0x11", "--delay-ms", "-1"],
    ["vcan0", "--motor", "1:0x11", "--delay-ms", "nan"],
    ["vcan0", "--motor", "1:0x11", "--mode", "torque"],
    ["vcan0", "--motor", "1:0x11", "--ignore-disables", "-1"],
])
def test_parser_rejects(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        parse_args(argv)
    assert exc.value.code == 2


@pytest.mark.parametrize("args, start_code, trips", [
    ([], 0, []),
    (["--fault", "overload"], 14, []),
    (["--fault", "Over-Voltage@1.5"], 0, [(1.5, 8)]),
    (["--fault", "MOS_OVER_TEMPERATURE@0", "--fault", "0xD@2"], 0, [(0.0, 11), (2.0, 13)]),
    (["--fault", "12", "--fault", "overcurrent@1"], 12, [(1.0, 10)]),
    (["--error", "9"], 9, []),   # a fault code given to --error is a fault
])
def test_parser_faults(args, start_code, trips):
    _, (m,), _ = parse_args(["vcan0", "--motor", "1:0x11"] + args)
    assert (m.error, m.enabled) == (start_code, False)
    m.arm_faults(100.0)
    for after, code in trips:
        m.advance(100.0 + after - 0.001)
        assert m.error != code
        m.advance(100.0 + after)
        assert m.error == code


@pytest.mark.parametrize("value, message", [
    ("overheat", "unknown fault 'overheat' (choose from over-voltage, under-voltage, "
                 "over-current, mos-over-temperature, coil-over-temperature, "
                 "communication-lost, overload, or a code 8..14)"),
    ("7", "unknown fault '7'"),
    ("15@1", "unknown fault '15'"),
    ("@1", "unknown fault ''"),
    ("overload@", "the time in 'overload@' must be seconds"),
    ("overload@-1", "the time in 'overload@-1' must be seconds"),
    ("overload@inf", "the time in 'overload@inf' must be seconds"),
])
def test_parser_refuses_faults(value, message, capsys):
    with pytest.raises(SystemExit) as exc:
        parse_args(["vcan0", "--motor", "1:0x11", "--fault", value])
    assert exc.value.code == 2
    assert "error: argument --fault: " + message in capsys.readouterr().err


def test_fault_names_and_codes():
    assert FAULTS == {8: "over-voltage", 9: "under-voltage", 10: "over-current",
                      11: "mos-over-temperature", 12: "coil-over-temperature",
                      13: "communication-lost", 14: "overload"}
    for code, name in FAULTS.items():
        for spelling in (name, name.upper(), name.replace("-", ""), name.replace("-", "_"),
                         str(code), code):
            assert fault_code(spelling) == code, spelling
    for bad in (0, 1, 7, 15, "", "over voltage!", True):
        with pytest.raises((ValueError, TypeError)):
            fault_code(bad)


# --- special commands and MIT commands through handle_frame ----------------

def make(*motors, **options):
    motors = motors or (Motor(1, 0x11),)
    return Simulator(None, list(motors), **options)


@pytest.mark.parametrize("error, payload, expected_byte0", [
    (0, ENABLE, 0x11),
    (0, DISABLE, 0x01),
    (0, SET_ZERO, 0x01),
    (7, ENABLE, 0x71),
    (7, CLEAR_ERROR, 0x01),
    (7, encode_command(DEFAULT), 0x71),
])
def test_commands_answer_with_feedback(error, payload, expected_byte0):
    sim = make(Motor(1, 0x11, error=error))
    out = sim.handle_frame(0x001, payload, now=0.0)
    assert out == [Tx(0.0, 0x011, bytes([expected_byte0]) + AT_REST[1:], False)]


def test_feedback_matches_known_vector_with_error_one():
    sim = make(Motor(1, 0x11, error=1))
    assert sim.handle_frame(0x001, ENABLE, now=0.0)[0].data == h("11 7F FF 7F F7 FF 1E 20")


def test_enable_disable_and_clear_error_change_state():
    m = Motor(1, 0x11, error=3)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    assert m.enabled
    sim.handle_frame(0x001, DISABLE, now=0.0)
    assert not m.enabled
    assert m.error == 3
    sim.handle_frame(0x001, CLEAR_ERROR, now=0.0)
    assert m.error == 0


MIT = encode_command(DEFAULT, tau=1.0)


@pytest.mark.parametrize("kwargs, steps", [
    # a healthy motor: 0 disabled, 1 enabled; clearing changes nothing
    ({}, [(DISABLE, 0, False), (ENABLE, 1, True), (MIT, 1, True), (CLEAR_ERROR, 1, True),
          (SET_ZERO, 1, True), (DISABLE, 0, False), (CLEAR_ERROR, 0, False)]),
    # a fault: enable refused; clear leaves the motor disabled until enabled again
    ({"faults": ["overload"]}, [(ENABLE, 14, False), (MIT, 14, False), (SET_ZERO, 14, False),
                                (DISABLE, 14, False), (CLEAR_ERROR, 0, False),
                                (MIT, 0, False), (ENABLE, 1, True)]),
    ({"error": 13}, [(ENABLE, 13, False), (CLEAR_ERROR, 0, False), (ENABLE, 1, True)]),
    # another code is reported as is, whatever the state, until cleared
    ({"error": 7}, [(ENABLE, 7, True), (DISABLE, 7, False), (ENABLE, 7, True),
                    (CLEAR_ERROR, 1, True), (DISABLE, 0, False)]),
    # a fault is reported over such a code, and one clear-error clears both
    ({"error": 3, "faults": [("under-voltage", None)]}, [(ENABLE, 9, False),
                                                         (CLEAR_ERROR, 0, False)]),
    # --ignore-disables 2: two disables answered and ignored, the third obeyed
    ({"sim": {"ignore_disables": 2}}, [(ENABLE, 1, True), (DISABLE, 1, True), (DISABLE, 1, True),
                                       (DISABLE, 0, False), (ENABLE, 1, True),
                                       (DISABLE, 0, False)]),
])
def test_status_code_follows_state_and_faults(kwargs, steps):
    kwargs = dict(kwargs)
    m = Motor(1, 0x11, **{k: v for k, v in kwargs.items() if k != "sim"})
    sim = make(m, **kwargs.get("sim", {}))
    got = []
    for payload, _, _ in steps:
        out = sim.handle_frame(0x001, payload, now=0.0)
        got.append((out[0].data[0] >> 4, m.enabled))
    assert got == [(code, enabled) for _, code, enabled in steps]


def test_timed_fault_trips_at_its_time_and_the_rotor_coasts_from_then():
    # The tripping motor and one disabled by hand at the same moment move alike.
    tripping, reference = Motor(1, 0x11, faults=[("overload", 0.5)]), Motor(2, 0x12)
    sim = make(tripping, reference)
    steps = [(0.0, ENABLE), (0.0, MIT), (20.0, MIT), (20.0, "arm")] + [
        (20.01 + i * 0.02, MIT) for i in range(30)]  # the trip at 20.5 falls between two
    codes = []
    for t, payload in steps:
        if payload == "arm":
            tripping.arm_faults(t)  # until then, it never trips
            continue
        codes.append(sim.handle_frame(0x001, payload, now=t)[0].data[0] >> 4)
        sim.handle_frame(0x002, payload, now=t)
        if abs(t - 20.49) < 1e-6:
            sim.handle_frame(0x002, DISABLE, now=20.5)
    assert codes == [1 if t < 20.5 else 14 for t, p in steps if p != "arm"]
    assert tripping.torque() == 0.0 and tripping.target == (0.0,) * 5
    assert tripping.velocity > 0.0
    assert (tripping.position, tripping.velocity) == pytest.approx(
        (reference.position, reference.velocity), rel=1e-9)


@pytest.mark.parametrize("can_id, data, fd", [
    (0x002, ENABLE, False),                      # nobody's command id
    (0x011, ENABLE, False),                      # the reply id is not a command id
    (0x001 | CAN_EFF_FLAG, ENABLE, False),       # extended frame of the same value
    (0x001 | CAN_RTR_FLAG, ENABLE, False),
    (0x001 | CAN_ERR_FLAG, ENABLE, False),
    (0x001, ENABLE[:7], False),                  # too short
    (0x001, ENABLE + b"\0", False),              # too long
    (0x7FF, h("02 00 33 0A 00 00 00 00"), False),  # register request for motor 2
])
def test_frames_outside_the_protocol_are_ignored(can_id, data, fd):
    m = Motor(1, 0x11)
    sim = make(m)
    assert sim.handle_frame(can_id, data, fd=fd, now=0.0) == []
    assert not m.enabled


def test_command_id_uses_low_eleven_bits_and_motors_sharing_it_both_answer():
    a, b, c = Motor(0x001, 0x11), Motor(0x801, 0x12), Motor(0x0A, 0x13)
    sim = make(a, b, c)
    out = sim.handle_frame(0x001, ENABLE, now=0.0)
    assert [(tx.can_id, tx.data[0]) for tx in out] == [(0x011, 0x11), (0x012, 0x11)]
    assert a.enabled and b.enabled and not c.enabled
    out = sim.handle_frame(0x00A, ENABLE, now=0.0)
    assert [(tx.can_id, tx.data[0]) for tx in out] == [(0x013, 0x1A)]
    # motor 0x101 takes MIT commands where motor 1 takes POS_VEL ones: both answer
    sim = make(Motor(1, 0x11), Motor(0x101, 0x14))
    out = sim.handle_frame(0x101, ENABLE, now=0.0)
    assert [(tx.can_id, tx.data[0]) for tx in out] == [(0x011, 0x01), (0x014, 0x11)]


def test_reply_id_uses_low_eleven_bits_of_master_id():
    sim = make(Motor(5, 0x0912))
    assert sim.handle_frame(0x005, ENABLE, now=0.0)[0].can_id == 0x112


def test_mit_command_to_motor_with_command_id_7ff():
    m = Motor(0x7FF, 0x11)
    sim = make(m)
    assert sim.handle_frame(0x7FF, ENABLE, now=0.0)[0].can_id == 0x011
    assert m.enabled


# Where a motor takes the special commands: (older firmware, mode, identifier
# of the commands, taken). Elsewhere they are answered and change nothing.
@pytest.mark.parametrize("legacy, mode, ident, taken", [
    (True, "pos_vel", 0x101, True),
    (True, "vel", 0x201, True),
    (True, "force_pos", 0x301, True),
    (True, "pos_vel", 0x001, False),     # outside MIT mode, not on the MIT identifier
    (True, "vel", 0x001, False),
    (True, "force_pos", 0x001, False),
    (True, "vel", 0x101, False),         # nor on another mode's identifier
    (True, "mit", 0x001, True),          # in MIT mode, as ever
    (True, "mit", 0x101, False),
    (False, "pos_vel", 0x001, True),     # newer firmware: the MIT identifier in every mode,
    (False, "force_pos", 0x301, True),   # and its own mode's identifier
    (False, "vel", 0x301, False),
    (False, "mit", 0x201, False),
])
def test_special_commands_by_identifier(legacy, mode, ident, taken):
    m = Motor(1, 0x11, mode=mode, legacy_special=legacy, faults=["overload"])
    sim = make(m)
    m.position = 1.0
    got = []
    for payload in (CLEAR_ERROR, ENABLE, SET_ZERO, DISABLE, ENABLE):
        out = sim.handle_frame(ident, payload, now=0.0)
        assert [tx.can_id for tx in out] == [0x011]
        got.append(out[0].data[0] >> 4)
    assert (got, m.position, m.enabled, m.setpoint) == (
        ([0, 1, 1, 0, 1], 0.0, True, None) if taken else ([14] * 5, 1.0, False, None))


def test_ignore_disables_counts_only_disables_the_motor_takes():
    sim = make(Motor(1, 0x11, mode="vel", legacy_special=True), ignore_disables=1)
    steps = [(0x201, ENABLE), (0x001, DISABLE), (0x201, DISABLE), (0x201, DISABLE)]
    assert [sim.handle_frame(i, d, now=0.0)[0].data[0] >> 4 for i, d in steps] == [1, 1, 1, 0]


# --- registers -------------------------------------------------------------

def reg_read(motor_id, reg):
    return bytes((motor_id & 0xFF, motor_id >> 8, 0x33, reg, 0, 0, 0, 0))


def reg_write(motor_id, reg, value):
    return bytes((motor_id & 0xFF, motor_id >> 8, 0x55, reg)) + struct.pack("<I", value)


@pytest.mark.parametrize("motor, request_, expected", [
    (Motor(1, 0x11), reg_read(1, 10), (0x011, "01 00 33 0A 01 00 00 00")),
    (Motor(0x0102, 0x11), reg_read(0x0102, 10), (0x011, "02 01 33 0A 01 00 00 00")),
    (Motor(1, 0x11, mode="vel"), reg_read(1, 10), (0x011, "01 00 33 0A 03 00 00 00")),
    (Motor(1, 0x0321), reg_read(1, 7), (0x321, "01 00 33 07 21 03 00 00")),
    (Motor(0x801, 0x11), reg_read(0x801, 8), (0x011, "01 08 33 08 01 08 00 00")),
    (Motor(1, 0x11), reg_write(1, 10, 2), (0x011, "01 00 55 0A 02 00 00 00")),
    (Motor(1, 0x11), reg_write(1, 10, 9), (0x011, "01 00 55 0A 01 00 00 00")),      # invalid
    (Motor(1, 0x11), reg_write(1, 10, 0x101), (0x011, "01 00 55 0A 01 00 00 00")),  # invalid
    (Motor(1, 0x11), reg_write(1, 7, 0x22), (0x011, "01 00 55 07 22 00 00 00")),    # stored
    (Motor(1, 0x11), reg_write(1, 13, 9), (0x011, "01 00 55 0D 03 00 00 00")),      # read-only
    (Motor(1, 0x11), reg_read(1, 0x25), None),                                     # unknown
    (Motor(1, 0x11), reg_write(1, 0x25, 1), None),
    (Motor(0x801, 0x11), reg_read(0x001, 10), None),  # addressed by all 16 bits
])
def test_register_requests(motor, request_, expected):
    sim = make(motor)
    out = sim.handle_frame(0x7FF, request_, now=0.0)
    if expected is None:
        assert out == []
    else:
        assert out == [Tx(0.0, expected[0], h(expected[1]), False)]


def test_register_write_changes_mode_and_read_back_sees_it():
    m = Motor(1, 0x11, mode="pos_vel")
    sim = make(m)
    sim.handle_frame(0x7FF, reg_write(1, 10, 1), now=0.0)
    assert m.mode == 1
    assert sim.handle_frame(0x7FF, reg_read(1, 10), now=0.0)[0].data[4:] == h("01 00 00 00")


def test_register_request_reaches_only_the_addressed_motor():
    a, b = Motor(1, 0x11), Motor(2, 0x12)
    sim = make(a, b)
    out = sim.handle_frame(0x7FF, reg_write(2, 10, 3), now=0.0)
    assert [tx.can_id for tx in out] == [0x012]
    assert (a.mode, b.mode) == (1, 3)


@pytest.mark.parametrize("options, reads, expected_values", [
    ({"mode_high_bits": True}, 2, [0x101, 0x101]),
    ({"answer_reads": 1}, 3, [1, None, None]),
    ({"answer_reads": 0}, 1, [None]),
])
def test_register_read_faults(options, reads, expected_values):
    sim = make(**options)
    got = []
    for _ in range(reads):
        out = sim.handle_frame(0x7FF, reg_read(1, 10), now=0.0)
        got.append(struct.unpack("<I", out[0].data[4:])[0] if out else None)
    assert got == expected_values


def test_answer_reads_counts_each_motor_and_spares_writes():
    sim = make(Motor(1, 0x11), Motor(2, 0x12), answer_reads=1)
    assert sim.handle_frame(0x7FF, reg_read(1, 10), now=0.0)
    assert sim.handle_frame(0x7FF, reg_read(2, 10), now=0.0)
    assert sim.handle_frame(0x7FF, reg_read(1, 10), now=0.0) == []
    assert sim.handle_frame(0x7FF, reg_write(1, 10, 2), now=0.0)


def test_ignore_writes_answers_with_unchanged_value():
    m = Motor(1, 0x11, mode="pos_vel")
    sim = make(m, ignore_writes=True)
    out = sim.handle_frame(0x7FF, reg_write(1, 10, 1), now=0.0)
    assert out[0].data == h("01 00 55 0A 02 00 00 00")
    assert m.mode == 2


def test_mode_high_bits_leaves_writes_and_model_alone():
    m = Motor(1, 0x11, mode="pos_vel")
    sim = make(m, mode_high_bits=True)
    out = sim.handle_frame(0x7FF, reg_write(1, 10, 1), now=0.0)
    assert out[0].data == h("01 00 55 0A 01 00 00 00") and m.mode == 1


# --- reply faults ------------------------------------------------------------

FB = ENABLED
FOREIGN = (0x7F0, b"\xee" * 8, False)


@pytest.mark.parametrize("options, expected", [
    ({}, [(0.0, 0x011, FB, False)]),
    ({"delay_ms": 5}, [(0.005, 0x011, FB, False)]),
    ({"silent": True}, []),
    ({"drop_every": 1}, []),
    ({"short_reply": 3}, [(0.0, 0x011, FB[:3], False)]),
    ({"short_reply": 0}, [(0.0, 0x011, b"", False)]),
    ({"wrong_id": True}, [(0.0, 0x012, FB, False)]),
    ({"extended_reply": True}, [(0.0, 0x011 | CAN_EFF_FLAG, FB, False)]),
    ({"fd_reply": True}, [(0.0, 0x011, FB, True)]),
    ({"fd_reply": True, "short_reply": 4}, [(0.0, 0x011, FB[:4], True)]),
    ({"foreign_first": 2}, [(0.0,) + FOREIGN, (0.0,) + FOREIGN, (0.0, 0x011, FB, False)]),
    ({"late_reply": True}, [(0.0, 0x011, FB, False), (0.001, 0x011, FB, False)]),
    ({"late_reply": True, "delay_ms": 2, "foreign_first": 1},
     [(0.002,) + FOREIGN, (0.002, 0x011, FB, False),
      (0.003,) + FOREIGN, (0.003, 0x011, FB, False)]),
])
def test_reply_faults(options, expected):
    sim = make(**options)
    out = sim.handle_frame(0x001, ENABLE, now=0.0)
    assert [(pytest.approx(tx.delay), tx.can_id, tx.data, tx.fd) for tx in out] == expected


def test_reply_faults_apply_to_register_replies():
    sim = make(wrong_id=True, short_reply=7)
    assert sim.handle_frame(0x7FF, reg_read(1, 10), now=0.0) == [
        Tx(0.0, 0x012, h("01 00 33 0A 01 00 00"), False)]


def test_drop_every_counts_replies_across_motors():
    sim = make(Motor(1, 0x11), Motor(2, 0x12), drop_every=3)
    answered = [bool(sim.handle_frame(0x001 + (i % 2), ENABLE, now=0.0)) for i in range(7)]
    assert answered == [True, True, False, True, True, False, True]


@pytest.mark.parametrize("master_id, expected_reply_id", [(0x7FF, 0x000), (0x87F, 0x080)])
def test_wrong_id_wraps_into_eleven_bits(master_id, expected_reply_id):
    sim = make(Motor(1, master_id), wrong_id=True)
    assert sim.handle_frame(0x001, ENABLE, now=0.0)[0].can_id == expected_reply_id


def test_foreign_id_avoids_identifiers_in_use():
    sim = make(Motor(0x7F1, 0x7F0), foreign_first=1)
    foreign = sim.handle_frame(0x7F1, ENABLE, now=0.0)[0]
    assert foreign.can_id not in (0x7F0, 0x7F1, 0x7FF)
    assert 0x7F0 <= foreign.can_id < 0x7FF


# --- motor model -------------------------------------------------------------

def run(sim, motor, payload, t_end, dt=0.01, t0=0.0):
    """Send ``payload`` to the motor every ``dt`` s of simulated time; return the last reply."""
    t = t0
    out = None
    while t <= t_end + 1e-9:
        out = sim.handle_frame(motor.command_id, payload, now=t)
        t += dt
    return decode_feedback(motor.limits, out[-1].data)


@pytest.mark.parametrize("model, q_des, kp, kd", [
    ("dm4310", 1.0, 20.0, 1.0),
    ("dm4310", -2.5, 5.0, 0.5),
    ("dm4310", 1.0, 500.0, 5.0),     # the stiffest command the codec carries
    ("dm4310", 1.0, 500.0, 0.0),     # no damping from the law at all
    ("dmh3510", 0.5, 10.0, 0.2),     # tiny torque limit: saturated most of the way
    ("dm10010", 3.0, 100.0, 2.0),
])
def test_position_converges_to_target(model, q_des, kp, kd):
    m = Motor(1, 0x11, model)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    cmd = encode_command(m.limits, q=q_des, kp=kp, kd=kd)
    fb = run(sim, m, cmd, t_end=6.0)
    target = decode_command(m.limits, cmd).q
    assert abs(m.position - target) < 0.02, (m.position, target)
    assert abs(fb.position - target) < 0.02
    assert math.isfinite(m.velocity) and abs(m.velocity) < 0.1


def test_max_gains_never_overshoot_wildly():
    m = Motor(1, 0x11)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    cmd = encode_command(DEFAULT, q=1.0, kp=500.0, kd=5.0)
    peak = 0.0
    for i in range(300):
        sim.handle_frame(0x001, cmd, now=i * 0.01)
        peak = max(peak, m.position)
    assert peak < 1.2


def test_disabled_motor_applies_no_torque_and_ignores_targets():
    m = Motor(1, 0x11)
    sim = make(m)
    cmd = encode_command(DEFAULT, q=2.0, kp=50.0, kd=1.0, tau=3.0)
    fb = run(sim, m, cmd, t_end=0.5)
    assert fb.torque == decode_feedback(DEFAULT, AT_REST).torque  # raw 2047, i.e. zero
    assert m.position == 0.0 and m.velocity == 0.0
    assert m.target == (0.0, 0.0, 0.0, 0.0, 0.0)


@pytest.mark.parametrize("mode", ["pos_vel", "vel", "force_pos"])
def test_non_mit_mode_answers_but_ignores_mit_commands(mode):
    m = Motor(1, 0x11, mode=mode)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    cmd = encode_command(DEFAULT, q=2.0, kp=50.0, kd=1.0, tau=3.0)
    out = sim.handle_frame(0x001, cmd, now=0.01)
    assert len(out) == 1 and out[0].can_id == 0x011
    run(sim, m, cmd, t_end=0.5, t0=0.02)
    assert m.position == 0.0 and m.target == (0.0, 0.0, 0.0, 0.0, 0.0)


# Golden frames of the other control modes, for motor 1 (floats little-endian).
PV = "0000803F 00000040"   # POS_VEL on 0x101: 1.0 rad, at most 2.0 rad/s
VL = "00004040"            # VEL on 0x201: 3.0 rad/s
FP = "0000803F F401 8813"  # FORCE_POS on 0x301: 1.0 rad, 5.00 rad/s, 0.5 of the peak current
REFRESH = "0100CC0000000000"  # on 0x7FF: motor 1


@pytest.mark.parametrize("mode, enabled, frames, answered, setpoint", [
    # each mode follows its own kind of command, classic or CAN FD
    ("pos_vel", True, [(0x101, PV)], [1], (1.0, 2.0)),
    ("pos_vel", True, [(0x101, PV, True)], [1], (1.0, 2.0)),
    ("vel", True, [(0x201, VL)], [1], (3.0,)),
    ("vel", True, [(0x201, VL + "00000000")], [1], (3.0,)),
    ("force_pos", True, [(0x301, FP)], [1], (1.0, 5.0, 0.5)),
    ("force_pos", True, [(0x301, "0000803F 1127 FFFF")], [1], (1.0, 100.0, 1.0)),  # above 10000
    # a command of another mode, or to a disabled motor, is answered and ignored
    ("mit", True, [(0x101, PV), (0x201, VL), (0x301, FP)], [1, 1, 1], None),
    ("vel", True, [(0x101, PV), (0x301, FP)], [1, 1], None),
    ("pos_vel", False, [(0x101, PV)], [1], None),
    # a refresh answers and changes nothing; one for motor 2 is not ours
    ("pos_vel", True, [(0x101, PV), (0x7FF, REFRESH), (0x7FF, REFRESH, True)], [1, 1, 1], (1.0, 2.0)),
    ("pos_vel", True, [(0x7FF, "0200CC0000000000"), (0x7FF, "0100CC00000000")], [0, 0], None),
    # too short or too long: not answered; a non-finite float: answered, ignored
    ("pos_vel", True, [(0x101, PV), (0x101, PV[:-2]), (0x101, PV + "00", True)], [1, 0, 0], (1.0, 2.0)),
    ("vel", True, [(0x201, VL), (0x201, "000040")], [1, 0], (3.0,)),
    ("force_pos", True, [(0x301, FP), (0x301, FP[:-2])], [1, 0], (1.0, 5.0, 0.5)),
    ("pos_vel", True, [(0x101, PV), (0x101, "0000C07F 00000040"), (0x101, "0000803F 0000807F")],
     [1, 1, 1], (1.0, 2.0)),
    ("vel", True, [(0x201, VL), (0x201, "000080FF")], [1, 1], (3.0,)),
    ("force_pos", True, [(0x301, FP), (0x301, "0000C0FF F401 8813")], [1, 1], (1.0, 5.0, 0.5)),
])
def test_control_mode_commands(mode, enabled, frames, answered, setpoint):
    m = Motor(1, 0x11, mode=mode)
    sim = make(m)
    if enabled:
        sim.handle_frame(0x001, ENABLE, now=0.0)
    got = [sim.handle_frame(f[0], h(f[1]), fd=f[2] if len(f) > 2 else False, now=0.0)
           for f in frames]
    fb = (0x011, 0x11 if enabled else 0x01, False)  # the feedback's status nibble
    assert [[(tx.can_id, tx.data[0], tx.fd) for tx in out] for out in got] == [
        [fb] if a else [] for a in answered]
    assert m.setpoint == setpoint and m.target == (0.0,) * 5 and m.enabled == enabled


@pytest.mark.parametrize("mode, frame, v_peak, torque_first", [
    ("vel", (0x201, VL), 3.0, None),
    ("pos_vel", (0x101, PV), 2.0, None),
    ("force_pos", (0x301, "0000803F F401 F401"), 5.0, 0.5),  # current 0.05 of 10 Nm
])
def test_control_mode_laws(mode, frame, v_peak, torque_first):
    m = Motor(1, 0x11, mode=mode)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    first = decode_feedback(DEFAULT, sim.handle_frame(frame[0], h(frame[1]), now=0.0)[0].data)
    peak = 0.0
    for i in range(1, 301):
        fb = decode_feedback(DEFAULT, sim.handle_frame(0x7FF, h(REFRESH), now=i * 0.01)[0].data)
        peak = max(peak, abs(m.velocity))
        if torque_first is not None:
            assert abs(fb.torque) <= torque_first + 0.005
    assert peak <= v_peak * 1.001
    if mode == "vel":
        assert m.velocity == pytest.approx(3.0, rel=1e-3)
    else:
        assert m.position == pytest.approx(1.0, abs=1e-3) and abs(m.velocity) < 0.01
    if torque_first is not None:
        assert first.torque == pytest.approx(torque_first, abs=0.005)


# Frames that reach motor 1 (or pass it by), by name, for the watchdog's table.
WATCHED = {
    "enable": (0x001, ENABLE), "disable": (0x001, DISABLE), "zero": (0x001, SET_ZERO),
    "clear": (0x001, CLEAR_ERROR), "mit": (0x001, MIT), "pos_vel": (0x101, h(PV)),
    "vel": (0x201, h(VL)), "force_pos": (0x301, h(FP)), "refresh": (0x7FF, h(REFRESH)),
    "read": (0x7FF, reg_read(1, 9)), "mode": (0x7FF, reg_write(1, 10, 1)),
    "w400": (0x7FF, reg_write(1, 9, 400)), "w0": (0x7FF, reg_write(1, 9, 0)),
    "other": (0x002, MIT), "refresh2": (0x7FF, h("0200CC0000000000")),
}


@pytest.mark.parametrize("timeout, steps, codes", [
    # TIMEOUT 400 x 50 us = 20 ms after the enable: trips at that time, not before
    (400, "0 enable, 19.999 mit", "1 1"),
    (400, "0 enable, 20 mit", "1 13"),
    (1, "0 enable, 0.049 refresh, 0.098 refresh, 0.15 refresh", "1 1 1 13"),  # 50 us
    # every command to the motor starts the count again, in any mode's frame
    (400, "0 enable, 15 mit, 30 pos_vel, 45 vel, 60 force_pos, 75 refresh, 90 zero, 105 clear, "
          "124.99 vel, 145 refresh", "1 1 1 1 1 1 1 1 1 13"),
    # register traffic and frames for other motors do not
    (400, "0 enable, 5 read, 10 mode, 15 w400, 18 other, 19 refresh2, 19.5 read, 20.01 refresh",
     "1 - - - - - - 13"),
    # 0 is off; a disabled motor has no watchdog
    (0, "0 enable, 1000 mit", "1 1"),
    (400, "0 enable, 10 disable, 1000 refresh, 1010 enable, 1029.99 mit, 1050 mit", "1 0 0 1 1 13"),
    # latched: enables refused, commands answered with 13, until clear-error, which
    # leaves the motor disabled; a new enable starts the watchdog again
    (400, "0 enable, 25 mit, 30 enable, 40 mit, 100 clear, 110 mit, 200 enable, 210 mit, 240 mit",
     "1 13 13 13 0 0 1 1 13"),
    # a write takes effect without restarting the count: 0 turns it off, a time-out
    # shorter than the silence so far trips at once
    (400, "0 enable, 10 w0, 50 mit", "1 - 1"),
    (0, "0 enable, 100 w400, 100.001 mit", "1 - 13"),
])
def test_watchdog(timeout, steps, codes):
    m = Motor(1, 0x11, registers={"TIMEOUT": timeout})
    sim = make(m)
    got = []
    for step in steps.split(", "):
        ms, name = step.split()
        out = sim.handle_frame(*WATCHED[name], now=float(ms) / 1000)
        feedback = [tx.data for tx in out if tx.data[2] not in (0x33, 0x55)]
        got.append(str(feedback[0][0] >> 4) if feedback else "-")
    assert " ".join(got) == codes
    if got[-1] == "13":  # tripped as any fault trips: disabled, no torque, no target
        assert (m.enabled, m.fault, m.torque(), m.target) == (False, 13, 0.0, (0.0,) * 5)


def test_feedforward_torque_is_reported_at_once_and_clamped():
    m = Motor(1, 0x11)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    out = sim.handle_frame(0x001, encode_command(DEFAULT, tau=3.0), now=0.0)
    assert decode_feedback(DEFAULT, out[0].data).torque == pytest.approx(3.0, abs=0.01)
    out = sim.handle_frame(0x001, encode_command(DEFAULT, q=12.5, kp=500.0), now=0.0)
    assert decode_feedback(DEFAULT, out[0].data).torque == 10.0  # at t_max


def test_disable_lets_the_rotor_coast_down_without_reversing():
    m = Motor(1, 0x11)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    run(sim, m, encode_command(DEFAULT, tau=0.5), t_end=0.2)
    v0 = m.velocity
    assert v0 > 1.0
    sim.handle_frame(0x001, DISABLE, now=0.21)
    speeds = []
    for i in range(1, 200):
        sim.handle_frame(0x001, encode_command(DEFAULT, tau=0.5), now=0.21 + i * 0.01)
        speeds.append(m.velocity)
    assert all(0.0 <= b <= a for a, b in zip([v0] + speeds, speeds))
    assert speeds[-1] < 0.01 * v0


def test_long_pause_integrates_at_most_fifty_milliseconds():
    m = Motor(1, 0x11)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    sim.handle_frame(0x001, encode_command(DEFAULT, tau=10.0), now=0.0)
    sim.handle_frame(0x001, encode_command(DEFAULT, tau=10.0), now=3600.0)
    # 50 ms of 10 Nm on J = 0.002 (less friction) is at most 250 rad/s
    assert 200.0 < m.velocity <= 250.0


def test_time_going_backwards_does_not_move_the_rotor():
    m = Motor(1, 0x11)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=10.0)
    sim.handle_frame(0x001, encode_command(DEFAULT, tau=10.0), now=10.0)
    sim.handle_frame(0x001, encode_command(DEFAULT, tau=10.0), now=5.0)
    assert m.velocity == 0.0 and m.position == 0.0


def test_set_zero_redefines_origin_and_keeps_the_held_angle():
    m = Motor(1, 0x11)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    cmd = encode_command(DEFAULT, q=1.0, kp=20.0, kd=1.0)
    run(sim, m, cmd, t_end=3.0)
    out = sim.handle_frame(0x001, SET_ZERO, now=3.01)
    assert out[0].data[1:3] == h("7F FF")  # position 0
    # the held target keeps its physical angle: the rotor stays, now at 0
    for i in range(1, 200):
        m.advance(3.01 + i * 0.01)
    assert abs(m.position) < 0.01


def test_enable_and_mode_change_reset_the_target():
    m = Motor(1, 0x11)
    sim = make(m)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    sim.handle_frame(0x001, encode_command(DEFAULT, tau=3.0), now=0.0)
    assert m.torque() != 0.0
    sim.handle_frame(0x001, DISABLE, now=0.0)
    sim.handle_frame(0x001, ENABLE, now=0.0)
    assert m.torque() == 0.0
    sim.handle_frame(0x001, encode_command(DEFAULT, tau=3.0), now=0.0)
    sim.handle_frame(0x7FF, reg_write(1, 10, 2), now=0.0)
    sim.handle_frame(0x7FF, reg_write(1, 10, 1), now=0.0)
    assert m.torque() == 0.0


@pytest.mark.parametrize("kwargs", [
    {"motor_id": 0x10000, "master_id": 1},
    {"motor_id": 1, "master_id": -1},
    {"motor_id": 1, "master_id": 2, "model": "dm9999"},
    {"motor_id": 1, "master_id": 2, "mode": 5},
    {"motor_id": 1, "master_id": 2, "error": 16},
    {"motor_id": 1, "master_id": 2, "limits": (12.5, 30, 500, 5, 0)},
    {"motor_id": 1, "master_id": 2, "limits": (12.5, 30, 500, 5, math.inf)},
    {"motor_id": 1, "master_id": 2, "inertia": 0.0},
])
def test_motor_rejects_bad_configuration(kwargs):
    with pytest.raises((TypeError, ValueError)):
        Motor(**kwargs)


def test_simulator_rejects_duplicate_motor_ids_and_bad_options():
    with pytest.raises(ValueError):
        Simulator(None, [Motor(1, 0x11), Motor(1, 0x12)])
    with pytest.raises(ValueError):
        Simulator(None, [])
    with pytest.raises(ValueError):
        Simulator(None, [Motor(1, 0x11)], short_reply=8)
    with pytest.raises(TypeError):
        Simulator(None, [Motor(1, 0x11)], no_such_option=True)


# --- flash: a save writes every register, the next start takes them ---------

SAVE = bytes((1, 0, 0xAA, 0x01, 0, 0, 0, 0))


def write(reg, word):
    return bytes((1, 0, 0x55, reg)) + struct.pack("<I", word)


@pytest.mark.parametrize("frames, saved", [
    # identifiers, a limit and the bit rate code are kept; the save is not answered
    ([write(7, 0x21), write(8, 5), write(21, 0x40490FDB), write(35, 4), SAVE],
     {"MST_ID": 0x21, "ESC_ID": 5, "PMAX": f32(math.pi), "can_br": 4}),
    ([ENABLE, write(7, 0x21), SAVE], None),          # enabled: refused, nothing written
    ([write(7, 0x21), bytes((2, 0, 0xAA, 1, 0, 0, 0, 0))], None),   # another motor's save
    ([write(7, 0x21), bytes((1, 0, 0xAA, 2, 0, 0, 0, 0))], None),   # not the save command
])
def test_flash_save_and_next_start(tmp_path, frames, saved):
    path = str(tmp_path / "flash.json")
    ns, motors, options = parse_args(["vcan0", "--motor", "1:0x11", "--flash", path])
    sim = Simulator(None, motors, **options)
    answers = [sim.handle_frame(1 if f == ENABLE else 0x7FF, f, now=0.0) for f in frames]
    assert answers[-1] == []
    if saved is None:
        assert not os.path.exists(path)
        return
    ns, (m,), _ = parse_args(["vcan0", "--motor", "1:0x11", "--register", "PMAX=3", "--flash", path])
    assert (m.motor_id, m.master_id) == (5, 0x21)   # the file's, over the command line's
    assert {k: m.flash_registers()[k] for k in saved} == saved
    assert m.flash_registers() == {**Motor(1, 0x11).flash_registers(), **saved, "SN": m.register_value(15)}


@pytest.mark.parametrize("argv, text, message", [
    (["--motor", "1:0x11", "--motor", "2:0x12"], None, "--flash belongs to one motor"),
    (["--motor", "1:0x11"], "{", "cannot read flash file"),
    (["--motor", "1:0x11"], '{"registers": {"CTRL_MODE": 9}}', "does not take 9"),
    (["--motor", "1:0x11"], '{"registers": {"nope": 1}}', "unknown register"),
])
def test_flash_refusals(tmp_path, capsys, argv, text, message):
    path = tmp_path / "flash.json"
    if text is not None:
        path.write_text(text)
    with pytest.raises(SystemExit):
        parse_args(["vcan0", *argv, "--flash", str(path)])
    assert message in capsys.readouterr().err


# --flash FILE alone: (registers the file holds, or None for no file; the
# motor's motor_id, master_id, mode, p_max and SN, or the refusal).
@pytest.mark.parametrize("saved, expected", [
    ({"ESC_ID": 5, "MST_ID": 0x21, "CTRL_MODE": 3, "PMAX": 3.0, "SN": 0x1234},
     (5, 0x21, 3, 3.0, 0x1234)),
    ("a save", (0x7FE, 0x7FD, 2, 12.5, "saved")),       # a whole file, as a save writes it
    (None, "nothing saved yet"),
    ({}, "nothing saved yet"),
    ({"MST_ID": 0x21, "PMAX": 3.0}, "no ESC_ID"),
    ({"TMAX": 3.0}, "no ESC_ID or MST_ID"),
])
def test_flash_alone_starts_the_motor_of_the_file(tmp_path, capsys, saved, expected):
    path = str(tmp_path / "flash.json")
    if saved == "a save":
        m = Motor(0x7FE, 0x7FD, "dm8009", mode="pos_vel", registers={"PMAX": 12.5})
        assert m.save(path)
        expected = expected[:4] + (m.register_value(15),)
    elif saved is not None:
        with open(path, "w") as f:
            json.dump({"registers": saved}, f)
    if isinstance(expected, str):
        with pytest.raises(SystemExit):
            parse_args(["vcan0", "--flash", path])
        assert ("error: --flash alone takes the motor from its file, and %s holds %s: give the "
                "motor with --motor ID:MASTER\n" % (path, expected)) in capsys.readouterr().err
        return
    _, (m,), options = parse_args(["vcan0", "--flash", path])
    assert (m.motor_id, m.master_id, m.mode, m.limits.p_max, m.register_value(15)) == expected
    assert options["flash"] == path
    Simulator(None, [m], **options)


# --- frames and the bus loop over a local datagram socket pair ---------------

@pytest.mark.parametrize("can_id, data, fd, size", [
    (0x011, AT_REST, False, 16),
    (0x011, b"\x01\x02", False, 16),
    (0x011 | CAN_EFF_FLAG, AT_REST, False, 16),
    (0x011, AT_REST + bytes(4), True, 72),
])
def test_frame_packing_round_trip(can_id, data, fd, size):
    raw = pack_frame(can_id, data, fd)
    assert len(raw) == size
    assert raw[:4] == can_id.to_bytes(4, sys.byteorder)  # the kernel keeps it in host order
    assert unpack_frame(raw) == (can_id, data, fd)
    if fd:
        assert raw[5] == 0x04  # CANFD_FDF
    else:
        assert raw[4] == len(data) and raw[5:8] == b"\0\0\0"


class Bus:
    """The host end of a socket pair; the simulator serves the other end."""

    def __init__(self, sim, **serve):
        self.host, sim_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.host.settimeout(2.0)
        self.sim = sim
        sim.open(sock=sim_end)
        self.ready = threading.Event()
        self.thread = threading.Thread(target=sim.serve_forever,
                                       kwargs=dict(ready=self.ready.set, **serve), daemon=True)
        self.thread.start()
        assert self.ready.wait(2.0)

    def send(self, can_id, data):
        self.host.send(pack_frame(can_id, data))

    def recv(self):
        return unpack_frame(self.host.recv(72))

    def close(self):
        self.sim.stop()
        self.thread.join(5.0)
        assert not self.thread.is_alive(), "serve_forever did not return after stop()"
        self.host.close()


@pytest.fixture
def bus_factory():
    buses = []

    def factory(sim, **serve):
        bus = Bus(sim, **serve)
        buses.append(bus)
        return bus

    yield factory
    for bus in buses:
        bus.close()


def test_loop_answers_and_logs(bus_factory, tmp_path):
    log = tmp_path / "sim.log"
    sim = make(Motor(1, 0x11), Motor(2, 0x12), log=str(log))
    bus = bus_factory(sim)
    bus.send(0x001, ENABLE)
    assert bus.recv() == (0x011, ENABLED, False)
    bus.send(0x7FF, reg_read(2, 10))
    assert bus.recv() == (0x012, h("02 00 33 0A 01 00 00 00"), False)
    bus.send(0x123 | CAN_EFF_FLAG, b"\x01")  # ignored, but logged
    bus.send(0x001, DISABLE)
    assert bus.recv()[0] == 0x011
    lines = log.read_text().splitlines()
    assert lines == [
        "rx 001 FFFFFFFFFFFFFFFC", "tx 011 117FFF7FF7FF1E20",
        "rx 7FF 0200330A00000000", "tx 012 0200330A01000000",
        "rx 00000123 01",
        "rx 001 FFFFFFFFFFFFFFFD", "tx 011 017FFF7FF7FF1E20",
    ]


def test_loop_takes_fd_commands_and_answers_fd_with_eight_bytes(bus_factory):
    bus = bus_factory(make(fd_reply=True))
    bus.host.send(pack_frame(0x001, ENABLE, fd=True, flags=0x01))  # with bit-rate switch
    raw = bus.host.recv(72)
    assert (len(raw), raw[4], unpack_frame(raw)) == (72, 8, (0x011, ENABLED, True))


def test_loop_delayed_replies_keep_order_and_do_not_block_other_motors(bus_factory):
    sim = make(Motor(1, 0x11), Motor(2, 0x12), delay_ms=1000)
    bus = bus_factory(sim)
    t0 = time.monotonic()
    bus.send(0x001, ENABLE)
    bus.send(0x7FF, reg_read(1, 10))
    bus.send(0x002, ENABLE)
    got = [bus.recv() for _ in range(3)]
    elapsed = time.monotonic() - t0
    assert got == [(0x011, ENABLED, False), (0x011, h("01 00 33 0A 01 00 00 00"), False),
                   (0x012, h("12") + ENABLED[1:], False)]
    # three 1 s delays served one after another would take 3 s; the bound
    # leaves a loaded machine 1.5 s of slack
    assert 0.99 <= elapsed < 2.5


def test_loop_late_reply_sends_a_second_copy(bus_factory):
    bus = bus_factory(make(late_reply=True))
    bus.send(0x001, ENABLE)
    assert bus.recv() == bus.recv() == (0x011, ENABLED, False)


def test_loop_flood_sends_foreign_frames_and_stops(bus_factory):
    sim = make(flood=2000)
    bus = bus_factory(sim)
    seen = {bus.recv()[0] for _ in range(20)}
    assert seen == {0x7F0}
    bus.send(0x001, ENABLE)
    for _ in range(20000):
        frame = bus.recv()
        if frame[0] != 0x7F0:
            break
    assert frame == (0x011, ENABLED, False)


def test_loop_exit_after_returns():
    host, sim_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    sim = make(delay_ms=10000)
    sim.open(sock=sim_end)
    host.send(pack_frame(0x001, ENABLE))  # a reply pending far in the future
    t = threading.Thread(target=sim.serve_forever, kwargs={"exit_after": 0.2}, daemon=True)
    t.start()
    t.join(5.0)
    assert not t.is_alive()
    host.close()


def test_stop_before_serving_returns_at_once():
    host, sim_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    sim = make()
    sim.open(sock=sim_end)
    sim.stop()
    t = threading.Thread(target=sim.serve_forever, daemon=True)
    t.start()
    t.join(5.0)
    assert not t.is_alive()
    host.close()


# --- subprocess helper -------------------------------------------------------

def test_spawn_reports_a_simulator_that_cannot_start():
    with pytest.raises(SimulatorNotReady, match="cannot open CAN interface|SocketCAN"):
        with spawn("rlsim-none0", "--motor-id", "1", "--master-id", "0x11", timeout=20):
            pass


def test_spawn_reports_bad_arguments():
    with pytest.raises(SimulatorNotReady, match="exited before it was ready"):
        with spawn("vcan0", timeout=20):
            pass


@pytest.mark.parametrize("script, message", [
    ("exec sleep 60", "did not print 'ready' within 0.5 s"),
    ("echo hello; exec sleep 60", "printed 'hello' instead of 'ready'"),
    ("echo broken >&2; exit 3", "exited before it was ready (exit status 3): broken"),
])
def test_spawn_gives_up_on_a_process_that_is_not_ready(tmp_path, script, message):
    fake = tmp_path / "fake-python"
    fake.write_text("#!/bin/sh\n" + script + "\n")
    fake.chmod(0o755)
    t0 = time.monotonic()
    with pytest.raises(SimulatorNotReady) as exc:
        with spawn("vcan0", python=str(fake), timeout=0.5):
            pass
    assert message in str(exc.value)
    assert time.monotonic() - t0 < 10.0  # it neither hangs nor waits out the sleep


# --- --background --------------------------------------------------------------

def run_sim(*args, launcher=None):
    """Run the simulator's command line to its end; returns the CompletedProcess."""
    cmd = launcher or [sys.executable, "-m", "rotalink_sim"]
    return subprocess.run(cmd + [str(a) for a in args], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=300, env=child_env())


@pytest.mark.parametrize("args, status, stderr", [
    (["rlsim-none0", "--motor", "1:0x11"], 1,
     r"rotalink-sim: (cannot open CAN interface 'rlsim-none0'|this Python has no SocketCAN)"),
    (["vcan0", "--motor", "1:0x11", "--fault", "hot"], 2,
     r"(?s)usage: .*error: argument --fault: unknown fault 'hot'"),
])
def test_background_reports_a_simulator_that_cannot_start(args, status, stderr):
    r = run_sim(*args, "--background")
    assert (r.returncode, r.stdout) == (status, "")
    assert re.match(stderr, r.stderr), r.stderr


@pytest.mark.parametrize("script, status, stdout, stderr", [
    ("echo warm >&2; echo ready; exec sleep 60", 0, r"ready \(pid (\d+)\)\n", "warm\n"),
    ("echo broken >&2; exit 3", 3, "", "broken\n"),
    ("echo hello; exec sleep 60", 1, "", "rotalink-sim: unexpected output: hello\n"),
    ("exec sleep 60", 128 + signal.SIGTERM, "", ""),  # the starter is stopped meanwhile
])
def test_background_starter_with_a_stand_in_child(tmp_path, monkeypatch, capsys,
                                                  script, status, stdout, stderr):
    from rotalink_sim import cli

    fake = tmp_path / "fake-python"
    fake.write_text("#!/bin/sh\necho $$ > %s/pid\n%s\n" % (tmp_path, script))
    fake.chmod(0o755)
    monkeypatch.setattr(sys, "executable", str(fake))
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGTERM))
    if status == 128 + signal.SIGTERM:
        timer.start()
    t0 = time.monotonic()
    assert cli._background(["vcan0", "--background"]) == status
    if timer.is_alive():
        timer.join()
    assert time.monotonic() - t0 < 30.0  # it never waits the sleep out
    out, err = capsys.readouterr()
    assert re.fullmatch(stdout, out) and err == stderr
    pid = int((tmp_path / "pid").read_text())
    if status == 0:  # left running, with the pid it printed: this test ends it
        assert "(pid %d)" % pid in out
        os.kill(pid, signal.SIGTERM)
        os.waitpid(pid, 0)
    else:  # ended and reaped
        assert not os.path.exists("/proc/%d" % pid)


# Identifiers used by no other test module.
BG_PLAIN = (0x4C1, 0x4D1)
BG_TIMED = (0x4C2, 0x4D2)


def status_of(sock, motor, payload, timeout=10.0):
    """Send a command to ``motor`` on a raw CAN socket; the status code of its feedback."""
    sock.send(pack_frame(motor[0], payload))
    deadline = time.monotonic() + timeout
    while True:
        sock.settimeout(max(0.001, deadline - time.monotonic()))
        can_id, data, _ = unpack_frame(sock.recv(72))
        if can_id == motor[1]:
            return data[0] >> 4


def start_background(*args, launcher=None):
    r = run_sim(*args, "--background", launcher=launcher)
    match = re.fullmatch(r"ready \(pid (\d+)\)\n", r.stdout)
    assert r.returncode == 0 and match, (r.returncode, r.stdout, r.stderr)
    pid = int(match.group(1))
    assert os.getsid(pid) == pid  # a session of its own
    return pid


def stop_background(pid):
    """SIGTERM; True once the process is gone (or a zombie nobody reaps)."""
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 30.0
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.bus
def test_background_simulator_reports_status_and_a_timed_fault(can_iface, tmp_path):
    # The console script's way in, as an installer writes it.
    script = tmp_path / "rotalink-sim"
    script.write_text("#!%s\nimport sys\nfrom rotalink_sim.__main__ import main\n"
                      "sys.exit(main())\n" % sys.executable)
    script.chmod(0o755)
    pids = []
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        sock.bind((can_iface,))
        pids.append(start_background(can_iface, "--motor", "%#x:%#x" % BG_PLAIN))
        pids.append(start_background(can_iface, "--motor", "%#x:%#x" % BG_TIMED,
                                     "--fault", "overload@0.5", launcher=[str(script)]))
        assert [status_of(sock, BG_PLAIN, cmd) for cmd in (ENABLE, DISABLE, CLEAR_ERROR)] == [
            1, 0, 0]
        # The timed motor is enabled until its fault trips, 0.5 s after it was ready.
        codes = [status_of(sock, BG_TIMED, ENABLE)]
        deadline = time.monotonic() + 60.0
        while codes[-1] != 14 and time.monotonic() < deadline:
            time.sleep(0.05)
            codes.append(status_of(sock, BG_TIMED, ENABLE))
        assert set(codes[:-1]) <= {1} and codes[-1] == 14, codes
        assert [status_of(sock, BG_TIMED, cmd) for cmd in (ENABLE, CLEAR_ERROR, ENABLE)] == [
            14, 0, 1]
    finally:
        sock.close()
        stopped = [stop_background(pid) for pid in pids]
    assert stopped == [True, True]


FD_MOTOR = (0x4C3, 0x4D3)


@pytest.mark.bus
def test_fd_group_and_register_reads_against_fd_replies(can_iface, sniffer):
    import rotalink

    with spawn(can_iface, "--motor", "%#x:%#x" % FD_MOTOR, "--fd-reply"):
        bus = rotalink.SocketCanTransport(can_iface)
        motor = rotalink.Damiao(*FD_MOTOR, timeout_ms=2000)
        (state,) = rotalink.MotorGroup([(bus, motor)], timeout_ms=2000, fd=True).enable()
        limits = motor.read_limits(bus)
    assert state.error == 1 and (limits.p_max, limits.v_max, limits.t_max) == (12.5, 30.0, 10.0)
    replies = [f for f in sniffer.frames(0.1) if f[0] == FD_MOTOR[1]]
    assert len(replies) == 4 and all(fd and len(data) == 8 for _, data, fd, _ in replies)
