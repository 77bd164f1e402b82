"""vnpy_norvix's histories against the local data service: complete, exactly the range
asked for, counted in the service's own database."""

import sqlite3
from contextlib import closing
from datetime import datetime, timedelta, timezone

import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import HistoryRequest

from helpers import SHANGHAI, envelope, reply_json
from norvix_devserver import default_database_path


def stored(sql: str, *args) -> list[tuple]:
    """Rows of the service's own database."""
    uri = default_database_path().resolve().as_uri() + "?mode=ro"
    with closing(sqlite3.connect(uri, uri=True)) as db:
        return db.execute(sql, args).fetchall()


def at(*fields: int) -> datetime:
    return datetime(*fields, tzinfo=SHANGHAI)


def text(moment: datetime | None) -> str:
    return "9999" if moment is None else moment.astimezone(SHANGHAI).strftime("%Y-%m-%d %H:%M:%S")


def query(feed, symbol, interval, start, end):
    output: list[str] = []
    req = HistoryRequest(symbol=symbol, exchange=Exchange.SHFE, start=start, end=end, interval=interval)
    if interval is None:
        records = feed.query_tick_history(req, output.append)
    else:
        records = feed.query_bar_history(req, output.append)
    assert output == []
    times = [record.datetime for record in records]
    assert times == sorted(times)
    # One bar per time; ticks may share a second, but none repeats.
    assert len(set(times)) == len(times) if interval else all(a != b for a, b in zip(records, records[1:]))
    assert {record.datetime.utcoffset() for record in records} <= {timedelta(hours=8)}
    return records


@pytest.mark.parametrize("window_days", [None, 400], ids=["windows", "split-at-limit"])
def test_minute_bars_of_a_long_range_are_complete(datafeed, monkeypatch, window_days):
    import vnpy_norvix.calendar

    if window_days:
        # Windows far larger than one answer holds: each is cut at the limit and split.
        monkeypatch.setattr(vnpy_norvix.calendar, "MINUTE_WINDOW_DAYS", window_days)
    bars = query(datafeed, "au2406", Interval.MINUTE, at(2024, 1, 1), None)

    (count, first, last), = stored("SELECT count(*), min(trading_datetime), max(trading_datetime) FROM minute_bar"
                                   " WHERE instrument_id = 'au2406' AND trading_datetime >= '2024-01-01'")
    assert count > 40_000
    assert (len(bars), text(bars[0].datetime), text(bars[-1].datetime)) == (count, first, last)
    assert {(bar.symbol, bar.interval) for bar in bars} == {("au2406", Interval.MINUTE)}


@pytest.mark.parametrize("start, end", [
    (at(2024, 5, 27), None),  # from a trading day's midnight: its night session before lies outside
    (at(2024, 5, 1), None),  # from a holiday
    (at(2024, 5, 28, 21, 30), at(2024, 5, 29, 15)),  # a night session and the day it belongs to
    (datetime(2024, 5, 28, 13, 0, tzinfo=timezone.utc), datetime(2024, 5, 28, 13, 5, tzinfo=timezone.utc)),
])
def test_ticks_of_every_trading_day_the_range_meets(datafeed, start, end):
    ticks = query(datafeed, "rb2410", None, start, end)

    (count,), = stored("SELECT count(*) FROM tick WHERE instrument_id = 'rb2410' AND trading_datetime BETWEEN ? AND ?",
                       text(start), text(end))
    assert count > 0 and len(ticks) == count
    assert start <= ticks[0].datetime and (end is None or ticks[-1].datetime <= end)


def test_bars_lie_exactly_in_the_range_in_any_zone(datafeed, monkeypatch):
    import vnpy.trader.database

    minutes = query(datafeed, "rb2405", Interval.MINUTE, at(2024, 3, 5, 9, 30), at(2024, 3, 5, 10))
    (count,), = stored("SELECT count(*) FROM minute_bar WHERE instrument_id = 'rb2405'"
                       " AND trading_datetime BETWEEN '2024-03-05 09:30:00' AND '2024-03-05 10:00:00'")
    assert len(minutes) == count == 31

    # Naive bounds are read in vn.py's database zone.
    monkeypatch.setattr(vnpy.trader.database, "DB_TZ", timezone.utc)
    naive = query(datafeed, "rb2405", Interval.MINUTE, datetime(2024, 3, 5, 1, 30), datetime(2024, 3, 5, 2))
    assert naive == minutes

    # Midnight of 03-05 to midnight of 03-07 in Shanghai, given in UTC.
    days = query(datafeed, "rb2405", Interval.DAILY, datetime(2024, 3, 4, 16, tzinfo=timezone.utc),
                 datetime(2024, 3, 6, 16, tzinfo=timezone.utc))
    assert [bar.datetime for bar in days] == [at(2024, 3, 5), at(2024, 3, 6), at(2024, 3, 7)]


