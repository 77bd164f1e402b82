"""Research data: history as polars frames, decoded from the service's answers straight
into typed columns, and AlphaLab folders (vn.py's research module) filled from them.

Needs polars (pip install "vnpy_norvix[research]")."""

from .columns import DATETIME, empty_frame
from .frames import bar_frame, tick_frame

__all__ = ["DATETIME", "bar_frame", "empty_frame", "tick_frame"]
