"""What one request or one query came to: its records, or a failure with its reason."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Literal

from vnpy.trader.object import BarData, TickData

from .. import messages

if TYPE_CHECKING:
    import numpy as np

Kind = Literal["credentials", "unreachable", "timeout", "http", "refused", "unreadable", "cut", "budget",
               "unknown_contract", "exchange", "range", "cancelled", "too_large", "mismatch"]

# Records of one answer: bars or ticks (history kinds), the service's own (reference kinds).
Records = list[BarData] | list[TickData] | list[dict[str, object]]
Record = BarData | TickData | dict[str, object]
# Columns of one answer: numbers as arrays, a text field as (codes, values).
Columns = dict[str, "np.ndarray | tuple[np.ndarray, list[object]]"]

# Failures that say the service cannot serve this query at all: the query's other
# requests, in flight or waiting, would only fail the same way.
FATAL: frozenset[str] = frozenset({"credentials", "unreachable", "timeout", "budget"})


class Failure(Exception):
    """A request or query that did not give its records. `reason` is the user-facing text
    (worded in vnpy_norvix/messages.py, already masked), `kind` what went wrong.

    `retry` says whether the same request may succeed when sent again, `wait` how long
    the service asked to be left alone first (seconds, from its Retry-After). `plain` is
    the reason in the command line's words (English), where there is one."""

    def __init__(self, reason: str, kind: Kind, *, retry: bool = False, wait: float | None = None,
                 plain: str | None = None) -> None:
        super().__init__(reason)
        self.reason = reason
        self.plain = plain
        self.kind: Kind = kind
        self.retry = retry
        self.wait = wait

    @classmethod
    def of(cls, reason: str, kind: Kind, /, *, mask: Callable[[str], str] | None = None, retry: bool = False,
           wait: float | None = None, **arguments: object) -> Failure:
        """The failure whose reason is messages.REASONS[reason] with `arguments`, in both
        languages (each passed through `mask` when it may hold the password)."""
        chinese, plain = messages.texts(reason, **arguments)
        if mask is not None:
            chinese, plain = mask(chinese), None if plain is None else mask(plain)
        return cls(chinese, kind, retry=retry, wait=wait, plain=plain)


@dataclass
class Answer:
    records: Records = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)  # masked reasons of records that could not be read

    @property
    def count(self) -> int:
        """How many records the answer held."""
        return len(self.records)


@dataclass
class ColumnAnswer(Answer):
    """One history answer read into typed columns (vnpy_norvix/_wire.pyi, decode_columns)
    instead of records: `datetime` and each field under its vn.py keyword."""

    columns: Columns = field(default_factory=dict)

    @property
    def count(self) -> int:
        datetimes = self.columns.get("datetime")
        return 0 if datetimes is None or isinstance(datetimes, tuple) else len(datetimes)
