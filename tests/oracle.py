"""The model the differential tests hold the module to: the Python form, run on a script.

The differential tests give one scripted answer both to a query of the module under test
and to the same query of the model, and require the same outcome. The model is the Python
form of the datafeed (python_form/norvix_py.py), loaded privately and run with a
stand-in for its `requests` that answers as the script says and a stand-in for its logger
that collects the lines: the credential check, the arguments handed to ``requests``, what a
response or a raised exception turns into, the envelope check, the conversion of records,
the result and every log line with its level are the Python form's own. What is written here
is only what the Python form does not say: how the HTTP library answers a script, and what an
outcome is made of. The model writes no log: the lines are collected in the Outcome.
"""

import importlib.util
from dataclasses import dataclass, field
from typing import Any

import requests

from helpers import PY_SOURCE

INFO, ERROR = "INFO", "ERROR"

# The members the history records carry, for writing answers: required bar prices, bar
# amounts that default to 0, and the tick's numbers as TickData field <- record member.
BAR_PRICES = ("open_price", "high_price", "low_price", "close_price")
BAR_AMOUNTS = ("volume", "turnover", "open_interest")
TICK_NUMBERS = (
    [("volume", "volume"), ("turnover", "turnover"), ("open_interest", "open_interest"),
     ("last_price", "last_price"), ("last_volume", "last_volume"), ("limit_up", "limit_up"),
     ("limit_down", "limit_down"), ("open_price", "open"), ("high_price", "high"),
     ("low_price", "low"), ("pre_close", "pre_close")]
    + [(f"{side}_price_{level}",) * 2 for side in ("bid", "ask") for level in range(1, 6)]
    + [(f"{side}_volume_{level}",) * 2 for side in ("bid", "ask") for level in range(1, 6)]
)


@dataclass
class Answer:
    """How one request ends, in the order the HTTP library would see it.

    ``send_error`` is raised by requests.get/post; otherwise a response with ``status``
    (400 to 599 make raise_for_status raise HTTPError, with ``text`` as the body) whose
    json() raises ``json_error`` or returns ``value``.
    """

    value: Any = None
    status: int = 200
    text: str = ""
    send_error: BaseException | None = None
    json_error: BaseException | None = None


@dataclass
class Outcome:
    calls: list = field(default_factory=list)  # (method, keyword arguments) given to requests
    lines: list = field(default_factory=list)  # (level, message)
    result: Any = None
    error: BaseException | None = None
    passthrough: bool = False  # the result is the envelope's own `data` member


class Response:
    """What requests.get/post return: status, text, raise_for_status() and json()."""

    def __init__(self, answer: Answer):
        self._answer = answer
        self.status_code = answer.status
        self.text = answer.text

    def raise_for_status(self):
        if 400 <= self.status_code < 600:
            raise requests.exceptions.HTTPError(f"{self.status_code} Error", response=self)

    def json(self):
        if self._answer.json_error is not None:
            raise self._answer.json_error
        return self._answer.value


class Wire:
    """Stands in for the requests package: records each call and answers with `answer`."""

    exceptions = requests.exceptions

    def __init__(self):
        self.answer: Answer | None = None
        self.calls: list = []

    def _send(self, method, args, kwargs):
        self.calls.append((method, args, kwargs))
        if self.answer.send_error is not None:
            raise self.answer.send_error
        return Response(self.answer)

    def get(self, *args, **kwargs):
        return self._send("GET", args, kwargs)

    def post(self, *args, **kwargs):
        return self._send("POST", args, kwargs)


class Lines:
    """Stands in for loguru's logger: keeps (level, message) as a sink would see them."""

    def __init__(self):
        self.lines: list = []

    def info(self, message) -> None:
        self.lines.append((INFO, str(message)))

    def error(self, message) -> None:
        self.lines.append((ERROR, str(message)))


def _load_python_form():
    """The Python form, as a private module of its own (never norvix_datafeed)."""
    spec = importlib.util.spec_from_file_location("_norvix_python_form_for_the_model", PY_SOURCE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_PYTHON_FORM = _load_python_form()
_OWN = _PYTHON_FORM.requests, _PYTHON_FORM.logger, _PYTHON_FORM.CHINA_TZ


class Model:
    """One datafeed: its URL, its credentials and the zone its records are stamped with."""

    def __init__(self, tz, base_url: str, username: Any, password: Any):
        self.tz = tz
        self.base_url = base_url
        self.username = username
        self.password = password

    def run(self, query: str, args: tuple, answer: Answer) -> Outcome:
        """The outcome of calling `query` with `args` when the service answers `answer`."""
        module, wire, lines = _PYTHON_FORM, Wire(), Lines()
        wire.answer = answer
        module.requests, module.logger, module.CHINA_TZ = wire, lines, self.tz
        # Made without its constructor, which reads vn.py's settings and logs.
        feed = module.NorvixDatafeed.__new__(module.NorvixDatafeed)
        feed.base_url, feed.username, feed.password = self.base_url, self.username, self.password
        out = Outcome()
        try:
            out.result = getattr(feed, query)(*args)
        except BaseException as exc:  # everything the query lets out is part of the outcome
            out.error = exc
        finally:
            module.requests, module.logger, module.CHINA_TZ = _OWN
        if any(positional for _, positional, _ in wire.calls):
            raise AssertionError(f"the Python form passed positional arguments to requests: {wire.calls!r}")
        out.calls = [(method, kwargs) for method, _, kwargs in wire.calls]
        out.lines = lines.lines
        body = answer.value
        out.passthrough = (not query.endswith("_history") and out.error is None and isinstance(body, dict)
                           and "data" in body and out.result is body["data"])
        return out
