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
    opposite of that pull. The tool body needs a free joint or slide joints of its own.

    ``loop.add(scene)`` copies the model and data as they are then, and the loop steps only
    those copies: what the program does with its own model and data afterwards (steps them,
    changes or frees them) never reaches the scene. Read the scene through ``snapshot()``;
    ``set_state`` and ``reset`` are applied between cycles.

    A scene that goes wrong (MuJoCo finds it unstable, it runs away, or its steps take
    longer than `step_budget` seconds, by default half the loop's period, for
    `overrun_limit` cycles in a row) stops with a fault in ``stats()``, its force eased out,
    and the loop goes on; ``reset()`` starts it again.
    """

    def __init__(self, model: Any, data: Any, body: str = "tool", stiffness: float = 200.0,
                 damping: float = 2.0, substeps: int = 1,
                 max_force: Optional[float] = None, step_budget: Optional[float] = None,
                 overrun_limit: int = 20) -> None:
        mujoco = scenes.require_mujoco()
        if not isinstance(model, mujoco.MjModel):
            raise TypeError("model must be a mujoco.MjModel")
        if not isinstance(data, mujoco.MjData):
            raise TypeError("data must be a mujoco.MjData")
        if not isinstance(body, str):
            raise TypeError("body must be a body's name")
        for name, value in (("substeps", substeps), ("overrun_limit", overrun_limit)):
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be a whole number")
        self._model = model
        self._data = data
        self._body = body
        self._stiffness = float(stiffness)
        self._damping = float(damping)
        self._substeps = substeps
        self._max_force = None if max_force is None else float(max_force)
        self._step_budget = None if step_budget is None else float(step_budget)
        self._overrun_limit = overrun_limit
        self._library = scenes.library_path(mujoco)
        self._native: Any = None
        self._drawn: Any = None

    # What describes the scene cannot change under a running loop: read-only.
    @property
    def model(self) -> Any:
        """The program's model (the scene steps its own copy)."""
        return self._model

    @property
    def data(self) -> Any:
        """The program's data (the scene steps its own copy)."""
        return self._data

    @property
    def body(self) -> str:
        """The tool body's name."""
        return self._body

    @property
    def stiffness(self) -> float:
        """Of the pull on the tool, N/m."""
        return self._stiffness

    @property
    def damping(self) -> float:
        """Of the pull on the tool, N s/m."""
        return self._damping

    @property
    def substeps(self) -> int:
        """Model steps per loop cycle."""
        return self._substeps

    @property
    def max_force(self) -> Optional[float]:
        """The pull's own limit, N; None: the loop's limit only."""
        return self._max_force

    @property
    def step_budget(self) -> Optional[float]:
        """How long a cycle's steps may take, s; None: half the period."""
        return self._step_budget

    @property
    def overrun_limit(self) -> int:
        """Cycles in a row over the budget that stop the scene."""
        return self._overrun_limit

    def _attach_to(self, loop: Any) -> "MujocoScene":
        """Called by ServoLoop.add: copies model and data and opens the native scene for that
        loop's period."""
        if self._native is not None:
            raise ValueError("the scene is already in a loop")
        self._native = loop._add_scene(
            self._library, self._model._address, self._data._address, self._body,
            self._stiffness, self._damping, self._substeps,
            0.0 if self._max_force is None else self._max_force,
            0.0 if self._step_budget is None else self._step_budget, self._overrun_limit, self)
        # What a viewer draws the scene's bodies from, as the loop copied it: the model
        # (geometry, and the kinematics that turn a snapshot's qpos into poses) and the mocap
        # bodies' places, which nothing in the loop moves.
        import copy

        self._drawn = (copy.copy(self._model), self._data.mocap_pos.copy(),
                       self._data.mocap_quat.copy())
        return self

    def _in_loop(self) -> bool:
        return self._native is not None and bool(self._native.current)
    def _running(self) -> Any:
        if self._native is None:
            raise RuntimeError("the scene is not in a servo loop yet: loop.add(scene)")
        return self._native

    def snapshot(self) -> Any:
        """The scene after the last whole cycle: time, qpos, qvel, contacts, tool, force."""
        return self._running().snapshot()

    def stats(self) -> dict:
        """Cycles stepped, overruns (steps longer than the period), unstable cycles, step
        time percentiles (us) and the fault that stopped the scene, if any."""
        return self._running().stats()

    def set_state(self, qpos: Sequence[float], qvel: Sequence[float]) -> None:
        """Puts the model at qpos, qvel before the next cycle."""
        self._running().set_state(list(map(float, qpos)), list(map(float, qvel)))

    def reset(self) -> None:
        """Resets the scene's data before the next cycle (and starts a stopped scene again)."""
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
