"""Bulk writes into vnpy_mysql's tables: multi-row REPLACE statements (INSERT for a
window's new rows) as large as the server's packet limit allows, on the adapter's own
connection, their text built natively (`_wire.mysql_values`, src/rows/mysql.cpp) wherever
it is the driver's own, else from the driver's literals here.

A statement costs a round trip, which a command's other threads lengthen: a save asks
for the tables' columns and indexes in one query, reads the packet limit once per
connection, deletes a window's days and records them in one statement each, updates an
existing overview entry in one statement (the server computing it), and takes the rows
it added from the REPLACE statements' affected rows (a window's new rows: their number)
instead of counting the series before and after.

What the adapter leaves, reproduced:
- it writes with REPLACE, 50 rows a statement: a re-saved record (under the unique
  index's case-insensitive comparison) replaces the whole stored row, which takes a new
  id. The server takes a statement's rows one after the other and reserves exactly one
  id per row of a statement of values, so longer statements leave the same rows and ids;
  a record given twice in one call ends as the later one, with the later id;
- each value reaches the server as the literal the driver writes for it: text escaped,
  a time without its zone, a price as repr(value) with "e0" where it has no exponent of
  its own. The server applies the columns' own rules to both alike (seconds only for
  bars, milliseconds for ticks, the sign of a zero);
- a NaN or infinite price: the driver refuses it while writing its statement, after the
  earlier statements of the save were sent (and then rolled back). It is refused here
  before anything is sent, with the same error, so that no id is drawn for it.
"""

from __future__ import annotations

import math
import re
import sys
import weakref
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from datetime import datetime
from itertools import chain
from operator import itemgetter
from typing import Any

import peewee

from .. import _wire
from . import days as day_record
from .schema import TableShape, Row, field_class
from .writer import PeeweeDatabase, Writer

STATEMENT_BYTES = 4 << 20  # a statement's size, unless the server's packet limit is smaller
SAMPLE_ROWS = 64  # the rows whose text tells how many a statement holds
# A statement's size where one is built while another runs: a window's rows in several,
# so that all but the first one's text is built while the server works.
STREAMED_BYTES = 1 << 20
REAL = "%re0"  # the driver's float literal, where repr has no exponent of its own
TEXTS = {str}
PACKETS: weakref.WeakKeyDictionary[Any, int] = weakref.WeakKeyDictionary()  # per driver connection
TIME_DIGITS: weakref.WeakKeyDictionary[Any, dict[str, int]] = weakref.WeakKeyDictionary()  # the same, per table
NO_BACKSLASH_ESCAPES = 512  # pymysql.constants.SERVER_STATUS: a text's quote doubled, no backslash escapes
PLAIN_REALS = re.compile(r"[-0-9.e,]*")
# What the rows' other columns may hold for their text to be made without a refusal.
PLAIN_KINDS = {str, type(None), datetime}


