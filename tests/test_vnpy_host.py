"""The datafeed inside vn.py: loading by name, the type stub, downloads into vn.py's SQLite
database against the local data service, and vn.py's own flows on vnpy_norvix, headless:
the data manager's engine downloads, and the CTA backtester runs a bundled strategy on the bars."""

import ast
import dataclasses
import inspect
import re
import sqlite3
import sys
import sysconfig
from contextlib import closing
from datetime import datetime, timedelta
from pathlib import Path

import pytest
import requests
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.datafeed import BaseDatafeed, get_datafeed
from vnpy.trader.object import BarData, HistoryRequest
from vnpy.trader.setting import SETTINGS

from helpers import REPO, SERVICE_TOKEN, SERVICE_USER, SHANGHAI
from norvix_devserver import default_database_path

# vn.py's logger replaces every loguru sink when first imported; keep it from adding
# its console and file sinks, and import it now, before any test adds its own sinks.
SETTINGS["log.console"] = SETTINGS["log.file"] = False
from vnpy.event import EventEngine  # noqa: E402
from vnpy.trader.engine import MainEngine  # noqa: E402

STUB = REPO / "norvix_datafeed.pyi"
USER, TOKEN = SERVICE_USER, SERVICE_TOKEN
NO_DEFAULT = inspect.Parameter.empty


# --- loading by name ------------------------------------------------------------------


def test_get_datafeed_loads_the_plugin_by_name(nd, settings, monkeypatch, no_loaded_datafeed, server):
    monkeypatch.setitem(settings, "datafeed.name", "norvix")
    monkeypatch.setitem(settings, "datafeed.username", "alice")
    monkeypatch.setitem(settings, "datafeed.password", "settings-secret")
    monkeypatch.setitem(settings, "datafeed.base_url", server.url + "/")
    monkeypatch.delitem(sys.modules, "vnpy_norvix", raising=False)

    feed = get_datafeed()

    plugin = sys.modules["vnpy_norvix"]
    assert type(feed) is plugin.Datafeed
    assert isinstance(feed, nd.NorvixDatafeed) and isinstance(feed, BaseDatafeed)
    assert (feed.username, feed.password, feed.base_url) == ("alice", "settings-secret", server.url)
    assert get_datafeed() is feed
    output = []
    assert feed.init(output.append) is True
    assert output == []


def test_init_reports_missing_credentials(settings, server):
    from vnpy_norvix import Datafeed

    feed = Datafeed()
    feed.base_url = server.url
    output = []
    assert feed.init(output.append) is False
    assert len(output) == 1 and "datafeed.username" in output[0] and "datafeed.password" in output[0]

    feed.initialize("user", "")
    assert feed.init(output.append) is False
    assert server.requests == []
    feed.initialize("user", "secret-pass")
    assert feed.init(output.append) is True
    assert len(output) == 2


# --- the type stub ----------------------------------------------------------------------


def _stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def _stub_class(name: str) -> ast.ClassDef:
    return next(node for node in _stub_tree().body if isinstance(node, ast.ClassDef) and node.name == name)


def _bound_names(node: ast.stmt) -> list[str]:
    if isinstance(node, (ast.Import, ast.ImportFrom)):
        return [alias.asname or alias.name for alias in node.names]
    if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
        return [node.name]
    if isinstance(node, (ast.AnnAssign, ast.Assign)):
        targets = [node.target] if isinstance(node, ast.AnnAssign) else node.targets
        return [target.id for target in targets]
    return []


def _annotation_text(annotation) -> str | None:
    """The runtime annotation written the way the stub spells it (names without modules)."""
    if annotation is NO_DEFAULT:
        return None
    if isinstance(annotation, type):
        return annotation.__qualname__
    return re.sub(r"\b(?:[A-Za-z_]\w*\.)+([A-Za-z_]\w*)", r"\1", repr(annotation))


def _stub_parameters(method: ast.FunctionDef) -> list[tuple]:
    args = method.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), method.name
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    return [
        (
            arg.arg,
            ast.unparse(arg.annotation) if arg.annotation else None,
            NO_DEFAULT if default is None else eval(ast.unparse(default), {}),
        )
        for arg, default in zip(args.args, defaults)
    ]


def _same_default(a, b) -> bool:
    return a is b or (type(a) is type(b) and a == b)


def test_stub_binds_the_module_names_in_order(reimport):
    nd = reimport()  # a namespace in its original order, whatever other tests patched
    stub_names = [name for node in _stub_tree().body for name in _bound_names(node)]
    runtime_names = [name for name in vars(nd) if not (name.startswith("__") and name.endswith("__"))]
    assert stub_names == runtime_names

    # The stub's imports name the very objects the module holds.
    namespace: dict = {}
    for node in _stub_tree().body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            exec(compile(ast.Module([node], []), str(STUB), "exec"), namespace)
    for name in namespace.keys() - {"__builtins__"}:
        assert namespace[name] is getattr(nd, name), name


