"""vnpy_norvix.store against vn.py's own SQLite, PostgreSQL and MySQL adapters: the same saves
through the adapter into one database and through the bulk writer into another leave
every table equal row for row; series replaced in one transaction; changed adapters
left to their own methods; the records the caller holds left alone."""

import copy
import functools
import math
import operator
import random
from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, TickData

from stores import (NEW_YORK, SHANGHAI, TABLES, bars, exact, mariadb, my_databases, mysql_backend,  # noqa: F401
                    pg_databases, postgres, postgresql_backend, snapshot, sqlite_backend, ticks)  # (fixtures)


@pytest.fixture(params=["sqlite", "postgresql", "mysql"])
def backend(request):
    return request.getfixturevalue(f"{request.param}_backend")


def operations(backend_name: str) -> list[tuple]:
    """Saves of bars and ticks of several symbols and intervals, with overlapping windows
    re-saved with other values, mixed lists, times in several zones, and replacements."""
    t0 = datetime(2024, 1, 2, 9, 0, tzinfo=SHANGHAI)
    minute = timedelta(minutes=1)
    rb = bars("rb2405", Interval.MINUTE, t0, 120, minute, seed=1)
    rb_again = bars("rb2405", Interval.MINUTE, t0 + 60 * minute, 100, minute, seed=2)  # overlaps rb
    au = bars("au2406", Interval.MINUTE, t0.astimezone(timezone.utc), 50, minute, seed=3)  # aware, in UTC
    naive = bars("ag2406", Interval.HOUR, datetime(2024, 1, 2, 9, 0, 0, 250_000), 30, timedelta(hours=1), seed=4)
    daily = bars("rb2405", Interval.DAILY, datetime(2023, 12, 1, tzinfo=SHANGHAI), 40, timedelta(days=1), seed=5)
    ops: list[tuple] = [
        ("bars", rb[:80]), ("bars", rb[40:]), ("bars", rb_again), ("bars", daily), ("bars", naive),
        # one list of two symbols: the overview entry goes to the first one only
        ("bars", au[:20] + rb[100:] + naive[:5]), ("bars", au[10:]),
        # a list in descending order: a new entry takes the first and the last bar's times
        ("bars", list(reversed(bars("cu2406", Interval.MINUTE, t0, 30, minute, seed=6)))),
        ("bars", bars("cu2406", Interval.MINUTE, t0 - 10 * minute, 15, minute, seed=7)),
        ("replace", ("rb2405", Exchange.SHFE, Interval.MINUTE), bars("rb2405", Interval.MINUTE, t0 + minute, 70,
                                                                     minute, seed=8)),
        ("replace", ("zn2406", Exchange.SHFE, Interval.DAILY), bars("zn2406", Interval.DAILY, t0, 5,
                                                                    timedelta(days=1), seed=9)),
        ("ticks", ticks("au2406", t0, 60, seed=10)), ("ticks", ticks("au2406", t0 + timedelta(seconds=20), 60, 11)),
        ("ticks", ticks("ag2406", t0, 7, seed=12)),
    ]
    # values PostgreSQL's driver sends other than as decimals: NaN at the chunks' edges (SQLite
    # stores NaN as NULL, which its NOT NULL columns refuse), a negative zero
    odd = bars("sn2406", Interval.MINUTE, t0, 130, minute, seed=14)
    odd_ticks = ticks("sn2406", t0, 5, seed=15)
    odd[7].volume = odd[120].open_interest = odd_ticks[2].bid_volume_3 = -0.0
    if backend_name == "postgresql":
        for i in (0, 49, 50, 99, 100):
            odd[i].close_price = float("nan")
        odd_ticks[1].last_price = float("nan")
    ops += [("bars", odd), ("ticks", odd_ticks)]
    # bars given twice in one list, in other chunks of the adapter's (a repeat within one of
    # PostgreSQL's fails there), then a save whose ids show the sequence the repeats drew from
    again = bars("rb2405", Interval.MINUTE, t0 + 5 * minute, 10, minute, seed=13)
    if backend_name in ("sqlite", "mysql"):
        ops.append(("bars", rb[:10] + again))
    ops += [("bars", rb[:110] + again), ("bars", bars("rb2405", Interval.MINUTE, t0 + 200 * minute, 5, minute, 16))]
    return ops


