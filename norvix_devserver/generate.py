"""Deterministic generation of the synthetic market into a SQLite database.

The model, per product:

* a daily level of the market (a random walk with drift) and, per contract, a close
  that adds a carry by time to expiry and a little noise;
* open interest that builds up as an active contract nears expiry and collapses a
  few weeks before it, volume in proportion to open interest: the dominant contract
  of each day is the one with the largest open interest at the previous close, and
  the dominant contract only ever moves to a later one;
* intraday paths that run from the day's open to its close: one-minute bars for the
  contracts that are dominant at some time in the minute window, ticks (one second
  at most apart, five levels of depth) for the dominant contracts on the tick days.

Everything is consistent: a daily bar is the sum of that day's minute bars when there
are any, a minute bar the sum of its ticks, turnover is price * volume * multiplier,
settlement the day's volume-weighted price, price limits come from the previous
settlement, and every price is on the tick grid.

Each random stream is seeded from the plan's seed and the purpose, instrument and day
it serves, so the data do not depend on the order of the work: generating again with
the same plan gives the same tables, row for row.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import sqlite3
import sys
import time as clock
from contextlib import closing, contextmanager
from dataclasses import asdict, dataclass, field
from datetime import date, timedelta
from pathlib import Path
from typing import Iterator

import numpy as np
from tqdm import tqdm

from .market import (
    DATE_FORMAT,
    DATETIME_FORMAT,
    PRODUCTS,
    Contract,
    Product,
    contracts_between,
    has_night_session,
    previous_trading_day,
    session_bounds,
    trading_days,
)

# Bump when the model or the schema changes: databases of another version are rebuilt.
GENERATOR_VERSION = 1

DEPTH = 5

SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE product (
    symbol TEXT PRIMARY KEY, exchange TEXT NOT NULL, name TEXT NOT NULL, multiplier INTEGER NOT NULL,
    price_tick REAL NOT NULL, quote_unit TEXT NOT NULL, limit_ratio REAL NOT NULL
) WITHOUT ROWID;
CREATE TABLE trading_day (trading_date TEXT PRIMARY KEY, night_session INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE contract (
    instrument_id TEXT PRIMARY KEY, symbol TEXT NOT NULL REFERENCES product, exchange TEXT NOT NULL,
    name TEXT NOT NULL, delivery_month TEXT NOT NULL, list_date TEXT NOT NULL, expire_date TEXT NOT NULL
) WITHOUT ROWID;
CREATE TABLE day_bar (
    instrument_id TEXT NOT NULL, trading_date TEXT NOT NULL,
    open REAL NOT NULL, high REAL NOT NULL, low REAL NOT NULL, close REAL NOT NULL,
    volume INTEGER NOT NULL, turnover REAL NOT NULL, open_interest INTEGER NOT NULL,
    settlement REAL NOT NULL, pre_settlement REAL NOT NULL, pre_close REAL NOT NULL,
    limit_up REAL NOT NULL, limit_down REAL NOT NULL,
    PRIMARY KEY (instrument_id, trading_date)
) WITHOUT ROWID;
CREATE INDEX day_bar_by_date ON day_bar (trading_date);
CREATE TABLE minute_bar (
    instrument_id TEXT NOT NULL, trading_date TEXT NOT NULL, trading_datetime TEXT NOT NULL,
    open REAL NOT NULL, high REAL NOT NULL, low REAL NOT NULL, close REAL NOT NULL,
    volume INTEGER NOT NULL, turnover REAL NOT NULL, open_interest INTEGER NOT NULL,
    PRIMARY KEY (instrument_id, trading_date, trading_datetime)
) WITHOUT ROWID;
CREATE TABLE tick (
    instrument_id TEXT NOT NULL, trading_date TEXT NOT NULL, trading_datetime TEXT NOT NULL,
    last_price REAL NOT NULL, last_volume INTEGER NOT NULL, volume INTEGER NOT NULL, turnover REAL NOT NULL,
    open_interest INTEGER NOT NULL, open REAL NOT NULL, high REAL NOT NULL, low REAL NOT NULL,
    pre_close REAL NOT NULL, limit_up REAL NOT NULL, limit_down REAL NOT NULL,
    bid_price_1 REAL NOT NULL, bid_price_2 REAL NOT NULL, bid_price_3 REAL NOT NULL,
    bid_price_4 REAL NOT NULL, bid_price_5 REAL NOT NULL,
    ask_price_1 REAL NOT NULL, ask_price_2 REAL NOT NULL, ask_price_3 REAL NOT NULL,
    ask_price_4 REAL NOT NULL, ask_price_5 REAL NOT NULL,
    bid_volume_1 INTEGER NOT NULL, bid_volume_2 INTEGER NOT NULL, bid_volume_3 INTEGER NOT NULL,
    bid_volume_4 INTEGER NOT NULL, bid_volume_5 INTEGER NOT NULL,
    ask_volume_1 INTEGER NOT NULL, ask_volume_2 INTEGER NOT NULL, ask_volume_3 INTEGER NOT NULL,
    ask_volume_4 INTEGER NOT NULL, ask_volume_5 INTEGER NOT NULL,
    PRIMARY KEY (instrument_id, trading_date, trading_datetime)
) WITHOUT ROWID;
CREATE TABLE dominant (
    symbol TEXT NOT NULL, trading_date TEXT NOT NULL, instrument_id TEXT NOT NULL,
    PRIMARY KEY (symbol, trading_date)
) WITHOUT ROWID;
CREATE TABLE ex_factor (
    symbol TEXT NOT NULL, trading_date TEXT NOT NULL, from_instrument_id TEXT NOT NULL,
    to_instrument_id TEXT NOT NULL, ex_factor REAL NOT NULL, ex_cum_factor REAL NOT NULL,
    PRIMARY KEY (symbol, trading_date)
) WITHOUT ROWID;
"""

