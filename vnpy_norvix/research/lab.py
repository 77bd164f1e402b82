"""AlphaLab folders (vn.py's research module) filled from frames: bar files as
`AlphaLab.save_bar_data` leaves them and `contract.json` entries as
`AlphaLab.add_contract_setting` leaves them, each written to a temporary file renamed into
place, so that an interrupted write leaves the file as it was.

`LabStore` is the store the command line's download planner and downloader
(vnpy_norvix/download/) use for a lab folder (`FrameStore` there names what they call):
what its files hold, the trading days held whole, and each window's bars as a frame of
the answers' columns, with no vn.py object per bar. Which trading days a lab file holds
whole is kept in the folder's ledger (LEDGER), written (atomically) after the bar file:
a day is marked whole only once its bars are in place."""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import date, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import polars as pl
import vnpy.trader.database as vn_database
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BarOverview
from vnpy.trader.object import BarData

from norvix_datafeed import CHINA_TZ

from .. import messages
from ..calendar import Calendar, Window
from ..engine import Failure
from ..files import Unusable, inside, read_json, replacing, unusable
from ..history import Fetched
from ..history.frames import DATETIME, answers_frame
from ..history.select import window_frame
from ..names import check_vt_symbol
from ..store.days import DayRecord, Tally, counted_days, replaced

if TYPE_CHECKING:
    from vnpy.alpha import AlphaLab

    from ..reference import Reference

# The intervals a lab keeps, each in a folder of its own.
LAB_INTERVALS = (Interval.DAILY, Interval.MINUTE)
# A frame's bar fields under the names a lab file gives them, in the lab file's order.
LAB_FIELDS = {"open_price": "open", "high_price": "high", "low_price": "low", "close_price": "close",
              "volume": "volume", "turnover": "turnover", "open_interest": "open_interest"}
# The lab file's time: China wall time without a zone, as save_bar_data stores bar.datetime.
LAB_TIME = pl.Datetime("us")
# The completeness record of the folder's bar files: per "vt_symbol interval", per trading
# day, [records saved, whether whole] (see vnpy_norvix/store/days.py for the rule).
LEDGER = "norvix_days.json"


def open_lab(lab_path: str | Path) -> AlphaLab:
    """vn.py's lab over `lab_path` (its folders made when missing)."""
    from vnpy.alpha import AlphaLab

    return AlphaLab(str(lab_path))


def bar_file(lab: AlphaLab, vt_symbol: str, interval: Interval) -> Path:
    """The lab's file of `vt_symbol`'s bars; raises ValueError for a name that is not a
    contract's or a file that would fall outside the lab folder."""
    if interval not in LAB_INTERVALS:
        raise ValueError(messages.not_in_lab(interval.value))
    check_vt_symbol(vt_symbol)
    return inside(Path(lab.lab_path), bar_folder(lab, interval).joinpath(f"{vt_symbol}.parquet"))


def read_bar_file(path: Path, columns: list[str] | None = None) -> pl.DataFrame:
    """A lab bar file as a frame; `Unusable` naming it when it is not one (another
    program's file, one cut short)."""
    try:
        return pl.read_parquet(path, columns=columns)
    except (OSError, pl.exceptions.PolarsError) as error:
        raise unusable(path, "a bar file of the lab", f"{type(error).__name__}: {error}"[:200],
                       "Move it out of the folder (its bars are then fetched again) or put the file back") from None


def bar_folder(lab: AlphaLab, interval: Interval) -> Path:
    return Path(lab.daily_path if interval == Interval.DAILY else lab.minute_path)


def lab_frame(frame: pl.DataFrame) -> pl.DataFrame:
    """A bar frame (vnpy_norvix.research.columns) in the lab file's schema."""
    return frame.select(pl.col("datetime").dt.replace_time_zone(None).dt.cast_time_unit("us"),
                        *(pl.col(name).cast(pl.Float64).alias(lab) for name, lab in LAB_FIELDS.items()))


