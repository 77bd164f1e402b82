"""The history queries (daily and one-minute bars, ticks) and the bar-history dispatcher,
against a real local server: what is sent, how records become BarData/TickData, which
records are skipped with which line, the summary lines, envelope failures, and what
propagates to the caller."""

from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Callable

import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData

OK = ("INFO", "请求成功！状态码: 200")
UTC8 = timedelta(hours=8)
ABSENT = object()  # a member left out of a record
PRICES = {"open_price": 3500, "high_price": 3550, "low_price": 3490, "close_price": 3521}


def tick_request(symbol="rb2405", start=datetime(2024, 3, 5, 14, 30), end=datetime(2024, 3, 8), interval=Interval.TICK):
    return HistoryRequest(symbol=symbol, exchange=Exchange.SHFE, start=start, end=end, interval=interval)


@dataclass(frozen=True)
class Query:
    call: Callable  # (feed, symbol) -> result
    endpoint: str
    time_member: str
    time_text: str
    failure: str
    bad_record: str
    success: str  # after the symbol
    no_data: str  # after the symbol

    def record(self, time=None, **members):
        """A good record of this query, with `members` changed (ABSENT leaves one out)."""
        record = {self.time_member: self.time_text if time is None else time,
                  **(PRICES if self.endpoint != "/tickdata/query" else {})}
        record.update(members)
        return {k: v for k, v in record.items() if v is not ABSENT}


QUERIES = {
    "day": Query(lambda f, s: f.query_day_bar_history(s, Exchange.SHFE, "2024-01-01", "2024-03-31"),
                 "/daybar/query", "trading_date", "2024-03-05", "NorviX获取日K线数据失败：",
                 "NorvixData解析K线数据异常：", "的日K线数据成功，共", "的K线数据"),
    "minute": Query(lambda f, s: f.query_minute_bar_history(s, Exchange.SHFE, "2024-01-01", "2024-03-31"),
                    "/minutebar/query", "trading_datetime", "2024-01-02 09:01:00", "NorviX获取分钟K线数据失败：",
                    "NorvixData解析分钟K线数据异常：", "的分钟K线数据成功，共", "的分钟K线数据"),
    "tick": Query(lambda f, s: f.query_tick_history(tick_request(s)),
                  "/tickdata/query", "trading_datetime", "2024-03-05 21:00:01", "NorvixData获取Tick数据失败：",
                  "NorvixData解析Tick数据异常：", "的Tick数据成功，共", "的Tick数据"),
}


def answer(server, query: Query, body):
    server.route(query.endpoint, server.reply_json(body))


def china(nd, *fields) -> datetime:
    return datetime(*fields, tzinfo=nd.CHINA_TZ)


def assert_time(nd, value, *fields):
    """Aware, with the module's own zone object, at exactly the clock time of the text."""
    assert type(value) is datetime and value.tzinfo is nd.CHINA_TZ
    assert value.replace(tzinfo=None) == datetime(*fields) and value.utcoffset() == UTC8


# --- what is sent ---------------------------------------------------------------------------


@pytest.mark.parametrize("query, limit", [("day", 2000), ("minute", 40000)])
@pytest.mark.parametrize("symbol, start, end", [("rb2405", "2024-01-01", "2024-03-31"), ("螺纹钢", "not a date", "")])
def test_bar_request_body(feed, server, query, limit, symbol, start, end):
    method = feed.query_day_bar_history if query == "day" else feed.query_minute_bar_history
    method(symbol, Exchange.DCE, start, end)
    [received] = server.requests
    assert (received.method, received.path, received.query) == ("POST", QUERIES[query].endpoint, "")
    assert list(received.json.items()) == [("instrument_id", symbol), ("start_date", start), ("end_date", end),
                                           ("limit", limit)]


