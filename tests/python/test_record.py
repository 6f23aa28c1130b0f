"""Recording: the writer thread (rotalink_scan.record) against a fake loop that
hands out cycles encoded by an independent CDR encoder, the files read back
with mcap's ROS 2 decoder and with rosbags; rotalink-plot on them."""
import csv
import errno
import io
import math
import os
import sys
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import pytest
import rotalink

from rotalink_scan import plot, record

HAS_ROSBAGS = sys.version_info >= (3, 10)
JOINTS = ["shoulder", "elbow", "wrist"]
TOPIC_NAMES = ("/joint_states", "/joint_commands", "/motor_status", "/loop_timing")


def record_topics():
    """(topic, msgtype, msgdef) of the four topics, as the module gives them."""
    return tuple(rotalink.RECORD_TOPICS)


def need_rosbags():
    if not HAS_ROSBAGS:
        pytest.skip("rosbags writes MCAP from Python 3.10 on")
    return pytest.importorskip("rosbags.typesys")


def cycle_values(n, start_ns=1_700_000_000_123_456_789, period_ns=2_000_000):
    """n cycles of JOINTS: (log_time, [the four messages as dicts])."""
    nan = math.nan
    out = []
    for c in range(1, n + 1):
        t = start_ns + (c - 1) * period_ns
        stamp = {"sec": t // 10**9, "nanosec": t % 10**9}
        header = {"stamp": stamp, "frame_id": ""}
        answered = [c % 7 != 3 or j != 1 for j in range(3)]
        q = [0.001 * c * (j + 1) if answered[j] else nan for j in range(3)]
        js = {"header": header, "name": JOINTS, "position": q, "velocity": [v * 2 for v in q],
              "effort": [v / 3 for v in q]}
        jc = {"header": header, "name": JOINTS, "position": [0.5, -1.25, c * 1e-3],
              "velocity": [2.0, nan, 0.0], "effort": [nan, nan, 0.125]}
        st = {"header": header, "name": JOINTS,
              "status": [1 if a else -1 for a in answered], "t_mos": [30 if a else -1 for a in answered],
              "t_rotor": [25 + c % 3 if a else -1 for a in answered], "answered": answered,
              "fault": [c == 5 and j == 2 for j in range(3)]}
        tm = {"header": header, "cycle": c, "planned": stamp, "start": stamp,
              "period_ns": 0 if c == 1 else period_ns + c % 5, "latency_ns": 300_000 + c,
              "overrun": c % 11 == 0, "dropped": c // 100}
        out.append((t, [js, jc, st, tm]))
    return out


def encode(cycles):
    """The loop's records of cycles: (log_time, js, jc, st, tm) as CDR bytes,
    made by mcap_ros2's own encoder from the definitions."""
    pytest.importorskip("mcap")
    from mcap_ros2._dynamic import serialize_dynamic
    encoders = [serialize_dynamic(msgtype, msgdef)[msgtype] for _, msgtype, msgdef in record_topics()]
    return [(t, *(bytes(e(m)) for e, m in zip(encoders, messages))) for t, messages in cycles]


class FakeLoop:
    """A stopped loop's side of recording: hands out batches, then None."""

    def __init__(self, records, batch=64, running=False):
        self.batches = [records[i:i + batch] for i in range(0, len(records), batch)]
        self.running, self.recorded, self.stopped_with = running, 0, []
        self.scheduling = None

    def _take_records(self, timeout_ms):
        if self.scheduling is None:  # the writer thread's
            self.scheduling = thread_scheduling()
        if self.batches:
            return self.batches.pop(0)
        if self.running:  # a running loop's wait that timed out
            time.sleep(timeout_ms / 1000.0)
            return []
        return None

    def _record_written(self, n):
        self.recorded += n

    def _stop_recording(self, message):
        self.stopped_with.append(message)

    def stats(self):
        return SimpleNamespace(cycles=self.recorded + 7, record_dropped=7)


def thread_scheduling():
    """The calling thread's scheduling policy and nice value (Linux)."""
    return os.sched_getscheduler(0), os.getpriority(os.PRIO_PROCESS, 0)


def run(target, records, **kw):
    rec = record.Recorder(target)
    loop = FakeLoop(records, **kw)
    rec.start(loop)
    rec.close(timeout=60)
    return rec, loop


def plain(v):
    """A decoded message (either reader's) or a dict as plain data; NaN as 'nan'."""
    if isinstance(v, dict):
        return {k: plain(x) for k, x in v.items()}
    fields = getattr(v, "__dataclass_fields__", None) or getattr(type(v), "__slots__", None)
    if fields is not None and not isinstance(v, (str, bytes)):
        return {k: plain(getattr(v, k)) for k in fields if not k.startswith("__")}
    if isinstance(v, SimpleNamespace):
        return plain(vars(v))
    if hasattr(v, "tolist"):
        v = v.tolist()
    if isinstance(v, (list, tuple)):
        return [plain(x) for x in v]
    return "nan" if isinstance(v, float) and math.isnan(v) else v


def read_mcap(source, whole=True):
    """[(topic, log_time, publish_time, decoded)], raw [(msgtype, msgdef, data)]
    and the metadata of a .mcap file, read with the mcap reader and its ROS 2
    decoder (a file cut short: in file order, to where it ends)."""
    from mcap.reader import NonSeekingReader, make_reader
    from mcap_ros2.decoder import DecoderFactory
    f = open(source, "rb") if isinstance(source, str) else io.BytesIO(source)
    with f:
        reader = (make_reader(f, decoder_factories=[DecoderFactory()]) if whole
                  else NonSeekingReader(f, decoder_factories=[DecoderFactory()]))
        out, raw = [], []
        try:
            for schema, channel, message, decoded in reader.iter_decoded_messages(
                    log_time_order=whole):
                out.append((channel.topic, message.log_time, message.publish_time, decoded))
                raw.append((schema.name, schema.data.decode(), message.data))
        except Exception:
            if whole:
                raise
        metadata = {m.name: m.metadata for m in reader.iter_metadata()} if whole else {}
    return out, raw, metadata


def expected(cycles):
    return [(topic, t, t, plain(m)) for t, messages in cycles for topic, m in zip(TOPIC_NAMES, messages)]


@pytest.mark.parametrize("kind", ["path", "file object", "bag", "bag/"])
def test_a_recording_reads_back_with_both_readers(tmp_path, kind):
    pytest.importorskip("mcap_ros2")
    if kind.startswith("bag"):
        need_rosbags()
    cycles = cycle_values(1000)  # several chunks
    target = {"path": str(tmp_path / "run.mcap"), "file object": io.BytesIO(),
              "bag": tmp_path, "bag/": str(tmp_path / "run") + "/"}[kind]
    rec, loop = run(target, encode(cycles))
    assert (rec.written, loop.recorded, loop.stopped_with, rec.error) == (1000, 1000, [], None)
    # The writer holds the interpreter lock while it writes: starved of CPU
    # (an idle policy, a higher nice value), it would stall the program's
    # Python threads on a busy machine. It runs as the program's threads do.
    assert loop.scheduling == thread_scheduling()
    mcap_file = {"path": target, "bag": str(tmp_path / (tmp_path.name + ".mcap")),
                 "bag/": str(tmp_path / "run" / "run.mcap")}.get(kind)
    got, raw, metadata = read_mcap(target.getvalue() if kind == "file object" else mcap_file)
    assert [(topic, t, p, plain(m)) for topic, t, p, m in got] == expected(cycles)
    summary = {"cycles": "1007", "recorded": "1000", "dropped": "7", "error": ""}
    if not kind.startswith("bag"):
        assert metadata == {"rotalink": summary}
    if HAS_ROSBAGS:  # the raw data, deserialized by rosbags from the embedded definitions
        from rosbags.typesys import Stores, get_types_from_msg, get_typestore
        store = get_typestore(Stores.EMPTY)
        for _, msgtype, msgdef in record_topics():
            store.register(get_types_from_msg(msgdef, msgtype))
        assert [plain(store.deserialize_cdr(data, name)) for name, _, data in raw] == \
            [m for *_, m in expected(cycles)]
    if kind.startswith("bag"):
        from rosbags.rosbag2 import Reader
        with Reader(str(target)) as bag:
            assert bag.message_count == 4000
            assert [c.topic for c in bag.connections] == list(TOPIC_NAMES)
        from ruamel.yaml import YAML
        info = YAML(typ="safe").load(Path(target, "metadata.yaml").read_text())
        assert info["rosbag2_bagfile_information"]["custom_data"] == \
            {"rotalink." + k: v for k, v in summary.items()}


@pytest.mark.parametrize("where, error", [
    ("missing/run.mcap", FileNotFoundError),
    ("a file/run.mcap", NotADirectoryError),
    ("a file/", NotADirectoryError),
    ("full/", FileExistsError),
])
def test_an_unusable_path_fails_at_construction(tmp_path, where, error):
    pytest.importorskip("mcap")
    if where.endswith("/"):
        need_rosbags()
    (tmp_path / "a file").write_bytes(b"")
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_bytes(b"")
    with pytest.raises(error):
        record.Recorder(str(tmp_path / where) + ("/" if where.endswith("/") else ""))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a file", "full"]
    assert "rotalink-record" not in [t.name for t in threading.enumerate()]


class FullDisk(io.BytesIO):
    """A file object that fails with ENOSPC once it holds `room` bytes."""

    def __init__(self, room):
        super().__init__()
        self.room = room

    def write(self, data):
        if self.tell() + len(data) > self.room:
            raise OSError(errno.ENOSPC, "No space left on device")
        return super().write(data)


def test_a_failed_write_stops_the_recording_and_keeps_the_complete_chunks():
    pytest.importorskip("mcap_ros2")
    cycles = cycle_values(1000)
    disk = FullDisk(60_000)  # room for the first of three chunks (about 50 kB compressed)
    rec, loop = run(disk, encode(cycles))
    message = "OSError: [Errno 28] No space left on device"
    assert (rec.error, loop.stopped_with) == (message, [message])
    assert 0 < rec.written == loop.recorded < 1000 and loop.batches  # no more taken
    got, _, _ = read_mcap(disk.getvalue(), whole=False)
    assert len(got) >= 4  # a whole chunk: the batch that failed may have completed one
    assert [(t, p, plain(m)) for t, _, p, m in got] == \
        [(t, p, m) for t, _, p, m in expected(cycles)][:len(got)]


@pytest.mark.parametrize("cut, whole", [(0.3, False), (0.6, False), (0.9, False),
                                        (0.999, True)])  # the last: only its summary cut
def test_a_file_cut_short_reads_to_its_last_complete_chunk(tmp_path, cut, whole):
    pytest.importorskip("mcap_ros2")
    cycles = cycle_values(1500)
    run(str(tmp_path / "whole.mcap"), encode(cycles))
    data = (tmp_path / "whole.mcap").read_bytes()
    short = tmp_path / "short.mcap"
    short.write_bytes(data[:int(len(data) * cut)])
    got, _, _ = read_mcap(data[:int(len(data) * cut)], whole=False)
    n = len(got) // 4
    assert 0 < n and (n == 1500) == whole
    assert [plain(m) for *_, m in got] == [m for *_, m in expected(cycles)][:len(got)]
    r = plot.read(str(short))
    assert (len(r), r.complete, r.cycle) == (n, False, list(range(1, n + 1)))


@pytest.mark.parametrize("blocked, target, message", [
    ("mcap.writer", "run.mcap", record.MISSING_MCAP),
    ("rosbags.rosbag2", "bag/", record.MISSING_ROSBAGS if HAS_ROSBAGS else record.OLD_PYTHON),
])
def test_a_missing_package_names_the_extra(tmp_path, monkeypatch, blocked, target, message):
    monkeypatch.setitem(sys.modules, blocked, None)
    with pytest.raises(ImportError) as e:
        record.Recorder(str(tmp_path) + "/" + target)
    assert str(e.value) == message
    assert list(tmp_path.iterdir()) == []


def test_close_before_start_or_while_the_loop_runs(tmp_path):
    pytest.importorskip("mcap_ros2")
    idle = record.Recorder(str(tmp_path / "idle.mcap"))
    idle.close()
    idle.close()
    assert read_mcap(str(tmp_path / "idle.mcap"))[::2] == (
        [], {"rotalink": {"cycles": "", "recorded": "0", "dropped": "", "error": ""}})
    with pytest.raises(RuntimeError, match="^the recorder is closed$"):
        idle.start(FakeLoop([]))
    rec = record.Recorder(str(tmp_path / "early.mcap"))
    loop = FakeLoop(encode(cycle_values(10)), batch=1, running=True)
    rec.start(loop)
    while loop.batches:
        time.sleep(0.01)
    rec.close()
    message = "the recording was closed while the loop ran"
    assert (rec.error, loop.stopped_with, rec.written) == (message, [message], 10)
    assert read_mcap(str(tmp_path / "early.mcap"))[2]["rotalink"]["error"] == message


@pytest.fixture
def recording(tmp_path):
    pytest.importorskip("mcap_ros2")
    path = tmp_path / "run.mcap"
    run(str(path), encode(cycle_values(120)))
    return path


@pytest.mark.parametrize("joints", [None, "elbow", "wrist,shoulder"])
def test_plot_draws_and_writes_a_row_per_cycle(recording, tmp_path, monkeypatch, joints):
    pytest.importorskip("matplotlib")
    monkeypatch.setenv("MPLCONFIGDIR", str(tmp_path))
    table = tmp_path / "run.csv"
    argv = [str(recording), "--csv", str(table)] + (["--joints", joints] if joints else [])
    assert plot.main(argv) == 0
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    rows = list(csv.DictReader(table.open()))
    names = joints.split(",") if joints else JOINTS
    columns = ["q", "q_cmd", "dq", "dq_cmd", "tau", "tau_cmd", "status", "t_mos", "t_rotor",
               "answered", "fault"]
    assert list(rows[0]) == ["time", "stamp_ns", "cycle", "period_us", "latency_us", "overrun",
                             "dropped"] + [f"{j}.{c}" for j in names for c in columns]
    assert [r["cycle"] for r in rows] == [str(c) for c in range(1, 121)]
    assert (rows[0]["time"], rows[1]["time"], rows[1]["period_us"]) == ("0.000000", "0.002000",
                                                                          "2000.002")
    if "elbow" in names:  # cycle 3: the elbow did not answer
        assert [rows[2][f"elbow.{c}"] for c in ("q", "q_cmd", "dq_cmd", "status", "answered")] == \
            ["nan", "-1.25", "nan", "-1", "0"]
    assert [r["overrun"] for r in rows].count("1") == 10


@pytest.mark.parametrize("argv, status, text", [
    (["--joints", "elbow,knee"], 2,
     "rotalink-plot: error: unknown joint 'knee'; the recording has: shoulder, elbow, wrist\n"),
    (["--joints", ","], 2,
     "rotalink-plot: error: unknown joint (none given); the recording has: shoulder, elbow, wrist\n"),
])
def test_plot_refuses_unknown_joints(recording, capsys, argv, status, text):
    with pytest.raises(SystemExit) as e:
        plot.main([str(recording)] + argv)
    assert (e.value.code, capsys.readouterr().err.splitlines()[-1] + "\n") == (status, text)


@pytest.mark.parametrize("blocked, message", [
    ("mcap_ros2.decoder", plot.MISSING_READER),
    ("matplotlib.figure", plot.MISSING_MATPLOTLIB),
])
def test_plot_names_the_missing_extra(recording, monkeypatch, capsys, blocked, message):
    monkeypatch.setitem(sys.modules, blocked, None)
    assert plot.main([str(recording), "--out", str(recording) + ".png"]) == 1
    assert capsys.readouterr().err == "rotalink-plot: %s\n" % message
