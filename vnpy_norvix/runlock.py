"""One writing run per store at a time: an exclusive lock on a file beside the store.

The lock is the operating system's (fcntl on POSIX, msvcrt on Windows), so it goes with
the process that holds it, however that process ends: a run killed with SIGKILL leaves
no stale lock behind. Where the file lies: beside the SQLite file, in the lab folder,
or for a server database in vn.py's settings folder, named after the database.
"""

from __future__ import annotations

import hashlib
import os
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO

from vnpy.trader.database import BaseDatabase

from . import store

LOCK_NAME = ".norvix.lock"


class Held(Exception):
    """Another run holds the store."""

    def __init__(self, path: Path) -> None:
        super().__init__(str(path))
        self.path = path


def lock_path(database: BaseDatabase | None, lab: str | None = None) -> Path:
    """The lock file of the store: the lab folder's, the SQLite file's, or one per server
    database in vn.py's settings folder."""
    if lab:
        return Path(lab) / LOCK_NAME
    file = sqlite_file(database)
    if file is not None:
        return Path(f"{file}.norvix.lock")
    from vnpy.trader.utility import get_file_path

    return get_file_path(f"norvix-{identity_digest(database)}.lock")


def sqlite_file(database: BaseDatabase | None) -> str | None:
    """The file of a vnpy_sqlite database, None for any other."""
    cls = type(database)
    if store.ADAPTERS.get((cls.__module__, cls.__name__)) != "sqlite":
        return None
    return str(getattr(database, "db").database)


def identity_digest(database: BaseDatabase | None) -> str:
    """A short name for the database, the same for every run that opens it."""
    from vnpy.trader.setting import SETTINGS

    keys = ("database.name", "database.host", "database.port", "database.database")
    identity = "|".join([store.describe(database) if database is not None else "", *(str(SETTINGS.get(key))
                                                                                     for key in keys)])
    return hashlib.sha256(identity.encode()).hexdigest()[:16]


def _lock(handle: IO[bytes], wait: bool) -> bool:
    """The operating system's exclusive lock on `handle`: waited for, or False at once
    when another process holds it and `wait` is false."""
    if sys.platform == "win32":
        import msvcrt

        while True:
            handle.seek(0)  # msvcrt locks bytes from the current position: always the first one
            try:
                msvcrt.locking(handle.fileno(), msvcrt.LK_NBLCK, 1)
                return True
            except OSError:
                if not wait:
                    return False
            time.sleep(0.5)
    import fcntl

    try:
        fcntl.flock(handle.fileno(), fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except BlockingIOError:
        return False
    return True


# The locks this process holds, by path: a run that opens the store again (update runs
# each remembered command) takes its own lock again without waiting for itself.
_held: dict[Path, IO[bytes]] = {}


def acquire(path: Path, wait: bool = True, waiting: Callable[[Path], None] | None = None) -> None:
    """The lock at `path`, held until `release_all`. Another run's: waited for (after
    `waiting` is told), or `Held` at once when `wait` is false."""
    path = path.resolve()
    if path in _held:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    handle = open(path, "a+b")
    try:
        if not _lock(handle, wait=False):
            if not wait:
                raise Held(path)
            if waiting is not None:
                waiting(path)
            _lock(handle, wait=True)
        handle.seek(0)
        handle.truncate()
        handle.write(f"{os.getpid()}\n".encode())
        handle.flush()
    except BaseException:
        handle.close()
        raise
    _held[path] = handle


def release_all() -> None:
    """Every lock this process took (closing the file releases the operating system's lock)."""
    while _held:
        _, handle = _held.popitem()
        handle.close()


@contextmanager
def session() -> Iterator[None]:
    """Locks taken inside the block are released when it ends."""
    try:
        yield
    finally:
        release_all()
