"""The sessions room: each product's trading hours as dated data and a trading day's
sessions (table.py), where bars are cut (grid.py), bars of any window made from minute
bars in both forms (resampling.py: records and frames side by side) and vn.py's bar
generator cutting by the sessions (generator.py)."""

from ..names import product_of
from .generator import SessionBarGenerator
from .grid import CUTS, Cut, Window, window_of
from .resampling import resample, resample_frame
from .table import TABLE, hours_of, sessions_of

__all__ = ["CUTS", "TABLE", "Cut", "SessionBarGenerator", "Window", "hours_of", "product_of", "resample",
           "resample_frame", "sessions_of", "window_of"]
