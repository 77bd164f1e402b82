# norvix_datafeed written as an ordinary Python module: the Python form of the core.
#
# This is the plug-in as a Python developer would write it with requests and loguru:
# the baseline the benchmarks compare the native module against (bench/), the model the
# differential tests hold the native module to (tests/oracle.py runs it on scripted
# answers), and a second implementation the test suite can run against (NORVIX_IMPL=py).
# Loaded under the name "norvix_datafeed" it offers the same names as the extension; run
# directly it performs the module's self-test (the contract-multiplier query).

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
from vnpy.trader.utility import ZoneInfo


@dataclass
class NorvixBarData(BarData):
    """Candlestick bar data of a certain trading period.
    """

    instrument_id: str = ""
    limit_up: float = 0
    limit_down: float = 0
    prev_close_price: float = 0
    settlement_price: float = 0
    pre_settlement_price: float = 0
    trading_datetime: datetime = None

    def __post_init__(self) -> None:
        """"""
        self.vt_symbol = f"{self.instrument_id}.{self.exchange.value}"


CHINA_TZ = ZoneInfo("Asia/Shanghai")


# A dunder name keeps it out of the module's public namespace, which matches the
# native module's name for name.
def __mask__(text, password):
    """Keep the password out of text a log line quotes: every whole occurrence (no word
    character right before or after it, an escape right before it counting as the
    character it writes), each character written as itself or as an
    escape of a repr or of JSON, becomes six asterisks; bytes count in their Latin-1
    and UTF-8 readings."""
    short_escapes = {"\n": "n", "\r": "r", "\t": "t", "\b": "b", "\f": "f",
                     "\\": "\\", '"': '"', "'": "'", "/": "/"}

    def hex_is(start, width, value):
        digits = text[start:start + width]
        return (len(digits) == width and all(c in "0123456789abcdefABCDEF" for c in digits)
                and int(digits, 16) == value)

    def spellings(p, c):
        ends = [p + 1] if text[p:p + 1] == c else []
        if text[p:p + 1] != "\\" or p + 1 >= len(text):
            return ends
        letter, code = text[p + 1], ord(c)
        if letter == short_escapes.get(c):
            ends.append(p + 2)
        elif letter == "x" and hex_is(p + 2, 2, code):
            ends.append(p + 4)
        elif letter == "U" and hex_is(p + 2, 8, code):
            ends.append(p + 10)
        elif letter == "u":
            if code <= 0xFFFF:
                if hex_is(p + 2, 4, code):
                    ends.append(p + 6)
            elif (hex_is(p + 2, 4, 0xD800 + ((code - 0x10000) >> 10)) and text[p + 6:p + 8] == "\\u"
                  and hex_is(p + 8, 4, 0xDC00 + ((code - 0x10000) & 0x3FF))):
                ends.append(p + 12)
        return ends

    def is_word(c):
        return c.isalnum() or c == "_"

    def word_before(p):
        if p == 0:
            return False
        if text[p - 2:p - 1] == "\\" and text[p - 1] in "nrtbf\\\"'/":
            return False
        for letter, width in (("x", 2), ("u", 4), ("U", 8)):
            start = p - 2 - width
            digits = text[start + 2:p]
            if (start >= 0 and text[start:start + 2] == "\\" + letter
                    and all(c in "0123456789abcdefABCDEF" for c in digits)):
                value = int(digits, 16)
                return value <= 0x10FFFF and is_word(chr(value))
        return is_word(text[p - 1])

    def mask_one(secret):
        out, p, n = [], 0, len(text)
        while p < n:
            end = -1
            if text[p] in (secret[0], "\\") and not word_before(p):
                positions = [p]
                for c in secret:
                    positions = list(dict.fromkeys(e for q in positions for e in spellings(q, c)))
                end = max((e for e in positions if e == n or not is_word(text[e])), default=-1)
            if end < 0:
                out.append(text[p])
                p += 1
            else:
                out.append("******")
                p = end
        return "".join(out)

    text = f"{text}"
    if isinstance(password, (bytes, bytearray)):
        readings = [bytes(password).decode("latin-1")]
        try:
            readings.append(bytes(password).decode("utf-8"))
        except UnicodeDecodeError:
            pass
    else:
        readings = [f"{password}"]
    for secret in readings:
        if secret:
            text = mask_one(secret)
    return text


