"""Continuous series of a product, the contract of each trading day chosen by a roll rule
(rolls.py), adjusted at each roll.

At roll k, decided on trading day T, the closes of both contracts on T give the ratio
r_k = new / old and the difference d_k = new - old. With C_k = r_1 * .. * r_k and
D_k = d_1 + .. + d_k (C_0 = 1, D_0 = 0), segment k (the prices of the k-th contract held)
is, for method "ratio":

- "backward" (the first contract keeps its prices): divided by C_k;
- "forward" (the last of K rolls keeps its prices): multiplied by C_K / C_k;

for method "difference" shifted by -D_k (backward) or D_K - D_k (forward), in decimal so
that prices stay on the tick grid; method "none" (or adjust "none") keeps raw prices.
Either way the adjusted closes of both contracts on T are equal. Open, high, low and
close are adjusted; volume, turnover and open interest are not.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass, field
from datetime import date, datetime
from decimal import Decimal
from typing import TYPE_CHECKING, Any

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData

from .. import messages
from ..calendar import Calendar
from ..engine import Failure
from ..history.source import Source
from ..names import ADJUSTMENTS, METHODS
from ..reference import Dominant, Factor
from ..sessions import sessions_of
from ..store.rolls import FIELDS as ROLL_FIELDS
from .rolls import Decision, RollRule, decide, gather

if TYPE_CHECKING:
    import polars as pl

    from norvix_datafeed import NorvixDatafeed

# The service writes its factors with eight decimals.
FACTOR_TOLERANCE = 1e-7



@dataclass(frozen=True)
class Segment:
    """Consecutive trading days with the same contract."""

    contract: str
    exchange: Exchange
    first: date
    last: date


@dataclass(frozen=True)
class Roll:
    """One row of a series' roll table. `factor` is the adjustment applied to the segment
    the roll starts: a multiplier (ratio) or an amount added (difference)."""

    product: str
    depth: int
    rule: str
    params: dict[str, Any]
    decision_day: date
    effective_day: date
    effective_start: datetime
    from_contract: str
    to_contract: str
    from_close: float
    to_close: float
    ratio: float | None
    difference: float
    factor: float
    trigger: str
    stats: list[dict[str, Any]]
    service_dominant: str | None
    service_factor: float | None
    cumulative: float | None = None  # C_k, the product of the ratios so far

    # The names of earlier releases.
    @property
    def trading_date(self) -> date:
        return self.effective_day

    @property
    def old(self) -> str:
        return self.from_contract

    @property
    def new(self) -> str:
        return self.to_contract

    @property
    def old_close(self) -> float:
        return self.from_close

    @property
    def new_close(self) -> float:
        return self.to_close

    def record(self) -> dict[str, Any]:
        """The row with JSON's types: days as YYYY-MM-DD, the start as ISO time."""
        values = asdict(self)
        row = {key: values[key] for key in ROLL_FIELDS}
        for key in ("decision_day", "effective_day", "effective_start"):
            row[key] = row[key].isoformat()
        return row


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
    method: str = "ratio"
    rule: RollRule = field(default_factory=RollRule)
    sources: list[str] = field(default_factory=list)  # each bar's contract
    raw_closes: list[float] = field(default_factory=list)  # each bar's close as the contract traded
    adjustment: Adjustment | None = None  # of each segment's prices

    @property
    def vt_symbol(self) -> str:
        return f"{self.name}.{self.exchange.value}"

    def rolls_frame(self) -> pl.DataFrame:
        """The roll table as a polars frame (params and stats as JSON text)."""
        return rolls_frame([roll.record() for roll in self.rolls])

    def frame(self) -> pl.DataFrame:
        """The bars as a polars frame, with each bar's source contract and raw close."""
        import polars as pl

        from ..history.frames import DATETIME

        prices = ("open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")
        return pl.DataFrame([
            pl.Series("datetime", [bar.datetime for bar in self.bars], DATETIME),
            *(pl.Series(name, [getattr(bar, name) for bar in self.bars], pl.Float64) for name in prices),
            pl.Series("symbol", [self.name] * len(self.bars), pl.String),
            pl.Series("exchange", [self.exchange.value] * len(self.bars), pl.String),
            pl.Series("interval", [self.interval.value] * len(self.bars), pl.String),
            pl.Series("source", self.sources, pl.String),
            pl.Series("raw_close", self.raw_closes, pl.Float64),
        ])


