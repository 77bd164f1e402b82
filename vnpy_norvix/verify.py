"""`verify [--repair]`: every stored series checked against the service, day by day.

Per series: the trading days of its stored range that the contract traded on (the
service's calendar) and the store holds nothing of; days it holds fewer records of than
the service has, or records at times the service has none at (outside the sessions, or
on a day the contract did not trade); bars whose high and low do not bound their open
and close, negative volumes, tick prices that cannot be; overview entries whose count,
start or end disagree with the rows. A continuous series is compared with a rebuild
from the service when a remembered `continuous` made it, else reported as skipped.

The store's side is read summed up per hour of China time (`Store.stretches`: one
aggregate query through the bulk writer of vnpy_sqlite, vnpy_postgresql and vnpy_mysql,
polars over a lab file, else the adapter's load functions), per minute only for the
hours that may hold a record outside the sessions and for `--deep`; the service's side
from its answers, as a download reads them. `--repair` fetches the days found again and puts
them in place of what was stored of them, one transaction per window, then rewrites the
overviews from the rows; a continuous series is replaced whole by its rebuild.
"""

from __future__ import annotations

import argparse

from collections import Counter
from itertools import accumulate
from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from typing import Any

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData

from norvix_datafeed import CHINA_TZ

from . import messages, remembered
from .console import CONSOLE
from .calendar import NIGHT_SLACK, WEEKDAYS, Calendar, today_in_china, trading_windows
from .sessions.table import in_sessions
from .download import Failure, Source, failure_text, runs
from .rolls import RollRule
from .download.source import days_of
from .store import Series, Store
from .store import days as day_record
from .store.base import Minutes, Stretch, bar_values


HOUR = timedelta(hours=1)


@dataclass(frozen=True)
class Finding:
    series: str  # "rb2410.SHFE 1m"
    day: date | None
    defect: str  # missing, partial, outside_sessions, not_traded, unknown_times, prices, volume, overview, continuous
    detail: str

    def line(self) -> str:
        return f"{self.series} {self.day or '-'}: {self.detail}"

    def data(self) -> dict[str, Any]:
        return {"series": self.series, "day": self.day.isoformat() if self.day else None, "defect": self.defect,
                "detail": self.detail}


@dataclass
class Report:
    findings: list[Finding] = field(default_factory=list)
    checked: list[str] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)
    repaired: list[str] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)


# --- the checks ----------------------------------------------------------------------------


def service_minutes(source: Source, series: Series, calendar: Calendar, days: Sequence[date],
                    values: dict[datetime, tuple[float, ...]] | None = None) -> Minutes:
    """The service's records of `days` counted per minute; with `values`, each bar's values
    kept there by its time."""
    symbol, exchange, interval = series
    found: Minutes = Counter()
    for window in trading_windows(days, interval, calendar):
        for record in source.records(symbol, exchange, interval, window, calendar):
            found[record.datetime.astimezone(CHINA_TZ).replace(second=0, microsecond=0)] += 1
            if values is not None and isinstance(record, BarData):
                values[record.datetime.astimezone(CHINA_TZ)] = bar_values(record)
    return found


def differing_values(label: str, interval: Interval, held: dict[datetime, tuple[float, ...]],
                     served: dict[datetime, tuple[float, ...]]) -> list[Finding]:
    """`verify --deep`: every stored bar's values against the service's bar of its time."""
    found: dict[date, list[datetime]] = {}
    for moment, values in held.items():
        theirs = served.get(moment)
        if theirs is not None and not same_bar(values, theirs):
            found.setdefault(WEEKDAYS.trading_day(moment, interval), []).append(moment)
    return [Finding(label, day, "values", messages.values_differ(len(moments), min(moments)))
            for day, moments in sorted(found.items())]


