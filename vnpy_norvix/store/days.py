"""The completeness record: per series and trading day, how many records the last save of
the day held, and whether the day was whole when they were fetched.

A trading day counts as held only when it was fetched after it was published in full
(calendar.published): a day fetched earlier (at 10:30 on the day, or during its night
session) is provisional, and every later download fetches it again. The record lives
in a table of its own beside vn.py's ("norvixday") and is written in the same
transaction as the day's rows (writer.py), so that a day is never marked whole without
them, whatever interrupts the save. A lab folder keeps the same record in a ledger file
(research/lab.py).

Series with no record (stored by an earlier version of this package, by vn.py itself or
by another tool) are fetched again once, in whole days, and recorded from then on.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from datetime import date, datetime

from vnpy.trader.constant import Interval

from ..calendar import published

TABLE = "norvixday"
# No time of the fetch is kept: a store filled by several runs holds the same record as
# one filled at once by a run at the time of the last.
COLUMNS = ("symbol", "exchange", "interval", "day", "count", "complete")
KEY = ("symbol", "exchange", "interval")


@dataclass(frozen=True)
class DayRecord:
    """What the last save of one trading day held."""

    count: int
    complete: bool


def create_table(text_type: str, name: Callable[[str], str]) -> str:
    """The record's table, made when missing; `text_type` is the dialect's text column,
    `name` its quoting of a name. The day is ISO text of ten characters, which keeps the
    key within every dialect's bound on an index."""
    t = text_type
    return (f"CREATE TABLE IF NOT EXISTS {name(TABLE)} ({name('symbol')} {t} NOT NULL, "
            f"{name('exchange')} {t} NOT NULL, {name('interval')} {t} NOT NULL, {name('day')} VARCHAR(10) NOT NULL, "
            f"{name('count')} INTEGER NOT NULL, {name('complete')} INTEGER NOT NULL, "
            f"PRIMARY KEY ({name('symbol')}, {name('exchange')}, {name('interval')}, {name('day')}))")


def counted_days(days: dict[date, int], fetched: datetime) -> dict[date, DayRecord]:
    """The records of trading days saved with these counts from a fetch at `fetched`. A day
    the fetch had no record of is recorded too (the service has none of it: a day without
    ticks, a holiday), but what was stored of it is kept (see `replaced`)."""
    return {day: DayRecord(count, fetched >= published(day)) for day, count in days.items()}


def replaced(records: dict[date, DayRecord]) -> list[date]:
    """The days whose stored records a save replaces: those it has records of."""
    return sorted(day for day, record in records.items() if record.count)


def record_rows(symbol: str, exchange: str, interval: Interval,
                records: dict[date, DayRecord]) -> list[tuple[object, ...]]:
    return [(symbol, exchange, interval.value, day.isoformat(), record.count, int(record.complete))
            for day, record in sorted(records.items())]
