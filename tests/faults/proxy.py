"""A fault-injecting HTTP proxy on 127.0.0.1, put in front of the local data service.

It keeps every client connection alive (HTTP/1.1) whatever the service does, forwards
each request on a connection of its own to the service (asked to close after its answer,
framed by Content-Length, chunks or the close), and, at the rates of its `Faults` drawn
from one seeded random.Random, answers in its own way instead:

- per accepted connection: reset it (an RST) before reading anything;
- per request: reset before answering, or after the head and half the body; start a
  burst of 503 answers for that many consecutive requests (on any connection); answer
  429 with "Retry-After: 1"; stall (send nothing, or the head then one byte a second) for
  `stall_seconds` and then reset; or forward after an added delay. One request of a
  path may be made to stall whatever is drawn (`stall_path`, `stall_nth`).

With `connect_seconds` every new connection's first request waits that long before it is
read (with `latency` 1.0 as well: a network's round trips, for a connection's handshake
and for every request).

It counts accepted connections and the faults it injected, records (monotonic time, path)
of every request, and stops with every thread it started ended (`close`, or leaving the `with` block).
"""

from __future__ import annotations

import random
import socket
import threading
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from typing import NamedTuple
from urllib.parse import urlsplit

from .servers import reset

HOST = "127.0.0.1"
UPSTREAM_TIMEOUT = 30.0  # seconds the service may take to answer one request


@dataclass(frozen=True)
class Faults:
    """Rates in [0, 1]; the per-request ones are exclusive (one draw per request)."""

    seed: int = 0
    reset_connection: float = 0.0  # per accepted connection
    reset_before_answer: float = 0.0
    reset_mid_answer: float = 0.0
    burst_503: float = 0.0  # starts a burst of `burst_length` 503 answers
    burst_length: int = 3
    too_many_requests: float = 0.0  # 429 with Retry-After: 1
    stall: float = 0.0
    stall_trickle: bool = False  # the head, then one byte of the body a second
    stall_seconds: float = 15.0
    latency: float = 0.0
    latency_seconds: float = 0.3
    connect_seconds: float = 0.0  # added before a new connection's first request is read
    stall_path: str = ""  # with stall_nth: the stall_nth request (from 1) of this path stalls, whatever is drawn
    stall_nth: int = 0

    def __post_init__(self) -> None:
        kinds = (self.reset_before_answer, self.reset_mid_answer, self.burst_503, self.too_many_requests,
                 self.stall, self.latency)
        if not all(0.0 <= rate <= 1.0 for rate in (self.reset_connection, *kinds)) or sum(kinds) > 1.0:
            raise ValueError(f"fault rates out of range: {self}")
        if not self.connect_seconds >= 0.0:
            raise ValueError(f"connect_seconds out of range: {self}")


class Seen(NamedTuple):
    at: float  # time.monotonic() when the request's head had arrived
    path: str


class Message(NamedTuple):
    """One HTTP message as read: its start line, headers (names in lower case) and body."""

    start: str
    headers: list[tuple[str, str]]
    body: bytes

    def header(self, name: str) -> str | None:
        return next((value for key, value in self.headers if key == name), None)

    def encode(self, start: str | None = None, **replace: str | None) -> bytes:
        """The message, with the named headers (underscores for dashes) replaced or dropped."""
        names = {name.replace("_", "-") for name in replace}
        lines = [start or self.start] + [f"{k}: {v}" for k, v in self.headers if k not in names]
        lines += [f"{k.replace('_', '-')}: {v}" for k, v in replace.items() if v is not None]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + self.body


