"""Complete history over [start, end] as frames: the record path's windows, ranges,
calendar and failures (vnpy_norvix/history.py), with each window's answer decoded into
columns instead of records; hour and week bars made with polars exactly as the record
path makes them (vnpy_norvix/aggregate.py)."""

from __future__ import annotations

from datetime import datetime

import polars as pl
from vnpy.trader.constant import Interval

from ..history import History, Query, bar_plan, tick_dates
from ..calendar import NIGHT_SLACK, Window
from .columns import DATETIME, answers_frame


def within(frame: pl.DataFrame, start: datetime, end: datetime, *, one_per_time: bool = True) -> pl.DataFrame:
    """ranges.within for frames: the rows in [start, end], ascending (stable), the first
    row of each time (bars) or of each set of equal rows (ticks)."""
    kept = frame.filter(pl.col("datetime").is_between(start, end)).sort("datetime", maintain_order=True)
    return kept.unique(subset=["datetime"] if one_per_time else None, keep="first", maintain_order=True)


def _local(column: pl.Expr) -> pl.Expr:
    return column.dt.replace_time_zone(None)


def _made(groups: pl.Expr, stamp: pl.Expr, frame: pl.DataFrame, interval: Interval) -> pl.DataFrame:
    """One bar per group of consecutive rows: opened by the first, closed by the last, the
    extremes and (summed in order, as `+=` does) the amounts of all."""
    return (frame.group_by(groups.alias("_group"), maintain_order=True)
            .agg(stamp.alias("datetime"),
                 pl.col("open_price").first(), pl.col("high_price").max(), pl.col("low_price").min(),
                 pl.col("close_price").last(), pl.col("volume").cum_sum().last(),
                 pl.col("turnover").cum_sum().last(), pl.col("open_interest").last(),
                 pl.col("symbol").first(), pl.col("exchange").first())
            .drop("_group")
            .with_columns(pl.lit(interval.value, pl.String).alias("interval")))


def hour_frame(minutes: pl.DataFrame) -> pl.DataFrame:
    """aggregate.hour_bars, by vn.py's BarGenerator's rule: the first bar after a closed
    hour opens one (whatever its minute); a minute-59 bar joins the open hour, whichever
    hour of the clock it is in, and closes it; any other bar of another hour of the clock
    than the bar before it closes the open hour and opens its own. Each hour bar is
    stamped at the start of the hour of its first minute.

    Only a run of consecutive minute-59 bars makes the rule look back further than one
    bar: the first of such a run opens an hour only at the very start (otherwise it closes
    the one open), and along the run opening and closing alternate."""
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
    stamp = _local(time.first()).dt.truncate("1h").dt.replace_time_zone(DATETIME.time_zone)
    return _made(opens.cum_sum(), stamp, clock, Interval.HOUR)


def week_frame(days: pl.DataFrame) -> pl.DataFrame:
    """aggregate.week_bars: consecutive daily bars of one Monday-to-Sunday week, stamped
    at the first."""
    date = pl.col("datetime").dt.date()
    monday = date - pl.duration(days=pl.col("datetime").dt.weekday() - 1)
    return _made(monday.rle_id(), pl.col("datetime").first(), days, Interval.WEEKLY)


def bar_frame(query: Query, interval: Interval, start: datetime, end: datetime) -> History[pl.DataFrame]:
    plan = bar_plan(interval, start, end)
    fetched = query.bars(plan.source, plan.first, plan.last)
    bars = within(answers_frame(fetched, query.symbol, query.exchange, plan.source), plan.low, plan.high)
    if interval == Interval.HOUR:
        bars = within(hour_frame(bars), start, end)
    elif interval == Interval.WEEKLY:
        bars = within(week_frame(bars), start, end)
    return History.of(bars, fetched)


def tick_frame(query: Query, start: datetime, end: datetime) -> History[pl.DataFrame]:
    # The daily bars tell the instrument's trading days; a night session belongs to the next one.
    calendar = query.bars(Interval.DAILY, start.date(), end.date() + NIGHT_SLACK)
    known = set(answers_frame(calendar, query.symbol, query.exchange, Interval.DAILY)["datetime"].dt.date().to_list())
    days = tick_dates(known, start, end)
    fetched = query.fetch(Interval.TICK, [Window(day, day) for day in days], None)
    ticks = within(answers_frame(fetched, query.symbol, query.exchange, Interval.TICK), start, end,
                   one_per_time=False)
    return History.of(ticks, fetched, calendar)
