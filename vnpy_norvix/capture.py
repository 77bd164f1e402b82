"""What the core logged during one of its calls, and what that says about the call.

The core reports every failure in the log only and answers it with an empty list, so
the plug-in reads the core's lines to tell "no data" from "failed" and to give the
user the reason. A sink lives for one call and takes only the lines written on the
calling thread by the core, so that calls running at the same time on other threads
never see each other's lines. The core's records are named after the module whose
code called it, or after the core itself.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from threading import get_ident

from loguru import logger

from . import messages

CORE_MODULE = "norvix_datafeed"

Line = tuple[int, str]  # level number, message


@contextmanager
def core_lines(caller: str) -> Iterator[list[Line]]:
    """The lines the core writes on this thread inside the block; `caller` is the
    module whose code calls the core."""
    thread = get_ident()
    names = {CORE_MODULE, caller}
    lines: list[Line] = []

    def keep(record: dict) -> bool:
        return record["thread"].id == thread and record["name"] in names

    handler = logger.add(lambda message: lines.append((message.record["level"].no, message.record["message"])),
                         level=0, format="{message}", filter=keep)
    try:
        yield lines
    finally:
        # Gone already if someone removed every handler meanwhile.
        with suppress(ValueError):
            logger.remove(handler)


@dataclass
class Outcome:
    """One core call as its lines tell it."""

    answered: bool = False  # the call logged how it ended (its summary or failure line)
    failure: str | None = None
    skipped: int = 0
    skip_reason: str = ""


# The core's fixed texts.
NO_USERNAME = "Norvix数据服务：用户名为空！"
NO_PASSWORD = "Norvix数据服务：密码为空！"
TIMEOUT = "错误：请求超时"
UNREACHABLE = "错误：无法连接到目标服务器"
HTTP_STATUS = "错误：HTTP请求失败，状态码: "
HTTP_BODY = "错误响应内容: "
NOT_JSON = "错误：响应不是有效的JSON格式"
UNKNOWN = "未知错误："
FAILED = "失败："  # ends each query's failure prefix
SKIPPED = "NorvixData解析"
SUMMARIES = ("NorvixData获取", "NorvixData未获取到", "NorvixData查询合约乘数成功", "NorvixData未查询到")


def read(lines: list[Line], symbol: str, base_url: str) -> Outcome:
    outcome = Outcome()
    transport: str | None = None
    for _, text in lines:
        if text.startswith(SKIPPED):
            outcome.skipped += 1
            outcome.skip_reason = outcome.skip_reason or text.partition("：")[2]
        elif text in (NO_USERNAME, NO_PASSWORD):
            transport = messages.NO_CREDENTIALS
        elif text.startswith(TIMEOUT):
            transport = messages.timed_out(base_url, text.partition("（")[2].rstrip("）"))
        elif text == UNREACHABLE:
            transport = messages.unreachable(base_url)
        elif text.startswith(HTTP_STATUS):
            transport = messages.http_error(text.removeprefix(HTTP_STATUS), "")
        elif text.startswith(HTTP_BODY) and transport:
            transport = f"{transport}：{messages.quoted(text.removeprefix(HTTP_BODY))}"
        elif text == NOT_JSON:
            transport = messages.BAD_JSON
        elif text.startswith(UNKNOWN):
            transport = messages.request_error(text.removeprefix(UNKNOWN))
        elif text.startswith(("NorviX", "NorvixData")) and FAILED in text:
            outcome.answered = True
            # prefix, symbol, then "," and the service's message on a refusal
            tail = text.partition(FAILED)[2].removeprefix(symbol)
            if transport:
                outcome.failure = transport
            elif tail.startswith(","):
                outcome.failure = messages.refused(tail[1:])
            else:
                outcome.failure = messages.EMPTY_BODY
        elif text.startswith(SUMMARIES):
            outcome.answered = True
    return outcome
