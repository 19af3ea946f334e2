"""Foxglove's well-known messages for the arm, the handle and the loop's fixtures, shared by
the live view and the recorder.

Quaternions: the handle and the bridge give w, x, y, z; Foxglove's messages (like ROS) take
x, y, z, w. Everything here takes the orvane order and writes the Foxglove one.
"""
import math
from typing import Any, Optional, Sequence

from foxglove.messages import (ArrowPrimitive, Color, CubePrimitive, FrameTransform, Pose,
                               PoseInFrame, Quaternion, SceneEntity, SceneUpdate,
                               SpherePrimitive, Timestamp, Vector3)

#: The frame the arm's positions are in, and the frames hung below it.
BASE_FRAME = "base"
TOOL_FRAME = "end_effector"
HANDLE_FRAME = "handle"
#: The force arrow's length per newton, m: 5 N (the default limit) draws 5 cm.
ARROW_M_PER_N = 0.01
_IDENTITY = (1.0, 0.0, 0.0, 0.0)
_FORCE_COLOR = Color(r=0.9, g=0.2, b=0.1, a=1.0)
_FIXTURE_COLOR = Color(r=0.3, g=0.5, b=0.9, a=0.35)


def stamp(ns: int) -> Timestamp:
    return Timestamp(sec=ns // 1_000_000_000, nsec=ns % 1_000_000_000)


def _finite3(v: Sequence[float]) -> Vector3:
    x, y, z = (float(c) if math.isfinite(c) else 0.0 for c in v)
    return Vector3(x=x, y=y, z=z)


def quaternion(wxyz: Optional[Sequence[float]]) -> Quaternion:
    """A unit quaternion from w, x, y, z; identity for none, all zeros (no handle yet) or
    anything non-finite."""
    q = tuple(float(c) for c in wxyz) if wxyz is not None else _IDENTITY
    norm = math.sqrt(sum(c * c for c in q)) if all(math.isfinite(c) for c in q) else 0.0
    if not norm > 1e-9 or not math.isfinite(norm):
        q, norm = _IDENTITY, 1.0
    w, x, y, z = (c / norm for c in q)
    return Quaternion(x=x, y=y, z=z, w=w)


def along(direction: Sequence[float]) -> Quaternion:
    """The rotation that turns +x (an arrow's axis) onto `direction`."""
    n = math.sqrt(sum(c * c for c in direction))
    if not (n > 0 and math.isfinite(n)):
        return Quaternion(x=0.0, y=0.0, z=0.0, w=1.0)
    dx, dy, dz = (c / n for c in direction)
    if dx < -1.0 + 1e-9:
        return Quaternion(x=0.0, y=0.0, z=1.0, w=0.0)  # half a turn about z
    # Half-way between +x and the direction: w = 1 + cos, axis = x cross direction.
    w, x, y, z = 1.0 + dx, 0.0, -dz, dy
    m = math.sqrt(w * w + y * y + z * z)
    return Quaternion(x=x / m, y=y / m, z=z / m, w=w / m)


def tool_transform(ns: int, position: Sequence[float]) -> FrameTransform:
    """The end effector in the base frame: the arm senses no orientation, so none turns."""
    return FrameTransform(timestamp=stamp(ns), parent_frame_id=BASE_FRAME,
                          child_frame_id=TOOL_FRAME, translation=_finite3(position),
                          rotation=quaternion(None))


def handle_transform(ns: int, wxyz: Sequence[float]) -> FrameTransform:
    """The handle turned at the end effector."""
    return FrameTransform(timestamp=stamp(ns), parent_frame_id=TOOL_FRAME,
                          child_frame_id=HANDLE_FRAME, translation=Vector3(x=0, y=0, z=0),
                          rotation=quaternion(wxyz))


def tool_pose(ns: int, position: Sequence[float],
              wxyz: Optional[Sequence[float]] = None) -> PoseInFrame:
    return PoseInFrame(timestamp=stamp(ns), frame_id=BASE_FRAME,
                       pose=Pose(position=_finite3(position), orientation=quaternion(wxyz)))


def force_arrow(ns: int, position: Sequence[float], force: Sequence[float]) -> SceneUpdate:
    """The force sent as an arrow from the end effector, ARROW_M_PER_N long per newton (no
    arrow while the force is zero)."""
    magnitude = math.sqrt(sum(c * c for c in force))
    arrows = []
    if magnitude > 1e-6 and math.isfinite(magnitude):
        length = magnitude * ARROW_M_PER_N
        head = min(0.01, 0.3 * length)
        arrows.append(ArrowPrimitive(
            pose=Pose(position=_finite3(position), orientation=along(force)),
            shaft_length=length - head, shaft_diameter=0.002, head_length=head,
            head_diameter=0.005, color=_FORCE_COLOR))
    return SceneUpdate(entities=[SceneEntity(timestamp=stamp(ns), frame_id=BASE_FRAME,
                                             id="force", arrows=arrows)])


def fixtures(ns: int, effects: Sequence[Any]) -> SceneUpdate:
    """Walls, boxes and spheres as translucent primitives; other effects draw nothing."""
    cubes, spheres = [], []
    for e in effects:
        kind = type(e).__name__
        if kind == "Wall":
            # A thin slab on the wall's plane, facing along its normal.
            cubes.append(CubePrimitive(
                pose=Pose(position=_finite3(e.point), orientation=along(e.normal)),
                size=Vector3(x=0.001, y=0.2, z=0.2), color=_FIXTURE_COLOR))
        elif kind == "Box":
            lo, hi = e.minimum, e.maximum
            cubes.append(CubePrimitive(
                pose=Pose(position=_finite3([(a + b) / 2 for a, b in zip(lo, hi)]),
                          orientation=quaternion(None)),
                size=_finite3([b - a for a, b in zip(lo, hi)]), color=_FIXTURE_COLOR))
        elif kind == "Sphere":
            d = 2 * e.radius
            spheres.append(SpherePrimitive(
                pose=Pose(position=_finite3(e.center), orientation=quaternion(None)),
                size=Vector3(x=d, y=d, z=d), color=_FIXTURE_COLOR))
    return SceneUpdate(entities=[SceneEntity(timestamp=stamp(ns), frame_id=BASE_FRAME,
                                             id="fixtures", cubes=cubes, spheres=spheres)])
