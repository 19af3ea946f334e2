"""The arm (and a handle) on the network: a servo loop that publishes its measured state over
zenoh and takes force commands and coupling targets from it.

The loop itself stays on this machine; only setpoints travel. A leader that loses the
network ramps out under the loop's watchdog. The message layouts are in
`orvane.bridge_wire` and README ("Bridge").

    orvane-bridge --arm PORT [--handle PORT] [--prefix orvane/arm1] [--rate HZ]
                  [--zenoh-config FILE] [--tls-cert F --tls-key F --tls-ca F] [--insecure]
                  [--delay-ms X] [--jitter-ms Y] [--loss P] [--passivity]
"""
import argparse
import collections
import json
import math
import os
import signal
import struct
import sys
import threading
import time
from typing import Any, Deque, Dict, List, Mapping, Optional, Sequence, Set, Tuple, Union

from orvane import bridge_wire as wire
from orvane.bridge_access import add_mutual_tls, check_access, loopback_config
from orvane.haptics import Coupling, HandleListener, LoopFault, ServoLoop
from orvane.network_faults import NetworkFaults

try:
    import zenoh
except ImportError:  # pragma: no cover - depends on the environment
    # The cause stays chained as the context.
    raise ImportError("orvane.bridge needs zenoh: pip install 'OrvaneHardwareAPI[bridge]'")

#: Where the bridge listens when it is given no zenoh configuration.
DEFAULT_ENDPOINT = "tcp/127.0.0.1:7447"
#: operating_state goes out at least this often, even when the loop has stopped.
STATE_INTERVAL_S = 0.1
_SENT_SLOTS = 4096  # publish times kept for the round trip, by measured_cp sequence
_MISSING_SPAN = 4096  # how far back a gap is remembered, in sequence numbers
# A sequence further than this from a source's newest, either way, is not a gap or a
# straggler: the source started over (or sent garbage), and its count is taken up anew.
_WINDOW = 1 << 16
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


def percentiles(values: Sequence[float]) -> Dict[str, float]:
    ordered = sorted(values)
    if not ordered:
        return {"count": 0, "p50": 0.0, "p99": 0.0, "p999": 0.0, "max": 0.0}

    def at(fraction: float) -> float:
        return ordered[min(len(ordered) - 1, max(0, math.ceil(fraction * len(ordered)) - 1))]

    return {"count": len(ordered), "p50": at(0.5), "p99": at(0.99), "p999": at(0.999),
            "max": ordered[-1]}


class Inbox:
    """One command topic's sequence bookkeeping: only a message newer than every one before
    it from the same source is applied. A source that starts over is followed: with a new
    source id, with a sequence beyond the window either way, or with one behind the newest
    but stamped later than it (the same id counting again from 1)."""

    def __init__(self, late_s: float) -> None:
        self.late_s = late_s
        self.source: Optional[int] = None
        self.newest = 0
        self.newest_stamp = -math.inf
        self.missing: Set[int] = set()
        self.received = self.applied = self.late = self.lost = 0
        self.out_of_order = self.malformed = self.rejected = self.sources = 0
        self.restarts = 0

    def accept(self, header: wire.Header, now: float) -> bool:
        sequence = header.sequence
        if header.source != self.source:
            self.sources += 1
            self.source = header.source
            self._start_over()
        elif self.newest < sequence <= self.newest + _WINDOW:
            if sequence > self.newest + 1:
                self._gap(sequence)
        elif self.newest - _WINDOW < sequence <= self.newest and \
                not header.stamp > self.newest_stamp:
            self.out_of_order += 1
            if sequence in self.missing:
                # It was not lost after all, only overtaken.
                self.missing.discard(sequence)
                self.lost -= 1
            return False
        else:
            self.restarts += 1
            self._start_over()
        self.newest, self.newest_stamp = sequence, header.stamp
        if now - header.stamp > self.late_s:
            self.late += 1
        return True

    def _start_over(self) -> None:
        self.newest, self.newest_stamp = 0, -math.inf
        self.missing.clear()

    def _gap(self, sequence: int) -> None:
        self.lost += sequence - self.newest - 1
        self.missing.update(range(max(self.newest + 1, sequence - _MISSING_SPAN), sequence))
        if len(self.missing) > _MISSING_SPAN:
            floor = sequence - _MISSING_SPAN
            self.missing = {s for s in self.missing if s >= floor}

    def counts(self) -> Dict[str, int]:
        return {"received": self.received, "applied": self.applied, "late": self.late,
                "lost": self.lost, "out_of_order": self.out_of_order,
                "malformed": self.malformed, "rejected": self.rejected,
                "sources": self.sources, "restarts": self.restarts}


