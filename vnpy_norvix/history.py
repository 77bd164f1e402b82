"""Complete history over [start, end] (China time), assembled from the core's queries:
bars in date windows, ticks trading day by trading day, hour and week bars made from
minute and daily bars."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from typing import TYPE_CHECKING

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData

from norvix_datafeed import CHINA_TZ, NorvixDatafeed

from .aggregate import hour_bars, week_bars
from .fetch import Answer, Fetched, call, fetch_windows
from .ranges import NIGHT_SLACK, Window, tick_days, windows, within

if TYPE_CHECKING:
    from .datafeed import Datafeed

# The most records one answer holds (the core's request limits), and window sizes that
# stay well below them: about 23 trading days of the longest sessions (555 minutes)
# and about 1,070 trading days.
MINUTE_LIMIT, DAY_LIMIT = 40_000, 2_000
MINUTE_WINDOW_DAYS, DAY_WINDOW_DAYS = 30, 1_500


@dataclass
class History[R]:
    """One query's result: its records (a list of vn.py objects, or a frame)."""

    records: R
    failure: str | None = None
    skipped: int = 0
    skip_reason: str = ""
    answered: bool = False  # some call was seen to end (the core's lines were readable)

    @classmethod
    def of(cls, fetched: Fetched, records: R, *more: Fetched) -> History[R]:
        parts = (fetched, *more)
        return cls(records=records, skipped=sum(part.skipped for part in parts),
                   skip_reason=next((part.skip_reason for part in parts if part.skipped), ""),
                   answered=any(answer.outcome.answered for part in parts for answer in part.answers))


@dataclass(frozen=True)
class Source:
    """How bars of one served interval are asked for: the answer kind, the dates one
    request covers and the most records one answer holds."""

    kind: str
    days: int
    limit: int


def source_of(interval: Interval) -> Source:
    """Minute or daily bars (the window sizes read when asked: tests change them)."""
    if interval == Interval.MINUTE:
        return Source("minute", MINUTE_WINDOW_DAYS, MINUTE_LIMIT)
    return Source("day", DAY_WINDOW_DAYS, DAY_LIMIT)


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
        return BarPlan(Interval.DAILY, monday, sunday, _midnight(monday), _midnight(sunday))
    if interval == Interval.MINUTE:
        return BarPlan(interval, start.date(), end.date() + NIGHT_SLACK, start, end)
    return BarPlan(interval, start.date(), end.date(), start, end)


def _bars(feed: Datafeed, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date) -> Fetched:
    source = source_of(interval)
    query = feed.query_minute_bar_history if interval == Interval.MINUTE else feed.query_day_bar_history

    def one(window: Window) -> Answer:
        return call(query, symbol, exchange, window.first.isoformat(), window.last.isoformat(),
                    symbol=symbol, base_url=feed.base_url)

    return fetch_windows(windows(first, last, source.days), one, limit=source.limit, workers=feed.workers)


def bar_history(feed: Datafeed, symbol: str, exchange: Exchange, interval: Interval, start: datetime,
                end: datetime) -> History[list[BarData]]:
    plan = bar_plan(interval, start, end)
    fetched = _bars(feed, symbol, exchange, plan.source, plan.first, plan.last)
    if fetched.failure:
        return History([], failure=fetched.failure)
    bars: list[BarData] = within(fetched.records, plan.low, plan.high)
    if interval == Interval.HOUR:
        bars = within(hour_bars(bars), start, end)
    elif interval == Interval.WEEKLY:
        bars = within(week_bars(bars), start, end)
    return History.of(fetched, bars)


def tick_history(feed: Datafeed, symbol: str, exchange: Exchange, start: datetime,
                 end: datetime) -> History[list[TickData]]:
    # The daily bars tell the instrument's trading days; a night session belongs to the next one.
    last = end.date() + NIGHT_SLACK
    calendar = _bars(feed, symbol, exchange, Interval.DAILY, start.date(), last)
    if calendar.failure:
        return History([], failure=calendar.failure)
    days = tick_dates({bar.datetime.date() for bar in calendar.records}, start, end)

    def one(window: Window) -> Answer:
        req = HistoryRequest(symbol=symbol, exchange=exchange, start=_midnight(window.first))
        # The core's own single-day query, not this plug-in's override.
        return call(NorvixDatafeed.query_tick_history, feed, req, symbol=symbol, base_url=feed.base_url)

    fetched = fetch_windows([Window(day, day) for day in days], one, workers=feed.workers)
    if fetched.failure:
        return History([], failure=fetched.failure)
    ticks: list[TickData] = within(fetched.records, start, end, one_per_time=False)
    return History.of(fetched, ticks, calendar)


def tick_dates(known: set[date], start: datetime, end: datetime) -> list[date]:
    """The trading days whose ticks meet [start, end], from the dates of the daily bars
    over [start, end + NIGHT_SLACK]."""
    # Today's daily bar, and that of the trading day tonight's session belongs to, may
    # not be published yet: the weekdays from today on are asked for as well.
    last = end.date() + NIGHT_SLACK
    today = today_in_china()
    unpublished = {today + timedelta(days=n) for n in range(NIGHT_SLACK.days + 1)}
    known |= {day for day in unpublished if day.weekday() < 5 and start.date() <= day <= last}
    return tick_days(sorted(known), start, end)


def today_in_china() -> date:
    return datetime.now(CHINA_TZ).date()


def _midnight(day: date) -> datetime:
    return datetime.combine(day, time(), CHINA_TZ)

