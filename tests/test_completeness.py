"""Which trading days a store holds whole: whole commands run at chosen times of the
trading calendar (the process's clock set from outside with libfaketime, the service's
clock set alike), resumes on a machine in another zone, planning without loading
records, and reference answers in a long-running process."""

import shutil
import subprocess
import sys
from contextlib import closing
from datetime import date, datetime
from zoneinfo import ZoneInfo

import pytest
from vnpy.trader.constant import Exchange, Interval

from commands import environment, make_home, saved_rows, service_rows, start, stop, totals_line
from helpers import SERVICE_TOKEN, SERVICE_USER
from pg import PG_PASSWORD, PG_USER, postgres  # noqa: F401  (a fixture)
from norvix_devserver import default_database_path, make_server
from norvix_devserver.store import Store

CHINA = ZoneInfo("Asia/Shanghai")
FAKETIME = shutil.which("faketime")
needs_faketime = pytest.mark.skipif(FAKETIME is None, reason="libfaketime is not installed (scripts/setup.sh)")
RB = ["rb2410.SHFE", "--interval", "1m"]


class Clock:
    def __init__(self) -> None:
        self.now = datetime.now(CHINA)

    def __call__(self) -> datetime:
        return self.now


@pytest.fixture(scope="module")
def clocked():
    """The local service in this process, answering by a clock the test sets."""
    clock = Clock()
    server, thread = start(make_server("127.0.0.1", 0, user=SERVICE_USER, token=SERVICE_TOKEN, quiet=True,
                                       store=Store(default_database_path(), clock=clock)))
    server.clock = clock
    yield server
    stop(server, thread)


def china(text: str) -> datetime:
    return datetime.fromisoformat(text).replace(tzinfo=CHINA)


def run_at(home, moment: datetime | None, *args: str, zone: str = "Asia/Shanghai") -> subprocess.CompletedProcess:
    """The command line run with its clock at `moment` (None: the machine's) in `zone`."""
    env = {**environment(home), "TZ": zone, "FAKETIME_DONT_FAKE_MONOTONIC": "1"}
    faked = [] if moment is None else [FAKETIME, moment.astimezone(ZoneInfo(zone)).strftime("%Y-%m-%d %H:%M:%S")]
    return subprocess.run([*faked, sys.executable, "-m", "vnpy_norvix", *args], cwd=home, env=env,
                          capture_output=True, text=True, timeout=300)


def stored_minutes(home, lab: bool) -> tuple:
    if not lab:
        return saved_rows(home, "rb2410", "1m")
    import polars as pl

    frame = pl.read_parquet(home / "lab" / "minute" / "rb2410.SHFE.parquet")
    return (frame.height, f"{frame['datetime'].min()}", f"{frame['datetime'].max()}", frame["close"].sum())


@needs_faketime
@pytest.mark.parametrize("lab", [False, True], ids=["sqlite", "lab"])
def test_days_saved_while_trading_are_completed_by_later_runs(tmp_path, clocked, served, lab):
    home = make_home(tmp_path, clocked.url)
    download = ["download", *RB, "--start", "2024-05-27", "--end", "2024-05-31", *(["--lab", "lab"] if lab else [])]
    full = service_rows(served, "rb2410", "1m", "2024-05-27", "2024-05-31")
    monday = service_rows(served, "rb2410", "1m", "2024-05-27", "2024-05-27")
    # Monday night (Tuesday's night session under way), then Wednesday morning.
    for moment in ("2024-05-27 22:00", "2024-05-29 10:30"):
        clocked.clock.now = china(moment)
        result = run_at(home, clocked.clock.now, *download)
        assert result.returncode == 0, result.stdout + result.stderr
        assert monday[0] < stored_minutes(home, lab)[0] < full[0], moment
    # Friday after the close and the publishing delay: everything, then nothing more to fetch.
    clocked.clock.now = china("2024-05-31 15:50")
    result = run_at(home, clocked.clock.now, *download)
    assert result.returncode == 0, result.stdout + result.stderr
    assert stored_minutes(home, lab) == pytest.approx(full)
    again = run_at(home, clocked.clock.now, *download)
    assert again.returncode == 0 and " 0 records fetched" in totals_line(again), again.stdout


def test_the_service_publishes_by_its_clock():
    clock = Clock()
    store = Store(default_database_path(), clock=clock)
    clock.now = china("2024-05-29 10:45:20")
    minutes = store.minute_bars("rb2410", date(2024, 5, 29), date(2024, 5, 29), 40000).decode()
    assert '"2024-05-29 10:44:00"' in minutes and "10:45:00" not in minutes
    assert store.day_bars("rb2410", date(2024, 5, 28), date(2024, 5, 29), 10).decode().count("trading_date") == 1
    ticks = store.ticks("rb2410", date(2024, 5, 29)).decode()
    assert '"2024-05-29 10:45:' in ticks and "10:45:21" not in ticks
    clock.now = china("2024-05-29 15:00")
    assert store.day_bars("rb2410", date(2024, 5, 28), date(2024, 5, 29), 10).decode().count("trading_date") == 2


