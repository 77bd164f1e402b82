"""What the bulk writers do alike: one transaction per call, the records upserted,
the overview entry kept as the adapter keeps it. A download's window, which replaces
whole trading days, is inserted instead where none of its rows can meet a stored one
once its days are deleted (`all_new`): nothing to look up, nothing to count.

The adapter's overview rules, reproduced with their quirks: the entry belongs to the
first record's symbol, exchange (and interval), whatever the others are. A new entry
takes the first and the last record's times (in list order, not the earliest and
latest) and the number of records given. An existing one takes the earlier of its start
and the first record's time, the later of its end and the last record's time, and the
number of rows the table now holds under its key. A writer counts those once per series
(the count scans the series, which a download saves window after window); once it has
set an entry's count itself, its later saves add what they inserted less what they
deleted.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from bisect import bisect_left
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager
from datetime import datetime
from operator import itemgetter, lt
from typing import Any, Protocol

from vnpy.trader.object import BarData, TickData

from . import days as day_record
from .schema import SHAPES, Key, TableShape, Row, text


def quoted(names: Sequence[str]) -> str:
    return ", ".join(f'"{name}"' for name in names)


class Results(Protocol):
    rowcount: int

    def fetchone(self) -> tuple[Any, ...] | None: ...

    def __iter__(self) -> Iterator[tuple[Any, ...]]: ...


class PeeweeDatabase(Protocol):
    """What the writers use of the adapter's peewee database."""

    param: str  # the driver's placeholder

    def atomic(self, *args: object, **kwargs: object) -> AbstractContextManager[object]: ...

    def execute_sql(self, sql: str, params: tuple[object, ...]) -> Results: ...

    def cursor(self) -> Any: ...  # the driver's own cursor: sqlite3's, psycopg2's or pymysql's

    def connection(self) -> Any: ...  # the driver's own connection


