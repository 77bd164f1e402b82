"""Nothing Python code can do crashes the module or makes it leak, and its corners behave
as the same code written in Python: except clauses, exception context, evaluation order,
function attributes, Ctrl-C.

Reproducers that would crash the interpreter run in a subprocess.
"""

import inspect
import os
import subprocess
import sys
import textwrap
import types
import weakref
from pathlib import Path

import pytest
import requests
from vnpy.trader.constant import Exchange

from helpers import envelope, reply_json
from fakes import StandInRequests

TESTS = Path(__file__).resolve().parent
SYMBOL = "rb2405"


def run_script(tmp_path, body: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `body` in a new interpreter after `nd = <the module under test>`."""
    script = tmp_path / "probe.py"
    script.write_text("import sys\nsys.path.insert(0, %r)\n" % str(TESTS) + textwrap.dedent(body))
    return subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, "HOME": str(tmp_path)})


def test_signature_while_the_defaults_are_replaced(tmp_path):
    result = run_script(tmp_path, """
        import inspect, threading, time
        from helpers import ND as nd

        f = nd.NorvixDatafeed._make_request
        original = inspect.Parameter

        class Meddling(original):
            # Runs between the count of the defaults and their use.
            def __init__(self, *args, **kwargs):
                f.__defaults__ = None
                super().__init__(*args, **kwargs)

        inspect.Parameter = Meddling
        f.__defaults__ = (10,)
        inspect.signature(f)
        inspect.Parameter = original

        stop = False
        def reassign():
            values = [None, (), (1, 2, 3, 4, 5, 6, 7), (10,)]
            i = 0
            while not stop:
                f.__defaults__ = values[i % 4]
                i += 1
        thread = threading.Thread(target=reassign)
        thread.start()
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            inspect.signature(f)
        stop = True
        thread.join()
        print("survived")
    """)
    assert result.returncode == 0 and "survived" in result.stdout, result.stderr[-3000:]


def test_queries_while_another_thread_rebinds_the_globals_they_read(tmp_path):
    result = run_script(tmp_path, """
        import threading, time, gc
        from helpers import ND as nd
        from fakes import StandInRequests
        from vnpy.trader.constant import Exchange

        record = {"trading_date": "2024-03-05", "open_price": "1.5", "high_price": 2, "low_price": 1,
                  "close_price": 1}
        records = [dict(record, volume=i) for i in range(2000)]
        nd.requests = StandInRequests({"code": 0, "data": records})

        class Sink:
            def info(self, message):
                gc.collect(0)
            error = info

        class Key:  # a namespace key whose comparisons run Python code
            def __hash__(self):
                return hash("float")
            def __eq__(self, other):
                return False

        stop = False
        def rebind():
            bar, sinks, i = nd.BarData, [Sink(), Sink()], 0
            while not stop:
                i += 1
                nd.logger = sinks[i % 2]
                nd.BarData = bar if i % 3 else (lambda **kw: bar(**kw))
                if i % 5 == 0:
                    nd.__dict__[Key()] = i
                elif i % 5 == 2:
                    for key in [k for k in nd.__dict__ if isinstance(k, Key)]:
                        del nd.__dict__[key]
                nd.float = float if i % 2 else None
                if i % 2:
                    del nd.float

        feed = nd.NorvixDatafeed()
        feed.initialize("user", "secret-pass")
        thread = threading.Thread(target=rebind)
        thread.start()
        deadline, calls = time.monotonic() + 1.5, 0
        while time.monotonic() < deadline:
            try:
                bars = feed.query_day_bar_history("rb", Exchange.SHFE, "2024-03-01", "2024-03-29")
                assert [b.volume for b in bars] == list(range(2000)), len(bars)
            except TypeError:
                pass  # float was None at that moment: 'NoneType' object is not callable
            calls += 1
        stop = True
        thread.join()
        print("survived", calls > 0)
    """)
    assert result.stdout.split() == ["survived", "True"], result.stderr[-3000:]


def test_imports_share_one_dict_watcher_and_give_it_back(tmp_path):
    result = run_script(tmp_path, """
        import ctypes, gc
        api = ctypes.pythonapi
        api.PyDict_AddWatcher.argtypes = [ctypes.c_void_p]
        api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]
        callback = ctypes.cast(api.Py_IsInitialized, ctypes.c_void_p)  # never called

        def free_ids():
            taken = []
            try:
                while True:
                    taken.append(api.PyDict_AddWatcher(callback))
            except RuntimeError:
                pass
            for i in taken:
                api.PyDict_ClearWatcher(i)
            return len(taken)

        before = free_ids()
        import helpers
        kept = [(helpers.ND, helpers.ND.NorvixDatafeed())]
        for _ in range(8):
            module = helpers.import_module_under_test()
            kept.append((module, module.NorvixDatafeed()))
        during = free_ids()
        del kept, module
        helpers.ND = None
        sys.modules.pop(helpers.MODULE_NAME)
        gc.collect()
        print(before, during, free_ids())
    """)
    assert result.returncode == 0, result.stderr[-3000:]
    before, during, after = map(int, result.stdout.split())
    assert before - during <= 1 and after == before, result.stdout


def test_ctrl_c_interrupts_a_conversion_that_only_calls_c(tmp_path):
    # Every step of this conversion is C: the records come from C iterators, and
    # the records' class is a C callable; the interrupt is raised by one of the
    # iterators after 5,000 records. The remaining records would take minutes.
    result = run_script(tmp_path, """
        import _thread, itertools, signal
        from helpers import ND as nd
        from fakes import StandInRequests

        record = {"trading_datetime": "2024-03-05 09:01:00", "open_price": 1, "high_price": 1,
                  "low_price": 1, "close_price": 1}
        interrupt = filter(None, map(_thread.interrupt_main, [signal.SIGINT]))
        records = itertools.chain(itertools.repeat(record, 5000), interrupt,
                                  itertools.repeat(record, 50_000_000))
        nd.requests = StandInRequests({"code": 0, "data": records})
        nd.BarData = "".format
        feed = nd.NorvixDatafeed()
        feed.initialize("user", "secret-pass")
        try:
            feed.query_minute_bar_history("rb", None, "2024-03-05", "2024-03-05")
        except KeyboardInterrupt:
            print("interrupted", len(list(itertools.islice(records, 10))))
    """)
    assert result.stdout.split() == ["interrupted", "10"], result.stderr[-3000:]


# --- the module-global lookup cache ---------------------------------------------------


class Sink:
    def info(self, message):
        pass

    error = info


def test_a_rebound_global_is_released_at_once(nd, feed, monkeypatch):
    first, released = Sink(), []
    watch = weakref.ref(first, released.append)
    monkeypatch.setattr(nd, "logger", first)
    feed.initialize("user", "secret-pass")  # reads `logger`
    del first
    nd.logger = Sink()  # monkeypatch restores the real one afterwards
    assert watch() is None and released


def test_a_lookup_that_reenters_the_datafeed_leaks_nothing(nd, feed, monkeypatch):
    class Collides:
        """A key of the module namespace that a lookup of `len` has to compare with."""

        depth = 0

        def __hash__(self):
            return hash("len")

        def __eq__(self, other):
            if Collides.depth == 0:
                Collides.depth += 1
                try:
                    feed.query_contract_multiplier(SYMBOL)
                finally:
                    Collides.depth -= 1
            return False

    monkeypatch.setattr(nd, "requests", StandInRequests(envelope([{"symbol": "rb"}])))
    monkeypatch.setattr(nd, "logger", Sink())
    key = Collides()
    nd.__dict__[key] = "collides"
    try:
        feed.query_contract_multiplier(SYMBOL)
        before = sys.getrefcount(len)
        for _ in range(50):
            feed.query_contract_multiplier(SYMBOL)
        assert sys.getrefcount(len) == before
        assert len(nd.requests.calls) == 102  # every lookup of `len` re-entered
    finally:
        del nd.__dict__[key]


# --- except clauses, exception context, evaluation order ------------------------------

NOT_A_CLASS = "catching classes that do not inherit from BaseException is not allowed"


def test_an_except_clause_that_names_no_exception_class(nd, feed, monkeypatch):
    monkeypatch.setattr(feed, "_make_request", lambda **kw: envelope([{"trading_date": "2024-03-05"}]))
    monkeypatch.setattr(nd, "ValueError", "not a class", raising=False)
    with pytest.raises(TypeError, match=NOT_A_CLASS) as raised:
        feed.query_day_bar_history(SYMBOL, None, "2024-03-01", "2024-03-29")
    assert isinstance(raised.value.__context__, KeyError)


class Refused(requests.exceptions.ConnectionError):
    pass


@pytest.mark.parametrize("timeout_clause, outcome", [
    (42, NOT_A_CLASS),
    ((requests.exceptions.Timeout, 42), NOT_A_CLASS),
    ((requests.exceptions.Timeout, Refused), "错误：请求超时（10秒）"),
], ids=["int", "tuple-with-int", "tuple"])
def test_the_request_clauses_are_checked_as_python_checks_them(nd, feed, logs, monkeypatch, timeout_clause,
                                                               outcome):
    def refuse(**kwargs):
        raise Refused("refused")

    exceptions = types.SimpleNamespace(**vars(requests.exceptions))
    exceptions.Timeout = timeout_clause
    monkeypatch.setattr(nd, "requests", types.SimpleNamespace(post=refuse, get=refuse, exceptions=exceptions))
    if outcome == NOT_A_CLASS:
        with pytest.raises(TypeError, match=outcome) as raised:
            feed._make_request(method="POST", endpoint="/x", json_data={})
        assert isinstance(raised.value.__context__, Refused) and logs == []
    else:
        assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {}
        assert logs == [("ERROR", outcome)]


def test_an_exception_raised_while_handling_a_failure_carries_it(reimport, settings, refused_port, monkeypatch):
    module = reimport()  # loses its `logger`
    feed = module.NorvixDatafeed()
    feed.initialize("user", "secret-pass")
    feed.base_url = f"http://127.0.0.1:{refused_port}"
    del module.logger
    with pytest.raises(NameError, match="'logger'") as raised:
        feed._make_request(method="POST", endpoint="/x", json_data={})
    assert isinstance(raised.value.__context__, requests.exceptions.ConnectionError)

    monkeypatch.setattr(feed, "_make_request", lambda **kw: envelope([{"trading_date": "2024-03-05"}]))
    with pytest.raises(NameError, match="'logger'") as raised:
        feed.query_day_bar_history(SYMBOL, None, "2024-03-01", "2024-03-29")
    assert isinstance(raised.value.__context__, KeyError)


@pytest.mark.parametrize("call", [
    lambda feed: feed.query_dominant(SYMBOL, "2024-03-01", "2024-03-29"),
    lambda feed: feed.query_day_bar_history(SYMBOL, Exchange.SHFE, "2024-03-01", "2024-03-29"),
], ids=["query_dominant", "query_day_bar_history"])
def test_the_summary_reads_logger_before_taking_the_length(nd, feed, monkeypatch, call):
    events = []

    class Logger:
        @property
        def info(self):
            events.append("logger.info")
            return events.append

    def counting_len(records):
        events.append("len")
        return 7

    record = {"trading_date": "2024-03-05", "open_price": 1, "high_price": 1, "low_price": 1, "close_price": 1}
    monkeypatch.setattr(nd, "requests", StandInRequests(envelope([record])))
    monkeypatch.setattr(nd, "logger", Logger())
    monkeypatch.setattr(nd, "len", counting_len, raising=False)
    call(feed)
    assert events[-3:-1] == ["logger.info", "len"] and events[-1].endswith("共7条")


def test_deleted_doc_and_module_read_none(reimport):
    module = reimport()
    for method in (module.NorvixDatafeed.query_dominant, module.NorvixBarData.__post_init__):
        del method.__doc__
        del method.__module__
        assert method.__doc__ is None and method.__module__ is None
        del method.__module__  # as often as on a Python function


@pytest.mark.parametrize("defaults", [None, (), (1,), (1, 2), (1, 2, 3, 4, 5, 6, 7)], ids=repr)
def test_signature_after_reassigned_defaults_matches_a_python_function(reimport, defaults):
    from plain import PLAIN

    native = reimport().NorvixDatafeed._make_request
    plain = types.FunctionType(PLAIN._make_request.__code__, {})
    plain.__annotations__ = PLAIN._make_request.__annotations__
    native.__defaults__ = plain.__defaults__ = defaults
    assert str(inspect.signature(native)) == str(inspect.signature(plain))
