"""Record conversion, property-based: every time text and numeric member that reaches a
history query comes out exactly as the Python expression the query is defined by,

    datetime.strptime(text, fmt).replace(tzinfo=CHINA_TZ)      float(value)

the same value (and type, and zone object), or the same exception: a KeyError or
ValueError in the record's error line, any other exception raised out of the query.

The module-level ``requests`` is replaced by a stand-in that answers with the envelope of
the example, so no example needs HTTP. The strategies shared with the differential tests
live in fuzzing.py.
"""

import builtins
import os
import struct
from datetime import datetime, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import pytest
import requests
from fakes import StandInRequests
from fuzzing import BIG, JSON_NUMBERS, Text, date_texts, weighted
from hypothesis import HealthCheck, example, given, settings as hsettings, strategies as st
from loguru import logger
from vnpy.trader.constant import Exchange
from vnpy.trader.object import HistoryRequest

EXAMPLES = int(os.environ.get("NORVIX_PROPS_EXAMPLES", "300"))
PROPS = hsettings(max_examples=EXAMPLES, deadline=None, database=None,
                  suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])

OK = ("INFO", "请求成功！状态码: 200")
DAY_FMT, MINUTE_FMT = "%Y-%m-%d", "%Y-%m-%d %H:%M:%S"

# --- strategies ---------------------------------------------------------------------------


