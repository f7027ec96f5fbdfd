#!/usr/bin/env bash
# Configures and builds into the folder given (default build/), passing any further cmake options.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
# ccache, where installed, keeps rebuilds of several checkouts short.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOBBLIX_WERROR=ON "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
