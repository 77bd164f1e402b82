"""`SessionBarGenerator`: vn.py's BarGenerator, cutting window bars by the sessions.

Constructed and fed as BarGenerator is (`update_tick` gives minute bars to `on_bar`, the
strategy passes them on to `update_bar`, window bars go to `on_window_bar`), it cuts as
`resample` does: fed one trading day's minute bars one by one it emits exactly the bars
`resample` makes of them, each as soon as its last grid minute has arrived (or the first
minute beyond it, when that one had no trades), not one bar late. `flush()` emits the one
pending. Minute bars from ticks are vn.py's own generator's; with `window="Ns"` (N dividing
60) ticks also make N-second bars.
"""

from __future__ import annotations

from bisect import bisect_right
from collections.abc import Callable
from dataclasses import replace
from datetime import date, datetime, time, timedelta

from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, TickData
from vnpy.trader.utility import BarGenerator

from norvix_datafeed import CHINA_TZ

from ..calendar import EXCHANGE_DAYS, Calendar, database_time
from .grid import Mark, Window, candidate_days, check_clock, check_cut, grid, label_at, last_minutes, window_of
from .resampling import exchange_value, one_contract, outside, window_bar
from ..names import product_of

UNITS = {Interval.MINUTE: "m", Interval.HOUR: "h", Interval.DAILY: "d"}
# Calendar days of grid kept behind the oldest trading day the newest minute may belong
# to: a strategy's minutes only move forward (a holiday may put its next day far ahead).
KEPT_DAYS = 7