TABLES = ("meta", "product", "trading_day", "contract", "day_bar", "minute_bar", "tick", "dominant", "ex_factor")


@dataclass(frozen=True)
class Plan:
    """What to generate. The default is the database the service runs on."""

    seed: int = 20240531
    products: tuple[str, ...] = ("rb", "au", "IF", "m", "SR")
    day_start: date = date(2023, 7, 3)
    day_end: date = date(2024, 6, 28)
    minute_start: date = date(2024, 1, 2)
    minute_end: date = date(2024, 5, 31)
    tick_days: tuple[date, ...] = field(default=(date(2024, 5, 27), date(2024, 5, 28), date(2024, 5, 29)))

    def __post_init__(self) -> None:
        unknown = [symbol for symbol in self.products if symbol not in PRODUCTS]
        if unknown:
            raise ValueError(f"unknown products: {', '.join(unknown)}")
        if not (self.day_start <= self.minute_start <= self.minute_end <= self.day_end):
            raise ValueError("the minute window must lie inside the daily window")
        if any(not self.minute_start <= day <= self.minute_end for day in self.tick_days):
            raise ValueError("the tick days must lie inside the minute window")

    def fingerprint(self) -> str:
        fields = {key: _jsonable(value) for key, value in asdict(self).items()}
        return json.dumps({"version": GENERATOR_VERSION, **fields}, sort_keys=True)


DEFAULT_PLAN = Plan()


def _jsonable(value):
    if isinstance(value, date):
        return value.isoformat()
    if isinstance(value, (tuple, list)):
        return [_jsonable(item) for item in value]
    return value


# --- random streams -----------------------------------------------------------------------


def _stream(seed: int, *key: object) -> np.random.Generator:
    """An independent generator for one purpose: seeded from the plan's seed and the key."""
    digest = hashlib.sha256("|".join(str(part) for part in key).encode()).digest()
    words = [int.from_bytes(digest[i:i + 4], "little") for i in range(0, 16, 4)]
    return np.random.Generator(np.random.PCG64(np.random.SeedSequence([seed, *words])))


# --- daily model ----------------------------------------------------------------------------


@dataclass
class DailyModel:
    """Per contract and trading day: model close (in ticks), open interest and volume."""

    days: list[date]  # the trading day before the window, then the window's days
    close: dict[str, np.ndarray]  # ticks, also on days the contract is not listed (its reference price)
    open_interest: dict[str, np.ndarray]
    volume: dict[str, np.ndarray]


