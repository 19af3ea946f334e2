"""Recordings read back: the records of an MCAP file as NumPy arrays, with its lost markers
and metadata, and damage named rather than read past."""
import os
import json
import math
from typing import Any, Dict, Iterable, List, Optional

from orvane.recording.schema import (_ARM_TYPES, _HANDLE_TYPES, ARM_SCHEMA, ARM_TOPIC,
                                     HANDLE_SCHEMA, HANDLE_TOPIC, LOST_SUFFIX, RecordingError)


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
