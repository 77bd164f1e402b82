"""`update`: every command a store remembers, run again up to a new end over its whole
range. A download plans against what the store holds, so only the days it misses are
fetched; its products resolve again, so a contract that became dominant (or was listed)
since is added over the whole range. A continuous series is built again whole, so that
it equals a fresh `continuous`, unless nothing it is made of has changed since its last
build: the same dominant contracts and factors over the range, and the last trading day
of that build whole by the service's own data (`judge_build`), or given up on after
"datafeed.settle_days" (the series then held is the one a build now would make)."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from datetime import date, datetime
from typing import TYPE_CHECKING, Any

from . import exits, messages, remembered
from .console import CONSOLE
from .calendar import WEEKDAYS, published
from .download import Failure, Source, failure_text
from .store import Store
from .store.days import PROVISIONAL, STATE_NAMES, UNSETTLED, Daily, DayRecord, Tally, judge, tallies

if TYPE_CHECKING:
    from .series.builder import ContinuousSeries

Runner = Callable[[argparse.Namespace], int]


def continuous_fingerprint(source: Source, command: remembered.Command, end: date) -> dict[str, Any]:
    """What a continuous series over [start, end] is made of, as the service says now: its
    dominant contract per trading day and the service's factors."""
    start = date.fromisoformat(command["start"])
    found: dict[str, Any] = {}
    for product in command["products"]:
        days = source.reference.dominant(product, start, end)
        factors = source.reference.factors(product, start, end)
        found[product] = {"dominant": [[d.trading_date.isoformat(), d.instrument_id] for d in days],
                          "factors": [[f.trading_date.isoformat(), f.from_instrument_id, f.to_instrument_id,
                                       f.ex_factor] for f in factors]}
    return found


def series_counts(database: Store, command: remembered.Command) -> dict[str, int]:
    """The bars stored under the command's continuous series, per symbol and interval."""
    names = remembered.continuous_names(command)
    return {f"{symbol} {interval.value}": holding.count for (symbol, _, interval), holding in database.holdings().items()
            if symbol in names}


def judge_build(source: Source, series: ContinuousSeries, at: datetime) -> DayRecord:
    """How the last trading day of `series`, built at `at`, stands against the service's
    own data, by the rule of a contract's days (store/days.py `judge`): the source
    contract's published daily bar of the day, its high and low adjusted as the series'
    last segment, against the day's bars (volumes summed, highest high, lowest low). The
    clock (its close plus "datafeed.publish_delay") is the first gate only."""
    segment = series.segments[-1]
    try:
        bars = source.daily_bars(segment.contract, segment.exchange, segment.last, segment.last)
    except Failure as failure:
        return DayRecord(0, PROVISIONAL, failure_text(failure))
    last, adjust = len(series.segments) - 1, series.adjustment
    price = (lambda value: value) if adjust is None else (lambda value: adjust.price(value, last))
    daily = {day: Daily(bar.volume, price(bar.high_price), price(bar.low_price)) for day, bar in bars.items()}
    tally = tallies(series.bars, series.interval, WEEKDAYS).get(segment.last, Tally())
    return judge(segment.last, series.interval, tally, daily, at)


def run_update(args: argparse.Namespace, parser: argparse.ArgumentParser, runners: dict[str, Runner],
               database: Store, source: Source | None) -> int:
    """Every remembered command of the store run again (see the module's text); the
    summary of each in `args.summary`."""
    memory = remembered.memory(database)
    entries = memory.entries()
    args.summary["commands"] = results = []
    if not entries:
        CONSOLE.fail(messages.NOTHING_REMEMBERED)
        return exits.NOTHING_REMEMBERED
    behind = stored_beyond(database, entries, args.end)
    if behind:
        for line in behind:
            CONSOLE.fail(line)
        return exits.USAGE
    statuses = []
    for entry in entries:
        if entry.problem:  # read as data and found wanting: named, not run
            CONSOLE.fail(messages.unreadable_command(entry.problem, entry.number))
            results.append({"number": entry.number, "command": None, "status": "failed", "error": entry.problem})
            statuses.append(exits.FAILED)
            continue
        end = end_of(entry, args.end)
        # An end the command was given is kept: the command stays whole, not extended.
        argv = entry.argv() if entry.command["end"] else [*entry.argv(), "--end", end.isoformat()]
        if args.lab:
            argv += ["--lab", args.lab]
        if args.base_url:
            argv += ["--base-url", args.base_url]
        if args.dry_run:
            argv.append("--dry-run")
        CONSOLE.summary(f"\n[{entry.number}] {' '.join(argv)}")  # -q too: a log names the command that failed
        result: dict[str, Any] = {"number": entry.number, "command": remembered.command_text(entry.command)}
        results.append(result)
        if date.fromisoformat(entry.command["start"]) > end:
            CONSOLE.say(messages.starts_after_end(entry.command["start"], end))
            result["status"] = "skipped"
            continue
        try:
            sub = parser.parse_args(argv)
            sub.end_given = sub.end if entry.command["end"] else None  # as the command line reads --end
        except SystemExit:  # a remembered command this version no longer takes (argparse said why)
            result["status"] = "failed"
            statuses.append(exits.FAILED)
            continue
        if remembered.command_of(sub.command, vars(sub)) != entry.command:  # read otherwise than remembered
            CONSOLE.fail(messages.unreadable_command(f"command [{entry.number}] reads as another", entry.number))
            result["status"] = "failed"
            statuses.append(exits.FAILED)
            continue
        sub.remembered, sub.summary, sub.json = entry, {}, False
        if (sub.command == "continuous" and source is not None and not args.dry_run
                and unchanged(source, database, entry, end)):
            CONSOLE.say(messages.UNCHANGED_SERIES)
            result["status"] = "unchanged"
            continue
        code = runners[sub.command](sub)
        result.update(status={exits.OK: "ok", exits.INTERRUPTED: "interrupted",
                              exits.UNAVAILABLE: "unavailable"}.get(code, "failed"), summary=sub.summary)
        if code == exits.INTERRUPTED:
            return code
        statuses.append(code)
    return exits.combined(statuses)