def rolls_frame(records: list[dict[str, Any]]) -> pl.DataFrame:
    import polars as pl

    from ..store.rolls import flat

    rows = [flat(row) for row in records]
    schema = {"product": pl.String, "depth": pl.Int64, "rule": pl.String, "params": pl.String,
              "decision_day": pl.String, "effective_day": pl.String, "effective_start": pl.String,
              "from_contract": pl.String, "to_contract": pl.String, "from_close": pl.Float64,
              "to_close": pl.Float64, "ratio": pl.Float64, "difference": pl.Float64, "factor": pl.Float64,
              "trigger": pl.String, "stats": pl.String, "service_dominant": pl.String, "service_factor": pl.Float64}
    frame = pl.DataFrame(rows, schema=schema, orient="row") if rows else pl.DataFrame(schema=schema)
    return frame.with_columns(pl.col("decision_day", "effective_day").str.to_date())


def dominant_segments(days: list[Dominant]) -> list[Segment]:
    """The service's dominant records (one per trading day, ascending) as segments."""
    segments: list[Segment] = []
    for day in days:
        if segments and segments[-1].contract == day.instrument_id:
            segments[-1] = Segment(day.instrument_id, segments[-1].exchange, segments[-1].first, day.trading_date)
        else:
            segments.append(Segment(day.instrument_id, day.exchange, day.trading_date, day.trading_date))
    return segments


class BadClose(Failure):
    """A roll whose adjustment cannot be made: for a ratio, a close that is not a positive
    finite number; for a difference, one that is not finite."""


def _close(source: Source, contract: str, exchange: Exchange, day: date) -> float:
    bars = [bar for window in source.history(contract, exchange, Interval.DAILY, day, day) for bar in window]
    if not bars:
        raise Failure(messages.no_roll_close(contract, day), "range")
    return bars[-1].close_price


def _checked(close: float, contract: str, decision: Decision, method: str) -> float:
    """`close` when the method can adjust with it: a ratio needs a positive finite close (a
    zero would divide by zero, a NaN would spread to every price), a difference a finite one."""
    if method == "ratio" and not (math.isfinite(close) and close > 0):
        raise BadClose(messages.bad_roll_close(decision.from_contract, decision.to_contract, decision.effective_day,
                                               contract, decision.decision_day, close), "unreadable")
    if not math.isfinite(close):
        raise BadClose(messages.bad_difference_close(decision.from_contract, decision.to_contract,
                                                     decision.decision_day, contract, close), "unreadable")
    return close


class Adjustment:
    """The adjustment of each segment (one more than there are rolls): a multiplier for a
    ratio, an amount added for a difference (in decimal: prices stay on the tick grid)."""

    def __init__(self, closes: list[tuple[float, float]], method: str, adjust: str) -> None:
        if adjust not in ADJUSTMENTS:
            raise ValueError(messages.unknown_adjustment(adjust, ADJUSTMENTS))
        if method not in METHODS:
            raise ValueError(messages.unknown_method(method, METHODS))
        self.method = "none" if adjust == "none" else method
        cumulative, shifted = [1.0], [Decimal(0)]
        for old, new in closes:
            cumulative.append(cumulative[-1] * (new / old) if old > 0 else math.nan)
            shifted.append(shifted[-1] + (Decimal(repr(new)) - Decimal(repr(old))))
        self.cumulative = cumulative
        if self.method == "ratio":
            self.factors: list[float] = [1.0 / c if adjust == "backward" else cumulative[-1] / c for c in cumulative]
        elif self.method == "difference":
            self.shifts = [-d if adjust == "backward" else shifted[-1] - d for d in shifted]
            self.factors = [float(d) for d in self.shifts]
        else:
            self.factors = [1.0] * len(cumulative)

    def price(self, value: float, segment: int) -> float:
        if self.method == "ratio":
            return value * self.factors[segment]
        if self.method == "difference":
            return float(Decimal(repr(value)) + self.shifts[segment])
        return value

    def bar(self, bar: BarData, name: str, exchange: Exchange, segment: int) -> BarData:
        return BarData(
            symbol=name, exchange=exchange, datetime=bar.datetime, interval=bar.interval, volume=bar.volume,
            turnover=bar.turnover, open_interest=bar.open_interest, open_price=self.price(bar.open_price, segment),
            high_price=self.price(bar.high_price, segment), low_price=self.price(bar.low_price, segment),
            close_price=self.price(bar.close_price, segment), gateway_name=bar.gateway_name,
        )


