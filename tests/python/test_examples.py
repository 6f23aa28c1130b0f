"""The programs in examples/, run as a user would against simulated motors.

Each example runs as a subprocess of the installed package against a
simulator process that logs every frame it receives (``--log``), so the
frames the example put on the bus are checked as well as its output and
exit status. The tests marked ``bus`` need a vcan interface; the others run
anywhere.
"""
import importlib.util
import math
import os
import re
import select
import shutil
import signal
import socket
import struct
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
# The motors' watchdog: an example that is slow under emulation must not trip it.
WATCHDOG_MS = "2000"


def examples(*names):
    """Parameters of the examples `names`; robot.py needs numpy (a target
    with no wheel of it goes without, and these cases skip there)."""
    has_numpy = importlib.util.find_spec("numpy") is not None
    return [pytest.param(n, marks=pytest.mark.skipif(n == "robot.py" and not has_numpy, reason="numpy is not installed"))
            for n in names]


def example(name, *args):
    return [sys.executable, str(EXAMPLES / name), *map(str, args)]


# The examples run with their standard output buffered, as a user runs them:
# with PYTHONUNBUFFERED, print() writes its text and its newline in two
# writes, and a signal sent on seeing the text can land between them.
BUFFERED = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}


def without_slow_warning(err):
    """Standard error without the warning of a loop that could not keep its rate."""
    return "".join(line for line in err.splitlines(True) if not line.startswith("warning: ran at "))


def run_example(name, *args, env=None):
    return subprocess.run(example(name, *args), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=LIMIT, env=env)


def received(log, ident=None):
    """(identifier, data hex) of every frame the simulator received, in order."""
    out = []
    for line in Path(log).read_text().splitlines():
        parts = line.split()
        if parts[0] == "rx" and (ident is None or parts[1] == ident):
            out.append((parts[1], parts[2]))
    return out


def logged(log, idents):
    """'rx ID' or 'tx ID' of every frame the simulator received or sent from or to `idents`."""
    out = []
    for line in Path(log).read_text().splitlines():
        parts = line.split()
        if parts[0] in ("rx", "tx") and parts[1] in idents:
            out.append(f"{parts[0]} {parts[1]}")
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
                            stderr=subprocess.PIPE, env=BUFFERED)
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


def wait_for_text(path, text, proc):
    """Wait until the file `path`, which the running `proc` writes, holds `text`."""
    end = time.monotonic() + LIMIT
    while text not in Path(path).read_text():
        assert proc.poll() is None, f"exited (status {proc.returncode}) before {text!r}"
        assert time.monotonic() < end, f"no {text!r} in {Path(path).read_text()!r}"
        time.sleep(0.05)


def wait_for_log(log, want, count=1):
    """received(log) once it holds `count` frames `want`."""
    end = time.monotonic() + LIMIT
    while received(log).count(want) < count and time.monotonic() < end:
        time.sleep(0.05)
    return received(log)


@pytest.mark.bus
def test_sine_streams_a_sine_and_disables_the_motor(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1, "--log", log):
        r = run_example("sine.py", can_iface, "--motor-id", M1, "--master-id", S1,
                        "--model", "dm4310", "--amplitude", "0.5", "--frequency", "2",
                        "--duration", "0.5", "--rate", "500", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS)
    assert r.returncode == 0, r.stderr
    assert without_slow_warning(r.stderr) == ""
    lines = r.stdout.splitlines()
    assert lines[0].startswith("enabled Damiao(motor_id=0x351, master_id=0x3d1): MotorState(motor_id=1, error=1,")
    assert lines[1].startswith("streaming 250 setpoints at 500 Hz")
    assert lines[2].startswith("t=  0.000 s  q_set=+0.0000")
    assert lines[-2] == "disabled Damiao(motor_id=0x351, master_id=0x3d1)"
    summary = lines[-1]
    assert summary.startswith("sent ") and " of 250 setpoints, failed: 0; overruns: " in summary
    sent = int(summary.split()[1])

    frames = received(log, "351")
    assert frames[0] == ("351", ENABLE) and frames[-1] == ("351", DISABLE)
    commands = [data for _, data in frames[2:-1]]  # after the hold
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
             "--duration", "3600", "--report", "0.01", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS],
            "t=", signo)  # once the setpoint loop runs
    assert status == 128 + signo, err
    assert without_slow_warning(err) == ""
    assert f"stopped by {name}\ndisabled Damiao(motor_id=0x351, master_id=0x3d1)\n" in out
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
                        "--duration", "1", "--timeout-ms", "50", "--disable-retry", "0")
        frames = wait_for_log(log, ("35A", DISABLE), 3)
    assert r.returncode == 1
    motor, timeout = "Damiao(motor_id=0x35a, master_id=0x3da)", "transport error: timeout waiting for frame"
    # Its watchdog cannot be written (nobody answers the read-back): no enable goes out.
    assert r.stderr == (f"error: enable {motor}: {timeout}\n"
                        "error: disabling the group after the failed enable failed too: 1 of 1 members "
                        f"failed; member 0 (motor_id=0x35a): {timeout}\n")
    assert r.stdout.startswith(f"sent 0 of 500 setpoints, failed: 1 (last: enable: {timeout}); overruns: 0,")
    # The scope's disables: three at least, more while its disable_timeout_ms (500 ms) lasts.
    disables = [f for f in frames if f[0] == "35A"]
    assert len(disables) >= 3 and set(disables) == {("35A", DISABLE)}


