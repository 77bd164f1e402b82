"""What `download` and `continuous` take for an option that is not given: the command
line's parser sets these as its defaults, and `update` runs a remembered command with
them under the values the command remembers, so a command replayed is the command typed.

Only the options of the command itself are here; those of a run (--dry-run, --json,
--base-url, -q...) are the running command's own."""

from __future__ import annotations

import argparse
import copy
from datetime import date
from typing import Any

from vnpy.trader.constant import Interval

from .names import ROLL_DEFAULTS

# The roll rule's options take the rule's own defaults; --method ratio is the service's.
ROLL = {**{"roll" if key == "rule" else key: value for key, value in ROLL_DEFAULTS.items()}, "method": "ratio"}

DEFAULTS: dict[str, dict[str, Any]] = {
    "download": {"symbols": [], "product": [], "contracts": "dominant", "end": None, "interval": [Interval.DAILY],
                 "jobs": 4, "require_data": False, "lab": None, "rates": None},
    "continuous": {"end": None, "interval": [Interval.DAILY], "adjust": "backward", "name": None, **ROLL,
                   "next": False, "lab": None, "rates": None},
}


def defaults(name: str) -> dict[str, Any]:
    """The defaults of command `name`, a copy of its own (their lists are the caller's)."""
    return copy.deepcopy(DEFAULTS[name])


def replayed(name: str, values: dict[str, Any], end: date, run: argparse.Namespace) -> argparse.Namespace:
    """The options of command `name` run with `values` (as the parser gives them, with
    "end_given" the end the command was given, if any) up to that end, else to `end`,
    with the run options of `run` (the command replaying it)."""
    given = {key: value for key, value in values.items() if value is not None}
    return argparse.Namespace(**{
        "command": name, **defaults(name), **given, "end": values.get("end_given") or end, "end_given": values.get("end_given"),
        "lab": run.lab, "base_url": run.base_url, "no_wait": run.no_wait, "dry_run": run.dry_run,
        "no_remember": False, "json": False, "summary": {}})
