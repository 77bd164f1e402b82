"""The whole `download` command: saved by the bulk writer, through vn.py's adapter, or not at all.

The main job's downloads (both products' dominant contracts: 168,660 one-minute bars,
then 147,186 ticks) from the local data service, each as a whole command in a child
process (`python -m vnpy_norvix download ...`, its own HOME whose
.vntrader/vt_setting.json selects the database), into a fresh database every time:

  bulk      the command as users run it: vnpy_norvix.store's bulk writer
  adapter   the same command with the bulk writer turned away (store.bulk_writer made to
            answer None before the command line is imported), so every save goes through
            the adapter's own save_bar_data / save_tick_data
  fetch     the same command with vn.py's database replaced by one that keeps nothing,
            and store.save_bars / save_ticks made to do nothing: fetching, decoding and
            planning alone through the plug-in's datafeed and engine (timed inside the child,
            from the command line's start to its end: the process's start left out)
  start     the process start alone: the interpreter, the command line's and the store's
            imports and vn.py's database opened, then exit

The parts a download cannot avoid are fetch + start; each database's table gives the
whole command (bulk) against them and against the adapter path, from the same rounds.
Beside them, the database's own floor: the rows the command saved (as read back from the
warm-up's bulk database) inserted into the empty tables of a fresh database in one
transaction, their text made beforehand (SQLite `executemany`, PostgreSQL `COPY` of CSV,
MySQL multi-row `INSERT` statements of 4 MB), timed in this process. Start + that floor
is the least a command that saves can take were fetching free: the lowest ratios to the
parts and to the adapter any writer can reach on the machine.

for SQLite (vnpy_sqlite), for PostgreSQL (vnpy_postgresql on a server of the
benchmark's own, started as the tests start theirs: tests/pg.py) and for MySQL
(vnpy_mysql on a MariaDB server of its own: tests/mariadb.py). Rounds alternate the
variants in a rotating order after an untimed warm-up; medians are reported, with the
ratio bulk/adapter per database and the peak RSS of each child (its VmHWM). Before the
rounds, the bulk and adapter databases of the warm-up are compared row for row.

Then, separately, the peak RSS of a year of ticks: `download --product au --interval
tick` over a year, bulk writer into SQLite, against a service database that holds ticks
for every trading day (generated once into .devdata/, several minutes and a few GB).

    PYTHONPATH=. .venv/bin/python bench/download.py [--rounds N] [--only sqlite|postgresql|mysql|year] [--skip-year]
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import io
import json
import os
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from contextlib import closing, contextmanager
from dataclasses import dataclass, field
from datetime import date
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parent.parent
USER, TOKEN = "demo", "demo-token"
PRODUCTS = ("rb", "au")
VARIANTS = ("bulk", "adapter", "fetch", "start")
TABLES = ("dbbardata", "dbbaroverview", "dbtickdata", "dbtickoverview")
YEAR = (date(2023, 7, 3), date(2024, 6, 28))
ADAPTER_MARK = "bench: saves through the adapter:"
FETCH_MARK = "bench: seconds in the command line:"


# --- the child side: the command line with the bulk writer or the database replaced -------


def launch(mode: str, argv: list[str]) -> int:
    """Runs `python -m vnpy_norvix <argv>` in this process, after turning the bulk writer
    away ("adapter") or replacing vn.py's database by one that keeps nothing ("fetch")."""
    from vnpy_norvix.store import database as store  # where the store looks its writers up

    if mode == "adapter":
        asked = 0

        def no_bulk_writer(database: object, shape_name: str) -> None:
            nonlocal asked
            asked += 1
            return None

        store.bulk_writer = no_bulk_writer  # type: ignore[assignment]
        try:
            return _cli_main(argv)
        finally:
            print(f"{ADAPTER_MARK} {asked}", file=sys.stderr)
    import vnpy.trader.database as vn_database

    if mode == "start":
        import vnpy_norvix.cli  # noqa: F401 - what the command imports before it runs
        import vnpy_norvix.download  # noqa: F401

        vn_database.get_database()
        return 0
    vn_database.get_database = _discarding_database  # type: ignore[assignment]
    # Nor the copies the store makes for an adapter it does not know: fetching alone.
    store.save_bars = store.save_ticks = lambda database, records: None  # type: ignore[assignment]
    began = time.perf_counter()
    try:
        return _cli_main(argv)
    finally:
        print(f"{FETCH_MARK} {time.perf_counter() - began:.4f}", file=sys.stderr)


