"""Handle over a pseudo-terminal: requests on the wire, received messages, callbacks."""
import gc
import struct
import threading
import time
import warnings
import weakref

import pytest

import OrvaneHardwareAPI as api
from signatures import untyped
from handles import RecordingHandle

PURE_VIRTUAL = (
    'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
)
QUATERNION = [1.5, -2.25, 0.0, 3.0]  # exactly representable in single precision


def info_msg(tool=5, device_id=0x1234, model=2, hardware=3, firmware=4):
    return struct.pack("<BBHBBB", 0xD0, tool, device_id, model, hardware, firmware)


def status_msg(device_id=0x0102, flag=1, hall=200, quaternion=QUATERNION, user_data=b""):
    return (struct.pack("<BHBB4fB", 0xDA, device_id, flag, hall, *quaternion, len(user_data))
            + bytes(user_data))


def error_msg(device_id=7, code=3):
    return struct.pack("<BHB", 0xDF, device_id, code)


class InfoOnly(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))


class NoCallbacks(api.Handle):
    calls = ()


@pytest.fixture
def stream(port):
    return api.SerialStream(port.path)


# --- requests -----------------------------------------------------------------------------

@pytest.mark.parametrize("call, wire", [
    (lambda h: h.SendDeviceWakeup(), b"\x0a"),
    (lambda h: h.RequestStatus(), b"\xda"),
    (lambda h: h.SendHandleState(), b"\xdb\x00\x00\x00"),
    (lambda h: h.SendHandleState(1, 1, 200), b"\xdb\x01\x00\x01\xc8"),
    (lambda h: h.SendHandleState(1, 0, 7), b"\xdb\x01\x00\x00"),
    (lambda h: h.SendHandleState(device_id=0x1234, data_length=1, user_data=255),
     b"\xdb\x34\x12\x01\xff"),
    (lambda h: h.SendHandleState(65535, 3, b"\x01\x02\x03"), b"\xdb\xff\xff\x03\x01\x02\x03"),
    (lambda h: h.SendHandleState(2, 2, bytearray(b"\x0a\x0d\x11")), b"\xdb\x02\x00\x02\x0a\x0d"),
    (lambda h: h.SendHandleState(2, 2, memoryview(b"\x13\x00")), b"\xdb\x02\x00\x02\x13\x00"),
    (lambda h: h.SendHandleState(3, 3, [9, 0, 255]), b"\xdb\x03\x00\x03\x09\x00\xff"),
    (lambda h: h.SendHandleState(3, 1, (4, 5)), b"\xdb\x03\x00\x01\x04"),
    (lambda h: h.SendHandleState(3, 0, [1] * 300), b"\xdb\x03\x00\x00"),
    (lambda h: h.SendHandleState(3, 0, None), b"\xdb\x03\x00\x00"),
])
def test_request_bytes(port, stream, call, wire):
    h = api.Handle(stream)
    assert call(h) is None
    assert port.expect(len(wire)) == wire
    assert port.pending() == b""


def test_full_user_data_goes_out_in_one_message(port, stream):
    data = bytes(range(255))
    api.Handle(stream).SendHandleState(0xBEEF, 255, data)
    assert port.expect(259) == b"\xdb\xef\xbe\xff" + data
    assert port.pending() == b""


@pytest.mark.parametrize("args, error", [
    ((65536,), TypeError),
    ((-1,), TypeError),
    ((0, 256), TypeError),
    ((0, 1, 256), TypeError),
    ((0, 1, -1), TypeError),
    ((0, 2, [1, 300]), TypeError),
    ((0, 1, "a"), TypeError),
    ((0, 1, 1.0), TypeError),
    ((0, 2, {1, 2}), TypeError),      # a set has no order
    ((0, 2, (x for x in [1, 2])), TypeError),
    ((0, 1), ValueError),             # no user data to send
    ((0, 2, 7), ValueError),          # one byte supplied
    ((0, 4, b"\x01\x02\x03"), ValueError),
    ((0, 255, [0] * 254), ValueError),
])
def test_refused_state_writes_nothing(port, stream, args, error):
    h = api.Handle(stream)
    with pytest.raises(error):
        h.SendHandleState(*args)
    assert port.pending() == b""


