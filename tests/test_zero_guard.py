"""Zero force on the wire however a pushing program ends, read from the simulator's trace."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from sim_process import start_sim  # noqa: F401

pytest.importorskip("orvane.haptics")

# Pushes (0, 1, 0) N against the arm, renewed faster than the watchdog, after `setup`.
PUSHER = """
import asyncio, json, os, signal, sys, threading, time
from orvane.haptics import ServoLoop
{before}
loop = ServoLoop(sys.argv[1], rate_hz=500)
loop.force = (0.0, 1.0, 0.0)
loop.start()
{setup}
print("pushing", flush=True)
end = time.monotonic() + 20
while time.monotonic() < end:
    loop.force = (0.0, 1.0, 0.0)
    {each}
    time.sleep(0.01)
"""

SETUPS = {
    "SIGTERM": "",
    "sigkill": "",
    "os._exit": "threading.Timer(0.3, os._exit, (3,)).start()",
    "restore idiom": "old = signal.signal(signal.SIGTERM, lambda *a: None)\n"
                     "signal.signal(signal.SIGTERM, old)",
    "asyncio": "ev = asyncio.new_event_loop()\n"
               "ev.add_signal_handler(signal.SIGTERM, lambda: None)\n"
               "ev.remove_signal_handler(signal.SIGTERM)",
    "SIG_DFL after start": "signal.signal(signal.SIGTERM, signal.SIG_DFL)",
}


def run_pusher(sim_path, setup="", each="pass", before=""):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    script = PUSHER.format(before=before, setup=setup, each=each)
    proc = subprocess.Popen([sys.executable, "-c", script, sim_path], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline().strip()
    if line != "pushing":
        proc.kill()
        pytest.fail(f"the pusher did not start: {proc.communicate(timeout=10)}")
    return proc


def forces(trace):
    """(time, force) of every force request in the trace, once it has settled."""
    out = []
    for line in trace.read_text().splitlines():
        f = line.split()
        if len(f) == 5 and f[1] == "2A":
            out.append((float(f[0]), tuple(float(v) for v in f[2:])))
    return out


def wait_for_final_zero(trace, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        seen = forces(trace)
        if seen and seen[-1][1] == (0.0, 0.0, 0.0):
            time.sleep(0.2)  # anything that would follow it
            return forces(trace)
        time.sleep(0.02)
    return forces(trace)


@pytest.mark.parametrize("way", list(SETUPS))
def test_a_dying_pusher_leaves_zero_force_last(start_sim, tmp_path, way):
    trace = tmp_path / "trace.txt"
    sim = start_sim("arm", "--trace", str(trace))
    proc = run_pusher(sim.path, SETUPS[way])
    if way == "sigkill":
        time.sleep(0.2)
        proc.kill()
    elif way != "os._exit":
        time.sleep(0.2)
        proc.send_signal(signal.SIGTERM)
    proc.communicate(timeout=10)
    seen = wait_for_final_zero(trace)
    assert (0.0, 1.0, 0.0) in [f for _, f in seen]
    assert seen[-1][1] == (0.0, 0.0, 0.0), seen[-5:]
    # The signal guard's one zero, or the guard process's two (it stays silent after ours).
    trailing = len(seen) - max(i for i, (_, f) in enumerate(seen) if f != (0.0, 0.0, 0.0)) - 1
    assert trailing == (1 if way == "SIGTERM" else 2), seen[-5:]
    # The zero follows the last force within the bound (a cycle is 2 ms).
    last_push = max(t for t, f in seen if f != (0.0, 0.0, 0.0))
    assert seen[-1][0] - last_push < 0.1, seen[-5:]


def test_handled_signals_put_nothing_on_the_wire(start_sim, tmp_path):
    trace = tmp_path / "trace.txt"
    sim = start_sim("arm", "--trace", str(trace))
    # The program's handler is in place before the loop, so the guard's handler chains to it.
    before = "heard = []\nsignal.signal(signal.SIGHUP, lambda *a: heard.append(1))"
    each = ("if len(heard) == 3:\n"
            "        heard.append(time.monotonic())\n"
            "    if len(heard) == 4 and time.monotonic() > heard[3] + 0.3:\n"
            "        loop.stop()\n"
            "        print(json.dumps(loop.stats()), flush=True)\n"
            "        break")
    proc = run_pusher(sim.path, each=each, before=before)
    time.sleep(0.3)
    for _ in range(3):
        time.sleep(0.1)
        proc.send_signal(signal.SIGHUP)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    stats = json.loads(out.strip().splitlines()[-1])
    seen = wait_for_final_zero(trace)
    pushes = [f for _, f in seen]
    # One request a cycle and the final zero; no zero between two pushes (a busy machine may
    # let the watchdog ramp a push out, but not in one step).
    assert pushes[-1] == (0.0, 0.0, 0.0)
    push, zero = (0.0, 1.0, 0.0), (0.0, 0.0, 0.0)
    assert [push, zero, push] not in [pushes[i:i + 3] for i in range(len(pushes) - 2)]
    assert len(pushes) == stats["cycles"] + 1, stats


def guard_processes():
    """This process's zero guard children, reaped or not."""
    pids = []
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/children") as f:
            pids += f.read().split()
    found = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().startswith("orvane-zero-gu"):
                    found.append(pid)
        except FileNotFoundError:
            pass
    return found


def test_a_stop_leaves_no_guard_and_the_port_free(start_sim):
    from orvane.haptics import ServoLoop
    sim = start_sim("arm")
    for _ in range(2):
        with ServoLoop(sim.path, rate_hz=500) as loop:
            loop.force = (0.0, 0.5, 0.0)
            assert len(guard_processes()) == 1
        assert guard_processes() == []
