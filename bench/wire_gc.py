"""What the cyclic collector costs _wire.decode on a large answer while many records live.

    PYTHONPATH=.:bench .venv/bin/python bench/wire_gc.py [--alive N] [--repeat R]

Prints, per answer, the best and median time of `decode` and the collections that ran
during it (gc.callbacks), with the collector enabled as a program normally has it."""

import argparse
import gc
import statistics
import time

from vnpy.trader.constant import Exchange

import bodies
from vnpy_norvix import _wire


def measure(query: str, body: bytes, repeat: int) -> tuple[float, float, float]:
    runs: list[float] = []
    collections = 0

    def count(phase: str, info: dict[str, int]) -> None:
        nonlocal collections
        collections += phase == "start"

    gc.callbacks.append(count)
    try:
        for _ in range(repeat):
            start = time.perf_counter()
            status, records, *_ = _wire.decode(query, body, "rb2405", Exchange.SHFE, "pw")
            runs.append(time.perf_counter() - start)
            assert status == _wire.OK and records
            del records
    finally:
        gc.callbacks.remove(count)
    return min(runs), statistics.median(runs), collections / repeat


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--alive", type=int, default=120_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    alive = _wire.decode("minute", bodies.minute_bars(args.alive), "rb2405", Exchange.SHFE, "pw")[1]
    print(f"{len(alive)} bars alive, collector {'on' if gc.isenabled() else 'off'}")
    for query, body in (("minute", bodies.minute_bars(40_000)), ("tick", bodies.ticks(30_000))):
        best, median, collections = measure(query, body, args.repeat)
        print(f"{query:6} {len(body) / 1e6:5.1f} MB  best {best * 1e3:7.1f} ms  median {median * 1e3:7.1f} ms"
              f"  collections per call {collections:.1f}")


if __name__ == "__main__":
    main()
