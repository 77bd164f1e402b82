"""The command line's names of intervals and adjustments: read before vn.py's settings
are, so that nothing here imports what loads them."""

from __future__ import annotations

from vnpy.trader.constant import Interval

INTERVAL_NAMES = {"d": Interval.DAILY, "1h": Interval.HOUR, "1m": Interval.MINUTE, "tick": Interval.TICK}

ADJUSTMENTS = ("backward", "forward", "none")
