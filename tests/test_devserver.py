"""The local data service (norvix_devserver): its generated market, its HTTP answers and a
round trip through the module's queries. Runs on a small generated database."""

import io
import json
import math
import os
import re
import signal
import sqlite3
import subprocess
import sys
import threading
from collections import defaultdict
from contextlib import closing
from datetime import date, datetime
from pathlib import Path

import pytest
import requests
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import HistoryRequest

from norvix_devserver import Plan, Store, content_digest, generate, make_server
from norvix_devserver.market import PRODUCTS, contracts_between, is_trading_day, session_bounds

REPO = Path(__file__).resolve().parent.parent
USER, TOKEN = "tester", "tester-token"
HEADERS = {"mobile": USER, "token": TOKEN}
SMALL = Plan(products=("rb", "IF"), day_start=date(2024, 3, 25), day_end=date(2024, 5, 31),
             minute_start=date(2024, 5, 24), minute_end=date(2024, 5, 31), tick_days=(date(2024, 5, 27),))
TICK_DAY = SMALL.tick_days[0]


@pytest.fixture(scope="module")
def small_db(tmp_path_factory):
    return generate(tmp_path_factory.mktemp("devdata") / "small.sqlite", SMALL, progress=False)


@pytest.fixture(scope="module")
def db(small_db):
    with closing(sqlite3.connect(f"file:{small_db}?mode=ro", uri=True)) as connection:
        connection.row_factory = sqlite3.Row
        yield connection


@pytest.fixture(scope="module")
def service(small_db):
    server = make_server("127.0.0.1", 0, user=USER, token=TOKEN, store=Store(small_db), quiet=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join(timeout=10)


def post(service, endpoint, body, headers=HEADERS):
    data = body if isinstance(body, bytes) else json.dumps(body)
    reply = requests.post(service.url + endpoint, data=data, headers=headers, timeout=30)
    return reply.status_code, reply.json()


def records(service, endpoint, body):
    status, envelope = post(service, endpoint, body)
    assert (status, envelope["code"], envelope["message"]) == (200, 0, "success")
    return envelope["data"]


# --- the market's rules ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "instrument, listed, expires",
    [
        ("rb2405", "2023-05-16", "2024-05-15"),  # SHFE: the 15th of the delivery month
        ("au2406", "2023-06-16", "2024-06-17"),  # ... or the next trading day (the 15th was a Saturday)
        ("m2405", "2023-05-18", "2024-05-17"),  # DCE: the 10th trading day (1-3 May closed)
        ("SR409", "2023-09-15", "2024-09-13"),  # CZCE codes carry one digit of the year
        ("IF2402", "2023-12-18", "2024-02-19"),  # third Friday 16 Feb was a holiday: next trading day
        ("IF2404", "2024-02-20", "2024-04-19"),  # lists when it becomes the next month
    ],
)
def test_contract_codes_listing_and_last_trading_days(instrument, listed, expires):
    product = PRODUCTS[re.match(r"[A-Za-z]+", instrument).group()]
    contracts = {c.instrument_id: c for c in contracts_between(product, date(2024, 1, 2), date(2024, 1, 2))}
    contracts |= {c.instrument_id: c for c in contracts_between(product, date(2024, 4, 1), date(2024, 4, 1))}
    contract = contracts[instrument]
    assert (contract.list_date.isoformat(), contract.expire_date.isoformat()) == (listed, expires)


def test_sessions_follow_the_calendar():
    monday = session_bounds(PRODUCTS["au"], date(2024, 5, 27))
    assert monday[0] == (datetime(2024, 5, 24, 21, 0), datetime(2024, 5, 25, 2, 30))  # Friday night, past midnight
    assert len(session_bounds(PRODUCTS["rb"], date(2024, 2, 19))) == 3  # no night session after a holiday
    assert session_bounds(PRODUCTS["IF"], date(2024, 5, 27))[0][0] == datetime(2024, 5, 27, 9, 30)
    assert not is_trading_day(date(2024, 5, 1)) and not is_trading_day(date(2024, 5, 25))


# --- generation -------------------------------------------------------------------------------


