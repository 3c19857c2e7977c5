#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites (widgets on Qt's offscreen platform,
# real updater child processes) and the updater's Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
build=${THORNWAKE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2
