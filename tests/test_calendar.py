"""The market calendar: the trading day a record belongs to, the windows requests ask
for, and dates near the ends of the calendar refused, never overflowing (through the
queries: tests/test_plugin_reference.py)."""

from datetime import date, datetime, time, timedelta, timezone

import pytest
from vnpy.trader.constant import Interval

from helpers import SHANGHAI
from vnpy_norvix.calendar import (EVENING, LAST_DAY, WEEKDAYS, Calendar, OutOfCalendar, check_days, china_time,
                                  trading_windows, window_days, windows)


def at(*fields: int) -> datetime:
    return datetime(*fields, tzinfo=SHANGHAI)


# 2024-09-16 and 09-17 are holidays: the trading day after Friday 09-13 is Wednesday 09-18.
SERVICE_DAYS = Calendar([date(2024, 9, 12), date(2024, 9, 13), date(2024, 9, 18), date(2024, 9, 19)])


@pytest.mark.parametrize("calendar, moment, expected", [
    (WEEKDAYS, at(2024, 5, 24, 21, 30), date(2024, 5, 27)),  # Friday night -> Monday
    (WEEKDAYS, at(2024, 5, 25, 1, 0), date(2024, 5, 27)),  # after midnight, on Saturday -> Monday
    (WEEKDAYS, at(2024, 5, 28, 2, 29), date(2024, 5, 28)),  # Monday night's late part -> Tuesday
    (WEEKDAYS, at(2024, 5, 27, 14, 59), date(2024, 5, 27)),  # a day session
    (SERVICE_DAYS, at(2024, 9, 13, 21, 0), date(2024, 9, 18)),  # across the weekend and the holiday
    (SERVICE_DAYS, at(2024, 9, 14, 0, 30), date(2024, 9, 18)),
    (SERVICE_DAYS, at(2024, 9, 18, 21, 0), date(2024, 9, 19)),
    (SERVICE_DAYS, at(2024, 9, 20, 21, 0), date(2024, 9, 23)),  # past the service's days: weekdays
])
def test_a_night_session_record_belongs_to_the_next_trading_day(calendar, moment, expected):
    assert calendar.trading_day(moment, Interval.MINUTE) == expected
    assert calendar.trading_day(moment, Interval.TICK) == expected
    assert calendar.trading_day(moment.replace(hour=0, minute=0), Interval.DAILY) == moment.date()


def test_windows_hold_whole_trading_days_within_the_request_size():
    days = [date(2024, 1, 2) + timedelta(days=n) for n in range(200)]
    days = [day for day in days if day.weekday() < 5]
    calendar = Calendar(days)
    for interval in (Interval.MINUTE, Interval.TICK, Interval.DAILY):
        found = trading_windows(days, interval, calendar)
        covered = [day for window in found for day in days if window.first <= day <= window.last]
        assert covered == days, interval  # every trading day in exactly one window, in order
        for window in found:
            start, end = calendar.bounds(window.first, Interval.MINUTE)[0], calendar.bounds(window.last,
                                                                                  Interval.MINUTE)[1]
            # The request also takes the evening before the first day, and stays within its size.
            assert (end.date() - start.date()).days < window_days(interval) or interval == Interval.TICK
            assert start.time() == EVENING and start.date() == calendar.previous_open(window.first)
    assert all(window.first == window.last for window in trading_windows(days, Interval.TICK, calendar))


def test_dates_at_the_ends_of_the_calendar_are_refused_not_overflowed():
    assert windows(date(9999, 12, 1), date.max, 30)[-1].last == date.max  # no date past the end is made
    for day in (date(1, 1, 1), date(9999, 12, 20), date.max):
        with pytest.raises(OutOfCalendar):
            check_days(day)
    for moment in (datetime(1, 1, 1), datetime(9999, 12, 31, 23, 59), datetime.max.replace(tzinfo=SHANGHAI)):
        with pytest.raises(OutOfCalendar):
            china_time(moment)
    check_days(LAST_DAY)


