"""What the plug-in tells the user through `output`: one line per failed query."""

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


def unreadable(error: Exception) -> str:
    return unreadable_text(f"{type(error).__name__}: {error}")


def unreadable_text(text: str) -> str:
    """`text`: the error, as "TypeName: message"."""
    return f"数据服务的应答无法读取：{quoted(text)}"


def cut(day: object, limit: int) -> str:
    return f"{day}的记录数达到单次查询上限{limit}，数据可能不完整"