class Floaty:
    """A value with its own __float__ (and one that fails in it)."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Indexy:
    def __index__(self):
        return 12


# ... and values only a Python caller could put there: float() accepts more than JSON.
PYTHON_NUMBERS = st.sampled_from([
    Decimal("1.1"), Decimal("nan"), Decimal("sNaN"), Fraction(1, 3), Indexy(), Floaty(2.5),
    Floaty(ValueError("custom")), Floaty(KeyError("custom")), Floaty("not a float"), b"1.5", b"abc",
    bytearray(b"2.5"), Text("7.25"), Text("seven"), 3 + 0j, object(),
])
NUMBERS = weighted((3, JSON_NUMBERS), (1, PYTHON_NUMBERS))


# --- outcome of the plain expression, and of the module ------------------------------------


def expect(function, *args):
    """("value", v) or ("error", type, message) of calling the plain expression."""
    try:
        return ("value", function(*args))
    except Exception as exc:
        return ("error", type(exc), str(exc))


def same_float(a, b) -> bool:
    return type(a) is type(b) and struct.pack("<d", a) == struct.pack("<d", b)


def same_time(a, b) -> bool:
    return (type(a) is type(b) and a.tzinfo is b.tzinfo and a.fold == b.fold
            and a.replace(tzinfo=None) == b.replace(tzinfo=None))


@pytest.fixture
def service(nd, monkeypatch):
    stand_in = StandInRequests()
    monkeypatch.setattr(nd, "requests", stand_in)
    return stand_in


@pytest.fixture
def datafeed(nd, settings):
    feed = nd.NorvixDatafeed()
    feed.username, feed.password = "user", "secret-pass"
    return feed


class Captured:
    def __enter__(self):
        self.lines = []
        self._id = logger.add(lambda m: self.lines.append((m.record["level"].name, m.record["message"])),
                              level=0, format="{message}")
        return self.lines

    def __exit__(self, *exc):
        logger.remove(self._id)


def run(call):
    """(result, exception, log lines) of one query call."""
    with Captured() as lines:
        try:
            return call(), None, lines
        except Exception as exc:
            return None, exc, lines


# query -> (call, time member, time format, parse-error prefix, no-data line)
QUERIES = {
    "day": (lambda f: f.query_day_bar_history("rb", Exchange.SHFE, "2024-01-01", "2024-01-31"),
            "trading_date", DAY_FMT, "NorvixData解析K线数据异常：", "NorvixData未获取到rb的K线数据"),
    "minute": (lambda f: f.query_minute_bar_history("rb", Exchange.SHFE, "2024-01-01", "2024-01-31"),
               "trading_datetime", MINUTE_FMT, "NorvixData解析分钟K线数据异常：", "NorvixData未获取到rb的分钟K线数据"),
    "tick": (lambda f: f.query_tick_history(HistoryRequest("rb", Exchange.SHFE, datetime(2024, 3, 5))),
             "trading_datetime", MINUTE_FMT, "NorvixData解析Tick数据异常：", "NorvixData未获取到rb的Tick数据"),
}
SUCCESS = {"day": "NorvixData获取rb的日K线数据成功，共1条", "minute": "NorvixData获取rb的分钟K线数据成功，共1条",
           "tick": "NorvixData获取rb的Tick数据成功，共1条"}
VALID_TIME = {DAY_FMT: "2024-03-05", MINUTE_FMT: "2024-03-05 21:00:01"}
PRICES = {"open_price": 1, "high_price": 2, "low_price": 0.5, "close_price": "1.5"}


def check_one_record(query, got, expected, field_of):
    """The module's outcome for a one-record answer against the plain expression's."""
    _, _, _, prefix, no_data = QUERIES[query]
    result, raised, logged = got
    if expected[0] == "value":
        assert raised is None, f"raised {raised!r}, expected {expected[1]!r}"
        assert len(result) == 1
        assert logged == [OK, ("INFO", SUCCESS[query])]
        return field_of(result[0])
    _, exc_type, message = expected
    if issubclass(exc_type, (KeyError, ValueError)):
        assert raised is None, f"raised {raised!r}, expected the error line"
        assert result == [] and logged == [OK, ("ERROR", prefix + message), ("INFO", no_data)]
    else:
        assert (type(raised), str(raised)) == (exc_type, message)
        assert result is None and logged == [OK]
    return None


TIME_CASES = st.sampled_from(list(QUERIES)).flatmap(
    lambda query: st.tuples(st.just(query), date_texts(with_time=QUERIES[query][2] == MINUTE_FMT)))


def time_examples():
    """The edges every run must include, whatever hypothesis draws."""
    day = ["2024-02-29", "2023-02-29", "1900-02-29", "2000-02-29", "2100-02-29", "0000-01-01", "0001-01-01",
           "9999-12-31", "2024-1-5", "2024-01- 5", " 2024-01-05", "2024-01-05 ", "٢٠٢٤-٠١-٠٥", "２０２４-０１-０５",
           "2024-13-01", "2024-03-05 00:00:00", ""]
    minute = ["2024-03-05 24:00:00", "2024-03-05 23:59:60", "2024-03-05 23:59:61", "2024-03-05T21:00:01",
              "2024-03-05 21:00:01.500", "2024-03-05  9:1:1", "2024-03-05\t21:00:01", "2024-02-29 23:59:59",
              "2023-02-29 00:00:00", "2024-03-05 21:00", "０２０２４-03-05 21:00:01", "2024-03-05 ٢١:٠٠:٠١"]
    cases = [("day", text) for text in day] + [(q, text) for q in ("minute", "tick") for text in minute]

    def decorate(test):
        for case in cases:
            test = example(case=case)(test)
        return test
    return decorate


@PROPS
@given(case=TIME_CASES)
@time_examples()
def test_time_text_is_parsed_like_strptime(nd, datafeed, service, case):
    query, text = case
    call, member, fmt, _, _ = QUERIES[query]
    service.body = {"code": 0, "data": [{member: text, **PRICES}]}
    expected = expect(lambda: datetime.strptime(text, fmt).replace(tzinfo=nd.CHINA_TZ))
    got = check_one_record(query, run(lambda: call(datafeed)), expected, lambda r: r.datetime)
    if got is not None:
        assert same_time(got, expected[1]), (got, expected[1])


# (query, record member, record field): a required price, an optional amount, tick members
MEMBERS = [
    ("day", "open_price", "open_price"), ("day", "close_price", "close_price"), ("day", "volume", "volume"),
    ("minute", "high_price", "high_price"), ("minute", "open_interest", "open_interest"),
    ("tick", "last_price", "last_price"), ("tick", "open", "open_price"), ("tick", "low", "low_price"),
    ("tick", "bid_volume_5", "bid_volume_5"), ("tick", "ask_price_1", "ask_price_1"),
]


def number_examples():
    values = ["nan", "-nan", "inf", "-Infinity", "1e400", " 1.5 ", "1_000", "1__000", "0x10", "", "abc", "١٢٣",
              "１２３.５", "3521.5", None, True, False, 0, -0.0, 12, 10**400, -(10**400), BIG, [1], {"a": 1}]

    def decorate(test):
        for i, value in enumerate(values):
            test = example(case=MEMBERS[i % len(MEMBERS)], value=value)(test)
        return test
    return decorate


@PROPS
@given(case=st.sampled_from(MEMBERS), value=NUMBERS)
@number_examples()
def test_numeric_member_is_converted_like_float(datafeed, service, case, value):
    query, member, field = case
    call, time_member, fmt, _, _ = QUERIES[query]
    record = {time_member: VALID_TIME[fmt], **(PRICES if query != "tick" else {})}
    record[member] = value
    service.body = {"code": 0, "data": [record]}
    expected = expect(float, value)
    got = check_one_record(query, run(lambda: call(datafeed)), expected, lambda r: getattr(r, field))
    if got is not None:
        assert same_float(got, expected[1]), (got, expected[1])


@PROPS
@given(values=st.lists(st.tuples(st.sampled_from(["open_price", "high_price", "volume", "turnover"]), NUMBERS),
                       min_size=2, max_size=4),
       time=date_texts(with_time=False))
def test_first_failure_in_member_order_decides(nd, datafeed, service, values, time):
    """A record with several doubtful members reports what the plain expressions would hit first."""
    record = {"trading_date": time, **PRICES}
    record.update(values)

    def plain():
        dt = datetime.strptime(record["trading_date"], DAY_FMT).replace(tzinfo=nd.CHINA_TZ)
        numbers = [float(record[name]) for name in ("open_price", "high_price", "low_price", "close_price")]
        numbers += [float(record.get(name, 0)) for name in ("volume", "turnover", "open_interest")]
        return dt, numbers

    service.body = {"code": 0, "data": [record]}
    expected = expect(plain)
    got = check_one_record("day", run(lambda: QUERIES["day"][0](datafeed)), expected,
                           lambda bar: (bar.datetime, [bar.open_price, bar.high_price, bar.low_price,
                                                       bar.close_price, bar.volume, bar.turnover,
                                                       bar.open_interest]))
    if got is not None:
        assert same_time(got[0], expected[1][0])
        assert all(same_float(a, b) for a, b in zip(got[1], expected[1][1]))


# --- the module's names are read at call time --------------------------------------------


class StampedTime(datetime):
    pass


def one_of_each(datafeed, service, time_day="2024-03-05", time_minute="2024-03-05 09:01:00"):
    """A one-record answer through each history query, in order day, minute, tick."""
    results = []
    for query in QUERIES:
        call, member, fmt, _, _ = QUERIES[query]
        service.body = {"code": 0, "data": [{member: time_day if fmt == DAY_FMT else time_minute, **PRICES}]}
        results.append(call(datafeed))
    return results


def test_rebound_datetime_class_is_used_for_every_text(nd, datafeed, service, monkeypatch):
    monkeypatch.setattr(nd, "datetime", StampedTime)
    for [record] in one_of_each(datafeed, service):
        assert type(record.datetime) is StampedTime and record.datetime.tzinfo is nd.CHINA_TZ
    monkeypatch.setattr(nd, "datetime", datetime)
    for [record] in one_of_each(datafeed, service):
        assert type(record.datetime) is datetime


def test_stand_in_datetime_decides_value_and_errors(nd, datafeed, service, monkeypatch, logs):
    calls = []

    class Clock:
        @staticmethod
        def strptime(text, fmt):
            calls.append((text, fmt))
            if text.startswith("bad"):
                raise ValueError("no such time")
            return datetime(1999, 12, 31, 23, 59)

    monkeypatch.setattr(nd, "datetime", Clock)
    [day], [minute], [tick] = one_of_each(datafeed, service)
    assert calls == [("2024-03-05", DAY_FMT), ("2024-03-05 09:01:00", MINUTE_FMT), ("2024-03-05 09:01:00", MINUTE_FMT)]
    for record in (day, minute, tick):
        assert record.datetime == datetime(1999, 12, 31, 23, 59, tzinfo=nd.CHINA_TZ)
        assert record.datetime.tzinfo is nd.CHINA_TZ
    logs.clear()
    assert one_of_each(datafeed, service, "bad", "bad") == [[], [], []]
    assert [line for line in logs if line[0] == "ERROR"] == [
        ("ERROR", "NorvixData解析K线数据异常：no such time"), ("ERROR", "NorvixData解析分钟K线数据异常：no such time"),
        ("ERROR", "NorvixData解析Tick数据异常：no such time")]


def test_rebound_float_is_called_then_builtin_again(nd, datafeed, service):
    seen = []

    def tagged(value):
        seen.append(value)
        return ("F", value)

    nd.float = tagged
    try:
        [day], [minute], [tick] = one_of_each(datafeed, service)
    finally:
        vars(nd).pop("float", None)
    assert (day.open_price, day.close_price, day.volume) == (("F", 1), ("F", "1.5"), ("F", 0))
    assert (minute.low_price, minute.open_interest) == (("F", 0.5), ("F", 0))
    assert tick.open_price == ("F", 0) and tick.ask_volume_5 == ("F", 0)
    assert seen == [1, 2, 0.5, "1.5", 0, 0, 0] * 2 + [0] * 31

    [day], [minute], [tick] = one_of_each(datafeed, service)
    assert (day.open_price, day.close_price, minute.volume, tick.bid_price_1) == (1.0, 1.5, 0.0, 0.0)
    assert all(type(v) is float for v in (day.open_price, day.close_price, minute.volume, tick.bid_price_1))
    assert len(seen) == 45


def test_float_from_builtins_is_used_when_the_module_has_none(nd, datafeed, service):
    real = builtins.float

    class Marked(real):
        pass

    assert "float" not in vars(nd)
    builtins.float = lambda value: Marked(real(value))
    try:
        [day], _, [tick] = one_of_each(datafeed, service)
    finally:
        builtins.float = real
    assert type(day.open_price) is Marked and day.close_price == 1.5 and type(tick.last_price) is Marked


@pytest.mark.parametrize("zone", [timezone(timedelta(hours=-3)), None, "Asia/Shanghai"])
def test_rebound_china_tz_is_attached_as_given(nd, datafeed, service, monkeypatch, zone):
    monkeypatch.setattr(nd, "CHINA_TZ", zone)
    if isinstance(zone, str):
        with pytest.raises(TypeError, match=r"^tzinfo argument must be None or of a tzinfo subclass, not type 'str'$"):
            one_of_each(datafeed, service)
        return
    for [record] in one_of_each(datafeed, service):
        assert record.datetime.tzinfo is zone
        assert record.datetime.replace(tzinfo=None) in (datetime(2024, 3, 5), datetime(2024, 3, 5, 9, 1))
