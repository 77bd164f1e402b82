"""Continuous series of a product's dominant contract, adjusted at each roll.

Each trading day takes the bars of that day's dominant contract (a night session
belongs to the next trading day). At roll k the factor f_k is the new contract's close
over the old contract's close on the last trading day before the roll, and C_k is the
product of f_1 .. f_k:

- "backward" keeps the first contract's prices: segment k is divided by C_k;
- "forward" keeps the last contract's prices: segment k is multiplied by C_K / C_k;
- "none" keeps the raw prices.

Open, high, low and close are adjusted; volume, turnover and open interest are not.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from datetime import date
from typing import TYPE_CHECKING

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData

from . import messages
from .download import FeedError, Source
from .names import ADJUSTMENTS
from .reference import Dominant, Factor

if TYPE_CHECKING:
    from norvix_datafeed import NorvixDatafeed

# The service writes its factors with eight decimals.
FACTOR_TOLERANCE = 1e-7


@dataclass(frozen=True)
class Segment:
    """Consecutive trading days with the same dominant contract."""

    contract: str
    exchange: Exchange
    first: date
    last: date


@dataclass(frozen=True)
class Roll:
    trading_date: date  # the new contract's first day as the dominant one
    old: str
    new: str
    old_close: float
    new_close: float
    factor: float
    cumulative: float
    service_factor: float | None


@dataclass
class ContinuousSeries:
    name: str
    exchange: Exchange
    interval: Interval
    adjust: str
    segments: list[Segment]
    rolls: list[Roll]
    bars: list[BarData] = field(default_factory=list)
    disagreements: list[str] = field(default_factory=list)

    @property
    def vt_symbol(self) -> str:
        return f"{self.name}.{self.exchange.value}"


def dominant_segments(days: list[Dominant]) -> list[Segment]:
    """The service's dominant records (one per trading day, ascending) as segments."""
    segments: list[Segment] = []
    for day in days:
        if segments and segments[-1].contract == day.instrument_id:
            segments[-1] = Segment(day.instrument_id, segments[-1].exchange, segments[-1].first, day.trading_date)
        else:
            segments.append(Segment(day.instrument_id, day.exchange, day.trading_date, day.trading_date))
    return segments


class BadClose(FeedError):
    """A roll whose factor cannot be made: a close that is not a positive finite number."""


def _close(source: Source, contract: str, exchange: Exchange, day: date) -> float:
    bars = [bar for window in source.history(contract, exchange, Interval.DAILY, day, day) for bar in window]
    if not bars:
        raise FeedError(messages.no_roll_close(contract, day), "range")
    return bars[-1].close_price


def _roll_close(source: Source, segment: Segment, day: date, old: Segment, new: Segment) -> float:
    """`segment`'s close on `day`, for the roll from `old` to `new`; only a positive finite
    close makes a factor (a zero would divide by zero, a NaN would spread to every price)."""
    close = _close(source, segment.contract, segment.exchange, day)
    if not (math.isfinite(close) and close > 0):
        raise BadClose(messages.bad_roll_close(old.contract, new.contract, new.first, segment.contract, day, close),
                       "unreadable")
    return close


def roll_factors(source: Source, segments: list[Segment], service: list[Factor]) -> tuple[list[Roll], list[str]]:
    """The factor of every roll from the closes, and where the service's factors differ."""
    by_date = {record.trading_date: record for record in service}
    rolls: list[Roll] = []
    disagreements: list[str] = []
    cumulative = 1.0
    for old, new in zip(segments, segments[1:]):
        old_close = _roll_close(source, old, old.last, old, new)
        new_close = _roll_close(source, new, old.last, old, new)
        factor = new_close / old_close
        cumulative *= factor
        record = by_date.pop(new.first, None)
        service_factor = None if record is None else record.ex_factor
        where = messages.roll(old.contract, new.contract, new.first)
        if record is None or service_factor is None:
            disagreements.append(messages.no_service_factor(where))
        elif (record.from_instrument_id, record.to_instrument_id) != (old.contract, new.contract):
            disagreements.append(messages.factor_of_other_roll(where, record.from_instrument_id,
                                                               record.to_instrument_id))
        elif not math.isclose(service_factor, factor, rel_tol=FACTOR_TOLERANCE):
            disagreements.append(messages.factor_differs(where, new_close, old_close, factor, service_factor))
        rolls.append(Roll(new.first, old.contract, new.contract, old_close, new_close, factor, cumulative,
                          service_factor))
    for trading_date, record in sorted(by_date.items()):
        disagreements.append(messages.factor_without_roll(trading_date, record.from_instrument_id,
                                                          record.to_instrument_id))
    return rolls, disagreements


def multipliers(rolls: list[Roll], adjust: str) -> list[float]:
    """The price multiplier of each segment (one more than there are rolls)."""
    cumulative = [1.0] + [roll.cumulative for roll in rolls]
    if adjust == "backward":
        return [1.0 / c for c in cumulative]
    if adjust == "forward":
        return [cumulative[-1] / c for c in cumulative]
    if adjust == "none":
        return [1.0] * len(cumulative)
    raise ValueError(messages.unknown_adjustment(adjust, ADJUSTMENTS))


def _adjusted(bar: BarData, name: str, exchange: Exchange, multiplier: float) -> BarData:
    return BarData(
        symbol=name, exchange=exchange, datetime=bar.datetime, interval=bar.interval, volume=bar.volume,
        turnover=bar.turnover, open_interest=bar.open_interest, open_price=bar.open_price * multiplier,
        high_price=bar.high_price * multiplier, low_price=bar.low_price * multiplier,
        close_price=bar.close_price * multiplier, gateway_name=bar.gateway_name,
    )


def continuous_bars(datafeed: NorvixDatafeed | Source, product: str, start: date, end: date,
                    interval: Interval = Interval.DAILY, adjust: str = "backward",
                    name: str | None = None) -> ContinuousSeries:
    """The continuous dominant series of `product` over the trading days [start, end],
    straight from the data service. Raises `FeedError` when a query fails, `BadClose` (one)
    when a roll's closes make no factor."""
    multipliers([], adjust)  # refuse an unknown adjustment before any query
    if interval not in (Interval.DAILY, Interval.HOUR, Interval.MINUTE):
        raise ValueError(messages.not_continuous(interval))
    source = datafeed if isinstance(datafeed, Source) else Source(datafeed)
    source.reference.check_product(product)
    days = source.reference.dominant(product, start, end)
    if not days:
        raise FeedError(messages.no_dominant(product, start, end), "range")
    segments = dominant_segments(days)
    service = source.reference.factors(product, start, end)
    rolls, disagreements = roll_factors(source, segments, service)
    series = ContinuousSeries(name or f"{product}888", segments[0].exchange, interval, adjust, segments, rolls,
                              disagreements=disagreements)
    for segment, multiplier in zip(segments, multipliers(rolls, adjust)):
        for window in source.history(segment.contract, segment.exchange, interval, segment.first, segment.last):
            series.bars.extend(_adjusted(bar, series.name, series.exchange, multiplier) for bar in window)
    return series

