"""The bridge node: a servo loop on this machine whose measured state goes out over zenoh and
whose force commands and coupling targets come in from it. Only setpoints travel; a leader
that loses the network ramps out under the loop's watchdog."""
import collections
import json
import math
import struct
import threading
import time
from typing import Any, Deque, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import zenoh

from orvane.bridge import wire
from orvane.bridge.access import check_access, loopback_config
from orvane.bridge.faults import NetworkFaults
from orvane.bridge.inbox import Inbox
from orvane.haptics import Coupling, HandleListener, LoopFault, ServoLoop
from orvane.stats import percentiles

#: Where the bridge listens when it is given no zenoh configuration.
DEFAULT_ENDPOINT = "tcp/127.0.0.1:7447"
#: operating_state goes out at least this often, even when the loop has stopped.
STATE_INTERVAL_S = 0.1
_SENT_SLOTS = 4096  # publish times kept for the round trip, by measured_cp sequence
# Stamps a sender can mean: seconds since 1970 that fit the monotonic clock's nanoseconds.
_LATEST_STAMP_S = (2**63 - 1) / 1e9
_RTT_SAMPLES = 100_000
# A servo_cp stamped this far ahead of its arrival came from a clock that jumped forward.
_STAMP_AHEAD_NS = 1_000_000_000

ZenohConfig = Union[None, str, Mapping[str, Any], "zenoh.Config"]


def make_config(config: ZenohConfig) -> "zenoh.Config":
    if config is None:
        return loopback_config(listen=[DEFAULT_ENDPOINT])
    if isinstance(config, zenoh.Config):
        return config
    if isinstance(config, str):
        return zenoh.Config.from_file(config)
    return zenoh.Config.from_json5(json.dumps(dict(config)))


