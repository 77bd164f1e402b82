"""One user-level query: its retry budget and its cancellation."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import TracebackType

from .answers import Failure
from .retry import Budget
from .transport import CANCELLED, DEADLINE, Watch


class Scope:
    """A context manager around the requests of one query. Cancelling it (a fatal failure
    of one of its requests, or the engine's abort) ends its requests in flight at once,
    and those still to come fail as cancelled."""

    def __init__(self, retries: int, forget: Callable[[Scope], None], timeout: float = float("inf")) -> None:
        self.budget = Budget(retries)
        # Until something answers, the whole query gets one time-out: a service that takes
        # connections and never answers ends the query then, every window and retry included
        # (vn.py's data manager waits for it on its window's thread).
        self.silent_until = time.monotonic() + timeout
        self.answered = False
        self.failure: Failure | None = None  # what cancelled it
        self._cancelled = threading.Event()
        self._watches: set[Watch] = set()
        self._lock = threading.Lock()
        self._forget = forget
        self._timed_out_at: float | None = None  # when a request of the query last ran out of time

    def __enter__(self) -> Scope:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if kind is not None:
            self.cancel()  # an interrupt: nothing of this query goes on behind the caller's back
        self._forget(self)

    @property
    def cancelled(self) -> bool:
        return self._cancelled.is_set()

    def cancel(self, failure: Failure | None = None) -> None:
        with self._lock:
            if self.failure is None:
                self.failure = failure
            self._cancelled.set()
            watches = list(self._watches)
        for watch in watches:
            watch.cut(CANCELLED)

    def deadline(self, timeout: float) -> float:
        """Seconds one exchange may take: `timeout`, or while nothing of the query has
        answered, what is left of its first time-out."""
        if self.answered:
            return timeout
        return min(timeout, max(0.0, self.silent_until - time.monotonic()))

    def may_retry_time_out(self, heard_at: float | None, since: float) -> bool:
        """Whether a request that ran out of time may be sent again: the service was heard
        from (`heard_at`, monotonic) at or after `since`, and after the query's last time-out
        (requests stalled side by side are one sign of silence, retried once)."""
        with self._lock:
            if heard_at is None or heard_at < since or (self._timed_out_at is not None
                                                          and heard_at <= self._timed_out_at):
                return False
            self._timed_out_at = time.monotonic()
            return True

    def check(self) -> None:
        if self._cancelled.is_set():
            raise self.why()

    def why(self) -> Failure:
        """What a request of the cancelled query fails with: what cancelled it, when known."""
        cause = self.failure
        if cause is None:
            return Failure.of("cancelled", "cancelled")
        return Failure(cause.reason, cause.kind, plain=cause.plain)

    def sleep(self, seconds: float) -> None:
        """Waits, unless the query is cancelled meanwhile."""
        if seconds > 0 and self._cancelled.wait(seconds):
            self.check()
        self.check()

    @contextmanager
    def watch(self, seconds: float) -> Iterator[Watch]:
        """A watch for one exchange, cut at the deadline `seconds` from now or on cancellation."""
        watch = Watch()
        with self._lock:
            self._watches.add(watch)
            cancelled = self._cancelled.is_set()
        if cancelled:
            watch.cut(CANCELLED)
        timer = threading.Timer(seconds, watch.cut, (DEADLINE,))
        timer.daemon = True
        timer.start()
        try:
            yield watch
        finally:
            timer.cancel()
            watch.close()
            with self._lock:
                self._watches.discard(watch)
