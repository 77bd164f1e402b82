"""The service's reference data, checked before use, and the contract checks built on it.

Every reference answer the plug-in reads passes one of the readers below: the records
must be a list of objects whose members have the expected types (instrument ids
contract and product names (vnpy_norvix/names.py: they become file names, stored symbols
and log lines), exchanges vn.py Exchange values, dates "YYYY-MM-DD", factors finite
numbers). An answer that fails is the engine's `Failure` with the reason, the password
masked in it as the engine masks its lines, never an exception from deep inside a caller.

A contract is checked against the service's products (which name each product's
exchange) and against its dominant contracts and tradable contracts: a contract is
known when it was dominant on some day, or is tradable on the last trading day before
its delivery month (or on the nearest day of the service's data). The answers are kept
per process, per service address and credentials, until the service next publishes
(`expires`: the morning, the day's close, the evening), so that a long-running process
(vn.py's desktop, a notebook) sees contracts listed since; and a contract or product
missing from the kept answers is looked up again, once per check, before it is refused.
"""

from __future__ import annotations

import json
import math
import re
import threading
from bisect import bisect_left
from collections.abc import Callable
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from typing import TYPE_CHECKING, TypeVar

from vnpy.trader.constant import Exchange

from .calendar import EVENING, now_in_china, published
from .engine import Engine, Failure, Scope
from .names import is_name, product_of

if TYPE_CHECKING:
    from norvix_datafeed import NorvixDatafeed

T = TypeVar("T")
DATE = re.compile(r"\d{4}-\d{2}-\d{2}")
# A contract's name: its product's letters, then the delivery year (one or two digits) and month.
CONTRACT = re.compile(r"([A-Za-z]+)(\d{1,2})(\d{2})")


class Unusable(ValueError):
    """A reference answer that does not have the expected shape."""


# --- readers ---------------------------------------------------------------------------


# A control character as JSON escapes it (backslash-n, backslash-u0007), or an escaped backslash.
_ESCAPE = re.compile(r"\\(\\|[bfnrt]|u00[01][0-9a-fA-F]|u007[fF])")


def _shown(value: object) -> str:
    """`value` as JSON, cut short, each control character a space: the masking that
    follows replaces the password only where it stands as a word of its own, and the
    letter of an escape (the n of a newline's) would make it part of a longer one."""
    text = json.dumps(value, ensure_ascii=False, default=repr)
    return _ESCAPE.sub(lambda escape: escape.group() if escape.group(1) == "\\" else " ", text)[:60]


def _records(value: object) -> list[dict[str, object]]:
    if value is None:  # a null `data`: nothing
        return []
    if not isinstance(value, list):
        raise Unusable(f"data is not a list of records but {_shown(value)}")
    for record in value:
        if not isinstance(record, dict):
            raise Unusable(f"a record is not an object but {_shown(record)}")
    return value


def _name(record: dict[str, object], key: str) -> str:
    value = record.get(key)
    if not is_name(value):
        raise Unusable(f"{key} is not a name of letters and digits (possibly with - or _) but {_shown(value)}")
    return value


def _exchange(record: dict[str, object], key: str = "exchange") -> Exchange:
    value = record.get(key)
    try:
        return Exchange(value)
    except ValueError:
        raise Unusable(f"{key} is not a known exchange but {_shown(value)}") from None


def _optional_day(record: dict[str, object], key: str) -> date | None:
    return None if record.get(key) in (None, "") else _day(record, key)


def _day(record: dict[str, object], key: str) -> date:
    value = record.get(key)
    try:
        if not isinstance(value, str) or not DATE.fullmatch(value):
            raise ValueError
        return date.fromisoformat(value)
    except ValueError:
        raise Unusable(f"{key} is not a date written YYYY-MM-DD but {_shown(value)}") from None


def _number(record: dict[str, object], key: str) -> float:
    value = record.get(key)
    if isinstance(value, bool) or not isinstance(value, int | float) or not math.isfinite(value) or value <= 0:
        raise Unusable(f"{key} is not a finite positive number but {_shown(value)}")
    return float(value)


