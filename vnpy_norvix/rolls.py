"""The roll rules, kept importable here: they live in series/rolls.py."""

from .series.rolls import (JOBS, LIST_EVERY, MEASURES, NAME_CODES, SIGNALS, Decider, Decision, EmptyCycle, Market,
                           RollRule, decide, gather, source_failure)

__all__ = ["JOBS", "LIST_EVERY", "MEASURES", "NAME_CODES", "SIGNALS", "Decider", "Decision", "EmptyCycle", "Market",
           "RollRule", "decide", "gather", "source_failure"]
