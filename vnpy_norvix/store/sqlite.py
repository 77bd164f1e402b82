"""Bulk writes into vnpy_sqlite's tables, on the adapter's own connection.

The adapter writes with INSERT OR REPLACE: a re-saved record replaces the whole stored
row, which takes a new id. The same statement over all rows at once, with
`executemany`, leaves the same rows and ids.
"""

from __future__ import annotations

from datetime import datetime

from .schema import Layout, Row, moment
from .writer import PeeweeDatabase, Writer, quoted


class SqliteWriter(Writer):
    def table_columns(self, table: str) -> set[str]:
        return {row[1] for row in self.execute(f'PRAGMA table_info("{table}")')}

    def unique_indexes(self, table: str) -> set[frozenset[str]]:
        indexes = [row[1] for row in self.execute(f'PRAGMA index_list("{table}")') if row[2] and not row[4]]
        return {frozenset(row[2] for row in self.execute(f'PRAGMA index_info("{name}")')) for name in indexes}

    def upsert(self, layout: Layout, rows: list[Row]) -> None:
        marks = ", ".join("?" * len(layout.columns))
        self.db.cursor().executemany(f'INSERT OR REPLACE INTO "{layout.table}" ({quoted(layout.columns)}) '
                               f"VALUES ({marks})", rows)

    def read_time(self, value: object) -> datetime:
        # Stored as text; read as the adapter's DateTimeField reads it.
        return moment(value)  # type: ignore[return-value]  # peewee's reading of a stored time


def writer(db: PeeweeDatabase) -> Writer:
    return SqliteWriter(db)