def _daily_model(plan: Plan, product: Product, contracts: list[Contract], days: list[date]) -> DailyModel:
    rng = _stream(plan.seed, product.symbol, "level")
    count = len(days)
    drift = product.annual_drift / 245.0 - product.daily_vol ** 2 / 2
    shocks = rng.standard_normal(count) * product.daily_vol + drift
    shocks[0] = 0.0
    level = product.start_price * np.array([math.exp(x) for x in np.cumsum(shocks).tolist()])

    ordinals = np.array([day.toordinal() for day in days], dtype=np.int64)
    closes, interests, volumes = {}, {}, {}
    for contract in contracts:
        crng = _stream(plan.seed, contract.instrument_id, "daily")
        to_expiry = (contract.expire_date.toordinal() - ordinals).astype(float)
        listed = np.array([contract.is_listed(day) for day in days])
        noise = 1.0 + crng.standard_normal(count) * 0.0015
        price = level * (1.0 + product.annual_carry * to_expiry / 365.0) * noise
        close = np.round(price / product.price_tick)
        closes[contract.instrument_id] = close

        weight = 1.0 if contract.is_active_month else 0.03
        build_up = np.exp(-np.maximum(to_expiry, 0.0) / product.decay_days)
        collapse = 1.0 / (1.0 + np.exp(-(to_expiry - product.roll_days) / product.roll_width))
        interest = product.peak_open_interest * weight * build_up * collapse
        interest *= 1.0 + crng.standard_normal(count) * 0.02
        interest = np.maximum(np.round(interest), 1.0)
        interests[contract.instrument_id] = np.where(listed, interest, 0.0)

        churn = np.maximum(1.0 + crng.standard_normal(count) * 0.25, 0.2)
        volume = np.round(interest * product.turnover_ratio * churn)
        volumes[contract.instrument_id] = np.where(listed, volume, 0.0)
    return DailyModel(days, closes, interests, volumes)


def _dominant_series(contracts: list[Contract], model: DailyModel) -> list[Contract]:
    """The dominant contract of each window day: the one with the largest open interest at
    the previous close among those listed that day. It only ever rolls to a later contract."""
    chosen: list[Contract] = []
    current: Contract | None = None
    for index in range(1, len(model.days)):
        day = model.days[index]
        listed = [contract for contract in contracts if contract.is_listed(day)]
        best = max(listed, key=lambda c: (model.open_interest[c.instrument_id][index - 1], -c.expire_date.toordinal()))
        if current is None or not current.is_listed(day) or best.expire_date > current.expire_date:
            current = best
        chosen.append(current)
    return chosen


# --- intraday -----------------------------------------------------------------------------


@dataclass
class Day:
    """What one contract's trading day needs, prices in ticks."""

    contract: Contract
    trading_day: date
    open: int
    close: int
    pre_close: int
    pre_settlement: int
    limit_up: int
    limit_down: int
    volume: int
    open_interest: int
    previous_interest: int


@dataclass
class Bars:
    stamps: list[str]
    open: np.ndarray  # ticks
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    volume: np.ndarray
    turnover_ticks: np.ndarray  # sum of price (ticks) * volume
    open_interest: np.ndarray


def _minute_stamps(product: Product, trading_day: date) -> tuple[list[str], list[int]]:
    """Bar start times of the trading day and, per minute, the session it belongs to."""
    stamps, sessions = [], []
    for index, (start, end) in enumerate(session_bounds(product, trading_day)):
        minute = start
        while minute < end:
            stamps.append(minute.strftime(DATETIME_FORMAT))
            sessions.append(index)
            minute += timedelta(minutes=1)
    return stamps, sessions


def _activity_profile(sessions: list[int]) -> np.ndarray:
    """Relative activity per minute: busy after each session opens and before the day closes."""
    sessions_array = np.asarray(sessions)
    weights = np.empty(len(sessions), dtype=float)
    last_session = sessions_array.max()
    for session in np.unique(sessions_array):
        where = np.flatnonzero(sessions_array == session)
        k = np.arange(len(where), dtype=float)
        profile = 1.0 + 1.6 * np.exp(-k / 6.0)
        if session == last_session:
            profile += 0.9 * np.exp(-(len(where) - 1 - k) / 12.0)
        weights[where] = profile
    return weights / weights.sum()


def _bridge(rng: np.random.Generator, steps: int, start: float, end: float, scale: float) -> np.ndarray:
    """A random walk of `steps` steps pinned at `start` and `end`."""
    walk = np.concatenate(([0.0], np.cumsum(rng.standard_normal(steps)))) * scale
    k = np.arange(steps + 1, dtype=float) / steps
    return start + (end - start) * k + walk - walk[-1] * k


