"""Roll rules against a plain loop over the service's own tables, the honest rule (no
look-ahead, no roll back), the adjustment at each roll, a hand-made market with its
answers written by hand, and the roll table kept with the series."""

import dataclasses
import json
import math
import random
import sqlite3
from contextlib import closing
from datetime import date, datetime, timedelta
from decimal import Decimal

import pytest
from vnpy.trader.constant import Exchange, Interval

from commands import FAKETIME, cli, make_home, run_at
from helpers import SERVICE_TOKEN, SERVICE_USER
from stores import (mariadb, my_databases, mysql_backend, pg_databases, postgres,  # noqa: F401  (fixtures)
                    postgresql_backend, sqlite_backend)
from norvix_datafeed import CHINA_TZ
from norvix_devserver.market import PRODUCTS, previous_trading_day
from vnpy_norvix import download as dl
from vnpy_norvix.continuous import BadClose, continuous_bars, next_roll
from vnpy_norvix.research import lab
from vnpy_norvix.store import lab as lab_store
from vnpy_norvix.rolls import EmptyCycle, RollRule, decide, gather

import vnpy.alpha  # noqa: E402,F401  (imported before the tests' log handlers: it resets loguru's)

FIRST, LAST = date(2023, 7, 3), date(2024, 6, 28)


@pytest.fixture
def source(service, settings, monkeypatch):
    from vnpy_norvix import Datafeed

    monkeypatch.setitem(settings, "datafeed.username", SERVICE_USER)
    monkeypatch.setitem(settings, "datafeed.password", SERVICE_TOKEN)
    feed = Datafeed()
    feed.base_url = service
    return dl.Source(feed)


# --- the plain loop -------------------------------------------------------------------------


def served_market(served, product):
    days = [d for (d,) in served.execute("SELECT trading_date FROM trading_day ORDER BY 1")]
    expiry = dict(served.execute("SELECT instrument_id, expire_date FROM contract WHERE symbol = ?", (product,)))
    bars = {(c, d): (close, volume, oi) for c, d, close, volume, oi in served.execute(
        "SELECT b.instrument_id, b.trading_date, b.close, b.volume, b.open_interest FROM day_bar AS b "
        "JOIN contract AS c USING (instrument_id) WHERE c.symbol = ?", (product,))}
    dominant = dict(served.execute("SELECT trading_date, instrument_id FROM dominant WHERE symbol = ?", (product,)))
    return days, expiry, bars, dominant


