"""History answers decoded natively, against the Python form.

The module reads a history answer's body itself when that is provably the same as
`response.json()`; otherwise it falls back to it. These tests send answers as bytes over a
real local HTTP server and compare every outcome with the model in oracle.py, fed with what
requests' own `Response.json()` makes of the same bytes and headers. Whether the module
took the native path is observed, without replacing anything, by watching
`Response.json` with sys.monitoring.

NORVIX_FUZZ_WIRE_EXAMPLES sets the examples per query (default 120); scripts/fuzz.sh runs
a long campaign.
"""

import gc
import json
from datetime import datetime

import pytest
import requests
from hypothesis import given, strategies as st
from requests.models import Response
from requests.structures import CaseInsensitiveDict
from requests.utils import get_encoding_from_headers
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, HistoryRequest

from fuzzing import (SHAPES, WIRE_EXAMPLES, Capture, Tally, call, differences, fuzz_settings, json_calls,  # noqa: F401
                     native, wire_answers)  # json_calls, native: fixtures
from helpers import Reply, envelope, reply_json
from oracle import Answer, Model

def decoded_by_requests(body: bytes, headers: dict) -> Answer:
    """What response.json() makes of the body, as the model's answer."""
    response = Response()
    response.status_code, response._content = 200, body
    response.headers = CaseInsensitiveDict(headers)
    response.encoding = get_encoding_from_headers(response.headers)
    try:
        return Answer(value=response.json())
    except Exception as exc:  # noqa: BLE001 - whatever json() raises is the answer
        return Answer(json_error=exc)


SYMBOLS = st.sampled_from(["rb2405", "螺纹钢", "", None, 7])
EXCHANGES = st.sampled_from(list(Exchange))
ARGS = {
    "query_minute_bar_history": st.tuples(SYMBOLS, EXCHANGES, st.just("2024-01-01"), st.just("2024-01-31")),
    "query_day_bar_history": st.tuples(SYMBOLS, EXCHANGES, st.just("2024-01-01"), st.just("2024-01-31")),
    "query_tick_history": st.tuples(st.builds(HistoryRequest, symbol=SYMBOLS, exchange=EXCHANGES,
                                              start=st.just(datetime(2024, 3, 5)), end=st.none(),
                                              interval=st.just(Interval.TICK))),
}


@pytest.mark.extension_only  # the model is the Python form, which NORVIX_IMPL=py tests
@pytest.mark.parametrize("query", list(SHAPES))
def test_bytes_over_http_agree_with_model(nd, feed, server, json_calls, native, query):
    capture, tally = Capture(), Tally(f"{query} as bytes over HTTP")
    counts = [0, 0]  # cases decoded natively, clean cases

    @fuzz_settings(WIRE_EXAMPLES)
    @given(args=ARGS[query], answer=wire_answers(query))
    def agree(args, answer):
        body, headers, clean = answer
        server.default = server.Reply(200, headers, body)
        before = json_calls.count
        got = call(feed, query, args, capture)
        took_native = json_calls.count == before
        want = Model(nd.CHINA_TZ, server.url, "user", "secret-pass").run(query, args,
                                                                           decoded_by_requests(body, headers))
        problems = differences(got, want, None, over_http=True)
        if native and clean and not took_native:
            problems.append("a clean answer was not decoded natively")
        counts[0] += took_native
        counts[1] += clean
        tally.record(f"{query}{args!r} answered {headers!r} {body[:300]!r}", problems)

    tally.run(agree, capture)
    assert counts[0] >= counts[1] > 0 if native else counts[0] == 0


# --- when the fast path may run --------------------------------------------------------------


def service_answer(count: int = 3) -> Reply:
    records = [{"trading_datetime": f"2024-01-02 09:{i % 60:02d}:00", "open_price": 3500 + i, "high_price": 3510.5,
                "low_price": 3490.25, "close_price": 3505, "volume": 12, "open_interest": 1e5} for i in range(count)]
    return reply_json(envelope(records))


def minute_bars(feed):
    return feed.query_minute_bar_history("rb2405", Exchange.SHFE, "2024-01-01", "2024-01-31")


def wrap(owner, name, monkeypatch, seen):
    original = getattr(owner, name)

    def wrapper(*args, **kwargs):
        seen.append(name)
        return original(*args, **kwargs)

    monkeypatch.setattr(owner, name, wrapper)


@pytest.mark.parametrize("target", ["requests.post", "Response.json", "json.loads", "subclass _make_request",
                                    "instance _make_request"])
