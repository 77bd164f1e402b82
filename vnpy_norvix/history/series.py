"""Complete history over [start, end] (China time), assembled from the service's
answers: bars in date windows, ticks trading day by trading day, hour and week bars
made from minute and daily bars. The form of the result is a parameter: vn.py records
(RECORDS) or a polars frame (vnpy_norvix/history/frames.py, FRAMES)."""

from __future__ import annotations

from collections.abc import Sized
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from typing import Protocol, cast

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData

from ..calendar import NIGHT_SLACK, Calendar, Window, midnight, today_in_china, unpublished
from .aggregate import hour_bars, week_bars
from .fetch import Fetched
from .request import HistoryQuery
from .select import within


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


class Form[R: Sized](Protocol):
    """What a history's result is made of, and the rules of `select` and `aggregate` in
    that form."""

    columns: bool  # whether answers are read as typed columns rather than records

    def of(self, fetched: Fetched, symbol: str, exchange: Exchange, interval: Interval) -> R: ...

    def within(self, found: R, start: datetime, end: datetime, *, one_per_time: bool = True) -> R: ...

    def hours(self, minutes: R) -> R: ...

    def weeks(self, days: R) -> R: ...

    def dates(self, found: R) -> set[date]: ...


class RecordForm:
    """Histories as lists of vn.py's BarData / TickData."""

    columns = False

    def of(self, fetched: Fetched, symbol: str, exchange: Exchange, interval: Interval) -> list[BarData]:
        # The engine's answers of a history query hold vn.py records (ticks typed as bars
        # here: only their `datetime` is read).
        return cast(list[BarData], fetched.records)

    def within(self, found: list[BarData], start: datetime, end: datetime, *,
               one_per_time: bool = True) -> list[BarData]:
        return within(found, start, end, one_per_time=one_per_time)

    def hours(self, minutes: list[BarData]) -> list[BarData]:
        return hour_bars(minutes)

    def weeks(self, days: list[BarData]) -> list[BarData]:
        return week_bars(days)

    def dates(self, found: list[BarData]) -> set[date]:
        return {bar.datetime.date() for bar in found}


RECORDS = RecordForm()


@dataclass(frozen=True)
class BarPlan:
    """What a bar query asks the service for: bars of the served interval `served` over
    the dates first..last, of which those in [low, high] go into the bars of the
    interval asked for (hour bars are made from minute bars, week bars from daily bars)."""

    served: Interval
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


def bar_history[R: Sized](query: HistoryQuery, interval: Interval, start: datetime, end: datetime,
                          form: Form[R]) -> History[R]:
    """The bars of `interval` whose time lies in [start, end], ascending, one per time."""
    plan = bar_plan(interval, start, end)
    fetched = query.bars(plan.served, plan.first, plan.last, columns=form.columns)
    bars = form.within(form.of(fetched, query.symbol, query.exchange, plan.served), plan.low, plan.high)
    if interval == Interval.HOUR:
        bars = form.within(form.hours(bars), start, end)
    elif interval == Interval.WEEKLY:
        bars = form.within(form.weeks(bars), start, end)
    return History.of(bars, fetched)


def tick_dates(known: set[date], start: datetime, end: datetime) -> list[date]:
    """The trading days whose ticks meet [start, end], from the dates of the daily bars
    over [start, end + NIGHT_SLACK]: a night session belongs to the next trading day."""
    # Days whose daily bar may not be published yet are asked for as well.
    known |= set(unpublished(today_in_china(), start.date(), end.date() + NIGHT_SLACK))
    return Calendar(known).session_days(start, end)


def tick_history[R: Sized](query: HistoryQuery, start: datetime, end: datetime, form: Form[R]) -> History[R]:
    """The ticks whose time lies in [start, end], ascending, from every trading day the
    range meets; equal ticks once, distinct ticks of one time each."""
    # The daily bars tell the instrument's trading days; a night session belongs to the next one.
    calendar = query.bars(Interval.DAILY, start.date(), end.date() + NIGHT_SLACK, columns=form.columns)
    days = tick_dates(form.dates(form.of(calendar, query.symbol, query.exchange, Interval.DAILY)), start, end)
    fetched = query.fetch(Interval.TICK, [Window(day, day) for day in days], None, columns=form.columns)
    ticks = form.within(form.of(fetched, query.symbol, query.exchange, Interval.TICK), start, end,
                        one_per_time=False)
    return History.of(ticks, fetched, calendar)

