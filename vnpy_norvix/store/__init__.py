"""Bars and ticks into vn.py's database.

`save_bars` / `save_ticks` leave exactly what the database adapter's own
`save_bar_data` / `save_tick_data` would leave: the same rows, values and overview
entries. With vnpy_sqlite, vnpy_postgresql or vnpy_mysql, when their models still declare
the tables this package knows (schema.py) and the database has them, the rows are written
in bulk, in one transaction per call (sqlite.py, postgresql.py, mysql.py); any other adapter gets
its own methods. Either way the records the caller holds are left as they are (vn.py's
adapters rewrite the records they are given, so they get copies).

`replace_bars` puts a new series in place of the stored one: in one transaction with
the three adapters above, so that a failure or an interruption leaves the stored series
as it was; with any other adapter, the best its methods allow (see there).
"""

from __future__ import annotations

import copy
import importlib
import time
from collections.abc import Callable, Sequence
from datetime import datetime, timezone
from typing import TYPE_CHECKING, TypeVar

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BaseDatabase
from vnpy.trader.object import BarData, TickData

if TYPE_CHECKING:
    from .writer import Writer

R = TypeVar("R", BarData, TickData)

__all__ = ["describe", "replace_bars", "save_bars", "save_ticks", "zone_warning"]

# The adapter classes whose tables the bulk writers know: (module, class) -> the writer's
# module. Nothing of peewee is imported unless the database is one of them: another
# adapter may come without it.
ADAPTERS = {
    ("vnpy_sqlite.sqlite_database", "SqliteDatabase"): "sqlite",
    ("vnpy_postgresql.postgresql_database", "PostgresqlDatabase"): "postgresql",
    ("vnpy_mysql.mysql_database", "MysqlDatabase"): "mysql",
}


def bulk_writer(database: BaseDatabase, kind: str) -> Writer | None:
    """The bulk writer for `database`'s tables of "bars" or "ticks", or None when they
    are not the ones it knows."""
    cls = type(database)
    dialect = ADAPTERS.get((cls.__module__, cls.__name__))
    if dialect is None:
        return None
    from .schema import LAYOUTS, adapter_matches, field_class

    module = importlib.import_module(f"{__name__}.{dialect}")
    if not adapter_matches(database, getattr(module, "declared", field_class)):
        return None
    # The adapters of ADAPTERS hold their peewee database as `db`, which BaseDatabase does not declare.
    writer: Writer = module.writer(database.db)  # type: ignore[attr-defined]
    return writer if writer.tables_match(LAYOUTS[kind]) else None


def save_bars(database: BaseDatabase, bars: Sequence[BarData]) -> None:
    """The bars saved as `database.save_bar_data(bars)` saves them (nothing for none)."""
    _save(database, "bars", bars, database.save_bar_data)


def save_ticks(database: BaseDatabase, ticks: Sequence[TickData]) -> None:
    """The ticks saved as `database.save_tick_data(ticks)` saves them (nothing for none)."""
    _save(database, "ticks", ticks, database.save_tick_data)


def _save(database: BaseDatabase, kind: str, records: Sequence[R], adapter_save: Callable[[list[R]], object]) -> None:
    if not records:
        return
    writer = bulk_writer(database, kind)
    if writer is None:
        adapter_save([copy.copy(record) for record in records])
    else:
        writer.save_records(kind, records)


def replace_bars(database: BaseDatabase, symbol: str, exchange: Exchange, interval: Interval,
                 bars: Sequence[BarData]) -> None:
    """The stored bars of (symbol, exchange, interval) replaced by `bars`, which must
    all be of that series and must not be empty (`delete_bar_data` deletes a series).

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
        writer.save_records("bars", bars, replacing=(symbol, exchange.value, interval.value))
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


def describe(database: BaseDatabase) -> str:
    """Which database: the SQLite file, the PostgreSQL or MySQL server and database, or the adapter."""
    cls = type(database)
    dialect = ADAPTERS.get((cls.__module__, cls.__name__))
    db = getattr(database, "db", None)
    if dialect == "sqlite" and db is not None:
        return f"SQLite {db.database}"
    if dialect == "postgresql" and db is not None:
        params = db.connect_params
        return f"PostgreSQL {params.get('host') or 'localhost'}:{params.get('port') or 5432}/{db.database}"
    if dialect == "mysql" and db is not None:
        params = db.connect_params
        return f"MySQL {params.get('host') or 'localhost'}:{params.get('port') or 3306}/{db.database}"
    return cls.__module__


def zone_warning() -> str | None:
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
