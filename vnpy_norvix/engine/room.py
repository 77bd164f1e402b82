"""The room an engine gives the answers it reads and decodes at once.

A day of a busy contract's ticks is an answer of some 8 MB, and reading and decoding
it takes several times that for a moment (the body, the decoder's values, the columns)
in the heap of the thread that does it. The C library keeps that room in the heap of
each thread that ever did, and several doing it at once add up: so an answer is read
only once the answers being read and decoded leave room for it, and one that holds more
than half the room (a large one, alone by then) is read and decoded on the room's one
thread. Small answers (bars, reference data) go side by side on their own threads. The
wait starts when the head has arrived and the answer's length is known: asking and the
service's own time to answer still overlap."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
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
        self._reader: ThreadPoolExecutor | None = None

    def run[T](self, work: Callable[[], T]) -> T:
        """`work()` on the room's one thread for large answers."""
        with self._free:
            if self._reader is None:
                self._reader = ThreadPoolExecutor(1, thread_name_prefix="vnpy_norvix-reader")
            reader = self._reader
        try:
            future = reader.submit(work)
        except RuntimeError:  # the engine was closed meanwhile: its requests end anyway
            return work()
        return future.result()

    def close(self) -> None:
        with self._free:
            reader, self._reader = self._reader, None
        if reader is not None:
            reader.shutdown(wait=False)

    @contextmanager
    def claim(self) -> Iterator[Claim]:
        """The room of one exchange, given back when the block ends (its answer decoded)."""
        claim = Claim(self)
        try:
            yield claim
        finally:
            claim.release()

    def _take(self, size: int, watch: Watch) -> bool:
        """Whether the room was taken; not for an exchange cut meanwhile (deadline,
        cancellation): its read fails at once."""
        with self._free:
            while self.used and self.used + size > self.size:
                if watch.cut_by is not None:
                    return False
                self._free.wait(POLL_SECONDS)
            self.used += size
            return True

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
        if self.room._take(size, watch):
            self.taken += size

    def run[T](self, work: Callable[[], T]) -> T:
        """`work()` (reading or decoding the answer), on the room's one thread for an
        answer that holds more than half the room: no other such answer is read meanwhile,
        so that thread is never waited for, and the heap it leaves room in is one."""
        return self.room.run(work) if self.taken * 2 > self.room.size else work()

    def release(self) -> None:
        if self.taken:
            self.room._give(self.taken)
            self.taken = 0
