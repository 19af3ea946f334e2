"""The touchable-scenes benchmark, at 1 kHz against orvane-sim: (a) a coupling whose target a
Python thread moves at 60 Hz, against the same target set without interpolation (a spring
whose center jumps at each update); (b) the MuJoCo demo scene and a scene of a few dozen
bodies stepped on the servo thread, each alone and beside the servo benchmark's GC-busy
Python thread, and the servo benchmark's floor way under that load for comparison.

Every way runs in its own interpreter against its own simulator. Writes
bench/results/scenes.json.

    python3 bench/scenes.py --build BUILD [--seconds 5] [--quick]
"""
import argparse
import datetime
import json
import math
import os
import platform
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import servo  # noqa: E402  (the servo benchmark's churn, simulator and floor)
import delayed  # noqa: E402  (the delayed coupling with passivity off and on)

RATE = 1000.0
TARGET_HZ = 60.0
TARGET_AMPLITUDE = 0.02  # m, of the target's sine
TARGET_FREQUENCY = 0.5  # Hz
STIFFNESS = 200.0  # N/m, of the coupling and of the stepped spring
DAMPING = 2.0
WARMUP_S = 0.5  # the soft start and the first updates are left out
LARGE_BODIES = 40
TARGET_STEP_RATIO = 0.1  # the coupling's largest force step against the stepped spring's
TARGET_STEP_P99_US = 200.0  # the demo scene's step time
TARGET_FLOOR_RATIO = 1.5  # the demo scene's loop p99.9 period error against the floor's


def largest_step(history, since):
    forces = history["force"]
    times = history["time"]
    largest = 0.0
    for i in range(1, len(times)):
        if float(times[i]) < since:
            continue
        step = math.dist(tuple(map(float, forces[i])), tuple(map(float, forces[i - 1])))
        largest = max(largest, step)
    return largest


def coupling_way(port, seconds, interpolate):
    """The target moved by a Python thread at 60 Hz: through a coupling, or a spring's center."""
    from orvane.haptics import Coupling, ServoLoop, Spring

    rows = int(RATE * seconds * 1.25) + 1000
    loop = ServoLoop(port, rate_hz=RATE, max_force=5.0, history=rows)
    loop.start()
    servo.wait_for_cycles(loop)
    home = loop.state().position

    def target(t):
        return (home[0] + TARGET_AMPLITUDE * math.sin(2 * math.pi * TARGET_FREQUENCY * t),
                home[1], home[2])

    def velocity(t):
        w = 2 * math.pi * TARGET_FREQUENCY
        return (TARGET_AMPLITUDE * w * math.cos(w * t), 0.0, 0.0)

    if interpolate:
        mover = loop.add(Coupling(target=home, stiffness=STIFFNESS, damping=DAMPING))
    else:
        mover = loop.add(Spring(center=home, stiffness=STIFFNESS, damping=DAMPING))
    start = time.monotonic_ns()
    next_update = start / 1e9
    try:
        while (now := time.monotonic_ns()) - start < seconds * 1e9 and loop.running:
            t = (now - start) / 1e9
            if interpolate:
                # Stamped with the time it is the target of: a thread that is preempted between
                # reading the clock and the call does not squeeze the next segment into a
                # fraction of its time (which the coupling's damping would feel as a kick).
                mover.update(target=target(t), velocity=velocity(t), stamp_ns=now)
            else:
                mover.update(center=target(t))
            next_update += 1.0 / TARGET_HZ
            time.sleep(max(0.0, next_update - time.monotonic()))
        history = loop.history()
        stats = loop.stats()
    finally:
        loop.stop()
    if loop.fault:
        raise RuntimeError(f"the servo loop failed: {loop.fault}")
    t0 = float(history["time"][0]) if len(history["time"]) else 0.0
    return {"force_step_max_n": largest_step(history, t0 + WARMUP_S),
            "cycles": stats["cycles"], "rate_hz": stats["rate_hz"],
            "period_error_us": stats["period_error_us"]}


