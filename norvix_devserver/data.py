"""Deterministic synthetic market and reference data.

Every number comes from a generator seeded with the instrument, the day and a
purpose tag, so a record never depends on what was asked before: the same request
always yields the same answer, and a day bar agrees with that day's minute bars
and ticks (the ticks walk through each minute's open, high, low and close).

Calendar: weekdays are trading days (no holidays); only the day sessions are
modelled, so every record of a trading day carries that calendar date.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from functools import lru_cache
from typing import Iterator

DATE_FORMAT = "%Y-%m-%d"
DATETIME_FORMAT = "%Y-%m-%d %H:%M:%S"

COMMODITY_SESSIONS = ((time(9, 0), time(10, 15)), (time(10, 30), time(11, 30)), (time(13, 30), time(15, 0)))
INDEX_SESSIONS = ((time(9, 30), time(11, 30)), (time(13, 0), time(15, 0)))

# A contract stops being the dominant one this many calendar days before it expires.
DOMINANT_ROLL_DAYS = 30
# Ticks per minute bar, at these second offsets: open, first extreme, second extreme, close.
TICK_SECONDS = (1, 16, 31, 46)
DEPTH_LEVELS = 5


@dataclass(frozen=True)
class Product:
    symbol: str
    exchange: str
    name: str
    multiplier: int
    price_tick: float
    base_price: float
    limit_ratio: float
    months: tuple[int, ...]
    sessions: tuple[tuple[time, time], ...]

    def round_price(self, price: float) -> float:
        digits = max(0, -_exponent(self.price_tick))
        return round(round(price / self.price_tick) * self.price_tick, digits)


@dataclass(frozen=True)
class Contract:
    instrument_id: str
    product: Product
    list_date: date
    expire_date: date

    def is_listed(self, day: date) -> bool:
        return self.list_date <= day <= self.expire_date


@dataclass(frozen=True)
class MinuteBar:
    start: datetime
    open: float
    high: float
    low: float
    close: float
    volume: int
    turnover: float
    open_interest: int


@dataclass(frozen=True)
class DaySummary:
    open: float
    high: float
    low: float
    close: float
    volume: int
    turnover: float
    open_interest: int


PRODUCTS = (
    Product("rb", "SHFE", "螺纹钢", 10, 1.0, 3800.0, 0.07, (1, 5, 10), COMMODITY_SESSIONS),
    Product("cu", "SHFE", "铜", 5, 10.0, 68000.0, 0.08, (3, 6, 9, 12), COMMODITY_SESSIONS),
    Product("m", "DCE", "豆粕", 10, 1.0, 3300.0, 0.06, (1, 5, 9), COMMODITY_SESSIONS),
    Product("SR", "CZCE", "白糖", 10, 1.0, 6300.0, 0.06, (1, 5, 9), COMMODITY_SESSIONS),
    Product("IF", "CFFEX", "沪深300股指", 300, 0.2, 3600.0, 0.10, (3, 6, 9, 12), INDEX_SESSIONS),
)
CONTRACT_YEARS = (2023, 2024, 2025)


def _exponent(value: float) -> int:
    text = f"{value:.10f}".rstrip("0")
    return -len(text.split(".")[1]) if "." in text else 0


def _rng(*key: object) -> random.Random:
    # A text seed is hashed with SHA-512 by random.Random: stable across runs and processes.
    return random.Random("|".join(str(part) for part in key))


def is_trading_day(day: date) -> bool:
    return day.weekday() < 5


def previous_trading_day(day: date) -> date:
    day -= timedelta(days=1)
    while not is_trading_day(day):
        day -= timedelta(days=1)
    return day


def trading_days(start: date, end: date) -> Iterator[date]:
    day = start
    while day <= end:
        if is_trading_day(day):
            yield day
        day += timedelta(days=1)


def _weekday_on_or_before(day: date) -> date:
    return day if is_trading_day(day) else previous_trading_day(day)


def _weekday_on_or_after(day: date) -> date:
    while not is_trading_day(day):
        day += timedelta(days=1)
    return day


def build_contracts(products: tuple[Product, ...], years: tuple[int, ...]) -> list[Contract]:
    """Contracts of every product and delivery month: listed for about a year, last
    traded on the weekday on or before the 15th of the delivery month."""
    contracts = []
    for product in products:
        for year in years:
            for month in product.months:
                # Zhengzhou codes carry one digit of the year (SR405), the others two (rb2405).
                year_code = f"{year % 10}" if product.exchange == "CZCE" else f"{year % 100:02d}"
                contracts.append(
                    Contract(
                        instrument_id=f"{product.symbol}{year_code}{month:02d}",
                        product=product,
                        list_date=_weekday_on_or_after(date(year - 1, month, 16)),
                        expire_date=_weekday_on_or_before(date(year, month, 15)),
                    )
                )
    contracts.sort(key=lambda c: (c.product.symbol, c.expire_date))
    return contracts


# --- price model ------------------------------------------------------------------


def _close_price(contract: Contract, day: date) -> float:
    """Settled close of a contract on a day: two slow waves per product, a small
    calendar spread by time to expiry, and day-to-day noise."""
    product = contract.product
    phase = _rng(product.symbol, "phase").random()
    k = day.toordinal()
    level = product.base_price * (
        1.0
        + 0.08 * math.sin(2 * math.pi * (k / 180.0 + phase))
        + 0.03 * math.sin(2 * math.pi * (k / 37.0 + 2 * phase))
    )
    months_to_expiry = (contract.expire_date - day).days / 30.0
    noise = _rng(contract.instrument_id, day, "close").gauss(0.0, 0.004)
    return product.round_price(level * (1.0 - 0.002 * months_to_expiry) * (1.0 + noise))


def _activity(contract: Contract, day: date) -> float:
    """0..1, peaking half-way through the contract's life."""
    life = (contract.expire_date - contract.list_date).days or 1
    return math.sin(math.pi * (day - contract.list_date).days / life) ** 2


