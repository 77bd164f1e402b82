"""An AlphaLab folder (vn.py's research module) as a `Store` (base.py): bar files as
`AlphaLab.save_bar_data` leaves them, each written to a temporary file renamed into
place, so that an interrupted write leaves the file as it was.

Each window's bars come as one frame of the answers' columns (`LabBars`), with no vn.py
object per bar. Which trading days a lab file holds whole is kept in the folder's ledger
(LEDGER), written (atomically) after the bar file: a day is marked whole only once its
bars are in place. The folder keeps its run lock and its remembered commands too."""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from functools import cached_property
from datetime import date, datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import polars as pl
import vnpy.trader.database as vn_database
from vnpy.trader.constant import Exchange, Interval
from vnpy.trader.database import BarOverview, TickOverview
from vnpy.trader.object import BarData

from norvix_datafeed import CHINA_TZ

from .. import messages
from ..calendar import WEEKDAYS, Calendar
from ..files import inside, replacing, unusable
from ..names import check_vt_symbol
from .base import FrameWindow, Record, Series, Store, Stretch
from .days import DayRecord, Tally, counted_days, replaced

if TYPE_CHECKING:
    from vnpy.alpha import AlphaLab

# The folder's run lock and its remembered commands.
LOCK_NAME = ".norvix.lock"
COMMANDS_FILE = "norvix_commands.json"
# A bar frame's time (vnpy_norvix.research.columns): China time, aware.
FRAME_TIME = pl.Datetime("ns", str(CHINA_TZ))
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


def bars_frame(bars: list[BarData]) -> pl.DataFrame:
    """Bars of one contract and interval as a bar frame (the columns the lab reads)."""
    return pl.DataFrame({"datetime": [bar.datetime for bar in bars],
                         **{name: [float(getattr(bar, name)) for bar in bars] for name in LAB_FIELDS}},
                        schema_overrides={"datetime": FRAME_TIME})


@dataclass(frozen=True)
class LabBars(FrameWindow):
    """One window's bars of a contract for its lab file: a bar frame, ascending, one row
    per time."""

    vt_symbol: str
    interval: Interval
    frame: pl.DataFrame

    def tallies(self, calendar: Calendar) -> dict[date, Tally]:
        """Each trading day's tally of the bars, to hold against its daily bar."""
        found: dict[date, Tally] = {}
        columns = (self.frame[name].to_list() for name in ("datetime", "volume", "high_price", "low_price"))
        for moment, volume, high, low in zip(*columns):
            found.setdefault(calendar.trading_day(moment, self.interval), Tally()).add_values(volume, high, low)
        return found


