"""What the command line writes where.

Standard output carries what a run did (the plan, finished tasks, the summary);
standard error what went wrong (failures, warnings) and, with -v, the log's lines. -q
keeps only failures and the summary; --log-file PATH gets every line of both and the
log's records, without colour. The command line owns the log's sinks: whatever a
module it imports adds (vn.py's research module adds its own handler on import) is
removed again by `own_log`.

Also here, since they run before or beside any command: the check of vn.py's settings
file (vn.py reads it on import, and a broken one would end in a traceback) and the
warning about the zone vn.py's database keeps its times in.
"""

from __future__ import annotations

import argparse
import json
import sys
import threading
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING, TextIO
from zoneinfo import ZoneInfo

if TYPE_CHECKING:
    from loguru import Record

SETTINGS_FILE = "vt_setting.json"
CHINA = ZoneInfo("Asia/Shanghai")
# The datafeed's own log records: the command line reports their failures itself, so
# they show only with -v.
OWN_LOGGERS = ("vnpy_norvix", "norvix_datafeed")
LOG_FORMAT = "{time:YYYY-MM-DD HH:mm:ss.SSS} | {level: <7} | {message}"


def settings_path() -> Path:
    """vn.py's settings file, found as vn.py finds it (.vntrader in the working
    directory when there is one, else in the home directory)."""
    from vnpy.trader.utility import get_file_path  # does not read the settings

    return get_file_path(SETTINGS_FILE)


def read_settings_file() -> dict[str, object]:
    """The settings the file holds; raises ValueError saying which file, where and what
    is wrong when vn.py could not load it."""
    path = settings_path()
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return {}  # vn.py writes an empty one
    except UnicodeDecodeError as error:
        raise ValueError(f"vn.py's settings file {path} is not UTF-8 text (byte {error.start})") from None
    except OSError as error:
        raise ValueError(f"cannot read vn.py's settings file {path}: {error.strerror}") from None
    try:
        values = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"vn.py's settings file {path} is not valid JSON: line {error.lineno} column {error.colno}: "
                         f"{error.msg}") from None
    if not isinstance(values, dict):
        raise ValueError(f"vn.py's settings file {path} holds a JSON {type(values).__name__}, "
                         'not an object of settings like {"database.name": "sqlite"}')
    return values


def add_options(parser: argparse.ArgumentParser) -> None:
    """-v, -q and --log-file, for every subcommand."""
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("-v", "--verbose", action="store_true", help="also show the datafeed's log lines "
                                                                    "(on standard error)")
    shown.add_argument("-q", "--quiet", action="store_true", help="print only failures and the summary")
    parser.add_argument("--log-file", metavar="PATH", help="also write every line and the log's records "
                                                           "into this file (appended)")


@dataclass
class Console:
    quiet: bool = False
    verbose: bool = False
    log_file: TextIO | None = None
    # The program (python -m vnpy_norvix) owns every sink; main() called from Python
    # (tests, scripts) only its own.
    owner: bool = False
    handlers: list[int] = field(default_factory=list)
    zone_warned: bool = False
    lock: threading.Lock = field(default_factory=threading.Lock)

    def _write(self, stream: TextIO, text: str) -> None:
        with self.lock:
            print(text, file=stream, flush=True)
            if self.log_file is not None:
                print(text, file=self.log_file, flush=True)

    def say(self, text: str) -> None:
        """A line about the run's work, on standard output; none with -q."""
        if not self.quiet:
            self._write(sys.stdout, text)

    def summary(self, text: str) -> None:
        """The run's summary, on standard output, -q or not."""
        self._write(sys.stdout, text)

    def fail(self, text: str) -> None:
        """A failure, on standard error."""
        self._write(sys.stderr, text)

    def warn(self, text: str) -> None:
        """A warning, on standard error; none with -q."""
        if not self.quiet:
            self._write(sys.stderr, f"warning: {text}")

    def own_log(self) -> None:
        """The log's sinks set to the command line's, and only those."""
        from loguru import logger

        if self.owner:
            logger.remove()
        else:
            for handler in self.handlers:
                try:
                    logger.remove(handler)
                except ValueError:  # removed already, with everything, by an imported module
                    pass
        if self.verbose:
            self.handlers = [logger.add(sys.stderr, level="INFO", format="{time:HH:mm:ss} | {message}",
                                        colorize=sys.stderr.isatty())]
        else:
            self.handlers = [logger.add(sys.stderr, level="WARNING", format="{level}: {message}", filter=_not_own,
                                        colorize=sys.stderr.isatty())]
        if self.log_file is not None:
            self.handlers.append(logger.add(self.log_file, level="DEBUG" if self.verbose else "INFO",
                                            format=LOG_FORMAT, colorize=False))


def _not_own(record: Record) -> bool:
    return not (record["name"] or "").startswith(OWN_LOGGERS)


CONSOLE = Console()


def setup(args: argparse.Namespace) -> Console:
    """The console of this run from its options: -q, -v and --log-file (a usage error
    when the file cannot be opened). Commands print through it."""
    CONSOLE.quiet = bool(getattr(args, "quiet", False))
    CONSOLE.zone_warned = False
    CONSOLE.verbose = bool(getattr(args, "verbose", False))
    path = getattr(args, "log_file", None)
    if CONSOLE.log_file is not None:  # a file of an earlier main() in this process
        CONSOLE.log_file.close()
        CONSOLE.log_file = None
    if path:
        try:
            CONSOLE.log_file = open(path, "a", encoding="utf-8")  # noqa: SIM115  (open for the run)
        except OSError as error:
            raise ValueError(f"cannot write the log file {path}: {error.strerror}") from None
    CONSOLE.own_log()
    return CONSOLE


def database_zone_warning() -> str | None:
    """What the database's zone does to a daily bar, when vn.py's database keeps its times
    in a zone other than China's (the service's, whose trading days start at midnight)."""
    from vnpy.trader.database import DB_TZ

    example = datetime(2024, 3, 4, tzinfo=CHINA)
    moments = [example, example.replace(month=7)]
    if all(m.astimezone(DB_TZ).utcoffset() == m.utcoffset() for m in moments):
        return None
    try:
        configured = "database.timezone" in read_settings_file()
    except ValueError:
        configured = False
    why = (f'"database.timezone" is {DB_TZ.key}' if configured
           else f'"database.timezone" is not set, so vn.py uses this machine\'s zone, {DB_TZ.key}')
    stored = example.astimezone(DB_TZ).strftime("%Y-%m-%d %H:%M")
    return (f"vn.py's database keeps times in {DB_TZ.key}, not China's ({why}): the daily bar of "
            f"{example:%Y-%m-%d} is stored at {stored}, and vn.py's strategies and backtests read it as that. "
            f'Set "database.timezone" to "Asia/Shanghai" in {settings_path()} to keep the service\'s times.')


def warn_of_zone() -> None:
    """The zone warning on standard error, for every command that writes or shows stored
    times (download, continuous, status, update), once a run (update runs the others)."""
    warning = database_zone_warning()
    if warning and not CONSOLE.zone_warned:
        CONSOLE.zone_warned = True
        CONSOLE.warn(warning)
