"""The datafeed vn.py creates for "datafeed.name" = "norvix"."""

from __future__ import annotations

import time
from collections.abc import Callable

from loguru import logger
from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData
from vnpy.trader.setting import SETTINGS

from norvix_datafeed import NorvixDatafeed

from . import messages
from .engine import Engine, Failure
from .history import History, Query, bar_history, tick_history
from .ranges import china_time

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
        self._ready_for: tuple[str, str, str] | None = None

    def init(self, output: Callable[[str], object] = print) -> bool:
        """
        Asks the service once for the contract multipliers, a small answer, and is ready
        when the service takes the credentials. Later calls with the same address and
        credentials answer from that first success.
        """
        settings = (self.base_url, self.username, self.password)
        if settings == self._ready_for:
            return True
        try:
            Engine.of(self).call("multiplier", "")
        except Failure as failure:
            output(messages.init_failed(failure.reason))
            return False
        self._ready_for = settings
        return True

    def query_bar_history(self, req: HistoryRequest, output: Callable[[str], object] = print) -> list[BarData]:
        """
        Bars of req.interval (1m, 1h, d or w) whose time lies in [req.start, req.end],
        ascending; an empty list, and one line through output, on failure.
        """
        if req.interval not in BAR_INTERVALS:
            output(messages.unsupported(req.vt_symbol, req.interval))
            return []
        return self._history(req, req.interval, output)  # type: ignore[return-value]

    def query_tick_history(self, req: HistoryRequest, output: Callable[[str], object] = print) -> list[TickData]:
        """
        Ticks whose time lies in [req.start, req.end], ascending, from every trading day
        the range meets; an empty list, and one line through output, on failure.
        """
        return self._history(req, Interval.TICK, output)  # type: ignore[return-value]

    def _history(self, req: HistoryRequest, interval: Interval,
                 output: Callable[[str], object]) -> list[BarData] | list[TickData]:
        began = time.perf_counter()
        engine = Engine.of(self)
        try:
            start, end = china_time(req.start), china_time(req.end)
            if start > end:
                raise Failure(messages.INVERTED_RANGE, "range")
            with engine.scope() as scope:
                query = Query(self, engine, scope, req.symbol, req.exchange)
                history: History
                if interval == Interval.TICK:
                    history = tick_history(query, start, end)
                else:
                    history = bar_history(query, interval, start, end)
        except Failure as failure:
            logger.info(messages.query_failed(req.vt_symbol, interval, failure.kind, failure.reason))
            output(messages.failed(req.vt_symbol, interval, failure.reason))
            return []
        logger.info(messages.queried(req.vt_symbol, interval, len(history.records), time.perf_counter() - began))
        if history.skipped:
            output(messages.skipped(req.vt_symbol, interval, len(history.skipped), history.skipped[0]))
        return history.records