class MysqlWriter(Writer):
    QUOTE = "`"
    # Each statement is a round trip to the server; the REPLACE statements' affected rows
    # tell how many rows they added, where counting a series' rows costs a scan of it.
    NET_CHANGES = True

    def table_columns(self, table: str) -> set[str]:
        return self.catalogue((table,))[table][0]

    def unique_indexes(self, table: str) -> set[frozenset[str]]:
        return self.catalogue((table,))[table][1]

    def catalogue(self, tables: Sequence[str]) -> dict[str, tuple[set[str], set[frozenset[str]]]]:
        # One round trip for all, the completeness record's table included: a save asks
        # before each call (a download once per run: store.run_writer).
        tables = (*dict.fromkeys((*tables, day_record.TABLE)),)
        among = f"TABLE_SCHEMA = DATABASE() AND TABLE_NAME IN ({', '.join([self.param] * len(tables))})"
        rows = self.execute(f"SELECT 0, TABLE_NAME, COLUMN_NAME, '' FROM information_schema.COLUMNS WHERE {among} "
                            "UNION ALL SELECT 1, TABLE_NAME, COLUMN_NAME, INDEX_NAME "
                            f"FROM information_schema.STATISTICS WHERE {among} AND NON_UNIQUE = 0 AND SUB_PART IS NULL",
                            (*tables, *tables))
        columns: dict[str, set[str]] = {}
        indexes: dict[str, dict[str, set[str]]] = {}
        for is_index, table, column, index in rows:  # a name in another case is not the table asked for
            if is_index:
                indexes.setdefault(table, {}).setdefault(index, set()).add(column)
            else:
                columns.setdefault(table, set()).add(column)
        self.days_seen = self.days_seen or day_record.TABLE in columns
        return {table: (columns.get(table, set()), {frozenset(names) for names in indexes.get(table, {}).values()})
                for table in tables}

    # The per-trading-day aggregates over the unique index (held days, per-hour and
    # per-minute counts) take these forms of a time cut short; the completeness record's
    # table keys on text columns, which MySQL indexes only with a length.
    # 191 characters: the key of three such columns and the day stays within InnoDB's
    # 3,072 bytes of an index under utf8mb4 (a name is at most 64 characters anyway).
    TEXT_TYPE = "VARCHAR(191)"
    SERIAL_KEY = "INTEGER PRIMARY KEY AUTO_INCREMENT"

    def unique_text(self, column: str) -> str:
        # MySQL indexes a TEXT column only by a prefix, which would take two long values
        # with one beginning for one; the one run that holds the store adds its commands.
        return ""

    def record_days(self, days: Sequence[tuple[object, ...]]) -> None:
        columns = day_record.COLUMNS
        updated = ", ".join(f"{self.name(name)} = VALUES({self.name(name)})" for name in day_record.COLUMNS[4:])
        statement = (f"INSERT INTO {self.name(day_record.TABLE)} ({self.names(columns)}) "
                     f'VALUES ({", ".join([self.param] * len(columns))}) ON DUPLICATE KEY UPDATE {updated}')
        self.db.cursor().executemany(statement, days)  # one multi-row statement: the driver joins the rows

    def truncated(self, column: str, unit: str) -> str:
        """SQL for a stored time cut to its "hour" or "minute" (no "%": the driver formats
        the statements it is given parameters for)."""
        minute = f"MINUTE({column})" if unit == "minute" else "0"
        return f"TIMESTAMP(DATE({column}), MAKETIME(HOUR({column}), {minute}, 0))"

    def read_truncated(self, value: object) -> datetime:
        return value  # type: ignore[return-value]  # pymysql reads a DATETIME as a naive datetime

    def tables_match(self, shape: TableShape) -> bool:
        # The literals are the ones pymysql writes, the driver peewee takes when it has it.
        driver = type(self.db.connection()).__module__
        return driver.split(".")[0] == "pymysql" and super().tables_match(shape)

    def text_times(self) -> bool:
        return True  # a naive time's str() is the text the driver writes for it

    def statement_bytes(self) -> int:
        """How many bytes a statement may have: within the server's packet limit, which a
        session keeps from its start (read once per connection)."""
        connection = self.db.connection()
        packet = PACKETS.get(connection)
        if packet is None:
            (packet,) = self.execute("SELECT @@max_allowed_packet").fetchone() or (1 << 20,)
            PACKETS[connection] = packet = int(packet)
        return max(1, min(STATEMENT_BYTES, packet - 1024))

    def upsert(self, shape: TableShape, rows: list[Row]) -> int:
        """The rows replaced in; returns how many rows the table gained: the server counts
        one affected row per row written and one more for each stored row it replaced."""
        return 2 * len(rows) - self.write("REPLACE", shape, rows)

    def insert(self, shape: TableShape, rows: list[Row]) -> None:
        # No stored row to look for: the same ids, drawn in the same order, as REPLACE's.
        self.write("INSERT", shape, rows)

    def write(self, verb: str, shape: TableShape, rows: list[Row]) -> int:
        """The rows sent in statements of `verb` ("INSERT" or "REPLACE"); the rows they
        affected. Where no value can be refused (every value one the native text writes,
        else `unrefused`) and the rows take several statements, each statement's text is
        built while the one before runs on the server (sent from a thread of its own: one
        statement at a time, in order, on the same connection); else every row's text is
        built before the first is sent."""
        head = f"{verb} INTO {self.name(shape.table)} ({self.names(shape.columns)}) VALUES "
        limit = self.statement_bytes() - len(head)
        cursor = self.db.cursor()
        per = self.rows_per_statement(shape, rows, min(limit, STREAMED_BYTES))
        if per >= len(rows) or not (_wire.mysql_written(rows) or unrefused(shape, rows)):
            # no parameters: the text is sent as it is
            return sum(cursor.execute(head + piece) for piece in self.values(shape, rows, limit))
        affected = 0
        with ThreadPoolExecutor(1, thread_name_prefix="norvix-mysql-send") as sender:
            sent: Future[int] | None = None
            for first in range(0, len(rows), per):
                for piece in self.values(shape, rows[first:first + per], limit):
                    if sent is not None:
                        affected += sent.result()
                    sent = sender.submit(cursor.execute, head + piece)
            if sent is not None:
                affected += sent.result()
        return affected

    def rows_per_statement(self, shape: TableShape, rows: list[Row], size: int) -> int:
        """About how many of the rows a statement of `size` bytes holds, by the text of
        the first few."""
        sample = rows[:SAMPLE_ROWS]
        text = sum(map(len, self.values(shape, sample, size)))
        return max(1, int(size * len(sample) / max(1, text) * 0.9))

    def time_digits(self, shape: TableShape) -> int:
        # The fractions of a second the table's times keep (vnpy_mysql's bars none, its
        # ticks milliseconds; a table of another version's may keep others), read once
        # per connection.
        kept = TIME_DIGITS.setdefault(self.db.connection(), {})
        if shape.table not in kept:
            found = self.execute("SELECT DATETIME_PRECISION FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = "
                                 "DATABASE() AND TABLE_NAME = %s AND COLUMN_NAME = 'datetime'", (shape.table,)).fetchone()
            kept[shape.table] = int(found[0]) if found and found[0] is not None else 0
        return kept[shape.table]

    def overview_updated(self, shape: TableShape, key: Row, first: datetime, last: datetime,
                         change: int | None = None) -> bool:
        """Writer.overview_updated in one statement where the entry changes: the server takes
        the earlier start, the later end and the rows held (or its count plus `change`),
        as the adapter computes them for an existing entry. Only an UPDATE that changed
        nothing (no entry, or one already so) is followed by a look."""
        where = self.matching(shape.key)
        overview, table, start, end, count = map(self.name, (shape.overview, shape.table, "start", "end", "count"))
        p = self.param
        held, params = f"(SELECT COUNT(*) FROM {table} WHERE {where})", key
        if change is not None:
            held, params = f"{count} + {p}", (change,)
        # The times compared as times, with their fraction: the column keeps what the
        # adapter's UPDATE would send it, the earlier or later of the two.
        changed = self.execute(f"UPDATE {overview} SET {count} = {held}, "
                               f"{start} = LEAST({start}, CAST({p} AS DATETIME(6))), "
                               f"{end} = GREATEST({end}, CAST({p} AS DATETIME(6))) WHERE {where}",
                               (*params, first, last, *key)).rowcount
        return bool(changed) or self.execute(f"SELECT 1 FROM {overview} WHERE {where}", key).fetchone() is not None

    def values(self, shape: TableShape, rows: list[Row], limit: int) -> list[str]:
        """The rows' VALUES text, every row first (a refused value stops the save here),
        in pieces of at most `limit` bytes (a longer row alone)."""
        if not self.db.connection().server_status & NO_BACKSLASH_ESCAPES:
            pieces = _wire.mysql_values(rows, limit)
            if pieces is not None:
                return pieces
        return list(joined(self.literals(shape, rows), max(1, limit // 4)))  # at most 4 bytes a character

    def literals(self, shape: TableShape, rows: list[Row]) -> list[str]:
        """Each row as a parenthesised list of SQL literals: the text the driver writes for
        its values. The prices are formatted a row at a time, each other column a column at
        a time, in one formatting where all its values are of one type."""
        escape = self.db.connection().escape  # the driver's own, for what is not written here
        first = shape.columns.index(shape.reals[0])
        last = first + len(shape.reals)
        assert shape.columns[first:last] == shape.reals  # the prices side by side
        time = shape.columns.index("datetime")

        def literal(value: object) -> str:
            if type(value) is float:
                return real_literal(value)
            if type(value) is datetime:  # as the driver writes it, without a zone
                return f"'{value if value.tzinfo is None else value.replace(tzinfo=None)}'"
            return "NULL" if value is None else str(escape(value))

        def column(i: int) -> Iterable[str]:
            values = list(map(itemgetter(i), rows))
            kinds = set(map(type, values))
            if kinds == TEXTS and i == time:  # a time held as text (text_times): digits and separators
                return map("'%s'".__mod__, values)
            if kinds == TEXTS:
                quoted = {value: str(escape(value)) for value in set(values)}
                return map(quoted.__getitem__, values)
            return list(map(literal, values))  # a refused value found before any row is made

        prices = list(map(",".join([REAL] * len(shape.reals)).__mod__, map(itemgetter(slice(first, last)), rows)))
        every = ",".join(prices)
        # Only floats without an exponent of their own give no other character, and no "e+" or "e-".
        if not PLAIN_REALS.fullmatch(every) or "e+" in every or "e-" in every:
            prices = [",".join(map(literal, row[first:last])) for row in rows]
        others = [i for i in range(len(shape.columns)) if not first <= i < last]
        row_form = "(" + ",".join(["%s"] * first + ["%s"] + ["%s"] * (len(shape.columns) - last)) + ")"
        columns = [column(i) for i in others]
        return list(map(row_form.__mod__, zip(*columns[:first], prices, *columns[first:])))


def unrefused(shape: TableShape, rows: list[Row]) -> bool:
    """Whether the driver writes a literal for every value of the rows: no NaN or infinity
    among the prices (their sum would not be finite; a sum of finite prices that
    overflows, or a price that is no number, is taken as refused too: the path that
    builds every row's text before sending finds out), and only text, times and NULL in
    the other columns."""
    first = shape.columns.index(shape.reals[0])
    prices = itemgetter(slice(first, first + len(shape.reals)))
    try:
        if not math.isfinite(sum(chain.from_iterable(map(prices, rows)))):
            return False
    except (TypeError, ValueError, ArithmeticError):
        return False
    others = [i for i, column in enumerate(shape.columns) if column not in shape.reals]
    return all(set(map(type, map(itemgetter(i), rows))) <= PLAIN_KINDS for i in others)


def joined(values: list[str], limit: int) -> Iterator[str]:
    """The values joined by "," into pieces of at most `limit` characters (a longer one alone)."""
    chunk: list[str] = []
    size = 0
    for value in values:
        if chunk and size + len(value) + 1 > limit:
            yield ",".join(chunk)
            chunk, size = [], 0
        chunk.append(value)
        size += len(value) + 1
    if chunk:
        yield ",".join(chunk)


def real_literal(value: object) -> str:
    """pymysql's float literal, its refusal included."""
    text = repr(value)
    if text in ("inf", "-inf", "nan"):
        raise peewee.ProgrammingError(f"{text} can not be used with MySQL")
    return text if "e" in text else text + "e0"


def declared(column: str, shape: TableShape, table: str) -> type[peewee.Field]:
    """The field classes vnpy_mysql declares: DOUBLE prices, and the millisecond time
    field of its own for the ticks' times."""
    if column in shape.reals:
        return peewee.DoubleField
    if table == "dbtickdata" and column in ("datetime", "localtime"):
        found = getattr(sys.modules.get("vnpy_mysql.mysql_database"), "DateTimeMillisecondField", None)
        return found if isinstance(found, type) and issubclass(found, peewee.DateTimeField) else Unknown
    return field_class(column, shape, table)


class Unknown(peewee.Field):
    """The class no model declares: the adapter's models are not the ones known."""


def writer(db: PeeweeDatabase) -> Writer:
    return MysqlWriter(db)
