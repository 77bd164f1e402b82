"""Histories as polars frames: answers read as columns, one frame per query.

Columns, in this order: `datetime` (Datetime("ns", "Asia/Shanghai"): the instant the
record path's aware time stands for), the per-record fields under the names of vn.py's
BarData / TickData fields, in the order the record path passes them (bars: open_price ...
open_interest; ticks: name, volume ... ask_volume_5), then the frame's constants as
columns of one value, so that frames of several symbols concatenate: `symbol`,
`exchange` (the Exchange's value) and, for bars, `interval` (the Interval's value); last
`trading_day` (Date: the trading day a record belongs to, a night session's the next
trading day's) on the frames the datafeed returns (`with_trading_day`).
Numbers are float64 columns in polars' own memory, copied once from the buffers the native
decoder filled (`owned`)."""

from __future__ import annotations

from datetime import date, datetime, timedelta
from typing import cast

import polars as pl
from vnpy.trader.constant import Exchange, Interval

from norvix_datafeed import CHINA_TZ

from .. import _wire
from ..calendar import PARTS, WEEKDAYS, Calendar, is_daily_stamped
from ..engine.answers import ColumnAnswer, Columns
from .aggregate import hour_frame, week_frame
from .fetch import Fetched
from .request import EndpointName, endpoint_of
from .select import within_frame

DATETIME = pl.Datetime("ns", str(CHINA_TZ))
# An answer with no records: its columns give an empty frame the same schema.
NO_RECORDS = b'{"code": 0, "data": []}'


def _text(value: object) -> str | None:
    # A name is passed on as it arrives; a value other than text or null is shown as text.
    return value if value is None or isinstance(value, str) else str(value)


def frame_of(columns: Columns, symbol: str, exchange: Exchange, interval: Interval | None) -> pl.DataFrame:
    return named(columns_frame(columns), symbol, exchange, interval)


def columns_frame(columns: Columns) -> pl.DataFrame:
    """The decoder's columns as a frame: the times China's, each text column from its codes."""
    series: list[pl.Series] = []
    for name, column in columns.items():
        if isinstance(column, tuple):
            codes, values = column
            texts = pl.Series(name, [_text(value) for value in values], dtype=pl.String)
            series.append(texts.gather(pl.Series(codes)))
        elif name == "datetime":
            series.append(owned(pl.Series(name, column).cast(DATETIME)))
        else:
            series.append(owned(pl.Series(name, column)))
    return pl.DataFrame(series)


def owned(series: pl.Series) -> pl.Series:
    """`series` copied into polars' own memory. A series made from a numpy array shares
    its buffer, and the decoder's arrays lie in the C library's heap of the thread that
    read the answer: held there for as long as the frame lives (a window waiting for the
    writer, a user's frame), they keep that heap from giving back the room each next answer
    passes through. Two slices joined into one chunk are one copy of the values."""
    if series.len() < 2:
        return series
    return pl.concat([series.slice(0, 1), series.slice(1)], rechunk=True)


def named(frame: pl.DataFrame, symbol: str, exchange: Exchange, interval: Interval | None) -> pl.DataFrame:
    """`frame` with the series' symbol, exchange and (for bars) interval as its last columns."""
    constants = {"symbol": symbol, "exchange": exchange.value}
    if interval is not None:
        constants["interval"] = interval.value
    return frame.with_columns(pl.lit(value, pl.String).alias(name) for name, value in constants.items())


def empty_frame(endpoint: EndpointName, symbol: str, exchange: Exchange, interval: Interval | None) -> pl.DataFrame:
    return frame_of(_wire.decode_columns(endpoint, NO_RECORDS, None)[1], symbol, exchange, interval)


