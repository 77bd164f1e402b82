"""The plug-in's requests to the service: one engine per datafeed settings, with its
sessions, its rate limit and its pool of threads; retries and failures as data."""

from __future__ import annotations

import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING

from loguru import logger
from vnpy.trader.constant import Exchange

from .. import messages
from ..settings import number_setting
from . import wire
from .answers import FATAL, Answer, ColumnAnswer, Failure
from .ratelimit import RateLimit
from .retry import Retry
from .room import Claim, Room
from .scope import Scope
from .transport import CANCELLED, DEADLINE, MAX_ANSWER_MB, Reply, Transport, Watch, cause_of, reached

if TYPE_CHECKING:
    from norvix_datafeed import NorvixDatafeed

DEFAULT_RETRIES = 3
# Threads of an engine's pool: more than any query runs side by side.
POOL_THREADS = 16
# Engines kept for the settings seen last (each holds its sessions and threads).
KEPT_ENGINES = 4

Settings = tuple[str, str, str, int, float, float, float]


def settings_of(feed: NorvixDatafeed) -> Settings:
    # Both finite: an infinite time-out ends in the socket's OverflowError and an infinite
    # count in int()'s, not in a warning. A year is longer than anyone means to wait.
    timeout = number_setting("datafeed.timeout", wire.TIMEOUT, 0.001, 365 * 86400)
    retries = int(number_setting("datafeed.retries", DEFAULT_RETRIES, 0, 2**31))
    return (str(feed.base_url), feed.username, feed.password, retries, number_setting("datafeed.rate_limit", 0, 0),
            timeout, number_setting("datafeed.max_answer_mb", MAX_ANSWER_MB, 0.001))


