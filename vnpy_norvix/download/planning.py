"""Planning against what the store holds: each target's trading days, less those held
whole, in windows of whole trading days."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from datetime import date, datetime, time as clock, timedelta
from typing import TYPE_CHECKING, Any, Protocol, runtime_checkable

import vnpy.trader.database as vn_database
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BarOverview, BaseDatabase, TickOverview
from vnpy.trader.object import BarData

from norvix_datafeed import CHINA_TZ

from .. import store
from ..calendar import Calendar, Window, database_time, midnight, now_in_china, published, trading_windows
from ..history import Fetched
from ..engine import Failure
from ..store.days import PROVISIONAL, Daily, DayRecord
from .source import BarOrTick, Source, days_of
from .targets import Target

if TYPE_CHECKING:
    from ..research.lab import LabBars, LabStore


@dataclass
class Task:
    target: Target
    interval: Interval
    calendar: Calendar = field(default_factory=Calendar)  # the contract's trading days in range
    todo: list[Window] = field(default_factory=list)  # whole trading days still to fetch, ascending
    held: int = 0  # records the database held before, in all
    held_days: int = 0  # trading days of the range it held whole
    failure: Failure | None = None  # why the task could not be planned
    # The service's daily bars of the range as published when planning began, which
    # the days fetched later are held against (store/days.py).
    daily: dict[date, Daily] = field(default_factory=dict)
    # A daily task's own records: the daily bars planning asked for at `asked`, saved
    # from there rather than asked for again (None: fetched by the pipeline).
    daily_bars: dict[date, BarData] | None = None
    asked: datetime | None = None

    @property
    def key(self) -> Key:
        return (self.target.symbol, self.target.exchange, self.interval)

    @property
    def label(self) -> str:
        return f"{self.target.vt_symbol} {self.interval.value}"

    @property
    def windows(self) -> int:
        return len(self.todo)


@dataclass(frozen=True)
class Holding:
    first: datetime
    last: datetime
    count: int


Key = tuple[str, Exchange, Interval]
# vn.py's overviews type their exchange and interval as optional.
HeldKey = tuple[str, Exchange | None, Interval | None]


@runtime_checkable
class FrameStore(Protocol):
    """A store that takes each window's bars as one frame, read from the service's answers
    as typed columns without a vn.py object per record (an AlphaLab folder: LabStore in
    vnpy_norvix/research/lab.py): what planning, the pipeline and a continuous series call
    on it."""

    def get_bar_overview(self) -> list[BarOverview]: ...

    def window_bars(self, fetched: Fetched, symbol: str, exchange: Exchange, interval: Interval, window: Window,
                    calendar: Calendar) -> LabBars: ...

    def save_frame(self, bars: LabBars, days: dict[date, int], fetched: datetime, calendar: Calendar,
                   recorded: dict[date, DayRecord] | None = None) -> None: ...

    def held_days(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                  calendar: Calendar) -> set[date]: ...

    def replace_bar_data(self, bars: list[BarData], rolls: Sequence[dict[str, Any]] | None = None) -> None: ...


# Where a download saves: vn.py's database (its bulk writers in vnpy_norvix/store), or a
# lab folder, told apart at run time as a FrameStore (without importing polars).
type Store = BaseDatabase | LabStore


def vnpy_database(database: Store | None) -> BaseDatabase | None:
    """vn.py's database, or None for a lab folder (whose own files keep its lock and commands)."""
    return None if isinstance(database, FrameStore) else database


def holdings(database: Store) -> dict[HeldKey, Holding]:
    """What the store holds per symbol and interval (ticks under TICK)."""
    held: dict[HeldKey, Holding] = {}
    overviews: list[tuple[BarOverview | TickOverview, Interval | None]]
    overviews = [(o, o.interval) for o in database.get_bar_overview()]
    if not isinstance(database, FrameStore):  # a store of frames keeps no ticks
        overviews += [(o, Interval.TICK) for o in database.get_tick_overview()]
    for overview, interval in overviews:
        if overview.count and overview.start and overview.end:
            held[(overview.symbol, overview.exchange, interval)] = Holding(
                database_time(overview.start), database_time(overview.end), overview.count)
    return held


def loaded_days(database: BaseDatabase, target: Target, interval: Interval, calendar: Calendar) -> set[date]:
    """The trading days of the target's range that the database holds records of, read
    window by window through the database's own load functions."""
    days: set[date] = set()
    for window in trading_windows(calendar.days, interval, calendar):
        start, end = calendar.bounds(window.first, interval)[0], calendar.bounds(window.last, interval)[1]
        # vn.py's load functions take both ends: the last instant before the bound
        first, last = vn_database.convert_tz(start), vn_database.convert_tz(end - timedelta(microseconds=1))
        records: Sequence[BarOrTick]
        if interval == Interval.TICK:
            records = database.load_tick_data(target.symbol, target.exchange, first, last)
        else:
            records = database.load_bar_data(target.symbol, target.exchange, interval, first, last)
        days.update(calendar.trading_day(database_time(record.datetime), interval) for record in records)
    return days


