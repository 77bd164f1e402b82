"""Benchmark of the native datafeed against the pure-Python one and a floor.

Three implementations answer the same history queries, side by side in one run:

  a  the extension module `norvix_datafeed`;
  b  bench/norvix_py.py, the same datafeed written as an ordinary Python module;
  c  the floor: requests.post(...) + response.json() + building the same vn.py records
     from values converted before timing (a plain loop calling BarData/TickData).

Shapes: 40,000 one-minute bars, 2,000 daily bars, 30,000 ticks with five levels of
depth, and 20 daily bars (per-call overhead). Phases: end to end (the query over
loopback HTTP, against a canned-response server running in its own process) and the
conversion phase alone (everything after response.json(): for a and b the module-level
`requests` is swapped for a stand-in whose json() hands over a freshly decoded body;
for c the record-building loop, which also drops the decoded body it is handed).
Repetitions are interleaved: every round runs a, b and c on every shape, in an order
that rotates from round to round, and the medians are reported. Peak memory is taken
in separate untimed child processes, one per implementation and shape: the tracemalloc
peak of one end-to-end call, and the growth of the peak resident set size.

    python bench/run.py [--rounds N] [--quick] [--out FILE] [--skip-memory]

vn.py creates `.vntrader` under HOME when it is imported; scripts/bench.sh runs this
with a temporary HOME.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import os
import platform
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import Any, Callable
from zoneinfo import ZoneInfo

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import bodies  # noqa: E402

import requests  # noqa: E402
from loguru import logger  # noqa: E402
from vnpy.trader.constant import Exchange, Interval  # noqa: E402
from vnpy.trader.object import BarData, HistoryRequest, TickData  # noqa: E402

import norvix_datafeed  # noqa: E402

CHINA = ZoneInfo("Asia/Shanghai")
SYMBOL = bodies.INSTRUMENT
EXCHANGE = Exchange.SHFE
GATEWAY = "NorviX"
USERNAME = "bench"
PASSWORD = "bench-token"
HEADERS = {
    "Content-Type": "application/json",
    "User-Agent": "Python/requests (JSON POST)",
    "mobile": USERNAME,
    "token": PASSWORD,
}
DATE_FORMAT = "%Y-%m-%d"
DATETIME_FORMAT = "%Y-%m-%d %H:%M:%S"

IMPLS = ("a", "b", "c")


class BenchError(Exception):
    pass


def load_python_datafeed():
    path = BENCH_DIR / "norvix_py.py"
    if not path.exists():
        raise BenchError(f"{path} is missing: the pure-Python baseline is needed for column b")
    spec = importlib.util.spec_from_file_location("norvix_py", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["norvix_py"] = module
    spec.loader.exec_module(module)
    return module


# --- logging ---------------------------------------------------------------------------


class LogSink:
    """The only loguru sink while the bench runs: drops messages, or collects them
    while `captured` is a list."""

    def __init__(self) -> None:
        self.captured: list[str] | None = None

    def __call__(self, message) -> None:
        if self.captured is not None:
            self.captured.append(f"{message.record['level'].name} {message.record['message']}")


SINK = LogSink()


def silence_logger() -> None:
    logger.remove()
    logger.add(SINK, format="{message}", level="DEBUG")


# --- shapes ------------------------------------------------------------------------------


@dataclass
class Shape:
    key: str
    title: str
    kind: str  # "minute", "daily" or "tick"
    endpoint: str
    count: int
    targets_conversion: bool
    raw: bytes = b""
    base_url: str = ""
    prepared: list = field(default_factory=list)

    @property
    def path(self) -> str:
        return f"/{self.key}{self.endpoint}"

    def request_body(self) -> dict:
        """The body that the datafeed sends for this query."""
        if self.kind == "tick":
            return {"instrument_id": SYMBOL, "trading_date": bodies.TICK_DATE.strftime(DATE_FORMAT)}
        limit = 40000 if self.kind == "minute" else 2000
        return {"instrument_id": SYMBOL, "start_date": "2016-01-01", "end_date": "2024-12-31", "limit": limit}

    def query(self, feed) -> list:
        if self.kind == "minute":
            return feed.query_minute_bar_history(SYMBOL, EXCHANGE, "2016-01-01", "2024-12-31")
        if self.kind == "daily":
            return feed.query_day_bar_history(SYMBOL, EXCHANGE, "2016-01-01", "2024-12-31")
        return feed.query_tick_history(TICK_REQUEST)


TICK_REQUEST = HistoryRequest(
    symbol=SYMBOL,
    exchange=EXCHANGE,
    start=datetime(2024, 3, 5, 9, 0, tzinfo=CHINA),
    end=datetime(2024, 3, 5, 15, 0, tzinfo=CHINA),
    interval=Interval.TICK,
)


def make_shapes(quick: bool) -> list[Shape]:
    minute, daily, tick = (4_000, 200, 3_000) if quick else (40_000, 2_000, 30_000)
    return [
        Shape("minute", f"{minute:,} minute bars", "minute", "/minutebar/query", minute, True),
        Shape("daily", f"{daily:,} daily bars", "daily", "/daybar/query", daily, True),
        Shape("ticks", f"{tick:,} ticks, 5 levels", "tick", "/tickdata/query", tick, True),
        Shape("daily20", "20 daily bars", "daily", "/daybar/query", 20, False),
    ]


def generate(shape: Shape) -> bytes:
    if shape.kind == "minute":
        return bodies.minute_bars(shape.count)
    if shape.kind == "daily":
        return bodies.day_bars(shape.count)
    return bodies.ticks(shape.count)


# --- the floor ----------------------------------------------------------------------------
# Values converted before timing: aware datetimes and floats, one tuple per record.

TICK_MEMBERS = (
    "volume", "turnover", "open_interest", "last_price", "last_volume", "limit_up", "limit_down",
    "open", "high", "low", "pre_close",
    "bid_price_1", "bid_price_2", "bid_price_3", "bid_price_4", "bid_price_5",
    "ask_price_1", "ask_price_2", "ask_price_3", "ask_price_4", "ask_price_5",
    "bid_volume_1", "bid_volume_2", "bid_volume_3", "bid_volume_4", "bid_volume_5",
    "ask_volume_1", "ask_volume_2", "ask_volume_3", "ask_volume_4", "ask_volume_5",
)  # fmt: skip


def prepare_floor(shape: Shape) -> list[tuple]:
    records = json.loads(shape.raw)["data"]
    if shape.kind == "tick":
        return [
            (
                datetime.strptime(r["trading_datetime"], DATETIME_FORMAT).replace(tzinfo=CHINA),
                r["name"],
                *(float(r[m]) for m in TICK_MEMBERS),
            )
            for r in records
        ]
    time_member, time_format = (
        ("trading_datetime", DATETIME_FORMAT) if shape.kind == "minute" else ("trading_date", DATE_FORMAT)
    )
    return [
        (
            datetime.strptime(r[time_member], time_format).replace(tzinfo=CHINA),
            float(r["open_price"]),
            float(r["high_price"]),
            float(r["low_price"]),
            float(r["close_price"]),
            float(r["volume"]),
            float(r["turnover"]),
            float(r["open_interest"]),
        )
        for r in records
    ]


def floor_bars(prepared: list[tuple], interval: Interval) -> list[BarData]:
    bars = []
    for dt, open_price, high_price, low_price, close_price, volume, turnover, open_interest in prepared:
        bars.append(
            BarData(
                symbol=SYMBOL,
                exchange=EXCHANGE,
                interval=interval,
                datetime=dt,
                open_price=open_price,
                high_price=high_price,
                low_price=low_price,
                close_price=close_price,
                volume=volume,
                turnover=turnover,
                open_interest=open_interest,
                gateway_name=GATEWAY,
            )
        )
    return bars


def floor_ticks(prepared: list[tuple]) -> list[TickData]:
    ticks = []
    for (
        dt, name, volume, turnover, open_interest, last_price, last_volume, limit_up, limit_down,
        open_price, high_price, low_price, pre_close,
        bid_price_1, bid_price_2, bid_price_3, bid_price_4, bid_price_5,
        ask_price_1, ask_price_2, ask_price_3, ask_price_4, ask_price_5,
        bid_volume_1, bid_volume_2, bid_volume_3, bid_volume_4, bid_volume_5,
        ask_volume_1, ask_volume_2, ask_volume_3, ask_volume_4, ask_volume_5,
    ) in prepared:  # fmt: skip
        ticks.append(
            TickData(
                symbol=SYMBOL,
                exchange=EXCHANGE,
                datetime=dt,
                name=name,
                volume=volume,
                turnover=turnover,
                open_interest=open_interest,
                last_price=last_price,
                last_volume=last_volume,
                limit_up=limit_up,
                limit_down=limit_down,
                open_price=open_price,
                high_price=high_price,
                low_price=low_price,
                pre_close=pre_close,
                bid_price_1=bid_price_1,
                bid_price_2=bid_price_2,
                bid_price_3=bid_price_3,
                bid_price_4=bid_price_4,
                bid_price_5=bid_price_5,
                ask_price_1=ask_price_1,
                ask_price_2=ask_price_2,
                ask_price_3=ask_price_3,
                ask_price_4=ask_price_4,
                ask_price_5=ask_price_5,
                bid_volume_1=bid_volume_1,
                bid_volume_2=bid_volume_2,
                bid_volume_3=bid_volume_3,
                bid_volume_4=bid_volume_4,
                bid_volume_5=bid_volume_5,
                ask_volume_1=ask_volume_1,
                ask_volume_2=ask_volume_2,
                ask_volume_3=ask_volume_3,
                ask_volume_4=ask_volume_4,
                ask_volume_5=ask_volume_5,
                gateway_name=GATEWAY,
            )
        )
    return ticks


def floor_build(shape: Shape) -> list:
    if shape.kind == "tick":
        return floor_ticks(shape.prepared)
    return floor_bars(shape.prepared, Interval.MINUTE if shape.kind == "minute" else Interval.DAILY)


def floor_query(shape: Shape) -> list:
    # The response goes as soon as it is decoded; the decoded body is held, as the
    # datafeeds hold theirs, while the records are built.
    url = shape.base_url + shape.endpoint
    response = requests.post(url, json=shape.request_body(), headers=HEADERS, timeout=10)
    data = response.json()  # noqa: F841
    del response
    return floor_build(shape)


def floor_convert(shape: Shape, handed_over: list) -> list:
    data = handed_over.pop()  # noqa: F841 - dropped on return, as the datafeeds drop theirs
    return floor_build(shape)


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
            return lambda: floor_query(shape)
        feed = self.feeds[impl]
        feed.base_url = shape.base_url
        return lambda: shape.query(feed)

    def conversion(self, impl: str, shape: Shape) -> tuple[Callable[[], list], Callable[[], None]]:
        """A call that converts a freshly decoded body, and the undo to run after it."""
        payload = json.loads(shape.raw)
        if impl == "c":
            handed_over = [payload]
            del payload
            return (lambda: floor_convert(shape, handed_over)), (lambda: None)
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


def timed(call: Callable[[], list], expected: int, what: str) -> float:
    gc.collect()
    start = time.perf_counter_ns()
    result = call()
    elapsed = time.perf_counter_ns() - start
    if len(result) != expected:
        raise BenchError(f"{what}: {len(result)} records instead of {expected}")
    del result
    return elapsed / 1e6


# --- correctness -------------------------------------------------------------------------------


def same_record(x: Any, y: Any) -> str | None:
    if type(x) is not type(y):
        return f"types {type(x).__name__} and {type(y).__name__}"
    vx, vy = vars(x), vars(y)
    if vx.keys() != vy.keys():
        return f"fields {sorted(vx.keys() ^ vy.keys())}"
    for name, value in vx.items():
        other = vy[name]
        if type(value) is not type(other) or value != other:
            return f"{name}: {value!r} and {other!r}"
        if isinstance(value, datetime) and (value.tzinfo is not other.tzinfo or value.tzinfo is None):
            return f"{name}: zones {value.tzinfo!r} and {other.tzinfo!r}"
    return None


def compare(label: str, xs: list, ys: list) -> None:
    if len(xs) != len(ys):
        raise BenchError(f"{label}: {len(xs)} records against {len(ys)}")
    for i, (x, y) in enumerate(zip(xs, ys)):
        problem = same_record(x, y)
        if problem:
            raise BenchError(f"{label}: record {i} differs: {problem}")


def check(impls: Implementations, shapes: list[Shape]) -> None:
    """a, b and c build equal records for every shape, over HTTP and through the
    stand-in, and a and b write the same log lines."""
    for shape in shapes:
        results, logs = {}, {}
        for impl in IMPLS:
            SINK.captured = []
            try:
                results[impl] = impls.end_to_end(impl, shape)()
            finally:
                logs[impl], SINK.captured = SINK.captured, None
        if len(results["a"]) != shape.count:
            raise BenchError(f"{shape.title}: a returned {len(results['a'])} records; its log: {logs['a']}")
        compare(f"{shape.title}, a against b", results["a"], results["b"])
        compare(f"{shape.title}, a against c", results["a"], results["c"])
        if logs["a"] != logs["b"]:
            raise BenchError(f"{shape.title}: a logged {logs['a']}, b logged {logs['b']}")
        for impl in ("a", "b"):
            call, undo = impls.conversion(impl, shape)
            try:
                converted = call()
            finally:
                undo()
            compare(f"{shape.title}, {impl} through the stand-in against over HTTP", converted, results[impl])


# --- timing ----------------------------------------------------------------------------------


def run_rounds(impls: Implementations, shapes: list[Shape], rounds: int) -> dict:
    samples = {(phase, impl, s.key): [] for phase in ("e2e", "conv") for impl in IMPLS for s in shapes}
    for r in range(-1, rounds):  # round -1 warms up and is not recorded
        for si, shape in enumerate(shapes):
            shift = (r + si) % len(IMPLS)
            order = IMPLS[shift:] + IMPLS[:shift]
            for impl in order:
                ms = timed(impls.end_to_end(impl, shape), shape.count, f"{impl} {shape.title}")
                if r >= 0:
                    samples[("e2e", impl, shape.key)].append(ms)
            for impl in order:
                call, undo = impls.conversion(impl, shape)
                try:
                    ms = timed(call, shape.count, f"{impl} {shape.title} (conversion)")
                finally:
                    undo()
                if r >= 0:
                    samples[("conv", impl, shape.key)].append(ms)
        if r >= 0:
            print(f"round {r + 1}/{rounds} done", file=sys.stderr, flush=True)
    return samples


# --- memory (child processes) ------------------------------------------------------------------


def status_kb(name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise BenchError(f"{name} not in /proc/self/status")


def reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def traced(call: Callable[[], list], expected: int, what: str) -> int:
    """Peak of the memory traced while `call` runs, above what was traced before it."""
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    result = call()
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    if len(result) != expected:
        raise BenchError(f"{what}: {len(result)} records instead of {expected}")
    return peak


def memory_child(impl: str, shape_key: str, port: int, quick: bool) -> None:
    """One implementation, one shape: prints the peaks of one end-to-end call and of
    one conversion as a JSON line."""
    shapes = {s.key: s for s in make_shapes(quick)}
    for s in shapes.values():
        s.base_url = f"http://127.0.0.1:{port}/{s.key}"
    shape, warm = shapes[shape_key], shapes["daily20"]
    impls = Implementations()
    silence_logger()
    for s in {shape.key: shape, warm.key: warm}.values():
        s.raw = fetch(s)
        if impl == "c":
            s.prepared = prepare_floor(s)
    raw, shape.raw = shape.raw, b""
    impls.end_to_end(impl, warm)()
    gc.collect()
    gc.freeze()
    what = f"{impl} {shape.title}"

    # Growth of the peak resident set size over one end-to-end call, the first of
    # this shape, without tracemalloc's own bookkeeping.
    rss_mb = None
    if reset_peak_rss():
        before = status_kb("VmRSS")
        result = impls.end_to_end(impl, shape)()
        rss_mb = (status_kb("VmHWM") - before) / 1024
        del result
    else:
        impls.end_to_end(impl, shape)()

    e2e = traced(impls.end_to_end(impl, shape), shape.count, what)

    # Conversion alone: the decoded body exists before tracing starts, so the peak is
    # what converting adds (the records and whatever is transient).
    shape.raw = raw
    call, undo = impls.conversion(impl, shape)
    shape.raw = b""
    del raw
    try:
        conv = traced(call, shape.count, what + " (conversion)")
    finally:
        undo()
    print(json.dumps({"e2e_bytes": e2e, "conv_bytes": conv, "rss_mb": rss_mb}))


def fetch(shape: Shape) -> bytes:
    url = shape.base_url + shape.endpoint
    response = requests.post(url, json=shape.request_body(), headers=HEADERS, timeout=10)
    response.raise_for_status()
    return response.content


def measure_memory(shapes: list[Shape], port: int, quick: bool) -> dict:
    memory = {}
    for shape in shapes:
        for impl in IMPLS:
            command = [sys.executable, str(Path(__file__).resolve()), "--memory-child", impl, shape.key]
            command += [str(port), "--quick"] if quick else [str(port)]
            done = subprocess.run(command, capture_output=True, text=True, timeout=600)
            if done.returncode != 0:
                raise BenchError(f"memory pass {impl} {shape.title} failed:\n{done.stderr}")
            memory[(impl, shape.key)] = json.loads(done.stdout.strip().splitlines()[-1])
            print(f"memory {impl} {shape.title} done", file=sys.stderr, flush=True)
    return memory


# --- the server ----------------------------------------------------------------------------------


class Server:
    def __init__(self, shapes: list[Shape], workdir: Path) -> None:
        manifest = {}
        for shape in shapes:
            file = workdir / f"{shape.key}.json"
            file.write_bytes(shape.raw)
            manifest[shape.path] = str(file)
        manifest_file = workdir / "manifest.json"
        manifest_file.write_text(json.dumps(manifest), encoding="utf-8")
        self.process = subprocess.Popen(
            [sys.executable, str(BENCH_DIR / "server.py"), str(manifest_file)],
            stdout=subprocess.PIPE,
            text=True,
        )
        line = self.process.stdout.readline().split()
        if len(line) != 2 or line[0] != "port":
            self.stop()
            raise BenchError("the bench server did not start")
        self.port = int(line[1])

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# --- report ----------------------------------------------------------------------------------------


def fmt_ms(ms: float) -> str:
    if ms >= 100:
        return f"{ms:.0f}"
    if ms >= 10:
        return f"{ms:.1f}"
    return f"{ms:.2f}"


def fmt_mb(mb: float | None) -> str:
    if mb is None:
        return "n/a"
    return f"{mb:.1f}" if mb >= 10 else f"{mb:.2f}"


def module_origin() -> str:
    path = Path(norvix_datafeed.__file__).resolve()
    root = BENCH_DIR.parent
    return str(path.relative_to(root)) if path.is_relative_to(root) else str(path)


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def version_of(name: str) -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(name)
    except PackageNotFoundError:
        return "unknown"


def mb(memory: dict | None, impl: str, shape: Shape, key: str) -> float | None:
    value = (memory or {}).get((impl, shape.key), {}).get(key)
    if value is None:
        return None
    return value / 2**20 if key.endswith("_bytes") else value


def verdict(worst: float, limit: float) -> str:
    return f"worst {worst:.2f}, {'met' if worst <= limit else 'NOT met'}"


def report(shapes: list[Shape], samples: dict, memory: dict | None, rounds: int, loads: list[float]) -> str:
    med = {k: statistics.median(v) for k, v in samples.items()}
    command = os.environ.get("NORVIX_BENCH_COMMAND") or shlex.join(["python", *sys.argv])
    out = [
        f"Machine: {platform.platform()}; CPU: {cpu_model()} ({os.cpu_count()} logical CPUs); "
        f"Python {platform.python_version()}; vnpy {version_of('vnpy')}; requests {version_of('requests')}; "
        f"loguru {version_of('loguru')}",
        f"Command: `{command}`",
        f"Rounds: {rounds}, medians reported; 1-minute load average before/after the timed rounds: "
        f"{loads[0]:.2f}/{loads[1]:.2f}; native module: {module_origin()}",
        "",
        "a = norvix_datafeed (native), b = bench/norvix_py.py (pure Python), c = floor (requests.post + "
        "response.json() + vn.py records from values converted beforehand). Times in ms; E2E = the query over "
        "loopback HTTP, Conv = everything after response.json(); Peak = tracemalloc peak of one end-to-end "
        "call, MB.",
        "",
        "| Shape | Body MB | E2E a | E2E b | E2E c | a/c | b/c | Conv a | Conv b | Conv c | Conv a/c "
        "| Peak a | Peak b | Peak c |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for s in shapes:
        e = {i: med[("e2e", i, s.key)] for i in IMPLS}
        c = {i: med[("conv", i, s.key)] for i in IMPLS}
        peaks = " | ".join(fmt_mb(mb(memory, i, s, "e2e_bytes")) for i in IMPLS)
        out.append(
            f"| {s.title} | {len(s.raw) / 1e6:.2f} | {fmt_ms(e['a'])} | {fmt_ms(e['b'])} | {fmt_ms(e['c'])} "
            f"| {e['a'] / e['c']:.2f} | {e['b'] / e['c']:.2f} | {fmt_ms(c['a'])} | {fmt_ms(c['b'])} "
            f"| {fmt_ms(c['c'])} | {c['a'] / c['c']:.2f} | {peaks} |"
        )
    out += [
        "",
        "Spread over the rounds, min–max ms:",
        "",
        "| Shape | E2E a | E2E b | E2E c | Conv a | Conv b | Conv c |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for s in shapes:
        cells = [
            f"{fmt_ms(min(v))}–{fmt_ms(max(v))}"
            for phase in ("e2e", "conv")
            for v in (samples[(phase, i, s.key)] for i in IMPLS)
        ]
        out.append(f"| {s.title} | " + " | ".join(cells) + " |")
    if memory:
        out += [
            "",
            "Memory, MB: tracemalloc peak of the conversion alone (on top of the decoded body), and growth of "
            "the peak RSS over one end-to-end call:",
            "",
            "| Shape | Conv peak a | Conv peak b | Conv peak c | RSS a | RSS b | RSS c |",
            "|---|---:|---:|---:|---:|---:|---:|",
        ]
        for s in shapes:
            cells = [fmt_mb(mb(memory, i, s, "conv_bytes")) for i in IMPLS]
            cells += [fmt_mb(mb(memory, i, s, "rss_mb")) for i in IMPLS]
            out.append(f"| {s.title} | " + " | ".join(cells) + " |")

    conv = [s for s in shapes if s.targets_conversion]
    out += [
        "",
        "Targets:",
        f"- conversion a/c ≤ 1.10 ({', '.join(s.title for s in conv)}): "
        + verdict(max(med[("conv", "a", s.key)] / med[("conv", "c", s.key)] for s in conv), 1.10),
        "- end to end a/c ≤ 1.10 (every shape): "
        + verdict(max(med[("e2e", "a", s.key)] / med[("e2e", "c", s.key)] for s in shapes), 1.10),
    ]
    if memory:
        diffs = [
            f"{s.title} {memory[('a', s.key)]['e2e_bytes'] - memory[('b', s.key)]['e2e_bytes']:+,} B"
            for s in shapes
        ]
        met = all(memory[("a", s.key)]["e2e_bytes"] <= memory[("b", s.key)]["e2e_bytes"] for s in shapes)
        out.append(f"- peak memory a ≤ b (every shape): {'met' if met else 'NOT met'}; a − b: {', '.join(diffs)}")
    else:
        out.append("- peak memory a ≤ b: not measured (--skip-memory)")
    return "\n".join(out) + "\n"


# --- main ---------------------------------------------------------------------------------------------


def session(shapes: list[Shape], checked: Callable[[], None], rounds: Callable[[], dict], with_memory: bool,
            quick: bool) -> tuple[dict, dict | None, list[float]]:
    """Serves the shapes, checks, runs the timed rounds (the bench's own objects frozen out
    of the collector's way) and the memory pass: (samples, memory, load averages)."""
    with tempfile.TemporaryDirectory(prefix="norvix-bench-") as workdir:
        server = Server(shapes, Path(workdir))
        try:
            for shape in shapes:
                shape.base_url = f"http://127.0.0.1:{server.port}/{shape.key}"
            checked()
            gc.collect()
            gc.freeze()
            loads = [os.getloadavg()[0]]
            samples = rounds()
            loads.append(os.getloadavg()[0])
            memory = measure_memory(shapes, server.port, quick) if with_memory else None
        finally:
            server.stop()
    return samples, memory, loads


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=None, help="timed rounds (default 7, 3 with --quick)")
    parser.add_argument("--quick", action="store_true", help="a tenth of the records, for a smoke run")
    parser.add_argument("--out", type=Path, help="also write the Markdown report to this file")
    parser.add_argument("--skip-memory", action="store_true", help="leave out the memory pass")
    parser.add_argument("--memory-child", nargs=3, metavar=("IMPL", "SHAPE", "PORT"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_child:
        impl, shape_key, port = args.memory_child
        memory_child(impl, shape_key, int(port), args.quick)
        return 0

    rounds = args.rounds if args.rounds is not None else (3 if args.quick else 7)
    if rounds < 1:
        parser.error("--rounds must be at least 1")
    if not Path(norvix_datafeed.__file__).suffix == ".so":
        raise BenchError(f"norvix_datafeed comes from {norvix_datafeed.__file__}, not from the extension")

    print(f"norvix_datafeed: {norvix_datafeed.__file__}", file=sys.stderr)
    shapes = make_shapes(args.quick)
    for shape in shapes:
        shape.raw = generate(shape)
        shape.prepared = prepare_floor(shape)

    impls = Implementations()
    silence_logger()

    def checked() -> None:
        check(impls, shapes)
        print("check passed: a, b and c build equal records for every shape", file=sys.stderr, flush=True)

    samples, memory, loads = session(shapes, checked, lambda: run_rounds(impls, shapes, rounds),
                                     not args.skip_memory, args.quick)
    return publish(report(shapes, samples, memory, rounds, loads), args.out)


def publish(text: str, out: Path | None) -> int:
    print(text)
    if out:
        out.write_text(text, encoding="utf-8")
    return 0


def entry(main: Callable[[], int]) -> None:
    """Runs a bench's main: a BenchError ends it with its message and status 1."""
    try:
        sys.exit(main())
    except BenchError as e:
        print(f"bench: error: {e}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    entry(main)