class LabStore(Store):
    """A lab folder as a store: the series its bar files hold, the trading days its ledger
    records, each window's bars taken as one frame, and a continuous series' file
    written anew."""

    takes_frames = True

    def __init__(self, lab_path: str | Path, added: Callable[[str], None] | None = None) -> None:
        self.lab_path = Path(lab_path)
        self.added = added  # told each vt_symbol saved

    @cached_property
    def lab(self) -> AlphaLab:
        """vn.py's lab over the folder, its parts made when first needed (not for the
        folder's remembered commands alone)."""
        return open_lab(self.lab_path)

    def describe(self) -> str:
        return str(self.lab_path)

    def overviews(self) -> list[tuple[BarOverview | TickOverview, Interval | None]]:
        return [(overview, overview.interval) for overview in self.get_bar_overview()]

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

    def lock_file(self) -> Path:
        return self.lab_path / LOCK_NAME

    def commands_file(self) -> Path:
        return self.lab_path / COMMANDS_FILE

    def _path(self, series: Series) -> Path:
        return bar_file(self.lab, f"{series[0]}.{series[1].value}", series[2])

    def replace_series(self, series: Series, bars: Sequence[BarData],
                       rolls: Sequence[dict[str, Any]] | None = None) -> None:
        self.replace_bar_data(list(bars), rolls)

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

    def save_window(self, series: Series, bars: LabBars, days: dict[date, int], fetched: datetime,
                    calendar: Calendar, recorded: dict[date, DayRecord] | None = None) -> int | None:
        """One window's bars saved in place of what the file held of their trading days
        (`days`: the bars of each), then those days recorded in the ledger (how each stood:
        `recorded`, else by the clock alone). The rows gained are not counted."""
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
        return None

    def _ledger(self) -> dict[str, dict[str, Any]]:
        path = self.lab_path / LEDGER
        if not path.exists():
            return {}
        try:
            found = json.loads(path.read_text(encoding="UTF-8"))
        except ValueError:
            return {}  # unreadable: every day is fetched again, and the ledger written anew
        return found if isinstance(found, dict) else {}

    def _records(self, series: Series) -> dict[date, DayRecord]:
        entry = self._ledger().get(f"{series[0]}.{series[1].value} {series[2].value}", {})
        try:
            # [count, state, detail]; the previous version's [count, whole] has no detail
            return {date.fromisoformat(day): DayRecord.stored(*kept, *([None] * (3 - len(kept))))
                    for day, kept in entry.items()}
        except (TypeError, ValueError):
            return {}  # unreadable: every day is fetched again, and recorded anew

    def day_records(self, series: Series, first: date, last: date) -> dict[date, DayRecord] | None:
        return {day: record for day, record in self._records(series).items() if first <= day <= last}

    def recorded_total(self, series: Series) -> int:
        return sum(record.count for record in self._records(series).values())

    def _times(self, series: Series) -> pl.Series:
        path = self._path(series)
        return read_bar_file(path, ["datetime"])["datetime"] if path.exists() else pl.Series("datetime", [],
                                                                                             LAB_TIME)

    def rows_total(self, series: Series) -> int:
        return self._times(series).len()

    def day_counts(self, series: Series, first: date, last: date, calendar: Calendar = WEEKDAYS) -> dict[date, int]:
        interval = series[2]
        begin, end = calendar.bounds(first, interval)[0], calendar.bounds(last, interval)[1]
        times = self._times(series)
        counts: dict[date, int] = {}
        for moment in times.filter(times.is_between(begin.replace(tzinfo=None), end.replace(tzinfo=None),
                                                    closed="left")).to_list():
            day = calendar.trading_day(moment.replace(tzinfo=CHINA_TZ), interval)
            if first <= day <= last:
                counts[day] = counts.get(day, 0) + 1
        return counts

    # --- what `verify` reads and repairs ---

    def stretches(self, series: Series) -> list[Stretch]:
        """The file's bars summed up per hour by polars, reading only the columns summed."""
        path = self._path(series)
        if not path.exists():
            return []
        fields = [LAB_FIELDS[name] for name in ("open_price", "high_price", "low_price", "close_price", "volume")]
        opens, highs, lows, closes, volumes = map(pl.col, fields)
        hours = (read_bar_file(path, ["datetime", *fields]).lazy().sort("datetime")
                 .group_by(pl.col("datetime").dt.truncate("1h").alias("hour"), maintain_order=True)
                 .agg(pl.len(), pl.col("datetime").first().alias("first"), pl.col("datetime").last().alias("last"),
                      opens.first(), highs.max(), lows.min(), closes.last(), volumes.sum())
                 .collect())
        return [Stretch(hour.replace(tzinfo=CHINA_TZ), count, first.replace(tzinfo=CHINA_TZ),
                        last.replace(tzinfo=CHINA_TZ), (float(o), float(h), float(low), float(c), float(v)))
                for hour, count, first, last, o, h, low, c, v in hours.iter_rows()]

    def load(self, series: Series) -> Sequence[Record]:
        """The bars of the lab's file of `series`, whole (the lab's own load gives times only)."""
        symbol, exchange, interval = series
        path = self._path(series)
        if not path.exists():
            return []
        return [BarData(gateway_name="LAB", symbol=symbol, exchange=exchange, interval=interval,
                        datetime=row["datetime"].replace(tzinfo=CHINA_TZ),
                        **{name: row[column] for name, column in LAB_FIELDS.items()})
                for row in read_bar_file(path).iter_rows(named=True)]

    def can_repair(self, interval: Interval) -> bool:
        return True

    def replace_days(self, series: Series, spans: Sequence[tuple[datetime, datetime]],
                     records: Sequence[Record]) -> None:
        """The file's bars inside `spans` (China time) replaced by `records`, the file
        rewritten whole through a file renamed into place."""
        bars = cast(list[BarData], list(records))
        save_lab_bars(self.lab_path, f"{series[0]}.{series[1].value}", series[2], bars_frame(bars), spans)
