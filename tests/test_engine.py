"""vnpy_norvix's engine against misbehaving servers on 127.0.0.1: retries and what is
never retried, the retry budget, deadlines, the rate limit, credentials on redirects,
cancellation, connection reuse, and failures reported the same with logging off."""

import json
import os
import subprocess
import sys
import threading
import time
import tracemalloc
import zlib
from datetime import datetime
from email.utils import formatdate

import pytest
from loguru import logger
from vnpy.trader.constant import Exchange, Interval

from helpers import REPO, SERVICE_TOKEN, SERVICE_USER, ask, envelope, outputs
from faults import servers

DAY = {"trading_date": "2024-03-04", "open_price": 1, "high_price": 2, "low_price": 1, "close_price": 2}
GOOD = json.dumps(envelope([DAY, {**DAY, "trading_date": "2024-03-05"}])).encode()


NO_PRODUCTS = "/multiplier/query"


@pytest.fixture
def raw():
    made: list[servers.RawServer] = []

    def make(default=None) -> servers.RawServer:
        """A server that names no products, so that no contract check stands before a query."""
        made.append(servers.RawServer(default))
        made[-1].route(NO_PRODUCTS, servers.answer(servers.envelope(data=[]), keep_alive=True))
        return made[-1]

    yield make
    for server in made:
        server.close()


@pytest.fixture
def feed_on(plugin_feed, short_backoff):
    """A vnpy_norvix datafeed on `url` with the given datafeed.* settings, short backoffs."""
    return plugin_feed


def engine(feed):
    from vnpy_norvix.engine import Engine

    return Engine.of(feed)


def day(feed):
    """One request for the daily bars of March 2024."""
    return engine(feed).call("day", "rb2405", "2024-03-01", "2024-03-29", exchange=Exchange.SHFE)


def first_then(failing: servers.Behaviour, times: int = 1) -> servers.Behaviour:
    """`failing` for the first `times` requests, the good answer afterwards."""
    count = [0]
    good = servers.answer(GOOD)

    def behave(conn, request):
        count[0] += 1
        return (failing if count[0] <= times else good)(conn, request)

    return behave


@pytest.mark.parametrize("failing, waited", [
    (servers.answer(b"busy", status="503 Service Unavailable"), 0),
    (servers.truncated(GOOD, 10, then_reset=True), 0),
    (lambda conn, _request: servers.reset(conn), 0),
    (servers.answer(b"", status="429 Too Many Requests", extra={"Retry-After": "1"}), 1.0),
    (lambda conn, request: servers.answer(b"", status="429 Too Many Requests", extra={
        "Retry-After": formatdate(time.time() + 2, usegmt=True)})(conn, request), 1.0),
], ids=["503", "reset-mid-body", "reset", "429-seconds", "429-date"])
def test_a_passing_failure_is_retried_to_the_same_records(raw, feed_on, failing, waited):
    clean, flaky = raw(servers.answer(GOOD)), raw(first_then(failing, times=2))
    expected = day(feed_on(clean.url))

    answer = day(feed_on(flaky.url))
    assert answer.records == expected.records and len(answer.records) == 2
    assert len(flaky.requests) == 3
    gaps = [later - earlier for earlier, later in zip(flaky.times, flaky.times[1:])]
    assert min(gaps) >= waited * 0.9  # the Retry-After was waited for (an HTTP date to the second)


def test_a_retry_after_is_capped_for_the_waiting_gui_thread():
    from vnpy_norvix.engine.retry import RETRY_AFTER_CAP, Retry

    asked = ["3600", formatdate(time.time() + 86400, usegmt=True), "-5", "nan", "soon", None]
    assert [Retry.wait_asked(value) for value in asked] == [RETRY_AFTER_CAP, RETRY_AFTER_CAP, 0.0, None, None, None]