@pytest.mark.bus
def test_two_motors_share_one_bus(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    # A model in any case; replies 30 ms late, so that the log shows whether
    # both commands of a tick went out before the first reply came back.
    first, second = f"{M1}:{S1}", f"{M2}:{S2}:DM4340"
    with rotalink_sim.spawn(can_iface, "--motor", first, "--motor", second, "--delay-ms", "30",
                            "--log", log):
        r = run_example("two_motors.py", can_iface, "--motor", first, "--motor", second,
                        "--duration", "0.5", "--rate", "20",
                        "--frequency", "2", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS)
    assert r.returncode == 0, r.stderr
    assert without_slow_warning(r.stderr) == ""
    out = r.stdout
    assert "enabled Damiao(motor_id=0x351, master_id=0x3d1): MotorState(motor_id=1," in out
    assert "enabled Damiao(motor_id=0x352, master_id=0x3d2): MotorState(motor_id=2," in out
    assert "\ndisabled Damiao(motor_id=0x351, master_id=0x3d1), Damiao(motor_id=0x352, master_id=0x3d2)\n" in out
    summary = out.splitlines()[-1]
    assert summary.endswith(", failed commands: 0")
    ticks = int(summary.split()[1])

    commands = [(i, d) for i, d in received(log) if i in ("351", "352")]
    assert commands[:2] == [("351", ENABLE), ("352", ENABLE)]
    assert commands[-2:] == [("351", DISABLE), ("352", DISABLE)]
    mit = commands[4:-2]  # after the hold
    # Each tick commands motor 1 and then motor 2, mirrored by the 180 degree phase.
    assert [i for i, _ in mit] == ["351", "352"] * ticks
    for (_, a), (_, b) in zip(mit[0::2], mit[1::2]):
        assert abs(q_of(a) + q_of(b, "dm4340")) < 1e-3
    # The watchdog written and read back, motor after motor (the requests go to 0x7FF); then, as
    # one group, both commands out and both replies in the enable, the hold, every tick and the disable.
    frames = logged(log, ("351", "352", "3D1", "3D2"))
    assert frames[:4] == ["tx 3D1", "tx 3D1", "tx 3D2", "tx 3D2"]
    assert frames[4:] == ["rx 351", "rx 352", "tx 3D1", "tx 3D2"] * (ticks + 3)


@pytest.mark.bus
def test_two_motors_with_a_silent_one_enable_neither_and_retry_only_the_silent_motors_disable(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    first, second = f"{M1}:{S1}", f"{M2}:{S2}"
    with rotalink_sim.spawn(can_iface, "--motor", first, "--log", log):  # the second one is missing
        r = run_example("two_motors.py", can_iface, "--motor", first, "--motor", second,
                        "--timeout-ms", "200", "--watchdog-ms", WATCHDOG_MS)
        wait_for_log(log, ("352", DISABLE), 3)
    assert r.returncode == 1
    silent, timeout = "Damiao(motor_id=0x352, master_id=0x3d2)", "transport error: timeout waiting for frame"
    failed = f"1 of 2 members failed; member 1 (motor_id=0x352): {timeout}"
    # The silent motor's watchdog is not written, so nothing is enabled; the disable goes to both.
    assert r.stderr == (f"error: enable {silent}: {timeout}\n"
                        f"error: disabling the group after the failed enable failed too: {failed}\n")
    assert r.stdout == f"ticks: 0 of 1000, overruns: 0, failed commands: 1 (last: enable: {failed})\n"
    assert received(log, "351") == [("351", DISABLE)]
    assert received(log, "352") == [("352", DISABLE)] * 3


@pytest.mark.bus
def test_sine_retries_the_disable_until_the_link_is_back(can_iface, tmp_path):
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("taking the interface down needs root and ip")
    log, out, err = tmp_path / "frames.log", tmp_path / "out", tmp_path / "err"

    def link(state):
        return subprocess.run(["ip", "link", "set", can_iface, state], capture_output=True).returncode

    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1, "--log", log), \
            open(out, "w") as stdout, open(err, "w") as stderr:
        proc = subprocess.Popen(
            example("sine.py", can_iface, "--motor-id", M1, "--master-id", S1, "--duration", "3600",
                    "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS, "--disable-retry", LIMIT),
            stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
        try:
            wait_for_text(out, "\nt=", proc)  # once the setpoint loop runs
            assert link("down") == 0
            wait_for_text(err, "retrying the disable", proc)
            assert link("up") == 0
            status = proc.wait(timeout=LIMIT)
        finally:
            link("up")
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    motor = "Damiao(motor_id=0x351, master_id=0x3d1)"
    errors = without_slow_warning(err.read_text()).splitlines()
    assert status == 1
    assert errors[0].startswith("error: 10 setpoints in a row failed: ") and "(os error 100)" in errors[0]
    assert errors[1].startswith(f"error: disable {motor}: ") and "(os error 100)" in errors[1]
    assert errors[2:] == [f"retrying the disable of {motor} every 0.1 s for up to {LIMIT} s (Ctrl-C stops)"]
    lines = out.read_text().splitlines()
    assert lines[-2].startswith(f"disabled {motor}: MotorState(motor_id=1, ")
    assert lines[-1].startswith("sent ") and " (last: disable: " in lines[-1]
    assert int(lines[-1].split("failed: ")[1].split()[0]) >= 11  # the loop's 10 and the disable
    assert received(log, "351")[-1] == ("351", DISABLE)


@pytest.mark.bus
def test_ensure_mit_switches_the_mode_then_commands(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1,
                            "--mode", "pos_vel", "--log", log):
        r = run_example("ensure_mit.py", can_iface, "--motor-id", M1, "--master-id", S1,
                        "--count", "3", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "Damiao(motor_id=0x351, master_id=0x3d1) is in MIT mode"
    assert lines[1].startswith("enabled: MotorState(motor_id=1,")
    assert [line.split(":")[0] for line in lines[2:5]] == ["command 1", "command 2", "command 3"]
    assert lines[5:] == ["disabled the motor"]
    frames = [f for f in received(log) if f[0] in ("7FF", "351")]
    read, refresh, write = ("7FF", "5103330A00000000"), ("7FF", "5103CC0000000000"), ("7FF", "5103550A01000000")
    assert frames[:4] == [read, refresh, write, read]
    # The watchdog written (2000 ms in 50 us units) and read back, the enable, the hold, 3 commands.
    assert frames[4:6] == [("7FF", "51035509409C0000"), ("7FF", "5103330900000000")]
    assert frames[6] == ("351", ENABLE) and frames[-1] == ("351", DISABLE)
    assert len(frames) == 4 + 2 + 1 + 1 + 3 + 1


@pytest.mark.bus
def test_modes_drives_the_motor_in_each_mode_and_puts_its_mode_back(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1, "--mode", "vel", "--log", log):
        r = run_example("modes.py", can_iface, "--motor-id", M1, "--master-id", S1, "--count", "2",
                        "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].startswith("Damiao(motor_id=0x351, master_id=0x3d1) is in VEL mode: MotorState(motor_id=1,")
    assert [line for line in lines if line.endswith(" mode")] == ["MIT mode", "POS_VEL mode", "VEL mode",
                                                                 "FORCE_POS mode", "back in VEL mode"]
    frames = received(log)
    # Each mode's commands on its own identifier, in turn; the mode put back.
    assert list(dict.fromkeys(i for i, _ in frames if i in ("351", "451", "551", "651"))) == ["351", "451", "551", "651"]
    assert [d for i, d in frames if i == "7FF" and d[4:6] == "55"][-1] == "5103550A03000000"


@pytest.mark.bus
def test_ensure_mit_stops_when_the_motor_does_not_switch(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1,
                            "--mode", "vel", "--ignore-writes", "--log", log):
        r = run_example("ensure_mit.py", can_iface, "--motor-id", M1, "--master-id", S1,
                        "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == ("error: ensure_mit_mode: control mode verification failed: "
                        "wrote 1, motor reports 3\n")
    assert received(log, "351") == []  # never enabled nor commanded


@pytest.mark.bus
def test_ensure_mit_stopped_by_sigint_disables_the_motor(can_iface, tmp_path):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1, "--log", log):
        status, out, err = stop_when(
            ["ensure_mit.py", can_iface, "--motor-id", M1, "--master-id", S1, "--count", "1000000",
             "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS], "command 1:", signal.SIGINT)
    assert (status, err) == (128 + signal.SIGINT, "")
    assert out.splitlines()[-2:] == ["stopped by SIGINT", "disabled the motor"]
    frames = received(log, "351")
    assert frames[0] == ("351", ENABLE) and frames[-1] == ("351", DISABLE) and len(frames) >= 3


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
                        "--model", "dm4310", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS)
    assert (r.returncode, r.stderr) == (0, "")
    lines = r.stdout.splitlines()
    p_max = "3.14" if preset else "12.5"
    assert lines[:3] == [f"motor:  MitLimits(p_max={p_max}, v_max=30, kp_max=500, kd_max=5, t_max=10)",
                         "dm4310: MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)",
                         said]
    assert lines[3].startswith("enabled: MotorState(motor_id=1,")
    assert lines[4:] == ["disabled the motor"]
    # PMAX, VMAX and TMAX read; the watchdog written and read back, the enable,
    # a refresh and the disable.
    assert [f for f in received(log) if f[0] in ("7FF", "351")] == [
        ("7FF", f"510333{reg:02X}00000000") for reg in (21, 22, 23)] + [
        ("7FF", "51035509409C0000"), ("7FF", "5103330900000000"), ("351", ENABLE),
        ("7FF", "5103CC0000000000"), ("351", DISABLE)]


@pytest.mark.parametrize("name", examples("sine.py", "two_motors.py", "ensure_mit.py", "group.py", "limits.py",
                                           "values.py", "modes.py", "loop.py", "robot.py"))
def test_every_example_starts_and_explains_its_options(name):
    r = run_example(name, "--help")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith(f"usage: {name} ") and ("iface" in r.stdout) == (name != "values.py")


def test_values_runs_without_arguments():
    r = run_example("values.py")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("rotalink 1.0.0 ")


@pytest.mark.parametrize("name, args", [
    ("sine.py", ["--model", "DM4340"]),
    ("limits.py", ["--model", "Dm4310"]),
    ("ensure_mit.py", ["--model", "DMH3510"]),
    ("two_motors.py", ["--motor", "1:0x11:DM4310P", "--motor", "2:0x12"]),
    ("group.py", ["--motor", "1:0x11:DM8009"]),
    ("loop.py", ["--motor", "1:0x11:DM8009", "--motor", "2:0x12"]),
])
def test_every_example_takes_a_model_in_any_case(name, args):
    r = run_example(name, "rotalink-none0", *args)  # gets as far as opening the bus
    assert r.returncode == 1 and r.stderr.startswith("error: cannot open rotalink-none0: "), r.stderr


def can_sockets():
    try:
        socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW).close()
    except (AttributeError, OSError):
        return False
    return True


LIST_CAN = ("list the CAN interfaces with: ip -details link show type can "
            "(virtual ones: ip link show type vcan)")
NO_SUCH = ("No such device (os error 19)", "there is no network interface named {}; " + LIST_CAN)


# Marked bus so that the run on a kernel with CAN sockets (the VM) takes it as
# well as a host without them; it needs no CAN interface of its own.
@pytest.mark.bus
@pytest.mark.parametrize("iface, error, hint", [
    ("lo", "No such device (os error 19)", "lo is not a CAN interface; " + LIST_CAN)
    if can_sockets() else
    ("lo", "Address family not supported by protocol (os error 97)",
     "this kernel has no CAN sockets loaded: sudo modprobe can_raw "
     "(and sudo modprobe vcan for a virtual interface)"),
    ("rotalink-none0", *NO_SUCH),
    ("vcan9", NO_SUCH[0], NO_SUCH[1] + "; make a virtual one with: sudo ip link add dev {} type vcan"
                                       " && sudo ip link set {} up"),
], ids=["lo", "absent", "absent-vcan"])
def test_a_bus_that_cannot_be_opened_is_explained(iface, error, hint):
    r = run_example("limits.py", iface)
    assert r.returncode == 1
    assert r.stderr == f"error: cannot open {iface}: {error}\nhint: {hint.format(iface, iface, iface)}\n"


@pytest.mark.parametrize("args, message", [
    (["--motor", "1"], "expected ID:MASTER[:MODEL], got '1'"),
    (["--motor", "1:0x11@"], "no interface after '@' in '1:0x11@'"),
    (["--rate", "0"], "--rate must be positive"),
    (["--motor", "1:0x11:dm9999"], "unknown model 'dm9999' (choose from dm3507, dm4310, "),
    (["--disable-retry", "-1"], "--disable-retry must be zero or positive"),
])
def test_group_refuses_bad_options(args, message):
    r = run_example("group.py", "vcan0", *args)
    assert r.returncode == 2 and message in r.stderr, r.stderr


@pytest.mark.bus
@pytest.mark.parametrize("name, motors, rows", [
    ("sine.py", ["--motor-id", M1, "--master-id", S1], 1),
    ("group.py", ["--motor", f"{M1}:{S1}", "--motor", f"{M2}:{S2}"], 2),
])
def test_plot_draws_a_row_per_motor(can_iface, tmp_path, name, motors, rows):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "plot.png"
    with rotalink_sim.spawn(can_iface, "--motor", f"{M1}:{S1}", "--motor", f"{M2}:{S2}"):
        r = run_example(name, can_iface, *motors, "--duration", "0.5", "--rate", "100",
                        "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS, "--plot", plot,
                        env=dict(os.environ, MPLCONFIGDIR=str(tmp_path)))
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith(f"\nwrote the plot to {plot}\n")
    png = plot.read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[12:16] == b"IHDR"
    # 10 inches wide, 2.5 per motor and 0.9 for the title, at 90 dots per inch.
    size = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
    assert size == (900, 90 * (25 * rows + 9) // 10)


@pytest.mark.parametrize("name", examples("sine.py", "two_motors.py", "group.py", "loop.py", "robot.py"))
def test_plot_without_matplotlib_fails_before_opening_the_bus(tmp_path, name):
    fake = tmp_path / "fake" / "matplotlib"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError(\"No module named 'matplotlib'\")\n")
    path = [str(tmp_path / "fake")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    iface = ["--iface"] if name == "robot.py" else []
    r = run_example(name, *iface, "rotalink-none0", "--plot", tmp_path / "plot.png",
                    env=dict(os.environ, PYTHONPATH=os.pathsep.join(path)))
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr == ("error: --plot needs matplotlib, which cannot be imported (No module named "
                        "'matplotlib'): pip install matplotlib (or, in rotalink's source tree, "
                        "pip install .[plot])\n")
    assert not (tmp_path / "plot.png").exists()


def group_frames(log, ident):
    """The frames to `ident` in the log: the enable, the MIT commands, the
    disables (more than one when a confirmation came late: the confirmed
    stop sends again); the MIT commands."""
    frames = [data for _, data in received(log, ident)]
    assert frames[0] == ENABLE and frames[-1] == DISABLE, frames
    end = frames.index(DISABLE)
    assert ENABLE not in frames[1:end] and set(frames[end:]) == {DISABLE}, frames
    return frames[1:end]


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
             "--report", "0.01", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS], "t=", signal.SIGINT)
    assert status == 128 + signal.SIGINT, err
    assert err == ""
    assert f"enabled MotorGroup(members=3, buses=2, timeout_ms={REPLY_MS}, fd=False)" in out
    assert "stopped by SIGINT" in out
    for name, n in [(f"{can_iface}/0x351", 1), (f"{can_iface}/0x352", 2), (f"{can_iface2}/0x351", 1)]:
        assert f"\nenabled {name}: MotorState(motor_id={n}, " in out
    assert f"\ndisabled {can_iface}/0x351, {can_iface}/0x352, {can_iface2}/0x351\n" in out
    summary = out.splitlines()[-1]
    assert summary.startswith("cycles: ") and summary.endswith(", group errors: 0"), summary
    cycles = int(summary.split()[1])

    # The hold and every cycle command every motor; the interrupted one may
    # have sent its commands without being counted.
    first_bus = [(i, d) for i, d in received(log) if i in ("351", "352")]
    assert [i for i, _ in first_bus[:2]] == ["351", "352"]
    assert [i for i, _ in first_bus[-2:]] == ["351", "352"]
    mit = first_bus[2:min(k for k, (_, d) in enumerate(first_bus) if d == DISABLE)]
    assert [i for i, _ in mit] == ["351", "352"] * (len(mit) // 2)
    assert len(mit) // 2 in (cycles + 1, cycles + 2), (cycles, mit)
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
                 "--report", "0.01", "--timeout-ms", "500", "--watchdog-ms", WATCHDOG_MS,
                 "--disable-retry", "0"], "t=",
                then=second_sim.terminate)
    assert status == 1, err
    silent = "member 1 (motor_id=0x352): transport error: timeout waiting for frame"
    assert f"error: 10 cycles in a row failed: 1 of 2 members failed; {silent}\n" in err
    assert err.endswith("error: disable 0x352: transport error: timeout waiting for frame\n")
    assert "\ndisabled 0x351: MotorState(motor_id=1, " in out
    summary = out.splitlines()[-1]
    assert f"(last: disable: 1 of 2 members failed; {silent})" in summary  # the disable counts too
    assert int(summary.split("group errors: ")[1].split()[0]) >= 11
    assert len(mit_commands(log, "351")) == len(mit_commands(log, "352")) >= 11  # the hold and 10 cycles
    assert received(log, "352")[-3:] == [("352", DISABLE)] * 3  # the scope's three cycles



def arm_description(tmp_path):
    """examples/arm.toml on identifiers of these tests' own: motor 0x0N as
    0x36N, answering from 0x3eN. The file and its joints."""
    desc = tmp_path / "arm.toml"
    desc.write_text(re.sub(r"(motor|master)_id = 0x([01])(\d)",
                           lambda m: f"{m[1]}_id = 0x{'36' if m[2] == '0' else '3e'}{m[3]}",
                           (EXAMPLES / "arm.toml").read_text()))
    return desc, pytest.importorskip("rotalink_scan.description").load(desc).joints


def wire_commands(frames, joints):
    """Per joint, the commands the simulator received in its mode, in order,
    in joint units: (q, dq) (q NaN for VEL; dq a magnitude for POS_VEL),
    decoded with the simulator's codec."""
    from rotalink_sim import codec, model
    ids = {f"{j.motor_id + {1: 0, 2: 0x100, 3: 0x200}[int(j.mode)]:X}": i for i, j in enumerate(joints)}
    out = [[] for _ in joints]
    for ident, data in frames:
        if ident not in ids or data in SPECIAL:
            continue
        i = ids[ident]
        j, raw = joints[i], bytes.fromhex(data)
        dg = j.direction * j.gear
        if int(j.mode) == 1:
            f = codec.decode_command(j.limits.mit_limits(), raw)
            out[i].append(((f[0] - j.offset) / dg, f[1] / dg))
        elif int(j.mode) == 3:
            (v,) = model.decode_wire(model.MODE_VEL, raw)
            out[i].append((math.nan, v / dg))
        else:
            p, speed = model.decode_wire(model.MODE_POS_VEL, raw)
            out[i].append(((p - j.offset) / dg, speed / abs(j.gear)))
    return out


@pytest.mark.bus
def test_robot_drives_the_example_arm_in_joint_space_and_records_every_cycle(can_iface, tmp_path):
    # All six joints' motors simulated in MIT mode; the run recorded.
    desc, joints = arm_description(tmp_path)
    log = tmp_path / "frames.log"
    record = tmp_path / "run.mcap"
    motors = [a for j in joints for a in ("--motor", f"{j.motor_id:#x}:{j.master_id:#x}:{j.model}")]
    with rotalink_sim.spawn(can_iface, *motors, "--log", log):
        r = run_example("robot.py", "--description", desc, "--iface", can_iface, "--seconds", "1",
                        "--rate", "50", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS,
                        "--hold-ms", WATCHDOG_MS, "--record", record)
    assert r.returncode == 0, r.stderr
    assert without_slow_warning(r.stderr) == ""
    lines = r.stdout.splitlines()
    names = tuple(j.name for j in joints)
    assert lines[0] == f"enabled Robot(names={names!r}, timeout_ms={REPLY_MS}) on can0={can_iface}"
    assert lines[-4] == "disabled every joint's motor"
    # Never faster than asked (emulated time may be slower); every joint's error a number.
    ran = re.fullmatch(r"cycles (\d+), ([\d.]+) Hz of 50 requested, overruns \d+, missed replies \d+", lines[-3])
    assert ran and int(ran[1]) >= 2 and float(ran[2]) <= 50 * 1.05, lines[-3]
    assert lines[-2] == f"recorded {ran[1]} cycles to {record}"
    units = ["rad/s" if j.mode.name == "VEL" else "rad" for j in joints]
    assert re.fullmatch("max tracking error: " + ", ".join(
        rf"{n} \d+\.\d{{4}} {u}" for n, u in zip(names, units)), lines[-1]), lines[-1]

    frames = received(log)
    # Entering switched joint 5 to VEL (3) and joint 6 to POS_VEL (2), before any enable.
    writes = [d for i, d in frames if i == "7FF" and d[4:8] == "550A"]
    assert writes == ["6503550A03000000", "6603550A02000000"]
    assert frames.index(("7FF", writes[-1])) < min(n for n, (_, d) in enumerate(frames) if d == ENABLE)
    for j in joints:  # commands on the identifier of the joint's mode; enabled first, disabled last
        own = {f"{j.motor_id + k:X}" for k in (0, 0x100, 0x200, 0x300)}
        mode_id = f"{j.motor_id + {1: 0, 2: 0x100, 3: 0x200}[int(j.mode)]:X}"
        specials = [d for i, d in frames if i in own and d in SPECIAL]
        assert specials[0] == ENABLE and specials[-1] == DISABLE, (j.name, specials)
        assert any(i == mode_id and d not in SPECIAL for i, d in frames), j.name

    # The record: a cycle for each the loop ran, each joint's commands as
    # the simulator received them, every reply answered.
    plot = pytest.importorskip("rotalink_scan.plot")
    rec = plot.read(str(record))
    assert rec.complete and len(rec) == int(ran[1]) and rec.names == list(names)
    assert rec.cycle == list(range(1, len(rec) + 1)) and rec.summary["dropped"] == "0", rec.summary
    for i, (j, wire) in enumerate(zip(joints, wire_commands(frames, joints))):
        col = rec.joints[j.name]
        sent = [(q, dq) for q, dq in zip(col["q_cmd"], col["dq_cmd"]) if not math.isnan(dq)]
        assert len(sent) == len(wire), (j.name, len(sent), len(wire))
        for got, want in zip(sent, wire):
            assert got == pytest.approx(want, rel=1e-5, abs=1e-5, nan_ok=True), (j.name, got, want)
    # Every cycle but those before the first replies was answered.
    assert sum(all(rec.joints[n]["answered"][k] for n in names) for k in range(len(rec))) >= len(rec) - 2
    # rotalink-plot draws it and writes a row per cycle.
    png, csv = tmp_path / "run.png", tmp_path / "run.csv"
    r = subprocess.run([sys.executable, "-m", "rotalink_scan.plot", str(record), "--out", str(png), "--csv", str(csv)],
                       capture_output=True, text=True, timeout=LIMIT)
    assert r.returncode == 0, r.stderr
    assert png.stat().st_size > 10000 and len(csv.read_text().splitlines()) == 1 + len(rec)


@pytest.mark.bus
def test_a_killed_recording_reads_to_its_last_whole_chunk(can_iface, tmp_path):
    # robot.py recording at 100 Hz, killed (SIGKILL) well into its run: what
    # it wrote reads back from the first cycle on, with no cycle missing,
    # and no more than the last second or so (a chunk, and the writer's
    # batch) is lost.
    desc, joints = arm_description(tmp_path)
    record = tmp_path / "killed.mcap"
    motors = [a for j in joints for a in ("--motor", f"{j.motor_id:#x}:{j.master_id:#x}:{j.model}")]
    with rotalink_sim.spawn(can_iface, *motors):
        proc = subprocess.Popen(example("robot.py", "--description", desc, "--iface", can_iface, "--seconds", "600",
                                        "--rate", "100", "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS,
                                        "--hold-ms", WATCHDOG_MS, "--record", record),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for_line(proc, "running the loop")
            time.sleep(4.0)
        finally:
            proc.send_signal(signal.SIGKILL)
            proc.communicate()
    plot = pytest.importorskip("rotalink_scan.plot")
    rec = plot.read(str(record))
    assert not rec.complete and rec.summary == {}
    assert len(rec) >= 100 and rec.cycle == list(range(1, len(rec) + 1)), (len(rec), rec.problem)


OWN_ID = "error: the reply identifier 0x351 of member 0 is its own command identifier\n"


@pytest.mark.bus
@pytest.mark.parametrize("name, args, message", [
    ("group.py", ["--motor", f"{M1}:{S1}", "--motor", f"{M2}:{S1}"],
     "error: members 0 and 1 share reply identifier 0x3d1 on one bus\n"),
    ("sine.py", ["--motor-id", M1, "--master-id", M1], OWN_ID),
    ("limits.py", ["--motor-id", M1, "--master-id", M1], OWN_ID),
    ("ensure_mit.py", ["--motor-id", M1, "--master-id", M1], OWN_ID),
])
def test_motors_no_group_takes_are_refused_before_anything_is_sent(can_iface, tmp_path, name, args, message):
    log = tmp_path / "frames.log"
    with rotalink_sim.spawn(can_iface, "--motor", f"{M1}:{S1}", "--log", log):
        r = run_example(name, can_iface, *args)
    assert (r.returncode, r.stderr) == (2, message)
    assert [f for f in received(log) if f[0] in ("351", "352", "7FF")] == []


# How each run ends, and what it leaves: every member's disable frame on the
# wire, seen by a raw socket of the test's own, after the signal or the
# fault. loop.py runs the same motors through the native control loop, its
# own watchdog as long as the motors' (an emulated machine can be slow).
GROUP = ["--motor", f"{M1}:{S1}", "--motor", f"{M2}:{S2}", "--rate", "50", "--report", "0.02",
         "--timeout-ms", REPLY_MS, "--watchdog-ms", WATCHDOG_MS]
LOOP = ["loop.py", "--hold-ms", WATCHDOG_MS]
# The last line of loop.py once its loop ran, however it ended: the loop's timing.
STATS = (r"stats: LoopStats\(cycles=\d+, overruns=\d+, rate_hz=[\d.]+, period_us=\([\d., ]+\), "
         r"latency_us=\([\d., ]+\), missed=\(\d+, \d+\), faults=\(\d+, \d+\)\)")


@pytest.mark.bus
@pytest.mark.parametrize("run, signo, env, sim, status, said", [
    (["group.py"], signal.SIGINT, {}, [], 128 + signal.SIGINT, "stopped by SIGINT"),
    (["group.py"], signal.SIGTERM, {}, [], 128 + signal.SIGTERM, "stopped by SIGTERM"),
    (["group.py"], None, {"ROTALINK_EXAMPLE_FAIL_AT": "5"}, [], 1,
     "RuntimeError: failing on purpose at cycle 5 (ROTALINK_EXAMPLE_FAIL_AT)"),
    (["group.py"], None, {}, ["--fault", "overload@1"], 1, "OVERLOAD"),
    (LOOP + ["--duration", "1"], None, {}, [], 0, "\nrunning the control loop at 50 Hz for 1 s: "),
    (LOOP, signal.SIGINT, {}, [], 128 + signal.SIGINT, "stopped by SIGINT"),
    (LOOP, None, {}, ["--fault", "overload@1"], 1, "OVERLOAD"),
    # motors that answer every disable still ENABLED: the scope's and the retries'
    (["group.py", "--duration", "1", "--disable-retry", "0.3"], None, {}, ["--ignore-disables", "1000"], 1,
     "error: disable 0x352: still reports ENABLED after 3 disables\n"
     "retrying the disable of 0x351, 0x352 every 0.1 s for up to 0.3 s (Ctrl-C stops)\n"
     "error: 0x351, 0x352 not disabled after 0.3 s of retries (last: still reports ENABLED)\n"),
], ids=["SIGINT", "SIGTERM", "exception", "fault", "loop", "loop-SIGINT", "loop-fault", "still enabled"])
def test_however_the_loop_ends_every_member_is_disabled(can_iface, sniffer, run, signo, env, sim, status, said):
    name, *options = run
    with rotalink_sim.spawn(can_iface, "--motor", f"{M1}:{S1}", "--motor", f"{M2}:{S2}", *sim):
        proc = subprocess.Popen(example(name, can_iface, *GROUP, "--duration", "3600", *options),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=dict(BUFFERED, **env))
        since, head = time.time(), ""
        try:
            if signo is not None:
                head = wait_for_line(proc, "t=")  # the loop runs
                since = time.time()
                proc.send_signal(signo)
            out, err = proc.communicate(timeout=LIMIT)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        frames = sniffer.timed_frames()
    out, err = head + out.decode(), err.decode()
    assert proc.returncode == status, err
    assert said in out + err
    if name == "loop.py" and "\nrunning the control loop at " in out:  # (a fault may come before)
        assert re.fullmatch(STATS, out.splitlines()[-1]), out
    for ident in (0x351, 0x352):
        sent = [(data.hex().upper(), stamp) for (can_id, data, _, _), stamp in frames if can_id == ident]
        assert sent[-1][0] == DISABLE and sent[-1][1] >= since, (hex(ident), sent[-3:])
        assert sum(1 for data, _ in sent if data == ENABLE) == 1


@pytest.mark.bus
def test_a_loop_that_cannot_keep_its_rate_says_so(can_iface):
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1):
        r = run_example("sine.py", can_iface, "--motor-id", M1, "--master-id", S1, "--rate", "20000",
                        "--duration", "0.5", "--report", "0", "--timeout-ms", REPLY_MS,
                        "--watchdog-ms", WATCHDOG_MS)
    assert r.returncode == 0, r.stderr
    assert re.fullmatch(r"warning: ran at [\d.]+ setpoints per second, \d+% of the requested 20000: "
                        r"lower --rate, or find what holds the loop up\n", r.stderr), r.stderr
    assert int(r.stdout.splitlines()[-1].split()[1]) < 10000


@pytest.mark.bus
def test_a_killed_example_leaves_its_motor_to_the_watchdog(can_iface, sniffer):
    import rotalink
    with rotalink_sim.spawn(can_iface, "--motor-id", M1, "--master-id", S1):
        proc = subprocess.Popen(
            example("sine.py", can_iface, "--motor-id", M1, "--master-id", S1, "--rate", "50",
                    "--duration", "3600", "--report", "0.02", "--timeout-ms", REPLY_MS, "--watchdog-ms", "500"),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=BUFFERED)
        try:
            wait_for_line(proc, "t=")  # the loop runs
        finally:
            proc.kill()
            proc.communicate()
        assert proc.returncode == -signal.SIGKILL
        sent = [data.hex().upper() for can_id, data, _, _ in sniffer.frames() if can_id == int(M1, 16)]
        assert sent[0] == ENABLE and DISABLE not in sent  # the example never disabled it
        # Its feedback reports COMM_LOST once the watchdog's half second has
        # passed (a tripped motor stays so, whatever it is sent after; asked
        # less often than that, in case an answered request counts as a command).
        bus = rotalink.SocketCanTransport(can_iface)
        motor = rotalink.Damiao(int(M1, 16), int(S1, 16), timeout_ms=int(REPLY_MS))
        end = time.monotonic() + LIMIT
        while motor.refresh(bus).error != rotalink.Status.COMM_LOST:
            assert time.monotonic() < end, "the motor never reported COMM_LOST"
            time.sleep(1.0)
        assert motor.disable(bus).error == rotalink.Status.COMM_LOST


# ------------------------------------------------------------ C++ examples

# The programs of examples/cpp as tests/consumer/run built them against the
# installed library (static, through find_package), run on the wire. Where
# they were not built these tests skip, unless ROTALINK_REQUIRE_CPP_EXAMPLES=1
# (CI), which makes that a failure.
CPP_EXAMPLES = Path(os.environ.get("ROTALINK_CPP_EXAMPLES", EXAMPLES.parent / "build" / "consumer" / "bin"))
REQUIRE_CPP_EXAMPLES = os.environ.get("ROTALINK_REQUIRE_CPP_EXAMPLES") == "1"
# The C++ examples' motors answer from their identifier + 0x10.
C1, C2 = 0x361, 0x362
CPP_GROUP = ["--ids", f"{C1:#x},{C2:#x}", "--watchdog-ms", WATCHDOG_MS]
f32 = rotalink_sim.codec.f32


def mit_bytes(q, kp=5.0, kd=f32(0.3)):
    """An MIT command's bytes as the host encodes them (the examples' kp 5,
    kd 0.3)."""
    return rotalink_sim.encode_command("dm4310", q=q, kp=kp, kd=kd).hex().upper()


# The examples' gains as the wire carries them (12 bits each).
GAINS = (lambda c: (c.kp, c.kd))(rotalink_sim.decode_command("dm4310", bytes.fromhex(mit_bytes(0.0))))


def cpp_example(name):
    path = CPP_EXAMPLES / name
    if not os.access(path, os.X_OK):
        why = f"no C++ example {path} (tests/consumer/run builds it; ROTALINK_CPP_EXAMPLES names the folder)"
        if REQUIRE_CPP_EXAMPLES:
            pytest.fail(why)
        pytest.skip(why)
    return str(path)


@pytest.mark.bus
@pytest.mark.parametrize("name, options, idents, commands, q_max, said", [
    # Positions 0 to 0.4 rad (0.1f times 0 to 4, in float): these bytes.
    ("one_motor", ["--motor-id", f"{C1:#x}", "--master-id", f"{C1 + 0x10:#x}"], [C1],
     [mit_bytes(f32(f32(0.1) * i)) for i in range(5)], 0.4, "disabled: status DISABLED\n"),
    # Each motor held where it is, ten times. The simulated motor creeps while
    # held: the MIT zero of velocity and torque is a raw midpoint, a little
    # below 0 (-0.0073 rad/s, -0.0024 Nm), so it moves by up to about
    # 0.015 rad a second of a slow run; the bound allows for seconds of that.
    ("group_scope", CPP_GROUP, [C1, C2], 10, 0.1, "every motor disabled\n"),
    # A 1 kHz loop for a second, a sine of 0.3 rad; emulated time is slow, so
    # its rate is bounded from above only.
    ("control_loop", CPP_GROUP + ["--rate", "1000", "--seconds", "1", "--hold-ms", WATCHDOG_MS], [C1, C2],
     None, 0.3 + 1e-3, "cycles "),
], ids=["one_motor", "group_scope", "control_loop"])
def test_cpp_examples_on_the_wire(can_iface, sniffer, name, options, idents, commands, q_max, said):
    program = cpp_example(name)
    # The frames to the motors alone, into a buffer deep enough for the
    # whole run (read once it has ended).
    sniffer.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                            b"".join(struct.pack("=II", i, 0x7FF | socket.CAN_EFF_FLAG | socket.CAN_RTR_FLAG)
                                     for i in idents))
    try:
        sniffer.sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 32 << 20)
    except PermissionError:
        sniffer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 20)
    sniffer.drain()
    with rotalink_sim.spawn(can_iface, "--motor", f"{C1:#x}:{C1 + 0x10:#x}", "--motor", f"{C2:#x}:{C2 + 0x10:#x}"):
        r = subprocess.run([program, "--iface", can_iface, "--timeout-ms", REPLY_MS, *options],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=LIMIT)
        frames = sniffer.timed_frames()
    assert r.returncode == 0, r.stdout + r.stderr
    assert said in r.stdout
    for ident in idents:
        sent = [(data.hex().upper(), stamp) for (can_id, data, _, _), stamp in frames if can_id == ident]
        # The enable, MIT commands alone, the disable (confirmed at once by
        # the simulator), in that order.
        assert [d for d, _ in sent[:1] + sent[-1:]] == [ENABLE, DISABLE], (hex(ident), sent[:3], sent[-3:])
        mit = sent[1:-1]
        assert mit and not SPECIAL & {d for d, _ in mit}, (hex(ident), mit[:3])
        got = [rotalink_sim.decode_command("dm4310", bytes.fromhex(d)) for d, _ in mit]
        assert all((c.kp, c.kd) == GAINS and abs(c.q) <= q_max for c in got), (
            hex(ident), mit[:3], max(abs(c.q) for c in got), {(c.kp, c.kd) for c in got})
        if isinstance(commands, list):
            assert [d for d, _ in mit] == commands
        elif commands is not None:
            assert len(mit) == commands
        else:
            # The loop never faster than its rate, and no more commands than
            # its cycles (and the one under way at its stop).
            cycles = int(re.search(r"^cycles (\d+) ", r.stdout, re.M).group(1))
            span = mit[-1][1] - mit[0][1]
            assert 2 <= len(mit) <= cycles + 1 and len(mit) - 1 <= 1000 * span * 1.02 + 1, (len(mit), cycles, span)
