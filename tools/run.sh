#!/bin/bash
# Starts the application: checks for a display first, installs what is missing,
# builds the application alone (not the tests and benchmarks) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display: start the application from a desktop session." >&2
    exit 1
fi
bash tools/packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target quorvane
exec build/quorvane "$@"
