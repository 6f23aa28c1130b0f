"""The programs in examples/, run as a user would against simulated motors.

Each example runs as a subprocess of the installed package against a
simulator process that logs every frame it receives (``--log``), so the
frames the example put on the bus are checked as well as its output and
exit status. The tests marked ``bus`` need a vcan interface; the others run
anywhere.
"""
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

rotalink_sim = pytest.importorskip("rotalink_sim")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

ENABLE = "FFFFFFFFFFFFFFFC"
DISABLE = "FFFFFFFFFFFFFFFD"
SPECIAL = {"FFFFFFFFFFFFFF" + b for b in ("FC", "FD", "FE", "FB")}

# Identifiers used by no other test module, so these tests do not depend on
# which simulators other modules leave running.
M1, S1 = "0x351", "0x3d1"
M2, S2 = "0x352", "0x3d2"

# Replies are waited for generously: an emulated machine can be slow. These
# bound waits for a process; nothing here depends on how fast it runs.
REPLY_MS = "2000"
LIMIT = 300


def example(name, *args):
    return [sys.executable, str(EXAMPLES / name), *map(str, args)]


def run_example(name, *args):
    return subprocess.run(example(name, *args), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=LIMIT)


def received(log, ident=None):
    """(identifier, data hex) of every frame the simulator received, in order."""
    out = []
    for line in Path(log).read_text().splitlines():
        parts = line.split()
        if parts[0] == "rx" and (ident is None or parts[1] == ident):
            out.append((parts[1], parts[2]))
    return out


def mit_commands(log, ident):
    return [data for _, data in received(log, ident) if data not in SPECIAL]


def q_of(data, model="dm4310"):
    return rotalink_sim.decode_command(model, bytes.fromhex(data)).q


def wait_for_line(proc, prefix):
    """Read the process's stdout until a line starts with `prefix`; return what was read."""
    fd = proc.stdout.fileno()
    text = ""
    end = time.monotonic() + LIMIT
    while not any(line.startswith(prefix) for line in text.splitlines()):
        left = end - time.monotonic()
        assert left > 0, f"no line starting with {prefix!r} in {text!r}"
        if select.select([fd], [], [], left)[0]:
            chunk = os.read(fd, 4096)
            assert chunk, f"exited (status {proc.wait()}) before a line {prefix!r}: {text!r}"
            text += chunk.decode()
    return text


