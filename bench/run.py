"""Benchmark of the native datafeed against the pure-Python one and a floor.

Three implementations answer the same history queries, side by side in one run:

  a  the extension module `norvix_datafeed`;
  b  python_form/norvix_py.py, the Python form: the same datafeed written as an
     ordinary Python module;
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
with a temporary HOME. The pieces: shapes.py (the answers), floor.py, implementations.py
(a, b and c), harness.py (timing, checks, memory, the server), report.py.
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
from pathlib import Path

import floor
import harness
import implementations
from harness import IMPLS, BenchError, compare, timed
from implementations import Implementations
from report import report
from shapes import Shape, make_shapes

import norvix_datafeed


# --- correctness -------------------------------------------------------------------------------


def check(impls: Implementations, shapes: list[Shape]) -> None:
    """a, b and c build equal records for every shape, over HTTP and through the
    stand-in, and a and b write the same log lines."""
    for shape in shapes:
        results, logs = {}, {}
        for impl in IMPLS:
            harness.SINK.captured = []
            try:
                results[impl] = impls.end_to_end(impl, shape)()
            finally:
                logs[impl], harness.SINK.captured = harness.SINK.captured, None
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


# --- memory (a child process) ------------------------------------------------------------------


def memory_child(impl: str, shape_key: str, port: int, quick: bool) -> None:
    """One implementation, one shape: prints the peaks of one end-to-end call and of
    one conversion as a JSON line."""
    shapes = {s.key: s for s in make_shapes(quick)}
    for s in shapes.values():
        s.base_url = f"http://127.0.0.1:{port}/{s.key}"
    shape, warm = shapes[shape_key], shapes["daily20"]
    impls = Implementations()
    harness.silence_logger()
    for s in {shape.key: shape, warm.key: warm}.values():
        s.raw = harness.fetch(s)
        if impl == "c":
            s.prepared = floor.prepare(s)
    raw, shape.raw = shape.raw, b""
    impls.end_to_end(impl, warm)()
    gc.collect()
    gc.freeze()
    what = f"{impl} {shape.title}"

    # Growth of the peak resident set size over one end-to-end call, the first of
    # this shape, without tracemalloc's own bookkeeping.
    rss_mb = None
    if harness.reset_peak_rss():
        before = harness.status_kb("VmRSS")
        result = impls.end_to_end(impl, shape)()
        rss_mb = (harness.status_kb("VmHWM") - before) / 1024
        del result
    else:
        impls.end_to_end(impl, shape)()

    e2e = harness.traced(impls.end_to_end(impl, shape), shape.count, what)

    # Conversion alone: the decoded body exists before tracing starts, so the peak is
    # what converting adds (the records and whatever is transient).
    shape.raw = raw
    call, undo = impls.conversion(impl, shape)
    shape.raw = b""
    del raw
    try:
        conv = harness.traced(call, shape.count, what + " (conversion)")
    finally:
        undo()
    print(json.dumps({"e2e_bytes": e2e, "conv_bytes": conv, "rss_mb": rss_mb}))


# --- main ---------------------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=None, help="timed rounds (default 7, 3 with --quick)")
    parser.add_argument("--quick", action="store_true", help="a tenth of the records, for a smoke run")
    parser.add_argument("--out", type=Path, help="also write the Markdown report to this file")
    parser.add_argument("--skip-memory", action="store_true", help="leave out the memory pass")
    args = harness.parse(parser, "IMPL", memory_child)
    if args is None:
        return 0

    rounds = args.rounds if args.rounds is not None else (3 if args.quick else 7)
    if rounds < 1:
        parser.error("--rounds must be at least 1")
    if not Path(norvix_datafeed.__file__).suffix == ".so":
        raise BenchError(f"norvix_datafeed comes from {norvix_datafeed.__file__}, not from the extension")

    print(f"norvix_datafeed: {norvix_datafeed.__file__}", file=sys.stderr)
    shapes, impls = implementations.prepare(args.quick)

    def checked() -> None:
        check(impls, shapes)
        print("check passed: a, b and c build equal records for every shape", file=sys.stderr, flush=True)

    samples, memory, loads = harness.session(shapes, checked, lambda: run_rounds(impls, shapes, rounds),
                                             not args.skip_memory, args.quick)
    return harness.publish(report(shapes, samples, memory, rounds, loads), args.out)


if __name__ == "__main__":
    harness.entry(main)