def test_generation_is_deterministic(small_db, tmp_path):
    again = generate(tmp_path / "again.sqlite", SMALL, progress=False)
    other_seed = generate(tmp_path / "other.sqlite", Plan(**{**SMALL.__dict__, "seed": SMALL.seed + 1}),
                          progress=False)
    assert content_digest(again) == content_digest(small_db)
    assert content_digest(other_seed) != content_digest(small_db)


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stderr, bar_drawn", [(io.StringIO, False), (_Terminal, True)])
def test_progress_bar_only_on_a_terminal(tmp_path, monkeypatch, stderr, bar_drawn):
    tiny = Plan(products=("rb",), day_start=date(2024, 5, 27), day_end=date(2024, 5, 31),
                minute_start=date(2024, 5, 30), minute_end=date(2024, 5, 31), tick_days=())
    monkeypatch.setattr(sys, "stderr", stderr())
    generate(tmp_path / "tiny.sqlite", tiny, progress=True)
    output = sys.stderr.getvalue()
    assert ("\r" in output) == bar_drawn
    assert output.splitlines()[-1].startswith(f"norvix_devserver: wrote {tmp_path / 'tiny.sqlite'} (")


def _on_grid(price, tick):
    return math.isclose(round(price / tick) * tick, price, abs_tol=1e-9)


def test_bars_agree_across_intervals_and_respect_the_contract_terms(db):
    contracts = {row["instrument_id"]: row for row in db.execute("SELECT * FROM contract")}
    days = [row[0] for row in db.execute("SELECT trading_date FROM trading_day ORDER BY 1")]
    assert days and all(is_trading_day(date.fromisoformat(day)) for day in days)

    previous = {}
    for bar in db.execute("SELECT * FROM day_bar ORDER BY instrument_id, trading_date"):
        contract = contracts[bar["instrument_id"]]
        product = PRODUCTS[contract["symbol"]]
        assert contract["list_date"] <= bar["trading_date"] <= contract["expire_date"]
        prices = [bar[k] for k in ("open", "high", "low", "close", "settlement", "limit_up", "limit_down")]
        assert all(_on_grid(price, product.price_tick) for price in prices), dict(bar)
        assert bar["limit_down"] <= bar["low"] <= min(bar["open"], bar["close"]), dict(bar)
        assert max(bar["open"], bar["close"]) <= bar["high"] <= bar["limit_up"], dict(bar)
        assert bar["low"] <= bar["settlement"] <= bar["high"]
        limit = bar["pre_settlement"] * (1 + product.limit_ratio)
        assert bar["limit_up"] <= limit < bar["limit_up"] + product.price_tick + 1e-9
        if bar["volume"]:
            average = bar["turnover"] / bar["volume"] / product.multiplier
            assert bar["low"] - 1e-9 <= average <= bar["high"] + 1e-9, dict(bar)
        last = previous.get(bar["instrument_id"])
        if last is not None:
            assert (bar["pre_close"], bar["pre_settlement"]) == (last["close"], last["settlement"])
            assert days.index(bar["trading_date"]) == days.index(last["trading_date"]) + 1
        previous[bar["instrument_id"]] = bar

    summed = db.execute("""
        SELECT d.instrument_id, d.trading_date, d.open, d.high, d.low, d.close, d.volume, d.turnover,
               d.open_interest, count(*) AS bars, max(m.high) AS m_high, min(m.low) AS m_low,
               sum(m.volume) AS m_volume, sum(m.turnover) AS m_turnover,
               (SELECT open FROM minute_bar WHERE instrument_id = d.instrument_id AND trading_date = d.trading_date
                ORDER BY trading_datetime LIMIT 1) AS m_open,
               (SELECT close || ' ' || open_interest FROM minute_bar
                WHERE instrument_id = d.instrument_id AND trading_date = d.trading_date
                ORDER BY trading_datetime DESC LIMIT 1) AS m_last
        FROM day_bar AS d JOIN minute_bar AS m USING (instrument_id, trading_date)
        GROUP BY d.instrument_id, d.trading_date""").fetchall()
    assert len(summed) >= 5
    for row in summed:
        night = 120 if db.execute("SELECT night_session FROM trading_day WHERE trading_date = ?",
                                  (row["trading_date"],)).fetchone()[0] else 0
        expected_bars = 240 if row["instrument_id"].startswith("IF") else 225 + night
        assert row["bars"] == expected_bars
        assert (row["m_open"], row["m_high"], row["m_low"], row["m_volume"]) == (
            row["open"], row["high"], row["low"], row["volume"])
        assert row["m_last"] == f"{row['close']} {row['open_interest']}"
        assert row["m_turnover"] == pytest.approx(row["turnover"], abs=0.01 * row["bars"])