def scene_way(port, seconds, bodies):
    """A MuJoCo scene on the servo thread, the arm pushed by a sine 'hand' along x."""
    from orvane import scenes
    from orvane.haptics import MujocoScene, ServoLoop

    xml = scenes.demo_xml() if bodies == 0 else scenes.large_xml(bodies)
    model, data = scenes.load(xml)
    rows = int(RATE * seconds * 1.25) + 1000
    loop = ServoLoop(port, rate_hz=RATE, max_force=5.0, history=rows)
    loop.start()
    servo.wait_for_cycles(loop)
    home = loop.state().position
    tool = data.body("tool").xpos
    loop.workspace(offset=tuple(float(tool[i]) - home[i] for i in range(3)))
    scene = loop.add(MujocoScene(model, data, body="tool", stiffness=STIFFNESS, damping=DAMPING))
    try:
        elapsed = servo.drive_hand(loop, seconds)
        history = loop.history()
        stats = loop.stats()
        scene_stats = scene.stats()
        snapshot = scene.snapshot()
    finally:
        loop.stop()
    if loop.fault:
        raise RuntimeError(f"the servo loop failed: {loop.fault}")
    t0 = float(history["time"][0]) if len(history["time"]) else 0.0
    kept = [float(e) for e, t in zip(history["period_error_us"], history["time"])
            if float(t) - t0 >= WARMUP_S]
    return {"cycles": stats["cycles"], "rate_hz": stats["rate_hz"], "hand_s": elapsed,
            "period_error_us": servo.percentiles(kept), "overruns": stats["overruns"],
            "step_us": scene_stats["step_us"], "scene_overruns": scene_stats["overruns"],
            "contacts_at_end": snapshot.contacts, "bodies": int(model.nbody) - 1,
            "scene_fault": scene_stats["fault"]}


def worker(args):
    churn = servo.Churn() if args.load else None
    if churn:
        churn.start()
    try:
        if args.worker == "coupling":
            result = coupling_way(args.port, args.seconds, True)
        elif args.worker == "stepped":
            result = coupling_way(args.port, args.seconds, False)
        elif args.worker == "floor":
            result = servo.floor_loop(args.floor, RATE, args.seconds)
        elif args.worker == "delayed":
            result = delayed.delayed_way(args.port, args.seconds, args.delay_ms, args.passivity)
        else:
            result = scene_way(args.port, args.seconds, args.bodies)
    finally:
        if churn:
            churn.stop.set()
            churn.join()
    print(json.dumps(result))
    return 0


