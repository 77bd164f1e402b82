"""The service's records and reference data by whole trading days, each failure raised as
the engine's `Failure`: what the commands, the continuous builder and the datafeed's
continuous frames read the service through."""

from __future__ import annotations

import threading
from collections.abc import Iterable, Sequence
from datetime import date
from operator import attrgetter
from typing import TYPE_CHECKING, Literal, cast, overload

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, TickData

from ..calendar import Calendar, Window, today_in_china, trading_windows, unpublished
from ..engine import Engine, Failure
from .aggregate import hour_bars
from .fetch import Fetched
from .request import HistoryQuery, limit_of
from .select import window_records
from ..reference import Reference

if TYPE_CHECKING:
    from norvix_datafeed import NorvixDatafeed

# A record as vn.py's database keeps it (the engine's `Record` is also the service's own).
BarOrTick = BarData | TickData
BarInterval = Literal[Interval.MINUTE, Interval.HOUR, Interval.DAILY, Interval.WEEKLY]


class Stopped(Exception):
    """The run was interrupted before the task finished."""


class Source:
    """The service's records and reference data for the command line, through the engine of
    the datafeed's settings; every failure is raised as the engine's `Failure`."""

    def __init__(self, datafeed: NorvixDatafeed) -> None:
        self.datafeed = datafeed
        self.engine = Engine.of(datafeed)
        self.reference = Reference(datafeed)

    def answers(self, symbol: str, exchange: Exchange, interval: Interval, window: Window, *,
                columns: bool = False) -> Fetched:
        """The service's answers for the dates of `window`, as records or (`columns`) as typed
        columns. A record that cannot be read fails the window: a day is saved whole or not
        at all."""
        with self.engine.scope() as scope:
            query = HistoryQuery(self.engine, scope, symbol, exchange)
            fetched = query.fetch(interval, [window], limit_of(interval), columns=columns)
        if fetched.skipped:
            vt_symbol, count = f"{symbol}.{exchange.value}", len(fetched.skipped)
            raise Failure.of("skipped", "unreadable", vt_symbol=vt_symbol, interval=interval, count=count,
                             reason=fetched.skipped[0])
        return fetched

    def records(self, symbol: str, exchange: Exchange, interval: Interval, window: Window,
                calendar: Calendar) -> list[BarOrTick]:
        """The records of the trading days of `window`, ascending, one per time."""
        found = cast(list[BarOrTick], self.answers(symbol, exchange, interval, window).records)
        if interval == Interval.HOUR:
            found = cast(list[BarOrTick], hour_bars(sorted(cast(list[BarData], found), key=attrgetter("datetime"))))
        return window_records(found, interval, window, calendar)

    @overload
    def history(self, symbol: str, exchange: Exchange, interval: Literal[Interval.TICK], first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[list[TickData]]: ...

    @overload
    def history(self, symbol: str, exchange: Exchange, interval: BarInterval, first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[list[BarData]]: ...

    @overload
    def history(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[list[BarOrTick]]: ...

    def history(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[Sequence[BarOrTick]]:
        """The records of the trading days [first, last], one ascending list per window."""
        if interval == Interval.DAILY:
            calendar, days = Calendar(), [first, last]
        else:
            calendar = Calendar(self.trading_days(symbol, exchange, first, last))
            days = calendar.days
        for window in trading_windows(days, interval, calendar):
            if stop is not None and stop.is_set():
                raise Stopped
            yield self.records(symbol, exchange, interval, window, calendar)

    def daily_bars(self, symbol: str, exchange: Exchange, first: date, last: date) -> dict[date, BarData]:
        """The contract's daily bars of [first, last] the service has published, per day."""
        return {bar.datetime.date(): cast(BarData, bar) for window in trading_windows([first, last], Interval.DAILY)
                for bar in self.records(symbol, exchange, Interval.DAILY, window, Calendar())}

    def trading_days(self, symbol: str, exchange: Exchange, first: date, last: date) -> list[date]:
        """The days of [first, last] the contract traded on (it has a daily bar of), and
        those whose daily bar may not be published yet."""
        return days_of(self.daily_bars(symbol, exchange, first, last), first, last)


def days_of(daily: dict[date, BarData], first: date, last: date) -> list[date]:
    """The trading days of [first, last] by the daily bars published, and those whose daily
    bar may not be published yet."""
    return sorted(set(daily).union(unpublished(today_in_china(), first, last)))


