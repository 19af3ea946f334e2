"""Device ends that run on their own thread: a well-behaved arm, and replies delivered the
way a broken, slow, noisy or unplugged device delivers them.

Each helper drives the master side of a ScriptedPort (conftest.py) while the library under
test uses the slave side through a SerialStream.
"""
import os
import select
import struct
import threading
import time

# Arm requests: header -> whole request size.
ARM_REQUESTS = {0x0A: 1, 0xAB: 1, 0x2A: 13, 0x2C: 13, 0x1A: 13, 0x1C: 13}

ARM_INFO = bytes([0x0B]) + struct.pack("<HBBB", 0x1234, 4, 2, 7) + bytes(range(16))
ARM_STATE = bytes([0x2B]) + struct.pack("<6f", 1.5, -2.0, 0.25, 4.0, 5.5, -6.0)
ARM_JOINTS = bytes([0x1B]) + struct.pack("<6f", 0.5, 1.0, -1.5, 2.0, -2.5, 3.0)
ARM_CURRENT = bytes([0xAB]) + struct.pack("<3f", 0.125, 0.25, -0.5)

# The reply a well-behaved arm sends to each request.
ARM_REPLIES = {0x0A: ARM_INFO, 0xAB: ARM_CURRENT, 0x2A: ARM_STATE, 0x2C: ARM_STATE,
               0x1A: ARM_JOINTS, 0x1C: ARM_JOINTS}

HANDLE_INFO = bytes([0xD0, 5, 0x34, 0x12, 2, 3, 4])
HANDLE_STATUS = (bytes([0xDA, 0x02, 0x01, 1, 200]) + struct.pack("<4f", 1.0, 0.0, -0.5, 0.25)
                 + bytes([3, 7, 8, 9]))
HANDLE_ERROR = bytes([0xDF, 7, 0, 3])

# Noise for a chattering line: no byte is a reply or message header of either device.
NOISE = bytes(b for b in range(256)
              if b not in (0x0B, 0x1B, 0x2B, 0xAB, 0xD0, 0xDA, 0xDF, 0x00))


class ArmResponder:
    """Answers every arm request with its reply until stopped (or the port goes away).

    Requests are parsed by their header; a byte that starts no request is skipped, so two
    threads writing at once may garble the conversation but never stop the responder.
    """

    def __init__(self, port, replies=ARM_REPLIES):
        self.port = port
        self.replies = replies
        self.answered = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        pending = b""
        fd = self.port.master
        while not self._stop.is_set():
            try:
                if not select.select([fd], [], [], 0.05)[0]:
                    continue
                pending += os.read(fd, 4096)
            except OSError:
                return
            while pending:
                size = ARM_REQUESTS.get(pending[0])
                if size is None:
                    pending = pending[1:]
                    continue
                if len(pending) < size:
                    break
                header, pending = pending[0], pending[size:]
                try:
                    os.write(fd, self.replies[header])
                except OSError:
                    return
                self.answered += 1

    def stop(self):
        self._stop.set()
        self._thread.join(5)


class Delivery:
    """Delivers one reply on a thread: optionally waits for the request first, then writes
    each (delay, bytes) step after its delay, and may hang up at the end."""

    def __init__(self, port, steps, request_size=0, hang_up=False):
        self.port = port
        self.steps = steps
        self.request_size = request_size
        self.hang_up = hang_up
        self.request = b""
        self.error = None
        self._cancel = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        try:
            if self.request_size:
                self.request = self.port.expect(self.request_size, timeout=5.0)
            for delay, data in self.steps:
                if delay and self._cancel.wait(delay):
                    return
                if data:
                    os.write(self.port.master, data)
            if self.hang_up:
                self.port.hang_up()
        except (OSError, AssertionError) as e:  # the test reports it
            self.error = e

    def cancel(self):
        """Stops before the next step; returns once the thread has ended."""
        self._cancel.set()
        self._thread.join(10)


class Chatter:
    """A line that sends noise without pause until stopped."""

    def __init__(self, port, noise=NOISE):
        self.port = port
        self.noise = noise * 16
        self.sent = 0
        self.heard = b""
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        fd = self.port.master
        os.set_blocking(fd, False)  # a full line must not block the thread for good
        try:
            while not self._stop.is_set():
                try:
                    if select.select([], [fd], [], 0.05)[1]:
                        self.sent += os.write(fd, self.noise)
                    # Keep what the library wrote from filling the other direction.
                    while select.select([fd], [], [], 0)[0]:
                        self.heard += os.read(fd, 4096)
                except BlockingIOError:
                    time.sleep(0.001)
                except OSError:
                    return
        finally:
            try:
                os.set_blocking(fd, True)
            except OSError:
                pass

    def stop(self):
        self._stop.set()
        self._thread.join(5)


def single_bytes(message, gap):
    """The message one byte at a time, `gap` seconds before each byte after the first."""
    return [(0 if i == 0 else gap, message[i:i + 1]) for i in range(len(message))]


def two_chunks(message, gap, first=None):
    """The header and part of the payload, then after `gap` seconds the rest."""
    first = len(message) // 2 if first is None else first
    return [(0, message[:first]), (gap, message[first:])]
