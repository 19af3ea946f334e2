"""orvane-sim seen from the host side of its pseudo-terminal: raw bytes first, then the
module's device classes."""
import errno
import math
import os
import re
import select
import signal
import struct
import time

import pytest

from handles import RecordingHandle
from sim_process import Sim, read_exact, read_for, sim_binary, start_sim  # noqa: F401

HOME = (0.0, 0.6, -1.2)  # the arm's joint angles at start
LINK = 0.15  # upper arm and forearm length


def f32(*values):
    return struct.pack(f"<{len(values)}f", *values)


def forward_kinematics(q):
    reach = LINK * math.cos(q[1]) + LINK * math.cos(q[1] + q[2])
    height = LINK * math.sin(q[1]) + LINK * math.sin(q[1] + q[2])
    return (reach * math.cos(q[0]), reach * math.sin(q[0]), height)


def exchange(fd, request, reply_size):
    os.write(fd, request)
    return read_exact(fd, reply_size)


# --- the arm, byte by byte ----------------------------------------------------------------

def test_arm_wakeup_reports_the_identity_given(start_sim):
    sim = start_sim("arm", "--device-id", "4660", "--hardware-version", "7",
                    "--firmware-version", "9", "--uuid", "000102030405060708090a0b0c0d0e0f")
    fd = sim.open()
    assert exchange(fd, b"\x0a", 22) == bytes([0x0B, 0x34, 0x12, 4, 7, 9]) + bytes(range(16))


@pytest.mark.parametrize("request_bytes, expected", [
    # A resting arm at its start pose: joint state and end-effector state, exactly.
    (b"\x1c" + f32(*HOME), b"\x1b" + f32(*HOME) + f32(0, 0, 0)),
    (b"\x1a" + f32(0, 0, 0), b"\x1b" + f32(*HOME) + f32(0, 0, 0)),
    (b"\x2a" + f32(0, 0, 0), b"\x2b" + f32(*forward_kinematics(HOME)) + f32(0, 0, 0)),
    (b"\x2c" + f32(*forward_kinematics(HOME)),
     b"\x2b" + f32(*forward_kinematics(HOME)) + f32(0, 0, 0)),
    (b"\xab", b"\xab" + f32(0, 0, 0)),
], ids=["angles", "torques", "force", "position", "current"])
def test_arm_first_reply_is_byte_exact(start_sim, request_bytes, expected):
    fd = start_sim("arm").open()
    assert exchange(fd, request_bytes, len(expected)) == expected


def test_arm_currents_follow_the_last_torques(start_sim):
    fd = start_sim("arm").open()
    assert exchange(fd, b"\x1a" + f32(0.5, -0.25, 0.125), 25)[0] == 0x1B
    # 0.25 N m per ampere.
    assert exchange(fd, b"\xab", 13) == b"\xab" + f32(2.0, -1.0, 0.5)


def test_arm_moves_under_force_and_stays_consistent(start_sim):
    fd = start_sim("arm").open()
    start = struct.unpack("<3f", exchange(fd, b"\x2a" + f32(0, 0, 2), 25)[1:13])
    for _ in range(100):
        reply = exchange(fd, b"\x2a" + f32(0, 0, 2), 25)
        time.sleep(0.002)
    position = struct.unpack("<3f", reply[1:13])
    assert position[2] > start[2] + 0.005
    for _ in range(8):  # let it come to rest: the model advances at most 20 ms a request
        exchange(fd, b"\x1a" + f32(0, 0, 0), 25)
        time.sleep(0.03)
    joints = exchange(fd, b"\x1a" + f32(0, 0, 0), 25)
    q = struct.unpack("<3f", joints[1:13])
    state = exchange(fd, b"\x2a" + f32(0, 0, 0), 25)
    assert struct.unpack("<3f", state[1:13]) == pytest.approx(forward_kinematics(q), abs=1e-5)


