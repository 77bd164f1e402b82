"""Local servers for the hardening tests, all on 127.0.0.1.

RawServer speaks HTTP by hand over plain sockets so that it can misbehave in ways a
well-behaved server library never would: reset the connection half-way through a
body, promise more bytes than it sends, answer HTTP/1.0 without a length, stall,
send tens of megabytes, redirect forever.

ScriptedServer is an ordinary HTTP server run in a child process. It answers every
endpoint of the data service with a fixed, scripted reply chosen by the first path
segment, which the client puts at the end of its base URL
(``http://127.0.0.1:port/<scenario>``). Running it in its own process keeps the
client process free of server-side allocations, which the memory checks count.
"""

from __future__ import annotations

import json
import os
import select
import socket
import struct
import subprocess
import sys
import threading
import time
from typing import Callable

HOST = "127.0.0.1"


# --- raw socket server ----------------------------------------------------------


class Request:
    def __init__(self, method: str, target: str, headers: dict[str, str], body: bytes):
        self.method = method
        self.target = target
        self.path = target.split("?", 1)[0]
        self.headers = headers
        self.body = body


def read_request(conn: socket.socket) -> Request | None:
    """Reads one request head and its Content-Length body; None if the client went away."""
    buf = b""
    while b"\r\n\r\n" not in buf:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        buf += chunk
    head, _, rest = buf.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    method, target, _version = lines[0].split(" ", 2)
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length") or 0)
    while len(rest) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        rest += chunk
    return Request(method, target, headers, rest[:length])


