"""`continuous`: the command's part (the roll rule read from its options, the dry run, a
--name already taken); the builder itself lives in series/builder.py and is kept
importable here."""

from __future__ import annotations

import argparse

from . import download as dl
from . import exits
from .console import CONSOLE
from .remembered import memory
from .rolls import RollRule
from .series.builder import (FACTOR_TOLERANCE, Adjustment, BadClose, ContinuousSeries, NextRoll, Plan, Roll, Segment,
                             continuous_bars, dominant_segments, first_session, next_roll, plan_series, roll_rows,
                             rolls_frame, service_disagreements)
from .store import Store

__all__ = ["FACTOR_TOLERANCE", "Adjustment", "BadClose", "ContinuousSeries", "NextRoll", "Plan", "Roll", "Segment",
           "continuous_bars", "dominant_segments", "first_session", "next_roll", "plan_series", "roll_rows",
           "rolls_frame", "service_disagreements"]


def rule_of(args: argparse.Namespace) -> RollRule:
    """The roll rule the command line's options describe."""
    return RollRule(args.roll, args.threshold, args.confirm, args.before, tuple(args.months), args.force_days,
                    args.depth)


def name_taken(args: argparse.Namespace, database: Store) -> str | None:
    """The product of another remembered continuous series saved under `args.name`, if any."""
    for entry in memory(database).entries():
        command = entry.command
        if (not entry.problem and command["command"] == "continuous" and (command["name"] or "").lower()
                == args.name.lower() and set(command["products"]) != set(args.products)):
            return ", ".join(command["products"])
    return None


def dry_run_continuous(args: argparse.Namespace, source: dl.Source) -> int:
    """`continuous --dry-run`: the contracts and rolls each series would be built from."""
    from .preview import continuous_plan  # it reads the builder through this module

    CONSOLE.summary("dry run: nothing is fetched or saved")
    failed = 0
    for product in dict.fromkeys(args.products):
        try:
            lines, items = continuous_plan(source, product, args.start, args.end, list(dict.fromkeys(args.interval)),
                                           rule_of(args))
        except dl.Failure as failure:
            CONSOLE.fail(f"{product}: FAILED: {dl.failure_text(failure)}")
            failed += 1
            continue
        CONSOLE.summary("\n".join(lines))
        args.summary.setdefault("series", []).extend(items)
    args.summary.update(dry_run=True, failed=failed)
    return exits.FAILED if failed else exits.OK
