"""An answer checked against the request it answers, before anything of it is kept: the
instrument and exchange its records name (the service's instrument id is the contract's
symbol), for bars their interval, and every record's time within the trading days asked
for. A cache or a proxy that mixes two requests up hands back another request's answer:
its window fails (kind `mismatch`, not sent again: the same answer would come back)
instead of being filed under another contract, interval or day.

The records the decoder builds carry the symbol and exchange of the request, so the
instrument is read from the answer's own bytes: counted at memory speed when every
record names it in the service's compact form, read member by member otherwise."""

from __future__ import annotations

import json
import re
from datetime import datetime
from operator import attrgetter

from vnpy.trader.constant import Exchange, Interval

from .. import messages
from ..calendar import WEEKDAYS, Window
from ..engine import Answer, Failure
from ..engine.answers import ColumnAnswer

# "member": value, in any spacing; a text value with its escapes.
MEMBER = re.compile(rb'"(instrument_id|exchange)"\s*:\s*("(?:[^"\\]|\\.)*"|[^,}\]\s]+)')
# Only minute bars and ticks carry a time of day: a daily answer holding one is not daily bars.
TIME_OF_DAY = b'"trading_datetime"'
NANOSECONDS = 1_000_000_000
MINUTE_NS = 60 * NANOSECONDS


def mismatch(detail: str) -> Failure:
    return Failure.of("mismatch", "mismatch", detail=detail)


def spacing(member: bytes) -> bytes:
    """A compact `"key":value` as json.dumps writes it by default: `"key": value`."""
    return member.replace(b'":', b'": ', 1)


def check_body(body: bytes, records: int, endpoint: str, symbol: str, exchange: Exchange | None) -> None:
    """Raises the mismatch of an answer body of `endpoint` holding `records` records that
    name another instrument or exchange than `symbol` and `exchange`, or that is not of
    the endpoint's interval."""
    if endpoint == "day" and TIME_OF_DAY in body:
        raise mismatch(messages.not_of_interval("day"))
    wanted = {b"instrument_id": symbol, b"exchange": exchange.value if exchange is not None else None}
    compact = {key: b'"%s":%s' % (key, json.dumps(value).encode()) for key, value in wanted.items()
               if value is not None}
    # The service's own form, one record after the other, or json.dumps' (", " and ": "),
    # whichever the first record is written in: one pass over the body.
    if len(compact) == 2:
        first = body.find(b'"instrument_id"')
        spaced = body.startswith(b": ", first + len(b'"instrument_id"')) if first >= 0 else False
        pair = b", ".join(spacing(member) for member in compact.values()) if spaced else b",".join(compact.values())
        if body.count(pair) == records:
            return
    # Each record naming it so, or none naming it at all (nothing then to compare): in
    # the compact form or json.dumps' own (", " and ": "), without reading each member.
    if all(body.count(member) + body.count(spacing(member)) == records or b'"%s"' % key not in body
           for key, member in compact.items()):
        return
    for found in MEMBER.finditer(body):
        want = wanted[found.group(1)]
        try:
            value = json.loads(found.group(2))
        except ValueError:
            value = found.group(2).decode(errors="replace")
        if want is not None and value != want:
            raise mismatch(messages.other_instrument(found.group(1).decode(), str(value)[:40], want))


def bounds(endpoint: str, window: Window) -> tuple[datetime, datetime]:
    """[begin, end): where the records of the trading days of `window` lie (a daily bar
    at its day's midnight, the sessions from the evening of the weekday before)."""
    stamped = Interval.DAILY if endpoint == "day" else Interval.MINUTE
    return WEEKDAYS.bounds(window.first, stamped)[0], WEEKDAYS.bounds(window.last, stamped)[1]


def check_records(answer: Answer, endpoint: str, window: Window) -> None:
    """Raises the mismatch of an answer of `endpoint` for `window` with a record outside the
    window's trading days, or minute bars not on whole minutes."""
    begin, end = bounds(endpoint, window)
    if isinstance(answer, ColumnAnswer):
        times = answer.columns.get("datetime")
        if times is None or isinstance(times, tuple) or not len(times):
            return
        low, high = int(times.min()), int(times.max())
        outside = [moment for moment in (low, high) if not begin.timestamp() * NANOSECONDS <= moment
                   < end.timestamp() * NANOSECONDS]
        first = datetime.fromtimestamp(outside[0] / NANOSECONDS, begin.tzinfo) if outside else None
        off_minute = endpoint == "minute" and bool((times % MINUTE_NS).any())
    else:
        if not answer.records:
            return
        moments = list(map(attrgetter("datetime"), answer.records))
        low, high = min(moments), max(moments)
        first = next((moment for moment in (low, high) if not begin <= moment < end), None)
        off_minute = endpoint == "minute" and any(moment.second or moment.microsecond for moment in moments)
    if first is not None:
        raise mismatch(messages.outside_window(first, window.first, window.last))
    if off_minute:
        raise mismatch(messages.not_of_interval("minute"))
