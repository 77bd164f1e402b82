"""HTTP front of the development data service.

Every answer is the envelope {"code", "message", "data"}; code 0 means success and
`data` holds the records. The POST endpoints read a JSON object body, the one GET
endpoint ("/multiplier/query") reads its query string. Every request must carry the
headers "mobile" and "token" with the configured credentials.

Failures of the request itself (credentials, missing or malformed members) are
answered with HTTP 200 and a non-zero code, so that a client reads the reason from
the envelope; an unknown path, a wrong method, or a body the server will not read
also get an HTTP error status. No request can stop the server: an unexpected fault
is logged and answered with HTTP 500.
"""

from __future__ import annotations

import hmac
import json
import sys
import traceback
from dataclasses import dataclass
from datetime import date, datetime
from enum import IntEnum
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable
from urllib.parse import parse_qs, urlsplit

from .data import DATE_FORMAT, SyntheticStore

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8081
DEFAULT_USER = "demo"
DEFAULT_TOKEN = "demo-token"

MAX_BODY_BYTES = 1 << 20
MAX_QUERY_FIELDS = 50
DAY_BAR_LIMIT = 2000
MINUTE_BAR_LIMIT = 40000


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


# --- request members --------------------------------------------------------------

Params = dict[str, Any]


def _text(params: Params, key: str, *, required: bool = True) -> str | None:
    value = params.get(key)
    if value is None:
        if required:
            raise _bad_request(f"member '{key}' is required")
        return None
    if not isinstance(value, str):
        raise _bad_request(f"member '{key}' must be text")
    return value


def _date(params: Params, key: str, *, required: bool = True) -> date | None:
    text = _text(params, key, required=required)
    if text is None:
        return None
    try:
        return datetime.strptime(text, DATE_FORMAT).date()
    except ValueError:
        raise _bad_request(f"member '{key}' must be a date written YYYY-MM-DD, not {text!r}") from None


def _limit(params: Params, default: int) -> int:
    value = params.get("limit")
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise _bad_request("member 'limit' must be a positive integer")
    return value


# --- endpoints --------------------------------------------------------------------


@dataclass(frozen=True)
class Route:
    method: str
    handler: Callable[[SyntheticStore, Params], list]


def _day_bars(store: SyntheticStore, p: Params) -> list:
    return store.day_bars(_text(p, "instrument_id"), _date(p, "start_date"), _date(p, "end_date"),
                          _limit(p, DAY_BAR_LIMIT))


def _minute_bars(store: SyntheticStore, p: Params) -> list:
    return store.minute_bars(_text(p, "instrument_id"), _date(p, "start_date"), _date(p, "end_date"),
                             _limit(p, MINUTE_BAR_LIMIT))


def _ticks(store: SyntheticStore, p: Params) -> list:
    return store.ticks(_text(p, "instrument_id"), _date(p, "trading_date"))


def _dominant(store: SyntheticStore, p: Params) -> list:
    return store.dominant(_text(p, "symbol"), _date(p, "start_date", required=False),
                          _date(p, "end_date", required=False))


def _current(store: SyntheticStore, p: Params) -> list:
    return store.current(_text(p, "symbol", required=False), _date(p, "trading_date"))


def _ex_factors(store: SyntheticStore, p: Params) -> list:
    return store.ex_factors(_text(p, "symbol"), _date(p, "start_date", required=False),
                            _date(p, "end_date", required=False))


def _multipliers(store: SyntheticStore, p: Params) -> list:
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


# --- HTTP -------------------------------------------------------------------------


def _json_object(body: bytes) -> Params:
    try:
        value = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise _bad_request("the request body must be a JSON object") from None
    if not isinstance(value, dict):
        raise _bad_request("the request body must be a JSON object")
    return value


def _query_params(query: str) -> Params:
    try:
        fields = parse_qs(query, keep_blank_values=True, max_num_fields=MAX_QUERY_FIELDS)
    except ValueError:
        raise _bad_request("too many query parameters") from None
    return {key: values[0] for key, values in fields.items()}


class DevServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: tuple[str, int], store: SyntheticStore, user: str, token: str, quiet: bool):
        self.store = store
        self.user = user.encode("utf-8")
        self.token = token.encode("utf-8")
        self.quiet = quiet
        super().__init__(address, _Handler)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{host}:{port}"


class _Handler(BaseHTTPRequestHandler):
    server: DevServer
    server_version = "NorvixDevServer/0.1"
    timeout = 30  # seconds a client may take to send its request

    def do_GET(self) -> None:
        self._handle()

    def do_POST(self) -> None:
        self._handle()

    do_PUT = do_DELETE = do_PATCH = do_POST

    def _handle(self) -> None:
        try:
            url = urlsplit(self.path)
            body = self._read_body()
            route = ROUTES.get(url.path)
            if route is None:
                raise ServiceError(Code.UNKNOWN_ENDPOINT, f"unknown endpoint {url.path}", HTTPStatus.NOT_FOUND)
            if self.command != route.method:
                raise ServiceError(Code.METHOD_NOT_ALLOWED, f"{url.path} accepts {route.method} only",
                                   HTTPStatus.METHOD_NOT_ALLOWED)
            self._authenticate()
            params = _query_params(url.query) if route.method == "GET" else _json_object(body)
            data = route.handler(self.server.store, params)
        except ServiceError as error:
            self._reply(error.status, error.code, error.message, [])
        except Exception:
            traceback.print_exc(file=sys.stderr)
            self._reply(HTTPStatus.INTERNAL_SERVER_ERROR, Code.INTERNAL_ERROR, "internal error", [])
        else:
            self._reply(HTTPStatus.OK, Code.OK, "success", data)

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding"):
            self.close_connection = True
            raise ServiceError(Code.BAD_REQUEST, "send the body with a Content-Length", HTTPStatus.LENGTH_REQUIRED)
        declared = self.headers.get("Content-Length")
        if declared is None:
            return b""
        try:
            length = int(declared)
        except ValueError:
            length = -1
        if length < 0:
            self.close_connection = True
            raise ServiceError(Code.BAD_REQUEST, "invalid Content-Length", HTTPStatus.BAD_REQUEST)
        if length > MAX_BODY_BYTES:
            self.close_connection = True
            raise ServiceError(Code.BODY_TOO_LARGE, f"the request body exceeds {MAX_BODY_BYTES} bytes",
                               HTTPStatus.REQUEST_ENTITY_TOO_LARGE)
        return self.rfile.read(length)

    def _authenticate(self) -> None:
        mobile = self.headers.get("mobile")
        token = self.headers.get("token")
        if not mobile or not token:
            raise ServiceError(Code.MISSING_CREDENTIALS, "missing credentials: send the headers mobile and token")
        # Header values arrive decoded as latin-1; compare the raw bytes.
        user_ok = hmac.compare_digest(mobile.encode("latin-1"), self.server.user)
        token_ok = hmac.compare_digest(token.encode("latin-1"), self.server.token)
        if not (user_ok and token_ok):
            raise ServiceError(Code.INVALID_CREDENTIALS, "invalid credentials")

    def _reply(self, status: HTTPStatus, code: Code, message: str, data: list) -> None:
        payload = json.dumps({"code": int(code), "message": message, "data": data}, ensure_ascii=False).encode()
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json; charset=utf-8")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def log_message(self, format: str, *args: Any) -> None:
        if not self.server.quiet:
            super().log_message(format, *args)


def make_server(host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, *, user: str = DEFAULT_USER,
                token: str = DEFAULT_TOKEN, store: SyntheticStore | None = None, quiet: bool = False) -> DevServer:
    """Bind a server (port 0 picks a free port; see `url`). Run it with
    `serve_forever()`, on a thread if need be, and stop it with `shutdown()` and
    `server_close()`."""
    return DevServer((host, port), store or SyntheticStore(), user, token, quiet)