class Engine:
    """One per datafeed settings (address, credentials, retries, rate limit, time-out,
    largest answer)."""

    _kept: OrderedDict[Settings, Engine] = OrderedDict()
    _kept_lock = threading.Lock()

    def __init__(self, settings: Settings) -> None:
        self.base_url, self.username, self.password, self.retries, rate, self.timeout, self.max_answer_mb = settings
        self.rate_limit = RateLimit(rate)
        self.room = Room()  # for the answers read and decoded at once
        self.transport = Transport(self.base_url, wire.private_headers(),
                                   max_answer=int(self.max_answer_mb * (1 << 20)))
        self._scopes: set[Scope] = set()
        self._lock = threading.Lock()
        self._pool: ThreadPoolExecutor | None = None
        # When something last came from the service (monotonic): an answer of any status,
        # part of one, or a reset of a connection it had taken. A stalled request is sent
        # again only while the service shows such signs of life.
        self.heard_at: float | None = None

    @classmethod
    def of(cls, feed: NorvixDatafeed) -> Engine:
        settings = settings_of(feed)
        with cls._kept_lock:
            engine = cls._kept.get(settings)
            if engine is None:
                engine = cls._kept[settings] = cls(settings)
                while len(cls._kept) > KEPT_ENGINES:
                    cls._kept.popitem(last=False)[1].close()
            cls._kept.move_to_end(settings)
            return engine

    @property
    def pool(self) -> ThreadPoolExecutor:
        with self._lock:
            if self._pool is None:
                self._pool = ThreadPoolExecutor(max_workers=POOL_THREADS, thread_name_prefix="vnpy_norvix")
            return self._pool

    def scope(self) -> Scope:
        scope = Scope(self.retries, self._forget, self.timeout)
        # A query begun while the service has just shown itself alive is not a silent one:
        # its requests get whole time-outs (a download asks window after window).
        scope.answered = self._heard_since(time.monotonic() - self.timeout)
        with self._lock:
            self._scopes.add(scope)
        return scope

    def _forget(self, scope: Scope) -> None:
        with self._lock:
            self._scopes.discard(scope)

    def abort(self) -> None:
        """Ends every request in flight at once (Ctrl-C)."""
        with self._lock:
            scopes = list(self._scopes)
        for scope in scopes:
            scope.cancel(Failure.of("cancelled", "cancelled"))

    def close(self) -> None:
        self.abort()
        with self._lock:
            pool, self._pool = self._pool, None
        if pool is not None:
            pool.shutdown(wait=False, cancel_futures=True)
        self.transport.close()
        self.room.close()

    def mask(self, text: str) -> str:
        return wire.mask(text, self.password)

    def call(self, endpoint: str, symbol: str, first: str | None = None, last: str | None = None, *,
             exchange: Exchange | None = None, scope: Scope | None = None,
             check: Callable[[bytes, Answer], None] | None = None) -> Answer:
        """One request to `endpoint` (one of wire.ENDPOINTS), sent again after a failure
        that may pass; raises Failure. `check` is given the body of an answer read as OK and what was read of it, and
        raises the Failure of one that does not answer the request."""

        def records(reply: Reply) -> Answer:
            answer = self._decode(endpoint, reply, symbol, exchange)
            if check is not None:
                check(reply.body, answer)
            return answer

        return self._scoped(endpoint, symbol, first, last, scope, records)

    def call_columns(self, endpoint: str, symbol: str, first: str | None = None, last: str | None = None, *,
                     scope: Scope | None = None,
                     check: Callable[[bytes, Answer], None] | None = None) -> ColumnAnswer:
        """`call` for a history endpoint ("day", "minute", "tick"), its answer read into typed
        columns instead of records."""

        def columns(reply: Reply) -> ColumnAnswer:
            status, read, _code, message, skipped, _native = wire.decode_columns(endpoint, reply.body, self.password)
            self._check(status, message)
            answer = ColumnAnswer(skipped=skipped, columns=read)
            if check is not None:
                check(reply.body, answer)
            return answer

        return self._scoped(endpoint, symbol, first, last, scope, columns)

    def _scoped[A: Answer](self, endpoint: str, symbol: str, first: str | None, last: str | None, scope: Scope | None,
                           decode: Callable[[Reply], A]) -> A:
        if scope is None:
            with self.scope() as own:
                return self._scoped(endpoint, symbol, first, last, own, decode)
        try:
            return self._call(endpoint, symbol, first, last, scope, decode)
        except Failure as failure:
            if failure.kind in FATAL and not scope.cancelled:
                scope.cancel(failure)
            raise

    def _call[A: Answer](self, endpoint: str, symbol: str, first: str | None, last: str | None, scope: Scope,
                         decode: Callable[[Reply], A]) -> A:
        if not (self.username and self.password):
            raise Failure.of("no_credentials", "credentials")
        method, path, members = wire.request(endpoint, symbol, first, last)
        what = self.mask(" ".join(str(part) for part in (endpoint, symbol, first, last) if part is not None))
        headers = wire.headers(self.username, self.password)
        began = time.perf_counter()
        retry = Retry(self.retries)
        while True:
            scope.check()
            scope.sleep(self.rate_limit.reserve())
            sent = time.monotonic()
            try:
                with self.room.claim() as claim:  # given back once the answer is decoded
                    reply = self._exchange(method, path, members, headers, scope, claim)
                    answer = claim.run(lambda: decode(reply))
            except Failure as failure:
                retry = retry.increment(failure, scope.budget,
                                        lambda: scope.may_retry_time_out(self.heard_at, sent - self.timeout))
                delay = retry.delay(failure)
                logger.warning(messages.retrying(what, retry.retries, retry.total, failure.reason, delay))
                scope.sleep(delay)
                continue
            scope.budget.earn()
            logger.debug(messages.answered(what, answer.count, len(answer.skipped), retry.retries + 1,
                                           time.perf_counter() - began))
            return answer

    def _exchange(self, method: str, path: str, members: dict[str, object], headers: dict[str, str],
                  scope: Scope, claim: Claim) -> Reply:
        seconds = scope.deadline(self.timeout)
        if seconds <= 0:
            raise self._timed_out()
        with scope.watch(seconds) as watch:
            try:
                reply = self.transport.send(method, self.base_url + path, members, headers, seconds, watch, claim)
            except Exception as error:  # requests' own, and what it lets through
                if watch.cut_by is None and reached(error):  # not our own cut of its socket
                    self._heard(scope)
                raise self._cut(watch, scope) or self._transport_failure(error) from error
            cut = self._cut(watch, scope)
            if cut:  # an answer without a length ends where its socket was shut down
                raise cut
        self._heard(scope)  # the service is there, whatever it said
        if 400 <= reply.status < 600:
            raise self._status_failure(reply)
        return reply

    def _heard(self, scope: Scope) -> None:
        scope.answered = True
        self.heard_at = time.monotonic()

    def _heard_since(self, moment: float) -> bool:
        return self.heard_at is not None and self.heard_at >= moment

    def _cut(self, watch: Watch, scope: Scope) -> Failure | None:
        if watch.cut_by == CANCELLED:
            return scope.why()
        if watch.cut_by == DEADLINE:
            return self._timed_out()
        return None

    def _timed_out(self) -> Failure:
        return Failure.of("timed_out", "timeout", mask=self.mask, retry=Retry.retries_cause("timeout"),
                          base_url=self.base_url, detail=f"{self.timeout:g}秒")

    def _transport_failure(self, error: Exception) -> Failure:
        cause = cause_of(error)
        retry = Retry.retries_cause(cause)
        if cause == "timeout":
            return self._timed_out()
        if cause == "unreachable":
            return Failure.of("unreachable", "unreachable", mask=self.mask, retry=retry, base_url=self.base_url)
        if cause == "too_large":
            return Failure.of("too_large", "too_large", retry=retry, megabytes=f"{self.max_answer_mb:g}")
        return self._request_error(error, retry)

    def _request_error(self, error: Exception, retry: bool) -> Failure:
        return Failure.of("request_error", "unreachable", mask=self.mask, retry=retry, detail=error)

    def _status_failure(self, reply: Reply) -> Failure:
        reason = "http_error_body" if reply.text else "http_error"
        if Retry.retries_status(reply.status):
            return Failure.of(reason, "http", mask=self.mask, retry=True,
                              wait=Retry.wait_asked(reply.headers.get("Retry-After")), status=reply.status,
                              body=reply.text)
        return Failure.of(reason, "credentials" if reply.status in (401, 403) else "http", mask=self.mask,
                          status=reply.status, body=reply.text)

    def _decode(self, endpoint: str, reply: Reply, symbol: str, exchange: Exchange | None) -> Answer:
        status, records, code, message, skipped, _native = wire.decode(endpoint, reply.body, symbol, exchange,
                                                                       self.password)
        self._check(status, message)
        return Answer(records, skipped)

    def _check(self, status: int, message: str | None) -> None:
        """Raises the Failure of an answer the decoder did not read as OK."""
        if status == wire.OK:
            return
        if status == wire.REFUSED:
            raise Failure.of("refused", "refused", mask=self.mask, message=message)
        if status == wire.EMPTY:
            raise Failure.of("empty_body", "unreadable")
        if status == wire.NOT_JSON:
            raise Failure.of("bad_json", "unreadable")
        raise Failure.of("unreadable", "unreadable", mask=self.mask, detail=message or "")