def head(status: str = "200 OK", headers: dict[str, str] | None = None, version: str = "HTTP/1.1") -> bytes:
    lines = [f"{version} {status}"]
    lines += [f"{name}: {value}" for name, value in (headers or {}).items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def reset(conn: socket.socket) -> None:
    """Closes with an RST instead of a FIN (SO_LINGER with a zero time-out)."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


# A behaviour that returns True keeps the connection open for the client's next request.
Behaviour = Callable[[socket.socket, Request], bool | None]


class RawServer:
    """Accepts connections in a thread; each request is passed to the behaviour registered
    for its path (or ``default``), which writes whatever it likes and may leave the socket
    open, closed or reset. The server closes a socket the behaviour left open, unless the
    behaviour returns True (keep-alive): then it reads the next request from it.
    ``accepted`` counts the connections accepted, ``times`` when each request arrived."""

    def __init__(self, default: Behaviour | None = None, record: bool = True):
        self.record = record
        self.routes: dict[str, Behaviour] = {}
        self.default = default
        self.requests: list[Request] = []
        self.times: list[float] = []
        self.accepted = 0
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind((HOST, 0))
        self._sock.listen(64)
        self.port = self._sock.getsockname()[1]
        self.url = f"http://{HOST}:{self.port}"
        self._closed = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def route(self, path: str, behaviour: Behaviour) -> None:
        self.routes[path] = behaviour

    def _accept(self) -> None:
        while not self._closed.is_set():
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn: socket.socket) -> None:
        try:
            keep = True
            while keep:
                request = read_request(conn)
                if request is None:
                    return
                self.times.append(time.monotonic())
                if self.record:
                    self.requests.append(request)
                behaviour = self.routes.get(request.path, self.default)
                keep = behaviour is not None and behaviour(conn, request) is True
        except OSError:
            pass  # the client gave up first
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def close(self) -> None:
        self._closed.set()
        self._sock.close()


# Behaviours ---------------------------------------------------------------------


def answer(body: bytes, status: str = "200 OK", content_type: str | None = "application/json",
           version: str = "HTTP/1.1", length: int | None = None, extra: dict | None = None,
           keep_alive: bool = False) -> Behaviour:
    """A complete answer; ``length`` None sends the true Content-Length, -1 sends none."""

    def behave(conn: socket.socket, _request: Request) -> bool:
        headers = {}
        if content_type:
            headers["Content-Type"] = content_type
        if length != -1:
            headers["Content-Length"] = str(len(body) if length is None else length)
        if not keep_alive:
            headers["Connection"] = "close"
        headers.update(extra or {})
        conn.sendall(head(status, headers, version) + body)
        return keep_alive

    return behave


def truncated(body: bytes, sent: int, then_reset: bool) -> Behaviour:
    """Promises ``len(body)`` bytes, sends the first ``sent``, then closes or resets."""

    def behave(conn: socket.socket, _request: Request) -> None:
        conn.sendall(head(headers={"Content-Type": "application/json",
                                   "Content-Length": str(len(body)), "Connection": "close"}))
        conn.sendall(body[:sent])
        time.sleep(0.05)  # let the client read what was sent before the connection dies
        if then_reset:
            reset(conn)
        else:
            conn.shutdown(socket.SHUT_WR)

    return behave


def stall(seconds: float, then: Behaviour | None = None) -> Behaviour:
    """Says nothing for ``seconds`` (the client's read time-out should fire), then answers;
    ends at once when the client hangs up first."""

    def behave(conn: socket.socket, request: Request) -> None:
        if wait_for_hangup(conn, seconds):
            return
        if then is not None:
            then(conn, request)

    return behave


def wait_for_hangup(conn: socket.socket, seconds: float) -> bool:
    """Waits up to ``seconds``; True as soon as the client closed its end."""
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        ready, _, _ = select.select([conn], [], [], left)
        if ready:
            try:
                if not conn.recv(65536, socket.MSG_PEEK):
                    return True
            except OSError:
                return True
            conn.recv(65536)  # more from the client: drop it
    return False


def drip(body: bytes, every: float = 1.0) -> Behaviour:
    """Sends the head, then the body one byte every ``every`` seconds; ends when the
    client hangs up."""

    def behave(conn: socket.socket, _request: Request) -> None:
        conn.sendall(head(headers={"Content-Type": "application/json", "Content-Length": str(len(body))}))
        for byte in body:
            conn.sendall(bytes([byte]))
            if wait_for_hangup(conn, every):
                return

    return behave


def redirect_to(location: str, status: str = "302 Found") -> Behaviour:
    return answer(b"", status=status, content_type=None, extra={"Location": location})


# --- scripted HTTP server in a child process -------------------------------------------

# Records of each endpoint, in the shapes the service sends.
DAY_RECORD = {"trading_date": "2024-03-05", "open_price": 3500.0, "high_price": 3550,
              "low_price": "3490", "close_price": 3521.5, "volume": 1200, "turnover": 4.2e7,
              "open_interest": 88000}
MINUTE_RECORD = dict(DAY_RECORD, trading_datetime="2024-03-05 09:01:00")
del MINUTE_RECORD["trading_date"]
TICK_RECORD = {"trading_datetime": "2024-03-05 21:00:01", "name": "螺纹钢2405", "volume": 10,
               "turnover": 35215.0, "open_interest": 88000, "last_price": 3521.5, "last_volume": 2,
               "limit_up": 3800, "limit_down": 3200, "open": 3500, "high": 3550, "low": 3490,
               "pre_close": 3510, **{f"{side}_{kind}_{level}": 3521.0 + level
                                     for side in ("bid", "ask") for kind in ("price", "volume")
                                     for level in range(1, 6)}}
REFERENCE_RECORD = {"symbol": "rb", "dominant": "rb2405", "trading_date": "2024-03-05", "factor": 1.0}


def good_record(endpoint: str) -> dict:
    if "daybar" in endpoint:
        return dict(DAY_RECORD)
    if "minutebar" in endpoint:
        return dict(MINUTE_RECORD)
    if "tickdata" in endpoint:
        return dict(TICK_RECORD)
    return dict(REFERENCE_RECORD)


def time_field(endpoint: str) -> str:
    return "trading_date" if "daybar" in endpoint else "trading_datetime"


def bad_records(endpoint: str) -> list:
    """Two good records around three that fail with KeyError or ValueError."""
    good = good_record(endpoint)
    missing = dict(good)
    missing.pop(time_field(endpoint))
    not_a_number = dict(good, **({"bid_volume_1": "abc"} if "tickdata" in endpoint else {"close_price": "abc"}))
    bad_time = dict(good, **{time_field(endpoint): "2024-03-05T25:00"})
    return [good, missing, not_a_number, bad_time, good]


def null_member(endpoint: str) -> list:
    """A record whose numeric member is null: TypeError out of the history queries."""
    key = "last_price" if "tickdata" in endpoint else "open_price"
    return [good_record(endpoint), dict(good_record(endpoint), **{key: None})]


def envelope(data=None, code=0, message="success") -> bytes:
    return json.dumps({"code": code, "message": message, "data": [] if data is None else data},
                      ensure_ascii=False).encode()


# scenario -> (status, body for the endpoint)
SCENARIOS: dict[str, Callable[[str], tuple[int, bytes]]] = {
    "ok": lambda ep: (200, envelope([good_record(ep) for _ in range(3)])),
    "bad_records": lambda ep: (200, envelope(bad_records(ep))),
    "null_member": lambda ep: (200, envelope(null_member(ep))),
    "null_data": lambda ep: (200, json.dumps({"code": 0, "message": "ok", "data": None}).encode()),
    "no_data": lambda ep: (200, json.dumps({"code": 0, "message": "ok"}).encode()),
    "refused_code": lambda ep: (200, envelope([], code=1002, message="凭证无效")),
    "empty_object": lambda ep: (200, b"{}"),
    "list_body": lambda ep: (200, b"[1, 2, 3]"),
    "number_data": lambda ep: (200, json.dumps({"code": 0, "data": 5}).encode()),
    "not_json": lambda ep: (200, b"<html>gateway</html>"),
    "http_404": lambda ep: (404, b"no such endpoint"),
    "http_500": lambda ep: (500, b""),
}


def serve_scripted() -> None:  # runs in the child process
    from http.server import BaseHTTPRequestHandler, HTTPServer

    class Handler(BaseHTTPRequestHandler):
        def _handle(self):
            length = int(self.headers.get("Content-Length") or 0)
            if length:
                self.rfile.read(length)
            path = self.path.split("?", 1)[0]
            scenario, _, endpoint = path.lstrip("/").partition("/")
            make = SCENARIOS.get(scenario)
            status, body = make("/" + endpoint) if make else (599, b"unknown scenario")
            # One write for the whole answer: no small segments for Nagle to hold back.
            self.wfile.write(head(f"{status} {'OK' if status == 200 else 'Error'}",
                                  {"Content-Type": "application/json", "Content-Length": str(len(body)),
                                   "Connection": "close"}, "HTTP/1.0") + body)

        do_GET = do_POST = _handle

        def log_message(self, *args):
            pass

    # One request at a time: the clients of this server call in sequence, and a thread
    # per request would only slow each answer down.
    class Server(HTTPServer):
        request_queue_size = 128

    httpd = Server((HOST, 0), Handler)
    sys.stdout.write(f"{httpd.server_address[1]}\n")
    sys.stdout.flush()
    # Stop when the parent closes our stdin (or dies).
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    httpd.serve_forever()


class ScriptedServer:
    """The scripted server in a child process; ``url(scenario)`` is a base URL for a datafeed."""

    def __init__(self):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "scripted"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env={k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD",)},
        )
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.close()
            raise RuntimeError(f"scripted server did not start: {line!r}")
        self.port = int(line)

    def url(self, scenario: str) -> str:
        return f"http://{HOST}:{self.port}/{scenario}"

    def close(self) -> None:
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


if __name__ == "__main__" and sys.argv[1:] == ["scripted"]:
    serve_scripted()
