"""A virtual wall on the native servo loop: Python only says what to render.

The loop exchanges force and state with the arm 1000 times a second on its own thread;
this program adds a wall and a light spring, pushes towards the wall for a while (standing
in for a hand) and prints where the arm is and how steady the loop runs.

    python3 servo_wall.py             # against a simulated arm (orvane-sim on PATH)
    python3 servo_wall.py /dev/ttyACM0 --seconds 5
"""
import argparse
import subprocess
import time

from orvane.haptics import LoopFault, ServoLoop, Spring, Wall

parser = argparse.ArgumentParser()
parser.add_argument("port", nargs="?", help="the arm's port (default: a simulated arm)")
parser.add_argument("--seconds", type=float, default=2.0)
args = parser.parse_args()

simulator = None
port = args.port
if port is None:
    simulator = subprocess.Popen(["orvane-sim", "arm"], stdout=subprocess.PIPE, text=True)
    assert simulator.stdout is not None
    port = simulator.stdout.readline().strip()

try:
    with ServoLoop(port, rate_hz=1000, max_force=3.0) as loop:
        print(f"arm {loop.device_info['device_id']} on {port}; real time: {loop.realtime}")
        # Where the arm is, as it said in its reply: the loop has it before the block begins.
        here = loop.state().position
        start_x = here[0]
        wall = loop.add(Wall(point=(start_x + 0.01, 0, 0), normal=(-1, 0, 0), stiffness=500.0))
        loop.add(Spring(center=here, stiffness=5.0, damping=0.5))  # holds the arm where it is
        start = time.monotonic()
        next_print = start
        while (t := time.monotonic() - start) < args.seconds:
            # The watchdog lets a commanded force go unless it is set again within 0.1 s.
            loop.force = (1.0, 0.0, 0.0) if t < 0.7 * args.seconds else (0.0, 0.0, 0.0)
            if t > 0.5 * args.seconds:
                wall.update(stiffness=1000.0)  # a harder wall, taken whole by the loop
            if time.monotonic() >= next_print:
                state = loop.state()
                print(f"{t:5.2f} s  x {1000 * (state.position[0] - start_x):+6.2f} mm  "
                      f"net force sent x {state.force[0]:+5.2f} N")
                next_print += args.seconds / 10
            time.sleep(0.02)
        stats = loop.stats()
    # Leaving the block sent zero force and closed the port.
    print(f"{stats['cycles']} cycles at {stats['rate_hz']:.0f} Hz, period error p99.9 "
          f"{stats['period_error_us']['p999']:.0f} us, clamped {stats['clamped']}")
except LoopFault as fault:
    raise SystemExit(f"the loop stopped: {fault}")
finally:
    if simulator is not None:
        simulator.terminate()
        simulator.wait()
