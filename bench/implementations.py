"""The three implementations a benchmark runs side by side, behind one interface.

  a  the extension module `norvix_datafeed`;
  b  python_form/norvix_py.py, the Python form: the same datafeed written as an
     ordinary Python module;
  c  the floor (floor.py).

Each gives a call for the query end to end (over HTTP) and a call for its conversion
alone: for a and b the module-level `requests` is swapped for a stand-in whose json()
hands over a freshly decoded body; for c the record-building loop, which drops the
decoded body it is handed.
"""

from __future__ import annotations

import importlib.util
import json
import sys
from typing import Any, Callable

import requests

import floor
from harness import BENCH_DIR, BenchError, silence_logger
from shapes import PASSWORD, USERNAME, Shape, generate, make_shapes

import norvix_datafeed

PYTHON_FORM = BENCH_DIR.parent / "python_form" / "norvix_py.py"


def load_python_datafeed():
    if not PYTHON_FORM.exists():
        raise BenchError(f"{PYTHON_FORM} is missing: the Python form is needed for column b")
    spec = importlib.util.spec_from_file_location("norvix_py", PYTHON_FORM)
    module = importlib.util.module_from_spec(spec)
    sys.modules["norvix_py"] = module
    spec.loader.exec_module(module)
    return module


# --- the stand-in for `requests` (conversion phase of a and b) ------------------------------


class CannedResponse:
    status_code = 200

    def __init__(self, payload: Any) -> None:
        self._payload = payload

    def raise_for_status(self) -> None:
        return None

    def json(self) -> Any:
        # Hands the decoded body over: the caller ends up holding the only reference.
        payload, self._payload = self._payload, None
        return payload


class CannedRequests:
    exceptions = requests.exceptions

    def __init__(self) -> None:
        self.payload: Any = None
        self.calls = 0

    def load(self, payload: Any) -> None:
        self.payload = payload

    def _answer(self) -> CannedResponse:
        self.calls += 1
        payload, self.payload = self.payload, None
        return CannedResponse(payload)

    def post(self, url=None, json=None, headers=None, timeout=None, **kwargs) -> CannedResponse:
        return self._answer()

    def get(self, url=None, params=None, headers=None, timeout=None, **kwargs) -> CannedResponse:
        return self._answer()


CANNED = CannedRequests()


# --- implementations ------------------------------------------------------------------------


class Implementations:
    def __init__(self) -> None:
        self.modules = {"a": norvix_datafeed, "b": load_python_datafeed()}
        self.feeds = {}
        for key, module in self.modules.items():
            feed = module.NorvixDatafeed()
            feed.initialize(USERNAME, PASSWORD)
            self.feeds[key] = feed

    def end_to_end(self, impl: str, shape: Shape) -> Callable[[], list]:
        if impl == "c":
            return lambda: floor.query(shape)
        feed = self.feeds[impl]
        feed.base_url = shape.base_url
        return lambda: shape.query(feed)

    def conversion(self, impl: str, shape: Shape) -> tuple[Callable[[], list], Callable[[], None]]:
        """A call that converts a freshly decoded body, and the undo to run after it."""
        payload = json.loads(shape.raw)
        if impl == "c":
            handed_over = [payload]
            del payload
            return (lambda: floor.convert(shape, handed_over)), (lambda: None)
        module, feed = self.modules[impl], self.feeds[impl]
        feed.base_url = shape.base_url
        CANNED.load(payload)
        del payload
        calls = CANNED.calls
        module.requests = CANNED

        def undo() -> None:
            module.requests = requests
            if CANNED.calls != calls + 1:
                raise BenchError(f"{impl}: the conversion call did not go through the stand-in for requests")

        return (lambda: shape.query(feed)), undo


def prepare(quick: bool) -> tuple[list[Shape], Implementations]:
    """The shapes, their bodies generated and the floor's values converted, and the three
    implementations, set up before the log is silenced (their set-up lines show)."""
    shapes = make_shapes(quick)
    for shape in shapes:
        shape.raw = generate(shape)
        shape.prepared = floor.prepare(shape)
    impls = Implementations()
    silence_logger()
    return shapes, impls
