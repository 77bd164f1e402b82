"""Bars of any window made from minute bars of one contract, in two forms side by side:
vn.py records (`resample`) and polars frames (`resample_frame`), giving the same bars.

Under the cuts "session" and "trading" and for "d" a minute goes to the bar the grid
(grid.py) puts it in: a bar is stamped at its first grid minute, opened by its first
minute bar, closed by its last, its extremes and (summed in order, as `+=` does) its
amounts those of all its minutes, its open interest the last; a grid bar without minutes
is left out. "clock" is vn.py's BarGenerator's rule: the records go through vn.py's own
generator, the frame form follows it rule for rule (see `clock_frame`).
"""

from __future__ import annotations

from collections.abc import Sequence
from datetime import date, datetime, timedelta
from itertools import groupby
from typing import TYPE_CHECKING, cast, overload

import vnpy.trader.database as vn_database
from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData
from vnpy.trader.utility import BarGenerator

from norvix_datafeed import CHINA_TZ

from ..calendar import EXCHANGE_DAYS, Calendar, database_time
from .grid import MINUTE, Cut, Window, candidate_days, check_clock, check_cut, grid, label_at, window_of
from .table import AUCTION, sessions_of

if TYPE_CHECKING:
    import polars as pl


def one_contract(pairs: Sequence[tuple[str, str]]) -> tuple[str, str]:
    """The one (symbol, exchange) of the bars; ValueError naming two when they differ: a bar
    is never made of two contracts (a roll) or two products."""
    first = pairs[0]
    for pair in pairs:
        if pair != first:
            raise ValueError(f"minute bars of {first[0]}.{first[1]} and {pair[0]}.{pair[1]} cannot make one "
                             f"series of bars: resample one contract at a time")
    return first


def outside(moment: datetime, symbol: str) -> ValueError:
    return ValueError(f"the minute bar of {symbol} at {moment.isoformat()} lies outside its trading sessions")


def exchange_value(exchange: object) -> str:
    return str(getattr(exchange, "value", exchange))


# --- records -----------------------------------------------------------------------------


@overload
def resample(bars: Sequence[BarData], window: str, cut: str = ..., calendar: Calendar = ...) -> list[BarData]: ...


@overload
def resample(bars: pl.DataFrame, window: str, cut: str = ..., calendar: Calendar = ...) -> pl.DataFrame: ...


def resample(bars: Sequence[BarData] | pl.DataFrame, window: str, cut: str = "session",
             calendar: Calendar = EXCHANGE_DAYS) -> list[BarData] | pl.DataFrame:
    """Bars of `window` ("Nm" for N from 2 to 240, "Nh" for 1 to 4 hours, "d") from the
    1-minute bars of one contract, ascending, cut by `cut` ("session": never across a
    break; "trading": N traded minutes from the trading day's first, never across two
    trading days; "clock": as vn.py's BarGenerator). `calendar` tells trading days and
    the days after holidays, which open without a night session (the service's, as
    `Datafeed.query_bar_frame` passes it; the default is the exchanges' published closures,
    `EXCHANGE_DAYS`). ValueError for
    another window or cut, a product without known hours, bars of two contracts, or a
    minute bar outside its sessions. A polars frame of minute bars gives a frame
    (`resample_frame`)."""
    if type(bars).__module__.partition(".")[0] == "polars":
        return resample_frame(cast("pl.DataFrame", bars), window, cut, calendar)
    bars = cast(Sequence[BarData], bars)
    spec = window_of(window)
    how = check_cut(cut, spec)
    if not bars:
        return []
    ordered = sorted(bars, key=lambda bar: database_time(bar.datetime))
    symbol, exchange = one_contract([(bar.symbol, exchange_value(bar.exchange)) for bar in ordered])
    if how == "clock":
        return clock_bars(ordered, spec)
    moments = [database_time(bar.datetime).astimezone(CHINA_TZ) for bar in ordered]
    marks = grid(symbol, exchange, candidate_days({moment.date() for moment in moments}, calendar), spec, how,
                 calendar)
    times = [moment for moment, _ in marks]
    labels = []
    for moment in moments:
        label = label_at(marks, times, moment)
        if label is None:
            raise outside(moment, symbol)
        labels.append(label)
    made = []
    for label, group in groupby(zip(labels, ordered), key=lambda pair: pair[0]):
        made.append(window_bar([bar for _, bar in group], label, spec.interval))
    return made


