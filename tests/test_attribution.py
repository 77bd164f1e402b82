"""Log records and tracebacks name the module and its methods, as for Python code.

loguru takes a record's name, function and file from the frame that calls the logger;
silencing a library (`logger.disable(name)`) and per-module filters depend on them.
"""

import os
import threading
import traceback

import pytest
from loguru import logger

from helpers import add_sink, envelope, reply_json
from faults import servers
from faults.queries import BY_NAME, QUERIES, history_request

SYMBOL = "rb2405"


def where(nd) -> tuple[str, str]:
    """(record["file"].path, record["module"]) of a line written by the module's own code."""
    path = nd.__file__
    return path, os.path.splitext(os.path.basename(path))[0]


@pytest.fixture
def records():
    seen: list[dict] = []
    handler_id = add_sink(seen, lambda record: record)
    yield seen
    logger.remove(handler_id)


def attributed(records) -> list[tuple[str, str, str, str, str]]:
    return [(r["name"], r["function"], r["file"].path, r["module"], r["message"]) for r in records]


def serve_one_good_record(server):
    server.default = lambda received: reply_json(envelope([servers.good_record(received.path)]))


# The method whose Python form writes each line of a successful call: the opening
# line and the summary come from the query, the success line from _make_request.
WRITER = {
    "query_bar_history[daily]": "query_day_bar_history",
    "query_bar_history[minute]": "query_minute_bar_history",
}


@pytest.mark.parametrize("query", QUERIES, ids=repr)
def test_every_line_names_the_module_and_the_method_that_writes_it(nd, feed, server, records, query):
    serve_one_good_record(server)
    records.clear()
    query.call(feed, SYMBOL)
    path, module = where(nd)
    writer = WRITER.get(query.name, query.name)
    expected = [(nd.__name__, writer, path, module, line) for line in query.opening(SYMBOL)]
    expected.append((nd.__name__, "_make_request", path, module, "请求成功！状态码: 200"))
    expected.append((nd.__name__, writer, path, module, query.success(SYMBOL, 1)))
    assert attributed(records) == expected


def test_construction_initialize_refusals_and_bad_records(nd, settings, server, records):
    feed = nd.NorvixDatafeed()
    feed.query_dominant(SYMBOL, None, None)  # no credentials: refused by _make_request
    feed.base_url = server.url
    feed.initialize("user", "secret-pass")
    server.default = reply_json(envelope([{"trading_date": "2024-03-05"}]))
    feed.query_day_bar_history(SYMBOL, None, "2024-03-01", "2024-03-29")
    feed.query_bar_history(history_request(SYMBOL, None))
    assert [(r["name"], r["function"], r["level"].name) for r in records] == [
        (nd.__name__, "__init__", "INFO"),
        (nd.__name__, "query_dominant", "INFO"),
        (nd.__name__, "_make_request", "INFO"),  # user name empty
        (nd.__name__, "query_dominant", "INFO"),
        (nd.__name__, "initialize", "INFO"),
        (nd.__name__, "_make_request", "INFO"),
        (nd.__name__, "query_day_bar_history", "ERROR"),  # 'open_price' missing
        (nd.__name__, "query_day_bar_history", "INFO"),
        (nd.__name__, "query_bar_history", "ERROR"),  # unsupported interval
    ]


def test_a_query_on_a_worker_thread(nd, feed, server, records):
    serve_one_good_record(server)
    records.clear()
    worker = threading.Thread(target=BY_NAME["query_bar_history[daily]"].call, args=(feed, SYMBOL))
    worker.start()
    worker.join()
    assert {r["thread"].id for r in records} == {worker.ident}
    assert [r["function"] for r in records] == ["_make_request", "query_day_bar_history"]
    assert {r["name"] for r in records} == {nd.__name__}


