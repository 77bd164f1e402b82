"""Tables and summaries the command line prints."""

from __future__ import annotations

import unicodedata
from collections.abc import Sequence
from datetime import datetime
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .continuous import ContinuousSeries
    from .download import Outcome


def _width(text: str) -> int:
    """Columns the text takes in a terminal: Chinese characters take two."""
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)


def table(headers: Sequence[str], rows: Sequence[Sequence[object]], right: Sequence[int] = ()) -> str:
    """Rows as aligned columns; the columns numbered in `right` are right-aligned."""
    cells = [[str(value) for value in row] for row in rows]
    widths = [max([_width(headers[i])] + [_width(row[i]) for row in cells]) for i in range(len(headers))]

    def line(values: Sequence[str]) -> str:
        padded = [" " * (w - _width(v)) + v if i in right else v + " " * (w - _width(v))
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


def describe(outcome: Outcome) -> str:
    if outcome.error is not None:
        return f"FAILED: {outcome.error}"
    state = "interrupted, " if outcome.interrupted else ""
    if not outcome.task.windows:
        return "up to date" if outcome.task.held_days else "no data in the range"
    return f"{state}{outcome.fetched} records {span(outcome.first, outcome.last)} ({outcome.seconds:.1f} s)"


def _state(outcome: Outcome) -> str:
    if outcome.error is not None:
        return "FAILED"
    if outcome.interrupted:
        return "interrupted"
    # A known contract with nothing served or held in the range: it did not trade then.
    return "ok" if outcome.fetched or outcome.task.held_days else "no data"


def download_summary(outcomes: Sequence[Outcome], failures: Sequence[str] = ()) -> str:
    rows = [
        [o.task.target.vt_symbol, o.task.interval.value, o.fetched, "-" if o.new is None else o.new,
         span(o.first, o.last), f"{o.seconds:.1f}", _state(o)]
        for o in outcomes
    ]
    text = [table(["symbol", "interval", "fetched", "new", "range", "seconds", "status"], rows, right=(2, 3, 5))]
    failed = [f"  {o.task.label}: {o.error}" for o in outcomes if o.error is not None] + [f"  {f}" for f in failures]
    total = sum(o.fetched for o in outcomes)
    new = sum(o.new or 0 for o in outcomes)
    empty = sum(_state(o) == "no data" for o in outcomes)
    text.append(f"\n{len(outcomes)} tasks, {total} records fetched, {new} new, {len(failed)} failed"
                + (f", {empty} without data in the range" if empty else "")
                + (f", {sum(o.interrupted for o in outcomes)} interrupted" if any(o.interrupted for o in outcomes) else ""))
    if failed:
        text.append("failures:\n" + "\n".join(failed))
    return "\n".join(text)


def rolls_table(series: ContinuousSeries) -> str:
    rows = [
        [roll.trading_date, roll.old, roll.new, f"{roll.old_close:g}", f"{roll.new_close:g}", f"{roll.factor:.8f}",
         "-" if roll.service_factor is None else f"{roll.service_factor:.8f}", f"{roll.cumulative:.8f}"]
        for roll in series.rolls
    ]
    return table(["roll date", "from", "to", "old close", "new close", "factor", "service", "cumulative"], rows,
                 right=(3, 4, 5, 6, 7))
