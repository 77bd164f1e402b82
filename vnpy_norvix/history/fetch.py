"""The windows of one query, fetched side by side on the engine's pool within the
query's scope; a window whose answer may have been cut at the limit is fetched again
as two halves."""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass, field

from ..engine import Answer, Failure, Scope
from ..engine.answers import Record
from ..calendar import Window


def reached(answer: Answer, limit: int | None) -> bool:
    """Whether the service may have cut the answer at the request's limit."""
    return limit is not None and answer.count + len(answer.skipped) >= limit


@dataclass
class Fetched:
    """The answers of every window of one query, in window order."""

    answers: list[Answer] = field(default_factory=list)

    @property
    def records(self) -> list[Record]:
        return [record for answer in self.answers for record in answer.records]

    @property
    def skipped(self) -> list[str]:
        return [reason for answer in self.answers for reason in answer.skipped]

    @property
    def requests(self) -> int:
        return len(self.answers)


POLL_SECONDS = 0.2


def fetch_windows(windows: list[Window], ask: Callable[[Window], Answer], *, scope: Scope, pool: Executor,
                  limit: int | None = None, workers: int = 1) -> Fetched:
    """Every window's answer, at most `workers` at a time. The first failure stops the
    query and is raised (its other windows, in flight or not, are cancelled): a history
    with a hole in it is worse than none."""
    done: list[tuple[Window, Answer]] = []
    todo = list(windows)
    pending: dict[Future[Answer], Window] = {}
    try:
        while todo or pending:
            while todo and len(pending) < max(workers, 1):
                window = todo.pop(0)
                pending[pool.submit(ask, window)] = window
            # Woken now and then: a Ctrl-C that the kernel hands to a worker thread only
            # reaches this thread's handler between two waits.
            finished, _ = wait(pending, timeout=POLL_SECONDS, return_when=FIRST_COMPLETED)
            for future in finished:
                window = pending.pop(future)
                answer = future.result()  # raises the window's Failure
                if reached(answer, limit):
                    halves = window.halves()
                    if halves is None:
                        raise Failure.of("cut", "cut", day=window.first, limit=limit or 0)
                    todo[:0] = halves
                else:
                    done.append((window, answer))
    except BaseException as error:
        scope.cancel(error if isinstance(error, Failure) else None)
        for future in pending:
            future.cancel()
        wait(pending)  # cancelled requests end at once; none outlives the query
        raise
    done.sort(key=lambda item: item[0].first)
    return Fetched(answers=[answer for _, answer in done])
