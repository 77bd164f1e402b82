"""The command line (python -m vnpy_norvix) against the local data service: downloads
compared with the service's own database, resuming, failures and exit statuses, and
continuous dominant series checked day by day against the raw bars."""

import math
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from contextlib import closing
from datetime import date
from pathlib import Path

import pytest
from vnpy.trader.constant import Interval

from commands import SERVICE_TABLE, cli, environment, make_home, saved_rows, service_behind, service_rows, totals_line
from helpers import SERVICE_TOKEN, SERVICE_USER
from mariadb import mariadb  # noqa: F401  (a fixture)
from pg import PG_PASSWORD, PG_USER, postgres  # noqa: F401  (a fixture)
from vnpy_norvix import download as dl

USER, TOKEN = SERVICE_USER, SERVICE_TOKEN


# --- download ------------------------------------------------------------------------------


def test_download_matches_the_service_and_a_rerun_fetches_nothing_new(tmp_path, service, served):
    home = make_home(tmp_path, service)
    first, last = "2024-05-06", "2024-05-29"
    args = ["download", "--product", "rb", "au", "--start", first, "--end", last, "--interval", "d", "1m", "tick",
            "--jobs", "3"]

    result = cli(home, *args)

    assert result.returncode == 0, result.stdout + result.stderr
    contracts = [row[0] for row in served.execute(
        "SELECT DISTINCT instrument_id FROM dominant WHERE symbol IN ('rb', 'au') AND trading_date BETWEEN ? AND ?",
        (first, last))]
    assert len(contracts) == 3  # au rolls within the range
    for contract in contracts:
        for interval in ("d", "1m", "tick"):
            assert saved_rows(home, contract, interval) == pytest.approx(
                service_rows(served, contract, interval, first, last)), (contract, interval)
    assert "0 failed" in totals_line(result)

    status = cli(home, "status")
    assert status.returncode == 0
    for contract in contracts:
        count = saved_rows(home, contract, "1m")[0]
        assert any(line.split()[:4] == [contract, "SHFE", "1m", str(count)] for line in status.stdout.splitlines())

    again = cli(home, *args)

    assert again.returncode == 0, again.stdout + again.stderr
    assert ", 0 new, 0 failed" in totals_line(again)
    for contract in contracts:
        for interval in ("d", "1m", "tick"):
            assert saved_rows(home, contract, interval) == pytest.approx(
                service_rows(served, contract, interval, first, last))


def test_download_of_all_contracts_takes_each_over_its_listed_days(tmp_path, service, served):
    home = make_home(tmp_path, service)
    first, last = "2024-05-13", "2024-05-24"  # an IF contract expires on 05-17

    result = cli(home, "download", "--product", "IF", "--contracts", "all", "--start", first, "--end", last)

    assert result.returncode == 0, result.stdout + result.stderr
    contracts = [row[0] for row in served.execute(
        "SELECT DISTINCT b.instrument_id FROM day_bar AS b JOIN contract AS c USING (instrument_id) "
        "WHERE c.symbol = 'IF' AND b.trading_date BETWEEN ? AND ?", (first, last))]
    assert len(contracts) == 5
    for contract in contracts:
        assert saved_rows(home, contract, "d") == pytest.approx(service_rows(served, contract, "d", first, last))


@pytest.mark.parametrize("zone, warned", [("Asia/Shanghai", False), ("Asia/Chongqing", False), ("UTC", True)])
def test_status_names_the_database_and_warns_when_the_machine_runs_in_another_zone(tmp_path, zone, warned):
    home = make_home(tmp_path, "http://127.0.0.1:1")

    result = subprocess.run([sys.executable, "-m", "vnpy_norvix", "status"], cwd=home,
                            env={**environment(home), "TZ": zone}, capture_output=True, text=True, timeout=120)

    assert result.returncode == 0, result.stdout + result.stderr
    assert f"database: SQLite {home / '.vntrader' / 'database.db'}" in result.stdout
    assert ('warning: "database.timezone" is Asia/Shanghai but this machine runs in UTC' in result.stderr) == warned


