"""A remembered `download --contracts all` over five products, its second night's `update`
counted in requests at the local service, against what a night has to ask: every live
contract once per interval (a contract whose last trading day has passed and whose days
are all recorded is asked nothing).

The download runs at 18:30 China time on one trading day and `update` at 18:30 on the
next (both clocks set with libfaketime; the service answers by the machine's clock, its
data being old enough to be all published). Printed: the requests of the second night by
endpoint, the live contracts (those listed on the second day, by the service's own
contract list) times the intervals, and the ratio.

    PYTHONPATH=. .venv/bin/python bench/nightly.py
"""

from __future__ import annotations

import collections
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from datetime import date
from pathlib import Path

from download import REPO, TOKEN, USER

from norvix_devserver import make_server

PRODUCTS = ("rb", "au", "IF", "SR", "m")
INTERVALS = ("d", "1m")
START, FIRST_NIGHT, SECOND_NIGHT = "2024-01-02", "2024-06-24 18:30:00", "2024-06-25 18:30:00"
# The requests for a contract's records; the others ask for reference data.
DATA_PATHS = ("/daybar/query", "/minutebar/query", "/tickdata/query")


def night(home: Path, moment: str, argv: list[str]) -> None:
    faketime = shutil.which("faketime")
    if faketime is None:
        raise SystemExit("libfaketime is needed (scripts/setup.sh)")
    env = {**os.environ, "HOME": str(home), "TZ": "Asia/Shanghai", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
           "PYTHONPATH": os.pathsep.join(filter(None, [str(REPO), os.environ.get("PYTHONPATH")]))}
    done = subprocess.run([faketime, moment, sys.executable, "-m", "vnpy_norvix", *argv], cwd=home, env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} exited {done.returncode}:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")


def main() -> int:
    asked: collections.Counter[str] = collections.Counter()
    server = make_server("127.0.0.1", 0, user=USER, token=TOKEN, quiet=True)
    app = server.app

    def counted(environ, start_response):  # type: ignore[no-untyped-def]
        asked[environ["PATH_INFO"]] += 1
        return app(environ, start_response)

    server.app = counted
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    home = Path(tempfile.mkdtemp(prefix="norvix-bench-nightly-"))
    try:
        (home / ".vntrader").mkdir()
        (home / ".vntrader" / "vt_setting.json").write_text(json.dumps({
            "datafeed.username": USER, "datafeed.password": TOKEN, "datafeed.base_url": server.url,
            "database.timezone": "Asia/Shanghai"}))
        night(home, FIRST_NIGHT, ["download", "--product", *PRODUCTS, "--contracts", "all", "--start", START,
                                  "--interval", *INTERVALS])
        first = sum(asked.values())
        asked.clear()
        night(home, SECOND_NIGHT, ["update"])
        day = date.fromisoformat(SECOND_NIGHT[:10])
        live = {record["instrument_id"] for product in PRODUCTS for record in json.loads(server.store.current(product, day))}
    finally:
        server.shutdown()
        server.server_close()
        shutil.rmtree(home, ignore_errors=True)
    data = sum(count for path, count in asked.items() if path in DATA_PATHS)
    wanted = len(live) * len(INTERVALS)
    print(f"load average: {os.getloadavg()}")
    print(f"first night (download): {first} requests")
    print(f"second night (update): {sum(asked.values())} requests: {dict(sorted(asked.items()))}")
    print(f"live contracts x intervals: {len(live)} x {len(INTERVALS)} = {wanted}")
    print(f"records' requests / (live contracts x intervals): {data / wanted:.2f}; "
          f"all requests / it: {sum(asked.values()) / wanted:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