def plain_loop(served_data, rule, floors=None):
    """Every day's contract and every roll (decided, effective, from, to, trigger) of `rule`
    over the whole range, as a trader would work them out by hand."""
    days, expiry, bars, dominant = served_data
    depth = 1 if floors is None else 2
    kinds = {"service": ["oi"] if depth == 2 else [], "oi": ["oi"], "volume": ["volume"],
             "oi+volume": ["oi", "volume"], "calendar": []}[rule.rule]

    def value(c, d, kind):
        bar = bars.get((c, d))
        return 0 if bar is None else bar[1] if kind == "volume" else bar[2]

    def days_before_expiry(c, n):
        d = date.fromisoformat(expiry[c])
        for _ in range(n):
            d = previous_trading_day(d)
        return d.isoformat()

    def later(d, cur, seen, floor):
        low = max(expiry[c] for c in (cur, floor) if c) if (cur or floor) else ""
        return [c for c in expiry if (c, d) in bars and (not rule.months or int(c[-2:]) in rule.months)
                and expiry[c] > low and c not in seen]

    def best(d, cs, kind):
        if kind is None:
            return min(cs, key=lambda c: expiry[c])
        return max(cs, key=lambda c: (value(c, d, kind), -date.fromisoformat(expiry[c]).toordinal()))

    def may_hold(c, d):
        return (d <= expiry[c] and (rule.rule != "calendar" or d < days_before_expiry(c, rule.before))
                and (rule.force_days is None or d < days_before_expiry(c, rule.force_days)))

    first = days[0]
    cur = dominant[first] if depth == 1 else None
    if cur is None or not (not rule.months or int(cur[-2:]) in rule.months) or not may_hold(cur, first):
        cs = [c for c in later(first, None, set(), None if floors is None else floors[0]) if may_hold(c, first)]
        cur = best(first, cs, (kinds or ["oi"])[0] if rule.rule != "calendar" else None)
    seen, held, rolls = {cur}, [], []
    for i, d in enumerate(days):
        held.append(cur)
        if i + 1 == len(days):
            break
        after = days[i + 1]
        floor = None if floors is None else floors[i + 1]
        cs = later(d, cur, seen, floor)
        to = trigger = None
        if rule.rule == "service" and depth == 1:
            if dominant.get(after) in cs:
                to, trigger = dominant[after], "service"
        elif kinds and cs and i + 1 >= rule.confirm:
            x = best(d, cs, kinds[0])
            if all(later(w, cur, seen, floor) and all(
                    best(w, later(w, cur, seen, floor), k) == x and value(x, w, k) > rule.threshold * value(cur, w, k)
                    for k in kinds) for w in days[i + 1 - rule.confirm:i + 1]):
                to, trigger = x, rule.rule if rule.rule != "service" else "oi"
        if to is None:
            if floor and expiry[floor] >= expiry[cur]:
                trigger = "forced"
            elif rule.rule == "calendar" and after >= days_before_expiry(cur, rule.before):
                trigger = "calendar"
            elif rule.force_days is not None and after >= days_before_expiry(cur, rule.force_days):
                trigger = "forced"
            elif d >= expiry[cur]:
                trigger = "forced"
            if trigger:
                to = best(d, cs, None if trigger == "calendar" or rule.rule == "calendar" else (kinds or ["oi"])[0])
        if to:
            rolls.append((d, after, cur, to, trigger))
            cur = to
            seen.add(to)
    return held, rolls


def grid():
    signals = [RollRule(name, threshold, confirm) for name in ("oi", "volume", "oi+volume")
               for confirm in (1, 3) for threshold in (1.0, 1.1)]
    return [RollRule("service"), *signals, RollRule("calendar", before=5), RollRule("calendar", before=10)]


@pytest.mark.parametrize("product", ["rb", "au", "IF", "SR", "m"])
def test_every_rule_holds_the_contracts_a_plain_loop_over_the_service_data_holds(source, served, product):
    data = served_market(served, product)
    market = gather(source, product, FIRST, LAST, RollRule(confirm=3))
    active = PRODUCTS[product].active_months
    checked = 0
    for base in grid():
        for months in ((), active):
            for force_days in (None, 10):
                for depth in (1, 2):
                    rule = dataclasses.replace(base, months=months, force_days=force_days, depth=depth)
                    ours = dataclasses.replace(market, months=months, _month={})
                    floors = None if depth == 1 else plain_loop(data, dataclasses.replace(rule, depth=1))[0]
                    try:
                        held, decisions = decide(ours, rule)
                    except dl.Failure:  # a roll is due with no contract to roll to: so says the loop
                        with pytest.raises(ValueError, match="empty"):
                            plain_loop(data, rule, floors)
                        continue
                    got = [(d.decision_day.isoformat(), d.effective_day.isoformat(), d.from_contract, d.to_contract,
                            d.trigger) for d in decisions if d.decision_day < LAST]
                    want_held, want = plain_loop(data, rule, floors)
                    assert (held, got) == (want_held, want), (rule, product)
                    # No roll back: one stretch per contract, expiries never fall; depth 2 after depth 1.
                    stretches = [c for i, c in enumerate(held) if i == 0 or held[i - 1] != c]
                    assert len(stretches) == len(set(stretches))
                    expiries = [data[1][c] for c in stretches]
                    assert expiries == sorted(expiries)
                    if floors:
                        assert all(data[1][two] > data[1][one] for one, two in zip(floors, held))
                    checked += len(got)
    assert checked > 200  # the grid rolls, not only holds


