"""Callers that pass anything: every function, constructor and method of the module, called
with arbitrary arguments, either works or raises TypeError, ValueError or OverflowError (or
the caller's own exception, raised by an argument's conversion). Nothing crashes, and a
refused call writes nothing to the device.
"""
import ctypes
import math
import os
import struct
import sys
import warnings

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import OrvaneHardwareAPI as api
from conftest import ScriptedPort

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


class CallerError(Exception):
    """Raised by the hostile argument objects below; passing it on is a fine answer."""


ALLOWED = (TypeError, ValueError, OverflowError, CallerError)


class Hostile:
    """Every conversion the binding layer might try fails with the caller's own error."""

    def __index__(self):
        raise CallerError("__index__")

    def __int__(self):
        raise CallerError("__int__")

    def __float__(self):
        raise CallerError("__float__")

    def __len__(self):
        raise CallerError("__len__")

    def __iter__(self):
        raise CallerError("__iter__")

    def __getitem__(self, i):
        raise CallerError("__getitem__")

    def __bytes__(self):
        raise CallerError("__bytes__")


class Shrinking:
    """A sequence that claims three items but fails on the second."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return 1.0
        raise CallerError("gone")


class HugeLength:
    """A sequence that claims to be as long as a sequence can be."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i < 3:
            return 1.0
        raise IndexError(i)


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


EDGE_INTS = [0, 1, -1, 3, 7, 255, 256, 65535, 65536, 2**31 - 1, 2**31, 2**32, 2**63 - 1,
             2**63, -(2**63) - 1, 2**64, 2**200, -(2**200)]
EDGE_FLOATS = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 1e300, -1e300, 5e-324,
               3.4028235e38, 3.5e38, 1e-46]
HUGE_LIST = [0.5] * 1_000_000
HUGE_BYTES = bytes(range(256)) * 4096

SPECIALS = [object(), Hostile(), Shrinking(), HugeLength(), FloatLike(2.5), FloatLike(math.nan),
            IndexLike(7), IndexLike(2**70), HUGE_LIST, HUGE_BYTES, [HUGE_BYTES],
            [math.nan] * 3, [1e300] * 3, [Hostile()] * 3, [None] * 3, ["1", "2", "3"],
            range(3), memoryview(b"\x01\x02\x03"), {1.0, 2.0, 3.0},
            {"a": 1.0}, (1, 2, 3), complex(1, 1), api, print, str, "\x00" * 3,
            "ttyS0\x00", b"\x00\xff", "\udc80", "/dev/nonexistent-port"]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.sampled_from(EDGE_INTS),
    st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(EDGE_FLOATS),
    st.text(max_size=12), st.binary(max_size=12), st.binary(max_size=12).map(bytearray),
    st.sampled_from(SPECIALS))
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=5), st.lists(inner, max_size=5).map(tuple),
                            st.dictionaries(st.text(max_size=3), inner, max_size=3)),
    max_leaves=5)

KEYWORDS = ["device_id", "data_length", "user_data", "obsolete", "force", "ForceX", "ForceY",
            "ForceZ", "position", "velocity", "joint_position", "joint_velocity",
            "joint_torque", "angle", "current", "device_model_num", "hardware_version",
            "firmware_version", "UUID", "tool_data_remaining", "device_model_number",
            "quaternion", "error_flag", "hall_effect_sensor_level", "user_data_length",
            "error_code", "force request vector", "self", "bogus"]
arguments = st.tuples(st.lists(values, max_size=7),
                      st.dictionaries(st.sampled_from(KEYWORDS), values, max_size=3))

