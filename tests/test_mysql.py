"""The MySQL bulk writer where MySQL differs from the other two databases: wall times of
China's summer-time years (an autumn hour given twice in one save), the case-insensitive
unique index, refused prices, and the tables it does not know."""

import copy
from datetime import datetime, timedelta, timezone

import peewee
import pytest
from vnpy.trader.constant import Exchange, Interval

from mariadb import mariadb  # noqa: F401  (a fixture)
from stores import SHANGHAI, bars, exact, my_databases, mysql_backend, snapshot, ticks  # noqa: F401
from commands import HISTORY_PATHS, ok

pytest.importorskip("vnpy_mysql")


def _save(database, kind, records, bulk):
    from vnpy_norvix import store

    if bulk:
        assert store.bulk_writer(database, kind) is not None
        (store.save_ticks if kind == "ticks" else store.save_bars)(database, records)
    else:
        given = copy.deepcopy(records)
        (database.save_tick_data if kind == "ticks" else database.save_bar_data)(given)


def test_summer_time_years_and_case_insensitive_keys_leave_what_the_adapter_leaves(mysql_backend):
    # Hourly bars given in UTC across April and September of 1986-1991: in Shanghai's wall
    # time a spring hour is missing and an autumn hour comes twice (one key, one save).
    summer = []
    for year in range(1986, 1992):
        for month in (4, 9):
            first = datetime(year, month, 1, tzinfo=timezone.utc)
            summer += bars("rb8610", Interval.HOUR, first, 30 * 24, timedelta(hours=1), seed=year * month)
    upper = bars("RB8610", Interval.HOUR, datetime(1988, 4, 5, tzinfo=timezone.utc), 48, timedelta(hours=1), 1)
    tick_list = ticks("au8609", datetime(1986, 9, 13, 23, 59, 50, tzinfo=timezone.utc), 60, seed=2)
    tick_list[7].last_price = -0.0
    tick_list[8].turnover, tick_list[9].open_interest = 1.5e16, 2.5e-7  # reprs with an exponent of their own
    operations = [("bars", summer[:5000]), ("bars", summer[4000:]), ("bars", upper), ("ticks", tick_list),
                  ("ticks", ticks("AU8609", datetime(1986, 9, 14, tzinfo=timezone.utc), 10, seed=3))]
    for side in ("adapter", "bulk"):
        mysql_backend.use(side)
        for kind, records in operations:
            held = snapshot(records)
            _save(mysql_backend.database, kind, records, side == "bulk")
            assert snapshot(records) == held
    adapter, bulk = mysql_backend.dump("adapter"), mysql_backend.dump("bulk")
    # the autumn hour twice, RB8610 replacing rb8610 rows, the overview found case-insensitively
    assert len(adapter["dbbardata"]) < len(summer) and len(adapter["dbbaroverview"]) == 1
    for table, rows in adapter.items():
        assert exact(bulk[table]) == exact(rows), table


def test_an_overview_taken_earlier_or_left_as_it_was_is_the_adapters(mysql_backend):
    # The entry the server updates in place: an earlier start (of a tick with a fraction of
    # a second), and a save that changes nothing in it (then it is only looked up).
    hour = timedelta(hours=1)
    later = bars("rb2405", Interval.HOUR, datetime(2024, 1, 3, tzinfo=timezone.utc), 6, hour, seed=5)
    operations = [("bars", later), ("bars", bars("rb2405", Interval.HOUR, datetime(2024, 1, 2, tzinfo=timezone.utc),
                                                  3, hour, seed=6)), ("bars", later),
                  ("ticks", ticks("au2406", datetime(2024, 1, 2, 1, tzinfo=timezone.utc), 4, seed=7)),
                  ("ticks", ticks("au2406", datetime(2024, 1, 2, 0, 59, 58, 700000, tzinfo=timezone.utc), 3, seed=8))]
    for side in ("adapter", "bulk"):
        mysql_backend.use(side)
        for kind, records in operations:
            _save(mysql_backend.database, kind, records, side == "bulk")
    adapter, bulk = mysql_backend.dump("adapter"), mysql_backend.dump("bulk")
    for table, rows in adapter.items():
        assert exact(bulk[table]) == exact(rows), table


