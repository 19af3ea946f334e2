"""Sessions on record: a servo loop's and a handle listener's recordings read back against
the simulator's trace, a killed writer's file, the lost count, replay and the plot."""
import os
import signal
import subprocess
import sys
import time

import pytest

from sim_process import sim_binary, start_sim  # noqa: F401

np = pytest.importorskip("numpy")
pytest.importorskip("mcap", reason="recording needs the mcap package (the record extra)")
from orvane import _haptics, recording  # noqa: E402
from orvane.haptics import HandleListener, ServoLoop  # noqa: E402


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def trace_forces(path):
    lines = [line.split() for line in path.read_text().splitlines()]
    return np.array([[float(v) for v in f[2:]] for f in lines if f[1].lower() == "2a"])


def record_session(start_sim, tmp_path, forces=((0.5, 0.0, 0.0), (-0.25, 1.0, 0.125))):
    """A loop on the simulator, recorded, that sends each of `forces` for 0.15 s."""
    trace, path = tmp_path / "arm.trace", tmp_path / "arm.mcap"
    sim = start_sim("arm", "--trace", str(trace), "--device-id", "513")
    with ServoLoop(sim.path, rate_hz=500, record=str(path)) as loop:
        for force in forces:
            loop.force = force
            time.sleep(0.15)
    assert loop.recorder.lost == 0 and loop.stats()["record_lost"] == 0
    return recording.load(str(path)), trace


def test_recording_matches_the_simulator_trace(start_sim, tmp_path):
    rec, trace = record_session(start_sim, tmp_path)
    sent = trace_forces(trace)
    assert not sent[0].any()  # the state request of ServoLoop(), before any cycle
    sent = sent[1:]
    n = len(rec)
    assert rec.complete and rec.kind == "arm" and n > 100
    assert rec["sequence"].tolist() == list(range(1, n + 1))
    # Every cycle's force, as the arm got it; after them only the zero force of stop().
    np.testing.assert_array_equal(rec["force"].astype(np.float32), sent[:n].astype(np.float32))
    assert 1 <= len(sent) - n <= 2 and not sent[n:].any()
    assert {(0.5, 0.0, 0.0), (-0.25, 1.0, 0.125)} <= set(map(tuple, rec["force"].tolist()))
    assert np.all(np.diff(rec["time"]) > 0) and rec["position"].shape == (n, 3)
    assert rec.metadata["device_info"]["device_id"] == "513"
    assert rec.metadata["config"]["rate_hz"] == "500"
    assert rec.lost == []


def test_the_commanded_force_and_the_safety_flags_are_recorded(start_sim, tmp_path):
    # Set once and held 0.15 s: clamped to 5 N, then ramped out by the 0.1 s watchdog.
    rec, _ = record_session(start_sim, tmp_path, forces=((20.0, 0.0, 0.0),))
    taken = rec["commanded_force"][:, 0] == 20.0
    fresh, stale = taken & ~rec["watchdog"], taken & rec["watchdog"]
    assert fresh.sum() > 10 and stale.sum() > 5 and not rec["non_finite"].any()
    np.testing.assert_allclose(rec["force"][fresh, 0], 5.0, rtol=1e-6)
    assert rec["clamped"][fresh].all() and (rec["force"][stale, 0] < 5.0).all()


CHILD = """
import sys, time
from orvane.haptics import ServoLoop
loop = ServoLoop(sys.argv[1], rate_hz=500, record=sys.argv[2])
loop.start()
loop.force = (0.1, 0, 0)
time.sleep(0.8)
print(loop.state().sequence, flush=True)
time.sleep(60)
"""


