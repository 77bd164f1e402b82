"""The floors of the code, drawn from its own includes and imports.

    python scripts/layers.py            # print the picture
    python scripts/layers.py --write    # put it into docs/design.md, between its markers
    python scripts/layers.py --check    # exit 1 when docs/design.md shows another picture

Each tree is a stack of floors, declared once in `floors()`: a file of src/ may include
only headers of its own floor or the floors below it, a module of vnpy_norvix/ may import
only modules of its own floor or below. `problems()` names every arrow that runs back
up, every file or module that is on no floor, and every circle (between files or
modules, and between rooms: the directories of src/, the packages and top-level modules
of vnpy_norvix/). The picture lists them too, so that docs/design.md shows what the code
is, not what it should be.

Every import counts: those inside functions (they run when the function does) and
those under `if TYPE_CHECKING:` (a type named from a floor above is a dependency on it
all the same).

`--check` also fails when a file under tests/ imports a test module or conftest.
"""

from __future__ import annotations

import argparse
import ast
import re
import sys
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import NamedTuple

REPO = Path(__file__).resolve().parent.parent
DESIGN = REPO / "docs" / "design.md"
BEGIN, END = "<!-- layers:begin (scripts/layers.py --write) -->", "<!-- layers:end -->"
TREES = ("src", "vnpy_norvix")

Floors = list[tuple[str, tuple[str, ...]]]


def floors(tree: str = "src") -> Floors:
    """The floors of `tree` ("src" or "vnpy_norvix"), top floor first, each a name and
    what stands on it: for src/, directories or files relative to src/ ("records",
    "records/keys.h"); for vnpy_norvix/, modules or packages relative to it ("cli",
    "engine"; "__init__" is the package itself, "_wire" the native entry). The longest
    entry that names a file or module places it."""
    if tree == "src":
        return [
            ("entries", ("module", "wire")),  # the core's module, and the plug-in engine's vnpy_norvix._wire
            ("queries", ("history", "reference")),
            ("client, columns and rows", ("client", "columns", "rows")),  # the service client; answers read
            # into typed columns; records into database rows
            ("records", ("records",)),  # fields, time and float makers, key matcher, skip guard, readers, builder
            ("runtime", ("runtime", "runtime/as_python")),  # Ref, the per-import context, masking, imports;
            # as_python/: what only makes native code pass for Python (the function type, frames, the dict
            # watchers, class attributes, class statements, the checks for untouched originals)
        ]
    if tree == "vnpy_norvix":
        return [
            ("command line", ("__main__", "cli")),
            ("commands", ("console", "download", "continuous", "builds", "rolls", "update", "verify", "remembered",
                          "options", "report", "runlock", "status")),
            ("datafeed", ("__init__", "datafeed")),
            ("series", ("series",)),  # roll rules and the continuous builder, read by the datafeed's frames
            ("research", ("research",)),
            ("sessions", ("sessions",)),  # bars cut by the sessions; the hours table itself is a rule
            ("history", ("history",)),
            ("reference and store", ("reference", "store")),
            ("engine", ("engine", "_wire")),
            ("rules", ("calendar", "sessions/table", "messages", "names", "files", "settings", "exits")),
        ]
    raise ValueError(f"no such tree: {tree!r} (one of {', '.join(TREES)})")


class Edge(NamedTuple):
    source: str
    target: str


# --- src/: quoted includes ------------------------------------------------------------

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")


def source_files(root: Path = REPO) -> list[str]:
    """The C and C++ files under src/, as paths relative to it."""
    base = root / "src"
    return sorted(p.relative_to(base).as_posix() for p in base.rglob("*") if p.suffix in SOURCE_SUFFIXES)


def include_graph(root: Path = REPO) -> list[Edge]:
    """Every `#include "..."` between files of src/, resolved as the compiler does
    (beside the including file, then from src/); includes of files outside src/ are
    not edges."""
    base = root / "src"
    known = set(source_files(root))
    edges = set()
    for name in known:
        text = (base / name).read_text(encoding="utf-8")
        for header in INCLUDE.findall(text):
            for candidate in ((Path(name).parent / header).as_posix(), header):
                if candidate in known:
                    edges.add(Edge(name, candidate))
                    break
    return sorted(edges)


# --- vnpy_norvix/: imports --------------------------------------------------------------

PACKAGE = "vnpy_norvix"


def _module_parts(path: Path, base: Path) -> tuple[list[str], bool]:
    parts = list(path.relative_to(base).with_suffix("").parts)
    if parts[-1] == "__init__":
        return parts[:-1], True
    return parts, False


