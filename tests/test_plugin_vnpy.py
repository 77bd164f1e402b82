"""vn.py's own flows on vnpy_norvix, headless: the data manager's engine downloads into
vn.py's SQLite database, and the CTA backtester runs a bundled strategy on the bars."""

import sqlite3
from contextlib import closing
from datetime import datetime, timedelta

import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.setting import SETTINGS

from norvix_devserver import default_database_path

# vn.py's logger replaces every loguru sink when first imported; keep it from adding
# its console and file sinks, and import it now, before any test adds its own sinks.
SETTINGS["log.console"] = SETTINGS["log.file"] = False
from vnpy.event import EventEngine  # noqa: E402
from vnpy.trader.engine import MainEngine  # noqa: E402


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
