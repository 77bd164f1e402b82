"""The Norvix datafeed as a vn.py plug-in.

vn.py loads datafeeds by name: with the setting "datafeed.name" set to "norvix",
`vnpy.trader.datafeed.get_datafeed()` imports this package and creates its `Datafeed`.
On top of the native core it reads the service address from "datafeed.base_url",
fetches complete histories over any range (in concurrent date windows, trading day
by trading day for ticks), makes hour and week bars, and reports each failed query
through `output`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .datafeed import Datafeed

__all__ = ["Datafeed"]


def __getattr__(name: str) -> object:
    # Imported when first asked for: the datafeed reads vn.py's settings file on import,
    # and the command line checks that file first (python -m imports this package before it).
    if name == "Datafeed":
        from .datafeed import Datafeed

        return Datafeed
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
