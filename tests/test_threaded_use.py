"""A device used from a second thread while the first waits in it.

Devices and streams are single-threaded objects: their methods release the interpreter lock
during I/O and nothing serialises two threads on one device, so the bytes and results of two
threads may interleave. What must hold all the same: no crash, every call returns within the
time-outs with a result of its documented shape, and the process stays usable.
"""
import threading
import time

import pytest

import OrvaneHardwareAPI as api
from peers import HANDLE_ERROR, HANDLE_INFO, HANDLE_STATUS, ArmResponder

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def vector_pair(result):
    first, second = result
    return (len(first) == 3 and len(second) == 3
            and all(isinstance(v, float) for v in [*first, *second]))


def run_threads(*targets, bound):
    """Runs each target on its own thread; returns their errors and the time taken."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as e:  # noqa: B036 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(t,), daemon=True) for t in targets]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(bound + 5)
    elapsed = time.monotonic() - start
    assert not any(t.is_alive() for t in threads), "a thread is still inside the library"
    return errors, elapsed


def test_arm_used_while_another_thread_waits_for_a_silent_arm(port):
    stream = api.SerialStream(port.path)
    arm = api.Varnix3(stream)
    results = {}

    def waiter():
        start = time.monotonic()
        results["waiter"] = arm.end_effector_force([1.0, 2.0, 3.0])
        results["waited"] = time.monotonic() - start

    def intruder():
        time.sleep(0.2)  # the waiter is in its read by now
        arm.SendAngle([4.0, 5.0, 6.0])
        arm.RequestCurrent()
        results["current"] = arm.ReceiveCurrent([9.0, 9.0, 9.0])
        results["info"] = arm.device_wakeup()

    errors, elapsed = run_threads(waiter, intruder, bound=5)
    assert errors == []
    assert vector_pair(results["waiter"])
    assert results["waited"] < 3.5  # one read time-out, whatever the other thread did
    assert len(results["current"]) == 3 and len(results["info"][4]) == 16
    assert elapsed < 6
    # The stream has seen a time-out: from now on every call returns at once.
    start = time.monotonic()
    assert arm.end_effector_force() == ([0.0] * 3, [0.0] * 3)
    assert time.monotonic() - start < 0.5


def test_two_threads_exchanging_with_one_answering_arm(port):
    stream = api.SerialStream(port.path)
    arm = api.Varnix3(stream)
    responder = ArmResponder(port)
    shapes_ok = []

    def worker(calls):
        for i in range(150):
            for call in calls:
                result = call()
                shapes_ok.append(vector_pair(result) if isinstance(result, tuple)
                                 and len(result) == 2 else len(result) in (3, 5))

    first = [lambda: arm.end_effector_force([1.0, 2.0, 3.0]), lambda: arm.joint_angles()]
    second = [lambda: arm.joint_torques([0.5] * 3), lambda: arm.device_wakeup(),
              lambda: arm.ReceiveCurrent([0.0] * 3)]
    try:
        errors, elapsed = run_threads(lambda: worker(first), lambda: worker(second), bound=30)
    finally:
        responder.stop()
    assert errors == []
    assert all(shapes_ok) and len(shapes_ok) == 150 * 5
    # Replies taken by the other thread cost a time-out at most once: after it the stream
    # fails at once.
    assert elapsed < 30


class Counting(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append("info")
        time.sleep(0.05)  # a slow callback: the other thread runs meanwhile

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append("status")

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append("error")


def test_handle_used_while_another_thread_receives(port):
    stream = api.SerialStream(port.path)
    handle = Counting(stream)
    counts = []

    def receiver():
        for _ in range(12):
            counts.append(handle.Receive())

    def sender():
        for i in range(12):
            handle.SendHandleState(i, 1, i)
            handle.RequestStatus()
            port.send([HANDLE_INFO, HANDLE_STATUS, HANDLE_ERROR][i % 3])
            time.sleep(0.01)

    errors, elapsed = run_threads(receiver, sender, bound=15)
    assert errors == []
    assert len(counts) == 12 and all(c in (-1, 0, 3, 6, 21, 24) for c in counts)
    assert set(handle.calls) <= {"info", "status", "error"}
    assert elapsed < 15
    # Everything the sender wrote reached the line whole.
    written = port.pending()
    assert written.count(b"\xda") >= 12


def test_arm_and_handle_on_one_stream_from_two_threads(port):
    stream = api.SerialStream(port.path)
    arm = api.Varnix3(stream)
    handle = Counting(stream)
    responder = ArmResponder(port)
    results = []

    def arm_user():
        for _ in range(100):
            results.append(vector_pair(arm.end_effector_force([1.0, 1.0, 1.0])))

    def handle_user():
        for _ in range(100):
            handle.SendHandleState(1, 0)
            results.append(handle.Receive() in (-1, 0, 3, 6, 21, 24))

    try:
        errors, elapsed = run_threads(arm_user, handle_user, bound=30)
    finally:
        responder.stop()
    assert errors == []
    assert all(results) and len(results) == 200
    assert elapsed < 30
