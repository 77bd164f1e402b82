"""The Norvix datafeed as a vn.py plug-in.

vn.py loads datafeeds by name: with the setting "datafeed.name" set to "norvix",
`vnpy.trader.datafeed.get_datafeed()` imports this package and creates its `Datafeed`.
On top of the native core it reads the service address from "datafeed.base_url",
fetches complete histories over any range (in concurrent date windows, trading day
by trading day for ticks), makes hour and week bars, and reports each failed query
through `output`. Bars of any window cut by the exchanges' sessions: `resample`,
`SessionBarGenerator`, `sessions_of` (vnpy_norvix.sessions).
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .datafeed import Datafeed
    from .sessions import SessionBarGenerator, resample, sessions_of

__all__ = ["Datafeed", "SessionBarGenerator", "resample", "sessions_of"]
SESSIONS = ("SessionBarGenerator", "resample", "sessions_of")


def __getattr__(name: str) -> object:
    # Imported when first asked for: the datafeed reads vn.py's settings file on import,
    # and the command line checks that file first (python -m imports this package before it).
    if name == "Datafeed":
        from .datafeed import Datafeed

        return Datafeed
    if name in SESSIONS:
        from . import sessions

        return getattr(sessions, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
