"""A MuJoCo scene's bodies for the live view: their geoms as primitives, where the scene's
snapshots put them. The geometry is read once from the model the scene copied when it was
added to the loop; the poses come from each snapshot's qpos through MuJoCo's kinematics on
a data of the view's own, so nothing the servo thread steps is ever read."""
from typing import Any, Dict, List, Optional

from foxglove.messages import (Color, CubePrimitive, CylinderPrimitive, Pose, Quaternion,
                               SceneEntity, SpherePrimitive, Vector3)

from orvane.live.messages import BASE_FRAME, SceneMap, matrix_quaternions, stamp

# MuJoCo's geom types (mjtGeom); height fields, ellipsoids' exact shape and meshes are
# approximated or left out: a mesh would need its vertices sent, so it is not drawn.
_PLANE, _HFIELD, _SPHERE, _CAPSULE, _ELLIPSOID, _CYLINDER, _BOX = range(7)
_DRAWN = {_PLANE, _SPHERE, _CAPSULE, _ELLIPSOID, _CYLINDER, _BOX}
#: The side of a plane that MuJoCo draws without end (size 0), m.
_ENDLESS_PLANE_M = 2.0
#: Geom groups MuJoCo's own viewer shows by default; the others are helpers left out.
_VISIBLE_GROUPS = 3


class SceneBodies:
    """What a MujocoScene (added to a loop) looks like, one entity per body with geoms."""

    def __init__(self, scene: Any) -> None:
        import numpy as np

        from orvane import scenes

        mujoco = scenes.require_mujoco()
        model, mocap_pos, mocap_quat = scene._drawn
        self.scene = scene
        self._kinematics = mujoco.mj_kinematics
        self.model = model
        self.data = mujoco.MjData(model)
        self.data.mocap_pos[:] = mocap_pos
        self.data.mocap_quat[:] = mocap_quat
        self.geoms = np.array([g for g in range(model.ngeom)
                               if model.geom_type[g] in _DRAWN
                               and model.geom_group[g] < _VISIBLE_GROUPS], dtype=int)
        self.bodies: Dict[int, str] = {}
        self.colors: List[Color] = []
        for g in self.geoms:
            b = int(model.geom_bodyid[g])
            self.bodies.setdefault(b, "body/" + (mujoco.mj_id2name(model, mujoco.mjtObj.mjOBJ_BODY,
                                                                    b) or str(b)))
            mat = int(model.geom_matid[g])
            r, gr, bl, a = (model.mat_rgba[mat] if mat >= 0 else model.geom_rgba[g])
            self.colors.append(Color(r=float(r), g=float(gr), b=float(bl), a=float(a)))
        self.kinds = [(int(model.geom_type[g]), int(model.geom_bodyid[g])) for g in self.geoms]
        self.cycle: Optional[int] = None

    def entities(self, ns: int, scene_map: SceneMap) -> List[SceneEntity]:
        """The bodies as the newest snapshot has them, in the base frame."""
        import numpy as np

        snap = self.scene.snapshot()
        self.cycle = snap.cycle
        self.data.qpos[:] = snap.qpos
        self._kinematics(self.model, self.data)
        g = self.geoms
        turned = scene_map.rotation.T @ self.data.geom_xmat[g].reshape(-1, 3, 3)
        positions = scene_map.points(self.data.geom_xpos[g])
        quats = matrix_quaternions(turned)
        finite = (np.isfinite(positions).all(axis=1) & np.isfinite(quats).all(axis=1)).tolist()
        s = 1.0 / abs(scene_map.scale)
        sizes = (self.model.geom_size[g] * s).tolist()
        axes = (turned[:, :, 2] * np.asarray(sizes)[:, 1:2]).tolist()  # capsules' half-axis
        positions, quats = positions.tolist(), quats.tolist()
        parts: Dict[int, Dict[str, list]] = {b: {"cubes": [], "spheres": [], "cylinders": []}
                                             for b in self.bodies}
        for i, (kind, body) in enumerate(self.kinds):
            if not finite[i]:
                continue
            (x, y, z), (qx, qy, qz, qw), size = positions[i], quats[i], sizes[i]
            color = self.colors[i]
            turn = Quaternion(x=qx, y=qy, z=qz, w=qw)
            pose = Pose(position=Vector3(x=x, y=y, z=z), orientation=turn)
            out = parts[body]
            if kind == _PLANE:
                sx, sy = (c * 2 if c > 0 else _ENDLESS_PLANE_M * s for c in size[:2])
                out["cubes"].append(CubePrimitive(pose=pose, size=Vector3(x=sx, y=sy, z=0.001),
                                                  color=color))
            elif kind == _BOX:
                out["cubes"].append(CubePrimitive(pose=pose, size=_vec(size, 2), color=color))
            elif kind == _ELLIPSOID:
                out["spheres"].append(SpherePrimitive(pose=pose, size=_vec(size, 2), color=color))
            elif kind == _SPHERE:
                out["spheres"].append(SpherePrimitive(pose=pose, size=_vec([size[0]] * 3, 2),
                                                      color=color))
            else:  # cylinder or capsule: along the geom's z, a capsule with rounded ends
                r, half = size[0], size[1]
                out["cylinders"].append(CylinderPrimitive(pose=pose, size=Vector3(
                    x=2 * r, y=2 * r, z=2 * half), bottom_scale=1.0, top_scale=1.0, color=color))
                if kind == _CAPSULE:
                    ax, ay, az = axes[i]
                    for sign in (1, -1):
                        end = Vector3(x=x + sign * ax, y=y + sign * ay, z=z + sign * az)
                        out["spheres"].append(SpherePrimitive(
                            pose=Pose(position=end, orientation=turn),
                            size=_vec([r] * 3, 2), color=color))
        return [SceneEntity(timestamp=stamp(ns), frame_id=BASE_FRAME, id=self.bodies[b],
                            cubes=parts[b]["cubes"], spheres=parts[b]["spheres"],
                            cylinders=parts[b]["cylinders"]) for b in self.bodies]


def _vec(v: Any, times: float = 1.0) -> Vector3:
    return Vector3(x=v[0] * times, y=v[1] * times, z=v[2] * times)
