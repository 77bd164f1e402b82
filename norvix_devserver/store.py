"""Read side of the database: each query renders its records as a JSON array (bytes).

SQLite builds every record (json_object), in the member names and text formats the
service answers with; Python only joins them. Rendered answers are kept in a
byte-bounded LRU cache, since the data never change while the service runs.

The service answers with what was published by its clock's now (China time, read from
the machine's clock at each query): a minute bar once its minute has ended, a tick once
its time has come, a daily bar once its trading day's sessions have closed, reference
data of the trading days begun. Queries that end before today are answered whole, and
stay cached.
"""

from __future__ import annotations

import json
import os
import sqlite3
import threading
from collections import OrderedDict
from contextlib import closing
from datetime import date, datetime, time, timedelta
from pathlib import Path
from typing import Callable
from zoneinfo import ZoneInfo

from .generate import GENERATOR_VERSION, stored_plan

REPO_ROOT = Path(__file__).resolve().parent.parent
DB_ENV = "NORVIX_DEVSERVER_DB"

# Inclusive date bounds that stand for "unbounded" in range queries.
EARLIEST, LATEST = "0000-01-01", "9999-12-31"
# A bound on times that lets every record through.
NO_CUTOFF = "9999-12-31 23:59:59"

CHINA = ZoneInfo("Asia/Shanghai")
# A trading day's daily bar is published when its last session closes; a night session
# (from 21:00, its auction from 20:55) begins the next trading day.
DAY_CLOSED = time(15, 0)
EVENING = time(20, 0)
TIME_FORMAT = "%Y-%m-%d %H:%M:%S"


def china_now() -> datetime:
    return datetime.now(CHINA)


def default_database_path() -> Path:
    """$NORVIX_DEVSERVER_DB, else .devdata/norvix.sqlite in the repository."""
    configured = os.environ.get(DB_ENV)
    return Path(configured) if configured else REPO_ROOT / ".devdata" / "norvix.sqlite"


class StoreError(Exception):
    pass


def _members(*pairs: tuple[str, str]) -> str:
    return ", ".join(f"'{name}', {expression}" for name, expression in pairs)


_BAR_PRICES = (("open_price", "b.open"), ("high_price", "b.high"), ("low_price", "b.low"),
               ("close_price", "b.close"), ("volume", "b.volume"), ("turnover", "b.turnover"),
               ("open_interest", "b.open_interest"))

DAY_BARS = f"""
SELECT json_object({_members(("instrument_id", "b.instrument_id"), ("exchange", "c.exchange"),
                             ("trading_date", "b.trading_date"), *_BAR_PRICES, ("settlement", "b.settlement"),
                             ("pre_settlement", "b.pre_settlement"), ("pre_close", "b.pre_close"),
                             ("limit_up", "b.limit_up"), ("limit_down", "b.limit_down"))})
FROM day_bar AS b JOIN contract AS c USING (instrument_id)
WHERE b.instrument_id = ? AND b.trading_date BETWEEN ? AND ? AND b.trading_date <= ?
ORDER BY b.trading_date LIMIT ?
"""

MINUTE_BARS = f"""
SELECT json_object({_members(("instrument_id", "b.instrument_id"), ("exchange", "c.exchange"),
                             ("trading_date", "b.trading_date"), ("trading_datetime", "b.trading_datetime"),
                             *_BAR_PRICES)})
FROM minute_bar AS b JOIN contract AS c USING (instrument_id)
WHERE b.instrument_id = ? AND b.trading_date BETWEEN ? AND ? AND b.trading_datetime <= ?
ORDER BY b.trading_date, b.trading_datetime LIMIT ?
"""

_TICK_COLUMNS = (
    "last_price", "last_volume", "volume", "turnover", "open_interest", "open", "high", "low", "pre_close",
    "limit_up", "limit_down",
    *(f"{side}_{kind}_{level}" for kind in ("price", "volume") for side in ("bid", "ask") for level in range(1, 6)),
)

