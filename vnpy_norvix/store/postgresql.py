"""Bulk writes into vnpy_postgresql's tables: COPY into a temporary table, then one
INSERT ... SELECT ... ON CONFLICT DO UPDATE.

What the adapter leaves, reproduced:
- a re-saved record keeps its row and id; every column outside the unique index is
  replaced;
- the temporary table is made LIKE the adapter's, so COPY reads each value with the
  column's own input function: a price the adapter sends as a decimal literal into a
  REAL column is rounded once, from the decimal text, here too;
- a tick's "localtime" with a zone is sent by the driver as a time with a zone and
  stored in the session's zone; it takes the same way here (a column of its own);
- rows are inserted in list order, so ids are drawn from the sequence in that order.
A record given twice in one call is stored once, with the later one's values (one
INSERT cannot update a row twice; the adapter's chunks either fail on it or keep the
later one).
"""

from __future__ import annotations

import csv
import io
from datetime import datetime

from .schema import Layout, Row
from .writer import PeeweeDatabase, Writer, quoted

STAGE = "norvix_stage"  # the temporary table, dropped at commit


class PostgresqlWriter(Writer):
    def table_columns(self, table: str) -> set[str]:
        rows = self.execute("SELECT attname FROM pg_attribute WHERE attrelid = to_regclass(%s) "
                            "AND attnum > 0 AND NOT attisdropped", (f'"{table}"',))
        return {name for (name,) in rows}

    def unique_indexes(self, table: str) -> set[frozenset[str]]:
        rows = self.execute(
            "SELECT array_agg(a.attname) FROM pg_index AS i "
            "CROSS JOIN unnest(i.indkey) AS k(attnum) "
            "JOIN pg_attribute AS a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
            "WHERE i.indrelid = to_regclass(%s) AND i.indisunique AND i.indpred IS NULL "
            "GROUP BY i.indexrelid", (f'"{table}"',))
        return {frozenset(names) for (names,) in rows}

    def upsert(self, layout: Layout, rows: list[Row]) -> None:
        given = [layout.columns.index(column) for column in layout.given_times]
        unique = layout.unique_of
        if len({unique(row) for row in rows}) < len(rows):
            rows = list({unique(row): row for row in rows}.values())
        self.execute(f'CREATE TEMPORARY TABLE "{STAGE}" (LIKE "{layout.table}") ON COMMIT DROP')
        added = "".join(f', ADD COLUMN "{layout.columns[i]}_zoned" timestamptz' for i in given)
        # "n" numbers the rows as COPY reads them.
        self.execute(f'ALTER TABLE "{STAGE}" DROP COLUMN "id", ADD COLUMN "n" bigint GENERATED ALWAYS AS IDENTITY'
                     + added)
        buffer = io.StringIO()
        csv.writer(buffer, quoting=csv.QUOTE_STRINGS, lineterminator="\n").writerows(
            (split_zoned(row, given) for row in rows) if given else rows)
        buffer.seek(0)
        staged = [*layout.columns, *(f"{layout.columns[i]}_zoned" for i in given)]
        self.db.cursor().copy_expert(f'COPY "{STAGE}" ({quoted(staged)}) FROM STDIN WITH (FORMAT csv)', buffer)

        picked = [f'COALESCE("{column}", "{column}_zoned"::timestamp)' if column in layout.given_times
                  else f'"{column}"' for column in layout.columns]
        updates = ", ".join(f'"{column}" = EXCLUDED."{column}"' for column in layout.updated)
        self.execute(f'INSERT INTO "{layout.table}" ({quoted(layout.columns)}) '
                     f'SELECT {", ".join(picked)} FROM "{STAGE}" ORDER BY "n" '
                     f"ON CONFLICT ({quoted(layout.unique)}) DO UPDATE SET {updates}")
        self.execute(f'DROP TABLE "{STAGE}"')


def split_zoned(row: Row, given: list[int]) -> Row:
    """The row with its times at `given` that carry a zone moved to the end (None left
    in their place), and None there for those without."""
    values, zoned = list(row), []
    for i in given:
        value = values[i]
        aware = isinstance(value, datetime) and value.utcoffset() is not None
        zoned.append(value if aware else None)
        values[i] = None if aware else value
    return (*values, *zoned)


def writer(db: PeeweeDatabase) -> Writer:
    return PostgresqlWriter(db)
