"""The programs around the module, end to end against the simulator: orvane-demo,
orvane-detect and the examples."""
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from fake_ports import run_with_ports
from sim_process import sim_binary, start_sim, tool_env  # noqa: F401

api = pytest.importorskip("OrvaneHardwareAPI")
ROOT = Path(__file__).resolve().parent.parent


def env():
    """PATH finds orvane-sim; PYTHONPATH finds the module the tests use."""
    e = tool_env()
    import orvane  # the package beside the module the tests use, for orvane.demo
    e["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(api.__file__), os.path.dirname(os.path.dirname(orvane.__file__))] +
        [p for p in [e.get("PYTHONPATH")] if p])
    return e


def run(*argv, timeout=60, cwd=None):
    return subprocess.run([sys.executable, *map(str, argv)], capture_output=True, text=True,
                          env=env(), timeout=timeout, cwd=cwd)


def has_matplotlib():
    return subprocess.run([sys.executable, "-c", "import matplotlib"],
                          capture_output=True).returncode == 0


def has_servo_loop():
    return subprocess.run([sys.executable, "-c", "from orvane.haptics import ServoLoop"],
                          capture_output=True, env=env(), cwd=ROOT / "tools").returncode == 0


# The demo's two haptic loops: the native servo loop (its default) and the Python one.
LOOPS = [pytest.param([], id="servo-loop"), pytest.param(["--python-loop"], id="python-loop")]


@pytest.fixture(params=LOOPS)
def loop_args(request):
    if not request.param and not has_servo_loop():
        pytest.skip("orvane.haptics has no ServoLoop in this build")
    return request.param


def test_demo_runs_end_to_end(tmp_path, loop_args):
    result = run("-m", "orvane.demo", "--seconds", "0.5", *loop_args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "device id 1, model 4, hardware 1, firmware 1" in out
    assert "identifier 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9" in out
    assert "Summary: " in out and "median" in out
    assert ("99th percentile" if loop_args else "p99.9") in out
    assert out.count("  orientation w ") == 5
    assert "user data [42]" in out
    if has_matplotlib():
        assert (tmp_path / "orvane-demo.png").stat().st_size > 0
    else:
        assert "matplotlib is not installed" in out
        assert not (tmp_path / "orvane-demo.png").exists()
    assert result.stderr == ""


def test_demo_on_a_given_port_without_plot(start_sim, tmp_path, loop_args):
    sim = start_sim("arm", "--device-id", "77")
    result = run("-m", "orvane.demo", "--port", sim.path, "--seconds", "0.3",
                 "--no-plot", *loop_args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert f"Arm on {sim.path}" in result.stdout and "device id 77" in result.stdout
    assert "plot" not in result.stdout.lower().replace("--no-plot", "")
    assert sim.proc.poll() is None  # a port it was given is not its to stop


@pytest.mark.parametrize("fault, message", [
    (["--silent"], "no arm answered on {port}"),
    (["--hangup-after", "50"], "the arm stopped answering"),
])
def test_demo_reports_an_arm_that_fails(start_sim, tmp_path, fault, message, loop_args):
    sim = start_sim("arm", *fault)
    result = run("-m", "orvane.demo", "--port", sim.path, "--seconds", "1",
                 "--no-plot", *loop_args, cwd=tmp_path)
    assert result.returncode == 1
    assert message.format(port=sim.path) in result.stderr


def test_demo_pushes_a_box_in_a_mujoco_scene(tmp_path):
    pytest.importorskip("mujoco")
    result = run("-m", "orvane.demo", "--scene", "mujoco", "--seconds", "1.5", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    # The box slides (at about 0.47 N) under the tool's own push, not creeping.
    felt = re.search(r"strongest contact force felt ([-+.\d]+) N", result.stdout)
    assert felt and -1.2 < float(felt.group(1)) < -0.4, result.stdout
    moved = re.search(r"the box moved ([-+.\d]+) cm", result.stdout)
    on_box = re.search(r"tool on the box (\d+) %", result.stdout)
    assert moved and float(moved.group(1)) > 1.0, result.stdout
    assert on_box and 30 < int(on_box.group(1)) < 95, result.stdout
    assert "0 unstable cycles" in result.stdout and "MuJoCo " in result.stdout


@pytest.mark.parametrize("example, expected", [
    pytest.param(["mujoco_push.py", "--seconds", "0.5"], "scene steps",
                 marks=pytest.mark.skipif(importlib.util.find_spec("mujoco") is None,
                                          reason="needs mujoco")),
    (["force_loop.py", "--seconds", "0.5"], "passes"),
    (["handle_subclass.py"], "user data [7]"),
    (["servo_wall.py", "--seconds", "0.5"], "cycles at"),
    (["handle_listener.py"], "'messages'"),
])
def test_examples_run_against_the_simulator(example, expected):
    result = run(ROOT / "examples" / example[0], *example[1:])
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout


@pytest.fixture
def machine(start_sim):
    """A machine whose serial ports are simulators: two arms (one of another model), a
    wired handle and a wireless handle that streams."""
    return {
        "ttyACM0": ("cdc_acm", start_sim("arm", "--device-id", "5").path),
        "ttyACM1": ("cdc_acm", start_sim("arm", "--model", "3").path),
        "ttyUSB0": ("cp210x", start_sim("handle").path),
        "rfcomm0": (None, start_sim("handle", "--stream", "20").path),
    }


def test_detection_example(machine, tmp_path):
    result = run_with_ports(tmp_path, machine,
                            [sys.executable, str(ROOT / "examples" / "detection.py")], env())
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:3] == [
        "arms:             /dev/ttyACM0",
        "wired handles:    /dev/ttyUSB0",
        "wireless handles: /dev/rfcomm0",
    ]
    assert "/dev/ttyACM0: arm 5, identifier 0a1b2c3d-" in result.stdout


def test_orvane_detect(machine, tmp_path):
    detect = os.path.join(os.path.dirname(sim_binary()), "orvane-detect")
    result = run_with_ports(tmp_path, machine, [detect], env())
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "/dev/ttyACM0     USB serial" in out
    assert "/dev/rfcomm0     Bluetooth serial" in out
    answered = out.split("What answered where:\n")[1].splitlines()
    assert [line.split(None, 1) for line in answered] == [
        ["/dev/rfcomm0", "wireless handle"],
        ["/dev/ttyACM0", "arm"],
        ["/dev/ttyACM1", "nothing"],
        ["/dev/ttyUSB0", "wired handle"],
    ]
