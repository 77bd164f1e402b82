"""HTTP front of the development data service: a WSGI application on Werkzeug's
threaded server.

Every answer is the envelope {"code", "message", "data"}; code 0 means success and
`data` holds the records. The POST endpoints read a JSON object body, the one GET
endpoint ("/multiplier/query") reads its query string. Every request must carry the
headers "mobile" and "token" with the configured credentials.

Failures of the request itself (credentials, missing or malformed members) are
answered with HTTP 200 and a non-zero code, so that a client reads the reason from
the envelope; an unknown path, a wrong method or a body too large also get an HTTP
error status. No request can stop the server: an unexpected fault is logged and
answered with HTTP 500 and its own code.
"""

from __future__ import annotations

import hmac
import json
import os
import re
import socket
import sys
import traceback
from dataclasses import dataclass
from datetime import date
from enum import IntEnum
from http import HTTPStatus
from pathlib import Path
from typing import Any, Callable

from werkzeug.exceptions import RequestEntityTooLarge
from werkzeug.serving import ThreadedWSGIServer, WSGIRequestHandler
from werkzeug.wrappers import Request, Response

from .generate import DEFAULT_PLAN, ensure_database
from .store import Store, default_database_path

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8081
DEFAULT_USER = "demo"
DEFAULT_TOKEN = "demo-token"

MAX_BODY_BYTES = 1 << 20
DAY_BAR_LIMIT = 2000
MINUTE_BAR_LIMIT = 40000

DATE_PATTERN = re.compile(r"\d{4}-\d{2}-\d{2}")


class Code(IntEnum):
    OK = 0
    MISSING_CREDENTIALS = 1001
    INVALID_CREDENTIALS = 1002
    BAD_REQUEST = 2001
    UNKNOWN_ENDPOINT = 4004
    METHOD_NOT_ALLOWED = 4005
    BODY_TOO_LARGE = 4013
    INTERNAL_ERROR = 5000


class ServiceError(Exception):
    def __init__(self, code: Code, message: str, status: HTTPStatus = HTTPStatus.OK):
        super().__init__(message)
        self.code = code
        self.message = message
        self.status = status


def _bad_request(message: str) -> ServiceError:
    return ServiceError(Code.BAD_REQUEST, message)


# --- request members ------------------------------------------------------------------------

Params = dict[str, Any]


def _text(params: Params, key: str, *, required: bool = True) -> str | None:
    value = params.get(key)
    if value is None or (value == "" and not required):
        if required:
            raise _bad_request(f"member '{key}' is required")
        return None
    if not isinstance(value, str):
        raise _bad_request(f"member '{key}' must be text, not {json.dumps(value)[:40]}")
    if required and not value:
        raise _bad_request(f"member '{key}' must not be empty")
    return value


def _date(params: Params, key: str, *, required: bool = True) -> date | None:
    text = _text(params, key, required=required)
    if text is None:
        return None
    try:
        if not DATE_PATTERN.fullmatch(text):
            raise ValueError
        return date.fromisoformat(text)
    except ValueError:
        raise _bad_request(f"member '{key}' must be a date written YYYY-MM-DD, not {text[:40]!r}") from None


def _date_range(params: Params, *, required: bool) -> tuple[date | None, date | None]:
    start = _date(params, "start_date", required=required)
    end = _date(params, "end_date", required=required)
    if start is not None and end is not None and start > end:
        raise _bad_request(f"start_date {start} is after end_date {end}")
    return start, end


def _limit(params: Params, default: int) -> int:
    value = params.get("limit")
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise _bad_request(f"member 'limit' must be a positive integer, not {json.dumps(value)[:40]}")
    return value


# --- endpoints ------------------------------------------------------------------------------


@dataclass(frozen=True)
class Route:
    method: str
    handler: Callable[[Store, Params], bytes]


def _day_bars(store: Store, p: Params) -> bytes:
    instrument_id = _text(p, "instrument_id")
    start, end = _date_range(p, required=True)
    return store.day_bars(instrument_id, start, end, _limit(p, DAY_BAR_LIMIT))


def _minute_bars(store: Store, p: Params) -> bytes:
    instrument_id = _text(p, "instrument_id")
    start, end = _date_range(p, required=True)
    return store.minute_bars(instrument_id, start, end, _limit(p, MINUTE_BAR_LIMIT))


def _ticks(store: Store, p: Params) -> bytes:
    return store.ticks(_text(p, "instrument_id"), _date(p, "trading_date"))


def _dominant(store: Store, p: Params) -> bytes:
    symbol = _text(p, "symbol")
    return store.dominant(symbol, *_date_range(p, required=False))


def _current(store: Store, p: Params) -> bytes:
    return store.current(_text(p, "symbol", required=False), _date(p, "trading_date", required=False))


def _ex_factors(store: Store, p: Params) -> bytes:
    symbol = _text(p, "symbol")
    return store.ex_factors(symbol, *_date_range(p, required=False))


def _multipliers(store: Store, p: Params) -> bytes:
    return store.multipliers(_text(p, "symbol", required=False))


