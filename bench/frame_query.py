"""Benchmark of the datafeed's query_bar_frame end to end, against the floor and, optionally,
against another tree of the plug-in (an earlier commit, installed with its own build).

40,000 minute bars (bodies.py's), served by date window over loopback HTTP by a server in its
own process (each answer the bars of the dates asked for, as the service answers), so that the
plug-in asks window by window as it does of the service. Side by side in one run, alternating:

  frame    Datafeed.query_bar_frame (this tree), in a child process of its own;
  other    the same call with another tree first on PYTHONPATH (--other DIR), in its child;
  floor    requests.post + response.json() + vn.py records of one answer of the 40,000 bars
           (floor.py), in this process.

    python bench/frame_query.py [--rounds N] [--other SITE_DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import bodies
import floor
import harness
from shapes import make_shapes

COUNT = 40_000
START, END = "2023-06-01", "2024-12-31"


def serve(body_file: str) -> None:
    """The window server: the bars of [start_date, end_date] of each request, built from the
    body's records cut once into days (joined bytes per answer, nothing parsed per request)."""
    records = json.loads(Path(body_file).read_bytes())["data"]
    days: dict[str, list[bytes]] = {}
    for record in records:
        days.setdefault(record["trading_datetime"][:10], []).append(json.dumps(record).encode())
    ordered = sorted(days)

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True

        def do_POST(self) -> None:  # noqa: N802
            asked = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)) or b"{}")
            first, last = asked.get("start_date", ""), asked.get("end_date", "")
            chosen = [row for day in ordered if first <= day <= last for row in days[day]]
            self._send(b'{"code": 0, "message": "success", "data": [' + b",".join(chosen) + b"]}")

        def do_GET(self) -> None:  # noqa: N802
            self._send(b'{"code": 0, "message": "success", "data": []}')

        def _send(self, body: bytes) -> None:
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                             + str(len(body)).encode() + b"\r\n\r\n" + body)

        def log_message(self, format: str, *args: object) -> None:
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(f"port {server.server_address[1]}", flush=True)
    server.serve_forever()


def child(port: int) -> None:
    """Times one query_bar_frame per line read, answering its milliseconds and rows."""
    harness.china_home("frame-query-")
    harness.silence_logger()
    from vnpy.trader.constant import Exchange, Interval
    from vnpy.trader.object import HistoryRequest

    from norvix_datafeed import CHINA_TZ
    from vnpy_norvix.datafeed import Datafeed

    feed = Datafeed()
    feed.base_url = f"http://127.0.0.1:{port}"
    feed.initialize("bench", "bench-token")
    req = HistoryRequest(bodies.INSTRUMENT, Exchange.SHFE, datetime.fromisoformat(START).replace(tzinfo=CHINA_TZ),
                         datetime.fromisoformat(END).replace(tzinfo=CHINA_TZ), Interval.MINUTE)
    failures: list[str] = []
    for _ in sys.stdin:
        started = time.perf_counter()
        rows = feed.query_bar_frame(req, failures.append).height
        print(json.dumps({"ms": (time.perf_counter() - started) * 1e3, "rows": rows, "failures": failures}),
              flush=True)


def start_child(port: int, site: str | None) -> subprocess.Popen[str]:
    env = dict(os.environ)
    bench = str(Path(__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join([site] if site else [str(Path(bench).parent)])
    return subprocess.Popen([sys.executable, __file__, "--child", str(port)], cwd=bench, env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def ask(process: subprocess.Popen[str]) -> float:
    assert process.stdin and process.stdout
    process.stdin.write("go\n")
    process.stdin.flush()
    answer = json.loads(process.stdout.readline())
    if answer["rows"] != COUNT or answer["failures"]:
        raise harness.BenchError(f"{answer['rows']} rows instead of {COUNT}: {answer['failures']}")
    return answer["ms"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--other", help="a directory with another tree's vnpy_norvix and norvix_datafeed")
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return 0
    if args.child:
        child(args.child)
        return 0

    harness.silence_logger()
    shape = next(s for s in make_shapes(False) if s.key == "minute")
    shape.raw = bodies.minute_bars(COUNT)
    with tempfile.TemporaryDirectory() as workdir:
        body = Path(workdir) / "minute.json"
        body.write_bytes(shape.raw)
        window_server = subprocess.Popen([sys.executable, __file__, "--serve", str(body)], stdout=subprocess.PIPE,
                                         text=True)
        canned = harness.Server([shape], Path(workdir))
        children: dict[str, subprocess.Popen[str]] = {}
        try:
            assert window_server.stdout
            port = int(window_server.stdout.readline().split()[1])
            shape.base_url = f"http://127.0.0.1:{canned.port}/{shape.key}"
            shape.prepared = floor.prepare(shape)
            children["frame"] = start_child(port, None)
            if args.other:
                children["other"] = start_child(port, args.other)
            samples: dict[str, list[float]] = {name: [] for name in [*children, "floor"]}
            for name, process in children.items():
                ask(process)  # warm: imports, connections
            for _ in range(args.rounds):
                for name, process in children.items():
                    samples[name].append(ask(process))
                started = time.perf_counter()
                if len(floor.query(shape)) != COUNT:
                    raise harness.BenchError("the floor's count")
                samples["floor"].append((time.perf_counter() - started) * 1e3)
        finally:
            for process in children.values():
                process.kill()
            window_server.kill()
            canned.stop()
    load = os.getloadavg()
    print(f"query_bar_frame, {COUNT:,} minute bars: {args.rounds} rounds alternating, medians (min-max);"
          f" load average {load[0]:.2f} on {os.cpu_count()} cores")
    floor_ms = statistics.median(samples["floor"])
    for name, values in samples.items():
        middle = statistics.median(values)
        print(f"{name:<8}{middle:>8.1f} ms ({min(values):.1f}-{max(values):.1f}){middle / floor_ms:>9.3f}x floor")
    return 0


if __name__ == "__main__":
    harness.entry(main)
