"""What an importer sees: the namespace, both classes, method signatures, import effects."""

import builtins
import dataclasses
import importlib.machinery
import inspect
import json
import os
import subprocess
import sys
import types
import typing
from datetime import datetime

import pytest
import requests
from fakes import StandInRequests
from plain import PLAIN
from loguru import logger

import vnpy.trader.constant
import vnpy.trader.datafeed
import vnpy.trader.object
import vnpy.trader.setting
import vnpy.trader.utility
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.datafeed import BaseDatafeed
from vnpy.trader.object import BarData, HistoryRequest
from vnpy.trader.utility import ZoneInfo

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

METHODS = [
    "__init__",
    "initialize",
    "_make_request",
    "query_bar_history",
    "query_day_bar_history",
    "query_minute_bar_history",
    "query_tick_history",
    "query_dominant",
    "query_contracts",
    "query_ex_factor",
    "query_contract_multiplier",
]


ORIGINAL_PRINT = builtins.print


# --- module namespace -------------------------------------------------------------


def test_module_binds_exactly_its_names_in_order(nd):
    names = [name for name in vars(nd) if not (name.startswith("__") and name.endswith("__"))]
    assert names == [
        "json", "dataclass", "datetime", "List", "Callable", "requests", "logger",
        "Exchange", "Interval", "BaseDatafeed", "BarData", "TickData", "HistoryRequest",
        "SETTINGS", "ZoneInfo", "NorvixBarData", "CHINA_TZ", "NorvixDatafeed",
    ]


@pytest.mark.parametrize(
    "name, expected",
    [
        ("json", json),
        ("dataclass", dataclasses.dataclass),
        ("datetime", datetime),
        ("List", typing.List),
        ("Callable", typing.Callable),
        ("requests", requests),
        ("logger", logger),
        ("Exchange", vnpy.trader.constant.Exchange),
        ("Interval", vnpy.trader.constant.Interval),
        ("BaseDatafeed", vnpy.trader.datafeed.BaseDatafeed),
        ("BarData", vnpy.trader.object.BarData),
        ("TickData", vnpy.trader.object.TickData),
        ("HistoryRequest", vnpy.trader.object.HistoryRequest),
        ("SETTINGS", vnpy.trader.setting.SETTINGS),
        ("ZoneInfo", vnpy.trader.utility.ZoneInfo),
    ],
)
def test_imported_names_are_the_objects_themselves(nd, name, expected):
    assert getattr(nd, name) is expected


def test_module_attributes(nd):
    assert nd.__name__ == "norvix_datafeed"
    assert nd.__doc__ is None
    assert not hasattr(nd, "__all__")
    assert nd.__file__ == nd.__spec__.origin
    assert os.path.isfile(nd.__file__)
    assert nd.__spec__.has_location is True
    assert not hasattr(nd, "norvixDatafeed")
    assert not hasattr(nd, "multiplier_list")


@pytest.mark.extension_only
def test_extension_module_attributes(nd):
    assert nd.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert nd.__cached__ is None
    assert isinstance(nd.__loader__, importlib.machinery.ExtensionFileLoader)


def test_china_tz(nd):
    assert isinstance(nd.CHINA_TZ, ZoneInfo)
    assert nd.CHINA_TZ.key == "Asia/Shanghai"
    assert nd.CHINA_TZ is ZoneInfo("Asia/Shanghai")
    assert datetime(2024, 1, 1, tzinfo=nd.CHINA_TZ).utcoffset().total_seconds() == 8 * 3600


# --- NorvixDatafeed ---------------------------------------------------------------


def test_datafeed_class(nd, impl):
    cls = nd.NorvixDatafeed
    assert cls.__bases__ == (BaseDatafeed,)
    assert type(cls) is type(BaseDatafeed)
    assert cls.__name__ == "NorvixDatafeed"
    assert cls.__qualname__ == "NorvixDatafeed"
    assert cls.__module__ == "norvix_datafeed"
    assert cls.__doc__ == "NorviX数据服务接口"
    # A class statement compiled by 3.13 also stores these two; type() itself never adds them.
    compiler_only = {"__firstlineno__", "__static_attributes__"} if impl == "py" else set()
    type_added = set(vars(type("Probe", (BaseDatafeed,), {}))) - {"__module__", "__doc__"}
    keys = [key for key in vars(cls) if key not in compiler_only]
    assert keys[: 2 + len(METHODS)] == ["__module__", "__doc__", *METHODS]
    assert set(keys[2 + len(METHODS):]) <= type_added
    assert "__annotations__" not in vars(cls)
    assert "__orig_bases__" not in vars(cls)


