"""A continuous build's record, kept with its remembered command: what the series were
made of (each product's dominant contracts and the service's factors over the range),
how many bars each holds, and how the last trading day of each stood against the
service's own data when built (`judge_build`). `update` builds a series again unless
this record says a build now would make the same one (`unchanged`)."""

from __future__ import annotations

from datetime import date, datetime
from typing import TYPE_CHECKING, Any

from . import messages, remembered
from .calendar import WEEKDAYS
from .download import Failure, Source, failure_text
from .store import Store
from .store.days import PROVISIONAL, STATE_NAMES, UNSETTLED, Daily, DayRecord, Tally, judge, tallies

if TYPE_CHECKING:
    from .series.builder import ContinuousSeries


def continuous_fingerprint(source: Source, command: remembered.Command, end: date) -> dict[str, Any]:
    """What a continuous series over [start, end] is made of, as the service says now: its
    dominant contract per trading day and the service's factors."""
    start = date.fromisoformat(command["start"])
    found: dict[str, Any] = {}
    for product in command["products"]:
        days = source.reference.dominant(product, start, end)
        factors = source.reference.factors(product, start, end)
        found[product] = {"dominant": [[d.trading_date.isoformat(), d.instrument_id] for d in days],
                          "factors": [[f.trading_date.isoformat(), f.from_instrument_id, f.to_instrument_id,
                                       f.ex_factor] for f in factors]}
    return found


def series_counts(database: Store, command: remembered.Command) -> dict[str, int]:
    """The bars stored under the command's continuous series, per symbol and interval."""
    names = remembered.continuous_names(command)
    return {f"{symbol} {interval.value}": holding.count for (symbol, _, interval), holding in database.holdings().items()
            if symbol in names}


def judge_build(source: Source, series: ContinuousSeries, at: datetime) -> DayRecord:
    """How the last trading day of `series`, built at `at`, stands against the service's
    own data, by the rule of a contract's days (store/days.py `judge`): the source
    contract's published daily bar of the day, its high and low adjusted as the series'
    last segment, against the day's bars (volumes summed, highest high, lowest low). The
    clock (its close plus "datafeed.publish_delay") is the first gate only."""
    segment = series.segments[-1]
    try:
        bars = source.daily_bars(segment.contract, segment.exchange, segment.last, segment.last)
    except Failure as failure:
        return DayRecord(0, PROVISIONAL, failure_text(failure))
    last, adjust = len(series.segments) - 1, series.adjustment
    price = (lambda value: value) if adjust is None else (lambda value: adjust.price(value, last))
    daily = {day: Daily(bar.volume, price(bar.high_price), price(bar.low_price)) for day, bar in bars.items()}
    tally = tallies(series.bars, series.interval, WEEKDAYS).get(segment.last, Tally())
    return judge(segment.last, series.interval, tally, daily, at)


def unchanged(source: Source, database: Store, entry: remembered.Entry, end: date) -> bool:
    """The continuous series of `entry` as stored is the one a build up to `end` would make."""
    state = entry.state
    try:
        fingerprint = continuous_fingerprint(source, entry.command, end)
    except Failure:
        return False  # the build itself will say what failed
    return bool(state.get("fingerprint") == fingerprint and state.get("whole") and state.get("counts")
                and state.get("counts") == series_counts(database, entry.command))


def record_build(source: Source, database: Store, entry: remembered.Entry, end: date,
                 at: datetime, built: list[ContinuousSeries]) -> list[str]:
    """What the continuous series of `entry` (`built` at `at` up to `end`) were made of,
    kept with the command for the next `update`, which builds them again unless their
    last days were whole (`judge_build`). Returns the series whose last day this build
    gave up on (unsettled: reported once, then kept as built)."""
    try:
        fingerprint = continuous_fingerprint(source, entry.command, end)
    except Failure:
        return []  # nothing kept: the next update builds the series again
    judged = {f"{series.vt_symbol} {series.interval.value}": judge_build(source, series, at) for series in built}
    remembered.memory(database).set_state(entry.number, {
        "fingerprint": fingerprint, "whole": all(record.settled for record in judged.values()),
        "days": {name: [STATE_NAMES[record.state], record.detail] for name, record in judged.items()},
        "counts": series_counts(database, entry.command)})
    return [f"{name}: {messages.unsettled([messages.unsettled_day(series.segments[-1].last, record.detail)])}"
            for (name, record), series in zip(judged.items(), built) if record.state == UNSETTLED]