def test_arm_answers_requests_in_pieces_and_ignores_stray_bytes(start_sim):
    fd = start_sim("arm").open()
    request = b"\x2a" + f32(0, 0, 0)
    os.write(fd, request[:6])
    assert read_for(fd, 0.1) == b""
    os.write(fd, request[6:] + b"\x77\xab")
    reply = read_exact(fd, 25 + 13)
    assert reply[0] == 0x2B and reply[25] == 0xAB
    assert read_for(fd, 0.1) == b""


def test_closing_the_port_does_not_hang_up_the_simulator(start_sim):
    sim = start_sim("arm")
    fd = sim.open()
    assert exchange(fd, b"\x0a", 22)[0] == 0x0B
    os.close(fd)
    sim.fds.remove(fd)
    fd = sim.open()
    assert exchange(fd, b"\x0a", 22)[0] == 0x0B
    assert sim.proc.poll() is None


def reopen(sim, fd):
    os.close(fd)
    sim.fds.remove(fd)
    time.sleep(0.1)
    return sim.open()


@pytest.mark.parametrize("args", [["arm"], ["arm", "--delay-ms", "200"]],
                         ids=["unread", "delayed"])
def test_a_closed_port_forgets_replies_nobody_read(start_sim, args):
    sim = start_sim(*args)
    fd = sim.open()
    os.write(fd, b"\x0a")
    time.sleep(0.05)
    fd = reopen(sim, fd)
    assert read_for(fd, 0.3) == b""
    assert exchange(fd, b"\xab", 13)[0] == 0xAB


def test_streaming_starts_afresh_for_each_user(start_sim):
    sim = start_sim("handle", "--stream", "200")
    fd = sim.open()
    time.sleep(0.2)  # more than fits before the handle pauses
    fd = reopen(sim, fd)
    messages, rest = split_status_messages(read_for(fd, 0.1))
    assert 5 <= len(messages) <= 30 and len(rest) < 22


# --- the handle ------------------------------------------------------------------------------

def test_handle_information_status_and_error(start_sim):
    fd = start_sim("handle", "--device-id", "4660", "--model", "2", "--hardware-version", "3",
                   "--firmware-version", "4").open()
    assert exchange(fd, b"\x0a", 7) == bytes([0xD0, 100, 0x34, 0x12, 2, 3, 4])
    assert exchange(fd, b"\x2a", 4) == bytes([0xDF, 0x34, 0x12, 1])

    os.write(fd, bytes([0xDB, 0x34, 0x12, 3, 9, 8, 7]))  # state message: no answer
    assert read_for(fd, 0.1) == b""
    status = exchange(fd, b"\xda", 25)
    device_id, flag, hall = struct.unpack("<HBB", status[1:5])
    quaternion = struct.unpack("<4f", status[5:21])
    assert (status[0], device_id, flag) == (0xDA, 0x1234, 0)
    assert 0 <= hall <= 255
    assert sum(c * c for c in quaternion) == pytest.approx(1.0, abs=1e-6)
    assert status[21:] == bytes([3, 9, 8, 7])


def test_handle_orientation_turns(start_sim):
    fd = start_sim("handle").open()
    first = struct.unpack("<4f", exchange(fd, b"\xda", 22)[5:21])
    time.sleep(0.3)
    second = struct.unpack("<4f", exchange(fd, b"\xda", 22)[5:21])
    assert first != second


def split_status_messages(data):
    messages = []
    while len(data) >= 22 and data[0] == 0xDA:
        size = 22 + data[21]
        messages.append(data[:size])
        data = data[size:]
    return messages, data


def test_handle_streams_when_asked(start_sim):
    fd = start_sim("handle", "--stream", "50").open()
    time.sleep(0.05)
    read_for(fd, 0.05)  # whatever queued before this client came
    data = read_for(fd, 1.0)
    messages, rest = split_status_messages(data)
    # Messages arrive whole; only the last may still be on its way.
    assert len(rest) < 22
    assert 30 <= len(messages) <= 70


# --- faults ----------------------------------------------------------------------------------

