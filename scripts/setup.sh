#!/usr/bin/env bash
# Prepares the development environment; safe to run again at any time.
#   - finds CPython 3.13 and creates .venv with it (kept when it already works),
#   - installs the pinned dependencies (requirements/) and, where apt-get can, simdjson,
#   - builds the extension from the current sources and installs it into .venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PYENV_DIR="${PYENV_ROOT:-$HOME/.pyenv}"

say() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

# Prints the real path of a base (non-venv) CPython 3.13 run by the given command,
# or fails. A pyenv shim that has no version selected fails here too.
probe_python() {
    "$@" -c '
import os, sys
assert sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 13)
assert sys.prefix == sys.base_prefix
print(os.path.realpath(sys.executable))' 2>/dev/null
}

find_python() {
    local found version candidate
    if found=$(probe_python python3.13); then
        echo "$found"; return 0
    fi
    # The pyenv shim runs only with a version selected.
    if [ -d "$PYENV_DIR/versions" ]; then
        for version in $(ls "$PYENV_DIR/versions" | grep -E '^3\.13(\.[0-9]+)?$' | sort -rV); do
            if found=$(probe_python env PYENV_VERSION="$version" python3.13); then
                echo "$found"; return 0
            fi
        done
    fi
    for candidate in "$PYENV_DIR"/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
        if [ -x "$candidate" ] && found=$(probe_python "$candidate"); then
            echo "$found"; return 0
        fi
    done
    return 1
}

venv_ok() {
    [ -x "$VENV/bin/python" ] &&
        "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13); import pip' 2>/dev/null
}

# pip, without the warnings about configured package locations that do not exist
# on this machine (they repeat for every package looked up).
PIP_NOISE="^WARNING: Location '.*' is ignored: it is neither a file nor a directory\.$"
pip() {
    local -a status
    { "$VENV/bin/python" -m pip --disable-pip-version-check "$@" 2>&1 1>&3 3>&- |
        { grep -v -- "$PIP_NOISE" >&2 || true; }
      status=("${PIPESTATUS[@]}"); } 3>&1
    return "${status[0]}"
}

talib_headers_present() {
    local dir
    for dir in /usr/include /usr/local/include "${TA_INCLUDE_PATH:-/nonexistent}"; do
        [ -f "$dir/ta-lib/ta_libc.h" ] || [ -f "$dir/ta_libc.h" ] && return 0
    done
    return 1
}

# ta-lib ships binary wheels with its C library inside for the common platforms.
# Where none fits, pip builds it from source, which needs the TA-Lib C library.
install_talib_c_library() {
    if talib_headers_present; then
        return 0
    fi
    if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
        local package
        for package in libta-lib-dev ta-lib; do
            if apt-cache show "$package" >/dev/null 2>&1; then
                say "installing the TA-Lib C library ($package) for the ta-lib source build"
                DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null
                return 0
            fi
        done
    fi
    die "ta-lib has no binary wheel for this platform ($(uname -m)) and the TA-Lib C library" \
        "is not installed. Install it (headers ta-lib/ta_libc.h, library libta-lib) and run" \
        "this script again; set TA_INCLUDE_PATH and TA_LIBRARY_PATH if it is not under /usr."
}

# Installs an optional Debian package where apt-get can; without it only what it serves is
# missing (said by the second argument), so a failed or impossible install is no error.
install_optional_package() {
    local package="$1" without="$2"
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' && return 0
    if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ] && apt-cache show "$package" >/dev/null 2>&1; then
        if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null 2>&1; then
            say "installed $package"
        else
            say "$package could not be installed; $without"
        fi
    fi
}

# vn.py is installed without its dependencies (requirements/vnpy.txt), so pip's check
# after each install would report its GUI packages as missing, as an ERROR. The installs
# skip that check; this one reports every other inconsistency.
VNPY_LEFT_OUT="^vnpy [^ ]+ requires [^ ]+, which is not installed\.$"
check_dependencies() {
    local report
    report=$("$VENV/bin/python" -m pip --disable-pip-version-check check 2>&1 |
        grep -v -E -- "$VNPY_LEFT_OUT" | grep -v -- "$PIP_NOISE" | grep -v '^No broken requirements found\.$' || true)
    if [ -n "$report" ]; then
        printf 'setup: warning: inconsistent dependencies in .venv:\n%s\n' "$report" >&2
    fi
}

# --- interpreter and virtual environment -----------------------------------------
if venv_ok; then
    say "using .venv ($("$VENV/bin/python" -c 'import platform; print(platform.python_version())'))"