def test_ticks_add_up_to_their_minute_and_daily_bars(db):
    ticks = db.execute("SELECT * FROM tick ORDER BY instrument_id, trading_datetime").fetchall()
    assert {(t["instrument_id"], t["trading_date"]) for t in ticks} == {
        (row[0], TICK_DAY.isoformat()) for row in
        db.execute("SELECT instrument_id FROM dominant WHERE trading_date = ?", (TICK_DAY.isoformat(),))}
    by_minute = defaultdict(list)
    for tick in ticks:
        assert tick["bid_price_1"] < tick["ask_price_1"]
        assert tick["last_price"] in (tick["bid_price_1"], tick["ask_price_1"])
        assert [tick[f"bid_price_{i}"] for i in range(1, 6)] == sorted((tick[f"bid_price_{i}"] for i in range(1, 6)),
                                                                       reverse=True)
        assert [tick[f"ask_price_{i}"] for i in range(1, 6)] == sorted(tick[f"ask_price_{i}"] for i in range(1, 6))
        assert tick["low"] <= tick["last_price"] <= tick["high"]
        by_minute[(tick["instrument_id"], tick["trading_datetime"][:16] + ":00")].append(tick)

    day = {row["instrument_id"]: row for row in db.execute("SELECT * FROM day_bar WHERE trading_date = ?",
                                                            (TICK_DAY.isoformat(),))}
    minutes = db.execute("SELECT * FROM minute_bar WHERE trading_date = ? AND instrument_id IN "
                         "(SELECT DISTINCT instrument_id FROM tick)", (TICK_DAY.isoformat(),)).fetchall()
    assert len(minutes) == len(by_minute)
    for bar in minutes:
        group = by_minute[(bar["instrument_id"], bar["trading_datetime"])]
        prices = [t["last_price"] for t in group]
        assert (bar["open"], bar["high"], bar["low"], bar["close"]) == (prices[0], max(prices), min(prices), prices[-1])
        assert bar["volume"] == sum(t["last_volume"] for t in group)
        assert bar["open_interest"] == group[-1]["open_interest"]
    for instrument, bar in day.items():
        own = [t for t in ticks if t["instrument_id"] == instrument]
        if not own:
            continue
        last = own[-1]
        assert (last["volume"], last["turnover"], last["open_interest"]) == (
            bar["volume"], bar["turnover"], bar["open_interest"])
        assert (own[0]["open"], last["high"], last["low"], last["last_price"]) == (
            bar["open"], bar["high"], bar["low"], bar["close"])
        assert (last["pre_close"], last["limit_up"], last["limit_down"]) == (
            bar["pre_close"], bar["limit_up"], bar["limit_down"])


