"""What one history asks the service for: the endpoint serving an interval, the date
windows of a range, the most records one answer holds; and the request of a symbol's
windows on the engine."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import date
from typing import Literal

from vnpy.trader.constant import Exchange, Interval

from ..calendar import Window, is_daily_stamped, window_days, windows
from ..engine import Answer, Engine, Scope
from ..engine import wire
from .check import check_body, check_records
from .fetch import Fetched, fetch_windows

# The service's history endpoints.
EndpointName = Literal["minute", "day", "tick"]


def endpoint_of(interval: Interval) -> EndpointName:
    """The endpoint whose records make bars of `interval` (hour bars are made from minute
    bars, week bars from daily bars), or ticks."""
    if interval == Interval.TICK:
        return "tick"
    if is_daily_stamped(interval):
        return "day"
    return "minute"


def limit_of(interval: Interval) -> int | None:
    """The most records one answer of `interval`'s endpoint holds."""
    return wire.limit(endpoint_of(interval))


@dataclass
class HistoryQuery:
    """The windows of one symbol's history, asked of `engine` within `scope`, at most
    `workers` at a time; raises Failure."""

    engine: Engine
    scope: Scope
    symbol: str
    exchange: Exchange
    workers: int = 1

    def fetch(self, interval: Interval, days: list[Window], limit: int | None, *, columns: bool = False) -> Fetched:
        """The answers of `days`' windows, as records or (`columns`) as typed columns."""
        endpoint = endpoint_of(interval)

        def body(text: bytes, answer: Answer) -> None:
            check_body(text, answer.count + len(answer.skipped), endpoint, self.symbol, self.exchange)

        def one(window: Window) -> Answer:
            last = None if endpoint == "tick" else window.last.isoformat()
            answer: Answer
            if columns:
                answer = self.engine.call_columns(endpoint, self.symbol, window.first.isoformat(), last,
                                                  scope=self.scope, check=body)
            else:
                answer = self.engine.call(endpoint, self.symbol, window.first.isoformat(), last, exchange=self.exchange,
                                          scope=self.scope, check=body)
            check_records(answer, endpoint, window)
            return answer

        return fetch_windows(days, one, scope=self.scope, pool=self.engine.pool, limit=limit, workers=self.workers)

    def bars(self, interval: Interval, first: date, last: date, *, columns: bool = False) -> Fetched:
        """The bars of the served `interval` over the dates first..last, in windows of the
        calendar's size."""
        return self.fetch(interval, windows(first, last, window_days(interval)), limit_of(interval), columns=columns)