class Bridge:
    """Runs a ServoLoop on `arm` (and a HandleListener on `handle`) and bridges them to zenoh
    under `prefix`: publishes measured_cp, measured_cv, measured_cf and operating_state at
    `rate_hz` (never faster than the loop), applies servo_cf as the loop's commanded force
    and servo_cp as the target of a Coupling (`passivity` turns on its passivity damping).
    `delay_ms`, `jitter_ms` and `loss` impair both directions, with random draws from `seed`;
    a command older than `late_ms` on arrival is counted late (and still applied when it is
    the newest). A zenoh configuration that lets peers beyond this machine in without mutual
    TLS (orvane.bridge_access) is refused with a ValueError unless `insecure`."""

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
        self._published = {t: 0 for t in (wire.MEASURED_CP, wire.MEASURED_CV, wire.MEASURED_CF,
                                          wire.OPERATING_STATE)}
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

    def _send(self, topic: str, *values: float, direct: bool = False) -> None:
        self._published[topic] += 1
        header = wire.Header(self._source, self._published[topic], time.time())
        payload = wire.pack(topic, header, *values)
        if direct:
            self._put(topic, payload)
        else:
            assert self._out is not None
            self._out.send(topic, payload)

    def _operating_state(self, direct: bool = False) -> None:
        def state(running: bool, fault: Optional[str]) -> int:
            return wire.RUNNING if running else (wire.FAULT if fault else wire.STOPPED)

        handle_state = wire.NO_HANDLE
        if self.listener is not None:
            handle_state = state(self.listener.running, self.listener.fault)
        s = self.loop.state()
        self._send(wire.OPERATING_STATE, state(self.loop.running, self.loop.fault),
                   handle_state, s.sequence, s.time, direct=direct)

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
                self._send(wire.MEASURED_CF, *s.force)
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


# --- the command -----------------------------------------------------------------------

def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="orvane-bridge", description="Publishes the arm's state over zenoh and takes "
        "force commands and coupling targets from it.")
    p.add_argument("--arm", required=True, help="the arm's port")
    p.add_argument("--handle", help="a handle's port: its orientation joins measured_cp")
    p.add_argument("--handle-hz", type=float, default=100.0,
                   help="status requests a second to the handle (100; 0: a wireless one)")
    p.add_argument("--prefix", default="orvane/arm1", help="key prefix (orvane/arm1)")
    p.add_argument("--rate", type=float, default=500.0,
                   help="publishing rate, Hz (500; never faster than the loop)")
    p.add_argument("--loop-rate", type=float, default=1000.0, help="servo loop rate, Hz (1000)")
    p.add_argument("--max-force", type=float, default=5.0, help="force limit, N (5)")
    p.add_argument("--watchdog", type=positive_seconds, default=0.1,
                   help="seconds without a force command before it ramps out (0.1; above 0)")
    p.add_argument("--no-watchdog", action="store_true",
                   help="DANGEROUS: no watchdog; a force commanded once stays on when the "
                   "network or the peer goes away")
    p.add_argument("--passivity", action="store_true",
                   help="passivity damping on the servo_cp coupling: it never gives the arm "
                   "more energy than the arm gave it (for a delayed network)")
    p.add_argument("--zenoh-config", metavar="FILE",
                   help="zenoh configuration (JSON5); default: a peer on "
                   f"{DEFAULT_ENDPOINT}, loopback only, no scouting")
    p.add_argument("--tls-cert", metavar="FILE", help="this bridge's certificate (PEM): "
                   "with --tls-key and --tls-ca, only peers with a certificate the authority "
                   "signed can connect (mutual TLS; endpoints must be tls/...)")
    p.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    p.add_argument("--tls-ca", metavar="FILE",
                   help="the authority (PEM) whose certificates peers must show")
    p.add_argument("--insecure", action="store_true",
                   help="allow a configuration that lets peers beyond this machine command "
                   "the arm without mutual TLS")
    p.add_argument("--listen", action="append", metavar="ENDPOINT",
                   help="zenoh listen endpoint, e.g. tcp/127.0.0.1:7447 (repeatable)")
    p.add_argument("--connect", action="append", metavar="ENDPOINT",
                   help="zenoh endpoint to connect to (repeatable)")
    p.add_argument("--delay-ms", type=float, default=0.0, help="injected delay each way")
    p.add_argument("--jitter-ms", type=float, default=0.0,
                   help="injected extra delay, uniform in 0..X ms")
    p.add_argument("--loss", type=float, default=0.0, help="injected loss probability (0..1)")
    p.add_argument("--seed", type=int, default=0, help="seed of the injected faults")
    p.add_argument("--seconds", type=float, help="run this long, then exit (default: "
                   "until SIGINT or SIGTERM)")
    args = p.parse_args(argv)
    tls = (args.tls_cert, args.tls_key, args.tls_ca)
    if any(tls) and not all(tls):
        p.error("--tls-cert, --tls-key and --tls-ca go together")
    return args


