"""orvane.haptics.HandleListener against the simulated handle, wired and streaming."""
import math
import struct
import time

import pytest

from sim_process import start_sim  # noqa: F401

haptics = pytest.importorskip("orvane.haptics")


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def trace_headers(path):
    return [line.split(" ")[1] for line in path.read_text().splitlines()]


@pytest.mark.parametrize("sim_args, request_hz", [([], 200.0), (["--stream", "200"], 0.0)],
                         ids=["wired", "streaming"])
def test_listener_keeps_the_newest_status(start_sim, tmp_path, sim_args, request_hz):
    trace = tmp_path / "handle.trace"
    sim = start_sim("handle", "--device-id", "513", "--trace", str(trace), *sim_args)
    listener = haptics.HandleListener(sim.path, request_hz=request_hz)
    assert listener.snapshot().sequence == 0 and listener.device_info is None
    with listener:
        assert listener.running
        assert wait_for(lambda: listener.snapshot().sequence >= 40)
        first = listener.snapshot()
        assert wait_for(lambda: listener.snapshot().sequence > first.sequence + 5)
        later = listener.snapshot()
    assert not listener.running and listener.fault is None
    assert listener.device_info == {"device_id": 513, "device_model_number": 1,
                                    "hardware_version": 1, "firmware_version": 1,
                                    "tool_data_remaining": 100}
    assert later.device_id == 513 and later.error_flag == 0 and later.user_data == b""
    assert 0 < first.time < later.time
    assert math.isclose(sum(c * c for c in later.quaternion), 1.0, rel_tol=1e-5)
    assert later.quaternion != first.quaternion  # the simulated handle turns
    stats = listener.stats()
    assert stats["messages"] >= later.sequence and stats["errors"] == 0
    # A short run: a busy machine delivers the 200 Hz statuses in bursts now and then.
    assert 20 < stats["rate_hz"] < 1000
    # A wired handle is asked once per status; a streaming one is only woken.
    headers = trace_headers(trace)
    assert headers[0] == "0A"
    if request_hz:
        assert set(headers[1:]) == {"DA"} and stats["requests"] == len(headers) - 1
        assert stats["requests"] - stats["messages"] in (0, 1)
    else:
        assert headers == ["0A"] and stats["requests"] == 0


@pytest.mark.parametrize("sim_args, reason", [
    (["--silent"], "silent"),
    (["--wrong-header"], "no handle message: 0x2F"),
    (["--hangup-after", "5"], "closed"),
    (["--stream", "100", "--hangup-after", "1"], "closed"),  # after the wake-up
], ids=["silent", "garbled", "unplugged", "unplugged-streaming"])
def test_a_failing_handle_ends_the_listener_with_a_fault(start_sim, sim_args, reason):
    sim = start_sim("handle", *sim_args)
    request_hz = 0.0 if "--stream" in sim_args else 100.0
    listener = haptics.HandleListener(sim.path, request_hz=request_hz)
    listener.start()
    assert wait_for(lambda: not listener.running, timeout=5.0)
    assert reason in listener.fault
    with pytest.raises(haptics.LoopFault, match=reason):
        listener.start()
    listener.stop()  # still allowed, and ends at once


def test_stop_is_prompt_and_final(start_sim):
    sim = start_sim("handle", "--silent")
    listener = haptics.HandleListener(sim.path, request_hz=0.0)
    listener.start()
    began = time.monotonic()
    listener.stop()  # mid-read on a silent handle
    assert time.monotonic() - began < 2.5
    assert listener.fault is None
    with pytest.raises(haptics.LoopFault, match="stopped"):
        listener.start()


@pytest.mark.parametrize("kwargs, error, message", [
    ({}, haptics.LoopFault, "cannot open"), ({"request_hz": -1.0}, ValueError, "request_hz"),
    ({"request_hz": math.nan}, ValueError, "request_hz")])
def test_bad_port_or_rate_raises(tmp_path, kwargs, error, message):
    with pytest.raises(error, match=message):
        haptics.HandleListener(str(tmp_path / "missing"), **kwargs)


def test_a_status_message_cut_short_is_never_published(port):
    # Streaming: a whole status message, then one that stops in its quaternion.
    whole = bytes([0xDA, 0x07, 0x00, 0x00, 0x2A]) + struct.pack("<4f", 1, 0, 0, 0) + b"\x00"
    listener = haptics.HandleListener(port.path, request_hz=0.0)
    with listener:
        assert port.expect(1) == b"\x0a"
        port.send(whole + whole[:9])
        assert wait_for(lambda: not listener.running)
        snap = listener.snapshot()
    assert "silent" in listener.fault
    assert snap.sequence == 1 and snap.hall_effect == 0x2A and snap.quaternion == (1, 0, 0, 0)
