"""What the differential and property tests share: hypothesis strategies for record
members and time texts, answers written as bytes with traps mixed in, and the machinery
that runs a query against the model and compares the two outcomes.

NORVIX_FUZZ_REPORT (set by scripts/fuzz.sh) keeps a campaign going past a divergence:
each test counts its cases and divergences into that file and fails at its end.
NORVIX_FUZZ_WIRE_EXAMPLES sets the examples per query of the tests over the wire.
"""

import json
import math
import os
import random
import struct
import sys
from datetime import datetime

import pytest
from hypothesis import HealthCheck, settings as hsettings, strategies as st
from loguru import logger

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
from watch import JsonCalls  # noqa: E402

from oracle import BAR_AMOUNTS, BAR_PRICES, TICK_NUMBERS, Outcome  # noqa: E402

REPORT = os.environ.get("NORVIX_FUZZ_REPORT")
KEEP_GOING = bool(REPORT)
SHOWN = 5  # divergences kept for the report
WIRE_EXAMPLES = int(os.environ.get("NORVIX_FUZZ_WIRE_EXAMPLES", "120"))




def fuzz_settings(examples: int):
    return hsettings(max_examples=examples, deadline=None, database=None, print_blob=True,
                     suppress_health_check=list(HealthCheck))


# --- strategies ---------------------------------------------------------------------------


def weighted(*choices):
    """one_of with weights, from (weight, strategy) pairs (one_of drops repeated strategies)."""
    index = st.sampled_from([i for i, (weight, _) in enumerate(choices) for _ in range(weight)])
    return index.flatmap(lambda i: choices[i][1])


DIGITS = ["0123456789", "٠١٢٣٤٥٦٧٨٩", "۰۱۲۳۴۵۶۷۸۹", "०१२३४५६७८९", "０１２３４５６７８９", "𝟎𝟏𝟐𝟑𝟒𝟓𝟔𝟕𝟖𝟗"]
SPACES = ["", " ", "  ", "\t", "\n", "\u3000", "\xa0"]


class Text(str):
    """A str subclass, as a record value from a decoder that makes them."""


def _calendar(with_time: bool):
    """Field values: real moments, and the edges around them (leap days, 24:00, :60, :61)."""
    real = st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31, 23, 59, 59)).map(
        lambda d: (d.year, d.month, d.day, d.hour, d.minute, d.second))
    edge = st.tuples(
        st.sampled_from([0, 1, 999, 1000, 1900, 2000, 2023, 2024, 2100, 9999]),
        st.sampled_from([0, 1, 2, 9, 12, 13, 99]),
        st.sampled_from([0, 1, 9, 28, 29, 30, 31, 32, 99]),
        st.sampled_from([0, 9, 23, 24, 25, 99]),
        st.sampled_from([0, 1, 59, 60, 99]),
        st.sampled_from([0, 1, 59, 60, 61, 99]),
    )
    return weighted((2, real), (1, edge))


@st.composite
def date_texts(draw, with_time: bool):
    """Texts for the "%Y-%m-%d" (or "%Y-%m-%d %H:%M:%S") member of a record."""
    kind = draw(st.sampled_from(["canonical"] * 4 + ["lenient"] * 4 + ["any", "digits", "other"]))
    if kind == "any":
        return draw(st.text(max_size=24))
    if kind == "digits":
        return draw(st.text(alphabet="0123456789-: T.", max_size=22))
    if kind == "other":
        return draw(st.sampled_from([None, 20240105, 2024.0, ["2024-01-05"], {"d": 1}, b"2024-01-05", True]))
    fields = draw(_calendar(with_time))
    widths = (4, 2, 2, 2, 2, 2)
    if kind == "canonical":
        parts = [f"{value:0{width}d}" for value, width in zip(fields, widths)]
        seps = ["-", "-", " ", ":", ":"]
        text = "".join(p + s for p, s in zip(parts, seps + [""]))
        text = text if with_time else text[:10]
        return Text(text) if draw(st.integers(0, 19)) == 0 else text
    # lenient: unpadded or space-padded fields, other separators, other digits, white space,
    # a fractional or zone suffix
    parts = []
    for value, width in zip(fields, widths):
        pad = draw(st.sampled_from(["zero", "zero", "none", "space", "extra"]))
        parts.append({"zero": f"{value:0{width}d}", "none": f"{value}", "space": f"{value:>{width}d}",
                      "extra": f"0{value:0{width}d}"}[pad])
    digits = draw(st.sampled_from(DIGITS[:1] * 3 + DIGITS[1:]))
    parts = [p.translate(str.maketrans("0123456789", digits)) for p in parts]
    date_sep = draw(st.sampled_from(["-", "-", "-", "/", "", "－"]))
    text = date_sep.join(parts[:3])
    if with_time:
        middle = draw(st.sampled_from([" ", " ", "T", "  ", "\t", "\u3000", ""]))
        time_sep = draw(st.sampled_from([":", ":", ":", "-", "："]))
        text += middle + time_sep.join(parts[3:])
    suffix = draw(st.sampled_from(["", "", "", ".5", ".500", "Z", "+08:00", " 00:00:00", ":00"]))
    return draw(st.sampled_from(SPACES)) + text + suffix + draw(st.sampled_from(SPACES))


