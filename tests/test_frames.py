"""History as polars frames, against the record path.

An answer's columns (vnpy_norvix._wire.decode_columns) must equal, column by column with
dtypes, the frame built from the records the record path makes of the same bytes
(vnpy_norvix._wire.decode), with the same status, skip reasons and fallback; the
datafeed's frames must equal the frames of its record histories over the local service.
"""

import json
import os
import random
import struct
import sys
from dataclasses import fields
from datetime import datetime, timedelta

import pytest
from hypothesis import given, strategies as st
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import bodies  # noqa: E402

from fuzzing import Tally, fuzz_settings, number_text, read_natively, wire_answers  # noqa: E402
from oracle import BAR_AMOUNTS, BAR_PRICES, TICK_NUMBERS  # noqa: E402

pl = pytest.importorskip("polars")
from polars.testing import assert_frame_equal  # noqa: E402

from vnpy_norvix import _wire  # noqa: E402
from vnpy_norvix.research import DATETIME  # noqa: E402
from vnpy_norvix.research.columns import frame_of  # noqa: E402

SYMBOL, EXCHANGE, PASSWORD = "rb2405", Exchange.SHFE, "secret-pass"
QUERY_RECORDS = {"minute": (BarData, Interval.MINUTE), "day": (BarData, Interval.DAILY), "tick": (TickData, None)}
QUERIES = {"query_minute_bar_history": "minute", "query_day_bar_history": "day", "query_tick_history": "tick"}
# Nanoseconds since the epoch in int64 reach from 1677-09-21 to 2262-04-11.
NS_RANGE = (datetime(1677, 9, 22), datetime(2262, 4, 10))


def records_frame(records: list, kind: str, names: list[str]) -> "pl.DataFrame":
    """polars.DataFrame of the record path's records, in the frame's schema."""
    cls, interval = QUERY_RECORDS[kind]
    assert set(names) <= {f.name for f in fields(cls)}
    schema = {name: DATETIME if name == "datetime" else pl.String if name == "name" else pl.Float64
              for name in names} | {"symbol": pl.String, "exchange": pl.String}
    if interval:
        schema["interval"] = pl.String
    rows = [[getattr(record, name) for name in names] + [record.symbol, record.exchange.value]
            + ([record.interval.value] if interval else []) for record in records]
    return pl.DataFrame(rows, schema=schema, orient="row", strict=False)


def in_ns_range(records: list) -> bool:
    return all(NS_RANGE[0] <= r.datetime.replace(tzinfo=None) <= NS_RANGE[1] for r in records)


def check_same(kind: str, body: bytes) -> bool:
    """The columns of `body` against its records; whether the native reader took it."""
    status, records, code, message, skipped, native = _wire.decode(kind, body, SYMBOL, EXCHANGE, PASSWORD)
    c_status, columns, c_code, c_message, c_skipped, c_native = _wire.decode_columns(kind, body, PASSWORD)
    assert c_native == native
    if status == _wire.OK and not in_ns_range(records):
        # A time nanoseconds cannot hold: the frame refuses the answer as unreadable there.
        assert (c_status, c_message.split(":")[0]) == (_wire.BAD_SHAPE, "OverflowError")
        assert c_skipped == skipped[:len(c_skipped)]
        return native
    assert c_skipped == skipped
    assert (c_status, c_code, c_message) == (status, code, message)
    frame = frame_of(columns, SYMBOL, EXCHANGE, QUERY_RECORDS[kind][1])
    names = [name for name in columns]
    assert_frame_equal(frame, records_frame(records, kind, names), check_exact=True)
    return native


def body(records: list, **envelope) -> bytes:
    return json.dumps({"code": 0, "message": "success", "data": records, **envelope}, ensure_ascii=False).encode()


BAR = {"trading_datetime": "2024-03-05 09:01:00", "open_price": 3500.5, "high_price": 3510, "low_price": 3490.0,
       "close_price": 3505.0, "volume": 12, "turnover": 420600.0, "open_interest": 100}
