#!/usr/bin/env bash
# The main job: sets everything up (scripts/setup.sh), starts the development data
# service on 127.0.0.1:8081 and runs the module's self-test against it, with vn.py
# settings in a temporary HOME that carry the service's demo credentials.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
HOST=127.0.0.1
PORT=8081
USER_NAME=demo
TOKEN=demo-token

bash "$ROOT/scripts/setup.sh"
PYTHON="$ROOT/.venv/bin/python"

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

(cd "$ROOT" && exec "$PYTHON" -m norvix_devserver --host "$HOST" --port "$PORT" \
    --user "$USER_NAME" --token "$TOKEN") >"$WORK/server.log" 2>&1 &
SERVER_PID=$!

for _ in $(seq 100); do
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
printf '{"datafeed.username": "%s", "datafeed.password": "%s"}\n' "$USER_NAME" "$TOKEN" \
    >"$HOME/.vntrader/vt_setting.json"

status=0
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
