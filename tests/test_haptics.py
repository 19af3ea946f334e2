"""orvane.haptics.ServoLoop against a scripted arm on a pseudo-terminal and the simulator."""
import math
import os
import select
import signal
import struct
import subprocess
import sys
import threading
import time

import pytest

from sim_process import sim_binary, start_sim  # noqa: F401

haptics = pytest.importorskip("orvane.haptics")
from orvane.haptics import ConstantForce, LoopFault, ServoLoop, Spring  # noqa: E402

INFO = bytes([0x0B]) + struct.pack("<HBBB", 7, 4, 2, 3) + bytes(range(16))
ZERO_FORCE = bytes([0x2A]) + bytes(12)


class ScriptedArm(threading.Thread):
    """Plays the arm on the device end of `port`: answers the wake-up and every force
    request (with `position`), and keeps every force request's bytes in `requests`."""

    def __init__(self, port, position=(0.0, 0.0, 0.0)):
        super().__init__(daemon=True)
        self.port, self.position = port, position
        self.requests = []
        self.answering = True
        self.done = threading.Event()
        self.start()

    def run(self):
        pending = b""
        while not self.done.is_set():
            if not select.select([self.port.master], [], [], 0.02)[0]:
                continue
            pending += os.read(self.port.master, 4096)
            while pending:
                if pending[0] == 0x0A:
                    pending = pending[1:]
                    reply = INFO
                elif pending[0] == 0x2A and len(pending) >= 13:
                    self.requests.append(pending[:13])
                    pending = pending[13:]
                    reply = bytes([0x2B]) + struct.pack("<6f", *self.position, 0, 0, 0)
                else:
                    break
                if self.answering:
                    os.write(self.port.master, reply)

    def forces(self):
        return [struct.unpack("<3f", r[1:]) for r in list(self.requests)]

    def wait_for(self, n, timeout=5.0):
        deadline = time.monotonic() + timeout
        while len(self.requests) < n:
            assert time.monotonic() < deadline, f"only {len(self.requests)} force requests"
            time.sleep(0.01)

    def stop(self):
        self.done.set()
        self.join(2)


@pytest.fixture
def arm(port):
    a = ScriptedArm(port)
    yield a
    a.stop()


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


@pytest.mark.parametrize("way_out", ["stop", "with", "exception", "collected"])
def test_last_request_is_zero_force(port, arm, way_out):
    loop = ServoLoop(port.path, rate_hz=500)
    loop.force = (0.0, 0.0, 1.5)
    if way_out == "stop":
        loop.start()
        arm.wait_for(20)
        loop.stop()
    elif way_out == "collected":
        loop.start()
        arm.wait_for(20)
        del loop
    else:
        with pytest.raises(KeyError) if way_out == "exception" else open(os.devnull):
            with loop:
                arm.wait_for(20)
                if way_out == "exception":
                    raise KeyError("in the block")
    time.sleep(0.1)
    assert (0.0, 0.0, 1.5) in arm.forces()
    assert arm.requests[-1] == ZERO_FORCE


EXIT_SCRIPT = """
import sys, time
from orvane.haptics import ServoLoop
loop = ServoLoop(sys.argv[1], rate_hz=500)
loop.force = (0.0, 1.0, 0.0)
{body}
"""


@pytest.mark.parametrize("way_out,body", [
    ("interpreter exit", "loop.start(); time.sleep(0.2)"),
    ("Ctrl-C", "with loop:\n    print('running', flush=True)\n    time.sleep(30)"),
])
def test_zero_force_when_python_goes(port, arm, way_out, body):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", EXIT_SCRIPT.format(body=body), port.path],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if way_out == "Ctrl-C":
        assert proc.stdout.readline().strip() == "running"
        arm.wait_for(20)
        proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=10)
    assert (0.0, 1.0, 0.0) in arm.forces(), err
    assert arm.requests[-1] == ZERO_FORCE


def test_zero_force_on_stop_in_the_simulator_trace(start_sim, tmp_path):
    help_text = subprocess.run([sim_binary(), "--help"], capture_output=True, text=True)
    if "--trace" not in help_text.stdout + help_text.stderr:
        pytest.skip("this orvane-sim writes no trace")
    trace = tmp_path / "trace.txt"
    sim = start_sim("arm", "--trace", str(trace))
    with ServoLoop(sim.path, rate_hz=500) as loop:
        loop.force = (0.5, 0.0, 0.0)
        wait_until(lambda: loop.state().sequence > 20, 5)
    time.sleep(0.1)
    forces = [line.split() for line in trace.read_text().splitlines()]
    forces = [[float(v) for v in f[2:]] for f in forces if f[1].lower() == "2a"]
    assert [0.5, 0.0, 0.0] in forces
    assert forces[-1] == [0.0, 0.0, 0.0]


