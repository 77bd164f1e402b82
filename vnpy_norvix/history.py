"""Complete history over [start, end] (China time), assembled from the service's
answers: bars in date windows, ticks trading day by trading day, hour and week bars
made from minute and daily bars."""

from __future__ import annotations

from collections.abc import Sized
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from typing import TYPE_CHECKING, cast

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, TickData

from .aggregate import hour_bars, week_bars
from .calendar import (DAY_WINDOW_DAYS, MINUTE_WINDOW_DAYS, NIGHT_SLACK, Calendar, Window, midnight, today_in_china,
                       unpublished, windows)
from .engine import Answer, Engine, Scope
from .engine import wire
from .fetch import Fetched, fetch_windows
from .ranges import within

if TYPE_CHECKING:
    from .datafeed import Datafeed

# The calendar's window sizes, named here for callers (and tests) of this module.
__all__ = ["DAY_WINDOW_DAYS", "KIND", "MINUTE_WINDOW_DAYS", "BarPlan", "History", "Query", "bar_history", "bar_plan",
           "tick_dates", "tick_history", "today_in_china"]
KIND = {Interval.MINUTE: "minute", Interval.DAILY: "day", Interval.TICK: "tick"}


@dataclass
class History[R: Sized]:
    """One query's result: its records (a list of vn.py objects, or a frame), the reasons
    of the records that could not be read, and how many requests it took."""

    records: R
    skipped: list[str] = field(default_factory=list)
    requests: int = 0

    @classmethod
    def of(cls, records: R, *parts: Fetched) -> History[R]:
        return cls(records, [reason for part in parts for reason in part.skipped],
                   sum(part.requests for part in parts))


@dataclass
class Query:
    """One user-level query of `feed` for `symbol` on the engine of its settings; raises Failure.
    With `columns` its answers are read into typed columns (ColumnAnswer) instead of records."""

    feed: Datafeed
    engine: Engine
    scope: Scope
    symbol: str
    exchange: Exchange
    columns: bool = False

    def fetch(self, interval: Interval, days: list[Window], limit: int | None) -> Fetched:
        kind = KIND[interval]

        def one(window: Window) -> Answer:
            last = None if interval == Interval.TICK else window.last.isoformat()
            if self.columns:
                return self.engine.call_columns(kind, self.symbol, window.first.isoformat(), last, scope=self.scope)
            return self.engine.call(kind, self.symbol, window.first.isoformat(), last, exchange=self.exchange,
                                    scope=self.scope)

        return fetch_windows(days, one, scope=self.scope, pool=self.engine.pool, limit=limit,
                             workers=self.feed.workers)

    def bars(self, interval: Interval, first: date, last: date) -> Fetched:
        size = MINUTE_WINDOW_DAYS if interval == Interval.MINUTE else DAY_WINDOW_DAYS
        return self.fetch(interval, windows(first, last, size), wire.limit(KIND[interval]))


@dataclass(frozen=True)
class BarPlan:
    """What a bar query asks the service for: bars of the served interval `source` over
    the dates first..last, of which those in [low, high] go into the bars of the
    interval asked for (hour bars are made from minute bars, week bars from daily bars)."""

    source: Interval
    first: date
    last: date
    low: datetime
    high: datetime


def bar_plan(interval: Interval, start: datetime, end: datetime) -> BarPlan:
    if interval == Interval.HOUR:
        # Whole hours: from the start of the first hour to the end of the last one.
        first_hour = start.replace(minute=0, second=0, microsecond=0)
        last_minute = end.replace(minute=59, second=59, microsecond=999_999)
        return BarPlan(Interval.MINUTE, first_hour.date(), end.date() + NIGHT_SLACK, first_hour, last_minute)
    if interval == Interval.WEEKLY:
        # Whole weeks, Monday to Sunday, so that each is stamped at its first trading day.
        monday = start.date() - timedelta(days=start.weekday())
        sunday = end.date() + timedelta(days=6 - end.weekday())
        return BarPlan(Interval.DAILY, monday, sunday, midnight(monday), midnight(sunday))
    if interval == Interval.MINUTE:
        return BarPlan(interval, start.date(), end.date() + NIGHT_SLACK, start, end)
    return BarPlan(interval, start.date(), end.date(), start, end)


def bar_history(query: Query, interval: Interval, start: datetime, end: datetime) -> History[list[BarData]]:
    plan = bar_plan(interval, start, end)
    fetched = query.bars(plan.source, plan.first, plan.last)
    records = within(_bars(fetched), plan.low, plan.high)
    if interval == Interval.HOUR:
        records = within(hour_bars(records), start, end)
    elif interval == Interval.WEEKLY:
        records = within(week_bars(records), start, end)
    return History.of(records, fetched)


def tick_dates(known: set[date], start: datetime, end: datetime) -> list[date]:
    """The trading days whose ticks meet [start, end], from the dates of the daily bars
    over [start, end + NIGHT_SLACK]: a night session belongs to the next trading day."""
    # Days whose daily bar may not be published yet are asked for as well.
    known |= set(unpublished(today_in_china(), start.date(), end.date() + NIGHT_SLACK))
    return Calendar(known).session_days(start, end)


def tick_history(query: Query, start: datetime, end: datetime) -> History[list[TickData]]:
    # The daily bars tell the instrument's trading days; a night session belongs to the next one.
    calendar = query.bars(Interval.DAILY, start.date(), end.date() + NIGHT_SLACK)
    days = tick_dates({bar.datetime.date() for bar in _bars(calendar)}, start, end)
    fetched = query.fetch(Interval.TICK, [Window(day, day) for day in days], None)
    ticks = within(cast(list[TickData], fetched.records), start, end, one_per_time=False)
    return History.of(ticks, fetched, calendar)


def _bars(fetched: Fetched) -> list[BarData]:
    return cast(list[BarData], fetched.records)