@pytest.mark.parametrize("reply, kind, text", [
    (servers.answer(b"no such endpoint", status="404 Not Found"), "http", "HTTP错误404：no such endpoint"),
    (servers.answer(b"", status="401 Unauthorized"), "credentials", "HTTP错误401"),
    (servers.answer(json.dumps(envelope(code=1002, message="invalid credentials")).encode()), "refused",
     "invalid credentials"),
    (servers.answer(b"<html>gateway</html>"), "unreadable", "JSON"),
], ids=["404", "401", "refusal", "not-json"])
def test_a_final_answer_is_not_retried(raw, feed_on, reply, kind, text):
    from vnpy_norvix.engine import Failure

    server = raw(reply)
    with pytest.raises(Failure) as failure:
        day(feed_on(server.url))
    assert (failure.value.kind, len(server.requests)) == (kind, 1) and text in failure.value.reason


def test_retries_stop_at_the_setting_then_at_the_query_budget(raw, feed_on):
    from vnpy_norvix.engine import Failure

    server = raw(servers.answer(b"", status="503 Service Unavailable"))
    with pytest.raises(Failure) as failure:
        day(feed_on(server.url, retries=2))
    assert failure.value.kind == "http" and len(server.requests) == 3

    # A year of minute bars: 13 windows, 4 at a time, on a service that always fails.
    feed = feed_on(server.url, retries=3)
    server.requests.clear()
    began = time.monotonic()
    records, output = ask(feed, Interval.MINUTE, datetime(2024, 1, 1), datetime(2024, 12, 31))
    assert records == [] and len(output) == 1 and "重试次数已用完" in output[0] and "HTTP错误503" in output[0]
    # Each request is sent once, and retried from the shared budget only.
    assert len(server.requests) <= 4 + 2 * 3 and time.monotonic() - began < 10


def gzipped(*parts: bytes, repeat: int = 1) -> bytes:
    """gzip of the parts, the middle one `repeat` times: a small body that inflates far."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    head, middle, tail = parts
    return packer.compress(head) + b"".join(packer.compress(middle) for _ in range(repeat)) + packer.compress(tail) \
        + packer.flush()


@pytest.mark.parametrize("status", ["200 OK", "500 Internal Server Error", "307 Temporary Redirect"])
def test_an_answer_past_the_size_limit_fails_and_memory_stays_bounded(raw, feed_on, status):
    from vnpy_norvix.engine import Failure

    # 64 MB of padding inside a valid envelope, sent as 64 KB of gzip; the limit is 2 MB.
    bomb = gzipped(GOOD[:-1], b" " * (1 << 20), b"}", repeat=64)
    server = raw(servers.answer(GOOD))
    server.route("/daybar/query", servers.answer(bomb, status=status, extra={
        "Content-Encoding": "gzip", "Location": f"{server.url}/elsewhere"}))
    feed = feed_on(server.url, max_answer_mb=2)
    tracemalloc.start()
    try:
        if status.startswith("307"):  # a redirect's body is dropped unread: nothing to inflate
            assert len(day(feed).records) == 2
        else:
            with pytest.raises(Failure) as failure:
                day(feed)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 << 20, f"{peak / 2**20:.1f} MB held for a 2 MB limit"
    if not status.startswith("307"):
        assert failure.value.kind == "too_large" and "2MB" in failure.value.reason
        assert "datafeed.max_answer_mb" in failure.value.reason
        assert len(server.requests) == 1  # the same answer would come again: not retried

    # The limit counts inflated bytes: an answer of exactly the limit is read, one byte more is not.
    limit = 2048
    for size, fails in ((limit, False), (limit + 1, True)):
        body = GOOD[:-1] + b" " * (size - len(GOOD)) + b"}"
        server = raw(servers.answer(gzipped(body, b"", b""), extra={"Content-Encoding": "gzip"}))
        feed = feed_on(server.url, max_answer_mb=limit / 2**20)
        if fails:
            with pytest.raises(Failure, match="MB"):
                day(feed)
        else:
            assert len(day(feed).records) == 2
    # A redirect's body is counted too, as it comes.
    server = raw(servers.answer(b"x" * 4 * limit, status="302 Found", extra={"Location": "/elsewhere"}))
    with pytest.raises(Failure) as failure:
        day(feed_on(server.url, max_answer_mb=limit / 2**20))
    assert failure.value.kind == "too_large"


@pytest.mark.parametrize("behaviour", [
    servers.stall(30),
    servers.drip(GOOD, every=0.3),
    servers.drip(GOOD, every=30),
], ids=["no-head", "drip", "stalled-body"])
def test_an_answer_that_does_not_come_whole_ends_at_the_deadline(raw, feed_on, behaviour):
    from vnpy_norvix.engine import Failure

    server = raw(behaviour)
    began = time.monotonic()
    with pytest.raises(Failure) as failure:
        day(feed_on(server.url, retries=0, timeout=1))
    assert failure.value.kind == "timeout" and "请求超时（1秒）" in failure.value.reason
    assert 0.9 < time.monotonic() - began < 2.5


def test_a_silent_service_fails_a_query_after_one_retry_of_a_time_out(raw, feed_on):
    """Four windows time out side by side: one of them is sent again, then the query ends."""
    server = raw(servers.stall(30))
    began = time.monotonic()
    records, output = ask(feed_on(server.url, timeout=1), Interval.MINUTE, datetime(2024, 1, 1),
                          datetime(2024, 12, 31))
    assert records == [] and len(output) == 1 and "请求超时（1秒）" in output[0]
    windows = [request for request in server.requests if request.path != NO_PRODUCTS]
    assert len(windows) <= 4 + 1 and time.monotonic() - began < 3.5


def test_a_service_that_never_answers_ends_a_whole_query_within_its_time_out(raw, feed_on):
    """Nothing answers, the reference request included: every window and retry shares the
    query's one time-out (not one per retry)."""
    server = raw(servers.stall(30))
    server.routes.clear()
    began = time.monotonic()
    records, output = ask(feed_on(server.url, timeout=3), Interval.MINUTE, datetime(2024, 1, 1),
                          datetime(2024, 12, 31))
    assert records == [] and len(output) == 1 and "请求超时" in output[0]
    assert time.monotonic() - began < 3 + 2


