"""The scene models and the MuJoCo helpers of orvane.scenes (no servo loop needed)."""
import sys

import pytest

from orvane import scenes


@pytest.mark.parametrize("bodies", [0, -1, 401, 2.5, True, "40"])
def test_large_scene_refuses_odd_sizes(bodies):
    with pytest.raises(ValueError):
        scenes.large_xml(bodies)


def test_missing_mujoco_says_how_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "mujoco", None)
    # The extra's own requirement as the installed metadata names it (a build folder on the
    # path has none: the checkout's extra).
    with pytest.raises(ImportError, match=r"pip install '(mujoco[<>=,.0-9]+|\.\[mujoco\])'"):
        scenes.load(scenes.demo_xml())


@pytest.mark.parametrize("xml, bodies", [(scenes.demo_xml(), 2), (scenes.large_xml(40), 41)])
def test_scenes_rest_on_the_table_with_a_weightless_tool(xml, bodies):
    mujoco = pytest.importorskip("mujoco")
    model, data = scenes.load(xml)
    assert model.nbody == bodies + 1  # and the world
    mujoco.mj_forward(model, data)
    start = data.body("tool").xpos.copy()
    before = data.qpos.copy()
    for _ in range(500):
        mujoco.mj_step(model, data)
    # Nothing falls through or flies off; the tool floats where it was put.
    assert abs(data.qpos - before).max() < 2e-3
    assert abs(data.body("tool").xpos - start).max() < 1e-9
    assert scenes.library_path(mujoco).startswith(mujoco.__path__[0])
