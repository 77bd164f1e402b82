"""What comes from outside is checked before it is used, through the command line: a lab
folder from someone else (its lock file, its remembered commands, its broken files), an
answer the service gave for another request, a full disk, a continuous series named over
a contract, and runs from two settings folders on one PostgreSQL or MySQL database."""

import io
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from commands import cli, make_home, ok, saved_rows, service_behind, service_rows
from mariadb import mariadb  # noqa: F401  (a fixture)
from pg import postgres  # noqa: F401  (a fixture)
from vnpy_norvix import exits

DOWNLOAD = ["download", "rb2410.SHFE", "--start", "2024-05-06", "--end", "2024-05-10", "--interval", "d"]


def refused(result: subprocess.CompletedProcess, *words: str, status: int = 1) -> str:
    """The one error line of a run refused with exit status `status`, which holds `words`."""
    assert result.returncode == status and "Traceback" not in result.stderr, result.stdout + result.stderr
    lines = [line for line in result.stderr.splitlines() if line.startswith("error:")]
    assert len(lines) == 1 and all(word in lines[0] for word in words), result.stderr
    return lines[0]


def test_a_lock_file_planted_as_a_link_folder_or_other_file_is_refused_and_left_alone(tmp_path, service):
    home, lab = make_home(tmp_path, service), tmp_path / "lab"
    victim = tmp_path / "victim.db"
    victim.write_bytes(b"SQLite format 3\0" * 4096)
    lab.mkdir()
    planted = {"link": lambda path: path.symlink_to(victim), "folder": lambda path: path.mkdir(),
               "hard link": lambda path: os.link(victim, path)}
    for where, options in ((lab / ".norvix.lock", ["--lab", str(lab)]),
                           (home / ".vntrader" / "database.db.norvix.lock", [])):
        for kind, plant in planted.items():
            plant(where)
            refused(cli(home, *DOWNLOAD, *options), str(where))
            assert victim.read_bytes() == b"SQLite format 3\0" * 4096, kind
            shutil.rmtree(where) if where.is_dir() and not where.is_symlink() else where.unlink()
    ok(cli(home, *DOWNLOAD, "--lab", str(lab)))  # a lock file of its own is taken


def _commands(*symbols: list[str]) -> list[dict]:
    return [{"number": number, "state": {}, "command": {
        "command": "download", "symbols": names, "product": [], "contracts": None, "start": "2024-05-06",
        "interval": ["d"], "lab": None, "rates": None}} for number, names in enumerate(symbols, 1)]


def test_a_lab_folders_remembered_commands_are_data_and_its_broken_files_one_line(tmp_path, service,
                                                                                  counting_service):
    home, lab = make_home(tmp_path, service), tmp_path / "lab"
    lab.mkdir()
    memory = lab / "norvix_commands.json"
    elsewhere = ["rb2410.SHFE", "--base-url", counting_service.url]
    memory.write_text(json.dumps(_commands(elsewhere, ["rb2410.SHFE"])))
    line = refused(cli(home, "update", "--lab", str(lab), "--end", "2024-05-10"), str(memory), "entry 1")
    assert counting_service.counts == {}, line  # the token went nowhere else
    assert (lab / "daily" / "rb2410.SHFE.parquet").exists()  # the other command ran
    assert json.loads(memory.read_text())[0]["command"]["symbols"] == elsewhere  # kept as it was

    for broken in ("not json", json.dumps({"number": 1}), None):
        memory.unlink() if memory.is_file() else None
        memory.mkdir() if broken is None else memory.write_text(broken)
        refused(cli(home, "update", "--lab", str(lab)), str(memory))
    memory.rmdir()
    bars = lab / "daily" / "rb2410.SHFE.parquet"
    bars.write_bytes(b"not a parquet file")
    refused(cli(home, *DOWNLOAD, "--lab", str(lab)), str(bars))


def _misrouted(swap: tuple[bytes, bytes]):
    """The service answering rb2410's history requests as if they were another's."""
    def middleware(app):
        def answer(environ, start_response):
            if environ["PATH_INFO"] in ("/minutebar/query", "/daybar/query"):
                body = environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0)).replace(*swap)
                environ["wsgi.input"], environ["CONTENT_LENGTH"] = io.BytesIO(body), str(len(body))
            return app(environ, start_response)
        return answer
    return middleware


@pytest.mark.parametrize("swap", [(b'"rb2410"', b'"rb2405"'), (b'"2024-04-', b'"2024-03-')],
                         ids=["other-contract", "other-days"])