def test_roll_rows_carry_the_decision_day_closes_and_the_service_beside_them(source, served):
    data = served_market(served, "au")
    series = continuous_bars(source, "au", date(2023, 8, 1), LAST, roll="oi", confirm=3, threshold=1.1,
                             method="difference")
    assert series.name == "au_oi_t1p1_c3" and series.rolls
    for roll in series.rolls:
        day = roll.decision_day.isoformat()
        assert (roll.from_close, roll.to_close) == (data[2][(roll.from_contract, day)][0],
                                                    data[2][(roll.to_contract, day)][0])
        assert roll.difference == float(Decimal(repr(roll.to_close)) - Decimal(repr(roll.from_close)))
        assert roll.service_dominant == data[3][roll.effective_day.isoformat()]
        assert [s["day"] for s in roll.stats] == data[0][data[0].index(day) - 2:data[0].index(day) + 1]
        assert roll.effective_start.isoformat() == f"{day}T21:00:00+08:00"  # au's night session opens it
    frame = series.rolls_frame()
    assert frame.columns[:4] == ["product", "depth", "rule", "params"] and frame.height == len(series.rolls)


# --- honesty and adjustment ---------------------------------------------------------------------


@pytest.mark.parametrize("rule", [{"roll": "oi", "confirm": 3, "threshold": 1.1},
                                  {"roll": "calendar", "before": 10, "months": (1, 5, 10), "depth": 2}])
def test_a_build_to_an_earlier_end_is_the_full_build_up_to_it(source, rule):
    full = continuous_bars(source, "rb", date(2023, 8, 1), LAST, **rule)
    forward = continuous_bars(source, "rb", date(2023, 8, 1), LAST, adjust="forward", **rule)
    assert full.rolls
    for end in random.Random(38).sample(sorted({bar.datetime.date() for bar in full.bars}), 4):
        part = continuous_bars(source, "rb", date(2023, 8, 1), end, **rule)
        shown = [(b.datetime, b.open_price, b.high_price, b.low_price, b.close_price) for b in part.bars]
        assert shown == [(b.datetime, b.open_price, b.high_price, b.low_price, b.close_price)
                         for b in full.bars[:len(shown)]]
        assert [r.record() for r in part.rolls] == [r.record() for r in full.rolls if r.effective_day <= end]
        ahead = continuous_bars(source, "rb", date(2023, 8, 1), end, adjust="forward", **rule)
        scale = {round(a.close_price / b.close_price, 12) for a, b in zip(forward.bars, ahead.bars)}
        assert len(scale) == 1  # up to the constant factor of the later rolls


def test_no_bar_before_the_effective_day_comes_from_the_new_contract(source):
    series = continuous_bars(source, "rb", date(2024, 4, 1), date(2024, 4, 19), Interval.MINUTE, roll="oi")
    (roll,) = series.rolls
    new = [bar.datetime for bar, contract in zip(series.bars, series.sources) if contract == roll.to_contract]
    old = [bar.datetime for bar, contract in zip(series.bars, series.sources) if contract == roll.from_contract]
    assert min(new) >= roll.effective_start > max(old)
    assert min(new).hour == 21 and min(new).date() == roll.decision_day  # the night session opens it