class Big(int):
    """An int too long to write in decimal (the interpreter refuses beyond 4300 digits):
    float() overflows, and rendering it as text raises ValueError. Its repr stays short so
    that failure reports can show it."""

    __str__ = int.__repr__

    def __repr__(self):
        return f"Big(<{self.bit_length()} bits>)"

    def __neg__(self):
        return Big(-int(self))


BIG = Big(10**5000)


NUMERIC_TEXTS = st.one_of(
    st.floats().map(repr),
    st.integers().map(str),
    st.sampled_from([
        "nan", "-nan", "NaN", "inf", "-Infinity", "infinity", "1e400", "-1e-400", " 1.5 ", "1_000",
        "1__000", "_1", "1_", "0x10", "1,5", "+.5", "5.", ".", "", "  ", "abc", "１２３.５", "١٢٣",
        "\xa01.5\u2003", "1e", "e5", "1.5.5", "--1", "\x00", "3521.5", "0", "-0", "1" * 400,
    ]),
    st.from_regex(r"\A[ +-]?[0-9_]{0,6}(\.[0-9_]{0,4})?([eE][+-]?[0-9]{1,4})?[ \t]?\Z"),
    st.text(max_size=8),
)

# Members a JSON decoder can produce ...
JSON_NUMBERS = st.one_of(
    st.integers(), st.floats(), st.booleans(), st.none(), NUMERIC_TEXTS,
    st.integers(min_value=2**1023, max_value=2**1100) | st.integers(max_value=-(2**1023), min_value=-(2**1100)),
    st.sampled_from([10**400, -(10**400), 2**1024, 2**1024 - 1, BIG, -BIG]),
    st.lists(st.integers(), max_size=2),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
)

# --- running both and comparing -------------------------------------------------------------


class Capture:
    """One log sink for a whole test; `lines` is emptied before each case."""

    def __init__(self):
        self.lines = []
        self._id = logger.add(lambda m: self.lines.append((m.record["level"].name, m.record["message"])),
                              level=0, format="{message}")

    def close(self):
        logger.remove(self._id)


def same(a, b) -> bool:
    """Equal in type and value, containers member by member; floats to the bit, so NaN
    equals NaN; datetimes with the very same tzinfo object."""
    if a is b:
        return True
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, datetime):
        return a.tzinfo is b.tzinfo and a.fold == b.fold and a.replace(tzinfo=None) == b.replace(tzinfo=None)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def describe(outcome: Outcome) -> str:
    if outcome.error is not None:
        return f"raised {type(outcome.error).__name__}: {outcome.error}"
    result = outcome.result
    if isinstance(result, list) and result and hasattr(result[0], "gateway_name"):
        return f"{len(result)} records: {[vars(r) for r in result]!r}"
    return f"returned {result!r}"


def differences(got: Outcome, want: Outcome, envelope_data, over_http: bool) -> list[str]:
    found = []
    if got.lines != want.lines:
        found.append(f"log lines:\n    module {got.lines!r}\n    model  {want.lines!r}")
    if not over_http:
        sent = [(method, list(kwargs.items())) for method, args, kwargs in got.calls if not args]
        expected = [(method, list(kwargs.items())) for method, kwargs in want.calls]
        if len(sent) != len(got.calls) or not same(sent, expected):
            found.append(f"calls to requests:\n    module {got.calls!r}\n    model  {want.calls!r}")
    if want.error is not None or got.error is not None:
        if (type(got.error), str(got.error)) != (type(want.error), str(want.error)):
            found.append(f"outcome: module {describe(got)}; model {describe(want)}")
        return found
    if want.passthrough:
        agrees = same(got.result, want.result) if over_http else got.result is want.result
    elif isinstance(want.result, list):
        agrees = (type(got.result) is list and got.result is not envelope_data and len(got.result) == len(want.result)
                  and all(type(g) is type(w) and same(vars(g), vars(w)) for g, w in zip(got.result, want.result)))
    else:
        agrees = False
    if not agrees:
        found.append(f"result: module {describe(got)}; model {describe(want)}")
    return found


