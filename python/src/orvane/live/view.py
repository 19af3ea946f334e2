"""The live view: a servo loop (and a handle) served to Foxglove over its WebSocket protocol,
from a thread of its own that only reads what the loop has already published."""
import ipaddress
import math
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from orvane.live.topics import (BODIES_TOPIC, CYCLES_TOPIC, FIXTURES_TOPIC, FORCE_TOPIC,
                                 HANDLE_TOPIC, POSE_TOPIC, STATS_TOPIC, TF_TOPIC)

#: The most cycles a second the numbers channel carries; a faster loop is decimated.
MAX_CYCLES_HZ = 1000.0
#: How often the loop's summary figures go out, Hz.
STATS_HZ = 10.0
#: Drawing a scene's bodies waits this many times as long as drawing them last took.
BODIES_SHARE = 4.0
#: Messages the server keeps per viewer before it drops the oldest: a slow viewer loses
#: data instead of holding it up (a quarter second of numbers at 1 kHz).
BACKLOG = 256


_NUMBER = {"type": ["number", "null"]}
CYCLE_SCHEMA = {
    "title": "orvane.LoopCycle",
    "type": "object",
    "properties": {name: _NUMBER for name in (
        "time", "sequence", "period_error_us", "exchange_us", "x", "y", "z",
        "force_x", "force_y", "force_z")},
}
STATS_SCHEMA = {
    "title": "orvane.LoopStats",
    "type": "object",
    "properties": {name: _NUMBER for name in (
        "cycles", "rate_hz", "period_error_p99_us", "period_error_max_us", "exchange_p99_us",
        "overruns", "clamped", "non_finite", "watchdog_trips", "lost")},
}


def parse_address(text: str, default_host: str = "127.0.0.1") -> Tuple[str, int]:
    """'[HOST:]PORT' (an IPv6 host in brackets) as (host, port); ValueError otherwise."""
    text = str(text).strip()
    host, sep, port = text.rpartition(":")
    if not sep:
        host = default_host
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not port.isdigit():
        raise ValueError(f"expected [HOST:]PORT, not {text!r}")
    return check_address(host, int(port))


def check_address(host: Any, port: Any) -> Tuple[str, int]:
    if not isinstance(host, str) or not host.strip() or any(c.isspace() for c in host):
        raise ValueError(f"the host must be a name or an address, not {host!r}")
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"the port must be a whole number in 0..65535 (0: any free one), "
                         f"not {port!r}")
    return host, port


def is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


def _finite(value: float) -> Optional[float]:
    return value if math.isfinite(value) else None  # JSON has no NaN: null


def _parameters(effect: Any) -> Tuple[Any, ...]:
    """An effect's type and parameters, to tell when it changed."""
    names = sorted(n for n in dir(effect) if not n.startswith("_"))
    return (type(effect).__name__,) + tuple(
        (n, v) for n in names if not callable(v := getattr(effect, n)))


