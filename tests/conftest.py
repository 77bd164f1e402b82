"""Fixtures and hooks: module selection, log capture, a recording HTTP server, the local
data service and vn.py's database. What they share with the tests lives in helpers.py,
which is imported first: it moves HOME away before anything imports vn.py."""

import os
import sqlite3
import sys
import threading
import time
from contextlib import closing
from pathlib import Path

import pytest
from loguru import logger
from norvix_devserver import default_database_path

from children import stop
from commands import service_behind
# helpers moves HOME before vn.py is first imported.
from helpers import (IMPL, MODULE_NAME, ND, REPO, SECRETS, SERVICE_TOKEN, SERVICE_USER, SHANGHAI, RecordingServer,
                     add_sink, free_port, import_module_under_test, run_module_as_main)


def pytest_configure(config):
    config.addinivalue_line("markers", "extension_only: meaningful only for the native extension module")


def pytest_collection_modifyitems(config, items):
    if IMPL != "py":
        return
    skip = pytest.mark.skip(reason="checks the native extension (NORVIX_IMPL=py)")
    for item in items:
        if item.get_closest_marker("extension_only"):
            item.add_marker(skip)


def pytest_report_header(config):
    return f"norvix_datafeed under test: {IMPL} ({getattr(ND, '__file__', '?')})"


@pytest.fixture
def impl():
    return IMPL


@pytest.fixture
def nd():
    """The module under test (the one registered as norvix_datafeed at start-up)."""
    return ND


@pytest.fixture
def reimport():
    """Import the module again from scratch; sys.modules is restored afterwards."""
    saved = sys.modules.get(MODULE_NAME)
    yield import_module_under_test
    if saved is None:
        sys.modules.pop(MODULE_NAME, None)
    else:
        sys.modules[MODULE_NAME] = saved


@pytest.fixture
def run_as_main():
    return run_module_as_main


# --- log capture ------------------------------------------------------------------


@pytest.fixture
def logs():
    """Every loguru line written during the test, as (level name, message) tuples."""
    lines: list[tuple[str, str]] = []
    handler_id = add_sink(lines, lambda record: (record["level"].name, record["message"]))
    yield lines
    logger.remove(handler_id)


@pytest.fixture(autouse=True)
def no_password_in_log():
    seen: list[str] = []
    handler_id = add_sink(seen, lambda record: record["message"])
    yield
    logger.remove(handler_id)
    leaked = [line for line in seen if any(secret in line for secret in SECRETS)]
    assert not leaked, f"password written to the log: {leaked!r}"


@pytest.fixture(autouse=True)
def fresh_reference_answers():
    """The reference answers the plug-in keeps per process are keyed by the service's URL:
    a test's server may get the port of an earlier one, and must not get its answers."""
    reference = sys.modules.get("vnpy_norvix.reference")
    if reference is not None:
        reference._CACHES.clear()
    yield


# --- recording HTTP server ----------------------------------------------------------


@pytest.fixture
def server():
    srv = RecordingServer()
    yield srv
    srv.close()


@pytest.fixture
def server_8081():
    """A recording server on the datafeed's default port; skips when the port is taken."""
    try:
        srv = RecordingServer(8081)
    except OSError as exc:
        pytest.skip(f"port 8081 is not free: {exc}")
    yield srv
    srv.close()


@pytest.fixture
def refused_port():
    """A local port nobody listens on."""
    return free_port()


@pytest.fixture
def settings(monkeypatch):
    """vn.py's global settings mapping, with the datafeed keys removed for the test."""
    from vnpy.trader.setting import SETTINGS

    monkeypatch.delitem(SETTINGS, "datafeed.username", raising=False)
    monkeypatch.delitem(SETTINGS, "datafeed.password", raising=False)
    return SETTINGS


@pytest.fixture
def feed(nd, server, logs, settings):
    """A datafeed pointed at the recording server, with user "user" / "secret-pass"."""
    datafeed = nd.NorvixDatafeed()
    datafeed.base_url = server.url
    datafeed.initialize("user", "secret-pass")
    logs.clear()
    return datafeed


@pytest.fixture
def plugin_feed(settings, monkeypatch):
    """Makes vnpy_norvix datafeeds on `url` with the given credentials and datafeed.*
    settings (names without the prefix), restored after the test."""
    from vnpy_norvix import Datafeed

    def make(url: str, user: str = "user", password: str = "secret-pass", **values):
        for name, value in values.items():
            monkeypatch.setitem(settings, f"datafeed.{name}", value)
        plugin = Datafeed()
        plugin.base_url = url
        plugin.initialize(user, password)
        return plugin

    return make


@pytest.fixture
def short_backoff(monkeypatch):
    """Backoffs of a twentieth of a second at first; a Retry-After is still honoured."""
    import vnpy_norvix.engine.retry as retry

    monkeypatch.setattr(retry, "BASE", 0.05)


