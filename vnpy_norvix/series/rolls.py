"""Roll rules: which contract a continuous series holds on each trading day.

The honest rule: a roll is decided on trading day T's end-of-day data (close, volume,
open interest) and takes effect on the next trading day, from its first session (for a
product with a night session, the evening of T). No bar of a trading day up to T comes
from the new contract.

- "service": the service's dominant contract of each trading day (the service decides it
  on the close before);
- "oi", "volume", "oi+volume": among the contracts listed on T, in the cycle, expiring after
  the held one and never held before in the series (no roll back), the one with the
  largest statistic (ties: the nearer expiry) replaces the held contract when it led on
  each of the last `confirm` trading days by more than `threshold` times the held
  contract's statistic (for "oi+volume", both);
- "calendar": the next contract of the cycle takes effect `before` trading days before the
  held contract's last trading day;
- any rule: `force_days` rolls to the day's leader that many trading days before the last
  trading day when no signal came, and a contract is never held past its last trading
  day (the roll is decided on it).

At depth 2 the same rule runs among the contracts expiring after the depth-1 contract;
when depth 1 rolls into the depth-2 contract, depth 2 moves the same day to the next
leader. The service names no second contract: its depth 2 follows open interest.

The trading days are the service's calendar of the product (weekdays past its end); a
contract's last trading day is the service's, from its contract lists.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from datetime import date
from typing import TYPE_CHECKING, Any

from vnpy.trader.constant import Exchange, Interval

from .. import messages
from ..calendar import Calendar
from ..names import ROLL_DEFAULTS, ROLL_RULES, SERIES
from ..reference import CONTRACT, Dominant, Listing

if TYPE_CHECKING:
    from ..history.source import Source

# The statistics a rule compares (the service's depth 2 and forced rolls follow open interest).
MEASURES = {"service": ("oi",), "oi": ("oi",), "volume": ("volume",), "oi+volume": ("oi", "volume"),
            "calendar": ()}
SIGNALS = ("oi", "volume", "oi+volume")
# How a rule is written in a series' name: rb_oi_t1p1_c3.
NAME_CODES = {"service": "svc", "oi": "oi", "volume": "vol", "oi+volume": "oiv", "calendar": "cal"}
NAME_COUNTS = {"c": "confirm", "b": "before", "f": "force_days", "d": "depth"}
# Contract lists are looked up at least this often (trading days), and after every expiry.
LIST_EVERY = 20
JOBS = 4


@dataclass(frozen=True)
class RollRule:
    """A roll rule and its parameters."""

    rule: str = ROLL_DEFAULTS["rule"]
    threshold: float = ROLL_DEFAULTS["threshold"]
    confirm: int = ROLL_DEFAULTS["confirm"]
    before: int = ROLL_DEFAULTS["before"]
    months: tuple[int, ...] = ROLL_DEFAULTS["months"]
    force_days: int | None = ROLL_DEFAULTS["force_days"]
    depth: int = ROLL_DEFAULTS["depth"]

    def problem(self) -> str | None:
        """What is wrong with the parameters, or None."""
        if self.rule not in ROLL_RULES:
            return f"unknown roll rule {self.rule!r}: use one of {', '.join(ROLL_RULES)}"
        if not (math.isfinite(self.threshold) and self.threshold > 0):
            return f"--threshold must be a positive ratio, not {self.threshold!r}"
        if self.confirm < 1:
            return "--confirm must be at least 1"
        if self.before < 0 or (self.force_days is not None and self.force_days < 0):
            return "--before and --force-days count trading days: 0 or more"
        if any(not 1 <= month <= 12 for month in self.months):
            return "--months are months 1 to 12"
        if self.depth not in (1, 2):
            return "--depth is 1 or 2"
        return None

    @property
    def plain(self) -> bool:
        """The service's own dominant contracts, as they are."""
        return self.rule == "service" and not self.months and self.force_days is None and self.depth == 1

    def params(self) -> dict[str, Any]:
        """The parameters that apply to the rule."""
        found: dict[str, Any] = {}
        if self.rule in SIGNALS or (self.rule == "service" and self.depth == 2):
            found.update(threshold=self.threshold, confirm=self.confirm)
        if self.rule == "calendar":
            found["before"] = self.before
        if self.months:
            found["months"] = list(self.months)
        if self.force_days is not None:
            found["force_days"] = self.force_days
        found["depth"] = self.depth
        return found

    def argv(self) -> list[str]:
        """The rule as the command line's options."""
        argv = ["--roll", self.rule]
        params = self.params()
        if "threshold" in params:
            argv += ["--threshold", repr(self.threshold), "--confirm", str(self.confirm)]
        if "before" in params:
            argv += ["--before", str(self.before)]
        if self.months:
            argv += ["--months", ",".join(map(str, self.months))]
        if self.force_days is not None:
            argv += ["--force-days", str(self.force_days)]
        return [*argv, "--depth", str(self.depth)]

    def record(self) -> dict[str, Any]:
        return {"rule": self.rule, **self.params()}

    def keywords(self) -> dict[str, Any]:
        """The rule as `continuous_bars`' and `next_roll`'s keyword arguments."""
        return {"roll": self.rule, "threshold": self.threshold, "confirm": self.confirm, "before": self.before,
                "months": self.months, "force_days": self.force_days, "depth": self.depth}

    @classmethod
    def of_command(cls, command: dict[str, Any]) -> RollRule:
        """The rule a remembered `continuous` command builds with (the service's without one)."""
        return cls.of_record(command["roll"]) if command.get("roll") else cls()

    @classmethod
    def of_record(cls, record: dict[str, Any]) -> RollRule:
        """The rule of `record` (as `record` writes it)."""
        default = cls()
        return cls(record["rule"], float(record.get("threshold", default.threshold)),
                   int(record.get("confirm", default.confirm)), int(record.get("before", default.before)),
                   tuple(record.get("months", ())), record.get("force_days"), int(record.get("depth", 1)))

    def series_name(self, product: str) -> str:
        """`<product>888` for the service's dominant contracts, else a name that encodes the
        rule and every parameter that differs from its default: rb_oi_t1p1_c3_m1-5-9_f10_d2."""
        if self.plain:
            return f"{product}888"
        parts = [product, NAME_CODES[self.rule]]
        default = RollRule()
        params = self.params()
        if params.get("threshold", 1.0) != 1.0:
            parts.append("t" + f"{self.threshold:g}".replace(".", "p").replace("+", ""))
        if params.get("confirm", 1) != 1:
            parts.append(f"c{self.confirm}")
        if "before" in params and self.before != default.before:
            parts.append(f"b{self.before}")
        if self.months:
            parts.append("m" + "-".join(map(str, self.months)))
        if self.force_days is not None:
            parts.append(f"f{self.force_days}")
        if self.depth != 1:
            parts.append(f"d{self.depth}")
        return "_".join(parts)

    @classmethod
    def of_name(cls, name: str) -> tuple[str, RollRule] | None:
        """The product and rule of a series named by `series_name` ("rb888",
        "rb_oi_c3_d2"), or None for a name that is not one (a contract's)."""
        plain = SERIES.fullmatch(name)
        if plain:
            return plain.group(1), cls()
        product, _, rest = name.partition("_")
        code, *parts = rest.split("_")
        rule = {value: key for key, value in NAME_CODES.items()}.get(code)
        if not product.isalpha() or rule is None:
            return None
        values: dict[str, Any] = {}
        try:
            for part in parts:
                key, text = part[:1], part[1:]
                if key == "t":
                    values["threshold"] = float(text.replace("p", "."))
                elif key == "m":
                    values["months"] = tuple(int(month) for month in text.split("-"))
                elif key in NAME_COUNTS and text.isdigit():
                    values[NAME_COUNTS[key]] = int(text)
                else:
                    return None
        except ValueError:
            return None
        found = cls(rule, **values)
        # Only the name the rule itself writes: one series, one name.
        return (product, found) if found.problem() is None and found.series_name(product) == name else None


