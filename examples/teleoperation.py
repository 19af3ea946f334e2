"""Teleoperation over zenoh on one machine: the arm leads, a remote tool follows, and the arm
feels the wall the tool meets.

    python examples/teleoperation.py [--delay-ms 20] [--seconds 4]
    python examples/teleoperation.py --mode position [--passivity] [--delay-ms 20]

Three processes: orvane-sim plays the arm; this process is the leader (an orvane.bridge
Bridge on the arm, with a steady push along +x standing in for the operator's hand); a
second copy of this script is the follower, a simulated tool that goes wherever the arm's
measured_cp says, but no further than a wall a few millimetres in front of where the arm
started. Both sessions talk only over the loopback address. `--delay-ms` delays every
message each way (so the round trip grows by twice that).

- `--mode force` (the default): the follower answers each measured_cp with a servo_cf, the
  contact force of a spring-damper wall; the damping on the follower's side keeps the
  contact stable.
- `--mode position`: the follower answers each measured_cp with a servo_cp, the tool's
  position (stopped at the wall) as the target of the bridge's coupling, so the coupling
  pulls the arm back from the wall. Over a delayed network the stiff coupling gives the arm
  energy it never put in and the contact rings; `--passivity` turns on the coupling's
  passivity damping, which takes that energy out again.

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

from orvane.bridge import wire
from orvane.bridge import Bridge, loopback_config
from orvane.haptics import ConstantForce

WALL_OFFSET = 0.01  # m in front of the arm's start, along +x
WALL_STIFFNESS = 200.0  # N/m
WALL_DAMPING = 2.0  # N s/m, inside the wall only
COUPLING_STIFFNESS = 2000.0  # N/m, position mode
COUPLING_DAMPING = 1.0  # N s/m, position mode
HAND = 1.0  # N along +x: the operator's steady push
PREFIX = "orvane/teleop"


# --- the follower: a remote tool with a wall in front of it ------------------------------

class Follower:
    def __init__(self, session: zenoh.Session, mode: str, stiffness: float,
                 damping: float) -> None:
        self.source = wire.new_source()
        self.sequence = 0
        self.wall: Optional[float] = None
        self.velocity: Tuple[float, ...] = (0.0, 0.0, 0.0)
        self.mode, self.stiffness, self.damping = mode, stiffness, damping
        self.topic = wire.SERVO_CP if mode == "position" else wire.SERVO_CF
        self.lock = threading.Lock()
        self.publisher = session.declare_publisher(
            f"{PREFIX}/{self.topic}", congestion_control=zenoh.CongestionControl.DROP,
            priority=zenoh.Priority.REAL_TIME, express=True)
        self.subscribers = [
            session.declare_subscriber(f"{PREFIX}/{wire.MEASURED_CV}", self.on_velocity),
            session.declare_subscriber(f"{PREFIX}/{wire.MEASURED_CP}", self.on_position)]

    def on_velocity(self, sample: zenoh.Sample) -> None:
        _, v = wire.unpack(wire.MEASURED_CV, sample.payload.to_bytes())
        with self.lock:
            self.velocity = v

    def on_position(self, sample: zenoh.Sample) -> None:
        header, p = wire.unpack(wire.MEASURED_CP, sample.payload.to_bytes())
        with self.lock:
            if self.wall is None:
                self.wall = p[0] + WALL_OFFSET
            depth = p[0] - self.wall
            self.sequence += 1
            stamp = wire.Header(self.source, self.sequence, time.time())
            if self.mode == "position":
                # The tool goes where the arm is, but not through the wall; stopped there,
                # it does not move along x.
                tool = (min(p[0], self.wall), p[1], p[2])
                vx = 0.0 if depth >= 0 else self.velocity[0]
                message = wire.pack(wire.SERVO_CP, stamp, header.sequence, *tool,
                                    self.stiffness, self.damping, vx, *self.velocity[1:])
            else:
                force = 0.0
                if depth > 0:
                    # A wall pushes, never pulls.
                    force = min(0.0, -WALL_STIFFNESS * depth - WALL_DAMPING * self.velocity[0])
                message = wire.pack(wire.SERVO_CF, stamp, header.sequence, force, 0.0, 0.0)
        self.publisher.put(message)


def follow(endpoint: str, args: argparse.Namespace) -> int:
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    with zenoh.open(loopback_config(connect=[endpoint])) as session:
        follower = Follower(session, args.mode, args.stiffness, args.damping)
        print("follower ready", flush=True)
        done.wait(args.seconds)
        for sub in follower.subscribers:
            sub.undeclare()
    return 0


# --- the leader: the bridge on the arm, and a hand pushing it ----------------------------

def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def real_time(pid: int) -> bool:
    """Gives every thread of `pid` real-time scheduling (below the servo loop's): a real arm
    answers whatever the computer is doing, and the simulator standing in for it must too,
    or on a busy machine it answers tens of milliseconds late and the arm it simulates
    holds each force that long. False where the system does not allow it."""
    if not hasattr(os, "sched_setscheduler"):
        return False
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            os.sched_setscheduler(int(task), os.SCHED_FIFO, os.sched_param(70))
    except OSError:
        return False
    return True


def start_sim(sim: str) -> Tuple[subprocess.Popen, str]:
    proc = subprocess.Popen([sim, "arm"], stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    port = proc.stdout.readline().strip()
    if not port:
        proc.kill()
        sys.exit(f"{sim} did not start")
    if not real_time(proc.pid):
        print("leader: the simulator runs without real-time scheduling: on a busy machine "
              "it answers late, and the verdict may fail")
    return proc, port


def lead(args: argparse.Namespace) -> int:
    endpoint = f"tcp/127.0.0.1:{args.zenoh_port or free_port()}"
    sim, port = start_sim(args.sim)
    follower: Optional[subprocess.Popen] = None
    try:
        with Bridge(port, prefix=PREFIX, zenoh_config=loopback_config(listen=[endpoint]),
                    delay_ms=args.delay_ms, passivity=args.passivity) as bridge:
            loop = bridge.loop
            while loop.state().sequence == 0:
                time.sleep(0.001)
            wall = loop.state().position[0] + WALL_OFFSET
            follower = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "--follower", endpoint,
                 "--seconds", str(args.seconds + 10), "--mode", args.mode,
                 "--stiffness", repr(args.stiffness), "--damping", repr(args.damping)],
                stdout=subprocess.PIPE, text=True)
            topic = wire.SERVO_CP if args.mode == "position" else wire.SERVO_CF
            deadline = time.monotonic() + 30.0  # a busy machine starts a Python slowly
            while bridge.stats()[topic]["applied"] == 0:
                if time.monotonic() > deadline or follower.poll() is not None:
                    print(f"leader: the follower never answered ({topic}: "
                          f"{bridge.stats()[topic]}, follower exit {follower.poll()})")
                    return 1
                time.sleep(0.01)
            loop.add(ConstantForce(force=(HAND, 0.0, 0.0)))
            # time, depth, the remote force: commanded, or the coupling's
            samples: List[Tuple[float, float, float]] = []
            start = time.monotonic()
            while (now := time.monotonic()) - start < args.seconds and loop.running:
                coupling = bridge.coupling
                remote = coupling.state().force[0] if coupling is not None else loop.force[0]
                samples.append((now - start, loop.state().position[0] - wall, remote))
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
    if args.mode == "position":
        c = stats["coupling"]
        print(f"leader: passivity {'on' if c['passivity'] else 'off'}: its damping acted in "
              f"{c['passivity_cycles']} cycles and took {c['dissipated_j'] * 1000:.2f} mJ")
    # Resting inside the wall, pushed back by it as hard as the hand pushes in and never let
    # go, and still: moving less than the depth the push holds it at (and under a
    # millimetre), so the hand feels a steady push back, not a buzz.
    felt = bool(last) and depth > 0 and all(f < 0 for f in forces) and \
        abs(force + HAND) < 0.2 * HAND
    rest_depth = HAND / (args.stiffness if args.mode == "position" else WALL_STIFFNESS)
    steady = swing < min(0.001, rest_depth)
    print("leader: the arm felt the remote wall" if felt and steady else
          "leader: the arm did not come to rest against the remote wall")
    return 0 if felt and steady else 1


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--mode", choices=("force", "position"), default="force",
                   help="the follower answers with a force (servo_cf) or with its tool's "
                   "position as a coupling target (servo_cp)")
    p.add_argument("--passivity", action="store_true",
                   help="position mode: passivity damping on the leader's coupling")
    p.add_argument("--stiffness", type=float, default=COUPLING_STIFFNESS,
                   help=f"position mode: the coupling's stiffness, N/m ({COUPLING_STIFFNESS:g})")
    p.add_argument("--damping", type=float, default=COUPLING_DAMPING,
                   help=f"position mode: the coupling's damping, N s/m ({COUPLING_DAMPING:g})")
    p.add_argument("--delay-ms", type=float, default=0.0, help="injected delay each way")
    p.add_argument("--seconds", type=float, default=4.0, help="how long the hand pushes")
    p.add_argument("--zenoh-port", type=int, help="TCP port on 127.0.0.1 (default: a free one)")
    p.add_argument("--sim", default=os.environ.get("ORVANE_SIM") or shutil.which("orvane-sim")
                   or "orvane-sim", help="the simulator to run (orvane-sim on PATH)")
    p.add_argument("--follower", metavar="ENDPOINT", help=argparse.SUPPRESS)
    args = p.parse_args()
    if not (args.stiffness > 0 and args.damping >= 0):
        p.error("the coupling's stiffness must be above 0 and its damping 0 or more")
    if args.follower:
        return follow(args.follower, args)
    return lead(args)


if __name__ == "__main__":
    sys.exit(main())