def _cli_main(argv: list[str]) -> int:
    from vnpy_norvix.cli import main

    return main(argv)


def _discarding_database() -> Any:
    from vnpy.trader.database import BaseDatabase

    class Discarding(BaseDatabase):
        """Keeps nothing: every range is planned in full, every save is dropped."""

        def save_bar_data(self, bars: list, stream: bool = False) -> bool:
            return True

        def save_tick_data(self, ticks: list, stream: bool = False) -> bool:
            return True

        def load_bar_data(self, *args: object) -> list:
            return []

        def load_tick_data(self, *args: object) -> list:
            return []

        def delete_bar_data(self, *args: object) -> int:
            return 0

        def delete_tick_data(self, *args: object) -> int:
            return 0

        def get_bar_overview(self) -> list:
            return []

        def get_tick_overview(self) -> list:
            return []

    return Discarding()


# --- the service -----------------------------------------------------------------------------


@contextmanager
def service(db: Path | None = None) -> Iterator[str]:
    """norvix_devserver on a free port of 127.0.0.1, on a thread of this process (which only
    waits for its children while they run), on `db` or the default database: its URL."""
    from norvix_devserver import make_server

    server = make_server("127.0.0.1", 0, user=USER, token=TOKEN, quiet=True, db=db)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.url
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def year_database() -> Path:
    """The service's database with a year of au ticks (generated when missing)."""
    from norvix_devserver import Plan, ensure_database
    from norvix_devserver.market import trading_days

    plan = Plan(products=("au",), minute_start=YEAR[0], minute_end=YEAR[1],
                tick_days=tuple(trading_days(*YEAR)))
    path = REPO / ".devdata" / "year-ticks.sqlite"
    path.parent.mkdir(exist_ok=True)
    began = time.monotonic()
    if ensure_database(path, plan, progress=sys.stderr.isatty()):
        print(f"generated {path} in {time.monotonic() - began:.0f} s", file=sys.stderr)
    return path


# --- databases -------------------------------------------------------------------------------


class Database:
    """Where one run saves: its vn.py settings, a fresh database per run."""

    name: str

    def fresh(self, run: int) -> dict[str, object]:
        """vn.py's database settings of a new, empty database."""
        raise NotImplementedError

    def tables(self, home: Path, run: int) -> dict[str, list[tuple]]:
        """Every table of the run's database, by id."""
        raise NotImplementedError

    def count(self, home: Path, run: int, table: str) -> int:
        return len(self.tables(home, run)[table])

    def drop(self, home: Path, run: int) -> None:
        pass

    def insert_floor(self, home: Path, run: int, table: str, rows: list[tuple]) -> float:
        """Seconds to insert `rows` (as read back, each led by its id, which is left out)
        into the empty `table` of the run's database in one transaction, their text made
        before the clock starts."""
        raise NotImplementedError


class Sqlite(Database):
    name = "SQLite"

    def fresh(self, run: int) -> dict[str, object]:
        return {"database.name": "sqlite", "database.database": "database.db"}

    def tables(self, home: Path, run: int) -> dict[str, list[tuple]]:
        path = home / ".vntrader" / "database.db"
        if not path.exists():
            return {table: [] for table in TABLES}
        with closing(sqlite3.connect(path)) as connection:
            return {table: connection.execute(f"SELECT * FROM {table} ORDER BY id").fetchall() for table in TABLES}

    def count(self, home: Path, run: int, table: str) -> int:
        with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as connection:
            return connection.execute(f"SELECT COUNT(*) FROM {table}").fetchone()[0]

    def insert_floor(self, home: Path, run: int, table: str, rows: list[tuple]) -> float:
        from vnpy_norvix.store.writer import quoted

        with closing(sqlite3.connect(home / ".vntrader" / "database.db", isolation_level=None)) as connection:
            columns = [column for _, column, *_ in connection.execute(f"PRAGMA table_info({table})")][1:]
            statement = f"INSERT INTO {table} ({quoted(columns)}) VALUES ({', '.join('?' * len(columns))})"
            values = [row[1:] for row in rows]
            began = time.perf_counter()
            connection.execute("BEGIN")
            connection.executemany(statement, values)
            connection.execute("COMMIT")
            return time.perf_counter() - began


