"""The gain of fetching a long range's date windows side by side, and of keep-alive.

vnpy_norvix.Datafeed fetches a range larger than one answer in date windows, on a
small pool of threads. This runs the same query (a year of one-minute bars, about
13 windows) with 1, 2 and 4 workers against the local data service (its own
process, answers cached after a warm-up round), each with the engine's kept-alive
connections and with a new connection per request, interleaved round by round, and
reports the medians and their ratios.

On loopback a connection costs a fraction of a millisecond, so keep-alive gains little.
With --rtt-ms the service is reached through the test suite's fault proxy
(tests/faults/proxy.py, in a process of its own) emulating a network round trip: each
request waits that long, and a new connection's first request once more (its handshake).

    PYTHONPATH=. .venv/bin/python bench/plugin_windows.py [--rounds N] [--symbol au2406] [--rtt-ms 5]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

# vn.py creates .vntrader under HOME when it is imported: keep it out of the real one.
os.environ["HOME"] = tempfile.mkdtemp(prefix="norvix-bench-home-")

from loguru import logger  # noqa: E402
from vnpy.trader.constant import Exchange, Interval  # noqa: E402
from vnpy.trader.object import HistoryRequest  # noqa: E402

from norvix_datafeed import CHINA_TZ  # noqa: E402
from vnpy_norvix import Datafeed  # noqa: E402
from vnpy_norvix.engine import Engine  # noqa: E402
from vnpy_norvix.engine.transport import Transport  # noqa: E402
from vnpy_norvix.engine.wire import private_headers  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
import children  # noqa: E402
from faults.proxy import FaultProxy, Faults  # noqa: E402

USER, TOKEN = "demo", "demo-token"
WORKERS = (1, 2, 4)
MODES = ("keep-alive", "new connection")


def start(command: list[str], what: str) -> tuple[subprocess.Popen, str]:
    """A child process that prints "listening on <url>" first; its stdin is kept open."""
    process = subprocess.Popen(command, cwd=REPO, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True, env={**os.environ, "PYTHONPATH": str(REPO)})
    match = re.search(r"listening on (http://\S+)", process.stdout.readline())
    if not match:
        process.kill()
        raise SystemExit(f"the {what} did not start")
    return process, match.group(1)


def start_service() -> tuple[subprocess.Popen, str]:
    return start([sys.executable, "-m", "norvix_devserver", "--host", "127.0.0.1", "--port", "0", "--quiet",
                  "--user", USER, "--token", TOKEN], "data service")


def start_proxy(upstream: str, rtt: float) -> tuple[subprocess.Popen, str]:
    return start([sys.executable, __file__, "--proxy-child", upstream, str(rtt)], "delay proxy")


def proxy_child(upstream: str, rtt: float) -> int:
    """Runs the delay proxy until stdin closes."""
    with FaultProxy(upstream, Faults(latency=1.0, latency_seconds=rtt, connect_seconds=rtt)) as proxy:
        print(f"listening on {proxy.url}", flush=True)
        sys.stdin.read()
    return 0


def stop(process: subprocess.Popen, on_eof: bool) -> None:
    """Ends a child: by closing its stdin when it stops on that (the proxy), else terminated."""
    if process.stdin:
        process.stdin.close()
    children.stop(process, timeout=30, terminate=not on_eof)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--symbol", default="au2406")
    parser.add_argument("--rtt-ms", type=float, default=0.0,
                        help="emulated network round trip, through a delay proxy (default 0: loopback)")
    parser.add_argument("--proxy-child", nargs=2, metavar=("UPSTREAM", "SECONDS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.proxy_child:
        return proxy_child(args.proxy_child[0], float(args.proxy_child[1]))
    if not 0 <= args.rtt_ms <= 1000 or args.rounds < 1:
        parser.error("--rtt-ms must be within 0..1000 and --rounds at least 1")

    logger.remove()  # the core's lines are not what is measured
    process, url = start_service()
    children = [process]
    try:
        if args.rtt_ms:
            proxy, url = start_proxy(url, args.rtt_ms / 1000)
            children.append(proxy)
        feed = Datafeed()
        feed.base_url = url
        feed.initialize(USER, TOKEN)
        req = HistoryRequest(symbol=args.symbol, exchange=Exchange.SHFE, interval=Interval.MINUTE,
                             start=datetime(2024, 1, 1, tzinfo=CHINA_TZ), end=datetime(2024, 12, 31, tzinfo=CHINA_TZ))
        failures: list[str] = []
        expected = len(feed.query_bar_history(req, failures.append))  # warm-up: fills the service's cache
        if failures or not expected:
            raise SystemExit(f"warm-up failed: {failures}")

        engine = Engine.of(feed)
        transports = {MODES[0]: engine.transport, MODES[1]: Transport(url, private_headers(), keep_alive=False)}
        runs = [(mode, workers) for workers in WORKERS for mode in MODES]
        times: dict[tuple[str, int], list[float]] = {run: [] for run in runs}
        for round_number in range(args.rounds):
            # Rotate the order so that no run always comes first.
            order = runs[round_number % len(runs):] + runs[:round_number % len(runs)]
            for mode, workers in order:
                feed.workers = workers
                engine.transport = transports[mode]
                began = time.perf_counter()
                count = len(feed.query_bar_history(req, failures.append))
                times[mode, workers].append(time.perf_counter() - began)
                if count != expected or failures:
                    raise SystemExit(f"{workers} workers, {mode}: {count} bars instead of {expected} {failures}")
    finally:
        for child in reversed(children):
            stop(child, on_eof=child is not process)

    print(f"{args.symbol} one-minute bars 2024-01-01..2024-12-31: {expected} bars, "
          f"{args.rounds} rounds, {os.cpu_count()} CPUs")
    if args.rtt_ms:
        print(f"  emulated network: {args.rtt_ms:g} ms round trip. A delay proxy (tests/faults/proxy.py, own process) "
              f"holds every request {args.rtt_ms:g} ms, and a new connection's first request {args.rtt_ms:g} ms more "
              "(its handshake); it reads each whole answer from the service over a fresh loopback connection "
              "before passing it on. Bandwidth and TCP slow start are not emulated.")
    else:
        print("  loopback, no emulated network (see --rtt-ms)")
    base = statistics.median(times[MODES[0], 1])
    for workers in WORKERS:
        kept, fresh = (statistics.median(times[mode, workers]) for mode in MODES)
        print(f"  {workers} worker(s): keep-alive median {kept * 1000:7.1f} ms (x{base / kept:.2f} of 1 worker)   "
              f"new connection per request {fresh * 1000:7.1f} ms   keep-alive gain x{fresh / kept:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
