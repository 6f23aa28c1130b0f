"""Run the simulator in a child process for the length of a ``with`` block.

The host module keeps the interpreter lock while it waits for a reply, so a
simulator in a thread of the same process would never get to answer; it has to
run in a process of its own.
"""

import contextlib
import os
import select
import signal
import subprocess
import sys
import threading
import time

__all__ = ["spawn", "SimProcess", "SimulatorNotReady", "default_ready_timeout", "child_env"]

_PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _installed():
    """True if this package lives in a site directory (found without PYTHONPATH)."""
    import site

    dirs = list(getattr(site, "getsitepackages", lambda: [])())
    user = getattr(site, "getusersitepackages", lambda: None)()
    if user:
        dirs.append(user)
    parent = os.path.normcase(os.path.realpath(_PACKAGE_PARENT))
    return any(os.path.normcase(os.path.realpath(d)) == parent for d in dirs)


class SimulatorNotReady(RuntimeError):
    """The simulator process exited or stayed silent instead of printing ``ready``."""


class SimProcess:
    """A running simulator process (``proc`` is its ``subprocess.Popen``)."""

    def __init__(self, proc):
        self.proc = proc
        self._stderr = []
        self._stderr_thread = None

    @property
    def pid(self):
        return self.proc.pid

    @property
    def returncode(self):
        return self.proc.returncode

    @property
    def stderr(self):
        """What the simulator wrote on standard error so far."""
        return b"".join(self._stderr).decode("utf-8", "replace")

    def _drain_stderr(self):
        fd = self.proc.stderr.fileno()
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                return
            if not chunk:
                return
            self._stderr.append(chunk)

    def wait_ready(self, timeout):
        """Wait for the ``ready`` line; raise ``SimulatorNotReady`` otherwise."""
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        buf = b""
        while b"\n" not in buf:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self._fail("did not print 'ready' within %g s" % timeout)
            readable, _, _ = select.select([fd], [], [], remaining)
            if not readable:
                continue
            chunk = os.read(fd, 256)
            if not chunk:
                self._fail("exited before it was ready")
            buf += chunk
        line = buf.split(b"\n", 1)[0].strip()
        if line != b"ready":
            self._fail("printed %r instead of 'ready'" % line.decode("utf-8", "replace"))
        self._stderr_thread = threading.Thread(target=self._drain_stderr, daemon=True,
                                               name="rotalink-sim-stderr")
        self._stderr_thread.start()

    def _fail(self, what):
        self.terminate(timeout=2.0)
        # Collect what it wrote, without waiting on a pipe held open elsewhere.
        fd = self.proc.stderr.fileno()
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            readable, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not readable:
                break
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self._stderr.append(chunk)
        raise SimulatorNotReady("simulator %s (exit status %s): %s" % (
            what, self.proc.returncode, self.stderr.strip() or "no output on stderr"))

    def terminate(self, timeout=5.0):
        """SIGTERM, wait up to ``timeout`` s, then SIGKILL; return the exit status."""
        proc = self.proc
        if proc.poll() is None:
            try:
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if self._stderr_thread is not None:
            self._stderr_thread.join(1.0)
        return proc.returncode

    def close(self):
        self.terminate()
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()


def default_ready_timeout():
    """Seconds ``spawn`` waits for ``ready``: $ROTALINK_SIM_READY_TIMEOUT or 60.

    Generous on purpose: the wait ends as soon as the line arrives, and an
    interpreter start-up in an emulated machine can take well over 10 s.
    """
    try:
        value = float(os.environ.get("ROTALINK_SIM_READY_TIMEOUT", ""))
    except ValueError:
        return 60.0
    return value if value > 0 else 60.0


def child_env(env=None):
    """A copy of ``env`` (default ``os.environ``) for ``python -m rotalink_sim``.

    When this package is not installed (run from a source tree), the copy's
    PYTHONPATH leads the child to this same copy.
    """
    env = dict(os.environ if env is None else env)
    if not _installed():
        path = env.get("PYTHONPATH")
        env["PYTHONPATH"] = _PACKAGE_PARENT + (os.pathsep + path if path else "")
    return env


@contextlib.contextmanager
def spawn(iface, *args, timeout=None, python=None, env=None):
    """Start ``python -m rotalink_sim IFACE ARGS...`` and wait until it is ready.

    Yields a ``SimProcess``; the process is terminated (SIGTERM, then SIGKILL
    after 5 s) when the block ends. Raises ``SimulatorNotReady`` if it exits
    or does not print ``ready`` within ``timeout`` seconds (default
    ``default_ready_timeout()``). The package is found even when it is not
    installed.

    Example::

        with rotalink_sim.spawn("vcan0", "--motor-id", "1", "--master-id", "0x11"):
            ...
    """
    cmd = [python or sys.executable, "-m", "rotalink_sim", str(iface)]
    cmd.extend(str(a) for a in args)
    env = child_env(env)
    if timeout is None:
        timeout = default_ready_timeout()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    handle = SimProcess(proc)
    try:
        handle.wait_ready(timeout)
        yield handle
    finally:
        handle.close()
