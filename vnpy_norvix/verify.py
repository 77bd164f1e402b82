"""`verify [--repair]`: every stored series checked against the service, day by day.

Per series: the trading days of its stored range that the contract traded on (the
service's calendar) and the store holds nothing of; days it holds fewer records of than
the service has, or records at times the service has none at (outside the sessions, or
on a day the contract did not trade); bars whose high and low do not bound their open
and close, negative volumes, tick prices that cannot be; overview entries whose count,
start or end disagree with the rows. A continuous series is compared with a rebuild
from the service when a remembered `continuous` made it, else reported as skipped.

The store's side is read per minute of China time by aggregate queries (vnpy_sqlite and
vnpy_postgresql), or through the adapter's load functions; the service's side from its
answers, as a download reads them. `--repair` fetches the days found again and puts
them in place of what was stored of them, one transaction per window, then rewrites the
overviews from the rows; a continuous series is replaced whole by its rebuild.
"""

from __future__ import annotations

import argparse

from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import date, datetime, time
from typing import TYPE_CHECKING, Any, cast

import vnpy.trader.database as vn_database
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BaseDatabase
from vnpy.trader.object import BarData, TickData

from norvix_datafeed import CHINA_TZ

from . import messages, remembered, store
from .console import CONSOLE
from .calendar import NIGHT_SLACK, WEEKDAYS, Calendar, trading_windows
from .download import FeedError, Record, Source, failure_text, holdings, runs

if TYPE_CHECKING:
    from .research.lab import LabStore

Series = tuple[str, Exchange, Interval]
Minutes = Counter[datetime]  # records per minute of China time (aware)

# Where a record of a session may lie, in China time: the day sessions from the call
# auction before 09:00 to the close at 15:15, the night sessions from the auction at
# 20:55 to 02:30 at the latest.
SESSIONS = ((time(0, 0), time(2, 30)), (time(8, 55), time(15, 15)), (time(20, 55), time(23, 59, 59)))


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


def dialect_of(database: BaseDatabase) -> str | None:
    """"sqlite" or "postgresql" when the bulk writers know the adapter's tables (MySQL's
    are read through the adapter, as any other's)."""
    cls = type(database)
    dialect = store.ADAPTERS.get((cls.__module__, cls.__name__))
    known = dialect in ("sqlite", "postgresql") and store.bulk_writer(database, "bars") is not None
    return dialect if known else None


def china(stored: datetime) -> datetime:
    """A stored time (a wall time in "database.timezone" when naive) in China time."""
    aware = stored.replace(tzinfo=vn_database.DB_TZ) if stored.tzinfo is None else stored
    return aware.astimezone(CHINA_TZ)


def _where(interval: Interval, param: str) -> tuple[str, str]:
    if interval == Interval.TICK:
        return "dbtickdata", f'"symbol" = {param} AND "exchange" = {param}'
    return "dbbardata", f'"symbol" = {param} AND "exchange" = {param} AND "interval" = {param}'


def _key(series: Series) -> tuple[str, ...]:
    symbol, exchange, interval = series
    return (symbol, exchange.value) if interval == Interval.TICK else (symbol, exchange.value, interval.value)


def stored_minutes(database: BaseDatabase, series: Series) -> Minutes:
    """The records stored of `series` per minute of China time: by one aggregate query
    with vnpy_sqlite and vnpy_postgresql, else through the adapter's load functions."""
    symbol, exchange, interval = series
    dialect = dialect_of(database)
    found: Minutes = Counter()
    if dialect is not None:
        db = getattr(database, "db")
        table, where = _where(interval, db.param)
        minute = 'substr("datetime", 1, 16)' if dialect == "sqlite" else \
            """to_char("datetime", 'YYYY-MM-DD HH24:MI')"""
        for text, count in db.execute_sql(f'SELECT {minute}, count(*) FROM "{table}" WHERE {where} GROUP BY 1',
                                          _key(series)):
            found[china(datetime.fromisoformat(text))] += count
        return found
    for record in load(database, series):
        found[china(record.datetime).replace(second=0, microsecond=0)] += 1
    return found


def load(database: BaseDatabase, series: Series) -> Sequence[Record]:
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
    import polars as pl

    from .research.lab import LAB_FIELDS, bar_file

    symbol, exchange, interval = series
    path = bar_file(lab.lab, f"{symbol}.{exchange.value}", interval)
    if not path.exists():
        return []
    frame = pl.read_parquet(path)
    return [BarData(gateway_name="LAB", symbol=symbol, exchange=exchange, interval=interval,
                    datetime=row["datetime"].replace(tzinfo=CHINA_TZ),
                    **{name: row[column] for name, column in LAB_FIELDS.items()})
            for row in frame.iter_rows(named=True)]