DAY = {**{k: v for k, v in BAR.items() if k != "trading_datetime"}, "trading_date": "2024-03-05"}
TICK = {"trading_datetime": "2024-03-05 21:00:01", "name": "螺纹钢2405", "last_price": 3501.0, "open": 3500,
        "bid_price_1": 3500.5, "ask_volume_5": 7, "volume": 3}

SHAPES = {
    "minute-native": ("minute", bodies.minute_bars(600)),
    "day-native": ("day", bodies.day_bars(300)),
    "tick-native": ("tick", bodies.ticks(400)),
    # json.loads: numeric text, a lenient time, skipped records (a missing price, an odd time)
    "minute-fallback-skips": ("minute", body([BAR, {**BAR, "open_price": "3521.5"},
                                             {k: v for k, v in BAR.items() if k != "close_price"},
                                             {**BAR, "trading_datetime": "2024-3-5 9:02:00"},
                                             {**BAR, "trading_datetime": "2024-03-05T09:03:00"},
                                             {**BAR, "volume": "abc"}])),
    "day-fallback": ("day", body([DAY, {**DAY, "trading_date": "2024-03-05 00:00:00"}, {**DAY, "volume": True}])),
    "tick-names": ("tick", body([TICK, {**TICK, "name": None}, {**TICK, "name": 5}, {"trading_datetime": TICK[
        "trading_datetime"]}, {**TICK, "name": "螺纹钢2410"}, {"name": "x"}, {**TICK, "bid_volume_1": "abc"}])),
    # Summer time in Shanghai (1986-1991), local mean time before 1901, the edges of a day
    "times-in-other-offsets": ("minute", body([{**BAR, "trading_datetime": t} for t in (
        "1988-04-10 01:59:59", "1988-04-10 03:00:00", "1988-09-11 00:30:00", "1988-09-11 01:30:00",
        "1900-12-31 23:59:59", "1901-01-01 00:00:00", "1991-09-15 12:00:00", "2024-12-31 23:59:59")])),
    "days-in-summer-time": ("day", body([{**DAY, "trading_date": d} for d in ("1986-05-04", "1990-07-01", "1999-07-01")])),
    "outside-nanoseconds": ("minute", body([{**BAR, "trading_datetime": "1600-01-01 00:00:00"}])),
    "null-price": ("tick", body([TICK, {**TICK, "last_price": None}])),
    "not-a-record": ("day", body([DAY, 1])),
    "refused": ("minute", json.dumps({"code": 7, "message": "denied secret-pass"}).encode()),
    "empty": ("day", b"{}"),
    "not-json": ("tick", b"<html>"),
    "no-data": ("minute", body([])),
}


@pytest.mark.parametrize("kind, answer", SHAPES.values(), ids=SHAPES.keys())
def test_columns_equal_the_records(kind, answer):
    check_same(kind, answer)


@pytest.mark.parametrize("kind", ["minute", "day", "tick"])
def test_the_reader_fills_the_columns_of_a_plain_answer(kind):
    # Plain answers go through the native reader, so that no record object is made.
    assert check_same(kind, {"minute": bodies.minute_bars(50), "day": bodies.day_bars(50),
                             "tick": bodies.ticks(50)}[kind])


def test_the_reader_fills_records_whose_members_vary():
    # Members absent, integers where floats were and back, from one record to the next.
    without_volume = {k: v for k, v in BAR.items() if k != "volume"}
    varied = [BAR, without_volume, {**BAR, "turnover": 420600, "open_price": 3500}, {**BAR, "volume": 12.5},
              without_volume, BAR, {**TICK, **BAR}]
    assert check_same("minute", body(varied))
    assert check_same("tick", body([TICK, {**TICK, "volume": 3.5}, {"trading_datetime": TICK["trading_datetime"]}, TICK]))


