"""What the command line says and where: streams, quiet runs, the log's sinks, a broken
settings file, the database's zone, addresses that do not answer, and empty ranges."""

import json
import os
import re
import sqlite3
import subprocess
import sys

import pytest

from commands import cli, environment, make_home
from faults import servers

ANSI = re.compile(r"\x1b\[")


def run(home, *args, env=None):
    return subprocess.run([sys.executable, "-m", "vnpy_norvix", *args], cwd=home, env=env or environment(home),
                          capture_output=True, text=True, timeout=300)


def test_a_broken_settings_file_is_named_with_its_place_and_help_still_works(tmp_path):
    home = make_home(tmp_path, "http://127.0.0.1:1")
    settings = home / ".vntrader" / "vt_setting.json"
    settings.write_text('{\n  "database.name": "sqlite",\n}\n')

    for args in (["status"], ["download", "rb2405.SHFE", "--start", "2024-03-04"]):
        result = cli(home, *args)
        assert result.returncode == 2, result.stderr
        assert str(settings) in result.stderr and "line 2 column 28" in result.stderr and "trailing comma" in result.stderr
        assert "Traceback" not in result.stderr
    helped = cli(home, "download", "--help")
    assert helped.returncode == 0 and "examples:" in helped.stdout
    assert cli(home, "--version").stdout.startswith("python -m vnpy_norvix ")


def test_an_address_without_a_scheme_is_a_usage_error(tmp_path):
    home = make_home(tmp_path, "http://127.0.0.1:1")
    result = cli(home, "download", "rb2405.SHFE", "--start", "2024-03-04", "--base-url", "127.0.0.1:8081")
    assert result.returncode == 2 and "http://host:port" in result.stderr


def test_an_unreachable_address_is_named_with_where_it_came_from_and_the_zone_warned_of(tmp_path, refused_port):
    url = f"http://127.0.0.1:{refused_port}"
    home = make_home(tmp_path, url)
    settings = home / ".vntrader" / "vt_setting.json"
    values = json.loads(settings.read_text())
    del values["database.timezone"]  # the machine's zone, UTC here
    settings.write_text(json.dumps(values))
    utc = {**environment(home), "TZ": "UTC"}

    given = run(home, "download", "rb2405.SHFE", "--start", "2024-03-04", "--end", "2024-03-08", "--base-url",
                url, env=utc)
    assert given.returncode == 5
    assert url in given.stderr and "--base-url" in given.stderr and "datafeed.base_url" not in given.stderr
    assert "cannot reach the data service" in given.stderr
    # The zone: what it does to a daily bar, and the setting to change, on standard error.
    assert "2024-03-03 16:00" in given.stderr and '"database.timezone"' in given.stderr
    assert "16:00" not in given.stdout

    from_setting = run(home, "download", "rb2405.SHFE", "--start", "2024-03-04", "--end", "2024-03-08", env=utc)
    assert from_setting.returncode == 5
    assert url in from_setting.stderr and '"datafeed.base_url"' in from_setting.stderr

    status = run(home, "status", env=utc)
    assert status.returncode == 0 and "2024-03-03 16:00" in status.stderr
    china = run(home, "status", env={**utc, "TZ": "Asia/Shanghai"})
    assert "16:00" not in china.stderr


def test_streams_quiet_log_file_and_a_range_without_data(tmp_path, service):
    home = make_home(tmp_path, service)
    log = tmp_path / "night.log"
    holidays = ["download", "rb2405.SHFE", "--start", "2024-02-10", "--end", "2024-02-17", "--interval", "d"]

    quiet = cli(home, *holidays, "-q", "--log-file", str(log))
    assert quiet.returncode == 0, quiet.stderr
    assert not quiet.stdout.startswith("download:") and "1 tasks" in quiet.stdout and quiet.stderr == ""
    assert "1 tasks" in log.read_text() and not ANSI.search(log.read_text())

    required = cli(home, *holidays, "--require-data")
    assert required.returncode == 1
    assert "no data between 2024-02-10 and 2024-02-17" in required.stderr
    assert "no data between" not in required.stdout

    # With -v and the research module imported (--lab), the datafeed's lines go to
    # standard error, uncoloured in a pipe; without -v nothing of the log shows.
    days = ["download", "rb2405.SHFE", "--start", "2024-03-04", "--end", "2024-03-08", "--interval", "d"]
    plain = cli(home, *days, "--lab", str(tmp_path / "lab"))
    assert plain.returncode == 0, plain.stderr
    assert not ANSI.search(plain.stdout + plain.stderr) and "DEBUG" not in plain.stdout + plain.stderr
    assert "Norvix" not in plain.stdout + plain.stderr
    verbose = cli(home, *days, "--lab", str(tmp_path / "lab2"), "-v")
    assert "Norvix" in verbose.stderr and "Norvix" not in verbose.stdout
    assert not ANSI.search(verbose.stdout + verbose.stderr)


def test_the_summary_fits_the_terminal_and_lists_unstarted_tasks_in_one_line():
    from datetime import date, datetime

    from vnpy.trader.constant import Exchange, Interval

    from vnpy_norvix import download as dl
    from vnpy_norvix.download.summary import download_summary

    def outcome(symbol, **values):
        task = dl.Task(dl.Target(symbol, Exchange.SHFE, date(2024, 3, 4), date(2024, 3, 8)), Interval.MINUTE)
        task.todo = [object()]  # one window to fetch
        return dl.Outcome(task, **values)

    done = outcome("rb2405", fetched=1800, new=1800, first=datetime(2024, 3, 3, 21), last=datetime(2024, 3, 8, 15),
                   seconds=2.5)
    stopped = [outcome(f"au24{n:02}", interrupted=True) for n in range(1, 13)]
    summary = download_summary([done, *stopped], width=80)
    lines = summary.text.splitlines()
    assert max(map(len, lines)) <= 80
    assert sum("au24" in line for line in lines) == 1 and "12 tasks interrupted before saving anything" in summary.text
    assert lines[2].split()[:3] == ["rb2405.SHFE", "1m", "1800"]
    assert os.linesep not in summary.failed


