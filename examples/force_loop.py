"""A force loop: a spring holds the arm's end effector where it started.

Every pass sends a force and gets the end-effector state back in one call. Halfway through,
a push upwards stands in for a hand; the spring brings the end effector back.

    python3 force_loop.py             # against a simulated arm (orvane-sim on PATH)
    python3 force_loop.py /dev/ttyACM0 --seconds 5
"""
import argparse
import subprocess
import time

import OrvaneHardwareAPI as api

parser = argparse.ArgumentParser()
parser.add_argument("port", nargs="?", help="the arm's port (default: a simulated arm)")
parser.add_argument("--seconds", type=float, default=2.0)
args = parser.parse_args()

simulator = None
port = args.port
if port is None:
    # orvane-sim prints its port as its first line, then serves until it is stopped.
    simulator = subprocess.Popen(["orvane-sim", "arm"], stdout=subprocess.PIPE, text=True)
    assert simulator.stdout is not None
    port = simulator.stdout.readline().strip()

try:
    stream = api.SerialStream(port)  # keep the stream referenced while the arm is used
    arm = api.Varnix3(stream)
    device_id, model, hardware, firmware, identifier = arm.device_wakeup()
    print(f"arm {device_id} (model {model}) on {port}")

    stiffness = 200.0  # N/m
    anchor, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    position = anchor
    start = time.monotonic()
    next_print = start
    passes = 0
    while (t := time.monotonic() - start) < args.seconds:
        force = [-stiffness * (p - a) for p, a in zip(position, anchor)]
        if args.port is None and 0.4 * args.seconds < t < 0.6 * args.seconds:
            force[2] += 1.0  # the "hand" pushes up
        position, velocity = arm.end_effector_force(force)
        passes += 1
        if time.monotonic() >= next_print:
            offset = [1000 * (p - a) for p, a in zip(position, anchor)]
            print(f"{t:5.2f} s  offset (mm) x {offset[0]:+6.2f} y {offset[1]:+6.2f} "
                  f"z {offset[2]:+6.2f}   force z {force[2]:+5.2f} N")
            next_print += args.seconds / 10
    print(f"{passes} passes, {passes / args.seconds:.0f} per second")
    arm.end_effector_force([0.0, 0.0, 0.0])  # let go
finally:
    if simulator is not None:
        simulator.terminate()
        simulator.wait()
