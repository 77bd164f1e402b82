"""A PostgreSQL 15 server of the tests' own, for vn.py's PostgreSQL adapter."""

import os
import subprocess
from collections.abc import Iterator
from contextlib import closing, contextmanager
from pathlib import Path

import pytest

PG_BIN = Path("/usr/lib/postgresql/15/bin")
PG_USER, PG_PASSWORD = "vnpy", "vnpy-secret"


@contextmanager
def running_postgres(port: int, server_env: dict[str, str]) -> Iterator[dict]:
    """A PostgreSQL server of its own on 127.0.0.1:`port` in a temporary directory, run by
    an unprivileged user, with a database "vnpy": vn.py's settings for it."""
    import shutil
    import tempfile

    root = Path(tempfile.mkdtemp(prefix="norvix-pg-"))
    root.chmod(0o755)
    as_owner: list[str] = []
    if os.geteuid() == 0:  # the server refuses to run as root
        owner = "postgres" if shutil.which("runuser") and _user_exists("postgres") else "nobody"
        as_owner = ["runuser", "-u", owner, "--"]
        shutil.chown(root, owner)
    data, log = root / "data", root / "server.log"
    try:
        (root / "pw").write_text(PG_PASSWORD)
        if as_owner:
            shutil.chown(root / "pw", as_owner[2])
        subprocess.run([*as_owner, PG_BIN / "initdb", "-D", data, "-U", PG_USER, "--pwfile", root / "pw",
                        "--auth-host=scram-sha-256", "--auth-local=trust", "-E", "UTF8"],
                       check=True, capture_output=True, env=server_env)
        subprocess.run([*as_owner, PG_BIN / "pg_ctl", "-D", data, "-l", log, "-w", "-o",
                        f"-p {port} -k {root} -c listen_addresses=127.0.0.1", "start"], check=True, capture_output=True,
                       env=server_env)
        import psycopg2

        with closing(psycopg2.connect(host="127.0.0.1", port=port, user=PG_USER, password=PG_PASSWORD,
                                      dbname="postgres")) as connection:
            connection.autocommit = True
            connection.cursor().execute("CREATE DATABASE vnpy")
        yield {"database.name": "postgresql", "database.database": "vnpy", "database.host": "127.0.0.1",
               "database.port": port, "database.user": PG_USER, "database.password": PG_PASSWORD}
    finally:
        subprocess.run([*as_owner, PG_BIN / "pg_ctl", "-D", data, "-m", "fast", "-w", "stop"], capture_output=True,
                       env=server_env)
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="module")
def postgres():
    """vn.py's settings for a PostgreSQL server of the tests' own (see running_postgres)."""
    from helpers import environ_without, free_port

    if not (PG_BIN / "initdb").exists():
        pytest.skip("the PostgreSQL 15 server binaries are not installed (scripts/setup.sh installs them)")
    # The server is not ours to check: no sanitizer runtime preloaded into it.
    with running_postgres(free_port(), environ_without("LD_PRELOAD")) as settings:
        yield settings


def _user_exists(name: str) -> bool:
    import pwd

    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False