class SessionBarGenerator:
    """A drop-in for vn.py's BarGenerator: `window` is a number of `interval`s as there
    (minutes, hours; any `interval` DAILY is one trading day, `daily_end` is not needed)
    or a text: "30m", "2h", "d" (see `resample`), "15s" (ticks into 15-second bars).
    `cut` is "session", "trading" or "clock" (vn.py's own rule, through its generator);
    `calendar` the trading days, as for `resample`."""

    def __init__(self, on_bar: Callable[[BarData], object], window: int | str = 0,
                 on_window_bar: Callable[[BarData], object] | None = None, interval: Interval = Interval.MINUTE,
                 daily_end: time | None = None, *, cut: str = "session", calendar: Calendar = EXCHANGE_DAYS) -> None:
        self.on_bar = on_bar
        self.on_window_bar = on_window_bar
        self.calendar = calendar
        self.seconds = 0
        self.window: Window | None = None
        if isinstance(window, str) and window.endswith("s") and window[:-1].isdigit():
            self.seconds = int(window[:-1])
            if self.seconds <= 0 or 60 % self.seconds:
                raise ValueError(f"window {window!r}: seconds that divide 60")
        elif isinstance(window, str):
            self.window = window_of(window)
        elif window:
            self.window = window_of("d" if interval == Interval.DAILY else f"{window}{UNITS.get(interval, '?')}")
        self.cut = check_cut(cut, self.window)
        # Ticks into minute bars, and the clock cut, by vn.py's own generator.
        clock = self.cut == "clock" and self.window is not None
        self.vnpy = BarGenerator(on_bar, window=self.window.count if clock and self.window else 0,
                                 on_window_bar=on_window_bar,
                                 interval=Interval.HOUR if clock and self.window and self.window.unit == "h"
                                 else Interval.MINUTE)
        if clock and self.window:
            check_clock(self.window)
        self.product: tuple[str, str] | None = None
        self.days: dict[date, list[Mark]] = {}
        self.marks: list[Mark] = []
        self.times: list[datetime] = []
        self.last: dict[datetime, datetime] = {}
        self.pending: list[BarData] = []
        self.label: datetime | None = None
        self.second_bar: BarData | None = None
        self.last_tick: TickData | None = None

    # --- ticks ---------------------------------------------------------------------------

    def update_tick(self, tick: TickData) -> None:
        """Minute bars from ticks, as vn.py makes them; a tick stamped in the minute a
        session closes (the closing trade at 15:00:00) counts in the session's last minute."""
        moment = database_time(tick.datetime).astimezone(CHINA_TZ)
        self._grid_for(moment, tick.symbol, tick.exchange)
        minute = moment.replace(second=0, microsecond=0)
        index = bisect_right(self.times, minute) - 1
        if index > 0 and self.marks[index] == (minute, None):
            tick = replace(tick, datetime=minute - timedelta(microseconds=1))
        self.vnpy.update_tick(tick)
        if self.seconds and tick.last_price:
            self._update_second(tick)

    def generate(self) -> BarData | None:
        """The minute bar being made from ticks, given to `on_bar` now (as vn.py's)."""
        return self.vnpy.generate()

    def _update_second(self, tick: TickData) -> None:
        stamp = tick.datetime.replace(second=tick.datetime.second // self.seconds * self.seconds, microsecond=0)
        bar = self.second_bar
        if bar is not None and bar.datetime != stamp:
            self._emit(bar)
            bar = None
        if bar is None:
            bar = self.second_bar = BarData(symbol=tick.symbol, exchange=tick.exchange, datetime=stamp,
                                            interval=None,  # no vn.py interval for it
                                            gateway_name=tick.gateway_name, open_price=tick.last_price,
                                            high_price=tick.last_price, low_price=tick.last_price)
        bar.high_price = max(bar.high_price, tick.last_price)
        bar.low_price = min(bar.low_price, tick.last_price)
        bar.close_price = tick.last_price
        bar.open_interest = tick.open_interest
        if self.last_tick is not None:
            bar.volume += max(tick.volume - self.last_tick.volume, 0)
            bar.turnover += max(tick.turnover - self.last_tick.turnover, 0)
        self.last_tick = tick

    # --- minute bars ---------------------------------------------------------------------

    def update_bar(self, bar: BarData) -> None:
        """One minute bar into its window bar, which is emitted on its last grid minute."""
        if self.window is None:
            return
        if self.cut == "clock":
            self.vnpy.update_bar(bar)
            return
        moment = database_time(bar.datetime).astimezone(CHINA_TZ)
        self._grid_for(moment, bar.symbol, bar.exchange)
        label = label_at(self.marks, self.times, moment)
        if label is None:
            raise outside(moment, bar.symbol)
        if self.pending:
            one_contract([(self.pending[0].symbol, exchange_value(self.pending[0].exchange)),
                          (bar.symbol, exchange_value(bar.exchange))])
            if label != self.label:
                self.flush()
        self.pending.append(bar)
        self.label = label
        if moment.replace(second=0, microsecond=0) >= self.last[label]:
            self.flush()

    def flush(self) -> None:
        """Emits the window bar pending (the data ended before its last minute)."""
        pending: BarData | None = None
        if self.seconds:
            pending, self.second_bar = self.second_bar, None
        elif self.cut == "clock":
            if self.vnpy.hour_bar is not None:
                hour, self.vnpy.hour_bar = self.vnpy.hour_bar, None
                self.vnpy.on_hour_bar(hour)  # emitted, or folded into the window pending
            pending, self.vnpy.window_bar = self.vnpy.window_bar, None
        elif self.pending and self.label is not None and self.window is not None:
            pending = window_bar(self.pending, self.label, self.window.interval)
            self.pending, self.label = [], None
        if pending is not None:
            self._emit(pending)

    def _emit(self, bar: BarData) -> None:
        if self.on_window_bar is not None:
            self.on_window_bar(bar)

    def _grid_for(self, moment: datetime, symbol: str, exchange: object) -> None:
        """The grid of the trading days a minute at `moment` may belong to, made once (of
        the product's sessions: one day's bar when the window is not cut by them)."""
        product = (product_of(symbol), exchange_value(exchange))
        if product != self.product:
            self.product, self.days = product, {}
        wanted = candidate_days({moment.date()}, self.calendar)
        days = wanted - self.days.keys()
        if not days:
            return
        window = self.window if self.window is not None and self.cut != "clock" else window_of("d")
        for day in days:
            self.days[day] = grid(symbol, product[1], [day], window, self.cut, self.calendar)
        oldest = min(wanted)
        self.days = {day: marks for day, marks in self.days.items() if (oldest - day).days <= KEPT_DAYS}
        self.marks = [mark for day in sorted(self.days) for mark in self.days[day]]
        self.times = [moment for moment, _ in self.marks]
        self.last = last_minutes(self.marks)
