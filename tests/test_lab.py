"""AlphaLab folders filled by the command line (--lab) from the local data service:
equal, file for file, to what AlphaLab.save_bar_data makes of the same records (merges over
existing files included), resumed per trading day, contract.json as add_contract_setting
leaves it, and vn.py's own research flow (load_bar_df, Alpha158) over the result."""

import json
import os
import random
import stat
from datetime import date, datetime, timedelta
from pathlib import Path

import polars as pl
import pytest
from polars.testing import assert_frame_equal
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.object import BarData

from commands import cli, make_home
from helpers import SERVICE_TOKEN, SERVICE_USER, SHANGHAI, envelope, reply_json

from vnpy_norvix import Datafeed, _wire
from vnpy_norvix import download as dl
from vnpy_norvix.calendar import Calendar, Window
from vnpy_norvix.engine import ColumnAnswer
from vnpy_norvix.history import Fetched
from vnpy_norvix.continuous import continuous_bars
from vnpy_norvix.history.frames import answers_frame
from vnpy_norvix.history.select import window_frame, window_records
from vnpy_norvix.research.lab import add_contract, bars_frame, lab_frame, save_lab_bars

pytest.importorskip("vnpy.alpha")
from vnpy.alpha import AlphaLab, Segment  # noqa: E402

CONTRACT = "rb2410"


def lab_files(lab: Path) -> dict[str, pl.DataFrame]:
    return {str(path.relative_to(lab)): pl.read_parquet(path) for path in sorted(lab.glob("*/*.parquet"))}


def windows_to_fetch(result) -> int:
    plan = next(line for line in result.stdout.splitlines() if line.startswith("download: "))
    return int(plan.split(" window")[0].rsplit(" ", 1)[-1])


def test_a_lab_written_by_download_equals_save_bar_data_of_the_records_and_resumes(tmp_path, service):
    home = make_home(tmp_path, service)
    made, reference = tmp_path / "made", tmp_path / "reference"
    ranges = [("2024-05-06", "2024-05-10"), ("2024-05-08", "2024-05-17")]  # the second merges over the first

    feed = Datafeed()
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    feed.base_url = service
    source = dl.Source(feed)
    lab = AlphaLab(str(reference))
    for first, last in ranges:
        result = cli(home, "download", f"{CONTRACT}.SHFE", "--start", first, "--end", last, "--interval", "d", "1m",
                     "--lab", str(made), *(["--rates", "0.0001", "0.0002"] if last == ranges[1][1] else []))
        assert result.returncode == 0, result.stdout + result.stderr
        for interval in (Interval.DAILY, Interval.MINUTE):
            for bars in source.history(CONTRACT, Exchange.SHFE, interval, date.fromisoformat(first),
                                       date.fromisoformat(last)):
                lab.save_bar_data(bars)

    files = lab_files(made)
    assert set(files) == {f"daily/{CONTRACT}.SHFE.parquet", f"minute/{CONTRACT}.SHFE.parquet"}
    assert files["daily/rb2410.SHFE.parquet"].height == 10 and files["minute/rb2410.SHFE.parquet"].height > 3000
    for name, frame in lab_files(reference).items():
        assert_frame_equal(files[name], frame)
    assert not list(made.glob("**/*.tmp"))
    # Nothing of the range is fetched again, and nothing is written into vn.py's database.
    again = cli(home, "download", f"{CONTRACT}.SHFE", "--start", "2024-05-06", "--end", "2024-05-17",
                "--interval", "d", "1m", "--lab", str(made))
    assert again.returncode == 0 and windows_to_fetch(again) == 0, again.stdout + again.stderr
    assert not (home / ".vntrader" / "database.db").exists()
    # A lab keeps no ticks nor hour bars: a usage error, before anything is asked.
    assert cli(home, "download", f"{CONTRACT}.SHFE", "--start", "2024-05-06", "--interval", "tick",
               "--lab", str(made)).returncode == 2

    # contract.json: the size and price tick from the service's terms, the rates as given.
    assert json.loads((made / "contract.json").read_text("UTF-8")) == {
        "rb2410.SHFE": {"long_rate": 0.0001, "short_rate": 0.0002, "size": 10.0, "pricetick": 1.0}}


