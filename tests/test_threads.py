"""One datafeed object shared by many threads, against a real threaded local server.

Eight threads run every query at once, each with its own symbol, while another thread
keeps switching the credentials between two valid accounts with `initialize` and a third
keeps rebinding module globals the queries read (to the same objects, which still tells
the module that its namespace changed). Nothing may crash or hang, and every answer must
be complete and must be the calling thread's own: the server writes the requested symbol
into the records it sends back.
"""

import threading
import time
from datetime import timedelta

import pytest
from vnpy.trader.constant import Exchange, Interval

from helpers import reply_json
from faults import servers
from faults.queries import QUERIES

WORKERS = 8
ROUNDS = 8
RECORDS = 3
JOIN_TIMEOUT = 60
ACCOUNTS = [("user", "secret-pass"), ("user2", "other-secret")]
USERS = {user for user, _ in ACCOUNTS}
TOKENS = {token for _, token in ACCOUNTS}


def requested_symbol(received):
    if received.method == "GET":
        return (received.params.get("symbol") or [None])[0]
    body = received.json or {}
    return body.get("instrument_id", body.get("symbol"))


def marker(symbol) -> int:
    """A number that only this symbol's answers carry."""
    return int(symbol[2:])


def answer(received):
    if received.header("mobile") not in USERS or received.header("token") not in TOKENS:
        return reply_json({"code": 1002, "message": "credentials", "data": []})
    symbol = requested_symbol(received)
    endpoint = received.path
    if endpoint in ("/daybar/query", "/minutebar/query", "/tickdata/query"):
        records = [dict(servers.good_record(endpoint), volume=marker(symbol)) for _ in range(RECORDS)]
    else:
        records = [dict(servers.REFERENCE_RECORD, symbol=symbol, n=i) for i in range(RECORDS)]
    return reply_json({"code": 0, "message": "ok", "data": records}, delay=received_delay(received))


def received_delay(received):
    return 1.0 if requested_symbol(received) == "rb9999" else 0.0


def check_result(query, symbol, result):
    """Problems with one answer, as text (empty when it is right)."""
    if type(result) is not list or len(result) != RECORDS:
        return [f"{query.name}({symbol}) returned {result!r:.200}"]
    problems = []
    for item in result:
        if type(item) is not query.record_type:
            problems.append(f"{query.name}({symbol}) item {item!r:.100}")
        elif query.kind == "records":
            if item["symbol"] != symbol:
                problems.append(f"{query.name}({symbol}) got the records of {item['symbol']}")
        elif (item.symbol, item.exchange, item.gateway_name, item.volume) != (
                symbol, Exchange.SHFE, "NorviX", float(marker(symbol))):
            problems.append(f"{query.name}({symbol}) got {item!r:.200}")
        elif item.datetime.utcoffset() != timedelta(hours=8):
            problems.append(f"{query.name}({symbol}) time {item.datetime!r}")
        elif query.kind == "bars" and item.interval not in (Interval.DAILY, Interval.MINUTE):
            problems.append(f"{query.name}({symbol}) interval {item.interval!r}")
    return problems


@pytest.fixture
def shared_feed(feed, server):
    server.default = answer
    return feed


def test_many_threads_on_one_datafeed(nd, shared_feed, server, logs):
    feed = shared_feed
    problems = []
    calls = [0] * WORKERS
    start = threading.Barrier(WORKERS + 2)
    done = threading.Event()
    switches = rebinds = 0

    def worker(index):
        symbol = f"rb{2400 + index}"
        start.wait()
        try:
            for _ in range(ROUNDS):
                for query in QUERIES:
                    problems.extend(check_result(query, symbol, query.call(feed, symbol)))
                    calls[index] += 1
                for method in ("GET", "POST"):
                    answer_ = feed._make_request(method=method, endpoint="/dominant/query",
                                                 json_data={"symbol": symbol}, timeout=10)
                    if answer_.get("code") != 0 or {r["symbol"] for r in answer_["data"]} != {symbol}:
                        problems.append(f"_make_request({method}, {symbol}) returned {answer_!r:.200}")
                    calls[index] += 1
        except BaseException as exc:  # noqa: BLE001 - reported below, with the thread's name
            problems.append(f"worker {index} raised {exc!r}")

    def switcher():
        nonlocal switches
        start.wait()
        while not done.is_set():
            feed.initialize(*ACCOUNTS[switches % 2])
            switches += 1
            time.sleep(0.0005)

    def rebinder():
        nonlocal rebinds
        start.wait()
        while not done.is_set():
            for name in ("CHINA_TZ", "logger", "requests", "BarData", "TickData", "Interval"):
                setattr(nd, name, getattr(nd, name))
            rebinds += 1
            time.sleep(0.001)

    workers = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(WORKERS)]
    initializer = threading.Thread(target=switcher, daemon=True)
    globals_thread = threading.Thread(target=rebinder, daemon=True)
    for t in workers + [initializer, globals_thread]:
        t.start()
    started = time.monotonic()
    for t in workers:
        t.join(max(0.1, JOIN_TIMEOUT - (time.monotonic() - started)))
    done.set()
    initializer.join(10)
    globals_thread.join(10)
    hung = [t.name for t in workers + [initializer, globals_thread] if t.is_alive()]
    assert not hung, f"threads still running after {JOIN_TIMEOUT} s: {hung}"
    assert not problems, problems[:10]

    per_worker = ROUNDS * (len(QUERIES) + 2)
    assert calls == [per_worker] * WORKERS
    assert switches > 10 and rebinds > 10
    # Every exchange succeeded, and every request carried one of the two accounts.
    assert sum(1 for line in logs if line == ("INFO", "请求成功！状态码: 200")) == WORKERS * per_worker
    exchanges = server.requests
    assert len(exchanges) == WORKERS * per_worker
    assert {(r.header("mobile") in USERS, r.header("token") in TOKENS) for r in exchanges} == {(True, True)}


def test_a_slow_exchange_does_not_hold_up_other_threads(shared_feed):
    # While one thread waits a second for its answer, others keep working: the module
    # gives up the interpreter lock for the exchange as the HTTP library does.
    feed = shared_feed
    slow_query = next(q for q in QUERIES if q.name == "query_dominant")
    finished = {}

    def slow():
        result = feed.query_dominant("rb9999", "2024-01-01", "2024-03-31")
        finished["slow"] = (time.monotonic(), result)

    thread = threading.Thread(target=slow, daemon=True)
    thread.start()
    time.sleep(0.1)
    fast = []
    for query in QUERIES:
        fast.append(check_result(query, "rb2400", query.call(feed, "rb2400")))
    fast_done = time.monotonic()
    thread.join(10)
    assert not thread.is_alive()
    assert fast == [[]] * len(QUERIES)
    slow_done, result = finished["slow"]
    assert fast_done < slow_done, "the other queries had to wait for the slow exchange"
    assert check_result(slow_query, "rb9999", result) == []