def test_bulk_writes_leave_what_the_adapter_leaves(backend, monkeypatch):
    from vnpy_norvix import store
    from vnpy_norvix.store import sqlite

    # statements of a few rows: records repeated within one statement and across two
    monkeypatch.setattr(sqlite, "ROWS_PER_STATEMENT", 7)

    database = backend.database
    for op in operations(backend.name):
        records = op[-1]
        held = snapshot(records)
        backend.use("adapter")
        given = copy.deepcopy(records)  # the adapter rewrites what it is given
        if op[0] == "bars":
            database.save_bar_data(given)
        elif op[0] == "ticks":
            database.save_tick_data(given)
        else:
            database.delete_bar_data(*op[1])
            database.save_bar_data(given)
        backend.use("bulk")
        assert store.bulk_writer(database, "ticks" if op[0] == "ticks" else "bars") is not None
        table = "dbtickdata" if op[0] == "ticks" else "dbbardata"
        held_rows = len(backend.dump("bulk")[table])
        if op[0] == "bars":
            gained = store.save_bars(database, records)
        elif op[0] == "ticks":
            gained = store.save_ticks(database, records)
        else:
            store.replace_bars(database, *op[1], records)
            gained = len(backend.dump("bulk")[table]) - held_rows
        assert gained == len(backend.dump("bulk")[table]) - held_rows  # as the writer counted them
        assert snapshot(records) == held  # the caller's records are untouched

    adapter, bulk = backend.dump("adapter"), backend.dump("bulk")
    assert {table: len(rows) for table, rows in bulk.items()} == {table: len(rows) for table, rows in adapter.items()}
    assert all(adapter[table] for table in TABLES)
    for table in TABLES:
        assert exact(bulk[table]) == exact(adapter[table]), table


@pytest.mark.parametrize("failure", [RuntimeError("disk full"), KeyboardInterrupt()])
def test_a_replacement_that_fails_inside_its_transaction_leaves_the_series(backend, monkeypatch, failure):
    from vnpy_norvix import store
    from vnpy_norvix.store.writer import Writer

    database = backend.database
    backend.use("bulk")
    t0 = datetime(2024, 1, 2, 9, 0, tzinfo=SHANGHAI)
    key = ("rb888", Exchange.SHFE, Interval.MINUTE)
    store.replace_bars(database, *key, bars("rb888", Interval.MINUTE, t0, 50, timedelta(minutes=1), seed=1))
    before = backend.dump("bulk")

    def broken(self, shape, rows, change=None):  # after the old series is deleted and the new one written
        raise failure

    monkeypatch.setattr(Writer, "update_overview", broken)
    with pytest.raises(type(failure)):
        store.replace_bars(database, *key, bars("rb888", Interval.MINUTE, t0, 80, timedelta(minutes=1), seed=2))
    monkeypatch.undo()
    with pytest.raises(ValueError, match="no bars"):
        store.replace_bars(database, *key, [])
    with pytest.raises(ValueError, match="au2406.SHFE"):
        store.replace_bars(database, *key, bars("au2406", Interval.MINUTE, t0, 5, timedelta(minutes=1), seed=3))

    assert backend.dump("bulk") == before


def _subclassed(backend, monkeypatch):
    class Changed(type(backend.database)):
        pass

    changed = object.__new__(Changed)  # on the adapter's connection, as its __init__ would leave it
    changed.db = backend.database.db
    return changed


def _model_changed(backend, monkeypatch):
    model = backend.models()[0]
    monkeypatch.setattr(model._meta, "indexes", ((("symbol", "exchange", "datetime"), True),))
    return backend.database


def _table_changed(backend, monkeypatch):
    backend.database.db.execute_sql("DROP INDEX dbbardata_symbol_exchange_interval_datetime")
    return backend.database