@pytest.mark.parametrize(
    "start, end, interval, trading_date",
    [
        (datetime(2024, 3, 5, 14, 30), None, None, "2024-03-05"),
        (datetime(2024, 3, 5, 14, 30), datetime(2024, 3, 9), Interval.DAILY, "2024-03-05"),
        (datetime(2024, 1, 1, 23, 30, tzinfo=timezone.utc), datetime(2030, 1, 1), Interval.TICK, "2024-01-01"),
    ],
)
def test_tick_request_body_is_one_trading_date(feed, server, start, end, interval, trading_date):
    feed.query_tick_history(tick_request("rb2405", start, end, interval))
    [received] = server.requests
    assert (received.method, received.path, received.query) == ("POST", "/tickdata/query", "")
    assert list(received.json.items()) == [("instrument_id", "rb2405"), ("trading_date", trading_date)]


# --- conversion ------------------------------------------------------------------------------


@pytest.mark.parametrize("query", ["day", "minute"])
def test_bars_are_converted(nd, feed, server, logs, query):
    q = QUERIES[query]
    full = q.record(open_price="3500", high_price=3550.5, low_price=3490, close_price="3521.25",
                    volume=12, turnover="1e6", open_interest=" 7.5 ", exchange="CZCE", symbol="x", interval="1h")
    bare = q.record()  # no volume, turnover, open interest
    answer(server, q, server.envelope([full, bare]))
    bars = q.call(feed, "rb2405")

    common = {"gateway_name": "NorviX", "symbol": "rb2405", "exchange": Exchange.SHFE,
              "interval": Interval.DAILY if query == "day" else Interval.MINUTE, "vt_symbol": "rb2405.SHFE"}
    assert [type(bar) for bar in bars] == [BarData, BarData]
    assert {k: v for k, v in vars(bars[0]).items() if k != "datetime"} == {
        **common, "open_price": 3500.0, "high_price": 3550.5, "low_price": 3490.0, "close_price": 3521.25,
        "volume": 12.0, "turnover": 1e6, "open_interest": 7.5}
    assert {k: v for k, v in vars(bars[1]).items() if k != "datetime"} == {
        **common, **{k: float(v) for k, v in PRICES.items()}, "volume": 0.0, "turnover": 0.0, "open_interest": 0.0}
    for bar in bars:
        assert all(type(getattr(bar, k)) is float for k in (*PRICES, "volume", "turnover", "open_interest"))
        assert_time(nd, bar.datetime, *((2024, 3, 5) if query == "day" else (2024, 1, 2, 9, 1)))
    assert logs == [OK, ("INFO", f"NorvixData获取rb2405{q.success}2条")]


TICK_FULL = {
    "trading_datetime": "2024-03-05 21:00:01", "name": "螺纹钢2405", "volume": 120, "turnover": "4225800.5",
    "open_interest": 1e5, "last_price": "3521.5", "last_volume": 2, "limit_up": 3800, "limit_down": 3300,
    "open": 3500, "high": 3550, "low": 3490, "pre_close": 3510,
    "open_price": 1, "high_price": 2, "low_price": 3, "symbol": "cu", "exchange": "DCE", "datetime": "x",
    **{f"bid_price_{i}": 3521 - i for i in range(1, 6)}, **{f"ask_price_{i}": str(3521 + i) for i in range(1, 6)},
    **{f"bid_volume_{i}": 10 * i for i in range(1, 6)}, **{f"ask_volume_{i}": f"{i}.5" for i in range(1, 6)},
}
TICK_NUMBERS = ["volume", "turnover", "open_interest", "last_price", "last_volume", "limit_up", "limit_down",
                "open_price", "high_price", "low_price", "pre_close",
                *[f"{side}_{kind}_{i}" for kind in ("price", "volume") for side in ("bid", "ask") for i in range(1, 6)]]


