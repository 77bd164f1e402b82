"""What one request or one query came to: its records, or a failure with its reason."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Literal

from vnpy.trader.object import BarData, TickData

Kind = Literal["credentials", "unreachable", "timeout", "http", "refused", "unreadable", "cut", "budget",
               "unknown_contract", "exchange", "range", "cancelled"]

# Records of one answer: bars or ticks (history kinds), the service's own (reference kinds).
Records = list[BarData] | list[TickData] | list[dict[str, object]]
Record = BarData | TickData | dict[str, object]

# Failures that say the service cannot serve this query at all: the query's other
# requests, in flight or waiting, would only fail the same way.
FATAL: frozenset[str] = frozenset({"credentials", "unreachable", "timeout", "budget"})


class Failure(Exception):
    """A request or query that did not give its records. `reason` is the user-facing text
    (worded in vnpy_norvix/messages.py, already masked), `kind` what went wrong.

    `retry` says whether the same request may succeed when sent again, `wait` how long
    the service asked to be left alone first (seconds, from its Retry-After)."""

    def __init__(self, reason: str, kind: Kind, *, retry: bool = False, wait: float | None = None) -> None:
        super().__init__(reason)
        self.reason = reason
        self.kind: Kind = kind
        self.retry = retry
        self.wait = wait


@dataclass
class Answer:
    records: Records = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)  # masked reasons of records that could not be read