def window_bar(minutes: list[BarData], label: datetime, interval: Interval | None) -> BarData:
    first, last = minutes[0], minutes[-1]
    volume = turnover = 0.0
    for bar in minutes:
        volume += bar.volume
        turnover += bar.turnover
    return BarData(symbol=first.symbol, exchange=first.exchange, datetime=label,
                   interval=interval,  # None for a window bar, as BarGenerator leaves it
                   open_price=first.open_price, high_price=max(bar.high_price for bar in minutes),
                   low_price=min(bar.low_price for bar in minutes), close_price=last.close_price,
                   volume=volume, turnover=turnover, open_interest=last.open_interest,
                   gateway_name=first.gateway_name)


def clock_bars(minutes: list[BarData], window: Window) -> list[BarData]:
    """vn.py's BarGenerator over the minutes, the window it holds at the end included."""
    check_clock(window)
    made: list[BarData] = []
    interval = Interval.HOUR if window.unit == "h" else Interval.MINUTE
    generator = BarGenerator(lambda bar: None, window=window.count, on_window_bar=made.append, interval=interval)
    for bar in minutes:
        generator.update_bar(bar)
    if generator.hour_bar is not None:
        generator.on_hour_bar(generator.hour_bar)
    if generator.window_bar is not None:
        made.append(generator.window_bar)
    return made


# --- frames ------------------------------------------------------------------------------

UNIX_ORDINAL = date(1970, 1, 1).toordinal()


def resample_frame(frame: pl.DataFrame, window: str, cut: str = "session",
                   calendar: Calendar = EXCHANGE_DAYS) -> pl.DataFrame:
    """`resample` for a frame of minute bars (vnpy_norvix.research.columns): the same bars,
    with the frame's columns, `interval` the window's text ("30m", "2h", "d") and
    `trading_day` each bar's trading day."""
    import polars as pl

    from ..history.frames import with_trading_day

    spec = window_of(window)
    how = check_cut(cut, spec)
    moment = pl.col("datetime")
    if getattr(frame.schema["datetime"], "time_zone", None) is None:
        moment = moment.dt.replace_time_zone(str(vn_database.DB_TZ))  # naive: vn.py's database zone, as records
    ordered = frame.with_columns(moment.dt.convert_time_zone(str(CHINA_TZ)))
    if not ordered["datetime"].is_sorted():
        ordered = ordered.sort("datetime", maintain_order=True)
    if ordered.is_empty():
        made = ordered.drop("trading_day", strict=False)
    else:
        symbol, exchange = frame_contract(ordered)
        if how == "clock":
            made = clock_frame(ordered, spec)
        else:
            first, last = cast(datetime, ordered["datetime"][0]).date(), cast(datetime, ordered["datetime"][-1]).date()
            dates = [first + timedelta(days=n) for n in range((last - first).days + 1)]
            marks = marks_frame(symbol, exchange, candidate_days(dates, calendar), spec, how, calendar)
            labelled = ordered.join_asof(marks, left_on="datetime", right_on="_mark", strategy="backward")
            missing = labelled.filter(pl.col("_label").is_null())
            if missing.height:
                raise outside(cast(datetime, missing["datetime"][0]), symbol)
            made = aggregate(labelled, pl.col("_label"), pl.col("_label").first(),
                             pl.col("_day").first().alias("trading_day"))
            return made.with_columns(pl.lit(spec.text, pl.String).alias("interval")).select(
                pl.exclude("trading_day"), "trading_day")
    made = made.with_columns(pl.lit(spec.text, pl.String).alias("interval"))
    return with_trading_day(made, spec.interval or Interval.MINUTE, calendar)


def frame_contract(frame: pl.DataFrame) -> tuple[str, str]:
    """`one_contract` for a frame's `symbol` and `exchange` columns."""
    import polars as pl

    first = (frame["symbol"][0], frame["exchange"][0])
    other = frame.filter((pl.col("symbol") != first[0]) | (pl.col("exchange") != first[1]))
    return one_contract([first, *other.select("symbol", "exchange").head(1).rows()])


