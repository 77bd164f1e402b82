"""What the plug-in tells the user through `output` (one line per failed query) and the
lines it writes to its own log."""

from __future__ import annotations

import shlex
from collections.abc import Iterable
from dataclasses import dataclass

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


def unsupported(vt_symbol: str, interval: object) -> str:
    shown = interval.value if isinstance(interval, Interval) else interval
    return f"{PREFIX}查询{vt_symbol}的K线失败，不支持的周期：{shown}（支持1m、1h、d、w）"


def init_failed(reason: str) -> str:
    return f"{PREFIX}初始化失败，{reason}"


# Failures' reasons, each written once in both languages: the Chinese `output` and the
# log give (vn.py's dialogs), and the command line's English (None: it has its own
# wording of the failure's kind, or shows the Chinese). Templates take their arguments
# by name; those named in `quoted` are cut to MAX_QUOTED (service texts), an `interval`
# is named by WHAT in Chinese (`{what}`) and by its value in English.


@dataclass(frozen=True)
class Reason:
    chinese: str
    english: str | None = None
    quoted: tuple[str, ...] = ()


REASONS: dict[str, Reason] = {
    "no_credentials": Reason("用户名或密码为空，请在全局配置中设置datafeed.username和datafeed.password",
                             'no credentials: set "datafeed.username" and "datafeed.password" in vn.py\'s settings'),
    "inverted_range": Reason("开始时间晚于结束时间"),
    "out_of_calendar": Reason("时间{value}超出可处理的日期范围（{first}至{last}）"),
    "cancelled": Reason("查询已取消"),
    "unreachable": Reason("无法连接到数据服务{base_url}，请检查全局配置datafeed.base_url"),
    "timed_out": Reason("数据服务{base_url}请求超时（{detail}）"),
    "request_error": Reason("请求出错：{detail}", "the request failed: {detail}", ("detail",)),
    "http_error": Reason("数据服务返回HTTP错误{status}", "the data service answered HTTP {status}"),
    "http_error_body": Reason("数据服务返回HTTP错误{status}：{body}", "the data service answered HTTP {status}: {body}",
                              ("body",)),
    "refused": Reason("数据服务拒绝了请求：{message}", "the data service refused the request: {message}", ("message",)),
    "empty_body": Reason("数据服务的应答为空", "the data service's answer was empty"),
    "bad_json": Reason("数据服务的应答不是有效的JSON", "the data service's answer was not valid JSON"),
    # detail: what could not be read, as "TypeName: text"
    "unreadable": Reason("数据服务的应答无法读取：{detail}", "the data service's answer could not be read: {detail}",
                         ("detail",)),
    "too_large": Reason("数据服务的应答超过{megabytes}MB（全局配置datafeed.max_answer_mb），已放弃读取",
                        "the data service's answer was larger than {megabytes} MB (setting datafeed.max_answer_mb): "
                        "not read"),
    "cut": Reason("{day}的记录数达到单次查询上限{limit}，数据可能不完整",
                  "the answer for {day} reached the service's limit of {limit} records: it may be incomplete"),
    "mismatch": Reason("数据服务的应答与请求不符（{detail}），该应答未被保存",
                       "the data service's answer does not match the request ({detail}): nothing of it was kept"),
    # plain: the reason spent in the command line's words (its Chinese where it has none)
    "budget_spent": Reason("{reason}（本次查询的重试次数已用完）", "{plain} (the query's retries are used up)"),
    "unknown_contract": Reason("未知合约{symbol}：数据服务的参考数据中没有这个合约",
                               "the data service's reference data has no contract {symbol}"),
    "unknown_product": Reason("未知品种{product}：数据服务的参考数据中没有这个品种",
                              "the data service's reference data has no product {product}"),
    "wrong_exchange": Reason("合约{symbol}在{right}交易，不在{given}（应为{symbol}.{right}）",
                             "{symbol} trades on {right}, not {given} ({symbol}.{right})"),
    # what: the reference data in Chinese (reference.WHAT), endpoint: its name
    "unusable_reference": Reason("数据服务的{what}无法使用：{problem}", "the data service's {endpoint} cannot be used: {problem}",
                                 ("problem",)),
    "skipped": Reason(PREFIX + "{vt_symbol}的{what}有{count}条记录无法解析，已跳过（{reason}）",
                      "{count} records of {vt_symbol} {interval.value} could not be read ({reason})", ("reason",)),
}


def texts(key: str, **arguments: object) -> tuple[str, str | None]:
    """The reason `key` of REASONS with `arguments`: in Chinese, and in English (or None)."""
    entry = REASONS[key]
    values = {name: quoted(str(value)) if name in entry.quoted else value for name, value in arguments.items()}
    interval = values.get("interval")
    if isinstance(interval, Interval):
        values["what"] = WHAT[interval]
    return entry.chinese.format(**values), None if entry.english is None else entry.english.format(**values)


