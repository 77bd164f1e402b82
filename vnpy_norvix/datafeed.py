"""The datafeed vn.py creates for "datafeed.name" = "norvix"."""

from __future__ import annotations

import time
from collections.abc import Callable, Sized
from datetime import datetime
from typing import TYPE_CHECKING, cast

from loguru import logger
from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData
from vnpy.trader.setting import SETTINGS

from norvix_datafeed import NorvixDatafeed

from . import messages
from .engine import Engine, Failure
from .calendar import FIRST_DAY, LAST_DAY, WEEKDAYS, Calendar, OutOfCalendar, china_time
from .history import RECORDS, History, HistoryQuery, bar_history, tick_history
from .reference import Reference
from .names import product_of
from .series.rolls import RollRule

if TYPE_CHECKING:
    import polars as pl

    from .history.frames import FrameForm

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
        interval = req.interval

        def run(query: HistoryQuery, start: datetime, end: datetime) -> History[list[BarData]]:
            return bar_history(query, interval, start, end, RECORDS)

        return self._history(req, interval, output, run, list)

    def query_tick_history(self, req: HistoryRequest, output: Callable[[str], object] = print) -> list[TickData]:
        """
        Ticks whose time lies in [req.start, req.end], ascending, from every trading day
        the range meets; an empty list, and one line through output, on failure.
        """
        def run(query: HistoryQuery, start: datetime, end: datetime) -> History[list[TickData]]:
            # The record form's ticks are the engine's TickData.
            return cast(History[list[TickData]], tick_history(query, start, end, RECORDS))

        return self._history(req, Interval.TICK, output, run, list)

    def query_bar_frame(self, req: HistoryRequest, output: Callable[[str], object] = print, *,
                        window: str | None = None, cut: str = "session") -> pl.DataFrame:
        """
        query_bar_history as a polars frame: one row per bar, in the same order, with the
        columns of vnpy_norvix.research.columns and each bar's `trading_day`. With a
        `window` ("30m", "2h", "d"; see vnpy_norvix.resample) the bars of that window cut
        by `cut` ("session", "trading", "clock") from the minute bars of the trading days
        the range meets, those whose time lies in the range (req.interval is not read).
        An empty frame, and one line through output, on failure. Needs polars (pip
        install "vnpy_norvix[research]"). ValueError for a window, cut or product
        without known trading hours.
        """
        frames = _frames("query_bar_frame")
        if window is not None:
            return self._resampled_frame(req, output, window, cut, frames)
        interval = req.interval if req.interval in BAR_INTERVALS else Interval.MINUTE

        def empty() -> pl.DataFrame:
            return frames.trading_days(frames.empty("minute", req.symbol, req.exchange, interval), interval)

        if req.interval not in BAR_INTERVALS:
            output(messages.unsupported(req.vt_symbol, req.interval))
            return empty()
        named = RollRule.of_name(req.symbol)
        if named is not None:
            return self._continuous_frame(req, interval, output, frames, *named)

        def run(query: HistoryQuery, start: datetime, end: datetime) -> History[pl.DataFrame]:
            history = bar_history(query, interval, start, end, frames)
            return History(frames.trading_days(history.records, interval), history.skipped, history.requests)

        return self._history(req, interval, output, run, empty)

    def _continuous_frame(self, req: HistoryRequest, interval: Interval, output: Callable[[str], object],
                          frames: FrameForm, product: str, rule: RollRule) -> pl.DataFrame:
        """The continuous series the name encodes ("rb888": the service's dominant contracts),
        built as `continuous_bars` builds it (backward ratio adjustment), the bars whose time
        lies in the range: the columns of `ContinuousSeries.frame()`, each bar's source
        contract and raw close beside the adjusted prices, with its `trading_day`. The
        service keeps no series of such a name: asking it would answer nothing."""
        import polars as pl

        from .history.source import Source
        from .series.builder import continuous_bars

        began = time.perf_counter()
        try:
            start, end = self._range(req)
            first, last = WEEKDAYS.trading_day(start, interval), WEEKDAYS.trading_day(end, interval)
            series = continuous_bars(Source(self), product, first, last, interval, "backward", req.symbol,
                                     **rule.keywords())
            if series.exchange != req.exchange:
                raise Failure.of("wrong_exchange", "exchange", symbol=req.symbol, given=req.exchange.value,
                                 right=series.exchange.value)
        except (Failure, ValueError) as failure:
            kind, reason = (failure.kind, failure.reason) if isinstance(failure, Failure) else ("range", str(failure))
            self._failed(req, interval, output, kind, reason)
            return frames.trading_days(series_frame_empty(req, interval), interval)
        frame = series.frame().filter(pl.col("datetime").is_between(start, end))
        logger.info(messages.queried(req.vt_symbol, interval, frame.height, time.perf_counter() - began))
        return frames.trading_days(frame, interval)

    def _resampled_frame(self, req: HistoryRequest, output: Callable[[str], object], window: str, cut: str,
                         frames: FrameForm) -> pl.DataFrame:
        from .sessions import hours_of, resample_frame

        def empty() -> pl.DataFrame:
            return resample_frame(frames.empty("minute", req.symbol, req.exchange, Interval.MINUTE), window, cut)

        empty()  # the window and cut checked before anything is asked

        def run(query: HistoryQuery, start: datetime, end: datetime) -> History[pl.DataFrame]:
            hours_of(req.symbol, req.exchange, start.date())  # a product with known hours, before asking
            # Whole trading days, so that the bars at the ends of the range are whole; the
            # service's calendar tells the days after holidays, without a night session.
            days = Reference(self).dominant(product_of(req.symbol), scope=query.scope)
            calendar = Calendar(day.trading_date for day in days)
            low = calendar.bounds(calendar.trading_day(start, Interval.MINUTE), Interval.MINUTE)[0]
            high = calendar.bounds(calendar.trading_day(end, Interval.MINUTE), Interval.MINUTE)[1]
            minutes = bar_history(query, Interval.MINUTE, min(low, start), max(high, end), frames)
            made = resample_frame(minutes.records, window, cut, calendar)
            kept = made.filter(made["datetime"].is_between(start, end))
            return History(kept, minutes.skipped, minutes.requests)

        return self._history(req, Interval.MINUTE, output, run, empty)

    def query_tick_frame(self, req: HistoryRequest, output: Callable[[str], object] = print) -> pl.DataFrame:
        """
        query_tick_history as a polars frame: one row per tick, in the same order. An
        empty frame, and one line through output, on failure. Needs polars.
        """
        frames = _frames("query_tick_frame")

        def empty() -> pl.DataFrame:
            return frames.trading_days(frames.empty("tick", req.symbol, req.exchange, None), Interval.TICK)

        def run(query: HistoryQuery, start: datetime, end: datetime) -> History[pl.DataFrame]:
            history = tick_history(query, start, end, frames)
            return History(frames.trading_days(history.records, Interval.TICK), history.skipped, history.requests)

        return self._history(req, Interval.TICK, output, run, empty)

    def _history[R: Sized](self, req: HistoryRequest, interval: Interval, output: Callable[[str], object],
                           run: Callable[[HistoryQuery, datetime, datetime], History[R]], empty: Callable[[], R]) -> R:
        began = time.perf_counter()
        engine = Engine.of(self)
        try:
            start, end = self._range(req)
            with engine.scope() as scope:
                Reference(self).check_contract(req.symbol, req.exchange, scope)
                history = run(HistoryQuery(engine, scope, req.symbol, req.exchange, self.workers), start, end)
        except Failure as failure:
            self._failed(req, interval, output, failure.kind, failure.reason)
            return empty()
        logger.info(messages.queried(req.vt_symbol, interval, len(history.records), time.perf_counter() - began))
        if history.skipped:
            output(messages.reason("skipped", vt_symbol=req.vt_symbol, interval=interval, count=len(history.skipped),
                                   reason=history.skipped[0]))
        return history.records

    @staticmethod
    def _failed(req: HistoryRequest, interval: Interval, output: Callable[[str], object], kind: str,
                reason: str) -> None:
        """A query that failed: logged with its kind, told through `output`."""
        logger.info(messages.query_failed(req.vt_symbol, interval, kind, reason))
        output(messages.failed(req.vt_symbol, interval, reason))

    @staticmethod
    def _range(req: HistoryRequest) -> tuple[datetime, datetime]:
        try:
            start, end = china_time(req.start), china_time(req.end)
        except OutOfCalendar as error:
            raise Failure.of("out_of_calendar", "range", value=error.value, first=FIRST_DAY, last=LAST_DAY) from None
        if start > end:
            raise Failure.of("inverted_range", "range")
        return start, end


def series_frame_empty(req: HistoryRequest, interval: Interval) -> pl.DataFrame:
    """A continuous frame with no bars: the columns of `ContinuousSeries.frame()`."""
    from .series.builder import ContinuousSeries

    return ContinuousSeries(req.symbol, req.exchange, interval, "backward", [], []).frame()


def _frames(method: str) -> FrameForm:
    """The frame form of histories (vnpy_norvix.history.frames), or ImportError saying what
    to install."""
    try:
        from .history.frames import FRAMES
    except ImportError as error:
        if (error.name or "").partition(".")[0] not in ("polars", "numpy"):
            raise
        raise ImportError(f'{method} needs polars: pip install "vnpy_norvix[research]"', name=error.name) from error
    return FRAMES
