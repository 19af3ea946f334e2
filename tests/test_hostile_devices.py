"""Devices that misbehave: silent, wrong headers, short replies, a hang-up mid-message, a
chattering line, replies that trickle in byte by byte or in two parts around the 1000 ms
inter-byte time-out, a line that stops taking bytes.

For every arm and handle method: the documented result, the time the call takes, and that
the next call behaves as the stream's state says: after a time-out, a short read or a
hang-up the stream has failed, so the next call returns its failure at once and sends
nothing; a stream that is still good carries on with the next message.

The cases of one fault run side by side, each on its own pseudo-terminal, so that the
whole matrix costs a few seconds per fault.
"""
import re
import struct
import time
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest

import OrvaneHardwareAPI as api
from conftest import ScriptedPort
from handles import RecordingHandle
from peers import (ARM_CURRENT, ARM_INFO, ARM_JOINTS, ARM_STATE, HANDLE_ERROR, HANDLE_INFO,
                   HANDLE_STATUS, Chatter, Delivery, single_bytes, two_chunks)

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

ZERO3 = [0.0, 0.0, 0.0]
IMMEDIATE = 0.6  # a call that needs no time-out ends within this (generous for sanitizers)


def floats(message, offset, n):
    return list(struct.unpack_from(f"<{n}f", message, offset))


class Method:
    """One device method: how to call it, the request it writes first (its size, 0 for
    none), the reply it reads, and what its result is for that reply and for a failure."""

    def __init__(self, name, kind, call, request, reply, good, failed, partial=None):
        self.name, self.kind, self.call = name, kind, call
        self.request, self.reply = request, reply
        self.good, self.failed, self.partial = good, failed, partial

    def make(self, stream):
        return api.Varnix3(stream) if self.kind == "arm" else RecordingHandle(stream)

    def __repr__(self):
        return self.name


STATE = (floats(ARM_STATE, 1, 3), floats(ARM_STATE, 13, 3))
JOINTS = (floats(ARM_JOINTS, 1, 3), floats(ARM_JOINTS, 13, 3))
INFO = (0x1234, 4, 2, 7)
IDENT = list(range(16))


def arm(name, call, request, reply, good, failed):
    return Method(name, "arm", call, request, reply, good, failed)


ARM_METHODS = [
    arm("device_wakeup", lambda a: a.device_wakeup(), 1, ARM_INFO,
        lambda r: r == (*INFO, IDENT), lambda r: r[4] == [0] * 16),
    arm("device_wakeup_dict", lambda a: a.device_wakeup_dict(), 1, ARM_INFO,
        lambda r: r == dict(zip(("device_id", "device_model_number", "hardware_version",
                                 "firmware_version"), INFO),
                            device_id_ext=uuid.UUID(bytes=bytes(IDENT))),
        lambda r: r["device_id_ext"] == uuid.UUID(int=0)),
    arm("end_effector_force", lambda a: a.end_effector_force([1.0, 2.0, 3.0]), 13, ARM_STATE,
        lambda r: r == STATE, lambda r: r == (ZERO3, ZERO3)),
    arm("end_effector_position", lambda a: a.end_effector_position([0.1, 0.2, 0.3]), 13,
        ARM_STATE, lambda r: r == STATE, lambda r: r == (ZERO3, ZERO3)),
    arm("joint_torques", lambda a: a.joint_torques([1.0, 1.0, 1.0]), 13, ARM_JOINTS,
        lambda r: r == JOINTS, lambda r: r == (ZERO3, ZERO3)),
    arm("joint_angles", lambda a: a.joint_angles([0.5, 0.5, 0.5]), 13, ARM_JOINTS,
        lambda r: r == JOINTS, lambda r: r == (ZERO3, ZERO3)),
    arm("ReceiveDeviceInfo", lambda a: a.ReceiveDeviceInfo(9, 9, 9, 9), 0, ARM_INFO,
        lambda r: r[:4] == INFO and r[4].bytes() == IDENT,
        lambda r: r[:4] == (9, 9, 9, 9) and r[4].bytes() == [0] * 16),
    arm("ReceiveState", lambda a: a.ReceiveState([7.0] * 3, [8.0] * 3), 0, ARM_STATE,
        lambda r: r == STATE, lambda r: r == ([7.0] * 3, [8.0] * 3)),
    arm("ReceiveJointState", lambda a: a.ReceiveJointState([7.0] * 3, [8.0] * 3), 0,
        ARM_JOINTS, lambda r: r == JOINTS, lambda r: r == ([7.0] * 3, [8.0] * 3)),
    arm("ReceiveCurrent", lambda a: a.ReceiveCurrent([9.0] * 4), 0, ARM_CURRENT,
        lambda r: r == floats(ARM_CURRENT, 1, 3) + [9.0], lambda r: r == [9.0] * 4),
]


