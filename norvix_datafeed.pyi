# Type stub for the native module norvix_datafeed. The imports mirror the names the
# module binds, in the same order; only the three names defined here are its API.
# ZoneInfo is zoneinfo's class, which vn.py's utility module binds without exporting it.
# The methods carry the module's own annotations (bare dict and Callable, a parameter
# without one): the ignores below tell a strict checker that they are meant.

import json
from dataclasses import dataclass
from datetime import datetime
from typing import List, Callable

import requests
from loguru import logger
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.datafeed import BaseDatafeed
from vnpy.trader.object import BarData, TickData, HistoryRequest
from vnpy.trader.setting import SETTINGS
from zoneinfo import ZoneInfo

@dataclass
class NorvixBarData(BarData):
    """Candlestick bar data of a certain trading period."""

    instrument_id: str = ""
    limit_up: float = 0
    limit_down: float = 0
    prev_close_price: float = 0
    settlement_price: float = 0
    pre_settlement_price: float = 0
    trading_datetime: datetime | None = None

    # Unlike BarData's, vt_symbol is built from instrument_id: "<instrument_id>.<exchange>".
    def __post_init__(self) -> None: ...

CHINA_TZ: ZoneInfo

class NorvixDatafeed(BaseDatafeed):
    """NorviX数据服务接口"""

    base_url: str
    username: str
    password: str

    def __init__(self) -> None:
        """构造函数"""

    def initialize(self, username: str, password: str) -> None:
        """设置账户、密码"""

    def _make_request(self, method: str, endpoint: str, json_data: dict, timeout: int = 10) -> dict: ...  # type: ignore[type-arg]
    # The queries return a list, empty after a failure (which they log), although the
    # functions' own annotations read "list[...] | None": the stub states what callers get.
    # The reference queries return the service's "data" member as received: a list of JSON
    # objects from a well-behaved service (only a reply holding "data": null gives None).
    def query_bar_history(self, req: HistoryRequest, output: Callable = print) -> list[BarData]: ...  # type: ignore[type-arg]
    def query_day_bar_history(
        self, symbol: str, exchange: Exchange, start_str: str, end_str: str
    ) -> list[BarData]:
        """查询日K线数据"""

    def query_minute_bar_history(
        self, symbol: str, exchange: Exchange, start_str: str, end_str: str
    ) -> list[BarData]:
        """查询K线数据"""

    def query_tick_history(self, req: HistoryRequest, output: Callable = print) -> list[TickData]:  # type: ignore[type-arg]
        """查询Tick数据"""

    def query_dominant(self, symbol: str, start_date: str | None, end_date: str | None) -> list[dict]:  # type: ignore[type-arg]
        """查询主力合约数据"""

    def query_contracts(self, symbol: str | None, trading_date: str | None) -> list[dict]:  # type: ignore[type-arg]
        """查询当天可交易合约"""

    def query_ex_factor(self, symbol: str, start_date: str | None, end_date: str | None) -> list[dict]:  # type: ignore[type-arg]
        """查询品种复权因子"""

    def query_contract_multiplier(self, symbol=None) -> list[dict]:  # type: ignore[no-untyped-def, type-arg]
        """查询品种合约乘数"""
