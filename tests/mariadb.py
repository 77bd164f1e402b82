"""A MariaDB server of the tests' own, for vn.py's MySQL adapter."""

import os
import shutil
import subprocess
import time
from collections.abc import Iterator
from contextlib import closing, contextmanager
from pathlib import Path

import pytest

from pg import _user_exists

MARIADBD = shutil.which("mariadbd", path=f"/usr/sbin:/usr/bin:{os.environ.get('PATH', '')}")
INSTALL_DB = shutil.which("mariadb-install-db", path=f"/usr/bin:/usr/sbin:{os.environ.get('PATH', '')}")
MY_USER, MY_PASSWORD = "vnpy", "vnpy-secret"


@contextmanager
def running_mariadb(port: int, server_env: dict[str, str]) -> Iterator[dict]:
    """A MariaDB server of its own on 127.0.0.1:`port` in a temporary directory (run by the
    "mysql" user when started by root), with a user and a database "vnpy": vn.py's settings
    for it. The user may create and drop databases of its own."""
    import tempfile

    import pymysql

    assert MARIADBD and INSTALL_DB
    root = Path(tempfile.mkdtemp(prefix="norvix-mariadb-"))
    root.chmod(0o755)
    owner: list[str] = []
    if os.geteuid() == 0:  # as root the server wants to be told whom to run as
        name = "mysql" if _user_exists("mysql") else "root"
        owner = [f"--user={name}"]
        shutil.chown(root, name)
    data, sock, log = root / "data", root / "server.sock", root / "server.log"
    server = None
    try:
        subprocess.run([INSTALL_DB, "--no-defaults", f"--datadir={data}", *owner, "--skip-test-db",
                        "--auth-root-authentication-method=normal", "--skip-name-resolve"],
                       check=True, capture_output=True, env=server_env)
        server = subprocess.Popen([MARIADBD, "--no-defaults", f"--datadir={data}", *owner, f"--socket={sock}",
                                   f"--port={port}", "--bind-address=127.0.0.1", f"--log-error={log}",
                                   "--skip-name-resolve", "--innodb-buffer-pool-size=128M", "--local-infile=0",
                                   # as Debian configures its server: text in UTF-8, compared case-insensitively
                                   "--character-set-server=utf8mb4", "--collation-server=utf8mb4_general_ci"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=server_env)
        connection = None
        deadline = time.monotonic() + 60
        while connection is None:
            try:
                connection = pymysql.connect(unix_socket=str(sock), user="root", autocommit=True)
            except pymysql.err.OperationalError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"the MariaDB server did not start: {log.read_text(errors='replace')}")
                time.sleep(0.2)
        with closing(connection):
            cursor = connection.cursor()
            cursor.execute("CREATE DATABASE vnpy")
            cursor.execute("CREATE USER %s@'127.0.0.1' IDENTIFIED BY %s", (MY_USER, MY_PASSWORD))
            cursor.execute("GRANT ALL ON *.* TO %s@'127.0.0.1'", (MY_USER,))
        yield {"database.name": "mysql", "database.database": "vnpy", "database.host": "127.0.0.1",
               "database.port": port, "database.user": MY_USER, "database.password": MY_PASSWORD}
    finally:
        if server is not None:
            server.terminate()  # a clean shutdown on SIGTERM
            try:
                server.wait(60)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="module")
def mariadb():
    """vn.py's settings for a MariaDB server of the tests' own (see running_mariadb)."""
    from helpers import environ_without, free_port

    if not (MARIADBD and INSTALL_DB):
        pytest.skip("the MariaDB server is not installed (scripts/setup.sh installs it)")
    pytest.importorskip("pymysql")
    with running_mariadb(free_port(), environ_without("LD_PRELOAD")) as settings:
        yield settings

