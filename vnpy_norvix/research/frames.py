"""Complete history over [start, end] as frames: the record path's windows, ranges,
calendar and failures (vnpy_norvix/history.py), with each window's answer decoded into
columns instead of records; hour and week bars made with polars exactly as the record
path makes them (vnpy_norvix/aggregate.py)."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import date, datetime
from typing import TYPE_CHECKING

import polars as pl
from vnpy.trader.constant import Exchange, Interval

from .. import _wire, messages
from ..capture import Outcome
from ..fetch import Answer, Fetched, fetch_windows
from ..history import History, bar_plan, source_of, tick_dates
from ..ranges import NIGHT_SLACK, Window, windows
from .columns import DATETIME, empty_frame, frame_of
from .transport import fetch_body

if TYPE_CHECKING:
    from ..datafeed import Datafeed

KIND_INTERVAL = {"minute": Interval.MINUTE, "day": Interval.DAILY, "tick": None}


@dataclass
class FrameAnswer(Answer):
    """One window's answer as a frame."""

    frame: pl.DataFrame = field(default_factory=pl.DataFrame)

    def reached(self, limit: int | None) -> bool:
        return limit is not None and self.frame.height + self.outcome.skipped >= limit


def answer(feed: Datafeed, kind: str, symbol: str, exchange: Exchange, first: str, last: str | None) -> FrameAnswer:
    """One request's answer, failures worded as the record path words them."""
    body = fetch_body(feed.base_url, feed.username, feed.password, kind, symbol, first, last)
    if body.failure:
        return FrameAnswer(outcome=Outcome(answered=True, failure=body.failure))
    status, columns, _, message, skipped, _ = _wire.decode_columns(kind, body.content, feed.password)
    failure = {
        _wire.OK: None,
        _wire.EMPTY: messages.EMPTY_BODY,
        _wire.REFUSED: messages.refused(_wire.mask(f"{message}", feed.password)),
        _wire.NOT_JSON: messages.BAD_JSON,
        _wire.BAD_SHAPE: messages.unreadable_text(f"{message}"),
    }[status]
    outcome = Outcome(answered=True, failure=failure, skipped=len(skipped), skip_reason=skipped[0] if skipped else "")
    if failure:
        return FrameAnswer(outcome=outcome)
    return FrameAnswer(outcome=outcome, frame=frame_of(columns, symbol, exchange, KIND_INTERVAL[kind]))


def _frames(fetched: Fetched) -> list[pl.DataFrame]:
    return [part.frame for part in fetched.answers if isinstance(part, FrameAnswer)]


def _joined(fetched: Fetched, kind: str, symbol: str, exchange: Exchange) -> pl.DataFrame:
    parts = _frames(fetched)
    return pl.concat(parts) if parts else empty_frame(kind, symbol, exchange, KIND_INTERVAL[kind])


def within(frame: pl.DataFrame, start: datetime, end: datetime, *, one_per_time: bool = True) -> pl.DataFrame:
    """ranges.within for frames: the rows in [start, end], ascending (stable), the first
    row of each time (bars) or of each set of equal rows (ticks)."""
    kept = frame.filter(pl.col("datetime").is_between(start, end)).sort("datetime", maintain_order=True)
    return kept.unique(subset=["datetime"] if one_per_time else None, keep="first", maintain_order=True)


def _bars(feed: Datafeed, symbol: str, exchange: Exchange, interval: Interval, first: date,
          last: date) -> tuple[Fetched, str]:
    source = source_of(interval)

    def one(window: Window) -> Answer:
        return answer(feed, source.kind, symbol, exchange, window.first.isoformat(), window.last.isoformat())

    return fetch_windows(windows(first, last, source.days), one, limit=source.limit, workers=feed.workers), source.kind


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
    """aggregate.hour_bars: vn.py's BarGenerator closes an hour on its 59th minute or on
    a bar of another hour of the clock; each hour bar is stamped at the start of the hour
    of its first minute."""
    time = pl.col("datetime")
    opens = (time.dt.minute().shift(1) == 59) | (time.dt.hour() != time.dt.hour().shift(1))
    stamp = _local(time.first()).dt.truncate("1h").dt.replace_time_zone(DATETIME.time_zone)
    return _made(opens.fill_null(True).cum_sum(), stamp, minutes, Interval.HOUR)


def week_frame(days: pl.DataFrame) -> pl.DataFrame:
    """aggregate.week_bars: consecutive daily bars of one Monday-to-Sunday week, stamped
    at the first."""
    date = pl.col("datetime").dt.date()
    monday = date - pl.duration(days=pl.col("datetime").dt.weekday() - 1)
    return _made(monday.rle_id(), pl.col("datetime").first(), days, Interval.WEEKLY)


def bar_frame(feed: Datafeed, symbol: str, exchange: Exchange, interval: Interval, start: datetime,
              end: datetime) -> History[pl.DataFrame]:
    plan = bar_plan(interval, start, end)
    fetched, kind = _bars(feed, symbol, exchange, plan.source, plan.first, plan.last)
    if fetched.failure:
        return History(empty_frame(kind, symbol, exchange, interval), failure=fetched.failure)
    bars = within(_joined(fetched, kind, symbol, exchange), plan.low, plan.high)
    if interval == Interval.HOUR:
        bars = within(hour_frame(bars), start, end)
    elif interval == Interval.WEEKLY:
        bars = within(week_frame(bars), start, end)
    return History.of(fetched, bars)


def tick_frame(feed: Datafeed, symbol: str, exchange: Exchange, start: datetime,
               end: datetime) -> History[pl.DataFrame]:
    # The daily bars tell the instrument's trading days; a night session belongs to the next one.
    calendar, _ = _bars(feed, symbol, exchange, Interval.DAILY, start.date(), end.date() + NIGHT_SLACK)
    if calendar.failure:
        return History(empty_frame("tick", symbol, exchange, None), failure=calendar.failure)
    known = {day for part in _frames(calendar) for day in part["datetime"].dt.date().to_list()}

    def one(window: Window) -> Answer:
        return answer(feed, "tick", symbol, exchange, window.first.isoformat(), None)

    days = tick_dates(known, start, end)
    fetched = fetch_windows([Window(day, day) for day in days], one, workers=feed.workers)
    if fetched.failure:
        return History(empty_frame("tick", symbol, exchange, None), failure=fetched.failure)
    ticks = within(_joined(fetched, "tick", symbol, exchange), start, end, one_per_time=False)
    return History.of(fetched, ticks, calendar)