def test_two_downloads_into_one_database_count_only_what_each_added(tmp_path, service):
    home = make_home(tmp_path, service)
    args = [sys.executable, "-m", "vnpy_norvix", "download", "rb2405.SHFE", "au2406.SHFE", "--start", "2024-03-04",
            "--end", "2024-03-22", "--interval", "d", "1m"]
    runs = [subprocess.Popen(args, cwd=home, env=environment(home), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True) for _ in range(2)]
    news = []
    for process in runs:
        out, err = process.communicate(timeout=300)
        assert process.returncode == 0, out + err
        news.append(int(re.search(r"records fetched, (\d+) new", out).group(1)))
    with sqlite3.connect(home / ".vntrader" / "database.db") as db:
        held = db.execute("SELECT count(*) FROM dbbardata").fetchone()[0]
    assert held > 0 and sum(news) == held, (news, held)


def test_ctrl_c_on_a_terminal_leaves_a_clean_summary_within_80_columns(tmp_path, slow_service):
    import fcntl
    import pty
    import select
    import signal
    import struct
    import termios
    import time

    import pyte

    home = make_home(tmp_path, slow_service.url)
    symbols = ["rb2410.SHFE", "au2412.SHFE", "rb2405.SHFE", "au2406.SHFE"]
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 200, 80, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "vnpy_norvix", "download", *symbols, "--start", "2024-01-02",
                                "--end", "2024-05-31", "--interval", "1m", "tick", "--jobs", "1"], cwd=home,
                               env={**environment(home), "COLUMNS": "80", "LINES": "200"}, stdin=follower,
                               stdout=follower, stderr=follower)
    os.close(follower)
    screen = pyte.Screen(80, 200)
    stream = pyte.ByteStream(screen)
    shown = b""
    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and b"window/s" not in shown:
            if select.select([leader], [], [], 0.5)[0]:
                shown += os.read(leader, 65536)
        time.sleep(1.5)  # a window or more saved
        process.send_signal(signal.SIGINT)
        while True:
            try:
                chunk = os.read(leader, 65536) if select.select([leader], [], [], 30)[0] else b""
            except OSError:  # the terminal's other end closed
                chunk = b""
            if not chunk:
                break
            shown += chunk
        process.wait(timeout=30)
    finally:
        process.kill()
        os.close(leader)
    stream.feed(shown.replace(b"\n", b"\r\n"))
    lines = [line.rstrip() for line in screen.display]
    assert process.returncode == 130, "\n".join(lines)
    table = lines[next(i for i, line in enumerate(lines) if line.startswith("symbol ")):]
    assert not any("window" in line or "%|" in line for line in table), "\n".join(lines)
    assert not any("window/s" in line for line in lines), "\n".join(lines)
    assert sum("interrupted before saving anything" in line for line in table) == 1, "\n".join(lines)
    assert all(len(line) <= 80 for line in lines)


def test_a_service_lost_mid_run_is_named_with_the_address_given(tmp_path, slow_service):
    import time

    from commands import saved_rows

    home = make_home(tmp_path, "http://127.0.0.1:1")
    url = slow_service.url
    process = subprocess.Popen([sys.executable, "-m", "vnpy_norvix", "download", "au2412.SHFE", "--start",
                                "2024-01-02", "--end", "2024-05-31", "--interval", "1m", "--jobs", "1",
                                "--base-url", url], cwd=home, env=environment(home), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and process.poll() is None:
            try:
                if saved_rows(home, "au2412", "1m")[0]:
                    break
            except sqlite3.OperationalError:
                pass  # no tables yet
            time.sleep(0.05)
        slow_service.shutdown()  # the service goes away mid-run
        slow_service.server_close()
        output, errors = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 5, output + errors
    assert "cannot reach the data service" in errors and url in errors and "--base-url" in errors
    assert "datafeed.base_url" not in output + errors


CJK = re.compile(r"[\u3000-\u9fff\uff00-\uffef]")


@pytest.mark.parametrize("reply, status", [  # 5: try later; 1: a failure that stays
    (servers.answer(b"overloaded", status="503 Service Unavailable"), 5),
    (servers.answer(servers.envelope(code=401, message="token expired")), 1),
    (servers.answer(b"<html>not json</html>"), 1),
    (servers.truncated(servers.envelope(data=[]), 5, then_reset=True), 5),
], ids=["http", "refused", "not-json", "reset"])
def test_the_command_lines_failures_read_in_english(tmp_path, reply, status):
    raw = servers.RawServer(reply)
    try:
        home = make_home(tmp_path, raw.url, **{"datafeed.retries": 0})
        result = cli(home, "download", "rb2405.SHFE", "--start", "2024-03-04", "--end", "2024-03-08")
    finally:
        raw.close()
    assert result.returncode == status and ("FAILED" in result.stderr or "error:" in result.stderr), result.stderr
    assert not CJK.search(result.stdout + result.stderr), result.stderr