def test_requests_keep_to_the_rate_limit_across_threads(raw, feed_on):
    server = raw(servers.answer(GOOD, keep_alive=True))
    feed = feed_on(server.url, rate_limit=10)
    failures: list[BaseException] = []

    def run() -> None:
        try:
            for _ in range(6):
                day(feed)
        except BaseException as error:
            failures.append(error)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=30)
    assert failures == [] and len(server.times) == 24
    times = sorted(server.times)
    busiest = max(sum(1 for t in times if start <= t < start + 1.0) for start in times)
    assert busiest <= 11
    assert times[-1] - times[0] >= 2.0  # 24 requests at 10 a second


@pytest.mark.parametrize("elsewhere", [True, False], ids=["other-origin", "same-origin"])
def test_credentials_follow_a_redirect_only_to_the_same_origin(raw, feed_on, elsewhere):
    target = raw(servers.answer(GOOD))
    server = raw()
    location = (target.url if elsewhere else server.url) + "/moved"
    server.route("/daybar/query", servers.redirect_to(location, status="307 Temporary Redirect"))
    server.route("/moved", servers.answer(GOOD))

    answer = day(feed_on(server.url))
    assert len(answer.records) == 2
    landed = (target if elsewhere else server).requests[-1]
    assert landed.path == "/moved"
    sent = {name: landed.headers.get(name) for name in ("mobile", "token")}
    assert sent == ({"mobile": None, "token": None} if elsewhere else {"mobile": "user", "token": "secret-pass"})


