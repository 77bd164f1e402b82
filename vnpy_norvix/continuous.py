"""`continuous` and `continuous --next`: the command's body, run on what the command line
opened (each series built, saved whole through the store, printed and remembered; its
dry run; a --name already taken). The builder itself lives in series/builder.py and is
kept importable here."""

from __future__ import annotations

import argparse
import signal
import time
from collections.abc import Iterator
from contextlib import contextmanager
from datetime import datetime

from norvix_datafeed import CHINA_TZ

from . import download as dl
from . import exits
from .console import CONSOLE
from .calendar import today_in_china
from .download.command import add_lab_contracts, address_hint
from .download.preview import continuous_plan
from .remembered import memory, remember_run, remembering
from .report import rolls_table, span, table
from .rolls import EmptyCycle, rule_of
from .series.builder import (FACTOR_TOLERANCE, Adjustment, BadClose, ContinuousSeries, NextRoll, Plan, Roll, Segment,
                             continuous_bars, dominant_segments, first_session, next_roll, plan_series, roll_rows,
                             rolls_frame, service_disagreements)
from .store import Store
from .builds import record_build

__all__ = ["FACTOR_TOLERANCE", "Adjustment", "BadClose", "ContinuousSeries", "NextRoll", "Plan", "Roll", "Segment",
           "continuous_bars", "dominant_segments", "first_session", "next_roll", "plan_series", "roll_rows",
           "rolls_frame", "service_disagreements"]


def name_taken(args: argparse.Namespace, database: Store) -> str | None:
    """The product of another remembered continuous series saved under `args.name`, if any."""
    for entry in memory(database).entries():
        command = entry.command
        if (not entry.problem and command["command"] == "continuous" and (command["name"] or "").lower()
                == args.name.lower() and set(command["products"]) != set(args.products)):
            return ", ".join(command["products"])
    return None


def dry_run_continuous(args: argparse.Namespace, source: dl.Source) -> int:
    """`continuous --dry-run`: the contracts and rolls each series would be built from."""
    CONSOLE.summary("dry run: nothing is fetched or saved")
    failed = 0
    for product in dict.fromkeys(args.products):
        try:
            lines, items = continuous_plan(source, product, args.start, args.end, list(dict.fromkeys(args.interval)),
                                           rule_of(args))
        except dl.Failure as failure:
            CONSOLE.fail(f"{product}: FAILED: {dl.failure_text(failure)}")
            failed += 1
            continue
        CONSOLE.summary("\n".join(lines))
        args.summary.setdefault("series", []).extend(items)
    args.summary.update(dry_run=True, failed=failed)
    return exits.FAILED if failed else exits.OK


