"""Running the tasks: fetchers on a bounded pool hand each window to one writer thread,
which saves it whole."""

from __future__ import annotations

import queue
import threading
import time
from collections.abc import Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from datetime import date, datetime
from typing import TYPE_CHECKING, Protocol

from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, TickData

from .. import exits, messages
from ..store import days as day_record
from ..calendar import Calendar, Window, now_in_china
from ..store import as_store
from ..store.ticks import TickColumns
from .planning import StoreLike, Task, holdings
from ..engine import Failure
from .source import BarOrTick, Source, Stopped, failure_text
from .targets import Target

if TYPE_CHECKING:
    import polars as pl

    from ..store.lab import LabBars

    # A window as the writer takes it: vn.py records, a lab's bar frame, or ticks as columns.
    WindowRecords = list[BarOrTick] | LabBars | TickColumns


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
    unsettled: list[str] = field(default_factory=list)  # days this run gave up on, with what disagrees
    not_carried: int = 0  # days the service keeps no records of, though they traded
    provisional: int = 0  # days saved not yet whole: the next run fetches them again
    passing: bool = False  # failed only for a reason a later run may not meet (exits.passing)

    @property
    def ok(self) -> bool:
        return self.error is None and not self.interrupted


class Progress(Protocol):
    def started(self, task: Task) -> None: ...

    def advanced(self, task: Task, records: int) -> None: ...

    def finished(self, outcome: Outcome) -> None: ...


@dataclass(frozen=True)
class Batch:
    """What a task hands to the writer, in order: one window's records, ascending, with
    the window and when it was fetched, or (`records` None) the end of its fetching, with
    the failure or interruption that ended it."""

    outcome: Outcome
    records: WindowRecords | None
    error: str | None = None
    interrupted: bool = False
    window: Window | None = None
    fetched: datetime | None = None
    passing: bool = False  # the failure is one a later run may not meet


# Windows waiting to be saved, per job: enough for fetching never to wait on a save of
# average length, few enough that memory stays bounded whatever the range.
QUEUED_PER_JOB = 2
# Bytes of records being fetched, waiting or being saved, in all (`size_of`; a window
# being fetched counted as large as its task's last): a day of ticks holds some 30,000,
# 8 MB as columns (84 MB were they vn.py objects), a window of minute bars some 10,000,
# 5 MB as vn.py objects. A window that would go beyond is not asked for until the
# writer has saved others: one being saved, one waiting and one being fetched keep both
# sides busy, and a fetch's answer takes several times its records' room while it is read.
QUEUED_BYTES = 24 * 2**20
# What one vn.py record of a window takes, with its values (tracemalloc).
RECORD_BYTES = {TickData: 2_800, BarData: 500}
POLL_SECONDS = 0.2  # how often a waiting thread looks at the stop flag


