"""Faults on the wire, against real misbehaving servers on 127.0.0.1.

For every fault the text that ends up in the log is derived from what `requests`
itself raises for the very same exchange (the same call made here), and each call
must end, well inside its time-out, in the request layer's lines, the query's
failure line and an empty result.
"""

import json
import time

import pytest
import requests

from faults import servers
from faults.queries import BY_NAME, QUERIES

SYMBOL = "rb2405"
QUICK = 5.0  # seconds; every fault here ends long before the 10-second time-out
MB50 = 50 * 1024 * 1024

CONNECTION_LINE = ("ERROR", "错误：无法连接到目标服务器")
JSON_LINE = ("ERROR", "错误：响应不是有效的JSON格式")
SUCCESS_LINE = ("INFO", "请求成功！状态码: 200")


@pytest.fixture
def raw():
    srv = servers.RawServer()
    yield srv
    srv.close()


def what_requests_does(url, method="POST", json_data=None, timeout=10):
    """The outcome of the exchange `_make_request` makes, made here with requests directly:
    ("value", decoded JSON) or ("raised", exception)."""
    headers = {"Content-Type": "application/json", "User-Agent": "Python/requests (JSON POST)",
               "mobile": "user", "token": "reference"}
    try:
        if method == "GET":
            response = requests.get(url=url, params=json_data, headers=headers, timeout=timeout)
        else:
            response = requests.post(url=url, json=json_data, headers=headers, timeout=timeout)
        response.raise_for_status()
        return "value", response.json()
    except Exception as exc:  # noqa: BLE001 - the point is to see what it is
        return "raised", exc


def timed(fn):
    started = time.monotonic()
    result = fn()
    return result, time.monotonic() - started


def check_query_fails(feed, logs, query, transport_lines):
    result, elapsed = timed(lambda: query.call(feed, SYMBOL))
    assert result == [] and type(result) is list
    assert logs == query.failure_lines(SYMBOL, transport_lines)
    assert elapsed < QUICK


def check_request_fails(feed, logs, endpoint, transport_lines, timeout=10, bound=QUICK, method="POST"):
    result, elapsed = timed(lambda: feed._make_request(method=method, endpoint=endpoint,
                                                       json_data={"instrument_id": SYMBOL}, timeout=timeout))
    assert result == {} and type(result) is dict
    assert logs == transport_lines
    assert elapsed < bound


# --- connection refused ----------------------------------------------------------------


@pytest.mark.parametrize("query", QUERIES, ids=repr)
def test_connection_refused(feed, logs, refused_port, query):
    feed.base_url = f"http://127.0.0.1:{refused_port}"
    kind, exc = what_requests_does(feed.base_url + query.endpoint, query.method)
    assert kind == "raised" and isinstance(exc, requests.exceptions.ConnectionError)
    check_query_fails(feed, logs, query, [CONNECTION_LINE])


# --- the body breaks off -----------------------------------------------------------------

BODY = servers.envelope([servers.DAY_RECORD] * 200)


