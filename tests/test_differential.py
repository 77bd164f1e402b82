"""Differential fuzzing: every query of the module against the model in oracle.py (the Python form).

Hypothesis generates how the service (or the HTTP library) answers: envelopes with any JSON
value in `code`, `message` and `data`, records with missing, null, wrong-typed, numeric-text,
huge, non-ASCII and nested members, bodies that are not objects, error statuses, bodies
that do not decode, exceptions raised by the library. Each answer goes to the module
through a stand-in for its `requests` global, and to the model; both must agree on the
calls made to `requests`, the result (records field by field; the envelope's own `data`
object for the reference queries), the exception raised (type and message), and every log
line with its level. A sample of the answers also goes over HTTP to a real local server.

NORVIX_FUZZ_EXAMPLES sets the examples per query (default 300). scripts/fuzz.sh runs a long
campaign: it sets NORVIX_FUZZ_REPORT, and then a divergence does not stop the run; each
test counts its cases and divergences into that file and fails at its end if any diverged.
"""

import json
import math
import os
from dataclasses import dataclass
from datetime import datetime
from urllib.parse import urlencode

import pytest
import requests
from hypothesis import given, strategies as st
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import HistoryRequest

from fuzzing import BIG, JSON_NUMBERS, Capture, Tally, call, date_texts, differences, fuzz_settings, same, weighted
from oracle import BAR_AMOUNTS, BAR_PRICES, TICK_NUMBERS, Answer, Model, Outcome, Response, Wire