def test_stub_methods_match_the_runtime_signatures(nd):
    stub_methods = [node for node in _stub_class("NorvixDatafeed").body if isinstance(node, ast.FunctionDef)]
    runtime_methods = [name for name, value in vars(nd.NorvixDatafeed).items() if callable(value)]
    assert [method.name for method in stub_methods] == runtime_methods

    for method in stub_methods:
        runtime = getattr(nd.NorvixDatafeed, method.name)
        signature = inspect.signature(runtime)
        stub_params = _stub_parameters(method)
        runtime_params = [
            (param.name, _annotation_text(param.annotation), param.default)
            for param in signature.parameters.values()
        ]
        assert all(param.kind is param.POSITIONAL_OR_KEYWORD for param in signature.parameters.values())
        assert [p[:2] for p in stub_params] == [p[:2] for p in runtime_params], method.name
        for stub_param, runtime_param in zip(stub_params, runtime_params):
            assert _same_default(stub_param[2], runtime_param[2]), (method.name, stub_param, runtime_param)

        # The queries always return a list, which the stub says in place of "list[...] | None".
        returns = ast.unparse(method.returns) if method.returns else None
        assert returns == _annotation_text(signature.return_annotation).removesuffix(" | None"), method.name
        assert ast.get_docstring(method) == runtime.__doc__, method.name


def test_stub_record_fields_match_the_runtime(nd):
    stub_fields = [
        (node.target.id, ast.literal_eval(node.value))
        for node in _stub_class("NorvixBarData").body
        if isinstance(node, ast.AnnAssign)
    ]
    inherited = {field.name for field in dataclasses.fields(BarData)}
    runtime_fields = [
        (field.name, field.default) for field in dataclasses.fields(nd.NorvixBarData) if field.name not in inherited
    ]
    assert stub_fields == runtime_fields
    assert [type(default) for _, default in stub_fields] == [type(default) for _, default in runtime_fields]


@pytest.mark.extension_only
def test_stub_and_typing_marker_are_installed_with_the_module(nd):
    module_dir = Path(nd.__file__).resolve().parent
    site_dirs = {Path(sysconfig.get_path(key)).resolve() for key in ("purelib", "platlib")}
    if module_dir not in site_dirs:
        pytest.skip(f"norvix_datafeed is not installed here but loaded from {module_dir}")
    assert (module_dir / "norvix_datafeed.pyi").read_bytes() == STUB.read_bytes()
    assert (module_dir / "vnpy_norvix" / "py.typed").is_file()
    for source in (REPO / "vnpy_norvix").glob("*.py"):
        assert (module_dir / "vnpy_norvix" / source.name).read_bytes() == source.read_bytes(), source.name


# --- download into vn.py's database -------------------------------------------------------


def _served(url: str, endpoint: str, body: dict) -> list[dict]:
    """What the service answers, read straight off the wire as the expected data."""
    reply = requests.post(url + endpoint, json=body, headers={"mobile": USER, "token": TOKEN}, timeout=30)
    reply.raise_for_status()
    envelope = reply.json()
    assert envelope["code"] == 0, envelope
    assert envelope["data"], f"the service has no data for {body}"
    return envelope["data"]


# The calls that vnpy_datamanager's ManagerEngine makes for "下载数据" (its widget
# passes the start date at midnight in DB_TZ; the engine asks for everything up to now).


def download_bar_data(datafeed, database, symbol, exchange, interval, start, output) -> int:
    from vnpy.trader.database import DB_TZ

    req = HistoryRequest(symbol=symbol, exchange=exchange, interval=Interval(interval), start=start,
                         end=datetime.now(DB_TZ))
    data = datafeed.query_bar_history(req, output)
    if data:
        database.save_bar_data(data)
        return len(data)
    return 0


def download_tick_data(datafeed, database, symbol, exchange, start, output) -> int:
    from vnpy.trader.database import DB_TZ

    req = HistoryRequest(symbol=symbol, exchange=exchange, start=start, end=datetime.now(DB_TZ))
    data = datafeed.query_tick_history(req, output)
    if data:
        database.save_tick_data(data)
        return len(data)
    return 0


def _overview(database, symbol, interval):
    matches = [o for o in database.get_bar_overview() if (o.symbol, o.interval) == (symbol, interval)]
    assert len(matches) == 1
    return matches[0]


BAR_PRICES = ("open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")


