"""The newest orientation of a handle, kept up to date on a native thread.

    python3 handle_listener.py            # against a simulated wired handle
    python3 handle_listener.py /dev/ttyUSB0 --request-hz 0    # a handle that streams
"""
import argparse
import subprocess
import time

from orvane.haptics import HandleListener

parser = argparse.ArgumentParser()
parser.add_argument("port", nargs="?", help="the handle's port (default: a simulated one)")
parser.add_argument("--request-hz", type=float, default=100.0)
args = parser.parse_args()

simulator = None
port = args.port
if port is None:
    simulator = subprocess.Popen(["orvane-sim", "handle"], stdout=subprocess.PIPE, text=True)
    assert simulator.stdout is not None
    port = simulator.stdout.readline().strip()

try:
    with HandleListener(port, request_hz=args.request_hz) as listener:
        for _ in range(5):
            time.sleep(0.2)
            snap = listener.snapshot()
            w, x, y, z = snap.quaternion
            print(f"#{snap.sequence:4d}  w {w:+.3f} x {x:+.3f} y {y:+.3f} z {z:+.3f}  "
                  f"hall {snap.hall_effect:3d}  error flag {snap.error_flag}")
        print(listener.stats())
finally:
    if simulator is not None:
        simulator.terminate()
        simulator.wait()