@pytest.mark.parametrize("odd", [float("nan"), float("inf"), float("-inf")])
def test_a_price_the_server_cannot_hold_is_refused_before_anything_is_written(mysql_backend, odd, monkeypatch):
    from vnpy_norvix.store import mysql

    t0 = datetime(2024, 1, 2, 9, tzinfo=SHANGHAI)
    kept = bars("rb2405", Interval.MINUTE, t0, 10, timedelta(minutes=1), seed=4)
    refused = bars("rb2405", Interval.MINUTE, t0, 300, timedelta(minutes=1), seed=5)
    refused[260].high_price = odd  # after the adapter's first statements, and the writer's
    tick_list = ticks("au2406", t0, 3, seed=6)
    tick_list[2].bid_price_4 = odd
    monkeypatch.setattr(mysql, "STATEMENT_BYTES", 4096)  # the writer's statements: a dozen for the bars
    mysql_backend.use("bulk")
    _save(mysql_backend.database, "bars", kept, True)
    before = mysql_backend.dump("bulk")
    for bulk in (True, False):  # the writer's first: the adapter's statements draw ids
        for kind, records in (("bars", refused), ("ticks", tick_list)):
            with pytest.raises(peewee.ProgrammingError, match="can not be used with MySQL"):
                _save(mysql_backend.database, kind, records, bulk)
        mysql_backend.use("bulk")
        assert mysql_backend.dump("bulk") == before
        if bulk:  # nothing was sent: the next bar takes the id after the kept ones
            _save(mysql_backend.database, "bars", refused[:1], True)
            before = mysql_backend.dump("bulk")
            assert before["dbbardata"][-1][0] == len(kept) + 1


def test_tables_it_does_not_know_are_left_to_the_adapter(mysql_backend, monkeypatch):
    from vnpy_norvix import store

    mysql_backend.use("bulk")
    database = mysql_backend.database
    assert store.describe(database) == f"MySQL 127.0.0.1:{database.db.connect_params['port']}/side_bulk"
    assert store.bulk_writer(database, "ticks") is not None
    with monkeypatch.context() as patch:  # a model declaring another field class
        field = mysql_backend.models()[1]._meta.fields["localtime"]
        patch.setattr(field, "__class__", peewee.DateTimeField)
        assert store.bulk_writer(database, "ticks") is None
    database.db.execute_sql("ALTER TABLE dbtickdata DROP INDEX dbtickdata_symbol_exchange_datetime")
    assert store.bulk_writer(database, "ticks") is None and store.bulk_writer(database, "bars") is not None
    records = ticks("au2406", datetime(2024, 1, 2, 9, tzinfo=SHANGHAI), 5, seed=7)
    store.save_ticks(database, records)
    store.save_ticks(database, records)  # without the unique index the adapter keeps both
    assert len(mysql_backend.dump("bulk")["dbtickdata"]) == 10


def test_times_cut_to_the_hour_and_minute_group_as_python_groups_them(mysql_backend):
    from collections import Counter

    from vnpy_norvix import store

    mysql_backend.use("bulk")
    database = mysql_backend.database
    records = ticks("au2406", datetime(2024, 1, 2, 9, 59, 58, tzinfo=SHANGHAI), 400, seed=8)  # across hours
    store.save_ticks(database, records)
    writer = store.bulk_writer(database, "ticks")
    stored = [row[3] for row in mysql_backend.dump("bulk")["dbtickdata"]]
    for unit, cut in (("hour", dict(minute=0, second=0, microsecond=0)), ("minute", dict(second=0, microsecond=0))):
        sql = writer.truncated("`datetime`", unit)
        found = {writer.read_truncated(value): count for value, count in
                 writer.execute(f"SELECT {sql}, COUNT(*) FROM dbtickdata WHERE symbol = %s GROUP BY {sql}",
                                ("au2406",))}
        assert found == Counter(moment.replace(**cut) for moment in stored) and len(found) > 1


