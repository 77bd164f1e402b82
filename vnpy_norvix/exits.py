"""The command line's exit statuses, and which failures a later run may not meet.

One table, documented as it is in docs/cli.md ("Exit status"): a cron job or a script
tells "try later" (UNAVAILABLE) from "this will not work as asked" (FAILED).
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Protocol

OK = 0  # everything asked was done
FAILED = 1  # a task failed for a reason that stays: a refusal, an unknown contract, a day given up on, a finding
USAGE = 2  # the command line or a settings file is wrong
NOTHING_REMEMBERED = 3  # `update` on a store that remembers no command
LOCKED = 4  # another run holds the store and --no-wait was given
UNAVAILABLE = 5  # the service could not be reached or timed out: try later
INTERRUPTED = 130  # Ctrl-C

# The failures of the service's side that a later run may not meet (the engine's kinds).
PASSING_KINDS = frozenset({"unreachable", "timeout", "budget"})


class HasKind(Protocol):
    @property
    def kind(self) -> str: ...

    @property
    def retry(self) -> bool: ...


def passing(failure: HasKind) -> bool:
    """Whether a failure is one a later run may not meet: the service down or slow, or
    answering with a server error it asks to be retried (HTTP 429 and 5xx)."""
    return failure.kind in PASSING_KINDS or (failure.kind == "http" and failure.retry)


def combined(statuses: Iterable[int]) -> int:
    """The status of a run made of parts: an interruption first, then a lasting failure,
    then "try later" (a run whose every failure was the service's absence), else done."""
    found = set(statuses)
    for status in (INTERRUPTED, USAGE, FAILED, LOCKED, UNAVAILABLE):
        if status in found:
            return status
    return OK

