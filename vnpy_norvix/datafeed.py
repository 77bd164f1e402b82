"""The datafeed vn.py creates for "datafeed.name" = "norvix"."""

from __future__ import annotations

from collections.abc import Callable

from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData
from vnpy.trader.setting import SETTINGS

from norvix_datafeed import NorvixDatafeed

from . import messages
from .calendar import FIRST_DAY, LAST_DAY, OutOfCalendar, china_time
from .fetch import call
from .history import History, bar_history, tick_history
from .reference import Failure, Reference

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
        return self._history(req, req.interval, output)

    def query_tick_history(self, req: HistoryRequest, output: Callable = print) -> list[TickData]:
        """
        Ticks whose time lies in [req.start, req.end], ascending, from every trading day
        the range meets; an empty list, and one line through output, on failure.
        """
        return self._history(req, Interval.TICK, output)

    def _history(self, req: HistoryRequest, interval: Interval, output: Callable) -> list:
        def fail(reason: str) -> list:
            output(messages.failed(req.vt_symbol, interval, reason))
            return []

        if not (self.username and self.password):
            return fail(messages.NO_CREDENTIALS)
        try:
            start, end = china_time(req.start), china_time(req.end)
        except OutOfCalendar as error:
            return fail(messages.out_of_calendar(error.value, FIRST_DAY, LAST_DAY))
        if start > end:
            return fail(messages.INVERTED_RANGE)
        try:
            Reference(self).check_contract(req.symbol, req.exchange)
        except Failure as failure:
            return fail(failure.reason)

        history: History
        if interval == Interval.TICK:
            history = tick_history(self, req.symbol, req.exchange, start, end)
        else:
            history = bar_history(self, req.symbol, req.exchange, interval, start, end)

        if history.failure:
            return fail(history.failure)
        if not history.records and not history.answered:
            # The core's lines did not reach us (its logging disabled): an empty answer
            # cannot be told from a failed one.
            return fail(messages.NOTHING_ANSWERED)
        if history.skipped:
            output(messages.skipped(req.vt_symbol, interval, history.skipped, history.skip_reason))
        return history.records
