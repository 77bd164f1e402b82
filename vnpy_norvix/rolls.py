"""The roll rules, kept importable here: they live in series/rolls.py; and the rule the
command line's options describe."""

from __future__ import annotations

import argparse


from .series.rolls import (JOBS, LIST_EVERY, MEASURES, NAME_CODES, SIGNALS, Decider, Decision, EmptyCycle, Market,
                           RollRule, decide, gather, source_failure)

__all__ = ["JOBS", "LIST_EVERY", "MEASURES", "NAME_CODES", "SIGNALS", "Decider", "Decision", "EmptyCycle", "Market",
           "RollRule", "decide", "gather", "source_failure"]


def rule_of(args: argparse.Namespace) -> RollRule:
    """The roll rule the command line's options describe."""
    return RollRule(args.roll, args.threshold, args.confirm, args.before, tuple(args.months), args.force_days,
                    args.depth)
