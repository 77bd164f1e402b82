"""How the command line words a failure of the service; the records and reference data
themselves are read through history/source.py (kept importable from here)."""

from __future__ import annotations

from .. import messages
from ..engine import Failure
from ..history.source import BarInterval, BarOrTick, Source, Stopped, days_of

__all__ = ["BarInterval", "BarOrTick", "Source", "Stopped", "days_of", "failure_text"]


def failure_text(failure: Failure) -> str:
    """A failure as the command line shows it: what kind, then the reason."""
    # An address the HTTP library refuses is "unreachable" too: its own words say more.
    request_error = messages.reason("request_error", detail="")
    if failure.kind in messages.PLAIN_REASONS and not failure.reason.startswith(request_error):
        return messages.PLAIN_REASONS[failure.kind]
    label = messages.FAILURE_LABELS.get(failure.kind)
    reason = failure.plain or failure.reason
    return f"{label}: {reason}" if label else reason