# --- the local data service ------------------------------------------------------------

@pytest.fixture(scope="session")
def service(tmp_path_factory):
    """The local data service in its own process, on a port the system picks."""
    import re
    import subprocess

    errors = tmp_path_factory.mktemp("service") / "stderr.txt"
    with open(errors, "w") as stderr:
        process = subprocess.Popen(
            [sys.executable, "-m", "norvix_devserver", "--host", "127.0.0.1", "--port", "0", "--quiet",
             "--user", SERVICE_USER, "--token", SERVICE_TOKEN],
            cwd=REPO, stdout=subprocess.PIPE, stderr=stderr, text=True,
        )
    try:
        first_line: list[str] = []
        reader = threading.Thread(target=lambda: first_line.append(process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(timeout=60)
        match = re.search(r"listening on (http://127\.0\.0\.1:\d+)", first_line[0] if first_line else "")
        if not match:
            raise RuntimeError(f"the data service did not start: {first_line!r} {errors.read_text()!r}")
        yield match.group(1)
    finally:
        stop(process, timeout=10)
        process.stdout.close()


# --- vn.py's database and datafeed --------------------------------------------------------

@pytest.fixture
def no_loaded_datafeed(monkeypatch):
    """vn.py keeps the first datafeed it creates in a module global; start without one."""
    import vnpy.trader.datafeed

    monkeypatch.setattr(vnpy.trader.datafeed, "datafeed", None)


@pytest.fixture
def shanghai_clock():
    """vnpy_sqlite stores naive wall times in "database.timezone" and reads them back as
    the process's local time, so the two zones have to agree: run in Asia/Shanghai."""
    saved = os.environ.get("TZ")
    os.environ["TZ"] = "Asia/Shanghai"
    time.tzset()
    yield
    if saved is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = saved
    time.tzset()


@pytest.fixture
def database(settings, monkeypatch, shanghai_clock):
    """vn.py's configured database (vnpy_sqlite), with "database.timezone" Asia/Shanghai."""
    monkeypatch.setitem(settings, "database.name", "sqlite")
    monkeypatch.setitem(settings, "database.timezone", "Asia/Shanghai")
    import vnpy.trader.database as vn_database
    import vnpy_sqlite.sqlite_database as sqlite_module

    # The zone is read when vnpy.trader.database is first imported.
    if vn_database.DB_TZ != SHANGHAI:
        monkeypatch.setattr(vn_database, "DB_TZ", SHANGHAI)
        monkeypatch.setattr(sqlite_module, "DB_TZ", SHANGHAI)

    db = vn_database.get_database()
    assert type(db).__module__ == "vnpy_sqlite.sqlite_database"
    assert Path(sqlite_module.path).resolve().is_relative_to(Path(os.environ["HOME"]).resolve())
    # The file outlives the test within a session: start from an empty database.
    for bars in db.get_bar_overview():
        db.delete_bar_data(bars.symbol, bars.exchange, bars.interval)
    for ticks in db.get_tick_overview():
        db.delete_tick_data(ticks.symbol, ticks.exchange)
    return db


@pytest.fixture
def datafeed(settings, monkeypatch, no_loaded_datafeed, service):
    """The datafeed as vn.py's engines get it, pointed at the local service."""
    monkeypatch.setitem(settings, "datafeed.name", "norvix")
    monkeypatch.setitem(settings, "datafeed.username", SERVICE_USER)
    monkeypatch.setitem(settings, "datafeed.password", SERVICE_TOKEN)
    monkeypatch.setitem(settings, "datafeed.base_url", service)
    from vnpy.trader.datafeed import get_datafeed

    feed = get_datafeed()
    assert feed.base_url == service
    assert feed.init() is True
    return feed


# --- the command line and the service's own database ------------------------------------


@pytest.fixture(scope="module")
def served():
    """The service's own database, read directly."""
    with closing(sqlite3.connect(f"file:{default_database_path()}?mode=ro", uri=True)) as connection:
        yield connection


@pytest.fixture
def slow_service():
    """The service answering each request a quarter of a second late."""
    def slowed(app):
        def answer(environ, start_response):
            time.sleep(0.25)
            return app(environ, start_response)
        return answer

    with service_behind(slowed) as server:
        yield server


@pytest.fixture
def counting_service():
    """The service, counting the history requests it answers per path."""
    counts: dict[str, int] = {}

    def counted(app):
        def answer(environ, start_response):
            counts[environ["PATH_INFO"]] = counts.get(environ["PATH_INFO"], 0) + 1
            return app(environ, start_response)
        return answer

    with service_behind(counted) as server:
        server.counts = counts
        yield server
