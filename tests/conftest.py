"""Shared fixtures: module selection, log capture and a recording HTTP server.

vn.py creates its ``.vntrader`` folder (and reads ``vt_setting.json``) in the working
directory or in HOME when it is first imported, so HOME and the working directory
are moved to a fresh temporary directory here, before anything imports vn.py.

NORVIX_IMPL=py runs the suite against the Python reference in reference/norvix_py.py
instead of the installed extension; tests marked ``extension_only`` are skipped then.
"""

import os
import shutil
import tempfile
import atexit

_HOME = tempfile.mkdtemp(prefix="norvix-tests-home-")
os.environ["HOME"] = _HOME
os.chdir(_HOME)
atexit.register(shutil.rmtree, _HOME, True)
# Every exchange in these tests is with 127.0.0.1; a proxy from the environment
# must not get in between.
for _var in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
    os.environ.pop(_var, None)
os.environ["NO_PROXY"] = os.environ["no_proxy"] = "127.0.0.1,localhost"

import contextlib  # noqa: E402
import importlib  # noqa: E402
import importlib.util  # noqa: E402
import json  # noqa: E402
import socket  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass  # noqa: E402
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any, Callable, NamedTuple  # noqa: E402
from urllib.parse import parse_qs, urlsplit  # noqa: E402
from zoneinfo import ZoneInfo  # noqa: E402

import pytest  # noqa: E402
from loguru import logger  # noqa: E402

from children import stop  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
PY_SOURCE = REPO / "reference" / "norvix_py.py"
IMPL = "py" if os.environ.get("NORVIX_IMPL") == "py" else "ext"
MODULE_NAME = "norvix_datafeed"

# Passwords the tests hand to the datafeed; none of them may ever reach the log.
SECRETS = ("secret-pass", "other-secret", "settings-secret")


def _exec_py_source(main: bool = False):
    spec = importlib.util.spec_from_file_location("__main__" if main else MODULE_NAME, PY_SOURCE)
    module = importlib.util.module_from_spec(spec)
    if not main:
        sys.modules[MODULE_NAME] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        if not main:
            sys.modules.pop(MODULE_NAME, None)
        raise
    return module


def import_module_under_test():
    """A new import of the module under test, registered in sys.modules."""
    sys.modules.pop(MODULE_NAME, None)
    if IMPL == "py":
        return _exec_py_source()
    return importlib.import_module(MODULE_NAME)


def run_module_as_main():
    """Execute a new copy of the module with __name__ == "__main__", as scripts/selftest.py does."""
    if IMPL == "py":
        return _exec_py_source(main=True)
    spec = importlib.util.find_spec(MODULE_NAME)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return module


ND = import_module_under_test()


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


def _add_sink(target: list, render: Callable) -> int:
    return logger.add(lambda message: target.append(render(message.record)), level=0, format="{message}")


@pytest.fixture
def logs():
    """Every loguru line written during the test, as (level name, message) tuples."""
    lines: list[tuple[str, str]] = []
    handler_id = _add_sink(lines, lambda record: (record["level"].name, record["message"]))
    yield lines
    logger.remove(handler_id)


@pytest.fixture(autouse=True)
def no_password_in_log():
    seen: list[str] = []
    handler_id = _add_sink(seen, lambda record: record["message"])
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


class Reply(NamedTuple):
    status: int = 200
    headers: dict = {}
    body: bytes = b""
    delay: float = 0.0


@dataclass
class Received:
    method: str
    path: str
    query: str
    params: dict
    headers: list
    body: bytes
    json: Any = None

    def header(self, name: str):
        values = [value for key, value in self.headers if key.lower() == name.lower()]
        return values[0] if len(values) == 1 else values or None


def reply_json(value: Any, status: int = 200, delay: float = 0.0) -> Reply:
    body = json.dumps(value, ensure_ascii=False).encode("utf-8")
    return Reply(status, {"Content-Type": "application/json"}, body, delay)


def envelope(data: Any = None, code: Any = 0, message: Any = "success", **members) -> dict:
    result = {"code": code, "message": message, "data": [] if data is None else data}
    result.update(members)
    return result


class RecordingServer:
    """A real HTTP server on 127.0.0.1 that records what it receives and answers as told.

    ``routes`` maps a path (without query string) to a Reply or to a callable taking the
    Received request and returning a Reply; other paths get ``default``.
    """

    reply_json = staticmethod(reply_json)
    envelope = staticmethod(envelope)
    Reply = Reply

    def __init__(self, port: int = 0):
        self.requests: list[Received] = []
        self.routes: dict[str, Any] = {}
        self.default: Any = reply_json(envelope([]))
        self._lock = threading.Lock()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def _handle(self):
                parts = urlsplit(self.path)
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                try:
                    decoded = json.loads(body) if body else None
                except ValueError:
                    decoded = None
                received = Received(
                    method=self.command,
                    path=parts.path,
                    query=parts.query,
                    params=parse_qs(parts.query, keep_blank_values=True),
                    headers=list(self.headers.items()),
                    body=body,
                    json=decoded,
                )
                with server._lock:
                    server.requests.append(received)
                reply = server.routes.get(parts.path, server.default)
                if not isinstance(reply, Reply):
                    reply = reply(received)
                if reply.delay:
                    time.sleep(reply.delay)
                try:
                    self.send_response(reply.status)
                    for name, value in reply.headers.items():
                        self.send_header(name, value)
                    self.send_header("Content-Length", str(len(reply.body)))
                    self.end_headers()
                    self.wfile.write(reply.body)
                except OSError:
                    pass  # the client gave up (time-out tests)

            do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _handle

            def log_message(self, format, *args):
                pass

        class Server(ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass

        self.httpd = Server(("127.0.0.1", port), Handler)
        self.port = self.httpd.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self.httpd.serve_forever, args=(0.02,), daemon=True)
        self._thread.start()

    def route(self, path: str, reply: Any) -> None:
        self.routes[path] = reply

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()


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


def free_port() -> int:
    """A local port nobody listens on (for now)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture
def refused_port():
    """A local port nobody listens on."""
    return free_port()


def environ_without(*names: str) -> dict[str, str]:
    """This process's environment less `names`: what a child that is not under test (a
    build tool, a database server) runs with, without the sanitizer runtime or the work tree."""
    return {name: value for name, value in os.environ.items() if name not in names}


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

SERVICE_USER, SERVICE_TOKEN = "demo", "demo-token"


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

SHANGHAI = ZoneInfo("Asia/Shanghai")


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


def ask(feed, interval=None, start=None, end=None, symbol="rb2405"):
    """A history query of `symbol`.SHFE (daily bars of March 2024 unless told) through
    `output`: (records, lines written to output)."""
    from datetime import datetime

    from vnpy.trader.constant import Exchange, Interval
    from vnpy.trader.object import HistoryRequest

    interval = Interval.DAILY if interval is None else interval
    start, end = start or datetime(2024, 3, 1), end or datetime(2024, 3, 29)
    output: list[str] = []
    req = HistoryRequest(symbol=symbol, exchange=Exchange.SHFE, start=start.replace(tzinfo=SHANGHAI),
                         end=end.replace(tzinfo=SHANGHAI), interval=interval)
    query = feed.query_tick_history if interval is Interval.TICK else feed.query_bar_history
    return query(req, output.append), output


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


@contextlib.contextmanager
def serving(httpd):
    """Runs a socketserver-style server (the local data service's, for one) on a thread
    until the block ends."""
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield httpd
    finally:
        httpd.shutdown()
        httpd.server_close()
        thread.join(timeout=10)
