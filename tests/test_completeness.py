"""Which trading days a store holds whole: whole commands run at chosen times of the
trading calendar (the process's clock set from outside with libfaketime, the service's
clock set alike), resumes on a machine in another zone, planning without loading
records, and reference answers in a long-running process."""

import json
import sqlite3
from contextlib import closing
from datetime import date, datetime
from zoneinfo import ZoneInfo

import pytest
from vnpy.trader.constant import Exchange, Interval

from commands import (FAKETIME, HISTORY_PATHS, make_home, ok, run_at, saved_rows, service_behind, service_rows,
                      start, stop, totals_line)
from helpers import SERVICE_TOKEN, SERVICE_USER
from pg import PG_PASSWORD, PG_USER, postgres  # noqa: F401  (a fixture)
from norvix_devserver import default_database_path, make_server
from norvix_devserver.store import Store

import vnpy.alpha  # noqa: E402,F401  (imported before the tests' log handlers: it resets loguru's)

CHINA = ZoneInfo("Asia/Shanghai")
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
    status = run_at(home, clocked.clock.now, "status", "--json", *(["--lab", "lab"] if lab else []))
    [series] = json.loads(status.stdout)["series"]
    assert (series["first_whole"], series["last_whole"], series["provisional"]) == ("2024-05-27", "2024-05-31", [])


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


def clocked_source(clocked):
    """The downloads' front end to the clocked service, its clock now."""
    from vnpy_norvix import Datafeed
    from vnpy_norvix import download as dl

    clocked.clock.now = datetime.now(CHINA)
    feed = Datafeed()
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    feed.base_url = clocked.url
    return dl.Source(feed)


def test_planning_what_is_held_loads_no_record(database, clocked, monkeypatch):
    from vnpy_norvix import download as dl

    source = clocked_source(clocked)
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
    assert [task.whole_count for task in tasks] == [len(task.calendar.days) for task in tasks] == [10, 10]

    # An adapter that keeps no record: its records loaded, the last day of a series fetched again.
    from vnpy_norvix import store
    from vnpy_norvix.calendar import Window

    monkeypatch.setattr(type(database), "load_bar_data", load_bars)
    monkeypatch.setattr(store.database, "bulk_writer", lambda database, kind: None)
    last = date(2024, 5, 31)
    assert dl.plan(source, targets, intervals[:1], database)[0].todo == [Window(last, last)]


def test_both_stores_hold_the_same_days_whole_and_lose_the_same_day_to_a_deleted_row(database, clocked, tmp_path):
    """One rule over both stores' primitives: a row deleted behind the record costs its day alone."""
    import polars as pl

    from vnpy_norvix import download as dl
    from vnpy_norvix.calendar import Calendar
    from vnpy_norvix.store import DatabaseStore
    from vnpy_norvix.store.lab import LabStore, bar_file

    source = clocked_source(clocked)
    first, last = date(2024, 5, 20), date(2024, 5, 24)
    targets = [dl.Target("rb2410", Exchange.SHFE, first, last)]
    stores = [DatabaseStore(database), LabStore(tmp_path / "lab")]
    for store in stores:
        assert all(o.ok for o in dl.Downloader(source, store, Quiet()).run(dl.plan(source, targets, [Interval.MINUTE],
                                                                                    store)))
    series, lost = ("rb2410", Exchange.SHFE, Interval.MINUTE), china("2024-05-22 10:00")
    with closing(sqlite3.connect(database.db.database)) as connection, connection:
        connection.execute("DELETE FROM dbbardata WHERE symbol = 'rb2410' AND datetime = ?",
                           (lost.replace(tzinfo=None).isoformat(sep=" "),))
    path = bar_file(stores[1].lab, "rb2410.SHFE", Interval.MINUTE)
    pl.read_parquet(path).filter(pl.col("datetime") != lost.replace(tzinfo=None)).write_parquet(path)
    calendar = Calendar([date(2024, 5, day) for day in range(20, 25)])
    held = [store.held_days(series, first, last, calendar) for store in stores]
    assert held[0] == held[1] == set(calendar.days) - {date(2024, 5, 22)}
    counts = [store.day_counts(series, first, last, calendar) for store in stores]
    assert counts[0] == counts[1] and counts[0][date(2024, 5, 22)] == counts[0][first] - 1


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


def day_states(home) -> dict[str, tuple[int, int]]:
    """The completeness record of rb2410's minutes: (count, state) per trading day."""
    with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as db:
        return {day: (count, state) for day, count, state in db.execute(
            "SELECT day, count, complete FROM norvixday WHERE symbol = 'rb2410' AND interval = '1m'")}


WHOLE_DAY, PROVISIONAL_DAY, UNSETTLED_DAY = 1, 0, 4


