"""Benchmark of `vnpy_norvix.resample`: session bars from a year of one contract's minute
bars, in both forms, against a plain-Python loop and polars' own `group_by_dynamic`.

Side by side in one run, rounds interleaved, on a year (every weekday of 2024) of au's
minute bars (night sessions to 02:30: 555 minutes a day) made from the sessions table:

  records   resample(list of BarData, window) (vn.py records in and out);
  frame     resample(polars frame, window) (frame in and out, `trading_day` included);
  loop      the obvious plain-Python loop a trader writes: each minute's bar found by
            walking the day's sessions, the bars summed in a dict (records in and out);
  dynamic   polars' group_by_dynamic(every=window) on the same frame, summing in order
            as resample does: for au's sessions, which all open on the half hour, the
            clock's 15- and 30-minute grid is the sessions' own, so it must give the same
            bars (checked), without the sessions' rules (a lower bound for the frame form);
  dynamic+  the same with polars' own pairwise `sum` (not the same last bits).

Reports the median of each, the ratios frame/dynamic (goal: within 2x), records/loop, and
the load average before and after (the machine is shared).

    PYTHONPATH=. .venv/bin/python bench/resample.py [--rounds N] [--window 30m]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import time
from collections.abc import Callable
from datetime import date, datetime, timedelta

import polars as pl
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData

from vnpy_norvix import resample, sessions_of
from vnpy_norvix.history.frames import DATETIME

FIELDS = ("open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")
MINUTE = timedelta(minutes=1)


def year_of_minutes(year: int = 2024) -> list[BarData]:
    chance = random.Random(year)
    price, bars = 450.0, []
    day = date(year, 1, 1)
    while day.year == year:
        for start, end in sessions_of("au2412", Exchange.SHFE, day):
            moment = start
            while moment < end:
                move = [price + chance.gauss(0, 0.2) for _ in range(3)]
                high, low = max(price, *move), min(price, *move)
                volume = float(chance.randint(1, 400))
                bars.append(BarData(symbol="au2412", exchange=Exchange.SHFE, interval=Interval.MINUTE, datetime=moment,
                                    open_price=price, high_price=high, low_price=low, close_price=move[-1],
                                    volume=volume, turnover=volume * move[-1] * 1000,
                                    open_interest=200_000.0 + chance.randint(-500, 500), gateway_name="BENCH"))
                price, moment = move[-1], moment + MINUTE
        day += timedelta(days=1)
    return bars


def frame_of(bars: list[BarData]) -> pl.DataFrame:
    return pl.DataFrame({"datetime": [bar.datetime for bar in bars],
                         **{name: [float(getattr(bar, name)) for bar in bars] for name in FIELDS}}).with_columns(
        pl.col("datetime").cast(DATETIME), pl.lit("au2412").alias("symbol"), pl.lit("SHFE").alias("exchange"),
        pl.lit("1m").alias("interval"))


def loop(bars: list[BarData], minutes: int) -> list[BarData]:
    """The plain loop: per bar its trading day's sessions (kept per day), its segment, its
    bar; then each bar's values summed as they come."""
    size = minutes * MINUTE
    made: dict[datetime, BarData] = {}
    segments: dict[date, list[tuple[datetime, datetime]]] = {}
    for bar in bars:
        label = None
        for day in (bar.datetime.date() + timedelta(days=ahead) for ahead in range(4)):
            if day not in segments:
                segments[day] = sessions_of(bar.symbol, bar.exchange, day)
            for start, end in segments[day]:
                if start <= bar.datetime < end:
                    label = start + (bar.datetime - start) // size * size
                    break
            if label is not None:
                break
        window = made.get(label)
        if window is None:
            made[label] = BarData(symbol=bar.symbol, exchange=bar.exchange, datetime=label, gateway_name=bar.gateway_name,
                                  open_price=bar.open_price, high_price=bar.high_price, low_price=bar.low_price,
                                  close_price=bar.close_price, volume=bar.volume, turnover=bar.turnover,
                                  open_interest=bar.open_interest)
            continue
        window.high_price = max(window.high_price, bar.high_price)
        window.low_price = min(window.low_price, bar.low_price)
        window.close_price, window.open_interest = bar.close_price, bar.open_interest
        window.volume += bar.volume
        window.turnover += bar.turnover
    return list(made.values())


def dynamic(frame: pl.DataFrame, every: str, in_order: bool = True) -> pl.DataFrame:
    """group_by_dynamic with resample's sums (in order, as `+=` adds: what the records give)
    or (`in_order` false) polars' own `sum`, which adds pairwise and differs in the last bits."""
    def total(name: str) -> pl.Expr:
        return pl.col(name).cum_sum().last() if in_order else pl.col(name).sum()

    return frame.group_by_dynamic("datetime", every=every).agg(
        pl.col("open_price").first(), pl.col("high_price").max(), pl.col("low_price").min(),
        pl.col("close_price").last(), total("volume"), total("turnover"), pl.col("open_interest").last())


def median_time(call: Callable[[], object]) -> float:
    began = time.perf_counter()
    call()
    return time.perf_counter() - began


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--window", default="30m", choices=("15m", "30m"))
    args = parser.parse_args()
    load_before = os.getloadavg()
    bars = year_of_minutes()
    frame = frame_of(bars)
    minutes = int(args.window[:-1])

    made = resample(bars, args.window)
    want = [(bar.datetime, *(getattr(bar, name) for name in FIELDS)) for bar in made]
    assert [(bar.datetime, *(getattr(bar, name) for name in FIELDS)) for bar in loop(bars, minutes)] == want
    assert resample(frame, args.window).select("datetime", *FIELDS).rows() == want
    assert dynamic(frame, args.window).rows() == want

    calls = {"records": lambda: resample(bars, args.window), "frame": lambda: resample(frame, args.window),
             "loop": lambda: loop(bars, minutes), "dynamic": lambda: dynamic(frame, args.window),
             "dynamic+": lambda: dynamic(frame, args.window, in_order=False)}
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(args.rounds):
        for name, call in calls.items():
            times[name].append(median_time(call))
    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"{len(bars):,} minute bars of au2412 (2024), {len(made):,} {args.window} session bars, "
          f"{args.rounds} rounds, median seconds:")
    for name, seconds in median.items():
        print(f"  {name:8} {seconds * 1000:9.1f} ms")
    print(f"  frame/dynamic {median['frame'] / median['dynamic']:.2f}x   frame/dynamic+ "
          f"{median['frame'] / median['dynamic+']:.2f}x   records/loop "
          f"{median['records'] / median['loop']:.2f}x   frame/records {median['frame'] / median['records']:.2f}x")
    load_after = os.getloadavg()
    print(f"  load average before {load_before[0]:.2f} {load_before[1]:.2f}, after {load_after[0]:.2f} "
          f"{load_after[1]:.2f} (1 and 5 minutes; 2 cores)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
