"""Bulk writes into vnpy_postgresql's tables: COPY into a temporary table, then one
INSERT ... SELECT ... ON CONFLICT DO UPDATE; a download's window, whose rows no stored
row can share a key with once its days are deleted (Writer.all_new), by COPY straight
into the table, after one statement that deletes its days, updates the overview entry
and writes the completeness record (four round trips with BEGIN and COMMIT: each one
waits again for the interpreter, which the fetching threads hold meanwhile).

What the adapter leaves, reproduced:
- a re-saved record keeps its row and id; every column outside the unique index is
  replaced;
- the temporary table is made LIKE the adapter's, so COPY reads each value with the
  column's own input function: a price the adapter sends as a decimal literal into a
  REAL column is rounded once, from the decimal text, here too (NaN and the infinities,
  which the driver sends as float literals, come out alike as well);
- a negative zero is stored as 0: the driver sends -0.0 as a decimal literal, and a
  decimal has no sign of zero;
- a tick's "localtime" with a zone is sent by the driver as a time with a zone and
  stored in the session's zone; it takes the same way here (a column of its own);
- every record given draws one id from the table's sequence, in list order, whether it
  makes a new row, updates a stored one or repeats one given earlier in the call: the
  adapter's INSERT draws an id for every row it tries.
A record given twice in one call is stored once, in the first one's row (and id), with
the later one's values. The adapter does the same when the two fall into different
100-row chunks of its own, but fails the whole save ("ON CONFLICT DO UPDATE command
cannot affect row a second time") when they fall into the same one; that failure is not
reproduced.
"""

from __future__ import annotations

import csv
import io
import re
from collections.abc import Iterable, Sequence
from datetime import datetime
from operator import itemgetter
from typing import Any

from .. import _wire
from . import days as day_record
from .schema import TableShape, Row
from .writer import PeeweeDatabase, Writer, quoted

STAGE = "norvix_stage"  # the temporary table, dropped at commit
# Rows a piece of a COPY's text holds: the driver gives up the interpreter while it
# sends one, and waits for it again before the next.
COPY_ROWS = 4096
# A float's negative zero as csv_text writes it (repr): a field of its own, as a text is quoted.
NEGATIVE_ZERO = re.compile(r"(?m)(?:^|(?<=,))-0\.0(?=,|$)")


