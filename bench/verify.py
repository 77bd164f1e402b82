"""`verify` and a second `update` against the downloads that filled the store.

Each round, in a fresh HOME with vn.py's SQLite database, as whole commands in child
processes against the local data service (on a thread of this process): the main job's
downloads (both products' dominant contracts, minute bars then ticks: bench/download.py's
commands, each with its own end), `update` up to the later of the two ends (what the
earlier one misses is fetched), `update` again right away (nothing left to fetch), then
`verify` (every stored series against the service's daily bars) and `verify --deep` (every
record against a fresh download). Medians over the rounds, and the ratios of the second
update and of both verifies to the downloads; every command must exit 0 (verify: nothing
found). The commands keep their own ends (an explicit end is remembered), so `update`
fetches only what a command's own range misses.

    PYTHONPATH=. .venv/bin/python bench/verify.py [--rounds N]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from download import REPO, TOKEN, USER, main_commands, service


def run(home: Path, argv: list[str]) -> float:
    """Seconds the command took; it must exit 0."""
    env = {**os.environ, "HOME": str(home), "TZ": "Asia/Shanghai",
           "PYTHONPATH": os.pathsep.join(filter(None, [str(REPO), os.environ.get("PYTHONPATH")]))}
    began = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "vnpy_norvix", *argv], cwd=home, env=env, capture_output=True,
                          text=True)
    seconds = time.perf_counter() - began
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} exited {done.returncode}:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")
    return seconds


def one_round(url: str) -> dict[str, float]:
    home = Path(tempfile.mkdtemp(prefix="norvix-bench-verify-"))
    try:
        (home / ".vntrader").mkdir()
        (home / ".vntrader" / "vt_setting.json").write_text(json.dumps({
            "datafeed.username": USER, "datafeed.password": TOKEN, "datafeed.base_url": url,
            "database.timezone": "Asia/Shanghai"}))
        commands = main_commands()
        downloads = sum(run(home, ["download", *command.args]) for command in commands)
        end = max(command.args[command.args.index("--end") + 1] for command in commands)
        first = run(home, ["update", "--end", end])
        return {"downloads": downloads, "update": first, "update again": run(home, ["update", "--end", end]),
                "verify": run(home, ["verify"]), "verify --deep": run(home, ["verify", "--deep"])}
    finally:
        shutil.rmtree(home, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    rounds = parser.parse_args().rounds
    with service() as url:
        results = [one_round(url) for _ in range(rounds)]
    medians = {name: statistics.median(result[name] for result in results) for name in results[0]}
    print(f"load average before/after: {os.getloadavg()}")
    for name, seconds in medians.items():
        print(f"{name:12} {seconds:7.2f} s  (rounds: {', '.join(f'{r[name]:.2f}' for r in results)})")
    print(f"update again / downloads: {medians['update again'] / medians['downloads']:.2f}")
    print(f"verify / downloads: {medians['verify'] / medians['downloads']:.2f}")
    print(f"verify --deep / downloads: {medians['verify --deep'] / medians['downloads']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
