"""Request ranges: instants in China time, the date windows that cover them, and the
trading days whose sessions meet them."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from operator import attrgetter
from typing import Protocol, TypeVar

import vnpy.trader.database as vn_database

from norvix_datafeed import CHINA_TZ

# A night session's records carry the next trading day, which is at most a weekend
# after the evening they were traded on: asking the service for trading dates up to
# this much past the end date misses none of them.
NIGHT_SLACK = timedelta(days=3)
# Bounds of one trading day's sessions, with room to spare: its night session (call
# auction included) opens after this time on the evening of the trading day before,
# and its day session closes before this time on the trading day itself.
NIGHT_OPENS = time(20, 0)
DAY_CLOSES = time(16, 0)


def china_time(value: datetime | None) -> datetime:
    """`value` as an instant in China time: zone-aware times are converted, naive ones
    are read in vn.py's database zone (as its data manager writes them), None is now."""
    if value is None:
        return datetime.now(CHINA_TZ)
    if value.tzinfo is None:
        # Read at call time: the zone follows vn.py's "database.timezone".
        value = value.replace(tzinfo=vn_database.DB_TZ)
    return value.astimezone(CHINA_TZ)


@dataclass(frozen=True)
class Window:
    """Dates first..last, both included, as one request asks for them."""

    first: date
    last: date

    def halves(self) -> tuple[Window, Window] | None:
        if self.first == self.last:
            return None
        middle = self.first + (self.last - self.first) // 2
        return Window(self.first, middle), Window(middle + timedelta(days=1), self.last)


def windows(first: date, last: date, days: int) -> list[Window]:
    """[first, last] cut into consecutive windows of at most `days` dates."""
    result = []
    while first <= last:
        end = min(first + timedelta(days=days - 1), last)
        result.append(Window(first, end))
        first = end + timedelta(days=1)
    return result


def tick_days(calendar: list[date], start: datetime, end: datetime) -> list[date]:
    """The trading days of `calendar` (ascending) whose sessions meet [start, end]: a
    trading day runs from the night session on the evening of the trading day before
    to the close of its own day session."""
    days = []
    previous: date | None = None
    for day in calendar:
        opens = None if previous is None else datetime.combine(previous, NIGHT_OPENS, CHINA_TZ)
        closes = datetime.combine(day, DAY_CLOSES, CHINA_TZ)
        # Without the day before in the calendar, its night lies before the range.
        if start <= closes and (opens is None or opens <= end):
            days.append(day)
        previous = day
    return days


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
