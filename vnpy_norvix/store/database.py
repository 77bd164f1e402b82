"""vn.py's database as a `Store` (base.py): its writer chosen once, for SQLite,
PostgreSQL or MySQL when the adapter's tables are the ones the bulk writers know, else
the adapter's own functions."""

from __future__ import annotations

import copy
import hashlib
import importlib
import time
from collections import Counter
from collections.abc import Callable, Sequence
from datetime import date, datetime, timedelta, timezone
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar

import vnpy.trader.database as vn_database
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BarOverview, BaseDatabase, TickOverview
from vnpy.trader.object import BarData, TickData

from norvix_datafeed import CHINA_TZ

from ..calendar import WEEKDAYS, Calendar, database_time
from .base import BAR_FIELDS, Minutes, Record, Series, Store, Stretch, china
from .days import DayRecord, counted_days, record_rows, replaced
from .schema import SHAPES

if TYPE_CHECKING:
    from .commands import CommandTable
    from .writer import Writer

R = TypeVar("R", BarData, TickData)

# The adapter classes whose tables the bulk writers know: (module, class) -> the writer's
# module. Nothing of peewee is imported unless the database is one of them: another
# adapter may come without it.
ADAPTERS = {
    ("vnpy_sqlite.sqlite_database", "SqliteDatabase"): "sqlite",
    ("vnpy_postgresql.postgresql_database", "PostgresqlDatabase"): "postgresql",
    ("vnpy_mysql.mysql_database", "MysqlDatabase"): "mysql",
}


def bulk_writer(database: BaseDatabase, shape_name: str) -> Writer | None:
    """The bulk writer for `database`'s tables of "bars" or "ticks", or None when they
    are not the ones it knows."""
    writer = sql_writer(database)
    if writer is None:
        return None
    from .schema import SHAPES, adapter_matches, field_class

    module = importlib.import_module(type(writer).__module__)
    if not adapter_matches(database, getattr(module, "declared", field_class)):
        return None
    return writer if writer.tables_match(SHAPES[shape_name]) else None


def sql_writer(database: BaseDatabase | None) -> Writer | None:
    """The writer of `database`'s SQL dialect, whatever its tables hold (for tables of
    this package's own beside vn.py's), or None for an adapter not of ADAPTERS."""
    cls = type(database)
    dialect = ADAPTERS.get((cls.__module__, cls.__name__))
    db = getattr(database, "db", None)  # the adapters of ADAPTERS hold their peewee database as `db`
    if dialect is None or db is None:
        return None
    writer: Writer = importlib.import_module(f"{__package__}.{dialect}").writer(db)
    return writer


def save_bars(database: BaseDatabase, bars: Sequence[BarData]) -> int | None:
    """The bars saved as `database.save_bar_data(bars)` saves them (nothing for none);
    how many rows that added, where the bulk writer counted them (None elsewhere)."""
    return _save(database, "bars", bars, database.save_bar_data)


def save_ticks(database: BaseDatabase, ticks: Sequence[TickData]) -> int | None:
    """The ticks saved as `database.save_tick_data(ticks)` saves them (nothing for none);
    how many rows that added, as `save_bars`."""
    return _save(database, "ticks", ticks, database.save_tick_data)


def _save(database: BaseDatabase, shape_name: str, records: Sequence[R],
          adapter_save: Callable[[list[R]], object]) -> int | None:
    if not records:
        return 0
    writer = bulk_writer(database, shape_name)
    if writer is None:
        adapter_save([copy.copy(record) for record in records])
        return None
    return writer.save_records(shape_name, records)


def shape_of(interval: Interval) -> str:
    return "ticks" if interval == Interval.TICK else "bars"


def series_key(symbol: str, exchange: Exchange, interval: Interval) -> tuple[str, ...]:
    """The series' key in its overview table (ticks have no interval there)."""
    if interval == Interval.TICK:
        return (symbol, exchange.value)
    return (symbol, exchange.value, interval.value)


