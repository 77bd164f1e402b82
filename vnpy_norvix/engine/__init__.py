"""The plug-in's own engine: every request to the service, with keep-alive sessions, a
deadline per answer, retries, a rate limit, and outcomes as data (records, or a
`Failure` with its reason) instead of log lines."""

from .engine import Engine
from .answers import Answer, ColumnAnswer, Failure, Kind
from .scope import Scope

__all__ = ["Answer", "ColumnAnswer", "Engine", "Failure", "Kind", "Scope"]
