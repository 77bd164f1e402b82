"""What a run would fetch, told without fetching it (`--dry-run`): per series the trading
days to fetch, the windows they make and an estimate of the records."""

from __future__ import annotations

from collections.abc import Sequence
from datetime import date
from typing import Any

from vnpy.trader.constant import Interval

from ..calendar import trading_windows
from ..rolls import RollRule
from ..series.builder import dominant_segments, plan_series
from .planning import Task
from .source import Source

# Records a trading day gives, roughly: the longest sessions of the exchanges served
# make some 345 minute bars a day, and their ticks come twice a second or less.
PER_DAY = {Interval.DAILY: 1, Interval.WEEKLY: 0.2, Interval.HOUR: 7, Interval.MINUTE: 345, Interval.TICK: 20_000}


def task_days(task: Task) -> list[date]:
    """The contract's trading days inside the task's windows."""
    return [day for day in task.calendar.days if any(window.first <= day <= window.last for window in task.todo)]


def download_plan(tasks: Sequence[Task]) -> tuple[list[str], list[dict[str, Any]]]:
    """One line per task, and the same as data."""
    lines: list[str] = []
    items: list[dict[str, Any]] = []
    for task in tasks:
        if task.failure is not None:
            lines.append(f"{task.label}: cannot plan: {task.failure.reason}")
            items.append({"series": task.target.vt_symbol, "interval": task.interval.value,
                          "error": task.failure.reason})
            continue
        days = task_days(task)
        estimate = round(len(days) * PER_DAY[task.interval])
        span = f"{days[0]} .. {days[-1]}" if days else "-"
        lines.append(f"{task.label}: {len(days)} trading days to fetch ({span}) in {task.windows} windows, "
                     f"about {estimate} records; {task.whole_count} days held")
        items.append({"series": task.target.vt_symbol, "interval": task.interval.value, "days": len(days),
                      "first": days[0].isoformat() if days else None, "last": days[-1].isoformat() if days else None,
                      "windows": task.windows, "estimate": estimate, "held_days": task.whole_count})
    return lines, items


def continuous_plan(source: Source, product: str, start: date, end: date, intervals: Sequence[Interval],
                    rule: RollRule = RollRule()) -> tuple[list[str], list[dict[str, Any]]]:
    """The contracts a continuous series of `product` would be built from (for a rule other
    than the service's, decided from the contracts' daily bars), and per interval the days,
    windows and records it would fetch (all of them: a series is built whole)."""
    source.reference.check_product(product)
    if rule.plain:
        segments = dominant_segments(source.reference.dominant(product, start, end))
    else:
        segments = plan_series(source, product, start, end, rule, "none").segments
    trading = [day.trading_date for day in source.reference.dominant(product, start, end)]
    lines, items = [], []
    for segment in segments:
        lines.append(f"{product}: {segment.contract}.{segment.exchange.value} {segment.first} .. {segment.last}")
    for interval in intervals:
        windows = sum(len(trading_windows([d for d in trading if s.first <= d <= s.last], interval))
                      for s in segments)
        estimate = round(len(trading) * PER_DAY[interval])
        lines.append(f"{product} {interval.value}: {len(trading)} trading days of {len(segments)} contracts in "
                     f"{windows} windows, about {estimate} records")
        items.append({"product": product, "interval": interval.value, "days": len(trading),
                      "contracts": [s.contract for s in segments], "windows": windows, "estimate": estimate})
    return lines, items