def receive(handle, *args):
    handle.calls.clear()
    count = handle.Receive(*args)
    return count, list(handle.calls)


def handle(name, message, kind, fields, args=()):
    size = len(message) - 1
    return Method(name, "handle", lambda h: receive(h, *args), 0, message,
                  good=lambda r: r == (size, [(kind, fields)]),
                  failed=lambda r: r == (-1, []),
                  partial=lambda r: len(r[1]) == 1 and r[1][0][0] == kind)


STATUS_FIELDS = (0x0102, floats(HANDLE_STATUS, 5, 4), 1, 200, 3, [7, 8, 9])
HANDLE_METHODS = [
    handle("Receive-info", HANDLE_INFO, "info", (5, 0x1234, 2, 3, 4)),
    handle("Receive-status", HANDLE_STATUS, "status", STATUS_FIELDS),
    handle("Receive-error", HANDLE_ERROR, "error", (7, 3)),
    handle("Receive(obsolete)-info", HANDLE_INFO, "info", (5, 0x1234, 2, 3, 4), args=(5,)),
]
METHODS = ARM_METHODS + HANDLE_METHODS


class Fault:
    """How the device delivers its reply, and what the caller sees then: `outcome` is
    "good", "failed" or "partial" (the handle's callback runs on a short message, which the
    arm reports as a failure); `seconds(payload)` the nominal time of the call, 0 for at
    once; `good_after` whether the stream is still good after it."""

    def __init__(self, steps, outcome, seconds, good_after, hang_up=False):
        self.steps, self.outcome, self.seconds = steps, outcome, seconds
        self.good_after, self.hang_up = good_after, hang_up

    def expected(self, method):
        outcome = self.outcome
        if outcome == "partial" and method.kind == "arm":
            outcome = "failed"
        return outcome


def wrong_header(message):
    return [(0, bytes([message[0] ^ 0xFF]) + message[1:])]