def runs(days: Sequence[date], wanted: set[date]) -> list[list[date]]:
    """The days of `days` in `wanted`, as runs of neighbours in `days`."""
    result: list[list[date]] = []
    previous = False
    for day in days:
        if day in wanted:
            if previous:
                result[-1].append(day)
            else:
                result.append([day])
        previous = day in wanted
    return result


def plan_task(source: Source, target: Target, interval: Interval, days: list[date], database: Store,
              holding: Holding | None, daily: dict[date, Daily] | None = None) -> Task:
    # A day left provisional stays planned though the service no longer lists it (a
    # service stuck for days): fetched again until whole, known empty or given up on.
    days = sorted(set(days).union(provisional_days(database, target, interval)))
    calendar = Calendar(days)
    task = Task(target, interval, calendar, held=holding.count if holding else 0, daily=daily or {})
    range_start, range_end = midnight(target.first), datetime.combine(target.last, clock.max, CHINA_TZ)
    held: set[date] = set()
    overlaps = holding is not None and holding.first <= range_end and holding.last >= range_start
    # A series with no overview may still hold a record: of days known empty or not carried.
    if days and (overlaps or keeps_record(database)):
        held = whole_days(database, target, interval, calendar, holding)
    task.held_days = len(held.intersection(days))
    wanted = set(days).difference(held)
    task.todo = [window for run in runs(days, wanted) for window in trading_windows(run, interval, calendar)]
    return task


def provisional_days(database: Store, target: Target, interval: Interval) -> list[date]:
    """The days of the target's range the store records as provisional (vn.py's database;
    a lab's ledger plans by the service's calendar alone)."""
    if isinstance(database, FrameStore):
        return []
    records = store.day_records(database, target.symbol, target.exchange, interval, target.first, target.last)
    return [day for day, record in (records or {}).items() if record.state == PROVISIONAL]


def keeps_record(database: Store) -> bool:
    """Whether the store keeps the completeness record (a lab's ledger, or the bulk writers'
    table)."""
    return isinstance(database, FrameStore) or store.sql_writer(database) is not None


def whole_days(database: Store, target: Target, interval: Interval, calendar: Calendar,
               holding: Holding | None) -> set[date]:
    """The trading days of the task's range the database holds whole. From the completeness
    record where the database keeps one (store.held_days, a lab's ledger); with any other
    adapter, by a rule on what it holds: every day it holds records of but the last of the
    series and those after (the only ones a save can have left partial, since the days of
    a task are saved in ascending order and each window whole)."""
    first, last = target.first, target.last
    if isinstance(database, FrameStore):
        return database.held_days(target.symbol, target.exchange, interval, first, last, calendar)
    found = store.held_days(database, target.symbol, target.exchange, interval, first, last, calendar)
    if found is not None:
        return found
    if holding is None:
        return set()
    latest = calendar.trading_day(holding.last, interval)
    return {day for day in loaded_days(database, target, interval, calendar) if day < latest}


def finished(database: Store, target: Target, intervals: Sequence[Interval]) -> bool:
    """Whether the store's record holds every trading day of an expired contract settled,
    for every interval, with the rows saved (store.held_days): past its last trading day
    no day of it can change, so it costs no request at all."""
    if target.expires is None or not target.days or now_in_china() < published(target.expires):
        return False
    if not keeps_record(database):
        return False
    wanted, calendar = set(target.days), Calendar(target.days)
    return all(wanted <= whole_days(database, target, interval, calendar, None) for interval in intervals)


def held_count(held: dict[HeldKey, Holding], target: Target, interval: Interval) -> int:
    holding = held.get((target.symbol, target.exchange, interval))
    return holding.count if holding else 0


def plan(source: Source, targets: Iterable[Target], intervals: Sequence[Interval], database: Store) -> list[Task]:
    """Each target's tasks: the contract's trading days in its range (from the service's
    daily bars), less those the database holds records of."""
    held = holdings(database)
    tasks = []
    for target in targets:
        if finished(database, target, intervals):  # asked nothing: see `finished`
            tasks += [Task(target, interval, Calendar(target.days), held=held_count(held, target, interval),
                           held_days=len(target.days)) for interval in intervals]
            continue
        asked = now_in_china()  # read before asking, as the pipeline does
        try:
            bars = source.daily_bars(target.symbol, target.exchange, target.first, target.last)
        except Failure as failure:
            tasks += [Task(target, interval, failure=failure) for interval in intervals]
            continue
        days, daily = days_of(bars, target.first, target.last), {day: Daily.of(bar) for day, bar in bars.items()}
        for interval in intervals:
            task = plan_task(source, target, interval, days, database,
                             held.get((target.symbol, target.exchange, interval)), daily)
            if interval == Interval.DAILY and not isinstance(database, FrameStore):
                task.daily_bars, task.asked = bars, asked
            tasks.append(task)
    return tasks