@pytest.mark.parametrize("then_reset", [True, False], ids=["reset", "closed"])
@pytest.mark.parametrize("query", [None] + QUERIES, ids=lambda q: "_make_request" if q is None else repr(q))
def test_body_breaks_off_half_way(feed, logs, raw, query, then_reset):
    # Content-Length promises the whole body; a quarter of it arrives, then the
    # connection is reset (RST) or closed (FIN).
    raw.default = servers.truncated(BODY, len(BODY) // 4, then_reset=then_reset)
    feed.base_url = raw.url
    kind, exc = what_requests_does(raw.url + "/daybar/query")
    assert kind == "raised" and isinstance(exc, requests.exceptions.ChunkedEncodingError)
    assert ("reset by peer" in str(exc)) if then_reset else ("IncompleteRead" in str(exc))
    lines = [("ERROR", "未知错误：" + str(exc))]
    logs.clear()
    if query is None:
        check_request_fails(feed, logs, "/daybar/query", lines)
    else:
        check_query_fails(feed, logs, query, lines)


# --- slower than the time-out -------------------------------------------------------------


@pytest.mark.parametrize("method", ["POST", "GET"])
def test_answer_slower_than_the_timeout(feed, logs, raw, method):
    raw.route("/slow", servers.stall(3.0, servers.answer(servers.envelope())))
    feed.base_url = raw.url
    kind, exc = what_requests_does(raw.url + "/slow", method, timeout=0.5)
    assert kind == "raised" and isinstance(exc, requests.exceptions.ReadTimeout)
    logs.clear()
    check_request_fails(feed, logs, "/slow", [("ERROR", "错误：请求超时（0.5秒）")],
                        timeout=0.5, bound=1.5, method=method)


def test_body_that_stalls_after_the_headers(feed, logs, raw):
    # The status line and half the body arrive in time, then nothing: requests reports a
    # read time-out inside the body as a connection error, not as a time-out.
    def behave(conn, request):
        conn.sendall(servers.head(headers={"Content-Type": "application/json",
                                           "Content-Length": str(len(BODY))}) + BODY[: len(BODY) // 2])
        servers.wait_for_hangup(conn, 3.0)

    raw.route("/stall", behave)
    feed.base_url = raw.url
    kind, exc = what_requests_does(raw.url + "/stall", timeout=0.5)
    assert kind == "raised" and type(exc) is requests.exceptions.ConnectionError
    logs.clear()
    check_request_fails(feed, logs, "/stall", [CONNECTION_LINE], timeout=0.5, bound=1.5)


# --- 50 MB ------------------------------------------------------------------------------------


def padded_minute_bars(total: int) -> tuple[bytes, int]:
    """A valid envelope of at least ``total`` bytes: minute bars carrying a large member
    that the query ignores."""
    record = dict(servers.MINUTE_RECORD, memo="x" * 5000)
    one = len(json.dumps(record))
    count = total // one + 1
    return servers.envelope([record] * count), count


def test_50_mb_envelope_is_read_in_full(feed, logs, raw):
    body, count = padded_minute_bars(MB50)
    assert len(body) >= MB50
    raw.default = servers.answer(body)
    feed.base_url = raw.url
    query = BY_NAME["query_minute_bar_history"]
    bars, elapsed = timed(lambda: query.call(feed, SYMBOL))
    assert len(bars) == count
    assert {(b.symbol, b.close_price, b.datetime.isoformat()) for b in bars} == {
        (SYMBOL, 3521.5, "2024-03-05T09:01:00+08:00")}
    assert logs == [SUCCESS_LINE, ("INFO", query.success(SYMBOL, count))]
    assert elapsed < 10


def test_50_mb_of_junk_is_a_decoding_failure(feed, logs, raw):
    junk = b"<html>" + b"\x00\xff junk " * (MB50 // 10) + b"</html>"
    raw.default = servers.answer(junk)
    feed.base_url = raw.url
    kind, exc = what_requests_does(raw.url + "/dominant/query")
    assert kind == "raised" and isinstance(exc, json.JSONDecodeError)
    logs.clear()
    check_query_fails(feed, logs, BY_NAME["query_dominant"], [JSON_LINE])


def test_50_mb_body_cut_short(feed, logs, raw):
    body, _ = padded_minute_bars(MB50)
    raw.default = servers.truncated(body, len(body) // 2, then_reset=False)
    feed.base_url = raw.url
    kind, exc = what_requests_does(raw.url + "/minutebar/query")
    assert kind == "raised" and isinstance(exc, requests.exceptions.ChunkedEncodingError)
    logs.clear()
    check_query_fails(feed, logs, BY_NAME["query_minute_bar_history"], [("ERROR", "未知错误：" + str(exc))])


# --- bodies that are not UTF-8 ----------------------------------------------------------------

REFUSAL = {"code": 1, "message": "凭证无效，请联系管理员", "data": []}

NOT_UTF8 = {
    # GBK without a charset: requests guesses the encoding itself.
    "gbk": (json.dumps(REFUSAL, ensure_ascii=False).encode("gbk"), "application/json"),
    # Declared UTF-8, with bytes that are not UTF-8 inside a string.
    "bad-bytes-in-string": (b'{"code": 1, "message": "\xff\xfe\xfa abc", "data": []}',
                            "application/json; charset=utf-8"),
    # Bytes that are not UTF-8 between the members.
    "bad-bytes-between-members": (b'{"code": 1, \xff"message": "x", "data": []}', "application/json"),
    # A lone surrogate written as an escape: valid JSON, but no UTF-8 text can hold it.
    "lone-surrogate": (b'{"code": 1, "message": "\\ud800 abc", "data": []}', "application/json"),
    # Latin-1 declared by the server.
    "latin-1": (json.dumps({"code": 1, "message": "déjà vu", "data": []}, ensure_ascii=False).encode("latin-1"),
                "application/json; charset=latin-1"),
}


@pytest.mark.parametrize("query", [BY_NAME["query_contracts"], BY_NAME["query_tick_history"]], ids=repr)
@pytest.mark.parametrize("case", sorted(NOT_UTF8))
def test_body_that_is_not_utf8(feed, logs, raw, case, query):
    body, content_type = NOT_UTF8[case]
    raw.default = servers.answer(body, content_type=content_type)
    feed.base_url = raw.url
    kind, outcome = what_requests_does(raw.url + query.endpoint)
    logs.clear()
    result, elapsed = timed(lambda: query.call(feed, SYMBOL))
    assert result == [] and elapsed < QUICK
    if kind == "raised":
        assert isinstance(outcome, json.JSONDecodeError)
        assert logs == query.failure_lines(SYMBOL, [JSON_LINE])
    else:
        # Decoded somehow: the service's refusal, with the message as requests decoded it.
        assert outcome["code"] == 1
        assert logs == [("INFO", line) for line in query.opening(SYMBOL)] + [
            SUCCESS_LINE, ("INFO", f"{query.fail_prefix}{SYMBOL},{outcome['message']}")]


def test_utf16_body_is_decoded(feed, logs, raw):
    # No Content-Type: requests recognises UTF-16 JSON by its zero bytes.
    query = BY_NAME["query_day_bar_history"]
    body = json.dumps({"code": 0, "message": "ok", "data": [servers.DAY_RECORD] * 3}).encode("utf-16-le")
    raw.default = servers.answer(body, content_type=None)
    feed.base_url = raw.url
    assert what_requests_does(raw.url + query.endpoint)[0] == "value"
    logs.clear()
    bars = query.call(feed, SYMBOL)
    assert [b.open_price for b in bars] == [3500.0] * 3
    assert logs == [SUCCESS_LINE, ("INFO", query.success(SYMBOL, 3))]


# --- HTTP/1.0, the body delimited by closing the connection -------------------------------------


@pytest.mark.parametrize("query", QUERIES, ids=repr)
def test_http10_body_without_length(feed, logs, raw, query):
    records = [servers.good_record(query.endpoint) for _ in range(4)]
    raw.default = servers.answer(servers.envelope(records), version="HTTP/1.0", length=-1)
    feed.base_url = raw.url
    result, elapsed = timed(lambda: query.call(feed, SYMBOL))
    assert elapsed < QUICK
    assert len(result) == 4 and all(isinstance(r, query.record_type) for r in result)
    if query.kind == "records":
        assert result == records
    assert logs == [("INFO", line) for line in query.opening(SYMBOL)] + [
        SUCCESS_LINE, ("INFO", query.success(SYMBOL, 4))]
    assert raw.requests[-1].path == query.endpoint


@pytest.mark.parametrize("query", [BY_NAME["query_day_bar_history"], BY_NAME["query_contract_multiplier"]], ids=repr)
def test_http10_body_cut_by_the_close(feed, logs, raw, query):
    # Without a length the client cannot tell a cut body from a whole one: it gets as
    # far as decoding and fails there.
    body = servers.envelope([servers.good_record(query.endpoint)] * 4)
    raw.default = servers.answer(body[: len(body) // 2], version="HTTP/1.0", length=-1)
    feed.base_url = raw.url
    check_query_fails(feed, logs, query, [JSON_LINE])


# --- redirect loop -----------------------------------------------------------------------------


@pytest.mark.parametrize("status", ["302 Found", "307 Temporary Redirect"])
@pytest.mark.parametrize("query", [BY_NAME["query_ex_factor"], BY_NAME["query_contract_multiplier"],
                                   BY_NAME["query_tick_history"]], ids=repr)
def test_redirect_loop(feed, logs, raw, query, status):
    raw.route(query.endpoint, servers.redirect_to(query.endpoint, status))
    feed.base_url = raw.url
    kind, exc = what_requests_does(raw.url + query.endpoint, query.method)
    assert kind == "raised" and isinstance(exc, requests.exceptions.TooManyRedirects)
    logs.clear()
    before = len(raw.requests)
    check_query_fails(feed, logs, query, [("ERROR", "未知错误：" + str(exc))])
    # requests gives up after its 30 redirects: 31 requests in all.
    assert len(raw.requests) - before == 31
    assert {r.method for r in raw.requests[before:]} == ({query.method} if status.startswith("307") or
                                                         query.method == "GET" else {"POST", "GET"})


# --- bodies that break the decoder or the number conversion -------------------------------------

HOSTILE_BODIES = {
    # An integer past the interpreter's digit limit: the decoder raises a plain ValueError.
    "huge-integer": b'{"code": 0, "data": [{"x": ' + b"9" * 5000 + b"}]}",
    # Nesting deep enough to exhaust the decoder's recursion.
    "deep-nesting": b"[" * 200_000 + b"]" * 200_000,
}


@pytest.mark.parametrize("case", sorted(HOSTILE_BODIES))
def test_body_the_decoder_gives_up_on(feed, logs, raw, case):
    raw.default = servers.answer(HOSTILE_BODIES[case])
    feed.base_url = raw.url
    query = BY_NAME["query_dominant"]
    kind, exc = what_requests_does(raw.url + query.endpoint)
    assert kind == "raised" and not isinstance(exc, json.JSONDecodeError)
    logs.clear()
    check_query_fails(feed, logs, query, [("ERROR", "未知错误：" + str(exc))])


@pytest.mark.parametrize("query", [BY_NAME["query_day_bar_history"], BY_NAME["query_tick_history"]], ids=repr)
def test_numbers_beyond_a_float(feed, logs, raw, query):
    # 1e400 decodes to infinity and NaN to nan, both floats; an integer of 400 digits
    # decodes but does not fit a float: OverflowError is not a bad-record error and
    # reaches the caller, as float() raises it.
    price = "last_price" if query.kind == "ticks" else "close_price"
    record = servers.good_record(query.endpoint)
    body = servers.envelope([record, record]).replace(
        f'"{price}": {record[price]}'.encode(), f'"{price}": 1e400'.encode(), 1).replace(
        f'"{price}": {record[price]}'.encode(), f'"{price}": NaN'.encode(), 1)
    raw.default = servers.answer(body)
    feed.base_url = raw.url
    items = query.call(feed, SYMBOL)
    values = [getattr(item, price) for item in items]
    assert len(values) == 2 and values[0] == float("inf") and values[1] != values[1]

    huge = servers.envelope([dict(record, **{price: 10 ** 400})])
    raw.default = servers.answer(huge)
    with pytest.raises(OverflowError) as raised:
        query.call(feed, SYMBOL)
    with pytest.raises(OverflowError) as python:
        float(10 ** 400)
    assert str(raised.value) == str(python.value)
