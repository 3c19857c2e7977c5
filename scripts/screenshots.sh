#!/usr/bin/env bash
# Builds the launcher and saves screenshots of its main states into docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh
build=${THORNWAKE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j"$(nproc)" --target thornwake-launcher
THORNWAKE_BUNDLE="$PWD/$build/Thornwake Launcher.app" \
    xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 scripts/screenshots.py
