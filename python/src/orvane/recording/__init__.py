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
Needs the `mcap` and `numpy` packages (the `record` extra).
"""
from orvane.recording.reader import Recording, load
from orvane.recording.schema import ARM_SCHEMA, ARM_TOPIC, HANDLE_SCHEMA, HANDLE_TOPIC, RecordingError
from orvane.recording.writer import Recorder, ring_size

__all__ = ["Recorder", "Recording", "RecordingError", "load", "ring_size", "ARM_TOPIC",
           "HANDLE_TOPIC", "ARM_SCHEMA", "HANDLE_SCHEMA"]