class Reader:
    """Buffered reads of HTTP messages from one socket."""

    def __init__(self, sock: socket.socket):
        self.sock, self.buf = sock, b""

    def _more(self) -> bool:
        chunk = self.sock.recv(65536)
        self.buf += chunk
        return bool(chunk)

    def line(self, end: bytes = b"\r\n") -> bytes | None:
        while end not in self.buf:
            if not self._more():
                return None
        line, _, self.buf = self.buf.partition(end)
        return line

    def exactly(self, n: int) -> bytes:
        while len(self.buf) < n:
            if not self._more():
                raise ConnectionError("the peer closed inside a body")
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def message(self, response: bool) -> Message | None:
        """The next message; None when the peer closed before one began."""
        head = self.line(b"\r\n\r\n")
        if head is None:
            return None
        start, *rest = head.decode("latin-1").split("\r\n")
        headers = [(k.strip().lower(), v.strip()) for k, _, v in (line.partition(":") for line in rest)]
        message = Message(start, headers, b"")
        if (length := message.header("content-length")) is not None:
            return message._replace(body=self.exactly(int(length)))
        if "chunked" in (message.header("transfer-encoding") or "").lower():
            return message._replace(body=self._chunks())
        if not response:
            return message
        while self._more():  # the body ends with the connection
            pass
        body, self.buf = self.buf, b""
        return message._replace(body=body)

    def _chunks(self) -> bytes:
        """The chunked body as sent: every chunk, the last one and the trailer."""
        raw = b""
        while True:
            size_line = self.line()
            if size_line is None:
                raise ConnectionError("the peer closed inside a chunked body")
            size = int(size_line.split(b";")[0], 16)
            raw += size_line + b"\r\n"
            if size == 0:
                while (trailer := self.line()) not in (b"", None):
                    raw += trailer + b"\r\n"
                return raw + b"\r\n"
            raw += self.exactly(size + 2)


def own_answer(status: str, **headers: str) -> bytes:
    body = status.encode("ascii")
    return Message(f"HTTP/1.1 {status}", [], body).encode(content_type="text/plain",
                                                          content_length=str(len(body)), **headers)


def body_start(answer: bytes) -> int:
    return answer.index(b"\r\n\r\n") + 4


