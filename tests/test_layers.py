"""The native sources are floors of rooms (src/<room>/), read top-down: a file includes
headers of its own room or of a room on a lower floor, never one above, and no two rooms
include each other, directly or round a circle."""

import importlib.util
import re
from pathlib import Path

from conftest import REPO

SRC = REPO / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)

# Top first: the module entries, the query rooms, the service client and the columns,
# the records, the runtime.
FLOORS: list[list[str]] = [
    ["module", "wire"],
    ["history", "reference"],
    ["client", "columns"],
    ["records"],
    ["runtime"],
]


def _floors() -> list[list[str]]:
    """The floor order the layer picture is drawn from, when the repository declares it."""
    script = REPO / "scripts" / "layers.py"
    if not script.exists():
        return FLOORS
    spec = importlib.util.spec_from_file_location("layers", script)
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return [list(floor) for floor in module.floors()]


def room_includes() -> dict[str, dict[str, list[str]]]:
    """For each room, the rooms it includes from, with the files that do."""
    graph: dict[str, dict[str, list[str]]] = {}
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        room = path.relative_to(SRC).parts[0]
        edges = graph.setdefault(room, {})
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            assert (SRC / target).is_file(), f"{path.relative_to(REPO)} includes missing {target}"
            other = Path(target).parts[0]
            if other != room:
                edges.setdefault(other, []).append(str(path.relative_to(SRC)))
    return graph


def test_every_room_has_a_floor() -> None:
    floors = _floors()
    placed = [room for floor in floors for room in floor]
    assert len(placed) == len(set(placed)), "a room on two floors"
    rooms = {p.name for p in SRC.iterdir() if p.is_dir()}
    assert rooms == set(placed)


def test_no_include_runs_up_a_floor() -> None:
    level = {room: i for i, floor in enumerate(_floors()) for room in floor}
    upward = [
        f"{file} ({room}) includes {other}/"
        for room, edges in room_includes().items()
        for other, files in edges.items()
        for file in files
        if level[other] < level[room]
    ]
    assert not upward


def test_no_circle_between_rooms() -> None:
    graph = room_includes()
    state: dict[str, str] = {}  # "open" while on the walk, "done" after it

    def walk(room: str, trail: list[str]) -> list[str] | None:
        state[room] = "open"
        for other in graph.get(room, {}):
            if state.get(other) == "open":
                return trail + [room, other]
            if other not in state and (circle := walk(other, trail + [room])):
                return circle
        state[room] = "done"
        return None

    for room in graph:
        if room not in state:
            assert walk(room, []) is None
