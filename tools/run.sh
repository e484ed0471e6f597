#!/bin/bash
# Installs what is missing, builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
if [[ ! -x build/quorvane ]]; then
    echo "The application is not built yet: only the libraries and their tests exist." >&2
    exit 1
fi
exec build/quorvane "$@"