ROUTES: dict[str, Route] = {
    "/daybar/query": Route("POST", _day_bars),
    "/minutebar/query": Route("POST", _minute_bars),
    "/tickdata/query": Route("POST", _ticks),
    "/dominant/query": Route("POST", _dominant),
    "/current/query": Route("POST", _current),
    "/exfactor/query": Route("POST", _ex_factors),
    "/multiplier/query": Route("GET", _multipliers),
}


# --- HTTP -----------------------------------------------------------------------------------


def _envelope(code: Code, message: str, data: bytes) -> bytes:
    head = json.dumps({"code": int(code), "message": message}, ensure_ascii=False)[:-1]
    return b"".join((head.encode("utf-8"), b', "data": ', data, b"}"))


class ServiceApp:
    """The WSGI application: routing, credentials, parameters, envelope."""

    def __init__(self, store: Store, user: str, token: str):
        self.store = store
        self.user = user.encode("utf-8")
        self.token = token.encode("utf-8")

    def __call__(self, environ: dict, start_response: Callable) -> Any:
        request = Request(environ)
        request.max_content_length = MAX_BODY_BYTES
        try:
            data = self._answer(request)
        except ServiceError as error:
            status, body = error.status, _envelope(error.code, error.message, b"[]")
        except Exception:
            traceback.print_exc(file=sys.stderr)
            status, body = HTTPStatus.INTERNAL_SERVER_ERROR, _envelope(Code.INTERNAL_ERROR, "internal error", b"[]")
        else:
            status, body = HTTPStatus.OK, _envelope(Code.OK, "success", data)
        response = Response(body, status=int(status), content_type="application/json; charset=utf-8")
        return response(environ, start_response)

    def _answer(self, request: Request) -> bytes:
        route = ROUTES.get(request.path)
        if route is None:
            raise ServiceError(Code.UNKNOWN_ENDPOINT, f"unknown endpoint {request.path[:100]}", HTTPStatus.NOT_FOUND)
        if request.method != route.method:
            raise ServiceError(Code.METHOD_NOT_ALLOWED, f"{request.path} accepts {route.method} only",
                               HTTPStatus.METHOD_NOT_ALLOWED)
        self._authenticate(request)
        params = dict(request.args.items()) if route.method == "GET" else self._json_body(request)
        return route.handler(self.store, params)

    def _authenticate(self, request: Request) -> None:
        mobile = request.headers.get("mobile")
        token = request.headers.get("token")
        if not mobile or not token:
            missing = " and ".join(name for name, value in (("mobile", mobile), ("token", token)) if not value)
            raise ServiceError(Code.MISSING_CREDENTIALS, f"missing credentials: send the header {missing}")
        # Header values arrive decoded as latin-1: compare the raw bytes.
        user_ok = hmac.compare_digest(mobile.encode("latin-1"), self.user)
        token_ok = hmac.compare_digest(token.encode("latin-1"), self.token)
        if not (user_ok and token_ok):
            raise ServiceError(Code.INVALID_CREDENTIALS, "invalid credentials: unknown mobile or wrong token")

    @staticmethod
    def _json_body(request: Request) -> Params:
        try:
            body = request.get_data(cache=False)
        except RequestEntityTooLarge:
            raise ServiceError(Code.BODY_TOO_LARGE, f"the request body exceeds {MAX_BODY_BYTES} bytes",
                               HTTPStatus.REQUEST_ENTITY_TOO_LARGE) from None
        try:
            value = json.loads(body)
        except (UnicodeDecodeError, ValueError, RecursionError):
            raise _bad_request("the request body must be a JSON object") from None
        if not isinstance(value, dict):
            raise _bad_request("the request body must be a JSON object")
        return value


class _RequestHandler(WSGIRequestHandler):
    server: DevServer

    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        if not self.server.quiet:
            super().log_request(code, size)


class DevServer(ThreadedWSGIServer):
    """The service on one listening socket. Run it with `serve_forever()` (on a thread if
    need be) and stop it with `shutdown()` and `server_close()`."""

    def __init__(self, host: str, port: int, store: Store, user: str, token: str, quiet: bool):
        self.store = store
        self.quiet = quiet
        # Bind here, so that a busy port raises OSError to the caller.
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        listener = socket.create_server((host, port), family=family, backlog=128)
        try:
            super().__init__(host, port, ServiceApp(store, user, token), handler=_RequestHandler,
                             fd=listener.fileno())
        finally:
            listener.close()  # the server holds its own duplicate of the descriptor

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


def open_store(db: str | os.PathLike | None = None, *, progress: bool = True) -> Store:
    """The store of `db`, or of the default database, generated first when missing (the
    default one also when it holds other data than the default plan's)."""
    if db is None:
        path = default_database_path()
        ensure_database(path, DEFAULT_PLAN, progress=progress)
    else:
        path = Path(db)
        if not path.exists():
            ensure_database(path, DEFAULT_PLAN, progress=progress)
    return Store(path)


def make_server(host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, *, user: str = DEFAULT_USER,
                token: str = DEFAULT_TOKEN, store: Store | None = None, quiet: bool = False,
                db: str | os.PathLike | None = None) -> DevServer:
    """Bind a server (port 0 picks a free port; see `url`) on `store`, or on the store of
    `db` or of the default database (see `open_store`). Run it with `serve_forever()`,
    on a thread if need be, and stop it with `shutdown()` and `server_close()`."""
    return DevServer(host, port, store or open_store(db), user, token, quiet)
