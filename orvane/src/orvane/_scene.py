"""orvane.haptics.MujocoScene: a MuJoCo model and data that the servo loop steps on its own
thread once the scene is added to it (see orvane._haptics' native scene)."""
from typing import Any, Optional, Sequence

from orvane import scenes


class MujocoScene:
    """A MuJoCo scene the arm touches through the named body (its tool).

    Once added to a running servo loop (``loop.add(scene)``), every cycle of the loop pulls
    the tool towards the arm's position (mapped by ``loop.workspace``) with a spring of
    `stiffness` N/m and a damper of `damping` N s/m, steps the model `substeps` times (its
    time step becomes the loop's period divided by `substeps`), and the arm feels the
    opposite of that pull. While it runs, touch the scene only through this object:
    ``snapshot()`` reads a consistent copy, ``set_state`` and ``reset`` are applied between
    cycles. Model and data stay referenced as long as the scene is.
    """

    def __init__(self, model: Any, data: Any, body: str = "tool", stiffness: float = 200.0,
                 damping: float = 2.0, substeps: int = 1,
                 max_force: Optional[float] = None) -> None:
        mujoco = scenes.require_mujoco()
        if not isinstance(model, mujoco.MjModel):
            raise TypeError("model must be a mujoco.MjModel")
        if not isinstance(data, mujoco.MjData):
            raise TypeError("data must be a mujoco.MjData")
        if data.model._address != model._address:
            raise ValueError("data was made for another model")
        if not isinstance(body, str):
            raise TypeError("body must be a body's name")
        if isinstance(substeps, bool) or not isinstance(substeps, int):
            raise TypeError("substeps must be a whole number")
        self.model = model
        self.data = data
        self.body = body
        self.stiffness = float(stiffness)
        self.damping = float(damping)
        self.substeps = substeps
        self.max_force = None if max_force is None else float(max_force)
        self._library = scenes.library_path(mujoco)
        self._native: Any = None

    def _attach_to(self, loop: Any) -> "MujocoScene":
        """Called by ServoLoop.add: opens the native scene for that loop's period."""
        if self._native is not None:
            raise ValueError("the scene is already in a loop")
        self._native = loop._add_scene(
            self._library, self.model._address, self.data._address, self.body,
            self.stiffness, self.damping, self.substeps,
            0.0 if self.max_force is None else self.max_force, self)
        return self

    def _running(self) -> Any:
        if self._native is None:
            raise RuntimeError("the scene is not in a servo loop yet: loop.add(scene)")
        return self._native

    def snapshot(self) -> Any:
        """The scene after the last whole cycle: time, qpos, qvel, contacts, tool, force."""
        return self._running().snapshot()

    def stats(self) -> dict:
        """Cycles stepped, overruns (steps longer than the period), unstable cycles, step
        time percentiles (us) and the fault, if MuJoCo failed."""
        return self._running().stats()

    def set_state(self, qpos: Sequence[float], qvel: Sequence[float]) -> None:
        """Puts the model at qpos, qvel before the next cycle."""
        self._running().set_state(list(map(float, qpos)), list(map(float, qvel)))

    def reset(self) -> None:
        """Resets the model's data before the next cycle."""
        self._running().reset()

    def remove(self) -> bool:
        """Takes the scene out of its loop; False when it was not in one."""
        if self._native is None:
            return False
        removed = self._native.remove()
        return bool(removed)

    def __repr__(self) -> str:
        return (f"MujocoScene(body={self.body!r}, stiffness={self.stiffness:g}, "
                f"damping={self.damping:g}, substeps={self.substeps})")
