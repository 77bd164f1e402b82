"""Market history from the data service into vn.py's database, resumably and in parallel.

A download is a list of tasks, one per contract and interval, each over a range of
trading days. A task fetches only the trading days of its range that the database does
not hold whole: the contract's trading days are the days the service has a daily bar
of it, and a day is held whole when it was fetched after it was published in full
(store/days.py), so a hole anywhere (left by an interrupted or failed run) and a day
saved while it was still trading are fetched again. What is held is read from the
completeness record (vnpy_sqlite, vnpy_postgresql, a lab folder's ledger), never from
vn.py records. Each window of trading days is fetched and saved whole, in one
transaction that replaces what was stored of its days, so a trading day is either all
stored from one fetch or as it was.

Every request goes through the plug-in's engine, which answers with records or a
`Failure` naming the reason.
"""

from __future__ import annotations

import queue
import threading
import time
from collections.abc import Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from datetime import date, datetime, time as clock
from operator import attrgetter
from typing import TYPE_CHECKING, Literal, Protocol, cast, overload, runtime_checkable

import vnpy.trader.database as vn_database
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BarOverview, BaseDatabase, TickOverview
from vnpy.trader.object import BarData, TickData

from norvix_datafeed import CHINA_TZ

from .calendar import (Calendar, Window, database_time, midnight, now_in_china, session_span, today_in_china,
                       trading_windows, unpublished)
from . import messages, store
from .engine import Engine, Failure
from .history import Fetched, Request, limit_of
from .history.aggregate import hour_bars
from .history.select import window_records
from .names import INTERVAL_NAMES  # noqa: F401  (the command line's, named here too)
from .reference import Reference

if TYPE_CHECKING:
    from norvix_datafeed import NorvixDatafeed

    from .research.lab import LabBars

Record = BarData | TickData
BarInterval = Literal[Interval.MINUTE, Interval.HOUR, Interval.DAILY, Interval.WEEKLY]


# A query the data service did not answer, or answered with something unusable.
FeedError = Failure


class Stopped(Exception):
    """The run was interrupted before the task finished."""


# --- queries with failures as exceptions ---------------------------------------------------


