"""Complete history over [start, end] (China time), assembled from the service's
answers: bars in date windows, ticks trading day by trading day, hour and week bars
made from minute and daily bars."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import date, datetime, time, timedelta
from typing import TYPE_CHECKING, cast

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, TickData

from norvix_datafeed import CHINA_TZ

from .aggregate import hour_bars, week_bars
from .engine import Answer, Engine, Scope
from .engine import wire
from .fetch import Fetched, fetch_windows
from .ranges import NIGHT_SLACK, Window, tick_days, windows, within

if TYPE_CHECKING:
    from .datafeed import Datafeed

# Window sizes that stay well below the most records one answer holds: about 23
# trading days of the longest sessions (555 minutes), and about 1,070 trading days.
MINUTE_WINDOW_DAYS, DAY_WINDOW_DAYS = 30, 1_500
KIND = {Interval.MINUTE: "minute", Interval.DAILY: "day", Interval.TICK: "tick"}


@dataclass
class History:
    records: list[BarData] | list[TickData] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)
    requests: int = 0

    @classmethod
    def of(cls, records: list[BarData] | list[TickData], *parts: Fetched) -> History:
        return cls(records, [reason for part in parts for reason in part.skipped],
                   sum(part.requests for part in parts))


@dataclass
class Query:
    """One user-level query of `feed` for `symbol` on the engine of its settings; raises Failure."""

    feed: Datafeed
    engine: Engine
    scope: Scope
    symbol: str
    exchange: Exchange

    def fetch(self, interval: Interval, days: list[Window], limit: int | None) -> Fetched:
        kind = KIND[interval]

        def one(window: Window) -> Answer:
            last = None if interval == Interval.TICK else window.last.isoformat()
            return self.engine.call(kind, self.symbol, window.first.isoformat(), last, exchange=self.exchange,
                                    scope=self.scope)

        return fetch_windows(days, one, scope=self.scope, pool=self.engine.pool, limit=limit,
                             workers=self.feed.workers)

    def bars(self, interval: Interval, first: date, last: date) -> Fetched:
        size = MINUTE_WINDOW_DAYS if interval == Interval.MINUTE else DAY_WINDOW_DAYS
        return self.fetch(interval, windows(first, last, size), wire.limit(KIND[interval]))


def bar_history(query: Query, interval: Interval, start: datetime, end: datetime) -> History:
    if interval == Interval.HOUR:
        # Whole hours: from the start of the first hour to the end of the last one.
        first_hour = start.replace(minute=0, second=0, microsecond=0)
        last_minute = end.replace(minute=59, second=59, microsecond=999_999)
        fetched = query.bars(Interval.MINUTE, first_hour.date(), end.date() + NIGHT_SLACK)
        records = within(hour_bars(within(_bars(fetched), first_hour, last_minute)), start, end)
    elif interval == Interval.WEEKLY:
        # Whole weeks, Monday to Sunday, so that each is stamped at its first trading day.
        monday = start.date() - timedelta(days=start.weekday())
        sunday = end.date() + timedelta(days=6 - end.weekday())
        fetched = query.bars(Interval.DAILY, monday, sunday)
        records = within(week_bars(within(_bars(fetched), _midnight(monday), _midnight(sunday))), start, end)
    elif interval == Interval.MINUTE:
        fetched = query.bars(interval, start.date(), end.date() + NIGHT_SLACK)
        records = within(_bars(fetched), start, end)
    else:
        fetched = query.bars(interval, start.date(), end.date())
        records = within(_bars(fetched), start, end)
    return History.of(records, fetched)


def tick_history(query: Query, start: datetime, end: datetime) -> History:
    # The daily bars tell the instrument's trading days; a night session belongs to the next one.
    last = end.date() + NIGHT_SLACK
    calendar = query.bars(Interval.DAILY, start.date(), last)
    known = {bar.datetime.date() for bar in _bars(calendar)}
    # Today's daily bar, and that of the trading day tonight's session belongs to, may
    # not be published yet: the weekdays from today on are asked for as well.
    today = today_in_china()
    unpublished = {today + timedelta(days=n) for n in range(NIGHT_SLACK.days + 1)}
    known |= {day for day in unpublished if day.weekday() < 5 and start.date() <= day <= last}
    days = tick_days(sorted(known), start, end)

    fetched = query.fetch(Interval.TICK, [Window(day, day) for day in days], None)
    ticks = within(cast(list[TickData], fetched.records), start, end, one_per_time=False)
    return History.of(ticks, fetched, calendar)


def _bars(fetched: Fetched) -> list[BarData]:
    return cast(list[BarData], fetched.records)


def today_in_china() -> date:
    return datetime.now(CHINA_TZ).date()


def _midnight(day: date) -> datetime:
    return datetime.combine(day, time(), CHINA_TZ)