# --- receiving ----------------------------------------------------------------------------

@pytest.mark.parametrize("message, count", [
    (info_msg(), 6),
    (status_msg(user_data=b"\x01\x02\x03"), 24),
    (status_msg(), 21),
    (error_msg(), 3),
])
def test_plain_handle_receive_counts(port, stream, message, count):
    h = api.Handle(stream)
    port.send(message)
    assert h.Receive() == count


def test_subclass_receives_plain_values(port, stream):
    h = RecordingHandle(stream)
    user = bytes([0, 1, 127, 128, 255])
    port.send(info_msg() + status_msg(0xFFFF, 1, 200, QUATERNION, user) + error_msg(7, 3)
              + status_msg(device_id=9, flag=0, hall=0))
    assert [h.Receive() for _ in range(4)] == [6, 26, 3, 21]
    assert h.calls == [
        ("info", (5, 0x1234, 2, 3, 4)),
        ("status", (0xFFFF, QUATERNION, 1, 200, 5, list(user))),
        ("error", (7, 3)),
        ("status", (9, QUATERNION, 0, 0, 0, [])),
    ]
    status = h.calls[1][1]
    assert all(type(v) is int for v in status[:1] + status[2:5])
    assert all(type(v) is float for v in status[1]) and all(type(v) is int for v in status[5])
    assert all(type(v) is int for v in h.calls[0][1] + h.calls[2][1])


def test_longest_status_message(port, stream):
    h = RecordingHandle(stream)
    user = bytes(range(255))
    port.send(status_msg(user_data=user))
    assert h.Receive() == 276
    assert h.calls[0][1][4:] == (255, list(user))


@pytest.mark.parametrize("cls", [InfoOnly, NoCallbacks])
def test_subclass_without_some_callbacks(port, stream, cls):
    h = cls(stream)
    port.send(info_msg() + error_msg() + status_msg() + info_msg(tool=9))
    assert h.Receive() == 6
    assert h.Receive() == 3
    with pytest.raises(RuntimeError) as raised:
        h.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    # The status message was consumed; the next call reads the next message.
    assert h.Receive() == 6
    expected = [("info", (5, 0x1234, 2, 3, 4)), ("info", (9, 0x1234, 2, 3, 4))]
    assert list(h.calls) == (expected if cls is InfoOnly else [])


def test_unrecognised_headers_consumed_one_byte_per_call(port, stream):
    h = RecordingHandle(stream)
    reply = b"\x0b" + bytes(range(1, 22))  # an arm's information reply
    port.send(reply + info_msg())
    assert [h.Receive() for _ in range(len(reply))] == [-1] * len(reply)
    assert h.Receive() == 6
    assert h.calls == [("info", (5, 0x1234, 2, 3, 4))]


def test_silent_line_calls_nothing(port, stream):
    h = RecordingHandle(stream)
    h.RequestStatus()
    start = time.monotonic()
    assert h.Receive() == -1
    assert 0.9 <= time.monotonic() - start <= 2.5
    assert h.calls == []


# --- exceptions and base calls -----------------------------------------------------------

@pytest.mark.parametrize("message, method", [
    (info_msg(), "OnReceiveHandleInfo"),
    (status_msg(), "OnReceiveHandleStatusMessage"),
    (error_msg(), "OnReceiveHandleErrorResponse"),
])
def test_override_exception_propagates_unchanged(port, stream, message, method):
    error = ValueError("from the callback")

    def fail_once(self, *args):
        self.calls.append(args)
        if len(self.calls) == 1:
            raise error

    h = type("FailsOnce", (RecordingHandle,), {method: fail_once})(stream)
    port.send(message + message)
    with pytest.raises(ValueError) as raised:
        h.Receive()
    assert raised.value is error
    # The failed message was consumed whole: the next call reads the next one.
    assert h.Receive() == len(message) - 1
    assert len(h.calls) == 2 and h.calls[0] == h.calls[1]