@given(st.data())
@fuzz_settings(int(os.environ.get("NORVIX_FUZZ_WIRE_EXAMPLES", "120")))
def test_fuzzed_answers_give_the_same_columns(data):
    query = data.draw(st.sampled_from(list(QUERIES)))
    answer, _, _ = data.draw(wire_answers(query))
    check_same(QUERIES[query], answer)


def test_columns_are_numpy_arrays_over_buffers_the_module_made():
    _, columns, *_ = _wire.decode_columns("minute", bodies.minute_bars(10), None)
    close = columns["close_price"]
    assert close.dtype.name == "float64" and not close.flags.owndata
    assert type(close.base.obj) is bytearray
    # polars takes the array without a copy; a frame made of the columns holds copies,
    # so that it keeps none of the decoder's buffers alive
    from vnpy_norvix.history.frames import columns_frame

    series, frame = pl.Series(close), columns_frame(columns)
    close[0], columns["datetime"][0] = -1.0, 0
    assert series[0] == -1.0 and frame["close_price"][0] != -1.0
    assert frame["datetime"][0].year > 1970


def test_without_numpy_or_polars_the_error_says_what_to_install(monkeypatch, datafeed):
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ImportError, match="pip install numpy"):
        _wire.decode_columns("day", body([DAY]), None)
    monkeypatch.undo()
    frame_modules = ("polars.", "vnpy_norvix.research", "vnpy_norvix.history.frames")
    for name in [name for name in sys.modules if name == "polars" or name.startswith(frame_modules)]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "polars", None)
    import vnpy_norvix

    monkeypatch.delattr(vnpy_norvix, "research")
    req = HistoryRequest(symbol="rb2405", exchange=Exchange.SHFE, start=datetime(2024, 3, 1), end=datetime(2024, 3, 5),
                         interval=Interval.DAILY)
    with pytest.raises(ImportError, match=r'pip install "vnpy_norvix\[research\]"'):
        datafeed.query_bar_frame(req)
    with pytest.raises(ImportError, match="polars"):
        datafeed.query_tick_frame(req)


# --- the datafeed's frames over the local service -------------------------------------------

SHANGHAI = DATETIME.time_zone
CONSTANTS = ("symbol", "exchange", "interval", "trading_day")


def frames_and_records(feed, interval, start, end, symbol="rb2410", exchange=Exchange.SHFE):
    from zoneinfo import ZoneInfo

    zone = ZoneInfo(SHANGHAI)
    req = HistoryRequest(symbol=symbol, exchange=exchange, start=start.replace(tzinfo=zone),
                         end=end.replace(tzinfo=zone), interval=interval)
    frame_output: list[str] = []
    record_output: list[str] = []
    if interval is None:
        frame, records = feed.query_tick_frame(req, frame_output.append), feed.query_tick_history(req, record_output.append)
    else:
        frame, records = feed.query_bar_frame(req, frame_output.append), feed.query_bar_history(req, record_output.append)
    assert frame_output == record_output
    return frame, records


@pytest.mark.parametrize("interval, start, end", [
    (Interval.MINUTE, datetime(2024, 2, 1, 21, 30), datetime(2024, 3, 20, 10, 0)),
    (Interval.HOUR, datetime(2024, 2, 1, 9, 30), datetime(2024, 3, 20, 14, 0)),
    (Interval.DAILY, datetime(2023, 1, 1), datetime(2024, 6, 1)),
    (Interval.WEEKLY, datetime(2023, 1, 4), datetime(2024, 6, 1)),
    (None, datetime(2024, 5, 28, 21, 30), datetime(2024, 5, 29, 15, 0)),
], ids=["1m", "1h", "d", "w", "tick"])
def test_datafeed_frames_equal_its_records(datafeed, interval, start, end):
    frame, records = frames_and_records(datafeed, interval, start, end)
    assert records, "the service holds data for this range"
    kind = "tick" if interval is None else "minute"
    expected = records_frame(records, kind, [c for c in frame.columns if c not in CONSTANTS])
    assert_frame_equal(frame.drop("trading_day"), expected, check_exact=True)
    # Each record's trading day, by the calendar's rule (night sessions: the next day's).
    from vnpy_norvix.calendar import WEEKDAYS

    rule = [WEEKDAYS.trading_day(record.datetime, interval or Interval.TICK) for record in records]
    assert frame["trading_day"].to_list() == rule


