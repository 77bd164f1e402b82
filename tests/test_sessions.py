"""Bars cut by the sessions, against the local service's own data: its minute days of rb,
au, IF, SR and m, its daily bars, its session hours and night-session days, and vn.py's
own BarGenerator for the clock cut.

The oracle here is the slow, obvious way: every minute of every trading day listed from
the hours table (night sessions where the service's calendar holds one), each given its
bar, then the minute bars grouped by bar."""

from __future__ import annotations

import random
import sqlite3
from dataclasses import replace
from datetime import date, datetime, timedelta
from itertools import groupby

import polars as pl
import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData
from vnpy.trader.utility import BarGenerator

from norvix_datafeed import CHINA_TZ
from norvix_devserver import ensure_database
from norvix_devserver.market import PRODUCTS, session_bounds
from norvix_devserver.store import default_database_path
from vnpy_norvix import SessionBarGenerator, resample, sessions_of
from vnpy_norvix.calendar import Calendar
from vnpy_norvix.history.frames import DATETIME
from vnpy_norvix.sessions import hours_of

FIELDS = ("open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")
MINUTE = timedelta(minutes=1)
EDGES = ["2m", "5m", "15m", "30m", "60m", "90m", "120m", "240m", "1h", "2h", "3h", "4h"]


@pytest.fixture(scope="module")
def market():
    """The service's data: minute bars per contract (the most held of each product), its
    calendar, which days hold a night session, and its daily bars."""
    path = default_database_path()
    ensure_database(path, progress=False)
    with sqlite3.connect(path) as db:
        nights = {date.fromisoformat(day): bool(flag) for day, flag in db.execute("SELECT * FROM trading_day")}
        minutes: dict[str, list[BarData]] = {}
        for row in db.execute("SELECT m.instrument_id, c.exchange, m.trading_datetime, m.open, m.high, m.low, "
                              "m.close, m.volume, m.turnover, m.open_interest FROM minute_bar m JOIN contract c "
                              "USING (instrument_id) ORDER BY m.instrument_id, m.trading_datetime"):
            stamp = datetime.fromisoformat(row[2]).replace(tzinfo=CHINA_TZ)
            minutes.setdefault(row[0], []).append(BarData(
                symbol=row[0], exchange=Exchange(row[1]), interval=Interval.MINUTE, datetime=stamp,
                gateway_name="NorviX", **dict(zip(FIELDS, row[3:]))))
        daily = {(row[0], date.fromisoformat(row[1])): row[2:]
                 for row in db.execute("SELECT instrument_id, trading_date, open, high, low, close, volume, turnover, "
                                       "open_interest FROM day_bar")}
    return minutes, Calendar(nights), nights, daily


def contract(minutes, product):
    held = [symbol for symbol in minutes if symbol[:len(product)] == product and symbol[len(product)].isdigit()]
    return max(held, key=lambda symbol: len(minutes[symbol]))


