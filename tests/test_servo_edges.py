"""The servo loop at its edges: lines that chatter or trickle, settings it must refuse, calls
after the end, a forked child and the host program's memory lock."""
import os
import select
import subprocess
import sys
import textwrap
import time

import pytest

from sim_process import sim_binary, start_sim  # noqa: F401
from test_haptics import INFO, ZERO_FORCE, ScriptedArm, arm, wait_until  # noqa: F401

haptics = pytest.importorskip("orvane.haptics")
from orvane.haptics import ConstantForce, LoopFault, ServoLoop  # noqa: E402

STATE = bytes([0x2B]) + bytes(24)


class TricklingArm(ScriptedArm):
    """Answers `good` force requests whole, then sends each reply a byte every 10 ms."""

    def __init__(self, port, good):
        self.good, self.replied, self.last_whole = good, 0, 0.0
        super().__init__(port)

    def run(self):
        pending = b""
        while not self.done.is_set():
            if not select.select([self.port.master], [], [], 0.02)[0]:
                continue
            pending += os.read(self.port.master, 4096)
            while pending:
                if pending[0] == 0x0A:
                    pending, reply = pending[1:], INFO
                elif pending[0] == 0x2A and len(pending) >= 13:
                    self.requests.append(pending[:13])
                    pending, reply = pending[13:], STATE
                else:
                    break
                if self.replied < self.good or reply is INFO:
                    os.write(self.port.master, reply)
                    self.last_whole = time.monotonic()
                else:
                    for b in reply:
                        os.write(self.port.master, bytes([b]))
                        time.sleep(0.01)
                self.replied += reply is STATE


def test_trickled_reply_ends_the_loop_by_the_reply_time_out(port):
    arm = TricklingArm(port, good=20)
    try:
        loop = ServoLoop(port.path, rate_hz=500, reply_timeout_s=0.1, watchdog_s=0.2,
                         realtime=False)
        loop.start()
        wait_until(lambda: loop.closed, 2.0)
        stall = time.monotonic() - arm.last_whole
        assert stall < 0.1 + 0.002 + 0.05
        assert "of the 25 bytes of a state reply within 100 ms" in loop.fault
        assert 95e3 < loop.stats()["exchange_us"]["max"] < 130e3  # the failed one counts
        assert not loop.running
        time.sleep(0.1)
        assert arm.requests[-1] == ZERO_FORCE
    finally:
        arm.stop()


def test_chattering_line_ends_the_loop_naming_the_byte(start_sim, tmp_path):
    trace = tmp_path / "trace.txt"
    sim = start_sim("arm", "--chatter", "--trace", str(trace))
    begun = time.monotonic()
    loop = None
    try:
        # Noise between the state request of ServoLoop() and its reply refuses the loop
        # there; otherwise the loop ends on the first reply the noise spoils.
        loop = ServoLoop(sim.path, rate_hz=1000, reply_timeout_s=0.25, watchdog_s=0.3)
        loop.force = (0.5, 0.0, 1.0)
        loop.start()
        while loop.running and time.monotonic() - begun < 3.0:
            loop.force = (0.5, 0.0, 1.0)
            time.sleep(0.005)
        fault = loop.fault
    except LoopFault as error:  # at the start, or between the look and the set
        fault = str(error)
    # The wake-up, one reply time-out and a period, with room for a busy machine; the old
    # framing held the force for seconds here.
    assert time.monotonic() - begun < 2.5
    assert "header 0x" in fault and "where a state reply (0x2B) belongs" in fault
    if loop is not None:
        wait_until(lambda: loop.closed, 1.0)
        with pytest.raises(LoopFault, match="header 0x"):
            loop.force = (0.5, 0.0, 1.0)
    sim.stop()
    assert trace.read_text().splitlines()[-1].split()[1:] == ["2A", "0", "0", "0"]


def test_a_new_loop_opens_the_port_of_a_failed_one(port, arm):
    loop = ServoLoop(port.path, rate_hz=500, realtime=False)
    loop.start()
    arm.wait_for(5)
    arm.answering = False
    wait_until(lambda: loop.closed, 2.0)
    time.sleep(0.1)  # the last zero goes unanswered, as a silent arm's would
    arm.answering = True
    again = ServoLoop(port.path, realtime=False)
    assert again.device_info["device_id"] == 7 and loop.fault
    again.stop()


