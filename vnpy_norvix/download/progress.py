"""Progress of a download: bars on a terminal, plain lines otherwise. Both are gone
before the summary: bars are cleared, whether the run ended or was interrupted."""

from __future__ import annotations

import sys
import threading
from typing import Never, TextIO

from tqdm import tqdm

from ..console import Console
from .pipeline import Outcome
from .planning import Task
from .summary import describe


class PlainProgress:
    """One line per finished task, for logs and pipes: failures on standard error, the
    others on standard output (none with -q)."""

    def __init__(self, console: Console) -> None:
        self.console = console

    def started(self, task: Task) -> None:
        pass

    def advanced(self, task: Task, records: int) -> None:
        pass

    def finished(self, outcome: Outcome) -> None:
        line = f"{outcome.task.label}: {describe(outcome)}"
        if outcome.error is not None:
            self.console.fail(line)
        else:
            self.console.say(line)

    def close(self) -> None:
        pass


class BarProgress:
    """One bar overall and one per running task, counted in request windows."""

    def __init__(self, tasks: list[Task], stream: TextIO = sys.stderr) -> None:
        self.stream = stream
        self.lock = threading.Lock()
        self.overall = tqdm(total=sum(task.windows for task in tasks), desc="overall", unit="window",
                            file=stream, position=0, dynamic_ncols=True, leave=False)
        self.bars: dict[int, tqdm[Never]] = {}
        self.records: dict[int, int] = {}

    def started(self, task: Task) -> None:
        with self.lock:
            self.bars[id(task)] = tqdm(total=task.windows, desc=task.label, unit="window", file=self.stream,
                                       leave=False, dynamic_ncols=True)
            self.records[id(task)] = 0

    def advanced(self, task: Task, records: int) -> None:
        with self.lock:
            self.records[id(task)] += records
            bar = self.bars[id(task)]
            bar.set_postfix(records=self.records[id(task)], refresh=False)
            bar.update(1)
            self.overall.update(1)

    def finished(self, outcome: Outcome) -> None:
        with self.lock:
            bar = self.bars.pop(id(outcome.task))
            bar.close()
            if not outcome.ok:
                self.overall.write(f"{outcome.task.label}: {describe(outcome)}", file=self.stream)

    def close(self) -> None:
        """Every bar cleared from the screen, those of tasks an interrupt stopped included."""
        with self.lock:
            for bar in self.bars.values():
                bar.close()
            self.bars.clear()
            self.overall.close()


def make_progress(tasks: list[Task], console: Console) -> PlainProgress | BarProgress:
    return BarProgress(tasks) if sys.stderr.isatty() and not console.quiet else PlainProgress(console)