def _interest_path(rng: np.random.Generator, count: int, start: int, end: int, volume: int) -> np.ndarray:
    wobble = max(volume / max(count, 1) * 0.3, 1.0)
    path = _bridge(rng, count, float(start), float(end), wobble)[1:]
    path = np.maximum(np.round(path), 0).astype(np.int64)
    path[-1] = end
    return path


def _minute_bars(plan: Plan, day: Day) -> Bars:
    product = day.contract.product
    stamps, sessions = _minute_stamps(product, day.trading_day)
    count = len(stamps)
    rng = _stream(plan.seed, day.contract.instrument_id, day.trading_day, "minutes")
    scale = 1.2 * product.daily_vol * day.close / math.sqrt(count)
    path = np.clip(_bridge(rng, count, day.open, day.close, scale), day.limit_down, day.limit_up)
    points = np.round(path).astype(np.int64)
    points[0], points[-1] = day.open, day.close
    opens, closes = points[:-1], points[1:]
    reach = scale * 0.6
    high = np.maximum(opens, closes) + np.floor(np.abs(rng.standard_normal(count)) * reach).astype(np.int64)
    low = np.minimum(opens, closes) - np.floor(np.abs(rng.standard_normal(count)) * reach).astype(np.int64)
    high = np.minimum(high, day.limit_up)
    low = np.maximum(low, day.limit_down)
    volume = rng.multinomial(day.volume, _activity_profile(sessions)).astype(np.int64)
    typical = (opens + high + low + closes) / 4.0
    turnover_ticks = volume * typical
    interest = _interest_path(rng, count, day.previous_interest, day.open_interest, day.volume)
    return Bars(stamps, opens, high, low, closes, volume, turnover_ticks, interest)


@dataclass
class Ticks:
    stamps: list[str]
    price: np.ndarray  # ticks
    last_volume: np.ndarray
    open_interest: np.ndarray
    bid: np.ndarray  # (count, DEPTH) ticks
    ask: np.ndarray
    bid_volume: np.ndarray
    ask_volume: np.ndarray
    minute_index: np.ndarray  # the minute bar each tick falls in


def _ticks(plan: Plan, day: Day) -> Ticks:
    product = day.contract.product
    rng = _stream(plan.seed, day.contract.instrument_id, day.trading_day, "ticks")
    bounds = session_bounds(product, day.trading_day)
    seconds_per_session = [int((end - start).total_seconds()) for start, end in bounds]
    total = sum(seconds_per_session)

    # Which seconds carry a tick: the first of every minute and the very last always do.
    chosen = rng.random(total) < product.tick_rate
    chosen[::60] = True
    chosen[-1] = True
    offsets = np.flatnonzero(chosen)
    count = len(offsets)

    scale = 1.2 * product.daily_vol * day.close / math.sqrt(total)
    path = np.clip(_bridge(rng, total - 1, day.open, day.close, scale), day.limit_down, day.limit_up)
    price = np.round(path[offsets]).astype(np.int64)
    price[0], price[-1] = day.open, day.close

    minute_index = offsets // 60
    _, sessions = _minute_stamps(product, day.trading_day)
    weights = _activity_profile(sessions)[minute_index] * rng.gamma(2.0, 0.5, count)
    last_volume = rng.multinomial(day.volume, weights / weights.sum()).astype(np.int64)
    interest = _interest_path(rng, count, day.previous_interest, day.open_interest, day.volume)

    # The book: the trade printed at the best bid after a down-tick, at the best ask after
    # an up-tick, at either when the price did not move.
    move = np.diff(price, prepend=price[0])
    at_bid = np.where(move == 0, rng.random(count) < 0.5, move < 0)
    spread = 1 + (rng.random(count) < 0.06).astype(np.int64)
    bid1 = np.where(at_bid, price, price - spread)
    ask1 = bid1 + spread
    levels = np.arange(DEPTH, dtype=np.int64)
    bid = bid1[:, None] - levels[None, :]
    ask = ask1[:, None] + levels[None, :]
    sizes = product.depth_lots * (1.0 + 0.35 * levels)[None, :]
    bid_volume = np.maximum(np.round(sizes * rng.lognormal(0.0, 0.7, (count, DEPTH))), 1).astype(np.int64)
    ask_volume = np.maximum(np.round(sizes * rng.lognormal(0.0, 0.7, (count, DEPTH))), 1).astype(np.int64)

    stamps = []
    base = 0
    for (start, _), length in zip(bounds, seconds_per_session):
        inside = offsets[(offsets >= base) & (offsets < base + length)] - base
        stamps.extend((start + timedelta(seconds=int(s))).strftime(DATETIME_FORMAT) for s in inside)
        base += length
    return Ticks(stamps, price, last_volume, interest, bid, ask, bid_volume, ask_volume, minute_index)


