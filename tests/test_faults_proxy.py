"""The plug-in through a fault-injecting proxy in front of the local data service
(tests/faults/proxy.py), and the proxy itself: a clean pass-through changes no answer and
keeps the client's connection alive, and each fault reaches a plain client as meant."""

from __future__ import annotations

import itertools
import json
import socket
import time
from collections.abc import Callable, Iterator
from datetime import datetime

import pytest
import requests
from vnpy.trader.constant import Interval

from commands import cli, make_home, ok, stored_rows
from helpers import SERVICE_TOKEN, SERVICE_USER, ask
from faults import servers
from faults.proxy import FaultProxy, Faults, Seen

CREDENTIALS = {"mobile": SERVICE_USER, "token": SERVICE_TOKEN}
MINUTE_BARS = ("/minutebar/query", {"instrument_id": "rb2405", "start_date": "2024-03-05", "end_date": "2024-03-07"})

StartProxy = Callable[..., FaultProxy]


@pytest.fixture
def start_proxy(service: str) -> Iterator[StartProxy]:
    """Starts proxies in front of the service (or of `upstream`); all stop after the test,
    each with every one of its threads ended."""
    started: list[FaultProxy] = []

    def start(faults: Faults = Faults(), upstream: str = service) -> FaultProxy:
        started.append(FaultProxy(upstream, faults))
        return started[-1]

    yield start
    for proxy in started:
        proxy.close()


def _post(session: requests.Session, base: str, timeout: float | tuple[float, float] = 10,
          **options: object) -> requests.Response:
    path, body = MINUTE_BARS
    return session.post(base + path, json=body, headers=CREDENTIALS, timeout=timeout, **options)


# --- the proxy itself ---------------------------------------------------------------


def test_clean_pass_through_answers_as_the_service_on_one_kept_alive_connection(service, start_proxy):
    proxy = start_proxy()
    exchanges: list[tuple[str, str, dict[str, object]]] = [
        ("POST", MINUTE_BARS[0], {"json": MINUTE_BARS[1], "headers": CREDENTIALS}),
        ("GET", "/multiplier/query", {"headers": CREDENTIALS}),
        ("POST", "/daybar/query", {"data": b"not json", "headers": CREDENTIALS}),  # the service's refusal
        ("POST", "/daybar/query", {"json": {"instrument_id": "rb2405"}}),  # no credentials
        ("GET", "/no/such/endpoint", {"headers": CREDENTIALS}),  # 404
        ("POST", MINUTE_BARS[0], {"json": MINUTE_BARS[1], "headers": CREDENTIALS}),
    ]
    with requests.Session() as direct, requests.Session() as proxied:
        for method, path, options in exchanges:
            want = direct.request(method, service + path, timeout=10, **options)
            got = proxied.request(method, proxy.url + path, timeout=10, **options)
            assert (got.status_code, got.headers["Content-Type"], got.content) == (
                want.status_code, want.headers["Content-Type"], want.content), path
    assert len(want.content) > 100_000  # a large answer came through whole
    assert proxy.connections == 1
    assert [seen.path for seen in proxy.requests] == [path for _, path, _ in exchanges]


def _chunked(conn: socket.socket, _request: servers.Request) -> None:
    body = json.dumps({"code": 0, "data": list(range(3000))}).encode()
    parts = [body[i:i + 1000] for i in range(0, len(body), 1000)]
    conn.sendall(servers.head(headers={"Transfer-Encoding": "chunked", "Connection": "close"})
                 + b"".join(b"%x\r\n%s\r\n" % (len(part), part) for part in parts) + b"0\r\n\r\n")


@pytest.mark.parametrize("behaviour", [
    servers.answer(b'{"code": 0, "data": [1, 2]}'),  # Content-Length, then closes
    servers.answer(b'{"code": 0, "data": [3]}', version="HTTP/1.0", length=-1),  # ends with the close
    _chunked,
], ids=["content-length", "close-delimited", "chunked"])
def test_every_answer_framing_reaches_a_kept_alive_client(start_proxy, behaviour):
    upstream = servers.RawServer(default=behaviour)
    try:
        proxy = start_proxy(upstream=upstream.url)
        with requests.Session() as session:
            answers = [session.get(proxy.url + "/x", timeout=10) for _ in range(3)]
        direct = requests.get(upstream.url + "/x", timeout=10)
    finally:
        upstream.close()
    assert [answer.content for answer in answers] == [direct.content] * 3
    assert proxy.connections == 1


