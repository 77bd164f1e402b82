"""Market history from the data service into vn.py's database, resumably and in parallel.

A download is a list of tasks, one per contract and interval, each over a range of
trading days. What the database already holds for a task is left alone: only the
trading days outside it are fetched, plus the last day it holds, which may have been
cut short. Each task fetches and saves in windows of calendar days, in ascending
order, so an interrupted run leaves one unbroken run of saved days behind, and a
re-run carries on from its end.

Every query goes through the datafeed's public methods. The datafeed reports a failure
through `output`; the bare datafeed only writes it to the log, so the lines it writes
on the calling thread are watched as well.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from datetime import date, datetime, time as clock, timedelta
from typing import Any, Protocol, TypeVar

from vnpy.trader.constant import Exchange, Interval
import vnpy.trader.database as vn_database
from vnpy.trader.database import BaseDatabase
from vnpy.trader.object import BarData, HistoryRequest, TickData

from norvix_datafeed import CHINA_TZ

from . import ranges
from .capture import core_lines

T = TypeVar("T")
Record = BarData | TickData

# Calendar days per request: a window of minute or hour bars stays well under the
# 40,000 records one answer may carry even for a market open around the clock.
WINDOW_DAYS = {Interval.DAILY: 365, Interval.HOUR: 20, Interval.MINUTE: 20, Interval.TICK: 1}
INTERVAL_NAMES = {"d": Interval.DAILY, "1h": Interval.HOUR, "1m": Interval.MINUTE, "tick": Interval.TICK}

# Night sessions open at 21:00 and close by 02:30, and none is held before a holiday:
# a record from 18:00 on belongs to the next weekday, one before 06:00 to the weekday
# on or after its date.
EVENING = clock(18)
MORNING = clock(6)


class FeedError(Exception):
    """A query the data service did not answer, with the reason."""


class Stopped(Exception):
    """The run was interrupted before the task finished."""


# --- trading days ------------------------------------------------------------------------


def next_weekday(day: date) -> date:
    day += timedelta(days=1)
    while day.weekday() >= 5:
        day += timedelta(days=1)
    return day


def previous_weekday(day: date) -> date:
    day -= timedelta(days=1)
    while day.weekday() >= 5:
        day -= timedelta(days=1)
    return day


def trading_day(moment: datetime, interval: Interval) -> date:
    """The trading day a record belongs to (a night session opens the next one)."""
    local = moment.astimezone(CHINA_TZ) if moment.tzinfo else moment
    day = local.date()
    if interval == Interval.DAILY:
        return day
    if local.time() >= EVENING:
        return next_weekday(day)
    if local.time() < MORNING and day.weekday() >= 5:
        return next_weekday(day)
    return day


def held_moment(value: datetime) -> datetime:
    """A time read from the database (a wall time in "database.timezone"), made aware."""
    return value.replace(tzinfo=vn_database.DB_TZ) if value.tzinfo is None else value


# --- queries with failures as exceptions ---------------------------------------------------

_FAILURE_MARKS = ("失败", "为空", "异常", "错误")


class Source:
    """The datafeed's queries, with every failure raised as `FeedError`."""

    def __init__(self, datafeed: Any) -> None:
        self.datafeed = datafeed

    def _checked(self, call: Callable[[Callable[[str], None]], T]) -> T:
        reported: list[str] = []
        try:
            with core_lines(__name__) as lines:
                result = call(reported.append)
        except (KeyboardInterrupt, SystemExit):
            raise
        except Exception as exc:  # an answer the datafeed could not read
            raise FeedError(f"{type(exc).__name__}: {exc}") from exc
        # What the datafeed reports through `output` says it best; the log is the
        # bare datafeed's only account.
        logged = [text for level, text in lines if level >= 40 or any(mark in text for mark in _FAILURE_MARKS)]
        problems = reported or logged
        if problems:
            raise FeedError("; ".join(dict.fromkeys(str(problem) for problem in problems)))
        return result

    def reference(self, method: str, *args: Any) -> list[dict]:
        return self._checked(lambda _output: getattr(self.datafeed, method)(*args)) or []

    def records(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date) -> list[Record]:
        """One request for the calendar days [first, last]: the bare datafeed reads them as
        trading days, the plug-in as times; callers keep the trading days they want."""
        start = datetime.combine(first, clock(), CHINA_TZ)
        end = datetime.combine(last, clock.max, CHINA_TZ)
        if interval == Interval.TICK:
            req = HistoryRequest(symbol=symbol, exchange=exchange, start=start, end=end)
            return self._checked(lambda output: self.datafeed.query_tick_history(req, output)) or []
        req = HistoryRequest(symbol=symbol, exchange=exchange, start=start, end=end, interval=interval)
        return self._checked(lambda output: self.datafeed.query_bar_history(req, output)) or []

    def history(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[list[Record]]:
        """The records of the trading days [first, last], one ascending list per window."""
        for window_first, window_last in windows(interval, first, last):
            if stop is not None and stop.is_set():
                raise Stopped
            records = self.records(symbol, exchange, interval, window_first, window_last)
            yield select(records, interval, first, last)


def windows(interval: Interval, first: date, last: date) -> list[tuple[date, date]]:
    """Calendar-day windows covering the trading days [first, last]; intraday ones
    start on the weekday before, whose evening opens the first trading day."""
    day = first if interval == Interval.DAILY else previous_weekday(first)
    return [(window.first, window.last) for window in ranges.windows(day, last, WINDOW_DAYS[interval])]


def select(records: Sequence[Record], interval: Interval, first: date, last: date) -> list[Record]:
    """The records of the trading days [first, last], ascending, one per time."""
    chosen: dict[datetime, Record] = {}
    for record in records:
        if first <= trading_day(record.datetime, interval) <= last:
            chosen[record.datetime] = record
    return [chosen[moment] for moment in sorted(chosen)]


# --- what to download -------------------------------------------------------------------


@dataclass(frozen=True)
class Target:
    symbol: str
    exchange: Exchange
    first: date  # trading days wanted
    last: date

    @property
    def vt_symbol(self) -> str:
        return f"{self.symbol}.{self.exchange.value}"


def trading_calendar(source: Source, product: str, start: date, end: date) -> list[dict]:
    """The service's dominant contract of each trading day of [start, end]."""
    days = source.reference("query_dominant", product, start.isoformat(), end.isoformat())
    if not days:
        raise FeedError(f"no trading days of {product} between {start} and {end}")
    return days


def product_targets(source: Source, product: str, contracts: str, start: date, end: date) -> list[Target]:
    """The dominant contracts of `product` over [start, end], or every contract tradable
    on some day of it, each over the days it was listed."""
    days = trading_calendar(source, product, start, end)
    if contracts == "dominant":
        seen: dict[str, Target] = {}
        for day in days:
            seen.setdefault(day["instrument_id"], Target(day["instrument_id"], Exchange(day["exchange"]), start, end))
        return list(seen.values())
    # A contract trades for about a year, so one that lists during the range is still
    # tradable on the first trading day of the next month, or on the last day.
    samples = [days[0]["trading_date"]]
    samples += [day["trading_date"] for before, day in zip(days, days[1:])
                if day["trading_date"][:7] != before["trading_date"][:7]]
    samples.append(days[-1]["trading_date"])
    found: dict[str, Target] = {}
    for sample in dict.fromkeys(samples):
        for contract in source.reference("query_contracts", product, sample):
            first = max(start, date.fromisoformat(contract.get("list_date") or start.isoformat()))
            last = min(end, date.fromisoformat(contract.get("expire_date") or end.isoformat()))
            found.setdefault(contract["instrument_id"],
                             Target(contract["instrument_id"], Exchange(contract["exchange"]), first, last))
    return sorted(found.values(), key=lambda target: (target.last, target.symbol))


# --- planning against what the database holds --------------------------------------------


@dataclass
class Task:
    target: Target
    interval: Interval
    segments: list[tuple[date, date]]  # trading days still to fetch, in order
    windows: int = 0
    held: int = 0  # records the database held before

    @property
    def key(self) -> Key:
        return (self.target.symbol, self.target.exchange, self.interval)

    @property
    def label(self) -> str:
        return f"{self.target.vt_symbol} {self.interval.value}"


@dataclass(frozen=True)
class Holding:
    first: datetime
    last: datetime
    count: int


Key = tuple[str, Exchange, Interval]


def holdings(database: BaseDatabase) -> dict[Key, Holding]:
    """What the database holds per symbol and interval (ticks under TICK)."""
    held = {}
    overviews = [(o, o.interval) for o in database.get_bar_overview()]
    overviews += [(o, Interval.TICK) for o in database.get_tick_overview()]
    for overview, interval in overviews:
        if overview.count and overview.start and overview.end:
            held[(overview.symbol, overview.exchange, interval)] = Holding(
                held_moment(overview.start), held_moment(overview.end), overview.count)
    return held


def missing_days(first: date, last: date, interval: Interval, held: Holding | None) -> list[tuple[date, date]]:
    """The trading days of [first, last] to fetch, given what the database holds. The
    holding stays one unbroken run: a range apart from it is joined to it."""
    if held is None:
        return [(first, last)] if first <= last else []
    held_first, held_last = trading_day(held.first, interval), trading_day(held.last, interval)
    segments = []
    if first < held_first:
        segments.append((first, held_first - timedelta(days=1)))
    if last >= held_last:
        segments.append((held_last, last))  # the last day held is fetched again
    return segments


def plan(targets: Iterable[Target], intervals: Sequence[Interval], database: BaseDatabase) -> list[Task]:
    held = holdings(database)
    tasks = []
    for target in targets:
        for interval in intervals:
            holding = held.get((target.symbol, target.exchange, interval))
            segments = missing_days(target.first, target.last, interval, holding)
            count = sum(len(windows(interval, first, last)) for first, last in segments)
            tasks.append(Task(target, interval, segments, count, holding.count if holding else 0))
    return tasks


# --- running ----------------------------------------------------------------------------


@dataclass
class Outcome:
    task: Task
    fetched: int = 0
    first: datetime | None = None
    last: datetime | None = None
    seconds: float = 0.0
    error: str | None = None
    interrupted: bool = False
    new: int | None = None  # records the database gained

    @property
    def ok(self) -> bool:
        return self.error is None and not self.interrupted


class Progress(Protocol):
    def started(self, task: Task) -> None: ...

    def advanced(self, task: Task, records: int) -> None: ...

    def finished(self, outcome: Outcome) -> None: ...


class Downloader:
    """Runs tasks on a bounded pool; saves are serialised, as vn.py's adapters expect."""

    def __init__(self, source: Source, database: BaseDatabase, progress: Progress, jobs: int = 4) -> None:
        self.source = source
        self.database = database
        self.progress = progress
        self.jobs = max(1, jobs)
        self.stop = threading.Event()
        self.save_lock = threading.Lock()

    def save(self, records: list[Record], interval: Interval) -> None:
        from . import store

        with self.save_lock:
            if interval == Interval.TICK:
                store.save_ticks(self.database, records)  # type: ignore[arg-type]
            else:
                store.save_bars(self.database, records)  # type: ignore[arg-type]

    def run_task(self, task: Task) -> Outcome:
        outcome = Outcome(task)
        began = time.monotonic()
        self.progress.started(task)
        target = task.target
        try:
            for first, last in task.segments:
                for records in self.source.history(target.symbol, target.exchange, task.interval, first, last,
                                                   self.stop):
                    if records:
                        outcome.first = min(outcome.first or records[0].datetime, records[0].datetime)
                        outcome.last = max(outcome.last or records[-1].datetime, records[-1].datetime)
                        outcome.fetched += len(records)
                        self.save(records, task.interval)  # turns the times into naive ones
                    self.progress.advanced(task, len(records))
        except Stopped:
            outcome.interrupted = True
        except FeedError as exc:
            outcome.error = str(exc)
        except Exception as exc:  # a database failure ends this task, not the run
            outcome.error = f"{type(exc).__name__}: {exc}"
        outcome.seconds = time.monotonic() - began
        self.progress.finished(outcome)
        return outcome

    def run(self, tasks: Sequence[Task]) -> list[Outcome]:
        """Every task's outcome, in the order given. Ctrl-C stops the tasks before their
        next window; what they saved stays saved."""
        pool = ThreadPoolExecutor(max_workers=self.jobs, thread_name_prefix="norvix-download")
        futures: list[Future[Outcome]] = [pool.submit(self.run_task, task) for task in tasks]
        try:
            pending = set(futures)
            while pending:
                _, pending = wait(pending, timeout=0.2, return_when=FIRST_COMPLETED)
        except KeyboardInterrupt:
            self.stop.set()
            for future in futures:
                future.cancel()
        finally:
            pool.shutdown(wait=True)
        outcomes = [future.result() if not future.cancelled() else Outcome(task, interrupted=True)
                    for future, task in zip(futures, tasks)]
        try:
            held = holdings(self.database)
        except Exception:  # the database lost meanwhile: the tasks have said so already
            return outcomes
        for outcome in outcomes:
            after = held.get(outcome.task.key)
            outcome.new = (after.count if after else 0) - outcome.task.held
        return outcomes


def resolve(source: Source, symbols: Iterable[tuple[str, Exchange]], products: Iterable[str], contracts: str,
            start: date, end: date) -> tuple[list[Target], list[str]]:
    """The contracts to download, and the failures met while enumerating products."""
    targets = {f"{s}.{e.value}": Target(s, e, start, end) for s, e in symbols}
    failures = []
    for product in products:
        try:
            for target in product_targets(source, product, contracts, start, end):
                targets.setdefault(target.vt_symbol, target)
        except FeedError as exc:
            failures.append(f"{product}: {exc}")
    return list(targets.values()), failures
