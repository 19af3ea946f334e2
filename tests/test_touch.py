"""Fixtures, couplings, the workspace map and clutch, and MuJoCo scenes on the servo loop,
against a scripted arm that holds still (so the force on the wire is known exactly)."""
import math
import sys
import time

import pytest

from test_haptics import ScriptedArm, wait_until  # noqa: F401

haptics = pytest.importorskip("orvane.haptics")
from orvane import scenes  # noqa: E402
from orvane.haptics import (  # noqa: E402
    Box, Coupling, LineGuide, MujocoScene, PlaneGuide, ServoLoop, Sphere)

NAN = float("nan")


@pytest.fixture
def held_arm(port):
    a = ScriptedArm(port, position=(0.05, 0.0, 0.0))
    yield a
    a.stop()


def last_forces(arm, n=5):
    # Requests written before a change may still sit unread in the port when the change is
    # made (a busy machine runs the scripted arm late): the last n of n + 20 more are after it.
    arm.wait_for(len(arm.requests) + n + 20)
    return arm.forces()[-n:]


@pytest.mark.parametrize("make", [
    lambda: Sphere((0, 0, 0), radius=0.0),
    lambda: Sphere(center=(NAN, 0, 0), radius=1.0),
    lambda: Box(minimum=(0, 0, 0), maximum=(1, 0, 1)),
    lambda: PlaneGuide(normal=(0, 0, 0)),
    lambda: LineGuide(direction=(1, 0, 0), stiffness=-1.0),
    lambda: Coupling(stiffness=NAN),
    lambda: Coupling(max_force=0.0),
])
def test_bad_values_are_refused_when_made(make):
    with pytest.raises(ValueError):
        make()


def test_a_loop_that_starts_inside_a_sphere_eases_the_push_in(port, held_arm):
    loop = ServoLoop(port.path, rate_hz=500, max_force=10.0, realtime=False)
    loop.add(Sphere(center=(0, 0, 0), radius=0.1, stiffness=100.0))  # 5 cm inside
    with loop:
        held_arm.wait_for(5)
        early = held_arm.forces()[:5]
        time.sleep(0.7)
        late = last_forces(held_arm)
    assert all(f[0] < 1.0 for f in early), early
    assert all(f == pytest.approx((5.0, 0, 0), abs=1e-5) for f in late), late


def test_a_coupling_pulls_through_the_workspace_and_the_clutch_frees_the_arm(port, held_arm):
    with ServoLoop(port.path, rate_hz=500, max_force=10.0, realtime=False) as loop:
        time.sleep(0.6)  # past the soft start
        coupling = loop.add(Coupling(target=(0.06, 0, 0), stiffness=100.0))
        assert all(f == pytest.approx((1.0, 0, 0)) for f in last_forces(held_arm))
        assert coupling.state().force == pytest.approx((1.0, 0, 0))
        # Twice the scale: 1 cm in the scene becomes 2 cm of offset, twice the force back.
        mapped = loop.workspace(scale=2.0, offset=(-0.04, 0, 0))
        assert mapped["scale"] == 2.0
        with pytest.raises(ValueError, match="^workspace: the quaternion must be finite and not"):
            loop.workspace(rotation=(0.0, 0.0, 0.0, 0.0))
        assert all(f == pytest.approx((0.0, 0, 0), abs=1e-6) for f in last_forces(held_arm))
        coupling.update(target=(0.07, 0, 0))
        time.sleep(0.1)
        assert all(f == pytest.approx((2 * 1.0, 0, 0)) for f in last_forces(held_arm))
        loop.clutch(True)
        assert loop.clutched
        time.sleep(0.05)
        assert all(f == (0.0, 0.0, 0.0) for f in last_forces(held_arm))
        loop.clutch(False)
        # Released where it was held: the scene goes on from there, nothing jumps.
        assert all(abs(f[0]) < 2.0 + 1e-6 for f in last_forces(held_arm, 20))
        assert coupling.remove()
        assert not coupling.active and not coupling.remove()


