"""The service's requests and answers as the core knows them, from the native entry
`vnpy_norvix._wire`: endpoints, members, headers, limits, decoding and the masking rule.
The engine writes none of them itself."""

from __future__ import annotations

from functools import cache

from .. import _wire

TIMEOUT: int = _wire.TIMEOUT
OK, EMPTY, REFUSED, NOT_JSON, BAD_SHAPE = _wire.OK, _wire.EMPTY, _wire.REFUSED, _wire.NOT_JSON, _wire.BAD_SHAPE
# What the service answers, each at its path (the core's request table names them).
ENDPOINTS: tuple[str, ...] = _wire.QUERIES

request = _wire.request
limit = _wire.limit
headers = _wire.headers
mask = _wire.mask
decode = _wire.decode
decode_columns = _wire.decode_columns


@cache
def private_headers() -> frozenset[str]:
    """The headers that carry the credentials: those whose values follow them."""
    one, other = headers("a", "b"), headers("c", "d")
    return frozenset(name for name in one if one[name] != other.get(name))
