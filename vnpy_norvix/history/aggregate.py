"""Bars the service does not serve, made from the ones it does: hour bars from minute
bars (by vn.py's own BarGenerator), week bars from daily bars. Each in two forms side by
side, vn.py records and frames (vnpy_norvix/history/frames.py), giving the same bars."""

from __future__ import annotations

from datetime import timedelta
from itertools import groupby
from typing import TYPE_CHECKING

from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData
from vnpy.trader.utility import BarGenerator

from norvix_datafeed import CHINA_TZ

if TYPE_CHECKING:
    import polars as pl


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


def made_frame(groups: pl.Expr, stamp: pl.Expr, frame: pl.DataFrame, interval: Interval,
               *more: pl.Expr) -> pl.DataFrame:
    """One bar per group of consecutive rows: opened by the first, closed by the last, the
    extremes and (summed in order, as `+=` does) the amounts of all; then `more` columns."""
    import polars as pl

    return (frame.group_by(groups.alias("_group"), maintain_order=True)
            .agg(stamp.alias("datetime"),
                 pl.col("open_price").first(), pl.col("high_price").max(), pl.col("low_price").min(),
                 pl.col("close_price").last(), pl.col("volume").cum_sum().last(),
                 pl.col("turnover").cum_sum().last(), pl.col("open_interest").last(),
                 pl.col("symbol").first(), pl.col("exchange").first(), *more)
            .drop("_group")
            .with_columns(pl.lit(interval.value, pl.String).alias("interval")))


def hour_frame(minutes: pl.DataFrame) -> pl.DataFrame:
    """`hour_bars` for frames, by BarGenerator's rule: the first bar after a closed hour
    opens one (whatever its minute); a minute-59 bar joins the open hour, whichever hour
    of the clock it is in, and closes it; any other bar of another hour of the clock than
    the bar before it closes the open hour and opens its own. Each hour bar is stamped at
    the start of the hour of its first minute.

    Only a run of consecutive minute-59 bars makes the rule look back further than one
    bar: the first of such a run opens an hour only at the very start (otherwise it closes
    the one open), and along the run opening and closing alternate."""
    import polars as pl

    time = pl.col("datetime")
    # The clock read once (each read converts every time to the zone), the rule on columns.
    clock = minutes.with_columns((time.dt.minute() == 59).alias("_at_59"), time.dt.hour().alias("_hour"))
    row, at_59, hour = pl.int_range(pl.len()), pl.col("_at_59"), pl.col("_hour")
    run_start = pl.when(at_59 != at_59.shift(1)).then(row).otherwise(None).fill_null(strategy="forward").fill_null(0)
    along = row - run_start  # place in its run of minute-59 bars (or of others)
    opens_59 = pl.when(run_start == 0).then(along % 2 == 0).otherwise(along % 2 == 1)
    closed_before = (at_59.shift(1) & ~opens_59.shift(1)).fill_null(False)
    other_hour = (hour != hour.shift(1)).fill_null(False)
    opens = pl.when(at_59).then(opens_59).otherwise((row == 0) | closed_before | other_hour)
    stamp = time.first().dt.replace_time_zone(None).dt.truncate("1h").dt.replace_time_zone(str(CHINA_TZ))
    return made_frame(opens.cum_sum(), stamp, clock, Interval.HOUR)


def week_frame(days: pl.DataFrame) -> pl.DataFrame:
    """`week_bars` for frames: consecutive daily bars of one Monday-to-Sunday week,
    stamped at the first."""
    import polars as pl

    date = pl.col("datetime").dt.date()
    monday = date - pl.duration(days=pl.col("datetime").dt.weekday() - 1)
    return made_frame(monday.rle_id(), pl.col("datetime").first(), days, Interval.WEEKLY)
