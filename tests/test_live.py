"""The arm live in Foxglove and on record in Foxglove's schemas: a viewer on loopback sees
orvane-demo's arm move, the arguments are checked, recordings decode."""
import math
import re
import socket
import subprocess
import sys
import time

import pytest

from sim_process import start_sim  # noqa: F401

pytest.importorskip("foxglove", reason="the live view needs foxglove-sdk (the live extra)")
pytest.importorskip("websockets")
pytest.importorskip("google.protobuf")
from foxglove_client import Viewer, decoder  # noqa: E402
from test_tools import env  # noqa: E402

from orvane.live import LiveView, parse_address  # noqa: E402

FOXGLOVE_TOPICS = {"/tf": "foxglove.FrameTransforms", "/arm/pose": "foxglove.PoseInFrame",
                   "/arm/force": "foxglove.SceneUpdate", "/scene/fixtures": "foxglove.SceneUpdate"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def demo_view(tmp_path):
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "orvane.demo", "--live", f"127.0.0.1:{port}",
                             "--seconds", "4", "--no-plot", "--push", "2", "--push-hz", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env(), cwd=tmp_path)
    lines = []
    while not any(line.startswith("Servo loop at ") for line in lines):
        line = proc.stdout.readline()
        assert line, proc.stderr.read()
        lines.append(line)
    yield proc, "".join(lines)
    proc.terminate()  # it stops its simulators, which hold its output open too
    proc.communicate(timeout=30)


def test_a_viewer_sees_the_demos_arm_move(demo_view):
    proc, out = demo_view
    url = re.search(r"Live view: (ws://\S+)", out).group(1)
    wall = float(re.search(r"wall at x = ([-+.\d]+) m", out).group(1))
    viewer = Viewer(url)
    schemas = {t: c["schemaName"] for t, c in viewer.channels.items()}
    assert FOXGLOVE_TOPICS.items() <= schemas.items()
    assert {"/loop/cycles", "/loop/stats"} <= schemas.keys()
    viewer.subscribe(*FOXGLOVE_TOPICS, "/loop/cycles", "/loop/stats")
    got = viewer.collect(1.5)
    viewer.close()
    by = {t: [(ns, m) for topic, ns, m in got if topic == t] for t in schemas}

    poses = [m.pose for _, m in by["/arm/pose"]]
    assert 30 <= len(poses) <= 130  # 60 Hz for 1.5 s, whatever the machine's load
    xs = [p.position.x for p in poses]
    assert max(xs) - min(xs) > 1e-4  # the push moves the arm
    assert all((p.orientation.x, p.orientation.y, p.orientation.z, p.orientation.w) ==
               (0, 0, 0, 1) for p in poses)
    cycles = [m for _, m in by["/loop/cycles"]]
    assert len(cycles) > 500 and all(b["sequence"] > a["sequence"]
                                     for a, b in zip(cycles, cycles[1:]))
    # What the viewer draws is what the loop measured.
    cx = [c["x"] for c in cycles]
    assert min(cx) - 1e-3 <= min(xs) and max(xs) <= max(cx) + 1e-3
    tf = by["/tf"][-1][1].transforms[0]
    assert (tf.parent_frame_id, tf.child_frame_id) == ("base", "end_effector")
    for _, update in by["/arm/force"]:
        for arrow in update.entities[0].arrows:
            assert arrow.shaft_length + arrow.head_length > 0
    cube = by["/scene/fixtures"][-1][1].entities[0].cubes[0]
    assert cube.pose.position.x == pytest.approx(wall, abs=1e-4)
    stats = by["/loop/stats"][-1][1]
    assert stats["cycles"] > 0 and stats["rate_hz"] > 0 and stats["non_finite"] == 0


def test_a_slow_viewer_does_not_hold_up_the_demo(demo_view):
    """A viewer that subscribes and never reads loses messages; the demo goes on."""
    proc, out = demo_view
    viewer = Viewer(re.search(r"Live view: (ws://\S+)", out).group(1))
    viewer.subscribe(*viewer.channels)
    stdout, stderr = proc.communicate(timeout=30)  # ends on time, its summary printed
    viewer.close()
    assert re.search(r"Summary: \d+ cycles", stdout), stderr
    # A starved simulator may stop answering on a loaded machine; nothing else may go wrong.
    assert proc.returncode == 0 or "the arm stopped answering" in stderr, stderr


@pytest.mark.parametrize("kwargs, error", [
    ({"port": -1}, "port"), ({"port": 65536}, "port"), ({"port": True}, "port"),
    ({"port": "8765"}, "port"), ({"host": ""}, "host"), ({"host": None}, "host"),
    ({"host": "a b"}, "host"), ({"rate_hz": 0}, "rate"), ({"rate_hz": math.nan}, "rate"),
    ({"rate_hz": math.inf}, "rate"), ({"rate_hz": -5}, "rate"),
])
def test_live_view_arguments_are_checked(kwargs, error):
    loop = type("Loop", (), {"_drain": lambda self, after: None})()
    with pytest.raises(ValueError, match=error):
        LiveView(loop, **kwargs)


