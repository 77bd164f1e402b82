"""What vn.py's data manager waits for on its window's thread when it downloads ticks:
the datafeed's query against vn.py's own save into its SQLite database.

The data manager calls `datafeed.query_tick_history(req, output)` and then
`database.save_tick_data(ticks)`, both on the window's thread. This does the same for
three trading days of one contract's ticks against the local data service (its own
process, answers cached after a warm-up), each round into a fresh SQLite file, and
reports the medians of both steps and the save's share of the whole.

    PYTHONPATH=. .venv/bin/python bench/desktop_share.py [--rounds N] [--symbol au2412]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from datetime import datetime
from pathlib import Path

from harness import china_home

# vn.py reads its settings and opens its database under HOME when imported.
HOME = china_home("norvix-bench-desktop-")

from loguru import logger  # noqa: E402
from vnpy.trader.constant import Exchange  # noqa: E402
from vnpy.trader.object import HistoryRequest  # noqa: E402

from norvix_datafeed import CHINA_TZ  # noqa: E402
from plugin_windows import TOKEN, USER, start_service, stop  # noqa: E402
from vnpy_norvix import Datafeed  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--symbol", default="au2412")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    import peewee
    import vnpy_sqlite.sqlite_database as adapter

    logger.remove()  # the core's lines are not what is measured
    process, url = start_service()
    fetches: list[float] = []
    saves: list[float] = []
    try:
        feed = Datafeed()
        feed.base_url = url
        feed.initialize(USER, TOKEN)
        # Three trading days (Monday to Wednesday), the night session before each included.
        req = HistoryRequest(symbol=args.symbol, exchange=Exchange.SHFE, interval=None,
                             start=datetime(2024, 5, 24, 21, tzinfo=CHINA_TZ),
                             end=datetime(2024, 5, 29, 15, 30, tzinfo=CHINA_TZ))
        failures: list[str] = []
        expected = len(feed.query_tick_history(req, failures.append))  # warm-up: fills the service's cache
        if failures or not expected:
            raise SystemExit(f"warm-up failed: {failures}")
        for round_number in range(args.rounds):
            # A fresh file each round: vn.py's save into an empty table, as on a first download.
            path = Path(HOME) / f"round{round_number}.db"
            adapter.db.init(str(path))
            database = adapter.SqliteDatabase()  # connects and creates the tables
            began = time.perf_counter()
            ticks = feed.query_tick_history(req, failures.append)
            fetched = time.perf_counter()
            database.save_tick_data(ticks)
            saved = time.perf_counter()
            adapter.db.close()
            if len(ticks) != expected or failures:
                raise SystemExit(f"round {round_number}: {len(ticks)} ticks instead of {expected} {failures}")
            fetches.append(fetched - began)
            saves.append(saved - fetched)
    except peewee.PeeweeException as error:
        raise SystemExit(f"vn.py's SQLite database failed: {error}") from error
    finally:
        stop(process, on_eof=False)

    fetch, save = statistics.median(fetches), statistics.median(saves)
    print(f"{args.symbol} ticks 2024-05-27..2024-05-29 (3 trading days): {expected} ticks, {args.rounds} rounds, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    print(f"  query_tick_history      {fetch:8.3f} s")
    print(f"  vn.py save_tick_data    {save:8.3f} s")
    print(f"  vn.py's share           {save / (fetch + save):8.0%}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