class Server(Database):
    """A database server of the benchmark's own: a database per run."""

    title: str  # the report's heading

    @staticmethod
    def running(port: int, env: dict[str, str]) -> tuple[Any, str]:
        """The context manager that runs the server on `port` (vn.py's settings for it), or
        None and why not."""
        raise NotImplementedError

    def __init__(self, settings: dict[str, Any]) -> None:
        self.settings = settings

    def connect(self, dbname: str) -> Any:
        raise NotImplementedError

    def present(self, cursor: Any) -> set[str]:
        """The tables the database has."""
        raise NotImplementedError

    def administer(self, sql: str) -> None:
        raise NotImplementedError

    def fresh(self, run: int) -> dict[str, object]:
        self.administer(f"CREATE DATABASE run_{run}")
        return {**self.settings, "database.database": f"run_{run}"}

    def tables(self, home: Path, run: int) -> dict[str, list[tuple]]:
        with closing(self.connect(f"run_{run}")) as connection:
            cursor = connection.cursor()
            present = self.present(cursor)
            found = dict[str, list[tuple]]()
            for table in TABLES:
                found[table] = []
                if table in present:
                    cursor.execute(f"SELECT * FROM {table} ORDER BY id")
                    found[table] = list(cursor.fetchall())
            return found

    def count(self, home: Path, run: int, table: str) -> int:
        with closing(self.connect(f"run_{run}")) as connection:
            cursor = connection.cursor()
            cursor.execute(f"SELECT COUNT(*) FROM {table}")
            return cursor.fetchone()[0]


class Postgresql(Server):
    name = "PostgreSQL"
    title = "PostgreSQL (vnpy_postgresql)"

    @staticmethod
    def running(port: int, env: dict[str, str]) -> tuple[Any, str]:
        from pg import PG_BIN, running_postgres  # type: ignore[import-not-found]

        if not (PG_BIN / "initdb").exists():
            return None, f"the server binaries ({PG_BIN}) are not installed"
        return running_postgres(port, env), ""

    def connect(self, dbname: str) -> Any:
        import psycopg2

        s = self.settings
        return psycopg2.connect(host=s["database.host"], port=s["database.port"], user=s["database.user"],
                                password=s["database.password"], dbname=dbname)

    def present(self, cursor: Any) -> set[str]:
        cursor.execute("SELECT tablename FROM pg_tables WHERE schemaname = current_schema()")
        return {name for (name,) in cursor.fetchall()}

    def administer(self, sql: str) -> None:
        with closing(self.connect("postgres")) as connection:
            connection.autocommit = True
            connection.cursor().execute(sql)

    def insert_floor(self, home: Path, run: int, table: str, rows: list[tuple]) -> float:
        from vnpy_norvix.store.writer import quoted

        with closing(self.connect(f"run_{run}")) as connection:
            cursor = connection.cursor()
            cursor.execute(f"SELECT * FROM {table} LIMIT 0")
            names = quoted([column[0] for column in cursor.description][1:])
            text = io.StringIO()
            csv.writer(text, quoting=csv.QUOTE_STRINGS, lineterminator="\n").writerows(row[1:] for row in rows)
            text.seek(0)
            began = time.perf_counter()
            cursor.copy_expert(f"COPY {table} ({names}) FROM STDIN WITH (FORMAT csv)", text)
            connection.commit()
            return time.perf_counter() - began

    def drop(self, home: Path, run: int) -> None:
        self.administer(f"DROP DATABASE IF EXISTS run_{run} WITH (FORCE)")


