"""The command line: ``python -m vnpy_norvix download | status | continuous | update | commands | verify``.

The service address and credentials come from vn.py's settings
(``.vntrader/vt_setting.json``: "datafeed.username", "datafeed.password" and, when
set, "datafeed.base_url"); the data goes to vn.py's configured database, or with
``--lab PATH`` into an AlphaLab folder (vn.py's research module) instead.

Exit status: 0 when everything succeeded, 1 when anything failed (for verify: when
anything was found), 2 for a usage error, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, redirect_stdout
from datetime import date, datetime
from typing import TYPE_CHECKING, cast

from vnpy.trader.constant import Exchange, Interval

from norvix_datafeed import CHINA_TZ

from . import download as dl
from . import store
from .calendar import FIRST_DAY, LAST_DAY, OutOfCalendar, check_days, today_in_china
from .continuous import ADJUSTMENTS
from .names import check_vt_symbol, is_name
from .remembered import remember_run
from .report import download_summary, moment, plural, rolls_table, span, table

if TYPE_CHECKING:
    from vnpy.trader.database import BaseDatabase

    from .datafeed import Datafeed
    from .research.lab import LabStore

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


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
        return dl.INTERVAL_NAMES[text]
    except KeyError:
        raise argparse.ArgumentTypeError(
            f"unknown interval {text!r}: use {', '.join(dl.INTERVAL_NAMES)}") from None


def _lab(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--lab", metavar="PATH", help="write into this AlphaLab folder instead of vn.py's "
                                                      "database (daily and minute bars, contract.json)")
    parser.add_argument("--rates", nargs=2, type=float, metavar=("LONG", "SHORT"),
                        help="with --lab: the commission rates of the contract.json entries (default: kept, new 0)")


def _common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--base-url", help="the data service's address (default: the setting "
                                           "datafeed.base_url, else the datafeed's own)")
    parser.add_argument("-v", "--verbose", action="store_true", help="also show the datafeed's log lines")


def _scripting(parser: argparse.ArgumentParser, json_option: bool = True) -> None:
    parser.add_argument("--dry-run", action="store_true",
                        help="print what would be fetched and change nothing")
    if json_option:
        _json(parser)


def _json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true",
                        help="one machine-readable summary on standard output (progress and logs elsewhere)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m vnpy_norvix",
                                     description="Norvix market data into vn.py's database.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    down = commands.add_parser("download", help="download bars and ticks into vn.py's database",
                               description="Download history into vn.py's database. What it already holds "
                                           "is not fetched again: only the trading days it misses.")
    down.add_argument("symbols", nargs="*", type=_vt_symbol, metavar="SYMBOL.EXCHANGE",
                      help="contracts, e.g. rb2405.SHFE")
    down.add_argument("--product", nargs="+", type=_name, default=[], metavar="PRODUCT",
                      help="products whose contracts to download, e.g. rb au")
    down.add_argument("--contracts", choices=("dominant", "all"), default="dominant",
                      help="with --product: the dominant contracts over the range (default) or all tradable ones")
    down.add_argument("--start", type=_day, required=True, help="first trading day, YYYY-MM-DD")
    down.add_argument("--end", type=_day, default=None, help="last trading day (default today)")
    down.add_argument("--interval", nargs="+", type=_interval, default=[Interval.DAILY], metavar="INTERVAL",
                      help="d, 1h, 1m and/or tick (default d)")
    down.add_argument("--jobs", type=int, default=4, help="tasks run at once (default 4)")
    _lab(down)
    _scripting(down)
    _common(down)

    status = commands.add_parser("status", help="what vn.py's database holds")
    status.add_argument("-v", "--verbose", action="store_true", help=argparse.SUPPRESS)

    cont = commands.add_parser("continuous", help="build adjusted continuous dominant series",
                               description="For each trading day, the bars of that day's dominant contract, "
                                           "adjusted at each roll, saved under one symbol (replacing what "
                                           "the database held under it).")
    cont.add_argument("products", nargs="+", type=_name, metavar="PRODUCT", help="products, e.g. rb")
    cont.add_argument("--start", type=_day, required=True, help="first trading day, YYYY-MM-DD")
    cont.add_argument("--end", type=_day, default=None, help="last trading day (default today)")
    cont.add_argument("--interval", nargs="+", type=_interval, default=[Interval.DAILY], metavar="INTERVAL",
                      help="d, 1h and/or 1m (default d)")
    cont.add_argument("--adjust", choices=ADJUSTMENTS, default="backward",
                      help="backward keeps the first contract's prices, forward the last one's (default backward)")
    cont.add_argument("--name", type=_name, help="symbol to save under (default <product>888); one product only")
    _lab(cont)
    _scripting(cont, json_option=False)
    _common(cont)
    add_store_commands(commands)
    return parser


def add_store_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """update, commands and verify: the store kept current and checked."""
    update = commands.add_parser("update", help="run every remembered download and continuous again",
                                 description="Runs every download and continuous this store remembers again, up "
                                             "to --end, each over its whole range: only what the store misses "
                                             "is fetched.")
    update.add_argument("--end", type=_day, default=None, help="last trading day (default today in China)")
    update.add_argument("--lab", metavar="PATH", help="the commands of this AlphaLab folder")
    _scripting(update)
    _common(update)

    remembered = commands.add_parser("commands", help="list the remembered commands, or forget one")
    remembered.add_argument("--forget", type=int, metavar="N", help="forget command N")
    remembered.add_argument("--lab", metavar="PATH", help="the commands of this AlphaLab folder")
    _json(remembered)
    remembered.add_argument("-v", "--verbose", action="store_true", help=argparse.SUPPRESS)

    verify = commands.add_parser("verify", help="check every stored series against the service",
                                 description="Checks each stored series (or those named): missing and partial "
                                             "trading days, times outside the sessions, impossible prices and "
                                             "volumes, overviews that disagree with the rows. Exit 1 when "
                                             "anything is found.")
    verify.add_argument("series", nargs="*", metavar="SYMBOL.EXCHANGE", type=_vt_symbol,
                        help="only these series (default every one stored)")
    verify.add_argument("--lab", metavar="PATH", help="check this AlphaLab folder")
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
    """The datafeed, or None after telling why it cannot be used."""
    feed = make_datafeed(base_url)
    problems: list[str] = []
    if not feed.init(problems.append):
        print(f"error: {problems[0] if problems else 'the datafeed did not initialise'}", file=sys.stderr)
        return None
    return feed


def open_database() -> BaseDatabase | None:
    """vn.py's configured database, or None after telling why it cannot be opened."""
    from vnpy.trader.database import get_database
    from vnpy.trader.setting import SETTINGS

    try:
        return get_database()
    except Exception as exc:  # the adapter missing, the server unreachable, refused credentials
        print(f"error: cannot open vn.py's database {SETTINGS.get('database.name')!r}: "
              f"{type(exc).__name__}: {exc}".rstrip(), file=sys.stderr)
        return None


