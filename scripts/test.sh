#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest, the PipeWire ones
# against a private headless PipeWire session and the JACK ones against a private jackd.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
cd build && bash ../scripts/with-pipewire.sh bash ../scripts/with-jack.sh ctest --output-on-failure --timeout 600 -j "$(nproc)"