def test_silent_device_reads_but_never_answers(start_sim):
    fd = start_sim("arm", "--silent").open()
    os.write(fd, b"\x0a\xab" + b"\x2a" + f32(1, 2, 3))
    assert read_for(fd, 0.3) == b""


@pytest.mark.parametrize("args, request_bytes, expected", [
    (["arm", "--model", "7"], b"\x0a", lambda r: r[3] == 7 and len(r) == 22),
    (["arm", "--wrong-header"], b"\xab", lambda r: r == b"\x54" + f32(0, 0, 0)),
    (["arm", "--short-reply"], b"\xab", lambda r: r == b"\xab" + f32(0, 0, 0)[:-1]),
    (["handle", "--wrong-header"], b"\x0a", lambda r: r[0] == 0x2F and len(r) == 7),
    (["handle", "--short-reply"], b"\x0a", lambda r: r[0] == 0xD0 and len(r) == 6),
], ids=["model", "arm-wrong-header", "arm-short", "handle-wrong-header", "handle-short"])
def test_faulty_replies(start_sim, args, request_bytes, expected):
    fd = start_sim(*args).open()
    os.write(fd, request_bytes)
    reply = read_for(fd, 0.3)
    assert expected(reply), reply.hex(" ")


def test_delay_holds_each_reply_back(start_sim):
    fd = start_sim("arm", "--delay-ms", "300").open()
    start = time.monotonic()
    os.write(fd, b"\x0a")
    assert read_for(fd, 0.15) == b""
    assert read_exact(fd, 22, timeout=2.0)[0] == 0x0B
    assert time.monotonic() - start >= 0.29


def test_hangup_after_replies_ends_reads_at_once(start_sim):
    sim = start_sim("arm", "--hangup-after", "2")
    fd = sim.open()
    assert exchange(fd, b"\x0a", 22)[0] == 0x0B
    assert exchange(fd, b"\xab", 13)[0] == 0xAB  # the last reply still arrives whole
    start = time.monotonic()
    assert sim.proc.wait(2) == 0
    try:
        os.write(fd, b"\x0a")
        ready = select.select([fd], [], [], 2)[0]
        assert ready and os.read(fd, 1) == b""
    except OSError as e:
        assert e.errno == errno.EIO
    assert time.monotonic() - start < 1.0


def test_chatter_is_a_steady_stream(start_sim):
    fd = start_sim("arm", "--chatter", "--silent").open()
    read_for(fd, 0.1)
    first = read_for(fd, 0.5)
    second = read_for(fd, 0.5)
    assert len(first) >= 100 and len(second) >= 100


def test_chatter_keeps_answering(start_sim):
    fd = start_sim("handle", "--chatter").open()
    read_for(fd, 0.05)
    os.write(fd, b"\x0a")
    assert bytes([0xD0, 100, 1, 0, 1, 1, 1]) in read_for(fd, 0.3)


# --- process, link and help -----------------------------------------------------------------

@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_signal_ends_the_simulator_cleanly(start_sim, tmp_path, sig):
    link = tmp_path / "port"
    sim = start_sim("arm", "--link", str(link))
    assert os.readlink(link) == sim.path
    assert sim.stop(sig) == 0
    assert not os.path.lexists(link)
    assert not os.path.exists(sim.path) or sim.path not in os.listdir("/dev/pts")


def test_link_replaces_an_old_link_but_never_a_file(start_sim, tmp_path):
    link = tmp_path / "port"
    os.symlink("/nonexistent", link)
    sim = start_sim("arm", "--link", str(link))
    assert os.readlink(link) == sim.path
    sim.stop()
    assert not os.path.lexists(link)  # removed at exit

    link.write_text("keep me")
    import subprocess
    result = subprocess.run([sim_binary(), "arm", "--link", str(link)], capture_output=True,
                            text=True, timeout=5)
    assert result.returncode != 0
    assert result.stdout == ""
    assert "not a symbolic link" in result.stderr
    assert link.read_text() == "keep me"