else
    PYTHON=$(find_python) || die "CPython 3.13 not found: tried python3.13, PYENV_VERSION=3.13.x python3.13," \
        "$PYENV_DIR/versions/3.13*/bin/python3.13 and /usr/bin/python3.13. Install CPython 3.13 and run again."
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
    say "created .venv with $PYTHON"
fi

# --- dependencies -----------------------------------------------------------------
# simdjson: the build uses it when CMake finds it (the native JSON decoder).
install_optional_package libsimdjson-dev "building without simdjson"
# The Windows cross compiler, for tests/test_portability.py.
install_optional_package g++-mingw-w64-x86-64 "the Windows compile check will be skipped"
# libfaketime, for tests that run whole commands at chosen times of the trading calendar.
install_optional_package faketime "the tests of commands run at a chosen time will be skipped"
if ! pip install -q --no-warn-conflicts -r "$ROOT/requirements/runtime.txt"; then
    if "$VENV/bin/python" -c 'import talib' 2>/dev/null; then
        die "installing requirements/runtime.txt failed"
    fi
    install_talib_c_library
    pip install -q --no-warn-conflicts -r "$ROOT/requirements/runtime.txt" ||
        die "installing requirements/runtime.txt failed"
fi
"$VENV/bin/python" -c 'import talib' || die "ta-lib is installed but does not import"
pip install -q --no-deps -r "$ROOT/requirements/vnpy.txt"
pip install -q --no-warn-conflicts -r "$ROOT/requirements/test.txt"
pip install -q --no-deps -r "$ROOT/requirements/apps.txt"
check_dependencies
say "dependencies installed: requirements/runtime.txt, vnpy.txt (--no-deps), test.txt, apps.txt (--no-deps)"

# --- PostgreSQL, for the server database test ----------------------------------------
# Debian's server binaries; the test runs its own server in a temporary directory.
if [ ! -x /usr/lib/postgresql/15/bin/initdb ] && command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    say "installing PostgreSQL 15 (postgresql-15) for the server database test"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql-15 >/dev/null ||
        say "warning: installing postgresql-15 failed; the server database test will be skipped"
fi

# --- MariaDB, for the MySQL database tests -------------------------------------------
# Debian's server; the tests run their own in a temporary directory.
if ! command -v mariadbd >/dev/null && [ ! -x /usr/sbin/mariadbd ] && command -v apt-get >/dev/null &&
    [ "$(id -u)" = 0 ]; then
    say "installing MariaDB (mariadb-server) for the MySQL database tests"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mariadb-server >/dev/null ||
        say "warning: installing mariadb-server failed; the MySQL database tests will be skipped"
fi

# --- the extension ----------------------------------------------------------------
# The distribution was called norvix_datafeed before it took vn.py's plug-in name; an old
# record of it would claim the same files.
if "$VENV/bin/python" -m pip --disable-pip-version-check show -q norvix_datafeed >/dev/null 2>&1; then
    pip uninstall -q -y norvix_datafeed
fi
# pip always rebuilds a local project; the CMake build tree under build/ is kept, so
# only changed sources are recompiled.
pip install -q --force-reinstall --no-deps "$ROOT" || die "building norvix_datafeed failed"
ORIGIN=$("$VENV/bin/python" -c 'import importlib.util as u; print(u.find_spec("norvix_datafeed").origin)') ||
    die "norvix_datafeed is not importable from .venv after the install"
say "built and installed norvix_datafeed: ${ORIGIN#"$ROOT/"}"
# The tests and tools run with the work tree first on PYTHONPATH, where its vnpy_norvix/
# shadows the installed package: the engine's native entry built into .venv is linked
# beside the sources (a git-ignored link; the wheel takes the one CMake installs).
WIRE=$("$VENV/bin/python" -c '
import importlib.machinery as m, sys, sysconfig
from pathlib import Path
sys.path = [p for p in sys.path if p and Path(p).resolve() != Path(sys.argv[1]).resolve()]
import vnpy_norvix
name = "_wire" + sysconfig.get_config_var("EXT_SUFFIX")
print(Path(vnpy_norvix.__file__).parent / name)' "$ROOT") || die "vnpy_norvix is not importable from .venv after the install"
[ -f "$WIRE" ] || die "the install left no $WIRE"
rm -f "$ROOT/vnpy_norvix/$(basename "$WIRE")"
ln -s "$WIRE" "$ROOT/vnpy_norvix/$(basename "$WIRE")"
say "linked the engine's native entry: vnpy_norvix/$(basename "$WIRE")"