@pytest.mark.parametrize("change", [_subclassed, _model_changed, _table_changed])
def test_a_changed_adapter_keeps_its_own_methods_and_the_callers_records(sqlite_backend, monkeypatch, change):
    from vnpy_norvix import store

    sqlite_backend.use("bulk")
    database = change(sqlite_backend, monkeypatch)
    calls = []
    adapter_save = type(database).save_bar_data
    monkeypatch.setattr(type(database), "save_bar_data",
                        lambda self, records, stream=False: calls.append(len(records)) or
                        adapter_save(self, records, stream))
    records = bars("rb2405", Interval.MINUTE, datetime(2024, 1, 2, 9, tzinfo=SHANGHAI), 20, timedelta(minutes=1), 1)
    held = snapshot(records)

    assert store.bulk_writer(database, "bars") is None
    store.save_bars(database, records)
    store.replace_bars(database, "rb2405", Exchange.SHFE, Interval.MINUTE, records[5:])

    assert calls == [20, 15]
    assert snapshot(records) == held
    rows = sqlite_backend.dump("bulk")["dbbardata"]
    assert len(rows) == 15


class Str(str):
    pass


class Bar(BarData):
    pass


def _odd_records() -> list:
    """Records whose rows the native builder must leave to the row function, or give the
    same as it: other zones, naive and folded times, ints, subclasses, foreign values."""
    import numpy as np

    t0 = datetime(2024, 1, 2, 21, 0, 0, 1, tzinfo=SHANGHAI)
    made = bars("rb2405", Interval.MINUTE, t0, 14, timedelta(minutes=1), seed=20)
    made[1].datetime = t0.astimezone(NEW_YORK)
    made[2].datetime = t0.replace(tzinfo=None)
    made[3].datetime = t0.replace(fold=1)
    made[4].volume, made[4].open_price = 7, 2**60 + 1  # ints, one above 2**53
    made[5].symbol = Str("rb2405")
    made[6].close_price = np.float64(1.5)
    made[7].turnover = True
    made[8] = Bar(**{name: getattr(made[8], name) for name in ("gateway_name", "symbol", "exchange", "datetime",
                                                              "interval", "open_price")})
    made[9].datetime = datetime(1, 1, 1, tzinfo=SHANGHAI)
    made[10].interval = "1m"
    made[11].datetime = datetime(9999, 12, 31, 23, 59, 59, 999_999, tzinfo=SHANGHAI)
    made += ticks("au2406", t0, 4, seed=21)  # a list of both: each by its own class
    made[-1].localtime = "2024-01-02 09:00:01"
    made[-2].name = None
    return made


@pytest.mark.parametrize("text_times", [False, True])
@pytest.mark.parametrize("zone", ["Asia/Shanghai", "UTC"])
def test_native_rows_equal_the_row_functions(text_times, zone, monkeypatch):
    import vnpy.trader.database as vn_database
    from vnpy_norvix.store.schema import BARS, TICKS

    monkeypatch.setattr(vn_database, "DB_TZ", DB_TZ := ZoneInfo(zone))

    records = _odd_records()
    for shape in (BARS, TICKS):
        natives = 0
        expected = []
        for record in records:
            try:
                expected.append(shape.row(record))
            except Exception as exc:
                expected.append(type(exc))
        column = shape.columns.index("datetime")
        for record, row in zip(records, expected):
            if isinstance(row, type):
                with pytest.raises(row):
                    shape.rows([record], text_times)
                continue
            got = shape.rows([record], text_times)[0]
            if type(got[column]) is str:
                natives += 1
                assert text_times and type(record) is shape.cls and record.datetime.tzinfo is DB_TZ
                assert type(row[column]) is datetime and got[column] == str(row[column])
                got = got[:column] + (row[column],) + got[column + 1:]
            assert exact([got]) == exact([row]) and list(map(type, got)) == list(map(type, row))
        assert natives >= (2 if text_times and zone == "Asia/Shanghai" else 0)
    # errors as the row function raises them, in list order
    overflow = bars("rb2405", Interval.MINUTE, datetime(2024, 1, 2, tzinfo=SHANGHAI), 3, timedelta(minutes=1), 22)
    overflow[1].volume = 10**400
    del overflow[2].__dict__["exchange"]
    with pytest.raises(OverflowError):
        BARS.rows(overflow, text_times)
    del overflow[1].__dict__["exchange"]  # read before the prices
    with pytest.raises(AttributeError):
        BARS.rows(overflow, text_times)