def test_dominant_contracts_and_factors_follow_the_data(db):
    interest = {(r[0], r[1]): r[2] for r in db.execute("SELECT instrument_id, trading_date, open_interest FROM day_bar")}
    days = [row[0] for row in db.execute("SELECT trading_date FROM trading_day ORDER BY 1")]
    expiry = dict(db.execute("SELECT instrument_id, expire_date FROM contract"))
    product_of = dict(db.execute("SELECT instrument_id, symbol FROM contract"))
    rolls = 0
    for symbol in SMALL.products:
        chain = [row[0] for row in db.execute("SELECT instrument_id FROM dominant WHERE symbol = ? "
                                              "ORDER BY trading_date", (symbol,))]
        assert len(chain) == len(days)
        assert all((instrument, day) in interest for instrument, day in zip(chain, days))
        assert [expiry[i] for i in chain] == sorted(expiry[i] for i in chain)  # only rolls forward
        factors = {r["trading_date"]: r for r in db.execute("SELECT * FROM ex_factor WHERE symbol = ?", (symbol,))}
        cumulative = 1.0
        for index in range(1, len(days)):
            old, new = chain[index - 1], chain[index]
            if old == new:
                assert days[index] not in factors
                continue
            rolls += 1
            listed = [i for (i, d) in interest if d == days[index] and product_of[i] == symbol]
            # The new one had the largest open interest at the previous close.
            assert interest[(new, days[index - 1])] == max(interest.get((i, days[index - 1]), 0) for i in listed)
            closes = [db.execute("SELECT close FROM day_bar WHERE instrument_id = ? AND trading_date = ?",
                                 (i, days[index - 1])).fetchone()[0] for i in (old, new)]
            record = factors[days[index]]
            cumulative *= closes[1] / closes[0]
            assert (record["from_instrument_id"], record["to_instrument_id"]) == (old, new)
            assert record["ex_factor"] == pytest.approx(closes[1] / closes[0], abs=1e-8)
            assert record["ex_cum_factor"] == pytest.approx(cumulative, abs=1e-7)
        assert len(factors) == sum(1 for a, b in zip(chain, chain[1:]) if a != b)
    assert rolls >= 2  # rb2405 -> rb2410 in April, and IF's monthly rolls


# --- the HTTP service -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "headers, code, words",
    [
        ({}, 1001, "mobile and token"),
        ({"mobile": USER}, 1001, "token"),
        ({"mobile": USER, "token": "wrong"}, 1002, "invalid credentials"),
        ({"mobile": "someone", "token": TOKEN}, 1002, "invalid credentials"),
    ],
)
def test_credentials_are_checked(service, headers, code, words):
    status, envelope = post(service, "/daybar/query", {"instrument_id": "rb2410", "start_date": "2024-05-01",
                                                       "end_date": "2024-05-31"}, headers=headers)
    assert (status, envelope["code"], envelope["data"]) == (200, code, [])
    assert words in envelope["message"]
    reply = requests.get(service.url + "/multiplier/query", params={"symbol": "rb"}, headers=headers, timeout=10)
    assert reply.json()["code"] == code


GOOD_DAY_BODY = {"instrument_id": "rb2410", "start_date": "2024-05-20", "end_date": "2024-05-24"}


@pytest.mark.parametrize(
    "endpoint, body, words",
    [
        ("/daybar/query", b"{not json", "JSON object"),
        ("/daybar/query", b"[1, 2]", "JSON object"),
        ("/daybar/query", b"", "JSON object"),
        ("/daybar/query", b"\xff\xfe\x00", "JSON object"),
        ("/daybar/query", {"start_date": "2024-05-20", "end_date": "2024-05-24"}, "'instrument_id' is required"),
        ("/daybar/query", {**GOOD_DAY_BODY, "instrument_id": 2410}, "'instrument_id' must be text"),
        ("/daybar/query", {**GOOD_DAY_BODY, "start_date": "2024/05/20"}, "'start_date' must be a date"),
        ("/daybar/query", {**GOOD_DAY_BODY, "end_date": "2024-02-30"}, "'end_date' must be a date"),
        ("/daybar/query", {**GOOD_DAY_BODY, "end_date": None}, "'end_date' is required"),
        ("/daybar/query", {**GOOD_DAY_BODY, "start_date": "2024-05-25"}, "after end_date"),
        ("/minutebar/query", {**GOOD_DAY_BODY, "limit": 0}, "'limit' must be a positive integer"),
        ("/minutebar/query", {**GOOD_DAY_BODY, "limit": "10"}, "'limit' must be a positive integer"),
        ("/minutebar/query", {**GOOD_DAY_BODY, "limit": True}, "'limit' must be a positive integer"),
        ("/tickdata/query", {"instrument_id": "rb2410"}, "'trading_date' is required"),
        ("/tickdata/query", {"instrument_id": "rb2410", "trading_date": "2024-05-27 09:00:00"}, "must be a date"),
        ("/dominant/query", {"start_date": None, "end_date": None}, "'symbol' is required"),
        ("/exfactor/query", {"symbol": ""}, "'symbol' must not be empty"),
        ("/current/query", {"symbol": "rb", "trading_date": 20240527}, "'trading_date' must be text"),
    ],
)
def test_malformed_requests_get_a_code_and_a_message(service, endpoint, body, words):
    status, envelope = post(service, endpoint, body)
    assert (status, envelope["code"], envelope["data"]) == (200, 2001, [])
    assert words in envelope["message"]
    assert len(records(service, "/daybar/query", GOOD_DAY_BODY)) == 5  # still serving


