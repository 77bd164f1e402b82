"""Continuous series under each roll rule against the service's rule: a product's whole
history (the local service's year of daily bars), built in this process with
`continuous_bars` against the local data service (on a thread of this process), the
reference answers forgotten before every build so that each pays its own lookups. The
rules other than the service's read every listed contract's daily bars (requests run four
at a time); the target is the same order of cost. Rounds interleave the rules; medians,
the ratio to the service's rule and the machine's load are printed.

    PYTHONPATH=. .venv/bin/python bench/rolls.py [--rounds N] [--product rb]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

from download import TOKEN, USER, YEAR, service

RULES = {
    "service": {},
    "oi": {"roll": "oi"},
    "oi N=3 t=1.1": {"roll": "oi", "confirm": 3, "threshold": 1.1},
    "volume": {"roll": "volume"},
    "oi+volume": {"roll": "oi+volume"},
    "calendar 5": {"roll": "calendar", "before": 5},
    "oi depth 2": {"roll": "oi", "depth": 2},
}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--product", default="rb")
    args = parser.parse_args()
    from vnpy.trader.setting import SETTINGS

    from vnpy_norvix import Datafeed, reference
    from vnpy_norvix.continuous import continuous_bars

    with service() as url:
        SETTINGS.update({"datafeed.username": USER, "datafeed.password": TOKEN})
        feed = Datafeed()
        feed.base_url = url
        seconds: dict[str, list[float]] = {name: [] for name in RULES}
        for _ in range(args.rounds):
            for name, rule in RULES.items():
                reference._CACHES.clear()
                began = time.perf_counter()
                continuous_bars(feed, args.product, *YEAR, **rule)
                seconds[name].append(time.perf_counter() - began)
    base = statistics.median(seconds["service"])
    print(f"{args.product}, {YEAR[0]} .. {YEAR[1]}, daily, {args.rounds} rounds; load {os.getloadavg()}")
    for name, values in seconds.items():
        median = statistics.median(values)
        print(f"{name:14} {median * 1000:8.1f} ms  {median / base:5.2f} x service")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