def reason(key: str, **arguments: object) -> str:
    """The reason `key` in Chinese, as `output` and the log give it."""
    return texts(key, **arguments)[0]


# What in an answer does not match its request: the same words in `output` and the command line.
INTERVAL_WORDS = {"day": "records with a time of day for a daily request",
                  "minute": "bars not on whole minutes for a minute request"}


def not_of_interval(query: str) -> str:
    return INTERVAL_WORDS[query]


def other_instrument(member: str, found: str, wanted: str) -> str:
    return f"{member} {found!r} for {wanted!r}"


def outside_window(moment: object, first: object, last: object) -> str:
    return f"a record at {moment:%Y-%m-%d %H:%M:%S} for the trading days {first}..{last}"


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


# --- the command line's update, verify and run lock -------------------------------------

NOTHING_REMEMBERED = "no commands remembered for this store yet: run download or continuous first"
UNCHANGED_SERIES = "unchanged since its last build: the same dominant contracts and factors, nothing to fetch"


def unsettled_day(day: object, detail: str) -> str:
    return f"{day} ({detail or 'not whole'})"


def unsettled(days: list[str]) -> str:
    return ("unsettled, given up on (kept as stored, no longer fetched; verify --repair tries again): "
            + "; ".join(days))


def first_line(store: str, argv: list[str]) -> str:
    return f"vnpy_norvix {shlex.join(argv)} on {store}"


def replaced_command(number: int, command: str) -> str:
    return (f"remembered command [{number}] ({command}) forgotten: this one writes a series it "
            "wrote (one command per series; its data stay)")


def ends_before_stored(series: str, stored: object, end: object) -> str:
    return (f"error: --end {end} is before the last trading day {series} holds ({stored}): update only moves "
            "forward; nothing was changed")


def starts_after_end(start: str, end: object) -> str:
    return f"skipped: the command starts on {start}, after --end {end}"


def store_held(path: object) -> str:
    return f"error: another run holds this store (lock {path}); nothing was changed, try again when it has ended"


def waiting_for_store(path: object) -> str:
    return f"another run holds this store (lock {path}): waiting for it to end (--no-wait exits instead)"


def unreadable_command(problem: str, number: int) -> str:
    return (f"error: a remembered command is not run: {problem}. Correct it, or forget it with "
            f"`commands --forget {number}`")


def forgotten(number: int) -> str:
    return f"forgot command [{number}]"


def not_remembered(number: int) -> str:
    return f"error: no remembered command [{number}]"


def day_missing(wanted: int) -> str:
    return f"missing: nothing stored of this trading day, the service has {wanted} records"


def day_missing_traded(volume: float) -> str:
    return f"missing: nothing stored of this trading day, which traded {volume:g} by the service's daily bar"


def values_differ(count: int, first: object) -> str:
    return f"values: {count} stored records differ from the service's, the first at {first:%Y-%m-%d %H:%M} China time"


def day_partial(lacking: int, wanted: int) -> str:
    return f"partial: {lacking} of the service's {wanted} records not stored"


def day_not_traded(held: int) -> str:
    return f"filed under a day the contract did not trade: {held} records"


def outside_sessions(count: int, first: object) -> str:
    return f"outside the sessions: {count} records, the first at {first:%Y-%m-%d %H:%M} China time"


def unknown_times(count: int, first: object) -> str:
    return f"at times the service has no record at: {count} records, the first at {first:%Y-%m-%d %H:%M} China time"


BAD_VALUES = {"prices": "impossible prices (high and low not bounding open and close, or a price not above 0)",
              "volume": "negative volume, turnover or open interest"}


def bad_value(defect: str, first: object) -> str:
    return f"{BAD_VALUES[defect]} at {first:%Y-%m-%d %H:%M} China time"


def overview_disagrees(kept: tuple[object, ...], rows: tuple[object, ...]) -> str:
    def shown(values: tuple[object, ...]) -> str:
        count, first, last = values
        return f"{count} from {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M}" if count else "none"

    return f"overview: it says {shown(kept)}, the rows are {shown(rows)}"


def not_a_contract(reason: str) -> str:
    return f"not a contract of the service and no remembered continuous command made it ({reason})"


NOT_CHECKED_INTERVAL = "the service has no records of this interval to check it against"


def continuous_differs(count: int) -> str:
    return f"differs from a rebuild from the service: {count} bars"


def cannot_repair(label: str, adapter: str) -> str:
    return (f"{label}: --repair replaces days in vnpy_sqlite, vnpy_postgresql and vnpy_mysql databases and lab "
            f"folders, not {adapter}")


