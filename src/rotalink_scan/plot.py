"""Plot a control loop's recording (``rotalink-plot run.mcap``).

Reads a recording of ``start(..., record=...)`` (a .mcap file, or a rosbag2
bag directory: the .mcap files inside) with the ``mcap`` reader and its ROS 2
decoder, joins the four messages of each cycle (they share their log time)
and draws one figure: per joint its position, velocity and torque, measured
against commanded, with the cycles where it reported a fault or did not
answer shaded red; then the loop's period and latency, overruns marked, and
the motors' temperatures. ``--csv`` writes one row per cycle.

A file cut short (a process killed while recording) is read to its last
complete chunk.
"""

from __future__ import annotations

import argparse
import csv
import glob
import math
import os
import sys

import rotalink

__all__ = ["Recording", "read", "write_csv", "draw", "build_parser", "main"]

_EXTRA = "pip install 'rotalink[record,plot]'"
MISSING_READER = "rotalink-plot needs the mcap and mcap-ros2-support packages: " + _EXTRA
MISSING_MATPLOTLIB = "rotalink-plot needs matplotlib: " + _EXTRA

# The topics of a cycle, in the order a recorded cycle writes them.
_TOPICS = tuple(topic for topic, _, _ in rotalink.RECORD_TOPICS)
# (column, title, unit, the JointState field)
_MOTION = (("q", "position", "rad", "position"), ("dq", "velocity", "rad/s", "velocity"),
           ("tau", "torque", "N·m", "effort"))
_STATUS = ("status", "t_mos", "t_rotor", "answered", "fault")


class PlotError(Exception):
    """A recording that cannot be plotted as asked."""


class Recording:
    """The cycles of a recording, one entry per cycle in time order.

    stamp_ns: each cycle's start (ns since the epoch); cycle, period_us,
    latency_us, overrun, dropped: the loop's timing; names: the joints;
    joints[name][column]: per cycle, for the columns q, dq, tau (measured),
    q_cmd, dq_cmd, tau_cmd (commanded; NaN where the command has no such
    field), status, t_mos, t_rotor, answered, fault. summary: the recording's
    summary ({} when the file has none); complete: False for a file cut short,
    problem: why it stopped being readable."""

    def __init__(self):
        self.names = []
        self.stamp_ns = []
        self.cycle = []
        self.period_us = []
        self.latency_us = []
        self.overrun = []
        self.dropped = []
        self.joints = {}
        self.summary = {}
        self.complete = True
        self.problem = None

    def __len__(self):
        return len(self.stamp_ns)

    def time_s(self):
        """Each cycle's start in seconds from the first cycle's."""
        first = self.stamp_ns[0] if self.stamp_ns else 0
        return [(t - first) / 1e9 for t in self.stamp_ns]

    def _add(self, stamp_ns, js, jc, st, tm):
        if not self.names:
            self.names = list(js.name)
            self.joints = {name: {key: [] for key in _columns()} for name in self.names}
        if list(js.name) != self.names:
            raise PlotError("the joints change mid-recording: %s, then %s"
                            % (", ".join(self.names), ", ".join(js.name)))
        self.stamp_ns.append(stamp_ns)
        self.cycle.append(tm.cycle)
        self.period_us.append(tm.period_ns / 1000.0)
        self.latency_us.append(tm.latency_ns / 1000.0)
        self.overrun.append(bool(tm.overrun))
        self.dropped.append(tm.dropped)
        for i, name in enumerate(self.names):
            columns = self.joints[name]
            for key, _, _, field in _MOTION:
                columns[key].append(_at(getattr(js, field), i))
                columns[key + "_cmd"].append(_at(getattr(jc, field), i))
            for key in _STATUS:
                columns[key].append(getattr(st, key)[i])


def _columns():
    return [key + suffix for key, _, _, _ in _MOTION for suffix in ("", "_cmd")] + list(_STATUS)


def _at(values, i):
    return float(values[i]) if i < len(values) else math.nan


def _mcap_files(path):
    if os.path.isdir(path):
        files = sorted(glob.glob(os.path.join(glob.escape(path), "*.mcap")))
        if not files:
            raise PlotError("%s holds no .mcap file" % path)
        return files
    return [path]


