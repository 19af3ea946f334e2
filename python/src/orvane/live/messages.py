"""Foxglove's well-known messages for the arm, the handle and the loop's fixtures, shared by
the live view and the recorder.

Quaternions: the handle and the bridge give w, x, y, z; Foxglove's messages (like ROS) take
x, y, z, w. Everything here takes the orvane order and writes the Foxglove one.
"""
import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

from foxglove.messages import (ArrowPrimitive, Color, CubePrimitive, FrameTransform, Pose,
                               PoseInFrame, Quaternion, SceneEntity, SceneEntityDeletion,
                               SceneEntityDeletionType, SceneUpdate, SpherePrimitive, Timestamp,
                               Vector3)

#: The frame the arm's positions are in, and the frames hung below it.
BASE_FRAME = "base"
TOOL_FRAME = "end_effector"
HANDLE_FRAME = "handle"
#: The force arrow's length per newton, m: 5 N (the default limit) draws 5 cm.
ARROW_M_PER_N = 0.01
_IDENTITY = (1.0, 0.0, 0.0, 0.0)
_FORCE_COLOR = Color(r=0.9, g=0.2, b=0.1, a=1.0)
_FIXTURE_COLOR = Color(r=0.3, g=0.5, b=0.9, a=0.35)
_GUIDE_COLOR = Color(r=0.3, g=0.8, b=0.4, a=0.35)
_XYZW_IDENTITY = (0.0, 0.0, 0.0, 1.0)


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
    x, y, z, w = _along(direction)
    return Quaternion(x=x, y=y, z=z, w=w)


def _along(direction: Sequence[float]) -> Tuple[float, float, float, float]:
    n = math.sqrt(sum(c * c for c in direction))
    if not (n > 0 and math.isfinite(n)):
        return _XYZW_IDENTITY
    dx, dy, dz = (c / n for c in direction)
    if dx < -1.0 + 1e-9:
        return (0.0, 0.0, 1.0, 0.0)  # half a turn about z
    # Half-way between +x and the direction: w = 1 + cos, axis = x cross direction.
    w, x, y, z = 1.0 + dx, 0.0, -dz, dy
    m = math.sqrt(w * w + y * y + z * z)
    return (x / m, y / m, z / m, w / m)


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


def effect_entity(ns: int, key: str, effect: Any, scene: "SceneMap") -> Optional[SceneEntity]:
    """An effect as translucent primitives, or None for one that has no shape (springs,
    dampers, constant forces). A wall acts on the arm's own coordinates; guides, spheres and
    boxes are fixtures in the scene's, drawn where the workspace map puts them."""
    kind = type(effect).__name__
    base = SceneMap()
    cubes, spheres = [], []
    if kind == "Wall":
        # A thin slab on the wall's plane, facing along its normal.
        cubes.append(CubePrimitive(pose=base.pose(effect.point, _along(effect.normal)),
                                   size=Vector3(x=0.001, y=0.2, z=0.2), color=_FIXTURE_COLOR))
    elif kind == "PlaneGuide":
        cubes.append(CubePrimitive(pose=scene.pose(effect.point, _along(effect.normal)),
                                   size=scene.size((0.001, 0.3, 0.3)), color=_GUIDE_COLOR))
    elif kind == "LineGuide":
        cubes.append(CubePrimitive(pose=scene.pose(effect.point, _along(effect.direction)),
                                   size=scene.size((0.4, 0.002, 0.002)), color=_GUIDE_COLOR))
    elif kind == "Box":
        lo, hi = effect.minimum, effect.maximum
        cubes.append(CubePrimitive(
            pose=scene.pose([(a + b) / 2 for a, b in zip(lo, hi)], _XYZW_IDENTITY),
            size=scene.size([b - a for a, b in zip(lo, hi)]), color=_FIXTURE_COLOR))
    elif kind == "Sphere":
        d = 2 * effect.radius
        spheres.append(SpherePrimitive(pose=scene.pose(effect.center, _XYZW_IDENTITY),
                                       size=scene.size((d, d, d)), color=_FIXTURE_COLOR))
    else:
        return None
    return SceneEntity(timestamp=stamp(ns), frame_id=BASE_FRAME, id=key, cubes=cubes,
                       spheres=spheres)