def positive_seconds(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(
            f"must be a number of seconds above 0, not {text!r} (--no-watchdog turns it off)")
    return value


def config_from_args(args: argparse.Namespace) -> "zenoh.Config":
    """The zenoh configuration the options ask for, checked: refused (ValueError) when it
    would let peers beyond this machine in without mutual TLS and --insecure is not given,
    or, with --tls-*, when any endpoint is not TLS."""
    tls = args.tls_cert is not None
    if args.zenoh_config:
        if not os.path.isfile(args.zenoh_config):
            raise ValueError(f"no zenoh configuration at {args.zenoh_config!r}")
        config = zenoh.Config.from_file(args.zenoh_config)
        if args.listen:
            config.insert_json5("listen/endpoints", json.dumps(args.listen))
        if args.connect:
            config.insert_json5("connect/endpoints", json.dumps(args.connect))
    elif args.listen or args.connect:
        config = loopback_config(args.listen or (), args.connect or ())
    else:
        default = DEFAULT_ENDPOINT.replace("tcp/", "tls/") if tls else DEFAULT_ENDPOINT
        config = loopback_config(listen=[default])
    if tls:
        for path in (args.tls_cert, args.tls_key, args.tls_ca):
            if not os.path.isfile(path):
                raise ValueError(f"no such file: {path!r}")
        add_mutual_tls(config, args.tls_cert, args.tls_key, args.tls_ca)
    check_access(config, args.insecure, require_tls=tls)
    return config


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    if args.no_watchdog:
        print("orvane-bridge: WARNING: no watchdog: a force commanded once stays on when "
              "the network or the peer goes away", file=sys.stderr, flush=True)
    try:
        config = config_from_args(args)
        bridge = Bridge(args.arm, args.handle, prefix=args.prefix, rate_hz=args.rate,
                        zenoh_config=config, delay_ms=args.delay_ms,
                        jitter_ms=args.jitter_ms, loss=args.loss, seed=args.seed,
                        passivity=args.passivity, insecure=args.insecure,
                        loop_options={"rate_hz": args.loop_rate, "max_force": args.max_force,
                                      "watchdog_s": None if args.no_watchdog
                                      else args.watchdog},
                        handle_options={"request_hz": args.handle_hz})
        bridge.start()
    except (ValueError, LoopFault, zenoh.ZError) as e:
        print(f"orvane-bridge: {e}", file=sys.stderr)
        return 2
    if bridge.access_warning:
        print(f"orvane-bridge: WARNING: {bridge.access_warning}", file=sys.stderr, flush=True)
    print(f"orvane-bridge: {args.prefix} at {bridge.rate_hz:g} Hz", flush=True)
    end = math.inf if args.seconds is None else time.monotonic() + args.seconds
    try:
        # An arm that went away ends the bridge: a supervisor sees it exit and why.
        while bridge.loop.running and not done.wait(min(0.1, max(0.0, end - time.monotonic()))):
            if time.monotonic() >= end:
                break
    finally:
        bridge.stop()
    print(json.dumps(bridge.stats()), flush=True)
    if bridge.loop.fault:
        print(f"orvane-bridge: the loop failed: {bridge.loop.fault}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