def project_version():
    cmake = open(os.path.join(os.path.dirname(__file__), "..", "CMakeLists.txt")).read()
    return re.search(r"project\(OrvaneHardwareAPI VERSION ([0-9.]+)", cmake).group(1)


def test_help_and_usage_errors():
    import subprocess
    result = subprocess.run([sim_binary(), "--help"], capture_output=True, text=True, timeout=5)
    assert result.returncode == 0
    for option in ["--silent", "--model", "--wrong-header", "--short-reply", "--delay-ms",
                   "--hangup-after", "--chatter", "--stream", "--link", "--uuid"]:
        assert option in result.stdout
    bad = subprocess.run([sim_binary(), "arm", "--bogus"], capture_output=True, text=True,
                         timeout=5)
    assert bad.returncode == 2 and "--bogus" in bad.stderr
    detect = os.path.join(os.path.dirname(sim_binary()), "orvane-detect")
    for tool in [sim_binary(), detect]:
        version = subprocess.run([tool, "--version"], capture_output=True, text=True, timeout=5)
        assert version.returncode == 0
        assert version.stdout == f"{os.path.basename(tool)} {project_version()}\n"
    bad = subprocess.run([detect, "--bogus"], capture_output=True, text=True, timeout=5)
    assert bad.returncode == 2 and "--bogus" in bad.stderr


# --- through the module's device classes ----------------------------------------------------

api = pytest.importorskip("OrvaneHardwareAPI")
SILENT_MIN, SILENT_MAX = 0.9, 2.5  # a read time-out of about one second
AT_ONCE = 0.5


def timed(call, *args):
    start = time.monotonic()
    result = call(*args)
    return result, time.monotonic() - start


def test_module_arm_talks_to_the_simulator(start_sim):
    sim = start_sim("arm", "--device-id", "513", "--uuid", "000102030405060708090a0b0c0d0e0f")
    stream = api.SerialStream(sim.path)
    arm = api.Varnix3(stream)
    info = arm.device_wakeup_dict()
    assert info["device_id"] == 513 and info["device_model_number"] == 4
    assert info["device_id_ext"].hex == "000102030405060708090a0b0c0d0e0f"
    position, velocity = arm.joint_torques([0.5, -0.25, 0.125])
    assert position == pytest.approx(HOME, abs=1e-6)
    arm.RequestCurrent()
    assert arm.ReceiveCurrent() == [2.0, -1.0, 0.5]
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    assert position != [0.0, 0.0, 0.0]
    # The arm moves between any two exchanges, so positions are compared only once it has
    # come to rest at home; holding it there in position mode keeps it still.
    deadline = time.monotonic() + 5
    while True:
        joints, speeds = arm.joint_angles(list(HOME))
        if max(map(abs, speeds)) < 1e-4 or time.monotonic() > deadline:
            break
        time.sleep(0.01)
    assert joints == pytest.approx(HOME, abs=1e-4)
    home = list(forward_kinematics(HOME))
    assert arm.end_effector_position(home)[0] == pytest.approx(home, abs=1e-5)


@pytest.mark.parametrize("args, least, most", [
    (["--silent"], SILENT_MIN, SILENT_MAX),
    (["--short-reply"], SILENT_MIN, SILENT_MAX),
    (["--wrong-header"], SILENT_MIN, SILENT_MAX),  # the discard read waits out the line
    (["--model", "3"], 0, AT_ONCE),
], ids=["silent", "short", "wrong-header", "model"])
def test_module_arm_faults(start_sim, args, least, most):
    arm_stream = api.SerialStream(start_sim("arm", *args).path)
    arm = api.Varnix3(arm_stream)
    if args[0] == "--model":
        assert arm.device_wakeup()[1] == 3
        assert arm.end_effector_force([0, 0, 1])[0] != [0.0, 0.0, 0.0]
        return
    result, seconds = timed(arm.end_effector_force, [0, 0, 1])
    assert result == ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
    assert least <= seconds <= most
    # The stream is spent: every later call returns at once with zeros.
    result, seconds = timed(arm.end_effector_force, [0, 0, 1])
    assert result == ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0]) and seconds < AT_ONCE