@pytest.mark.parametrize("interval", [Interval.MINUTE, Interval.DAILY])
def test_a_window_of_columns_keeps_the_bars_the_records_selection_keeps(interval):
    # Answers holding bars of other trading days (nights, early mornings, holidays), times
    # given twice with other values, out of order: the frame keeps what `select` keeps.
    rng = random.Random(7)
    kind, key = ("minute", "trading_datetime") if interval == Interval.MINUTE else ("day", "trading_date")
    days = [date(2024, 5, 6) + timedelta(days=n) for n in range(12)]
    calendar = Calendar([day for day in days if day.weekday() < 5 and day != date(2024, 5, 9)])
    for _ in range(20):
        moments = [datetime.combine(rng.choice(days), datetime.min.time()) + timedelta(
            minutes=rng.choice([0, 359, 360, 361, 600, 1199, 1200, 1201, 1439])) for _ in range(40)]
        records = [{key: moment.isoformat(" ") if kind == "minute" else moment.date().isoformat(),
                    "open_price": n, "high_price": n + 1.5, "low_price": n - 1, "close_price": n + 0.5,
                    "volume": 3 * n, "turnover": 7.25 * n, "open_interest": 100 + n} for n, moment in enumerate(moments)]
        bodies = [json.dumps({"code": 0, "data": part}).encode() for part in (records[:25], records[25:])]
        first = rng.choice(calendar.days[:-1])
        window = Window(first, rng.choice([day for day in calendar.days if day >= first]))
        fetched = Fetched([ColumnAnswer(columns=_wire.decode_columns(kind, body, None)[1]) for body in bodies])
        bars = [bar for body in bodies for bar in _wire.decode(kind, body, CONTRACT, Exchange.SHFE, None)[1]]
        expected = lab_frame(bars_frame(window_records(bars, interval, window, calendar)))
        got = window_frame(answers_frame(fetched, CONTRACT, Exchange.SHFE, interval), interval, window, calendar)
        assert_frame_equal(lab_frame(got), expected)


def test_a_new_bar_replaces_the_one_held_at_its_time_and_the_file_stays_sorted(tmp_path):
    stamp = pl.Datetime("ns", "Asia/Shanghai")
    times = pl.Series([1_714_960_800, 1_714_960_860, 1_714_960_920]).cast(pl.Int64) * 1_000_000_000

    def frame(seconds: pl.Series, price: float) -> pl.DataFrame:
        return pl.DataFrame({"datetime": seconds.cast(stamp), **{name: [price] * len(seconds) for name in (
            "open_price", "high_price", "low_price", "close_price", "volume", "turnover", "open_interest")}})

    save_lab_bars(tmp_path, "rb2410.SHFE", Interval.MINUTE, frame(times[1:], 1.0))
    save_lab_bars(tmp_path, "rb2410.SHFE", Interval.MINUTE, frame(times[:2], 2.0))
    held = pl.read_parquet(tmp_path / "minute" / "rb2410.SHFE.parquet")
    assert held["close"].to_list() == [2.0, 2.0, 1.0] and held["datetime"].is_sorted()
    with pytest.raises(ValueError):
        save_lab_bars(tmp_path, "rb2410.SHFE", Interval.HOUR, frame(times, 1.0))


def test_load_bar_df_and_alpha158_over_a_lab_of_two_products(tmp_path, service):
    home = make_home(tmp_path, service)
    lab_path = tmp_path / "lab"
    result = cli(home, "download", "--product", "rb", "au", "--start", "2024-01-02", "--end", "2024-04-30",
                 "--interval", "d", "--lab", str(lab_path))
    assert result.returncode == 0, result.stdout + result.stderr
    series = cli(home, "continuous", "rb", "--start", "2024-01-02", "--end", "2024-04-30", "--interval", "d",
                 "--lab", str(lab_path), "--rates", "0.001", "0.002")
    assert series.returncode == 0, series.stdout + series.stderr

    lab = AlphaLab(str(lab_path))
    contracts = lab.load_contract_setttings()
    assert {entry["size"] for entry in contracts.values()} == {10.0, 1000.0} and "rb888.SHFE" in contracts
    assert [contracts["rb888.SHFE"][rate] for rate in ("long_rate", "short_rate")] == [0.001, 0.002]
    assert {entry["long_rate"] for name, entry in contracts.items() if name != "rb888.SHFE"} == {0.0}
    vt_symbols = sorted(contracts)
    df = lab.load_bar_df(vt_symbols, Interval.DAILY, "2024-01-02", "2024-04-30", extended_days=0)
    assert df is not None and set(df["vt_symbol"]) == set(vt_symbols)

    from vnpy.alpha.dataset.datasets.alpha_158 import Alpha158

    dataset = Alpha158(df, ("2024-01-02", "2024-02-29"), ("2024-03-01", "2024-03-29"), ("2024-04-01", "2024-04-30"))
    dataset.prepare_data(max_workers=1)
    features = dataset.fetch_raw(Segment.TRAIN)
    expected = (df.select("datetime", "vt_symbol", ((pl.col("close") - pl.col("open")) / pl.col("open")).alias("k"))
                .join(features.select("datetime", "vt_symbol", "kmid"), on=["datetime", "vt_symbol"]))
    assert expected.height > 20
    assert_frame_equal(expected.select(pl.col("k").alias("kmid")), expected.select("kmid"))