@dataclass(frozen=True)
class Decision:
    """A roll decided on `decision_day`'s close, effective from `effective_day`."""

    depth: int
    decision_day: date
    effective_day: date
    from_contract: str
    to_contract: str
    trigger: str
    stats: list[dict[str, Any]]


@dataclass
class Market:
    """What the rules decide from: the service's trading days of the product, its contracts
    with their last trading days, and each contract's daily close, volume and open
    interest."""

    product: str
    calendar: Calendar
    days: list[date]  # the days before the series the rule looks back on, then the series' days
    first: int  # the index of the series' first day in `days`
    contracts: dict[str, Listing]
    bars: dict[tuple[str, date], tuple[float, float, float]]  # close, volume, open interest
    dominant: dict[date, Dominant]
    months: tuple[int, ...] = ()
    _month: dict[str, int] = field(default_factory=dict)

    def expire(self, contract: str) -> date:
        return self.contracts[contract].expire_date or date.max

    def in_cycle(self, contract: str) -> bool:
        if not self.months:
            return True
        if contract not in self._month:
            match = CONTRACT.fullmatch(contract)
            self._month[contract] = int(match.group(3)) if match else self.expire(contract).month
        return self._month[contract] in self.months

    def stat(self, contract: str, day: date, measure: str) -> float:
        found = self.bars.get((contract, day))
        if found is None:
            return 0.0
        return found[1] if measure == "volume" else found[2]

    def close(self, contract: str, day: date) -> float | None:
        found = self.bars.get((contract, day))
        return None if found is None else found[0]

    def next_day(self, index: int) -> date:
        return self.days[index + 1] if index + 1 < len(self.days) else self.calendar.next_open(self.days[index])

    def takes_over(self, contract: str, count: int) -> date:
        """The trading day `count` trading days before `contract`'s last trading day."""
        day = self.expire(contract)
        for _ in range(count):
            day = self.calendar.previous_open(day)
        return day