class BaseCalling(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.results = []

    def OnReceiveHandleInfo(self, *args):
        self.results.append(super().OnReceiveHandleInfo(*args))

    def OnReceiveHandleErrorResponse(self, device_id, code):
        self.results.append(self.helper(device_id, code))

    def helper(self, device_id, code):  # the base call from one frame further down
        return api.Handle.OnReceiveHandleErrorResponse(self, device_id, code)

    def OnReceiveHandleStatusMessage(self, device_id, q, flag, hall, length, data):
        self.results.append("status")
        super().OnReceiveHandleStatusMessage(device_id, q[0], flag, hall, 0, 0)


def test_base_call_from_override_does_not_recurse(port, stream):
    h = BaseCalling(stream)
    port.send(info_msg() + error_msg() + status_msg())
    assert h.Receive() == 6
    assert h.Receive() == 3
    assert h.results == [None, None]
    with pytest.raises(RuntimeError) as raised:
        h.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    assert h.results == [None, None, "status"]


class NestedReceiver(RecordingHandle):
    """Reads the next message from inside its information callback."""

    def OnReceiveHandleInfo(self, *args):
        super().OnReceiveHandleInfo(*args)
        if len(self.calls) == 1:
            self.nested = self.Receive()


def test_message_read_inside_a_callback_reaches_its_callback(port, stream):
    h = NestedReceiver(stream)
    port.send(info_msg(device_id=1) + info_msg(device_id=2))
    assert h.Receive() == 6
    assert h.nested == 6
    assert [args[1] for _, args in h.calls] == [1, 2]


def test_two_threads_sharing_a_handle_lose_no_message(port, stream):
    inside, done = threading.Event(), threading.Event()

    class Waiting(RecordingHandle):
        def OnReceiveHandleInfo(self, *args):
            super().OnReceiveHandleInfo(*args)
            if len(self.calls) == 1:  # the other thread reads while this callback runs
                inside.set()
                done.wait(5)

    h = Waiting(stream)
    port.send(info_msg(device_id=1) + info_msg(device_id=2))
    counts = []
    first = threading.Thread(target=lambda: counts.append(h.Receive()))
    first.start()
    assert inside.wait(5)
    counts.append(h.Receive())
    done.set()
    first.join()
    assert counts == [6, 6]
    assert [args[1] for _, args in h.calls] == [1, 2]


@pytest.mark.parametrize("length, data, forwarded", [(0, 77, []), (1, 77, [77])])
def test_direct_status_call_forwards_filled_values(stream, length, data, forwarded):
    h = RecordingHandle(stream)
    assert api.Handle.OnReceiveHandleStatusMessage(h, 3, 0.5, 1, 2, length, data) is None
    assert h.calls == [("status", (3, [0.5, 0.0, 0.0, 0.0], 1, 2, length, forwarded))]


@pytest.mark.parametrize("cls", [api.Handle, RecordingHandle])
def test_direct_status_call_refuses_length_beyond_supplied_byte(stream, cls):
    h = cls(stream)
    with pytest.raises(ValueError):
        api.Handle.OnReceiveHandleStatusMessage(h, 3, 0.5, 1, 2, 2, 77)
    assert getattr(h, "calls", []) == []


def test_direct_calls_on_plain_handle_do_nothing(port, stream):
    h = api.Handle(stream)
    assert h.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert h.OnReceiveHandleStatusMessage(1, 1.0, 2, 3, 1, 4) is None
    assert h.OnReceiveHandleErrorResponse(device_id=1, error_code=2) is None
    assert port.pending() == b""


def test_direct_status_call_without_override_is_pure_virtual(stream):
    with pytest.raises(RuntimeError, match="pure virtual"):
        NoCallbacks(stream).OnReceiveHandleStatusMessage(1, 1.0, 2, 3, 0, 0)


# --- deprecated form ----------------------------------------------------------------------

@pytest.mark.parametrize("call", [lambda h: h.Receive(5), lambda h: h.Receive(obsolete=0)])
def test_receive_with_argument_warns_then_reads(port, stream, call):
    h = RecordingHandle(stream)
    port.send(info_msg())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert call(h) == 6
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, "Receive with one argument is deprecated")]
    assert caught[0].filename == __file__
    assert h.calls == [("info", (5, 0x1234, 2, 3, 4))]


