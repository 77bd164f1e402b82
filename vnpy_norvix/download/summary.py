"""A download's summary (a row per task, the totals, the failures) and a task's line as
its progress shows it."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field

from ..report import plural, span, table, text_width
from .pipeline import Outcome


def describe(outcome: Outcome) -> str:
    if outcome.error is not None:
        return f"FAILED: {outcome.error}"
    state = "interrupted, " if outcome.interrupted else ""
    if not outcome.task.windows:
        return "up to date" if outcome.task.whole_count else "no data in the range"
    return f"{state}{outcome.fetched} records {span(outcome.first, outcome.last)} ({outcome.seconds:.1f} s)"


def _state(outcome: Outcome) -> str:
    if outcome.error is not None:
        return "FAILED"
    if outcome.interrupted:
        return "interrupted"
    # A known contract with nothing served or held in the range: it did not trade then.
    return "ok" if outcome.fetched or outcome.task.whole_count else "no data"


@dataclass
class Summary:
    text: str  # the table and the totals, for standard output
    failed: list[str] = field(default_factory=list)  # one line per failure, for standard error


def _unstarted(outcome: Outcome) -> bool:
    """Interrupted before anything of it was saved."""
    return outcome.interrupted and outcome.error is None and not outcome.fetched


def _fitted(headers: list[str], rows: list[list[object]], right: tuple[int, ...], width: int | None) -> str:
    """The table, made narrower while it is wider than `width`: ranges as days, then
    without the seconds."""
    text = table(headers, rows, right)
    if width is None or max(map(text_width, text.splitlines())) <= width:
        return text
    short = [[*row[:4], _days(str(row[4])), *row[5:]] for row in rows]
    text = table(headers, short, right)
    if max(map(text_width, text.splitlines())) <= width:
        return text
    return table(headers[:5] + headers[6:], [row[:5] + row[6:] for row in short], right[:2])


def _days(shown: str) -> str:
    """A range's times cut to their days."""
    return " .. ".join(part[:10] for part in shown.split(" .. "))


def download_summary(outcomes: Sequence[Outcome], failures: Sequence[str] = (), *, width: int | None = None,
                     require_data: bool = False) -> Summary:
    """The summary of a download: a row per task that ran (the tasks an interrupt kept
    from saving anything in one line), the totals, and the failures; with `require_data`
    a task without data in its range is one of them."""
    shown = [o for o in outcomes if not _unstarted(o)]
    rows: list[list[object]] = [
        [o.task.target.vt_symbol, o.task.interval.value, o.fetched, "-" if o.new is None else o.new,
         span(o.first, o.last), f"{o.seconds:.1f}", _state(o)]
        for o in shown
    ]
    text = [_fitted(["symbol", "interval", "fetched", "new", "range", "seconds", "status"], rows, (2, 3, 5), width)]
    unstarted = [o.task.label for o in outcomes if _unstarted(o)]
    if unstarted:
        line = f"{plural(len(unstarted), 'task')} interrupted before saving anything: {', '.join(unstarted)}"
        text.append(line if width is None or text_width(line) <= width else line[:max(width - 1, 0)] + "…")
    empty = [o for o in outcomes if _state(o) == "no data"]
    failed = [f"  {o.task.label}: {o.error}" for o in outcomes if o.error is not None] + [f"  {f}" for f in failures]
    if require_data:
        failed += [f"  {o.task.label}: no data between {o.task.target.first} and {o.task.target.last}" for o in empty]
    total = sum(o.fetched for o in outcomes)
    new = sum(o.new or 0 for o in outcomes)
    text.append(f"\n{len(outcomes)} tasks, {total} records fetched, {new} new, {len(failed)} failed"
                + (f", {len(empty)} without data in the range" if empty else "")
                + (f", {sum(o.interrupted for o in outcomes)} interrupted" if any(o.interrupted for o in outcomes) else "")
                + _days_counted("provisional (fetched again by the next run)", sum(o.provisional for o in outcomes))
                + _days_counted("not carried by the service", sum(o.not_carried for o in outcomes)))
    return Summary("\n".join(text), failed)


def _days_counted(what: str, count: int) -> str:
    return f", {plural(count, 'trading day')} {what}" if count else ""
