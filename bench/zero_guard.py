"""Time from SIGKILL of a pushing program to zero force on the wire.

The script plays the arm on a pseudo-terminal itself (wake-up and force replies), so the
moment a request arrives is read on the same clock as the moment of the kill. Each run
starts a Python program whose servo loop pushes 1 N at 500 Hz, kills it with SIGKILL after
`--push` seconds, and waits for the zero-force request that its zero guard process sends.
With `--burners N`, N CPU-bound processes run beside it. Where the system allows it the
script plays the arm at real-time priority (a real arm is not scheduled by the host), so the
figure is the host's: the kernel ending the program and the guard process writing.
Writes bench/results/zero_guard.json.

    python3 bench/zero_guard.py [--runs 20] [--burners 2]
"""
import argparse
import json
import os
import pty
import select
import signal
import statistics
import struct
import subprocess
import sys
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
INFO = bytes([0x0B]) + struct.pack("<HBBB", 7, 4, 2, 3) + bytes(range(16))
STATE = bytes([0x2B]) + struct.pack("<6f", 0, 0, 0, 0, 0, 0)
ZERO = bytes([0x2A]) + bytes(12)
PUSHER = """
import sys, time
from orvane.haptics import ServoLoop
loop = ServoLoop(sys.argv[1], rate_hz=500)
loop.force = (0.0, 1.0, 0.0)
loop.start()
print("pushing", flush=True)
while True:
    loop.force = (0.0, 1.0, 0.0)
    time.sleep(0.01)
"""


def one_run(push_s):
    master, slave = pty.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    proc = subprocess.Popen([sys.executable, "-c", PUSHER, path], stdout=subprocess.PIPE,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    pending, killed_at, zero_at, pushes, last = b"", None, None, 0, None
    deadline = time.monotonic() + 30  # start-up on a busy machine, then 5 s after the kill
    try:
        while zero_at is None and time.monotonic() < deadline:
            if killed_at is None and last == ZERO and pushes > 1:
                return None  # the loop ended by itself (this arm answered too late)
            if killed_at is None and pushes > 0 and time.monotonic() > started + push_s:
                killed_at = time.monotonic()
                deadline = killed_at + 5
                proc.kill()
            if not select.select([master], [], [], 0.001)[0]:
                continue
            now = time.monotonic()
            pending += os.read(master, 4096)
            while pending:
                if pending[0] == 0x0A:
                    pending, reply = pending[1:], INFO
                elif pending[0] == 0x2A and len(pending) >= 13:
                    request, pending, reply = pending[:13], pending[13:], STATE
                    last = request
                    if request == ZERO and killed_at is not None:
                        zero_at = now
                        break
                    if pushes == 0:
                        started = now
                    pushes += 1
                elif pending[0] == 0x2A:
                    break
                else:
                    pending, reply = pending[1:], b""
                os.write(master, reply)
    finally:
        proc.kill()
        proc.wait()
        os.close(master)
        os.close(slave)
    if zero_at is None:
        raise SystemExit(f"no zero-force request after the kill (killed: {killed_at is not None}, "
                         f"{pushes} requests, left over {pending.hex(' ')})")
    return (zero_at - killed_at) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--push", type=float, default=0.3, help="seconds of pushing per run")
    parser.add_argument("--burners", type=int, default=0, help="CPU-bound processes beside")
    args = parser.parse_args()
    try:  # children (the programs, the burners) start at normal priority
        os.sched_setscheduler(0, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(50))
        realtime = True
    except (AttributeError, PermissionError, OSError):
        realtime = False
    burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
               for _ in range(args.burners)]
    ms, ended = [], 0
    try:
        while len(ms) < args.runs and ended < args.runs:
            took = one_run(args.push)
            if took is None:
                ended += 1
            else:
                ms.append(took)
    finally:
        for b in burners:
            b.send_signal(signal.SIGKILL)
            b.wait()
    result = {"runs": len(ms), "ended_by_fault": ended, "burners": args.burners,
              "arm_realtime": realtime, "p50_ms": statistics.median(ms),
              "max_ms": max(ms), "min_ms": min(ms)}
    print(json.dumps(result))
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "zero_guard.json"), "w") as out:
        json.dump(result, out, indent=1)


if __name__ == "__main__":
    main()
