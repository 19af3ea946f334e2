"""Sessions on record: every cycle of a servo loop (or every status of a handle listener)
written to an MCAP file by a thread of its own, and read back as NumPy arrays.

A recorder never slows the loop it records: the loop's thread keeps writing its ring of
recent cycles as always, and the recorder's thread copies out what is new a few dozen
times a second. Cycles the ring no longer held when the recorder came for them are counted
in `Recorder.lost` and marked in the file on the lost channel. Every chunk reaches the
file as it is finished (a few times a second), so a process that is killed leaves a file
that reads back up to its last chunk.

A write error (a full disk) ends the recording with `Recorder.error` set: the file keeps
the chunks that reached it whole, `written` counts their records and `lost` every record
after them. A file being recorded has one writer: a second recorder on it is refused.

Messages are JSON with a JSON schema, which plotting tools read without any plug-in.
Needs the `mcap` and `numpy` packages (`pip install OrvaneHardwareAPI[record]`).
"""
import atexit
import errno
import fcntl
import os
import json
import math
import stat
import threading
import time
import uuid
import weakref
from typing import Any, Dict, Iterable, List, Optional

ARM_TOPIC = "/orvane/arm/cycles"
HANDLE_TOPIC = "/orvane/handle/snapshots"
LOST_SUFFIX = "/lost"
DEVICE_INFO = "device_info"
CONFIG = "config"
PROFILE = "orvane"

# Non-finite values are written as null, so every real-valued field may be null.
_NUMBER = {"type": ["number", "null"]}
_VECTOR = {"type": "array", "items": _NUMBER, "minItems": 3, "maxItems": 3}
_INTEGER = {"type": "integer"}
_FLAG = {"type": "boolean"}

ARM_SCHEMA = {
    "title": "orvane.ArmCycle",
    "description": "One cycle of the servo loop: the arm's reply and the force sent.",
    "type": "object",
    "properties": {
        "time": dict(_NUMBER, description="s since the loop started"),
        "sequence": _INTEGER,
        "position": dict(_VECTOR, description="m"),
        "velocity": dict(_VECTOR, description="m/s"),
        "force": dict(_VECTOR, description="N, as sent"),
        "commanded_force": dict(_VECTOR, description="N, as set by the program"),
        "period_error_us": _NUMBER,
        "exchange_us": _NUMBER,
        "clamped": _FLAG,
        "watchdog": _FLAG,
        "braking": _FLAG,
        "non_finite": _FLAG,
    },
}
HANDLE_SCHEMA = {
    "title": "orvane.HandleSnapshot",
    "description": "One status message of the handle.",
    "type": "object",
    "properties": {
        "time": dict(_NUMBER, description="s since the listener started"),
        "sequence": _INTEGER,
        "device_id": _INTEGER,
        "quaternion": {"type": "array", "items": _NUMBER, "minItems": 4, "maxItems": 4,
                       "description": "w, x, y, z"},
        "hall_effect": _INTEGER,
        "error_flag": _INTEGER,
        "user_data": {"type": "array", "items": _INTEGER},
    },
}
LOST_SCHEMA = {
    "title": "orvane.Lost",
    "description": "Records that are missing from the file: `count` of them after "
                   "`after_sequence`.",
    "type": "object",
    "properties": {"time": _NUMBER, "after_sequence": _INTEGER, "count": _INTEGER},
}

# How often the writer thread collects, and at most how long a finished record waits in
# memory before its chunk is in the file.
DRAIN_INTERVAL_S = 0.02
FLUSH_INTERVAL_S = 0.25
# The servo loop's ring must outlast a stalled writer by far: this many seconds of cycles.
RING_SECONDS = 4.0
RING_MINIMUM = 8192
RING_MAX_RATE_HZ = 20000.0


def ring_size(rate_hz: float, history: int = 0) -> int:
    """How many cycles a recorded loop keeps: at least RING_SECONDS of them."""
    if not rate_hz > 0 or not math.isfinite(rate_hz):
        rate_hz = 4000.0  # as fast as the arm answers: a pseudo-terminal manages about this
    wanted = max(RING_MINIMUM, int(math.ceil(RING_SECONDS * min(rate_hz, RING_MAX_RATE_HZ))))
    return max(int(history), wanted)


