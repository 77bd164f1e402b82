"""One window's ticks of a contract held as the answers' columns, on their way into vn.py's
database with no Python object per tick while they wait: the bulk writers take their rows
straight from the columns (`rows`, in the row form of schema.py), another adapter takes
vn.py's `TickData`, made from the columns one window at a time (`records`).

A window of ticks as vn.py records takes some 2.8 KB a tick; as columns about 300 bytes.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass, fields
from datetime import date, datetime, timedelta, timezone, tzinfo
from functools import cache
from typing import TYPE_CHECKING, Any, cast, overload

from vnpy.trader.constant import Exchange
from vnpy.trader.object import TickData

from norvix_datafeed import CHINA_TZ

from .. import _wire
from ..calendar import Calendar
from .base import FrameWindow
from .days import Tally, frame_tallies

if TYPE_CHECKING:
    import numpy as np
    import polars as pl

    from .schema import Row, TableShape  # peewee's: imported only where a bulk writer saves

# The frame's columns that are not a tick's own fields (history/frames.py).
NOT_FIELDS = frozenset({"datetime", "symbol", "exchange", "trading_day"})
HOUR_US = 3_600_000_000
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


@dataclass(frozen=True, eq=False)
class TickColumns(FrameWindow, Sequence[TickData]):
    """One window's ticks of `symbol` on `exchange`: a tick frame (history/frames.py),
    ascending, one row per time, with its `trading_day` column. Read as a sequence, its
    ticks are vn.py's `TickData` as the record path builds them."""

    symbol: str
    exchange: Exchange
    frame: pl.DataFrame

    def tallies(self, calendar: Calendar) -> dict[date, Tally]:
        """Each trading day's tally of the ticks (days.tallies, on the columns), by the
        `trading_day` column the window was made with under `calendar`."""
        return frame_tallies(self.frame)

    def records(self) -> list[TickData]:
        """The ticks as vn.py's TickData, as the decoder makes them from the same answers."""
        frame = self.frame
        names = [name for name in frame.columns if name not in NOT_FIELDS]
        times = [moment.replace(tzinfo=CHINA_TZ) for moment in as_datetimes(wall_micros(self._instants(), CHINA_TZ))]
        gateway, symbol, exchange = gateway_name(), self.symbol, self.exchange
        return [TickData(gateway_name=gateway, symbol=symbol, exchange=exchange, datetime=moment,
                         **dict(zip(names, values)))
                for moment, *values in zip(times, *(frame[name].to_list() for name in names))]

    def rows(self, shape: TableShape, text_times: bool) -> list[Row]:
        """`shape.rows(self.records(), text_times)`, from the columns: the time as convert_tz
        gives it ("database.timezone"'s wall time), the exchange's value, each field's
        column, and what the answers do not carry as TickData's default."""
        import polars as pl

        from .schema import row_zone

        zone = row_zone()
        if shape.cls is not TickData or zone is None:
            return shape.rows(self.records(), text_times)  # times made by a replaced convert_tz
        wall = wall_micros(self._instants(), zone)
        times = as_text(wall) if text_times else as_datetimes(wall)
        constants: dict[str, object] = {"symbol": self.symbol, "exchange": self.exchange.value}
        defaults = {field.name: field.default for field in fields(TickData)}
        columns: list[Any] = []  # as _wire.column_rows takes them: a value for every row in a tuple
        for column, _rule, _enum in shape.plan:
            if column == "datetime":
                columns.append(times)
            elif column in constants:
                columns.append((constants[column],))
            elif column in self.frame.columns:
                values = self.frame[column]  # floats (read as doubles where none is missing), names as text or None
                whole = not values.null_count()
                if whole and values.dtype == pl.Float64:
                    columns.append(values.to_numpy())
                elif whole and values.dtype == pl.String and values.n_unique() == 1:
                    columns.append((values[0],))  # a window's contract has one name
                else:
                    columns.append(values.to_list())
            else:
                columns.append((defaults[column],))
        return _wire.column_rows(columns, len(self.frame))

    def _instants(self) -> np.ndarray:
        return self.frame["datetime"].to_physical().to_numpy()

    @overload
    def __getitem__(self, index: int) -> TickData: ...

    @overload
    def __getitem__(self, index: slice) -> list[TickData]: ...

    def __getitem__(self, index: int | slice) -> TickData | list[TickData]:
        if isinstance(index, slice):
            return self.records()[index]
        place = index + len(self) if index < 0 else index
        if not 0 <= place < len(self):
            raise IndexError("tick index out of range")
        return TickColumns(self.symbol, self.exchange, self.frame.slice(place, 1)).records()[0]

    def __iter__(self) -> Iterator[TickData]:
        return iter(self.records())


@cache
def gateway_name() -> str:
    """The gateway name the decoder gives the ticks it makes."""
    made = _wire.decode("tick", b'{"code": 0, "data": [{"trading_datetime": "2000-01-01 00:00:00"}]}', "",
                        Exchange.SHFE, None)[1][0]
    return cast(TickData, made).gateway_name


def wall_micros(instants: np.ndarray, zone: tzinfo) -> np.ndarray:
    """Instants (int64 nanoseconds since the epoch) as wall times of `zone` (int64
    microseconds), as `moment.astimezone(zone).replace(tzinfo=None)` gives them: the
    zone's offset asked at both ends of each hour the instants fall in, and of each
    instant in an hour in which it changes."""
    import numpy as np

    micros = instants // 1_000
    hours, where = np.unique(micros // HOUR_US, return_inverse=True)
    offsets = np.empty(len(hours), dtype=np.int64)
    changing = []
    for i, hour in enumerate(hours.tolist()):
        begin, end = _offset(hour * HOUR_US, zone), _offset((hour + 1) * HOUR_US - 1, zone)
        offsets[i] = begin
        if begin != end:
            changing.append(i)
    shifts = offsets[where]
    for i in changing:
        for place in np.flatnonzero(where == i).tolist():
            shifts[place] = _offset(int(micros[place]), zone)
    return micros + shifts


def as_datetimes(wall: np.ndarray) -> list[datetime]:
    """Wall times (int64 microseconds) as naive datetimes."""
    return cast(list[datetime], wall.astype("datetime64[us]").tolist())


def as_text(wall: np.ndarray) -> list[str]:
    """Wall times (int64 microseconds) as the `str()` of their naive datetimes, made by polars."""
    import polars as pl

    moments = pl.Series(wall).cast(pl.Datetime("us"))
    whole = moments.dt.strftime("%Y-%m-%d %H:%M:%S")
    fraction = moments.dt.microsecond() != 0
    if fraction.any():  # str() gives the fraction only where there is one
        whole = pl.select(pl.when(fraction).then(moments.dt.strftime("%Y-%m-%d %H:%M:%S%.6f"))
                          .otherwise(whole)).to_series()
    return cast(list[str], whole.to_list())


def _offset(micros: int, zone: tzinfo) -> int:
    """The zone's offset from UTC at an instant, in microseconds."""
    offset = (EPOCH + timedelta(microseconds=micros)).astimezone(zone).utcoffset() or timedelta()
    return offset // timedelta(microseconds=1)
