"""A store kept current and checked, as whole commands against the local service:
`update` against a fresh build with the later end, what a second update asks for,
`--dry-run` and `--json`, `verify` finding each kind of defect and `--repair` undoing
them, and two runs at once on one store."""

import json
import sqlite3
import subprocess
import sys
import threading
from contextlib import closing
from datetime import datetime
from pathlib import Path
from zoneinfo import ZoneInfo

import polars as pl
import pytest
from polars.testing import assert_frame_equal

from commands import FAKETIME, HISTORY_PATHS, cli, environment, make_home, ok, run_at, service_behind
from pg import PG_PASSWORD, PG_USER, postgres  # noqa: F401  (a fixture)

CHINA = ZoneInfo("Asia/Shanghai")
FIRST_END, LATER_END = "2024-04-03", "2024-04-19"  # rb's dominant contract rolls on 2024-04-11
COMMANDS = [
    ["download", "--product", "rb", "--start", "2024-03-18", "--interval", "d", "1m"],
    ["download", "rb2410.SHFE", "--start", "2024-04-03", "--interval", "tick"],
    ["continuous", "rb", "--start", "2024-03-18", "--interval", "d", "1m", "--adjust", "backward"],
    ["continuous", "rb", "--start", "2024-03-18", "--interval", "1m", "--adjust", "forward", "--name", "rbf"],
]
LAB_COMMANDS = [
    ["download", "--product", "rb", "--start", "2024-03-18", "--interval", "d", "1m"],
    ["continuous", "rb", "--start", "2024-03-18", "--interval", "d", "--adjust", "forward"],
]


def database(home: Path) -> Path:
    return home / ".vntrader" / "database.db"


def dump(path: Path, tables=("dbbardata", "dbbaroverview", "dbtickdata", "dbtickoverview", "norvixcommand")) -> dict:
    """Every row of vn.py's tables, without their ids, in order."""
    with closing(sqlite3.connect(path)) as db:
        return {table: sorted(row[1:] for row in db.execute(f"SELECT * FROM {table}")) for table in tables}


def lab_dump(lab: Path) -> dict:
    files = {str(path.relative_to(lab)): pl.read_parquet(path) for path in sorted(lab.rglob("*.parquet"))}
    return {**files, **{name: json.loads((lab / name).read_text()) for name in ("contract.json",
                                                                                 "norvix_commands.json")}}


