"""The continuous builder, kept importable here: it lives in series/builder.py."""

from .series.builder import (FACTOR_TOLERANCE, Adjustment, BadClose, ContinuousSeries, NextRoll, Plan, Roll, Segment,
                             continuous_bars, dominant_segments, first_session, next_roll, plan_series, roll_rows,
                             rolls_frame, service_disagreements)

__all__ = ["FACTOR_TOLERANCE", "Adjustment", "BadClose", "ContinuousSeries", "NextRoll", "Plan", "Roll", "Segment",
           "continuous_bars", "dominant_segments", "first_session", "next_roll", "plan_series", "roll_rows",
           "rolls_frame", "service_disagreements"]
