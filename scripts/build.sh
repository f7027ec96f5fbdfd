#!/usr/bin/env bash
# Configures and builds into the folder given (default build/), passing any further cmake options.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOBBLIX_WERROR=ON "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