def stored_span(begin: datetime, end: datetime) -> tuple[datetime, datetime]:
    """China times as the adapters store them: naive wall times in "database.timezone"."""
    return vn_database.convert_tz(begin), vn_database.convert_tz(end)


# The bulk writers a run found for its database, per "bars" and "ticks" (None: the
# adapter's methods), held by the run for all its windows.
Writers = dict[str, "Writer | None"]


def run_writer(database: BaseDatabase, shape_name: str, writers: Writers | None) -> Writer | None:
    """`bulk_writer(database, shape_name)`, asked once per run that keeps `writers`: the
    tables are checked before the run's first window of theirs, not before each (a
    round trip to the server each), as nothing else changes them while it writes."""
    if writers is None:
        return bulk_writer(database, shape_name)
    if shape_name not in writers:
        writers[shape_name] = bulk_writer(database, shape_name)
    return writers[shape_name]


def save_window(database: BaseDatabase, symbol: str, exchange: Exchange, interval: Interval,
                records: Sequence[BarData | TickData], days: dict[date, int], fetched: datetime,
                calendar: Calendar = WEEKDAYS, writers: Writers | None = None,
                recorded: dict[date, DayRecord] | None = None) -> int | None:
    """The records of one window (ticks may be held as columns: ticks.TickColumns, whose
    rows the bulk writers take from the columns and which another adapter reads as
    TickData, a window at a time), fetched at `fetched`, holding `days[day]` records of
    each trading day of it, saved; how many rows the series gained (None where the adapter
    saves). With the bulk writers, in one transaction: what was stored of each day with
    records in the window is deleted, the records saved, and each day's completeness
    recorded (days.py). With another adapter the records are saved through its own
    method (a later fetch of a day overwrites it record by record) and nothing is
    recorded. `recorded` is how each day stands as judged against the service's daily
    bars (days.judge); without it, by the clock alone (days.counted_days). A run saving
    many windows keeps `writers` (run_writer)."""
    writer = run_writer(database, shape_of(interval), writers)
    if writer is None:
        if interval == Interval.TICK:
            return save_ticks(database, records)  # type: ignore[arg-type]  # the ticks of a tick window
        return save_bars(database, records)  # type: ignore[arg-type]  # the bars of a bar window
    if recorded is None:
        recorded = counted_days(days, fetched)
    spans = [stored_span(*calendar.bounds(day, interval)) for day in replaced(recorded)]
    return writer.save_window(shape_of(interval), records, series_key(symbol, exchange, interval), spans,
                       record_rows(symbol, exchange.value, interval, recorded))


def day_records(database: BaseDatabase, symbol: str, exchange: Exchange, interval: Interval, first: date,
                last: date) -> dict[date, DayRecord] | None:
    """The completeness record of the series' trading days [first, last]: each recorded
    day's count and how it stood (days.py); None when the database keeps no record (an
    adapter other than vnpy_sqlite, vnpy_postgresql and vnpy_mysql)."""
    return recorded_days(bulk_writer(database, shape_of(interval)), (symbol, exchange, interval), first, last)


def recorded_days(writer: Writer | None, series: Series, first: date, last: date) -> dict[date, DayRecord] | None:
    """`day_records` through `writer` (None: the database keeps no record)."""
    if writer is None:
        return None
    key = (series[0], series[1].value, series[2].value)
    return {date.fromisoformat(day): DayRecord.stored(count, state, detail)
            for day, count, state, detail in writer.day_records(key, first.isoformat(), last.isoformat())}


def held_days(database: BaseDatabase, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
              calendar: Calendar = WEEKDAYS) -> set[date] | None:
    """`Store.held_days` of vn.py's database (None when it keeps no record)."""
    return DatabaseStore(database).held_days((symbol, exchange, interval), first, last, calendar)


