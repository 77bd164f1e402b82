"""Saving bars into vn.py's database: the adapter, vnpy_norvix.store and a bare floor.

The same minute bars (168,660 by default: a night-session product's half year) saved
side by side in one run, each into fresh tables, medians over the rounds:

  SQLite       a  vnpy_sqlite's save_bar_data (given copies: it rewrites its records)
               b  store.save_bars
               c  the floor: sqlite3 executemany of the same rows, built before timing,
                  INSERT OR REPLACE in one transaction (no overview)
  PostgreSQL   the same against vnpy_postgresql, c being one COPY of the rows, written
               to a buffer before timing, into the table; on a server of its own
               (Debian's postgresql-15 binaries), skipped with a message without them.
  MySQL        the same against vnpy_mysql on a MariaDB server of its own (Debian's
               mariadb-server), c being the rows written to a file before timing and
               loaded with one LOAD DATA LOCAL INFILE ... REPLACE (no overview).

    python bench/store.py [--bars N] [--rounds N] [--only sqlite|postgresql|mysql]

Run with a temporary HOME (vn.py creates .vntrader there); the zone is set to
Asia/Shanghai for vn.py's database and for the process.
"""

from __future__ import annotations

import argparse
import copy
import csv
import io
import os
import socket
import sqlite3
import statistics
import sys
import time
from collections.abc import Callable
from datetime import datetime, timedelta
from pathlib import Path
from zoneinfo import ZoneInfo

from harness import china_home

HOME = china_home("norvix-bench-store-")
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))  # pg.py: the tests' own server

from vnpy.trader.constant import Exchange, Interval  # noqa: E402
from vnpy.trader.database import BaseDatabase  # noqa: E402
from vnpy.trader.object import BarData  # noqa: E402

from vnpy_norvix import store  # noqa: E402
from vnpy_norvix.store.schema import BARS  # noqa: E402
from vnpy_norvix.store.writer import quoted  # noqa: E402

SHANGHAI = ZoneInfo("Asia/Shanghai")


def minute_bars(count: int) -> list[BarData]:
    """`count` minute bars, 555 a trading day (21:00-02:30 and the day session)."""
    bars: list[BarData] = []
    moment, price = datetime(2024, 1, 2, 9, 0, tzinfo=SHANGHAI), 480.0
    while len(bars) < count:
        price += ((len(bars) * 7919) % 13 - 6) * 0.02
        bars.append(BarData(gateway_name="NORVIX", symbol="au2406", exchange=Exchange.SHFE, datetime=moment,
                            interval=Interval.MINUTE, volume=float(len(bars) % 300), turnover=price * 3000,
                            open_interest=150_000.0 + len(bars) % 1000, open_price=price, high_price=price + 0.1,
                            low_price=price - 0.1, close_price=price + 0.04))
        moment += timedelta(minutes=1)
        if len(bars) % 555 == 0:
            moment += timedelta(hours=13)
    return bars


Save = Callable[[], object]
Contender = Callable[[], Save]  # prepares what it needs, untimed, and returns the timed save


def measure(contenders: dict[str, Contender], fresh: Callable[[], None], rounds: int) -> dict[str, list[float]]:
    """Seconds of each contender's save per round, each into fresh tables."""
    results: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, prepare in contenders.items():
            fresh()
            save = prepare()
            began = time.perf_counter()
            save()
            results[name].append(time.perf_counter() - began)
    return results


def report(title: str, results: dict[str, list[float]], count: int) -> None:
    print(f"\n{title}: {count:,} bars, medians of {len(next(iter(results.values())))} rounds")
    floor = statistics.median(list(results.values())[-1])
    for name, seconds in results.items():
        median = statistics.median(seconds)
        print(f"  {name:<36} {median:8.3f} s  {count / median:>10,.0f} bars/s  {median / floor:6.2f}x c")


def adapter(database: BaseDatabase, bars: list[BarData]) -> Contender:
    def prepare() -> Save:
        given = [copy.copy(bar) for bar in bars]  # the adapter rewrites the records it saves
        return lambda: database.save_bar_data(given)
    return prepare


def side_by_side(package: str, database: BaseDatabase, bars: list[BarData], floor: tuple[str, Contender],
                 fresh: Callable[[], None], rounds: int) -> dict[str, list[float]]:
    """The adapter's save, store.save_bars and the floor, measured side by side."""
    return measure({f"a  {package} save_bar_data": adapter(database, bars),
                    "b  store.save_bars": lambda: lambda: store.save_bars(database, bars),
                    f"c  {floor[0]}": floor[1]}, fresh, rounds)


