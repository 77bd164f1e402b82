"""What every benchmark here runs on: errors, the log sink, timing and memory readings,
record checks, the canned-response server in its own process, and the command line's
frame (a memory child's hidden option, the report's publication, the exit status).

The memory pass (measure_memory) runs `run.py --memory-child IMPL SHAPE PORT` once per
implementation and shape, so that every peak is taken in a fresh process; frames.py's
memory child answers the same hidden option (`parse`).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
import tracemalloc
from datetime import datetime
from pathlib import Path
from typing import Any, Callable

import requests
from loguru import logger

from shapes import HEADERS, Shape

BENCH_DIR = Path(__file__).resolve().parent
sys.path.append(str(BENCH_DIR.parent / "tests"))  # children.py: how the tests end their servers
import children  # noqa: E402


IMPLS = ("a", "b", "c")  # the module, the Python form, the floor


class BenchError(Exception):
    pass


def china_home(prefix: str) -> str:
    """A temporary HOME, made the working directory, whose vn.py settings keep the
    database's times in China's zone, the process's zone too. Call it before importing
    vn.py, which reads its settings under HOME when imported."""
    home = tempfile.mkdtemp(prefix=prefix)
    os.environ["HOME"], os.environ["TZ"] = home, "Asia/Shanghai"
    time.tzset()
    os.chdir(home)
    (Path(home) / ".vntrader").mkdir()
    (Path(home) / ".vntrader" / "vt_setting.json").write_text(json.dumps({"database.timezone": "Asia/Shanghai"}))
    return home


def entry(main: Callable[[], int]) -> None:
    """Runs a bench's main: a BenchError ends it with its message and status 1."""
    try:
        sys.exit(main())
    except BenchError as e:
        print(f"bench: error: {e}", file=sys.stderr)
        sys.exit(1)


def parse(parser: argparse.ArgumentParser, first: str,
          memory_child: Callable[[str, str, int, bool], None]) -> argparse.Namespace | None:
    """The command line, with the hidden `--memory-child FIRST SHAPE PORT` a memory pass
    starts the script with: then `memory_child(first, shape, port, quick)` runs, and the
    answer is None. The parser has --quick."""
    parser.add_argument("--memory-child", nargs=3, metavar=(first, "SHAPE", "PORT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if not args.memory_child:
        return args
    what, shape_key, port = args.memory_child
    memory_child(what, shape_key, int(port), args.quick)
    return None


def publish(text: str, out: Path | None) -> int:
    print(text)
    if out:
        out.write_text(text, encoding="utf-8")
    return 0


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


# --- timing and checking ----------------------------------------------------------------


def timed(call: Callable[[], list], expected: int, what: str) -> float:
    gc.collect()
    start = time.perf_counter_ns()
    result = call()
    elapsed = time.perf_counter_ns() - start
    if len(result) != expected:
        raise BenchError(f"{what}: {len(result)} records instead of {expected}")
    del result
    return elapsed / 1e6


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


# --- memory readings ------------------------------------------------------------------------


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


def fetch(shape: Shape) -> bytes:
    url = shape.base_url + shape.endpoint
    response = requests.post(url, json=shape.request_body(), headers=HEADERS, timeout=10)
    response.raise_for_status()
    return response.content


def measure_memory(shapes: list[Shape], port: int, quick: bool) -> dict:
    """run.py's memory pass: one child per implementation and shape, their JSON lines."""
    memory = {}
    for shape in shapes:
        for impl in IMPLS:
            command = [sys.executable, str(BENCH_DIR / "run.py"), "--memory-child", impl, shape.key]
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
        children.stop(self.process, timeout=5)


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