@dataclass(frozen=True)
class Product:
    symbol: str
    exchange: Exchange


@dataclass(frozen=True)
class Dominant:
    trading_date: date
    instrument_id: str
    exchange: Exchange


@dataclass(frozen=True)
class Listing:
    instrument_id: str
    exchange: Exchange
    list_date: date | None
    expire_date: date | None


@dataclass(frozen=True)
class Factor:
    trading_date: date
    from_instrument_id: str
    to_instrument_id: str
    ex_factor: float


@dataclass(frozen=True)
class Terms:
    """A product's contract terms: its multiplier and, when the service gives one, its
    price tick."""

    size: float
    pricetick: float | None


def read_terms(value: object) -> dict[str, Terms]:
    return {_name(r, "symbol"): Terms(_number(r, "multiplier"),
                                      None if r.get("price_tick") is None else _number(r, "price_tick"))
            for r in _records(value)}


def read_products(value: object) -> list[Product]:
    return [Product(_name(r, "symbol"), _exchange(r)) for r in _records(value)]


def read_dominant(value: object) -> list[Dominant]:
    days = [Dominant(_day(r, "trading_date"), _name(r, "instrument_id"), _exchange(r))
            for r in _records(value)]
    return sorted(days, key=lambda day: day.trading_date)


def read_listings(value: object) -> list[Listing]:
    return [Listing(_name(r, "instrument_id"), _exchange(r), _optional_day(r, "list_date"),
                    _optional_day(r, "expire_date")) for r in _records(value)]


def read_factors(value: object) -> list[Factor]:
    return [Factor(_day(r, "trading_date"), _name(r, "from_instrument_id"), _name(r, "to_instrument_id"),
                   _number(r, "ex_factor")) for r in _records(value)]


# --- lookups -----------------------------------------------------------------------------


# Per service address and credentials: lookup key -> (checked records, when they expire).
_CACHES: dict[tuple[str, str, str], dict[tuple[str | None, ...], tuple[object, datetime]]] = {}
_LOCK = threading.Lock()

# Before the day sessions open the service has published the day's reference data.
MORNING_READY = time(8, 30)


def expires(asked: datetime) -> datetime:
    """When an answer given at `asked` (China time) is stale: at the service's next
    publication, in the morning, after the day's close, or in the evening (the next
    trading day's night session)."""
    day = asked.date()
    moments = [datetime.combine(day, MORNING_READY, asked.tzinfo), published(day),
               datetime.combine(day, EVENING, asked.tzinfo),
               datetime.combine(day + timedelta(days=1), MORNING_READY, asked.tzinfo)]
    return min(moment for moment in moments if moment > asked)

WHAT = {"multiplier": "品种数据", "dominant": "主力合约数据", "contracts": "当天可交易合约数据", "ex_factor": "复权因子数据"}