def _mcap():
    try:
        from mcap.writer import CompressionType, Writer
    except ImportError as e:  # pragma: no cover - depends on the installation
        raise ImportError("recording needs the mcap package: "
                          "pip install 'OrvaneHardwareAPI[record]'") from e
    return Writer, CompressionType


class RecordingError(ValueError):
    """A file that is no recording, or one that does not check out (a CRC, a cut record in a
    finished file, a message that is not what its channel says)."""


class _Sink:
    """The recording's file under the mcap writer: each write reaches the file whole or
    raises (a short write on a full disk is never dropped). `at` is how far the file got,
    `whole` where the last whole write ended."""

    def __init__(self, fd: int):
        self.fd = fd
        self.at = self.whole = 0

    def write(self, data: bytes) -> int:
        view = memoryview(data)
        while view:
            n = os.write(self.fd, view)
            view = view[n:]
            self.at += n
        self.whole = self.at
        return len(data)

    def tell(self) -> int:
        return self.at

    def flush(self) -> None:
        pass


def _open_exclusive(path: str) -> int:
    """Opens `path` for a recording of its own: refused for anything but a regular file
    (a port, a pipe) and while another recorder, in this process or another, holds it."""
    def not_a_file() -> ValueError:
        return ValueError(f"{path} is not a regular file; a recording goes to a file of its own")

    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise not_a_file()  # never opened, so a port is not touched
    except FileNotFoundError:
        pass
    flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | os.O_NOCTTY | os.O_NONBLOCK
    fd = os.open(path, flags, 0o666)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise not_a_file()
        try:
            # Held by the open file, so two recorders in one process also exclude each other.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise OSError(errno.EBUSY, f"{path} is being recorded by another recorder; "
                                       "a file being recorded has one writer") from None
        os.ftruncate(fd, 0)  # only now: the other recorder's file stays whole
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _finite(value: Any) -> Any:
    """JSON has no NaN or infinity: they are written as null."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, list):
        return [_finite(v) for v in value]
    return value


def _text(value: Any) -> str:
    if isinstance(value, uuid.UUID):
        return value.hex
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


def _metadata(values: Dict[str, Any]) -> Dict[str, str]:
    return {str(k): _text(v) for k, v in values.items() if v is not None}


class Recorder:
    """Writes what `source` yields to `path` on a thread of its own until close().

    `source` is a servo loop (orvane.haptics.ServoLoop) or a handle listener; the recorder
    holds it only weakly, so a program that drops its loop still stops it. `lost` counts
    the records that never reached the file (also marked in it), `written` those that did.
    """

    def __init__(self, source: Any, path: str, config: Optional[Dict[str, Any]] = None):
        Writer, CompressionType = _mcap()
        self.path = os.fspath(path)  # a number would name an open descriptor: refused
        self.lost = 0
        self.written = 0
        self.error: Optional[str] = None
        self._arm = hasattr(source, "_drain")
        self._interval = float(getattr(source, "_record_interval", DRAIN_INTERVAL_S))
        self._after = self._newest(source)
        self.started_after = self._after  # the newest record when recording began
        self._epoch_ns: Optional[int] = None
        self._lock = threading.RLock()
        self._stop = threading.Event()
        self._pending = 0  # records added since the last chunk reached the file
        self._fd = _open_exclusive(self.path)
        self._file = _Sink(self._fd)
        try:
            # Uncompressed, so any reader can read it. Chunks end only at flush(), so each
            # write is one whole chunk whose records are then known to be in the file.
            self._writer = Writer(self._file, compression=CompressionType.NONE,
                                  chunk_size=1 << 62, enable_data_crcs=True)
            self._writer.start(profile=PROFILE, library="orvane")
            topic = ARM_TOPIC if self._arm else HANDLE_TOPIC
            schema = ARM_SCHEMA if self._arm else HANDLE_SCHEMA
            self._channel = self._register(topic, schema)
            self._lost_channel = self._register(topic + LOST_SUFFIX, LOST_SCHEMA)
            self._writer.add_metadata(CONFIG, _metadata(dict(config or {})))
            self._info_written = False
            self._write_info(source)
            self._writer.flush()
        except BaseException:
            os.close(self._fd)
            raise
        self._source = weakref.ref(source)
        self._last_flush = time.monotonic()
        self._thread = threading.Thread(target=self._run, name="orvane-recorder", daemon=True)
        _open_recorders.add(self)
        self._thread.start()

    def _register(self, topic: str, schema: Dict[str, Any]) -> int:
        schema_id = self._writer.register_schema(
            name=schema["title"], encoding="jsonschema", data=json.dumps(schema).encode())
        return self._writer.register_channel(topic=topic, message_encoding="json",
                                             schema_id=schema_id)

    @property
    def recording(self) -> bool:
        """True until the file is complete."""
        return self._writer is not None

    def _newest(self, source: Any) -> int:
        return int(source.state().sequence if self._arm else source.snapshot().sequence)

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            source = self._source()
            if source is None:
                break
            # A loop that stopped or failed, or a listener that failed, sends no more.
            ended = bool(source.closed if self._arm else source.fault is not None)
            self.collect(source)
            del source
            if ended:
                break
        self._finish()

    def collect(self, source: Any) -> None:
        """Writes what is new in `source`; the writer thread calls it, close() once more.
        After a write error it only counts what is new as lost."""
        with self._lock:
            if self._writer is None:
                if self.error is not None:
                    self._count_lost(source)
                return
            try:
                self._write_info(source)
                if self._arm:
                    self._write_cycles(source._drain(self._after))
                else:
                    self._write_snapshot(source.snapshot())
                now = time.monotonic()
                if now - self._last_flush >= FLUSH_INTERVAL_S:
                    self._flush()
                    self._last_flush = now
            except Exception as e:  # a full disk, an I/O error: the recording ends here
                self._fail(e)
                self._count_lost(source)

    def _flush(self) -> None:
        mark = self._file.whole
        try:
            self._writer.flush()
        except BaseException:
            self._file.whole = mark  # a chunk without its index goes too: its records count lost
            raise
        self.written += self._pending
        self._pending = 0

    def _fail(self, e: BaseException) -> None:
        """Ends the file after its last whole write; what never reached it counts as lost."""
        self.error = f"recording to {self.path} ended: {e}"
        self.lost += self._pending
        self._pending = 0
        self._writer = None
        if self._file.at != self._file.whole:
            try:
                os.ftruncate(self._fd, self._file.whole)
            except OSError:
                pass  # a reader stops at the cut record anyway
        self._close_file()

    def _count_lost(self, source: Any) -> None:
        try:
            newest = self._newest(source)
        except Exception:  # a source that can no longer tell has nothing new
            return
        if newest > self._after:
            self.lost += newest - self._after
            self._after = newest

    def _close_file(self) -> None:
        try:
            os.close(self._fd)
        except OSError:
            pass  # the descriptor is gone whatever close() says
        _open_recorders.discard(self)

    def _write_info(self, source: Any) -> None:
        # A handle tells who it is only once woken: its information follows when it came.
        info = None if self._info_written else getattr(source, "device_info", None)
        if info:
            self._writer.add_metadata(DEVICE_INFO, _metadata(info))
            self._info_written = True

    def _log_time(self, t: float) -> int:
        if self._epoch_ns is None:
            self._epoch_ns = time.time_ns() - int(t * 1e9)
        return self._epoch_ns + int(t * 1e9)

    def _mark_lost(self, t: float, count: int) -> None:
        body = {"time": _finite(t), "after_sequence": self._after, "count": count}
        self._add(self._lost_channel, t, body)
        self.lost += count

    def _add(self, channel: int, t: float, body: Dict[str, Any]) -> None:
        stamp = self._log_time(t if math.isfinite(t) else 0.0)
        data = json.dumps(body, separators=(",", ":")).encode()
        self._writer.add_message(channel_id=channel, log_time=stamp, publish_time=stamp,
                                 data=data, sequence=int(body.get("sequence", 0)) & 0xFFFFFFFF)

    def _write_cycles(self, batch: Dict[str, Any]) -> None:
        sequence = batch["sequence"].tolist()
        if not sequence:
            return
        times = batch["time"].tolist()
        if batch["lost"]:
            self._mark_lost(times[0], int(batch["lost"]))
        columns = [(name, batch[name].tolist()) for name in ARM_SCHEMA["properties"]]
        for i, n in enumerate(sequence):
            body = {name: _finite(values[i]) for name, values in columns}
            self._add(self._channel, times[i], body)
            self._after = n
            self._pending += 1

    def _write_snapshot(self, s: Any) -> None:
        if s.sequence <= self._after:
            return
        if s.sequence > self._after + 1:
            self._mark_lost(s.time, s.sequence - self._after - 1)
        body = {"time": s.time, "sequence": s.sequence, "device_id": s.device_id,
                "quaternion": _finite(list(s.quaternion)), "hall_effect": s.hall_effect,
                "error_flag": s.error_flag, "user_data": list(s.user_data)}
        self._add(self._channel, s.time, body)
        self._after = s.sequence
        self._pending += 1

    def _finish(self) -> None:
        with self._lock:
            if self._writer is None:
                return
            try:
                self._flush()
            except Exception as e:
                self._fail(e)
                return
            writer, self._writer = self._writer, None
            try:
                writer.finish()
            except Exception as e:  # every record is in; the summary is not
                self.error = f"recording to {self.path} ended without its summary: {e}"
            finally:
                self._close_file()

    def close(self, source: Any = None) -> None:
        """Writes what is still new in `source` (the recorded loop), then ends the file."""
        self._stop.set()
        if source is not None:
            self.collect(source)
        if threading.current_thread() is not self._thread:
            self._thread.join(5.0)
        self._finish()

    def __repr__(self) -> str:
        state = "recording" if self.recording else "closed"
        return f"<Recorder {self.path!r} {state}, {self.written} written, {self.lost} lost>"


_open_recorders: "weakref.WeakSet[Recorder]" = weakref.WeakSet()


def _let_go_in_child() -> None:
    """A forked child shares the parent's open files: its copies of the recorders end
    without a write, so the child never finishes a file the parent is still writing."""
    for recorder in list(_open_recorders):
        recorder._lock = threading.RLock()  # the parent's writer thread may have held it
        recorder._writer = None
        recorder._close_file()


os.register_at_fork(after_in_child=_let_go_in_child)


@atexit.register
def _finish_all() -> None:
    """Files still open at interpreter exit get their summary (their loops stop after)."""
    for recorder in list(_open_recorders):
        recorder.close(recorder._source())


class Recording:
    """A recording read back: `cycles` maps each field to a NumPy array (vectors N x 3),
    `lost` holds the lost markers, `metadata` the device information and configuration.
    `complete` is False for a file that ends without its summary (a killed writer); `damage`
    says what was wrong with a damaged file read with strict=False (else None)."""

    def __init__(self, kind: str, cycles: Dict[str, Any], lost: List[Dict[str, Any]],
                 metadata: Dict[str, Dict[str, str]], complete: bool,
                 damage: Optional[str] = None):
        self.kind, self.cycles, self.lost = kind, cycles, lost
        self.metadata, self.complete, self.damage = metadata, complete, damage

    def __len__(self) -> int:
        return len(self.cycles.get("sequence", ()))

    def __getitem__(self, name: str) -> Any:
        return self.cycles[name]

    def __repr__(self) -> str:
        end = ", damaged" if self.damage else "" if self.complete else ", incomplete"
        return f"<Recording {self.kind}: {len(self)} records, {len(self.lost)} lost markers{end}>"


_ARM_TYPES = {"sequence": "uint64", "clamped": "bool", "watchdog": "bool", "braking": "bool",
              "non_finite": "bool"}
_HANDLE_TYPES = {"sequence": "uint64", "device_id": "int64", "hall_effect": "int64",
                 "error_flag": "int64"}


def _columns(rows: List[Dict[str, Any]], schema: Dict[str, Any],
             types: Dict[str, str]) -> Dict[str, Any]:
    import numpy as np

    out: Dict[str, Any] = {}
    for name, spec in schema["properties"].items():
        values = [r.get(name) for r in rows]
        if name == "user_data":
            out[name] = [bytes(v or []) for v in values]
        elif spec.get("type") == "array":
            width = spec["minItems"]
            out[name] = np.array([[math.nan if x is None else x for x in (v or [None] * width)]
                                  for v in values], dtype="float64").reshape(-1, width)
        else:
            dtype = types.get(name, "float64")
            fill = math.nan if dtype == "float64" else 0
            out[name] = np.array([fill if v is None else v for v in values], dtype=dtype)
    return out


_MAGIC = b"\x89MCAP0\r\n"


def _records(f: Any, path: str, strict: bool, state: Dict[str, Any]) -> Iterable[Any]:
    """The file's records in order, CRCs checked. A file cut short without its closing magic
    (a killed writer's) ends at its last whole record; any other fault is damage: raised,
    or with strict=False noted in `state` where the records end."""
    from mcap.exceptions import EndOfFile, RecordLengthLimitExceeded
    from mcap.stream_reader import StreamReader

    size = os.fstat(f.fileno()).st_size
    if f.read(len(_MAGIC)) != _MAGIC:
        raise RecordingError(f"{path} is not an MCAP file")
    n = len(_MAGIC)
    whole = size >= 2 * n and os.pread(f.fileno(), n, size - n) == _MAGIC  # a writer finished it
    f.seek(0)
    # No record can be longer than the file that holds it.
    reader = StreamReader(f, validate_crcs=True, record_size_limit=max(size, 1))
    it = iter(reader.records)
    while True:
        try:
            record = next(it)
        except StopIteration:
            return
        except (EndOfFile, RecordLengthLimitExceeded) as e:
            if whole:
                _damage(path, f"a record runs past the end of the file ({e})", strict, state)
            return  # a killed writer's last record
        except Exception as e:  # a CRC, a chunk that does not unpack, a malformed record
            _damage(path, str(e) or type(e).__name__, strict, state)
            return
        yield record


def _damage(path: str, what: str, strict: bool, state: Dict[str, Any]) -> None:
    message = f"{path} is damaged: {what}"
    if strict:
        raise RecordingError(message + "; load(path, strict=False) reads what comes before it")
    state["damage"] = message


def load(path: str, strict: bool = True) -> Recording:
    """Reads a recording of a servo loop or a handle listener, also one a killed program
    left without its summary. A file that is no MCAP file is refused with RecordingError,
    as is a damaged one (a CRC that fails, a finished file cut short), unless strict=False:
    then what comes before the damage is read and `damage` says what was wrong. Channels
    other than this package's are passed over."""
    from mcap.records import Channel, DataEnd, Footer, Message, Metadata

    topics: Dict[int, str] = {}
    known = {t + end for t in (ARM_TOPIC, HANDLE_TOPIC) for end in ("", LOST_SUFFIX)}
    rows: Dict[str, List[Dict[str, Any]]] = {}
    metadata: Dict[str, Dict[str, str]] = {}
    state: Dict[str, Any] = {"damage": None}
    complete = ended = False
    with open(path, "rb") as f:
        for record in _records(f, os.fspath(path), strict, state):
            if isinstance(record, Footer):
                complete = state["damage"] is None
            elif ended:
                continue  # the summary repeats what the data said
            elif isinstance(record, DataEnd):
                ended = True
            elif isinstance(record, Channel):
                if record.topic in known and record.message_encoding == "json":
                    topics[record.id] = record.topic
            elif isinstance(record, Message) and record.channel_id in topics:
                try:
                    body = json.loads(record.data)
                    if not isinstance(body, dict):
                        raise ValueError("not a JSON object")
                except ValueError as e:
                    _damage(os.fspath(path), f"a message on {topics[record.channel_id]} is not "
                            f"what its channel says: {e}", strict, state)
                    break
                rows.setdefault(topics[record.channel_id], []).append(body)
            elif isinstance(record, Metadata):
                metadata[record.name] = dict(record.metadata)
    kind = "handle" if HANDLE_TOPIC in topics.values() else "arm"
    topic, schema, types = ((HANDLE_TOPIC, HANDLE_SCHEMA, _HANDLE_TYPES) if kind == "handle"
                            else (ARM_TOPIC, ARM_SCHEMA, _ARM_TYPES))
    cycles = _columns(rows.get(topic, []), schema, types)
    return Recording(kind, cycles, rows.get(topic + LOST_SUFFIX, []), metadata,
                     complete and state["damage"] is None, state["damage"])


__all__ = ["Recorder", "Recording", "RecordingError", "load", "ring_size", "ARM_TOPIC",
           "HANDLE_TOPIC"]
