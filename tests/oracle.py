"""A plain-Python model of what a datafeed does with the service's answer.

The differential tests give one scripted answer both to a query of the module under test
and to the same query of this model, and require the same outcome. The model covers what
follows the call into the HTTP library: the credential check, the arguments handed to
``requests``, what a response or a raised exception turns into, the envelope check, the
conversion of records, the result, and every log line with its level. It writes no log:
the lines are collected in the Outcome.
"""

import importlib.util
import json
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import Any

import requests
from vnpy.trader.constant import Interval
from vnpy.trader.object import BarData, TickData

INFO, ERROR = "INFO", "ERROR"


@dataclass
class Answer:
    """How one request ends, in the order the HTTP library would see it.

    ``send_error`` is raised by requests.get/post; otherwise a response with ``status``
    (400 to 599 make raise_for_status raise HTTPError, with ``text`` as the body) whose
    json() raises ``json_error`` or returns ``value``.
    """

    value: Any = None
    status: int = 200
    text: str = ""
    send_error: BaseException | None = None
    json_error: BaseException | None = None


@dataclass
class Outcome:
    calls: list = field(default_factory=list)  # (method, keyword arguments) given to requests
    lines: list = field(default_factory=list)  # (level, message)
    result: Any = None
    error: BaseException | None = None
    passthrough: bool = False  # the result is the envelope's own `data` member


@dataclass(frozen=True)
class BarQuery:
    endpoint: str
    limit: int
    time_member: str
    time_format: str
    interval: Interval
    failure: str
    bad_record: str
    success: str
    no_data: str


BAR_QUERIES = {
    "query_day_bar_history": BarQuery(
        "/daybar/query", 2000, "trading_date", "%Y-%m-%d", Interval.DAILY,
        "NorviX获取日K线数据失败：", "NorvixData解析K线数据异常：", "的日K线数据成功，共", "的K线数据"),
    "query_minute_bar_history": BarQuery(
        "/minutebar/query", 40000, "trading_datetime", "%Y-%m-%d %H:%M:%S", Interval.MINUTE,
        "NorviX获取分钟K线数据失败：", "NorvixData解析分钟K线数据异常：", "的分钟K线数据成功，共", "的分钟K线数据"),
}
BAR_PRICES = ("open_price", "high_price", "low_price", "close_price")  # required
BAR_AMOUNTS = ("volume", "turnover", "open_interest")  # default 0

# TickData field <- record member, in the order the values are taken.
TICK_NUMBERS = (
    [("volume", "volume"), ("turnover", "turnover"), ("open_interest", "open_interest"),
     ("last_price", "last_price"), ("last_volume", "last_volume"), ("limit_up", "limit_up"),
     ("limit_down", "limit_down"), ("open_price", "open"), ("high_price", "high"),
     ("low_price", "low"), ("pre_close", "pre_close")]
    + [(f"{side}_price_{level}",) * 2 for side in ("bid", "ask") for level in range(1, 6)]
    + [(f"{side}_volume_{level}",) * 2 for side in ("bid", "ask") for level in range(1, 6)]
)


@dataclass(frozen=True)
class ReferenceQuery:
    parameters: tuple
    opening: str  # str.format template over the parameters
    method: str
    endpoint: str
    failure: str
    success: str  # template over symbol and count
    no_data: str  # template over symbol


REFERENCE_QUERIES = {
    "query_dominant": ReferenceQuery(
        ("symbol", "start_date", "end_date"),
        "dominant query, symbol: {symbol}, start date: {start_date}, end date: {end_date}",
        "POST", "/dominant/query", "NorviX获取主力合约数据失败：",
        "NorvixData获取{symbol}的主力合约数据成功，共{count}条", "NorvixData未获取到{symbol}的主力合约数据"),
    "query_contracts": ReferenceQuery(
        ("symbol", "trading_date"),
        "dominant query, symbol: {symbol}, trading_date: {trading_date}",
        "POST", "/current/query", "NorviX获取当天可交易合约失败：",
        "NorvixData获取{symbol}的当天可交易合约成功，共{count}条", "NorvixData未获取到{symbol}的当天可交易合约数据"),
    "query_ex_factor": ReferenceQuery(
        ("symbol", "start_date", "end_date"),
        "ex_factor query, symbol: {symbol}, start date: {start_date}, end date: {end_date}",
        "POST", "/exfactor/query", "NorviX获取复权因子失败：",
        "NorvixData获取{symbol}的复权因子成功，共{count}条", "NorvixData未获取到{symbol}的复权因子数据"),
    "query_contract_multiplier": ReferenceQuery(
        ("symbol",),
        "contract_multiplier query, symbol: {symbol}",
        "GET", "/multiplier/query", "NorviX查询合约乘数失败：",
        "NorvixData查询合约乘数成功，共{count}条", "NorvixData未查询到合约乘数数据"),
}