TICKS = f"""
SELECT json_object({_members(("instrument_id", "t.instrument_id"), ("exchange", "c.exchange"),
                             ("name", "c.name"), ("trading_date", "t.trading_date"),
                             ("trading_datetime", "t.trading_datetime"),
                             *((column, f"t.{column}") for column in _TICK_COLUMNS))})
FROM tick AS t JOIN contract AS c USING (instrument_id)
WHERE t.instrument_id = ? AND t.trading_date = ? AND t.trading_datetime <= ?
ORDER BY t.trading_datetime
"""

DOMINANT = f"""
SELECT json_object({_members(("trading_date", "d.trading_date"), ("symbol", "d.symbol"),
                             ("instrument_id", "d.instrument_id"), ("exchange", "c.exchange"))})
FROM dominant AS d JOIN contract AS c USING (instrument_id)
WHERE d.symbol = ? AND d.trading_date BETWEEN ? AND ? AND d.trading_date <= ?
ORDER BY d.trading_date
"""

CURRENT = f"""
SELECT json_object({_members(("trading_date", "b.trading_date"), ("symbol", "c.symbol"),
                             ("instrument_id", "c.instrument_id"), ("exchange", "c.exchange"), ("name", "c.name"),
                             ("delivery_month", "c.delivery_month"), ("list_date", "c.list_date"),
                             ("expire_date", "c.expire_date"),
                             ("is_dominant", "json(CASE WHEN d.instrument_id IS NULL THEN 'false' ELSE 'true' END)"))})
FROM day_bar AS b JOIN contract AS c USING (instrument_id)
LEFT JOIN dominant AS d ON d.trading_date = b.trading_date AND d.instrument_id = b.instrument_id
WHERE b.trading_date = ?1 AND (?2 IS NULL OR c.symbol = ?2)
ORDER BY c.symbol, c.expire_date
"""

EX_FACTORS = f"""
SELECT json_object({_members(("trading_date", "trading_date"), ("symbol", "symbol"),
                             ("from_instrument_id", "from_instrument_id"), ("to_instrument_id", "to_instrument_id"),
                             ("ex_factor", "ex_factor"), ("ex_cum_factor", "ex_cum_factor"))})
FROM ex_factor
WHERE symbol = ? AND trading_date BETWEEN ? AND ? AND trading_date <= ?
ORDER BY trading_date
"""

MULTIPLIERS = f"""
SELECT json_object({_members(("symbol", "symbol"), ("exchange", "exchange"), ("name", "name"),
                             ("multiplier", "multiplier"), ("price_tick", "price_tick"),
                             ("quote_unit", "quote_unit"))})
FROM product
WHERE ?1 IS NULL OR symbol = ?1
ORDER BY exchange, symbol
"""


class _RenderedCache:
    """LRU of rendered answers, bounded by their total size in bytes."""

    def __init__(self, capacity: int):
        self.capacity = capacity
        self.size = 0
        self.entries: OrderedDict[tuple, bytes] = OrderedDict()
        self.lock = threading.Lock()

    def get(self, key: tuple) -> bytes | None:
        with self.lock:
            value = self.entries.get(key)
            if value is not None:
                self.entries.move_to_end(key)
            return value

    def put(self, key: tuple, value: bytes) -> None:
        if len(value) > self.capacity:
            return
        with self.lock:
            if key in self.entries:
                return
            self.entries[key] = value
            self.size += len(value)
            while self.size > self.capacity:
                _, dropped = self.entries.popitem(last=False)
                self.size -= len(dropped)