class Mysql(Server):
    name = "MySQL"
    title = "MySQL (vnpy_mysql, MariaDB)"

    @staticmethod
    def running(port: int, env: dict[str, str]) -> tuple[Any, str]:
        from mariadb import INSTALL_DB, MARIADBD, running_mariadb  # type: ignore[import-not-found]

        if not (MARIADBD and INSTALL_DB):
            return None, "the MariaDB server is not installed"
        return running_mariadb(port, env), ""

    def connect(self, dbname: str | None) -> Any:
        import pymysql

        s = self.settings
        return pymysql.connect(host=s["database.host"], port=s["database.port"], user=s["database.user"],
                               password=s["database.password"], database=dbname)

    def present(self, cursor: Any) -> set[str]:
        cursor.execute("SHOW TABLES")
        return {name for (name,) in cursor.fetchall()}

    def administer(self, sql: str) -> None:
        with closing(self.connect(None)) as connection:
            connection.cursor().execute(sql)

    def drop(self, home: Path, run: int) -> None:
        self.administer(f"DROP DATABASE IF EXISTS run_{run}")

    def insert_floor(self, home: Path, run: int, table: str, rows: list[tuple]) -> float:
        from vnpy_norvix.store.mysql import joined

        with closing(self.connect(f"run_{run}")) as connection:
            cursor = connection.cursor()
            cursor.execute(f"SELECT * FROM {table} LIMIT 0")
            head = f"INSERT INTO {table} ({', '.join(f'`{column[0]}`' for column in cursor.description[1:])}) VALUES "
            values = [f"({','.join(map(connection.escape, row[1:]))})" for row in rows]  # the driver's literals
            statements = [head + piece for piece in joined(values, (4 << 20) - len(head))]
            began = time.perf_counter()
            for statement in statements:
                cursor.execute(statement)
            connection.commit()
            return time.perf_counter() - began