def test_the_copy_text_is_what_csv_writer_writes():
    import csv
    import io
    from decimal import Decimal

    from vnpy_norvix import _wire

    def written(rows):
        buffer = io.StringIO()
        csv.writer(buffer, quoting=csv.QUOTE_STRINGS, lineterminator="\n").writerows(rows)
        return buffer.getvalue()

    rng = random.Random(3)
    values = [None, "", "rb2405", 'a "quoted", text', "line\nbreak\r\\", "黄金", Str("sub"), 0.0, -0.0, 1.5, 1e300,
              5e-324, float("nan"), float("-inf"), 2**70, -3, datetime(2024, 1, 2, 9, 0, 0, 500),
              datetime(2024, 1, 2, 9, tzinfo=NEW_YORK)]
    rows = [tuple(rng.choice(values) for _ in range(rng.randrange(2, 9))) for _ in range(500)]
    assert _wire.csv_text(rows) == written(rows)
    assert _wire.csv_text([]) == ""
    for other in [Decimal("1.5"), True, b"x", "lone \ud800", [1]]:  # left to csv.writer
        assert _wire.csv_text(rows + [(1, other)]) is None
    assert _wire.csv_text([(None,), (1, 2)]) is None  # csv.writer writes a lone empty field as ""


def test_the_writers_float_text_is_repr():
    # Every bit pattern class: random doubles, subnormals, the powers of ten where repr
    # turns to an exponent and back, and prices as the service sends them.
    import struct

    from vnpy_norvix import _wire

    rng = random.Random(5)
    floats = [struct.unpack("d", struct.pack("Q", rng.getrandbits(64)))[0] for _ in range(60_000)]
    floats += [round(rng.uniform(0, 1e5), rng.randrange(5)) for _ in range(20_000)]
    floats += [float(f"{mantissa}e{k}") for k in range(-325, 309) for mantissa in ("1", "9.999999999999999", "-5")]
    floats += [float("nan"), float("-nan"), float("inf"), -0.0, 5e-324, 1.7976931348623157e308]
    rows = [(value, value) for value in floats]
    assert _wire.csv_text(rows) == "".join(f"{value!r},{value!r}\n" for value in floats)
    finite = [value for value in floats if math.isfinite(value)]
    literal = [repr(value) if "e" in repr(value) else f"{value!r}e0" for value in finite]
    assert _wire.mysql_values([(value,) for value in finite], 1 << 30) == [",".join(f"({text})" for text in literal)]

@pytest.mark.parametrize("failure", [None, RuntimeError("disk full"), KeyboardInterrupt()])
def test_a_window_replaces_its_days_and_records_them_in_one_transaction(backend, monkeypatch, failure):
    from datetime import date

    from vnpy_norvix import store
    from vnpy_norvix.calendar import Calendar

    database = backend.database
    backend.use("bulk")
    day, minute = date(2024, 5, 29), timedelta(minutes=1)
    calendar = Calendar([date(2024, 5, 28), day])
    key = ("rb2410", Exchange.SHFE, Interval.MINUTE)
    night = datetime(2024, 5, 28, 21, 0, tzinfo=SHANGHAI)  # the night session opening the day
    store.save_window(database, *key, bars("rb2410", Interval.MINUTE, night, 90, minute, seed=1), {day: 90},
                      datetime(2024, 5, 29, 10, 30, tzinfo=SHANGHAI), calendar)
    assert store.day_records(database, *key, day, day) == {day: store.DayRecord(90, False)}
    assert store.held_days(database, *key, day, day, calendar) == set()  # saved while trading
    before = backend.dump("bulk")

    later = bars("rb2410", Interval.MINUTE, night + minute, 60, minute, seed=2)  # lacks the first bar
    after_close = datetime(2024, 5, 29, 16, 0, tzinfo=SHANGHAI)
    if failure is not None:
        writer = type(store.sql_writer(database))
        written = writer.insert

        def broken(self, shape, rows, change=None):  # after the day's rows are deleted and the new ones written
            written(self, shape, rows)
            raise failure

        if backend.name != "postgresql":
            monkeypatch.setattr(writer, "insert", broken)
        else:  # within its COPY, once a piece of it is sent
            from vnpy_norvix.store import postgresql

            piece = postgresql.Pieces.piece

            def broken_piece(self):
                if self.left:
                    raise failure
                return piece(self)

            monkeypatch.setattr(postgresql, "COPY_ROWS", 7)
            monkeypatch.setattr(postgresql.Pieces, "piece", broken_piece)
        with pytest.raises(type(failure)):
            store.save_window(database, *key, later, {day: 60}, after_close, calendar)
        monkeypatch.undo()
        assert backend.dump("bulk") == before
        assert store.day_records(database, *key, day, day) == {day: store.DayRecord(90, False)}
        return

    store.save_window(database, *key, later, {day: 60}, after_close, calendar)
    stored = database.load_bar_data(*key, (night - minute).replace(tzinfo=None), (night + 100 * minute).replace(tzinfo=None))
    assert [bar.close_price for bar in stored] == pytest.approx([bar.close_price for bar in later], rel=1e-6)
    assert store.day_records(database, *key, day, day) == {day: store.DayRecord(60, True)}
    assert store.held_days(database, *key, day, day, calendar) == {day}
    assert store.day_counts(database, *key, date(2024, 5, 28), day, calendar) == {day: 60}
    database.delete_bar_data(*key)  # vn.py's own delete: the record no longer adds up
    assert store.held_days(database, *key, day, day, calendar) == set()