def _unit(parts: Sequence[str]) -> str:
    return ".".join(parts) or "__init__"


def module_names(root: Path = REPO) -> list[str]:
    """The modules of vnpy_norvix/ ("cli", "engine.engine", "__init__" for the package
    itself), native ones included (known by their stub or library)."""
    base = root / PACKAGE
    names = set()
    for path in base.rglob("*"):
        if path.suffix in (".py", ".pyi") or path.name.endswith((".so", ".pyd")):
            stem = path.name.split(".")[0]
            names.add(_unit(_module_parts(path.with_name(stem + ".py"), base)[0]))
    return sorted(names)


def _imports(tree: ast.AST) -> Iterable[ast.Import | ast.ImportFrom]:
    """Every import statement, wherever it stands."""
    return (node for node in ast.walk(tree) if isinstance(node, (ast.Import, ast.ImportFrom)))


def import_graph(root: Path = REPO) -> list[Edge]:
    """Every import of a vnpy_norvix module by another, relative or absolute; `from X
    import name` is an edge to X.name when that is a module, else to X."""
    base = root / PACKAGE
    known = set(module_names(root))
    edges = set()
    for path in sorted(base.rglob("*.py")):
        parts, is_package = _module_parts(path, base)
        package = parts if is_package else parts[:-1]
        source = _unit(parts)
        for node in _imports(ast.parse(path.read_text(encoding="utf-8"), str(path))):
            targets: list[list[str]] = []
            if isinstance(node, ast.Import):
                targets = [alias.name.split(".")[1:] for alias in node.names
                           if alias.name.split(".")[0] == PACKAGE]
            else:
                if node.level:
                    if node.level - 1 > len(package):
                        continue
                    origin = package[:len(package) - (node.level - 1)]
                elif node.module and node.module.split(".")[0] == PACKAGE:
                    origin = []
                else:
                    continue
                origin = origin + (node.module.split(".") if node.module else [])
                if not node.level:
                    origin = origin[1:]
                for alias in node.names:
                    inner = origin + [alias.name]
                    targets.append(inner if _unit(inner) in known else origin)
            for target in targets:
                if _unit(target) != source:
                    edges.add(Edge(source, _unit(target)))
    return sorted(edges)


# --- tests/: helpers, never another test ----------------------------------------------------


def _is_test_module(name: str) -> bool:
    last = name.split(".")[-1]
    return last == "conftest" or last.startswith("test_")


def tests_importing_tests(root: Path = REPO) -> list[str]:
    """Every import of a test module or of conftest by a file under tests/: what tests
    share lives in helper modules (conftest.py holds only fixtures and hooks). Every
    import counts, inside functions and under `if TYPE_CHECKING:` too."""
    base = root / "tests"
    found = []
    for path in sorted(base.rglob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
            if isinstance(node, ast.Import):
                names = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom):
                names = [node.module] if node.module else []
                names += [alias.name for alias in node.names]  # from . import test_x
            else:
                continue
            for name in names:
                if _is_test_module(name):
                    found.append(f"{path.relative_to(root).as_posix()}:{node.lineno} imports {name}")
    return found


# --- floors, arrows and circles -----------------------------------------------------------


def units(tree: str, root: Path = REPO) -> list[str]:
    return source_files(root) if tree == "src" else module_names(root)


def edges(tree: str, root: Path = REPO) -> list[Edge]:
    return include_graph(root) if tree == "src" else import_graph(root)


def _contains(entry: str, unit: str, tree: str) -> bool:
    if tree == "src":
        return unit == entry or unit.startswith(entry + "/")
    return unit == entry or (entry != "__init__" and unit.startswith(entry + "."))


def floor_of(tree: str, unit: str) -> int | None:
    """The index in floors(tree) of the floor `unit` stands on, None when it is on none."""
    best: tuple[int, int] | None = None
    for index, (_, entries) in enumerate(floors(tree)):
        for entry in entries:
            if _contains(entry, unit, tree) and (best is None or len(entry) > best[1]):
                best = (index, len(entry))
    return best[0] if best else None


def room_of(tree: str, unit: str) -> str:
    """The room of a unit: its directory under src/, its package or top-level module in
    vnpy_norvix/."""
    return unit.split("/")[0] if tree == "src" else unit.split(".")[0]


