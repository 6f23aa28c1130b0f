"""The robot description file: where its keys are, what it refuses (file,
line and joint in every message), what it describes, and the skeleton
rotalink-scan writes, on a socket pair standing in for the CAN socket."""
import math
import socket
import struct
import threading
from pathlib import Path

import pytest

import rotalink
from rotalink_scan import cli, description, probe, report
from rotalink_scan.description import DescriptionError, key_lines
from test_scan import FRAME, pair, reply  # noqa: F401 (pair is a fixture)

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "arm.toml"

ROBOT = '[robot]\nbuses = ["can0"]\n'
A = '[[joint]]\nname = "a"\nbus = "can0"\nmotor_id = 1\nmaster_id = 0x11\nmodel = "dm4310"\n'
B = '[[joint]]\nname = "b"\nbus = "can0"\nmotor_id = 2\nmaster_id = 0x12\nmodel = "DM4340"\n'


def test_key_lines_skip_comments_strings_and_values():
    text = "\n".join([
        '# [[joint]] in a comment',                       # 1
        'title = """',                                    # 2
        'gear = 5',                                       # 3 (inside a string)
        '[[joint]]"""',                                   # 4 (inside a string)
        "[robot]  # the robot",                           # 5
        "buses = [",                                      # 6
        '  "can0", # gear = 2',                           # 7
        "  [1, 2],",                                      # 8 (not a header)
        "]",                                              # 9
        "[[ joint ]]",                                    # 10
        "limits = { p_max = 1, t_max = 2 }",              # 11
        "'quoted key' = 'a # b'",                         # 12
        "gear = 6.33",                                    # 13
        "[joint.sub]",                                    # 14
        "x.y = 1",                                        # 15
        "[[joint]]",                                      # 16
        "name = '''",                                     # 17
        "[robot]'''",                                     # 18
        "gear = 1",                                       # 19
    ])
    assert key_lines(text) == {
        ("title",): 2, ("robot",): 5, ("robot", "buses"): 6, ("joint",): 10, ("joint", 0): 10,
        ("joint", 0, "limits"): 11, ("joint", 0, "quoted key"): 12, ("joint", 0, "gear"): 13,
        ("joint", 0, "sub"): 14, ("joint", 0, "sub", "x"): 15, ("joint", 0, "sub", "x", "y"): 15,
        ("joint", 1): 16, ("joint", 1, "name"): 17, ("joint", 1, "gear"): 19}


