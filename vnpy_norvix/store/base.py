"""What every store is to the commands: vn.py's database (`DatabaseStore`, database.py)
or an AlphaLab folder (`LabStore`, lab.py), behind one protocol.

The rules live here, once, over a few primitives each store supplies: which series it
holds (`holdings`), which trading days of a series it holds whole (`held_days`: the
settled days of its completeness record whose rows still number what was saved), the
days still provisional, where its run lock and its remembered commands live. A store
supplies its overviews, its completeness record, its rows counted per trading day, and
how it saves a window, replaces a series and repairs days.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Sequence
from collections import Counter
from dataclasses import dataclass
from datetime import date, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BarOverview, TickOverview
from vnpy.trader.object import BarData, TickData

from norvix_datafeed import CHINA_TZ

from ..calendar import WEEKDAYS, Calendar, database_time
from .days import PROVISIONAL, DayRecord

if TYPE_CHECKING:
    import polars as pl

    from .commands import CommandTable

# A series' identity: its symbol, exchange and interval (ticks under TICK).
Series = tuple[str, Exchange, Interval]
Record = BarData | TickData
Minutes = Counter[datetime]  # records per minute of China time (aware)
BAR_FIELDS = ("open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")


def china(stored: datetime) -> datetime:
    """A stored time (a wall time in "database.timezone" when naive) in China time."""
    return database_time(stored).astimezone(CHINA_TZ)


def bar_values(bar: BarData) -> tuple[float, ...]:
    return tuple(float(getattr(bar, name)) for name in BAR_FIELDS)


def value_defects(record: Record) -> list[str]:
    """What is wrong with a record's values (the rule of the bulk writers' queries too)."""
    defects = []
    if isinstance(record, TickData):
        if not record.last_price > 0 or record.high_price < record.low_price:
            defects.append("prices")
    elif (record.high_price < max(record.open_price, record.close_price)
          or record.low_price > min(record.open_price, record.close_price)):
        defects.append("prices")
    if record.volume < 0 or getattr(record, "turnover", 0) < 0 or record.open_interest < 0:
        defects.append("volume")
    return defects


@dataclass(frozen=True)
class Stretch:
    """The stored records of a series in one hour of China time, within which the
    trading day of a moment never changes (the parts of a date begin on the hour)."""
    begin: datetime  # the hour, China time
    count: int
    first: datetime  # the first and last record's time, China time
    last: datetime
    # First open, highest high, lowest low, last close and the volumes' sum (bars only).
    bar: tuple[float, float, float, float, float] | None


def fold_stretches(times: Sequence[datetime], bars: Sequence[tuple[float, ...]] | None) -> list[Stretch]:
    """Records (China times in ascending order, with `bar_values` where bars) summed up per hour."""
    stretches: list[Stretch] = []
    start = 0
    for index in range(1, len(times) + 1):
        if index < len(times) and times[index].replace(minute=0, second=0, microsecond=0) == \
                times[start].replace(minute=0, second=0, microsecond=0):
            continue
        held = bars[start:index] if bars is not None else None
        stretches.append(Stretch(
            times[start].replace(minute=0, second=0, microsecond=0), index - start, times[start], times[index - 1],
            None if not held else (held[0][0], max(b[1] for b in held), min(b[2] for b in held), held[-1][3],
                                   sum(b[4] for b in held))))
        start = index
    return stretches


@dataclass(frozen=True)
class Holding:
    first: datetime
    last: datetime
    count: int


class FrameWindow:
    """A window's records held as one frame, ascending: how many, the first and last time."""

    frame: pl.DataFrame

    def __len__(self) -> int:
        return self.frame.height

    @property
    def first(self) -> datetime:
        return cast(datetime, self.frame["datetime"][0])

    @property
    def last(self) -> datetime:
        return cast(datetime, self.frame["datetime"][-1])


