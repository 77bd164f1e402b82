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
import math
import os
import random
import sys
from datetime import datetime

import pytest
import requests
from hypothesis import given, strategies as st
from requests.models import Response
from requests.structures import CaseInsensitiveDict
from requests.utils import get_encoding_from_headers
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, HistoryRequest

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
from watch import JsonCalls  # noqa: E402

from conftest import Reply, envelope, reply_json
from oracle import BAR_AMOUNTS, BAR_PRICES, TICK_NUMBERS, Answer, Model
from test_differential import Capture, Tally, call, differences, fuzz_settings

WIRE_EXAMPLES = int(os.environ.get("NORVIX_FUZZ_WIRE_EXAMPLES", "120"))


@pytest.fixture
def native(nd) -> bool:
    """Whether the extension was built with its native decoder (it then links simdjson)."""
    with open(nd.__file__, "rb") as so:
        return b"libsimdjson" in so.read()


@pytest.fixture
def json_calls():
    with JsonCalls() as calls:
        yield calls


# --- answers as bytes ---------------------------------------------------------------------


class Raw(str):
    """JSON text written as it is."""


class Obj(list):
    """A JSON object as (key, value) pairs: duplicates and any key spelling allowed."""


def dump(value, ascii: bool, seps: tuple) -> str:
    if isinstance(value, Raw):
        return value
    if isinstance(value, Obj):
        return "{" + seps[0].join(
            (k if isinstance(k, Raw) else json.dumps(k, ensure_ascii=ascii)) + seps[1] + dump(v, ascii, seps)
            for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + seps[0].join(dump(v, ascii, seps) for v in value) + "]"
    return json.dumps(value, ensure_ascii=ascii)


def number_text(rng: random.Random) -> str:
    """A JSON number of 1 to 40 significant digits: an integer, a fraction with the point
    anywhere or after leading zeros, with or without an exponent, in every sign and spelling."""
    digits = str(rng.randint(1, 9)) + "".join(rng.choices("0123456789", k=rng.randint(0, 39)))
    if rng.random() < 0.03:  # zeros: -0 is json.loads' int 0, -0.0 its negative zero
        digits = "0"
    elif rng.random() < 0.3:  # runs of zeros or nines, where rounding is decided far along
        digits = digits[:rng.randint(1, len(digits))] + rng.choice("09") * rng.randint(0, 25)
    form = rng.choice(["integer", "point", "leading", "trailing"])
    if form == "point" and len(digits) > 1:
        at = rng.randint(1, len(digits) - 1)
        digits = digits[:at] + "." + digits[at:]
    elif form == "leading":
        digits = "0." + "0" * rng.randint(0, 20) + digits
    elif form == "trailing":
        digits += "." + "0" * rng.randint(1, 20)
    if rng.random() < 0.5:
        exponent = rng.choice([rng.randint(-30, 30), rng.randint(-345, 310),
                               rng.choice([-1, 1]) * rng.randint(10**18, 10**22)])
        sign = "-" if exponent < 0 else rng.choice(["", "+"])
        digits += rng.choice("eE") + sign + str(abs(exponent))
    return rng.choice(["", "-"]) + digits


def read_natively(text: str) -> bool:
    """Whether the fast path reads the number (json.loads then gives an int within int64, or
    a finite float other than a negative zero)."""
    value = json.loads(text)
    if isinstance(value, int):
        return -2**63 <= value < 2**63
    return math.isfinite(value) and not (value == 0 and math.copysign(1, value) < 0)


NUMBER_TEXTS = st.randoms(use_true_random=False).map(number_text)
NUMBERS = st.one_of(st.integers(-10**12, 10**12), st.floats(-1e15, 1e15).filter(
    lambda x: not (x == 0 and math.copysign(1, x) < 0)), NUMBER_TEXTS.filter(read_natively).map(Raw))
EXTRA = st.recursive(st.none() | st.booleans() | st.integers(-99, 99) | st.floats(-9, 9) | st.text(max_size=5),
                     lambda inner: st.lists(inner, max_size=2), max_leaves=4)
LITERALS = ["NaN", "Infinity", "-Infinity", "1e400", "-1e400", "1e-400", "-0", "-0.0", "0.0", "1E2", "2.5e+3",
            "123456789012345678901234567890", "9223372036854775807", "9223372036854775808",
            "-9223372036854775809", "18446744073709551615", "4.9e-324", "1.7976931348623157e308",
            "-0.000000000000000000000", "-0e-400", "-92233720368547758090", "18446744073709551616",
            "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720",
            "1797693134862315807937289714053034150799e270",
            "true", "false", "null", '"3521.5"', '" 1.5 "', '"abc"', "[]", "{}"]
ODD_TIMES = ["2024-1-05 09:00:00", "2024-01-05T09:00:00", " 2024-01-05 09:00:00", "2024-02-30 09:00:00",
             "２０２４-01-05 09:00:00", "2024-01-05 09:00:00.5", "0000-01-01 00:00:00", "2024-01-05",
             "2024-01-05 24:00:00", "2024-01-05 9:00:00", "2024-01-05 09:00:00", "2024-1-5", 123, None]
ODD_TEXTS = ['"a\\ud800"', '"\\udc00b"', '"\\ud800\\u0041"', '"\\ud83d\\ude00"', '"\udcff"', '"\udcc3("',
             '"\\u0000"']
# Text json.loads refuses, in a member nobody reads: each is read to its end or refused.
BROKEN = ["tru", "nul", "truex", "01", "1.", ".5", "+1", "-", "1e", "0x1", '"\\x"', '"\\u12"', '"a\tb"', "[1,]",
          "[1 2]", "[,1]", '{"a" 1}', '{"a":1,}', '{1:2}', "[}", "{]", "[[1]", '{"a":[1}}', "'a'", "None"]
CONTENT_TYPES = {"application/json": True, "application/json; charset=utf-8": True,
                 "application/json; charset=UTF8": True, "text/html; charset=utf-8": True,
                 "application/json; charset=latin-1": False, "text/plain": False, None: False,
                 "application/octet-stream": False}

# Per query: the time member, whether it has a time of day, required and optional members.
SHAPES = {
    "query_minute_bar_history": ("trading_datetime", True, BAR_PRICES, BAR_AMOUNTS),
    "query_day_bar_history": ("trading_date", False, BAR_PRICES, BAR_AMOUNTS),
    "query_tick_history": ("trading_datetime", True, (), ("name",) + tuple(m for _, m in TICK_NUMBERS)),
}


@st.composite
def wire_answers(draw, query: str):
    """(body, headers, clean): mostly a valid answer, with traps mixed in; `clean` when no
    trap was set, so that the native path must have been taken."""
    time_member, with_time, required, optional = SHAPES[query]
    known = {time_member, *required, *optional}
    records = []
    for _ in range(draw(st.integers(0, 4))):
        moment = draw(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31)))
        text = f"{moment.year:04d}-{moment.month:02d}-{moment.day:02d}"
        pairs = [(time_member, text + (f" {moment:%H:%M:%S}" if with_time else ""))]
        pairs += [(m, draw(NUMBERS)) for m in required]
        pairs += [(m, draw(st.text(max_size=6)) if m == "name" else draw(NUMBERS))
                  for m in optional if draw(st.integers(0, 3))]
        pairs += [(k, draw(EXTRA)) for k in draw(st.lists(st.text("abpqz_", max_size=6).filter(lambda k: k not in known),
                                                          max_size=2, unique=True))]
        records.append(Obj(draw(st.permutations(pairs))))
    envelope = Obj([("code", 0), ("message", draw(st.sampled_from(["success", "", "成功"]))), ("data", records)])
    envelope = Obj(draw(st.permutations(envelope)))
    content_type = "application/json"
    prefix = suffix = ""
    traps = draw(st.lists(st.integers(0, 12), max_size=2)) if draw(st.booleans()) else []
    clean = not traps

    def record_member():
        record = draw(st.sampled_from(records))
        return record, draw(st.integers(0, len(record) - 1))

    for trap in traps:
        if trap == 0 and records:  # a number the fast path may not read
            record, i = record_member()
            record[i] = (record[i][0], Raw(draw(st.sampled_from(LITERALS))))
        elif trap == 1 and records:  # a time text that is not canonical, or not text
            record = draw(st.sampled_from(records))
            keys = [k for k, _ in record]
            if time_member in keys:  # unless a key trap has rewritten it
                record[keys.index(time_member)] = (time_member, draw(st.sampled_from(ODD_TIMES)))
        elif trap == 2 and records:  # a member given twice
            record, i = record_member()
            record.insert(draw(st.integers(0, len(record))), (record[i][0], draw(NUMBERS)))
        elif trap == 3 and records:  # a key written with escapes
            record, i = record_member()
            key = record[i][0]
            record[i] = (Raw('"' + "".join(f"\\u{ord(c):04x}" for c in key) + '"'), record[i][1])
        elif trap == 4:  # odd text: surrogates, bytes that are not UTF-8, an escaped NUL
            target = draw(st.sampled_from(records)) if records else envelope
            target.append((draw(st.sampled_from(["name", "other"])), Raw(draw(st.sampled_from(ODD_TEXTS)))))
        elif trap == 5:  # deep nesting in a member nobody reads
            depth = draw(st.sampled_from([63, 64, 65, 200, 3000]))
            envelope.append(("deep", Raw("[" * depth + "]" * depth)))
        elif trap == 6:  # an envelope code other than the integer 0
            envelope[:] = [(k, v) for k, v in envelope if k != "code"]
            envelope.append(("code", Raw(draw(st.sampled_from(["0.0", "-0", "false", '"0"', "1", "null", "0e0"])))))
        elif trap == 7:  # data that is no list of objects, absent, or a member given twice
            choice = draw(st.sampled_from(["null", "{}", '"x"', "[1]", "[null]", "[[]]", "dup", "absent"]))
            if choice == "dup":
                envelope.append((draw(st.sampled_from(["data", "code", "message"])), Raw("[]")))
            else:
                envelope[:] = [(k, v) for k, v in envelope if k != "data"]
                if choice != "absent":
                    envelope.append(("data", Raw(choice)))
        elif trap == 8:  # around the document
            prefix, suffix = draw(st.sampled_from([("\ufeff", ""), ("", " x"), ("", " {}"), (" \n", "\t"),
                                                   ("", ""), ("[", "]")]))
        elif trap == 9:  # what the headers tell requests about the encoding
            content_type = draw(st.sampled_from(list(CONTENT_TYPES)))
            clean = clean and CONTENT_TYPES[content_type] and len(traps) == 1
        elif trap == 10 and records:  # a member of another JSON type
            record, i = record_member()
            record[i] = (record[i][0], draw(st.sampled_from([None, True, "12", "x", [1], {"a": 1}])))
        elif trap == 11:  # text json.loads refuses, where nothing is read
            target = draw(st.sampled_from(records)) if records else envelope
            target.append(("zz", Raw(draw(st.sampled_from(BROKEN)))))
    seps = draw(st.sampled_from([(", ", ": "), (",", ":"), (" ,\n ", " : ")]))
    text = prefix + dump(envelope, draw(st.booleans()), seps) + suffix
    if 12 in traps and text:  # one character dropped, doubled or replaced by another of JSON's
        at = draw(st.integers(0, len(text) - 1))
        how = draw(st.sampled_from(["drop", "double", "replace"]))
        other = draw(st.sampled_from(list('{}[],:"\\ 0-.eE') + ["\x01"]))
        text = text[:at] + {"drop": "", "double": text[at] * 2, "replace": other}[how] + text[at + 1:]
    body = text.encode("utf-8", "surrogateescape")
    if content_type == "application/json; charset=latin-1" and draw(st.booleans()):
        body = text.encode("latin-1", "replace")
    return body, {} if content_type is None else {"Content-Type": content_type}, clean


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


@pytest.mark.extension_only  # the model is the Python reference, which NORVIX_IMPL=py tests
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
