"""Reference leaks and memory: every query, on its success path and on each of its failure
paths, called over and over against a real local server.

Each scenario is first run once with the log captured, to prove that it takes the path it
is named after. Then, after a warm-up, it runs ROUNDS more times while the log is switched
off (the suite's log-capturing sinks keep every line, which would count as growth), and
afterwards:

- every long-lived object the call touches (CHINA_TZ, the Interval and Exchange members,
  the builtin print, the datafeed object, the module's classes and globals, the caller's
  arguments) has exactly the reference count it had before: a call that leaks one
  reference to any of them shows up as ROUNDS extra references;
- the number of memory blocks the interpreter has allocated (tracemalloc's traced bytes
  where blocks are not counted, as under PYTHONMALLOC=malloc) has not grown by more than a
  small fraction of one block per call: anything a call leaks (a result list, a record, a
  message, an exception) is at least one block every time.

The member names the module looks up ("open_price", "code", ...) are interned by the
module itself and are immortal in CPython 3.13 (their count never moves), so they are not
checked by count; leaks of the member values show up in the block count.

NORVIX_LEAK_ROUNDS sets the number of rounds per scenario (default 100).
"""

import builtins
import contextlib
import ctypes
import gc
import os
import sys
import threading
import time
import tracemalloc

import pytest
from loguru import logger
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, TickData

from faults import servers
from faults.queries import BY_NAME, QUERIES, history_request