def open_lab(path: str) -> LabStore | None:
    """The AlphaLab folder at `path` as the downloads' store, or None after telling why not."""
    try:
        from .research.lab import LabStore

        return LabStore(path)
    except (ImportError, OSError) as exc:
        print(f"error: cannot use the AlphaLab folder {path!r}: {type(exc).__name__}: {exc}", file=sys.stderr)
        return None


def ready_source_and_database(base_url: str | None, lab: str | None = None,
                              lock: bool = True) -> tuple[dl.Source, BaseDatabase] | None:
    """The service, through a ready datafeed, and vn.py's database (the lab folder `lab`
    when given), locked for this run unless `lock` is false; None after telling why
    either cannot be used."""
    feed = ready_datafeed(base_url)
    # A lab folder (LabStore) answers the planner and the downloader through the methods of
    # vn.py's database that they call, without being one.
    database = (cast("BaseDatabase | None", open_lab(lab)) if lab else open_database()) if feed is not None else None
    if feed is None or database is None:
        return None
    if lock:
        from . import runlock

        runlock.acquire(runlock.lock_path(database, lab))
    return dl.Source(feed), database


def _check_range(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    today = today_in_china()
    args.end = args.end or today
    try:
        check_days(args.start, args.end)
    except OutOfCalendar as error:
        parser.error(f"{error.value} is outside the dates this tool handles ({FIRST_DAY} .. {LAST_DAY})")
    if args.start > args.end:
        parser.error(f"--start {args.start} is after --end {args.end}")
    if args.start > today:
        parser.error(f"--start {args.start} is in the future: nothing has traded since {today}")


def run_download(args: argparse.Namespace) -> int:
    from .progress import make_progress

    opened = ready_source_and_database(args.base_url, args.lab, lock=not args.dry_run)
    if opened is None:
        return EXIT_FAILED
    source, database = opened
    targets, failures = dl.resolve(source, args.symbols, args.product, args.contracts, args.start, args.end)
    tasks = dl.plan(source, targets, list(dict.fromkeys(args.interval)), database)
    if args.dry_run:
        return dry_run_download(args, tasks, failures)
    remember_run("download", args, database)
    print(f"download: {plural(len(targets), 'contract')} x {plural(len(set(args.interval)), 'interval')}, "
          f"{plural(sum(task.windows for task in tasks), 'window')} to fetch into "
          f"{args.lab or type(database).__module__}",
          flush=True)
    progress = make_progress(tasks)
    try:
        outcomes = dl.Downloader(source, database, progress, args.jobs).run(tasks)
    finally:
        progress.close()
    if args.lab:
        failures += add_lab_contracts(args, source, [outcome.task.target.vt_symbol for outcome in outcomes
                                                     if outcome.ok])
    print(download_summary(outcomes, failures))
    summarise_download(args, outcomes, failures)
    if any(outcome.interrupted for outcome in outcomes):
        return EXIT_INTERRUPTED
    return EXIT_FAILED if failures or any(not outcome.ok for outcome in outcomes) else EXIT_OK


def dry_run_download(args: argparse.Namespace, tasks: list[dl.Task], failures: list[str]) -> int:
    from .preview import download_plan

    lines, items = download_plan(tasks)
    print("\n".join(["dry run: nothing is fetched or saved", *lines, *(f"FAILED: {line}" for line in failures)]))
    args.summary.update(dry_run=True, tasks=items, failures=failures)
    return EXIT_FAILED if failures or any(task.failure for task in tasks) else EXIT_OK


def summarise_download(args: argparse.Namespace, outcomes: list[dl.Outcome], failures: list[str]) -> None:
    args.summary.update(failures=failures, tasks=[
        {"series": outcome.task.target.vt_symbol, "interval": outcome.task.interval.value, "fetched": outcome.fetched,
         "new": outcome.new, "windows": outcome.task.windows, "error": outcome.error,
         "interrupted": outcome.interrupted} for outcome in outcomes])


def run_status(args: argparse.Namespace) -> int:
    database = open_database()
    if database is None:
        return EXIT_FAILED
    rows = [[o.symbol, o.exchange.value if o.exchange else "", o.interval.value if o.interval else "", o.count,
             moment(o.start), moment(o.end)] for o in database.get_bar_overview()]
    rows += [[o.symbol, o.exchange.value if o.exchange else "", Interval.TICK.value, o.count, moment(o.start),
              moment(o.end)] for o in database.get_tick_overview()]
    rows.sort(key=lambda row: (row[0], row[1], row[2]))
    print(f"database: {store.describe(database)} ({type(database).__module__})")
    warning = store.zone_warning()
    if warning:
        print(f"warning: {warning}")
    if not rows:
        print("no bars or ticks saved yet")
    else:
        print(table(["symbol", "exchange", "interval", "count", "start", "end"], rows, right=(3,)))
    return EXIT_OK


@contextmanager
def deferred_interrupt() -> Iterator[None]:
    """Ctrl-C waits for the end of the block (on the main thread): a series is replaced
    whole, not deleted and then left unsaved."""
    caught: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt


def add_lab_contracts(args: argparse.Namespace, source: dl.Source, vt_symbols: list[str]) -> list[str]:
    from .research.lab import add_contracts

    return add_contracts(args.lab, source.reference, vt_symbols, tuple(args.rates) if args.rates else None)


def run_continuous(args: argparse.Namespace) -> int:
    from .continuous import continuous_bars

    opened = ready_source_and_database(args.base_url, args.lab, lock=not args.dry_run)
    if opened is None:
        return EXIT_FAILED
    source, database = opened
    if args.dry_run:
        return dry_run_continuous(args, source)
    entry = remember_run("continuous", args, database)
    built_at = datetime.now(CHINA_TZ)
    failed = 0
    rows = []
    for product in dict.fromkeys(args.products):
        for interval in dict.fromkeys(args.interval):
            began = time.monotonic()
            try:
                series = continuous_bars(source, product, args.start, args.end, interval, args.adjust, args.name)
            except dl.FeedError as failure:
                print(f"{product} {interval.value}: FAILED: {dl.failure_text(failure)}", flush=True)
                failed += 1
                continue
            if interval == args.interval[0]:
                print(f"\n{product}: {len(series.segments)} dominant contracts, {len(series.rolls)} rolls")
                if series.rolls:
                    print(rolls_table(series))
                for line in series.disagreements:
                    print(f"warning: {line}")
            kept = f"{series.vt_symbol} {interval.value} is kept as it was"
            if not series.bars:
                print(f"{product} {interval.value}: FAILED: no {interval.value} bars between {args.start} and "
                      f"{args.end}; {kept}", flush=True)
                failed += 1
                continue
            try:
                with deferred_interrupt():
                    if args.lab:  # replaced whole too: one build's adjustment scale per file
                        cast("LabStore", database).replace_bar_data(series.bars)
                    else:
                        store.replace_bars(database, series.name, series.exchange, interval, series.bars)
            except Exception as exc:  # the database refused the series: nothing of it was stored
                print(f"{product} {interval.value}: FAILED: saving: {type(exc).__name__}: {exc}; {kept}", flush=True)
                failed += 1
                continue
            if args.lab:
                for line in add_lab_contracts(args, source, [series.vt_symbol]):
                    print(f"{series.vt_symbol}: FAILED: {line}", flush=True)
                    failed += 1
            rows.append([series.vt_symbol, interval.value, args.adjust, len(series.bars),
                         span(series.bars[0].datetime, series.bars[-1].datetime), f"{time.monotonic() - began:.1f}"])
    if rows:
        print("\n" + table(["symbol", "interval", "adjust", "bars", "range", "seconds"], rows, right=(3, 5)))
    print(f"\n{len(rows)} series saved, {failed} failed")
    args.summary.update(saved=[{"series": row[0], "interval": row[1], "bars": row[3]} for row in rows], failed=failed)
    if not failed and entry is not None:
        from .update import record_build

        record_build(args.lab, source, database, entry, args.end, built_at)
    return EXIT_FAILED if failed else EXIT_OK


def dry_run_continuous(args: argparse.Namespace, source: dl.Source) -> int:
    from .preview import continuous_plan

    print("dry run: nothing is fetched or saved")
    failed = 0
    for product in dict.fromkeys(args.products):
        try:
            lines, items = continuous_plan(source, product, args.start, args.end, list(dict.fromkeys(args.interval)))
        except dl.FeedError as failure:
            print(f"{product}: FAILED: {dl.failure_text(failure)}")
            failed += 1
            continue
        print("\n".join(lines))
        args.summary.setdefault("series", []).extend(items)
    args.summary.update(dry_run=True, failed=failed)
    return EXIT_FAILED if failed else EXIT_OK


def run_update(args: argparse.Namespace) -> int:
    from .update import run_update as update

    opened = ready_source_and_database(args.base_url, args.lab, lock=not args.dry_run)
    if opened is None:
        return EXIT_FAILED
    source, database = opened
    return update(args, build_parser(), {"download": run_download, "continuous": run_continuous}, database, source)


def run_commands(args: argparse.Namespace) -> int:
    from . import messages
    from .remembered import memory
    from .update import list_commands

    database = None if args.lab else open_database()
    if database is None and not args.lab:
        return EXIT_FAILED
    kept = memory(database, args.lab)
    if args.forget is not None:
        if not kept.forget(args.forget):
            print(messages.not_remembered(args.forget), file=sys.stderr)
            return EXIT_FAILED
        print(messages.forgotten(args.forget))
    args.summary["commands"] = list_commands(kept)
    return EXIT_OK


def run_verify(args: argparse.Namespace) -> int:
    from .verify import verify

    opened = ready_source_and_database(args.base_url, args.lab, lock=args.repair)
    if opened is None:
        return EXIT_FAILED
    source, database = opened
    return verify(args, source, database)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "download" and not (args.symbols or args.product):
        parser.error("name contracts (e.g. rb2405.SHFE) or products (--product rb)")
    if args.command == "download" and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.command == "continuous":
        if args.name and len(set(args.products)) > 1:
            parser.error("--name needs exactly one product")
        if Interval.TICK in args.interval:
            parser.error("continuous series are built from bars: use d, 1h or 1m")
    if args.command == "update":
        args.end = args.end or today_in_china()
        try:
            check_days(args.end)
        except OutOfCalendar as error:
            parser.error(f"{error.value} is outside the dates this tool handles ({FIRST_DAY} .. {LAST_DAY})")
    if args.command in ("download", "continuous"):
        _check_range(parser, args)
        if args.rates and not args.lab:
            parser.error("--rates goes with --lab")
        if args.lab and set(args.interval) - {Interval.DAILY, Interval.MINUTE}:
            parser.error("an AlphaLab folder keeps daily and minute bars: use --interval d and/or 1m with --lab")
    if args.verbose:
        from loguru import logger

        logger.add(sys.stderr, level="INFO", format="{time:HH:mm:ss} | {message}")
    commands = {"download": run_download, "status": run_status, "continuous": run_continuous, "update": run_update,
                "commands": run_commands, "verify": run_verify}
    try:
        return run_command(commands[args.command], args)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def run_command(command: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    """The command run holding its store's lock until it ends; with --json its lines go to
    standard error and one summary to standard output."""
    from . import messages, runlock

    args.summary = {"command": args.command}
    with runlock.session():
        try:
            if getattr(args, "json", False):
                with redirect_stdout(sys.stderr):
                    status = command(args)
            else:
                status = command(args)
        except runlock.Held as held:
            print(messages.store_held(held.path), file=sys.stderr)
            status = EXIT_FAILED
    if getattr(args, "json", False):
        print(json.dumps({**args.summary, "status": status}, ensure_ascii=False, default=str))
    return status
