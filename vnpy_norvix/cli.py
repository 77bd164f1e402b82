"""The command line: ``python -m vnpy_norvix download | status | continuous | update | commands | verify``.

The service address and credentials come from vn.py's settings
(``.vntrader/vt_setting.json``: "datafeed.username", "datafeed.password" and, when
set, "datafeed.base_url"); the data goes to vn.py's configured database, or with
``--lab PATH`` into an AlphaLab folder (vn.py's research module) instead.

Exit status: 0 when everything succeeded, 1 when anything failed (for verify: when
anything was found), 2 for a usage error (a broken settings file included), 130 when
interrupted.

Nothing that reads vn.py's settings is imported before the settings file is checked
(vnpy_norvix.console): the commands' modules are imported when they run.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence
from contextlib import redirect_stdout
from datetime import date
from pathlib import Path
from typing import TYPE_CHECKING
from urllib.parse import urlsplit

from vnpy.trader.constant import Exchange, Interval

from . import console, exits
from .console import CONSOLE
from .names import ADJUSTMENTS, INTERVAL_NAMES, check_vt_symbol, is_name, series_name_problem
from .options import DEFAULTS, ROLL, defaults

if TYPE_CHECKING:
    from vnpy.trader.database import BaseDatabase

    from . import download as dl

    from .datafeed import Datafeed
    from .store import Store
    from .store.lab import LabStore

def _day(text: str) -> date:
    try:
        return date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date written YYYY-MM-DD: {text!r}") from None


def _vt_symbol(text: str) -> tuple[str, Exchange]:
    try:
        return check_vt_symbol(text)  # the name becomes a file name with --lab
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a vn.py symbol like rb2405.SHFE: {text!r}") from None


def _name(text: str) -> str:
    if not is_name(text):  # a product's or a series' name becomes a file name with --lab
        raise argparse.ArgumentTypeError(f"not a name of letters and digits (possibly with - or _): {text!r}")
    return text


def _interval(text: str) -> Interval:
    try:
        return INTERVAL_NAMES[text]
    except KeyError:
        raise argparse.ArgumentTypeError(
            f"unknown interval {text!r}: use {', '.join(INTERVAL_NAMES)}") from None


def _base_url(text: str) -> str:
    parts = urlsplit(text)
    try:
        parts.port  # noqa: B018  (raises on a port that is not a number)
    except ValueError:
        parts = parts._replace(netloc="")
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise argparse.ArgumentTypeError(f"not an address of the form http://host:port: {text!r}")
    return text


def _lab(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--lab", metavar="PATH", help="write into this AlphaLab folder instead of vn.py's "
                                                      "database (daily and minute bars, contract.json)")
    parser.add_argument("--rates", nargs=2, type=float, metavar=("LONG", "SHORT"),
                        help="with --lab: the commission rates of the contract.json entries (default: kept, new 0)")


def _months(text: str) -> tuple[int, ...]:
    try:
        months = tuple(dict.fromkeys(int(part) for part in text.split(",")))
    except ValueError:
        months = (0,)
    if not all(1 <= month <= 12 for month in months):
        raise argparse.ArgumentTypeError(f"not months 1 to 12 separated by commas: {text!r}")
    return months


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a count of trading days: {text!r}")
    return value


def _roll_options(parser: argparse.ArgumentParser) -> None:
    from .names import METHODS, ROLL_RULES

    rules = parser.add_argument_group("roll rule (see docs/cli.md: a roll is decided on a day's close and takes "
                                      "effect the next trading day)")
    rules.add_argument("--roll", choices=ROLL_RULES,
                       help="service: the service's dominant contract (default); oi, volume, oi+volume: the "
                            "leader by that day's statistic; calendar: --before days before the last trading day")
    rules.add_argument("--threshold", type=float,
                       help="oi/volume rules: lead by more than this ratio of the held contract's "
                            f"(default {ROLL['threshold']})")
    rules.add_argument("--confirm", type=int, metavar="N",
                       help=f"oi/volume rules: lead on each of the last N trading days (default {ROLL['confirm']})")
    rules.add_argument("--before", type=_count, metavar="N",
                       help=f"calendar: roll N trading days before the last trading day (default {ROLL['before']})")
    rules.add_argument("--months", type=_months, metavar="M,M",
                       help="only contracts of these delivery months, e.g. 1,5,10")
    rules.add_argument("--force-days", type=_count, metavar="M",
                       help="roll M trading days before the last trading day when no signal came")
    rules.add_argument("--depth", type=int, choices=(1, 2), help="2: the second-dominant series")
    rules.add_argument("--method", choices=METHODS,
                       help="ratio (default) scales each segment, difference shifts it (prices stay on the tick "
                            "grid), none keeps raw prices")


def _common(parser: argparse.ArgumentParser) -> None:
    """The options every command that asks the service takes: --base-url, -v, -q and --log-file."""
    parser.add_argument("--base-url", type=_base_url, metavar="URL",
                        help="the data service's address, http://host:port (default: the setting "
                             "datafeed.base_url, else the datafeed's own)")
    parser.add_argument("--no-wait", action="store_true",
                        help="when another run holds the store, exit 1 at once instead of waiting for it")
    console.add_options(parser)


def _scripting(parser: argparse.ArgumentParser, json_option: bool = True) -> None:
    parser.add_argument("--dry-run", action="store_true",
                        help="print what would be fetched and change nothing")
    if json_option:
        _json(parser)


def _remember_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--no-remember", action="store_true",
                        help="run it without remembering it for update (a one-off pull)")


def _json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true",
                        help="one machine-readable summary on standard output (progress and logs elsewhere)")


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vnpy_norvix")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "unknown"


PROG = "python -m vnpy_norvix"
DOWNLOAD_EXAMPLES = f"""examples:
  {PROG} download rb2405.SHFE --start 2024-03-04 --end 2024-03-08 --interval d 1m
  {PROG} download --product rb au --start 2024-01-02 --interval d tick -q
  {PROG} download --product rb --contracts all --start 2024-01-02 --lab ./lab
  {PROG} download rb2405.SHFE --start 2024-03-04 --require-data --log-file night.log"""
STATUS_EXAMPLES = f"""examples:
  {PROG} status
  {PROG} status -q"""
CONTINUOUS_EXAMPLES = f"""examples:
  {PROG} continuous rb --start 2024-01-02 --end 2024-06-28
  {PROG} continuous rb au --start 2024-01-02 --interval d 1m --adjust forward
  {PROG} continuous rb --start 2024-01-02 --name rb_main --lab ./lab"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Norvix market data into vn.py's database.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    down = commands.add_parser("download", help="download bars and ticks into vn.py's database",
                               description="Download history into vn.py's database. What it already holds "
                                           "is not fetched again: only the trading days it misses.",
                               epilog=DOWNLOAD_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    down.add_argument("symbols", nargs="*", type=_vt_symbol, metavar="SYMBOL.EXCHANGE",
                      help="contracts, e.g. rb2405.SHFE")
    down.add_argument("--product", nargs="+", type=_name, metavar="PRODUCT",
                      help="products whose contracts to download, e.g. rb au")
    down.add_argument("--contracts", choices=("dominant", "all"),
                      help="with --product: the dominant contracts over the range (default) or all tradable ones")
    down.add_argument("--start", type=_day, required=True, help="first trading day, YYYY-MM-DD")
    down.add_argument("--end", type=_day, help="last trading day (default today)")
    down.add_argument("--interval", nargs="+", type=_interval, metavar="INTERVAL",
                      help="d, 1h, 1m and/or tick (default d)")
    down.add_argument("--jobs", type=int, help=f"tasks run at once (default {DEFAULTS['download']['jobs']})")
    down.add_argument("--require-data", action="store_true",
                      help="count a task with no data in its range as failed (default: a success, "
                           "as for a range of holidays)")
    _lab(down)
    _scripting(down)
    _remember_option(down)
    _common(down)
    down.set_defaults(**defaults("download"))

    status = commands.add_parser("status", help="what vn.py's database holds", epilog=STATUS_EXAMPLES,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    status.add_argument("--rolls", metavar="SYMBOL",
                        help="the stored roll table of a continuous series, e.g. rb888 or rb888.SHFE")
    status.add_argument("--lab", metavar="PATH", help="what this AlphaLab folder holds")
    _json(status)
    console.add_options(status)

    cont = commands.add_parser("continuous", help="build adjusted continuous dominant series",
                               description="For each trading day, the bars of that day's dominant contract, "
                                           "adjusted at each roll, saved under one symbol (replacing what "
                                           "the database held under it).",
                               epilog=CONTINUOUS_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    cont.add_argument("products", nargs="+", type=_name, metavar="PRODUCT", help="products, e.g. rb")
    cont.add_argument("--start", type=_day, required=True, help="first trading day, YYYY-MM-DD")
    cont.add_argument("--end", type=_day, help="last trading day (default today)")
    cont.add_argument("--interval", nargs="+", type=_interval, metavar="INTERVAL",
                      help="d, 1h and/or 1m (default d)")
    cont.add_argument("--adjust", choices=ADJUSTMENTS,
                      help="backward keeps the first contract's prices, forward the last one's (default backward)")
    cont.add_argument("--name", type=_name, help="symbol to save under (default <product>888 for --roll service, "
                                                 "else a name that encodes the rule); one product only")
    _roll_options(cont)
    cont.add_argument("--next", action="store_true",
                      help="print the rule's decision after --end's close (default today) and change nothing")
    _lab(cont)
    _scripting(cont)
    _remember_option(cont)
    _common(cont)
    cont.set_defaults(**defaults("continuous"))
    add_store_commands(commands)
    return parser


UPDATE_EXAMPLES = f"""examples:
  {PROG} update
  {PROG} update --end 2024-06-28 --json
  {PROG} update --lab ./lab --dry-run"""
COMMANDS_EXAMPLES = f"""examples:
  {PROG} commands
  {PROG} commands --forget 2"""
VERIFY_EXAMPLES = f"""examples:
  {PROG} verify
  {PROG} verify rb2405.SHFE --repair
  {PROG} verify --lab ./lab --json"""


def add_store_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """update, commands and verify: the store kept current and checked."""
    update = commands.add_parser("update", help="run every remembered download and continuous again",
                                 description="Runs every download and continuous this store remembers again, up "
                                             "to --end, each over its whole range: only what the store misses "
                                             "is fetched.",
                                 epilog=UPDATE_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    update.add_argument("--end", type=_day, default=None, help="last trading day (default today in China)")
    update.add_argument("--lab", metavar="PATH", help="the commands of this AlphaLab folder")
    _scripting(update)
    _common(update)

    remembered = commands.add_parser("commands", help="list the remembered commands, or forget one",
                                     epilog=COMMANDS_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    remembered.add_argument("--forget", type=int, metavar="N", help="forget command N")
    remembered.add_argument("--lab", metavar="PATH", help="the commands of this AlphaLab folder")
    _json(remembered)
    console.add_options(remembered)

    verify = commands.add_parser("verify", help="check every stored series against the service",
                                 description="Checks each stored series (or those named): missing and partial "
                                             "trading days, times outside the sessions, impossible prices and "
                                             "volumes, overviews that disagree with the rows. Exit 1 when "
                                             "anything is found.",
                                 epilog=VERIFY_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    verify.add_argument("series", nargs="*", metavar="SYMBOL.EXCHANGE", type=_vt_symbol,
                        help="only these series (default every one stored)")
    verify.add_argument("--lab", metavar="PATH", help="check this AlphaLab folder")
    verify.add_argument("--deep", action="store_true",
                        help="compare every stored record with a fresh download (default: each day against "
                             "the service's daily bar, one request per series)")
    verify.add_argument("--repair", action="store_true",
                        help="fetch the days found wrong again and replace them, and rewrite the overviews")
    _json(verify)
    _common(verify)


def make_datafeed(base_url: str | None) -> Datafeed:
    """vn.py's datafeed from the settings (datafeed.base_url included), at --base-url when given."""
    from . import Datafeed

    feed = Datafeed()
    if base_url:
        feed.base_url = base_url.rstrip("/")
    return feed


def ready_datafeed(base_url: str | None) -> Datafeed | None:
    """The datafeed, or None after telling why it cannot be used: its first query (what
    its `init` asks) answered through the engine, whose failure names its kind."""
    from .download import Failure, failure_text
    from .download.command import address_origin
    from .engine import Engine

    feed = make_datafeed(base_url)
    try:
        Engine.of(feed).call("multiplier", "")
    except Failure as failure:
        CONSOLE.fail(f"error: the datafeed did not initialise: {failure_text(failure)}")
        if failure.kind in ("unreachable", "timeout"):
            CONSOLE.fail(f"  the service's address {Engine.of(feed).mask(feed.base_url)} was "
                         f"{address_origin(base_url)}")
        if exits.passing(failure):
            raise ServiceAbsent from failure  # nothing was done: try later
        return None
    return feed


class ServiceAbsent(Exception):
    """The service could not be reached (or did not answer in time) before anything was done."""


def open_database() -> BaseDatabase | None:
    """vn.py's configured database, or None after telling why it cannot be opened."""
    from vnpy.trader.database import get_database
    from vnpy.trader.setting import SETTINGS

    try:
        return get_database()
    except Exception as exc:  # the adapter missing, the server unreachable, refused credentials
        CONSOLE.fail(f"error: cannot open vn.py's database {SETTINGS.get('database.name')!r}: "
                     f"{type(exc).__name__}: {exc}".rstrip())
        return None


def open_lab_store(path: str) -> LabStore | None:
    """The AlphaLab folder at `path` as the downloads' store, or None after telling why not."""
    try:
        from .store.lab import LabStore

        lab = LabStore(path)
        lab.lab  # the folder's parts made now: a problem is told before anything runs
        return lab
    except (ImportError, OSError) as exc:
        CONSOLE.fail(f"error: cannot use the AlphaLab folder {path!r}: {type(exc).__name__}: {exc}")
        return None


def ready_source_and_database(base_url: str | None, lab: str | None = None, lock: bool = True,
                              wait: bool = True) -> tuple[dl.Source, Store] | None:
    """The service, through a ready datafeed, and vn.py's database (the lab folder `lab`
    when given), locked for this run unless `lock` is false (another run's lock waited
    for, or `runlock.Held` when `wait` is false); None after telling why either cannot be
    used."""
    from . import download as dl
    from .store import as_store

    feed = ready_datafeed(base_url)
    opened = (open_lab_store(lab) if lab else open_database()) if feed is not None else None
    if feed is None or opened is None:
        return None
    CONSOLE.own_log()  # the database's and the research module's imports may have added sinks
    database = as_store(opened)
    if lock:
        from . import messages, runlock

        runlock.acquire(runlock.lock_of(database), wait,
                        lambda where: CONSOLE.warn(messages.waiting_for_store(where)))
    return dl.Source(feed), database


def open_run(args: argparse.Namespace, lock: bool | None = None) -> tuple[dl.Source, Store] | None:
    """The opening step of a command that asks the service: its datafeed ready, its store
    (vn.py's database, or --lab) opened and, unless `lock` is false (default: unless
    --dry-run), locked for the run; None after telling why not."""
    return ready_source_and_database(args.base_url, args.lab, lock=not args.dry_run if lock is None else lock,
                                     wait=not args.no_wait)


def _check_range(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """--end (default today in China), and --start where the command takes one: inside the
    dates this tool handles, in order, and not starting in the future."""
    from .calendar import FIRST_DAY, LAST_DAY, OutOfCalendar, check_days, today_in_china

    today = today_in_china()
    args.end = args.end or today
    start: date | None = getattr(args, "start", None)
    try:
        check_days(*([args.end] if start is None else [start, args.end]))
    except OutOfCalendar as error:
        parser.error(f"{error.value} is outside the dates this tool handles ({FIRST_DAY} .. {LAST_DAY})")
    if start is None:
        return
    if args.start > args.end:
        parser.error(f"--start {args.start} is after --end {args.end}")
    if args.start > today:
        parser.error(f"--start {args.start} is in the future: nothing has traded since {today}")


def run_download(args: argparse.Namespace) -> int:
    from .download.command import run_download as download

    console.warn_of_zone()
    opened = open_run(args)
    if opened is None:
        return exits.FAILED
    return download(args, *opened)


def run_status(args: argparse.Namespace) -> int:
    from . import store
    from .status import show, stored_rolls

    if args.lab:
        lab = open_lab_store(args.lab) if Path(args.lab).is_dir() else None  # status makes no folder
        if lab is None:
            CONSOLE.fail(f"error: no AlphaLab folder at {args.lab} (and none is made)")
            return exits.FAILED
        if args.rolls:
            CONSOLE.fail(f"{args.rolls}: a lab folder keeps each roll table as <vt_symbol>.rolls.csv beside the bars")
            return exits.USAGE
        return show(args, lab, None)
    database = open_database()
    if database is None:
        return exits.FAILED
    if args.rolls:
        return stored_rolls(args, database)
    return show(args, store.as_store(database), database)


def run_continuous(args: argparse.Namespace) -> int:
    from . import download as dl
    from .continuous import next_rolls, run_continuous as build

    console.warn_of_zone()
    if args.next:
        datafeed = ready_datafeed(args.base_url)
        return exits.FAILED if datafeed is None else next_rolls(args, dl.Source(datafeed))
    opened = open_run(args)
    if opened is None:
        return exits.FAILED
    return build(args, *opened)


def run_update(args: argparse.Namespace) -> int:
    from .update import run_update as update

    console.warn_of_zone()
    opened = open_run(args)
    if opened is None:
        return exits.FAILED
    source, database = opened
    return update(args, database, source)


def run_commands(args: argparse.Namespace) -> int:
    from .remembered import memory
    from .store import as_store
    from .store.lab import LabStore
    from .update import commands

    database = LabStore(args.lab) if args.lab else open_database()
    if database is None:
        return exits.FAILED
    return commands(args, memory(as_store(database)))


def run_verify(args: argparse.Namespace) -> int:
    from . import messages
    from .verify import verify

    if args.lab and not Path(args.lab).is_dir():  # a finding, never a pass; and verify makes nothing
        CONSOLE.fail(messages.lab_missing(args.lab))
        args.summary.update(findings=[{"series": None, "day": None, "defect": "no_lab", "detail": str(args.lab)}])
        return exits.FAILED

    opened = open_run(args, lock=args.repair)
    if opened is None:
        return exits.FAILED
    source, database = opened
    return verify(args, source, database)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    args.argv = None if argv is None else list(argv)
    try:
        console.read_settings_file()  # before anything imports vn.py's settings
    except ValueError as problem:
        print(f"error: {problem}", file=sys.stderr)
        return exits.USAGE
    if args.command == "download" and not (args.symbols or args.product):
        parser.error("name contracts (e.g. rb2405.SHFE) or products (--product rb)")
    if args.command == "download" and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.command == "continuous":
        if args.name and len(set(args.products)) > 1:
            parser.error("--name needs exactly one product")
        if args.name and (unfit := series_name_problem(args.name, args.products[0])):
            parser.error(unfit)
        if Interval.TICK in args.interval:
            parser.error("continuous series are built from bars: use d, 1h or 1m")
        from .rolls import rule_of

        rule_problem = rule_of(args).problem()
        if rule_problem:
            parser.error(rule_problem)
    if args.command in ("download", "continuous"):
        args.end_given = args.end  # remembered with the command when given (None: today, whenever it runs)
        _check_range(parser, args)
        if args.rates and not args.lab:
            parser.error("--rates goes with --lab")
        if args.lab and set(args.interval) - {Interval.DAILY, Interval.MINUTE}:
            parser.error("an AlphaLab folder keeps daily and minute bars: use --interval d and/or 1m with --lab")
    if args.command == "update":
        _check_range(parser, args)
    try:
        console.setup(args)
    except ValueError as problem:
        parser.error(str(problem))
    commands = {"download": run_download, "status": run_status, "continuous": run_continuous, "update": run_update,
                "commands": run_commands, "verify": run_verify}
    try:
        return run_command(commands[args.command], args)
    except KeyboardInterrupt:
        CONSOLE.fail("interrupted")
        return exits.INTERRUPTED


def store_named(args: argparse.Namespace) -> str:
    """The store a command works on, as its first line names it."""
    from . import store

    lab = getattr(args, "lab", None)
    return f"AlphaLab folder {Path(lab).absolute()}" if lab else store.configured()


def run_command(command: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    """The command run holding its store's lock until it ends; with --json its lines go to
    standard error and one summary to standard output."""
    from . import messages, runlock
    from .files import Unusable

    args.summary = {"command": args.command}
    first = messages.first_line(store_named(args), sys.argv[1:] if args.argv is None else args.argv)
    with runlock.session():
        try:
            if getattr(args, "json", False):
                with redirect_stdout(sys.stderr):
                    CONSOLE.summary(first)
                    status = command(args)
            else:
                CONSOLE.summary(first)
                status = command(args)
        except runlock.Held as held:
            CONSOLE.fail(messages.store_held(held.where))
            status = exits.LOCKED
        except (runlock.Refused, Unusable) as refused:  # one line, what and where and what to do
            CONSOLE.fail(str(refused))
            status = exits.FAILED
        except ServiceAbsent:
            status = exits.UNAVAILABLE
    if getattr(args, "json", False):
        print(json.dumps({**args.summary, "status": status}, ensure_ascii=False, default=str))
    return status