# Examples per property; a nightly run raises it (ORVANE_PROPERTY_EXAMPLES=2000).
EXAMPLES = int(os.environ.get("ORVANE_PROPERTY_EXAMPLES", "40"))
FAST = settings(max_examples=EXAMPLES, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
WIRE = settings(max_examples=3 * EXAMPLES, deadline=None,
                suppress_health_check=[HealthCheck.too_slow])


def call(fn, args, kwargs):
    """The call's result, or None when it refused its arguments in an allowed way."""
    try:
        return fn(*args, **kwargs)
    except ALLOWED:
        return None


class FullHandle(api.Handle):
    def OnReceiveHandleInfo(self, *args):
        pass

    def OnReceiveHandleStatusMessage(self, *args):
        pass

    def OnReceiveHandleErrorResponse(self, *args):
        pass


@pytest.fixture(scope="module")
def dead_stream():
    """A stream whose port does not exist: every operation on it fails at once."""
    return api.SerialStream("/nonexistent-orvane-test-dir/port")


def public_methods(cls):
    return sorted(name for name in vars(cls)
                  if not name.startswith("_") and callable(getattr(cls, name)))


def device_methods():
    return [(cls, name) for cls in (api.Varnix3, api.Handle, FullHandle, api.UUID)
            for name in public_methods(cls if cls is not FullHandle else api.Handle)]


def make(cls, stream):
    return cls() if cls is api.UUID else cls(stream)


# --- every method of every class --------------------------------------------------------------

@pytest.mark.parametrize("cls, name", device_methods(),
                         ids=lambda v: v if isinstance(v, str) else v.__name__)
@FAST
@given(call_args=arguments)
def test_method_with_arbitrary_arguments(dead_stream, cls, name, call_args):
    args, kwargs = call_args
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = call(getattr(make(cls, dead_stream), name), args, kwargs)
    if isinstance(result, (list, tuple)):
        for item in result:
            assert item is None or isinstance(item, (int, float, list, api.UUID))


@pytest.mark.parametrize("factory", [api.Varnix3, api.Handle, FullHandle, api.UUID, api.Device],
                         ids=lambda f: f.__name__)
@FAST
@given(call_args=arguments)
def test_constructor_with_arbitrary_arguments(factory, call_args):
    args, kwargs = call_args
    obj = call(factory, args, kwargs)
    assert obj is None or isinstance(obj, factory)


def absent(name):
    """True when a port name cannot reach any device of this machine."""
    if isinstance(name, str):
        try:
            name = name.encode()
        except UnicodeEncodeError:
            return True
    if not isinstance(name, (bytes, bytearray)):
        return True
    name = bytes(name)
    if b"\x00" in name:
        return True
    return not os.path.lexists(name if name.startswith(b"/") else b"/dev/" + name)


@FAST
@given(call_args=arguments)
def test_stream_constructor_with_arbitrary_arguments(call_args):
    args, kwargs = call_args
    # Only names that cannot lead to a real device of this machine are opened.
    if len(args) == 1 and not kwargs and not absent(args[0]):
        args = ["/nonexistent-orvane-test-dir/" + repr(args[0])]
    stream = call(api.SerialStream, args, kwargs)
    assert stream is None or isinstance(stream, api.SerialStream)


@pytest.mark.parametrize("fn", [api.get_cpp_version, api.print_cpp_version, api.detect_varnix3s,
                                api.detect_handles, api.detect_wired_handles,
                                api.detect_wireless_handles], ids=lambda f: f.__name__)
@FAST
@given(args=st.lists(values, min_size=1, max_size=4))
def test_free_functions_refuse_any_argument(fn, args):
    # With no argument the detect functions would probe the machine's ports: never here.
    with pytest.raises(TypeError):
        fn(*args)


def test_subclass_that_skips_the_base_constructor():
    class Forgetful(api.Handle):
        def __init__(self, stream):
            pass

    with pytest.raises(TypeError, match=r"__init__\(\) must be called"):
        Forgetful(api.SerialStream("/nonexistent-orvane-test-dir/port"))


# --- arguments that reach the wire ------------------------------------------------------------

ARM_EXCHANGES = {
    # method: (request header, reply the arm sends back)
    "end_effector_force": (0x2A, b"\x2b" + struct.pack("<6f", 1, 2, 3, 4, 5, 6)),
    "end_effector_position": (0x2C, b"\x2b" + struct.pack("<6f", 1, 2, 3, 4, 5, 6)),
    "joint_torques": (0x1A, b"\x1b" + struct.pack("<6f", 6, 5, 4, 3, 2, 1)),
    "joint_angles": (0x1C, b"\x1b" + struct.pack("<6f", 6, 5, 4, 3, 2, 1)),
    "SendForce": (0x2A, b""),
    "SendJointTorques": (0x1A, b""),
    "SendAngle": (0x1C, b""),
    "SendPosition": (0x2C, b""),
}

numbers = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(),
                    st.booleans(), st.sampled_from(EDGE_FLOATS + EDGE_INTS))
vectors = st.one_of(st.lists(numbers, min_size=3, max_size=6),
                    st.lists(numbers, max_size=6).map(tuple),
                    st.lists(st.one_of(numbers, values), max_size=4), values)


def as_single(x):
    """What the binding sends for a number: the C conversion of its double to float."""
    return ctypes.c_float(float(x)).value


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def fresh_port():
    port = ScriptedPort()
    return port, api.SerialStream(port.path)


@WIRE
@given(method=st.sampled_from(sorted(ARM_EXCHANGES)), vector=vectors)
def test_arm_vector_arguments_on_the_wire(method, vector):
    header, reply = ARM_EXCHANGES[method]
    port, stream = fresh_port()
    try:
        arm = api.Varnix3(stream)
        port.send(reply)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                result = getattr(arm, method)(vector)
            except ALLOWED:
                event("refused")
                assert port.pending(wait=0) == b"", "a refused call wrote to the device"
                return
        event("sent")
        sent = port.expect(13)
        assert sent[0] == header
        # SendForce also takes up to three numbers (its second form): one number is x.
        items = list(vector)[:3] if hasattr(vector, "__iter__") else [vector, 0, 0]
        for got, want in zip(struct.unpack("<3f", sent[1:]), items):
            assert same_float(got, as_single(want))
        if reply:
            first, second = result
            assert [*first, *second] == list(struct.unpack("<6f", reply[1:]))
    finally:
        del stream
        port.close()