def save_lab_bars(lab_path: str | Path, vt_symbol: str, interval: Interval, frame: pl.DataFrame,
                  replaced: Iterable[tuple[datetime, datetime]] = (), *, merge: bool = True) -> int:
    """The bars of `frame` merged into the lab's file of `vt_symbol`: what it held (less its
    bars in the China-time spans [begin, end) `replaced`) and the new bars, one per time,
    ascending; a time both hold keeps the new bar. Without `merge` the file holds the new
    bars alone (a continuous series: its prices are on one adjustment scale, which
    another build's need not share). Returns the rows the file holds."""
    path = bar_file(open_lab(lab_path), vt_symbol, interval)
    merged = lab_frame(frame)
    if merge and path.exists():
        held = read_bar_file(path)
        spans = [(begin.astimezone(CHINA_TZ).replace(tzinfo=None), end.astimezone(CHINA_TZ).replace(tzinfo=None))
                 for begin, end in replaced]
        if spans:
            held = held.filter(~pl.any_horizontal(pl.col("datetime").is_between(begin, end, closed="left")
                                                  for begin, end in spans))
        merged = pl.concat([held, merged])
    # save_bar_data leaves the row kept of a time held twice to chance; here the new one wins.
    merged = merged.unique(subset=["datetime"], keep="last", maintain_order=True).sort("datetime")
    with replacing(path) as temporary:
        merged.write_parquet(temporary)
    return merged.height


def rolls_file(lab_path: str | Path, vt_symbol: str, interval: Interval) -> Path:
    path = bar_file(open_lab(lab_path), vt_symbol, interval)
    return path.with_name(f"{vt_symbol}.rolls.csv")


@contextmanager
def lab_rolls(lab_path: str | Path, vt_symbol: str, interval: Interval,
              rolls: Sequence[dict[str, Any]] | None) -> Iterator[None]:
    """A continuous series' roll table written as CSV beside its bars, put in place when the
    block (which saves the bars) ends without error: a failed save keeps the old table."""
    if rolls is None:
        yield
        return
    import csv

    from ..store.rolls import FIELDS, flat

    with replacing(rolls_file(lab_path, vt_symbol, interval)) as temporary:
        with open(temporary, "w", newline="", encoding="utf-8") as file:
            writer = csv.DictWriter(file, FIELDS)
            writer.writeheader()
            writer.writerows(flat(row) for row in rolls)
        yield


def add_contract(lab_path: str | Path, vt_symbol: str, size: float, pricetick: float | None = None,
                 rates: tuple[float, float] | None = None) -> None:
    """The entry of `vt_symbol` in the lab's contract.json, set as add_contract_setting sets
    it. What is not given keeps the entry's value (a new entry: 0)."""
    path = Path(open_lab(lab_path).contract_path)
    contracts: dict[str, dict[str, float]] = {}
    if path.exists() or path.is_symlink():
        todo = "Move it out of the folder (its entries are then written anew) or put the file back"
        contracts = read_json(path, "the lab's contract.json", todo)
        if not isinstance(contracts, dict) or not all(isinstance(entry, dict) for entry in contracts.values()):
            raise unusable(path, "the lab's contract.json", "it holds no object of contracts", todo)
    old = contracts.get(vt_symbol, {})
    long_rate, short_rate = rates if rates is not None else (old.get("long_rate", 0.0), old.get("short_rate", 0.0))
    contracts[vt_symbol] = {"long_rate": long_rate, "short_rate": short_rate, "size": size,
                            "pricetick": pricetick if pricetick is not None else old.get("pricetick", 0.0)}
    with replacing(path) as temporary:
        with open(temporary, "w", encoding="UTF-8") as file:
            json.dump(contracts, file, indent=4, ensure_ascii=False)