def marks_frame(symbol: str, exchange: str, days: set[date], window: Window, cut: Cut,
                calendar: Calendar) -> pl.DataFrame:
    """`grid.day_marks` of the trading days `days` on columns (the tests hold both forms to
    one oracle): `_mark`, `_label` (null between sessions), `_day` (the trading day). Only
    the sessions are made in Python; the marks within them are ranges of columns."""
    import polars as pl

    rows = []
    for day in sorted(days):
        traded = 0  # minutes of the day before the segment
        for opens, closes in sessions_of(symbol, exchange, day, calendar):
            rows.append((day, wall_seconds(opens), wall_seconds(closes), traded))
            traded += (closes - opens) // MINUTE
    segments = pl.DataFrame(rows, schema={"_day": pl.Date, "start": pl.Int64, "end": pl.Int64, "traded": pl.Int64},
                            orient="row")
    size = window.minutes
    start, length = pl.col("start"), (pl.col("end") - pl.col("start")) // 60
    # The first minute of the segment that opens a bar: 0 under "session", where the day's
    # count of traded minutes reaches a multiple of N under "trading"; none for "d".
    first = pl.lit(0, pl.Int64) if cut == "session" else (-pl.col("traded")) % size
    if window.unit == "d":
        opening = pl.col("_day").cast(pl.Datetime("ms")).dt.epoch("s")  # its midnight, as a wall time
        inner = segments.head(0).select("_day", start.alias("_mark"), start.alias("_label"))
    else:
        opening = pl.when(first == 0).then(start)  # else the bar of the segment before goes on
        later = pl.when(first == 0).then(size).otherwise(first)
        inner = (segments.select("_day", (start + pl.int_ranges(later, length, size) * 60).alias("_mark"))
                 .explode("_mark").drop_nulls("_mark").with_columns(pl.col("_mark").alias("_label")))
    auctions = segments.select("_day", (start - int(AUCTION.total_seconds())).alias("_mark"), opening.alias("_label"))
    ends = segments.select("_day", pl.col("end").alias("_mark"), pl.lit(None, pl.Int64).alias("_label"),
                           pl.lit(True).alias("_end"))
    marks = pl.concat([auctions, inner, ends], how="diagonal").sort("_mark")
    label = pl.when(pl.col("_end").is_null()).then(pl.col("_label").forward_fill())

    def instant(column: pl.Expr) -> pl.Expr:
        return pl.from_epoch(column, time_unit="s").dt.cast_time_unit("ns").dt.replace_time_zone(str(CHINA_TZ))

    return marks.select(instant(pl.col("_mark")).alias("_mark"), instant(label).alias("_label"), "_day")


def wall_seconds(moment: datetime) -> int:
    """A China time's wall clock as seconds from 1970-01-01 00:00 (what polars reads back
    as that wall time)."""
    return (moment.toordinal() - UNIX_ORDINAL) * 86400 + moment.hour * 3600 + moment.minute * 60 + moment.second


def aggregate(frame: pl.DataFrame, groups: pl.Expr, stamp: pl.Expr, *more: pl.Expr) -> pl.DataFrame:
    """One bar per group of consecutive rows (see history.aggregate)."""
    from ..history.aggregate import made_frame

    return made_frame(groups, stamp, frame, Interval.MINUTE, *more)


def clock_frame(minutes: pl.DataFrame, window: Window) -> pl.DataFrame:
    """BarGenerator's rule on columns. Minutes: a window closes on a minute whose
    (minute + 1) is a multiple of N, and the next opens with the bar after, stamped at its
    minute. Hours: hour bars by the hour rule (history.aggregate), then N of them to a
    window, stamped at the first."""
    import polars as pl

    from ..history.aggregate import hour_frame

    check_clock(window)
    if window.unit == "m":
        closes = (pl.col("datetime").dt.minute().cast(pl.Int32) + 1) % window.count == 0
        opened = closes.shift(1).fill_null(False).cum_sum()
        return aggregate(minutes, opened, pl.col("datetime").first().dt.truncate("1m"))
    hours = hour_frame(minutes)
    if window.count == 1:
        return hours
    return aggregate(hours, pl.int_range(pl.len()) // window.count, pl.col("datetime").first())
