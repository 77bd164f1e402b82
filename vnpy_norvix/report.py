"""Tables the commands print: aligned columns, counts, moments and ranges, a roll table
(a download's summary is download/summary.py)."""

from __future__ import annotations

import unicodedata
from collections.abc import Sequence
from datetime import datetime
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .series.builder import ContinuousSeries


def text_width(text: str) -> int:
    """Columns the text takes in a terminal: Chinese characters take two."""
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def table(headers: Sequence[str], rows: Sequence[Sequence[object]], right: Sequence[int] = ()) -> str:
    """Rows as aligned columns; the columns numbered in `right` are right-aligned."""
    cells = [[str(value) for value in row] for row in rows]
    widths = [max([text_width(headers[i])] + [text_width(row[i]) for row in cells]) for i in range(len(headers))]

    def line(values: Sequence[str]) -> str:
        padded = [" " * (w - text_width(v)) + v if i in right else v + " " * (w - text_width(v))
                  for i, (v, w) in enumerate(zip(values, widths))]
        return "  ".join(padded).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths]), *(line(row) for row in cells)])


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def moment(value: datetime | None) -> str:
    if value is None:
        return "-"
    return value.strftime("%Y-%m-%d") if value.time() == datetime.min.time() else value.strftime("%Y-%m-%d %H:%M:%S")


def span(first: datetime | None, last: datetime | None) -> str:
    return "-" if first is None or last is None else f"{moment(first)} .. {moment(last)}"


def rolls_table(series: ContinuousSeries) -> str:
    rows = [
        [roll.decision_day, roll.effective_day, roll.from_contract, roll.to_contract, f"{roll.from_close:g}",
         f"{roll.to_close:g}", "-" if roll.ratio is None else f"{roll.ratio:.8f}", f"{roll.difference:g}",
         "-" if roll.service_factor is None else f"{roll.service_factor:.8f}", f"{roll.factor:.8g}", roll.trigger]
        for roll in series.rolls
    ]
    return table(["decided", "roll date", "from", "to", "old close", "new close", "ratio", "difference", "service",
                  "factor", "trigger"], rows, right=(4, 5, 6, 7, 8, 9))
