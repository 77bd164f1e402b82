#!/usr/bin/env bash
# Benchmark: the native datafeed against the pure-Python one and a floor (plain
# requests + vn.py records), over loopback HTTP. See bench/README.md.
#   bash scripts/bench.sh [--rounds N] [--quick] [--out FILE] [--skip-memory]
#   bash scripts/bench.sh --native [--rounds N] [--quick] [--out FILE]   (bench/native.py)
#   bash scripts/bench.sh --download [--rounds N] [--only sqlite|postgresql|year] [--skip-year]
#                                                                        (bench/download.py)
# Sets everything up first (scripts/setup.sh, its output on stderr); the report goes
# to stdout.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [ -f "$ROOT/scripts/setup.sh" ]; then
    bash "$ROOT/scripts/setup.sh" >&2
fi

# vn.py creates .vntrader under HOME when it is imported: keep it out of the real one.
BENCH_HOME="$(mktemp -d)"
trap 'rm -rf "$BENCH_HOME"' EXIT
export HOME="$BENCH_HOME"
export NORVIX_BENCH_COMMAND="bash scripts/bench.sh${*:+ $*}"

cd "$ROOT"
if [ "${1:-}" = "--native" ]; then
    shift
    exec "$ROOT/.venv/bin/python" bench/native.py "$@"
fi
if [ "${1:-}" = "--download" ]; then
    shift
    # The commands it times are run from the work tree, as the main job runs them.
    PYTHONPATH="$ROOT${PYTHONPATH:+:$PYTHONPATH}" exec "$ROOT/.venv/bin/python" bench/download.py "$@"
fi
"$ROOT/.venv/bin/python" bench/run.py "$@"
