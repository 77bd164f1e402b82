#!/usr/bin/env bash
# Runs inside the manylinux container before the wheels are built (cibuildwheel before-all):
# builds simdjson as a shared library into /usr, where CMake's find_package and the dynamic
# linker (and so auditwheel repair, which copies it into the wheel's vnpy_norvix.libs/)
# find it without further paths. The version is the
# one Debian 12 ships, which the project is developed and tested against.
set -euo pipefail

VERSION="${SIMDJSON_VERSION:-3.0.1}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

command -v cmake >/dev/null || pipx install cmake
curl -fsSL "https://github.com/simdjson/simdjson/archive/refs/tags/v$VERSION.tar.gz" | tar -xz -C "$WORK"
cmake -S "$WORK/simdjson-$VERSION" -B "$WORK/build" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=ON -DSIMDJSON_DEVELOPER_MODE=OFF -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$WORK/build" --parallel
cmake --install "$WORK/build"
ldconfig
