#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest, the PipeWire ones
# against a private headless PipeWire session.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
cd build && bash ../scripts/with-pipewire.sh ctest --output-on-failure --timeout 600 -j "$(nproc)"
