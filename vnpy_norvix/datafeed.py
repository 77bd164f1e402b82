"""The datafeed vn.py creates for "datafeed.name" = "norvix"."""

from __future__ import annotations

from collections.abc import Callable, Sized
from datetime import datetime
from types import ModuleType
from typing import TYPE_CHECKING

from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData
from vnpy.trader.setting import SETTINGS

from norvix_datafeed import NorvixDatafeed

from . import messages
from .fetch import call
from .history import History, bar_history, tick_history
from .ranges import china_time

if TYPE_CHECKING:
    import polars as pl

BAR_INTERVALS = (Interval.MINUTE, Interval.HOUR, Interval.DAILY, Interval.WEEKLY)


class Datafeed(NorvixDatafeed):
    """NorviX数据服务接口"""

    # Date windows of one query fetched at the same time.
    workers: int = 4

    def __init__(self) -> None:
        """构造函数"""
        super().__init__()
        base_url = SETTINGS.get("datafeed.base_url", "")
        if base_url:
            # The core appends each endpoint, which begins with "/".
            self.base_url = str(base_url).rstrip("/")
        self._ready_for: tuple | None = None

    def init(self, output: Callable = print) -> bool:
        """
        Asks the service once for the contract multipliers, a small answer, and is ready
        when the service takes the credentials. Later calls with the same address and
        credentials answer from that first success.
        """
        settings = (self.base_url, self.username, self.password)
        if settings == self._ready_for:
            return True
        if not (self.username and self.password):
            output(messages.init_failed(messages.NO_CREDENTIALS))
            return False
        answer = call(self.query_contract_multiplier, "", symbol="", base_url=self.base_url)
        failure = answer.outcome.failure
        if not failure and not answer.records and not answer.outcome.answered:
            failure = messages.NOTHING_ANSWERED
        if failure:
            output(messages.init_failed(failure))
            return False
        self._ready_for = settings
        return True

    def query_bar_history(self, req: HistoryRequest, output: Callable = print) -> list[BarData]:
        """
        Bars of req.interval (1m, 1h, d or w) whose time lies in [req.start, req.end],
        ascending; an empty list, and one line through output, on failure.
        """
        if req.interval not in BAR_INTERVALS:
            output(messages.unsupported(req.vt_symbol, req.interval))
            return []
        interval = req.interval

        def run(start: datetime, end: datetime) -> History[list[BarData]]:
            return bar_history(self, req.symbol, req.exchange, interval, start, end)

        return self._history(req, interval, output, run, list)

    def query_tick_history(self, req: HistoryRequest, output: Callable = print) -> list[TickData]:
        """
        Ticks whose time lies in [req.start, req.end], ascending, from every trading day
        the range meets; an empty list, and one line through output, on failure.
        """

        def run(start: datetime, end: datetime) -> History[list[TickData]]:
            return tick_history(self, req.symbol, req.exchange, start, end)

        return self._history(req, Interval.TICK, output, run, list)

    def query_bar_frame(self, req: HistoryRequest, output: Callable = print) -> pl.DataFrame:
        """
        query_bar_history as a polars frame: one row per bar, in the same order, with the
        columns of vnpy_norvix.research.columns. An empty frame, and one line through
        output, on failure. Needs polars (pip install "vnpy_norvix[research]").
        """
        research = _research("query_bar_frame")
        interval = req.interval if req.interval in BAR_INTERVALS else Interval.MINUTE

        def empty() -> pl.DataFrame:
            return research.empty_frame("minute", req.symbol, req.exchange, interval)

        if req.interval not in BAR_INTERVALS:
            output(messages.unsupported(req.vt_symbol, req.interval))
            return empty()

        def run(start: datetime, end: datetime) -> History[pl.DataFrame]:
            return research.bar_frame(self, req.symbol, req.exchange, interval, start, end)

        return self._history(req, interval, output, run, empty)

    def query_tick_frame(self, req: HistoryRequest, output: Callable = print) -> pl.DataFrame:
        """
        query_tick_history as a polars frame: one row per tick, in the same order. An
        empty frame, and one line through output, on failure. Needs polars.
        """
        research = _research("query_tick_frame")

        def run(start: datetime, end: datetime) -> History[pl.DataFrame]:
            return research.tick_frame(self, req.symbol, req.exchange, start, end)

        return self._history(req, Interval.TICK, output, run,
                             lambda: research.empty_frame("tick", req.symbol, req.exchange, None))

    def _history[R: Sized](self, req: HistoryRequest, interval: Interval, output: Callable,
                           run: Callable[[datetime, datetime], History[R]], empty: Callable[[], R]) -> R:
        def fail(reason: str) -> R:
            output(messages.failed(req.vt_symbol, interval, reason))
            return empty()

        if not (self.username and self.password):
            return fail(messages.NO_CREDENTIALS)
        start, end = china_time(req.start), china_time(req.end)
        if start > end:
            return fail(messages.INVERTED_RANGE)

        history = run(start, end)
        if history.failure:
            return fail(history.failure)
        if not len(history.records) and not history.answered:
            # The core's lines did not reach us (its logging disabled): an empty answer
            # cannot be told from a failed one.
            return fail(messages.NOTHING_ANSWERED)
        if history.skipped:
            output(messages.skipped(req.vt_symbol, interval, history.skipped, history.skip_reason))
        return history.records


def _research(method: str) -> ModuleType:
    """vnpy_norvix.research, or ImportError saying what to install."""
    try:
        from . import research
    except ImportError as error:
        if (error.name or "").partition(".")[0] not in ("polars", "numpy"):
            raise
        raise ImportError(f'{method} needs polars: pip install "vnpy_norvix[research]"', name=error.name) from error
    return research