def test_an_interrupted_download_keeps_what_it_saved_and_a_rerun_completes_it(tmp_path, slow_service, served):
    home = make_home(tmp_path, slow_service.url)
    args = ["download", "au2412.SHFE", "--start", "2024-01-02", "--end", "2024-05-31", "--interval", "1m",
            "--jobs", "1"]
    expected = service_rows(served, "au2412", "1m", "2024-01-02", "2024-05-31")
    process = subprocess.Popen([sys.executable, "-m", "vnpy_norvix", *args], cwd=home, env=environment(home),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    database = home / ".vntrader" / "database.db"
    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and process.poll() is None:
            try:
                if database.exists() and saved_rows(home, "au2412", "1m")[0]:
                    break
            except sqlite3.OperationalError:
                pass  # the tables are not created yet
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)  # Ctrl-C once the first window is saved
        output, errors = process.communicate(timeout=60)
    finally:
        process.kill()

    assert process.returncode == 130, output + errors
    count, low, _, _ = saved_rows(home, "au2412", "1m")
    assert 0 < count < expected[0]
    assert low == expected[1]  # saved from the start, without holes
    assert "interrupted" in output

    again = cli(home, *args)

    assert again.returncode == 0, again.stdout + again.stderr
    assert saved_rows(home, "au2412", "1m") == pytest.approx(expected)


@pytest.fixture
def failing_service():
    """The service, whose minute-bar answers fail from the fourth on while `failing` is set."""
    state = {"failing": True, "minute_answers": 0}

    def flaky(app):
        def answer(environ, start_response):
            if environ["PATH_INFO"] == "/minutebar/query":
                state["minute_answers"] += 1
                if state["failing"] and state["minute_answers"] > 3:
                    start_response("503 Service Unavailable", [("Content-Length", "0")])
                    return [b""]
            return app(environ, start_response)
        return answer

    with service_behind(flaky) as server:
        server.state = state
        yield server


def test_a_lost_connection_fails_the_task_without_holes_and_a_rerun_completes_it(tmp_path, failing_service, served):
    home = make_home(tmp_path, failing_service.url)
    args = ["download", "rb2410.SHFE", "--start", "2024-01-02", "--end", "2024-05-31", "--interval", "d", "1m"]
    expected = service_rows(served, "rb2410", "1m", "2024-01-02", "2024-05-31")

    broken = cli(home, *args)

    assert broken.returncode == 5  # the service's absence: try later
    assert "rb2410.SHFE 1m: " in broken.stderr and "503" in broken.stderr
    count, low, high, _ = saved_rows(home, "rb2410", "1m")
    assert low == expected[1] and 0 < count < expected[0]
    assert saved_rows(home, "rb2410", "d") == pytest.approx(service_rows(served, "rb2410", "d", "2024-01-02",
                                                                         "2024-05-31"))
    failing_service.state["failing"] = False

    again = cli(home, *args)

    assert again.returncode == 0, again.stdout + again.stderr
    assert saved_rows(home, "rb2410", "1m") == pytest.approx(expected)


@pytest.mark.parametrize("settings, reason", [
    ({"datafeed.password": "wrong-token"}, "invalid credentials"),
    ({"datafeed.username": ""}, "datafeed.username"),
    ({"database.name": "postgresql", "database.host": "127.0.0.1", "database.port": 1}, "cannot open vn.py's database"),
])
def test_failures_give_exit_status_1_with_the_reason(tmp_path, service, settings, reason):
    home = make_home(tmp_path, service, **settings)

    by_symbol = cli(home, "download", "rb2410.SHFE", "--start", "2024-05-27", "--end", "2024-05-29")
    by_product = cli(home, "download", "--product", "rb", "--start", "2024-05-27", "--end", "2024-05-29")
    series = cli(home, "continuous", "rb", "--start", "2024-05-27", "--end", "2024-05-29")

    for result in (by_symbol, by_product, series):
        assert result.returncode == 1, result.stdout + result.stderr
        assert reason in result.stdout + result.stderr
    assert not (home / ".vntrader" / "database.db").exists() or saved_rows(home, "rb2410", "d")[0] == 0


