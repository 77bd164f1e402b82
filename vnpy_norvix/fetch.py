"""Calls of the core, one per date window, run side by side on a small pool of threads
(the core lets go of the interpreter while it waits for the service)."""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from typing import Any

from . import messages
from .capture import Outcome, core_lines, read
from .calendar import Window


@dataclass
class Answer:
    records: list = field(default_factory=list)
    outcome: Outcome = field(default_factory=Outcome)
    value: object = None  # what the query returned, list or not

    def reached(self, limit: int | None) -> bool:
        """Whether the service may have cut the answer at the request's limit."""
        return limit is not None and len(self.records) + self.outcome.skipped >= limit


def call(query: Callable[..., Any], *args: Any, symbol: str, base_url: str) -> Answer:
    """One core query, with what its log lines say about it."""
    with core_lines(__name__) as lines:
        try:
            records = query(*args)
        except Exception as error:  # an answer the core cannot convert (a null price, not an object)
            return Answer([], Outcome(answered=True, failure=messages.unreadable(error)))
    # A history query returns a list; a reference query returns the answer's `data`
    # member as it came, which callers check.
    return Answer(records if isinstance(records, list) else [], read(lines, symbol, base_url), records)


@dataclass
class Fetched:
    """The answers of every window of one query, in window order; or the first failure."""

    answers: list[Answer] = field(default_factory=list)
    failure: str | None = None

    @property
    def records(self) -> list:
        return [record for answer in self.answers for record in answer.records]

    @property
    def skipped(self) -> int:
        return sum(answer.outcome.skipped for answer in self.answers)

    @property
    def skip_reason(self) -> str:
        return next((answer.outcome.skip_reason for answer in self.answers if answer.outcome.skipped), "")


def fetch_windows(windows: list[Window], query: Callable[[Window], Answer], *, limit: int | None = None,
                  workers: int = 1) -> Fetched:
    """Every window's answer; a window whose answer may have been cut at `limit` is
    fetched again as two halves. The first failure stops the query: nothing is
    returned then, since a history with a hole in it is worse than none."""
    done: list[tuple[Window, Answer]] = []
    if workers <= 1 or len(windows) <= 1:
        todo = list(windows)
        while todo:
            window = todo.pop(0)
            failure = _settle(window, query(window), limit, done, todo)
            if failure:
                return Fetched(failure=failure)
    else:
        pool = ThreadPoolExecutor(max_workers=min(workers, len(windows)), thread_name_prefix="norvix")
        finished_normally = False
        try:
            pending: dict[Future[Answer], Window] = {pool.submit(query, window): window for window in windows}
            while pending:
                finished, _ = wait(pending, return_when=FIRST_COMPLETED)
                for future in finished:
                    window = pending.pop(future)
                    halves: list[Window] = []
                    failure = _settle(window, future.result(), limit, done, halves)
                    if failure:
                        for other in pending:
                            other.cancel()
                        finished_normally = True
                        return Fetched(failure=failure)
                    pending.update({pool.submit(query, half): half for half in halves})
            finished_normally = True
        finally:
            # Interrupted (Ctrl-C): the requests in flight are not waited for.
            pool.shutdown(wait=finished_normally, cancel_futures=not finished_normally)
    done.sort(key=lambda item: item[0].first)
    return Fetched(answers=[answer for _, answer in done])


def _settle(window: Window, answer: Answer, limit: int | None, done: list, todo: list[Window]) -> str | None:
    """Files the answer of a window, or its halves for fetching; returns a failure."""
    if answer.outcome.failure:
        return answer.outcome.failure
    if answer.reached(limit):
        halves = window.halves()
        if halves is None:
            return messages.cut(window.first, limit)
        todo.extend(halves)
        return None
    done.append((window, answer))
    return None