def add_contracts(lab_path: str | Path, reference: Reference, vt_symbols: Iterable[str],
                  rates: tuple[float, float] | None = None) -> list[str]:
    """contract.json entries for `vt_symbols`, their size and price tick from the service's
    reference data; returns the failures, one line each (the other entries are written)."""
    failures = []
    for vt_symbol in dict.fromkeys(vt_symbols):
        try:
            terms = reference.terms(check_vt_symbol(vt_symbol)[0])
        except Failure as failure:
            failures.append(messages.no_contract_terms(vt_symbol, failure.reason))
            continue
        except ValueError as error:
            failures.append(str(error))
            continue
        try:
            add_contract(lab_path, vt_symbol, terms.size, terms.pricetick, rates)
        except Unusable as error:
            failures.append(str(error))
            break  # the same file again for every other contract
    return failures


def bars_frame(bars: list[BarData]) -> pl.DataFrame:
    """Bars of one contract and interval as a bar frame (the columns the lab reads)."""
    return pl.DataFrame({"datetime": [bar.datetime for bar in bars],
                         **{name: [float(getattr(bar, name)) for bar in bars] for name in LAB_FIELDS}},
                        schema_overrides={"datetime": DATETIME})


@dataclass(frozen=True)
class LabBars:
    """One window's bars of a contract for its lab file: a bar frame, ascending, one row
    per time."""

    vt_symbol: str
    interval: Interval
    frame: pl.DataFrame

    def __len__(self) -> int:
        return self.frame.height

    @property
    def first(self) -> datetime:
        return cast(datetime, self.frame["datetime"][0])

    @property
    def last(self) -> datetime:
        return cast(datetime, self.frame["datetime"][-1])

    def tallies(self, calendar: Calendar) -> dict[date, Tally]:
        """Each trading day's tally of the bars, to hold against its daily bar."""
        found: dict[date, Tally] = {}
        columns = (self.frame[name].to_list() for name in ("datetime", "volume", "high_price", "low_price"))
        for moment, volume, high, low in zip(*columns):
            found.setdefault(calendar.trading_day(moment, self.interval), Tally()).add_values(volume, high, low)
        return found