def test_windows_leave_what_the_adapter_leaves_after_deleting_their_days(backend, monkeypatch):
    # A window's rows inserted where none can meet a stored one once its days are deleted,
    # else upserted; the adapter's oracle: its model deletes the days' rows, then it saves.
    from vnpy_norvix import store
    from vnpy_norvix.store.writer import Writer

    database = backend.database
    module = type(database).__module__
    t0, minute = datetime(2024, 1, 2, 9, 0, tzinfo=SHANGHAI), timedelta(minutes=1)
    day = [store.stored_span(t0.replace(hour=0) + timedelta(days=i), t0.replace(hour=0) + timedelta(days=i + 1))
           for i in range(4)]
    signed = bars("rb2405", Interval.MINUTE, t0 + timedelta(days=1), 30, minute, seed=3)
    signed[4].volume = signed[9].open_interest = -0.0
    if backend.name == "postgresql":  # a NaN its driver sends otherwise, in a COPY of several pieces
        from vnpy_norvix.store import postgresql

        monkeypatch.setattr(postgresql, "COPY_ROWS", 7)
        signed[5].close_price = float("nan")
    repeated = bars("rb2405", Interval.MINUTE, t0 + timedelta(days=2), 150, minute, seed=5)
    windows = [  # (records, the stored days they replace, whether all are new)
        (bars("rb2405", Interval.MINUTE, t0, 60, minute, seed=1), day[:1], True),  # a new series
        (bars("rb2405", Interval.MINUTE, t0 + 10 * minute, 40, minute, seed=2), day[:1], True),  # over stored rows
        (signed, day[1:2], True),
        # one writer for all: its count of the entry dropped where a window deletes rows
        # it saves none in place of, and kept from what the windows change otherwise
        ([], day[1:2], True),
        (bars("rb2405", Interval.MINUTE, t0 + timedelta(days=1), 20, minute, seed=9), day[1:2], True),
        (bars("rb2405", Interval.MINUTE, t0 + timedelta(days=1, minutes=5), 25, minute, seed=10), day[1:2], True),
        (bars("rb2405", Interval.MINUTE, t0 + 30 * minute, 40, minute, seed=4)
         + bars("rb2405", Interval.MINUTE, t0 + timedelta(days=3), 20, minute, seed=4), day[3:], False),
        (repeated + [copy.copy(repeated[0])], day[2:3], False),
        (ticks("au2406", t0, 60, seed=6), day[:1], True),  # localtimes with and without a zone
        (ticks("au2406", t0 + timedelta(seconds=10), 60, seed=7), day[:1], True),
        # a fraction of a second MySQL's bars do not keep: two such times may be one key there
        (bars("ag2406", Interval.HOUR, t0.replace(microsecond=250_000), 5, timedelta(hours=1), seed=8), day[:1],
         backend.name != "mysql"),
    ]
    decided = []
    all_new = Writer.all_new
    monkeypatch.setattr(Writer, "all_new", lambda self, *args: decided.append(all_new(self, *args)) or decided[-1])
    writers: dict[str, Writer | None] = {}
    for records, spans, _ in windows:
        first = records[0] if records else first  # noqa: F821 - an empty window: the previous one's series
        tick = isinstance(first, TickData)
        backend.use("adapter")
        model = backend.models()[1 if tick else 0]
        within = [(model.datetime >= begin) & (model.datetime < end) for begin, end in spans]
        model.delete().where((model.symbol == first.symbol) & functools.reduce(operator.or_, within)).execute()
        if records:
            (database.save_tick_data if tick else database.save_bar_data)(copy.deepcopy(records))
        backend.use("bulk")
        table = "dbtickdata" if tick else "dbbardata"
        held = len(backend.dump("bulk")[table])
        key = (first.symbol, first.exchange.value) if tick else (first.symbol, first.exchange.value, first.interval.value)
        writer = store.run_writer(database, "ticks" if tick else "bars", writers)
        assert writer is not None
        gained = writer.save_window("ticks" if tick else "bars", records, key, spans, ())
        assert gained == len(backend.dump("bulk")[table]) - held
        overview = table.replace("data", "overview")
        assert backend.dump("bulk")[overview] == backend.dump("adapter")[overview]
    assert decided == [new for _, _, new in windows]
    adapter, bulk = backend.dump("adapter"), backend.dump("bulk")
    for table in TABLES:
        assert exact(bulk[table]) == exact(adapter[table]), table