def test_a_fatal_failure_ends_the_other_windows_in_flight(raw, feed_on):
    """Four windows side by side: one is refused the credentials, the others hang."""
    hung_up: list[bool] = []

    def behave(conn, request):
        if json.loads(request.body)["start_date"] == "2024-01-01":
            time.sleep(0.3)  # the others are in flight by now
            return servers.answer(b"", status="403 Forbidden")(conn, request)
        hung_up.append(servers.wait_for_hangup(conn, 20))

    server = raw(behave)
    began = time.monotonic()
    records, output = ask(feed_on(server.url), Interval.MINUTE, datetime(2024, 1, 1), datetime(2024, 12, 31))
    assert records == [] and len(output) == 1 and "HTTP错误403" in output[0]
    assert time.monotonic() - began < 3
    deadline = time.monotonic() + 5
    while len(hung_up) < 3 and time.monotonic() < deadline:
        time.sleep(0.05)
    windows = [request for request in server.requests if request.path != NO_PRODUCTS]
    assert hung_up == [True, True, True] and len(windows) == 4


def test_abort_ends_requests_in_flight(raw, feed_on):
    from vnpy_norvix.engine import Failure

    server = raw(servers.stall(20))
    feed = feed_on(server.url)
    caught: list[Failure] = []

    def run() -> None:
        try:
            day(feed)
        except Failure as failure:
            caught.append(failure)

    thread = threading.Thread(target=run)
    thread.start()
    while not server.requests:
        time.sleep(0.02)
    began = time.monotonic()
    engine(feed).abort()
    thread.join(timeout=5)
    assert time.monotonic() - began < 1 and [failure.kind for failure in caught] == ["cancelled"]


def test_large_answers_are_read_one_at_a_time_on_one_thread_and_one_waiting_ends_when_cut(raw, feed_on,
                                                                                          monkeypatch):
    """Answers larger than the engine's room: the second is read once the first is decoded,
    by the same thread; one waiting behind a stalled answer ends when its own query is
    cancelled, and the room is given back."""
    from vnpy_norvix.engine import Failure, transport

    reading: list[tuple[float, float]] = []
    readers: set[str] = set()
    bounded = transport._bounded

    def timed(response, limit):
        began = time.monotonic()
        readers.add(threading.current_thread().name)
        try:
            return bounded(response, limit)
        finally:
            reading.append((began, time.monotonic()))

    monkeypatch.setattr(transport, "_bounded", timed)
    caught: list[str] = []

    def start(feed, scope=None) -> threading.Thread:
        def run() -> None:
            try:
                caught.append(str(len(engine(feed).call("day", "rb2405", "2024-03-01", "2024-03-29",
                                                        exchange=Exchange.SHFE, scope=scope).records)))
            except Failure as failure:
                caught.append(failure.kind)

        thread = threading.Thread(target=run)
        thread.start()
        return thread

    feed = feed_on(raw(servers.drip(GOOD, every=0.002)).url)
    engine(feed).room.size = 1
    for thread in [start(feed), start(feed)]:
        thread.join(timeout=10)
    (_, first_read), (second_began, _) = sorted(reading)
    assert caught == ["2", "2"] and second_began >= first_read and len(readers) == 1

    server = raw(servers.drip(GOOD, every=30))
    feed = feed_on(server.url)
    engine(feed).room.size = 1
    holder = start(feed)
    while not server.requests:
        time.sleep(0.02)
    time.sleep(0.2)  # its head arrived: it holds the room, reading
    with engine(feed).scope() as scope:
        waiter = start(feed, scope)
        while len(server.requests) < 2:
            time.sleep(0.02)
        time.sleep(0.2)
        began = time.monotonic()
        scope.cancel(Failure.of("cancelled", "cancelled"))
        waiter.join(timeout=5)
    assert time.monotonic() - began < 1 and caught[2:] == ["cancelled"] and holder.is_alive()
    engine(feed).abort()
    holder.join(timeout=5)
    assert engine(feed).room.used == 0