EXAMPLES = int(os.environ.get("NORVIX_FUZZ_EXAMPLES", "300"))
HTTP_EXAMPLES = int(os.environ.get("NORVIX_FUZZ_HTTP_EXAMPLES", str(max(EXAMPLES // 10, 20))))
# The model is the Python form itself: against NORVIX_IMPL=py it would compare a
# module with its own source.
pytestmark = pytest.mark.extension_only


# --- service answers -----------------------------------------------------------------------

HUGE = st.sampled_from([10**400, -(10**400), 2**1024, BIG, -BIG])
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=10),
    st.sampled_from(["", "0", "0.0", "1", " 1.5 ", "nan", "NaN", "数据", "ＲＢ", "١٢٣", "\x00", "\U0001f600"]), HUGE,
)
JSON = st.recursive(
    SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=6)
GOOD_NUMBERS = st.one_of(st.integers(-10**9, 10**9), st.floats(-1e12, 1e12),
                         st.floats(-1e6, 1e6).map(repr), st.integers(0, 10**6).map(str))


@st.composite
def records(draw, time_member: str | None, with_time: bool, required: tuple, optional: tuple):
    """One record: clean, or with one or a few members absent or odd; optional members
    come and go either way."""
    record = draw(st.dictionaries(st.text(max_size=6), JSON, max_size=2))  # members nobody reads
    names = ([time_member] if time_member else []) + list(required) + list(optional)
    mode = draw(st.sampled_from(["clean"] * 3 + ["one"] * 2 + ["some"]))
    faulty = {"clean": set(), "one": {draw(st.sampled_from(names))},
              "some": set(draw(st.lists(st.sampled_from(names), max_size=len(names))))}[mode]
    for name in draw(st.permutations(names)):
        if name in faulty:
            if draw(st.booleans()):
                continue  # absent
            if name == time_member:
                value = draw(weighted((3, date_texts(with_time)), (1, JSON)))
            else:
                value = draw(weighted((3, JSON_NUMBERS), (1, JSON)))
        elif name in optional and draw(st.integers(0, 3)) == 0:
            continue
        elif name == time_member:
            moment = draw(st.datetimes(min_value=datetime(1000, 1, 1), max_value=datetime(9999, 12, 31)))
            value = moment.strftime("%Y-%m-%d %H:%M:%S" if with_time else "%Y-%m-%d")
        elif name == "name":
            value = draw(weighted((4, st.text(max_size=6)), (1, JSON)))
        else:
            value = draw(GOOD_NUMBERS)
        record[name] = value
    return record


def record_lists(*fields):
    one = weighted((12, records(*fields)), (1, JSON))  # now and then a record that is not an object
    return st.lists(one, max_size=5)


@st.composite
def envelopes(draw, data):
    """A decoded body: mostly an envelope (members in any order, some absent), sometimes not."""
    if draw(st.integers(0, 19)) == 0:
        return draw(JSON)
    code = draw(weighted((12, st.just(0)),
                         (6, st.sampled_from([0.0, -0.0, False, "0", 1, -1, None, True, 0.5, math.nan, [], {}])),
                         (2, JSON)))
    members = {"code": code, "message": draw(JSON), "data": draw(weighted((9, data), (1, JSON)))}
    body = draw(st.dictionaries(st.text(max_size=5), JSON, max_size=2))
    for name in draw(st.permutations(list(members))):
        if draw(st.integers(0, 19)) > 0:
            body[name] = members[name]
    return body


class Interrupt(BaseException):
    """Outside Exception, like KeyboardInterrupt: nobody may swallow it."""


EXC = requests.exceptions
SEND_ERRORS = [
    EXC.Timeout, EXC.ConnectTimeout, EXC.ReadTimeout, EXC.ConnectionError, EXC.ProxyError, EXC.SSLError,
    EXC.TooManyRedirects, EXC.InvalidURL, EXC.MissingSchema, EXC.InvalidHeader, EXC.ChunkedEncodingError,
    EXC.RequestException, RuntimeError, ValueError, OSError, Interrupt,
    lambda text: EXC.HTTPError(text, response=Response(Answer(status=502, text=text))),
    EXC.HTTPError,  # without a response: the handler itself fails
]
JSON_ERRORS = [
    lambda text: EXC.JSONDecodeError("Expecting value", text, 0),
    lambda text: json.JSONDecodeError("Extra data", text, 0),
    EXC.InvalidJSONError, ValueError, TypeError, Interrupt,
    lambda text: UnicodeDecodeError("utf-8", b"\xff", 0, 1, text or "invalid start byte"),
]


@st.composite
def answers(draw, data):
    kind = draw(st.sampled_from(["ok"] * 17 + ["status", "send", "json"]))
    text = draw(st.text(max_size=12))
    if kind == "ok":
        status = draw(st.sampled_from([200] * 6 + [201, 204, 302, 399, 600]))
        return Answer(value=draw(envelopes(data)), status=status)
    if kind == "status":
        return Answer(status=draw(st.integers(400, 599)), text=draw(st.sampled_from(["", text])))
    if kind == "send":
        return Answer(send_error=draw(st.sampled_from(SEND_ERRORS))(text))
    return Answer(json_error=draw(st.sampled_from(JSON_ERRORS))(text))


# --- query arguments -------------------------------------------------------------------------

SYMBOLS = weighted((4, st.sampled_from(["rb", "rb2405", "", "螺纹钢", "IF.CFFEX"])), (2, st.text(max_size=8)),
                   (1, st.none()), (1, st.integers()))
DATE_ARGS = weighted((4, st.sampled_from(["2024-01-01", "2024-03-31", ""])), (2, st.text(max_size=10)), (1, st.none()))
MOMENTS = st.datetimes(min_value=datetime(1, 1, 2), max_value=datetime(9999, 12, 30),
                       timezones=st.none() | st.timezones())
HISTORY_REQUESTS = st.builds(
    HistoryRequest,
    symbol=st.one_of(st.sampled_from(["rb2405", ""]), st.text(max_size=8)),
    exchange=st.sampled_from(list(Exchange)),
    start=weighted((19, MOMENTS), (1, st.none())),
    end=weighted((19, MOMENTS), (1, st.none())),
    interval=st.sampled_from([Interval.DAILY, Interval.MINUTE] * 6
                             + [Interval.HOUR, Interval.WEEKLY, Interval.TICK, None]),
)
OUTPUT = st.sampled_from([(), (print,), (None,), (object(),)])

# The tick's open_price/high_price members are not read: the values come from open/high.
TICK_MEMBERS = ("name",) + tuple(member for _, member in TICK_NUMBERS) + ("open_price", "high_price")
DAY_DATA = record_lists("trading_date", False, BAR_PRICES, BAR_AMOUNTS)
MINUTE_DATA = record_lists("trading_datetime", True, BAR_PRICES, BAR_AMOUNTS)
TICK_DATA = record_lists("trading_datetime", True, (), TICK_MEMBERS)
# For the dispatcher, whichever bar query it picks: records with both time members.
EITHER_DATA = st.lists(weighted((12, st.tuples(records("trading_date", False, BAR_PRICES, BAR_AMOUNTS),
                                               records("trading_datetime", True, (), ())).map(lambda t: t[0] | t[1])),
                                (1, JSON)), max_size=5)
REFERENCE_DATA = st.lists(records(None, False, (), ("symbol", "multiplier", "trading_date", "factor")), max_size=4)


@dataclass(frozen=True)
class Query:
    args: st.SearchStrategy  # tuple of arguments
    data: st.SearchStrategy  # the `data` member of an envelope


QUERIES = {
    "query_day_bar_history": Query(st.tuples(SYMBOLS, st.sampled_from(list(Exchange)), DATE_ARGS, DATE_ARGS), DAY_DATA),
    "query_minute_bar_history": Query(st.tuples(SYMBOLS, st.sampled_from(list(Exchange)), DATE_ARGS, DATE_ARGS),
                                      MINUTE_DATA),
    "query_bar_history": Query(st.tuples(HISTORY_REQUESTS).flatmap(lambda t: OUTPUT.map(lambda o: t + o)),
                               EITHER_DATA),
    "query_tick_history": Query(st.tuples(HISTORY_REQUESTS).flatmap(lambda t: OUTPUT.map(lambda o: t + o)), TICK_DATA),
    "query_dominant": Query(st.tuples(SYMBOLS, DATE_ARGS, DATE_ARGS), REFERENCE_DATA),
    "query_contracts": Query(st.tuples(SYMBOLS, DATE_ARGS), REFERENCE_DATA),
    "query_ex_factor": Query(st.tuples(SYMBOLS, DATE_ARGS, DATE_ARGS), REFERENCE_DATA),
    "query_contract_multiplier": Query(st.one_of(st.just(()), st.tuples(SYMBOLS)), REFERENCE_DATA),
}
CREDENTIALS = st.tuples(st.sampled_from(["user"] * 36 + ["", None, "张三"]),
                        st.sampled_from(["secret-pass"] * 36 + ["", None, 0]))


# --- running both and comparing -------------------------------------------------------------


def data_member(answer: Answer):
    value = answer.value
    return value.get("data") if isinstance(value, dict) else None


@pytest.fixture
def datafeed(nd, settings):
    return nd.NorvixDatafeed()


@pytest.mark.parametrize("query", list(QUERIES))
def test_module_agrees_with_model(nd, datafeed, monkeypatch, query):
    wire = Wire()
    monkeypatch.setattr(nd, "requests", wire)
    datafeed.base_url = "http://service.invalid:8081"
    capture, tally = Capture(), Tally(query)
    shape = QUERIES[query]

    @fuzz_settings(EXAMPLES)
    @given(args=shape.args, answer=answers(shape.data), credentials=CREDENTIALS)
    def agree(args, answer, credentials):
        datafeed.username, datafeed.password = credentials
        wire.answer, wire.calls = answer, []
        got = call(datafeed, query, args, capture)
        got.calls = wire.calls
        want = Model(nd.CHINA_TZ, datafeed.base_url, *credentials).run(query, args, answer)
        tally.record(f"{query}{args!r} with {answer!r}, credentials {credentials!r}",
                     differences(got, want, data_member(answer), over_http=False))

    tally.run(agree, capture)


# --- the same over HTTP ---------------------------------------------------------------------------


def _round_trips(value) -> bool:
    try:
        return same(json.loads(json.dumps(value)), value)
    except (ValueError, TypeError, RecursionError):
        return False


@st.composite
def wire_answers(draw, data):
    """Answers a real server can give: a JSON body, an error status, a body that is not JSON."""
    kind = draw(st.sampled_from(["ok"] * 6 + ["status", "junk"]))
    if kind == "ok":
        body = draw(envelopes(data).filter(_round_trips))
        return Answer(value=body, status=draw(st.sampled_from([200, 200, 201, 299])))
    if kind == "status":
        return Answer(status=draw(st.sampled_from([400, 404, 500, 503, 599])),
                      text=draw(st.sampled_from(["", "bad gateway", "无权限", '{"code": 0}'])))
    return Answer(json_error=json.JSONDecodeError("Expecting value", "", 0),
                  text=draw(st.sampled_from(["<html>", "{", "nul"])))


def sent_differences(received: list, want: Outcome, base_url: str) -> list[str]:
    """What reached the server against the calls the model makes to requests."""
    expected = []
    for method, kwargs in want.calls:
        path = kwargs["url"][len(base_url):]
        if method == "GET":
            query = urlencode([(k, v) for k, v in kwargs["params"].items() if v is not None])
            expected.append((method, path, query, None))
        else:
            expected.append((method, path, "", list(json.loads(json.dumps(kwargs["json"])).items())))
    seen = [(r.method, r.path, r.query, None if r.method == "GET" else list(r.json.items())) for r in received]
    return [] if seen == expected else [f"requests received:\n    server {seen!r}\n    model  {expected!r}"]


def reply_for(server, answer: Answer):
    if answer.json_error is not None:
        return server.Reply(200, {"Content-Type": "application/json"}, answer.text.encode())
    if answer.status >= 400:
        return server.Reply(answer.status, {"Content-Type": "text/plain; charset=utf-8"}, answer.text.encode())
    return server.Reply(answer.status, {"Content-Type": "application/json"}, json.dumps(answer.value).encode())


HTTP_ARGS = {
    "query_day_bar_history": st.tuples(st.text(max_size=6), st.sampled_from(list(Exchange)), DATE_ARGS, DATE_ARGS),
    "query_tick_history": QUERIES["query_tick_history"].args,
    "query_bar_history": QUERIES["query_bar_history"].args,
    "query_contracts": st.tuples(st.text(max_size=6) | st.none(), DATE_ARGS),
    "query_contract_multiplier": st.one_of(st.just(()), st.tuples(st.text(max_size=6) | st.none())),
}


@pytest.mark.parametrize("query", list(HTTP_ARGS))
def test_module_agrees_with_model_over_http(nd, datafeed, server, query):
    datafeed.base_url = server.url
    datafeed.username, datafeed.password = "user", "secret-pass"
    capture, tally = Capture(), Tally(f"{query} over HTTP")
    data = QUERIES[query].data

    @fuzz_settings(HTTP_EXAMPLES)
    @given(args=HTTP_ARGS[query], answer=wire_answers(data))
    def agree(args, answer):
        server.default = reply_for(server, answer)
        before = len(server.requests)
        got = call(datafeed, query, args, capture)
        # The module decodes its own copy of the body; the model is given one as well.
        decoded = Answer(**{**vars(answer), "value": json.loads(json.dumps(answer.value))})
        want = Model(nd.CHINA_TZ, server.url, "user", "secret-pass").run(query, args, decoded)
        tally.record(f"{query}{args!r} answered {answer!r}",
                     differences(got, want, None, over_http=True)
                     + sent_differences(server.requests[before:], want, server.url))

    tally.run(agree, capture)