class Reference:
    """The reference data of the service a datafeed talks to, through the engine of its
    settings; every lookup raises `Failure` (the engine's) when it cannot be had."""

    def __init__(self, feed: NorvixDatafeed) -> None:
        self.engine = Engine.of(feed)
        key = (str(feed.base_url), str(feed.username), str(feed.password))
        with _LOCK:
            self.cache = _CACHES.setdefault(key, {})

    def _ask(self, endpoint: str, read: Callable[[object], T], symbol: str, first: str | None = None,
             last: str | None = None, scope: Scope | None = None, fresh: bool = False) -> T:
        """The answer of one lookup: the kept one unless it has expired or `fresh` is asked."""
        key = (endpoint, symbol, first, last)
        asked = now_in_china()
        with _LOCK:
            kept = self.cache.get(key)
            if kept is not None and not fresh and asked < kept[1]:
                return kept[0]  # type: ignore[return-value]  # what `read` made for this key
        answer = self.engine.call(endpoint, symbol, first, last, scope=scope)
        try:
            records = read(answer.records)
        except Unusable as problem:
            raise Failure.of("unusable_reference", "unreadable", mask=self.engine.mask, what=WHAT[endpoint],
                             endpoint=endpoint, problem=problem) from None
        with _LOCK:
            self.cache[key] = (records, expires(asked))
        return records

    def products(self, scope: Scope | None = None, fresh: bool = False) -> dict[str, Exchange]:
        return {p.symbol: p.exchange for p in self._ask("multiplier", read_products, "", scope=scope, fresh=fresh)}

    def terms(self, symbol: str) -> Terms:
        """The contract terms of the product of `symbol` (a contract or a product), looked
        up again once when the kept answer names none; raises `Failure`
        ("unknown_contract") when the service names none."""
        product = product_of(symbol)
        found = None
        for fresh in (False, True):
            found = self._ask("multiplier", read_terms, product, fresh=fresh).get(product) if product else None
            if found is not None or not product:
                break
        if found is None:
            raise Failure.of("unknown_product", "unknown_contract", product=product)
        return found

    def dominant(self, product: str, first: date | None = None, last: date | None = None,
                 scope: Scope | None = None, fresh: bool = False) -> list[Dominant]:
        return self._ask("dominant", read_dominant, product, _iso(first), _iso(last), scope, fresh)

    def listings(self, product: str, day: date, scope: Scope | None = None, fresh: bool = False) -> list[Listing]:
        return self._ask("contracts", read_listings, product, day.isoformat(), scope=scope, fresh=fresh)

    def factors(self, product: str, first: date, last: date) -> list[Factor]:
        return self._ask("ex_factor", read_factors, product, first.isoformat(), last.isoformat())

    def check_contract(self, symbol: str, exchange: Exchange, scope: Scope | None = None) -> None:
        """Raises `Failure` for a contract the service does not know ("unknown_contract")
        or knows on another exchange ("exchange"). A service that names no products at
        all is taken at its word: nothing can be checked. What the kept answers do not
        know is looked up again, once, before it is refused."""
        product = product_of(symbol)
        for fresh in (False, True):
            products = self.products(scope, fresh)
            if not products:
                return
            if product not in products:
                continue
            if products[product] != exchange:
                raise Failure.of("wrong_exchange", "exchange", symbol=symbol, given=exchange.value,
                                 right=products[product].value)
            if self.known(product, symbol, scope, fresh):
                return
        raise Failure.of("unknown_contract", "unknown_contract", symbol=symbol)

    def check_product(self, product: str) -> None:
        """Raises `Failure` ("unknown_contract") for a product the service does not name,
        in the kept answer nor when looked up again."""
        products = self.products()
        if products and product not in products and product not in self.products(fresh=True):
            raise Failure.of("unknown_product", "unknown_contract", product=product)

    def known(self, product: str, symbol: str, scope: Scope | None = None, fresh: bool = False) -> bool:
        days = self.dominant(product, scope=scope, fresh=fresh)
        if not days or any(day.instrument_id == symbol for day in days):
            return True  # without a calendar of the product there is nothing to tell by
        for probe in probe_days(symbol, [day.trading_date for day in days]):
            if any(listing.instrument_id == symbol for listing in self.listings(product, probe, scope, fresh)):
                return True
        return False


def probe_days(symbol: str, trading_days: list[date]) -> list[date]:
    """The trading days (of the ascending `trading_days`) on which `symbol` is tradable if
    it exists: the last one before its delivery month, or the nearest end of the data."""
    match = CONTRACT.fullmatch(symbol)
    if not match or not 1 <= int(match.group(3)) <= 12:
        return [trading_days[-1]]
    code, month = match.group(2), int(match.group(3))
    years = range(max(1, trading_days[0].year - 1), min(9999, trading_days[-1].year + 3) + 1)
    probes = []
    for year in (year for year in years if year % 10 ** len(code) == int(code)):
        before = bisect_left(trading_days, date(year, month, 1)) - 1
        probes.append(trading_days[min(max(before, 0), len(trading_days) - 1)])
    return list(dict.fromkeys(probes))


def _iso(day: date | None) -> str | None:
    return None if day is None else day.isoformat()

