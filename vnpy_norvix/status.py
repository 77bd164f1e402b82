"""`status`: per stored series, what the completeness record says of it (store/days.py):
its first and last whole trading day, the days still provisional or given up on
(unsettled, with what disagreed), the days not carried by the service, its holes (days
whose rows no longer number what was saved: deleted or added behind the record), and
the remembered command that owns it."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import date
from typing import Any

from .remembered import Entry
from .store import Series, Store
from .store import days as day_record

# Every trading day the record may hold.
EVERY_DAY = (date(1990, 1, 1), date(2100, 12, 31))


@dataclass
class SeriesDays:
    whole: list[date] = field(default_factory=list)
    provisional: list[str] = field(default_factory=list)  # "day (what disagrees)"
    unsettled: list[str] = field(default_factory=list)
    not_carried: int = 0
    holes: list[date] = field(default_factory=list)
    command: int | None = None  # the number of the remembered command that writes it

    def row(self) -> list[object]:
        return [f"{self.whole[0]} .. {self.whole[-1]}" if self.whole else "-", len(self.provisional),
                len(self.unsettled), len(self.holes), f"[{self.command}]" if self.command else "-"]

    def summary(self) -> dict[str, Any]:
        return {"first_whole": self.whole[0] if self.whole else None, "last_whole": self.whole[-1] if self.whole else None,
                "provisional": self.provisional, "unsettled": self.unsettled, "not_carried": self.not_carried,
                "holes": self.holes, "command": self.command}


def _noted(day: date, record: day_record.DayRecord) -> str:
    return f"{day} ({record.detail})" if record.detail else str(day)


def series_days(held: Store, series: Series, entries: list[Entry]) -> SeriesDays:
    """What the record says of one series (nothing where the store keeps no record)."""
    found = SeriesDays()
    owner = f"{series[0]} {series[2].value}"
    found.command = next((entry.number for entry in entries if owner in entry.series), None)
    records = held.day_records(series, *EVERY_DAY) or {}
    for day, record in sorted(records.items()):
        if record.state == day_record.WHOLE:
            found.whole.append(day)
        elif record.state == day_record.PROVISIONAL:
            found.provisional.append(_noted(day, record))
        elif record.state == day_record.UNSETTLED:
            found.unsettled.append(_noted(day, record))
        elif record.state == day_record.NOT_CARRIED:
            found.not_carried += 1
    counted = [day for day, record in records.items() if record.count]
    if counted:
        rows = held.day_counts(series, min(counted), max(counted))
        found.holes = [day for day in sorted(counted) if rows.get(day, 0) != records[day].count]
    return found
