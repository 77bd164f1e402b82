"""Planning against what the store holds: each target's trading days, less those held
whole, in windows of whole trading days."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from datetime import date, datetime, time as clock

from vnpy.trader.constant import Interval
from vnpy.trader.database import BaseDatabase
from vnpy.trader.object import BarData

from norvix_datafeed import CHINA_TZ

from ..calendar import Calendar, Window, midnight, now_in_china, published, trading_windows
from ..engine import Failure
from ..store import Holding, Series, Store, as_store
from ..store.days import Daily
from .source import Source, days_of
from .targets import Target


@dataclass
class Task:
    target: Target
    interval: Interval
    calendar: Calendar = field(default_factory=Calendar)  # the contract's trading days in range
    todo: list[Window] = field(default_factory=list)  # whole trading days still to fetch, ascending
    held: int = 0  # records the database held before, in all
    whole_count: int = 0  # how many trading days of the range it held whole
    failure: Failure | None = None  # why the task could not be planned
    # The service's daily bars of the range as published when planning began, which
    # the days fetched later are held against (store/days.py).
    daily: dict[date, Daily] = field(default_factory=dict)
    # A daily task's own records: the daily bars planning asked for at `asked`, saved
    # from there rather than asked for again (None: fetched by the pipeline).
    daily_bars: dict[date, BarData] | None = None
    asked: datetime | None = None

    @property
    def key(self) -> Series:
        return (self.target.symbol, self.target.exchange, self.interval)

    @property
    def label(self) -> str:
        return f"{self.target.vt_symbol} {self.interval.value}"

    @property
    def windows(self) -> int:
        return len(self.todo)


# Where a download saves: a store of vnpy_norvix/store (vn.py's database or a lab
# folder); vn.py's database given as it is is taken as its store.
StoreLike = BaseDatabase | Store


def holdings(database: StoreLike) -> dict[Series, Holding]:
    """What the store holds per series (ticks under TICK)."""
    return as_store(database).holdings()


def loaded_days(database: StoreLike, target: Target, interval: Interval, calendar: Calendar) -> set[date]:
    """The trading days of the target's range that the store holds records of (counted per
    trading day as the store counts them)."""
    if not calendar.days:
        return set()
    return set(as_store(database).day_counts((target.symbol, target.exchange, interval), calendar.days[0],
                                             calendar.days[-1], calendar))


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


def plan_task(source: Source, target: Target, interval: Interval, days: list[date], database: StoreLike,
              holding: Holding | None, daily: dict[date, Daily] | None = None) -> Task:
    # A day left provisional stays planned though the service no longer lists it (a
    # service stuck for days): fetched again until whole, known empty or given up on.
    held_store = as_store(database)
    series = (target.symbol, target.exchange, interval)
    days = sorted(set(days).union(held_store.provisional_days(series, target.first, target.last)))
    calendar = Calendar(days)
    task = Task(target, interval, calendar, held=holding.count if holding else 0, daily=daily or {})
    range_start, range_end = midnight(target.first), datetime.combine(target.last, clock.max, CHINA_TZ)
    held: set[date] = set()
    overlaps = holding is not None and holding.first <= range_end and holding.last >= range_start
    # A series with no overview may still hold a record: of days known empty or not carried.
    if days and (overlaps or held_store.keeps_record):
        held = whole_days(held_store, target, interval, calendar, holding)
    task.whole_count = len(held.intersection(days))
    wanted = set(days).difference(held)
    task.todo = [window for run in runs(days, wanted) for window in trading_windows(run, interval, calendar)]
    return task


def whole_days(database: StoreLike, target: Target, interval: Interval, calendar: Calendar,
               holding: Holding | None) -> set[date]:
    """The trading days of the task's range the database holds whole. From the completeness
    record where the database keeps one (store.held_days, a lab's ledger); with any other
    adapter, by a rule on what it holds: every day it holds records of but the last of the
    series and those after (the only ones a save can have left partial, since the days of
    a task are saved in ascending order and each window whole)."""
    found = as_store(database).held_days((target.symbol, target.exchange, interval), target.first, target.last,
                                         calendar)
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
    if not database.keeps_record:
        return False
    wanted, calendar = set(target.days), Calendar(target.days)
    return all(wanted <= whole_days(database, target, interval, calendar, None) for interval in intervals)


def held_records(held: dict[Series, Holding], target: Target, interval: Interval) -> int:
    holding = held.get((target.symbol, target.exchange, interval))
    return holding.count if holding else 0


def plan(source: Source, targets: Iterable[Target], intervals: Sequence[Interval], database: StoreLike) -> list[Task]:
    """Each target's tasks: the contract's trading days in its range (from the service's
    daily bars), less those the database holds records of."""
    database = as_store(database)
    held = holdings(database)
    tasks = []
    for target in targets:
        if finished(database, target, intervals):  # asked nothing: see `finished`
            tasks += [Task(target, interval, Calendar(target.days), held=held_records(held, target, interval),
                           whole_count=len(target.days)) for interval in intervals]
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
            if interval == Interval.DAILY and not database.takes_frames:
                task.daily_bars, task.asked = bars, asked
            tasks.append(task)
    return tasks
