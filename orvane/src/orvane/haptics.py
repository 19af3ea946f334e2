"""Native force rendering for the Varnix3 arm and a background listener for the Handle."""
from typing import Sequence, Tuple, Union

from orvane._haptics import (
    ConstantForce,
    Damper,
    EffectHandle,
    HandleListener,
    HandleSnapshot,
    LoopFault,
    LoopState,
    ServoLoop,
    Spring,
    Wall,
)

#: A vector as the loop gives it back: (x, y, z).
Vector = Tuple[float, float, float]
#: A vector as the loop takes it: any sequence of three numbers (not str or bytes).
VectorLike = Sequence[float]
#: Whatever ServoLoop.add takes.
Effect = Union[ConstantForce, Spring, Damper, Wall]

__all__ = [
    "ConstantForce",
    "Damper",
    "Effect",
    "EffectHandle",
    "HandleListener",
    "HandleSnapshot",
    "LoopFault",
    "LoopState",
    "ServoLoop",
    "Spring",
    "Vector",
    "VectorLike",
    "Wall",
]
