"""The commands a store remembers: what every `download` and `continuous` was asked, kept
with the store it wrote to, for `update` to run again up to a later end.

Where they are kept: in a table of the same database for vnpy_sqlite, vnpy_postgresql
and vnpy_mysql ("norvixcommand", beside vn.py's own), in the lab folder for an AlphaLab
(norvix_commands.json, without the folder's path: `update --lab PATH` gives it), and for any other adapter in a file of vn.py's settings folder
named after the database. A command is kept once, however often it is run; each keeps
a small state of its own (a continuous series' last build).

What a store remembers is read as data from outside (a lab folder may come from someone
else): each command's values by the rules of the command line's own arguments (names,
intervals, dates), nothing else; an entry that does not read so is kept as it is, named
and not run.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from datetime import date
from pathlib import Path
from typing import Any

from .store import Store
from .store.commands import TABLE, CommandTable
from .files import read_json, replacing, unusable
from .names import ADJUSTMENTS, INTERVAL_NAMES, METHODS, ROLL_RULES, check_vt_symbol, is_name


# What a command remembers of its options (the jobs and the output options are the run's,
# not the command's; so is an end left to its default, today).
REMEMBERED = {"download": ("symbols", "product", "contracts", "start", "end", "interval", "lab", "rates"),
              "continuous": ("products", "start", "end", "interval", "adjust", "name", "lab", "rates")}

# What a continuous command keeps beside them where its series is not the service's
# dominant contracts adjusted by ratios.
OPTIONAL_ROLL = ("roll", "method")

Command = dict[str, Any]


@dataclass
class Entry:
    number: int
    command: Command
    state: dict[str, Any] = field(default_factory=dict)
    problem: str | None = None  # why the entry is not a command this version runs (then `raw` is it)
    raw: Any = None

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
    if name == "continuous":
        command.update(roll_of(values))
    return command


def roll_of(values: dict[str, Any]) -> Command:
    """A continuous series' roll rule and method, kept only where they differ from the
    service's rule and ratios: a command remembered before there were rules is the same."""
    from .rolls import RollRule

    kept: Command = {}
    if "roll" in values:
        rule = RollRule(values["roll"], values["threshold"], values["confirm"], values["before"],
                        tuple(values["months"]), values["force_days"], values["depth"])
        if rule.record() != RollRule().record():
            kept["roll"] = rule.record()
    if values.get("method", "ratio") != "ratio":
        kept["method"] = values["method"]
    return kept


def _names(value: object, what: str, empty: bool = False) -> list[str]:
    # A name the command line would read as an option cannot have been given to it.
    if not isinstance(value, list) or not (value or empty) or not all(
            is_name(item) and not item.startswith("-") for item in value):
        raise ValueError(f"{what} is not a list of names (letters and digits, possibly with - or _)")
    return value


