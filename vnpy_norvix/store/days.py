"""The completeness record: per series and trading day, how many records the last save of
the day held, and what the service's own data said of it when they were fetched.

A trading day of a series is whole only when, at its fetch, the service had published
the contract's daily bar of the day and what was saved agrees with it (`judge`): minute
and hour bars whose volumes sum to the day's volume and whose highest high and lowest
low are the day's, ticks whose last cumulative volume is the day's volume, a daily bar
fetched after its publication. The clock (calendar.published: the last close plus
"datafeed.publish_delay") is only the first gate: a day fetched before it is
provisional whatever its records. A provisional day is fetched again by every later
run until it is whole, or until "datafeed.settle_days" trading days have passed: then
it is unsettled, reported once by the run that gives up on it, kept as stored and no
longer fetched. A day the service answered with nothing is recorded as well: known
empty (its daily bar shows no trading), or not carried (its daily bar shows trading the
service keeps no records of); neither is asked again.

The record lives in a table of its own beside vn.py's ("norvixday") and is written in
the same transaction as the day's rows (writer.py), so that a day is never marked whole
without them, whatever interrupts the save. A lab folder keeps the same record in a
ledger file (lab.py).

Series with no record (stored by an earlier version of this package, by vn.py itself or
by another tool) are fetched again once, in whole days, and recorded from then on. A
record written by the previous version (no `detail` column) is read as it was, but for
a day it called whole with no records: that one is asked again.
"""

from __future__ import annotations

import math
from bisect import bisect_left
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from functools import reduce
from operator import add, attrgetter, le
from typing import TYPE_CHECKING

from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, TickData

from norvix_datafeed import CHINA_TZ

from ..calendar import PARTS, Calendar, published, settle_days, trading_days_after

if TYPE_CHECKING:
    import polars as pl

TABLE = "norvixday"
# No time of the fetch is kept: a store filled by several runs holds the same record as
# one filled at once by a run at the time of the last.
COLUMNS = ("symbol", "exchange", "interval", "day", "count", "complete", "detail")
KEY = ("symbol", "exchange", "interval")
# The column the previous version's table lacks (added in place: `migrate`).
ADDED_COLUMN = "detail"

# What the `complete` column holds: how the day stood at its last fetch.
PROVISIONAL, WHOLE, EMPTY, NOT_CARRIED, UNSETTLED = 0, 1, 2, 3, 4
STATE_NAMES = {PROVISIONAL: "provisional", WHOLE: "whole", EMPTY: "empty", NOT_CARRIED: "not carried",
               UNSETTLED: "unsettled"}
# The states of a day the service answered with nothing.
SERVED_NOTHING = frozenset({EMPTY, NOT_CARRIED})
# The states no run fetches again (`verify --repair` and `verify --deep` do).
SETTLED = frozenset({WHOLE, EMPTY, NOT_CARRIED, UNSETTLED})


@dataclass(frozen=True)
class DayRecord:
    """What the last save of one trading day held, and how it stood (`state`, with what
    disagreed in `detail`)."""

    count: int
    state: int
    detail: str = ""

    @property
    def complete(self) -> bool:
        return self.state == WHOLE

    @property
    def settled(self) -> bool:
        return self.state in SETTLED

    @classmethod
    def stored(cls, count: int, state: int | bool, detail: str | None) -> DayRecord:
        """A record as the table or a ledger keeps it. The previous version recorded a day
        fetched after its close as whole whatever it held, and with no `detail`: such a
        day with no records (a service that was late or stuck) is provisional."""
        count, state = int(count), int(state)  # a ledger's JSON may hold bools, or anything
        if detail is None and state == WHOLE and count == 0:
            state = PROVISIONAL
        return cls(count, state if state in STATE_NAMES else PROVISIONAL, str(detail or ""))