class NorvixDatafeed(BaseDatafeed):
    """NorviX数据服务接口"""

    def __init__(self) -> None:
        """构造函数"""
        super().__init__()
        self.base_url = "http://127.0.0.1:8081"
        self.username = SETTINGS.get("datafeed.username", "")
        self.password = SETTINGS.get("datafeed.password", "")
        # The password never goes to the log in clear.
        shown = "******" if f"{self.password}" else ""
        logger.info(f"Norvix数据模块已加载, 用户名: {self.username}, 密钥: {shown}")

    def initialize(self, username: str, password: str) -> None:
        """设置账户、密码"""
        self.username = username
        self.password = password
        shown = "******" if f"{self.password}" else ""
        logger.info(f"initialize Norvix 账户、密码, username: {self.username}, password: {shown}")

    def _make_request(self, method: str, endpoint: str, json_data: dict, timeout: int = 10) -> dict:
        if not self.username:
            logger.info("Norvix数据服务：用户名为空！")
            return {}
        if not self.password:
            logger.info("Norvix数据服务：密码为空！")
            return {}

        default_headers = {
            "Content-Type": "application/json",
            "User-Agent": "Python/requests (JSON POST)",
            "mobile": self.username,
            "token": self.password,
        }

        try:
            if method == "GET":
                response = requests.get(
                    url=self.base_url + endpoint,
                    params=json_data,
                    headers=default_headers,
                    timeout=timeout,
                )
            else:
                response = requests.post(
                    url=self.base_url + endpoint,
                    json=json_data,
                    headers=default_headers,
                    timeout=timeout,
                )
            response.raise_for_status()
            response_json = response.json()
            logger.info(f"请求成功！状态码: {response.status_code}")
            return response_json
        except requests.exceptions.Timeout:
            logger.error(f"错误：请求超时（{timeout}秒）")
        except requests.exceptions.ConnectionError:
            logger.error("错误：无法连接到目标服务器")
        except requests.exceptions.HTTPError as e:
            logger.error(f"错误：HTTP请求失败，状态码: {e.response.status_code}")
            if e.response.text:
                logger.error(f"错误响应内容: {__mask__(e.response.text, default_headers['token'])}")
        except json.JSONDecodeError:
            logger.error("错误：响应不是有效的JSON格式")
        except Exception as e:
            logger.error(f"未知错误：{__mask__(str(e), default_headers['token'])}")
        return {}

    def query_bar_history(self, req: HistoryRequest, output: Callable = print) -> list[BarData] | None:
        symbol = req.symbol
        exchange = req.exchange
        interval = req.interval
        start_str = req.start.strftime("%Y-%m-%d")
        end_str = req.end.strftime("%Y-%m-%d")

        if interval == Interval.DAILY:
            return self.query_day_bar_history(symbol, exchange, start_str, end_str)
        elif interval == Interval.MINUTE:
            return self.query_minute_bar_history(symbol, exchange, start_str, end_str)
        else:
            logger.error("暂时只支持1分钟和日K查询")
            return []

    def query_day_bar_history(self, symbol: str, exchange: Exchange, start_str: str, end_str: str) -> list[BarData] | None:
        """查询日K线数据"""
        json_data = {
            "instrument_id": symbol,
            "start_date": start_str,
            "end_date": end_str,
            "limit": 2000,
        }
        data = self._make_request(method="POST", endpoint="/daybar/query", json_data=json_data, timeout=10)
        if not data:
            logger.info(f"NorviX获取日K线数据失败：{symbol}")
            return []
        if data.get("code") != 0:
            logger.info(f"NorviX获取日K线数据失败：{symbol},{__mask__(data.get('message'), self.password)}")
            return []

        bars = []
        bar_list = data.get("data", [])
        for bar_data in bar_list:
            try:
                dt = datetime.strptime(bar_data["trading_date"], "%Y-%m-%d")
                dt = dt.replace(tzinfo=CHINA_TZ)
                bar = BarData(
                    symbol=symbol,
                    exchange=exchange,
                    interval=Interval.DAILY,
                    datetime=dt,
                    open_price=float(bar_data["open_price"]),
                    high_price=float(bar_data["high_price"]),
                    low_price=float(bar_data["low_price"]),
                    close_price=float(bar_data["close_price"]),
                    volume=float(bar_data.get("volume", 0)),
                    turnover=float(bar_data.get("turnover", 0)),
                    open_interest=float(bar_data.get("open_interest", 0)),
                    gateway_name="NorviX",
                )
                bars.append(bar)
            except (KeyError, ValueError) as e:
                logger.error(f"NorvixData解析K线数据异常：{__mask__(e, self.password)}")

        if bars:
            logger.info(f"NorvixData获取{symbol}的日K线数据成功，共{len(bars)}条")
        else:
            logger.info(f"NorvixData未获取到{symbol}的K线数据")
        return bars

    def query_minute_bar_history(self, symbol: str, exchange: Exchange, start_str: str, end_str: str) -> list[BarData] | None:
        """查询K线数据"""
        json_data = {
            "instrument_id": symbol,
            "start_date": start_str,
            "end_date": end_str,
            "limit": 40000,
        }
        data = self._make_request(method="POST", endpoint="/minutebar/query", json_data=json_data, timeout=10)
        if not data:
            logger.info(f"NorviX获取分钟K线数据失败：{symbol}")
            return []
        if data.get("code") != 0:
            logger.info(f"NorviX获取分钟K线数据失败：{symbol},{__mask__(data.get('message'), self.password)}")
            return []

        bars = []
        bar_list = data.get("data", [])
        for bar_data in bar_list:
            try:
                dt = datetime.strptime(bar_data["trading_datetime"], "%Y-%m-%d %H:%M:%S")
                dt = dt.replace(tzinfo=CHINA_TZ)
                bar = BarData(
                    symbol=symbol,
                    exchange=exchange,
                    interval=Interval.MINUTE,
                    datetime=dt,
                    open_price=float(bar_data["open_price"]),
                    high_price=float(bar_data["high_price"]),
                    low_price=float(bar_data["low_price"]),
                    close_price=float(bar_data["close_price"]),
                    volume=float(bar_data.get("volume", 0)),
                    turnover=float(bar_data.get("turnover", 0)),
                    open_interest=float(bar_data.get("open_interest", 0)),
                    gateway_name="NorviX",
                )
                bars.append(bar)
            except (KeyError, ValueError) as e:
                logger.error(f"NorvixData解析分钟K线数据异常：{__mask__(e, self.password)}")

        if bars:
            logger.info(f"NorvixData获取{symbol}的分钟K线数据成功，共{len(bars)}条")
        else:
            logger.info(f"NorvixData未获取到{symbol}的分钟K线数据")
        return bars

    def query_tick_history(self, req: HistoryRequest, output: Callable = print) -> list[TickData] | None:
        """查询Tick数据"""
        start_str = req.start.strftime("%Y-%m-%d")
        symbol = req.symbol
        json_data = {
            "instrument_id": req.symbol,
            "trading_date": start_str,
        }
        data = self._make_request(method="POST", endpoint="/tickdata/query", json_data=json_data, timeout=10)
        if not data:
            logger.info(f"NorvixData获取Tick数据失败：{symbol}")
            return []
        if data.get("code") != 0:
            logger.info(f"NorvixData获取Tick数据失败：{symbol},{__mask__(data.get('message'), self.password)}")
            return []

        ticks = []
        tick_list = data.get("data", [])
        for tick_data in tick_list:
            try:
                dt = datetime.strptime(tick_data["trading_datetime"], "%Y-%m-%d %H:%M:%S")
                dt = dt.replace(tzinfo=CHINA_TZ)
                tick = TickData(
                    symbol=req.symbol,
                    exchange=req.exchange,
                    datetime=dt,
                    name=tick_data.get("name", ""),
                    volume=float(tick_data.get("volume", 0)),
                    turnover=float(tick_data.get("turnover", 0)),
                    open_interest=float(tick_data.get("open_interest", 0)),
                    last_price=float(tick_data.get("last_price", 0)),
                    last_volume=float(tick_data.get("last_volume", 0)),
                    limit_up=float(tick_data.get("limit_up", 0)),
                    limit_down=float(tick_data.get("limit_down", 0)),
                    open_price=float(tick_data.get("open", 0)),
                    high_price=float(tick_data.get("high", 0)),
                    low_price=float(tick_data.get("low", 0)),
                    pre_close=float(tick_data.get("pre_close", 0)),
                    bid_price_1=float(tick_data.get("bid_price_1", 0)),
                    bid_price_2=float(tick_data.get("bid_price_2", 0)),
                    bid_price_3=float(tick_data.get("bid_price_3", 0)),
                    bid_price_4=float(tick_data.get("bid_price_4", 0)),
                    bid_price_5=float(tick_data.get("bid_price_5", 0)),
                    ask_price_1=float(tick_data.get("ask_price_1", 0)),
                    ask_price_2=float(tick_data.get("ask_price_2", 0)),
                    ask_price_3=float(tick_data.get("ask_price_3", 0)),
                    ask_price_4=float(tick_data.get("ask_price_4", 0)),
                    ask_price_5=float(tick_data.get("ask_price_5", 0)),
                    bid_volume_1=float(tick_data.get("bid_volume_1", 0)),
                    bid_volume_2=float(tick_data.get("bid_volume_2", 0)),
                    bid_volume_3=float(tick_data.get("bid_volume_3", 0)),
                    bid_volume_4=float(tick_data.get("bid_volume_4", 0)),
                    bid_volume_5=float(tick_data.get("bid_volume_5", 0)),
                    ask_volume_1=float(tick_data.get("ask_volume_1", 0)),
                    ask_volume_2=float(tick_data.get("ask_volume_2", 0)),
                    ask_volume_3=float(tick_data.get("ask_volume_3", 0)),
                    ask_volume_4=float(tick_data.get("ask_volume_4", 0)),
                    ask_volume_5=float(tick_data.get("ask_volume_5", 0)),
                    gateway_name="NorviX",
                )
                ticks.append(tick)
            except (KeyError, ValueError) as e:
                logger.error(f"NorvixData解析Tick数据异常：{__mask__(e, self.password)}")

        if ticks:
            logger.info(f"NorvixData获取{symbol}的Tick数据成功，共{len(ticks)}条")
        else:
            logger.info(f"NorvixData未获取到{symbol}的Tick数据")
        return ticks

    def query_dominant(self, symbol: str, start_date: str | None, end_date: str | None) -> list[dict] | None:
        """查询主力合约数据"""
        logger.info(f"dominant query, symbol: {symbol}, start date: {start_date}, end date: {end_date}")
        json_data = {
            "symbol": symbol,
            "start_date": start_date,
            "end_date": end_date,
        }
        data = self._make_request(method="POST", endpoint="/dominant/query", json_data=json_data, timeout=10)
        if not data:
            logger.info(f"NorviX获取主力合约数据失败：{symbol}")
            return []
        if data.get("code") != 0:
            logger.info(f"NorviX获取主力合约数据失败：{symbol},{__mask__(data.get('message'), self.password)}")
            return []

        dominant_list = data.get("data", [])
        if dominant_list:
            logger.info(f"NorvixData获取{symbol}的主力合约数据成功，共{len(dominant_list)}条")
        else:
            logger.info(f"NorvixData未获取到{symbol}的主力合约数据")
        return dominant_list

    def query_contracts(self, symbol: str | None, trading_date: str | None) -> list[dict] | None:
        """查询当天可交易合约"""
        logger.info(f"dominant query, symbol: {symbol}, trading_date: {trading_date}")
        json_data = {
            "symbol": symbol,
            "trading_date": trading_date,
        }
        data = self._make_request(method="POST", endpoint="/current/query", json_data=json_data, timeout=10)
        if not data:
            logger.info(f"NorviX获取当天可交易合约失败：{symbol}")
            return []
        if data.get("code") != 0:
            logger.info(f"NorviX获取当天可交易合约失败：{symbol},{__mask__(data.get('message'), self.password)}")
            return []

        current_list = data.get("data", [])
        if current_list:
            logger.info(f"NorvixData获取{symbol}的当天可交易合约成功，共{len(current_list)}条")
        else:
            logger.info(f"NorvixData未获取到{symbol}的当天可交易合约数据")
        return current_list

    def query_ex_factor(self, symbol: str, start_date: str | None, end_date: str | None) -> list[dict] | None:
        """查询品种复权因子"""
        logger.info(f"ex_factor query, symbol: {symbol}, start date: {start_date}, end date: {end_date}")
        json_data = {
            "symbol": symbol,
            "start_date": start_date,
            "end_date": end_date,
        }
        data = self._make_request(method="POST", endpoint="/exfactor/query", json_data=json_data, timeout=10)
        if not data:
            logger.info(f"NorviX获取复权因子失败：{symbol}")
            return []
        if data.get("code") != 0:
            logger.info(f"NorviX获取复权因子失败：{symbol},{__mask__(data.get('message'), self.password)}")
            return []

        exfactor_list = data.get("data", [])
        if exfactor_list:
            logger.info(f"NorvixData获取{symbol}的复权因子成功，共{len(exfactor_list)}条")
        else:
            logger.info(f"NorvixData未获取到{symbol}的复权因子数据")
        return exfactor_list

    def query_contract_multiplier(self, symbol=None) -> list[dict] | None:
        """查询品种合约乘数"""
        logger.info(f"contract_multiplier query, symbol: {symbol}")
        json_data = {
            "symbol": symbol,
        }
        data = self._make_request(method="GET", endpoint="/multiplier/query", json_data=json_data, timeout=10)
        if not data:
            logger.info(f"NorviX查询合约乘数失败：{symbol}")
            return []
        if data.get("code") != 0:
            logger.info(f"NorviX查询合约乘数失败：{symbol},{__mask__(data.get('message'), self.password)}")
            return []

        multiplier_list = data.get("data", [])
        if multiplier_list:
            logger.info(f"NorvixData查询合约乘数成功，共{len(multiplier_list)}条")
        else:
            logger.info("NorvixData未查询到合约乘数数据")
        return multiplier_list


if __name__ == "__main__":
    norvixDatafeed = NorvixDatafeed()
    multiplier_list = norvixDatafeed.query_contract_multiplier(symbol="")
    logger.info(len(multiplier_list))
