"""The datafeed class written in plain Python: its signatures, annotations, docstrings and
the interpreter's TypeError texts are what the native class must match."""

from typing import Callable

from vnpy.trader.constant import Exchange
from vnpy.trader.object import BarData, HistoryRequest, TickData


class NorvixDatafeed:
    def __init__(self) -> None:
        """构造函数"""

    def initialize(self, username: str, password: str) -> None:
        """设置账户、密码"""

    def _make_request(self, method: str, endpoint: str, json_data: dict, timeout: int = 10) -> dict:
        pass

    def query_bar_history(self, req: HistoryRequest, output: Callable = print) -> list[BarData] | None:
        pass

    def query_day_bar_history(self, symbol: str, exchange: Exchange, start_str: str, end_str: str) -> list[BarData] | None:
        """查询日K线数据"""

    def query_minute_bar_history(self, symbol: str, exchange: Exchange, start_str: str, end_str: str) -> list[BarData] | None:
        """查询K线数据"""

    def query_tick_history(self, req: HistoryRequest, output: Callable = print) -> list[TickData] | None:
        """查询Tick数据"""

    def query_dominant(self, symbol: str, start_date: str | None, end_date: str | None) -> list[dict] | None:
        """查询主力合约数据"""

    def query_contracts(self, symbol: str | None, trading_date: str | None) -> list[dict] | None:
        """查询当天可交易合约"""

    def query_ex_factor(self, symbol: str, start_date: str | None, end_date: str | None) -> list[dict] | None:
        """查询品种复权因子"""

    def query_contract_multiplier(self, symbol=None) -> list[dict] | None:
        """查询品种合约乘数"""


PLAIN = NorvixDatafeed
del NorvixDatafeed
