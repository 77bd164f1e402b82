#!/usr/bin/env bash
# The main job, in one command:
#   1. sets everything up (scripts/setup.sh),
#   2. generates the local data service's database if it is missing or out of date,
#   3. starts the service (norvix_devserver) on 127.0.0.1:8081 and stops it at the end,
#   4. runs a vn.py user's whole flow (scripts/demo.py): the command line downloads two
#      products' dominant contracts (daily and one-minute bars, three days of ticks) into
#      vn.py's SQLite database and builds their adjusted continuous series, vn.py's CTA
#      backtesting engine runs a bundled demo strategy on them and prints its statistics,
#      and a chart per product (continuous candles, rolls, equity curve) is written as PNG,
#   5. runs the module's self-test against the service with the default base_url.
# vn.py's settings and its database live in a temporary HOME that carries the service's
# address and demo credentials; the session runs in China time, the database's zone.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
HOST=127.0.0.1
PORT=8081
USER_NAME=demo
TOKEN=demo-token
CHART_DIR="$ROOT/.devdata/demo"

bash "$ROOT/scripts/setup.sh"
PYTHON="$ROOT/.venv/bin/python"
# norvix_devserver and the demo are run from the work tree.
export PYTHONPATH="$ROOT${PYTHONPATH:+:$PYTHONPATH}"
# Every exchange here is with 127.0.0.1: keep any configured proxy out of it.
export NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}" no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}"

WORK="$(mktemp -d)"
SERVER_PID=""
cleanup() {
    if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

port_answers() { (exec 3<>"/dev/tcp/$HOST/$PORT") 2>/dev/null; }

if port_answers; then
    echo "main: $HOST:$PORT is already in use; stop whatever listens there first" >&2
    exit 1
fi

started=$SECONDS
(cd "$ROOT" && "$PYTHON" -m norvix_devserver generate)
echo "main: data service database ready ($((SECONDS - started)) s)"

(cd "$ROOT" && exec "$PYTHON" -m norvix_devserver --host "$HOST" --port "$PORT" \
    --user "$USER_NAME" --token "$TOKEN") >"$WORK/server.log" 2>&1 &
SERVER_PID=$!

for _ in $(seq 150); do
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then
        cat "$WORK/server.log" >&2
        echo "main: the data service did not start" >&2
        exit 1
    fi
    port_answers && break
    sleep 0.1
done
port_answers || { echo "main: the data service does not answer on $HOST:$PORT" >&2; exit 1; }
echo "main: data service running on http://$HOST:$PORT (pid $SERVER_PID)"

# vn.py reads its settings from .vntrader/vt_setting.json in the working directory
# if that folder exists, else in HOME: run from the temporary HOME itself.
export HOME="$WORK/home"
mkdir -p "$HOME/.vntrader"
printf '{"datafeed.name": "norvix", "datafeed.username": "%s", "datafeed.password": "%s",
 "datafeed.base_url": "http://%s:%s", "database.name": "sqlite", "database.timezone": "Asia/Shanghai"}\n' \
    "$USER_NAME" "$TOKEN" "$HOST" "$PORT" >"$HOME/.vntrader/vt_setting.json"
# vn.py's SQLite adapter reads its times back in the process's local zone.
export TZ=Asia/Shanghai

status=0
(cd "$HOME" && exec "$PYTHON" "$ROOT/scripts/demo.py" --chart-dir "$CHART_DIR") || status=$?
if [ "$status" -ne 0 ]; then
    echo "main: the session failed (exit $status); data service log:" >&2
    tail -n 20 "$WORK/server.log" >&2
    exit "$status"
fi

echo
echo "== The module's self-test (run as the main program, default base_url)"
(cd "$HOME" && exec "$PYTHON" "$ROOT/scripts/selftest.py") >"$WORK/selftest.log" 2>&1 || status=$?
cat "$WORK/selftest.log"
if [ "$status" -ne 0 ]; then
    echo "main: self-test failed (exit $status); data service log:" >&2
    tail -n 20 "$WORK/server.log" >&2
    exit "$status"
fi

# The self-test ends by logging the number of multiplier records it received.
count=$(tail -n 1 "$WORK/selftest.log" | sed -n 's/.* - \([0-9][0-9]*\)$/\1/p')
if [ -z "$count" ] || [ "$count" -eq 0 ]; then
    echo "main: the self-test received no contract multipliers from the data service" >&2
    exit 1
fi
echo "main: self-test passed, $count contract multiplier records received"