ROUNDS = int(os.environ.get("NORVIX_LEAK_ROUNDS", "100"))
WARMUP = 10
IMMORTAL = 1 << 30
# Growth allowed over one batch: three quarters of a block per call, where anything a
# call leaks costs at least one block per call. The interpreter's and the libraries' own
# traffic (free lists, caches, the log calls, an exception's traceback) moves the count
# by some dozens of blocks either way: 51-66 seen for 100 raising calls under load, and
# the same with 1,000 calls.
BLOCK_SLACK = max(ROUNDS * 3 // 4, 16)
# Without block counts (PYTHONMALLOC=malloc, as in the sanitizer run) traced bytes are the
# measure, and a coarser one: with the plain allocator the interpreter's own traffic,
# the same for the pure-Python module, keeps up to some 15 KiB more for a while.
BYTE_SLACK = 64 * ROUNDS + 16 * 1024
ATTEMPTS = 3
RSS_BOUND = 16 * 1024 * 1024

SUCCESS_LINE = ("INFO", "请求成功！状态码: 200")
CONNECTION_LINE = ("ERROR", "错误：无法连接到目标服务器")
JSON_LINE = ("ERROR", "错误：响应不是有效的JSON格式")
USER_REFUSAL = ("INFO", "Norvix数据服务：用户名为空！")
PASSWORD_REFUSAL = ("INFO", "Norvix数据服务：密码为空！")


def fresh(text: str) -> str:
    """An equal string that is a new, mortal object (literals and interned names are not)."""
    return "".join(list(text))


SYMBOL = fresh("rb2405")


# --- measuring -----------------------------------------------------------------------------


class Memory:
    """Blocks allocated by the interpreter, or traced bytes when blocks are not counted."""

    def __init__(self):
        self.by_blocks = sys.getallocatedblocks() > 0
        self.started_tracing = False
        if not self.by_blocks and not tracemalloc.is_tracing():
            tracemalloc.start()
            self.started_tracing = True
        self.slack = BLOCK_SLACK if self.by_blocks else BYTE_SLACK
        self.unit = "blocks" if self.by_blocks else "bytes"

    def now(self) -> int:
        gc.collect()
        return sys.getallocatedblocks() if self.by_blocks else tracemalloc.get_traced_memory()[0]

    def close(self):
        if self.started_tracing:
            tracemalloc.stop()


def settle_threads(count: int) -> None:
    """Waits (briefly) for server threads that outlived their exchange: every live thread
    holds objects of its own, `print` among them (threading keeps it for the excepthook)."""
    deadline = time.monotonic() + 5
    while threading.active_count() > count and time.monotonic() < deadline:
        time.sleep(0.005)


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def memory():
    m = Memory()
    yield m
    m.close()


@pytest.fixture(scope="module")
def resident():
    """RSS after the first scenario's warm-up, and the highest RSS seen after a scenario."""
    return {}


@pytest.fixture(scope="module")
def scripted():
    srv = servers.ScriptedServer()
    yield srv
    srv.close()


@contextlib.contextmanager
def log_switched_off():
    logger.disable("")
    try:
        yield
    finally:
        logger.enable("")


@contextlib.contextmanager
def captured():
    lines = []
    handler = logger.add(lambda m: lines.append((m.record["level"].name, m.record["message"])),
                         level=0, format="{message}")
    try:
        yield lines
    finally:
        logger.remove(handler)


def shared_objects(nd, feed, extra=()) -> dict:
    objs = {
        "CHINA_TZ": nd.CHINA_TZ,
        "Interval.DAILY": Interval.DAILY,
        "Interval.MINUTE": Interval.MINUTE,
        "Interval.TICK": Interval.TICK,
        "Exchange.SHFE": Exchange.SHFE,
        "print": builtins.print,
        "datafeed": feed,
        "NorvixDatafeed": type(feed),
        "BarData": BarData,
        "TickData": TickData,
        "Interval": Interval,
        "logger": nd.logger,
        "requests": nd.requests,
        "requests.exceptions.HTTPError": nd.requests.exceptions.HTTPError,
        "requests.exceptions.ConnectionError": nd.requests.exceptions.ConnectionError,
        "requests.exceptions.Timeout": nd.requests.exceptions.Timeout,
        "json.JSONDecodeError": nd.json.JSONDecodeError,
        "SETTINGS": nd.SETTINGS,
        "symbol": SYMBOL,
        "base_url": feed.base_url,
        "username": feed.username,
        "password": feed.password,
    }
    objs.update(extra)
    return objs


def counts(objs: dict) -> dict:
    return {name: sys.getrefcount(obj) for name, obj in objs.items() if sys.getrefcount(obj) < IMMORTAL}


def check_repeated(call, outcome, memory, resident, objs, rounds=ROUNDS):
    """Runs ``call`` once under the log capture and hands (result or exception, lines) to
    ``outcome`` to prove the path; then checks that ``rounds`` further calls leave every
    object of ``objs`` and the interpreter's memory as they were."""
    threads = threading.active_count()
    with captured() as lines:
        try:
            result = call()
        except Exception as exc:  # noqa: BLE001 - some paths end in an exception on purpose
            result = exc
    outcome(result, lines)
    if isinstance(result, list):
        # Nothing but this frame holds the returned list and its items.
        assert sys.getrefcount(result) == 2
        # Each item: the list, `item` and the call's argument (small ints are immortal).
        assert all(sys.getrefcount(item) == 3 or sys.getrefcount(item) >= IMMORTAL for item in result)
    del result

    def repeat(n):
        for _ in range(n):
            try:
                call()
            except Exception:  # noqa: BLE001
                pass

    checked = counts(objs)
    assert {"CHINA_TZ", "datafeed", "symbol", "print"} <= checked.keys()
    failures = []
    with log_switched_off():
        repeat(WARMUP)
        resident.setdefault("baseline", rss())
        # A leak costs something on every call, so it shows in every batch; what the
        # interpreter and its libraries allocate and free on their own comes and goes.
        # A batch that leaves everything as it was is the proof.
        for _ in range(ATTEMPTS):
            settle_threads(threads)
            before_memory = memory.now()  # collects first: cycles left over go
            before_counts = counts(objs)
            repeat(rounds)
            settle_threads(threads)
            after_memory = memory.now()
            after_counts = counts(objs)
            resident["peak"] = max(resident.get("peak", 0), rss())
            changed = {name: (before_counts[name], after_counts[name]) for name in before_counts
                       if before_counts[name] != after_counts[name]}
            growth = after_memory - before_memory
            if not changed and growth <= memory.slack:
                return
            failures.append(f"reference counts moved: {changed}; {growth} {memory.unit} more")
    pytest.fail(f"over {rounds} calls, in each of {ATTEMPTS} batches: " + " / ".join(failures))


# --- expected outcomes ---------------------------------------------------------------------


def returns(expected_result, lines_expected):
    def outcome(result, lines):
        assert not isinstance(result, BaseException), f"raised {result!r}"
        assert lines == lines_expected
        expected_result(result)
    return outcome


def raises(exc_type, lines_expected):
    def outcome(result, lines):
        assert type(result) is exc_type, f"expected {exc_type.__name__}, got {result!r}"
        assert lines == lines_expected
    return outcome


def empty_list(result):
    assert result == [] and type(result) is list


def records_of(query, n):
    def check(result):
        assert type(result) is list and len(result) == n
        assert all(type(r) is query.record_type for r in result)
    return check


def opening(query):
    return [("INFO", line) for line in query.opening(SYMBOL)]


def failing(query, middle):
    return returns(empty_list, query.failure_lines(SYMBOL, middle))


def scenario_outcome(query, scenario):
    """What each scripted answer must lead to for ``query``."""
    fail = query.fail_prefix + SYMBOL
    history = query.kind != "records"
    table = {
        "ok": returns(records_of(query, 3), opening(query) + [SUCCESS_LINE, ("INFO", query.success(SYMBOL, 3))]),
        "no_data": returns(empty_list, opening(query) + [SUCCESS_LINE, ("INFO", query.nodata(SYMBOL))]),
        "refused_code": returns(empty_list, opening(query) + [SUCCESS_LINE, ("INFO", fail + ",凭证无效")]),
        "empty_object": returns(empty_list, opening(query) + [SUCCESS_LINE, ("INFO", fail)]),
        "list_body": raises(AttributeError, opening(query) + [SUCCESS_LINE]),
        "not_json": failing(query, [JSON_LINE]),
        "http_404": failing(query, [("ERROR", "错误：HTTP请求失败，状态码: 404"),
                                    ("ERROR", "错误响应内容: no such endpoint")]),
        "http_500": failing(query, [("ERROR", "错误：HTTP请求失败，状态码: 500")]),
    }
    if history:
        def two_of_five(result, lines):
            assert not isinstance(result, BaseException), f"raised {result!r}"
            records_of(query, 2)(result)
            assert lines[0] == SUCCESS_LINE and lines[-1] == ("INFO", query.success(SYMBOL, 2))
            assert [level for level, _ in lines[1:-1]] == ["ERROR"] * 3
            assert all(text.startswith(query.parse_prefix) for _, text in lines[1:-1])

        table.update({
            "bad_records": two_of_five,
            "null_member": raises(TypeError, [SUCCESS_LINE]),
            "null_data": raises(TypeError, [SUCCESS_LINE]),
        })
    else:
        def none_result(result):
            assert result is None

        table.update({
            "null_data": returns(none_result, opening(query) + [SUCCESS_LINE, ("INFO", query.nodata(SYMBOL))]),
            "number_data": raises(TypeError, opening(query) + [SUCCESS_LINE]),
        })
    return table.get(scenario)


SCENARIOS = sorted(servers.SCENARIOS)


def applicable(query, scenario):
    return scenario_outcome(query, scenario) is not None


@pytest.fixture
def datafeed(nd, settings):
    with log_switched_off():
        feed = nd.NorvixDatafeed()
        feed.initialize(fresh("user"), fresh("secret-pass"))
    return feed


# --- the queries against scripted answers ------------------------------------------------------


@pytest.mark.parametrize(
    "query,scenario",
    [pytest.param(q, s, id=f"{q.name}-{s}") for q in QUERIES for s in SCENARIOS if applicable(q, s)],
)
def test_query_does_not_leak(nd, datafeed, scripted, memory, resident, query, scenario):
    datafeed.base_url = scripted.url(scenario)
    check_repeated(lambda: query.call(datafeed, SYMBOL), scenario_outcome(query, scenario),
                   memory, resident, shared_objects(nd, datafeed))


@pytest.mark.parametrize("query", QUERIES, ids=repr)
@pytest.mark.parametrize("missing", ["username", "password"])
def test_credential_refusal_does_not_leak(nd, datafeed, memory, resident, query, missing):
    if missing == "username":
        datafeed.initialize(fresh(""), fresh("secret-pass"))
        line = USER_REFUSAL
    else:
        datafeed.initialize(fresh("user"), "")
        line = PASSWORD_REFUSAL
    check_repeated(lambda: query.call(datafeed, SYMBOL), failing(query, [line]),
                   memory, resident, shared_objects(nd, datafeed), rounds=10 * ROUNDS)


@pytest.mark.parametrize("query", QUERIES, ids=repr)
def test_connection_refused_does_not_leak(nd, datafeed, refused_port, memory, resident, query):
    datafeed.base_url = f"http://127.0.0.1:{refused_port}"
    check_repeated(lambda: query.call(datafeed, SYMBOL), failing(query, [CONNECTION_LINE]),
                   memory, resident, shared_objects(nd, datafeed))


# --- the request routine, the dispatcher and the object itself ---------------------------------


@pytest.mark.parametrize("method", ["GET", "POST"])
@pytest.mark.parametrize("scenario,lines,result", [
    ("ok", [SUCCESS_LINE], "envelope"),
    ("list_body", [SUCCESS_LINE], [1, 2, 3]),
    ("not_json", [JSON_LINE], {}),
    ("http_404", [("ERROR", "错误：HTTP请求失败，状态码: 404"), ("ERROR", "错误响应内容: no such endpoint")], {}),
    ("http_500", [("ERROR", "错误：HTTP请求失败，状态码: 500")], {}),
])
def test_make_request_does_not_leak(nd, datafeed, scripted, memory, resident, method, scenario, lines, result):
    datafeed.base_url = scripted.url(scenario)
    method_text, endpoint, timeout = fresh(method), fresh("/dominant/query"), 7.5
    json_data = {"symbol": SYMBOL, "start_date": fresh("2024-01-01")}

    def check(value):
        if result == "envelope":
            assert value["code"] == 0 and len(value["data"]) == 3
        else:
            assert value == result

    # By keyword, and by position with the default time-out (the argument-binding paths).
    calls = [
        lambda: datafeed._make_request(method=method_text, endpoint=endpoint, json_data=json_data, timeout=timeout),
        lambda: datafeed._make_request(method_text, endpoint, json_data),
    ]
    extra = {"method": method_text, "endpoint": endpoint, "timeout": timeout, "json_data": json_data}
    for call in calls:
        check_repeated(call, returns(check, lines), memory, resident, shared_objects(nd, datafeed, extra))


def test_timeout_does_not_leak(nd, datafeed, memory, resident):
    raw = servers.RawServer(default=servers.stall(1.0), record=False)
    try:
        datafeed.base_url = raw.url
        timeout = 0.02
        check_repeated(
            lambda: datafeed._make_request(method="POST", endpoint="/x", json_data={}, timeout=timeout),
            returns(lambda v: v == {}, [("ERROR", "错误：请求超时（0.02秒）")]),
            memory, resident, shared_objects(nd, datafeed, {"timeout": timeout}), rounds=min(ROUNDS, 40))
    finally:
        raw.close()


def test_dispatch_by_keyword_and_unsupported_interval_do_not_leak(nd, datafeed, scripted, memory, resident):
    datafeed.base_url = scripted.url("ok")
    req = history_request(SYMBOL, Interval.DAILY)
    day = BY_NAME["query_day_bar_history"]
    extra = {"req": req}
    check_repeated(lambda: datafeed.query_bar_history(req=req, output=print),
                   returns(records_of(day, 3), [SUCCESS_LINE, ("INFO", day.success(SYMBOL, 3))]),
                   memory, resident, shared_objects(nd, datafeed, extra))
    weekly = history_request(SYMBOL, Interval.WEEKLY)
    check_repeated(lambda: datafeed.query_bar_history(weekly),
                   returns(empty_list, [("ERROR", "暂时只支持1分钟和日K查询")]),
                   memory, resident, shared_objects(nd, datafeed, {"req": weekly}), rounds=10 * ROUNDS)


def test_multiplier_without_symbol_does_not_leak(nd, datafeed, scripted, memory, resident):
    datafeed.base_url = scripted.url("ok")
    check_repeated(datafeed.query_contract_multiplier,
                   returns(records_of(BY_NAME["query_contract_multiplier"], 3),
                           [("INFO", "contract_multiplier query, symbol: None"), SUCCESS_LINE,
                            ("INFO", "NorvixData查询合约乘数成功，共3条")]),
                   memory, resident, shared_objects(nd, datafeed))


def test_construction_and_initialize_do_not_leak(nd, datafeed, settings, memory, resident):
    user, password = fresh("user"), fresh("secret-pass")
    settings["datafeed.username"] = fresh("settings-user")
    settings["datafeed.password"] = fresh("settings-secret")
    extra = {"user": user, "pass": password, "settings-user": settings["datafeed.username"],
             "settings-pass": settings["datafeed.password"]}
    check_repeated(
        nd.NorvixDatafeed,
        returns(lambda f: f.username == "settings-user",
                [("INFO", "Norvix数据模块已加载, 用户名: settings-user, 密钥: ******")]),
        memory, resident, shared_objects(nd, datafeed, extra), rounds=10 * ROUNDS)
    check_repeated(
        lambda: datafeed.initialize(user, password),
        returns(lambda r: r is None,
                [("INFO", "initialize Norvix 账户、密码, username: user, password: ******")]),
        memory, resident, shared_objects(nd, datafeed, extra), rounds=10 * ROUNDS)


def test_the_checks_catch_a_leak(nd, datafeed, memory, resident):
    # A call that keeps one reference to a shared object, and one that keeps a few new
    # objects (a list of eight short texts, some 600 bytes), each time it runs: both
    # must be caught.
    kept = []
    for leaky in (lambda: kept.append(nd.CHINA_TZ),
                  lambda: kept.append([fresh("leaked") for _ in range(8)])):
        with pytest.raises(pytest.fail.Exception, match="in each of"):
            check_repeated(leaky, lambda result, lines: None, memory, resident, shared_objects(nd, datafeed))
        kept.clear()


def asan_loaded() -> bool:
    try:
        ctypes.CDLL(None).__asan_init
    except AttributeError:
        return False
    return True


def test_resident_memory_stays_bounded(resident):
    """Runs last: the process did not grow by more than RSS_BOUND over all the scenarios."""
    if "baseline" not in resident:
        pytest.skip("no scenario ran in this session")
    if asan_loaded():
        pytest.skip("AddressSanitizer holds freed memory in quarantine: RSS says nothing here")
    growth = resident["peak"] - resident["baseline"]
    assert growth <= RSS_BOUND, f"RSS grew by {growth / 2**20:.1f} MiB"
