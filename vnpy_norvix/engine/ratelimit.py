"""A client-side limit on requests per second, shared by every request of one engine:
requests leave evenly spaced, each at max(now, previous + 1/rate)."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable


class RateLimit:
    def __init__(self, rate: float, clock: Callable[[], float] = time.monotonic) -> None:
        self.interval = 1.0 / rate if rate > 0 else 0.0
        self._clock = clock
        self._next = 0.0
        self._lock = threading.Lock()

    def reserve(self) -> float:
        """Takes the next slot; returns how long to wait for it (seconds, 0 without a limit)."""
        if not self.interval:
            return 0.0
        with self._lock:
            now = self._clock()
            slot = max(now, self._next)
            self._next = slot + self.interval
            return slot - now