@pytest.mark.parametrize("name", METHODS)
def test_method_shape(nd, name):
    actual = vars(nd.NorvixDatafeed)[name]
    plain = vars(PLAIN)[name]
    assert getattr(nd.NorvixDatafeed, name) is actual

    actual_sig, plain_sig = inspect.signature(actual), inspect.signature(plain)
    assert str(actual_sig) == str(plain_sig)
    assert actual_sig == plain_sig
    assert actual_sig.return_annotation == plain_sig.return_annotation
    assert list(actual_sig.parameters) == list(plain_sig.parameters)
    for got, want in zip(actual_sig.parameters.values(), plain_sig.parameters.values()):
        assert got.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert got.annotation == want.annotation
        assert got.default is want.default

    assert actual.__name__ == name
    assert actual.__qualname__ == f"NorvixDatafeed.{name}"
    assert actual.__module__ == "norvix_datafeed"
    assert actual.__doc__ == plain.__doc__
    assert isinstance(actual.__annotations__, dict)
    assert list(actual.__annotations__.items()) == list(plain.__annotations__.items())
    assert typing.get_type_hints(actual) == typing.get_type_hints(plain)
    if plain.__defaults__ is None:
        assert actual.__defaults__ is None
    else:
        assert len(actual.__defaults__) == len(plain.__defaults__)
        assert all(a is p for a, p in zip(actual.__defaults__, plain.__defaults__))
    assert actual.__kwdefaults__ is None


def test_output_default_is_the_print_of_class_creation(nd, feed, monkeypatch):
    def replacement(*args, **kwargs):
        raise AssertionError("output must not be called")

    monkeypatch.setattr(builtins, "print", replacement)
    for name in ("query_bar_history", "query_tick_history"):
        method = getattr(nd.NorvixDatafeed, name)
        assert method.__defaults__[0] is ORIGINAL_PRINT
        assert inspect.signature(method).parameters["output"].default is ORIGINAL_PRINT
    req = HistoryRequest("rb2405", Exchange.SHFE, datetime(2024, 1, 1), datetime(2024, 1, 2), Interval.HOUR)
    assert feed.query_bar_history(req) == []
    assert feed.query_bar_history(req, output=replacement) == []


def test_bound_method(nd, feed):
    bound = feed.query_dominant
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is feed
    assert bound.__func__ is nd.NorvixDatafeed.query_dominant
    assert str(inspect.signature(bound)) == "(symbol: str, start_date: str | None, end_date: str | None) -> list[dict] | None"


def _type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


WRONG_CALLS = {
    "missing one": ("query_dominant", lambda m: m("rb", "2024-01-01")),
    "missing two": ("query_dominant", lambda m: m("rb")),
    "missing three": ("query_dominant", lambda m: m()),
    "missing keyword-given": ("initialize", lambda m: m(username="u")),
    "too many": ("query_dominant", lambda m: m("rb", "a", "b", "c")),
    "too many with defaults": ("_make_request", lambda m: m("GET", "/x", {}, 10, "extra")),
    "too many, only default": ("query_contract_multiplier", lambda m: m("a", "b")),
    "too many plus keyword": ("query_dominant", lambda m: m("rb", "a", "b", "c", end_date="x")),
    "unexpected keyword": ("query_dominant", lambda m: m("rb", "a", "b", verbose=True)),
    "unexpected keyword, no args": ("query_contract_multiplier", lambda m: m(sym="rb")),
    "multiple values": ("query_dominant", lambda m: m("rb", "a", "b", symbol="x")),
    "multiple values, default": ("_make_request", lambda m: m("GET", "/x", {}, 5, timeout=10)),
}


@pytest.mark.parametrize("case", list(WRONG_CALLS))
def test_wrong_calls_raise_the_interpreters_type_error(feed, case):
    name, call = WRONG_CALLS[case]
    expected = _type_error(lambda: call(getattr(PLAIN(), name)))
    assert _type_error(lambda: call(getattr(feed, name))) == expected


@pytest.mark.parametrize(
    "name, call",
    [
        ("query_dominant", lambda cls: cls.query_dominant()),
        ("initialize", lambda cls: cls.initialize(None, "u")),
        ("__init__", lambda cls: cls(1)),
        ("__init__", lambda cls: cls(user="u")),
    ],
)
def test_wrong_calls_on_the_class(nd, name, call):
    assert _type_error(lambda: call(nd.NorvixDatafeed)) == _type_error(lambda: call(PLAIN))