@pytest.mark.skipif(FAKETIME is None, reason="libfaketime is not installed (scripts/setup.sh)")
def test_update_equals_a_fresh_build_and_a_second_update_fetches_no_minutes_or_ticks(tmp_path, counting_service):
    url = counting_service.url
    kept, fresh = make_home(tmp_path / "kept", url), make_home(tmp_path / "fresh", url)
    lab_kept, lab_fresh = tmp_path / "lab_kept", tmp_path / "lab_fresh"
    # The nightly commands, without an end (one given is kept: `update` does not extend it),
    # run on the evenings of the two ends.
    first, later = (datetime.fromisoformat(f"{day} 18:30").replace(tzinfo=CHINA) for day in (FIRST_END, LATER_END))
    for command in COMMANDS:
        ok(run_at(kept, first, *command))
        ok(run_at(fresh, later, *command))
    for command in LAB_COMMANDS:
        ok(run_at(kept, first, *command, "--lab", str(lab_kept)))
        ok(run_at(fresh, later, *command, "--lab", str(lab_fresh)))
    listed = ok(cli(kept, "commands", "--json"))
    assert [entry["number"] for entry in json.loads(listed.stdout)["commands"]] == [1, 2, 3, 4]

    # A dry run tells what it would fetch and changes nothing, the remembered commands included.
    before = dump(database(kept), ("dbbardata", "dbbaroverview", "dbtickdata", "norvixcommand"))
    dry = ok(cli(kept, "update", "--end", LATER_END, "--dry-run"))
    assert "rb2410.SHFE 1m:" in dry.stdout and "trading days to fetch" in dry.stdout
    ok(cli(kept, "download", "au2412.SHFE", "--start", "2024-04-01", "--end", LATER_END, "--dry-run"))
    assert dump(database(kept), ("dbbardata", "dbbaroverview", "dbtickdata", "norvixcommand")) == before

    update = ok(cli(kept, "update", "--end", LATER_END, "--json"))
    summary = json.loads(update.stdout)
    assert [command["status"] for command in summary["commands"]] == ["ok"] * 4
    assert {task["series"] for task in summary["commands"][0]["summary"]["tasks"]} == {"rb2405.SHFE", "rb2410.SHFE"}
    ok(cli(kept, "update", "--end", LATER_END, "--lab", str(lab_kept)))

    assert dump(database(kept)) == dump(database(fresh))
    kept_lab, fresh_lab = lab_dump(lab_kept), lab_dump(lab_fresh)
    assert kept_lab.keys() == fresh_lab.keys()
    for name, frame in fresh_lab.items():
        if isinstance(frame, pl.DataFrame):
            assert_frame_equal(kept_lab[name], frame)
        else:
            assert kept_lab[name] == frame

    counting_service.counts.clear()
    ok(cli(kept, "update", "--end", LATER_END))
    ok(cli(kept, "update", "--end", LATER_END, "--lab", str(lab_kept)))
    assert {path: counting_service.counts.get(path, 0) for path in HISTORY_PATHS} == dict.fromkeys(HISTORY_PATHS, 0)
    assert dump(database(kept)) == dump(database(fresh))

    ok(cli(kept, "commands", "--forget", "2"))
    assert "rb2410.SHFE --start 2024-04-03" not in ok(cli(kept, "commands")).stdout
    assert cli(kept, "commands", "--forget", "2").returncode == 1


DEFECTS = [  # (statement, the defect verify names, the trading day)
    ("DELETE FROM dbbardata WHERE symbol = 'rb2410' AND interval = '1m' AND datetime LIKE '2024-05-08%'",
     "partial", "2024-05-08"),
    ("DELETE FROM dbbardata WHERE symbol = 'rb2410' AND interval = '1m' AND datetime BETWEEN '2024-05-09 20:00' "
     "AND '2024-05-10 16:00'", "missing", "2024-05-10"),
    ("UPDATE dbbardata SET high_price = low_price - 1 WHERE symbol = 'rb2410' AND interval = '1m' "
     "AND datetime = '2024-05-13 09:30:00'", "prices", "2024-05-13"),
    ("UPDATE dbbardata SET volume = -5 WHERE symbol = 'rb2410' AND interval = 'd' "
     "AND datetime = '2024-05-14 00:00:00'", "volume", "2024-05-14"),
    ("UPDATE dbbardata SET datetime = '2024-05-15 17:30:00' WHERE symbol = 'rb2410' AND interval = '1m' "
     "AND datetime = '2024-05-15 09:32:00'", "outside_sessions", "2024-05-15"),
    ("INSERT INTO dbbardata (symbol, exchange, datetime, interval, volume, turnover, open_interest, open_price, "
     "high_price, low_price, close_price) VALUES ('rb2410', 'SHFE', '2024-05-18 10:00:00', '1m', 1, 1, 1, 3000, "
     "3001, 2999, 3000)", "not_traded", "2024-05-18"),
    ("UPDATE dbbaroverview SET count = count + 7 WHERE symbol = 'rb2410' AND interval = 'd'", "overview", None),
]