# (file text, the messages), "f.toml" being the file's name
BAD = [
    (ROBOT + A.replace("model", "gera = 2\nmodel"),
     ["f.toml:8: joint 'a': unknown key 'gera' (did you mean 'gear'?)"]),
    (ROBOT + A + "direction = 2\n", ["f.toml:9: joint 'a': direction must be 1 or -1, got 2"]),
    (ROBOT + A + "direction = 1.0\n", ["f.toml:9: joint 'a': direction must be 1 or -1, got 1.0"]),
    (ROBOT + A + "gear = 0\n",
     ["f.toml:9: joint 'a': gear must be finite and above 0 (direction gives the sign), got 0"]),
    (ROBOT + A + "gear = inf\n",
     ["f.toml:9: joint 'a': gear must be finite and above 0 (direction gives the sign), got inf"]),
    (ROBOT + A + "offset = nan\n", ["f.toml:9: joint 'a': offset must be finite, got nan"]),
    (ROBOT + A + "offset = '0'\n", ["f.toml:9: joint 'a': offset must be a number, got '0'"]),
    (ROBOT + A.replace("dm4310", "dm4311"),
     ["f.toml:8: joint 'a': unknown model 'dm4311': the presets are "
      + ", ".join(report.presets())]),
    (ROBOT + A.replace('model = "dm4310"', "limits = { p_max = 12.5, v_max = 0, t_max = 1 }"),
     ["f.toml:8: joint 'a': limits.v_max must be finite and above 0, got 0",
      "f.toml:8: joint 'a': kp_max is missing", "f.toml:8: joint 'a': kd_max is missing"]),
    (ROBOT + A.replace('model = "dm4310"\n', ""),
     ["f.toml:3: joint 'a': model (a preset such as 'dm3507') or limits is missing"]),
    (ROBOT + A + "q_min = 1\nq_max = 0\n",
     ["f.toml:9: joint 'a': q_min 1 is above q_max 0"]),
    (ROBOT + A + "dq_max = -1\n", ["f.toml:9: joint 'a': dq_max must be 0 or more, got -1"]),
    (ROBOT + A + "gear = 6.33\nq_max = 2.0\n",
     ["f.toml:10: joint 'a': q_max 2.0 puts the motor at 12.66 rad, past the position range "
      "of dm4310 (p_max 12.5)"]),
    (ROBOT + A + 'mode = "VEL"\nkp = 3\n',
     ["f.toml:10: joint 'a': kp is a gain of MIT joints; this one is VEL"]),
    (ROBOT + A + 'mode = "posvel"\n',
     ["f.toml:9: joint 'a': mode must be one of MIT, POS_VEL, VEL, FORCE_POS, got 'posvel'"]),
    (ROBOT + A + B.replace('"b"', '"a"'),
     ["f.toml:10: joint 'a': the name is already joint 1's (line 3)"]),
    (ROBOT + A + B.replace("0x12", "0x11"),
     ["f.toml:13: joint 'b': shares reply identifier 0x011 with joint 'a' (line 3) on bus can0"]),
    (ROBOT + A + B.replace("= 2\n", "= 1\n"),
     ["f.toml:12: joint 'b': shares command identifier 0x001 with joint 'a' (line 3) on bus "
      "can0"]),
    (ROBOT + A + B.replace("0x12", "0x01"),
     ["f.toml:13: joint 'b': the reply identifier 0x001 is the MIT command identifier of joint "
      "'a' (line 3) on bus can0"]),
    (ROBOT + A + B.replace("= 2\n", "= 0x201\n") + 'mode = "VEL"\n',  # 0x201 + 0x200 = 0x401
     ["f.toml:12: joint 'b': the MIT command identifier 0x201 is the VEL command identifier "
      "of joint 'a' (line 3) on bus can0"]),
    (ROBOT + A + 'mode = "POS_VEL"\n' + B.replace("0x12", "0x101"),
     ["f.toml:14: joint 'b': the reply identifier 0x101 is the POS_VEL command identifier of "
      "joint 'a' (line 3) on bus can0"]),
    (ROBOT + A.replace("0x11", "1"),
     ["f.toml:7: joint 'a': the reply identifier 0x001 is its own command identifier"]),
    (ROBOT + A.replace("= 1\n", "= 0x600\n") + 'mode = "VEL"\n',
     ["f.toml:9: joint 'a': the VEL command identifier 0x800 (0x200 + motor_id 0x600) is past "
      "the standard range 0x7ff"]),
    (ROBOT + A.replace("0x11", "0x7ff"),
     ["f.toml:7: joint 'a': master_id 0x7ff is the register identifier"]),
    (ROBOT + A.replace("0x11", "0x800"),
     ["f.toml:7: joint 'a': master_id must be from 0 to 0x7ff, got 0x800"]),
    (ROBOT + A.replace('bus = "can0"', 'bus = "can1"'),
     ["f.toml:2: robot: bus 'can0' has no joint",
      "f.toml:5: joint 'a': bus 'can1' is not one of robot.buses (can0)"]),
    (ROBOT + A.replace('name = "a"\n', ""), ["f.toml:3: joint 1: name is missing"]),
    (ROBOT + "watchdog_ms = 0\n" + A, ["f.toml:3: robot: watchdog_ms must be None or from 1 to "
                                      "214748364 milliseconds, got 0"]),
    (ROBOT + "disable_timeout_ms = 60001\nfd = 1\n" + A,
     ["f.toml:3: robot: disable_timeout_ms must be from 0 to 60000 milliseconds, got 60001",
      "f.toml:4: robot: fd must be true or false, got 1"]),
    (ROBOT + "timeout = 20\n" + A,
     ["f.toml:3: robot: unknown key 'timeout' (did you mean 'timeout_ms'?)"]),
    (A, ["f.toml:1: no [robot] table: it names the buses"]),
    (ROBOT, ["f.toml:1: no [[joint]] table: a robot needs at least one joint"]),
    (ROBOT + "[joint]\nname = 1\n",
     ["f.toml:3: joint must be an array of tables, one [[joint]] per joint"]),
    (ROBOT + "motor_id = \n", ["f.toml:3: not TOML: Invalid value (at line 3, column 12)"]),
]


@pytest.mark.parametrize("text, errors", BAD)
def test_bad_files(text, errors):
    with pytest.raises(DescriptionError) as exc:
        description.loads(text, "f.toml")
    assert exc.value.errors == errors
    assert str(exc.value) == "\n".join(errors)


def test_load_names_the_file_as_given(tmp_path):
    path = tmp_path / "arm.toml"
    path.write_text(ROBOT + A + "direction = 2\n")
    with pytest.raises(DescriptionError, match=r"^%s:9: joint 'a': direction" % path):
        description.load(path)