def test_contracts_are_checked_against_the_service(tmp_path, service):
    home = make_home(tmp_path, service)

    wrong = cli(home, "download", "rb2405.DCE", "--start", "2024-03-01", "--end", "2024-03-08")
    unknown = cli(home, "download", "xx2405.SHFE", "rb2905.SHFE", "--start", "2024-03-01", "--end", "2024-03-08")
    idle = cli(home, "download", "rb2405.SHFE", "--start", "2024-06-03", "--end", "2024-06-07")  # expired 05-15

    assert wrong.returncode == 1 and "wrong exchange" in wrong.stderr and "rb2405.SHFE" in wrong.stderr
    assert unknown.returncode == 1, unknown.stdout + unknown.stderr
    assert "xx2405.SHFE: unknown contract" in unknown.stderr and "rb2905.SHFE: unknown contract" in unknown.stderr
    assert idle.returncode == 0 and "no data" in idle.stdout, idle.stdout + idle.stderr
    assert not (home / ".vntrader" / "database.db").exists() or saved_rows(home, "rb2405", "d")[0] == 0


@pytest.mark.parametrize("start, end, reason", [
    ("2030-01-02", "2030-03-01", "in the future"),
    ("2024-05-01", "9999-12-31", "outside the dates"),
    ("0001-01-01", "2024-05-01", "outside the dates"),
])
def test_ranges_out_of_reach_are_usage_errors(tmp_path, service, start, end, reason):
    home = make_home(tmp_path, service)
    for command in (["download", "rb2405.SHFE"], ["continuous", "rb"]):
        result = cli(home, *command, "--start", start, "--end", end)
        assert result.returncode == 2 and reason in result.stderr and "Traceback" not in result.stderr, result.stderr


@pytest.mark.parametrize("dominant", [
    [{"trading_date": "2024-05-06", "symbol": "rb", "instrument_id": "rb2410", "exchange": SERVICE_TOKEN}],
    {"trading_date": "2024-05-06", "instrument_id": "rb2410", "echo": SERVICE_TOKEN},
    [{"trading_date": None, "symbol": "rb", "instrument_id": "rb2410", "exchange": "SHFE"}],
], ids=["token-as-exchange", "data-an-object", "null-date"])
def test_hostile_reference_answers_fail_with_a_masked_reason(tmp_path, server, dominant):
    server.route("/multiplier/query", server.reply_json(server.envelope([{"symbol": "rb", "exchange": "SHFE"}])))
    server.route("/dominant/query", server.reply_json(server.envelope(dominant)))
    home = make_home(tmp_path, server.url)

    for command in (["download", "--product", "rb"], ["continuous", "rb"]):
        result = cli(home, *command, "--start", "2024-05-06", "--end", "2024-05-10")
        text = result.stdout + result.stderr
        assert result.returncode == 1, text
        assert "unusable answer" in text and "Traceback" not in text and TOKEN not in text, text


@pytest.fixture
def stalling_service():
    """The service, whose answers on `server.stall` (a path) stall until the test ends."""
    release, stalled = threading.Event(), threading.Event()

    def stalling(app):
        def answer(environ, start_response):
            if environ["PATH_INFO"] == server.stall:
                stalled.set()
                release.wait(60)
            return app(environ, start_response)
        return answer

    with service_behind(stalling) as server:
        server.stall, server.stalled = "", stalled
        try:
            yield server
        finally:
            release.set()