@pytest.mark.parametrize("symbol, exchange", [("rb2410", Exchange.SHFE), ("au2412", Exchange.SHFE),
                                              ("IF2406", Exchange.CFFEX)])
def test_hour_and_week_frames_equal_the_records_on_every_day_held(datafeed, symbol, exchange):
    from vnpy_norvix.history.aggregate import hour_bars, hour_frame

    # Every trading day the service holds: nights past midnight, short weeks.
    end = datetime(2024, 7, 1)
    for interval, start in ((Interval.HOUR, datetime(2023, 12, 29)), (Interval.WEEKLY, datetime(2023, 1, 2))):
        frame, records = frames_and_records(datafeed, interval, start, end, symbol, exchange)
        assert len(records) > (100 if interval == Interval.HOUR else 20)
        names = [c for c in frame.columns if c not in CONSTANTS]
        assert_frame_equal(frame.drop("trading_day"), records_frame(records, "minute", names), check_exact=True)

    # The same minutes thinned as quiet markets thin them: afternoons without a bar from
    # 13:30 to 14:58 (the minute-59 bar joins the hour still open), hours with bars missing.
    _frame, minutes = frames_and_records(datafeed, Interval.MINUTE, datetime(2023, 12, 29), end, symbol, exchange)
    chance = random.Random(symbol)
    quiet = {day for day in {bar.datetime.date() for bar in minutes} if chance.random() < 0.3}
    thinned = [bar for bar in minutes
               if not (bar.datetime.date() in quiet and (13, 30) <= (bar.datetime.hour, bar.datetime.minute) < (14, 59))
               and chance.random() < 0.9]
    hours = hour_bars(thinned)
    assert_frame_equal(hour_frame(records_frame(thinned, "minute", names)), records_frame(hours, "minute", names),
                       check_exact=True)


def test_hour_frames_follow_the_records_over_sparse_minutes():
    # Runs of minute-59 bars one hour apart (each closes or opens an hour in turn), gaps of
    # a day back to the same hour of the clock, a first bar at minute 59.
    from zoneinfo import ZoneInfo

    from vnpy_norvix.history.aggregate import hour_bars, hour_frame

    names = ["datetime", "open_price", "high_price", "low_price", "close_price", "volume", "turnover",
             "open_interest"]
    for seed in range(300):
        chance = random.Random(seed)
        moment = datetime(2024, 5, 29, 9, chance.choice([0, 58, 59]), tzinfo=ZoneInfo(SHANGHAI))
        minutes = []
        for _ in range(chance.randint(1, 30)):
            minutes.append(BarData(gateway_name="t", symbol="rb2410", exchange=Exchange.SHFE, interval=Interval.MINUTE,
                                   datetime=moment, **{name: chance.random() for name in names[1:]}))
            moment += timedelta(minutes=chance.choice([1, 1, 58, 59, 60, 61, 1440]))
        expected = records_frame(hour_bars(minutes), "minute", names)
        assert_frame_equal(hour_frame(records_frame(minutes, "minute", names)), expected, check_exact=True)


def test_datafeed_frame_failures_are_the_record_paths(datafeed, monkeypatch):
    # Inverted range, a refusal (wrong token), an unsupported interval: the same line, an empty frame.
    frame, records = frames_and_records(datafeed, Interval.DAILY, datetime(2024, 3, 5), datetime(2024, 3, 1))
    assert frame.is_empty() and records == [] and frame.schema["datetime"] == DATETIME
    monkeypatch.setattr(datafeed, "password", "wrong-token")
    frame, records = frames_and_records(datafeed, Interval.MINUTE, datetime(2024, 3, 1), datetime(2024, 3, 5))
    assert frame.is_empty() and records == []
    frame, records = frames_and_records(datafeed, Interval.TICK, datetime(2024, 3, 1), datetime(2024, 3, 5))
    assert frame.is_empty() and records == []