def test_a_continuous_series_replaces_its_lab_file_whole(tmp_path, service):
    # Two builds from different starts adjust the same contract by different factors: a
    # file that spliced them would jump inside one contract.
    home = make_home(tmp_path, service)
    lab_path = tmp_path / "lab"
    for start in ("2023-07-03", "2024-01-02"):
        result = cli(home, "continuous", "rb", "--start", start, "--end", "2024-05-31", "--interval", "d",
                     "--lab", str(lab_path))
        assert result.returncode == 0, result.stdout + result.stderr

    feed = Datafeed()
    feed.initialize(SERVICE_USER, SERVICE_TOKEN)
    feed.base_url = service
    series = continuous_bars(feed, "rb", date(2024, 1, 2), date(2024, 5, 31))
    assert series.rolls, "the range holds a roll"
    assert_frame_equal(pl.read_parquet(lab_path / "daily" / "rb888.SHFE.parquet"),
                       lab_frame(bars_frame(series.bars)))


def test_lab_files_are_written_for_contracts_only_and_inside_the_lab(tmp_path, server):
    frame = bars_frame([])
    for vt_symbol in ("../../outside/rb2410.SHFE", "rb2410.NOWHERE", "rb 2410.SHFE", ".SHFE"):
        with pytest.raises(ValueError, match="is not a contract"):
            save_lab_bars(tmp_path / "lab", vt_symbol, Interval.DAILY, frame)
    # A file that links out of the lab is not written through.
    outside = tmp_path / "outside"
    outside.mkdir()
    (tmp_path / "lab" / "minute").rmdir()
    (tmp_path / "lab" / "minute").symlink_to(outside, target_is_directory=True)
    with pytest.raises(ValueError, match="outside the folder"):
        save_lab_bars(tmp_path / "lab", "rb2410.SHFE", Interval.MINUTE, frame)

    # A service naming its dominant contract with a path: the run fails naming it, and
    # nothing is written anywhere.
    server.route("/multiplier/query", reply_json(envelope([{"symbol": "rb", "exchange": "SHFE", "multiplier": 10}])))
    server.route("/dominant/query", reply_json(envelope([{"trading_date": "2024-05-06", "symbol": "rb",
                                                          "instrument_id": "../../../outside/rb2410",
                                                          "exchange": "SHFE"}])))
    home = make_home(tmp_path, server.url)
    lab_path = tmp_path / "labs" / "mine"
    result = cli(home, "download", "--product", "rb", "--start", "2024-05-06", "--end", "2024-05-10",
                 "--interval", "d", "--lab", str(lab_path))
    assert result.returncode == 1 and "../../../outside/rb2410" in result.stdout + result.stderr, result.stdout
    assert not [path for path in tmp_path.rglob("*.parquet")] and not list(outside.iterdir())
    assert not any("/history" in received.path or "bar" in received.path for received in server.requests)
    # A contract named on the command line is held to the same rule, before anything is asked.
    for named in (("download", "../../outside/rb2410.SHFE"), ("continuous", "rb", "--name", "../../outside/rb")):
        result = cli(home, *named, "--start", "2024-05-06", "--lab", str(lab_path))
        assert result.returncode == 2 and named[-1] in result.stderr, result.stderr


def test_lab_files_get_the_mode_vnpys_lab_gives_and_keep_a_replaced_files(tmp_path):
    previous = os.umask(0o027)
    try:
        # What vn.py's own lab leaves under this umask.
        vnpy_lab = AlphaLab(str(tmp_path / "vnpy"))
        vnpy_lab.save_bar_data([BarData(gateway_name="t", symbol="rb2410", exchange=Exchange.SHFE,
                                        interval=Interval.DAILY, datetime=datetime(2024, 5, 6))])
        vnpy_lab.add_contract_setting("rb2410.SHFE", 0.0, 0.0, 10.0, 1.0)
        made_by_vnpy = {mode(tmp_path / "vnpy" / "daily" / "rb2410.SHFE.parquet"),
                        mode(tmp_path / "vnpy" / "contract.json")}
        times = pl.Series([1_714_960_800]).cast(pl.Int64) * 1_000_000_000
        frame = pl.DataFrame({"datetime": times.cast(pl.Datetime("ns", "Asia/Shanghai")),
                              **{name: [1.0] for name in ("open_price", "high_price", "low_price", "close_price",
                                                          "volume", "turnover", "open_interest")}})
        save_lab_bars(tmp_path / "lab", "rb2410.SHFE", Interval.DAILY, frame)
        add_contract(tmp_path / "lab", "rb2410.SHFE", 10.0)
        bars, contracts = tmp_path / "lab" / "daily" / "rb2410.SHFE.parquet", tmp_path / "lab" / "contract.json"
        assert {mode(bars), mode(contracts)} == made_by_vnpy == {0o640}
        bars.chmod(0o604)
        contracts.chmod(0o600)
        save_lab_bars(tmp_path / "lab", "rb2410.SHFE", Interval.DAILY, frame)
        add_contract(tmp_path / "lab", "rb2410.SHFE", 5.0)
        assert (mode(bars), mode(contracts)) == (0o604, 0o600)
        assert not list((tmp_path / "lab").rglob("*.tmp"))
    finally:
        os.umask(previous)