def test_a_query_reuses_its_connections(raw, feed_on):
    server = raw(servers.answer(json.dumps(envelope([])).encode(), keep_alive=True))
    feed = feed_on(server.url)
    for _ in range(2):
        records, output = ask(feed, Interval.MINUTE, datetime(2024, 1, 1), datetime(2024, 12, 31))
        assert records == [] and output == []
    windows = [request for request in server.requests if request.path != NO_PRODUCTS]
    assert len(windows) == 2 * 13 and server.accepted <= feed.workers


# --- failures reported the same whatever the logging --------------------------------------

CASES = {
    "refused": ("service", {}),
    "unreachable": ("refused_port", {}),
    "http-500": ("raw", servers.answer(b"oops", status="500 Internal Server Error")),
    "not-json": ("raw", servers.answer(b"<html>")),
    "null-price": ("raw", servers.answer(json.dumps(envelope([{**DAY, "open_price": None}])).encode())),
    "skipped": ("raw", servers.answer(json.dumps(envelope([DAY, {**DAY, "close_price": "x"}])).encode())),
}


# helpers first: it moves HOME away before vn.py is imported.
SCRIPT = """
import json, sys
import helpers
from loguru import logger
from vnpy.trader.setting import SETTINGS
from vnpy_norvix import Datafeed
logger.remove()
SETTINGS["datafeed.retries"] = 0
result = {}
for name, (url, password) in json.loads(sys.argv[1]).items():
    feed = Datafeed()
    feed.base_url = url
    feed.initialize("demo", password)
    result[name] = helpers.outputs(feed)
print(json.dumps(result))
"""


def test_failures_reach_output_the_same_with_logging_off(raw, feed_on, service, refused_port, tmp_path):
    targets: dict[str, tuple[str, str]] = {}
    for name, (where, reply) in CASES.items():
        if where == "service":
            targets[name] = (service, "other-secret")
        elif where == "refused_port":
            targets[name] = (f"http://127.0.0.1:{refused_port}", SERVICE_TOKEN)
        else:
            targets[name] = (raw(reply).url, SERVICE_TOKEN)

    def run_all() -> dict[str, list[str]]:
        result = {}
        for name, (url, password) in targets.items():
            result[name] = outputs(feed_on(url, SERVICE_USER, password, retries=0))
        return result

    logged = run_all()
    assert all(logged.values()) and "invalid credentials" in logged["refused"][0]
    assert "1条记录无法解析" in logged["skipped"][0] and "TypeError" in logged["null-price"][0]
    for name in ("norvix_datafeed", "vnpy_norvix"):
        logger.disable(name)
    try:
        assert run_all() == logged
    finally:
        for name in ("norvix_datafeed", "vnpy_norvix"):
            logger.enable(name)

    # Every sink removed: in a process of its own, since the test's own sinks go too.
    done = subprocess.run([sys.executable, "-c", SCRIPT, json.dumps(targets)], cwd=REPO, capture_output=True,
                          text=True, timeout=120, env={**os.environ, "PYTHONPATH": f"{REPO}{os.pathsep}{REPO / 'tests'}"})
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == logged


def test_a_numeric_setting_that_is_no_finite_number_is_warned_of_and_its_default_taken(monkeypatch):
    from vnpy.trader.setting import SETTINGS
    from vnpy_norvix import Datafeed
    from vnpy_norvix.engine.engine import settings_of

    defaults = settings_of(Datafeed())
    warnings: list[str] = []
    sink = logger.add(lambda message: warnings.append(message.record["message"]), level="WARNING")
    try:
        for key, bad in (("datafeed.retries", float("inf")), ("datafeed.timeout", float("inf")),
                         ("datafeed.rate_limit", "x"), ("datafeed.max_answer_mb", 0)):
            for value in (bad, float("nan"), -1):
                monkeypatch.setitem(SETTINGS, key, value)
                warnings.clear()
                assert settings_of(Datafeed()) == defaults, (key, value)
                assert len(warnings) == 1 and key in warnings[0], (key, value, warnings)
            monkeypatch.delitem(SETTINGS, key)
    finally:
        logger.remove(sink)