def test_wrong_method_unknown_endpoint_and_oversized_body(service):
    reply = requests.get(service.url + "/daybar/query", headers=HEADERS, timeout=10)
    assert (reply.status_code, reply.json()["code"]) == (405, 4005)
    reply = requests.post(service.url + "/multiplier/query", json={"symbol": "rb"}, headers=HEADERS, timeout=10)
    assert (reply.status_code, reply.json()["code"]) == (405, 4005)
    reply = requests.post(service.url + "/nothing/here", json={}, headers=HEADERS, timeout=10)
    assert (reply.status_code, reply.json()["code"]) == (404, 4004)
    status, envelope = post(service, "/daybar/query", b'{"pad": "' + b"x" * (2 << 20) + b'"}')
    assert (status, envelope["code"]) == (413, 4013)


def test_limit_dates_and_instrument_are_honoured(service):
    body = {"instrument_id": "rb2410", "start_date": "2024-05-27", "end_date": "2024-05-28"}
    everything = records(service, "/minutebar/query", body)
    assert len(everything) == 2 * 345  # night and day sessions of two trading days
    assert {r["trading_date"] for r in everything} == {"2024-05-27", "2024-05-28"}
    assert everything[0]["trading_datetime"] == "2024-05-24 21:00:00"  # Friday night opens Monday
    assert [r["trading_datetime"] for r in everything] == sorted(r["trading_datetime"] for r in everything)
    assert records(service, "/minutebar/query", {**body, "limit": 7}) == everything[:7]

    days = records(service, "/daybar/query", {**GOOD_DAY_BODY, "limit": 3})
    assert [d["trading_date"] for d in days] == ["2024-05-20", "2024-05-21", "2024-05-22"]
    assert {d["instrument_id"] for d in days} == {"rb2410"}
    assert records(service, "/daybar/query", {**GOOD_DAY_BODY, "instrument_id": "rb9999"}) == []
    assert records(service, "/tickdata/query", {"instrument_id": "rb2410", "trading_date": "2024-05-25"}) == []


def test_reference_endpoints(service, db):
    reply = requests.get(service.url + "/multiplier/query", params={"symbol": "rb"}, headers=HEADERS, timeout=10)
    assert reply.json()["data"] == [{"symbol": "rb", "exchange": "SHFE", "name": "螺纹钢", "multiplier": 10,
                                     "price_tick": 1.0, "quote_unit": "元/吨"}]
    reply = requests.get(service.url + "/multiplier/query?symbol=", headers=HEADERS, timeout=10)
    assert sorted(r["symbol"] for r in reply.json()["data"]) == ["IF", "rb"]

    current = records(service, "/current/query", {"symbol": "IF", "trading_date": "2024-05-27"})
    # The current and next month, then the next two quarter months.
    assert [r["instrument_id"] for r in current] == ["IF2406", "IF2407", "IF2409", "IF2412"]
    assert [r["instrument_id"] for r in current if r["is_dominant"]] == ["IF2406"]
    assert records(service, "/current/query", {"symbol": "IF", "trading_date": "2024-05-26"}) == []  # a Sunday
    latest = records(service, "/current/query", {"symbol": None, "trading_date": None})
    assert {r["trading_date"] for r in latest} == {"2024-05-31"}
    assert {r["symbol"] for r in latest} == {"IF", "rb"}

    dominant = records(service, "/dominant/query", {"symbol": "rb", "start_date": "2024-04-09",
                                                     "end_date": "2024-04-12"})
    assert [(r["trading_date"], r["instrument_id"]) for r in dominant] == [
        ("2024-04-09", "rb2405"), ("2024-04-10", "rb2405"), ("2024-04-11", "rb2410"), ("2024-04-12", "rb2410")]
    factors = records(service, "/exfactor/query", {"symbol": "rb", "start_date": None, "end_date": None})
    assert [(f["trading_date"], f["from_instrument_id"], f["to_instrument_id"]) for f in factors] == [
        ("2024-04-11", "rb2405", "rb2410")]


