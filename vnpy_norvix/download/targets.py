"""What to download: contracts given by name, and those of a product (its dominant
contracts, or every contract tradable during the range)."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from datetime import date

from vnpy.trader.constant import Exchange

from .. import exits, messages
from ..engine import Failure
from .source import Source, failure_text


@dataclass(frozen=True)
class Target:
    symbol: str
    exchange: Exchange
    first: date  # trading days wanted
    last: date
    # Of a contract whose last trading day falls in the range (known from the product's
    # contract lists): that day and the product's trading days of the range up to it,
    # enough to tell from the store's record alone that nothing of it is left to ask.
    expires: date | None = None
    days: tuple[date, ...] = ()

    @property
    def vt_symbol(self) -> str:
        return f"{self.symbol}.{self.exchange.value}"


def product_targets(source: Source, product: str, contracts: str, start: date, end: date) -> list[Target]:
    """The dominant contracts of `product` over [start, end], or every contract tradable
    on some day of it, each over the days it was listed."""
    source.reference.check_product(product)
    days = source.reference.dominant(product, start, end)
    if not days:
        raise Failure(messages.no_trading_days(product, start, end), "range")
    if contracts == "dominant":
        seen: dict[str, Target] = {}
        for day in days:
            seen.setdefault(day.instrument_id, Target(day.instrument_id, day.exchange, start, end))
        return list(seen.values())
    # A contract trades for about a year, so one that lists during the range is still
    # tradable on the first trading day of the next month, or on the last day.
    samples = [days[0].trading_date]
    samples += [day.trading_date for before, day in zip(days, days[1:])
                if (day.trading_date.year, day.trading_date.month) != (before.trading_date.year,
                                                                        before.trading_date.month)]
    samples.append(days[-1].trading_date)
    found: dict[str, Target] = {}
    for sample in dict.fromkeys(samples):
        for listing in source.reference.listings(product, sample):
            first = max(start, listing.list_date or start)
            last = min(end, listing.expire_date or end)
            expires = listing.expire_date if listing.expire_date and listing.expire_date <= end else None
            lived = tuple(day.trading_date for day in days if first <= day.trading_date <= last) if expires else ()
            found.setdefault(listing.instrument_id,
                             Target(listing.instrument_id, listing.exchange, first, last, expires, lived))
    return sorted(found.values(), key=lambda target: (target.last, target.symbol))


def resolve(source: Source, symbols: Iterable[tuple[str, Exchange]], products: Iterable[str], contracts: str,
            start: date, end: date, passing: list[str] | None = None) -> tuple[list[Target], list[str]]:
    """The contracts to download, and the failures met while checking contracts and
    enumerating products; those a later run may not meet (exits.passing) are added to
    `passing` as well."""
    targets: dict[str, Target] = {}
    failures = []
    for symbol, exchange in symbols:
        try:
            source.reference.check_contract(symbol, exchange)
        except Failure as failure:
            failures.append(f"{symbol}.{exchange.value}: {failure_text(failure)}")
            if passing is not None and exits.passing(failure):
                passing.append(failures[-1])
            continue
        targets.setdefault(f"{symbol}.{exchange.value}", Target(symbol, exchange, start, end))
    for product in products:
        try:
            for target in product_targets(source, product, contracts, start, end):
                targets.setdefault(target.vt_symbol, target)
        except Failure as failure:
            failures.append(f"{product}: {failure_text(failure)}")
            if passing is not None and exits.passing(failure):
                passing.append(failures[-1])
    return list(targets.values()), failures