class Tally:
    """Cases run and divergences found by one test; in a campaign, kept going and reported."""

    def __init__(self, name: str):
        self.name, self.cases, self.divergences, self.shown = name, 0, 0, []

    def record(self, case, problems: list[str]) -> None:
        self.cases += 1
        if not problems:
            return
        self.divergences += 1
        message = f"{case}\n  " + "\n  ".join(problems)
        if not KEEP_GOING:
            raise AssertionError(message)
        if len(self.shown) < SHOWN:
            self.shown.append(message)

    def write_report(self) -> None:
        if REPORT:
            with open(REPORT, "a", encoding="utf-8") as out:
                out.write(json.dumps({"test": self.name, "cases": self.cases, "divergences": self.divergences,
                                      "examples": self.shown}, ensure_ascii=False) + "\n")

    def run(self, agree, capture: Capture) -> None:
        """Runs the hypothesis test `agree`, then requires that no case diverged."""
        try:
            agree()
        finally:
            capture.close()
            self.write_report()
        assert self.divergences == 0, f"{self.divergences} of {self.cases} cases diverged:\n" + "\n".join(self.shown)


def call(feed, query: str, args: tuple, capture: Capture) -> Outcome:
    outcome = Outcome()
    capture.lines.clear()
    try:
        outcome.result = getattr(feed, query)(*args)
    except BaseException as exc:  # noqa: B036 - an Interrupt is an outcome like any other
        outcome.error = exc
    outcome.lines = list(capture.lines)
    return outcome


def _links_simdjson(path: str) -> bool:
    with open(path, "rb") as so:
        return b"libsimdjson" in so.read()


@pytest.fixture
def native(nd) -> bool:
    """Whether the extension was built with its native decoder (it then links simdjson)."""
    return _links_simdjson(nd.__file__)


@pytest.fixture
def wire_native() -> bool:
    """Whether the engine's native entry was built with its native decoder: the
    extension's own build, and under NORVIX_IMPL=py the one native decoder running."""
    from vnpy_norvix import _wire

    return _links_simdjson(_wire.__file__)


@pytest.fixture
def json_calls():
    with JsonCalls() as calls:
        yield calls


# --- answers as bytes ---------------------------------------------------------------------


class Raw(str):
    """JSON text written as it is."""


class Obj(list):
    """A JSON object as (key, value) pairs: duplicates and any key spelling allowed."""