FAULTS = {
    # Nothing comes: the read waits its 1000 ms (+ 8 ms per byte) and fails.
    "silent": Fault(lambda m: [], "failed", lambda n: 1.0, False),
    # The arm discards what follows a wrong header and then times out; the handle consumes
    # only the unknown header byte and returns at once.
    "wrong_header": Fault(wrong_header, "failed", None, None),
    # The last byte never comes: the read ends 1000 ms after the last byte that did.
    "short_reply": Fault(lambda m: [(0, m[:-1])], "partial", lambda n: 1.0, False),
    # Unplugged mid-message, 300 ms after the first half (what the line held then is lost,
    # so the library must be reading by then): the read ends at once, not at a time-out.
    "hangup_mid_message": Fault(lambda m: [(0, m[:1 + (len(m) - 1) // 2]), (0.3, b"")],
                                "partial", lambda n: 0.3, False, hang_up=True),
    # Byte by byte, quickly: a reply like any other.
    "bytes_5ms_apart": Fault(lambda m: single_bytes(m, 0.005), "good", lambda n: 0, True),
    # Byte by byte, just under and just over the inter-byte time-out: the header comes at
    # once, and the payload read ends at its total time-out, 1000 + 8 n ms, with a byte or
    # none: a reply that trickles in is cut off by the total bound either way.
    "bytes_800ms_apart": Fault(lambda m: single_bytes(m, 0.8), "partial",
                               lambda n: 1.0 + 0.008 * n, False),
    "bytes_1250ms_apart": Fault(lambda m: single_bytes(m, 1.25), "partial",
                                lambda n: 1.0 + 0.008 * n, False),
    # Two parts 800 ms apart: within the inter-byte time-out, a complete reply.
    "parts_800ms_apart": Fault(lambda m: two_chunks(m, 0.8), "good", lambda n: 0.8, True),
    # Two parts 1250 ms apart: the read gives up 1000 ms after the first part.
    "parts_1250ms_apart": Fault(lambda m: two_chunks(m, 1.25), "partial", lambda n: 1.0,
                                False),
}


def expected_seconds(name, fault, method):
    if name == "wrong_header":
        return 1.0 if method.kind == "arm" else 0
    return fault.seconds(len(method.reply) - 1)


def check_time(problems, what, took, nominal):
    if nominal == 0:
        if took > IMMEDIATE:
            problems.append(f"{what} took {took:.2f} s, expected at once")
        return
    # Under a second: nothing may wait for a time-out. Otherwise the generous bound of
    # every time-out test (a 1 s time-out ends between 0.9 and 2.5 s).
    upper = nominal + (0.5 if nominal < 1.0 else 1.5)
    if not nominal - 0.1 <= took <= upper:
        problems.append(f"{what} took {took:.2f} s, expected about {nominal:.2f} s")


def check_result(problems, what, method, outcome, result):
    ok = {"good": method.good, "failed": method.failed,
          "partial": method.partial or method.failed}[outcome](result)
    if not ok:
        problems.append(f"{what}: expected the {outcome} result, got {result!r}")


def timed(method, device):
    start = time.monotonic()
    result = method.call(device)
    return result, time.monotonic() - start


def run_case(name, fault, method):
    """Runs one method against one fault; returns what went wrong, as text."""
    problems = []
    port = ScriptedPort()
    try:
        stream = api.SerialStream(port.path)
        device = method.make(stream)
        delivery = Delivery(port, fault.steps(method.reply), method.request, fault.hang_up)
        result, took = timed(method, device)
        outcome = fault.expected(method)
        check_result(problems, "the call", method, outcome, result)
        check_time(problems, "the call", took, expected_seconds(name, fault, method))
        delivery.cancel()
        if delivery.error is not None:
            problems.append(f"the device end: {delivery.error}")
        good_after = fault.good_after
        if good_after is None:  # wrong header: only the handle's stream stays good
            good_after = method.kind == "handle"
        check_next_call(problems, name, fault, method, port, device, good_after)
    finally:
        port.close()
    return [f"{method.name}: {p}" for p in problems]


def check_next_call(problems, name, fault, method, port, device, good_after):
    if good_after:
        if name == "wrong_header":
            # Each byte after the unknown header is read as a header in turn.
            for _ in method.reply[1:]:
                result, took = timed(method, device)
                check_result(problems, "a call after the unknown header", method, "failed",
                             result)
                check_time(problems, "a call after the unknown header", took, 0)
        port.pending(wait=0)
        delivery = Delivery(port, [(0, method.reply)], method.request)
        result, took = timed(method, device)
        delivery.cancel()
        check_result(problems, "the next call", method, "good", result)
        check_time(problems, "the next call", took, 0)
        return
    if not fault.hang_up:
        port.pending(wait=0)
        port.send(method.reply)  # a good reply is waiting, but the stream has failed
    result, took = timed(method, device)
    check_result(problems, "the next call", method, "failed", result)
    check_time(problems, "the next call", took, 0)
    if not fault.hang_up and port.pending(wait=0.05):
        problems.append("the next call sent a request on a failed stream")


@pytest.mark.parametrize("name", list(FAULTS))
def test_every_method_against_a_misbehaving_device(name, capfd):
    fault = FAULTS[name]
    with ThreadPoolExecutor(len(METHODS)) as pool:
        results = list(pool.map(lambda m: run_case(name, fault, m), METHODS))
    problems = [p for r in results for p in r]
    assert problems == []
    # Time-outs, short reads and hang-ups are silent.
    assert capfd.readouterr().err == ""


def chatter_case(method):
    problems = []
    port = ScriptedPort()
    chatter = Chatter(port)
    try:
        stream = api.SerialStream(port.path)
        device = method.make(stream)
        time.sleep(0.05)
        for i in range(5):
            result, took = timed(method, device)
            check_result(problems, f"call {i}", method, "failed", result)
            # The arm reads and drops 1024 bytes of noise after the wrong header; the
            # handle drops one byte per call.
            check_time(problems, f"call {i}", took, 0)
    finally:
        chatter.stop()
        port.close()
    if method.request:
        requests = chatter.heard.count(ARM_REQUEST_HEADERS[method.name])
        if requests < 5:
            problems.append(f"{requests} of 5 requests reached the device")
    return [f"{method.name}: {p}" for p in problems]


ARM_REQUEST_HEADERS = {"device_wakeup": b"\x0a", "device_wakeup_dict": b"\x0a",
                       "end_effector_force": b"\x2a", "end_effector_position": b"\x2c",
                       "joint_torques": b"\x1a", "joint_angles": b"\x1c"}


def test_every_method_on_a_chattering_line(capfd):
    """Noise without a single header byte: every reply read fails, at once, and the stream
    stays good, so every request still goes out."""
    with ThreadPoolExecutor(len(METHODS)) as pool:
        results = list(pool.map(chatter_case, METHODS))
    assert [p for r in results for p in r] == []
    assert capfd.readouterr().err == ""


# --- requests to a device that is gone or stops reading -------------------------------------

SENDS = [
    ("arm", "SendDeviceWakeup", (), 1),
    ("arm", "SendForce", ([1.0, 2.0, 3.0],), 13),
    ("arm", "SendJointTorques", ([1.0, 2.0, 3.0],), 13),
    ("arm", "SendAngle", ([1.0, 2.0, 3.0],), 13),
    ("arm", "SendPosition", ([1.0, 2.0, 3.0],), 13),
    ("arm", "RequestCurrent", (), 1),
    ("handle", "SendDeviceWakeup", (), 1),
    ("handle", "RequestStatus", (), 1),
    ("handle", "SendHandleState", (0x1234, 3, b"abc"), 7),
]
WRITE_LINE = re.compile(r"\[err\] Library/src/Device:39> unable to write '(\d+)' bytes to "
                        r"stream: \[(\d+)\] .+\n")


def make_device(kind, stream):
    return api.Varnix3(stream) if kind == "arm" else RecordingHandle(stream)


@pytest.mark.parametrize("kind, method, args, size", SENDS,
                         ids=[f"{k}-{m}" for k, m, _, _ in SENDS])
def test_request_to_an_unplugged_device(kind, method, args, size, port, capfd):
    stream = api.SerialStream(port.path)
    device = make_device(kind, stream)
    port.hang_up()
    start = time.monotonic()
    assert getattr(device, method)(*args) is None
    assert time.monotonic() - start < IMMEDIATE
    lines = WRITE_LINE.findall(capfd.readouterr().err)
    assert [n for n, _ in lines] == [str(size)]
    assert lines[0][1] != "0"
    # The stream is now bad: a read reports that state and fails at once.
    start = time.monotonic()
    if kind == "arm":
        assert device.ReceiveCurrent([9.0] * 3) == [9.0] * 3
    else:
        assert receive(device) == (-1, [])
    assert time.monotonic() - start < IMMEDIATE


@pytest.mark.parametrize("kind", ["arm", "handle"])
def test_requests_to_a_device_that_stops_reading(kind, port, capfd):
    """Nobody reads the line: once it is full, a write gives up after its time-out
    (8 + 8 ms per byte) instead of blocking, and reports it."""
    stream = api.SerialStream(port.path)
    device = make_device(kind, stream)
    send = ((lambda: device.SendForce([1.0, 2.0, 3.0])) if kind == "arm"
            else (lambda: device.SendHandleState(1, 3, b"abc")))
    slowest = 0.0
    for calls in range(1, 200_001):
        start = time.monotonic()
        send()
        slowest = max(slowest, time.monotonic() - start)
        if calls % 64 == 0 and "unable to write" in capfd.readouterr().err:
            break
    else:
        pytest.fail("the line never filled up")
    assert slowest < IMMEDIATE
    # Every later request fails at once as well.
    start = time.monotonic()
    send()
    assert time.monotonic() - start < IMMEDIATE


# --- the simulator's faults -----------------------------------------------------------------
#
# The same questions against orvane-sim and its fault options, for every arm method and the
# handle's exchanges: each method on a simulator of its own, all side by side.

from sim_process import sim_binary, start_sim  # noqa: E402,F401

SIM_UUID = list(bytes.fromhex("0a1b2c3d4e5f60718293a4b5c6d7e8f9"))


def sim_arm(name, call, good, failed):
    return Method(name, "arm", call, 0, b"", good, failed)


def moved(vectors):
    """A state reply: the simulated arm never rests at the origin."""
    return vectors[0] != ZERO3 and all(len(v) == 3 for v in vectors)


def sim_arm_methods(model):
    return [
        sim_arm("device_wakeup", lambda a: a.device_wakeup(),
                lambda r: r == (1, model, 1, 1, SIM_UUID), lambda r: r[4] == [0] * 16),
        sim_arm("device_wakeup_dict", lambda a: a.device_wakeup_dict(),
                lambda r: r["device_model_number"] == model
                and r["device_id_ext"] == uuid.UUID(bytes=bytes(SIM_UUID)),
                lambda r: r["device_id_ext"] == uuid.UUID(int=0)),
        sim_arm("end_effector_force", lambda a: a.end_effector_force([0.0, 0.0, 0.5]), moved,
                lambda r: r == (ZERO3, ZERO3)),
        sim_arm("end_effector_position", lambda a: a.end_effector_position([0.2, 0.0, 0.1]),
                moved, lambda r: r == (ZERO3, ZERO3)),
        sim_arm("joint_torques", lambda a: a.joint_torques([0.1, 0.1, 0.1]), moved,
                lambda r: r == (ZERO3, ZERO3)),
        sim_arm("joint_angles", lambda a: a.joint_angles([0.0, 0.5, -1.0]), moved,
                lambda r: r == (ZERO3, ZERO3)),
        sim_arm("SendDeviceWakeup+ReceiveDeviceInfo",
                lambda a: (a.SendDeviceWakeup(), a.ReceiveDeviceInfo(9, 9, 9, 9))[1],
                lambda r: r[:4] == (1, model, 1, 1) and r[4].bytes() == SIM_UUID,
                lambda r: r[:4] == (9, 9, 9, 9) and r[4].bytes() == [0] * 16),
        sim_arm("SendForce+ReceiveState",
                lambda a: (a.SendForce([0.0, 0.0, 0.0]), a.ReceiveState([7.0] * 3, [8.0] * 3))[1],
                moved, lambda r: r == ([7.0] * 3, [8.0] * 3)),
        sim_arm("SendAngle+ReceiveJointState",
                lambda a: (a.SendAngle([0.0, 0.5, -1.0]),
                           a.ReceiveJointState([7.0] * 3, [8.0] * 3))[1],
                moved, lambda r: r == ([7.0] * 3, [8.0] * 3)),
        sim_arm("RequestCurrent+ReceiveCurrent",
                lambda a: (a.RequestCurrent(), a.ReceiveCurrent([9.0] * 4))[1],
                lambda r: r[3] == 9.0 and r[:3] != [9.0] * 3, lambda r: r == [9.0] * 4),
    ]


def sim_handle(name, request, kind, good):
    def call(h):
        request(h)
        return receive(h)

    return Method(name, "handle", call, 0, b"", lambda r: r[1][:1] and r[1][0][0] == kind
                  and good(*r), lambda r: r == (-1, []),
                  partial=lambda r: len(r[1]) == 1 and r[1][0][0] == kind)


def sim_handle_methods(model):
    return [
        sim_handle("SendDeviceWakeup+Receive", lambda h: h.SendDeviceWakeup(), "info",
                   lambda n, calls: n == 6 and calls[0][1][1:4] == (1, model, 1)),
        sim_handle("RequestStatus+Receive", lambda h: h.RequestStatus(), "status",
                   lambda n, calls: n == 21 and calls[0][1][4:] == (0, [])),
        sim_handle("SendHandleState+RequestStatus+Receive",
                   lambda h: (h.SendHandleState(1, 3, b"abc"), h.RequestStatus()), "status",
                   lambda n, calls: n == 24 and calls[0][1][4:] == (3, [97, 98, 99])),
    ]


class SimFault:
    """A simulator option and what every call sees under it: the outcome of the first call
    and its nominal time, then whether the next call still gets a good reply."""

    def __init__(self, args, outcome, seconds, good_after, model=None):
        self.args, self.outcome, self.seconds = args, outcome, seconds
        self.good_after, self.model = good_after, model


SIM_FAULTS = {
    "none": SimFault([], "good", 0, True),
    "model_9": SimFault(["--model", "9"], "good", 0, True, model=9),
    "silent": SimFault(["--silent"], "failed", 1.0, False),
    # The handle's stream stays good after an unknown header; what the rest of the message
    # then reads as is up to its bytes, so only the first call is judged there.
    "wrong_header": SimFault(["--wrong-header"], "failed", None, None),
    "short_reply": SimFault(["--short-reply"], "partial", 1.0, False),
    "delay_300ms": SimFault(["--delay-ms", "300"], "good", 0.3, True),
    "delay_1500ms": SimFault(["--delay-ms", "1500"], "failed", 1.0, False),
}


def run_sim_case(name, fault, method, path):
    problems = []
    stream = api.SerialStream(path)
    device = method.make(stream)
    outcome = fault.outcome
    if outcome == "partial" and method.kind == "arm":
        outcome = "failed"
    seconds = fault.seconds
    if name == "wrong_header":
        seconds = 1.0 if method.kind == "arm" else 0
    result, took = timed(method, device)
    check_result(problems, "the call", method, outcome, result)
    check_time(problems, "the call", took, seconds)
    good_after = fault.good_after
    if good_after is None:
        good_after = None if method.kind == "handle" else False
    if good_after is not None:
        result, took = timed(method, device)
        check_result(problems, "the next call", method, "good" if good_after else "failed",
                     result)
        check_time(problems, "the next call", took, fault.seconds if good_after else 0)
    return [f"{method.name}: {p}" for p in problems]


@pytest.mark.parametrize("name", list(SIM_FAULTS))
def test_every_method_against_the_simulator(name, start_sim):
    fault = SIM_FAULTS[name]
    model_arm = fault.model if fault.model is not None else 4
    model_handle = fault.model if fault.model is not None else 1
    cases = ([(m, start_sim("arm", *fault.args).path) for m in sim_arm_methods(model_arm)]
             + [(m, start_sim("handle", *fault.args).path)
                for m in sim_handle_methods(model_handle)])
    with ThreadPoolExecutor(len(cases)) as pool:
        results = list(pool.map(lambda c: run_sim_case(name, fault, *c), cases))
    assert [p for r in results for p in r] == []


def test_every_method_when_the_simulator_hangs_up(start_sim, capfd):
    """The device answers once and is unplugged: the next exchange fails within a time-out
    (or at once, when the hang-up comes first), and every one after it at once."""
    cases = ([(m, start_sim("arm", "--hangup-after", "1").path) for m in sim_arm_methods(4)]
             + [(m, start_sim("handle", "--hangup-after", "1").path)
                for m in sim_handle_methods(1)])

    def run(case):
        method, path = case
        problems = []
        stream = api.SerialStream(path)
        device = method.make(stream)
        result, took = timed(method, device)
        check_result(problems, "the first call", method, "good", result)
        check_time(problems, "the first call", took, 0)
        result, took = timed(method, device)
        check_result(problems, "the second call", method, "failed", result)
        if took > 2.5:
            problems.append(f"the second call took {took:.2f} s")
        result, took = timed(method, device)
        check_result(problems, "the third call", method, "failed", result)
        check_time(problems, "the third call", took, 0)
        return [f"{method.name}: {p}" for p in problems]

    with ThreadPoolExecutor(len(cases)) as pool:
        results = list(pool.map(run, cases))
    assert [p for r in results for p in r] == []
    capfd.readouterr()  # a request after the hang-up may report its failed write


def test_every_method_against_a_chattering_simulator(start_sim):
    """Noise besides every answer: a call may get its reply, a reply cut by noise or noise
    alone, but it returns a result of its documented shape within the discard read's
    bound (1000 + 8 × 1024 ms), and the next call goes on."""
    cases = ([(m, start_sim("arm", "--chatter").path) for m in sim_arm_methods(4)]
             + [(m, start_sim("handle", "--chatter").path) for m in sim_handle_methods(1)])

    def shape_ok(method, r):
        if method.kind == "handle":
            return isinstance(r[0], int) and len(r[1]) <= 1
        if isinstance(r, dict):
            return len(r) == 5
        if isinstance(r, list):
            return len(r) == 4
        return len(r) in (2, 5)

    def run(case):
        method, path = case
        problems = []
        stream = api.SerialStream(path)
        device = method.make(stream)
        for i in range(3):
            try:
                result, took = timed(method, device)
            except RuntimeError as e:  # noise that reads as a status message
                problems.append(f"call {i} raised {e}")
                continue
            if not shape_ok(method, result):
                problems.append(f"call {i} returned {result!r}")
            if took > 1.0 + 8.192 + 1.5:
                problems.append(f"call {i} took {took:.2f} s")
        return [f"{method.name}: {p}" for p in problems]

    with ThreadPoolExecutor(len(cases)) as pool:
        results = list(pool.map(run, cases))
    assert [p for r in results for p in r] == []
