"""The table of remembered commands beside vn.py's tables ("norvixcommand"): per command
its number, its text and its state (both JSON, read and checked by
vnpy_norvix/remembered.py), written in the dialect of the database's writer."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .writer import Writer

TABLE = "norvixcommand"


class CommandTable:
    def __init__(self, writer: Writer) -> None:
        self.writer = writer
        self.table = writer.name(TABLE)
        self.param = writer.param

    def _column(self, name: str) -> str:
        return self.writer.name(name)

    def exists(self) -> bool:
        return bool(self.writer.table_columns(TABLE))

    def rows(self) -> list[tuple[int, str, str]]:
        """(number, command, state) of each command, in order; none without the table."""
        if not self.exists():
            return []
        return [(number, command, state) for number, command, state in self.writer.execute(
            f"SELECT {self.writer.names(('id', 'command', 'state'))} FROM {self.table} ORDER BY {self._column('id')}")]

    def add(self, command: str) -> int:
        """The number of `command` added (the first of that text, as the table holds each once)."""
        text = self._column("command")
        # Made before the transaction: MySQL commits the one under way at a CREATE.
        self.writer.execute(f"CREATE TABLE IF NOT EXISTS {self.table} ({self._column('id')} "
                            f"{self.writer.SERIAL_KEY}, {text} TEXT NOT NULL, {self._column('state')} TEXT NOT NULL"
                            f"{self.writer.unique_text(text)})")
        with self.writer.transaction():
            self.writer.execute(f"INSERT INTO {self.table} ({self.writer.names(('command', 'state'))}) "
                                f"VALUES ({self.param}, {self.param})", (command, "{}"))
            found = self.writer.execute(f"SELECT MIN({self._column('id')}) FROM {self.table} "
                                        f"WHERE {text} = {self.param}", (command,)).fetchone()
        assert found is not None
        return int(found[0])

    def delete(self, number: int) -> bool:
        """Whether command `number` was there (it is not now)."""
        if not self.exists():
            return False
        where = f"WHERE {self._column('id')} = {self.param}"
        with self.writer.transaction():
            kept = self.writer.execute(f"SELECT 1 FROM {self.table} {where}", (number,)).fetchone()
            self.writer.execute(f"DELETE FROM {self.table} {where}", (number,))
        return kept is not None

    def set_state(self, number: int, state: str) -> None:
        with self.writer.transaction():
            self.writer.execute(f"UPDATE {self.table} SET {self._column('state')} = {self.param} "
                                f"WHERE {self._column('id')} = {self.param}", (state, number))
