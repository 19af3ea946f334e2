"""One command topic's sequence bookkeeping for the bridge: which message is new enough to
apply, and the counts of what was late, lost, out of order or refused."""
import math
from typing import Dict, Optional, Set

from orvane.bridge import wire

_MISSING_SPAN = 4096  # how far back a gap is remembered, in sequence numbers
# A sequence further than this from a source's newest, either way, is not a gap or a
# straggler: the source started over (or sent garbage), and its count is taken up anew.
_WINDOW = 1 << 16


class Inbox:
    """One command topic's sequence bookkeeping: only a message newer than every one before
    it from the same source is applied. A source that starts over is followed: with a new
    source id, with a sequence beyond the window either way, or with one behind the newest
    but stamped later than it (the same id counting again from 1)."""

    def __init__(self, late_s: float) -> None:
        self.late_s = late_s
        self.source: Optional[int] = None
        self.newest = 0
        self.newest_stamp = -math.inf
        self.missing: Set[int] = set()
        self.received = self.applied = self.late = self.lost = 0
        self.out_of_order = self.malformed = self.rejected = self.sources = 0
        self.restarts = 0

    def accept(self, header: wire.Header, now: float) -> bool:
        sequence = header.sequence
        if header.source != self.source:
            self.sources += 1
            self.source = header.source
            self._start_over()
        elif self.newest < sequence <= self.newest + _WINDOW:
            if sequence > self.newest + 1:
                self._gap(sequence)
        elif self.newest - _WINDOW < sequence <= self.newest and \
                not header.stamp > self.newest_stamp:
            self.out_of_order += 1
            if sequence in self.missing:
                # It was not lost after all, only overtaken.
                self.missing.discard(sequence)
                self.lost -= 1
            return False
        else:
            self.restarts += 1
            self._start_over()
        self.newest, self.newest_stamp = sequence, header.stamp
        if now - header.stamp > self.late_s:
            self.late += 1
        return True

    def _start_over(self) -> None:
        self.newest, self.newest_stamp = 0, -math.inf
        self.missing.clear()

    def _gap(self, sequence: int) -> None:
        self.lost += sequence - self.newest - 1
        self.missing.update(range(max(self.newest + 1, sequence - _MISSING_SPAN), sequence))
        if len(self.missing) > _MISSING_SPAN:
            floor = sequence - _MISSING_SPAN
            self.missing = {s for s in self.missing if s >= floor}

    def counts(self) -> Dict[str, int]:
        return {"received": self.received, "applied": self.applied, "late": self.late,
                "lost": self.lost, "out_of_order": self.out_of_order,
                "malformed": self.malformed, "rejected": self.rejected,
                "sources": self.sources, "restarts": self.restarts}