class Writer(ABC):
    """Writes into the tables of the adapter's peewee database `db`."""

    QUOTE = '"'  # the SQL dialect's quote around a name
    # Whether `upsert` returns how many rows the table gained, as the server counted them
    # (else they are counted before and after); how many time spans one DELETE takes, and
    # how many of the completeness record's rows one INSERT: a statement is a round trip,
    # which the fetching threads lengthen.
    NET_CHANGES = False
    SPANS = 64
    DAYS_PER_STATEMENT = 100

    def __init__(self, db: PeeweeDatabase) -> None:
        self.db = db
        self.param = db.param
        # The series (table, key) whose overview count this writer set from a count of
        # their rows and has kept since by what its saves changed, committed: exact while
        # every write to them goes through a writer or the adapter (which recounts).
        self.counted: set[tuple[str, Row]] = set()

    def execute(self, sql: str, params: Sequence[object] = ()) -> Results:
        return self.db.execute_sql(sql, tuple(params))

    def transaction(self) -> AbstractContextManager[object]:
        """One transaction of a save, which reads before it writes."""
        return self.db.atomic()

    def name(self, name: str) -> str:
        return f"{self.QUOTE}{name}{self.QUOTE}"

    def names(self, names: Sequence[str]) -> str:
        return ", ".join(map(self.name, names))

    def matching(self, column: Key) -> str:
        return " AND ".join(f"{self.name(name)} = {self.param}" for name in column)

    @abstractmethod
    def table_columns(self, table: str) -> set[str]:
        """The columns the table in the database has (none when it is missing)."""

    @abstractmethod
    def unique_indexes(self, table: str) -> set[frozenset[str]]:
        """The column sets of the table's unique indexes."""

    @abstractmethod
    def upsert(self, shape: TableShape, rows: list[Row]) -> int | None:
        """The rows into the shape's table, a row with a stored key replacing it as the
        adapter replaces it; how many rows the table gained, where NET_CHANGES."""

    @abstractmethod
    def truncated(self, column: str, unit: str) -> str:
        """SQL for a stored time cut to its "hour" or "minute" (read back by `read_truncated`)."""

    @abstractmethod
    def read_truncated(self, value: object) -> datetime:
        """A time `truncated` gives, as a naive wall time."""

    TEXT_TYPE = "TEXT"
    SERIAL_KEY = "SERIAL PRIMARY KEY"  # an integer key the database numbers

    def unique_text(self, column: str) -> str:
        """The clause of a table's definition that keeps a TEXT column's values unique
        (nothing where the dialect cannot index such a column)."""
        return f", UNIQUE ({column})"

    def text_times(self) -> bool:
        """Whether the driver stores a naive time as its `str()`, so that the rows may hold
        that text instead."""
        return False

    def read_time(self, value: object) -> datetime:
        """A time as the driver hands it back, as the adapter's model reads it."""
        return value  # type: ignore[return-value]  # a driver that hands back datetimes

    def catalogue(self, tables: Sequence[str]) -> dict[str, tuple[set[str], set[frozenset[str]]]]:
        """Each table's columns and unique indexes (`table_columns`, `unique_indexes`)."""
        return {table: (self.table_columns(table), self.unique_indexes(table)) for table in tables}

    def tables_match(self, shape: TableShape) -> bool:
        """The database's tables have the shape's columns and unique indexes."""
        found = self.catalogue((shape.table, shape.overview))
        (columns, indexes), (overview_columns, overview_indexes) = found[shape.table], found[shape.overview]
        return (columns == {"id", *shape.columns} and frozenset(shape.unique) in indexes
                and overview_columns == {"id", *shape.key, "count", "start", "end"}
                and frozenset(shape.key) in overview_indexes)

    def save_records(self, shape_name: str, records: Sequence[BarData | TickData], replacing: Row | None = None,
                     also: Callable[[], None] | None = None) -> int:
        """The "bars" or "ticks" saved in one transaction; with `replacing` (an overview
        key), what the database held under it is deleted first, in the same transaction,
        and `also` writes what belongs with the records in it too. Returns how many rows the series gained: counted inside the transaction, so
        another writer's rows are not taken for this one's (SQLite lets no other write
        in between; PostgreSQL's default isolation may)."""
        shape = SHAPES[shape_name]
        rows = shape.rows(records, self.text_times())
        if replacing is not None:
            replacing = tuple(map(text, replacing))
        keys = [] if self.NET_CHANGES else list(dict.fromkeys(map(shape.key_of, rows)))
        # A new entry takes the number of records given, whatever the table holds.
        self.counted = {series for series in self.counted if series[0] != shape.table}
        with self.transaction():
            before = self.count(shape, keys)
            deleted = 0
            if replacing is not None:
                deleted = self.execute(f"DELETE FROM {self.name(shape.table)} WHERE {self.matching(shape.key)}",
                                       replacing).rowcount
                self.execute(f"DELETE FROM {self.name(shape.overview)} WHERE {self.matching(shape.key)}", replacing)
            gained = self.upsert(shape, rows)
            self.update_overview(shape, rows)
            if also is not None:
                also()
            return self.gained(shape, keys, before, deleted, gained)

    def gained(self, shape: TableShape, keys: list[Row], before: int, deleted: int, gained: int | None) -> int:
        """How many rows a save added: from what the server said where NET_CHANGES, else
        counted again under `keys`."""
        return gained - deleted if gained is not None else self.count(shape, keys) - before

    def count(self, shape: TableShape, keys: list[Row]) -> int:
        """Rows stored under the overview keys `keys`."""
        where = self.matching(shape.key)
        return sum(next(iter(self.execute(f"SELECT COUNT(*) FROM {self.name(shape.table)} WHERE {where}", key)))[0]
                   for key in keys)

    def update_overview(self, shape: TableShape, rows: list[Row], change: int | None = None) -> bool:
        """The overview entry of the rows' series updated, or made; whether it was there.
        With `change`, its count is taken as exact before the save, which changed the
        series' rows by `change`: no count of them."""
        key = shape.key_of(rows[0])
        first, last = shape.time(rows[0]), shape.time(rows[-1])
        if self.overview_updated(shape, key, first, last, change):
            return True
        self.new_overview(shape, key, len(rows), first, last)
        return False

    def overview_updated(self, shape: TableShape, key: Row, first: datetime, last: datetime,
                         change: int | None = None) -> bool:
        """The series' overview entry, where it has one, given the earlier of its start and
        `first`, the later of its end and `last`, and the rows the table holds under `key`
        (its count plus `change`, where given); whether there was one."""
        where = self.matching(shape.key)
        overview, table = self.name(shape.overview), self.name(shape.table)
        # The table's rows under the key counted in the same query, where there is an entry.
        held = self.name("count") if change is not None else f"(SELECT COUNT(*) FROM {table} WHERE {where})"
        found = self.execute(f"SELECT {self.names(('id', 'start', 'end'))}, {held} FROM {overview} WHERE {where}",
                             (*key, *key) if change is None else key).fetchone()
        if found is None:
            return False
        p = self.param
        start, end = min(first, self.read_time(found[1])), max(last, self.read_time(found[2]))
        count = found[3] + (change or 0)
        updated = ", ".join(f"{self.name(column)} = {p}" for column in ("count", "start", "end"))
        self.execute(f"UPDATE {overview} SET {updated} WHERE {self.name('id')} = {p}", (count, start, end, found[0]))
        return True

    def new_overview(self, shape: TableShape, key: Row, count: int, first: datetime, last: datetime) -> None:
        """The overview entry of a series that has none."""
        self.execute(f"INSERT INTO {self.name(shape.overview)} ({self.names((*shape.key, 'count', 'start', 'end'))}) "
                     f'VALUES ({", ".join([self.param] * (len(shape.key) + 3))})', (*key, count, first, last))

    def save_window(self, shape_name: str, records: Sequence[BarData | TickData], key: Row,
                    spans: Sequence[tuple[datetime, datetime]], days: Sequence[tuple[object, ...]]) -> int:
        """One window's records saved in one transaction: the stored rows of the series `key`
        in `spans` ([begin, end) times as stored) deleted, the records saved, and the
        completeness record's rows `days` written, all or nothing. Returns how many rows
        the series gained, counted inside the transaction (as `save_records`)."""
        shape = SHAPES[shape_name]
        rows = shape.rows(records, self.text_times())
        key = tuple(map(text, key))
        if days:
            self.day_table_ready()
        series = (shape.table, key)
        known = series in self.counted
        self.counted.discard(series)  # until the save is committed
        if self.all_new(shape, rows, key, spans):
            with self.transaction():
                added, exact = self.save_new(shape, rows, key, spans, days, known)
        else:
            with self.transaction():
                keys = [] if self.NET_CHANGES else [key]
                before = self.count(shape, keys)
                deleted = self.delete_spans(shape, key, spans)
                gained: int | None = 0
                if rows:  # rows perhaps of other series, which the count covers
                    gained = self.upsert(shape, rows)
                    self.update_overview(shape, rows)
                if days:
                    self.record_days(days)
                added = self.gained(shape, keys, before, deleted, gained)
                exact = False
        if exact:
            self.counted.add(series)
        return added

    def time_digits(self, shape: TableShape) -> int:
        """The digits of a second's fraction the shape's table keeps of a time: two times
        that differ only beyond them are one key there (MySQL's keep fewer)."""
        return 6

    def all_new(self, shape: TableShape, rows: list[Row], key: Row, spans: Sequence[tuple[datetime, datetime]]) -> bool:
        """Whether no row can meet a stored one once the series' rows in `spans` are deleted
        (a download's window, which replaces whole trading days): each row is of series
        `key`, at a time within a span, and their times ascend as the table keeps them, so
        no two share a key. Such rows are inserted, not upserted, and counted as added."""
        if not rows:
            return True
        for i, value in zip(map(shape.columns.index, shape.key), key):
            if set(map(itemgetter(i), rows)) != {value}:
                return False
        # Times as text (text_times): str(datetime), whose order is the times' own.
        times = list(map(itemgetter(shape.columns.index("datetime")), rows))
        if set(map(type, times)) != {str} or not all(map(lt, times, times[1:])):
            return False
        dropped = "0" * (6 - self.time_digits(shape))  # the digits the table would not keep
        if dropped and not all(len(time) == 19 or time.endswith(dropped) for time in times):
            return False
        if not all(type(time) is datetime and time.tzinfo is None for span in spans for time in span):
            return False
        covered, reached = 0, ""
        for begin, end in sorted((str(begin), str(end)) for begin, end in spans):
            if begin < end:
                if begin < reached:  # overlapping spans would count their rows twice
                    return False
                covered += bisect_left(times, end) - bisect_left(times, begin)
                reached = end
        return covered == len(times)

    def save_new(self, shape: TableShape, rows: list[Row], key: Row, spans: Sequence[tuple[datetime, datetime]],
                 days: Sequence[tuple[object, ...]], known: bool = False) -> tuple[int, bool]:
        """save_window's transaction where `all_new`: the rows of the spans deleted, the
        rows inserted, the overview and the completeness record updated (the overview's
        count from what the save changed, where it was `known` exact); how many rows the
        series gained, and whether the overview's count is exact now."""
        deleted = self.delete_spans(shape, key, spans)
        exact = known and not deleted  # an entry a save without rows leaves as it was
        if rows:
            self.insert(shape, rows)
            exact = self.update_overview(shape, rows, len(rows) - deleted if known else None)
        if days:
            self.record_days(days)
        return len(rows) - deleted, exact

    def insert(self, shape: TableShape, rows: list[Row]) -> None:
        """Rows whose keys the table does not hold (`all_new`) inserted in the order given."""
        self.upsert(shape, rows)

    def delete_spans(self, shape: TableShape, key: Row, spans: Sequence[tuple[datetime, datetime]]) -> int:
        """The series' stored rows with times in the [begin, end) spans deleted, SPANS spans a
        statement; how many."""
        p, moment = self.param, self.name("datetime")
        deleted = 0
        for first in range(0, len(spans), self.SPANS):
            group = spans[first:first + self.SPANS]
            within = " OR ".join([f"({moment} >= {p} AND {moment} < {p})"] * len(group))
            deleted += self.execute(f"DELETE FROM {self.name(shape.table)} WHERE {self.matching(shape.key)} "
                                    f"AND ({within})", (*key, *(time for span in group for time in span))).rowcount
        return deleted

    def record_days(self, days: Sequence[tuple[object, ...]]) -> None:
        """The completeness record's rows written over what it held of their days."""
        for first in range(0, len(days), self.DAYS_PER_STATEMENT):  # the days are distinct: one row each
            group = days[first:first + self.DAYS_PER_STATEMENT]
            self.execute(self.days_upsert(len(group)), [value for row in group for value in row])

    def days_upsert(self, count: int) -> str:
        """The statement writing `count` rows of the completeness record over what it held
        of their days (its parameters: the rows' values, row after row)."""
        columns = day_record.COLUMNS
        updated = ", ".join(f"{self.name(name)} = excluded.{self.name(name)}" for name in day_record.COLUMNS[4:])
        mark = f'({", ".join([self.param] * len(columns))})'
        return (f"INSERT INTO {self.name(day_record.TABLE)} ({self.names(columns)}) VALUES {', '.join([mark] * count)} "
                f"ON CONFLICT ({self.names((*day_record.KEY, 'day'))}) DO UPDATE SET {updated}")

    days_seen = False  # the completeness record's table found by this writer

    def has_day_records(self) -> bool:
        # Once found, not asked for again (each window of a run would): a table of this
        # package's own, which nothing drops while a store is being written.
        self.days_seen = self.days_seen or bool(self.table_columns(day_record.TABLE))
        return self.days_seen

    def day_table_ready(self) -> None:
        """The completeness record's table made when missing, or given the column the
        previous version's lacks; each in a transaction of its own, before the save's:
        MySQL commits the transaction under way at a CREATE or ALTER TABLE."""
        if not self.has_day_records():
            with self.transaction():
                self.create_day_table()
        elif not self.has_day_details():
            with self.transaction():
                self.execute(day_record.migrate(self.TEXT_TYPE, self.name))
            self.day_details = True

    def create_day_table(self) -> None:
        """The completeness record's table, made when missing."""
        self.execute(day_record.create_table(self.TEXT_TYPE, self.name))
        self.day_details = True
        self.days_seen = True

    day_details: bool | None = None  # whether the record's table has its `detail` column, once seen

    def has_day_details(self) -> bool:
        if self.day_details is None:
            self.day_details = day_record.ADDED_COLUMN in self.table_columns(day_record.TABLE)
        return self.day_details

    def day_records(self, key: Row, first: str, last: str) -> list[tuple[str, int, int, str | None]]:
        """(day, count, state, detail) recorded for series `key` (symbol, exchange,
        interval values) between the ISO days `first` and `last` (detail None in a table
        of the previous version's)."""
        if not self.has_day_records():
            return []
        p = self.param
        day = self.name("day")
        detail = self.name(day_record.ADDED_COLUMN) if self.has_day_details() else "NULL"
        return [(str(value), int(count), int(state), note) for value, count, state, note in self.execute(
            f"SELECT {self.names(('day', 'count', 'complete'))}, {detail} FROM {self.name(day_record.TABLE)} "
            f"WHERE {self.matching(day_record.KEY)} AND {day} >= {p} AND {day} <= {p}", (*key, first, last))]

    def recorded_total(self, key: Row) -> int:
        """The records the completeness record counts for series `key`, over all its days."""
        if not self.has_day_records():
            return 0
        found = self.execute(f"SELECT COALESCE(SUM({self.name('count')}), 0) FROM {self.name(day_record.TABLE)} "
                             f"WHERE {self.matching(day_record.KEY)}", key).fetchone()
        return int(found[0]) if found else 0

    def stored_count(self, shape_name: str, key: Row) -> int:
        """The rows of series `key` as its overview counts them (0 without one)."""
        shape = SHAPES[shape_name]
        found = self.execute(f"SELECT {self.name('count')} FROM {self.name(shape.overview)} "
                             f"WHERE {self.matching(shape.key)}", tuple(map(text, key))).fetchone()
        return int(found[0]) if found and found[0] else 0

    def time_counts(self, shape_name: str, key: Row, begin: datetime, end: datetime,
                    unit: str) -> list[tuple[datetime, int]]:
        """The rows of series `key` with times in [begin, end) (as stored), counted per "hour"
        or "minute" of their stored time: an aggregate over the table's unique index."""
        shape = SHAPES[shape_name]
        p = self.param
        moment = self.name("datetime")
        hour = self.truncated(moment, unit)
        rows = self.execute(f"SELECT {hour}, COUNT(*) FROM {self.name(shape.table)} WHERE {self.matching(shape.key)} "
                            f"AND {moment} >= {p} AND {moment} < {p} GROUP BY {hour}",
                            (*map(text, key), begin, end))
        return [(self.read_truncated(value), int(count)) for value, count in rows]

    def total(self, column: str) -> str:
        """SQL for the sum of a column of prices or volumes, in double precision."""
        return f"SUM({column})"

    def stretches(self, shape_name: str, key: Row) -> Results:
        """The rows of series `key` summed up per hour of their stored time, in time order:
        the hour (as `truncated` gives it), the count, the first and last time (as stored)
        and, of bars, the highest high, lowest low, the volumes' sum, the first open and the
        last close (the rows at the first and last time, found again by the unique index)."""
        shape = SHAPES[shape_name]
        q, table, moment = self.name, self.name(shape.table), self.name("datetime")
        hour = self.truncated(moment, "hour")
        key = tuple(map(text, key))
        if shape_name != "bars":
            return self.execute(f"SELECT {hour}, COUNT(*), MIN({moment}), MAX({moment}) FROM {table} "
                                f"WHERE {self.matching(shape.key)} GROUP BY {hour} ORDER BY {hour}", key)
        summed = (f"SELECT {hour} AS hr, COUNT(*) AS n, MIN({moment}) AS t0, MAX({moment}) AS t1, "
                  f"MAX({q('high_price')}) AS hi, MIN({q('low_price')}) AS lo, {self.total(q('volume'))} AS vol "
                  f"FROM {table} WHERE {self.matching(shape.key)} GROUP BY {hour}")

        def row(alias: str, at: str) -> str:
            return (f"JOIN {table} {alias} ON "
                    + " AND ".join(f"{alias}.{q(name)} = {self.param}" for name in shape.key)
                    + f" AND {alias}.{moment} = h.{at}")

        return self.execute(f"SELECT h.hr, h.n, h.t0, h.t1, h.hi, h.lo, h.vol, f.{q('open_price')}, "
                            f"l.{q('close_price')} FROM ({summed}) h {row('f', 't0')} {row('l', 't1')} "
                            f"ORDER BY h.hr", key * 3)