user_data_values = st.one_of(st.none(), st.integers(-2, 300), st.binary(max_size=300),
                             st.binary(max_size=8).map(bytearray),
                             st.lists(st.integers(-2, 300), max_size=8), values)


def supplied_bytes(user_data):
    if user_data is None:
        return b""
    if isinstance(user_data, int) and not isinstance(user_data, bool):
        return bytes([user_data])
    if isinstance(user_data, bool):
        return bytes([int(user_data)])
    return bytes(user_data)


@WIRE
@given(device_id=st.one_of(st.integers(0, 65535), st.integers(-2, 70000), values),
       data_length=st.one_of(st.integers(0, 3), st.integers(-2, 300), values),
       user_data=user_data_values)
def test_handle_state_arguments_on_the_wire(device_id, data_length, user_data):
    port, stream = fresh_port()
    try:
        handle = api.Handle(stream)
        try:
            handle.SendHandleState(device_id, data_length, user_data)
        except ALLOWED:
            event("refused")
            assert port.pending(wait=0) == b"", "a refused call wrote to the device"
            return
        event("sent")
        n = int(data_length)
        sent = port.expect(4 + n)
        assert sent[:4] == bytes([0xDB, int(device_id) & 0xFF, int(device_id) >> 8, n])
        assert sent[4:] == supplied_bytes(user_data)[:n]
        assert port.pending(wait=0) == b""
    finally:
        del stream
        port.close()


# --- callbacks that misbehave -------------------------------------------------------------------

INFO = bytes([0xD0, 5, 0x34, 0x12, 2, 3, 4])
STATUS = bytes([0xDA, 2, 1, 1, 200]) + struct.pack("<4f", 1, 0, 0, 0) + bytes([3, 7, 8, 9])
ERROR = bytes([0xDF, 7, 0, 3])


class Misbehaving(api.Handle):
    """Each callback does what `self.action` says: return something odd, raise, re-enter."""

    action = None

    def _act(self, *args):
        action = self.action
        self.seen.append(args)
        if isinstance(action, BaseException):
            raise action
        if action == "reenter":
            self.action = None  # once
            self.inner.append(self.Receive())
        if action == "call_base":
            return api.Handle.OnReceiveHandleInfo(self, *self.base_args)
        return action

    OnReceiveHandleInfo = _act
    OnReceiveHandleStatusMessage = _act
    OnReceiveHandleErrorResponse = _act


actions = st.one_of(
    values,
    st.sampled_from(["reenter", "call_base"]),
    st.sampled_from([ValueError("v"), KeyError("k"), RuntimeError("r"), MemoryError(),
                     RecursionError(), StopIteration(), GeneratorExit(), KeyboardInterrupt(),
                     SystemExit(3), CallerError("mine")]))


@WIRE
@given(action=actions, message=st.sampled_from([INFO, STATUS, ERROR]),
       base_args=st.lists(values, max_size=6))
def test_callbacks_that_misbehave(action, message, base_args):
    port, stream = fresh_port()
    try:
        handle = Misbehaving(stream)
        handle.action, handle.seen, handle.inner, handle.base_args = action, [], [], base_args
        # The message, then another one for a re-entering callback or the next call.
        port.send(message + INFO)
        try:
            count = handle.Receive()
        except BaseException as e:  # noqa: B036 - the callback's own exception is the answer
            if isinstance(action, BaseException):
                assert e is action
            else:
                assert action == "call_base" and isinstance(e, ALLOWED)
        else:
            assert not isinstance(action, BaseException)
            assert count == len(message) - 1
        assert len(handle.seen) >= 1
        # The message was consumed whatever the callback did: the next call reads the next.
        if action != "reenter":
            handle.action = None
            assert handle.Receive() == 6
        else:
            assert handle.inner == [6]
    finally:
        del stream
        port.close()


# --- objects whose constructor never ran ------------------------------------------------------

def bare(cls):
    return cls.__new__(cls)


@pytest.mark.parametrize("call", [
    lambda: api.Varnix3(bare(api.SerialStream)).device_wakeup(),
    lambda: api.Handle(bare(api.SerialStream)).SendDeviceWakeup(),
    lambda: bare(api.Varnix3).device_wakeup(),
    lambda: bare(api.Varnix3).end_effector_force([1, 2, 3]),
    lambda: bare(api.Handle).SendDeviceWakeup(),
    lambda: bare(api.Handle).Receive(),
    lambda: api.Handle.OnReceiveHandleInfo(bare(api.Handle), 1, 2, 3, 4, 5),
])
def test_uninitialised_objects_are_refused(call):
    with pytest.raises(TypeError, match="not initialised"):
        call()
