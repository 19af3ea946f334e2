"""What both extensions show Python alike: refused uninitialised objects, vectors, the
arm's information dict, LoopFault, and the one device library underneath."""
import ctypes
import os
import gc
import threading
import time
import uuid

import pytest

api = pytest.importorskip("OrvaneHardwareAPI")
haptics = pytest.importorskip("orvane.haptics")
from orvane import _haptics  # noqa: E402
from test_haptics import INFO, ScriptedArm  # noqa: E402

np = pytest.importorskip("numpy")

ARM_INFO = {"device_id": 7, "device_model_number": 4, "hardware_version": 2,
            "firmware_version": 3, "device_id_ext": uuid.UUID(bytes=bytes(range(16)))}


def bare(cls):
    return cls.__new__(cls)


@pytest.mark.parametrize("call", [
    lambda: bare(api.UUID).bytes(),
    lambda: api.Varnix3(bare(api.SerialStream)),
    lambda: repr(bare(haptics.ConstantForce)),
    lambda: bare(haptics.Spring).stiffness,
    lambda: setattr(bare(haptics.Spring), "center", (1, 2, 3)),
    lambda: bare(haptics.Damper).damping,
    lambda: bare(haptics.Wall).normal,
    lambda: bare(haptics.LoopState).time,
    lambda: bare(haptics.EffectHandle).active,
    lambda: bare(haptics.ServoLoop).state(),
    lambda: bare(haptics.ServoLoop).stop(),
    lambda: bare(haptics.ServoLoop).add(haptics.Damper(1.0)),
    lambda: bare(haptics.HandleSnapshot).quaternion,
    lambda: bare(haptics.HandleListener).snapshot(),
    lambda: bare(haptics.HandleListener).stop(),
])
def test_uninitialised_objects_are_refused(call):
    with pytest.raises(TypeError, match="is not initialised: its __init__ never ran"):
        call()


NOT_VECTORS = [b"abc", bytearray(b"abc"), memoryview(b"abc"), "abc", np.zeros((2, 3)),
               np.zeros((3, 1)), [1.0, 2.0], [1.0, 2.0, 3.0, 4.0], [[1.0], [2.0], [3.0]],
               [1.0, "2", 3.0], 1.0, None, [True, -2, 0.5], [1.0, 0.0, 1j]]
VECTOR_SETTERS = [lambda v: haptics.ConstantForce(force=v), lambda v: haptics.Spring(center=v),
                  lambda v: haptics.Wall(point=v),
                  lambda v: setattr(haptics.ConstantForce(), "force", v)]


@pytest.mark.parametrize("value", NOT_VECTORS, ids=repr)
@pytest.mark.parametrize("setter", VECTOR_SETTERS, ids=["force", "center", "point", "attr"])
def test_what_is_not_three_numbers_is_refused(setter, value):
    with pytest.raises(TypeError, match="must be a sequence of three numbers"):
        setter(value)


@pytest.mark.parametrize("value", [np.array([1.0, -2.0, 0.5]), np.array([1, -2, 0.5],
                                   dtype=np.float32), (1, -2, 0.5)])
def test_three_numbers_are_taken(value):
    assert haptics.ConstantForce(force=value).force == (float(value[0]), -2.0, 0.5)


def test_a_loop_refuses_bytes_as_its_force_and_sends_none(port):
    arm = ScriptedArm(port)
    try:
        with haptics.ServoLoop(port.path) as loop:
            for value in (b"abc", bytearray(b"abc"), memoryview(b"abc")):
                with pytest.raises(TypeError, match="force must be a sequence"):
                    loop.force = value
            loop.force = np.array([0.5, 0.0, 0.0])
            assert loop.force == (0.5, 0.0, 0.0)
        assert all(f in ((0.0, 0.0, 0.0), (0.5, 0.0, 0.0)) for f in arm.forces())
    finally:
        arm.stop()


def test_the_arm_information_has_the_same_keys_in_both_modules(port, make_port):
    arm = ScriptedArm(port)
    try:
        loop = haptics.ServoLoop(port.path)
        assert list(loop.device_info.items()) == list(ARM_INFO.items())
        loop.stop()
    finally:
        arm.stop()
    other = make_port()
    stream = api.SerialStream(other.path)
    device = api.Varnix3(stream)
    other.send(INFO)
    assert device.device_wakeup_dict() == ARM_INFO


def test_one_loop_fault_raised_by_loop_and_listener(tmp_path):
    assert haptics.LoopFault is _haptics.LoopFault
    assert haptics.LoopFault.__mro__[1] is RuntimeError
    missing = str(tmp_path / "missing")
    for make in (haptics.ServoLoop, haptics.HandleListener):
        with pytest.raises(haptics.LoopFault) as raised:
            make(missing)
        assert type(raised.value) is haptics.LoopFault


def test_both_extensions_share_one_library():
    with open("/proc/self/maps") as maps:
        (library,) = {line.split()[-1] for line in maps if "liborvane_native" in line}
    seen = set()

    class Where(ctypes.Structure):
        _fields_ = [("file", ctypes.c_char_p), ("base", ctypes.c_void_p),
                    ("name", ctypes.c_char_p), ("address", ctypes.c_void_p)]

    for extension in (api.__file__, _haptics.__file__):
        # The stream's constructor, as each extension's own symbol lookup finds it.
        symbol = getattr(ctypes.CDLL(extension), "_ZN6Orvane11HardwareAPI2IO12SerialStreamC1EPKcb")
        address = ctypes.cast(symbol, ctypes.c_void_p).value
        where = Where()
        assert ctypes.CDLL(None).dladdr(ctypes.c_void_p(address), ctypes.byref(where))
        assert os.path.realpath(where.file.decode()) == os.path.realpath(library)
        seen.add(address)
    assert len(seen) == 1


def test_dropping_a_running_listener_lets_other_threads_run(port):
    listener = haptics.HandleListener(port.path, request_hz=0.0)
    listener.start()
    ticks, stop = [], threading.Event()
    ticker = threading.Thread(target=lambda: [ticks.append(time.monotonic()) or time.sleep(0.005)
                                              for _ in iter(stop.is_set, True)])
    ticker.start()
    time.sleep(0.05)
    gc.collect()  # a collection holds the interpreter lock itself: not during the drop
    began = time.monotonic()
    del listener  # the last reference: dropped here
    took = time.monotonic() - began
    stop.set()
    ticker.join()
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    # The ticker went on while the listener's thread ended.
    assert took < 0.1 or max(gaps) < took / 2, (took, max(gaps))
