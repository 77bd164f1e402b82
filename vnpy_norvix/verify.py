"""`verify [--repair]`: every stored series checked against the service, day by day.

Per series: the trading days of its stored range that the contract traded on (the
service's calendar) and the store holds nothing of; days it holds fewer records of than
the service has, or records at times the service has none at (outside the sessions, or
on a day the contract did not trade); bars whose high and low do not bound their open
and close, negative volumes, tick prices that cannot be; overview entries whose count,
start or end disagree with the rows. A continuous series is compared with a rebuild
from the service when a remembered `continuous` made it, else reported as skipped.

The store's side is read per minute of China time as the store counts its trading days
(aggregate queries through the bulk writer of vnpy_sqlite, vnpy_postgresql and
vnpy_mysql, else the adapter's load functions); the service's side from its
answers, as a download reads them. `--repair` fetches the days found again and puts
them in place of what was stored of them, one transaction per window, then rewrites the
overviews from the rows; a continuous series is replaced whole by its rebuild.
"""

from __future__ import annotations

import argparse

from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import date, datetime
from typing import TYPE_CHECKING, Any, cast

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, TickData

from norvix_datafeed import CHINA_TZ

from . import messages, remembered, store
from .console import CONSOLE
from .calendar import NIGHT_SLACK, WEEKDAYS, Calendar, database_time, today_in_china, trading_windows
from .sessions.table import in_sessions
from .download import Failure, FrameStore, BarOrTick, Source, Store, failure_text, holdings, runs, vnpy_database
from .rolls import RollRule
from .download.source import days_of
from .store import days as day_record
from .store.schema import SHAPES

if TYPE_CHECKING:
    from .research.lab import LabStore
    from .store.writer import Writer

Series = tuple[str, Exchange, Interval]
Minutes = Counter[datetime]  # records per minute of China time (aware)

# Every time a series may be stored at, for reading it whole.
EVERY_TIME = (datetime(1900, 1, 1, tzinfo=CHINA_TZ), datetime(2200, 1, 1, tzinfo=CHINA_TZ))


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


# --- the store's side ----------------------------------------------------------------------


def sql_side(database: Store, interval: Interval) -> Writer | None:
    """The bulk writer of the series' tables when it knows them (vnpy_sqlite,
    vnpy_postgresql, vnpy_mysql): the store is then read and repaired by its queries."""
    vn = vnpy_database(database)
    return None if vn is None else store.bulk_writer(vn, store.shape_of(interval))


def china(stored: datetime) -> datetime:
    """A stored time (a wall time in "database.timezone" when naive) in China time."""
    return database_time(stored).astimezone(CHINA_TZ)


def _where(writer: Writer, interval: Interval) -> tuple[str, str]:
    """The series' table and the condition on its key, in the writer's dialect."""
    layout = SHAPES[store.shape_of(interval)]
    return writer.name(layout.table), writer.matching(layout.key)


def _key(series: Series) -> tuple[str, ...]:
    return store.series_key(*series)


def stored_minutes(database: Store, series: Series) -> Minutes:
    """The records stored of `series` per minute of China time: counted as the store
    counts its trading days (store.time_counts), a lab folder's from its file."""
    from .research.lab import LabStore

    found: Minutes = Counter()
    if isinstance(database, LabStore):
        for record in load(database, series):
            found[china(record.datetime).replace(second=0, microsecond=0)] += 1
        return found
    for moment, count in store.time_counts(database, *series, *EVERY_TIME, "minute"):
        found[china(moment)] += count
    return found


def load(database: Store, series: Series) -> Sequence[BarOrTick]:
    """Every stored record of `series`, through the adapter (a lab folder's: from its file)."""
    symbol, exchange, interval = series
    from .research.lab import LabStore

    if isinstance(database, LabStore):
        return lab_bars(database, series)
    first, last = datetime(1990, 1, 1), datetime(2200, 1, 1)
    if interval == Interval.TICK:
        return database.load_tick_data(symbol, exchange, first, last)
    return database.load_bar_data(symbol, exchange, interval, first, last)


def lab_bars(lab: LabStore, series: Series) -> list[BarData]:
    """The bars of the lab's file of `series`, whole (the lab's own load gives times only)."""
    from .research.lab import LAB_FIELDS, bar_file, read_bar_file

    symbol, exchange, interval = series
    path = bar_file(lab.lab, f"{symbol}.{exchange.value}", interval)
    if not path.exists():
        return []
    frame = read_bar_file(path)
    return [BarData(gateway_name="LAB", symbol=symbol, exchange=exchange, interval=interval,
                    datetime=row["datetime"].replace(tzinfo=CHINA_TZ),
                    **{name: row[column] for name, column in LAB_FIELDS.items()})
            for row in frame.iter_rows(named=True)]


