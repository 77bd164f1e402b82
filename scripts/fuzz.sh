#!/usr/bin/env bash
# A long differential fuzzing campaign: every query of the installed module against the
# Python form, run by tests/oracle.py (tests/test_differential.py and the bytes-level
# tests/test_native_decode.py with more examples).
#
#   bash scripts/fuzz.sh [N]     N cases in all (default 100000): one twentieth of them
#                                over HTTP to a local server, one tenth as answers written
#                                byte by byte over HTTP (the natively decoded history
#                                queries), one twentieth as answers whose every number is
#                                written with 1 to 40 significant digits (records and
#                                columns against float(json.loads(text)), to the bit), the
#                                rest through a stand-in for `requests`, shared evenly
#                                between the queries.
#
# A divergence does not stop the campaign: each test counts its cases and divergences and
# keeps the first few. The last line is the summary, e.g. "fuzz: 100000 cases, 0 divergences";
# the exit status is 1 when any case diverged. Extra arguments go to pytest (e.g. -k tick);
# The model is the Python form (python_form/norvix_py.py): the campaign is for the
# extension, and NORVIX_IMPL=py skips it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="$ROOT/.venv/bin/python"
[ -x "$PYTHON" ] || { echo "fuzz: $PYTHON not found; run scripts/setup.sh first" >&2; exit 2; }

N="${1:-100000}"
shift || true
case "$N" in ''|*[!0-9]*) echo "usage: $0 [N] [pytest arguments]" >&2; exit 2 ;; esac

HTTP_TESTS=5 WIRE_TESTS=3 NUMBER_TESTS=3 FAKE_TESTS=8
HTTP_EACH=$(( N / 20 / HTTP_TESTS ))
WIRE_EACH=$(( N / 10 / WIRE_TESTS ))
NUMBER_EACH=$(( N / 20 / NUMBER_TESTS ))
FAKE_EACH=$(( (N - HTTP_EACH * HTTP_TESTS - WIRE_EACH * WIRE_TESTS - NUMBER_EACH * NUMBER_TESTS + FAKE_TESTS - 1)
              / FAKE_TESTS ))

REPORT="$(mktemp "${TMPDIR:-/tmp}/norvix-fuzz.XXXXXX")"
OUTPUT="$REPORT.pytest"
trap 'rm -f "$REPORT" "$OUTPUT"' EXIT

echo "fuzz: $FAKE_EACH cases for each of $FAKE_TESTS queries, $HTTP_EACH over HTTP for each of $HTTP_TESTS," \
    "$WIRE_EACH answers as bytes for each of $WIRE_TESTS, $NUMBER_EACH answers of long numbers for each of $NUMBER_TESTS"
cd "$ROOT"
status=0
NORVIX_FUZZ_EXAMPLES="$FAKE_EACH" NORVIX_FUZZ_HTTP_EXAMPLES="$HTTP_EACH" NORVIX_FUZZ_WIRE_EXAMPLES="$WIRE_EACH" \
    NORVIX_FUZZ_NUMBER_ANSWERS="$NUMBER_EACH" NORVIX_FUZZ_REPORT="$REPORT" "$PYTHON" -m pytest tests/test_differential.py \
    "tests/test_native_decode.py::test_bytes_over_http_agree_with_model" \
    "tests/test_frames.py::test_numbers_of_any_length_read_as_float_of_their_text" \
    -q -p no:cacheprovider -p no:logging "$@" >"$OUTPUT" 2>&1 ||
    status=$?

"$PYTHON" - "$REPORT" "$status" "$OUTPUT" <<'EOF'
import json
import sys

report, status, output = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(report, encoding="utf-8") as lines:
    results = [json.loads(line) for line in lines if line.strip()]
for result in results:
    print(f"  {result['test']}: {result['cases']} cases, {result['divergences']} divergences")
    for example in result["examples"]:
        print("    " + example.replace("\n", "\n    "))
cases = sum(r["cases"] for r in results)
divergences = sum(r["divergences"] for r in results)
if status and not divergences:
    with open(output, encoding="utf-8", errors="replace") as text:
        print("".join(text.readlines()[-40:]), end="")
    print(f"fuzz: pytest ended with status {status} without a divergence")
print(f"fuzz: {cases} cases, {divergences} divergences")
sys.exit(1 if divergences or status else 0)
EOF
