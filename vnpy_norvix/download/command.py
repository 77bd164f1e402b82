"""`download`: the command's body, run on the service and the store the command line
opened (vnpy_norvix/cli.py): the contracts resolved, the tasks planned against what the
store holds, fetched and saved, summarised, and the command remembered; its dry run."""

from __future__ import annotations

import argparse
import shutil
import sys
from collections.abc import Sequence

from .. import console, exits
from ..console import CONSOLE
from ..remembered import remember_run, remembering
from ..report import plural
from ..store import Store
from . import Downloader, Outcome, Source, Task, plan, resolve
from .preview import download_plan
from .progress import make_progress
from .summary import download_summary


def run_download(args: argparse.Namespace, source: Source, database: Store) -> int:
    passing: list[str] = []  # the failures a later run may not meet
    targets, failures = resolve(source, args.symbols, args.product, args.contracts, args.start, args.end, passing)
    tasks = plan(source, targets, list(dict.fromkeys(args.interval)), database)
    if args.dry_run:
        return dry_run_download(args, tasks, failures)
    CONSOLE.say(f"download: {plural(len(targets), 'contract')} x {plural(len(set(args.interval)), 'interval')}, "
                f"{plural(sum(task.windows for task in tasks), 'window')} to fetch into "
                f"{database.describe()}")
    progress = make_progress(tasks, CONSOLE)
    try:
        outcomes = Downloader(source, database, progress, args.jobs).run(tasks)
    finally:
        progress.close()
    if args.lab:
        failures += add_lab_contracts(args, source, [outcome.task.target.vt_symbol for outcome in outcomes
                                                     if outcome.ok])
    summarise_download(args, outcomes, failures)
    summary = download_summary(outcomes, failures, width=terminal_width(), require_data=args.require_data)
    CONSOLE.summary(summary.text)
    if summary.failed:
        CONSOLE.fail("failures:\n" + "\n".join(summary.failed))
        address_hint(args.base_url, source, summary.failed)
    if any(outcome.interrupted for outcome in outcomes):
        return exits.INTERRUPTED
    # Lasting: a refusal, an unknown contract, a failed save... A day given up on is
    # lasting too, but says nothing against the command itself.
    refused = len(failures) - len(passing) + sum(bool(o.error and not o.passing and not o.unsettled) for o in outcomes)
    lasting = len(summary.failed) - len(passing) - sum(bool(o.error and o.passing) for o in outcomes)
    if not refused:
        remembering(remember_run("download", args, database,
                                 {f"{o.task.target.symbol} {o.task.interval.value}" for o in outcomes}))
    return exits.FAILED if lasting else exits.UNAVAILABLE if summary.failed else exits.OK


def dry_run_download(args: argparse.Namespace, tasks: list[Task], failures: list[str]) -> int:
    lines, items = download_plan(tasks)
    CONSOLE.summary("\n".join(["dry run: nothing is fetched or saved", *lines]))
    for line in failures:
        CONSOLE.fail(f"FAILED: {line}")
    args.summary.update(dry_run=True, tasks=items, failures=failures)
    return exits.FAILED if failures or any(task.failure for task in tasks) else exits.OK


def summarise_download(args: argparse.Namespace, outcomes: list[Outcome], failures: list[str]) -> None:
    args.summary.update(failures=failures, tasks=[
        {"series": outcome.task.target.vt_symbol, "interval": outcome.task.interval.value, "fetched": outcome.fetched,
         "new": outcome.new, "windows": outcome.task.windows, "error": outcome.error,
         "interrupted": outcome.interrupted, "provisional": outcome.provisional, "unsettled": outcome.unsettled,
         "not_carried": outcome.not_carried} for outcome in outcomes])


def terminal_width() -> int | None:
    """The terminal's width when standard output is one: the tables fit in it."""
    return shutil.get_terminal_size().columns if sys.stdout.isatty() else None


def add_lab_contracts(args: argparse.Namespace, source: Source, vt_symbols: list[str]) -> list[str]:
    """The contracts of `vt_symbols` added to the --lab folder's contract.json; the lines of
    those that failed."""
    from ..research.lab import add_contracts

    return add_contracts(args.lab, source.reference, vt_symbols, tuple(args.rates) if args.rates else None)


def address_origin(base_url: str | None) -> str:
    """Where the service's address of this run came from, for messages that name it."""
    if base_url:
        return "given with --base-url"
    from vnpy.trader.setting import SETTINGS

    if SETTINGS.get("datafeed.base_url"):
        return f'from the setting "datafeed.base_url" in {console.settings_path()}'
    return "the datafeed's default (no --base-url, no setting \"datafeed.base_url\")"


def address_hint(base_url: str | None, source: Source, failed: Sequence[str]) -> None:
    """Which address failed to answer, and where it came from, once after the failures."""
    from ..messages import TIMED_OUT, UNREACHABLE

    if any(UNREACHABLE in line or TIMED_OUT in line for line in failed):
        CONSOLE.fail(f"the service's address {source.engine.mask(source.engine.base_url)} was "
                     f"{address_origin(base_url)}")