class PostgresqlWriter(Writer):
    # The INSERT counts the staged keys the table held before it, in the same statement.
    NET_CHANGES = True

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

    def sequence(self, table: str) -> str | None:
        """The sequence the table's ids are drawn from (asked once per writer: a run's
        windows share one)."""
        if table not in self.sequences:
            found = self.execute("SELECT pg_get_serial_sequence(%s, 'id')", (f'"{table}"',)).fetchone()
            self.sequences[table] = found[0] if found else None
        return self.sequences[table]

    def __init__(self, db: PeeweeDatabase) -> None:
        super().__init__(db)
        self.sequences: dict[str, str | None] = {}

    def overview_updated(self, shape: TableShape, key: Row, first: datetime, last: datetime,
                         change: int | None = None) -> bool:
        """Writer.overview_updated in one statement: the server takes the earlier start, the
        later end and the rows held, as the adapter computes them for an existing entry."""
        where = self.matching(shape.key)
        if change is None:
            update, params = overview_update(shape, where, held(shape, where)), (*key, first, last, *key)
        else:
            update, params = overview_update(shape, where, '"count" + %s'), (change, first, last, *key)
        return self.execute(update, params).rowcount > 0

    def save_new(self, shape: TableShape, rows: list[Row], key: Row, spans: Sequence[tuple[datetime, datetime]],
                 days: Sequence[tuple[object, ...]], known: bool = False) -> tuple[int, bool]:
        """Writer.save_new in one statement and a COPY. The statement's parts all see the
        table as it was before it: the overview entry counts the rows held (its count where
        `known` exact), less those it deletes, plus those the COPY adds (all new); a series
        without one gets the adapter's new entry."""
        where = self.matching(shape.key)
        parts: list[str] = []
        params: list[object] = []
        moment = self.name("datetime")
        within = " OR ".join([f"({moment} >= %s AND {moment} < %s)"] * len(spans)) or "FALSE"
        parts.append(f'"gone" AS (DELETE FROM "{shape.table}" WHERE {where} AND ({within}) RETURNING 1)')
        params += [*key, *(time for span in spans for time in span)]
        if days:
            parts.append(f'"days" AS ({self.days_upsert(len(days))})')
            params += [value for row in days for value in row]
        if rows:
            first, last = shape.time(rows[0]), shape.time(rows[-1])
            count = '"count"' if known else held(shape, where)
            counted = f'{count} - (SELECT COUNT(*) FROM "gone") + %s'
            parts.append(f'"entry" AS ({overview_update(shape, where, counted)} RETURNING 1)')
            params += [*(() if known else key), len(rows), first, last, *key]
            made = quoted((*shape.key, "count", "start", "end"))
            parts.append(f'"made" AS (INSERT INTO "{shape.overview}" ({made}) SELECT '
                         f'{", ".join(["%s"] * (len(key) + 3))} WHERE NOT EXISTS (SELECT 1 FROM "entry"))')
            params += [*key, len(rows), first, last]
        entry = '(SELECT COUNT(*) FROM "entry")' if rows else "0"
        found = self.execute(f'WITH {", ".join(parts)} SELECT COUNT(*), {entry} FROM "gone"', params).fetchone()
        if rows:
            self.insert(shape, rows)
        assert found is not None  # an aggregate's one row
        deleted = int(found[0])
        return len(rows) - deleted, bool(found[1]) if rows else known and not deleted

    def insert(self, shape: TableShape, rows: list[Row]) -> None:
        """COPY straight into the table, which draws each row's id in order, as the
        adapter's INSERT does. Times with a zone, and the rows from the first piece that
        holds a value csv_text does not write, are left to the staged upsert (here an
        insert too, drawing the ids that follow)."""
        if zoned_columns(shape, rows):
            self.upsert(shape, rows)
            return
        pieces = Pieces(rows)
        self.db.cursor().copy_expert(f'COPY "{shape.table}" ({quoted(shape.columns)}) FROM STDIN WITH (FORMAT csv)',
                                     pieces)
        if pieces.error is not None:
            raise pieces.error
        if pieces.left < len(rows):
            self.upsert(shape, rows[pieces.left:])

    def tables_match(self, shape: TableShape) -> bool:
        return super().tables_match(shape) and self.sequence(shape.table) is not None

    def create_day_table(self) -> None:
        # Two processes making the table at once would collide in the catalogue (a unique
        # violation, not "exists"): the second waits for the first's transaction.
        self.execute("SELECT pg_advisory_xact_lock(hashtext(%s))", (day_record.TABLE,))
        super().create_day_table()

    def truncated(self, column: str, unit: str) -> str:
        return f"date_trunc('{unit}', {column})"

    def read_truncated(self, value: object) -> datetime:
        return value  # type: ignore[return-value]  # psycopg2 reads a timestamp as a naive datetime

    def total(self, column: str) -> str:
        # vnpy_postgresql's columns are REAL, whose SUM would be REAL too (7 digits); each
        # value is widened through its text, the shortest that reads back as it, which is
        # what the driver hands a row's reader (1000000.4, not 1000000.375).
        return f"SUM(CAST(CAST({column} AS TEXT) AS DOUBLE PRECISION))"

    def text_times(self) -> bool:
        return True  # the rows go through csv.writer, which writes a datetime as its str()

    def upsert(self, shape: TableShape, rows: list[Row]) -> int:
        """The rows staged by COPY and inserted over the stored ones; how many rows the
        table gained: the staged keys less those it held, counted by the INSERT itself
        (its parts see the table as it was before it)."""
        # A time with a zone goes to a column of its own; the rows are staged as they are
        # where none has one (a download's ticks), without a copy of each.
        zoned = zoned_columns(shape, rows)
        # One row per unique key, at its first place in the list, with its last values;
        # "n" is that place, which picks the id drawn for it: numbered by the stage itself,
        # in the order COPY reads the rows, where no key repeats.
        keys = list(map(shape.unique_of, rows))
        repeated = len(set(keys)) < len(keys)
        self.execute(f'CREATE TEMPORARY TABLE "{STAGE}" (LIKE "{shape.table}") ON COMMIT DROP')
        added = "".join(f', ADD COLUMN "{shape.columns[i]}_zoned" timestamptz' for i in zoned)
        numbered = "bigint" if repeated or zoned else "bigint GENERATED ALWAYS AS IDENTITY (MINVALUE 0 START 0)"
        self.execute(f'ALTER TABLE "{STAGE}" DROP COLUMN "id", ADD COLUMN "n" {numbered}' + added)
        stage_columns = [*shape.columns, *(f"{shape.columns[i]}_zoned" for i in zoned)]
        lines: list[tuple[object, ...]] = rows
        if repeated or zoned:
            staged: Iterable[tuple[int, Row]] = enumerate(rows)
            if repeated:
                place = dict(zip(reversed(keys), range(len(keys) - 1, -1, -1)))  # the first place wins
                staged = ((place[key], row) for key, row in dict(zip(keys, rows)).items())
            lines = [(n, *split_zoned(row, zoned)) for n, row in staged]
            stage_columns.insert(0, "n")
        text = _wire.csv_text(lines)  # what csv.writer writes, where the values are ones it knows
        if text is None:
            buffer = io.StringIO()
            csv.writer(buffer, quoting=csv.QUOTE_STRINGS, lineterminator="\n").writerows(lines)
            text = buffer.getvalue()
        copy_in(self.db.cursor(), f'COPY "{STAGE}" ({quoted(stage_columns)}) FROM STDIN WITH (FORMAT csv)', text)

        picked = [f'COALESCE("{column}", "{column}_zoned"::timestamp)' if column in shape.given_times
                  and shape.columns.index(column) in zoned
                  else f'"{column}" + 0::real' if column in shape.reals  # -0 + 0 is 0; any other value stays
                  else f'"{column}"' for column in shape.columns]
        updates = ", ".join(f'"{column}" = EXCLUDED."{column}"' for column in shape.updated)
        same = " AND ".join(f'"t"."{column}" = "s"."{column}"' for column in shape.unique)
        # A CTE with a volatile function is evaluated once, in full: one id per record given.
        found = self.execute(f'WITH "ids" AS (SELECT "g" AS "n", nextval(%s) AS "id" '
                             f'FROM generate_series(0, %s) AS "g" ORDER BY "g"), '
                             f'"held" AS (SELECT COUNT(*) AS "c" FROM "{STAGE}" AS "s" '
                             f'JOIN "{shape.table}" AS "t" ON {same}), '
                             f'"saved" AS (INSERT INTO "{shape.table}" ("id", {quoted(shape.columns)}) '
                             f'SELECT "ids"."id", {", ".join(picked)} FROM "{STAGE}" JOIN "ids" USING ("n") ORDER BY "n" '
                             f"ON CONFLICT ({quoted(shape.unique)}) DO UPDATE SET {updates}) "
                             f'SELECT (SELECT COUNT(*) FROM "{STAGE}") - "c" FROM "held"',
                             (self.sequence(shape.table), len(rows) - 1)).fetchone()
        self.execute(f'DROP TABLE "{STAGE}"')
        assert found is not None  # an aggregate's one row
        return int(found[0])