def sqlite_results(bars: list[BarData], rounds: int) -> dict[str, list[float]]:
    import vnpy_sqlite.sqlite_database as module
    from vnpy.trader.database import get_database

    database = get_database()
    models = [module.DbBarData, module.DbTickData, module.DbBarOverview, module.DbTickOverview]
    files = iter(range(1_000_000))

    def fresh() -> None:
        module.db.close()
        module.db.init(str(Path(HOME) / f"bench-{next(files)}.db"))
        module.db.connect()
        module.db.create_tables(models)

    def executemany() -> Save:
        rows = [BARS.row(bar) for bar in bars]

        def save() -> None:
            with module.db.atomic():
                module.db.connection().executemany(f'INSERT OR REPLACE INTO "dbbardata" ({quoted(BARS.columns)}) '
                                                   f'VALUES ({", ".join("?" * len(BARS.columns))})', rows)
        return save

    return side_by_side("vnpy_sqlite", database, bars, ("sqlite3 executemany", executemany), fresh, rounds)


def postgresql_results(bars: list[BarData], rounds: int) -> dict[str, list[float]] | None:
    from pg import PG_BIN, running_postgres  # type: ignore[import-not-found]

    if not (PG_BIN / "initdb").exists():
        print(f"\nPostgreSQL: skipped, the server binaries ({PG_BIN}) are not installed")
        return None
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with running_postgres(port, dict(os.environ)) as settings:
        import vnpy_postgresql.postgresql_database as module

        module.db.init(settings["database.database"], host="127.0.0.1", port=port, user=settings["database.user"],
                       password=settings["database.password"])
        database = module.PostgresqlDatabase()
        models = [module.DbBarData, module.DbTickData, module.DbBarOverview, module.DbTickOverview]

        def fresh() -> None:
            module.db.drop_tables(models)
            module.db.create_tables(models)

        def copy_in() -> Save:
            buffer = io.StringIO()
            csv.writer(buffer, quoting=csv.QUOTE_STRINGS, lineterminator="\n").writerows(map(BARS.row, bars))
            buffer.seek(0)

            def save() -> None:
                with module.db.atomic():
                    module.db.cursor().copy_expert(f'COPY "dbbardata" ({quoted(BARS.columns)}) FROM STDIN '
                                                   "WITH (FORMAT csv)", buffer)
            return save

        try:
            return side_by_side("vnpy_postgresql", database, bars, ("one COPY", copy_in), fresh, rounds)
        finally:
            module.db.close()


def mysql_results(bars: list[BarData], rounds: int) -> dict[str, list[float]] | None:
    from mariadb import INSTALL_DB, MARIADBD, running_mariadb  # type: ignore[import-not-found]

    if not (MARIADBD and INSTALL_DB):
        print("\nMySQL: skipped, the MariaDB server is not installed")
        return None
    import pymysql

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with running_mariadb(port, dict(os.environ)) as settings:
        import vnpy_mysql.mysql_database as module

        params = dict(host="127.0.0.1", port=port, user=settings["database.user"],
                      password=settings["database.password"])
        module.db.init(settings["database.database"], **params)
        database = module.MysqlDatabase()
        models = [module.DbBarData, module.DbTickData, module.DbBarOverview, module.DbTickOverview]
        loader = pymysql.connect(database=settings["database.database"], local_infile=True, **params)
        loader.cursor().execute("SET GLOBAL local_infile = 1")

        def fresh() -> None:
            module.db.drop_tables(models)
            module.db.create_tables(models)

        def load_data() -> Save:
            path = Path(HOME) / "bars.csv"
            with path.open("w", newline="") as file:
                csv.writer(file, lineterminator="\n").writerows(map(BARS.row, bars))

            def save() -> None:
                loader.cursor().execute(f"LOAD DATA LOCAL INFILE %s REPLACE INTO TABLE dbbardata "
                                        f"FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '\"' "
                                        f"({', '.join(f'`{name}`' for name in BARS.columns)})", (str(path),))
                loader.commit()
            return save

        try:
            return side_by_side("vnpy_mysql", database, bars, ("one LOAD DATA LOCAL INFILE", load_data), fresh,
                                rounds)
        finally:
            loader.close()
            module.db.close()


RESULTS = {"sqlite": ("SQLite", sqlite_results), "postgresql": ("PostgreSQL", postgresql_results),
           "mysql": ("MySQL", mysql_results)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=168_660)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", choices=tuple(RESULTS))
    args = parser.parse_args()
    bars = minute_bars(args.bars)
    print(f"python {sys.version.split()[0]}, sqlite {sqlite3.sqlite_version}, {os.cpu_count()} cores")
    for name, (title, measured) in RESULTS.items():
        if args.only not in (None, name):
            continue
        results = measured(bars, args.rounds)
        if results is not None:
            report(title, results, args.bars)
    return 0


if __name__ == "__main__":
    sys.exit(main())
