#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites (widgets on Qt's offscreen platform,
# real updater child processes) and the updater's Python suite, also under Python 3.9 (macOS's
# interpreter) where one is installed, beside a check for what 3.9 cannot run. Then the C++ suites
# again, built by clang with AddressSanitizer and UndefinedBehaviorSanitizer, together with short
# fuzzer runs that first replay every kept regression input.
set -euo pipefail
cd "$(dirname "$0")/.."

THORNWAKE_WITH_FUZZING=1 scripts/install-dependencies.sh
build=${THORNWAKE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2
if ! ctest --test-dir "$build" -N -R '^updater_python39$' | grep -q updater_python39; then
    echo "No Python 3.9 interpreter was found: the updater's suite ran under /usr/bin/python3 only."
fi

sanitized=${THORNWAKE_SANITIZE_BUILD_DIR:-build-san}
CC=clang CXX=clang++ cmake -S . -B "$sanitized" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTHORNWAKE_SANITIZE=ON -DTHORNWAKE_FUZZ=ON
cmake --build "$sanitized" -j"$(nproc)"
# Leaks are checked at every exit of an instrumented program.
export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The Python suites and checks gain nothing from an instrumented launcher build, so they run once, above.
ctest --test-dir "$sanitized" --output-on-failure -j2 -E '^(updater_python|updater_python39|python39_check|e2e)$'
