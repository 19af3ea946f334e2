"""The servo-loop benchmark: the demo's virtual wall at a fixed rate against orvane-sim, four
ways in one run (the native servo loop and a Python loop around end_effector_force, each
alone and beside a Python thread that keeps the allocator and the garbage collector busy),
the floor under the same load (a native thread at the loop's priority on the same grid and
pacer, no I/O: bench/floor.cpp), then the highest rate the servo loop sustains.

Every way runs in its own interpreter against its own simulator, so one run's garbage and
threads never reach the next. Writes bench/results/servo.json.

    python3 bench/servo.py --build BUILD [--seconds 5] [--rate 1000] [--quick]
"""
import argparse
import datetime
import gc
import json
import math
import os
import platform
import select
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

STIFFNESS = 400.0  # N/m, as the demo's wall
WALL_OFFSET = 0.005  # m in front of the start position
PUSH, PUSH_HZ = 1.0, 0.5  # the sine push that stands in for the hand
PUSH_UPDATE_S = 0.005  # how often Python sets the hand's force on the servo loop
WARMUP_S = 0.2  # cycles this early are left out of the figures
# The servo loop sustains a rate when it reaches this share of it with few overruns.
SUSTAIN_SHARE, SUSTAIN_OVERRUNS = 0.99, 0.01
MAX_RATE_LADDER = (1000, 2000, 5000, 10000, 15000, 20000, 30000, 50000, 75000, 100000)
TARGET_SERVO_P999_US = 100.0
TARGET_RATIO = 10.0
TARGET_MAX_RATE_HZ = 10000.0
TARGET_FLOOR_RATIO = 1.5  # the servo loop's p99.9 under load against the floor's
TARGET_CPU_SHARE = 0.10  # of one core, at 1 kHz
SPIN_US = None  # None: the loop's default; --spin-us sets it for the servo and floor ways


# --- the worker: one way of rendering the wall, run in a fresh interpreter ---------------

class Churn(threading.Thread):
    """A Python thread that allocates without pause: containers, strings and reference
    cycles, so the garbage collector runs all the time and the interpreter lock is
    always wanted."""

    def __init__(self):
        super().__init__(daemon=True)
        self.stop = threading.Event()
        self.cpu_s = 0.0
        self.collections = 0

    def run(self):
        began = time.thread_time()
        before = sum(s["collections"] for s in gc.get_stats())
        keep = []
        while not self.stop.is_set():
            batch = [{"i": i, "s": str(i) * 3, "l": [i, i + 1, (i, i)]} for i in range(500)]
            for item in batch[::10]:
                item["self"] = item  # a cycle only the collector frees
            keep.append(batch)
            if len(keep) > 20:
                keep.pop(0)
        self.collections = sum(s["collections"] for s in gc.get_stats()) - before
        self.cpu_s = time.thread_time() - began


def percentiles(values):
    # The package's own definition, so a benchmark and the loop's figures agree.
    from orvane.stats import percentiles as of
    return of(values)


def wall_force(x, wall):
    return -STIFFNESS * (x - wall) if x > wall else 0.0


def hand_force(t):
    return PUSH * math.sin(2 * math.pi * PUSH_HZ * t)


