"""The commands a store remembers: what every `download` and `continuous` was asked, kept
with the store it wrote to, for `update` to run again up to a later end.

Where they are kept: in a table of the same database for vnpy_sqlite, vnpy_postgresql
and vnpy_mysql ("norvixcommand", beside vn.py's own), in the lab folder for an AlphaLab
(norvix_commands.json, without the folder's path: `update --lab PATH` gives it), and for any other adapter in a file of vn.py's settings folder
named after the database. A command is kept once, however often it is run; each keeps
a small state of its own (a continuous series' last build).
"""

from __future__ import annotations

import json
import os
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from vnpy.trader.database import BaseDatabase

from . import store
from .runlock import identity_digest

if TYPE_CHECKING:
    from .store.writer import Writer

TABLE = "norvixcommand"
LAB_FILE = "norvix_commands.json"
# What a command remembers of its options (the jobs and the output options are the run's,
# not the command's; so is an end left to its default, today).
REMEMBERED = {"download": ("symbols", "product", "contracts", "start", "end", "interval", "lab", "rates"),
              "continuous": ("products", "start", "end", "interval", "adjust", "name", "lab", "rates")}

Command = dict[str, Any]


@dataclass
class Entry:
    number: int
    command: Command
    state: dict[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.command.setdefault("end", None)  # kept by an earlier version, which kept no end

    def argv(self) -> list[str]:
        """The command as the command line takes it (with --end only when it was given one)."""
        return command_argv(self.command)

    @property
    def series(self) -> set[str]:
        return written_series(self.command, self.state)


def command_of(name: str, values: dict[str, Any]) -> Command:
    """What `name` was asked, from its parsed options, in a form that compares equal for
    the same request however it was written."""
    from .names import INTERVAL_NAMES

    interval_names = {interval: text for text, interval in INTERVAL_NAMES.items()}
    command: Command = {"command": name}
    for key in REMEMBERED[name]:
        value: Any = values.get(key)
        if key == "symbols":
            value = [f"{symbol}.{exchange.value}" for symbol, exchange in value or []]
        elif key == "interval":
            value = [interval_names[interval] for interval in dict.fromkeys(value)]
        elif key == "start":
            value = value.isoformat()
        elif key == "end":  # only an end given on the command line: the default moves with the clock
            value = values["end_given"].isoformat() if values.get("end_given") else None
        elif key == "lab":
            value = None  # a lab's commands are kept in the lab folder itself, wherever it is moved
        elif key in ("product", "products"):
            value = list(dict.fromkeys(value))
        elif key == "rates" and value is not None:
            value = [float(rate) for rate in value]
        command[key] = value
    if name == "download" and not command["product"]:
        command["contracts"] = None  # --contracts only matters with --product
    return command


def command_argv(command: Command) -> list[str]:
    name = command["command"]
    argv = [name]
    if name == "download":
        argv += command["symbols"]
        if command["product"]:
            argv += ["--product", *command["product"], "--contracts", command["contracts"]]
    else:
        argv += command["products"]
        argv += ["--adjust", command["adjust"]]
        if command["name"]:
            argv += ["--name", command["name"]]
    argv += ["--start", command["start"], *(["--end", command["end"]] if command.get("end") else []),
             "--interval", *command["interval"]]
    if command["lab"]:
        argv += ["--lab", command["lab"]]
    if command["rates"]:
        argv += ["--rates", *map(repr, command["rates"])]
    return argv


def command_text(command: Command) -> str:
    return " ".join(command_argv(command))


class Memory:
    """The remembered commands of one store."""

    def entries(self) -> list[Entry]:
        raise NotImplementedError

    def remember(self, command: Command, series: set[str] | None = None) -> tuple[Entry, list[Entry]]:
        """The entry of `command`, added when it is not kept yet, with the series it wrote
        (`series`, "symbol interval"; by default those its command names); and the
        entries it replaced: one command per series, so another remembered command that
        writes one of them is forgotten."""
        written = series if series is not None else written_series(command, {})
        kept = self.entries()
        for entry in kept:
            if entry.command == command:
                self.wrote(entry, written)
                return entry, []
        replaced = [entry for entry in kept if entry.series & written]
        for entry in replaced:
            self.forget(entry.number)
        entry = self._add(command)
        if command["command"] == "download":
            self.set_state(entry.number, {"series": sorted(written)})
        return entry, replaced

    def wrote(self, entry: Entry, series: set[str]) -> None:
        """A download's entry told the series a run of it wrote (its products' contracts
        change over time)."""
        if entry.command["command"] == "download" and not series <= entry.series:
            entry.state = {**entry.state, "series": sorted(entry.series | series)}
            self.set_state(entry.number, entry.state)

    def _add(self, command: Command) -> Entry:
        raise NotImplementedError

    def forget(self, number: int) -> bool:
        raise NotImplementedError

    def set_state(self, number: int, state: dict[str, Any]) -> None:
        raise NotImplementedError


class FileMemory(Memory):
    """Commands in a JSON file, rewritten whole through a file renamed into place."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def _read(self) -> list[Entry]:
        if not self.path.exists():
            return []
        with open(self.path, encoding="utf-8") as file:
            return [Entry(item["number"], item["command"], item.get("state", {})) for item in json.load(file)]

    def _write(self, entries: list[Entry]) -> None:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        handle, name = tempfile.mkstemp(dir=self.path.parent, prefix=f".{self.path.name}.", suffix=".tmp")
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                json.dump([{"number": e.number, "command": e.command, "state": e.state} for e in entries], file,
                          indent=2, ensure_ascii=False)
                file.flush()
                os.fsync(file.fileno())
            os.replace(name, self.path)
        except BaseException:
            Path(name).unlink(missing_ok=True)
            raise

    def entries(self) -> list[Entry]:
        return self._read()

    def _add(self, command: Command) -> Entry:
        entries = self._read()
        entry = Entry(max((e.number for e in entries), default=0) + 1, command)
        self._write([*entries, entry])
        return entry

    def forget(self, number: int) -> bool:
        entries = self._read()
        kept = [entry for entry in entries if entry.number != number]
        if len(kept) == len(entries):
            return False
        self._write(kept)
        return True

    def set_state(self, number: int, state: dict[str, Any]) -> None:
        entries = self._read()
        for entry in entries:
            if entry.number == number:
                entry.state = state
        self._write(entries)


class TableMemory(Memory):
    """Commands in a table of vn.py's SQLite, PostgreSQL or MySQL database, written in the
    dialect its writer knows."""

    def __init__(self, writer: Writer) -> None:
        self.writer = writer
        self.table = writer.name(TABLE)
        self.param = writer.param

    def _column(self, name: str) -> str:
        return self.writer.name(name)

    def _create(self) -> None:
        command, state = self._column("command"), self._column("state")
        self.writer.execute(f"CREATE TABLE IF NOT EXISTS {self.table} ({self._column('id')} "
                            f"{self.writer.SERIAL_KEY}, {command} TEXT NOT NULL, {state} TEXT NOT NULL"
                            f"{self.writer.unique_text(command)})")

    def entries(self) -> list[Entry]:
        if not self.writer.table_columns(TABLE):
            return []
        rows = self.writer.execute(f"SELECT {self.writer.names(('id', 'command', 'state'))} FROM {self.table} "
                                   f"ORDER BY {self._column('id')}")
        return [Entry(row[0], json.loads(row[1]), json.loads(row[2])) for row in rows]

    def _add(self, command: Command) -> Entry:
        text = json.dumps(command, sort_keys=True, ensure_ascii=False)
        self._create()  # before the transaction: MySQL commits the one under way at a CREATE
        with self.writer.transaction():
            self.writer.execute(f"INSERT INTO {self.table} ({self.writer.names(('command', 'state'))}) "
                                f"VALUES ({self.param}, {self.param})", (text, "{}"))
            found = self.writer.execute(f"SELECT MIN({self._column('id')}) FROM {self.table} "
                                        f"WHERE {self._column('command')} = {self.param}", (text,)).fetchone()
        assert found is not None
        return Entry(found[0], command)

    def forget(self, number: int) -> bool:
        if not self.writer.table_columns(TABLE):
            return False
        with self.writer.transaction():
            kept = self.writer.execute(f"SELECT 1 FROM {self.table} WHERE {self._column('id')} = {self.param}",
                                       (number,)).fetchone()
            self.writer.execute(f"DELETE FROM {self.table} WHERE {self._column('id')} = {self.param}", (number,))
        return kept is not None

    def set_state(self, number: int, state: dict[str, Any]) -> None:
        with self.writer.transaction():
            self.writer.execute(f"UPDATE {self.table} SET {self._column('state')} = {self.param} "
                                f"WHERE {self._column('id')} = {self.param}", (json.dumps(state, sort_keys=True),
                                                                              number))


def memory(database: BaseDatabase | None, lab: str | None = None) -> Memory:
    """The remembered commands of the lab folder `lab`, else of `database`."""
    if lab:
        return FileMemory(Path(lab) / LAB_FILE)
    writer = store.sql_writer(database)
    if writer is not None:
        return TableMemory(writer)
    from vnpy.trader.utility import get_file_path

    return FileMemory(get_file_path(f"norvix_commands-{identity_digest(database)}.json"))


def continuous_names(command: Command) -> list[str]:
    """The symbols a continuous command saves its series under."""
    return [command["name"]] if command["name"] else [f"{product}888" for product in command["products"]]


def written_series(command: Command, state: dict[str, Any]) -> set[str]:
    """The series ("symbol interval") a remembered command writes: those a download found
    (kept in its state: a product's contracts change), else those its command names."""
    if "series" in state:
        return set(state["series"])
    if command["command"] == "continuous":
        names = continuous_names(command)
    else:
        names = [vt_symbol.split(".")[0] for vt_symbol in command["symbols"]]
    return {f"{name} {interval}" for name in names for interval in command["interval"]}


def remember_run(name: str, args: Any, database: BaseDatabase | None,
                 series: set[str] | None = None) -> tuple[Entry | None, list[Entry]]:
    """The command of `args` kept with its store, once it ran and the caller found that it
    can work (it succeeded, or failed only for reasons a later run may not meet), unless
    it is a dry run or run with --no-remember; the entry (the one `update` runs, when it
    does) and the remembered commands it replaced."""
    if getattr(args, "dry_run", False) or getattr(args, "no_remember", False):
        return None, []
    given: Entry | None = getattr(args, "remembered", None)
    kept = memory(database, args.lab)
    if given is not None:
        kept.wrote(given, series or set())
        return given, []
    return kept.remember(command_of(name, vars(args)), series)