def test_hourly_sums_by_one_query_are_the_rows_added_up(backend):
    """`verify`'s per-hour sums read by one aggregate query equal the rows added up one by
    one: a night session past midnight before a holiday, the day after it, volumes whose
    sum a single-precision column cannot hold, and ticks across an hour."""
    from vnpy_norvix.store import DatabaseStore
    from vnpy_norvix.store.base import Store

    backend.use("bulk")
    minute = timedelta(minutes=1)
    night = bars("au2406", Interval.MINUTE, datetime(2024, 6, 7, 21, 0, tzinfo=SHANGHAI), 330, minute, seed=21)
    after = bars("au2406", Interval.MINUTE, datetime(2024, 6, 11, 9, 0, tzinfo=SHANGHAI), 150, minute, seed=22)
    for i, bar in enumerate(night + after):
        bar.volume = 1_000_000 + i * 0.37
    backend.database.save_bar_data(list(reversed(night + after)))
    backend.database.save_tick_data(ticks("au2406", datetime(2024, 6, 11, 9, 59, 50, tzinfo=SHANGHAI), 60, seed=23))
    store = DatabaseStore(backend.database)
    for interval in (Interval.MINUTE, Interval.TICK):
        series = ("au2406", Exchange.SHFE, interval)
        by_query, by_rows = store.stretches(series), Store.stretches(store, series)
        assert [(s.begin, s.count, s.first, s.last) for s in by_query] == \
               [(s.begin, s.count, s.first, s.last) for s in by_rows]
        assert len(by_query) == (6 + 3 if interval == Interval.MINUTE else 2)
        for mine, theirs in zip(by_query, by_rows):
            assert mine.bar == (None if theirs.bar is None else pytest.approx(theirs.bar, rel=1e-12))


@pytest.mark.parametrize("zone", ["Asia/Shanghai", "America/New_York", "Asia/Kolkata"])
def test_a_tick_window_as_columns_gives_what_its_records_give(database, datafeed, zone, monkeypatch):
    """A download's tick window held as columns against the same answer as records: each
    trading day's tally, the bulk writers' rows in any "database.timezone" (times as text
    or as datetimes), and the TickData another adapter is handed."""
    from datetime import date

    import vnpy.trader.database as vn_database

    from vnpy_norvix import download as dl
    from vnpy_norvix.calendar import Calendar, Window
    from vnpy_norvix.store import days
    from vnpy_norvix.store.schema import TICKS

    source, day = dl.Source(datafeed), date(2024, 5, 28)  # its night session opens on the 27th
    calendar = Calendar(source.trading_days("rb2410", Exchange.SHFE, date(2024, 5, 27), day))
    window = Window(day, day)
    records = source.records("rb2410", Exchange.SHFE, Interval.TICK, window, calendar)
    columns = dl.Downloader(source, database, None).window(dl.Target("rb2410", Exchange.SHFE, day, day),
                                                           Interval.TICK, window, calendar)
    assert len(columns) == len(records) > 10_000
    assert columns.tallies(calendar) == days.tallies(records, Interval.TICK, calendar)
    assert list(columns) == records and columns[-1] == records[-1]
    assert {tick.datetime.tzinfo for tick in columns} == {records[0].datetime.tzinfo}
    monkeypatch.setattr(vn_database, "DB_TZ", ZoneInfo(zone))
    moment = TICKS.columns.index("datetime")
    for text_times in (False, True):
        expected = [row[:moment] + (str(row[moment]) if text_times else row[moment],) + row[moment + 1:]
                    for row in TICKS.rows(records, text_times)]
        assert TICKS.rows(columns, text_times) == expected