@pytest.mark.parametrize("path", ["/daybar/query", "/minutebar/query"], ids=["planning", "downloading"])
def test_ctrl_c_ends_a_download_at_once_whatever_the_service_does(tmp_path, stalling_service, path):
    home = make_home(tmp_path, stalling_service.url)
    stalling_service.stall = path
    process = subprocess.Popen([sys.executable, "-m", "vnpy_norvix", "download", "rb2410.SHFE", "--start",
                                "2024-01-02", "--end", "2024-05-31", "--interval", "1m"], cwd=home,
                               env=environment(home), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert stalling_service.stalled.wait(60), "the download never reached the service"
        time.sleep(0.3)  # well inside the stalled request
        process.send_signal(signal.SIGINT)
        # Bounded well below the service's 10 s time-out per request, retries aside.
        output, errors = process.communicate(timeout=5)
    finally:
        process.kill()
        process.wait()

    assert process.returncode == 130, output + errors
    assert "Traceback" not in errors and "interrupted" in output + errors


def test_a_hole_left_inside_the_range_is_filled_by_the_next_run(tmp_path, served):
    """A backward extension that fails at its second window, then a re-run."""
    state = {"failing": False, "minute_answers": 0}

    def failing_second(app):
        def answer(environ, start_response):
            if environ["PATH_INFO"] == "/minutebar/query" and state["failing"]:
                state["minute_answers"] += 1
                if state["minute_answers"] >= 2:  # the second window fails, retries included
                    start_response("500 Internal Server Error", [("Content-Length", "0")])
                    return [b""]
            return app(environ, start_response)
        return answer

    with service_behind(failing_second) as server:
        home = make_home(tmp_path, server.url)
        extension = ["download", "rb2410.SHFE", "--start", "2024-01-02", "--end", "2024-05-31", "--interval", "1m",
                     "--jobs", "1"]
        held = cli(home, "download", "rb2410.SHFE", "--start", "2024-03-01", "--end", "2024-05-31",
                   "--interval", "1m")
        assert held.returncode == 0, held.stdout + held.stderr
        state["failing"] = True

        broken = cli(home, *extension)

        assert broken.returncode == 5 and "500" in broken.stderr, broken.stdout + broken.stderr
        partial = saved_rows(home, "rb2410", "1m")
        state["failing"] = False

        again = cli(home, *extension)

    expected = service_rows(served, "rb2410", "1m", "2024-01-02", "2024-05-31")
    assert partial[0] < expected[0]  # the hole was there
    assert again.returncode == 0, again.stdout + again.stderr
    assert saved_rows(home, "rb2410", "1m") == pytest.approx(expected)


# --- continuous ----------------------------------------------------------------------------


def expected_series(served, product: str, first: str, last: str, interval: str, adjust: str) -> list[tuple]:
    """The continuous series computed straight from the service's tables."""
    days = served.execute("SELECT trading_date, instrument_id FROM dominant WHERE symbol = ? AND "
                          "trading_date BETWEEN ? AND ? ORDER BY trading_date", (product, first, last)).fetchall()

    def close(contract, day):
        return served.execute("SELECT close FROM day_bar WHERE instrument_id = ? AND trading_date = ?",
                              (contract, day)).fetchone()[0]

    cumulative = [1.0]
    for (day, old), (_, new) in zip(days, days[1:]):
        if new != old:
            cumulative.append(cumulative[-1] * close(new, day) / close(old, day))
    factor = {"backward": lambda c: 1 / c, "forward": lambda c: cumulative[-1] / c, "none": lambda c: 1.0}[adjust]
    table, column, _ = SERVICE_TABLE[interval]
    rows, segment = [], 0
    for index, (day, contract) in enumerate(days):
        if index and contract != days[index - 1][1]:
            segment += 1
        m = factor(cumulative[segment])
        for moment, o, h, low, c, volume, interest in served.execute(
                f"SELECT {column}, open, high, low, close, volume, open_interest FROM {table} "
                f"WHERE instrument_id = ? AND trading_date = ? ORDER BY {column}", (contract, day)):
            moment = moment if interval != "d" else f"{moment} 00:00:00"
            rows.append((moment, o * m, h * m, low * m, c * m, volume, interest))
    return rows


@pytest.mark.parametrize("adjust", ["backward", "forward", "none"])
def test_continuous_bars_follow_the_dominant_contract_adjusted_at_each_roll(service, served, settings, monkeypatch,
                                                                             adjust):
    from vnpy_norvix import Datafeed
    from vnpy_norvix.continuous import continuous_bars

    monkeypatch.setitem(settings, "datafeed.username", USER)
    monkeypatch.setitem(settings, "datafeed.password", TOKEN)
    feed = Datafeed()
    feed.base_url = service
    # Daily bars over three rb rolls; minute bars over one, with weekend night sessions.
    for interval, first, last in ((Interval.DAILY, "2023-08-01", "2024-05-31"),
                                  (Interval.MINUTE, "2024-04-01", "2024-04-19")):
        series = continuous_bars(feed, "rb", date.fromisoformat(first), date.fromisoformat(last), interval, adjust)

        expected = expected_series(served, "rb", first, last, interval.value, adjust)
        assert len(series.rolls) == (3 if interval == Interval.DAILY else 1)
        assert series.disagreements == []
        assert (series.vt_symbol, len(series.bars)) == ("rb888.SHFE", len(expected))
        for bar, row in zip(series.bars, expected):
            actual = (bar.datetime.strftime("%Y-%m-%d %H:%M:%S"), bar.open_price, bar.high_price, bar.low_price,
                      bar.close_price, bar.volume, bar.open_interest)
            assert actual[0] == row[0] and all(math.isclose(a, b, rel_tol=1e-12) for a, b in zip(actual[1:], row[1:]))
            assert (bar.symbol, bar.interval) == ("rb888", interval)
        if adjust == "backward":
            assert series.bars[0].close_price == expected[0][4]  # the first contract's own prices


def test_continuous_command_replaces_the_series_in_the_database(tmp_path, service, served):
    home = make_home(tmp_path, service)
    args = ["continuous", "au", "--start", "2024-05-06", "--end", "2024-05-29", "--interval", "d", "--name", "au_c"]

    first = cli(home, *args, "--adjust", "forward")
    second = cli(home, *args, "--adjust", "backward")

    assert (first.returncode, second.returncode) == (0, 0), second.stdout + second.stderr
    expected = expected_series(served, "au", "2024-05-06", "2024-05-29", "d", "backward")
    with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as db:
        rows = db.execute("SELECT datetime, open_price, high_price, low_price, close_price, volume, open_interest "
                          "FROM dbbardata WHERE symbol = 'au_c' AND exchange = 'SHFE' AND interval = 'd' "
                          "ORDER BY datetime").fetchall()
    assert [row[0] for row in rows] == [row[0] for row in expected]
    assert [value for row in rows for value in row[1:]] == pytest.approx(
        [value for row in expected for value in row[1:]])
    assert "au2406" in second.stdout and "au2412" in second.stdout  # the roll table


def two_contract_product(server, closes: dict) -> None:
    """Product x on the recording server: A1 dominant on 2024-05-06, B1 on 2024-05-07,
    daily bars at `closes` ((contract, day) -> close)."""
    days = [("2024-05-06", "A1"), ("2024-05-07", "B1")]
    server.route("/dominant/query", server.reply_json(server.envelope(
        [{"trading_date": d, "symbol": "x", "instrument_id": c, "exchange": "SHFE"} for d, c in days])))
    server.route("/exfactor/query", server.reply_json(server.envelope(
        [{"trading_date": "2024-05-07", "symbol": "x", "from_instrument_id": "A1", "to_instrument_id": "B1",
          "ex_factor": 1.2, "ex_cum_factor": 1.2}])))

    def day_bars(received):
        body = received.json
        records = [{"trading_date": day, "open_price": price, "high_price": price, "low_price": price,
                    "close_price": price} for (contract, day), price in closes.items()
                   if contract == body["instrument_id"] and body["start_date"] <= day <= body["end_date"]]
        return server.reply_json(server.envelope(records))

    server.route("/daybar/query", day_bars)


def test_continuous_reports_where_the_service_factors_disagree_with_the_closes(server, settings, monkeypatch):
    from vnpy_norvix import Datafeed
    from vnpy_norvix.continuous import continuous_bars

    two_contract_product(server, {("A1", "2024-05-06"): 100.0, ("B1", "2024-05-06"): 110.0,
                                  ("B1", "2024-05-07"): 120.0})
    monkeypatch.setitem(settings, "datafeed.username", USER)
    monkeypatch.setitem(settings, "datafeed.password", TOKEN)
    feed = Datafeed()
    feed.base_url = server.url

    series = continuous_bars(feed, "x", date(2024, 5, 6), date(2024, 5, 7), Interval.DAILY, "backward")

    assert [roll.ratio for roll in series.rolls] == [1.1]
    assert len(series.disagreements) == 1 and "1.10000000" in series.disagreements[0]
    assert [bar.close_price for bar in series.bars] == pytest.approx([100.0, 120.0 / 1.1])


def stored_series(path: Path, symbol: str) -> tuple[list, list]:
    """Every stored row of the symbol's bars and overview entries."""
    with closing(sqlite3.connect(path)) as db:
        return (db.execute("SELECT * FROM dbbardata WHERE symbol = ? ORDER BY id", (symbol,)).fetchall(),
                db.execute("SELECT * FROM dbbaroverview WHERE symbol = ? ORDER BY id", (symbol,)).fetchall())


@pytest.fixture
def counting_service():
    """The service answering a tenth of a second late, counting its minute-bar answers."""
    state = {"minute_answers": 0}

    def counted(app):
        def answer(environ, start_response):
            time.sleep(0.1)
            if environ["PATH_INFO"] == "/minutebar/query":
                state["minute_answers"] += 1
            return app(environ, start_response)
        return answer

    with service_behind(counted) as server:
        server.state = state
        yield server


def interrupted_continuous(home: Path, args: list[str], ready) -> tuple[int, str]:
    """The command run with Ctrl-C sent once `ready(lines so far)` holds (or after a minute)."""
    process = subprocess.Popen([sys.executable, "-m", "vnpy_norvix", *args], cwd=home,
                               env={**environment(home), "PYTHONUNBUFFERED": "1"}, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    lines: list[str] = []
    reader = threading.Thread(target=lambda: lines.extend(process.stdout), daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + 60
        while process.poll() is None and time.monotonic() < deadline and not ready(lines):
            time.sleep(0.005)
        process.send_signal(signal.SIGINT)
        process.wait(timeout=60)
        reader.join(timeout=10)
    finally:
        process.kill()
    return process.returncode, "".join(lines)


def test_continuous_keeps_the_stored_series_on_ctrl_c_and_on_an_empty_range(tmp_path, counting_service, served):
    home = make_home(tmp_path, counting_service.url)
    args = ["continuous", "au", "--interval", "1m", "--name", "au888"]
    assert cli(home, *args, "--start", "2024-05-06", "--end", "2024-05-10").returncode == 0
    database = home / ".vntrader" / "database.db"
    before = stored_series(database, "au888")
    assert before[0] and before[1][0][4] == len(before[0])
    longer = [*args, "--start", "2024-01-02", "--end", "2024-05-31"]

    # Ctrl-C while the series is being fetched: nothing stored is touched.
    seen = counting_service.state["minute_answers"]
    status, output = interrupted_continuous(home, longer,
                                            lambda _: counting_service.state["minute_answers"] >= seen + 2)
    assert status == 130, output
    assert stored_series(database, "au888") == before

    # Ctrl-C once the series is built and being saved: the old series or the whole new one.
    status, output = interrupted_continuous(home, longer, lambda lines: any("dominant contracts" in x for x in lines))
    assert status == 130, output
    after = stored_series(database, "au888")
    whole = len(expected_series(served, "au", "2024-01-02", "2024-05-31", "1m", "backward"))
    assert after == before or (len(after[0]) == whole and after[1][0][4] == whole), (len(after[0]), whole)
    before = after

    empty = cli(home, *args, "--start", "2023-07-03", "--end", "2023-12-29")  # daily bars only there

    assert empty.returncode == 1, empty.stdout + empty.stderr
    assert "au 1m: FAILED: no 1m bars" in empty.stderr and "0 series saved, 1 failed" in empty.stdout
    assert stored_series(database, "au888") == before


def _feed_lost(): raise dl.Failure("connection reset", "unreachable")  # noqa: E704
def _interrupted(): raise KeyboardInterrupt  # noqa: E704


@pytest.mark.parametrize("failure, status, message", [
    (_feed_lost, 5, "au 1m: FAILED: cannot reach the data service"),
    (_interrupted, 130, ""),
    ("save", 1, "au 1m: FAILED: saving: OSError: disk I/O error; au888.SHFE 1m is kept as it was"),
])
def test_a_failure_while_building_or_saving_a_series_keeps_the_stored_one(database, service, settings, monkeypatch,
                                                                          capsys, failure, status, message):
    import vnpy_sqlite.sqlite_database as sqlite_module

    from vnpy_norvix.cli import main
    from vnpy_norvix.store.writer import Writer

    monkeypatch.setitem(settings, "datafeed.username", USER)
    monkeypatch.setitem(settings, "datafeed.password", TOKEN)
    args = ["continuous", "au", "--interval", "1m", "--name", "au888", "--base-url", service]
    assert main([*args, "--start", "2024-05-06", "--end", "2024-05-10"]) == 0
    before = stored_series(Path(sqlite_module.path), "au888")
    history, windows = dl.Source.history, []

    def failing_history(self, symbol, exchange, interval, *rest, **named):
        for window in history(self, symbol, exchange, interval, *rest, **named):
            if interval == Interval.MINUTE:
                windows.append(len(window))
                if callable(failure) and len(windows) == 3:
                    failure()
            yield window

    def failing_overview(self, layout, rows, change=None):  # the old series deleted, the new one written
        raise OSError("disk I/O error")

    monkeypatch.setattr(dl.Source, "history", failing_history)
    if failure == "save":
        monkeypatch.setattr(Writer, "update_overview", failing_overview)
    capsys.readouterr()

    assert main([*args, "--start", "2024-01-02", "--end", "2024-05-31"]) == status
    assert message in capsys.readouterr().err
    assert len(windows) >= 3 and all(windows)
    assert stored_series(Path(sqlite_module.path), "au888") == before


@pytest.mark.parametrize("closes, reason", [
    ({("A1", "2024-05-06"): 0.0, ("B1", "2024-05-06"): 110.0}, "the close of A1 on 2024-05-06 is 0.0"),
    ({("A1", "2024-05-06"): 100.0, ("B1", "2024-05-06"): "NaN"}, "the close of B1 on 2024-05-06 is nan"),
])
def test_a_roll_without_a_positive_close_fails_naming_it_and_keeps_the_stored_series(
        database, server, settings, monkeypatch, capsys, closes, reason):
    import vnpy_sqlite.sqlite_database as sqlite_module

    from vnpy_norvix.cli import main

    monkeypatch.setitem(settings, "datafeed.username", USER)
    monkeypatch.setitem(settings, "datafeed.password", TOKEN)
    args = ["continuous", "x", "--start", "2024-05-06", "--end", "2024-05-07", "--base-url", server.url]
    two_contract_product(server, {("A1", "2024-05-06"): 100.0, ("B1", "2024-05-06"): 110.0,
                                  ("B1", "2024-05-07"): 120.0})
    assert main(args) == 0
    before = stored_series(Path(sqlite_module.path), "x888")
    assert len(before[0]) == 2
    two_contract_product(server, {**closes, ("B1", "2024-05-07"): 120.0})
    capsys.readouterr()

    assert main(args) == 1

    out = capsys.readouterr().err
    assert f"x d: FAILED: unusable answer: roll A1 -> B1 on 2024-05-07: {reason}" in out
    assert stored_series(Path(sqlite_module.path), "x888") == before


# --- the server databases: PostgreSQL and MySQL through vn.py's adapters ----------------------

@pytest.mark.parametrize("server", ["postgres", "mariadb"])
def test_download_and_continuous_into_a_server(tmp_path, service, served, server, request):
    settings = request.getfixturevalue(server)
    home = make_home(tmp_path, service, **settings)
    first, last = "2024-05-06", "2024-05-24"
    status = cli(home, "status")  # creates the tables
    assert status.returncode == 0
    title = "PostgreSQL" if server == "postgres" else "MySQL"
    assert f"database: {title} 127.0.0.1:{settings['database.port']}/vnpy" in status.stdout
    # Two download processes share the server.
    downloads = [subprocess.Popen([sys.executable, "-m", "vnpy_norvix", "download", "--product", product, "--start",
                                   first, "--end", last, "--interval", "d", "1m"], cwd=home, env=environment(home),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                 for product in ("rb", "au")]
    outputs = [process.communicate(timeout=300)[0] for process in downloads]
    assert [process.returncode for process in downloads] == [0, 0], outputs
    series = cli(home, "continuous", "au", "--start", first, "--end", last, "--interval", "d", "1m")
    assert series.returncode == 0, series.stdout + series.stderr

    # vn.py's PostgreSQL adapter keeps prices in single precision (REAL): compared to about 1e-7.
    if server == "postgres":
        import psycopg2

        connection = psycopg2.connect(host="127.0.0.1", port=settings["database.port"], user=PG_USER,
                                      password=PG_PASSWORD, dbname="vnpy")
    else:
        import pymysql

        connection = pymysql.connect(host="127.0.0.1", port=settings["database.port"], user=settings["database.user"],
                                     password=settings["database.password"], database="vnpy")
    close, interval_column = ("close_price::float8", "interval") if server == "postgres" else ("close_price",
                                                                                              "`interval`")
    with closing(connection):
        cursor = connection.cursor()

        def saved(symbol, interval):
            cursor.execute(f"SELECT count(*), min(datetime), max(datetime), sum({close}) FROM dbbardata "
                           f"WHERE symbol = %s AND {interval_column} = %s", (symbol, interval))
            count, low, high, total = cursor.fetchone()
            return count, low and f"{low:%Y-%m-%d %H:%M:%S}", high and f"{high:%Y-%m-%d %H:%M:%S}", total

        for contract in ("rb2410", "au2406", "au2412"):
            for interval in ("d", "1m"):
                assert saved(contract, interval) == pytest.approx(
                    service_rows(served, contract, interval, first, last)), (contract, interval)
        for interval in ("d", "1m"):
            expected = expected_series(served, "au", first, last, interval, "backward")
            assert saved("au888", interval) == pytest.approx(
                (len(expected), expected[0][0], expected[-1][0], sum(row[4] for row in expected)))


@pytest.mark.parametrize("argv", [
    ["download", "rb2405.SHFE", "--start", "2024-03-04"],
    ["download", "--product", "rb", "au", "--contracts", "all", "--start", "2024-03-04", "--end", "2024-03-08",
     "--interval", "1m", "tick", "--lab", "x", "--rates", "1", "2"],
    ["continuous", "rb", "--start", "2024-01-02"],
    ["continuous", "rb", "--start", "2024-01-02", "--end", "2024-06-28", "--interval", "d", "1m", "--adjust",
     "forward", "--name", "rb_x", "--roll", "oi", "--threshold", "1.5", "--confirm", "3", "--months", "1,5",
     "--force-days", "4", "--depth", "2", "--method", "difference"],
])
def test_a_remembered_command_replays_as_the_command_line_reads_it(argv):
    from vnpy_norvix.cli import build_parser
    from vnpy_norvix.options import replayed
    from vnpy_norvix.remembered import command_of, command_values

    typed = build_parser().parse_args(argv)
    typed.end_given = typed.end
    name, values = command_values(command_of(typed.command, vars(typed)))
    replay = replayed(name, values, date(2024, 12, 31), typed)
    run_options = {"end", "lab", "summary", "json", "no_remember", "verbose", "quiet", "log_file"}
    assert {key: value for key, value in vars(replay).items() if key not in run_options} == {
        key: value for key, value in vars(typed).items() if key not in run_options}
    assert replay.end == (typed.end or date(2024, 12, 31))


def test_a_remembered_roll_rule_holding_what_its_options_cannot_say_is_not_run():
    from vnpy_norvix.remembered import parse_command

    command = {"command": "continuous", "products": ["rb"], "start": "2024-01-02", "end": None, "interval": ["d"],
               "adjust": "backward", "name": None, "lab": None, "rates": None}
    assert parse_command({**command, "roll": {"rule": "calendar", "before": 3}})["roll"] == {
        "rule": "calendar", "before": 3, "depth": 1}
    for roll in ({"rule": "oi", "confirm": 1.5}, {"rule": "calendar", "force_days": 2.0},
                 {"rule": "calendar", "months": [5, 5]}):
        with pytest.raises(ValueError, match="roll"):
            parse_command({**command, "roll": roll})