def test_update_verify_and_repair_keep_a_mysql_store_whole(tmp_path, counting_service, mariadb):
    # The commands remembered in a table of the same database, a second update asking for
    # no minute bars, and verify's counts, checks and repair done by queries in MySQL's dialect.
    import json
    from contextlib import closing

    import pymysql

    from commands import cli, make_home, run_at

    login = dict(host="127.0.0.1", port=mariadb["database.port"], user=mariadb["database.user"],
                 password=mariadb["database.password"], autocommit=True)
    with closing(pymysql.connect(**login)) as connection:
        connection.cursor().execute("CREATE DATABASE kept")

    def rows(*statements):
        with closing(pymysql.connect(**login, database="kept")) as connection, connection.cursor() as cursor:
            for statement in statements:
                cursor.execute(statement)
            cursor.execute("SELECT symbol, exchange, `interval`, datetime, open_price, high_price, low_price, "
                           "close_price, volume FROM dbbardata ORDER BY 1, 3, 4")
            return cursor.fetchall()

    home = make_home(tmp_path, counting_service.url, **{**mariadb, "database.database": "kept"})
    friday = datetime(2024, 5, 10, 18, 30, tzinfo=SHANGHAI)  # nightly commands, without an end
    ok(run_at(home, friday, "download", "rb2410.SHFE", "--start", "2024-05-06", "--interval", "d", "1m"))
    ok(run_at(home, friday, "continuous", "au", "--start", "2024-05-06", "--interval", "d"))
    later = datetime(2024, 5, 17, 18, 30, tzinfo=SHANGHAI)  # a week later, checked up to that evening
    ok(run_at(home, later, "update"))
    counting_service.counts.clear()
    ok(run_at(home, later, "update"))
    assert {path: counting_service.counts.get(path, 0) for path in HISTORY_PATHS} == dict.fromkeys(HISTORY_PATHS, 0)
    assert "[2] continuous au" in ok(cli(home, "commands")).stdout
    assert "3 series checked, 0 findings" in ok(run_at(home, later, "verify")).stdout
    whole = rows()

    rows("DELETE FROM dbbardata WHERE symbol = 'rb2410' AND `interval` = '1m' "
         "AND datetime BETWEEN '2024-05-15 20:00' AND '2024-05-16 16:00'",
         "UPDATE dbbardata SET high_price = low_price - 1 WHERE symbol = 'rb2410' AND `interval` = '1m' "
         "AND datetime = '2024-05-13 09:30:00'")
    found = run_at(home, later, "verify", "--repair", "--json")
    assert found.returncode == 0, found.stdout + found.stderr
    assert {(f["series"], f["day"], f["defect"]) for f in json.loads(found.stdout)["findings"]} == {
        ("rb2410.SHFE 1m", "2024-05-16", "missing"), ("rb2410.SHFE 1m", "2024-05-13", "prices"),
        ("rb2410.SHFE 1m", None, "overview")}
    assert "3 series checked, 0 findings" in ok(run_at(home, later, "verify")).stdout
    assert rows() == whole
    ok(cli(home, "commands", "--forget", "2"))
    assert "continuous" not in ok(cli(home, "commands")).stdout


def test_a_first_window_interrupted_after_its_rows_leaves_the_store_as_it_was(mysql_backend, monkeypatch):
    # The completeness record's table is made by the first window saved; MySQL ends the
    # transaction under way at a CREATE TABLE, which must not commit the window's rows.
    from datetime import date

    from vnpy_norvix import store
    from vnpy_norvix.store.mysql import MysqlWriter

    mysql_backend.use("bulk")
    database = mysql_backend.database
    store.save_bars(database, bars("rb2405", Interval.MINUTE, datetime(2024, 1, 2, 9, tzinfo=SHANGHAI), 5,
                                   timedelta(minutes=1), seed=9))
    database.db.execute_sql("DROP TABLE IF EXISTS norvixday")
    before = mysql_backend.dump("bulk")

    def interrupted(self, days):
        raise KeyboardInterrupt

    monkeypatch.setattr(MysqlWriter, "record_days", interrupted)
    records = bars("rb2405", Interval.MINUTE, datetime(2024, 1, 2, 9, 2, tzinfo=SHANGHAI), 10, timedelta(minutes=1),
                   seed=10)
    with pytest.raises(KeyboardInterrupt):
        store.save_window(database, "rb2405", Exchange.SHFE, Interval.MINUTE, records, {date(2024, 1, 2): 10},
                          datetime(2024, 1, 3, tzinfo=SHANGHAI))
    assert mysql_backend.dump("bulk") == before