@dataclass
class Tally:
    """What one trading day's records add up to, to hold against its daily bar."""

    count: int = 0
    volume: float = 0.0  # bars: summed; ticks: the last tick's (cumulative over the day)
    high: float = -math.inf
    low: float = math.inf

    def add(self, record: BarData | TickData) -> None:
        if isinstance(record, TickData):
            self.add_values(record.volume, record.last_price, record.last_price, cumulative=True)
        else:
            self.add_values(record.volume, record.high_price, record.low_price)

    def add_values(self, volume: float, high: float, low: float, cumulative: bool = False) -> None:
        self.count += 1
        self.volume = volume if cumulative else self.volume + volume
        self.high, self.low = max(self.high, high), min(self.low, low)


@dataclass(frozen=True)
class Daily:
    """The service's daily bar of one trading day, as far as a day is checked against it."""

    volume: float
    high: float
    low: float

    @classmethod
    def of(cls, bar: BarData) -> Daily:
        return cls(bar.volume, bar.high_price, bar.low_price)


def tallies(records: Sequence[BarData | TickData], interval: Interval, calendar: Calendar) -> dict[date, Tally]:
    """Each trading day's tally of `records` (ascending). The writer's thread does this
    for every window while the fetchers want the interpreter too: records that are
    ascending are added up a stretch at a time (`stretch_end`), within which the trading
    day cannot change."""
    times = list(map(attrgetter("datetime"), records))
    try:
        ascending = all(map(le, times, times[1:]))
    except TypeError:  # times with and without a zone
        ascending = False
    found: dict[date, Tally] = {}
    if not ascending:
        for record in records:
            found.setdefault(calendar.trading_day(record.datetime, interval), Tally()).add(record)
        return found
    ticks = interval == Interval.TICK
    begin = 0
    while begin < len(times):
        end = bisect_left(times, stretch_end(times[begin]), lo=begin)
        run = records[begin:end]
        tally = found.setdefault(calendar.trading_day(times[begin], interval), Tally())
        if ticks:
            prices = list(map(attrgetter("last_price"), run))
            tally.volume = run[-1].volume  # cumulative over the day
            tally.high, tally.low = max((tally.high, *prices)), min((tally.low, *prices))
        else:
            # Added in order, as Tally.add adds them (sum() would compensate).
            tally.volume = reduce(add, map(attrgetter("volume"), run), tally.volume)
            tally.high = max((tally.high, *map(attrgetter("high_price"), run)))
            tally.low = min((tally.low, *map(attrgetter("low_price"), run)))
        tally.count += len(run)
        begin = end
    return found


def frame_tallies(ticks: pl.DataFrame) -> dict[date, Tally]:
    """`tallies` of a window's ticks held as a tick frame (history/frames.py), ascending,
    with its `trading_day` column: per day the count, the last tick's volume and the
    extremes of the last prices, computed on the columns."""
    import polars as pl

    price = pl.col("last_price")
    found = ticks.group_by("trading_day", maintain_order=True).agg(pl.len(), pl.col("volume").last(),
                                                                   price.max().alias("high"), price.min().alias("low"))
    return {day: Tally(count, volume, high, low) for day, count, volume, high, low in found.iter_rows()}


def stretch_end(moment: datetime) -> datetime:
    """Where the part of its date holding `moment` ends (calendar.PARTS), in China time and
    as aware or naive as `moment`: within one part the trading day of a moment is one."""
    local = moment.astimezone(CHINA_TZ) if moment.tzinfo else moment
    day, zone = local.date(), CHINA_TZ if moment.tzinfo else None
    part = next(part for part in PARTS if part.end is None or local.time() < part.end)
    if part.end is None:
        return datetime.combine(day + timedelta(days=1), time(), zone)
    return datetime.combine(day, part.end, zone)


def _same(a: float, b: float) -> bool:
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)


def disagreement(interval: Interval, tally: Tally, daily: Daily) -> str:
    """What in one day's records disagrees with its daily bar ("" when nothing does)."""
    if interval == Interval.DAILY:
        return ""
    found = []
    if not _same(tally.volume, daily.volume):
        found.append(f"volume {tally.volume:g} of {daily.volume:g}")
    if interval != Interval.TICK:  # a tick's price is not the day's extreme of every trade
        if not _same(tally.high, daily.high):
            found.append(f"high {tally.high:g} not {daily.high:g}")
        if not _same(tally.low, daily.low):
            found.append(f"low {tally.low:g} not {daily.low:g}")
    return ", ".join(found)