def _bars_from_ticks(day: Day, ticks: Ticks) -> Bars:
    stamps, _ = _minute_stamps(day.contract.product, day.trading_day)
    starts = np.flatnonzero(np.diff(ticks.minute_index, prepend=-1))
    ends = np.append(starts[1:], len(ticks.price)) - 1
    return Bars(
        stamps,
        ticks.price[starts],
        np.maximum.reduceat(ticks.price, starts),
        np.minimum.reduceat(ticks.price, starts),
        ticks.price[ends],
        np.add.reduceat(ticks.last_volume, starts),
        np.add.reduceat(ticks.price * ticks.last_volume, starts).astype(float),
        ticks.open_interest[ends],
    )


# --- writing ------------------------------------------------------------------------------


class _Writer:
    def __init__(self, db: sqlite3.Connection, product: Product):
        self.db = db
        self.product = product
        self.digits = product.price_digits
        self.tick = product.price_tick
        self.value_per_tick = product.price_tick * product.multiplier

    def price(self, ticks) -> float:
        return round(int(ticks) * self.tick, self.digits)

    def prices(self, ticks: np.ndarray) -> list[float]:
        return np.round(ticks.astype(np.float64) * self.tick, self.digits).tolist()

    def money(self, turnover_ticks) -> float:
        return round(float(turnover_ticks) * self.value_per_tick, 2)

    def minute_bars(self, day: Day, bars: Bars) -> None:
        turnover = np.round(bars.turnover_ticks * self.value_per_tick, 2).tolist()
        ident, trading = day.contract.instrument_id, day.trading_day.strftime(DATE_FORMAT)
        self.db.executemany(
            "INSERT INTO minute_bar VALUES (?,?,?,?,?,?,?,?,?,?)",
            zip([ident] * len(bars.stamps), [trading] * len(bars.stamps), bars.stamps, self.prices(bars.open),
                self.prices(bars.high), self.prices(bars.low), self.prices(bars.close), bars.volume.tolist(),
                turnover, bars.open_interest.tolist()),
        )

    def ticks(self, day: Day, ticks: Ticks) -> None:
        count = len(ticks.stamps)
        ident, trading = day.contract.instrument_id, day.trading_day.strftime(DATE_FORMAT)
        cumulative_volume = np.cumsum(ticks.last_volume)
        turnover = np.round(np.cumsum(ticks.price * ticks.last_volume) * self.value_per_tick, 2).tolist()
        high = np.maximum.accumulate(ticks.price)
        low = np.minimum.accumulate(ticks.price)
        columns = [
            [ident] * count, [trading] * count, ticks.stamps, self.prices(ticks.price), ticks.last_volume.tolist(),
            cumulative_volume.tolist(), turnover, ticks.open_interest.tolist(),
            [self.price(day.open)] * count, self.prices(high), self.prices(low), [self.price(day.pre_close)] * count,
            [self.price(day.limit_up)] * count, [self.price(day.limit_down)] * count,
            *(self.prices(ticks.bid[:, level]) for level in range(DEPTH)),
            *(self.prices(ticks.ask[:, level]) for level in range(DEPTH)),
            *(ticks.bid_volume[:, level].tolist() for level in range(DEPTH)),
            *(ticks.ask_volume[:, level].tolist() for level in range(DEPTH)),
        ]
        self.db.executemany(f"INSERT INTO tick VALUES ({','.join('?' * len(columns))})", zip(*columns))