_FAILED = object()


def _plain_module():
    """The plain-Python form of the module (bench/norvix_py.py), loaded privately."""
    path = Path(__file__).resolve().parent.parent / "bench" / "norvix_py.py"
    spec = importlib.util.spec_from_file_location("_norvix_py_for_the_model", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The password kept out of text a log line quotes: the rule is written once in Python,
# in the plain-Python form of the module, and the native module is held to it.
mask = _plain_module().__mask__


class Model:
    """One datafeed: its URL, its credentials and the zone its records are stamped with."""

    def __init__(self, tz, base_url: str, username: Any, password: Any):
        self.tz = tz
        self.base_url = base_url
        self.username = username
        self.password = password

    def run(self, query: str, args: tuple, answer: Answer) -> Outcome:
        """The outcome of calling `query` with `args` when the service answers `answer`."""
        self._answer = answer
        self._out = Outcome()
        try:
            self._out.result = getattr(self, query)(*args)
        except BaseException as exc:  # everything the query lets out is part of the outcome
            self._out.error = exc
        return self._out

    def _masked(self, quoted) -> str:
        return mask(quoted, self.password)

    def _log(self, level: str, message: str) -> None:
        self._out.lines.append((level, message))

    # --- one exchange --------------------------------------------------------------

    def _exchange(self, method: str, endpoint: str, json_data: dict, timeout=10):
        if not self.username:
            self._log(INFO, "Norvix数据服务：用户名为空！")
            return {}
        if not self.password:
            self._log(INFO, "Norvix数据服务：密码为空！")
            return {}
        headers = {
            "Content-Type": "application/json",
            "User-Agent": "Python/requests (JSON POST)",
            "mobile": self.username,
            "token": self.password,
        }
        sent = "params" if method == "GET" else "json"
        self._out.calls.append(("GET" if method == "GET" else "POST",
                                {"url": self.base_url + endpoint, sent: json_data,
                                 "headers": headers, "timeout": timeout}))
        answer = self._answer
        failure = answer.send_error
        if failure is None and 400 <= answer.status < 600:
            self._log(ERROR, f"错误：HTTP请求失败，状态码: {answer.status}")
            if answer.text:
                self._log(ERROR, f"错误响应内容: {self._masked(answer.text)}")
            return {}
        if failure is None:
            failure = answer.json_error
        if failure is None:
            self._log(INFO, f"请求成功！状态码: {answer.status}")
            return answer.value
        if isinstance(failure, requests.exceptions.Timeout):
            self._log(ERROR, f"错误：请求超时（{timeout}秒）")
        elif isinstance(failure, requests.exceptions.ConnectionError):
            self._log(ERROR, "错误：无法连接到目标服务器")
        elif isinstance(failure, requests.exceptions.HTTPError):
            self._log(ERROR, f"错误：HTTP请求失败，状态码: {failure.response.status_code}")
            if failure.response.text:
                self._log(ERROR, f"错误响应内容: {self._masked(failure.response.text)}")
        elif isinstance(failure, json.JSONDecodeError):
            self._log(ERROR, "错误：响应不是有效的JSON格式")
        elif isinstance(failure, Exception):
            self._log(ERROR, f"未知错误：{self._masked(failure)}")
        else:
            raise failure
        return {}

    def _records(self, data, failure: str, symbol):
        """The envelope check: the `data` member, or _FAILED after logging the failure."""
        if not data:
            self._log(INFO, f"{failure}{symbol}")
            return _FAILED
        if data.get("code") != 0:
            self._log(INFO, f"{failure}{symbol},{self._masked(data.get('message'))}")
            return _FAILED
        return data.get("data", [])

    def _convert(self, records, bad_record: str, build) -> list:
        built = []
        for record in records:
            try:
                built.append(build(record))
            except (KeyError, ValueError) as exc:
                self._log(ERROR, f"{bad_record}{self._masked(exc)}")
        return built

    def _time(self, record, member: str, fmt: str) -> datetime:
        return datetime.strptime(record[member], fmt).replace(tzinfo=self.tz)

    # --- history ---------------------------------------------------------------------

    def query_bar_history(self, req, output=print):
        symbol, exchange, interval = req.symbol, req.exchange, req.interval
        start, end = req.start.strftime("%Y-%m-%d"), req.end.strftime("%Y-%m-%d")
        if interval == Interval.DAILY:
            return self.query_day_bar_history(symbol, exchange, start, end)
        if interval == Interval.MINUTE:
            return self.query_minute_bar_history(symbol, exchange, start, end)
        self._log(ERROR, "暂时只支持1分钟和日K查询")
        return []

    def _bars(self, q: BarQuery, symbol, exchange, start_str, end_str) -> list:
        body = {"instrument_id": symbol, "start_date": start_str, "end_date": end_str, "limit": q.limit}
        records = self._records(self._exchange("POST", q.endpoint, body), q.failure, symbol)
        if records is _FAILED:
            return []

        def bar(record):
            dt = self._time(record, q.time_member, q.time_format)
            values = {name: float(record[name]) for name in BAR_PRICES}
            values.update((name, float(record.get(name, 0))) for name in BAR_AMOUNTS)
            return BarData(symbol=symbol, exchange=exchange, interval=q.interval, datetime=dt,
                           **values, gateway_name="NorviX")

        bars = self._convert(records, q.bad_record, bar)
        if bars:
            self._log(INFO, f"NorvixData获取{symbol}{q.success}{len(bars)}条")
        else:
            self._log(INFO, f"NorvixData未获取到{symbol}{q.no_data}")
        return bars

    def query_day_bar_history(self, symbol, exchange, start_str, end_str):
        return self._bars(BAR_QUERIES["query_day_bar_history"], symbol, exchange, start_str, end_str)

    def query_minute_bar_history(self, symbol, exchange, start_str, end_str):
        return self._bars(BAR_QUERIES["query_minute_bar_history"], symbol, exchange, start_str, end_str)

    def query_tick_history(self, req, output=print):
        trading_date = req.start.strftime("%Y-%m-%d")
        symbol = req.symbol
        body = {"instrument_id": req.symbol, "trading_date": trading_date}
        failure = "NorvixData获取Tick数据失败："
        records = self._records(self._exchange("POST", "/tickdata/query", body), failure, symbol)
        if records is _FAILED:
            return []

        def tick(record):
            dt = self._time(record, "trading_datetime", "%Y-%m-%d %H:%M:%S")
            name = record.get("name", "")
            values = {field_: float(record.get(member, 0)) for field_, member in TICK_NUMBERS}
            return TickData(symbol=req.symbol, exchange=req.exchange, datetime=dt, name=name,
                            **values, gateway_name="NorviX")

        ticks = self._convert(records, "NorvixData解析Tick数据异常：", tick)
        if ticks:
            self._log(INFO, f"NorvixData获取{symbol}的Tick数据成功，共{len(ticks)}条")
        else:
            self._log(INFO, f"NorvixData未获取到{symbol}的Tick数据")
        return ticks

    # --- reference data ----------------------------------------------------------------

    def _reference(self, q: ReferenceQuery, *args):
        values = dict(zip(q.parameters, args))
        self._log(INFO, q.opening.format(**values))
        symbol = values["symbol"]
        body = self._exchange(q.method, q.endpoint, values)
        records = self._records(body, q.failure, symbol)
        if records is _FAILED:
            return []
        if records:
            self._log(INFO, q.success.format(symbol=symbol, count=len(records)))
        else:
            self._log(INFO, q.no_data.format(symbol=symbol))
        self._out.passthrough = "data" in body
        return records

    def query_dominant(self, symbol, start_date, end_date):
        return self._reference(REFERENCE_QUERIES["query_dominant"], symbol, start_date, end_date)

    def query_contracts(self, symbol, trading_date):
        return self._reference(REFERENCE_QUERIES["query_contracts"], symbol, trading_date)

    def query_ex_factor(self, symbol, start_date, end_date):
        return self._reference(REFERENCE_QUERIES["query_ex_factor"], symbol, start_date, end_date)

    def query_contract_multiplier(self, symbol=None):
        return self._reference(REFERENCE_QUERIES["query_contract_multiplier"], symbol)
