"""Running the command line (python -m vnpy_norvix) in a home of its own, the local
service on a thread, and reading what the service and the database hold."""

import json
import os
import shutil
import sqlite3
import subprocess
import sys
import threading
from contextlib import closing, contextmanager
from datetime import datetime
from pathlib import Path
from zoneinfo import ZoneInfo

from helpers import REPO, SERVICE_TOKEN, SERVICE_USER
from norvix_devserver import make_server

USER, TOKEN = SERVICE_USER, SERVICE_TOKEN


def start(server):
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server, thread


def stop(server, thread):
    server.shutdown()
    server.server_close()
    thread.join(timeout=10)


def make_home(root: Path, url: str, **settings) -> Path:
    home = root / "home"
    (home / ".vntrader").mkdir(parents=True)
    values = {"datafeed.username": USER, "datafeed.password": TOKEN, "datafeed.base_url": url,
              "database.timezone": "Asia/Shanghai", **settings}
    (home / ".vntrader" / "vt_setting.json").write_text(json.dumps(values))
    return home


def environment(home: Path) -> dict:
    path = os.pathsep.join(filter(None, [str(REPO), os.environ.get("PYTHONPATH")]))
    return {**os.environ, "HOME": str(home), "TZ": "Asia/Shanghai", "PYTHONPATH": path}


def cli(home: Path, *args: str, timeout: float = 300) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "vnpy_norvix", *args], cwd=home, env=environment(home),
                          capture_output=True, text=True, timeout=timeout)


FAKETIME = shutil.which("faketime")


def run_at(home: Path, moment: datetime | None, *args: str, zone: str = "Asia/Shanghai") -> subprocess.CompletedProcess:
    """The command line run with its clock at `moment` (None: the machine's) in `zone`."""
    if moment is not None and "libasan" in os.environ.get("LD_PRELOAD", ""):
        # libfaketime must come before the sanitizer runtime, which must come first.
        import pytest

        pytest.skip("a faked clock cannot be preloaded beside the sanitizer runtime")
    env = {**environment(home), "TZ": zone, "FAKETIME_DONT_FAKE_MONOTONIC": "1"}
    faked = [] if moment is None else [FAKETIME, moment.astimezone(ZoneInfo(zone)).strftime("%Y-%m-%d %H:%M:%S")]
    return subprocess.run([*faked, sys.executable, "-m", "vnpy_norvix", *args], cwd=home, env=env,
                          capture_output=True, text=True, timeout=300)


SERVICE_TABLE = {"d": ("day_bar", "trading_date", "close"), "1m": ("minute_bar", "trading_datetime", "close"),
                 "tick": ("tick", "trading_datetime", "last_price")}


def service_rows(served, contract: str, interval: str, first: str, last: str) -> tuple:
    table, column, price = SERVICE_TABLE[interval]
    count, low, high, total = served.execute(
        f"SELECT count(*), min({column}), max({column}), sum({price}) FROM {table} "
        "WHERE instrument_id = ? AND trading_date BETWEEN ? AND ?", (contract, first, last)).fetchone()
    if interval == "d" and count:
        low, high = f"{low} 00:00:00", f"{high} 00:00:00"
    return count, low, high, total


def saved_rows(home: Path, symbol: str, interval: str) -> tuple:
    with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as db:
        if interval == "tick":
            return db.execute("SELECT count(*), min(datetime), max(datetime), sum(last_price) FROM dbtickdata "
                              "WHERE symbol = ?", (symbol,)).fetchone()
        return db.execute("SELECT count(*), min(datetime), max(datetime), sum(close_price) FROM dbbardata "
                          "WHERE symbol = ? AND interval = ?", (symbol, interval)).fetchone()


def totals_line(result: subprocess.CompletedProcess) -> str:
    return next(line for line in result.stdout.splitlines() if " tasks, " in line)


@contextmanager
def service_behind(middleware):
    """The service with its application wrapped by `middleware`."""
    server = make_server("127.0.0.1", 0, user=USER, token=TOKEN, quiet=True)
    server.app = middleware(server.app)
    server, thread = start(server)
    try:
        yield server
    finally:
        stop(server, thread)


HISTORY_PATHS = ("/minutebar/query", "/tick/query")  # the requests of minute bars and ticks


def ok(result: subprocess.CompletedProcess) -> subprocess.CompletedProcess:
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def stored_rows(home: Path) -> dict:
    """Every row of vn.py's bar and tick tables in the home's SQLite database, without ids."""
    with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as db:
        return {table: sorted(row[1:] for row in db.execute(f"SELECT * FROM {table}"))
                for table in ("dbbardata", "dbbaroverview", "dbtickdata", "dbtickoverview")}