def _generate_product(plan: Plan, db: sqlite3.Connection, product: Product, progress: tqdm) -> None:
    window = trading_days(plan.day_start, plan.day_end)
    days = [previous_trading_day(window[0]), *window]
    contracts = contracts_between(product, days[0], plan.day_end)
    model = _daily_model(plan, product, contracts, days)
    dominant = _dominant_series(contracts, model)
    writer = _Writer(db, product)

    db.executemany(
        "INSERT INTO contract VALUES (?,?,?,?,?,?,?)",
        [(c.instrument_id, product.symbol, product.exchange, c.name, f"{c.year:04d}-{c.month:02d}",
          c.list_date.strftime(DATE_FORMAT), c.expire_date.strftime(DATE_FORMAT)) for c in contracts],
    )
    db.executemany(
        "INSERT INTO dominant VALUES (?,?,?)",
        [(product.symbol, day.strftime(DATE_FORMAT), c.instrument_id) for day, c in zip(window, dominant)],
    )

    minute_days = {day for day in window if plan.minute_start <= day <= plan.minute_end}
    covered = {c.instrument_id for day, c in zip(window, dominant) if day in minute_days}
    tick_work = {(day, c.instrument_id) for day, c in zip(window, dominant) if day in plan.tick_days}

    for contract in contracts:
        ident = contract.instrument_id
        close, interest, volume = model.close[ident], model.open_interest[ident], model.volume[ident]
        rng = _stream(plan.seed, ident, "bars")
        gaps = rng.standard_normal(len(days)) * product.daily_vol * 0.35
        ranges = np.abs(rng.standard_normal((len(days), 2))) * product.daily_vol * 0.45
        first = next((i for i in range(1, len(days)) if contract.is_listed(days[i])), None)
        if first is None:
            continue
        # Before its first day in the window, a contract's reference price is the model's.
        previous_close = int(close[first - 1])
        previous_settlement = previous_close
        day_rows = []
        for i in range(first, len(days)):
            trading_day = days[i]
            if not contract.is_listed(trading_day):
                break
            up = math.floor(previous_settlement * (1 + product.limit_ratio) + 1e-9)
            down = math.ceil(previous_settlement * (1 - product.limit_ratio) - 1e-9)
            day_close = int(min(max(close[i], down), up))
            day_open = int(min(max(round(previous_close * (1 + gaps[i])), down), up))
            day = Day(contract, trading_day, day_open, day_close, previous_close, previous_settlement, up, down,
                      int(volume[i]), int(interest[i]), int(interest[i - 1]) if interest[i - 1] > 0 else 0)

            if (trading_day, ident) in tick_work:
                ticks = _ticks(plan, day)
                writer.ticks(day, ticks)
                bars = _bars_from_ticks(day, ticks)
                writer.minute_bars(day, bars)
                progress.update(20)
            elif trading_day in minute_days and ident in covered:
                bars = _minute_bars(plan, day)
                writer.minute_bars(day, bars)
                progress.update(1)
            else:
                bars = None

            if bars is not None:
                high, low = int(bars.high.max()), int(bars.low.min())
                turnover_ticks = float(bars.turnover_ticks.sum())
            else:
                body_high, body_low = max(day_open, day_close), min(day_open, day_close)
                high = min(body_high + math.floor(ranges[i, 0] * day_close), up)
                low = max(body_low - math.floor(ranges[i, 1] * day_close), down)
                turnover_ticks = day.volume * (high + low + 2 * day_close) / 4.0
            if day.volume > 0:
                settlement = round(turnover_ticks / day.volume)
                settlement = min(max(settlement, low), high)
            else:
                settlement = day_close
            day_rows.append((
                ident, trading_day.strftime(DATE_FORMAT), writer.price(day_open), writer.price(high),
                writer.price(low), writer.price(day_close), day.volume, writer.money(turnover_ticks),
                day.open_interest, writer.price(settlement), writer.price(previous_settlement),
                writer.price(previous_close), writer.price(up), writer.price(down),
            ))
            previous_close, previous_settlement = day_close, settlement
        db.executemany(f"INSERT INTO day_bar VALUES ({','.join('?' * 14)})", day_rows)

    # Adjustment factors: on each roll, the new contract's close over the old one's on the
    # last day before the roll; the cumulative factor is the product since the first roll.
    cumulative = 1.0
    rows = []
    for index in range(1, len(window)):
        old, new = dominant[index - 1], dominant[index]
        if new is old:
            continue
        before = window[index - 1].strftime(DATE_FORMAT)
        old_close, new_close = (
            db.execute("SELECT close FROM day_bar WHERE instrument_id = ? AND trading_date = ?", (c.instrument_id, before))
            .fetchone()[0]
            for c in (old, new)
        )
        factor = new_close / old_close
        cumulative *= factor
        rows.append((product.symbol, window[index].strftime(DATE_FORMAT), old.instrument_id, new.instrument_id,
                     round(factor, 8), round(cumulative, 8)))
    db.executemany("INSERT INTO ex_factor VALUES (?,?,?,?,?,?)", rows)


