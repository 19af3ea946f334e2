"""The live view's cost to the servo loop: the loop's period error at 1 kHz against
orvane-sim alone, with the view serving a viewer that reads everything, and with one that
subscribes to everything and never reads. Each phase runs on a fresh loop and simulator.
Run from an environment with the package installed (orvane[live], websockets; mujoco for
--scene):

    python bench/live.py [--seconds 10] [--busy 2] [--scene]

--busy N starts N CPU-bound processes for the whole run. Prints one JSON object.
"""
import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import threading
import time

from orvane import scenes
from orvane.haptics import MujocoScene, ServoLoop, Wall
from orvane.live import LiveView
from orvane.stats import percentiles

WARMUP_S = 0.5


def simulator():
    proc = subprocess.Popen([shutil.which("orvane-sim") or sys.exit("orvane-sim not on PATH"),
                             "arm"], stdout=subprocess.PIPE, text=True)
    select.select([proc.stdout], [], [], 5)
    return proc, proc.stdout.readline().strip()


def viewer(url, stop, read):
    """Subscribes to every topic; reads all of it (or nothing) until `stop`."""
    from websockets.sync.client import connect

    with connect(url, subprotocols=["foxglove.sdk.v1"], close_timeout=1) as ws:
        channels = []
        while not channels:
            msg = json.loads(ws.recv(timeout=5))
            if msg["op"] == "advertise":
                channels = msg["channels"]
        ws.send(json.dumps({"op": "subscribe", "subscriptions": [
            {"id": i, "channelId": c["id"]} for i, c in enumerate(channels)]}))
        received = 0
        while not stop.is_set():
            if read:
                try:
                    ws.recv(timeout=0.1)
                    received += 1
                except TimeoutError:
                    pass
            else:
                stop.wait(0.1)
        return received


def phase(name, seconds, mode, scene):
    sim, port = simulator()
    model_data = scenes.load(scenes.demo_xml()) if scene else None
    try:
        with ServoLoop(port, rate_hz=1000.0, history=int(seconds * 1000 * 1.5)) as loop:
            # Something for the view to draw: a wall far off, and the demo's scene.
            loop.add(Wall(point=(1.0, 0.0, 0.0), normal=(-1.0, 0.0, 0.0), stiffness=100.0))
            if model_data is not None:
                loop.add(MujocoScene(*model_data, step_budget=0.0009))
            view = LiveView(loop, port=0).start() if mode else None
            stop, result = threading.Event(), {}
            thread = None
            if view is not None:
                thread = threading.Thread(target=lambda: result.update(
                    received=viewer(view.url, stop, mode == "reading")))
                thread.start()
            time.sleep(seconds)
            stop.set()
            if thread is not None:
                thread.join(10)
            history = loop.history()
            if view is not None:
                view.stop()
        t = history["time"].tolist()
        settled = t[0] + WARMUP_S if t else 0.0
        errors = [e for e, at in zip(history["period_error_us"].tolist(), t) if at >= settled]
        exchanges = [e for e, at in zip(history["exchange_us"].tolist(), t) if at >= settled]
        span = t[-1] - settled if t else 0.0
        return {"phase": name, **percentiles(errors),
                "rate_hz": round(len(errors) / span, 1) if span > 0 else 0.0,
                "exchange_p99_us": percentiles(exchanges)["p99"] if exchanges else None,
                "fault": loop.fault,
                "viewer_messages": result.get("received", 0),
                "view_overruns": view.overruns if view else 0}
    finally:
        sim.terminate()
        sim.wait(5)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--busy", type=int, default=0, help="CPU-bound processes beside the run")
    p.add_argument("--scene", action="store_true",
                   help="the loop also steps the demo's MuJoCo scene, which the view draws")
    args = p.parse_args()
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
            for _ in range(args.busy)]
    try:
        out = [phase("alone", args.seconds, None, args.scene),
               phase("viewer reading", args.seconds, "reading", args.scene),
               phase("viewer not reading", args.seconds, "stalled", args.scene)]
    finally:
        for b in busy:
            b.kill()
            b.wait()
    print(json.dumps({"busy": args.busy, "seconds": args.seconds, "scene": args.scene,
                      "cpus": os.cpu_count(),
                      "phases": out}, indent=1))


if __name__ == "__main__":
    main()