class Store:
    """The service's data, read-only. Dates are `date` objects or None (unbounded)."""

    def __init__(self, path: str | os.PathLike, *, cache_bytes: int = 384 << 20,
                 clock: Callable[[], datetime] = china_now):
        self.path = Path(path)
        if not self.path.is_file():
            raise StoreError(f"{self.path} does not exist: run python -m norvix_devserver generate")
        plan = stored_plan(self.path)
        if plan is None or json.loads(plan).get("version") != GENERATOR_VERSION:
            raise StoreError(f"{self.path} is not a database of this norvix_devserver version:"
                             " run python -m norvix_devserver generate --force")
        self.plan = plan
        self._uri = f"{self.path.resolve().as_uri()}?mode=ro"
        self._cache = _RenderedCache(cache_bytes)
        self.clock = clock  # now, as an aware time

    # What is published by now; a query ending before today is answered whole (one cache key).

    def _now(self) -> datetime:
        return self.clock().astimezone(CHINA)

    def _times_until(self, end: date | None, published: datetime) -> str:
        """The last record time published, for a query of trading days up to `end`."""
        now = self._now()
        return NO_CUTOFF if end is not None and end < now.date() else published.strftime(TIME_FORMAT)

    def _days_until(self, end: date | None, last: date) -> str:
        """The last trading date published (`last`), for a query of trading days up to `end`."""
        return LATEST if end is not None and end < self._now().date() else last.isoformat()

    def _day_bars_until(self, end: date | None) -> str:
        now = self._now()
        return self._days_until(end, now.date() if now.time() >= DAY_CLOSED else now.date() - timedelta(days=1))

    def _trading_days_until(self, end: date | None) -> str:
        """Reference data are published for the trading days begun: today's, and from the
        evening on, the next weekday's (a night session opens it)."""
        now = self._now()
        day = now.date()
        if now.time() >= EVENING:
            day += timedelta(days=1)
            while day.weekday() >= 5:
                day += timedelta(days=1)
        return self._days_until(end, day)

    def _connect(self) -> sqlite3.Connection:
        return sqlite3.connect(self._uri, uri=True, check_same_thread=False)

    def _scalar(self, sql: str, args: tuple = ()) -> object:
        with closing(self._connect()) as db:
            row = db.execute(sql, args).fetchone()
        return row[0] if row else None

    def _records(self, sql: str, args: tuple) -> bytes:
        key = (sql, args)
        cached = self._cache.get(key)
        if cached is not None:
            return cached
        with closing(self._connect()) as db:
            rows = db.execute(sql, args).fetchall()
        body = ("[" + ",".join([row[0] for row in rows]) + "]").encode("utf-8")
        self._cache.put(key, body)
        return body

    # Market data

    def day_bars(self, instrument_id: str, start: date, end: date, limit: int) -> bytes:
        return self._records(DAY_BARS, (instrument_id, _text(start, EARLIEST), _text(end, LATEST),
                                        self._day_bars_until(end), limit))

    def minute_bars(self, instrument_id: str, start: date, end: date, limit: int) -> bytes:
        # A bar is stamped at the start of its minute, and published when the minute ends.
        cutoff = self._times_until(end, self._now() - timedelta(minutes=1))
        return self._records(MINUTE_BARS, (instrument_id, _text(start, EARLIEST), _text(end, LATEST), cutoff, limit))

    def ticks(self, instrument_id: str, trading_date: date) -> bytes:
        return self._records(TICKS, (instrument_id, _text(trading_date, EARLIEST),
                                     self._times_until(trading_date, self._now())))

    # Reference data

    def dominant(self, symbol: str, start: date | None, end: date | None) -> bytes:
        return self._records(DOMINANT, (symbol, _text(start, EARLIEST), _text(end, LATEST),
                                         self._trading_days_until(end)))

    def current(self, symbol: str | None, trading_date: date | None) -> bytes:
        """The contracts tradable on a trading day (the last one of the data when None)."""
        day = _text(trading_date, None) or self._scalar(
            "SELECT max(trading_date) FROM trading_day WHERE trading_date <= ?", (self._day_bars_until(None),))
        return self._records(CURRENT, (day, symbol or None))

    def ex_factors(self, symbol: str, start: date | None, end: date | None) -> bytes:
        return self._records(EX_FACTORS, (symbol, _text(start, EARLIEST), _text(end, LATEST),
                                          self._trading_days_until(end)))

    def multipliers(self, symbol: str | None) -> bytes:
        return self._records(MULTIPLIERS, (symbol or None,))

    def data_range(self) -> tuple[str, str]:
        """First and last trading day of the data."""
        with closing(self._connect()) as db:
            return db.execute("SELECT min(trading_date), max(trading_date) FROM trading_day").fetchone()


def _text(day: date | None, default: str | None) -> str | None:
    return default if day is None else day.isoformat()