def test_resets_reach_the_client_before_or_after_the_head(start_proxy):
    for faults in (Faults(reset_connection=1.0), Faults(reset_before_answer=1.0)):
        with pytest.raises(requests.ConnectionError):
            _post(requests.Session(), start_proxy(faults).url)
    answer = _post(requests.Session(), start_proxy(Faults(reset_mid_answer=1.0)).url, stream=True)
    assert answer.status_code == 200  # the head came, the body breaks off
    with pytest.raises((requests.exceptions.ChunkedEncodingError, requests.ConnectionError)):
        answer.content


def test_503_bursts_run_for_their_length_on_any_connection(start_proxy):
    proxy = start_proxy(Faults(seed=7, burst_503=0.2, burst_length=3))
    sessions = [requests.Session(), requests.Session()]
    statuses = [_post(session, proxy.url).status_code for session, _ in zip(itertools.cycle(sessions), range(40))]
    assert set(statuses) == {200, 503}
    runs = [len(list(group)) for status, group in itertools.groupby(statuses) if status == 503]
    assert len(runs) >= 2 and all(run >= 3 for run in runs[:-1]), runs  # the last may be cut short


def test_429_says_retry_after_one_second_and_keeps_the_connection(start_proxy):
    proxy = start_proxy(Faults(too_many_requests=1.0))
    with requests.Session() as session:
        answers = [_post(session, proxy.url) for _ in range(2)]
    assert [(a.status_code, a.headers.get("Retry-After")) for a in answers] == [(429, "1")] * 2
    assert proxy.connections == 1


def test_latency_delays_the_unchanged_answer(service, start_proxy):
    answer = _post(requests.Session(), start_proxy(Faults(latency=1.0, latency_seconds=0.5)).url)
    assert answer.elapsed.total_seconds() >= 0.5
    assert answer.content == _post(requests.Session(), service).content


def test_connect_seconds_delay_a_connections_first_answer_only(start_proxy):
    proxy = start_proxy(Faults(connect_seconds=0.4))
    with requests.Session() as session:
        first, second = (_post(session, proxy.url) for _ in range(2))
    assert first.elapsed.total_seconds() >= 0.4 and second.elapsed.total_seconds() < 0.4
    assert first.content == second.content and proxy.connections == 1
    with pytest.raises(ValueError):
        Faults(connect_seconds=-1.0)


def test_a_silent_stall_outlasts_the_read_time_out(start_proxy):
    proxy = start_proxy(Faults(stall=1.0, stall_seconds=30))
    with pytest.raises(requests.exceptions.ReadTimeout):
        _post(requests.Session(), proxy.url, timeout=(2, 1))
    proxy.close()  # ends the stall at once: no thread outlives it


def test_a_trickling_stall_defeats_a_per_read_time_out(start_proxy):
    proxy = start_proxy(Faults(stall=1.0, stall_trickle=True, stall_seconds=3))
    answer = _post(requests.Session(), proxy.url, timeout=(2, 1.5), stream=True)
    assert answer.status_code == 200
    assert len(answer.raw.read(2)) == 2  # one byte a second, each sooner than the time-out
    with pytest.raises((requests.exceptions.ChunkedEncodingError, requests.ConnectionError)):
        answer.content


def test_busiest_second_counts_any_one_second_window(start_proxy):
    proxy = start_proxy()
    proxy.requests.extend(Seen(at, "/x") for at in (10.0, 10.4, 10.9, 11.0, 11.3, 15.0))
    assert proxy.busiest_second() == 4  # 10.4 to 11.3


# --- the plug-in through the proxy --------------------------------------------------------

# Minute bars over six windows of the engine, ticks of three trading days (and their calendar).
HISTORIES = {
    "minute": (Interval.MINUTE, datetime(2024, 1, 2), datetime(2024, 5, 31, 15)),
    "tick": (Interval.TICK, datetime(2024, 5, 27, 9), datetime(2024, 5, 29, 15)),
}
MINUTE_WINDOWS = 6
# Faults of every passing kind. The seed's first three draws are below 0.05: the first
# three connections or requests, in whatever order they come, meet a reset.
FLAKY = Faults(seed=8916, reset_connection=0.05, reset_before_answer=0.06, reset_mid_answer=0.06, burst_503=0.04,
               burst_length=2, too_many_requests=0.04, latency=0.1, latency_seconds=0.2)


@pytest.fixture
def feed_through(plugin_feed):
    """A vnpy_norvix datafeed on `url` with the service's credentials and the given settings."""
    return lambda url, **values: plugin_feed(url, SERVICE_USER, SERVICE_TOKEN, **values)


