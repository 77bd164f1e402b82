"""Which records a history keeps: those within a range, or those of a window's trading
days; ascending, one per time: of bars given twice for one time, the last given (see
docs/api.md, "Two records of one time"). Each rule in two forms side by side: vn.py records and
frames (vnpy_norvix/history/frames.py), which must keep the same rows in the same order.
The calendar's rules (China time, trading days and their spans) live in
vnpy_norvix.calendar."""

from __future__ import annotations

from bisect import bisect_left
from collections.abc import Sequence
from datetime import date, datetime
from itertools import islice
from operator import attrgetter, lt
from typing import TYPE_CHECKING, Protocol, TypeVar, cast

from vnpy.trader.constant import Interval

from norvix_datafeed import CHINA_TZ

from ..calendar import Calendar, Window

if TYPE_CHECKING:
    import polars as pl


class Stamped(Protocol):
    datetime: datetime


StampedT = TypeVar("StampedT", bound=Stamped)


# --- the range [start, end] ------------------------------------------------------------------


def within(records: list[StampedT], start: datetime, end: datetime, *, one_per_time: bool = True) -> list[StampedT]:
    """The records whose time lies in [start, end], ascending, without duplicates: with
    `one_per_time` one record per time, the last given (bars), otherwise a record is a
    duplicate only of an equal one given before (ticks: several may share a second)."""
    kept = sorted((record for record in records if start <= record.datetime <= end), key=attrgetter("datetime"))
    unique: list[StampedT] = []
    same_time = 0  # where the records of the last kept time begin in `unique`
    for record in kept:
        if unique and record.datetime == unique[-1].datetime:
            if one_per_time:
                unique[-1] = record  # the later record of a time replaces the earlier, as a re-save does
                continue
            if record in unique[same_time:]:
                continue
        else:
            same_time = len(unique)
        unique.append(record)
    return unique


def strictly_ascending(times: pl.Series) -> bool:
    """Whether each time is later than the one before (then sorting and keeping one
    row per time leave a frame as it is)."""
    steps = times.to_physical().diff().drop_nulls()
    return steps.is_empty() or cast(int, steps.min()) > 0


def within_frame(frame: pl.DataFrame, start: datetime, end: datetime, *, one_per_time: bool = True) -> pl.DataFrame:
    """`within` for frames."""
    import polars as pl

    times = frame["datetime"]
    if start.tzinfo is not None and end.tzinfo is not None and not times.null_count() and strictly_ascending(times):
        # As the service sends them, sorted and one per time: the range is a slice found
        # by bisection, which shares the frame's buffers where a filter would copy them.
        bounds = pl.Series([start, end], dtype=times.dtype).to_physical()
        physical = times.to_physical()
        low, high = physical.search_sorted(bounds[0], side="left"), physical.search_sorted(bounds[1], side="right")
        return frame.slice(low, max(0, high - low))  # nothing where the range ends before it begins
    # polars compares a zoned column only with bounds of its own zone.
    start, end = (moment.astimezone(CHINA_TZ) if moment.tzinfo is not None else moment for moment in (start, end))
    kept = frame.filter(pl.col("datetime").is_between(start, end))
    if strictly_ascending(kept["datetime"]):
        return kept  # sorted and one per time already
    kept = kept.sort("datetime", maintain_order=True)
    if one_per_time:
        return kept.unique(subset=["datetime"], keep="last", maintain_order=True)
    # Equal rows: the first stands where the record form keeps it, among others of its time.
    return kept.unique(keep="first", maintain_order=True)


# --- a window's trading days -----------------------------------------------------------------


def window_records(records: Sequence[StampedT], interval: Interval, window: Window,
                   calendar: Calendar) -> list[StampedT]:
    """The records of the trading days of `window`, ascending, one per time (the last given).
    Answers as the service sends them take the fast path (tests/test_calendar.py holds it
    to the rule record by record); any other records go record by record."""
    found = window_ascending(records, interval, window, calendar)
    return found if found is not None else window_each(records, interval, window, calendar)


def window_each(records: Sequence[StampedT], interval: Interval, window: Window, calendar: Calendar) -> list[StampedT]:
    """`window_records` by the trading day of each record."""
    chosen: dict[datetime, StampedT] = {}
    for record in records:
        if window.first <= calendar.trading_day(record.datetime, interval) <= window.last:
            chosen[record.datetime] = record
    return [chosen[moment] for moment in sorted(chosen)]


def window_ascending(records: Sequence[StampedT], interval: Interval, window: Window,
                     calendar: Calendar) -> list[StampedT] | None:
    """What `window_records` returns, for records whose times are all China times
    (`datetime`s of CHINA_TZ itself) in strictly ascending order, as the service sends
    them; None for any others. Times of one zone compare as wall times, as `trading_day`
    reads them, so each of the calendar's spans of the window is a slice found by bisection."""
    if not records:
        return None
    times = list(map(attrgetter("datetime"), records))
    zones = set(map(attrgetter("tzinfo"), times))
    if (set(map(type, times)) != {datetime} or len(zones) != 1 or zones.pop() is not CHINA_TZ
            or not all(map(lt, times, islice(times, 1, None)))):
        return None
    chosen: list[StampedT] = []
    for begin, end in calendar.spans(window.first, window.last, interval, times[0].date(), times[-1].date()):
        chosen += records[bisect_left(times, begin):bisect_left(times, end)]
    return chosen


def window_frame(frame: pl.DataFrame, interval: Interval, window: Window, calendar: Calendar) -> pl.DataFrame:
    """`window_records` for frames: the rows in the calendar's spans of the window."""
    import polars as pl

    if not frame.height:
        return frame
    days = frame["datetime"].dt.date()
    spans = calendar.spans(window.first, window.last, interval, cast(date, days.min()), cast(date, days.max()))
    time = pl.col("datetime")
    inside = (pl.any_horizontal(time.is_between(begin, end, closed="left") for begin, end in spans) if spans
              else pl.lit(False))
    kept = frame.filter(inside)
    if strictly_ascending(kept["datetime"]):
        return kept
    kept = kept.sort("datetime", maintain_order=True)
    return kept.unique(subset=["datetime"], keep="last", maintain_order=True)
