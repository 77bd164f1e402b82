"""Files the plug-in writes whole: through a temporary file beside the target, renamed
onto it once on disk, so that an interrupted write leaves the file as it was; and only
inside the folder the user named."""

from __future__ import annotations

import json
import os
import stat
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

# What a new file is created with before the umask, as open() and vn.py's own writers do.
NEW_FILE_MODE = 0o666


class Unusable(Exception):
    """A file of the plug-in's own (in a lab folder, in the settings folder) that is not
    what the plug-in writes there: its message is the one line to show."""


def unusable(path: Path, what: str, problem: str, todo: str) -> Unusable:
    return Unusable(f"error: {path} is not {what}: {problem}. {todo}")


def read_json(path: Path, what: str, todo: str) -> Any:
    """The JSON value of the file at `path`; `Unusable` naming it when it cannot be read as
    JSON (a folder, bytes that are not UTF-8 JSON)."""
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except (OSError, ValueError) as error:
        problem = "it is a folder" if path.is_dir() else f"{type(error).__name__}: {error}"
        raise unusable(path, what, problem, todo) from None


def inside(folder: Path, path: Path) -> Path:
    """`path` resolved, when it stays inside `folder` (both resolved: links followed);
    raises ValueError naming both otherwise."""
    base = folder.resolve()
    final = path.resolve()
    if final == base or not final.is_relative_to(base):
        raise ValueError(f"{str(path)!r} is outside the folder {str(folder)!r}")
    return final


def _temporary(path: Path) -> Path:
    """A new empty file beside `path`, created as a new `path` would be: mode 0666 less
    the umask (the system applies it: reading the umask would change it for every thread)."""
    flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY | getattr(os, "O_BINARY", 0)
    for _ in range(100):
        candidate = path.with_name(f".{path.name}.{os.urandom(6).hex()}.tmp")
        try:
            os.close(os.open(candidate, flags, NEW_FILE_MODE))
        except FileExistsError:
            continue
        return candidate
    raise FileExistsError(f"no free temporary name beside {str(path)!r}")


@contextmanager
def replacing(path: Path) -> Iterator[Path]:
    """A temporary file beside `path` to write, renamed onto it (after reaching the disk)
    when the block ends without error, removed otherwise. A file replaced keeps its mode;
    a new one gets what creating it in place would give."""
    temporary = _temporary(path)
    try:
        yield temporary
        try:
            mode: int | None = stat.S_IMODE(os.stat(path).st_mode)
        except FileNotFoundError:
            mode = None
        with open(temporary, "rb+") as written:
            os.fsync(written.fileno())
        if mode is not None:
            os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