def stored_days(database: BaseDatabase, series: Series, calendar: Calendar = WEEKDAYS) -> dict[date, int]:
    """The records stored of `series` per trading day (China time, whatever the machine's
    zone and "database.timezone")."""
    days: Counter[date] = Counter()
    for moment, count in stored_minutes(database, series).items():
        days[calendar.trading_day(moment, series[2])] += count
    return dict(days)


def bad_values(database: BaseDatabase, series: Series) -> list[tuple[datetime, str]]:
    """Stored records whose values cannot be: (China time, what is wrong)."""
    symbol, exchange, interval = series
    found: list[tuple[datetime, str]] = []
    if dialect_of(database) is not None:
        db = getattr(database, "db")
        table, where = _where(interval, db.param)
        if interval == Interval.TICK:
            checks = {"prices": '"last_price" <= 0 OR "high_price" < "low_price"', "volume": '"volume" < 0'}
        else:
            checks = {"prices": '"high_price" < "open_price" OR "high_price" < "close_price" OR "low_price" > '
                                '"open_price" OR "low_price" > "close_price"',
                      "volume": '"volume" < 0 OR "turnover" < 0 OR "open_interest" < 0'}
        for defect, check in checks.items():
            for (stored,) in db.execute_sql(f'SELECT "datetime" FROM "{table}" WHERE {where} AND ({check})',
                                            _key(series)):
                moment = stored if isinstance(stored, datetime) else datetime.fromisoformat(stored)
                found.append((china(moment), defect))
        return found
    for record in load(database, series):
        for defect in value_defects(record):
            found.append((china(record.datetime), defect))
    return found


def value_defects(record: Record) -> list[str]:
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


def rows_overview(database: BaseDatabase, series: Series) -> tuple[int, datetime | None, datetime | None]:
    """The count, first and last stored time of the series' rows, as the overview keeps them."""
    if dialect_of(database) is not None:
        db = getattr(database, "db")
        table, where = _where(series[2], db.param)
        count, first, last = db.execute_sql(f'SELECT count(*), min("datetime"), max("datetime") FROM "{table}" '
                                            f'WHERE {where}', _key(series)).fetchone()
        return count, _time(first), _time(last)
    records = load(database, series)
    times = [record.datetime for record in records]
    return len(times), min(times, default=None), max(times, default=None)


def _time(value: object) -> datetime | None:
    if value is None or isinstance(value, datetime):
        return value
    return datetime.fromisoformat(str(value))


# --- the checks ----------------------------------------------------------------------------


def in_sessions(moment: datetime) -> bool:
    wall = moment.astimezone(CHINA_TZ).time()
    return any(begin <= wall <= end for begin, end in SESSIONS)


def service_minutes(source: Source, series: Series, calendar: Calendar, days: Sequence[date]) -> Minutes:
    symbol, exchange, interval = series
    found: Minutes = Counter()
    for window in trading_windows(days, interval, calendar):
        for record in source.records(symbol, exchange, interval, window, calendar):
            found[record.datetime.astimezone(CHINA_TZ).replace(second=0, microsecond=0)] += 1
    return found


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


def check_overview(label: str, database: BaseDatabase, series: Series) -> list[Finding]:
    held = holdings(database).get(series)
    count, first, last = rows_overview(database, series)
    kept = (held.count, held.first, held.last) if held else (0, None, None)
    rows = (count, china(first) if first else None, china(last) if last else None)
    shown = (kept[0], kept[1].astimezone(CHINA_TZ) if kept[1] else None,
             kept[2].astimezone(CHINA_TZ) if kept[2] else None)
    if rows != shown:
        return [Finding(label, None, "overview", messages.overview_disagrees(shown, rows))]
    return []


def stored_series(database: BaseDatabase, named: Sequence[tuple[str, Exchange]]) -> list[Series]:
    found = sorted((key for key in holdings(database) if key[1] is not None and key[2] is not None),
                   key=lambda key: (key[0], cast(Exchange, key[1]).value, cast(Interval, key[2]).value))
    series = [cast(Series, key) for key in found]
    if named:
        wanted = set(named)
        series = [s for s in series if (s[0], s[1]) in wanted]
    return series