def scene_update(ns: int, entities: Sequence[SceneEntity], gone: Sequence[str] = (),
                 everything_gone: bool = False) -> SceneUpdate:
    """Entities drawn or replaced; those named in `gone` (or all before these, with
    everything_gone) taken away first."""
    deletions = [SceneEntityDeletion(timestamp=stamp(ns), type=SceneEntityDeletionType.All)
                 ] if everything_gone else []
    deletions += [SceneEntityDeletion(timestamp=stamp(ns),
                                      type=SceneEntityDeletionType.MatchingId, id=key)
                  for key in gone]
    return SceneUpdate(deletions=deletions, entities=list(entities))


class SceneMap:
    """Scene coordinates to the arm's (the base frame) by the loop's workspace map,
    scene = scale R device + offset; identity when made without one."""

    def __init__(self, workspace: Optional[Dict[str, Any]] = None) -> None:
        import numpy as np

        self.scale = float(workspace["scale"]) if workspace else 1.0
        self.offset = np.array(workspace["offset"] if workspace else (0.0, 0.0, 0.0), float)
        self.rotation = np.array(workspace["rotation"] if workspace else np.eye(3), float)
        if not (math.isfinite(self.scale) and self.scale != 0):
            self.scale = 1.0

    def points(self, p: Any) -> Any:
        """Rows of scene positions as rows of base ones: R^T (p - offset) / scale."""
        import numpy as np

        return (np.asarray(p, float) - self.offset) @ self.rotation / self.scale

    def turns(self, matrices: Any) -> Any:
        """Rows of 3x3 scene orientations (row-major, as MuJoCo keeps them) in the base
        frame, as rows of x, y, z, w quaternions."""
        import numpy as np

        m = self.rotation.T @ np.asarray(matrices, float).reshape(-1, 3, 3)
        return matrix_quaternions(m)

    def pose(self, position: Sequence[float], xyzw: Sequence[float]) -> Pose:
        import numpy as np

        x, y, z, w = xyzw
        m = _quaternion_matrix(w, x, y, z)
        q = matrix_quaternions(self.rotation.T @ np.asarray(m)[None])[0]
        return Pose(position=_finite3(self.points([position])[0]),
                    orientation=Quaternion(x=q[0], y=q[1], z=q[2], w=q[3]))

    def size(self, size: Sequence[float]) -> Vector3:
        return _finite3([abs(c / self.scale) for c in size])


def _quaternion_matrix(w: float, x: float, y: float, z: float) -> List[List[float]]:
    return [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
            [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
            [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]


def matrix_quaternions(m: Any) -> Any:
    """Rotation matrices (n, 3, 3) as unit quaternions (n, 4) x, y, z, w; each from the
    largest of its four candidates, so none loses precision near a half turn."""
    import numpy as np

    m = np.asarray(m, float).reshape(-1, 3, 3)
    a, b, c = m[:, 0, 0], m[:, 0, 1], m[:, 0, 2]
    d, e, f = m[:, 1, 0], m[:, 1, 1], m[:, 1, 2]
    g, h, k = m[:, 2, 0], m[:, 2, 1], m[:, 2, 2]
    t = np.stack([1 + a + e + k, 1 + a - e - k, 1 - a + e - k, 1 - a - e + k], axis=1)
    pick = np.argmax(t, axis=1)
    s = np.sqrt(np.maximum(np.take_along_axis(t, pick[:, None], 1)[:, 0], 1e-12)) * 2
    candidates = np.stack([  # (4 candidates, w x y z, n)
        np.stack([s / 4, (h - f) / s, (c - g) / s, (d - b) / s]),
        np.stack([(h - f) / s, s / 4, (b + d) / s, (c + g) / s]),
        np.stack([(c - g) / s, (b + d) / s, s / 4, (f + h) / s]),
        np.stack([(d - b) / s, (c + g) / s, (f + h) / s, s / 4])])
    q = candidates[pick, :, np.arange(len(m))]
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    return q[:, [1, 2, 3, 0]]
