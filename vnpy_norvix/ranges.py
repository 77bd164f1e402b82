"""Records within a range. The calendar's rules (China time, windows, trading days and
their sessions) live in vnpy_norvix.calendar."""

from __future__ import annotations

from datetime import datetime
from operator import attrgetter
from typing import Protocol, TypeVar


class Stamped(Protocol):
    datetime: datetime


Record = TypeVar("Record", bound=Stamped)


def within(records: list[Record], start: datetime, end: datetime, *, one_per_time: bool = True) -> list[Record]:
    """The records whose time lies in [start, end], ascending, without duplicates: with
    `one_per_time` a record is a duplicate of an earlier one of the same time (bars),
    otherwise only of an equal one (ticks: several may share a second)."""
    kept = sorted((record for record in records if start <= record.datetime <= end), key=attrgetter("datetime"))
    unique: list[Record] = []
    same_time = 0  # where the records of the last kept time begin in `unique`
    for record in kept:
        if unique and record.datetime == unique[-1].datetime:
            if one_per_time or record in unique[same_time:]:
                continue
        else:
            same_time = len(unique)
        unique.append(record)
    return unique