@contextmanager
def own_server(cls: type[Server]) -> Iterator[Server | None]:
    """A server of the benchmark's own, started as the tests start theirs, or None without
    its binaries."""
    sys.path.insert(0, str(REPO / "tests"))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    running, missing = cls.running(port, {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    if running is None:
        print(f"{cls.name}: skipped, {missing}", file=sys.stderr)
        yield None
        return
    with running as settings:
        yield cls(settings)


# --- running the commands --------------------------------------------------------------------


@dataclass
class Run:
    seconds: float
    peak_rss_mb: float  # the child's peak resident set (its VmHWM), MB
    status: int
    stdout: str
    inside: float | None = None  # seconds the command line ran, as the child tells (fetch)


@dataclass
class Command:
    label: str
    args: list[str]
    expected: dict[str, int]  # rows each table must hold after the command


@dataclass
class Bench:
    url: str
    database: Database
    runs: Iterator[int] = field(default_factory=lambda: iter(range(1_000_000)))

    @contextmanager
    def fresh(self) -> Iterator[tuple[Path, int]]:
        """A HOME of its own whose vt_setting.json selects the service and a new, empty
        database, and the run's number; both removed afterwards."""
        run = next(self.runs)
        home = Path(tempfile.mkdtemp(prefix=f"norvix-bench-dl-{run}-"))
        try:
            (home / ".vntrader").mkdir()
            settings = {"datafeed.name": "norvix", "datafeed.username": USER, "datafeed.password": TOKEN,
                        "datafeed.base_url": self.url, "database.timezone": "Asia/Shanghai",
                        **self.database.fresh(run)}
            (home / ".vntrader" / "vt_setting.json").write_text(json.dumps(settings))
            yield home, run
        finally:
            self.database.drop(home, run)
            shutil.rmtree(home, ignore_errors=True)

    def floor(self, commands: list[Command], held: dict[str, list[tuple]]) -> list[Run]:
        """Per command, the database's insert floor of the rows it saved (`held`: the
        warm-up's bulk database), into a fresh database whose tables vn.py's adapter made."""
        with self.fresh() as (home, run):
            child("start", commands[0].args, home)  # the adapter creates its tables
            return [Run(sum(self.database.insert_floor(home, run, table, held[table])
                            for table in command.expected), float("nan"), 0, "")
                    for command in commands]

    def run_variant(self, variant: str, commands: list[Command],
                    keep: bool = False) -> tuple[list[Run], dict[str, list[tuple]] | None]:
        """The commands, one after the other, into one fresh database, which must then hold
        the rows they expect; with `keep`, every table it holds."""
        with self.fresh() as (home, run):
            results = [child(variant, command.args, home) for command in commands]
            if variant in ("fetch", "start"):
                return results, None
            wanted: dict[str, int] = {}
            for command in commands:
                for table, rows in command.expected.items():
                    wanted[table] = wanted.get(table, 0) + rows
            held = {table: self.database.count(home, run, table) for table in wanted}
            if held != wanted:
                raise SystemExit(f"{variant} into {self.database.name}: the database holds {held}, not {wanted}")
            return results, self.database.tables(home, run) if keep else None


def child(variant: str, args: list[str], home: Path, check: bool = True) -> Run:
    """One whole command in a child process: its wall time and peak RSS; with `check`, it
    must exit 0."""
    cli = ["download", *args]
    argv = ([sys.executable, "-m", "vnpy_norvix", *cli] if variant == "bulk"
            else [sys.executable, str(Path(__file__).resolve()), "--launch", variant, *cli])
    env = {**os.environ, "HOME": str(home), "TZ": "Asia/Shanghai", "PYTHONPATH": str(REPO),
           "NO_PROXY": "127.0.0.1,localhost", "no_proxy": "127.0.0.1,localhost"}
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        began = time.perf_counter()
        process = subprocess.Popen(argv, cwd=home, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        status, rss = wait(process)
        seconds = time.perf_counter() - began
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if check and status != 0:
        raise SystemExit(f"{variant}: {' '.join(cli)} exited {status}\n{stdout[-2000:]}\n{stderr[-2000:]}")
    if variant == "adapter" and not any(line.startswith(ADAPTER_MARK) and int(line.split(":")[-1]) > 0
                                        for line in stderr.splitlines()):
        raise SystemExit(f"adapter: {' '.join(cli)} did not save through the adapter\n{stderr[-2000:]}")
    inside = [float(line.split(":")[-1]) for line in stderr.splitlines() if line.startswith(FETCH_MARK)]
    return Run(seconds, rss, status, stdout, inside[-1] if inside else None)


def wait(process: subprocess.Popen[bytes]) -> tuple[int, float]:
    """The child's exit status and peak RSS in MB: its VmHWM, read every 20 ms while it
    runs (the rusage of a child forked from this large process would count this one's
    pages too); NaN where /proc does not say."""
    status_file = Path(f"/proc/{process.pid}/status")
    peak = float("nan")
    while True:
        try:
            for line in status_file.read_text().splitlines():
                if line.startswith("VmHWM:"):
                    kilobytes = float(line.split()[1])
                    peak = kilobytes if peak != peak else max(peak, kilobytes)
        except OSError:
            pass
        try:
            return process.wait(timeout=0.02), peak / 1024
        except subprocess.TimeoutExpired:
            continue


def without_ids(rows: list[tuple]) -> list[tuple]:
    """The rows without their ids, in order: the tasks run side by side, so the order in
    which they save (and the ids the rows get) differs from run to run."""
    return sorted(row[1:] for row in rows)


def digest(tables: dict[str, list[tuple]]) -> str:
    return hashlib.sha256(repr(sorted(tables.items())).encode()).hexdigest()[:16]


# --- the benchmark ---------------------------------------------------------------------------


def main_commands() -> list[Command]:
    from norvix_devserver import DEFAULT_PLAN as plan

    def args(first: date, last: date, interval: str) -> list[str]:
        return ["--product", *PRODUCTS, "--start", first.isoformat(), "--end", last.isoformat(), "--interval",
                interval]

    return [Command("1m", args(plan.minute_start, plan.minute_end, "1m"), {"dbbardata": 168_660}),
            Command("tick", args(plan.tick_days[0], plan.tick_days[-1], "tick"), {"dbtickdata": 147_186})]


def measure(bench: Bench, commands: list[Command], rounds: int) -> dict[str, list[list[Run]]]:
    """Per variant, per round, the commands' runs; after a warm-up round that also checks
    that the bulk writer and the adapter left equal databases."""
    warm: dict[str, dict[str, list[tuple]] | None] = {}
    for variant in VARIANTS:
        print(f"  warm-up: {variant}", file=sys.stderr, flush=True)
        warm[variant] = bench.run_variant(variant, commands, keep=True)[1]
    bulk, adapter = warm["bulk"], warm["adapter"]
    assert bulk is not None and adapter is not None
    differing = [table for table in TABLES if without_ids(bulk[table]) != without_ids(adapter[table])]
    if differing:
        for table in differing:
            a, b = without_ids(adapter[table]), without_ids(bulk[table])
            print(table, len(a), len(b), [(x, y) for x, y in zip(a, b) if x != y][:3], file=sys.stderr)
        raise SystemExit(f"{bench.database.name}: the bulk writer and the adapter left different {differing}")
    print(f"  {bench.database.name}: bulk and adapter databases equal row for row (but for the ids), digest "
          f"{digest({table: without_ids(rows) for table, rows in bulk.items()})}", file=sys.stderr, flush=True)
    results: dict[str, list[list[Run]]] = {variant: [] for variant in (*VARIANTS, "floor")}
    for r in range(rounds):
        order = VARIANTS[r % len(VARIANTS):] + VARIANTS[:r % len(VARIANTS)]
        for variant in (*order, "floor"):
            runs = bench.floor(commands, bulk) if variant == "floor" else bench.run_variant(variant, commands)[0]
            results[variant].append(runs)
            print(f"  round {r + 1}: {variant:<8} " + ", ".join(f"{c.label} {run.seconds:.2f} s"
                                                            for c, run in zip(commands, runs)),
                  file=sys.stderr, flush=True)
    return results


def report(title: str, commands: list[Command], results: dict[str, list[list[Run]]]) -> list[str]:
    """A table of medians: per command and for both, each variant's seconds (peak RSS), the
    parts (fetch inside the command line + process start), the database's insert floor and
    the ratios (the lowest ones: start + floor against the parts and the adapter)."""
    rounds = len(results["bulk"])
    lines = [f"\n### {title}: medians of {rounds} rounds, seconds (peak RSS of the child, MB)\n",
             "| command | bulk | adapter | fetch only | fetch in the command line | start | parts | insert floor "
             "| bulk/parts | lowest | bulk/adapter | lowest |", "|---|" + "---:|" * 11]
    labels = [command.label for command in commands] + ["both"]

    def figures(runs: list[Run]) -> list[tuple[float, float]]:
        """(seconds, peak RSS) per command, then of the commands together."""
        each = [(run.seconds, run.peak_rss_mb) for run in runs]
        return each + [(sum(s for s, _ in each), max(m for _, m in each))]

    def inside(runs: list[Run]) -> list[float]:
        each = [run.inside if run.inside is not None else float("nan") for run in runs]
        return each + [sum(each)]

    table = {variant: [figures(runs) for runs in results[variant]] for variant in VARIANTS}
    floors = [statistics.median(row[i][0] for row in map(figures, results["floor"])) for i in range(len(labels))]
    medians = {variant: [(statistics.median(r[i][0] for r in rows), statistics.median(r[i][1] for r in rows))
                         for i in range(len(labels))] for variant, rows in table.items()}
    fetch_inside = [statistics.median(row[i] for row in map(inside, results["fetch"])) for i in range(len(labels))]
    for i, label in enumerate(labels):
        b, a, start = medians["bulk"][i][0], medians["adapter"][i][0], medians["start"][i][0]
        parts = fetch_inside[i] + start
        cells = " | ".join(f"{medians[variant][i][0]:.2f} ({medians[variant][i][1]:.0f})"
                           for variant in ("bulk", "adapter", "fetch"))
        least = start + floors[i]
        lines.append(f"| {label} | {cells} | {fetch_inside[i]:.2f} | {start:.2f} | {parts:.2f} | {floors[i]:.2f} "
                     f"| {b / parts:.2f}x | {least / parts:.2f}x | {b / a:.3f}x | {least / a:.3f}x |")
    spread = ", ".join(f"{variant} {min(r[-1][0] for r in rows):.2f}–{max(r[-1][0] for r in rows):.2f} s"
                       for variant, rows in table.items())
    both = medians["bulk"][-1][0]
    ratio, over_parts = both / medians["adapter"][-1][0], both / (fetch_inside[-1] + medians["start"][-1][0])
    lines += [f"\nSpread of both commands over the rounds: {spread}.",
              f"Goals, both commands: bulk/parts ≤ 1.25: {over_parts:.2f}x, "
              f"{'met' if over_parts <= 1.25 else 'NOT met'}; "
              f"bulk/adapter ≤ 0.15: {ratio:.3f}x, {'met' if ratio <= 0.15 else 'NOT met'}."]
    return lines


def year_of_ticks() -> list[str]:
    """A year of au's ticks, bulk writer into SQLite: the command's time and peak RSS. A
    command that fails on the way (a loaded machine's service can time out) is reported
    with what it stored."""
    path = year_database()
    with closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as connection:
        served = connection.execute("SELECT COUNT(*) FROM tick").fetchone()[0]
    args = ["--product", "au", "--start", YEAR[0].isoformat(), "--end", YEAR[1].isoformat(), "--interval", "tick"]
    print("Year of ticks: bulk into SQLite", file=sys.stderr, flush=True)
    with service(path) as url:
        bench = Bench(url, Sqlite())
        with bench.fresh() as (home, run):
            result = child("bulk", args, home, check=False)
            stored = bench.database.count(home, run, "dbtickdata")
    outcome = "" if result.status == 0 else f" (exit status {result.status}: {result.stdout.strip().splitlines()[-1]})"
    return ["\n### A year of ticks into SQLite (bulk writer)\n",
            f"`python -m vnpy_norvix download {' '.join(args)}` against a service holding ticks of au's dominant "
            f"contract on every trading day: {stored:,} of its {served:,} ticks stored in {result.seconds:.0f} s"
            f"{outcome}; peak RSS of the command {result.peak_rss_mb:.0f} MB."]


def main() -> int:
    if len(sys.argv) > 2 and sys.argv[1] == "--launch":
        return launch(sys.argv[2], sys.argv[3:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", choices=("sqlite", "postgresql", "mysql", "year"),
                        help="one database's rounds, or the year of ticks alone")
    parser.add_argument("--skip-year", action="store_true", help="leave out the year of ticks")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    commands = main_commands()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    lines = [f"python {sys.version.split()[0]}, sqlite {sqlite3.sqlite_version}, {os.cpu_count()} cores, "
             f"1-minute load average at the start {load:.2f}"]
    if args.only != "year":
        lines.append("Commands: " + "; ".join(f"`python -m vnpy_norvix download {' '.join(c.args)}`"
                                              for c in commands))
    if args.only != "year":
        with service() as url:
            if args.only in (None, "sqlite"):
                print("SQLite", file=sys.stderr, flush=True)
                lines += report("SQLite (vnpy_sqlite)", commands,
                                measure(Bench(url, Sqlite()), commands, args.rounds))
            for key, server in (("postgresql", Postgresql), ("mysql", Mysql)):
                if args.only not in (None, key):
                    continue
                with own_server(server) as database:
                    if database is not None:
                        print(server.name, file=sys.stderr, flush=True)
                        lines += report(server.title, commands, measure(Bench(url, database), commands, args.rounds))
    if not args.skip_year and args.only in (None, "year"):
        lines += year_of_ticks()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    lines.append(f"\n1-minute load average at the end {load:.2f}")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