def judge(day: date, interval: Interval, tally: Tally, daily: dict[date, Daily], fetched: datetime) -> DayRecord:
    """How trading day `day` stands after a fetch at `fetched` that gave `tally`, the
    service's daily bars of the contract being `daily` when the fetch began. The trading
    days counted towards settling are those of the daily bars, and weekdays after the last
    of them (a service stuck for days publishes none)."""
    record = _judged(day, interval, tally, daily, fetched)
    # A day of which nothing is served or published (a holiday's weekday, a service stuck
    # for days) is not given up on: it stays provisional until the service publishes it
    # or a later day (then it is known empty).
    disagrees = record.count or day in daily
    if record.state == PROVISIONAL and disagrees and trading_days_after(day, fetched.date(),
                                                                         Calendar(daily)) >= settle_days():
        return DayRecord(record.count, UNSETTLED, record.detail)
    return record


def _judged(day: date, interval: Interval, tally: Tally, daily: dict[date, Daily], fetched: datetime) -> DayRecord:
    count, bar = tally.count, daily.get(day)
    if fetched < published(day):
        return DayRecord(count, PROVISIONAL, "fetched before the day was published")
    if bar is None:
        if not count and any(later > day for later in daily):
            return DayRecord(0, EMPTY)  # the service has published later days: it did not trade on this one
        return DayRecord(count, PROVISIONAL, "no daily bar published")
    if not count:
        return DayRecord(0, EMPTY if bar.volume == 0 else NOT_CARRIED)
    found = disagreement(interval, tally, bar)
    return DayRecord(count, PROVISIONAL if found else WHOLE, found)


def counted_days(days: dict[date, int], fetched: datetime) -> dict[date, DayRecord]:
    """The records of trading days saved with these counts from a fetch at `fetched`, by
    the clock alone (a caller without the service's daily bars to hold them against). A
    day the fetch had no record of is recorded too (the service has none of it: a day
    without ticks, a holiday), but what was stored of it is kept (see `replaced`)."""
    return {day: DayRecord(count, WHOLE if count and fetched >= published(day) else PROVISIONAL)
            for day, count in days.items()}


def replaced(records: dict[date, DayRecord]) -> list[date]:
    """The days whose stored records a save replaces: those it has records of."""
    return sorted(day for day, record in records.items() if record.count)


def record_rows(symbol: str, exchange: str, interval: Interval,
                records: dict[date, DayRecord]) -> list[tuple[object, ...]]:
    return [(symbol, exchange, interval.value, day.isoformat(), record.count, record.state, record.detail)
            for day, record in sorted(records.items())]


def create_table(text_type: str, name: Callable[[str], str]) -> str:
    """The record's table, made when missing; `text_type` is the dialect's text column,
    `name` its quoting of a name. The day is ISO text of ten characters, which keeps the
    key within every dialect's bound on an index."""
    t = text_type
    return (f"CREATE TABLE IF NOT EXISTS {name(TABLE)} ({name('symbol')} {t} NOT NULL, "
            f"{name('exchange')} {t} NOT NULL, {name('interval')} {t} NOT NULL, {name('day')} VARCHAR(10) NOT NULL, "
            f"{name('count')} INTEGER NOT NULL, {name('complete')} INTEGER NOT NULL, {name(ADDED_COLUMN)} {t}, "
            f"PRIMARY KEY ({name('symbol')}, {name('exchange')}, {name('interval')}, {name('day')}))")


def migrate(text_type: str, name: Callable[[str], str]) -> str:
    """The previous version's table given the added column (its rows keep NULL there)."""
    return f"ALTER TABLE {name(TABLE)} ADD COLUMN {name(ADDED_COLUMN)} {text_type}"
