#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vobblix on the default sound devices.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DVOBBLIX_BUILD_BENCH=OFF
exec build/ui/vobblix "$@"