def oracle(bars, window, cut, nights):
    """Every minute of the service's trading days given its bar, then the bars grouped."""
    unit, count = window[-1], int(window[:-1]) if window != "d" else 0
    size = count * 60 if unit == "h" else count
    hours_product = bars[0].symbol
    label_of: dict[datetime, datetime] = {}
    first, last = bars[0].datetime.date(), bars[-1].datetime.date() + timedelta(days=4)
    for day, night in nights.items():
        if not first <= day <= last:
            continue
        hours = hours_of(hours_product, bars[0].exchange, day)
        segments = []
        if night and hours.night_end is not None:
            evening = max(d for d in nights if d < day) if any(d < day for d in nights) else day - timedelta(days=3)
            start = datetime.combine(evening, datetime.min.time().replace(hour=21), CHINA_TZ)
            end_day = evening + timedelta(days=1) if hours.night_end.hour < 21 else evening
            segments.append((start, datetime.combine(end_day, hours.night_end, CHINA_TZ)))
        segments += [(datetime.combine(day, begin, CHINA_TZ), datetime.combine(day, end, CHINA_TZ))
                     for begin, end in hours.day]
        day_minutes = []
        for start, end in segments:
            moment = start
            while moment < end:
                day_minutes.append((start, moment))
                moment += MINUTE
        for index, (start, moment) in enumerate(day_minutes):
            if window == "d":
                label_of[moment] = datetime.combine(day, datetime.min.time(), CHINA_TZ)
            elif cut == "session":
                label_of[moment] = start + (moment - start) // (size * MINUTE) * size * MINUTE
            else:
                label_of[moment] = day_minutes[index // size * size][1]
    made = []
    for label, group in groupby(bars, key=lambda bar: label_of[bar.datetime]):
        group = list(group)
        volume = turnover = 0.0
        for bar in group:
            volume, turnover = volume + bar.volume, turnover + bar.turnover
        made.append((label, group[0].open_price, max(b.high_price for b in group), min(b.low_price for b in group),
                     group[-1].close_price, volume, turnover, group[-1].open_interest))
    return made, label_of


def rows(bars):
    return [(bar.datetime, *(getattr(bar, name) for name in FIELDS)) for bar in bars]


def frame_of(bars):
    return pl.DataFrame({"datetime": [bar.datetime for bar in bars],
                         **{name: [float(getattr(bar, name)) for bar in bars] for name in FIELDS}}).with_columns(
        pl.col("datetime").cast(DATETIME), pl.lit(bars[0].symbol).alias("symbol"),
        pl.lit(bars[0].exchange.value).alias("exchange"), pl.lit("1m").alias("interval"))


def test_sessions_are_the_services_own_on_every_day(market):
    """The table agrees with the hours the service serves, night sessions after holidays
    (and past midnight into Saturday) included, for each product it serves."""
    _minutes, calendar, nights, _daily = market
    for product in PRODUCTS.values():
        for day in nights:
            want = [(begin.replace(tzinfo=CHINA_TZ), end.replace(tzinfo=CHINA_TZ))
                    for begin, end in session_bounds(product, day)]
            assert sessions_of(product.symbol, product.exchange, day, calendar) == want, (product.symbol, day)
            # The exchanges' closures, the default, are the service's calendar too.
            assert sessions_of(product.symbol, product.exchange, day) == want, (product.symbol, day)
    assert sessions_of("rb2405", Exchange.SHFE, date(2024, 2, 10), calendar) == []  # a Saturday
    assert sessions_of("rb2410", Exchange.SHFE, date(2024, 10, 7)) == []  # National Day, a Monday
    for symbol, exchange in (("xx", Exchange.SHFE), ("IF", Exchange.SHFE), ("rb", Exchange.CFFEX),
                             ("rb", Exchange.SSE), ("rb", "nowhere")):
        with pytest.raises(ValueError):
            sessions_of(symbol, exchange, date(2024, 5, 27))


def test_resample_equals_the_oracle_on_every_minute_day(market):
    """Both forms against the oracle over the service's minute days: each product a share of
    the edge windows and of a seeded sample, under both session cuts, and the day bar."""
    minutes, calendar, nights, _daily = market
    chance = random.Random(37)
    windows = EDGES + [f"{chance.randint(3, 239)}m" for _ in range(8)]
    cases = [(window, cut) for window in windows for cut in ("session", "trading")]
    chance.shuffle(cases)
    products = ["rb", "au", "IF", "SR", "m"]
    for index, product in enumerate(products):
        bars = minutes[contract(minutes, product)]
        frame = frame_of(bars)
        for window, cut in cases[index::len(products)] + [("d", "session")]:
            want, _ = oracle(bars, window, cut, nights)
            assert rows(resample(bars, window, cut, calendar)) == want, (product, window, cut)
            got = resample(frame, window, cut, calendar)
            assert got.select("datetime", *FIELDS).rows() == want, (product, window, cut)
            assert got["interval"].unique().to_list() == [window]


def test_the_day_bar_is_the_services_daily_bar(market):
    minutes, calendar, _nights, daily = market
    for symbol, bars in minutes.items():
        days = resample(bars, "d", calendar=calendar)
        assert rows(resample(bars, "d", "clock", calendar)) == rows(days)  # a day is a day, whatever the cut
        for bar in days:
            assert bar.interval == Interval.DAILY and bar.datetime.time() == datetime.min.time()
            assert rows([bar])[0][1:] == daily[(symbol, bar.datetime.date())], (symbol, bar.datetime)


def test_clock_is_vnpys_bar_generator(market):
    minutes, calendar, _nights, _daily = market
    for product, windows in (("au", ("5m", "30m", "60m", "1h", "3h")), ("IF", ("15m", "2h"))):
        bars = minutes[contract(minutes, product)]
        frame = frame_of(bars)
        for window in windows:
            made: list[BarData] = []
            hours = window.endswith("h")
            generator = BarGenerator(lambda bar: None, int(window[:-1]), made.append,
                                     Interval.HOUR if hours else Interval.MINUTE)
            for bar in bars:
                generator.update_bar(bar)
            got = resample(frame, window, "clock", calendar).select("datetime", *FIELDS).rows()
            records = rows(resample(bars, window, "clock", calendar))
            assert got == records and 0 <= len(got) - len(made) <= 1, (product, window)
            assert got[:len(made)] == rows(made), (product, window)
    with pytest.raises(ValueError, match="divide 60"):
        resample(bars, "45m", "clock")


def test_thinned_days_keep_the_grid(market):
    """Minutes removed at random, whole segments removed, a day's night session removed:
    bars keep their grid stamps, and equal the oracle's."""
    minutes, calendar, nights, _daily = market
    chance = random.Random(11)
    bars = minutes[contract(minutes, "au")]
    days = sorted({bar.datetime.date() for bar in bars})
    no_morning, no_night = set(chance.sample(days, 10)), set(chance.sample(days, 10))
    thinned = [bar for bar in bars
               if chance.random() > 0.3
               and not (bar.datetime.date() in no_morning and bar.datetime.hour < 11)
               and not (bar.datetime.date() in no_night and bar.datetime.hour >= 21)]
    frame = frame_of(thinned)
    for window, cut in (("30m", "session"), ("90m", "trading"), ("7m", "trading"), ("d", "session")):
        want, _ = oracle(thinned, window, cut, nights)
        assert rows(resample(thinned, window, cut, calendar)) == want
        assert resample(frame, window, cut, calendar).select("datetime", *FIELDS).rows() == want


def test_a_roll_inside_a_window_and_a_minute_outside_are_refused(market):
    minutes, calendar, _nights, _daily = market
    near, far = sorted(symbol for symbol in minutes if symbol.startswith("rb"))
    rolled = [bar for bar in minutes[near] if bar.datetime.hour < 10] + \
             [bar for bar in minutes[far] if bar.datetime.hour >= 10]
    rolled.sort(key=lambda bar: bar.datetime)
    for attempt in (lambda: resample(rolled, "30m"), lambda: resample(frame_of(minutes[near][:5]).vstack(
            frame_of(minutes[far][5:10])), "30m")):
        with pytest.raises(ValueError, match=f"{near}.SHFE and {far}.SHFE"):
            attempt()
    generator = SessionBarGenerator(lambda bar: None, 30, lambda bar: None)
    generator.update_bar(minutes[near][0])
    with pytest.raises(ValueError, match=far):
        generator.update_bar(minutes[far][1])
    lunch = replace(minutes[near][0], datetime=datetime(2024, 3, 4, 12, 0, tzinfo=CHINA_TZ))
    with pytest.raises(ValueError, match="outside its trading sessions"):
        resample([lunch], "30m")


@pytest.mark.parametrize("window, cut, interval", [(30, "session", Interval.MINUTE), ("90m", "trading", None),
                                                   (2, "session", Interval.HOUR), ("d", "session", None)])
def test_the_generator_bar_by_bar_equals_resample_and_emits_on_the_last_minute(market, window, cut, interval):
    minutes, calendar, nights, _daily = market
    chance = random.Random(5)
    # Across the Spring Festival: the evening before it belongs to a trading day ten days on.
    bars = [bar for bar in minutes[contract(minutes, "au")] if date(2024, 2, 1) <= bar.datetime.date()
            <= date(2024, 2, 29) and chance.random() > 0.2]
    emitted: list[tuple[datetime, BarData]] = []
    fed: list[BarData] = []
    generator = SessionBarGenerator(lambda bar: None, window, lambda bar: emitted.append((fed[-1].datetime, bar)),
                                    interval or Interval.MINUTE, cut=cut, calendar=calendar)
    for bar in bars:
        fed.append(bar)
        generator.update_bar(bar)
    generator.flush()
    text = window if isinstance(window, str) else f"{window}{'h' if interval == Interval.HOUR else 'm'}"
    assert rows([bar for _, bar in emitted]) == rows(resample(bars, text, cut, calendar))
    _, label_of = oracle(bars, text, cut, nights)
    last = {}
    for moment, label in label_of.items():
        last[label] = max(last.get(label, moment), moment)
    present = [bar.datetime for bar in bars]
    for when, bar in emitted[:-1]:
        # On its last grid minute, or on the first minute after it that is there.
        after = next(moment for moment in present if moment >= last[bar.datetime])
        assert when == after, (bar.datetime, when)


def test_ticks_make_vnpys_minute_bars_and_second_bars(market):
    """Minute bars from ticks are vn.py's own; the closing trade stamped 15:00:00 counts in
    the 14:59 bar (not in a 15:00 bar outside the sessions); 15-second bars add up to them."""
    from vnpy.trader.object import TickData

    with sqlite3.connect(default_database_path()) as db:
        ticks = [TickData(symbol="rb2410", exchange=Exchange.SHFE, gateway_name="NorviX",
                          datetime=datetime.fromisoformat(row[0]).replace(tzinfo=CHINA_TZ), last_price=row[1],
                          volume=row[2], turnover=row[3], open_interest=row[4], high_price=row[5], low_price=row[6])
                 for row in db.execute("SELECT trading_datetime, last_price, volume, turnover, open_interest, high, low "
                                       "FROM tick WHERE instrument_id = 'rb2410' AND trading_date = '2024-05-28' "
                                       "ORDER BY trading_datetime")]
    closing = replace(ticks[-1], datetime=datetime(2024, 5, 28, 15, 0, 0, 500_000, tzinfo=CHINA_TZ),
                      last_price=ticks[-1].last_price + 1, volume=ticks[-1].volume + 7)
    theirs: list[BarData] = []
    vnpy = BarGenerator(theirs.append)
    ours: list[BarData] = []
    seconds: list[BarData] = []
    generator = SessionBarGenerator(ours.append, "15s", seconds.append)
    for tick in ticks:
        vnpy.update_tick(tick)
        generator.update_tick(tick)
    generator.update_tick(closing)
    vnpy.generate()
    generator.generate()
    generator.flush()
    assert rows(ours[:-1]) == rows(theirs[:-1]) and len(ours) == len(theirs)
    assert ours[-1].datetime.time() == datetime(2024, 5, 28, 14, 59).time()
    assert (ours[-1].close_price, ours[-1].volume) == (closing.last_price, theirs[-1].volume + 7)
    assert all(bar.datetime.second % 15 == 0 for bar in seconds)
    per_minute: dict[datetime, float] = {}
    for bar in seconds:
        per_minute[bar.datetime.replace(second=0)] = per_minute.get(bar.datetime.replace(second=0), 0) + bar.volume
    assert per_minute == {bar.datetime: bar.volume for bar in ours}


def test_query_bar_frame_resamples_whole_trading_days_by_the_services_calendar(datafeed, market):
    """The bars at the range's end are whole (the minutes of its trading days beyond the
    range are fetched too) and the day after the Spring Festival opens without a night
    session (the service's calendar, not the weekdays)."""
    from vnpy.trader.object import HistoryRequest

    _minutes, calendar, _nights, _daily = market
    # Ends inside the last 90-minute bar of 2024-02-23 (13:45-15:00), which is asked for whole.
    start, end = datetime(2024, 2, 19, 10, 0, tzinfo=CHINA_TZ), datetime(2024, 2, 23, 14, 0, tzinfo=CHINA_TZ)
    output: list[str] = []
    frame = datafeed.query_bar_frame(HistoryRequest(symbol="rb2405", exchange=Exchange.SHFE, start=start, end=end,
                                                    interval=Interval.MINUTE), output.append,
                                     window="90m", cut="trading")
    whole = datafeed.query_bar_history(HistoryRequest(symbol="rb2405", exchange=Exchange.SHFE,
                                                      start=datetime(2024, 2, 8, 16, tzinfo=CHINA_TZ),
                                                      end=datetime(2024, 2, 23, 15, tzinfo=CHINA_TZ),
                                                      interval=Interval.MINUTE))
    want = [bar for bar in resample(whole, "90m", "trading", calendar) if start <= bar.datetime <= end]
    assert output == [] and frame.select("datetime", *FIELDS).rows() == rows(want)
    assert frame["datetime"][0] == datetime(2024, 2, 19, 10, 45, tzinfo=CHINA_TZ)  # 09:00-10:15, 10:30-10:45 before
    assert frame["trading_day"].to_list() == [calendar.trading_day(bar.datetime, Interval.MINUTE) for bar in want]
