"""The tables vn.py's SQLite, PostgreSQL and MySQL adapters keep, and the rows they write.

The adapters declare the same four peewee models: bars, ticks and one overview table
for each (MySQL's with other field classes for the prices and the tick times, which
adapt a value as these do). The bulk writers address those tables directly, so they are used only when
the adapter's models still declare exactly the columns and unique indexes listed here;
a changed adapter is left to its own methods.

A row holds what the adapter's `save_bar_data` / `save_tick_data` hands to peewee:
the time through vn.py's `convert_tz` (a naive wall time in "database.timezone"; a
naive time is taken as the machine's local time, as `datetime.astimezone` does), the
exchange and interval as their values, text and numbers adapted as peewee's fields
adapt them. `TableShape.rows` builds them natively (`_wire.rows`) wherever that gives the
same row, from the plan that names each column's attribute and rule; the row function
is the definition, and makes every other row.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from functools import cached_property
from datetime import datetime, tzinfo
from operator import attrgetter, itemgetter
from types import ModuleType
from typing import Any, Protocol, runtime_checkable

import peewee
import vnpy.trader.database as vn_database
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import convert_tz
from vnpy.trader.object import BarData, TickData

from .. import _wire

Row = tuple[object, ...]
Key = tuple[str, ...]  # column names
Plan = tuple[tuple[str, int, type | None], ...]  # per column: attribute, _wire.ROW_* rule, enum class


def text(value: object) -> object:
    """peewee's CharField adaptation (None stays None)."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, bytes):
        return value.decode("utf-8")
    return str(value)


def real(value: object) -> object:
    """peewee's FloatField adaptation: a float where one can be made, else the value."""
    try:
        return float(value)  # type: ignore[arg-type]  # tried on anything, as peewee does
    except (TypeError, ValueError):
        return value


def reals(values: tuple[object, ...]) -> tuple[object, ...]:
    try:
        return tuple(map(float, values))  # type: ignore[arg-type]  # as in real()
    except (TypeError, ValueError):
        return tuple(map(real, values))


_format_date_time: Callable[[str, list[str]], object] = getattr(peewee, "format_date_time")


def moment(value: object) -> object:
    """peewee's DateTimeField adaptation (a text is read as a time; others pass)."""
    if value and isinstance(value, str):
        return _format_date_time(value, peewee.DateTimeField.formats)
    return value


def row_zone() -> tzinfo | None:
    """The zone whose wall times `convert_tz` gives: "database.timezone", read at each call
    as convert_tz reads it; None where convert_tz is another's, which only its own calls make."""
    return vn_database.DB_TZ if convert_tz is vn_database.convert_tz else None


@runtime_checkable
class Columnar(Protocol):
    """Records held as columns, which make their rows in a shape's form themselves
    (store/ticks.py)."""

    def rows(self, shape: TableShape, text_times: bool) -> list[Row]: ...


@dataclass(frozen=True)
class TableShape:
    """One shape of record: its table, its overview table and how a record becomes a row."""

    table: str
    overview: str
    key: Key  # the overview's key, also the leading part of the records' unique index
    columns: Key  # the columns written, in row order
    unique: Key  # the records' unique index
    nullable: frozenset[str]
    row: Callable[[Any], Row]
    given_times: Key  # time columns written as the record holds them, with or without a zone
    reals: Key  # the FloatField (REAL) columns
    model: str  # the adapter's model names
    overview_model: str
    cls: type  # the records' class
    enums: dict[str, type]  # the columns that hold an enum member's value, and its class

    @cached_property
    def plan(self) -> Plan:
        """How `row` reads each column: the time through convert_tz, the enums' values, the
        REAL columns, the times as given, and text."""
        def rule(column: str) -> int:
            if column == "datetime":
                return _wire.ROW_MOMENT
            if column in self.enums:
                return _wire.ROW_VALUE
            if column in self.reals:
                return _wire.ROW_REAL
            return _wire.ROW_AS_GIVEN if column in self.given_times else _wire.ROW_TEXT

        return tuple((column, rule(column), self.enums.get(column)) for column in self.columns)

    def rows(self, records: Sequence[Any], text_times: bool) -> list[Row]:
        """`[self.row(record) for record in records]`; with `text_times` the time column
        holds `str(time)` wherever `row` gives a datetime there."""
        if isinstance(records, Columnar):
            return records.rows(self, text_times)
        return _wire.rows(records, self.cls, self.plan, self.row, row_zone(), text_times)

    @property
    def updated(self) -> Key:
        """What a re-saved record replaces: every column outside the unique index."""
        return tuple(column for column in self.columns if column not in self.unique)

    @cached_property
    def key_of(self) -> Callable[[Row], Row]:
        """The row's overview key (of two columns or more)."""
        return itemgetter(*(self.columns.index(column) for column in self.key))

    @cached_property
    def unique_of(self) -> Callable[[Row], Row]:
        """The row's values in the unique index."""
        return itemgetter(*(self.columns.index(column) for column in self.unique))

    def time(self, row: Row) -> datetime:
        """The row's time, also where the row holds it as text."""
        return moment(row[self.columns.index("datetime")])  # type: ignore[return-value]  # a time column