def compare_days(label: str, series: Series, calendar: Calendar, stored: Minutes, served: Minutes,
               first: date, last: date) -> list[Finding]:
    """Day by day, what the store holds against what the service has."""
    interval = series[2]
    by_day: dict[date, list[datetime]] = {}
    for moment in set(stored) | set(served):
        by_day.setdefault(calendar.trading_day(moment, interval), []).append(moment)
    findings: list[Finding] = []
    for day in sorted(set(by_day) | {d for d in calendar.days if first <= d <= last}):
        moments = by_day.get(day, [])
        held = sum(stored[m] for m in moments)
        wanted = sum(served[m] for m in moments)
        if not held and wanted:
            findings.append(Finding(label, day, "missing", messages.day_missing(wanted)))
            continue
        extra = sorted(m for m in moments if stored[m] > served[m])
        short = [m for m in moments if stored[m] < served[m]]
        if extra and not calendar.is_open(day):
            findings.append(Finding(label, day, "not_traded", messages.day_not_traded(held)))
            continue
        outside = [m for m in extra if not in_sessions(m)]
        if outside:
            findings.append(Finding(label, day, "outside_sessions", messages.outside_sessions(len(outside),
                                                                                               outside[0])))
        elsewhere = [m for m in extra if in_sessions(m)]
        if elsewhere:
            findings.append(Finding(label, day, "unknown_times", messages.unknown_times(len(elsewhere), elsewhere[0])))
        if short:
            lacking = sum(served[m] - stored[m] for m in short)
            findings.append(Finding(label, day, "partial", messages.day_partial(lacking, wanted)))
    return findings


def check_overview(label: str, database: Store, series: Series) -> list[Finding]:
    held = database.holdings().get(series)
    rows = database.row_span(series)
    kept = (held.count, held.first, held.last) if held else (0, None, None)
    shown = (kept[0], kept[1].astimezone(CHINA_TZ) if kept[1] else None,
             kept[2].astimezone(CHINA_TZ) if kept[2] else None)
    if rows != shown:
        return [Finding(label, None, "overview", messages.overview_disagrees(shown, rows))]
    return []


def stored_series(database: Store, named: Sequence[tuple[str, Exchange]]) -> list[Series]:
    held = set(database.holdings())
    found = sorted(held | database.table_series(), key=lambda key: (key[0], key[1].value, key[2].value))
    series = list(found)
    if named:
        wanted = set(named)
        series = [s for s in series if (s[0], s[1]) in wanted]
    return series


def continuous_commands(database: Store) -> dict[str, remembered.Command]:
    """The remembered continuous commands, by the series ("symbol interval") each saves:
    a series is checked against the command that wrote it, interval included."""
    found = {}
    for entry in remembered.memory(database).entries():
        command = entry.command
        if command.get("command") == "continuous":  # an unreadable entry is {}
            for product in command["products"]:
                for interval in command["interval"]:
                    name = command["name"] or RollRule.of_command(command).series_name(product)
                    found[f"{name} {interval}"] = {**command, "product": product}
    return found


def verify_series(source: Source, database: Store, series: Series, report: Report,
                  continuous: dict[str, remembered.Command], repair: bool,
                  owners: dict[str, remembered.Command] | None = None, deep: bool = False) -> None:
    symbol, exchange, interval = series
    label = f"{symbol}.{exchange.value} {interval.value}"
    if interval not in (Interval.DAILY, Interval.HOUR, Interval.MINUTE, Interval.TICK):
        report.skipped.append(f"{label}: {messages.NOT_CHECKED_INTERVAL}")
        return
    if f"{symbol} {interval.value}" in continuous:
        verify_continuous(source, database, series, continuous[f"{symbol} {interval.value}"], report, repair)
        return
    try:
        source.reference.check_contract(symbol, exchange)
    except Failure as failure:
        report.skipped.append(f"{label}: {messages.not_a_contract(failure_text(failure))}")
        return
    stretches = database.stretches(series)
    if not stretches:
        report.findings += check_overview(label, database, series)
        return
    days = sorted({WEEKDAYS.trading_day(stretch.begin, interval) for stretch in stretches})
    first, last = claimed_range(days[0], days[-1], (owners or {}).get(f"{symbol} {interval.value}"))
    daily = source.daily_bars(symbol, exchange, first, last)
    calendar = Calendar(days_of(daily, first, last))
    records = database.day_records(series, first, last)
    if deep or records is None:  # every record against a fresh download
        values: dict[datetime, tuple[float, ...]] = {}
        served = service_minutes(source, series, calendar, calendar.days, values)
        found = compare_days(label, series, calendar, database.minute_counts(series), served, first, last)
        if deep and interval != Interval.TICK:
            found += differing_values(label, interval, database.stored_bars(series), values)
    else:  # the stored records against the daily bars alone (one request per series)
        unserved = {day for day, record in records.items() if record.state in day_record.SERVED_NOTHING}
        found = stored_days(label, database, series, calendar, stretches, daily, first, last, unserved)
    for moment, defect in database.bad_values(series):
        found.append(Finding(label, calendar.trading_day(moment, interval), defect,
                             messages.bad_value(defect, moment)))
    if interval != Interval.TICK:  # a day already found wrong is not named twice
        named = {finding.day for finding in found}
        found += [finding for finding in against_daily(label, interval, stored_parts(database, series, stretches),
                                                        daily) if finding.day not in named]
    overview = check_overview(label, database, series)
    found = merge(found)
    report.checked.append(label)
    report.findings += found + overview
    wrong = sorted({finding.day for finding in found if finding.day is not None})
    if repair and wrong:
        repair_days(source, database, series, calendar, wrong, report)
    if repair and (overview or wrong) and database.rewrite_overview(series):
        if overview:
            report.repaired.append(messages.overview_rewritten(label))


