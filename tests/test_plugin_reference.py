"""What the queries check before asking for records: dates the calendar can handle, the
contract against the service's reference data, and reference answers of the right
shape (a hostile one gives a masked reason instead of a traceback)."""

from datetime import datetime

import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import HistoryRequest

from helpers import SERVICE_TOKEN, SERVICE_USER, SHANGHAI, envelope, reply_json

PRODUCTS = [{"symbol": "rb", "exchange": "SHFE"}]
DOMINANT = [{"trading_date": "2024-03-04", "symbol": "rb", "instrument_id": "rb2405", "exchange": "SHFE"}]
DAY = {"trading_date": "2024-03-04", "open_price": 1, "high_price": 2, "low_price": 1, "close_price": 2}


def ask(feed, symbol, exchange, interval=Interval.DAILY):
    output: list[str] = []
    req = HistoryRequest(symbol=symbol, exchange=exchange, start=datetime(2024, 3, 1, tzinfo=SHANGHAI),
                         end=datetime(2024, 3, 29, tzinfo=SHANGHAI), interval=interval)
    query = feed.query_tick_history if interval == Interval.TICK else feed.query_bar_history
    return query(req, output.append), output


def make_feed(url):
    from vnpy_norvix import Datafeed

    feed = Datafeed()
    feed.base_url = url
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    return feed


@pytest.mark.parametrize("symbol, exchange, reason", [
    ("rb2405", Exchange.DCE, "rb2405.SHFE"),  # the right exchange named
    ("xx2405", Exchange.SHFE, "未知合约xx2405"),  # no such product
    ("rb2905", Exchange.SHFE, "未知合约rb2905"),  # a product the service has, a contract it does not
])
@pytest.mark.parametrize("interval", [Interval.DAILY, Interval.MINUTE, Interval.TICK])
def test_a_contract_the_service_does_not_have_there_is_refused(settings, service, symbol, exchange, reason, interval):
    records, output = ask(make_feed(service), symbol, exchange, interval)

    assert records == [] and len(output) == 1 and reason in output[0], output


def test_a_known_contract_passes_and_its_check_is_asked_once(settings, service, server):
    feed = make_feed(service)
    records, output = ask(feed, "rb2407", Exchange.SHFE)  # never dominant: known from the tradable contracts
    assert records and output == []

    # The same settings on a recording server: the reference answers are kept per process.
    server.route("/daybar/query", reply_json(envelope([DAY])))
    feed.base_url = server.url
    for _ in range(2):
        records, output = ask(feed, "rb2405", Exchange.SHFE)
        assert output == [] and len(records) == 1
    paths = [received.path for received in server.requests]
    assert paths.count("/multiplier/query") == 1 and paths.count("/daybar/query") == 2


@pytest.mark.parametrize("route, reply, problem", [
    ("/multiplier/query", envelope([{"symbol": "rb", "exchange": SERVICE_TOKEN}]), "exchange"),
    ("/multiplier/query", envelope({"symbol": "rb", "exchange": "SHFE", "echo": SERVICE_TOKEN}), "data"),
    ("/multiplier/query", envelope(["rb"]), "record"),
    ("/dominant/query", envelope([{**DOMINANT[0], "trading_date": None}]), "trading_date"),
    ("/dominant/query", envelope([{**DOMINANT[0], "exchange": SERVICE_TOKEN}]), "exchange"),
    ("/dominant/query", envelope([{**DOMINANT[0], "instrument_id": ""}]), "instrument_id"),
    # Names become file names, stored symbols and log lines: letters and digits, - and _ only.
    ("/dominant/query", envelope([{**DOMINANT[0], "instrument_id": "../../../outside/rb2405"}]), "../../../outside"),
    ("/dominant/query", envelope([{**DOMINANT[0], "instrument_id": f"rb2405\n{SERVICE_TOKEN}\\n"}]), "instrument_id"),
    ("/multiplier/query", envelope([{"symbol": "rb.x", "exchange": "SHFE"}]), "rb.x"),
])
def test_hostile_reference_answers_give_a_masked_reason(settings, server, route, reply, problem):
    server.route("/multiplier/query", reply_json(envelope(PRODUCTS)))
    server.route(route, reply_json(reply))
    server.route("/daybar/query", reply_json(envelope([DAY])))

    records, output = ask(make_feed(server.url), "rb2405", Exchange.SHFE)

    assert records == [] and len(output) == 1, output
    assert ("无法使用" in output[0] or "无法读取" in output[0]) and problem in output[0], output
    assert SERVICE_TOKEN not in output[0], output


@pytest.mark.parametrize("start, end", [
    (datetime(1, 1, 1), datetime(2024, 5, 1)),
    (datetime(2024, 5, 1), datetime(9999, 12, 20)),
    (datetime(9999, 12, 31, tzinfo=SHANGHAI), datetime.max.replace(tzinfo=SHANGHAI)),
])
@pytest.mark.parametrize("interval", [Interval.MINUTE, Interval.HOUR, Interval.DAILY, Interval.WEEKLY, Interval.TICK])
def test_the_queries_refuse_dates_out_of_reach_through_output(settings, server, start, end, interval):
    output: list[str] = []
    req = HistoryRequest(symbol="rb2405", exchange=Exchange.SHFE, start=start, end=end, interval=interval)
    feed = make_feed(server.url)
    query = feed.query_tick_history if interval == Interval.TICK else feed.query_bar_history

    assert query(req, output.append) == []
    assert len(output) == 1 and "超出可处理的日期范围" in output[0], output
    assert server.requests == []
