"""Long runs against the simulator: memory stays flat over many exchanges, and opening and
dropping many streams leaves no descriptor behind.

The default sizes keep the suite short; a nightly run raises them:

    ORVANE_SOAK_EXCHANGES=1000000 ORVANE_SOAK_STREAMS=100000 pytest tests/test_soak.py

Under the sanitizers (ORVANE_SANITIZED=1, set by scripts/test-python-asan.sh) memory is
not judged, since freed memory is held back on purpose there; everything else is.
"""
import gc
import os
import time

import pytest

import OrvaneHardwareAPI as api
from sim_process import start_sim  # noqa: F401

EXCHANGES = int(os.environ.get("ORVANE_SOAK_EXCHANGES", "100000"))
STREAMS = int(os.environ.get("ORVANE_SOAK_STREAMS", "10000"))
SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"
# Growth allowed between the warm-up checkpoint and the end: far below what one lost byte
# per exchange would add up to at the nightly size.
RSS_SLACK_KB = 1024


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def exchange_all(arm, handle, i):
    """One round of exchanges, each checked for a real reply (a failure would mean the
    stream has failed, and the rest of the run would measure nothing)."""
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.01 * (i % 7)])
    assert position != [0.0, 0.0, 0.0], f"no reply at exchange {i}"
    if i % 4 == 0:
        handle.RequestStatus()
        assert handle.Receive() >= 21, f"no status at exchange {i}"


def test_memory_stays_flat_over_many_exchanges(start_sim):
    arm = api.Varnix3(api.SerialStream(start_sim("arm").path))
    handle = Quiet(api.SerialStream(start_sim("handle").path))
    warm_up = max(EXCHANGES // 5, 1000)
    checkpoints = []
    start = time.monotonic()
    for i in range(EXCHANGES):
        exchange_all(arm, handle, i)
        if i + 1 == warm_up or (i + 1) % max(EXCHANGES // 10, 1) == 0:
            gc.collect()
            checkpoints.append((i + 1, rss_kb()))
    elapsed = time.monotonic() - start
    print(f"{EXCHANGES} exchanges in {elapsed:.1f} s; RSS (exchanges, KiB): {checkpoints}")
    if SANITIZED:
        return
    base = next(kb for n, kb in checkpoints if n >= warm_up)
    assert checkpoints[-1][1] - base <= RSS_SLACK_KB, checkpoints


class Quiet(api.Handle):
    def OnReceiveHandleStatusMessage(self, *args):
        pass


def test_streams_opened_and_dropped_leave_nothing_behind(start_sim, capfd):
    path = start_sim("arm").path
    # One round first, so that whatever is set up once (imports, caches) is in place.
    api.Varnix3(api.SerialStream(path)).device_wakeup()
    gc.collect()
    fds, rss = open_descriptors(), rss_kb()
    for i in range(STREAMS):
        stream = api.SerialStream(path)
        arm = api.Varnix3(stream)
        handle = api.Handle(stream)
        if i % 100 == 0:
            assert arm.device_wakeup()[1] == 4, f"stream {i} found no arm"
            # A second open of a port in use fails and must not keep its descriptor.
            assert api.SerialStream(path) is not None
        del arm, handle, stream
    gc.collect()
    assert open_descriptors() == fds
    if not SANITIZED:
        assert rss_kb() - rss <= RSS_SLACK_KB
    # The port is free again: a new stream opens it and talks to the arm.
    assert api.Varnix3(api.SerialStream(path)).device_wakeup()[1] == 4
    err = capfd.readouterr().err
    assert err.count("unable to open port") == (STREAMS + 99) // 100


def test_streams_on_missing_and_refusing_ports_leave_nothing_behind(tmp_path, capfd):
    not_a_terminal = tmp_path / "plain-file"
    not_a_terminal.write_bytes(b"")
    gc.collect()
    fds = open_descriptors()
    for i in range(STREAMS // 10):
        for name in (str(tmp_path / "missing"), str(not_a_terminal)):
            arm = api.Varnix3(api.SerialStream(name))
            assert arm.end_effector_force() == ([0.0] * 3, [0.0] * 3)
            del arm  # the device keeps its stream, and so the port, open
    gc.collect()
    assert open_descriptors() == fds
    capfd.readouterr()
