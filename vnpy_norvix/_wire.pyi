"""The engine's native entry: the datafeed's requests, masking and answer decoding, as data.

Built from the same sources as ``norvix_datafeed``; nothing here logs."""

from typing import Final

import numpy as np

from vnpy.trader.object import BarData, TickData

TIMEOUT: Final[int]
OK: Final[int]
EMPTY: Final[int]
REFUSED: Final[int]
NOT_JSON: Final[int]
BAD_SHAPE: Final[int]
KINDS: Final[tuple[str, ...]]

def request(
    kind: str, symbol: str, first: str | None = None, last: str | None = None
) -> tuple[str, str, dict[str, object]]:
    """(method, endpoint, members) of the datafeed's request for `kind`; ValueError for an
    unknown kind. For a GET the members are the query string."""

def limit(kind: str) -> int | None:
    """The most records one answer of `kind` holds, or None."""

def headers(username: str, password: str) -> dict[str, str]:
    """The four request headers, in order: Content-Type, User-Agent, mobile, token."""

def mask(text: str, password: object) -> str:
    """`text` with every whole occurrence of the password masked (plain, repr-escaped,
    JSON-escaped; a bytes password in its Latin-1 and UTF-8 readings); None masks nothing."""

def decode(
    kind: str, body: bytes, symbol: str, exchange: object, password: object
) -> tuple[int, list[BarData] | list[TickData] | list[dict[str, object]], object, str | None, list[str], bool]:
    """One answer body read as the datafeed reads it:
    (status, records, code, message, skipped, native)."""

def decode_columns(
    kind: str, body: bytes, password: object
) -> tuple[int, dict[str, np.ndarray | tuple[np.ndarray, list[object]]], object, str | None, list[str], bool]:
    """One history answer ("day", "minute" or "tick") read into typed columns, with the
    statuses, skip reasons and fallback of `decode`: (status, columns, code, message,
    skipped, native). columns: "datetime" (int64 nanoseconds since the epoch) and each
    field under its vn.py keyword (float64), a text field as (int32 codes, values); empty
    unless OK. A time nanoseconds cannot hold (before 1677, after 2262) makes the answer
    BAD_SHAPE. ImportError without numpy."""
