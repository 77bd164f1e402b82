"""What vnpy_norvix tells the user through `output`: one line per failed query with its
reason, nothing on success, also with queries running side by side on several threads."""

import threading
from datetime import date, datetime, timedelta

import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import HistoryRequest

from helpers import SERVICE_TOKEN, SERVICE_USER, SHANGHAI, ask, envelope, reply_json

DAY = {"trading_date": "2024-03-04", "open_price": 1, "high_price": 2, "low_price": 1, "close_price": 2}


@pytest.fixture
def plugin(settings, server):
    """A vnpy_norvix datafeed on the recording server, with the service's credentials."""
    from vnpy_norvix import Datafeed

    feed = Datafeed()
    feed.base_url = server.url
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    return feed


@pytest.mark.parametrize("interval", [Interval.MINUTE, Interval.WEEKLY, Interval.TICK])
def test_a_refusal_by_the_service_reaches_output_once(plugin, service, interval):
    plugin.base_url, plugin.password = service, "other-secret"
    records, output = ask(plugin, interval, datetime(2024, 1, 1), datetime(2024, 5, 31))
    assert records == []
    assert len(output) == 1 and "rb2405.SHFE" in output[0] and "invalid credentials" in output[0], output


@pytest.mark.parametrize("reply, interval, reason", [
    (None, Interval.DAILY, "无法连接"),
    (reply_json({"code": 0}, status=503), Interval.DAILY, "HTTP错误503"),
    (reply_json([DAY]), Interval.DAILY, "not an object"),  # not an envelope
    (reply_json(envelope([{**DAY, "open_price": None}])), Interval.DAILY, "TypeError"),
    (reply_json(envelope([DAY, {**DAY, "trading_date": "2024-03-05", "close_price": "x"}, DAY])), Interval.DAILY,
     "1条记录无法解析"),
    (reply_json(envelope([DAY])), Interval.TICK, "不支持的周期：tick"),
    (reply_json(envelope([DAY])), None, "不支持的周期：None"),
])
def test_each_failure_names_its_reason(plugin, server, refused_port, reply, interval, reason):
    if reply is None:
        plugin.base_url = f"http://127.0.0.1:{refused_port}"
    else:
        server.route("/daybar/query", reply)
    output: list[str] = []
    req = HistoryRequest(symbol="rb2405", exchange=Exchange.SHFE, start=datetime(2024, 3, 1, tzinfo=SHANGHAI),
                         end=datetime(2024, 3, 29, tzinfo=SHANGHAI), interval=interval)
    records = plugin.query_bar_history(req, output.append)
    assert len(output) == 1 and reason in output[0], output
    # Records that cannot be read are skipped; the others are still returned.
    assert [bar.datetime.day for bar in records] == ([4] if "记录" in reason else [])


def test_no_credentials_send_nothing(plugin, server):
    plugin.initialize("", "")
    for interval in (Interval.MINUTE, Interval.TICK):
        records, output = ask(plugin, interval)
        assert records == [] and len(output) == 1 and "datafeed.username" in output[0]
    assert plugin.init(output.append) is False and len(output) == 2
    assert server.requests == []


def test_one_failed_window_fails_the_whole_query(plugin, server):
    """A history with a hole would be saved as complete: nothing is returned instead."""
    def minute(start: str) -> dict:  # one bar on the window's first weekday: an answer to what was asked
        day = date.fromisoformat(start[:10])
        day += timedelta(days=max(0, 7 - day.weekday()) if day.weekday() >= 5 else 0)
        return {"trading_datetime": f"{day} 09:00:00", "open_price": 1, "high_price": 1, "low_price": 1,
                "close_price": 1}

    server.route("/minutebar/query", lambda received: reply_json(
        envelope(code=7, message="window refused") if received.json["start_date"] >= "2024-03-01"
        else envelope([minute(received.json["start_date"])])))
    records, output = ask(plugin, Interval.MINUTE, datetime(2024, 1, 1), datetime(2024, 6, 30))
    assert records == [] and len(output) == 1 and "window refused" in output[0]


def test_init_asks_the_service_once_per_address_and_credentials(plugin, server, service):
    output: list[str] = []
    assert plugin.init(output.append) is True and plugin.init(output.append) is True
    assert output == [] and [received.path for received in server.requests] == ["/multiplier/query"]

    plugin.base_url, plugin.password = service, "other-secret"
    assert plugin.init(output.append) is False
    assert len(output) == 1 and "invalid credentials" in output[0]
    plugin.password = SERVICE_TOKEN
    assert plugin.init(output.append) is True and len(output) == 1


def test_queries_on_several_threads_see_only_their_own_lines(settings, service):
    from vnpy_norvix import Datafeed

    feeds = {"good": Datafeed(), "bad": Datafeed()}
    for name, feed in feeds.items():
        feed.base_url = service
        feed.initialize(SERVICE_USER, SERVICE_TOKEN if name == "good" else "other-secret")
    results: dict[tuple, list] = {}

    def run(name, interval):
        results[name, interval] = [ask(feeds[name], interval, datetime(2024, 1, 1), datetime(2024, 5, 31))
                                   for _ in range(3)]

    threads = [threading.Thread(target=run, args=(name, interval))
               for name in feeds for interval in (Interval.MINUTE, Interval.DAILY)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)

    assert len(results) == 4
    for (name, _), runs in results.items():
        for records, output in runs:
            if name == "good":
                assert records and output == [], output
            else:
                assert records == [] and len(output) == 1 and "invalid credentials" in output[0], output