def day_counts(database: BaseDatabase, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
               calendar: Calendar = WEEKDAYS) -> dict[date, int]:
    """The records the database holds of each trading day of [first, last] that it holds
    any of: counted per hour (or minute) of their stored time (`time_counts`), each hour
    filed under its trading day (`calendar` tells the trading days, for night sessions
    before a holiday)."""
    begin, end = calendar.bounds(first, interval)[0], calendar.bounds(last, interval)[1]
    counts: dict[date, int] = {}
    # Stored times are wall times of "database.timezone": an hour of them lies within one
    # hour of China time, where the day's boundaries are, unless the zones differ by a
    # part of an hour.
    unit = "hour" if whole_hours_apart(begin, end) else "minute"
    hours = time_counts(database, symbol, exchange, interval, begin, end, unit)
    for moment, count in hours:
        day = calendar.trading_day(moment.astimezone(CHINA_TZ), interval)
        if first <= day <= last:
            counts[day] = counts.get(day, 0) + count
    return counts


def time_counts(database: BaseDatabase, symbol: str, exchange: Exchange, interval: Interval, begin: datetime,
                end: datetime, unit: str) -> list[tuple[datetime, int]]:
    """The records the database holds of the series at times in [begin, end), counted per
    "hour" or "minute" of their stored time (aware, in "database.timezone"): by an
    aggregate query over the table's unique index with vnpy_sqlite, vnpy_postgresql and
    vnpy_mysql (Writer.time_counts), else from the records its own load functions give."""
    writer = bulk_writer(database, shape_of(interval))
    if writer is not None:
        found = writer.time_counts(shape_of(interval), series_key(symbol, exchange, interval),
                                   *stored_span(begin, end), unit)
        return [(database_time(moment), count) for moment, count in found]
    start, stop = stored_span(begin, end)
    if interval == Interval.TICK:
        loaded: Sequence[BarData | TickData] = database.load_tick_data(symbol, exchange, start, stop)
    else:
        loaded = database.load_bar_data(symbol, exchange, interval, start, stop)
    times = [database_time(record.datetime) for record in loaded]
    return list(Counter(moment.replace(minute=0 if unit == "hour" else moment.minute, second=0, microsecond=0)
                        for moment in times if begin <= moment < end).items())


def whole_hours_apart(begin: datetime, end: datetime) -> bool:
    """Whether China time and "database.timezone" differ by whole hours over [begin, end],
    so that every hour of stored time lies in one hour of China time."""
    moments = [begin, end, begin + (end - begin) / 2]
    return all((m.astimezone(vn_database.DB_TZ).utcoffset() or timedelta()) % timedelta(hours=1) == timedelta()
               for m in moments)


def replace_bars(database: BaseDatabase, symbol: str, exchange: Exchange, interval: Interval,
                 bars: Sequence[BarData], rolls: Sequence[dict[str, object]] | None = None) -> None:
    """The stored bars of (symbol, exchange, interval) replaced by `bars`, which must
    all be of that series and must not be empty (`delete_bar_data` deletes a series);
    with `rolls`, a continuous series' roll table (rolls.py) is replaced with them.

    With vnpy_sqlite, vnpy_postgresql and vnpy_mysql: one transaction, so that either the new series
    is stored or the old one is still there. With another adapter, whose methods cannot
    share a transaction: the old series is read first, then deleted and the new one saved;
    if that fails or is interrupted, the old series is saved back. A process killed in
    between, or a failure while saving the old series back, leaves it lost there."""
    if not bars:
        raise ValueError(f"no bars to replace the stored {symbol}.{exchange.value} {interval.value} series with")
    for bar in bars:
        if (bar.symbol, bar.exchange, bar.interval) != (symbol, exchange, interval):
            raise ValueError(f"a bar of {bar.vt_symbol} {bar.interval} among the bars of "
                             f"{symbol}.{exchange.value} {interval.value}")
    writer = bulk_writer(database, "bars")
    if writer is not None:
        key = (symbol, exchange.value, interval.value)
        also = None
        if rolls is not None:
            from . import rolls as roll_table

            roll_table.create(writer)
            also = lambda: roll_table.replace(writer, key, rolls)  # noqa: E731
        writer.save_records("bars", bars, replacing=key, also=also)
        return
    held: list[BarData] = []
    for overview in database.get_bar_overview():
        if (overview.symbol, overview.exchange, overview.interval) == (symbol, exchange, interval) and overview.count:
            # An overview with a count has its start and end, which vn.py types as optional.
            held = database.load_bar_data(symbol, exchange, interval, overview.start, overview.end)  # type: ignore[arg-type]
    copies = [copy.copy(bar) for bar in bars]
    try:
        database.delete_bar_data(symbol, exchange, interval)
        database.save_bar_data(copies)
    except BaseException:
        database.delete_bar_data(symbol, exchange, interval)
        if held:
            database.save_bar_data(held)
        raise