def circles(graph: Iterable[Edge]) -> list[list[str]]:
    """The strongly connected parts of more than one node (Tarjan's algorithm)."""
    following: dict[str, list[str]] = {}
    for source, target in graph:
        following.setdefault(source, []).append(target)
        following.setdefault(target, [])
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for after in following[node]:
            if after not in index:
                visit(after)
                low[node] = min(low[node], low[after])
            elif after in on_stack:
                low[node] = min(low[node], index[after])
        if low[node] == index[node]:
            part = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                part.append(member)
                if member == node:
                    break
            if len(part) > 1:
                found.append(sorted(part))

    for node in sorted(following):
        if node not in index:
            visit(node)
    return sorted(found)


def problems(tree: str, root: Path = REPO) -> list[str]:
    """What breaks the floors of `tree`: arrows back up, units on no floor, circles."""
    names = [name for name, _ in floors(tree)]
    verb = "includes" if tree == "src" else "imports"
    found = [f"{unit} is on no floor: place it in floors({tree!r})"
             for unit in units(tree, root) if floor_of(tree, unit) is None]
    graph = edges(tree, root)
    for source, target in graph:
        above, below = floor_of(tree, target), floor_of(tree, source)
        if above is not None and below is not None and above < below:
            found.append(f"arrow back up: {source} ({names[below]}) {verb} {target} ({names[above]})")
    for part in circles(graph):
        found.append(f"circle between {', '.join(part)}")
    rooms = {Edge(room_of(tree, s), room_of(tree, t)) for s, t in graph if room_of(tree, s) != room_of(tree, t)}
    for part in circles(rooms):
        found.append(f"circle between the rooms {', '.join(part)}")
    return found


# --- the picture -------------------------------------------------------------------------

TITLES = {"src": "src/: the native core (C++); arrows are #include lines",
          "vnpy_norvix": "vnpy_norvix/: the plug-in (Python); arrows are imports"}


def _shown(tree: str, entry: str, root: Path) -> str:
    if tree == "src":
        return entry + "/" if (root / "src" / entry).is_dir() else entry
    if entry == "__init__":
        return "__init__.py"
    if (root / PACKAGE / entry).is_dir():
        return entry + "/"
    return f"{entry}.py" if (root / PACKAGE / f"{entry}.py").exists() else f"{entry} (native)"


def picture(tree: str, root: Path = REPO) -> str:
    """The floors of `tree`, top first, each with what stands on it and the floors it
    reaches, then whatever breaks them."""
    declared = floors(tree)
    reaches: dict[int, set[int]] = {}
    for source, target in edges(tree, root):
        below, above = floor_of(tree, source), floor_of(tree, target)
        if below is not None and above is not None and below != above:
            reaches.setdefault(below, set()).add(above)
    rows = [("floor", "stands on it", "reaches")]
    for index, (name, entries) in enumerate(declared):
        reached = sorted(reaches.get(index, ()))
        arrows = ", ".join(("↑ " if other < index else "") + declared[other][0] for other in reached)
        rows.append((name, " ".join(_shown(tree, entry, root) for entry in entries), arrows or "-"))
    widths = [max(len(row[column]) for row in rows) for column in range(2)]
    lines = [TITLES[tree], ""]
    lines += [f"  {row[0]:<{widths[0]}}  {row[1]:<{widths[1]}}  {row[2]}".rstrip() for row in rows]
    found = problems(tree, root)
    lines += [""] + ([f"  ! {line}" for line in found] or ["  no arrow back up, no circle"])
    return "\n".join(lines)


def block(root: Path = REPO) -> str:
    return "\n".join([BEGIN, "```text", "\n\n".join(picture(tree, root) for tree in TREES), "```", END])


def rewritten(text: str, root: Path = REPO) -> str:
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        raise SystemExit(f"layers: {DESIGN.relative_to(REPO)} has no {BEGIN} ... {END} markers")
    return text[:start] + block(root) + text[end + len(END):]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python scripts/layers.py", description=__doc__.split("\n")[0])
    action = parser.add_mutually_exclusive_group()
    action.add_argument("--write", action="store_true", help="rewrite the picture in docs/design.md")
    action.add_argument("--check", action="store_true", help="exit 1 when docs/design.md shows another picture")
    args = parser.parse_args(argv)
    if not (args.write or args.check):
        print(block())
        return 0
    if args.check and (found := tests_importing_tests()):
        print("layers: a test imports a test or conftest (move what they share to a helper module):",
              *found, sep="\n  ", file=sys.stderr)
        return 1
    text = DESIGN.read_text(encoding="utf-8")
    current = rewritten(text)
    if args.write:
        if current != text:
            DESIGN.write_text(current, encoding="utf-8")
        return 0
    if current != text:
        print("layers: the picture in docs/design.md is out of date: run python scripts/layers.py --write",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