class Pieces:
    """The rows' CSV text for a COPY, written a piece at a time as the driver reads it:
    the server reads one piece while the next is written. The text ends before a piece
    that csv_text cannot write; `left` is where its rows begin."""

    def __init__(self, rows: list[Row]) -> None:
        self.rows = rows
        self.left = 0
        # What failed a piece: the driver would turn it into a failed COPY ("error in
        # .read() call"); the text ends instead and it is raised after, in the transaction.
        self.error: BaseException | None = None

    def read(self, size: int = -1) -> str:
        try:
            return self.piece()
        except BaseException as error:
            self.error = error
            return ""

    def piece(self) -> str:
        piece = self.rows[self.left:self.left + COPY_ROWS]
        text = _wire.csv_text(piece) if piece else None
        if text is None:
            return ""
        self.left += len(piece)
        if ",-0.0" in text:  # stored as 0, as the driver's decimal literal has no sign
            text = NEGATIVE_ZERO.sub("0.0", text)
        return text


def held(shape: TableShape, where: str) -> str:
    """The rows the table holds under the key (its parameters)."""
    return f'(SELECT COUNT(*) FROM "{shape.table}" WHERE {where})'


def overview_update(shape: TableShape, where: str, count: str) -> str:
    """The UPDATE of the series' overview entry (parameters: those of `count`, the first
    and last time, the key)."""
    start, end = '"start"', '"end"'
    return (f'UPDATE "{shape.overview}" SET "count" = {count}, '
            f"{start} = LEAST({start}, %s::timestamp), {end} = GREATEST({end}, %s::timestamp) WHERE {where}")


def copy_in(cursor: Any, statement: str, text: str) -> None:
    """`text` sent to a COPY ... FROM STDIN in one piece: the driver releases the
    interpreter for each piece it reads from the file, and takes it back after, behind
    the fetching threads (8 KB pieces by default)."""
    cursor.copy_expert(statement, io.StringIO(text), size=max(1, len(text)))


def zoned_columns(shape: TableShape, rows: list[Row]) -> list[int]:
    """Where the rows hold times given with a zone (of the columns written as given)."""
    given = [shape.columns.index(column) for column in shape.given_times]
    return [i for i in given if any(isinstance(value, datetime) and value.utcoffset() is not None
                                    for value in map(itemgetter(i), rows))]


def split_zoned(row: Row, given: list[int]) -> Row:
    """The row with its times at `given` that carry a zone moved to the end (None left
    in their place), and None there for those without."""
    if not given:
        return row
    aware = [isinstance(value := row[i], datetime) and value.utcoffset() is not None for i in given]
    if not any(aware):
        return (*row, *(None for _ in given))
    values, zoned = list(row), []
    for i, moved in zip(given, aware):
        value = values[i]
        zoned.append(value if moved else None)
        values[i] = None if moved else value
    return (*values, *zoned)


def writer(db: PeeweeDatabase) -> Writer:
    return PostgresqlWriter(db)