# The names the settings give vn.py's server databases, with their usual ports.
SERVERS = {"postgresql": ("PostgreSQL", 5432), "mysql": ("MySQL", 3306)}


def configured() -> str:
    """Which database vn.py's settings name, as `describe` words it, without opening it
    (a run's first line names its store before anything is opened or created)."""
    from vnpy.trader.setting import SETTINGS
    from vnpy.trader.utility import get_file_path

    name = str(SETTINGS.get("database.name") or "sqlite")
    if name == "sqlite":
        return f"SQLite {get_file_path(str(SETTINGS.get('database.database') or 'database.db'))}"
    label, port = SERVERS.get(name, (name, ""))
    return (f"{label} {SETTINGS.get('database.host') or 'localhost'}:{SETTINGS.get('database.port') or port}/"
            f"{SETTINGS.get('database.database')}")


def describe(database: BaseDatabase) -> str:
    """Which database: the SQLite file, the PostgreSQL or MySQL server and database, or the adapter."""
    cls = type(database)
    dialect = ADAPTERS.get((cls.__module__, cls.__name__))
    db = getattr(database, "db", None)
    if dialect is not None and db is not None:
        return describe_db(dialect, db)
    return cls.__module__


def describe_db(dialect: str, db: object) -> str:
    """The database of a peewee database object of `dialect` (a key of ADAPTERS' values)."""
    name = getattr(db, "database", "")
    if dialect == "sqlite":
        return f"SQLite {name}"
    params = getattr(db, "connect_params", {})
    default_port = 5432 if dialect == "postgresql" else 3306
    label = "PostgreSQL" if dialect == "postgresql" else "MySQL"
    return f"{label} {params.get('host') or 'localhost'}:{params.get('port') or default_port}/{name}"


def machine_zone_warning() -> str | None:
    """Why loaded times would be shifted, when "database.timezone" and the machine's zone
    differ: vn.py's SQLite, PostgreSQL and MySQL adapters store naive times in the former and
    read them back in the latter."""
    from vnpy.trader.database import DB_TZ

    now = datetime.now(timezone.utc)
    moments = [now, now.replace(month=1, day=1), now.replace(month=7, day=1)]
    if all(m.astimezone(DB_TZ).utcoffset() == m.astimezone().utcoffset() for m in moments):
        return None
    try:
        from tzlocal import get_localzone_name

        local = get_localzone_name() or time.tzname[0]
    except Exception:  # no zone name to be found: the abbreviation will do
        local = time.tzname[0]
    return (f'"database.timezone" is {DB_TZ.key} but this machine runs in {local}: vn.py\'s database adapters '
            "read the stored times back in the machine's zone, so loaded bars and ticks come out shifted. "
            "Run vn.py in the database's zone (e.g. TZ=" + DB_TZ.key + ") or set the two alike.")


# Every time a series may be stored at, for reading it whole.
EVERY_TIME = (datetime(1900, 1, 1, tzinfo=CHINA_TZ), datetime(2200, 1, 1, tzinfo=CHINA_TZ))


