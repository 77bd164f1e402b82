"""When to send a failed request again: capped exponential backoff with full jitter, the
service's Retry-After, and a budget of retries shared by the requests of one query."""

from __future__ import annotations

import random
import threading
from datetime import datetime, timezone
from email.utils import parsedate_to_datetime

# Backoff before retry n (0-based): uniform in [0, min(CAP, BASE * 2**n)] seconds.
BASE = 0.5
CAP = 8.0
# The longest wait a Retry-After may impose: a query still fails within a minute.
RETRY_AFTER_CAP = 15.0
# Retries one query may spend over all its requests, per retry a request may take:
# enough for a few windows to ride out a hiccup, not for every window of a dead
# service to try again and again.
BUDGET_PER_RETRY = 2
# A request that succeeds earns this much back, up to the starting budget, so that a
# long query on a flaky service is not failed by hiccups spread over hours.
EARNED_PER_SUCCESS = 0.1

_random = random.SystemRandom()


def backoff(retry: int) -> float:
    return _random.uniform(0.0, min(CAP, BASE * 2.0 ** retry))


def retry_after(value: str | None, now: datetime | None = None) -> float | None:
    """Seconds a Retry-After header asks for (a number of seconds or an HTTP date), capped;
    None when absent or unreadable."""
    if value is None:
        return None
    text = value.strip()
    try:
        seconds = float(text)
    except ValueError:
        try:
            when = parsedate_to_datetime(text)
        except (TypeError, ValueError, IndexError):
            return None
        if when.tzinfo is None:  # "-0000": UTC by the date format's own rule
            when = when.replace(tzinfo=timezone.utc)
        seconds = (when - (now or datetime.now(timezone.utc))).total_seconds()
    if seconds != seconds:  # NaN
        return None
    return min(max(seconds, 0.0), RETRY_AFTER_CAP)


class Budget:
    """Retries left to one query, taken by any of its threads."""

    def __init__(self, retries: int) -> None:
        self._most = float(BUDGET_PER_RETRY * retries)
        self._left = self._most
        self._lock = threading.Lock()

    def take(self) -> bool:
        with self._lock:
            if self._left < 1.0:
                return False
            self._left -= 1.0
            return True

    def earn(self) -> None:
        with self._lock:
            self._left = min(self._most, self._left + EARNED_PER_SUCCESS)