def end_of(entry: remembered.Entry, end: date) -> date:
    """The end a remembered command runs to: its own, when it was given one, else `end`."""
    own = entry.command["end"]
    return min(date.fromisoformat(own), end) if own else end


def stored_beyond(database: Store, entries: list[remembered.Entry], end: date) -> list[str]:
    """The series remembered commands wrote whose last stored trading day comes after the
    end they would run to now: an update would cut a continuous series back, so it is
    refused whole (one line per series)."""
    held = database.holdings()
    found = []
    for entry in entries:
        wanted = end_of(entry, end)
        for (symbol, _, interval), holding in sorted(held.items(), key=str):
            if f"{symbol} {interval.value}" not in entry.series:
                continue
            last = WEEKDAYS.trading_day(holding.last, interval)
            if last > wanted:
                found.append(messages.ends_before_stored(f"{symbol} {interval.value}", last, wanted))
    return found


def unchanged(source: Source, database: Store, entry: remembered.Entry, end: date) -> bool:
    """The continuous series of `entry` as stored is the one a build up to `end` would make."""
    state = entry.state
    try:
        fingerprint = continuous_fingerprint(source, entry.command, end)
    except Failure:
        return False  # the build itself will say what failed
    return bool(state.get("fingerprint") == fingerprint and state.get("whole") and state.get("counts")
                and state.get("counts") == series_counts(database, entry.command))


def record_build(source: Source, database: Store, entry: remembered.Entry, end: date,
                 at: datetime, built: list[ContinuousSeries]) -> list[str]:
    """What the continuous series of `entry` (`built` at `at` up to `end`) were made of,
    kept with the command for the next `update`, which builds them again unless their
    last days were whole (`judge_build`). Returns the series whose last day this build
    gave up on (unsettled: reported once, then kept as built)."""
    try:
        fingerprint = continuous_fingerprint(source, entry.command, end)
    except Failure:
        return []  # nothing kept: the next update builds the series again
    judged = {f"{series.vt_symbol} {series.interval.value}": judge_build(source, series, at) for series in built}
    remembered.memory(database).set_state(entry.number, {
        "fingerprint": fingerprint, "whole": all(record.settled for record in judged.values()),
        "days": {name: [STATE_NAMES[record.state], record.detail] for name, record in judged.items()},
        "counts": series_counts(database, entry.command)})
    return [f"{name}: {messages.unsettled([messages.unsettled_day(series.segments[-1].last, record.detail)])}"
            for (name, record), series in zip(judged.items(), built) if record.state == UNSETTLED]


def list_commands(memory: remembered.Memory) -> list[dict[str, Any]]:
    entries = memory.entries()
    if not entries:
        CONSOLE.summary(messages.NOTHING_REMEMBERED)
    for entry in entries:
        CONSOLE.summary(f"[{entry.number}] " + (f"unreadable: {entry.problem}" if entry.problem
                                                else remembered.command_text(entry.command)))
    return [{"number": entry.number, "command": None if entry.problem else remembered.command_text(entry.command),
             **({"error": entry.problem} if entry.problem else {})} for entry in entries]



def commands(args: argparse.Namespace, kept: remembered.Memory) -> int:
    """`commands`: the remembered commands listed, after forgetting `--forget N` if given."""
    if args.forget is not None:
        if not kept.forget(args.forget):
            CONSOLE.fail(messages.not_remembered(args.forget))
            return exits.FAILED
        CONSOLE.summary(messages.forgotten(args.forget))
    args.summary["commands"] = list_commands(kept)
    return exits.OK