def bad_values(database: Store, series: Series) -> list[tuple[datetime, str]]:
    """Stored records whose values cannot be: (China time, what is wrong)."""
    symbol, exchange, interval = series
    found: list[tuple[datetime, str]] = []
    writer = sql_side(database, interval)
    if writer is not None:
        table, where = _where(writer, interval)
        q = writer.name
        if interval == Interval.TICK:
            checks = {"prices": f"{q('last_price')} <= 0 OR {q('high_price')} < {q('low_price')}",
                      "volume": f"{q('volume')} < 0"}
        else:
            checks = {"prices": f"{q('high_price')} < {q('open_price')} OR {q('high_price')} < {q('close_price')} "
                                f"OR {q('low_price')} > {q('open_price')} OR {q('low_price')} > {q('close_price')}",
                      "volume": f"{q('volume')} < 0 OR {q('turnover')} < 0 OR {q('open_interest')} < 0"}
        for defect, check in checks.items():
            for (stored,) in writer.execute(f"SELECT {q('datetime')} FROM {table} WHERE {where} AND ({check})",
                                            _key(series)):
                found.append((china(writer.read_time(stored)), defect))
        return found
    for record in load(database, series):
        for defect in value_defects(record):
            found.append((china(record.datetime), defect))
    return found


def value_defects(record: BarOrTick) -> list[str]:
    """What is wrong with a record's values (the rule of `bad_values`' queries)."""
    defects = []
    if isinstance(record, TickData):
        if not record.last_price > 0 or record.high_price < record.low_price:
            defects.append("prices")
    elif (record.high_price < max(record.open_price, record.close_price)
          or record.low_price > min(record.open_price, record.close_price)):
        defects.append("prices")
    if record.volume < 0 or getattr(record, "turnover", 0) < 0 or record.open_interest < 0:
        defects.append("volume")
    return defects


def rows_overview(database: Store, series: Series) -> tuple[int, datetime | None, datetime | None]:
    """The count, first and last stored time of the series' rows, as the overview keeps them."""
    writer = sql_side(database, series[2])
    if writer is not None:
        return row_span(writer, series)
    records = load(database, series)
    times = [record.datetime for record in records]
    return len(times), min(times, default=None), max(times, default=None)


def row_span(writer: Writer, series: Series) -> tuple[int, datetime | None, datetime | None]:
    """The count, first and last stored time (as stored) of the series' rows, by one query."""
    table, where = _where(writer, series[2])
    moment = writer.name("datetime")
    found = writer.execute(f"SELECT COUNT(*), MIN({moment}), MAX({moment}) FROM {table} WHERE {where}",
                           _key(series)).fetchone()
    count, first, last = found if found else (0, None, None)
    return int(count), None if first is None else writer.read_time(first), None if last is None else \
        writer.read_time(last)


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
    held = holdings(database).get(series)
    count, first, last = rows_overview(database, series)
    kept = (held.count, held.first, held.last) if held else (0, None, None)
    rows = (count, china(first) if first else None, china(last) if last else None)
    shown = (kept[0], kept[1].astimezone(CHINA_TZ) if kept[1] else None,
             kept[2].astimezone(CHINA_TZ) if kept[2] else None)
    if rows != shown:
        return [Finding(label, None, "overview", messages.overview_disagrees(shown, rows))]
    return []


def table_series(database: Store) -> set[Series]:
    """The series vn.py's tables hold rows of, whatever their overviews say (an entry
    missing, or counting none): read by one DISTINCT over each table's unique index."""
    found: set[Series] = set()
    for interval in (Interval.MINUTE, Interval.TICK):
        writer = sql_side(database, interval)
        if writer is None:
            continue
        layout = SHAPES[store.shape_of(interval)]
        for row in writer.execute(f"SELECT DISTINCT {writer.names(layout.key)} FROM {writer.name(layout.table)}"):
            try:
                found.add((row[0], Exchange(row[1]), Interval(row[2]) if len(row) > 2 else Interval.TICK))
            except ValueError:
                continue  # an exchange or interval vn.py does not know: not a series it can load
    return found


def stored_series(database: Store, named: Sequence[tuple[str, Exchange]]) -> list[Series]:
    held = {cast(Series, key) for key in holdings(database) if key[1] is not None and key[2] is not None}
    found = sorted(held | table_series(database), key=lambda key: (key[0], key[1].value, key[2].value))
    series = list(found)
    if named:
        wanted = set(named)
        series = [s for s in series if (s[0], s[1]) in wanted]
    return series