def test_disable_enable_and_filters_by_module_name(nd, feed, server, records):
    selected: list[str] = []
    handler_id = logger.add(lambda m: selected.append(m.record["function"]), filter=nd.__name__)
    try:
        logger.disable(nd.__name__)
        feed.query_contract_multiplier(SYMBOL)
        assert records == [] and selected == []
        logger.enable(nd.__name__)
        # A caller silencing its own module keeps the datafeed's lines.
        logger.disable(__name__)
        feed.query_contract_multiplier(SYMBOL)
        logger.enable(__name__)
    finally:
        logger.enable(nd.__name__)
        logger.enable(__name__)
        logger.remove(handler_id)
    expected = ["query_contract_multiplier", "_make_request", "query_contract_multiplier"]
    assert selected == expected
    assert [r["function"] for r in records] == expected


def test_the_self_test_writes_as_the_main_program(run_as_main, settings, server_8081, records):
    settings["datafeed.username"], settings["datafeed.password"] = "user", "secret-pass"
    module = run_as_main()
    assert [(r["name"], r["function"]) for r in records] == [
        ("__main__", "__init__"),
        ("__main__", "query_contract_multiplier"),
        ("__main__", "_make_request"),
        ("__main__", "query_contract_multiplier"),
        ("__main__", "<module>"),
    ]
    assert records[-1]["message"] == "0" and module.multiplier_list == []


class RecordingLogger:
    """Stands in for loguru's logger: the calls it receives, and the frame that made them."""

    def __init__(self, fail: bool = False):
        self.calls: list[tuple[str, str, str]] = []
        self.fail = fail

    def __getattr__(self, level):
        def write(message):
            frame = __import__("sys")._getframe(1)
            self.calls.append((level, frame.f_code.co_name, message))
            if self.fail:
                raise RuntimeError("sink down")

        return write


def test_a_replaced_logger_receives_the_same_calls(nd, feed, monkeypatch):
    stand_in = RecordingLogger()
    monkeypatch.setattr(nd, "logger", stand_in)
    feed.initialize("user", "")
    feed.query_ex_factor(SYMBOL, None, None)
    assert stand_in.calls == [
        ("info", "initialize", "initialize Norvix 账户、密码, username: user, password: "),
        ("info", "query_ex_factor", f"ex_factor query, symbol: {SYMBOL}, start date: None, end date: None"),
        ("info", "_make_request", "Norvix数据服务：密码为空！"),
        ("info", "query_ex_factor", f"NorviX获取复权因子失败：{SYMBOL}"),
    ]


def module_entries(nd, exc: BaseException) -> list[str]:
    """The traceback entries of `exc` in the module's own file, outermost first."""
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__) if entry.filename == nd.__file__]


def test_tracebacks_name_each_method_an_exception_leaves(nd, feed, server, monkeypatch):
    with pytest.raises(AttributeError, match="has no attribute 'symbol'") as raised:
        feed.query_bar_history(None)
    assert module_entries(nd, raised.value) == ["query_bar_history"]

    server.default = reply_json(envelope([dict(servers.good_record("/daybar/query"), open_price=None)]))
    with pytest.raises(TypeError) as raised:
        BY_NAME["query_bar_history[daily]"].call(feed, SYMBOL)
    assert module_entries(nd, raised.value) == ["query_bar_history", "query_day_bar_history"]

    # A logger that raises: the method shows once, the logger's own frame below it.
    monkeypatch.setattr(nd, "logger", RecordingLogger(fail=True))
    with pytest.raises(RuntimeError, match="sink down") as raised:
        feed.initialize("user", "secret-pass")
    assert module_entries(nd, raised.value) == ["initialize"]
    assert traceback.extract_tb(raised.value.__traceback__)[-1].name == "write"

    # The request routine reached from a query (the natively decoded path included).
    server.default = reply_json(envelope([servers.good_record("/daybar/query")]))
    with pytest.raises(RuntimeError, match="sink down") as raised:
        BY_NAME["query_bar_history[daily]"].call(feed, SYMBOL)
    assert module_entries(nd, raised.value) == ["query_bar_history", "query_day_bar_history", "_make_request"]
