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
from typing import Any, NamedTuple, Tuple

HEADER = "<IQd"

# Topic names under the prefix, and their layouts after the header. Quaternions are
# w, x, y, z here (Foxglove's and ROS's messages write x, y, z, w).
MEASURED_CP = "measured_cp"  # position x y z, orientation w x y z (all 0: no handle)
MEASURED_CV = "measured_cv"  # velocity x y z
SETPOINT_CF = "setpoint_cf"  # the force the loop sent, x y z
# Deprecated: the arm has no force sensor, so this was never a measurement. It carries the
# very payload of setpoint_cf for one more release.
MEASURED_CF = "measured_cf"
# loop state, handle state (codes), loop cycle, loop time, loop state and handle state
# (names, ASCII padded with NULs)
OPERATING_STATE = "operating_state"
SERVO_CF = "servo_cf"  # ack, force x y z
SERVO_CP = "servo_cp"  # ack, coupling target x y z, stiffness, damping, [velocity x y z]

LAYOUTS = {
    MEASURED_CP: struct.Struct(HEADER + "3d4d"),
    MEASURED_CV: struct.Struct(HEADER + "3d"),
    SETPOINT_CF: struct.Struct(HEADER + "3d"),
    MEASURED_CF: struct.Struct(HEADER + "3d"),
    OPERATING_STATE: struct.Struct(HEADER + "BBQd8s8s"),
    SERVO_CF: struct.Struct(HEADER + "Q3d"),
    SERVO_CP: struct.Struct(HEADER + "Q3d2d3d"),
}
# Shorter layouts still read: the fields they lack are zero.
SHORT_LAYOUTS = {
    SERVO_CP: struct.Struct(HEADER + "Q3d2d"),
    OPERATING_STATE: struct.Struct(HEADER + "BBQd"),  # codes only: names follow from them
}

# operating_state's loop state and handle state, as codes and as the teleoperation
# convention's names.
STOPPED, RUNNING, FAULT = 0, 1, 2
NO_HANDLE = 0  # the handle state when the bridge has none; else RUNNING or FAULT
STATE_NAMES = {STOPPED: "DISABLED", RUNNING: "ENABLED", FAULT: "FAULT"}
NO_HANDLE_NAME = "NONE"
_NAME_SIZE = 8


class Header(NamedTuple):
    source: int
    sequence: int
    stamp: float


def new_source() -> int:
    return random.SystemRandom().randrange(1, 2**32)


def _fields(layout: struct.Struct) -> int:
    return len(layout.unpack(bytes(layout.size))) - 3


def pack(topic: str, header: Header, *values: Any) -> bytes:
    """The message; with the values of a shorter layout (a servo_cp without velocity), in
    that layout. operating_state's names are given as text."""
    short = SHORT_LAYOUTS.get(topic)
    if short is not None and len(values) == _fields(short):
        return short.pack(*header, *values)
    if topic == OPERATING_STATE:
        values = values[:4] + tuple(_name(str(n)) for n in values[4:])
    return LAYOUTS[topic].pack(*header, *values)


def unpack(topic: str, payload: bytes) -> Tuple[Header, Tuple[Any, ...]]:
    """The header and the values, always as many as the full layout has (a shorter
    layout's missing fields as 0.0; operating_state's names as text, from the codes in
    the earlier layout); struct.error for a payload of no known size."""
    layout = LAYOUTS[topic]
    short = SHORT_LAYOUTS.get(topic)
    if short is not None and len(payload) == short.size:
        fields = short.unpack(payload)
        if topic == OPERATING_STATE:
            loop, handle = fields[3:5]
            return Header(*fields[:3]), fields[3:] + (state_name(loop),
                                                      state_name(handle, handle=True))
        missing = _fields(layout) - _fields(short)
        return Header(*fields[:3]), fields[3:] + (0.0,) * missing
    fields = layout.unpack(payload)
    values: Tuple[Any, ...] = fields[3:]
    if topic == OPERATING_STATE:
        values = values[:4] + tuple(n.rstrip(b"\0").decode("ascii", "replace")
                                    for n in values[4:])
    return Header(*fields[:3]), values


def state_name(code: int, handle: bool = False) -> str:
    """The convention's name of an operating_state code (a handle's 0: none)."""
    if handle and code == NO_HANDLE:
        return NO_HANDLE_NAME
    return STATE_NAMES.get(code, "FAULT")


def _name(text: str) -> bytes:
    return text.encode("ascii")[:_NAME_SIZE]