# --- NorvixBarData ----------------------------------------------------------------

ADDED_FIELDS = {
    "instrument_id": str,
    "limit_up": float,
    "limit_down": float,
    "prev_close_price": float,
    "settlement_price": float,
    "pre_settlement_price": float,
    "trading_datetime": datetime,
}


def _bar(nd, **kwargs):
    values = dict(symbol="rb2405", exchange=Exchange.SHFE, datetime=None, gateway_name="g")
    values.update(kwargs)
    return nd.NorvixBarData(**values)


def test_bar_record_class(nd):
    cls = nd.NorvixBarData
    assert cls.__bases__ == (BarData,)
    assert dataclasses.is_dataclass(cls)
    assert cls.__name__ == cls.__qualname__ == "NorvixBarData"
    assert cls.__module__ == "norvix_datafeed"
    assert cls.__doc__ == "Candlestick bar data of a certain trading period.\n    "
    assert list(vars(cls)["__annotations__"].items()) == list(ADDED_FIELDS.items())
    assert vars(cls)["__annotations__"]["trading_datetime"] is datetime
    params = vars(cls)["__dataclass_params__"]
    assert (params.init, params.repr, params.eq, params.order, params.frozen) == (True, True, True, False, False)

    names = [f.name for f in dataclasses.fields(cls)]
    assert names == [f.name for f in dataclasses.fields(BarData)] + list(ADDED_FIELDS)
    own_keys = [key for key in vars(cls) if key in ADDED_FIELDS or key == "__post_init__"]
    assert own_keys == [*ADDED_FIELDS, "__post_init__"]

    for name in ("limit_up", "limit_down", "prev_close_price", "settlement_price", "pre_settlement_price"):
        assert type(vars(cls)[name]) is int and vars(cls)[name] == 0
    assert vars(cls)["instrument_id"] == ""
    assert vars(cls)["trading_datetime"] is None

    post = vars(cls)["__post_init__"]
    assert post.__qualname__ == "NorvixBarData.__post_init__"
    assert post.__doc__ == ""
    assert post.__annotations__ == {"return": None}

    base_params = list(inspect.signature(BarData).parameters.values())
    params = list(inspect.signature(cls).parameters.values())
    assert params[: len(base_params)] == base_params
    assert [(p.name, p.default) for p in params[len(base_params):]] == [
        (name, vars(cls)[name]) for name in ADDED_FIELDS
    ]


def test_bar_record_defaults_and_vt_symbol(nd):
    bar = _bar(nd)
    assert bar.vt_symbol == ".SHFE"
    for name in ("limit_up", "limit_down", "prev_close_price", "settlement_price", "pre_settlement_price"):
        assert type(getattr(bar, name)) is int and getattr(bar, name) == 0
    assert bar.trading_datetime is None and bar.instrument_id == ""


def test_vt_symbol_comes_from_instrument_id_and_is_computed_once(nd):
    a = _bar(nd, instrument_id="rb2405", limit_up=4100.0)
    b = _bar(nd, instrument_id="rb2410")
    assert (a.vt_symbol, b.vt_symbol) == ("rb2405.SHFE", "rb2410.SHFE")
    assert _bar(nd, instrument_id=2405, exchange=Exchange.DCE).vt_symbol == "2405.DCE"

    a.instrument_id, a.exchange = "x", Exchange.CFFEX
    assert a.vt_symbol == "rb2405.SHFE"


def test_vt_symbol_is_not_a_field(nd):
    a, b = _bar(nd, instrument_id="rb2405"), _bar(nd, instrument_id="rb2405")
    b.vt_symbol = "other"
    assert a == b
    assert "vt_symbol" not in repr(a)
    assert "vt_symbol" not in {f.name for f in dataclasses.fields(a)}
    assert repr(a).startswith("NorvixBarData(gateway_name='g',")
    assert repr(a).endswith("instrument_id='rb2405', limit_up=0, limit_down=0, prev_close_price=0, "
                            "settlement_price=0, pre_settlement_price=0, trading_datetime=None)")


def test_bar_record_construction_failures(nd):
    with pytest.raises(AttributeError):
        _bar(nd, exchange=None)
    with pytest.raises(TypeError):
        nd.NorvixBarData(symbol="rb", exchange=Exchange.SHFE)