def continuous_commands(database: BaseDatabase, lab: str | None) -> dict[str, remembered.Command]:
    """The remembered continuous commands, by the symbol each saves under."""
    found = {}
    for entry in remembered.memory(database, lab).entries():
        command = entry.command
        if command["command"] == "continuous":
            for product in command["products"]:
                found[command["name"] or f"{product}888"] = {**command, "product": product}
    return found


def verify_series(source: Source, database: BaseDatabase, series: Series, report: Report,
                  continuous: dict[str, remembered.Command], repair: bool) -> None:
    symbol, exchange, interval = series
    label = f"{symbol}.{exchange.value} {interval.value}"
    if interval not in (Interval.DAILY, Interval.HOUR, Interval.MINUTE, Interval.TICK):
        report.skipped.append(f"{label}: {messages.NOT_CHECKED_INTERVAL}")
        return
    if symbol in continuous:
        verify_continuous(source, database, series, continuous[symbol], report, repair)
        return
    try:
        source.reference.check_contract(symbol, exchange)
    except FeedError as failure:
        report.skipped.append(f"{label}: {messages.not_a_contract(failure_text(failure))}")
        return
    stored = stored_minutes(database, series)
    if not stored:
        report.findings += check_overview(label, database, series)
        return
    days = sorted({WEEKDAYS.trading_day(moment, interval) for moment in stored})
    first, last = days[0], days[-1]
    calendar = Calendar(source.trading_days(symbol, exchange, first, last))
    served = service_minutes(source, series, calendar, calendar.days)
    found = compare_days(label, series, calendar, stored, served, first, last)
    for moment, defect in bad_values(database, series):
        found.append(Finding(label, calendar.trading_day(moment, interval), defect,
                             messages.bad_value(defect, moment)))
    overview = check_overview(label, database, series)
    found = merge(found)
    report.checked.append(label)
    report.findings += found + overview
    wrong = sorted({finding.day for finding in found if finding.day is not None})
    if repair and wrong:
        repair_days(source, database, series, calendar, wrong, report)
    if repair and (overview or wrong) and dialect_of(database) is not None:
        rewrite_overview(database, series)
        if overview:
            report.repaired.append(messages.overview_rewritten(label))


def merge(findings: list[Finding]) -> list[Finding]:
    """One finding per series, day and defect (the first of each), in day order."""
    seen: dict[tuple[date | None, str], Finding] = {}
    for finding in findings:
        seen.setdefault((finding.day, finding.defect), finding)
    return sorted(seen.values(), key=lambda f: (f.day or date.min, f.defect))


# --- repairing -----------------------------------------------------------------------------


def repair_days(source: Source, database: BaseDatabase, series: Series, calendar: Calendar, days: list[date],
                report: Report) -> None:
    """The days fetched again and put in place of what was stored of them, a window at a
    time, each in one transaction."""
    symbol, exchange, interval = series
    label = f"{symbol}.{exchange.value} {interval.value}"
    from .research.lab import LabStore

    dialect = dialect_of(database)
    lab = database if isinstance(database, LabStore) else None
    if dialect is None and lab is None:
        report.failures.append(messages.cannot_repair(label, type(database).__module__))
        return
    # Only the days found: each run of them that neighbour in the calendar (days the
    # contract did not trade on included) makes its own windows.
    every = Calendar(sorted(set(calendar.days) | set(days)))
    windows = [window for run in runs(every.days, set(days)) for window in trading_windows(run, interval, every)]
    for window in windows:
        try:
            records = source.records(symbol, exchange, interval, window, calendar)
        except FeedError as failure:
            report.failures.append(f"{label} {window.first}..{window.last}: {failure_text(failure)}")
            continue
        spans = calendar.spans(window.first, window.last, interval, window.first - NIGHT_SLACK, window.last)
        if lab is not None:
            replace_lab_days(lab, series, spans, cast(list[BarData], records))
            report.repaired.append(messages.days_replaced(label, window.first, window.last, len(records)))
            continue
        db = getattr(database, "db")
        table, where = _where(interval, db.param)
        with db.atomic():
            for begin, end in spans:
                low, high = vn_database.convert_tz(begin), vn_database.convert_tz(end)
                bounds = (str(low), str(high)) if dialect == "sqlite" else (low, high)
                db.execute_sql(f'DELETE FROM "{table}" WHERE {where} AND "datetime" >= {db.param} AND '
                               f'"datetime" < {db.param}', (*_key(series), *bounds))
            if interval == Interval.TICK:
                store.save_ticks(database, cast(list[TickData], records))
            else:
                store.save_bars(database, cast(list[BarData], records))
        report.repaired.append(messages.days_replaced(label, window.first, window.last, len(records)))


