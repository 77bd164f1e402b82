#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs the test suite.
# Arguments are pytest's: none runs the whole suite (tests/), and any given run only
# what they name, e.g.: bash scripts/test.sh tests/test_engine.py -x, or -k tick
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$ROOT/scripts/setup.sh"

cd "$ROOT"
# The development data service (norvix_devserver) is imported from the work tree.
export PYTHONPATH="$ROOT${PYTHONPATH:+:$PYTHONPATH}"
# Generate the service's database up front (a no-op when it is current), so
# that tests starting the service do not wait for it.
"$ROOT/.venv/bin/python" -m norvix_devserver generate
status=0
"$ROOT/.venv/bin/python" -m pytest "$@" || status=$?
if [ "$status" -eq 5 ]; then
    echo "test: pytest collected no tests" >&2
    exit 1
fi
exit "$status"