@pytest.mark.parametrize(
    "interval, endpoint, time_member, time_format, start",
    [
        (Interval.DAILY, "/daybar/query", "trading_date", "%Y-%m-%d", datetime(2024, 3, 1)),
        (Interval.MINUTE, "/minutebar/query", "trading_datetime", "%Y-%m-%d %H:%M:%S", datetime(2024, 5, 13)),
    ],
)
def test_bar_download_round_trip(service, datafeed, database, interval, endpoint, time_member, time_format, start):
    from vnpy.trader.database import DB_TZ

    limit = 2000 if interval == Interval.DAILY else 40000
    served = _served(service, endpoint, {"instrument_id": "rb2405", "start_date": start.strftime("%Y-%m-%d"),
                                         "end_date": datetime.now(DB_TZ).strftime("%Y-%m-%d"), "limit": limit})
    served = [record for record in served if datetime.strptime(record[time_member], time_format) >= start]
    output: list[str] = []

    count = download_bar_data(datafeed, database, "rb2405", Exchange.SHFE, interval, start.replace(tzinfo=DB_TZ),
                              output.append)

    assert output == []
    assert count == len(served)
    first = datetime.strptime(served[0][time_member], time_format)
    last = datetime.strptime(served[-1][time_member], time_format)
    overview = _overview(database, "rb2405", interval)
    # Stored as Shanghai wall times: a daily bar stays on its trading date.
    assert (overview.exchange, overview.count, overview.start, overview.end) == (Exchange.SHFE, count, first, last)

    # Read back as the data manager shows it: the overview's range, end date included.
    loaded = database.load_bar_data("rb2405", Exchange.SHFE, interval, overview.start,
                                    overview.end + timedelta(days=1))
    assert len(loaded) == len(served)
    for bar, record in zip(loaded, served):
        instant = datetime.strptime(record[time_member], time_format).replace(tzinfo=SHANGHAI)
        assert bar.datetime == instant, record
        assert (bar.symbol, bar.exchange, bar.interval) == ("rb2405", Exchange.SHFE, interval)
        assert [getattr(bar, name) for name in BAR_PRICES] == [float(record[name]) for name in BAR_PRICES], record

    # "更新数据" downloads again from the overview's end: the same instants replace the
    # stored bars instead of adding to them.
    again = download_bar_data(datafeed, database, "rb2405", Exchange.SHFE, interval, overview.end, output.append)
    assert again >= 1
    assert _overview(database, "rb2405", interval).count == count
    assert len(database.load_bar_data("rb2405", Exchange.SHFE, interval, overview.start,
                                      overview.end + timedelta(days=1))) == count


TICK_MEMBERS = {
    "volume": "volume", "turnover": "turnover", "open_interest": "open_interest", "last_price": "last_price",
    "last_volume": "last_volume", "limit_up": "limit_up", "limit_down": "limit_down", "open_price": "open",
    "high_price": "high", "low_price": "low", "pre_close": "pre_close",
    **{f"{side}_{kind}_{level}": f"{side}_{kind}_{level}"
       for side in ("bid", "ask") for kind in ("price", "volume") for level in range(1, 6)},
}


def test_tick_download_round_trip(service, datafeed, database):
    from vnpy.trader.database import DB_TZ

    # Every trading day from the start on, from the start's instant on: the night
    # session of the evening before it lies outside.
    served = [record for day in ("2024-05-28", "2024-05-29")
              for record in _served(service, "/tickdata/query", {"instrument_id": "rb2410", "trading_date": day})
              if record["trading_datetime"] >= "2024-05-28 00:00:00"]
    output: list[str] = []

    count = download_tick_data(datafeed, database, "rb2410", Exchange.SHFE,
                               datetime(2024, 5, 28, tzinfo=DB_TZ), output.append)

    assert output == []
    assert count == len(served)
    overview = [o for o in database.get_tick_overview() if o.symbol == "rb2410"]
    assert len(overview) == 1 and overview[0].count == count

    loaded = database.load_tick_data("rb2410", Exchange.SHFE, datetime(2024, 5, 27, 21), datetime(2024, 5, 29, 15))
    assert len(loaded) == len(served)
    for tick, record in zip(loaded, served):
        instant = datetime.strptime(record["trading_datetime"], "%Y-%m-%d %H:%M:%S").replace(tzinfo=SHANGHAI)
        assert tick.datetime == instant, record
        assert (tick.symbol, tick.exchange, tick.name) == ("rb2410", Exchange.SHFE, record["name"])
        assert {field: getattr(tick, field) for field in TICK_MEMBERS} == {
            field: float(record[member]) for field, member in TICK_MEMBERS.items()
        }, record


