"""Response bodies for the benchmark: service envelopes holding synthetic records.

Records carry the members the history queries read, in the service's text formats
("YYYY-MM-DD HH:MM:SS" times, "YYYY-MM-DD" dates, prices as JSON numbers with one or
two decimals on a 0.05 grid, volumes and open interest as integers), plus the
identifying members the service sends along with them (instrument, exchange, trading
date). Everything is drawn from a seeded generator, so a body depends only on its
arguments.
"""

from __future__ import annotations

import json
import random
from datetime import date, datetime, time, timedelta

INSTRUMENT = "rb2405"
EXCHANGE = "SHFE"
NAME = "螺纹钢2405"
TICK_DATE = date(2024, 3, 5)

PRICE_TICK = 0.05
MULTIPLIER = 10
LIMIT_RATIO = 0.07

DAY_SESSIONS = ((time(9, 0), time(10, 15)), (time(10, 30), time(11, 30)), (time(13, 30), time(15, 0)))
NIGHT_SESSION = (time(21, 0), time(23, 0))
DATE_FORMAT = "%Y-%m-%d"
DATETIME_FORMAT = "%Y-%m-%d %H:%M:%S"


def envelope(records: list[dict]) -> bytes:
    return json.dumps({"code": 0, "message": "success", "data": records}, ensure_ascii=False).encode("utf-8")


def _price(ticks: int) -> float:
    return round(ticks * PRICE_TICK, 2)


class _Walk:
    """A price in whole ticks that moves a few ticks at a time."""

    def __init__(self, rng: random.Random, start: float, step: int) -> None:
        self.rng = rng
        self.ticks = round(start / PRICE_TICK)
        self.step = step

    def next(self) -> int:
        self.ticks = max(1, self.ticks + self.rng.randint(-self.step, self.step))
        return self.ticks


def _weekdays(first: date, count: int) -> list[date]:
    days, day = [], first
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += timedelta(days=1)
    return days


def _session_minutes(day: date) -> list[datetime]:
    minutes = []
    for start, end in DAY_SESSIONS:
        t = datetime.combine(day, start)
        stop = datetime.combine(day, end)
        while t < stop:
            minutes.append(t)
            t += timedelta(minutes=1)
    return minutes


def _bar(rng: random.Random, walk: _Walk, open_interest: int) -> dict:
    o = walk.ticks
    c = walk.next()
    h = max(o, c) + rng.randint(0, walk.step)
    lo = max(1, min(o, c) - rng.randint(0, walk.step))
    volume = rng.randint(0, 3000) * (walk.step // 4 + 1)
    turnover = round(volume * MULTIPLIER * _price((o + c) // 2) + rng.randint(0, 99) / 100, 2)
    return {
        "open_price": _price(o),
        "high_price": _price(h),
        "low_price": _price(lo),
        "close_price": _price(c),
        "volume": volume,
        "turnover": turnover,
        "open_interest": open_interest,
    }


def minute_bars(count: int, seed: int = 1) -> bytes:
    rng = random.Random(seed)
    walk = _Walk(rng, 3500.0, 8)
    open_interest = 1_500_000
    records: list[dict] = []
    day = date(2023, 6, 1)
    while len(records) < count:
        if day.weekday() < 5:
            for minute in _session_minutes(day):
                if len(records) == count:
                    break
                open_interest += rng.randint(-400, 400)
                record = {
                    "instrument_id": INSTRUMENT,
                    "exchange": EXCHANGE,
                    "trading_datetime": minute.strftime(DATETIME_FORMAT),
                }
                record.update(_bar(rng, walk, open_interest))
                records.append(record)
        day += timedelta(days=1)
    return envelope(records)


def day_bars(count: int, seed: int = 2) -> bytes:
    rng = random.Random(seed)
    walk = _Walk(rng, 3500.0, 60)
    open_interest = 1_500_000
    records: list[dict] = []
    for day in _weekdays(date(2016, 1, 4), count):
        prev_close = _price(walk.ticks)
        open_interest += rng.randint(-20_000, 20_000)
        record = {
            "instrument_id": INSTRUMENT,
            "exchange": EXCHANGE,
            "trading_date": day.strftime(DATE_FORMAT),
        }
        record.update(_bar(rng, walk, open_interest))
        record["prev_close_price"] = prev_close
        record["limit_up"] = _price(round(prev_close * (1 + LIMIT_RATIO) / PRICE_TICK))
        record["limit_down"] = _price(round(prev_close * (1 - LIMIT_RATIO) / PRICE_TICK))
        records.append(record)
    return envelope(records)


def _tick_seconds(count: int) -> list[datetime]:
    """Two ticks a second (the service stamps whole seconds): the night session on the
    evening before the trading date, then the day sessions."""
    night = TICK_DATE - timedelta(days=1)
    sessions = [(datetime.combine(night, NIGHT_SESSION[0]), datetime.combine(night, NIGHT_SESSION[1]))]
    sessions += [(datetime.combine(TICK_DATE, s), datetime.combine(TICK_DATE, e)) for s, e in DAY_SESSIONS]
    stamps: list[datetime] = []
    for start, end in sessions:
        t = start
        while t < end and len(stamps) < count:
            stamps.append(t)
            if len(stamps) < count:
                stamps.append(t)
            t += timedelta(seconds=1)
    if len(stamps) < count:
        raise ValueError(f"at most {len(stamps)} ticks fit in one trading day")
    return stamps


def ticks(count: int, seed: int = 3) -> bytes:
    rng = random.Random(seed)
    walk = _Walk(rng, 3500.0, 2)
    pre_close = walk.ticks
    limit_up = _price(round(pre_close * (1 + LIMIT_RATIO)))
    limit_down = _price(round(pre_close * (1 - LIMIT_RATIO)))
    day_open = high = low = walk.ticks
    volume = 0
    turnover = 0.0
    open_interest = 1_500_000
    trading_date = TICK_DATE.strftime(DATE_FORMAT)
    records: list[dict] = []
    for stamp in _tick_seconds(count):
        last = walk.next()
        high, low = max(high, last), min(low, last)
        last_volume = rng.randint(1, 60)
        volume += last_volume
        turnover = round(turnover + last_volume * MULTIPLIER * _price(last), 2)
        open_interest += rng.randint(-30, 30)
        record = {
            "instrument_id": INSTRUMENT,
            "exchange": EXCHANGE,
            "trading_date": trading_date,
            "trading_datetime": stamp.strftime(DATETIME_FORMAT),
            "name": NAME,
            "volume": volume,
            "turnover": turnover,
            "open_interest": open_interest,
            "last_price": _price(last),
            "last_volume": last_volume,
            "limit_up": limit_up,
            "limit_down": limit_down,
            "open": _price(day_open),
            "high": _price(high),
            "low": _price(low),
            "pre_close": _price(pre_close),
        }
        for level in range(1, 6):
            record[f"bid_price_{level}"] = _price(last - level)
        for level in range(1, 6):
            record[f"ask_price_{level}"] = _price(last + level)
        for level in range(1, 6):
            record[f"bid_volume_{level}"] = rng.randint(1, 400)
        for level in range(1, 6):
            record[f"ask_volume_{level}"] = rng.randint(1, 400)
        records.append(record)
    return envelope(records)
