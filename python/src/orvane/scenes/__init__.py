"""Scenes for the arm to touch, as MuJoCo models: the demo's table with a box to push, and a
larger one of a few dozen bodies for the benchmark; plus finding the MuJoCo library that the
``mujoco`` package loaded, which the native scene steps on the servo thread.

Every scene has a free-floating, weightless body named ``tool`` that the arm drives. Units
are metres and kilograms; the table top lies at z = 0.
"""
import glob
import os
from typing import Any, Tuple

from orvane._extras import install_hint

#: Where the tool starts in the demo scene: the arm's origin maps here.
DEMO_TOOL_START = (-0.045, 0.0, 0.02)
#: Where the box starts in the demo scene.
DEMO_BOX_START = (0.0, 0.0, 0.025)

_MISSING = (
    "MuJoCo scenes need the mujoco package: " + install_hint("mujoco")
)

_TABLE = (
    '<geom name="table" type="box" pos="0 0 -0.02" size="{hx} {hy} 0.02" '
    'rgba="0.55 0.4 0.3 1" friction="0.6 0.005 0.0001"/>'
)
_TOOL = (
    '<body name="tool" pos="{x} {y} {z}" gravcomp="1">'
    '<freejoint/><geom name="tool" type="sphere" size="0.012" mass="0.01" '
    'rgba="0.9 0.2 0.2 1" friction="0.3 0.005 0.0001"/></body>'
)


def _scene(name: str, table: Tuple[float, float], bodies: str, tool: Tuple[float, ...]) -> str:
    return (
        f'<mujoco model="{name}">'
        # A millisecond, as at 1 kHz; the scene sets the loop's own period when it starts.
        '<option timestep="0.001"/>'
        "<worldbody>"
        '<light pos="0 0 1" dir="0 0 -1"/>'
        + _TABLE.format(hx=table[0], hy=table[1])
        + bodies
        + _TOOL.format(x=tool[0], y=tool[1], z=tool[2])
        + "</worldbody></mujoco>"
    )


def demo_xml() -> str:
    """A table with a 5 cm box on it and the tool beside the box, on the -x side. The box is
    light (80 g, friction 0.6 with the table: it starts to slide at about 0.47 N), so the
    demo's 1 N push moves it across the table."""
    x, y, z = DEMO_BOX_START
    box = (
        f'<body name="box" pos="{x} {y} {z}"><freejoint/>'
        '<geom name="box" type="box" size="0.025 0.025 0.025" mass="0.08" '
        'rgba="0.2 0.4 0.9 1" friction="0.5 0.005 0.0001"/></body>'
    )
    return _scene("orvane-push-box", (0.3, 0.2), box, DEMO_TOOL_START)


def large_xml(bodies: int = 40) -> str:
    """A table with `bodies` boxes, balls and capsules resting on it in a grid."""
    if not isinstance(bodies, int) or isinstance(bodies, bool) or not 1 <= bodies <= 400:
        raise ValueError("bodies must be a whole number from 1 to 400")
    columns = 8
    rows = (bodies + columns - 1) // columns
    parts = []
    for i in range(bodies):
        x = -0.21 + 0.06 * (i % columns)
        y = -0.03 * (rows - 1) + 0.06 * (i // columns)
        kind = i % 3
        if kind == 0:
            geom = 'type="box" size="0.015 0.015 0.015"'
            z = 0.015
        elif kind == 1:
            geom = 'type="sphere" size="0.015"'
            z = 0.015
        else:
            geom = 'type="capsule" size="0.01 0.015" euler="90 0 0"'
            z = 0.01
        parts.append(
            f'<body name="body{i}" pos="{x:.3f} {y:.3f} {z}"><freejoint/>'
            f'<geom {geom} mass="0.05"/></body>'
        )
    half_y = max(0.2, 0.03 * rows + 0.05)
    return _scene(f"orvane-{bodies}-bodies", (0.3, half_y), "".join(parts), (-0.27, 0.0, 0.02))


def require_mujoco() -> Any:
    """The mujoco module, or ImportError saying how to install it."""
    try:
        import mujoco  # type: ignore[import-not-found,import-untyped]
    except ImportError as e:
        raise ImportError(_MISSING) from e
    return mujoco


def load(xml: str) -> Tuple[Any, Any]:
    """The model and a fresh data of an MJCF text."""
    mujoco = require_mujoco()
    model = mujoco.MjModel.from_xml_string(xml)
    return model, mujoco.MjData(model)


def library_path(mujoco: Any = None) -> str:
    """The file of the MuJoCo library that the mujoco package ships and loaded."""
    if mujoco is None:
        mujoco = require_mujoco()
    folder = os.path.dirname(os.path.abspath(mujoco.__file__))
    for pattern in ("libmujoco.so*", "libmujoco*.dylib", "mujoco.dll"):
        found = sorted(glob.glob(os.path.join(folder, pattern)))
        if found:
            return found[0]
    raise ImportError(f"no MuJoCo library in {folder}: the mujoco package looks broken")


__all__ = [
    "DEMO_BOX_START",
    "DEMO_TOOL_START",
    "demo_xml",
    "large_xml",
    "library_path",
    "load",
    "require_mujoco",
]