@pytest.mark.parametrize("method", ["ratio", "difference"])
@pytest.mark.parametrize("adjust", ["backward", "forward"])
def test_adjusted_closes_meet_at_every_roll_and_segments_keep_their_moves(source, method, adjust):
    series = continuous_bars(source, "m", FIRST, LAST, roll="volume", confirm=3, adjust=adjust, method=method)
    closes = {bar.datetime.date(): bar.close_price for bar in series.bars}
    assert len(series.rolls) >= 2
    frame = series.frame()
    assert frame.columns[-2:] == ["source", "raw_close"]
    for roll in series.rolls:
        held = closes[roll.decision_day]  # the old contract's adjusted close on the decision day
        if method == "ratio":
            assert math.isclose(held, roll.to_close * roll.factor, rel_tol=1e-12)
        else:
            assert Decimal(repr(held)) == Decimal(repr(roll.to_close)) + Decimal(repr(roll.factor))
    rows = list(zip(series.sources, series.raw_closes, [bar.close_price for bar in series.bars]))
    for (one, raw_one, adj_one), (two, raw_two, adj_two) in zip(rows, rows[1:]):
        if one != two:
            continue
        if method == "ratio":
            assert math.isclose(adj_two / adj_one, raw_two / raw_one, rel_tol=1e-12)
        else:
            assert Decimal(repr(adj_two)) - Decimal(repr(adj_one)) == Decimal(repr(raw_two)) - Decimal(repr(raw_one))
    if adjust == "backward":
        assert series.bars[0].close_price == series.raw_closes[0]
    else:
        assert series.bars[-1].close_price == series.raw_closes[-1]


# --- a hand-made market ------------------------------------------------------------------------

DAYS = [date(2024, 3, 4) + timedelta(days=n) for n in range(19) if (date(2024, 3, 4) + timedelta(days=n)).weekday() < 5]
# x2404 expires on the 13th day (2024-03-20). On the 6th day (2024-03-11) x2405 leads by open
# interest for one day only, tied with x2406 (the nearer expiry wins); its close that day is -5.
OPEN_INTEREST = {"x2404": [100] * 5 + [90] + [100] * 7,
                 "x2405": [50] * 5 + [95] + [80] * 9,
                 "x2406": [10] * 5 + [95] + [10] * 9}
CLOSES = {"x2404": [10.0] * 13, "x2405": [12.0] * 5 + [-5.0] + [12.0] * 9, "x2406": [30.0] * 15}
EXPIRY = {"x2404": "2024-03-20", "x2405": "2024-04-15", "x2406": "2024-05-15"}


@pytest.fixture
def handmade(server, settings, monkeypatch):
    from vnpy_norvix import Datafeed

    server.route("/dominant/query", server.reply_json(server.envelope(
        [{"trading_date": d.isoformat(), "symbol": "x", "instrument_id": "x2404" if i < 13 else "x2405",
          "exchange": "SHFE"} for i, d in enumerate(DAYS)])))
    server.route("/exfactor/query", server.reply_json(server.envelope([])))
    server.route("/multiplier/query", server.reply_json(server.envelope([])))
    server.route("/current/query", server.reply_json(server.envelope(
        [{"instrument_id": c, "exchange": "SHFE", "list_date": "2023-04-17", "expire_date": e}
         for c, e in EXPIRY.items()])))

    def day_bars(received):
        body = received.json
        contract = body["instrument_id"]
        return server.reply_json(server.envelope([
            {"instrument_id": contract, "trading_date": d.isoformat(), "open_price": close, "high_price": close,
             "low_price": close, "close_price": close, "volume": oi, "open_interest": oi}
            for d, close, oi in zip(DAYS, CLOSES[contract], OPEN_INTEREST[contract])
            if body["start_date"] <= d.isoformat() <= body["end_date"]]))

    server.route("/daybar/query", day_bars)
    monkeypatch.setitem(settings, "datafeed.username", SERVICE_USER)
    monkeypatch.setitem(settings, "datafeed.password", SERVICE_TOKEN)
    feed = Datafeed()
    feed.base_url = server.url
    return feed


