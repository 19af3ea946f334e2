"""What a recording holds: its topics, the JSON schemas of its messages, the metadata
records, and the column types its reader gives them."""

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

_ARM_TYPES = {"sequence": "uint64", "clamped": "bool", "watchdog": "bool", "braking": "bool",
              "non_finite": "bool"}
_HANDLE_TYPES = {"sequence": "uint64", "device_id": "int64", "hall_effect": "int64",
                 "error_flag": "int64"}


class RecordingError(ValueError):
    """A file that is no recording, or one that does not check out (a CRC, a cut record in a
    finished file, a message that is not what its channel says)."""
