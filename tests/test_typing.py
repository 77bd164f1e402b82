"""Type checkers on a trader's script: the installed stub must let plain use of the
queries check clean, with the result types a vn.py user expects. And the plug-in's own
package checks clean under mypy's strict mode."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from helpers import REPO, environ_without

USER_SCRIPT = '''
from datetime import datetime
from typing import Any, assert_type

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.datafeed import BaseDatafeed
from vnpy.trader.object import BarData, HistoryRequest, TickData

from norvix_datafeed import CHINA_TZ, NorvixBarData, NorvixDatafeed
from vnpy_norvix import Datafeed


def closes(feed: BaseDatafeed, req: HistoryRequest) -> list[float]:
    return [bar.close_price for bar in feed.query_bar_history(req)]


def main() -> None:
    feed = NorvixDatafeed()
    feed.initialize("demo", "demo-token")
    feed.base_url = "http://127.0.0.1:8081"
    start = datetime(2024, 3, 1, tzinfo=CHINA_TZ)
    req = HistoryRequest(symbol="rb2405", exchange=Exchange.SHFE, start=start, end=start,
                         interval=Interval.DAILY)
    bars = feed.query_bar_history(req)
    assert_type(bars, list[BarData])
    print(len(bars), bars[0].close_price)
    for bar in bars:
        print(bar.datetime.date(), bar.volume)
    days: list[BarData] = feed.query_day_bar_history("rb2405", Exchange.SHFE, "2024-03-01", "2024-03-29")
    minutes = feed.query_minute_bar_history("rb2405", Exchange.SHFE, "2024-03-05", "2024-03-05")
    ticks: list[TickData] = feed.query_tick_history(req)
    spread = ticks[-1].ask_price_1 - ticks[-1].bid_price_1
    dominant = feed.query_dominant("rb", "2024-01-01", None)
    assert_type(dominant, list[dict[Any, Any]])
    months = [row["instrument_id"] for row in dominant]
    tradable = len(feed.query_contracts(None, "2024-03-05"))
    factor = feed.query_ex_factor("rb", None, None)[0]["ex_factor"]
    multipliers = {row["symbol"]: row["multiplier"] for row in feed.query_contract_multiplier()}
    record = NorvixBarData(symbol="rb2405", exchange=Exchange.SHFE, datetime=start,
                           gateway_name="NorviX", instrument_id="rb2405", limit_up=4000.0)
    assert_type(record.trading_datetime, datetime | None)
    ready: bool = Datafeed().init()
    print(days, minutes, spread, months, tradable, factor, multipliers, record.vt_symbol, ready,
          closes(feed, req))
'''


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "user_script.py"
    path.write_text(USER_SCRIPT)
    # pyright's own defaults ("standard"), rather than basedpyright's stricter ones.
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "standard"}))
    return path


def _check(command: list[str], cwd: Path) -> subprocess.CompletedProcess:
    # The installed stub is checked: not one on PYTHONPATH, nor under a preloaded sanitizer.
    env = environ_without("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH")
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_mypy_strict_finds_no_error(script):
    result = _check([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(script.parent / ".mypy"),
                     script.name], script.parent)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found")


def test_pyright_finds_no_error(script):
    basedpyright = Path(sys.executable).parent / "basedpyright"
    result = _check([str(basedpyright), "--pythonpath", sys.executable, script.name], script.parent)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 errors" in result.stdout


def test_plugin_package_is_strict_clean(tmp_path):
    # From the repository, so that the package's sources and the core's stub beside them are checked.
    result = _check([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / ".mypy"), "vnpy_norvix/"],
                    REPO)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found")