class Source:
    """The service's records and reference data for the command line, through the engine of
    the datafeed's settings; every failure is raised as the engine's `Failure`."""

    def __init__(self, datafeed: NorvixDatafeed) -> None:
        self.datafeed = datafeed
        self.engine = Engine.of(datafeed)
        self.reference = Reference(datafeed)

    def answers(self, symbol: str, exchange: Exchange, interval: Interval, window: Window, *,
                columns: bool = False) -> Fetched:
        """The service's answers for the dates of `window`, as records or (`columns`) as typed
        columns. A record that cannot be read fails the window: a day is saved whole or not
        at all."""
        with self.engine.scope() as scope:
            request = Request(self.engine, scope, symbol, exchange)
            fetched = request.fetch(interval, [window], limit_of(interval), columns=columns)
        if fetched.skipped:
            vt_symbol, count = f"{symbol}.{exchange.value}", len(fetched.skipped)
            raise Failure(messages.skipped(vt_symbol, interval, count, fetched.skipped[0]), "unreadable",
                          plain=messages.plain_skipped(vt_symbol, interval, count, fetched.skipped[0]))
        return fetched

    def records(self, symbol: str, exchange: Exchange, interval: Interval, window: Window,
                calendar: Calendar) -> list[Record]:
        """The records of the trading days of `window`, ascending, one per time."""
        found = cast(list[Record], self.answers(symbol, exchange, interval, window).records)
        if interval == Interval.HOUR:
            found = cast(list[Record], hour_bars(sorted(cast(list[BarData], found), key=attrgetter("datetime"))))
        return window_records(found, interval, window, calendar)

    @overload
    def history(self, symbol: str, exchange: Exchange, interval: Literal[Interval.TICK], first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[list[TickData]]: ...

    @overload
    def history(self, symbol: str, exchange: Exchange, interval: BarInterval, first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[list[BarData]]: ...

    @overload
    def history(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[list[Record]]: ...

    def history(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                stop: threading.Event | None = None) -> Iterable[Sequence[Record]]:
        """The records of the trading days [first, last], one ascending list per window."""
        if interval == Interval.DAILY:
            calendar, days = Calendar(), [first, last]
        else:
            calendar = Calendar(self.trading_days(symbol, exchange, first, last))
            days = calendar.days
        for window in trading_windows(days, interval, calendar):
            if stop is not None and stop.is_set():
                raise Stopped
            yield self.records(symbol, exchange, interval, window, calendar)

    def trading_days(self, symbol: str, exchange: Exchange, first: date, last: date) -> list[date]:
        """The days of [first, last] the contract traded on (it has a daily bar of), and
        those whose daily bar may not be published yet."""
        bars = [bar for window in trading_windows([first, last], Interval.DAILY)
                for bar in self.records(symbol, exchange, Interval.DAILY, window, Calendar())]
        days = {bar.datetime.date() for bar in bars}
        return sorted(days.union(unpublished(today_in_china(), first, last)))


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


def product_targets(source: Source, product: str, contracts: str, start: date, end: date) -> list[Target]:
    """The dominant contracts of `product` over [start, end], or every contract tradable
    on some day of it, each over the days it was listed."""
    source.reference.check_product(product)
    days = source.reference.dominant(product, start, end)
    if not days:
        raise FeedError(f"no trading days of {product} between {start} and {end}", "range")
    if contracts == "dominant":
        seen: dict[str, Target] = {}
        for day in days:
            seen.setdefault(day.instrument_id, Target(day.instrument_id, day.exchange, start, end))
        return list(seen.values())
    # A contract trades for about a year, so one that lists during the range is still
    # tradable on the first trading day of the next month, or on the last day.
    samples = [days[0].trading_date]
    samples += [day.trading_date for before, day in zip(days, days[1:])
                if (day.trading_date.year, day.trading_date.month) != (before.trading_date.year,
                                                                        before.trading_date.month)]
    samples.append(days[-1].trading_date)
    found: dict[str, Target] = {}
    for sample in dict.fromkeys(samples):
        for listing in source.reference.listings(product, sample):
            first = max(start, listing.list_date or start)
            last = min(end, listing.expire_date or end)
            found.setdefault(listing.instrument_id, Target(listing.instrument_id, listing.exchange, first, last))
    return sorted(found.values(), key=lambda target: (target.last, target.symbol))


# --- planning against what the database holds --------------------------------------------


@dataclass
class Task:
    target: Target
    interval: Interval
    calendar: Calendar = field(default_factory=Calendar)  # the contract's trading days in range
    todo: list[Window] = field(default_factory=list)  # whole trading days still to fetch, ascending
    held: int = 0  # records the database held before, in all
    held_days: int = 0  # trading days of the range it held whole
    failure: Failure | None = None  # why the task could not be planned

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


def holdings(database: BaseDatabase) -> dict[HeldKey, Holding]:
    """What the database holds per symbol and interval (ticks under TICK)."""
    held: dict[HeldKey, Holding] = {}
    overviews: list[tuple[BarOverview | TickOverview, Interval | None]]
    overviews = [(o, o.interval) for o in database.get_bar_overview()]
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
        if interval in (Interval.DAILY, Interval.WEEKLY):
            start, end = midnight(window.first), datetime.combine(window.last, clock.max, CHINA_TZ)
        else:
            start, end = session_span(window.first, calendar)[0], session_span(window.last, calendar)[1]
        first, last = vn_database.convert_tz(start), vn_database.convert_tz(end)
        records: Sequence[Record]
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


def plan_task(source: Source, target: Target, interval: Interval, days: list[date], database: BaseDatabase,
              holding: Holding | None) -> Task:
    calendar = Calendar(days)
    task = Task(target, interval, calendar, held=holding.count if holding else 0)
    range_start, range_end = midnight(target.first), datetime.combine(target.last, clock.max, CHINA_TZ)
    held: set[date] = set()
    if holding is not None and days and holding.first <= range_end and holding.last >= range_start:
        held = whole_days(database, target, interval, calendar, holding)
    task.held_days = len(held.intersection(days))
    wanted = set(days).difference(held)
    task.todo = [window for run in runs(days, wanted) for window in trading_windows(run, interval, calendar)]
    return task


def whole_days(database: BaseDatabase, target: Target, interval: Interval, calendar: Calendar,
               holding: Holding) -> set[date]:
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
    latest = calendar.trading_day(holding.last, interval)
    return {day for day in loaded_days(database, target, interval, calendar) if day < latest}


def plan(source: Source, targets: Iterable[Target], intervals: Sequence[Interval],
         database: BaseDatabase) -> list[Task]:
    """Each target's tasks: the contract's trading days in its range (from the service's
    daily bars), less those the database holds records of."""
    held = holdings(database)
    tasks = []
    for target in targets:
        try:
            days = source.trading_days(target.symbol, target.exchange, target.first, target.last)
        except FeedError as failure:
            tasks += [Task(target, interval, failure=failure) for interval in intervals]
            continue
        for interval in intervals:
            tasks.append(plan_task(source, target, interval, days, database, held.get((target.symbol,
                                                                                        target.exchange, interval))))
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
    added: int | None = 0  # rows this run's saves added, as the database counted them (None: not counted)

    @property
    def ok(self) -> bool:
        return self.error is None and not self.interrupted


class Progress(Protocol):
    def started(self, task: Task) -> None: ...

    def advanced(self, task: Task, records: int) -> None: ...

    def finished(self, outcome: Outcome) -> None: ...


@runtime_checkable
class FrameStore(Protocol):
    """A store that takes each window's bars as one frame, read from the service's answers
    as typed columns without a vn.py object per record (an AlphaLab folder: LabStore in
    vnpy_norvix/research/lab.py)."""

    def window_bars(self, fetched: Fetched, symbol: str, exchange: Exchange, interval: Interval, window: Window,
                    calendar: Calendar) -> LabBars: ...

    def save_frame(self, bars: LabBars, days: dict[date, int], fetched: datetime, calendar: Calendar) -> None: ...

    def held_days(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                  calendar: Calendar) -> set[date]: ...


@dataclass(frozen=True)
class Batch:
    """What a task hands to the writer, in order: one window's records, ascending, with
    the window and when it was fetched, or (`records` None) the end of its fetching, with
    the failure or interruption that ended it."""

    outcome: Outcome
    records: list[Record] | LabBars | None
    error: str | None = None
    interrupted: bool = False
    window: Window | None = None
    fetched: datetime | None = None


# Windows waiting to be saved, per job: enough for fetching never to wait on a save of
# average length, few enough that memory stays bounded whatever the range.
QUEUED_PER_JOB = 2
# Records waiting or being saved, in all: windows of ticks hold some 30,000 each, about
# 100 MB as vn.py objects. A window that would go beyond waits until the writer has
# saved the others.
QUEUED_RECORDS = 100_000
POLL_SECONDS = 0.2  # how often a waiting thread looks at the stop flag


class Downloader:
    """Runs tasks on a bounded pool of fetchers that hand their windows to a single
    writer thread through a bounded queue. Fetching the next windows overlaps saving the
    last; at most `QUEUED_PER_JOB` windows per job and `QUEUED_RECORDS` records wait in
    the queue (a fetcher with one more in hand waits while it is full), so memory stays
    bounded for any range; and the
    database is only ever written from the writer's thread, as vn.py's adapters expect
    (peewee keeps one connection per thread). Each window is saved whole, in one
    transaction, in the order its task fetched it."""

    def __init__(self, source: Source, database: BaseDatabase, progress: Progress, jobs: int = 4) -> None:
        self.source = source
        self.database = database
        self.progress = progress
        self.jobs = max(1, jobs)
        self.stop = threading.Event()
        self.queue: queue.Queue[Batch | None] = queue.Queue(maxsize=QUEUED_PER_JOB * self.jobs)
        self.room = threading.Condition()
        self.queued = 0  # records queued or being saved
        self.outcomes: dict[int, Outcome] = {}  # per task, as it goes; written by the writer alone
        self.began: dict[int, float] = {}  # per task, when its fetching started
        self.ended: set[int] = set()  # the tasks whose end the writer has reached

    def save(self, task: Task, records: list[Record] | LabBars, window: Window, fetched: datetime) -> int | None:
        """One window saved whole, replacing what was stored of its days, each trading day
        recorded with its count and whether it was fetched after it was published in full;
        how many rows the series gained, when the store counts them."""
        days = {day: 0 for day in task.calendar.days if window.first <= day <= window.last}
        days.update(day_counts(records, task.interval, task.calendar))
        if not isinstance(records, list):
            cast(FrameStore, self.database).save_frame(records, days, fetched, task.calendar)
            return None
        return store.save_window(self.database, task.target.symbol, task.target.exchange, task.interval, records,
                                 days, fetched, task.calendar)

    # --- the fetchers' side ---

    def hand_over(self, batch: Batch | None) -> None:
        """`batch` queued for the writer, once there is room; Stopped if the run is
        interrupted meanwhile."""
        size = records_of(batch)
        with self.room:
            while self.queued and self.queued + size > QUEUED_RECORDS:
                if self.stop.is_set():
                    raise Stopped
                self.room.wait(POLL_SECONDS)
            self.queued += size
        while not self.stop.is_set():
            try:
                self.queue.put(batch, timeout=POLL_SECONDS)
                return
            except queue.Full:
                continue
        self.saved(size)  # never queued
        raise Stopped

    def saved(self, size: int) -> None:
        """`size` records are no longer waiting for the writer."""
        with self.room:
            self.queued -= size
            self.room.notify_all()

    def window(self, target: Target, interval: Interval, window: Window, calendar: Calendar) -> list[Record] | LabBars:
        """One window of the target, as the store takes it."""
        if isinstance(self.database, FrameStore):
            fetched = self.source.answers(target.symbol, target.exchange, interval, window, columns=True)
            return self.database.window_bars(fetched, target.symbol, target.exchange, interval, window, calendar)
        return self.source.records(target.symbol, target.exchange, interval, window, calendar)

    def fetch(self, task: Task) -> None:
        """The task's windows fetched in order and handed to the writer, then its end."""
        outcome = self.outcomes[id(task)]
        self.began[id(task)] = time.monotonic()
        self.progress.started(task)
        target = task.target
        error, interrupted = None, False
        try:
            if task.failure is not None:
                raise task.failure
            for window in task.todo:
                if self.stop.is_set():
                    raise Stopped
                if outcome.error is not None:  # a save failed: the task ends there
                    break
                # Read before asking: the answer holds at least what was published by then.
                fetched = now_in_china()
                records = self.window(target, task.interval, window, task.calendar)
                self.hand_over(Batch(outcome, records, window=window, fetched=fetched))
        except Stopped:
            interrupted = True
        except FeedError as failure:
            if failure.kind == "cancelled" and self.stop.is_set():
                interrupted = True
            else:
                error = failure_text(failure)
        except Exception as exc:  # anything else ends this task, not the run
            error = f"{type(exc).__name__}: {exc}"
        try:
            self.hand_over(Batch(outcome, None, error, interrupted))
        except Stopped:
            pass  # the run ends without the writer: the task counts as interrupted

    # --- the writer's side ---

    def write(self) -> None:
        """The writer thread: each batch taken in the order handed over, until the end of
        the run. Once the run is interrupted no save starts (the one in progress finishes)."""
        try:
            while not self.stop.is_set():
                try:
                    batch = self.queue.get(timeout=POLL_SECONDS)
                except queue.Empty:
                    continue
                if batch is None or self.stop.is_set():
                    return
                try:
                    self.take(batch)
                finally:
                    self.saved(records_of(batch))
        except BaseException:
            self.stop.set()  # no writer: the fetchers must not wait for one
            raise

    def take(self, batch: Batch) -> None:
        outcome = batch.outcome
        task = outcome.task
        if batch.records is None:
            outcome.error = outcome.error or batch.error  # a failed save comes first
            outcome.interrupted = batch.interrupted
            outcome.seconds = time.monotonic() - self.began[id(task)]
            self.ended.add(id(task))
            self.progress.finished(outcome)
            return
        if outcome.error is not None:
            return  # a save of this task failed: its later windows are not saved
        records = batch.records
        try:
            assert batch.window is not None and batch.fetched is not None  # a window's batch
            added = self.save(task, records, batch.window, batch.fetched)
            outcome.added = None if added is None or outcome.added is None else outcome.added + added
            if records:
                first, last = ((records[0].datetime, records[-1].datetime) if isinstance(records, list)
                               else (records.first, records.last))
                outcome.first = min(outcome.first or first, first)
                outcome.last = max(outcome.last or last, last)
                outcome.fetched += len(records)
            self.progress.advanced(task, len(records))  # after the save: progress never runs ahead of it
        except Exception as exc:  # a database failure ends this task, not the run
            outcome.error = f"{type(exc).__name__}: {exc}"

    def run(self, tasks: Sequence[Task]) -> list[Outcome]:
        """Every task's outcome, in the order given. Ctrl-C stops the tasks at once: a save
        in progress finishes, none starts after, and the requests in flight are left to
        end on their own (their threads must not keep the process alive)."""
        for task in tasks:
            self.outcomes.setdefault(id(task), Outcome(task))
        writer = threading.Thread(target=self.write, name="norvix-writer", daemon=True)
        writer.start()
        pool = ThreadPoolExecutor(max_workers=self.jobs, thread_name_prefix="norvix-download")
        futures: list[Future[None]] = [pool.submit(self.fetch, task) for task in tasks]
        interrupted = False
        try:
            pending = set(futures)
            while pending:
                _, pending = wait(pending, timeout=POLL_SECONDS, return_when=FIRST_COMPLETED)
            try:
                self.hand_over(None)  # after every task's last batch: the writer ends
            except Stopped:
                pass  # the writer is gone already
            while writer.is_alive():
                writer.join(POLL_SECONDS)
        except KeyboardInterrupt:
            interrupted = True
            self.stop.set()
            self.source.engine.abort()  # the requests in flight end at once
            writer.join()  # the save in progress finishes; none starts after
        finally:
            pool.shutdown(wait=not interrupted, cancel_futures=True)
        outcomes = [self.outcomes[id(task)] for task in tasks]
        for outcome in outcomes:
            if id(outcome.task) not in self.ended:  # stopped where it was
                outcome.interrupted = True
        try:
            held = holdings(self.database)
        except Exception:  # the database lost meanwhile: the tasks have said so already
            return outcomes
        for outcome in outcomes:
            after = held.get(outcome.task.key)
            # What this run added, where its saves counted it: another run writing into
            # the same database meanwhile does not count as this one's.
            outcome.new = (outcome.added if outcome.added is not None
                           else (after.count if after else 0) - outcome.task.held)
        return outcomes


def day_counts(records: list[Record] | LabBars, interval: Interval, calendar: Calendar) -> dict[date, int]:
    """The records of each trading day among `records` (one window's, as selected)."""
    times = (map(attrgetter("datetime"), records) if isinstance(records, list)
             else records.frame["datetime"].to_list())
    counts: dict[date, int] = {}
    for moment in times:
        day = calendar.trading_day(moment, interval)
        counts[day] = counts.get(day, 0) + 1
    return counts


def records_of(batch: Batch | None) -> int:
    return len(batch.records) if batch is not None and batch.records else 0


def resolve(source: Source, symbols: Iterable[tuple[str, Exchange]], products: Iterable[str], contracts: str,
            start: date, end: date) -> tuple[list[Target], list[str]]:
    """The contracts to download, and the failures met while checking contracts and
    enumerating products."""
    targets: dict[str, Target] = {}
    failures = []
    for symbol, exchange in symbols:
        try:
            source.reference.check_contract(symbol, exchange)
        except FeedError as failure:
            failures.append(f"{symbol}.{exchange.value}: {failure_text(failure)}")
            continue
        targets.setdefault(f"{symbol}.{exchange.value}", Target(symbol, exchange, start, end))
    for product in products:
        try:
            for target in product_targets(source, product, contracts, start, end):
                targets.setdefault(target.vt_symbol, target)
        except FeedError as failure:
            failures.append(f"{product}: {failure_text(failure)}")
    return list(targets.values()), failures


KIND_LABELS = {"unknown_contract": "unknown contract", "exchange": "wrong exchange", "unreadable": "unusable answer",
               "cancelled": "interrupted"}
# The command line's own wording of failures whose reason holds nothing of the service's,
# in its language; the reasons `output` gives vn.py's dialogs stay as they are.
UNREACHABLE = "cannot reach the data service"
TIMED_OUT = "the data service did not answer in time"
PLAIN_REASONS = {"unreachable": UNREACHABLE, "timeout": TIMED_OUT, "cancelled": "interrupted"}


def failure_text(failure: Failure) -> str:
    """A failure as the command line shows it: what kind, then the reason."""
    # An address the HTTP library refuses is "unreachable" too: its own words say more.
    if failure.kind in PLAIN_REASONS and not failure.reason.startswith(messages.request_error("")):
        return PLAIN_REASONS[failure.kind]
    if failure.reason == messages.NO_CREDENTIALS:
        return 'no credentials: set "datafeed.username" and "datafeed.password" in vn.py\'s settings'
    label = KIND_LABELS.get(failure.kind)
    reason = failure.plain or failure.reason
    return f"{label}: {reason}" if label else reason
