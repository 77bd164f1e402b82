"""Research data: history as polars frames, decoded from the service's answers straight
into typed columns (vnpy_norvix/history/frames.py), and AlphaLab folders (vn.py's
research module) filled from them.

Needs polars (pip install "vnpy_norvix[research]")."""

from .columns import DATETIME, empty_frame

__all__ = ["DATETIME", "empty_frame"]