class Bridge:
    """Runs a ServoLoop on `arm` (and a HandleListener on `handle`) and bridges them to zenoh
    under `prefix`: publishes measured_cp, measured_cv, setpoint_cf (and its deprecated
    alias measured_cf) and operating_state at
    `rate_hz` (never faster than the loop), applies servo_cf as the loop's commanded force
    and servo_cp as the target of a Coupling (`passivity` turns on its passivity damping).
    `delay_ms`, `jitter_ms` and `loss` impair both directions, with random draws from `seed`;
    a command older than `late_ms` on arrival is counted late (and still applied when it is
    the newest). A zenoh configuration that lets peers beyond this machine in without mutual
    TLS (orvane.bridge.access) is refused with a ValueError unless `insecure`."""

    def __init__(self, arm: str, handle: Optional[str] = None, *, prefix: str = "orvane/arm1",
                 rate_hz: float = 500.0, zenoh_config: ZenohConfig = None,
                 delay_ms: float = 0.0, jitter_ms: float = 0.0, loss: float = 0.0,
                 seed: int = 0, late_ms: float = 10.0, passivity: bool = False,
                 insecure: bool = False, loop_options: Optional[Mapping[str, Any]] = None,
                 handle_options: Optional[Mapping[str, Any]] = None) -> None:
        if not prefix or prefix.startswith("/") or prefix.endswith("/") or any(
                c in prefix for c in "*$?#"):
            raise ValueError(f"the prefix must be a plain key like 'orvane/arm1', not {prefix!r}")
        if not (math.isfinite(rate_hz) and rate_hz > 0):
            raise ValueError(f"the publishing rate must be a positive number, not {rate_hz!r}")
        if not (math.isfinite(late_ms) and late_ms >= 0):
            raise ValueError(f"late_ms must be a number >= 0, not {late_ms!r}")
        for name, value in (("delay_ms", delay_ms), ("jitter_ms", jitter_ms), ("loss", loss)):
            if not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number, not {value!r}")
        self.prefix = prefix
        self._faults = (delay_ms / 1000.0, jitter_ms / 1000.0, loss, seed)
        NetworkFaults(lambda: None, *self._faults).close()  # checks them before any port opens
        self._config = make_config(zenoh_config)
        self.access_warning = check_access(self._config, insecure)
        self.loop = ServoLoop(arm, **dict(loop_options or {}))
        self.listener: Optional[HandleListener] = None
        if handle is not None:
            try:
                self.listener = HandleListener(handle, **dict(handle_options or {}))
            except BaseException:
                self.loop.stop()
                raise
        loop_rate = self.loop.rate_hz
        self.rate_hz = min(rate_hz, loop_rate) if loop_rate > 0 else rate_hz
        self._source = wire.new_source()
        self._lock = threading.Lock()
        self._inboxes = {wire.SERVO_CF: Inbox(late_ms / 1000.0),
                         wire.SERVO_CP: Inbox(late_ms / 1000.0)}
        self.passivity = bool(passivity)
        self._coupling: Optional[Coupling] = None
        # servo_cp stamps on this machine's monotonic clock: the sender's clock read from the
        # arrival of its first message, so the coupling sees the sender's pace.
        self._stamp_source: Optional[int] = None
        self._stamp_offset_ns = 0
        self._last_stamp_ns = 0
        self._published = {t: 0 for t in (wire.MEASURED_CP, wire.MEASURED_CV, wire.SETPOINT_CF,
                                          wire.MEASURED_CF, wire.OPERATING_STATE)}
        self._sent_time = [0.0] * _SENT_SLOTS
        self._sent_seq = [0] * _SENT_SLOTS
        self._newest_ack = 0
        self._rtt_us: Deque[Tuple[int, float]] = collections.deque(maxlen=_RTT_SAMPLES)
        self._overruns = 0
        self._started_at = 0.0
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._session: Any = None
        self._publishers: Dict[str, Any] = {}
        self._subscribers: List[Any] = []
        self._out: Optional[NetworkFaults] = None
        self._in: Optional[NetworkFaults] = None

    # --- life cycle -------------------------------------------------------------------

    def key(self, topic: str) -> str:
        return f"{self.prefix}/{topic}"

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> None:
        if self._thread is not None:
            raise RuntimeError("a bridge starts once")
        try:
            self.loop.start()
            if self.listener is not None:
                self.listener.start()
            self._session = zenoh.open(self._config)
            for topic in self._published:
                self._publishers[topic] = self._session.declare_publisher(
                    self.key(topic), congestion_control=zenoh.CongestionControl.DROP,
                    priority=zenoh.Priority.REAL_TIME, express=True)
            delay, jitter, loss, seed = self._faults
            self._out = NetworkFaults(self._put, delay, jitter, loss, seed)
            self._in = NetworkFaults(self._receive, delay, jitter, loss, seed + 1)
            for topic in self._inboxes:
                self._subscribers.append(self._session.declare_subscriber(
                    self.key(topic), self._arrived(topic)))
        except BaseException:
            self.stop()
            raise
        self._started_at = time.monotonic()
        self._thread = threading.Thread(target=self._publish_loop, name="orvane-bridge",
                                        daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Stops publishing and taking commands, then the loop (zero force) and the handle.
        Safe to call again."""
        self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(5.0)
        for sub in self._subscribers:
            sub.undeclare()
        self._subscribers.clear()
        if self._in is not None:
            self._in.close()
        self.loop.stop()
        if self.listener is not None:
            self.listener.stop()
        if self._out is not None:
            self._out.close()
            if self._publishers:
                # The last word, past the injected faults: the loop has stopped, or why.
                self._operating_state(direct=True)
        with self._lock:
            publishers, self._publishers = self._publishers, {}
        for pub in publishers.values():
            pub.undeclare()
        if self._session is not None:
            self._session.close()
            self._session = None

    def __enter__(self) -> "Bridge":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # --- outgoing -----------------------------------------------------------------------

    def _put(self, topic: str, payload: bytes) -> None:
        with self._lock:
            pub = self._publishers.get(topic)
        if pub is not None:
            pub.put(payload)

    def _send(self, topic: str, *values: Any, direct: bool = False,
              alias: Optional[str] = None) -> None:
        """Publishes on `topic` and, byte for byte the same message, on `alias`."""
        self._published[topic] += 1
        header = wire.Header(self._source, self._published[topic], time.time())
        payload = wire.pack(topic, header, *values)
        for name in (topic,) if alias is None else (topic, alias):
            if name != topic:
                self._published[name] += 1
            if direct:
                self._put(name, payload)
            else:
                assert self._out is not None
                self._out.send(name, payload)

    def _operating_state(self, direct: bool = False) -> None:
        def state(running: bool, fault: Optional[str]) -> int:
            return wire.RUNNING if running else (wire.FAULT if fault else wire.STOPPED)

        handle_state, handle_name = wire.NO_HANDLE, wire.NO_HANDLE_NAME
        if self.listener is not None:
            handle_state = state(self.listener.running, self.listener.fault)
            handle_name = wire.state_name(handle_state)
        loop_state = state(self.loop.running, self.loop.fault)
        s = self.loop.state()
        self._send(wire.OPERATING_STATE, loop_state, handle_state, s.sequence, s.time,
                   wire.state_name(loop_state), handle_name, direct=direct)

    def _publish_loop(self) -> None:
        period = 1.0 / self.rate_hz
        deadline = time.monotonic()
        last_cycle, last_state = 0, -math.inf
        while not self._stop.is_set():
            s = self.loop.state()
            fresh = s.sequence != last_cycle
            if fresh:
                last_cycle = s.sequence
                orientation = (0.0, 0.0, 0.0, 0.0)
                if self.listener is not None:
                    snap = self.listener.snapshot()
                    if snap.sequence:
                        orientation = snap.quaternion
                # Noted before it goes out: the answer may come back before put returns.
                sequence = self._published[wire.MEASURED_CP] + 1
                with self._lock:
                    self._sent_time[sequence % _SENT_SLOTS] = time.monotonic()
                    self._sent_seq[sequence % _SENT_SLOTS] = sequence
                self._send(wire.MEASURED_CP, *s.position, *orientation)
                self._send(wire.MEASURED_CV, *s.velocity)
                self._send(wire.SETPOINT_CF, *s.force, alias=wire.MEASURED_CF)
            now = time.monotonic()
            if fresh or now - last_state >= STATE_INTERVAL_S:
                self._operating_state()
                last_state = now
            deadline += period
            left = deadline - time.monotonic()
            if left > 0:
                time.sleep(left)
            elif -left >= period:
                # A missed tick is skipped, not made up for in a burst.
                self._overruns += 1
                deadline += period * (-left // period)

    # --- incoming -----------------------------------------------------------------------

    def _arrived(self, topic: str) -> Any:
        def on_sample(sample: "zenoh.Sample") -> None:
            faults = self._in
            if faults is not None:
                faults.send(topic, sample.payload.to_bytes())
        return on_sample

    def _receive(self, topic: str, payload: bytes) -> None:
        now = time.time()
        with self._lock:
            if self._stop.is_set():
                return
            inbox = self._inboxes[topic]
            inbox.received += 1
            try:
                header, values = wire.unpack(topic, payload)
            except struct.error:
                inbox.malformed += 1
                return
            # The whole message is checked before anything of it counts: a refused one
            # moves neither the sequence, nor the round trip, nor the arm.
            if not self._valid(topic, header, values[1:]):
                inbox.rejected += 1
                return
            if not inbox.accept(header, now):
                return
            self._round_trip(int(values[0]))
            try:
                self._apply(topic, header, values[1:])
            except (ValueError, TypeError, LoopFault):
                inbox.rejected += 1
            else:
                inbox.applied += 1

    @staticmethod
    def _valid(topic: str, header: wire.Header, values: Sequence[float]) -> bool:
        # The stamp orders a source's restarts and, for servo_cp, paces the coupling.
        if not (0 < header.stamp < _LATEST_STAMP_S and all(math.isfinite(v) for v in values)):
            return False
        return topic != wire.SERVO_CP or (values[3] >= 0 and values[4] >= 0)

    def _round_trip(self, ack: int) -> None:
        """The first command that answers a measured_cp closes its round trip."""
        if ack <= self._newest_ack or self._sent_seq[ack % _SENT_SLOTS] != ack:
            return
        self._newest_ack = ack
        self._rtt_us.append(
            (ack, (time.monotonic() - self._sent_time[ack % _SENT_SLOTS]) * 1e6))

    def _apply(self, topic: str, header: wire.Header, values: Sequence[float]) -> None:
        """Applies a checked command; raises when the loop takes none of it."""
        if topic == wire.SERVO_CF:
            self.loop.force = values
            return
        target, stiffness, damping, velocity = values[:3], values[3], values[4], values[5:8]
        stamp, offset = self._stamp_ns(header)
        coupling = self._coupling
        if coupling is None or not coupling.active:
            # Made and given its first target before the loop sees it: a refusal on the way
            # adds nothing.
            coupling = Coupling(target=target, stiffness=stiffness, damping=damping,
                                passivity=self.passivity)
            coupling.update(target=target, velocity=velocity, stamp_ns=stamp)
            self.loop.add(coupling)
            self._coupling = coupling
        # One change: the stiffness, damping and target reach the loop together or not at all.
        coupling.update(target=target, velocity=velocity, stamp_ns=stamp,
                        stiffness=stiffness, damping=damping)
        self._stamp_source, self._stamp_offset_ns, self._last_stamp_ns = \
            header.source, offset, stamp

    def _stamp_ns(self, header: wire.Header) -> Tuple[int, int]:
        """The sender's stamp on this machine's monotonic clock, always after the one
        before, and the offset that maps it: a new source, or a sender clock that stepped
        back or far ahead, is read again from the arrival. Nothing changes until the
        command is applied."""
        now = time.monotonic_ns()
        sent = round(header.stamp * 1e9)
        offset = self._stamp_offset_ns
        stamp = sent + offset
        if header.source != self._stamp_source or stamp <= self._last_stamp_ns or \
                stamp > now + _STAMP_AHEAD_NS:
            stamp = max(now, self._last_stamp_ns + 1)
            offset = stamp - sent
        return stamp, offset

    @property
    def coupling(self) -> Optional[Coupling]:
        """The Coupling servo_cp drives (added with the first one), or None."""
        return self._coupling

    # --- figures ------------------------------------------------------------------------

    def round_trips(self) -> List[Tuple[int, float]]:
        """The newest round trips (at most 100,000), oldest first: the measured_cp sequence
        answered and the microseconds from its publishing to the first command that
        acknowledged it."""
        with self._lock:
            return list(self._rtt_us)

    def stats(self) -> Dict[str, Any]:
        """Counts since start: messages published per topic, the publishing rate, each
        command topic's received, applied, late, lost, out-of-order, malformed and rejected
        messages (and their totals), the injected faults per direction, the round trip
        from a measured_cp to the first command that acknowledges it, in microseconds, and
        what the servo_cp coupling's passivity damping did (zeros before the first one)."""
        with self._lock:
            inboxes = {t: i.counts() for t, i in self._inboxes.items()}
            rtt = [us for _, us in self._rtt_us]
            published = dict(self._published)
            coupling = self._coupling
        state = coupling.state() if coupling is not None else None
        elapsed = time.monotonic() - self._started_at if self._started_at else 0.0
        result: Dict[str, Any] = {
            "published": published,
            "rate_hz": published[wire.MEASURED_CP] / elapsed if elapsed > 0 else 0.0,
            "overruns": self._overruns,
            **inboxes,
            "injected": {"out": self._out.counts() if self._out else {},
                         "in": self._in.counts() if self._in else {}},
            "rtt_us": percentiles(rtt),
            "coupling": {
                "passivity": self.passivity,
                "passivity_cycles": state.passivity_cycles if state else 0,
                "dissipated_j": state.dissipated_j if state else 0.0,
                "observed_energy_j": state.observed_energy_j if state else 0.0,
            },
        }
        for name in ("late", "lost", "out_of_order"):
            result[name] = sum(i[name] for i in inboxes.values())
        return result

