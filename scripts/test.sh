#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds everything and runs the test suite.
#   BUILD_DIR    build folder (default: build)
#   CMAKE_ARGS   extra CMake arguments, for example -DCV_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh

build=${BUILD_DIR:-build}
jobs=$(nproc)
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
