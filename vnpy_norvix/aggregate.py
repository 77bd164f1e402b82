"""Bars the service does not serve, made from the ones it does: hour bars from minute
bars (by vn.py's own BarGenerator), week bars from daily bars."""

from __future__ import annotations

from datetime import timedelta
from itertools import groupby

from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData
from vnpy.trader.utility import BarGenerator


def hour_bars(minutes: list[BarData]) -> list[BarData]:
    """Hour bars, each stamped at the start of its hour, from ascending minute bars."""
    hours: list[BarData] = []
    generator = BarGenerator(lambda bar: None, window=1, on_window_bar=hours.append, interval=Interval.HOUR)
    for bar in minutes:
        generator.update_bar(bar)
    # The generator closes an hour on its 59th minute or on the next hour's first bar;
    # the last hour of the data has neither.
    if generator.hour_bar is not None:
        hours.append(generator.hour_bar)
    for bar in hours:
        bar.interval = Interval.HOUR  # the generator leaves it unset
    return hours


def week_bars(days: list[BarData]) -> list[BarData]:
    """Week bars (weeks start on Monday), each stamped at its first trading day, from
    ascending daily bars."""
    weeks = []

    def monday(bar: BarData) -> object:
        return bar.datetime.date() - timedelta(days=bar.datetime.weekday())

    for _, group in groupby(days, key=monday):
        bars = list(group)
        first, last = bars[0], bars[-1]
        weeks.append(BarData(
            symbol=first.symbol,
            exchange=first.exchange,
            interval=Interval.WEEKLY,
            datetime=first.datetime,
            open_price=first.open_price,
            high_price=max(bar.high_price for bar in bars),
            low_price=min(bar.low_price for bar in bars),
            close_price=last.close_price,
            volume=sum(bar.volume for bar in bars),
            turnover=sum(bar.turnover for bar in bars),
            open_interest=last.open_interest,
            gateway_name=first.gateway_name,
        ))
    return weeks