def gather(source: Source, product: str, start: date, end: date, rule: RollRule) -> Market:
    """The market data the rule needs over [start, end] and the days it looks back on."""
    reference = source.reference
    everything = reference.dominant(product)
    calendar = Calendar(day.trading_date for day in everything)
    dominant = {day.trading_date: day for day in everything}
    series = [day for day in calendar.days if start <= day <= end]
    if not series:
        raise source_failure(messages.no_dominant(product, start, end))
    before = [day for day in calendar.days if day < start][-rule.confirm:]
    days = before + series
    contracts: dict[str, Listing] = {}
    asked: set[date] = set()
    wanted = set(days[::LIST_EVERY]) | {days[-1]}
    with ThreadPoolExecutor(JOBS) as pool:
        while wanted - asked:
            probes = sorted(wanted - asked)
            asked.update(probes)
            for listings in pool.map(lambda day: reference.listings(product, day), probes):
                for listing in listings:
                    if listing.expire_date is not None:  # without a last trading day no rule can hold it
                        contracts.setdefault(listing.instrument_id, listing)
            # New contracts are listed the trading day after an expiry: look there too.
            for listing in contracts.values():
                if listing.expire_date is not None and days[0] <= listing.expire_date < days[-1]:
                    wanted.add(calendar.next_open(listing.expire_date))
        spans = [(listing, max(days[0], listing.list_date or days[0]), min(days[-1], listing.expire_date or days[-1]))
                 for listing in contracts.values()]
        spans = [span for span in spans if span[1] <= span[2]]
        bars: dict[tuple[str, date], tuple[float, float, float]] = {}

        def daily(span: tuple[Listing, date, date]) -> list[Any]:
            listing, first, last = span
            return [bar for window in source.history(listing.instrument_id, listing.exchange, Interval.DAILY,
                                                     first, last) for bar in window]

        for (listing, _, _), found in zip(spans, pool.map(daily, spans)):
            for bar in found:
                bars[(listing.instrument_id, bar.datetime.date())] = (bar.close_price, bar.volume, bar.open_interest)
    market = Market(product, calendar, days, len(before), contracts, bars, dominant, rule.months)
    if rule.months and not any(market.in_cycle(contract) for contract in contracts):
        listed = sorted({market.expire(c).month if not CONTRACT.fullmatch(c) else int(c[-2:]) for c in contracts})
        raise EmptyCycle(messages.empty_cycle(product, rule.months, listed))
    return market


class EmptyCycle(ValueError):
    """--months that leave none of the product's contracts."""


def source_failure(reason: str) -> Exception:
    from ..engine import Failure

    return Failure(reason, "range")


