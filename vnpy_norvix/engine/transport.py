"""HTTP exchanges with the service: pooled keep-alive sessions, a deadline for a whole
answer, and the means to cut an exchange from another thread.

A blocked read can only be ended by shutting down its socket. Each exchange runs under
a `Watch`; the connections the exchange uses attach themselves to the watch of their
thread (for a new connection right after it connects, for a kept-alive one when a
request goes out on it), so that a deadline, a cancelled query or an abort shuts
their sockets down wherever the exchange is: connecting, waiting for the head, or in
the middle of a body that arrives one byte a second.
"""

from __future__ import annotations

import socket
import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal
from urllib.parse import urlsplit

import requests
from requests.adapters import HTTPAdapter
from urllib3.connection import HTTPConnection, HTTPSConnection
from urllib3.connectionpool import HTTPConnectionPool, HTTPSConnectionPool
from urllib3.exceptions import ConnectTimeoutError, NewConnectionError
from urllib3.poolmanager import PoolManager
from urllib3.response import HTTPResponse

if TYPE_CHECKING:
    from .room import Claim

# Why a watch was cut.
DEADLINE = "deadline"
CANCELLED = "cancelled"

# Bytes asked for per read of an answer body. requests' own `content` reads 10 KiB at a
# time, each read a trip through urllib3 and http.client: for the 10-25 MB of a long
# history answer that is a third of the time the whole exchange takes on loopback.
READ_SIZE = 256 * 1024
# The most bytes of one answer (inflated, an error page's too), unless set otherwise: a
# history answer stays far below it, an answer that inflates without end stops there.
MAX_ANSWER_MB = 256


class TooLarge(Exception):
    """An answer past the size allowed; `limit` in bytes."""

    def __init__(self, limit: int) -> None:
        super().__init__(f"answer larger than {limit} bytes")
        self.limit = limit


# What ended an exchange that raised, by the first row its exception is an instance of:
# it ran out of time, the service was out of reach, the answer was garbled on the way,
# it was too large, or the HTTP library refused the request (a URL it cannot join, a
# redirect loop, whatever else it lets through).
Cause = Literal["timeout", "unreachable", "garbled", "too_large", "refused"]
CAUSES: tuple[tuple[type[Exception], Cause], ...] = (
    (TooLarge, "too_large"),
    (requests.exceptions.Timeout, "timeout"),  # ConnectTimeout is a ConnectionError too
    (requests.exceptions.ConnectionError, "unreachable"),
    (requests.exceptions.ChunkedEncodingError, "garbled"),
    (requests.exceptions.ContentDecodingError, "garbled"),
    (Exception, "refused"),
)


def cause_of(error: Exception) -> Cause:
    return next(cause for kind, cause in CAUSES if isinstance(error, kind))


def reached(error: Exception) -> bool:
    """Whether an exchange that raised had reached the service: an answer too large, or
    one reset or cut off after its connection was taken; not one refused, unresolved or
    timed out while connecting, nor a request the library refused to send."""
    if isinstance(error, TooLarge):
        return True
    if not isinstance(error, requests.exceptions.RequestException) or isinstance(error, requests.exceptions.Timeout):
        return False
    reason = error.args[0] if error.args else None
    reason = getattr(reason, "reason", reason)  # urllib3's MaxRetryError holds the cause
    return not isinstance(reason, (NewConnectionError, ConnectTimeoutError))