def test_module_arm_hang_up_ends_the_read_at_once(start_sim):
    stream = api.SerialStream(start_sim("arm", "--hangup-after", "1").path)
    arm = api.Varnix3(stream)
    assert arm.device_wakeup()[1] == 4
    result, seconds = timed(arm.end_effector_force, [0, 0, 1])
    assert result == ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
    assert seconds < AT_ONCE


def test_module_handle_subclass_gets_information_and_status(start_sim):
    stream = api.SerialStream(start_sim("handle", "--device-id", "9", "--model", "2").path)
    handle = RecordingHandle(stream)
    handle.SendDeviceWakeup()
    assert handle.Receive() == 6
    assert handle.calls == [("info", (100, 9, 2, 1, 1))]
    handle.SendHandleState(9, 1, 200)
    handle.RequestStatus()
    assert handle.Receive() == 22
    kind, (device_id, quaternion, flag, hall, length, data) = handle.calls[-1]
    assert (kind, device_id, flag, length, data) == ("status", 9, 0, 1, [200])
    assert sum(c * c for c in quaternion) == pytest.approx(1.0, abs=1e-6)


def test_module_wireless_handle_streams_without_requests(start_sim):
    stream = api.SerialStream(start_sim("handle", "--stream", "100").path)
    handle = RecordingHandle(stream)
    counts, seconds = timed(lambda: [handle.Receive() for _ in range(10)])
    assert counts == [21] * 10
    assert seconds < 1.0
    assert [c[0] for c in handle.calls] == ["status"] * 10


# --- request trace and answer latency -----------------------------------------------------

def read_trace(path):
    return [line.split(" ") for line in path.read_text().splitlines()]


def test_arm_trace_has_each_request_before_its_reply(start_sim, tmp_path):
    trace = tmp_path / "arm.trace"
    sim = start_sim("arm", "--trace", str(trace))
    fd = sim.open()
    exchange(fd, b"\x0a", 22)
    exchange(fd, b"\x2a" + f32(0.5, -1.25, 0.0), 25)
    # The reply is in hand, so the line must be in the file already.
    lines = read_trace(trace)
    assert [line[1:] for line in lines] == [["0A"], ["2A", "0.5", "-1.25", "0"]]
    times = [float(line[0]) for line in lines]
    assert 0 <= times[0] <= times[1] < 10


def test_handle_trace_shows_state_message_values(start_sim, tmp_path):
    trace = tmp_path / "handle.trace"
    fd = start_sim("handle", "--trace", str(trace)).open()
    os.write(fd, b"\xdb\x07\x00\x02\x10\xff")
    exchange(fd, b"\xda", 24)
    assert [line[1:] for line in read_trace(trace)] == [["DB", "7", "16", "255"], ["DA"]]


def test_latency_holds_each_reply_back_without_stalling_the_simulator(start_sim):
    fd = start_sim("arm", "--latency-us", "50000").open()
    force = b"\x2a" + f32(0, 0, 0)
    began = time.monotonic()
    for _ in range(20):
        os.write(fd, force)  # back to back: replies are due 50 ms after each request
    replies = read_exact(fd, 20 * 25)
    # Answering one request at a time, 50 ms each, would take a second.
    assert 0.05 <= time.monotonic() - began < 0.5
    assert replies[::25] == b"\x2b" * 20


def test_usb_latency_answers_after_an_eighth_of_a_millisecond(start_sim):
    fd = start_sim("arm", "--usb-latency").open()
    for _ in range(5):
        began = time.monotonic()
        assert exchange(fd, b"\x2a" + f32(0, 0, 0), 25)[0] == 0x2B
        assert 0.000125 <= time.monotonic() - began < 1.0