def test_anything_not_the_library_s_own_goes_through_response_json(nd, feed, server, logs, json_calls, native,
                                                                   monkeypatch, target):
    server.default = service_answer()
    expected = [vars(bar) for bar in minute_bars(feed)]
    expected_lines = list(logs)
    assert json_calls.count == (0 if native else 1), "the service's answer was not decoded natively"

    seen = []
    if target == "requests.post":
        wrap(requests, "post", monkeypatch, seen)
    elif target == "Response.json":
        wrap(Response, "json", monkeypatch, seen)
    elif target == "json.loads":
        wrap(json, "loads", monkeypatch, seen)
    elif target == "subclass _make_request":
        class Feed(nd.NorvixDatafeed):
            def _make_request(self, *args, **kwargs):
                seen.append(target)
                return super()._make_request(*args, **kwargs)
        feed.__class__ = Feed
    else:
        wrap(feed, "_make_request", monkeypatch, seen)
    logs.clear()
    assert [vars(bar) for bar in minute_bars(feed)] == expected
    assert list(logs) == expected_lines
    assert seen and json_calls.count == (1 if native else 2)


def test_records_are_built_by_the_class_unless_it_is_vnpy_s_untouched(nd, feed, server, monkeypatch):
    server.default = service_answer()
    plain = minute_bars(feed)
    assert [type(bar) for bar in plain] == [BarData] * 3
    assert [list(vars(bar)) for bar in plain] == [list(vars(BarData("g", "s", Exchange.SHFE, None)))] * 3

    calls = []
    init = BarData.__init__
    monkeypatch.setattr(BarData, "__init__", lambda self, **kw: (calls.append(kw), init(self, **kw))[1])
    assert [vars(bar) for bar in minute_bars(feed)] == [vars(bar) for bar in plain] and len(calls) == 3
    monkeypatch.undo()

    monkeypatch.setattr(BarData, "__post_init__", lambda self: setattr(self, "vt_symbol", "patched"))
    assert [bar.vt_symbol for bar in minute_bars(feed)] == ["patched"] * 3
    monkeypatch.undo()

    class Sub(BarData):
        volume = property(lambda self: 1.0, lambda self, value: None)
    monkeypatch.setattr(nd, "BarData", Sub)
    bars = minute_bars(feed)
    assert [(type(bar), bar.volume, "volume" in vars(bar)) for bar in bars] == [(Sub, 1.0, False)] * 3


def test_a_namespace_change_during_the_query_is_seen_by_the_records_after_it(nd, feed, server, monkeypatch):
    """A finalizer run by the collector amid the records rebinds BarData and changes the
    class the module reads intervals from; it keeps itself alive until the success line says
    the records are about to be built."""
    from loguru import logger

    server.default = service_answer(20000)

    class Sub(BarData):
        pass

    class Intervals:
        MINUTE = Interval.MINUTE

    armed = []

    class Rebind:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            if armed:
                nd.BarData = Sub
                Intervals.MINUTE = Interval.DAILY
            else:
                Rebind()

    monkeypatch.setattr(nd, "BarData", BarData)
    monkeypatch.setattr(nd, "Interval", Intervals)
    sink = logger.add(lambda m: armed.append(1) if m.record["message"].startswith("请求成功") else None)
    thresholds = gc.get_threshold()
    gc.collect()
    try:
        Rebind()
        gc.set_threshold(100)
        bars = minute_bars(feed)
    finally:
        gc.set_threshold(*thresholds)
        logger.remove(sink)
    kinds = [type(bar) for bar in bars]
    first = kinds.index(Sub)
    assert len(bars) == 20000 and 0 < first and kinds[first:] == [Sub] * (len(bars) - first)
    assert [bar.interval for bar in bars] == [Interval.MINUTE] * first + [Interval.DAILY] * (len(bars) - first)


def test_float_rebound_by_one_member_is_seen_by_the_next_member_of_the_record(nd, feed, server, json_calls,
                                                                              native):
    """Each member reads `float` from the module globals anew, even amid one record."""
    server.default = service_answer(2)
    seen = []

    def once(value):
        seen.append(value)
        del nd.float  # the builtin from the next member on
        return ("F", value)

    nd.float = once
    try:
        first, second = minute_bars(feed)
    finally:
        vars(nd).pop("float", None)
    assert json_calls.count == (0 if native else 1) and seen == [3500]
    assert first.open_price == ("F", 3500) and type(first.high_price) is float and first.high_price == 3510.5
    assert (second.open_price, second.open_interest) == (3501.0, 1e5) and type(second.open_price) is float


def test_a_success_line_that_fails_after_native_decoding_fails_the_exchange(nd, feed, server, monkeypatch):
    server.default = service_answer()
    lines = []

    class Logger:
        def info(self, message):
            if message.startswith("请求成功"):
                raise RuntimeError("sink down")
            lines.append(("INFO", message))

        def error(self, message):
            lines.append(("ERROR", message))

    monkeypatch.setattr(nd, "logger", Logger())
    assert minute_bars(feed) == []
    assert lines == [("ERROR", "未知错误：sink down"), ("INFO", "NorviX获取分钟K线数据失败：rb2405")]
