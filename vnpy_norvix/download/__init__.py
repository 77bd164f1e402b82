"""Market history from the data service into vn.py's database, resumably and in parallel.

A download is a list of tasks, one per contract and interval, each over a range of
trading days. A task fetches only the trading days of its range that the database does
not hold whole: the contract's trading days are the days the service has a daily bar
of it, and a day is held whole when what was saved agrees with the service's daily bar
of it, fetched after the day was published (store/days.py), so a hole anywhere (left by an interrupted or failed run) and a day
saved while it was still trading are fetched again. What is held is read from the
completeness record (vnpy_sqlite, vnpy_postgresql, vnpy_mysql, a lab folder's ledger),
never from vn.py records. Each window of trading days is fetched and saved whole, in one
transaction that replaces what was stored of its days, so a trading day is either all
stored from one fetch or as it was.

Every request goes through the plug-in's engine, which answers with records or a
`Failure` naming the reason.
"""

from .pipeline import QUEUED_PER_JOB, QUEUED_BYTES, Batch, Downloader, Outcome, Progress
from .planning import StoreLike, Task, holdings, loaded_days, plan, plan_task, runs, whole_days
from ..engine import Failure
from .source import BarOrTick, Source, Stopped, failure_text
from .targets import Target, product_targets, resolve

__all__ = ["QUEUED_PER_JOB", "QUEUED_BYTES", "Batch", "Downloader", "Failure", "Outcome", "Progress", "BarOrTick",
           "Source", "Stopped", "StoreLike", "Target", "Task", "failure_text", "holdings", "loaded_days", "plan",
           "plan_task", "runs", "product_targets", "resolve", "whole_days"]
