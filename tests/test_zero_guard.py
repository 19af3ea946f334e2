"""Zero force on the wire however a pushing program ends, read from the simulator's trace."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from sim_process import start_sim  # noqa: F401

pytest.importorskip("orvane.haptics")
PUSH, ZERO = (0.0, 1.0, 0.0), (0.0, 0.0, 0.0)

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


def final_forces(trace, timeout=5.0):
    """(time, force) of every force request in the trace, once it ends on a zero."""
    deadline = time.monotonic() + timeout
    while True:
        seen = [(float(f[0]), tuple(map(float, f[2:]))) for f in map(str.split,
                trace.read_text().splitlines()) if len(f) == 5 and f[1] == "2A"]
        if (seen and seen[-1][1] == ZERO) or time.monotonic() > deadline:
            return seen
        time.sleep(0.2)  # and lets anything that would follow it arrive


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
    seen = final_forces(trace)
    last_push = max(i for i, (_, f) in enumerate(seen) if f != ZERO)
    assert seen[last_push][1] == PUSH and seen[-1][1] == ZERO, seen[-5:]
    # The signal guard's one zero, or the guard process's two (silent after the program's),
    # within the bound of the last push (a cycle is 2 ms).
    assert len(seen) - last_push - 1 == (1 if way == "SIGTERM" else 2), seen[-5:]
    assert seen[-1][0] - seen[last_push][0] < 0.1, seen[-5:]


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
    pushes = [f for _, f in final_forces(trace)]
    # The opening state request, one request a cycle and the final zero; no zero between two
    # pushes (a busy machine may let the watchdog ramp a push out, but not in one step).
    assert pushes[-1] == ZERO and len(pushes) == stats["cycles"] + 2, stats
    assert [PUSH, ZERO, PUSH] not in [pushes[i:i + 3] for i in range(len(pushes) - 2)]


def guard_processes():
    """This process's zero guard children, reaped or not."""
    task = pathlib.Path("/proc/self/task")
    pids = [p for t in task.iterdir() for p in (t / "children").read_text().split()]
    return [p for p in pids if pathlib.Path(f"/proc/{p}/comm").read_text().startswith(
        "orvane-zero-gu")]


def test_a_stop_leaves_no_guard_and_the_port_free(start_sim):
    from orvane.haptics import ServoLoop
    sim = start_sim("arm")
    for _ in range(2):
        with ServoLoop(sim.path, rate_hz=500) as loop:
            loop.force = (0.0, 0.5, 0.0)
            assert len(guard_processes()) == 1
        assert guard_processes() == []
