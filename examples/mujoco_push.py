"""A MuJoCo scene the arm touches: the tool pushes a box across a table.

The servo loop steps the scene on its own thread, 1000 times a second: the scene's tool
body is pulled towards the arm's position, and the arm feels the opposite of that pull, so
it feels the box. This program only pushes (standing in for a hand) and reads snapshots.
Needs the mujoco package (pip install 'OrvaneHardwareAPI[mujoco]').

    python3 mujoco_push.py             # against a simulated arm (orvane-sim on PATH)
    python3 mujoco_push.py /dev/ttyACM0 --seconds 5
"""
import argparse
import subprocess
import time

from orvane import scenes
from orvane.haptics import LoopFault, MujocoScene, ServoLoop

parser = argparse.ArgumentParser()
parser.add_argument("port", nargs="?", help="the arm's port (default: a simulated arm)")
parser.add_argument("--seconds", type=float, default=3.0)
args = parser.parse_args()

model, data = scenes.load(scenes.demo_xml())
box_body = model.body("box").id
box = int(model.jnt_qposadr[model.body_jntadr[box_body]])  # the box's x in qpos
simulator = None
port = args.port
if port is None:
    simulator = subprocess.Popen(["orvane-sim", "arm"], stdout=subprocess.PIPE, text=True)
    assert simulator.stdout is not None
    port = simulator.stdout.readline().strip()

try:
    with ServoLoop(port, rate_hz=1000, max_force=4.0) as loop:
        home = loop.state().position  # measured: the loop started with the arm's state
        # The arm's starting point is where the tool starts in the scene.
        loop.workspace(offset=[scenes.DEMO_TOOL_START[i] - home[i] for i in range(3)])
        scene = loop.add(MujocoScene(model, data, body="tool", stiffness=300.0, damping=3.0))
        start = time.monotonic()
        next_print = start
        while (t := time.monotonic() - start) < args.seconds:
            # A 1 N push (the box starts to slide at about 0.47 N), brought in over half a
            # second, set again well within the watchdog.
            loop.force = (min(1.0, 2 * t), 0.0, 0.0)
            if time.monotonic() >= next_print:
                s = scene.snapshot()
                print(f"{t:5.2f} s  tool x {100 * s.tool[0]:+6.2f} cm  box x "
                      f"{100 * s.qpos[box]:+6.2f} cm  felt {s.force[0]:+5.2f} N  "
                      f"{'on the box' if box_body in s.touching else ''}")
                next_print += args.seconds / 10
            time.sleep(0.02)
        steps = scene.stats()["step_us"]
    print(f"scene steps: median {steps['p50']:.0f} us, p99 {steps['p99']:.0f} us")
except LoopFault as fault:
    raise SystemExit(f"the loop stopped: {fault}")
finally:
    if simulator is not None:
        simulator.terminate()
        simulator.wait()