class LabStore:
    """A lab folder as the downloads' store (vnpy_norvix/download/planning.py, `FrameStore`):
    the series its bar files hold, the trading days its ledger records whole, and each
    window's bars taken as one frame; and a continuous series' file written anew."""

    def __init__(self, lab_path: str | Path, added: Callable[[str], None] | None = None) -> None:
        self.lab_path = Path(lab_path)
        self.lab = open_lab(lab_path)
        self.added = added  # told each vt_symbol saved

    def get_bar_overview(self) -> list[BarOverview]:
        """What each bar file holds, as vn.py's databases describe their series."""
        overviews = []
        for interval in LAB_INTERVALS:
            for path in sorted(bar_folder(self.lab, interval).glob("*.parquet")):
                symbol, _, exchange = path.stem.rpartition(".")
                try:
                    known = Exchange(exchange)
                except ValueError:
                    continue  # not a file of this tool's naming
                times = read_bar_file(path, ["datetime"])["datetime"]
                if times.len():
                    overviews.append(BarOverview(symbol, known, interval, times.len(), self._held(times.min()),
                                                 self._held(times.max())))
        return overviews

    @staticmethod
    def _held(value: object) -> datetime:
        # A lab time is a China wall time; the planner reads times as the database gives them.
        assert isinstance(value, datetime)
        return vn_database.convert_tz(value.replace(tzinfo=CHINA_TZ))

    def replace_bar_data(self, bars: list[BarData], rolls: Sequence[dict[str, Any]] | None = None) -> None:
        """The lab file of the bars' contract and interval holds these bars alone; with
        `rolls`, a continuous series' roll table is written beside it (`<vt_symbol>.rolls.csv`)."""
        if bars:
            # vn.py types a bar's interval as optional; the bars saved have one.
            interval = cast(Interval, bars[0].interval)
            with lab_rolls(self.lab_path, bars[0].vt_symbol, interval, rolls):
                save_lab_bars(self.lab_path, bars[0].vt_symbol, interval, bars_frame(bars), merge=False)
            if self.added is not None:
                self.added(bars[0].vt_symbol)

    def window_bars(self, fetched: Fetched, symbol: str, exchange: Exchange, interval: Interval, window: Window,
                    calendar: Calendar) -> LabBars:
        return LabBars(f"{symbol}.{exchange.value}", interval,
                       window_frame(answers_frame(fetched, symbol, exchange, interval), interval, window, calendar))

    def save_frame(self, bars: LabBars, days: dict[date, int], fetched: datetime, calendar: Calendar,
                   recorded: dict[date, DayRecord] | None = None) -> None:
        """One window's bars saved in place of what the file held of their trading days
        (`days`: the bars of each), then those days recorded in the ledger (how each stood:
        `recorded`, else by the clock alone)."""
        if recorded is None:
            recorded = counted_days(days, fetched)
        spans = [calendar.bounds(day, bars.interval) for day in replaced(recorded)]
        if bars.frame.height or spans:
            save_lab_bars(self.lab_path, bars.vt_symbol, bars.interval, bars.frame, spans)
        if recorded:
            ledger = self._ledger()
            entry = ledger.setdefault(f"{bars.vt_symbol} {bars.interval.value}", {})
            entry.update({day.isoformat(): [record.count, record.state, record.detail]
                          for day, record in recorded.items()})
            with replacing(self.lab_path / LEDGER) as temporary:
                temporary.write_text(json.dumps(ledger, indent=1, sort_keys=True), encoding="UTF-8")
        if self.added is not None and bars.frame.height:
            self.added(bars.vt_symbol)

    def _ledger(self) -> dict[str, dict[str, Any]]:
        path = self.lab_path / LEDGER
        if not path.exists():
            return {}
        try:
            found = json.loads(path.read_text(encoding="UTF-8"))
        except ValueError:
            return {}  # unreadable: every day is fetched again, and the ledger written anew
        return found if isinstance(found, dict) else {}

    def held_days(self, symbol: str, exchange: Exchange, interval: Interval, first: date, last: date,
                  calendar: Calendar) -> set[date]:
        """The trading days of [first, last] the ledger records whole. When the ledger's counts
        do not add up to the bars the file holds (bars saved before the ledger was kept, or
        the file changed behind its back), only those days whose bars in the file still
        number what was saved."""
        entry = self._ledger().get(f"{symbol}.{exchange.value} {interval.value}", {})
        path = bar_file(self.lab, f"{symbol}.{exchange.value}", interval)
        try:
            # [count, state, detail]; the previous version's [count, whole] has no detail
            records = {date.fromisoformat(day): DayRecord.stored(*kept, *([None] * (3 - len(kept))))
                       for day, kept in entry.items()}
        except (TypeError, ValueError):
            return set()  # unreadable: every day is fetched again, and recorded anew
        complete = {day for day, record in records.items() if record.settled and first <= day <= last}
        if not complete:
            return set()
        if not path.exists():  # a series known only to be empty or not carried
            return {day for day in complete if not records[day].count}
        times = read_bar_file(path, ["datetime"])["datetime"]
        if sum(record.count for record in records.values()) == times.len():
            return complete
        begin, end = calendar.bounds(min(complete), interval)[0], calendar.bounds(max(complete), interval)[1]
        counts: dict[date, int] = {}
        for moment in times.filter(times.is_between(begin.replace(tzinfo=None), end.replace(tzinfo=None),
                                                    closed="left")).to_list():
            day = calendar.trading_day(moment.replace(tzinfo=CHINA_TZ), interval)
            counts[day] = counts.get(day, 0) + 1
        return {day for day in complete if counts.get(day, 0) == records[day].count}
