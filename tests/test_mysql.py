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


@pytest.mark.parametrize("odd", [float("nan"), float("inf"), float("-inf")])
def test_a_price_the_server_cannot_hold_is_refused_before_anything_is_written(mysql_backend, odd):
    t0 = datetime(2024, 1, 2, 9, tzinfo=SHANGHAI)
    kept = bars("rb2405", Interval.MINUTE, t0, 10, timedelta(minutes=1), seed=4)
    refused = bars("rb2405", Interval.MINUTE, t0, 300, timedelta(minutes=1), seed=5)
    refused[260].high_price = odd  # after the adapter's first statements
    tick_list = ticks("au2406", t0, 3, seed=6)
    tick_list[2].bid_price_4 = odd
    mysql_backend.use("bulk")
    _save(mysql_backend.database, "bars", kept, True)
    before = mysql_backend.dump("bulk")
    for bulk in (False, True):
        for kind, records in (("bars", refused), ("ticks", tick_list)):
            with pytest.raises(peewee.ProgrammingError, match="can not be used with MySQL"):
                _save(mysql_backend.database, kind, records, bulk)
    mysql_backend.use("bulk")
    assert mysql_backend.dump("bulk") == before


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
