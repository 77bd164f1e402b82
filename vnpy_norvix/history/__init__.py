"""The history room: what a history asks the service for (request.py), fetching its
windows (fetch.py), which records it keeps (select.py), the bars made from served ones
(aggregate.py), and the history of a range in the form asked for (series.py: vn.py
records; frames.py: polars frames, imported only where frames are asked for)."""

from .fetch import Fetched, fetch_windows
from .request import EndpointName, HistoryQuery, endpoint_of, limit_of
from .series import RECORDS, BarPlan, Form, History, bar_history, bar_plan, tick_dates, tick_history

__all__ = ["RECORDS", "BarPlan", "EndpointName", "Fetched", "Form", "History", "HistoryQuery", "bar_history",
           "bar_plan", "endpoint_of", "fetch_windows", "limit_of", "tick_dates", "tick_history"]
