"""A `download` with nothing to fetch, against the size of what its range holds.

Both products' dominant contracts' one-minute bars (the main job's download) over a
range of about 20 trading days ("1x") and over the whole of the service's minute data,
about five times as many ("5x"), each downloaded once into a fresh SQLite database
(timed: "fill"), then run again as whole commands (`python -m vnpy_norvix download ...`
in child processes) with nothing left to fetch:

  index     the command as users run it: what is held read from the completeness record
            beside vn.py's tables
  load      the same command with what is held read by loading every stored bar of the
            range through vn.py's adapter (download.planning.loaded_days, which an adapter
            that keeps no record still uses): the planner as it was
  calendar  the same command with every trading day counted held without asking the
            database: the service's calendar, the reference checks and the process alone

Rounds alternate the variants in a rotating order after an untimed warm-up; medians are
reported. A planner at the index's speed stays at the calendar's cost from 1x to 5x.

    PYTHONPATH=. .venv/bin/python bench/planner.py [--rounds N]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import closing
from datetime import date
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from download import PRODUCTS, TOKEN, USER, service, wait  # noqa: E402  (this folder's module)

REPO = Path(__file__).resolve().parent.parent
VARIANTS = ("index", "load", "calendar")
STORES = {"1x": date(2024, 5, 6), "5x": date(2024, 1, 2)}  # first trading day; all end on LAST
LAST = date(2024, 5, 31)


def launch(mode: str, argv: list[str]) -> int:
    """`python -m vnpy_norvix <argv>` in this process, its planner changed as `mode` says."""
    from vnpy_norvix.download import planning as download
    from vnpy_norvix.cli import main

    def loaded(database, target, interval, calendar, holding):  # type: ignore[no-untyped-def]
        return download.loaded_days(database, target, interval, calendar)

    def every_day(database, target, interval, calendar, holding):  # type: ignore[no-untyped-def]
        return set(calendar.days)

    if mode in ("load", "calendar"):
        download.whole_days = loaded if mode == "load" else every_day  # type: ignore[assignment]
    return main(argv)


def run(home: Path, mode: str, args: list[str], empty: bool = True) -> float:
    """One whole command in a child process (it must exit 0; with `empty`, fetch nothing):
    its wall time."""
    argv = ([sys.executable, "-m", "vnpy_norvix", *args] if mode == "index"
            else [sys.executable, str(Path(__file__).resolve()), "--launch", mode, *args])
    env = {**os.environ, "HOME": str(home), "TZ": "Asia/Shanghai", "PYTHONPATH": str(REPO),
           "NO_PROXY": "127.0.0.1,localhost", "no_proxy": "127.0.0.1,localhost"}
    with tempfile.TemporaryFile("w+") as out:
        began = time.perf_counter()
        process = subprocess.Popen(argv, cwd=home, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT)
        status, _ = wait(process)
        seconds = time.perf_counter() - began
        out.seek(0)
        text = out.read()
    if status != 0:
        raise SystemExit(f"{mode}: {' '.join(args)} exited {status}\n{text[-2000:]}")
    if empty and " 0 records fetched" not in text:
        raise SystemExit(f"{mode}: a run with nothing to fetch fetched records\n{text[-2000:]}")
    return seconds


def main() -> int:
    if len(sys.argv) > 2 and sys.argv[1] == "--launch":
        return launch(sys.argv[2], sys.argv[3:])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    load = os.getloadavg()[0]
    print(f"planner: {options.rounds} rounds, load average {load:.1f} on {os.cpu_count()} cores", file=sys.stderr)
    rows = []
    with service() as url:
        for label, first in STORES.items():
            home = Path(tempfile.mkdtemp(prefix=f"norvix-bench-plan-{label}-"))
            try:
                (home / ".vntrader").mkdir()
                settings = {"datafeed.name": "norvix", "datafeed.username": USER, "datafeed.password": TOKEN,
                            "datafeed.base_url": url, "database.timezone": "Asia/Shanghai",
                            "database.name": "sqlite", "database.database": "database.db"}
                (home / ".vntrader" / "vt_setting.json").write_text(json.dumps(settings))
                args = ["download", "--product", *PRODUCTS, "--start", first.isoformat(), "--end", LAST.isoformat(),
                        "--interval", "1m"]
                fill = run(home, "index", args, empty=False)
                times: dict[str, list[float]] = {variant: [] for variant in VARIANTS}
                for variant in VARIANTS:  # warm-up
                    run(home, variant, args)
                for n in range(options.rounds):
                    for variant in VARIANTS[n % 3:] + VARIANTS[:n % 3]:
                        times[variant].append(run(home, variant, args))
                with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as db:
                    bars = db.execute("SELECT COUNT(*) FROM dbbardata").fetchone()[0]
                medians = {variant: statistics.median(values) for variant, values in times.items()}
                rows.append((label, bars, fill, medians))
            finally:
                shutil.rmtree(home, ignore_errors=True)
    print(f"| store | bars held | fill (s) | {' | '.join(f'{v} (s)' for v in VARIANTS)} | index/calendar | load/calendar |")
    print("|---|---|---|" + "---|" * (len(VARIANTS) + 2))
    for label, bars, fill, medians in rows:
        cells = " | ".join(f"{medians[v]:.2f}" for v in VARIANTS)
        print(f"| {label} | {bars:,} | {fill:.2f} | {cells} | {medians['index'] / medians['calendar']:.2f} | "
              f"{medians['load'] / medians['calendar']:.2f} |")
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