@pytest.mark.parametrize("interval", [Interval.MINUTE, Interval.TICK, Interval.DAILY])
def test_a_window_is_selected_by_spans_as_by_each_records_trading_day(interval):
    """The download's selection of a window's records: by bisection over the calendar's
    spans for ascending China times, else record by record; both give the same."""
    import random

    from vnpy.trader.constant import Exchange
    from vnpy.trader.object import BarData

    from vnpy_norvix.calendar import PARTS, Window
    from vnpy_norvix.history.select import window_ascending, window_each, window_records

    rng = random.Random(7)
    base = at(2024, 9, 11)
    edges = [timedelta(hours=part.begin.hour) for part in PARTS]
    for round_ in range(40):
        offsets = {timedelta(days=rng.randrange(12), seconds=rng.randrange(86_400)) for _ in range(rng.randrange(1, 60))}
        offsets |= {timedelta(days=rng.randrange(12)) + rng.choice(edges) - timedelta(microseconds=rng.choice((0, 1)))
                    for _ in range(10)}
        times = sorted(base + offset for offset in offsets)
        records = [BarData("NORVIX", "rb2501", Exchange.SHFE, moment, interval) for moment in times]
        first = rng.choice(SERVICE_DAYS.days)
        window = Window(first, rng.choice([day for day in SERVICE_DAYS.days if day >= first]))
        fast = window_ascending(records, interval, window, SERVICE_DAYS)
        assert fast is not None and fast == window_each(records, interval, window, SERVICE_DAYS), round_
        # repeated, unordered or mixed-zone times (naive, or the same instants in another
        # zone, whose wall times differ) go record by record
        mixed = records + records[:3] if round_ % 2 else list(reversed(records))
        if round_ % 5 == 0:
            mixed[0] = BarData("NORVIX", "rb2501", Exchange.SHFE, times[0].replace(tzinfo=None), interval)
        elif round_ % 5 == 1:
            mixed[-1] = BarData("NORVIX", "rb2501", Exchange.SHFE, times[-1].astimezone(timezone.utc), interval)
        assert window_records(mixed, interval, window, SERVICE_DAYS) == window_each(mixed, interval, window, SERVICE_DAYS)
        assert len(mixed) < 2 or window_ascending(mixed, interval, window, SERVICE_DAYS) is None


def test_every_calendar_answer_follows_from_the_parts_of_a_date():
    """A moment's trading day, a date's spans, a trading day's bounds and the frames'
    trading_day column agree, at every edge of the parts of a date, across a weekend and
    a holiday."""
    import polars as pl

    from vnpy_norvix.calendar import PARTS
    from vnpy_norvix.history.frames import with_trading_day

    edges = [part.begin for part in PARTS]
    moments = [at(2024, 9, 12 + n, edge.hour) + shift for n in range(9) for edge in edges
               for shift in (timedelta(0), timedelta(microseconds=-1))]
    days = [SERVICE_DAYS.trading_day(moment, Interval.MINUTE) for moment in moments]
    frame = with_trading_day(pl.DataFrame({"datetime": moments}), Interval.MINUTE, SERVICE_DAYS)
    assert frame["trading_day"].to_list() == days
    for moment, day in zip(moments, days):
        spans = SERVICE_DAYS.spans(day, day, Interval.MINUTE, moment.date() - timedelta(days=1), moment.date())
        assert any(begin <= moment < end for begin, end in spans), moment
        begin, end = SERVICE_DAYS.bounds(day, Interval.MINUTE)
        in_session_part = not time(16) <= moment.time() < time(20)
        assert (begin <= moment < end) == in_session_part, (moment, day)


def test_a_tick_in_the_last_second_before_midnight_lies_in_the_night_session():
    from vnpy_norvix.sessions.table import in_sessions

    assert in_sessions(at(2024, 5, 27, 23, 59, 59, 500_000)) and in_sessions(at(2024, 5, 28, 2, 30))
    assert not in_sessions(at(2024, 5, 28, 2, 30, 1)) and not in_sessions(at(2024, 5, 28, 20, 54, 59))