class Watch:
    """The connections of one exchange, to shut down when it must end now."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._connections: list[HTTPConnection] = []
        self.cut_by: str | None = None
        self._closed = False

    def attach(self, connection: HTTPConnection) -> None:
        with self._lock:
            if self._closed:
                return
            if connection not in self._connections:
                self._connections.append(connection)
            if self.cut_by is not None:
                _shut(connection)

    def cut(self, why: str) -> None:
        with self._lock:
            if self._closed or self.cut_by is not None:
                return
            self.cut_by = why
            for connection in self._connections:
                _shut(connection)

    def close(self) -> None:
        """The exchange is over: its connections go back to the pool, out of reach."""
        with self._lock:
            self._closed = True
            self._connections.clear()


def _shut(connection: HTTPConnection) -> None:
    sock = connection.sock
    if sock is not None:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # already closed


_current = threading.local()  # .watch: the Watch of the exchange running on this thread


def _attach(connection: HTTPConnection) -> None:
    watch: Watch | None = getattr(_current, "watch", None)
    if watch is not None:
        watch.attach(connection)


class _WatchedConnection(HTTPConnection):
    def connect(self) -> None:
        super().connect()
        _attach(self)

    def request(self, *args: Any, **kwargs: Any) -> None:
        _attach(self)
        super().request(*args, **kwargs)


class _WatchedTLSConnection(_WatchedConnection, HTTPSConnection):
    """The same watch over a TLS connection (HTTPSConnection's connect runs inside it)."""


class _Pool(HTTPConnectionPool):
    ConnectionCls = _WatchedConnection


class _TLSPool(HTTPSConnectionPool):
    ConnectionCls = _WatchedTLSConnection


def _watched(manager: PoolManager) -> PoolManager:
    manager.pool_classes_by_scheme = {"http": _Pool, "https": _TLSPool}
    return manager


class _Adapter(HTTPAdapter):
    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        _watched(self.poolmanager)

    def proxy_manager_for(self, proxy: str, **kwargs: Any) -> PoolManager:
        return _watched(super().proxy_manager_for(proxy, **kwargs))


def origin(url: str) -> tuple[str, str, int | None]:
    parts = urlsplit(url)
    port = parts.port or {"http": 80, "https": 443}.get(parts.scheme.lower())
    return parts.scheme.lower(), (parts.hostname or "").lower(), port


class _Session(requests.Session):
    """A session that sends the credentials to the service's own origin only: requests
    drops its Authorization header on a redirect to another host, not other headers."""

    def __init__(self, home: tuple[str, str, int | None], private: frozenset[str], max_answer: int) -> None:
        super().__init__()
        self.home = home
        self.private = private
        self.max_answer = max_answer
        self.hooks["response"].append(self._drain_redirect)
        adapter = _Adapter()
        self.mount("http://", adapter)
        self.mount("https://", adapter)

    def _drain_redirect(self, response: requests.Response, *args: object, **kwargs: object) -> requests.Response:
        """A redirect's body read and dropped as it comes, without inflating it, up to
        `max_answer` bytes: requests would read it whole, inflated, before following."""
        if response.is_redirect:
            size = 0
            for part in response.raw.stream(READ_SIZE, decode_content=False):
                size += len(part)
                if size > self.max_answer:
                    response.close()  # its connection is closed, not pooled half read
                    raise TooLarge(self.max_answer)
        return response

    def rebuild_auth(self, prepared_request: requests.PreparedRequest, response: requests.Response) -> None:
        super().rebuild_auth(prepared_request, response)
        if origin(prepared_request.url or "") != self.home:
            for name in self.private:
                prepared_request.headers.pop(name, None)


@dataclass
class Reply:
    status: int
    headers: Mapping[str, str]
    body: bytes
    text: str  # the body as text, as the HTTP library reads it


class Transport:
    """Sessions for one service origin, each used by one thread at a time: a query's
    connections are at most as many as its requests running side by side. Without
    `keep_alive` every request gets a session, and so a connection, of its own."""

    def __init__(self, base_url: str, private: frozenset[str], keep_alive: bool = True,
                 max_answer: int = MAX_ANSWER_MB << 20) -> None:
        self.keep_alive = keep_alive
        self.max_answer = max_answer  # bytes of one answer, inflated
        self._home = origin(base_url)
        self._private = private
        self._idle: list[_Session] = []
        self._all: list[_Session] = []
        self._lock = threading.Lock()

    @contextmanager
    def _session(self) -> Iterator[_Session]:
        with self._lock:
            session = self._idle.pop() if self._idle else None
        if session is None:
            session = _Session(self._home, self._private, self.max_answer)
            with self._lock:
                self._all.append(session)
        try:
            yield session
        finally:
            with self._lock:
                if self.keep_alive:
                    self._idle.append(session)  # last in, first out: its connection is the warmest
                else:
                    self._all.remove(session)
            if not self.keep_alive:
                session.close()

    def send(self, method: str, url: str, members: dict[str, object], headers: dict[str, str], timeout: float,
             watch: Watch, claim: Claim | None = None) -> Reply:
        """One exchange, the whole answer read; raises what requests raises, and TooLarge
        (the connection closed) for an answer past `max_answer` bytes. With `claim`, the
        body is read once it has room (room.py)."""
        payload: dict[str, object] = {"params": members} if method == "GET" else {"json": members}
        with self._session() as session:
            _current.watch = watch
            try:
                response = session.request("GET" if method == "GET" else "POST", url, headers=headers,
                                           timeout=(timeout, timeout), stream=True,
                                           **payload)  # type: ignore[arg-type]  # params= or json=, both taken
                with response:  # read whole, the connection goes back to the pool; else closed
                    if claim is not None:
                        claim.take(_plain_length(response), watch)
                        body = claim.run(lambda: _bounded(response, self.max_answer))
                    else:
                        body = _bounded(response, self.max_answer)
                    text = _text(response, body) if response.status_code >= 400 else ""
            finally:
                _current.watch = None
        return Reply(response.status_code, response.headers, body, text)

    def close(self) -> None:
        with self._lock:
            sessions, self._all, self._idle = self._all, [], []
        for session in sessions:
            session.close()


def _plain_length(response: requests.Response) -> int | None:
    """The body's length as the head gives it, for a body not encoded (to be inflated)."""
    raw = response.raw
    if not isinstance(raw, HTTPResponse) or response.headers.get("Content-Encoding", "identity").lower() != "identity":
        return None
    return raw.length_remaining


def _bounded(response: requests.Response, limit: int) -> bytes:
    """The body, inflated a read at a time (urllib3 inflates at most a read's worth per
    read) and counted as it comes: past `limit` bytes, TooLarge before any more is kept.
    A body whose length the head gives is asked for in one read of that length: the
    socket's bytes then land in the one bytes object returned (http.client reads a known
    length straight into it), where reads of READ_SIZE would hold every part and their
    join, twice the body, and leave the parts' room behind in the reading thread's heap."""
    length = response.raw.length_remaining if isinstance(response.raw, HTTPResponse) else None
    size = min(length, limit + 1) if length else READ_SIZE  # past the limit: one byte tells
    parts = []
    total = 0
    for part in response.iter_content(max(size, READ_SIZE)):
        total += len(part)
        if total > limit:
            raise TooLarge(limit)
        parts.append(part)
    return parts[0] if len(parts) == 1 else b"".join(parts)


def _text(response: requests.Response, body: bytes) -> str:
    """`response.text` of a body read by `_bounded` (requests' own reads the body again)."""
    if not body:
        return ""
    encoding = response.encoding
    if encoding is None:  # requests' apparent_encoding
        encoding = requests.compat.chardet.detect(body)["encoding"] if requests.compat.chardet else "utf-8"
    try:
        return str(body, encoding or "utf-8", errors="replace")
    except (LookupError, TypeError):
        return str(body, errors="replace")