def stop_when(args, prefix, signo=None, then=None):
    """Start an example, read its output until a line starts with `prefix`,
    then send it `signo` or call `then()`, and wait for it to end. Returns its
    exit status, its whole standard output and its standard error."""
    proc = subprocess.Popen(example(*args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        head = wait_for_line(proc, prefix)
        if signo is not None:
            proc.send_signal(signo)
        if then is not None:
            then()
        out, err = proc.communicate(timeout=LIMIT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return proc.returncode, head + out.decode(), err.decode()


def wait_for_log(log, want):
    end = time.monotonic() + LIMIT
    while want not in received(log) and time.monotonic() < end:
        time.sleep(0.05)
    return received(log)


@pytest.mark.bus
def test_sine_streams_a_sine_and_disables_the_motor(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1, "--log", log):
        r = run_example("sine.py", can_iface, "--motor-id", M1, "--master-id", S1,
                        "--model", "dm4310", "--amplitude", "0.5", "--frequency", "2",
                        "--duration", "0.5", "--rate", "500", "--timeout-ms", REPLY_MS)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    lines = r.stdout.splitlines()
    assert lines[0].startswith("enabled Damiao(motor_id=0x351, master_id=0x3d1): MotorState(motor_id=1,")
    assert lines[1].startswith("streaming 250 setpoints at 500 Hz")
    assert lines[2].startswith("t=  0.000 s  q_set=+0.0000")
    assert lines[-2].startswith("disabled: MotorState(motor_id=1, ")
    summary = lines[-1]
    assert summary.startswith("sent ") and " of 250 setpoints, failed: 0; overruns: " in summary
    sent = int(summary.split()[1])

    frames = received(log, "351")
    assert frames[0] == ("351", ENABLE) and frames[-1] == ("351", DISABLE)
    commands = [data for _, data in frames[1:-1]]
    assert len(commands) == sent and DISABLE not in commands and ENABLE not in commands
    # One full period of the sine within +-amplitude, both signs reached
    # (unless the loop lost most of its ticks).
    q = [q_of(c) for c in commands]
    assert all(abs(v) <= 0.5 + 1e-3 for v in q)
    if sent > 50:
        assert max(q) > 0.3 and min(q) < -0.3


@pytest.mark.bus
@pytest.mark.parametrize("signo, name", [(signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")])
def test_sine_stopped_by_a_signal_disables_the_motor(can_iface, tmp_path, signo, name):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1, "--log", log):
        status, out, err = stop_when(
            ["sine.py", can_iface, "--motor-id", M1, "--master-id", S1,
             "--duration", "3600", "--report", "0.01", "--timeout-ms", REPLY_MS],
            "t=", signo)  # once the setpoint loop runs
    assert status == 128 + signo, err
    assert err == ""
    assert f"stopped by {name}" in out
    assert "\ndisabled: MotorState(motor_id=1, " in out
    frames = received(log, "351")
    assert frames[0] == ("351", ENABLE)
    assert frames[-1] == ("351", DISABLE)
    assert len(mit_commands(log, "351")) >= 1


@pytest.mark.bus
def test_sine_without_a_motor_fails_and_still_sends_disable(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    # This simulator answers as another motor only, and logs every frame on the bus.
    with rotalink_sim.spawn(can_iface, "--motor-id", M2, "--master-id", S2, "--log", log):
        r = run_example("sine.py", can_iface, "--motor-id", "0x35a", "--master-id", "0x3da",
                        "--duration", "1", "--timeout-ms", "50")
        frames = wait_for_log(log, ("35A", DISABLE))
    assert r.returncode == 1
    assert "error: enable: transport error: timeout waiting for frame" in r.stderr
    assert "error: disable: transport error: timeout waiting for frame" in r.stderr
    assert [f for f in frames if f[0] == "35A"] == [("35A", ENABLE), ("35A", DISABLE)]


@pytest.mark.bus
def test_two_motors_share_one_bus(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    first, second = f"{M1}:{S1}", f"{M2}:{S2}:dm4340"
    with rotalink_sim.spawn(can_iface, "--motor", first, "--motor", second, "--log", log):
        r = run_example("two_motors.py", can_iface, "--motor", first, "--motor", second,
                        "--duration", "0.5", "--rate", "100",
                        "--frequency", "2", "--timeout-ms", REPLY_MS)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    out = r.stdout
    assert "enabled Damiao(motor_id=0x351, master_id=0x3d1): MotorState(motor_id=1," in out
    assert "enabled Damiao(motor_id=0x352, master_id=0x3d2): MotorState(motor_id=2," in out
    assert "disabled Damiao(motor_id=0x351, master_id=0x3d1): MotorState(motor_id=1," in out
    assert "disabled Damiao(motor_id=0x352, master_id=0x3d2): MotorState(motor_id=2," in out
    summary = out.splitlines()[-1]
    assert summary.endswith(", failed commands: 0")
    ticks = int(summary.split()[1])

    commands = [(i, d) for i, d in received(log) if i in ("351", "352")]
    assert commands[:2] == [("351", ENABLE), ("352", ENABLE)]
    assert commands[-2:] == [("351", DISABLE), ("352", DISABLE)]
    mit = commands[2:-2]
    # Each tick commands motor 1 and then motor 2, mirrored by the 180 degree phase.
    assert [i for i, _ in mit] == ["351", "352"] * ticks
    for (_, a), (_, b) in zip(mit[0::2], mit[1::2]):
        assert abs(q_of(a) + q_of(b, "dm4340")) < 1e-3


@pytest.mark.bus
def test_ensure_mit_switches_the_mode_then_commands(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1,
                            "--mode", "pos_vel", "--log", log):
        r = run_example("ensure_mit.py", can_iface, "--motor-id", M1, "--master-id", S1,
                        "--count", "3", "--timeout-ms", REPLY_MS)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "Damiao(motor_id=0x351, master_id=0x3d1) is in MIT mode"
    assert lines[1].startswith("enabled: MotorState(motor_id=1,")
    assert [line.split(":")[0] for line in lines[2:5]] == ["command 1", "command 2", "command 3"]
    assert lines[5].startswith("disabled: MotorState(motor_id=1,")
    frames = [f for f in received(log) if f[0] in ("7FF", "351")]
    read, write = ("7FF", "5103330A00000000"), ("7FF", "5103550A01000000")
    assert frames[:3] == [read, write, read]
    assert frames[3] == ("351", ENABLE) and frames[-1] == ("351", DISABLE)
    assert len(frames) == 3 + 1 + 3 + 1


@pytest.mark.bus
def test_ensure_mit_stops_when_the_motor_does_not_switch(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1,
                            "--mode", "vel", "--ignore-writes", "--log", log):
        r = run_example("ensure_mit.py", can_iface, "--motor-id", M1, "--master-id", S1,
                        "--timeout-ms", REPLY_MS)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == ("error: ensure_mit_mode: control mode verification failed: "
                        "wrote 1, motor reports 3\n")
    assert received(log, "351") == []  # never enabled nor commanded


@pytest.mark.bus
@pytest.mark.parametrize("preset, said", [
    ([], "the motor has the dm4310 preset's limits"),
    (["--register", "PMAX=3.14"],
     "the motor differs from the dm4310 preset in p_max 3.14 (preset 12.5): using the motor's limits"),
])
def test_limits_reads_compares_and_uses_the_motors_limits(can_iface, tmp_path, preset, said):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1, *preset, "--log", log):
        r = run_example("limits.py", can_iface, "--motor-id", M1, "--master-id", S1,
                        "--model", "dm4310", "--timeout-ms", REPLY_MS)
    assert (r.returncode, r.stderr) == (0, "")
    lines = r.stdout.splitlines()
    p_max = "3.14" if preset else "12.5"
    assert lines[:3] == [f"motor:  MitLimits(p_max={p_max}, v_max=30, kp_max=500, kd_max=5, t_max=10)",
                         "dm4310: MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)",
                         said]
    assert lines[3].startswith("enabled: MotorState(motor_id=1,")
    assert lines[4].startswith("disabled: MotorState(motor_id=1,") and len(lines) == 5
    # PMAX, VMAX and TMAX read, nothing written, then enable and disable.
    assert [f for f in received(log) if f[0] in ("7FF", "351")] == [
        ("7FF", f"510333{reg:02X}00000000") for reg in (21, 22, 23)] + [("351", ENABLE), ("351", DISABLE)]


@pytest.mark.parametrize("name", ["sine.py", "two_motors.py", "ensure_mit.py", "group.py", "limits.py"])
def test_every_example_starts_and_explains_its_options(name):
    r = run_example(name, "--help")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("usage: ") and "iface" in r.stdout


@pytest.mark.parametrize("args, message", [
    (["--motor", "1"], "expected ID:MASTER[:MODEL], got '1'"),
    (["--motor", "1:0x11@"], "no interface after '@' in '1:0x11@'"),
    (["--rate", "0"], "--rate must be positive"),
])
def test_group_refuses_bad_options(args, message):
    r = run_example("group.py", "vcan0", *args)
    assert r.returncode == 2 and message in r.stderr, r.stderr


def group_frames(log, ident):
    """The frames to `ident` in the log: the enable, the MIT commands, the disable."""
    frames = [data for _, data in received(log, ident)]
    assert frames[0] == ENABLE and frames[-1] == DISABLE, frames
    assert ENABLE not in frames[1:-1] and DISABLE not in frames[1:-1]
    return frames[1:-1]


@pytest.mark.bus
def test_group_drives_motors_on_two_buses_and_disables_all_when_interrupted(
        can_iface, can_iface2, tmp_path):
    log, log2 = tmp_path / "frames.log", tmp_path / "frames2.log"
    first, second = f"{M1}:{S1}", f"{M2}:{S2}:dm4340"
    # The motor on the second bus reuses the identifiers of the first one.
    with rotalink_sim.spawn(can_iface, "--motor", first, "--motor", second, "--log", log), \
            rotalink_sim.spawn(can_iface2, "--motor", first, "--log", log2):
        status, out, err = stop_when(
            ["group.py", can_iface, "--motor", first, "--motor", second,
             "--motor", f"{first}@{can_iface2}", "--frequency", "2", "--duration", "3600",
             "--report", "0.01", "--timeout-ms", REPLY_MS], "t=", signal.SIGINT)
    assert status == 128 + signal.SIGINT, err
    assert err == ""
    assert f"enabled MotorGroup(members=3, buses=2, timeout_ms={REPLY_MS}, fd=False)" in out
    assert "stopped by SIGINT" in out
    for name, n in [(f"{can_iface}/0x351", 1), (f"{can_iface}/0x352", 2), (f"{can_iface2}/0x351", 1)]:
        assert f"\nenabled {name}: MotorState(motor_id={n}, " in out
        assert f"\ndisabled {name}: MotorState(motor_id={n}, " in out
    summary = out.splitlines()[-1]
    assert summary.startswith("cycles: ") and summary.endswith(", group errors: 0"), summary
    cycles = int(summary.split()[1])

    # Every cycle commands every motor; the interrupted one may have sent its
    # commands without being counted.
    first_bus = [(i, d) for i, d in received(log) if i in ("351", "352")]
    assert [i for i, _ in first_bus[:2]] == ["351", "352"]
    assert [i for i, _ in first_bus[-2:]] == ["351", "352"]
    mit = first_bus[2:-2]
    assert [i for i, _ in mit] == ["351", "352"] * (len(mit) // 2)
    assert len(mit) // 2 in (cycles, cycles + 1)
    assert group_frames(log, "351") == [d for i, d in mit if i == "351"]
    assert len(group_frames(log2, "351")) == len(mit) // 2
    # Both start from position 0 and follow mirrored sines (180 degrees apart).
    for (_, a), (_, b) in zip(mit[0::2], mit[1::2]):
        assert abs(q_of(a) + q_of(b, "dm4340")) < 2e-3
    q = [q_of(d) for d in group_frames(log2, "351")]
    assert all(abs(v) <= 0.5 + 1e-3 for v in q)


@pytest.mark.bus
def test_group_counts_failed_cycles_and_stops_when_a_motor_falls_silent(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    first, second = f"{M1}:{S1}", f"{M2}:{S2}"
    with rotalink_sim.spawn(can_iface, "--motor", first, "--log", log):
        with rotalink_sim.spawn(can_iface, "--motor", second) as second_sim:
            status, out, err = stop_when(
                ["group.py", can_iface, "--motor", first, "--motor", second, "--duration", "3600",
                 "--report", "0.01", "--timeout-ms", "500"], "t=", then=second_sim.terminate)
    assert status == 1, err
    silent = "member 1 (motor_id=0x352): transport error: timeout waiting for frame"
    assert f"error: 10 cycles in a row failed: 1 of 2 members failed; {silent}\n" in err
    assert err.endswith("error: disable 0x352: transport error: timeout waiting for frame\n")
    assert "\ndisabled 0x351: MotorState(motor_id=1, " in out
    summary = out.splitlines()[-1]
    assert f"(last: 1 of 2 members failed; {silent})" in summary
    assert int(summary.split("group errors: ")[1].split()[0]) >= 10
    assert len(group_frames(log, "351")) == len(group_frames(log, "352")) >= 11


@pytest.mark.bus
def test_group_refuses_motors_sharing_an_identifier_on_one_bus(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor", f"{M1}:{S1}", "--log", log):
        r = run_example("group.py", can_iface, "--motor", f"{M1}:{S1}", "--motor", f"{M2}:{S1}")
    assert r.returncode == 2
    assert r.stderr == "error: members 0 and 1 share reply identifier 0x3d1 on one bus\n"
    assert received(log, "351") == [] and received(log, "352") == []