def test_ticks_are_converted(nd, feed, server, logs):
    q = QUERIES["tick"]
    answer(server, q, server.envelope([TICK_FULL, {"trading_datetime": "2024-03-05 09:00:00"},
                                       {"trading_datetime": "2024-03-05 09:00:00", "name": None}]))
    ticks = feed.query_tick_history(tick_request())
    assert [type(tick) for tick in ticks] == [TickData] * 3
    full, bare, unnamed = ticks

    assert {k: getattr(full, k) for k in TICK_NUMBERS} == {
        "volume": 120.0, "turnover": 4225800.5, "open_interest": 1e5, "last_price": 3521.5, "last_volume": 2.0,
        "limit_up": 3800.0, "limit_down": 3300.0, "open_price": 3500.0, "high_price": 3550.0, "low_price": 3490.0,
        "pre_close": 3510.0, **{f"bid_price_{i}": 3521.0 - i for i in range(1, 6)},
        **{f"ask_price_{i}": 3521.0 + i for i in range(1, 6)}, **{f"bid_volume_{i}": 10.0 * i for i in range(1, 6)},
        **{f"ask_volume_{i}": i + 0.5 for i in range(1, 6)}}
    assert full.name == "螺纹钢2405"
    assert_time(nd, full.datetime, 2024, 3, 5, 21, 0, 1)

    assert bare.name == "" and unnamed.name is None
    for tick in ticks:
        assert all(type(getattr(tick, k)) is float for k in TICK_NUMBERS)
        assert (tick.symbol, tick.exchange, tick.gateway_name, tick.vt_symbol) == ("rb2405", Exchange.SHFE, "NorviX",
                                                                                 "rb2405.SHFE")
        assert tick.localtime is None and tick.extra is None
    assert all(getattr(bare, k) == 0.0 for k in TICK_NUMBERS)
    assert logs == [OK, ("INFO", "NorvixData获取rb2405的Tick数据成功，共3条")]


# --- records that are skipped --------------------------------------------------------------


@pytest.mark.parametrize(
    "query, bad, error",
    [
        ("day", {"close_price": ABSENT}, "'close_price'"),
        ("day", {"trading_date": ABSENT, "open_price": ABSENT}, "'trading_date'"),
        ("day", {"trading_date": "2024-03-05 09:00:00"}, "unconverted data remains:  09:00:00"),
        ("day", {"trading_date": "2023-02-29"}, "day is out of range for month"),
        ("day", {"open_price": "abc", "close_price": ABSENT}, "could not convert string to float: 'abc'"),
        ("day", {"volume": "1,5"}, "could not convert string to float: '1,5'"),
        ("minute", {"trading_datetime": "2024-01-02 09:01"},
         "time data '2024-01-02 09:01' does not match format '%Y-%m-%d %H:%M:%S'"),
        ("minute", {"trading_datetime": "2024-01-02 09:01:60"}, "second must be in 0..59"),
        ("minute", {"low_price": ABSENT}, "'low_price'"),
        ("tick", {"trading_datetime": ABSENT, "last_price": "abc"}, "'trading_datetime'"),
        ("tick", {"trading_datetime": "2024-03-05 21:00:01.500"}, "unconverted data remains: .500"),
        ("tick", {"trading_datetime": "2024-03-05T21:00:01"},
         "time data '2024-03-05T21:00:01' does not match format '%Y-%m-%d %H:%M:%S'"),
        ("tick", {"bid_volume_1": "abc"}, "could not convert string to float: 'abc'"),
        ("tick", {"ask_price_5": ""}, "could not convert string to float: ''"),
    ],
)
def test_bad_record_is_logged_and_skipped(nd, feed, server, logs, query, bad, error):
    q = QUERIES[query]
    first, last = q.record(volume=1), q.record(volume=3)
    answer(server, q, server.envelope([first, q.record(**bad), last]))
    records = q.call(feed, "rb2405")
    assert [r.volume for r in records] == [1.0, 3.0]
    assert logs == [OK, ("ERROR", q.bad_record + error), ("INFO", f"NorvixData获取rb2405{q.success}2条")]


@pytest.mark.parametrize("query", list(QUERIES))
@pytest.mark.parametrize("body", ["empty", "absent", "all bad"])
def test_no_records_gives_the_no_data_line(feed, server, logs, query, body):
    q = QUERIES[query]
    bad = [q.record(time="2024/03/05"), q.record(time="")]
    answer(server, q, {"empty": server.envelope([]), "absent": {"code": 0, "message": "ok"},
                       "all bad": server.envelope(bad)}[body])
    result = q.call(feed, "IF2403")
    assert result == [] and type(result) is list
    errors = [("ERROR", f"{q.bad_record}time data '{r[q.time_member]}' does not match format "
                        f"'{'%Y-%m-%d' if query == 'day' else '%Y-%m-%d %H:%M:%S'}'")
              for r in bad] if body == "all bad" else []
    assert logs == [OK, *errors, ("INFO", f"NorvixData未获取到IF2403{q.no_data}")]


