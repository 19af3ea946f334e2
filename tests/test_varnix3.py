"""The arm class against a scripted arm on a pseudo-terminal."""
import array
import fcntl
import gc
import struct
import termios
import threading
import time
import uuid
import warnings
import weakref

import pytest

import OrvaneHardwareAPI as api
from signatures import untyped

# A silent arm: the reply read gives up after about one second.
SILENT_MIN, SILENT_MAX = 0.9, 2.5
AT_ONCE = 0.5


def f32(*values):
    return struct.pack(f"<{len(values)}f", *values)


def frame(header, *values):
    return bytes([header]) + f32(*values)


def info_reply(device_id, model, hardware, firmware, ident=bytes(range(16))):
    return struct.pack("<BHBBB", 0x0B, device_id, model, hardware, firmware) + ident


def unread(port):
    """Bytes the arm has sent that nobody has read yet.

    The pseudo-terminal hands written bytes to the other side a moment later, so the
    count is taken once it has stopped changing.
    """
    last = -1
    while True:
        count = struct.unpack("i", fcntl.ioctl(port._slave, termios.FIONREAD, b"\0" * 4))[0]
        if count == last:
            return count
        last = count
        time.sleep(0.05)


@pytest.fixture
def arm(port):
    stream = api.SerialStream(port.path)
    yield api.Varnix3(stream)


@pytest.fixture
def no_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


STATE = (1.0, 2.0, 3.0, -4.0, 5.5, 0.125)

COMBINED = [
    # method, request header, reply header, the other state reply's header
    ("end_effector_force", 0x2A, 0x2B, 0x1B),
    ("joint_torques", 0x1A, 0x1B, 0x2B),
    ("end_effector_position", 0x2C, 0x2B, 0x1B),
    ("joint_angles", 0x1C, 0x1B, 0x2B),
]


def test_force_request_bytes(arm, port, no_warnings):
    port.send(frame(0x2B, *STATE))
    arm.end_effector_force([1.5, -2, 0.25])
    assert port.expect(13) == bytes.fromhex("2A 00 00 C0 3F 00 00 00 C0 00 00 80 3E")


@pytest.mark.parametrize("method,header,reply,_", COMBINED)
def test_combined_exchange(arm, port, no_warnings, method, header, reply, _):
    port.send(frame(reply, *STATE))
    result = getattr(arm, method)((1.5, -2, 0.25, 99.0))
    assert port.expect(13) == frame(header, 1.5, -2, 0.25)
    assert port.pending() == b""
    assert type(result) is tuple
    assert result == ([1.0, 2.0, 3.0], [-4.0, 5.5, 0.125])
    assert all(type(x) is float for part in result for x in part)


@pytest.mark.parametrize("method,header,reply,_", COMBINED)
def test_combined_default_is_zero(arm, port, method, header, reply, _):
    port.send(frame(reply, *STATE))
    assert getattr(arm, method)() == ([1.0, 2.0, 3.0], [-4.0, 5.5, 0.125])
    assert port.expect(13) == frame(header, 0, 0, 0)