def read(path):
    """The Recording in path: a .mcap file or a bag directory. Raises
    ImportError (MISSING_READER) without the readers, OSError for a file
    that cannot be opened, PlotError for one that holds no cycle."""
    try:
        from mcap.records import Channel, Message, Metadata, Schema
        from mcap.stream_reader import StreamReader
        from mcap_ros2.decoder import DecoderFactory
    except ImportError:
        raise ImportError(MISSING_READER, name="mcap_ros2") from None
    rec = Recording()
    pending = {}  # log time: {topic: message} of cycles not yet whole
    for name in _mcap_files(path):
        schemas, channels, decoders = {}, {}, DecoderFactory()
        with open(name, "rb") as f:
            try:
                for record in StreamReader(f).records:
                    if isinstance(record, Schema):
                        schemas[record.id] = record
                    elif isinstance(record, Channel):
                        channels[record.id] = record
                    elif isinstance(record, Metadata):
                        if record.name == "rotalink":
                            rec.summary = dict(record.metadata)
                    elif isinstance(record, Message):
                        channel = channels[record.channel_id]
                        if channel.topic not in _TOPICS:
                            continue
                        decode = decoders.decoder_for(channel.message_encoding,
                                                      schemas.get(channel.schema_id))
                        if decode is None:
                            raise PlotError("%s: topic %s is not ROS 2 CDR"
                                            % (name, channel.topic))
                        cycle = pending.setdefault(record.log_time, {})
                        cycle[channel.topic] = decode(record.data)
                        if len(cycle) == len(_TOPICS):
                            del pending[record.log_time]
                            rec._add(record.log_time, *(cycle[t] for t in _TOPICS))
            except PlotError:
                raise
            except Exception as e:  # a file cut short ends mid-record
                rec.complete = False
                rec.problem = "%s: %s" % (type(e).__name__, e) if str(e) else type(e).__name__
    if not len(rec):
        raise PlotError("%s holds no recorded cycle" % path)
    return rec


def write_csv(rec, out, joints):
    """One row per cycle: time (s from the first cycle), stamp_ns, cycle,
    period_us, latency_us, overrun, dropped, then per joint its columns
    (``joint.q``, ``joint.q_cmd``, ...)."""
    columns = _columns()
    with open(out, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["time", "stamp_ns", "cycle", "period_us", "latency_us", "overrun", "dropped"]
                   + ["%s.%s" % (j, c) for j in joints for c in columns])
        for row, t in enumerate(rec.time_s()):
            w.writerow(["%.6f" % t, rec.stamp_ns[row], rec.cycle[row],
                        "%.3f" % rec.period_us[row], "%.3f" % rec.latency_us[row],
                        int(rec.overrun[row]), rec.dropped[row]]
                       + [_cell(rec.joints[j][c][row]) for j in joints for c in columns])


def _cell(value):
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, float):
        return "nan" if math.isnan(value) else repr(value)
    return value


def _runs(flags):
    """(first, last) index of each run of True in flags."""
    runs, start = [], None
    for i, flag in enumerate(flags):
        if flag and start is None:
            start = i
        elif not flag and start is not None:
            runs.append((start, i - 1))
            start = None
    if start is not None:
        runs.append((start, len(flags) - 1))
    return runs


