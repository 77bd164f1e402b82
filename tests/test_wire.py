"""The engine's native entry, vnpy_norvix._wire, against the datafeed it shares its code with.

The same answer bodies go to the datafeed's queries over a real local HTTP server and to
`_wire.decode`; records, skipped records and the request itself must agree."""

import codecs
import gc
import json
import sys
import threading
import time
from datetime import datetime

import pytest
from hypothesis import given, strategies as st
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, HistoryRequest

from fuzzing import (WIRE_EXAMPLES, Capture, Tally, call, fuzz_settings, json_calls, wire_native,  # noqa: F401
                     same, wire_answers)
from helpers import IMPL, Reply, envelope, reply_json

wire = pytest.importorskip("vnpy_norvix._wire")

PASSWORD = "secret-pass"
JSON = {"Content-Type": "application/json"}
KIND = {"query_day_bar_history": "day", "query_minute_bar_history": "minute", "query_tick_history": "tick"}
SKIP_PREFIX = {"query_day_bar_history": "NorvixData解析K线数据异常：", "query_minute_bar_history": "NorvixData解析分钟K线数据异常：",
               "query_tick_history": "NorvixData解析Tick数据异常："}


def history_args(query: str, symbol: str = "rb2405", exchange: Exchange = Exchange.SHFE) -> tuple:
    if query == "query_tick_history":
        return (HistoryRequest(symbol=symbol, exchange=exchange, start=datetime(2024, 3, 5), end=None,
                               interval=Interval.TICK),)
    return symbol, exchange, "2024-01-01", "2024-01-31"


def decode(query: str, body: bytes, password: object = PASSWORD):
    return wire.decode(query, body, "rb2405", Exchange.SHFE, password)


def expected_status(body: bytes) -> int | None:
    """The status the envelope alone decides; None when the records decide (OK or BAD_SHAPE)."""
    try:
        value = json.loads(body)
    except ValueError:
        return wire.NOT_JSON
    if not value:
        return wire.EMPTY
    if not isinstance(value, dict):
        return wire.BAD_SHAPE
    if value.get("code") != 0:
        return wire.REFUSED
    records = value.get("data", [])
    if not isinstance(records, list) or not all(isinstance(r, dict) for r in records):
        return wire.BAD_SHAPE
    return None


# --- differential: the datafeed over HTTP and _wire.decode on the same bytes ------------------


@pytest.mark.parametrize("query", list(KIND))
def test_decode_agrees_with_the_datafeed_on_the_same_bodies(nd, feed, server, json_calls, wire_native, query):
    capture, tally = Capture(), Tally(f"_wire.decode against {query}")
    natives = [0, 0]  # decoded natively by _wire, by the datafeed

    @fuzz_settings(WIRE_EXAMPLES)
    @given(answer=wire_answers(query), exchange=st.sampled_from(list(Exchange)))
    def agree(answer, exchange):
        body, _, _ = answer
        # requests reads a declared charset; json.loads reads bytes as JSON text (UTF-8).
        server.default = Reply(200, JSON, body)
        before = json_calls.count
        core = call(feed, query, history_args(query, "rb2405", exchange), capture)
        core_native = json_calls.count == before
        status, records, code, message, skipped, took_native = wire.decode(KIND[query], body, "rb2405", exchange,
                                                                           PASSWORD)
        problems = []
        try:
            body.decode("utf-8")
        except UnicodeDecodeError:
            # requests then guesses the text's encoding; _wire refuses the body as not JSON
            if status != wire.NOT_JSON:
                problems.append(f"a body that is not UTF-8 gave status {status}")
            tally.record(body[:300], problems)
            return
        want = expected_status(body)
        if body.startswith(codecs.BOM_UTF8):
            # requests decodes a JSON body as UTF-8 text, keeping the mark, which json.loads
            # then refuses; the bytes themselves are JSON, and _wire reads them as json.loads does
            if want is not None and status != want:
                problems.append(f"status {status} for a body with a byte-order mark, json.loads says {want}")
            tally.record(body[:300], problems)
            return
        if want is not None and status != want:
            problems.append(f"status {status}, the envelope says {want}")
        if status == wire.OK:
            if core.error is not None:
                problems.append(f"OK where the datafeed raised {core.error!r}")
            elif not (len(records) == len(core.result) and all(
                    type(g) is type(w) and same(vars(g), vars(w)) for g, w in zip(records, core.result))):
                problems.append(f"records {records!r}\n    datafeed {core.result!r}")
            lines = [m.removeprefix(SKIP_PREFIX[query]) for level, m in core.lines
                     if level == "ERROR" and m.startswith(SKIP_PREFIX[query])]
            if skipped != lines:
                problems.append(f"skipped {skipped!r}, the datafeed's skip lines {lines!r}")
            # Both native builds share the reader; the Python form has none.
            if IMPL == "ext" and took_native != core_native:
                problems.append(f"native {took_native}, the datafeed's {core_native}")
        elif status == wire.BAD_SHAPE and want is None:
            # a record the conversion fails on: the datafeed's query raises the same
            if core.error is None or message != f"{type(core.error).__name__}: {core.error}":
                problems.append(f"BAD_SHAPE {message!r}, datafeed {core.error!r}")
        elif status == wire.REFUSED:
            value = json.loads(body)
            if not (same(code, value.get("code")) and same(message, value.get("message"))):
                problems.append(f"REFUSED with {code!r}, {message!r}: not the envelope's members")
        if status != wire.OK and records != []:
            problems.append(f"status {status} with records {records!r}")
        natives[0] += took_native
        natives[1] += core_native
        tally.record(f"{exchange} {body[:300]!r}", problems)

    tally.run(agree, capture)
    assert (IMPL == "py" or natives[0] == natives[1]) and (natives[0] > 0) == wire_native


