"""The store room: where a download saves and what `update`, `verify` and `status` read.

A `Store` (base.py) holds the rules every store keeps alike (what is held whole, the
days still provisional, what each series holds) over a few primitives each store
supplies: `DatabaseStore` (database.py) for vn.py's database, its writer chosen once
(the bulk writers of vnpy_sqlite, vnpy_postgresql and vnpy_mysql: sqlite.py,
postgresql.py, mysql.py; else the adapter's own functions), and `LabStore` (lab.py)
for an AlphaLab folder. The completeness record's rule is days.py's; the roll table
rolls.py's. `as_store` takes vn.py's database as it comes from vn.py.

The module functions over vn.py's database (`save_bars`, `save_window`, `held_days`, ...)
are database.py's, named here for the callers that hold vn.py's database itself.
"""

from __future__ import annotations

from vnpy.trader.database import BaseDatabase

from .base import Holding, Series, Store
from .database import (ADAPTERS, DatabaseStore, Writers, bulk_writer, configured, day_counts, day_records, describe,
                       describe_db, held_days, replace_bars, run_writer, save_bars, save_ticks, save_window, series_key,
                       shape_of, sql_writer, stored_span, time_counts, try_server_lock, machine_zone_warning)
from .days import DayRecord

__all__ = ["ADAPTERS", "DatabaseStore", "DayRecord", "Holding", "Series", "Store", "Writers", "as_store", "bulk_writer",
           "configured", "day_counts", "day_records", "describe", "describe_db", "held_days", "replace_bars",
           "run_writer", "save_bars", "save_ticks", "save_window", "series_key", "shape_of", "sql_writer",
           "stored_span", "time_counts", "try_server_lock", "machine_zone_warning"]


def as_store(database: BaseDatabase | Store) -> Store:
    """`database` as a store: vn.py's database wrapped once, a store as it is."""
    return database if isinstance(database, Store) else DatabaseStore(database)