@needs_faketime
def test_a_late_service_leaves_its_days_provisional_until_its_data_agree(tmp_path, clocked, served):
    home = make_home(tmp_path, clocked.url)
    nightly = ["download", *RB, "--start", "2024-05-27"]
    # The client at 16:00, the service still at 14:30: Wednesday's minutes in part, no daily bar.
    clocked.clock.now = china("2024-05-29 14:30")
    late = ok(run_at(home, china("2024-05-29 16:00"), *nightly))
    assert "1 trading day provisional" in totals_line(late)
    count, state = day_states(home)["2024-05-29"]
    assert state == PROVISIONAL_DAY and 0 < count < 345
    # A service stuck on Wednesday afternoon for two more nights: nothing of Thursday or Friday.
    for night in ("2024-05-30 18:30", "2024-05-31 18:30"):
        assert ok(run_at(home, china(night), *nightly)).returncode == 0
    assert {day: state for day, (_, state) in day_states(home).items() if day > "2024-05-28"} == {
        "2024-05-29": PROVISIONAL_DAY, "2024-05-30": PROVISIONAL_DAY, "2024-05-31": PROVISIONAL_DAY}
    # The service catches up: every day fetched again, whole, equal to the service's.
    clocked.clock.now = china("2024-05-31 18:30")
    ok(run_at(home, clocked.clock.now, *nightly))
    assert set(state for _, state in day_states(home).values()) == {WHOLE_DAY}
    assert saved_rows(home, "rb2410", "1m") == pytest.approx(
        service_rows(served, "rb2410", "1m", "2024-05-27", "2024-05-31"))


@needs_faketime
def test_a_day_still_provisional_after_the_settling_days_is_given_up_once(tmp_path, clocked):
    home = make_home(tmp_path, clocked.url, **{"datafeed.settle_days": 1})
    nightly = ["download", *RB, "--start", "2024-05-27"]
    clocked.clock.now = china("2024-05-28 14:30")
    ok(run_at(home, china("2024-05-28 16:00"), *nightly))
    gave_up = run_at(home, china("2024-05-29 16:00"), *nightly)  # the service still stuck
    assert gave_up.returncode == 1 and "unsettled" in gave_up.stderr and "2024-05-28" in gave_up.stderr
    assert day_states(home)["2024-05-28"][1] == UNSETTLED_DAY
    kept = day_states(home)["2024-05-28"]
    clocked.clock.now = china("2024-05-30 18:30")  # caught up: reported once, kept as stored, not fetched
    again = run_at(home, clocked.clock.now, *nightly)
    assert again.returncode == 0 and "2024-05-28" not in again.stderr, again.stderr
    assert day_states(home)["2024-05-28"] == kept and day_states(home)["2024-05-29"][1] == WHOLE_DAY
    (listed,) = json.loads(ok(run_at(home, None, "status", "--json")).stdout)["series"]
    assert listed["unsettled"][0].startswith("2024-05-28 (") and listed["last_whole"] == "2024-05-30"
    assert listed["command"] == 1 and listed["provisional"] == [] and listed["holes"] == []


def test_days_not_carried_or_left_empty_by_an_old_version_are_settled_by_the_data(tmp_path, served):
    asked: list[str] = []

    def counting(app):
        def counted(environ, start_response):
            if environ["PATH_INFO"] in HISTORY_PATHS:
                asked.append(environ["PATH_INFO"])
            return app(environ, start_response)
        return counted

    with service_behind(counting) as server:
        home = make_home(tmp_path, server.url)
        # rb2411 traded that week, but the service keeps minutes only of dominant contracts.
        download = ["download", "rb2411.SHFE", *RB, "--start", "2024-05-27", "--end", "2024-05-31"]
        first = ok(run_at(home, None, *download))
        assert "5 trading days not carried by the service" in totals_line(first)
        asked.clear()
        ok(run_at(home, None, *download))
        assert asked == []
        # A record of the previous version, which called a day fetched after its close whole
        # whatever it held: Tuesday's rows lost with it, "whole" with 0 records.
        with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as db, db:
            db.execute("ALTER TABLE norvixday DROP COLUMN detail")
            db.execute("UPDATE norvixday SET count = 0, complete = 1 WHERE symbol = 'rb2410' AND day = '2024-05-28'")
            db.execute("DELETE FROM dbbardata WHERE symbol = 'rb2410' AND datetime >= '2024-05-27 21:00' "
                       "AND datetime < '2024-05-28 16:00'")
        ok(run_at(home, None, *download))
        assert asked == ["/minutebar/query"]
    assert saved_rows(home, "rb2410", "1m") == pytest.approx(
        service_rows(served, "rb2410", "1m", "2024-05-27", "2024-05-31"))
    assert set(state for _, state in day_states(home).values()) == {WHOLE_DAY}


