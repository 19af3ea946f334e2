"""Teleoperation over zenoh on one machine: the arm leads, a remote tool follows, and the arm
feels the wall the tool meets.

    python examples/teleoperation.py [--delay-ms 20] [--seconds 4]

Three processes: orvane-sim plays the arm; this process is the leader (an orvane.bridge
Bridge on the arm, with a steady push along +x standing in for the operator's hand); a
second copy of this script is the follower, a simulated tool that goes wherever the arm's
measured_cp says and answers each one with a servo_cf: the contact force of a spring-damper
wall a few millimetres in front of where the arm started. Both sessions talk only over the
loopback address. `--delay-ms` delays every message each way (so the round trip grows by
twice that); the damping on the follower's side keeps the contact stable.

Exits 0 when the arm came to rest against the remote wall, pushed back by it; 1 otherwise.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from typing import List, Optional, Tuple

import zenoh

from orvane import bridge_wire as wire
from orvane.bridge import Bridge, loopback_config
from orvane.haptics import ConstantForce

WALL_OFFSET = 0.01  # m in front of the arm's start, along +x
WALL_STIFFNESS = 200.0  # N/m
WALL_DAMPING = 2.0  # N s/m, inside the wall only
HAND = 1.0  # N along +x: the operator's steady push
PREFIX = "orvane/teleop"


# --- the follower: a remote tool with a wall in front of it ------------------------------

class Follower:
    def __init__(self, session: zenoh.Session) -> None:
        self.source = wire.new_source()
        self.sequence = 0
        self.wall: Optional[float] = None
        self.velocity = 0.0
        self.lock = threading.Lock()
        self.publisher = session.declare_publisher(
            f"{PREFIX}/{wire.SERVO_CF}", congestion_control=zenoh.CongestionControl.DROP,
            priority=zenoh.Priority.REAL_TIME, express=True)
        self.subscribers = [
            session.declare_subscriber(f"{PREFIX}/{wire.MEASURED_CV}", self.on_velocity),
            session.declare_subscriber(f"{PREFIX}/{wire.MEASURED_CP}", self.on_position)]

    def on_velocity(self, sample: zenoh.Sample) -> None:
        _, v = wire.unpack(wire.MEASURED_CV, sample.payload.to_bytes())
        with self.lock:
            self.velocity = v[0]

    def on_position(self, sample: zenoh.Sample) -> None:
        header, p = wire.unpack(wire.MEASURED_CP, sample.payload.to_bytes())
        with self.lock:
            if self.wall is None:
                self.wall = p[0] + WALL_OFFSET
            depth = p[0] - self.wall
            force = 0.0
            if depth > 0:
                # A wall pushes, never pulls.
                force = min(0.0, -WALL_STIFFNESS * depth - WALL_DAMPING * self.velocity)
            self.sequence += 1
            message = wire.pack(wire.SERVO_CF,
                                wire.Header(self.source, self.sequence, time.time()),
                                header.sequence, force, 0.0, 0.0)
        self.publisher.put(message)


def follow(endpoint: str, seconds: float) -> int:
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    with zenoh.open(loopback_config(connect=[endpoint])) as session:
        follower = Follower(session)
        print("follower ready", flush=True)
        done.wait(seconds)
        for sub in follower.subscribers:
            sub.undeclare()
    return 0


# --- the leader: the bridge on the arm, and a hand pushing it ----------------------------

def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def start_sim(sim: str) -> Tuple[subprocess.Popen, str]:
    proc = subprocess.Popen([sim, "arm"], stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    port = proc.stdout.readline().strip()
    if not port:
        proc.kill()
        sys.exit(f"{sim} did not start")
    return proc, port


def lead(args: argparse.Namespace) -> int:
    endpoint = f"tcp/127.0.0.1:{args.zenoh_port or free_port()}"
    sim, port = start_sim(args.sim)
    follower: Optional[subprocess.Popen] = None
    try:
        with Bridge(port, prefix=PREFIX, zenoh_config=loopback_config(listen=[endpoint]),
                    delay_ms=args.delay_ms) as bridge:
            loop = bridge.loop
            while loop.state().sequence == 0:
                time.sleep(0.001)
            wall = loop.state().position[0] + WALL_OFFSET
            follower = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "--follower", endpoint,
                 "--seconds", str(args.seconds + 10)], stdout=subprocess.PIPE, text=True)
            deadline = time.monotonic() + 30.0  # a busy machine starts a Python slowly
            while bridge.stats()["servo_cf"]["applied"] == 0:
                if time.monotonic() > deadline or follower.poll() is not None:
                    print("leader: the follower never answered")
                    return 1
                time.sleep(0.01)
            loop.add(ConstantForce(force=(HAND, 0.0, 0.0)))
            samples: List[Tuple[float, float, float]] = []  # time, depth, commanded force
            start = time.monotonic()
            while (now := time.monotonic()) - start < args.seconds and loop.running:
                samples.append((now - start, loop.state().position[0] - wall, loop.force[0]))
                time.sleep(0.01)
            stats = bridge.stats()
        if loop.fault:
            print(f"leader: the loop failed: {loop.fault}")
            return 1
    finally:
        for proc in (follower, sim):
            if proc is not None and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
    return report(samples, stats, args)


def report(samples: List[Tuple[float, float, float]], stats: dict,
           args: argparse.Namespace) -> int:
    last = [s for s in samples if s[0] >= args.seconds - 1.0]
    inside = [s for s in samples if s[1] > 0]
    depths = [s[1] for s in last]
    forces = [s[2] for s in last]
    depth = sum(depths) / max(len(depths), 1)
    force = sum(forces) / max(len(forces), 1)
    swing = max(depths) - min(depths) if depths else 0.0
    rtt = stats["rtt_us"]
    print(f"leader: delay {args.delay_ms:g} ms each way, round trip p50 "
          f"{rtt['p50'] / 1000:.1f} ms; {len(inside)} of {len(samples)} samples inside the "
          f"wall, at most {max((s[1] for s in samples), default=0.0) * 1000:.2f} mm")
    print(f"leader: at rest {depth * 1000:.2f} mm inside the wall, swinging "
          f"{swing * 1000:.3f} mm over the last second; remote force {force:+.3f} N")
    # Resting inside the wall, pushed back by it as hard as the hand pushes in.
    felt = bool(last) and depth > 0 and all(f < 0 for f in forces) and \
        abs(force + HAND) < 0.2 * HAND
    steady = swing < 0.001
    print("leader: the arm felt the remote wall" if felt and steady else
          "leader: the arm did not come to rest against the remote wall")
    return 0 if felt and steady else 1


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--delay-ms", type=float, default=0.0, help="injected delay each way")
    p.add_argument("--seconds", type=float, default=4.0, help="how long the hand pushes")
    p.add_argument("--zenoh-port", type=int, help="TCP port on 127.0.0.1 (default: a free one)")
    p.add_argument("--sim", default=os.environ.get("ORVANE_SIM") or shutil.which("orvane-sim")
                   or "orvane-sim", help="the simulator to run (orvane-sim on PATH)")
    p.add_argument("--follower", metavar="ENDPOINT", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.follower:
        return follow(args.follower, args.seconds)
    return lead(args)


if __name__ == "__main__":
    sys.exit(main())