def continuous_commands(database: Store, lab: str | None) -> dict[str, remembered.Command]:
    """The remembered continuous commands, by the series ("symbol interval") each saves:
    a series is checked against the command that wrote it, interval included."""
    found = {}
    for entry in remembered.memory(vnpy_database(database), lab).entries():
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
    stored = stored_minutes(database, series)
    if not stored:
        report.findings += check_overview(label, database, series)
        return
    days = sorted({WEEKDAYS.trading_day(moment, interval) for moment in stored})
    first, last = claimed_range(days[0], days[-1], (owners or {}).get(f"{symbol} {interval.value}"))
    daily = source.daily_bars(symbol, exchange, first, last)
    calendar = Calendar(days_of(daily, first, last))
    records = None if isinstance(database, FrameStore) else store.day_records(database, *series, first, last)
    if deep or records is None:  # every record against a fresh download
        values: dict[datetime, tuple[float, ...]] = {}
        served = service_minutes(source, series, calendar, calendar.days, values)
        found = compare_days(label, series, calendar, stored, served, first, last)
        if deep and interval != Interval.TICK:
            found += differing_values(label, interval, stored_bars(database, series), values)
    else:  # the stored records against the daily bars alone (one request per series)
        unserved = {day for day, record in records.items() if record.state in day_record.SERVED_NOTHING}
        found = stored_days(label, series, calendar, stored, daily, first, last, unserved)
    for moment, defect in bad_values(database, series):
        found.append(Finding(label, calendar.trading_day(moment, interval), defect,
                             messages.bad_value(defect, moment)))
    if interval != Interval.TICK:  # a day already found wrong is not named twice
        named = {finding.day for finding in found}
        found += [finding for finding in against_daily(label, interval, stored_bars(database, series), daily)
                  if finding.day not in named]
    overview = check_overview(label, database, series)
    found = merge(found)
    report.checked.append(label)
    report.findings += found + overview
    wrong = sorted({finding.day for finding in found if finding.day is not None})
    if repair and wrong:
        repair_days(source, database, series, calendar, wrong, report)
    writer = sql_side(database, interval)
    if repair and (overview or wrong) and writer is not None:
        rewrite_overview(writer, series)
        if overview:
            report.repaired.append(messages.overview_rewritten(label))


def stored_days(label: str, series: Series, calendar: Calendar, stored: Minutes, daily: dict[date, BarData],
                first: date, last: date, unserved: set[date]) -> list[Finding]:
    """Day by day, what the store holds against the service's daily bars, without fetching
    a record: days that traded with nothing stored (but those the record knows the service
    has nothing of), records filed under a day the contract did not trade, records
    outside the sessions. What a stored day adds up to is `against_daily`'s."""
    interval = series[2]
    by_day: dict[date, list[datetime]] = {}
    for moment in stored:
        by_day.setdefault(calendar.trading_day(moment, interval), []).append(moment)
    findings: list[Finding] = []
    for day in sorted(set(by_day) | {d for d in daily if first <= d <= last}):
        moments = by_day.get(day, [])
        held = sum(stored[m] for m in moments)
        bar = daily.get(day)
        if not held:
            if bar is not None and bar.volume > 0 and day not in unserved:
                findings.append(Finding(label, day, "missing", messages.day_missing_traded(bar.volume)))
            continue
        if not calendar.is_open(day):
            findings.append(Finding(label, day, "not_traded", messages.day_not_traded(held)))
            continue
        outside = sorted(m for m in moments if not in_sessions(m))
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


def against_daily(label: str, interval: Interval, held: dict[datetime, tuple[float, ...]],
                  daily: dict[date, BarData]) -> list[Finding]:
    """Each stored trading day of bars against the service's daily bar: its volumes' sum,
    highest high and lowest low, first open and last close (a daily series: every value)."""
    by_day: dict[date, list[tuple[float, ...]]] = {}
    for moment in sorted(held):
        by_day.setdefault(WEEKDAYS.trading_day(moment, interval), []).append(held[moment])
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
    from .research.lab import LabStore

    writer = sql_side(database, interval)
    lab = database if isinstance(database, LabStore) else None
    if writer is None and lab is None:
        report.failures.append(messages.cannot_repair(label, type(database).__module__))
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
        if lab is not None:
            replace_lab_days(lab, series, spans, cast(list[BarData], records))
            report.repaired.append(messages.days_replaced(label, window.first, window.last, len(records)))
            continue
        assert writer is not None
        # What was stored of the window's days deleted and its records saved, in one
        # transaction (the completeness record is left alone: a repaired day holds again
        # the rows it recorded).
        writer.save_window(store.shape_of(interval), records, _key(series),
                           [store.stored_span(begin, end) for begin, end in spans], ())
        report.repaired.append(messages.days_replaced(label, window.first, window.last, len(records)))