class LiveView:
    """Serves `loop` (an orvane.haptics.ServoLoop) and `listener` (a HandleListener) to
    Foxglove on ws://host:port: the end effector as a transform and a pose, the force sent
    as an arrow, the handle's orientation, the walls and fixtures the loop renders (and any
    given to show()) and the bodies of a MuJoCo scene it steps, at `rate_hz`; and every
    cycle's period error, exchange time, position and force (at most MAX_CYCLES_HZ of them
    a second) with the loop's summary figures as JSON numbers to plot. Port 0 takes a free
    port (see `port`). Never touches the servo thread: it reads the loop's published state
    and its history ring."""

    def __init__(self, loop: Any, listener: Any = None, host: str = "127.0.0.1",
                 port: int = 8765, rate_hz: float = 60.0) -> None:
        self.host, self._port = check_address(host, port)
        if isinstance(rate_hz, bool) or not isinstance(rate_hz, (int, float)) or not (
                math.isfinite(rate_hz) and rate_hz > 0):
            raise ValueError(f"the view's rate must be a finite number of Hz above 0, "
                             f"not {rate_hz!r}")
        if loop is None or not hasattr(loop, "_drain"):
            raise ValueError("the live view needs a servo loop (orvane.haptics.ServoLoop)")
        self.loop = loop
        self.listener = listener
        self.rate_hz = float(rate_hz)
        self.error: Optional[str] = None
        self.overruns = 0
        self._effects: List[Any] = []
        self._drawn: Dict[str, Any] = {}  # entity id -> what it showed, to tell changes
        self._bodies: Any = None  # orvane.live.bodies.SceneBodies of the scene drawn
        self._next_bodies = 0.0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._server: Any = None
        self._channels: Dict[str, Any] = {}
        self._context: Any = None

    # --- life cycle -------------------------------------------------------------------

    @property
    def port(self) -> int:
        """The port served on (the one picked for port 0 once started)."""
        return int(self._server.port) if self._server is not None else self._port

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"ws://{host}:{self.port}"

    def start(self) -> "LiveView":
        if self._thread is not None:
            raise RuntimeError("a live view starts once")
        try:
            import foxglove
            from foxglove import channels
        except ImportError as e:
            from orvane._extras import install_hint

            raise ImportError("the live view needs foxglove-sdk: " + install_hint("live")) from e
        # A context of its own: the channels reach this server only, not the SDK's global one.
        context = self._context = foxglove.Context()  # channels live as long as it does
        self._server = foxglove.start_server(name="orvane", host=self.host, port=self._port,
                                             context=context, message_backlog_size=BACKLOG)
        try:
            c = self._channels
            c[TF_TOPIC] = channels.FrameTransformsChannel(TF_TOPIC, context=context)
            c[POSE_TOPIC] = channels.PoseInFrameChannel(POSE_TOPIC, context=context)
            c[FORCE_TOPIC] = channels.SceneUpdateChannel(FORCE_TOPIC, context=context)
            c[FIXTURES_TOPIC] = channels.SceneUpdateChannel(FIXTURES_TOPIC, context=context)
            c[BODIES_TOPIC] = channels.SceneUpdateChannel(BODIES_TOPIC, context=context)
            if self.listener is not None:
                c[HANDLE_TOPIC] = channels.PoseInFrameChannel(HANDLE_TOPIC, context=context)
            c[CYCLES_TOPIC] = foxglove.Channel(CYCLES_TOPIC, schema=CYCLE_SCHEMA,
                                               context=context)
            c[STATS_TOPIC] = foxglove.Channel(STATS_TOPIC, schema=STATS_SCHEMA,
                                              context=context)
        except BaseException:
            self.stop()
            raise
        self._thread = threading.Thread(target=self._run, name="orvane-live", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stops publishing and closes the server; safe to call again."""
        self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(5.0)
        for channel in self._channels.values():
            channel.close()
        self._channels = {}
        if self._server is not None:
            self._server.stop()

    def __enter__(self) -> "LiveView":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def show(self, *effects: Any) -> None:
        """Draws effects the loop does not render (Wall, PlaneGuide, LineGuide, Box, Sphere;
        others draw nothing) in the 3D view beside those it does, which it draws unasked."""
        with self._lock:
            self._effects.extend(effects)

    # --- publishing -------------------------------------------------------------------

    def _run(self) -> None:
        period = 1.0 / self.rate_hz
        deadline = time.monotonic()
        drained = self._newest()
        epoch_ns: Optional[int] = None
        next_stats = next_fixtures = 0.0
        while not self._stop.is_set():
            now = time.monotonic()
            try:
                s = self.loop.state()
                wall_ns = time.time_ns()
                if epoch_ns is None or s.sequence == 0:
                    epoch_ns = wall_ns - int(s.time * 1e9)  # the loop's clock on the wall's
                self._publish_state(wall_ns, s)
                drained = self._publish_cycles(drained, epoch_ns)
                if now >= next_stats:
                    self._publish_stats(wall_ns, drained)
                    next_stats = now + 1.0 / STATS_HZ
                scene_map = self._scene_map()
                if self._publish_fixtures(wall_ns, scene_map, now >= next_fixtures):
                    next_fixtures = now + 1.0  # again each second for late viewers
                self._publish_bodies(wall_ns, scene_map)
            except Exception as e:  # a closed loop, a gone server: the view says why
                self.error = f"{type(e).__name__}: {e}"
            deadline += period
            left = deadline - time.monotonic()
            if left > 0:
                self._stop.wait(left)
            elif -left >= period:
                self.overruns += 1  # a missed frame is skipped, not caught up in a burst
                deadline += period * (-left // period)

    def _newest(self) -> int:
        try:
            return int(self.loop.state().sequence)
        except Exception:
            return 0

    def _publish_state(self, ns: int, s: Any) -> None:
        from foxglove.messages import FrameTransforms

        from orvane.live import messages as m

        c = self._channels
        orientation = None
        if self.listener is not None:
            snap = self.listener.snapshot()
            if snap.sequence:
                orientation = snap.quaternion
        transforms = [m.tool_transform(ns, s.position)]
        if orientation is not None:
            transforms.append(m.handle_transform(ns, orientation))
        c[TF_TOPIC].log(FrameTransforms(transforms=transforms), log_time=ns)
        c[POSE_TOPIC].log(m.tool_pose(ns, s.position), log_time=ns)
        c[FORCE_TOPIC].log(m.force_arrow(ns, s.position, s.force), log_time=ns)
        if orientation is not None:
            c[HANDLE_TOPIC].log(m.tool_pose(ns, s.position, orientation), log_time=ns)

    def _publish_cycles(self, after: int, epoch_ns: int) -> int:
        channel = self._channels[CYCLES_TOPIC]
        if not channel.has_sinks():
            return self._newest()  # nobody plots: nothing is copied out of the ring
        batch = self.loop._drain(after)
        sequence = batch["sequence"]
        if len(sequence) == 0:
            return after
        rate = self.loop.rate_hz
        step = max(1, math.ceil(rate / MAX_CYCLES_HZ)) if rate > 0 else 1
        if rate <= 0 and len(sequence) > 1:  # as fast as the arm answers: by the time spanned
            span = float(batch["time"][-1] - batch["time"][0])
            step = max(1, math.ceil(len(sequence) / max(span * MAX_CYCLES_HZ, 1.0)))
        columns = {k: batch[k][::step].tolist() for k in (
            "time", "sequence", "period_error_us", "exchange_us", "position", "force")}
        for i, n in enumerate(columns["sequence"]):
            t = columns["time"][i]
            (x, y, z), (fx, fy, fz) = columns["position"][i], columns["force"][i]
            body = {"time": _finite(t), "sequence": n,
                    "period_error_us": _finite(columns["period_error_us"][i]),
                    "exchange_us": _finite(columns["exchange_us"][i]),
                    "x": _finite(x), "y": _finite(y), "z": _finite(z),
                    "force_x": _finite(fx), "force_y": _finite(fy), "force_z": _finite(fz)}
            log_time = epoch_ns + int(t * 1e9) if math.isfinite(t) else time.time_ns()
            channel.log(body, log_time=log_time)
        return int(sequence[-1])

    def _publish_stats(self, ns: int, drained: int) -> None:
        channel = self._channels[STATS_TOPIC]
        if not channel.has_sinks():
            return
        st = self.loop.stats()
        pe, ex = st["period_error_us"], st["exchange_us"]
        body = {"cycles": st["cycles"], "rate_hz": st["rate_hz"],
                "period_error_p99_us": pe["p99"], "period_error_max_us": pe["max"],
                "exchange_p99_us": ex["p99"], "overruns": st["overruns"],
                "clamped": st["clamped"], "non_finite": st["non_finite"],
                "watchdog_trips": st["watchdog_trips"], "lost": st.get("record_lost", 0)}
        channel.log({k: _finite(float(v)) for k, v in body.items()}, log_time=ns)

    def _scene_map(self) -> Any:
        from orvane.live.messages import SceneMap

        workspace = getattr(self.loop, "workspace", None)
        return SceneMap(workspace() if workspace is not None else None)

    def _publish_fixtures(self, ns: int, scene_map: Any, again: bool) -> bool:
        """Sends what the loop renders and what show() was given when any of it changed (a
        removed effect as a deletion), or everything when `again`; whether it sent."""
        from orvane.live import messages as m

        effects = getattr(self.loop, "effects", None)
        keyed = [(f"effect/{h.id}", h.effect) for h in (effects() if effects else ())]
        with self._lock:
            keyed += [(f"shown/{i}", e) for i, e in enumerate(self._effects)]
        entities = {}
        for key, effect in keyed:
            entity = m.effect_entity(ns, key, effect, scene_map) if effect is not None else None
            if entity is not None:
                entities[key] = entity
        where = (scene_map.scale, tuple(scene_map.offset), tuple(scene_map.rotation.flat))
        drawn = {key: (_parameters(effect), where) for key, effect in keyed if key in entities}
        if drawn == self._drawn and not again:
            return False
        gone = [key for key in self._drawn if key not in drawn]
        self._channels[FIXTURES_TOPIC].log(m.scene_update(ns, list(entities.values()), gone),
                                           log_time=ns)
        self._drawn = drawn
        return True

    def _publish_bodies(self, ns: int, scene_map: Any) -> None:
        """The scene's bodies at its newest snapshot; all of them taken away once the loop
        steps no scene, and the geometry read again for a new one."""
        from orvane.live import messages as m

        scene = getattr(self.loop, "scene", None)
        channel = self._channels[BODIES_TOPIC]
        if self._bodies is not None and self._bodies.scene is not scene:
            self._bodies = None
            channel.log(m.scene_update(ns, [], everything_gone=True), log_time=ns)
        if scene is None or getattr(scene, "_drawn", None) is None:
            return
        if self._bodies is None:
            from orvane.live.bodies import SceneBodies

            self._bodies = SceneBodies(scene)
        now = time.monotonic()
        if channel.has_sinks() and now >= self._next_bodies:
            channel.log(m.scene_update(ns, self._bodies.entities(ns, scene_map)), log_time=ns)
            # A scene of many bodies is drawn less often than the view's rate, so drawing it
            # takes at most a quarter of the view thread's time (and of the interpreter's).
            self._next_bodies = now + BODIES_SHARE * (time.monotonic() - now)