_BAR_REALS = ("volume", "turnover", "open_interest", "open_price", "high_price", "low_price", "close_price")
_bar_reals = attrgetter(*_BAR_REALS)


def bar_row(bar: BarData) -> Row:
    # vn.py types a bar's exchange and interval as optional; a bar saved has both.
    symbol, exchange, interval = bar.symbol, bar.exchange._value_, bar.interval._value_  # type: ignore[union-attr]
    return (symbol if type(symbol) is str else text(symbol), exchange if type(exchange) is str else text(exchange),
            convert_tz(bar.datetime), interval if type(interval) is str else text(interval),
            *reals(_bar_reals(bar)))


_DEPTH = tuple(f"{side}_{what}_{level}" for what in ("price", "volume") for side in ("bid", "ask")
               for level in range(1, 6))
_TICK_REALS = ("volume", "turnover", "open_interest", "last_price", "last_volume", "limit_up", "limit_down",
               "open_price", "high_price", "low_price", "pre_close", *_DEPTH)
_tick_reals = attrgetter(*_TICK_REALS)


def tick_row(tick: TickData) -> Row:
    return (text(tick.symbol), text(tick.exchange.value), convert_tz(tick.datetime), text(tick.name),
            *reals(_tick_reals(tick)), moment(tick.localtime))


BARS = TableShape(
    table="dbbardata", overview="dbbaroverview", key=("symbol", "exchange", "interval"),
    columns=("symbol", "exchange", "datetime", "interval", *_BAR_REALS),
    unique=("symbol", "exchange", "interval", "datetime"), nullable=frozenset(), row=bar_row, given_times=(),
    reals=_BAR_REALS, model="DbBarData", overview_model="DbBarOverview", cls=BarData,
    enums={"exchange": Exchange, "interval": Interval},
)
TICKS = TableShape(
    table="dbtickdata", overview="dbtickoverview", key=("symbol", "exchange"),
    columns=("symbol", "exchange", "datetime", "name", *_TICK_REALS, "localtime"),
    unique=("symbol", "exchange", "datetime"),
    nullable=frozenset({*(name for name in _DEPTH if not name.endswith("_1")), "localtime"}), row=tick_row,
    given_times=("localtime",), reals=_TICK_REALS,
    model="DbTickData", overview_model="DbTickOverview", cls=TickData,
    enums={"exchange": Exchange},
)

SHAPES = {"bars": BARS, "ticks": TICKS}

_FIELD_CLASSES = {"datetime": peewee.DateTimeField, "localtime": peewee.DateTimeField, "start": peewee.DateTimeField,
                  "end": peewee.DateTimeField, "count": peewee.IntegerField}


FieldClass = Callable[[str, TableShape, str], "type[peewee.Field]"]  # column, shape, table -> the declared field class


def field_class(column: str, shape: TableShape, table: str) -> type[peewee.Field]:
    """The field class the SQLite and PostgreSQL adapters declare for a column."""
    if column in _FIELD_CLASSES:
        return _FIELD_CLASSES[column]
    return peewee.CharField if column in (*shape.key, "name") else peewee.FloatField


def _model_matches(model: object, table: str, columns: Key, unique: Key, shape: TableShape, database: object,
                   declared: FieldClass) -> bool:
    meta = getattr(model, "_meta", None)
    if meta is None or meta.table_name != table or meta.database is not database:
        return False
    fields = meta.sorted_fields
    if [field.name for field in fields] != ["id", *columns] or type(fields[0]) is not peewee.AutoField:
        return False
    for field in fields[1:]:
        if (type(field) is not declared(field.name, shape, table) or field.column_name != field.name
                or bool(field.null) != (field.name in shape.nullable) or field.unique):
            return False
    return tuple(meta.indexes) == (((unique), True),)


def adapter_matches(database: object, declared: FieldClass = field_class) -> bool:
    """`database` is an instance of its adapter module's own class (not of a class made
    from it), and the module's models declare the shapes above, each column with the
    field class `declared` names."""
    import sys

    cls = type(database)
    module: ModuleType | None = sys.modules.get(cls.__module__)
    if module is None or getattr(module, cls.__name__, None) is not cls:
        return False
    peewee_db = getattr(database, "db", None)
    for shape in SHAPES.values():
        overview_columns = (*shape.key, "count", "start", "end")
        if not (_model_matches(getattr(module, shape.model, None), shape.table, shape.columns, shape.unique,
                               shape, peewee_db, declared)
                and _model_matches(getattr(module, shape.overview_model, None), shape.overview, overview_columns,
                                   shape.key, shape, peewee_db, declared)):
            return False
    return True
