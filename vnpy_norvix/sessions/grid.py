"""Where bars are cut: a window's text read once (`Window`), and the grid of the trading
days a run of minutes meets, a pure function of the sessions table and the calendar,
never of which minutes have trades.

A grid is a list of marks in time order, each `(moment, bar)`: a minute from `moment` on
belongs to `bar` (its label: the bar's first grid minute), or to no bar when `bar` is None
(between sessions). Both forms of `resample` and `SessionBarGenerator` read the same grid,
so that they cut alike.
"""

from __future__ import annotations

import re
from bisect import bisect_right
from collections.abc import Iterable
from dataclasses import dataclass
from datetime import date, datetime, timedelta
from typing import Literal

from vnpy.trader.constant import Exchange, Interval

from ..calendar import Calendar, midnight
from .table import AUCTION, sessions_of

Cut = Literal["session", "trading", "clock"]
CUTS: tuple[Cut, ...] = ("session", "trading", "clock")

MINUTE = timedelta(minutes=1)

WINDOW = re.compile(r"([1-9][0-9]*)([mh])|d")
MOST_MINUTES, MOST_HOURS = 240, 4


@dataclass(frozen=True)
class Window:
    """A window as `resample` takes it: "Nm" (2-240 minutes), "Nh" (1-4 hours) or "d"."""

    text: str
    count: int  # N, of minutes or of hours; 1 for "d"
    unit: Literal["m", "h", "d"]

    @property
    def minutes(self) -> int:
        return self.count * 60 if self.unit == "h" else self.count

    @property
    def interval(self) -> Interval | None:
        """The vn.py interval of the bars made: a daily bar is one, an N-minute bar none
        (vn.py's database has no such interval, so it cannot be saved as minute bars)."""
        return Interval.DAILY if self.unit == "d" else None


def window_of(window: str) -> Window:
    """`window` read; ValueError for any other text."""
    match = WINDOW.fullmatch(window) if isinstance(window, str) else None
    if match is None:
        raise ValueError(f"window {window!r}: expected \"Nm\" (N from 2 to {MOST_MINUTES}), "
                         f"\"Nh\" (N from 1 to {MOST_HOURS}) or \"d\"")
    if window == "d":
        return Window("d", 1, "d")
    count, unit = int(match.group(1)), match.group(2)
    if (unit == "m" and not 2 <= count <= MOST_MINUTES) or (unit == "h" and not 1 <= count <= MOST_HOURS):
        raise ValueError(f"window {window!r}: minutes from 2 to {MOST_MINUTES}, hours from 1 to {MOST_HOURS}")
    return Window(window, count, "m" if unit == "m" else "h")


def check_clock(window: Window) -> None:
    """The windows vn.py's BarGenerator cuts by the clock: minutes dividing an hour, hours."""
    if window.unit == "d" or (window.unit == "m" and 60 % window.count):
        raise ValueError(f"window {window.text!r}: the clock cut takes minutes that divide 60 or hours, "
                         f"as vn.py's BarGenerator does")


def check_cut(cut: str, window: Window | None = None) -> Cut:
    """`cut` read; "d" is one bar per trading day whatever the cut (the clock's too)."""
    if cut not in CUTS:
        raise ValueError(f"cut {cut!r}: expected one of {', '.join(CUTS)}")
    return "session" if window is not None and window.unit == "d" else cut


Mark = tuple[datetime, datetime | None]


def day_marks(segments: list[tuple[datetime, datetime]], window: Window, cut: Cut, day: date) -> list[Mark]:
    """The marks of one trading day's segments: under "session" each segment cut into
    N-minute bars from its start; under "trading" the day's traded minutes counted from its
    first, N to a bar, across breaks; "d" one bar labelled at the trading day's midnight."""
    marks: list[Mark] = []
    size = window.minutes
    label = midnight(day)  # "d": every segment's
    traded = 0  # minutes of the day before the segment ("trading")
    for start, end in segments:
        length = int((end - start) / MINUTE)
        if window.unit == "d":
            firsts: list[int] = []
        elif cut == "session":
            firsts = list(range(0, length, size))
        else:
            firsts = [offset for offset in range(length) if (traded + offset) % size == 0]
        if firsts and firsts[0] == 0:
            label = start
            firsts.pop(0)
        # a minute bar stamped in the call auction (as recorders stamp its trade) joins the
        # session's first bar
        marks.append((start - AUCTION, label))  # else the bar of the segment before goes on
        for offset in firsts:
            label = start + offset * MINUTE
            marks.append((label, label))
        marks.append((end, None))
        traded += length
    return marks


def day_grids(symbol: str, exchange: Exchange | str, days: Iterable[date], window: Window, cut: Cut,
              calendar: Calendar) -> list[tuple[date, list[Mark]]]:
    """The marks of each of the trading days `days` (any order), in time order."""
    return [(day, day_marks(sessions_of(symbol, exchange, day, calendar), window, cut, day))
            for day in sorted(set(days))]


def grid(symbol: str, exchange: Exchange | str, days: Iterable[date], window: Window, cut: Cut,
         calendar: Calendar) -> list[Mark]:
    """The marks of the trading days `days` (any order; days without trading add none)."""
    return [mark for _, marks in day_grids(symbol, exchange, days, window, cut, calendar) for mark in marks]


def candidate_days(dates: Iterable[date], calendar: Calendar) -> set[date]:
    """The trading days whose sessions may hold a minute of the China dates `dates`: the
    calendar's trading day of each part of a date (early morning, day, evening)."""
    return {owner for day in dates for _, _, owner in calendar.parts(day, Interval.MINUTE)}


def label_at(marks: list[Mark], times: list[datetime], moment: datetime) -> datetime | None:
    """The bar a minute at `moment` belongs to (`times`: the marks' moments); None outside."""
    index = bisect_right(times, moment) - 1
    return marks[index][1] if index >= 0 else None


def last_minutes(marks: list[Mark]) -> dict[datetime, datetime]:
    """Each bar's last grid minute: a bar ends where the next mark after its last begins."""
    last: dict[datetime, datetime] = {}
    for (_, label), (following, _) in zip(marks, marks[1:]):
        if label is not None:
            last[label] = following - MINUTE
    return last