def test_verify_names_each_defect_and_repair_restores_the_download(tmp_path, service):
    home = make_home(tmp_path, service)
    ok(cli(home, "download", "rb2410.SHFE", "--start", "2024-05-06", "--end", "2024-05-17", "--interval", "d", "1m"))
    ok(cli(home, "continuous", "rb", "--start", "2024-05-06", "--end", "2024-05-17", "--name", "rbc"))
    # The trading days come out right on a machine whose zone is not China's.
    clean = ok(subprocess.run([sys.executable, "-m", "vnpy_norvix", "verify"], cwd=home,
                              env={**environment(home), "TZ": "UTC"}, capture_output=True, text=True, timeout=300))
    assert "3 series checked, 0 findings" in clean.stdout
    expected = dump(database(home))
    with closing(sqlite3.connect(database(home))) as db, db:
        for statement, _, _ in DEFECTS:
            db.execute(statement)
        db.execute("UPDATE dbbardata SET close_price = close_price + 1 WHERE symbol = 'rbc' "
                   "AND datetime = '2024-05-09 00:00:00'")
        # A series neither a contract of the service nor made by a remembered command.
        db.execute("INSERT INTO dbbardata (symbol, exchange, datetime, interval, volume, turnover, open_interest, "
                   "open_price, high_price, low_price, close_price) VALUES ('rb777', 'SHFE', '2024-05-06 00:00:00', "
                   "'d', 1, 1, 1, 3000, 3001, 2999, 3000)")
        db.execute("INSERT INTO dbbaroverview (symbol, exchange, interval, count, start, \"end\") VALUES "
                   "('rb777', 'SHFE', 'd', 1, '2024-05-06 00:00:00', '2024-05-06 00:00:00')")

    found = cli(home, "verify", "--json")

    assert found.returncode == 1, found.stdout + found.stderr
    summary = json.loads(found.stdout)
    named = {(finding["defect"], finding["day"]) for finding in summary["findings"]}
    assert {(defect, day) for _, defect, day in DEFECTS} <= named
    assert ("continuous", "2024-05-09") in named
    assert [line.split(":")[0] for line in summary["skipped"]] == ["rb777.SHFE d"]
    assert not any("rb777" in finding["series"] for finding in summary["findings"])
    assert "rb2410.SHFE 1m 2024-05-10: missing" in found.stderr  # one line per finding

    repaired = cli(home, "verify", "--repair")
    assert repaired.returncode == 0, repaired.stdout
    assert "repaired: rb2410.SHFE 1m 2024-05-08..2024-05-13" in repaired.stdout
    again = cli(home, "verify", "rb2410.SHFE", "rbc.SHFE")
    assert again.returncode == 0, again.stdout + again.stderr
    after = dump(database(home))
    after["dbbardata"] = [row for row in after["dbbardata"] if row[0] != "rb777"]
    after["dbbaroverview"] = [row for row in after["dbbaroverview"] if row[0] != "rb777"]
    assert after == expected


