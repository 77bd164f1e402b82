"""What the tests share that is not a fixture: the module under test, the recording
HTTP server, replies and envelopes, the local service's credentials and small helpers.

vn.py creates its ``.vntrader`` folder (and reads ``vt_setting.json``) in the working
directory or in HOME when it is first imported, so HOME and the working directory
are moved to a fresh temporary directory here, before anything imports vn.py: import
this module first (conftest.py does, and so does any child process that imports vn.py).

NORVIX_IMPL=py runs the suite against the Python form in python_form/norvix_py.py
instead of the installed extension.
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

from loguru import logger  # noqa: E402


REPO = Path(__file__).resolve().parent.parent
PY_SOURCE = REPO / "python_form" / "norvix_py.py"
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



def add_sink(target: list, render: Callable) -> int:
    return logger.add(lambda message: target.append(render(message.record)), level=0, format="{message}")



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


def free_port() -> int:
    """A local port nobody listens on (for now)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]



def environ_without(*names: str) -> dict[str, str]:
    """This process's environment less `names`: what a child that is not under test (a
    build tool, a database server) runs with, without the sanitizer runtime or the work tree."""
    return {name: value for name, value in os.environ.items() if name not in names}



SERVICE_USER, SERVICE_TOKEN = "demo", "demo-token"
SHANGHAI = ZoneInfo("Asia/Shanghai")


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



def outputs(feed) -> list[str]:
    """Everything `feed` writes to output for a bar query, a tick query and init."""
    from vnpy.trader.constant import Interval

    _, bars = ask(feed)
    _, ticks = ask(feed, Interval.TICK)
    init: list[str] = []
    feed.init(init.append)
    return bars + ticks + init


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