# How many minutes of a China-time day, up to each one, lie outside every session.
OUTSIDE = list(accumulate((not in_sessions(datetime(2000, 1, 3, minute // 60, minute % 60, tzinfo=CHINA_TZ))
                           for minute in range(24 * 60)), initial=0))


def may_lie_outside(stretch: Stretch) -> bool:
    """Whether a minute from the stretch's first record's to its last's lies outside the sessions."""
    return OUTSIDE[stretch.last.hour * 60 + stretch.last.minute + 1] > OUTSIDE[stretch.first.hour * 60
                                                                                + stretch.first.minute]


def stored_days(label: str, database: Store, series: Series, calendar: Calendar, stretches: list[Stretch],
                daily: dict[date, BarData], first: date, last: date, unserved: set[date]) -> list[Finding]:
    """Day by day, what the store holds against the service's daily bars, without fetching
    a record: days that traded with nothing stored (but those the record knows the service
    has nothing of), records filed under a day the contract did not trade, records
    outside the sessions (counted per minute only in the hours that may hold any). What a
    stored day adds up to is `against_daily`'s."""
    interval = series[2]
    by_day: dict[date, list[Stretch]] = {}
    for stretch in stretches:
        by_day.setdefault(calendar.trading_day(stretch.begin, interval), []).append(stretch)
    findings: list[Finding] = []
    for day in sorted(set(by_day) | {d for d in daily if first <= d <= last}):
        hours = by_day.get(day, [])
        held = sum(stretch.count for stretch in hours)
        bar = daily.get(day)
        if not held:
            if bar is not None and bar.volume > 0 and day not in unserved:
                findings.append(Finding(label, day, "missing", messages.day_missing_traded(bar.volume)))
            continue
        if not calendar.is_open(day):
            findings.append(Finding(label, day, "not_traded", messages.day_not_traded(held)))
            continue
        outside = sorted(moment for stretch in hours if may_lie_outside(stretch)
                         for moment in database.minute_counts(series, stretch.begin, stretch.begin + HOUR)
                         if not in_sessions(moment))
        if outside:
            findings.append(Finding(label, day, "outside_sessions", messages.outside_sessions(len(outside),
                                                                                               outside[0])))
    return findings


def claimed_range(first: date, last: date, command: remembered.Command | None) -> tuple[date, date]:
    """The trading days a series claims: those its remembered command asks (its start to its
    end, or to today), the stored ones included; without a command, those stored."""
    if command is None:
        return first, last
    end = date.fromisoformat(command["end"]) if command.get("end") else today_in_china()
    return min(first, date.fromisoformat(command["start"])), max(last, end)


def stored_parts(database: Store, series: Series, stretches: list[Stretch]) -> dict[date, list[tuple[float, ...]]]:
    """Each stored trading day's parts in time order, as `against_daily` adds them up: the
    hours' sums (open, high, low, close, volume), or a daily series' bars whole."""
    interval = series[2]
    by_day: dict[date, list[tuple[float, ...]]] = {}
    if interval == Interval.DAILY:
        held = database.stored_bars(series)
        for moment in sorted(held):
            by_day.setdefault(WEEKDAYS.trading_day(moment, interval), []).append(held[moment])
        return by_day
    for stretch in stretches:
        if stretch.bar is not None:
            by_day.setdefault(WEEKDAYS.trading_day(stretch.begin, interval), []).append(stretch.bar)
    return by_day


def against_daily(label: str, interval: Interval, by_day: dict[date, list[tuple[float, ...]]],
                  daily: dict[date, BarData]) -> list[Finding]:
    """Each stored trading day of bars against the service's daily bar: its volumes' sum,
    highest high and lowest low, first open and last close (a daily series: every value)."""
    found = []
    for day, bars in sorted(by_day.items()):
        bar = daily.get(day)
        if bar is None:
            continue  # a day the service has no daily bar of: compare_days tells
        mine = (bars[0][0], max(b[1] for b in bars), min(b[2] for b in bars), bars[-1][3], sum(b[4] for b in bars))
        theirs = (bar.open_price, bar.high_price, bar.low_price, bar.close_price, bar.volume)
        names = ("first open", "high", "low", "last close", "volume")
        differing = [f"{name} {a:g} not {b:g}" for name, a, b in zip(names, mine, theirs)
                     if not same_bar((a,), (b,))]
        if interval == Interval.DAILY and not differing and not same_bar(bars[0], bar_values(bar)):
            differing.append("turnover or open interest")
        if differing:
            # Less volume than the day traded: records are missing from it.
            defect = "partial" if mine[4] < theirs[4] and not same_bar((mine[4],), (theirs[4],)) else "daily_bar"
            found.append(Finding(label, day, defect, messages.daily_bar_differs(", ".join(differing))))
    return found


def merge(findings: list[Finding]) -> list[Finding]:
    """One finding per series, day and defect (the first of each), in day order."""
    seen: dict[tuple[date | None, str], Finding] = {}
    for finding in findings:
        seen.setdefault((finding.day, finding.defect), finding)
    return sorted(seen.values(), key=lambda f: (f.day or date.min, f.defect))


# --- repairing -----------------------------------------------------------------------------


def repair_days(source: Source, database: Store, series: Series, calendar: Calendar, days: list[date],
                report: Report) -> None:
    """The days fetched again and put in place of what was stored of them, a window at a
    time, each in one transaction."""
    symbol, exchange, interval = series
    label = f"{symbol}.{exchange.value} {interval.value}"
    if not database.can_repair(interval):
        report.failures.append(messages.cannot_repair(label, database.describe()))
        return
    # Only the days found: each run of them that neighbour in the calendar (days the
    # contract did not trade on included) makes its own windows.
    every = Calendar(sorted(set(calendar.days) | set(days)))
    windows = [window for run in runs(every.days, set(days)) for window in trading_windows(run, interval, every)]
    for window in windows:
        try:
            records = source.records(symbol, exchange, interval, window, calendar)
        except Failure as failure:
            report.failures.append(f"{label} {window.first}..{window.last}: {failure_text(failure)}")
            continue
        spans = calendar.spans(window.first, window.last, interval, window.first - NIGHT_SLACK, window.last)
        database.replace_days(series, spans, records)
        report.repaired.append(messages.days_replaced(label, window.first, window.last, len(records)))


# --- continuous series ---------------------------------------------------------------------


def verify_continuous(source: Source, database: Store, series: Series, command: remembered.Command,
                      report: Report, repair: bool) -> None:
    """The stored series against a rebuild from the service over its stored range."""
    from .continuous import continuous_bars

    symbol, exchange, interval = series
    label = f"{symbol}.{exchange.value} {interval.value}"
    held = database.stored_bars(series)
    if not held:
        return
    last = WEEKDAYS.trading_day(max(held), interval)
    try:
        rebuilt = continuous_bars(source, command["product"], date.fromisoformat(command["start"]), last, interval,
                                  command["adjust"], command["name"], method=command.get("method", "ratio"),
                                  **RollRule.of_command(command).keywords())
    except Failure as failure:
        report.failures.append(f"{label}: {failure_text(failure)}")
        return
    report.checked.append(label)
    made = {bar.datetime.astimezone(CHINA_TZ): bar_values(bar) for bar in rebuilt.bars}
    differing: Counter[date] = Counter()
    for moment in set(held) | set(made):
        one, other = held.get(moment), made.get(moment)
        if one is None or other is None or not same_bar(one, other):
            differing[WEEKDAYS.trading_day(moment, interval)] += 1
    found = [Finding(label, day, "continuous", messages.continuous_differs(count))
             for day, count in sorted(differing.items())]
    found += check_overview(label, database, series)
    report.findings += found
    if repair and found and rebuilt.bars:
        database.replace_series((rebuilt.name, rebuilt.exchange, interval), rebuilt.bars)
        report.repaired.append(messages.series_rebuilt(label, len(rebuilt.bars)))


def same_bar(one: tuple[float, ...], other: tuple[float, ...], tolerance: float = 1e-6) -> bool:
    # vnpy_postgresql keeps prices in single precision (REAL): about 7 digits.
    return all(abs(a - b) <= tolerance * max(1.0, abs(b)) for a, b in zip(one, other))


# --- the command ---------------------------------------------------------------------------


def verify(args: argparse.Namespace, source: Source, database: Store) -> int:
    """`verify`: one line per finding, what was repaired, a summary; 1 when anything was
    found (or could not be checked), 0 on a clean store."""
    report = Report()
    continuous = continuous_commands(database)
    owners = {written: entry.command for entry in remembered.memory(database).entries()
              for written in entry.series}
    checked = stored_series(database, args.series)
    report.findings += not_stored(database, args.series, checked)
    check_all(source, database, checked, report, continuous, args.repair, owners, args.deep)
    remaining = report
    if args.repair and report.repaired:
        # Each repaired series checked again: the run succeeds when nothing is left.
        wrong = {finding.series for finding in report.findings}
        remaining = Report(findings=[finding for finding in report.findings if finding.defect == "not_stored"])
        check_all(source, database, [s for s in checked if label_of(s) in wrong], remaining, continuous, False,
                  owners, args.deep)
        for finding in remaining.findings:
            CONSOLE.fail(f"still: {finding.line()}")
    for finding in report.findings:
        CONSOLE.summary(finding.line())
    for line in report.skipped:
        CONSOLE.say(f"skipped: {line}")
    for line in report.repaired:
        CONSOLE.say(f"repaired: {line}")
    for line in report.failures:
        CONSOLE.fail(f"FAILED: {line}")
    CONSOLE.summary(messages.verify_summary(len(report.checked), len(report.findings), len(report.skipped),
                                  len(report.repaired), len(report.failures)))
    args.summary.update(checked=report.checked, findings=[finding.data() for finding in report.findings],
                        skipped=report.skipped, repaired=report.repaired, failures=report.failures)
    return 1 if remaining.findings or report.failures or remaining.failures else 0


def check_all(source: Source, database: Store, checked: list[Series], report: Report,
              continuous: dict[str, remembered.Command], repair: bool,
              owners: dict[str, remembered.Command], deep: bool = False) -> None:
    for series in checked:
        try:
            verify_series(source, database, series, report, continuous, repair, owners, deep)
        except Failure as failure:
            report.failures.append(f"{label_of(series)}: {failure_text(failure)}")


def label_of(series: Series) -> str:
    return f"{series[0]}.{series[1].value} {series[2].value}"


def not_stored(database: Store, named: Sequence[tuple[str, Exchange]], checked: list[Series]) -> list[Finding]:
    """A finding for each contract named that the store holds nothing of (or holds under
    another exchange): never a pass."""
    held = list(database.holdings())
    found = []
    for symbol, exchange in named:
        if any((s[0], s[1]) == (symbol, exchange) for s in checked):
            continue
        elsewhere = sorted({key[1].value for key in held if key[0] == symbol})
        found.append(Finding(f"{symbol}.{exchange.value}", None, "not_stored",
                             messages.not_stored(elsewhere)))
    return found



