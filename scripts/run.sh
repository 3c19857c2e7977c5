#!/usr/bin/env bash
# Builds the launcher bundle and starts it. Without a display it runs under Xvfb for a few seconds
# and saves a screenshot of the window.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
build=${THORNWAKE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target thornwake-launcher
launcher="$build/Thornwake Launcher.app/Contents/MacOS/thornwake-launcher"

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    exec "$launcher" "$@"
fi

screenshots="$PWD/$build/screenshots"
mkdir -p "$screenshots"
seconds=${THORNWAKE_RUN_SECONDS:-6}
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$1" "${@:4}" &
    pid=$!
    sleep "$2"
    import -window root "$3/launcher.png"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
' run "$launcher" "$seconds" "$screenshots" "$@"
echo "No display: ran the launcher under Xvfb for ${seconds}s."
echo "Screenshot saved to $screenshots/launcher.png"
