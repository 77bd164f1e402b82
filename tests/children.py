"""Ending a child process the tests or the benchmarks started (a server, a proxy)."""

from __future__ import annotations

import subprocess


def stop(process: subprocess.Popen, timeout: float, terminate: bool = True) -> None:
    """Ends `process`: terminated (unless `terminate` is false, for a child that ends by
    itself, e.g. once its stdin is closed), and killed if it has not ended within
    `timeout` seconds."""
    if terminate and process.poll() is None:
        process.terminate()
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