class FaultProxy:
    def __init__(self, upstream: str, faults: Faults = Faults()):
        parts = urlsplit(upstream)
        self.upstream = (parts.hostname or HOST, parts.port or 80)
        self.faults = faults
        self.connections = 0
        self.requests: list[Seen] = []
        self.injected: Counter[str] = Counter()  # faults by the name of their rate
        self._rng = random.Random(faults.seed)
        self._burst_left = 0
        self._stall_count = 0  # requests of faults.stall_path seen
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._sockets: set[socket.socket] = set()
        self._threads: list[threading.Thread] = []
        self._listener = socket.create_server((HOST, 0))
        self._listener.settimeout(0.1)  # how soon the accept loop sees a stop
        self.url = f"http://{HOST}:{self._listener.getsockname()[1]}"
        self._start(self._accept)

    def __enter__(self) -> FaultProxy:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def busiest_second(self) -> int:
        """The most requests that arrived within any one second."""
        times = sorted(seen.at for seen in self.requests)
        first, most = 0, 0
        for last, at in enumerate(times):
            while at - times[first] >= 1.0:
                first += 1
            most = max(most, last - first + 1)
        return most

    def close(self) -> None:
        self._stopping.set()
        self._threads[0].join()  # the accept loop: no connection is taken after this
        self._listener.close()
        with self._lock:
            for sock in self._sockets:
                self._wake(sock)
        for thread in self._threads:
            thread.join(timeout=UPSTREAM_TIMEOUT)
        alive = [thread.name for thread in self._threads if thread.is_alive()]
        assert not alive, f"proxy threads still running: {alive}"

    # --- threads ----------------------------------------------------------------------

    def _start(self, target: Callable[..., None], *args: object) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(thread)
        thread.start()

    @staticmethod
    def _wake(sock: socket.socket) -> None:
        """Ends a blocking read of `sock` on another thread."""
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # closed already

    def _track(self, sock: socket.socket, keep: bool) -> None:
        with self._lock:
            if not keep:
                self._sockets.discard(sock)
                return
            self._sockets.add(sock)
            if self._stopping.is_set():  # close() may have swept the sockets already
                self._wake(sock)

    def _draw(self) -> float:
        with self._lock:
            return self._rng.random()

    def _accept(self) -> None:
        while not self._stopping.is_set():
            try:
                client, _ = self._listener.accept()
            except TimeoutError:
                continue
            with self._lock:
                self.connections += 1
            if self._draw() < self.faults.reset_connection:
                with self._lock:
                    self.injected["reset_connection"] += 1
                reset(client)
                continue
            self._track(client, True)
            self._start(self._serve, client)

    def _serve(self, client: socket.socket) -> None:
        try:
            reader = Reader(client)
            if self.faults.connect_seconds:
                self._stopping.wait(self.faults.connect_seconds)
            while not self._stopping.is_set():
                request = reader.message(response=False)
                if request is None:
                    break
                with self._lock:
                    self.requests.append(Seen(time.monotonic(), request.start.split(" ")[1].split("?")[0]))
                if not self._answer(client, request):
                    break
        except OSError:
            pass  # either side went away
        finally:
            self._track(client, False)
            client.close()

    # --- one request ------------------------------------------------------------------

    def _fault(self, path: str) -> str | None:
        """The fault for the next request: one draw, or the rest of a 503 burst (or the
        stall asked for that request)."""
        f = self.faults
        kind, draw = None, self._draw()
        if path == f.stall_path:
            with self._lock:
                self._stall_count += 1
                if self._stall_count == f.stall_nth:
                    self.injected["stall"] += 1
                    return "stall"
        for name in ("reset_before_answer", "reset_mid_answer", "burst_503", "too_many_requests", "stall",
                     "latency"):
            rate: float = getattr(f, name)
            if draw < rate:
                kind = name
                break
            draw -= rate
        with self._lock:
            if kind == "burst_503" and self._burst_left == 0:
                self._burst_left = f.burst_length
            if self._burst_left > 0:
                self._burst_left -= 1
                kind = "burst_503"
            if kind is not None:
                self.injected[kind] += 1
        return kind

    def _answer(self, client: socket.socket, request: Message) -> bool:
        """Answers one request; False when the connection is done with."""
        kind = self._fault(request.start.split(" ")[1].split("?")[0])
        if kind == "burst_503":
            client.sendall(own_answer("503 Service Unavailable"))
        elif kind == "too_many_requests":
            client.sendall(own_answer("429 Too Many Requests", retry_after="1"))
        elif kind == "reset_before_answer":
            reset(client)
            return False
        elif kind == "reset_mid_answer":
            answer = self._forward(request)
            at = body_start(answer)
            client.sendall(answer[:at + (len(answer) - at) // 2])
            self._stopping.wait(0.05)  # lets the client read what came before the reset
            reset(client)
            return False
        elif kind == "stall":
            self._stall(client, self._forward(request) if self.faults.stall_trickle else b"")
            return False
        else:
            if kind == "latency":
                self._stopping.wait(self.faults.latency_seconds)
            closing = (request.header("connection") or "").lower() == "close"
            client.sendall(self._forward(request, closing))
            return not closing
        return True

    def _stall(self, client: socket.socket, answer: bytes) -> None:
        """Sends nothing, or the head then one byte a second, for stall_seconds; then resets."""
        deadline = time.monotonic() + self.faults.stall_seconds
        sent = body_start(answer) if answer else 0
        client.sendall(answer[:sent])
        while (left := deadline - time.monotonic()) > 0 and not self._stopping.wait(min(1.0, left)):
            if sent < len(answer):
                client.sendall(answer[sent:sent + 1])
                sent += 1
        reset(client)

    def _forward(self, request: Message, closing: bool = False) -> bytes:
        """The service's answer to `request`, framed for a kept-alive client connection."""
        with socket.create_connection(self.upstream, timeout=UPSTREAM_TIMEOUT) as upstream:
            self._track(upstream, True)
            try:
                upstream.sendall(request.encode(connection="close"))
                answer = Reader(upstream).message(response=True)
            finally:
                self._track(upstream, False)
        if answer is None:
            raise ConnectionError("the service closed without an answer")
        status = answer.start.partition(" ")[2]
        chunked = answer.header("transfer-encoding") is not None
        return answer.encode(f"HTTP/1.1 {status}", connection="close" if closing else None,
                             content_length=None if chunked else str(len(answer.body)))