def test_command_line_serves_a_database_and_stops_on_sigterm(small_db):
    process = subprocess.Popen(
        [sys.executable, "-m", "norvix_devserver", "--db", str(small_db), "--port", "0", "--quiet",
         "--user", USER, "--token", TOKEN],
        cwd=REPO, env={**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(REPO), os.environ.get("PYTHONPATH")]))},
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        line = process.stdout.readline()
        url = re.fullmatch(r"norvix_devserver listening on (http://127\.0\.0\.1:\d+)\n", line).group(1)
        reply = requests.get(url + "/multiplier/query", params={"symbol": "IF"}, headers=HEADERS, timeout=10)
        assert [r["multiplier"] for r in reply.json()["data"]] == [300]
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=10) == 0
    finally:
        process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()


# --- through the module -----------------------------------------------------------------------


def test_round_trip_through_the_module(nd, settings, service):
    feed = nd.NorvixDatafeed()
    feed.base_url = service.url
    feed.initialize(USER, TOKEN)

    [dominant] = feed.query_dominant("rb", TICK_DAY.isoformat(), TICK_DAY.isoformat())
    contract = dominant["instrument_id"]
    assert contract == "rb2410"
    listed = feed.query_contracts("rb", TICK_DAY.isoformat())
    assert contract in [c["instrument_id"] for c in listed]
    assert feed.query_ex_factor("rb", "2024-04-01", "2024-04-30")[0]["to_instrument_id"] == contract
    assert [m["multiplier"] for m in feed.query_contract_multiplier("rb")] == [10]

    start = datetime(2024, 5, 20, tzinfo=nd.CHINA_TZ)
    daily = feed.query_bar_history(HistoryRequest(symbol=contract, exchange=Exchange.SHFE, start=start,
                                                  end=datetime(2024, 5, 31, tzinfo=nd.CHINA_TZ),
                                                  interval=Interval.DAILY))
    served = records(service, "/daybar/query", {"instrument_id": contract, "start_date": "2024-05-20",
                                                "end_date": "2024-05-31"})
    assert len(daily) == len(served) == 10
    for bar, record in zip(daily, served):
        assert bar.datetime == datetime.fromisoformat(record["trading_date"]).replace(tzinfo=nd.CHINA_TZ)
        assert (bar.open_price, bar.high_price, bar.low_price, bar.close_price, bar.volume, bar.turnover,
                bar.open_interest) == tuple(float(record[k]) for k in (
                    "open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest"))

    tick_start = datetime.combine(TICK_DAY, datetime.min.time(), nd.CHINA_TZ)
    minutes = feed.query_bar_history(HistoryRequest(symbol=contract, exchange=Exchange.SHFE, start=tick_start,
                                                    end=tick_start, interval=Interval.MINUTE))
    assert len(minutes) == 345
    assert minutes[0].datetime == datetime(2024, 5, 24, 21, 0, tzinfo=nd.CHINA_TZ)
    assert minutes[-1].datetime == datetime(2024, 5, 27, 14, 59, tzinfo=nd.CHINA_TZ)

    ticks = feed.query_tick_history(HistoryRequest(symbol=contract, exchange=Exchange.SHFE, start=tick_start))
    day_bar = next(bar for bar in daily if bar.datetime.date() == TICK_DAY)
    assert len(ticks) > 10_000
    assert ticks[0].datetime == datetime(2024, 5, 24, 21, 0, tzinfo=nd.CHINA_TZ)
    assert ticks[-1].volume == day_bar.volume and ticks[-1].last_price == day_bar.close_price
    assert (ticks[-1].high_price, ticks[-1].low_price, ticks[-1].open_price) == (
        day_bar.high_price, day_bar.low_price, day_bar.open_price)
    assert ticks[-1].name == "螺纹钢2410"
    assert sum(t.last_volume for t in ticks) == sum(bar.volume for bar in minutes) == day_bar.volume
    assert all(t.bid_price_5 < t.bid_price_1 < t.ask_price_1 < t.ask_price_5 for t in ticks)