class Downloader:
    """Runs tasks on a bounded pool of fetchers that hand their windows to a single
    writer thread through a bounded queue. Fetching the next windows overlaps saving the
    last; at most `QUEUED_PER_JOB` windows per job and `QUEUED_BYTES` of records are
    fetched or wait in the queue (a fetcher waits for room before it asks), so memory
    stays bounded for any range; and the
    database is only ever written from the writer's thread, as vn.py's adapters expect
    (peewee keeps one connection per thread). Each window is saved whole, in one
    transaction, in the order its task fetched it."""

    def __init__(self, source: Source, database: StoreLike, progress: Progress, jobs: int = 4) -> None:
        self.source = source
        self.database = as_store(database)
        self.progress = progress
        self.jobs = max(1, jobs)
        self.stop = threading.Event()
        self.queue: queue.Queue[Batch | None] = queue.Queue(maxsize=QUEUED_PER_JOB * self.jobs)
        self.room = threading.Condition()
        self.queued = 0  # bytes of records being fetched (as reserved), queued or being saved
        self.outcomes: dict[int, Outcome] = {}  # per task, as it goes; written by the writer alone
        self.began: dict[int, float] = {}  # per task, when its fetching started
        self.ended: set[int] = set()  # the tasks whose end the writer has reached

    def save(self, task: Task, records: WindowRecords, window: Window, fetched: datetime,
             outcome: Outcome) -> int | None:
        """One window saved whole, replacing what was stored of its days, each trading day
        recorded with its count and how it stood against the service's daily bar
        (store/days.py); how many rows the series gained, when the store counts them. The
        days given up on and those not carried go into `outcome`."""
        tallies = (day_record.tallies(records, task.interval, task.calendar) if isinstance(records, list)
                   else records.tallies(task.calendar))
        recorded = {day: day_record.judge(day, task.interval, tallies.get(day, day_record.Tally()),
                                          task.daily, fetched)
                    for day in task.calendar.days if window.first <= day <= window.last}
        days = {day: record.count for day, record in recorded.items()}
        added = self.database.save_window(task.key, records, days, fetched, task.calendar, recorded)
        # Counted once saved: a failed save gives up on nothing.
        outcome.unsettled += [messages.unsettled_day(day, record.detail) for day, record in recorded.items()
                              if record.state == day_record.UNSETTLED]
        outcome.not_carried += sum(record.state == day_record.NOT_CARRIED for record in recorded.values())
        outcome.provisional += sum(record.state == day_record.PROVISIONAL for record in recorded.values())
        return added

    # --- the fetchers' side ---

    def reserve(self, size: int) -> None:
        """Room for `size` bytes of records, once there is some: taken before a window is
        asked for (its answer's transient memory is a fetch's largest), so that while the
        writer is the slower, one window is fetched at a time; Stopped if the run is
        interrupted meanwhile."""
        with self.room:
            while self.queued and self.queued + size > QUEUED_BYTES:
                if self.stop.is_set():
                    raise Stopped
                self.room.wait(POLL_SECONDS)
            self.queued += size

    def hand_over(self, batch: Batch | None, reserved: int | None = None) -> None:
        """`batch` queued for the writer, in the room `reserved` for it (the room it takes
        then, however large it came out), else once there is room; Stopped if the run is
        interrupted meanwhile."""
        size = size_of(batch)
        if reserved is None:
            self.reserve(size)
        else:
            self.saved(reserved - size)
        while not self.stop.is_set():
            try:
                self.queue.put(batch, timeout=POLL_SECONDS)
                return
            except queue.Full:
                continue
        self.saved(size)  # never queued
        raise Stopped

    def saved(self, size: int) -> None:
        """`size` bytes of records are no longer waiting for the writer."""
        with self.room:
            self.queued -= size
            self.room.notify_all()

    def window(self, target: Target, interval: Interval, window: Window, calendar: Calendar) -> WindowRecords:
        """One window of the target, as the store takes it: ticks as columns, bars as a
        frame for a store of frames, else as vn.py records."""
        if interval == Interval.TICK:
            from ..history.frames import with_trading_day

            frame = with_trading_day(self.frame(target, interval, window, calendar), interval, calendar)
            return TickColumns(target.symbol, target.exchange, frame)
        if self.database.takes_frames:
            from ..store.lab import LabBars

            return LabBars(target.vt_symbol, interval, self.frame(target, interval, window, calendar))
        return self.source.records(target.symbol, target.exchange, interval, window, calendar)

    def frame(self, target: Target, interval: Interval, window: Window, calendar: Calendar) -> pl.DataFrame:
        """The records of the window's trading days as one frame, ascending, one per time."""
        from ..history.frames import answers_frame
        from ..history.select import window_frame

        fetched = self.source.answers(target.symbol, target.exchange, interval, window, columns=True)
        return window_frame(answers_frame(fetched, target.symbol, target.exchange, interval), interval, window,
                            calendar)

    def fetch(self, task: Task) -> None:
        """The task's windows fetched in order and handed to the writer, then its end."""
        outcome = self.outcomes[id(task)]
        self.began[id(task)] = time.monotonic()
        self.progress.started(task)
        target = task.target
        error, interrupted, passing = None, False, False
        expected = 0  # bytes the task's next window may take
        try:
            if task.failure is not None:
                raise task.failure
            for window in task.todo:
                if self.stop.is_set():
                    raise Stopped
                if outcome.error is not None:  # a save failed: the task ends there
                    break
                records: WindowRecords
                self.reserve(expected)  # as much as the task's last window took
                try:
                    if task.daily_bars is not None and task.asked is not None:  # asked for by planning
                        fetched, records = task.asked, planned_days(task.daily_bars, window)
                    else:
                        # Read before asking: the answer holds at least what was published by then.
                        fetched = now_in_china()
                        records = self.window(target, task.interval, window, task.calendar)
                except BaseException:
                    self.saved(expected)
                    raise
                batch = Batch(outcome, records, window=window, fetched=fetched)
                self.hand_over(batch, reserved=expected)
                expected = size_of(batch)
        except Stopped:
            interrupted = True
        except Failure as failure:
            if failure.kind == "cancelled" and self.stop.is_set():
                interrupted = True
            else:
                error, passing = failure_text(failure), exits.passing(failure)
        except Exception as exc:  # anything else ends this task, not the run
            error = f"{type(exc).__name__}: {exc}"
        try:
            self.hand_over(Batch(outcome, None, error, interrupted, passing=passing))
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
                    self.saved(size_of(batch))
        except BaseException:
            self.stop.set()  # no writer: the fetchers must not wait for one
            raise

    def take(self, batch: Batch) -> None:
        outcome = batch.outcome
        task = outcome.task
        if batch.records is None:
            outcome.passing = outcome.error is None and batch.passing  # a failed save comes first
            outcome.error = outcome.error or batch.error
            if outcome.error is None and outcome.unsettled:
                outcome.error = messages.unsettled(outcome.unsettled)
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
            added = self.save(task, records, batch.window, batch.fetched, outcome)
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


def planned_days(bars: dict[date, BarData], window: Window) -> list[BarOrTick]:
    """The daily bars planning asked for that fall in `window`, ascending."""
    return [bar for day, bar in sorted(bars.items()) if window.first <= day <= window.last]


def size_of(batch: Batch | None) -> int:
    """About how many bytes the batch's records take."""
    if batch is None or not batch.records:
        return 0
    records = batch.records
    if isinstance(records, list):
        return len(records) * RECORD_BYTES.get(type(records[0]), max(RECORD_BYTES.values()))
    return int(records.frame.estimated_size())
