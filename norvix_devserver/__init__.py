"""Local stand-in for the Norvix data service, for development, tests and the demo.

Serves a synthetic market (rb, au, IF, m, SR) from a SQLite database that is generated
deterministically on first start, or with ``python -m norvix_devserver generate``.
Run it with ``python -m norvix_devserver`` (127.0.0.1:8081, user ``demo``, token
``demo-token``), or embed it with :func:`make_server`.
"""

from .generate import DEFAULT_PLAN, Plan, content_digest, ensure_database, generate
from .server import (
    DEFAULT_HOST,
    DEFAULT_PORT,
    DEFAULT_TOKEN,
    DEFAULT_USER,
    Code,
    DevServer,
    make_server,
    open_store,
)
from .store import Store, StoreError, default_database_path

__all__ = [
    "DEFAULT_HOST",
    "DEFAULT_PLAN",
    "DEFAULT_PORT",
    "DEFAULT_TOKEN",
    "DEFAULT_USER",
    "Code",
    "DevServer",
    "Plan",
    "Store",
    "StoreError",
    "content_digest",
    "default_database_path",
    "ensure_database",
    "generate",
    "make_server",
    "open_store",
]