def replace_lab_days(lab: LabStore, series: Series, spans: list[tuple[datetime, datetime]],
                     bars: list[BarData]) -> None:
    """The lab file's bars inside `spans` (China time) replaced by `bars`, the file
    rewritten whole through a file renamed into place."""
    import polars as pl

    from .files import replacing
    from .research.lab import bar_file, bars_frame, lab_frame

    symbol, exchange, interval = series
    path = bar_file(lab.lab, f"{symbol}.{exchange.value}", interval)
    held = pl.read_parquet(path)
    time_ = pl.col("datetime")
    inside = pl.any_horizontal(time_.is_between(begin.replace(tzinfo=None), end.replace(tzinfo=None), closed="left")
                               for begin, end in spans) if spans else pl.lit(False)
    kept = held.filter(~inside)
    merged = pl.concat([kept, lab_frame(bars_frame(bars))]) if bars else kept
    with replacing(path) as temporary:
        merged.sort("datetime").write_parquet(temporary)


def rewrite_overview(database: BaseDatabase, series: Series) -> None:
    """The series' overview entry set from its rows (removed when it has none)."""
    db = getattr(database, "db")
    table, where = _where(series[2], db.param)
    overview = "dbtickoverview" if series[2] == Interval.TICK else "dbbaroverview"
    with db.atomic():
        count, first, last = db.execute_sql(f'SELECT count(*), min("datetime"), max("datetime") FROM "{table}" '
                                            f'WHERE {where}', _key(series)).fetchone()
        if not count:
            db.execute_sql(f'DELETE FROM "{overview}" WHERE {where}', _key(series))
            return
        cursor = db.execute_sql(f'UPDATE "{overview}" SET "count" = {db.param}, "start" = {db.param}, '
                                f'"end" = {db.param} WHERE {where}', (count, first, last, *_key(series)))
        if not cursor.rowcount:
            columns = '"symbol", "exchange"' + ("" if series[2] == Interval.TICK else ', "interval"')
            marks = ", ".join([db.param] * (len(_key(series)) + 3))
            db.execute_sql(f'INSERT INTO "{overview}" ({columns}, "count", "start", "end") VALUES ({marks})',
                           (*_key(series), count, first, last))


# --- continuous series ---------------------------------------------------------------------


def verify_continuous(source: Source, database: BaseDatabase, series: Series, command: remembered.Command,
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
                                  command["adjust"], command["name"])
    except FeedError as failure:
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
        store.replace_bars(database, rebuilt.name, rebuilt.exchange, interval, rebuilt.bars)
        report.repaired.append(messages.series_rebuilt(label, len(rebuilt.bars)))


BAR_FIELDS = ("open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")


def bar_values(bar: BarData) -> tuple[float, ...]:
    return tuple(float(getattr(bar, name)) for name in BAR_FIELDS)


def stored_bars(database: BaseDatabase, series: Series) -> dict[datetime, tuple[float, ...]]:
    """The stored bars of `series` by China time: read by a query with vnpy_sqlite and
    vnpy_postgresql (whatever the machine's zone), else through the adapter."""
    if dialect_of(database) is None:
        return {china(bar.datetime): bar_values(bar) for bar in cast(list[BarData], load(database, series))}
    db = getattr(database, "db")
    table, where = _where(series[2], db.param)
    columns = ", ".join(f'"{name}"' for name in BAR_FIELDS)
    rows = db.execute_sql(f'SELECT "datetime", {columns} FROM "{table}" WHERE {where}', _key(series))
    return {china(cast(datetime, _time(row[0]))): tuple(map(float, row[1:])) for row in rows}


def same_bar(one: tuple[float, ...], other: tuple[float, ...], tolerance: float = 1e-6) -> bool:
    # vnpy_postgresql keeps prices in single precision (REAL): about 7 digits.
    return all(abs(a - b) <= tolerance * max(1.0, abs(b)) for a, b in zip(one, other))


# --- the command ---------------------------------------------------------------------------


def verify(args: argparse.Namespace, source: Source, database: BaseDatabase) -> int:
    """`verify`: one line per finding, what was repaired, a summary; 1 when anything was
    found (or could not be checked), 0 on a clean store."""
    report = Report()
    continuous = continuous_commands(database, args.lab)
    for series in stored_series(database, args.series):
        try:
            verify_series(source, database, series, report, continuous, args.repair)
        except FeedError as failure:
            report.failures.append(f"{series[0]}.{series[1].value} {series[2].value}: {failure_text(failure)}")
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
    return 1 if report.findings or report.failures else 0