def pg_count(settings: dict, symbol: str) -> int:
    import psycopg2

    with closing(psycopg2.connect(host="127.0.0.1", port=settings["database.port"], user=PG_USER,
                                  password=PG_PASSWORD, dbname="vnpy")) as connection:
        cursor = connection.cursor()
        cursor.execute("SELECT count(*) FROM dbbardata WHERE symbol = %s AND interval = '1m'", (symbol,))
        return cursor.fetchone()[0]


@pytest.mark.parametrize("adapter", ["sqlite", "postgresql"])
def test_a_resume_on_a_machine_in_utc_is_complete(tmp_path, request, service, served, adapter):
    settings = request.getfixturevalue("postgres") if adapter == "postgresql" else {}
    home = make_home(tmp_path, service, **settings)
    for last in ("2024-05-28", "2024-05-31"):
        result = run_at(home, None, "download", *RB, "--start", "2024-05-27", "--end", last, zone="UTC")
        assert result.returncode == 0, result.stdout + result.stderr
    expected = service_rows(served, "rb2410", "1m", "2024-05-27", "2024-05-31")[0]
    count = pg_count(settings, "rb2410") if settings else saved_rows(home, "rb2410", "1m")[0]
    assert count == expected


class Quiet:
    def started(self, task): pass  # noqa: E704
    def advanced(self, task, records): pass  # noqa: E704
    def finished(self, outcome): pass  # noqa: E704


def test_planning_what_is_held_loads_no_record(database, clocked, monkeypatch):
    from vnpy_norvix import Datafeed
    from vnpy_norvix import download as dl

    clocked.clock.now = datetime.now(CHINA)
    feed = Datafeed()
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    feed.base_url = clocked.url
    source = dl.Source(feed)
    targets = [dl.Target("rb2410", Exchange.SHFE, date(2024, 5, 20), date(2024, 5, 31))]
    intervals = [Interval.MINUTE, Interval.TICK]
    outcomes = dl.Downloader(source, database, Quiet()).run(dl.plan(source, targets, intervals, database))
    assert all(outcome.ok and outcome.fetched for outcome in outcomes)

    def loading(*args, **named):
        raise AssertionError("a record loaded to plan")

    load_bars = type(database).load_bar_data
    monkeypatch.setattr(type(database), "load_bar_data", loading)
    monkeypatch.setattr(type(database), "load_tick_data", loading)
    tasks = dl.plan(source, targets, intervals, database)
    assert [task.todo for task in tasks] == [[], []]
    assert [task.held_days for task in tasks] == [len(task.calendar.days) for task in tasks] == [10, 10]

    # An adapter that keeps no record: its records loaded, the last day of a series fetched again.
    from vnpy_norvix import store
    from vnpy_norvix.calendar import Window

    monkeypatch.setattr(type(database), "load_bar_data", load_bars)
    monkeypatch.setattr(store, "bulk_writer", lambda database, kind: None)
    last = date(2024, 5, 31)
    assert dl.plan(source, targets, intervals[:1], database)[0].todo == [Window(last, last)]


def test_a_contract_listed_while_the_process_runs_is_found(settings, clocked):
    from vnpy.trader.object import HistoryRequest

    from vnpy_norvix import Datafeed

    feed = Datafeed()
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    feed.base_url = clocked.url
    request = HistoryRequest("rb2506", Exchange.SHFE, china("2024-06-01 00:00"), china("2024-06-28 00:00"),
                             Interval.DAILY)
    said: list[str] = []
    clocked.clock.now = china("2024-06-17 16:00")
    assert feed.query_bar_history(request, said.append) == []
    assert any("rb2506" in line for line in said), said
    clocked.clock.now = china("2024-06-20 16:00")  # listed on 2024-06-18
    bars = feed.query_bar_history(request, said.append)
    assert [bar.datetime.date() for bar in bars] == [date(2024, 6, 18), date(2024, 6, 19), date(2024, 6, 20)]


def test_kept_reference_answers_expire_at_the_next_publication(settings):
    from vnpy_norvix.reference import expires

    for asked, stale in [("2024-06-18 07:00", "2024-06-18 08:30"), ("2024-06-18 10:00", "2024-06-18 15:45"),
                         ("2024-06-18 15:45", "2024-06-18 20:00"), ("2024-06-18 21:00", "2024-06-19 08:30")]:
        assert expires(china(asked)) == china(stale), asked