def answers_frame(fetched: Fetched, symbol: str, exchange: Exchange, interval: Interval) -> pl.DataFrame:
    """The answers of one query, read as columns, as one frame of the served `interval`
    (in answer order; the frame of no records when there are none). The series' names
    are added once, to the whole."""
    frame_interval = None if interval == Interval.TICK else interval
    parts = [columns_frame(answer.columns) for answer in fetched.answers if isinstance(answer, ColumnAnswer)]
    if not parts:
        return empty_frame(endpoint_of(interval), symbol, exchange, frame_interval)
    return named(pl.concat(parts), symbol, exchange, frame_interval)


# Since this instant China time has been UTC+8 without exception (summer time ended in
# 1991): later times read their wall clock by adding the offset, not by the zone's rules.
FIXED_OFFSET_SINCE = datetime(1992, 1, 1, tzinfo=CHINA_TZ)
CHINA_OFFSET = timedelta(hours=8)


def china_wall(moment: pl.Series) -> pl.Series:
    """A time column as China's naive wall times (naive columns are taken as such)."""
    dtype = moment.dtype
    if not isinstance(dtype, pl.Datetime) or dtype.time_zone is None:
        return moment
    naive = pl.Datetime(dtype.time_unit)
    if moment.is_empty() or cast(datetime, moment.min()) < FIXED_OFFSET_SINCE:
        return moment.dt.convert_time_zone(str(CHINA_TZ)).dt.replace_time_zone(None)
    step = int(pl.Series([CHINA_OFFSET], dtype=pl.Duration(dtype.time_unit)).to_physical()[0])
    return (moment.to_physical() + step).cast(naive)


def with_trading_day(frame: pl.DataFrame, interval: Interval, calendar: Calendar = WEEKDAYS) -> pl.DataFrame:
    """`frame` with its `trading_day` column (last; replaced if there): the calendar's
    trading day of each record of `interval` (Calendar.trading_day), on columns: the
    calendar is asked once per date (its next trading day, whether it is one itself),
    and the times read once, in China time."""
    moment = china_wall(frame["datetime"])
    dates = moment.dt.date()
    day = dates
    if not is_daily_stamped(interval):
        keys = dates.unique()
        known = keys.to_list()
        wall = moment.dt.time()
        # The rows of each part of a date (the calendar's PARTS) take its owner, asked once
        # per date; the parts owned by their date keep it (the day sessions' rows).
        for part in PARTS:
            if part.owner == "date":
                continue
            inside = (wall >= part.begin) if part.end is None else (wall >= part.begin) & (wall < part.end)
            if inside.any():
                rows = inside.arg_true()
                owners = [calendar.owner(key, part) for key in known]
                day = day.scatter(rows, dates.gather(rows).replace_strict(keys, owners, return_dtype=pl.Date))
    return frame.drop("trading_day", strict=False).with_columns(day.cast(pl.Date).alias("trading_day"))


class FrameForm:
    """Histories as polars frames, one row per record, in the record form's order."""

    columns = True

    def of(self, fetched: Fetched, symbol: str, exchange: Exchange, interval: Interval) -> pl.DataFrame:
        return answers_frame(fetched, symbol, exchange, interval)

    def empty(self, endpoint: EndpointName, symbol: str, exchange: Exchange, interval: Interval | None) -> pl.DataFrame:
        return empty_frame(endpoint, symbol, exchange, interval)

    def within(self, found: pl.DataFrame, start: datetime, end: datetime, *, one_per_time: bool = True) -> pl.DataFrame:
        return within_frame(found, start, end, one_per_time=one_per_time)

    def hours(self, minutes: pl.DataFrame) -> pl.DataFrame:
        return hour_frame(minutes)

    def weeks(self, days: pl.DataFrame) -> pl.DataFrame:
        return week_frame(days)

    def dates(self, found: pl.DataFrame) -> set[date]:
        return set(found["datetime"].dt.date().to_list())

    def trading_days(self, frame: pl.DataFrame, interval: Interval) -> pl.DataFrame:
        return with_trading_day(frame, interval)


FRAMES = FrameForm()