@pytest.mark.parametrize("value", [256, -1, 1.5])
def test_receive_with_bad_argument_neither_warns_nor_reads(port, stream, value):
    h = RecordingHandle(stream)
    port.send(error_msg())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            h.Receive(value)
    assert caught == [] and h.calls == []
    assert h.Receive() == 3


def test_warning_turned_error_surfaces_after_the_read(port, stream):
    h = RecordingHandle(stream)
    port.send(error_msg() + info_msg())
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="Receive with one argument is deprecated"):
            h.Receive(1)
    assert h.calls == [("error", (7, 3))]
    assert h.Receive() == 6


# --- interpreter lock ---------------------------------------------------------------------

def test_receive_releases_the_lock_while_waiting(port, stream):
    h = RecordingHandle(stream)
    h.RequestStatus()
    sender = threading.Timer(0.2, port.send, (error_msg(),))
    sender.start()
    try:
        assert h.Receive() == 3
    finally:
        sender.join()
    assert h.calls == [("error", (7, 3))]


def test_callback_may_run_a_python_thread(port, stream):
    class Threaded(RecordingHandle):
        def OnReceiveHandleInfo(self, *args):
            worker = threading.Thread(target=self.calls.append, args=(("thread", args),))
            worker.start()
            worker.join()

    h = Threaded(stream)
    port.send(info_msg())
    assert h.Receive() == 6
    assert h.calls == [("thread", (5, 0x1234, 2, 3, 4))]


# --- construction and class surface -------------------------------------------------------

def test_construction_refusals(stream):
    with pytest.raises(TypeError):
        api.Handle(None)
    with pytest.raises(TypeError):
        api.Handle()

    class SkipsBase(api.Handle):
        def __init__(self, stream):
            pass

    with pytest.raises(TypeError, match=r"Handle\.__init__\(\) must be called when overriding"):
        SkipsBase(stream)


def test_handle_is_not_a_device(stream):
    assert not isinstance(api.Handle(stream), api.Device)
    assert not issubclass(api.Handle, api.Device)


def test_handle_keeps_its_stream_alive(port):
    stream = api.SerialStream(port.path)
    alive = weakref.ref(stream)
    h = RecordingHandle(stream)
    del stream
    gc.collect()
    assert alive() is not None
    h.SendDeviceWakeup()
    assert port.expect(1) == b"\x0a"
    port.send(error_msg())
    assert h.Receive() == 3


def test_method_order_and_docstrings():
    names = [n for n in vars(api.Handle) if not n.startswith("_") or n == "__init__"]
    assert names == ["__init__", "SendDeviceWakeup", "SendHandleState", "RequestStatus",
                     "OnReceiveHandleInfo", "OnReceiveHandleStatusMessage",
                     "OnReceiveHandleErrorResponse", "Receive"]
    docs = {n: untyped(getattr(api.Handle, n).__doc__) for n in names}
    for name, text in [("SendHandleState", "send handle state"),
                       ("RequestStatus", "request handle status"),
                       ("OnReceiveHandleInfo", "OnReceiveHandleInfo"),
                       ("OnReceiveHandleStatusMessage", "OnReceiveHandleStatusMessage"),
                       ("OnReceiveHandleErrorResponse", "OnReceiveHandleErrorResponse")]:
        assert docs[name].rstrip().endswith("\n\n" + text)
    assert docs["Receive"] == (
        "Receive(*args, **kwargs)\nOverloaded function.\n\n"
        "1. Receive(self)\n\nReceive data from the handle\n\n"
        "2. Receive(self, obsolete)\n\n[DEPRECATED] Receive current and return current\n")
    assert docs["SendHandleState"].startswith(
        "SendHandleState(self, device_id = 0, data_length = 0, user_data = None)\n")