def test_values_text_is_the_drivers_literals_and_stays_within_the_limit(mysql_backend):
    # The native text against the Python literals, row for row, on the adapter's own
    # connection; values it does not write leave the whole text to the Python path.
    import random
    import struct
    from decimal import Decimal

    from vnpy_norvix import _wire
    from vnpy_norvix.store.mysql import MysqlWriter
    from vnpy_norvix.store.schema import BARS, TICKS

    mysql_backend.use("bulk")
    writer = MysqlWriter(mysql_backend.database.db)
    rng = random.Random(28)
    floats = [-0.0, 0.0, 1e-7, 1e22, 1e16, 5e-324, 2.2250738585072014e-308, 0.1 + 0.2, 123456789.12345678,
              -1.7976931348623157e308, 480.04]
    texts = ["", "rb2405", "黄金", "it's", 'say "x"', "back\\slash", "nul\0", "cr\r lf\n", "sub\x1a", "%s %%", "\t"]
    times = [datetime(1986, 9, 14, 1, 30), datetime(2024, 1, 2, 9, 0, 0, 500), datetime(9, 1, 2, 3, 4, 5, 999999),
             datetime(2024, 1, 2, 9, tzinfo=SHANGHAI), datetime(2024, 1, 2, 9, 1, 2, 3, tzinfo=timezone.utc)]

    def value(column, shape):
        if column in shape.reals:
            return rng.choice(floats + [struct.unpack("d", struct.pack("Q", rng.getrandbits(62)))[0],
                                        rng.uniform(-1e6, 1e6), None, 7, -(2**70)])
        if column in ("datetime", "localtime"):
            moment = rng.choice(times + [None])
            return str(moment.replace(tzinfo=None)) if column == "datetime" and moment else moment
        return rng.choice(texts + [None])

    for shape in (BARS, TICKS):
        rows = [tuple(value(column, shape) for column in shape.columns) for _ in range(400)]
        expected = writer.literals(shape, rows)
        for limit in (1, 500, 1 << 20):
            pieces = _wire.mysql_values(rows, limit)
            assert ",".join(pieces) == ",".join(expected)
            assert all(len(piece.encode()) <= limit or "),(" not in piece for piece in pieces)  # a longer row alone
        assert len(_wire.mysql_values(rows, 1)) == len(rows) and len(_wire.mysql_values(rows, 1 << 20)) == 1
        for other in (float("nan"), float("-inf"), Decimal("1.5"), True, b"x", "lone \ud800", [1]):
            assert _wire.mysql_values(rows + [(*rows[0][:-1], other)], 1 << 20) is None
            assert not _wire.mysql_written(rows + [(*rows[0][:-1], other)])
        assert _wire.mysql_written(rows)
        assert writer.values(shape, rows, 1 << 20) == [",".join(expected)]
    assert _wire.mysql_values([], 100) == []


def test_saves_report_the_rows_they_added(mysql_backend):
    # What the server counts as affected rows, against the rows the table holds: new rows,
    # re-saved ones, one given twice in a call, another case of a stored key, a window's days.
    from datetime import date

    from vnpy_norvix import store
    from vnpy_norvix.store.mysql import MysqlWriter

    mysql_backend.use("bulk")
    database = mysql_backend.database

    def held():
        return len(mysql_backend.dump("bulk")["dbbardata"])

    t0, minute = datetime(2024, 1, 2, 9, tzinfo=SHANGHAI), timedelta(minutes=1)
    first = bars("rb2405", Interval.MINUTE, t0, 50, minute, seed=11)
    twice = bars("rb2405", Interval.MINUTE, t0 + 40 * minute, 30, minute, seed=12)
    twice.append(copy.copy(twice[-1]))
    saves = [lambda: store.save_bars(database, first), lambda: store.save_bars(database, twice),
             lambda: store.save_bars(database, bars("RB2405", Interval.MINUTE, t0, 5, minute, seed=13)),
             lambda: store.save_window(database, "rb2405", Exchange.SHFE, Interval.MINUTE,
                                       bars("rb2405", Interval.MINUTE, t0 + 10 * minute, 20, minute, seed=14),
                                       {date(2024, 1, 2): 20}, datetime(2024, 1, 3, tzinfo=SHANGHAI))]
    # A window of more days than one DELETE takes: two bars a day stored, one saved again.
    days = [day for day in (date(2024, 2, 1) + timedelta(days=i) for i in range(100)) if day.weekday() < 5]

    def daily(count, seed):
        return [bar for i, day in enumerate(days) for bar in bars(
            "rb2405", Interval.MINUTE, datetime(day.year, day.month, day.day, 10, tzinfo=SHANGHAI), count, minute,
            seed + i)]

    def window(records, count):
        return lambda: store.save_window(database, "rb2405", Exchange.SHFE, Interval.MINUTE, records,
                                         dict.fromkeys(days, count), datetime(2024, 7, 1, tzinfo=SHANGHAI))

    saves += [window(daily(2, 15), 2), window(daily(1, 16), 1)]
    gains = []
    for save in saves:
        before = held()
        gains.append((save(), held() - before))
    assert len(days) > MysqlWriter.SPANS
    assert [reported for reported, _ in gains] == [counted for _, counted in gains] == [
        50, 20, 0, -50, 2 * len(days), -len(days)]
