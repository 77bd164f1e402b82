"""Benchmark of history as polars frames, against the floor and the record path's frame.

Side by side in one run, for 40,000 minute bars and 30,000 five-level ticks in one answer,
served over loopback HTTP by bench/server.py (the shapes of shapes.py, harness.py's server):

  frame    the frame path end to end: the request (the plug-in's engine, Engine.call_columns), the
           columns (vnpy_norvix._wire.decode_columns) and the polars frame over them;
  floor    requests.post + response.json() + vn.py records (floor.py);
  records  the core's record query, then polars.DataFrame of the records as dicts (what a
           researcher does today, and what AlphaLab.save_bar_data does);
  decode   decode_columns alone on the body at hand, in rows a second (one core);
  bytes    decode_columns and the polars frame over its columns, from the body at hand: what
           the frame path spends after the exchange (the rest of `frame` is the HTTP exchange);
  RSS      the growth of the peak resident set over one end-to-end call, in a child
           process per path and shape.

    python bench/frames.py [--rounds N] [--quick]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import polars as pl

import floor
import harness
from shapes import EXCHANGE, SYMBOL, Shape, generate, make_shapes

from norvix_datafeed import NorvixDatafeed
from vnpy_norvix import _wire
from vnpy_norvix.research.columns import frame_of
from vnpy_norvix.engine import Engine, Failure

PATHS = ("frame", "floor", "records")
KIND = {"minute": "minute", "tick": "tick"}


class Feed:
    """What the frame path reads of a datafeed."""

    def __init__(self, base_url: str) -> None:
        self.base_url, self.username, self.password, self.workers = base_url, "bench", "bench-token", 1


def shapes(quick: bool) -> list[Shape]:
    return [s for s in make_shapes(quick) if s.key in ("minute", "ticks")]


def frame_call(shape: Shape) -> Callable[[], int]:
    feed = Feed(shape.base_url)
    first, last = ("2024-03-05", None) if shape.kind == "tick" else ("2016-01-01", "2024-12-31")

    def call() -> int:
        try:
            got = Engine.of(feed).call_columns(KIND[shape.kind], SYMBOL, first, last)  # type: ignore[arg-type]
        except Failure as failure:
            raise harness.BenchError(failure.reason) from failure
        return frame_of(got.columns, SYMBOL, EXCHANGE, None).height

    return call


def records_call(shape: Shape) -> Callable[[], int]:
    feed = NorvixDatafeed()
    feed.base_url = shape.base_url
    feed.initialize("bench", "bench-token")
    names = [n for n in frame_names(shape) if n != "name"] + (["name"] if shape.kind == "tick" else [])

    def call() -> int:
        records = shape.query(feed)
        return pl.DataFrame([{n: getattr(r, n) for n in names} for r in records]).height

    return call


def floor_call(shape: Shape) -> Callable[[], int]:
    return lambda: len(floor.query(shape))


def frame_names(shape: Shape) -> list[str]:
    return list(_wire.decode_columns(KIND[shape.kind], b'{"code":0,"data":[]}', None)[1])


def call_for(path: str, shape: Shape) -> Callable[[], int]:
    return {"frame": frame_call, "floor": floor_call, "records": records_call}[path](shape)


def timed(call: Callable[[], int], expected: int) -> float:
    gc.collect()
    started = time.perf_counter()
    count = call()
    elapsed = time.perf_counter() - started
    if count != expected:
        raise harness.BenchError(f"{count} rows instead of {expected}")
    return elapsed


def memory_child(path: str, key: str, port: int, quick: bool) -> None:
    shape = {s.key: s for s in shapes(quick)}[key]
    shape.base_url = f"http://127.0.0.1:{port}/{shape.key}"
    harness.silence_logger()
    if path == "floor":
        shape.raw = harness.fetch(shape)
        shape.prepared = floor.prepare(shape)
        shape.raw = b""
    call = call_for(path, shape)
    gc.collect()
    gc.freeze()
    if not harness.reset_peak_rss():
        print(json.dumps({"rss_mb": None}))
        return
    before = harness.status_kb("VmRSS")
    count = call()
    print(json.dumps({"rss_mb": (harness.status_kb("VmHWM") - before) / 1024, "rows": count}))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    args = harness.parse(parser, "PATH", memory_child)
    if args is None:
        return 0

    harness.silence_logger()
    todo = shapes(args.quick)
    for shape in todo:
        shape.raw = generate(shape)
    with tempfile.TemporaryDirectory() as workdir:
        server = harness.Server(todo, Path(workdir))
        try:
            for shape in todo:
                shape.base_url = f"http://127.0.0.1:{server.port}/{shape.key}"
                shape.prepared = floor.prepare(shape)
            samples: dict[tuple[str, str], list[float]] = {}
            calls = {(p, s.key): call_for(p, s) for p in PATHS for s in todo}
            decode: dict[str, list[float]] = {s.key: [] for s in todo}
            from_bytes: dict[str, list[float]] = {s.key: [] for s in todo}
            for _ in range(args.rounds):
                for (path, key), call in calls.items():
                    shape = next(s for s in todo if s.key == key)
                    samples.setdefault((path, key), []).append(timed(call, shape.count))
                for shape in todo:
                    kind = KIND[shape.kind]
                    gc.collect()
                    started = time.perf_counter()
                    _wire.decode_columns(kind, shape.raw, None)
                    decode[shape.key].append(time.perf_counter() - started)
                    gc.collect()
                    started = time.perf_counter()
                    frame_of(_wire.decode_columns(kind, shape.raw, None)[1], SYMBOL, EXCHANGE, None)
                    from_bytes[shape.key].append(time.perf_counter() - started)
            memory = {}
            for path in PATHS:
                for shape in todo:
                    command = [sys.executable, __file__, "--memory-child", path, shape.key, str(server.port)]
                    command += ["--quick"] if args.quick else []
                    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
                    if done.returncode != 0:
                        raise harness.BenchError(done.stderr)
                    memory[(path, shape.key)] = json.loads(done.stdout.strip().splitlines()[-1])["rss_mb"]
        finally:
            server.stop()

    load = os.getloadavg()
    print(f"frames benchmark: {args.rounds} rounds, medians; load average {load[0]:.2f} on {os.cpu_count()} cores"
          " (machine shared with other work)")
    print(f"{'shape':<26}{'frame':>10}{'floor':>10}{'records':>10}{'frame/floor':>13}{'decode Mrows/s':>16}"
          f"{'bytes':>9}{'RSS frame/floor/records MB':>30}")
    for shape in todo:
        ms = {p: statistics.median(samples[(p, shape.key)]) * 1e3 for p in PATHS}
        rate = shape.count / statistics.median(decode[shape.key]) / 1e6
        after_exchange = statistics.median(from_bytes[shape.key]) * 1e3
        rss = "/".join("-" if memory[(p, shape.key)] is None else f"{memory[(p, shape.key)]:.1f}" for p in PATHS)
        print(f"{shape.title:<26}{ms['frame']:>8.1f}ms{ms['floor']:>8.1f}ms{ms['records']:>8.1f}ms"
              f"{ms['frame'] / ms['floor']:>12.3f}x{rate:>16.2f}{after_exchange:>7.1f}ms{rss:>30}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