def service_disagreements(rolls: list[Roll], service: list[Factor]) -> list[str]:
    """Where the service's factors differ from the ratios of the service's own rolls."""
    by_date = {record.trading_date: record for record in service}
    disagreements: list[str] = []
    for roll in rolls:
        record = by_date.pop(roll.effective_day, None)
        where = messages.roll(roll.from_contract, roll.to_contract, roll.effective_day)
        if record is None:
            disagreements.append(messages.no_service_factor(where))
        elif (record.from_instrument_id, record.to_instrument_id) != (roll.from_contract, roll.to_contract):
            disagreements.append(messages.factor_of_other_roll(where, record.from_instrument_id,
                                                               record.to_instrument_id))
        elif roll.ratio is None or not math.isclose(record.ex_factor, roll.ratio, rel_tol=FACTOR_TOLERANCE):
            disagreements.append(messages.factor_differs(where, roll.to_close, roll.from_close,
                                                         math.nan if roll.ratio is None else roll.ratio,
                                                         record.ex_factor))
    for trading_date, record in sorted(by_date.items()):
        disagreements.append(messages.factor_without_roll(trading_date, record.from_instrument_id,
                                                          record.to_instrument_id))
    return disagreements


@dataclass
class Plan:
    """The contracts of a series before its bars are fetched: segments, rolls (with the
    decision on the last day, effective after it) and what the rows need."""

    product: str
    rule: RollRule
    segments: list[Segment]
    decisions: list[Decision]
    closes: list[tuple[float, float]]
    calendar: Calendar
    dominant: dict[date, Dominant]
    service: list[Factor]
    after: Decision | None = None


def plan_series(source: Source, product: str, start: date, end: date, rule: RollRule, method: str) -> Plan:
    """What the rule holds over [start, end]; raises `Failure` when a query fails, `BadClose`
    when a roll's closes make no adjustment."""
    problem = rule.problem()
    if problem:
        raise ValueError(problem)
    source.reference.check_product(product)
    if rule.plain:
        days = source.reference.dominant(product, start, end)
        if not days:
            raise Failure(messages.no_dominant(product, start, end), "range")
        segments = dominant_segments(days)
        decisions = [Decision(1, old.last, new.first, old.contract, new.contract, "service", [])
                     for old, new in zip(segments, segments[1:])]
        exchanges = {segment.contract: segment.exchange for segment in segments}
        calendar = Calendar(day.trading_date for day in days)
        dominant = {day.trading_date: day for day in days}
        after = None

        def close(contract: str, day: date) -> float:
            return _close(source, contract, exchanges[contract], day)
    else:
        market = gather(source, product, start, end, rule)
        held, decisions = decide(market, rule)
        series_days = market.days[market.first:]
        after = decisions.pop() if decisions and decisions[-1].decision_day == series_days[-1] else None
        segments = []
        for day, contract in zip(series_days, held):
            if segments and segments[-1].contract == contract:
                segments[-1] = Segment(contract, segments[-1].exchange, segments[-1].first, day)
            else:
                segments.append(Segment(contract, market.contracts[contract].exchange, day, day))
        calendar, dominant = market.calendar, market.dominant

        def close(contract: str, day: date) -> float:
            found = market.close(contract, day)
            if found is None:
                raise Failure(messages.no_roll_close(contract, day), "range")
            return found
    closes = [(_checked(close(d.from_contract, d.decision_day), d.from_contract, d, method),
               _checked(close(d.to_contract, d.decision_day), d.to_contract, d, method)) for d in decisions]
    service = source.reference.factors(product, start, end)
    return Plan(product, rule, segments, decisions, closes, calendar, dominant, service, after)


def first_session(plan: Plan, decision: Decision) -> datetime:
    """When the new contract's first session of its effective day opens: the night session
    on the evening before, or the day's first (index futures, days after holidays). A
    product whose hours are not known starts at the trading day's earliest bound."""
    exchange = next(segment.exchange for segment in plan.segments if segment.contract == decision.to_contract)
    try:
        return sessions_of(decision.to_contract, exchange, decision.effective_day, plan.calendar)[0][0]
    except (ValueError, IndexError):
        return plan.calendar.bounds(decision.effective_day, Interval.MINUTE)[0]