def test_wall_times_from_columns_are_convert_tz_s_across_changes_of_offset():
    import numpy as np
    from vnpy.trader.database import convert_tz

    from vnpy_norvix.store.ticks import as_datetimes, as_text, wall_micros

    changes = {"America/New_York": ["2024-03-10 06:59:59", "2024-11-03 05:30:00"],
               "Australia/Lord_Howe": ["2024-04-06 14:45:00", "2024-10-05 15:20:00"],  # half an hour
               "Asia/Shanghai": ["1991-09-14 15:00:00"], "UTC": ["2024-01-01 00:00:00"]}
    rng = random.Random(5)
    for zone, around in changes.items():
        moments = sorted(datetime.fromisoformat(text).replace(tzinfo=timezone.utc)
                         + timedelta(seconds=rng.randrange(-5400, 5400), microseconds=rng.choice([0, 0, 1, 999_999]))
                         for text in around for _ in range(400))
        instants = np.array([(m - datetime(1970, 1, 1, tzinfo=timezone.utc)) // timedelta(microseconds=1) * 1000
                             for m in moments], dtype=np.int64)
        with pytest.MonkeyPatch.context() as patch:
            import vnpy.trader.database as vn_database

            patch.setattr(vn_database, "DB_TZ", ZoneInfo(zone))
            expected = [convert_tz(m) for m in moments]
        wall = wall_micros(instants, ZoneInfo(zone))
        assert as_datetimes(wall) == expected and as_text(wall) == list(map(str, expected))


def test_rows_from_columns_are_zip_s():
    import numpy as np

    from vnpy_norvix import _wire

    rng = random.Random(6)
    reals = np.array([rng.uniform(-1e6, 1e6) for _ in range(50)] + [-0.0, float("nan"), float("inf"), 5e-324]
                     + [1.5, 1.5, 0.0, -0.0, -0.0, 0.0, 0.0])  # a repeated double: one float, by its bits
    texts = [rng.choice(["rb2405", None, "黄金"]) for _ in reals]
    columns = [reals, texts, ("SHFE",), reals[::-1].copy(), (None,)]
    expected = list(zip(reals.tolist(), texts, ["SHFE"] * len(reals), reals[::-1].tolist(), [None] * len(reals)))
    assert repr(_wire.column_rows(columns, len(reals))) == repr(expected)  # repr: NaN, and the sign of a zero
    assert _wire.column_rows([], 3) == []
    for odd in ([reals[:-1]], [texts[1:]], [reals.astype(np.float32)], [reals[::2]], [b"x" * 8], [{}]):
        with pytest.raises((ValueError, TypeError, BufferError)):
            _wire.column_rows([*odd, texts], len(reals))


def test_saves_of_any_length_prepare_few_statements(sqlite_backend, monkeypatch):
    """The connection keeps each statement it prepared by its text: saves of many lengths
    must not each leave one of their own."""
    from vnpy_norvix import store
    from vnpy_norvix.store import sqlite

    monkeypatch.setattr(sqlite, "ROWS_PER_STATEMENT", 16)
    sqlite_backend.use("bulk")
    texts: set[str] = set()
    sqlite_backend.database.db.connection().set_trace_callback(texts.add)
    t0 = datetime(2024, 1, 2, 9, tzinfo=SHANGHAI)
    for count in range(1, 41):
        store.save_bars(sqlite_backend.database, bars("rb2405", Interval.MINUTE, t0, count, timedelta(minutes=1), count))
    sqlite_backend.database.db.connection().set_trace_callback(None)
    head = 'INSERT OR REPLACE INTO "dbbardata"'
    inserts = {text.count("(") for text in texts if text.startswith(head)}  # rows a statement (+1)
    assert len(inserts) <= 5  # 16 rows, 8, 4, 2, 1
    assert len(sqlite_backend.dump("bulk")["dbbardata"]) == 40
