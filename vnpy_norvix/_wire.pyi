"""The engine's native entry: the datafeed's requests, masking and answer decoding, as data.

Built from the same sources as ``norvix_datafeed``; nothing here logs."""

from collections.abc import Callable, Iterable
from datetime import tzinfo
from typing import Any, Final

import numpy as np

from vnpy.trader.object import BarData, TickData

TIMEOUT: Final[int]
OK: Final[int]
EMPTY: Final[int]
REFUSED: Final[int]
NOT_JSON: Final[int]
BAD_SHAPE: Final[int]
QUERIES: Final[tuple[str, ...]]
ROW_TEXT: Final[int]
ROW_VALUE: Final[int]
ROW_MOMENT: Final[int]
ROW_REAL: Final[int]
ROW_AS_GIVEN: Final[int]

def request(
    query: str, symbol: str, first: str | None = None, last: str | None = None
) -> tuple[str, str, dict[str, object]]:
    """(method, endpoint, members) of the datafeed's request for the query named `query`;
    ValueError for an unknown query. For a GET the members are the query string."""

def limit(query: str) -> int | None:
    """The most records one answer of the query `query` holds, or None."""

def headers(username: str, password: str) -> dict[str, str]:
    """The four request headers, in order: Content-Type, User-Agent, mobile, token."""

def mask(text: str, password: object) -> str:
    """`text` with every whole occurrence of the password masked (plain, repr-escaped,
    JSON-escaped; a bytes password in its Latin-1 and UTF-8 readings); None masks nothing."""

def decode(
    query: str, body: bytes, symbol: str, exchange: object, password: object
) -> tuple[int, list[BarData] | list[TickData] | list[dict[str, object]], object, str | None, list[str], bool]:
    """One answer body read as the datafeed reads it:
    (status, records, code, message, skipped, native)."""

def decode_columns(
    query: str, body: bytes, password: object
) -> tuple[int, dict[str, np.ndarray | tuple[np.ndarray, list[object]]], object, str | None, list[str], bool]:
    """One history answer ("day", "minute" or "tick") read into typed columns, with the
    statuses, skip reasons and fallback of `decode`: (status, columns, code, message,
    skipped, native). columns: "datetime" (int64 nanoseconds since the epoch) and each
    field under its vn.py keyword (float64), a text field as (int32 codes, values); empty
    unless OK. A time nanoseconds cannot hold (before 1677, after 2262) makes the answer
    BAD_SHAPE. ImportError without numpy."""

def rows(
    records: Iterable[Any], cls: type, plan: tuple[tuple[str, int, type | None], ...],
    fallback: Callable[[Any], tuple[object, ...]], zone: tzinfo | None, text_times: bool
) -> list[tuple[object, ...]]:
    """`[fallback(record) for record in records]`, the rows of the records of exactly `cls`
    whose values all have the exact type their column's rule takes built natively: plan
    holds (attribute, ROW_* rule, enum class for ROW_VALUE) in column order. ROW_TEXT a
    str, ROW_VALUE a member of that class (its `_value_`, a str), ROW_MOMENT an aware
    datetime whose tzinfo is `zone` (its naive wall time, as `isoformat(" ")` with
    `text_times`), ROW_REAL a float or an int (as float(int)), ROW_AS_GIVEN None or a datetime."""

def csv_text(rows: list[tuple[object, ...]]) -> str | None:
    """What `csv.writer(f, quoting=csv.QUOTE_STRINGS, lineterminator="\\n").writerows(rows)`
    writes, for rows (tuples of two values or more) of None, str, float, int and datetime
    values; None for any others, left to csv.writer."""

def mysql_values(rows: list[tuple[object, ...]], limit: int) -> list[str] | None:
    """The rows as the VALUES text of multi-row statements: each row "(" its values'
    literals as pymysql's `Connection.escape` writes them (without NO_BACKSLASH_ESCAPES),
    joined by "," ")", the rows joined by "," into pieces of at most `limit` UTF-8 bytes
    (a longer row alone). Rows of None, str, float, int and datetime values (a datetime's
    zone left out); None for any others, and for a NaN or an infinity, left to the driver."""

def mysql_written(rows: list[tuple[object, ...]]) -> bool:
    """Whether `mysql_values(rows, limit)` writes the rows' text, without making it: then
    none of their values is one the driver refuses."""

def column_rows(columns: list[object], count: int) -> list[tuple[object, ...]]:
    """`list(zip(*columns))` for columns each a list of `count` values, a tuple of one value
    (that value in every row) or a contiguous buffer of `count` doubles (a float each);
    ValueError where a column is not `count` long."""
