"""Shared fixtures: pseudo-terminals whose master side plays a scripted device."""
import os
import pty
import select
import time
import tty

import pytest


class ScriptedPort:
    """A pseudo-terminal; the test drives the device end (master), the library opens `path`.

    The test keeps its own descriptor on the slave side open, so the master never sees a
    hang-up when the library closes its stream; `hang_up()` closes the device end instead.
    """

    def __init__(self):
        self.master, self._slave = pty.openpty()
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)

    def send(self, data: bytes) -> None:
        os.write(self.master, bytes(data))

    def expect(self, n: int, timeout: float = 3.0) -> bytes:
        """Reads exactly n bytes written by the library, or fails after `timeout`."""
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                raise AssertionError(f"expected {n} bytes, got {out.hex(' ')!r}")
            out += os.read(self.master, n - len(out))
        return out

    def pending(self, wait: float = 0.1) -> bytes:
        """Everything the library has written that is still unread, after `wait` seconds."""
        out = b""
        while select.select([self.master], [], [], wait)[0]:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
            wait = 0.05
        return out

    def hang_up(self) -> None:
        """The device end goes away, as when a device is unplugged."""
        for fd in (self.master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = self._slave = -1

    def close(self) -> None:
        self.hang_up()


@pytest.fixture
def port():
    p = ScriptedPort()
    yield p
    p.close()


@pytest.fixture
def make_port():
    ports = []

    def make():
        p = ScriptedPort()
        ports.append(p)
        return p

    yield make
    for p in ports:
        p.close()