class Store(ABC):
    """Where a download saves and what `update`, `verify` and `status` read."""

    # Whether a window is handed over as one frame of the answers' columns (LabBars)
    # rather than as vn.py records.
    takes_frames = False

    # --- the primitives ---

    @abstractmethod
    def describe(self) -> str:
        """Which store, as a run's first line names it."""

    @abstractmethod
    def overviews(self) -> list[tuple[BarOverview | TickOverview, Interval | None]]:
        """The store's overview entries, each with its interval (ticks under TICK)."""

    @abstractmethod
    def day_records(self, series: Series, first: date, last: date) -> dict[date, DayRecord] | None:
        """The completeness record of the series' trading days [first, last]; None where
        the store keeps none."""

    @abstractmethod
    def recorded_total(self, series: Series) -> int:
        """The records the completeness record counts of the series, over all its days."""

    @abstractmethod
    def rows_total(self, series: Series) -> int:
        """The rows the store holds of the series."""

    @abstractmethod
    def day_counts(self, series: Series, first: date, last: date, calendar: Calendar = WEEKDAYS) -> dict[date, int]:
        """The rows the store holds of each trading day of [first, last] that it holds any of."""

    @abstractmethod
    def lock_file(self) -> Path:
        """The file a run holding the store locks."""

    @abstractmethod
    def commands_file(self) -> Path:
        """The file the store's remembered commands are kept in, where no table keeps them."""

    def server(self) -> tuple[str, Any] | None:
        """The dialect and peewee database of a database server whose own lock a run takes."""
        return None

    def command_table(self) -> CommandTable | None:
        """The table of the database that keeps the remembered commands, if any."""
        return None

    @abstractmethod
    def replace_series(self, series: Series, bars: Sequence[BarData],
                       rolls: Sequence[dict[str, Any]] | None = None) -> None:
        """The stored bars of `series` replaced whole by `bars` (with a continuous series'
        roll table), or left as they were."""

    @abstractmethod
    def save_window(self, series: Series, records: Any, days: dict[date, int], fetched: datetime,
                    calendar: Calendar, recorded: dict[date, DayRecord] | None = None) -> int | None:
        """One window of whole trading days saved in place of what was stored of them, each
        day recorded (how it stood: `recorded`, else by the clock); the rows the series
        gained, where the store counts them. `records` are vn.py records, or one frame
        (LabBars) for a store that `takes_frames`."""

    @abstractmethod
    def load(self, series: Series) -> Sequence[Record]:
        """Every stored record of `series`."""

    def can_repair(self, interval: Interval) -> bool:
        """Whether stored days of the interval can be replaced (`replace_days`)."""
        return False

    def replace_days(self, series: Series, spans: Sequence[tuple[datetime, datetime]],
                     records: Sequence[Record]) -> None:
        """What is stored in the China-time `spans` replaced by `records`, whole or not at all."""
        raise NotImplementedError

    def rewrite_overview(self, series: Series) -> bool:
        """The series' overview set from its rows; False where the store keeps none of its own."""
        return False

    def table_series(self) -> set[Series]:
        """Series the store holds rows of that its overviews may not show."""
        return set()

    def minute_counts(self, series: Series, begin: datetime | None = None, end: datetime | None = None) -> Minutes:
        """The records stored of `series` per minute of China time (those in [begin, end))."""
        times = (china(record.datetime) for record in self.load(series))
        return Counter(moment.replace(second=0, microsecond=0) for moment in times
                       if (begin is None or begin <= moment) and (end is None or moment < end))

    def stretches(self, series: Series) -> list[Stretch]:
        """The stored records of `series` summed up per hour of China time, in time order."""
        records = sorted(self.load(series), key=lambda record: record.datetime)
        bars = None if series[2] == Interval.TICK else [bar_values(cast(BarData, bar)) for bar in records]
        return fold_stretches([china(record.datetime) for record in records], bars)

    def bad_values(self, series: Series) -> list[tuple[datetime, str]]:
        """Stored records whose values cannot be: (China time, what is wrong)."""
        return [(china(record.datetime), defect) for record in self.load(series) for defect in value_defects(record)]

    def row_span(self, series: Series) -> tuple[int, datetime | None, datetime | None]:
        """The count, first and last stored time (China time) of the series' rows."""
        times = [china(record.datetime) for record in self.load(series)]
        return len(times), min(times, default=None), max(times, default=None)

    def stored_bars(self, series: Series) -> dict[datetime, tuple[float, ...]]:
        """The stored bars of `series` by China time."""
        return {china(bar.datetime): bar_values(bar) for bar in cast(list[BarData], self.load(series))}

    # --- the rules ---

    def holdings(self) -> dict[Series, Holding]:
        """What the store holds per series, as its overviews say."""
        held: dict[Series, Holding] = {}
        for overview, interval in self.overviews():
            if overview.count and overview.start and overview.end and overview.exchange and interval:
                held[(overview.symbol, overview.exchange, interval)] = Holding(
                    database_time(overview.start), database_time(overview.end), overview.count)
        return held

    @property
    def keeps_record(self) -> bool:
        """Whether the store keeps the completeness record."""
        return True

    def held_days(self, series: Series, first: date, last: date, calendar: Calendar = WEEKDAYS) -> set[date] | None:
        """The trading days of [first, last] no run needs to fetch again: recorded settled
        (days.SETTLED), with as many rows as were saved. The rows are only counted per day
        when the record's counts over the whole series do not add up to the rows the store
        holds of it (rows deleted or added behind the record's back). None when the store
        keeps no record."""
        records = self.day_records(series, first, last)
        if records is None:
            return None
        complete = {day for day, record in records.items() if record.settled}
        if not complete or self.recorded_total(series) == self.rows_total(series):
            return complete
        counts = self.day_counts(series, min(complete), max(complete), calendar)
        return {day for day in complete if counts.get(day, 0) == records[day].count}

    def provisional_days(self, series: Series, first: date, last: date) -> list[date]:
        """The days of [first, last] the record holds provisional."""
        records = self.day_records(series, first, last) or {}
        return [day for day, record in records.items() if record.state == PROVISIONAL]
