"""Starts orvane-sim for tests: the installed command, or in development the binary that
ORVANE_SIM names (build-sim/tools/orvane-sim)."""
import os
import select
import shutil
import signal
import subprocess
import time
import tty

import pytest


def sim_binary():
    path = os.environ.get("ORVANE_SIM") or shutil.which("orvane-sim")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("orvane-sim not found: install the package or set ORVANE_SIM")
    return os.path.abspath(path)


def tool_env():
    """The environment for programs that look for orvane-sim on PATH."""
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sim_binary()) + os.pathsep + env.get("PATH", "")
    return env


class Sim:
    """One simulator process; `path` is its port."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([sim_binary(), *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        ready = select.select([self.proc.stdout], [], [], 5)[0]
        self.path = self.proc.stdout.readline().strip() if ready else ""
        if not self.path:
            self.proc.kill()
            raise AssertionError(f"orvane-sim {' '.join(args)} printed no port: "
                                 f"{self.proc.stderr.read()}")
        self.fds = []

    def open(self):
        """A raw client descriptor on the port, as a host program would have."""
        fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        self.fds.append(fd)
        return fd

    def stop(self, sig=signal.SIGTERM, timeout=5):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        for fd in self.fds:
            try:
                os.close(fd)
            except OSError:
                pass
        self.fds = []
        return rc


def read_exact(fd, n, timeout=2.0):
    """n bytes from fd, or fails after `timeout` with what arrived."""
    out = b""
    deadline = time.monotonic() + timeout
    while len(out) < n:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError(f"expected {n} bytes, got {out.hex(' ')!r}")
        out += os.read(fd, n - len(out))
    return out


def read_for(fd, seconds):
    """Everything that arrives within `seconds`."""
    out = b""
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        if select.select([fd], [], [], left)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
    return out


@pytest.fixture
def start_sim():
    sims = []

    def start(*args):
        s = Sim(*args)
        sims.append(s)
        return s

    yield start
    # Every simulator ends cleanly on SIGTERM (or has already ended so on a hang-up).
    failures = []
    for s in sims:
        rc = s.stop()
        errors = s.proc.stderr.read()
        if rc != 0 or errors:
            failures.append(f"orvane-sim at {s.path}: exit {rc}, stderr {errors!r}")
    assert not failures, failures

