"""The recorder: every cycle of a servo loop (or every status of a handle listener) copied
out of the loop's ring by a thread of its own and written to an MCAP file, chunk by chunk."""
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
from typing import Any, Dict, Optional

from orvane._extras import install_hint
from orvane.recording.wellknown import WellKnown
from orvane.recording.schema import (ARM_SCHEMA, ARM_TOPIC, CONFIG, DEVICE_INFO, HANDLE_SCHEMA,
                                     HANDLE_TOPIC, LOST_SCHEMA, LOST_SUFFIX, PROFILE)

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
                          + install_hint("record")) from e
    return Writer, CompressionType


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
            self._views = WellKnown(self._writer, self._arm)
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
            self._views.cycle(self._log_time, body)
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
        self._views.orientation(self._log_time, s.time, s.quaternion)
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