def mode(path: Path) -> int:
    return stat.S_IMODE(path.stat().st_mode)


class _Quiet:
    def started(self, task): pass  # noqa: E704
    def advanced(self, task, records): pass  # noqa: E704
    def finished(self, outcome): pass  # noqa: E704


def test_a_bar_given_twice_is_the_last_given_in_queries_frames_the_database_and_a_lab(datafeed, server, database,
                                                                                      tmp_path):
    from vnpy.trader.object import HistoryRequest

    from vnpy_norvix.research.lab import LabStore, bar_file, open_lab

    datafeed.base_url = server.url
    server.route("/daybar/query", reply_json(envelope([{"trading_date": "2024-05-28", "open_price": 1, "high_price": 9,
                                                         "low_price": 1, "close_price": 5, "volume": 8}])))
    # The answer holds 09:01 twice (a correction after the first), 09:00 and 09:02 once.
    minutes = [{"trading_datetime": f"2024-05-28 09:0{minute}:00", "open_price": 1, "high_price": 9,
                "low_price": 1, "close_price": close, "volume": close} for minute, close in
               ((0, 1.0), (1, 2.0), (1, 3.0), (2, 4.0))]
    server.route("/minutebar/query", reply_json(envelope(minutes)))
    expected = [1.0, 3.0, 4.0]

    said: list[str] = []
    req = HistoryRequest("rb2410", Exchange.SHFE, datetime(2024, 5, 28, 9, tzinfo=SHANGHAI),
                         datetime(2024, 5, 28, 10, tzinfo=SHANGHAI), Interval.MINUTE)
    assert [bar.close_price for bar in datafeed.query_bar_history(req, said.append)] == expected
    assert datafeed.query_bar_frame(req, said.append)["close_price"].to_list() == expected
    req.interval = Interval.HOUR  # made of the bars kept: 1 + 3 + 4
    assert [(bar.close_price, bar.volume) for bar in datafeed.query_bar_history(req, said.append)] == [(4.0, 8.0)]
    assert datafeed.query_bar_frame(req, said.append)[["close_price", "volume"]].rows() == [(4.0, 8.0)]
    assert said == []

    source = dl.Source(datafeed)
    targets = [dl.Target("rb2410", Exchange.SHFE, date(2024, 5, 28), date(2024, 5, 28))]
    for store in (database, LabStore(tmp_path / "lab")):
        outcomes = dl.Downloader(source, store, _Quiet()).run(dl.plan(source, targets, [Interval.MINUTE], store))
        assert [outcome.error for outcome in outcomes] == [None]
    stored = database.load_bar_data("rb2410", Exchange.SHFE, Interval.MINUTE, datetime(2024, 5, 28),
                                    datetime(2024, 5, 29))
    assert [bar.close_price for bar in stored] == expected
    path = bar_file(open_lab(tmp_path / "lab"), "rb2410.SHFE", Interval.MINUTE)
    assert pl.read_parquet(path)["close"].to_list() == expected


def test_the_remembered_commands_file_is_written_as_lab_files_are(tmp_path):
    """One writer for the plug-in's files: the file of remembered commands gets the mode
    a new file gets under the umask, and a mode the user gave it is kept."""
    from vnpy_norvix.remembered import Entry, FileMemory

    previous = os.umask(0o027)
    try:
        memory = FileMemory(tmp_path / "lab" / "commands.json")
        memory._write([])
        assert mode(memory.path) == 0o640
        memory.path.chmod(0o604)
        memory._write([Entry(1, {}, problem="kept as it was", raw={"command": "?"})])
        assert mode(memory.path) == 0o604 and json.loads(memory.path.read_text()) == [{"command": "?"}]
        assert not list((tmp_path / "lab").glob("*.tmp"))
    finally:
        os.umask(previous)
