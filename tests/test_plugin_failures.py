"""What vnpy_norvix tells the user through `output`: one line per failed query with its
reason, nothing on success, also with queries running side by side on several threads."""

import threading
from datetime import datetime

import pytest
from loguru import logger
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import HistoryRequest

from conftest import SERVICE_TOKEN, SERVICE_USER, SHANGHAI, envelope, reply_json


def request(interval=Interval.DAILY, symbol="rb2405", start=datetime(2024, 3, 1), end=datetime(2024, 3, 29)):
    return HistoryRequest(symbol=symbol, exchange=Exchange.SHFE, start=start.replace(tzinfo=SHANGHAI),
                          end=end.replace(tzinfo=SHANGHAI), interval=interval)


def ask(feed, req):
    output: list[str] = []
    if req.interval is Interval.TICK:
        return feed.query_tick_history(req, output.append), output
    return feed.query_bar_history(req, output.append), output


@pytest.fixture
def plugin(settings):
    """A vnpy_norvix datafeed with the service's credentials; point it somewhere first."""
    from vnpy_norvix import Datafeed

    feed = Datafeed()
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    return feed


@pytest.mark.parametrize("interval", [Interval.MINUTE, Interval.WEEKLY, Interval.TICK])
def test_a_refusal_by_the_service_reaches_output_once(plugin, service, interval):
    plugin.base_url = service
    plugin.password = "other-secret"
    records, output = ask(plugin, request(interval, start=datetime(2024, 1, 1), end=datetime(2024, 5, 31)))
    assert records == []
    assert len(output) == 1 and "rb2405.SHFE" in output[0] and "invalid credentials" in output[0], output


def test_failures_of_the_exchange_name_their_reason(plugin, server, refused_port):
    plugin.base_url = f"http://127.0.0.1:{refused_port}"
    records, output = ask(plugin, request())
    assert records == [] and len(output) == 1 and "无法连接" in output[0] and str(refused_port) in output[0]

    plugin.base_url = server.url
    server.route("/daybar/query", server.Reply(503, {}, b"maintenance"))
    records, output = ask(plugin, request())
    assert records == [] and len(output) == 1 and "503" in output[0] and "maintenance" in output[0]

    server.route("/daybar/query", server.Reply(200, {}, b"<html>"))
    records, output = ask(plugin, request())
    assert records == [] and len(output) == 1 and "JSON" in output[0]

    # A null price makes the core raise: the query reports it instead.
    server.route("/daybar/query", reply_json(envelope([{"trading_date": "2024-03-01", "open_price": None,
                                                         "high_price": 1, "low_price": 1, "close_price": 1}])))
    records, output = ask(plugin, request())
    assert records == [] and len(output) == 1 and "TypeError" in output[0]

    requests_before = len(server.requests)
    plugin.initialize("", "")
    records, output = ask(plugin, request())
    assert records == [] and len(output) == 1 and "datafeed.username" in output[0]
    assert len(server.requests) == requests_before


@pytest.mark.parametrize("interval", [Interval.TICK, None])
def test_unsupported_intervals_are_reported(plugin, server, interval):
    plugin.base_url = server.url
    output: list[str] = []
    assert plugin.query_bar_history(request(interval), output.append) == []
    assert len(output) == 1 and str(getattr(interval, "value", interval)) in output[0]
    assert server.requests == []


def test_skipped_records_are_reported_with_the_good_ones_returned(plugin, server):
    plugin.base_url = server.url
    records = [{"trading_date": f"2024-03-{day:02d}", "open_price": 1, "high_price": 2, "low_price": 1,
                "close_price": 2} for day in (4, 5, 6)]
    del records[1]["close_price"]
    server.route("/daybar/query", reply_json(envelope(records)))
    bars, output = ask(plugin, request())
    assert [bar.datetime.day for bar in bars] == [4, 6]
    assert len(output) == 1 and "1条" in output[0] and "close_price" in output[0]


def test_one_failed_window_fails_the_whole_query(plugin, server):
    """A history with a hole would be saved as complete: nothing is returned instead."""
    plugin.base_url = server.url
    bar = {"trading_datetime": "2024-01-02 09:00:00", "open_price": 1, "high_price": 1, "low_price": 1,
           "close_price": 1}

    def answer(received):
        if received.json["start_date"] >= "2024-03-01":
            return reply_json(envelope(code=7, message="window refused"))
        return reply_json(envelope([bar]))

    server.route("/minutebar/query", answer)
    bars, output = ask(plugin, request(Interval.MINUTE, start=datetime(2024, 1, 1), end=datetime(2024, 6, 30)))
    assert bars == []
    assert output == [output[0]] and "window refused" in output[0]


def test_init_asks_the_service_once_per_address_and_credentials(plugin, server, service):
    plugin.base_url = server.url
    output: list[str] = []
    assert plugin.init(output.append) is True and plugin.init(output.append) is True
    assert output == [] and len(server.requests) == 1
    assert server.requests[0].path == "/multiplier/query"

    plugin.base_url = service
    plugin.password = "other-secret"
    assert plugin.init(output.append) is False
    assert len(output) == 1 and "invalid credentials" in output[0]
    plugin.password = SERVICE_TOKEN
    assert plugin.init(output.append) is True and len(output) == 1


def test_queries_on_several_threads_see_only_their_own_lines(settings, service):
    from vnpy_norvix import Datafeed

    good, bad = Datafeed(), Datafeed()
    for feed, token in ((good, SERVICE_TOKEN), (bad, "other-secret")):
        feed.base_url = service
        feed.initialize(SERVICE_USER, token)
    results: dict[str, list] = {}

    def run(name, feed, interval):
        results[name] = [ask(feed, request(interval, start=datetime(2024, 1, 1), end=datetime(2024, 5, 31)))
                         for _ in range(3)]

    threads = [threading.Thread(target=run, args=(f"{kind}-{interval.value}", feed, interval))
               for kind, feed in (("good", good), ("bad", bad)) for interval in (Interval.MINUTE, Interval.DAILY)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)

    for name, runs in results.items():
        for records, output in runs:
            if name.startswith("good"):
                assert records and output == [], (name, output)
            else:
                assert records == [] and len(output) == 1 and "invalid credentials" in output[0], (name, output)
    assert len(results) == 4


def test_with_the_core_logging_disabled_a_failure_is_still_reported(plugin, service):
    plugin.base_url = service
    names = ("norvix_datafeed", "vnpy_norvix")
    for name in names:
        logger.disable(name)
    try:
        assert ask(plugin, request())[0]  # data still arrives, and nothing is said
        assert ask(plugin, request())[1] == []
        plugin.password = "other-secret"
        records, output = ask(plugin, request())
        assert records == [] and len(output) == 1 and "没有返回任何数据" in output[0]
        assert plugin.init(output.append) is False and len(output) == 2
    finally:
        for name in names:
            logger.enable(name)