def _integer(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _roll_values(value: dict[str, Any]) -> dict[str, Any]:
    """A remembered continuous command's roll rule and method as `roll_of` reads them from
    the command line's options; ValueError for anything those options could not say."""
    from .rolls import RollRule

    values: dict[str, Any] = {"method": value.get("method", "ratio")}
    if values["method"] not in METHODS:
        raise ValueError(f"method is not one of {', '.join(METHODS)}")
    record = value.get("roll")
    if record is None:
        return values
    known = {"rule", "threshold", "confirm", "before", "months", "force_days", "depth"}
    if not isinstance(record, dict) or record.get("rule") not in ROLL_RULES or set(record) - known:
        raise ValueError("roll is not a roll rule")
    threshold = record.get("threshold", 1.0)
    counts = [record.get(key) for key in ("confirm", "before", "force_days", "depth")]
    months = record.get("months", [])
    if not (isinstance(threshold, int | float) and not isinstance(threshold, bool) and math.isfinite(threshold)) \
            or not all(item is None or _integer(item) for item in counts) \
            or not (isinstance(months, list) and all(_integer(month) for month in months)):
        raise ValueError("roll's parameters are not numbers")
    rule = RollRule.of_record(record)
    if rule.problem():
        raise ValueError(f"roll: {rule.problem()}")
    if len(set(rule.months)) != len(rule.months):  # --months takes each month once
        raise ValueError("roll's months repeat")
    return {**values, "roll": rule.rule, **{key: getattr(rule, key) for key in known - {"rule"}}}


def parse_command(value: object) -> Command:
    """A remembered command read as data, in the form `command_of` gives; ValueError saying
    what is wrong with it. Only the command's own remembered values are taken: nothing in
    it sets an option of the run (--base-url, --log-file, --lab...)."""
    return command_of(*command_values(value))


def command_values(value: object) -> tuple[str, dict[str, Any]]:
    """A remembered command's name and values as the command line's parser gives its
    options (with "end_given" the end it was given, if any); ValueError as `parse_command`."""
    if not isinstance(value, dict):
        raise ValueError("not a command")
    name = value.get("command")
    if name not in REMEMBERED:
        raise ValueError(f"unknown command {str(name)[:40]!r}")
    own = {*REMEMBERED[name], *(OPTIONAL_ROLL if name == "continuous" else ())}
    extra = sorted(set(value) - {"command", *own})
    if extra:
        raise ValueError(f"holds what is not {name}'s own: {', '.join(map(str, extra))[:80]}")
    values: dict[str, Any] = {}
    try:
        if name == "download":
            symbols = value["symbols"]
            if not isinstance(symbols, list) or not all(isinstance(text, str) and not text.startswith("-")
                                                        for text in symbols):
                raise ValueError("symbols is not a list of contracts like rb2405.SHFE")
            values["symbols"] = [check_vt_symbol(text) for text in symbols]
            values["product"] = _names(value["product"], "product", empty=True)
            if not (values["symbols"] or values["product"]):
                raise ValueError("names no contract and no product")
            if value["product"] and value["contracts"] not in ("dominant", "all"):
                raise ValueError("contracts is neither dominant nor all")
            values["contracts"] = value["contracts"]
        else:
            values["products"] = _names(value["products"], "products")
            if value["adjust"] not in ADJUSTMENTS:
                raise ValueError(f"adjust is not one of {', '.join(ADJUSTMENTS)}")
            values["adjust"] = value["adjust"]
            if value["name"] is not None:
                values["name"] = _names([value["name"]], "name")[0]
            values.update(_roll_values(value))
        start = value["start"]
        if not isinstance(start, str) or len(start) != 10:
            raise ValueError("start is not a date written YYYY-MM-DD")
        values["start"] = date.fromisoformat(start)
        end = value.get("end")  # kept only where the command was given one
        if end is not None:
            if not isinstance(end, str) or len(end) != 10:
                raise ValueError("end is not a date written YYYY-MM-DD")
            values["end_given"] = date.fromisoformat(end)
        interval = value["interval"]
        if not isinstance(interval, list) or not interval or not all(
                isinstance(item, str) and item in INTERVAL_NAMES for item in interval):
            raise ValueError(f"interval is not a list of {', '.join(INTERVAL_NAMES)}")
        values["interval"] = [INTERVAL_NAMES[item] for item in interval]
        if value["lab"] is not None:
            raise ValueError("it names a lab folder")
        rates = value["rates"]
        if rates is not None and (not isinstance(rates, list) or len(rates) != 2 or not all(
                isinstance(rate, int | float) and not isinstance(rate, bool) and math.isfinite(rate)
                for rate in rates)):
            raise ValueError("rates are not two numbers")
        values["rates"] = None if rates is None else [float(rate) for rate in rates]
    except KeyError as missing:
        raise ValueError(f"{missing.args[0]} is missing") from None
    except (TypeError, ValueError) as error:
        raise ValueError(str(error)[:200]) from None
    return name, values


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
        if command.get("roll"):
            from .rolls import RollRule

            argv += RollRule.of_record(command["roll"]).argv()
        if command.get("method"):
            argv += ["--method", command["method"]]
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
        if not self.path.exists() and not self.path.is_symlink():
            return []
        todo = "Move it out of the folder (the commands it held are then forgotten) or put the file back"
        items = read_json(self.path, "a file of remembered commands", todo)
        if not isinstance(items, list):
            raise unusable(self.path, "a file of remembered commands", "it holds no list of commands", todo)
        entries = []
        for index, item in enumerate(items, 1):
            number = item.get("number") if isinstance(item, dict) else None
            try:
                if not isinstance(item, dict) or not isinstance(number, int) or isinstance(number, bool):
                    raise ValueError("not a numbered command")
                state = item.get("state", {})
                entries.append(Entry(number, parse_command(item.get("command")), state if isinstance(state, dict)
                                     else {}))
            except ValueError as problem:
                entries.append(Entry(number if isinstance(number, int) else 0, {}, problem=(
                    f"{self.path}, entry {index}: {problem}"), raw=item))
        return entries

    def _write(self, entries: list[Entry]) -> None:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        text = json.dumps([e.raw if e.problem else {"number": e.number, "command": e.command, "state": e.state}
                           for e in entries], indent=2, ensure_ascii=False)
        with replacing(self.path) as temporary:
            temporary.write_text(text, encoding="utf-8")

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
    """Commands in a table of vn.py's SQLite, PostgreSQL or MySQL database (store/commands.py)."""

    def __init__(self, table: CommandTable) -> None:
        self.rows = table

    def entries(self) -> list[Entry]:
        entries = []
        for number, command, state in self.rows.rows():
            try:
                read_state = json.loads(state)
                entries.append(Entry(number, parse_command(json.loads(command)),
                                     read_state if isinstance(read_state, dict) else {}))
            except ValueError as problem:
                entries.append(Entry(number, {}, problem=f"table {TABLE}, command {number}: {problem}"))
        return entries

    def _add(self, command: Command) -> Entry:
        return Entry(self.rows.add(json.dumps(command, sort_keys=True, ensure_ascii=False)), command)

    def forget(self, number: int) -> bool:
        return self.rows.delete(number)

    def set_state(self, number: int, state: dict[str, Any]) -> None:
        self.rows.set_state(number, json.dumps(state, sort_keys=True))


def memory(held: Store) -> Memory:
    """The remembered commands of the store: in a table of its database, else in its file."""
    table = held.command_table()
    return TableMemory(table) if table is not None else FileMemory(held.commands_file())


def continuous_names(command: Command) -> list[str]:
    """The symbols a continuous command saves its series under: its --name, else the name
    its roll rule gives each product."""
    from .rolls import RollRule

    rule = RollRule.of_command(command)
    return [command["name"]] if command["name"] else [rule.series_name(product) for product in command["products"]]


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


def remember_run(name: str, args: Any, held: Store,
                 series: set[str] | None = None) -> tuple[Entry | None, list[Entry]]:
    """The command of `args` kept with its store, once it ran and the caller found that it
    can work (it succeeded, or failed only for reasons a later run may not meet), unless
    it is a dry run or run with --no-remember; the entry (the one `update` runs, when it
    does) and the remembered commands it replaced."""
    if getattr(args, "dry_run", False) or getattr(args, "no_remember", False):
        return None, []
    given: Entry | None = getattr(args, "remembered", None)
    kept = memory(held)
    if given is not None:
        kept.wrote(given, series or set())
        return given, []
    return kept.remember(command_of(name, vars(args)), series)


def remembering(remembered: tuple[Entry | None, list[Entry]]) -> Entry | None:
    """The entry remembered; the remembered commands it replaced said on standard error."""
    from . import messages
    from .console import CONSOLE

    for entry in remembered[1]:
        CONSOLE.fail(messages.replaced_command(entry.number, command_text(entry.command)))
    return remembered[0]
