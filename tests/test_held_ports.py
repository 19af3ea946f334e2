"""A port that another program holds open is left as it is: no settings, no bytes, and the
detector says why it could not probe it."""
import os
import subprocess
import sys
import termios

import pytest

import OrvaneHardwareAPI as api
from fake_ports import run_with_ports
from sim_process import sim_binary
from test_detection import ARM_INFO, Responder
from test_stream_classes import open_lines

# Holds the port open, as a terminal program would, until its standard input closes.
HOLD = "import os, sys; os.open(sys.argv[1], os.O_RDWR); print(flush=True); sys.stdin.read()"


@pytest.fixture
def held(port):
    """The scripted port, held open by a second process; yields its settings."""
    with subprocess.Popen([sys.executable, "-c", HOLD, port.path], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE) as holder:
        holder.stdout.readline()
        yield termios.tcgetattr(port._slave)
        holder.stdin.close()


def test_held_port_is_neither_configured_nor_written(port, held, capfd):
    stream = api.SerialStream(port.path)
    assert capfd.readouterr().err == open_lines(port.path, 16, "Device or resource busy")
    assert api.Varnix3(stream).device_wakeup()[0] == 0
    assert port.pending() == b""
    assert termios.tcgetattr(port._slave) == held


def test_detector_leaves_a_held_port_alone_and_says_why(port, held, tmp_path):
    arm = Responder(port, ARM_INFO)
    arm.start()
    detect = os.path.join(os.path.dirname(sim_binary()), "orvane-detect")
    try:
        result = run_with_ports(tmp_path, {"ttyACM0": ("cdc_acm", port.path)}, [detect],
                                listed_only=[("ttyACM1", "cdc_acm")])
    finally:
        arm.done.set()
        arm.join()
    assert result.returncode == 0, result.stderr
    answered = result.stdout.split("What answered where:\n")[1].splitlines()
    assert answered == ["  /dev/ttyACM0     nothing (held by another program)",
                        "  /dev/ttyACM1     nothing (missing)"]
    assert "unable to open" not in result.stderr  # said once, in the summary
    assert arm.received == b""
    assert termios.tcgetattr(port._slave) == held