def run_continuous(args: argparse.Namespace, source: dl.Source, database: Store) -> int:
    """`continuous`: each product's series built, saved whole through the store, printed,
    and the command remembered with what its build was made of."""
    if args.name and (taken := name_taken(args, database)):
        CONSOLE.fail(f"error: --name {args.name} is the symbol of the remembered series of {taken}")
        return exits.USAGE
    if args.dry_run:
        return dry_run_continuous(args, source)
    rule = rule_of(args)
    built_at = datetime.now(CHINA_TZ)
    failed = passing = 0  # failures, and those a later run may not meet
    lost: list[str] = []  # the failures to ask the service, for the address's line
    rows, built = [], []
    for product in dict.fromkeys(args.products):
        for interval in dict.fromkeys(args.interval):
            began = time.monotonic()
            try:
                series = continuous_bars(source, product, args.start, args.end, interval, args.adjust, args.name,
                                         method=args.method, **rule.keywords())
            except EmptyCycle as problem:
                CONSOLE.fail(f"error: {problem}")
                return exits.USAGE
            except dl.Failure as failure:
                lost.append(f"{product} {interval.value}: FAILED: {dl.failure_text(failure)}")
                CONSOLE.fail(lost[-1])
                failed += 1
                passing += exits.passing(failure)
                continue
            if interval == args.interval[0]:
                held = "dominant contracts" if series.rule.plain else f"contracts held by --roll {series.rule.rule}"
                CONSOLE.say(f"\n{product}: {len(series.segments)} {held}, {len(series.rolls)} rolls")
                if series.rolls:
                    CONSOLE.say(rolls_table(series))
                args.summary.setdefault("rolls", {})[series.vt_symbol] = [roll.record() for roll in series.rolls]
                for line in series.disagreements:
                    CONSOLE.warn(line)
            kept = f"{series.vt_symbol} {interval.value} is kept as it was"
            if not series.bars:
                CONSOLE.fail(f"{product} {interval.value}: FAILED: no {interval.value} bars between {args.start} "
                             f"and {args.end}; {kept}")
                failed += 1
                continue
            try:
                with deferred_interrupt():
                    rolls = [roll.record() for roll in series.rolls]
                    # A lab file is replaced whole too: one build's scale per file.
                    database.replace_series((series.name, series.exchange, interval), series.bars, rolls)
            except Exception as exc:  # the database refused the series: nothing of it was stored
                CONSOLE.fail(f"{product} {interval.value}: FAILED: saving: {type(exc).__name__}: {exc}; {kept}")
                failed += 1
                continue
            if args.lab:
                for line in add_lab_contracts(args, source, [series.vt_symbol]):
                    CONSOLE.fail(f"{series.vt_symbol}: FAILED: {line}")
                    failed += 1
            built.append(series)
            rows.append([series.vt_symbol, interval.value, args.adjust, len(series.bars),
                         span(series.bars[0].datetime, series.bars[-1].datetime), f"{time.monotonic() - began:.1f}"])
    if rows:
        CONSOLE.summary("\n" + table(["symbol", "interval", "adjust", "bars", "range", "seconds"], rows, right=(3, 5)))
    CONSOLE.summary(f"\n{len(rows)} series saved, {failed} failed")
    address_hint(args.base_url, source, lost)
    args.summary.update(saved=[{"series": row[0], "interval": row[1], "bars": row[3]} for row in rows], failed=failed)
    if failed > passing:  # a refusal, a range without bars, a failed save: not remembered
        return exits.FAILED
    entry = remembering(remember_run("continuous", args, database))
    if not failed and entry is not None:
        unsettled = record_build(source, database, entry, args.end, built_at, built)
        for line in unsettled:
            CONSOLE.fail(line)
        if unsettled:
            args.summary.update(unsettled=unsettled)
            return exits.FAILED
    return exits.UNAVAILABLE if failed else exits.OK


def next_rolls(args: argparse.Namespace, source: dl.Source) -> int:
    """`continuous --next`: the rule's decision after the close of --end, for each product."""
    rule = rule_of(args)
    as_of = args.end or today_in_china()
    rows, failed = [], 0
    for product in dict.fromkeys(args.products):
        try:
            found = next_roll(source, product, as_of, start=args.start, **rule.keywords())
        except EmptyCycle as problem:
            CONSOLE.fail(f"error: {problem}")
            return exits.USAGE
        except dl.Failure as failure:
            CONSOLE.fail(f"{product}: FAILED: {dl.failure_text(failure)}")
            failed += 1
            continue
        rows.append([product, found.current, found.next, "yes" if found.changes else "no", found.decision_day,
                     found.effective_day])
        args.summary.setdefault("next", []).append(
            {"product": product, "current": found.current, "next": found.next, "changes": found.changes,
             "decision_day": found.decision_day.isoformat(), "effective_day": found.effective_day.isoformat()})
    if rows:
        CONSOLE.summary(table(["product", "current", "next", "rolls", "decided", "effective"], rows))
    args.summary.update(failed=failed)
    return exits.FAILED if failed else exits.OK


@contextmanager
def deferred_interrupt() -> Iterator[None]:
    """Ctrl-C waits for the end of the block (on the main thread): a series is replaced
    whole, not deleted and then left unsaved."""
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt
