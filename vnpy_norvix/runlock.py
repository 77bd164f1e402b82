"""One writing run per store at a time.

For a PostgreSQL or MySQL database the lock is the server's own (a session advisory lock,
named after the database, on a connection of its own): every process writing into that
database is excluded, from any machine and any settings folder. For a SQLite file, a lab
folder and any other adapter it is the operating system's exclusive lock (fcntl on POSIX,
msvcrt on Windows) on a file beside the store: beside the SQLite file, in the lab folder,
or in vn.py's settings folder, named after the database. Either goes with the process that
holds it, however that process ends: a run killed with SIGKILL leaves no stale lock.

A lock file may lie in a folder from someone else (a lab folder from an archive): it is
opened without following a link and used only when it is a regular file of its own in
that folder, small enough to be nothing but a lock; anything else is refused, never
written to.
"""

from __future__ import annotations

import errno
import hashlib
import os
import stat
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any, Protocol

from . import store
from .store import Store

# The most a lock file ever holds: a process id and a newline. A larger file is not one.
MOST_LOCK_BYTES = 64
POLL_SECONDS = 0.5  # how often a waiting run asks for the lock again


class Held(Exception):
    """Another run holds the store; `where` names its lock."""

    def __init__(self, where: str) -> None:
        super().__init__(where)
        self.where = where


class Refused(Exception):
    """The lock cannot be taken at all (a link, a folder, a foreign file, a full disk, a
    server that refuses): the message says what, where and what to do."""


class Lock(Protocol):
    key: tuple[str, str]  # the same for every lock object of one store
    where: str  # what the messages name

    def take(self) -> bool:
        """The lock taken now, or False when another run holds it."""
        ...

    def release(self) -> None: ...


def lock_of(held: Store) -> Lock:
    """The lock of the store: the server's own for PostgreSQL and MySQL, a file otherwise."""
    server = held.server()
    if server is not None:
        return ServerLock(*server)
    return FileLock(held.lock_file())


# --- a lock file --------------------------------------------------------------------------

# Opened as it is, never through a link, never blocking (a FIFO planted in its place).
OPEN_FLAGS = (os.O_RDWR | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
              | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))


def open_lock_file(path: Path) -> IO[bytes]:
    """The lock file at `path`, created when missing; `Refused` for a link, anything but
    a regular file, a file linked elsewhere too, or one holding more than a lock does."""
    if path.is_symlink() or path.is_junction():  # where O_NOFOLLOW is missing (Windows)
        raise Refused(_refusal(path, "it is a link"))
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        handle = os.open(path, OPEN_FLAGS, 0o666)
    except OSError as error:
        raise Refused(_no_space(path, error) if error.errno == errno.ENOSPC
                      else _refusal(path, _problem(path, error))) from None
    try:
        opened, named = os.fstat(handle), os.lstat(path)
        problem = None
        if not stat.S_ISREG(opened.st_mode) or (opened.st_dev, opened.st_ino) != (named.st_dev, named.st_ino):
            problem = "it is not a regular file"
        elif opened.st_nlink > 1:
            problem = "it is linked to another file"
        elif opened.st_size > MOST_LOCK_BYTES:
            problem = f"it holds {opened.st_size} bytes, more than a lock file does"
        if problem:
            raise Refused(_refusal(path, problem))
        return os.fdopen(handle, "r+b", buffering=0)  # a failed write fails there, not again at close
    except BaseException:
        os.close(handle)
        raise


def _problem(path: Path, error: OSError) -> str:
    if path.is_dir():
        return "it is a folder"
    if path.is_symlink():
        return "it is a link"
    return os.strerror(error.errno) if error.errno else str(error)


def _refusal(path: Path, problem: str) -> str:
    return (f"error: cannot use {path} as this store's lock file: {problem}; nothing was changed. "
            f"Remove it if it is not yours, or name another folder")


def _no_space(path: Path, error: OSError) -> str:
    return (f"error: cannot write the lock file {path}: {os.strerror(error.errno or 0)}; nothing was changed. "
            f"Free some space and run again")


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
            time.sleep(POLL_SECONDS)
    import fcntl

    try:
        fcntl.flock(handle.fileno(), fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except BlockingIOError:
        return False
    return True


class FileLock:
    def __init__(self, path: Path) -> None:
        self.path = path
        self.key = ("file", str(path.parent.resolve() / path.name))
        self.where = str(path)
        self._handle: IO[bytes] | None = None

    def take(self) -> bool:
        if self._handle is None:
            self._handle = open_lock_file(self.path)
        if not _lock(self._handle, wait=False):
            return False
        try:  # which process holds it, for whoever looks
            self._handle.seek(0)
            self._handle.truncate()
            self._handle.write(f"{os.getpid()}\n".encode())
        except OSError as error:  # a full disk: the run could write nothing else either
            self.release()
            raise Refused(_no_space(self.path, error)) from None
        return True

    def release(self) -> None:
        if self._handle is not None:
            self._handle.close()  # closing the file releases the operating system's lock
            self._handle = None


# --- a server's advisory lock -----------------------------------------------------------

# MySQL's lock names are at most this long.
MOST_MYSQL_NAME = 64


class ServerLock:
    """PostgreSQL's `pg_try_advisory_lock` or MySQL's `GET_LOCK`, named after the
    database, held by a connection of its own until it is closed (or its process ends)."""

    def __init__(self, dialect: str, db: Any) -> None:
        self.dialect, self.db = dialect, db
        name = f"norvix:{db.database}"
        if len(name) > MOST_MYSQL_NAME:
            name = f"norvix:{hashlib.sha256(str(db.database).encode()).hexdigest()[:40]}"
        self.name = name
        self.key = ("server", store.describe_db(dialect, db))
        kind = "PostgreSQL advisory lock" if dialect == "postgresql" else "MySQL lock"
        self.where = f"{kind} {name!r} of {store.describe_db(dialect, db)}"
        self._connection: Any = None

    def take(self) -> bool:
        try:
            if self._connection is None:
                self._connection = self.db._connect()  # peewee's own, outside its per-thread pool
            return store.try_server_lock(self.dialect, self._connection.cursor(), self.name)
        except Exception as error:  # the server unreachable or refusing
            self.release()
            raise Refused(f"error: cannot take the {self.where}: {type(error).__name__}: {error}".rstrip()) from None

    def release(self) -> None:
        if self._connection is not None:
            try:
                self._connection.close()  # the server releases the session's locks
            except Exception:
                pass  # a connection already lost holds nothing
            self._connection = None


# The locks this process holds, by key: a run that opens the store again (update runs
# each remembered command) takes its own lock again without waiting for itself.
_held: dict[tuple[str, str], Lock] = {}


def acquire(lock: Lock, wait: bool = True, waiting: Callable[[str], None] | None = None) -> None:
    """`lock`, held until `release_all`. Another run's: waited for (after `waiting` is
    told), or `Held` at once when `wait` is false; `Refused` when it cannot be taken."""
    if lock.key in _held:
        return
    try:
        if not lock.take():
            if not wait:
                raise Held(lock.where)
            if waiting is not None:
                waiting(lock.where)
            while not lock.take():
                time.sleep(POLL_SECONDS)
    except BaseException:
        lock.release()
        raise
    _held[lock.key] = lock


def release_all() -> None:
    """Every lock this process took."""
    while _held:
        _, lock = _held.popitem()
        lock.release()


@contextmanager
def session() -> Iterator[None]:
    """Locks taken inside the block are released when it ends."""
    try:
        yield
    finally:
        release_all()