def test_a_coupling_reports_the_force_the_arm_felt(port, held_arm):
    # Rotated half a turn about z and scaled by 2: scene = 2 R x, so 2 R^T f reaches the arm.
    with ServoLoop(port.path, rate_hz=500, max_force=3.0, realtime=False) as loop:
        loop.workspace(scale=2.0, rotation=(0.0, 0.0, 0.0, 1.0))
        coupling = loop.add(Coupling(target=(-0.2, 0.0, 0.0), stiffness=1e300,
                                     passivity=True, passivity_max_damping=10.0))
        time.sleep(0.6)  # past the soft start
        wire = last_forces(held_arm)
        felt = coupling.state()
        assert all(f == pytest.approx((3.0, 0, 0), rel=1e-6) for f in wire), wire
        # In scene coordinates: the wire's 3 N over the scale, turned back.
        assert felt.force == pytest.approx((-1.5, 0, 0), rel=1e-6)
        # The arm is held still: it neither took nor gave energy.
        assert abs(felt.observed_energy_j) < 1e-6
        with pytest.raises(ValueError, match=r"at most 12.5 N s/m"):
            coupling.passivity_max_damping = 1e6
        assert coupling.passivity_max_damping == 10.0
        with pytest.raises(ValueError, match=r"at most 12.5 N s/m"):
            loop.add(Coupling(passivity=True))  # the default 20 is for 1 kHz


def test_a_coupling_refuses_stamps_that_would_hold_back_every_later_update(port, held_arm):
    with ServoLoop(port.path, rate_hz=500, realtime=False) as loop:
        coupling = loop.add(Coupling(target=(0.05, 0, 0), stiffness=100.0))
        for stamp, error in [(time.monotonic_ns() + 10**10, ValueError), (2**64, ValueError),
                             ("now", TypeError)]:
            with pytest.raises(error):
                coupling.update(target=(0.06, 0, 0), stamp_ns=stamp)
        coupling.update(target=(0.06, 0, 0))
        wait_until(lambda: coupling.state().target == pytest.approx((0.06, 0, 0)), 2.0)


def test_a_tool_pressed_into_a_fixed_box_feels_its_face(port, held_arm):
    mujoco = pytest.importorskip("mujoco")
    xml = ('<mujoco><worldbody><geom type="box" pos="0.1 0 0" size="0.05 0.05 0.05"/>'
           '<body name="tool" gravcomp="1"><freejoint/><geom size="0.01" mass="0.1"/></body>'
           '</worldbody></mujoco>')
    model = mujoco.MjModel.from_xml_string(xml)
    data = mujoco.MjData(model)
    with ServoLoop(port.path, rate_hz=500, max_force=3.0, realtime=False) as loop:
        # The arm at x = 0.05 maps to 0.08, 3 cm inside the box.
        loop.workspace(offset=(0.03, 0, 0))
        scene = loop.add(MujocoScene(model, data, stiffness=100.0, damping=1.0))
        time.sleep(1.0)
        forces = last_forces(held_arm)
        snapshot = scene.snapshot()
        stats = scene.stats()
    for f in forces:
        assert -3.0 - 1e-6 <= f[0] < -2.0 and abs(f[1]) + abs(f[2]) < 0.05 * abs(f[0]), f
    assert snapshot.contacts >= 1 and snapshot.tool[0] < 0.045
    assert stats["cycles"] > 100 and stats["fault"] is None
    assert loop.fault is None or not loop.fault


def test_scene_arguments_are_checked(port, held_arm, monkeypatch):
    mujoco = pytest.importorskip("mujoco")
    model, data = scenes.load(scenes.demo_xml())
    with ServoLoop(port.path, rate_hz=500, realtime=False) as loop:
        with pytest.raises(ValueError, match="no body named 'hand'"):
            loop.add(MujocoScene(model, data, body="hand"))
        with pytest.raises(ValueError, match="substeps"):
            loop.add(MujocoScene(model, data, substeps=0))
        assert loop.running
    monkeypatch.setitem(sys.modules, "mujoco", None)
    with pytest.raises(ImportError, match="pip install"):
        MujocoScene(model, data)
    del mujoco
