"""Native force rendering for the Varnix3 arm and a background listener for the Handle."""
import operator
import weakref
from typing import TYPE_CHECKING, Any, Dict, Optional, Sequence, Tuple, Union

if TYPE_CHECKING:
    from typing import Literal

from orvane import _haptics
from orvane._haptics import (
    Box,
    ConstantForce,
    Coupling,
    CouplingState,
    Damper,
    EffectHandle,
    HandleSnapshot,
    LineGuide,
    LoopFault,
    LoopState,
    PlaneGuide,
    SceneSnapshot,
    Sphere,
    Spring,
    Wall,
)
from orvane._scene import MujocoScene

#: A vector as the loop gives it back: (x, y, z).
Vector = Tuple[float, float, float]
#: A vector as the loop takes it: any sequence of three numbers (not str or bytes).
VectorLike = Sequence[float]
#: The effects ServoLoop.add takes and returns an EffectHandle for.
Effect = Union[ConstantForce, Spring, Damper, Wall, PlaneGuide, LineGuide, Sphere, Box]



class _Recorded:
    """What a recorded loop and a recorded listener share: the file is completed when the
    object goes, and stats() says how many records never reached it."""

    _recorder: Any

    def __del__(self) -> None:
        if getattr(self, "_recorder", None) is not None and self._recorder.recording:
            self.stop()  # type: ignore[attr-defined]

    def stats(self) -> Dict[str, Any]:
        out: Dict[str, Any] = super().stats()  # type: ignore[misc]
        recorder = getattr(self, "_recorder", None)
        out["record_lost"] = recorder.lost if recorder is not None else 0
        return out


class ServoLoop(_Recorded, _haptics.ServoLoop):
    """A force loop for the arm on its own native thread.

    record="session.mcap" (or record(path) later) writes every cycle to an MCAP file on a
    thread of its own; stop() or stop_recording() completes the file."""

    def __init__(self, port: str, rate_hz: float = 1000.0, max_force: float = 5.0,
                 watchdog_s: Optional[float] = 0.1, max_speed: Optional[float] = None,
                 brake_damping: float = 10.0, history: int = 0, realtime: bool = True,
                 reply_timeout_s: float = 0.09, watchdog_ramp_s: float = 0.05,
                 spin_us: float = 50.0, record: Optional[str] = None) -> None:
        from orvane.recording import ring_size

        # The ring a recorder drains is the history ring, so it is always large enough to
        # outlast a busy interpreter; history() still shows only the cycles asked for.
        ring = history  # for a value it refuses, the native class says what is wrong
        try:
            kept = operator.index(history)
            if kept >= 0 and not isinstance(history, bool):
                ring = ring_size(float(rate_hz), kept)
        except (TypeError, ValueError, OverflowError):
            kept = 0
        self._history = kept
        super().__init__(port, rate_hz=rate_hz, max_force=max_force, watchdog_s=watchdog_s,
                         max_speed=max_speed, brake_damping=brake_damping, history=ring,
                         realtime=realtime, reply_timeout_s=reply_timeout_s,
                         watchdog_ramp_s=watchdog_ramp_s, spin_us=spin_us)
        self._config: Dict[str, Any] = dict(
            rate_hz=rate_hz, max_force=max_force, watchdog_s=watchdog_s, max_speed=max_speed,
            brake_damping=brake_damping, history=history, realtime=realtime,
            reply_timeout_s=reply_timeout_s, watchdog_ramp_s=watchdog_ramp_s, spin_us=spin_us)
        self._recorder: Any = None
        if record is not None:
            self.record(record)

    def record(self, path: str) -> Any:
        """Starts writing every cycle from now on to `path` (an MCAP file, replaced if it
        exists); returns the orvane.recording.Recorder. One recording at a time."""
        from orvane.recording import Recorder

        if self.closed:
            raise LoopFault("the servo loop was stopped; there is nothing to record")
        if self._recorder is not None and self._recorder.recording:
            raise ValueError(f"already recording to {self._recorder.path}")
        self._recorder = Recorder(self, path, self._config)
        return self._recorder

    def stop_recording(self) -> None:
        """Writes the cycles still pending and completes the file; a no-op when not
        recording."""
        recorder, self._recorder = getattr(self, "_recorder", None), None
        if recorder is not None:
            recorder.close(self)
            self._recorder = recorder  # its counts stay readable in stats()

    @property
    def recorder(self) -> Any:
        """The latest orvane.recording.Recorder, or None."""
        return getattr(self, "_recorder", None)

    def add(self, effect: Any) -> Any:  # type: ignore[override]
        """Adds an effect or fixture (returns its EffectHandle), a Coupling or a MujocoScene
        (returns it, now rendered by this loop)."""
        attach = getattr(type(effect), "_attach_to", None)
        if attach is not None:
            added = attach(effect, self)
            if isinstance(added, MujocoScene):
                # Weakly: the scene's native part already holds the loop.
                self._scene_ref = weakref.ref(added)
            return added
        return super().add(effect)

    @property
    def scene(self) -> Optional[MujocoScene]:
        """The MujocoScene the loop steps now, or None."""
        ref = getattr(self, "_scene_ref", None)
        scene = ref() if ref is not None else None
        return scene if scene is not None and scene._in_loop() else None

    def stop(self) -> None:
        super().stop()
        self.stop_recording()

    def __exit__(self, *exc: object) -> "Literal[False]":
        self.stop()
        return False


    def history(self) -> Dict[str, Any]:
        out = super().history()
        keep = self._history
        return {k: v[max(len(v) - keep, 0):] if keep else v[:0] for k, v in out.items()}


class HandleListener(_Recorded, _haptics.HandleListener):
    """Receives a handle's status messages on a native thread and keeps the newest.

    record="handle.mcap" writes every status message to an MCAP file on a thread of its own
    (sequence gaps count as lost); stop() completes the file."""

    def __init__(self, port: str, request_hz: float = 100.0,
                 record: Optional[str] = None) -> None:
        super().__init__(port, request_hz=request_hz)
        # Poll well above the rate status messages come at; streaming handles send up to
        # 1 kHz.
        rate = request_hz if request_hz > 0 else 1000.0
        self._record_interval = min(0.02, max(0.0005, 0.25 / rate))
        self._recorder: Any = None
        if record is not None:
            from orvane.recording import Recorder

            self._recorder = Recorder(self, record, {"request_hz": request_hz})

    @property
    def recorder(self) -> Any:
        """The orvane.recording.Recorder of record=, or None."""
        return getattr(self, "_recorder", None)

    def stop(self) -> None:
        super().stop()
        recorder = getattr(self, "_recorder", None)
        if recorder is not None:
            recorder.close(self)

    def __exit__(self, *exc: object) -> None:
        self.stop()



__all__ = [
    "Box",
    "ConstantForce",
    "Coupling",
    "CouplingState",
    "Damper",
    "Effect",
    "EffectHandle",
    "HandleListener",
    "HandleSnapshot",
    "LineGuide",
    "LoopFault",
    "LoopState",
    "MujocoScene",
    "PlaneGuide",
    "SceneSnapshot",
    "ServoLoop",
    "Sphere",
    "Spring",
    "Vector",
    "VectorLike",
    "Wall",
]