def days_replaced(label: str, first: object, last: object, count: int) -> str:
    return f"{label} {first}..{last}: replaced by the service's {count} records"


def overview_rewritten(label: str) -> str:
    return f"{label}: overview rewritten from the rows"


def series_rebuilt(label: str, count: int) -> str:
    return f"{label}: replaced by its rebuild, {count} bars"


def daily_bar_differs(what: str) -> str:
    return f"daily_bar: the stored day disagrees with the service's daily bar: {what}"


def not_stored(elsewhere: list[str]) -> str:
    if elsewhere:
        return f"not_stored: nothing stored under this exchange; held under {', '.join(elsewhere)}"
    return "not_stored: the store holds nothing of this contract"


def lab_missing(path: object) -> str:
    return f"error: no AlphaLab folder at {path}: nothing to verify (and none is made)"


def verify_summary(checked: int, found: int, skipped: int, repaired: int, failed: int) -> str:
    return (f"\n{checked} series checked, {found} findings, {skipped} skipped, {repaired} repairs, "
            f"{failed} failed")


# --- the command line's failure reasons and labels (English) -----------------------------

# What kind of failure, before its reason.
FAILURE_LABELS = {"unknown_contract": "unknown contract", "exchange": "wrong exchange",
                  "unreadable": "unusable answer", "cancelled": "interrupted", "mismatch": "mismatched answer"}
# The command line's own wording of failures whose reason holds nothing of the service's,
# in its language; the reasons `output` gives vn.py's dialogs stay as they are.
UNREACHABLE = "cannot reach the data service"
TIMED_OUT = "the data service did not answer in time"
PLAIN_REASONS = {"unreachable": UNREACHABLE, "timeout": TIMED_OUT, "cancelled": "interrupted"}


def no_trading_days(product: str, start: object, end: object) -> str:
    return f"no trading days of {product} between {start} and {end}"


def no_dominant(product: str, start: object, end: object) -> str:
    return f"no dominant contract of {product} between {start} and {end}"


def no_roll_close(contract: str, day: object) -> str:
    return f"no daily bar of {contract} on {day} to compute the roll factor from"


def no_contract_to_hold(product: str, day: object) -> str:
    return f"no contract of {product} the roll rule can hold on {day}"


def no_contract_to_roll_to(product: str, contract: str, day: object) -> str:
    return f"{contract} must be rolled on {day}, but no later contract of {product} is listed to roll to"


def bad_difference_close(old: str, new: str, day: object, contract: str, close: float) -> str:
    return f"roll {old} -> {new} decided on {day}: the close of {contract} is {close!r}, not a price"


def unknown_method(method: str, methods: tuple[str, ...]) -> str:
    return f"unknown adjustment method {method!r}: use one of {', '.join(methods)}"


def no_day_data(product: str, day: object) -> str:
    return f"the service has no end-of-day data of {product} for {day} (yet) to decide a roll on"


def empty_cycle(product: str, months: Iterable[int], listed: Iterable[int]) -> str:
    return (f"--months {','.join(map(str, months))} leaves no contract of {product}: its contracts are of the "
            f"months {','.join(map(str, listed))}")


def bad_roll_close(old: str, new: str, first: object, contract: str, day: object, close: float) -> str:
    return (f"roll {old} -> {new} on {first}: the close of {contract} on {day} is {close!r}, not a positive price "
            f"to compute the factor from")


def no_contract_terms(vt_symbol: str, reason: str) -> str:
    return f"{vt_symbol}: no contract terms: {reason}"


def not_in_lab(interval: str) -> str:
    return f"an AlphaLab keeps daily and minute bars, not {interval}"



def roll(old: str, new: str, first: object) -> str:
    return f"roll {old} -> {new} on {first}"


def no_service_factor(where: str) -> str:
    return f"{where}: the service has no adjustment factor"


def factor_of_other_roll(where: str, old: str, new: str) -> str:
    return f"{where}: the service's factor is for {old} -> {new}"


def factor_differs(where: str, new_close: float, old_close: float, factor: float, service: float) -> str:
    return f"{where}: closes {new_close:g} / {old_close:g} give {factor:.8f}, the service says {service:.8f}"


def factor_without_roll(day: object, old: str, new: str) -> str:
    return f"the service has a factor on {day} ({old} -> {new}) where the dominant contract does not change"


def unknown_adjustment(adjust: str, adjustments: Iterable[str]) -> str:
    return f"unknown adjustment {adjust!r}: use one of {', '.join(adjustments)}"


def not_continuous(interval: object) -> str:
    return f"continuous series are built from daily, hour or minute bars, not {interval}"