def test_a_weekday_of_a_holiday_is_never_given_up_on_and_known_empty_once_later_days_are_published():
    from vnpy_norvix.store import days

    holiday, after = date(2024, 10, 1), date(2024, 10, 8)
    bar = days.Daily(volume=100.0, high=2.0, low=1.0)
    a_week_on = china("2024-10-07 18:30")
    assert days.judge(holiday, Interval.MINUTE, days.Tally(), {date(2024, 9, 30): bar}, a_week_on).state == 0
    assert days.judge(holiday, Interval.MINUTE, days.Tally(), {after: bar}, china("2024-10-08 18:30")).state == 2
    # A day the service published and that disagrees is given up on.
    partial = days.Tally(count=10, volume=50.0, high=2.0, low=1.0)
    given_up = days.judge(holiday, Interval.MINUTE, partial, {holiday: bar}, a_week_on)
    assert (given_up.state, given_up.detail) == (4, "volume 50 of 100")


@needs_faketime
def test_expired_contracts_and_known_empty_days_cost_no_request_the_next_night(tmp_path):
    import io

    asked: list[tuple[str, str]] = []

    def counting(app):
        def counted(environ, start_response):
            body = environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0))
            environ["wsgi.input"] = io.BytesIO(body)
            if environ["PATH_INFO"] in ("/daybar/query", *HISTORY_PATHS):
                asked.append((environ["PATH_INFO"], json.loads(body)["instrument_id"]))
            return app(environ, start_response)
        return counted

    with service_behind(counting) as server:
        home = make_home(tmp_path, server.url)
        # IF2405 expires on 2024-05-17; the others live on. Minutes are carried for the
        # dominant contract only: the rest are not-carried days, asked once each.
        ok(run_at(home, china("2024-05-24 18:30"), "download", "--product", "IF", "--contracts", "all",
                  "--start", "2024-05-13", "--interval", "d", "1m"))
        first = {symbol for _, symbol in asked}
        asked.clear()
        ok(run_at(home, china("2024-05-27 18:30"), "update"))
    live = first - {"IF2405"}
    assert "IF2405" in first and {symbol for _, symbol in asked} == live
    # Each live contract once per interval: its daily bars (planned with, then saved), its minutes.
    assert sorted(asked) == sorted((path, symbol) for symbol in live for path in ("/daybar/query", "/minutebar/query"))


@needs_faketime
def test_a_continuous_build_is_whole_when_its_last_day_agrees_with_the_service(tmp_path, clocked, served):
    home = make_home(tmp_path, clocked.url)
    build = ["continuous", "rb", "--interval", "1m", "--start", "2024-05-27"]
    # Built after the close by the client's clock, but the service is still at 14:30.
    clocked.clock.now = china("2024-05-29 14:30")
    ok(run_at(home, china("2024-05-29 16:00"), *build))
    whole = service_rows(served, "rb2410", "1m", "2024-05-27", "2024-05-29")[0]
    assert 0 < saved_rows(home, "rb888", "1m")[0] < whole
    clocked.clock.now = china("2024-05-29 16:30")  # caught up: built again, then whole
    assert "unchanged" not in ok(run_at(home, clocked.clock.now, "update")).stdout
    assert saved_rows(home, "rb888", "1m")[0] == whole
    assert "unchanged" in ok(run_at(home, clocked.clock.now, "update")).stdout
    # Given up on at once (no settling day): reported by that run, then kept as built.
    home = make_home(tmp_path / "settled", clocked.url, **{"datafeed.settle_days": 0})
    clocked.clock.now = china("2024-05-30 14:30")
    gave_up = run_at(home, china("2024-05-30 16:00"), *build)
    assert gave_up.returncode == 1 and "unsettled" in gave_up.stderr and "2024-05-30" in gave_up.stderr
    again = run_at(home, china("2024-05-30 16:00"), "update")
    assert again.returncode == 0 and "unchanged" in again.stdout, again.stdout + again.stderr


def test_a_windows_tallies_are_its_records_added_one_by_one():
    """Added up a stretch at a time, as each record adds to its trading day's tally:
    across nights before a weekend and a holiday, in China time or another zone, or not
    ascending."""
    import copy
    from datetime import timedelta

    from vnpy_norvix.calendar import Calendar
    from vnpy_norvix.store import days

    from stores import NEW_YORK, bars, ticks

    calendar = Calendar([date(2024, 9, 26), date(2024, 9, 27), date(2024, 9, 30), date(2024, 10, 8)])
    start = china("2024-09-26 20:55")
    minute_bars = bars("rb2410", Interval.MINUTE, start, 16_000, timedelta(minutes=1), seed=3)
    abroad = [copy.copy(bar) for bar in minute_bars]
    for bar in abroad:
        bar.datetime = bar.datetime.astimezone(NEW_YORK)
    tick_list = ticks("au2412", china("2024-09-27 05:59:00"), 800, seed=4)
    for records, interval in [(minute_bars, Interval.MINUTE), (abroad, Interval.MINUTE),
                              (minute_bars[::-1], Interval.MINUTE), (tick_list, Interval.TICK)]:
        expected: dict[date, days.Tally] = {}
        for record in records:
            expected.setdefault(calendar.trading_day(record.datetime, interval), days.Tally()).add(record)
        assert days.tallies(records, interval, calendar) == expected
