"""When to send a failed request again, decided in one place: `Retry`, one immutable
policy per request (which failures and statuses are retried, how many times, the
backoff, the service's Retry-After capped), over the budget of retries shared by the
requests of one query and the query's time-out rule (`Scope`)."""

from __future__ import annotations

import random
import threading
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from datetime import datetime, timezone
from email.utils import parsedate_to_datetime

from .answers import Failure
from .transport import Cause

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


@dataclass(frozen=True)
class Retry:
    """The retry decision of one request. `total` is how many times it may be sent again,
    `retries` how many times it has been; `increment` gives the policy for the next
    sending, or raises the failure that ends the request."""

    total: int
    retries: int = 0
    # Read when a query begins, so that a test's shorter backoff holds for its queries.
    base: float = field(default_factory=lambda: BASE)
    cap: float = CAP

    @staticmethod
    def retries_cause(cause: Cause) -> bool:
        """Whether an exchange that raised may pass when sent again: not an answer too
        large, nor a request the HTTP library refuses, which would come again."""
        return cause in ("timeout", "unreachable", "garbled")

    @staticmethod
    def retries_status(status: int) -> bool:
        """Whether an answer of this HTTP status may pass when asked again: the service
        was busy (429) or failed (5xx); any other error would come again."""
        return status == 429 or status >= 500

    @staticmethod
    def wait_asked(header: str | None) -> float | None:
        """The service's Retry-After, capped: vn.py's data manager waits for the query on
        its GUI thread."""
        return retry_after(header)

    def increment(self, failure: Failure, budget: Budget, alive: Callable[[], bool]) -> Retry:
        """The policy for sending the request again after `failure`, its retry taken from the
        query's `budget`; raises the failure itself when it is not retried, or the budget's
        when the query has no retries left. `alive` says whether the service shows signs of
        life for a request that ran out of time (`Scope.may_retry_time_out`, asked only then)."""
        if not failure.retry or self.retries >= self.total:
            raise failure
        if failure.kind == "timeout" and not alive():
            # A time-out costs a whole deadline: it is sent again like any failure while the
            # service shows signs of life (something came from it within a time-out before
            # the request, and since the query's last time-out); a service from which nothing
            # comes is taken for gone (vn.py's data manager waits for the query on its GUI
            # thread).
            raise failure
        if not budget.take():
            raise Failure.of("budget_spent", "budget", reason=failure.reason,
                             plain=failure.plain or failure.reason) from failure
        return replace(self, retries=self.retries + 1)

    def delay(self, failure: Failure) -> float:
        """Seconds before the retry this policy was incremented to: what the service asked
        for, else full jitter over a capped exponential (retries of many windows spread out)."""
        if failure.wait is not None:
            return failure.wait
        return _random.uniform(0.0, min(self.cap, self.base * 2.0 ** (self.retries - 1)))


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