def test_hour_bars_gather_the_minutes_of_each_clock_hour(datafeed):
    hours = query(datafeed, "rb2405", Interval.HOUR, at(2024, 3, 4, 9, 30), at(2024, 3, 8, 15))

    expected = stored("SELECT substr(trading_datetime, 1, 13), max(high), min(low), sum(volume) FROM minute_bar"
                      " WHERE instrument_id = 'rb2405' AND trading_datetime BETWEEN '2024-03-04 10' AND '2024-03-08 15:59'"
                      " GROUP BY 1 ORDER BY 1")
    assert [(bar.datetime.strftime("%Y-%m-%d %H"), bar.high_price, bar.low_price, bar.volume) for bar in hours] == [
        (hour, high, low, float(volume)) for hour, high, low, volume in expected]
    assert {bar.interval for bar in hours} == {Interval.HOUR}


def test_week_bars_start_at_the_first_trading_day_of_the_week(datafeed):
    # 03-01 is a Friday: its week starts before the range. The week of 04-29 has two
    # trading days before the Labour Day holiday.
    weeks = query(datafeed, "rb2405", Interval.WEEKLY, at(2024, 3, 1), at(2024, 4, 30))

    expected = stored("SELECT min(trading_date), max(high), min(low), sum(volume), max(trading_date) FROM day_bar"
                      " WHERE instrument_id = 'rb2405' AND trading_date BETWEEN '2024-03-04' AND '2024-05-05'"
                      " GROUP BY strftime('%Y-%W', trading_date) ORDER BY 1")
    assert [(bar.datetime.strftime("%Y-%m-%d"), bar.high_price, bar.low_price, bar.volume) for bar in weeks] == [
        (first, high, low, float(volume)) for first, high, low, volume, _ in expected]
    assert expected[-1][0::4] == ("2024-04-29", "2024-04-30")
    (close,), = stored("SELECT close FROM day_bar WHERE instrument_id = 'rb2405' AND trading_date = '2024-04-30'")
    assert weeks[-1].close_price == close and weeks[-1].interval == Interval.WEEKLY


def test_ticks_sharing_a_second_are_all_kept(datafeed, server):
    """Times have whole seconds: only a repeated record is a duplicate."""
    datafeed.base_url = server.url
    server.route("/daybar/query", reply_json(envelope([{"trading_date": "2024-05-28", "open_price": 1,
                                                         "high_price": 1, "low_price": 1, "close_price": 1}])))
    first, second = ({"trading_datetime": "2024-05-28 09:00:00", "last_price": price} for price in (1, 2))
    server.route("/tickdata/query", reply_json(envelope([second, first, second])))

    ticks = query(datafeed, "rb2410", None, at(2024, 5, 28, 9), at(2024, 5, 28, 10))
    assert [tick.last_price for tick in ticks] == [2.0, 1.0]


def test_ticks_of_today_before_its_daily_bar_is_published(datafeed, server, monkeypatch):
    import vnpy_norvix.history.series

    monkeypatch.setattr(vnpy_norvix.history.series, "today_in_china", lambda: at(2024, 5, 28).date())
    datafeed.base_url = server.url  # no daily bars at all
    server.route("/tickdata/query", lambda received: reply_json(envelope(
        [{"trading_datetime": "2024-05-28 09:00:00"}] if received.json["trading_date"] == "2024-05-28" else [])))

    ticks = query(datafeed, "rb2410", None, at(2024, 5, 28), at(2024, 5, 28, 10))
    assert [tick.datetime for tick in ticks] == [at(2024, 5, 28, 9)]
