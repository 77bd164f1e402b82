"""A continuous series' roll table, kept beside vn.py's tables in "norvixroll" (vnpy_sqlite,
vnpy_postgresql, vnpy_mysql): one row per roll under the series' symbol, exchange and
interval, replaced together with the series' bars in one transaction, so that the table
always describes the bars stored. `params` and `stats` are JSON text, days YYYY-MM-DD,
`effective_start` an ISO time with its offset."""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .writer import Writer

TABLE = "norvixroll"
KEY = ("symbol", "exchange", "interval")
# A roll's fields, in order: in JSON, in a lab's rolls.csv and in the table.
FIELDS = ("product", "depth", "rule", "params", "decision_day", "effective_day", "effective_start",
          "from_contract", "to_contract", "from_close", "to_close", "ratio", "difference", "factor", "trigger",
          "stats", "service_dominant", "service_factor")
NUMBERS = ("from_close", "to_close", "ratio", "difference", "factor", "service_factor")
JSON_FIELDS = ("params", "stats")


def create(writer: Writer) -> None:
    """The table, where the database has none (in a transaction of its own: MySQL commits
    the one under way at a CREATE TABLE)."""
    if writer.table_columns(TABLE):
        return
    kinds = {name: "DOUBLE PRECISION" if name in NUMBERS else "INTEGER" if name == "depth" else "TEXT"
             for name in (*KEY, *FIELDS)}
    columns = ", ".join(f"{writer.name(name)} {kind}" for name, kind in kinds.items())
    with writer.transaction():
        writer.execute(f"CREATE TABLE IF NOT EXISTS {writer.name(TABLE)} ({writer.name('id')} "
                       f"{writer.SERIAL_KEY}, {columns})")


def flat(row: dict[str, Any]) -> dict[str, Any]:
    """A roll's JSON fields as text, as CSV and the table keep them."""
    return {**row, **{name: json.dumps(row[name], sort_keys=True) for name in JSON_FIELDS}}


def replace(writer: Writer, key: Sequence[str], rows: Sequence[dict[str, Any]]) -> None:
    """The series' rows replaced by `rows`, inside the caller's transaction."""
    where = " AND ".join(f"{writer.name(name)} = {writer.param}" for name in KEY)
    writer.execute(f"DELETE FROM {writer.name(TABLE)} WHERE {where}", tuple(key))
    names = (*KEY, *FIELDS)
    statement = (f"INSERT INTO {writer.name(TABLE)} ({writer.names(names)}) "
                 f"VALUES ({', '.join([writer.param] * len(names))})")
    for row in map(flat, rows):
        writer.execute(statement, (*key, *(row[name] for name in FIELDS)))


def read(writer: Writer, symbol: str, exchange: str | None = None) -> list[dict[str, Any]]:
    """The stored rolls of the series named `symbol` (on `exchange`), by interval and roll."""
    if not writer.table_columns(TABLE):
        return []
    where, params = f"{writer.name('symbol')} = {writer.param}", [symbol]
    if exchange:
        where += f" AND {writer.name('exchange')} = {writer.param}"
        params.append(exchange)
    names = (*KEY, *FIELDS)
    found = writer.execute(f"SELECT {writer.names(names)} FROM {writer.name(TABLE)} WHERE {where} "
                           f"ORDER BY {writer.names(('exchange', 'interval', 'effective_day', 'id'))}", params)
    rows = []
    for values in found:
        row = dict(zip(names, values))
        for name in JSON_FIELDS:
            row[name] = json.loads(row[name])
        rows.append(row)
    return rows