@pytest.mark.parametrize("settings, match", [
    ({"rate_hz": 0.5}, "watchdog"),
    ({"rate_hz": 1e-10, "watchdog_s": None}, "rate_hz"),
    ({"rate_hz": 1e7}, "rate_hz"),
    ({"history": 10**7}, "history"),
    ({"history": 2**64 - 1}, "history"),
    ({"max_force": 1e39}, "max_force"),
    ({"spin_us": float("nan")}, "spin_us"),
])
def test_settings_that_cannot_run_are_refused(port, settings, match):
    with pytest.raises(ValueError, match=match):
        ServoLoop(port.path, **settings)


def test_changes_after_stop_raise(port, arm):
    loop = ServoLoop(port.path, realtime=False)
    handle = loop.add(ConstantForce((0.0, 0.0, 0.1)))
    loop.stop()
    for call in (lambda: setattr(loop, "force", (1, 0, 0)), lambda: loop.add(ConstantForce()),
                 lambda: handle.update(force=(1, 0, 0)), loop.start):
        with pytest.raises(LoopFault, match="stopped"):
            call()


CHILD_SCRIPT = textwrap.dedent("""
    import os, sys, time
    from orvane.haptics import LoopFault, ServoLoop
    loop = ServoLoop(sys.argv[1], rate_hz=500, watchdog_s=None, realtime=False)
    loop.start()
    loop.force = (1.0, 0.0, 0.0)
    time.sleep(0.05)
    pid = os.fork()
    if pid == 0:
        try:
            loop.force = (0.0, 0.0, 0.0)
            sys.exit(3)
        except LoopFault:
            pass
        sys.exit(0 if not loop.running and loop.closed else 4)  # atexit stops all loops
    _, status = os.waitpid(pid, 0)
    time.sleep(0.1)
    print(os.waitstatus_to_exitcode(status), loop.running, loop.fault)
    loop.stop()
""")


def test_forked_child_leaves_the_parents_loop_alone(start_sim, tmp_path):
    trace = tmp_path / "trace.txt"
    sim = start_sim("arm", "--trace", str(trace))
    done = subprocess.run([sys.executable, "-c", CHILD_SCRIPT, sim.path], capture_output=True,
                          text=True, timeout=30)
    assert done.stdout.split() == ["0", "True", "None"], done.stderr
    sim.stop()
    forces = [line.split()[1:] for line in trace.read_text().splitlines() if " 2A " in line]
    pushing = forces.index(["2A", "1", "0", "0"])
    # One zero at the end, from the parent's stop; none from the child's exit.
    assert forces[pushing:].count(["2A", "0", "0", "0"]) == 1 and forces[-1][1:] == ["0"] * 3


LOCK_SCRIPT = textwrap.dedent("""
    import ctypes, sys
    from orvane.haptics import ServoLoop
    libc = ctypes.CDLL(None, use_errno=True)
    def locked_kb():
        for line in open("/proc/self/status"):
            if line.startswith("VmLck:"):
                return int(line.split()[1])
    # An address-sanitizer build turns mlockall into a no-op that reports success.
    if libc.mlockall(1 | 2) != 0 or locked_kb() == 0:  # MCL_CURRENT | MCL_FUTURE
        print("skip"); sys.exit()
    with ServoLoop(sys.argv[1], rate_hz=1000) as loop:
        pass
    before = locked_kb()
    kept = bytearray(8 << 20)  # locked as well while MCL_FUTURE holds
    print(before > 0, locked_kb() - before >= 8 << 10, loop.realtime["memory_locked"])
""")


def test_the_programs_memory_lock_is_kept(start_sim):
    sim = start_sim("arm")
    done = subprocess.run([sys.executable, "-c", LOCK_SCRIPT, sim.path], capture_output=True,
                          text=True, timeout=30)
    if done.stdout.strip() == "skip":
        pytest.skip("mlockall refused here")
    assert done.stdout.split() == ["True", "True", "True"], done.stderr