@pytest.mark.parametrize("text, settings, joints", [
    (ROBOT + A, {}, [("a", "can0", 1, 0x11, "dm4310", 12.5, "MIT", 1, 0.0, 1.0, None)]),
    # a preset's name in any case, explicit limits, another bus reusing identifiers
    ('[robot]\nbuses = ["can0", "can1"]\nfd = true\ntimeout_ms = 5\n' + B
     + A.replace('model = "dm4310"', "limits = {p_max=3, v_max=4, kp_max=5, kd_max=6, t_max=7}")
     + A.replace('"a"', '"c"').replace('"can0"', '"can1"') + 'mode = "force_pos"\n'
     + "direction = -1\noffset = 0.5\ngear = 2\nq_min = -1\ndq_max = inf\n",
     {"fd": True, "timeout_ms": 5},
     [("b", "can0", 2, 0x12, "dm4340", 12.5, "MIT", 1, 0.0, 1.0, None),
      ("a", "can0", 1, 0x11, None, 3.0, "MIT", 1, 0.0, 1.0, None),
      ("c", "can1", 1, 0x11, "dm4310", 12.5, "FORCE_POS", -1, 0.5, 2.0, (-1.0, math.inf))]),
])
def test_good_files(text, settings, joints):
    d = description.loads(text, "f.toml")
    assert d.settings() == settings
    assert [(j.name, j.bus, j.motor_id, j.master_id, j.model, j.limits.p_max, j.mode.name,
             j.direction, j.offset, j.gear, j.joint_limits() and (j.joint_limits().q_min,
                                                                   j.joint_limits().dq_max))
            for j in d.joints] == joints


def test_example_arm():
    d = description.load(EXAMPLE)
    assert d.buses == ("can0",) and len(d.names) == 6
    assert [(j.motor_id, j.master_id) for j in d.joints] == [(i, 0x10 + i) for i in range(1, 7)]
    assert {j.direction for j in d.joints} == {1, -1} and {j.gear for j in d.joints} == {1, 6.33}


def test_build_passes_each_joint_to_the_module(monkeypatch):
    made = []
    monkeypatch.setattr(rotalink, "Joint", lambda *a, **k: made.append((a, k)) or a[0],
                        raising=False)
    monkeypatch.setattr(rotalink, "Robot", lambda joints, **k: (joints, k), raising=False)
    robot = description.build(description.load(EXAMPLE), {"can0": "can0"})
    assert robot == (list(description.load(EXAMPLE).names),
                     {"timeout_ms": 20, "watchdog_ms": 50, "disable_timeout_ms": 500})
    args, kw = made[1]
    assert args == ("shoulder", "can0", 2, 0x12)
    assert (kw["direction"], kw["offset"], kw["gear"], kw["mode"]) == (
        -1, 0.35, 6.33, rotalink.ControlMode.MIT)
    assert repr(kw["limits"]) == repr(rotalink.MitLimits.dm4340())
    assert repr(kw["joint_limits"]) == "JointLimits(q_min=-1.6, q_max=1.6, dq_max=1.5, tau_max=150)"
    assert (kw["kp"], kw["kd"]) == (300.0, 8.0) and "kp" not in made[5][1]  # the gripper gives none


# Motors on the socket pair: command id -> {register: value bytes}.
F, U = struct.Struct("<f"), struct.Struct("<I")
FOUND = {
    1: {7: U.pack(0x11), 10: U.pack(1), 21: F.pack(12.5), 22: F.pack(30), 23: F.pack(10)},
    2: {7: U.pack(0x12), 10: U.pack(3), 21: F.pack(12.5), 22: F.pack(45), 23: F.pack(10)},
    3: {7: U.pack(0x13), 10: U.pack(2), 21: F.pack(3.14), 22: F.pack(30), 23: F.pack(10)},
    4: {7: U.pack(0x14), 10: U.pack(1), 21: F.pack(12.5)},  # VMAX, TMAX unanswered
}


def test_scan_writes_a_skeleton_that_loads(pair, monkeypatch, tmp_path, capsys):
    ours, bus = pair

    class Kept:  # the socket stays open for the next call
        def __getattr__(self, name):
            return getattr(ours, name)

        def close(self):
            pass

    monkeypatch.setattr(probe, "open_bus", lambda iface: Kept())

    def motors():
        bus.settimeout(0.5)
        try:
            while True:
                data = FRAME.unpack(bus.recv(16))[2]
                held = FOUND.get(data[0], {})
                if data[3] in held:
                    bus.send(reply(0x10 + data[0], data[0], data[3], held[data[3]]))
        except socket.timeout:
            pass

    responder = threading.Thread(target=motors)
    responder.start()
    path = tmp_path / "robot.toml"
    try:
        assert cli.main(["can0", "--ids", "1-5", "--timeout-ms", "200", "--toml", str(path)]) == 0
    finally:
        responder.join()
    assert capsys.readouterr().err.startswith("rotalink-scan: wrote %s: check" % path)
    d = description.load(path)
    assert [(j.name, j.motor_id, j.master_id, j.model, j.limits.p_max, j.mode.name)
            for j in d.joints] == [("joint1", 1, 0x11, "dm4310", 12.5, "MIT"),
                                   ("joint2", 2, 0x12, "dmg6215", 12.5, "VEL"),
                                   ("joint3", 3, 0x13, None, pytest.approx(3.14), "POS_VEL")]
    text = path.read_text()
    assert "dmh6220 has the same ranges" in text
    assert "# motor_id = 0x004" in text  # its ranges did not all come: commented out
    with pytest.raises(SystemExit):  # a description is never overwritten
        cli.main(["can0", "--toml", str(path)])
    assert "robot.toml exists" in capsys.readouterr().err