# --- vn.py's data manager and CTA backtester ----------------------------------------------


def stored_count(table: str, instrument_id: str, column: str, since: str, until: str = "9999") -> int:
    """How many records the service's own database holds."""
    uri = default_database_path().resolve().as_uri() + "?mode=ro"
    with closing(sqlite3.connect(uri, uri=True)) as db:
        sql = f"SELECT count(*) FROM {table} WHERE instrument_id = ? AND {column} BETWEEN ? AND ?"
        return db.execute(sql, (instrument_id, since, until)).fetchone()[0]


@pytest.fixture
def manager(datafeed, database, monkeypatch, tmp_path):
    """vnpy_datamanager's engine on a headless main engine."""
    from vnpy_datamanager import ManagerEngine

    monkeypatch.chdir(tmp_path)  # the main engine moves into vn.py's folder
    main_engine = MainEngine(EventEngine())
    engine = main_engine.add_engine(ManagerEngine)
    assert engine.datafeed is datafeed and engine.database is database
    yield engine
    main_engine.close()


def overview(manager, symbol, interval):
    return next(o for o in manager.get_bar_overview() if (o.symbol, o.interval) == (symbol, interval))


@pytest.mark.parametrize("interval, start, since", [
    (Interval.DAILY, datetime(2023, 7, 1), "2023-07-01"),
    (Interval.MINUTE, datetime(2024, 1, 1), "2024-01-01 00:00:00"),
])
def test_data_manager_downloads_complete_bars(manager, interval, start, since):
    from vnpy.trader.database import DB_TZ

    output: list[str] = []
    table, column = ("day_bar", "trading_date") if interval == Interval.DAILY else ("minute_bar", "trading_datetime")
    expected = stored_count(table, "au2406", column, since)

    count = manager.download_bar_data("au2406", Exchange.SHFE, interval.value, start.replace(tzinfo=DB_TZ),
                                      output.append)

    assert output == [] and count == expected
    stored = overview(manager, "au2406", interval)
    bars = manager.load_bar_data("au2406", Exchange.SHFE, interval, stored.start, stored.end + timedelta(days=1))
    assert stored.count == len(bars) == expected
    times = [bar.datetime for bar in bars]
    assert times == sorted(set(times)) and times[0].tzinfo == DB_TZ

    # "更新数据" from the last stored bar: the same instants again, no duplicates.
    assert manager.download_bar_data("au2406", Exchange.SHFE, interval.value, stored.end, output.append) >= 1
    assert overview(manager, "au2406", interval).count == expected and output == []


def test_data_manager_downloads_ticks_across_trading_days(manager, database):
    from vnpy.trader.database import DB_TZ

    output: list[str] = []
    count = manager.download_tick_data("au2412", Exchange.SHFE, datetime(2024, 5, 28, tzinfo=DB_TZ), output.append)

    assert output == [] and count == stored_count("tick", "au2412", "trading_datetime", "2024-05-28 00:00:00")
    ticks = database.load_tick_data("au2412", Exchange.SHFE, datetime(2024, 5, 28), datetime(2024, 5, 30))
    assert len(ticks) == count
    assert {tick.datetime.date() for tick in ticks} == {datetime(2024, 5, day).date() for day in (28, 29)}


def test_cta_backtest_on_downloaded_minute_bars(manager):
    from vnpy.trader.database import DB_TZ
    from vnpy_ctastrategy.backtesting import BacktestingEngine
    from vnpy_ctastrategy.strategies.atr_rsi_strategy import AtrRsiStrategy

    output: list[str] = []
    downloaded = manager.download_bar_data("rb2405", Exchange.SHFE, "1m", datetime(2024, 2, 1, tzinfo=DB_TZ),
                                           output.append)
    assert output == [] and downloaded > 10_000

    engine = BacktestingEngine()
    engine.output = output.append
    engine.set_parameters(vt_symbol="rb2405.SHFE", interval=Interval.MINUTE, start=datetime(2024, 2, 1),
                          end=datetime(2024, 4, 30), rate=1e-4, slippage=1, size=10, pricetick=1, capital=1_000_000)
    engine.add_strategy(AtrRsiStrategy, {})
    engine.load_data()
    engine.run_backtesting()
    engine.calculate_result()
    statistics = engine.calculate_statistics(output=False)

    # The backtester reads to the end of its end date.
    assert len(engine.history_data) == stored_count("minute_bar", "rb2405", "trading_datetime", "2024-02-01",
                                                    "2024-04-30 23:59:59")
    assert statistics["total_days"] > 40 and statistics["total_trade_count"] > 0
    assert statistics["end_balance"] != statistics["capital"]