def test_addresses_parse():
    assert parse_address("8765") == ("127.0.0.1", 8765)
    assert parse_address("0.0.0.0:0") == ("0.0.0.0", 0)
    assert parse_address("[::1]:9000") == ("::1", 9000)
    for bad in ("", "host:", "host:x", "99999", "-1", ":80"):
        with pytest.raises(ValueError):
            parse_address(bad)


def test_a_recording_carries_foxglove_schemas_that_decode(start_sim, tmp_path):
    mcap_reader = pytest.importorskip("mcap.reader")
    from orvane import recording
    from orvane.haptics import ServoLoop

    sim = start_sim("arm")
    path = tmp_path / "arm.mcap"
    with ServoLoop(sim.path, rate_hz=500, record=str(path)) as loop:
        loop.force = (2.0, 0.0, 0.0)
        time.sleep(0.5)
    rec = recording.load(str(path))  # the recording's own reader passes over them
    positions = rec["position"].tolist()
    with open(path, "rb") as f:
        messages = list(mcap_reader.make_reader(f).iter_messages(
            topics=["/tf", "/arm/pose", "/arm/force"]))
    seen = {}
    for schema, channel, message in messages:
        assert schema.encoding == "protobuf" and channel.message_encoding == "protobuf"
        assert FOXGLOVE_TOPICS[channel.topic] == schema.name
        seen.setdefault(channel.topic, []).append(decoder(schema.name, schema.data)(message.data))
    poses = seen["/arm/pose"]
    span = float(rec["time"][-1] - rec["time"][0])
    # 100 a second of the loop's time (fewer only where its cycles were late by 10 ms).
    assert span * 50 <= len(poses) <= span * 100 + 2 and len(seen["/tf"]) == len(poses)
    for pose in poses:  # each one a recorded cycle's position
        p = pose.pose.position
        assert [p.x, p.y, p.z] in positions
    arrows = [a for u in seen["/arm/force"] for a in u.entities[0].arrows]
    assert arrows and all(a.pose.orientation.w == pytest.approx(1.0) for a in arrows)


def test_the_bridge_serves_its_loop_and_handle_live(start_sim):
    pytest.importorskip("zenoh")
    from test_bridge import PREFIX, free_endpoint, run_bridge

    arm, handle = start_sim("arm"), start_sim("handle")
    proc = run_bridge("--arm", arm.path, "--handle", handle.path, "--listen", free_endpoint(),
                      "--prefix", PREFIX, "--foxglove", f"127.0.0.1:{free_port()}",
                      "--seconds", "3")
    try:
        lines = proc.stdout.readline() + proc.stdout.readline()
        match = re.search(r"^orvane-bridge: live view on (ws://127\.0\.0\.1:\d+)$", lines, re.M)
        assert match, lines + proc.stderr.read()
        url = match.group(1)
        viewer = Viewer(url)
        viewer.subscribe("/handle/pose", "/tf")
        got = viewer.collect(1.0)
        viewer.close()
    finally:
        out, err = proc.communicate(timeout=20)
    assert proc.returncode == 0 or "the arm stopped answering" in err, err  # a starved sim
    turns = [m.pose.orientation for t, _, m in got if t == "/handle/pose"]
    assert turns and all(abs(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w - 1) < 1e-6
                         for q in turns)
    assert len({(q.y, q.z) for q in turns}) > 1  # the simulated handle turns
    frames = [[(f.parent_frame_id, f.child_frame_id) for f in m.transforms]
              for t, _, m in got if t == "/tf"]
    assert ("end_effector", "handle") in frames[-1]