def bar(**members) -> dict:
    return {"trading_date": "2024-01-02", "open_price": 1, "high_price": 2, "low_price": 0.5, "close_price": 1.5,
            **members}


@pytest.mark.parametrize("body, status, code, message", [
    *[(text, wire.EMPTY, None, "") for text in (b"{}", b"[]", b"null", b"false", b"0", b'""')],
    (b'{"code": 401, "message": "token secret-pass expired"}', wire.REFUSED, 401, "token secret-pass expired"),
    (b'{"code": "0"}', wire.REFUSED, "0", None),
    (b'{"code": null, "data": []}', wire.REFUSED, None, None),
    (b"<html>502</html>", wire.NOT_JSON, None, "Expecting value: line 1 column 1 (char 0)"),
    (b"", wire.NOT_JSON, None, "Expecting value: line 1 column 1 (char 0)"),
    (b"[1, 2]", wire.BAD_SHAPE, None, "the answer is not an object but list"),
    (b'{"code": 0, "data": null}', wire.BAD_SHAPE, None, "data is not a list but NoneType"),
    (b'{"code": 0, "data": {"a": 1}}', wire.BAD_SHAPE, None, "data is not a list but dict"),
    (json.dumps({"code": 0, "data": [bar(), "x"]}).encode(), wire.BAD_SHAPE, None,
     "a record is not an object but str"),
    (json.dumps({"code": 0, "data": [bar(), bar(open_price=None)]}).encode(), wire.BAD_SHAPE, None,
     "TypeError: float() argument must be a string or a real number, not 'NoneType'"),
])
def test_every_status(body, status, code, message):
    got = decode("day", body)
    assert got == (status, [], code, message, [], False) and type(got[2]) is type(code)


def test_reference_queries_hand_back_the_data_list_checked():
    records = [{"symbol": "rb", "dominant": "rb2405"}, {"symbol": "hc"}]
    got = decode("dominant", json.dumps(envelope(records)).encode())
    assert got == (wire.OK, records, None, "", [], False)
    assert decode("multiplier", json.dumps(envelope([1])).encode())[0] == wire.BAD_SHAPE


def test_reasons_and_messages_never_hold_the_password():
    body = json.dumps({"code": 0, "data": [bar(trading_date=PASSWORD), bar(open_price=PASSWORD), bar()]})
    status, records, _, _, skipped, _ = decode("day", body.encode())
    assert status == wire.OK and len(records) == 1
    assert skipped == ["time data '******' does not match format '%Y-%m-%d'",
                       "could not convert string to float: '******'"]
    # bytes passwords in both readings; None masks nothing
    assert wire.mask("é and \\u00e9 and xé", "é".encode()) == "****** and ****** and xé"
    assert wire.mask("None of it", None) == "None of it"
    assert wire.mask('{"token": "a\\"b"}', 'a"b') == '{"token": "******"}'
    # an escape right before it is the character it writes, not a letter of a longer word
    assert (wire.mask('x\\ndemo-token, \\u0041demo-token, \\x20demo-token', 'demo-token')
            == 'x\\n******, \\u0041demo-token, \\x20******')


def test_a_plain_answer_is_read_natively_and_a_fallback_gives_the_same_records(wire_native):
    records = [bar(trading_date=f"2024-01-{d:02d}", volume=d) for d in range(1, 29)]
    plain = json.dumps(envelope(records)).encode()
    fast, slow = decode("day", plain), decode("day", "\ufeff".encode() + plain)
    assert (fast[5], slow[5]) == (wire_native, False)
    assert fast[0] == slow[0] == wire.OK and len(fast[1]) == 28
    assert all(type(a) is BarData and same(vars(a), vars(b)) for a, b in zip(fast[1], slow[1]))


