"""The recording's throughput: a servo loop recorded at a fixed rate against orvane-sim,
beside the servo benchmark's Python thread that keeps the allocator and the garbage
collector busy; counts the cycles that never reached the file.

    python3 bench/record.py --build BUILD [--seconds 60] [--rate 1000] [--no-load]

Prints one JSON object; `measure(port, ...)` gives the same to another benchmark.
"""
import argparse
import json
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from servo import Churn, Simulator, drive_hand, open_servo_loop  # noqa: E402


def measure(port, rate=1000.0, seconds=60.0, load=True, path=None):
    """Records `seconds` of the servo benchmark's wall at `rate` on `port` and reads the
    file back: record_cycles_lost_loaded (cycles the loop ran that the file lacks)."""
    from orvane import recording

    churn = Churn() if load else None
    with tempfile.TemporaryDirectory() as scratch:
        target = path or os.path.join(scratch, "bench.mcap")
        loop = open_servo_loop(port, rate, seconds, history=False)
        try:
            recorder = loop.record(target)
            if churn:
                churn.start()
            began = time.monotonic()
            drive_hand(loop, seconds)
            elapsed = time.monotonic() - began
        finally:
            loop.stop()
            if churn:
                churn.stop.set()
                churn.join()
        if loop.fault:
            raise RuntimeError(f"the servo loop failed: {loop.fault}")
        ran = loop.state().sequence - recorder.started_after
        rec = recording.load(target)
        size = os.path.getsize(target)
    return {"record_cycles_lost_loaded" if load else "record_cycles_lost": ran - len(rec),
            "recorder_lost": recorder.lost, "cycles": ran, "recorded": len(rec),
            "seconds": elapsed, "file_mb": size / 1e6,
            "gc_collections": churn.collections if churn else 0}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="build folder with the modules and tools/orvane-sim")
    parser.add_argument("--sim", help="the orvane-sim to run (default: BUILD/tools/orvane-sim)")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--no-load", action="store_true", help="without the busy thread")
    args = parser.parse_args()
    if args.build:
        sys.path.insert(0, os.path.abspath(args.build))
    sim = args.sim or (os.path.join(args.build, "tools", "orvane-sim") if args.build
                       else "orvane-sim")
    simulator = Simulator(sim)
    try:
        print(json.dumps(measure(simulator.port, args.rate, args.seconds, not args.no_load)))
    finally:
        simulator.stop()


if __name__ == "__main__":
    main()