def test_a_hand_made_market_rolls_as_worked_out_by_hand(handmade):
    def rolls(end, **rule):
        series = continuous_bars(handmade, "x", DAYS[1], end, method="difference", **rule)
        return [(r.decision_day.isoformat(), r.effective_day.isoformat(), r.from_contract, r.to_contract, r.trigger)
                for r in series.rolls], series

    one, series = rolls(DAYS[-1], roll="oi")
    assert one == [("2024-03-11", "2024-03-12", "x2404", "x2405", "oi")]  # the tie went to x2405
    assert [bar.close_price for bar in series.bars] == [10.0] * 5 + [27.0] * 9  # 12 + 15
    assert (series.rolls[0].difference, series.rolls[0].ratio) == (-15.0, -0.5)
    assert rolls(DAYS[11], roll="oi", confirm=3)[0] == []
    assert rolls(DAYS[-1], roll="oi", confirm=3)[0] == [("2024-03-20", "2024-03-21", "x2404", "x2405", "forced")]
    assert rolls(DAYS[-1], roll="oi", confirm=3, force_days=3)[0] == [
        ("2024-03-14", "2024-03-15", "x2404", "x2405", "forced")]
    with pytest.raises(EmptyCycle, match="--months 7 leaves no contract of x: its contracts are of the months 4,5,6"):
        continuous_bars(handmade, "x", DAYS[1], DAYS[-1], roll="oi", months=(7,))
    with pytest.raises(BadClose, match="x2405.*-5.0"):
        continuous_bars(handmade, "x", DAYS[1], DAYS[-1], roll="oi")
    assert next_roll(handmade, "x", DAYS[5], "oi", start=DAYS[1]) == next_roll(
        handmade, "x", DAYS[5], "oi", start=DAYS[0])
    found = next_roll(handmade, "x", DAYS[5], "oi", start=DAYS[1])
    assert (found.current, found.next, found.changes, found.effective_day) == ("x2404", "x2405", True, DAYS[6])


# --- the roll table kept with the series ----------------------------------------------------


def stored_rolls(home, symbol):
    with closing(sqlite3.connect(home / ".vntrader" / "database.db")) as db:
        db.row_factory = sqlite3.Row
        return [dict(row) for row in db.execute("SELECT * FROM norvixroll WHERE symbol = ? ORDER BY id", (symbol,))]


@pytest.mark.skipif(FAKETIME is None, reason="libfaketime is not installed (scripts/setup.sh)")
def test_update_continues_a_series_with_its_rule_and_stores_its_roll_table(tmp_path, service, source):
    home = make_home(tmp_path, service)
    rule = ["--roll", "oi", "--confirm", "3", "--threshold", "1.1", "--method", "difference"]
    # Built one evening to that day (a command without --end is remembered to move with the clock) ...
    first = run_at(home, datetime(2024, 2, 1, 20, tzinfo=CHINA_TZ), "continuous", "rb", "--start", "2023-08-01",
                   *rule)
    assert first.returncode == 0, first.stderr
    assert len(stored_rolls(home, "rb_oi_t1p1_c3")) == 2
    # ... and continued by the nightly update months later.
    updated = run_at(home, datetime(2024, 6, 28, 20, tzinfo=CHINA_TZ), "update")
    assert updated.returncode == 0, updated.stdout + updated.stderr

    fresh = continuous_bars(source, "rb", date(2023, 8, 1), LAST, roll="oi", confirm=3, threshold=1.1,
                            method="difference")
    stored = stored_rolls(home, "rb_oi_t1p1_c3")
    assert [{k: row[k] for k in ("decision_day", "to_contract", "factor", "trigger")} for row in stored] == [
        {"decision_day": r.decision_day.isoformat(), "to_contract": r.to_contract, "factor": r.factor,
         "trigger": r.trigger} for r in fresh.rolls]
    assert json.loads(stored[0]["stats"]) == fresh.rolls[0].stats
    ahead = cli(home, "continuous", "rb", "--next", "--start", "2023-08-01", "--end", "2024-04-15", "--json", *rule)
    assert json.loads(ahead.stdout)["next"] == [{"product": "rb", "current": "rb2405", "next": "rb2410",
                                                  "changes": True, "decision_day": "2024-04-15",
                                                  "effective_day": "2024-04-16"}]
    shown = cli(home, "status", "--rolls", "rb_oi_t1p1_c3", "--json")
    assert [row["to_contract"] for row in json.loads(shown.stdout)["rolls"]] == [r.to_contract for r in fresh.rolls]


