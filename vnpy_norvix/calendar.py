"""The market calendar: which trading day a record belongs to, the sessions of a
trading day, the date windows requests ask for, and the dates the plug-in can handle.

Every question about which trading day a time belongs to is answered from one table,
`PARTS`: the parts of a date and whose trading day each holds. A night session opens
the next trading day: its records belong to that day. No night session is held before a
holiday, so the next trading day after an evening is the next weekday unless the
service's own calendar says otherwise. Each product's hours are the session table's
(`sessions/table.py`).
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from typing import Literal

import vnpy.trader.database as vn_database
from vnpy.trader.constant import Interval

from norvix_datafeed import CHINA_TZ

from .settings import number_setting, whole_setting

# A night session's records carry the next trading day, at most a weekend after the
# evening they were traded on: trading dates up to this far past an end date miss none.
NIGHT_SLACK = timedelta(days=3)


@dataclass(frozen=True)
class Part:
    """One part of a date, [begin, end) in China wall time (end None: the midnight after),
    and whose trading day the records stamped in it carry: the date's own ("date"), the
    next trading day's ("next"), or the date's when it is a trading day and else the next
    one's ("open"). `sessions`: whether a trading day's sessions reach into it."""

    begin: time
    end: time | None
    owner: Literal["date", "next", "open"]
    sessions: bool


# The one table every calendar question about times is derived from (the trading day of
# a moment, the spans of a date, the bounds of a trading day). A record from 20:00 on
# belongs to the next trading day (the night session opens it); one before 06:00 on a
# day without trading (a Saturday after a Friday's night session) does too, one before
# 06:00 on a trading day is its own (a night session running past midnight). A trading
# day's sessions lie between the evening part of the trading day before and 16:00.
PARTS = (
    Part(time(0, 0), time(6, 0), "open", True),
    Part(time(6, 0), time(16, 0), "date", True),
    Part(time(16, 0), time(20, 0), "date", False),
    Part(time(20, 0), None, "next", True),
)
# When the evening part begins (the night session's first records carry the next day).
EVENING = PARTS[-1].begin


def is_daily_stamped(interval: Interval | None) -> bool:
    """Whether records of `interval` are stamped with their trading day (at its midnight)
    rather than with the time they were traded at: daily and weekly bars."""
    return interval in (Interval.DAILY, Interval.WEEKLY)


# Calendar days one request asks for, well under what one answer holds (40,000 minute
# bars, 2,000 daily bars): 30 days are at most 23 trading days of the longest sessions
# (555 minutes), 12,800 bars; 730 days about 490 daily bars. Ticks: one trading day.
MINUTE_WINDOW_DAYS = 30
DAY_WINDOW_DAYS = 730

# The dates a range may take: a query also touches the night before its first day and
# whole weeks around its days, which must still be dates.
MARGIN = timedelta(days=14)
FIRST_DAY, LAST_DAY = date.min + MARGIN, date.max - MARGIN


class OutOfCalendar(ValueError):
    """A date or time the calendar cannot handle (too close to the ends of the calendar)."""

    def __init__(self, value: object) -> None:
        super().__init__(f"{value} lies outside {FIRST_DAY} .. {LAST_DAY}")
        self.value = value


def check_days(*days: date) -> None:
    """Raises `OutOfCalendar` for a day outside [FIRST_DAY, LAST_DAY]."""
    for day in days:
        if not FIRST_DAY <= day <= LAST_DAY:
            raise OutOfCalendar(day)


def database_time(value: datetime) -> datetime:
    """`value` made aware: a naive time is a wall time in vn.py's database zone
    ("database.timezone", read at each call), as its databases give and take times."""
    return value.replace(tzinfo=vn_database.DB_TZ) if value.tzinfo is None else value


def china_time(value: datetime | None) -> datetime:
    """`value` as an instant in China time: zone-aware times are converted, naive ones
    are read in vn.py's database zone (as its data manager writes them), None is now.
    Raises `OutOfCalendar` for a time outside the days the calendar handles."""
    if value is None:
        return datetime.now(CHINA_TZ)
    value = database_time(value)  # as vn.py's data manager writes them
    try:
        check_days(value.date())
        moment = value.astimezone(CHINA_TZ)
    except OverflowError:
        raise OutOfCalendar(value) from None
    check_days(moment.date())
    return moment


def midnight(day: date) -> datetime:
    return datetime.combine(day, time(), CHINA_TZ)


class Calendar:
    """Trading days: those given (the service's, ascending or not) within their span,
    weekdays outside it."""

    def __init__(self, days: Iterable[date] = ()) -> None:
        self.days = sorted(set(days))

    def is_open(self, day: date) -> bool:
        if self.days and self.days[0] <= day <= self.days[-1]:
            index = bisect_left(self.days, day)
            return self.days[index] == day
        return day.weekday() < 5

    def next_open(self, day: date) -> date:
        """The first trading day after `day`."""
        if self.days and self.days[0] <= day < self.days[-1]:
            return self.days[bisect_right(self.days, day)]
        day += timedelta(days=1)
        while day.weekday() >= 5:
            day += timedelta(days=1)
        return day

    def previous_open(self, day: date) -> date:
        """The last trading day before `day`."""
        if self.days and self.days[0] < day <= self.days[-1]:
            return self.days[bisect_left(self.days, day) - 1]
        day -= timedelta(days=1)
        while day.weekday() >= 5:
            day -= timedelta(days=1)
        return day

    def night_session(self, day: date) -> bool:
        """Whether trading day `day` opens with a night session (on the evening of the
        trading day before): not when a weekday without trading lies between the two, the
        first trading day after a holiday."""
        between = self.previous_open(day) + timedelta(days=1)
        while between < day:
            if between.weekday() < 5:
                return False
            between += timedelta(days=1)
        return True

    def owner(self, day: date, part: Part) -> date:
        """The trading day records stamped in `part` of date `day` carry."""
        if part.owner == "date" or (part.owner == "open" and self.is_open(day)):
            return day
        return self.next_open(day)

    def parts(self, day: date, interval: Interval) -> list[tuple[datetime, datetime, date]]:
        """The parts of date `day` as China-time spans [begin, end), each with the trading
        day its records of `interval` carry (a daily-stamped record: the date, all day)."""
        after = midnight(day + timedelta(days=1))
        if is_daily_stamped(interval):
            return [(midnight(day), after, day)]
        return [(datetime.combine(day, part.begin, CHINA_TZ),
                 after if part.end is None else datetime.combine(day, part.end, CHINA_TZ), self.owner(day, part))
                for part in PARTS]

    def trading_day(self, moment: datetime, interval: Interval) -> date:
        """The trading day a record of `interval` stamped at `moment` belongs to (a naive
        `moment` is China wall time): the owner of the part of its date it lies in."""
        local = moment.astimezone(CHINA_TZ) if moment.tzinfo else moment
        day = local.date()
        if is_daily_stamped(interval):
            return day
        wall = local.time()
        return self.owner(day, next(part for part in PARTS if part.end is None or wall < part.end))

    def spans(self, first: date, last: date, interval: Interval, since: date, until: date) -> list[tuple[datetime, datetime]]:
        """The China-time spans [begin, end), ascending and apart, of the dates since..until
        whose records of `interval` belong to trading days first..last: the parts of each
        date whose owner lies in first..last, neighbours joined."""
        spans: list[tuple[datetime, datetime]] = []
        day = since
        while day <= until:
            for begin, end, trading_day in self.parts(day, interval):
                if first <= trading_day <= last:
                    if spans and spans[-1][1] == begin:
                        spans[-1] = (spans[-1][0], end)
                    else:
                        spans.append((begin, end))
            day += timedelta(days=1)
        return spans

    def bounds(self, day: date, interval: Interval) -> tuple[datetime, datetime]:
        """The China-time span [begin, end) holding the records of `interval` of trading day
        `day` and of no other: a daily-stamped record's date; otherwise from the part of
        the trading day before whose records carry the next day (its evening) to the end
        of the last part of `day` its sessions reach into."""
        if is_daily_stamped(interval):
            return self.parts(day, interval)[0][:2]
        before = next(part for part in PARTS if part.owner == "next")
        last = [part for part in PARTS if part.sessions and part.owner == "date"][-1]
        assert last.end is not None
        return (datetime.combine(self.previous_open(day), before.begin, CHINA_TZ),
                datetime.combine(day, last.end, CHINA_TZ))

    def session_days(self, start: datetime, end: datetime) -> list[date]:
        """The trading days (of the given ones) whose sessions (`bounds`) meet [start, end];
        without the day before in the calendar, the first day's night lies before the range."""
        days = []
        for index, day in enumerate(self.days):
            opens, closes = self.bounds(day, Interval.MINUTE)
            if start <= closes and (index == 0 or opens <= end):
                days.append(day)
        return days


WEEKDAYS = Calendar()

# Weekdays on which the futures exchanges were closed, from their holiday notices (each
# December for the year after; the exchanges close with the stock exchanges). A year is
# listed whole or not at all, so that a day of a listed year is known, not guessed.
CLOSED = frozenset(date.fromisoformat(text) for text in """
    2016-01-01 2016-02-08 2016-02-09 2016-02-10 2016-02-11 2016-02-12 2016-04-04 2016-05-02
    2016-06-09 2016-06-10 2016-09-15 2016-09-16 2016-10-03 2016-10-04 2016-10-05 2016-10-06 2016-10-07
    2017-01-02 2017-01-27 2017-01-30 2017-01-31 2017-02-01 2017-02-02 2017-04-03 2017-04-04 2017-05-01
    2017-05-29 2017-05-30 2017-10-02 2017-10-03 2017-10-04 2017-10-05 2017-10-06
    2018-01-01 2018-02-15 2018-02-16 2018-02-19 2018-02-20 2018-02-21 2018-04-05 2018-04-06 2018-04-30
    2018-05-01 2018-06-18 2018-09-24 2018-10-01 2018-10-02 2018-10-03 2018-10-04 2018-10-05 2018-12-31
    2019-01-01 2019-02-04 2019-02-05 2019-02-06 2019-02-07 2019-02-08 2019-04-05 2019-05-01 2019-05-02
    2019-05-03 2019-06-07 2019-09-13 2019-10-01 2019-10-02 2019-10-03 2019-10-04 2019-10-07
    2020-01-01 2020-01-24 2020-01-27 2020-01-28 2020-01-29 2020-01-30 2020-01-31 2020-04-06 2020-05-01
    2020-05-04 2020-05-05 2020-06-25 2020-06-26 2020-10-01 2020-10-02 2020-10-05 2020-10-06 2020-10-07
    2020-10-08
    2021-01-01 2021-02-11 2021-02-12 2021-02-15 2021-02-16 2021-02-17 2021-04-05 2021-05-03 2021-05-04
    2021-05-05 2021-06-14 2021-09-20 2021-09-21 2021-10-01 2021-10-04 2021-10-05 2021-10-06 2021-10-07
    2022-01-03 2022-01-31 2022-02-01 2022-02-02 2022-02-03 2022-02-04 2022-04-04 2022-04-05 2022-05-02
    2022-05-03 2022-05-04 2022-06-03 2022-09-12 2022-10-03 2022-10-04 2022-10-05 2022-10-06 2022-10-07
    2023-01-02 2023-01-23 2023-01-24 2023-01-25 2023-01-26 2023-01-27 2023-04-05 2023-05-01 2023-05-02
    2023-05-03 2023-06-22 2023-06-23 2023-09-29 2023-10-02 2023-10-03 2023-10-04 2023-10-05 2023-10-06
    2024-01-01 2024-02-09 2024-02-12 2024-02-13 2024-02-14 2024-02-15 2024-02-16 2024-04-04 2024-04-05
    2024-05-01 2024-05-02 2024-05-03 2024-06-10 2024-09-16 2024-09-17 2024-10-01 2024-10-02 2024-10-03
    2024-10-04 2024-10-07
    2025-01-01 2025-01-28 2025-01-29 2025-01-30 2025-01-31 2025-02-03 2025-02-04 2025-04-04 2025-05-01
    2025-05-02 2025-05-05 2025-06-02 2025-10-01 2025-10-02 2025-10-03 2025-10-06 2025-10-07 2025-10-08
    2026-01-01 2026-01-02 2026-02-16 2026-02-17 2026-02-18 2026-02-19 2026-02-20 2026-02-23 2026-04-06
    2026-05-01 2026-05-04 2026-05-05 2026-06-19 2026-09-25 2026-10-01 2026-10-02 2026-10-05 2026-10-06
    2026-10-07
""".split())
CLOSURES_KNOWN = (date(2016, 1, 1), date(2026, 12, 31))


def _exchange_days() -> Calendar:
    first, last = CLOSURES_KNOWN
    days = (first + timedelta(days=n) for n in range((last - first).days + 1))
    return Calendar(day for day in days if day.weekday() < 5 and day not in CLOSED)


# The exchanges' own calendar for the years whose closures are listed, weekdays outside
# them: what a question about sessions asks when no calendar of the service's is at hand.
EXCHANGE_DAYS = _exchange_days()


def unpublished(today: date, first: date, last: date) -> list[date]:
    """Weekdays of [first, last] whose daily bar may not be published yet: today's, and
    that of the trading day tonight's session belongs to."""
    days = (today + timedelta(days=n) for n in range(NIGHT_SLACK.days + 1))
    return [day for day in days if day.weekday() < 5 and first <= day <= last]


def today_in_china() -> date:
    return now_in_china().date()


def now_in_china() -> datetime:
    """The machine's clock, read at each call, as China time (whatever the machine's zone)."""
    return datetime.now(CHINA_TZ)


# The last session of a trading day ends by then (the day sessions close at 15:00 or 15:15).
LAST_CLOSE = time(15, 15)
# "datafeed.publish_delay": minutes after LAST_CLOSE until the service has published the
# whole trading day; a day fetched earlier is only provisionally held.
PUBLISH_DELAY_SETTING = "datafeed.publish_delay"
DEFAULT_PUBLISH_DELAY = 30.0
MOST_PUBLISH_DELAY = 24 * 60.0


def publish_delay() -> timedelta:
    """The "datafeed.publish_delay" setting (minutes, 0 .. one day), read at each call; a
    value outside that is warned of and the default taken."""
    return timedelta(minutes=number_setting(PUBLISH_DELAY_SETTING, DEFAULT_PUBLISH_DELAY, 0, MOST_PUBLISH_DELAY))


# "datafeed.settle_days": trading days after which a day the service's data still do not
# show whole is given up on (unsettled: reported once, kept as stored, no longer fetched).
SETTLE_DAYS_SETTING = "datafeed.settle_days"
DEFAULT_SETTLE_DAYS = 3
MOST_SETTLE_DAYS = 250


def settle_days() -> int:
    """The "datafeed.settle_days" setting (0 .. 250), read at each call; a value outside
    that, or not a whole number, is warned of and the default taken."""
    return whole_setting(SETTLE_DAYS_SETTING, DEFAULT_SETTLE_DAYS, 0, MOST_SETTLE_DAYS)


def trading_days_after(day: date, today: date, calendar: Calendar) -> int:
    """How many trading days after `day` have begun by `today`: the calendar's, and past
    its last day, weekdays."""
    known = [d for d in calendar.days if day < d <= today]
    beyond = max([day, *calendar.days[-1:]])
    return len(known) + sum(1 for n in range(1, (today - beyond).days + 1)
                            if (beyond + timedelta(days=n)).weekday() < 5)


def published(day: date, delay: timedelta | None = None) -> datetime:
    """When the whole of trading day `day` is published: its last session's close plus the
    publishing delay. Records of `day` fetched before then are provisional."""
    return datetime.combine(day, LAST_CLOSE, CHINA_TZ) + (publish_delay() if delay is None else delay)


@dataclass(frozen=True)
class Window:
    """Dates first..last, both included, as one request asks for them."""

    first: date
    last: date

    def halves(self) -> tuple[Window, Window] | None:
        if self.first == self.last:
            return None
        middle = self.first + (self.last - self.first) // 2
        return Window(self.first, middle), Window(middle + timedelta(days=1), self.last)


def windows(first: date, last: date, days: int) -> list[Window]:
    """[first, last] cut into consecutive windows of at most `days` dates."""
    result = []
    while first <= last:
        # Never past `last`, so that no date beyond the calendar is ever made.
        end = last if (last - first).days < days else first + timedelta(days=days - 1)
        result.append(Window(first, end))
        if end == last:
            break
        first = end + timedelta(days=1)
    return result


def window_days(interval: Interval) -> int:
    """Calendar days one request of `interval` asks for (hour bars are made from minutes)."""
    if interval in (Interval.MINUTE, Interval.HOUR):
        return MINUTE_WINDOW_DAYS
    if interval == Interval.TICK:
        return 1
    return DAY_WINDOW_DAYS


def trading_windows(days: Sequence[date], interval: Interval, calendar: Calendar = WEEKDAYS) -> list[Window]:
    """The ascending trading days `days` in windows of whole trading days, each request
    (from the evening before its first day, see `Calendar.bounds`) spanning fewer calendar
    days than one request of `interval` asks for; one trading day per window for ticks.
    Daily bars take the calendar days between the first and the last of `days`."""
    if not days:
        return []
    if is_daily_stamped(interval):
        return windows(days[0], days[-1], window_days(interval))
    limit = window_days(interval)
    result: list[Window] = []
    for day in days:
        if interval != Interval.TICK and result and (day - calendar.previous_open(result[-1].first)).days < limit:
            result[-1] = Window(result[-1].first, day)
        else:
            result.append(Window(day, day))
    return result
