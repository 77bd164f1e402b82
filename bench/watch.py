"""Watching requests' Response.json without replacing it (replacing it would turn the
module's native decoding off): counts its calls with sys.monitoring."""

from __future__ import annotations

import sys

from requests.models import Response


class JsonCalls:
    """Context manager; `count` is the number of Response.json calls while active."""

    def __enter__(self) -> JsonCalls:
        mon = sys.monitoring
        self.tool = next(i for i in range(6) if mon.get_tool(i) is None)
        mon.use_tool_id(self.tool, "norvix-watch")
        self.count = 0
        mon.register_callback(self.tool, mon.events.PY_START, self._start)
        mon.set_local_events(self.tool, Response.json.__code__, mon.events.PY_START)
        return self

    def _start(self, code, offset) -> None:
        self.count += 1

    def __exit__(self, *exc) -> None:
        sys.monitoring.set_local_events(self.tool, Response.json.__code__, 0)
        sys.monitoring.free_tool_id(self.tool)