def try_server_lock(dialect: str, cursor: Any, name: str) -> bool:
    """Whether PostgreSQL's advisory lock or MySQL's named lock `name` was taken, by the
    connection of `cursor` (held until it closes)."""
    if dialect == "postgresql":
        key = int.from_bytes(hashlib.sha256(name.encode()).digest()[:8], "big", signed=True)
        cursor.execute("SELECT pg_try_advisory_lock(%s)", (key,))
    else:
        cursor.execute("SELECT GET_LOCK(%s, 0)", (name,))
    row = cursor.fetchone()
    return bool(row and row[0])


class DatabaseStore(Store):
    """vn.py's database: rows and the completeness record through the bulk writers where
    they know the tables, else through the adapter's load and save functions."""

    def __init__(self, database: BaseDatabase) -> None:
        self.database = database
        self.writers: Writers = {}  # per "bars" and "ticks", found once (None: the adapter's functions)
        self.sql = sql_writer(database)  # the dialect's writer, for this package's own tables

    def writer(self, interval: Interval) -> Writer | None:
        shape = shape_of(interval)
        if shape not in self.writers:
            self.writers[shape] = bulk_writer(self.database, shape)
        return self.writers[shape]

    # --- the protocol's primitives ---

    def describe(self) -> str:
        return describe(self.database)

    def overviews(self) -> list[tuple[BarOverview | TickOverview, Interval | None]]:
        found: list[tuple[BarOverview | TickOverview, Interval | None]] = [
            (o, o.interval) for o in self.database.get_bar_overview()]
        return found + [(o, Interval.TICK) for o in self.database.get_tick_overview()]

    @property
    def keeps_record(self) -> bool:
        return self.sql is not None

    def day_records(self, series: Series, first: date, last: date) -> dict[date, DayRecord] | None:
        # The run's writer: its tables checked once, not before each series' planning.
        return recorded_days(self.writer(series[2]), series, first, last)

    def recorded_total(self, series: Series) -> int:
        writer = self.writer(series[2])
        return 0 if writer is None else writer.recorded_total((series[0], series[1].value, series[2].value))

    def rows_total(self, series: Series) -> int:
        writer = self.writer(series[2])
        if writer is None:
            return len(self.load(series))
        return writer.count(SHAPES[shape_of(series[2])], [series_key(*series)])

    def day_counts(self, series: Series, first: date, last: date, calendar: Calendar = WEEKDAYS) -> dict[date, int]:
        return day_counts(self.database, *series, first, last, calendar)

    def lock_file(self) -> Path:
        if ADAPTERS.get(self._adapter()) == "sqlite":
            return Path(f"{getattr(self.database, 'db').database}.norvix.lock")
        from vnpy.trader.utility import get_file_path

        return get_file_path(f"norvix-{self.digest()}.lock")

    def commands_file(self) -> Path:
        from vnpy.trader.utility import get_file_path

        return get_file_path(f"norvix_commands-{self.digest()}.json")

    def command_table(self) -> CommandTable | None:
        from .commands import CommandTable

        return None if self.sql is None else CommandTable(self.sql)

    def server(self) -> tuple[str, Any] | None:
        """The dialect and peewee database of a PostgreSQL or MySQL server (its own lock)."""
        dialect, db = ADAPTERS.get(self._adapter()), getattr(self.database, "db", None)
        return (dialect, db) if dialect in ("postgresql", "mysql") and db is not None else None

    def digest(self) -> str:
        """A short name for the database, the same for every run that opens it."""
        from vnpy.trader.setting import SETTINGS

        keys = ("database.name", "database.host", "database.port", "database.database")
        identity = "|".join([self.describe(), *(str(SETTINGS.get(key)) for key in keys)])
        return hashlib.sha256(identity.encode()).hexdigest()[:16]

    def _adapter(self) -> tuple[str, str]:
        cls = type(self.database)
        return cls.__module__, cls.__name__

    def replace_series(self, series: Series, bars: Sequence[BarData],
                       rolls: Sequence[dict[str, Any]] | None = None) -> None:
        replace_bars(self.database, *series, bars, rolls)

    def save_window(self, series: Series, records: Sequence[Record], days: dict[date, int], fetched: datetime,
                    calendar: Calendar, recorded: dict[date, DayRecord] | None = None) -> int | None:
        return save_window(self.database, *series, records, days, fetched, calendar, self.writers, recorded)

    def load(self, series: Series) -> Sequence[Record]:
        """Every stored record of `series`, through the adapter."""
        symbol, exchange, interval = series
        first, last = datetime(1990, 1, 1), datetime(2200, 1, 1)
        if interval == Interval.TICK:
            return self.database.load_tick_data(symbol, exchange, first, last)
        return self.database.load_bar_data(symbol, exchange, interval, first, last)

    # --- what `verify` reads and repairs ---

    def _where(self, writer: Writer, interval: Interval) -> tuple[str, str]:
        layout = SHAPES[shape_of(interval)]
        return writer.name(layout.table), writer.matching(layout.key)

    def minute_counts(self, series: Series, begin: datetime | None = None, end: datetime | None = None) -> Minutes:
        """The records stored of `series` per minute of China time (those in [begin, end))."""
        found: Minutes = Counter()
        for moment, count in time_counts(self.database, *series, begin or EVERY_TIME[0], end or EVERY_TIME[1],
                                         "minute"):
            found[china(moment)] += count
        return found

    def stretches(self, series: Series) -> list[Stretch]:
        """The stored records of `series` summed up per hour of China time by one aggregate
        query, where the writer knows the tables and an hour of stored time is one of China
        time ("database.timezone" whole hours from it)."""
        writer = self.writer(series[2])
        if writer is None:
            return super().stretches(series)
        count, first, last = self._row_span(writer, series)
        if first is None or last is None:
            return []
        if not whole_hours_apart(database_time(first), database_time(last)):
            return super().stretches(series)
        found = []
        for hour, rows, earliest, latest, *bar in writer.stretches(shape_of(series[2]), series_key(*series)):
            found.append(Stretch(china(writer.read_truncated(hour)), int(rows), china(writer.read_time(earliest)),
                                 china(writer.read_time(latest)),
                                 (float(bar[3]), float(bar[0]), float(bar[1]), float(bar[4]), float(bar[2]))
                                 if bar else None))
        return sorted(found, key=lambda stretch: stretch.begin)  # China time's order, whatever the zone's

    def bad_values(self, series: Series) -> list[tuple[datetime, str]]:
        """Stored records whose values cannot be: (China time, what is wrong)."""
        writer = self.writer(series[2])
        if writer is None:
            return super().bad_values(series)
        table, where = self._where(writer, series[2])
        q = writer.name
        if series[2] == Interval.TICK:
            checks = {"prices": f"{q('last_price')} <= 0 OR {q('high_price')} < {q('low_price')}",
                      "volume": f"{q('volume')} < 0"}
        else:
            checks = {"prices": f"{q('high_price')} < {q('open_price')} OR {q('high_price')} < {q('close_price')} "
                                f"OR {q('low_price')} > {q('open_price')} OR {q('low_price')} > {q('close_price')}",
                      "volume": f"{q('volume')} < 0 OR {q('turnover')} < 0 OR {q('open_interest')} < 0"}
        found = []
        for defect, check in checks.items():
            for (stored,) in writer.execute(f"SELECT {q('datetime')} FROM {table} WHERE {where} AND ({check})",
                                            series_key(*series)):
                found.append((china(writer.read_time(stored)), defect))
        return found

    def row_span(self, series: Series) -> tuple[int, datetime | None, datetime | None]:
        """The count, first and last stored time (China time) of the series' rows."""
        writer = self.writer(series[2])
        if writer is None:
            return super().row_span(series)
        count, first, last = self._row_span(writer, series)
        return count, None if first is None else china(first), None if last is None else china(last)

    def _row_span(self, writer: Writer, series: Series) -> tuple[int, datetime | None, datetime | None]:
        table, where = self._where(writer, series[2])
        moment = writer.name("datetime")
        found = writer.execute(f"SELECT COUNT(*), MIN({moment}), MAX({moment}) FROM {table} WHERE {where}",
                               series_key(*series)).fetchone()
        count, first, last = found if found else (0, None, None)
        return (int(count), None if first is None else writer.read_time(first),
                None if last is None else writer.read_time(last))

    def stored_bars(self, series: Series) -> dict[datetime, tuple[float, ...]]:
        """The stored bars of `series` by China time (read by a query where the writer
        knows the tables, whatever the machine's zone)."""
        writer = self.writer(series[2])
        if writer is None:
            return super().stored_bars(series)
        table, where = self._where(writer, series[2])
        rows = writer.execute(f"SELECT {writer.names(('datetime', *BAR_FIELDS))} FROM {table} WHERE {where}",
                              series_key(*series))
        return {china(writer.read_time(row[0])): tuple(map(float, row[1:])) for row in rows}

    def table_series(self) -> set[Series]:
        """The series the tables hold rows of, whatever their overviews say: read by one
        DISTINCT over each table's unique index."""
        found: set[Series] = set()
        for interval in (Interval.MINUTE, Interval.TICK):
            writer = self.writer(interval)
            if writer is None:
                continue
            layout = SHAPES[shape_of(interval)]
            for row in writer.execute(f"SELECT DISTINCT {writer.names(layout.key)} FROM {writer.name(layout.table)}"):
                try:
                    found.add((row[0], Exchange(row[1]), Interval(row[2]) if len(row) > 2 else Interval.TICK))
                except ValueError:
                    continue  # an exchange or interval vn.py does not know: not a series it can load
        return found

    def can_repair(self, interval: Interval) -> bool:
        return self.writer(interval) is not None

    def replace_days(self, series: Series, spans: Sequence[tuple[datetime, datetime]],
                     records: Sequence[Record]) -> None:
        """What was stored in the China-time `spans` deleted and `records` saved, in one
        transaction (the completeness record is left alone: a repaired day holds again the
        rows it recorded)."""
        writer = self.writer(series[2])
        assert writer is not None
        writer.save_window(shape_of(series[2]), records, series_key(*series),
                           [stored_span(begin, end) for begin, end in spans], ())

    def rewrite_overview(self, series: Series) -> bool:
        """The series' overview entry set from its rows (removed when it has none), in one
        transaction; False where the adapter keeps its own."""
        writer = self.writer(series[2])
        if writer is None:
            return False
        layout = SHAPES[shape_of(series[2])]
        overview, where, p = writer.name(layout.overview), writer.matching(layout.key), writer.param
        key = series_key(*series)
        with writer.transaction():
            count, first, last = self._row_span(writer, series)
            if not count:
                writer.execute(f"DELETE FROM {overview} WHERE {where}", key)
                return True
            # Looked up rather than judged by an UPDATE's row count: MySQL counts only the
            # rows an UPDATE changed.
            if writer.execute(f"SELECT 1 FROM {overview} WHERE {where}", key).fetchone() is None:
                writer.execute(f"INSERT INTO {overview} ({writer.names((*layout.key, 'count', 'start', 'end'))}) "
                               f'VALUES ({", ".join([p] * (len(key) + 3))})', (*key, count, first, last))
                return True
            updated = ", ".join(f"{writer.name(column)} = {p}" for column in ("count", "start", "end"))
            writer.execute(f"UPDATE {overview} SET {updated} WHERE {where}", (count, first, last, *key))
        return True