@pytest.fixture(params=["sqlite", "postgresql", "mysql"])
def roll_store(request):
    backend = request.getfixturevalue(f"{request.param}_backend")
    backend.use("bulk")
    return backend.database


def test_a_rebuild_stopped_inside_its_transaction_leaves_series_and_roll_table(roll_store, monkeypatch, source):
    from vnpy_norvix import store
    from vnpy_norvix.store import rolls as roll_table

    def save(end):
        series = continuous_bars(source, "rb", date(2023, 8, 1), end, roll="oi")
        store.replace_bars(roll_store, series.name, Exchange.SHFE, Interval.DAILY, series.bars,
                           [roll.record() for roll in series.rolls])
        return series

    def held():
        writer = store.sql_writer(roll_store)
        return roll_store.load_bar_data("rb_oi", Exchange.SHFE, Interval.DAILY, FIRST, LAST + timedelta(1)), \
            roll_table.read(writer, "rb_oi")

    series = save(date(2024, 1, 31))
    before = held()
    assert before[0] and [{k: row[k] for k in roll_table.FIELDS} for row in before[1]] == [
        roll.record() for roll in series.rolls]
    replace = roll_table.replace

    def interrupted(*args):
        replace(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(roll_table, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        save(LAST)
    assert held() == before


def test_a_lab_keeps_the_roll_table_beside_the_bars_and_a_failed_save_keeps_the_old(tmp_path, monkeypatch, source):
    import csv

    store = lab.LabStore(tmp_path)
    first = continuous_bars(source, "rb", date(2023, 8, 1), date(2024, 1, 31), roll="oi")
    store.replace_bar_data(first.bars, [roll.record() for roll in first.rolls])
    path = lab.rolls_file(tmp_path, first.vt_symbol, Interval.DAILY)
    with open(path, newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    assert [(row["to_contract"], json.loads(row["stats"]), float(row["factor"])) for row in rows] == [
        (roll.to_contract, roll.stats, roll.factor) for roll in first.rolls]
    kept = path.read_bytes()

    def broken(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(lab_store, "save_lab_bars", broken)
    later = continuous_bars(source, "rb", date(2023, 8, 1), LAST, roll="oi")
    with pytest.raises(OSError):
        store.replace_bar_data(later.bars, [roll.record() for roll in later.rolls])
    assert path.read_bytes() == kept and len(later.rolls) > len(first.rolls)


@pytest.mark.parametrize("name, rule", [("rb888", {}), ("rb_oi_c3", {"roll": "oi", "confirm": 3})])
def test_query_bar_frame_of_a_continuous_name_is_the_series_frame_with_its_sources(source, name, rule):
    from vnpy.trader.object import HistoryRequest

    start, end = date(2024, 1, 2), date(2024, 6, 28)
    built = continuous_bars(source, "rb", start, end, Interval.DAILY, **rule).frame()
    req = HistoryRequest(name, Exchange.SHFE, datetime(2024, 1, 2, tzinfo=CHINA_TZ),
                         datetime(2024, 6, 28, 23, tzinfo=CHINA_TZ), Interval.DAILY)
    said: list[str] = []
    frame = source.datafeed.query_bar_frame(req, said.append)
    assert said == [] and frame.drop("trading_day").equals(built)
    assert frame["source"].n_unique() > 1 and frame["raw_close"].null_count() == 0
    req.exchange = Exchange.DCE
    assert source.datafeed.query_bar_frame(req, said.append).is_empty() and "SHFE" in said[0]