def dump(value, ascii: bool, seps: tuple) -> str:
    if isinstance(value, Raw):
        return value
    if isinstance(value, Obj):
        return "{" + seps[0].join(
            (k if isinstance(k, Raw) else json.dumps(k, ensure_ascii=ascii)) + seps[1] + dump(v, ascii, seps)
            for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + seps[0].join(dump(v, ascii, seps) for v in value) + "]"
    return json.dumps(value, ensure_ascii=ascii)


def number_text(rng: random.Random) -> str:
    """A JSON number of 1 to 40 significant digits: an integer, a fraction with the point
    anywhere or after leading zeros, with or without an exponent, in every sign and spelling."""
    digits = str(rng.randint(1, 9)) + "".join(rng.choices("0123456789", k=rng.randint(0, 39)))
    if rng.random() < 0.03:  # zeros: -0 is json.loads' int 0, -0.0 its negative zero
        digits = "0"
    elif rng.random() < 0.3:  # runs of zeros or nines, where rounding is decided far along
        digits = digits[:rng.randint(1, len(digits))] + rng.choice("09") * rng.randint(0, 25)
    form = rng.choice(["integer", "point", "leading", "trailing"])
    if form == "point" and len(digits) > 1:
        at = rng.randint(1, len(digits) - 1)
        digits = digits[:at] + "." + digits[at:]
    elif form == "leading":
        digits = "0." + "0" * rng.randint(0, 20) + digits
    elif form == "trailing":
        digits += "." + "0" * rng.randint(1, 20)
    if rng.random() < 0.5:
        exponent = rng.choice([rng.randint(-30, 30), rng.randint(-345, 310),
                               rng.choice([-1, 1]) * rng.randint(10**18, 10**22)])
        sign = "-" if exponent < 0 else rng.choice(["", "+"])
        digits += rng.choice("eE") + sign + str(abs(exponent))
    return rng.choice(["", "-"]) + digits


def read_natively(text: str) -> bool:
    """Whether the fast path reads the number (json.loads then gives an int within int64, or
    a finite float other than a negative zero)."""
    value = json.loads(text)
    if isinstance(value, int):
        return -2**63 <= value < 2**63
    return math.isfinite(value) and not (value == 0 and math.copysign(1, value) < 0)


NUMBER_TEXTS = st.randoms(use_true_random=False).map(number_text)
NUMBERS = st.one_of(st.integers(-10**12, 10**12), st.floats(-1e15, 1e15).filter(
    lambda x: not (x == 0 and math.copysign(1, x) < 0)), NUMBER_TEXTS.filter(read_natively).map(Raw))
EXTRA = st.recursive(st.none() | st.booleans() | st.integers(-99, 99) | st.floats(-9, 9) | st.text(max_size=5),
                     lambda inner: st.lists(inner, max_size=2), max_leaves=4)
LITERALS = ["NaN", "Infinity", "-Infinity", "1e400", "-1e400", "1e-400", "-0", "-0.0", "0.0", "1E2", "2.5e+3",
            "123456789012345678901234567890", "9223372036854775807", "9223372036854775808",
            "-9223372036854775809", "18446744073709551615", "4.9e-324", "1.7976931348623157e308",
            "-0.000000000000000000000", "-0e-400", "-92233720368547758090", "18446744073709551616",
            "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720",
            "1797693134862315807937289714053034150799e270",
            "true", "false", "null", '"3521.5"', '" 1.5 "', '"abc"', "[]", "{}"]
ODD_TIMES = ["2024-1-05 09:00:00", "2024-01-05T09:00:00", " 2024-01-05 09:00:00", "2024-02-30 09:00:00",
             "２０２４-01-05 09:00:00", "2024-01-05 09:00:00.5", "0000-01-01 00:00:00", "2024-01-05",
             "2024-01-05 24:00:00", "2024-01-05 9:00:00", "2024-01-05 09:00:00", "2024-1-5", 123, None]
ODD_TEXTS = ['"a\\ud800"', '"\\udc00b"', '"\\ud800\\u0041"', '"\\ud83d\\ude00"', '"\udcff"', '"\udcc3("',
             '"\\u0000"']
# Text json.loads refuses, in a member nobody reads: each is read to its end or refused.
BROKEN = ["tru", "nul", "truex", "01", "1.", ".5", "+1", "-", "1e", "0x1", '"\\x"', '"\\u12"', '"a\tb"', "[1,]",
          "[1 2]", "[,1]", '{"a" 1}', '{"a":1,}', '{1:2}', "[}", "{]", "[[1]", '{"a":[1}}', "'a'", "None"]
CONTENT_TYPES = {"application/json": True, "application/json; charset=utf-8": True,
                 "application/json; charset=UTF8": True, "text/html; charset=utf-8": True,
                 "application/json; charset=latin-1": False, "text/plain": False, None: False,
                 "application/octet-stream": False}

# Per query: the time member, whether it has a time of day, required and optional members.
SHAPES = {
    "query_minute_bar_history": ("trading_datetime", True, BAR_PRICES, BAR_AMOUNTS),
    "query_day_bar_history": ("trading_date", False, BAR_PRICES, BAR_AMOUNTS),
    "query_tick_history": ("trading_datetime", True, (), ("name",) + tuple(m for _, m in TICK_NUMBERS)),
}


@st.composite
def wire_answers(draw, query: str):
    """(body, headers, clean): mostly a valid answer, with traps mixed in; `clean` when no
    trap was set, so that the native path must have been taken."""
    time_member, with_time, required, optional = SHAPES[query]
    known = {time_member, *required, *optional}
    records = []
    for _ in range(draw(st.integers(0, 4))):
        moment = draw(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31)))
        text = f"{moment.year:04d}-{moment.month:02d}-{moment.day:02d}"
        pairs = [(time_member, text + (f" {moment:%H:%M:%S}" if with_time else ""))]
        pairs += [(m, draw(NUMBERS)) for m in required]
        pairs += [(m, draw(st.text(max_size=6)) if m == "name" else draw(NUMBERS))
                  for m in optional if draw(st.integers(0, 3))]
        pairs += [(k, draw(EXTRA)) for k in draw(st.lists(st.text("abpqz_", max_size=6).filter(lambda k: k not in known),
                                                          max_size=2, unique=True))]
        records.append(Obj(draw(st.permutations(pairs))))
    envelope = Obj([("code", 0), ("message", draw(st.sampled_from(["success", "", "成功"]))), ("data", records)])
    envelope = Obj(draw(st.permutations(envelope)))
    content_type = "application/json"
    prefix = suffix = ""
    traps = draw(st.lists(st.integers(0, 12), max_size=2)) if draw(st.booleans()) else []
    clean = not traps

    def record_member():
        record = draw(st.sampled_from(records))
        return record, draw(st.integers(0, len(record) - 1))

    for trap in traps:
        if trap == 0 and records:  # a number the fast path may not read
            record, i = record_member()
            record[i] = (record[i][0], Raw(draw(st.sampled_from(LITERALS))))
        elif trap == 1 and records:  # a time text that is not canonical, or not text
            record = draw(st.sampled_from(records))
            keys = [k for k, _ in record]
            if time_member in keys:  # unless a key trap has rewritten it
                record[keys.index(time_member)] = (time_member, draw(st.sampled_from(ODD_TIMES)))
        elif trap == 2 and records:  # a member given twice
            record, i = record_member()
            record.insert(draw(st.integers(0, len(record))), (record[i][0], draw(NUMBERS)))
        elif trap == 3 and records:  # a key written with escapes
            record, i = record_member()
            key = record[i][0]
            record[i] = (Raw('"' + "".join(f"\\u{ord(c):04x}" for c in key) + '"'), record[i][1])
        elif trap == 4:  # odd text: surrogates, bytes that are not UTF-8, an escaped NUL
            target = draw(st.sampled_from(records)) if records else envelope
            target.append((draw(st.sampled_from(["name", "other"])), Raw(draw(st.sampled_from(ODD_TEXTS)))))
        elif trap == 5:  # deep nesting in a member nobody reads
            depth = draw(st.sampled_from([63, 64, 65, 200, 3000]))
            envelope.append(("deep", Raw("[" * depth + "]" * depth)))
        elif trap == 6:  # an envelope code other than the integer 0
            envelope[:] = [(k, v) for k, v in envelope if k != "code"]
            envelope.append(("code", Raw(draw(st.sampled_from(["0.0", "-0", "false", '"0"', "1", "null", "0e0"])))))
        elif trap == 7:  # data that is no list of objects, absent, or a member given twice
            choice = draw(st.sampled_from(["null", "{}", '"x"', "[1]", "[null]", "[[]]", "dup", "absent"]))
            if choice == "dup":
                envelope.append((draw(st.sampled_from(["data", "code", "message"])), Raw("[]")))
            else:
                envelope[:] = [(k, v) for k, v in envelope if k != "data"]
                if choice != "absent":
                    envelope.append(("data", Raw(choice)))
        elif trap == 8:  # around the document
            prefix, suffix = draw(st.sampled_from([("\ufeff", ""), ("", " x"), ("", " {}"), (" \n", "\t"),
                                                   ("", ""), ("[", "]")]))
        elif trap == 9:  # what the headers tell requests about the encoding
            content_type = draw(st.sampled_from(list(CONTENT_TYPES)))
            clean = clean and CONTENT_TYPES[content_type] and len(traps) == 1
        elif trap == 10 and records:  # a member of another JSON type
            record, i = record_member()
            record[i] = (record[i][0], draw(st.sampled_from([None, True, "12", "x", [1], {"a": 1}])))
        elif trap == 11:  # text json.loads refuses, where nothing is read
            target = draw(st.sampled_from(records)) if records else envelope
            target.append(("zz", Raw(draw(st.sampled_from(BROKEN)))))
    seps = draw(st.sampled_from([(", ", ": "), (",", ":"), (" ,\n ", " : ")]))
    text = prefix + dump(envelope, draw(st.booleans()), seps) + suffix
    if 12 in traps and text:  # one character dropped, doubled or replaced by another of JSON's
        at = draw(st.integers(0, len(text) - 1))
        how = draw(st.sampled_from(["drop", "double", "replace"]))
        other = draw(st.sampled_from(list('{}[],:"\\ 0-.eE') + ["\x01"]))
        text = text[:at] + {"drop": "", "double": text[at] * 2, "replace": other}[how] + text[at + 1:]
    body = text.encode("utf-8", "surrogateescape")
    if content_type == "application/json; charset=latin-1" and draw(st.booleans()):
        body = text.encode("latin-1", "replace")
    return body, {} if content_type is None else {"Content-Type": content_type}, clean