def python_loop(port, rate, seconds):
    """The wall in Python: one end_effector_force per cycle, paced by absolute deadlines."""
    import OrvaneHardwareAPI as api

    stream = api.SerialStream(port)
    arm = api.Varnix3(stream)
    if arm.device_wakeup_dict()["device_model_number"] == 0:
        raise RuntimeError("the arm did not answer")
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    wall = position[0] + WALL_OFFSET
    period_ns = int(1e9 / rate)
    errors, times = [], []
    overruns = 0
    start = deadline = time.monotonic_ns()
    end = start + int(seconds * 1e9)
    while True:
        now = time.monotonic_ns()
        if now >= end:
            break
        errors.append((now - deadline) / 1000.0)
        times.append((now - start) / 1e9)
        t = (now - start) / 1e9
        position, velocity = arm.end_effector_force(
            [wall_force(position[0], wall) + hand_force(t), 0.0, 0.0])
        if position == [0.0, 0.0, 0.0] and velocity == [0.0, 0.0, 0.0]:
            raise RuntimeError("the arm stopped answering")
        deadline += period_ns
        left = deadline - time.monotonic_ns()
        if left > 0:
            time.sleep(left / 1e9)
        elif -left >= period_ns:
            # A missed cycle is skipped, not made up for in a burst.
            overruns += 1
            deadline += period_ns * (-left // period_ns)
    elapsed = (time.monotonic_ns() - start) / 1e9
    kept = [e for e, t in zip(errors, times) if t >= WARMUP_S]
    return {"cycles": len(errors), "rate_hz": len(errors) / elapsed,
            "period_error_us": percentiles(kept), "overruns": overruns}


def wait_for_cycles(loop):
    """Returns once the started loop has run a cycle; stops it and raises when it cannot."""
    deadline = time.monotonic() + 2.0
    while loop.state().sequence == 0:
        if not loop.running or time.monotonic() > deadline:
            loop.stop()
            raise RuntimeError(f"the servo loop ran no cycle: {loop.fault}")
        time.sleep(0.001)


def open_servo_loop(port, rate, seconds, history=True):
    from orvane.haptics import ServoLoop, Wall

    rows = int(rate * seconds * 1.25) + 1000 if history else 0
    extra = {} if SPIN_US is None else {"spin_us": SPIN_US}
    loop = ServoLoop(port, rate_hz=rate, max_force=5.0, history=rows, **extra)
    loop.start()
    wait_for_cycles(loop)
    wall = loop.state().position[0] + WALL_OFFSET
    loop.add(Wall(point=(wall, 0.0, 0.0), normal=(-1.0, 0.0, 0.0), stiffness=STIFFNESS))
    return loop


def drive_hand(loop, seconds):
    """Python's share of a servo-loop program: the hand's force, every few milliseconds."""
    start = time.monotonic()
    while (now := time.monotonic()) - start < seconds and loop.running:
        loop.force = (hand_force(now - start), 0.0, 0.0)
        time.sleep(PUSH_UPDATE_S)
    return time.monotonic() - start


def servo_loop(port, rate, seconds):
    loop = open_servo_loop(port, rate, seconds)
    try:
        first = loop.stats()["cycles"]
        elapsed = drive_hand(loop, seconds)
        stats = loop.stats()
        history = loop.history()
    finally:
        loop.stop()
    if loop.fault:
        raise RuntimeError(f"the servo loop failed: {loop.fault}")
    t0 = float(history["time"][0]) if len(history["time"]) else 0.0
    kept = [float(e) for e, t in zip(history["period_error_us"], history["time"])
            if float(t) - t0 >= WARMUP_S]
    cycles = stats["cycles"] - first
    return {"cycles": cycles, "rate_hz": cycles / elapsed,
            "period_error_us": percentiles(kept), "overruns": stats["overruns"],
            "exchange_us": stats["exchange_us"], "realtime": loop.realtime,
            "cpu_share": stats["cpu_share"]}


def floor_loop(binary, rate, seconds):
    """The pacer alone on its own native thread, in a program of its own."""
    spin = SPIN_US if SPIN_US is not None else default_spin_us()
    done = subprocess.run([binary, str(rate), str(seconds), str(spin), str(WARMUP_S)],
                          capture_output=True, text=True, timeout=seconds * 10 + 30)
    if done.returncode != 0:
        raise RuntimeError(f"{binary} failed: {done.stderr.strip()}")
    result = json.loads(done.stdout)
    result["rate_hz"] = rate
    return result


def default_spin_us():
    """The servo loop's own default, as its signature shows it."""
    from orvane import _haptics

    doc = _haptics.ServoLoop.__init__.__doc__ or ""
    marker = "spin_us: float = "
    return float(doc.split(marker, 1)[1].split(")")[0].split(",")[0]) if marker in doc else 50.0


def max_rate(port, seconds):
    """The free-running rate, then each rate of the ladder up to it: the highest one the
    loop keeps (its share reached, few overruns)."""
    from orvane.haptics import ServoLoop

    loop = ServoLoop(port, rate_hz=0)
    with loop:
        time.sleep(seconds)
        free = loop.stats()
    if loop.fault:
        raise RuntimeError(f"the servo loop failed: {loop.fault}")
    del loop  # its port is opened again below
    tried, best = [], 0.0
    for rate in MAX_RATE_LADDER:
        if rate > free["rate_hz"] * 1.05:
            break
        loop = open_servo_loop(port, rate, seconds, history=False)
        try:
            before = loop.stats()
            elapsed = drive_hand(loop, seconds)
            after = loop.stats()
        finally:
            loop.stop()
        cycles = after["cycles"] - before["cycles"]
        overruns = after["overruns"] - before["overruns"]
        achieved = cycles / elapsed
        kept = (achieved >= SUSTAIN_SHARE * rate and not loop.fault
                and overruns <= SUSTAIN_OVERRUNS * max(cycles, 1))
        del loop
        tried.append({"rate_hz": rate, "achieved_hz": achieved, "overruns": overruns,
                      "period_error_us": after["period_error_us"], "sustained": kept})
        if not kept:
            break
        best = rate
    return {"free_running_hz": free["rate_hz"], "free_exchange_us": free["exchange_us"],
            "ladder": tried, "max_sustained_hz": best}


def worker(args):
    churn = Churn() if args.load else None
    if churn:
        churn.start()
    cpu0, wall0 = time.process_time(), time.monotonic()
    try:
        if args.way == "python":
            result = python_loop(args.port, args.rate, args.seconds)
        elif args.way == "servo":
            result = servo_loop(args.port, args.rate, args.seconds)
        elif args.way == "floor":
            result = floor_loop(args.floor, args.rate, args.seconds)
        else:
            result = max_rate(args.port, args.seconds)
    finally:
        if churn:
            churn.stop.set()
            churn.join()
    cpu = time.process_time() - cpu0
    if "cycles" in result and args.way != "floor":
        # The loop's CPU: the whole process's but for the churning thread.
        loop_cpu = cpu - (churn.cpu_s if churn else 0.0)
        result["cpu_us_per_cycle"] = 1e6 * loop_cpu / max(result["cycles"], 1)
    result["seconds"] = time.monotonic() - wall0
    if churn:
        result["churn_gc_collections"] = churn.collections
    print(json.dumps(result))
    return 0


# --- the driver ---------------------------------------------------------------------------

class Simulator:
    def __init__(self, binary, *args):
        self.proc = subprocess.Popen([binary, "arm", *args], stdout=subprocess.PIPE, text=True)
        ready = select.select([self.proc.stdout], [], [], 5.0)[0]
        self.port = self.proc.stdout.readline().strip() if ready else ""
        if not self.port:
            self.stop()
            sys.exit(f"{binary} did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def run_way(cfg, env, way, load, seconds, rate):
    sim = Simulator(cfg.sim, *cfg.sim_args)
    try:
        argv = [sys.executable, os.path.abspath(__file__), "--worker", way, "--port", sim.port,
                "--rate", str(rate), "--seconds", str(seconds), "--floor", cfg.floor]
        argv += (["--load"] if load else []) + (
            ["--spin-us", str(cfg.spin_us)] if cfg.spin_us is not None else [])
        done = subprocess.run(argv, env=env, capture_output=True, text=True,
                              timeout=seconds * 30 + 60)
    finally:
        sim.stop()
    return worker_output(done)


def verdict(value, passed):
    return "n/a" if value is None else ("met" if passed else "MISS")


def worker_output(done):
    """The JSON a worker interpreter printed last, or its error."""
    if done.returncode != 0 or not done.stdout.strip():
        return {"error": (done.stderr.strip().splitlines() or ["no output"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def prepare(parser, cfg, quick_seconds):
    """Resolves the simulator, its arguments and the floor program from --build; returns
    the environment the worker interpreters run in."""
    if not cfg.build and not cfg.sim:
        parser.error("--build or --sim is required")
    if cfg.quick:
        cfg.seconds = quick_seconds
    cfg.sim = os.path.abspath(cfg.sim or os.path.join(cfg.build, "tools", "orvane-sim"))
    cfg.sim_args = cfg.sim_args.split()
    cfg.floor = os.path.abspath(cfg.floor or os.path.join(cfg.build or ".", "bench",
                                                          "orvane-bench-floor"))
    paths = [os.path.abspath(cfg.build)] if cfg.build else []
    return dict(os.environ, PYTHONHASHSEED="0",
                PYTHONPATH=os.pathsep.join(paths + [p for p in [os.environ.get("PYTHONPATH")]
                                                    if p]))


def fmt(value, digits=1):
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def table(runs):
    head = ["way", "p99.9 period error us", "max period error us", "rate Hz", "cpu us/cycle"]
    rows = []
    for label, r in runs:
        if "error" in r:
            rows.append([label, "error: " + r["error"], "", "", ""])
            continue
        pe = r["period_error_us"]
        rows.append([label, fmt(pe["p999"]), fmt(pe["max"]), fmt(r["rate_hz"], 0),
                     fmt(r.get("cpu_us_per_cycle"))])
    widths = [max(len(str(row[i])) for row in [head] + rows) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    return "\n".join([line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
                     + [line(row) for row in rows])


def p999(run):
    return None if "error" in run else run["period_error_us"]["p999"]


def verdicts(servo_loaded, python_loaded, max_rate_hz, floor_loaded=None, cpu_share=None):
    checks = []

    def check(target, value, passed):
        checks.append({"target": target, "value": value,
                       "verdict": verdict(value, passed)})

    check(f"servo loop p99.9 period error under load <= {TARGET_SERVO_P999_US:g} us",
          servo_loaded, servo_loaded is not None and servo_loaded <= TARGET_SERVO_P999_US)
    ratio = (python_loaded / servo_loaded if servo_loaded and python_loaded is not None
             else None)
    check(f"Python loop's p99.9 under load >= {TARGET_RATIO:g} x the servo loop's", ratio,
          ratio is not None and ratio >= TARGET_RATIO)
    check(f"servo loop sustains >= {TARGET_MAX_RATE_HZ:,.0f} Hz", max_rate_hz,
          max_rate_hz is not None and max_rate_hz >= TARGET_MAX_RATE_HZ)
    floor_ratio = (servo_loaded / floor_loaded if floor_loaded and servo_loaded is not None
                   else None)
    check(f"servo loop's p99.9 under load <= {TARGET_FLOOR_RATIO:g} x the floor's", floor_ratio,
          floor_ratio is not None and floor_ratio <= TARGET_FLOOR_RATIO)
    check(f"servo loop's CPU at 1 kHz <= {TARGET_CPU_SHARE:.0%} of a core", cpu_share,
          cpu_share is not None and cpu_share <= TARGET_CPU_SHARE)
    return checks


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="build folder with the modules and tools/orvane-sim")
    parser.add_argument("--sim", help="the orvane-sim to run (default: BUILD/tools/orvane-sim)")
    parser.add_argument("--sim-args", default="",
                        help="more orvane-sim options, e.g. '--usb-latency'")
    parser.add_argument("--seconds", type=float, default=5.0, help="seconds per way (5)")
    parser.add_argument("--rate", type=float, default=1000.0, help="loop rate, Hz (1000)")
    parser.add_argument("--quick", action="store_true", help="1 s per way, for a smoke run")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "servo.json"))
    parser.add_argument("--worker", choices=["servo", "python", "floor", "max-rate"],
                        help=argparse.SUPPRESS)
    parser.add_argument("--port", help=argparse.SUPPRESS)
    parser.add_argument("--load", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--floor", help="the floor program (default: "
                        "BUILD/bench/orvane-bench-floor)")
    parser.add_argument("--spin-us", type=float, default=None,
                        help="the loop's busy-wait before each deadline (default: the loop's)")
    cfg = parser.parse_args()
    global SPIN_US
    SPIN_US = cfg.spin_us
    if cfg.worker:
        cfg.way = cfg.worker
        return worker(cfg)
    env = prepare(parser, cfg, 1.0)

    started = time.monotonic()
    runs = []
    for way, load, label in [("servo", False, "servo loop"),
                             ("servo", True, "servo loop + GC-busy thread"),
                             ("python", False, "Python loop"),
                             ("python", True, "Python loop + GC-busy thread"),
                             ("floor", True, "floor + GC-busy thread")]:
        print(f"  {label} at {cfg.rate:g} Hz for {cfg.seconds:g} s ...", file=sys.stderr,
              flush=True)
        runs.append((label, run_way(cfg, env, way, load, cfg.seconds, cfg.rate)))
    print("  servo loop: highest sustained rate ...", file=sys.stderr, flush=True)
    top = run_way(cfg, env, "max-rate", False, min(cfg.seconds, 2.0), 0)
    max_rate_hz = top.get("max_sustained_hz")

    servo_loaded, python_loaded = p999(runs[1][1]), p999(runs[3][1])
    floor_loaded = p999(runs[4][1])
    cpu_share = runs[0][1].get("cpu_share") if cfg.rate == 1000.0 else None
    checks = verdicts(servo_loaded, python_loaded, max_rate_hz, floor_loaded, cpu_share)
    print(table(runs))
    if "error" in top:
        print(f"\nHighest sustained servo rate: error: {top['error']}")
    else:
        print(f"\nServo loop free-running (rate_hz=0): {top['free_running_hz']:,.0f} Hz; "
              f"highest sustained rate: {max_rate_hz:,.0f} Hz")
    print("\nTargets:\n" + "\n".join(
        f"  {c['verdict']:<5} {c['target']}"
        + (f" ({fmt(c['value'])})" if c["value"] is not None else "") for c in checks))

    result = {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": {"kernel": platform.release(), "cpus": os.cpu_count(),
                    "python": platform.python_version(), "load_average": os.getloadavg()},
        "config": {"rate_hz": cfg.rate, "seconds_per_way": cfg.seconds,
                   "sim_args": cfg.sim_args, "warmup_s": WARMUP_S},
        "runs": {label: r for label, r in runs}, "max_rate": top,
        "servo_p999_period_error_us": p999(runs[0][1]),
        "servo_p999_period_error_us_loaded": servo_loaded,
        "python_p999_period_error_us": p999(runs[2][1]),
        "python_p999_period_error_us_loaded": python_loaded,
        "servo_max_rate_hz": max_rate_hz,
        "floor_p999_period_error_us_loaded": floor_loaded,
        "servo_cpu_share_1khz": cpu_share,
        "targets": checks, "seconds": round(time.monotonic() - started, 1)}
    os.makedirs(os.path.dirname(cfg.output), exist_ok=True)
    with open(cfg.output, "w") as f:
        json.dump(result, f, indent=2)
        f.write("\n")
    print(f"\nwrote {os.path.relpath(cfg.output)} in {result['seconds']} s")
    failed = any("error" in r for _, r in runs) or "error" in top
    # A missed target is a figure to report, not a failed run.
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