@pytest.mark.parametrize("setup,want,counters", [
    (lambda loop: loop.add(Spring(center=(0.5, 0, 0), stiffness=10.0)), (2.0, 0, 0), set()),
    (lambda loop: loop.add(Spring(stiffness=1e4)), (-5.0, 0, 0), {"clamped"}),
    # Zero while fresh, and a stale command once the watchdog has it.
    (lambda loop: setattr(loop, "force", (math.nan, 0, 0)), (0, 0, 0),
     {"non_finite", "watchdog_trips"}),
    (lambda loop: setattr(loop, "force", (0, 0, 1.0)), (0, 0, 0), {"watchdog_trips"}),
])
def test_rendered_force_on_the_wire(port, setup, want, counters):
    arm = ScriptedArm(port, position=(0.3, 0.0, 0.0))
    try:
        with ServoLoop(port.path, rate_hz=500, max_force=5.0, watchdog_ramp_s=0.0) as loop:
            setup(loop)
            time.sleep(0.6)  # springs ease in over 0.5 s
            assert loop.state().force == pytest.approx(want, abs=1e-6)
            assert arm.forces()[-1] == pytest.approx(want, abs=1e-6)
            stats = loop.stats()
        assert {n for n in ("clamped", "non_finite", "watchdog_trips") if stats[n]} == counters
        assert stats["watchdog_trips"] <= 1
    finally:
        arm.stop()


def test_updates_from_another_thread_arrive_whole(start_sim):
    loop = ServoLoop(start_sim("arm").path, rate_hz=0, watchdog_s=None, max_force=1e6)
    handle = loop.add(ConstantForce())
    stop = threading.Event()

    def writer():
        a = 0.0
        while not stop.is_set():
            a = (a + 0.001) % 1.0
            handle.update(force=(a, a, a))
            loop.force = (2 * a, 2 * a, 2 * a)

    with loop:
        thread = threading.Thread(target=writer)
        thread.start()
        seen = []
        while len(seen) < 20000 and loop.running:
            seen.append(loop.state().force)
        stop.set()
        thread.join()
    for force in seen:
        assert force[0] == force[1] == force[2], force
    assert len({f[0] for f in seen}) > 3  # the updates did reach the running loop


def test_silent_arm_at_wake_up(start_sim):
    sim = start_sim("arm", "--silent")
    begun = time.monotonic()
    with pytest.raises(LoopFault, match="wake-up"):
        ServoLoop(sim.path)
    assert 0.9 < time.monotonic() - begun < 2.5


def test_arm_falling_silent_ends_the_loop_with_a_fault(port, arm):
    loop = ServoLoop(port.path, rate_hz=500, reply_timeout_s=0.1, watchdog_s=0.2)
    loop.start()
    arm.wait_for(11)  # the state request of ServoLoop() and ten cycles
    arm.answering = False
    wait_until(lambda: not loop.running, 2.0)
    assert "stopped answering" in loop.fault
    for call in (lambda: setattr(loop, "force", (0, 0, 0)), loop.start,
                 lambda: loop.add(ConstantForce())):
        with pytest.raises(LoopFault, match="stopped answering"):
            call()
    assert loop.stats()["cycles"] >= 10
    time.sleep(0.1)
    assert arm.requests[-1] == ZERO_FORCE  # sent after the fault all the same
    loop.stop()


def test_unplugged_arm_ends_the_loop_with_a_fault(start_sim):
    sim = start_sim("arm", "--hangup-after", "50")
    loop = ServoLoop(sim.path, rate_hz=1000)
    loop.start()
    wait_until(lambda: not loop.running, 3.0)
    assert loop.fault and loop.state().sequence >= 40
    with pytest.raises(LoopFault):
        loop.force = (1, 0, 0)
    loop.stop()


def test_python_surface(port, arm):
    with pytest.raises(ValueError, match="max_force"):
        ServoLoop(port.path, max_force=0)
    with pytest.raises(LoopFault, match="cannot open"):
        ServoLoop("/dev/orvane-no-such-port")
    loop = ServoLoop(port.path, history=50)
    info = loop.device_info
    assert (info["device_id"], info["device_model_number"], info["device_id_ext"].bytes) == \
        (7, 4, bytes(range(16)))
    with pytest.raises(TypeError):
        loop.add((1, 2, 3))
    with loop:
        assert set(loop.realtime) == {"scheduler", "priority", "memory_locked", "message"}
        spring = loop.add(Spring(stiffness=1.0))
        with pytest.raises(TypeError, match="no parameter 'stifness'"):
            spring.update(stifness=2.0)
        spring.update(stiffness=3.0, damping=0.5)
        assert (spring.effect.stiffness, spring.effect.damping) == (3.0, 0.5)
        spring.remove()
        assert not spring.active and spring.effect is None
        spring.remove()  # again: nothing to do
        assert repr(spring) == "<EffectHandle removed>"
        with pytest.raises(ValueError, match="^the effect was removed from its loop$"):
            spring.update(stiffness=1.0)
        wait_until(lambda: loop.state().sequence > 60, 5)
    stats = loop.stats()
    assert set(stats["period_error_us"]) == {"p50", "p99", "p999", "max"}
    history = loop.history()
    assert len(history["time"]) == 50 and len(history["position"][0]) == 3
    assert list(history["sequence"]) == list(range(stats["cycles"] - 49, stats["cycles"] + 1))
    assert not loop.running and loop.closed and loop.fault is None