def test_an_answer_to_another_request_fails_its_window_and_keeps_nothing(tmp_path, service, served, swap):
    args = ["download", "rb2410.SHFE", "--start", "2024-04-01", "--end", "2024-04-12", "--interval", "d", "1m"]
    home = make_home(tmp_path, service)
    with service_behind(_misrouted(swap)) as misrouting:
        result = cli(home, *args, "--base-url", misrouting.url)
    assert result.returncode == 1 and "mismatched answer" in result.stderr, result.stdout + result.stderr
    assert saved_rows(home, "rb2410", "1m")[0] == saved_rows(home, "rb2410", "d")[0] == 0
    ok(cli(home, *args))  # no day was recorded held: all of them are fetched now
    for interval in ("d", "1m"):
        assert saved_rows(home, "rb2410", interval) == pytest.approx(service_rows(
            served, "rb2410", interval, "2024-04-01", "2024-04-12"))


def test_continuous_name_of_a_contract_or_of_another_products_series_is_a_usage_error(tmp_path, service):
    home = make_home(tmp_path, service)
    built = ["--start", "2024-05-06", "--end", "2024-05-10", "--interval", "d"]
    ok(cli(home, "continuous", "rb", *built, "--name", "rb_main"))
    for product, name in (("rb", "rb2410"), ("SR", "SR409"), ("au", "rb888"), ("au", "RB_MAIN")):
        result = cli(home, "continuous", product, *built, "--name", name)
        assert result.returncode == 2 and "--name" in result.stderr, (name, result.stdout + result.stderr)


def _tmpfs(path: Path, size: str) -> None:
    path.mkdir(parents=True, exist_ok=True)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(path)],
                      capture_output=True).returncode:
        pytest.skip("a small file system to fill needs mount (root in a container that allows it)")


def test_a_full_disk_is_named_in_one_line(tmp_path, service):
    home = make_home(tmp_path / "sqlite", service)
    settings = (home / ".vntrader" / "vt_setting.json").read_text()
    lab = tmp_path / "lab"
    _tmpfs(home / ".vntrader", "600k")
    try:
        (home / ".vntrader" / "vt_setting.json").write_text(settings)
        args = ["download", "rb2410.SHFE", "--start", "2024-03-01", "--end", "2024-05-17", "--interval", "1m"]
        result = cli(home, *args)
        assert result.returncode == 1 and "database or disk is full" in result.stderr, result.stderr
        assert "cannot rollback" not in result.stderr
        _tmpfs(lab, "64k")
        with open(lab / "filler", "wb") as filler:
            try:
                while True:
                    filler.write(b"\0" * 4096)
                    filler.flush()
            except OSError:
                pass
        refused(cli(home, *DOWNLOAD, "--lab", str(lab)), "space")
    finally:
        for folder in (lab, home / ".vntrader"):
            subprocess.run(["umount", str(folder)], capture_output=True)


@pytest.mark.parametrize("server", ["postgres", "mariadb"])
def test_a_server_database_is_locked_for_runs_from_any_settings_folder(tmp_path, service, server, request):
    import peewee

    from vnpy_norvix import runlock

    settings = request.getfixturevalue(server)
    home = make_home(tmp_path / "second", service, **settings)
    kind = peewee.PostgresqlDatabase if server == "postgres" else peewee.MySQLDatabase
    db = kind(settings["database.database"], host=settings["database.host"], port=settings["database.port"],
              user=settings["database.user"], password=settings["database.password"])
    first = runlock.ServerLock("postgresql" if server == "postgres" else "mysql", db)  # another run's
    assert first.take()
    try:
        refused(cli(home, *DOWNLOAD, "--no-wait"), "another run holds this store", status=exits.LOCKED)
    finally:
        first.release()
    ok(cli(home, *DOWNLOAD, "--no-wait"))


@pytest.mark.parametrize("separators", [(",", ":"), (", ", ": ")], ids=["compact", "spaced"])
def test_an_answer_with_one_record_of_another_instrument_is_refused(separators):
    from vnpy.trader.constant import Exchange

    from vnpy_norvix.engine import Failure
    from vnpy_norvix.history.check import check_body

    records = [{"instrument_id": "rb2410", "exchange": "SHFE", "close_price": 1.0 + i} for i in range(5)]
    check_body(json.dumps({"data": records}, separators=separators).encode(), 5, "minute", "rb2410", Exchange.SHFE)
    records[3]["instrument_id"] = "rb2405"
    with pytest.raises(Failure, match="rb2405"):
        check_body(json.dumps({"data": records}, separators=separators).encode(), 5, "minute", "rb2410", Exchange.SHFE)