class Decider:
    """Runs a rule over a market: the contract of each day at each depth and the rolls."""

    def __init__(self, market: Market, rule: RollRule) -> None:
        self.market = market
        self.rule = rule

    def candidates(self, day: date, current: str | None, held: set[str], floor: str | None) -> list[str]:
        m = self.market
        lowest = max((m.expire(c) for c in (current, floor) if c is not None), default=date.min)
        return [c for c in m.contracts if (c, day) in m.bars and m.in_cycle(c) and m.expire(c) > lowest
                and c not in held]

    def leader(self, day: date, candidates: list[str], measure: str | None) -> str:
        m = self.market
        if measure is None:
            return min(candidates, key=lambda c: (m.expire(c), c))
        return max(candidates, key=lambda c: (m.stat(c, day, measure), -m.expire(c).toordinal()))

    def measures(self, depth: int) -> tuple[str, ...]:
        return MEASURES["oi" if self.rule.rule == "service" and depth == 2 else self.rule.rule]

    def first_measure(self, depth: int) -> str | None:
        measures = self.measures(depth)
        return measures[0] if measures else None

    def stats(self, days: Iterable[date], to: str, current: str, measures: tuple[str, ...]) -> list[dict[str, Any]]:
        m = self.market
        return [{"day": day.isoformat(), **{measure: [m.stat(to, day, measure), m.stat(current, day, measure)]
                                            for measure in measures}} for day in days]

    def still_held(self, contract: str, day: date) -> bool:
        """Whether the rule may hold `contract` on `day` without rolling it out before."""
        m = self.market
        if day > m.expire(contract):
            return False
        if self.rule.rule == "calendar" and day >= m.takes_over(contract, self.rule.before):
            return False
        return self.rule.force_days is None or day < m.takes_over(contract, self.rule.force_days)

    def initial(self, depth: int, floor: str | None) -> str:
        """The contract of the series' first day: the rule's pick on the trading day before
        (the service's dominant contract of the first day where the service has no day
        before, and for the service's rule)."""
        m = self.market
        start = m.days[m.first]
        if depth == 1 and (self.rule.rule == "service" or m.first == 0):
            found = m.dominant.get(start)
            if (found is not None and found.instrument_id in m.contracts and m.in_cycle(found.instrument_id)
                    and self.still_held(found.instrument_id, start)):
                return found.instrument_id
        day = m.days[max(m.first - 1, 0)]
        candidates = [c for c in self.candidates(day, None, set(), floor) if self.still_held(c, start)]
        if not candidates:
            raise source_failure(messages.no_contract_to_hold(m.product, start))
        return self.leader(day, candidates, self.first_measure(depth))

    def led(self, day: date, x: str, current: str, candidates: list[str], measures: tuple[str, ...]) -> bool:
        m = self.market
        return bool(candidates) and all(
            self.leader(day, candidates, measure) == x
            and m.stat(x, day, measure) > self.rule.threshold * m.stat(current, day, measure)
            for measure in measures)

    def decide(self, index: int, depth: int, current: str, held: set[str], floor: str | None) -> Decision | None:
        m, rule = self.market, self.rule
        day, after = m.days[index], m.next_day(index)
        candidates = self.candidates(day, current, held, floor)
        measures = self.measures(depth)

        def roll(to: str, trigger: str, stats: list[dict[str, Any]]) -> Decision:
            return Decision(depth, day, after, current, to, trigger, stats)

        if rule.rule == "service" and depth == 1:
            found = m.dominant.get(after)
            if found is not None and found.instrument_id in candidates:
                return roll(found.instrument_id, "service", [])
        elif measures and candidates and index + 1 >= rule.confirm:
            x = self.leader(day, candidates, measures[0])
            window = m.days[index + 1 - rule.confirm:index + 1]
            if all(self.led(w, x, current, self.candidates(w, current, held, floor), measures) for w in window):
                return roll(x, rule.rule if depth == 1 or rule.rule != "service" else "oi",
                            self.stats(window, x, current, measures))
        forced = None
        if floor is not None and m.expire(floor) >= m.expire(current):
            forced = "forced"  # depth 1 took (or passed) this contract
        elif rule.rule == "calendar" and after >= m.takes_over(current, rule.before):
            forced = "calendar"
        elif rule.force_days is not None and after >= m.takes_over(current, rule.force_days):
            forced = "forced"
        elif day >= m.expire(current):
            forced = "forced"
        if forced is None:
            return None
        if not candidates:
            raise source_failure(messages.no_contract_to_roll_to(m.product, current, day))
        measure = self.first_measure(depth) if forced != "calendar" else None
        x = self.leader(day, candidates, measure)
        return roll(x, forced, self.stats([day], x, current, measures) if measure else [])

    def run(self, depth: int, floors: list[str] | None = None) -> tuple[list[str], list[Decision]]:
        """The contract held on each series day and the decisions, the last day's included.
        At depth 2, `floors` holds depth 1's contract of each series day and of the day after."""
        m = self.market
        current = self.initial(depth, None if floors is None else floors[0])
        held = {current}
        contracts, decisions = [], []
        for index in range(m.first, len(m.days)):
            contracts.append(current)
            floor = None if floors is None else floors[index - m.first + 1]
            decision = self.decide(index, depth, current, held, floor)
            if decision is not None:
                decisions.append(decision)
                current = decision.to_contract
                held.add(current)
        return contracts, decisions


def decide(market: Market, rule: RollRule) -> tuple[list[str], list[Decision]]:
    """The contract of each series day at the rule's depth, and its rolls (the last
    day's decision included, effective after the series)."""
    decider = Decider(market, rule)
    contracts, decisions = decider.run(1)
    if rule.depth == 1:
        return contracts, decisions
    last = decisions[-1].to_contract if decisions and decisions[-1].decision_day == market.days[-1] else contracts[-1]
    return decider.run(2, [*contracts, last])
