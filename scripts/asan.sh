#!/usr/bin/env bash
# Runs the whole test suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option NORVIX_SANITIZE).
#
# The sanitized build goes to its own directories (CMake tree build/sanitize, installed
# module build/sanitize-site) and is put first on PYTHONPATH for the test run only: the
# normal install in .venv is left as it is. The ASan runtime is preloaded into the
# interpreter (which is not itself instrumented), Python's allocator is switched to plain
# malloc so that ASan sees every object, and leak detection is off (the interpreter keeps
# much of what it allocates until exit). Any sanitizer report aborts the run.
#
#   bash scripts/asan.sh                        # the suite, less the files that run no native code
#   bash scripts/asan.sh -k leaks -x            # extra arguments go to pytest
#   bash scripts/asan.sh -q tests/test_wire.py  # only what the arguments name
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="$ROOT/.venv/bin/python"
SITE="$ROOT/build/sanitize-site"
started=$(date +%s)

say() { printf 'asan: %s\n' "$*"; }
die() { printf 'asan: error: %s\n' "$*" >&2; exit 1; }

bash "$ROOT/scripts/setup.sh"

# --- the sanitized build ---------------------------------------------------------------
# The compiler that builds the module also provides the runtime preloaded below.
export CXX="${CXX:-g++}"
command -v "$CXX" >/dev/null || die "C++ compiler '$CXX' not found"
say "building the sanitized module into ${SITE#"$ROOT/"}"
if ! NORVIX_SANITIZE=ON "$PYTHON" -m pip --disable-pip-version-check install -q --no-deps --upgrade \
        --target "$SITE" \
        -C build-dir="$ROOT/build/sanitize" \
        -C cmake.build-type=RelWithDebInfo \
        "$ROOT" 2>&1 | { grep -v "^WARNING: Location '.*' is ignored" || true; }; then
    die "building the sanitized module failed"
fi

runtime() {
    local lib
    lib=$("$CXX" -print-file-name="$1")
    [ -f "$lib" ] || die "$CXX has no $1 (install its sanitizer runtime, e.g. libasan/libubsan)"
    printf '%s' "$lib"
}
PRELOAD="$(runtime libasan.so) $(runtime libubsan.so)"

export PYTHONPATH="$SITE:$ROOT${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

# The module that the tests will import must be the sanitized one.
ORIGIN=$(LD_PRELOAD="$PRELOAD" "$PYTHON" -c '
import importlib.util as u
print(u.find_spec("norvix_datafeed").origin)')
case "$ORIGIN" in
    "$SITE"/*) ;;
    *) die "tests would import $ORIGIN instead of the sanitized build" ;;
esac
grep -q __asan_init "$ORIGIN" || die "$ORIGIN is not instrumented"
say "testing ${ORIGIN#"$ROOT/"}"

# The tests import vnpy_norvix from the work tree (the current directory comes first on
# sys.path, and the command line's tests start `python -m vnpy_norvix` there), so the
# engine's native entry linked beside its sources must be the sanitized one for the run;
# the normal build's link is put back however the run ends.
WIRE_NAME=$("$PYTHON" -c 'import sysconfig; print("_wire" + sysconfig.get_config_var("EXT_SUFFIX"))')
WIRE_LINK="$ROOT/vnpy_norvix/$WIRE_NAME"
SANITIZED_WIRE="$SITE/vnpy_norvix/$WIRE_NAME"
grep -q __asan_init "$SANITIZED_WIRE" || die "$SANITIZED_WIRE is not instrumented"
NORMAL_WIRE=$(readlink "$WIRE_LINK") || die "$WIRE_LINK is not a link to a build (run scripts/setup.sh)"
trap 'ln -sfn "$NORMAL_WIRE" "$WIRE_LINK"' EXIT
ln -sfn "$SANITIZED_WIRE" "$WIRE_LINK"
say "testing vnpy_norvix/$WIRE_NAME -> ${SANITIZED_WIRE#"$ROOT/"}"

# --- the suite ------------------------------------------------------------------------------
# Without test paths, the suite less the files that run no native code of their own: the
# docs, typing, packaging and cross-compile checks, the local service and the calendar, and
# the command line's output, update and completeness flows (their native calls are the
# ones the other files make in process).
NOT_NATIVE=(test_docs.py test_typing.py test_packaging.py test_portability.py test_devserver.py
            test_calendar.py test_cli_console.py test_update_verify.py test_completeness.py)
selection=()
named=no
for arg in "$@"; do
    case "$arg" in tests/* | *.py | *.py::*) named=yes ;; esac
done
if [ "$named" = no ]; then
    # Absolute paths: the suite's set-up moves the working directory before --ignore is read.
    for file in "${NOT_NATIVE[@]}"; do selection+=("--ignore=$ROOT/tests/$file"); done
fi
cd "$ROOT"
status=0
LD_PRELOAD="$PRELOAD" "$PYTHON" -m pytest -p no:cacheprovider "${selection[@]}" "$@" || status=$?
say "finished in $(( $(date +%s) - started )) s with status $status"
if [ "$status" -eq 5 ]; then
    die "pytest collected no tests"
fi
exit "$status"