# --- the request the datafeed sends ------------------------------------------------------------


REQUESTS = {
    "day": ("query_day_bar_history", ("rb2405", Exchange.SHFE, "2024-01-01", "2024-01-31"), ("2024-01-01", "2024-01-31")),
    "minute": ("query_minute_bar_history", ("rb2405", Exchange.SHFE, "2024-01-01", "2024-01-31"),
               ("2024-01-01", "2024-01-31")),
    "tick": ("query_tick_history", history_args("query_tick_history"), ("2024-03-05",)),
    "dominant": ("query_dominant", ("rb", "2024-01-01", "2024-01-31"), ("2024-01-01", "2024-01-31")),
    "contracts": ("query_contracts", ("rb", "2024-03-05"), ("2024-03-05",)),
    "ex_factor": ("query_ex_factor", ("rb", "2024-01-01", None), ("2024-01-01", None)),
    "multiplier": ("query_contract_multiplier", ("rb",), ()),
}


def test_request_headers_and_limit_are_what_the_datafeed_sends(feed, server):
    assert set(wire.QUERIES) == set(REQUESTS) and wire.TIMEOUT == 10
    headers = wire.headers("user", PASSWORD)
    assert list(headers) == ["Content-Type", "User-Agent", "mobile", "token"]
    for query, (method_name, args, dates) in REQUESTS.items():
        server.requests.clear()
        getattr(feed, method_name)(*args)
        (received,) = server.requests
        symbol = args[0].symbol if query == "tick" else args[0]
        method, endpoint, members = wire.request(query, symbol, *dates)
        assert (method, endpoint) == (received.method, received.path), query
        if method == "GET":
            assert {k: [str(v)] for k, v in members.items()} == received.params
        else:
            assert list(members.items()) == list(received.json.items()), query
        assert wire.limit(query) == members.get("limit"), query
        assert all(received.header(name) == value for name, value in headers.items()), query
    assert wire.request(query="multiplier", symbol="rb")[1] == "/multiplier/query"
    with pytest.raises(ValueError, match="^unknown query 'week'$"):
        wire.request("week", "rb")
    with pytest.raises(ValueError, match="^unknown query 'Day'$"):
        wire.limit("Day")
    with pytest.raises(TypeError, match="^query must be str, not int$"):
        wire.decode(1, b"{}", "rb", Exchange.SHFE, None)


# --- the collector's pause --------------------------------------------------------------------


class Refusing(BarData):
    raised: type[BaseException] = RuntimeError

    def __init__(self, **kwargs):
        raise self.raised("refused by secret-pass")


@pytest.mark.parametrize("raised", [RuntimeError, KeyboardInterrupt])
def test_the_collector_is_restored_on_every_exit(monkeypatch, raised):
    body = json.dumps(envelope([bar()])).encode()
    monkeypatch.setattr(Refusing, "raised", raised)
    monkeypatch.setattr(wire, "BarData", Refusing)
    if raised is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            decode("day", body)
    else:
        assert decode("day", body)[:4] == (wire.BAD_SHAPE, [], None, "RuntimeError: refused by ******")
    assert gc.isenabled()
    gc.disable()
    try:
        assert decode("day", body)[0] == wire.BAD_SHAPE if raised is RuntimeError else True
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_overlapping_calls_on_several_threads_restore_the_collector():
    body = json.dumps(envelope([bar(trading_date=f"2024-01-{1 + i % 28:02d}") for i in range(3000)])).encode()
    results: list[int] = []

    def work():
        for _ in range(4):
            results.append(len(decode("day", body)[1]))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert results == [3000] * 16 and gc.isenabled()


def test_other_threads_run_while_a_large_answer_is_parsed():
    # The fetch threads decode while the writer thread saves: a large body is parsed
    # without the interpreter's lock. With no forced switches, the spinning thread runs
    # only while this one lets the lock go (its sleep lets it go on each turn).
    record = {"trading_datetime": "2024-03-05 09:01:00", "open_price": 3512.0, "high_price": 3515.5,
              "low_price": 3510.0, "close_price": 3514.0, "volume": 1200, "turnover": 42150000.0,
              "open_interest": 1500000}
    body = json.dumps({"code": 0, "message": "success", "data": [record] * 200_000}).encode()
    spins, stop, started = [0], threading.Event(), threading.Event()

    def spin() -> None:
        started.set()
        while not stop.is_set():
            spins[0] += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    thread = threading.Thread(target=spin)
    try:
        thread.start()
        started.wait()
        before = spins[0]
        status, columns, *_ = wire.decode_columns("minute", body, None)
        during = spins[0] - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert status == 0 and len(columns["close_price"]) == 200_000
    assert during > 0
