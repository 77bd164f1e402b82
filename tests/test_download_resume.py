"""Downloads that extend a stored series backward, forward and inside a hole, interrupted
at each of their windows (an HTTP 500 the service keeps giving, Ctrl-C, a killed
process), then run again: the database equals a clean download, table for table. And
the pipeline that saves them: one writer thread, fetching overlapped with saving, a
bounded number of windows held, a failed save ending its task only."""

import io
import json
import shutil
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
from vnpy.trader.constant import Exchange, Interval

from commands import cli, environment, make_home, service_behind
from helpers import SERVICE_TOKEN, SERVICE_USER

from vnpy_norvix import Datafeed
from vnpy_norvix import download as dl

CONTRACT = "rb2410"
FIRST, LAST = "2024-01-02", "2024-05-24"
DOWNLOAD = ["download", f"{CONTRACT}.SHFE", "--start", FIRST, "--end", LAST, "--interval", "1m"]
# What is stored before each extension, and how many windows of minute bars it then fetches.
EXTENSIONS = {
    "backward": ([("2024-02-29", LAST)], 2),
    "forward": ([(FIRST, "2024-03-29")], 2),
    "inner": ([(FIRST, "2024-01-31"), ("2024-04-29", LAST)], 3),
}
STATUS = {"500": 5, "SIGINT": 130, "SIGKILL": -signal.SIGKILL}
RETRIES = {"datafeed.retries": 1}  # a 500 is retried once, and keeps coming


class Service:
    """The minute-bar windows the service is asked for (by distinct first day: retries
    aside), and what it does to them once armed: the `window`-th gets a 500 for as long
    as the fault is armed, or its request is held unanswered (`reached` set) until `release`."""

    def __init__(self) -> None:
        self.changed = threading.Condition()
        self.arm(None, 0)

    def arm(self, fault: str | None, window: int) -> None:
        with self.changed:
            self.firsts: list[str] = []
        self.fault, self.window = fault, window
        self.hits = 0  # requests of the window
        self.reached, self.release = threading.Event(), threading.Event()

    def disarm(self) -> None:
        self.fault = None
        self.release.set()

    def middleware(self, app):
        def answer(environ, start_response):
            if environ["PATH_INFO"] == "/minutebar/query":
                body = environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0))
                environ["wsgi.input"] = io.BytesIO(body)
                first = json.loads(body)["start_date"]
                with self.changed:
                    if first not in self.firsts:
                        self.firsts.append(first)
                        self.changed.notify_all()
                    window = self.firsts.index(first) + 1
                if self.fault and window == self.window:
                    self.hits += 1
                    self.reached.set()
                    if self.fault == "500":
                        start_response("500 Internal Server Error", [("Content-Length", "0")])
                        return [b""]
                    self.release.wait(60)
            return app(environ, start_response)
        return answer


@pytest.fixture(scope="module")
def faulty():
    faults = Service()
    with service_behind(faults.middleware) as server:
        server.faults = faults
        yield server


def tables(path: Path) -> dict[str, list[tuple]]:
    """Every table's rows but their ids (which follow the order of the saves), sorted; not
    the remembered commands, which tell what each run was asked rather than what is held."""
    with closing(sqlite3.connect(path)) as db:
        names = [row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' "
                                              "AND name NOT LIKE 'sqlite_%' AND name != 'norvixcommand' "
                                              "ORDER BY name")]
        result = {}
        for name in names:
            columns = [row[1] for row in db.execute(f'PRAGMA table_info("{name}")') if row[1] != "id"]
            listed = ", ".join(f'"{column}"' for column in columns)
            result[name] = db.execute(f'SELECT {listed} FROM "{name}" ORDER BY {listed}').fetchall()
    return result


@pytest.fixture(scope="module")
def clean(tmp_path_factory, faulty):
    """The tables of the whole range downloaded at once into a new database."""
    home = make_home(tmp_path_factory.mktemp("clean"), faulty.url, **RETRIES)
    result = cli(home, *DOWNLOAD)
    assert result.returncode == 0, result.stdout + result.stderr
    return tables(home / ".vntrader" / "database.db")


@pytest.fixture(scope="module")
def stored(tmp_path_factory, faulty):
    """The database file holding an extension's stored series, made once per extension."""
    made: dict[str, Path] = {}

    def database(extension: str) -> Path:
        if extension not in made:
            home = make_home(tmp_path_factory.mktemp(extension), faulty.url, **RETRIES)
            for first, last in EXTENSIONS[extension][0]:
                result = cli(home, "download", f"{CONTRACT}.SHFE", "--start", first, "--end", last, "--interval", "1m")
                assert result.returncode == 0, result.stdout + result.stderr
            made[extension] = home / ".vntrader" / "database.db"
        return made[extension]

    return database


@pytest.mark.parametrize("extension, fault, window", [
    (extension, fault, window) for extension, (_, windows) in EXTENSIONS.items() for fault in STATUS
    for window in range(1, windows + 1)])
