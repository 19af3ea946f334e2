"""What a recording holds: its topics, the JSON schemas of its messages, the metadata
records, and the column types its reader gives them."""
import json
import os
from typing import Any, Dict

# The topics, metadata names and schemas are kept in schema.json beside this file, which the
# simulator's replay is built from too.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "schema.json")) as _file:
    _LAYOUT = json.load(_file)
ARM_TOPIC: str = _LAYOUT["topics"]["arm"]
HANDLE_TOPIC: str = _LAYOUT["topics"]["handle"]
LOST_SUFFIX: str = _LAYOUT["topics"]["lost_suffix"]
DEVICE_INFO: str = _LAYOUT["metadata"]["device_info"]
CONFIG: str = _LAYOUT["metadata"]["config"]
PROFILE: str = _LAYOUT["profile"]
# Non-finite values are written as null, so every real-valued field may be null.
ARM_SCHEMA: Dict[str, Any] = _LAYOUT["schemas"]["arm"]
HANDLE_SCHEMA: Dict[str, Any] = _LAYOUT["schemas"]["handle"]
LOST_SCHEMA: Dict[str, Any] = _LAYOUT["schemas"]["lost"]

_ARM_TYPES = {"sequence": "uint64", "clamped": "bool", "watchdog": "bool", "braking": "bool",
              "non_finite": "bool"}
_HANDLE_TYPES = {"sequence": "uint64", "device_id": "int64", "hall_effect": "int64",
                 "error_flag": "int64"}


class RecordingError(ValueError):
    """A file that is no recording, or one that does not check out (a CRC, a cut record in a
    finished file, a message that is not what its channel says)."""
