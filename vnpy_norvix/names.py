"""Names from outside, checked before they are used: the service's contract and product
names, before they become part of a path, a file name, a symbol stored in the database or
a log line; and the command line's names of intervals and adjustments, read before vn.py's
settings are (nothing here imports what loads them).

A contract or product name is ASCII letters and digits, possibly with `-` or `_`, and
short; nothing else can climb out of a folder (`..`, `/`, `\\`), hide in a file name (a
NUL, a newline) or forge a line of the log."""

from __future__ import annotations

import re
from typing import Any, TypeGuard

from vnpy.trader.constant import Exchange, Interval

NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")

INTERVAL_NAMES = {"d": Interval.DAILY, "1h": Interval.HOUR, "1m": Interval.MINUTE, "tick": Interval.TICK}

ADJUSTMENTS = ("backward", "forward", "none")
# How a continuous series chooses its contract each day, and how it adjusts prices at a roll.
ROLL_RULES = ("service", "oi", "volume", "oi+volume", "calendar")
METHODS = ("ratio", "difference", "none")
# A rule's parameters when not given (series/rolls.py `RollRule`, the command line's options):
# the service's own dominant contracts.
ROLL_DEFAULTS: dict[str, Any] = {"rule": "service", "threshold": 1.0, "confirm": 1, "before": 5, "months": (),
                                 "force_days": None, "depth": 1}

# A contract's symbol: its product's letters, the last one or two digits of the year and
# the month (rb2405, SR409); and the default symbol of a product's continuous series.
CONTRACT = re.compile(r"[A-Za-z]+[0-9]{1,2}(0[1-9]|1[0-2])")
PRODUCT = re.compile(r"[A-Za-z]+")


def product_of(symbol: str) -> str:
    """The product of a contract (`rb2410` -> `rb`) or of a product itself ("" for none)."""
    match = PRODUCT.match(symbol)
    return match.group() if match else ""

SERIES = re.compile(r"([A-Za-z]+)888")


def series_name_problem(name: str, product: str) -> str | None:
    """Why `name` cannot be the symbol of `product`'s continuous series (it would replace a
    contract's bars, or another product's series), or None. Compared without case, as
    MySQL compares symbols."""
    if CONTRACT.fullmatch(name):
        return f"--name {name} is a contract's symbol: the series would replace that contract's bars"
    other = SERIES.fullmatch(name)
    if other and other.group(1).lower() != product.lower():
        return f"--name {name} is the symbol of {other.group(1)}'s continuous series"
    return None


def is_name(value: object) -> TypeGuard[str]:
    """Whether `value` is a text a contract or product can be named by."""
    return isinstance(value, str) and NAME.fullmatch(value) is not None


def check_vt_symbol(vt_symbol: str) -> tuple[str, Exchange]:
    """`vt_symbol` ("rb2405.SHFE") as its name and exchange; raises ValueError naming it
    when the name is not a contract's or the exchange not one of vn.py's."""
    symbol, _, exchange = vt_symbol.rpartition(".")
    if is_name(symbol):
        try:
            return symbol, Exchange(exchange)
        except ValueError:
            pass
    raise ValueError(f"{vt_symbol!r} is not a contract and exchange (letters and digits, possibly with - or _, "
                     f"then a dot and an exchange of vn.py)")
