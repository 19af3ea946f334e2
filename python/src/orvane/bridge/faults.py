"""Delay, jitter and loss on one direction of a network link, for testing what a program
does with a bad network. The random draws come from a seeded generator, so a run can be
repeated exactly."""
import heapq
import itertools
import random
import threading
import time
from typing import Any, Callable, Dict, List, Tuple


class NetworkFaults:
    """Passes each message to `deliver`: lost with probability `loss`, otherwise after
    `delay_s` plus a uniform draw in [0, `jitter_s`], so messages overtake one another when
    the jitter exceeds their spacing. Without delay and jitter a message is delivered at
    once, on the caller's thread; otherwise a timer thread delivers it when it is due."""

    def __init__(self, deliver: Callable[..., None], delay_s: float = 0.0,
                 jitter_s: float = 0.0, loss: float = 0.0, seed: int = 0) -> None:
        for name, value in (("delay", delay_s), ("jitter", jitter_s)):
            if not 0.0 <= value <= 60.0:
                raise ValueError(f"the {name} must be between 0 and 60 s, not {value!r}")
        if not 0.0 <= loss <= 1.0:
            raise ValueError(f"the loss must be a probability (0..1), not {loss!r}")
        self._deliver = deliver
        self._delay, self._jitter, self._loss = delay_s, jitter_s, loss
        self._random = random.Random(seed)
        self._queue: List[Tuple[float, int, Tuple[Any, ...]]] = []
        self._order = itertools.count()
        self._wake = threading.Condition()
        self._closed = False
        self.passed = self.dropped = self.delayed = 0
        self._thread = None
        if delay_s > 0 or jitter_s > 0:
            self._thread = threading.Thread(target=self._run, name="orvane-netfaults",
                                            daemon=True)
            self._thread.start()

    def send(self, *message: Any) -> None:
        with self._wake:
            if self._closed:
                return
            if self._loss and self._random.random() < self._loss:
                self.dropped += 1
                return
            self.passed += 1
            if self._thread is None:
                deliver_now = True
            else:
                deliver_now = False
                self.delayed += 1
                due = time.monotonic() + self._delay + self._random.uniform(0.0, self._jitter)
                heapq.heappush(self._queue, (due, next(self._order), message))
                self._wake.notify()
        if deliver_now:
            self._deliver(*message)

    def _run(self) -> None:
        with self._wake:
            while not self._closed:
                if not self._queue:
                    self._wake.wait()
                    continue
                left = self._queue[0][0] - time.monotonic()
                if left > 0:
                    self._wake.wait(left)
                    continue
                message = heapq.heappop(self._queue)[2]
                self._wake.release()
                try:
                    self._deliver(*message)
                finally:
                    self._wake.acquire()

    def counts(self) -> Dict[str, int]:
        with self._wake:
            return {"passed": self.passed, "dropped": self.dropped, "delayed": self.delayed,
                    "queued": len(self._queue)}

    def close(self) -> None:
        """Drops what is still queued and ends the timer thread."""
        with self._wake:
            self._closed = True
            self._queue.clear()
            self._wake.notify()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(2.0)