def test_a_killed_writer_leaves_a_readable_file(start_sim, tmp_path):
    sim = start_sim("arm")
    path = tmp_path / "killed.mcap"
    child = subprocess.Popen([sys.executable, "-c", CHILD, sim.path, str(path)],
                             stdout=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        cycles = int(child.stdout.readline())
        time.sleep(1.0)  # chunks reach the file every quarter second
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(5)
    rec = recording.load(str(path))
    assert not rec.complete
    assert cycles <= len(rec) <= cycles + 550
    assert rec["sequence"].tolist() == list(range(1, len(rec) + 1))
    assert rec.metadata["device_info"]["device_model_number"] == "4"


def test_cycles_gone_from_the_ring_are_counted_and_marked(start_sim, tmp_path, monkeypatch):
    sim = start_sim("arm")
    path = tmp_path / "lossy.mcap"
    # A ring of 50 cycles drained every 0.3 s at 1 kHz: most cycles are gone by then.
    monkeypatch.setattr(recording.writer, "DRAIN_INTERVAL_S", 0.3)
    loop = _haptics.ServoLoop(sim.path, rate_hz=1000, history=50)
    recorder = recording.Recorder(loop, str(path))
    loop.start()
    time.sleep(0.7)
    loop.stop()
    recorder.close(loop)
    rec = recording.load(str(path))
    assert recorder.lost > 0 and len(rec) == recorder.written
    assert recorder.written + recorder.lost == loop.state().sequence
    assert sum(m["count"] for m in rec.lost) == recorder.lost
    for marker in rec.lost:  # each marks the gap right before the next recorded cycle
        assert marker["after_sequence"] + marker["count"] + 1 in rec["sequence"]


def replayed_states(start_sim, tmp_path, path, *options):
    trace = tmp_path / "replay.trace"
    sim = start_sim("arm", "--replay", str(path), "--trace", str(trace), *options)
    loop = ServoLoop(sim.path, rate_hz=500, history=1000, watchdog_s=None)
    opened = time.monotonic()
    with loop:
        # The replay's clock starts at the first request, the state request of ServoLoop();
        # the loop's own clock up to this much later.
        lag = time.monotonic() - opened
        loop.force = (0.0, 0.0, 0.75)
        wait_until(lambda: loop.state().sequence >= 120, 5)
    return loop, trace, lag


def test_a_replayed_session_answers_with_the_recorded_states(start_sim, tmp_path):
    rec, _ = record_session(start_sim, tmp_path)
    loop, trace, lag = replayed_states(start_sim, tmp_path, tmp_path / "arm.mcap")
    assert loop.device_info["device_id"] == 513
    h = loop.history()
    t0 = rec["time"][0]
    for t, p in zip(h["time"][5:], h["position"][5:]):
        # Where the recording was around the same moment of its own clock.
        since = rec["time"] - t0
        near = rec["position"][(since > t - 0.025) & (since < t + lag + 0.025)]
        assert len(near) and np.all(p >= near.min(0) - 1e-6) and np.all(p <= near.max(0) + 1e-6)
    assert np.ptp(h["position"][:, 0]) > 1e-4  # the recorded arm moved, so the replay does
    assert {(0.0, 0.0, 0.75)} == set(map(tuple, trace_forces(trace)[:-1].tolist())) - {(0, 0, 0)}


@pytest.mark.parametrize("args,error", [
    (["--replay", "missing.mcap"], "cannot open missing.mcap"),
    (["--speed", "2"], "--speed and --loop are for --replay"),
    (["--replay", "x", "--speed", "0"], "--speed needs a factor"),
])
def test_replay_options_are_checked(tmp_path, args, error):
    done = subprocess.run([sim_binary(), "arm", *args], capture_output=True, text=True,
                          cwd=tmp_path, timeout=10)
    assert done.returncode != 0 and error in done.stderr


def test_a_handle_recording_replays(start_sim, tmp_path):
    path = tmp_path / "handle.mcap"
    sim = start_sim("handle", "--device-id", "77")
    with HandleListener(sim.path, request_hz=100, record=str(path)) as listener:
        wait_until(lambda: listener.snapshot().sequence >= 30, 5)
    rec = recording.load(str(path))
    assert rec.kind == "handle" and rec.metadata["device_info"]["device_id"] == "77"
    assert len(rec) + listener.stats()["record_lost"] == rec["sequence"][-1]
    assert np.allclose(np.linalg.norm(rec["quaternion"], axis=1), 1, atol=1e-6)

    sim = start_sim("handle", "--replay", str(path))
    with HandleListener(sim.path, request_hz=100) as replayed:
        wait_until(lambda: replayed.snapshot().sequence >= 10, 5)
        q = np.array(replayed.snapshot().quaternion)
    assert replayed.device_info["device_id"] == 77
    # Between two recorded orientations: close to the nearer of them.
    assert np.min(np.linalg.norm(rec["quaternion"] - q, axis=1)) < 0.05


def test_plot_draws_a_recording(start_sim, tmp_path):
    pytest.importorskip("matplotlib", reason="orvane-plot needs matplotlib (the plot extra)")
    record_session(start_sim, tmp_path)
    png = tmp_path / "arm.png"
    done = subprocess.run([sys.executable, "-m", "orvane.plot", str(tmp_path / "arm.mcap"),
                           "-o", str(png)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_recording_part_of_a_run(start_sim, tmp_path):
    sim = start_sim("arm")
    with ServoLoop(sim.path, rate_hz=500) as loop:
        wait_until(lambda: loop.state().sequence > 20, 5)
        recorder = loop.record(tmp_path / "part.mcap")
        with pytest.raises(ValueError, match="already recording"):
            loop.record(tmp_path / "other.mcap")
        wait_until(lambda: loop.state().sequence > recorder.started_after + 20, 5)
        loop.stop_recording()
        loop.stop_recording()
        assert not recorder.recording
    first = recording.load(str(tmp_path / "part.mcap"))["sequence"]
    assert first[0] == recorder.started_after + 1 and len(first) == recorder.written >= 20
    with pytest.raises(_haptics.LoopFault):
        loop.record(tmp_path / "late.mcap")
    with pytest.raises(TypeError):
        recording.Recorder(ServoLoop(start_sim("arm").path), 3)  # not descriptor 3


def test_non_finite_values_are_written_as_json_null(port, tmp_path):
    from test_haptics import ScriptedArm

    arm = ScriptedArm(port, position=(float("nan"), float("inf"), 0.5))
    try:
        with ServoLoop(port.path, rate_hz=200, record=tmp_path / "nan.mcap") as loop:
            wait_until(lambda: loop.state().sequence >= 5, 5)
    finally:
        arm.stop()
    raw = (tmp_path / "nan.mcap").read_bytes()
    assert b'"position":[null,null,0.5]' in raw and b"NaN" not in raw and b"Infinity" not in raw
    rec = recording.load(str(tmp_path / "nan.mcap"))
    assert np.isnan(rec["position"][:, :2]).all() and (rec["position"][:, 2] == 0.5).all()


FULL_DISK_CHILD = """
import json, subprocess, sys, threading, time
from orvane import recording
from orvane.haptics import ServoLoop
folder, port = sys.argv[1], sys.argv[2]
subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", folder], check=True)
crashes = []
threading.excepthook = lambda args: crashes.append(repr(args.exc_value))
with ServoLoop(port, rate_hz=1000, reply_timeout_s=2.0, watchdog_s=3.0, record=folder + "/full.mcap") as loop:
    deadline = time.monotonic() + 20
    while loop.recorder.error is None and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)  # the loop runs on after the recording ended
r = loop.recorder
rec = recording.load(folder + "/full.mcap")
print(json.dumps({"error": r.error, "written": r.written, "lost": r.lost,
                  "stats_lost": loop.stats()["record_lost"], "after": r.started_after,
                  "cycles": loop.state().sequence, "crashes": crashes,
                  "sequence": rec["sequence"].tolist(), "damage": rec.damage,
                  "fault": loop.fault and str(loop.fault)}))
"""


def test_a_full_disk_ends_the_recording_and_counts_every_cycle(start_sim, tmp_path):
    import json

    from fake_ports import namespaces_refusal
    refusal = namespaces_refusal()
    if refusal:
        pytest.skip(refusal)
    (tmp_path / "full").mkdir()
    sim = start_sim("arm")
    done = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, "-c",
                           FULL_DISK_CHILD, str(tmp_path / "full"), sim.path],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["fault"] is None and out["crashes"] == []
    assert "No space left on device" in out["error"]
    # The file holds exactly what `written` says, and every other cycle is counted lost.
    assert out["sequence"] == list(range(out["after"] + 1, out["after"] + out["written"] + 1))
    assert out["lost"] == out["stats_lost"] > 0 and out["damage"] is None
    assert out["written"] + out["lost"] == out["cycles"] - out["after"]


SECOND_RECORDER = """
import sys
from orvane import _haptics, recording
try:
    recording.Recorder(_haptics.ServoLoop(sys.argv[1]), sys.argv[2])
except OSError as e:
    print(e.errno, e.strerror)
"""


def test_a_file_being_recorded_has_one_writer(start_sim, tmp_path):
    import errno

    path = tmp_path / "one.mcap"
    with ServoLoop(start_sim("arm").path, rate_hz=500, reply_timeout_s=2.0, watchdog_s=3.0, record=path) as first:
        wait_until(lambda: first.state().sequence > 20, 5)
        other = ServoLoop(start_sim("arm").path, rate_hz=500, reply_timeout_s=2.0, watchdog_s=3.0)
        with pytest.raises(OSError, match="being recorded by another recorder") as refused:
            other.record(path)
        assert refused.value.errno == errno.EBUSY
        elsewhere = subprocess.run([sys.executable, "-c", SECOND_RECORDER,
                                    start_sim("arm").path, str(path)],
                                   capture_output=True, text=True, timeout=60)
        assert elsewhere.stdout.startswith(f"{errno.EBUSY} ") and "another recorder" in \
            elsewhere.stdout, elsewhere.stderr
        wait_until(lambda: first.state().sequence > 100, 5)
    rec = recording.load(str(path))
    assert rec.complete and len(rec) == first.recorder.written > 100
    other.start()
    other.record(path).close(other)  # free again once the first recording is complete
    other.stop()
    with pytest.raises(ValueError, match="not a regular file"):
        other_loop = _haptics.ServoLoop(start_sim("arm").path)
        recording.Recorder(other_loop, "/dev/null")


def test_load_refuses_what_does_not_check_out(start_sim, tmp_path):
    not_mcap = tmp_path / "passwd"
    not_mcap.write_text("root:x:0:0:root:/root:/bin/bash\n")
    for path in (not_mcap, "/dev/null"):
        with pytest.raises(recording.RecordingError, match="is not an MCAP file"):
            recording.load(str(path), strict=False)
    record_session(start_sim, tmp_path, forces=((0.5, 0.0, 0.0),) * 4)  # a few chunks
    whole = recording.load(str(tmp_path / "arm.mcap"))
    raw = bytearray((tmp_path / "arm.mcap").read_bytes())
    at = raw.rindex(b'"position":[') + 13
    raw[at] ^= 0x01  # one digit of a position in the last chunk
    flipped = tmp_path / "flipped.mcap"
    flipped.write_bytes(raw)
    with pytest.raises(recording.RecordingError, match="crc validation failed"):
        recording.load(str(flipped))
    part = recording.load(str(flipped), strict=False)
    assert "crc" in part.damage and not part.complete and 0 < len(part) < len(whole)
    np.testing.assert_array_equal(part["position"], whole["position"][:len(part)])
    # A finished file cut short is damaged, not a killed writer's file.
    cut = tmp_path / "cut.mcap"
    cut.write_bytes(bytes(raw[:at - 200]) + raw[-8:])
    with pytest.raises(recording.RecordingError, match="runs past the end"):
        recording.load(str(cut))


def write_mcap(path, compression, cycles, extra_channels=False):
    """An arm recording as mcap's own writer makes it (zstd chunks unless told otherwise)."""
    import json
    from mcap.writer import CompressionType, Writer

    with open(path, "wb") as f:
        w = Writer(f, **({} if compression is None else
                         {"compression": getattr(CompressionType, compression)}))
        w.start()
        schema = w.register_schema("orvane.ArmCycle", "jsonschema",
                                   json.dumps(recording.ARM_SCHEMA).encode())
        arm = w.register_channel(recording.ARM_TOPIC, "json", schema)
        if extra_channels:
            raw = w.register_channel("/camera/raw", "protobuf", 0)
            other = w.register_channel("/other/json", "json", 0)
        w.add_metadata("device_info", {"device_id": "321", "device_model_number": "4"})
        for i, x in enumerate(cycles):
            t = int(1e9 + i * 1e7)
            body = {"time": i * 0.01, "sequence": i + 1, "position": [x, 0.0, 0.0],
                    "velocity": [0, 0, 0], "force": [0, 0, 0]}
            w.add_message(arm, t, json.dumps(body).encode(), t)
            if extra_channels:
                w.add_message(raw, t, b"\xff\xfe\x00camera", t)
                w.add_message(other, t, b'{"sequence": "x"}', t)
        w.finish()


def test_load_passes_over_channels_it_does_not_know(tmp_path):
    path = tmp_path / "mixed.mcap"
    write_mcap(path, None, [0.01, 0.02, 0.03], extra_channels=True)
    rec = recording.load(str(path))
    assert rec.complete and rec["sequence"].tolist() == [1, 2, 3]
    assert rec["position"][:, 0].tolist() == [0.01, 0.02, 0.03]


@pytest.mark.parametrize("compression", ["ZSTD", "LZ4"])
def test_replay_reads_compressed_recordings(start_sim, tmp_path, compression):
    path = tmp_path / f"{compression}.mcap"
    write_mcap(path, None if compression == "ZSTD" else compression,
               [0.02 + 0.0001 * i for i in range(300)])
    assert compression.lower().encode() in path.read_bytes()
    loop, _, _ = replayed_states(start_sim, tmp_path, path)
    assert loop.device_info["device_id"] == 321
    x = loop.history()["position"][5:, 0]
    assert len(x) and np.all((x >= 0.02 - 1e-6) & (x <= 0.0499 + 1e-6)) and np.ptp(x) > 1e-3


def test_replay_refuses_what_is_no_recording(tmp_path):
    for path in ("/dev/zero", "/etc/passwd"):
        done = subprocess.run([sim_binary(), "arm", "--replay", path], capture_output=True,
                              text=True, timeout=10)
        assert done.returncode != 0 and f"{path}: not an MCAP file" in done.stderr


def test_a_forked_child_leaves_the_parents_recording_alone(start_sim, tmp_path):
    path = tmp_path / "forked.mcap"
    with ServoLoop(start_sim("arm").path, rate_hz=500, reply_timeout_s=2.0, watchdog_s=3.0, record=path) as loop:
        wait_until(lambda: loop.recorder.written > 0, 5)
        pid = os.fork()
        if pid == 0:  # what a child's interpreter exit would do, then gone
            recording.writer._finish_all()
            os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        wait_until(lambda: loop.state().sequence > 250, 5)
    rec = recording.load(str(path))
    assert rec.complete and len(rec) == loop.recorder.written > 250