def roll_rows(plan: Plan, adjustment: Adjustment) -> list[Roll]:
    factors = {record.trading_date: record.ex_factor for record in plan.service}
    rows = []
    for index, (decision, (old, new)) in enumerate(zip(plan.decisions, plan.closes)):
        service = plan.dominant.get(decision.effective_day)
        rows.append(Roll(
            plan.product, plan.rule.depth, plan.rule.rule, plan.rule.params(), decision.decision_day,
            decision.effective_day, first_session(plan, decision), decision.from_contract,
            decision.to_contract, old, new, new / old if old > 0 else None,
            float(Decimal(repr(new)) - Decimal(repr(old))), adjustment.factors[index + 1], decision.trigger,
            decision.stats, None if service is None else service.instrument_id, factors.get(decision.effective_day),
            adjustment.cumulative[index + 1] if old > 0 else None))
    return rows


def continuous_bars(datafeed: NorvixDatafeed | Source, product: str, start: date, end: date,
                    interval: Interval = Interval.DAILY, adjust: str = "backward", name: str | None = None, *,
                    roll: str = "service", threshold: float = 1.0, confirm: int = 1, before: int = 5,
                    months: tuple[int, ...] | list[int] = (), force_days: int | None = None, depth: int = 1,
                    method: str = "ratio") -> ContinuousSeries:
    """The continuous series of `product` over the trading days [start, end] by the roll
    rule `roll` (see rolls.py), straight from the data service. Raises `ValueError` for
    parameters that make no rule, `Failure` when a query fails, `BadClose` (one) when a
    roll's closes make no adjustment."""
    Adjustment([], method, adjust)  # refuse an unknown adjustment or method before any query
    if interval not in (Interval.DAILY, Interval.HOUR, Interval.MINUTE):
        raise ValueError(messages.not_continuous(interval))
    rule = RollRule(roll, threshold, confirm, before, tuple(months), force_days, depth)
    source = datafeed if isinstance(datafeed, Source) else Source(datafeed)
    plan = plan_series(source, product, start, end, rule, method)
    adjustment = Adjustment(plan.closes, method, adjust)
    rolls = roll_rows(plan, adjustment)
    series = ContinuousSeries(name or rule.series_name(product), plan.segments[0].exchange, interval, adjust,
                              plan.segments, rolls, method=adjustment.method, rule=rule, adjustment=adjustment,
                              disagreements=service_disagreements(rolls, plan.service) if rule.plain else [])
    for index, segment in enumerate(plan.segments):
        for window in source.history(segment.contract, segment.exchange, interval, segment.first, segment.last):
            series.bars.extend(adjustment.bar(bar, series.name, series.exchange, index) for bar in window)
            series.sources.extend([segment.contract] * len(window))
            series.raw_closes.extend(bar.close_price for bar in window)
    return series


@dataclass(frozen=True)
class NextRoll:
    current: str
    next: str
    changes: bool
    decision_day: date
    effective_day: date


def next_roll(datafeed: NorvixDatafeed | Source, product: str, as_of: date, roll: str = "service", *,
              threshold: float = 1.0, confirm: int = 1, before: int = 5, months: tuple[int, ...] | list[int] = (),
              force_days: int | None = None, depth: int = 1, start: date | None = None) -> NextRoll:
    """The rule's decision after `as_of`'s close, over the history from `start` (default a
    year before): the contract held on `as_of`, the one held on the next trading day, and
    whether they differ; a backtest built over the same days rolls on the same day."""
    from datetime import timedelta

    rule = RollRule(roll, threshold, confirm, before, tuple(months), force_days, depth)
    source = datafeed if isinstance(datafeed, Source) else Source(datafeed)
    first = start or as_of - timedelta(days=365)
    problem = rule.problem()
    if problem:
        raise ValueError(problem)
    source.reference.check_product(product)
    market = gather(source, product, first, as_of, rule)
    if market.days[-1] != as_of or not any(day == as_of for _, day in market.bars):
        raise Failure(messages.no_day_data(product, as_of), "range")
    held, decisions = decide(market, rule)
    after = market.next_day(len(market.days) - 1)
    last = decisions[-1] if decisions and decisions[-1].decision_day == as_of else None
    return NextRoll(held[-1], last.to_contract if last else held[-1], last is not None, as_of, after)