@pytest.mark.parametrize("then_reset", [True, False], ids=["reset", "closed"])
def test_a_body_cut_short_fails_as_in_the_record_path(datafeed, monkeypatch, then_reset):
    from faults import servers

    raw = servers.RawServer()
    try:
        body = servers.envelope([servers.DAY_RECORD] * 200)
        raw.default = servers.truncated(body, len(body) // 4, then_reset=then_reset)
        monkeypatch.setattr(datafeed, "base_url", raw.url)
        frame, records = frames_and_records(datafeed, Interval.DAILY, datetime(2024, 3, 1), datetime(2024, 3, 5))
        assert frame.is_empty() and records == []
    finally:
        raw.close()



def renamed(record: dict, old: str, new: str) -> dict:
    return {new if k == old else k: v for k, v in record.items()}


LONG = "an_extra_member_named_at_length"
# (kind, whether the native reader takes it, records): keys that differ from the one learned
# at their position in one byte (in the first, middle or last eight, or a key shorter or
# longer with the same beginning), times of the date before with what follows it not canonical.
TRAPS = {
    "bar-keys": ("minute", True, [BAR, {**BAR, LONG: 1}, renamed(BAR, "volume", "volum"), {**BAR, LONG[:-1] + "X": 1},
                                  renamed(BAR, "turnover", "turnovers"), renamed(BAR, "open_interest", "open_interesT"),
                                  BAR]),
    "time-key": ("minute", False, [BAR, renamed(BAR, "trading_datetime", "trading_Xatetime")]),
    "clock-24": ("minute", False, [BAR, {**BAR, "trading_datetime": "2024-03-05 24:00:00"}]),
    "clock-60": ("minute", False, [BAR, {**BAR, "trading_datetime": "2024-03-05 09:60:00"}]),
    "clock-T": ("minute", False, [BAR, {**BAR, "trading_datetime": "2024-03-05T09:02:00"}]),
    # Records much larger at first than after: the rows outgrow what the first ones foretell.
    "sizes": ("minute", True, [{**BAR, LONG: "x" * 200}] * 40 + [{
        "trading_datetime": "2024-03-07 09:00:00", "open_price": 1, "high_price": 2, "low_price": 0, "close_price": 1}] * 300),
    "tick-keys": ("tick", True, [TICK, renamed(TICK, "open", "opens"), {**TICK, "low": 1},
                                 renamed({**TICK, "low": 1}, "low", "lo"), renamed(TICK, "name", "nam"), TICK]),
}


@pytest.mark.parametrize("kind, native, records", TRAPS.values(), ids=TRAPS.keys())
def test_the_reader_reads_what_json_loads_reads(kind, native, records):
    # An escaped key in the envelope sends the same records to json.loads: the answers agree.
    plain, escaped = body(records), body(records, **{"\u00e9": 1}).replace("é".encode(), b"\\u00e9")
    assert (check_same(kind, plain), check_same(kind, escaped)) == (native, False)
    (*as_read, _), (*as_loaded, _) = (_wire.decode(kind, b, SYMBOL, EXCHANGE, PASSWORD) for b in (plain, escaped))
    assert as_read == as_loaded


def test_the_parser_kept_between_answers_reads_each_as_new():
    # The reader keeps its parser from one answer to the next: nothing of a larger answer may
    # show in the ones after it, whole or cut short.
    large, small = bodies.minute_bars(3000), body([BAR, {**BAR, "volume": 13}])
    loaded = _wire.decode("minute", body([BAR, {**BAR, "volume": 13}], **{"\u00e9": 1}).replace(
        "é".encode(), b"\\u00e9"), SYMBOL, EXCHANGE, PASSWORD)
    for answer, native in ((large, True), (large[:len(large) // 2], False), (small, True), (large[:-1], False),
                           (small[:-1], False), (small, True)):
        assert check_same("minute", answer) == native
        if answer == small:
            assert _wire.decode("minute", small, SYMBOL, EXCHANGE, PASSWORD)[:-1] == loaded[:-1]


# --- numbers of any length ------------------------------------------------------------------

NUMBER_ANSWERS = int(os.environ.get("NORVIX_FUZZ_NUMBER_ANSWERS", "40"))
# kind: the time member and its text, and (record attribute, member) of every number.
NUMBER_MEMBERS = {
    "minute": ("trading_datetime", "2024-03-05 09:01:00", [(m, m) for m in BAR_PRICES + BAR_AMOUNTS]),
    "day": ("trading_date", "2024-03-05", [(m, m) for m in BAR_PRICES + BAR_AMOUNTS]),
    "tick": ("trading_datetime", "2024-03-05 21:00:01", TICK_NUMBERS),
}


def bits(values) -> list[bytes]:
    return [struct.pack("<d", v) for v in values]


@pytest.mark.parametrize("kind", list(NUMBER_MEMBERS))
def test_numbers_of_any_length_read_as_float_of_their_text(kind):
    # Every member, at every position of its record, holds numbers of 1 to 40 significant
    # digits: the records and the columns hold float(json.loads(text)) to the bit. Answers
    # whose numbers are all ints within int64 or finite floats other than -0.0 are read
    # natively; the rest go to json.loads.
    time_member, time_text, members = NUMBER_MEMBERS[kind]
    rng = random.Random(f"numbers of any length, {kind}")
    tally = Tally(f"{kind} numbers of any length")

    def text(mixed: bool) -> str:
        while not read_natively(t := number_text(rng)) and not (mixed and rng.random() < 0.5):
            pass
        return t

    try:
        for answer in range(NUMBER_ANSWERS):
            rows = []
            for _ in range(rng.randint(1, 4)):
                pairs = [(member, text(answer % 4 == 3)) for _, member in members]
                pairs.append((time_member, json.dumps(time_text)))
                rng.shuffle(pairs)
                rows.append(pairs)
            answer_body = ('{"code":0,"message":"success","data":[' + ",".join(
                "{" + ",".join(f'"{k}":{v}' for k, v in pairs) + "}" for pairs in rows) + "]}").encode()
            native = all(read_natively(v) for pairs in rows for k, v in pairs if k != time_member)
            status, records, *_, took_native = _wire.decode(kind, answer_body, SYMBOL, EXCHANGE, PASSWORD)
            c_status, columns, *_, c_native = _wire.decode_columns(kind, answer_body, PASSWORD)
            problems = []
            if (status, took_native, c_status, c_native) != (_wire.OK, native, _wire.OK, native):
                problems.append(f"status {status}/{c_status}, native {took_native}/{c_native}, want {native}")
            else:
                for attr, member in members:
                    want = [float(json.loads(dict(pairs)[member])) for pairs in rows]
                    got = [getattr(r, attr) for r in records], columns[attr].tolist()
                    if not bits(got[0]) == bits(got[1]) == bits(want):
                        problems.append(f"{attr}: records {got[0]!r}, columns {got[1]!r}, want {want!r}")
            tally.record(answer_body.decode(), problems)
    finally:
        tally.write_report()
    assert tally.divergences == 0, "\n".join(tally.shown)


def test_long_prices_reach_the_datafeed_s_records_and_frames(plugin_feed, server):
    # A service that writes its prices with 22 significant digits (a decimal type, or a proxy
    # that writes the JSON again): the records and the frame hold the prices, not 0.
    opens = ["3500.000000000000000001", "3512.499999999999999999999", "-0.35010000000000000000000001e4"]
    days = ["2024-03-01", "2024-03-04", "2024-03-05"]
    data = ",".join(f'{{"trading_date":"{day}","open_price":{price},"high_price":3550.0,"low_price":3490.5,'
                    f'"close_price":35050000000000000000000e-19,"volume":12,"open_interest":100}}'
                    for day, price in zip(days, opens))
    server.route("/multiplier/query", server.reply_json(server.envelope([{"symbol": "rb", "exchange": "SHFE"}])))
    server.route("/dominant/query", server.reply_json(server.envelope(
        [{"trading_date": day, "symbol": "rb", "instrument_id": "rb2410", "exchange": "SHFE"} for day in days])))
    server.default = server.Reply(200, {"Content-Type": "application/json"},
                                  f'{{"code":0,"message":"success","data":[{data}]}}'.encode())
    frame, records = frames_and_records(plugin_feed(server.url), Interval.DAILY, datetime(2024, 3, 1),
                                        datetime(2024, 3, 5))
    want = bits(float(text) for text in opens)
    assert bits(r.open_price for r in records) == bits(frame["open_price"].to_list()) == want
    assert {r.close_price for r in records} == set(frame["close_price"].to_list()) == {3505.0}


@pytest.mark.parametrize("zone", [DATETIME.time_zone, None], ids=["china", "naive"])
@pytest.mark.parametrize("first", [datetime(2024, 2, 1), datetime(1991, 9, 1)], ids=["2024", "summer-time"])
def test_trading_day_column_follows_the_calendars_rule_for_every_part_of_a_day(zone, first):
    from vnpy_norvix.calendar import Calendar
    from vnpy_norvix.history.frames import with_trading_day

    # Half-hourly over the 2024 Spring Festival closure: nights before and after it,
    # midnights of closed weekdays and weekends, the evening before a holiday; China's
    # last summer time (ended 1991-09-15), read by the zone's rules.
    moments = [first + timedelta(minutes=30 * step) for step in range(30 * 48)]
    holidays = {datetime(first.year, first.month, day).date() for day in range(9, 17)}
    calendar = Calendar(d.date() for d in moments if d.weekday() < 5 and d.date() not in holidays)
    column = pl.Series("datetime", moments, dtype=pl.Datetime("ns", zone))
    for interval in (Interval.MINUTE, Interval.TICK, Interval.DAILY):
        made = with_trading_day(pl.DataFrame([column]), interval, calendar)["trading_day"].to_list()
        stamps = column.to_list()
        assert made == [calendar.trading_day(stamp, interval) for stamp in stamps]


def test_a_frames_range_keeps_the_records_ranges_rows():
    """`within_frame` against `within`: bounds on a row, between rows and outside them, in
    China time and in other zones, over rows as served (sliced) and out of order (filtered)."""
    from types import SimpleNamespace
    from zoneinfo import ZoneInfo

    from vnpy_norvix.history.select import within, within_frame

    china, utc = ZoneInfo("Asia/Shanghai"), ZoneInfo("UTC")
    times = [datetime(2024, 5, 28, 21, 0, tzinfo=china) + timedelta(minutes=3 * i) for i in range(50)]
    rng = random.Random(7)
    for order in (times, rng.sample(times, len(times))):
        frame = pl.DataFrame({"datetime": pl.Series(order).cast(pl.Datetime("ns", "Asia/Shanghai")),
                              "n": range(len(order))})
        records = [SimpleNamespace(datetime=moment, n=n) for n, moment in enumerate(order)]
        for start, end in [(times[3], times[40]), (times[3] + timedelta(seconds=1), times[40] - timedelta(seconds=1)),
                           (times[0] - timedelta(days=1), times[-1] + timedelta(days=1)), (times[10], times[10]),
                           (times[20], times[5]), (times[7].astimezone(utc), times[30].astimezone(utc))]:
            kept = within_frame(frame, start, end)
            assert kept["n"].to_list() == [record.n for record in within(records, start, end)]
