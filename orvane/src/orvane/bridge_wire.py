"""The bridge's messages: one fixed little-endian layout per topic, so a program in any
language can read and write them with a struct of plain numbers.

Every message starts with the same header:

    source    u32  a random number a sender draws when it starts; a new source (a peer that
                   restarted) starts its sequence anew
    sequence  u64  1, 2, 3, ... per source and topic
    stamp     f64  when it was sent: seconds since 1970 on the sender's clock

Commands (servo_cf, servo_cp) then carry `ack`, the sequence of the newest measured_cp the
sender had received (0: none), from which the bridge measures the round trip. Units: m, m/s,
N, N/m, N s/m.
"""
import random
import struct
from typing import NamedTuple, Tuple

HEADER = "<IQd"

# Topic names under the prefix, and their layouts after the header.
MEASURED_CP = "measured_cp"  # position x y z, orientation w x y z (all 0: no handle)
MEASURED_CV = "measured_cv"  # velocity x y z
MEASURED_CF = "measured_cf"  # the force the loop sent, x y z
OPERATING_STATE = "operating_state"  # loop state, handle state, loop cycle, loop time
SERVO_CF = "servo_cf"  # ack, force x y z
SERVO_CP = "servo_cp"  # ack, spring centre x y z, stiffness, damping

LAYOUTS = {
    MEASURED_CP: struct.Struct(HEADER + "3d4d"),
    MEASURED_CV: struct.Struct(HEADER + "3d"),
    MEASURED_CF: struct.Struct(HEADER + "3d"),
    OPERATING_STATE: struct.Struct(HEADER + "BBQd"),
    SERVO_CF: struct.Struct(HEADER + "Q3d"),
    SERVO_CP: struct.Struct(HEADER + "Q3d2d"),
}

# operating_state's loop state and handle state.
STOPPED, RUNNING, FAULT = 0, 1, 2
NO_HANDLE = 0  # the handle state when the bridge has none; else RUNNING or FAULT


class Header(NamedTuple):
    source: int
    sequence: int
    stamp: float


def new_source() -> int:
    return random.SystemRandom().randrange(1, 2**32)


def pack(topic: str, header: Header, *values: float) -> bytes:
    return LAYOUTS[topic].pack(*header, *values)


def unpack(topic: str, payload: bytes) -> Tuple[Header, Tuple[float, ...]]:
    """The header and the values; struct.error for a payload of the wrong size."""
    fields = LAYOUTS[topic].unpack(payload)
    return Header(*fields[:3]), fields[3:]