def session_minutes(product: Product, day: date) -> list[datetime]:
    minutes = []
    for begin, end in product.sessions:
        stamp = datetime.combine(day, begin)
        stop = datetime.combine(day, end)
        while stamp < stop:
            minutes.append(stamp)
            stamp += timedelta(minutes=1)
    return minutes


@lru_cache(maxsize=64)
def minute_bars_of_day(contract: Contract, day: date) -> tuple[MinuteBar, ...]:
    """The day's one-minute bars: a Brownian bridge from the open (near the previous
    close) to the day's close, with a little range around each minute."""
    product = contract.product
    rng = _rng(contract.instrument_id, day, "minutes")
    close = _close_price(contract, day)
    open_ = product.round_price(_close_price(contract, previous_trading_day(day)) * (1 + rng.gauss(0, 0.003)))
    stamps = session_minutes(product, day)
    count = len(stamps)
    sigma = close * 0.0008

    walk = [0.0]
    for _ in range(count):
        walk.append(walk[-1] + rng.gauss(0.0, sigma))
    drift = walk[-1]
    path = [open_ + (close - open_) * i / count + walk[i] - drift * i / count for i in range(count + 1)]

    activity = _activity(contract, day)
    open_interest = int(10_000 + 190_000 * activity)
    bars = []
    for i, stamp in enumerate(stamps):
        bar_open = product.round_price(path[i])
        bar_close = product.round_price(path[i + 1])
        high = product.round_price(max(bar_open, bar_close) + abs(rng.gauss(0.0, sigma / 2)))
        low = product.round_price(min(bar_open, bar_close) - abs(rng.gauss(0.0, sigma / 2)))
        volume = int(rng.randint(5, 80) * (1 + 9 * activity))
        open_interest = max(0, open_interest + rng.randint(-volume // 4, volume // 4))
        turnover = round(volume * (bar_open + high + low + bar_close) / 4 * product.multiplier, 2)
        bars.append(MinuteBar(stamp, bar_open, high, low, bar_close, volume, turnover, open_interest))
    return tuple(bars)


@lru_cache(maxsize=16384)
def day_summary(contract: Contract, day: date) -> DaySummary:
    bars = minute_bars_of_day(contract, day)
    return DaySummary(
        open=bars[0].open,
        high=max(bar.high for bar in bars),
        low=min(bar.low for bar in bars),
        close=bars[-1].close,
        volume=sum(bar.volume for bar in bars),
        turnover=round(sum(bar.turnover for bar in bars), 2),
        open_interest=bars[-1].open_interest,
    )


# --- store ------------------------------------------------------------------------


class SyntheticStore:
    """Answers the service's queries from the synthetic model. Dates are `date`
    objects; a range bound of None means unbounded. Unknown instruments or symbols
    give no records rather than an error."""

    def __init__(self, products: tuple[Product, ...] = PRODUCTS, years: tuple[int, ...] = CONTRACT_YEARS):
        self.products = {product.symbol: product for product in products}
        self.contracts = {contract.instrument_id: contract for contract in build_contracts(products, years)}

    # Market data

    def day_bars(self, instrument_id: str, start: date, end: date, limit: int) -> list[dict]:
        contract = self.contracts.get(instrument_id)
        if contract is None:
            return []
        records = []
        for day in trading_days(max(start, contract.list_date), min(end, contract.expire_date)):
            if len(records) >= limit:
                break
            summary = day_summary(contract, day)
            prev_close = _close_price(contract, previous_trading_day(day))
            ratio = contract.product.limit_ratio
            records.append(
                {
                    "instrument_id": instrument_id,
                    "exchange": contract.product.exchange,
                    "trading_date": day.strftime(DATE_FORMAT),
                    "open_price": summary.open,
                    "high_price": summary.high,
                    "low_price": summary.low,
                    "close_price": summary.close,
                    "volume": summary.volume,
                    "turnover": summary.turnover,
                    "open_interest": summary.open_interest,
                    "prev_close_price": prev_close,
                    "limit_up": contract.product.round_price(prev_close * (1 + ratio)),
                    "limit_down": contract.product.round_price(prev_close * (1 - ratio)),
                }
            )
        return records

    def minute_bars(self, instrument_id: str, start: date, end: date, limit: int) -> list[dict]:
        contract = self.contracts.get(instrument_id)
        if contract is None:
            return []
        records = []
        for day in trading_days(max(start, contract.list_date), min(end, contract.expire_date)):
            for bar in minute_bars_of_day(contract, day):
                if len(records) >= limit:
                    return records
                records.append(
                    {
                        "instrument_id": instrument_id,
                        "exchange": contract.product.exchange,
                        "trading_datetime": bar.start.strftime(DATETIME_FORMAT),
                        "open_price": bar.open,
                        "high_price": bar.high,
                        "low_price": bar.low,
                        "close_price": bar.close,
                        "volume": bar.volume,
                        "turnover": bar.turnover,
                        "open_interest": bar.open_interest,
                    }
                )
        return records

    def ticks(self, instrument_id: str, trading_date: date) -> list[dict]:
        contract = self.contracts.get(instrument_id)
        if contract is None or not contract.is_listed(trading_date) or not is_trading_day(trading_date):
            return []
        product = contract.product
        tick = product.price_tick
        pre_close = _close_price(contract, previous_trading_day(trading_date))
        limit_up = product.round_price(pre_close * (1 + product.limit_ratio))
        limit_down = product.round_price(pre_close * (1 - product.limit_ratio))
        rng = _rng(instrument_id, trading_date, "ticks")

        records = []
        volume = 0
        turnover = 0.0
        day_open = None
        high = low = 0.0
        for bar in minute_bars_of_day(contract, trading_date):
            extremes = (bar.low, bar.high) if bar.close >= bar.open else (bar.high, bar.low)
            prices = (bar.open, *extremes, bar.close)
            shares = _split(bar.volume, len(prices), rng)
            for second, price, last_volume in zip(TICK_SECONDS, prices, shares):
                if day_open is None:
                    day_open, high, low = price, price, price
                high, low = max(high, price), min(low, price)
                volume += last_volume
                turnover = round(turnover + last_volume * price * product.multiplier, 2)
                # The last trade sat either on the bid or on the ask.
                bid_1 = price if rng.random() < 0.5 else product.round_price(price - tick)
                record = {
                    "instrument_id": instrument_id,
                    "exchange": product.exchange,
                    "trading_datetime": (bar.start + timedelta(seconds=second)).strftime(DATETIME_FORMAT),
                    "name": f"{product.name}{instrument_id[len(product.symbol):]}",
                    "volume": volume,
                    "turnover": turnover,
                    "open_interest": bar.open_interest,
                    "last_price": price,
                    "last_volume": last_volume,
                    "limit_up": limit_up,
                    "limit_down": limit_down,
                    "open": day_open,
                    "high": high,
                    "low": low,
                    "pre_close": pre_close,
                }
                for level in range(1, DEPTH_LEVELS + 1):
                    record[f"bid_price_{level}"] = product.round_price(bid_1 - (level - 1) * tick)
                for level in range(1, DEPTH_LEVELS + 1):
                    record[f"ask_price_{level}"] = product.round_price(bid_1 + level * tick)
                for side in ("bid", "ask"):
                    for level in range(1, DEPTH_LEVELS + 1):
                        record[f"{side}_volume_{level}"] = rng.randint(1, 300)
                records.append(record)
        return records

    # Reference data

    def _product_of(self, symbol: str) -> Product | None:
        """A product code (rb) or one of its instruments (rb2405)."""
        if symbol in self.products:
            return self.products[symbol]
        contract = self.contracts.get(symbol)
        return contract.product if contract else None

    def _contracts_of(self, product: Product) -> list[Contract]:
        return [c for c in self.contracts.values() if c.product is product]

    def _dominant_on(self, product: Product, day: date) -> Contract | None:
        for contract in self._contracts_of(product):  # sorted by expiry
            if contract.list_date <= day and (contract.expire_date - day).days >= DOMINANT_ROLL_DAYS:
                return contract
        return None

    def _dominant_days(self, product: Product, start: date | None, end: date | None) -> Iterator[tuple[date, Contract]]:
        contracts = self._contracts_of(product)
        first = max(start or date.min, min(c.list_date for c in contracts))
        last = min(end or date.max, max(c.expire_date for c in contracts))
        for day in trading_days(first, last):
            contract = self._dominant_on(product, day)
            if contract is not None:
                yield day, contract

    def dominant(self, symbol: str, start: date | None, end: date | None) -> list[dict]:
        product = self._product_of(symbol)
        if product is None:
            return []
        return [
            {
                "trading_date": day.strftime(DATE_FORMAT),
                "symbol": product.symbol,
                "instrument_id": contract.instrument_id,
                "exchange": product.exchange,
            }
            for day, contract in self._dominant_days(product, start, end)
        ]

    def ex_factors(self, symbol: str, start: date | None, end: date | None) -> list[dict]:
        """One record per roll of the dominant contract: the ratio of the new contract's
        close to the old one's on the last day before the roll, and the running product
        of those ratios since the first roll."""
        product = self._product_of(symbol)
        if product is None:
            return []
        records = []
        cumulative = 1.0
        previous: tuple[date, Contract] | None = None
        for day, contract in self._dominant_days(product, None, end):
            if previous is not None and contract is not previous[1]:
                before, old = previous
                factor = _close_price(contract, before) / _close_price(old, before)
                cumulative *= factor
                if start is None or day >= start:
                    records.append(
                        {
                            "trading_date": day.strftime(DATE_FORMAT),
                            "symbol": product.symbol,
                            "from_instrument_id": old.instrument_id,
                            "to_instrument_id": contract.instrument_id,
                            "ex_factor": round(factor, 6),
                            "ex_cum_factor": round(cumulative, 6),
                        }
                    )
            previous = (day, contract)
        return records

    def current(self, symbol: str | None, trading_date: date) -> list[dict]:
        if symbol:
            product = self._product_of(symbol)
            products = [product] if product else []
        else:
            products = list(self.products.values())
        if not is_trading_day(trading_date):
            return []
        return [
            {
                "trading_date": trading_date.strftime(DATE_FORMAT),
                "symbol": product.symbol,
                "instrument_id": contract.instrument_id,
                "exchange": product.exchange,
                "list_date": contract.list_date.strftime(DATE_FORMAT),
                "expire_date": contract.expire_date.strftime(DATE_FORMAT),
            }
            for product in products
            for contract in self._contracts_of(product)
            if contract.is_listed(trading_date)
        ]

    def multipliers(self, symbol: str | None) -> list[dict]:
        if symbol:
            product = self._product_of(symbol)
            products = [product] if product else []
        else:
            products = list(self.products.values())
        return [
            {
                "symbol": product.symbol,
                "exchange": product.exchange,
                "name": product.name,
                "multiplier": product.multiplier,
                "price_tick": product.price_tick,
            }
            for product in products
        ]


def _split(total: int, parts: int, rng: random.Random) -> list[int]:
    """`total` split into `parts` non-negative integers."""
    cuts = sorted(rng.randint(0, total) for _ in range(parts - 1))
    bounds = [0, *cuts, total]
    return [bounds[i + 1] - bounds[i] for i in range(parts)]
