"""The plug-in's numeric settings of vn.py's global configuration ("datafeed.*"), read
at each call: one reader, so that every such setting is checked and warned of alike."""

from __future__ import annotations

import math

from loguru import logger
from vnpy.trader.setting import SETTINGS

from . import messages


def number_setting(key: str, default: float, least: float, most: float = math.inf) -> float:
    """The setting `key` as a number in [least, most]; a value that is no number or lies
    outside (NaN too) is warned of and `default` taken."""
    value = SETTINGS.get(key, default)
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if not least <= number <= most:
        logger.warning(messages.bad_setting(key, value, default))
        return default
    return number


def whole_setting(key: str, default: int, least: int, most: int) -> int:
    """The setting `key` as a whole number in [least, most], given as one (not as a text,
    a float or a bool); anything else is warned of and `default` taken."""
    value = SETTINGS.get(key, default)
    if isinstance(value, bool) or not isinstance(value, int) or not least <= value <= most:
        logger.warning(messages.bad_setting(key, value, default))
        return default
    return value
