"""Complete history over [start, end] (China time), assembled from the core's queries:
bars in date windows, ticks trading day by trading day, hour and week bars made from
minute and daily bars."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from typing import TYPE_CHECKING

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import HistoryRequest, TickData

from norvix_datafeed import NorvixDatafeed

from .aggregate import hour_bars, week_bars
from .calendar import (DAY_WINDOW_DAYS, MINUTE_WINDOW_DAYS, NIGHT_SLACK, Calendar, Window, midnight, today_in_china,
                       unpublished, windows)
from .fetch import Answer, Fetched, call, fetch_windows
from .ranges import within

if TYPE_CHECKING:
    from .datafeed import Datafeed

# The most records one answer holds (the core's request limits); the calendar's window
# sizes stay well below them.
MINUTE_LIMIT, DAY_LIMIT = 40_000, 2_000
__all__ = ["DAY_WINDOW_DAYS", "MINUTE_WINDOW_DAYS", "History", "bar_history", "tick_history", "today_in_china"]


@dataclass
class History:
    records: list = field(default_factory=list)
    failure: str | None = None
    skipped: int = 0
    skip_reason: str = ""
    answered: bool = False  # some call of the core was seen to end (its lines were readable)

    @classmethod
    def of(cls, fetched: Fetched, records: list, *more: Fetched) -> History:
        parts = (fetched, *more)
        return cls(records=records, skipped=sum(part.skipped for part in parts),
                   skip_reason=next((part.skip_reason for part in parts if part.skipped), ""),
                   answered=any(answer.outcome.answered for part in parts for answer in part.answers))


def _bars(feed: Datafeed, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date) -> Fetched:
    if interval == Interval.MINUTE:
        query, days, limit = feed.query_minute_bar_history, MINUTE_WINDOW_DAYS, MINUTE_LIMIT
    else:
        query, days, limit = feed.query_day_bar_history, DAY_WINDOW_DAYS, DAY_LIMIT

    def one(window: Window) -> Answer:
        return call(query, symbol, exchange, window.first.isoformat(), window.last.isoformat(),
                    symbol=symbol, base_url=feed.base_url)

    return fetch_windows(windows(first, last, days), one, limit=limit, workers=feed.workers)


def bar_history(feed: Datafeed, symbol: str, exchange: Exchange, interval: Interval, start: datetime,
                end: datetime) -> History:
    if interval == Interval.HOUR:
        # Whole hours: from the start of the first hour to the end of the last one.
        first_hour = start.replace(minute=0, second=0, microsecond=0)
        last_minute = end.replace(minute=59, second=59, microsecond=999_999)
        fetched = _bars(feed, symbol, exchange, Interval.MINUTE, first_hour.date(), end.date() + NIGHT_SLACK)
        records = within(hour_bars(within(fetched.records, first_hour, last_minute)), start, end)
    elif interval == Interval.WEEKLY:
        # Whole weeks, Monday to Sunday, so that each is stamped at its first trading day.
        monday = start.date() - timedelta(days=start.weekday())
        sunday = end.date() + timedelta(days=6 - end.weekday())
        fetched = _bars(feed, symbol, exchange, Interval.DAILY, monday, sunday)
        records = within(week_bars(within(fetched.records, midnight(monday), midnight(sunday))), start, end)
    elif interval == Interval.MINUTE:
        fetched = _bars(feed, symbol, exchange, interval, start.date(), end.date() + NIGHT_SLACK)
        records = within(fetched.records, start, end)
    else:
        fetched = _bars(feed, symbol, exchange, interval, start.date(), end.date())
        records = within(fetched.records, start, end)
    if fetched.failure:
        return History(failure=fetched.failure)
    return History.of(fetched, records)


def tick_history(feed: Datafeed, symbol: str, exchange: Exchange, start: datetime, end: datetime) -> History:
    # The daily bars tell the instrument's trading days; a night session belongs to the next one.
    last = end.date() + NIGHT_SLACK
    calendar = _bars(feed, symbol, exchange, Interval.DAILY, start.date(), last)
    if calendar.failure:
        return History(failure=calendar.failure)
    known = {bar.datetime.date() for bar in calendar.records}
    # Days whose daily bar may not be published yet are asked for as well.
    known.update(unpublished(today_in_china(), start.date(), last))
    days = Calendar(known).session_days(start, end)

    def one(window: Window) -> Answer:
        req = HistoryRequest(symbol=symbol, exchange=exchange, start=midnight(window.first))
        # The core's own single-day query, not this plug-in's override.
        return call(NorvixDatafeed.query_tick_history, feed, req, symbol=symbol, base_url=feed.base_url)

    fetched = fetch_windows([Window(day, day) for day in days], one, workers=feed.workers)
    if fetched.failure:
        return History(failure=fetched.failure)
    ticks: list[TickData] = within(fetched.records, start, end, one_per_time=False)
    return History.of(fetched, ticks, calendar)
