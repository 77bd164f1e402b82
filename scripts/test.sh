#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs the test suite.
# Arguments are pytest's: none runs the whole suite (tests/), then the core's tests again
# against its Python form; any given run only what they name, against the extension
# (or the Python form with NORVIX_IMPL=py), e.g.: bash scripts/test.sh tests/test_engine.py -x
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$ROOT/scripts/setup.sh"

cd "$ROOT"
# The development data service (norvix_devserver) is imported from the work tree.
export PYTHONPATH="$ROOT${PYTHONPATH:+:$PYTHONPATH}"
# Generate the service's database up front (a no-op when it is current), so
# that tests starting the service do not wait for it.
"$ROOT/.venv/bin/python" -m norvix_devserver generate
# The core's tests, run a second time against its Python form (python_form/norvix_py.py,
# NORVIX_IMPL=py in tests/helpers.py), so that one suite holds both forms to the same
# behaviour. The rest of the suite tests the plug-in, the service or the native build
# itself (reference leaks, the native reader against its Python model) and runs once.
CORE_TESTS=()
for name in attribution conversion_props core_reference datafeed hardening history plugin_reference request \
            secrets surface threads vnpy_host wire wire_faults; do
    CORE_TESTS+=("tests/test_$name.py")
done

run() {
    local status=0
    "$@" || status=$?
    if [ "$status" -eq 5 ]; then
        echo "test: pytest collected no tests" >&2
        status=1
    fi
    return "$status"
}

status=0
run "$ROOT/.venv/bin/python" -m pytest "$@" || status=$?
if [ "$#" -eq 0 ]; then
    echo "test: the core's tests against its Python form (NORVIX_IMPL=py)"
    run env NORVIX_IMPL=py "$ROOT/.venv/bin/python" -m pytest -q "${CORE_TESTS[@]}" || status=$?
fi
exit "$status"