def run_way(cfg, env, way, load, bodies=0, extra=()):
    sim = servo.Simulator(cfg.sim, *cfg.sim_args)
    try:
        argv = [sys.executable, os.path.abspath(__file__), "--worker", way, "--port", sim.port,
                "--seconds", str(cfg.seconds), "--bodies", str(bodies), "--floor", cfg.floor]
        argv += ["--load"] if load else []
        argv += list(extra)
        done = servo.subprocess.run(argv, env=env, capture_output=True, text=True,
                                    timeout=cfg.seconds * 30 + 120)
    finally:
        sim.stop()
    return servo.worker_output(done)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="build folder with the modules and tools/orvane-sim")
    parser.add_argument("--sim", help="the orvane-sim to run (default: BUILD/tools/orvane-sim)")
    parser.add_argument("--sim-args", default="")
    parser.add_argument("--seconds", type=float, default=5.0, help="seconds per way (5)")
    parser.add_argument("--quick", action="store_true", help="1.5 s per way, for a smoke run")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "scenes.json"))
    parser.add_argument("--floor", help="the floor program (default: "
                        "BUILD/bench/orvane-bench-floor)")
    parser.add_argument("--worker", choices=["coupling", "stepped", "scene", "floor", "delayed"],
                        help=argparse.SUPPRESS)
    parser.add_argument("--delayed-only", action="store_true",
                        help="only the delayed coupling, passivity off and on")
    parser.add_argument("--delay-ms", type=float, default=0.0, help=argparse.SUPPRESS)
    parser.add_argument("--passivity", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--port", help=argparse.SUPPRESS)
    parser.add_argument("--load", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--bodies", type=int, default=0, help=argparse.SUPPRESS)
    cfg = parser.parse_args()
    if cfg.worker:
        return worker(cfg)
    env = servo.prepare(parser, cfg, 1.5)

    started = time.monotonic()
    plan = [("coupling", False, 0, "coupling, 60 Hz target"),
            ("stepped", False, 0, "stepped spring, 60 Hz target"),
            ("scene", False, 0, "demo scene"),
            ("scene", True, 0, "demo scene + GC-busy thread"),
            ("scene", False, LARGE_BODIES, f"{LARGE_BODIES}-body scene"),
            ("scene", True, LARGE_BODIES, f"{LARGE_BODIES}-body scene + GC-busy thread"),
            ("floor", True, 0, "floor + GC-busy thread")]
    runs = []
    for way, load, bodies, label in [] if cfg.delayed_only else plan:
        print(f"  {label} for {cfg.seconds:g} s ...", file=sys.stderr, flush=True)
        runs.append((label, run_way(cfg, env, way, load, bodies)))
    delayed_runs = []
    for extra, label in delayed.plan():
        print(f"  {label} for {cfg.seconds:g} s ...", file=sys.stderr, flush=True)
        delayed_runs.append((label, run_way(cfg, env, "delayed", False, extra=extra)))
    delayed_rows, delayed_figures, delayed_checks = delayed.summary(dict(delayed_runs))
    by = dict(runs)

    def get(label, *keys):
        value = by.get(label)
        for key in keys:
            if not isinstance(value, dict) or key not in value:
                return None
            value = value[key]
        return value

    coupling_step = get("coupling, 60 Hz target", "force_step_max_n")
    stepped_step = get("stepped spring, 60 Hz target", "force_step_max_n")
    demo_p99 = get("demo scene", "step_us", "p99")
    demo_loaded = get("demo scene + GC-busy thread", "period_error_us", "p999")
    floor_loaded = get("floor + GC-busy thread", "period_error_us", "p999")
    ratio = coupling_step / stepped_step if coupling_step is not None and stepped_step else None
    floor_ratio = demo_loaded / floor_loaded if demo_loaded is not None and floor_loaded else None
    figures = {
        "coupling_force_step_max_n": coupling_step,
        "stepped_force_step_max_n": stepped_step,
        "coupling_step_ratio": ratio,
        "mujoco_step_us_p99": demo_p99,
        "mujoco_large_step_us_p99": get(f"{LARGE_BODIES}-body scene", "step_us", "p99"),
        "mujoco_p999_period_error_us": get("demo scene", "period_error_us", "p999"),
        "mujoco_p999_period_error_us_loaded": demo_loaded,
        "mujoco_large_p999_period_error_us_loaded":
            get(f"{LARGE_BODIES}-body scene + GC-busy thread", "period_error_us", "p999"),
        "floor_p999_period_error_us_loaded": floor_loaded,
        "mujoco_floor_ratio_loaded": floor_ratio,
        **delayed_figures,
    }
    checks = [
        {"target": f"coupling's force step <= {TARGET_STEP_RATIO:g} x the stepped target's",
         "value": ratio,
         "verdict": servo.verdict(ratio, ratio is not None and ratio <= TARGET_STEP_RATIO)},
        {"target": f"demo scene steps in <= {TARGET_STEP_P99_US:g} us at p99",
         "value": demo_p99,
         "verdict": servo.verdict(demo_p99,
                                  demo_p99 is not None and demo_p99 <= TARGET_STEP_P99_US)},
        {"target": f"demo scene's loop p99.9 under load <= {TARGET_FLOOR_RATIO:g} x the floor's",
         "value": floor_ratio,
         "verdict": servo.verdict(floor_ratio,
                            floor_ratio is not None and floor_ratio <= TARGET_FLOOR_RATIO)},
    ]
    checks += [{"target": c["target"], "value": c["value"],
                "verdict": servo.verdict(c["value"], c["ok"])} for c in delayed_checks]

    head = ["way", "p99.9 period error us", "step p99 us", "largest force step N", "rate Hz"]
    rows = []
    for label, r in runs:
        if "error" in r:
            rows.append([label, "error: " + r["error"], "", "", ""])
            continue
        rows.append([label, servo.fmt(r.get("period_error_us", {}).get("p999")),
                     servo.fmt(r.get("step_us", {}).get("p99")),
                     servo.fmt(r.get("force_step_max_n"), 3), servo.fmt(r.get("rate_hz"), 0)])
    widths = [max(len(str(row[i])) for row in [head] + rows) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    print("\n".join([line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
                    + [line(row) for row in rows]))
    print("\nDelayed coupling (arm's peak-to-peak motion, force sign changes beyond "
          f"{delayed.DEADBAND_N:g} N):")
    print(delayed.table(delayed_rows))
    print("\nTargets:")
    for c in checks:
        value = "-" if c["value"] is None else f"{c['value']:.3g}"
        print(f"  {c['verdict']:4}  {c['target']}: {value}")

    os.makedirs(os.path.dirname(cfg.output), exist_ok=True)
    with open(cfg.output, "w") as f:
        json.dump({"when": datetime.datetime.now(datetime.timezone.utc).isoformat(),
                   "machine": platform.platform(), "cpus": os.cpu_count(),
                   "seconds_per_way": cfg.seconds, "rate_hz": RATE,
                   "runs": {label: r for label, r in runs + delayed_runs}, **figures, "targets": checks,
                   "total_s": time.monotonic() - started}, f, indent=2)
    print(f"\nwrote {cfg.output}")
    return 1 if any(c["verdict"] == "MISS" for c in checks) else 0


if __name__ == "__main__":
    sys.exit(main())