@pytest.mark.parametrize("method,header,_,wrong", COMBINED[:2])
def test_wrong_reply_is_discarded(arm, port, method, header, _, wrong):
    port.send(frame(wrong, *STATE) + b"\x55" * 40)
    assert getattr(arm, method)([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    assert port.expect(13) == frame(header, 1, 2, 3)
    assert unread(port) == 0
    # The discard came back short: from now on nothing is sent.
    port.send(frame(0x2B, *STATE))
    assert arm.end_effector_force([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    assert port.pending() == b""


def test_short_payload_gives_zeros(arm, port):
    port.send(frame(0x2B, *STATE)[:11])
    assert arm.end_effector_position([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    assert port.expect(13) == frame(0x2C, 1, 2, 3)
    arm.SendAngle([1, 2, 3])
    assert port.pending() == b""


def test_silent_arm(arm, port):
    start = time.monotonic()
    assert arm.end_effector_force([0, 0, 1]) == ([0.0] * 3, [0.0] * 3)
    assert SILENT_MIN <= time.monotonic() - start <= SILENT_MAX
    assert port.expect(13) == frame(0x2A, 0, 0, 1)

    # Every later call returns at once, writes nothing and hands back its defaults.
    zero = api.UUID()
    calls = [
        (lambda: arm.device_wakeup(), (0, 0, 0, 0, [0] * 16)),
        (lambda: arm.device_wakeup_dict()["device_id_ext"], uuid.UUID(int=0)),
        (lambda: arm.joint_torques([1, 2, 3]), ([0.0] * 3, [0.0] * 3)),
        (lambda: arm.joint_angles(), ([0.0] * 3, [0.0] * 3)),
        (lambda: arm.end_effector_position(), ([0.0] * 3, [0.0] * 3)),
        (lambda: arm.ReceiveCurrent([9.0, 9.0, 9.0, 9.0]), [9.0] * 4),
        (lambda: arm.ReceiveState([1, 2, 3], [4, 5, 6]), ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])),
        (lambda: arm.ReceiveJointState(), ([0.0] * 3, [0.0] * 3)),
        (lambda: arm.ReceiveDeviceInfo(1, 2, 3, 4)[:4], (1, 2, 3, 4)),
        (lambda: arm.ReceiveDeviceInfo(UUID=zero)[4].bytes(), [0] * 16),
        (lambda: arm.SendForce(1, 2, 3), None),
        (lambda: arm.RequestCurrent(), None),
        (lambda: arm.SendDeviceWakeup(), None),
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for call, expected in calls:
            start = time.monotonic()
            assert call() == expected
            assert time.monotonic() - start < AT_ONCE
    assert port.pending() == b""


def test_device_wakeup(arm, port, no_warnings):
    port.send(info_reply(0xBEEF, 4, 7, 9))
    result = arm.device_wakeup()
    assert port.expect(1) == b"\x0a"
    assert result == (0xBEEF, 4, 7, 9, list(range(16)))
    assert type(result) is tuple and type(result[4]) is list


def test_device_wakeup_dict(arm, port, no_warnings):
    port.send(info_reply(513, 4, 1, 2))
    result = arm.device_wakeup_dict()
    assert port.expect(1) == b"\x0a"
    assert list(result) == [
        "device_id", "device_model_number", "hardware_version", "firmware_version",
        "device_id_ext",
    ]
    assert list(result.values())[:4] == [513, 4, 1, 2]
    assert isinstance(result["device_id_ext"], uuid.UUID)
    assert result["device_id_ext"].hex == "000102030405060708090a0b0c0d0e0f"


def test_receive_device_info(arm, port, no_warnings):
    mine = api.UUID()
    port.send(info_reply(0x1234, 4, 5, 6, bytes(range(0xF0, 0x100))))
    device_id, model, hardware, firmware, ident = arm.ReceiveDeviceInfo(9, 9, 9, 9, mine)
    assert (device_id, model, hardware, firmware) == (0x1234, 4, 5, 6)
    assert isinstance(ident, api.UUID) and ident is not mine
    assert ident.bytes() == list(range(0xF0, 0x100))
    assert mine.bytes() == [0] * 16  # the caller's identifier is copied, never written
    assert port.pending() == b""  # no wake-up first


@pytest.mark.parametrize("kwargs", [
    {"device_id": 65536}, {"device_id": -1}, {"device_model_num": 256},
    {"hardware_version": 256}, {"firmware_version": -1}, {"device_id": 1.0},
    {"UUID": None}, {"UUID": [0] * 16},
])
def test_receive_device_info_rejects_before_reading(arm, port, kwargs):
    port.send(info_reply(7, 4, 1, 1))
    with pytest.raises(TypeError):
        arm.ReceiveDeviceInfo(**kwargs)
    assert unread(port) == 22
    # The widest values are accepted and the reply is still there to be read.
    assert arm.ReceiveDeviceInfo(65535, 255, 255, 255)[:4] == (7, 4, 1, 1)


DEPRECATED = {
    "SendDeviceWakeup": "SendDeviceWakeup is deprecated, use device_wakeup instead",
    "SendForce": "SendForce is deprecated, use end_effector_force instead",
    "ReceiveState": "ReceiveState is deprecated, use end_effector instead",
    "ReceiveJointState": "ReceiveJointState is deprecated, use joint_torques instead",
    "SendJointTorques": "SendJointTorques is deprecated, use joint_torques instead",
    "SendPosition": "SendPosition is deprecated, use end_effector_position instead",
}

SENDS = [
    # method, args, kwargs, bytes written
    ("SendDeviceWakeup", (), {}, b"\x0a"),
    ("SendForce", (), {}, frame(0x2A, 0, 0, 0)),
    ("SendForce", ([1.5, -2, 0.25],), {}, frame(0x2A, 1.5, -2, 0.25)),
    ("SendForce", ((1, 2, 3, 4),), {}, frame(0x2A, 1, 2, 3)),
    ("SendForce", (), {"force": [4, 5, 6]}, frame(0x2A, 4, 5, 6)),
    ("SendForce", (1, 2, 3), {}, frame(0x2A, 1, 2, 3)),
    ("SendForce", (1.5,), {}, frame(0x2A, 1.5, 0, 0)),
    ("SendForce", (), {"ForceZ": 0.25}, frame(0x2A, 0, 0, 0.25)),
    ("SendJointTorques", ([1, 2, 3],), {}, frame(0x1A, 1, 2, 3)),
    ("SendAngle", ([1, 2, 3, 4],), {}, frame(0x1C, 1, 2, 3)),
    ("SendAngle", (), {}, frame(0x1C, 0, 0, 0)),
    ("RequestCurrent", (), {}, b"\xab"),
    ("SendPosition", ([-1, 0.5, 8],), {}, frame(0x2C, -1, 0.5, 8)),
]


@pytest.mark.parametrize("method,args,kwargs,wire", SENDS,
                         ids=[f"{s[0]}-{i}" for i, s in enumerate(SENDS)])
def test_send_only(arm, port, method, args, kwargs, wire):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert getattr(arm, method)(*args, **kwargs) is None
    assert [(w.category, str(w.message)) for w in caught] == (
        [(DeprecationWarning, DEPRECATED[method])] if method in DEPRECATED else [])
    assert all(w.filename == __file__ for w in caught)  # attributed to the caller
    assert port.expect(len(wire)) == wire
    assert port.pending() == b""


RECEIVES = [
    # method, reply, args, result
    ("ReceiveState", frame(0x2B, *STATE), ([9.0] * 4, [8.0] * 3),
     ([1.0, 2.0, 3.0, 9.0], [-4.0, 5.5, 0.125])),
    ("ReceiveJointState", frame(0x1B, *STATE), ([9.0] * 3, [8.0] * 5),
     ([1.0, 2.0, 3.0], [-4.0, 5.5, 0.125, 8.0, 8.0])),
    ("ReceiveJointState", frame(0x1B, *STATE), (), ([1.0, 2.0, 3.0], [-4.0, 5.5, 0.125])),
    ("ReceiveCurrent", frame(0xAB, 0.5, -1, 2.25), ([9.0] * 4,), [0.5, -1.0, 2.25, 9.0]),
    ("ReceiveCurrent", frame(0xAB, 0.5, -1, 2.25), (), [0.5, -1.0, 2.25]),
]


@pytest.mark.parametrize("method,reply,args,expected", RECEIVES,
                         ids=[f"{r[0]}-{i}" for i, r in enumerate(RECEIVES)])
def test_receive_only(arm, port, method, reply, args, expected):
    port.send(reply)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert getattr(arm, method)(*args) == expected
    assert [str(w.message) for w in caught] == (
        [DEPRECATED[method]] if method in DEPRECATED else [])
    assert unread(port) == 0
    assert port.pending() == b""


@pytest.mark.parametrize("method,args,wire", [
    ("SendDeviceWakeup", (), b"\x0a"),
    ("SendForce", ([1, 2, 3],), frame(0x2A, 1, 2, 3)),
    ("SendForce", (1, 2, 3), frame(0x2A, 1, 2, 3)),
    ("SendJointTorques", ([1, 2, 3],), frame(0x1A, 1, 2, 3)),
    ("SendPosition", ([1, 2, 3],), frame(0x2C, 1, 2, 3)),
], ids=["SendDeviceWakeup", "SendForce-list", "SendForce-numbers", "SendJointTorques",
        "SendPosition"])
def test_warning_as_error_still_sends(arm, port, method, args, wire):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match=DEPRECATED[method]):
            getattr(arm, method)(*args)
    assert port.expect(len(wire)) == wire
    # Nothing is left pending: the device goes on working.
    port.send(frame(0x2B, *STATE))
    assert arm.end_effector_force() == ([1.0, 2.0, 3.0], [-4.0, 5.5, 0.125])


@pytest.mark.parametrize("method,reply", [
    ("ReceiveState", frame(0x2B, *STATE)), ("ReceiveJointState", frame(0x1B, *STATE)),
], ids=["ReceiveState", "ReceiveJointState"])
def test_warning_as_error_still_reads(arm, port, method, reply):
    port.send(reply + frame(0xAB, 1, 2, 3))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match=DEPRECATED[method]):
            getattr(arm, method)()
    assert unread(port) == 13  # the state reply was read, the current reply is next
    assert arm.ReceiveCurrent() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("call,message", [
    (lambda a: a.end_effector_force([1, 2]), "force request vector"),
    (lambda a: a.joint_torques([]), "joint torque request vector"),
    (lambda a: a.end_effector_position((1,)), "position request vector"),
    (lambda a: a.joint_angles([1, 2]), "joint angle request vector"),
    (lambda a: a.SendForce([1, 2]), "force"),
    (lambda a: a.SendForce(force=[]), "force"),
    (lambda a: a.ReceiveState([1, 2, 3], [1]), "velocity"),
    (lambda a: a.ReceiveState([1, 2]), "position"),
    (lambda a: a.ReceiveJointState([1]), "joint_position"),
    (lambda a: a.ReceiveJointState(joint_velocity=[1, 2]), "joint_velocity"),
    (lambda a: a.SendJointTorques([1, 2]), "joint_torque"),
    (lambda a: a.SendAngle([1, 2]), "angle"),
    (lambda a: a.ReceiveCurrent([1, 2]), "current"),
    (lambda a: a.SendPosition([]), "position"),
])
def test_short_list_is_refused(arm, port, call, message):
    port.send(frame(0x2B, *STATE))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError) as raised:
            call(arm)
    assert str(raised.value) == f"{message} must have at least 3 elements"
    assert caught == []
    assert port.pending() == b""
    assert unread(port) == 25


@pytest.mark.parametrize("call", [
    lambda a: a.end_effector_force("abc"),
    lambda a: a.end_effector_force(b"abc"),
    lambda a: a.end_effector_force(1.0),
    lambda a: a.joint_angles([1, "x", 3]),
    lambda a: a.SendForce("abc"),
    lambda a: a.SendForce(1, 2, 3, 4),
    lambda a: a.ReceiveCurrent(None),
])
def test_unconvertible_arguments(arm, port, call):
    port.send(frame(0x2B, *STATE))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            call(arm)
    assert caught == []
    assert port.pending() == b""
    assert unread(port) == 25


@pytest.mark.parametrize("args", [(None,), (), ("/dev/null",), (api.UUID(),)])
def test_constructor_wants_a_stream(args):
    with pytest.raises(TypeError):
        api.Varnix3(*args)


def test_not_a_device(arm):
    assert not isinstance(arm, api.Device)


def test_device_keeps_its_stream_alive(port):
    stream = api.SerialStream(port.path)
    stream_ref = weakref.ref(stream)
    device = api.Varnix3(stream)
    del stream
    gc.collect()
    assert stream_ref() is not None
    port.send(frame(0x1B, *STATE))
    assert device.joint_angles([1, 2, 3]) == ([1.0, 2.0, 3.0], [-4.0, 5.5, 0.125])
    assert port.expect(13) == frame(0x1C, 1, 2, 3)
    del device
    gc.collect()
    assert stream_ref() is None


def test_lock_released_during_io(arm, port):
    """Another Python thread keeps running while a call waits on a silent arm."""
    took = []

    def call():
        start = time.monotonic()
        arm.end_effector_force()
        took.append(time.monotonic() - start)

    worker = threading.Thread(target=call)
    last = time.monotonic()
    longest = 0.0
    worker.start()
    while worker.is_alive():
        now = time.monotonic()
        longest = max(longest, now - last)
        last = now
    worker.join()
    assert took and took[0] >= SILENT_MIN
    assert longest < AT_ONCE


DOCS = {
    "__init__": "__init__(self: OrvaneHardwareAPI.Varnix3, arg0: OrvaneHardwareAPI.SerialStream)"
    " -> None\n",
    "device_wakeup": "device_wakeup(self: OrvaneHardwareAPI.Varnix3) -> tuple\n\n"
    "Wakeup the device and return the device info as a tuple.\n",
    "device_wakeup_dict": "device_wakeup_dict(self: OrvaneHardwareAPI.Varnix3) -> dict\n\n"
    "Wakeup the device and return the device info as a dict.\n",
    "end_effector_force": "end_effector_force(self: OrvaneHardwareAPI.Varnix3, force request "
    "vector: list[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
    "Send forces to the device and receive device states\n",
    "joint_torques": "joint_torques(self: OrvaneHardwareAPI.Varnix3, joint torque request "
    "vector: list[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
    "Send joint torques to the device and receive the joint states\n",
    "end_effector_position": "end_effector_position(self: OrvaneHardwareAPI.Varnix3, position "
    "request vector: list[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
    "Send end-effector position and receive device states\n",
    "joint_angles": "joint_angles(self: OrvaneHardwareAPI.Varnix3, joint angle request vector: "
    "list[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
    "Send joint angles to the device and receive the joint states\n",
    "SendDeviceWakeup": "SendDeviceWakeup(self: OrvaneHardwareAPI.Varnix3) -> None\n\n"
    "[DEPRECATED] Send a device wakeup command\n",
    "SendForce": "SendForce(*args, **kwargs)\nOverloaded function.\n\n"
    "1. SendForce(self: OrvaneHardwareAPI.Varnix3, force: list[float] = [0.0, 0.0, 0.0])"
    " -> None\n\n[Deprecated] Send force to the device\n\n"
    "2. SendForce(self: OrvaneHardwareAPI.Varnix3, ForceX: float = 0, ForceY: float = 0, "
    "ForceZ: float = 0) -> None\n\n[Deprecated] Send force to the device\n",
    "ReceiveState": "ReceiveState(self: OrvaneHardwareAPI.Varnix3, position: list[float] = "
    "[0.0, 0.0, 0.0], velocity: list[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
    "[Deprecated] receive state and return position and velocity\n",
    "ReceiveJointState": "ReceiveJointState(self: OrvaneHardwareAPI.Varnix3, joint_position: "
    "list[float] = [0.0, 0.0, 0.0], joint_velocity: list[float] = [0.0, 0.0, 0.0]) -> tuple"
    "\n\n[Deprecated] receive joint state and return position and velocity in the joint "
    "reference frame\n",
    "SendJointTorques": "SendJointTorques(self: OrvaneHardwareAPI.Varnix3, joint_torque: "
    "list[float] = [0.0, 0.0, 0.0]) -> None\n\n[Deprecated] send joint torque\n",
    "SendAngle": "SendAngle(self: OrvaneHardwareAPI.Varnix3, angle: list[float] = "
    "[0.0, 0.0, 0.0]) -> None\n\nSend angles to the device\n",
    "RequestCurrent": "RequestCurrent(self: OrvaneHardwareAPI.Varnix3) -> None\n\n"
    "request current\n",
    "ReceiveCurrent": "ReceiveCurrent(self: OrvaneHardwareAPI.Varnix3, current: list[float] = "
    "[0.0, 0.0, 0.0]) -> list[float]\n\nreceive current and return current\n",
    "SendPosition": "SendPosition(self: OrvaneHardwareAPI.Varnix3, position: list[float] = "
    "[0.0, 0.0, 0.0]) -> None\n\n[Deprecated] Send Position to the device\n",
}


def test_methods_in_order_with_their_docstrings():
    names = [n for n in vars(api.Varnix3) if n in DOCS or n == "ReceiveDeviceInfo"]
    assert names == list(DOCS)[:8] + ["ReceiveDeviceInfo"] + list(DOCS)[8:]
    for name, doc in DOCS.items():
        assert untyped(getattr(api.Varnix3, name).__doc__) == untyped(doc)
    assert api.Varnix3.__doc__ is None
    info = untyped(api.Varnix3.ReceiveDeviceInfo.__doc__)
    assert info.startswith("ReceiveDeviceInfo(self, device_id = 0, device_model_num = 0, "
                           "hardware_version = 0, firmware_version = 0, "
                           "UUID = <OrvaneHardwareAPI.UUID object at ")
    assert info.endswith(">)\n\nReceive device info and return a tuple\n")


# --- which objects a list argument takes ----------------------------------------------------

def numpy_array(values):
    numpy = pytest.importorskip("numpy")
    return numpy.array(values, dtype=numpy.float32)


ACCEPTED = [list, tuple, lambda v: array.array("f", v), lambda v: array.array("d", v),
            numpy_array]
REFUSED = [set, lambda v: dict.fromkeys(v), lambda v: (x for x in v),
           lambda v: "1.0,2.0,3.0", lambda v: b"\x01\x02\x03"]


@pytest.mark.parametrize("method, header", [("end_effector_force", 0x2A), ("joint_angles", 0x1C),
                                            ("SendForce", 0x2A), ("SendAngle", 0x1C)])
@pytest.mark.parametrize("make", ACCEPTED)
def test_list_argument_takes_any_sequence(arm, port, method, header, make):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        port.send(frame(0x2B if header == 0x2A else 0x1B, *STATE))
        getattr(arm, method)(make([0.5, -2.0, 4.0]))
    assert port.expect(13) == frame(header, 0.5, -2.0, 4.0)


@pytest.mark.parametrize("method", ["end_effector_force", "SendForce", "ReceiveState",
                                    "ReceiveCurrent"])
@pytest.mark.parametrize("make", REFUSED)
def test_list_argument_refuses_non_sequences_before_any_io(arm, port, method, make):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            getattr(arm, method)(make([3.0, 1.0, 2.0]))
    assert caught == []
    assert port.pending() == b""
