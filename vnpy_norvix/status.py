"""`status`: per stored series, what the completeness record says of it (store/days.py):
its first and last whole trading day, the days still provisional or given up on
(unsettled, with what disagreed), the days not carried by the service, its holes (days
whose rows no longer number what was saved: deleted or added behind the record), and
the remembered command that owns it; printed by `show` (`stored_rolls` for --rolls) on the
store the command line opened."""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field
from datetime import date
from typing import TYPE_CHECKING, Any

from . import console, exits
from .console import CONSOLE
from .remembered import Entry, memory
from .report import moment, table
from .store import Series, Store, machine_zone_warning, rolls, sql_writer
from .store import days as day_record

if TYPE_CHECKING:
    from vnpy.trader.database import BaseDatabase

# Every trading day the record may hold.
EVERY_DAY = (date(1990, 1, 1), date(2100, 12, 31))


@dataclass
class SeriesDays:
    whole: list[date] = field(default_factory=list)
    provisional: list[str] = field(default_factory=list)  # "day (what disagrees)"
    unsettled: list[str] = field(default_factory=list)
    not_carried: int = 0
    holes: list[date] = field(default_factory=list)
    command: int | None = None  # the number of the remembered command that writes it

    def row(self) -> list[object]:
        return [f"{self.whole[0]} .. {self.whole[-1]}" if self.whole else "-", len(self.provisional),
                len(self.unsettled), len(self.holes), f"[{self.command}]" if self.command else "-"]

    def summary(self) -> dict[str, Any]:
        return {"first_whole": self.whole[0] if self.whole else None, "last_whole": self.whole[-1] if self.whole else None,
                "provisional": self.provisional, "unsettled": self.unsettled, "not_carried": self.not_carried,
                "holes": self.holes, "command": self.command}


def _noted(day: date, record: day_record.DayRecord) -> str:
    return f"{day} ({record.detail})" if record.detail else str(day)


def series_days(held: Store, series: Series, entries: list[Entry]) -> SeriesDays:
    """What the record says of one series (nothing where the store keeps no record)."""
    found = SeriesDays()
    owner = f"{series[0]} {series[2].value}"
    found.command = next((entry.number for entry in entries if owner in entry.series), None)
    records = held.day_records(series, *EVERY_DAY) or {}
    for day, record in sorted(records.items()):
        if record.state == day_record.WHOLE:
            found.whole.append(day)
        elif record.state == day_record.PROVISIONAL:
            found.provisional.append(_noted(day, record))
        elif record.state == day_record.UNSETTLED:
            found.unsettled.append(_noted(day, record))
        elif record.state == day_record.NOT_CARRIED:
            found.not_carried += 1
    counted = [day for day, record in records.items() if record.count]
    if counted:
        rows = held.day_counts(series, min(counted), max(counted))
        found.holes = [day for day in sorted(counted) if rows.get(day, 0) != records[day].count]
    return found


def show(args: argparse.Namespace, held: Store, adapter: object | None) -> int:
    """`status`: a row per stored series, the record's notes after them; `adapter` is vn.py's
    database object the store wraps (None for an AlphaLab folder)."""
    overviews = held.overviews()
    entries = memory(held).entries()
    rows: list[list[object]] = []
    series, notes = [], []
    for o, interval in sorted(overviews, key=lambda item: (item[0].symbol, str(item[0].exchange), str(item[1]))):
        days = series_days(held, (o.symbol, o.exchange, interval), entries) if o.exchange and interval else None
        rows.append([o.symbol, o.exchange.value if o.exchange else "", interval.value if interval else "", o.count,
                     moment(o.start), moment(o.end), *(days.row() if days else ["-"] * 5)])
        series.append({"series": f"{o.symbol}.{rows[-1][1]} {rows[-1][2]}", "count": o.count, "start": o.start,
                       "end": o.end, **(days.summary() if days else {})})
        for label, listed in (("provisional", days.provisional if days else []),
                              ("unsettled", days.unsettled if days else [])):
            if listed:
                notes.append(f"{o.symbol}.{rows[-1][1]} {rows[-1][2]} {label}: {', '.join(listed)}")
    args.summary["series"] = series
    if adapter is None:
        CONSOLE.summary(f"AlphaLab folder: {held.describe()}")
    else:
        CONSOLE.summary(f"database: {held.describe()} ({type(adapter).__module__})")
        warning = machine_zone_warning()
        if warning:
            CONSOLE.warn(warning)
    console.warn_of_zone()
    if not rows:
        CONSOLE.summary("no bars or ticks saved yet")
    else:
        CONSOLE.summary(table(["symbol", "exchange", "interval", "count", "start", "end", "whole days", "provisional",
                               "unsettled", "holes", "command"], rows, right=(3, 7, 8, 9)))
        for note in notes:
            CONSOLE.summary(note)
    return exits.OK


def stored_rolls(args: argparse.Namespace, database: BaseDatabase) -> int:
    """`status --rolls SYMBOL`: the roll table stored with a continuous series."""
    writer = sql_writer(database)
    symbol, _, exchange = args.rolls.partition(".")
    found = [] if writer is None else rolls.read(writer, symbol, exchange or None)
    args.summary["rolls"] = found
    if writer is None:
        CONSOLE.fail(f"{args.rolls}: this database keeps no roll tables (vnpy_sqlite, vnpy_postgresql and "
                     f"vnpy_mysql do)")
        return exits.FAILED
    if not found:
        CONSOLE.summary(f"no roll table stored for {args.rolls}")
        return exits.OK
    columns = ("exchange", "interval", "decision_day", "effective_day", "from_contract", "to_contract",
               "from_close", "to_close", "factor", "trigger", "service_dominant")
    CONSOLE.summary(table(list(columns), [["-" if row[c] is None else f"{row[c]:g}" if isinstance(row[c], float)
                                           else row[c] for c in columns] for row in found], right=(6, 7, 8)))
    return exits.OK