def test_an_extension_interrupted_at_any_window_is_completed_by_the_next_run(tmp_path, faulty, clean, stored,
                                                                             extension, fault, window):
    home = make_home(tmp_path, faulty.url, **RETRIES)
    database = home / ".vntrader" / "database.db"
    shutil.copyfile(stored(extension), database)
    faulty.faults.arm(fault, window)
    process = subprocess.Popen([sys.executable, "-m", "vnpy_norvix", *DOWNLOAD], cwd=home, env=environment(home),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if fault != "500":
            assert faulty.faults.reached.wait(120), "the window was never requested"
            process.send_signal(getattr(signal, fault))
        output, errors = process.communicate(timeout=120)
    finally:
        faulty.faults.disarm()
        process.kill()
        process.wait()

    assert process.returncode == STATUS[fault], output + errors
    assert f"{EXTENSIONS[extension][1]} windows to fetch" in output, output
    assert faulty.faults.hits >= (2 if fault == "500" else 1)  # a 500 met the retry too
    assert tables(database) != clean  # the run left something to do

    again = cli(home, *DOWNLOAD)

    assert again.returncode == 0, again.stdout + again.stderr
    assert tables(database) == clean


# --- the pipeline ------------------------------------------------------------------------


class Watched:
    """vn.py's database, saving bars through its own methods, with `on_save(label, count)`
    called before each save and `saved(label, count)` after (the adapter rewrites the bars)."""

    def __init__(self, database, on_save=lambda label, count: None, saved=lambda label, count: None) -> None:
        self.database, self.on_save, self.saved = database, on_save, saved

    def __getattr__(self, name):
        return getattr(self.database, name)

    def save_bar_data(self, bars, stream=False):
        label = f"{bars[0].vt_symbol} {bars[0].interval.value}"
        self.on_save(label, len(bars))
        result = self.database.save_bar_data(bars, stream)
        self.saved(label, len(bars))
        return result


class Recorded:
    def __init__(self, events: list) -> None:
        self.events = events

    def started(self, task):
        pass

    def advanced(self, task, records):
        self.events.append(("advanced", task.label, records))

    def finished(self, outcome):
        self.events.append(("finished", outcome.task.label, outcome.fetched))


@pytest.fixture
def watched_service(faulty):
    """A source on the module's service, which records the windows asked for."""
    faulty.faults.arm(None, 0)
    feed = Datafeed()
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    feed.base_url = faulty.url
    return dl.Source(feed), faulty.faults


def tasks_of(source, database, contracts, first, last, intervals):
    targets = [dl.Target(contract, Exchange.SHFE, date.fromisoformat(first), date.fromisoformat(last))
               for contract in contracts]
    return dl.plan(source, targets, intervals, database)


@pytest.mark.parametrize("by_bytes", [False, True])
def test_fetching_runs_ahead_of_a_save_by_a_bounded_number_of_windows(watched_service, database, monkeypatch,
                                                                       by_bytes):
    source, requests = watched_service
    jobs = 1
    most = 1 + dl.QUEUED_PER_JOB * jobs + jobs  # being saved, queued, in a fetcher's hand
    if by_bytes:  # no window is asked for beside the one being saved: no room for its bytes
        monkeypatch.setattr(dl.pipeline, "QUEUED_BYTES", 1)
        most = 1
    ahead: list[int] = []

    def first_save_waits(label, count):
        if not ahead:  # held until the fetcher cannot go further
            with requests.changed:
                assert requests.changed.wait_for(lambda: len(requests.firsts) >= most, timeout=60)
            time.sleep(0.5)  # time for one more request, were the queue unbounded
            with requests.changed:
                ahead.append(len(requests.firsts))

    watched = Watched(database, first_save_waits)
    tasks = tasks_of(source, watched, [CONTRACT], FIRST, LAST, [Interval.MINUTE])
    assert tasks[0].windows > most

    [outcome] = dl.Downloader(source, watched, Recorded([]), jobs).run(tasks)

    assert ahead == [most]
    assert outcome.ok and outcome.fetched == outcome.new > 0


def test_one_writer_thread_saves_every_window_and_a_failed_save_ends_its_task_only(watched_service, database):
    source, _ = watched_service
    events: list[tuple] = []
    writers: set[int] = set()
    failing = "au2412.SHFE 1m"

    def before(label, count):
        writers.add(threading.get_ident())
        if label == failing and sum(event[:2] == ("saved", label) for event in events) == 1:
            events.append(("failed", label, count))
            raise OSError("disk full")

    def after(label, count):
        events.append(("saved", label, count))

    watched = Watched(database, before, after)
    tasks = tasks_of(source, watched, [CONTRACT, "au2412"], "2024-03-01", LAST, [Interval.DAILY, Interval.MINUTE])

    outcomes = dl.Downloader(source, watched, Recorded(events), jobs=3).run(tasks)

    assert len(writers) == 1 and threading.get_ident() not in writers
    by_label = {outcome.task.label: outcome for outcome in outcomes}
    assert [label for label, outcome in by_label.items() if not outcome.ok] == [failing]
    assert by_label[failing].error == "OSError: disk full"
    for label, outcome in by_label.items():
        mine = [event for event in events if event[1] == label]
        saves = [n for kind, _, n in mine if kind == "saved"]
        assert outcome.fetched == outcome.new == sum(saves) > 0
        if label == failing:  # nothing more of the task is saved after the failed save
            assert [event[0] for event in mine] == ["saved", "advanced", "failed", "finished"]
        else:  # progress follows each save
            assert mine == [event for n in saves for event in (("saved", label, n), ("advanced", label, n))] + [
                ("finished", label, outcome.fetched)]
