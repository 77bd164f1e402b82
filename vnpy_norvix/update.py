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
from datetime import date
from typing import Any

from . import exits, messages, remembered
from .builds import unchanged
from .calendar import WEEKDAYS
from .console import CONSOLE
from .continuous import run_continuous
from .download import Source
from .download.command import run_download
from .options import replayed
from .store import Store

RUNNERS = {"download": run_download, "continuous": run_continuous}


def run_update(args: argparse.Namespace, database: Store, source: Source) -> int:
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
        name, values = remembered.command_values(entry.command)
        # The command as it reads: its own end when it was given one (it stays whole), and
        # the run's options. It is run with those values, the parser's defaults for the rest.
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
        sub = replayed(name, values, end, args)
        sub.remembered = entry
        if name == "continuous" and not args.dry_run and unchanged(source, database, entry, end):
            CONSOLE.say(messages.UNCHANGED_SERIES)
            result["status"] = "unchanged"
            continue
        code = RUNNERS[name](sub, source, database)
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
