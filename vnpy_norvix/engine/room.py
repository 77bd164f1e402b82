"""The room an engine gives the answers it reads and decodes at once.

A day of a busy contract's ticks is an answer of some 8 MB, and reading and decoding
it takes several times that for a moment (the body, the decoder's values, the columns)
in the heap of the thread that reads it. Every thread of the pool that ever did keeps
that room from then on, and several doing it at once add up: so an answer is read only
once the answers being read and decoded leave room for it. Small answers (bars,
reference data) go side by side; a large one goes alone. The wait starts when the head
has arrived, when the answer's length is known: asking and the service's own time to
answer still overlap."""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Protocol

# Bytes of answers read and decoded at once: one day of ticks, or a few windows of bars.
ANSWER_ROOM = 12 << 20
POLL_SECONDS = 0.02  # how often a waiting exchange looks whether it was cut meanwhile


class Watch(Protocol):
    """An exchange's watch (transport.py): why it was cut, if it was."""

    @property
    def cut_by(self) -> str | None: ...


class Room:
    def __init__(self, size: int = ANSWER_ROOM) -> None:
        self.size = size
        self.used = 0
        self._free = threading.Condition()

    @contextmanager
    def claim(self) -> Iterator[Claim]:
        """The room of one exchange, given back when the block ends (its answer decoded)."""
        claim = Claim(self)
        try:
            yield claim
        finally:
            claim.release()

    def _take(self, size: int, watch: Watch) -> None:
        with self._free:
            # An exchange cut meanwhile (deadline, cancellation) stops waiting: its read fails at once.
            while self.used and self.used + size > self.size and watch.cut_by is None:
                self._free.wait(POLL_SECONDS)
            self.used += size

    def _give(self, size: int) -> None:
        with self._free:
            self.used -= size
            self._free.notify_all()


class Claim:
    """The room one exchange's answer takes, from its head until it is decoded."""

    def __init__(self, room: Room) -> None:
        self.room = room
        self.taken = 0

    def take(self, length: int | None, watch: Watch) -> None:
        """Waits until there is room for an answer of `length` bytes (None: unknown, or
        inflated from what arrives, counted as the whole room), or the exchange is cut."""
        size = self.room.size if length is None else min(length, self.room.size)
        self.room._take(size, watch)
        self.taken += size

    def release(self) -> None:
        if self.taken:
            self.room._give(self.taken)
            self.taken = 0