def until(viewer, found, seconds=20.0):
    """Reads the viewer until found(topic, message) is true for a message; that message."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for topic, _, message in viewer.collect(0.2):
            if found(topic, message):
                return message
    raise AssertionError("the viewer never saw it")


@pytest.fixture
def served_loop(start_sim):
    """A loop on a simulated arm with a live view on a free loopback port, and a viewer."""
    from orvane.haptics import ServoLoop

    def serve(before=None):
        sim = start_sim("arm")
        made = before() if before else None
        loop = ServoLoop(sim.path, rate_hz=500, realtime=False).__enter__()
        view = LiveView(loop, port=0).start()
        viewer = Viewer(view.url)
        opened.append((loop, view, viewer))
        return loop, view, viewer, made

    opened = []
    yield serve
    for loop, view, viewer in opened:
        viewer.close()
        view.stop()
        loop.stop()


def test_the_loops_walls_and_fixtures_come_and_go_unasked(served_loop):
    from orvane.haptics import Box, Sphere, Wall

    loop, view, viewer, _ = served_loop()
    viewer.subscribe("/scene/fixtures")
    loop.workspace(offset=(0.03, 0.0, 0.0))  # fixtures are drawn where the arm meets them
    wall = loop.add(Wall(point=(0.1, 0.0, 0.0), normal=(-2.0, 0.0, 0.0), stiffness=100.0))
    ball = loop.add(Sphere(center=(0.2, 0.0, 0.0), radius=0.05))
    view.show(Box(minimum=(0, 0, 0), maximum=(0.1, 0.2, 0.3)))
    assert [h.id for h in loop.effects()] == [wall.id, ball.id]

    def drawn(update):
        return {e.id: e for e in update.entities}

    def ball_mapped(update):  # the view may have drawn the ball before the map changed
        ball_drawn = drawn(update).get(f"effect/{ball.id}")
        return ball_drawn and abs(ball_drawn.spheres[0].pose.position.x - 0.17) < 1e-9

    keys = {f"effect/{wall.id}", f"effect/{ball.id}", "shown/0"}
    entities = drawn(until(viewer, lambda t, m: keys <= drawn(m).keys() and ball_mapped(m)))
    cube = entities[f"effect/{wall.id}"].cubes[0]
    assert (cube.pose.position.x, cube.pose.orientation.z) == (pytest.approx(0.1),
                                                               pytest.approx(1.0))
    assert entities[f"effect/{ball.id}"].spheres[0].size.x == pytest.approx(0.1)
    assert entities["shown/0"].cubes[0].size.z == pytest.approx(0.3)

    wall.remove()
    update = until(viewer, lambda t, m: any(d.id == f"effect/{wall.id}" for d in m.deletions))
    assert f"effect/{wall.id}" not in drawn(update) and f"effect/{ball.id}" in drawn(update)
    assert [h.id for h in loop.effects()] == [ball.id] and view.error is None


def test_a_scenes_bodies_follow_the_scene(served_loop):
    mujoco = pytest.importorskip("mujoco")
    from orvane import scenes
    from orvane.haptics import MujocoScene

    # Compiled before the loop opens: MuJoCo's compiler holds the interpreter lock.
    loop, view, viewer, (model, data) = served_loop(lambda: scenes.load(scenes.demo_xml()))
    viewer.subscribe("/scene/bodies")
    scene = loop.add(MujocoScene(model, data))
    assert loop.scene is scene

    def box_at(message):
        boxes = [e for e in message.entities if e.id == "body/box"]
        return boxes[0].cubes[0].pose if boxes else None

    first = box_at(until(viewer, lambda t, m: box_at(m) is not None))
    assert all(math.isfinite(v) for v in (first.position.x, first.position.y, first.position.z,
                                          first.orientation.w))
    box = mujoco.mj_name2id(model, mujoco.mjtObj.mjOBJ_BODY, "box")
    qpos = list(scene.snapshot().qpos)
    at = model.jnt_qposadr[model.body_jntadr[box]]
    qpos[at + 1] += 0.1  # the box moved 10 cm along y
    scene.set_state(qpos, [0.0] * model.nv)
    # The tool may push the box about meanwhile: the jump tells this move.
    until(viewer, lambda t, m: box_at(m) is not None
          and box_at(m).position.y > first.position.y + 0.05)
    assert scene.remove() and loop.scene is None
    until(viewer, lambda t, m: any(d.type == 1 for d in m.deletions))  # all taken away
    assert view.error is None


def test_the_layout_names_only_topics_the_view_and_recordings_publish(start_sim, tmp_path):
    import json
    from pathlib import Path

    mcap_reader = pytest.importorskip("mcap.reader")
    from orvane.haptics import HandleListener, ServoLoop

    layout = json.loads((Path(__file__).parents[1] / "examples" / "foxglove-layout.json")
                        .read_text())
    panels = layout["configById"]
    named = {p["value"].split(".")[0] for c in panels.values() for p in c.get("paths", [])}
    shown_3d = {t for c in panels.values() for t in c.get("topics", {})}
    arm, handle = start_sim("arm"), start_sim("handle")
    with ServoLoop(arm.path, rate_hz=500, realtime=False,
                   record=str(tmp_path / "arm.mcap")) as loop, \
            HandleListener(handle.path, record=str(tmp_path / "handle.mcap")) as listener:
        with LiveView(loop, listener, port=0) as view:
            viewer = Viewer(view.url)
            live = {t: c["schemaName"] for t, c in viewer.channels.items()}
            viewer.close()
        time.sleep(0.3)
    recorded = set()
    for name in ("arm.mcap", "handle.mcap"):
        with open(tmp_path / name, "rb") as f:
            recorded |= {c.topic for c in mcap_reader.make_reader(f).get_summary()
                         .channels.values()}
    assert named | shown_3d <= live.keys() | recorded, (named | shown_3d) - live.keys() - recorded
    # And the 3D panel shows everything drawn.
    assert {t for t, s in live.items() if s == "foxglove.SceneUpdate"} <= shown_3d
