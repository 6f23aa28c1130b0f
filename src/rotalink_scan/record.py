"""Recording a control loop's cycles to MCAP (``start(..., record=...)``).

The loop's thread only copies each cycle into a bounded ring; the native
core encodes its four messages in ROS 2 CDR. A ``Recorder`` is the other
end: a daemon thread, ``rotalink-record``, takes the recorded cycles in
batches (the interpreter lock released while it waits) and writes them with
a well-kept library: a path is a single ``.mcap`` file written with the
``mcap`` package; an empty directory, or a path that ends in ``/``, is a
rosbag2 bag (``metadata.yaml`` beside the ``.mcap``) written with
``rosbags``. The topics, their message types and definitions are the
module's ``rotalink.RECORD_TOPICS``.

The file is written in chunks of about a second of cycles (the loop gives
the size: ``chunk_size``, before compression) and flushed after every
batch, so a process killed mid-run leaves a file readable up to its last
complete chunk. A failed write stops the recording
(the loop runs on and shows the error as ``stats().record_error``); it is
never raised into the loop.
"""

from __future__ import annotations

import errno
import os
import sys
import threading

import rotalink

__all__ = ["Recorder", "CHUNK_SIZE", "SUMMARY_NAME"]

# Every recorder not finished yet, so that those of loops stopped at exit
# finish their files (ControlLoop's exit handler calls _close_all).
_open = set()
_open_lock = threading.Lock()


def _close_all(timeout=5.0):
    """Finish every recorder whose loop has ended (called at exit, once the
    loops are stopped)."""
    with _open_lock:
        recorders = list(_open)
    for r in recorders:
        r.close(timeout)

#: The size of a chunk of the .mcap file before compression, unless told:
#: about 250 cycles of a loop of 6 members (about 1 KiB a cycle). A loop's
#: recorder is told the bytes of a second of its cycles.
CHUNK_SIZE = 256 * 1024

#: The name of the metadata record with the recording's summary (in a bag:
#: the prefix of its keys in metadata.yaml's custom_data).
SUMMARY_NAME = "rotalink"

#: How long the writer waits for recorded cycles in one call, in ms.
_TAKE_MS = 100

_EXTRA = "pip install 'rotalink[record]'"
MISSING_MCAP = "recording needs the mcap package: " + _EXTRA
MISSING_ROSBAGS = "recording to a bag directory needs rosbags 0.10.9 or later: " + _EXTRA
OLD_PYTHON = ("recording to a bag directory needs rosbags 0.10.9 or later, which needs "
              "Python 3.10 or later; record to a .mcap file instead")


def _is_bag_dir(path):
    return path.endswith(os.sep) or os.path.isdir(path)


class _Sink:
    """A writable binary file as the mcap writer uses it: write, tell (counted
    here, so that a file object without one serves) and flush."""

    def __init__(self, file, close):
        self._file = file
        self._close = close
        try:
            self._pos = file.tell()
        except (AttributeError, OSError, ValueError):
            self._pos = 0

    def write(self, data):
        self._file.write(data)
        self._pos += len(data)
        return len(data)

    def tell(self):
        return self._pos

    def flush(self):
        flush = getattr(self._file, "flush", None)
        if flush is not None:
            flush()

    def close(self):
        try:
            self.flush()
        finally:
            if self._close:
                self._file.close()


class _McapFile:
    """One .mcap file: a schema and a channel per topic, zstd chunks."""

    def __init__(self, target, topics, chunk_size):
        try:
            from mcap.writer import CompressionType, Writer
        except ImportError:
            raise ImportError(MISSING_MCAP, name="mcap") from None
        if hasattr(target, "write"):
            self._sink = _Sink(target, close=False)
        else:
            self._sink = _Sink(open(target, "wb"), close=True)
        try:
            self._writer = Writer(self._sink, chunk_size=chunk_size,
                                  compression=CompressionType.ZSTD)
            self._writer.start(profile="ros2", library="rotalink " + rotalink.__version__)
            self._channels = []
            for topic, msgtype, msgdef in topics:
                schema = self._writer.register_schema(msgtype, "ros2msg", msgdef.encode())
                self._channels.append(self._writer.register_channel(topic, "cdr", schema))
            self._sink.flush()
        except BaseException:
            self._sink.close()
            raise

    def write(self, index, log_time, data):
        self._writer.add_message(self._channels[index], log_time, data, log_time)

    def flush(self):
        self._sink.flush()

    def finish(self, summary):
        try:
            self._writer.add_metadata(SUMMARY_NAME, summary)
            self._writer.finish()
        finally:
            self._sink.close()

    def abort(self):
        self._sink.close()


