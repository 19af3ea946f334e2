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

servo_cp has two sizes: the full one ends with the target's velocity; the shorter one of
earlier senders stops after the damping and means a target at rest.
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
SERVO_CP = "servo_cp"  # ack, coupling target x y z, stiffness, damping, [velocity x y z]

LAYOUTS = {
    MEASURED_CP: struct.Struct(HEADER + "3d4d"),
    MEASURED_CV: struct.Struct(HEADER + "3d"),
    MEASURED_CF: struct.Struct(HEADER + "3d"),
    OPERATING_STATE: struct.Struct(HEADER + "BBQd"),
    SERVO_CF: struct.Struct(HEADER + "Q3d"),
    SERVO_CP: struct.Struct(HEADER + "Q3d2d3d"),
}
# Shorter layouts still read: the fields they lack are zero.
SHORT_LAYOUTS = {
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


def _fields(layout: struct.Struct) -> int:
    return len(layout.unpack(bytes(layout.size))) - 3


def pack(topic: str, header: Header, *values: float) -> bytes:
    """The message; with the values of a shorter layout (a servo_cp without velocity), in
    that layout."""
    short = SHORT_LAYOUTS.get(topic)
    if short is not None and len(values) == _fields(short):
        return short.pack(*header, *values)
    return LAYOUTS[topic].pack(*header, *values)


def unpack(topic: str, payload: bytes) -> Tuple[Header, Tuple[float, ...]]:
    """The header and the values, always as many as the full layout has (a shorter
    layout's missing fields as 0.0); struct.error for a payload of no known size."""
    layout = LAYOUTS[topic]
    short = SHORT_LAYOUTS.get(topic)
    if short is not None and len(payload) == short.size:
        fields = short.unpack(payload)
        missing = _fields(layout) - _fields(short)
        return Header(*fields[:3]), fields[3:] + (0.0,) * missing
    fields = layout.unpack(payload)
    return Header(*fields[:3]), fields[3:]