def _figure_classes():
    """matplotlib's Figure and its Agg canvas."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(MISSING_MATPLOTLIB, name="matplotlib") from None
    return Figure, FigureCanvasAgg


def draw(rec, out, joints, title):
    """The figure as a PNG in out."""
    Figure, FigureCanvasAgg = _figure_classes()
    t = rec.time_s()
    half = (t[1] - t[0]) / 2 if len(t) > 1 else 0.0
    fig = Figure(figsize=(15, 2.6 * (len(joints) + 1)), layout="constrained")
    canvas = FigureCanvasAgg(fig)
    axes = fig.subplots(len(joints) + 1, 3, sharex=True, squeeze=False)
    for row, joint in enumerate(joints):
        columns = rec.joints[joint]
        bad = [f or not a for f, a in zip(columns["fault"], columns["answered"])]
        for col, (key, what, unit, _) in enumerate(_MOTION):
            ax = axes[row][col]
            ax.plot(t, columns[key + "_cmd"], color="tab:orange", lw=1, label="commanded")
            ax.plot(t, columns[key], color="tab:blue", lw=1, label="measured")
            for first, last in _runs(bad):
                ax.axvspan(t[first] - half, t[last] + half, color="red", alpha=0.25, lw=0)
            ax.set_title("%s %s" % (joint, what), fontsize=9)
            ax.set_ylabel(unit)
            if row == 0 and col == 0:
                ax.legend(fontsize=7, loc="upper right")
    timing = axes[-1]
    for ax, values, what in ((timing[0], rec.period_us, "period"),
                             (timing[1], rec.latency_us, "latency")):
        # the first cycle has no period (0): left out
        ms = [v / 1000.0 if (v or what == "latency") else math.nan for v in values]
        ax.plot(t, ms, lw=0.8, color="tab:blue")
        over = [i for i, o in enumerate(rec.overrun) if o]
        if over:
            ax.plot([t[i] for i in over], [ms[i] for i in over], "o", color="red", ms=3,
                    label="overrun")
            ax.legend(fontsize=7, loc="upper right")
        ax.set_title("loop %s" % what, fontsize=9)
        ax.set_ylabel("ms")
    for joint in joints:
        columns = rec.joints[joint]
        timing[2].plot(t, [c if a else math.nan for c, a in zip(columns["t_mos"],
                                                                columns["answered"])],
                       lw=0.8, label=joint)
    timing[2].set_title("driver temperature (t_mos)", fontsize=9)
    timing[2].set_ylabel("°C")
    timing[2].legend(fontsize=7, loc="upper right")
    for ax in timing:
        ax.set_xlabel("s")
    fig.suptitle(title, fontsize=10)
    canvas.print_png(out)


def _title(path, rec):
    parts = [os.path.basename(os.path.normpath(path)), "%d cycles" % len(rec)]
    dropped = rec.summary.get("dropped") or (str(rec.dropped[-1]) if rec.dropped else "")
    if dropped and dropped != "0":
        parts.append("%s left out of the record" % dropped)
    if rec.summary.get("error"):
        parts.append("recording stopped: " + rec.summary["error"])
    if not rec.complete:
        parts.append("file cut short")
    return ", ".join(parts)


_DESCRIPTION = """\
Plot a control loop's recording: per joint its position, velocity and
torque, measured against commanded (red: cycles where it reported a fault or
did not answer), then the loop's period and latency (red dots: overruns) and
the drivers' temperatures."""

_EPILOG = """\
The CSV has one row per cycle: time (s from the first cycle), stamp_ns (the
cycle's start, ns since the epoch), cycle, period_us, latency_us, overrun,
dropped (cycles left out of the record before it), then per joint
JOINT.q, JOINT.q_cmd, JOINT.dq, JOINT.dq_cmd, JOINT.tau, JOINT.tau_cmd
(nan where the command has no such field), JOINT.status, JOINT.t_mos,
JOINT.t_rotor (-1 where it did not answer), JOINT.answered, JOINT.fault.

exit status: 0 when drawn, 1 when the recording cannot be read or a package
is missing, 2 for a wrong command line.

examples:
  rotalink-plot run.mcap
  rotalink-plot run/ --out run.png --csv run.csv --joints shoulder,elbow"""


def build_parser():
    parser = argparse.ArgumentParser(
        prog="rotalink-plot", description=_DESCRIPTION, epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("recording", help="a .mcap file or a rosbag2 bag directory")
    parser.add_argument("--out", help="the PNG to write (default: the recording's name "
                        "with .png)")
    parser.add_argument("--csv", help="also write one row per cycle into this CSV file")
    parser.add_argument("--joints", help="only these joints, comma-separated (default: all)")
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        rec = read(args.recording)
    except (ImportError, OSError, PlotError) as e:
        print("rotalink-plot: %s" % e, file=sys.stderr)
        return 1
    joints = rec.names
    if args.joints is not None:
        joints = [j.strip() for j in args.joints.split(",") if j.strip()]
        unknown = [j for j in joints if j not in rec.joints]
        if unknown or not joints:
            parser.error("unknown joint %s; the recording has: %s"
                         % (", ".join(repr(j) for j in unknown) or "(none given)",
                            ", ".join(rec.names)))
    if not rec.complete:
        print("rotalink-plot: %s is cut short (%s): read its %d complete cycles"
              % (args.recording, rec.problem, len(rec)), file=sys.stderr)
    base = os.path.normpath(args.recording)
    out = args.out or (base[:-5] if base.endswith(".mcap") else base) + ".png"
    try:
        _figure_classes()  # before anything is written
        if args.csv:
            write_csv(rec, args.csv, joints)
        draw(rec, out, joints, _title(args.recording, rec))
    except (ImportError, OSError) as e:
        print("rotalink-plot: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
