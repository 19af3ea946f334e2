"""The detect functions: their Python surface, and a whole detection over a chosen table.

Detection reads the machine's own tty class folder and opens the ports it lists, so the
functions are only ever called inside a private mount namespace in which a fake class
folder covers /sys/class/tty and the device nodes are pseudo-terminals played by this test.
"""
import json
import os
import select
import sys
import threading

import pytest

import OrvaneHardwareAPI as api
from signatures import untyped
from fake_ports import namespaces_refusal, run_with_ports

DETECT_FUNCTIONS = [
    ("detect_varnix3s", "detect available varnix3 devices"),
    ("detect_handles", "detect available handles"),
    ("detect_wired_handles", "detect available wired handles"),
    ("detect_wireless_handles", "detect available wireless handles"),
]

WAKEUP = 0x0A
ARM_INFO = bytes([0x0B, 0x34, 0x12, 4, 2, 7]) + bytes(range(16))
HANDLE_INFO = bytes([0xD0, 0, 0x21, 0x00, 9, 1, 1])
HANDLE_STATUS = bytes([0xDA]) + bytes(21)


@pytest.mark.parametrize("name,text", DETECT_FUNCTIONS)
def test_docstring(name, text):
    assert untyped(getattr(api, name).__doc__) == untyped(f"{name}() -> list[str]\n\n{text}\n")


class Responder(threading.Thread):
    """Answers every wake-up on a scripted port with `reply` and keeps what it was sent."""

    def __init__(self, port, reply):
        super().__init__(daemon=True)
        self.port = port
        self.reply = reply
        self.received = b""
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            if not select.select([self.port.master], [], [], 0.05)[0]:
                continue
            try:
                data = os.read(self.port.master, 256)
            except OSError:
                continue
            self.received += data
            for byte in data:
                if byte == WAKEUP and self.reply:
                    self.port.send(self.reply)


# Runs inside the namespace, over the fake table and nodes: detects, and notes how long the
# interpreter lock was held at most.
DETECT = r"""
import json, sys, threading, time

import OrvaneHardwareAPI as api

# A thread that runs whenever it gets the interpreter lock; its longest pause shows
# whether detection kept the lock.
stamps = []
stop = threading.Event()
def tick():
    while not stop.is_set():
        stamps.append(time.monotonic())
        time.sleep(0.001)
ticker = threading.Thread(target=tick)
ticker.start()
results = {name: getattr(api, name)() for name in json.loads(sys.argv[1])}
stop.set()
ticker.join()
results["longest_pause"] = max(b - a for a, b in zip(stamps, stamps[1:]))
print(json.dumps(results))
"""


def test_detection_over_a_fake_table(tmp_path, make_port):
    refusal = namespaces_refusal()
    if refusal:
        pytest.skip(refusal)

    ports = {
        "ttyACM10": ("cdc_acm", ARM_INFO),
        "ttyACM2": ("cdc_acm", ARM_INFO),
        "ttyACM5": ("cdc_acm", b""),  # silent: about one second with the lock held
        "ttyUSB0": ("cp210x", HANDLE_INFO),
        "rfcomm0": (None, HANDLE_STATUS),
    }
    responders = {name: Responder(make_port(), reply) for name, (_, reply) in ports.items()}
    # Listed by the table but never probed: no device node exists for them.
    listed_only = [("ttyUSB1", "ftdi_sio"), ("ttyS1", "serial8250", "0\n"), ("tty0",)]

    for r in responders.values():
        r.start()
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(api.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    try:
        child = run_with_ports(
            tmp_path, {name: (driver, responders[name].port.path)
                       for name, (driver, _) in ports.items()},
            [sys.executable, "-c", DETECT, json.dumps([name for name, _ in DETECT_FUNCTIONS])],
            env, listed_only=listed_only)
    finally:
        for r in responders.values():
            r.done.set()
            r.join()
    assert child.returncode == 0, child.stderr
    assert child.stderr == ""

    results = json.loads(child.stdout)
    assert results["detect_varnix3s"] == ["/dev/ttyACM2", "/dev/ttyACM10"]
    assert results["detect_handles"] == ["/dev/rfcomm0", "/dev/ttyUSB0"]
    assert results["detect_wired_handles"] == ["/dev/ttyUSB0"]
    assert results["detect_wireless_handles"] == ["/dev/rfcomm0"]
    # One wake-up byte per probe, and each port only by the functions of its kind.
    assert {name: r.received for name, r in responders.items()} == {
        "ttyACM10": b"\n", "ttyACM2": b"\n", "ttyACM5": b"\n",
        "ttyUSB0": b"\n\n", "rfcomm0": b"\n\n",
    }
    assert results["longest_pause"] >= 0.9
