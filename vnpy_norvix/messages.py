"""What the plug-in tells the user through `output` (one line per failed query) and the
lines it writes to its own log."""

from __future__ import annotations

from vnpy.trader.constant import Interval

PREFIX = "Norvix数据服务："
# Long service texts are cut: vn.py's data manager shows the line in a dialog box.
MAX_QUOTED = 200

WHAT = {
    Interval.MINUTE: "1分钟K线",
    Interval.HOUR: "1小时K线",
    Interval.DAILY: "日K线",
    Interval.WEEKLY: "周K线",
    Interval.TICK: "Tick数据",
}


def quoted(text: str) -> str:
    return text if len(text) <= MAX_QUOTED else text[:MAX_QUOTED] + "…"


def failed(vt_symbol: str, interval: Interval, reason: str) -> str:
    return f"{PREFIX}查询{vt_symbol}的{WHAT[interval]}失败，{reason}"


def skipped(vt_symbol: str, interval: Interval, count: int, reason: str) -> str:
    return f"{PREFIX}{vt_symbol}的{WHAT[interval]}有{count}条记录无法解析，已跳过（{quoted(reason)}）"


def unsupported(vt_symbol: str, interval: object) -> str:
    shown = interval.value if isinstance(interval, Interval) else interval
    return f"{PREFIX}查询{vt_symbol}的K线失败，不支持的周期：{shown}（支持1m、1h、d、w）"


def init_failed(reason: str) -> str:
    return f"{PREFIX}初始化失败，{reason}"


# Reasons

NO_CREDENTIALS = "用户名或密码为空，请在全局配置中设置datafeed.username和datafeed.password"
INVERTED_RANGE = "开始时间晚于结束时间"
NOTHING_ANSWERED = "数据服务没有返回任何数据"
BAD_JSON = "数据服务的应答不是有效的JSON"
EMPTY_BODY = "数据服务的应答为空"


def unreachable(base_url: str) -> str:
    return f"无法连接到数据服务{base_url}，请检查全局配置datafeed.base_url"


def timed_out(base_url: str, detail: str) -> str:
    return f"数据服务{base_url}请求超时（{detail}）"


def http_error(status: str, body: str) -> str:
    return f"数据服务返回HTTP错误{status}" + (f"：{quoted(body)}" if body else "")


def refused(message: str) -> str:
    return f"数据服务拒绝了请求：{quoted(message)}"


def request_error(detail: str) -> str:
    return f"请求出错：{quoted(detail)}"


def unreadable(detail: str) -> str:
    """`detail`: what could not be read, as "TypeName: text"."""
    return f"数据服务的应答无法读取：{quoted(detail)}"


def cut(day: object, limit: int) -> str:
    return f"{day}的记录数达到单次查询上限{limit}，数据可能不完整"


def out_of_calendar(value: object, first: object, last: object) -> str:
    return f"时间{value}超出可处理的日期范围（{first}至{last}）"


def unknown_contract(symbol: str) -> str:
    return f"未知合约{symbol}：数据服务的参考数据中没有这个合约"


def unknown_product(product: str) -> str:
    return f"未知品种{product}：数据服务的参考数据中没有这个品种"


def wrong_exchange(symbol: str, given: str, right: str) -> str:
    return f"合约{symbol}在{right}交易，不在{given}（应为{symbol}.{right}）"


def unusable_reference(what: str, problem: str) -> str:
    return f"数据服务的{what}无法使用：{quoted(problem)}"

CANCELLED = "查询已取消"


def budget_spent(reason: str) -> str:
    return f"{reason}（本次查询的重试次数已用完）"


# Log lines (the plug-in's own, under the names of its modules)


def retrying(what: str, attempt: int, retries: int, reason: str, delay: float) -> str:
    return f"{PREFIX}{what}第{attempt}次请求失败，{delay:.1f}秒后重试（最多重试{retries}次）：{reason}"


def answered(what: str, count: int, skipped: int, attempts: int, seconds: float) -> str:
    more = f"，跳过{skipped}条" if skipped else ""
    return f"{PREFIX}{what}：{count}条记录{more}，{attempts}次请求，{seconds * 1000:.0f}毫秒"


def queried(vt_symbol: str, interval: Interval, count: int, seconds: float) -> str:
    return f"{PREFIX}查询{vt_symbol}的{WHAT[interval]}：{count}条，{seconds:.2f}秒"


def query_failed(vt_symbol: str, interval: Interval, kind: str, reason: str) -> str:
    return f"{PREFIX}查询{vt_symbol}的{WHAT[interval]}失败（{kind}）：{reason}"


def bad_setting(key: str, value: object, default: object) -> str:
    return f"{PREFIX}全局配置{key}的值{value!r}无效，使用默认值{default}"


# The same reasons in the command line's words (English), which reads as one language
# throughout; `output` and the log keep the texts above.


def plain_request_error(detail: str) -> str:
    return f"the request failed: {quoted(detail)}"


def plain_http_error(status: str, body: str) -> str:
    return f"the data service answered HTTP {status}" + (f": {quoted(body)}" if body else "")


def plain_refused(message: str) -> str:
    return f"the data service refused the request: {quoted(message)}"


PLAIN_EMPTY_BODY = "the data service's answer was empty"
PLAIN_BAD_JSON = "the data service's answer was not valid JSON"


def plain_unreadable(detail: str) -> str:
    return f"the data service's answer could not be read: {quoted(detail)}"


def plain_budget_spent(reason: str) -> str:
    return f"{reason} (the query's retries are used up)"


def plain_unknown_contract(symbol: str) -> str:
    return f"the data service's reference data has no contract {symbol}"


def plain_unknown_product(product: str) -> str:
    return f"the data service's reference data has no product {product}"


def plain_wrong_exchange(symbol: str, given: str, right: str) -> str:
    return f"{symbol} trades on {right}, not {given} ({symbol}.{right})"


def plain_unusable_reference(what: str, problem: str) -> str:
    return f"the data service's {what} cannot be used: {quoted(problem)}"


def plain_skipped(vt_symbol: str, interval: Interval, count: int, reason: str) -> str:
    return f"{count} records of {vt_symbol} {interval.value} could not be read ({quoted(reason)})"


def plain_cut(day: object, limit: int) -> str:
    return f"the answer for {day} reached the service's limit of {limit} records: it may be incomplete"