def replace_lab_days(lab: LabStore, series: Series, spans: list[tuple[datetime, datetime]],
                     bars: list[BarData]) -> None:
    """The lab file's bars inside `spans` (China time) replaced by `bars`, the file
    rewritten whole through a file renamed into place."""
    import polars as pl

    from .files import replacing
    from .research.lab import bar_file, bars_frame, lab_frame, read_bar_file

    symbol, exchange, interval = series
    path = bar_file(lab.lab, f"{symbol}.{exchange.value}", interval)
    held = read_bar_file(path)
    time_ = pl.col("datetime")
    inside = pl.any_horizontal(time_.is_between(begin.replace(tzinfo=None), end.replace(tzinfo=None), closed="left")
                               for begin, end in spans) if spans else pl.lit(False)
    kept = held.filter(~inside)
    merged = pl.concat([kept, lab_frame(bars_frame(bars))]) if bars else kept
    with replacing(path) as temporary:
        merged.sort("datetime").write_parquet(temporary)


def rewrite_overview(writer: Writer, series: Series) -> None:
    """The series' overview entry set from its rows (removed when it has none), in one
    transaction."""
    layout = SHAPES[store.shape_of(series[2])]
    overview, where, p = writer.name(layout.overview), writer.matching(layout.key), writer.param
    key = _key(series)
    with writer.transaction():
        count, first, last = row_span(writer, series)
        if not count:
            writer.execute(f"DELETE FROM {overview} WHERE {where}", key)
            return
        # Looked up rather than judged by an UPDATE's row count: MySQL counts only the rows
        # an UPDATE changed.
        if writer.execute(f"SELECT 1 FROM {overview} WHERE {where}", key).fetchone() is None:
            writer.execute(f"INSERT INTO {overview} ({writer.names((*layout.key, 'count', 'start', 'end'))}) "
                           f'VALUES ({", ".join([p] * (len(key) + 3))})', (*key, count, first, last))
            return
        updated = ", ".join(f"{writer.name(column)} = {p}" for column in ("count", "start", "end"))
        writer.execute(f"UPDATE {overview} SET {updated} WHERE {where}", (count, first, last, *key))


# --- continuous series ---------------------------------------------------------------------


def verify_continuous(source: Source, database: Store, series: Series, command: remembered.Command,
                      report: Report, repair: bool) -> None:
    """The stored series against a rebuild from the service over its stored range."""
    from .continuous import continuous_bars

    symbol, exchange, interval = series
    label = f"{symbol}.{exchange.value} {interval.value}"
    held = stored_bars(database, series)
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
        if isinstance(database, FrameStore):  # a lab folder: its file written anew, as `continuous --lab` does
            database.replace_bar_data(rebuilt.bars)
        else:
            store.replace_bars(database, rebuilt.name, rebuilt.exchange, interval, rebuilt.bars)
        report.repaired.append(messages.series_rebuilt(label, len(rebuilt.bars)))


BAR_FIELDS = ("open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")


def bar_values(bar: BarData) -> tuple[float, ...]:
    return tuple(float(getattr(bar, name)) for name in BAR_FIELDS)


def stored_bars(database: Store, series: Series) -> dict[datetime, tuple[float, ...]]:
    """The stored bars of `series` by China time: read by a query with vnpy_sqlite and
    vnpy_postgresql (whatever the machine's zone), else through the adapter."""
    writer = sql_side(database, series[2])
    if writer is None:
        return {china(bar.datetime): bar_values(bar) for bar in cast(list[BarData], load(database, series))}
    table, where = _where(writer, series[2])
    rows = writer.execute(f"SELECT {writer.names(('datetime', *BAR_FIELDS))} FROM {table} WHERE {where}",
                          _key(series))
    return {china(writer.read_time(row[0])): tuple(map(float, row[1:])) for row in rows}


def same_bar(one: tuple[float, ...], other: tuple[float, ...], tolerance: float = 1e-6) -> bool:
    # vnpy_postgresql keeps prices in single precision (REAL): about 7 digits.
    return all(abs(a - b) <= tolerance * max(1.0, abs(b)) for a, b in zip(one, other))


# --- the command ---------------------------------------------------------------------------


def verify(args: argparse.Namespace, source: Source, database: Store) -> int:
    """`verify`: one line per finding, what was repaired, a summary; 1 when anything was
    found (or could not be checked), 0 on a clean store."""
    report = Report()
    continuous = continuous_commands(database, args.lab)
    owners = {written: entry.command for entry in remembered.memory(vnpy_database(database), args.lab).entries()
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
    held = [key for key in holdings(database) if key[1] is not None]
    found = []
    for symbol, exchange in named:
        if any((s[0], s[1]) == (symbol, exchange) for s in checked):
            continue
        elsewhere = sorted({cast(Exchange, key[1]).value for key in held if key[0] == symbol})
        found.append(Finding(f"{symbol}.{exchange.value}", None, "not_stored",
                             messages.not_stored(elsewhere)))
    return found



