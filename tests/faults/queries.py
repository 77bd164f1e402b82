"""Every query of the datafeed, as the hardening tests drive it.

Each entry knows how to call its query for a symbol, which endpoint it reaches, and
the log texts it writes around the exchange, so that a test can state the complete
sequence of lines a call must leave behind.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime
from typing import Any, Callable

from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, HistoryRequest, TickData

START = datetime(2024, 3, 5, 14, 30)
END = datetime(2024, 3, 29)


def history_request(symbol: str, interval: Interval | None) -> HistoryRequest:
    return HistoryRequest(symbol=symbol, exchange=Exchange.SHFE, start=START, end=END, interval=interval)


@dataclass(frozen=True)
class Query:
    name: str
    call: Callable[[Any, str], Any]  # (datafeed, symbol) -> result
    endpoint: str
    method: str
    fail_prefix: str
    kind: str  # "bars", "ticks" or "records"
    opening: Callable[[str], list[str]] = lambda symbol: []  # info lines before the exchange
    success: Callable[[str, int], str] | None = None
    nodata: Callable[[str], str] | None = None
    parse_prefix: str | None = None
    record_type: type | None = None

    def __repr__(self) -> str:
        return self.name

    def failure_lines(self, symbol: str, transport_lines: list[tuple[str, str]]) -> list[tuple[str, str]]:
        """What a call leaves behind when the exchange fails with ``transport_lines``."""
        return ([("INFO", line) for line in self.opening(symbol)] + transport_lines
                + [("INFO", self.fail_prefix + symbol)])


def _bars(name, call, endpoint, fail_prefix, success_text, nodata_text, parse_prefix):
    return Query(
        name=name, call=call, endpoint=endpoint, method="POST", fail_prefix=fail_prefix, kind="bars",
        success=lambda s, n: f"NorvixData获取{s}{success_text}{n}条",
        nodata=lambda s: f"NorvixData未获取到{s}{nodata_text}",
        parse_prefix=parse_prefix, record_type=BarData,
    )


def _reference(name, call, endpoint, method, fail_prefix, opening, success, nodata):
    return Query(name=name, call=call, endpoint=endpoint, method=method, fail_prefix=fail_prefix,
                 kind="records", opening=opening, success=success, nodata=nodata, record_type=dict)


DAY = ("NorviX获取日K线数据失败：", "的日K线数据成功，共", "的K线数据", "NorvixData解析K线数据异常：")
MINUTE = ("NorviX获取分钟K线数据失败：", "的分钟K线数据成功，共", "的分钟K线数据", "NorvixData解析分钟K线数据异常：")

QUERIES: list[Query] = [
    _bars("query_bar_history[daily]",
          lambda feed, s: feed.query_bar_history(history_request(s, Interval.DAILY)),
          "/daybar/query", *DAY),
    _bars("query_bar_history[minute]",
          lambda feed, s: feed.query_bar_history(history_request(s, Interval.MINUTE)),
          "/minutebar/query", *MINUTE),
    _bars("query_day_bar_history",
          lambda feed, s: feed.query_day_bar_history(s, Exchange.SHFE, "2024-03-01", "2024-03-29"),
          "/daybar/query", *DAY),
    _bars("query_minute_bar_history",
          lambda feed, s: feed.query_minute_bar_history(s, Exchange.SHFE, "2024-03-05", "2024-03-05"),
          "/minutebar/query", *MINUTE),
    Query(
        name="query_tick_history",
        call=lambda feed, s: feed.query_tick_history(history_request(s, None)),
        endpoint="/tickdata/query", method="POST", fail_prefix="NorvixData获取Tick数据失败：", kind="ticks",
        success=lambda s, n: f"NorvixData获取{s}的Tick数据成功，共{n}条",
        nodata=lambda s: f"NorvixData未获取到{s}的Tick数据",
        parse_prefix="NorvixData解析Tick数据异常：", record_type=TickData,
    ),
    _reference(
        "query_dominant", lambda feed, s: feed.query_dominant(s, "2024-01-01", "2024-03-31"),
        "/dominant/query", "POST", "NorviX获取主力合约数据失败：",
        lambda s: [f"dominant query, symbol: {s}, start date: 2024-01-01, end date: 2024-03-31"],
        lambda s, n: f"NorvixData获取{s}的主力合约数据成功，共{n}条",
        lambda s: f"NorvixData未获取到{s}的主力合约数据",
    ),
    _reference(
        "query_contracts", lambda feed, s: feed.query_contracts(s, "2024-03-05"),
        "/current/query", "POST", "NorviX获取当天可交易合约失败：",
        lambda s: [f"dominant query, symbol: {s}, trading_date: 2024-03-05"],
        lambda s, n: f"NorvixData获取{s}的当天可交易合约成功，共{n}条",
        lambda s: f"NorvixData未获取到{s}的当天可交易合约数据",
    ),
    _reference(
        "query_ex_factor", lambda feed, s: feed.query_ex_factor(s, "2023-01-01", "2024-12-31"),
        "/exfactor/query", "POST", "NorviX获取复权因子失败：",
        lambda s: [f"ex_factor query, symbol: {s}, start date: 2023-01-01, end date: 2024-12-31"],
        lambda s, n: f"NorvixData获取{s}的复权因子成功，共{n}条",
        lambda s: f"NorvixData未获取到{s}的复权因子数据",
    ),
    _reference(
        "query_contract_multiplier", lambda feed, s: feed.query_contract_multiplier(s),
        "/multiplier/query", "GET", "NorviX查询合约乘数失败：",
        lambda s: [f"contract_multiplier query, symbol: {s}"],
        lambda s, n: f"NorvixData查询合约乘数成功，共{n}条",
        lambda s: "NorvixData未查询到合约乘数数据",
    ),
]

BY_NAME = {q.name: q for q in QUERIES}