# --- the envelope and the exchange -------------------------------------------------------------


@pytest.mark.parametrize(
    "body, suffix",
    [
        ({}, ""), ([], ""), (None, ""), (0, ""), (False, ""),
        ({"code": "0", "data": [{}]}, ",None"),
        ({"data": [{}]}, ",None"),
        ({"message": "no code"}, ",no code"),
        ({"code": 1, "message": "abc"}, ",abc"),
        ({"code": None, "message": 12}, ",12"),
        ({"code": True, "message": "真"}, ",真"),
    ],
)
@pytest.mark.parametrize("query", list(QUERIES))
def test_envelope_failure(feed, server, logs, query, body, suffix):
    q = QUERIES[query]
    answer(server, q, body)
    result = q.call(feed, "rb2405")
    assert result == [] and type(result) is list
    assert logs == [OK, ("INFO", f"{q.failure}rb2405{suffix}")]


@pytest.mark.parametrize("code", [0, 0.0, False])
@pytest.mark.parametrize("query", list(QUERIES))
def test_envelope_codes_that_pass(feed, server, logs, query, code):
    q = QUERIES[query]
    answer(server, q, {"code": code, "data": [q.record()]})
    assert len(q.call(feed, "rb2405")) == 1
    assert logs == [OK, ("INFO", f"NorvixData获取rb2405{q.success}1条")]


@pytest.mark.parametrize("query", list(QUERIES))
def test_failed_exchange_then_failure_line(feed, server, logs, query):
    q = QUERIES[query]
    server.route(q.endpoint, server.Reply(500, {}, b""))
    assert q.call(feed, "rb2405") == []
    assert logs == [("ERROR", "错误：HTTP请求失败，状态码: 500"), ("INFO", f"{q.failure}rb2405")]
    feed.initialize("", "secret-pass")
    logs.clear()
    assert q.call(feed, None) == []
    assert logs == [("INFO", "Norvix数据服务：用户名为空！"), ("INFO", f"{q.failure}None")]
    assert len(server.requests) == 1


# --- what propagates ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "query, data, error, message",
    [
        ("day", lambda q: [q.record(), q.record(open_price=None)], TypeError,
         "float() argument must be a string or a real number, not 'NoneType'"),
        ("day", lambda q: [q.record(volume=10**400)], OverflowError, "int too large to convert to float"),
        ("minute", lambda q: [q.record(), [1, 2]], TypeError, "list indices must be integers or slices, not str"),
        ("minute", lambda q: [q.record(time=202401020901)], TypeError, "strptime() argument 1 must be str, not int"),
        ("minute", lambda q: None, TypeError, "'NoneType' object is not iterable"),
        ("tick", lambda q: [q.record(last_price=3500), q.record(last_price=None)], TypeError,
         "float() argument must be a string or a real number, not 'NoneType'"),
        ("tick", lambda q: [q.record(), "abc"], TypeError, "string indices must be integers, not 'str'"),
        ("tick", lambda q: 5, TypeError, "'int' object is not iterable"),
    ],
)
def test_other_exceptions_propagate(feed, server, logs, query, data, error, message):
    q = QUERIES[query]
    answer(server, q, {"code": 0, "message": "", "data": data(q)})
    with pytest.raises(error) as raised:
        q.call(feed, "rb2405")
    assert str(raised.value) == message
    assert logs == [OK]


@pytest.mark.parametrize("body, type_name", [([1], "list"), ("text", "str"), (3, "int"), (True, "bool")])
@pytest.mark.parametrize("query", list(QUERIES))
def test_body_that_is_not_an_object(feed, server, logs, query, body, type_name):
    answer(server, QUERIES[query], body)
    with pytest.raises(AttributeError, match=rf"^'{type_name}' object has no attribute 'get'$"):
        QUERIES[query].call(feed, "rb2405")
    assert logs == [OK]