class _Bag:
    """A rosbag2 bag directory in MCAP storage, written by rosbags."""

    def __init__(self, path, topics):
        if sys.version_info < (3, 10):
            raise ImportError(OLD_PYTHON, name="rosbags")
        try:
            from rosbags.rosbag2 import StoragePlugin, Writer
            from rosbags.rosbag2.enums import CompressionFormat, CompressionMode
            from rosbags.typesys import Stores, get_types_from_msg, get_typestore
        except ImportError:
            raise ImportError(MISSING_ROSBAGS, name="rosbags") from None
        types = get_typestore(Stores.EMPTY)
        for _, msgtype, msgdef in topics:
            types.register(get_types_from_msg(msgdef, msgtype))
        hashes = [types.hash_rihs01(msgtype) for _, msgtype, _ in topics]
        path = path.rstrip(os.sep) or os.sep
        if os.path.lexists(path) and not os.path.isdir(path):
            raise NotADirectoryError(errno.ENOTDIR, "a bag's path is not a directory", path)
        if os.path.isdir(path):
            if os.listdir(path):
                raise FileExistsError(errno.EEXIST, "the bag directory is not empty", path)
            os.rmdir(path)  # rosbags makes it anew and refuses one that exists
        self._writer = Writer(path, version=Writer.VERSION_LATEST,
                              storage_plugin=StoragePlugin.MCAP)
        self._writer.set_compression(CompressionMode.STORAGE, CompressionFormat.ZSTD)
        self._writer.open()
        try:
            self._connections = [
                self._writer.add_connection(topic, msgtype, msgdef=msgdef, rihs01=digest)
                for (topic, msgtype, msgdef), digest in zip(topics, hashes)]
        except BaseException:
            self.abort()
            raise

    def write(self, index, log_time, data):
        self._writer.write(self._connections[index], log_time, data)

    def flush(self):
        # rosbags writes whole chunks of its own size; what its file object
        # holds of them goes out now.
        flush = getattr(getattr(self._writer.storage, "bio", None), "flush", None)
        if flush is not None:
            flush()

    def finish(self, summary):
        try:
            for key, value in summary.items():
                self._writer.set_custom_data(SUMMARY_NAME + "." + key, value)
            self._writer.close()
        except BaseException:
            self.abort()
            raise

    def abort(self):
        self._writer.abort()


class Recorder:
    """Writes a control loop's recorded cycles to target: a path (a .mcap
    file; a rosbag2 bag for an empty directory or a path ending in '/') or
    a writable binary file object, in chunks of chunk_size bytes (before
    compression). The file is opened now: an unwritable path raises OSError
    here, a missing package ImportError."""

    def __init__(self, target, chunk_size=CHUNK_SIZE):
        self.written = 0
        self.error = None
        self._loop = None
        self._thread = None
        self._closing = threading.Event()
        self._lock = threading.Lock()
        self._finished = False
        topics = tuple(rotalink.RECORD_TOPICS)
        if not hasattr(target, "write"):
            target = os.fspath(target)
            if isinstance(target, bytes):
                target = os.fsdecode(target)
        if not hasattr(target, "write") and _is_bag_dir(target):
            self._out = _Bag(target, topics)
        else:
            self._out = _McapFile(target, topics, chunk_size)
        with _open_lock:
            _open.add(self)

    def start(self, loop):
        """Start the thread that writes loop's recorded cycles."""
        if self._closing.is_set():
            raise RuntimeError("the recorder is closed")
        if self._thread is not None:
            raise RuntimeError("the recorder has started already")
        self._loop = loop
        self._thread = threading.Thread(target=self._run, name="rotalink-record", daemon=True)
        self._thread.start()

    def close(self, timeout=None):
        """Wait for the thread to write every recorded cycle (up to timeout
        seconds) and finish the file. Closed while the loop still runs, the
        recording stops after the batch in hand. Closing again does nothing."""
        self._closing.set()
        if self._thread is not None:
            self._thread.join(timeout)
            if self._thread.is_alive():
                return
        self._finish()

    def _run(self):
        # The thread keeps the program's own scheduling. It holds the
        # interpreter lock while it writes, so a thread starved of CPU (an
        # idle policy, a high nice value) on a busy machine would stall every
        # Python thread of the program, and stop(), for as long as it waits to
        # run. The loop's thread needs no interpreter lock and wakes ahead of
        # it (and a loop with a real-time priority always runs first).
        loop = self._loop
        try:
            while True:
                if self._closing.is_set() and getattr(loop, "running", False):
                    # Closed before the loop stopped: the file is finished
                    # with what it holds, and the loop copies no more.
                    self.error = "the recording was closed while the loop ran"
                    self._stop_loop_recording()
                    break
                batch = loop._take_records(_TAKE_MS)
                if batch is None:
                    break
                if not batch:
                    continue
                for log_time, *messages in batch:
                    for index, data in enumerate(messages):
                        self._out.write(index, log_time, data)
                self._out.flush()
                self.written += len(batch)
                loop._record_written(len(batch))
        except Exception as e:
            self._fail(e)
            return
        self._finish()

    def _stop_loop_recording(self):
        if self._loop is not None:
            try:
                self._loop._stop_recording(self.error)
            except Exception:
                pass

    def _fail(self, e):
        """A write failed: the loop stops copying and shows why; the file is
        closed as it is, readable to its last complete chunk (a summary or
        index written after a failed write could point at the wrong bytes)."""
        self.error = "%s: %s" % (type(e).__name__, e)
        self._stop_loop_recording()
        if not self._last_act():
            return
        try:
            self._out.abort()
        except Exception:
            pass

    def _last_act(self):
        """True for the one caller that ends the file (finishes or aborts it)."""
        with self._lock:
            if self._finished:
                return False
            self._finished = True
        with _open_lock:
            _open.discard(self)
        return True

    def _summary(self):
        summary = {"cycles": "", "recorded": str(self.written), "dropped": "",
                   "error": self.error or ""}
        if self._loop is not None:
            try:
                stats = self._loop.stats()
                summary["cycles"] = str(stats.cycles)
                summary["dropped"] = str(stats.record_dropped)
            except Exception:
                pass
        return summary

    def _finish(self):
        """Write the summary and finish the file, once."""
        if not self._last_act():
            return
        try:
            self._out.finish(self._summary())
        except Exception as e:
            self.error = "%s: %s" % (type(e).__name__, e)
            self._stop_loop_recording()
            try:
                self._out.abort()
            except Exception:
                pass
