"""What the bulk writers do alike: one transaction per call, the records upserted,
the overview entry kept as the adapter keeps it.

The adapter's overview rules, reproduced with their quirks: the entry belongs to the
first record's symbol, exchange (and interval), whatever the others are. A new entry
takes the first and the last record's times (in list order, not the earliest and
latest) and the number of records given. An existing one takes the earlier of its start
and the first record's time, the later of its end and the last record's time, and the
number of rows the table now holds under its key.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Iterator, Sequence
from contextlib import AbstractContextManager
from datetime import datetime
from typing import Any, Protocol

from vnpy.trader.object import BarData, TickData

from .schema import LAYOUTS, Key, Layout, Row, text


def quoted(names: Sequence[str]) -> str:
    return ", ".join(f'"{name}"' for name in names)


class Results(Protocol):
    def fetchone(self) -> tuple[Any, ...] | None: ...

    def __iter__(self) -> Iterator[tuple[Any, ...]]: ...


class PeeweeDatabase(Protocol):
    """What the writers use of the adapter's peewee database."""

    param: str  # the driver's placeholder

    def atomic(self) -> AbstractContextManager[object]: ...

    def execute_sql(self, sql: str, params: tuple[object, ...]) -> Results: ...

    def cursor(self) -> Any: ...  # the driver's own cursor: sqlite3's, psycopg2's or pymysql's

    def connection(self) -> Any: ...  # the driver's own connection


class Writer(ABC):
    """Writes into the tables of the adapter's peewee database `db`."""

    QUOTE = '"'  # the SQL dialect's quote around a name

    def __init__(self, db: PeeweeDatabase) -> None:
        self.db = db
        self.param = db.param

    def execute(self, sql: str, params: Sequence[object] = ()) -> Results:
        return self.db.execute_sql(sql, tuple(params))

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
    def upsert(self, layout: Layout, rows: list[Row]) -> None:
        """The rows into the layout's table, a row with a stored key replacing it as the
        adapter replaces it."""

    def text_times(self) -> bool:
        """Whether the driver stores a naive time as its `str()`, so that the rows may hold
        that text instead."""
        return False

    def read_time(self, value: object) -> datetime:
        """A time as the driver hands it back, as the adapter's model reads it."""
        return value  # type: ignore[return-value]  # a driver that hands back datetimes

    def tables_match(self, layout: Layout) -> bool:
        """The database's tables have the layout's columns and unique indexes."""
        overview = {"id", *layout.key, "count", "start", "end"}
        return (self.table_columns(layout.table) == {"id", *layout.columns}
                and frozenset(layout.unique) in self.unique_indexes(layout.table)
                and self.table_columns(layout.overview) == overview
                and frozenset(layout.key) in self.unique_indexes(layout.overview))

    def save_records(self, kind: str, records: Sequence[BarData | TickData], replacing: Row | None = None) -> None:
        """The "bars" or "ticks" saved in one transaction; with `replacing` (an overview
        key), what the database held under it is deleted first, in the same transaction."""
        layout = LAYOUTS[kind]
        rows = layout.rows(records, self.text_times())
        if replacing is not None:
            replacing = tuple(map(text, replacing))
        with self.db.atomic():
            if replacing is not None:
                self.execute(f"DELETE FROM {self.name(layout.table)} WHERE {self.matching(layout.key)}", replacing)
                self.execute(f"DELETE FROM {self.name(layout.overview)} WHERE {self.matching(layout.key)}", replacing)
            self.upsert(layout, rows)
            self.update_overview(layout, rows)

    def update_overview(self, layout: Layout, rows: list[Row]) -> None:
        key = layout.key_of(rows[0])
        first, last = layout.time(rows[0]), layout.time(rows[-1])
        where = self.matching(layout.key)
        overview, table = self.name(layout.overview), self.name(layout.table)
        found = self.execute(f"SELECT {self.names(('id', 'start', 'end'))} FROM {overview} WHERE {where}",
                             key).fetchone()
        p = self.param
        if found is None:
            self.execute(f"INSERT INTO {overview} ({self.names((*layout.key, 'count', 'start', 'end'))}) "
                         f'VALUES ({", ".join([p] * (len(layout.key) + 3))})', (*key, len(rows), first, last))
            return
        start, end = min(first, self.read_time(found[1])), max(last, self.read_time(found[2]))
        count = next(iter(self.execute(f"SELECT COUNT(*) FROM {table} WHERE {where}", key)))[0]
        updated = ", ".join(f"{self.name(column)} = {p}" for column in ("count", "start", "end"))
        self.execute(f"UPDATE {overview} SET {updated} WHERE {self.name('id')} = {p}", (count, start, end, found[0]))
