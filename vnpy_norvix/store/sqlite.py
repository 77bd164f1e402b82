"""Bulk writes into vnpy_sqlite's tables, on the adapter's own connection.

The adapter writes with INSERT OR REPLACE, 50 bars or 10 ticks per statement: a re-saved
record replaces the whole stored row, which takes a new id. The same statement over more
rows at once leaves the same rows and ids, since SQLite takes a statement's rows one
after the other. Many rows a statement, as far as the connection's limit on parameters
allows, also spare the run one release of the GIL per row (sqlite3 releases it for
each step of a statement): a writer thread that gave it up for every row would wait
for it again behind the fetching threads every time.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager
from datetime import datetime
from itertools import chain

import peewee

from .schema import TableShape, Row, moment
from .writer import PeeweeDatabase, Writer, quoted

ROWS_PER_STATEMENT = 1000


class SqliteWriter(Writer):
    # A statement is a call into the library, no round trip; and SQLite reads the spans'
    # OR under the series' key by scanning all its rows, where one span uses the index.
    SPANS = 1
    SERIAL_KEY = "INTEGER PRIMARY KEY AUTOINCREMENT"

    def transaction(self) -> AbstractContextManager[object]:
        # Write-locked from its start: two savers that both read first would each hold a
        # read lock the other's write waits for, and SQLite fails one of them at once.
        return _said_why(self.db.atomic(lock_type="IMMEDIATE"))

    def table_columns(self, table: str) -> set[str]:
        return {row[1] for row in self.execute(f'PRAGMA table_info("{table}")')}

    def unique_indexes(self, table: str) -> set[frozenset[str]]:
        indexes = [row[1] for row in self.execute(f'PRAGMA index_list("{table}")') if row[2] and not row[4]]
        return {frozenset(row[2] for row in self.execute(f'PRAGMA index_info("{name}")')) for name in indexes}

    def upsert(self, shape: TableShape, rows: list[Row]) -> None:
        cursor = self.db.cursor()
        width = len(shape.columns)
        per = max(1, min(ROWS_PER_STATEMENT, cursor.connection.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER) // width))
        head = f'INSERT OR REPLACE INTO "{shape.table}" ({quoted(shape.columns)}) VALUES '
        mark = f"({', '.join('?' * width)})"
        start = 0
        for size in statement_sizes(len(rows), per):
            chunk = rows[start:start + size]
            cursor.execute(head + ", ".join([mark] * size), list(chain.from_iterable(chunk)))
            start += size

    def truncated(self, column: str, unit: str) -> str:
        # Stored as "YYYY-MM-DD HH:MM:SS[.ffffff]".
        return f"substr({column}, 1, {13 if unit == 'hour' else 16})"

    def read_truncated(self, value: object) -> datetime:
        text = str(value)
        return datetime.strptime(text, "%Y-%m-%d %H" if len(text) == 13 else "%Y-%m-%d %H:%M")

    def text_times(self) -> bool:
        # sqlite3 stores a datetime through the adapter registered for it: peewee's, which
        # gives isoformat(" "), the same text as str(); another may give another text.
        adapter = sqlite3.adapters.get((datetime, sqlite3.PrepareProtocol))
        return adapter is not None and adapter is getattr(peewee, "datetime_adapter", None)

    def read_time(self, value: object) -> datetime:
        # Stored as text; read as the adapter's DateTimeField reads it.
        return moment(value)  # type: ignore[return-value]  # peewee's reading of a stored time


def statement_sizes(count: int, most: int) -> Iterator[int]:
    """How many rows each statement of a save of `count` rows takes: `most` while that
    many are left, then the powers of two the rest is made of, largest first. The
    connection keeps each statement it prepared by its text (sqlite3's statement cache,
    128 of them), and one of thousands of parameters holds megabytes: a tail of any
    length would leave one such statement per window in the cache, a long download
    hundreds of megabytes of them, where these sizes keep a few."""
    whole, rest = divmod(count, most)
    yield from [most] * whole
    bit = 1 << max(rest.bit_length() - 1, 0)
    while bit:
        if rest & bit:
            yield bit
        bit >>= 1


@contextmanager
def _said_why(transaction: AbstractContextManager[object]) -> Iterator[object]:
    """`transaction`, failing with what failed it: on a full disk (or a failed I/O) SQLite
    rolls the transaction back itself, and the rollback that follows then fails with "cannot
    rollback - no transaction is active", which would hide "database or disk is full"."""
    try:
        with transaction as inner:
            yield inner
    except Exception as error:  # peewee's wrapping of sqlite3's errors
        cause: BaseException | None = error
        while cause is not None and "no transaction is active" in str(cause):
            cause = cause.__context__  # peewee's error, then sqlite3's, then what failed
        if cause is not None and cause is not error:
            raise cause from None
        raise


def writer(db: PeeweeDatabase) -> Writer:
    return SqliteWriter(db)