# --- import effects ---------------------------------------------------------------

_IMPORT_SCRIPT = r"""
import importlib.util, sys
if sys.argv[1] == "py":
    spec = importlib.util.spec_from_file_location("norvix_datafeed", sys.argv[2])
    module = importlib.util.module_from_spec(spec)
    sys.modules["norvix_datafeed"] = module
    spec.loader.exec_module(module)
else:
    import norvix_datafeed as module
assert not hasattr(module, "norvixDatafeed") and not hasattr(module, "multiplier_list")
"""


def _clean_env(home):
    env = {k: v for k, v in os.environ.items() if not k.startswith("NORVIX")}
    env["HOME"] = str(home)
    return env


def test_import_in_a_new_interpreter_prints_nothing(impl, tmp_path):
    source = os.path.join(REPO, "python_form", "norvix_py.py")
    proc = subprocess.run(
        [sys.executable, "-c", _IMPORT_SCRIPT, impl, source],
        cwd=tmp_path, env=_clean_env(tmp_path), capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert (proc.stdout, proc.stderr) == ("", "")


def test_import_logs_and_sends_nothing(reimport, logs, server_8081, settings, monkeypatch):
    monkeypatch.setitem(settings, "datafeed.username", "user")
    monkeypatch.setitem(settings, "datafeed.password", "secret-pass")
    module = reimport()
    assert logs == []
    assert server_8081.requests == []
    assert not hasattr(module, "norvixDatafeed")


def test_reimport_builds_a_new_working_module(nd, reimport, server, logs):
    old_feed = nd.NorvixDatafeed()
    old_feed.base_url = server.url
    old_feed.initialize("user", "secret-pass")

    new = reimport()
    assert new is not nd
    assert new.NorvixDatafeed is not nd.NorvixDatafeed
    assert new.NorvixBarData is not nd.NorvixBarData
    assert new.NorvixDatafeed.query_dominant is not nd.NorvixDatafeed.query_dominant
    assert new.NorvixDatafeed.__bases__ == (BaseDatafeed,)

    server.route("/multiplier/query", server.reply_json(server.envelope([{"symbol": "rb", "multiplier": 10}])))
    new_feed = new.NorvixDatafeed()
    new_feed.base_url = server.url
    new_feed.initialize("user", "secret-pass")
    assert new_feed.query_contract_multiplier("rb") == [{"symbol": "rb", "multiplier": 10}]
    assert not isinstance(new_feed, nd.NorvixDatafeed)
    assert _bar(new, instrument_id="a").vt_symbol == "a.SHFE"

    # The first module and its objects keep working.
    assert old_feed.query_contract_multiplier("cu") == [{"symbol": "rb", "multiplier": 10}]
    assert nd.NorvixDatafeed().base_url == "http://127.0.0.1:8081"
    assert [r.query for r in server.requests] == ["symbol=rb", "symbol=cu"]


@pytest.mark.extension_only
def test_reimport_of_the_extension_runs_its_body_again(nd, reimport):
    new = reimport()
    assert new is not nd
    assert new.__file__ == nd.__file__
    assert sys.modules["norvix_datafeed"] is new


# --- module globals are read at call time --------------------------------------------


class FakeLogger:
    def __init__(self):
        self.lines = []

    def info(self, message):
        self.lines.append(("info", message))

    def error(self, message):
        self.lines.append(("error", message))


def test_logger_is_looked_up_at_call_time(nd, feed, logs, monkeypatch):
    fake = FakeLogger()
    monkeypatch.setattr(nd, "logger", fake)
    feed.initialize("u", "other-secret")
    assert fake.lines == [("info", "initialize Norvix 账户、密码, username: u, password: ******")]
    assert logs == []


def test_requests_is_looked_up_at_call_time(nd, feed, logs, monkeypatch):
    records = [{"symbol": "rb"}]
    fake = StandInRequests({"code": 0, "data": records})
    monkeypatch.setattr(nd, "requests", fake)

    assert feed.query_dominant("rb", "2024-01-01", None) is records
    assert feed.query_contract_multiplier() is records
    headers = {
        "Content-Type": "application/json",
        "User-Agent": "Python/requests (JSON POST)",
        "mobile": "user",
        "token": "secret-pass",
    }
    assert fake.calls == [
        ("post", (), {"url": feed.base_url + "/dominant/query",
                      "json": {"symbol": "rb", "start_date": "2024-01-01", "end_date": None},
                      "headers": headers, "timeout": 10}),
        ("get", (), {"url": feed.base_url + "/multiplier/query", "params": {"symbol": None},
                     "headers": headers, "timeout": 10}),
    ]
    for _, _, kwargs in fake.calls:
        assert list(kwargs) in (["url", "json", "headers", "timeout"], ["url", "params", "headers", "timeout"])
        assert list(kwargs["headers"]) == list(headers)
    assert list(fake.calls[0][2]["json"]) == ["symbol", "start_date", "end_date"]
    assert logs[-1] == ("INFO", "NorvixData查询合约乘数成功，共1条")


def test_missing_global_raises_name_error_then_builtins_are_searched(nd, feed, monkeypatch):
    monkeypatch.delattr(nd, "requests")
    with pytest.raises(NameError, match=r"^name 'requests' is not defined$"):
        feed._make_request(method="POST", endpoint="/x", json_data={})

    fake = StandInRequests({"code": 0, "data": []})
    monkeypatch.setattr(builtins, "requests", fake, raising=False)
    assert feed._make_request(method="POST", endpoint="/x", json_data={}) == {"code": 0, "data": []}
    assert [call[0] for call in fake.calls] == ["post"]

    monkeypatch.delattr(nd, "logger")
    with pytest.raises(NameError, match=r"^name 'logger' is not defined$"):
        feed.initialize("u", "p")


# --- run as the main program -----------------------------------------------------------

MULTIPLIERS = [{"symbol": "rb", "multiplier": 10}, {"symbol": "cu", "multiplier": 5}]


def test_main_program_self_test_in_process(run_as_main, server_8081, logs, settings, monkeypatch):
    monkeypatch.setitem(settings, "datafeed.username", "demo")
    monkeypatch.setitem(settings, "datafeed.password", "secret-pass")
    server_8081.route("/multiplier/query", server_8081.reply_json(server_8081.envelope(MULTIPLIERS)))

    module = run_as_main()

    assert isinstance(module.norvixDatafeed, module.NorvixDatafeed)
    assert module.multiplier_list == MULTIPLIERS
    assert logs == [
        ("INFO", "Norvix数据模块已加载, 用户名: demo, 密钥: ******"),
        ("INFO", "contract_multiplier query, symbol: "),
        ("INFO", "请求成功！状态码: 200"),
        ("INFO", "NorvixData查询合约乘数成功，共2条"),
        ("INFO", "2"),
    ]
    [received] = server_8081.requests
    assert (received.method, received.path, received.query) == ("GET", "/multiplier/query", "symbol=")
    assert received.header("mobile") == "demo" and received.header("token") == "secret-pass"


def test_main_program_self_test_as_a_script(impl, server_8081, tmp_path):
    (tmp_path / ".vntrader").mkdir()
    (tmp_path / ".vntrader" / "vt_setting.json").write_text(
        json.dumps({"datafeed.username": "demo", "datafeed.password": "secret-pass"}), encoding="utf-8"
    )
    server_8081.route("/multiplier/query", server_8081.reply_json(server_8081.envelope([])))
    script = os.path.join(REPO, "python_form", "norvix_py.py") if impl == "py" else os.path.join(REPO, "scripts", "selftest.py")
    proc = subprocess.run(
        [sys.executable, script], cwd=tmp_path, env=_clean_env(tmp_path),
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    messages = [line.split(" - ", 1)[1] for line in proc.stderr.splitlines()]
    assert messages == [
        "Norvix数据模块已加载, 用户名: demo, 密钥: ******",
        "contract_multiplier query, symbol: ",
        "请求成功！状态码: 200",
        "NorvixData未查询到合约乘数数据",
        "0",
    ]
    assert "secret-pass" not in proc.stderr
    assert [(r.method, r.path, r.query) for r in server_8081.requests] == [("GET", "/multiplier/query", "symbol=")]


def test_methods_copy_and_pickle_by_reference_as_functions_do(nd, feed):
    import copy
    import pickle

    for function in (nd.NorvixDatafeed.query_dominant, nd.NorvixDatafeed.__init__, nd.NorvixBarData.__post_init__):
        assert copy.copy(function) is function
        assert copy.deepcopy(function) is function
        assert pickle.loads(pickle.dumps(function)) is function
    bound = pickle.loads(pickle.dumps(feed.query_contracts))
    assert bound.__func__ is nd.NorvixDatafeed.query_contracts
    assert vars(bound.__self__) == vars(feed)
