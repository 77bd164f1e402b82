"""Records to save and the database adapters to save them through: vn.py's SQLite,
PostgreSQL and MySQL adapters, each over two databases ("adapter" and "bulk") whose
tables can be read back row by row."""

import copy
import random
import sqlite3
import sys
from contextlib import closing
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Callable
from zoneinfo import ZoneInfo

import pytest
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData, TickData

from mariadb import mariadb  # noqa: F401  (a fixture)
from pg import PG_PASSWORD, PG_USER, postgres  # noqa: F401  (a fixture)

SHANGHAI, NEW_YORK = ZoneInfo("Asia/Shanghai"), ZoneInfo("America/New_York")
TABLES = ("dbbardata", "dbbaroverview", "dbtickdata", "dbtickoverview")


def bars(symbol: str, interval: Interval, first: datetime, count: int, step: timedelta, seed: int,
         exchange: Exchange = Exchange.SHFE) -> list[BarData]:
    """Bars with prices of many digits (a REAL column rounds them) and the given times."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        price = rng.uniform(100, 5000)
        out.append(BarData(gateway_name="NORVIX", symbol=symbol, exchange=exchange, datetime=first + i * step,
                           interval=interval, volume=rng.randrange(0, 10_000), turnover=price * 7.3,
                           open_interest=rng.uniform(0, 1e6), open_price=price, high_price=price + rng.random(),
                           low_price=price - rng.random(), close_price=price + rng.uniform(-1, 1)))
    return out


def ticks(symbol: str, first: datetime, count: int, seed: int) -> list[TickData]:
    rng = random.Random(seed)
    names = ["", "黄金2406", 'quote " and, comma', "line\nbreak\\tab\t"]
    localtimes = [None, datetime(2024, 1, 2, 9, 0, 1, 500), datetime(2024, 1, 2, 9, 0, 1, tzinfo=NEW_YORK)]
    out = []
    for i in range(count):
        price = rng.uniform(400, 600)
        tick = TickData(gateway_name="NORVIX", symbol=symbol, exchange=Exchange.SHFE,
                        datetime=first + timedelta(milliseconds=500 * i), name=names[i % len(names)],
                        volume=rng.randrange(10_000), turnover=price * 1000, open_interest=rng.uniform(0, 1e5),
                        last_price=price, last_volume=rng.randrange(50), limit_up=660.5, limit_down=440.25,
                        open_price=500.1, high_price=610.3, low_price=401.7, pre_close=499.9,
                        localtime=localtimes[i % len(localtimes)])
        for level in range(1, 6):
            setattr(tick, f"bid_price_{level}", price - level * 0.02)
            setattr(tick, f"ask_price_{level}", price + level * 0.02)
            setattr(tick, f"bid_volume_{level}", float(rng.randrange(100)))
            setattr(tick, f"ask_volume_{level}", float(rng.randrange(100)))
        out.append(tick)
    return out


def snapshot(records: list) -> list[dict]:
    return [copy.deepcopy(vars(record)) for record in records]


# --- the two adapters, each over two databases ----------------------------------------------


@dataclass
class Backend:
    name: str
    database: object  # the adapter's database object
    use: Callable[[str], None]  # points the adapter at the "adapter" or the "bulk" database
    dump: Callable[[str], dict[str, list[tuple]]]  # every table of one database, by id

    def models(self) -> list:
        module = sys.modules[type(self.database).__module__]
        return [module.DbBarData, module.DbTickData, module.DbBarOverview, module.DbTickOverview]


@pytest.fixture
def sqlite_backend(database, tmp_path):
    module = sys.modules["vnpy_sqlite.sqlite_database"]
    original = module.db.database
    files = {side: tmp_path / f"{side}.db" for side in ("adapter", "bulk")}

    def use(side: str) -> None:
        module.db.close()
        module.db.init(str(files[side]))
        module.db.connect()
        module.db.create_tables([module.DbBarData, module.DbTickData, module.DbBarOverview, module.DbTickOverview])

    def dump(side: str) -> dict[str, list[tuple]]:
        with closing(sqlite3.connect(files[side])) as connection:
            return {table: connection.execute(f"SELECT * FROM {table} ORDER BY id").fetchall() for table in TABLES}

    yield Backend("sqlite", database, use, dump)
    module.db.close()
    module.db.init(original)
    module.db.connect()


def dump_tables(connection) -> dict[str, list[tuple]]:
    """Every table of a server's database, by id; the connection closed."""
    with closing(connection):
        cursor = connection.cursor()
        tables = {}
        for table in TABLES:
            cursor.execute(f"SELECT * FROM {table} ORDER BY id")
            tables[table] = list(cursor.fetchall())
        return tables


def fresh_sides(module, params: dict, monkeypatch) -> Callable[[str], None]:
    """Fresh tables (and id counters) in the server adapter's two databases, in vn.py's
    Shanghai zone; what points the adapter at one of them."""
    import vnpy.trader.database as vn_database

    monkeypatch.setattr(vn_database, "DB_TZ", SHANGHAI)
    monkeypatch.setattr(module, "DB_TZ", SHANGHAI)

    def use(side: str) -> None:
        module.db.init(f"side_{side}", **params)  # closes the open connection
        module.db.connect()

    models = [module.DbBarData, module.DbTickData, module.DbBarOverview, module.DbTickOverview]
    for side in ("bulk", "adapter"):
        use(side)
        module.db.drop_tables(models)
        module.db.create_tables(models)
    return use


@pytest.fixture(scope="module")
def pg_databases(postgres):
    import psycopg2

    params = dict(host="127.0.0.1", port=postgres["database.port"], user=PG_USER, password=PG_PASSWORD)
    with closing(psycopg2.connect(dbname="postgres", **params)) as connection:
        connection.autocommit = True
        for side in ("adapter", "bulk"):
            connection.cursor().execute(f"CREATE DATABASE side_{side}")
    return params


@pytest.fixture
def postgresql_backend(pg_databases, settings, monkeypatch, shanghai_clock):
    import psycopg2
    import vnpy_postgresql.postgresql_database as module

    use = fresh_sides(module, pg_databases, monkeypatch)
    database = module.PostgresqlDatabase()

    def dump(side: str) -> dict[str, list[tuple]]:
        return dump_tables(psycopg2.connect(dbname=f"side_{side}", **pg_databases))

    yield Backend("postgresql", database, use, dump)
    module.db.close()


@pytest.fixture(scope="module")
def my_databases(mariadb):
    import pymysql

    params = dict(host="127.0.0.1", port=mariadb["database.port"], user=mariadb["database.user"],
                  password=mariadb["database.password"])
    with closing(pymysql.connect(**params)) as connection:
        for side in ("adapter", "bulk"):
            connection.cursor().execute(f"CREATE DATABASE side_{side}")
    return params


@pytest.fixture
def mysql_backend(my_databases, settings, monkeypatch, shanghai_clock):
    import pymysql

    pytest.importorskip("vnpy_mysql")
    import vnpy_mysql.mysql_database as module

    use = fresh_sides(module, my_databases, monkeypatch)
    module.db.close()
    database = module.MysqlDatabase()  # connects

    def dump(side: str) -> dict[str, list[tuple]]:
        return dump_tables(pymysql.connect(database=f"side_{side}", **my_databases))

    yield Backend("mysql", database, use, dump)
    module.db.close()


def exact(rows: list[tuple]) -> list[tuple]:
    """The rows with floats as their exact text: NaN equal to NaN, -0.0 unequal to 0.0."""
    return [tuple(value.hex() if isinstance(value, float) else value for value in row) for row in rows]
