"""Local stand-in for the Norvix data service, for development, tests and benchmarks.

Run it with ``python -m norvix_devserver`` (127.0.0.1:8081, user ``demo``, token
``demo-token``), or embed it with :func:`make_server`.
"""

from .data import SyntheticStore
from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_TOKEN, DEFAULT_USER, Code, DevServer, make_server

__all__ = [
    "DEFAULT_HOST",
    "DEFAULT_PORT",
    "DEFAULT_TOKEN",
    "DEFAULT_USER",
    "Code",
    "DevServer",
    "SyntheticStore",
    "make_server",
]
