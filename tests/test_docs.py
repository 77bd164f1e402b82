"""The README and docs/ as a user reads them: every example runs as written against the
local data service, every path they name exists, and the layer picture in docs/design.md
is the code's own, with no arrow back up and no circle."""

import json
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from helpers import REPO, SERVICE_TOKEN, SERVICE_USER, serving
from norvix_devserver import make_server
from vnpy_norvix.messages import PREFIX

sys.path.insert(0, str(REPO / "scripts"))
import layers  # noqa: E402

DOCS = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
# Scripts the docs name that take minutes or rebuild the environment: they are run by
# hand and by CI, so here only their existence is checked.
LONG_SCRIPTS = {"main.sh", "test.sh", "setup.sh", "asan.sh", "fuzz.sh", "bench.sh"}
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.MULTILINE | re.DOTALL)
EXIT_STATUS = re.compile(r"#.*\bexit status (\d+)")


def blocks(doc: Path, language: str) -> list[tuple[int, str]]:
    """The fenced blocks of `language` in `doc`, with the line each starts on."""
    text = doc.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(2)) for m in FENCE.finditer(text) if m.group(1) == language]


def commands(doc: Path) -> list[tuple[int, str]]:
    found = []
    for start, body in blocks(doc, "sh"):
        lines = body.replace("\\\n", " ").splitlines()
        found += [(start + 1 + number, line) for number, line in enumerate(lines) if line.strip()]
    return found


def examples() -> list:
    cases = []
    for doc in DOCS:
        runs = [("sh", line, text) for line, text in commands(doc)
                if shlex.split(text, comments=True)[:3] == ["python", "-m", "vnpy_norvix"]]
        runs += [("python", line, text) for line, text in blocks(doc, "python")]
        for kind, line, text in sorted(runs, key=lambda run: run[1]):
            cases.append(pytest.param(doc, kind, text, id=f"{doc.relative_to(REPO)}:{line}"))
    return cases


@pytest.fixture(scope="module")
def service():
    with serving(make_server("127.0.0.1", 0, user=SERVICE_USER, token=SERVICE_TOKEN, quiet=True)) as server:
        yield server


@pytest.fixture(scope="module")
def homes(service, tmp_path_factory):
    """One HOME per document, its examples run in order there, with the README's settings
    pointing at the local service."""
    made: dict[Path, Path] = {}

    def home(doc: Path) -> Path:
        if doc not in made:
            made[doc] = tmp_path_factory.mktemp(doc.stem)
            (made[doc] / ".vntrader").mkdir()
            (made[doc] / ".vntrader" / "vt_setting.json").write_text(json.dumps({
                "datafeed.name": "norvix", "datafeed.username": SERVICE_USER, "datafeed.password": SERVICE_TOKEN,
                "datafeed.base_url": service.url, "database.timezone": "Asia/Shanghai"}))
        return made[doc]

    return home


@pytest.mark.parametrize("doc, kind, text", examples())
def test_example_runs_as_written(homes, doc, kind, text):
    home = homes(doc)
    path = os.pathsep.join(filter(None, [str(REPO), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "HOME": str(home), "TZ": "Asia/Shanghai", "PYTHONPATH": path}
    if kind == "sh":
        argv = shlex.split(text, comments=True)
        expected = int(EXIT_STATUS.search(text).group(1)) if EXIT_STATUS.search(text) else 0
        assert not {"|", ";", "&&", ">"} & set(argv), "examples run without a shell"
        argv = [sys.executable, *argv[1:]]
    else:
        (home / "example.py").write_text(text)
        argv, expected = [sys.executable, "example.py"], 0
    run = subprocess.run(argv, cwd=home, env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == expected, run.stdout[-2000:] + run.stderr[-2000:]
    if kind == "python":  # a failed query prints its line through output and returns nothing
        assert not [line for line in run.stdout.splitlines() if line.startswith(PREFIX)], run.stdout[-2000:]


def test_every_script_named_exists():
    named = {text.split()[1] for doc in DOCS for _, text in commands(doc) if text.startswith("bash scripts/")}
    assert named and {Path(name).name for name in named} <= LONG_SCRIPTS, named
    assert all((REPO / name).is_file() for name in named)


def anchors(doc: Path) -> set[str]:
    """The anchors the forge gives the headings of `doc`."""
    headings = re.findall(r"^#+ (.*)$", FENCE.sub("", doc.read_text(encoding="utf-8")), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-") for heading in headings}


def test_every_path_and_link_named_exists_and_every_json_block_parses():
    mentioned = re.compile(r"`((?:src|vnpy_norvix|norvix_devserver|scripts|bench|tests|docs)/[^`\s<*]*)`")
    for doc in DOCS:
        text = doc.read_text(encoding="utf-8")
        missing = [path for path in mentioned.findall(text) if not (REPO / path).exists()]
        for target, anchor in re.findall(r"\]\(([\w./]+\.md)(?:#([\w-]+))?\)", text):
            linked = (doc.parent / target).resolve()
            if not linked.is_file() or (anchor and anchor not in anchors(linked)):
                missing.append(f"{target}#{anchor}")
        assert not missing, f"{doc.name} names {missing}"
        for line, body in blocks(doc, "json"):
            json.loads(body)


def test_the_layer_picture_is_current():
    run = subprocess.run([sys.executable, str(REPO / "scripts" / "layers.py"), "--check"], capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("tree", layers.TREES)
def test_no_arrow_back_up_and_no_circle(tree):
    assert layers.problems(tree) == []


def test_the_floors_check_finds_what_breaks_them(tmp_path):
    def write(path: str, text: str) -> None:
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)

    write("src/runtime/py.h", '#include "records/decode.h"\n')  # up, and a circle with records
    write("src/records/decode.h", '#include "runtime/py.h"\n#include <Python.h>\n')
    write("src/extra/new.cpp", '#include "runtime/py.h"\n')
    write("vnpy_norvix/__init__.py", "from .datafeed import Datafeed\n")
    write("vnpy_norvix/datafeed.py", "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from . import cli\n")
    write("vnpy_norvix/cli.py", "")
    write("vnpy_norvix/calendar.py", "def later():\n    from vnpy_norvix.engine import retry\n")
    write("vnpy_norvix/engine/__init__.py", "")
    write("vnpy_norvix/engine/retry.py", "from .. import calendar\n")
    assert layers.problems("src", tmp_path) == [
        "extra/new.cpp is on no floor: place it in floors('src')",
        "arrow back up: runtime/py.h (runtime) includes records/decode.h (records)",
        "circle between records/decode.h, runtime/py.h",
        "circle between the rooms records, runtime"]
    assert layers.problems("vnpy_norvix", tmp_path) == [
        "arrow back up: calendar (rules) imports engine.retry (engine)",
        "arrow back up: datafeed (datafeed) imports cli (command line)",
        "circle between calendar, engine.retry",
        "circle between the rooms calendar, engine"]


def test_tests_share_helpers_never_another_test(tmp_path):
    assert layers.tests_importing_tests() == []

    for name, text in {"helpers.py": "import os\n", "test_a.py": "from helpers import os\nimport test_b\n",
                       "test_b.py": "def f():\n    from conftest import ND\n",
                       "sub/test_c.py": "from . import test_a\nfrom tests.test_b import f\n"}.items():
        (tmp_path / "tests" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "tests" / name).write_text(text)
    assert layers.tests_importing_tests(tmp_path) == [
        "tests/sub/test_c.py:1 imports test_a", "tests/sub/test_c.py:2 imports tests.test_b",
        "tests/test_a.py:2 imports test_b", "tests/test_b.py:2 imports conftest"]