def _work_units(plan: Plan) -> int:
    units = 0
    for symbol in plan.products:
        product = PRODUCTS[symbol]
        minute_days = trading_days(plan.minute_start, plan.minute_end)
        # A rough count for the progress bar: about two covered contracts a day, 20 per tick day.
        units += 2 * len(minute_days) + 19 * len(plan.tick_days)
        if product.last_day == "third_friday":
            units += len(minute_days)
    return units


def generate(path: str | os.PathLike, plan: Plan = DEFAULT_PLAN, *, progress: bool = True) -> Path:
    """Write the plan's database to `path`, replacing it atomically; returns the path."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f"{path.name}.partial-{os.getpid()}")
    partial.unlink(missing_ok=True)
    started = clock.monotonic()
    try:
        with closing(sqlite3.connect(partial)) as db, tqdm(
            total=_work_units(plan), desc="norvix_devserver: generating", unit="day",
            # None: a bar only on a terminal; in a log the summary line below is enough.
            disable=None if progress else True,
            file=sys.stderr, dynamic_ncols=True, mininterval=0.5,
        ) as bar:
            db.execute("PRAGMA journal_mode = OFF")
            db.execute("PRAGMA synchronous = OFF")
            db.executescript(SCHEMA)
            with db:
                db.executemany("INSERT INTO meta VALUES (?, ?)", [
                    ("generator_version", str(GENERATOR_VERSION)), ("plan", plan.fingerprint()),
                ])
                db.executemany("INSERT INTO product VALUES (?,?,?,?,?,?,?)", [
                    (p.symbol, p.exchange, p.name, p.multiplier, p.price_tick, p.quote_unit, p.limit_ratio)
                    for p in (PRODUCTS[symbol] for symbol in plan.products)
                ])
                db.executemany("INSERT INTO trading_day VALUES (?, ?)", [
                    (day.strftime(DATE_FORMAT), int(has_night_session(day)))
                    for day in trading_days(plan.day_start, plan.day_end)
                ])
                for symbol in plan.products:
                    _generate_product(plan, db, PRODUCTS[symbol], bar)
            bar.update(max(bar.total - bar.n, 0))
            db.execute("ANALYZE")
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)
    if progress:
        size = path.stat().st_size / 1e6
        print(f"norvix_devserver: wrote {path} ({size:.0f} MB) in {clock.monotonic() - started:.1f} s",
              file=sys.stderr)
    return path


# --- opening ------------------------------------------------------------------------------


def stored_plan(path: str | os.PathLike) -> str | None:
    """The plan fingerprint a database was generated with, or None if it is not one of ours."""
    try:
        with closing(sqlite3.connect(f"file:{Path(path)}?mode=ro", uri=True)) as db:
            row = db.execute("SELECT value FROM meta WHERE key = 'plan'").fetchone()
    except sqlite3.Error:
        return None
    return row[0] if row else None


@contextmanager
def _lock(path: Path) -> Iterator[None]:
    """One generator at a time for a given database (other processes wait for it)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    try:
        import fcntl
    except ImportError:  # no advisory locks here: at worst two processes generate the same file
        yield
        return
    with open(path.with_name(path.name + ".lock"), "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


def ensure_database(path: str | os.PathLike, plan: Plan = DEFAULT_PLAN, *, progress: bool = True,
                    force: bool = False) -> bool:
    """Generate the database unless it already holds this plan's data; True if it did."""
    path = Path(path)
    with _lock(path):
        if not force and path.exists() and stored_plan(path) == plan.fingerprint():
            return False
        generate(path, plan, progress=progress)
        return True


def content_digest(path: str | os.PathLike) -> str:
    """SHA-256 over every table's rows in key order: equal digests, equal data."""
    digest = hashlib.sha256()
    with closing(sqlite3.connect(f"file:{Path(path)}?mode=ro", uri=True)) as db:
        for table in TABLES:
            digest.update(table.encode())
            key = [row[1] for row in db.execute(f"PRAGMA table_info({table})") if row[5] > 0]
            order = ", ".join(key) if key else "rowid"
            for row in db.execute(f"SELECT * FROM {table} ORDER BY {order}"):
                digest.update(repr(row).encode())
    return digest.hexdigest()