# --- the dispatcher ----------------------------------------------------------------------------

SHANGHAI_0030 = datetime(2024, 1, 2, 0, 30)  # zone attached per case below


@pytest.mark.parametrize(
    "interval, start, end, chosen, texts",
    [
        (Interval.DAILY, datetime(2024, 1, 1, 9, 30), datetime(2024, 3, 31, 15), "day", ("2024-01-01", "2024-03-31")),
        (Interval.MINUTE, datetime(2024, 1, 1, 9, 30), datetime(2024, 3, 31, 15), "minute",
         ("2024-01-01", "2024-03-31")),
        (Interval.DAILY, datetime(2024, 1, 1, 23, 30, tzinfo=timezone.utc), datetime(2024, 1, 2, tzinfo=timezone.utc),
         "day", ("2024-01-01", "2024-01-02")),
        (Interval.MINUTE, "shanghai", datetime(2024, 1, 1, 20, tzinfo=timezone(timedelta(hours=-5))), "minute",
         ("2024-01-02", "2024-01-01")),
    ],
)
def test_dispatch_by_interval_hands_over_date_texts(nd, feed, server, logs, interval, start, end, chosen, texts):
    start = SHANGHAI_0030.replace(tzinfo=nd.CHINA_TZ) if start == "shanghai" else start
    calls, result = [], object()

    def recorder(name):
        def query(*args, **kwargs):
            calls.append((name, args, kwargs))
            return result
        return query

    feed.query_day_bar_history, feed.query_minute_bar_history = recorder("day"), recorder("minute")
    req = HistoryRequest("rb2405", Exchange.SHFE, start, end, interval)
    assert feed.query_bar_history(req, lambda *a: pytest.fail("output was used")) is result
    assert calls == [(chosen, ("rb2405", Exchange.SHFE, *texts), {})]
    assert logs == [] and server.requests == []


@pytest.mark.parametrize("query, interval", [("day", Interval.DAILY), ("minute", Interval.MINUTE)])
def test_dispatch_end_to_end(nd, feed, server, logs, query, interval):
    q = QUERIES[query]
    answer(server, q, server.envelope([q.record(), q.record(close_price="1")]))
    req = HistoryRequest("rb2405", Exchange.SHFE, datetime(2024, 1, 1, 9, 30), datetime(2024, 3, 31, 15), interval)
    bars = feed.query_bar_history(req)
    assert [(b.interval, b.close_price) for b in bars] == [(interval, 3521.0), (interval, 1.0)]
    [received] = server.requests
    assert (received.path, received.json["start_date"], received.json["end_date"]) == (
        q.endpoint, "2024-01-01", "2024-03-31")
    assert logs == [OK, ("INFO", f"NorvixData获取rb2405{q.success}2条")]


@pytest.mark.parametrize("interval", [Interval.HOUR, Interval.WEEKLY, Interval.TICK, None])
def test_unsupported_interval_is_refused(feed, server, logs, interval):
    req = HistoryRequest("rb2405", Exchange.SHFE, datetime(2024, 1, 1), datetime(2024, 1, 2), interval)
    result = feed.query_bar_history(req, output=None)
    assert result == [] and type(result) is list
    assert logs == [("ERROR", "暂时只支持1分钟和日K查询")]
    assert server.requests == []


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.query_bar_history(HistoryRequest("rb", Exchange.SHFE, datetime(2024, 1, 1), None, Interval.DAILY)),
        lambda f: f.query_bar_history(HistoryRequest("rb", Exchange.SHFE, datetime(2024, 1, 1), None, Interval.HOUR)),
        lambda f: f.query_bar_history(HistoryRequest("rb", Exchange.SHFE, None, datetime(2024, 1, 1), Interval.MINUTE)),
        lambda f: f.query_tick_history(HistoryRequest("rb", Exchange.SHFE, None, datetime(2024, 1, 1), Interval.TICK)),
    ],
)
def test_request_without_a_date_raises_before_anything_is_sent(feed, server, logs, call):
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'strftime'$"):
        call(feed)
    assert logs == [] and server.requests == []