def test_two_runs_at_once_on_one_store_do_not_interleave(tmp_path):
    asked, release = threading.Event(), threading.Event()

    def held_back(app):  # minute bars wait until the test lets them go
        def answer(environ, start_response):
            if environ["PATH_INFO"] == "/minutebar/query":
                asked.set()
                release.wait(120)
            return app(environ, start_response)
        return answer

    with service_behind(held_back) as server:
        home = make_home(tmp_path / "both", server.url)
        args = ["download", "rb2410.SHFE", "--start", "2024-04-01", "--end", "2024-05-17", "--interval", "d", "1m"]
        first = subprocess.Popen([sys.executable, "-m", "vnpy_norvix", *args], cwd=home, env=environment(home),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert asked.wait(120)  # the first run is fetching, its store locked
            second = cli(home, *args, "--no-wait")
            release.set()
            output, errors = first.communicate(timeout=300)
        finally:
            release.set()
            first.kill()
        assert first.returncode == 0, output + errors
        assert second.returncode == 4 and "another run holds this store" in second.stderr, second.stdout
        once = make_home(tmp_path / "once", server.url)
        ok(cli(once, *args))
        assert dump(database(home)) == dump(database(once))
        ok(cli(home, *args))  # the lock went with the run that held it


def test_verify_and_update_in_postgresql(tmp_path, service, postgres):
    import psycopg2

    home = make_home(tmp_path, service, **postgres)
    friday = datetime(2024, 5, 10, 18, 30, tzinfo=CHINA)  # nightly commands, without an end
    ok(run_at(home, friday, "download", "rb2410.SHFE", "--start", "2024-05-06", "--interval", "d", "1m"))
    ok(run_at(home, friday, "continuous", "au", "--start", "2024-05-06", "--interval", "d"))
    # A week later: the store is checked over the commands' ranges, up to that evening.
    later = datetime(2024, 5, 17, 18, 30, tzinfo=CHINA)
    ok(run_at(home, later, "update"))
    assert "3 series checked, 0 findings" in ok(run_at(home, later, "verify")).stdout  # rb2410 d and 1m, au888 d
    with closing(psycopg2.connect(host="127.0.0.1", port=postgres["database.port"], user=PG_USER,
                                  password=PG_PASSWORD, dbname="vnpy")) as connection, connection:
        connection.cursor().execute("DELETE FROM dbbardata WHERE symbol = 'rb2410' AND interval = '1m' "
                                    "AND datetime BETWEEN '2024-05-15 20:00' AND '2024-05-16 16:00'")
    found = run_at(home, later, "verify", "--repair", "--json")
    assert found.returncode == 0  # every finding repaired
    assert {(f["series"], f["day"], f["defect"]) for f in json.loads(found.stdout)["findings"]} == {
        ("rb2410.SHFE 1m", "2024-05-16", "missing"), ("rb2410.SHFE 1m", None, "overview")}
    assert "3 series checked, 0 findings" in ok(run_at(home, later, "verify")).stdout


def test_verify_repairs_a_lab_folder(tmp_path, service):
    home, lab = make_home(tmp_path, service), tmp_path / "lab"
    ok(cli(home, "download", "rb2410.SHFE", "--start", "2024-05-06", "--end", "2024-05-17", "--interval", "d", "1m",
           "--lab", str(lab)))
    expected = lab_dump(lab)
    minutes = lab / "minute" / "rb2410.SHFE.parquet"
    frame = pl.read_parquet(minutes)
    frame.filter(pl.col("datetime").dt.date() != pl.date(2024, 5, 9)).with_columns(
        volume=pl.when(pl.int_range(pl.len()) == 5).then(-1.0).otherwise(pl.col("volume"))).write_parquet(minutes)

    found = cli(home, "verify", "--lab", str(lab), "--repair", "--json")

    assert found.returncode == 0, found.stdout + found.stderr
    assert {(f["day"], f["defect"]) for f in json.loads(found.stdout)["findings"]} == {
        ("2024-05-06", "volume"), ("2024-05-09", "partial"), ("2024-05-10", "partial")}
    assert "0 findings" in ok(cli(home, "verify", "--lab", str(lab))).stdout
    repaired = lab_dump(lab)
    assert repaired.keys() == expected.keys()
    assert_frame_equal(repaired["minute/rb2410.SHFE.parquet"], expected["minute/rb2410.SHFE.parquet"])


def test_verify_repairs_a_continuous_series_in_a_lab_folder(tmp_path, service):
    home, lab = make_home(tmp_path, service), tmp_path / "lab"
    ok(cli(home, "continuous", "au", "--start", "2024-05-06", "--end", "2024-05-10", "--interval", "d",
           "--lab", str(lab)))
    daily = lab / "daily" / "au888.SHFE.parquet"
    expected = pl.read_parquet(daily)
    expected.with_columns(close=pl.col("close") * 2).write_parquet(daily)

    found = cli(home, "verify", "--lab", str(lab), "--repair", "--json")

    assert found.returncode == 0, found.stdout + found.stderr
    assert {f["defect"] for f in json.loads(found.stdout)["findings"]} == {"continuous"}
    assert_frame_equal(pl.read_parquet(daily), expected)
    assert "0 findings" in ok(cli(home, "verify", "--lab", str(lab))).stdout


def test_update_only_moves_forward_and_remembers_only_what_can_work(tmp_path, service):
    home = make_home(tmp_path, service)
    refused = cli(home, "download", "rb2410.DCE", "--start", "2024-05-06", "--end", "2024-05-10")
    assert refused.returncode == 1 and "SHFE" in refused.stderr
    nothing = cli(home, "update")
    assert nothing.returncode == 3 and "no commands remembered" in nothing.stderr, nothing.stderr

    ok(cli(home, "download", "rb2410.SHFE", "--start", "2024-05-06", "--end", "2024-05-10"))
    ok(cli(home, "download", "au2406.SHFE", "--start", "2024-05-06", "--end", "2024-05-10", "--no-remember"))
    ok(cli(home, "continuous", "rb", "--start", "2024-05-06", "--end", "2024-05-31", "--interval", "d", "1m"))
    # A second command writing rb888 daily replaces the first, which also wrote rb888 1m.
    second = ok(cli(home, "continuous", "rb", "--start", "2024-05-13", "--end", "2024-05-31"))
    assert "forgotten" in second.stderr and "--start 2024-05-06" in second.stderr
    listed = ok(cli(home, "commands")).stdout
    assert "au2406" not in listed and "--start 2024-05-06 --end 2024-05-31" not in listed
    assert "rb2410.SHFE --start 2024-05-06 --end 2024-05-10" in listed

    stored = dump(database(home))
    cut = cli(home, "update", "--end", "2024-05-20")
    assert cut.returncode == 2 and "rb888 d" in cut.stderr, cut.stdout + cut.stderr
    assert dump(database(home)) == stored
    ok(cli(home, "update"))  # today: each command kept to its own end
    assert dump(database(home), ("dbbardata",)) == {"dbbardata": stored["dbbardata"]}


def test_the_documented_cron_line_works_in_crons_bare_environment(tmp_path, service):
    import re
    import shlex

    from helpers import REPO

    home = make_home(tmp_path, service)
    ok(cli(home, "download", "rb2410.SHFE", "--start", "2024-05-06", "--interval", "d"))
    documented = re.search(r"^30 18 \* \* 1-5  (.*)$", (REPO / "docs" / "cli.md").read_text(), re.MULTILINE)
    line = documented.group(1).replace("/home/trader/venv/bin/python", shlex.quote(sys.executable))
    line = line.replace("/home/trader", shlex.quote(str(home)))
    # cron's own environment; PYTHONPATH only names this source tree, which is not installed.
    ran = subprocess.run(["env", "-i", "PATH=/usr/bin:/bin", f"HOME={home}", f"PYTHONPATH={REPO}", "sh", "-c", line],
                         capture_output=True, text=True, timeout=300)
    log = (home / "norvix-update.log").read_text()
    assert ran.returncode == 0, log
    assert log.splitlines()[0] == f"vnpy_norvix update -q on SQLite {home / '.vntrader' / 'database.db'}", log
    assert "[1] download rb2410.SHFE" in log
    # The Task Scheduler's line as far as this machine can run it: what cmd would run after
    # its `cd /d %USERPROFILE%` and `set TZ=...&&`, with no PATH and no HOME (Windows has
    # neither; vn.py finds .vntrader in the working folder).
    task = re.search(r'/TR "cmd /c cd /d %USERPROFILE% && set TZ=Asia/Shanghai&& (\S+) (.*) >> (\S+) 2>&1"$',
                     (REPO / "docs" / "cli.md").read_text(), re.MULTILINE)
    program, args, logged = task.groups()
    assert program == r"%USERPROFILE%\venv\Scripts\python.exe"
    with open(home / logged, "a") as out:
        ran = subprocess.run(["env", "-i", f"USERPROFILE={home}", "TZ=Asia/Shanghai", f"PYTHONPATH={REPO}",
                              sys.executable, *args.split()], cwd=home, stdout=out, stderr=subprocess.STDOUT, timeout=300)
    assert ran.returncode == 0, (home / logged).read_text()
    assert (home / logged).read_text().count("vnpy_norvix update -q on SQLite") == 2


def test_verify_checks_each_series_by_its_own_command_and_never_passes_what_is_not_there(tmp_path, service):
    home = make_home(tmp_path, service)
    ok(cli(home, "download", "rb2410.SHFE", "--start", "2024-05-06", "--end", "2024-05-10", "--interval", "d"))
    # rb888 daily and rb888 1m, each from a command of its own with its own start.
    ok(cli(home, "continuous", "rb", "--start", "2024-03-04", "--end", "2024-05-10", "--interval", "d"))
    ok(cli(home, "continuous", "rb", "--start", "2024-05-06", "--end", "2024-05-10", "--interval", "1m"))
    stored = dump(database(home))
    assert "0 findings" in ok(cli(home, "verify", "--repair")).stdout
    assert dump(database(home)) == stored

    for named, said in (("au2406.SHFE", "holds nothing"), ("rb2410.DCE", "held under SHFE")):
        found = cli(home, "verify", named, "--json")
        assert found.returncode == 1 and said in found.stdout, found.stdout + found.stderr
    missing = tmp_path / "no-lab"
    found = cli(home, "verify", "--lab", str(missing))
    assert found.returncode == 1 and not missing.exists(), found.stdout + found.stderr

    with closing(sqlite3.connect(database(home))) as db, db:  # rows without their overview entry
        db.execute("DELETE FROM dbbaroverview WHERE symbol = 'rb2410'")
    found = cli(home, "verify", "rb2410.SHFE", "--json")
    assert found.returncode == 1 and json.loads(found.stdout)["findings"][0]["defect"] == "overview", found.stdout
    ok(cli(home, "verify", "rb2410.SHFE", "--repair"))
    assert dump(database(home)) == stored


def test_verify_covers_the_commands_whole_range_and_the_days_values(tmp_path, service):
    home = make_home(tmp_path, service)
    ok(cli(home, "download", "rb2410.SHFE", "--start", "2024-05-06", "--end", "2024-05-17", "--interval", "1m"))
    whole = dump(database(home))
    with closing(sqlite3.connect(database(home))) as db, db:
        # The first and the last day gone (holes at both ends of what is stored), and the
        # last close of 2024-05-08 changed to a price inside its bar's high and low.
        db.execute("DELETE FROM dbbardata WHERE symbol = 'rb2410' AND (datetime < '2024-05-06 16:00' "
                   "OR datetime >= '2024-05-16 20:00')")
        db.execute("UPDATE dbbardata SET close_price = 3348 WHERE symbol = 'rb2410' "
                   "AND datetime = '2024-05-08 14:59:00'")
    found = cli(home, "verify", "--json")
    assert found.returncode == 1, found.stdout + found.stderr
    named = {(f["defect"], f["day"]) for f in json.loads(found.stdout)["findings"]}
    assert {("missing", "2024-05-06"), ("missing", "2024-05-17"), ("daily_bar", "2024-05-08")} <= named, named
    assert "last close 3348 not 3349" in found.stderr
    with closing(sqlite3.connect(database(home))) as db, db:  # inside the day: only a fresh download tells
        db.execute("UPDATE dbbardata SET close_price = 3351 WHERE symbol = 'rb2410' "
                   "AND datetime = '2024-05-09 10:00:00'")
    deep = cli(home, "verify", "--deep", "--json")
    assert ("values", "2024-05-09") in {(f["defect"], f["day"]) for f in json.loads(deep.stdout)["findings"]}
    ok(cli(home, "verify", "--repair", "--deep"))
    assert dump(database(home), ("dbbardata",)) == {"dbbardata": whole["dbbardata"]}