def history(feed, name: str) -> tuple[list, list[str]]:
    return ask(feed, *HISTORIES[name], symbol="rb2410")


@pytest.mark.parametrize("name", HISTORIES)
def test_passing_faults_leave_the_records_as_a_clean_run_gives_them(start_proxy, feed_through, short_backoff,
                                                                    name):
    clean = start_proxy()
    want, output = history(feed_through(clean.url), name)
    assert output == [] and len(want) > 10_000
    flaky = start_proxy(FLAKY)
    got, output = history(feed_through(flaky.url, retries=6), name)
    assert output == []
    assert got == want
    assert sum(flaky.injected.values()) >= 3, flaky.injected


def _dead_service(start_proxy: StartProxy, how: str) -> FaultProxy:
    if how == "refused":
        proxy = start_proxy()
        proxy.close()  # nothing listens on its port any more
        return proxy
    return start_proxy({"reset-on-connect": Faults(reset_connection=1.0),
                        "reset-before-answer": Faults(reset_before_answer=1.0),
                        "503-always": Faults(burst_503=1.0)}[how])


@pytest.mark.parametrize("how", ["refused", "reset-on-connect", "reset-before-answer", "503-always"])
def test_a_dead_service_fails_the_query_within_its_retry_budget(start_proxy, feed_through, how):
    from vnpy_norvix import messages
    from vnpy_norvix.engine.engine import DEFAULT_RETRIES
    from vnpy_norvix.engine.retry import BUDGET_PER_RETRY

    proxy = _dead_service(start_proxy, how)
    feed = feed_through(proxy.url)  # default retries, time-out and backoff
    began = time.monotonic()
    records, output = history(feed, "minute")
    assert time.monotonic() - began < 60
    assert records == []
    reason = messages.reason("http_error", status="503") if how == "503-always" else messages.reason(
        "unreachable", base_url=proxy.url)
    assert len(output) == 1 and output[0].startswith(messages.failed("rb2410.SHFE", Interval.MINUTE, reason)), output
    # Each window tried once, and tried again only while the query's budget lasted.
    attempts = len(proxy.requests) if how == "503-always" else proxy.connections
    assert attempts <= MINUTE_WINDOWS + BUDGET_PER_RETRY * DEFAULT_RETRIES


@pytest.mark.parametrize("faults", [Faults(), Faults(seed=3, burst_503=0.1, too_many_requests=0.05)],
                         ids=["clean", "with-retries"])
def test_requests_keep_to_the_rate_limit_in_every_second(start_proxy, feed_through, short_backoff, faults):
    proxy = start_proxy(faults)
    feed = feed_through(proxy.url, rate_limit=4, retries=4)
    for name in HISTORIES:
        records, output = history(feed, name)
        assert records and output == []
    assert len(proxy.requests) > 4 * 2
    # Evenly spaced, one a quarter second: the fifth after a request lands on the edge of
    # the second that request opens, on either side of it as the clocks jitter.
    assert proxy.busiest_second() <= 4 + 1, [round(seen.at - proxy.requests[0].at, 3) for seen in proxy.requests]


def test_a_multi_window_query_opens_no_more_connections_than_its_workers(start_proxy, feed_through):
    proxy = start_proxy()
    feed = feed_through(proxy.url)
    assert feed.init(print) is True  # one lookup
    for name in HISTORIES:
        records, output = history(feed, name)
        assert records and output == []
    assert len(proxy.requests) > feed.workers + 1
    assert proxy.connections <= feed.workers


def test_a_download_through_resets_503s_429s_and_one_stall_equals_a_clean_one(tmp_path, service, start_proxy):
    """The first minute request stalls past the time-out: the service is alive (it answered
    the daily bars, it resets and refuses), so that request is sent again like any other."""
    args = ["download", "rb2405.SHFE", "--start", "2024-01-02", "--end", "2024-03-29", "--interval", "d", "1m"]
    clean = make_home(tmp_path / "clean", service)
    ok(cli(clean, *args))
    proxy = start_proxy(Faults(seed=11, reset_connection=0.05, reset_before_answer=0.05, burst_503=0.05,
                               burst_length=2, too_many_requests=0.05, stall_path="/minutebar/query", stall_nth=1,
                               stall_seconds=8))
    flaky = make_home(tmp_path / "flaky", proxy.url, **{"datafeed.timeout": 2, "datafeed.retries": 6})
    ok(cli(flaky, *args))
    assert proxy.injected["stall"] == 1 and sum(proxy.injected.values()) >= 3, proxy.injected
    assert stored_rows(flaky) == stored_rows(clean)
